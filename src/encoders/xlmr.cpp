// XLM-R unigram tokenizer: charsmap normalisation, whitespace chunks with the
// U+2581 prefix, and a Viterbi search for the best-scoring segmentation.
#include "encoders/xlmr.hpp"

#include "encoders/subword_cache.hpp"
#include "encoders/subword_text.hpp"
#include "document/utf8_codec.hpp"

#include <quelbin/subword_bpe.hpp>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <deque>
#include <limits>
#include <stdexcept>

namespace quelbin {
namespace detail {
namespace {

inline std::uint32_t unit_offset(std::uint32_t u) { return (u >> 10) << ((u >> 6) & 8); }

constexpr std::size_t kBmpWords = 0x10000 / 64;

inline bool has_bit(const std::vector<std::uint64_t>& bits, std::uint32_t c) {
    return (bits[c >> 6] >> (c & 63)) & 1u;
}

}  // namespace

CharsMap CharsMap::load(const std::vector<std::uint8_t>& bytes) {
    if (bytes.size() < 4) throw SubwordError("XLM-R precompiled charsmap is truncated");
    const std::uint32_t trie_size = static_cast<std::uint32_t>(bytes[0]) |
                                    (static_cast<std::uint32_t>(bytes[1]) << 8) |
                                    (static_cast<std::uint32_t>(bytes[2]) << 16) |
                                    (static_cast<std::uint32_t>(bytes[3]) << 24);
    // In 64 bits: a trie size near 2^32 must not wrap around and pass.
    if (trie_size % 4 != 0 || static_cast<std::uint64_t>(bytes.size()) < std::uint64_t{trie_size} + 4) {
        throw SubwordError("XLM-R precompiled charsmap has invalid trie");
    }
    CharsMap map;
    map.trie_units.resize(trie_size / 4);
    for (std::size_t k = 0; k < map.trie_units.size(); ++k) {
        const std::uint8_t* p = bytes.data() + 4 + 4 * k;
        map.trie_units[k] = static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
                            (static_cast<std::uint32_t>(p[2]) << 16) |
                            (static_cast<std::uint32_t>(p[3]) << 24);
    }
    map.normalized_pool.assign(reinterpret_cast<const char*>(bytes.data()) + 4 + trie_size,
                               bytes.size() - 4 - trie_size);
    map.kept.assign(kBmpWords, 0);
    map.kept_in_word.assign(kBmpWords, 0);
    std::string key;
    std::string_view replacement;
    for (std::uint32_t c = 0; c < 0x10000; ++c) {
        if ((c >= 0xD800 && c <= 0xDFFF) || c == 0x0D || c == 0x200D) continue;
        key.clear();
        append_utf8(key, c);
        if (map.lookup(key, replacement)) continue;
        map.kept[c >> 6] |= std::uint64_t{1} << (c & 63);
        if (!is_subword_whitespace(c) && !is_subword_mark(c) && c != 0xFE0F) {
            map.kept_in_word[c >> 6] |= std::uint64_t{1} << (c & 63);
        }
    }
    return map;
}

bool CharsMap::lookup(std::string_view key, std::string_view& replacement) const {
    const std::size_t count = trie_units.size();
    if (count == 0 || key.empty()) return false;
    std::size_t node = unit_offset(trie_units[0]);
    bool leaf = false;
    for (const char byte : key) {
        const std::uint32_t c = static_cast<unsigned char>(byte);
        if (c == 0) return false;
        const std::size_t child = node ^ c;
        if (child >= count) return false;
        const std::uint32_t u = trie_units[child];
        if ((u & 0x800000FFu) != c) return false;
        node = child ^ unit_offset(u);
        if (u & 0x100u) {
            leaf = true;
            break;
        }
    }
    if (!leaf || node >= count) return false;
    const std::size_t value = trie_units[node] & 0x7FFFFFFFu;
    if (value >= normalized_pool.size()) return false;
    const std::size_t end = normalized_pool.find('\0', value);
    replacement = std::string_view(normalized_pool).substr(
        value, (end == std::string::npos ? normalized_pool.size() : end) - value);
    return true;
}

std::string CharsMap::normalize(std::string_view word) const {
    std::string out;
    normalize(word, decode_utf8(word.data(), word.size()), out);
    return out;
}

bool CharsMap::normalize(std::string_view word, const std::vector<DecodedCodePoint>& cps,
                         std::string& out) const {
    out.clear();
    if (trie_units.empty()) {
        out.assign(word);
        return false;
    }
    bool changed = false;
    out.reserve(word.size());
    const std::size_t n = cps.size();
    std::string_view replacement;
    std::size_t i = 0;
    while (i < n) {
        // A code point that no rule replaces and that nothing joins stays.
        const std::uint32_t c = cps[i].code_point;
        if (c < 0x10000 && !kept.empty() && has_bit(kept, c) &&
            (i + 1 == n || (!is_subword_mark(cps[i + 1].code_point) && cps[i + 1].code_point != 0xFE0F))) {
            out.append(word.data() + cps[i].begin, cps[i].end - cps[i].begin);
            ++i;
            continue;
        }
        std::size_t j = i + 1;
        if (cps[i].code_point == 0x0D && j < n && cps[j].code_point == 0x0A) {
            j = i + 2;
        } else {
            while (j < n && (is_subword_mark(cps[j].code_point) || cps[j - 1].code_point == 0x200D ||
                             cps[j].code_point == 0xFE0F)) {
                ++j;
            }
        }
        const std::size_t begin = cps[i].begin, end = cps[j - 1].end;
        const bool looked_whole = end - begin <= 5;
        if (looked_whole && lookup(word.substr(begin, end - begin), replacement)) {
            out.append(replacement);
            changed = true;
        } else if (looked_whole && j == i + 1) {
            out.append(word.substr(begin, end - begin));  // the same key missed just now
        } else {
            for (std::size_t k = i; k < j; ++k) {
                const std::string_view one = word.substr(cps[k].begin, cps[k].end - cps[k].begin);
                const bool replaced = lookup(one, replacement);
                out.append(replaced ? replacement : one);
                changed = changed || replaced;
            }
        }
        i = j;
    }
    return changed;
}

bool CharsMap::passes_unchanged(std::string_view word) const {
    if (kept_in_word.empty() || word.empty()) return false;
    const auto* p = reinterpret_cast<const unsigned char*>(word.data());
    const auto* const end = p + word.size();
    while (p < end) {
        const std::uint32_t lead = *p;
        std::uint32_t c;
        if (lead < 0x80) {
            c = lead;
            p += 1;
        } else if (lead >= 0xC2 && lead < 0xE0) {
            if (end - p < 2 || (p[1] & 0xC0) != 0x80) return false;
            c = ((lead & 0x1F) << 6) | (p[1] & 0x3F);
            p += 2;
        } else if (lead >= 0xE0 && lead < 0xF0) {
            if (end - p < 3 || (p[1] & 0xC0) != 0x80 || (p[2] & 0xC0) != 0x80) return false;
            c = ((lead & 0x0F) << 12) | ((p[1] & 0x3F) << 6) | (p[2] & 0x3F);
            if (c < 0x800 || (c >= 0xD800 && c <= 0xDFFF)) return false;
            p += 3;
        } else {
            return false;  // four-byte sequences and malformed leads
        }
        if (!has_bit(kept_in_word, c)) return false;
    }
    return true;
}

void PieceTrie::build(const std::vector<std::string>& pieces, const std::vector<float>& scores) {
    if (pieces.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
        throw std::length_error("XLM-R vocabulary has too many pieces");
    }
    // Pieces in byte order, equal pieces by position, so that the first
    // position of a repeated piece comes first.
    std::vector<std::uint32_t> order(pieces.size());
    for (std::size_t k = 0; k < order.size(); ++k) order[k] = static_cast<std::uint32_t>(k);
    std::stable_sort(order.begin(), order.end(),
                     [&pieces](std::uint32_t a, std::uint32_t b) { return pieces[a] < pieces[b]; });

    units_.assign(257, Unit{});
    ends_.assign(257, End{});
    std::vector<bool> used(units_.size(), false);
    used[0] = true;  // the root
    const auto reserve_to = [&](std::size_t size) {
        // Node indices must stay below kNone, which marks a free unit.
        if (size >= kNone) throw std::length_error("XLM-R vocabulary is too large for its trie");
        if (size > units_.size()) {
            units_.resize(std::max(size, units_.size() + units_.size() / 2), Unit{});
            ends_.resize(units_.size(), End{});
            used.resize(units_.size(), false);
        }
    };
    // The first free unit from which base searches start; moved on past
    // stretches that are almost full.
    std::size_t next_check = 1;

    struct Task {
        std::uint32_t node;
        std::size_t lo, hi;  // the pieces below this node: order[lo, hi)
        std::size_t depth;   // their common prefix length
    };
    // Nodes are placed level by level, so that the shallow levels, which
    // every walk of the search passes, lie close together in memory.
    std::deque<Task> tasks = {{0, 0, order.size(), 0}};
    std::vector<unsigned char> labels;
    std::vector<std::size_t> starts;
    while (!tasks.empty()) {
        const Task task = tasks.front();
        tasks.pop_front();
        std::size_t k = task.lo;
        if (k < task.hi && pieces[order[k]].size() == task.depth) {
            ends_[task.node] = {static_cast<std::int32_t>(order[k]), scores[order[k]]};
            while (k < task.hi && pieces[order[k]].size() == task.depth) ++k;
        } else if (task.node != 0 && units_[task.node].parent != 0 &&
                   ends_[units_[task.node].parent].id != -1) {
            ends_[task.node].id = kEndAbove;  // the parent, placed earlier, ends or passes one
        }
        if (k == task.hi) continue;
        labels.clear();
        starts.clear();
        for (; k < task.hi; ++k) {
            const auto c = static_cast<unsigned char>(pieces[order[k]][task.depth]);
            if (labels.empty() || labels.back() != c) {
                labels.push_back(c);
                starts.push_back(k);
            }
        }
        starts.push_back(task.hi);

        while (used[next_check]) ++next_check;
        std::size_t pos = std::max<std::size_t>(next_check, labels[0] + 1u);
        std::size_t taken = 0;
        std::size_t base = 0;
        for (;; ++pos) {
            reserve_to(pos + 257);
            if (used[pos]) {
                ++taken;
                continue;
            }
            base = pos - labels[0];
            bool fits = true;
            for (std::size_t l = 1; l < labels.size() && fits; ++l) fits = !used[base + labels[l]];
            if (fits) break;
        }
        if (pos > next_check && 20 * taken >= 19 * (pos - next_check)) next_check = pos;
        units_[task.node].base = static_cast<std::uint32_t>(base);
        for (std::size_t l = 0; l < labels.size(); ++l) {
            const std::size_t child = base + labels[l];
            used[child] = true;
            units_[child].parent = task.node;
            tasks.push_back({static_cast<std::uint32_t>(child), starts[l], starts[l + 1], task.depth + 1});
        }
    }
}

std::uint32_t PieceTrie::node_of(std::string_view key) const {
    std::uint32_t node = 0;
    for (const char byte : key) {
        const std::uint32_t child = units_[node].base + static_cast<unsigned char>(byte);
        if (units_[child].parent != node) return kNone;
        node = child;
    }
    return node;
}

std::int64_t PieceTrie::find(std::string_view key) const {
    const std::uint32_t node = node_of(key);
    return node == kNone || ends_[node].id < 0 ? -1 : ends_[node].id;
}

// Buffers of one word's normalisation and of one chunk's search, kept per
// thread so that a word costs no allocation for them once they have grown.
struct UnigramScratch {
    std::vector<detail::DecodedCodePoint> code_points;  // of the word, then of its normalised form
    std::string normalized;
    std::vector<unsigned char> text;  // of the chunk being segmented
    std::vector<float> best;            // per byte offset of the chunk
    std::vector<std::int32_t> piece;
    std::vector<std::int64_t> ids;      // of the word
};

}  // namespace detail

namespace {

using Scratch = detail::UnigramScratch;

Scratch& thread_scratch() {
    static thread_local Scratch scratch;
    return scratch;
}

bool valid_utf8(const std::string& text) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    for (std::size_t p = 0; p < text.size();) {
        const std::size_t length = detail::decode_utf8_at(bytes, text.size(), p).length;
        if (length == 0) return false;
        p += length;
    }
    return true;
}

inline std::size_t sequence_length(unsigned char lead) {
    return lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
}

}  // namespace

