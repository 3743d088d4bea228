// The NER plan handle: tagging one sentence, and tagging documents in coarse
// parallel tasks before writing tags and entity spans back.
#include <quelbin/errors.hpp>
#include <quelbin/model_bundle.hpp>

#include <c10/core/InferenceMode.h>

#include <algorithm>
#include <utility>

#include "extended/ner_impl.hpp"
#include "kernels/parallel_tasks.hpp"

namespace quelbin {
namespace {

// Sentences per character LM run: a multiple of the LM's own sentence groups,
// so that its rows are the ones a single run over all sentences would give,
// while only one chunk's feature rows are held at a time.
constexpr std::size_t kChunkSentences = 1024;
// Tokens per tagging task.
constexpr std::size_t kTaskTokens = 384;

// Tags of every sentence (an empty sentence gets no tags). Nothing is written.
std::vector<std::vector<std::string>> tag_sentences(const NERPlan::Impl& impl,
                                                    const std::vector<std::vector<std::string>>& sentences) {
    std::vector<std::vector<std::string>> tags(sentences.size());
    std::vector<std::size_t> order;
    for (std::size_t s = 0; s < sentences.size(); ++s) {
        if (!sentences[s].empty()) order.push_back(s);
    }
    if (order.empty()) return tags;
    const c10::InferenceMode guard;
    for (std::size_t begin = 0; begin < order.size(); begin += kChunkSentences) {
        const std::size_t end = std::min(order.size(), begin + kChunkSentences);
        std::vector<at::Tensor> forward;
        std::vector<at::Tensor> backward;
        if (impl.charlm) {
            std::vector<const std::vector<std::string>*> chunk;
            for (std::size_t r = begin; r < end; ++r) chunk.push_back(&sentences[order[r]]);
            detail::encode_ner_charlm(impl, chunk, forward, backward);
        }
        // The transformer runs one sentence at a time with its own threads.
        std::vector<at::Tensor> transformed(impl.transformer ? end - begin : 0);
        for (std::size_t r = 0; r < transformed.size(); ++r) {
            transformed[r] = impl.transformer_encoder->encode(sentences[order[begin + r]], false);
        }
        const std::vector<std::size_t> bounds = detail::group_by_weight(
            end - begin, kTaskTokens, [&](std::size_t r) { return sentences[order[begin + r]].size(); });
        detail::run_tasks(bounds.size() - 1, [&](std::size_t group) {
            for (std::size_t r = bounds[group]; r < bounds[group + 1]; ++r) {
                detail::NERSentence sentence;
                sentence.words = &sentences[order[begin + r]];
                if (impl.charlm) {
                    sentence.forward_features = std::move(forward[r]);
                    sentence.backward_features = std::move(backward[r]);
                }
                if (impl.transformer) sentence.transformer_features = std::move(transformed[r]);
                tags[order[begin + r]] = detail::tag_ner_sentence(impl, sentence);
            }
        });
    }
    return tags;
}

}  // namespace

NERPlan::NERPlan(std::filesystem::path bundle_dir, bool verify_checksums) {
    try {
        impl_ = std::make_unique<Impl>(std::move(bundle_dir), verify_checksums);
    } catch (const detail::JsonError& error) {
        throw NERModelError(error.what());
    }
}

NERPlan::~NERPlan() = default;
NERPlan::NERPlan(NERPlan&& other) noexcept = default;
NERPlan& NERPlan::operator=(NERPlan&& other) noexcept = default;

const ModelBundle& NERPlan::bundle() const { return *impl_->bundle; }

std::vector<std::string> NERPlan::tag(const std::vector<std::string>& words) const {
    if (words.empty()) return {};
    const c10::InferenceMode guard;
    detail::NERSentence sentence;
    sentence.words = &words;
    if (impl_->charlm) {
        std::vector<at::Tensor> forward;
        std::vector<at::Tensor> backward;
        detail::encode_ner_charlm(*impl_, {&words}, forward, backward);
        sentence.forward_features = std::move(forward[0]);
        sentence.backward_features = std::move(backward[0]);
    }
    if (impl_->transformer) sentence.transformer_features = impl_->transformer_encoder->encode(words, false);
    const detail::SerialScope serial;
    return detail::tag_ner_sentence(*impl_, sentence);
}

Document NERPlan::process(Document document) const {
    std::vector<Document> one;
    one.push_back(std::move(document));
    return std::move(process_bulk(std::move(one)).front());
}

std::vector<Document> NERPlan::process_bulk(std::vector<Document> documents) const {
    std::vector<std::vector<std::string>> sentences;
    std::vector<TokenSequence> tokens;
    for (const Document& document : documents) {
        const SentenceSequence list = document.sentences();
        for (std::uint64_t s = 0; s < list.size(); ++s) {
            tokens.push_back(list.at(static_cast<std::int64_t>(s)).tokens());
            const TokenSequence& sentence = tokens.back();
            std::vector<std::string> words;
            words.reserve(sentence.size());
            for (std::uint64_t k = 0; k < sentence.size(); ++k) {
                words.push_back(sentence.at(static_cast<std::int64_t>(k)).text());
            }
            sentences.push_back(std::move(words));
        }
    }
    const std::vector<std::vector<std::string>> tags = tag_sentences(*impl_, sentences);
    // Every sentence is tagged: now write.
    for (std::size_t s = 0; s < tags.size(); ++s) {
        for (std::size_t k = 0; k < tags[s].size(); ++k) {
            Token token = tokens[s].at(static_cast<std::int64_t>(k));
            token.set_ner(tags[s][k]);
            token.set_multi_ner({tags[s][k]});
        }
    }
    for (Document& document : documents) document.rebuild_entities();
    return documents;
}

}  // namespace quelbin
