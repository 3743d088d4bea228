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
#include <sstream>
#include <thread>

#include "encoders/transformer_run.hpp"
#include "fixtures.hpp"

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
    EXPECT_EQ(error_of([&] { detail::run_transformer(*tiny, {4, 99, 5}, {}); }).rfind(failed, 0), 0u);
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

}  // namespace
}  // namespace quelbin
