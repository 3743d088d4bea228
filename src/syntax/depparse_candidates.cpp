// The head-constraint repair's candidate trees without a matrix per
// candidate. A candidate is the arcs with every group member's row replaced
// by its joined row, except the anchor's, so the rows' minima, maxima and
// tied maxima are found once per pass and each candidate only assembles them.
//
// Decoding then follows the contraction of the matrix decoder step by step
// (the same cycles, in the same order, with the same ties), but no level's
// matrix is written. A node is an original position or a contracted cycle;
// each keeps one row over the original positions, and its value toward a
// node is the maximum of that row over the node's positions. A node's head
// is then the first node (lowest id) holding one of the positions where its
// row is highest, so a contraction costs one pass over its members' rows,
// not a read of every remaining row's column. Expanding follows those
// positions down the contraction tree; for a two-member cycle it reads which
// member gave each position its value from a bit kept per position, so that
// the members' rows are given back as soon as the cycle's row is made.
//
// The candidates of a pass contract alike until the level that contracts
// their anchor: each goes on from a state of one shared decode saved before
// that level, so a pass costs about what is left after those levels.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include "kernels/simd.hpp"
#ifdef QUELBIN_X86_KERNELS
#include <immintrin.h>
#endif

#include "quelbin/errors.hpp"
#include "syntax/depparse_impl.hpp"

