// Shared syntax pieces: highway layer records, scorer presence, batches, and
// the fast runners of the highway BiLSTM and the gated character LSTM.
#include "syntax/syntax_model.hpp"

#include <ATen/ops/addmm.h>
#include <ATen/ops/embedding.h>
#include <ATen/ops/empty.h>
#include <ATen/ops/index_select.h>
#include <ATen/ops/linear.h>
#include <ATen/ops/mm.h>
#include <c10/util/Exception.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numeric>
#include <unordered_map>

#include "kernels/parallel_tasks.hpp"
#include "kernels/row_products.hpp"
#include "model/tensor_view.hpp"
#include "model/unicode.hpp"

namespace quelbin::detail {

std::string pretrain_key(const std::string& form) {
    const std::string lower = unicode_lower(form);
    std::string key;
    key.reserve(lower.size());
    for (const char byte : lower) {
        if (byte == ' ') {
            key += "\xC2\xA0";
        } else {
            key += byte;
        }
    }
    return key;
}

std::vector<at::Tensor> collect_highway_lstm_weights(RequireTensor require, std::string_view prefix,
                                                     std::int64_t k) {
    const std::string base = std::string(prefix) + ".lstm." + std::to_string(k) + ".lstm.";
    std::vector<at::Tensor> weights;
    weights.reserve(8);
    for (const char* suffix : {"", "_reverse"}) {
        for (const char* kind : {"weight_ih_l0", "weight_hh_l0", "bias_ih_l0", "bias_hh_l0"}) {
            weights.push_back(require(base + kind + suffix));
        }
    }
    return weights;
}

HighwayLayer make_highway_layer(RequireTensor require, std::string_view prefix, std::int64_t k) {
    HighwayLayer layer;
    layer.lstm_weights = collect_highway_lstm_weights(require, prefix, k);
    const std::string base(prefix);
    layer.lstm_state = {require(base + "_h_init").narrow(0, 2 * k, 2),
                        require(base + "_c_init").narrow(0, 2 * k, 2)};
    const std::string index = std::to_string(k);
    layer.highway_weight = require(base + ".highway." + index + ".weight");
    layer.highway_bias = require(base + ".highway." + index + ".bias");
    layer.gate_weight = require(base + ".gate." + index + ".weight");
    layer.gate_bias = require(base + ".gate." + index + ".bias");
    return layer;
}

void bind_biaffine_tensors(RequireTensor require, std::string_view prefix) {
    for (const char* suffix : {".W1.weight", ".W1.bias", ".W2.weight", ".W2.bias", ".scorer.W_bilin.weight",
                               ".scorer.W_bilin.bias"}) {
        require(std::string(prefix) + suffix);
    }
}

std::vector<std::size_t> sentence_batches(const std::vector<std::int64_t>& sorted_lengths,
                                          std::int64_t batch_size, std::int64_t max_tokens) {
    std::vector<std::size_t> starts;
    const std::size_t count = sorted_lengths.size();
    std::size_t s = 0;
    while (s < count) {
        starts.push_back(s);
        const std::int64_t longest = sorted_lengths[s];
        std::int64_t m = 0;
        while (static_cast<std::size_t>(m) < count - s && m + 1 <= batch_size && (m + 1) * longest <= max_tokens) {
            ++m;
        }
        s += static_cast<std::size_t>(std::max<std::int64_t>(m, 1));
    }
    starts.push_back(count);
    return starts;
}

HighwayStack::HighwayStack(const std::vector<HighwayLayer>& layers) {
    layers_.reserve(layers.size());
    std::int64_t width = -1;
    for (const HighwayLayer& record : layers) {
        Layer layer;
        layer.lstm = std::make_unique<BiLstm>(record.lstm_weights);
        const std::int64_t H = layer.lstm->hidden_size();
        const std::int64_t in = layer.lstm->input_size();
        TORCH_CHECK(width < 0 || in == width, "highway layer input size ", in, " differs from the ", width,
                    " features of the layer below");
        for (const at::Tensor& state : record.lstm_state) {
            TORCH_CHECK(state.scalar_type() == at::kFloat && state.sizes() == at::IntArrayRef({2, 1, H}),
                        "highway LSTM initial state must be float32 [2, 1, ", H, "], got ", state.sizes());
        }
        for (const at::Tensor* weight : {&record.highway_weight, &record.gate_weight}) {
            TORCH_CHECK(weight->scalar_type() == at::kFloat && weight->sizes() == at::IntArrayRef({2 * H, in}),
                        "highway projection must be float32 [", 2 * H, ", ", in, "], got ", weight->sizes());
        }
        for (const at::Tensor* bias : {&record.highway_bias, &record.gate_bias}) {
            TORCH_CHECK(bias->scalar_type() == at::kFloat && bias->sizes() == at::IntArrayRef({2 * H}),
                        "highway bias must be float32 [", 2 * H, "], got ", bias->sizes());
        }
        layer.h0 = record.lstm_state[0];
        layer.c0 = record.lstm_state[1];
        layer.highway_weight_t = record.highway_weight.t();
        layer.highway_bias = record.highway_bias;
        layer.gate_weight_t = record.gate_weight.t();
        layer.gate_bias = record.gate_bias;
        width = 2 * H;
        layers_.push_back(std::move(layer));
    }
}

std::int64_t HighwayStack::input_size() const {
    return layers_.empty() ? 0 : layers_.front().lstm->input_size();
}

std::int64_t HighwayStack::output_size() const {
    return layers_.empty() ? 0 : 2 * layers_.back().lstm->hidden_size();
}

at::Tensor HighwayStack::forward(const at::Tensor& rows, const std::vector<std::int64_t>& lengths) const {
    return run(rows, nullptr, lengths, nullptr);
}

at::Tensor HighwayStack::forward_products(HighwayInput first, const std::vector<std::int64_t>& lengths,
                                          Workspace& workspace) const {
    return run(at::Tensor(), &first, lengths, &workspace);
}

const HighwayStack::Layer& HighwayStack::first_layer() const {
    TORCH_CHECK(!layers_.empty(), "an empty highway stack has no first layer");
    return layers_.front();
}

HighwayInput HighwayStack::first_products(const at::Tensor& values, std::int64_t column,
                                          Workspace& workspace) const {
    const Layer& layer = first_layer();
    TORCH_CHECK(values.dim() == 2, "highway input block must be 2-D, got ", values.sizes());
    const std::int64_t w = values.size(1);
    TORCH_CHECK(column >= 0 && column + w <= layer.lstm->input_size(),
                "highway input block [", column, ", ", column + w, ") exceeds the ", layer.lstm->input_size(),
                " input features");
    const auto product = [&](const at::Tensor& weight_t) {
        const at::Tensor block = weight_t.narrow(0, column, w);
        at::Tensor out = workspace.take({values.size(0), block.size(1)});
        return at::mm_out(out, values, block);
    };
    return {product(layer.lstm->input_weight().t()), product(layer.highway_weight_t), product(layer.gate_weight_t)};
}

HighwayInput HighwayStack::first_biases() const {
    const Layer& layer = first_layer();
    return {layer.lstm->bias().unsqueeze(0), layer.highway_bias.unsqueeze(0), layer.gate_bias.unsqueeze(0)};
}

at::Tensor HighwayStack::run(const at::Tensor& rows, HighwayInput* first,
                             const std::vector<std::int64_t>& lengths, Workspace* workspace) const {
    const SerialScope serial;
    const auto B = static_cast<std::int64_t>(lengths.size());
    std::int64_t T = 0;
    std::int64_t N = 0;
    for (const std::int64_t n : lengths) {
        TORCH_CHECK(n >= 1, "highway sequences need at least one word");
        T = std::max(T, n);
        N += n;
    }
    if (first == nullptr) {
        TORCH_CHECK(rows.dim() == 2 && rows.size(0) == N, "highway input must hold ", N, " rows, got ", rows.sizes());
    } else {
        const std::int64_t H = first_layer().lstm->hidden_size();
        TORCH_CHECK(first->lstm.sizes() == at::IntArrayRef({N, 8 * H}) &&
                        first->highway.sizes() == at::IntArrayRef({N, 2 * H}) &&
                        first->gate.sizes() == at::IntArrayRef({N, 2 * H}),
                    "highway first-layer products must hold ", N, " rows of ", 8 * H, ", ", 2 * H, " and ", 2 * H);
    }
    // The recurrence reads step t of sequence b from packed row steps[b * T +
    // t] (row 0 past a sequence's length, never read) and writes it at padded
    // position b * T + t; positions lists those of the packed rows.
    std::vector<std::int64_t> steps(static_cast<std::size_t>(B * T), 0);
    std::vector<std::int64_t> positions;
    positions.reserve(static_cast<std::size_t>(N));
    for (std::int64_t b = 0; b < B; ++b) {
        for (std::int64_t t = 0; t < lengths[b]; ++t) {
            steps[static_cast<std::size_t>(b * T + t)] = static_cast<std::int64_t>(positions.size());
            positions.push_back(b * T + t);
        }
    }
    at::Tensor x = rows;
    // The input products and the padded outputs, reused by every layer of one
    // width: fresh pages for each layer would cost a fault per page.
    at::Tensor packed;
    at::Tensor output;
    for (std::size_t l = 0; l < layers_.size(); ++l) {
        const Layer& layer = layers_[l];
        const bool given = l == 0 && first != nullptr;
        const std::int64_t H = layer.lstm->hidden_size();
        if (!given) {
            if (!packed.defined() || packed.size(1) != 8 * H) packed = take_or_empty(workspace, {N, 8 * H});
            at::addmm_out(packed, layer.lstm->bias(), x, layer.lstm->input_weight().t());
        }
        // The given products are dropped once read, so that their buffers
        // serve the layers above.
        at::Tensor products = given ? std::exchange(first->lstm, at::Tensor()).contiguous() : packed;
        // Written at every valid step, the only ones read back.
        if (!output.defined() || output.size(1) != 2 * H) output = take_or_empty(workspace, {B * T, 2 * H});
        const at::Tensor h0 = layer.h0.expand({2, B, H}).contiguous();
        const at::Tensor c0 = layer.c0.expand({2, B, H}).contiguous();
        layer.lstm->run_gathered(products.const_data_ptr<float>(), steps.data(), B, T, lengths.data(),
                                 output.mutable_data_ptr<float>(), h0.const_data_ptr<float>(),
                                 c0.const_data_ptr<float>());
        products = at::Tensor();
        at::Tensor transform;
        at::Tensor gate;
        if (given) {
            transform = std::exchange(first->highway, at::Tensor()).contiguous();
            gate = std::exchange(first->gate, at::Tensor()).contiguous();
        } else {
            transform = take_or_empty(workspace, {N, 2 * H});
            at::addmm_out(transform, layer.highway_bias, x, layer.highway_weight_t);
            gate = take_or_empty(workspace, {N, 2 * H});
            at::addmm_out(gate, layer.gate_bias, x, layer.gate_weight_t);
        }
        // The last layer's rows are the result, which outlives the workspace's
        // batch: a buffer of their own.
        const bool last = l + 1 == layers_.size();
        at::Tensor next = take_or_empty(last ? nullptr : workspace, {N, 2 * H});
        highway_rows({output.const_data_ptr<float>(), positions.data(), gate.const_data_ptr<float>(),
                      transform.const_data_ptr<float>(), 2 * H, next.mutable_data_ptr<float>(), N, 2 * H});
        x = std::move(next);
    }
    return x;
}

KeyedInputs::KeyedInputs(const std::vector<std::int64_t>& sentence_rows) : first_row(sentence_rows.size(), -1) {
    for (std::size_t s = 0; s < sentence_rows.size(); ++s) {
        if (sentence_rows[s] == 0) continue;
        first_row[s] = rows;
        rows += sentence_rows[s];
    }
}

void KeyedInputs::add(at::Tensor values, std::vector<std::int64_t> index) {
    TORCH_CHECK(values.dim() == 2 && static_cast<std::int64_t>(index.size()) == rows,
                "an input block needs 2-D values and a key per row");
    const std::int64_t w = values.size(1);
    blocks.push_back({width, std::move(values), std::move(index)});
    width += w;
}

void KeyedInputs::add_per_row(at::Tensor values) {
    std::vector<std::int64_t> index(static_cast<std::size_t>(rows));
    std::iota(index.begin(), index.end(), 0);
    add(std::move(values), std::move(index));
}

void KeyedInputs::add_keyed(const at::Tensor& table, const std::vector<std::int64_t>& ids,
                            const at::Tensor& projection) {
    auto [distinct, index] = distinct_ids(ids);
    at::Tensor values = at::embedding(table, make_id_tensor(distinct, {static_cast<std::int64_t>(distinct.size())}));
    if (projection.defined()) values = at::linear(values, projection);
    add(std::move(values), std::move(index));
}

std::pair<std::vector<std::int64_t>, std::vector<std::int64_t>> distinct_ids(const std::vector<std::int64_t>& ids) {
    std::unordered_map<std::int64_t, std::int64_t> slot;
    std::vector<std::int64_t> distinct;
    std::vector<std::int64_t> index;
    index.reserve(ids.size());
    for (const std::int64_t id : ids) {
        const auto [it, fresh] = slot.emplace(id, static_cast<std::int64_t>(distinct.size()));
        if (fresh) distinct.push_back(id);
        index.push_back(it->second);
    }
    return {std::move(distinct), std::move(index)};
}

at::Tensor keyed_rows(const KeyedInputs& inputs, std::int64_t first, std::int64_t count) {
    at::Tensor rows = at::empty({count, inputs.width}, at::TensorOptions().dtype(at::kFloat));
    for (const KeyedInputs::Block& block : inputs.blocks) {
        const std::vector<std::int64_t> index(block.index.begin() + first, block.index.begin() + first + count);
        rows.narrow(1, block.column, block.values.size(1))
            .copy_(at::index_select(block.values, 0, make_id_tensor(index, {count})));
    }
    return rows;
}

std::vector<at::Tensor> keyed_sentence_rows(const KeyedInputs& inputs) {
    std::vector<at::Tensor> result(inputs.first_row.size());
    if (inputs.rows == 0) return result;
    const at::Tensor all = keyed_rows(inputs, 0, inputs.rows);
    std::int64_t end = inputs.rows;
    for (std::size_t s = inputs.first_row.size(); s-- > 0;) {
        if (inputs.first_row[s] < 0) continue;
        result[s] = all.narrow(0, inputs.first_row[s], end - inputs.first_row[s]);
        end = inputs.first_row[s];
    }
    return result;
}

namespace {

// out[r] = bias + the sum over blocks k of products[k][slots[k][r]], the
// blocks in order, a row at a time so that it stays in the first-level cache.
at::Tensor sum_keyed_rows(at::Tensor out, const at::Tensor& bias, const std::vector<at::Tensor>& products,
                          const std::vector<std::vector<std::int64_t>>& slots) {
    const std::int64_t width = out.size(1);
    const at::Tensor base = bias.contiguous();
    const float* bias_row = base.const_data_ptr<float>();
    std::vector<const float*> from;
    for (const at::Tensor& p : products) from.push_back(p.const_data_ptr<float>());
    float* to = out.mutable_data_ptr<float>();
    for (std::int64_t r = 0; r < out.size(0); ++r) {
        float* row = to + r * width;
        std::copy_n(bias_row, width, row);
        for (std::size_t k = 0; k < from.size(); ++k) {
            const float* add = from[k] + slots[k][static_cast<std::size_t>(r)] * width;
            for (std::int64_t j = 0; j < width; ++j) row[j] += add[j];
        }
    }
    return out;
}

}  // namespace

HighwayInput keyed_first_products(const HighwayStack& stack, const KeyedInputs& inputs,
                                  const std::vector<std::size_t>& members, const std::vector<std::int64_t>& lengths,
                                  Workspace& workspace) {
    const SerialScope serial;
    TORCH_CHECK(inputs.width == stack.input_size(), "input blocks fill ", inputs.width, " of ", stack.input_size(),
                " columns");
    const std::int64_t N = std::accumulate(lengths.begin(), lengths.end(), std::int64_t{0});
    std::vector<HighwayInput> products;
    std::vector<std::vector<std::int64_t>> slots;
    std::vector<std::int64_t> batch_keys(static_cast<std::size_t>(N));
    for (const KeyedInputs::Block& block : inputs.blocks) {
        // The block's distinct keys among these rows, each multiplied once.
        auto out_key = batch_keys.begin();
        for (std::size_t m = 0; m < members.size(); ++m) {
            const auto first = block.index.begin() + inputs.first_row[members[m]];
            out_key = std::copy(first, first + lengths[m], out_key);
        }
        auto [keys, slot] = distinct_ids(batch_keys);
        const at::Tensor values =
            at::index_select(block.values, 0, make_id_tensor(keys, {static_cast<std::int64_t>(keys.size())}));
        products.push_back(stack.first_products(values, block.column, workspace));
        slots.push_back(std::move(slot));
    }
    const HighwayInput biases = stack.first_biases();
    const auto rows_of = [&](const at::Tensor& bias, at::Tensor HighwayInput::*part) {
        std::vector<at::Tensor> parts;
        for (const HighwayInput& p : products) parts.push_back(p.*part);
        return sum_keyed_rows(workspace.take({N, bias.size(1)}), bias, parts, slots);
    };
    return {rows_of(biases.lstm, &HighwayInput::lstm), rows_of(biases.highway, &HighwayInput::highway),
            rows_of(biases.gate, &HighwayInput::gate)};
}

namespace {

// Characters of a word run by this many rows at once; a finished word's row
// is taken by the next waiting word, so the rows stay full.
constexpr std::int64_t kCharWindow = 128;
// Words per task, by total characters.
constexpr std::size_t kCharsPerTask = 16384;

float sigmoid(float x) { return 1.0f / (1.0f + std::exp(-x)); }

}  // namespace

GatedCharLstm::GatedCharLstm(const at::Tensor& embedding, const std::vector<at::Tensor>& lstm, const at::Tensor& h0,
                             const at::Tensor& c0, const at::Tensor& attention) {
    TORCH_CHECK(lstm.size() == 4, "the character LSTM takes 4 weights");
    for (const at::Tensor* t : {&embedding, &lstm[0], &lstm[1], &lstm[2], &lstm[3], &h0, &c0, &attention}) {
        TORCH_CHECK(t->scalar_type() == at::kFloat, "character model weights must be float32");
    }
    TORCH_CHECK(embedding.dim() == 2, "character embedding must be 2-D, got ", embedding.sizes());
    TORCH_CHECK(lstm[1].dim() == 2 && lstm[1].size(0) > 0 && lstm[1].size(0) == 4 * lstm[1].size(1),
                "character LSTM weight_hh must be [4H, H], got ", lstm[1].sizes());
    hidden_ = lstm[1].size(1);
    const std::int64_t H = hidden_;
    const std::int64_t E = embedding.size(1);
    TORCH_CHECK(lstm[0].sizes() == at::IntArrayRef({4 * H, E}), "character LSTM weight_ih must be [", 4 * H, ", ",
                E, "], got ", lstm[0].sizes());
    TORCH_CHECK(lstm[2].sizes() == at::IntArrayRef({4 * H}) && lstm[3].sizes() == at::IntArrayRef({4 * H}),
                "character LSTM biases must be [", 4 * H, "]");
    TORCH_CHECK(h0.numel() == H && c0.numel() == H, "character LSTM initial state must hold ", H, " values");
    TORCH_CHECK(attention.dim() == 2 && attention.size(1) == H && (attention.size(0) == 1 || attention.size(0) == H),
                "character attention must be [1, ", H, "] or [", H, ", ", H, "], got ", attention.sizes());
    embedding_ = embedding;
    w_ih_ = lstm[0].contiguous();
    bias_ = lstm[2].add(lstm[3]);
    w_hh_ = lstm[1].contiguous();
    attention_ = attention.contiguous();
    const at::Tensor h = h0.contiguous();
    const at::Tensor c = c0.contiguous();
    h0_.assign(h.const_data_ptr<float>(), h.const_data_ptr<float>() + H);
    c0_.assign(c.const_data_ptr<float>(), c.const_data_ptr<float>() + H);
}

at::Tensor GatedCharLstm::encode(const std::vector<std::vector<std::int64_t>>& words) const {
    const std::int64_t H = hidden_;
    const std::int64_t G = 4 * H;
    const std::int64_t R = attention_.size(0);
    const auto count = static_cast<std::int64_t>(words.size());
    at::Tensor result = at::empty({count, H}, at::TensorOptions().dtype(at::kFloat));
    if (count == 0) return result;

    // The input product and both biases once per distinct character.
    std::unordered_map<std::int64_t, std::int64_t> dense;
    std::vector<std::int64_t> distinct;
    std::vector<std::vector<std::int64_t>> rows_of(words.size());
    for (std::size_t w = 0; w < words.size(); ++w) {
        TORCH_CHECK(!words[w].empty(), "the character LSTM got a word without characters");
        rows_of[w].reserve(words[w].size());
        for (const std::int64_t id : words[w]) {
            const auto [it, added] = dense.emplace(id, static_cast<std::int64_t>(distinct.size()));
            if (added) distinct.push_back(id);
            rows_of[w].push_back(it->second);
        }
    }
    at::Tensor table;
    {
        const SerialScope serial;
        const at::Tensor embedded =
            at::index_select(embedding_, 0, make_id_tensor(distinct, {static_cast<std::int64_t>(distinct.size())}));
        // Sums in a fixed order, so that a word's row never depends on the
        // other words of the call.
        table = at::empty({embedded.size(0), G}, embedded.options());
        table.copy_(bias_.expand({embedded.size(0), G}));
        add_row_products(embedded.const_data_ptr<float>(), embedded.stride(0), w_ih_.const_data_ptr<float>(),
                         w_ih_.stride(0), table.mutable_data_ptr<float>(), G, embedded.size(0), G, embedded.size(1));
    }
    const float* table_rows = table.const_data_ptr<float>();
    const float* w_hh = w_hh_.const_data_ptr<float>();
    const float* attention = attention_.const_data_ptr<float>();
    float* out = result.mutable_data_ptr<float>();

    // Longest first, so that a window drains on its shortest words.
    std::vector<std::size_t> order(words.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return words[a].size() > words[b].size(); });
    const std::vector<std::size_t> bounds =
        group_by_weight(order.size(), kCharsPerTask, [&](std::size_t i) { return words[order[i]].size(); });

