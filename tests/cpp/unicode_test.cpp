// Case mapping and case tests against ICU for every code point and on strings,
// strict UTF-8, and the normalisation chain against NormalizationTest.txt.
#include <gtest/gtest.h>

#include "model/unicode.hpp"

#include "fixtures.hpp"

#include <unicode/locid.h>
#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <array>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace quelbin::detail;

// ICU 72 has Unicode 15.0; 15.1 added no cased characters and changed no case
// property, so it agrees with the engine's tables everywhere.
TEST(UnicodeCase, EveryCodePointMatchesIcu) {
    const icu::Locale& root = icu::Locale::getRoot();
    int mismatches = 0;
    for (UChar32 cp = 0; cp <= 0x10FFFF; ++cp) {
        if (cp >= 0xD800 && cp <= 0xDFFF) continue;
        std::string text, lower, upper;
        icu::UnicodeString(cp).toUTF8String(text);
        icu::UnicodeString(cp).toLower(root).toUTF8String(lower);
        icu::UnicodeString(cp).toUpper(root).toUTF8String(upper);
        const bool cased = u_hasBinaryProperty(cp, UCHAR_CASED);
        const bool is_lower = cased && u_hasBinaryProperty(cp, UCHAR_LOWERCASE);
        const bool is_upper = cased && u_hasBinaryProperty(cp, UCHAR_UPPERCASE);
        const bool ok = unicode_lower(text) == lower && unicode_upper(text) == upper &&
                        unicode_is_lower(text) == is_lower && unicode_is_upper(text) == is_upper;
        if (!ok && ++mismatches <= 20) ADD_FAILURE() << "code point " << std::hex << cp;
    }
    EXPECT_EQ(mismatches, 0);
}

// Each function's result as text, or the message of the error it throws.
template <class F>
std::string result(F function, const std::string& text) {
    try {
        return function(text);
    } catch (const std::invalid_argument& error) {
        return error.what();
    }
}

// Strings map code point by code point, without context (no final sigma); the
// case tests ignore uncased code points but need one cased; ill-formed UTF-8 is
// refused at the offending byte.
TEST(UnicodeCase, StringsOfSeveralCodePoints) {
    const std::string bad = "invalid UTF-8 sequence at byte offset 2";
    const std::array<std::string, 5> cases[] = {
        // text, lower, upper, is lower, is upper
        {"", "", "", "no", "no"},
        {"\xCE\x9F\xCE\xA3 1", "\xCE\xBF\xCF\x83 1", "\xCE\x9F\xCE\xA3 1", "no", "yes"},
        {"stra\xC3\x9F" "e!", "stra\xC3\x9F" "e!", "STRASSE!", "yes", "no"},
        {std::string("a\0\xC3\x84", 4), std::string("a\0\xC3\xA4", 4),
         std::string("A\0\xC3\x84", 4), "no", "no"},
        {"a\xC3(", bad, bad, bad, bad},         // a bad continuation byte
        {"ab\xED\xA0\x80", bad, bad, bad, bad},  // a surrogate
    };
    auto yes = [](bool value) { return std::string(value ? "yes" : "no"); };
    for (const auto& c : cases) {
        EXPECT_EQ(result(unicode_lower, c[0]), c[1]) << c[0];
        EXPECT_EQ(result(unicode_upper, c[0]), c[2]) << c[0];
        EXPECT_EQ(result([&](auto s) { return yes(unicode_is_lower(s)); }, c[0]), c[3]) << c[0];
        EXPECT_EQ(result([&](auto s) { return yes(unicode_is_upper(s)); }, c[0]), c[4]) << c[0];
    }
}

TEST(UnicodeNormalization, NfkcCasefoldNfcChain) {
    EXPECT_EQ(unicode_nfkc_casefold_nfc("\xC4\xB0"), "i\xCC\x87");  // full folding, not Turkic
    EXPECT_EQ(unicode_nfkc_casefold_nfc("a\xFF" "b"), "a\xEF\xBF\xBD" "b");  // ill-formed: U+FFFD

    std::ifstream in(quelbin::testing::fixture_path("unicode_normalization", "nfkc_folded.txt"));
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
    std::size_t lines = 0;
    for (std::string line; std::getline(in, line); ++lines) {
        std::vector<std::string> fields;
        std::istringstream row(line);
        for (std::string field; std::getline(row, field, '\t');) fields.push_back(field);
        ASSERT_EQ(fields.size(), 6u) << line;
        std::string expected;
        nfc->normalize(icu::UnicodeString::fromUTF8(fields[5]), status).toUTF8String(expected);
        for (int column = 0; column < 5; ++column) {
            ASSERT_EQ(unicode_nfkc_casefold_nfc(fields[column]), expected) << column << " " << line;
        }
    }
    EXPECT_GT(lines, 19000u);
}

}  // namespace
