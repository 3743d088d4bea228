// The parser's tree decoder against brute-force enumeration of every
// single-root tree, its cycle and tie cases, and the head-constraint repairs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <random>

#include "quelbin/errors.hpp"
#include "syntax/depparse_impl.hpp"

namespace quelbin {
namespace {

using detail::DepparseLabelCube;
using detail::DepparseScores;
using Heads = std::vector<std::int64_t>;
constexpr double kInf = std::numeric_limits<double>::infinity();

template <class Call>
std::string error_of(Call&& call) {
    try {
        call();
    } catch (const DepparseModelError& error) {
        return error.what();
    }
    return "";
}

bool single_root_tree(const Heads& heads) {
    const auto n = static_cast<std::int64_t>(heads.size());
    if (heads[0] != 0 || std::count(heads.begin() + 1, heads.end(), 0) != 1) return false;
    for (std::int64_t w = 1; w < n; ++w) {
        std::int64_t v = w;
        for (std::int64_t steps = 0; v != 0; ++steps) {
            if (steps > n || heads[v] < 0 || heads[v] >= n || heads[v] == v) return false;
            v = heads[v];
        }
    }
    return true;
}

double tree_score(const DepparseScores& S, const Heads& heads) {
    double total = 0.0;
    for (std::size_t w = 1; w < heads.size(); ++w) total += S[w][static_cast<std::size_t>(heads[w])];
    return total;
}

// The best total over every single-root tree of finite arcs (-inf if none).
double brute_force_best(const DepparseScores& S) {
    const auto n = static_cast<std::int64_t>(S.size());
    Heads heads(static_cast<std::size_t>(n), 0);
    double best = -kInf;
    std::int64_t combinations = 1;
    for (std::int64_t w = 1; w < n; ++w) combinations *= n;
    for (std::int64_t code = 0; code < combinations; ++code) {
        std::int64_t rest = code;
        for (std::int64_t w = 1; w < n; ++w, rest /= n) heads[static_cast<std::size_t>(w)] = rest % n;
        if (!single_root_tree(heads)) continue;
        best = std::max(best, tree_score(S, heads));
    }
    return best;
}

// Row-normalised log-probabilities, or small integers (many ties), with some
// arcs at -inf.
DepparseScores random_scores(std::mt19937& rng, std::size_t n, bool ties) {
    std::normal_distribution<double> normal(0.0, 2.0);
    std::uniform_int_distribution<int> small(-3, -1);
    std::uniform_int_distribution<int> hole(0, 9);
    DepparseScores S(n, std::vector<double>(n));
    for (auto& row : S) {
        double sum = 0.0;
        for (double& value : row) {
            value = ties ? small(rng) : normal(rng);
            sum += std::exp(value);
        }
        for (double& value : row) {
            if (!ties) value -= std::log(sum);
            if (hole(rng) == 0) value = -kInf;
        }
    }
    return S;
}

TEST(DepparseDecode, SingleRootTreeIsTheBestOfEveryTree) {
    std::mt19937 rng(1234);
    int decoded = 0;
    for (std::size_t n = 2; n <= 7; ++n) {
        const int cases = n <= 5 ? 3000 : (n == 6 ? 1500 : 300);
        for (int i = 0; i < cases; ++i) {
            const bool ties = i % 2 == 1;
            const DepparseScores S = random_scores(rng, n, ties);
            const double best = brute_force_best(S);
            if (!std::isfinite(best)) {
                // No single-root tree of finite arcs: either the refusal or a
                // single-root tree over -inf arcs.
                Heads heads;
                const std::string error = error_of([&] { heads = detail::decode_single_root(S); });
                EXPECT_TRUE(error == "single-root dependency decoding did not produce one root" ||
                            single_root_tree(heads)) << error;
                continue;
            }
            const Heads heads = detail::decode_single_root(S);
            ASSERT_TRUE(single_root_tree(heads)) << "n=" << n << " case " << i;
            ASSERT_NEAR(tree_score(S, heads), best, 1e-9) << "n=" << n << " case " << i;
            ++decoded;
        }
    }
    EXPECT_GT(decoded, 10000);
}

// The decoder as it was before it contracted cycles in place: a new matrix
// per level, recursing on it (the level's matrix released first, which
// changes no result). The in-place decoder must give the same heads, ties
// included.
namespace previous {

std::size_t contractions = 0;  // levels contracted so far

std::size_t argmax_lowest(const std::vector<double>& row) {
    std::size_t best = 0;
    double value = -kInf;
    for (std::size_t j = 0; j < row.size(); ++j) {
        if (row[j] > value) {
            value = row[j];
            best = j;
        }
    }
    return best;
}

Heads last_cycle(const Heads& best) {
    const std::size_t n = best.size();
    std::vector<int> state(n, 0);
    Heads result;
    std::int64_t result_min = -1;
    Heads walk;
    for (std::size_t start = 0; start < n; ++start) {
        if (state[start] != 0) continue;
        walk.clear();
        auto v = static_cast<std::int64_t>(start);
        while (state[static_cast<std::size_t>(v)] == 0) {
            state[static_cast<std::size_t>(v)] = 1;
            walk.push_back(v);
            v = best[static_cast<std::size_t>(v)];
        }
        if (state[static_cast<std::size_t>(v)] == 1) {
            Heads cycle(std::find(walk.begin(), walk.end(), v), walk.end());
            if (cycle.size() >= 2) {
                std::sort(cycle.begin(), cycle.end());
                if (cycle.front() > result_min) {
                    result_min = cycle.front();
                    result = std::move(cycle);
                }
            }
        }
        for (const std::int64_t w : walk) state[static_cast<std::size_t>(w)] = 2;
    }
    return result;
}

Heads chu_liu_edmonds(DepparseScores S) {
    const std::size_t n = S.size();
    for (std::size_t i = 0; i < n; ++i) S[i][i] = -kInf;
    std::fill(S[0].begin(), S[0].end(), -kInf);
    S[0][0] = 0.0;
    Heads best(n);
    for (std::size_t i = 0; i < n; ++i) best[i] = static_cast<std::int64_t>(argmax_lowest(S[i]));
    const Heads C = last_cycle(best);
    if (C.empty()) return best;
    ++contractions;
    Heads N;
    for (std::size_t v = 0; v < n; ++v) {
        if (std::find(C.begin(), C.end(), static_cast<std::int64_t>(v)) == C.end()) N.push_back(static_cast<std::int64_t>(v));
    }
    const std::size_t c = C.size();
    const std::size_t r = N.size();
    const auto at = [&](std::int64_t i, std::int64_t j) { return S[static_cast<std::size_t>(i)][static_cast<std::size_t>(j)]; };
    std::vector<double> cs(c);
    double total = 0.0;
    for (std::size_t k = 0; k < c; ++k) {
        cs[k] = at(C[k], best[static_cast<std::size_t>(C[k])]);
        total += cs[k];
    }
    std::vector<std::size_t> enter(r);
    std::vector<std::size_t> leave(r);
    DepparseScores T(r + 1, std::vector<double>(r + 1, 0.0));
    for (std::size_t t = 0; t < r; ++t) {
        double e_best = -kInf;
        double l_best = -kInf;
        for (std::size_t k = 0; k < c; ++k) {
            const double h = total + (at(C[k], N[t]) - cs[k]);
            if (h > e_best) {
                e_best = h;
                enter[t] = k;
            }
            if (at(N[t], C[k]) > l_best) {
                l_best = at(N[t], C[k]);
                leave[t] = k;
            }
        }
        for (std::size_t u = 0; u < r; ++u) T[t][u] = at(N[t], N[u]);
        T[t][r] = at(N[t], C[leave[t]]);
        T[r][t] = total + (at(C[enter[t]], N[t]) - cs[enter[t]]);
    }
    DepparseScores().swap(S);
    const Heads sub = chu_liu_edmonds(std::move(T));
    const auto h = static_cast<std::size_t>(sub[r]);
    Heads result(n, -1);
    for (std::size_t t = 0; t < r; ++t) {
        const auto u = static_cast<std::size_t>(sub[t]);
        result[static_cast<std::size_t>(N[t])] = u < r ? N[u] : C[leave[t]];
    }
    for (const std::int64_t v : C) result[static_cast<std::size_t>(v)] = best[static_cast<std::size_t>(v)];
    result[static_cast<std::size_t>(C[enter[h]])] = N[h];
    return result;
}

// The root penalty as decode_single_root applies it, without the root count.
Heads penalised(DepparseScores S) {
    double m = kInf;
    for (const auto& row : S) {
        for (const double value : row) {
            if (std::isfinite(value) && value < m) m = value;
        }
    }
    for (auto& row : S) row[0] = std::fma(m, static_cast<double>(S.size()), row[0]);
    return chu_liu_edmonds(std::move(S));
}

}  // namespace previous

// Many sizes up to 2000, as log-probabilities (cycles at almost every level)
// and as small integers (ties everywhere); with and without the root penalty.
TEST(DepparseDecode, SameHeadsAsDecodingWithAMatrixPerLevel) {
    std::mt19937 rng(47);
    std::vector<std::size_t> sizes;
    for (std::size_t n = 2; n <= 40; ++n) sizes.push_back(n);
    std::uniform_int_distribution<std::size_t> medium(41, 400);
    for (int i = 0; i < 12; ++i) sizes.push_back(medium(rng));
    sizes.insert(sizes.end(), {777, 2000});
    for (const std::size_t n : sizes) {
        for (const bool ties : {false, true}) {
            if (n > 800 && ties) continue;
            const DepparseScores S = random_scores(rng, n, ties);
            previous::contractions = 0;
            const Heads old = previous::penalised(S);
            if (n == 2000) EXPECT_GT(previous::contractions, 100u) << "too few levels to test";
            Heads now;
            const std::string error = error_of([&] { now = detail::decode_single_root(S); });
            if (std::count(old.begin() + 1, old.end(), 0) == 1) {
                ASSERT_EQ(now, old) << "n=" << n << " ties=" << ties << " " << error;
            } else {
                EXPECT_EQ(error, "single-root dependency decoding did not produce one root") << n;
            }
            // Without the penalty several words may take the root; the
            // largest sizes are compared with it only, to keep the test short.
            if (n > 800) continue;
            ASSERT_EQ(detail::chu_liu_edmonds(S), previous::chu_liu_edmonds(S)) << "n=" << n << " ties=" << ties;
        }
    }
}

TEST(DepparseDecode, CyclesAndTies) {
    const double x = -kInf;
    struct Case {
        const char* name;
        DepparseScores S;
        Heads expected;
    };
    const std::vector<Case> cases = {
        // An acyclic argmax with one word on the root comes back unchanged.
        {"acyclic", {{0, x, x}, {-0.1, x, -3}, {-5, -0.2, x}}, {0, 0, 1}},
        // Equal scores everywhere: 1 and 2 point at each other; the cycle is
        // entered at its lowest member.
        {"all ties", {{-1, -1, -1}, {-1, -1, -1}, {-1, -1, -1}}, {0, 0, 1}},
        // Two-cycle {2, 3}: 3 is entered from 1 (H favours it), 2 stays under 3.
        {"two-cycle", {{0, x, x, x}, {-0.1, x, -4, -4}, {-9, -3, x, -0.1}, {-9, -1, -0.1, x}}, {0, 0, 3, 1}},
        // Two disjoint cycles {1, 2} and {3, 4}, both broken towards word 1.
        {"disjoint cycles",
         {{0, x, x, x, x}, {-2, x, -0.1, -6, -6}, {-6, -0.1, x, -6, -6}, {-6, -2, -6, x, -0.1}, {-6, -6, -6, -0.1, x}},
         {0, 0, 1, 1, 3}},
        // Cycle {2, 3}; once contracted, it and word 1 head each other. The
        // outer cycle is entered from word 4 at member 2 (equal H, lowest k).
        {"nested cycles",
         {{0, x, x, x, x}, {-5, x, -1, -3, -5}, {-5, -5, x, -0.1, -5}, {-5, -2, -0.1, x, -5}, {-0.1, -5, -5, -5, x}},
         {0, 2, 4, 2, 0}},
    };
    for (const Case& c : cases) EXPECT_EQ(detail::decode_single_root(c.S), c.expected) << c.name;
    EXPECT_EQ(detail::chu_liu_edmonds({{0, 0}, {0, 0}}), (Heads{0, 0})) << "one word";
}

TEST(DepparseDecode, Refusals) {
    const double x = -kInf;
    const std::vector<std::pair<DepparseScores, std::string>> rows = {
        {{}, "dependency scores contain no finite value"},
        {{{x, x}, {x, x}}, "dependency scores contain no finite value"},
        {{{0, 0}, {}}, "cannot decode an empty score row"},
        // Word 2 can only attach to the root, and so can word 1.
        {{{0, x, x}, {-1, x, x}, {-1, x, x}}, "single-root dependency decoding did not produce one root"},
    };
    for (const auto& [S, message] : rows) EXPECT_EQ(error_of([&] { detail::decode_single_root(S); }), message);
}

TEST(DepparseDecode, ConstraintClassesByExactName) {
    const std::vector<std::pair<std::string, std::optional<std::string>>> rows = {
        {"obj", "obj"},       {"nsubj", "subj"},        {"csubj", "subj"},       {"nsubj:pass", "subj"},
        {"csubj:pass", "subj"}, {"nsubj:outer", "subj_outer"}, {"csubj:outer", "subj_outer"}, {"Obj", std::nullopt},
        {"obj:lvc", std::nullopt}, {"nsubj:pass:x", std::nullopt}, {"iobj", std::nullopt}, {"", std::nullopt},
    };
    for (const auto& [name, cls] : rows) EXPECT_EQ(detail::head_constraint_class(name), cls) << name;
}

// A sentence of three words under word 1 (the root's dependent): words 2 and
// 3 both prefer their first relation most.
// Arc scores as the scorer leaves them, floats.
struct FloatRows {
    std::int64_t n = 0;
    std::vector<float> values;
    float* operator[](std::int64_t row) { return values.data() + row * n; }
    detail::DepparseArcs view() const { return {n, n, values.data()}; }
};

struct ConstraintScene {
    std::vector<std::string> vocab;
    FloatRows arcs;
    DepparseLabelCube cube;

