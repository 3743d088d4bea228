#include "model/unicode.hpp"

#include "document/utf8_codec.hpp"

#include "model/unicode_tables.hpp"

#include <unicode/normalizer2.h>
#include <unicode/stringpiece.h>
#include <unicode/unistr.h>
#include <unicode/utypes.h>

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <vector>

namespace quelbin::detail {
namespace {

namespace ud = unicode_data;

[[noreturn]] void throw_invalid_utf8(std::size_t offset) {
    throw std::invalid_argument("invalid UTF-8 sequence at byte offset " + std::to_string(offset));
}

// Strict decoding of the whole text: no overlong forms, no surrogates, nothing
// above U+10FFFF. A truncated sequence fails at its lead byte, a bad
// continuation byte at its own offset.
std::vector<std::uint32_t> decode_utf8(std::string_view text) {
    std::vector<std::uint32_t> out;
    out.reserve(text.size());
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t size = text.size();
    std::size_t i = 0;
    while (i < size) {
        const Utf8Sequence sequence = decode_utf8_at(bytes, size, i);
        if (sequence.length == 0) throw_invalid_utf8(sequence.error_offset);
        out.push_back(sequence.code_point);
        i += sequence.length;
    }
    return out;
}


template <class Row>
const Row* find_row(const Row* rows, std::size_t size, std::uint32_t cp) {
    const Row* end = rows + size;
    const Row* it = std::lower_bound(
        rows, end, cp, [](const Row& row, std::uint32_t key) { return row.code_point < key; });
    return it != end && it->code_point == cp ? it : nullptr;
}

bool in_ranges(const ud::CodePointRange* ranges, std::size_t size, std::uint32_t cp) {
    const ud::CodePointRange* end = ranges + size;
    // The first range starting after cp; the one before it is the only candidate.
    const ud::CodePointRange* it = std::upper_bound(
        ranges, end, cp, [](std::uint32_t key, const ud::CodePointRange& r) { return key < r.first; });
    if (it == ranges) return false;
    --it;
    return cp <= it->last;
}

bool all_cased_in(std::string_view text, const ud::CodePointRange* ranges, std::size_t size) {
    bool seen_cased = false;
    for (std::uint32_t cp : decode_utf8(text)) {
        if (!in_ranges(ud::kCasedRanges, ud::kCasedRangesSize, cp)) continue;
        if (!in_ranges(ranges, size, cp)) return false;
        seen_cased = true;
    }
    return seen_cased;
}

}  // namespace

std::string unicode_lower(std::string_view text) {
    const std::vector<std::uint32_t> cps = decode_utf8(text);
    std::string out;
    out.reserve(text.size());
    for (std::uint32_t cp : cps) {
        if (const auto* row = find_row(ud::kLowercaseMap, ud::kLowercaseMapSize, cp)) {
            append_utf8(out, row->mapped);
        } else if (cp == 0x0130) {
            append_utf8(out, 0x0069);
            append_utf8(out, 0x0307);
        } else {
            append_utf8(out, cp);
        }
    }
    return out;
}

std::string unicode_upper(std::string_view text) {
    const std::vector<std::uint32_t> cps = decode_utf8(text);
    std::string out;
    out.reserve(text.size());
    for (std::uint32_t cp : cps) {
        if (const auto* row = find_row(ud::kUppercaseMap, ud::kUppercaseMapSize, cp)) {
            append_utf8(out, row->mapped);
        } else if (const auto* exp =
                       find_row(ud::kUppercaseExpansions, ud::kUppercaseExpansionsSize, cp)) {
            for (std::uint64_t k = 0; k < exp->length; ++k) append_utf8(out, exp->sequence[k]);
        } else {
            append_utf8(out, cp);
        }
    }
    return out;
}

bool unicode_is_lower(std::string_view text) {
    return all_cased_in(text, ud::kLowercaseRanges, ud::kLowercaseRangesSize);
}

bool unicode_is_upper(std::string_view text) {
    return all_cased_in(text, ud::kUppercaseRanges, ud::kUppercaseRangesSize);
}

std::string unicode_nfkc_casefold_nfc(std::string_view text) {
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* nfkc = icu::Normalizer2::getNFKCInstance(status);
    if (U_FAILURE(status) || nfkc == nullptr) {
        throw std::runtime_error(std::string("ICU could not initialize the NFKC normalizer: ") +
                                 u_errorName(status));
    }
    const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
    if (U_FAILURE(status) || nfc == nullptr) {
        throw std::runtime_error(std::string("ICU could not initialize the NFC normalizer: ") +
                                 u_errorName(status));
    }
    if (text.size() > static_cast<std::size_t>(INT32_MAX)) {
        throw std::length_error("text is too long for ICU normalization");
    }
    const icu::UnicodeString source = icu::UnicodeString::fromUTF8(
        icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
    icu::UnicodeString folded = nfkc->normalize(source, status);
    if (U_FAILURE(status)) {
        throw std::runtime_error(std::string("ICU NFKC normalization failed: ") + u_errorName(status));
    }
    folded.foldCase(U_FOLD_CASE_DEFAULT);
    const icu::UnicodeString composed = nfc->normalize(folded, status);
    if (U_FAILURE(status)) {
        throw std::runtime_error(std::string("ICU NFC normalization failed: ") + u_errorName(status));
    }
    std::string out;
    composed.toUTF8String(out);
    return out;
}

}  // namespace quelbin::detail
