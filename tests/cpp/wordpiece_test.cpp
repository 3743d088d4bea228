// The shared encode framing and word cache, and the WordPiece tokenizer.
#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "encoders/subword_cache.hpp"
#include "encoders/wordpiece_tables.hpp"

namespace quelbin {
namespace {

using Ids = std::vector<std::int64_t>;

// One id per byte (the byte's value), no id for "skip"; counts its calls.
struct ByteRoutine {
    int* calls;
    Ids operator()(std::string_view word) const {
        ++*calls;
        if (word == "skip") return {};
        if (word == "bad") throw std::runtime_error("bad word");
        return Ids(word.begin(), word.end());
    }
};

TEST(SubwordCache, FramingGivesWordIdsAndMask) {
    detail::SubwordWordCache cache;
    int calls = 0;
    const ByteRoutine routine{&calls};
    const struct {
        std::vector<std::string> words;
        bool special;
        Ids ids, word_ids;
    } rows[] = {
        {{}, false, {}, {}},
        {{}, true, {1, 2}, {-1, -1}},
        {{"abc", "skip", "d"}, false, {97, 98, 99, 100}, {0, 0, 0, 2}},
        {{"abc", "skip", "d"}, true, {1, 97, 98, 99, 100, 2}, {-1, 0, 0, 0, 2, -1}},
    };
    for (const auto& row : rows) {
        const WordPieceEncoding e = detail::encode_words(row.words, row.special, 1, 2, cache, routine);
        EXPECT_EQ(e.input_ids, row.ids);
        EXPECT_EQ(e.word_ids, row.word_ids);
        EXPECT_EQ(e.attention_mask, Ids(row.ids.size(), 1));
    }
    // "abc", "skip" and "d" were computed once each; the repeats were hits.
    EXPECT_EQ(calls, 3);
    EXPECT_EQ(cache.size(), 3u);
}

TEST(SubwordCache, KeysAreExactBytesAndCollisionsReplace) {
    detail::SubwordWordCache cache;
    int calls = 0;
    const ByteRoutine routine{&calls};
    EXPECT_EQ(cache.ids("The", routine), Ids({84, 104, 101}));
    EXPECT_EQ(cache.ids("the", routine), Ids({116, 104, 101}));
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(cache.ids("The", routine), Ids({84, 104, 101}));
    EXPECT_EQ(calls, 2);

    // Two words sharing one slot evict each other and are recomputed alike.
    const std::string first = "w0";
    const std::size_t slot = detail::SubwordWordCache::slot_index(first);
    std::string second;
    for (int i = 1; second.empty(); ++i) {
        const std::string candidate = "w" + std::to_string(i);
        if (detail::SubwordWordCache::slot_index(candidate) == slot) second = candidate;
    }
    detail::SubwordWordCache shared;
    calls = 0;
    const Ids first_ids = shared.ids(first, routine);
    EXPECT_EQ(shared.ids(second, routine), Ids(second.begin(), second.end()));
    EXPECT_EQ(shared.size(), 1u);
    EXPECT_EQ(shared.ids(first, routine), first_ids);
    EXPECT_EQ(calls, 3);
    EXPECT_EQ(shared.size(), 1u);
}

TEST(SubwordCache, FailingWordStoresNothing) {
    detail::SubwordWordCache cache;
    int calls = 0;
    const ByteRoutine routine{&calls};
    const std::vector<std::string> words = {"ok", "bad"};
    EXPECT_THROW(detail::encode_words(words, true, 1, 2, cache, routine), std::runtime_error);
    EXPECT_EQ(cache.size(), 1u);
    EXPECT_THROW(cache.ids("bad", routine), std::runtime_error);
    EXPECT_EQ(calls, 3);
    EXPECT_EQ(cache.size(), 1u);
}


// --- WordPiece -------------------------------------------------------------

struct Options {
    bool lowercase = true;
    bool strip_accents = true;
    std::string prefix = "##";
    std::size_t max_chars = 100;
    bool with_dash = true;
};

// Every listed character as a token and as a continuing token, so that the
// decoded ids show where pieces begin ("a ##b" is one piece, "a b" two).
struct CharVocabulary {
    std::vector<std::string> tokens{"[UNK]", "[CLS]", "[SEP]"};
    WordPieceTokenizer tokenizer;

