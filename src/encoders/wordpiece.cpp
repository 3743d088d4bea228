// The WordPiece tokenizer: normalisation, cleaning and splitting of one word,
// then greedy longest-prefix matching of each piece.
#include <quelbin/subword.hpp>

#include "document/utf8_codec.hpp"
#include "encoders/subword_cache.hpp"
#include "encoders/subword_text.hpp"
#include "encoders/wordpiece_tables.hpp"
#include "model/unicode.hpp"

#include <algorithm>
#include <array>
#include <string_view>
#include <unordered_map>
#include <utility>

namespace quelbin {
namespace {

namespace ud = detail::unicode_data;
namespace wd = detail::wordpiece_data;

constexpr ud::CodePointRange kCjkRanges[] = {
    {0x3400, 0x4DBF},   {0x4E00, 0x9FFF},   {0xF900, 0xFAFF},
    {0x20000, 0x2A6DF}, {0x2A700, 0x2CEAF}, {0x2F800, 0x2FA1F},
};

bool is_cjk(std::uint32_t cp) {
    for (const ud::CodePointRange& r : kCjkRanges) {
        if (cp >= r.first && cp <= r.last) return true;
    }
    return false;
}

// What cleaning and splitting does with one code point.
enum class CharClass : std::uint8_t {
    kKeep,   // part of the current piece
    kDrop,   // removed without a trace
    kSpace,  // ends the current piece
    kAlone,  // ends the current piece and is a piece of its own
};

CharClass classify_by_tables(std::uint32_t cp) {
    if (cp == 0 || cp == 0xFFFD) return CharClass::kDrop;
    if (cp != 0x09 && cp != 0x0A && cp != 0x0D &&
        detail::in_code_point_ranges(wd::kControlRanges, wd::kControlRangesSize, cp)) {
        return CharClass::kDrop;
    }
    if (detail::is_subword_whitespace(cp)) return CharClass::kSpace;
    if (detail::in_code_point_ranges(wd::kPunctuationRanges, wd::kPunctuationRangesSize, cp) ||
        is_cjk(cp)) {
        return CharClass::kAlone;
    }
    return CharClass::kKeep;
}

// ASCII is looked up in a table made once from the same rules.
CharClass classify(std::uint32_t cp) {
    static const std::array<CharClass, 128> ascii = [] {
        std::array<CharClass, 128> table{};
        for (std::uint32_t c = 0; c < 128; ++c) table[c] = classify_by_tables(c);
        return table;
    }();
    return cp < 128 ? ascii[cp] : classify_by_tables(cp);
}

const wd::AccentMapping* find_accent(std::uint32_t cp) {
    const wd::AccentMapping* end = wd::kAccentMap + wd::kAccentMapSize;
    const wd::AccentMapping* it = std::lower_bound(
        wd::kAccentMap, end, cp,
        [](const wd::AccentMapping& row, std::uint32_t key) { return row.code_point < key; });
    return it != end && it->code_point == cp ? it : nullptr;
}

[[noreturn]] void throw_invalid_utf8(std::size_t offset) {
    throw WordPieceError("invalid UTF-8 sequence at byte offset " + std::to_string(offset));
}

// Per-thread working buffers of split_word, so that a word costs no
// allocation once they have grown.
struct Scratch {
    std::string lowered;
    std::vector<std::uint32_t> code_points;
    std::string piece;                // UTF-8 of the current piece
    std::vector<std::size_t> offsets;  // byte offset of each code point of the piece, then its end
    std::string candidate;
};

}  // namespace

struct WordPieceTokenizer::Impl {
    std::unordered_map<std::string, std::int64_t> vocabulary;
    bool lowercase;
    bool strip_accents;
    std::string continuing_subword_prefix;
    std::uint64_t max_input_characters_per_word;
    std::int64_t unknown_id = 0;
    std::int64_t cls_id = 0;
    std::int64_t sep_id = 0;
    detail::SubwordWordCache cache;
    // Bytes of the longest token: longer candidates cannot match and are skipped.
    std::size_t longest_token = 0;

    Impl(bool lower, bool strip, std::string prefix, std::uint64_t max_chars)
        : lowercase(lower),
          strip_accents(strip),
          continuing_subword_prefix(std::move(prefix)),
          max_input_characters_per_word(max_chars) {}

