// Coreference values, constituency trees, tree sequences and the sequence
// range arithmetic shared by every sequence.
#include <gtest/gtest.h>

#include "document_test_support.hpp"

#include <quelbin/constituency.hpp>
#include <quelbin/coref.hpp>
#include <quelbin/sequence_range.hpp>

#include <functional>

namespace {

using namespace quelbin;
using quelbin::testing::failure_of;


TEST(CorefValues, ConstructorChecks) {
    const CorefWordPosition w0{0, std::nullopt}, w1{1, std::nullopt};
    const CorefMention m(0, {5, std::nullopt}, {-3, 2});  // positions are checked later
    EXPECT_EQ(m.sentence(), 0);
    EXPECT_EQ(m.start_word().word, 5);
    EXPECT_EQ(m.end_word().empty_index, std::optional<int>(2));
    const std::vector<CorefMention> two = {CorefMention(0, w0, w1), CorefMention(1, w0, w1)};

    struct Case {
        const char* name;
        std::function<void()> make;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"negative sentence", [&] { CorefMention(-1, w0, w1); },
         "a coreference mention sentence index cannot be negative"},
        {"representative 2 of 2", [&] { CorefChain(0, two, "x", 2); },
         "the representative coreference mention index is invalid"},
        {"representative -1", [&] { CorefChain(0, two, "x", -1); },
         "the representative coreference mention index is invalid"},
        {"representative of no mentions", [&] { CorefChain(3, {}, "x", 0); },
         "the representative coreference mention index is invalid"},
        {"negative index first", [&] { CorefChain(-1, two, "x", 7); },
         "a coreference chain index cannot be negative"},
    };
    for (const Case& c : cases) EXPECT_EQ(failure_of<std::invalid_argument>(c.make), c.message) << c.name;

    const CorefChain open(4, two, "Anna", std::nullopt);
    EXPECT_EQ(open.index(), 4);
    EXPECT_EQ(open.mentions().size(), 2u);
    EXPECT_EQ(open.representative_text(), "Anna");
    EXPECT_FALSE(open.representative_index());
    EXPECT_EQ(CorefChain(0, two, "", 1).representative_index(), std::optional<int>(1));

    auto shared = std::make_shared<const CorefChain>(open);
    const CorefAttachment a(shared, true, false, true);
    EXPECT_EQ(a.chain(), shared);
    EXPECT_TRUE(a.is_start());
    EXPECT_FALSE(a.is_end());
    EXPECT_TRUE(a.is_representative());
}

ConstituencyTree leaf(const std::string& label) { return ConstituencyTree(label, {}); }

TEST(ConstituencyTree, ShapeAndText) {
    const ConstituencyTree np("NP", {leaf("John")});
    const ConstituencyTree vp("VP", {leaf("runs")});
    const ConstituencyTree s("S", {np, vp});
    EXPECT_EQ(s.to_string(), "(S (NP John) (VP runs))");
    EXPECT_EQ(s.leaf_labels(), (std::vector<std::string>{"John", "runs"}));
    EXPECT_FALSE(s.is_leaf());
    EXPECT_FALSE(s.is_preterminal());
    EXPECT_TRUE(np.is_preterminal());

    const ConstituencyTree bare = leaf("x");
    EXPECT_TRUE(bare.is_leaf());
    EXPECT_FALSE(bare.is_preterminal());
    EXPECT_EQ(bare.to_string(), "x");
    EXPECT_EQ(bare.leaf_labels(), std::vector<std::string>{"x"});
    EXPECT_FALSE(ConstituencyTree("NP", {leaf("a"), leaf("b")}).is_preterminal());
    EXPECT_FALSE(ConstituencyTree("NP", {np}).is_preterminal());
    EXPECT_EQ(ConstituencyTree("", {leaf("(a)"), leaf("")}).to_string(), "( (a) )");

    // Subtrees are shared, not copied.
    EXPECT_TRUE(s.children().at(0).same_node(np));
    EXPECT_FALSE(ConstituencyTree("NP", {leaf("John")}).same_node(np));
    EXPECT_TRUE(ConstituencyTree(np.node()).same_node(np));
    EXPECT_EQ(failure_of<std::invalid_argument>([] { ConstituencyTree tree{TreeNodePtr()}; }),
              "a constituency tree node cannot be null");
}

