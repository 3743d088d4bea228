// UTF-8 validation, string pool, sequence ranges, trees, and view row checks.
#include <gtest/gtest.h>

#include <random>

#include "document_test_support.hpp"

namespace {

using namespace quelbin;
using doctest::failure;

// "ok <code points>" or "bad <byte offset of the first ill-formed sequence>".
std::string verdict(const std::string& text) {
    try {
        const Utf8Text checked(text);
        EXPECT_EQ(checked.byte_offset(checked.codepoint_count()), text.size());
        return "ok " + std::to_string(checked.codepoint_count());
    } catch (const std::invalid_argument& e) {
        const std::string m = e.what();
        EXPECT_EQ(m.rfind("invalid UTF-8 sequence at byte offset ", 0), 0u) << m;
        return "bad " + m.substr(m.rfind(' ') + 1);
    }
}

// An independent validator written from the well-formed byte table of the
// Unicode standard: the range of the second byte depends on the lead.
std::string reference_verdict(const std::string& s) {
    const auto* b = reinterpret_cast<const unsigned char*>(s.data());
    std::size_t p = 0, count = 0;
    while (p < s.size()) {
        const unsigned lead = b[p];
        std::size_t len = 4;
        unsigned lo = 0x80, hi = 0xBF;
        if (lead <= 0x7F) len = 1;
        else if (lead >= 0xC2 && lead <= 0xDF) len = 2;
        else if (lead == 0xE0) len = 3, lo = 0xA0;
        else if ((lead >= 0xE1 && lead <= 0xEC) || lead == 0xEE || lead == 0xEF) len = 3;
        else if (lead == 0xED) len = 3, hi = 0x9F;
        else if (lead == 0xF0) lo = 0x90;
        else if (lead == 0xF4) hi = 0x8F;
        // Leads of overlong or out-of-range forms: the sequence is read to its
        // end first, so truncation and bad continuations are reported first.
        else if (lead == 0xC0 || lead == 0xC1) len = 2, lo = 0x100;
        else if (lead >= 0xF5 && lead <= 0xF7) lo = 0x100;
        else if (lead < 0xF1 || lead > 0xF3) return "bad " + std::to_string(p);
        if (p + len > s.size()) return "bad " + std::to_string(p);
        for (std::size_t k = 1; k < len; ++k) {
            if (b[p + k] < 0x80 || b[p + k] > 0xBF) return "bad " + std::to_string(p + k);
        }
        if (len > 1 && (b[p + 1] < lo || b[p + 1] > hi)) return "bad " + std::to_string(p);
        p += len, ++count;
    }
    return "ok " + std::to_string(count);
}

TEST(Utf8Text, AgreesWithAnIndependentValidator) {
    // The boundaries of every range first: lowest and highest two-, three- and
    // four-byte forms, around the surrogates, overlong and truncated forms.
    const std::vector<std::string> pieces = {
        "\xC2\x80", "\xDF\xBF", "\xE0\xA0\x80", "\xED\x9F\xBF", "\xEE\x80\x80", "\xF0\x90\x80\x80",
        "\xF4\x8F\xBF\xBF", "\xC1\xBF", "\xE0\x9F\xBF", "\xED\xA0\x80", "\xF0\x8F\xBF\xBF",
        "\xF4\x90\x80\x80", "\xF8\x88\x80\x80\x80", "a\xE2\x82", "ab\xE2(", "\xC3\xA9\x80\xFF"};
    for (const std::string& s : pieces) EXPECT_EQ(verdict(s), reference_verdict(s));
    std::mt19937 rng(20240611);
    for (int round = 0; round < 20000; ++round) {
        std::string s;
        for (int i = static_cast<int>(rng() % 12); i > 0; --i) {
            if (rng() % 3 == 0) s.push_back(static_cast<char>(rng() % 256));
            else if (rng() % 4 == 0) s.push_back(static_cast<char>(0x80 | (rng() % 64)));
            else s += pieces[rng() % 7];
        }
        ASSERT_EQ(verdict(s), reference_verdict(s)) << "round " << round;
    }
}

// a, e-acute, euro sign, an emoji: 1, 2, 3 and 4 bytes.
TEST(Utf8Text, OffsetsAndSlicesStayInsideTheText) {
    const Utf8Text text("a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"), empty("");
    EXPECT_EQ(text.byte_offset(4), 10u);
    EXPECT_EQ(text.slice(1, 3) + "|" + text.slice(2, 2) + "|" + empty.slice(0, 0),
              "\xC3\xA9\xE2\x82\xAC||");
    const std::string index = "out_of_range: code point index is outside the document";
    const std::string slice = "out_of_range: code point slice is outside the document";
    const std::pair<std::function<void()>, std::string> cases[] = {
        {[&] { text.byte_offset(5); }, index},
        {[&] { empty.byte_offset(1); }, index},
        {[&] { text.slice(2, 1); }, slice},  // begins after its end
        {[&] { text.slice(0, 5); }, slice},  // ends past the text
        {[&] { text.slice(5, 5); }, slice},
        {[&] { empty.slice(0, 1); }, slice},
    };
    for (const auto& [call, message] : cases) EXPECT_EQ(failure(call), message);
}

TEST(StringPool, InternsOnceWithStableIds) {
    StringPool pool;
    EXPECT_EQ(pool.intern_all({"", "NOUN", "a", "NOUN", std::string("a\0b", 3)}),
              (std::vector<std::uint32_t>{0, 1, 2, 1, 3}));
    EXPECT_EQ(pool.intern_optional(std::nullopt), kAbsentStringId);
    EXPECT_EQ(pool.optional(kAbsentStringId), std::nullopt);
    EXPECT_EQ(failure([&] { pool.get(4); }), "out_of_range: invalid string pool identifier");
    EXPECT_EQ(failure([&] { pool.get(kAbsentStringId); }), failure([&] { pool.get(4); }));
    EXPECT_EQ(failure([&] { pool.optional(4); }), failure([&] { pool.get(4); }));
    // Ids survive the growth of the index: every string is found again afterwards.
    for (int i = 0; i < 50000; ++i) ASSERT_EQ(pool.intern("w" + std::to_string(i)), i + 4u);
    for (int i = 0; i < 50000; ++i) ASSERT_EQ(pool.intern("w" + std::to_string(i)), i + 4u);
}

TEST(SequenceRange, RowsWrapAt32Bits) {
    EXPECT_EQ((SequenceRange{0xFFFFFFFFll, 1, 2}.resolve(1)), 0u);
    EXPECT_EQ((SequenceRange{10, 1, 10}.slice(9, -3, 3).reversed().resolve(0)), 13u);
    EXPECT_EQ((SequenceRange{5, 3, 0}.reversed().start), 5);  // an empty range reverses to itself
}

TEST(ConstituencyTree, DeepTreesAndSharedChildren) {
    ConstituencyTree tree("w", {});
    const int depth = 300000;
    for (int i = 0; i < depth; ++i) tree = ConstituencyTree("X", {tree});
    const std::string text = tree.to_string();
    EXPECT_EQ(text.substr(0, 6) + text.substr(text.size() - depth - 3, 5), "(X (X X w))");
    EXPECT_EQ(tree.leaf_labels(), std::vector<std::string>{"w"});
    // Releasing the only handle frees the whole chain, but never a shared child.
    const ConstituencyTree kept("NP", {ConstituencyTree("PP", {ConstituencyTree("b", {})})});
    tree = ConstituencyTree("S", {kept, tree});
    tree = ConstituencyTree("done", {});
    EXPECT_EQ(kept.to_string(), "(NP (PP b))");
    // Ranges that leave the node list are refused by its checked access.
    const TreeSequence beyond({kept.node()}, 0, 1, 3), backwards({kept.node()}, 0, -1, 2);
    EXPECT_TRUE(beyond.at(0).same_node(kept));
    EXPECT_THROW(beyond.at(2), std::out_of_range);
    EXPECT_THROW(backwards.at(1), std::out_of_range);
}

// The checks no Python caller can reach: views without a storage, ROOT without
// a sentence, and word sequences whose row list does not match their range.
TEST(Views, RowsAreCheckedOnConstruction) {
    const Document doc("", {doctest::plain({"a", "b"})});
    const std::pair<std::function<void()>, const char*> cases[] = {
        {[&] { Sentence(nullptr, 0); }, "out_of_range: invalid sentence view"},
        {[&] { Token(nullptr, 0); }, "out_of_range: invalid token view"},
        {[&] { Word(nullptr, 0); }, "out_of_range: invalid word view"},
        {[&] { Word(doc.storage(), kNoRow, kNoRow); }, "out_of_range: invalid word view"},
        {[&] { Document(std::shared_ptr<DocumentStorage>()); },
         "invalid_argument: a document storage pointer cannot be null"},
        {[&] { ConstituencyTree{TreeNodePtr()}; },
         "invalid_argument: a constituency tree node cannot be null"},
    };
    for (const auto& [call, message] : cases) EXPECT_EQ(failure(call), message);
    const auto rows = std::make_shared<const std::vector<std::uint32_t>>(
        std::vector<std::uint32_t>{1, 7});
    const WordSequence beyond(doc.storage(), SequenceRange{0, 1, 3}, rows);
    EXPECT_EQ(beyond.at(0).text(), "b");
    EXPECT_EQ(failure([&] { beyond.at(1); }), "out_of_range: invalid word view");
    EXPECT_EQ(failure([&] { beyond.at(2); }), "out_of_range: invalid word view");
    EXPECT_TRUE(beyond.contains(doc.words().at(1)));
    EXPECT_FALSE(beyond.contains(doc.words().at(0)));
}

}  // namespace
