// The tokenizer's own BiLSTM against ATen's LSTM, in the plain and the packed
// form, over random weights, many lengths and both directions.
#include "tokenize/bilstm.hpp"

#include <ATen/core/Tensor.h>
#include <ATen/ops/_pack_padded_sequence.h>
#include <ATen/ops/_pad_packed_sequence.h>
#include <ATen/ops/from_blob.h>
#include <ATen/ops/lstm.h>
#include <ATen/ops/zeros.h>
#include <c10/core/InferenceMode.h>
#include <c10/util/Exception.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <string>

namespace quelbin::detail {
namespace {

constexpr double kTolerance = 1e-5;

at::Tensor random_tensor(std::mt19937& rng, at::IntArrayRef sizes, float scale) {
    std::uniform_real_distribution<float> uniform(-scale, scale);
    std::int64_t count = 1;
    for (const std::int64_t size : sizes) count *= size;
    std::vector<float> values(static_cast<std::size_t>(count));
    for (float& value : values) value = uniform(rng);
    return at::from_blob(values.data(), sizes, at::TensorOptions().dtype(at::kFloat)).clone();
}

std::vector<at::Tensor> random_weights(std::mt19937& rng, std::int64_t input, std::int64_t hidden, float scale) {
    std::vector<at::Tensor> weights;
    for (int direction = 0; direction < 2; ++direction) {
        weights.push_back(random_tensor(rng, {4 * hidden, input}, scale));
        weights.push_back(random_tensor(rng, {4 * hidden, hidden}, scale));
        weights.push_back(random_tensor(rng, {4 * hidden}, scale));
        weights.push_back(random_tensor(rng, {4 * hidden}, scale));
    }
    return weights;
}

float max_abs(const at::Tensor& a) { return a.numel() == 0 ? 0.0f : a.abs().max().item<float>(); }

double max_difference(const at::Tensor& a, const at::Tensor& b) {
    EXPECT_EQ(a.sizes(), b.sizes());
    if (a.sizes() != b.sizes() || a.numel() == 0) return 0.0;
    return a.sub(b).abs().max().item<double>();
}

struct Case {
    std::string name;
    std::int64_t input;
    std::int64_t hidden;
    std::int64_t steps;
    std::vector<std::int64_t> lengths;  // one per sequence; empty: a batch of one, unpacked
    float weight_scale;
    float input_scale;
    bool initial_state;
};

const std::vector<Case>& cases() {
    static const std::vector<Case> table = {
        {"one step", 5, 8, 1, {}, 0.5f, 1.0f, false},
        {"short", 3, 4, 7, {}, 0.8f, 1.0f, true},
        {"hidden one", 2, 1, 9, {}, 1.0f, 1.0f, true},
        {"tokenizer first level", 37, 64, 300, {}, 0.3f, 1.0f, false},
        {"tokenizer second level", 128, 64, 120, {}, 0.3f, 1.0f, true},
        {"hidden not a multiple of 16", 11, 21, 40, {}, 0.5f, 1.0f, true},
        {"wide hidden", 16, 80, 30, {}, 0.2f, 1.0f, false},
        {"saturating gates", 6, 8, 50, {}, 3.0f, 20.0f, true},
        {"packed sorted", 5, 8, 12, {12, 9, 9, 4, 1}, 0.6f, 1.0f, true},
        {"packed unsorted", 7, 16, 20, {3, 20, 1, 17, 20, 8}, 0.5f, 1.0f, true},
        {"packed all length one", 4, 8, 1, {1, 1, 1}, 0.7f, 1.0f, false},
        {"packed with empty sequences", 6, 8, 10, {0, 10, 0, 5, 1}, 0.6f, 1.0f, true},
        {"packed all empty", 3, 4, 6, {0, 0}, 0.6f, 1.0f, true},
        {"packed tokenizer sizes", 128, 64, 90, {90, 33, 61, 2, 90, 17, 1}, 0.3f, 1.0f, false},
        {"packed saturating", 6, 8, 30, {30, 11, 25}, 3.0f, 20.0f, true},
        {"no steps", 5, 8, 0, {}, 0.5f, 1.0f, true},
        {"empty batch", 5, 8, 4, {-1}, 0.5f, 1.0f, false},  // -1: a batch of zero sequences
    };
    return table;
}

std::string kernel_name(LstmKernel kernel) { return kernel == LstmKernel::avx512 ? "avx512" : "portable"; }

TEST(TokenizeBiLstm, MatchesAtenLstmSequenceBySequence) {
    c10::InferenceMode guard;
    for (const LstmKernel kernel : available_lstm_kernels()) {
    std::mt19937 rng(7);
    for (const Case& c : cases()) {
        SCOPED_TRACE(c.name + ", " + kernel_name(kernel) + " kernel");
        const bool packed = !c.lengths.empty() && c.lengths.front() >= 0;
        const std::int64_t batch = c.lengths.empty() ? 1 : (packed ? static_cast<std::int64_t>(c.lengths.size()) : 0);
        const std::vector<at::Tensor> weights = random_weights(rng, c.input, c.hidden, c.weight_scale);
        const at::Tensor input = random_tensor(rng, {batch, c.steps, c.input}, c.input_scale);
        at::Tensor h0 = at::zeros({2, batch, c.hidden});
        at::Tensor c0 = at::zeros({2, batch, c.hidden});
        if (c.initial_state) {
            h0 = random_tensor(rng, {2, batch, c.hidden}, 0.9f);
            c0 = random_tensor(rng, {2, batch, c.hidden}, 2.0f);
        }
        const BiLstm lstm(weights, kernel);
        EXPECT_EQ(lstm.input_size(), c.input);
        EXPECT_EQ(lstm.hidden_size(), c.hidden);
        const BiLstmOutput ours = lstm.forward(input, packed ? c.lengths.data() : nullptr, h0, c0);
        ASSERT_EQ(ours.output.sizes(), at::IntArrayRef({batch, c.steps, 2 * c.hidden}));
        ASSERT_EQ(ours.h_n.sizes(), at::IntArrayRef({2, batch, c.hidden}));

        for (std::int64_t b = 0; b < batch; ++b) {
            const std::int64_t length = packed ? c.lengths[b] : c.steps;
            SCOPED_TRACE("sequence " + std::to_string(b) + " of length " + std::to_string(length));
            const at::Tensor h_b = h0.narrow(1, b, 1).contiguous();
            const at::Tensor c_b = c0.narrow(1, b, 1).contiguous();
            if (length == 0) {
                EXPECT_EQ(max_abs(ours.output[b]), 0.0f);
                EXPECT_EQ(max_difference(ours.h_n.narrow(1, b, 1), h_b), 0.0);
                EXPECT_EQ(max_difference(ours.c_n.narrow(1, b, 1), c_b), 0.0);
                continue;
            }
            const auto [output, h_n, c_n] =
                at::lstm(input.narrow(0, b, 1).narrow(1, 0, length), {h_b, c_b}, weights, true, 1, 0.0, false, true, true);
            EXPECT_LE(max_difference(ours.output.narrow(0, b, 1).narrow(1, 0, length), output), kTolerance);
            if (length < c.steps) {
                EXPECT_EQ(max_abs(ours.output[b].narrow(0, length, c.steps - length)), 0.0f);
            }
            EXPECT_LE(max_difference(ours.h_n.narrow(1, b, 1), h_n), kTolerance);
            EXPECT_LE(max_difference(ours.c_n.narrow(1, b, 1), c_n), kTolerance);
        }
    }
    }
}

TEST(TokenizeBiLstm, MatchesAtenPackedLstm) {
    c10::InferenceMode guard;
    std::size_t compared = 0;
    for (const LstmKernel kernel : available_lstm_kernels()) {
    std::mt19937 rng(11);
    for (const Case& c : cases()) {
        if (c.lengths.empty() || c.lengths.front() < 0) continue;
        if (std::find(c.lengths.begin(), c.lengths.end(), 0) != c.lengths.end()) continue;  // packing refuses them
        SCOPED_TRACE(c.name + ", " + kernel_name(kernel) + " kernel");
        const auto batch = static_cast<std::int64_t>(c.lengths.size());
        const std::vector<at::Tensor> weights = random_weights(rng, c.input, c.hidden, c.weight_scale);
        const at::Tensor input = random_tensor(rng, {batch, c.steps, c.input}, c.input_scale);
        const at::Tensor h0 = random_tensor(rng, {2, batch, c.hidden}, 0.9f);
        const at::Tensor c0 = random_tensor(rng, {2, batch, c.hidden}, 2.0f);
        const BiLstmOutput ours = BiLstm(weights, kernel).forward(input, c.lengths.data(), h0, c0);

        // ATen packs sequences sorted longest first.
        std::vector<std::int64_t> order(c.lengths.size());
        std::iota(order.begin(), order.end(), std::int64_t{0});
        std::stable_sort(order.begin(), order.end(), [&](auto a, auto b) { return c.lengths[a] > c.lengths[b]; });
        std::vector<std::int64_t> sorted_lengths;
        for (const std::int64_t i : order) sorted_lengths.push_back(c.lengths[i]);
        const at::Tensor index = at::from_blob(order.data(), {batch}, at::TensorOptions().dtype(at::kLong)).clone();
        const at::Tensor length_view =
            at::from_blob(sorted_lengths.data(), {batch}, at::TensorOptions().dtype(at::kLong)).clone();
        auto [data, batch_sizes] = at::_pack_padded_sequence(input.index_select(0, index), length_view, true);
        const auto [packed_output, h_n, c_n] =
            at::lstm(data, batch_sizes, {h0.index_select(1, index), c0.index_select(1, index)}, weights, true, 1, 0.0,
                     false, true);
        const at::Tensor padded =
            std::get<0>(at::_pad_packed_sequence(packed_output, batch_sizes, true, 0.0, c.steps));
        EXPECT_LE(max_difference(ours.output.index_select(0, index), padded), kTolerance);
        EXPECT_LE(max_difference(ours.h_n.index_select(1, index), h_n), kTolerance);
        EXPECT_LE(max_difference(ours.c_n.index_select(1, index), c_n), kTolerance);
        ++compared;
    }
    }
    EXPECT_EQ(compared, 5u * available_lstm_kernels().size());
}

TEST(TokenizeBiLstm, UndefinedInitialStateIsZero) {
    c10::InferenceMode guard;
    std::mt19937 rng(3);
    const std::vector<at::Tensor> weights = random_weights(rng, 4, 8, 0.6f);
    const at::Tensor input = random_tensor(rng, {2, 9, 4}, 1.0f);
    const std::vector<std::int64_t> lengths = {5, 9};
    const BiLstm lstm(weights);
    const BiLstmOutput implicit = lstm.forward(input, lengths.data());
    const BiLstmOutput explicit_zero = lstm.forward(input, lengths.data(), at::zeros({2, 2, 8}), at::zeros({2, 2, 8}));
    EXPECT_EQ(max_difference(implicit.output, explicit_zero.output), 0.0);
    EXPECT_EQ(max_difference(implicit.c_n, explicit_zero.c_n), 0.0);
    EXPECT_GT(max_abs(implicit.output), 0.01f);
}

TEST(TokenizeBiLstm, RefusesWhatDoesNotFit) {
    std::mt19937 rng(5);
    const std::vector<at::Tensor> weights = random_weights(rng, 4, 8, 0.5f);
    const BiLstm lstm(weights);
    const at::Tensor input = random_tensor(rng, {2, 3, 4}, 1.0f);
    const std::vector<std::int64_t> too_long = {3, 4};
    const std::vector<std::int64_t> negative = {-1, 2};

    std::vector<at::Tensor> seven(weights.begin(), weights.end() - 1);
    std::vector<at::Tensor> odd_gates = weights;
    odd_gates[0] = random_tensor(rng, {30, 4}, 0.5f);
    std::vector<at::Tensor> wrong_hidden = weights;
    wrong_hidden[5] = random_tensor(rng, {32, 7}, 0.5f);
    std::vector<at::Tensor> wrong_bias = weights;
    wrong_bias[3] = random_tensor(rng, {31}, 0.5f);
    std::vector<at::Tensor> directions_differ = weights;
    directions_differ[4] = random_tensor(rng, {32, 5}, 0.5f);
    std::vector<at::Tensor> doubles = weights;
    doubles[1] = doubles[1].to(at::kDouble);

    for (const auto* bad : {&seven, &odd_gates, &wrong_hidden, &wrong_bias, &directions_differ, &doubles}) {
        EXPECT_THROW(BiLstm{*bad}, c10::Error);
    }
    EXPECT_THROW(lstm.forward(random_tensor(rng, {2, 3, 5}, 1.0f)), c10::Error);
    EXPECT_THROW(lstm.forward(random_tensor(rng, {3, 4}, 1.0f)), c10::Error);
    EXPECT_THROW(lstm.forward(input.to(at::kDouble)), c10::Error);
    EXPECT_THROW(lstm.forward(input, too_long.data()), c10::Error);
    EXPECT_THROW(lstm.forward(input, negative.data()), c10::Error);
    EXPECT_THROW(lstm.forward(input, nullptr, at::zeros({2, 1, 8})), c10::Error);
    EXPECT_THROW(lstm.forward(input, nullptr, at::Tensor(), at::zeros({2, 2, 9})), c10::Error);
    EXPECT_NO_THROW(lstm.forward(input, nullptr, at::zeros({2, 2, 8}), at::zeros({2, 2, 8})));
}

}  // namespace
}  // namespace quelbin::detail
