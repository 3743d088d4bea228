// The tokenizer's work on texts, below the Document handle: paragraphs,
// labels and the storage of the resulting document.
#pragma once

#include "tokenize/labelling.hpp"
#include "tokenize/tokenizer_impl.hpp"

#include <quelbin/document_storage.hpp>
#include <quelbin/utf8_text.hpp>

#include <memory>
#include <vector>

namespace quelbin::detail {

// Storage of a new document over the text, its sentences and tokens built from
// the labels and its language set to the bundle's. Paragraphs and labels are
// taken over and freed as the tokens are recorded, before the storage is built.
std::shared_ptr<DocumentStorage> build_document_storage(const TokenizerPlan::Impl& impl, const Utf8Text& text,
                                                        std::vector<Paragraph> paragraphs, std::vector<Labels> labels);

// One text, every paragraph labelled as label_paragraph labels it.
std::shared_ptr<DocumentStorage> tokenize_text(const TokenizerPlan::Impl& impl, const Utf8Text& text);

// Several texts; paragraphs of at most kInferenceWindow units from all texts
// share batches of batch_size, longer ones run alone. Results in input order.
std::vector<std::shared_ptr<DocumentStorage>> tokenize_texts(const TokenizerPlan::Impl& impl,
                                                             const std::vector<const Utf8Text*>& texts);

// Labels of the one paragraph of a text (empty without a paragraph).
Labels predict_paragraph_labels(const TokenizerPlan::Impl& impl, const std::string& text);

}  // namespace quelbin::detail