struct XLMRobertaTokenizer::Impl {
    std::vector<std::string> vocabulary;
    std::vector<float> scores;
    detail::PieceTrie token_to_id;
    // Bytes of each piece, compact for the search's back-tracking (below 2^32:
    // the trie holds a node per byte of each piece).
    std::vector<std::uint32_t> piece_length;
    std::uint32_t mark_node = detail::PieceTrie::kNone;  // the trie node of U+2581, if any piece begins so
    // Every piece is valid UTF-8: then a piece that starts on a code-point
    // boundary of a chunk also ends on one, and the search needs no boundary test.
    bool pieces_are_utf8 = false;
    detail::CharsMap charsmap;
    std::uint64_t max_piece_length = 0;
    std::int64_t unknown_id = 0;
    std::int64_t cls_id = 0;
    std::int64_t sep_id = 0;
    detail::SubwordWordCache cache;

    std::int64_t require(const std::string& token) const {
        const std::int64_t id = token_to_id.find(token);
        if (id < 0) throw SubwordError("XLM-R vocabulary is missing token: " + token);
        return id;
    }

    // Segments U+2581 followed by `chunk` (valid UTF-8) and appends the ids to s.ids.
    void viterbi(std::string_view chunk, detail::UnigramScratch& s) const;
    // The same when some piece is not valid UTF-8 and may end inside a code point.
    void viterbi_bytes(std::string_view chunk, detail::UnigramScratch& s) const;
    // The ids of one word, in s.ids (valid until the next call with s).
    const std::vector<std::int64_t>& tokenize_word(std::string_view word, detail::UnigramScratch& s) const;
};

