#include <quelbin/utf8_text.hpp>

#include <stdexcept>

namespace quelbin {
namespace {

[[noreturn]] void invalid_at(std::size_t offset) {
    throw std::invalid_argument("invalid UTF-8 sequence at byte offset " + std::to_string(offset));
}

}  // namespace

Utf8Text::Utf8Text(std::string text) : bytes_(std::move(text)) {
    const auto* data = reinterpret_cast<const unsigned char*>(bytes_.data());
    const std::size_t size = bytes_.size();
    offsets_.reserve(size + 1);
    std::size_t p = 0;
    while (p < size) {
        offsets_.push_back(p);
        const unsigned char b = data[p];
        if (b < 0x80) {
            ++p;
            continue;
        }
        std::size_t length;
        std::uint32_t value;
        std::uint32_t smallest;
        if ((b & 0xE0) == 0xC0) {
            length = 2, value = b & 0x1F, smallest = 0x80;
        } else if ((b & 0xF0) == 0xE0) {
            length = 3, value = b & 0x0F, smallest = 0x800;
        } else if ((b & 0xF8) == 0xF0) {
            length = 4, value = b & 0x07, smallest = 0x10000;
        } else {
            invalid_at(p);
        }
        if (length > size - p) invalid_at(p);
        for (std::size_t k = 1; k < length; ++k) {
            const unsigned char c = data[p + k];
            if ((c & 0xC0) != 0x80) invalid_at(p + k);
            value = (value << 6) | (c & 0x3F);
        }
        if (value < smallest || (value >= 0xD800 && value <= 0xDFFF) || value > 0x10FFFF) {
            invalid_at(p);
        }
        p += length;
    }
    offsets_.push_back(size);
}

std::size_t Utf8Text::byte_offset(std::size_t codepoint) const {
    if (codepoint >= offsets_.size()) {
        throw std::out_of_range("code point index is outside the document");
    }
    return offsets_[codepoint];
}

std::string Utf8Text::slice(std::size_t begin, std::size_t end) const {
    if (begin > end || end > codepoint_count()) {
        throw std::out_of_range("code point slice is outside the document");
    }
    const std::size_t from = offsets_[begin];
    return bytes_.substr(from, offsets_[end] - from);
}

}  // namespace quelbin
