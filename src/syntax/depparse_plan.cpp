// The dependency-parser plan handle: loading, with JSON errors of the assets
// reported as the parser's own model errors; parsing one sentence, a document
// sentence by sentence, or many documents in batches; and the write-back.
#include <c10/core/InferenceMode.h>

#include <utility>

#include "model/json.hpp"
#include "quelbin/errors.hpp"
#include "quelbin/model_bundle.hpp"
#include "syntax/depparse_impl.hpp"

namespace quelbin {

namespace detail {
namespace {

std::vector<DepparsePrediction> parse_words(const DepparsePlan::Impl& impl, const std::vector<DepparseWord>& words) {
    if (words.empty()) return {};
    const c10::InferenceMode guard;
    // Relations are scored only under the heads decoding reads: the whole
    // label scores of a long sentence would take n * n * labels floats.
    return parse_encoded_sentence(impl, encode_sentence(impl, words, nullptr, nullptr));
}

std::vector<std::vector<DepparsePrediction>> parse_batch(const DepparsePlan::Impl& impl,
                                                         const std::vector<std::vector<DepparseWord>>& sentences) {
    std::vector<at::Tensor> forward;
    std::vector<at::Tensor> backward;
    if (impl.charlm) {
        // The root's place holds a line feed.
        std::vector<std::vector<std::string>> texts;
        texts.reserve(sentences.size());
        for (const std::vector<DepparseWord>& words : sentences) {
            std::vector<std::string>& text = texts.emplace_back();
            text.reserve(words.size() + 1);
            text.emplace_back("\n");
            for (const DepparseWord& word : words) text.push_back(word.text);
        }
        forward = impl.forward_charlm->encode_many(texts);
        backward = impl.backward_charlm->encode_many(texts);
    }
    const c10::InferenceMode guard;
    // Each batch's encodings and label scores (k x L x L x labels floats) are
    // decoded and dropped at once, so they stay bounded by the batch budget.
    return parse_sentences(impl, sentences, forward, backward);
}

std::vector<DepparseWord> collect_depparse_words(const WordSequence& words) {
    std::vector<DepparseWord> records;
    records.reserve(words.size());
    for (std::uint64_t i = 0; i < words.size(); ++i) {
        const Word word = words.at(static_cast<std::int64_t>(i));
        std::optional<std::string> upos = word.upos();
        std::optional<std::string> xpos = word.xpos();
        if (!upos && !xpos) throw DepparseModelError("POS must run before depparse");
        records.push_back({word.text(), word.lemma(), std::move(upos), std::move(xpos), word.feats()});
    }
    return records;
}

void apply_depparse_predictions(const WordSequence& words, const std::vector<DepparsePrediction>& predictions) {
    if (words.size() != predictions.size()) throw DepparseModelError("depparse word and prediction counts disagree");
    for (std::size_t i = 0; i < predictions.size(); ++i) {
        Word word = words.at(static_cast<std::int64_t>(i));
        // The relation is interned first: if the string pool refuses it, the
        // word keeps both its old head and its old relation.
        word.set_deprel(predictions[i].deprel);
        word.set_head(predictions[i].head);
    }
}

}  // namespace
}  // namespace detail

DepparsePlan::DepparsePlan(std::filesystem::path bundle_dir, bool verify_checksums) {
    try {
        impl_ = std::make_unique<Impl>(std::move(bundle_dir), verify_checksums);
    } catch (const detail::JsonError& error) {
        throw DepparseModelError(error.what());
    }
}

DepparsePlan::~DepparsePlan() = default;
DepparsePlan::DepparsePlan(DepparsePlan&& other) noexcept = default;
DepparsePlan& DepparsePlan::operator=(DepparsePlan&& other) noexcept = default;

const ModelBundle& DepparsePlan::bundle() const { return *impl_->bundle; }

std::vector<DepparsePrediction> DepparsePlan::parse(const std::vector<DepparseWord>& words) const {
    return detail::parse_words(*impl_, words);
}

Document DepparsePlan::process(Document document) const {
    const SentenceSequence sentences = document.sentences();
    for (std::uint64_t s = 0; s < sentences.size(); ++s) {
        const WordSequence words = sentences.at(static_cast<std::int64_t>(s)).words();
        const std::vector<DepparseWord> records = detail::collect_depparse_words(words);
        detail::apply_depparse_predictions(words, detail::parse_words(*impl_, records));
    }
    return document;
}

std::vector<Document> DepparsePlan::process_bulk(std::vector<Document> documents) const {
    std::vector<WordSequence> sequences;
    std::vector<std::vector<DepparseWord>> records;
    for (const Document& document : documents) {
        const SentenceSequence sentences = document.sentences();
        for (std::uint64_t s = 0; s < sentences.size(); ++s) {
            sequences.push_back(sentences.at(static_cast<std::int64_t>(s)).words());
            records.push_back(detail::collect_depparse_words(sequences.back()));
        }
    }
    const std::vector<std::vector<DepparsePrediction>> predictions = detail::parse_batch(*impl_, records);
    for (std::size_t i = 0; i < sequences.size(); ++i) detail::apply_depparse_predictions(sequences[i], predictions[i]);
    return documents;
}

}  // namespace quelbin
