// Compiled transformer packages: runs and windows against the eager reference's
// rows, row selection, the output contract, loading checks and concurrent runs.
#include <gtest/gtest.h>

#include <ATen/Parallel.h>
#include <ATen/ops/allclose.h>
#include <ATen/ops/arange.h>
#include <ATen/ops/equal.h>
#include <ATen/ops/from_blob.h>
#include <ATen/ops/tensor.h>

#include <quelbin/errors.hpp>

#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <thread>

#include "encoders/native_transformer.hpp"
#include "encoders/transformer_run.hpp"
#include "fixtures.hpp"
#include "json_writer.hpp"
#include "model/json.hpp"

namespace quelbin {
namespace {

using detail::PackageLoaderPtr;
using Ids = std::vector<std::int64_t>;

std::filesystem::path package(const std::string& name) {
    return testing::fixture_path("transformer", name + ".pt2");
}

PackageLoaderPtr load(const std::string& name, std::uint64_t max_length = 16) {
    return detail::load_transformer_package(package(name), 0, max_length);
}

// The message `call` throws as a TransformerError, or "" when it returns.
std::string error_of(const std::function<void()>& call) {
    try {
        call();
    } catch (const TransformerError& error) {
        return error.what();
    }
    return "";
}

struct Case {
    std::uint64_t max_length;  // 0: one run
    Ids ids, mask;
};

std::vector<Case> fixture_cases() {
    std::ifstream in(testing::fixture_path("transformer", "cases.txt"));
    std::vector<Case> cases;
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        Case c;
        fields >> c.max_length;
        Ids* target = &c.ids;
        for (std::string field; fields >> field;) {
            if (field == "|") target = &c.mask;
            else target->push_back(std::stoll(field));
        }
        cases.push_back(std::move(c));
    }
    return cases;
}

at::Tensor results_of(const PackageLoaderPtr& loader, const Case& c) {
    return c.max_length == 0 ? detail::run_transformer(*loader, c.ids, c.mask)
                             : detail::run_transformer_windows(*loader, c.ids, c.max_length);
}

// Whole runs (with and without a mask) and windows of 10 to 40 ids, among them
// N = L, N = L + 1 and L = 10, N = 13 (windows 0-9 and 5-12).
TEST(TransformerRun, MatchesTheEagerReference) {
    const auto loader = load("tiny");
    std::vector<float> expected = testing::read_f32(testing::fixture_path("transformer", "cases.f32"));
    const auto cases = fixture_cases();
    ASSERT_EQ(cases.size(), 11u);
    std::int64_t offset = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.max_length) + " " + std::to_string(c.ids.size()));
        const at::Tensor got = results_of(loader, c);
        const auto n = static_cast<std::int64_t>(c.ids.size());
        ASSERT_EQ(got.sizes(), (std::vector<std::int64_t>{n, 12}));
        ASSERT_TRUE(got.is_contiguous());
        const at::Tensor want = at::from_blob(expected.data() + offset, {n, 12}, at::kFloat);
        EXPECT_TRUE(at::allclose(got, want, 1e-5, 1e-5));
        offset += n * 12;
    }
    EXPECT_EQ(offset, static_cast<std::int64_t>(expected.size()));
    // A mask of ones is the empty mask.
    const Ids ids = cases[1].ids;
    EXPECT_TRUE(at::equal(detail::run_transformer(*loader, ids, Ids(ids.size(), 1)),
                          detail::run_transformer(*loader, ids, {})));
}

