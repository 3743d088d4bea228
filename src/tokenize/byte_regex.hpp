// Byte-oriented regular expressions over PCRE2 (JIT where available). Matching
// follows the ECMAScript-style leftmost, first-alternative semantics on single
// bytes with the C locale's character classes, and never recurses on the stack.
#pragma once

#include <cstddef>
#include <functional>
#include <stdexcept>
#include <string_view>

struct pcre2_real_code_8;

namespace quelbin::detail {

// A match that ran into the matching limits (a pattern and text that backtrack
// without end) or failed otherwise; the message names the PCRE2 failure.
class RegexMatchError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Bounds on one search: the JIT matcher's stack grows to kRegexJitStackBytes;
// when it runs out the interpreter retries under the depth and heap limits.
// The match limit bounds backtracking steps in both. Ordinary text of any
// length stays far below them.
inline constexpr unsigned kRegexMatchLimit = 10'000'000;
inline constexpr unsigned kRegexDepthLimit = 200'000;
inline constexpr unsigned kRegexHeapLimitKiB = 64 * 1024;
inline constexpr std::size_t kRegexJitStackBytes = 64 * 1024 * 1024;

class ByteRegex {
public:
    explicit ByteRegex(std::string_view pattern);
    ~ByteRegex();
    ByteRegex(const ByteRegex&) = delete;
    ByteRegex& operator=(const ByteRegex&) = delete;

    // Calls on_match(begin, end) with byte offsets for every match, each search
    // starting where the previous match ended. Safe to call from several threads.
    // Throws RegexMatchError when a search reaches the limits above.
    void for_each_match(std::string_view text,
                        const std::function<void(std::size_t, std::size_t)>& on_match) const;

private:
    pcre2_real_code_8* code_ = nullptr;
};

}  // namespace quelbin::detail
