// The generated character tables of the WordPiece tokenizer
// (src/encoders/wordpiece_tables.cpp, written by scripts/gen_wordpiece_tables.py).
// Every table is sorted by code point.
#pragma once

#include "model/unicode_tables.hpp"

#include <cstddef>
#include <cstdint>

namespace quelbin::detail::wordpiece_data {

// A code point and what accent stripping replaces it with (0 to 3 code points).
struct AccentMapping {
    std::uint32_t code_point;
    std::uint32_t length;
    std::uint32_t sequence[3];
};

// General categories Cc, Cf, Cs, Co and Cn (unassigned).
extern const unicode_data::CodePointRange kControlRanges[];
extern const std::size_t kControlRangesSize;
// General categories Pc, Pd, Ps, Pe, Pi, Pf and Po.
extern const unicode_data::CodePointRange kPunctuationRanges[];
extern const std::size_t kPunctuationRangesSize;
// Canonical decomposition without nonspacing marks, where it differs.
extern const AccentMapping kAccentMap[];
extern const std::size_t kAccentMapSize;

}  // namespace quelbin::detail::wordpiece_data
