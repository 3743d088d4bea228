// Building a document storage, its edits, and its CoNLL-U header lines.
#include <gtest/gtest.h>

#include "document_test_support.hpp"

namespace {

using namespace quelbin;
using namespace quelbin::doctest;

using Rows = std::vector<std::uint32_t>;
const std::optional<int> no;

// The sentence texts, then the spacing before and after each token.
std::vector<std::string> texts_and_spacing(const std::string& text,
                                           const std::vector<SentenceInput>& input) {
    DocumentStorage d(text);
    d.build(input);
    std::vector<std::string> out;
    for (std::uint32_t id : d.sentence_text) out.push_back(d.pool.optional(id).value_or("<none>"));
    for (std::size_t i = 0; i < d.token_count(); ++i) {
        const StringPool& pool = d.pool;
        out.push_back(pool.get(d.token_spaces_before[i]) + "|" + pool.get(d.token_spaces_after[i]));
    }
    return out;
}

TEST(DocumentBuild, SentenceTextAndSpacing) {
    TokenInput a = token(1, "a"), b = token(2, "b");
    a.spaces_before = "<";
    a.spaces_after = "";
    b.spaces_before = "\t";
    b.spaces_after = "|";
    SentenceInput given = sentence({token(1, "a", 0, 1)});
    given.text = "given";
    const struct {
        std::string text;
        std::vector<SentenceInput> input;
        std::vector<std::string> expected;
    } cases[] = {
        // Without usable offsets: the tokens joined by spaces_after, or by
        // spaces_before where that is empty, and the input spacing kept.
        {"", {sentence({a, b}), SentenceInput{}, given},
         {"a\tb|", "<none>", "given", "<|", "\t||", "| "}},
        {"ab", {sentence({token(1, "a", 0, 3)})}, {"a ", "| "}},          // end beyond the text
        {"abc", {sentence({token(1, "a", 2, 1)})}, {"a ", "| "}},         // start after end
        {"a b", {sentence({token(1, "a", 0, 1), b})}, {"a b|", "| ", "\t||"}},  // no end offset
        // With offsets: a slice of the text, and the spacing between tokens.
        {"  hi you ", {sentence({token(1, "hi", 2, 4), token(2, "you", 5, 8)})},
         {"hi you", "  | ", "| "}},
        {"\xC3\xA9 b.\n\nC", {sentence({token(1, "\xC3\xA9", 0, 1), token(2, "b.", 2, 4)}),
                              sentence({token(1, "C", 6, 7)})},
         {"\xC3\xA9 b.", "C", "| ", "|\n\n", "|"}},
        {"Hi you", {sentence({token(1, "Hi", 2, 2)})}, {"", "Hi| you"}},
        // A successor without a start, overlapping or beyond the text leaves
        // the spacing as given.
        {"a b c", {sentence({token(1, "a", 0, 1), b, token(3, "c", 4, 5)})},
         {"a b c", "| ", "\t||", "|"}},
        {"abc", {sentence({token(1, "ab", 0, 2), token(2, "bc", 1, 3)})}, {"abc", "| ", "|"}},
        {"ab", {sentence({token(1, "a", 0, 1), token(2, "b", 5, 6)})}, {"a b ", "| ", "| "}},
    };
    for (const auto& c : cases) EXPECT_EQ(texts_and_spacing(c.text, c.input), c.expected) << c.text;
}

// Refusals of the edits, on a storage of two sentences ("a b c" with the
// empty word 2.1, and "d e" with an entity) holding one chain: nothing changes.
TEST(DocumentBuild, RefusalsChangeNothing) {
    const std::string empty_word = "invalid_argument: an empty word requires a nonnegative ID, "
                                   "positive empty index, and non-empty text; got id=";
    const std::string word_range = "out_of_range: a coreference mention has an invalid word range";
    const std::string zero = "out_of_range: a zero coreference mention ";
    const std::string one_empty = zero + "must name one empty word";
    const std::string no_empty = zero + "has no matching empty word";
    auto add = [](std::uint32_t s, WordInput w) {
        return [=](DocumentStorage& d) { d.add_empty_word(s, w); };
    };
    auto mention = [](CorefMention bad) {
        // The bad mention comes last, after mentions that would attach.
        const CorefMention good(0, {0, no}, {2, no});
        return [=](DocumentStorage& d) {
            d.set_coref({CorefChain(0, {good}, "a", 0), CorefChain(1, {good, bad}, "b", 0)});
        };
    };
    const std::pair<std::function<void(DocumentStorage&)>, std::string> cases[] = {
        {[](auto& d) { d.build({}); }, "logic_error: a document storage can only be built once"},
        {[](auto& d) { d.rebuild_entities(); }, "out_of_range: invalid string pool identifier"},
        {add(2, word(1, "x", 1)), "out_of_range: an empty word has an invalid sentence"},
        {add(7, word(-1, "")), "out_of_range: an empty word has an invalid sentence"},
        {add(0, word(-1, "abc", 1)), empty_word + "-1, empty_index=1, text_size=3"},
        {add(0, word(2, "abc")), empty_word + "2, empty_index=none, text_size=3"},
        {add(0, word(2, "abc", 0)), empty_word + "2, empty_index=0, text_size=3"},
        {add(1, word(0, "\xC3\xA9", -2)), empty_word + "0, empty_index=-2, text_size=2"},
        {add(1, word(0, "", 2)), empty_word + "0, empty_index=2, text_size=0"},
        {add(0, word(2, "x", 1)),
         "invalid_argument: an empty word ID is duplicated within a sentence"},
        {[](auto& d) {
             detail::StringPoolTestPeer::set_max_strings(d.pool, d.pool.size());
             d.add_empty_word(1, word(1, "new", 1));
         },
         "overflow_error: the document string pool is full"},
        {mention(CorefMention(2, {0, no}, {1, no})),
         "out_of_range: a coreference mention has an invalid sentence index"},
        {mention(CorefMention(0, {-1, no}, {1, no})), word_range},
        {mention(CorefMention(0, {3, no}, {2, no})), word_range},
        {mention(CorefMention(1, {0, no}, {3, no})), word_range},
        {mention(CorefMention(0, {2, 1}, {2, no})), one_empty},
        {mention(CorefMention(0, {2, no}, {2, 1})), one_empty},
        {mention(CorefMention(0, {2, 1}, {3, 1})), one_empty},
        {mention(CorefMention(0, {2, 1}, {2, 2})), one_empty},
        {mention(CorefMention(0, {2, 2}, {2, 2})), no_empty},
        {mention(CorefMention(1, {2, 1}, {2, 1})), no_empty},
    };
    for (const auto& [edit, message] : cases) {
        DocumentStorage d("a b c d e");
        d.lang = d.pool.intern("fr");
        std::vector<SentenceInput> input = {plain({"a", "b", "c"}), plain({"d", "e"})};
        input[0].empty_words = {word(2, "pro", 1)};
        input[1].tokens[0].ner = "S-P";
        d.build(input);
        d.set_coref({CorefChain(0, {CorefMention(0, {0, no}, {2, no})}, "old", 0)});
        d.token_ner[0] = d.pool.intern("B-X");
        d.token_ner[1] = 999999;  // only a corrupted storage holds an id outside its pool
        const std::string before = snapshot(d);
        EXPECT_EQ(failure([&, &edit = edit] { edit(d); }), message);
        EXPECT_EQ(snapshot(d), before) << message;
    }
}

// The records build_spans stands for: token k of a sentence has ID k, one word
// with its text, misc and offsets, and the spacing of the text around it.
std::vector<SentenceInput> records_of(const std::string& text, const SpanInput& input) {
    const Utf8Text t(text);
    std::vector<SentenceInput> out;
    std::size_t first = 0;
    for (std::uint32_t end : input.sentence_ends) {
        SentenceInput s;
        for (std::size_t i = first; i < end; ++i) {
            const SpanToken& span = input.tokens[i];
            const int id = static_cast<int>(i - first + 1);
            TokenInput k = token(id, span.text == kSpanTextSlice ? t.slice(span.start_char, span.end_char)
                                                                 : input.strings[span.text],
                                 span.start_char, span.end_char);
            if (span.misc != kSpanNoMisc) k.misc = input.strings[span.misc];
            k.words[0].misc = k.misc;
            k.words[0].start_char = span.start_char;
            k.words[0].end_char = span.end_char;
            k.spaces_before = i == 0 ? t.slice(0, span.start_char) : "";
            k.spaces_after = t.slice(span.end_char, i + 1 < input.tokens.size() ? input.tokens[i + 1].start_char
                                                                                : t.codepoint_count());
            s.tokens.push_back(std::move(k));
        }
        out.push_back(std::move(s));
        first = end;
    }
    return out;
}

SpanInput spans(std::vector<SpanToken> tokens, std::vector<std::uint32_t> ends,
                std::vector<std::string> strings = {}) {
    return SpanInput{std::move(tokens), std::move(ends), std::move(strings)};
}

constexpr std::uint32_t slice = kSpanTextSlice, none = kSpanNoMisc;

TEST(DocumentBuild, SpansBuildWhatTheirRecordsBuild) {
    const struct {
        std::string text;
        SpanInput input;
    } cases[] = {
        {"", spans({}, {})},
        {"  Hi you.\n\n\xC3\xA9t\xC3\xA9 !  ",  // spacing at both ends, code points past two-byte characters
         spans({{2, 4}, {5, 8}, {11, 14}, {15, 16}}, {2, 4})},
        // Texts of their own (a normalised run, a stand-in) and a shared misc
        // value; tokens touching one another; a text repeated in the pool.
        {"a \t b<x>ab.ab", spans({{0, 5, 0, 2}, {5, 8, 1, 2}, {8, 10}, {10, 11, slice, 2}, {11, 13}}, {3, 5},
                                 {"a b", "<UNK>", "MWT=Yes"})},
    };
    for (const auto& c : cases) {
        DocumentStorage compact(c.text), records(c.text);
        compact.lang = compact.pool.intern("fr");
        records.lang = records.pool.intern("fr");
        compact.build_spans(c.input);
        records.build(records_of(c.text, c.input));
        EXPECT_EQ(check_invariants(compact), "") << c.text;
        EXPECT_EQ(snapshot(compact), snapshot(records)) << c.text;
    }
}

// Bad compact input is refused before or during the build; the storage is
// left as it was.
TEST(DocumentBuild, SpanRefusalsChangeNothing) {
    const std::string ends = "invalid_argument: sentence ends must increase up to the token count";
    const std::string offsets = "invalid_argument: token offsets must lie in order within the text";
    const std::string missing = "invalid_argument: a token refers to a string the input does not hold";
    const std::string empty = "invalid_argument: a token must have non-empty text";
    const SpanToken a{0, 1}, b{2, 3};
    const struct {
        SpanInput input;
        std::string message;
    } cases[] = {
        {spans({a, b}, {1}), ends},
        {spans({a, b}, {1, 1, 2}), ends},
        {spans({a, b}, {2, 1}), ends},
        {spans({a}, {2}), ends},
        {spans({a}, {}), ends},
        {spans({}, {0}), ends},
        {spans({{1, 0}}, {1}), offsets},      // start after end
        {spans({{0, 3}, b}, {2}), offsets},   // overlapping the next token
        {spans({{2, 6}}, {1}), offsets},      // beyond the text
        {spans({b, a}, {2}), offsets},        // out of order
        {spans({{0, 1, 1}}, {1}, {"x"}), missing},
        {spans({{0, 1, slice, 0}}, {1}), missing},
        {spans({a, {2, 2}}, {2}), empty},     // found after a row was added
        {spans({a, {2, 3, 0}}, {1, 2}, {""}), empty},
    };
    for (const auto& c : cases) {
        DocumentStorage d("a b c");
        d.lang = d.pool.intern("fr");
        const std::string before = snapshot(d);
        EXPECT_EQ(failure([&] { d.build_spans(c.input); }), c.message);
        EXPECT_EQ(snapshot(d), before) << c.message;
    }
    DocumentStorage full("a b c");
    detail::StringPoolTestPeer::set_max_strings(full.pool, 3);
    const std::string before = snapshot(full);
    EXPECT_EQ(failure([&] { full.build_spans(spans({a, b}, {2})); }),
              "overflow_error: the document string pool is full");
    EXPECT_EQ(snapshot(full), before);
    DocumentStorage built("a b c");
    built.build_spans(spans({a}, {1}));
    EXPECT_EQ(failure([&] { built.build_spans(spans({b}, {1})); }),
              "logic_error: a document storage can only be built once");
}

TEST(EmptyWords, RowsAndGeneratedRemoval) {
    std::vector<SentenceInput> input = {plain({"a", "b", "c"}), plain({"d"})};
    input[0].empty_words = {word(3, "given", 1), word(0, "first", 1)};
    DocumentStorage d("");
    d.build(input);
    EXPECT_EQ(d.sentence_empty_words[0], (Rows{4, 5}));  // in the order given
    const std::string built = snapshot(d);
    d.reset_generated_empty_words();
    EXPECT_EQ(snapshot(d), built);
    // The same (id, empty index) in another sentence is allowed.
    EXPECT_EQ(d.add_empty_word(1, word(3, "gen-a", 1)), 6u);
    EXPECT_EQ(d.add_empty_word(0, word(2, "gen-b", 1)), 7u);
    EXPECT_EQ(d.add_empty_word(0, word(2, "gen-c", 2)), 8u);
    const CorefMention generated(0, {2, 1}, {2, 1}), given(0, {3, 1}, {3, 1});
    d.set_coref({CorefChain(0, {generated, given}, "x", 0)});
    d.reset_generated_empty_words();
    ASSERT_EQ(check_invariants(d), "");
    EXPECT_EQ(d.word_count(), 6u);
    EXPECT_EQ(d.sentence_empty_words[0], (Rows{4, 5}));
    EXPECT_EQ(d.word_coref[4].size(), 1u);  // attachments of input words stay
    // A removed (id, empty index) can be added again.
    EXPECT_EQ(d.add_empty_word(0, word(2, "again", 1)), 6u);
}

TEST(Replace, RebuildsEverythingButTextLanguageAndInUseMark) {
    DocumentStorage d("Anna ran");
    d.build({plain({"Anna", "ran"})});
    d.lang = d.pool.intern("en");
    d.in_use.set = true;
    d.sentence_constituency[0] = ConstituencyTree("S", {}).node();
    d.add_empty_word(0, word(1, "pro", 1));
    d.set_coref({CorefChain(0, {CorefMention(0, {0, no}, {1, no})}, "Anna", 0)});
    std::vector<SentenceInput> next = {plain({"Anna", "ran"}), plain({"x"})};
    next[0].tokens[0].ner = "S-PER";
    DocumentStorage fresh("Anna ran");
    fresh.build(next);
    fresh.lang = fresh.pool.intern("en");
    d.replace(next);
    EXPECT_EQ(snapshot(d), snapshot(fresh));
    EXPECT_TRUE(d.in_use.set);
    // The mark stays with its storage: a storage made from another starts unmarked.
    const DocumentStorage moved(std::move(d));
    EXPECT_FALSE(moved.in_use.set);
    DocumentStorage no_lang("");
    no_lang.replace({plain({"x"})});
    EXPECT_EQ(no_lang.lang, kAbsentStringId);
}

// The header lines of a sentence's CoNLL-U text: its comments, then the
// sent_id and text lines unless a comment already gives them.
TEST(Conll, HeaderLines) {
    auto conll = [](std::vector<std::string> comments, std::optional<std::string> text,
                    bool tokens) {
        SentenceInput s = tokens ? plain({"a"}) : SentenceInput{};
        s.comments = std::move(comments);
        s.text = std::move(text);
        s.sent_id = "s";
        return Document("", {s}).to_conll();
    };
    const std::string body = "1\ta\t_\t_\t_\t_\t_\t_\t_\t_";
    EXPECT_EQ(conll({"# newpar"}, "", true), "# newpar\n# sent_id = s\n" + body);
    EXPECT_EQ(conll({"# text_en = x", "# sent_id = c"}, "T", true),
              "# text_en = x\n# sent_id = c\n" + body);
    EXPECT_EQ(conll({"#text = x"}, "T", true), "#text = x\n# sent_id = s\n# text = T\n" + body);
    EXPECT_EQ(conll({}, std::nullopt, false), "# sent_id = s\n");
}

// Each line break of the sentence text (CRLF, CR or LF) is one space in the
// text comment, so the comment stays one line; the stored text keeps its breaks.
TEST(Conll, TextCommentIsOneLine) {
    const std::string stored = "a\r\nb\rc\nd\n\re\r\r\nf\n";
    SentenceInput s = plain({"a", "f"});
    s.text = stored;
    s.sent_id = "s";
    SentenceInput other = plain({"g"});
    other.text = "g\n";
    other.sent_id = "t";
    Document doc("", {s, other});
    const std::string body = "1\ta\t_\t_\t_\t_\t_\t_\t_\t_\n2\tf\t_\t_\t_\t_\t_\t_\t_\t_";
    const std::string first = "# sent_id = s\n# text = a b c d  e  f \n" + body;
    EXPECT_EQ(doc.sentences().at(0).to_conll(), first);
    EXPECT_EQ(doc.to_conll(), first + "\n\n# sent_id = t\n# text = g \n1\tg\t_\t_\t_\t_\t_\t_\t_\t_");
    EXPECT_EQ(doc.sentences().at(0).text(), stored);
}

}  // namespace
