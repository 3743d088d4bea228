// The loaded coreference model and the steps of its forward pass: subword
// windows and attention pooling, antecedent scoring and clustering, span and
// zero-anaphora prediction.
//
// Members are declared so that reverse declaration order is the teardown: the
// override table and the transformer go first, the tensor views next and the
// shared bundle last, so that no view outlives the mapping it reads.
#pragma once

#include <quelbin/coref_plan.hpp>
#include <quelbin/document_storage.hpp>
#include <quelbin/errors.hpp>
#include <quelbin/model_bundle.hpp>

#include <ATen/core/Tensor.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "encoders/native_transformer.hpp"

namespace quelbin {

struct CorefPlan::Impl {
    // The loader: opens and checks the bundle or throws.
    Impl(std::filesystem::path bundle_dir, bool verify_checksums);

    std::shared_ptr<ModelBundle> bundle;
    std::unordered_map<std::string, at::Tensor> tensors;
    std::unique_ptr<detail::NativeTransformer> transformer;
    std::unordered_map<std::string, std::vector<std::int64_t>> tokenizer_map_ids;

    std::int64_t hidden_size = 0;
    std::int64_t embedding_size = 0;
    std::int64_t sp_embedding_size = 0;
    std::int64_t a_scoring_batch_size = 0;
    std::int64_t n_hidden_layers = 0;
    std::int64_t rough_k = 0;
    std::int64_t bert_window_size = 0;
    std::int64_t cls_id = 0;
    std::int64_t sep_id = 0;
    std::int64_t pad_id = 0;
    std::int64_t eos_id = 0;
    bool singletons = false;
    bool full_pairwise = false;
    bool use_zeros = false;
};

namespace detail {

// The view stored under `name`; CorefModelError "missing coref tensor: '<name>'".
const at::Tensor& require_coref_tensor(const CorefPlan::Impl& impl, std::string_view name);

// Presence of every tensor the model reads and the three checked dimensions.
void validate_coref_tensors(const CorefPlan::Impl& impl);

// An owned int64 tensor of `sizes` holding a copy of the host values.
at::Tensor make_coref_index_tensor(const std::int64_t* data, c10::IntArrayRef sizes);

// The ids that open and close every transformer window.
inline std::int64_t coref_first_id(const CorefPlan::Impl& impl) { return impl.cls_id >= 0 ? impl.cls_id : impl.eos_id; }
inline std::int64_t coref_last_id(const CorefPlan::Impl& impl) { return impl.sep_id >= 0 ? impl.sep_id : impl.eos_id; }

struct CorefSubwordFeatures {
    at::Tensor subword_features;                                       // [m, hidden] float32
    std::vector<std::pair<std::int64_t, std::int64_t>> word_subword_ranges;  // [first, end) per word
};

// Windows [start, end) over m subwords of at most window_size - 2 each, cut
// back to the start of the sentence of the first subword that does not fit
// when that sentence starts inside the window. `subword_word` gives each
// subword's word, `sentence_ids` each word's sentence.
std::vector<std::pair<std::int64_t, std::int64_t>> coref_windows(const std::vector<std::int64_t>& subword_word,
                                                                 const std::vector<std::size_t>& sentence_ids,
                                                                 std::int64_t window_size);

// Subword ids of every word (overrides first), one transformer run per window.
CorefSubwordFeatures encode_coref_subwords(const CorefPlan::Impl& impl, const std::vector<std::string>& words,
                                           const std::vector<std::size_t>& sentence_ids);

// Attention pooling of each word's subword rows: [n, hidden] float32.
at::Tensor pool_coref_words(const CorefPlan::Impl& impl, const CorefSubwordFeatures& features);

// rows x right ([n, a] x [a, b] float32) in groups of rows run as tasks, so
// the result does not depend on the thread count.
at::Tensor coref_row_products(const at::Tensor& rows, const at::Tensor& right);

// The distance bucket (0 .. 8) of an anaphor-antecedent distance; distances
// below 1 count as 1.
std::int64_t coref_distance_bucket(std::int64_t distance);

// Clusters from each word's antecedent (a word index, or -1 for none) and,
// with singletons, the flags of unlinked words that form a cluster of their
// own: connected components of the links, each ascending, sorted.
std::vector<std::vector<std::size_t>> build_coref_clusters(const std::vector<std::int64_t>& antecedents,
                                                           const std::vector<char>& mention_flags);

// Antecedent scoring over the pooled features [n, hidden]; the clusters.
std::vector<std::vector<std::size_t>> score_coref_clusters(const CorefPlan::Impl& impl, const at::Tensor& features,
                                                           const std::vector<std::string>& speakers);

// The span of head `head` from the scores of its sentence's words (ascending
// document indices `sentence`, `scores` two floats per word: start, end).
// Strictly greater scores win, so ties keep the earlier word and NaN never wins.
std::pair<std::size_t, std::size_t> choose_coref_span(std::size_t head, const std::vector<std::size_t>& sentence,
                                                      const float* scores);

// Fills span_clusters and zero_words of `prediction` from its word_clusters.
void predict_coref_spans(const CorefPlan::Impl& impl, const at::Tensor& features,
                         const std::vector<std::size_t>& sentence_ids, CorefPrediction& prediction);

// A document's regular words as `resolve` takes them, sentence by sentence.
// Sentences without words take no id, so every id stays below the number of
// words; `sentence_of_id` maps an id back to its sentence.
struct CorefWords {
    std::vector<std::string> words;
    std::vector<std::size_t> sentence_ids;
    std::vector<std::string> speakers;  // the sentence's speaker, or "_"
    std::vector<std::uint32_t> sentence_of_id;
};
CorefWords gather_coref_words(const DocumentStorage& storage);

// What a prediction writes into a document: one chain per cluster and an
// empty word (sentence, record) per zero mention, in the order to add them.
struct CorefWrites {
    std::vector<CorefChain> chains;
    std::vector<std::pair<std::uint32_t, WordInput>> empty_words;
};

// Builds the writes against the document as it will be once its generated
// empty words are removed. CorefModelError "coref span crossed a sentence
// boundary" for a span that is empty, too long or across sentences.
CorefWrites plan_coref_writes(const DocumentStorage& storage, const CorefWords& gathered,
                              const CorefPrediction& prediction);

// Removes the generated empty words, adds the new ones and stores the chains;
// when any step throws, the document is put back as it was.
void apply_coref_writes(DocumentStorage& storage, CorefWrites writes);

// The empty index of an empty word generated with id `id` in a sentence whose
// empty words are `existing` (id, empty index): their count plus one, unless a
// word already holds that id and index, then one more than the largest index.
int coref_empty_index(const std::vector<std::pair<int, int>>& existing, int id);

}  // namespace detail
}  // namespace quelbin
