// The tokenizer's regular expressions under input made to backtrack without
// end: each of PCRE2's match, depth and heap limits and the JIT stack is
// reached and reported as RegexMatchError, and ordinary long text is not.
#define PCRE2_CODE_UNIT_WIDTH 8
#include <gtest/gtest.h>
#include <pcre2.h>

#include <string>

#include "tokenize/byte_regex.hpp"
#include "tokenize/features.hpp"

namespace quelbin::detail {
namespace {

std::string repeat(const std::string& piece, std::size_t count) {
    std::string out;
    out.reserve(piece.size() * count);
    for (std::size_t i = 0; i < count; ++i) out += piece;
    return out;
}

// The messages of a search that ran out of JIT stack and then failed in the
// interpreter; without JIT support the interpreter fails the same way alone.
std::string after_jit_stack(const std::string& failure) {
    std::uint32_t jit = 0;
    pcre2_config(PCRE2_CONFIG_JIT, &jit);
    return std::string("regular expression matching failed: ") +
           (jit ? "JIT stack limit reached, then " : "") + failure;
}

TEST(ByteRegexLimits, BacktrackingWithoutEndFailsWithTheModuleError) {
    // Captures make every interpreter frame large, so the heap runs out before
    // the depth does.
    std::string wide = "^(?:(a)(b)";
    for (int i = 0; i < 60; ++i) wide += "(x?)";
    wide += ")*c";
    // Millions of nested repeats: more than the JIT stack holds.
    const std::string deep_text = repeat("ab", 4'000'000) + "!c";
    const struct {
        const char* what;
        std::string pattern;
        std::string text;
        std::string message;
    } cases[] = {
        {"match limit", "(a+)+b", repeat("a", 40) + "!b",
         "regular expression matching failed: match limit exceeded"},
        {"depth limit", "^(?:a|ab)*c", deep_text, after_jit_stack("matching depth limit exceeded")},
        {"heap limit", wide, deep_text, after_jit_stack("heap limit exceeded")},
    };
    for (const auto& c : cases) {
        const ByteRegex regex(c.pattern);
        std::size_t matches = 0;
        try {
            regex.for_each_match(c.text, [&](std::size_t, std::size_t) { ++matches; });
            ADD_FAILURE() << c.what << ": no error";
        } catch (const RegexMatchError& error) {
            EXPECT_EQ(error.what(), c.message) << c.what;
        }
        EXPECT_EQ(matches, 0u) << c.what;
    }
}

TEST(ByteRegexLimits, LongOrdinaryTextStaysWithinTheLimits) {
    // Four megabytes of fields, numbers, dates and prices in one paragraph.
    const std::string text = repeat("Name: call 555-123-4567 on 1/2/2020 to pay $1,250.00 today. ", 70'000);
    for (const ByteRegex* regex : {&labeled_field_regex(), &phone_id_regex(), &date_pattern_regex(), &currency_regex()}) {
        std::size_t matches = 0;
        regex->for_each_match(text, [&](std::size_t, std::size_t) { ++matches; });
        EXPECT_EQ(matches, 70'000u);
    }
}

}  // namespace
}  // namespace quelbin::detail
