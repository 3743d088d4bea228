// Strict UTF-8 decoding with byte ranges, and the character-class lookups of
// the byte-level BPE and unigram tokenizers.
#include "encoders/subword_text.hpp"

#include "document/utf8_codec.hpp"

#include <quelbin/errors.hpp>

#include <cstring>
#include <iterator>
#include <string>

namespace quelbin::detail {
namespace {

[[noreturn]] void invalid_at(std::size_t offset) {
    throw SubwordError("invalid UTF-8 sequence at byte offset " + std::to_string(offset));
}

bool all_ascii(const unsigned char* p, std::size_t n) {
    std::size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        std::uint64_t a, b;
        std::memcpy(&a, p + i, 8);
        std::memcpy(&b, p + i + 8, 8);
        if ((a | b) & 0x8080808080808080ULL) return false;
    }
    for (; i < n; ++i) {
        if (p[i] & 0x80) return false;
    }
    return true;
}

}  // namespace

namespace subword_data {

const unicode_data::CodePointRange kWhitespaceRanges[] = {
    {0x0009, 0x000D}, {0x001C, 0x0020}, {0x0085, 0x0085}, {0x00A0, 0x00A0},
    {0x1680, 0x1680}, {0x2000, 0x200A}, {0x2028, 0x2029}, {0x202F, 0x202F},
    {0x205F, 0x205F}, {0x3000, 0x3000},
};
const std::size_t kWhitespaceRangesSize = std::size(kWhitespaceRanges);

}  // namespace subword_data

void decode_utf8(const char* data, std::size_t size, std::vector<DecodedCodePoint>& out) {
    const auto* p = reinterpret_cast<const unsigned char*>(data);
    out.clear();
    out.reserve(size);
    if (all_ascii(p, size)) {
        for (std::size_t i = 0; i < size; ++i) out.push_back({p[i], i, i + 1});
        return;
    }
    for (std::size_t i = 0; i < size;) {
        const Utf8Sequence seq = decode_utf8_at(p, size, i);
        if (seq.length == 0) invalid_at(seq.error_offset);
        out.push_back({seq.code_point, i, i + seq.length});
        i += seq.length;
    }
}

std::vector<DecodedCodePoint> decode_utf8(const char* data, std::size_t size) {
    std::vector<DecodedCodePoint> out;
    decode_utf8(data, size, out);
    return out;
}

bool is_subword_letter(std::uint32_t c) {
    if (c < 0x80) return (c | 0x20) >= 'a' && (c | 0x20) <= 'z';
    return in_code_point_ranges(subword_data::kLetterRanges, subword_data::kLetterRangesSize, c);
}

bool is_subword_number(std::uint32_t c) {
    if (c < 0x80) return c >= '0' && c <= '9';
    return in_code_point_ranges(subword_data::kNumberRanges, subword_data::kNumberRangesSize, c);
}

}  // namespace quelbin::detail
