// Byte-level BPE: pre-splitting by character class, byte symbols and merges
// over integer ids.
#include "encoders/byte_bpe.hpp"

#include "encoders/subword_cache.hpp"
#include "encoders/subword_text.hpp"

#include <quelbin/subword_bpe.hpp>

#include <array>
#include <string_view>
#include <unordered_map>

namespace quelbin {

struct ByteBPETokenizer::Impl {
    struct Merge {
        std::uint32_t rank = 0;
        std::int64_t merged_id = 0;
    };

    std::unordered_map<std::string, std::int64_t> token_to_id;
    detail::U64Map<Merge> merge_ranks;
    std::array<std::int64_t, 256> byte_ids{};
    std::uint64_t vocabulary_size = 0;
    bool add_prefix_space = false;
    std::int64_t unknown_id = 0;
    std::int64_t cls_id = 0;
    std::int64_t sep_id = 0;
    detail::SubwordWordCache cache;

    std::int64_t require(const std::string& token) const {
        auto it = token_to_id.find(token);
        if (it == token_to_id.end()) {
            throw SubwordError("byte-level BPE vocabulary is missing token: " + token);
        }
        return it->second;
    }

    static std::uint64_t pair_key(std::int64_t left, std::int64_t right) {
        return (static_cast<std::uint64_t>(static_cast<std::uint32_t>(left)) << 32) |
               static_cast<std::uint32_t>(right);
    }