namespace quelbin::detail {
namespace {

constexpr double kNegInf = -std::numeric_limits<double>::infinity();
constexpr double kPosInf = std::numeric_limits<double>::infinity();
constexpr double kMarked = std::numeric_limits<double>::quiet_NaN();
constexpr std::int64_t kTieBlock = 64;  // positions per block: one 64-bit word of bits

// Block b's first position: the root's column is no block's.
constexpr std::int64_t block_start(std::int64_t b) { return b == 0 ? 1 : b * kTieBlock; }
constexpr std::int64_t kBlockRows = 64;
// Sentences from this many positions keep their rows in contraction order.
constexpr std::int64_t kPermuteFrom = 256;
// Groups of this many members decode from the reference's saved states,
// taken about this many times per decode.
constexpr std::size_t kShareFrom = 3;
constexpr std::int64_t kCheckpoints = 64;

}  // namespace

template <typename T>
RepairCandidates::RowStats RepairCandidates::stats_of(const T* row, std::int64_t x, std::vector<std::int32_t>& ties) {
    RowStats stats;
    for (std::int64_t y = 0; y < n_; ++y) {
        const double v = row[y];
        if (std::isnan(v) || v == kPosInf) usable_ = false;
        if (std::isfinite(v) && v < stats.min) stats.min = v;
    }
    for (std::int64_t y = 1; y < n_; ++y) {
        if (y != x && row[y] > stats.max) stats.max = row[y];
    }
    stats.ties = ties.size();
    if (stats.max == kNegInf) return stats;
    for (std::int64_t y = 1; y < n_; ++y) {
        if (y != x && row[y] == stats.max) ties.push_back(static_cast<std::int32_t>(y));
    }
    stats.tie_count = ties.size() - stats.ties;
    return stats;
}

RepairCandidates::RepairCandidates(const DepparseArcs& arcs, const std::vector<std::int64_t>& members,
                                   const double* joined)
    : arcs_(arcs), n_(arcs.n), members_(members), joined_(joined) {
    member_of_.assign(static_cast<std::size_t>(n_), -1);
    for (std::size_t i = 0; i < members.size(); ++i) member_of_[static_cast<std::size_t>(members[i])] = static_cast<std::int64_t>(i);
    arc_stats_.resize(static_cast<std::size_t>(n_));
    for (std::int64_t x = 0; x < n_; ++x) {
        arc_stats_[static_cast<std::size_t>(x)] = stats_of(arcs.values + x * arcs.stride, x, arc_ties_);
    }
    joined_stats_.resize(members.size());
    for (std::size_t i = 0; i < members.size(); ++i) {
        joined_stats_[i] = stats_of(joined + i * static_cast<std::size_t>(n_), members[i], joined_ties_);
    }
}

std::vector<std::int64_t> RepairCandidates::decode(std::size_t anchor) {
    // The shared decode needs rows stored as they stay; longer sentences
    // take that order from the first candidate's decode.
    const bool share = usable_ && !reference_tried_ && members_.size() >= kShareFrom;
    if (share && (permuted_ || n_ < kPermuteFrom)) prepare_reference();
    anchor_ = static_cast<std::int64_t>(anchor);
    if (usable_) {
        std::vector<std::int64_t> heads;
        if (!resume()) {
            heads = decode_by_rows();
        } else if (contract_all()) {
            heads = expand();
        }
        if (!heads.empty()) {
            if (!permuted_ && members_.size() > 1 && n_ >= kPermuteFrom) store_in_contraction_order();
            if (share && !reference_tried_) prepare_reference();
            return heads;
        }
    }
    // The matrix decoder takes values that are not numbers, or +inf (the row
    // form does not copy its comparisons for them), and rows whose maxima so
    // many positions share that following them costs more than a matrix.
    ++matrix_decodes_;
    widen_arcs(arcs_, dense_);
    for (std::size_t i = 0; i < members_.size(); ++i) {
        if (i == anchor) continue;
        std::copy_n(joined_ + i * static_cast<std::size_t>(n_), n_, dense_[members_[i]]);
    }
    return decode_single_root(dense_);
}

// Rows keep positions in the order of the first candidate's contraction
// tree, where every cycle's positions lie side by side: the candidates of a
// pass contract nearly alike, so a cycle's positions then fill whole blocks,
// which its row and the rows built from it mark without reading. The order is the positions' own for the
// scores, ties and every result; only where a row stores a position changes.
void RepairCandidates::store_in_contraction_order() {
    const auto un = static_cast<std::size_t>(n_);
    order_.resize(un);
    for (std::size_t y = 0; y < un; ++y) order_[static_cast<std::size_t>(rank_[y])] = static_cast<std::int32_t>(y);
    perm_.resize(un);
    for (std::size_t i = 0; i < un; ++i) perm_[static_cast<std::size_t>(order_[i])] = static_cast<std::int32_t>(i);
    arcs_stored_.resize(un * un);
    for (std::int64_t x = 0; x < n_; ++x) {
        const float* row = arcs_.values + x * arcs_.stride;
        float* out = arcs_stored_.data() + static_cast<std::size_t>(x) * un;
        for (std::size_t i = 0; i < un; ++i) out[i] = row[order_[i]];
    }
    joined_stored_.resize(members_.size() * un);
    for (std::size_t m = 0; m < members_.size(); ++m) {
        const double* row = joined_ + m * un;
        double* out = joined_stored_.data() + m * un;
        for (std::size_t i = 0; i < un; ++i) out[i] = row[order_[i]];
    }
    permuted_ = true;
}

// Original row x of the current candidate: its joined row (true) or its arcs.
bool RepairCandidates::joined_row(std::int64_t x, const double** row, const RowStats** stats) const {
    const std::int64_t i = member_of_[static_cast<std::size_t>(x)];
    if (i >= 0 && i != anchor_) {
        *row = joined_ + static_cast<std::size_t>(i) * static_cast<std::size_t>(n_);
        *stats = &joined_stats_[static_cast<std::size_t>(i)];
        return true;
    }
    *stats = &arc_stats_[static_cast<std::size_t>(x)];
    return false;
}

double RepairCandidates::value(std::int64_t node, std::int64_t y) const {
    if (node >= n_) {
        const auto level = static_cast<std::size_t>(node - n_);
        if (y == 0) return root_value_[level];
        if (row_slot_[level] >= 0) return row_of(node)[stored(y)];
        return recomputed(node, y);
    }
    if (y == 0) return root_column_[static_cast<std::size_t>(node)];
    if (y == node) return kNegInf;
    const double* row = nullptr;
    const RowStats* stats = nullptr;
    if (joined_row(node, &row, &stats)) return row[y];
    return arcs_(node, y);
}

double* RepairCandidates::slot_row(std::int64_t slot) {
    return blocks_[static_cast<std::size_t>(slot / kBlockRows)].get() + (slot % kBlockRows) * n_;
}

double* RepairCandidates::row_of(std::int64_t node) { return slot_row(row_slot_[static_cast<std::size_t>(node - n_)]); }

// A cycle's row value at position y (outside it) once its row is given
// back: entered from its members' values there, as its row was. Nested
// cycles are followed with a stack of their own, as they can be as many as
// the words.
double RepairCandidates::recomputed(std::int64_t node, std::int64_t y) const {
    struct Pending {
        std::int64_t node;
        std::size_t member;
        double best;
    };
    std::vector<Pending> pending{{node, 0, kNegInf}};
    double result = 0.0;
    bool returned = false;  // `result` is the value of the top's current member
    while (!pending.empty()) {
        Pending& top = pending.back();
        const Level& level = levels_[static_cast<std::size_t>(top.node - n_)];
        const std::vector<std::int64_t>& C = cycles_[level.cycle];
        if (returned) {
            const double e = level.total + (result - member_scores_[level.first_score + top.member]);
            if (top.member == 0 || e > top.best) top.best = e;
            ++top.member;
            returned = false;
        }
        if (top.member == C.size()) {
            result = top.best;
            returned = true;
            pending.pop_back();
            continue;
        }
        const std::int64_t member = C[top.member];
        if (member < n_ || row_slot_[static_cast<std::size_t>(member - n_)] >= 0) {
            result = value(member, y);
            returned = true;
        } else {
            pending.push_back({member, 0, kNegInf});
        }
    }
    return result;
}

const double* RepairCandidates::row_of(std::int64_t node) const {
    return const_cast<RepairCandidates*>(this)->row_of(node);
}

RepairCandidates::Span RepairCandidates::ties_of(std::int64_t v) const {
    if (v >= n_) {
        const std::vector<std::int32_t>& ties = level_ties_[static_cast<std::size_t>(v - n_)];
        return {ties.data(), ties.size()};
    }
    return tie_span_[static_cast<std::size_t>(v)];
}

std::int64_t RepairCandidates::find(std::int64_t v) {
    while (parent_[static_cast<std::size_t>(v)] != v) {
        auto& p = parent_[static_cast<std::size_t>(v)];
        p = parent_[static_cast<std::size_t>(p)];
        v = p;
    }
    return v;
}

// The node a node takes as head at the current level: the root when the
// root's column holds its maximum, else the first node in order (the lowest
// id) that holds a position of the maximum. A node with several such
// positions keeps its head, found again when that head is contracted.
std::int64_t RepairCandidates::best_of(std::int64_t v) {
    const auto sv = static_cast<std::size_t>(v);
    if (on_root_[sv] != 0) return 0;
    const Span ties = ties_of(v);
    if (ties.count == 1) return find(ties.data[0]);
    return tied_together_[sv] != 0 ? find(tied_head_[sv]) : tied_head_[sv];
}

// The head of a node whose maximum several positions hold. Once one node
// holds them all, the node that holds that node is the head from then on;
// until then the node is listed under its head and found again when the
// head is contracted.
void RepairCandidates::find_tied_head(std::int64_t v) {
    const Span ties = ties_of(v);
    tie_work_ += ties.count;
    std::int64_t head = find(ties.data[0]);
    bool together = true;
    for (std::size_t t = 1; t < ties.count; ++t) {
        const std::int64_t holder = find(ties.data[t]);
        together = together && holder == head;
        head = std::min(head, holder);
    }
    const auto sv = static_cast<std::size_t>(v);
    tied_head_[sv] = head;
    tied_together_[sv] = together ? 1 : 0;
    if (!together) tied_under_[static_cast<std::size_t>(head)].push_back(v);
}

// Follows heads from `start`; a walk that comes back to itself is a new
// cycle, one that reaches the root settles every node on it.
void RepairCandidates::walk(std::int64_t start) {
    path_.clear();
    const std::int64_t id = ++walk_id_;
    std::int64_t v = start;
    for (;;) {
        const auto sv = static_cast<std::size_t>(v);
        if (v == 0 || settled_[sv] != 0) {
            for (const std::int64_t p : path_) settled_[static_cast<std::size_t>(p)] = 1;
            return;
        }
        if (on_cycle_[sv] != 0) return;
        if (stamp_[sv] == id) {
            std::vector<std::int64_t> cycle(path_.begin() + place_[sv], path_.end());
            std::sort(cycle.begin(), cycle.end());
            for (const std::int64_t c : cycle) on_cycle_[static_cast<std::size_t>(c)] = 1;
            pending_.emplace_back(cycle.front(), cycles_.size());
            std::push_heap(pending_.begin(), pending_.end());
            cycles_.push_back(std::move(cycle));
            return;
        }
        if (stamp_[sv] >= round_start_) return;  // joins an earlier walk of this round
        stamp_[sv] = id;
        place_[sv] = static_cast<std::int64_t>(path_.size());
        path_.push_back(v);
        v = best_of(v);
    }
}

// A cycle's row holds not-a-number at its own positions: scores never do
// (such candidates go to the matrix decoder), every comparison skips it, and
// entering a cycle keeps it, so a row needs no masking pass.
//
// out = total + (in - cs) over a member's row (`first`), or the larger of
// that and out, where out is not-a-number wherever either is.
template <typename T>
static void enter_row(const T* in, double total, double cs, bool first, double* out, std::int64_t n) {
    if (first) {
        for (std::int64_t y = 0; y < n; ++y) out[y] = total + (static_cast<double>(in[y]) - cs);
        return;
    }
    for (std::int64_t y = 0; y < n; ++y) {
        const double e = total + (static_cast<double>(in[y]) - cs);
        out[y] = e > out[y] || e != e ? e : out[y];
    }
}

#if defined(__SSE2__)
static __m128d load_two(const double* in) { return _mm_loadu_pd(in); }
static __m128d load_two(const float* in) {
    return _mm_cvtps_pd(_mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(in))));
}
#endif