    ConstraintScene(std::vector<std::string> relations, std::int64_t n) {
        vocab = {"<PAD>", "<UNK>", "<EMPTY>", "<ROOT>"};
        vocab.insert(vocab.end(), relations.begin(), relations.end());
        arcs = {n, std::vector<float>(static_cast<std::size_t>(n * n), -5.0f)};
        cube.n = n;
        cube.labels = static_cast<std::int64_t>(relations.size());
        cube.values.assign(static_cast<std::size_t>(n * n * cube.labels), -3.0);
    }
    void label(std::int64_t d, std::int64_t h, std::int64_t k, double value) {
        cube.values[static_cast<std::size_t>((d * cube.n + h) * cube.labels + k)] = value;
    }
    std::pair<Heads, Heads> decode(const Heads& heads) {
        return detail::decode_with_head_constraints(vocab, arcs.view(), cube, heads);
    }
};

TEST(DepparseDecode, HeadConstraintRepairs) {
    // Two objects of word 1: word 3's second choice under 1 costs less than
    // word 2's, so anchoring word 2 wins; word 3 keeps head 1 as "nmod".
    ConstraintScene scene({"obj", "nmod", "root"}, 4);
    scene.arcs[1][0] = -0.1;
    scene.arcs[2][1] = -0.1;
    scene.arcs[3][1] = -0.1;
    for (std::int64_t d = 2; d <= 3; ++d) scene.label(d, 1, 0, -0.1);
    scene.label(1, 0, 2, -0.1);
    scene.label(2, 1, 1, -4.0);
    scene.label(3, 1, 1, -1.0);
    EXPECT_EQ(scene.decode({0, 0, 1, 1}), (std::pair<Heads, Heads>{{0, 0, 1, 1}, {2, 0, 1}}));

    // Word 3 would rather move under word 2 than lose "obj": the tree changes.
    scene.arcs[3][2] = -0.5;
    scene.label(3, 2, 0, -0.1);
    EXPECT_EQ(scene.decode({0, 0, 1, 1}), (std::pair<Heads, Heads>{{0, 0, 1, 2}, {2, 0, 0}}));

    // Equal totals keep the earliest anchor.
    ConstraintScene tie({"obj", "nmod", "root"}, 4);
    tie.arcs[1][0] = tie.arcs[2][1] = tie.arcs[3][1] = -0.1;
    for (std::int64_t d = 2; d <= 3; ++d) {
        tie.label(d, 1, 0, -0.1);
        tie.label(d, 1, 1, -1.0);
    }
    EXPECT_EQ(tie.decode({0, 0, 1, 1}).second, (Heads{0, 0, 1}));

    // nsubj and csubj:pass share a class; nsubj and nsubj:outer do not.
    ConstraintScene subj({"nsubj", "csubj:pass", "nsubj:outer", "dep"}, 4);
    subj.arcs[1][0] = subj.arcs[2][1] = subj.arcs[3][1] = -0.1;
    subj.label(2, 1, 0, -0.1);
    subj.label(3, 1, 1, -0.1);
    subj.label(2, 1, 3, -0.5);
    EXPECT_EQ(subj.decode({0, 0, 1, 1}).second, (Heads{0, 3, 1}));
    subj.label(3, 1, 2, 0.0);
    EXPECT_EQ(subj.decode({0, 0, 1, 1}).second, (Heads{0, 0, 2}));

    // Every relation an object: the repair excludes all of them at the head.
    ConstraintScene only_obj({"obj"}, 4);
    only_obj.arcs[1][0] = only_obj.arcs[2][1] = only_obj.arcs[3][1] = -0.1;
    EXPECT_EQ(error_of([&] { only_obj.decode({0, 0, 1, 1}); }),
              "head constraints excluded every dependency relation");
}

TEST(DepparseDecode, BansCarryBetweenPassesAndPassesStopAtFive) {
    // Word 1 heads seven objects: one pass keeps one anchor and bans the
    // others from "obj" under word 1.
    ConstraintScene scene({"obj", "nmod"}, 9);
    scene.arcs[1][0] = -0.1;
    for (std::int64_t d = 2; d < 9; ++d) {
        scene.arcs[static_cast<std::size_t>(d)][1] = -0.1;
        scene.label(d, 1, 0, -0.1);
        scene.label(d, 1, 1, -1.0 - 0.1 * static_cast<double>(d));
    }
    const auto [heads, labels] = scene.decode({0, 0, 1, 1, 1, 1, 1, 1, 1});
    EXPECT_EQ(std::count(labels.begin() + 1, labels.end(), 0), 1);
    EXPECT_EQ(labels[8 - 1], 0) << "the object whose second choice costs most keeps obj";

    // Six heads with two objects each: five passes repair five groups; the
    // last group stays.
    const std::int64_t n = 1 + 6 * 3;
    ConstraintScene many({"obj", "nmod"}, n);
    Heads start(static_cast<std::size_t>(n), 0);
    many.arcs[1][0] = -0.1;
    for (std::int64_t g = 0; g < 6; ++g) {
        const std::int64_t head = 1 + 3 * g;
        if (g > 0) {
            start[static_cast<std::size_t>(head)] = 1;
            many.arcs[static_cast<std::size_t>(head)][1] = -0.1;
            many.label(head, 1, 1, -0.1);
        }
        for (std::int64_t d = head + 1; d <= head + 2; ++d) {
            start[static_cast<std::size_t>(d)] = head;
            many.arcs[static_cast<std::size_t>(d)][static_cast<std::size_t>(head)] = -0.1;
            many.label(d, head, 0, -0.1);
            many.label(d, head, 1, -1.0);
        }
    }
    const auto [many_heads, many_labels] = many.decode(start);
    EXPECT_EQ(many_heads, start);
    const Heads last_group = {many_labels[17 - 1], many_labels[18 - 1]};
    EXPECT_EQ(last_group, (Heads{0, 0})) << "the sixth group is left as it was";
    // Without the bans of earlier passes the first group would come back
    // every pass.
    EXPECT_EQ(std::count(many_labels.begin() + 1, many_labels.end(), 0), 5 + 2);
}

// Decodes every candidate, anchors in a shuffled order (one candidate's
// result must not depend on those decoded before it), and expects the heads
// or the error of decoding the candidate's own matrix.
void expect_candidates_as_matrices(detail::RepairCandidates& candidates, FloatRows& arcs,
                                   const std::vector<std::int64_t>& members, const std::vector<double>& joined,
                                   std::mt19937& rng) {
    const std::int64_t n = arcs.n;
    std::vector<std::size_t> anchors(members.size());
    std::iota(anchors.begin(), anchors.end(), std::size_t{0});
    std::shuffle(anchors.begin(), anchors.end(), rng);
    for (const std::size_t a : anchors) {
        detail::DepparseMatrix M(n, 0.0);
        for (std::int64_t d = 0; d < n; ++d) {
            for (std::int64_t h = 0; h < n; ++h) M[d][h] = arcs[d][h];
        }
        for (std::size_t i = 0; i < members.size(); ++i) {
            if (i == a) continue;
            std::copy_n(joined.begin() + static_cast<std::ptrdiff_t>(i * static_cast<std::size_t>(n)), n, M[members[i]]);
        }
        Heads expected;
        Heads got;
        const std::string expected_error = error_of([&] { expected = detail::decode_single_root(M); });
        const std::string error = error_of([&] { got = candidates.decode(a); });
        ASSERT_EQ(error, expected_error) << "anchor " << a;
        ASSERT_EQ(got, expected) << "anchor " << a;
    }
}

// The repair's candidates decoded from shared rows give the heads (or the
// error) of decoding each candidate's own matrix: log-probabilities with
// holes; rows paired to head each other (a cycle at almost every level, as
// in a sentence of one repeated phrase); scores falling with the distance
// between positions (neighbours' cycles merge into ever longer runs);
// log-probabilities whose row maxima
// a few positions share; values on a coarse grid and equal arcs (maxima
// shared by so many positions that the matrix decoder takes the larger
// sizes); log-probabilities with a few values that are not numbers, which
// only the matrix decoder takes. Most candidates go on from a saved state of
// the decode with every member joined; the anchors come in a shuffled order,
// in a shuffled order.
TEST(DepparseDecode, RepairCandidatesDecodeAsTheirMatrices) {
    std::mt19937 rng(4747);
    std::normal_distribution<double> normal(0.0, 2.0);
    std::uniform_int_distribution<int> hole(0, 19);
    enum Shape { kLogProbs, kPairs, kBand, kTiedMaxima, kGrid, kFlat, kNotANumber };
    std::size_t left_to_matrix = 0;
    std::size_t ties_by_matrix = 0;
    std::size_t not_a_number_by_matrix = 0;
    std::size_t not_a_number_candidates = 0;
    std::size_t resumed = 0;
    std::size_t resumable = 0;
    for (const Shape shape : {kLogProbs, kPairs, kBand, kTiedMaxima, kGrid, kFlat, kNotANumber}) {
        for (const std::int64_t n : {2, 3, 5, 9, 17, 40, 120, 400, 900}) {
            SCOPED_TRACE(testing::Message() << "shape " << shape << " n " << n);
            std::uniform_int_distribution<std::int64_t> position(1, n - 1);
            std::uniform_int_distribution<int> grid(-12, -1);
            const auto draw = [&] { return shape == kGrid ? grid(rng) / 4.0 : normal(rng); };
            FloatRows arcs{n, std::vector<float>(static_cast<std::size_t>(n * n))};
            for (std::int64_t d = 0; d < n; ++d) {
                for (std::int64_t h = 0; h < n; ++h) {
                    double v = shape == kFlat ? -1.0 : draw() - 8.0;
                    if (shape == kPairs && d > 0 && h == (d % 2 == 1 ? d + 1 : d - 1)) v += 10.0;
                    if (shape == kBand) v = -static_cast<double>(std::abs(d - h)) - 0.1 * std::abs(normal(rng));
                    if (hole(rng) == 0) v = -kInf;
                    if (shape == kNotANumber && hole(rng) == 0 && hole(rng) == 0) v = std::nan("");
                    arcs[d][h] = static_cast<float>(v);
                }
                if (shape == kTiedMaxima && d % 4 == 0) arcs[d][position(rng)] = *std::max_element(arcs[d] + 1, arcs[d] + n);
            }
            std::vector<std::int64_t> members;
            for (std::int64_t d = 1; d < n && members.size() < 10; ++d) {
                if (d % 3 != 0 || n < 4) members.push_back(d);
            }
            std::vector<double> joined(members.size() * static_cast<std::size_t>(n));
            for (std::size_t i = 0; i < members.size(); ++i) {
                for (std::int64_t h = 0; h < n; ++h) {
                    joined[i * static_cast<std::size_t>(n) + static_cast<std::size_t>(h)] =
                        arcs[members[i]][h] + draw() - 2.0;
                }
            }
            detail::RepairCandidates candidates(arcs.view(), members, joined.data());
            expect_candidates_as_matrices(candidates, arcs, members, joined, rng);
            if (testing::Test::HasFatalFailure()) return;
            if (shape < kGrid) left_to_matrix += candidates.matrix_decodes();
            if (shape < kGrid && members.size() >= 3) {
                resumed += candidates.resumed_decodes();
                resumable += members.size();
            }
            if (shape == kGrid || shape == kFlat) ties_by_matrix += candidates.matrix_decodes();
            if (shape == kNotANumber && n >= 40) {
                not_a_number_by_matrix += candidates.matrix_decodes();
                not_a_number_candidates += members.size();
            }
        }
    }
    EXPECT_EQ(left_to_matrix, 0u);
    EXPECT_GT(ties_by_matrix, 0u);
    EXPECT_EQ(not_a_number_by_matrix, not_a_number_candidates);
    EXPECT_GE(resumed * 10, resumable * 8);
}

// Candidates that go on from the shared decode, over many small sentences:
// scores on a coarse grid, where the order of two cycles' contractions
// decides ties (a candidate whose cycle through its anchor comes before one
// the shared decode contracts must not go on after it); and a word that only
// the root can head, which most words take as head, so that words already
// known to reach the root can lead to the anchor.
TEST(DepparseDecode, RepairCandidatesGoOnFromTheSharedDecode) {
    std::mt19937 rng(122);
    std::uniform_int_distribution<int> grid(-6, -1);
    std::normal_distribution<double> normal(0.0, 2.0);
    enum Shape { kCoarse, kRootedHub };
    for (const Shape shape : {kCoarse, kRootedHub}) {
        std::size_t resumed = 0;
        std::size_t decoded = 0;
        for (int sentence = 0; sentence < 2000; ++sentence) {
            const auto n = static_cast<std::int64_t>(5 + rng() % 30);
            SCOPED_TRACE(testing::Message() << "shape " << shape << " sentence " << sentence);
            const auto draw = [&] { return shape == kCoarse ? grid(rng) / 2.0 : normal(rng) - 8.0; };
            FloatRows arcs{n, std::vector<float>(static_cast<std::size_t>(n * n))};
            for (std::int64_t d = 0; d < n; ++d) {
                for (std::int64_t h = 0; h < n; ++h) {
                    double v = draw();
                    if (shape == kRootedHub && d > 1 && h == 1) v += 1.0;
                    if (shape == kRootedHub && d == 1 && h > 0) v = -kInf;
                    arcs[d][h] = static_cast<float>(v);
                }
            }
            std::vector<std::int64_t> members;
            for (std::int64_t d = 1; d < n && members.size() < 8; ++d) {
                if (rng() % 2 == 0) members.push_back(d);
            }
            if (members.size() < 3) continue;
            std::vector<double> joined(members.size() * static_cast<std::size_t>(n));
            for (std::size_t i = 0; i < members.size(); ++i) {
                for (std::int64_t h = 0; h < n; ++h) {
                    joined[i * static_cast<std::size_t>(n) + static_cast<std::size_t>(h)] =
                        arcs[members[i]][h] + (shape == kCoarse ? grid(rng) / 2.0 : normal(rng) - 2.0);
                }
            }
            detail::RepairCandidates candidates(arcs.view(), members, joined.data());
            expect_candidates_as_matrices(candidates, arcs, members, joined, rng);
            if (testing::Test::HasFatalFailure()) return;
            resumed += candidates.resumed_decodes();
            decoded += members.size();
        }
        EXPECT_GE(resumed * 2, decoded) << "shape " << shape;
    }
}

// A cube filled one head column at a time asks only for the columns of the
// chosen heads until a constraint needs more, and decodes as the full cube.
TEST(DepparseDecode, LazyCubeFillsOnlyTheCellsDecodingReads) {
    ConstraintScene scene({"obj", "nmod", "root"}, 5);
    scene.arcs[1][0] = scene.arcs[2][1] = scene.arcs[3][1] = scene.arcs[4][3] = -0.1;
    scene.label(1, 0, 2, -0.1);
    scene.label(2, 1, 0, -0.1);
    scene.label(3, 1, 1, -0.1);
    scene.label(4, 3, 0, -0.1);
    const Heads tree = {0, 0, 1, 1, 3};
    using Cell = std::pair<std::int64_t, std::int64_t>;
    const std::vector<Cell> tree_cells = {{1, 0}, {2, 1}, {3, 1}, {4, 3}};
    for (const double word3_obj : {-3.0, 0.0}) {
        // Word 3's "obj" score under word 1: at 0.0 words 2 and 3 are both
        // objects of word 1, and the repair reads both words' every head.
        SCOPED_TRACE(word3_obj);
        scene.label(3, 1, 0, word3_obj);
        std::vector<Cell> cells;
        DepparseLabelCube lazy;
        lazy.n = scene.cube.n;
        lazy.labels = scene.cube.labels;
        lazy.fill = [&](std::int64_t d, std::int64_t h, double* out) {
            cells.emplace_back(d, h);
            const std::size_t at = static_cast<std::size_t>((d * scene.cube.n + h) * scene.cube.labels);
            std::copy_n(scene.cube.values.begin() + static_cast<std::ptrdiff_t>(at), scene.cube.labels, out);
        };
        EXPECT_EQ(detail::decode_with_head_constraints(scene.vocab, scene.arcs.view(), lazy, tree), scene.decode(tree));
        std::sort(cells.begin(), cells.end());
        EXPECT_EQ(std::adjacent_find(cells.begin(), cells.end()), cells.end()) << "a cell filled twice";
        if (word3_obj < 0) {
            EXPECT_EQ(cells, tree_cells);
        } else {
            for (const std::int64_t d : {2, 3}) {
                for (std::int64_t h = 0; h < lazy.n; ++h) {
                    EXPECT_TRUE(std::binary_search(cells.begin(), cells.end(), Cell{d, h})) << d << " " << h;
                }
            }
            EXPECT_LT(cells.size(), static_cast<std::size_t>(lazy.n * lazy.n)) << "some cells never read";
        }
    }
}

}  // namespace
}  // namespace quelbin
