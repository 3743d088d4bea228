// The character LM's recurrence over many sentences at once.
//
// At realistic sizes (hidden 1024) the recurrent product dominates: every step
// multiplies the active sequences' hidden states by W_hh (4H x H, far larger
// than any cache), so the step's cost is one pass over W_hh whatever the number
// of rows, and a step with few rows wastes most of it. Sentences therefore run
// in a window of kWindow rows: when one ends, the next waiting sentence takes
// its row at once, so the window stays full until the queue is empty. Each row
// runs its own sentence from the initial state exactly as a packed LSTM would.
// For float32 models every sum has a fixed order (add_row_products, then the
// cell on raw rows), so which sentences share a step, and which thread runs
// them, changes no bit of any result; other dtypes go through ATen's products.
//
// Work is cut into groups of kGroupSentences consecutive sentences, each
// group's sentences sorted longest first (the window drains on the shortest).
// Groups run as coarse parallel tasks; the grouping never depends on the
// thread count.
#include "encoders/native_charlm.hpp"

#include <ATen/ops/addmm.h>
#include <ATen/ops/embedding.h>
#include <ATen/ops/empty.h>
#include <ATen/ops/index_select.h>
#include <ATen/ops/tanh.h>
#include <c10/util/Exception.h>

#include <algorithm>
#include <cstring>
#include <unordered_map>

#include "kernels/row_products.hpp"
#include "kernels/parallel_tasks.hpp"
#include "model/tensor_view.hpp"
#include "kernels/bilstm.hpp"