    run_tasks(bounds.size() - 1, [&](std::size_t task) {
        const std::size_t begin = bounds[task];
        const std::size_t end = bounds[task + 1];
        const std::int64_t window = std::min<std::int64_t>(kCharWindow, static_cast<std::int64_t>(end - begin));
        std::vector<float> h(static_cast<std::size_t>(window * H));
        std::vector<float> c(static_cast<std::size_t>(window * H));
        std::vector<float> pooled(static_cast<std::size_t>(window * H));
        std::vector<float> gates(static_cast<std::size_t>(window * G));
        std::vector<float> logits(static_cast<std::size_t>(window * R));
        struct Row {
            std::size_t word;
            std::size_t step;
        };
        std::vector<Row> rows;
        rows.reserve(static_cast<std::size_t>(window));
        std::size_t next = begin;
        const auto bytes = static_cast<std::size_t>(H) * sizeof(float);
        while (true) {
            while (static_cast<std::int64_t>(rows.size()) < window && next < end) {
                const std::size_t r = rows.size();
                std::memcpy(h.data() + r * H, h0_.data(), bytes);
                std::memcpy(c.data() + r * H, c0_.data(), bytes);
                std::fill_n(pooled.data() + r * H, H, 0.0f);
                rows.push_back({order[next++], 0});
            }
            const auto b = static_cast<std::int64_t>(rows.size());
            if (b == 0) break;
            for (std::int64_t r = 0; r < b; ++r) {
                const Row& row = rows[r];
                std::memcpy(gates.data() + r * G, table_rows + rows_of[row.word][row.step] * G,
                            static_cast<std::size_t>(G) * sizeof(float));
            }
            add_row_products(h.data(), H, w_hh, H, gates.data(), G, b, G, H);
            lstm_cell_rows({gates.data(), G, c.data(), h.data(), H, b, H});
            std::fill_n(logits.data(), b * R, 0.0f);
            add_row_products(h.data(), H, attention, H, logits.data(), R, b, R, H);
            for (std::int64_t r = 0; r < b; ++r) {
                const float* hr = h.data() + r * H;
                const float* lr = logits.data() + r * R;
                float* pr = pooled.data() + r * H;
                if (R == 1) {
                    const float weight = sigmoid(lr[0]);
                    for (std::int64_t k = 0; k < H; ++k) pr[k] += hr[k] * weight;
                } else {
                    for (std::int64_t k = 0; k < H; ++k) pr[k] += hr[k] * sigmoid(lr[k]);
                }
                ++rows[r].step;
            }
            // Finished words leave; the last row moves into each gap.
            for (std::int64_t r = b - 1; r >= 0; --r) {
                const Row row = rows[r];
                if (row.step < words[row.word].size()) continue;
                std::memcpy(out + row.word * H, pooled.data() + r * H, bytes);
                const std::int64_t last = static_cast<std::int64_t>(rows.size()) - 1;
                if (r != last) {
                    std::memcpy(h.data() + r * H, h.data() + last * H, bytes);
                    std::memcpy(c.data() + r * H, c.data() + last * H, bytes);
                    std::memcpy(pooled.data() + r * H, pooled.data() + last * H, bytes);
                    rows[r] = rows[last];
                }
                rows.pop_back();
            }
        }
    });
    return result;
}

}  // namespace quelbin::detail
