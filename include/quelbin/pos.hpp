// The part-of-speech and morphological-feature tagger: UPOS, XPOS and features
// for every word, from a highway BiLSTM over word, pretrained, character and
// optional character-LM features.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <quelbin/document.hpp>

namespace quelbin {

class ModelBundle;

// The tags of one word; "_" in a field means that the field has no value.
struct POSPrediction {
    std::string upos;
    std::string xpos;
    std::string feats;
};

// A handle over a loaded "pos" bundle. Read-only after construction; movable,
// not copyable. Loading failures are POSModelError (JSON errors of the assets
// included) or the bundle's ModelBundleError.
class POSPlan {
public:
    struct Impl;

    POSPlan(std::filesystem::path bundle_dir, bool verify_checksums);
    ~POSPlan();
    POSPlan(POSPlan&& other) noexcept;
    POSPlan& operator=(POSPlan&& other) noexcept;
    POSPlan(const POSPlan&) = delete;
    POSPlan& operator=(const POSPlan&) = delete;

    const ModelBundle& bundle() const;

    // The tags of one sentence's words, in order; no words gives no tags.
    std::vector<POSPrediction> tag(const std::vector<std::string>& words) const;
    // Tags every regular word, one sentence at a time; a predicted "_" clears
    // the field.
    Document process(Document document) const;
    // Tags every regular word of every document in length-sorted batches; no
    // word is written before every sentence has been tagged.
    std::vector<Document> process_bulk(std::vector<Document> documents) const;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace quelbin
