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

// Gate sections are padded to the widest kernel's vector width.
constexpr std::int64_t kSectionLanes = 16;

// Columns of W_hh^T per panel: a panel's H x kBlock floats stay in L1 while it
// is applied to every active sequence.
constexpr std::int64_t kBlock = 64;

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

// One cell step of one sequence. g holds the pre-activations of the four gates
// (i, f, g, o), each section `section` floats wide (a multiple of the vector
// width, zero past the hidden size); c and h (also `section` wide) advance one
// step, and out (as wide; may be h itself) receives the new h.
template <class V>
QUELBIN_ALWAYS_INLINE void lstm_cell(const float* g, float* c, float* h, float* out, std::int64_t section) {
    for (std::int64_t k = 0; k < section; k += VectorOf<V>::lanes) {
        const V in_gate = sigmoid_vector<V>(load<V>(g + k));
        const V forget_gate = sigmoid_vector<V>(load<V>(g + section + k));
        const V cell_gate = tanh_vector<V>(load<V>(g + 2 * section + k));
        const V out_gate = sigmoid_vector<V>(load<V>(g + 3 * section + k));
        const V cell = forget_gate * load<V>(c + k) + in_gate * cell_gate;
        const V hidden = out_gate * tanh_vector<V>(cell);
        store<V>(c + k, cell);
        store<V>(h + k, hidden);
        store<V>(out + k, hidden);
    }
}

// One direction over a batch whose sequences are ranked by length, longest
// first, so that the sequences still running at step s are a prefix.
struct Direction {
    const float* projection;          // [B * T][8H]: x W_ih^T + biases, both directions
    std::int64_t projection_stride;   // 8H
    std::int64_t projection_offset;   // 0 forward, 4H backward
    const float* w_hh_t;              // [row / kBlock][H][kBlock]: panels of W_hh^T, see BiLstm
    std::int64_t hidden;              // H
    std::int64_t section;             // H rounded up to kSectionLanes
    std::int64_t row;                 // 4 * section rounded up to kBlock
    std::int64_t steps;               // T
    std::int64_t batch;
    const std::int64_t* order;        // rank -> batch row
    const std::int64_t* lengths;      // per rank, descending
    bool reverse;
    float* h;                         // [B][section] per rank
    float* c;                         // [B][section] per rank
    float* gates;                     // [B][row] per rank, scratch
    const float** pre;                // [B] per rank, scratch
    float* output;                    // [B * T][2H]
    std::int64_t output_offset;       // 0 forward, H backward
};

// The portable recurrent product, eight lanes at a time: panel by panel, two
// sequences share each weight loaded.
struct LaneRecurrence {
    using Vector = Lanes;

    // g[0, kBlock) = pre[0, kBlock) + sum over k of h[k] * panel[k * kBlock + (0, kBlock)].
    static QUELBIN_ALWAYS_INLINE void block(const float* h, std::int64_t hidden, const float* panel, const float* pre,
                                            float* g) {
        Lanes a[8];
#pragma GCC unroll 8
        for (int v = 0; v < 8; ++v) a[v] = load<Lanes>(pre + 8 * v);
        for (std::int64_t k = 0; k < hidden; ++k) {
            const Lanes hk = splat<Lanes>(h[k]);
            const float* row = panel + k * kBlock;
#pragma GCC unroll 8
            for (int v = 0; v < 8; ++v) a[v] += hk * load<Lanes>(row + 8 * v);
        }
#pragma GCC unroll 8
        for (int v = 0; v < 8; ++v) store<Lanes>(g + 8 * v, a[v]);
    }

