// Loaded state of a POS plan and the routines that embed, encode and classify
// over it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include <ATen/core/Tensor.h>

#include "encoders/native_charlm.hpp"
#include "encoders/native_transformer.hpp"
#include "quelbin/pos.hpp"
#include "syntax/syntax_model.hpp"

namespace quelbin {

namespace detail {
class JsonValue;
}  // namespace detail

// Members in declaration order; the destructor releases them in reverse, so
// that every tensor view goes before the bundle.
struct POSPlan::Impl {
    // Loads and checks the bundle; refusals are POSModelError, JSON errors
    // leave as detail::JsonError.
    Impl(std::filesystem::path path, bool verify_checksums);

    std::shared_ptr<ModelBundle> bundle;
    std::unordered_map<std::string, at::Tensor> tensors;
    std::vector<at::Tensor> char_lstm_weights;
    std::vector<at::Tensor> char_lstm_state;
    std::vector<detail::HighwayLayer> tagger_layers;
    std::unordered_map<std::string, std::int64_t> word_vocab;
    std::unordered_map<std::string, std::int64_t> char_vocab;
    std::unordered_map<std::string, std::int64_t> pretrain_vocab;
    std::vector<std::string> upos_labels;
    std::vector<std::string> xpos_labels;
    std::vector<std::vector<std::string>> xpos_components;
    std::vector<std::pair<std::string, std::vector<std::string>>> feats_labels;
    std::int64_t word_emb_dim = 0;
    std::int64_t transformed_dim = 0;
    std::int64_t char_emb_dim = 0;
    std::int64_t char_hidden_dim = 0;
    std::int64_t hidden_dim = 0;
    std::int64_t num_layers = 0;
    std::int64_t tag_emb_dim = 0;
    std::int64_t charlm_transform_dim = 0;
    std::int64_t batch_size = 250;
    std::int64_t batch_maximum_tokens = 5000;
    std::string xpos_sep;
    bool word_lower = false;
    bool xpos_has_ignore = false;
    bool xpos_composite = false;
    bool use_charlm = false;
    bool use_transformer = false;
    std::unique_ptr<detail::NativeCharLM> charlm_forward;
    std::unique_ptr<detail::NativeCharLM> charlm_backward;
    std::unique_ptr<detail::NativeTransformer> transformer;
    // The fast runners over the views above (their own copies of the
    // recurrent weights in the kernels' layouts).
    std::unique_ptr<detail::GatedCharLstm> char_model;
    std::unique_ptr<detail::HighwayStack> tagger;
};

namespace detail {

// Loader helpers; integers and numbers accept JSON integers and numbers as
// the JSON reader does, missing or null keys give the default.
std::int64_t read_pos_config_int(const JsonValue& config, std::string_view key, std::int64_t fallback);
bool read_pos_config_bool(const JsonValue& config, std::string_view key);
double read_pos_config_number(const JsonValue& config, std::string_view key);
std::unordered_map<std::string, std::int64_t> read_pos_unit2id(const JsonValue& vocab, std::string_view path);
std::vector<std::string> read_pos_id2unit(const JsonValue& vocab, std::string_view path);

// The tensor view stored under `name`; "missing POS tensor: '<name>'" otherwise.
const at::Tensor& require_pos_tensor(const POSPlan::Impl& impl, std::string_view name);
void validate_pos_tensors(const POSPlan::Impl& impl);
std::vector<at::Tensor> collect_pos_char_lstm_weights(const POSPlan::Impl& impl);
std::vector<at::Tensor> collect_pos_highway_lstm_weights(const POSPlan::Impl& impl, std::int64_t k);

// The form a word is embedded with: a run of two or more question and
// exclamation marks becomes "?" or "!" after its first mark; anything else is
// the word itself.
std::string pos_word_form(const std::string& word);

// The character model's feature of one form, [char_hidden_dim]; an empty form
// throws "POS cannot encode an empty word".
at::Tensor encode_pos_characters(const POSPlan::Impl& impl, const std::string& form);

// Input rows of one sentence, [1, n, D]; the charLM features are computed
// here when their pointers are null.
at::Tensor embed_pos_words(const POSPlan::Impl& impl, const std::vector<std::string>& words,
                           const at::Tensor* forward_features, const at::Tensor* backward_features);

// The tagger's input of many sentences by column block, with the checks and
// features of embed_pos_sentences.
KeyedInputs pos_inputs(const POSPlan::Impl& impl, const std::vector<std::vector<std::string>>& sentences,
                       const std::vector<at::Tensor>& forward_features,
                       const std::vector<at::Tensor>& backward_features);

// Input rows of many sentences, one [n_i, D] tensor per sentence (undefined for
// an empty one): the character model runs once over the distinct forms of all
// of them, the transformer once per sentence. charLM features: one tensor per
// sentence, or empty lists without a charLM. Errors come in sentence and word
// order.
std::vector<at::Tensor> embed_pos_sentences(const POSPlan::Impl& impl,
                                            const std::vector<std::vector<std::string>>& sentences,
                                            const std::vector<at::Tensor>& forward_features,
                                            const std::vector<at::Tensor>& backward_features);

// The highway BiLSTM over one sentence, [n, 2 * hidden_dim].
at::Tensor encode_pos_sentence(const POSPlan::Impl& impl, const std::vector<std::string>& words,
                               const at::Tensor* forward_features, const at::Tensor* backward_features);

// The highway BiLSTM over many sentences in length-sorted batches; one
// contiguous [n_i, 2 * hidden_dim] tensor per sentence in input order,
// undefined for an empty sentence.
std::vector<at::Tensor> encode_pos_batch(const POSPlan::Impl& impl,
                                         const std::vector<std::vector<std::string>>& sentences,
                                         const std::vector<at::Tensor>& forward_features,
                                         const std::vector<at::Tensor>& backward_features);

// Logits of the bilinear classifier `prefix` over [hidden; 1] and [condition; 1].
at::Tensor pos_bilinear_classifier(const POSPlan::Impl& impl, const at::Tensor& hidden, const at::Tensor& condition,
                                   std::string_view prefix);

// The class ids of every head for n encoded rows.
struct POSClassIds {
    std::vector<std::int64_t> upos;                 // [n]
    std::vector<std::vector<std::int64_t>> xpos;    // per component (one for a plain vocabulary), [n] each
    std::vector<std::vector<std::int64_t>> feats;   // per feature, [n] each
};
POSClassIds pos_class_ids(const POSPlan::Impl& impl, const at::Tensor& rows);
// The tags of row i from its class ids.
POSPrediction decode_pos_row(const POSPlan::Impl& impl, const POSClassIds& ids, std::size_t i);

std::vector<POSPrediction> classify_pos_words(const POSPlan::Impl& impl, const at::Tensor& rows, std::int64_t n);
std::vector<std::vector<POSPrediction>> classify_pos_batch(const POSPlan::Impl& impl,
                                                           const std::vector<at::Tensor>& encoded,
                                                           const std::vector<std::vector<std::string>>& sentences);

std::vector<POSPrediction> tag_pos_words(const POSPlan::Impl& impl, const std::vector<std::string>& words,
                                         const at::Tensor* forward_features, const at::Tensor* backward_features);
std::vector<std::vector<POSPrediction>> tag_pos_batch(const POSPlan::Impl& impl,
                                                      const std::vector<std::vector<std::string>>& sentences);

}  // namespace detail
}  // namespace quelbin
