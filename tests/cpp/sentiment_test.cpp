// The sentiment classifier's network and batch driver against the eager
// reference's scores, word lookups, padding and thread counts.
#include <gtest/gtest.h>

#include <ATen/Parallel.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "extended/sentiment_impl.hpp"
#include "fixtures.hpp"
#include "quelbin/model_bundle.hpp"

namespace quelbin {
namespace {

using Sentences = std::vector<std::vector<std::string>>;

Sentences fixture_sentences() {
    std::ifstream in(testing::fixture_path("sentiment", "sentences.txt"), std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    Sentences sentences(1);
    std::string word;
    for (char c : text) {
        if (c == '\x1f') {
            sentences.back().push_back(word);
            word.clear();
        } else if (c == '\x1e') {
            sentences.emplace_back();
        } else {
            word += c;
        }
    }
    sentences.pop_back();
    return sentences;
}

std::vector<const std::vector<std::string>*> pointers(const Sentences& sentences) {
    std::vector<const std::vector<std::string>*> out;
    for (const auto& s : sentences) out.push_back(&s);
    return out;
}

std::vector<float> as_vector(const at::Tensor& scores) {
    const at::Tensor c = scores.contiguous();
    return std::vector<float>(c.const_data_ptr<float>(), c.const_data_ptr<float>() + c.numel());
}

TEST(Sentiment, ScoresMatchTheReferenceAtEveryBudget) {
    const Sentences sentences = fixture_sentences();
    ASSERT_EQ(sentences.size(), 160u);
    for (const char* name : {"plain", "bilstm", "tiles", "charlm", "charlm-full"}) {
        const SentimentPlan::Impl impl(testing::fixture_path("sentiment", name), false);
        SentimentPlan plan(testing::fixture_path("sentiment", name), false);
        for (std::size_t budget : {5000u, 9u, 1u}) {
            const std::vector<float> expected = testing::read_f32(
                testing::fixture_path("sentiment", name) / ("scores-" + std::to_string(budget) + ".f32"));
            const std::vector<float> got = as_vector(impl.score_many(pointers(sentences), budget));
            ASSERT_EQ(got.size(), expected.size()) << name;
            const std::vector<std::int64_t> classes = plan.classify_many(sentences, budget);
            const std::size_t k = static_cast<std::size_t>(impl.num_classes);
            std::size_t decided = 0;
            for (std::size_t i = 0; i < sentences.size(); ++i) {
                for (std::size_t c = 0; c < k; ++c) {
                    ASSERT_NEAR(got[i * k + c], expected[i * k + c], 1e-5) << name << " " << budget << " " << i;
                }
                // The reference's class wherever its decision is clear.
                std::vector<float> row(expected.begin() + i * k, expected.begin() + (i + 1) * k);
                const auto best = std::max_element(row.begin(), row.end()) - row.begin();
                std::sort(row.begin(), row.end());
                if (row[k - 1] - row[k - 2] > 1e-4f) {
                    EXPECT_EQ(classes[i], best) << name << " " << budget << " " << i;
                    ++decided;
                }
            }
            EXPECT_GT(decided, sentences.size() * 9 / 10) << name;
        }
    }
}

TEST(Sentiment, ScoresDoNotDependOnTheThreadCount) {
    Sentences sentences = fixture_sentences();
    const Sentences copy = sentences;
    for (int i = 0; i < 6; ++i) sentences.insert(sentences.end(), copy.begin(), copy.end());
    for (const char* name : {"bilstm", "charlm"}) {
        const SentimentPlan::Impl impl(testing::fixture_path("sentiment", name), false);
        const int threads = at::get_num_threads();
        at::set_num_threads(1);
        const std::vector<float> one = as_vector(impl.score_many(pointers(sentences), 5000));
        at::set_num_threads(3);
        const std::vector<float> three = as_vector(impl.score_many(pointers(sentences), 5000));
        at::set_num_threads(threads);
        EXPECT_EQ(one, three) << name;
    }
}

TEST(Sentiment, WordLookupFallbacks) {
    const SentimentPlan::Impl plain(testing::fixture_path("sentiment", "lookup"), false);
    const SentimentPlan::Impl lower(testing::fixture_path("sentiment", "lookup-lower"), false);
    // Vocabulary: <PAD> 0, <UNK> 1, Paris, the, new\u00a0york, ', é, i\u0307stanbul, Mixed.
    struct Row {
        const char* word;
        std::int64_t plain;
        std::int64_t lower;
    };
    const Row rows[] = {
        {"Paris", 2, 1},             // with lower-casing on, "paris" is looked up
        {"Paris'", 2, 1},            // trailing quote dropped
        {"'", 5, 5},                 // a lone quote is found as itself
        {"The", 3, 3},               // lower-cased attempt
        {"THE'", 1, 3},              // quote dropped, then lower-cased only with lower-casing on
        {"new york", 4, 4},          // spaces read as U+00A0
        {"New York", 4, 4},
        {"\xC3\x89", 6, 6},          // É lower-cases to é
        {"\xC4\xB0stanbul", 7, 7},   // U+0130 lower-cases to i and U+0307
        {"Mixed", 8, 1},
        {"mixed", 1, 1},
        {"<PAD>", 0, 1},             // lower-casing on looks up "<pad>"
        {"", 1, 1},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(detail::lookup_sentiment_word(plain, row.word), row.plain) << row.word;
        EXPECT_EQ(detail::lookup_sentiment_word(lower, row.word), row.lower) << row.word;
    }
}

TEST(Sentiment, PaddingFloorAndTallFilters) {
    // Filters (5, 1) and 2: the floor is 2, yet a one-word sentence runs padded
    // to the 2-D filter's height.
    const SentimentPlan::Impl impl(testing::fixture_path("sentiment", "charlm-full"), false);
    EXPECT_EQ(impl.min_padded_length, 2);
    EXPECT_EQ(impl.padded_length(1), 5);
    EXPECT_EQ(impl.padded_length(9), 9);
    const std::vector<std::string> one{"good"};
    EXPECT_EQ(impl.forward({&one}).sizes(), (std::vector<std::int64_t>{1, 4}));
    EXPECT_EQ(impl.forward({}).sizes(), (std::vector<std::int64_t>{0, 4}));
    const SentimentPlan::Impl tiles(testing::fixture_path("sentiment", "tiles"), false);
    EXPECT_EQ(tiles.min_padded_length, 5);  // filters 3, (2, 2), (4, 5): the 2-D widths count
}

TEST(Sentiment, PlanKeepsItsModelWhenMoved) {
    SentimentPlan plan(testing::fixture_path("sentiment", "plain"), false);
    const std::vector<std::string> words{"good", "film"};
    const std::int64_t expected = plan.classify(words);
    SentimentPlan moved(std::move(plan));
    EXPECT_EQ(moved.classify(words), expected);
    SentimentPlan assigned(testing::fixture_path("sentiment", "bilstm"), false);
    assigned = std::move(moved);
    EXPECT_EQ(assigned.classify(words), expected);
    EXPECT_EQ(assigned.bundle().path(), std::filesystem::absolute(testing::fixture_path("sentiment", "plain")));
}

}  // namespace
}  // namespace quelbin