    // The same for two sequences over half a panel: each weight loaded feeds
    // both, which keeps the multipliers rather than the loads busy.
    static QUELBIN_ALWAYS_INLINE void half_block_pair(const float* h0, const float* h1, std::int64_t hidden,
                                                      const float* panel, const float* pre0, const float* pre1,
                                                      float* g0, float* g1) {
        Lanes a[4];
        Lanes b[4];
#pragma GCC unroll 8
        for (int v = 0; v < 4; ++v) {
            a[v] = load<Lanes>(pre0 + 8 * v);
            b[v] = load<Lanes>(pre1 + 8 * v);
        }
        for (std::int64_t k = 0; k < hidden; ++k) {
            const Lanes x = splat<Lanes>(h0[k]);
            const Lanes y = splat<Lanes>(h1[k]);
            const float* row = panel + k * kBlock;
#pragma GCC unroll 8
            for (int v = 0; v < 4; ++v) {
                const Lanes w = load<Lanes>(row + 8 * v);
                a[v] += x * w;
                b[v] += y * w;
            }
        }
#pragma GCC unroll 8
        for (int v = 0; v < 4; ++v) {
            store<Lanes>(g0 + 8 * v, a[v]);
            store<Lanes>(g1 + 8 * v, b[v]);
        }
    }

    static QUELBIN_ALWAYS_INLINE void add(const Direction& job, std::int64_t active) {
        const std::int64_t H = job.hidden;
        const std::int64_t row = job.row;
        // Panel outermost: its floats (contiguous, so they do not contend for
        // the same cache sets) stay in L1 for every sequence.
        for (std::int64_t j0 = 0; j0 < row; j0 += kBlock) {
            const float* panel = job.w_hh_t + j0 * H;
            std::int64_t r = 0;
            for (; r + 1 < active; r += 2) {
                const float* h0 = job.h + r * job.section;
                const float* h1 = h0 + job.section;
                float* g0 = job.gates + r * row + j0;
                float* g1 = g0 + row;
                for (std::int64_t half = 0; half < kBlock; half += kBlock / 2) {
                    half_block_pair(h0, h1, H, panel + half, job.pre[r] + j0 + half, job.pre[r + 1] + j0 + half,
                                    g0 + half, g1 + half);
                }
            }
            if (r < active) block(job.h + r * job.section, H, panel, job.pre[r] + j0, job.gates + r * row + j0);
        }
    }
};

// The AVX-512 recurrent product: sixteen lanes and 32 registers hold a tile of
// up to four sequences by one panel in accumulators, so each weight loaded
// feeds four products. Same arithmetic, in the same order per column.
struct WideRecurrence {
    using Vector = Wide;
    static constexpr int kPanelVectors = kBlock / 16;

    template <int Count>
    static QUELBIN_ALWAYS_INLINE void tile(const float* const* h, std::int64_t hidden, const float* panel,
                                           const float* const* pre, float* const* g) {
        Wide acc[Count][kPanelVectors];
#pragma GCC unroll 4
        for (int s = 0; s < Count; ++s) {
#pragma GCC unroll 4
            for (int v = 0; v < kPanelVectors; ++v) acc[s][v] = load<Wide>(pre[s] + v * 16);
        }
        for (std::int64_t k = 0; k < hidden; ++k) {
            Wide w[kPanelVectors];
#pragma GCC unroll 4
            for (int v = 0; v < kPanelVectors; ++v) w[v] = load<Wide>(panel + k * kBlock + v * 16);
#pragma GCC unroll 4
            for (int s = 0; s < Count; ++s) {
                const Wide x = splat<Wide>(h[s][k]);
#pragma GCC unroll 4
                for (int v = 0; v < kPanelVectors; ++v) acc[s][v] += x * w[v];
            }
        }
#pragma GCC unroll 4
        for (int s = 0; s < Count; ++s) {
#pragma GCC unroll 4
            for (int v = 0; v < kPanelVectors; ++v) store<Wide>(g[s] + v * 16, acc[s][v]);
        }
    }

    static QUELBIN_ALWAYS_INLINE void add(const Direction& job, std::int64_t active) {
        // Tiles of four sequences, one panel at a time.
        for (std::int64_t r = 0; r < active; r += 4) {
            const int count = static_cast<int>(std::min<std::int64_t>(4, active - r));
            const float* h[4];
            const float* pre[4];
            float* g[4];
            for (std::int64_t j0 = 0; j0 < job.row; j0 += kBlock) {
                for (int i = 0; i < count; ++i) {
                    h[i] = job.h + (r + i) * job.section;
                    pre[i] = job.pre[r + i] + j0;
                    g[i] = job.gates + (r + i) * job.row + j0;
                }
                const float* panel = job.w_hh_t + j0 * job.hidden;
                switch (count) {
                    case 4: tile<4>(h, job.hidden, panel, pre, g); break;
                    case 3: tile<3>(h, job.hidden, panel, pre, g); break;
                    case 2: tile<2>(h, job.hidden, panel, pre, g); break;
                    default: tile<1>(h, job.hidden, panel, pre, g); break;
                }
            }
        }
    }
};

