// The POS plan handle: tagging one sentence, a document sentence by sentence,
// or many documents in one batched pass, and writing the tags back.
#include <c10/core/InferenceMode.h>

#include <utility>

#include "quelbin/errors.hpp"
#include "quelbin/model_bundle.hpp"
#include "syntax/pos_impl.hpp"

namespace quelbin {

namespace detail {

std::vector<POSPrediction> tag_pos_words(const POSPlan::Impl& impl, const std::vector<std::string>& words,
                                         const at::Tensor* forward_features, const at::Tensor* backward_features) {
    if (words.empty()) return {};
    const c10::InferenceMode guard;
    const at::Tensor rows = encode_pos_sentence(impl, words, forward_features, backward_features);
    return classify_pos_words(impl, rows, rows.size(0));
}

std::vector<std::vector<POSPrediction>> tag_pos_batch(const POSPlan::Impl& impl,
                                                      const std::vector<std::vector<std::string>>& sentences) {
    std::vector<at::Tensor> forward;
    std::vector<at::Tensor> backward;
    if (impl.use_charlm) {
        forward = impl.charlm_forward->encode_many(sentences);
        backward = impl.charlm_backward->encode_many(sentences);
    }
    const c10::InferenceMode guard;
    const std::vector<at::Tensor> encoded = encode_pos_batch(impl, sentences, forward, backward);
    return classify_pos_batch(impl, encoded, sentences);
}

namespace {

std::optional<std::string> field(const std::string& text) {
    if (text == "_") return std::nullopt;
    return text;
}

void apply_pos_predictions(const WordSequence& words, const std::vector<POSPrediction>& predictions) {
    if (words.size() != predictions.size()) throw POSModelError("POS word and tag counts disagree");
    for (std::size_t i = 0; i < predictions.size(); ++i) {
        Word word = words.at(static_cast<std::int64_t>(i));
        word.set_upos(field(predictions[i].upos));
        word.set_xpos(field(predictions[i].xpos));
        word.set_feats(field(predictions[i].feats));
    }
}

std::vector<std::string> word_texts(const WordSequence& words) {
    std::vector<std::string> texts;
    texts.reserve(words.size());
    for (std::uint64_t i = 0; i < words.size(); ++i) texts.push_back(words.at(static_cast<std::int64_t>(i)).text());
    return texts;
}

}  // namespace
}  // namespace detail

POSPlan::POSPlan(std::filesystem::path bundle_dir, bool verify_checksums) {
    try {
        impl_ = std::make_unique<Impl>(std::move(bundle_dir), verify_checksums);
    } catch (const detail::JsonError& error) {
        throw POSModelError(error.what());
    }
}

POSPlan::~POSPlan() = default;
POSPlan::POSPlan(POSPlan&& other) noexcept = default;
POSPlan& POSPlan::operator=(POSPlan&& other) noexcept = default;

const ModelBundle& POSPlan::bundle() const { return *impl_->bundle; }

std::vector<POSPrediction> POSPlan::tag(const std::vector<std::string>& words) const {
    return detail::tag_pos_words(*impl_, words, nullptr, nullptr);
}

Document POSPlan::process(Document document) const {
    const SentenceSequence sentences = document.sentences();
    for (std::uint64_t s = 0; s < sentences.size(); ++s) {
        const WordSequence words = sentences.at(static_cast<std::int64_t>(s)).words();
        detail::apply_pos_predictions(words, detail::tag_pos_words(*impl_, detail::word_texts(words), nullptr, nullptr));
    }
    return document;
}

std::vector<Document> POSPlan::process_bulk(std::vector<Document> documents) const {
    std::vector<WordSequence> sequences;
    std::vector<std::vector<std::string>> texts;
    for (const Document& document : documents) {
        const SentenceSequence sentences = document.sentences();
        for (std::uint64_t s = 0; s < sentences.size(); ++s) {
            sequences.push_back(sentences.at(static_cast<std::int64_t>(s)).words());
            texts.push_back(detail::word_texts(sequences.back()));
        }
    }
    const std::vector<std::vector<POSPrediction>> predictions = detail::tag_pos_batch(*impl_, texts);
    for (std::size_t i = 0; i < sequences.size(); ++i) detail::apply_pos_predictions(sequences[i], predictions[i]);
    return documents;
}

}  // namespace quelbin
