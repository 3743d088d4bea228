// The sentence sentiment classifier: a convolutional network over word
// vectors that gives every sentence one class index.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <quelbin/document.hpp>

namespace quelbin {

class ModelBundle;

// A handle over a loaded "sentiment" bundle. Read-only after construction;
// movable, not copyable; a moved-from plan may only be destroyed or assigned.
// Loading failures are SentimentModelError (JSON errors of the assets
// included), ModelBundleError, or the character model's errors.
class SentimentPlan {
public:
    struct Impl;

    SentimentPlan(std::filesystem::path bundle_dir, bool verify_checksums);
    ~SentimentPlan();
    SentimentPlan(SentimentPlan&& other) noexcept;
    SentimentPlan& operator=(SentimentPlan&& other) noexcept;
    SentimentPlan(const SentimentPlan&) = delete;
    SentimentPlan& operator=(const SentimentPlan&) = delete;

    const ModelBundle& bundle() const;

    // The class index of one sentence given as its word texts.
    std::int64_t classify(const std::vector<std::string>& words) const;
    // One class index per sentence, in input order. Sentences are sorted by
    // length and cut into batches of at most batch_size words (a longer
    // sentence runs alone); each batch is padded to its longest sentence, so a
    // sentence's class may depend on its batch. batch_size 0 throws
    // std::invalid_argument "sentiment batch_size must be positive".
    std::vector<std::int64_t> classify_many(const std::vector<std::vector<std::string>>& sentences,
                                            std::size_t batch_size) const;
    // Sets every sentence's sentiment from its token texts; nothing is written
    // unless every sentence was classified.
    Document process(Document document) const;
    // The same over all documents with one classification call.
    std::vector<Document> process_bulk(std::vector<Document> documents) const;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace quelbin
