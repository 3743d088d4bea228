// Morphological segmentation internals: action decoding and the batching of
// words by length, independent of the thread count and of chunking.
#include <gtest/gtest.h>

#include <ATen/Parallel.h>

#include <random>

#include "extended/morphseg_impl.hpp"
#include "fixtures.hpp"
#include "quelbin/errors.hpp"

namespace quelbin {
namespace {

const MorphSegPlan::Impl& model() {
    static const MorphSegPlan::Impl impl(testing::fixture_path("morphseg", "model"), false);
    return impl;
}

std::int64_t action(const std::string& text) {
    const auto& target = model().target_vocabulary;
    return std::find(target.begin(), target.end(), text) - target.begin();
}

using Strings = std::vector<std::string>;

TEST(MorphSeg, ActionsRebuildTheWordAndCutAtMarkers) {
    const std::pair<Strings, Strings> rows[] = {  // actions of the characters "a", "b" -> morphemes
        {{"COPY", "COPY+ @@"}, {"ab", ""}},
        {{"COPY+ @@", "COPY"}, {"a", "b"}},
        {{"DELETE", "COPY"}, {"b"}},
        {{"DELETE", "DELETE"}, {""}},
        {{"x+COPY+y", "COPY+"}, {"xayb"}},
        {{" @@+COPY", "COPY+ @@"}, {"", "ab", ""}},
        {{"COPY+ @@", " @@+COPY"}, {"a", "", "b"}},
        {{"<UNK>", "e"}, {"<UNK>e"}},
    };
    for (const auto& [actions, expected] : rows) {
        std::vector<std::int64_t> ids;
        for (const std::string& text : actions) ids.push_back(action(text));
        EXPECT_EQ(detail::decode_morphseg_actions(model(), {"a", "b"}, ids.data(), ids.size()), expected)
            << actions[0] << " | " << actions[1];
    }
    const auto T = static_cast<std::int64_t>(model().target_vocabulary.size());
    for (const std::int64_t bad : {std::int64_t{0}, std::int64_t{-1}, T}) {
        const std::int64_t ids[] = {action("COPY"), bad};
        EXPECT_THROW(detail::decode_morphseg_actions(model(), {"a", "b"}, ids, 2), MorphSegModelError);
    }
    const std::int64_t one[] = {action("COPY")};
    try {
        detail::decode_morphseg_actions(model(), {"a", "b"}, one, 1);
        FAIL() << "a short action list decoded";
    } catch (const MorphSegModelError& error) {
        EXPECT_STREQ(error.what(), "MorphSeg produced an action sequence of the wrong length");
    }
}

TEST(MorphSeg, ResultsDoNotDependOnThreadsOrCompany) {
    const Strings chars = {"a", "b", "c", "\xC3\xA9", "\xC3\x9F", "Q", "-", "z", "\xF0\x9F\x98\x80"};
    std::mt19937 rng(9);
    Strings words(700);
    for (std::string& word : words) {
        const std::size_t length = rng() % 14;  // 0 included: no morphemes
        for (std::size_t i = 0; i < length; ++i) word += chars[rng() % chars.size()];
    }
    const int threads = at::get_num_threads();
    at::set_num_threads(1);
    const auto one = model().segment_many(words);
    at::set_num_threads(3);
    const auto three = model().segment_many(words);
    at::set_num_threads(threads);
    EXPECT_EQ(one, three);
    for (std::size_t i = 0; i < words.size(); i += 23) {
        EXPECT_EQ(model().segment_many({words[i]})[0], one[i]) << words[i];
        EXPECT_EQ(one[i].empty(), words[i].empty());
    }
}

// The first layer's pre-activations from the table made at load and from the
// tables tasks make of their own characters (large vocabularies) agree bit for
// bit, so the morphemes do too.
TEST(MorphSeg, LoadTimeCharacterTableMatchesPerTaskTables) {
    MorphSegPlan::Impl impl(testing::fixture_path("morphseg", "model"), false);
    const auto S = static_cast<std::int64_t>(impl.source_vocabulary.size());
    const std::int64_t G = 8 * impl.hidden_size;
    ASSERT_EQ(impl.first_table.size(), static_cast<std::size_t>(S * G));
    const std::vector<std::int64_t> some = {S - 1, 1, S / 2};
    std::vector<float> rows(some.size() * static_cast<std::size_t>(G));
    detail::morphseg_first_inputs(impl, some.data(), static_cast<std::int64_t>(some.size()), rows.data());
    for (std::size_t i = 0; i < some.size(); ++i) {
        EXPECT_TRUE(std::equal(rows.begin() + static_cast<std::ptrdiff_t>(i * G),
                               rows.begin() + static_cast<std::ptrdiff_t>((i + 1) * G),
                               impl.first_table.begin() + some[i] * G))
            << "character " << some[i];
    }
    const Strings words = {"abc", "Q-z", "\xC3\xA9t\xC3\xA9", "", "zzzzzzzz", "ab"};
    const auto with_table = impl.segment_many(words);
    impl.first_table.clear();
    EXPECT_EQ(impl.segment_many(words), with_table);
    EXPECT_EQ(with_table, model().segment_many(words));
}

}  // namespace
}  // namespace quelbin
