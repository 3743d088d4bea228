// The character-level LSTM language model used as a frozen feature extractor:
// one row of hidden_size() numbers per word, the hidden state at the space that
// closes the word. A forward model reads the sentence left to right, a backward
// model right to left, code point by code point.
//
// Plans build it from their own bundle with a tensor-name prefix
// ("charmodel_forward.", "forward_charlm.", or "" for a bundle of its own).
#pragma once

#include <quelbin/model_bundle.hpp>

#include <ATen/core/Tensor.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "model/json.hpp"

namespace quelbin::detail {

// One string per code point of a UTF-8 word; invalid UTF-8 throws
// std::invalid_argument "invalid UTF-8 sequence at byte offset N".
std::vector<std::string> split_codepoints(const std::string& word);

// The id sequence the network reads for one sentence and, per word, the index
// of the space that closes it.
struct CharLMInput {
    std::vector<std::int64_t> ids;
    std::vector<std::int64_t> positions;
};

class NativeCharLM {
public:
    // Reads the assets object (labels start with "charlm assets") and views the
    // prefixed tensors. JSON errors pass unchanged; model errors are
    // CharLMModelError; a missing tensor is the bundle's ModelBundleError.
    NativeCharLM(std::shared_ptr<ModelBundle> bundle, std::string prefix, const JsonValue& assets);

    bool is_forward() const noexcept { return forward_; }
    std::int64_t hidden_size() const noexcept { return hidden_; }

    // [W, H] in the embedding's dtype, row i for word i; no words gives [0, H].
    at::Tensor encode(const std::vector<std::string>& words) const;
    // One tensor per sentence in input order, each as encode gives it.
    std::vector<at::Tensor> encode_many(const std::vector<std::vector<std::string>>& sentences) const;

    // The ids and word positions of one sentence (backward models reverse words
    // and code points; positions still follow the input words).
    CharLMInput char_input(const std::vector<std::string>& words) const;

private:
    at::Tensor bundle_tensor(std::string_view name) const;
    std::int64_t unknown_id() const;
    void check_network() const;
    void run(const std::vector<CharLMInput>& inputs, std::vector<at::Tensor>& results) const;

    std::shared_ptr<ModelBundle> bundle_;
    std::string prefix_;
    std::vector<at::Tensor> lstm_params_;  // per layer: weight_ih, weight_hh, bias_ih, bias_hh
    std::unordered_map<std::string, std::int64_t> vocab_;
    at::Tensor char_emb_;  // [V, E]
    at::Tensor h_init_;    // [N, 1, H]
    at::Tensor c_init_;    // [N, 1, H]
    std::int64_t hidden_ = 0;
    std::int64_t layers_ = 0;
    bool forward_ = true;
};

}  // namespace quelbin::detail