namespace {

// The piece id a position records for a step over one unknown code point (a
// trie match records the piece's own id, which may also be the unknown id).
constexpr std::int32_t kUnknownStep = -1;

// Keeps the candidate at position q when it beats the best score there. A
// select and a mask rather than branches or a conditional store: whether a
// piece ends at a trie node, and whether it wins, are hard to predict.
inline void keep_better(float* best, std::int32_t* piece, std::size_t q, float candidate, std::int32_t id) {
    const float old = best[q];
    const bool better = candidate > old;
    best[q] = better ? candidate : old;
    const std::uint32_t take = 0u - static_cast<std::uint32_t>(better);
    piece[q] = static_cast<std::int32_t>((static_cast<std::uint32_t>(piece[q]) & ~take) |
                                         (static_cast<std::uint32_t>(id) & take));
}

// Relaxes every piece that begins at byte i of `text` (`length` bytes and a NUL
// after them) and runs past byte `from`: one trie walk from `node`, the node of
// text[i, from), shortest piece first. Returns whether any such piece ends on a
// code-point boundary. With kEveryEndIsBoundary the caller knows that every
// byte after `from` starts a code point, and the test is skipped.
// A piece ending inside a code point writes to the spare slot at length + 1.
template <bool kEveryEndIsBoundary>
inline bool relax_pieces_from(const detail::PieceTrie& trie, const unsigned char* text, std::size_t i,
                              std::uint32_t node, std::size_t from, std::size_t length, float* best,
                              std::int32_t* piece) {
    const detail::PieceTrie::Unit* const units = trie.units();
    const detail::PieceTrie::End* const ends = trie.ends();
    const float here = best[i];
    bool matched = false;
    std::uint32_t base = units[node].base;
    for (std::size_t p = from; p < length;) {
        const std::uint32_t child = base + text[p];
        const detail::PieceTrie::Unit u = units[child];
        if (u.parent != node) break;
        node = child;
        base = u.base;
        const detail::PieceTrie::End end = ends[node];
        ++p;
        std::size_t q = p;
        if (kEveryEndIsBoundary) {
            matched |= end.id >= 0;
        } else {
            const bool boundary = (text[p] & 0xC0) != 0x80;
            matched |= boundary & (end.id >= 0);
            q = boundary ? p : length + 1;
        }
        keep_better(best, piece, q, here + end.score, end.id);  // NaN where no piece ends
    }
    return matched;
}

bool all_ascii(const unsigned char* p, std::size_t n) {
    unsigned char any = 0;
    for (std::size_t k = 0; k < n; ++k) any |= p[k];
    return any < 0x80;
}

// Relaxes every piece that begins at chunk byte `from` (position 3 + from,
// after U+2581) from trie node `node`, the node of the bytes before `from` that
// the piece starts with, for pieces that are all valid UTF-8: each ends on a
// code-point boundary. best and piece are indexed by chunk byte offset plus 3.
// Returns the last node reached, whose id tells whether a piece ended on the
// way (PieceTrie::kEndAbove).
inline std::uint32_t relax_utf8_pieces(const detail::PieceTrie::Unit* units, const detail::PieceTrie::End* ends,
                                       const unsigned char* text, std::size_t from, std::size_t size,
                                       std::uint32_t node, float here, float* best, std::int32_t* piece) {
    std::uint32_t base = units[node].base;
    float* const b = best + 4;  // a piece ending after chunk byte p ends at position p + 4
    std::int32_t* const id_at = piece + 4;
    for (std::size_t p = from; p < size; ++p) {
        const std::uint32_t child = base + text[p];
        const detail::PieceTrie::Unit u = units[child];
        if (u.parent != node) break;
        node = child;
        base = u.base;
        const detail::PieceTrie::End end = ends[node];
        keep_better(b, id_at, p, here + end.score, end.id);  // NaN where no piece ends
    }
    return node;
}

// Appends the ids of the best path ending at `length` (the unknown id alone
// when no path reaches it), walking back through `start_of`.
template <typename StartOf>
void append_best_path(const float* best, const std::int32_t* piece, std::size_t length, std::int64_t unknown_id,
                      StartOf start_of, std::vector<std::int64_t>& out) {
    if (!std::isfinite(best[length])) {
        out.push_back(unknown_id);
        return;
    }
    std::size_t count = 0;
    for (std::size_t p = length; p > 0; p = start_of(p)) ++count;
    std::size_t k = out.size() + count;
    out.resize(k);
    for (std::size_t p = length; p > 0; p = start_of(p)) {
        out[--k] = piece[p] == kUnknownStep ? unknown_id : piece[p];
    }
}

}  // namespace

