// The multi-word-token document rewrite with a scripted expander: marking, pieces,
// renumbering, manual expansions, empty words, and failures that change nothing.
#include <gtest/gtest.h>

#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "quelbin/document.hpp"
#include "seq2seq/mwt_impl.hpp"

namespace quelbin {
namespace {

// One token: its text, MISC and the texts of its words (its own text when empty).
struct Tok {
    std::string text;
    std::optional<std::string> misc;
    std::vector<std::string> words;
};

const std::optional<std::string> kMark = std::string("MWT=Yes");

// Tokens numbered from 1 with their offsets in `text`; every word has UPOS "X", the
// token's MISC, a head on the previous word and a relation.
SentenceInput sentence_of(const std::string& text, const std::vector<Tok>& toks) {
    SentenceInput sentence;
    int id = 0;
    std::size_t cursor = 0;
    for (const Tok& t : toks) {
        TokenInput token;
        token.text = t.text;
        token.misc = t.misc;
        cursor = text.find(t.text, cursor);
        token.start_char = static_cast<std::uint32_t>(Utf8Text(text.substr(0, cursor)).codepoint_count());
        token.end_char = *token.start_char + static_cast<std::uint32_t>(Utf8Text(t.text).codepoint_count());
        token.id_start = id + 1;
        for (const std::string& w : t.words.empty() ? std::vector<std::string>{t.text} : t.words) {
            WordInput word;
            word.id = ++id;
            word.text = w;
            word.upos = "X";
            word.head = id - 1;
            word.deprel = "dep";
            word.deps = std::to_string(id - 1) + ":dep";
            word.misc = t.misc;
            token.words.push_back(word);
        }
        token.id_end = id;
        sentence.tokens.push_back(token);
    }
    return sentence;
}

// The expander answers from `expansions` and fails on any other token.
Document rewrite(const Document& document, const std::map<std::string, std::string>& expansions,
                 int* calls = nullptr) {
    return detail::rewrite_mwt_document(document, [&](const std::string& token) {
        if (calls) ++*calls;
        const auto it = expansions.find(token);
        if (it == expansions.end()) throw std::runtime_error("unexpected token " + token);
        return it->second;
    });
}

// "<first>-<last>:<text>[<misc>]{<id>:<text>@<start char> ...}" per token; sentences
// are separated by " | ".
std::string render(const Document& doc) {
    std::string out;
    const SentenceSequence sentences = doc.sentences();
    for (std::uint64_t s = 0; s < sentences.size(); ++s) {
        const TokenSequence tokens = sentences.at(s).tokens();
        for (std::uint64_t t = 0; t < tokens.size(); ++t) {
            const Token token = tokens.at(t);
            out += std::string(t ? " " : s ? " | " : "") + std::to_string(token.id_range().first) + "-" +
                   std::to_string(token.id_range().second) + ":" + token.text();
            if (token.misc()) out += "[" + *token.misc() + "]";
            const WordSequence words = token.words();
            for (std::uint64_t w = 0; w < words.size(); ++w) {
                const Word word = words.at(w);
                out += (w ? " " : "{") + std::to_string(word.id()) + ":" + word.text();
                if (word.start_char()) out += "@" + std::to_string(*word.start_char());
            }
            out += "}";
        }
    }
    return out;
}

TEST(MWTRewrite, MarkingPiecesAndMisc) {
    struct Row {
        std::string misc, expansion, expected;
    };
    const std::vector<Row> rows = {
        {"MWT=Yes", "  à   le ", "1-2:au{1:à 2:le}"},
        {"SpaceAfter=No|MWT=Yes", "", "1-1:au[SpaceAfter=No]{1:au@0}"},
        {"MWT=Yes", "   ", "1-1:au{1:au@0}"},
        // A single piece never changes the word's spelling.
        {"A||MWT=Yes|B", "Au", "1-1:au[A|B]{1:au@0}"},
        {"MWT=Yes|MWT=Yes", "à\tle", "1-1:au{1:au@0}"},
        {"|MWT=Yes|", "à\xC2\xA0le x", "1-2:au{1:à\xC2\xA0le 2:x}"},
        {"X=1|MWT=Yes|Y=2", "à le", "1-2:au[X=1|Y=2]{1:à 2:le}"},
        // Only an item exactly "MWT=Yes" marks the token.
        {"mwt=yes", "à le", "1-1:au[mwt=yes]{1:au@0}"},
        {"MWT=Yes ", "à le", "1-1:au[MWT=Yes ]{1:au@0}"},
        {" MWT=Yes", "à le", "1-1:au[ MWT=Yes]{1:au@0}"},
        {"MWT=Yes=1", "à le", "1-1:au[MWT=Yes=1]{1:au@0}"},
        {"MWT=YesMWT=Yes", "à le", "1-1:au[MWT=YesMWT=Yes]{1:au@0}"},
    };
    for (const Row& row : rows) {
        const Document doc("au", {sentence_of("au", {{"au", row.misc, {}}})});
        EXPECT_EQ(render(rewrite(doc, {{"au", row.expansion}})), row.expected) << row.misc;
    }
    // A token without MISC is never marked, even when its word carries the item.
    SentenceInput sentence = sentence_of("au", {{"au", {}, {}}});
    sentence.tokens[0].words[0].misc = "MWT=Yes";
    EXPECT_EQ(render(rewrite(Document("au", {sentence}), {})), "1-1:au{1:au@0}");
}

TEST(MWTRewrite, ExpandsAndRenumbersEverySentence) {
    const std::string text = "Il au marché y. z ab";
    Document doc(text, {sentence_of("Il au marché y.", {{"Il", {}, {}}, {"au", kMark, {}},
                                                        {"marché", std::string("A=1"), {}},
                                                        {"y", {}, {"y1", "y2"}}}),
                        sentence_of("z ab", {{"z", {}, {}}, {"ab", kMark, {}}})});
    doc.set_lang(std::string("fr"));
    const Document out = rewrite(doc, {{"au", "à le"}, {"ab", "a b"}});
    EXPECT_TRUE(out.same_storage(doc));
    EXPECT_EQ(render(doc), "1-1:Il{1:Il@0} 2-3:au{2:à 3:le} 4-4:marché[A=1]{4:marché@6} "
                           "5-6:y{5:y1 6:y2} | 1-1:z{1:z@0} 2-3:ab{2:a 3:b}");
    // Expanded words carry their text alone; kept words keep their tags, not their relations.
    const Word a = doc.sentences().at(0).words().at(1);
    EXPECT_FALSE(a.upos() || a.misc() || a.head() || a.deps());
    const Word marche = doc.sentences().at(0).words().at(3);
    EXPECT_EQ(marche.upos(), std::string("X"));
    EXPECT_EQ(marche.misc(), std::string("A=1"));
    EXPECT_FALSE(marche.head() || marche.deprel() || marche.deps());
    EXPECT_EQ(doc.lang(), std::string("fr"));
    EXPECT_EQ(doc.text(), text);
}

TEST(MWTRewrite, ManualExpansionsAndTokensWithoutWords) {
    SentenceInput sentence = sentence_of("du pain b", {{"du", kMark, {}}, {"pain", {}, {"pa", "in"}},
                                                       {"b", {}, {}}});
    TokenInput& manual = sentence.tokens[1];
    manual.manual_expansion = true;
    manual.words[0].lemma = "pa";
    sentence.tokens[2].words.clear();
    Document doc("du pain b", {sentence});
    rewrite(doc, {{"du", "d e l"}});
    // The manual token moves as a whole; the wordless token gets one word with its offsets.
    EXPECT_EQ(render(doc), "1-3:du{1:d 2:e 3:l} 4-5:pain{4:pa 5:in} 6-6:b{6:b@8}");
    const Token moved = doc.sentences().at(0).tokens().at(1);
    EXPECT_FALSE(moved.manual_expansion().has_value());
    EXPECT_EQ(moved.words().at(0).lemma(), std::string("pa"));
    for (int i = 0; i < 2; ++i) {
        EXPECT_FALSE(moved.words().at(i).head() || moved.words().at(i).deprel() ||
                     moved.words().at(i).deps());
    }
}

TEST(MWTRewrite, EmptyWordsFollowTheirWord) {
    SentenceInput sentence = sentence_of("a du b c", {{"a", {}, {}}, {"du", kMark, {}}, {"b", {}, {}},
                                                      {"c", {}, {}}});
    auto empty = [](int id, int index) {
        WordInput word;
        word.id = id;
        word.empty_index = index;
        word.text = "E" + std::to_string(id) + "." + std::to_string(index);
        word.head = 1;
        word.deps = "1:dep";
        word.lemma = "e";
        return word;
    };
    // After old words 0, 2 (the expanded token), 3 and 9 (no such word).
    sentence.empty_words = {empty(0, 1), empty(2, 1), empty(3, 1), empty(3, 2), empty(9, 1)};
    Document doc("a du b c", {sentence});
    doc.storage()->add_empty_word(0, empty(1, 1));  // added after the build: carried over too
    rewrite(doc, {{"du", "de le"}});
    std::string order;
    const WordSequence all = doc.sentences().at(0).all_words();
    for (std::uint64_t i = 0; i < all.size(); ++i) {
        const Word w = all.at(i);
        order += " " + w.text() + (w.empty_index() ? "@" + std::to_string(w.id()) : "");
        if (w.empty_index()) {
            EXPECT_FALSE(w.head() || w.deps()) << w.text();
            EXPECT_EQ(w.lemma(), std::string("e"));
        }
    }
    EXPECT_EQ(order, " E0.1@0 a E1.1@1 de le E2.1@3 b E3.1@4 E3.2@4 c E9.1@5");
}

TEST(MWTRewrite, FailuresLeaveTheDocumentUnchanged) {
    Document doc("au du", {sentence_of("au du", {{"au", kMark, {}}, {"du", kMark, {}}})});
    const std::string before = doc.to_conll();
    const Token held = doc.tokens().at(1);
    int calls = 0;
    EXPECT_THROW(rewrite(doc, {{"au", "à le"}}, &calls), std::runtime_error);
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(doc.to_conll(), before);
    EXPECT_EQ(held.text(), "du");
    // Manual-expansion words numbered below their token come out below 1.
    SentenceInput sentence = sentence_of("x y", {{"x", {}, {}}, {"y", {}, {}}});
    sentence.tokens[1].id_start = sentence.tokens[1].id_end = 5;
    sentence.tokens[1].manual_expansion = true;
    sentence.tokens[1].words[0].id = 1;
    Document refused("x y", {sentence});
    const std::string refused_before = refused.to_conll();
    try {
        rewrite(refused, {});
        FAIL();
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "a word must have a positive ID and non-empty text");
    }
    EXPECT_EQ(refused.to_conll(), refused_before);
}

TEST(MWTRewrite, EntitiesFollowTagsAndASecondPassOnlyRenumbers) {
    SentenceInput sentence = sentence_of("New York au", {{"New", {}, {}}, {"York", {}, {}}, {"au", kMark, {}}});
    sentence.tokens[0].ner = "B-LOC";
    sentence.tokens[1].ner = "E-LOC";
    Document doc("New York au", {sentence});
    rewrite(doc, {{"au", "à le"}});
    ASSERT_EQ(doc.ents().size(), 1u);
    EXPECT_EQ(doc.ents().at(0).text(), "New York");
    const std::string once = doc.to_conll();
    int calls = 0;
    rewrite(doc, {}, &calls);
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(doc.to_conll(), once);
    EXPECT_EQ(rewrite(Document(""), {}).sentences().size(), 0u);
}

}  // namespace
}  // namespace quelbin
