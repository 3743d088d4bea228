#include <quelbin/utf8_text.hpp>

#include "document/utf8_codec.hpp"

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
        if (data[p] < 0x80) {
            ++p;
            continue;
        }
        const detail::Utf8Sequence sequence = detail::decode_utf8_at(data, size, p);
        if (sequence.length == 0) invalid_at(sequence.error_offset);
        p += sequence.length;
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
