// Morphological segmentation: a character BiLSTM predicts one edit action per
// character; the rebuilt word is cut into morphemes at " @@".
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <quelbin/document.hpp>

namespace quelbin {

class ModelBundle;

// A handle over a loaded "morphseg" bundle. Read-only after construction;
// movable, not copyable. Loading failures are MorphSegModelError (JSON errors
// of the assets included) or ModelBundleError for the bundle itself.
class MorphSegPlan {
public:
    struct Impl;

    MorphSegPlan(std::filesystem::path bundle_dir, bool verify_checksums);
    ~MorphSegPlan();
    MorphSegPlan(MorphSegPlan&& other) noexcept;
    MorphSegPlan& operator=(MorphSegPlan&& other) noexcept;
    MorphSegPlan(const MorphSegPlan&) = delete;
    MorphSegPlan& operator=(const MorphSegPlan&) = delete;

    const ModelBundle& bundle() const;

    // The morphemes of one word (NFKC, case-folded); an empty word gives none.
    std::vector<std::string> segment(const std::string& word) const;
    // One morpheme list per word, in input order; all or nothing.
    std::vector<std::vector<std::string>> segment_many(const std::vector<std::string>& words) const;
    // Sets the morphemes of every regular word; nothing is written unless every
    // word was segmented.
    Document process(Document document) const;
    std::vector<Document> process_bulk(std::vector<Document> documents) const;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace quelbin
