// Loaded state of the sentiment classifier and the routines of its network.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <ATen/core/Tensor.h>

#include "encoders/native_charlm.hpp"
#include "encoders/native_transformer.hpp"
#include "kernels/bilstm.hpp"
#include "quelbin/sentiment.hpp"

namespace quelbin {

namespace detail {
class JsonValue;
}  // namespace detail

// One convolution filter: `height` word positions; a two-dimensional filter
// spans `width` feature columns and is tiled across the feature width, a
// one-dimensional one (width 0) spans the whole width.
struct SentimentFilter {
    std::int64_t height = 0;
    std::int64_t width = 0;
    bool two_dimensional = false;
};

// The weights of one filter and of one dense layer, held for the forward pass.
struct SentimentConv {
    at::Tensor weight;  // [C, 1, height, w]
    at::Tensor bias;    // [C]
    std::int64_t channels = 0;
    std::int64_t tile = 0;   // w: columns per tile
    std::int64_t tiles = 0;  // D / w
};

struct SentimentPlan::Impl {
    // Loads and checks the bundle; JSON errors leave as detail::JsonError.
    Impl(std::filesystem::path path, bool verify_checksums);

    // Class scores [B, num_classes] of one batch, in the batch's order.
    at::Tensor forward(const std::vector<const std::vector<std::string>*>& batch) const;
    // The padded length of a batch whose longest sentence has `longest` words.
    std::int64_t padded_length(std::int64_t longest) const;
    // The batch driver: scores [n, num_classes], row i for sentence i.
    at::Tensor score_many(const std::vector<const std::vector<std::string>*>& sentences,
                          std::size_t batch_size) const;
    // One class per sentence (the first best score), in input order.
    std::vector<std::int64_t> classify_many(const std::vector<const std::vector<std::string>*>& sentences,
                                            std::size_t batch_size) const;

    std::shared_ptr<ModelBundle> bundle;
    std::unordered_map<std::string, at::Tensor> tensors;
    std::unordered_map<std::string, std::int64_t> pretrain_vocab;
    std::unordered_map<std::string, std::int64_t> extra_vocab;
    std::vector<std::string> labels;
    std::vector<SentimentFilter> filters;
    std::vector<at::Tensor> bilstm_weights;
    std::string extra_wordvec_method;
    std::int64_t bilstm_hidden_dim = 0;
    std::int64_t maxpool_width = 0;
    std::int64_t num_classes = 0;
    std::int64_t charlm_projection = 0;
    // The floor of a batch's padded length from the filter sizes: a 1-D
    // filter's height, a 2-D filter's width (as trained models expect).
    std::int64_t min_padded_length = 0;
    std::int64_t fc_layer_count = 0;
    bool pretrain_lower = false;
    bool bilstm = false;
    bool has_charlm_forward = false;
    bool has_charlm_backward = false;
    bool use_transformer = false;
    std::unique_ptr<detail::NativeCharLM> charlm_forward;
    std::unique_ptr<detail::NativeCharLM> charlm_backward;
    std::unique_ptr<detail::NativeTransformer> transformer;

    // Derived at load for the forward pass.
    bool extra_vocab_has_duplicates = false;
    // Batches are also padded to the tallest filter, so that every
    // convolution has a position to cover (a 2-D filter's height is not in
    // the floor above).
    std::int64_t tallest_filter = 0;
    std::int64_t word_width = 0;   // E
    std::int64_t extra_width = 0;  // X, 0 without extra vectors
    std::int64_t input_width = 0;  // features before the BiLSTM
    std::int64_t feature_width = 0;  // D, what the filters see
    std::int64_t pooled_width = 0;   // P
    at::Tensor embedding;        // [V, E]
    at::Tensor unk;              // [E]
    at::Tensor extra_embedding;  // [X rows, X]
    std::vector<SentimentConv> convs;
    std::vector<at::Tensor> fc_weights;
    std::vector<at::Tensor> fc_biases;
    std::unique_ptr<detail::BiLstm> lstm_layers[2];
};

namespace detail {

std::string read_sentiment_config_string(const JsonValue& config, std::string_view key);
bool read_sentiment_config_bool(const JsonValue& config, std::string_view key);
std::int64_t read_sentiment_config_int(const JsonValue& config, std::string_view key);
const at::Tensor& require_sentiment_tensor(const SentimentPlan::Impl& impl, const std::string& name);

// The pretrained-vocabulary id of a word: the word, the word without a
// trailing single quote, the lower-cased word, else 1 ("<UNK>").
std::int64_t lookup_sentiment_word(const SentimentPlan::Impl& impl, const std::string& word);

}  // namespace detail
}  // namespace quelbin
