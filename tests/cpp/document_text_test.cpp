// UTF-8 validation, code-point offsets and slices, the string pool, the index
// ranges behind every sequence, and constituency trees.
#include <gtest/gtest.h>

#include <random>

#include "document_test_support.hpp"

namespace {

using namespace quelbin;
using doctest::failure;

std::string bytes(std::initializer_list<int> values) {
    std::string out;
    for (int v : values) out.push_back(static_cast<char>(v));
    return out;
}

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

TEST(Utf8Text, VerdictsAtTheBoundaries) {
    const std::pair<std::string, const char*> cases[] = {
        {"", "ok 0"},
        {bytes({0x7F, 0xC2, 0x80, 0xED, 0x9F, 0xBF, 0xF4, 0x8F, 0xBF, 0xBF}), "ok 4"},
        {bytes({0x61, 0x62, 0x63, 0xBF}), "bad 3"},        // lone continuation byte
        {bytes({0xE0, 0x80, 0xAF}), "bad 0"},              // overlong
        {bytes({0x41, 0xED, 0xA0, 0x80}), "bad 1"},        // surrogate
        {bytes({0xF4, 0x90, 0x80, 0x80}), "bad 0"},        // above U+10FFFF
        {bytes({0x61, 0x62, 0xE2, 0x28}), "bad 2"},        // truncated before a bad byte
        {bytes({0x7A, 0xF0, 0x9F, 0x98, 0x41}), "bad 4"},  // bad fourth byte
    };
    for (const auto& [text, expected] : cases) EXPECT_EQ(verdict(text), expected) << expected;
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

TEST(Utf8Text, AgreesWithAnIndependentValidatorOnRandomBytes) {
    std::mt19937 rng(20240611);
    const std::vector<std::string> pieces = {"a", "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80",
                                             "\xED\x9F\xBF", "\xF4\x8F\xBF\xBF"};
    for (int round = 0; round < 20000; ++round) {
        std::string s;
        for (int i = static_cast<int>(rng() % 12); i > 0; --i) {
            if (rng() % 3 == 0) s.push_back(static_cast<char>(rng() % 256));
            else if (rng() % 4 == 0) s.push_back(static_cast<char>(0x80 | (rng() % 64)));
            else s += pieces[rng() % pieces.size()];
        }
        ASSERT_EQ(verdict(s), reference_verdict(s)) << "round " << round;
    }
}

TEST(Utf8Text, OffsetsAndSlices) {
    const Utf8Text text("a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");  // 1, 2, 3 and 4 bytes
    EXPECT_EQ(text.byte_offset(3), 6u);
    EXPECT_EQ(text.slice(1, 3) + "|" + text.slice(3, 4) + "|" + text.slice(2, 2),
              "\xC3\xA9\xE2\x82\xAC|\xF0\x9F\x98\x80|");
    EXPECT_EQ(failure([&] { text.byte_offset(5); }),
              "out_of_range: code point index is outside the document");
    for (const auto& [begin, end] : std::vector<std::pair<std::size_t, std::size_t>>{{2, 1}, {0, 5}}) {
        EXPECT_EQ(failure([&, b = begin, e = end] { text.slice(b, e); }),
                  "out_of_range: code point slice is outside the document");
    }
}

TEST(StringPool, InternsOnceUntilFull) {
    StringPool pool;
    const std::string nul("a\0b", 3);
    EXPECT_EQ(pool.intern_all({"", "NOUN", "a", "NOUN", nul}), (std::vector<std::uint32_t>{0, 1, 2, 1, 3}));
    EXPECT_EQ(pool.strings_of({3, 1, 0}), (std::vector<std::string>{nul, "NOUN", ""}));
    EXPECT_EQ(pool.intern_optional(std::nullopt), kAbsentStringId);
    EXPECT_EQ(pool.optional(kAbsentStringId), std::nullopt);
    for (const std::function<void()>& call : std::vector<std::function<void()>>{
             [&] { pool.get(kAbsentStringId); }, [&] { pool.get(4); }, [&] { pool.optional(4); }}) {
        EXPECT_EQ(failure(call), "out_of_range: invalid string pool identifier");
    }
    // Ids survive the growth of the index.
    for (int i = 0; i < 50000; ++i) ASSERT_EQ(pool.intern("w" + std::to_string(i)), i + 4u);
    for (int i = 0; i < 50000; i += 7) ASSERT_EQ(pool.intern("w" + std::to_string(i)), i + 4u);
    detail::StringPoolTestPeer::set_max_strings(pool, pool.size());
    EXPECT_EQ(failure([&] { pool.intern("new"); }), "overflow_error: the document string pool is full");
    EXPECT_EQ(pool.intern("a"), 2u);
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
    const auto rows = std::make_shared<const std::vector<std::uint32_t>>(std::vector<std::uint32_t>{1, 7});
    const WordSequence beyond(doc.storage(), SequenceRange{0, 1, 3}, rows);
    EXPECT_EQ(beyond.at(0).text(), "b");
    EXPECT_EQ(failure([&] { beyond.at(1); }), "out_of_range: invalid word view");
    EXPECT_EQ(failure([&] { beyond.at(2); }), "out_of_range: invalid word view");
    EXPECT_TRUE(beyond.contains(doc.words().at(1)));
    EXPECT_FALSE(beyond.contains(doc.words().at(0)));
}

}  // namespace
