#include "tokenize/char_units.hpp"

#include "document/utf8_codec.hpp"

#include <quelbin/errors.hpp>

namespace quelbin::detail {
namespace {

[[noreturn]] void invalid_utf8(std::size_t offset) {
    throw TokenizerModelError("invalid UTF-8 sequence at byte offset " + std::to_string(offset));
}

}  // namespace

bool is_unit_whitespace(std::uint32_t cp) {
    if (cp <= 0x20) return (cp >= 0x09 && cp <= 0x0D) || (cp >= 0x1C && cp <= 0x20);
    if (cp < 0x80) return false;
    if (cp <= 0xA0) return cp <= 0x9F || cp == 0xA0;
    return cp == 0x1680 || (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 ||
           cp == 0x202F || cp == 0x205F || cp == 0x3000;
}

bool is_trailing_whitespace(std::uint32_t cp) {
    if (cp >= 0x80 && cp <= 0x9F) return cp == 0x85;
    return is_unit_whitespace(cp);
}

std::vector<CharUnit> to_char_units(std::string_view text) {
    std::vector<CharUnit> units;
    units.reserve(text.size());
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t size = text.size();
    std::size_t p = 0;
    while (p < size) {
        const Utf8Sequence sequence = decode_utf8_at(bytes, size, p);
        if (sequence.length == 0) invalid_utf8(sequence.error_offset);
        const std::size_t length = sequence.length;
        const std::uint32_t value = sequence.code_point;
        units.push_back(CharUnit{std::string(text.substr(p, length)), value,
                                 static_cast<std::uint32_t>(units.size())});
        p += length;
    }
    return units;
}

std::vector<Paragraph> split_paragraphs(std::string_view text, bool skip_newline) {
    std::vector<CharUnit> units = to_char_units(text);
    const std::size_t n = units.size();
    std::vector<Paragraph> paragraphs;
    if (n == 0) return paragraphs;

    auto emit = [&](std::size_t a, std::size_t b) {
        while (b > a && is_trailing_whitespace(units[b - 1].code_point)) --b;
        if (b == a) return;
        Paragraph paragraph;
        paragraph.reserve(b - a);
        for (std::size_t i = a; i < b; ++i) {
            CharUnit& unit = units[i];
            if (skip_newline && unit.code_point == 0x0A) continue;
            if (is_unit_whitespace(unit.code_point)) {
                if (paragraph.empty() || paragraph.back().code_point != 0x20) {
                    paragraph.push_back(CharUnit{" ", 0x20, unit.index});
                }
                continue;
            }
            paragraph.push_back(std::move(unit));
        }
        if (!paragraph.empty()) paragraphs.push_back(std::move(paragraph));
    };

    // A paragraph ends at a newline followed by a whitespace run that holds
    // another newline; the run from the first to the last newline is dropped.
    std::size_t start = 0;
    std::size_t pos = 0;
    while (pos < n) {
        std::size_t f = pos;
        while (f < n && units[f].code_point != 0x0A) ++f;
        if (f == n) break;
        std::size_t last_newline = n;
        for (std::size_t k = f + 1; k < n && is_unit_whitespace(units[k].code_point); ++k) {
            if (units[k].code_point == 0x0A) last_newline = k;
        }
        if (last_newline != n) {
            emit(start, f);
            start = pos = last_newline + 1;
        } else {
            pos = f + 1;
        }
    }
    emit(start, n);
    return paragraphs;
}

}  // namespace quelbin::detail
