// The constituency plan handle: parsing word lists, and documents whose trees
// are stored only once every sentence has parsed.
#include <utility>

#include "extended/constituency_impl.hpp"
#include "kernels/parallel_tasks.hpp"
#include "model/json.hpp"
#include "quelbin/errors.hpp"
#include "quelbin/model_bundle.hpp"

namespace quelbin {

ConstituencyPlan::ConstituencyPlan(std::filesystem::path bundle_dir, bool verify_checksums) {
    try {
        impl_ = std::make_unique<Impl>(std::move(bundle_dir), verify_checksums);
    } catch (const detail::JsonError& error) {
        throw ConstituencyModelError(error.what());
    }
}

ConstituencyPlan::~ConstituencyPlan() = default;
ConstituencyPlan::ConstituencyPlan(ConstituencyPlan&& other) noexcept = default;
ConstituencyPlan& ConstituencyPlan::operator=(ConstituencyPlan&& other) noexcept = default;

const ModelBundle& ConstituencyPlan::bundle() const { return *impl_->bundle; }
bool ConstituencyPlan::uses_xpos() const { return impl_->uses_xpos; }

ConstituencyTree ConstituencyPlan::parse(const std::vector<std::string>& words,
                                         const std::vector<std::string>& tags) const {
    const detail::SerialScope serial;
    return impl_->parse(words, tags);
}

std::vector<ConstituencyTree> ConstituencyPlan::parse_many(const std::vector<std::vector<std::string>>& sentences,
                                                           const std::vector<std::vector<std::string>>& tags) const {
    if (sentences.size() != tags.size()) {
        throw ConstituencyModelError("constituency sentence and tag batches have different lengths");
    }
    // Sentences parse independently: groups of about 200 words run as tasks,
    // each sentence on one thread, so results do not depend on the threads.
    const std::vector<std::size_t> bounds =
        detail::group_by_weight(sentences.size(), 200, [&](std::size_t i) { return sentences[i].size() + 1; });
    std::vector<std::optional<ConstituencyTree>> trees(sentences.size());
    detail::run_tasks(bounds.size() - 1, [&](std::size_t group) {
        for (std::size_t i = bounds[group]; i < bounds[group + 1]; ++i) trees[i] = impl_->parse(sentences[i], tags[i]);
    });
    std::vector<ConstituencyTree> result;
    result.reserve(trees.size());
    for (auto& tree : trees) result.push_back(std::move(*tree));
    return result;
}

Document ConstituencyPlan::process(Document document) const {
    const SentenceSequence sentences = document.sentences();
    std::vector<std::vector<std::string>> words(sentences.size());
    std::vector<std::vector<std::string>> tags(sentences.size());
    const char* const column = impl_->uses_xpos ? "XPOS" : "UPOS";
    for (std::uint64_t s = 0; s < sentences.size(); ++s) {
        const WordSequence sequence = sentences.at(static_cast<std::int64_t>(s)).words();
        words[s].reserve(sequence.size());
        tags[s].reserve(sequence.size());
        for (std::uint64_t w = 0; w < sequence.size(); ++w) {
            const Word word = sequence.at(static_cast<std::int64_t>(w));
            std::optional<std::string> tag = impl_->uses_xpos ? word.xpos() : word.upos();
            if (!tag) throw ConstituencyModelError(std::string("constituency requires ") + column + " on every word");
            words[s].push_back(word.text());
            tags[s].push_back(std::move(*tag));
        }
    }
    const std::vector<ConstituencyTree> trees = parse_many(words, tags);
    for (std::size_t s = 0; s < trees.size(); ++s) {
        sentences.at(static_cast<std::int64_t>(s)).set_constituency(trees[s]);
    }
    return document;
}

std::vector<Document> ConstituencyPlan::process_bulk(std::vector<Document> documents) const {
    for (Document& document : documents) document = process(std::move(document));
    return documents;
}

}  // namespace quelbin
