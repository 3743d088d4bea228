// Language identification internals: strict UTF-8 with its offsets, character
// ids, the network over groups, and results independent of the thread count
// and of what else shares a call.
#include <gtest/gtest.h>

#include <ATen/Parallel.h>
#include <ATen/ops/full.h>

#include <limits>
#include <random>
#include <set>

#include "extended/langid_impl.hpp"
#include "fixtures.hpp"
#include "quelbin/errors.hpp"

namespace quelbin {
namespace {

const LangIDPlan::Impl& model() {
    static const LangIDPlan::Impl impl(testing::fixture_path("langid", "model"), true);
    return impl;
}

std::string message_of(const std::string& text) {
    try {
        detail::encode_langid_text(model(), text);
    } catch (const LangIDModelError& error) {
        return error.what();
    }
    return "";
}

TEST(LangID, InvalidUtf8IsReportedAtItsOffset) {
    const std::pair<std::string, int> rows[] = {
        {"ab\xC3\x28", 3},          // a continuation byte missing: the offending byte
        {"\xE2\x82", 0},            // cut short by the end
        {"\xED\xA0\x80", 0},        // a surrogate
        {"\xC0\x80", 0},            // overlong
        {"\xE0\x80\xAF", 0},        // overlong, three bytes
        {"\xF4\x90\x80\x80", 0},    // above U+10FFFF
        {"\x80", 0},                // a lone continuation byte
        {"x\xF8\x88\x80\x80\x80", 1},  // no such lead byte
        {"\xE2\x28\xA1", 1},
        {"\xF0\x9F\x98" "a", 3},
        {"ok \xF0\x9F\x98", 3},
    };
    for (const auto& [text, offset] : rows) {
        EXPECT_EQ(message_of(text), "invalid UTF-8 sequence at byte offset " + std::to_string(offset)) << text;
    }
    EXPECT_EQ(message_of(""), "language identification requires non-empty text");
}

TEST(LangID, OneIdPerCodePointUnknownCharactersTakeUnk) {
    const LangIDPlan::Impl& impl = model();
    const std::vector<std::int64_t> ids = detail::encode_langid_text(impl, "a\xC3\xA9\xF0\x9F\x98\x80Q\n");
    const std::vector<std::int64_t> expected = {impl.char_ids.at("a"), impl.char_ids.at("\xC3\xA9"),
                                                impl.char_ids.at("\xF0\x9F\x98\x80"), impl.unk_id,
                                                impl.char_ids.at("\n")};
    EXPECT_EQ(ids, expected);
    // The reserved keys are not characters of any text.
    EXPECT_EQ(detail::encode_langid_text(impl, "UNK"), std::vector<std::int64_t>(3, impl.unk_id));
    EXPECT_EQ(detail::encode_langid_text(impl, "<PAD>")[2], impl.char_ids.at("A"));
}

std::vector<std::string> random_texts(std::size_t count, std::uint32_t seed) {
    const std::vector<std::string> chars = {"a", "b", "e", " ", "\xC3\xA9", "\xD0\xB6", "Q", "\xF0\x9F\x98\x80",
                                            ".", "z", "\n"};
    std::mt19937 rng(seed);
    std::vector<std::string> texts(count);
    for (std::string& text : texts) {
        const std::size_t length = 1 + rng() % (rng() % 4 == 0 ? 300 : 12);
        for (std::size_t i = 0; i < length; ++i) text += chars[rng() % chars.size()];
    }
    return texts;
}

TEST(LangID, ResultsDoNotDependOnThreadsOrCompany) {
    const LangIDPlan::Impl& impl = model();
    const std::vector<std::string> texts = random_texts(600, 5);
    const int threads = at::get_num_threads();
    at::set_num_threads(1);
    const std::vector<std::string> one = impl.identify_batch(texts, {});
    at::set_num_threads(3);
    const std::vector<std::string> three = impl.identify_batch(texts, {});
    at::set_num_threads(threads);
    EXPECT_EQ(one, three);
    for (std::size_t i = 0; i < texts.size(); i += 37) EXPECT_EQ(impl.identify_batch({texts[i]}, {})[0], one[i]);
    std::set<std::string> codes(one.begin(), one.end());
    EXPECT_GT(codes.size(), 1u);  // the random model does tell texts apart
}

// The first layer's pre-activations from the table made at load and from the
// tables tasks make of their own characters (large vocabularies) agree bit for
// bit, so the codes do too.
TEST(LangID, LoadTimeCharacterTableMatchesPerTaskTables) {
    LangIDPlan::Impl impl(testing::fixture_path("langid", "model"), false);
    const auto V = static_cast<std::int64_t>(impl.char_ids.size());
    const std::int64_t G = 8 * impl.hidden_dim;
    ASSERT_EQ(impl.first_table.size(), static_cast<std::size_t>(V * G));
    const std::vector<std::int64_t> some = {V - 1, 0, V / 2};
    std::vector<float> rows(some.size() * static_cast<std::size_t>(G));
    detail::langid_first_inputs(impl, some.data(), static_cast<std::int64_t>(some.size()), rows.data());
    for (std::size_t i = 0; i < some.size(); ++i) {
        EXPECT_TRUE(std::equal(rows.begin() + static_cast<std::ptrdiff_t>(i * G),
                               rows.begin() + static_cast<std::ptrdiff_t>((i + 1) * G),
                               impl.first_table.begin() + some[i] * G))
            << "character " << some[i];
    }
    const std::vector<std::string> texts = random_texts(300, 9);
    const std::vector<std::string> with_table = impl.identify_batch(texts, {});
    impl.first_table.clear();
    EXPECT_EQ(impl.identify_batch(texts, {}), with_table);
    EXPECT_EQ(with_table, model().identify_batch(texts, {}));
}

TEST(LangID, NetworkRunsOneGroupUnderTheMask) {
    const LangIDPlan::Impl& impl = model();
    std::vector<std::vector<std::int64_t>> encoded;
    for (const std::string& text : {"abc", "de", "fgh", "ijk"}) encoded.push_back(detail::encode_langid_text(impl, text));
    EXPECT_TRUE(detail::run_langid_forward(impl, encoded, {}, impl.default_mask).empty());
    try {
        detail::run_langid_forward(impl, encoded, {0, 1, 2}, impl.default_mask);
        FAIL() << "a group of mixed lengths ran";
    } catch (const LangIDModelError& error) {
        EXPECT_STREQ(error.what(), "internal LangID batch has unequal sequence lengths");
    }
    const auto T = static_cast<std::int64_t>(impl.tags.size());
    for (std::int64_t only = 0; only < T; ++only) {
        at::Tensor mask = at::full({T}, -std::numeric_limits<float>::infinity());
        mask[only] = 0.0f;
        EXPECT_EQ(detail::run_langid_forward(impl, encoded, {3, 0, 2}, mask),
                  (std::vector<std::int64_t>{only, only, only}));
    }
    const std::vector<std::int64_t> free = detail::run_langid_forward(impl, encoded, {3, 0, 2}, impl.default_mask);
    const std::vector<std::string> codes = impl.identify_batch({"ijk", "abc", "fgh"}, {});
    for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(impl.tags[static_cast<std::size_t>(free[i])], codes[i]);
}

}  // namespace
}  // namespace quelbin