// The recurrence of one direction, step by step, with the recurrent product of
// `Recurrence` and the cell in its vector width.
template <class Recurrence>
QUELBIN_ALWAYS_INLINE void run_steps(const Direction& job) {
    const std::int64_t H = job.hidden;
    const std::int64_t section = job.section;
    const std::int64_t row = job.row;
    const std::int64_t* const lengths = job.lengths;
    // Pre-activations are read straight from the projection when its gate
    // columns already have the panel layout (4H a whole number of panels),
    // else copied into that layout once per step.
    const bool aligned = section == H && row == 4 * H;
    std::int64_t active = job.batch;
    const std::int64_t longest = job.batch > 0 ? lengths[0] : 0;
    for (std::int64_t s = 0; s < longest; ++s) {
        while (active > 0 && lengths[active - 1] <= s) --active;
        auto position = [&](std::int64_t r) {
            return job.order[r] * job.steps + (job.reverse ? lengths[r] - 1 - s : s);
        };
        for (std::int64_t r = 0; r < active; ++r) {
            const float* pre = job.projection + position(r) * job.projection_stride + job.projection_offset;
            if (aligned) {
                job.pre[r] = pre;
                continue;
            }
            float* g = job.gates + r * row;
            for (int q = 0; q < 4; ++q) {
                for (std::int64_t k = 0; k < H; ++k) g[q * section + k] = pre[q * H + k];
            }
            job.pre[r] = g;
        }
        Recurrence::add(job, active);
        for (std::int64_t r = 0; r < active; ++r) {
            float* h = job.h + r * section;
            float* out = job.output + position(r) * 2 * H + job.output_offset;
            lstm_cell<typename Recurrence::Vector>(job.gates + r * row, job.c + r * section, h, aligned ? out : h,
                                                   section);
            if (!aligned) {
                for (std::int64_t k = 0; k < H; ++k) out[k] = h[k];
            }
        }
    }
}

QUELBIN_CLONES_V3 void run_direction_portable(const Direction& job) {
    run_steps<LaneRecurrence>(job);
}

#ifdef QUELBIN_X86_KERNELS
QUELBIN_TARGET_V4 void run_direction_avx512(const Direction& job) {
    run_steps<WideRecurrence>(job);
}
#endif

