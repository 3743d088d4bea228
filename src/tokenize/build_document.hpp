// From paragraphs and their labels to sentence, token and word records.
#pragma once

#include "tokenize/char_units.hpp"
#include "tokenize/labelling.hpp"
#include "tokenize/tokenizer_impl.hpp"

#include <quelbin/document_input.hpp>
#include <quelbin/utf8_text.hpp>

#include <vector>

namespace quelbin::detail {

// Tokens ending at labels 1 to 4, sentences closing at 2 and 4 and at the end
// of every paragraph, offsets and spacing recovered from text (the document
// text the paragraphs were cut from).
std::vector<SentenceInput> build_sentences(const TokenizerPlan::Impl& impl, const Utf8Text& text,
                                           const std::vector<Paragraph>& paragraphs,
                                           const std::vector<Labels>& labels);

}  // namespace quelbin::detail