    void merge_piece(const char* bytes, std::size_t size, std::vector<std::int64_t>& symbols,
                     std::vector<std::int64_t>& out) const;
    std::vector<std::int64_t> tokenize_word(std::string_view word) const;
};

namespace detail {

std::uint32_t byte_symbol_code_point(unsigned char b) {
    const auto printable = [](unsigned v) {
        return (v >= 0x21 && v <= 0x7E) || (v >= 0xA1 && v <= 0xAC) || (v >= 0xAE);
    };
    if (printable(b)) return b;
    std::uint32_t shifted = 256;
    for (unsigned v = 0; v < b; ++v) {
        if (!printable(v)) ++shifted;
    }
    return shifted;
}

std::string byte_symbol(unsigned char b) {
    const std::uint32_t c = byte_symbol_code_point(b);
    std::string out;
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else {  // every symbol is below U+0800
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
    return out;
}

namespace {

enum : std::uint8_t { kLetter = 1, kNumber = 2, kSpace = 3, kOther = 4 };

std::uint8_t char_class(std::uint32_t c) {
    if (is_subword_letter(c) || is_subword_mark(c)) return kLetter;
    if (is_subword_number(c)) return kNumber;
    if (is_subword_whitespace(c)) return kSpace;
    return kOther;
}

// Length in code points of the contraction starting at the quote at i, or 0.
std::size_t contraction_length(const std::vector<DecodedCodePoint>& t, std::size_t i) {
    static const char* const kSuffixes[] = {"s", "t", "re", "ve", "m", "ll", "d"};
    const std::size_t n = t.size();
    if (t[i].code_point != '\'' || i + 1 >= n) return 0;
    for (const char* suffix : kSuffixes) {
        std::size_t k = 0;
        while (suffix[k] != '\0' && i + 1 + k < n &&
               t[i + 1 + k].code_point == static_cast<unsigned char>(suffix[k])) {
            ++k;
        }
        if (suffix[k] == '\0') return k + 1;
    }
    return 0;
}

}  // namespace

std::vector<ByteRange> byte_bpe_pre_split(const std::vector<DecodedCodePoint>& t) {
    std::vector<ByteRange> pieces;
    const std::size_t n = t.size();
    std::size_t i = 0;
    while (i < n) {
        if (const std::size_t k = contraction_length(t, i)) {
            pieces.push_back({t[i].begin, t[i + k - 1].end});
            i += k;
            continue;
        }
        std::size_t run = i;
        if (t[i].code_point == 0x20 && i + 1 < n && !is_subword_whitespace(t[i + 1].code_point)) {
            run = i + 1;
        }
        const std::uint8_t cls = char_class(t[run].code_point);
        std::size_t last = run;
        while (last + 1 < n && char_class(t[last + 1].code_point) == cls) ++last;
        pieces.push_back({t[i].begin, t[last].end});
        i = last + 1;
    }
    return pieces;
}

}  // namespace detail

void ByteBPETokenizer::Impl::merge_piece(const char* bytes, std::size_t size,
                                         std::vector<std::int64_t>& symbols,
                                         std::vector<std::int64_t>& out) const {
    symbols.clear();
    for (std::size_t k = 0; k < size; ++k) symbols.push_back(byte_ids[static_cast<unsigned char>(bytes[k])]);
    while (symbols.size() >= 2) {
        std::uint32_t best_rank = 0xFFFFFFFFu;
        std::int64_t best_left = 0, best_right = 0, best_merged = 0;
        for (std::size_t k = 0; k + 1 < symbols.size(); ++k) {
            const Merge* m = merge_ranks.find(pair_key(symbols[k], symbols[k + 1]));
            if (m != nullptr && m->rank < best_rank) {
                best_rank = m->rank;
                best_left = symbols[k];
                best_right = symbols[k + 1];
                best_merged = m->merged_id;
            }
        }
        if (best_rank == 0xFFFFFFFFu) break;
        std::size_t w = 0;
        for (std::size_t k = 0; k < symbols.size();) {
            if (k + 1 < symbols.size() && symbols[k] == best_left && symbols[k + 1] == best_right) {
                symbols[w++] = best_merged;
                k += 2;
            } else {
                symbols[w++] = symbols[k++];
            }
        }
        symbols.resize(w);
    }
    out.insert(out.end(), symbols.begin(), symbols.end());
}

std::vector<std::int64_t> ByteBPETokenizer::Impl::tokenize_word(std::string_view word) const {
    std::vector<std::int64_t> ids;
    if (word.empty()) return ids;
    std::vector<detail::DecodedCodePoint> text = detail::decode_utf8(word.data(), word.size());
    std::string prefixed;
    std::string_view bytes = word;
    if (add_prefix_space && !detail::is_subword_whitespace(text.front().code_point)) {
        prefixed.reserve(word.size() + 1);
        prefixed.push_back(' ');
        prefixed.append(word);
        bytes = prefixed;
        for (detail::DecodedCodePoint& c : text) ++c.begin, ++c.end;
        text.insert(text.begin(), detail::DecodedCodePoint{0x20, 0, 1});
    }
    std::vector<std::int64_t> symbols;
    for (const detail::ByteRange& piece : detail::byte_bpe_pre_split(text)) {
        merge_piece(bytes.data() + piece.begin, piece.end - piece.begin, symbols, ids);
    }
    if (ids.empty()) ids.push_back(unknown_id);
    return ids;
}

ByteBPETokenizer::ByteBPETokenizer(std::vector<std::string> vocabulary,
                                   std::vector<std::pair<std::string, std::string>> merges,
                                   std::string unknown_token, std::string cls_token,
                                   std::string sep_token, bool add_prefix_space)
    : impl_(std::make_unique<Impl>()) {
    Impl& m = *impl_;
    m.vocabulary_size = vocabulary.size();
    m.add_prefix_space = add_prefix_space;
    if (vocabulary.empty()) throw SubwordError("byte-level BPE vocabulary cannot be empty");
    m.token_to_id.reserve(vocabulary.size());
    for (std::size_t i = 0; i < vocabulary.size(); ++i) {
        if (!m.token_to_id.emplace(std::move(vocabulary[i]), static_cast<std::int64_t>(i)).second) {
            throw SubwordError("byte-level BPE vocabulary contains a duplicate token");
        }
    }
    m.unknown_id = m.require(unknown_token);
    m.cls_id = m.require(cls_token);
    m.sep_id = m.require(sep_token);
    for (unsigned b = 0; b < 256; ++b) m.byte_ids[b] = m.require(detail::byte_symbol(static_cast<unsigned char>(b)));
    m.merge_ranks.reserve(merges.size());
    for (std::size_t k = 0; k < merges.size(); ++k) {
        const std::int64_t left = m.require(merges[k].first);
        const std::int64_t right = m.require(merges[k].second);
        const std::int64_t merged = m.require(merges[k].first + merges[k].second);
        m.merge_ranks.insert(Impl::pair_key(left, right), {static_cast<std::uint32_t>(k), merged});
    }
}

ByteBPETokenizer::~ByteBPETokenizer() = default;
ByteBPETokenizer::ByteBPETokenizer(ByteBPETokenizer&& other) noexcept = default;
ByteBPETokenizer& ByteBPETokenizer::operator=(ByteBPETokenizer&& other) noexcept = default;

WordPieceEncoding ByteBPETokenizer::encode(const std::vector<std::string>& words,
                                           bool add_special_tokens) const {
    const Impl& m = *impl_;
    return detail::encode_words(words.data(), words.size(), add_special_tokens,
                                m.cls_id, m.sep_id, m.cache,
                                [&m](std::string_view word) { return m.tokenize_word(word); });
}

WordPieceEncoding ByteBPETokenizer::encode(const std::string_view* words, std::size_t count,
                                           bool add_special_tokens) const {
    const Impl& m = *impl_;
    return detail::encode_words(words, count, add_special_tokens,
                                m.cls_id, m.sep_id, m.cache,
                                [&m](std::string_view word) { return m.tokenize_word(word); });
}

std::vector<std::int64_t> ByteBPETokenizer::tokenize(const std::string& text) const {
    const Impl& m = *impl_;
    return m.cache.ids(text, [&m](std::string_view word) { return m.tokenize_word(word); });
}

std::size_t ByteBPETokenizer::vocabulary_size() const { return impl_->vocabulary_size; }
std::size_t ByteBPETokenizer::cache_size() const { return impl_->cache.size(); }

}  // namespace quelbin