    std::vector<std::int64_t> encode_word(std::string_view word) const;
    std::vector<std::int64_t> split_word(std::string_view word) const;
    void match_piece(Scratch& s, std::vector<std::int64_t>& out) const;
};

WordPieceTokenizer::WordPieceTokenizer(std::vector<std::string> vocabulary, bool lowercase,
                                       bool strip_accents, std::string unknown_token,
                                       std::string cls_token, std::string sep_token,
                                       std::string continuing_subword_prefix,
                                       std::size_t max_input_characters_per_word) {
    auto impl = std::make_unique<Impl>(lowercase, strip_accents, std::move(continuing_subword_prefix),
                                       max_input_characters_per_word);
    if (vocabulary.empty()) throw WordPieceError("WordPiece vocabulary cannot be empty");
    if (max_input_characters_per_word == 0) {
        throw WordPieceError("max_input_characters_per_word must be positive");
    }
    impl->vocabulary.reserve(vocabulary.size());
    for (std::size_t i = 0; i < vocabulary.size(); ++i) {
        std::string& token = vocabulary[i];
        impl->longest_token = std::max(impl->longest_token, token.size());
        // try_emplace leaves the token alone when it is already present.
        if (!impl->vocabulary.try_emplace(std::move(token), static_cast<std::int64_t>(i)).second) {
            throw WordPieceError("WordPiece vocabulary contains duplicate token: " + vocabulary[i]);
        }
    }
    const std::pair<const std::string*, std::int64_t*> specials[] = {
        {&unknown_token, &impl->unknown_id}, {&cls_token, &impl->cls_id}, {&sep_token, &impl->sep_id}};
    for (const auto& [token, id] : specials) {
        const auto it = impl->vocabulary.find(*token);
        if (it == impl->vocabulary.end()) {
            throw WordPieceError("WordPiece vocabulary is missing required token: " + *token);
        }
        *id = it->second;
    }
    impl_ = std::move(impl);
}

WordPieceTokenizer::~WordPieceTokenizer() = default;
WordPieceTokenizer::WordPieceTokenizer(WordPieceTokenizer&& other) noexcept = default;
WordPieceTokenizer& WordPieceTokenizer::operator=(WordPieceTokenizer&& other) noexcept = default;

WordPieceEncoding WordPieceTokenizer::encode(const std::vector<std::string>& words,
                                             bool add_special_tokens) const {
    const Impl& impl = *impl_;
    return detail::encode_words(words.data(), words.size(), add_special_tokens,
                                impl.cls_id, impl.sep_id, impl.cache,
                                [&impl](std::string_view word) { return impl.encode_word(word); });
}

WordPieceEncoding WordPieceTokenizer::encode(const std::string_view* words, std::size_t count,
                                             bool add_special_tokens) const {
    const Impl& impl = *impl_;
    return detail::encode_words(words, count, add_special_tokens,
                                impl.cls_id, impl.sep_id, impl.cache,
                                [&impl](std::string_view word) { return impl.encode_word(word); });
}

std::size_t WordPieceTokenizer::vocabulary_size() const { return impl_->vocabulary.size(); }

std::size_t WordPieceTokenizer::cache_size() const { return impl_->cache.size(); }

std::vector<std::int64_t> WordPieceTokenizer::Impl::encode_word(std::string_view word) const {
    std::vector<std::int64_t> ids = split_word(word);
    if (ids.empty()) ids = split_word("-");
    if (ids.empty()) ids.push_back(unknown_id);
    return ids;
}

std::vector<std::int64_t> WordPieceTokenizer::Impl::split_word(std::string_view word) const {
    thread_local Scratch s;
    // Lower-casing: ASCII in place, anything else through the Unicode tables
    // (which reject malformed UTF-8 themselves).
    std::string_view text = word;
    if (lowercase) {
        const bool ascii = std::all_of(word.begin(), word.end(),
                                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
        if (ascii) {
            s.lowered.assign(word.data(), word.size());
            for (char& c : s.lowered) {
                if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
            }
        } else {
            s.lowered = detail::unicode_lower(word);
        }
        text = s.lowered;
    }

    // Strict decoding, with accent stripping on the way.
    s.code_points.clear();
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    for (std::size_t i = 0; i < text.size();) {
        const detail::Utf8Sequence seq = detail::decode_utf8_at(bytes, text.size(), i);
        if (seq.length == 0) throw_invalid_utf8(seq.error_offset);
        i += seq.length;
        if (strip_accents && seq.code_point >= 0x80) {
            if (const wd::AccentMapping* row = find_accent(seq.code_point)) {
                s.code_points.insert(s.code_points.end(), row->sequence, row->sequence + row->length);
                continue;
            }
        }
        s.code_points.push_back(seq.code_point);
    }

    // Cleaning and splitting; each finished piece is matched at once.
    std::vector<std::int64_t> ids;
    s.piece.clear();
    s.offsets.clear();
    auto finish_piece = [&] {
        if (s.offsets.empty()) return;
        s.offsets.push_back(s.piece.size());
        match_piece(s, ids);
        s.piece.clear();
        s.offsets.clear();
    };
    for (std::uint32_t cp : s.code_points) {
        switch (classify(cp)) {
            case CharClass::kDrop:
                break;
            case CharClass::kSpace:
                finish_piece();
                break;
            case CharClass::kAlone:
                finish_piece();
                s.offsets.push_back(0);
                detail::append_utf8(s.piece, cp);
                finish_piece();
                break;
            case CharClass::kKeep:
                s.offsets.push_back(s.piece.size());
                detail::append_utf8(s.piece, cp);
                break;
        }
    }
    finish_piece();
    return ids;
}

// Matches the piece in s.piece (code point offsets in s.offsets, its end
// last) and appends its ids, or the unknown id when any part fails to match.
void WordPieceTokenizer::Impl::match_piece(Scratch& s, std::vector<std::int64_t>& out) const {
    const std::size_t length = s.offsets.size() - 1;
    if (length > max_input_characters_per_word) {
        out.push_back(unknown_id);
        return;
    }
    const std::size_t first_id = out.size();
    for (std::size_t start = 0; start < length;) {
        const std::size_t prefix = start > 0 ? continuing_subword_prefix.size() : 0;
        std::size_t end = length;
        // Candidates longer than the longest token cannot match.
        while (end > start && prefix + s.offsets[end] - s.offsets[start] > longest_token) --end;
        bool found = false;
        for (; end > start; --end) {
            s.candidate.assign(continuing_subword_prefix.data(), prefix);
            s.candidate.append(s.piece, s.offsets[start], s.offsets[end] - s.offsets[start]);
            const auto it = vocabulary.find(s.candidate);
            if (it != vocabulary.end()) {
                out.push_back(it->second);
                found = true;
                break;
            }
        }
        if (!found) {
            out.resize(first_id);
            out.push_back(unknown_id);
            return;
        }
        start = end;
    }
}

}  // namespace quelbin
