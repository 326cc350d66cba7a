// Dense products over strided views, the engine's own kernels (no BLAS
// library). A view with unit stride along one axis (row-major or
// column-major, any leading dimension) goes to a vectorised kernel compiled
// per instruction-set level; any other layout to a plain loop over the
// strides. The layout is decided once per call, not per element. Each
// function's result is bitwise the same at every instruction-set level
// (kernels.cpp gives each kernel's order of summation); layouts may differ
// in the last bits.
#pragma once

#include <cstddef>

#include "engine/matrix.hpp"

namespace tarvex {

// y[i] = Σ_c a(i, c)·x[c] for i < a.rows; x is dense with a.cols entries.
// A column-major a (unit row stride, as X is when fitted from a DataFrame)
// is swept four columns at a time (four streams of X side by side), a
// row-major one row by row.
void matvec(MatrixView a, const double* x, double* y);

// out (r × a.cols, row-major) = Dᵀ·a, where D is a.rows × r stored column by
// column (column q at d + q·a.rows): out[q·a.cols + c] = Σ_i d[q·a.rows + i]·a(i, c).
void transposed_product(const double* d, std::size_t r, MatrixView a, double* out);

// out (a.rows × b.cols, row-major) = a·b. The caller checks a.cols == b.rows.
// A blocked kernel (b copied into panels of eight columns, four rows of a at
// a time), for the delta method's k × k products.
void matmul(MatrixView a, MatrixView b, double* out);

}  // namespace tarvex