// The same for the last member, over positions 1 .. n - 1, keeping the
// maximum of every block of 64 positions (block b from position 64 b, the
// root's column left out of block 0), so that finding where the row's
// maximum lies reads only the blocks that hold it.
template <typename T>
static void enter_last_row(const T* in, double total, double cs, double* out, std::int64_t n, double* block_max) {
    for (std::int64_t b = 0; b * kTieBlock < n; ++b) {
        const std::int64_t end = std::min(n, (b + 1) * kTieBlock);
        std::int64_t y = block_start(b);
        double top = kNegInf;
#if defined(__SSE2__)
        const __m128d t = _mm_set1_pd(total);
        const __m128d c = _mm_set1_pd(cs);
        __m128d tops = _mm_set1_pd(kNegInf);
        for (; y + 2 <= end; y += 2) {
            const __m128d e = _mm_add_pd(t, _mm_sub_pd(load_two(in + y), c));
            const __m128d o = _mm_loadu_pd(out + y);
            const __m128d take = _mm_or_pd(_mm_cmpgt_pd(e, o), _mm_cmpunord_pd(e, e));
            const __m128d v = _mm_or_pd(_mm_and_pd(take, e), _mm_andnot_pd(take, o));
            _mm_storeu_pd(out + y, v);
            tops = _mm_max_pd(v, tops);  // v > tops ? v : tops, so marks are skipped
        }
        const double low = _mm_cvtsd_f64(tops);
        const double high = _mm_cvtsd_f64(_mm_unpackhi_pd(tops, tops));
        top = high > low ? high : low;
#endif
        for (; y < end; ++y) {
            const double e = total + (static_cast<double>(in[y]) - cs);
            const double v = e > out[y] || e != e ? e : out[y];
            out[y] = v;
            top = v > top ? v : top;
        }
        block_max[b] = top;
    }
}

// A block of positions that lie inside the cycle (a member's row marks the
// whole block) is left unwritten: nothing reads a row inside its cycle but a
// cycle of more than two members, which marks such blocks first.
QUELBIN_ALWAYS_INLINE bool skip_inside(std::uint8_t inside, double& block_max, std::uint64_t& from_second) {
    if (inside == 0) return false;
    block_max = kNegInf;
    from_second = 0;
    return true;
}

// enter_pair's positions y .. end - 1 one at a time.
template <typename A, typename B>
QUELBIN_ALWAYS_INLINE void enter_pair_tail(const A* first, double cs_first, const B* second, double cs_second,
                                           double total, double* out, std::int64_t y, std::int64_t end, double& top,
                                           std::uint64_t& taken) {
    for (; y < end; ++y) {
        const double o = total + (static_cast<double>(first[y]) - cs_first);
        const double e = total + (static_cast<double>(second[y]) - cs_second);
        const bool take = e > o || e != e;
        const double v = take ? e : o;
        out[y] = v;
        top = v > top ? v : top;
        taken |= static_cast<std::uint64_t>(take) << (y & 63);
    }
}

// A two-member cycle in one pass: out = the larger of both members'
// entered values (marked wherever either is), block maxima as above, and a
// bit per position where the second member's value is the larger.
template <typename A, typename B>
static void enter_pair(const A* first, double cs_first, const B* second, double cs_second, double total, double* out,
                       std::int64_t n, double* block_max, std::uint64_t* from_second, const std::uint8_t* inside) {
    for (std::int64_t b = 0; b * kTieBlock < n; ++b) {
        const std::int64_t end = std::min(n, (b + 1) * kTieBlock);
        std::int64_t y = block_start(b);
        if (skip_inside(inside[b], block_max[b], from_second[b])) continue;
        double top = kNegInf;
        std::uint64_t taken = 0;
#if defined(__SSE2__)
        const __m128d t = _mm_set1_pd(total);
        const __m128d c0 = _mm_set1_pd(cs_first);
        const __m128d c1 = _mm_set1_pd(cs_second);
        __m128d tops = _mm_set1_pd(kNegInf);
        __m128d more_tops = tops;
        const auto pair = [&](std::int64_t at, __m128d& block_top) {
            const __m128d o = _mm_add_pd(t, _mm_sub_pd(load_two(first + at), c0));
            const __m128d e = _mm_add_pd(t, _mm_sub_pd(load_two(second + at), c1));
            const __m128d take = _mm_or_pd(_mm_cmpgt_pd(e, o), _mm_cmpunord_pd(e, e));
            const __m128d v = _mm_or_pd(_mm_and_pd(take, e), _mm_andnot_pd(take, o));
            _mm_storeu_pd(out + at, v);
            block_top = _mm_max_pd(v, block_top);  // v > top ? v : top, so marks are skipped
            taken |= static_cast<std::uint64_t>(_mm_movemask_pd(take)) << (at & 63);
        };
        for (; y + 4 <= end; y += 4) {
            pair(y, tops);
            pair(y + 2, more_tops);
        }
        for (; y + 2 <= end; y += 2) pair(y, tops);
        tops = _mm_max_pd(more_tops, tops);
        const double low = _mm_cvtsd_f64(tops);
        const double high = _mm_cvtsd_f64(_mm_unpackhi_pd(tops, tops));
        top = high > low ? high : low;
#endif
        enter_pair_tail(first, cs_first, second, cs_second, total, out, y, end, top, taken);
        block_max[b] = top;
        from_second[b] = taken;
    }
}

#ifdef QUELBIN_X86_KERNELS
__attribute__((target("avx2"))) QUELBIN_ALWAYS_INLINE __m256d load_four(const double* in) { return _mm256_loadu_pd(in); }
__attribute__((target("avx2"))) QUELBIN_ALWAYS_INLINE __m256d load_four(const float* in) {
    return _mm256_cvtps_pd(_mm_loadu_ps(in));
}

// enter_pair four positions at a time, for processors with AVX2.
template <typename A, typename B>
__attribute__((target("avx2"))) static void enter_pair_avx2(const A* first, double cs_first, const B* second,
                                                             double cs_second, double total, double* out,
                                                             std::int64_t n, double* block_max,
                                                             std::uint64_t* from_second, const std::uint8_t* inside) {
    const __m256d t = _mm256_set1_pd(total);
    const __m256d c0 = _mm256_set1_pd(cs_first);
    const __m256d c1 = _mm256_set1_pd(cs_second);
    for (std::int64_t b = 0; b * kTieBlock < n; ++b) {
        const std::int64_t end = std::min(n, (b + 1) * kTieBlock);
        std::int64_t y = block_start(b);
        if (skip_inside(inside[b], block_max[b], from_second[b])) continue;
        std::uint64_t taken = 0;
        __m256d tops = _mm256_set1_pd(kNegInf);
        for (; y + 4 <= end; y += 4) {
            const __m256d o = _mm256_add_pd(t, _mm256_sub_pd(load_four(first + y), c0));
            const __m256d e = _mm256_add_pd(t, _mm256_sub_pd(load_four(second + y), c1));
            const __m256d take = _mm256_or_pd(_mm256_cmp_pd(e, o, _CMP_GT_OQ), _mm256_cmp_pd(e, e, _CMP_UNORD_Q));
            const __m256d v = _mm256_blendv_pd(o, e, take);
            _mm256_storeu_pd(out + y, v);
            tops = _mm256_max_pd(v, tops);  // v > tops ? v : tops, so marks are skipped
            taken |= static_cast<std::uint64_t>(_mm256_movemask_pd(take)) << (y & 63);
        }
        alignas(32) double lanes[4];
        _mm256_store_pd(lanes, tops);
        double top = kNegInf;
        for (const double lane : lanes) top = lane > top ? lane : top;
        enter_pair_tail(first, cs_first, second, cs_second, total, out, y, end, top, taken);
        block_max[b] = top;
        from_second[b] = taken;
    }
}
#endif

