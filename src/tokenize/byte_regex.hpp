// Byte-oriented regular expressions over PCRE2 (JIT where available). Matching
// follows the ECMAScript-style leftmost, first-alternative semantics on single
// bytes with the C locale's character classes, and never recurses on the stack.
#pragma once

#include <cstddef>
#include <functional>
#include <string_view>

struct pcre2_real_code_8;

namespace quelbin::detail {

class ByteRegex {
public:
    explicit ByteRegex(std::string_view pattern);
    ~ByteRegex();
    ByteRegex(const ByteRegex&) = delete;
    ByteRegex& operator=(const ByteRegex&) = delete;

    // Calls on_match(begin, end) with byte offsets for every match, each search
    // starting where the previous match ended. Safe to call from several threads.
    void for_each_match(std::string_view text,
                        const std::function<void(std::size_t, std::size_t)>& on_match) const;

private:
    pcre2_real_code_8* code_ = nullptr;
};

}  // namespace quelbin::detail
