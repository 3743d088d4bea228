// The MWT document rewrite with a scripted expander: marking, splitting into
// words, renumbering, manual expansions, empty words, and failures that leave
// the document as it was.
#include <gtest/gtest.h>

#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "quelbin/document.hpp"
#include "seq2seq/mwt_impl.hpp"

namespace quelbin {
namespace {

using Expansions = std::map<std::string, std::string>;

// One token: its text, MISC and the texts of its words (one word of the
// token's own text when empty).
struct Tok {
    std::string text;
    std::optional<std::string> misc;
    std::vector<std::string> words;
};

// A sentence of tokens numbered from 1, each word with UPOS "X", a head on the
// previous word and a relation, and the token's offsets in `text`.
SentenceInput sentence_of(const std::string& text, const std::vector<Tok>& toks) {
    SentenceInput sentence;
    int id = 0;
    std::uint32_t cursor = 0;
    for (const Tok& t : toks) {
        TokenInput token;
        token.text = t.text;
        token.misc = t.misc;
        const std::size_t at = text.find(t.text, cursor);
        if (at != std::string::npos) {
            token.start_char = static_cast<std::uint32_t>(Utf8Text(text.substr(0, at)).codepoint_count());
            token.end_char = *token.start_char + static_cast<std::uint32_t>(Utf8Text(t.text).codepoint_count());
            cursor = static_cast<std::uint32_t>(at + t.text.size());
        }
        const std::vector<std::string> texts = t.words.empty() ? std::vector<std::string>{t.text} : t.words;
        token.id_start = id + 1;
        for (const std::string& w : texts) {
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

Document rewrite(const Document& document, const Expansions& expansions, int* calls = nullptr) {
    return detail::rewrite_mwt_document(document, [&](const std::string& token) {
        if (calls) ++*calls;
        const auto it = expansions.find(token);
        if (it == expansions.end()) throw std::runtime_error("unexpected token " + token);
        return it->second;
    });
}

std::vector<std::string> word_texts(const Sentence& sentence) {
    std::vector<std::string> out;
    const WordSequence words = sentence.words();
    for (std::uint64_t i = 0; i < words.size(); ++i) out.push_back(words.at(i).text());
    return out;
}

std::vector<int> word_ids(const Sentence& sentence) {
    std::vector<int> out;
    const WordSequence words = sentence.words();
    for (std::uint64_t i = 0; i < words.size(); ++i) out.push_back(words.at(i).id());
    return out;
}

const std::optional<std::string> kMark = std::string("MWT=Yes");

TEST(MWTRewrite, ExpandsAMarkedTokenAndRenumbers) {
    const std::string text = "Il va au marché";
    Document doc(text, {sentence_of(text, {{"Il", {}, {}}, {"va", {}, {}}, {"au", kMark, {}},
                                           {"marché", std::string("SpaceAfter=No"), {}}})});
    doc.set_lang(std::string("fr"));
    const Document out = rewrite(doc, {{"au", "à le"}});
    EXPECT_TRUE(out.same_storage(doc));
    const Sentence s = doc.sentences().at(0);
    ASSERT_EQ(s.tokens().size(), 4u);
    EXPECT_EQ(word_texts(s), (std::vector<std::string>{"Il", "va", "à", "le", "marché"}));
    EXPECT_EQ(word_ids(s), (std::vector<int>{1, 2, 3, 4, 5}));
    const Token au = s.tokens().at(2);
    EXPECT_EQ(au.id_range(), std::make_pair(3, 4));
    EXPECT_FALSE(au.misc().has_value());
    EXPECT_EQ(au.start_char(), 6u);
    EXPECT_EQ(au.end_char(), 8u);
    // Expanded words carry nothing but their text; kept words keep their tags
    // but lose their relations.
    const Word a = au.words().at(0);
    EXPECT_FALSE(a.start_char().has_value());
    EXPECT_FALSE(a.upos().has_value());
    EXPECT_FALSE(a.misc().has_value());
    const Word marche = s.tokens().at(3).words().at(0);
    EXPECT_EQ(marche.upos(), std::string("X"));
    EXPECT_EQ(marche.misc(), std::string("SpaceAfter=No"));
    EXPECT_FALSE(marche.head().has_value());
    EXPECT_FALSE(marche.deprel().has_value());
    EXPECT_FALSE(marche.deps().has_value());
    EXPECT_EQ(marche.start_char(), 9u);
    EXPECT_EQ(doc.lang(), std::string("fr"));
    EXPECT_EQ(doc.text(), text);
}

TEST(MWTRewrite, PiecesAndMisc) {
    struct Case {
        std::string expansion;
        std::string misc;
        std::vector<std::string> words;
        std::optional<std::string> misc_after;
    };
    const std::vector<Case> cases = {
        {"  à   le ", "MWT=Yes", {"à", "le"}, std::nullopt},
        {"", "SpaceAfter=No|MWT=Yes", {"au"}, std::string("SpaceAfter=No")},
        {"   ", "MWT=Yes", {"au"}, std::nullopt},
        {"Au", "A||MWT=Yes|B", {"au"}, std::string("A|B")},
        {"à\tle", "MWT=Yes|MWT=Yes", {"au"}, std::nullopt},
        {"à\xC2\xA0le x", "MWT=Yes|", {"à\xC2\xA0le", "x"}, std::nullopt},
    };
    for (const Case& c : cases) {
        const std::string text = "au";
        Document doc(text, {sentence_of(text, {{"au", c.misc, {}}})});
        rewrite(doc, {{"au", c.expansion}});
        const Sentence s = doc.sentences().at(0);
        EXPECT_EQ(word_texts(s), c.words) << c.expansion;
        EXPECT_EQ(s.tokens().at(0).misc(), c.misc_after) << c.expansion;
        const Word first = s.words().at(0);
        if (c.words.size() == 1) {
            // A one-word result keeps the token's offsets.
            EXPECT_EQ(first.start_char(), 0u);
            EXPECT_EQ(first.end_char(), 2u);
        } else {
            EXPECT_FALSE(first.start_char().has_value());
        }
    }
}

TEST(MWTRewrite, MarkingIsExact) {
    const std::vector<std::pair<std::string, bool>> cases = {
        {"MWT=Yes", true},          {"SpaceAfter=No|MWT=Yes", true}, {"|MWT=Yes|", true},
        {"mwt=yes", false},         {"MWT=Yes ", false},             {" MWT=Yes", false},
        {"MWT=Yes=1", false},       {"MWT=Yes1|", false},            {"", false},
        {"||", false},              {"MWT=YesMWT=Yes", false},       {"X=1|MWT=Yes|Y=2", true},
    };
    for (const auto& [misc, marked] : cases) {
        EXPECT_EQ(detail::misc_marks_mwt(misc), marked) << misc;
        int calls = 0;
        Document doc("au", {sentence_of("au", {{"au", misc, {}}})});
        rewrite(doc, {{"au", "à le"}}, &calls);
        EXPECT_EQ(calls, marked ? 1 : 0) << misc;
        EXPECT_EQ(doc.num_words(), marked ? 2u : 1u) << misc;
    }
    // A token without MISC is never marked, even when its word carries the item.
    SentenceInput sentence = sentence_of("au", {{"au", {}, {}}});
    sentence.tokens[0].words[0].misc = "MWT=Yes";
    Document doc("au", {sentence});
    int calls = 0;
    rewrite(doc, {}, &calls);
    EXPECT_EQ(calls, 0);
}

TEST(MWTRewrite, NumberingAcrossTokensAndSentences) {
    const std::string text = "del x y. z ab";
    Document doc(text, {sentence_of("del x y.", {{"del", kMark, {}}, {"x", {}, {}}, {"y", {}, {"y1", "y2"}}}),
                        sentence_of("z ab", {{"z", {}, {}}, {"ab", kMark, {}}})});
    rewrite(doc, {{"del", "d e l"}, {"ab", "a b"}});
    const Sentence first = doc.sentences().at(0);
    EXPECT_EQ(word_ids(first), (std::vector<int>{1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(first.tokens().at(1).id_range(), std::make_pair(4, 4));
    // A token that already held two words keeps both, renumbered.
    EXPECT_EQ(first.tokens().at(2).id_range(), std::make_pair(5, 6));
    EXPECT_EQ(word_texts(first), (std::vector<std::string>{"d", "e", "l", "x", "y1", "y2"}));
    const Sentence second = doc.sentences().at(1);
    EXPECT_EQ(word_ids(second), (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(second.tokens().at(1).id_range(), std::make_pair(2, 3));
}

TEST(MWTRewrite, ManualExpansionMovesAndLosesRelations) {
    SentenceInput sentence = sentence_of("du pain", {{"du", kMark, {}}, {"pain", {}, {"pa", "in"}}});
    TokenInput& manual = sentence.tokens[1];
    manual.manual_expansion = true;
    manual.words[0].head = 3;
    manual.words[1].head = 2;
    manual.words[0].lemma = "pa";
    Document doc("du pain", {sentence});
    rewrite(doc, {{"du", "d e l"}});
    const Sentence s = doc.sentences().at(0);
    const Token moved = s.tokens().at(1);
    EXPECT_EQ(moved.id_range(), std::make_pair(4, 5));
    EXPECT_FALSE(moved.manual_expansion().has_value());
    EXPECT_EQ(word_ids(s), (std::vector<int>{1, 2, 3, 4, 5}));
    EXPECT_EQ(moved.words().at(0).lemma(), std::string("pa"));
    for (int i = 0; i < 2; ++i) {
        EXPECT_FALSE(moved.words().at(i).head().has_value());
        EXPECT_FALSE(moved.words().at(i).deprel().has_value());
        EXPECT_FALSE(moved.words().at(i).deps().has_value());
    }
}

TEST(MWTRewrite, TokenWithoutWordsGetsOne) {
    SentenceInput sentence = sentence_of("a b", {{"a", {}, {}}, {"b", {}, {}}});
    sentence.tokens[1].words.clear();
    Document doc("a b", {sentence});
    EXPECT_EQ(doc.num_words(), 1u);
    rewrite(doc, {});
    const Sentence s = doc.sentences().at(0);
    EXPECT_EQ(word_texts(s), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(s.words().at(1).start_char(), 2u);
}

TEST(MWTRewrite, EmptyWordsFollowTheirWordAndHeadsStayInTheSentence) {
    SentenceInput sentence = sentence_of("a du b c", {{"a", {}, {}}, {"du", kMark, {}}, {"b", {}, {}}, {"c", {}, {}}});
    auto empty = [](int id, int index, int head) {
        WordInput word;
        word.id = id;
        word.empty_index = index;
        word.text = "E" + std::to_string(id) + "." + std::to_string(index);
        word.head = head;
        word.deps = std::to_string(head) + ":dep";
        word.lemma = "e";
        return word;
    };
    // After old words 0, 2 (the expanded token), 3 and 9 (no such word).
    sentence.empty_words = {empty(0, 1, 4), empty(2, 1, 4), empty(3, 1, 2), empty(3, 2, 1), empty(9, 1, 4)};
    Document doc("a du b c", {sentence});
    // One more added after the build is carried over too.
    doc.storage()->add_empty_word(0, empty(1, 1, 3));
    rewrite(doc, {{"du", "de le"}});

    const Sentence s = doc.sentences().at(0);
    EXPECT_EQ(word_ids(s), (std::vector<int>{1, 2, 3, 4, 5}));
    std::vector<std::string> order;
    const WordSequence all = s.all_words();
    const int count = static_cast<int>(s.words().size());
    for (std::uint64_t i = 0; i < all.size(); ++i) {
        const Word w = all.at(i);
        order.push_back(w.empty_index() ? w.text() + "@" + std::to_string(w.id()) : w.text());
        if (w.head()) {
            EXPECT_GE(*w.head(), 0);
            EXPECT_LE(*w.head(), count);
        }
        if (w.empty_index()) {
            EXPECT_FALSE(w.head().has_value());
            EXPECT_FALSE(w.deps().has_value());
            EXPECT_EQ(w.lemma(), std::string("e"));
        }
    }
    EXPECT_EQ(order, (std::vector<std::string>{"E0.1@0", "a", "E1.1@1", "de", "le", "E2.1@3", "b",
                                               "E3.1@4", "E3.2@4", "c", "E9.1@5"}));
}

TEST(MWTRewrite, ExpanderFailureLeavesTheDocumentUnchanged) {
    const std::string text = "au du";
    Document doc(text, {sentence_of(text, {{"au", kMark, {}}, {"du", kMark, {}}})});
    const std::string before = doc.to_conll();
    const Token held = doc.tokens().at(1);
    int calls = 0;
    EXPECT_THROW(rewrite(doc, {{"au", "à le"}}, &calls), std::runtime_error);
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(doc.to_conll(), before);
    EXPECT_EQ(held.text(), "du");
    EXPECT_EQ(doc.num_words(), 2u);
}

TEST(MWTRewrite, RefusedRebuildLeavesTheDocumentUnchanged) {
    // Manual-expansion words numbered below their token come out below 1.
    SentenceInput sentence = sentence_of("x y", {{"x", {}, {}}, {"y", {}, {}}});
    sentence.tokens[1].id_start = 5;
    sentence.tokens[1].id_end = 5;
    sentence.tokens[1].manual_expansion = true;
    sentence.tokens[1].words[0].id = 1;
    Document doc("x y", {sentence});
    const std::string before = doc.to_conll();
    try {
        rewrite(doc, {});
        FAIL();
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "a word must have a positive ID and non-empty text");
    }
    EXPECT_EQ(doc.to_conll(), before);
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

    Document none("");
    EXPECT_EQ(rewrite(none, {}).sentences().size(), 0u);
}

}  // namespace
}  // namespace quelbin
