// The constituency parser's network: word vectors with sentinels, the stack
// LSTMs advanced one push at a time from any earlier entry, and the
// transition scorer.
#include <algorithm>
#include <string>
#include <utility>

#include <ATen/ops/add.h>
#include <ATen/ops/cat.h>
#include <ATen/ops/embedding.h>
#include <ATen/ops/empty.h>
#include <ATen/ops/linear.h>
#include <ATen/ops/lstm.h>
#include <ATen/ops/relu.h>
#include <ATen/ops/zeros.h>

#include "extended/constituency_impl.hpp"
#include "kernels/bilstm.hpp"
#include "kernels/row_products.hpp"
#include "model/tensor_view.hpp"
#include "model/unicode.hpp"
#include "quelbin/errors.hpp"

namespace quelbin::detail {

std::string normalize_constituency_word(const std::string& word, bool lower) {
    const std::string source = lower ? unicode_lower(word) : word;
    std::string key;
    key.reserve(source.size());
    for (const char ch : source) {
        if (ch == ' ') {
            key += "\xC2\xA0";
        } else {
            key += ch;
        }
    }
    return key;
}

std::int64_t lookup_constituency_word(const ConstituencyPlan::Impl& impl, const std::string& word) {
    const auto& vocab = impl.pretrain_vocab;
    const auto found = vocab.find(normalize_constituency_word(word, impl.pretrain_lower));
    if (found != vocab.end() && found->second != 1) return found->second;
    const auto lowered = vocab.find(normalize_constituency_word(unicode_lower(word), false));
    return lowered != vocab.end() ? lowered->second : 1;
}

at::Tensor make_constituency_id_tensor(const std::vector<std::int64_t>& ids) {
    return make_id_tensor(ids, {static_cast<std::int64_t>(ids.size())});
}

namespace {

std::int64_t map_id(const std::unordered_map<std::string, std::int64_t>& map, const std::string& key) {
    const auto found = map.find(key);
    return found != map.end() ? found->second : 1;
}

// One LSTM step of batch 1 from the state (h, c), each [layers, size].
std::tuple<at::Tensor, at::Tensor, at::Tensor> lstm_step(const at::Tensor& input, const at::Tensor& h,
                                                          const at::Tensor& c, const std::vector<at::Tensor>& weights,
                                                          std::int64_t layers) {
    auto [output, h_out, c_out] =
        at::lstm(input.reshape({1, 1, -1}), {h.unsqueeze(1), c.unsqueeze(1)}, weights, true, layers, 0.0, false,
                 false, false);
    return {output.reshape({-1}), h_out.squeeze(1), c_out.squeeze(1)};
}

bool runner_fits(const ConstituencyStackRunner& runner, const at::Tensor& input, const ConstituencyStackEntry& previous) {
    const auto float_matrix = [&](const at::Tensor& t) {
        return t.scalar_type() == at::kFloat && t.is_contiguous() && t.device().is_cpu();
    };
    return float_matrix(input) && input.size(0) == runner.w_ih[0].size(1) && float_matrix(previous.h) &&
           float_matrix(previous.c);
}

// One step of every layer: gates = b + W_ih x + W_hh h, then the shared cell.
std::tuple<at::Tensor, at::Tensor, at::Tensor> runner_step(const ConstituencyStackRunner& runner,
                                                            const at::Tensor& input, const at::Tensor& h0,
                                                            const at::Tensor& c0) {
    const std::int64_t S = runner.size;
    at::Tensor h = at::empty({runner.layers, S}, h0.options());
    at::Tensor c = c0.clone();
    std::vector<float> gates(static_cast<std::size_t>(4 * S));
    const float* x = input.data_ptr<float>();
    std::int64_t width = input.size(0);
    for (std::int64_t k = 0; k < runner.layers; ++k) {
        const float* bias = runner.bias[k].data_ptr<float>();
        std::copy(bias, bias + 4 * S, gates.begin());
        add_row_products(x, width, runner.w_ih[k].data_ptr<float>(), width, gates.data(), 4 * S, 1, 4 * S, width);
        add_row_products(h0.data_ptr<float>() + k * S, S, runner.w_hh[k].data_ptr<float>(), S, gates.data(), 4 * S,
                         1, 4 * S, S);
        float* h_k = h.data_ptr<float>() + k * S;
        lstm_cell_rows({gates.data(), 4 * S, c.data_ptr<float>() + k * S, h_k, S, 1, S});
        x = h_k;
        width = S;
    }
    return {h[runner.layers - 1], h, c};
}

}  // namespace

std::optional<ConstituencyStackRunner> make_constituency_stack_runner(const std::vector<at::Tensor>& weights,
                                                                      std::int64_t layers, std::int64_t size) {
    ConstituencyStackRunner runner;
    runner.layers = layers;
    runner.size = size;
    const auto fits = [](const at::Tensor& t, std::int64_t rows, std::int64_t columns) {
        if (t.scalar_type() != at::kFloat || !t.is_contiguous() || t.size(0) != rows) return false;
        return columns < 0 ? t.dim() == 1 : t.dim() == 2 && t.size(1) == columns;
    };
    if (static_cast<std::int64_t>(weights.size()) != 4 * layers) return std::nullopt;
    for (std::int64_t k = 0; k < layers; ++k) {
        const at::Tensor* w = &weights[static_cast<std::size_t>(4 * k)];
        const std::int64_t in = w[0].dim() == 2 ? w[0].size(1) : -1;
        if (in < 1 || (k > 0 && in != size) || !fits(w[0], 4 * size, in) || !fits(w[1], 4 * size, size) ||
            !fits(w[2], 4 * size, -1) || !fits(w[3], 4 * size, -1)) {
            return std::nullopt;
        }
        runner.w_ih.push_back(w[0]);
        runner.w_hh.push_back(w[1]);
        runner.bias.push_back(at::add(w[2], w[3]).contiguous());
    }
    return runner;
}

std::vector<at::Tensor> encode_constituency_words(const ConstituencyPlan::Impl& impl,
                                                  const std::vector<std::string>& words,
                                                  const std::vector<std::string>& tags) {
    const std::size_t n = words.size();
    std::vector<std::int64_t> pretrain_ids(n), delta_ids(n), tag_ids(n);
    for (std::size_t i = 0; i < n; ++i) {
        pretrain_ids[i] = lookup_constituency_word(impl, words[i]);
        delta_ids[i] = map_id(impl.delta_words, words[i]);
        if (impl.tag_embedding_dim >= 1) tag_ids[i] = map_id(impl.tags, tags[i]);
    }
    std::vector<at::Tensor> blocks;
    blocks.push_back(at::embedding(require_constituency_tensor(impl, "embedding.weight"),
                                   make_constituency_id_tensor(pretrain_ids)));
    blocks.push_back(at::embedding(require_constituency_tensor(impl, "delta_embedding.weight"),
                                   make_constituency_id_tensor(delta_ids)));
    if (impl.tag_embedding_dim >= 1) {
        blocks.push_back(at::embedding(require_constituency_tensor(impl, "tag_embedding.weight"),
                                       make_constituency_id_tensor(tag_ids)));
    }
    if (impl.forward_charlm) blocks.push_back(impl.forward_charlm->encode(words));
    if (impl.backward_charlm) blocks.push_back(impl.backward_charlm->encode(words));
    at::Tensor rows = at::cat(blocks, 1);
    if (impl.boundary_vectors) {
        const at::Tensor& start = require_constituency_tensor(impl, "word_start_embedding");
        const at::Tensor& end = require_constituency_tensor(impl, "word_end_embedding");
        rows = at::cat({start.reshape({1, -1}), rows, end.reshape({1, -1})}, 0);
    }
    if (impl.transformer) rows = at::cat({rows, impl.transformer->encode(words, impl.boundary_vectors)}, 1);

    auto [output, h_out, c_out] =
        at::lstm(rows.unsqueeze(1), {impl.word_lstm_state[0], impl.word_lstm_state[1]}, impl.word_lstm_weights,
                 true, impl.num_lstm_layers, 0.0, false, true, false);
    const at::Tensor mapped = at::relu(at::linear(output.squeeze(1),
                                                  require_constituency_tensor(impl, "word_to_constituent.weight"),
                                                  require_constituency_tensor(impl, "word_to_constituent.bias")));
    std::vector<at::Tensor> vectors;
    vectors.reserve(n + 2);
    if (!impl.boundary_vectors) vectors.push_back(at::zeros({impl.hidden_size}, mapped.options()));
    for (std::int64_t r = 0; r < mapped.size(0); ++r) vectors.push_back(mapped[r]);
    if (!impl.boundary_vectors) vectors.push_back(at::zeros({impl.hidden_size}, mapped.options()));
    return vectors;
}

ConstituencyStackEntry start_constituency_stack(const std::vector<at::Tensor>& weights,
                                                const std::vector<at::Tensor>& initial_state,
                                                const at::Tensor& start, std::int64_t layers) {
    ConstituencyStackEntry entry;
    const at::Tensor h = initial_state[0].squeeze(1);
    const at::Tensor c = initial_state[1].squeeze(1);
    if (!start.defined()) {
        entry.h = h;
        entry.c = c;
        entry.output = h[layers - 1];
        return entry;
    }
    std::tie(entry.output, entry.h, entry.c) = lstm_step(start, h, c, weights, layers);
    return entry;
}

ConstituencyStackEntry push_constituency_stack(const ConstituencyStackEntry& previous, const at::Tensor& input,
                                               const std::vector<at::Tensor>& weights, std::int64_t layers,
                                               std::int64_t size, std::optional<ConstituencyStackItem> item,
                                               std::optional<std::int64_t> transition,
                                               const ConstituencyStackRunner* runner) {
    if (input.numel() < 1 || input.dim() != 1) throw ConstituencyModelError("constituency stack input is not a vector");
    const auto state_ok = [&](const at::Tensor& t) {
        return t.defined() && t.dim() == 2 && t.size(0) == layers && t.size(1) == size;
    };
    if (!state_ok(previous.h) || !state_ok(previous.c)) {
        throw ConstituencyModelError("constituency stack state has the wrong shape");
    }
    ConstituencyStackEntry entry;
    if (runner != nullptr && runner->layers == layers && runner->size == size && runner_fits(*runner, input, previous)) {
        std::tie(entry.output, entry.h, entry.c) = runner_step(*runner, input, previous.h, previous.c);
    } else {
        std::tie(entry.output, entry.h, entry.c) = lstm_step(input, previous.h, previous.c, weights, layers);
    }
    entry.item = std::move(item);
    entry.transition = transition;
    return entry;
}

void push_constituent(const ConstituencyPlan::Impl& impl, ConstituencyParseState& state, ConstituencyStackItem item) {
    const at::Tensor input = item.input[item.input.size(0) - 1];
    state.constituent_stack.push_back(push_constituency_stack(state.constituent_stack.back(), input,
                                                              impl.constituent_lstm_weights, impl.num_lstm_layers,
                                                              impl.hidden_size, std::move(item), std::nullopt,
                                                              impl.constituent_runner ? &*impl.constituent_runner
                                                                                      : nullptr));
}

at::Tensor score_constituency_transitions(const ConstituencyPlan::Impl& impl, const ConstituencyParseState& state) {
    at::Tensor current = at::cat({state.word_vectors[static_cast<std::size_t>(state.shifted) + 1],
                                  state.transition_stack.back().output, state.constituent_stack.back().output},
                                 0);
    for (const auto& [weight, bias] : impl.output_layers) current = at::linear(at::relu(current), weight, bias);
    return current;
}

}  // namespace quelbin::detail