// enter_pair with the widest vectors the processor has.
template <typename A, typename B>
static void enter_pair_best(const A* first, double cs_first, const B* second, double cs_second, double total,
                            double* out, std::int64_t n, double* block_max, std::uint64_t* from_second,
                            const std::uint8_t* inside) {
#ifdef QUELBIN_X86_KERNELS
    if (cpu_has_avx2()) return enter_pair_avx2(first, cs_first, second, cs_second, total, out, n, block_max, from_second, inside);
#endif
    enter_pair(first, cs_first, second, cs_second, total, out, n, block_max, from_second, inside);
}

// Contracts cycle `index` into the next node.
void RepairCandidates::contract(std::size_t index) {
    const std::vector<std::int64_t>& C = cycles_[index];
    const auto level_index = static_cast<std::int64_t>(levels_.size());
    const std::int64_t s = n_ + level_index;
    const auto ss = static_cast<std::size_t>(s);
    // A row slot: one given back, or a new one.
    std::int64_t slot = 0;
    if (!free_slots_.empty()) {
        slot = free_slots_.back();
        free_slots_.pop_back();
    } else {
        slot = slots_++;
        if (slot % kBlockRows == 0 && static_cast<std::size_t>(slot / kBlockRows) == blocks_.size()) {
            blocks_.push_back(std::make_unique<double[]>(static_cast<std::size_t>(kBlockRows * n_)));
        }
    }
    if (row_slot_.size() <= static_cast<std::size_t>(level_index)) {
        row_slot_.resize(static_cast<std::size_t>(level_index) + 1);
        root_value_.resize(static_cast<std::size_t>(level_index) + 1);
    }
    row_slot_[static_cast<std::size_t>(level_index)] = slot;
    const std::size_t blocks = words_;  // blocks of 64 positions, one word of bits each
    if (inside_.size() < static_cast<std::size_t>(slot + 1) * blocks) inside_.resize(static_cast<std::size_t>(slot + 1) * blocks);
    Level level;
    level.cycle = index;
    level.first_score = member_scores_.size();
    for (const std::int64_t v : C) {
        member_heads_.push_back(best_of(v));
        member_scores_.push_back(maximum_[static_cast<std::size_t>(v)]);
        level.total += maximum_[static_cast<std::size_t>(v)];
    }
    // The value of the cycle entered from each position, member by member.
    double* out = row_of(s);
    // Blocks wholly inside a member are inside the cycle.
    std::uint8_t* out_inside = inside_of(slot);
    std::fill(out_inside, out_inside + blocks, 0);
    for (const std::int64_t u : C) {
        if (u < n_) continue;
        const std::uint8_t* member_inside = inside_of(row_slot_[static_cast<std::size_t>(u - n_)]);
        for (std::size_t k = 0; k < blocks; ++k) out_inside[k] |= member_inside[k];
    }
    block_max_.resize(blocks);
    const double* cs = member_scores_.data() + level.first_score;
    // A member's row: a cycle's or a joined row (doubles), or the arcs.
    struct Row {
        const double* values = nullptr;
        const float* arcs = nullptr;
    };
    const auto row_for = [&](std::int64_t v) {
        const double* joined = nullptr;
        const RowStats* stats = nullptr;
        Row row;
        if (v >= n_) {
            row.values = row_of(v);
        } else if (joined_row(v, &joined, &stats)) {
            row.values = permuted_ ? joined_stored_.data() + static_cast<std::size_t>(member_of_[static_cast<std::size_t>(v)]) * static_cast<std::size_t>(n_) : joined;
        } else {
            row.arcs = permuted_ ? arcs_stored_.data() + static_cast<std::size_t>(v) * static_cast<std::size_t>(n_) : arcs_.values + v * arcs_.stride;
        }
        return row;
    };
    if (C.size() == 2) {
        // The next level's original member is most likely the one of the
        // first candidate's next level: fetch its row meanwhile.
        const auto next = static_cast<std::size_t>(level_index) + 1;
#if defined(__SSE2__)
        if (permuted_ && next < first_originals_.size() && first_originals_[next] >= 0) {
            const char* ahead = reinterpret_cast<const char*>(row_for(first_originals_[next]).arcs);
            if (ahead != nullptr) {
                const auto bytes = static_cast<std::int64_t>(sizeof(float)) * n_;
                for (std::int64_t byte = 0; byte < bytes; byte += 64) _mm_prefetch(ahead + byte, _MM_HINT_T1);
            }
        }
#endif
        if (!permuted_) {
            if (first_originals_.size() <= static_cast<std::size_t>(level_index)) first_originals_.resize(static_cast<std::size_t>(level_index) + 1, -1);
            first_originals_[static_cast<std::size_t>(level_index)] = C[0] < n_ ? C[0] : C[1] < n_ ? C[1] : -1;
        }
        const Row a = row_for(C[0]);
        const Row b = row_for(C[1]);
        double* tops = block_max_.data();
        std::uint64_t* second = seconds_of(static_cast<std::size_t>(level_index));
        if (a.arcs != nullptr && b.arcs != nullptr) {
            enter_pair_best(a.arcs, cs[0], b.arcs, cs[1], level.total, out, n_, tops, second, out_inside);
        } else if (a.arcs != nullptr) {
            enter_pair_best(a.arcs, cs[0], b.values, cs[1], level.total, out, n_, tops, second, out_inside);
        } else if (b.arcs != nullptr) {
            enter_pair_best(a.values, cs[0], b.arcs, cs[1], level.total, out, n_, tops, second, out_inside);
        } else {
            enter_pair_best(a.values, cs[0], b.values, cs[1], level.total, out, n_, tops, second, out_inside);
        }
        // Expanding reads which member gave each position its value from
        // `second`, so the members' rows go back for later cycles.
        for (const std::int64_t u : C) {
            if (u < n_) continue;
            std::int64_t& member_slot = row_slot_[static_cast<std::size_t>(u - n_)];
            free_slots_.push_back(member_slot);
            member_slot = -1;
        }
        // The original members' own positions; the cycles' are marked. A
        // block whose last position that marks is inside from then on.
        for (const std::int64_t u : C) {
            if (u >= n_) continue;
            out[stored(u)] = kMarked;
            const std::int64_t b = stored(u) / kTieBlock;
            double top = kNegInf;
            bool marked = true;
            for (std::int64_t y = block_start(b); y < std::min(n_, (b + 1) * kTieBlock); ++y) {
                top = out[y] > top ? out[y] : top;
                marked = marked && out[y] != out[y];
            }
            block_max_[static_cast<std::size_t>(b)] = top;
            out_inside[b] = marked ? 1 : 0;
        }
    } else {
        for (const std::int64_t u : C) {
            if (u < n_) continue;
            const std::uint8_t* member_inside = inside_of(row_slot_[static_cast<std::size_t>(u - n_)]);
            double* row = row_of(u);
            for (std::int64_t b = 0; b < static_cast<std::int64_t>(blocks); ++b) {
                if (member_inside[b] != 0) std::fill(row + block_start(b), row + std::min(n_, (b + 1) * kTieBlock), kMarked);
            }
        }
        for (std::size_t k = 0; k < C.size(); ++k) {
            if (k == 1) {
                for (const std::int64_t u : C) {
                    if (u < n_) out[stored(u)] = kMarked;
                }
            }
            const Row row = row_for(C[k]);
            const bool last = k + 1 == C.size();
            if (row.arcs != nullptr && last) {
                enter_last_row(row.arcs, level.total, cs[k], out, n_, block_max_.data());
            } else if (row.arcs != nullptr) {
                enter_row(row.arcs, level.total, cs[k], k == 0, out, n_);
            } else if (last) {
                enter_last_row(row.values, level.total, cs[k], out, n_, block_max_.data());
            } else {
                enter_row(row.values, level.total, cs[k], k == 0, out, n_);
            }
        }
    }
    // The root's column: original rows hold their penalised value apart.
    double root = kNegInf;
    for (std::size_t k = 0; k < C.size(); ++k) {
        const double e = level.total + (value(C[k], 0) - member_scores_[level.first_score + k]);
        if (e > root) root = e;
    }
    out[0] = root;
    root_value_[static_cast<std::size_t>(level_index)] = root;
    if (C.size() == 2) {
        const double from_first = level.total + (value(C[0], 0) - cs[0]);
        const double from_second = level.total + (value(C[1], 0) - cs[1]);
        if (from_second > from_first) seconds_of(static_cast<std::size_t>(level_index))[0] |= 1u;
    }
    for (const std::int64_t v : C) {
        parent_[static_cast<std::size_t>(v)] = s;
        enclosing_[static_cast<std::size_t>(v)] = s;
        on_cycle_[static_cast<std::size_t>(v)] = 0;
    }
    levels_.push_back(level);

    // Its maximum and the positions holding it, lowest first; the root comes
    // first in order, so it wins ties.
    double top = kNegInf;
    for (const double block_top : block_max_) top = block_top > top ? block_top : top;
    if (level_ties_.size() <= static_cast<std::size_t>(level_index)) level_ties_.resize(static_cast<std::size_t>(level_index) + 1);
    std::vector<std::int32_t>& ties = level_ties_[static_cast<std::size_t>(level_index)];
    ties.clear();
    on_root_[ss] = root >= top ? 1 : 0;
    maximum_[ss] = std::max(top, root);
    if (on_root_[ss] != 0) return;
    for (std::size_t b = 0; b < blocks; ++b) {
        if (block_max_[b] != top) continue;
        const auto block = static_cast<std::int64_t>(b);
        for (std::int64_t y = block_start(block); y < std::min(n_, (block + 1) * kTieBlock); ++y) {
            if (out[y] == top) ties.push_back(static_cast<std::int32_t>(permuted_ ? order_[static_cast<std::size_t>(y)] : y));
        }
    }
    std::sort(ties.begin(), ties.end());
    maximum_[ss] = out[stored(ties.front())];  // the first position's own value, as a scan would keep
    if (ties.size() > 1) find_tied_head(s);
}

