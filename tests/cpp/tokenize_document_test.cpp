// From labels to documents, the entry points and their edge cases.
#include "tokenize/build_document.hpp"
#include "tokenize/labelling.hpp"
#include "tokenize/tokenize_text.hpp"

#include "fixtures.hpp"

#include <quelbin/document.hpp>
#include <quelbin/errors.hpp>
#include <quelbin/model_bundle.hpp>
#include <quelbin/tokenizer.hpp>

#include <gtest/gtest.h>

namespace quelbin::detail {
namespace {

struct Token {
    std::string text;
    std::uint32_t start;
    std::uint32_t end;
    std::optional<std::string> misc;
    std::string before;
    std::string after;
    bool operator==(const Token& o) const {
        return std::tie(text, start, end, misc, before, after) ==
               std::tie(o.text, o.start, o.end, o.misc, o.before, o.after);
    }
};

std::ostream& operator<<(std::ostream& out, const Token& t) {
    return out << "{" << ::testing::PrintToString(t.text) << " " << t.start << "-" << t.end << " "
               << (t.misc ? *t.misc : "-") << " before " << ::testing::PrintToString(t.before) << " after "
               << ::testing::PrintToString(t.after) << "}";
}

using Sentences = std::vector<std::vector<Token>>;

Sentences from_records(const std::vector<SentenceInput>& records) {
    Sentences sentences;
    for (const SentenceInput& sentence : records) {
        sentences.emplace_back();
        for (const TokenInput& token : sentence.tokens) {
            EXPECT_EQ(token.words.size(), 1u);
            EXPECT_EQ(token.id_start, token.id_end);
            EXPECT_EQ(token.id_start, static_cast<int>(sentences.back().size()) + 1);
            EXPECT_EQ(token.words[0].id, token.id_start);
            EXPECT_EQ(token.words[0].text, token.text);
            EXPECT_EQ(token.words[0].misc, token.misc);
            EXPECT_EQ(token.words[0].start_char, token.start_char);
            EXPECT_EQ(token.words[0].end_char, token.end_char);
            EXPECT_FALSE(token.words[0].empty_index.has_value());
            EXPECT_FALSE(token.ner.has_value());
            sentences.back().push_back(
                {token.text, *token.start_char, *token.end_char, token.misc, token.spaces_before, token.spaces_after});
        }
    }
    return sentences;
}

Sentences build(const TokenizerPlan::Impl& impl, const std::string& text, const std::vector<Labels>& labels) {
    const std::vector<Paragraph> paragraphs = split_paragraphs(text, impl.skip_newline);
    return from_records(build_sentences(impl, Utf8Text(text), paragraphs, labels));
}

const std::optional<std::string> kMwt = std::string("MWT=Yes");
const std::optional<std::string> kNone;

TEST(TokenizeBuildDocument, TokensSentencesOffsetsAndSpacing) {
    TokenizerPlan::Impl impl;
    const struct {
        const char* name;
        std::string text;
        std::vector<Labels> labels;
        Sentences expected;
    } cases[] = {
        {"one token", "abc", {{0, 0, 1}}, {{{"abc", 0, 3, kNone, "", ""}}}},
        {"inner space kept", "a b", {{0, 0, 2}}, {{{"a b", 0, 3, kNone, "", ""}}}},
        {"spaces-only token dropped with its sentence end",
         "a b",
         {{1, 2, 2}},
         {{{"a", 0, 1, kNone, "", " "}, {"b", 2, 3, kNone, "", ""}}}},
        {"multi-word marks", "ab", {{1, 3}}, {{{"a", 0, 1, kNone, "", ""}, {"b", 1, 2, kMwt, "", ""}}}},
        {"label 4 closes the sentence",
         "ab c",
         {{4, 0, 0, 2}},
         {{{"a", 0, 1, kMwt, "", ""}}, {{"b c", 1, 4, kNone, "", ""}}}},
        {"other positive labels end a token", "abc", {{7, -3, 2}},
         {{{"a", 0, 1, kNone, "", ""}, {"bc", 1, 3, kNone, "", ""}}}},
        {"leading and trailing whitespace",
         "  Hi there  \n",
         {{0, 0, 1, 0, 0, 0, 0, 0, 2}},
         {{{"Hi", 2, 4, kNone, "  ", " "}, {"there", 5, 10, kNone, "", "  \n"}}}},
        {"token starting on a space unit",
         "a  b",
         {{1, 0, 2}},
         {{{"a", 0, 1, kNone, "", "  "}, {"b", 3, 4, kNone, "", ""}}}},
        {"paragraphs close sentences",
         "One.\n \nTwo",
         {{0, 0, 1, 1}, {0, 0, 2}},
         {{{"One", 0, 3, kNone, "", ""}, {".", 3, 4, kNone, "", "\n \n"}}, {{"Two", 7, 10, kNone, "", ""}}}},
        {"trailing space inside a token stays",
         "ab cd",
         {{0, 0, 1, 0, 2}},
         {{{"ab ", 0, 2, kNone, "", " "}, {"cd", 3, 5, kNone, "", ""}}}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(build(impl, c.text, c.labels), c.expected) << c.name;
    }
}

TEST(TokenizeBuildDocument, LanguageAndShorthandRules) {
    TokenizerPlan::Impl impl;
    impl.lang = "zh";
    EXPECT_EQ(build(impl, "a b", {{0, 0, 2}}), (Sentences{{{"ab", 0, 3, kNone, "", ""}}}));
    impl.lang = "ko-x";
    EXPECT_EQ(build(impl, "a b", {{0, 0, 2}}), (Sentences{{{"ab", 0, 3, kNone, "", ""}}}));
    impl.lang = "z";
    EXPECT_EQ(build(impl, "a b", {{0, 0, 2}}), (Sentences{{{"a b", 0, 3, kNone, "", ""}}}));
    impl.lang = "en";

    impl.shorthand = "la_ittb";
    EXPECT_EQ(build(impl, "a:b;c", {{0, 3, 0, 0, 2}}),
              (Sentences{{{"a:", 0, 2, kNone, "", ""}}, {{"b;", 2, 4, kNone, "", ""}}, {{"c", 4, 5, kNone, "", ""}}}));
    impl.shorthand = "la_other";
    EXPECT_EQ(build(impl, "a:b;c", {{0, 3, 0, 0, 2}}),
              (Sentences{{{"a:", 0, 2, kMwt, "", ""}, {"b;c", 2, 5, kNone, "", ""}}}));
}

TEST(TokenizeBuildDocument, OverlongTokensBecomeUnk) {
    TokenizerPlan::Impl impl;
    for (const std::size_t units : {std::size_t{1000}, std::size_t{1001}}) {
        const std::string text = " " + std::string(units, 'x');
        Labels labels(units + 1, 0);
        labels.back() = 2;
        const Sentences sentences = build(impl, text, {labels});
        ASSERT_EQ(sentences.size(), 1u);
        EXPECT_EQ(sentences[0][0].text, units == 1000 ? std::string(1000, 'x') : "<UNK>");
        EXPECT_EQ(sentences[0][0].start, 1u);
        EXPECT_EQ(sentences[0][0].end, units + 1);
        EXPECT_EQ(sentences[0][0].before, " ");
    }
}

TEST(TokenizeBuildDocument, RefusesInconsistentLabels) {
    TokenizerPlan::Impl impl;
    const auto expect_error = [&](const std::string& text, const std::vector<Labels>& labels, const char* message) {
        try {
            build(impl, text, labels);
            ADD_FAILURE() << "accepted " << text;
        } catch (const TokenizerModelError& error) {
            EXPECT_STREQ(error.what(), message);
        }
    };
    expect_error("ab", {}, "tokenizer paragraph and prediction counts disagree");
    expect_error("ab", {{0, 2}, {2}}, "tokenizer paragraph and prediction counts disagree");
    expect_error("ab", {{2}}, "tokenizer paragraph and prediction counts disagree");
    expect_error("ab", {{2, 0}}, "tokenizer prediction left an unfinished token");
    // Labels past the paragraph's units are not read.
    EXPECT_EQ(build(impl, "ab", {{0, 2, 1}}).size(), 1u);
}

// -- the plan's entry points --------------------------------------------------------------------

std::filesystem::path bundle(const std::string& name) { return testing::fixture_path("tokenizer_bundles", name); }

TEST(TokenizeEntryPoints, PredictLabels) {
    const TokenizerPlan plan(bundle("ties"), false);
    EXPECT_TRUE(plan.predict_labels("").empty());
    EXPECT_TRUE(plan.predict_labels(" \n \t\n\n ").empty());
    try {
        plan.predict_labels("One.\n\nTwo.");
        ADD_FAILURE() << "two paragraphs accepted";
    } catch (const TokenizerModelError& error) {
        EXPECT_STREQ(error.what(), "predict_labels expects text containing one tokenizer paragraph");
    }
    EXPECT_THROW(plan.predict_labels("a\xFF"), TokenizerModelError);
    // Exact ties between columns 1 to 4 give the lowest, 1; the last unit ends
    // the sentence. One label per unit of the normalised paragraph.
    EXPECT_EQ(plan.predict_labels("  ab \t c\n"), (std::vector<std::int64_t>{1, 1, 1, 1, 2}));
    EXPECT_EQ(plan.predict_labels("x"), (std::vector<std::int64_t>{2}));
}

TEST(TokenizeEntryPoints, WindowsWithoutSentenceEnds) {
    const TokenizerPlan plan(bundle("no_sentence_end"), false);
    for (const std::size_t units : {std::size_t{999}, std::size_t{1000}, std::size_t{1001}, std::size_t{2500}}) {
        const std::vector<std::int64_t> labels = plan.predict_labels(std::string(units, 'q'));
        ASSERT_EQ(labels.size(), units);
        EXPECT_EQ(labels.back(), 2);
        for (std::size_t i = 0; i + 1 < units; ++i) ASSERT_EQ(labels[i], 1) << i;
    }
}

TEST(TokenizeEntryPoints, ProcessEdgeCases) {
    const TokenizerPlan plan(bundle("ties"), false);
    for (const std::string text : {"", " ", "\n\n", " \t\n \r\n"}) {
        const Document result = plan.process(Document(text));
        EXPECT_EQ(result.storage()->sentence_count(), 0u);
        EXPECT_EQ(result.text(), text);
        EXPECT_EQ(result.lang(), std::optional<std::string>("en"));
    }
    const Document input("Hi you.\n\nNext");
    const Document result = plan.process(input);
    EXPECT_EQ(input.num_tokens(), 0u);
    EXPECT_EQ(result.storage()->sentence_count(), 2u);
    EXPECT_EQ(result.num_tokens(), 10u);
    EXPECT_EQ(result.num_words(), 10u);
    EXPECT_EQ(result.storage()->token_misc[0], kAbsentStringId);
    // A long paragraph without spaces neither crashes nor loses characters.
    const Document long_text = plan.process(Document(std::string(5000, 'z')));
    EXPECT_EQ(long_text.num_tokens(), 5000u);
}

TEST(TokenizeEntryPoints, ChineseTokensAndIttbSentences) {
    const TokenizerPlan chinese(bundle("chinese"), false);
    const Document zh = chinese.process(Document("ab c d\n\ne f"));
    ASSERT_EQ(zh.num_tokens(), 2u);
    EXPECT_EQ(zh.storage()->pool.get(zh.storage()->token_text[0]), "abcd");
    EXPECT_EQ(zh.storage()->token_end_char[0], 6u);
    EXPECT_EQ(zh.storage()->pool.get(zh.storage()->token_text[1]), "ef");

    const TokenizerPlan ittb(bundle("ittb"), false);
    const Document la = ittb.process(Document("arma: virum; cano"));
    EXPECT_EQ(la.storage()->sentence_count(), 3u);
    EXPECT_EQ(la.storage()->pool.get(la.storage()->token_text[1]), "virum;");
}

TEST(TokenizeEntryPoints, BulkKeepsOrderAndMatchesProcess) {
    const TokenizerPlan plan(bundle("ok_batch_size"), false);  // batch_size 5
    EXPECT_TRUE(plan.process_bulk({}).empty());
    std::vector<Document> inputs;
    const std::string long_paragraph(1500, 'w');
    for (const std::string text :
         {std::string("Alpha beta.\n\nGamma"), std::string(""), long_paragraph + "\n\nShort one.", std::string("  \n\n "),
          std::string(1000, 'k'), std::string(1001, 'm'), std::string("One\n\ntwo\n\nthree\n\nfour\n\nfive\n\nsix")}) {
        inputs.emplace_back(text);
    }
    inputs.push_back(inputs[0]);  // the same document twice
    const std::vector<Document> bulk = plan.process_bulk(inputs);
    ASSERT_EQ(bulk.size(), inputs.size());
    for (std::size_t d = 0; d < inputs.size(); ++d) {
        const Document single = plan.process(inputs[d]);
        EXPECT_EQ(bulk[d].text(), inputs[d].text());
        EXPECT_EQ(bulk[d].lang(), std::optional<std::string>("en"));
        ASSERT_EQ(bulk[d].num_tokens(), single.num_tokens()) << d;
        for (std::uint32_t t = 0; t < single.num_tokens(); ++t) {
            EXPECT_EQ(bulk[d].storage()->token_start_char[t], single.storage()->token_start_char[t]);
            EXPECT_EQ(bulk[d].storage()->token_end_char[t], single.storage()->token_end_char[t]);
        }
    }
    EXPECT_FALSE(bulk[0].same_storage(bulk.back()));
    EXPECT_EQ(bulk[0].num_tokens(), bulk.back().num_tokens());
    EXPECT_EQ(bulk[1].storage()->sentence_count(), 0u);
}

TEST(TokenizeEntryPoints, BatchedPathEdgeCases) {
    const TokenizerPlan::Impl impl(bundle("ok_mwt"), false);
    EXPECT_TRUE(label_paragraphs(impl, {}).empty());
    const Paragraph empty;
    EXPECT_TRUE(label_paragraph(impl, empty).empty());
    EXPECT_THROW(label_paragraphs(impl, {std::cref(empty)}), TokenizerModelError);

    // Results in input order whatever the lengths; equal lengths keep their order.
    const std::vector<std::string> texts = {"ab", "Hello there, friend.", "cd", "x", "Hello there, friend!"};
    std::vector<Paragraph> paragraphs;
    for (const std::string& text : texts) paragraphs.push_back(split_paragraphs(text, false).at(0));
    std::vector<std::reference_wrapper<const Paragraph>> refs(paragraphs.begin(), paragraphs.end());
    const std::vector<Labels> batched = label_paragraphs(impl, refs);
    ASSERT_EQ(batched.size(), texts.size());
    for (std::size_t i = 0; i < texts.size(); ++i) {
        EXPECT_EQ(batched[i], label_paragraph(impl, paragraphs[i])) << texts[i];
        EXPECT_TRUE(batched[i].back() == 2 || batched[i].back() == 4);
    }

    // flush_paragraph_queue moves results to their slots and empties the queue.
    std::vector<Labels> results(7, Labels{9});
    std::vector<std::reference_wrapper<const Paragraph>> queue = {std::cref(paragraphs[1]), std::cref(paragraphs[3])};
    std::vector<std::size_t> destinations = {6, 2};
    flush_paragraph_queue(impl, queue, destinations, results);
    EXPECT_TRUE(queue.empty());
    EXPECT_TRUE(destinations.empty());
    EXPECT_EQ(results[6], batched[1]);
    EXPECT_EQ(results[2], batched[3]);
    EXPECT_EQ(results[0], Labels{9});
    flush_paragraph_queue(impl, queue, destinations, results);  // empty queue: nothing happens
    EXPECT_EQ(results[6], batched[1]);
}

TEST(TokenizeEntryPoints, FeatureWidthMismatchFailsBeforeTheNetwork) {
    TokenizerPlan::Impl impl(bundle("ok_default"), false);
    impl.feat_dim = 4;
    const Paragraph paragraph = split_paragraphs("abc", false).at(0);
    EXPECT_THROW(label_paragraph(impl, paragraph), TokenizerModelError);
    EXPECT_THROW(label_paragraphs(impl, {std::cref(paragraph)}), TokenizerModelError);
}

}  // namespace
}  // namespace quelbin::detail
