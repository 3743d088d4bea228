// The tokenizer's labels, features and documents against the independent
// PyTorch reference (tests/reference/tokenizer.py), single and batched.
#include "tokenize/features.hpp"
#include "tokenize/labelling.hpp"
#include "tokenize/tokenize_text.hpp"

#include "fixtures.hpp"
#include "model/json.hpp"

#include <quelbin/document.hpp>
#include <quelbin/model_bundle.hpp>
#include <quelbin/tokenizer.hpp>

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <sstream>
#include <tuple>
#include <utility>

namespace quelbin::detail {
namespace {

// Labels count as decided where the reference's two best log-probabilities
// differ by more than this.
constexpr double kMargin = 1e-4;

std::string read_text(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
}

using TokenRow = std::tuple<std::string, std::int64_t, std::int64_t, bool>;
using Sentences = std::vector<std::vector<TokenRow>>;

Sentences sentences_of(const DocumentStorage& storage) {
    Sentences sentences(storage.sentence_count());
    for (std::size_t s = 0; s < storage.sentence_count(); ++s) {
        for (std::uint32_t t = storage.sentence_token_offsets[s]; t < storage.sentence_token_offsets[s + 1]; ++t) {
            const std::uint32_t misc = storage.token_misc[t];
            const bool mwt = misc != kAbsentStringId && storage.pool.get(misc) == "MWT=Yes";
            sentences[s].emplace_back(storage.pool.get(storage.token_text[t]), storage.token_start_char[t],
                                      storage.token_end_char[t], mwt);
        }
    }
    return sentences;
}

Sentences sentences_of(const JsonValue& json) {
    Sentences sentences;
    for (const JsonValue& sentence : json.as_array("sentences")) {
        sentences.emplace_back();
        for (const JsonValue& token : sentence.as_array("sentence")) {
            const JsonArray& fields = token.as_array("token");
            sentences.back().emplace_back(fields[0].as_string("text"), fields[1].as_integer("start"),
                                          fields[2].as_integer("end"), fields[3].as_bool("mwt"));
        }
    }
    return sentences;
}

struct Fixture {
    JsonValue cases;
    std::map<std::pair<std::string, bool>, std::unique_ptr<TokenizerPlan::Impl>> plans;

    Fixture() : cases(load_json(testing::fixture_path("tokenizer_reference", "cases.json"))) {}

