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

// Per-row terms of a binary regressor over one tile of m rows, where one of
// the two counterfactual points is the observed predictor itself: with
// one_i = (x_i == 1), (F1, f1) = one_i ? (cdf_xb, fx) : (cdf_other, pdf_other)
// and (F0, f0) the other pair. Writes diff_i = f1_i - f0_i and returns
// Σ_i (F1_i - F0_i) and Σ_i f1_i (summed in lanes, then the lanes).
struct BinarySums {
    double delta = 0.0;
    double f1 = 0.0;
};
BinarySums binary_tile_terms(std::size_t m, const double* x, const double* cdf_xb,
                             const double* fx, const double* cdf_other,
                             const double* pdf_other, double* diff);

// other_i = xb_i + (1 - 2·x_i)·b for x_i ∈ {0, 1}: the counterfactual point
// that differs from xb (xb - b where x = 1, xb + b where x = 0). Returns
// whether every x_i is 0.0 or 1.0, as all_zero_or_one does, in the same loop.
bool binary_other_point(std::size_t m, const double* xb, const double* x, double b,
                        double* other);

// Σ x[0..m), summed in eight interleaved lanes, then the lanes.
double lane_sum(std::size_t m, const double* x);

// True when every one of x[0..m) is 0.0 or 1.0 (-0.0 included, NaN not).
bool all_zero_or_one(std::size_t m, const double* x);

// out (a.rows × b.cols, row-major) = a·b. The caller checks a.cols == b.rows.
void matmul(MatrixView a, MatrixView b, double* out);

}  // namespace tarvex
