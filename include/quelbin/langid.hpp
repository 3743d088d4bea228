// Language identification: a character BiLSTM that gives each text one
// language code of its bundle's tag table.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace quelbin {

class ModelBundle;

// A handle over a loaded "langid" bundle. Read-only after construction;
// movable, not copyable. Loading failures are LangIDModelError (JSON errors of
// the assets included) or ModelBundleError for the bundle itself.
class LangIDPlan {
public:
    struct Impl;

    LangIDPlan(std::filesystem::path bundle_dir, bool verify_checksums);
    ~LangIDPlan();
    LangIDPlan(LangIDPlan&& other) noexcept;
    LangIDPlan& operator=(LangIDPlan&& other) noexcept;
    LangIDPlan(const LangIDPlan&) = delete;
    LangIDPlan& operator=(const LangIDPlan&) = delete;

    const ModelBundle& bundle() const;

    // The language code of one text, chosen among `lang_subset` when it is not
    // empty. Empty or invalid UTF-8 text and a subset naming no known code
    // throw LangIDModelError.
    std::string identify(const std::string& text, const std::vector<std::string>& lang_subset) const;
    // One code per text, in input order; all or nothing.
    std::vector<std::string> identify_many(const std::vector<std::string>& texts,
                                           const std::vector<std::string>& lang_subset) const;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace quelbin
