// A character language model bundle on its own: per-word feature rows of a
// sentence, outside any pipeline.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace quelbin {

class ModelBundle;

// A handle over a loaded "forward_charlm" or "backward_charlm" bundle.
// Read-only after construction; movable, not copyable. Failures while loading:
// CharLMModelError for a wrong processor or an unsupported or inconsistent
// model, ModelBundleError for the bundle itself, detail::JsonError (unchanged)
// for the assets JSON.
class CharLMPlan {
public:
    struct Impl;

    CharLMPlan(std::filesystem::path bundle_dir, bool verify_checksums);
    ~CharLMPlan();
    CharLMPlan(CharLMPlan&& other) noexcept;
    CharLMPlan& operator=(CharLMPlan&& other) noexcept;
    CharLMPlan(const CharLMPlan&) = delete;
    CharLMPlan& operator=(const CharLMPlan&) = delete;

    const ModelBundle& bundle() const;
    // The direction the assets declare ("is_forward_lm").
    bool is_forward() const;
    std::int64_t hidden_size() const;

    // One row of hidden_size() floats per word, in word order. Invalid UTF-8 in
    // a word throws std::invalid_argument.
    std::vector<std::vector<float>> encode(const std::vector<std::string>& words) const;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace quelbin
