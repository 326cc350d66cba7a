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

}  // namespace

namespace {

constexpr std::size_t sum_lanes = 8;

inline __attribute__((always_inline)) BinarySums binary_tile_terms_body(
    std::size_t m, const double* __restrict x, const double* __restrict cdf_xb,
    const double* __restrict fx, const double* __restrict cdf_other,
    const double* __restrict pdf_other, double* __restrict diff) {
    double delta[sum_lanes] = {}, f1[sum_lanes] = {};
    std::size_t i0 = 0;
    for (; i0 + sum_lanes <= m; i0 += sum_lanes) {
        for (std::size_t l = 0; l < sum_lanes; ++l) {
            const std::size_t i = i0 + l;
            const bool one = x[i] == 1.0;
            const double cdf1 = one ? cdf_xb[i] : cdf_other[i];
            const double cdf0 = one ? cdf_other[i] : cdf_xb[i];
            const double pdf1 = one ? fx[i] : pdf_other[i];
            const double pdf0 = one ? pdf_other[i] : fx[i];
            delta[l] += cdf1 - cdf0;
            f1[l] += pdf1;
            diff[i] = pdf1 - pdf0;
        }
    }
    for (std::size_t i = i0; i < m; ++i) {
        const bool one = x[i] == 1.0;
        const double cdf1 = one ? cdf_xb[i] : cdf_other[i];
        const double cdf0 = one ? cdf_other[i] : cdf_xb[i];
        const double pdf1 = one ? fx[i] : pdf_other[i];
        const double pdf0 = one ? pdf_other[i] : fx[i];
        delta[i - i0] += cdf1 - cdf0;
        f1[i - i0] += pdf1;
        diff[i] = pdf1 - pdf0;
    }
    BinarySums out;
    for (std::size_t l = 0; l < sum_lanes; ++l) {
        out.delta += delta[l];
        out.f1 += f1[l];
    }
    return out;
}

inline __attribute__((always_inline)) bool binary_other_point_body(
    std::size_t m, const double* __restrict xb, const double* __restrict x, double b,
    double* __restrict other) {
    unsigned ok = 1;  // no branch per value, as in all_zero_or_one
    for (std::size_t i = 0; i < m; ++i) {
        other[i] = xb[i] + (1.0 - 2.0 * x[i]) * b;
        ok &= static_cast<unsigned>((x[i] == 0.0) | (x[i] == 1.0));
    }
    return ok != 0;
}

inline __attribute__((always_inline)) double lane_sum_body(std::size_t m,
                                                           const double* __restrict x) {
    double part[sum_lanes] = {};
    std::size_t i0 = 0;
    for (; i0 + sum_lanes <= m; i0 += sum_lanes)
        for (std::size_t l = 0; l < sum_lanes; ++l) part[l] += x[i0 + l];
    for (std::size_t i = i0; i < m; ++i) part[i - i0] += x[i];
    double s = 0.0;
    for (std::size_t l = 0; l < sum_lanes; ++l) s += part[l];
    return s;
}

inline __attribute__((always_inline)) bool all_zero_or_one_body(std::size_t m,
                                                                const double* __restrict x) {
    // No branch per value: 0/1 data is random to the branch predictor.
    unsigned ok = 1;
    for (std::size_t i = 0; i < m; ++i) ok &= static_cast<unsigned>((x[i] == 0.0) | (x[i] == 1.0));
    return ok != 0;
}

// y = a·x for a column-major a (unit row stride, columns ld apart): four
// columns at a time, so that the rows of y are loaded and stored once per
// four columns and four streams of X are read side by side.
inline __attribute__((always_inline)) void column_major_matvec_body(
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

// The element-wise kernels above, compiled once per instruction-set level and
// picked at run time: the default build runs on any x86-64 CPU.
#if defined(__x86_64__) && defined(__GNUC__)
#define TARVEX_LEVELS(name, ret, params, args)                                         \
    TARVEX_TARGET_AVX512 ret name##_avx512 params { return name##_body args; }         \
    TARVEX_TARGET_AVX2 ret name##_avx2 params { return name##_body args; }             \
    ret name##_base params { return name##_body args; }                                \
    ret name##_dispatch params {                                                       \
        switch (isa_level()) {                                                         \
            case IsaLevel::Avx512: return name##_avx512 args;                          \
            case IsaLevel::Avx2: return name##_avx2 args;                              \
            default: return name##_base args;                                          \
        }                                                                              \
    }
#else
#define TARVEX_LEVELS(name, ret, params, args) \
    ret name##_dispatch params { return name##_body args; }
#endif

TARVEX_LEVELS(binary_tile_terms, BinarySums,
              (std::size_t m, const double* x, const double* cdf_xb, const double* fx,
               const double* cdf_other, const double* pdf_other, double* diff),
              (m, x, cdf_xb, fx, cdf_other, pdf_other, diff))
TARVEX_LEVELS(binary_other_point, bool,
              (std::size_t m, const double* xb, const double* x, double b, double* other),
              (m, xb, x, b, other))

TARVEX_LEVELS(lane_sum, double, (std::size_t m, const double* x), (m, x))
TARVEX_LEVELS(column_major_matvec, void,
              (std::size_t m, std::size_t k, const double* a, std::ptrdiff_t ld, const double* x,
               double* y),
              (m, k, a, ld, x, y))
TARVEX_LEVELS(all_zero_or_one, bool, (std::size_t m, const double* x), (m, x))

#undef TARVEX_LEVELS

}  // namespace

BinarySums binary_tile_terms(std::size_t m, const double* x, const double* cdf_xb,
                             const double* fx, const double* cdf_other,
                             const double* pdf_other, double* diff) {
    return binary_tile_terms_dispatch(m, x, cdf_xb, fx, cdf_other, pdf_other, diff);
}

bool binary_other_point(std::size_t m, const double* xb, const double* x, double b,
                        double* other) {
    return binary_other_point_dispatch(m, xb, x, b, other);
}

bool all_zero_or_one(std::size_t m, const double* x) { return all_zero_or_one_dispatch(m, x); }

double lane_sum(std::size_t m, const double* x) { return lane_sum_dispatch(m, x); }

void matvec(MatrixView a, const double* x, double* y) {
    if (a.row_stride == 1 && a.cols > 0) {
        column_major_matvec_dispatch(a.rows, a.cols, a.data, a.col_stride, x, y);
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
        const double* dq = d + q * m;
        for (std::size_t c = 0; c < k; ++c) {
            double s = 0.0;
            for (std::size_t i = 0; i < m; ++i) s += dq[i] * a(i, c);
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
