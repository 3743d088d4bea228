// Rules of the coref forward pass: window cuts, distance buckets, clustering
// and sorting, and the span tie rules.
#include <gtest/gtest.h>

#include <c10/util/Exception.h>

#include <limits>

#include "coref/coref_impl.hpp"
#include "fixtures.hpp"

namespace quelbin {
namespace {

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

// Weights that load but do not fit fail in the tensor library, never by
// reading past a table.
TEST(CorefNetwork, MismatchedWeightsFailInTheLibrary) {
    const std::vector<std::string> words = {"the", "cat", "sat", "on", "the", "mat"};
    const std::vector<std::size_t> sentences(words.size(), 0);
    for (const char* name : {"pair_width", "speaker_rows", "span_width"}) {
        const CorefPlan plan(testing::fixture_path("coref/mismatched", name), false);
        EXPECT_THROW(plan.resolve(words, sentences, {}), c10::Error) << name;
    }
    // A position table of 100 rows serves words up to 36 positions before a head.
    const CorefPlan short_positions(testing::fixture_path("coref/mismatched", "short_positions"), false);
    EXPECT_FALSE(short_positions.resolve(words, sentences, {}).span_clusters.empty());
    const std::vector<std::string> long_sentence(40, "cat");
    EXPECT_THROW(short_positions.resolve(long_sentence, std::vector<std::size_t>(40, 0), {}), c10::Error);
}

}  // namespace
}  // namespace quelbin
