// The constituency parser's internals: stack LSTM pushes against one full LSTM
// run, stack input checks, sentinels, pretrained-vocabulary lookups and tree
// building.
#include <gtest/gtest.h>

#include <ATen/ops/allclose.h>
#include <ATen/ops/cat.h>
#include <ATen/ops/lstm.h>
#include <ATen/ops/randn.h>
#include <ATen/ops/stack.h>
#include <ATen/ops/zeros.h>
#include <c10/util/Exception.h>
#include <c10/core/InferenceMode.h>

#include "extended/constituency_impl.hpp"
#include "fixtures.hpp"
#include "quelbin/errors.hpp"

namespace quelbin {
namespace {

const ConstituencyPlan::Impl& impl(const std::string& name) {
    static std::map<std::string, std::unique_ptr<ConstituencyPlan::Impl>> loaded;
    auto& slot = loaded[name];
    if (!slot) slot = std::make_unique<ConstituencyPlan::Impl>(testing::fixture_path("constituency", name), false);
    return *slot;
}

template <class Call>
std::string error_of(Call&& call) {
    try {
        call();
    } catch (const ConstituencyModelError& error) {
        return error.what();
    }
    return "no error";
}

// The top-layer outputs of one at::lstm run over `inputs` from zero state.
at::Tensor full_run(const ConstituencyPlan::Impl& model, const std::vector<at::Tensor>& inputs) {
    auto [output, h, c] = at::lstm(at::stack(inputs, 0).unsqueeze(1),
                                   {model.constituent_lstm_state[0], model.constituent_lstm_state[1]},
                                   model.constituent_lstm_weights, true, model.num_lstm_layers, 0.0, false, false,
                                   false);
    return output.squeeze(1);
}

TEST(ConstituencyParser, PushesContinueFromAnyEntry) {
    const c10::InferenceMode guard;
    const auto& model = impl("plain");
    const std::int64_t H = model.hidden_size;
    std::vector<at::Tensor> inputs;
    for (int i = 0; i < 5; ++i) inputs.push_back(at::randn({H}));
    std::vector<ConstituencyStackEntry> stack{
        detail::start_constituency_stack(model.constituent_lstm_weights, model.constituent_lstm_state, {}, 2)};
    EXPECT_EQ(stack[0].output.abs().sum().item<float>(), 0.0f);
    // Pushes on the kernels (the loaded runner) and through at::lstm, against one run.
    ASSERT_TRUE(model.constituent_runner.has_value());
    const at::Tensor expected = full_run(model, inputs);
    for (const detail::ConstituencyStackRunner* runner : {&*model.constituent_runner,
                                                          static_cast<const detail::ConstituencyStackRunner*>(nullptr)}) {
        stack.resize(1);
        for (const at::Tensor& x : inputs) {
            stack.push_back(detail::push_constituency_stack(stack.back(), x, model.constituent_lstm_weights, 2, H,
                                                            std::nullopt, std::nullopt, runner));
        }
        for (std::size_t i = 0; i < inputs.size(); ++i) {
            EXPECT_TRUE(at::allclose(stack[i + 1].output, expected[static_cast<std::int64_t>(i)], 1e-5, 1e-6)) << i;
            EXPECT_TRUE(at::allclose(stack[i + 1].c[1], std::get<2>(at::lstm(
                at::stack(std::vector<at::Tensor>(inputs.begin(), inputs.begin() + i + 1), 0).unsqueeze(1),
                {model.constituent_lstm_state[0], model.constituent_lstm_state[1]}, model.constituent_lstm_weights,
                true, 2, 0.0, false, false, false))[1][0], 1e-5, 1e-6)) << i;
        }
    }
    // A double input goes to at::lstm, which refuses the dtype mix.
    EXPECT_THROW(detail::push_constituency_stack(stack[1], inputs[0].to(at::kDouble), model.constituent_lstm_weights,
                                                 2, H, std::nullopt, std::nullopt, &*model.constituent_runner),
                 c10::Error);
    // A push on entry 2 equals a run over the first two inputs and the new one.
    const at::Tensor other = at::randn({H});
    const ConstituencyStackEntry branch = detail::push_constituency_stack(
        stack[2], other, model.constituent_lstm_weights, 2, H, std::nullopt, std::int64_t{7});
    EXPECT_TRUE(at::allclose(branch.output, full_run(model, {inputs[0], inputs[1], other})[2], 1e-5, 1e-6));
    EXPECT_EQ(branch.transition, 7);
    EXPECT_EQ(branch.h.sizes(), (c10::IntArrayRef{2, H}));

    const std::pair<std::function<void()>, std::string> refused[] = {
        {[&] { detail::push_constituency_stack(stack[1], at::randn({1, H}), model.constituent_lstm_weights, 2, H,
                                               std::nullopt, std::nullopt); },
         "constituency stack input is not a vector"},
        {[&] { detail::push_constituency_stack(stack[1], at::zeros({0}), model.constituent_lstm_weights, 2, H,
                                               std::nullopt, std::nullopt); },
         "constituency stack input is not a vector"},
        {[&] { detail::push_constituency_stack(stack[1], other, model.constituent_lstm_weights, 1, H, std::nullopt,
                                               std::nullopt); },
         "constituency stack state has the wrong shape"},
        {[&] { detail::push_constituency_stack(stack[1], other, model.constituent_lstm_weights, 2, H + 1,
                                               std::nullopt, std::nullopt); },
         "constituency stack state has the wrong shape"},
    };
    for (const auto& [call, message] : refused) EXPECT_EQ(error_of(call), message);
}

TEST(ConstituencyParser, SentinelsFollowTheBoundaryProfile) {
    const c10::InferenceMode guard;
    const std::vector<std::string> words{"cat", "New York", "zzz"}, tags{"NN", "NNP", "??"};
    const auto plain = detail::encode_constituency_words(impl("plain"), words, tags);
    ASSERT_EQ(plain.size(), 5u);
    EXPECT_EQ(plain.front().abs().sum().item<float>(), 0.0f);
    EXPECT_EQ(plain.back().abs().sum().item<float>(), 0.0f);
    EXPECT_GT(plain[1].abs().sum().item<float>(), 0.0f);

    const auto& model = impl("boundary");
    const auto framed = detail::encode_constituency_words(model, words, tags);
    ASSERT_EQ(framed.size(), 5u);
    // A started stack is one push of the start embedding from zero state.
    const at::Tensor& start = detail::require_constituency_tensor(model, "constituent_stack.start_embedding");
    const ConstituencyStackEntry sentinel = detail::start_constituency_stack(
        model.constituent_lstm_weights, model.constituent_lstm_state, start, model.num_lstm_layers);
    EXPECT_TRUE(at::allclose(sentinel.output, full_run(model, {start})[0], 1e-5, 1e-6));
    EXPECT_FALSE(sentinel.item.has_value());
}

TEST(ConstituencyParser, PretrainedLookupRetriesLowerCase) {
    const auto& model = impl("plain");
    const std::pair<std::string, std::int64_t> rows[] = {
        {"Cat", 3}, {"cat", 4}, {"CAT", 4}, {"New York", 2}, {"new york", 2}, {"Dup", 1},
        {"dog", 5}, {"DOG", 5},  {"zzz", 1},  {"", 1},
    };
    for (const auto& [word, id] : rows) EXPECT_EQ(detail::lookup_constituency_word(model, word), id) << word;
    EXPECT_EQ(detail::normalize_constituency_word("A b c", true), "a\xC2\xA0" "b\xC2\xA0" "c");
    EXPECT_EQ(detail::normalize_constituency_word("A b", false), "A\xC2\xA0" "b");
}

TEST(ConstituencyParser, TreesAndUnaryChains) {
    const ConstituencyTree leaf("w", {});
    const ConstituencyTree pre("NN", {leaf});
    EXPECT_EQ(detail::build_constituency_tree({"S", "VP"}, {pre, pre}).to_string(), "(S (VP (NN w) (NN w)))");
    EXPECT_EQ(detail::build_constituency_tree({"NP"}, {pre}).to_string(), "(NP (NN w))");
    EXPECT_EQ(error_of([&] { detail::build_constituency_tree({}, {pre}); }),
              "cannot build a constituent without a label");

    const auto entry = [](const ConstituencyTree& tree) {
        ConstituencyStackEntry e;
        e.item = ConstituencyStackItem{tree, {}, {}, false};
        return e;
    };
    const ConstituencyTree unary("NP", {pre});
    const ConstituencyTree branching("NP", {pre, pre});
    const std::tuple<ConstituencyTree, std::int64_t, bool> rows[] = {
        {pre, 0, true},       {pre, 1, false},       {unary, 1, true},   {unary, 2, false},
        {branching, 0, false}, {ConstituencyTree("S", {branching}), 0, true},
    };
    for (const auto& [tree, limit, over] : rows) {
        EXPECT_EQ(detail::check_constituency_unary_limit(entry(tree), limit), over) << tree.to_string() << limit;
    }
}

}  // namespace
}  // namespace quelbin