// The search runs over byte offsets of U+2581 and the chunk (positions 0 to
// 3 + size): position 0 and every position a piece or an unknown step reaches
// is a code-point boundary, since pieces are whole code points; the others keep
// a best score of minus infinity and are skipped as starts. From each start one
// trie walk meets the candidate pieces in order of length, which is the order
// of the ends; no piece is longer than the longest vocabulary piece. Positions
// record only their last piece: it starts at the end less its length.
void XLMRobertaTokenizer::Impl::viterbi(std::string_view chunk, Scratch& s) const {
    const auto* const text = reinterpret_cast<const unsigned char*>(chunk.data());
    const std::size_t size = chunk.size();
    const std::size_t length = 3 + size;
    if (s.best.size() < length + 1) {
        s.best.resize(2 * length + 2);
        s.piece.resize(2 * length + 2);
    }
    float* const best = s.best.data();
    std::int32_t* const piece = s.piece.data();
    best[0] = 0.0f;
    std::fill(best + 1, best + length + 1, -std::numeric_limits<float>::infinity());
    const float unknown_score = scores[static_cast<std::size_t>(unknown_id)];
    const detail::PieceTrie::Unit* const units = token_to_id.units();
    const detail::PieceTrie::End* const ends = token_to_id.ends();

    // From position 0 through U+2581: the walk over its three bytes was taken
    // at load, and only the piece "\u2581" itself ends on it.
    bool matched = false;
    if (mark_node != detail::PieceTrie::kNone) {
        const detail::PieceTrie::End mark = ends[mark_node];
        if (mark.score > best[3]) {
            best[3] = mark.score;
            piece[3] = mark.id;
        }
        // A piece ending at U+2581 or after it: "\u2581" is the only piece the
        // walk's node ids can report above the mark, pieces being valid UTF-8.
        matched = ends[relax_utf8_pieces(units, ends, text, 0, size, mark_node, 0.0f, best, piece)].id != -1;
    }
    if (!matched && unknown_score > best[3]) {
        best[3] = unknown_score;
        piece[3] = kUnknownStep;
    }
    for (std::size_t i = 0; i < size; ++i) {
        const float here = best[3 + i];
        if (!std::isfinite(here)) continue;
        const std::uint32_t last = relax_utf8_pieces(units, ends, text, i, size, 0, here, best, piece);
        if (last == 0 || ends[last].id == -1) {
            const std::size_t next = 3 + i + sequence_length(text[i]);
            const float candidate = here + unknown_score;
            if (candidate > best[next]) {
                best[next] = candidate;
                piece[next] = kUnknownStep;
            }
        }
    }
    const std::uint32_t* const lengths = piece_length.data();
    const auto start_of = [&](std::size_t p) -> std::size_t {
        if (piece[p] != kUnknownStep) return p - lengths[static_cast<std::size_t>(piece[p])];
        if (p <= 3) return 0;
        std::size_t k = p - 3;
        do --k;
        while ((text[k] & 0xC0) == 0x80);
        return k + 3;
    };
    append_best_path(best, piece, length, unknown_id, start_of, s.ids);
}

