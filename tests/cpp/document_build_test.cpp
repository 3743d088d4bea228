// Building a document storage from input records: rows, offsets, interning,
// sentence text, spacing from the text, and every refusal.
#include <gtest/gtest.h>

#include <quelbin/document_storage.hpp>

#include <functional>

#include "document_test_support.hpp"

namespace {

using namespace quelbin;
using quelbin::testing::check_invariants;
using quelbin::testing::snapshot;

WordInput word(int id, std::string text) {
    WordInput w;
    w.id = id;
    w.text = std::move(text);
    return w;
}

TokenInput token(int id, std::string text, std::optional<std::uint32_t> start = std::nullopt,
                 std::optional<std::uint32_t> end = std::nullopt) {
    TokenInput t;
    t.id_start = t.id_end = id;
    t.text = text;
    t.start_char = start;
    t.end_char = end;
    t.words.push_back(word(id, std::move(text)));
    return t;
}

SentenceInput sentence(std::vector<TokenInput> tokens) {
    SentenceInput s;
    s.tokens = std::move(tokens);
    return s;
}

std::string str(const DocumentStorage& d, std::uint32_t id) { return d.pool.get(id); }

TEST(DocumentBuild, FreshAndEmptyStorages) {
    DocumentStorage fresh("some text");
    EXPECT_EQ(fresh.sentence_count(), 0u);
    EXPECT_EQ(fresh.sentence_token_offsets, std::vector<std::uint32_t>{0});
    EXPECT_EQ(fresh.lang, kAbsentStringId);
    EXPECT_EQ(fresh.pool.size(), 1u);
    fresh.build({});
    EXPECT_EQ(fresh.sentence_word_offsets, std::vector<std::uint32_t>{0});
    EXPECT_EQ(fresh.sentence_entity_offsets, std::vector<std::uint32_t>{0});
    EXPECT_EQ(fresh.span_count(), 0u);
    EXPECT_EQ(fresh.regular_word_count, 0u);
    EXPECT_EQ(fresh.input_word_count, 0u);
    EXPECT_EQ(check_invariants(fresh), "");
    try {
        DocumentStorage bad("ab\xC3");
        ADD_FAILURE() << "invalid text accepted";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "invalid UTF-8 sequence at byte offset 2");
    }
}