// The smallest finite value of the current candidate's rows: the root
// penalty of decode_single_root.
double RepairCandidates::penalty_minimum() const {
    double m = kPosInf;
    for (std::int64_t x = 0; x < n_; ++x) {
        const double* row = nullptr;
        const RowStats* stats = nullptr;
        joined_row(x, &row, &stats);
        if (stats->min < m) m = stats->min;
    }
    return m;
}

// Original row x's root column, penalised by m.
double RepairCandidates::root_entry(std::int64_t x, double m) const {
    const double* row = nullptr;
    const RowStats* stats = nullptr;
    const double raw = joined_row(x, &row, &stats) ? row[0] : arcs_(x, 0);
    return std::fma(m, static_cast<double>(n_), raw);
}

// Original row x's maximum and where it lies, or the root.
void RepairCandidates::start_head(std::int64_t x) {
    const auto sx = static_cast<std::size_t>(x);
    const double* row = nullptr;
    const RowStats* stats = nullptr;
    const bool joined = joined_row(x, &row, &stats);
    const double root = root_column_[sx];
    on_root_[sx] = 0;
    tie_span_[sx] = Span{};
    if (stats->max == kNegInf || stats->max <= root) {
        on_root_[sx] = 1;
        maximum_[sx] = std::max(root, stats->max);
        return;
    }
    maximum_[sx] = stats->max;
    tie_span_[sx] = {(joined ? joined_ties_ : arc_ties_).data() + stats->ties, stats->tie_count};
}

void RepairCandidates::start_decode() {
    const std::int64_t n = n_;
    const auto un = static_cast<std::size_t>(n);
    const double m = penalty_minimum();
    if (!std::isfinite(m)) throw DepparseModelError("dependency scores contain no finite value");
    root_column_.resize(un);
    for (std::int64_t x = 0; x < n; ++x) root_column_[static_cast<std::size_t>(x)] = root_entry(x, m);

    const std::size_t nodes = 2 * un;
    parent_.resize(nodes);
    enclosing_.resize(nodes);
    for (std::size_t v = 0; v < nodes; ++v) parent_[v] = enclosing_[v] = static_cast<std::int64_t>(v);
    maximum_.assign(nodes, kNegInf);
    on_root_.assign(nodes, 0);
    tie_span_.assign(un, Span{});
    tied_head_.assign(nodes, -1);
    tied_together_.assign(nodes, 0);
    tied_under_.resize(nodes);
    for (auto& rows_under : tied_under_) rows_under.clear();
    settled_.assign(nodes, 0);
    on_cycle_.assign(nodes, 0);
    stamp_.assign(nodes, 0);
    place_.resize(nodes);
    walk_id_ = 0;
    round_start_ = 1;
    slots_ = 0;
    free_slots_.clear();
    words_ = static_cast<std::size_t>((n + kTieBlock - 1) / kTieBlock);
    tie_work_ = 0;
    cycles_.clear();
    levels_.clear();
    member_heads_.clear();
    member_scores_.clear();
    pending_.clear();
    clean_levels_ = clean_cycles_ = clean_scores_ = 0;

    // Heads of the original rows: argmax from column 0 upward, lowest wins.
    on_root_[0] = 1;
    for (std::int64_t x = 1; x < n; ++x) start_head(x);
    for (std::int64_t x = 1; x < n; ++x) {
        if (on_root_[static_cast<std::size_t>(x)] == 0 && tie_span_[static_cast<std::size_t>(x)].count > 1) find_tied_head(x);
    }
    for (std::int64_t x = 1; x < n; ++x) walk(x);
}

std::vector<std::int64_t> RepairCandidates::decode_by_rows() {
    start_decode();
    if (!contract_all()) return {};
    return expand();
}

