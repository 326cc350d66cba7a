// Dense products over strided views. Each one hands the work to CBLAS when the
// view's layout is one CBLAS can address (unit stride along one axis, a
// leading dimension at least the other extent), and otherwise runs a plain
// loop over the strides; the layout is decided once per call, not per element.
// Both paths evaluate the same sums; they may differ in the last bits.
#pragma once

#include <cstddef>

#include "engine/matrix.hpp"

namespace tarvex {

// y[i] = Σ_c a(i, c)·x[c] for i < a.rows; x is dense with a.cols entries.
// A column-major a (unit row stride, as X is when fitted from a DataFrame)
// goes to an own kernel that sweeps four columns at a time (four streams of
// X side by side); on the pass's tiles it measured faster than the BLAS
// kernel (a tenth less time for a design without dummies, where reading X
// is most of the pass).
void matvec(MatrixView a, const double* x, double* y);

// out (r × a.cols, row-major) = Dᵀ·a, where D is a.rows × r stored column by
// column (column q at d + q·a.rows): out[q·a.cols + c] = Σ_i d[q·a.rows + i]·a(i, c).
void transposed_product(const double* d, std::size_t r, MatrixView a, double* out);

// out (a.rows × b.cols, row-major) = a·b. The caller checks a.cols == b.rows.
void matmul(MatrixView a, MatrixView b, double* out);

}  // namespace tarvex
