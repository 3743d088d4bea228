// The in-order transition constituency parser: one phrase-structure tree per
// sentence from its words and part-of-speech tags.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <quelbin/constituency.hpp>
#include <quelbin/document.hpp>

namespace quelbin {

class ModelBundle;

// A handle over a loaded "constituency" bundle. Read-only after construction;
// movable, not copyable. Every failure the plan detects, JSON errors of the
// assets included, is ConstituencyModelError.
class ConstituencyPlan {
public:
    struct Impl;

    ConstituencyPlan(std::filesystem::path bundle_dir, bool verify_checksums);
    ~ConstituencyPlan();
    ConstituencyPlan(ConstituencyPlan&& other) noexcept;
    ConstituencyPlan& operator=(ConstituencyPlan&& other) noexcept;
    ConstituencyPlan(const ConstituencyPlan&) = delete;
    ConstituencyPlan& operator=(const ConstituencyPlan&) = delete;

    const ModelBundle& bundle() const;
    // True when the parser reads XPOS tags, false for UPOS.
    bool uses_xpos() const;

    // One tree; the tag list has one entry per word.
    ConstituencyTree parse(const std::vector<std::string>& words, const std::vector<std::string>& tags) const;
    // One tree per sentence, in input order.
    std::vector<ConstituencyTree> parse_many(const std::vector<std::vector<std::string>>& sentences,
                                             const std::vector<std::vector<std::string>>& tags) const;
    // Stores a tree in every sentence; nothing is stored unless every sentence
    // parsed.
    Document process(Document document) const;
    std::vector<Document> process_bulk(std::vector<Document> documents) const;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace quelbin