// The search runs over byte offsets: only code-point boundaries are ever
// reached, so the others keep a best score of minus infinity and are skipped
// as starts, and a piece counts only when it ends on a boundary. From each
// start one trie walk meets the candidate pieces in order of length, which is
// the order of the ends; no piece is longer than the longest vocabulary piece.
// Positions record only their last piece: it starts at the end less its length.
void XLMRobertaTokenizer::Impl::viterbi_bytes(std::string_view chunk, Scratch& s) const {
    // U+2581, the chunk and a NUL that ends the last code point.
    const std::size_t length = 3 + chunk.size();
    if (s.text.size() < length + 1) s.text.resize(2 * length + 1);
    unsigned char* const text = s.text.data();
    std::memcpy(text, "\xE2\x96\x81", 3);
    std::memcpy(text + 3, chunk.data(), chunk.size());
    text[length] = 0;
    if (s.best.size() < length + 2) {
        s.best.resize(2 * length + 2);
        s.piece.resize(2 * length + 2);
    }
    float* const best = s.best.data();
    std::int32_t* const piece = s.piece.data();
    std::fill(best, best + length + 2, -std::numeric_limits<float>::infinity());
    best[0] = 0.0f;
    const float unknown_score = scores[static_cast<std::size_t>(unknown_id)];
    const bool ascii = all_ascii(text + 3, chunk.size());
    std::size_t first_start = 0;
    if (mark_node != detail::PieceTrie::kNone) {
        // The walk from 0 through U+2581 is the same for every chunk: it was
        // taken at load, and only the piece "\u2581" itself ends on it.
        const detail::PieceTrie::End mark = token_to_id.ends()[mark_node];
        if (best[0] + mark.score > best[3]) {
            best[3] = best[0] + mark.score;
            piece[3] = mark.id;
        }
        const bool matched = (mark.id >= 0) |
                             (ascii ? relax_pieces_from<true>(token_to_id, text, 0, mark_node, 3, length, best, piece)
                                    : relax_pieces_from<false>(token_to_id, text, 0, mark_node, 3, length, best, piece));
        if (!matched && best[0] + unknown_score > best[3]) {
            best[3] = best[0] + unknown_score;
            piece[3] = kUnknownStep;
        }
        first_start = 1;
    }
    for (std::size_t i = first_start; i < length; ++i) {
        const float here = best[i];
        if (!std::isfinite(here)) continue;
        // After U+2581 an ASCII chunk has a boundary at every byte.
        const bool matched = ascii && i >= 3
                                 ? relax_pieces_from<true>(token_to_id, text, i, 0, i, length, best, piece)
                                 : relax_pieces_from<false>(token_to_id, text, i, 0, i, length, best, piece);
        if (!matched) {
            const std::size_t next = i + sequence_length(text[i]);
            const float candidate = here + unknown_score;
            if (candidate > best[next]) {
                best[next] = candidate;
                piece[next] = kUnknownStep;
            }
        }
    }
    const auto start_of = [&](std::size_t p) {
        if (piece[p] != kUnknownStep) return p - piece_length[static_cast<std::size_t>(piece[p])];
        do --p;
        while ((text[p] & 0xC0) == 0x80);
        return p;
    };
    append_best_path(best, piece, length, unknown_id, start_of, s.ids);
}

