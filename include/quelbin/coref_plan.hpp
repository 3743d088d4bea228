// Coreference over whole documents: the plan over a "coref" bundle, its
// prediction record, and writing chains (and empty words for zero mentions)
// into documents.
#pragma once

#include <cstddef>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <quelbin/document.hpp>

namespace quelbin {

class ModelBundle;

// One entry per predicted chain in each list. Positions count the words given
// to CorefPlan::resolve from 0; spans are [start, end) with start <= head < end.
struct CorefPrediction {
    std::vector<std::vector<std::size_t>> word_clusters;
    std::vector<std::vector<std::pair<std::size_t, std::size_t>>> span_clusters;
    std::vector<std::vector<std::size_t>> zero_words;
};

// A handle over a loaded "coref" bundle. Read-only after construction; movable,
// not copyable. Loading failures: CorefModelError for the model,
// ModelBundleError for the bundle, TransformerError for the transformer assets,
// detail::JsonError (unchanged) for the assets JSON.
class CorefPlan {
public:
    struct Impl;

    CorefPlan(std::filesystem::path bundle_dir, bool verify_checksums);
    ~CorefPlan();
    CorefPlan(CorefPlan&& other) noexcept;
    CorefPlan& operator=(CorefPlan&& other) noexcept;
    CorefPlan(const CorefPlan&) = delete;
    CorefPlan& operator=(const CorefPlan&) = delete;

    const ModelBundle& bundle() const;
    bool predicts_singletons() const;
    bool predicts_zero_anaphora() const;

    // Element i of each list belongs to word i; an empty speaker list stands for
    // "_" on every word. Throws std::invalid_argument for lists of different
    // lengths or a sentence id not below the number of words.
    CorefPrediction resolve(const std::vector<std::string>& words, const std::vector<std::size_t>& sentence_ids,
                            const std::vector<std::string>& speakers) const;

    // Replaces the document's chains and its generated empty words. All or
    // nothing: on failure the document is as it was before the call.
    Document process(Document document) const;
    // `process` on each document in order; stops at the first failure.
    std::vector<Document> process_bulk(std::vector<Document> documents) const;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace quelbin
