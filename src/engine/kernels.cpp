// Dense products: CBLAS for addressable layouts, strided loops otherwise.
#include "engine/kernels.hpp"

#include "engine/isa_level.hpp"

#include <cblas.h>

#include <limits>

namespace tarvex {

namespace {

// Below this many rows a call into CBLAS costs more than the loop it replaces.
constexpr std::size_t blas_min_rows = 8;

constexpr std::ptrdiff_t blas_int_max = std::numeric_limits<blasint>::max();

bool fits_blas_int(std::size_t v) { return v <= static_cast<std::size_t>(blas_int_max); }

// How CBLAS sees a view: as a row-major matrix (unit column stride) or a
// column-major one (unit row stride), with its leading dimension.
enum class BlasLayout { None, RowMajor, ColMajor };

struct BlasOperand {
    BlasLayout layout = BlasLayout::None;
    blasint ld = 0;
};

BlasOperand blas_operand(const MatrixView& a) {
    if (a.rows == 0 || a.cols == 0 || !fits_blas_int(a.rows) || !fits_blas_int(a.cols))
        return {};
    const auto rows = static_cast<std::ptrdiff_t>(a.rows);
    const auto cols = static_cast<std::ptrdiff_t>(a.cols);
    if (a.col_stride == 1 && a.row_stride >= cols && a.row_stride <= blas_int_max)
        return {BlasLayout::RowMajor, static_cast<blasint>(a.row_stride)};
    if (a.row_stride == 1 && a.col_stride >= rows && a.col_stride <= blas_int_max)
        return {BlasLayout::ColMajor, static_cast<blasint>(a.col_stride)};
    return {};
}

// y = a·x for a column-major a (unit row stride, columns ld apart): four
// columns at a time, so that the rows of y are loaded and stored once per
// four columns and four streams of X are read side by side. The column
// pointers may alias each other (a stride of 0 repeats one column), which
// `restrict` allows since they are only read; y is the caller's own buffer.
template <IsaLevel L>
TARVEX_INLINE void column_major_matvec_body(
    std::size_t m, std::size_t k, const double* a, std::ptrdiff_t ld,
    const double* __restrict x, double* __restrict y) {
    std::size_t c = 0;
    for (; c + 4 <= k; c += 4) {
        const double* __restrict a0 = a + static_cast<std::ptrdiff_t>(c) * ld;
        const double* __restrict a1 = a0 + ld;
        const double* __restrict a2 = a1 + ld;
        const double* __restrict a3 = a2 + ld;
        const double x0 = x[c], x1 = x[c + 1], x2 = x[c + 2], x3 = x[c + 3];
        if (c == 0)
            for (std::size_t i = 0; i < m; ++i)
                y[i] = (a0[i] * x0 + a1[i] * x1) + (a2[i] * x2 + a3[i] * x3);
        else
            for (std::size_t i = 0; i < m; ++i)
                y[i] += (a0[i] * x0 + a1[i] * x1) + (a2[i] * x2 + a3[i] * x3);
    }
    for (; c < k; ++c) {
        const double* __restrict a0 = a + static_cast<std::ptrdiff_t>(c) * ld;
        const double x0 = x[c];
        if (c == 0)
            for (std::size_t i = 0; i < m; ++i) y[i] = a0[i] * x0;
        else
            for (std::size_t i = 0; i < m; ++i) y[i] += a0[i] * x0;
    }
}

TARVEX_FOR_EACH_LEVEL(void, column_major_matvec,
                      (std::size_t m, std::size_t k, const double* a, std::ptrdiff_t ld,
                       const double* x, double* y),
                      (m, k, a, ld, x, y))

}  // namespace

void matvec(MatrixView a, const double* x, double* y) {
    if (a.row_stride == 1 && a.cols > 0) {
        column_major_matvec(a.rows, a.cols, a.data, a.col_stride, x, y);
        return;
    }
    const BlasOperand op = a.rows >= blas_min_rows ? blas_operand(a) : BlasOperand{};
    const auto m = static_cast<blasint>(a.rows);
    const auto k = static_cast<blasint>(a.cols);
    if (op.layout == BlasLayout::RowMajor) {
        cblas_dgemv(CblasRowMajor, CblasNoTrans, m, k, 1.0, a.data, op.ld, x, 1, 0.0, y, 1);
        return;
    }
    if (op.layout == BlasLayout::ColMajor) {
        cblas_dgemv(CblasColMajor, CblasNoTrans, m, k, 1.0, a.data, op.ld, x, 1, 0.0, y, 1);
        return;
    }
    for (std::size_t i = 0; i < a.rows; ++i) {
        double s = 0.0;
        for (std::size_t c = 0; c < a.cols; ++c) s += a(i, c) * x[c];
        y[i] = s;
    }
}

void transposed_product(const double* d, std::size_t r, MatrixView a, double* out) {
    const std::size_t m = a.rows;
    const std::size_t k = a.cols;
    if (r == 0 || k == 0) return;
    const BlasOperand op = m >= blas_min_rows && fits_blas_int(r) ? blas_operand(a)
                                                                   : BlasOperand{};
    if (op.layout != BlasLayout::None && r == 1) {
        // One column of D: out = aᵀ·d, a matrix-vector product (dgemm with
        // one column runs at a fraction of dgemv's rate).
        const auto layout = op.layout == BlasLayout::RowMajor ? CblasRowMajor : CblasColMajor;
        cblas_dgemv(layout, CblasTrans, static_cast<blasint>(m), static_cast<blasint>(k), 1.0,
                    a.data, op.ld, d, 1, 0.0, out, 1);
        return;
    }
    if (op.layout != BlasLayout::None) {
        // outᵀ (k × r, column-major, ld k) = aᵀ·D: a row-major view is aᵀ in
        // column-major terms, a column-major one needs the transpose.
        const auto trans = op.layout == BlasLayout::RowMajor ? CblasNoTrans : CblasTrans;
        cblas_dgemm(CblasColMajor, trans, CblasNoTrans, static_cast<blasint>(k),
                    static_cast<blasint>(r), static_cast<blasint>(m), 1.0, a.data, op.ld, d,
                    static_cast<blasint>(m), 0.0, out, static_cast<blasint>(k));
        return;
    }
    for (std::size_t q = 0; q < r; ++q) {
        const double* d_column = d + q * m;
        for (std::size_t c = 0; c < k; ++c) {
            double s = 0.0;
            for (std::size_t i = 0; i < m; ++i) s += d_column[i] * a(i, c);
            out[q * k + c] = s;
        }
    }
}

void matmul(MatrixView a, MatrixView b, double* out) {
    const std::size_t m = a.rows;
    const std::size_t inner = a.cols;
    const std::size_t n = b.cols;
    if (m == 0 || n == 0) return;
    const BlasOperand opa = blas_operand(a);
    const BlasOperand opb = blas_operand(b);
    if (opa.layout != BlasLayout::None && opb.layout != BlasLayout::None && fits_blas_int(n)) {
        const auto ta = opa.layout == BlasLayout::RowMajor ? CblasNoTrans : CblasTrans;
        const auto tb = opb.layout == BlasLayout::RowMajor ? CblasNoTrans : CblasTrans;
        cblas_dgemm(CblasRowMajor, ta, tb, static_cast<blasint>(m), static_cast<blasint>(n),
                    static_cast<blasint>(inner), 1.0, a.data, opa.ld, b.data, opb.ld, 0.0, out,
                    static_cast<blasint>(n));
        return;
    }
    for (std::size_t i = 0; i < m; ++i)
        for (std::size_t j = 0; j < n; ++j) {
            double s = 0.0;
            for (std::size_t p = 0; p < inner; ++p) s += a(i, p) * b(p, j);
            out[i * n + j] = s;
        }
}

}  // namespace tarvex