TEST(DocumentBuild, RowsColumnsAndInterningOrder) {
    DocumentStorage d("");
    TokenInput mwt;
    mwt.id_start = 2;
    mwt.id_end = 3;
    mwt.text = "du";
    mwt.misc = "MWT=Yes";
    mwt.ner = "S-LOC";
    mwt.multi_ner = {"S-LOC", "O"};
    mwt.manual_expansion = true;
    mwt.spaces_before = "";
    mwt.spaces_after = "";
    WordInput de = word(2, "de");
    de.lemma = "de";
    de.upos = "ADP";
    de.head = 0;
    de.deprel = "case";
    de.morphemes = {"d", "e"};
    de.manual_expansion = false;
    WordInput le = word(3, "le");
    le.feats = "";  // an empty annotation is present, not absent
    mwt.words = {de, le};
    SentenceInput s0 = sentence({token(1, "Il"), mwt});
    s0.sent_id = "s-a";
    s0.speaker = "A";
    s0.sentiment = 2;
    s0.comments = {"# x", "# y"};
    SentenceInput s1 = sentence({token(1, "Oui")});
    d.build({s0, s1});
    ASSERT_EQ(check_invariants(d), "");

    EXPECT_EQ(d.sentence_token_offsets, (std::vector<std::uint32_t>{0, 2, 3}));
    EXPECT_EQ(d.sentence_word_offsets, (std::vector<std::uint32_t>{0, 3, 4}));
    EXPECT_EQ(d.token_word_begin, (std::vector<std::uint32_t>{0, 1, 3}));
    EXPECT_EQ(d.token_word_end, (std::vector<std::uint32_t>{1, 3, 4}));
    EXPECT_EQ(d.token_id_start[1], 2);
    EXPECT_EQ(d.token_id_end[1], 3);
    EXPECT_EQ(d.word_token, (std::vector<std::uint32_t>{0, 1, 1, 2}));
    EXPECT_EQ(d.word_sentence, (std::vector<std::uint32_t>{0, 0, 0, 1}));
    EXPECT_EQ(d.word_empty_index, std::vector<std::int32_t>(4, kAbsentInt32));
    EXPECT_EQ(d.regular_word_count, 4u);
    EXPECT_EQ(d.input_word_count, 4u);

    // Pool ids follow the order of first use.
    const std::vector<std::string> expected_pool = {
        "", "Il", " ", "du", "MWT=Yes", "S-LOC", "O", "de", "ADP", "case", "d", "e", "le",
        "Il du", "s-a", "A", "# x", "# y", "Oui", "Oui ", "1", "LOC"};
    ASSERT_EQ(d.pool.size(), expected_pool.size());
    for (std::size_t i = 0; i < expected_pool.size(); ++i) EXPECT_EQ(str(d, i), expected_pool[i]) << i;

    EXPECT_EQ(d.token_multi_ner[1], (std::vector<std::uint32_t>{5, 6}));
    EXPECT_EQ(d.token_manual_expansion, (std::vector<std::int8_t>{-1, 1, -1}));
    EXPECT_EQ(d.word_manual_expansion[1], 0);
    EXPECT_EQ(d.word_head, (std::vector<std::int32_t>{kAbsentInt32, 0, kAbsentInt32, kAbsentInt32}));
    EXPECT_EQ(d.word_feats[2], 0u);
    EXPECT_EQ(d.word_feats[1], kAbsentStringId);
    EXPECT_EQ(d.word_morphemes[1], (std::vector<std::uint32_t>{10, 11}));
    EXPECT_EQ(d.sentence_sent_id[1], 20u);  // "1": the sentence index
    EXPECT_EQ(d.sentence_speaker[1], kAbsentStringId);
    EXPECT_EQ(d.sentence_doc_id[0], kAbsentStringId);
    EXPECT_EQ(d.sentence_sentiment, (std::vector<std::int32_t>{2, kAbsentInt32}));
    EXPECT_EQ(d.sentence_comments[0], (std::vector<std::uint32_t>{16, 17}));
    EXPECT_EQ(d.sentence_constituency[0], nullptr);
    // The S-LOC tag of the multi-word token makes one span over its two words.
    ASSERT_EQ(d.span_count(), 1u);
    EXPECT_EQ(d.span_word_begin[0], 1u);
    EXPECT_EQ(d.span_word_end[0], 3u);
    EXPECT_EQ(str(d, d.span_text[0]), "du");
}

TEST(DocumentBuild, WordOffsetsBorrowedFromOneWordTokens) {
    DocumentStorage d("xx du yy");
    TokenInput mwt = token(3, "du", 3, 5);
    mwt.id_end = 4;
    mwt.words = {word(3, "de"), word(4, "le")};
    TokenInput own = token(1, "xx", 0, 2);
    own.words[0].start_char = 1;
    TokenInput bare = token(5, "yy");
    d.build({sentence({own, mwt, bare})});
    EXPECT_EQ(d.word_start_char, (std::vector<std::uint32_t>{1, kAbsentCharOffset, kAbsentCharOffset, kAbsentCharOffset}));
    EXPECT_EQ(d.word_end_char, (std::vector<std::uint32_t>{2, kAbsentCharOffset, kAbsentCharOffset, kAbsentCharOffset}));
    EXPECT_EQ(d.token_start_char[2], kAbsentCharOffset);
}