const std::vector<std::int64_t>& XLMRobertaTokenizer::Impl::tokenize_word(std::string_view word, Scratch& s) const {
    s.ids.clear();
    if (charsmap.passes_unchanged(word)) {
        // Normalises to itself, one chunk.
        pieces_are_utf8 ? viterbi(word, s) : viterbi_bytes(word, s);
        return s.ids;
    }
    std::vector<detail::DecodedCodePoint>& cps = s.code_points;
    std::string& normalized = s.normalized;
    detail::decode_utf8(word.data(), word.size(), cps);
    if (charsmap.normalize(word, cps, normalized)) {
        detail::decode_utf8(normalized.data(), normalized.size(), cps);
    }
    std::size_t i = 0;
    while (i < cps.size()) {
        if (detail::is_subword_whitespace(cps[i].code_point)) {
            ++i;
            continue;
        }
        std::size_t j = i;
        while (j < cps.size() && !detail::is_subword_whitespace(cps[j].code_point)) ++j;
        const std::uint64_t begin = cps[i].begin;
        const std::string_view chunk = std::string_view(normalized).substr(begin, cps[j - 1].end - begin);
        pieces_are_utf8 ? viterbi(chunk, s) : viterbi_bytes(chunk, s);
        i = j;
    }
    return s.ids;
}

