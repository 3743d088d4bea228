// The loaded state of a tokenizer model, shared by features, labelling and
// document construction. Read-only after construction.
#pragma once

#include <quelbin/tokenizer.hpp>

#include <ATen/core/Tensor.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace quelbin {

class ModelBundle;
namespace detail {
class BiLstm;
}

struct TokenizerPlan::Impl {
    std::shared_ptr<ModelBundle> bundle;
    std::unordered_map<std::string, std::int64_t> unit2id;
    std::unordered_map<std::string, at::Tensor> tensors;
    std::vector<at::Tensor> rnn_weights;
    std::vector<at::Tensor> rnn2_weights;
    std::vector<at::Tensor> initial_state;
    // The two BiLSTMs prepared for inference from rnn_weights and rnn2_weights;
    // null when those weights do not have LSTM shapes (the labeller then reports
    // the shape error when it runs).
    std::shared_ptr<const detail::BiLstm> rnn;
    std::shared_ptr<const detail::BiLstm> rnn2;
    // The first BiLSTM's input projection of every vocabulary entry's embedding
    // (biases included), [vocabulary, 8 * hidden_dim], and the feature columns
    // of its input weight transposed, [feat_dim, 8 * hidden_dim]: the
    // projection of a character is then a table row plus its features'
    // product. Undefined when the shapes do not fit or the table would be large.
    at::Tensor rnn_embedding_projection;
    at::Tensor rnn_feature_weight;
    // The classifier heads of each level stacked, [heads, 2 * hidden_dim] with
    // the heads tok, sent and (with use_mwt) mwt, and the first level's
    // biases, [heads]. Defined only when the table above is and every network
    // weight has the shape the labeller's direct path expects; otherwise the
    // labeller runs ATen operators, which report shapes that do not fit.
    at::Tensor head_weight1;
    at::Tensor head_weight2;
    at::Tensor head_bias1;
    std::unordered_set<std::string> lexicon_words;
    std::unordered_set<std::string> lexicon_prefixes;
    std::unordered_set<std::string> lexicon_suffixes;
    std::vector<std::string> feat_funcs;
    std::int64_t pad_id = 0;
    std::int64_t unk_id = 0;
    std::int64_t emb_dim = 0;
    std::int64_t hidden_dim = 0;
    std::int64_t feat_dim = 0;
    std::int64_t rnn_layers = 1;
    std::int64_t num_dict_feat = 0;
    std::int64_t batch_size = 32;
    bool hierarchical = true;
    bool use_mwt = false;
    bool use_dictionary = false;
    bool skip_newline = false;
    double hier_invtemp = 0.0;
    std::string shorthand;
    std::string lang;

    // Loads and validates the bundle; throws TokenizerModelError, ModelBundleError
    // or detail::JsonError.
    Impl(const std::filesystem::path& bundle_dir, bool verify_checksums);
    // A model without bundle or weights; the text-only functions (features,
    // document construction) run on it in tests.
    Impl() = default;

    // Sets the head tensors above when every shape fits (rnn and the table defined).
    void prepare_heads();

    // The weight of that name; TokenizerModelError when the bundle lacks it.
    const at::Tensor& tokenizer_weight(const std::string& name) const;
};

}  // namespace quelbin
