// Products of row-major matrices whose both operands run along their rows,
// C += A B^T, as the character LM's recurrence needs them (B is a weight matrix
// such as W_hh [4H, H] read in place). Single-threaded, and the order of every
// sum is fixed by the shapes alone, so the results never depend on how many
// threads the caller runs or on which of them computes what.
#pragma once

#include <cstdint>

namespace quelbin::detail {

// c[i * ldc + j] += sum over k < depth of a[i * lda + k] * b[j * ldb + k], for
// i < rows and j < columns.
void add_row_products(const float* a, std::int64_t lda, const float* b, std::int64_t ldb, float* c,
                      std::int64_t ldc, std::int64_t rows, std::int64_t columns, std::int64_t depth);

}  // namespace quelbin::detail
