// The shared encode framing and word cache, and the WordPiece tokenizer.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "encoders/subword_cache.hpp"

namespace quelbin {
namespace {

using Ids = std::vector<std::int64_t>;

// One id per byte (the byte's value), no id for "skip"; counts its calls.
struct ByteRoutine {
    int* calls;
    Ids operator()(std::string_view word) const {
        ++*calls;
        if (word == "skip") return {};
        if (word == "bad") throw std::runtime_error("bad word");
        return Ids(word.begin(), word.end());
    }
};

TEST(SubwordCache, FramingGivesWordIdsAndMask) {
    detail::SubwordWordCache cache;
    int calls = 0;
    const ByteRoutine routine{&calls};
    const struct {
        std::vector<std::string> words;
        bool special;
        Ids ids, word_ids;
    } rows[] = {
        {{}, false, {}, {}},
        {{}, true, {1, 2}, {-1, -1}},
        {{"abc", "skip", "d"}, false, {97, 98, 99, 100}, {0, 0, 0, 2}},
        {{"abc", "skip", "d"}, true, {1, 97, 98, 99, 100, 2}, {-1, 0, 0, 0, 2, -1}},
    };
    for (const auto& row : rows) {
        const WordPieceEncoding e = detail::encode_words(row.words, row.special, 1, 2, cache, routine);
        EXPECT_EQ(e.input_ids, row.ids);
        EXPECT_EQ(e.word_ids, row.word_ids);
        EXPECT_EQ(e.attention_mask, Ids(row.ids.size(), 1));
    }
    // "abc", "skip" and "d" were computed once each; the repeats were hits.
    EXPECT_EQ(calls, 3);
    EXPECT_EQ(cache.size(), 3u);
}

TEST(SubwordCache, KeysAreExactBytesAndCollisionsReplace) {
    detail::SubwordWordCache cache;
    int calls = 0;
    const ByteRoutine routine{&calls};
    EXPECT_EQ(cache.ids("The", routine), Ids({84, 104, 101}));
    EXPECT_EQ(cache.ids("the", routine), Ids({116, 104, 101}));
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(cache.ids("The", routine), Ids({84, 104, 101}));
    EXPECT_EQ(calls, 2);

    // Two words sharing one slot evict each other and are recomputed alike.
    const std::string first = "w0";
    const std::size_t slot = detail::SubwordWordCache::slot_index(first);
    std::string second;
    for (int i = 1; second.empty(); ++i) {
        const std::string candidate = "w" + std::to_string(i);
        if (detail::SubwordWordCache::slot_index(candidate) == slot) second = candidate;
    }
    detail::SubwordWordCache shared;
    calls = 0;
    const Ids first_ids = shared.ids(first, routine);
    EXPECT_EQ(shared.ids(second, routine), Ids(second.begin(), second.end()));
    EXPECT_EQ(shared.size(), 1u);
    EXPECT_EQ(shared.ids(first, routine), first_ids);
    EXPECT_EQ(calls, 3);
    EXPECT_EQ(shared.size(), 1u);
}

TEST(SubwordCache, FailingWordStoresNothing) {
    detail::SubwordWordCache cache;
    int calls = 0;
    const ByteRoutine routine{&calls};
    const std::vector<std::string> words = {"ok", "bad"};
    EXPECT_THROW(detail::encode_words(words, true, 1, 2, cache, routine), std::runtime_error);
    EXPECT_EQ(cache.size(), 1u);
    EXPECT_THROW(cache.ids("bad", routine), std::runtime_error);
    EXPECT_EQ(calls, 3);
    EXPECT_EQ(cache.size(), 1u);
}

}  // namespace
}  // namespace quelbin
