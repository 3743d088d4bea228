// The generated case tables (src/model/unicode_tables.cpp, written by
// scripts/gen_unicode_tables.py). Every table is sorted by code point.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quelbin::detail::unicode_data {

struct CodePointMapping {
    std::uint32_t code_point;
    std::uint32_t mapped;
};

struct CodePointExpansion {
    std::uint32_t code_point;
    const std::uint32_t* sequence;  // into one shared pool
    std::uint64_t length;           // 2 or 3
};

// Inclusive; the ranges of one table are disjoint.
struct CodePointRange {
    std::uint32_t first;
    std::uint32_t last;
};

extern const CodePointMapping kLowercaseMap[];
extern const std::size_t kLowercaseMapSize;
extern const CodePointMapping kUppercaseMap[];
extern const std::size_t kUppercaseMapSize;
extern const CodePointExpansion kUppercaseExpansions[];
extern const std::size_t kUppercaseExpansionsSize;
extern const CodePointRange kLowercaseRanges[];
extern const std::size_t kLowercaseRangesSize;
extern const CodePointRange kUppercaseRanges[];
extern const std::size_t kUppercaseRangesSize;
extern const CodePointRange kCasedRanges[];
extern const std::size_t kCasedRangesSize;

}  // namespace quelbin::detail::unicode_data
