// Strictly validated UTF-8 text with the byte offset of every code point, so
// that character offsets (counted in code points) map to bytes in constant time.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace quelbin {

class Utf8Text {
public:
    // Throws std::invalid_argument "invalid UTF-8 sequence at byte offset N"
    // for the first ill-formed sequence in text order.
    explicit Utf8Text(std::string text);

    const std::string& bytes() const noexcept { return bytes_; }
    std::size_t codepoint_count() const noexcept { return offsets_.size() - 1; }

    // Byte offset of a code point; codepoint_count() gives the byte size.
    std::size_t byte_offset(std::size_t codepoint) const;

    // Bytes of code points [begin, end).
    std::string slice(std::size_t begin, std::size_t end) const;

private:
    std::string bytes_;
    // One entry per code point plus a final entry holding the byte size.
    std::vector<std::size_t> offsets_;
};

}  // namespace quelbin
