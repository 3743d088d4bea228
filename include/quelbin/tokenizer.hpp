// The neural tokenizer: splits raw text into paragraphs, sentences and tokens
// and marks multi-word tokens, with a character-level two-level BiLSTM whose
// weights come from one model bundle.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace quelbin {

class Document;
class ModelBundle;

class TokenizerPlan {
public:
    struct Impl;

    // Loads the bundle strictly; TokenizerModelError for content the tokenizer
    // cannot run, ModelBundleError for a bundle that cannot be opened.
    TokenizerPlan(const std::filesystem::path& bundle_dir, bool verify_checksums);
    TokenizerPlan(TokenizerPlan&& other) noexcept;
    TokenizerPlan& operator=(TokenizerPlan&& other) noexcept;
    TokenizerPlan(const TokenizerPlan&) = delete;
    TokenizerPlan& operator=(const TokenizerPlan&) = delete;
    ~TokenizerPlan();

    const ModelBundle& bundle() const;

    // A new document over the text of `document`, with sentences, tokens and one
    // word per token; the argument is not changed.
    Document process(const Document& document) const;
    // One new document per input, in input order; short paragraphs of all
    // documents are labelled together in batches.
    std::vector<Document> process_bulk(const std::vector<Document>& documents) const;
    // The labels of a text holding one tokenizer paragraph, one per character
    // unit of the normalised paragraph; empty for text without a paragraph.
    std::vector<std::int64_t> predict_labels(const std::string& text) const;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace quelbin