TEST(TransformerRun, RunAndWindowRefusals) {
    const auto tiny = load("tiny");
    const Ids seven(7, 4);
    const std::string failed = "AOTInductor transformer inference failed: ";
    EXPECT_EQ(error_of([&] { detail::run_transformer(*tiny, seven, Ids(6, 1)); }),
              "transformer attention mask length does not match input ids");
    // An id past the vocabulary, or more ids than the model has positions: the
    // package's own bounds checks fail the run.
    EXPECT_EQ(error_of([&] { detail::run_transformer(*tiny, {4, 320, 5}, {}); }).rfind(failed, 0), 0u);
    EXPECT_EQ(error_of([&] { detail::run_transformer(*tiny, Ids(65, 4), {}); }).rfind(failed, 0), 0u);
    // Windows: L from 5 to 9 is too small once the ids do not fit one run.
    EXPECT_EQ(error_of([&] { detail::run_transformer_windows(*tiny, Ids(9, 4), 9); }), "");
    EXPECT_EQ(error_of([&] { detail::run_transformer_windows(*tiny, Ids(10, 4), 9); }),
              "transformer model_max_length is too small for overlapping slices");
    // The encoder is still usable after every failure.
    EXPECT_EQ(detail::run_transformer(*tiny, seven, {}).size(0), 7);

    const std::pair<const char*, const char*> contract[] = {
        {"two_outputs", "AOTInductor transformer must return exactly one tensor"},
        {"float64", "AOTInductor transformer output must be float32"},
        {"flat", "AOTInductor transformer output must have shape [1, subwords, hidden]"},
        {"square", ""},
    };
    for (const auto& [name, message] : contract) {
        const auto loader = load(name);
        EXPECT_EQ(error_of([&] { detail::run_transformer(*loader, seven, {}); }), message) << name;
    }
    // [1, n, n] is a valid output whose width follows the window's length: 10, then 8.
    const auto square = load("square");
    EXPECT_EQ(error_of([&] { detail::run_transformer_windows(*square, Ids(13, 4), 10); }),
              "AOTInductor transformer hidden size changed across slices");
}

TEST(TransformerRun, SelectsEachWordsLastSubword) {
    const at::Tensor hidden = at::arange(14, at::kFloat).view({7, 2});
    const auto rows = [&](const Ids& word_ids, std::size_t words, bool endpoints) {
        const at::Tensor picked = detail::select_word_rows(hidden, word_ids, words, endpoints);
        EXPECT_EQ(picked.size(1), 2);
        Ids out;
        for (std::int64_t r = 0; r < picked.size(0); ++r) {
            out.push_back(static_cast<std::int64_t>(picked[r][0].item<float>()) / 2);
        }
        return out;
    };
    // [CLS] w0 w0 w0 w1 w2 [SEP]: a word of three subwords takes the third.
    const Ids split = {-1, 0, 0, 0, 1, 2, -1};
    EXPECT_EQ(rows(split, 3, false), (Ids{3, 4, 5}));
    EXPECT_EQ(rows(split, 3, true), (Ids{0, 3, 4, 5, 6}));
    EXPECT_EQ(rows({-1, -1}, 0, true), (Ids{0, 1}));
    EXPECT_EQ(rows({-1, -1}, 0, false), Ids{});
    // Words given out of order still come out in word order.
    EXPECT_EQ(rows({-1, 1, 0, 2, 2, 0, -1}, 3, false), (Ids{5, 1, 4}));
    EXPECT_EQ(error_of([&] { detail::select_word_rows(hidden, {-1, 0, 0, 2, 2, 2, -1}, 3, false); }),
              "transformer tokenizer produced no subword for word 1");
    EXPECT_EQ(error_of([&] { detail::select_word_rows(hidden, {-1, 0, -1}, 2, true); }),
              "transformer tokenizer produced no subword for word 1");
    const auto rows_of = detail::tensor_rows(detail::select_word_rows(hidden, split, 3, false));
    EXPECT_EQ(rows_of, (std::vector<std::vector<float>>{{6, 7}, {8, 9}, {10, 11}}));
}

TEST(TransformerRun, LoadingChecksInOrder) {
    const auto missing = testing::fixture_path("transformer", "missing.pt2");
    const auto bundle_dir = testing::fixture_path("transformer", "bundle");
    const auto not_package = bundle_dir / "assets.json";
    const auto threads = static_cast<std::uint64_t>(at::get_num_threads());
    const std::string cannot = "could not load AOTInductor transformer '";
    const struct {
        std::filesystem::path path;
        std::uint64_t threads, max_length;
        std::string message;  // a prefix
    } rows[] = {
        {missing, threads + 1, 4, "AOTInductor transformer model does not exist: " + missing.string()},
        {package("tiny"), threads + 1, 4, "transformer model_max_length must be at least 5"},
        {package("tiny"), threads + 1, 5,
         "intra_op_threads cannot change the process-wide ATen thread pool during "
         "TransformerEncoder construction; call torch.set_num_threads() before constructing "
         "Quelbin models"},
        {not_package, threads, 5, cannot + not_package.string() + "': "},
        {bundle_dir, 0, 5, cannot + bundle_dir.string() + "': "},
        {package("tiny"), threads, 5, ""},
        {package("tiny"), 0, 5, ""},
    };
    for (const auto& row : rows) {
        const std::string got = error_of(
            [&] { detail::load_transformer_package(row.path, row.threads, row.max_length); });
        EXPECT_EQ(got.substr(0, row.message.size()), row.message) << row.path;
        EXPECT_EQ(got.empty(), row.message.empty()) << got;
    }
}

