// The character language model against the eager reference's rows, its id
// sequences, and the checks of its loader in their order.
#include <gtest/gtest.h>

#include <ATen/Parallel.h>
#include <ATen/ops/equal.h>
#include <c10/util/Exception.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "encoders/native_charlm.hpp"
#include "fixtures.hpp"
#include "model/json.hpp"
#include "quelbin/charlm.hpp"
#include "quelbin/errors.hpp"
#include "quelbin/model_bundle.hpp"

namespace quelbin {
namespace {

using Sentences = std::vector<std::vector<std::string>>;

std::filesystem::path fixture(const std::string& name) { return testing::fixture_path("charlm", name); }

detail::JsonValue read_json(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return detail::parse_json(text.str());
}

Sentences fixture_sentences() {
    Sentences out;
    const detail::JsonValue json = read_json(fixture("sentences.json"));
    for (const auto& sentence : json.at("sentences", "").as_array("")) {
        out.emplace_back();
        for (const auto& word : sentence.as_array("")) out.back().push_back(word.as_string(""));
    }
    return out;
}

// A model of its own bundle, or one section of a bundle with the prefix.
std::unique_ptr<detail::NativeCharLM> load(const std::string& bundle_name, const std::string& prefix = "",
                                           const std::string& member = "") {
    auto bundle = std::make_shared<ModelBundle>(fixture(bundle_name), false);
    const detail::JsonValue assets = detail::parse_json(bundle->assets_json());
    const detail::JsonValue& own = member.empty() ? assets : assets.at("charlm", "").at(member, "");
    return std::make_unique<detail::NativeCharLM>(bundle, prefix, own);
}

// The first difference above 1e-5 between rows and the reference's, or "".
std::string compare(const at::Tensor& rows, const float* expected, std::int64_t words, std::int64_t hidden) {
    if (rows.dim() != 2 || rows.size(0) != words || rows.size(1) != hidden) return "wrong shape";
    const at::Tensor values = rows.contiguous();
    const float* got = values.const_data_ptr<float>();
    for (std::int64_t i = 0; i < words * hidden; ++i) {
        if (std::abs(got[i] - expected[i]) > 1e-5f) {
            return "value " + std::to_string(i) + ": " + std::to_string(got[i]) + " vs " + std::to_string(expected[i]);
        }
    }
    return "";
}

TEST(CharLM, EncodeAndEncodeManyMatchTheReference) {
    const Sentences sentences = fixture_sentences();
    ASSERT_GT(sentences.size(), 256u);  // several groups of sentences
    struct Case {
        const char* name;
        const char* bundle;
        const char* prefix;
        const char* member;
    };
    const Case cases[] = {
        {"forward", "forward", "", ""},
        {"backward", "backward", "", ""},
        {"forward section", "sections", "charmodel_forward.", "forward"},
        {"backward section", "sections", "charmodel_backward.", "backward"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto model = load(c.bundle, c.prefix, c.member);
        const std::vector<float> expected =
            testing::read_f32(fixture(std::string(c.member[0] ? c.member : c.bundle) + "/rows.f32"));
        const std::int64_t hidden = model->hidden_size();
        const std::vector<at::Tensor> many = model->encode_many(sentences);
        ASSERT_EQ(many.size(), sentences.size());
        std::size_t offset = 0;
        for (std::size_t s = 0; s < sentences.size(); ++s) {
            const auto words = static_cast<std::int64_t>(sentences[s].size());
            const float* rows = expected.data() + offset;
            EXPECT_EQ(compare(many[s], rows, words, hidden), "") << "encode_many, sentence " << s;
            EXPECT_EQ(compare(model->encode(sentences[s]), rows, words, hidden), "") << "encode, sentence " << s;
            offset += static_cast<std::size_t>(words * hidden);
        }
        EXPECT_EQ(offset, expected.size());
        EXPECT_TRUE(model->encode_many({}).empty());
    }
}

TEST(CharLM, ResultsDoNotDependOnTheThreadCount) {
    // Two groups of sentences side by side, and single sentences on the caller's thread.
    const Sentences sentences = fixture_sentences();
    const auto model = load("backward");
    const int threads = at::get_num_threads();
    std::vector<at::Tensor> runs[2];
    for (int t = 0; t < 2; ++t) {
        at::set_num_threads(t + 1);
        runs[t] = model->encode_many(sentences);
        for (std::size_t s = 0; s < 20; ++s) runs[t].push_back(model->encode(sentences[s]));
    }
    at::set_num_threads(threads);
    for (std::size_t s = 0; s < runs[0].size(); ++s) EXPECT_TRUE(at::equal(runs[0][s], runs[1][s])) << s;
}

TEST(CharLM, WordsBecomeIdsAndPositions) {
    // Forward vocabulary: <PAD> 0, <UNK> 1, \n 2, ' ' 3, a 4, b 5, c 6, x 7, y 8, é 9, 中 10, 😀 11.
    // Backward vocabulary (no <UNK>, so unknown units take id 1): \n 1, ' ' 2, a 3, b 4, c 5, ..., 😀 10.
    struct Row {
        const char* bundle;
        std::vector<std::string> words;
        std::vector<std::int64_t> ids;
        std::vector<std::int64_t> positions;
    };
    const std::vector<Row> rows = {
        {"ids_forward", {"ab", "c"}, {2, 4, 5, 3, 6, 3}, {3, 5}},
        {"ids_backward", {"ab", "c"}, {1, 5, 2, 4, 3, 2}, {5, 2}},
        {"ids_forward", {}, {2}, {}},
        {"ids_forward", {""}, {2, 3}, {1}},
        {"ids_forward", {"x y", "a\nb"}, {2, 7, 3, 8, 3, 4, 2, 5, 3}, {4, 8}},
        {"ids_forward", {"Qé", "中😀"}, {2, 1, 9, 3, 10, 11, 3}, {3, 6}},
        {"ids_backward", {"Q"}, {1, 1, 2}, {2}},
        {"ids_backward", {"ab", "", "中😀"}, {1, 10, 9, 2, 2, 4, 3, 2}, {7, 4, 3}},
    };
    for (const Row& row : rows) {
        const detail::CharLMInput input = load(row.bundle)->char_input(row.words);
        EXPECT_EQ(input.ids, row.ids) << row.bundle << " " << ::testing::PrintToString(row.words);
        EXPECT_EQ(input.positions, row.positions) << row.bundle << " " << ::testing::PrintToString(row.words);
    }
}

TEST(CharLM, InvalidUtf8NamesTheOffsetInItsWord) {
    for (const char* bundle : {"ids_forward", "ids_backward"}) {
        const auto model = load(bundle);
        try {
            model->encode({"ab", "a\xE2\x82x"});
            ADD_FAILURE() << bundle << ": no error";
        } catch (const std::invalid_argument& error) {
            EXPECT_STREQ(error.what(), "invalid UTF-8 sequence at byte offset 3") << bundle;
        }
    }
}

// The class (most derived first) and message of what loading the bundle throws.
std::string load_failure(const std::filesystem::path& path) {
    try {
        CharLMPlan plan(path, false);
        return "loads";
    } catch (const CharLMModelError& e) {
        return std::string("CharLMModelError: ") + e.what();
    } catch (const ModelBundleError& e) {
        return std::string("ModelBundleError: ") + e.what();
    } catch (const detail::JsonError& e) {
        return std::string("JsonError: ") + e.what();
    }
}

TEST(CharLMPlan, MalformedBundlesFailInCheckOrder) {
    const std::string profile =
        "CharLMModelError: unsupported character language model; hidden size and layer count must be "
        "positive and recurrent dropout must be zero";
    const std::string shapes = "CharLMModelError: character language model tensors do not match its assets";
    const std::vector<std::pair<std::string, std::string>> rows = {
        {"no_config", "JsonError: missing JSON key 'config' at charlm assets"},
        {"hidden_missing", "JsonError: missing JSON key 'char_hidden_dim' at charlm assets.config"},
        {"layers_fractional", "JsonError: expected JSON integer at charlm assets.config.char_num_layers"},
        {"zero_layers_bad_dropout", profile},
        {"zero_hidden", profile},
        {"dropout_nonzero", profile},
        {"dropout_null", "JsonError: expected JSON number at charlm assets.config.char_rec_dropout"},
        {"no_direction", "JsonError: missing JSON key 'is_forward_lm' at charlm assets"},
        {"direction_string", "JsonError: expected JSON boolean at charlm assets.is_forward_lm"},
        {"vocab_id_string", "JsonError: expected JSON integer at charlm assets.vocab._unit2id.a"},
        {"no_space", "CharLMModelError: character language model vocabulary has no start/end symbols"},
        {"no_c_init", "ModelBundleError: tensor is not present in bundle: 'charlstm_c_init'"},
        {"uint16_embedding", "CharLMModelError: ATen view does not support bundle dtype: uint16"},
        {"extra_embedding_row", shapes},
        {"h_init_two_dims", shapes},
        {"c_init_other_shape", shapes},
        {"no_weight_hh_l1", "ModelBundleError: tensor is not present in bundle: 'charlstm.lstm.weight_hh_l1'"},
        {"processor_case", "CharLMModelError: expected a forward/backward_charlm bundle, got 'Forward_charlm'"},
        {"processor_space", "CharLMModelError: expected a forward/backward_charlm bundle, got 'forward_charlm '"},
        {"dropout_missing", "loads"},
        {"weight_hh_wide", "loads"},
        {"id_out_of_range", "loads"},
    };
    for (const auto& [name, expected] : rows) {
        EXPECT_EQ(load_failure(fixture("bad/" + name)), expected) << name;
    }
    // The JSON reader's own error, not re-thrown as the plan's.
    EXPECT_EQ(load_failure(fixture("bad/assets_not_json")).rfind("JsonError: ", 0), 0u);
    // A section's missing tensor is named with its prefix.
    try {
        load("sections", "charmodel_sideways.", "forward");
        ADD_FAILURE() << "a section loaded under a prefix its bundle lacks";
    } catch (const ModelBundleError& e) {
        EXPECT_STREQ(e.what(), "tensor is not present in bundle: 'charmodel_sideways.char_emb.weight'");
    }
}

TEST(CharLMPlan, NetworkFaultsSurfaceAtTheFirstEncoding) {
    for (const char* name : {"weight_hh_wide", "id_out_of_range"}) {
        const CharLMPlan plan(fixture(std::string("bad/") + name), false);
        EXPECT_TRUE(plan.encode({}).empty()) << name;  // no LSTM runs without words
        EXPECT_THROW(plan.encode({"a"}), c10::Error) << name;
    }
}

TEST(CharLMPlan, DirectionComesFromTheAssetsAndMovesWithThePlan) {
    CharLMPlan plan(fixture("bad/backward_assets_in_forward_bundle"), false);
    EXPECT_EQ(plan.bundle().processor(), "forward_charlm");
    EXPECT_FALSE(plan.is_forward());
    CharLMPlan forward(fixture("forward"), false);
    EXPECT_TRUE(forward.is_forward());
    plan = std::move(forward);
    EXPECT_TRUE(plan.is_forward());
    EXPECT_EQ(plan.hidden_size(), 37);
    const std::vector<std::vector<float>> rows = plan.encode({"ab", "c", ""});
    ASSERT_EQ(rows.size(), 3u);
    for (const auto& row : rows) EXPECT_EQ(row.size(), 37u);
}

}  // namespace
}  // namespace quelbin