    static std::vector<std::string> build(const std::vector<std::string>& chars, const Options& o) {
        std::vector<std::string> tokens{"[UNK]", "[CLS]", "[SEP]"};
        if (o.with_dash) tokens.push_back("-");
        for (const std::string& c : chars) {
            tokens.push_back(c);
            tokens.push_back(o.prefix + c);
        }
        return tokens;
    }
    explicit CharVocabulary(const std::vector<std::string>& chars, const Options& o = {})
        : tokens(build(chars, o)),
          tokenizer(tokens, o.lowercase, o.strip_accents, "[UNK]", "[CLS]", "[SEP]", o.prefix,
                    o.max_chars) {}

    std::string decode(const std::string& word) const {
        std::string out;
        for (std::int64_t id : tokenizer.encode({word}, false).input_ids) {
            out += (out.empty() ? "" : " ") + tokens.at(static_cast<std::size_t>(id));
        }
        return out;
    }
};

std::vector<std::string> ascii_letters_and_marks() {
    std::vector<std::string> chars;
    for (char c = 'a'; c <= 'z'; ++c) chars.emplace_back(1, c);
    for (const char* c : {"A", "0", "5", "$", "+", "<", "=", ">", "^", "`", "|", "~", ",", "'", "!",
                          "\xE4\xB8\xAD", "\xE6\x96\x87", "\xE1\x84\x92", "\xE1\x85\xA1",
                          "\xE1\x86\xAB", "\xF0\xAE\xAF\xB0", "\xC3\xA9", "\xCE\xB1"}) {
        chars.emplace_back(c);
    }
    return chars;
}

TEST(WordPiece, ReferenceVocabularyExample) {
    const WordPieceTokenizer t({"[UNK]", "[CLS]", "[SEP]", "un", "##aff", "##able", "-"}, true, true,
                               "[UNK]", "[CLS]", "[SEP]", "##", 100);
    EXPECT_EQ(t.vocabulary_size(), 7u);
    EXPECT_TRUE(WordPieceTokenizer::highway_enabled());
    const WordPieceEncoding e = t.encode({"Unaffable"}, true);
    EXPECT_EQ(e.input_ids, Ids({1, 3, 4, 5, 2}));
    EXPECT_EQ(e.word_ids, Ids({-1, 0, 0, 0, -1}));
    EXPECT_EQ(e.attention_mask, Ids(5, 1));
    EXPECT_EQ(t.encode({"unaffable", "Unaffable"}, false).input_ids, Ids({3, 4, 5, 3, 4, 5}));
    EXPECT_EQ(t.cache_size(), 2u);  // "Unaffable" and "unaffable" are separate keys
}

// Cleaning, splitting, lower-casing and accent stripping, read back as tokens.
TEST(WordPiece, CleaningAndSplitting) {
    const CharVocabulary v(ascii_letters_and_marks());
    const struct {
        const char* word;
        const char* tokens;
    } rows[] = {
        {"don't", "d ##o ##n ' t"},
        {"$5", "$ ##5"},
        {"a+b", "a ##+ ##b"},
        {"<=>^`|~", "< ##= ##> ##^ ##` ##| ##~"},
        {"a,b", "a , b"},
        {"a!!", "a ! !"},
        {"\xE4\xB8\xAD\xE6\x96\x87", "\xE4\xB8\xAD \xE6\x96\x87"},      // two CJK ideographs
        {"a\xE4\xB8\xAD" "b", "a \xE4\xB8\xAD b"},
        {"a\xC2\xA0" "b", "a b"},                                      // U+00A0
        {"a\xE3\x80\x80" "b", "a b"},                                  // U+3000
        {"a b\tc\nd\re", "a b c d e"},
        {"a\xE2\x80\x8B" "b", "a ##b"},                                // U+200B
        {"a\xC2\xAD" "b", "a ##b"},                                    // U+00AD
        {"a\xEF\xBB\xBF" "b", "a ##b"},                                // U+FEFF
        {"a\x0B" "b\x0C" "c", "a ##b ##c"},
        {"a\xEF\xBF\xBD" "b", "a ##b"},                                // U+FFFD
        {"a\xCD\xB8" "b", "a ##b"},                                    // U+0378, unassigned
        {"a\xC2\x85" "b", "a ##b"},                                    // U+0085 is a control first
        {"a\xF0\xAE\xAF\xB0" "b", "a ##\xF0\xAE\xAF\xB0 ##b"},         // U+2EBF0, a letter since 15.1
        {"", "-"},
        {"   ", "-"},
        {"\x01\x02", "-"},
        {"ABC", "a ##b ##c"},
        {"\xC3\x89t\xC3\xA9", "e ##t ##e"},                            // Été
        {"e\xCC\x81", "e"},                                            // e + U+0301
        {"\xCC\x81", "-"},                                             // a lone combining accent
        {"\xC4\xB0", "i"},                                             // U+0130: i + U+0307, stripped
        {"\xED\x95\x9C", "\xE1\x84\x92 ##\xE1\x85\xA1 ##\xE1\x86\xAB"}, // a Hangul syllable
        {"\xCE\x86", "\xCE\xB1"},                                      // U+0386 to alpha
        {"a#b", "a [UNK] b"},
        {"ab\xD0\xB6,ab", "[UNK] , a ##b"},  // U+0436 is not in the vocabulary
        {"a%", "a [UNK]"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.word);
        EXPECT_EQ(v.decode(row.word), row.tokens);
    }
    EXPECT_EQ(v.decode(std::string("a\0b", 3)), "a ##b");  // U+0000 is dropped
}

TEST(WordPiece, SettingsChangeMatching) {
    const std::vector<std::string> chars = ascii_letters_and_marks();
    Options o;
    o.max_chars = 3;
    const CharVocabulary short_pieces(chars, o);
    EXPECT_EQ(short_pieces.decode("abc"), "a ##b ##c");
    EXPECT_EQ(short_pieces.decode("abcd,ab"), "[UNK] , a ##b");
    EXPECT_EQ(short_pieces.decode("\xC3\xA9\xC3\xA9\xC3\xA9"), "e ##e ##e");  // code points, not bytes

    o = {};
    o.lowercase = false;
    o.strip_accents = false;
    const CharVocabulary plain(chars, o);
    EXPECT_EQ(plain.decode("Ab"), "A ##b");
    EXPECT_EQ(plain.decode("B"), "[UNK]");
    EXPECT_EQ(plain.decode("\xC3\xA9"), "\xC3\xA9");
    EXPECT_EQ(plain.decode("e\xCC\x81"), "[UNK]");  // the accent stays and matches nothing

    const WordPieceTokenizer no_prefix({"[UNK]", "[CLS]", "[SEP]", "ab", "c"}, true, true, "[UNK]",
                                       "[CLS]", "[SEP]", "", 100);
    EXPECT_EQ(no_prefix.encode({"abc", "cab"}, false).input_ids, Ids({3, 4, 4, 3}));

    o = {};
    o.with_dash = false;
    const CharVocabulary no_dash(chars, o);
    EXPECT_EQ(no_dash.decode(" \x01"), "[UNK]");
    EXPECT_EQ(no_dash.decode("-"), "[UNK]");
}

// Malformed UTF-8: WordPieceError from the tokenizer's own decoding, or the
// lower-casing's std::invalid_argument when a non-ASCII word is lower-cased
// first; the cache keeps nothing of the failing word.
TEST(WordPiece, InvalidUtf8) {
    const std::vector<std::string> chars = ascii_letters_and_marks();
    Options o;
    o.lowercase = false;
    const CharVocabulary strict(chars, o);
    const CharVocabulary lowering(chars);
    const struct {
        std::string word;
        std::size_t offset;
    } rows[] = {
        {"ab\xC3", 2},             // truncated at the end
        {"\x80", 0},               // a continuation byte as a lead
        {"a\xC0\xAF", 1},          // overlong
        {"\xED\xA0\x80", 0},       // surrogate
        {"\xF4\x90\x80\x80", 0},   // above U+10FFFF
        {"ab\xE2\x28\xA1", 3},     // bad continuation byte, at its own offset
        {"\xF8\x88\x80\x80\x80", 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.word);
        const std::string message = "invalid UTF-8 sequence at byte offset " + std::to_string(row.offset);
        try {
            strict.tokenizer.encode({"ok", row.word}, true);
            ADD_FAILURE() << "no error";
        } catch (const WordPieceError& e) {
            EXPECT_EQ(e.what(), message);
        }
        try {
            lowering.tokenizer.encode({row.word}, true);
            ADD_FAILURE() << "no error";
        } catch (const std::invalid_argument& e) {
            EXPECT_EQ(e.what(), message);
        }
    }
    EXPECT_EQ(strict.tokenizer.cache_size(), 1u);  // "ok" only
    EXPECT_EQ(lowering.tokenizer.cache_size(), 0u);
}

TEST(WordPiece, ConstructorRefusals) {
    using Vocab = std::vector<std::string>;
    const struct {
        Vocab vocabulary;
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
            WordPieceTokenizer(row.vocabulary, true, true, "[UNK]", "[CLS]", "[SEP]", "##", row.max_chars);
            ADD_FAILURE() << "accepted: " << row.message;
        } catch (const WordPieceError& e) {
            EXPECT_STREQ(e.what(), row.message);
        }
    }
    // Special ids are positions in the list, wherever the tokens stand.
    WordPieceTokenizer t({"x", "[SEP]", "[UNK]", "[CLS]"}, true, true, "[UNK]", "[CLS]", "[SEP]", "##", 1);
    EXPECT_EQ(t.encode({"x", "y"}, true).input_ids, Ids({3, 0, 2, 1}));
    // A moved tokenizer keeps its vocabulary and cache.
    WordPieceTokenizer moved(std::move(t));
    EXPECT_EQ(moved.cache_size(), 2u);
    EXPECT_EQ(moved.vocabulary_size(), 4u);
}

// The table sizes the rules give, and the ASCII punctuation.
TEST(WordPiece, CharacterTables) {
    namespace wd = detail::wordpiece_data;
    EXPECT_EQ(wd::kControlRangesSize, 712u);
    EXPECT_EQ(wd::kPunctuationRangesSize, 191u);
    ASSERT_EQ(wd::kAccentMapSize, 15200u);
    std::size_t by_length[4] = {};
    for (std::size_t i = 0; i < wd::kAccentMapSize; ++i) {
        ++by_length[wd::kAccentMap[i].length];
        if (i > 0) EXPECT_LT(wd::kAccentMap[i - 1].code_point, wd::kAccentMap[i].code_point);
    }
    EXPECT_EQ(by_length[0], 1985u);
    EXPECT_EQ(by_length[1], 2000u);
    EXPECT_EQ(by_length[2], 433u);
    EXPECT_EQ(by_length[3], 10782u);
    std::string ascii_punctuation;
    for (std::size_t i = 0; i < wd::kPunctuationRangesSize; ++i) {
        for (std::uint32_t c = wd::kPunctuationRanges[i].first;
             c <= wd::kPunctuationRanges[i].last && c < 0x80; ++c) {
            ascii_punctuation += static_cast<char>(c);
        }
    }
    EXPECT_EQ(ascii_punctuation, "!\"#%&'()*,-./:;?@[\\]_{}");
    const auto& last = wd::kControlRanges[wd::kControlRangesSize - 1];
    EXPECT_EQ(last.first, 0xE01F0u);
    EXPECT_EQ(last.last, 0x10FFFFu);
}

// Eight threads over one tokenizer, with far more distinct words than slots so
// that hits, misses and evictions race, give the ids of a single thread.
TEST(WordPiece, ThreadsAgreeWithOneThread) {
    std::vector<std::string> vocab = {"[UNK]", "[CLS]", "[SEP]", "-"};
    for (int i = 0; i < 200; ++i) {
        vocab.push_back("w" + std::to_string(i));
        vocab.push_back("##" + std::to_string(i));
    }
    std::vector<std::string> words;
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
    EXPECT_LE(shared.cache_size(), detail::SubwordWordCache::kSlotCount);
    EXPECT_GT(shared.cache_size(), 7000u);
}
}  // namespace
}  // namespace quelbin