// One loader with one runner serves several threads at once, with the results a
// single thread gets.
TEST(TransformerRun, ConcurrentRunsAgree) {
    const auto loader = load("tiny");
    std::vector<Ids> inputs;
    for (int t = 0; t < 4; ++t) inputs.push_back(Ids(20 + 9 * t, 4 + t));
    std::vector<at::Tensor> serial, parallel(inputs.size());
    for (const Ids& ids : inputs) serial.push_back(detail::run_transformer_windows(*loader, ids, 16));
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < inputs.size(); ++t) {
        threads.emplace_back([&, t] {
            for (int k = 0; k < 5; ++k) {
                parallel[t] = detail::run_transformer_windows(*loader, inputs[t], 16);
            }
        });
    }
    for (auto& thread : threads) thread.join();
    for (std::size_t t = 0; t < inputs.size(); ++t) EXPECT_TRUE(at::equal(serial[t], parallel[t]));
}

// Bundle sections: the fixture bundle, and its sections.json entries.
std::shared_ptr<ModelBundle> fixture_bundle() {
    return std::make_shared<ModelBundle>(testing::fixture_path("transformer", "bundle"), true);
}

const detail::JsonValue& fixture_sections() {
    static const detail::JsonValue sections = [] {
        std::ifstream in(testing::fixture_path("transformer", "sections.json"));
        std::stringstream text;
        text << in.rdbuf();
        return detail::parse_json(text.str());
    }();
    return sections;
}

// "<class>: <message>" of what constructing from the section text throws, or "built".
std::string construction_outcome(const std::shared_ptr<ModelBundle>& bundle, const std::string& text) {
    try {
        detail::NativeTransformer(bundle, detail::parse_json(text));
    } catch (const TransformerError& e) {
        return std::string("TransformerError: ") + e.what();
    } catch (const detail::JsonError& e) {
        return std::string("JsonError: ") + e.what();
    } catch (const WordPieceError& e) {
        return std::string("WordPieceError: ") + e.what();
    } catch (const SubwordError& e) {
        return std::string("SubwordError: ") + e.what();
    }
    return "built";
}

// Each tokenizer type is built from its section, tokenizes to the ids the
// fixture gives by hand and encodes to the reference's rows.
TEST(NativeTransformer, EachTokenizerTypeEncodesLikeTheReference) {
    const auto bundle = fixture_bundle();
    for (const char* name : {"wordpiece", "bpe", "xlmr"}) {
        SCOPED_TRACE(name);
        const detail::JsonValue& entry = fixture_sections().at(name, "");
        const detail::NativeTransformer model(bundle, entry.at("section", ""));
        EXPECT_EQ(model.hidden_size(), 12);
        std::vector<std::string> words;
        for (const auto& w : entry.at("words", "").as_array("")) words.push_back(w.as_string(""));
        Ids ids;
        for (const auto& id : entry.at("ids", "").as_array("")) ids.push_back(id.as_integer(""));
        EXPECT_EQ(model.tokenize(words, true).input_ids, ids);
        EXPECT_EQ(model.tokenize(words, false).input_ids, Ids(ids.begin() + 1, ids.end() - 1));
        std::vector<float> rows;
        for (const auto& v : entry.at("rows", "").as_array("")) rows.push_back(static_cast<float>(v.as_number("")));
        const auto W = static_cast<std::int64_t>(words.size());
        const at::Tensor want = at::from_blob(rows.data(), {W + 2, 12}, at::kFloat);
        const at::Tensor with = model.encode(words, true);
        const at::Tensor without = model.encode(words, false);
        ASSERT_EQ(with.sizes(), (std::vector<std::int64_t>{W + 2, 12}));
        EXPECT_TRUE(at::allclose(with, want, 1e-5, 1e-5));
        EXPECT_TRUE(at::equal(without, with.narrow(0, 1, W)));
        EXPECT_EQ(model.encode({}, false).sizes(), (std::vector<std::int64_t>{0, 12}));
        EXPECT_TRUE(at::equal(model.encode({}, true), model.encode_ids({ids.front(), ids.back()}, {})));
        EXPECT_EQ(model.encode_ids({}, {1, 1}).sizes(), (std::vector<std::int64_t>{0, 12}));
    }
}

