// The coref forward pass: windows and their framing, subword overrides,
// attention pooling, distance buckets, clustering and the span tie rules.
#include <gtest/gtest.h>

#include <ATen/ops/allclose.h>
#include <ATen/ops/cat.h>
#include <ATen/ops/equal.h>
#include <ATen/ops/linear.h>
#include <ATen/ops/matmul.h>
#include <ATen/ops/softmax.h>
#include <c10/core/InferenceMode.h>

#include <cmath>
#include <limits>
#include <map>

#include "coref/coref_impl.hpp"
#include "fixtures.hpp"

namespace quelbin {
namespace {

const CorefPlan::Impl& impl(const std::string& name) {
    static std::map<std::string, std::unique_ptr<CorefPlan::Impl>> loaded;
    auto& slot = loaded[name];
    if (!slot) slot = std::make_unique<CorefPlan::Impl>(testing::fixture_path("coref", name), false);
    return *slot;
}

// Rows 1 .. n - 2 of one transformer run over the ids.
at::Tensor inner_rows(const CorefPlan::Impl& model, const std::vector<std::int64_t>& ids) {
    const at::Tensor rows = model.transformer->encode_ids(ids, std::vector<std::int64_t>(ids.size(), 1));
    return rows.narrow(0, 1, rows.size(0) - 2);
}

TEST(CorefWindows, CutBackToSentenceStarts) {
    struct Row {
        std::vector<std::int64_t> subword_word;
        std::vector<std::size_t> sentence_ids;
        std::int64_t window_size;
        std::vector<std::pair<std::int64_t, std::int64_t>> windows;
    };
    const Row rows[] = {
        {{}, {}, 6, {}},
        {{0, 1, 2, 3, 4}, {0, 0, 1, 1, 1}, 10, {{0, 5}}},
        // Two sentences of three words: the cut moves back from 4 to 3.
        {{0, 1, 2, 3, 4, 5}, {0, 0, 0, 1, 1, 1}, 6, {{0, 3}, {3, 6}}},
        // No sentence start to cut back to.
        {{0, 1, 2, 3, 4, 5}, {0, 0, 0, 0, 0, 0}, 6, {{0, 4}, {4, 6}}},
        // A word of seven subwords spreads over windows.
        {{0, 0, 0, 0, 0, 0, 0, 1}, {0, 1}, 5, {{0, 3}, {3, 6}, {6, 8}}},
        // Ids compared with the id at the cut only: 0, 1, 0, 0 cuts after word 1.
        {{0, 1, 2, 3}, {0, 1, 0, 0}, 5, {{0, 2}, {2, 4}}},
        // Exactly full: no cut.
        {{0, 1, 2}, {0, 1, 2}, 5, {{0, 3}}},
    };
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        EXPECT_EQ(detail::coref_windows(rows[i].subword_word, rows[i].sentence_ids, rows[i].window_size),
                  rows[i].windows)
            << i;
    }
}

TEST(CorefEncoding, WindowsRunFramedAndApart) {
    const c10::InferenceMode guard;
    // Window size 6: two sentences of three one-subword words run as two windows.
    const auto& plain = impl("plain");
    const auto split = detail::encode_coref_subwords(plain, {"the", "cat", "sat", "on", "a", "mat"}, {0, 0, 0, 1, 1, 1});
    EXPECT_TRUE(at::allclose(split.subword_features,
                             at::cat({inner_rows(plain, {2, 4, 5, 6, 3}), inner_rows(plain, {2, 7, 9, 8, 3})}, 0)));
    EXPECT_FALSE(at::allclose(split.subword_features.narrow(0, 3, 3), inner_rows(plain, {2, 4, 5, 6, 7, 9, 8, 3}).narrow(0, 3, 3)));

    // With cls and sep ids of -1 both ends are eos.
    const auto& eos = impl("eos_frame");
    const auto framed = detail::encode_coref_subwords(eos, {"the", "cat"}, {0, 0});
    EXPECT_TRUE(at::allclose(framed.subword_features, inner_rows(eos, {3, 4, 5, 3})));

    // An override replaces the tokenizer's ids for that exact text only.
    const auto& overrides = impl("overrides");
    const auto mapped = detail::encode_coref_subwords(overrides, {"Cat", "cat", "the"}, {0, 0, 0});
    const std::vector<std::pair<std::int64_t, std::int64_t>> ranges = {{0, 3}, {3, 4}, {4, 5}};
    EXPECT_EQ(mapped.word_subword_ranges, ranges);
    EXPECT_TRUE(at::allclose(mapped.subword_features, inner_rows(overrides, {2, 5, 6, 7, 5, 4, 3})));
    try {
        detail::encode_coref_subwords(overrides, {"the", "cat", "sat", "blank", "blank"}, {0, 0, 0, 0, 0});
        ADD_FAILURE() << "a blank word was encoded";
    } catch (const CorefModelError& error) {
        EXPECT_STREQ(error.what(), "coref tokenizer produced a blank word at index 3");
    }
}

TEST(CorefEncoding, PoolingWeighsEachWordsSubwords) {
    const c10::InferenceMode guard;
    const auto& model = impl("plain");
    // "unbelievable" is three subwords, "cats" two.
    const auto features = detail::encode_coref_subwords(model, {"the", "unbelievable", "cats", "sat"}, {0, 0, 0, 1});
    const std::vector<std::pair<std::int64_t, std::int64_t>> ranges = {{0, 1}, {1, 4}, {4, 6}, {6, 7}};
    ASSERT_EQ(features.word_subword_ranges, ranges);
    const at::Tensor pooled = detail::pool_coref_words(model, features);
    const at::Tensor logits = at::linear(features.subword_features, detail::require_coref_tensor(model, "we.attn.weight"),
                                         detail::require_coref_tensor(model, "we.attn.bias"));
    for (std::size_t i = 0; i < ranges.size(); ++i) {
        const auto [first, end] = ranges[i];
        const at::Tensor weights = at::softmax(logits.narrow(0, first, end - first).t(), 1);
        const at::Tensor expected = at::matmul(weights, features.subword_features.narrow(0, first, end - first))[0];
        EXPECT_TRUE(at::allclose(pooled[static_cast<std::int64_t>(i)], expected, 1e-5, 1e-6)) << i;
    }
    EXPECT_TRUE(at::equal(pooled[0], features.subword_features[0]));
}

TEST(CorefScoring, DistanceBuckets) {
    const std::pair<std::int64_t, std::int64_t> rows[] = {
        {-3, 0}, {0, 0}, {1, 0}, {2, 1}, {3, 2}, {4, 3}, {5, 4}, {7, 4}, {8, 5},
        {15, 5}, {16, 6}, {31, 6}, {32, 7}, {63, 7}, {64, 8}, {100000, 8},
    };
    for (const auto& [distance, bucket] : rows) EXPECT_EQ(detail::coref_distance_bucket(distance), bucket) << distance;
}

TEST(CorefScoring, ClustersFromLinks) {
    using Clusters = std::vector<std::vector<std::size_t>>;
    struct Row {
        std::vector<std::int64_t> antecedents;
        std::vector<char> flags;
        Clusters clusters;
    };
    const Row rows[] = {
        {{-1, -1, 0, 2, -1, 4}, {}, {{0, 2, 3}, {4, 5}}},
        // Sorted by their smallest word, not by the order they were found in.
        {{-1, -1, -1, 0, 1}, {}, {{0, 3}, {1, 4}}},
        {{-1, 0, 0, 0, 2}, {}, {{0, 1, 2, 3, 4}}},
        {{-1, -1, -1}, {}, {}},
        // Flagged unlinked words form one-word clusters among the others; linked ones do not.
        {{-1, -1, 0, -1}, {0, 1, 1, 1}, {{0, 2}, {1}, {3}}},
        {{-1, -1, -1, 1}, {1, 0, 0, 0}, {{0}, {1, 3}}},
    };
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        EXPECT_EQ(detail::build_coref_clusters(rows[i].antecedents, rows[i].flags), rows[i].clusters) << i;
    }
}