// Contracts the cycle whose first node comes last, as long as any is left;
// false once ties cost more than the matrix decoder would.
bool RepairCandidates::contract_all() {
    const std::int64_t n = n_;
    while (!pending_.empty()) {
        if (checkpointing_ && levels_.size() % checkpoint_every_ == 0) take_checkpoint();
        std::pop_heap(pending_.begin(), pending_.end());
        const std::size_t index = pending_.back().second;
        pending_.pop_back();
        contract(index);
        const std::int64_t s = n + static_cast<std::int64_t>(levels_.size()) - 1;
        // A row whose maximum several nodes hold can move to another node
        // than the new one when its head was a member: its head is found
        // again before any walk reads it.
        moved_.clear();
        for (const std::int64_t member : cycles_[index]) {
            under_.clear();
            under_.swap(tied_under_[static_cast<std::size_t>(member)]);
            for (const std::int64_t v : under_) {
                const auto sv = static_cast<std::size_t>(v);
                if (find(v) != v || tied_together_[sv] != 0 || tied_head_[sv] != member) continue;
                find_tied_head(v);
                if (best_of(v) != s) moved_.push_back(v);
            }
        }
        round_start_ = walk_id_ + 1;
        walk(s);
        for (const std::int64_t v : moved_) walk(v);
        if (tie_work_ > tie_budget()) return false;
    }
    return true;
}

// The candidates of a pass share most of their decoding: a candidate's
// matrix is the reference's (every member joined) but for the anchor's row,
// so until a level contracts the anchor, or a cycle through the anchor's own
// head comes first, it contracts the very cycles the reference does. The
// reference is decoded once, its state saved every few levels, and each
// candidate goes on from the last saved state it shares.
void RepairCandidates::prepare_reference() {
    reference_tried_ = true;
    anchor_ = static_cast<std::int64_t>(members_.size());
    try {
        checkpoint_every_ = static_cast<std::size_t>(std::max<std::int64_t>(1, n_ / kCheckpoints));
        rows_left_ = static_cast<std::size_t>(2 * kCheckpoints + n_ / 8);
        checkpointing_ = true;
        const bool decoded = !decode_by_rows().empty();
        checkpointing_ = false;
        if (!decoded) checkpoints_.clear();
    } catch (const DepparseModelError&) {
        checkpointing_ = false;
        checkpoints_.clear();
    }
    if (checkpoints_.empty()) return;
    reference_minimum_ = penalty_minimum();
    reference_root_column_ = root_column_;
    reference_tie_span_ = tie_span_;
    reference_cycles_ = cycles_;
    reference_levels_ = levels_;
    reference_member_heads_ = member_heads_;
    reference_member_scores_ = member_scores_;
    reference_level_ties_.assign(level_ties_.begin(), level_ties_.begin() + static_cast<std::ptrdiff_t>(levels_.size()));
    reference_root_value_.assign(root_value_.begin(), root_value_.begin() + static_cast<std::ptrdiff_t>(levels_.size()));
    if (seconds_.size() < levels_.size() * words_) seconds_.resize(levels_.size() * words_);
    reference_seconds_.assign(seconds_.begin(), seconds_.begin() + static_cast<std::ptrdiff_t>(levels_.size() * words_));
    clean_levels_ = levels_.size();
    clean_cycles_ = cycles_.size();
    clean_scores_ = member_scores_.size();
    contracted_at_.assign(static_cast<std::size_t>(n_), levels_.size());
    first_below_.assign(levels_.size() + 1, std::numeric_limits<std::int64_t>::max());
    for (std::size_t l = 0; l < levels_.size(); ++l) {
        const std::vector<std::int64_t>& C = cycles_[levels_[l].cycle];
        for (const std::int64_t v : C) {
            if (v < n_) contracted_at_[static_cast<std::size_t>(v)] = l;
        }
        first_below_[l + 1] = std::min(first_below_[l], C.front());
    }
}

void RepairCandidates::take_checkpoint() {
    std::size_t live_rows = 0;
    for (std::size_t l = 0; l < levels_.size(); ++l) live_rows += row_slot_[l] >= 0 ? 1 : 0;
    if (live_rows > rows_left_) return;
    rows_left_ -= live_rows;
    Checkpoint c;
    c.level = levels_.size();
    c.cycles = cycles_.size();
    c.scores = member_scores_.size();
    c.slots = slots_;
    c.tie_work = tie_work_;
    const auto nodes = static_cast<std::ptrdiff_t>(static_cast<std::size_t>(n_) + c.level);
    c.parent.assign(parent_.begin(), parent_.begin() + nodes);
    c.enclosing.assign(enclosing_.begin(), enclosing_.begin() + nodes);
    c.tied_head.assign(tied_head_.begin(), tied_head_.begin() + nodes);
    c.maximum.assign(maximum_.begin(), maximum_.begin() + nodes);
    c.on_root.assign(on_root_.begin(), on_root_.begin() + nodes);
    c.tied_together.assign(tied_together_.begin(), tied_together_.begin() + nodes);
    c.settled.assign(settled_.begin(), settled_.begin() + nodes);
    c.on_cycle.assign(on_cycle_.begin(), on_cycle_.begin() + nodes);
    for (std::ptrdiff_t v = 0; v < nodes; ++v) {
        if (!tied_under_[static_cast<std::size_t>(v)].empty()) c.tied_under.emplace_back(v, tied_under_[static_cast<std::size_t>(v)]);
    }
    c.row_slot.assign(row_slot_.begin(), row_slot_.begin() + static_cast<std::ptrdiff_t>(c.level));
    c.free_slots = free_slots_;
    c.pending = pending_;
    for (std::size_t l = 0; l < c.level; ++l) {
        const std::int64_t slot = row_slot_[l];
        if (slot < 0) continue;
        c.live_slots.push_back(slot);
        const double* row = slot_row(slot);
        c.rows.insert(c.rows.end(), row, row + n_);
        const std::uint8_t* inside = inside_of(slot);
        c.inside.insert(c.inside.end(), inside, inside + words_);
    }
    checkpoints_.push_back(std::move(c));
}

// Working lists from the reference: `clean` entries already hold its
// values; the next ones up to `count` are copied.
template <typename T>
static void take_reference(std::vector<T>& working, const std::vector<T>& reference, std::size_t clean,
                           std::size_t count) {
    if (working.size() < count) working.resize(count);
    for (std::size_t i = clean; i < count; ++i) working[i] = reference[i];
}

