// XLM-R unigram tokenizer: charsmap loading and trie walk, normalisation by
// clusters, whitespace chunks, the Viterbi search and construction checks.
#include <gtest/gtest.h>

#include "encoders/subword_cache.hpp"
#include "encoders/xlmr.hpp"

#include <quelbin/subword_bpe.hpp>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace quelbin;
using quelbin::detail::CharsMap;

// Serialises replacement rules as a double-array trie written independently
// of the engine: each node's children sit at base XOR label, its value unit
// at base, and the unit leading into a node carries base XOR its own index.
std::vector<std::uint8_t> charsmap_of(const std::map<std::string, std::string>& rules) {
    std::vector<std::uint32_t> units(1, 0);
    std::vector<bool> used(1, true);
    std::string pool;
    std::map<std::string, std::uint32_t> value_of;
    std::vector<bool> base_taken;  // one node per base, or walks could cross
    for (const auto& [key, replacement] : rules) {
        value_of[key] = static_cast<std::uint32_t>(pool.size());
        pool += replacement;
        pool.push_back('\0');
    }
    const auto free_at = [&](std::size_t i) { return i >= used.size() || !used[i]; };
    const auto take = [&](std::size_t i, std::uint32_t unit) {
        if (i >= units.size()) units.resize(i + 1, 0), used.resize(i + 1, false);
        units[i] = unit;
        used[i] = true;
    };
    // Places the node of `prefix`, entered through the unit at `parent`.
    std::function<void(const std::string&, std::size_t)> place = [&](const std::string& prefix,
                                                                        std::size_t parent) {
        std::vector<unsigned char> labels;
        for (const auto& [key, _] : rules) {
            if (key.size() > prefix.size() && key.compare(0, prefix.size(), prefix) == 0) {
                const unsigned char c = key[prefix.size()];
                if (labels.empty() || labels.back() != c) labels.push_back(c);
            }
        }
        const bool has_value = !prefix.empty() && rules.count(prefix);
        std::size_t base = 1;
        while (true) {
            bool fits = (base >= base_taken.size() || !base_taken[base]) && (!has_value || free_at(base));
            for (unsigned char c : labels) fits = fits && (base ^ c) != 0 && free_at(base ^ c);
            if (fits) break;
            ++base;
        }
        if (base >= base_taken.size()) base_taken.resize(base + 1, false);
        base_taken[base] = true;
        const std::uint32_t label = prefix.empty() ? 0 : static_cast<unsigned char>(prefix.back());
        units[parent] = (static_cast<std::uint32_t>(parent ^ base) << 10) | label |
                        (has_value ? 0x100u : 0u);
        if (has_value) take(base, 0x80000000u | value_of[prefix]);
        for (unsigned char c : labels) take(base ^ c, c);
        for (unsigned char c : labels) place(prefix + static_cast<char>(c), base ^ c);
    };
    place("", 0);
    std::vector<std::uint8_t> out;
    const auto put32 = [&](std::uint32_t v) {
        for (int k = 0; k < 4; ++k) out.push_back(static_cast<std::uint8_t>(v >> (8 * k)));
    };
    put32(static_cast<std::uint32_t>(units.size() * 4));
    for (std::uint32_t u : units) put32(u);
    out.insert(out.end(), pool.begin(), pool.end());
    return out;
}

const std::vector<std::uint8_t> kEmptyMap = {0, 0, 0, 0};

std::string construction_error(std::vector<std::string> vocab, std::vector<float> scores,
                               std::vector<std::uint8_t> charsmap, std::int64_t unknown) {
    try {
        XLMRobertaTokenizer(std::move(vocab), std::move(scores), std::move(charsmap), unknown, "<s>",
                            "</s>");
    } catch (const SubwordError& error) {
        return error.what();
    }
    return "built";
}

