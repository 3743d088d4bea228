// The character-level encoder-decoder that turns one word into another string of
// characters; the lemmatizer and the multi-word-token expander fall back on it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quelbin {

class ModelBundle;

// The result for one word: the predicted text and, for models with an edit
// classifier, the chosen edit class.
struct Seq2SeqPrediction {
    std::string text;
    std::optional<int64_t> edit;
};

// A handle over a loaded sequence-to-sequence bundle (processor "lemma" or "mwt").
// Read-only after construction; movable, not copyable.
class Seq2SeqPlan {
public:
    struct Impl;

    Seq2SeqPlan(std::filesystem::path bundle_dir, bool verify_checksums);
    ~Seq2SeqPlan();
    Seq2SeqPlan(Seq2SeqPlan&& other) noexcept;
    Seq2SeqPlan& operator=(Seq2SeqPlan&& other) noexcept;
    Seq2SeqPlan(const Seq2SeqPlan&) = delete;
    Seq2SeqPlan& operator=(const Seq2SeqPlan&) = delete;

    const ModelBundle& bundle() const;
    // True when every prediction needs a POS tag.
    bool uses_pos() const;
    int64_t configured_beam_size() const;

    // One word. An absent beam size takes the configured one; `suppress_unk` keeps
    // "<UNK>" from ever being chosen.
    Seq2SeqPrediction predict(const std::string& word, const std::optional<std::string>& pos,
                              std::optional<int64_t> beam_size, bool suppress_unk) const;
    // Many words, one result per word in input order; greedy decoding runs in batches.
    std::vector<Seq2SeqPrediction> predict_many(const std::vector<std::string>& words,
                                                const std::vector<std::optional<std::string>>& pos,
                                                std::optional<int64_t> beam_size,
                                                bool suppress_unk) const;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace quelbin
