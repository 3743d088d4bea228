// XLM-R unigram tokenizer: charsmap normalisation, whitespace chunks with the
// U+2581 prefix, and a Viterbi search for the best-scoring segmentation.
#include "encoders/xlmr.hpp"

#include "encoders/subword_cache.hpp"
#include "encoders/subword_text.hpp"

#include <quelbin/subword_bpe.hpp>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace quelbin {
namespace detail {
namespace {

inline std::uint32_t unit_offset(std::uint32_t u) { return (u >> 10) << ((u >> 6) & 8); }

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
    std::string_view replacement;
    for (unsigned b = 0; b < 128; ++b) {
        const char key = static_cast<char>(b);
        map.ascii_plain[b] = b != '\r' && !map.lookup(std::string_view(&key, 1), replacement);
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
        // An ASCII code point that no rule replaces and that nothing joins stays.
        const std::uint32_t c = cps[i].code_point;
        if (c < 0x80 && ascii_plain[c] &&
            (i + 1 == n || (cps[i + 1].code_point < 0x80 || (!is_subword_mark(cps[i + 1].code_point) &&
                                                              cps[i + 1].code_point != 0xFE0F)))) {
            out.push_back(static_cast<char>(c));
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

constexpr std::uint64_t kFnvBasis = 0xCBF29CE484222325ULL;
constexpr std::uint64_t kFnvPrime = 0x100000001B3ULL;

inline std::uint64_t fnv_extend(std::uint64_t h, const char* p, std::size_t n) {
    for (std::size_t k = 0; k < n; ++k) {
        h ^= static_cast<unsigned char>(p[k]);
        h *= kFnvPrime;
    }
    return h;
}

// The vocabulary's string-to-id map: open addressing over a 64-bit FNV-1a hash
// of the piece, which the Viterbi search extends one code point at a time
// instead of rehashing every candidate from its start. A slot keeps the
// piece's score beside its id, and a piece of up to 15 bytes inline, so that a
// hit is confirmed on the slot's own cache line. A bit filter over the same
// hash answers two questions before the table is touched: whether a string
// may be a piece, and whether it may be a proper prefix of one (when not, no
// longer candidate from the same start can match).
class PieceIndex {
public:
    struct Found {
        std::int64_t id;  // -1 when the string is no piece
        float score;
    };

    void build(const std::vector<std::string>& pieces, const std::vector<float>& scores) {
        std::size_t capacity = 16;
        while (capacity < pieces.size() * 2) capacity *= 2;
        slots_.assign(capacity, Slot{});
        mask_ = capacity - 1;
        pieces_ = &pieces;
        std::size_t prefixes = 0;
        for (const std::string& piece : pieces) prefixes += piece.size();
        filter_bits_ = 16;
        while (filter_bits_ < 30 && (std::size_t{1} << filter_bits_) < 8 * prefixes) ++filter_bits_;
        filter_.assign((std::size_t{1} << filter_bits_) / 32, 0);
        for (std::size_t id = 0; id < pieces.size(); ++id) {
            const std::string& piece = pieces[id];
            std::uint64_t h = kFnvBasis;
            for (std::size_t k = 0; k < piece.size(); ++k) {
                if (k > 0) mark(h, kPrefixBit);
                h = fnv_extend(h, piece.data() + k, 1);
            }
            mark(h, kPieceBit);
            std::size_t i = slot(h);
            bool present = false;
            for (; slots_[i].id >= 0; i = (i + 1) & mask_) {
                if (slots_[i].hash == h && (*pieces_)[slots_[i].id] == piece) {
                    present = true;  // the first position keeps the piece
                    break;
                }
            }
            if (present) continue;
            Slot& s = slots_[i];
            s.hash = h;
            s.id = static_cast<std::int32_t>(id);  // vocabularies stay far below 2^31 pieces
            s.score = scores[id];
            s.length = piece.size() < kInline ? static_cast<std::uint8_t>(piece.size()) : kInline;
            if (piece.size() < kInline) std::memcpy(s.bytes, piece.data(), piece.size());
        }
    }

    // The bits of the string of hash `h`: kPieceBit when it may be a piece,
    // kPrefixBit when a longer piece may begin with it.
    unsigned bits(std::uint64_t h) const {
        const std::size_t b = bit(h);
        return static_cast<unsigned>(filter_[b >> 5] >> (2 * (b & 31))) & 3u;
    }

    // The piece `bytes` whose hash is `h`.
    Found find(std::uint64_t h, const char* bytes, std::size_t size) const {
        for (std::size_t i = slot(h); slots_[i].id >= 0; i = (i + 1) & mask_) {
            const Slot& s = slots_[i];
            if (s.hash != h) continue;
            const bool same = s.length < kInline
                                  ? s.length == size && same_short(s.bytes, bytes, size)
                                  : (*pieces_)[static_cast<std::size_t>(s.id)] == std::string_view(bytes, size);
            if (same) return {s.id, s.score};
        }
        return {-1, 0.0f};
    }

    std::int64_t find(std::string_view piece) const {
        return find(fnv_extend(kFnvBasis, piece.data(), piece.size()), piece.data(), piece.size()).id;
    }

    static constexpr unsigned kPieceBit = 1;
    static constexpr unsigned kPrefixBit = 2;

private:
    static constexpr std::uint8_t kInline = 15;

    struct Slot {
        std::uint64_t hash = 0;
        std::int32_t id = -1;
        float score = 0.0f;
        std::uint8_t length = 0;  // kInline: the piece is too long to be kept here
        char bytes[kInline] = {};
    };
    // A few bytes compared in place: cheaper than a call for the short pieces
    // kept inline, whose hash has already matched.
    static bool same_short(const char* a, const char* b, std::size_t size) {
        for (std::size_t k = 0; k < size; ++k) {
            if (a[k] != b[k]) return false;
        }
        return true;
    }
    std::size_t slot(std::uint64_t h) const { return (h * 0x9E3779B97F4A7C15ULL >> 17) & mask_; }
    std::size_t bit(std::uint64_t h) const {
        return static_cast<std::size_t>((h * 0xD6E8FEB86659FD93ULL) >> (64 - filter_bits_));
    }
    void mark(std::uint64_t h, unsigned which) {
        const std::size_t b = bit(h);
        filter_[b >> 5] |= std::uint64_t{which} << (2 * (b & 31));
    }

    std::vector<Slot> slots_;
    std::size_t mask_ = 0;
    const std::vector<std::string>* pieces_ = nullptr;
    unsigned filter_bits_ = 16;
    std::vector<std::uint64_t> filter_;  // two bits per hash position
};

}  // namespace detail

struct ViterbiScratch;

struct XLMRobertaTokenizer::Impl {
    std::vector<std::string> vocabulary;
    std::vector<float> scores;
    detail::PieceIndex token_to_id;
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

    // Segments scratch.chunk, whose code-point boundaries are scratch.off.
    void viterbi(ViterbiScratch& scratch, std::vector<std::int64_t>& out) const;
    std::vector<std::int64_t> tokenize_word(std::string_view word) const;
};

// Buffers of one word's normalisation and of one chunk's search, kept per
// thread so that a word costs no allocation for them once they have grown.
struct ViterbiScratch {
    std::vector<detail::DecodedCodePoint> code_points;  // of the word, then of its normalised form
    std::string normalized;
    std::string chunk;
    std::vector<std::uint64_t> off;
    std::vector<float> best;
    std::vector<std::size_t> back;
    std::vector<std::int64_t> piece;
};

void XLMRobertaTokenizer::Impl::viterbi(ViterbiScratch& scratch, std::vector<std::int64_t>& out) const {
    const std::vector<std::uint64_t>& off = scratch.off;
    const std::size_t positions = off.size();
    std::vector<float>& best = scratch.best;
    std::vector<std::size_t>& back = scratch.back;
    std::vector<std::int64_t>& piece = scratch.piece;
    best.assign(positions, -std::numeric_limits<float>::infinity());
    back.assign(positions, 0);
    piece.assign(positions, unknown_id);
    best[0] = 0.0f;
    const char* text = scratch.chunk.data();
    for (std::size_t i = 0; i + 1 < positions; ++i) {
        if (!std::isfinite(best[i])) continue;
        bool matched = false;
        std::uint64_t h = detail::kFnvBasis;
        for (std::size_t j = i + 1; j < positions; ++j) {
            if (off[j] - off[i] > max_piece_length) break;
            h = detail::fnv_extend(h, text + off[j - 1], off[j] - off[j - 1]);
            const unsigned bits = token_to_id.bits(h);
            const detail::PieceIndex::Found t = (bits & detail::PieceIndex::kPieceBit)
                                                    ? token_to_id.find(h, text + off[i], off[j] - off[i])
                                                    : detail::PieceIndex::Found{-1, 0.0f};
            if (t.id >= 0) {
                matched = true;
                const float candidate = best[i] + t.score;
                if (candidate > best[j]) {
                    best[j] = candidate;
                    back[j] = i;
                    piece[j] = t.id;
                }
            }
            if (!(bits & detail::PieceIndex::kPrefixBit)) break;
        }
        if (!matched) {
            const float candidate = best[i] + scores[static_cast<std::size_t>(unknown_id)];
            if (candidate > best[i + 1]) {
                best[i + 1] = candidate;
                back[i + 1] = i;
                piece[i + 1] = unknown_id;
            }
        }
    }
    if (!std::isfinite(best[positions - 1])) {
        out.push_back(unknown_id);
        return;
    }
    const std::size_t first = out.size();
    for (std::size_t p = positions - 1; p > 0; p = back[p]) out.push_back(piece[p]);
    std::reverse(out.begin() + static_cast<std::ptrdiff_t>(first), out.end());
}

std::vector<std::int64_t> XLMRobertaTokenizer::Impl::tokenize_word(std::string_view word) const {
    static thread_local ViterbiScratch scratch;
    std::vector<detail::DecodedCodePoint>& cps = scratch.code_points;
    std::string& normalized = scratch.normalized;
    detail::decode_utf8(word.data(), word.size(), cps);
    if (charsmap.normalize(word, cps, normalized)) {
        detail::decode_utf8(normalized.data(), normalized.size(), cps);
    }
    std::vector<std::int64_t> ids;
    ids.reserve(cps.size() + 1);  // room for the common case, one allocation
    std::size_t i = 0;
    while (i < cps.size()) {
        if (detail::is_subword_whitespace(cps[i].code_point)) {
            ++i;
            continue;
        }
        std::size_t j = i;
        while (j < cps.size() && !detail::is_subword_whitespace(cps[j].code_point)) ++j;
        // U+2581, then the chunk; positions at the code-point boundaries.
        const std::uint64_t begin = cps[i].begin;
        scratch.chunk.assign("\xE2\x96\x81");
        scratch.chunk.append(normalized, begin, cps[j - 1].end - begin);
        scratch.off.assign({0, 3});
        for (std::size_t k = i; k < j; ++k) scratch.off.push_back(3 + cps[k].end - begin);
        viterbi(scratch, ids);
        i = j;
    }
    return ids;
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
    for (const std::string& piece : m.vocabulary) {
        m.max_piece_length = std::max<std::uint64_t>(m.max_piece_length, piece.size());
    }
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
    return detail::encode_words(words, add_special_tokens, m.cls_id, m.sep_id, m.cache,
                                [&m](std::string_view word) { return m.tokenize_word(word); });
}

std::vector<std::int64_t> XLMRobertaTokenizer::tokenize(const std::string& text) const {
    const Impl& m = *impl_;
    return m.cache.ids(text, [&m](std::string_view word) { return m.tokenize_word(word); });
}

std::size_t XLMRobertaTokenizer::vocabulary_size() const { return impl_->vocabulary.size(); }
std::size_t XLMRobertaTokenizer::cache_size() const { return impl_->cache.size(); }

}  // namespace quelbin