TEST(CorefSpans, TiesKeepTheEarlierWord) {
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    struct Row {
        std::size_t head;
        std::vector<std::size_t> sentence;
        std::vector<float> scores;  // start, end per word
        std::pair<std::size_t, std::size_t> span;
    };
    const Row rows[] = {
        {2, {0, 1, 2, 3, 4}, {1, 0, 5, 0, 5, 1, 0, 3, 0, 3}, {1, 4}},
        {2, {0, 1, 2, 3, 4}, {nan, nan, nan, nan, nan, nan, nan, nan, nan, nan}, {2, 3}},
        {2, {0, 1, 2, 3, 4}, {-inf, -inf, -inf, -inf, -inf, -inf, -inf, -inf, -inf, -inf}, {2, 3}},
        {2, {0, 1, 2, 3, 4}, {nan, 0, -1, 0, -2, nan, 0, 4, 0, 4}, {1, 4}},
        // First and last words of their sentence; later words never start, earlier never end.
        {5, {5, 6, 7}, {0, 0, 9, 2, 9, 1}, {5, 7}},
        {7, {5, 6, 7}, {1, 9, 2, 9, 0, 0}, {6, 8}},
        {4, {4}, {-5, -5}, {4, 5}},
    };
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        EXPECT_EQ(detail::choose_coref_span(rows[i].head, rows[i].sentence, rows[i].scores.data()), rows[i].span) << i;
    }
}

}  // namespace
}  // namespace quelbin
