// Multi-word token expansion: an expansion dictionary with case restoration, a
// split-point classifier, or the character sequence-to-sequence model.
#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include <quelbin/document.hpp>

namespace quelbin {

class ModelBundle;

// A handle over a loaded "mwt" bundle. Read-only after construction; movable,
// not copyable. Loading failures are MWTModelError (JSON errors of the assets
// included), ModelBundleError or Seq2SeqModelError.
class MWTPlan {
public:
    struct Impl;

    MWTPlan(std::filesystem::path bundle_dir, bool verify_checksums);
    ~MWTPlan();
    MWTPlan(MWTPlan&& other) noexcept;
    MWTPlan& operator=(MWTPlan&& other) noexcept;
    MWTPlan(const MWTPlan&) = delete;
    MWTPlan& operator=(const MWTPlan&) = delete;

    const ModelBundle& bundle() const;

    // The words of one token, separated by blanks; the token itself when no
    // method finds more than one word.
    std::string expand(const std::string& token) const;

    // Expands every token marked "MWT=Yes" in its MISC, renumbers the words of
    // every sentence and rebuilds the document's storage in place. Returns a
    // second handle over the same storage. On failure the document is unchanged.
    Document process(const Document& document) const;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace quelbin
