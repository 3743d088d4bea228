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

// A block of hidden units the recurrence advances in one vector per gate.
struct LstmBlock {
    std::int64_t unit;    // first unit
    std::int64_t width;   // vector lanes (units, padding included)
    std::int64_t count;   // real units, at most width
    std::int64_t offset;  // start of the block's panel of W_hh^T, in floats
};

struct BiLstmOutput {
    at::Tensor output;  // [B, T, 2H]: forward then backward halves; zeros past each length
    at::Tensor h_n;     // [2, B, H]: final hidden state per direction
    at::Tensor c_n;     // [2, B, H]: final cell state per direction
};

// Whether an LSTM whose hidden weight is `weight_hh` ([4H, H]) can have the
// hidden size `hidden`: no H beyond the weight's element count can. Loaders
// that allocate a zero state from a configured size check it first, so that
// a corrupt bundle cannot make them allocate far more than its own size (a
// smaller mismatch is left to the shape checks of the run).
inline bool hidden_size_fits(std::int64_t hidden, const at::Tensor& weight_hh) {
    return hidden <= weight_hh.numel();
}

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
    // buffers: projection [B, T, 8H] as above, output [B, T, 2H] written only
    // at the steps within each sequence's length. h0, c0: [2, B, H], or null
    // for zeros.
    void run_projected(const float* projection, std::int64_t batch, std::int64_t steps, const std::int64_t* lengths,
                       float* output, const float* h0 = nullptr, const float* c0 = nullptr) const;

    // The same with the projection gathered from a table of rows of 8H
    // pre-activations (e.g. one per distinct input symbol): step t of sequence
    // b reads row rows[b * steps + t], with no copy of the table per step.
    void run_gathered(const float* table, const std::int64_t* rows, std::int64_t batch, std::int64_t steps,
                      const std::int64_t* lengths, float* output, const float* h0 = nullptr,
                      const float* c0 = nullptr) const;

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

    void run_raw(const float* projection, const std::int64_t* rows, std::int64_t batch, std::int64_t steps, const std::int64_t* lengths,
                 const State& state, float* output) const;
    BiLstmOutput run(const at::Tensor& projection, std::int64_t batch, std::int64_t steps,
                     const std::int64_t* lengths, const at::Tensor& h0, const at::Tensor& c0) const;

    LstmKernel kernel_ = LstmKernel::portable;  // the kernel that runs, resolved at construction
    std::int64_t input_size_ = 0;
    std::int64_t hidden_ = 0;
    std::int64_t section_ = 0;       // state floats per sequence: the unit blocks' widths summed
    at::Tensor w_ih_;                // [8H, in]: forward rows, then backward rows
    at::Tensor bias_;                // [8H]: b_ih + b_hh of both directions
    // The hidden units in blocks of the running kernel's vector width; per
    // direction, block by block, W_hh transposed into a panel [H][4][width]:
    // row k holds the block's i, f, g and o columns, zeros past the hidden size.
    std::vector<LstmBlock> blocks_;
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

// A highway layer's output rows: out[r] = o[r] + sigmoid(g[r]) * tanh(t[r]),
// `width` floats each, with o the BiLSTM output row `lstm_rows[r]` and g, t
// the gate and transform pre-activations; one pass over the rows.
struct HighwayRows {
    const float* lstm;
    const std::int64_t* lstm_rows;
    const float* gate;
    const float* transform;
    std::int64_t pre_stride;  // of gate and transform
    float* out;
    std::int64_t rows;
    std::int64_t width;       // also the stride of lstm and out
};
void highway_rows(const HighwayRows& job);

}  // namespace quelbin::detail
