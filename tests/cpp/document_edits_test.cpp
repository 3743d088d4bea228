// Edits of a built storage: entity spans from NER tags, empty words, removal
// of generated empty words, wholesale replacement and coreference chains.
#include <gtest/gtest.h>

#include <quelbin/document_storage.hpp>

#include <functional>

#include "document_test_support.hpp"

namespace {

using namespace quelbin;
using quelbin::testing::failure_of;
using quelbin::testing::check_invariants;
using quelbin::testing::snapshot;

WordInput word(int id, std::string text, std::optional<int> empty_index = std::nullopt) {
    WordInput w;
    w.id = id;
    w.empty_index = empty_index;
    w.text = std::move(text);
    return w;
}

TokenInput token(int id, std::string text, std::optional<std::string> ner = std::nullopt) {
    TokenInput t;
    t.id_start = t.id_end = id;
    t.text = text;
    t.ner = std::move(ner);
    t.words.push_back(word(id, std::move(text)));
    return t;
}

// One sentence per list of tags; token k of a sentence has the text "tK".
std::vector<SentenceInput> tagged(const std::vector<std::vector<std::optional<std::string>>>& sentences) {
    std::vector<SentenceInput> out;
    for (const auto& tags : sentences) {
        SentenceInput s;
        for (std::size_t k = 0; k < tags.size(); ++k) {
            s.tokens.push_back(token(static_cast<int>(k + 1), "t" + std::to_string(k), tags[k]));
        }
        out.push_back(std::move(s));
    }
    return out;
}

std::string spans_of(const DocumentStorage& d) {
    std::string out;
    for (std::size_t p = 0; p < d.span_count(); ++p) {
        out += d.pool.get(d.span_type[p]) + "[" + std::to_string(d.span_token_begin[p]) + "," +
               std::to_string(d.span_token_end[p]) + ")";
    }
    return out;
}

TEST(Entities, SpansFromTags) {
    using Tags = std::vector<std::vector<std::optional<std::string>>>;
    const std::optional<std::string> none;
    struct Case {
        const char* name;
        Tags tags;
        std::string spans;
    };
    const std::vector<Case> cases = {
        {"B I E", {{"B-PER", "I-PER", "E-PER"}}, "PER[0,3)"},
        {"B I O", {{"B-PER", "I-PER", "O"}}, "PER[0,2)"},
        {"B B", {{"B-PER", "B-PER"}}, "PER[0,1)PER[1,2)"},
        {"B I-other", {{"B-PER", "I-LOC"}}, "PER[0,1)LOC[1,2)"},
        {"B L then more", {{"B-ORG", "L-ORG", "I-ORG"}}, "ORG[0,2)ORG[2,3)"},
        {"B I I E", {{"B-X", "I-X", "I-X", "E-X", "E-X"}}, "X[0,4)X[4,5)"},
        {"B S ends the span", {{"B-PER", "S-PER"}}, "PER[0,1)PER[1,2)"},
        {"B absent", {{"B-PER", none, "I-PER"}}, "PER[0,1)PER[2,3)"},
        {"B unusable", {{"B-PER", "I-"}}, "PER[0,1)"},
        {"lone I E L", {{"I-ORG", "E-ORG", "L-ORG"}}, "ORG[0,1)ORG[1,2)ORG[2,3)"},
        {"S and U", {{"S-ORG", "U-ORG"}}, "ORG[0,1)ORG[1,2)"},
        {"no spans", {{"O", none, "B-", "BXPER", "", "O-PER"}}, ""},
        {"lower-case prefixes are other prefixes", {{"b-per", "i-per"}}, "per[0,1)per[1,2)"},
        {"longer type is a different type", {{"B-PER", "I-PERS"}}, "PER[0,1)PERS[1,2)"},
        {"never across sentences", {{"O", "B-LOC"}, {"I-LOC", "E-LOC"}}, "LOC[1,2)LOC[2,3)LOC[3,4)"},
        {"no sentences", {}, ""},
    };
    for (const Case& c : cases) {
        DocumentStorage d("");
        d.build(tagged(c.tags));
        ASSERT_EQ(check_invariants(d), "") << c.name;
        EXPECT_EQ(spans_of(d), c.spans) << c.name;
    }
    DocumentStorage split("");
    split.build(tagged({{"O", "B-LOC"}, {"I-LOC", "E-LOC"}}));
    EXPECT_EQ(split.sentence_entity_offsets, (std::vector<std::uint32_t>{0, 1, 3}));
    DocumentStorage empty("");
    empty.build({});
    EXPECT_EQ(empty.sentence_entity_offsets, std::vector<std::uint32_t>{0});
}

TEST(Entities, SpanTextOffsetsAndWords) {
    // With offsets: the text slice. Without: token texts joined by spacing,
    // with no trailing spacing.
    DocumentStorage with("New  York is big");
    std::vector<SentenceInput> input = tagged({{"B-LOC", "E-LOC", "O", "S-ADJ"}});
    const std::vector<std::pair<std::uint32_t, std::uint32_t>> offsets = {{0, 3}, {5, 9}, {10, 12}, {13, 16}};
    for (std::size_t k = 0; k < 4; ++k) {
        input[0].tokens[k].start_char = offsets[k].first;
        input[0].tokens[k].end_char = offsets[k].second;
    }
    with.build(input);
    ASSERT_EQ(with.span_count(), 2u);
    EXPECT_EQ(with.pool.get(with.span_text[0]), "New  York");
    EXPECT_EQ(with.span_start_char[0], 0u);
    EXPECT_EQ(with.span_end_char[0], 9u);
    EXPECT_EQ(with.pool.get(with.span_text[1]), "big");

    DocumentStorage without("");
    std::vector<SentenceInput> bare = tagged({{"B-LOC", "I-LOC", "E-LOC"}});
    bare[0].tokens[0].spaces_after = "";
    bare[0].tokens[1].spaces_before = "_";  // used: the earlier token has no spaces_after
    bare[0].tokens[1].spaces_after = "  ";
    bare[0].tokens[2].spaces_before = "-";  // not used: the earlier token's spaces_after wins
    TokenInput mwt = bare[0].tokens[2];
    mwt.id_end = 4;
    mwt.words = {word(3, "a"), word(4, "b")};
    bare[0].tokens[2] = mwt;
    without.build(bare);
    ASSERT_EQ(without.span_count(), 1u);
    EXPECT_EQ(without.pool.get(without.span_text[0]), "t0_t1  t2");
    EXPECT_EQ(without.span_start_char[0], kAbsentCharOffset);
    EXPECT_EQ(without.span_end_char[0], kAbsentCharOffset);
    EXPECT_EQ(without.span_word_begin[0], 0u);
    EXPECT_EQ(without.span_word_end[0], 4u);
}

TEST(Entities, RebuildAfterRetagging) {
    DocumentStorage d("");
    d.build(tagged({{"O", "O"}, {"S-PER"}}));
    EXPECT_EQ(spans_of(d), "PER[2,3)");
    d.token_ner[0] = d.pool.intern("B-ORG");
    d.token_ner[1] = d.pool.intern("E-ORG");
    d.token_ner[2] = kAbsentStringId;
    d.rebuild_entities();
    EXPECT_EQ(spans_of(d), "ORG[0,2)");
    EXPECT_EQ(d.sentence_entity_offsets, (std::vector<std::uint32_t>{0, 1, 1}));
    EXPECT_EQ(check_invariants(d), "");
    // A broken id leaves the old spans in place.
    d.token_ner[2] = 999999;
    const std::string before = snapshot(d);
    try {
        d.rebuild_entities();
        ADD_FAILURE() << "broken id accepted";
    } catch (const std::out_of_range& e) {
        EXPECT_STREQ(e.what(), "invalid string pool identifier");
    }
    EXPECT_EQ(snapshot(d), before);
}


std::vector<SentenceInput> two_sentences() {
    return tagged({{std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt}, {std::nullopt, std::nullopt}});
}

TEST(EmptyWords, RefusalsLeaveTheStorageUnchanged) {
    DocumentStorage d("");
    d.build(two_sentences());
    d.add_empty_word(0, word(1, "pro", 1));
    struct Case {
        const char* name;
        std::uint32_t sentence;
        WordInput word;
        std::string message;
    };
    const std::string prefix =
        "an empty word requires a nonnegative ID, positive empty index, and non-empty text; got id=";
    const std::vector<Case> cases = {
        {"sentence out of range", 2, word(1, "x", 1), "an empty word has an invalid sentence"},
        {"sentence checked first", 7, word(-1, "", std::nullopt), "an empty word has an invalid sentence"},
        {"negative id", 0, word(-1, "abc", 1), prefix + "-1, empty_index=1, text_size=3"},
        {"no empty index", 0, word(2, "abc"), prefix + "2, empty_index=none, text_size=3"},
        {"empty index 0", 0, word(2, "abc", 0), prefix + "2, empty_index=0, text_size=3"},
        {"empty text", 1, word(0, "", 2), prefix + "0, empty_index=2, text_size=0"},
        {"multi-byte text size", 0, word(-5, "\xC3\xA9", -2), prefix + "-5, empty_index=-2, text_size=2"},
        {"duplicate in a sentence", 0, word(1, "other", 1), "an empty word ID is duplicated within a sentence"},
    };
    for (const Case& c : cases) {
        const std::string before = snapshot(d);
        try {
            d.add_empty_word(c.sentence, c.word);
            ADD_FAILURE() << c.name << ": accepted";
        } catch (const std::exception& e) {
            EXPECT_EQ(e.what(), c.message) << c.name;
            const bool range = dynamic_cast<const std::out_of_range*>(&e) != nullptr;
            const bool argument = dynamic_cast<const std::invalid_argument*>(&e) != nullptr;
            EXPECT_TRUE(c.message == "an empty word has an invalid sentence" ? range : argument) << c.name;
        }
        EXPECT_EQ(snapshot(d), before) << c.name;
    }
}

TEST(EmptyWords, RowsAndGeneratedRemoval) {
    std::vector<SentenceInput> input = two_sentences();
    WordInput given = word(3, "given", 1);
    given.upos = "PRON";
    given.head = 2;
    input[0].empty_words = {given, word(0, "first", 1)};
    DocumentStorage d("");
    d.build(input);
    ASSERT_EQ(check_invariants(d), "");
    EXPECT_EQ(d.regular_word_count, 7u);
    EXPECT_EQ(d.input_word_count, 9u);
    EXPECT_EQ(d.sentence_empty_words[0], (std::vector<std::uint32_t>{7, 8}));  // order of adding
    EXPECT_EQ(d.word_token[7], kNoRow);
    EXPECT_EQ(d.word_empty_index[7], 1);
    EXPECT_EQ(d.word_id[8], 0);
    EXPECT_EQ(d.word_head[7], 2);
    EXPECT_EQ(d.pool.get(d.word_upos[7]), "PRON");

    const std::string built = snapshot(d);
    d.reset_generated_empty_words();
    EXPECT_EQ(snapshot(d), built);

    // The same (id, empty index) in another sentence is allowed.
    EXPECT_EQ(d.add_empty_word(1, word(3, "gen-a", 1)), 9u);
    EXPECT_EQ(d.add_empty_word(0, word(2, "gen-b", 1)), 10u);
    EXPECT_EQ(d.add_empty_word(0, word(2, "gen-c", 2)), 11u);
    EXPECT_EQ(d.sentence_empty_words[0], (std::vector<std::uint32_t>{7, 8, 10, 11}));
    EXPECT_EQ(d.sentence_empty_words[1], std::vector<std::uint32_t>{9});
    EXPECT_EQ(check_invariants(d), "");
    d.set_coref({CorefChain(0, {CorefMention(0, {2, 1}, {2, 1}), CorefMention(0, {3, 1}, {3, 1})}, "x", 0)});
    EXPECT_EQ(d.word_coref[10].size(), 1u);
    EXPECT_EQ(d.word_coref[7].size(), 1u);

    d.reset_generated_empty_words();
    EXPECT_EQ(d.word_count(), 9u);
    EXPECT_EQ(d.sentence_empty_words[0], (std::vector<std::uint32_t>{7, 8}));
    EXPECT_TRUE(d.sentence_empty_words[1].empty());
    EXPECT_EQ(d.word_coref[7].size(), 1u);  // attachments of input words stay
    EXPECT_EQ(d.coref_chains.size(), 1u);   // chains are left to the caller
    EXPECT_NE(d.pool.intern("gen-a"), 0u);  // strings stay interned
    // A removed (id, empty index) can be added again.
    EXPECT_EQ(d.add_empty_word(0, word(2, "again", 1)), 9u);
}

TEST(Replace, RebuildsEverythingButTextAndLanguage) {
    DocumentStorage d("Anna ran");
    std::vector<SentenceInput> input = tagged({{"S-PER", "O"}});
    input[0].tokens[0].start_char = 0;
    input[0].tokens[0].end_char = 4;
    d.build(input);
    d.lang = d.pool.intern("en");
    d.sentence_constituency[0] = ConstituencyTree("S", {}).node();
    d.add_empty_word(0, word(1, "pro", 1));
    d.set_coref({CorefChain(0, {CorefMention(0, {0, std::nullopt}, {1, std::nullopt})}, "Anna", 0)});

    std::vector<SentenceInput> next = tagged({{"B-PER", "E-PER"}, {"O"}});
    d.replace(next);
    EXPECT_EQ(check_invariants(d), "");
    EXPECT_EQ(d.text.bytes(), "Anna ran");
    EXPECT_EQ(d.pool.optional(d.lang), std::optional<std::string>("en"));
    EXPECT_EQ(d.sentence_count(), 2u);
    EXPECT_TRUE(d.coref_chains.empty());
    EXPECT_EQ(d.sentence_constituency[0], nullptr);
    EXPECT_EQ(d.word_count(), 3u);
    EXPECT_EQ(spans_of(d), "PER[0,2)");
    EXPECT_EQ(d.input_word_count, 3u);
    EXPECT_FALSE(d.pool.optional(d.pool.intern("pro")) == std::nullopt);  // pool is new: "pro" is a new id
    EXPECT_EQ(d.pool.size(), d.pool.intern("pro") + 1u);

    DocumentStorage no_lang("");
    no_lang.build(tagged({{"O"}}));
    no_lang.replace(tagged({{"O"}, {"O"}}));
    EXPECT_EQ(no_lang.lang, kAbsentStringId);

    // A refused replacement changes nothing at all.
    std::vector<SentenceInput> bad = tagged({{"O"}, {"O"}});
    bad[1].tokens[0].words[0].id = 0;
    const std::string before = snapshot(d);
    EXPECT_EQ(failure_of<std::invalid_argument>([&] { d.replace(bad); }),
              "a word must have a positive ID and non-empty text");
    EXPECT_EQ(snapshot(d), before);
}

TEST(Coref, AttachmentsOfRegularAndZeroMentions) {
    DocumentStorage d("");
    std::vector<SentenceInput> input = two_sentences();
    input[1].empty_words = {word(1, "pro", 1)};
    d.build(input);
    const CorefChain first(0,
                           {CorefMention(0, {2, std::nullopt}, {4, std::nullopt}),
                            CorefMention(1, {1, std::nullopt}, {2, std::nullopt}),
                            CorefMention(1, {1, 1}, {1, 1}), CorefMention(0, {0, std::nullopt}, {0, std::nullopt})},
                           "t2 t3", 1);
    const CorefChain second(5, {CorefMention(0, {3, std::nullopt}, {4, std::nullopt}), CorefMention(1, {1, 1}, {1, 1})},
                            "pro", 1);
    d.set_coref({first, second});
    ASSERT_EQ(check_invariants(d), "");
    ASSERT_EQ(d.coref_chains.size(), 2u);
    EXPECT_EQ(d.coref_chains[1]->index(), 5);
    auto flags = [&](std::size_t row) {
        std::string out;
        for (const CorefAttachment& a : d.word_coref[row]) {
            out += std::to_string(a.chain()->index()) + (a.is_start() ? "s" : "-") + (a.is_end() ? "e" : "-") +
                   (a.is_representative() ? "r" : "-") + " ";
        }
        return out;
    };
    EXPECT_EQ(flags(0), "");  // the mention [0, 0) attaches nothing
    EXPECT_EQ(flags(2), "0s-- ");
    EXPECT_EQ(flags(3), "0-e- 5se- ");
    EXPECT_EQ(flags(6), "0ser ");  // sentence 1 word 1 is row 5 + 1
    EXPECT_EQ(flags(7), "0se- 5se- ");  // zero mentions are never representative
    EXPECT_EQ(d.word_coref[3][0].chain(), d.coref_chains[0]);

    d.set_coref({});
    EXPECT_TRUE(d.coref_chains.empty());
    for (const auto& list : d.word_coref) EXPECT_TRUE(list.empty());
}

TEST(Coref, RefusedChainsChangeNothing) {
    DocumentStorage d("");
    std::vector<SentenceInput> input = two_sentences();
    input[0].empty_words = {word(2, "pro", 1)};
    d.build(input);
    const CorefMention good(0, {0, std::nullopt}, {2, std::nullopt});
    d.set_coref({CorefChain(0, {good}, "old", 0)});
    const std::string before = snapshot(d);
    struct Case {
        const char* name;
        CorefMention mention;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"sentence past the end", CorefMention(2, {0, std::nullopt}, {1, std::nullopt}),
         "a coreference mention has an invalid sentence index"},
        {"negative start", CorefMention(0, {-1, std::nullopt}, {1, std::nullopt}),
         "a coreference mention has an invalid word range"},
        {"start after end", CorefMention(0, {3, std::nullopt}, {2, std::nullopt}),
         "a coreference mention has an invalid word range"},
        {"end past the sentence", CorefMention(1, {0, std::nullopt}, {3, std::nullopt}),
         "a coreference mention has an invalid word range"},
        {"only the start is empty", CorefMention(0, {2, 1}, {2, std::nullopt}),
         "a zero coreference mention must name one empty word"},
        {"different empty words", CorefMention(0, {2, 1}, {3, 1}),
         "a zero coreference mention must name one empty word"},
        {"different empty indexes", CorefMention(0, {2, 1}, {2, 2}),
         "a zero coreference mention must name one empty word"},
        {"no such empty word", CorefMention(0, {2, 2}, {2, 2}),
         "a zero coreference mention has no matching empty word"},
        {"empty word of another sentence", CorefMention(1, {2, 1}, {2, 1}),
         "a zero coreference mention has no matching empty word"},
    };
    for (const Case& c : cases) {
        // The bad mention comes last, after chains and mentions that would attach.
        const std::vector<CorefChain> chains = {CorefChain(0, {good}, "a", 0),
                                                CorefChain(1, {good, c.mention}, "b", 0)};
        EXPECT_EQ(failure_of<std::out_of_range>([&] { d.set_coref(chains); }), c.message) << c.name;
        EXPECT_EQ(snapshot(d), before) << c.name;
    }
}

}  // namespace