void RepairCandidates::restore(const Checkpoint& c) {
    const auto nodes = static_cast<std::size_t>(n_) + c.level;
    const std::size_t all = 2 * static_cast<std::size_t>(n_);
    std::copy(c.parent.begin(), c.parent.end(), parent_.begin());
    std::copy(c.enclosing.begin(), c.enclosing.end(), enclosing_.begin());
    std::copy(c.tied_head.begin(), c.tied_head.end(), tied_head_.begin());
    std::copy(c.maximum.begin(), c.maximum.end(), maximum_.begin());
    std::copy(c.on_root.begin(), c.on_root.end(), on_root_.begin());
    std::copy(c.tied_together.begin(), c.tied_together.end(), tied_together_.begin());
    std::copy(c.settled.begin(), c.settled.end(), settled_.begin());
    std::copy(c.on_cycle.begin(), c.on_cycle.end(), on_cycle_.begin());
    for (std::size_t v = nodes; v < all; ++v) {
        parent_[v] = enclosing_[v] = static_cast<std::int64_t>(v);
        tied_head_[v] = -1;
        maximum_[v] = kNegInf;
        on_root_[v] = tied_together_[v] = settled_[v] = on_cycle_[v] = 0;
    }
    for (auto& rows_under : tied_under_) rows_under.clear();
    for (const auto& [v, rows_under] : c.tied_under) tied_under_[static_cast<std::size_t>(v)] = rows_under;
    std::copy(c.row_slot.begin(), c.row_slot.end(), row_slot_.begin());
    free_slots_ = c.free_slots;
    slots_ = c.slots;
    pending_ = c.pending;
    tie_work_ = c.tie_work;
    for (std::size_t r = 0; r < c.live_slots.size(); ++r) {
        const std::int64_t slot = c.live_slots[r];
        std::copy_n(c.rows.begin() + static_cast<std::ptrdiff_t>(r * static_cast<std::size_t>(n_)), n_, slot_row(slot));
        std::copy_n(c.inside.begin() + static_cast<std::ptrdiff_t>(r * words_), words_, inside_of(slot));
    }
    std::copy(reference_root_column_.begin(), reference_root_column_.end(), root_column_.begin());
    std::copy(reference_tie_span_.begin(), reference_tie_span_.end(), tie_span_.begin());
    // Lists appended level by level: the reference's up to the checkpoint.
    take_reference(levels_, reference_levels_, clean_levels_, c.level);
    levels_.resize(c.level);
    take_reference(level_ties_, reference_level_ties_, clean_levels_, c.level);
    take_reference(root_value_, reference_root_value_, clean_levels_, c.level);
    if (clean_levels_ < c.level) {
        std::copy(reference_seconds_.begin() + static_cast<std::ptrdiff_t>(clean_levels_ * words_),
                  reference_seconds_.begin() + static_cast<std::ptrdiff_t>(c.level * words_),
                  seconds_.begin() + static_cast<std::ptrdiff_t>(clean_levels_ * words_));
    }
    take_reference(cycles_, reference_cycles_, clean_cycles_, c.cycles);
    cycles_.resize(c.cycles);
    take_reference(member_heads_, reference_member_heads_, clean_scores_, c.scores);
    member_heads_.resize(c.scores);
    take_reference(member_scores_, reference_member_scores_, clean_scores_, c.scores);
    member_scores_.resize(c.scores);
    clean_levels_ = c.level;
    clean_cycles_ = c.cycles;
    clean_scores_ = c.scores;
}

// Turns the reference's state into the candidate's, whose rows differ in
// the anchor a's alone: a's head and what follows from it.
void RepairCandidates::patch_anchor(std::int64_t a, double m) {
    const auto sa = static_cast<std::size_t>(a);
    root_column_[sa] = root_entry(a, m);
    // The reference's cycle through a is none of the candidate's.
    if (on_cycle_[sa] != 0) {
        const auto through_a = std::find_if(pending_.begin(), pending_.end(), [&](const auto& entry) {
            const std::vector<std::int64_t>& C = cycles_[entry.second];
            return std::find(C.begin(), C.end(), a) != C.end();
        });
        for (const std::int64_t v : cycles_[through_a->second]) on_cycle_[static_cast<std::size_t>(v)] = 0;
        pending_.erase(through_a);
        std::make_heap(pending_.begin(), pending_.end());
    }
    start_head(a);
    tied_head_[sa] = -1;
    tied_together_[sa] = 0;
    if (on_root_[sa] == 0 && tie_span_[sa].count > 1) find_tied_head(a);
    // Nodes whose heads lead to a are no longer known to reach the root.
    const auto nodes = static_cast<std::size_t>(n_) + levels_.size();
    leads_.assign(nodes, 0);  // 1: leads to a, 2: does not, 3: being followed
    leads_[sa] = 1;
    leads_[0] = 2;
    for (std::size_t v = 1; v < nodes; ++v) {
        if (leads_[v] != 0 || find(static_cast<std::int64_t>(v)) != static_cast<std::int64_t>(v)) continue;
        path_.clear();
        auto u = static_cast<std::int64_t>(v);
        char leads = 2;
        for (;;) {
            const auto su = static_cast<std::size_t>(u);
            if (leads_[su] != 0) {
                leads = leads_[su] == 1 ? 1 : 2;
                break;
            }
            if (on_cycle_[su] != 0) break;
            leads_[su] = 3;
            path_.push_back(u);
            u = best_of(u);
        }
        for (const std::int64_t p : path_) leads_[static_cast<std::size_t>(p)] = leads;
    }
    for (std::size_t v = 0; v < nodes; ++v) {
        if (leads_[v] == 1) settled_[v] = 0;
    }
    round_start_ = walk_id_ + 1;
    walk(a);
}

// Sets up the current candidate from the last checkpoint whose state it
// shares, if any.
bool RepairCandidates::resume() {
    if (checkpoints_.empty() || anchor_ >= static_cast<std::int64_t>(members_.size())) return false;
    const double m = penalty_minimum();
    if (!(m == reference_minimum_)) return false;
    const std::int64_t a = members_[static_cast<std::size_t>(anchor_)];
    const std::size_t contracted = contracted_at_[static_cast<std::size_t>(a)];
    std::size_t k = checkpoints_.size();
    while (k > 0 && checkpoints_[k - 1].level > contracted) --k;
    // A candidate's cycle through a that comes before one of the
    // reference's contractions would have been contracted earlier.
    for (; k > 0; --k) {
        const Checkpoint& c = checkpoints_[k - 1];
        restore(c);
        patch_anchor(a, m);
        if (on_cycle_[static_cast<std::size_t>(a)] == 0 || cycles_.back().front() < first_below_[c.level]) {
            ++resumed_decodes_;
            return true;
        }
    }
    return false;
}