TEST(DocumentBuild, SentenceText) {
    struct Case {
        const char* name;
        std::string text;
        SentenceInput input;
        std::optional<std::string> expected;
    };
    TokenInput hi = token(1, "Hi");
    TokenInput there = token(2, "there");
    there.spaces_after = "";
    TokenInput there_space = there;
    there_space.spaces_after = " ";
    TokenInput hi_glued = hi;
    hi_glued.spaces_after = "";
    TokenInput there_before = there;
    there_before.spaces_before = "\t";
    SentenceInput given = sentence({token(1, "a", 0, 1)});
    given.text = "given text";
    const std::vector<Case> cases = {
        {"slice of the text", "hello world", sentence({token(1, "hello", 0, 5)}), "hello"},
        {"slice over two tokens", "hello world!", sentence({token(1, "hello", 0, 5), token(2, "world", 6, 11)}),
         "hello world"},
        {"given text wins", "abc", given, "given text"},
        {"no tokens", "abc", SentenceInput{}, std::nullopt},
        {"joined by spaces_after", "", sentence({hi, there}), "Hi there"},
        {"joined, trailing space kept", "", sentence({hi, there_space}), "Hi there "},
        {"spaces_before when spaces_after is empty", "", sentence({hi_glued, there_before}), "Hi\tthere"},
        {"glued tokens", "", sentence({hi_glued, there}), "Hithere"},
        {"single token with its spacing", "", sentence({token(1, "Yes")}), "Yes "},
        {"offsets beyond the text fall back to the join", "Hi", sentence({token(1, "Hi", 0, 9)}), "Hi "},
        {"start after end falls back to the join", "Hi you", sentence({token(1, "Hi", 4, 2)}), "Hi "},
        {"missing end offset falls back", "Hi there", sentence({token(1, "Hi", 0, 2), token(2, "there", 3)}),
         "Hi there "},
    };
    for (const Case& c : cases) {
        DocumentStorage d(c.text);
        d.build({c.input});
        ASSERT_EQ(check_invariants(d), "") << c.name;
        EXPECT_EQ(d.pool.optional(d.sentence_text[0]), c.expected) << c.name;
    }
}

TEST(DocumentBuild, SpacingFromTheText) {
    struct Case {
        const char* name;
        std::string text;
        std::vector<SentenceInput> input;
        std::vector<std::string> before, after;
    };
    TokenInput glued_in = token(1, "a");
    glued_in.spaces_before = "<";
    glued_in.spaces_after = ">";
    TokenInput bare_b = token(2, "b");
    bare_b.spaces_after = "|";
    const std::vector<Case> cases = {
        {"leading, inner and trailing space", "  hello world ",
         {sentence({token(1, "hello", 2, 7), token(2, "world", 8, 13)})},
         {"  ", ""}, {" ", " "}},
        {"across sentences", "A b.\n\nC d",
         {sentence({token(1, "A", 0, 1), token(2, "b.", 2, 4)}), sentence({token(1, "C", 6, 7), token(2, "d", 8, 9)})},
         {"", "", "", ""}, {" ", "\n\n", " ", ""}},
        {"non-ASCII text counted in code points", "\xC3\xA9t\xC3\xA9  \xE2\x82\xAC!",
         {sentence({token(1, "\xC3\xA9t\xC3\xA9", 0, 3), token(2, "\xE2\x82\xAC", 5, 6)})},
         {"", ""}, {"  ", "!"}},
        {"empty text keeps the input spacing", "", {sentence({glued_in, bare_b})}, {"<", ""}, {">", "|"}},
        {"tokens without offsets keep their spacing", "a b", {sentence({glued_in, bare_b})}, {"<", ""}, {">", "|"}},
        // The successor has no start: the spacing stays as given instead of
        // taking the rest of the document.
        {"successor without a start offset", "a b c",
         {sentence({token(1, "a", 0, 1), bare_b, token(3, "c", 4, 5)})},
         {"", "", ""}, {" ", "|", ""}},
        {"overlapping successor keeps the input", "abc",
         {sentence({token(1, "ab", 0, 2), token(2, "bc", 1, 3)})},
         {"", ""}, {" ", ""}},
        {"successor start beyond the text keeps the input", "ab",
         {sentence({token(1, "a", 0, 1), token(2, "b", 5, 6)})},
         {"", ""}, {" ", " "}},
        {"first token without offsets keeps spaces_before", " a b",
         {sentence({glued_in, token(2, "b", 3, 4)})},
         {"<", ""}, {">", ""}},
    };
    for (const Case& c : cases) {
        DocumentStorage d(c.text);
        d.build(c.input);
        ASSERT_EQ(check_invariants(d), "") << c.name;
        ASSERT_EQ(d.token_count(), c.before.size()) << c.name;
        for (std::size_t i = 0; i < c.before.size(); ++i) {
            EXPECT_EQ(str(d, d.token_spaces_before[i]), c.before[i]) << c.name << " token " << i;
            EXPECT_EQ(str(d, d.token_spaces_after[i]), c.after[i]) << c.name << " token " << i;
        }
    }
}

