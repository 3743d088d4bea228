// The lemmatizer: a dictionary keyed by part-of-speech tag and word form, with
// the character sequence-to-sequence model for the words it does not settle.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <quelbin/document.hpp>

namespace quelbin {

class ModelBundle;

// A handle over a loaded "lemma" bundle. Read-only after construction;
// movable, not copyable. Loading failures are LemmaModelError (JSON errors of
// the assets included), ModelBundleError or Seq2SeqModelError.
class LemmaPlan {
public:
    struct Impl;

    LemmaPlan(std::filesystem::path bundle_dir, bool verify_checksums);
    ~LemmaPlan();
    LemmaPlan(LemmaPlan&& other) noexcept;
    LemmaPlan& operator=(LemmaPlan&& other) noexcept;
    LemmaPlan(const LemmaPlan&) = delete;
    LemmaPlan& operator=(const LemmaPlan&) = delete;

    const ModelBundle& bundle() const;
    // True when the model is conditioned on the UPOS tag.
    bool uses_pos() const;

    // The lemma of one word; an absent tag stands for "_". Never empty ("_" at least).
    std::string lemmatize(const std::string& word, const std::optional<std::string>& upos) const;
    // Sets the lemma of every regular word, one word at a time.
    Document process(Document document) const;
    // Sets the lemma of every regular word of every document, with one batched
    // model call for all of them; nothing is written before that call returns.
    std::vector<Document> process_bulk(std::vector<Document> documents) const;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace quelbin