namespace quelbin::detail {
namespace {

constexpr std::int64_t kWindow = 64;
constexpr std::size_t kGroupSentences = 128;

// One row of the window: the sentence it runs, its next step and the next word
// whose row is still to be taken.
struct Row {
    std::size_t sentence;
    std::int64_t step;
    std::size_t word;
};

// ATen's LSTM cell on the gate pre-activations g [b, 4H] (i, f, g, o): c and h
// [b, H] advance one step.
void lstm_cell(const at::Tensor& gates, at::Tensor& c, at::Tensor& h, std::int64_t hidden) {
    gates.narrow(1, 0, 2 * hidden).sigmoid_();
    const at::Tensor cell_gate = gates.narrow(1, 2 * hidden, hidden).tanh_();
    const at::Tensor out_gate = gates.narrow(1, 3 * hidden, hidden).sigmoid_();
    c.mul_(gates.narrow(1, hidden, hidden)).addcmul_(gates.narrow(1, 0, hidden), cell_gate);
    at::tanh_out(h, c);
    h.mul_(out_gate);
}

// out [m, n] += a [m, k] b^T for float32 b [n, k]; a's and out's rows are contiguous.
void add_products(const at::Tensor& a, const at::Tensor& b, at::Tensor& out) {
    add_row_products(a.const_data_ptr<float>(), a.stride(0), b.const_data_ptr<float>(), b.stride(0),
                     out.data_ptr<float>(), out.stride(0), a.size(0), b.size(0), a.size(1));
}

}  // namespace

void NativeCharLM::check_network() const {
    const at::ScalarType dtype = char_emb_.scalar_type();
    TORCH_CHECK(c10::isFloatingType(dtype), "character language model embedding has dtype ", dtype,
                ", expected a floating-point type");
    const std::int64_t gates = 4 * hidden_;
    for (std::int64_t k = 0; k < layers_; ++k) {
        const std::int64_t input = k == 0 ? char_emb_.size(1) : hidden_;
        const std::vector<std::int64_t> expected[] = {{gates, input}, {gates, hidden_}, {gates}, {gates}};
        for (std::size_t j = 0; j < 4; ++j) {
            const at::Tensor& param = lstm_params_[static_cast<std::size_t>(4 * k) + j];
            TORCH_CHECK(param.sizes() == c10::IntArrayRef(expected[j]),
                        "character language model LSTM layer ", k, " parameter ", j, " has shape ",
                        param.sizes(), ", expected ", c10::IntArrayRef(expected[j]));
            TORCH_CHECK(param.scalar_type() == dtype, "character language model LSTM layer ", k,
                        " has dtype ", param.scalar_type(), ", expected ", dtype);
        }
    }
    TORCH_CHECK(h_init_.scalar_type() == dtype && c_init_.scalar_type() == dtype,
                "character language model initial states have another dtype than the embedding");
}

void NativeCharLM::run(const std::vector<CharLMInput>& inputs, std::vector<at::Tensor>& results) const {
    const at::TensorOptions options = char_emb_.options();
    bool any_words = false;
    for (std::size_t s = 0; s < inputs.size(); ++s) {
        results[s] = at::empty({static_cast<std::int64_t>(inputs[s].positions.size()), hidden_}, options);
        any_words = any_words || !inputs[s].positions.empty();
    }
    if (!any_words) return;
    check_network();

    const std::int64_t H = hidden_;
    const std::int64_t N = layers_;
    const auto element = static_cast<std::size_t>(char_emb_.element_size());
    const std::size_t row_bytes = static_cast<std::size_t>(H) * element;
    const at::Tensor h_init = h_init_.contiguous();
    const at::Tensor c_init = c_init_.contiguous();
    // Layers above the first add both biases to their input product.
    std::vector<at::Tensor> biases(static_cast<std::size_t>(N));
    for (std::int64_t k = 1; k < N; ++k) {
        biases[k] = lstm_params_[4 * k + 2].add(lstm_params_[4 * k + 3]);
    }
    std::vector<at::Tensor> w_hh_t(static_cast<std::size_t>(N));
    std::vector<at::Tensor> w_ih_t(static_cast<std::size_t>(N));
    for (std::int64_t k = 0; k < N; ++k) {
        w_ih_t[k] = lstm_params_[4 * k].t();
        w_hh_t[k] = lstm_params_[4 * k + 1].t();
    }

    // Float32 models run their products through add_row_products, whose sums
    // are the same at any thread count; other dtypes use ATen's products.
    const bool exact = char_emb_.scalar_type() == at::kFloat;

    const auto groups = static_cast<std::int64_t>((inputs.size() + kGroupSentences - 1) / kGroupSentences);
    run_tasks(static_cast<std::size_t>(groups), [&](std::size_t group) {
        const std::size_t begin = group * kGroupSentences;
        const std::size_t end = std::min(inputs.size(), begin + kGroupSentences);
        std::vector<std::size_t> queue;
        for (std::size_t s = begin; s < end; ++s) {
            if (!inputs[s].positions.empty()) queue.push_back(s);
        }
        if (queue.empty()) return;
        std::stable_sort(queue.begin(), queue.end(), [&](std::size_t a, std::size_t b) {
            return inputs[a].ids.size() > inputs[b].ids.size();
        });

        // The first layer's input product and both its biases, once per
        // distinct character of the group: a table indexed by dense ids.
        std::unordered_map<std::int64_t, std::int64_t> dense;
        std::vector<std::int64_t> distinct;
        std::vector<std::vector<std::int64_t>> dense_ids(end - begin);
        for (const std::size_t s : queue) {
            std::vector<std::int64_t>& out = dense_ids[s - begin];
            out.reserve(inputs[s].ids.size());
            for (const std::int64_t id : inputs[s].ids) {
                const auto [it, added] = dense.emplace(id, static_cast<std::int64_t>(distinct.size()));
                if (added) distinct.push_back(id);
                out.push_back(it->second);
            }
        }
        const at::Tensor embedded = at::embedding(
            char_emb_, make_id_tensor(distinct, {static_cast<std::int64_t>(distinct.size())}));
        at::Tensor table;
        if (exact) {
            table = lstm_params_[2].add(lstm_params_[3]).expand({embedded.size(0), 4 * H}).contiguous();
            add_products(embedded, lstm_params_[0], table);
        } else {
            table = at::addmm(lstm_params_[2].add(lstm_params_[3]), embedded, w_ih_t[0]);
        }

        const std::int64_t window = std::min<std::int64_t>(kWindow, static_cast<std::int64_t>(queue.size()));
        const at::Tensor h = at::empty({N, window, H}, options);
        const at::Tensor c = at::empty({N, window, H}, options);
        const at::Tensor gates = at::empty({window, 4 * H}, options);
        std::vector<std::int64_t> step_ids(static_cast<std::size_t>(window));
        auto* h_data = static_cast<char*>(h.data_ptr());
        auto* c_data = static_cast<char*>(c.data_ptr());
        const auto* h0 = static_cast<const char*>(h_init.data_ptr());
        const auto* c0 = static_cast<const char*>(c_init.data_ptr());
        auto state_row = [&](char* base, std::int64_t layer, std::int64_t row) {
            return base + static_cast<std::size_t>(layer * window + row) * row_bytes;
        };

        std::vector<Row> rows;
        rows.reserve(static_cast<std::size_t>(window));
        std::size_t next = 0;
        while (true) {
            while (static_cast<std::int64_t>(rows.size()) < window && next < queue.size()) {
                const auto r = static_cast<std::int64_t>(rows.size());
                for (std::int64_t k = 0; k < N; ++k) {
                    std::memcpy(state_row(h_data, k, r), h0 + k * row_bytes, row_bytes);
                    std::memcpy(state_row(c_data, k, r), c0 + k * row_bytes, row_bytes);
                }
                rows.push_back({queue[next++], 0, 0});
            }
            const auto b = static_cast<std::int64_t>(rows.size());
            if (b == 0) break;

            for (std::int64_t r = 0; r < b; ++r) {
                const Row& row = rows[r];
                step_ids[r] = dense_ids[row.sentence - begin][row.step];
            }
            if (exact) {
                // Raw rows, no operator: nothing here may start a parallel region.
                float* g = gates.data_ptr<float>();
                const float* table_rows = table.const_data_ptr<float>();
                for (std::int64_t k = 0; k < N; ++k) {
                    auto* h_k = reinterpret_cast<float*>(state_row(h_data, k, 0));
                    auto* c_k = reinterpret_cast<float*>(state_row(c_data, k, 0));
                    for (std::int64_t r = 0; r < b; ++r) {
                        const float* first = k == 0 ? table_rows + step_ids[r] * 4 * H
                                                    : biases[k].const_data_ptr<float>();
                        std::memcpy(g + r * 4 * H, first, static_cast<std::size_t>(4 * H) * sizeof(float));
                    }
                    if (k > 0) {
                        add_row_products(h_k - window * H, H, lstm_params_[4 * k].const_data_ptr<float>(), H, g,
                                         4 * H, b, 4 * H, H);
                    }
                    add_row_products(h_k, H, lstm_params_[4 * k + 1].const_data_ptr<float>(), H, g, 4 * H, b,
                                     4 * H, H);
                    lstm_cell_rows({g, 4 * H, c_k, h_k, H, b, H});
                }
            } else {
                at::Tensor g = gates.narrow(0, 0, b);
                at::Tensor below;
                for (std::int64_t k = 0; k < N; ++k) {
                    at::Tensor h_k = h[k].narrow(0, 0, b);
                    at::Tensor c_k = c[k].narrow(0, 0, b);
                    if (k == 0) {
                        at::index_select_out(g, table, 0, make_id_tensor(step_ids, {window}).narrow(0, 0, b));
                    } else {
                        at::addmm_out(g, biases[k], below, w_ih_t[k]);
                    }
                    at::addmm_out(g, g, h_k, w_hh_t[k]);
                    lstm_cell(g, c_k, h_k, H);
                    below = h_k;
                }
            }

            // Rows at the space that closes a word give that word's row.
            const char* top = state_row(h_data, N - 1, 0);
            for (std::int64_t r = 0; r < b; ++r) {
                Row& row = rows[r];
                const CharLMInput& input = inputs[row.sentence];
                // Positions ascend for a forward model and descend for a backward one.
                const std::size_t words = input.positions.size();
                const std::size_t word = forward_ ? row.word : words - 1 - row.word;
                if (row.word < words && input.positions[word] == row.step) {
                    std::memcpy(static_cast<char*>(results[row.sentence].data_ptr()) + word * row_bytes,
                                top + static_cast<std::size_t>(r) * row_bytes, row_bytes);
                    ++row.word;
                }
                ++row.step;
            }
            // Finished rows leave; the last row moves into each gap, so the
            // running rows stay a prefix of the window.
            for (std::int64_t r = b - 1; r >= 0; --r) {
                if (rows[r].step < static_cast<std::int64_t>(inputs[rows[r].sentence].ids.size())) continue;
                const std::int64_t last = static_cast<std::int64_t>(rows.size()) - 1;
                if (r != last) {
                    for (std::int64_t k = 0; k < N; ++k) {
                        std::memcpy(state_row(h_data, k, r), state_row(h_data, k, last), row_bytes);
                        std::memcpy(state_row(c_data, k, r), state_row(c_data, k, last), row_bytes);
                    }
                    rows[r] = rows[last];
                }
                rows.pop_back();
            }
        }
    });
}

}  // namespace quelbin::detail
