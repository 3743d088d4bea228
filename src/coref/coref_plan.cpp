// The coref plan handle: argument checks and the forward pass of `resolve`,
// and documents in and out of it.
#include <c10/core/InferenceMode.h>

#include <stdexcept>

#include "coref/coref_impl.hpp"

namespace quelbin {

CorefPlan::CorefPlan(std::filesystem::path bundle_dir, bool verify_checksums)
    : impl_(std::make_unique<Impl>(std::move(bundle_dir), verify_checksums)) {}
CorefPlan::~CorefPlan() = default;
CorefPlan::CorefPlan(CorefPlan&& other) noexcept = default;
CorefPlan& CorefPlan::operator=(CorefPlan&& other) noexcept = default;

const ModelBundle& CorefPlan::bundle() const { return *impl_->bundle; }
bool CorefPlan::predicts_singletons() const { return impl_->singletons; }
bool CorefPlan::predicts_zero_anaphora() const { return impl_->use_zeros; }

CorefPrediction CorefPlan::resolve(const std::vector<std::string>& words, const std::vector<std::size_t>& sentence_ids,
                                   const std::vector<std::string>& speakers) const {
    if (words.size() != sentence_ids.size()) {
        throw std::invalid_argument("coref words and sentence ids must have equal lengths");
    }
    std::vector<std::string> speaker_list = speakers;
    if (speaker_list.empty()) speaker_list.assign(words.size(), "_");
    if (speaker_list.size() != words.size()) {
        throw std::invalid_argument("coref words and speakers must have equal lengths");
    }
    for (const std::size_t id : sentence_ids) {
        if (id >= words.size()) throw std::invalid_argument("coref sentence id is outside the document");
    }

    const c10::InferenceMode guard;
    CorefPrediction prediction;
    if (words.empty()) return prediction;
    const at::Tensor features =
        detail::pool_coref_words(*impl_, detail::encode_coref_subwords(*impl_, words, sentence_ids));
    prediction.word_clusters = detail::score_coref_clusters(*impl_, features, speaker_list);
    detail::predict_coref_spans(*impl_, features, sentence_ids, prediction);
    return prediction;
}

Document CorefPlan::process(Document document) const {
    DocumentStorage& storage = *document.storage();
    const detail::CorefWords gathered = detail::gather_coref_words(storage);
    const CorefPrediction prediction = resolve(gathered.words, gathered.sentence_ids, gathered.speakers);
    detail::apply_coref_writes(storage, detail::plan_coref_writes(storage, gathered, prediction));
    return document;
}

std::vector<Document> CorefPlan::process_bulk(std::vector<Document> documents) const {
    for (Document& document : documents) document = process(std::move(document));
    return documents;
}

}  // namespace quelbin
