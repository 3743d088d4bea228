// CoNLL-U text of documents and sentences, checked against golden texts.
#include <quelbin/document.hpp>

#include <gtest/gtest.h>

#include <functional>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <vector>

#include "document_builders.hpp"

namespace quelbin {
namespace {

using testing::make_empty_word;
using testing::make_mwt;
using testing::make_sentence;
using testing::make_token;
using testing::make_word;

// One line of ten columns joined with tabs.
std::string row(std::initializer_list<const char*> columns) {
    std::string out;
    for (const char* c : columns) {
        if (!out.empty()) out += '\t';
        out += c;
    }
    return out;
}

std::string lines(std::initializer_list<std::string> items) {
    std::string out;
    for (const std::string& l : items) {
        if (!out.empty()) out += '\n';
        out += l;
    }
    return out;
}

WordInput annotated(int id, const char* text, const char* lemma, const char* upos, int head,
                    const char* deprel) {
    WordInput w = make_word(id, text);
    w.lemma = lemma;
    w.upos = upos;
    w.head = head;
    w.deprel = deprel;
    return w;
}

// Multi-word tokens, empty words stored out of order, morphemes, MISC and
// comments that do and do not suppress the generated header lines.
std::vector<SentenceInput> golden_input() {
    SentenceInput s0;
    s0.comments = {"# newpar"};
    s0.text = "V\xC3\xA1monos al mar.";
    TokenInput vamonos = make_mwt(1, "V\xC3\xA1monos", {});
    vamonos.id_end = 2;
    vamonos.misc = "Note=x";
    vamonos.words = {annotated(1, "Vamos", "ir", "VERB", 0, "root"), annotated(2, "nos", "nos", "PRON", 1, "obj")};
    vamonos.words[0].feats = "Mood=Imp|Person=1";
    TokenInput al = make_mwt(3, "al", {});
    al.id_end = 4;
    al.words = {annotated(3, "a", "a", "ADP", 5, "case"), annotated(4, "el", "el", "DET", 5, "det")};
    TokenInput mar = make_token(5, "mar");
    mar.words[0] = annotated(5, "mar", "mar", "NOUN", 1, "obl");
    mar.words[0].misc = "SpaceAfter=No";
    mar.words[0].morphemes = {"ma", "r"};
    TokenInput dot = make_token(6, ".");
    dot.words[0] = annotated(6, ".", ".", "PUNCT", 1, "punct");
    s0.tokens = {vamonos, al, mar, dot};
    // 1.1 is stored before 0.1; the writer never reorders them.
    WordInput e11 = make_empty_word(1, 1, "ir");
    e11.deps = "1:conj";
    s0.empty_words = {e11, make_empty_word(0, 1, "pro")};

    SentenceInput s1 = make_sentence({"Hola", "mundo"});
    s1.sent_id = "ignored";
    s1.text = "Hola mundo";
    s1.comments = {"# text_en = Hello world", "# sent_id = custom"};
    s1.empty_words = {make_empty_word(1, 1, "E"), make_empty_word(2, 1, "F")};

    SentenceInput s2 = make_sentence({"x"});
    s2.sent_id = "s3";
    s2.text = "";
    WordInput& x = s2.tokens[0].words[0];
    x.lemma = "";   // empty annotations are written as "_"
    x.misc = "_";   // a stored "_" is kept as it is
    x.morphemes = {"a", "b"};
    x.deps = "0:root";
    x.xpos = "Xx";
    return {s0, s1, s2};
}

std::string golden_sentence0() {
    return "# newpar\n# sent_id = 0\n# text = V\xC3\xA1monos al mar.\n" +
           lines({
               row({"1-2", "V\xC3\xA1monos", "_", "_", "_", "_", "_", "_", "_", "Note=x"}),
               row({"1", "Vamos", "ir", "VERB", "_", "Mood=Imp|Person=1", "0", "root", "_", "_"}),
               row({"2", "nos", "nos", "PRON", "_", "_", "1", "obj", "_", "_"}),
               row({"1.1", "ir", "_", "_", "_", "_", "_", "_", "1:conj", "_"}),
               row({"0.1", "pro", "_", "_", "_", "_", "_", "_", "_", "_"}),
               row({"3-4", "al", "_", "_", "_", "_", "_", "_", "_", "_"}),
               row({"3", "a", "a", "ADP", "_", "_", "5", "case", "_", "_"}),
               row({"4", "el", "el", "DET", "_", "_", "5", "det", "_", "_"}),
               row({"5", "mar", "mar", "NOUN", "_", "_", "1", "obl", "_", "SpaceAfter=No|Morphemes=ma,r"}),
               row({"6", ".", ".", "PUNCT", "_", "_", "1", "punct", "_", "_"}),
           });
}

std::string golden_sentence1() {
    return "# text_en = Hello world\n# sent_id = custom\n" +
           lines({
               row({"1", "Hola", "_", "_", "_", "_", "_", "_", "_", "_"}),
               row({"1.1", "E", "_", "_", "_", "_", "_", "_", "_", "_"}),
               row({"2", "mundo", "_", "_", "_", "_", "_", "_", "_", "_"}),
               row({"2.1", "F", "_", "_", "_", "_", "_", "_", "_", "_"}),
           });
}

std::string golden_sentence2() {
    return "# sent_id = s3\n" + row({"1", "x", "_", "_", "Xx", "_", "_", "_", "0:root", "_|Morphemes=a,b"});
}

TEST(Conll, GoldenDocument) {
    const Document doc("", golden_input());
    const std::string expected = golden_sentence0() + "\n\n" + golden_sentence1() + "\n\n" + golden_sentence2();
    EXPECT_EQ(doc.to_conll(), expected);
    EXPECT_EQ(doc.sentences().at(0).to_conll(), golden_sentence0());
    EXPECT_EQ(doc.sentences().at(1).to_conll(), golden_sentence1());
    EXPECT_EQ(doc.sentences().at(2).to_conll(), golden_sentence2());
}

TEST(Conll, HeaderAndEdgeCases) {
    EXPECT_EQ(Document("no sentences").to_conll(), "");

    struct Case {
        const char* name;
        SentenceInput sentence;
        std::string expected;
    };
    SentenceInput no_tokens;
    SentenceInput empty_before_first = make_sentence({"a"});
    empty_before_first.empty_words = {make_empty_word(0, 2, "z")};
    empty_before_first.text = "a";
    SentenceInput mwt_then_empty;
    mwt_then_empty.tokens = {make_mwt(1, "du", {"de", "le"}), make_token(3, "c")};
    mwt_then_empty.empty_words = {make_empty_word(1, 1, "e")};
    mwt_then_empty.text = "du c";
    SentenceInput text_comment = make_sentence({"a"});
    text_comment.comments = {"#text = not a text comment", "# textual"};
    text_comment.text = "a";
    SentenceInput head_only = make_sentence({"a"});
    head_only.tokens[0].words[0].head = 0;
    head_only.tokens[0].words[0].morphemes = {"a"};
    head_only.tokens[0].misc = "";
    head_only.text = "a";

    const std::vector<Case> cases = {
        // Comments and the generated sent_id end in "\n"; no body lines follow.
        {"no tokens", no_tokens, "# sent_id = 0\n"},
        {"empty word 0.x before word 1", empty_before_first,
         "# sent_id = 0\n# text = a\n" +
             lines({row({"0.2", "z", "_", "_", "_", "_", "_", "_", "_", "_"}),
                    row({"1", "a", "_", "_", "_", "_", "_", "_", "_", "_"})})},
        {"empty word after a multi-word token", mwt_then_empty,
         "# sent_id = 0\n# text = du c\n" +
             lines({row({"1-2", "du", "_", "_", "_", "_", "_", "_", "_", "_"}),
                    row({"1", "de", "_", "_", "_", "_", "_", "_", "_", "_"}),
                    row({"2", "le", "_", "_", "_", "_", "_", "_", "_", "_"}),
                    row({"1.1", "e", "_", "_", "_", "_", "_", "_", "_", "_"}),
                    row({"3", "c", "_", "_", "_", "_", "_", "_", "_", "_"})})},
        // Only the six bytes "# text" count; "# textual" does too.
        {"text comment prefixes", text_comment,
         "#text = not a text comment\n# textual\n# sent_id = 0\n" +
             row({"1", "a", "_", "_", "_", "_", "_", "_", "_", "_"})},
        {"head 0 and morphemes without MISC", head_only,
         "# sent_id = 0\n# text = a\n" + row({"1", "a", "_", "_", "_", "_", "0", "_", "_", "Morphemes=a"})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Document("", {c.sentence}).to_conll(), c.expected);
    }

    // Sentence rows count from 0 across the document.
    const Document four("", {no_tokens, no_tokens, no_tokens, make_sentence({"w"})});
    EXPECT_EQ(four.sentences().at(3).to_conll().substr(0, 14), "# sent_id = 3\n");
    EXPECT_EQ(four.to_conll().substr(0, 30), "# sent_id = 0\n\n\n# sent_id = 1\n");
}

TEST(Conll, EditsAndBadStringIds) {
    SentenceInput input = make_sentence({"a", "b"});
    input.text = "a b";
    Document doc("", {input});
    Word w = doc.words().at(1);
    w.set_head(1);
    w.set_deprel(std::string("dep"));
    doc.tokens().at(0).set_text("A");  // token text of a one-word token is not written
    EXPECT_EQ(doc.sentences().at(0).to_conll(),
              "# sent_id = 0\n# text = a b\n" +
                  lines({row({"1", "a", "_", "_", "_", "_", "_", "_", "_", "_"}),
                         row({"2", "b", "_", "_", "_", "_", "1", "dep", "_", "_"})}));

    // A column holding an id outside the pool is refused, not read.
    const std::uint32_t outside = static_cast<std::uint32_t>(doc.storage()->pool.size());
    struct Corruption {
        const char* name;
        std::function<void(DocumentStorage&)> apply;
    };
    const std::vector<Corruption> corruptions = {
        {"lemma", [&](DocumentStorage& d) { d.word_lemma[0] = outside; }},
        {"misc", [&](DocumentStorage& d) { d.word_misc[1] = outside; }},
        {"morpheme", [&](DocumentStorage& d) { d.word_morphemes[0] = {0, outside}; }},
        {"word text", [&](DocumentStorage& d) { d.word_text[0] = kAbsentStringId; }},
        {"comment", [&](DocumentStorage& d) { d.sentence_comments[0] = {outside}; }},
    };
    for (const Corruption& c : corruptions) {
        SCOPED_TRACE(c.name);
        Document broken("", {make_sentence({"a", "b"})});
        c.apply(*broken.storage());
        try {
            broken.to_conll();
            ADD_FAILURE() << "no exception";
        } catch (const std::out_of_range& e) {
            EXPECT_STREQ(e.what(), "invalid string pool identifier");
        }
    }
}

}  // namespace
}  // namespace quelbin