TEST(XLMRobertaTokenizer, ConstructionChecksInOrder) {
    const std::vector<std::string> v = {"<unk>", "<s>", "</s>"};
    const std::vector<float> s = {0, 0, 0};
    const std::string sizes = "XLM-R vocabulary and score arrays must be nonempty and equal";
    const std::string range = "XLM-R unknown id is out of range";
    const std::string truncated = "XLM-R precompiled charsmap is truncated";
    const std::string trie = "XLM-R precompiled charsmap has invalid trie";
    const struct {
        std::vector<std::string> vocab;
        std::vector<float> scores;
        std::vector<std::uint8_t> charsmap;
        std::int64_t unknown;
        std::string want;
    } rows[] = {
        {{}, {}, {}, 0, sizes},
        {v, {0, 0}, {}, 0, sizes},
        {v, s, {}, 3, range},
        {v, s, {}, -1, range},
        {{"<unk>", "</s>", "x"}, s, {}, 0, "XLM-R vocabulary is missing token: <s>"},
        {{"<unk>", "<s>", "x"}, s, {}, 0, "XLM-R vocabulary is missing token: </s>"},
        {v, s, {}, 0, truncated},
        {v, s, {4, 0, 0}, 0, truncated},
        {v, s, {6, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 0, trie},
        {v, s, {8, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 0, trie},
        // A trie size near 2^32 wraps around in 32 bits; the blob is far shorter.
        {v, s, {0xFC, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0}, 0, trie},
        {v, s, {0xFC, 0xFF, 0xFF, 0xFF}, 0, trie},
        {v, s, {4, 0, 0, 0, 0, 0, 0, 0}, 0, "built"},
        {v, s, kEmptyMap, 2, "built"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(construction_error(row.vocab, row.scores, row.charsmap, row.unknown), row.want)
            << row.want << " " << row.charsmap.size();
    }
}

TEST(XLMRobertaCharsMap, ShortestPrefixWithAValueDecides) {
    const CharsMap map = CharsMap::load(charsmap_of({{"ab", "X"}, {"abc", "Y"}, {"q", ""}, {"z", "zz"}}));
    std::string_view got;
    const std::pair<std::string, std::string> rows[] = {
        {"ab", "X"}, {"abc", "X"}, {"abz", "X"}, {"q", ""}, {"qz", ""}, {"z", "zz"}};
    for (const auto& [key, want] : rows) {
        ASSERT_TRUE(map.lookup(key, got)) << key;
        EXPECT_EQ(got, want) << key;
    }
    for (const std::string key : {"a", "b", "", "x", "ba"}) EXPECT_FALSE(map.lookup(key, got)) << key;
    EXPECT_FALSE(map.lookup(std::string("\0z", 2), got));
    CharsMap no_pool = map;
    no_pool.normalized_pool.clear();  // values past the pool's end match nothing
    EXPECT_FALSE(no_pool.lookup("z", got));
    const CharsMap empty = CharsMap::load(kEmptyMap);
    EXPECT_FALSE(empty.lookup("a", got));
    EXPECT_EQ(empty.normalize("A b\r\n"), "A b\r\n");
}

TEST(XLMRobertaCharsMap, NormalisesByClusters) {
    const std::string acute = "\xCC\x81", grave = "\xCC\x80", hat = "\xCC\x82";
    const std::string zwj = "\xE2\x80\x8D", vs16 = "\xEF\xB8\x8F";
    const CharsMap map = CharsMap::load(charsmap_of({
        {"\r\n", "N"}, {"\n", "L"}, {"e", "E"}, {"\xE2\x80\x8B", ""}, {zwj, "J"}, {"y", "Y"},
        {vs16, ""}, {acute, "'"}, {"o" + acute, "O"},
    }));
    const std::pair<std::string, std::string> rows[] = {
        {"\r\n", "N"},
        {"\r\r\n\r\n\n", "\rNNL"},
        {"e" + acute + "t", "Et"},                    // the mark goes with its base
        {"e" + acute + grave, "E"},                   // five bytes: still whole
        {"e" + acute + grave + hat, "E'" + grave + hat},  // seven: code point by code point
        {"o" + acute, "O"},
        {"o" + grave, "o" + grave},
        {acute + "a", "'a"},                          // a mark without a base
        {"a\xE2\x80\x8B" "b", "ab"},                  // empty replacement deletes
        {"x" + zwj + "y", "xJ"},                      // y joins the joiner's cluster
        {"x" + zwj + "yy", "xJY"},
        {"e" + vs16, "E"},
        {"\xE2\x98\xBA" + vs16, "\xE2\x98\xBA"},        // six bytes: per code point
    };
    for (const auto& [word, want] : rows) EXPECT_EQ(map.normalize(word), want) << word;
}

class Unigram {
public:
    Unigram(std::vector<std::string> pieces, std::vector<float> scores,
            std::vector<std::uint8_t> charsmap = kEmptyMap, std::int64_t unknown = 0)
        : pieces_(pieces), tok_(std::move(pieces), std::move(scores), std::move(charsmap), unknown, "<s>", "</s>") {}

    // The pieces of `text` joined by "|".
    std::string pieces(const std::string& text) const {
        std::string out;
        for (std::int64_t id : tok_.tokenize(text)) {
            if (!out.empty()) out += "|";
            out += pieces_.at(static_cast<std::size_t>(id));
        }
        return out;
    }

    std::vector<std::string> pieces_;
    XLMRobertaTokenizer tok_;
};

const std::string kMark = "\xE2\x96\x81";  // U+2581

TEST(XLMRobertaTokenizer, ViterbiKeepsTheBestTotalAndTheEarliestLastPieceOnTies) {
    const std::vector<std::string> v = {"<unk>", "<s>", "</s>", kMark, kMark + "a", "b", kMark + "ab", "ab"};
    EXPECT_EQ(Unigram(v, {0, 0, 0, -1, -1, -1, -3, -1}).pieces("ab"), kMark + "|ab");  // tie of -2
    EXPECT_EQ(Unigram(v, {0, 0, 0, -1, -1, -1, -1.5, -1}).pieces("ab"), kMark + "ab");
    EXPECT_EQ(Unigram(v, {0, 0, 0, -1, -0.5, -1, -3, -1}).pieces("ab"), kMark + "a|b");
    EXPECT_EQ(Unigram(v, {0, 0, 0, -1, -1, -1, -1, -1}).pieces("ab b  ab\xE3\x80\x80" "b"),
              kMark + "ab|" + kMark + "|b|" + kMark + "ab|" + kMark + "|b");
    // Whole pieces of 14, 15 and 16 bytes against their letters one by one.
    const Unigram lengths({"<unk>", "<s>", "</s>", kMark, "x", kMark + "xxxxxxxxxxx", kMark + "xxxxxxxxxxxx",
                           kMark + "xxxxxxxxxxxxx"},
                          {0, 0, 0, -1, -1, -2, -2, -2});
    for (std::size_t n = 11; n <= 13; ++n) EXPECT_EQ(lengths.tok_.tokenize(std::string(n, 'x')).size(), 1u) << n;
    const Unigram u(v, {0, 0, 0, -1, -1, -1, -1, -1});
    for (const std::string blank : {"", " ", "  \t\n", "\xE3\x80\x80"}) {
        EXPECT_TRUE(u.tok_.tokenize(blank).empty()) << blank;
    }
    const WordPieceEncoding framed = u.tok_.encode({"ab", " ", "b"}, true);
    EXPECT_EQ(framed.input_ids, (std::vector<std::int64_t>{1, 6, 3, 5, 2}));
    EXPECT_EQ(framed.word_ids, (std::vector<std::int64_t>{-1, 0, 2, 2, -1}));
    const std::string_view views[] = {"ab", " ", "b"};
    const WordPieceEncoding viewed = u.tok_.encode(views, 3, true);
    EXPECT_EQ(viewed.input_ids, framed.input_ids);
    EXPECT_EQ(viewed.word_ids, framed.word_ids);
}

TEST(XLMRobertaTokenizer, UnknownCodePoints) {
    const std::vector<std::string> v = {"<s>", "</s>", "<unk>", kMark, "a", "xa"};
    // One unknown per code point where no piece begins, scored with its own score:
    // "x" begins the piece "xa", so it is not an unknown step.
    EXPECT_EQ(Unigram(v, {0, 0, -5, -1, -1, -1}, kEmptyMap, 2).pieces("qrxa"),
              kMark + "|<unk>|<unk>|xa");
    EXPECT_EQ(Unigram(v, {0, 0, -5, -1, -1, -100}, kEmptyMap, 2).pieces("qrxa"),
              kMark + "|<unk>|<unk>|xa");  // "x" alone is no piece: xa stays
    EXPECT_EQ(Unigram(v, {0, 0, -std::numeric_limits<float>::infinity(), -1, -1, -1}, kEmptyMap, 2)
                  .pieces("aq a"),
              "<unk>|" + kMark + "|a");
    // No piece begins with U+2581: each chunk starts with an unknown.
    EXPECT_EQ(Unigram({"<unk>", "<s>", "</s>", "a"}, {0, 0, 0, -1}).pieces("aa a"), "<unk>|a|a|<unk>|a");
    // A piece listed twice keeps its first position and score; both count.
    const Unigram twice({"<unk>", "<s>", "</s>", kMark, "b", "b", kMark + "b"}, {0, 0, 0, -1, -1, 5, -2.5});
    EXPECT_EQ(twice.tok_.tokenize("b"), (std::vector<std::int64_t>{3, 4}));
    EXPECT_EQ(twice.tok_.vocabulary_size(), 7u);
}

TEST(XLMRobertaTokenizer, CharsMapFeedsTheChunks) {
    const std::vector<std::string> v = {"<unk>", "<s>", "</s>", kMark + "a", kMark + "b"};
    const std::vector<float> s = {0, 0, 0, -1, -1};
    const Unigram u(v, s, charsmap_of({{"A", "a"}, {"_", " "}, {"-", ""}, {"q", "b\xFF"}}));
    EXPECT_EQ(u.pieces("A"), kMark + "a");
    EXPECT_EQ(u.pieces("a_b"), kMark + "a|" + kMark + "b");  // a replacement's space splits
    EXPECT_TRUE(u.tok_.tokenize("--").empty());
    const std::pair<std::string, std::string> bad[] = {
        {"ab\xC3", "invalid UTF-8 sequence at byte offset 2"},
        {"Aq", "invalid UTF-8 sequence at byte offset 2"},  // counted in the normalised text
        {"qA", "invalid UTF-8 sequence at byte offset 1"},
    };
    for (const auto& [word, want] : bad) {
        try {
            u.tok_.encode({"a", word}, false);
            ADD_FAILURE() << word;
        } catch (const SubwordError& error) {
            EXPECT_EQ(std::string(error.what()), want);
        }
    }
    EXPECT_EQ(u.tok_.cache_size(), 4u);  // A, a_b, --, a; no failed word
}

}  // namespace

namespace {

// Every prefix of a serialised map either loads or fails with its message; random
// trie units and pools never lead a walk outside them.
TEST(XLMRobertaCharsMap, TruncatedAndCorruptMapsAreRefusedOrStayInBounds) {
    const std::vector<std::uint8_t> full = charsmap_of({{"a", "A"}, {"bc", "B"}, {"\xC3\xA9", "e"}});
    const std::size_t trie_end = 4 + (full[0] | (full[1] << 8));
    for (std::size_t size = 0; size <= full.size(); ++size) {
        std::string got = "loaded";
        try {
            CharsMap::load(std::vector<std::uint8_t>(full.begin(), full.begin() + size));
        } catch (const SubwordError& error) {
            got = error.what();
        }
        const std::string want = size < 4          ? "XLM-R precompiled charsmap is truncated"
                                 : size < trie_end ? "XLM-R precompiled charsmap has invalid trie"
                                                   : "loaded";
        EXPECT_EQ(got, want) << size;
    }
    std::mt19937 rng(5);
    const std::string words[] = {"a", "bc", "\xC3\xA9\xCC\x81", "\r\n", "x\xE2\x80\x8Dy", "abc\xEF\xB8\x8F"};
    for (int round = 0; round < 300; ++round) {
        CharsMap map;
        map.trie_units.resize(1 + rng() % 64);
        for (std::uint32_t& u : map.trie_units) {
            u = rng();
            if (rng() % 2) u = (u & ~0x800000FFu) | static_cast<std::uint8_t>("abc\xC3\xA9\r\n"[rng() % 7]);
            if (rng() % 2) u &= 0x0000FFFFu;  // small offsets stay near the units
        }
        map.normalized_pool.assign(rng() % 8, 'p');
        if (!map.normalized_pool.empty() && rng() % 2) map.normalized_pool[rng() % map.normalized_pool.size()] = '\xFF';
        for (const std::string& word : words) {
            std::string_view replacement;
            for (std::size_t n = 1; n <= word.size(); ++n) {
                if (map.lookup(std::string_view(word).substr(0, n), replacement)) {
                    EXPECT_GE(replacement.data(), map.normalized_pool.data());
                    EXPECT_LE(replacement.data() + replacement.size(),
                              map.normalized_pool.data() + map.normalized_pool.size());
                }
            }
            EXPECT_LE(map.normalize(word).size(), word.size() * (1 + map.normalized_pool.size()));
        }
    }
}

}  // namespace

namespace {

// The search as written out, with a plain map from string to first position.
std::vector<std::int64_t> reference_viterbi(const std::vector<std::string>& pieces,
                                            const std::vector<float>& scores, std::int64_t unknown,
                                            const std::string& chunk) {
    std::map<std::string, std::int64_t> ids;
    std::size_t longest = 0;
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        ids.emplace(pieces[i], static_cast<std::int64_t>(i));
        longest = std::max(longest, pieces[i].size());
    }
    std::vector<std::size_t> off = {0};
    for (std::size_t b = 1; b <= chunk.size(); ++b) {
        if (b == chunk.size() || (static_cast<unsigned char>(chunk[b]) & 0xC0) != 0x80) off.push_back(b);
    }
    const std::size_t n = off.size();
    std::vector<float> best(n, -std::numeric_limits<float>::infinity());
    std::vector<std::size_t> back(n, 0);
    std::vector<std::int64_t> id(n, unknown);
    best[0] = 0;
    for (std::size_t i = 0; i + 1 < n; ++i) {
        if (!std::isfinite(best[i])) continue;
        bool matched = false;
        for (std::size_t j = i + 1; j < n && off[j] - off[i] <= longest; ++j) {
            const auto it = ids.find(chunk.substr(off[i], off[j] - off[i]));
            if (it == ids.end()) continue;
            matched = true;
            if (best[i] + scores[it->second] > best[j]) best[j] = best[i] + scores[it->second], back[j] = i, id[j] = it->second;
        }
        if (!matched && best[i] + scores[unknown] > best[i + 1]) {
            best[i + 1] = best[i] + scores[unknown], back[i + 1] = i, id[i + 1] = unknown;
        }
    }
    if (!std::isfinite(best[n - 1])) return {unknown};
    std::vector<std::int64_t> out;
    for (std::size_t p = n - 1; p > 0; p = back[p]) out.insert(out.begin(), id[p]);
    return out;
}

// Random vocabularies over a few one-, two- and three-byte letters, with pieces
// long enough to leave the slots' inline bytes, against the search above.
TEST(XLMRobertaTokenizer, SearchMatchesTheReferenceOnRandomVocabularies) {
    const std::string letters[] = {"a", "b", "c", "\xC3\xA9", "\xD0\xB4", "\xE6\x9D\xB1", "\xE2\x96\x81"};
    std::mt19937 rng(11);
    const auto random_string = [&](std::size_t max_letters) {
        std::string s;
        for (std::size_t k = 1 + rng() % max_letters; k > 0; --k) s += letters[rng() % 7];
        return s;
    };
    for (int round = 0; round < 60; ++round) {
        std::vector<std::string> pieces = {"<unk>", "<s>", "</s>"};
        std::vector<float> scores = {static_cast<float>(-20.0 * (rng() % 2)), 0, 0};
        for (std::size_t k = 2 + rng() % 60; k > 0; --k) {
            pieces.push_back(random_string(rng() % 4 == 0 ? 9 : 3));
            scores.push_back(-static_cast<float>(rng() % 1000) / 97.0f);
        }
        // A piece ending inside a code point, in every other round, sends the
        // search down its byte-boundary path.
        if (round % 2 == 1) {
            pieces.push_back("\xE2\x96");
            scores.push_back(5.0f);
        }
        XLMRobertaTokenizer tok(pieces, scores, kEmptyMap, 0, "<s>", "</s>");
        for (int w = 0; w < 40; ++w) {
            const std::string word = random_string(12);  // U+2581 in it is an ordinary letter
            const auto want = reference_viterbi(pieces, scores, 0, "\xE2\x96\x81" + word);
            EXPECT_EQ(tok.tokenize(word), want) << round << " " << word;
        }
    }
}

}  // namespace

namespace {

using quelbin::detail::PieceTrie;

// Every piece is found at its first position and nothing else is found: pieces
// sharing long prefixes, with NUL, continuation and 0xFF bytes, and enough of
// them that the trie grows and its bases crowd.
TEST(XLMRobertaPieceTrie, FindsEachPieceAtItsFirstPosition) {
    const std::vector<std::string> small = {"ab", "a", "abc", std::string("\0z", 2), "\xFF", "\xE2\x96", "ab", ""};
    PieceTrie trie;
    trie.build(small, std::vector<float>(small.size(), -1.0f));
    const std::pair<std::string, std::int64_t> rows[] = {
        {"ab", 0}, {"a", 1}, {"abc", 2}, {std::string("\0z", 2), 3}, {"\xFF", 4}, {"\xE2\x96", 5}, {"", 7},
        {"abcd", -1}, {"b", -1}, {"ac", -1}, {std::string("\0", 1), -1}, {"\xE2", -1}, {"\xE2\x96\x81", -1},
    };
    for (const auto& [key, want] : rows) EXPECT_EQ(trie.find(key), want) << key;
    PieceTrie no_empty;
    no_empty.build({"x"}, {0.0f});
    EXPECT_EQ(no_empty.find(""), -1);

    std::mt19937 rng(3);
    const char alphabet[] = {'a', 'b', 'c', '\0', '\x80', '\xBF', '\xE2', '\xFF'};
    const auto random_key = [&] {
        std::string s;
        for (std::size_t n = 1 + rng() % 12; n > 0; --n) s += alphabet[rng() % 8];
        return s;
    };
    std::vector<std::string> pieces;
    std::map<std::string, std::int64_t> first;
    for (std::int64_t id = 0; id < 20000; ++id) {
        pieces.push_back(random_key());
        first.emplace(pieces.back(), id);
    }
    PieceTrie big;
    big.build(pieces, std::vector<float>(pieces.size(), 0.0f));
    for (const auto& [key, id] : first) ASSERT_EQ(big.find(key), id) << key;
    for (int k = 0; k < 5000; ++k) {
        const std::string key = random_key();
        const auto it = first.find(key);
        ASSERT_EQ(big.find(key), it == first.end() ? -1 : it->second) << key;
    }
}

// The code points of valid UTF-8, decoded here independently of the engine.
std::vector<std::string> code_points_of(const std::string& text) {
    std::vector<std::string> out;
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const std::size_t n = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        out.push_back(text.substr(i, n));
        i += n;
    }
    return out;
}

std::uint32_t value_of(const std::string& cp) {
    const auto lead = static_cast<unsigned char>(cp[0]);
    std::uint32_t v = cp.size() == 1 ? lead : lead & (0x7F >> cp.size());
    for (std::size_t k = 1; k < cp.size(); ++k) v = (v << 6) | (static_cast<unsigned char>(cp[k]) & 0x3F);
    return v;
}

// Normalisation by clusters, written out over the map's lookup alone.
std::string reference_normalize(const CharsMap& map, const std::string& word) {
    const std::vector<std::string> cps = code_points_of(word);
    std::string out;
    std::string_view replacement;
    for (std::size_t i = 0; i < cps.size();) {
        std::size_t j = i + 1;
        if (cps[i] == "\r" && j < cps.size() && cps[j] == "\n") {
            j = i + 2;
        } else {
            while (j < cps.size() && (quelbin::detail::is_subword_mark(value_of(cps[j])) ||
                                      cps[j - 1] == "\xE2\x80\x8D" || cps[j] == "\xEF\xB8\x8F")) {
                ++j;
            }
        }
        std::string cluster;
        for (std::size_t k = i; k < j; ++k) cluster += cps[k];
        if (cluster.size() <= 5 && map.lookup(cluster, replacement)) {
            out += replacement;
        } else {
            for (std::size_t k = i; k < j; ++k) out += map.lookup(cps[k], replacement) ? std::string(replacement) : cps[k];
        }
        i = j;
    }
    return out;
}

// Words of letters with and without rules, marks, joiners, whitespace and
// four-byte code points, through the tokenizer against normalisation, the
// whitespace split and the search as written out, over random vocabularies
// that also hold pieces ending inside a code point and pieces scored NaN or
// minus infinity.
TEST(XLMRobertaTokenizer, WordsMatchTheReferenceThroughTheCharsMap) {
    const std::string acute = "\xCC\x81";
    const std::vector<std::uint8_t> charsmap = charsmap_of({
        {"A", "a"}, {"\xEF\xBC\xA1", "a"}, {"o" + acute, "O"}, {"\xE3\x80\x80", " "}, {"\xE2\x80\x8B", ""},
        {"\xEF\xB8\x8F", ""}, {"\r\n", " "}, {"q", "b\xE2\x80\x83" "b"},
    });
    const CharsMap map = CharsMap::load(charsmap);
    const std::string letters[] = {"a", "b", "o", "O", "\xD0\xB4", "\xE6\x9D\xB1", "\xF0\x9F\x98\x80", acute,
                                   "\xE2\x96\x81", "\xE2\x96", "\xF0\x9F"};
    const std::string word_parts[] = {"a", "b", "o", "A", "q", "\xD0\xB4", "\xE6\x9D\xB1", "\xF0\x9F\x98\x80",
                                      acute, "\xEF\xBC\xA1", "\xE3\x80\x80", "\xE2\x80\x8B", "\xE2\x80\x8D",
                                      "\xEF\xB8\x8F", "\r", "\n", " ", "\t", "\xC2\xA0"};
    std::mt19937 rng(17);
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float minus_inf = -std::numeric_limits<float>::infinity();
    for (int round = 0; round < 40; ++round) {
        std::vector<std::string> pieces = {"<unk>", "<s>", "</s>"};
        std::vector<float> scores = {-10.0f, 0, 0};
        for (std::size_t k = 5 + rng() % 40; k > 0; --k) {
            std::string piece;
            for (std::size_t n = 1 + rng() % 3; n > 0; --n) piece += letters[rng() % std::size(letters)];
            pieces.push_back(piece);
            const unsigned pick = rng() % 20;
            scores.push_back(pick == 0 ? nan : pick == 1 ? minus_inf : -static_cast<float>(rng() % 500) / 37.0f);
        }
        const XLMRobertaTokenizer tok(pieces, scores, charsmap, 0, "<s>", "</s>");
        for (int w = 0; w < 60; ++w) {
            std::string word;
            for (std::size_t n = 1 + rng() % 8; n > 0; --n) word += word_parts[rng() % (w % 2 ? 9 : std::size(word_parts))];
            std::vector<std::int64_t> want;
            std::string chunk;
            for (const std::string& cp : code_points_of(reference_normalize(map, word))) {
                if (quelbin::detail::is_subword_whitespace(value_of(cp))) {
                    if (!chunk.empty()) {
                        for (std::int64_t id : reference_viterbi(pieces, scores, 0, "\xE2\x96\x81" + chunk)) want.push_back(id);
                    }
                    chunk.clear();
                } else {
                    chunk += cp;
                }
            }
            if (!chunk.empty()) {
                for (std::int64_t id : reference_viterbi(pieces, scores, 0, "\xE2\x96\x81" + chunk)) want.push_back(id);
            }
            EXPECT_EQ(tok.tokenize(word), want) << round << " " << word;
        }
    }
}

// A piece that ends inside a code point neither matches nor makes a position:
// the start takes the unknown step as if the piece were absent.
TEST(XLMRobertaTokenizer, PiecesEndingInsideACodePointNeverCount) {
    const Unigram u({"<unk>", "<s>", "</s>", "\xE2\x96", "a", "\xD0", "\xB4" "a"}, {-5, 0, 0, 9, -1, 9, 9});
    const std::pair<std::string, std::vector<std::int64_t>> rows[] = {
        {"a", {0, 4}},                 // "\xE2\x96" lies inside U+2581
        {"aa", {0, 4, 4}},
        {"\xD0\xB4" "a", {0, 0, 4}},  // "\xD0" lies inside the letter, "\xB4a" starts inside it
    };
    for (const auto& [word, want] : rows) EXPECT_EQ(u.tok_.tokenize(word), want) << word;
    // Pieces begin with U+2581 but it is no piece alone.
    const Unigram prefixed({"<unk>", "<s>", "</s>", kMark + "a", "b", kMark + "\xE6\x9D\xB1"}, {-5, 0, 0, -1, -1, -1});
    const std::pair<std::string, std::vector<std::int64_t>> after_mark[] = {
        {"b", {0, 4}}, {"ab", {3, 4}}, {"\xE6\x9D\xB1" "b", {5, 4}}, {"\xE6\x9D\xB2", {0, 0}},
    };
    for (const auto& [word, want] : after_mark) EXPECT_EQ(prefixed.tok_.tokenize(word), want) << word;
}

// Malformed UTF-8 inside words that would otherwise pass normalisation
// unchanged is reported at its offset.
TEST(XLMRobertaTokenizer, InvalidUtf8InPlainWordsIsReportedAtItsOffset) {
    const Unigram u({"<unk>", "<s>", "</s>", kMark + "a"}, {0, 0, 0, -1}, charsmap_of({{"q", "b"}}));
    const std::pair<std::string, std::size_t> rows[] = {
        {"ab\xC0\x80", 2},          // overlong two-byte lead
        {"ab\xC1\xBF", 2},
        {"\xE0\x80\x80" "a", 0},    // overlong three-byte
        {"a\xED\xA0\x80", 1},       // surrogate
        {"ab\xE6\x9D", 2},          // truncated at the end
        {"\xE6\x9D" "x", 2},        // continuation missing
        {"a\x80", 1},               // stray continuation
        {"a\xF5\x80\x80\x80", 1},   // lead past U+10FFFF
        {"\xF0\x80\x80\x80", 0},    // overlong four-byte
        {"\xD0\xB4\xC3", 2},
    };
    for (const auto& [word, offset] : rows) {
        try {
            u.tok_.tokenize(word);
            ADD_FAILURE() << word;
        } catch (const SubwordError& error) {
            EXPECT_EQ(std::string(error.what()), "invalid UTF-8 sequence at byte offset " + std::to_string(offset))
                << word;
        }
    }
}

// The word cache shared by the subword tokenizers: the slot index comes from
// the library's string hash, and within one list a word that missed is stored
// before the next word is looked up.
TEST(SubwordCache, SlotIndexIsTheLibraryStringHash) {
    std::mt19937 rng(5);
    for (std::size_t length = 0; length < 40; ++length) {
        for (int k = 0; k < 20; ++k) {
            std::string word(length, '\0');
            for (char& c : word) c = static_cast<char>(rng());
            EXPECT_EQ(detail::SubwordWordCache::string_hash(word), std::hash<std::string_view>{}(word))
                << length;
        }
    }
}

TEST(SubwordCache, ListsStoreEachMissBeforeTheNextWord) {
    using Ids = std::vector<std::int64_t>;
    std::string other;  // shares the slot of "w0"
    for (int i = 1; other.empty(); ++i) {
        const std::string candidate = "w" + std::to_string(i);
        if (detail::SubwordWordCache::slot_index(candidate) == detail::SubwordWordCache::slot_index("w0")) {
            other = candidate;
        }
    }
    const struct {
        std::vector<std::string> words;
        int calls;
        std::size_t size;
    } rows[] = {
        {{"abcdefghij", "abcdefghij", "x"}, 2, 2},  // the repeat is a hit
        {{"w0", other, "w0", other}, 4, 1},         // each evicts the other
        {{"", "", "twelve bytes"}, 2, 2},
    };
    for (const auto& row : rows) {
        detail::SubwordWordCache cache;
        int calls = 0;
        const auto routine = [&calls](std::string_view word) {
            ++calls;
            return Ids(word.begin(), word.end());
        };
        Ids ids = {1}, word_ids = {-1};
        for (std::size_t i = 0; i < row.words.size(); ++i) {
            ids.insert(ids.end(), row.words[i].begin(), row.words[i].end());
            word_ids.insert(word_ids.end(), row.words[i].size(), static_cast<std::int64_t>(i));
        }
        ids.push_back(2);
        word_ids.push_back(-1);
        const WordPieceEncoding e = detail::encode_words(row.words, true, 1, 2, cache, routine);
        EXPECT_EQ(e.input_ids, ids) << row.words[0];
        EXPECT_EQ(e.word_ids, word_ids) << row.words[0];
        EXPECT_EQ(calls, row.calls) << row.words[0];
        EXPECT_EQ(cache.size(), row.size) << row.words[0];
    }
}

}  // namespace

