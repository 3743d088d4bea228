// The character language model against the eager reference's rows.
#include <gtest/gtest.h>

#include <ATen/Parallel.h>
#include <ATen/ops/allclose.h>
#include <ATen/ops/equal.h>
#include <ATen/ops/from_blob.h>

#include <array>
#include <fstream>
#include <sstream>

#include "encoders/native_charlm.hpp"
#include "fixtures.hpp"
#include "quelbin/charlm.hpp"

namespace quelbin {
namespace {

// Each sentence ends with \x1e, each of its words with \x1f.
std::vector<std::vector<std::string>> fixture_sentences() {
    std::ifstream in(testing::fixture_path("charlm", "sentences.txt"), std::ios::binary);
    std::vector<std::vector<std::string>> out;
    for (std::string line; std::getline(in, line, '\x1e');) {
        std::istringstream words(line);
        out.emplace_back();
        for (std::string word; std::getline(words, word, '\x1f');) out.back().push_back(word);
    }
    return out;
}

// The model of a bundle of its own, or the section of a bundle under a prefix.
detail::NativeCharLM load(const std::string& name, const std::string& prefix = "",
                          const std::string& member = "") {
    auto bundle = std::make_shared<ModelBundle>(testing::fixture_path("charlm", name), false);
    const detail::JsonValue assets = detail::parse_json(bundle->assets_json());
    return {bundle, prefix, member.empty() ? assets : assets.at("charlm", "").at(member, "")};
}

// encode_many at one and two threads and encode sentence by sentence give the same bits.
TEST(CharLM, EncodingsMatchTheReferenceAndEachOther) {
    const auto sentences = fixture_sentences();
    const std::array<std::string, 3> cases[] = {
        {"forward", "", ""}, {"backward", "", ""},
        {"sections", "charmodel_forward.", "forward"},
        {"sections", "charmodel_backward.", "backward"}};
    const int threads = at::get_num_threads();
    for (const auto& [name, prefix, member] : cases) {
        SCOPED_TRACE(name + " " + member);
        const detail::NativeCharLM model = load(name, prefix, member);
        const std::string rows = (member.empty() ? name : member) + "/rows.f32";
        std::vector<float> expected = testing::read_f32(testing::fixture_path("charlm", rows));
        at::set_num_threads(1);
        const std::vector<at::Tensor> many = model.encode_many(sentences);
        at::set_num_threads(2);
        const std::vector<at::Tensor> many2 = model.encode_many(sentences);
        at::set_num_threads(threads);
        ASSERT_EQ(many.size(), sentences.size());
        std::size_t offset = 0;
        for (std::size_t s = 0; s < sentences.size(); ++s) {
            const auto words = static_cast<std::int64_t>(sentences[s].size());
            const at::Tensor want =
                at::from_blob(expected.data() + offset, {words, model.hidden_size()});
            const at::Tensor& got = many[s];
            EXPECT_TRUE(got.sizes() == want.sizes() && at::allclose(got, want, 0, 1e-5)) << s;
            EXPECT_TRUE(at::equal(got, many2[s]) && at::equal(got, model.encode(sentences[s])))
                << s;
            offset += static_cast<std::size_t>(want.numel());
        }
        EXPECT_EQ(offset, expected.size());
        EXPECT_TRUE(model.encode_many({}).empty());
    }
}

TEST(CharLM, InvalidUtf8NamesTheOffsetInItsWord) {
    try {
        load("backward").encode({"ab", "a\xE2\x82x"});
        ADD_FAILURE() << "invalid UTF-8 encoded";
    } catch (const std::invalid_argument& error) {
        EXPECT_STREQ(error.what(), "invalid UTF-8 sequence at byte offset 3");
    }
}

// What a plan is moved to keeps its model.
TEST(CharLM, PlanKeepsItsModelWhenMoved) {
    CharLMPlan plan(testing::fixture_path("charlm", "forward"), false);
    const std::vector<std::vector<float>> rows = plan.encode({"ab", "c"});
    CharLMPlan moved(std::move(plan));
    CharLMPlan assigned(testing::fixture_path("charlm", "backward"), false);
    assigned = std::move(moved);
    EXPECT_EQ(assigned.encode({"ab", "c"}), rows);
    EXPECT_EQ(assigned.bundle().path(), std::filesystem::absolute(testing::fixture_path("charlm", "forward")));
}

}  // namespace
}  // namespace quelbin