XLMRobertaTokenizer::XLMRobertaTokenizer(std::vector<std::string> vocabulary, std::vector<float> scores,
                                         std::vector<std::uint8_t> precompiled_charsmap,
                                         std::int64_t unknown_id, std::string cls_token,
                                         std::string sep_token)
    : impl_(std::make_unique<Impl>()) {
    Impl& m = *impl_;
    m.vocabulary = std::move(vocabulary);
    m.scores = std::move(scores);
    if (m.vocabulary.empty() || m.scores.size() != m.vocabulary.size()) {
        throw SubwordError("XLM-R vocabulary and score arrays must be nonempty and equal");
    }
    if (unknown_id < 0 || static_cast<std::uint64_t>(unknown_id) >= m.vocabulary.size()) {
        throw SubwordError("XLM-R unknown id is out of range");
    }
    m.unknown_id = unknown_id;
    m.token_to_id.build(m.vocabulary, m.scores);
    m.piece_length.reserve(m.vocabulary.size());
    for (const std::string& piece : m.vocabulary) {
        m.piece_length.push_back(static_cast<std::uint32_t>(piece.size()));
        m.max_piece_length = std::max<std::uint64_t>(m.max_piece_length, piece.size());
    }
    m.mark_node = m.token_to_id.node_of("\xE2\x96\x81");
    m.pieces_are_utf8 = std::all_of(m.vocabulary.begin(), m.vocabulary.end(), [](const std::string& piece) {
        return valid_utf8(piece);
    });
    m.cls_id = m.require(cls_token);
    m.sep_id = m.require(sep_token);
    m.charsmap = detail::CharsMap::load(precompiled_charsmap);
}

XLMRobertaTokenizer::~XLMRobertaTokenizer() = default;
XLMRobertaTokenizer::XLMRobertaTokenizer(XLMRobertaTokenizer&& other) noexcept = default;
XLMRobertaTokenizer& XLMRobertaTokenizer::operator=(XLMRobertaTokenizer&& other) noexcept = default;

WordPieceEncoding XLMRobertaTokenizer::encode(const std::vector<std::string>& words,
                                              bool add_special_tokens) const {
    const Impl& m = *impl_;
    Scratch& s = thread_scratch();
    return detail::encode_words(words.data(), words.size(), add_special_tokens,
                                m.cls_id, m.sep_id, m.cache,
                                [&m, &s](std::string_view word) -> const std::vector<std::int64_t>& {
                                    return m.tokenize_word(word, s);
                                });
}

WordPieceEncoding XLMRobertaTokenizer::encode(const std::string_view* words, std::size_t count,
                                              bool add_special_tokens) const {
    const Impl& m = *impl_;
    Scratch& s = thread_scratch();
    return detail::encode_words(words, count, add_special_tokens,
                                m.cls_id, m.sep_id, m.cache,
                                [&m, &s](std::string_view word) -> const std::vector<std::int64_t>& {
                                    return m.tokenize_word(word, s);
                                });
}

std::vector<std::int64_t> XLMRobertaTokenizer::tokenize(const std::string& text) const {
    const Impl& m = *impl_;
    Scratch& s = thread_scratch();
    return m.cache.ids(text, [&m, &s](std::string_view word) -> const std::vector<std::int64_t>& {
                                    return m.tokenize_word(word, s);
                                });
}

std::size_t XLMRobertaTokenizer::vocabulary_size() const { return impl_->vocabulary.size(); }
std::size_t XLMRobertaTokenizer::cache_size() const { return impl_->cache.size(); }

}  // namespace quelbin
