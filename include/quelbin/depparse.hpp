// The dependency parser: a head and a relation for every regular word of a
// tagged sentence, from a highway BiLSTM over word, lemma, POS, pretrained and
// character features and deep biaffine arc and relation scorers.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <quelbin/document.hpp>

namespace quelbin {

class ModelBundle;

// One word as the parser reads it; an absent field enters the model as "_".
struct DepparseWord {
    std::string text;
    std::optional<std::string> lemma;
    std::optional<std::string> upos;
    std::optional<std::string> xpos;
    std::optional<std::string> feats;  // never read by the network
};

// The parse of one word: head 0 is the root, otherwise the 1-based position of
// the head word in the sentence.
struct DepparsePrediction {
    std::int32_t head = 0;
    std::string deprel;
};

// A handle over a loaded "depparse" bundle. Read-only after construction;
// movable, not copyable. Loading failures are DepparseModelError (JSON errors
// of the assets included) or the bundle's ModelBundleError.
class DepparsePlan {
public:
    struct Impl;

    DepparsePlan(std::filesystem::path bundle_dir, bool verify_checksums);
    ~DepparsePlan();
    DepparsePlan(DepparsePlan&& other) noexcept;
    DepparsePlan& operator=(DepparsePlan&& other) noexcept;
    DepparsePlan(const DepparsePlan&) = delete;
    DepparsePlan& operator=(const DepparsePlan&) = delete;

    const ModelBundle& bundle() const;

    // The head and relation of every word of one sentence, in order; no words
    // gives no predictions. Makes no part-of-speech check of its own.
    std::vector<DepparsePrediction> parse(const std::vector<DepparseWord>& words) const;
    // Parses and annotates every regular word, one sentence at a time; a word
    // with neither UPOS nor XPOS stops it with "POS must run before depparse"
    // (the sentences before stay annotated).
    Document process(Document document) const;
    // Parses every sentence of every document in length-sorted batches; no
    // word is written before every sentence has been decoded.
    std::vector<Document> process_bulk(std::vector<Document> documents) const;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace quelbin
