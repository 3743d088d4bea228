// Named-entity recognition: a BiLSTM-CRF tagger that gives every token of a
// sentence one BIOES entity tag, and writes the tags and the entity spans they
// form into documents.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <quelbin/document.hpp>

namespace quelbin {

class ModelBundle;

// A handle over a loaded "ner" bundle. Read-only after construction; movable,
// not copyable. Loading failures are NERModelError (JSON errors of the assets
// included), ModelBundleError, or the character LM's own errors.
class NERPlan {
public:
    struct Impl;

    NERPlan(std::filesystem::path bundle_dir, bool verify_checksums);
    ~NERPlan();
    NERPlan(NERPlan&& other) noexcept;
    NERPlan& operator=(NERPlan&& other) noexcept;
    NERPlan(const NERPlan&) = delete;
    NERPlan& operator=(const NERPlan&) = delete;

    const ModelBundle& bundle() const;

    // One repaired BIOES tag per word of one sentence, in word order.
    std::vector<std::string> tag(const std::vector<std::string>& words) const;
    // Tags every token of every sentence (the token's text, a multi-word token
    // as one unit), stores each tag as the token's `ner` and as its one-element
    // `multi_ner`, then rebuilds the entity spans. Every sentence is tagged
    // before anything is written: on failure the document is left as it was.
    Document process(Document document) const;
    // The same over many documents, all sentences tagged in coarse parallel
    // tasks before any document is written; the result of each document equals
    // `process` of it alone.
    std::vector<Document> process_bulk(std::vector<Document> documents) const;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace quelbin