TEST(NativeTransformer, SectionRefusalsInOrder) {
    const auto bundle = fixture_bundle();
    std::map<std::string, std::string> base;
    for (const char* name : {"wordpiece", "bpe", "xlmr"}) {
        base[name] = testing::write_json(fixture_sections().at(name, "").at("section", ""));
    }
    const std::string T = "TransformerError: ", J = "JsonError: ";
    const std::string local = T + "transformer artifact must be a bundle-local filename";
    const std::string tok = "assets.transformer.tokenizer";
    const struct {
        const char* base;
        std::string from, to, outcome;
    } rows[] = {
        {"wordpiece", "\"aotinductor\"", "\"onnx\"", T + "unsupported transformer runtime backend"},
        {"wordpiece", "\"aotinductor\"", "1", J + "expected JSON string"},
        {"wordpiece", "\"backend\":\"aotinductor\",", "",
         J + "missing JSON key 'backend' at assets.transformer"},
        {"wordpiece", "\"model.pt2\"", "5", J + "expected JSON string at assets.transformer.artifact"},
        {"wordpiece", "\"model.pt2\"", "\"\"", local},
        {"wordpiece", "\"model.pt2\"", "\"/model.pt2\"", local},
        {"wordpiece", "\"model.pt2\"", "\"bundle/model.pt2\"", local},
        {"wordpiece", "\"model.pt2\"", "\".\"", local},
        {"wordpiece", "\"model.pt2\"", "\"..\"", local},
        {"wordpiece", "\"model.pt2\"", "\"assets.json\"",
         T + "transformer artifact is not listed in the bundle manifest: assets.json"},
        {"wordpiece", "\"hidden_size\":12", "\"hidden_size\":0", T + "assets.transformer.hidden_size must be positive"},
        {"wordpiece", "\"hidden_size\":12", "\"hidden_size\":-1", T + "assets.transformer.hidden_size must be positive"},
        {"wordpiece", "\"hidden_size\":12", "\"hidden_size\":1.5", J + "expected JSON integer at assets.transformer.hidden_size"},
        {"wordpiece", "\"model_max_length\":16", "\"model_max_length\":0",
         T + "assets.transformer.model_max_length must be positive"},
        {"wordpiece", "\"model_max_length\":16", "\"model_max_length\":4",
         T + "transformer model_max_length must be at least 5"},
        {"wordpiece", "\"tokenizer\":{", "\"tokenizer\":[],\"x\":{", J + "expected JSON object at " + tok},
        {"wordpiece", "\"WordPiece\"", "\"wordpiece\"", T + "unsupported native transformer tokenizer type: wordpiece"},
        {"wordpiece", "\"vocabulary\":[\"[PAD]\"", "\"vocabulary\":[1", J + "expected JSON string at " + tok + ".vocabulary[]"},
        {"wordpiece", "\"lowercase\":true", "\"lowercase\":1", J + "expected JSON boolean at " + tok + ".lowercase"},
        {"wordpiece", "\"cls_token\":\"[CLS]\",", "", J + "missing JSON key 'cls_token' at " + tok},
        {"wordpiece", "\"max_input_characters_per_word\":100", "\"max_input_characters_per_word\":0",
         T + tok + ".max_input_characters_per_word must be positive"},
        {"wordpiece", "\"unknown_token\":\"[UNK]\"", "\"unknown_token\":\"[NOPE]\"",
         "WordPieceError: WordPiece vocabulary is missing required token: [NOPE]"},
        {"bpe", "[\"a\",\"b\"]", "[\"a\",\"b\",\"c\"]", T + "byte BPE merge must contain exactly two tokens"},
        {"bpe", "[\"a\",\"b\"]", "[\"a\"]", T + "byte BPE merge must contain exactly two tokens"},
        {"bpe", "[\"a\",\"b\"]", "\"ab\"", J + "expected JSON array at " + tok + ".merges[]"},
        {"bpe", "[\"a\",\"b\"]", "[\"a\",2]", J + "expected JSON string at " + tok + ".merges[][1]"},
        {"bpe", "\"add_prefix_space\":false", "\"add_prefix_space\":0",
         J + "expected JSON boolean at " + tok + ".add_prefix_space"},
        {"bpe", "\"type\":\"ByteBPE\"", "\"type\":\"ByteBPE\",\"x\":0", "built"},
        {"xlmr", "\"AAAAAA==\"", "\"AAAAAA\"", T + "invalid base64 tokenizer charsmap length"},
        {"xlmr", "\"AAAAAA==\"", "\"AAAA=A==\"", T + "invalid base64 tokenizer charsmap"},
        {"xlmr", "\"unknown_id\":3", "\"unknown_id\":\"3\"", J + "expected JSON integer at " + tok + ".unknown_id"},
        {"xlmr", "\"unknown_id\":3", "\"unknown_id\":99", "SubwordError: XLM-R unknown id is out of range"},
        {"xlmr", "\"scores\":[", "\"scores\":[\"x\",", J + "expected JSON number at " + tok + ".scores[]"},
    };
    for (const auto& row : rows) {
        std::string text = base.at(row.base);
        const std::size_t at = text.find(row.from);
        ASSERT_NE(at, std::string::npos) << row.from;
        text.replace(at, row.from.size(), row.to);
        EXPECT_EQ(construction_outcome(bundle, text), row.outcome) << row.from << " -> " << row.to;
    }
}

