// NER decoding: CRF Viterbi against every path on small inputs, its tie and NaN
// rules, decoded ids to tags, and the BIOES repair.
#include <gtest/gtest.h>

#include <quelbin/errors.hpp>

#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "extended/ner_decode.hpp"

namespace {

using quelbin::detail::ner_tags_from_path;
using quelbin::detail::repair_bioes_tags;
using quelbin::detail::viterbi_decode;

// The best path by enumerating every path; among equal scores the one whose
// tags, read from the last position backwards, are lowest first.
std::vector<std::int64_t> brute_force(const std::vector<float>& s, std::int64_t n, std::int64_t T,
                                      const std::vector<float>& m) {
    std::vector<std::int64_t> path(static_cast<std::size_t>(n), 0), best;
    double best_score = -std::numeric_limits<double>::infinity();
    while (true) {
        double score = 0;
        for (std::int64_t i = 0; i < n; ++i) {
            score += s[static_cast<std::size_t>(i * T + path[i])];
            if (i > 0) score += m[static_cast<std::size_t>(path[i - 1] * T + path[i])];
        }
        const bool lower = !best.empty() && [&] {
            for (std::int64_t i = n - 1; i >= 0; --i) {
                if (path[i] != best[i]) return path[i] < best[i];
            }
            return false;
        }();
        if (best.empty() || score > best_score || (score == best_score && lower)) {
            best = path;
            best_score = score;
        }
        std::int64_t i = 0;
        while (i < n && ++path[i] == T) path[i++] = 0;
        if (i == n) return best;
    }
}

TEST(NERViterbi, MatchesEveryPathOnSmallInputs) {
    std::mt19937 rng(7);
    for (int round = 0; round < 3000; ++round) {
        const std::int64_t n = 1 + static_cast<std::int64_t>(rng() % 5);
        const std::int64_t T = 1 + static_cast<std::int64_t>(rng() % 4);
        // Small integers make sums exact, so ties are real ties; every other
        // round uses wide values, where ties are rare.
        std::uniform_int_distribution<int> small(-2, 2);
        std::normal_distribution<float> wide(0.0f, 3.0f);
        std::vector<float> s(static_cast<std::size_t>(n * T)), m(static_cast<std::size_t>(T * T));
        for (float& x : s) x = round % 2 ? wide(rng) : static_cast<float>(small(rng));
        for (float& x : m) x = round % 2 ? wide(rng) : static_cast<float>(small(rng));
        const auto got = viterbi_decode(s.data(), n, T, m.data());
        if (round % 2 == 0) {
            ASSERT_EQ(got, brute_force(s, n, T, m)) << "round " << round;
        } else {
            // Float sums in another order may differ by rounding: compare scores.
            auto score = [&](const std::vector<std::int64_t>& p) {
                double total = 0;
                for (std::int64_t i = 0; i < n; ++i) {
                    total += s[static_cast<std::size_t>(i * T + p[i])];
                    if (i > 0) total += m[static_cast<std::size_t>(p[i - 1] * T + p[i])];
                }
                return total;
            };
            ASSERT_NEAR(score(got), score(brute_force(s, n, T, m)), 1e-4) << "round " << round;
        }
    }
}

TEST(NERViterbi, TiesNaNAndEdges) {
    // One row: the lowest index of the greatest emission, no transition used.
    const std::vector<float> one = {1, 3, 3, 2};
    const std::vector<float> huge(16, 100.0f);
    EXPECT_EQ(viterbi_decode(one.data(), 1, 4, huge.data()), (std::vector<std::int64_t>{1}));
    // Equal candidates: the lower predecessor wins, and the lower final tag.
    const std::vector<float> flat = {0, 0, 0, 0};
    const std::vector<float> zero = {0, 0, 0, 0};
    EXPECT_EQ(viterbi_decode(flat.data(), 2, 2, zero.data()), (std::vector<std::int64_t>{0, 0}));
    // A NaN candidate never replaces the current best, nor a NaN final score.
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const std::vector<float> s = {0, 5, 0, 0};
    const std::vector<float> m = {0, nan, 0, 0};
    EXPECT_EQ(viterbi_decode(s.data(), 2, 2, m.data()), (std::vector<std::int64_t>{1, 0}));
    EXPECT_TRUE(viterbi_decode(s.data(), 0, 2, m.data()).empty());
    const std::vector<float> single = {4, -1, 7};
    const std::vector<float> t1 = {-3};
    EXPECT_EQ(viterbi_decode(single.data(), 3, 1, t1.data()), (std::vector<std::int64_t>{0, 0, 0}));
}

TEST(NERDecode, ReservedIdsBecomeFourAndIdsPastTheColumnFail) {
    const std::vector<std::string> column = {"<PAD>", "<UNK>", "<EMPTY>", "<ROOT>", "O", "S-X"};
    EXPECT_EQ(ner_tags_from_path({0, 1, 2, 3, 4, 5}, column),
              (std::vector<std::string>{"O", "O", "O", "O", "O", "S-X"}));
    try {
        ner_tags_from_path({5, 6}, column);
        FAIL() << "an id past the column was accepted";
    } catch (const quelbin::NERModelError& error) {
        EXPECT_STREQ(error.what(), "NER CRF produced an invalid tag id");
    }
    const std::vector<std::string> reserved(column.begin(), column.begin() + 4);
    EXPECT_THROW(ner_tags_from_path({0}, reserved), quelbin::NERModelError);
}

std::vector<std::string> split(const std::string& text) {
    std::vector<std::string> out;
    std::string current;
    for (const char c : text + " ") {
        if (c == ' ') {
            out.push_back(current);
            current.clear();
        } else {
            current += c;
        }
    }
    return out;
}

TEST(NERRepair, EveryRowOfTheTable) {
    const std::vector<std::pair<std::string, std::string>> rows = {
        {"I-X", "S-X"},
        {"B-X I-X", "B-X E-X"},
        {"O I-X I-X O", "O B-X E-X O"},
        {"I-X I-X", "B-X E-X"},
        {"B-X O", "S-X O"},
        {"E-X", "S-X"},
        {"B-X B-X", "S-X S-X"},
        {"B-X E-X E-X", "B-X E-X S-X"},
        {"I-X E-Y", "S-X S-Y"},
        {"B-X I-X I-X E-X", "B-X I-X I-X E-X"},
        {"S-X O S-Y", "S-X O S-Y"},
        {"I-", "S-"},
        // Rule A then B at one position; inside tags of another type break entities.
        {"B-X I-Y E-X", "S-X S-Y S-X"},
        {"I-X I-X E-X", "B-X I-X E-X"},
        {"B-XY I-X", "S-XY S-X"},
        // Tags without an entity prefix stay, but break entities as neighbours.
        {"B-X b-X E-X", "S-X b-X S-X"},
        {"B-X U-X", "S-X U-X"},
        {"I O X- E-", "I O X- S-"},
    };
    for (const auto& [input, expected] : rows) {
        std::vector<std::string> tags = split(input);
        repair_bioes_tags(tags);
        EXPECT_EQ(tags, split(expected)) << input;
    }
    std::vector<std::string> empty;
    repair_bioes_tags(empty);
    EXPECT_TRUE(empty.empty());
}

}  // namespace
