// Pieces the POS tagger and the dependency parser share: the per-layer record
// of a highway BiLSTM and its fast runner, the character model with attention
// pooling, the numeric ordering of composite XPOS components, the presence
// check of a deep biaffine scorer, and the length-sorted sentence batches.
//
// Loaded syntax models declare their members so that reverse declaration
// order is their teardown: transformer and character LMs first, then labels
// and vocabularies, then layer records and weight lists, then the map of
// tensor views, and the shared bundle last, so that no view outlives the
// mapping it reads.
#pragma once

#include <ATen/core/Tensor.h>
#include <c10/util/FunctionRef.h>

#include <algorithm>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "kernels/bilstm.hpp"
#include "kernels/workspace.hpp"
#include "model/json.hpp"

namespace quelbin::detail {

// A word's key in a pretrained vocabulary: lower-cased, spaces as U+00A0.
std::string pretrain_key(const std::string& form);

// Tensor lookup by exact name; throws the model's missing-tensor error.
using RequireTensor = c10::function_ref<const at::Tensor&(std::string_view)>;

// One layer of a highway BiLSTM.
struct HighwayLayer {
    std::vector<at::Tensor> lstm_weights;  // 8, at::lstm order of a one-layer bidirectional LSTM
    std::vector<at::Tensor> lstm_state;    // h0, c0: [2, 1, H] each
    at::Tensor highway_weight;
    at::Tensor highway_bias;
    at::Tensor gate_weight;
    at::Tensor gate_bias;
};

// "<prefix>.lstm.<k>.lstm." + weight_ih_l0, weight_hh_l0, bias_ih_l0,
// bias_hh_l0, then the same four "_reverse".
std::vector<at::Tensor> collect_highway_lstm_weights(RequireTensor require, std::string_view prefix,
                                                     std::int64_t k);

// Layer k: its LSTM weights, rows 2k and 2k + 1 of "<prefix>_h_init" and
// "<prefix>_c_init" (too few rows fail in the narrow), "<prefix>.highway.<k>.*"
// and "<prefix>.gate.<k>.*".
HighwayLayer make_highway_layer(RequireTensor require, std::string_view prefix, std::int64_t k);

// Requires the six tensors of the deep biaffine scorer `prefix`, in order:
// W1 weight and bias, W2 weight and bias, scorer bilinear weight and bias.
// Stores nothing and checks no shape.
void bind_biaffine_tensors(RequireTensor require, std::string_view prefix);

// The component number of a composite XPOS vocabulary key: a whole unsigned
// decimal number as std::stoull reads it, else Error "composite XPOS component
// keys must be integers" (Error: the caller's model error class).
template <class Error>
unsigned long long composite_xpos_key(const std::string& key) {
    unsigned long long number = 0;
    std::size_t used = 0;
    try {
        number = std::stoull(key, &used, 10);
    } catch (const std::exception&) {
        throw Error("composite XPOS component keys must be integers");
    }
    if (used != key.size()) throw Error("composite XPOS component keys must be integers");
    return number;
}

// The components in number order; the numbers must be exactly 0 .. k-1, else
// Error "composite XPOS component keys must be contiguous".
template <class Error, class T>
std::vector<T> order_composite_xpos_components(std::vector<std::pair<unsigned long long, T>> numbered) {
    std::stable_sort(numbered.begin(), numbered.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<T> ordered;
    ordered.reserve(numbered.size());
    for (std::size_t i = 0; i < numbered.size(); ++i) {
        if (numbered[i].first != i) throw Error("composite XPOS component keys must be contiguous");
        ordered.push_back(std::move(numbered[i].second));
    }
    return ordered;
}

// Batches over sentences sorted longest first: a batch starting at s admits
// sentences while the count m satisfies m <= batch_size and m * length(s) <=
// max_tokens, and holds at least one. Returns the first index of every batch
// followed by the number of sentences.
std::vector<std::size_t> sentence_batches(const std::vector<std::int64_t>& sorted_lengths,
                                          std::int64_t batch_size, std::int64_t max_tokens);

// The first highway layer's three products of its input rows: the LSTM's gate
// inputs of both directions [N, 8H], the highway [N, 2H] and the gate [N, 2H]
// pre-activations.
struct HighwayInput {
    at::Tensor lstm;
    at::Tensor highway;
    at::Tensor gate;
};

// The stack of highway BiLSTM layers on the fast recurrence. Per layer:
// o = BiLSTM(x) from the layer's initial state, y = o + sigmoid(x Wg + bg) *
// tanh(x Wh + bh). Float32 weights only; shapes that do not fit throw
// c10::Error at construction.
class HighwayStack {
public:
    explicit HighwayStack(const std::vector<HighwayLayer>& layers);

    std::int64_t input_size() const;
    std::int64_t output_size() const;

    // rows [N, in] float32: the words of B sequences, sequence after sequence,
    // each in word order; lengths: the B sequence lengths (each at least 1,
    // summing to N). Returns the output rows [N, 2H] in the same order. The
    // products run over these rows only, never over padding.
    at::Tensor forward(const at::Tensor& rows, const std::vector<std::int64_t>& lengths) const;
    // forward() from the first layer's products of the rows, biases included,
    // its intermediates taken from `workspace`.
    at::Tensor forward_products(HighwayInput first, const std::vector<std::int64_t>& lengths,
                                Workspace& workspace) const;

    // The first layer's products of `values` [k, w], columns [column, column +
    // w) of the input, without biases; and the biases alone, [1, ...] each. A
    // row's products are the sum of its column blocks' and the biases, so
    // callers whose blocks repeat can multiply each distinct block once.
    HighwayInput first_products(const at::Tensor& values, std::int64_t column, Workspace& workspace) const;
    HighwayInput first_biases() const;

private:
    at::Tensor run(const at::Tensor& rows, HighwayInput* first, const std::vector<std::int64_t>& lengths,
                   Workspace* workspace) const;

    struct Layer {
        std::unique_ptr<BiLstm> lstm;
        at::Tensor h0;  // [2, 1, H]
        at::Tensor c0;
        at::Tensor highway_weight_t;  // [in, 2H]
        at::Tensor highway_bias;
        at::Tensor gate_weight_t;
        at::Tensor gate_bias;
    };
    std::vector<Layer> layers_;

    // The first layer; "an empty highway stack has no first layer" otherwise.
    const Layer& first_layer() const;
};

// The input rows of many sentences by column block. Each block holds the
// values of its distinct keys (a word's form, lemma or tags; the row itself
// for contextual features) and, per input row, the key's row in them. Rows
// run sentence after sentence.
struct KeyedInputs {
    struct Block {
        std::int64_t column = 0;
        at::Tensor values;                // [keys, width]
        std::vector<std::int64_t> index;  // per input row
    };
    std::vector<Block> blocks;
    std::vector<std::int64_t> first_row;  // per sentence; -1 for an empty one
    std::int64_t rows = 0;
    std::int64_t width = 0;

    // No blocks yet, for sentences of these row counts (0 for an empty one).
    explicit KeyedInputs(const std::vector<std::int64_t>& sentence_rows);

    // Appends a block: its values and each row's key among them.
    void add(at::Tensor values, std::vector<std::int64_t> index);
    // Appends a block of one value per row, [rows, w].
    void add_per_row(at::Tensor values);
    // Appends the rows of `table` for `ids` (one per row), each distinct id
    // looked up once, then multiplied by `projection` [w, table width] when
    // it is defined.
    void add_keyed(const at::Tensor& table, const std::vector<std::int64_t>& ids,
                   const at::Tensor& projection = at::Tensor());
};

// The distinct ids in order of first use, and per id its place among them.
std::pair<std::vector<std::int64_t>, std::vector<std::int64_t>> distinct_ids(const std::vector<std::int64_t>& ids);

// Input rows [count, width] from row `first`.
at::Tensor keyed_rows(const KeyedInputs& inputs, std::int64_t first, std::int64_t count);
// Every sentence's input rows, views of one tensor; undefined for an empty one.
std::vector<at::Tensor> keyed_sentence_rows(const KeyedInputs& inputs);

// The stack's first-layer products of the rows of sentences `members`
// (lengths theirs), in this order: each block's distinct keys among them are
// multiplied once, and a row's products are its blocks' summed over the
// biases. The products are taken from `workspace`.
HighwayInput keyed_first_products(const HighwayStack& stack, const KeyedInputs& inputs,
                                  const std::vector<std::size_t>& members, const std::vector<std::int64_t>& lengths,
                                  Workspace& workspace);

// A one-layer unidirectional character LSTM whose hidden states are pooled by
// their own sigmoid gates: feature = sum over t of h_t * sigmoid(h_t A^T),
// with A [1, H] (one gate per character) or [H, H] (one per unit). Float32
// weights only; shapes that do not fit throw c10::Error at construction.
class GatedCharLstm {
public:
    // lstm: weight_ih [4H, E], weight_hh [4H, H], bias_ih, bias_hh [4H];
    // h0, c0 with H values each; embedding [V, E]; attention [1 or H, H].
    GatedCharLstm(const at::Tensor& embedding, const std::vector<at::Tensor>& lstm, const at::Tensor& h0,
                  const at::Tensor& c0, const at::Tensor& attention);

    std::int64_t hidden_size() const { return hidden_; }

    // One feature row per word, [words, H]; every word has at least one id.
    // Each row is computed on its own: the result of a word does not depend
    // on the other words or on the thread count.
    at::Tensor encode(const std::vector<std::vector<std::int64_t>>& words) const;

private:
    at::Tensor embedding_;
    at::Tensor w_ih_;      // [4H, E], contiguous
    at::Tensor bias_;      // [4H]
    at::Tensor w_hh_;      // [4H, H], contiguous
    at::Tensor attention_; // [r, H], contiguous
    std::vector<float> h0_;
    std::vector<float> c0_;
    std::int64_t hidden_ = 0;
};

}  // namespace quelbin::detail