TEST(DocumentBuild, RefusedRecordsLeaveTheStorageAsItWas) {
    struct Case {
        const char* name;
        std::function<void(std::vector<SentenceInput>&)> spoil;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"token id 0", [](auto& s) { s[1].tokens[0].id_start = 0; s[1].tokens[0].text = ""; },
         "a token has an invalid ID range"},
        {"token id_end below id_start", [](auto& s) { s[1].tokens[0].id_end = 0; }, "a token has an invalid ID range"},
        {"empty token text", [](auto& s) { s[1].tokens[0].text = ""; }, "a token must have non-empty text"},
        {"word id 0", [](auto& s) { s[1].tokens[0].words[0].id = 0; },
         "a word must have a positive ID and non-empty text"},
        {"word with an empty index", [](auto& s) { s[1].tokens[0].words[0].empty_index = 1; },
         "a word must have a positive ID and non-empty text"},
        {"empty word text", [](auto& s) { s[1].tokens[0].words[0].text = ""; },
         "a word must have a positive ID and non-empty text"},
        {"bad empty word", [](auto& s) { s[1].empty_words.push_back(word(-1, "x")); },
         "an empty word requires a nonnegative ID, positive empty index, and non-empty text; got id=-1, "
         "empty_index=none, text_size=1"},
    };
    for (const Case& c : cases) {
        std::vector<SentenceInput> input = {sentence({token(1, "Good", 0, 4)}),
                                            sentence({token(1, "bad", 5, 8), token(2, "tail", 9, 13)})};
        c.spoil(input);
        DocumentStorage d("Good bad tail");
        d.lang = d.pool.intern("fr");
        const std::string before = snapshot(d);
        try {
            d.build(input);
            ADD_FAILURE() << c.name << ": accepted";
        } catch (const std::invalid_argument& e) {
            EXPECT_EQ(e.what(), c.message) << c.name;
        }
        EXPECT_EQ(snapshot(d), before) << c.name;
        // The storage can still be built after a refusal.
        d.build({sentence({token(1, "Good", 0, 4)})});
        EXPECT_EQ(check_invariants(d), "") << c.name;
        EXPECT_EQ(d.pool.get(d.lang), "fr");
    }
}

TEST(DocumentBuild, FullPoolDuringBuild) {
    DocumentStorage d("a b");
    quelbin::detail::StringPoolTestPeer::set_max_strings(d.pool, 4);
    const std::string before = snapshot(d);
    try {
        d.build({sentence({token(1, "a", 0, 1), token(2, "b", 2, 3)})});
        ADD_FAILURE() << "build went past a full pool";
    } catch (const std::overflow_error& e) {
        EXPECT_STREQ(e.what(), "the document string pool is full");
    }
    EXPECT_EQ(snapshot(d), before);
}

TEST(DocumentBuild, SecondBuildIsRefused) {
    DocumentStorage d("a");
    d.build({sentence({token(1, "a", 0, 1)})});
    const std::string before = snapshot(d);
    try {
        d.build({sentence({token(1, "a", 0, 1)})});
        ADD_FAILURE() << "built twice";
    } catch (const std::logic_error& e) {
        EXPECT_STREQ(e.what(), "a document storage can only be built once");
    }
    EXPECT_EQ(snapshot(d), before);
}

TEST(DocumentBuild, UncheckedRelationsAreStoredAsGiven) {
    DocumentStorage d("");
    TokenInput t = token(5, "x");
    t.id_end = 7;  // one word for a range of three ids
    t.words[0].id = 9;
    t.words[0].head = 42;
    d.build({sentence({t, token(2, "y")})});
    EXPECT_EQ(check_invariants(d), "");
    EXPECT_EQ(d.word_id, (std::vector<std::int32_t>{9, 2}));
    EXPECT_EQ(d.word_head[0], 42);
    EXPECT_EQ(d.sentence_sent_id[0], d.pool.intern("0"));
}

}  // namespace
