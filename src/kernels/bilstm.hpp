// A one-layer bidirectional LSTM for inference on the CPU, with the gate order
// (i, f, g, o) and the equations of ATen's LSTM:
//   gates = x W_ih^T + b_ih + h W_hh^T + b_hh
//   c' = sigmoid(f) * c + sigmoid(i) * tanh(g),   h' = sigmoid(o) * tanh(c')
// The input projection of every time step runs as one matrix product; the
// recurrence runs step by step in plain float32 loops on the calling thread,
// which for small hidden sizes is far cheaper than a library call per step.
#pragma once

#include <ATen/core/Tensor.h>

#include <cstdint>
#include <vector>

namespace quelbin::detail {

// Which recurrence kernel runs: `automatic` takes the widest this CPU has
// (AVX-512 where present, else AVX2/FMA or portable code, chosen at run time).
enum class LstmKernel { automatic, avx512, portable };

// The kernels this CPU can run, widest first (for tests that compare them).
std::vector<LstmKernel> available_lstm_kernels();

struct BiLstmOutput {
    at::Tensor output;  // [B, T, 2H]: forward then backward halves; zeros past each length
    at::Tensor h_n;     // [2, B, H]: final hidden state per direction
    at::Tensor c_n;     // [2, B, H]: final cell state per direction
};

class BiLstm {
public:
    // The eight weights in ATen's order: weight_ih_l0 [4H, in], weight_hh_l0
    // [4H, H], bias_ih_l0 [4H], bias_hh_l0 [4H], then the same four "_reverse".
    // Float32 tensors; shapes that do not fit raise c10::Error.
    explicit BiLstm(const std::vector<at::Tensor>& weights, LstmKernel kernel = LstmKernel::automatic);

    std::int64_t input_size() const { return input_size_; }
    std::int64_t hidden_size() const { return hidden_; }

    // input: float32 [B, T, input_size], batch first. lengths: nullptr when every
    // sequence runs T steps, else B values in [0, T]; steps past a sequence's
    // length never enter its recurrence (the backward direction starts at its
    // last valid step) and its outputs there are zero. h0, c0: [2, B, H], or
    // undefined for zeros. A sequence of length 0 keeps its initial state.
    BiLstmOutput forward(const at::Tensor& input, const std::int64_t* lengths = nullptr,
                         const at::Tensor& h0 = at::Tensor(), const at::Tensor& c0 = at::Tensor()) const;

    // The same from a precomputed input projection [B, T, 8H] (x W_ih^T + b_ih
    // + b_hh, forward gates then backward gates), e.g. one assembled from
    // per-token tables.
    BiLstmOutput forward_projected(const at::Tensor& projection, const std::int64_t* lengths = nullptr,
                                   const at::Tensor& h0 = at::Tensor(), const at::Tensor& c0 = at::Tensor()) const;

    // The raw form of forward_projected for callers that keep their own
    // buffers: projection [B, T, 8H] as above, zero initial state, and output
    // [B, T, 2H] written only at the steps within each sequence's length.
    void run_projected(const float* projection, std::int64_t batch, std::int64_t steps, const std::int64_t* lengths,
                       float* output) const;

    // Both directions' input weights stacked, [8H, input_size], and their
    // summed biases, [8H].
    const at::Tensor& input_weight() const { return w_ih_; }
    const at::Tensor& bias() const { return bias_; }

private:
    // Initial states to read and final states to write, [2, B, H] each; null
    // for zeros and for none.
    struct State {
        const float* h0 = nullptr;
        const float* c0 = nullptr;
        float* h_n = nullptr;
        float* c_n = nullptr;
    };

    void run_raw(const float* projection, std::int64_t batch, std::int64_t steps, const std::int64_t* lengths,
                 const State& state, float* output) const;
    BiLstmOutput run(const at::Tensor& projection, std::int64_t batch, std::int64_t steps,
                     const std::int64_t* lengths, const at::Tensor& h0, const at::Tensor& c0) const;

    LstmKernel kernel_ = LstmKernel::automatic;
    std::int64_t input_size_ = 0;
    std::int64_t hidden_ = 0;
    std::int64_t section_ = 0;       // H rounded up to the widest kernel's vector width (16)
    std::int64_t row_ = 0;           // 4 * section_ rounded up to the kernel's column block
    at::Tensor w_ih_;                // [8H, in]: forward rows, then backward rows
    at::Tensor bias_;                // [8H]: b_ih + b_hh of both directions
    // Per direction, W_hh transposed into gate columns (gate q of unit u in
    // column q * section_ + u, zeros elsewhere), stored as row_ / 64 contiguous
    // panels of [H][64] columns.
    std::vector<float> w_hh_t_[2];
};

// One LSTM cell step, the cell of the recurrence above, for callers that run
// their own products: per row, gates holds the pre-activations i, f, g, o
// (`hidden` floats each, unpadded); c and h advance one step in place.
struct LstmCellRows {
    const float* gates;
    std::int64_t gate_stride;
    float* c;
    float* h;
    std::int64_t state_stride;
    std::int64_t rows;
    std::int64_t hidden;
};
void lstm_cell_rows(const LstmCellRows& job);

}  // namespace quelbin::detail
