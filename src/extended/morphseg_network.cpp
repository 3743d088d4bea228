// The segmenter's network over words of equal length: character embedding, a
// two-layer bidirectional LSTM from learned initial states, a reducing linear
// layer with exact GELU, the action classifier and its best action per
// character, then the decoding of the actions.
//
// Words run as coarse tasks of at most batch_size words of one length (fewer
// when long, about kMorphSegTaskPositions characters), cut by the input alone,
// so results are the same at every thread count. The first layer's input
// product is taken once per source character at load (or, for a vocabulary
// too large for that, once per distinct character of a task): a table the
// recurrence reads in place. The other products run as one matrix product per
// task on the task's thread.
#include "extended/morphseg_impl.hpp"

#include <ATen/ops/addmm.h>
#include <ATen/ops/from_blob.h>
#include <ATen/ops/gelu.h>

#include <algorithm>
#include <cstring>
#include <unordered_map>

#include "kernels/parallel_tasks.hpp"
#include "kernels/row_products.hpp"
#include "kernels/scratch_pool.hpp"

namespace quelbin {
namespace {

// h_0 or c_0 rows of one layer (forward, reverse) repeated for B words: [2, B, H].
void initial_state(const at::Tensor& stored, std::int64_t layer, std::int64_t B, std::int64_t H, float* target) {
    const float* source = stored.const_data_ptr<float>();
    for (std::int64_t d = 0; d < 2; ++d) {
        for (std::int64_t b = 0; b < B; ++b) {
            std::memcpy(target + (d * B + b) * H, source + (2 * layer + d) * H, static_cast<std::size_t>(H) * sizeof(float));
        }
    }
}

}  // namespace

namespace detail {

void morphseg_first_inputs(const MorphSegPlan::Impl& impl, const std::int64_t* ids, std::int64_t count, float* out) {
    const std::int64_t E = impl.embedding_size;
    const std::int64_t G = 8 * impl.hidden_size;
    const BiLstm& first = impl.layers.front();
    const float* embedding = impl.tensors.at("embedding.weight").const_data_ptr<float>();
    std::vector<float> gathered(static_cast<std::size_t>(count * E));
    for (std::int64_t d = 0; d < count; ++d) {
        std::memcpy(gathered.data() + d * E, embedding + ids[d] * E, static_cast<std::size_t>(E) * sizeof(float));
        std::memcpy(out + d * G, first.bias().const_data_ptr<float>(), static_cast<std::size_t>(G) * sizeof(float));
    }
    add_row_products(gathered.data(), E, first.input_weight().const_data_ptr<float>(), E, out, G, count, G, E);
}

}  // namespace detail

void MorphSegPlan::Impl::run_batch(const std::vector<std::vector<std::string>>& codepoints,
                                   const std::vector<std::vector<std::int64_t>>& ids,
                                   const std::vector<std::size_t>& group,
                                   std::vector<std::vector<std::string>>& results) const {
    // Tasks: runs of one length in the given order, cut by batch_size and by
    // the positions per task.
    struct Task {
        std::size_t start;
        std::size_t count;
        std::int64_t length;
    };
    std::vector<Task> tasks;
    for (std::size_t start = 0; start < group.size();) {
        const std::size_t length = ids[group[start]].size();
        std::size_t end = start;
        while (end < group.size() && ids[group[end]].size() == length) ++end;
        const auto cap = static_cast<std::size_t>(std::min<std::int64_t>(
            batch_size, std::max<std::int64_t>(1, detail::kMorphSegTaskPositions / static_cast<std::int64_t>(length))));
        for (std::size_t s = start; s < end; s += cap) tasks.push_back({s, std::min(cap, end - s), static_cast<std::int64_t>(length)});
        start = end;
    }
    const std::int64_t H = hidden_size, G = 8 * H, W = 2 * H;
    const auto T = static_cast<std::int64_t>(target_vocabulary.size());
    const at::Tensor& h0 = tensors.at("encoder.h_0");
    const at::Tensor& c0 = tensors.at("encoder.c_0");
    const at::Tensor& reduce_weight = tensors.at("encoder.reduce_dim.weight");
    const at::Tensor& reduce_bias = tensors.at("encoder.reduce_dim.bias");
    const at::Tensor& class_weight = tensors.at("classifier.1.weight");
    const at::Tensor& class_bias = tensors.at("classifier.1.bias");

    detail::ScratchPool<float> scratch;
    detail::run_tasks(tasks.size(), [&](std::size_t t) {
        const Task& task = tasks[t];
        const auto B = static_cast<std::int64_t>(task.count);
        const std::int64_t L = task.length;
        const std::int64_t P = B * L;
        const std::size_t* rows = group.data() + task.start;

        // Each position's row of first-layer pre-activations: the character's
        // own row of the table made at load, or else a row of a table of the
        // task's distinct characters.
        std::vector<std::int64_t> positions(static_cast<std::size_t>(P));
        std::vector<float> task_table;
        const float* table = first_table.data();
        if (first_table.empty()) {
            std::unordered_map<std::int64_t, std::int64_t> dense;
            std::vector<std::int64_t> distinct;
            for (std::int64_t b = 0; b < B; ++b) {
                const std::vector<std::int64_t>& word = ids[rows[b]];
                for (std::int64_t k = 0; k < L; ++k) {
                    const std::int64_t id = word[static_cast<std::size_t>(k)];
                    const auto [it, added] = dense.emplace(id, static_cast<std::int64_t>(distinct.size()));
                    if (added) distinct.push_back(id);
                    positions[static_cast<std::size_t>(b * L + k)] = it->second;
                }
            }
            task_table.resize(distinct.size() * static_cast<std::size_t>(G));
            detail::morphseg_first_inputs(*this, distinct.data(), static_cast<std::int64_t>(distinct.size()),
                                          task_table.data());
            table = task_table.data();
        } else {
            for (std::int64_t b = 0; b < B; ++b) {
                std::copy(ids[rows[b]].begin(), ids[rows[b]].end(), positions.begin() + b * L);
            }
        }
        const detail::BiLstm& first = layers.front();

        // One leased buffer: the states, each layer's output [P, 2H], the
        // upper layers' projection [P, 8H], the reduced features [P, H] and
        // the action scores [P, T]. Every value read is written first.
        const std::int64_t upper = layers.size() > 1 ? P * G : 0;
        detail::ScratchPool<float>::Lease lease(
            scratch, static_cast<std::size_t>(4 * B * H + P * W + upper + P * H + P * T));
        float* const h_init = lease.data();
        float* const c_init = h_init + 2 * B * H;
        float* const output = c_init + 2 * B * H;
        float* const projection = output + P * W;
        float* const reduced = projection + upper;
        float* const logits = reduced + P * H;
        const auto view = [](float* data, std::int64_t rows, std::int64_t columns) {
            return at::from_blob(data, {rows, columns}, at::TensorOptions().dtype(at::kFloat));
        };
        initial_state(h0, 0, B, H, h_init);
        initial_state(c0, 0, B, H, c_init);
        first.run_gathered(table, positions.data(), B, L, nullptr, output, h_init, c_init);
        for (std::size_t k = 1; k < layers.size(); ++k) {
            const detail::BiLstm& layer = layers[k];
            at::Tensor target = view(projection, P, G);
            at::addmm_out(target, layer.bias(), view(output, P, W), layer.input_weight().t());
            initial_state(h0, static_cast<std::int64_t>(k), B, H, h_init);
            initial_state(c0, static_cast<std::int64_t>(k), B, H, c_init);
            layer.run_projected(projection, B, L, nullptr, output, h_init, c_init);
        }
        at::Tensor reduced_tensor = view(reduced, P, H);
        at::addmm_out(reduced_tensor, reduce_bias, view(output, P, W), reduce_weight.t());
        at::gelu_(reduced_tensor);
        at::Tensor logits_tensor = view(logits, P, T);
        at::addmm_out(logits_tensor, class_bias, reduced_tensor, class_weight.t());

        std::vector<std::int64_t> best(static_cast<std::size_t>(P));
        for (std::int64_t p = 0; p < P; ++p) {
            const float* row = logits + p * T;
            std::int64_t arg = 0;
            float top = row[0];
            for (std::int64_t a = 1; a < T && top == top; ++a) {
                if (row[a] != row[a] || row[a] > top) {
                    arg = a;
                    top = row[a];
                }
            }
            best[static_cast<std::size_t>(p)] = arg;
        }
        for (std::int64_t b = 0; b < B; ++b) {
            results[rows[b]] = detail::decode_morphseg_actions(*this, codepoints[rows[b]], best.data() + b * L,
                                                               static_cast<std::size_t>(L));
        }
    });
}

}  // namespace quelbin
