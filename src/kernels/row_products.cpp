// C += A B^T in tiles of R rows of A by C rows of B: each tile keeps R x C
// vector accumulators running along the shared dimension, then sums their lanes.
// A tile of B stays in the first-level cache while every tile of A passes it.
#include "kernels/row_products.hpp"

#include "kernels/simd.hpp"

#include <cstring>

namespace quelbin::detail {
namespace {

typedef float Vec __attribute__((vector_size(64)));
constexpr std::int64_t kLanes = 16;

QUELBIN_ALWAYS_INLINE Vec load(const float* p) {
    Vec v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

QUELBIN_ALWAYS_INLINE float lane_sum(const Vec& v) {
    float half[8];
    for (int i = 0; i < 8; ++i) half[i] = v[i] + v[i + 8];
    float quarter[4];
    for (int i = 0; i < 4; ++i) quarter[i] = half[i] + half[i + 4];
    return (quarter[0] + quarter[2]) + (quarter[1] + quarter[3]);
}

struct Operands {
    const float* a;
    std::int64_t lda;
    const float* b;
    std::int64_t ldb;
    float* c;
    std::int64_t ldc;
    std::int64_t depth;
};

template <int R, int C>
QUELBIN_ALWAYS_INLINE void tile(const Operands& op, std::int64_t i, std::int64_t j) {
    Vec sum[R][C];
    for (int r = 0; r < R; ++r) {
        for (int q = 0; q < C; ++q) sum[r][q] = Vec{};
    }
    const float* a = op.a + i * op.lda;
    const float* b = op.b + j * op.ldb;
    const std::int64_t full = op.depth - op.depth % kLanes;
    for (std::int64_t k = 0; k < full; k += kLanes) {
        Vec bv[C];
        for (int q = 0; q < C; ++q) bv[q] = load(b + q * op.ldb + k);
        for (int r = 0; r < R; ++r) {
            const Vec av = load(a + r * op.lda + k);
            for (int q = 0; q < C; ++q) sum[r][q] += av * bv[q];
        }
    }
    for (int r = 0; r < R; ++r) {
        for (int q = 0; q < C; ++q) {
            float total = lane_sum(sum[r][q]);
            for (std::int64_t k = full; k < op.depth; ++k) total += a[r * op.lda + k] * b[q * op.ldb + k];
            op.c[(i + r) * op.ldc + j + q] += total;
        }
    }
}

// Rows [i, i + R) of A against every row of B in [j_begin, j_end), C at a time.
template <int R, int C>
QUELBIN_ALWAYS_INLINE void row_strip(const Operands& op, std::int64_t i, std::int64_t j, std::int64_t columns) {
    switch (columns) {
        case 1: tile<R, 1>(op, i, j); break;
        case 2: if constexpr (C >= 2) tile<R, 2>(op, i, j); break;
        case 3: if constexpr (C >= 3) tile<R, 3>(op, i, j); break;
        case 4: if constexpr (C >= 4) tile<R, 4>(op, i, j); break;
        case 5: if constexpr (C >= 5) tile<R, 5>(op, i, j); break;
        case 6: if constexpr (C >= 6) tile<R, 6>(op, i, j); break;
        default: break;
    }
}

template <int R, int C>
QUELBIN_ALWAYS_INLINE void products(const Operands& op, std::int64_t rows, std::int64_t columns) {
    for (std::int64_t j = 0; j < columns; j += C) {
        const std::int64_t width = columns - j < C ? columns - j : C;
        std::int64_t i = 0;
        for (; i + R <= rows; i += R) row_strip<R, C>(op, i, j, width);
        switch (rows - i) {
            case 1: row_strip<1, C>(op, i, j, width); break;
            case 2: if constexpr (R > 2) row_strip<2, C>(op, i, j, width); break;
            case 3: if constexpr (R > 3) row_strip<3, C>(op, i, j, width); break;
            default: break;
        }
    }
}

#ifdef QUELBIN_X86_KERNELS
QUELBIN_TARGET_V4 void products_avx512(const Operands& op, std::int64_t rows,
                                                                std::int64_t columns) {
    products<4, 6>(op, rows, columns);  // 24 accumulators of the 32 vector registers
}
#endif
QUELBIN_CLONES_V3 void products_portable(const Operands& op, std::int64_t rows, std::int64_t columns) {
    products<2, 3>(op, rows, columns);
}

}  // namespace

void add_row_products(const float* a, std::int64_t lda, const float* b, std::int64_t ldb, float* c,
                      std::int64_t ldc, std::int64_t rows, std::int64_t columns, std::int64_t depth) {
    if (rows <= 0 || columns <= 0) return;
    const Operands op{a, lda, b, ldb, c, ldc, depth};
#ifdef QUELBIN_X86_KERNELS
    if (cpu_has_avx512()) {
        products_avx512(op, rows, columns);
        return;
    }
#endif
    products_portable(op, rows, columns);
}

}  // namespace quelbin::detail