    // The model of a bundle; with aten_only, without the labeller's prepared
    // heads, so that the network runs in ATen operators.
    const TokenizerPlan::Impl& plan(const std::string& name, bool aten_only = false) {
        auto& slot = plans[{name, aten_only}];
        if (!slot) {
            slot = std::make_unique<TokenizerPlan::Impl>(testing::fixture_path("tokenizer_reference", name), false);
            EXPECT_TRUE(slot->head_weight1.defined()) << name << ": the direct path is not prepared";
            if (aten_only) slot->head_weight1 = at::Tensor();
        }
        return *slot;
    }
};

Fixture& fixture() {
    static Fixture instance;
    return instance;
}

// The plan a reference case names and the paragraphs of its text.
struct CaseInput {
    const TokenizerPlan::Impl& impl;
    std::vector<Paragraph> paragraphs;
};

CaseInput case_input(const JsonValue& c, bool aten_only = false) {
    const TokenizerPlan::Impl& impl = fixture().plan(c.at("bundle", "").as_string("bundle"), aten_only);
    const std::string text =
        read_text(testing::fixture_path("tokenizer_reference", c.at("text", "").as_string("text")));
    return {impl, split_paragraphs(text, impl.skip_newline)};
}

TEST(TokenizeReference, FeaturesEqualTheReference) {
    for (const JsonValue& c : fixture().cases.at("cases", "").as_array("cases")) {
        const std::string& bundle = c.at("bundle", "").as_string("bundle");
        const CaseInput input = case_input(c);
        std::vector<float> features;
        for (const Paragraph& paragraph : input.paragraphs) {
            const std::vector<float> rows = compute_unit_features(input.impl, paragraph);
            features.insert(features.end(), rows.begin(), rows.end());
        }
        const std::vector<float> expected =
            testing::read_f32(testing::fixture_path("tokenizer_reference", c.at("features", "").as_string("")));
        EXPECT_EQ(features, expected) << bundle << " " << c.at("text", "").as_string("");
    }
}

// Both ways of running the network: the direct path and ATen operators.
class TokenizeReferencePaths : public ::testing::TestWithParam<bool> {};

INSTANTIATE_TEST_SUITE_P(Paths, TokenizeReferencePaths, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "AtenOperators" : "DirectPath"; });

TEST_P(TokenizeReferencePaths, LabelsEqualTheReferenceSingleAndBatched) {
    const bool aten_only = GetParam();
    std::size_t compared = 0;
    std::size_t skipped = 0;
    std::size_t windowed = 0;
    std::map<std::int64_t, std::size_t> seen;
    for (const JsonValue& c : fixture().cases.at("cases", "").as_array("cases")) {
        const std::string& bundle = c.at("bundle", "").as_string("bundle");
        const std::string& text_name = c.at("text", "").as_string("text");
        SCOPED_TRACE(bundle + " " + text_name);
        const CaseInput input = case_input(c, aten_only);
        const TokenizerPlan::Impl& impl = input.impl;
        const std::vector<Paragraph>& paragraphs = input.paragraphs;
        const JsonArray& expected = c.at("paragraphs", "").as_array("paragraphs");
        ASSERT_EQ(paragraphs.size(), expected.size());

        std::vector<Labels> single;
        for (std::size_t p = 0; p < paragraphs.size(); ++p) {
            single.push_back(label_paragraph(impl, paragraphs[p]));
            const JsonArray& labels = expected[p].at("labels", "").as_array("labels");
            const JsonArray& margins = expected[p].at("margins", "").as_array("margins");
            ASSERT_EQ(single.back().size(), labels.size()) << "paragraph " << p;
            if (paragraphs[p].size() > kInferenceWindow) ++windowed;
            for (std::size_t i = 0; i < labels.size(); ++i) {
                if (margins[i].as_number("margin") <= kMargin) {
                    ++skipped;
                    continue;
                }
                ++compared;
                ++seen[single.back()[i]];
                if (single.back()[i] != labels[i].as_integer("label")) {
                    ADD_FAILURE() << "paragraph " << p << " unit " << i << ": " << single.back()[i]
                                  << " != " << labels[i].as_integer("label");
                    break;
                }
            }
        }

        // Batched: paragraphs of at most 1000 units in groups of mixed lengths.
        std::vector<std::reference_wrapper<const Paragraph>> group;
        std::vector<std::size_t> positions;
        auto run_group = [&] {
            const std::vector<Labels> batched = label_paragraphs(impl, group);
            ASSERT_EQ(batched.size(), group.size());
            for (std::size_t k = 0; k < group.size(); ++k) {
                EXPECT_EQ(batched[k], single[positions[k]]) << "paragraph " << positions[k] << " batched";
            }
            group.clear();
            positions.clear();
        };
        for (std::size_t p = 0; p < paragraphs.size(); ++p) {
            if (paragraphs[p].size() > kInferenceWindow) continue;
            group.push_back(std::cref(paragraphs[p]));
            positions.push_back(p);
            if (group.size() == 5) run_group();
        }
        if (!group.empty()) run_group();
    }
    // The comparison is meaningful: nearly every label is decided, the labels
    // vary, and the windowed path ran.
    EXPECT_GT(compared, 50000u);
    EXPECT_LT(skipped * 1000, compared);
    for (std::int64_t label = 0; label <= 4; ++label) EXPECT_GT(seen[label], 500u) << "label " << label;
    EXPECT_GT(windowed, 10u);
}

// Paragraphs labelled side by side get the labels each gets alone, whatever their
// lengths (empty, one window, several windows) and neighbours.
TEST(TokenizeReference, SideBySideWindowsEqualSingleParagraphs) {
    std::size_t long_paragraphs = 0;
    std::size_t labelled = 0;
    for (const JsonValue& c : fixture().cases.at("cases", "").as_array("cases")) {
        const std::string& bundle = c.at("bundle", "").as_string("bundle");
        const std::string& text_name = c.at("text", "").as_string("text");
        SCOPED_TRACE(bundle + " " + text_name);
        const CaseInput input = case_input(c);
        const TokenizerPlan::Impl& impl = input.impl;
        const std::vector<Paragraph>& paragraphs = input.paragraphs;
        const Paragraph empty;
        std::vector<std::reference_wrapper<const Paragraph>> list;
        std::vector<const Paragraph*> sources;
        for (std::size_t p = 0; p < paragraphs.size(); ++p) {
            if (p % 3 == 1) {
                list.push_back(std::cref(empty));
                sources.push_back(&empty);
            }
            list.push_back(std::cref(paragraphs[p]));
            sources.push_back(&paragraphs[p]);
            if (paragraphs[p].size() > kInferenceWindow) ++long_paragraphs;
        }
        const std::vector<Labels> together = label_paragraphs_windowed(impl, list);
        ASSERT_EQ(together.size(), list.size());
        for (std::size_t i = 0; i < list.size(); ++i) {
            EXPECT_EQ(together[i], label_paragraph(impl, *sources[i])) << "entry " << i;
            labelled += together[i].size();
        }
    }
    EXPECT_TRUE(label_paragraphs_windowed(fixture().plan(fixture().cases.at("cases", "").as_array("")[0].at("bundle", "").as_string("")), {}).empty());
    EXPECT_GT(long_paragraphs, 10u);
    EXPECT_GT(labelled, 50000u);
}

TEST(TokenizeReference, DocumentsEqualTheReferenceInProcessAndBulk) {
    std::map<std::string, std::vector<const JsonValue*>> by_bundle;
    for (const JsonValue& c : fixture().cases.at("cases", "").as_array("cases")) {
        by_bundle[c.at("bundle", "").as_string("")].push_back(&c);
    }
    std::size_t documents = 0;
    for (const auto& [bundle, cases] : by_bundle) {
        const TokenizerPlan plan(testing::fixture_path("tokenizer_reference", bundle), false);
        std::vector<Document> inputs;
        std::vector<Sentences> expected;
        std::vector<bool> decided;
        for (const JsonValue* c : cases) {
            inputs.emplace_back(read_text(testing::fixture_path("tokenizer_reference", c->at("text", "").as_string(""))));
            expected.push_back(sentences_of(c->at("sentences", "")));
            bool all = true;
            for (const JsonValue& paragraph : c->at("paragraphs", "").as_array("")) {
                for (const JsonValue& margin : paragraph.at("margins", "").as_array("")) all &= margin.as_number("") > kMargin;
            }
            decided.push_back(all);
        }
        const std::vector<Document> bulk = plan.process_bulk(inputs);
        ASSERT_EQ(bulk.size(), inputs.size());
        for (std::size_t d = 0; d < inputs.size(); ++d) {
            SCOPED_TRACE(bundle + " " + cases[d]->at("text", "").as_string(""));
            const Document single = plan.process(inputs[d]);
            EXPECT_EQ(single.lang(), cases[d]->at("language", "").as_string(""));
            EXPECT_EQ(bulk[d].lang(), single.lang());
            EXPECT_EQ(single.text(), inputs[d].text());
            EXPECT_FALSE(single.same_storage(inputs[d]));
            EXPECT_EQ(inputs[d].num_tokens(), 0u) << "the input document changed";
            const Sentences actual = sentences_of(*single.storage());
            EXPECT_EQ(sentences_of(*bulk[d].storage()), actual);
            if (decided[d]) {
                EXPECT_EQ(actual, expected[d]);
                ++documents;
            }
        }
    }
    EXPECT_GT(documents, 50u);
}

}  // namespace
}  // namespace quelbin::detail