void run_direction(const Direction& job, LstmKernel kernel) {
#ifdef QUELBIN_X86_KERNELS
    if (kernel != LstmKernel::portable && cpu_has_avx512()) {
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

BiLstm::BiLstm(const std::vector<at::Tensor>& weights, LstmKernel kernel) : kernel_(kernel) {
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
    section_ = (hidden_ + kSectionLanes - 1) / kSectionLanes * kSectionLanes;
    row_ = (4 * section_ + kBlock - 1) / kBlock * kBlock;
    for (int d = 0; d < 2; ++d) {
        const at::Tensor w_hh = weights[4 * d + 1].contiguous();
        const float* source = w_hh.const_data_ptr<float>();
        std::vector<float>& target = w_hh_t_[d];
        target.assign(static_cast<std::size_t>(hidden_ * row_), 0.0f);
        for (std::int64_t j = 0; j < G; ++j) {
            const std::int64_t column = j / hidden_ * section_ + j % hidden_;
            float* panel = target.data() + column / kBlock * kBlock * hidden_ + column % kBlock;
            for (std::int64_t k = 0; k < hidden_; ++k) panel[k * kBlock] = source[j * hidden_ + k];
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
    run_raw(projection.defined() ? projection.const_data_ptr<float>() : nullptr, B, T, lengths, state,
            result.output.mutable_data_ptr<float>());
    return result;
}

void BiLstm::run_projected(const float* projection, std::int64_t B, std::int64_t T, const std::int64_t* lengths,
                           float* output) const {
    check_lengths(lengths, B, T);
    run_raw(B > 0 && T > 0 ? projection : nullptr, B, T, lengths, State{}, output);
}

void BiLstm::run_raw(const float* projection, std::int64_t B, std::int64_t T, const std::int64_t* lengths,
                     const State& state, float* output) const {
    const std::int64_t H = hidden_;
    std::vector<std::int64_t> length(static_cast<std::size_t>(B), T);
    if (lengths != nullptr) std::copy_n(lengths, B, length.begin());
    std::vector<std::int64_t> order(static_cast<std::size_t>(B));
    std::iota(order.begin(), order.end(), std::int64_t{0});
    std::stable_sort(order.begin(), order.end(), [&](std::int64_t a, std::int64_t b) { return length[a] > length[b]; });
    std::vector<std::int64_t> ranked(static_cast<std::size_t>(B));
    for (std::int64_t r = 0; r < B; ++r) ranked[r] = length[order[r]];

    // States and gates per rank, in lane-aligned sections whose tails stay zero.
    std::vector<float> h(static_cast<std::size_t>(B * section_), 0.0f);
    std::vector<float> c(static_cast<std::size_t>(B * section_), 0.0f);
    std::vector<float> gates(static_cast<std::size_t>(B * row_), 0.0f);
    std::vector<const float*> pre(static_cast<std::size_t>(B), nullptr);
    for (int d = 0; d < 2; ++d) {
        for (std::int64_t r = 0; r < B; ++r) {
            const std::int64_t offset = (d * B + order[r]) * H;
            if (state.h0 != nullptr) std::copy_n(state.h0 + offset, H, h.data() + r * section_);
            else std::fill_n(h.data() + r * section_, H, 0.0f);
            if (state.c0 != nullptr) std::copy_n(state.c0 + offset, H, c.data() + r * section_);
            else std::fill_n(c.data() + r * section_, H, 0.0f);
        }
        if (projection != nullptr) {
            Direction job{};
            job.projection = projection;
            job.projection_stride = 8 * H;
            job.projection_offset = d * 4 * H;
            job.w_hh_t = w_hh_t_[d].data();
            job.hidden = H;
            job.section = section_;
            job.row = row_;
            job.steps = T;
            job.batch = B;
            job.order = order.data();
            job.lengths = ranked.data();
            job.reverse = d == 1;
            job.h = h.data();
            job.c = c.data();
            job.gates = gates.data();
            job.pre = pre.data();
            job.output = output;
            job.output_offset = d * H;
            run_direction(job, kernel_);
        }
        for (std::int64_t r = 0; r < B; ++r) {
            const std::int64_t offset = (d * B + order[r]) * H;
            if (state.h_n != nullptr) std::copy_n(h.data() + r * section_, H, state.h_n + offset);
            if (state.c_n != nullptr) std::copy_n(c.data() + r * section_, H, state.c_n + offset);
        }
    }
}


// One cell step over rows whose gate pre-activations are laid out i, f, g, o
// with `hidden` floats per section; the last vector of a section is read and
// written partially, so no padding is needed.
namespace {

template <class V>
QUELBIN_ALWAYS_INLINE V load_part(const float* p, std::int64_t count) {
    if (count == VectorOf<V>::lanes) return load<V>(p);
    V v{};
    std::memcpy(&v, p, static_cast<std::size_t>(count) * sizeof(float));
    return v;
}

template <class V>
QUELBIN_ALWAYS_INLINE void store_part(float* p, const V& v, std::int64_t count) {
    std::memcpy(p, &v, static_cast<std::size_t>(count) * sizeof(float));
}

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

#ifdef QUELBIN_X86_KERNELS
QUELBIN_TARGET_V4 void cell_rows_avx512(const LstmCellRows& job) {
    cell_rows<Wide>(job);
}
#endif
QUELBIN_CLONES_V3 void cell_rows_portable(const LstmCellRows& job) {
    cell_rows<Lanes>(job);
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

}  // namespace quelbin::detail
