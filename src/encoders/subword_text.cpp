// Strict UTF-8 decoding with byte ranges, and the character-class lookups of
// the byte-level BPE and unigram tokenizers.
#include "encoders/subword_text.hpp"

#include <quelbin/errors.hpp>

#include <algorithm>
#include <cstring>
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

const subword_data::CodePointRange kWhitespaceRanges[] = {
    {0x0009, 0x000D}, {0x001C, 0x0020}, {0x0085, 0x0085}, {0x00A0, 0x00A0},
    {0x1680, 0x1680}, {0x2000, 0x200A}, {0x2028, 0x2029}, {0x202F, 0x202F},
    {0x205F, 0x205F}, {0x3000, 0x3000},
};

// Binary search for the last range whose first code point is not above c.
bool in_ranges(const subword_data::CodePointRange* table, std::size_t size, std::uint32_t c) {
    const subword_data::CodePointRange* end = table + size;
    const subword_data::CodePointRange* it = std::upper_bound(
        table, end, c, [](std::uint32_t v, const subword_data::CodePointRange& r) { return v < r.first; });
    return it != table && c <= (it - 1)->last;
}

}  // namespace

std::vector<DecodedCodePoint> decode_utf8(const char* data, std::size_t size) {
    const auto* p = reinterpret_cast<const unsigned char*>(data);
    std::vector<DecodedCodePoint> out;
    out.reserve(size);
    if (all_ascii(p, size)) {
        for (std::size_t i = 0; i < size; ++i) out.push_back({p[i], i, i + 1});
        return out;
    }
    std::size_t i = 0;
    while (i < size) {
        const unsigned char lead = p[i];
        if (lead < 0x80) {
            out.push_back({lead, i, i + 1});
            ++i;
            continue;
        }
        std::size_t length;
        std::uint32_t value, smallest;
        if ((lead & 0xE0) == 0xC0) {
            length = 2, value = lead & 0x1F, smallest = 0x80;
        } else if ((lead & 0xF0) == 0xE0) {
            length = 3, value = lead & 0x0F, smallest = 0x800;
        } else if ((lead & 0xF8) == 0xF0) {
            length = 4, value = lead & 0x07, smallest = 0x10000;
        } else {
            invalid_at(i);
        }
        if (size - i < length) invalid_at(i);
        for (std::size_t k = 1; k < length; ++k) {
            const unsigned char next = p[i + k];
            if ((next & 0xC0) != 0x80) invalid_at(i + k);
            value = (value << 6) | (next & 0x3F);
        }
        if (value < smallest || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) invalid_at(i);
        out.push_back({value, i, i + length});
        i += length;
    }
    return out;
}

bool is_subword_whitespace(std::uint32_t c) {
    if (c > 0x3000) return false;
    return in_ranges(kWhitespaceRanges, std::size(kWhitespaceRanges), c);
}

bool is_subword_letter(std::uint32_t c) {
    if (c < 0x80) return (c | 0x20) >= 'a' && (c | 0x20) <= 'z';
    return in_ranges(subword_data::kLetterRanges, subword_data::kLetterRangesSize, c);
}

bool is_subword_mark(std::uint32_t c) {
    if (c < 0x300) return false;
    return in_ranges(subword_data::kMarkRanges, subword_data::kMarkRangesSize, c);
}

bool is_subword_number(std::uint32_t c) {
    if (c < 0x80) return c >= '0' && c <= '9';
    return in_ranges(subword_data::kNumberRanges, subword_data::kNumberRangesSize, c);
}

}  // namespace quelbin::detail