// Expands the levels, the last contracted first. A node's head at a level
// holds positions where the node's row is highest over that head (its
// targets, with that value); the matrix decoder's expansion moves the node to
// the first member holding a target, level by level, so the node ends on the
// target that comes first in the contraction tree's order (children by id).
// A cycle, when its level comes, is entered by the first member whose value
// of the cycle reaches the cycle's own value at one of the cycle's targets.
std::vector<std::int64_t> RepairCandidates::expand() {
    const std::int64_t n = n_;
    const std::int64_t created = static_cast<std::int64_t>(levels_.size());
    const auto count = static_cast<std::size_t>(n + created);
    order_positions(count);
    build_ancestors(count);
    target_begin_.assign(count, 0);
    target_count_.assign(count, 0);
    target_value_.assign(count, kNegInf);
    value_known_.assign(count, 1);
    targets_.clear();
    for (std::int64_t v = 1; v < n + created; ++v) {
        if (find(v) == v) aim_at_maximum(v, best_of(v));
    }
    for (std::int64_t i = created; i-- > 0;) {
        const std::int64_t s = n + i;
        const auto ss = static_cast<std::size_t>(s);
        const Level& level = levels_[static_cast<std::size_t>(i)];
        const std::vector<std::int64_t>& C = cycles_[level.cycle];
        const double* cs = member_scores_.data() + level.first_score;
        // s's head at this level is the node below s that holds its first
        // target; its targets are those within that node.
        const std::size_t first = target_begin_[ss];
        const std::size_t end = first + target_count_[ss];
        tie_work_ += target_count_[ss];
        if (tie_work_ > tie_budget()) return {};
        std::int32_t lead = targets_[first];
        for (std::size_t t = first; t < end; ++t) {
            if (rank_[static_cast<std::size_t>(targets_[t])] < rank_[static_cast<std::size_t>(lead)]) lead = targets_[t];
        }
        const std::int64_t h = ancestor_below(lead, s);
        const auto inside_h = [&](std::int32_t y) {
            const std::int64_t r = rank_[static_cast<std::size_t>(y)];
            return r >= low_[static_cast<std::size_t>(h)] && r <= high_[static_cast<std::size_t>(h)];
        };
        reached_.clear();
        for (std::size_t t = first; t < end; ++t) {
            if (inside_h(targets_[t])) reached_.push_back(targets_[t]);
        }
        if (reached_.empty()) return {};
        // The entered member, and the positions where it reaches s's value.
        std::size_t e = 0;
        entering_.clear();
        if (C.size() == 2) {
            const std::uint64_t* second = seconds_of(static_cast<std::size_t>(i));
            const auto from_second = [&](std::int32_t position) {
                const std::int64_t y = stored(position);
                return ((second[y >> 6] >> (y & 63)) & 1u) != 0;
            };
            e = 1;
            for (const std::int32_t y : reached_) {
                if (!from_second(y)) e = 0;
            }
            for (const std::int32_t y : reached_) {
                if (from_second(y) == (e == 1)) entering_.push_back(y);
            }
        } else {
            const double reach = reach_of(s);
            for (e = 0; e < C.size() && entering_.empty(); ++e) {
                for (const std::int32_t y : reached_) {
                    if (level.total + (value(C[e], y) - cs[e]) == reach) entering_.push_back(y);
                }
            }
            if (entering_.empty()) return {};
            --e;
        }
        for (std::size_t k = 0; k < C.size(); ++k) {
            if (k != e) aim_at_maximum(C[k], member_heads_[level.first_score + k]);
        }
        // The entered member's targets: its highest values among those.
        const auto se = static_cast<std::size_t>(C[e]);
        target_begin_[se] = targets_.size();
        if (entering_.size() == 1) {
            targets_.push_back(entering_.front());
            value_known_[se] = 0;  // read from the row only if needed
        } else {
            double top = kNegInf;
            for (const std::int32_t y : entering_) top = std::max(top, value(C[e], y));
            for (const std::int32_t y : entering_) {
                if (value(C[e], y) == top) targets_.push_back(y);
            }
            target_value_[se] = top;
            value_known_[se] = 1;
        }
        target_count_[se] = targets_.size() - target_begin_[se];
    }
    std::vector<std::int64_t> heads(static_cast<std::size_t>(n), 0);
    for (std::int64_t y = 1; y < n; ++y) {
        const auto sy = static_cast<std::size_t>(y);
        std::int32_t lead = targets_[target_begin_[sy]];
        for (std::size_t t = target_begin_[sy]; t < target_begin_[sy] + target_count_[sy]; ++t) {
            if (rank_[static_cast<std::size_t>(targets_[t])] < rank_[static_cast<std::size_t>(lead)]) lead = targets_[t];
        }
        heads[sy] = lead;
    }
    const auto roots = std::count(heads.begin() + 1, heads.end(), 0);
    if (roots != 1) throw DepparseModelError("single-root dependency decoding did not produce one root");
    return heads;
}

// Work on tied maxima allowed to one decode before the matrix decoder is
// the cheaper.
std::size_t RepairCandidates::tie_budget() const {
    return static_cast<std::size_t>(n_) * static_cast<std::size_t>(n_) / 2 + 4096;
}

// The value of node v's row at its targets.
double RepairCandidates::reach_of(std::int64_t v) {
    const auto sv = static_cast<std::size_t>(v);
    if (value_known_[sv] == 0) {
        target_value_[sv] = value(v, targets_[target_begin_[sv]]);
        value_known_[sv] = 1;
    }
    return target_value_[sv];
}

std::uint64_t* RepairCandidates::seconds_of(std::size_t level) {
    const std::size_t need = (level + 1) * words_;
    if (seconds_.size() < need) seconds_.resize(std::max(need, 2 * seconds_.size()));
    return seconds_.data() + level * words_;
}

// Gives v the head `head`, a node that holds v's maximum (its best when
// contracted, or at the end): v's targets are the positions of its maximum
// within head.
void RepairCandidates::aim_at_maximum(std::int64_t v, std::int64_t head) {
    const auto sv = static_cast<std::size_t>(v);
    target_begin_[sv] = targets_.size();
    if (head == 0) {
        targets_.push_back(0);
        target_value_[sv] = value(v, 0);
    } else {
        const Span ties = ties_of(v);
        tie_work_ += ties.count;
        const auto sh = static_cast<std::size_t>(head);
        for (std::size_t t = 0; t < ties.count; ++t) {
            const std::int64_t r = rank_[static_cast<std::size_t>(ties.data[t])];
            if (r >= low_[sh] && r <= high_[sh]) targets_.push_back(ties.data[t]);
        }
        target_value_[sv] = maximum_[sv];
    }
    target_count_[sv] = targets_.size() - target_begin_[sv];
}

// Numbers the positions in the contraction tree's order (a node's members
// by id) so that every node's positions form the range low_ .. high_.
void RepairCandidates::order_positions(std::size_t count) {
    rank_.assign(static_cast<std::size_t>(n_), 0);
    low_.assign(count, 0);
    high_.assign(count, 0);
    std::int64_t next_rank = 0;
    std::vector<std::pair<std::int64_t, std::size_t>> stack;
    for (std::size_t top = 0; top < count; ++top) {
        if (enclosing_[top] != static_cast<std::int64_t>(top)) continue;
        stack.emplace_back(static_cast<std::int64_t>(top), 0);
        while (!stack.empty()) {
            auto& [node, child] = stack.back();
            const auto sn = static_cast<std::size_t>(node);
            if (node < n_) {
                rank_[sn] = low_[sn] = high_[sn] = next_rank++;
                stack.pop_back();
                continue;
            }
            const std::vector<std::int64_t>& C = cycles_[levels_[static_cast<std::size_t>(node - n_)].cycle];
            if (child == 0) low_[sn] = next_rank;
            if (child == C.size()) {
                high_[sn] = next_rank - 1;
                stack.pop_back();
                continue;
            }
            const std::int64_t member = C[child++];
            stack.emplace_back(member, 0);
        }
    }
}

// Jump tables over the contraction tree: up_[j][v] is v's 2^j-th enclosing
// node (a node left uncontracted encloses itself). Enclosing nodes have
// larger ids.
void RepairCandidates::build_ancestors(std::size_t count) {
    std::size_t depth = 1;
    while ((std::size_t{1} << depth) < count) ++depth;
    up_.resize(depth);
    up_[0].assign(enclosing_.begin(), enclosing_.begin() + static_cast<std::ptrdiff_t>(count));
    for (std::size_t j = 1; j < depth; ++j) {
        up_[j].resize(count);
        for (std::size_t v = 0; v < count; ++v) up_[j][v] = up_[j - 1][static_cast<std::size_t>(up_[j - 1][v])];
    }
}

// The largest node below `bound` that encloses position y (y < bound).
std::int64_t RepairCandidates::ancestor_below(std::int64_t y, std::int64_t bound) const {
    for (std::size_t j = up_.size(); j-- > 0;) {
        const std::int64_t a = up_[j][static_cast<std::size_t>(y)];
        if (a < bound) y = a;
    }
    return y;
}

}  // namespace quelbin::detail
