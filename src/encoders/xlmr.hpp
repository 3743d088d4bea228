// Internals of the XLM-R unigram tokenizer, exposed for its tests.
#pragma once

#include "encoders/subword_text.hpp"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quelbin::detail {

// The precompiled character map: a double-array trie of replacement rules and
// the pool of NUL-ended replacement strings the trie's values point into.
struct CharsMap {
    std::vector<std::uint32_t> trie_units;
    std::string normalized_pool;
    // ASCII bytes that no rule replaces (set by load; all false otherwise, so
    // that every byte goes through the trie).
    std::array<bool, 128> ascii_plain{};

    // Parses the serialised form (trie byte size T, T/4 units, pool); throws
    // SubwordError when it is truncated or the trie does not fit.
    static CharsMap load(const std::vector<std::uint8_t>& bytes);

    // The replacement of the shortest prefix of `key` that carries a value,
    // when there is one (it may be empty).
    bool lookup(std::string_view key, std::string_view& replacement) const;

    // Replaces each cluster (CR LF; a code point with its marks, joiner
    // sequences and variation selector 16) through the map, whole when it is
    // at most 5 bytes and has a rule, else code point by code point.
    std::string normalize(std::string_view word) const;
    // The same over a word already decoded into `cps`, written to `out`;
    // false when no rule applied, so that `out` equals the word.
    bool normalize(std::string_view word, const std::vector<DecodedCodePoint>& cps, std::string& out) const;
};

}  // namespace quelbin::detail
