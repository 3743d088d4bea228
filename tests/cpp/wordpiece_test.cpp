// The shared encode framing and word cache, and the WordPiece tokenizer.
#include <gtest/gtest.h>

#include <limits>
#include <map>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "encoders/subword_cache.hpp"
#include "encoders/wordpiece_tables.hpp"

namespace quelbin {
namespace {

using Ids = std::vector<std::int64_t>;
using Words = std::vector<std::string>;

// One id per byte (its value), none for "skip", an error for "bad"; counts calls.
struct ByteRoutine {
    int* calls;
    Ids operator()(std::string_view word) const {
        ++*calls;
        if (word == "bad") throw std::runtime_error("bad word");
        return word == "skip" ? Ids{} : Ids(word.begin(), word.end());
    }
};

TEST(SubwordCache, FramingAndHits) {
    detail::SubwordWordCache cache;
    int calls = 0;
    const ByteRoutine routine{&calls};
    const struct {
        Words words;
        bool special;
        Ids ids, word_ids;
    } rows[] = {
        {{}, false, {}, {}},
        {{}, true, {1, 2}, {-1, -1}},
        {{"abc", "skip", "d"}, false, {97, 98, 99, 100}, {0, 0, 0, 2}},
        {{"abc", "skip", "d", "The"}, true, {1, 97, 98, 99, 100, 84, 104, 101, 2},
         {-1, 0, 0, 0, 2, 3, 3, 3, -1}},
        {{"the"}, false, {116, 104, 101}, {0, 0, 0}},  // the key is the word as given
        // Word ids around words of more than four ids and of none, last too.
        {{"abcdef", "d", "skip"}, false, {97, 98, 99, 100, 101, 102, 100}, {0, 0, 0, 0, 0, 0, 1}},
        {{"skip", "skip"}, true, {1, 2}, {-1, -1}},
    };
    for (const auto& row : rows) {
        const WordPieceEncoding e = detail::encode_words(row.words, row.special, 1, 2, cache, routine);
        EXPECT_EQ(e.input_ids, row.ids);
        EXPECT_EQ(e.word_ids, row.word_ids);
        EXPECT_EQ(e.attention_mask, Ids(row.ids.size(), 1));
    }
    EXPECT_EQ(calls, 6);  // each distinct word once
    EXPECT_EQ(cache.size(), 6u);

    // A failing word leaves the encode and stores nothing.
    EXPECT_THROW(detail::encode_words({"ok", "bad"}, true, 1, 2, cache, routine), std::runtime_error);
    EXPECT_THROW(cache.ids("bad", routine), std::runtime_error);
    EXPECT_EQ(calls, 9);
    EXPECT_EQ(cache.size(), 7u);
}

TEST(SubwordCache, LongListsOfViews) {
    // More words than the per-thread word-end buffer keeps, then a short list on
    // the same thread: every word id must follow its own word's ids.
    detail::SubwordWordCache cache;
    int calls = 0;
    const ByteRoutine routine{&calls};
    Words words;
    for (int i = 0; i < 70000; ++i) words.push_back(i % 7 == 3 ? "skip" : "w" + std::to_string(i % 900));
    const std::vector<std::string_view> views(words.begin(), words.end());
    Ids ids{1}, word_ids{-1};
    for (std::size_t i = 0; i < words.size(); ++i) {
        if (words[i] == "skip") continue;
        ids.insert(ids.end(), words[i].begin(), words[i].end());
        word_ids.insert(word_ids.end(), words[i].size(), static_cast<std::int64_t>(i));
    }
    ids.push_back(2);
    word_ids.push_back(-1);
    const WordPieceEncoding e = detail::encode_words(views.data(), views.size(), true, 1, 2, cache, routine);
    EXPECT_EQ(e.input_ids, ids);
    EXPECT_EQ(e.word_ids, word_ids);
    EXPECT_EQ(e.attention_mask, Ids(ids.size(), 1));
    const WordPieceEncoding small = detail::encode_words({"skip", "ab"}, false, 1, 2, cache, routine);
    EXPECT_EQ(small.input_ids, (Ids{97, 98}));
    EXPECT_EQ(small.word_ids, (Ids{1, 1}));
}

TEST(SubwordCache, WordsSharingASlotReplaceEachOther) {
    const std::size_t slot = detail::SubwordWordCache::slot_index("w0");
    std::string other;
    for (int i = 1; other.empty(); ++i) {
        const std::string candidate = "w" + std::to_string(i);
        if (detail::SubwordWordCache::slot_index(candidate) == slot) other = candidate;
    }
    detail::SubwordWordCache cache;
    int calls = 0;
    const ByteRoutine routine{&calls};
    for (const std::string& word : {std::string("w0"), other, std::string("w0")}) {
        EXPECT_EQ(cache.ids(word, routine), Ids(word.begin(), word.end()));
        EXPECT_EQ(cache.size(), 1u);
    }
    EXPECT_EQ(calls, 3);
}

// Words of every stored size take turns in one slot: a key and ids that just
// fill a slot's own room or just pass it, ids past 32 bits, no ids, a long
// key. Each is computed once, then served whole, by list and by single word.
TEST(SubwordCache, ReplacedWordsOfEverySizeReadBackWhole) {
    using Cache = detail::SubwordWordCache;
    const std::size_t slot = Cache::slot_index("a");
    // A word of `length` (4 or more) bytes of `fill` in that slot, its last
    // four varied: one in 8192 such words lands there.
    const auto in_slot = [slot](std::size_t length, char fill) {
        for (int i = 0; i < 26 * 26 * 26 * 26; ++i) {
            std::string word(length, fill);
            for (int k = 0, v = i; k < 4; ++k, v /= 26) word[length - 1 - k] = static_cast<char>('a' + v % 26);
            if (Cache::slot_index(word) == slot) return word;
        }
        throw std::logic_error("no word in the slot");
    };
    constexpr std::int64_t big = std::int64_t{1} << 40;
    constexpr std::int64_t low = std::numeric_limits<std::int32_t>::min();
    constexpr std::int64_t high = std::numeric_limits<std::int32_t>::max();
    const std::vector<std::pair<std::string, Ids>> rows = {
        {"a", {7}},
        {in_slot(8, 'b'), Ids(10, 3)},     // 10 ids and 8 bytes fill the room
        {in_slot(9, 'c'), Ids(10, 4)},     // one byte more
        {in_slot(4, 'd'), {}},
        {in_slot(5, 'e'), {high, low, -1}},
        {in_slot(6, 'f'), {high + 1, 5}},
        {in_slot(7, 'g'), {-big, big, 0}},
        {in_slot(200, 'h'), Ids(300, big)},
        {"a", {7}},
    };
    std::map<std::string, Ids> table(rows.begin(), rows.end());
    int calls = 0;
    const auto routine = [&](std::string_view word) {
        ++calls;
        return table.at(std::string(word));
    };
    Cache cache;
    for (std::size_t r = 0; r < rows.size(); ++r) {
        const auto& [word, ids] = rows[r];
        Ids twice = ids;
        twice.insert(twice.end(), ids.begin(), ids.end());
        EXPECT_EQ(detail::encode_words({word, word}, false, 1, 2, cache, routine).input_ids, twice) << r;
        EXPECT_EQ(cache.ids(word, routine), ids) << r;
        EXPECT_EQ(calls, static_cast<int>(r + 1)) << r;
    }
    EXPECT_EQ(cache.size(), 1u);
}

// Every listed character as a token and as a continuing token, so that the
// decoded ids show where pieces begin ("a ##b" is one piece, "a b" two).
struct CharTokenizer {
    Words tokens;
    WordPieceTokenizer tokenizer;

