// Character units of a text and their grouping into tokenizer paragraphs.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quelbin::detail {

// One character of a text as the tokenizer sees it.
struct CharUnit {
    std::string text;          // UTF-8 bytes; a single space for normalised whitespace
    std::uint32_t code_point;  // 0x20 for normalised whitespace
    std::uint32_t index;       // code-point offset in the whole input text
};

using Paragraph = std::vector<CharUnit>;

// Whitespace that paragraphs normalise to a single space unit.
bool is_unit_whitespace(std::uint32_t cp);
// Whitespace trimmed from the end of a paragraph (the C1 block except U+0085 is not).
bool is_trailing_whitespace(std::uint32_t cp);

// Strict UTF-8 decoding, one unit per code point; throws TokenizerModelError.
std::vector<CharUnit> to_char_units(std::string_view text);

// Cuts a text into paragraphs at blank lines and normalises whitespace runs.
std::vector<Paragraph> split_paragraphs(std::string_view text, bool skip_newline);

}  // namespace quelbin::detail
