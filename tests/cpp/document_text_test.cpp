// UTF-8 validation, code-point offsets and slicing; string pool interning and
// its limits.
#include <gtest/gtest.h>

#include <quelbin/string_pool.hpp>
#include <quelbin/utf8_text.hpp>

#include <functional>
#include <random>

#include "document_test_support.hpp"

namespace {

using quelbin::StringPool;
using quelbin::Utf8Text;

std::string bytes(std::initializer_list<int> values) {
    std::string out;
    for (int v : values) out.push_back(static_cast<char>(v));
    return out;
}

std::string invalid_message(const std::string& text) {
    try {
        Utf8Text t(text);
    } catch (const std::invalid_argument& e) {
        return e.what();
    }
    return "accepted";
}

TEST(Utf8Text, RefusesIllFormedSequencesAtTheirOffset) {
    struct Case {
        const char* name;
        std::string text;
        int offset;
    };
    const std::vector<Case> cases = {
        {"lone continuation byte", bytes({0x80}), 0},
        {"continuation after ASCII", bytes({0x61, 0x62, 0x63, 0xBF}), 3},
        {"overlong two bytes C0", bytes({0xC0, 0x80}), 0},
        {"overlong two bytes C1", bytes({0xC1, 0xBF}), 0},
        {"overlong three bytes", bytes({0xE0, 0x80, 0xAF}), 0},
        {"overlong four bytes", bytes({0xF0, 0x8F, 0xBF, 0xBF}), 0},
        {"surrogate D800", bytes({0xED, 0xA0, 0x80}), 0},
        {"surrogate DFFF after text", bytes({0x41, 0xED, 0xBF, 0xBF}), 1},
        {"above U+10FFFF", bytes({0xF4, 0x90, 0x80, 0x80}), 0},
        {"lead F5", bytes({0xF5, 0x80, 0x80, 0x80}), 0},
        {"lead F8", bytes({0xF8, 0x88, 0x80, 0x80, 0x80}), 0},
        {"lead FF", bytes({0xFF}), 0},
        {"truncated three bytes", bytes({0x61, 0xE2, 0x82}), 1},
        {"truncated four bytes at end", bytes({0xF0, 0x9F, 0x98}), 0},
        {"truncation wins over a bad continuation", bytes({0x61, 0x62, 0xE2, 0x28}), 2},
        {"bad second byte", bytes({0xE2, 0x28, 0xA1}), 1},
        {"bad third byte", bytes({0xE2, 0x82, 0x28}), 2},
        {"bad fourth byte", bytes({0x7A, 0xF0, 0x9F, 0x98, 0x41}), 4},
        {"first fault reported", bytes({0xC3, 0xA9, 0x80, 0xFF}), 2},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(invalid_message(c.text), "invalid UTF-8 sequence at byte offset " + std::to_string(c.offset))
            << c.name;
    }
}

TEST(Utf8Text, AcceptsBoundaryCodePoints) {
    const std::vector<std::pair<std::string, std::size_t>> cases = {
        {bytes({0x00}), 1},
        {bytes({0x7F}), 1},
        {bytes({0xC2, 0x80}), 1},
        {bytes({0xDF, 0xBF}), 1},
        {bytes({0xE0, 0xA0, 0x80}), 1},
        {bytes({0xED, 0x9F, 0xBF}), 1},  // U+D7FF
        {bytes({0xEE, 0x80, 0x80}), 1},  // U+E000
        {bytes({0xEF, 0xBF, 0xBF}), 1},
        {bytes({0xF0, 0x90, 0x80, 0x80}), 1},
        {bytes({0xF4, 0x8F, 0xBF, 0xBF}), 1},  // U+10FFFF
        {"", 0},
    };
    for (const auto& [text, count] : cases) {
        EXPECT_EQ(Utf8Text(text).codepoint_count(), count) << invalid_message(text);
    }
}

TEST(Utf8Text, OffsetsAndSlices) {
    const Utf8Text text("a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");  // a, é, €, 😀
    ASSERT_EQ(text.codepoint_count(), 4u);
    const std::vector<std::size_t> offsets = {0, 1, 3, 6, 10};
    for (std::size_t i = 0; i < offsets.size(); ++i) EXPECT_EQ(text.byte_offset(i), offsets[i]);
    EXPECT_THROW(
        {
            try {
                text.byte_offset(5);
            } catch (const std::out_of_range& e) {
                EXPECT_STREQ(e.what(), "code point index is outside the document");
                throw;
            }
        },
        std::out_of_range);
    EXPECT_EQ(text.slice(1, 3), "\xC3\xA9\xE2\x82\xAC");
    EXPECT_EQ(text.slice(3, 4), "\xF0\x9F\x98\x80");
    EXPECT_EQ(text.slice(2, 2), "");
    EXPECT_EQ(text.slice(0, 4), text.bytes());

    const Utf8Text empty("");
    EXPECT_EQ(empty.codepoint_count(), 0u);
    EXPECT_EQ(empty.byte_offset(0), 0u);
    EXPECT_EQ(empty.slice(0, 0), "");

    const std::vector<std::pair<const Utf8Text*, std::pair<std::size_t, std::size_t>>> bad = {
        {&empty, {0, 1}}, {&text, {2, 1}}, {&text, {0, 5}}, {&text, {5, 5}}};
    for (const auto& [t, range] : bad) {
        try {
            t->slice(range.first, range.second);
            ADD_FAILURE() << "slice accepted " << range.first << ',' << range.second;
        } catch (const std::out_of_range& e) {
            EXPECT_STREQ(e.what(), "code point slice is outside the document");
        }
    }
}

// An independent validator written from the well-formed byte table of the
// Unicode standard: the range of the second byte depends on the lead.
std::string reference_verdict(const std::string& s) {
    const auto* b = reinterpret_cast<const unsigned char*>(s.data());
    const std::size_t n = s.size();
    std::size_t p = 0, count = 0;
    while (p < n) {
        const unsigned lead = b[p];
        std::size_t len;
        unsigned lo = 0x80, hi = 0xBF;
        if (lead <= 0x7F) len = 1;
        else if (lead >= 0xC2 && lead <= 0xDF) len = 2;
        else if (lead == 0xE0) len = 3, lo = 0xA0;
        else if (lead >= 0xE1 && lead <= 0xEC) len = 3;
        else if (lead == 0xED) len = 3, hi = 0x9F;
        else if (lead >= 0xEE && lead <= 0xEF) len = 3;
        else if (lead == 0xF0) len = 4, lo = 0x90;
        else if (lead >= 0xF1 && lead <= 0xF3) len = 4;
        else if (lead == 0xF4) len = 4, hi = 0x8F;
        else if (lead == 0xC0 || lead == 0xC1 || (lead >= 0xF5 && lead <= 0xF7)) {
            // Leads of overlong or out-of-range forms: the sequence is read to
            // its end first, so truncation and bad continuations come first.
            len = lead < 0xC2 ? 2 : 4, lo = 0x100;  // no second byte is allowed
        } else {
            return "bad " + std::to_string(p);
        }
        if (len == 1) {
            ++p, ++count;
            continue;
        }
        if (p + len > n) return "bad " + std::to_string(p);
        for (std::size_t k = 1; k < len; ++k) {
            if (b[p + k] < 0x80 || b[p + k] > 0xBF) return "bad " + std::to_string(p + k);
        }
        if (b[p + 1] < lo || b[p + 1] > hi) return "bad " + std::to_string(p);
        p += len, ++count;
    }
    return "ok " + std::to_string(count);
}

TEST(Utf8Text, AgreesWithAnIndependentValidatorOnRandomBytes) {
    std::mt19937 rng(20240611);
    const std::vector<std::string> pieces = {"a", "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80", "\xED\x9F\xBF",
                                             "\xF4\x8F\xBF\xBF"};
    for (int round = 0; round < 20000; ++round) {
        std::string s;
        const int length = static_cast<int>(rng() % 12);
        for (int i = 0; i < length; ++i) {
            if (rng() % 3 == 0) s.push_back(static_cast<char>(rng() % 256));
            else if (rng() % 4 == 0) s.push_back(static_cast<char>(0x80 | (rng() % 64)));
            else s += pieces[rng() % pieces.size()];
        }
        std::string verdict;
        try {
            verdict = "ok " + std::to_string(Utf8Text(s).codepoint_count());
        } catch (const std::invalid_argument& e) {
            const std::string m = e.what();
            verdict = "bad " + m.substr(m.rfind(' ') + 1);
        }
        ASSERT_EQ(verdict, reference_verdict(s)) << "round " << round;
    }
}

TEST(StringPool, InternsOnceWithDenseIds) {
    StringPool pool;
    EXPECT_EQ(pool.size(), 1u);
    EXPECT_EQ(pool.get(0), "");
    EXPECT_EQ(pool.intern(""), 0u);
    EXPECT_EQ(pool.intern("NOUN"), 1u);
    EXPECT_EQ(pool.intern("VERB"), 2u);
    EXPECT_EQ(pool.intern("NOUN"), 1u);
    EXPECT_EQ(pool.intern(std::string_view("NOUNS", 4)), 1u);
    EXPECT_EQ(pool.intern(std::string("a\0b", 3)), 3u);  // embedded NUL is its own string
    EXPECT_EQ(pool.intern("a"), 4u);
    EXPECT_EQ(pool.size(), 5u);
    EXPECT_EQ(pool.intern_optional(std::nullopt), quelbin::kAbsentStringId);
    EXPECT_EQ(pool.intern_optional(std::string()), 0u);
    EXPECT_EQ(pool.intern_all({"VERB", "X", "", "X"}), (std::vector<std::uint32_t>{2, 5, 0, 5}));
    EXPECT_EQ(pool.strings_of({5, 1, 0}), (std::vector<std::string>{"X", "NOUN", ""}));
    EXPECT_EQ(pool.optional(quelbin::kAbsentStringId), std::nullopt);
    EXPECT_EQ(pool.optional(2), std::optional<std::string>("VERB"));
}

TEST(StringPool, RefusesUnknownIds) {
    StringPool pool;
    pool.intern("x");
    const std::vector<std::function<void()>> calls = {
        [&] { pool.get(quelbin::kAbsentStringId); },
        [&] { pool.get(2); },
        [&] { pool.optional(2); },
        [&] { pool.strings_of({1, quelbin::kAbsentStringId}); },
        [&] { pool.strings_of({7}); },
    };
    for (std::size_t i = 0; i < calls.size(); ++i) {
        try {
            calls[i]();
            ADD_FAILURE() << "call " << i << " accepted";
        } catch (const std::out_of_range& e) {
            EXPECT_STREQ(e.what(), "invalid string pool identifier") << i;
        }
    }
}

TEST(StringPool, ManyStringsKeepTheirIdsThroughIndexGrowth) {
    StringPool pool;
    for (int i = 0; i < 50000; ++i) ASSERT_EQ(pool.intern("w" + std::to_string(i)), static_cast<std::uint32_t>(i + 1));
    for (int i = 0; i < 50000; i += 7) ASSERT_EQ(pool.intern("w" + std::to_string(i)), static_cast<std::uint32_t>(i + 1));
    EXPECT_EQ(pool.get(50000), "w49999");
}

TEST(StringPool, FullPoolThrowsOverflowAndStaysUnchanged) {
    StringPool pool;
    quelbin::detail::StringPoolTestPeer::set_max_strings(pool, 3);
    EXPECT_EQ(pool.intern("a"), 1u);
    EXPECT_EQ(pool.intern("b"), 2u);
    try {
        pool.intern("c");
        ADD_FAILURE() << "a full pool accepted a new string";
    } catch (const std::overflow_error& e) {
        EXPECT_STREQ(e.what(), "the document string pool is full");
    }
    EXPECT_EQ(pool.size(), 3u);
    EXPECT_EQ(pool.intern("a"), 1u);  // known strings still resolve
    EXPECT_EQ(pool.intern(""), 0u);
    EXPECT_THROW(pool.intern_all({"a", "d"}), std::overflow_error);
    EXPECT_THROW(pool.get(3), std::out_of_range);
}

}  // namespace
