// Strict UTF-8, shared by every reader of text in the engine: decoding one
// sequence (no overlong forms, no surrogates, nothing above U+10FFFF) and
// encoding one code point.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace quelbin::detail {

// The sequence at byte `p` (p < size). A well-formed one gives its length and
// code point; an ill-formed one gives length 0 and the offset to report: the
// offending byte for a bad continuation byte, else the lead byte (a bad lead, a
// truncated, overlong or out-of-range sequence, a surrogate).
struct Utf8Sequence {
    std::size_t length;
    std::uint32_t code_point;
    std::size_t error_offset;
};

inline Utf8Sequence decode_utf8_at(const unsigned char* bytes, std::size_t size, std::size_t p) noexcept {
    const unsigned char lead = bytes[p];
    if (lead < 0x80) return {1, lead, 0};
    std::size_t length;
    std::uint32_t value;
    std::uint32_t minimum;
    if ((lead & 0xE0) == 0xC0) {
        length = 2, value = lead & 0x1F, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, value = lead & 0x0F, minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, value = lead & 0x07, minimum = 0x10000;
    } else {
        return {0, 0, p};
    }
    if (length > size - p) return {0, 0, p};
    for (std::size_t k = 1; k < length; ++k) {
        const unsigned char next = bytes[p + k];
        if ((next & 0xC0) != 0x80) return {0, 0, p + k};
        value = (value << 6) | (next & 0x3F);
    }
    if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return {0, 0, p};
    return {length, value, 0};
}

inline void append_utf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

}  // namespace quelbin::detail
