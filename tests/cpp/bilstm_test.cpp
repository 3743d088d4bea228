// The BiLSTM recurrence over hidden sizes that do and do not fill its unit
// blocks, batches that shrink through every row tile, projections read in place
// or gathered from a table, and the independence of a sequence's result from
// the batch it runs in; the highway layer's combining pass.
#include "kernels/bilstm.hpp"

#include <ATen/ops/allclose.h>
#include <ATen/ops/empty.h>
#include <ATen/ops/equal.h>
#include <ATen/ops/full.h>
#include <ATen/ops/index_select.h>
#include <ATen/ops/sigmoid.h>
#include <ATen/ops/tanh.h>
#include <ATen/ops/tensor.h>
#include <ATen/ops/lstm.h>
#include <ATen/ops/zeros.h>
#include <c10/core/InferenceMode.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <vector>

namespace {

using quelbin::detail::available_lstm_kernels;
using quelbin::detail::BiLstm;
using quelbin::detail::LstmKernel;

at::Tensor uniform(at::IntArrayRef sizes, float scale, std::mt19937& rng) {
    std::uniform_real_distribution<float> draw(-scale, scale);
    at::Tensor tensor = at::empty(sizes);
    std::generate_n(tensor.mutable_data_ptr<float>(), tensor.numel(), [&] { return draw(rng); });
    return tensor;
}

// (W_ih, W_hh, b_ih, b_hh) forward, then backward.
std::vector<at::Tensor> lstm_weights(std::int64_t input, std::int64_t hidden, std::mt19937& rng) {
    std::vector<at::Tensor> weights;
    const float scale = 1.5f / std::sqrt(static_cast<float>(hidden));
    for (int i = 0; i < 8; ++i) {
        const std::int64_t gates = 4 * hidden;
        if (i % 4 == 0) weights.push_back(uniform({gates, input}, 0.5f, rng));
        else if (i % 4 == 1) weights.push_back(uniform({gates, hidden}, scale, rng));
        else weights.push_back(uniform({gates}, 0.3f, rng));
    }
    return weights;
}

std::string kernel_name(LstmKernel kernel) {
    return kernel == LstmKernel::avx512 ? "avx512" : "portable";
}

// Every hidden size around the 8- and 16-unit blocks (a remainder of at most
// eight units runs eight wide under AVX-512), in a packed batch of nine
// sequences whose active rows fall through every tile size; each sequence
// against ATen's LSTM alone, from initial states.
TEST(BiLstmKernel, HiddenSizesAroundTheBlocksMatchAtenLstm) {
    c10::InferenceMode guard;
    std::mt19937 rng(11);
    const std::int64_t hidden_sizes[] = {1, 5, 8, 9, 15, 16, 17, 23, 24, 25, 31, 40, 150};
    const std::vector<std::int64_t> lengths = {12, 3, 12, 7, 1, 9, 0, 11, 5};
    const auto batch = static_cast<std::int64_t>(lengths.size());
    const std::int64_t steps = 12, input_size = 6;
    for (const LstmKernel kernel : available_lstm_kernels()) {
        for (const std::int64_t hidden : hidden_sizes) {
            SCOPED_TRACE(kernel_name(kernel) + ", hidden " + std::to_string(hidden));
            const std::vector<at::Tensor> weights = lstm_weights(input_size, hidden, rng);
            const at::Tensor input = uniform({batch, steps, input_size}, 1.0f, rng);
            const at::Tensor h0 = uniform({2, batch, hidden}, 1.0f, rng);
            const at::Tensor c0 = uniform({2, batch, hidden}, 2.0f, rng);
            const auto ours = BiLstm(weights, kernel).forward(input, lengths.data(), h0, c0);
            for (std::int64_t b = 0; b < batch; ++b) {
                at::Tensor h_n = h0.narrow(1, b, 1).contiguous();
                at::Tensor c_n = c0.narrow(1, b, 1).contiguous();
                at::Tensor output = at::zeros({1, steps, 2 * hidden});
                if (lengths[b] > 0) {
                    at::Tensor run;
                    std::tie(run, h_n, c_n) = at::lstm(input.narrow(0, b, 1).narrow(1, 0, lengths[b]), {h_n, c_n},
                                                       weights, true, 1, 0.0, false, true, true);
                    output.narrow(1, 0, lengths[b]).copy_(run);
                }
                EXPECT_TRUE(at::allclose(ours.output.narrow(0, b, 1), output, 0, 1e-5)) << "sequence " << b;
                EXPECT_TRUE(at::allclose(ours.h_n.narrow(1, b, 1), h_n, 0, 1e-5)) << "sequence " << b;
                EXPECT_TRUE(at::allclose(ours.c_n.narrow(1, b, 1), c_n, 0, 1e-5)) << "sequence " << b;
            }
        }
    }
}

// A sequence gets the same bits alone as in any batch (what keeps the
// networks' results independent of how their tasks are cut), and a projection
// gathered from a table gives the bits of the same projection laid out in
// full; the raw calls write the output only within each sequence's length.
TEST(BiLstmKernel, SequencesAreBitwiseIndependentOfBatchAndLayout) {
    c10::InferenceMode guard;
    std::mt19937 rng(5);
    const std::int64_t steps = 10;
    const std::vector<std::int64_t> lengths = {10, 4, 10, 7, 2, 9, 10};
    const auto batch = static_cast<std::int64_t>(lengths.size());
    for (const LstmKernel kernel : available_lstm_kernels()) {
        for (const std::int64_t hidden : {13, 150}) {
            SCOPED_TRACE(kernel_name(kernel) + ", hidden " + std::to_string(hidden));
            const std::int64_t G = 8 * hidden, W = 2 * hidden;
            const BiLstm lstm(lstm_weights(3, hidden, rng), kernel);
            // Five table rows of pre-activations; each position picks one.
            const at::Tensor table = uniform({5, G}, 2.0f, rng);
            std::vector<std::int64_t> rows(static_cast<std::size_t>(batch * steps));
            for (std::int64_t& row : rows) row = static_cast<std::int64_t>(rng() % 5);
            at::Tensor projection = at::empty({batch, steps, G});
            for (std::int64_t p = 0; p < batch * steps; ++p) {
                projection.view({batch * steps, G})[p].copy_(table[rows[static_cast<std::size_t>(p)]]);
            }
            const at::Tensor h0 = uniform({2, batch, hidden}, 1.0f, rng);
            const at::Tensor c0 = uniform({2, batch, hidden}, 1.0f, rng);
            const float sentinel = 7.5f;
            at::Tensor whole = at::full({batch, steps, W}, sentinel);
            at::Tensor gathered = at::full({batch, steps, W}, sentinel);
            lstm.run_projected(projection.const_data_ptr<float>(), batch, steps, lengths.data(),
                               whole.mutable_data_ptr<float>(), h0.const_data_ptr<float>(),
                               c0.const_data_ptr<float>());
            lstm.run_gathered(table.const_data_ptr<float>(), rows.data(), batch, steps, lengths.data(),
                              gathered.mutable_data_ptr<float>(), h0.const_data_ptr<float>(),
                              c0.const_data_ptr<float>());
            EXPECT_TRUE(at::equal(whole, gathered));
            for (std::int64_t b = 0; b < batch; ++b) {
                const std::int64_t length = lengths[static_cast<std::size_t>(b)];
                const at::Tensor alone = lstm.forward_projected(projection.narrow(0, b, 1).narrow(1, 0, length),
                                                                nullptr, h0.narrow(1, b, 1).contiguous(),
                                                                c0.narrow(1, b, 1).contiguous())
                                             .output;
                EXPECT_TRUE(at::equal(whole[b].narrow(0, 0, length), alone[0])) << "sequence " << b;
                EXPECT_TRUE(at::equal(whole[b].narrow(0, length, steps - length),
                                      at::full({steps - length, W}, sentinel)))
                    << "sequence " << b;
            }
        }
    }
}

// out[r] = o[rows[r]] + sigmoid(g[r]) * tanh(t[r]) for widths that do and do
// not fill whole vectors, pre-activations wide enough to saturate both
// functions, and gathered rows in any order.
TEST(HighwayRows, MatchesTheFormula) {
    std::mt19937 rng(7);
    for (const std::int64_t width : {1, 8, 15, 16, 17, 40, 800}) {
        SCOPED_TRACE(width);
        const std::int64_t rows = 5;
        const at::Tensor lstm = uniform({7, width}, 1.0f, rng);
        const std::vector<std::int64_t> picks{6, 0, 3, 3, 1};
        // Gate and transform in one [rows, 2 * width] tensor, read with its stride.
        const at::Tensor pre = uniform({rows, 2 * width}, 30.0f, rng);
        const at::Tensor gate = pre.narrow(1, 0, width);
        const at::Tensor transform = pre.narrow(1, width, width);
        at::Tensor out = at::full({rows, width}, std::nanf(""));
        quelbin::detail::highway_rows({lstm.const_data_ptr<float>(), picks.data(), gate.const_data_ptr<float>(),
                                       transform.const_data_ptr<float>(), 2 * width, out.mutable_data_ptr<float>(),
                                       rows, width});
        const at::Tensor expected = at::index_select(lstm, 0, at::tensor(picks, at::kLong))
                                        .add(at::sigmoid(gate).mul(at::tanh(transform)));
        EXPECT_TRUE(at::allclose(out, expected, 1e-6, 1e-6));
    }
}

}  // namespace