    static Words with_chars(Words tokens) {
        for (char c = 'a'; c <= 'z'; ++c) tokens.insert(tokens.end(), {{c}, std::string("##") + c});
        for (const char* c : {"A", "5", "$", "+", "<", "=", ">", "^", "`", "|", "~", ",", "'", "!",
                              "\xE4\xB8\xAD", "\xE6\x96\x87", "\xE1\x84\x92", "\xE1\x85\xA1",
                              "\xE1\x86\xAB", "\xF0\xAE\xAF\xB0", "\xC3\xA9", "\xCE\xB1"}) {
            tokens.insert(tokens.end(), {c, std::string("##") + c});
        }
        return tokens;
    }
    explicit CharTokenizer(bool lowercase = true, bool strip = true, std::size_t max_chars = 100,
                           bool dash = true)
        : tokens(with_chars(dash ? Words{"[UNK]", "[CLS]", "[SEP]", "-"}
                                 : Words{"[UNK]", "[CLS]", "[SEP]"})),
          tokenizer(tokens, lowercase, strip, "[UNK]", "[CLS]", "[SEP]", "##", max_chars) {}

    std::string decode(const std::string& word) const {
        std::string out;
        for (std::int64_t id : tokenizer.encode({word}, false).input_ids) {
            out += (out.empty() ? "" : " ") + tokens.at(static_cast<std::size_t>(id));
        }
        return out;
    }
};

TEST(WordPiece, ReferenceVocabularyExample) {
    const WordPieceTokenizer t({"[UNK]", "[CLS]", "[SEP]", "un", "##aff", "##able", "-"}, true, true,
                               "[UNK]", "[CLS]", "[SEP]", "##", 100);
    const WordPieceEncoding e = t.encode({"Unaffable"}, true);
    EXPECT_EQ(e.input_ids, Ids({1, 3, 4, 5, 2}));
    EXPECT_EQ(e.word_ids, Ids({-1, 0, 0, 0, -1}));
    EXPECT_EQ(t.vocabulary_size(), 7u);
    EXPECT_EQ(t.cache_size(), 1u);
    const std::string_view views[] = {"un", "Unaffable"};
    const WordPieceEncoding viewed = t.encode(views, 2, false);
    EXPECT_EQ(viewed.input_ids, Ids({3, 3, 4, 5}));
    EXPECT_EQ(viewed.word_ids, Ids({0, 1, 1, 1}));
}

// Cleaning, splitting, lower-casing and accent stripping, read back as tokens.
TEST(WordPiece, CleaningAndSplitting) {
    const CharTokenizer v, plain(false, false), short_pieces(true, true, 3),
        no_dash(true, true, 100, false);
    const struct {
        const CharTokenizer& t;
        std::string word;
        const char* tokens;
    } rows[] = {
        {v, "don't", "d ##o ##n ' t"},
        {v, "$5", "$ ##5"},
        {v, "a+b<=>^`|~", "a ##+ ##b ##< ##= ##> ##^ ##` ##| ##~"},
        {v, "a,b!!", "a , b ! !"},
        {v, "\xE4\xB8\xAD\xE6\x96\x87", "\xE4\xB8\xAD \xE6\x96\x87"},     // two CJK ideographs
        {v, "a\xC2\xA0" "b\xE3\x80\x80" "c", "a b c"},                    // U+00A0, U+3000
        {v, "a b\tc\nd\re", "a b c d e"},
        {v, "a\xE2\x80\x8B" "b\xC2\xAD" "c\xEF\xBB\xBF" "d", "a ##b ##c ##d"},  // U+200B, U+00AD, U+FEFF
        {v, "a\x0B" "b\x0C" "c\xC2\x85" "d", "a ##b ##c ##d"},            // controls before whitespace
        {v, std::string("a\0b", 3) + "\xEF\xBF\xBD" "c", "a ##b ##c"},    // U+0000, U+FFFD
        {v, "a\xCD\xB8" "b", "a ##b"},                                    // U+0378, unassigned
        {v, "a\xF0\xAE\xAF\xB0", "a ##\xF0\xAE\xAF\xB0"},                 // U+2EBF0, a letter in 15.1
        {v, "", "-"},
        {v, " \x01 ", "-"},
        {no_dash, "", "[UNK]"},
        {v, "ABC\xC3\x89t\xC3\xA9", "a ##b ##c ##e ##t ##e"},
        {v, "e\xCC\x81 \xCC\x81", "e"},                                   // U+0301 alone disappears
        {v, "\xC4\xB0", "i"},                                             // U+0130: i + U+0307
        {v, "\xED\x95\x9C", "\xE1\x84\x92 ##\xE1\x85\xA1 ##\xE1\x86\xAB"}, // Hangul to its jamo
        {v, "\xCE\x86", "\xCE\xB1"},
        {v, "ab\xD0\xB6,ab%", "[UNK] , a ##b [UNK]"},  // U+0436 is not in the vocabulary
        {plain, "Ab\xC3\xA9", "A ##b ##\xC3\xA9"},
        {plain, "e\xCC\x81", "[UNK]"},
        {short_pieces, "abc,abcd", "a ##b ##c , [UNK]"},
        {short_pieces, "\xC3\xA9\xC3\xA9\xC3\xA9", "e ##e ##e"},  // counted in code points
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.word);
        EXPECT_EQ(row.t.decode(row.word), row.tokens);
    }
    const WordPieceTokenizer no_prefix({"[UNK]", "[CLS]", "[SEP]", "ab", "c"}, true, true, "[UNK]",
                                       "[CLS]", "[SEP]", "", 100);
    EXPECT_EQ(no_prefix.encode({"abc", "cab"}, false).input_ids, Ids({3, 4, 4, 3}));
}

// WordPieceError from the tokenizer's own decoding; std::invalid_argument from
// lower-casing a non-ASCII word first. The cache keeps nothing of the word.
TEST(WordPiece, InvalidUtf8) {
    const CharTokenizer strict(false), lowering;
    const std::pair<std::string, int> rows[] = {
        {"ab\xC3", 2}, {"\x80", 0}, {"a\xC0\xAF", 1}, {"\xED\xA0\x80", 0}, {"ab\xE2\x28\xA1", 3}};
    for (const auto& [word, offset] : rows) {
        const std::string message = "invalid UTF-8 sequence at byte offset " + std::to_string(offset);
        try {
            strict.tokenizer.encode({"ok", word}, true);
            ADD_FAILURE() << word;
        } catch (const WordPieceError& e) {
            EXPECT_EQ(e.what(), message);
        }
        try {
            lowering.tokenizer.encode({word}, true);
            ADD_FAILURE() << word;
        } catch (const std::invalid_argument& e) {
            EXPECT_EQ(e.what(), message);
        }
    }
    EXPECT_EQ(strict.tokenizer.cache_size(), 1u);
    EXPECT_EQ(lowering.tokenizer.cache_size(), 0u);
}

TEST(WordPiece, ConstructorRefusals) {
    const struct {
        Words vocabulary;
        std::size_t max_chars;
        const char* message;
    } rows[] = {
        {{}, 0, "WordPiece vocabulary cannot be empty"},
        {{"[UNK]", "[CLS]", "[SEP]"}, 0, "max_input_characters_per_word must be positive"},
        {{"[UNK]", "x", "[CLS]", "x"}, 1, "WordPiece vocabulary contains duplicate token: x"},
        {{"[CLS]", "[SEP]"}, 1, "WordPiece vocabulary is missing required token: [UNK]"},
        {{"[SEP]", "[UNK]"}, 1, "WordPiece vocabulary is missing required token: [CLS]"},
        {{"[UNK]", "[CLS]"}, 1, "WordPiece vocabulary is missing required token: [SEP]"},
    };
    for (const auto& row : rows) {
        try {
            WordPieceTokenizer(row.vocabulary, true, true, "[UNK]", "[CLS]", "[SEP]", "##",
                               row.max_chars);
            ADD_FAILURE() << row.message;
        } catch (const WordPieceError& e) {
            EXPECT_STREQ(e.what(), row.message);
        }
    }
    // Special ids are list positions; a moved tokenizer keeps its cache.
    WordPieceTokenizer t({"x", "[SEP]", "[UNK]", "[CLS]"}, true, true, "[UNK]", "[CLS]", "[SEP]",
                         "##", 1);
    EXPECT_EQ(t.encode({"x", "y"}, true).input_ids, Ids({3, 0, 2, 1}));
    const WordPieceTokenizer moved(std::move(t));
    EXPECT_EQ(moved.cache_size(), 2u);
}

TEST(WordPiece, CharacterTableSizes) {
    namespace wd = detail::wordpiece_data;
    EXPECT_EQ(wd::kControlRangesSize, 712u);
    EXPECT_EQ(wd::kPunctuationRangesSize, 191u);
    ASSERT_EQ(wd::kAccentMapSize, 15200u);
    std::size_t by_length[4] = {};
    for (std::size_t i = 0; i < wd::kAccentMapSize; ++i) {
        ++by_length[wd::kAccentMap[i].length];
        if (i > 0) {
            EXPECT_LT(wd::kAccentMap[i - 1].code_point, wd::kAccentMap[i].code_point);
        }
    }
    EXPECT_EQ(std::vector<std::size_t>(by_length, by_length + 4),
              std::vector<std::size_t>({1985, 2000, 433, 10782}));
    EXPECT_EQ(wd::kPunctuationRanges[8].last, 0x7Du);  // nine ASCII rows
    EXPECT_GT(wd::kPunctuationRanges[9].first, 0x7Fu);
}

// Eight threads on one tokenizer, with more distinct words than slots so that
// hits, misses and evictions race, give the ids of one thread.
TEST(WordPiece, ThreadsAgreeWithOneThread) {
    Words vocab = {"[UNK]", "[CLS]", "[SEP]"};
    for (int i = 0; i < 200; ++i) {
        vocab.insert(vocab.end(), {"w" + std::to_string(i), "##" + std::to_string(i)});
    }
    Words words;
    for (int i = 0; i < 20000; ++i) {
        words.push_back("W" + std::to_string(i % 150) + std::to_string(i * 7919 % 20011) + ",x");
    }
    const auto make = [&] {
        return WordPieceTokenizer(vocab, true, true, "[UNK]", "[CLS]", "[SEP]", "##", 100);
    };
    const WordPieceEncoding expected = make().encode(words, true);
    const WordPieceTokenizer shared = make();
    std::vector<WordPieceEncoding> results(8);
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < results.size(); ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < 3; ++round) results[t] = shared.encode(words, true);
        });
    }
    for (std::thread& thread : threads) thread.join();
    for (const WordPieceEncoding& r : results) {
        EXPECT_EQ(r.input_ids, expected.input_ids);
        EXPECT_EQ(r.word_ids, expected.word_ids);
    }
    EXPECT_GT(shared.cache_size(), 7000u);
    EXPECT_LE(shared.cache_size(), detail::SubwordWordCache::kSlotCount);
}

}  // namespace
}  // namespace quelbin
