// From paragraphs and their labels to the compact tokens of a document.
#pragma once

#include "tokenize/char_units.hpp"
#include "tokenize/labelling.hpp"
#include "tokenize/tokenizer_impl.hpp"

#include <quelbin/document_input.hpp>
#include <quelbin/utf8_text.hpp>

#include <vector>

namespace quelbin::detail {

// Tokens ending at labels 1 to 4, sentences closing at 2 and 4 and at the end
// of every paragraph, offsets from the units of text (the document text the
// paragraphs were cut from). Each paragraph's units and labels are freed once
// its tokens are recorded, so the two never take their full size together.
SpanInput build_spans(const TokenizerPlan::Impl& impl, const Utf8Text& text, std::vector<Paragraph>& paragraphs,
                      std::vector<Labels>& labels);

}  // namespace quelbin::detail
