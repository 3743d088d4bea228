// The document handle, the row views and the sequences: indexing, slicing and
// reversal, the ROOT word, setter validation, and views kept across edits.
#include <quelbin/document.hpp>

#include <gtest/gtest.h>

#include <climits>
#include <functional>
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

// Runs fn and checks that it throws E with exactly the message.
template <typename E>
void expect_error(const std::function<void()>& fn, const std::string& message) {
    try {
        fn();
    } catch (const E& e) {
        EXPECT_EQ(std::string(e.what()), message);
        return;
    } catch (const std::exception& e) {
        ADD_FAILURE() << "wrong exception type, message: " << e.what();
        return;
    }
    ADD_FAILURE() << "no exception, expected: " << message;
}

std::vector<std::string> token_texts(const TokenSequence& seq) {
    std::vector<std::string> out;
    for (std::uint64_t i = 0; i < seq.size(); ++i) out.push_back(seq.at(static_cast<std::int64_t>(i)).text());
    return out;
}

std::vector<std::string> word_labels(const WordSequence& seq) {
    std::vector<std::string> out;
    for (std::uint64_t i = 0; i < seq.size(); ++i) {
        const Word w = seq.at(static_cast<std::int64_t>(i));
        std::string label = std::to_string(w.id());
        if (w.empty_index()) label += "." + std::to_string(*w.empty_index());
        out.push_back(label);
    }
    return out;
}

// One sentence of the twenty tokens t0 ... t19.
Document twenty_tokens() {
    std::vector<std::string> texts;
    for (int i = 0; i < 20; ++i) texts.push_back("t" + std::to_string(i));
    return Document("", {make_sentence(texts)});
}

TEST(DocumentHandle, ConstructorsAndTextReads) {
    const Document empty("");
    EXPECT_EQ(empty.codepoint_count(), 0u);
    EXPECT_EQ(empty.sentences().size(), 0u);
    EXPECT_FALSE(empty.lang().has_value());
    EXPECT_EQ(empty.to_conll(), "");

    // a, e-acute, euro sign, an emoji: 1, 2, 3 and 4 bytes.
    const Document doc("a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
    EXPECT_EQ(doc.codepoint_count(), 4u);
    EXPECT_EQ(doc.byte_offset(2), 3u);
    EXPECT_EQ(doc.byte_offset(4), 10u);
    expect_error<std::out_of_range>([&] { doc.byte_offset(5); },
                                    "code point index is outside the document");
    expect_error<std::out_of_range>([&] { doc.byte_offset(UINT64_MAX); },
                                    "code point index is outside the document");

    expect_error<std::invalid_argument>([] { Document(std::shared_ptr<DocumentStorage>()); },
                                        "a document storage pointer cannot be null");
    expect_error<std::invalid_argument>([] { Document("\xC0\x80"); },
                                        "invalid UTF-8 sequence at byte offset 0");
    expect_error<std::invalid_argument>(
        [] {
            SentenceInput s = make_sentence({"x"});
            s.tokens[0].id_start = 0;
            Document("x", {s});
        },
        "a token has an invalid ID range");

    // Wrapping a storage shares it.
    const Document built("Hi there", {make_sentence({"Hi", "there"})});
    const Document wrapped(built.storage());
    EXPECT_TRUE(wrapped.same_storage(built));
    EXPECT_FALSE(Document("Hi there", {make_sentence({"Hi", "there"})}).same_storage(built));
    EXPECT_EQ(wrapped.num_tokens(), 2u);
    EXPECT_EQ(wrapped.num_words(), 2u);
    EXPECT_EQ(wrapped.text(), "Hi there");
}

TEST(DocumentHandle, LanguageSetAndClear) {
    Document doc("x");
    doc.set_lang(std::string("fr"));
    EXPECT_EQ(doc.lang(), std::optional<std::string>("fr"));
    doc.set_lang(std::string());
    EXPECT_EQ(doc.lang(), std::optional<std::string>(""));
    doc.set_lang(std::nullopt);
    EXPECT_FALSE(doc.lang().has_value());
}

TEST(Sequences, IndexingTable) {
    const Document doc("", {make_sentence({"a", "b", "c"})});
    const TokenSequence seq = doc.tokens();
    struct Case {
        std::int64_t index;
        const char* text;  // null: out of range
    };
    const Case cases[] = {{0, "a"}, {2, "c"}, {-1, "c"}, {-3, "a"},
                          {3, nullptr}, {-4, nullptr}, {INT64_MIN, nullptr}, {INT64_MAX, nullptr}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.index);
        if (c.text) {
            EXPECT_EQ(seq.at(c.index).text(), c.text);
        } else {
            expect_error<std::out_of_range>([&] { seq.at(c.index); }, "index is outside the sequence");
        }
    }
}

