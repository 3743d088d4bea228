#include "tokenize/bilstm.hpp"

#include <ATen/ops/addmm.h>
#include <ATen/ops/cat.h>
#include <ATen/ops/empty.h>
#include <ATen/ops/zeros.h>
#include <c10/util/Exception.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numeric>

// Vector extensions return 32-byte vectors from inline helpers; their ABI never
// crosses this file.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wpsabi"
#endif

namespace quelbin::detail {
namespace {

// Eight floats (eight lanes of unsigned bits for the exponent tricks). The
// compiler maps them onto whatever vector registers the target has.
typedef float Lanes __attribute__((vector_size(32)));
typedef std::uint32_t LaneBits __attribute__((vector_size(32)));
constexpr std::int64_t kLanes = 8;
// Gate sections are padded to the widest kernel's vector width.
constexpr std::int64_t kSectionLanes = 16;

// Columns of W_hh^T per block of the recurrent product: eight accumulators of
// eight lanes stay in registers, and the block's rows stay in L1 while it is
// applied to every active sequence.
constexpr std::int64_t kBlock = 8 * kLanes;

inline Lanes load_lanes(const float* p) {
    Lanes v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

inline void store_lanes(float* p, const Lanes& v) { std::memcpy(p, &v, sizeof v); }

inline Lanes splat(float value) { return Lanes{} + value; }

// exp(x) to about one ulp: x = n ln2 + r with |r| <= ln2/2, a polynomial for
// exp(r), and 2^n built in the exponent bits. Arguments are clamped to
// [-87, 88], where 2^n stays a normal float and the result finite.
inline Lanes exp_lanes(Lanes x) {
    x = x < splat(-87.0f) ? splat(-87.0f) : x;
    x = x > splat(88.0f) ? splat(88.0f) : x;
    // Adding 1.5 * 2^23 rounds x / ln2 to an integer held in the low mantissa bits.
    const Lanes shifted = x * 1.44269504088896341f + 12582912.0f;
    const Lanes n = shifted - 12582912.0f;
    Lanes r = x - n * 0.693359375f;
    r = r + n * 2.12194440e-4f;
    Lanes p = splat(1.9875691500e-4f);
    p = p * r + 1.3981999507e-3f;
    p = p * r + 8.3334519073e-3f;
    p = p * r + 4.1665795894e-2f;
    p = p * r + 1.6666665459e-1f;
    p = p * r + 5.0000001201e-1f;
    const Lanes y = p * (r * r) + r + 1.0f;
    const LaneBits scale = ((LaneBits)shifted - 0x4B400000u + 127u) << 23;
    return y * (Lanes)scale;
}

inline Lanes sigmoid_lanes(Lanes x) { return 1.0f / (1.0f + exp_lanes(-x)); }

// tanh(x) = 2 sigmoid(2x) - 1, within about 1e-7 of the exact value.
inline Lanes tanh_lanes(Lanes x) { return 2.0f / (1.0f + exp_lanes(-(x + x))) - 1.0f; }

// g[0, kBlock) = pre[0, kBlock) + sum over k of h[k] * panel[k * kBlock + (0, kBlock)].
inline void add_recurrent_block(const float* h, std::int64_t hidden, const float* panel, const float* pre,
                                float* g) {
    Lanes a0 = load_lanes(pre), a1 = load_lanes(pre + 8), a2 = load_lanes(pre + 16), a3 = load_lanes(pre + 24);
    Lanes a4 = load_lanes(pre + 32), a5 = load_lanes(pre + 40), a6 = load_lanes(pre + 48), a7 = load_lanes(pre + 56);
    for (std::int64_t k = 0; k < hidden; ++k) {
        const Lanes hk = splat(h[k]);
        const float* row = panel + k * kBlock;
        a0 += hk * load_lanes(row);
        a1 += hk * load_lanes(row + 8);
        a2 += hk * load_lanes(row + 16);
        a3 += hk * load_lanes(row + 24);
        a4 += hk * load_lanes(row + 32);
        a5 += hk * load_lanes(row + 40);
        a6 += hk * load_lanes(row + 48);
        a7 += hk * load_lanes(row + 56);
    }
    store_lanes(g, a0);
    store_lanes(g + 8, a1);
    store_lanes(g + 16, a2);
    store_lanes(g + 24, a3);
    store_lanes(g + 32, a4);
    store_lanes(g + 40, a5);
    store_lanes(g + 48, a6);
    store_lanes(g + 56, a7);
}

// The same for two sequences over half a block (kBlock / 2 columns): each
// weight loaded feeds both, which keeps the multipliers rather than the loads busy.
inline void add_recurrent_half_block_pair(const float* h0, const float* h1, std::int64_t hidden,
                                          const float* panel, const float* pre0, const float* pre1, float* g0,
                                          float* g1) {
    Lanes a0 = load_lanes(pre0), a1 = load_lanes(pre0 + 8), a2 = load_lanes(pre0 + 16), a3 = load_lanes(pre0 + 24);
    Lanes b0 = load_lanes(pre1), b1 = load_lanes(pre1 + 8), b2 = load_lanes(pre1 + 16), b3 = load_lanes(pre1 + 24);
    for (std::int64_t k = 0; k < hidden; ++k) {
        const Lanes x = splat(h0[k]);
        const Lanes y = splat(h1[k]);
        const float* row = panel + k * kBlock;
        const Lanes w0 = load_lanes(row), w1 = load_lanes(row + 8), w2 = load_lanes(row + 16),
                    w3 = load_lanes(row + 24);
        a0 += x * w0;
        b0 += y * w0;
        a1 += x * w1;
        b1 += y * w1;
        a2 += x * w2;
        b2 += y * w2;
        a3 += x * w3;
        b3 += y * w3;
    }
    store_lanes(g0, a0);
    store_lanes(g0 + 8, a1);
    store_lanes(g0 + 16, a2);
    store_lanes(g0 + 24, a3);
    store_lanes(g1, b0);
    store_lanes(g1 + 8, b1);
    store_lanes(g1 + 16, b2);
    store_lanes(g1 + 24, b3);
}

// One cell step of one sequence. g holds the pre-activations of the four gates
// (i, f, g, o), each section `section` floats wide (a multiple of kLanes, zero
// past the hidden size); c and h (also `section` wide) advance one step, and
// out (as wide; may be h itself) receives the new h.
inline void lstm_cell(const float* g, float* c, float* h, float* out, std::int64_t section) {
    for (std::int64_t k = 0; k < section; k += kLanes) {
        const Lanes in_gate = sigmoid_lanes(load_lanes(g + k));
        const Lanes forget_gate = sigmoid_lanes(load_lanes(g + section + k));
        const Lanes cell_gate = tanh_lanes(load_lanes(g + 2 * section + k));
        const Lanes out_gate = sigmoid_lanes(load_lanes(g + 3 * section + k));
        const Lanes cell = forget_gate * load_lanes(c + k) + in_gate * cell_gate;
        const Lanes hidden = out_gate * tanh_lanes(cell);
        store_lanes(c + k, cell);
        store_lanes(h + k, hidden);
        store_lanes(out + k, hidden);
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
    std::int64_t section;             // H rounded up to kLanes
    std::int64_t row;                 // 4 * section rounded up to kBlock
    std::int64_t steps;               // T
    std::int64_t batch;
    const std::int64_t* order;        // rank -> batch row
    const std::int64_t* lengths;      // per rank, descending
    bool reverse;
    float* h;                         // [B][section] per rank
    float* c;                         // [B][section] per rank
    float* gates;                     // [B][row] per rank, scratch
    float* output;                    // [B * T][2H]
    std::int64_t output_offset;       // 0 forward, H backward
};

#if defined(__GNUC__) && defined(__x86_64__) && !defined(__clang__)
__attribute__((target_clones("arch=x86-64-v3", "default")))
#endif
void run_direction_portable(const Direction& job) {
    const std::int64_t H = job.hidden;
    const std::int64_t section = job.section;
    const std::int64_t row = job.row;
    const std::int64_t steps = job.steps;
    const std::int64_t* const lengths = job.lengths;
    const std::int64_t* const order = job.order;
    const bool reverse = job.reverse;
    float* const gates = job.gates;
    std::int64_t active = job.batch;
    const std::int64_t longest = job.batch > 0 ? lengths[0] : 0;
    for (std::int64_t s = 0; s < longest; ++s) {
        while (active > 0 && lengths[active - 1] <= s) --active;
        auto position = [&](std::int64_t r) { return order[r] * steps + (reverse ? lengths[r] - 1 - s : s); };
        // Pre-activations: read straight from the projection when its gate
        // columns already have the panel layout (4H a whole number of panels),
        // else copied into that layout once per step.
        const bool aligned = section == H && row == 4 * H;
        const std::int64_t pre_stride = aligned ? 0 : row;
        for (std::int64_t r = 0; r < active && !aligned; ++r) {
            const float* pre = job.projection + position(r) * job.projection_stride + job.projection_offset;
            float* g = gates + r * row;
            for (int q = 0; q < 4; ++q) {
                for (std::int64_t k = 0; k < H; ++k) g[q * section + k] = pre[q * H + k];
            }
        }
        auto pre_of = [&](std::int64_t r) {
            return aligned ? job.projection + position(r) * job.projection_stride + job.projection_offset
                           : gates + r * pre_stride;
        };
        // Panel outermost: its H x kBlock floats (contiguous, so they do not
        // contend for the same cache sets) stay in L1 for every sequence.
        for (std::int64_t j0 = 0; j0 < row; j0 += kBlock) {
            const float* panel = job.w_hh_t + j0 * H;
            std::int64_t r = 0;
            for (; r + 1 < active; r += 2) {
                const float* h0 = job.h + r * section;
                const float* h1 = h0 + section;
                const float* pre0 = pre_of(r) + j0;
                const float* pre1 = pre_of(r + 1) + j0;
                float* g0 = gates + r * row + j0;
                float* g1 = g0 + row;
                add_recurrent_half_block_pair(h0, h1, H, panel, pre0, pre1, g0, g1);
                add_recurrent_half_block_pair(h0, h1, H, panel + kBlock / 2, pre0 + kBlock / 2, pre1 + kBlock / 2,
                                              g0 + kBlock / 2, g1 + kBlock / 2);
            }
            if (r < active) add_recurrent_block(job.h + r * section, H, panel, pre_of(r) + j0, gates + r * row + j0);
        }
        for (std::int64_t r = 0; r < active; ++r) {
            float* h = job.h + r * section;
            float* out = job.output + position(r) * 2 * H + job.output_offset;
            lstm_cell(gates + r * row, job.c + r * section, h, aligned ? out : h, section);
            if (!aligned) {
                for (std::int64_t k = 0; k < H; ++k) out[k] = h[k];
            }
        }
    }
}

#if defined(__GNUC__) && defined(__x86_64__) && !defined(__clang__)
#define QUELBIN_LSTM_AVX512 1
// The AVX-512 kernel: 16-lane vectors and 32 registers hold a tile of up to
// four sequences by one panel (64 columns) in accumulators, so each weight
// loaded feeds four products. Same arithmetic, in the same order per column,
// as the portable kernel.
#pragma GCC push_options
#pragma GCC target("arch=x86-64-v4")

typedef float Wide __attribute__((vector_size(64)));
typedef std::uint32_t WideBits __attribute__((vector_size(64)));
constexpr int kWideLanes = 16;
constexpr int kPanelVectors = kBlock / kWideLanes;

#define QUELBIN_ALWAYS_INLINE inline __attribute__((always_inline))

QUELBIN_ALWAYS_INLINE Wide load_wide(const float* p) {
    Wide v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

QUELBIN_ALWAYS_INLINE void store_wide(float* p, const Wide& v) { std::memcpy(p, &v, sizeof v); }

QUELBIN_ALWAYS_INLINE Wide splat_wide(float value) { return Wide{} + value; }

// exp_lanes on 16 lanes.
QUELBIN_ALWAYS_INLINE Wide exp_wide(Wide x) {
    x = x < splat_wide(-87.0f) ? splat_wide(-87.0f) : x;
    x = x > splat_wide(88.0f) ? splat_wide(88.0f) : x;
    const Wide shifted = x * 1.44269504088896341f + 12582912.0f;
    const Wide n = shifted - 12582912.0f;
    Wide r = x - n * 0.693359375f;
    r = r + n * 2.12194440e-4f;
    Wide p = splat_wide(1.9875691500e-4f);
    p = p * r + 1.3981999507e-3f;
    p = p * r + 8.3334519073e-3f;
    p = p * r + 4.1665795894e-2f;
    p = p * r + 1.6666665459e-1f;
    p = p * r + 5.0000001201e-1f;
    const Wide y = p * (r * r) + r + 1.0f;
    const WideBits scale = ((WideBits)shifted - 0x4B400000u + 127u) << 23;
    return y * (Wide)scale;
}

QUELBIN_ALWAYS_INLINE Wide sigmoid_wide(Wide x) { return 1.0f / (1.0f + exp_wide(-x)); }

QUELBIN_ALWAYS_INLINE Wide tanh_wide(Wide x) { return 2.0f / (1.0f + exp_wide(-(x + x))) - 1.0f; }

// g[s][0, kBlock) = pre[s][0, kBlock) + sum over k of h[s][k] * panel[k][0, kBlock)
// for the tile's `Count` sequences.
template <int Count>
QUELBIN_ALWAYS_INLINE void add_recurrent_tile(const float* const* h, std::int64_t hidden, const float* panel,
                                              const float* const* pre, float* const* g) {
    Wide acc[Count][kPanelVectors];
#pragma GCC unroll 4
    for (int s = 0; s < Count; ++s) {
#pragma GCC unroll 4
        for (int v = 0; v < kPanelVectors; ++v) acc[s][v] = load_wide(pre[s] + v * kWideLanes);
    }
    for (std::int64_t k = 0; k < hidden; ++k) {
        Wide w[kPanelVectors];
#pragma GCC unroll 4
        for (int v = 0; v < kPanelVectors; ++v) w[v] = load_wide(panel + k * kBlock + v * kWideLanes);
#pragma GCC unroll 4
        for (int s = 0; s < Count; ++s) {
            const Wide x = splat_wide(h[s][k]);
#pragma GCC unroll 4
            for (int v = 0; v < kPanelVectors; ++v) acc[s][v] += x * w[v];
        }
    }
#pragma GCC unroll 4
    for (int s = 0; s < Count; ++s) {
#pragma GCC unroll 4
        for (int v = 0; v < kPanelVectors; ++v) store_wide(g[s] + v * kWideLanes, acc[s][v]);
    }
}

QUELBIN_ALWAYS_INLINE void lstm_cell_wide(const float* g, float* c, float* h, float* out, std::int64_t section) {
    for (std::int64_t k = 0; k < section; k += kWideLanes) {
        const Wide in_gate = sigmoid_wide(load_wide(g + k));
        const Wide forget_gate = sigmoid_wide(load_wide(g + section + k));
        const Wide cell_gate = tanh_wide(load_wide(g + 2 * section + k));
        const Wide out_gate = sigmoid_wide(load_wide(g + 3 * section + k));
        const Wide cell = forget_gate * load_wide(c + k) + in_gate * cell_gate;
        const Wide hidden = out_gate * tanh_wide(cell);
        store_wide(c + k, cell);
        store_wide(h + k, hidden);
        store_wide(out + k, hidden);
    }
}

void run_direction_avx512(const Direction& job) {
    const std::int64_t H = job.hidden;
    const std::int64_t section = job.section;
    const std::int64_t row = job.row;
    const std::int64_t steps = job.steps;
    const std::int64_t* const lengths = job.lengths;
    const std::int64_t* const order = job.order;
    const bool reverse = job.reverse;
    float* const gates = job.gates;
    std::int64_t active = job.batch;
    const std::int64_t longest = job.batch > 0 ? lengths[0] : 0;
    const bool aligned = section == H && row == 4 * H;
    for (std::int64_t s = 0; s < longest; ++s) {
        while (active > 0 && lengths[active - 1] <= s) --active;
        auto position = [&](std::int64_t r) { return order[r] * steps + (reverse ? lengths[r] - 1 - s : s); };
        for (std::int64_t r = 0; r < active && !aligned; ++r) {
            const float* pre = job.projection + position(r) * job.projection_stride + job.projection_offset;
            float* g = gates + r * row;
            for (int q = 0; q < 4; ++q) {
                for (std::int64_t k = 0; k < H; ++k) g[q * section + k] = pre[q * H + k];
            }
        }
        // Tiles of four sequences, one panel at a time: the panel's H x kBlock
        // floats stay in L1 for all of them.
        for (std::int64_t r = 0; r < active; r += 4) {
            const int count = static_cast<int>(std::min<std::int64_t>(4, active - r));
            const float* h[4];
            const float* pre[4];
            float* g[4];
            for (int i = 0; i < count; ++i) {
                h[i] = job.h + (r + i) * section;
                pre[i] = aligned ? job.projection + position(r + i) * job.projection_stride + job.projection_offset
                                 : gates + (r + i) * row;
                g[i] = gates + (r + i) * row;
            }
            for (std::int64_t j0 = 0; j0 < row; j0 += kBlock) {
                const float* panel = job.w_hh_t + j0 * H;
                const float* pre_j[4];
                float* g_j[4];
                for (int i = 0; i < count; ++i) {
                    pre_j[i] = pre[i] + j0;
                    g_j[i] = g[i] + j0;
                }
                switch (count) {
                    case 4: add_recurrent_tile<4>(h, H, panel, pre_j, g_j); break;
                    case 3: add_recurrent_tile<3>(h, H, panel, pre_j, g_j); break;
                    case 2: add_recurrent_tile<2>(h, H, panel, pre_j, g_j); break;
                    default: add_recurrent_tile<1>(h, H, panel, pre_j, g_j); break;
                }
            }
        }
        for (std::int64_t r = 0; r < active; ++r) {
            float* h = job.h + r * section;
            float* out = job.output + position(r) * 2 * H + job.output_offset;
            lstm_cell_wide(gates + r * row, job.c + r * section, h, aligned ? out : h, section);
            if (!aligned) {
                for (std::int64_t k = 0; k < H; ++k) out[k] = h[k];
            }
        }
    }
}

#undef QUELBIN_ALWAYS_INLINE
#pragma GCC pop_options
#endif

bool avx512_available() {
#ifdef QUELBIN_LSTM_AVX512
    static const bool available = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
                                  __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512dq");
    return available;
#else
    return false;
#endif
}

void run_direction(const Direction& job, LstmKernel kernel) {
#ifdef QUELBIN_LSTM_AVX512
    if (kernel != LstmKernel::portable && avx512_available()) {
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
    if (avx512_available()) kernels.push_back(LstmKernel::avx512);
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

}  // namespace quelbin::detail