TEST(ConstituencyTree, DeepTreesNeedNoDeepRecursion) {
    ConstituencyTree tree = leaf("w");
    const int depth = 300000;
    for (int i = 0; i < depth; ++i) tree = ConstituencyTree("X", {tree});
    const std::string text = tree.to_string();
    EXPECT_EQ(text.size(), static_cast<std::size_t>(depth) * 4 + 1);
    EXPECT_EQ(text.substr(0, 6), "(X (X ");
    EXPECT_EQ(tree.leaf_labels(), std::vector<std::string>{"w"});
    // Releasing the only handle frees the whole chain without overflowing the stack.
    tree = leaf("done");
    EXPECT_EQ(tree.to_string(), "done");
}

TEST(ConstituencyTree, ReleasingAParentKeepsSharedChildren) {
    ConstituencyTree kept("NP", {leaf("a"), ConstituencyTree("PP", {leaf("b")})});
    {
        ConstituencyTree parent("S", {kept, ConstituencyTree("VP", {leaf("c")})});
    }
    EXPECT_EQ(kept.to_string(), "(NP a (PP b))");
}

TEST(TreeSequence, IndexingSlicingReversal) {
    const ConstituencyTree a = leaf("a"), b = leaf("b"), c = leaf("c");
    const ConstituencyTree parent("P", {a, b, c});
    const TreeSequence kids = parent.children();
    ASSERT_EQ(kids.size(), 3u);
    EXPECT_EQ(kids.at(-1).label(), "c");
    EXPECT_EQ(kids.at(-3).label(), "a");
    for (std::int64_t bad : {std::int64_t{3}, std::int64_t{-4}, INT64_MIN, INT64_MAX}) {
        EXPECT_EQ(failure_of<std::out_of_range>([&] { kids.at(bad); }), "tree index is outside the sequence")
            << bad;
    }
    const TreeSequence rev = kids.reversed();
    EXPECT_EQ(rev.at(0).label(), "c");
    EXPECT_EQ(rev.at(2).label(), "a");
    EXPECT_EQ(rev.reversed().at(0).label(), "a");
    const TreeSequence empty = kids.slice(1, 1, 0);
    EXPECT_EQ(empty.reversed().range().start, empty.range().start);
    EXPECT_EQ(empty.reversed().range().step, 1);
    EXPECT_FALSE(empty.contains(a));
    const TreeSequence odd = kids.slice(0, 2, 2);
    EXPECT_EQ(odd.at(1).label(), "c");
    EXPECT_EQ(odd.reversed().at(0).label(), "c");

    EXPECT_TRUE(kids.contains(kids.at(1)));
    EXPECT_TRUE(kids.contains(b));
    EXPECT_FALSE(kids.contains(leaf("b")));
    EXPECT_FALSE(odd.contains(b));
    EXPECT_FALSE(TreeSequence().contains(a));
    EXPECT_EQ(TreeSequence().size(), 0u);

    // A range that leaves its node list is refused by the checked access.
    const TreeSequence broken({a.node()}, 0, 1, 3);
    EXPECT_EQ(broken.at(0).label(), "a");
    EXPECT_THROW(broken.at(2), std::out_of_range);
    const TreeSequence backwards({a.node()}, 0, -1, 2);
    EXPECT_THROW(backwards.at(1), std::out_of_range);
    EXPECT_FALSE(backwards.contains(b));
}

TEST(SequenceRange, ResolveSliceReverse) {
    const SequenceRange three{0, 1, 3};
    EXPECT_EQ(three.resolve(-1), 2u);
    EXPECT_EQ(three.resolve(-3), 0u);
    for (std::int64_t bad : {std::int64_t{3}, std::int64_t{-4}, INT64_MIN}) {
        EXPECT_EQ(failure_of<std::out_of_range>([&] { three.resolve(bad); }), "index is outside the sequence");
    }
    EXPECT_EQ(failure_of<std::out_of_range>([] { SequenceRange{}.resolve(0); }), "index is outside the sequence");

    const SequenceRange rows{10, 1, 10};
    const SequenceRange sliced = rows.slice(1, 2, 2);
    EXPECT_EQ(sliced.resolve(0), 11u);
    EXPECT_EQ(sliced.resolve(1), 13u);
    const SequenceRange back = sliced.reversed();
    EXPECT_EQ(back.resolve(0), 13u);
    EXPECT_EQ(back.resolve(1), 11u);
    EXPECT_EQ(back.reversed().resolve(0), 11u);
    const SequenceRange none{5, 3, 0};
    EXPECT_EQ(none.reversed().start, 5);
    EXPECT_EQ(none.reversed().step, 3);
    // Rows are 32-bit: a position past 2^32 wraps like the row column it names.
    EXPECT_EQ((SequenceRange{0xFFFFFFFFll, 1, 2}.resolve(1)), 0u);
}

}  // namespace
