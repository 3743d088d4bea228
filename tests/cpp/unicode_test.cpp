// Case mapping, case tests and the normalisation chain: the telling rows, every
// code point against ICU, NormalizationTest.txt, and strict UTF-8 errors.
#include <gtest/gtest.h>

#include "model/unicode.hpp"
#include "model/unicode_tables.hpp"

#include "fixtures.hpp"

#include <unicode/locid.h>
#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <cstdint>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

using quelbin::detail::unicode_is_lower;
using quelbin::detail::unicode_is_upper;
using quelbin::detail::unicode_lower;
using quelbin::detail::unicode_nfkc_casefold_nfc;
using quelbin::detail::unicode_upper;
namespace ud = quelbin::detail::unicode_data;

std::string utf8(std::initializer_list<std::uint32_t> cps) {
    icu::UnicodeString s;
    for (auto cp : cps) s.append(static_cast<UChar32>(cp));
    std::string out;
    s.toUTF8String(out);
    return out;
}

std::string utf8(std::uint32_t cp) { return utf8({cp}); }

TEST(UnicodeCase, TellingMappings) {
    struct Case {
        std::uint32_t input;
        std::vector<std::uint32_t> lower, upper;
    };
    const Case cases[] = {
        {0x1E9E, {0x00DF}, {0x1E9E}},
        {0x212A, {0x006B}, {0x212A}},
        {0x01C5, {0x01C6}, {0x01C4}},
        {0x03C2, {0x03C2}, {0x03A3}},
        {0x03A3, {0x03C3}, {0x03A3}},
        {0x0345, {0x0345}, {0x0399}},
        {0x00DF, {0x00DF}, {0x0053, 0x0053}},
        {0xFB00, {0xFB00}, {0x0046, 0x0046}},
        {0x0390, {0x0390}, {0x0399, 0x0308, 0x0301}},
        {0x1F80, {0x1F80}, {0x1F08, 0x0399}},
        {0x1F88, {0x1F80}, {0x1F08, 0x0399}},
        {0x0149, {0x0149}, {0x02BC, 0x004E}},
        {0x0130, {0x0069, 0x0307}, {0x0130}},
        {0x0131, {0x0131}, {0x0049}},
        {0x0041, {0x0061}, {0x0041}},
        {0x10D50, {0x10D50}, {0x10D50}},  // Garay, added in Unicode 16.0
        {0x10D70, {0x10D70}, {0x10D70}},
        {0x1C89, {0x1C89}, {0x1C89}},      // Cyrillic TJE, added in 16.0
    };
    auto encode = [](const std::vector<std::uint32_t>& cps) {
        std::string s;
        for (auto cp : cps) s += utf8(cp);
        return s;
    };
    for (const auto& c : cases) {
        EXPECT_EQ(unicode_lower(utf8(c.input)), encode(c.lower)) << std::hex << c.input;
        EXPECT_EQ(unicode_upper(utf8(c.input)), encode(c.upper)) << std::hex << c.input;
    }
    EXPECT_EQ(unicode_lower("\xC4\xB0"), "\x69\xCC\x87");
    // No context rules: a final capital sigma still becomes U+03C3.
    EXPECT_EQ(unicode_lower("\xCE\x9F\xCE\xA3"), "\xCE\xBF\xCF\x83");
    EXPECT_EQ(unicode_lower("ABC \xC3\x84" "bc 123"), "abc \xC3\xA4" "bc 123");
    EXPECT_EQ(unicode_upper("stra\xC3\x9F" "e"), "STRASSE");
    EXPECT_EQ(unicode_lower(""), "");
    EXPECT_EQ(unicode_upper(""), "");
    EXPECT_EQ(unicode_lower(std::string("a\0B", 3)), std::string("a\0b", 3));
}

