// Tree decoding for the dependency parser: single-root maximum spanning
// arborescence (Chu-Liu-Edmonds over plain double matrices), then relation
// choice with the head constraints that forbid two objects or two subjects
// under one head.
#include <algorithm>
#include <cmath>
#include <limits>
#include <unordered_map>

#include "quelbin/errors.hpp"
#include "syntax/depparse_impl.hpp"

namespace quelbin::detail {
namespace {

constexpr double kNegInf = -std::numeric_limits<double>::infinity();
constexpr int kMaxConstraintPasses = 5;

// Index of the strict maximum, lowest index on ties; 0 when nothing beats -inf.
std::size_t argmax_lowest(const std::vector<double>& row) {
    std::size_t best = 0;
    double value = kNegInf;
    for (std::size_t j = 0; j < row.size(); ++j) {
        if (row[j] > value) {
            value = row[j];
            best = j;
        }
    }
    return best;
}

// Members of the cycle of head pointers whose smallest member is the largest
// (the last one a depth-first search started at increasing indices would
// emit), increasing; empty when the pointers form a tree. Every node has one
// head, so the cycles are disjoint and found by walking heads.
std::vector<std::int64_t> last_cycle(const std::vector<std::int64_t>& best) {
    const std::size_t n = best.size();
    std::vector<int> state(n, 0);  // 0 unseen, 1 on the current walk, 2 done
    std::vector<std::int64_t> result;
    std::int64_t result_min = -1;
    std::vector<std::int64_t> walk;
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
            // v closes a new cycle: the walk from v onwards.
            const auto from = std::find(walk.begin(), walk.end(), v);
            std::vector<std::int64_t> cycle(from, walk.end());
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

enum ConstraintClass : std::uint8_t { kNoClass = 0, kObj = 1, kSubj = 2, kSubjOuter = 3 };

ConstraintClass class_of(std::string_view relation) {
    if (relation == "obj") return kObj;
    if (relation == "nsubj" || relation == "csubj" || relation == "nsubj:pass" || relation == "csubj:pass") {
        return kSubj;
    }
    if (relation == "nsubj:outer" || relation == "csubj:outer") return kSubjOuter;
    return kNoClass;
}

std::uint64_t ban_key(std::int64_t dependent, std::int64_t head) {
    return (static_cast<std::uint64_t>(dependent) << 32) | static_cast<std::uint32_t>(head);
}

// Per (dependent, head) key, the classes banned there as a bit set.
using BanMap = std::unordered_map<std::uint64_t, std::uint8_t>;

struct ConstraintGroup {
    std::int64_t head = 0;
    ConstraintClass cls = kNoClass;
    std::vector<std::int64_t> dependents;
};

class HeadConstraints {
public:
    HeadConstraints(const std::vector<std::string>& deprel_labels, const DepparseScores& arcs,
                    DepparseLabelCube& cube)
        : arcs_(arcs), cube_(cube), classes_(static_cast<std::size_t>(cube.labels), kNoClass) {
        for (std::size_t k = 0; k < classes_.size(); ++k) {
            if (k + 4 < deprel_labels.size()) classes_[k] = class_of(deprel_labels[k + 4]);
        }
    }

    std::pair<std::int64_t, double> best_allowed(std::int64_t d, std::int64_t h, ConstraintClass excluded) {
        const auto found = bans_.find(ban_key(d, h));
        const std::uint8_t banned = found == bans_.end() ? 0 : found->second;
        const double* scores = cube_.at(d, h);
        double best = kNegInf;
        std::int64_t index = 0;
        for (std::int64_t k = 0; k < cube_.labels; ++k) {
            const ConstraintClass c = classes_[static_cast<std::size_t>(k)];
            if (c != kNoClass && ((banned & (1u << c)) != 0 || c == excluded)) continue;
            if (scores[k] > best) {
                best = scores[k];
                index = k;
            }
        }
        if (!std::isfinite(best)) throw DepparseModelError("head constraints excluded every dependency relation");
        return {index, best};
    }

    std::vector<std::int64_t> label_all(const std::vector<std::int64_t>& heads) {
        std::vector<std::int64_t> labels;
        labels.reserve(heads.size() - 1);
        for (std::size_t w = 1; w < heads.size(); ++w) {
            labels.push_back(best_allowed(static_cast<std::int64_t>(w), heads[w], kNoClass).first);
        }
        return labels;
    }

    std::vector<ConstraintGroup> violations(const std::vector<std::int64_t>& heads,
                                            const std::vector<std::int64_t>& labels) const {
        std::vector<ConstraintGroup> groups;
        for (std::size_t w = 1; w < heads.size(); ++w) {
            const ConstraintClass c = classes_[static_cast<std::size_t>(labels[w - 1])];
            if (c == kNoClass) continue;
            const auto group = std::find_if(groups.begin(), groups.end(), [&](const ConstraintGroup& g) {
                return g.head == heads[w] && g.cls == c;
            });
            if (group != groups.end()) {
                group->dependents.push_back(static_cast<std::int64_t>(w));
            } else {
                groups.push_back({heads[w], c, {static_cast<std::int64_t>(w)}});
            }
        }
        groups.erase(std::remove_if(groups.begin(), groups.end(),
                                    [](const ConstraintGroup& g) { return g.dependents.size() < 2; }),
                     groups.end());
        return groups;
    }

    double total(const std::vector<std::int64_t>& heads, const std::vector<std::int64_t>& labels) {
        double sum = 0.0;
        for (std::size_t w = 1; w < heads.size(); ++w) {
            const auto h = static_cast<std::size_t>(heads[w]);
            sum += arcs_[w][h] + cube_.at(static_cast<std::int64_t>(w), heads[w])[labels[w - 1]];
        }
        return sum;
    }

    // One pass over the first group: the best candidate tree, then the bans.
    void repair(const ConstraintGroup& g, std::vector<std::int64_t>& heads, std::vector<std::int64_t>& labels) {
        const std::size_t n = arcs_.size();
        std::size_t adopted = 0;
        double adopted_total = kNegInf;
        for (std::size_t a = 0; a < g.dependents.size(); ++a) {
            DepparseScores scores = arcs_;
            for (std::size_t i = 0; i < g.dependents.size(); ++i) {
                if (i == a) continue;
                const std::int64_t d = g.dependents[i];
                for (std::size_t h = 0; h < n; ++h) {
                    const auto head = static_cast<std::int64_t>(h);
                    scores[static_cast<std::size_t>(d)][h] =
                        arcs_[static_cast<std::size_t>(d)][h] +
                        best_allowed(d, head, head == g.head ? g.cls : kNoClass).second;
                }
            }
            std::vector<std::int64_t> candidate_heads = decode_single_root(std::move(scores));
            std::vector<std::int64_t> candidate_labels = label_all(candidate_heads);
            for (std::size_t i = 0; i < g.dependents.size(); ++i) {
                const std::int64_t d = g.dependents[i];
                if (i == a || candidate_heads[static_cast<std::size_t>(d)] != g.head) continue;
                candidate_labels[static_cast<std::size_t>(d) - 1] = best_allowed(d, g.head, g.cls).first;
            }
            const double candidate_total = total(candidate_heads, candidate_labels);
            if (a == 0 || candidate_total > adopted_total) {
                adopted = a;
                adopted_total = candidate_total;
                heads = std::move(candidate_heads);
                labels = std::move(candidate_labels);
            }
        }
        for (std::size_t i = 0; i < g.dependents.size(); ++i) {
            if (i != adopted) bans_[ban_key(g.dependents[i], g.head)] |= static_cast<std::uint8_t>(1u << g.cls);
        }
    }

private:
    const DepparseScores& arcs_;
    DepparseLabelCube& cube_;
    std::vector<ConstraintClass> classes_;
    BanMap bans_;
};

}  // namespace

std::vector<std::int64_t> chu_liu_edmonds(DepparseScores S) {
    const std::size_t n = S.size();
    for (std::size_t i = 0; i < n; ++i) {
        if (i < S[i].size()) S[i][i] = kNegInf;
    }
    if (n > 0) {
        std::fill(S[0].begin(), S[0].end(), kNegInf);
        if (!S[0].empty()) S[0][0] = 0.0;
    }
    std::vector<std::int64_t> best(n);
    for (std::size_t i = 0; i < n; ++i) {
        if (S[i].empty()) throw DepparseModelError("cannot decode an empty score row");
        best[i] = static_cast<std::int64_t>(argmax_lowest(S[i]));
    }
    const std::vector<std::int64_t> C = last_cycle(best);
    if (C.empty()) return best;

    std::vector<std::int64_t> N;
    {
        std::vector<bool> in_cycle(n, false);
        for (const std::int64_t v : C) in_cycle[static_cast<std::size_t>(v)] = true;
        for (std::size_t v = 0; v < n; ++v) {
            if (!in_cycle[v]) N.push_back(static_cast<std::int64_t>(v));
        }
    }
    const std::size_t c = C.size();
    const std::size_t r = N.size();
    const auto at = [&](std::int64_t i, std::int64_t j) { return S[static_cast<std::size_t>(i)][static_cast<std::size_t>(j)]; };
    std::vector<double> cs(c);
    double cycle_total = 0.0;
    for (std::size_t k = 0; k < c; ++k) {
        cs[k] = at(C[k], best[static_cast<std::size_t>(C[k])]);
        cycle_total += cs[k];
    }
    std::vector<std::size_t> enter(r);
    std::vector<std::size_t> leave(r);
    DepparseScores T(r + 1, std::vector<double>(r + 1, 0.0));
    for (std::size_t t = 0; t < r; ++t) {
        std::size_t e = 0;
        double e_best = kNegInf;
        std::size_t l = 0;
        double l_best = kNegInf;
        for (std::size_t k = 0; k < c; ++k) {
            const double h = cycle_total + (at(C[k], N[t]) - cs[k]);
            if (h > e_best) {
                e_best = h;
                e = k;
            }
            const double d = at(N[t], C[k]);
            if (d > l_best) {
                l_best = d;
                l = k;
            }
        }
        enter[t] = e;
        leave[t] = l;
        for (std::size_t u = 0; u < r; ++u) T[t][u] = at(N[t], N[u]);
        T[t][r] = at(N[t], C[l]);
        T[r][t] = cycle_total + (at(C[e], N[t]) - cs[e]);
    }
    const std::vector<std::int64_t> sub = chu_liu_edmonds(std::move(T));
    const auto h = static_cast<std::size_t>(sub[r]);
    std::vector<std::int64_t> result(n, -1);
    for (std::size_t t = 0; t < r; ++t) {
        const auto s = static_cast<std::size_t>(sub[t]);
        result[static_cast<std::size_t>(N[t])] = s < r ? N[s] : C[leave[t]];
    }
    for (const std::int64_t v : C) result[static_cast<std::size_t>(v)] = best[static_cast<std::size_t>(v)];
    result[static_cast<std::size_t>(C[enter[h]])] = N[h];
    return result;
}

std::vector<std::int64_t> decode_single_root(DepparseScores S) {
    if (S.empty()) throw DepparseModelError("dependency scores contain no finite value");
    double m = std::numeric_limits<double>::infinity();
    for (const auto& row : S) {
        for (const double value : row) {
            if (std::isfinite(value) && value < m) m = value;
        }
    }
    if (!std::isfinite(m)) throw DepparseModelError("dependency scores contain no finite value");
    const auto rows = static_cast<double>(S.size());
    for (auto& row : S) {
        if (!row.empty()) row[0] = std::fma(m, rows, row[0]);
    }
    std::vector<std::int64_t> heads = chu_liu_edmonds(std::move(S));
    const auto roots = std::count(heads.begin() + 1, heads.end(), 0);
    if (roots != 1) throw DepparseModelError("single-root dependency decoding did not produce one root");
    return heads;
}

std::optional<std::string> head_constraint_class(std::string_view relation) {
    switch (class_of(relation)) {
        case kObj: return "obj";
        case kSubj: return "subj";
        case kSubjOuter: return "subj_outer";
        case kNoClass: break;
    }
    return std::nullopt;
}

std::pair<std::vector<std::int64_t>, std::vector<std::int64_t>> decode_with_head_constraints(
    const std::vector<std::string>& deprel_labels, const DepparseScores& arcs, DepparseLabelCube& cube,
    std::vector<std::int64_t> heads) {
    HeadConstraints constraints(deprel_labels, arcs, cube);
    std::vector<std::int64_t> labels = constraints.label_all(heads);
    for (int pass = 0; pass < kMaxConstraintPasses; ++pass) {
        const std::vector<ConstraintGroup> groups = constraints.violations(heads, labels);
        if (groups.empty()) break;
        constraints.repair(groups.front(), heads, labels);
    }
    return {std::move(heads), std::move(labels)};
}

DepparseScores depparse_arc_rows(const at::Tensor& arc) {
    const at::Tensor a = arc.contiguous();
    const std::int64_t n = a.size(0);
    DepparseScores arcs(static_cast<std::size_t>(n), std::vector<double>(static_cast<std::size_t>(n)));
    const float* arc_data = a.data_ptr<float>();
    for (std::int64_t i = 0; i < n; ++i) {
        for (std::int64_t j = 0; j < n; ++j) arcs[static_cast<std::size_t>(i)][static_cast<std::size_t>(j)] = arc_data[i * n + j];
    }
    return arcs;
}

std::vector<DepparsePrediction> relate_heads(const DepparsePlan::Impl& impl, const DepparseScores& arcs,
                                             DepparseLabelCube& cube, std::vector<std::int64_t> heads) {
    auto [final_heads, labels] = decode_with_head_constraints(impl.deprel_labels, arcs, cube, std::move(heads));
    std::vector<DepparsePrediction> predictions;
    predictions.reserve(labels.size());
    for (std::size_t w = 1; w < final_heads.size(); ++w) {
        const std::int64_t k = labels[w - 1];
        // Classifier outputs start at 0; the first four vocabulary entries are
        // reserved and never predicted.
        if (k < 0 || k + 4 >= static_cast<std::int64_t>(impl.deprel_labels.size())) {
            throw DepparseModelError("deprel classifier produced an invalid id");
        }
        predictions.push_back({static_cast<std::int32_t>(final_heads[w]), impl.deprel_labels[static_cast<std::size_t>(k) + 4]});
    }
    return predictions;
}

std::vector<DepparsePrediction> decode_sentence(const DepparsePlan::Impl& impl, const std::vector<DepparseWord>& words,
                                                const at::Tensor& arc, const at::Tensor& label) {
    if (words.empty()) return {};
    const DepparseScores arcs = depparse_arc_rows(arc.squeeze(0));
    const at::Tensor l = label.squeeze(0).contiguous();
    DepparseLabelCube cube;
    cube.n = static_cast<std::int64_t>(arcs.size());
    cube.labels = l.size(2);
    const float* label_data = l.data_ptr<float>();
    cube.values.assign(label_data, label_data + cube.n * cube.n * cube.labels);
    return relate_heads(impl, arcs, cube, decode_single_root(arcs));
}

}  // namespace quelbin::detail
