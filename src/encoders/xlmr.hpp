// Internals of the XLM-R unigram tokenizer, exposed for its tests.
#pragma once

#include "encoders/subword_text.hpp"

#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

namespace quelbin::detail {

// The precompiled character map: a double-array trie of replacement rules and
// the pool of NUL-ended replacement strings the trie's values point into.
struct CharsMap {
    std::vector<std::uint32_t> trie_units;
    std::string normalized_pool;
    // Bit c of a table of 65536 bits: the code point c below U+10000, alone in
    // its cluster, passes normalisation unchanged (no rule, not CR, not the
    // zero width joiner). `kept_in_word` also leaves out whitespace, marks and
    // U+FE0F, which split or join clusters. Set by load; empty otherwise, so
    // that every code point goes through the trie.
    std::vector<std::uint64_t> kept;
    std::vector<std::uint64_t> kept_in_word;

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

    // Whether `word` is nonempty, valid UTF-8 of code points below U+10000
    // that are all in `kept_in_word`: then it normalises to itself and is a
    // single chunk. False is no verdict: the word takes the general path.
    bool passes_unchanged(std::string_view word) const;
};

// The vocabulary as a double-array trie over the pieces' bytes: the children
// of node n sit at units[n].base + byte and name n as their parent, so one
// walk from a start position meets every piece beginning there, shortest
// first. ends[n] holds the id of the piece that ends at node n (its first
// position) and that position's score; a node where no piece ends holds a NaN
// score, which loses every comparison, so the search needs no branch to tell
// them apart, and id kEndAbove when a piece ends at one of its ancestors below
// the root, else -1: the last node of a walk tells whether any piece ended on
// the way. The walk's chain of loads reads the units alone, which are kept
// small so that more of them stay in cache.
class PieceTrie {
public:
    static constexpr std::uint32_t kNone = 0xFFFFFFFFu;
    static constexpr std::int32_t kEndAbove = -2;
    struct Unit {
        std::uint32_t base = 0;
        std::uint32_t parent = kNone;
    };
    struct End {
        std::int32_t id = -1;
        float score = std::numeric_limits<float>::quiet_NaN();
    };

    void build(const std::vector<std::string>& pieces, const std::vector<float>& scores);

    // The id of the piece equal to `key`, or -1.
    std::int64_t find(std::string_view key) const;
    // The node that `key` leads to, or kNone when no piece begins with it.
    std::uint32_t node_of(std::string_view key) const;

    // The root is unit 0. The arrays extend 256 units past every base, so a
    // child index never needs a bounds check.
    const Unit* units() const { return units_.data(); }
    const End* ends() const { return ends_.data(); }
    std::size_t unit_count() const { return units_.size(); }

private:
    std::vector<Unit> units_;
    std::vector<End> ends_;
};

}  // namespace quelbin::detail
