// The mwt and lemma processors over writer-made bundles: their surface, and the
// two stages run one document at a time and in bulk over tokenized documents.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "fixtures.hpp"
#include "model/json.hpp"
#include "quelbin/errors.hpp"
#include "quelbin/model_bundle.hpp"
#include "quelbin/mwt.hpp"
#include "quelbin/pipeline.hpp"

namespace quelbin {
namespace {

std::filesystem::path bundle(const std::string& name) { return testing::fixture_path("lemma", name); }

using Names = std::vector<std::string>;

// A document as the tokenizer leaves it: one word per token, multi-word tokens
// marked in the MISC of the token and of its word.
Document tokenized(const std::string& text, const std::vector<std::vector<std::string>>& sentences) {
    std::vector<SentenceInput> records;
    const std::vector<std::string> marked = {"au", "du", "Du", "aux"};
    std::size_t cursor = 0;
    for (const auto& tokens : sentences) {
        SentenceInput sentence;
        int id = 0;
        for (const std::string& t : tokens) {
            const std::size_t at = text.find(t, cursor);
            cursor = at + t.size();
            TokenInput token;
            token.text = t;
            token.id_start = token.id_end = ++id;
            token.start_char = static_cast<std::uint32_t>(Utf8Text(text.substr(0, at)).codepoint_count());
            token.end_char = *token.start_char + static_cast<std::uint32_t>(Utf8Text(t).codepoint_count());
            if (std::find(marked.begin(), marked.end(), t) != marked.end()) token.misc = "MWT=Yes";
            WordInput word;
            word.id = id;
            word.text = t;
            word.misc = token.misc;
            token.words.push_back(word);
            sentence.tokens.push_back(token);
        }
        records.push_back(sentence);
    }
    return Document(text, records);
}

std::vector<std::string> annotated(const Document& doc) {
    std::vector<std::string> out;
    const SentenceSequence sentences = doc.sentences();
    for (std::uint64_t s = 0; s < sentences.size(); ++s) {
        const TokenSequence tokens = sentences.at(s).tokens();
        for (std::uint64_t t = 0; t < tokens.size(); ++t) {
            const Token token = tokens.at(t);
            const auto [first, last] = token.id_range();
            std::string line = token.text() + " " + std::to_string(first) + "-" + std::to_string(last) + ":";
            const WordSequence words = token.words();
            for (std::uint64_t w = 0; w < words.size(); ++w) {
                line += " " + std::to_string(words.at(w).id()) + "/" + words.at(w).text() + "/" +
                        words.at(w).lemma().value_or("<none>");
            }
            out.push_back(line);
        }
    }
    return out;
}

TEST(MWTLemmaProcessors, Surface) {
    const MWTProcessor mwt(bundle("mwt_dict"), true);
    EXPECT_TRUE(mwt.implemented());
    EXPECT_EQ(mwt.bundle_path(), std::filesystem::absolute(bundle("mwt_dict")));
    EXPECT_EQ(mwt.expand("DU"), "DE LE");
    EXPECT_EQ(mwt.requirements(), Names{"tokenize"});

    const LemmaProcessor tagged(bundle("model"), false);
    EXPECT_EQ(tagged.requirements(), (Names{"tokenize", "pos"}));
    EXPECT_EQ(processor_specs()[4].requirements, Names{"tokenize"});
    const LemmaProcessor plain(bundle("dict"), false);
    EXPECT_EQ(plain.requirements(), Names{"tokenize"});
    EXPECT_EQ(plain.lemmatize("la", std::string("DET")), "le");
    EXPECT_TRUE(plain.bundle_path().has_value());

    // Bundles of the other kind are refused with the kind's own error.
    EXPECT_THROW(MWTProcessor(bundle("dict"), false), MWTModelError);
    EXPECT_THROW(LemmaProcessor(bundle("mwt_dict"), false), LemmaModelError);
    // Without a bundle nothing runs, but an empty batch is fine.
    EXPECT_TRUE(MWTProcessor().process_bulk({}).empty());
    EXPECT_THROW(MWTProcessor().process(Document("x")), ProcessorNotImplementedError);
    EXPECT_THROW(LemmaProcessor().process_bulk({Document("x")}), ProcessorNotImplementedError);
}

TEST(MWTLemmaProcessors, PlanProcessExpandsTheExample) {
    const MWTPlan plan(bundle("mwt_dict"), false);
    const Document doc = tokenized("Il va au marché", {{"Il", "va", "au", "marché"}});
    const Document out = plan.process(doc);
    EXPECT_TRUE(out.same_storage(doc));
    EXPECT_EQ(annotated(out), (Names{"Il 1-1: 1/Il/<none>", "va 2-2: 2/va/<none>",
                                     "au 3-4: 3/à/<none> 4/le/<none>", "marché 5-5: 5/marché/<none>"}));
}

TEST(MWTLemmaProcessors, OneDocumentAtATimeAndInBulkAgree) {
    const std::vector<std::shared_ptr<Processor>> stages = {
        std::make_shared<MWTProcessor>(bundle("mwt_dict"), false),
        std::make_shared<LemmaProcessor>(bundle("model"), false)};
    auto make_documents = [] {
        return std::vector<Document>{
            tokenized("Il va au marché. Du pain", {{"Il", "va", "au", "marché"}, {"Du", "pain"}}),
            tokenized("du vin", {{"du", "vin"}}),
            tokenized("", {}),
            tokenized("x les", {{"x", "les"}}),
        };
    };
    std::vector<Document> single = make_documents();
    for (Document& doc : single) {
        for (const auto& stage : stages) doc = stage->process(doc);
    }
    std::vector<Document> bulk = make_documents();
    for (const auto& stage : stages) bulk = stage->process_bulk(bulk);

    ASSERT_EQ(bulk.size(), single.size());
    for (std::size_t i = 0; i < single.size(); ++i) {
        EXPECT_EQ(annotated(bulk[i]), annotated(single[i])) << i;
        EXPECT_EQ(bulk[i].to_conll(), single[i].to_conll()) << i;
    }
    // Every lemma is the eager reference's for the word without a tag.
    std::map<std::string, std::string> reference;
    const detail::JsonValue root = detail::load_json(bundle("reference.json"));
    for (const detail::JsonValue& item : root.at("cases", "").as_array("")) {
        if (item.at("upos", "").is_null()) {
            reference[item.at("word", "").as_string("")] = item.at("single", "").as_string("");
        }
    }
    auto line = [&](const std::string& token, int first, int last, const Names& words) {
        std::string out = token + " " + std::to_string(first) + "-" + std::to_string(last) + ":";
        int id = first;
        for (const std::string& w : words) {
            EXPECT_EQ(reference.count(w), 1u) << w;
            out += " " + std::to_string(id++) + "/" + w + "/" + reference[w];
        }
        return out;
    };
    EXPECT_EQ(annotated(single[0]),
              (Names{line("Il", 1, 1, {"Il"}), line("va", 2, 2, {"va"}), line("au", 3, 4, {"à", "le"}),
                     line("marché", 5, 5, {"marché"}), line("Du", 1, 2, {"De", "le"}),
                     line("pain", 3, 3, {"pain"})}));
    EXPECT_EQ(annotated(single[1]), (Names{line("du", 1, 2, {"de", "le"}), line("vin", 3, 3, {"vin"})}));
    EXPECT_EQ(annotated(single[3]), (Names{line("x", 1, 1, {"x"}), line("les", 2, 2, {"les"})}));
    EXPECT_EQ(reference["Il"], "il");  // from the dictionary's "*" entry
}

}  // namespace
}  // namespace quelbin
