// Character units and paragraphs of the tokenizer.
#include "tokenize/char_units.hpp"

#include <quelbin/errors.hpp>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quelbin::detail {
namespace {

// A paragraph written compactly: unit texts joined with '|' and their indexes.
struct Expected {
    std::vector<std::string> texts;
    std::vector<std::uint32_t> indexes;
};

void expect_paragraphs(const std::string& text, bool skip_newline, const std::vector<Expected>& expected) {
    SCOPED_TRACE(testing::Message() << "text: " << ::testing::PrintToString(text) << " skip_newline "
                                    << skip_newline);
    const std::vector<Paragraph> paragraphs = split_paragraphs(text, skip_newline);
    ASSERT_EQ(paragraphs.size(), expected.size());
    for (std::size_t p = 0; p < paragraphs.size(); ++p) {
        ASSERT_EQ(paragraphs[p].size(), expected[p].texts.size()) << "paragraph " << p;
        for (std::size_t u = 0; u < paragraphs[p].size(); ++u) {
            EXPECT_EQ(paragraphs[p][u].text, expected[p].texts[u]) << "paragraph " << p << " unit " << u;
            EXPECT_EQ(paragraphs[p][u].index, expected[p].indexes[u]) << "paragraph " << p << " unit " << u;
            if (paragraphs[p][u].text == " ") EXPECT_EQ(paragraphs[p][u].code_point, 0x20u);
        }
    }
}

TEST(TokenizeUnits, DecodesCodePointsWithTheirBytesAndIndexes) {
    const std::vector<CharUnit> units = to_char_units("a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
    ASSERT_EQ(units.size(), 4u);
    const std::uint32_t code_points[] = {0x61, 0xE9, 0x20AC, 0x1F600};
    const std::size_t sizes[] = {1, 2, 3, 4};
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(units[i].code_point, code_points[i]);
        EXPECT_EQ(units[i].text.size(), sizes[i]);
        EXPECT_EQ(units[i].index, i);
    }
    EXPECT_TRUE(to_char_units("").empty());
}

TEST(TokenizeUnits, RefusesInvalidUtf8AtTheRightOffset) {
    const struct {
        std::string bytes;
        int offset;
    } cases[] = {
        {std::string("\xC0\x80", 2), 0},          // overlong NUL
        {"\xE2\x28\xA1", 1},                      // bad continuation byte
        {"\xED\xA0\x80", 0},                      // surrogate
        {"ab\xE2\x82", 2},                        // truncated at the end
        {"\x80", 0},                              // lone continuation byte
        {"x\xF4\x90\x80\x80", 1},                 // above U+10FFFF
        {"xy\xF8\x88\x80\x80\x80", 2},            // five-byte lead
        {"\xE0\x80\x80", 0},                      // overlong three-byte form
        {"ok\xC3", 2},                            // lead byte at the very end
    };
    for (const auto& c : cases) {
        try {
            to_char_units(c.bytes);
            ADD_FAILURE() << "accepted " << ::testing::PrintToString(c.bytes);
        } catch (const TokenizerModelError& error) {
            EXPECT_EQ(std::string(error.what()),
                      "invalid UTF-8 sequence at byte offset " + std::to_string(c.offset));
        }
        EXPECT_THROW(split_paragraphs(c.bytes, false), TokenizerModelError);
    }
}

TEST(TokenizeUnits, CutsParagraphsAtBlankLines) {
    expect_paragraphs("A\n\nB", false, {{{"A"}, {0}}, {{"B"}, {3}}});
    expect_paragraphs("A\nB", false, {{{"A", " ", "B"}, {0, 1, 2}}});
    expect_paragraphs("A\nB", true, {{{"A", "B"}, {0, 2}}});
    // The spaces after the last newline of a break stay with the next paragraph.
    expect_paragraphs("A\n \t\n  B", false, {{{"A"}, {0}}, {{" ", "B"}, {5, 7}}});
    expect_paragraphs("A\r\n\r\nB", false, {{{"A"}, {0}}, {{"B"}, {5}}});
    expect_paragraphs("\n\nA", false, {{{"A"}, {2}}});
    expect_paragraphs("A\n\n", false, {{{"A"}, {0}}});
    expect_paragraphs("A\xC2\xA0\xC2\xA0" "B", false, {{{"A", " ", "B"}, {0, 1, 3}}});
    // A carriage return or a line separator alone never cuts a paragraph.
    expect_paragraphs("A\r\rB\xE2\x80\xA8\xE2\x80\xA8" "C", false, {{{"A", " ", "B", " ", "C"}, {0, 1, 3, 4, 6}}});
    // Three paragraphs with whitespace-only material between them.
    expect_paragraphs("one\n\n\n two \n\t\nthree ", false,
                      {{{"o", "n", "e"}, {0, 1, 2}},
                       {{" ", "t", "w", "o"}, {6, 7, 8, 9}},
                       {{"t", "h", "r", "e", "e"}, {14, 15, 16, 17, 18}}});
}

TEST(TokenizeUnits, TrimsTheEndAndNormalisesWhitespaceRuns) {
    // U+0081 is whitespace but not trimmed; U+0085 is trimmed.
    expect_paragraphs("A\xC2\x81", false, {{{"A", " "}, {0, 1}}});
    expect_paragraphs("A\xC2\x85", false, {{{"A"}, {0}}});
    // Leading whitespace leaves one space unit; nothing at the start is trimmed.
    expect_paragraphs(" \t A", false, {{{" ", "A"}, {0, 3}}});
    // With skip_newline a newline inside a run is dropped and the run keeps the
    // index of its first kept character.
    expect_paragraphs("A\n  B", true, {{{"A", " ", "B"}, {0, 2, 4}}});
    expect_paragraphs("A \n B", true, {{{"A", " ", "B"}, {0, 1, 4}}});
    expect_paragraphs("A\nB\nC", true, {{{"A", "B", "C"}, {0, 2, 4}}});
}

TEST(TokenizeUnits, TextWithoutParagraphs) {
    for (const std::string text : {"", " ", "\n", "\n\n\n", " \t\r\n \n", "\xC2\x85\xE3\x80\x80"}) {
        EXPECT_TRUE(split_paragraphs(text, false).empty()) << ::testing::PrintToString(text);
        EXPECT_TRUE(split_paragraphs(text, true).empty()) << ::testing::PrintToString(text);
    }
}

TEST(TokenizeUnits, WhitespaceSets) {
    const std::uint32_t whitespace[] = {0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x1C, 0x1F, 0x20, 0x80, 0x85, 0x9F,
                                        0xA0, 0x1680, 0x2000, 0x200A, 0x2028, 0x2029, 0x202F, 0x205F, 0x3000};
    for (std::uint32_t cp : whitespace) EXPECT_TRUE(is_unit_whitespace(cp)) << std::hex << cp;
    const std::uint32_t other[] = {0x00, 0x08, 0x0E, 0x1B, 0x21, 0x7F, 0xA1, 0x200B, 0x2027, 0x180E, 0xFEFF};
    for (std::uint32_t cp : other) EXPECT_FALSE(is_unit_whitespace(cp)) << std::hex << cp;
    EXPECT_TRUE(is_trailing_whitespace(0x85));
    EXPECT_FALSE(is_trailing_whitespace(0x80));
    EXPECT_FALSE(is_trailing_whitespace(0x9F));
    EXPECT_TRUE(is_trailing_whitespace(0xA0));
}

TEST(TokenizeUnits, VeryLongInputDoesNotCrash) {
    std::string text(300000, 'a');
    text += std::string(100000, '\n');
    text += std::string(100000, ' ');
    text += "b";
    const std::vector<Paragraph> paragraphs = split_paragraphs(text, false);
    ASSERT_EQ(paragraphs.size(), 2u);
    EXPECT_EQ(paragraphs[0].size(), 300000u);
    ASSERT_EQ(paragraphs[1].size(), 2u);
    EXPECT_EQ(paragraphs[1][0].index, 400000u);
    EXPECT_EQ(paragraphs[1][1].index, 500000u);
}

}  // namespace
}  // namespace quelbin::detail
