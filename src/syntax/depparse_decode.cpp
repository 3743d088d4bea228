// Tree decoding for the dependency parser: single-root maximum spanning
// arborescence (Chu-Liu-Edmonds over plain double matrices), then relation
// choice with the head constraints that forbid two objects or two subjects
// under one head.
#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <numeric>
#include <unordered_map>

#include "quelbin/errors.hpp"
#include "syntax/depparse_impl.hpp"

namespace quelbin::detail {
namespace {

constexpr double kNegInf = -std::numeric_limits<double>::infinity();
constexpr int kMaxConstraintPasses = 5;

// Index of the strict maximum of row[0 .. n), lowest index on ties; 0 when
// nothing beats -inf.
std::int64_t argmax_lowest(const double* row, std::int64_t n) {
    std::int64_t best = 0;
    double value = kNegInf;
    for (std::int64_t j = 0; j < n; ++j) {
        if (row[j] > value) {
            value = row[j];
            best = j;
        }
    }
    return best;
}

// The same over the columns `order` lists, in that order: the column (not
// its place in the order) of the first strict maximum; order[0] when nothing
// beats -inf.
std::int64_t argmax_in_order(const double* row, const std::vector<std::int64_t>& order) {
    std::int64_t best = order[0];
    double value = kNegInf;
    for (const std::int64_t j : order) {
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
    HeadConstraints(const std::vector<std::string>& deprel_labels, const DepparseArcs& arcs,
                    DepparseLabelCube& cube)
        : arcs_(arcs), cube_(cube), classes_(static_cast<std::size_t>(cube.labels), kNoClass) {
        for (std::size_t k = 0; k < classes_.size(); ++k) {
            if (k + 4 < deprel_labels.size()) classes_[k] = class_of(deprel_labels[k + 4]);
        }
        forget_plain_labels();
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

    // Each word's plain relation under its head. A repair's candidates share
    // most heads, so each word's last plain relation (and its score) is kept
    // until the bans change.
    std::vector<std::int64_t> label_all(const std::vector<std::int64_t>& heads) {
        std::vector<std::int64_t> labels(heads.size() - 1);
        for (std::size_t w = 1; w < heads.size(); ++w) {
            if (plain_head_[w] != heads[w]) {
                const auto [label, score] = best_allowed(static_cast<std::int64_t>(w), heads[w], kNoClass);
                plain_head_[w] = heads[w];
                plain_label_[w] = label;
                plain_score_[w] = score;
            }
            labels[w - 1] = plain_label_[w];
        }
        return labels;
    }

    void forget_plain_labels() {
        const auto n = static_cast<std::size_t>(arcs_.n);
        plain_head_.assign(n, -1);
        plain_label_.assign(n, -1);
        plain_score_.assign(n, 0.0);
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
            const auto word = static_cast<std::int64_t>(w);
            const bool remembered = plain_head_[w] == heads[w] && plain_label_[w] == labels[w - 1];
            const double label = remembered ? plain_score_[w] : cube_.at(word, heads[w])[labels[w - 1]];
            sum += arcs_(word, heads[w]) + label;
        }
        return sum;
    }

    // One pass over the first group: the best candidate tree, then the bans.
    void repair(const ConstraintGroup& g, std::vector<std::int64_t>& heads, std::vector<std::int64_t>& labels) {
        const std::int64_t n = arcs_.n;
        const std::size_t count = g.dependents.size();
        // Each member's arcs joined to its best permitted relation: the same
        // in every candidate that does not anchor that member.
        joined_.resize(count * static_cast<std::size_t>(n));
        for (std::size_t i = 0; i < count; ++i) {
            const std::int64_t d = g.dependents[i];
            double* row = joined_.data() + i * static_cast<std::size_t>(n);
            for (std::int64_t h = 0; h < n; ++h) {
                row[h] = arcs_(d, h) + best_allowed(d, h, h == g.head ? g.cls : kNoClass).second;
            }
        }
        std::size_t adopted = 0;
        double adopted_total = kNegInf;
        RepairCandidates candidates(arcs_, g.dependents, joined_.data());
        for (std::size_t a = 0; a < count; ++a) {
            std::vector<std::int64_t> candidate_heads = candidates.decode(a);
            std::vector<std::int64_t> candidate_labels = label_all(candidate_heads);
            for (std::size_t i = 0; i < count; ++i) {
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
        for (std::size_t i = 0; i < count; ++i) {
            if (i != adopted) bans_[ban_key(g.dependents[i], g.head)] |= static_cast<std::uint8_t>(1u << g.cls);
        }
        forget_plain_labels();
    }

private:
    const DepparseArcs& arcs_;
    DepparseLabelCube& cube_;
    std::vector<ConstraintClass> classes_;
    BanMap bans_;
    std::vector<double> joined_;
    std::vector<std::int64_t> plain_head_;  // per word, while the bans stay
    std::vector<std::int64_t> plain_label_;
    std::vector<double> plain_score_;
};

// A contracted cycle, kept to expand the tree afterwards: its members (nodes
// of the level it was found on, in order) with their heads and arc scores
// inside the cycle, from offset `members` of the lists below, and the sum of
// those scores.
struct Contraction {
    std::size_t members = 0;
    std::size_t count = 0;
    double total = 0.0;
};

bool bit(const std::uint64_t* bits, std::int64_t v) { return ((bits[v / 64] >> (v % 64)) & 1u) != 0; }
void set_bit(std::uint64_t* bits, std::int64_t v) { bits[v / 64] |= std::uint64_t{1} << (v % 64); }

}  // namespace

// Every level of the contraction works in the one matrix. A level's nodes are
// listed in `order`, which decides ties (the earliest wins); each node owns a
// row and a column of the matrix. A cycle's node is listed last and takes the
// row and column of its first member; the rows and columns of the other
// members are never written again, so expanding a level can scan them once
// more. Writing over the first member's row and column loses only whether
// the first member was a node's best member to head (leave) and the best to
// enter the cycle from the node (enter): one bit each per node and level.
std::vector<std::int64_t> chu_liu_edmonds(DepparseMatrix& S) {
    const std::int64_t n = S.n;
    if (n == 0) return {};
    for (std::int64_t i = 0; i < n; ++i) S[i][i] = kNegInf;
    std::fill(S[0], S[0] + n, kNegInf);
    S[0][0] = 0.0;
    std::vector<std::int64_t> order(static_cast<std::size_t>(n));
    std::iota(order.begin(), order.end(), 0);
    std::vector<std::int64_t> best(static_cast<std::size_t>(n));
    for (std::int64_t i = 0; i < n; ++i) best[static_cast<std::size_t>(i)] = argmax_lowest(S[i], n);

    const auto words = static_cast<std::size_t>((n + 63) / 64);
    std::vector<Contraction> levels;
    std::vector<std::int64_t> members;
    std::vector<std::int64_t> member_heads;
    std::vector<double> member_scores;
    std::vector<std::uint64_t> first_leave;  // per level, a bit per node
    std::vector<std::uint64_t> first_enter;
    std::vector<std::int64_t> place(static_cast<std::size_t>(n));  // node -> its index in order
    std::vector<std::int64_t> pointer;                               // head by index in order
    std::vector<char> in_cycle(static_cast<std::size_t>(n), 0);
    std::vector<std::int64_t> rest;
    std::vector<double> enter_best;
    std::vector<std::size_t> enter_at;
    for (;;) {
        const std::size_t live = order.size();
        for (std::size_t p = 0; p < live; ++p) place[static_cast<std::size_t>(order[p])] = static_cast<std::int64_t>(p);
        pointer.resize(live);
        for (std::size_t p = 0; p < live; ++p) {
            pointer[p] = place[static_cast<std::size_t>(best[static_cast<std::size_t>(order[p])])];
        }
        const std::vector<std::int64_t> cycle = last_cycle(pointer);
        if (cycle.empty()) break;

        Contraction level{members.size(), cycle.size(), 0.0};
        for (const std::int64_t p : cycle) {
            const std::int64_t v = order[static_cast<std::size_t>(p)];
            const std::int64_t head = best[static_cast<std::size_t>(v)];
            in_cycle[static_cast<std::size_t>(v)] = 1;
            members.push_back(v);
            member_heads.push_back(head);
            member_scores.push_back(S[v][head]);
            level.total += S[v][head];
        }
        const std::int64_t* C = members.data() + level.members;
        const double* cs = member_scores.data() + level.members;
        const std::size_t c = level.count;
        const std::int64_t s = C[0];
        rest.clear();
        for (const std::int64_t v : order) {
            if (in_cycle[static_cast<std::size_t>(v)] == 0) rest.push_back(v);
        }
        const std::size_t r = rest.size();
        // The value of the cycle entered from each outer node, member by
        // member (one row at a time).
        enter_best.assign(r, kNegInf);
        enter_at.assign(r, 0);
        for (std::size_t k = 0; k < c; ++k) {
            const double* row = S[C[k]];
            for (std::size_t t = 0; t < r; ++t) {
                const double h = level.total + (row[rest[t]] - cs[k]);
                if (h > enter_best[t]) {
                    enter_best[t] = h;
                    enter_at[t] = k;
                }
            }
        }
        first_leave.resize(first_leave.size() + words, 0);
        first_enter.resize(first_enter.size() + words, 0);
        std::uint64_t* leave_bits = first_leave.data() + levels.size() * words;
        std::uint64_t* enter_bits = first_enter.data() + levels.size() * words;
        for (std::size_t t = 0; t < r; ++t) {
            const std::int64_t v = rest[t];
            double* row = S[v];
            std::size_t l = 0;
            double l_best = kNegInf;
            for (std::size_t k = 0; k < c; ++k) {
                if (row[C[k]] > l_best) {
                    l_best = row[C[k]];
                    l = k;
                }
            }
            const std::size_t e = enter_at[t];
            const double entering = level.total + (S[C[e]][v] - cs[e]);
            row[s] = row[C[l]];
            S[s][v] = entering;
            if (l == 0) set_bit(leave_bits, v);
            if (e == 0) set_bit(enter_bits, v);
        }
        S[s][s] = kNegInf;
        levels.push_back(level);
        rest.push_back(s);
        order.swap(rest);
        // The cycle's node scans its row. The other nodes keep their heads
        // unless the head was a member: the cycle's column holds at most
        // their best, and comes last. A node whose head was a member, at
        // value m, takes the first outer column after that member that
        // equals m (the columns before it are all lower), or else the cycle.
        best[static_cast<std::size_t>(s)] = argmax_in_order(S[s], order);
        const std::vector<std::int64_t>& previous = rest;  // the level's order
        for (std::size_t t = 0; t + 1 < order.size(); ++t) {
            const std::int64_t v = order[t];
            const std::int64_t head = best[static_cast<std::size_t>(v)];
            if (in_cycle[static_cast<std::size_t>(head)] == 0) continue;
            const double* row = S[v];
            const double top = row[s];  // the best member's score
            std::int64_t next = s;
            for (std::size_t p = static_cast<std::size_t>(place[static_cast<std::size_t>(head)]) + 1; p < live; ++p) {
                const std::int64_t u = previous[p];
                if (in_cycle[static_cast<std::size_t>(u)] == 0 && row[u] == top) {
                    next = u;
                    break;
                }
            }
            best[static_cast<std::size_t>(v)] = next;
        }
        for (std::size_t k = 0; k < c; ++k) in_cycle[static_cast<std::size_t>(C[k])] = 0;
    }

    // Expand the levels, the last contracted first.
    std::vector<std::int64_t>& heads = best;
    std::vector<char> alive(static_cast<std::size_t>(n), 0);
    for (const std::int64_t v : order) alive[static_cast<std::size_t>(v)] = 1;
    for (std::size_t i = levels.size(); i-- > 0;) {
        const Contraction& level = levels[i];
        const std::int64_t* C = members.data() + level.members;
        const double* cs = member_scores.data() + level.members;
        const std::size_t c = level.count;
        const std::int64_t s = C[0];
        const std::uint64_t* leave_bits = first_leave.data() + i * words;
        const std::uint64_t* enter_bits = first_enter.data() + i * words;
        const std::int64_t h = heads[static_cast<std::size_t>(s)];
        for (std::int64_t v = 0; v < n; ++v) {
            if (alive[static_cast<std::size_t>(v)] == 0 || v == s || heads[static_cast<std::size_t>(v)] != s) continue;
            std::size_t l = 0;
            if (!bit(leave_bits, v)) {
                double l_best = kNegInf;
                for (std::size_t k = 1; k < c; ++k) {
                    if (S[v][C[k]] > l_best) {
                        l_best = S[v][C[k]];
                        l = k;
                    }
                }
            }
            heads[static_cast<std::size_t>(v)] = C[l];
        }
        for (std::size_t k = 0; k < c; ++k) heads[static_cast<std::size_t>(C[k])] = member_heads[level.members + k];
        std::size_t e = 0;
        if (!bit(enter_bits, h)) {
            double e_best = kNegInf;
            for (std::size_t k = 1; k < c; ++k) {
                const double value = level.total + (S[C[k]][h] - cs[k]);
                if (value > e_best) {
                    e_best = value;
                    e = k;
                }
            }
        }
        heads[static_cast<std::size_t>(C[e])] = h;
        for (std::size_t k = 1; k < c; ++k) alive[static_cast<std::size_t>(C[k])] = 1;
    }
    return std::move(heads);
}

std::vector<std::int64_t> decode_single_root(DepparseMatrix& S) {
    if (S.n == 0) throw DepparseModelError("dependency scores contain no finite value");
    double m = std::numeric_limits<double>::infinity();
    for (const double value : S.values) {
        if (std::isfinite(value) && value < m) m = value;
    }
    if (!std::isfinite(m)) throw DepparseModelError("dependency scores contain no finite value");
    const auto rows = static_cast<double>(S.n);
    for (std::int64_t r = 0; r < S.n; ++r) S[r][0] = std::fma(m, rows, S[r][0]);
    std::vector<std::int64_t> heads = chu_liu_edmonds(S);
    const auto roots = std::count(heads.begin() + 1, heads.end(), 0);
    if (roots != 1) throw DepparseModelError("single-root dependency decoding did not produce one root");
    return heads;
}

namespace {

DepparseMatrix matrix_of(const DepparseScores& S) {
    const auto n = static_cast<std::int64_t>(S.size());
    DepparseMatrix M(n, 0.0);
    for (std::int64_t i = 0; i < n; ++i) {
        const std::vector<double>& row = S[static_cast<std::size_t>(i)];
        if (static_cast<std::int64_t>(row.size()) != n) throw DepparseModelError("cannot decode an empty score row");
        std::copy(row.begin(), row.end(), M[i]);
    }
    return M;
}

}  // namespace

std::vector<std::int64_t> chu_liu_edmonds(const DepparseScores& S) {
    DepparseMatrix M = matrix_of(S);
    return chu_liu_edmonds(M);
}

std::vector<std::int64_t> decode_single_root(const DepparseScores& S) {
    const bool finite = std::any_of(S.begin(), S.end(), [](const std::vector<double>& row) {
        return std::any_of(row.begin(), row.end(), [](double value) { return std::isfinite(value); });
    });
    if (!finite) throw DepparseModelError("dependency scores contain no finite value");
    DepparseMatrix M = matrix_of(S);
    return decode_single_root(M);
}

const double* DepparseLabelCube::at(std::int64_t dependent, std::int64_t head) {
    if (!fill) return values.data() + (dependent * n + head) * labels;
    const auto [cell, fresh] = filled_.try_emplace(ban_key(dependent, head), nullptr);
    if (!fresh) return cell->second;
    constexpr std::int64_t kBlockCells = 1024;
    if (block_free_ == 0) {
        blocks_.push_back(std::make_unique<double[]>(static_cast<std::size_t>(kBlockCells * labels)));
        block_free_ = kBlockCells;
    }
    double* out = blocks_.back().get() + (kBlockCells - block_free_) * labels;
    try {
        fill(dependent, head, out);
    } catch (...) {
        filled_.erase(cell);
        throw;
    }
    --block_free_;
    cell->second = out;
    return out;
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
    const std::vector<std::string>& deprel_labels, const DepparseArcs& arcs, DepparseLabelCube& cube,
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

DepparseArcs depparse_arcs(const at::Tensor& arc) {
    return {arc.size(0), arc.stride(0), arc.const_data_ptr<float>()};
}

void widen_arcs(const DepparseArcs& arcs, DepparseMatrix& scores) {
    scores.n = arcs.n;
    scores.values.resize(static_cast<std::size_t>(arcs.n * arcs.n));
    for (std::int64_t i = 0; i < arcs.n; ++i) {
        const float* row = arcs.values + i * arcs.stride;
        std::copy(row, row + arcs.n, scores[i]);
    }
}

std::vector<DepparsePrediction> relate_heads(const DepparsePlan::Impl& impl, const DepparseArcs& arcs,
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
    const at::Tensor a = arc.squeeze(0).contiguous();
    const DepparseArcs arcs = depparse_arcs(a);
    std::vector<std::int64_t> heads;
    {
        DepparseMatrix scores;
        widen_arcs(arcs, scores);
        heads = decode_single_root(scores);
    }
    DepparseLabelCube cube;
    cube.n = arcs.n;
    const at::Tensor l = label.squeeze(0).contiguous();
    cube.labels = l.size(2);
    cube.fill = [l, n = cube.n, L = cube.labels](std::int64_t d, std::int64_t h, double* out) {
        const float* scores = l.const_data_ptr<float>() + (d * n + h) * L;
        std::copy(scores, scores + L, out);
    };
    return relate_heads(impl, arcs, cube, std::move(heads));
}

}  // namespace quelbin::detail
