// The dependency parser: a head and a relation for every regular word of a
// tagged sentence, from a highway BiLSTM over word, lemma, POS, pretrained and
// character features and deep biaffine arc and relation scorers.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

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

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace quelbin
