// The language identifier's network over texts of one length: character
// embedding, a stack of bidirectional LSTM layers, tag scores summed over the
// positions, the subset mask, and the best tag.
//
// The first layer's input product is taken once per character of the
// vocabulary at load (or, for a vocabulary too large for that, once per
// distinct character of a task): a table of 8H pre-activations per character
// that the recurrence reads in place. The upper layers' input
// products run as one matrix product per task on the task's thread; the scores
// of all positions are summed through the linear layer, W (sum_t out_t) + L b,
// one product per text instead of one per position. Tasks depend on the input
// alone, so the results are the same at every thread count.
#include "extended/langid_impl.hpp"

#include <quelbin/errors.hpp>

#include <algorithm>
#include <cstring>
#include <unordered_map>

#include <ATen/ops/addmm.h>
#include <ATen/ops/from_blob.h>
#include "kernels/parallel_tasks.hpp"
#include "kernels/row_products.hpp"

namespace quelbin::detail {

void langid_first_inputs(const LangIDPlan::Impl& impl, const std::int64_t* ids, std::int64_t count, float* out) {
    const std::int64_t E = impl.embedding_dim;
    const BiLstm& first = impl.layers.front();
    const std::int64_t G = 8 * impl.hidden_dim;
    const float* embedding = impl.embedding.const_data_ptr<float>();
    std::vector<float> gathered(static_cast<std::size_t>(count * E));
    for (std::int64_t d = 0; d < count; ++d) {
        std::memcpy(gathered.data() + d * E, embedding + ids[d] * E, static_cast<std::size_t>(E) * sizeof(float));
        std::memcpy(out + d * G, first.bias().const_data_ptr<float>(), static_cast<std::size_t>(G) * sizeof(float));
    }
    add_row_products(gathered.data(), E, first.input_weight().const_data_ptr<float>(), E, out, G, count, G, E);
}

void run_langid_rows(const LangIDPlan::Impl& impl, const std::vector<std::vector<std::int64_t>>& encoded,
                     const std::size_t* rows, std::size_t count, const float* mask, std::int64_t* out,
                     ScratchPool<float>& scratch) {
    const auto B = static_cast<std::int64_t>(count);
    const std::int64_t H = impl.hidden_dim;
    const std::int64_t G = 8 * H;
    const std::int64_t W = 2 * H;
    const auto T = static_cast<std::int64_t>(impl.tags.size());
    if (B == 0) return;
    std::vector<std::int64_t> lengths(static_cast<std::size_t>(B));
    std::int64_t L = 0;
    for (std::int64_t b = 0; b < B; ++b) {
        lengths[static_cast<std::size_t>(b)] = static_cast<std::int64_t>(encoded[rows[b]].size());
        L = std::max(L, lengths[static_cast<std::size_t>(b)]);
    }

    // Each position's row of first-layer pre-activations: the character's own
    // row of the table made at load, or else a row of a table of the task's
    // distinct characters.
    std::vector<std::int64_t> positions(static_cast<std::size_t>(B * L), 0);
    std::vector<float> task_table;
    const float* table = impl.first_table.data();
    if (impl.first_table.empty()) {
        std::unordered_map<std::int64_t, std::int64_t> dense;
        std::vector<std::int64_t> distinct;
        for (std::int64_t b = 0; b < B; ++b) {
            const std::vector<std::int64_t>& ids = encoded[rows[b]];
            for (std::size_t t = 0; t < ids.size(); ++t) {
                const auto [it, added] = dense.emplace(ids[t], static_cast<std::int64_t>(distinct.size()));
                if (added) distinct.push_back(ids[t]);
                positions[static_cast<std::size_t>(b * L) + t] = it->second;
            }
        }
        task_table.resize(distinct.size() * static_cast<std::size_t>(G));
        langid_first_inputs(impl, distinct.data(), static_cast<std::int64_t>(distinct.size()), task_table.data());
        table = task_table.data();
    } else {
        for (std::int64_t b = 0; b < B; ++b) {
            const std::vector<std::int64_t>& ids = encoded[rows[b]];
            std::copy(ids.begin(), ids.end(), positions.begin() + b * L);
        }
    }
    const BiLstm& first = impl.layers.front();

    // [B, L, 2H] and, for the upper layers, [B, L, 8H], each text in its first
    // lengths[b] steps; the recurrence never reads or writes past a text's
    // length, and the rows there (whatever an earlier lease left) feed
    // nothing.
    const std::size_t outputs = static_cast<std::size_t>(B * L * W);
    ScratchPool<float>::Lease buffer(scratch, outputs + (impl.layers.size() > 1 ? static_cast<std::size_t>(B * L * G) : 0));
    float* const output = buffer.data();
    float* const projection = output + outputs;
    first.run_gathered(table, positions.data(), B, L, lengths.data(), output);
    for (std::size_t k = 1; k < impl.layers.size(); ++k) {
        const BiLstm& layer = impl.layers[k];
        at::Tensor in = at::from_blob(output, {B * L, W});
        at::Tensor target = at::from_blob(projection, {B * L, G});
        at::addmm_out(target, layer.bias(), in, layer.input_weight().t());
        layer.run_projected(projection, B, L, lengths.data(), output);
    }

    // Summed states, then W s + L b + mask per text.
    std::vector<float> sums(static_cast<std::size_t>(B * W), 0.0f);
    for (std::int64_t b = 0; b < B; ++b) {
        float* sum = sums.data() + b * W;
        for (std::int64_t t = 0; t < lengths[static_cast<std::size_t>(b)]; ++t) {
            const float* row = output + (b * L + t) * W;
            for (std::int64_t j = 0; j < W; ++j) sum[j] += row[j];
        }
    }
    const float* tag_bias = impl.tag_bias.const_data_ptr<float>();
    std::vector<float> scores(static_cast<std::size_t>(B * T));
    for (std::int64_t b = 0; b < B; ++b) {
        for (std::int64_t j = 0; j < T; ++j) scores[static_cast<std::size_t>(b * T + j)] =
                static_cast<float>(lengths[static_cast<std::size_t>(b)]) * tag_bias[j];
    }
    add_row_products(sums.data(), W, impl.tag_weight.const_data_ptr<float>(), W, scores.data(), T, B, T, W);
    for (std::int64_t b = 0; b < B; ++b) {
        const float* row = scores.data() + b * T;
        std::int64_t best = 0;
        float best_score = row[0] + mask[0];
        for (std::int64_t j = 1; j < T; ++j) {
            if (best_score != best_score) break;  // a NaN wins, as in at::argmax
            const float score = row[j] + mask[j];
            if (score != score || score > best_score) {
                best = j;
                best_score = score;
            }
        }
        out[b] = best;
    }
}

std::vector<std::int64_t> run_langid_forward(const LangIDPlan::Impl& impl,
                                             const std::vector<std::vector<std::int64_t>>& encoded,
                                             const std::vector<std::size_t>& group, const at::Tensor& mask) {
    if (group.empty()) return {};
    const std::size_t length = encoded[group.front()].size();
    for (const std::size_t i : group) {
        if (encoded[i].size() != length) {
            throw LangIDModelError("internal LangID batch has unequal sequence lengths");
        }
    }
    const auto L = static_cast<std::int64_t>(length);
    const auto per_task = static_cast<std::size_t>(std::max<std::int64_t>(1, kLangIDTaskPositions / L));
    const std::size_t tasks = (group.size() + per_task - 1) / per_task;
    std::vector<std::int64_t> ids(group.size(), -1);
    const at::Tensor values = mask.contiguous();
    ScratchPool<float> scratch;
    run_tasks(tasks, [&](std::size_t t) {
        const std::size_t start = t * per_task;
        run_langid_rows(impl, encoded, group.data() + start, std::min(per_task, group.size() - start),
                        values.const_data_ptr<float>(), ids.data() + start, scratch);
    });
    return ids;
}

}  // namespace quelbin::detail
