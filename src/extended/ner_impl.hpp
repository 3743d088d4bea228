// The loaded NER model: bundle, tensor views, vocabularies, tag columns,
// configuration, feature extractors and the float32 forms the tagger runs.
//
// Members are declared so that reverse declaration order is the teardown: the
// runnable forms and the character LMs go first, the tensor views next, and
// the shared bundle last, so that no view outlives the mapping it reads.
#pragma once

#include <quelbin/model_bundle.hpp>
#include <quelbin/ner.hpp>

#include <ATen/core/Tensor.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "encoders/native_charlm.hpp"
#include "encoders/native_transformer.hpp"
#include "kernels/bilstm.hpp"
#include "model/json.hpp"

namespace quelbin {

struct NERPlan::Impl {
    // The loader: opens and checks the bundle or throws.
    Impl(std::filesystem::path bundle_dir, bool verify_checksums);

    // The view named `name`; NERModelError "missing NER tensor: '<name>'".
    const at::Tensor& require_ner_tensor(std::string_view name) const;

    struct TagClassifier {
        at::Tensor weight;
        at::Tensor bias;
        at::Tensor transitions;
    };

    // A stack of one-layer bidirectional LSTMs on the fast recurrence, with
    // each layer's initial state ([2, 1, H] float32).
    struct LstmStack {
        std::vector<std::unique_ptr<detail::BiLstm>> layers;
        std::vector<at::Tensor> h0;
        std::vector<at::Tensor> c0;
    };

    std::shared_ptr<ModelBundle> bundle;
    std::unordered_map<std::string, at::Tensor> tensors;
    std::unordered_map<std::string, std::int64_t> word_vocab;
    std::unordered_map<std::string, std::int64_t> delta_vocab;
    std::unordered_map<std::string, std::int64_t> char_vocab;
    std::vector<std::vector<std::string>> tag_columns;

    std::int64_t word_emb_dim = 0;
    std::int64_t char_emb_dim = 0;
    std::int64_t char_hidden_dim = 0;
    std::int64_t char_num_layers = 0;
    std::int64_t hidden_dim = 0;
    std::int64_t num_layers = 0;
    std::int64_t predict_tagset = 0;

    bool lowercase = true;
    bool char_lowercase = false;
    bool word_lower = false;
    bool delta_lower = false;
    bool input_transform = false;
    bool connect_output_layers = false;
    bool charlm = false;
    bool transformer = false;

    std::unique_ptr<detail::NativeCharLM> charlm_forward;
    std::unique_ptr<detail::NativeCharLM> charlm_backward;
    std::unique_ptr<detail::NativeTransformer> transformer_encoder;

    std::vector<at::Tensor> char_lstm_weights;
    std::vector<at::Tensor> char_lstm_state;
    std::vector<at::Tensor> tagger_lstm_weights;
    std::vector<at::Tensor> tagger_lstm_state;
    std::vector<TagClassifier> classifiers;

    // Runnable forms, built once at load: float32 contiguous embeddings and
    // classifiers (views when the bundle stores float32), the LSTM stacks, the
    // decoded column's transitions. Weights that do not fit the recurrence
    // leave `network_error` set; tagging then reports it as the tensor
    // library's error, as running the mismatched weights would.
    std::int64_t input_width = 0;  // D
    at::Tensor word_table;
    at::Tensor delta_table;
    at::Tensor char_table;
    at::Tensor transform_weight;
    at::Tensor transform_bias;
    std::vector<TagClassifier> runnable_classifiers;  // columns 0 .. predict_tagset
    LstmStack char_stack;
    LstmStack tagger_stack;
    std::string network_error;
};

namespace detail {

// Everything one sentence's tagging needs besides the model: its words and,
// with character LMs and the transformer, their feature rows ([n, hidden] each).
struct NERSentence {
    const std::vector<std::string>* words = nullptr;
    at::Tensor forward_features;
    at::Tensor backward_features;
    at::Tensor transformer_features;
};

// Builds the runnable forms of a loaded model (called at the end of loading).
void prepare_ner_network(NERPlan::Impl& impl);

// The repaired tags of one non-empty sentence; runs on the calling thread.
std::vector<std::string> tag_ner_sentence(const NERPlan::Impl& impl, const NERSentence& sentence);

// Word features [n, D] float32 of one sentence (after the input transform).
at::Tensor embed_ner_words(const NERPlan::Impl& impl, const NERSentence& sentence);

// Character LM features of many sentences, lower-cased first when the model
// says so; `sentences` are word lists, possibly empty.
void encode_ner_charlm(const NERPlan::Impl& impl, const std::vector<const std::vector<std::string>*>& sentences,
                       std::vector<at::Tensor>& forward, std::vector<at::Tensor>& backward);

}  // namespace detail
}  // namespace quelbin
