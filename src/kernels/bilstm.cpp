#include "kernels/bilstm.hpp"

#include "kernels/parallel_tasks.hpp"
#include "kernels/simd.hpp"

#include <ATen/ops/addmm.h>
#include <ATen/ops/cat.h>
#include <ATen/ops/empty.h>
#include <ATen/ops/zeros.h>
#include <c10/util/Exception.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numeric>

namespace quelbin::detail {
namespace {

// Vectors of eight and sixteen floats (with lanes of unsigned bits for the
// exponent tricks). The compiler maps them onto the registers of the target
// that each kernel entry point is compiled for; every helper below is inlined
// into those entry points.
typedef float Lanes __attribute__((vector_size(32)));
typedef std::uint32_t LaneBits __attribute__((vector_size(32)));
typedef float Wide __attribute__((vector_size(64)));
typedef std::uint32_t WideBits __attribute__((vector_size(64)));

template <class V>
struct VectorOf;
template <>
struct VectorOf<Lanes> {
    using Bits = LaneBits;
    static constexpr std::int64_t lanes = 8;
};
template <>
struct VectorOf<Wide> {
    using Bits = WideBits;
    static constexpr std::int64_t lanes = 16;
};

template <class V>
QUELBIN_ALWAYS_INLINE V load(const float* p) {
    V v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

template <class V>
QUELBIN_ALWAYS_INLINE void store(float* p, const V& v) {
    std::memcpy(p, &v, sizeof v);
}

template <class V>
QUELBIN_ALWAYS_INLINE V splat(float value) {
    return V{} + value;
}

// exp(x) to about one ulp: x = n ln2 + r with |r| <= ln2/2, a polynomial for
// exp(r), and 2^n built in the exponent bits. Arguments are clamped to
// [-87, 88], where 2^n stays a normal float and the result finite.
template <class V>
QUELBIN_ALWAYS_INLINE V exp_vector(const V& argument) {
    using Bits = typename VectorOf<V>::Bits;
    V x = argument < splat<V>(-87.0f) ? splat<V>(-87.0f) : argument;
    x = x > splat<V>(88.0f) ? splat<V>(88.0f) : x;
    // Adding 1.5 * 2^23 rounds x / ln2 to an integer held in the low mantissa bits.
    const V shifted = x * 1.44269504088896341f + 12582912.0f;
    const V n = shifted - 12582912.0f;
    V r = x - n * 0.693359375f;
    r = r + n * 2.12194440e-4f;
    V p = splat<V>(1.9875691500e-4f);
    p = p * r + 1.3981999507e-3f;
    p = p * r + 8.3334519073e-3f;
    p = p * r + 4.1665795894e-2f;
    p = p * r + 1.6666665459e-1f;
    p = p * r + 5.0000001201e-1f;
    const V y = p * (r * r) + r + 1.0f;
    const Bits scale = ((Bits)shifted - 0x4B400000u + 127u) << 23;
    return y * (V)scale;
}

template <class V>
QUELBIN_ALWAYS_INLINE V sigmoid_vector(const V& x) {
    return 1.0f / (1.0f + exp_vector<V>(-x));
}

// tanh(x) = 2 sigmoid(2x) - 1, within about 1e-7 of the exact value.
template <class V>
QUELBIN_ALWAYS_INLINE V tanh_vector(const V& x) {
    return 2.0f / (1.0f + exp_vector<V>(-(x + x))) - 1.0f;
}


// The partial loads and stores of a block's last vector when fewer units than
// lanes remain; the lanes past `count` load as zeros.
template <class V>
QUELBIN_ALWAYS_INLINE V load_part(const float* p, std::int64_t count) {
    if (count == VectorOf<V>::lanes) return load<V>(p);
    V v{};
    std::memcpy(&v, p, static_cast<std::size_t>(count) * sizeof(float));
    return v;
}

template <class V>
QUELBIN_ALWAYS_INLINE void store_part(float* p, const V& v, std::int64_t count) {
    if (count == VectorOf<V>::lanes) {
        store<V>(p, v);
        return;
    }
    std::memcpy(p, &v, static_cast<std::size_t>(count) * sizeof(float));
}

// One direction over a batch whose sequences are ranked by length, longest
// first, so that the sequences still running at step s are a prefix.
struct Direction {
    const float* projection;          // rows of 8H: x W_ih^T + biases, both directions
    const std::int64_t* rows;         // [B * T]: the projection row of each position; null: the position
    std::int64_t projection_offset;   // 0 forward, 4H backward
    const float* w_hh_t;              // the unit blocks' panels of W_hh^T, see BiLstm
    const LstmBlock* blocks;
    std::int64_t block_count;
    std::int64_t hidden;              // H
    std::int64_t section;             // state floats per sequence: the blocks' widths summed
    std::int64_t steps;               // T
    std::int64_t batch;
    const std::int64_t* order;        // rank -> batch row
    const std::int64_t* lengths;      // per rank, descending
    bool reverse;
    float* h[2];                      // [B][section] per rank: step s reads h[s % 2], writes the other
    float* c;                         // [B][section] per rank, advanced in place
    const float** pre;                // [B] per rank, scratch: this step's gate pre-activations
    float** out;                      // [B] per rank, scratch: this step's output row
    float* output;                    // [B * T][2H]
    std::int64_t output_offset;       // 0 forward, H backward
};

// One step of `Rows` sequences (ranks first .. first + Rows - 1) over one unit
// block, `V` as wide as the block: the four gates' pre-activations plus h W_hh^T
// accumulate in registers, each weight loaded feeding every row, and the cell
// follows at once. c advances in place; the new h goes to h_out and to the
// output row. Per row and column the sums run in the order of k, whatever the
// rows beside it, so a sequence's result never depends on its batch.
template <class V, int Rows>
QUELBIN_ALWAYS_INLINE void block_step(const Direction& job, const LstmBlock& block, std::int64_t first,
                                      const float* h_in, float* h_out) {
    constexpr std::int64_t lanes = VectorOf<V>::lanes;
    const std::int64_t H = job.hidden;
    const std::int64_t unit = block.unit;
    const std::int64_t count = block.count;
    const float* const panel = job.w_hh_t + block.offset;
    V acc[Rows][4];
    const float* h[Rows];
#pragma GCC unroll 8
    for (int s = 0; s < Rows; ++s) {
        const float* pre = job.pre[first + s] + unit;
#pragma GCC unroll 4
        for (int q = 0; q < 4; ++q) acc[s][q] = load_part<V>(pre + q * H, count);
        h[s] = h_in + (first + s) * job.section;
    }
    for (std::int64_t k = 0; k < H; ++k) {
        const float* row = panel + k * 4 * lanes;
        V w[4];
#pragma GCC unroll 4
        for (int q = 0; q < 4; ++q) w[q] = load<V>(row + q * lanes);
#pragma GCC unroll 8
        for (int s = 0; s < Rows; ++s) {
            const V x = splat<V>(h[s][k]);
#pragma GCC unroll 4
            for (int q = 0; q < 4; ++q) acc[s][q] += x * w[q];
        }
    }
    // The cell from memory, one row and vector at a time: the accumulators
    // are spilled once rather than piecemeal around the nonlinearities.
    alignas(64) float gates[Rows][4][lanes];
#pragma GCC unroll 8
    for (int s = 0; s < Rows; ++s) {
#pragma GCC unroll 4
        for (int q = 0; q < 4; ++q) store<V>(gates[s][q], acc[s][q]);
    }
#pragma GCC unroll 1
    for (int s = 0; s < Rows; ++s) {
        const std::int64_t at = (first + s) * job.section + unit;
        const V in_gate = sigmoid_vector<V>(load<V>(gates[s][0]));
        const V forget_gate = sigmoid_vector<V>(load<V>(gates[s][1]));
        const V cell_gate = tanh_vector<V>(load<V>(gates[s][2]));
        const V out_gate = sigmoid_vector<V>(load<V>(gates[s][3]));
        const V cell = forget_gate * load<V>(job.c + at) + in_gate * cell_gate;
        const V hidden = out_gate * tanh_vector<V>(cell);
        store<V>(job.c + at, cell);
        store<V>(h_out + at, hidden);
        store_part<V>(job.out[first + s] + unit, hidden, count);
    }
}

// Every block for the rows of one tile, V wide (Tail for a narrower last
// block): the tile's rows of h stay in the first-level cache while the panels
// pass.
template <class V, class Tail, int MaxRows>
QUELBIN_ALWAYS_INLINE void tile_blocks(const Direction& job, std::int64_t first, const float* h_in, float* h_out) {
    for (std::int64_t b = 0; b < job.block_count; ++b) {
        const LstmBlock& block = job.blocks[b];
        if (block.width == VectorOf<V>::lanes) block_step<V, MaxRows>(job, block, first, h_in, h_out);
        else block_step<Tail, MaxRows>(job, block, first, h_in, h_out);
    }
}

// Every active sequence, MaxRows at a time.
template <class V, class Tail, int MaxRows>
QUELBIN_ALWAYS_INLINE void block_rows(const Direction& job, std::int64_t active, const float* h_in, float* h_out) {
    static_assert(MaxRows >= 1 && MaxRows <= 6, "tiles of one to six rows");
    std::int64_t r = 0;
    for (; r + MaxRows <= active; r += MaxRows) tile_blocks<V, Tail, MaxRows>(job, r, h_in, h_out);
    switch (active - r) {
        case 5: if constexpr (MaxRows > 5) tile_blocks<V, Tail, 5>(job, r, h_in, h_out); break;
        case 4: if constexpr (MaxRows > 4) tile_blocks<V, Tail, 4>(job, r, h_in, h_out); break;
        case 3: if constexpr (MaxRows > 3) tile_blocks<V, Tail, 3>(job, r, h_in, h_out); break;
        case 2: if constexpr (MaxRows > 2) tile_blocks<V, Tail, 2>(job, r, h_in, h_out); break;
        case 1: if constexpr (MaxRows > 1) tile_blocks<V, Tail, 1>(job, r, h_in, h_out); break;
        default: break;
    }
}

// The portable kernel: blocks of eight units, two rows per tile (sixteen
// vector registers hold eight accumulators and four weights).
struct LaneKernel {
    static QUELBIN_ALWAYS_INLINE void step(const Direction& job, std::int64_t active, const float* h_in,
                                           float* h_out) {
        block_rows<Lanes, Lanes, 2>(job, active, h_in, h_out);
    }
};

// The AVX-512 kernel: blocks of sixteen units (a last one of at most eight
// runs eight wide), four rows per tile in 32 registers: sixteen accumulators,
// four weights, each weight loaded feeding four products.
struct WideKernel {
    static QUELBIN_ALWAYS_INLINE void step(const Direction& job, std::int64_t active, const float* h_in,
                                           float* h_out) {
        block_rows<Wide, Lanes, 4>(job, active, h_in, h_out);
    }
};

// The recurrence of one direction, step by step.
template <class Kernel>
QUELBIN_ALWAYS_INLINE void run_steps(const Direction& job) {
    const std::int64_t* const lengths = job.lengths;
    const std::int64_t gate_stride = 8 * job.hidden;
    const std::int64_t output_stride = 2 * job.hidden;
    std::int64_t active = job.batch;
    const std::int64_t longest = job.batch > 0 ? lengths[0] : 0;
    for (std::int64_t s = 0; s < longest; ++s) {
        while (active > 0 && lengths[active - 1] <= s) --active;
        for (std::int64_t r = 0; r < active; ++r) {
            const std::int64_t position = job.order[r] * job.steps + (job.reverse ? lengths[r] - 1 - s : s);
            const std::int64_t source = job.rows != nullptr ? job.rows[position] : position;
            job.pre[r] = job.projection + source * gate_stride + job.projection_offset;
            job.out[r] = job.output + position * output_stride + job.output_offset;
        }
        const float* h_in = job.h[s & 1];
        float* h_out = job.h[(s + 1) & 1];
        Kernel::step(job, active, h_in, h_out);
    }
}

QUELBIN_CLONES_V3 void run_direction_portable(const Direction& job) {
    run_steps<LaneKernel>(job);
}

#ifdef QUELBIN_X86_KERNELS
QUELBIN_TARGET_V4 void run_direction_avx512(const Direction& job) {
    run_steps<WideKernel>(job);
}
#endif

void run_direction(const Direction& job, LstmKernel kernel) {
#ifdef QUELBIN_X86_KERNELS
    if (kernel == LstmKernel::avx512) {
        run_direction_avx512(job);
        return;
    }
#endif
    run_direction_portable(job);
}

void check_lengths(const std::int64_t* lengths, std::int64_t batch, std::int64_t steps) {
    if (lengths == nullptr) return;
    for (std::int64_t b = 0; b < batch; ++b) {
        TORCH_CHECK(lengths[b] >= 0 && lengths[b] <= steps, "LSTM sequence length ", lengths[b], " outside [0, ",
                    steps, "]");
    }
}

void check_state(const at::Tensor& state, const char* name, std::int64_t batch, std::int64_t hidden) {
    if (!state.defined()) return;
    TORCH_CHECK(state.scalar_type() == at::kFloat && state.dim() == 3 && state.size(0) == 2 &&
                    state.size(1) == batch && state.size(2) == hidden,
                "LSTM ", name, " must be float32 [2, ", batch, ", ", hidden, "], got ", state.sizes());
}

}  // namespace

std::vector<LstmKernel> available_lstm_kernels() {
    std::vector<LstmKernel> kernels;
    if (cpu_has_avx512()) kernels.push_back(LstmKernel::avx512);
    kernels.push_back(LstmKernel::portable);
    return kernels;
}

BiLstm::BiLstm(const std::vector<at::Tensor>& weights, LstmKernel kernel)
    : kernel_(kernel != LstmKernel::portable && cpu_has_avx512() ? LstmKernel::avx512 : LstmKernel::portable) {
    TORCH_CHECK(weights.size() == 8, "a bidirectional LSTM takes 8 weights, got ", weights.size());
    for (const at::Tensor& weight : weights) {
        TORCH_CHECK(weight.defined() && weight.scalar_type() == at::kFloat, "LSTM weights must be float32");
    }
    TORCH_CHECK(weights[0].dim() == 2 && weights[0].size(0) > 0 && weights[0].size(0) % 4 == 0,
                "LSTM input weight must be [4 * hidden, input], got ", weights[0].sizes());
    hidden_ = weights[0].size(0) / 4;
    input_size_ = weights[0].size(1);
    const std::int64_t G = 4 * hidden_;
    for (int d = 0; d < 2; ++d) {
        TORCH_CHECK(weights[4 * d].sizes() == at::IntArrayRef({G, input_size_}),
                    "LSTM input weights of the two directions differ in shape");
        TORCH_CHECK(weights[4 * d + 1].sizes() == at::IntArrayRef({G, hidden_}),
                    "LSTM hidden weight must be [", G, ", ", hidden_, "], got ", weights[4 * d + 1].sizes());
        TORCH_CHECK(weights[4 * d + 2].sizes() == at::IntArrayRef({G}) &&
                        weights[4 * d + 3].sizes() == at::IntArrayRef({G}),
                    "LSTM biases must be [", G, "]");
    }
    w_ih_ = at::cat({weights[0], weights[4]}, 0).contiguous();
    bias_ = at::cat({weights[2].add(weights[3]), weights[6].add(weights[7])}, 0).contiguous();
    // Blocks as wide as the kernel's vectors; under AVX-512 a remainder of at
    // most eight units takes an eight-wide block, so hidden 150 pads to 152
    // rather than 160.
    const std::int64_t lanes = kernel_ == LstmKernel::avx512 ? 16 : 8;
    std::int64_t offset = 0;
    for (std::int64_t unit = 0; unit < hidden_;) {
        const std::int64_t remaining = hidden_ - unit;
        const std::int64_t width = remaining < lanes && remaining <= 8 ? 8 : lanes;
        blocks_.push_back({unit, width, std::min(width, remaining), offset});
        offset += hidden_ * 4 * width;
        unit += width;
    }
    section_ = 0;
    for (const LstmBlock& block : blocks_) section_ += block.width;
    for (int d = 0; d < 2; ++d) {
        const at::Tensor w_hh = weights[4 * d + 1].contiguous();
        const float* source = w_hh.const_data_ptr<float>();
        std::vector<float>& target = w_hh_t_[d];
        target.assign(static_cast<std::size_t>(offset), 0.0f);
        for (const LstmBlock& block : blocks_) {
            for (std::int64_t k = 0; k < hidden_; ++k) {
                float* row = target.data() + block.offset + k * 4 * block.width;
                for (std::int64_t q = 0; q < 4; ++q) {
                    for (std::int64_t j = 0; j < block.count; ++j) {
                        row[q * block.width + j] = source[(q * hidden_ + block.unit + j) * hidden_ + k];
                    }
                }
            }
        }
    }
}

BiLstmOutput BiLstm::forward(const at::Tensor& input, const std::int64_t* lengths, const at::Tensor& h0,
                             const at::Tensor& c0) const {
    // Small products and fills: on the calling thread, never a region of their own.
    const SerialScope serial;
    TORCH_CHECK(input.defined() && input.scalar_type() == at::kFloat && input.dim() == 3,
                "LSTM input must be float32 [batch, steps, features]");
    TORCH_CHECK(input.size(2) == input_size_, "LSTM input has ", input.size(2), " features, expected ",
                input_size_);
    const std::int64_t B = input.size(0);
    const std::int64_t T = input.size(1);
    check_lengths(lengths, B, T);
    // The input projection of every step at once; with lengths, one product per
    // sequence over its own steps, so padding costs nothing and a sequence gets
    // the same arithmetic whatever else shares its batch.
    at::Tensor projection;
    if (B > 0 && T > 0) {
        if (lengths == nullptr) {
            projection = at::addmm(bias_, input.reshape({B * T, input_size_}), w_ih_.t());
        } else {
            projection = at::empty({B, T, 8 * hidden_}, input.options());
            for (std::int64_t b = 0; b < B; ++b) {
                if (lengths[b] == 0) continue;
                at::Tensor rows = projection[b].narrow(0, 0, lengths[b]);
                at::addmm_out(rows, bias_, input[b].narrow(0, 0, lengths[b]), w_ih_.t());
            }
        }
    }
    return run(projection, B, T, lengths, h0, c0);
}

BiLstmOutput BiLstm::forward_projected(const at::Tensor& projection, const std::int64_t* lengths,
                                       const at::Tensor& h0, const at::Tensor& c0) const {
    const SerialScope serial;
    TORCH_CHECK(projection.defined() && projection.scalar_type() == at::kFloat && projection.dim() == 3 &&
                    projection.size(2) == 8 * hidden_,
                "LSTM input projection must be float32 [batch, steps, ", 8 * hidden_, "]");
    const std::int64_t B = projection.size(0);
    const std::int64_t T = projection.size(1);
    check_lengths(lengths, B, T);
    return run(B > 0 && T > 0 ? projection : at::Tensor(), B, T, lengths, h0, c0);
}

BiLstmOutput BiLstm::run(const at::Tensor& projection_in, std::int64_t B, std::int64_t T,
                         const std::int64_t* lengths, const at::Tensor& h0, const at::Tensor& c0) const {
    const std::int64_t H = hidden_;
    check_state(h0, "h0", B, H);
    check_state(c0, "c0", B, H);
    const at::TensorOptions options = at::TensorOptions().dtype(at::kFloat);
    BiLstmOutput result;
    result.output = at::zeros({B, T, 2 * H}, options);
    result.h_n = at::zeros({2, B, H}, options);
    result.c_n = at::zeros({2, B, H}, options);
    const at::Tensor h_init = h0.defined() ? h0.contiguous() : at::Tensor();
    const at::Tensor c_init = c0.defined() ? c0.contiguous() : at::Tensor();
    const at::Tensor projection = projection_in.defined() ? projection_in.contiguous() : at::Tensor();
    State state;
    state.h0 = h_init.defined() ? h_init.const_data_ptr<float>() : nullptr;
    state.c0 = c_init.defined() ? c_init.const_data_ptr<float>() : nullptr;
    state.h_n = result.h_n.mutable_data_ptr<float>();
    state.c_n = result.c_n.mutable_data_ptr<float>();
    run_raw(projection.defined() ? projection.const_data_ptr<float>() : nullptr, nullptr, B, T, lengths, state,
            result.output.mutable_data_ptr<float>());
    return result;
}

void BiLstm::run_projected(const float* projection, std::int64_t B, std::int64_t T, const std::int64_t* lengths,
                           float* output, const float* h0, const float* c0) const {
    run_gathered(projection, nullptr, B, T, lengths, output, h0, c0);
}

void BiLstm::run_gathered(const float* table, const std::int64_t* rows, std::int64_t B, std::int64_t T,
                          const std::int64_t* lengths, float* output, const float* h0, const float* c0) const {
    check_lengths(lengths, B, T);
    State state;
    state.h0 = h0;
    state.c0 = c0;
    run_raw(B > 0 && T > 0 ? table : nullptr, rows, B, T, lengths, state, output);
}

void BiLstm::run_raw(const float* projection, const std::int64_t* rows, std::int64_t B, std::int64_t T,
                     const std::int64_t* lengths, const State& state, float* output) const {
    const std::int64_t H = hidden_;
    std::vector<std::int64_t> length(static_cast<std::size_t>(B), T);
    if (lengths != nullptr) std::copy_n(lengths, B, length.begin());
    std::vector<std::int64_t> order(static_cast<std::size_t>(B));
    std::iota(order.begin(), order.end(), std::int64_t{0});
    std::stable_sort(order.begin(), order.end(), [&](std::int64_t a, std::int64_t b) { return length[a] > length[b]; });
    std::vector<std::int64_t> ranked(static_cast<std::size_t>(B));
    for (std::int64_t r = 0; r < B; ++r) ranked[r] = length[order[r]];

    // States per rank in sections of the blocks' widths, their padding zero;
    // h in two buffers, one read and one written per step.
    const std::size_t states = static_cast<std::size_t>(B * section_);
    std::vector<float> h_even(states, 0.0f), h_odd(states, 0.0f), c(states, 0.0f);
    std::vector<const float*> pre(static_cast<std::size_t>(B), nullptr);
    std::vector<float*> out(static_cast<std::size_t>(B), nullptr);
    for (int d = 0; d < 2; ++d) {
        for (std::int64_t r = 0; r < B; ++r) {
            const std::int64_t offset = (d * B + order[r]) * H;
            if (state.h0 != nullptr) std::copy_n(state.h0 + offset, H, h_even.data() + r * section_);
            else std::fill_n(h_even.data() + r * section_, H, 0.0f);
            if (state.c0 != nullptr) std::copy_n(state.c0 + offset, H, c.data() + r * section_);
            else std::fill_n(c.data() + r * section_, H, 0.0f);
        }
        if (projection != nullptr) {
            Direction job{};
            job.projection = projection;
            job.rows = rows;
            job.projection_offset = d * 4 * H;
            job.w_hh_t = w_hh_t_[d].data();
            job.blocks = blocks_.data();
            job.block_count = static_cast<std::int64_t>(blocks_.size());
            job.hidden = H;
            job.section = section_;
            job.steps = T;
            job.batch = B;
            job.order = order.data();
            job.lengths = ranked.data();
            job.reverse = d == 1;
            job.h[0] = h_even.data();
            job.h[1] = h_odd.data();
            job.c = c.data();
            job.pre = pre.data();
            job.out = out.data();
            job.output = output;
            job.output_offset = d * H;
            run_direction(job, kernel_);
        }
        for (std::int64_t r = 0; r < B; ++r) {
            const std::int64_t offset = (d * B + order[r]) * H;
            // A sequence of n steps last wrote its h into buffer n % 2.
            const float* h = (ranked[r] % 2 == 0 ? h_even : h_odd).data() + r * section_;
            if (state.h_n != nullptr) std::copy_n(h, H, state.h_n + offset);
            if (state.c_n != nullptr) std::copy_n(c.data() + r * section_, H, state.c_n + offset);
        }
    }
}

// One cell step over rows whose gate pre-activations are laid out i, f, g, o
// with `hidden` floats per section; the last vector of a section is read and
// written partially, so no padding is needed.
namespace {

template <class V>
QUELBIN_ALWAYS_INLINE void cell_rows(const LstmCellRows& job) {
    const std::int64_t H = job.hidden;
    for (std::int64_t r = 0; r < job.rows; ++r) {
        const float* g = job.gates + r * job.gate_stride;
        float* c = job.c + r * job.state_stride;
        float* h = job.h + r * job.state_stride;
        for (std::int64_t k = 0; k < H; k += VectorOf<V>::lanes) {
            const std::int64_t n = std::min<std::int64_t>(VectorOf<V>::lanes, H - k);
            const V in_gate = sigmoid_vector<V>(load_part<V>(g + k, n));
            const V forget_gate = sigmoid_vector<V>(load_part<V>(g + H + k, n));
            const V cell_gate = tanh_vector<V>(load_part<V>(g + 2 * H + k, n));
            const V out_gate = sigmoid_vector<V>(load_part<V>(g + 3 * H + k, n));
            const V cell = forget_gate * load_part<V>(c + k, n) + in_gate * cell_gate;
            store_part<V>(c + k, cell, n);
            store_part<V>(h + k, out_gate * tanh_vector<V>(cell), n);
        }
    }
}

template <class V>
QUELBIN_ALWAYS_INLINE void highway_combine(const HighwayRows& job) {
    const std::int64_t W = job.width;
    for (std::int64_t r = 0; r < job.rows; ++r) {
        const float* o = job.lstm + job.lstm_rows[r] * W;
        const float* g = job.gate + r * job.pre_stride;
        const float* t = job.transform + r * job.pre_stride;
        float* out = job.out + r * W;
        for (std::int64_t k = 0; k < W; k += VectorOf<V>::lanes) {
            const std::int64_t n = std::min<std::int64_t>(VectorOf<V>::lanes, W - k);
            const V value = load_part<V>(o + k, n) +
                            sigmoid_vector<V>(load_part<V>(g + k, n)) * tanh_vector<V>(load_part<V>(t + k, n));
            store_part<V>(out + k, value, n);
        }
    }
}

#ifdef QUELBIN_X86_KERNELS
QUELBIN_TARGET_V4 void cell_rows_avx512(const LstmCellRows& job) {
    cell_rows<Wide>(job);
}
#endif
QUELBIN_CLONES_V3 void cell_rows_portable(const LstmCellRows& job) {
    cell_rows<Lanes>(job);
}

#ifdef QUELBIN_X86_KERNELS
QUELBIN_TARGET_V4 void highway_avx512(const HighwayRows& job) {
    highway_combine<Wide>(job);
}
#endif
QUELBIN_CLONES_V3 void highway_portable(const HighwayRows& job) {
    highway_combine<Lanes>(job);
}

}  // namespace

void lstm_cell_rows(const LstmCellRows& job) {
#ifdef QUELBIN_X86_KERNELS
    if (cpu_has_avx512()) {
        cell_rows_avx512(job);
        return;
    }
#endif
    cell_rows_portable(job);
}

void highway_rows(const HighwayRows& job) {
#ifdef QUELBIN_X86_KERNELS
    if (cpu_has_avx512()) {
        highway_avx512(job);
        return;
    }
#endif
    highway_portable(job);
}

}  // namespace quelbin::detail