TEST(NativeTransformer, HiddenSizeMustMatchTheOutput) {
    const auto bundle = fixture_bundle();
    std::string text = testing::write_json(fixture_sections().at("wordpiece", "").at("section", ""));
    text.replace(text.find("\"hidden_size\":12"), 16, "\"hidden_size\":13");
    const detail::NativeTransformer model(bundle, detail::parse_json(text));
    const std::string disagrees = "AOTInductor transformer output hidden size disagrees with assets";
    EXPECT_EQ(error_of([&] { model.encode({"the"}, false); }), disagrees);
    EXPECT_EQ(error_of([&] { model.encode({}, true); }), disagrees);
    EXPECT_EQ(error_of([&] { model.encode_ids({4, 5}, {}); }), disagrees);
    // No rows: nothing to disagree with.
    EXPECT_EQ(model.encode({}, false).sizes(), (std::vector<std::int64_t>{0, 13}));
    EXPECT_EQ(model.encode_ids({}, {}).sizes(), (std::vector<std::int64_t>{0, 13}));
}

TEST(NativeTransformer, Base64Charsmaps) {
    using Bytes = std::vector<std::uint8_t>;
    const std::pair<std::string, Bytes> decoded[] = {
        {"", {}}, {"QQ==", {0x41}}, {"QUI=", {0x41, 0x42}}, {"QUJD", {0x41, 0x42, 0x43}},
        {"QQ==QUI=", {0x41, 0x41, 0x42}}, {"+/+/", {0xFB, 0xFF, 0xBF}}, {"====", {0}},
    };
    for (const auto& [text, bytes] : decoded) EXPECT_EQ(detail::decode_charsmap_base64(text), bytes) << text;
    const std::pair<std::string, std::string> refused[] = {
        {"QUJDRE", "invalid base64 tokenizer charsmap length"},
        {"Q", "invalid base64 tokenizer charsmap length"},
        {"QQ=A", "invalid base64 tokenizer charsmap"},
        {"QQ-_", "invalid base64 tokenizer charsmap"},
        {"QQ Q", "invalid base64 tokenizer charsmap"},
    };
    for (const auto& [text, message] : refused) {
        EXPECT_EQ(error_of([&] { detail::decode_charsmap_base64(text); }), message) << text;
    }
}

}  // namespace
}  // namespace quelbin
