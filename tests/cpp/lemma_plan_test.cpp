// The lemmatizer over documents: one word at a time and in bulk against the
// eager reference, overwriting, and what a failing batch leaves behind.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "fixtures.hpp"
#include "model/json.hpp"
#include "quelbin/errors.hpp"
#include "quelbin/lemmatizer.hpp"
#include "quelbin/model_bundle.hpp"
#include "seq2seq/lemma_impl.hpp"

namespace quelbin {
namespace {

std::filesystem::path bundle(const std::string& name) { return testing::fixture_path("lemma", name); }

struct Case {
    std::string word;
    std::optional<std::string> upos;
    std::string single;
    std::string batched;
};

std::vector<Case> reference_cases() {
    const detail::JsonValue root = detail::load_json(bundle("reference.json"));
    std::vector<Case> cases;
    for (const detail::JsonValue& item : root.at("cases", "").as_array("")) {
        Case c;
        c.word = item.at("word", "").as_string("");
        const detail::JsonValue& upos = item.at("upos", "");
        if (!upos.is_null()) c.upos = upos.as_string("");
        c.single = item.at("single", "").as_string("");
        c.batched = item.at("batched", "").as_string("");
        cases.push_back(c);
    }
    return cases;
}

// Documents of one sentence each, holding the cases [begin, end) as one-word
// tokens with their UPOS and a stale lemma.
Document document_of(const std::vector<Case>& cases, std::size_t begin, std::size_t end) {
    SentenceInput sentence;
    int id = 0;
    for (std::size_t i = begin; i < end; ++i) {
        if (cases[i].word.empty()) continue;  // documents cannot hold empty words
        TokenInput token;
        token.text = cases[i].word;
        token.id_start = token.id_end = ++id;
        WordInput word;
        word.id = id;
        word.text = cases[i].word;
        word.upos = cases[i].upos;
        word.lemma = "stale";
        token.words.push_back(word);
        sentence.tokens.push_back(token);
    }
    return Document("", std::vector<SentenceInput>{sentence});
}

std::vector<std::string> lemmas_of(const Document& document) {
    std::vector<std::string> out;
    const WordSequence words = document.words();
    for (std::uint64_t i = 0; i < words.size(); ++i) out.push_back(words.at(i).lemma().value_or("<none>"));
    return out;
}

std::vector<std::string> expected(const std::vector<Case>& cases, std::size_t begin, std::size_t end,
                                  bool batched) {
    std::vector<std::string> out;
    for (std::size_t i = begin; i < end; ++i) {
        if (!cases[i].word.empty()) out.push_back(batched ? cases[i].batched : cases[i].single);
    }
    return out;
}

TEST(LemmaPlan, LemmatizeMatchesReference) {
    const LemmaPlan plan(bundle("model"), true);
    EXPECT_TRUE(plan.uses_pos());
    EXPECT_EQ(plan.bundle().processor(), "lemma");
    const std::vector<Case> cases = reference_cases();
    ASSERT_GT(cases.size(), 40u);
    for (const Case& c : cases) EXPECT_EQ(plan.lemmatize(c.word, c.upos), c.single) << c.word;
}

TEST(LemmaPlan, ProcessAndBulkMatchReference) {
    const LemmaPlan plan(bundle("model"), false);
    const std::vector<Case> cases = reference_cases();
    const std::size_t third = cases.size() / 3;
    const std::vector<std::pair<std::size_t, std::size_t>> parts = {
        {0, third}, {third, third}, {third, 2 * third}, {2 * third, cases.size()}};

    for (const auto& [b, e] : parts) {
        Document doc = document_of(cases, b, e);
        const Document out = plan.process(doc);
        EXPECT_TRUE(out.same_storage(doc));
        EXPECT_EQ(lemmas_of(doc), expected(cases, b, e, false));
    }

    std::vector<Document> docs;
    for (const auto& [b, e] : parts) docs.push_back(document_of(cases, b, e));
    docs.push_back(Document("no sentences"));
    const std::vector<Document> originals = docs;
    const std::vector<Document> out = plan.process_bulk(docs);
    ASSERT_EQ(out.size(), docs.size());
    for (std::size_t i = 0; i < parts.size(); ++i) {
        EXPECT_TRUE(out[i].same_storage(originals[i]));
        EXPECT_EQ(lemmas_of(out[i]), expected(cases, parts[i].first, parts[i].second, true));
    }
    EXPECT_TRUE(plan.process_bulk({}).empty());
}

TEST(LemmaPlan, FailingBatchWritesNothing) {
    const LemmaPlan plan(bundle("bad_edit"), false);
    const std::vector<Case> cases = {{"hit", std::nullopt, "", ""}, {"miss", std::nullopt, "", ""}};
    Document bulk = document_of(cases, 0, 2);
    EXPECT_THROW(plan.process_bulk({bulk}), LemmaModelError);
    EXPECT_EQ(lemmas_of(bulk), (std::vector<std::string>{"stale", "stale"}));
    // One word at a time, the words before the failure keep their new lemmas.
    Document single = document_of(cases, 0, 2);
    try {
        plan.process(single);
        FAIL();
    } catch (const LemmaModelError& e) {
        EXPECT_STREQ(e.what(), "seq2seq returned an unknown lemma edit class");
    }
    EXPECT_EQ(lemmas_of(single), (std::vector<std::string>{"h", "stale"}));
}

TEST(LemmaPlan, DictionaryOnlyStoresAValueForEveryWord) {
    const LemmaPlan plan(bundle("dict"), false);
    EXPECT_FALSE(plan.uses_pos());
    const std::vector<Case> cases = {{"la", std::string("DET"), "", ""},
                                     {"la", std::nullopt, "", ""},
                                     {"marché", std::string("NOUN"), "", ""},
                                     {"Il", std::nullopt, "", ""}};
    Document doc = document_of(cases, 0, cases.size());
    plan.process(doc);
    EXPECT_EQ(lemmas_of(doc), (std::vector<std::string>{"le", "la", "marché", "il"}));
    Document bulk = document_of(cases, 0, cases.size());
    plan.process_bulk({bulk});
    EXPECT_EQ(lemmas_of(bulk), lemmas_of(doc));
}

TEST(LemmaPlan, BatchListsMustAgree) {
    const LemmaPlan::Impl impl(bundle("dict"), false);
    try {
        impl.lemmatize_many({"a", "b"}, {std::nullopt});
        FAIL();
    } catch (const LemmaModelError& e) {
        EXPECT_STREQ(e.what(), "lemma word and POS batches must have equal lengths");
    }
    EXPECT_EQ(impl.lemmatize_many({"la", ""}, {std::string("DET"), std::nullopt}),
              (std::vector<std::string>{"le", "_"}));
}

TEST(LemmaPlan, MoveLeavesTheSourceEmpty) {
    LemmaPlan a(bundle("dict"), false);
    LemmaPlan b(std::move(a));
    EXPECT_EQ(b.lemmatize("la", std::string("DET")), "le");
    LemmaPlan c(bundle("model"), false);
    c = std::move(b);
    EXPECT_FALSE(c.uses_pos());
    EXPECT_THROW(LemmaPlan(bundle("mwt_dict"), false), LemmaModelError);
}

}  // namespace
}  // namespace quelbin