TEST(UnicodeCase, CaseTests) {
    struct Case {
        std::string text;
        bool lower, upper;
    };
    const Case cases[] = {
        {"", false, false},
        {"ABC1", false, true},
        {"abc!", true, false},
        {"123", false, false},
        {"Abc", false, false},
        {utf8(0x01C5), false, false},          // titlecase: cased, neither
        {"\xE4\xB8\xAD\xE6\x96\x87", false, false},  // CJK only
        {"a\xE4\xB8\xAD", true, false},
        {"\xC3\x9F", true, false},
        {"\xCE\xA3\xCE\xA9", false, true},
        {utf8(0x0345), true, false},           // lowercase by derivation, no mapping down
        {utf8(0x2160), false, true},           // Roman numeral one: Other_Uppercase
        {utf8(0x02B0), true, false},           // modifier letter: Other_Lowercase
        {utf8(0x10D50), false, false},         // added in 16.0: not cased here
        {"A" + utf8(0x10D70), false, true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(unicode_is_lower(c.text), c.lower) << c.text;
        EXPECT_EQ(unicode_is_upper(c.text), c.upper) << c.text;
    }
}

TEST(UnicodeCase, TablesHaveTheirShape) {
    EXPECT_EQ(ud::kLowercaseMapSize, 1432u);
    EXPECT_EQ(ud::kUppercaseMapSize, 1423u);
    EXPECT_EQ(ud::kUppercaseExpansionsSize, 102u);
    EXPECT_EQ(ud::kLowercaseRangesSize, 671u);
    EXPECT_EQ(ud::kUppercaseRangesSize, 651u);
    EXPECT_EQ(ud::kCasedRangesSize, 157u);
    auto sorted_maps = [](const ud::CodePointMapping* rows, std::size_t n) {
        for (std::size_t i = 1; i < n; ++i)
            if (rows[i - 1].code_point >= rows[i].code_point) return false;
        return true;
    };
    EXPECT_TRUE(sorted_maps(ud::kLowercaseMap, ud::kLowercaseMapSize));
    EXPECT_TRUE(sorted_maps(ud::kUppercaseMap, ud::kUppercaseMapSize));
    std::set<std::uint32_t> upper;
    for (std::size_t i = 0; i < ud::kUppercaseMapSize; ++i) upper.insert(ud::kUppercaseMap[i].code_point);
    for (std::size_t i = 0; i < ud::kUppercaseExpansionsSize; ++i) {
        const auto& row = ud::kUppercaseExpansions[i];
        EXPECT_EQ(upper.count(row.code_point), 0u) << std::hex << row.code_point;
        EXPECT_TRUE(row.length == 2 || row.length == 3);
        if (i > 0) EXPECT_LT(ud::kUppercaseExpansions[i - 1].code_point, row.code_point);
    }
    for (auto [rows, n] : {std::pair{ud::kLowercaseRanges, ud::kLowercaseRangesSize},
                           std::pair{ud::kUppercaseRanges, ud::kUppercaseRangesSize},
                           std::pair{ud::kCasedRanges, ud::kCasedRangesSize}}) {
        for (std::size_t i = 0; i < n; ++i) {
            EXPECT_LE(rows[i].first, rows[i].last);
            // Disjoint and not adjacent (adjacent ranges would have been merged).
            if (i > 0) EXPECT_LT(rows[i - 1].last + 1, rows[i].first);
        }
    }
}

// Every code point against ICU 72 (Unicode 15.0). Unicode 15.1 added no cased
// characters and changed no case property, so the two agree everywhere.
TEST(UnicodeCase, EveryCodePointMatchesIcu) {
    const icu::Locale& root = icu::Locale::getRoot();
    int mismatches = 0;
    for (UChar32 cp = 0; cp <= 0x10FFFF && mismatches < 20; ++cp) {
        if (cp >= 0xD800 && cp <= 0xDFFF) continue;
        const std::string text = utf8(static_cast<std::uint32_t>(cp));
        std::string lower, upper;
        icu::UnicodeString(cp).toLower(root).toUTF8String(lower);
        icu::UnicodeString(cp).toUpper(root).toUTF8String(upper);
        const bool cased = u_hasBinaryProperty(cp, UCHAR_CASED);
        const bool is_lower = cased && u_hasBinaryProperty(cp, UCHAR_LOWERCASE);
        const bool is_upper = cased && u_hasBinaryProperty(cp, UCHAR_UPPERCASE);
        const bool ok = unicode_lower(text) == lower && unicode_upper(text) == upper &&
                        unicode_is_lower(text) == is_lower && unicode_is_upper(text) == is_upper;
        if (!ok) {
            ++mismatches;
            ADD_FAILURE() << "code point " << std::hex << cp;
        }
    }
    EXPECT_EQ(mismatches, 0);
}

TEST(UnicodeUtf8, StrictDecodingErrors) {
    struct Case {
        std::string bytes;
        int offset;  // -1: valid
    };
    const Case cases[] = {
        {"\xC0", 0},
        {"\xC0\x80", 0},               // overlong NUL
        {"\xC1\xBF", 0},
        {"\xE0\x80\x80", 0},
        {"\xE0\x9F\xBF", 0},
        {"\xED\xA0\x80", 0},           // surrogate
        {"\xED\xBF\xBF", 0},
        {"\xF0\x8F\xBF\xBF", 0},
        {"\xF4\x90\x80\x80", 0},       // above U+10FFFF
        {"\xF5\x80\x80\x80", 0},
        {"\xF8\x88\x80\x80\x80", 0},
        {"\xFF", 0},
        {"\x80", 0},
        {"ab\xBF", 2},
        {"\x61\xC3\x28", 2},           // bad continuation
        {"\x61\xE2\x82", 1},           // truncated
        {"\x61\xE2\x28", 1},           // truncation is checked before continuations
        {"\xE2\x82\x28x", 2},
        {"\xF0\x9F\x98\x28", 3},
        {"ok \xF0\x9F\x98", 3},
        {"\xC2\x80\xDF\xBF\xE0\xA0\x80\xED\x9F\xBF\xEE\x80\x80\xF0\x90\x80\x80\xF4\x8F\xBF\xBF", -1},
    };
    for (const auto& c : cases) {
        for (auto fn : {+[](std::string_view s) { (void)unicode_lower(s); },
                        +[](std::string_view s) { (void)unicode_upper(s); },
                        +[](std::string_view s) { (void)unicode_is_lower(s); },
                        +[](std::string_view s) { (void)unicode_is_upper(s); }}) {
            std::string message = "valid";
            try {
                fn(c.bytes);
            } catch (const std::invalid_argument& e) {
                message = e.what();
            }
            const std::string expected =
                c.offset < 0 ? "valid" : "invalid UTF-8 sequence at byte offset " + std::to_string(c.offset);
            EXPECT_EQ(message, expected);
        }
    }
}

TEST(UnicodeNormalization, ChainExamples) {
    struct Case {
        std::string input, output;
    };
    const Case cases[] = {
        {utf8(0xFB01), "fi"},
        {utf8(0xFF21), "a"},
        {utf8(0x00DF), "ss"},
        {utf8(0x1E9E), "ss"},
        {utf8(0x0130), "i\xCC\x87"},
        {"\xCE\xA3\xCE\x91", "\xCF\x83\xCE\xB1"},          // folding has no final sigma
        {"e\xCC\x81", "\xC3\xA9"},                         // recomposed
        {utf8(0x0390), utf8(0x0390)},                      // folds apart, recomposes
        {utf8(0x2460), "1"},                               // circled digit one
        {utf8(0x3392), "mhz"},                             // square MHz
        {"", ""},
        {"a\xFF" "b", "a\xEF\xBF\xBD" "b"},                // ill-formed: U+FFFD
        {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
    };
    for (const auto& c : cases) EXPECT_EQ(unicode_nfkc_casefold_nfc(c.input), c.output) << c.input;
}

std::string hex_sequence_to_utf8(const std::string& field) {
    std::istringstream in(field);
    std::string word;
    std::string out;
    while (in >> word) out += utf8(static_cast<std::uint32_t>(std::stoul(word, nullptr, 16)));
    return out;
}

TEST(UnicodeNormalization, MatchesNormalizationTestNfkcFolded) {
    std::ifstream in(quelbin::testing::fixture_path("unicode_normalization", "nfkc_folded.txt"));
    ASSERT_TRUE(in) << "fixture missing";
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
    ASSERT_TRUE(U_SUCCESS(status));
    std::string line;
    std::size_t lines = 0;
    int failures = 0;
    while (std::getline(in, line) && failures < 20) {
        std::vector<std::string> fields;
        std::istringstream row(line);
        std::string field;
        while (std::getline(row, field, ';')) fields.push_back(field);
        ASSERT_EQ(fields.size(), 6u) << line;
        std::string expected;
        nfc->normalize(icu::UnicodeString::fromUTF8(hex_sequence_to_utf8(fields[5])), status)
            .toUTF8String(expected);
        ASSERT_TRUE(U_SUCCESS(status));
        for (int column = 0; column < 5; ++column) {
            if (unicode_nfkc_casefold_nfc(hex_sequence_to_utf8(fields[column])) != expected) {
                ++failures;
                ADD_FAILURE() << "column " << column + 1 << " of: " << line;
            }
        }
        ++lines;
    }
    EXPECT_EQ(failures, 0);
    EXPECT_GT(lines, 19000u);
}

}  // namespace