TEST(Sequences, SlicesAndReversal) {
    const Document doc = twenty_tokens();
    // Rows 10..19.
    const TokenSequence tail(doc.storage(), SequenceRange{10, 1, 10});
    EXPECT_EQ(token_texts(tail.slice(1, 2, 2)), (std::vector<std::string>{"t11", "t13"}));

    struct Case {
        const char* name;
        TokenSequence seq;
        std::vector<std::string> expected;
    };
    const TokenSequence all = doc.tokens();
    const std::vector<Case> cases = {
        // [::-1] of rows 10..19 starts at its last element.
        {"negative step", tail.slice(9, -1, 10),
         {"t19", "t18", "t17", "t16", "t15", "t14", "t13", "t12", "t11", "t10"}},
        // [8:2:-3] of the whole document.
        {"negative step of three", all.slice(8, -3, 2), {"t8", "t5"}},
        {"reversed", tail.slice(0, 1, 3).reversed(), {"t12", "t11", "t10"}},
        {"reversed twice", tail.slice(0, 1, 3).reversed().reversed(), {"t10", "t11", "t12"}},
        // Slicing a slice composes: [1::2] then [::-1].
        {"slice of a slice", all.slice(1, 2, 10).slice(9, -1, 10).slice(0, 1, 3), {"t19", "t17", "t15"}},
        {"reversed slice of a reversed sequence", all.reversed().slice(2, 2, 3), {"t17", "t15", "t13"}},
        {"empty slice", all.slice(5, 1, 0), {}},
        {"reversed empty", all.slice(5, 1, 0).reversed(), {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(token_texts(c.seq), c.expected);
    }

    // An empty sequence reverses to itself and has no element.
    const TokenSequence none = all.slice(4, 3, 0);
    EXPECT_EQ(none.reversed().range().start, none.range().start);
    EXPECT_EQ(none.reversed().range().step, none.range().step);
    expect_error<std::out_of_range>([&] { none.at(0); }, "index is outside the sequence");
    expect_error<std::out_of_range>([&] { none.at(-1); }, "index is outside the sequence");
    EXPECT_FALSE(none.contains(all.at(4)));
    const TokenSequence defaulted;
    EXPECT_EQ(defaulted.size(), 0u);
    expect_error<std::out_of_range>([&] { defaulted.at(0); }, "index is outside the sequence");
}

TEST(Sequences, ContainsComparesStorageAndStride) {
    const Document doc = twenty_tokens();
    const Document other = twenty_tokens();
    const TokenSequence odd = doc.tokens().slice(1, 2, 10);
    EXPECT_TRUE(odd.contains(doc.tokens().at(19)));
    EXPECT_FALSE(odd.contains(doc.tokens().at(18)));
    EXPECT_FALSE(odd.contains(other.tokens().at(19)));
    EXPECT_TRUE(odd.reversed().contains(doc.tokens().at(1)));
    EXPECT_TRUE(doc.sentences().contains(doc.sentences().at(0)));
    EXPECT_FALSE(doc.sentences().contains(other.sentences().at(0)));

    // Words: the row list is scanned; the sentence row of the view is ignored.
    SentenceInput s = make_sentence({"a", "b"});
    s.empty_words.push_back(make_empty_word(1, 1, "e"));
    const Document withe("", {s});
    const Sentence sent = withe.sentences().at(0);
    const Word empty = sent.empty_words().at(0);
    EXPECT_TRUE(sent.all_words().contains(empty));
    EXPECT_FALSE(sent.words().contains(empty));
    EXPECT_FALSE(withe.words().contains(empty));
    EXPECT_TRUE(sent.words().contains(Word(withe.storage(), 1, 0)));
    EXPECT_FALSE(sent.all_words().contains(Word(withe.storage(), kNoRow, 0)));
}

TEST(Sequences, WordRowsAndOrdering) {
    // Words 1 and 2 (2-3 is "del" = de + el), with empty words added as 2.1,
    // 0.1 and 1.1 in that order.
    SentenceInput s;
    s.tokens.push_back(make_token(1, "a"));
    s.tokens.push_back(make_mwt(2, "del", {"de", "el"}));
    s.empty_words = {make_empty_word(2, 1, "x"), make_empty_word(0, 1, "y"), make_empty_word(1, 1, "z")};
    const Document doc("", {make_sentence({"first"}), s});
    const Sentence sent = doc.sentences().at(1);

    EXPECT_EQ(word_labels(sent.words()), (std::vector<std::string>{"1", "2", "3"}));
    EXPECT_EQ(word_labels(sent.empty_words()), (std::vector<std::string>{"2.1", "0.1", "1.1"}));
    EXPECT_EQ(word_labels(sent.all_words()), (std::vector<std::string>{"0.1", "1", "1.1", "2", "2.1", "3"}));
    EXPECT_EQ(word_labels(sent.all_words().reversed()),
              (std::vector<std::string>{"3", "2.1", "2", "1.1", "1", "0.1"}));
    EXPECT_EQ(word_labels(sent.all_words().slice(1, 2, 3)), (std::vector<std::string>{"1", "2", "3"}));
    EXPECT_EQ(doc.words().size(), 4u);
    EXPECT_EQ(doc.num_words(), 4u);
    EXPECT_EQ(word_labels(doc.words()), (std::vector<std::string>{"1", "1", "2", "3"}));

    const Token mwt = sent.tokens().at(1);
    EXPECT_TRUE(mwt.is_mwt());
    EXPECT_FALSE(sent.tokens().at(0).is_mwt());
    EXPECT_EQ(mwt.id_range(), (std::pair<std::int32_t, std::int32_t>(2, 3)));
    EXPECT_EQ(word_labels(mwt.words()), (std::vector<std::string>{"2", "3"}));
    EXPECT_TRUE(mwt.words().at(-1).parent()->same_view(mwt));
    EXPECT_FALSE(sent.empty_words().at(0).parent().has_value());
    EXPECT_TRUE(sent.empty_words().at(0).sent().same_view(sent));
    EXPECT_EQ(sent.empty_words().at(0).empty_index(), std::optional<std::int32_t>(1));
    EXPECT_FALSE(sent.words().at(0).empty_index().has_value());
    EXPECT_TRUE(mwt.sent().same_view(sent));
    EXPECT_TRUE(sent.doc().same_storage(doc));
}

TEST(Sequences, RowListOutsideItsRangeIsRefused) {
    const Document doc("", {make_sentence({"a", "b", "c"})});
    const auto rows = std::make_shared<const std::vector<std::uint32_t>>(std::vector<std::uint32_t>{2, 0});
    // A range that leaves its row list, and a list entry that is no word row.
    const WordSequence beyond(doc.storage(), SequenceRange{1, 1, 3}, rows);
    EXPECT_EQ(beyond.at(0).text(), "a");
    expect_error<std::out_of_range>([&] { beyond.at(1); }, "invalid word view");
    EXPECT_FALSE(beyond.contains(doc.words().at(1)));
    EXPECT_TRUE(beyond.contains(doc.words().at(0)));
    const WordSequence stale(doc.storage(), std::vector<std::uint32_t>{1, 7});
    EXPECT_EQ(stale.at(0).text(), "b");
    expect_error<std::out_of_range>([&] { stale.at(-1); }, "invalid word view");
    EXPECT_EQ(word_labels(stale.slice(0, 1, 1).reversed()), (std::vector<std::string>{"2"}));
}

TEST(Views, ConstructionChecksRows) {
    const Document doc("", {make_sentence({"a", "b"})});
    const auto& st = doc.storage();
    expect_error<std::out_of_range>([&] { Sentence(st, 1); }, "invalid sentence view");
    expect_error<std::out_of_range>([&] { Sentence(nullptr, 0); }, "invalid sentence view");
    expect_error<std::out_of_range>([&] { Token(st, 2); }, "invalid token view");
    expect_error<std::out_of_range>([&] { Span(st, 0); }, "invalid span view");
    expect_error<std::out_of_range>([&] { Word(st, 2); }, "invalid word view");
    expect_error<std::out_of_range>([&] { Word(nullptr, 0); }, "invalid word view");
    // ROOT needs an existing sentence.
    expect_error<std::out_of_range>([&] { Word(st, kNoRow, kNoRow); }, "invalid word view");
    expect_error<std::out_of_range>([&] { Word(st, kNoRow, 1); }, "invalid word view");
    EXPECT_TRUE(Word(st, kNoRow, 0).is_root());
}

TEST(Views, RootWordIsImmutable) {
    SentenceInput s = make_sentence({"a"});
    const Document doc("", {s});
    Word root(doc.storage(), kNoRow, 0);
    EXPECT_EQ(root.id(), 0);
    EXPECT_EQ(root.text(), "ROOT");
    EXPECT_EQ(root.index(), kNoRow);
    EXPECT_FALSE(root.empty_index() || root.lemma() || root.upos() || root.xpos() || root.feats() ||
                 root.head() || root.deprel() || root.deps() || root.misc() || root.start_char() ||
                 root.end_char() || root.manual_expansion() || root.parent());
    EXPECT_TRUE(root.morphemes().empty());
    EXPECT_TRUE(root.coref_chains().empty());
    EXPECT_TRUE(root.sent().same_view(doc.sentences().at(0)));
    EXPECT_TRUE(root.same_view(Word(doc.storage(), kNoRow, 0)));
    EXPECT_FALSE(root.same_view(doc.words().at(0)));

    const std::vector<std::pair<const char*, std::function<void()>>> setters = {
        {"text", [&] { root.set_text("x"); }},
        {"empty text", [&] { root.set_text(""); }},
        {"lemma", [&] { root.set_lemma(std::string("x")); }},
        {"upos", [&] { root.set_upos(std::string("X")); }},
        {"xpos", [&] { root.set_xpos(std::nullopt); }},
        {"feats", [&] { root.set_feats(std::string("A=B")); }},
        {"head", [&] { root.set_head(1); }},
        {"deprel", [&] { root.set_deprel(std::string("dep")); }},
        {"deps", [&] { root.set_deps(std::string("0:root")); }},
        {"misc", [&] { root.set_misc(std::string("X=Y")); }},
        {"morphemes", [&] { root.set_morphemes({"a"}); }},
    };
    for (const auto& [name, set] : setters) {
        SCOPED_TRACE(name);
        expect_error<std::logic_error>(set, "the synthetic ROOT word is immutable");
    }
    EXPECT_FALSE(root.upos().has_value());
    EXPECT_EQ(root.text(), "ROOT");
}

TEST(Views, WordSetters) {
    Document doc("", {make_sentence({"a", "b"})});
    Word w = doc.words().at(0);
    // Optional string columns: present, empty and absent.
    struct Column {
        const char* name;
        void (Word::*set)(const std::optional<std::string>&);
        std::optional<std::string> (Word::*get)() const;
    };
    const Column columns[] = {
        {"lemma", &Word::set_lemma, &Word::lemma},   {"upos", &Word::set_upos, &Word::upos},
        {"xpos", &Word::set_xpos, &Word::xpos},      {"feats", &Word::set_feats, &Word::feats},
        {"deprel", &Word::set_deprel, &Word::deprel}, {"deps", &Word::set_deps, &Word::deps},
        {"misc", &Word::set_misc, &Word::misc},
    };
    for (const Column& c : columns) {
        SCOPED_TRACE(c.name);
        EXPECT_FALSE((w.*c.get)().has_value());
        (w.*c.set)(std::string(c.name));
        EXPECT_EQ((w.*c.get)(), std::optional<std::string>(c.name));
        // Another view of the same row sees the change.
        EXPECT_EQ((doc.sentences().at(0).words().at(0).*c.get)(), std::optional<std::string>(c.name));
        (w.*c.set)(std::string());
        EXPECT_EQ((w.*c.get)(), std::optional<std::string>(""));
        (w.*c.set)(std::nullopt);
        EXPECT_FALSE((w.*c.get)().has_value());
    }
    // The other word is untouched.
    EXPECT_FALSE(doc.words().at(1).lemma().has_value());

    w.set_head(0);
    EXPECT_EQ(w.head(), std::optional<std::int32_t>(0));
    w.set_head(-7);  // no range check
    EXPECT_EQ(w.head(), std::optional<std::int32_t>(-7));
    w.set_head(INT32_MIN);
    EXPECT_FALSE(w.head().has_value());
    w.set_head(3);
    w.set_head(std::nullopt);
    EXPECT_FALSE(w.head().has_value());

    w.set_text("A");
    expect_error<std::invalid_argument>([&] { w.set_text(""); }, "a word must have non-empty text");
    EXPECT_EQ(w.text(), "A");

    w.set_morphemes({"x", "y"});
    EXPECT_EQ(w.morphemes(), (std::vector<std::string>{"x", "y"}));
    w.set_morphemes({});
    EXPECT_TRUE(w.morphemes().empty());
}

TEST(Views, TokenAndSentenceSetters) {
    Document doc("", {make_sentence({"a", "b"})});
    Token t = doc.tokens().at(0);
    t.set_text("A");
    expect_error<std::invalid_argument>([&] { t.set_text(""); }, "a token must have non-empty text");
    EXPECT_EQ(t.text(), "A");
    // The word keeps its own text.
    EXPECT_EQ(t.words().at(0).text(), "a");

    t.set_misc(std::string());
    EXPECT_EQ(t.misc(), std::optional<std::string>(""));
    t.set_misc(std::nullopt);
    EXPECT_FALSE(t.misc().has_value());
    t.set_ner(std::string("S-PER"));
    EXPECT_EQ(t.ner(), std::optional<std::string>("S-PER"));
    t.set_multi_ner({"S-PER", "O"});
    EXPECT_EQ(t.multi_ner(), (std::vector<std::string>{"S-PER", "O"}));

    const std::optional<bool> flags[] = {true, false, std::nullopt};
    for (const auto& flag : flags) {
        t.set_manual_expansion(flag);
        EXPECT_EQ(t.manual_expansion(), flag);
    }
    t.set_spaces_after("");
    EXPECT_EQ(t.spaces_after(), "");
    t.set_spaces_before("\n\t");
    EXPECT_EQ(t.spaces_before(), "\n\t");

    Sentence s = doc.sentences().at(0);
    EXPECT_EQ(s.sent_id(), std::optional<std::string>("0"));
    EXPECT_FALSE(s.speaker().has_value());
    s.set_sentiment(2);
    EXPECT_EQ(s.sentiment(), std::optional<std::int32_t>(2));
    s.set_sentiment(std::nullopt);
    EXPECT_FALSE(s.sentiment().has_value());

    const ConstituencyTree tree("ROOT", {ConstituencyTree("NP", {ConstituencyTree("a", {})})});
    s.set_constituency(tree);
    EXPECT_TRUE(s.constituency()->same_node(tree));
    EXPECT_TRUE(doc.sentences().at(0).constituency()->same_node(s.constituency().value()));
    s.set_constituency(std::nullopt);
    EXPECT_FALSE(s.constituency().has_value());
}

TEST(Views, SentenceFieldsSpansAndCoref) {
    SentenceInput s = make_sentence({"Ann", "Lee", "runs"});
    s.speaker = "A";
    s.doc_id = "d1";
    s.comments = {"# note"};
    s.tokens[0].ner = "B-PER";
    s.tokens[1].ner = "E-PER";
    s.tokens[1].spaces_before = " ";
    SentenceInput bare;  // no tokens and no text
    Document doc("", {s, bare});

    const Sentence first = doc.sentences().at(0);
    EXPECT_EQ(first.speaker(), std::optional<std::string>("A"));
    EXPECT_EQ(first.doc_id(), std::optional<std::string>("d1"));
    EXPECT_EQ(first.comments(), (std::vector<std::string>{"# note"}));
    EXPECT_EQ(doc.sentences().at(1).text(), "");
    EXPECT_EQ(doc.sentences().at(1).tokens().size(), 0u);
    EXPECT_EQ(doc.sentences().at(1).ents().size(), 0u);

    ASSERT_EQ(doc.ents().size(), 1u);
    const Span span = first.ents().at(0);
    EXPECT_EQ(span.type(), "PER");
    EXPECT_EQ(span.text(), "Ann Lee");
    EXPECT_FALSE(span.start_char().has_value());
    EXPECT_EQ(token_texts(span.tokens()), (std::vector<std::string>{"Ann", "Lee"}));
    EXPECT_EQ(span.words().size(), 2u);
    EXPECT_TRUE(span.sent().same_view(first));
    EXPECT_TRUE(span.doc().same_storage(doc));
    EXPECT_TRUE(span.same_view(doc.ents().at(0)));

    doc.set_coref({CorefChain(0, {CorefMention(0, {0, std::nullopt}, {2, std::nullopt})}, "Ann Lee", 0)});
    ASSERT_EQ(doc.coref().size(), 1u);
    const std::vector<CorefAttachment> attached = first.words().at(1).coref_chains();
    ASSERT_EQ(attached.size(), 1u);
    EXPECT_EQ(attached[0].chain(), doc.coref()[0]);
    EXPECT_FALSE(attached[0].is_start());
    EXPECT_TRUE(attached[0].is_end());
    EXPECT_TRUE(attached[0].is_representative());
    EXPECT_TRUE(first.words().at(2).coref_chains().empty());

    // rebuild_entities picks up changed tags through the document.
    doc.tokens().at(2).set_ner(std::string("S-LOC"));
    doc.rebuild_entities();
    EXPECT_EQ(doc.ents().size(), 2u);
    EXPECT_EQ(doc.ents().at(-1).text(), "runs");
}

TEST(Views, StaleViewsAfterReplaceAndReset) {
    SentenceInput s1 = make_sentence({"a", "b", "c"});
    s1.tokens[0].ner = "S-PER";
    Document doc("", {s1, make_sentence({"d", "e"})});
    const Sentence second = doc.sentences().at(1);
    const Token last_token = doc.tokens().at(4);
    const Word last_word = doc.words().at(4);
    const Span span = doc.ents().at(0);
    const Word root(doc.storage(), kNoRow, 1);
    const WordSequence words = doc.words();
    const TokenSequence tokens = doc.tokens();

    doc.storage()->replace({make_sentence({"z"})});

    // Rows that still exist read the new tables; vanished rows refuse.
    EXPECT_EQ(doc.tokens().at(0).text(), "z");
    const std::vector<std::pair<const char*, std::function<void()>>> sentence_reads = {
        {"text", [&] { second.text(); }},
        {"tokens", [&] { second.tokens(); }},
        {"all_words", [&] { second.all_words(); }},
        {"set_sentiment", [&] { Sentence(second).set_sentiment(1); }},
        {"to_conll", [&] { second.to_conll(); }},
    };
    for (const auto& [name, read] : sentence_reads) {
        SCOPED_TRACE(name);
        expect_error<std::out_of_range>(read, "invalid sentence view");
    }
    expect_error<std::out_of_range>([&] { last_token.text(); }, "invalid token view");
    expect_error<std::out_of_range>([&] { Token(last_token).set_ner(std::string("O")); },
                                    "invalid token view");
    expect_error<std::out_of_range>([&] { last_word.text(); }, "invalid word view");
    expect_error<std::out_of_range>([&] { Word(last_word).set_upos(std::string("X")); },
                                    "invalid word view");
    expect_error<std::out_of_range>([&] { last_word.parent(); }, "invalid word view");
    expect_error<std::out_of_range>([&] { span.text(); }, "invalid span view");
    expect_error<std::out_of_range>([&] { root.text(); }, "invalid word view");
    // Sequences made before the edit keep their old range.
    EXPECT_EQ(words.at(0).text(), "z");
    expect_error<std::out_of_range>([&] { words.at(3); }, "invalid word view");
    expect_error<std::out_of_range>([&] { tokens.at(-1); }, "invalid token view");

    // Generated empty words disappear on reset; views of them turn stale.
    Document gen("", {make_sentence({"a"})});
    gen.storage()->add_empty_word(0, make_empty_word(1, 1, "e"));
    const WordSequence empties = gen.sentences().at(0).empty_words();
    const Word empty = empties.at(0);
    EXPECT_EQ(empty.text(), "e");
    gen.storage()->reset_generated_empty_words();
    expect_error<std::out_of_range>([&] { empty.id(); }, "invalid word view");
    expect_error<std::out_of_range>([&] { empties.at(0); }, "invalid word view");
    EXPECT_EQ(gen.sentences().at(0).empty_words().size(), 0u);
}

}  // namespace
}  // namespace quelbin
