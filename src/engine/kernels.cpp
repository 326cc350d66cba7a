// Dense products: own kernels for every layout, compiled once per
// instruction-set level (isa_level.hpp). No BLAS library is involved, so the
// speed of a product does not depend on whether some library recognises the
// CPU, and the sums are the same on every CPU and at every level.
//
// Every kernel accumulates in lanes of an eight-double vector (Lanes below),
// which the compiler maps onto one AVX-512 register, two AVX2 registers or
// four SSE2 registers. The arithmetic is the same at each level (a product
// and a sum, separately rounded: no fused multiply-add, as everywhere in the
// engine), so a product gives bitwise the same result at every level; the
// order in which each kernel sums is written next to it.
#include "engine/kernels.hpp"

#include <algorithm>
#include <cstring>

#include "engine/isa_level.hpp"
#include "engine/panic.hpp"

namespace tarvex {

namespace {

// Eight doubles, combined lane by lane: one AVX-512 register, two AVX2
// registers or four SSE2 registers, as native vectors of the level (a
// vector wider than the level's registers is left to the compiler's generic
// lowering, which was several times slower). GCC notes (-Wpsabi) that passing
// such vectors by value has a level-dependent ABI; every function taking or
// returning one is always inlined into the kernel of one level, so no such
// call exists in the object code.
#pragma GCC diagnostic ignored "-Wpsabi"
constexpr std::size_t lanes = 8;

template <IsaLevel L>
constexpr std::size_t native_lanes = L == IsaLevel::Avx512 ? 8 : L == IsaLevel::Avx2 ? 4 : 2;

template <IsaLevel L>
struct Lanes {
    static constexpr std::size_t width = native_lanes<L>;
    static constexpr std::size_t parts = lanes / width;
    typedef double Native __attribute__((vector_size(width * sizeof(double))));
    // The same vector at any address of a double (unaligned loads and stores).
    typedef double Unaligned
        __attribute__((vector_size(width * sizeof(double)), aligned(sizeof(double)), may_alias));
    Native part[parts];

    static TARVEX_INLINE Lanes zero() {
        Lanes v;
        #pragma GCC unroll 8
        for (std::size_t p = 0; p < parts; ++p) v.part[p] = Native{} ;
        return v;
    }
    static TARVEX_INLINE Lanes broadcast(double x) {
        Lanes v;
        #pragma GCC unroll 8
        for (std::size_t p = 0; p < parts; ++p) v.part[p] = x - Native{};
        return v;
    }
    static TARVEX_INLINE Lanes load(const double* src) {
        Lanes v;
#pragma GCC unroll 8
        for (std::size_t p = 0; p < parts; ++p)
            v.part[p] = *reinterpret_cast<const Unaligned*>(src + p * width);
        return v;
    }
    TARVEX_INLINE void store(double* dst) const {
#pragma GCC unroll 8
        for (std::size_t p = 0; p < parts; ++p)
            *reinterpret_cast<Unaligned*>(dst + p * width) = part[p];
    }
    // this += a·b, lane by lane (a product, then a sum).
    TARVEX_INLINE void add_product(const Lanes& a, const Lanes& b) {
        #pragma GCC unroll 8
        for (std::size_t p = 0; p < parts; ++p) part[p] += a.part[p] * b.part[p];
    }
    TARVEX_INLINE double lane(std::size_t l) const { return part[l / width][l % width]; }
    // The lanes' sum in a fixed order: halves, then quarters, then the pair.
    TARVEX_INLINE double total() const {
        return ((lane(0) + lane(4)) + (lane(2) + lane(6))) +
               ((lane(1) + lane(5)) + (lane(3) + lane(7)));
    }
};

// ---------------------------------------------------------------------------
// y = a·x

// y = a·x for a column-major a (unit row stride, columns ld apart): four
// columns at a time, so that the rows of y are loaded and stored once per
// four columns and four streams of X are read side by side. y_i sums its
// terms in the order ((a0x0 + a1x1) + (a2x2 + a3x3)) per group of four
// columns, groups in column order. The column pointers may alias each other
// (a stride of 0 repeats one column), which `restrict` allows since they are
// only read; y is the caller's own buffer.
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

// y = a·x for a row-major a (unit column stride, rows ld apart): each row's
// dot product in eight lanes (lane l sums the columns c ≡ l mod 8 of the
// whole groups of eight), then the lanes, then the last k mod 8 columns in
// order.
template <IsaLevel L>
TARVEX_INLINE void row_major_matvec_body(std::size_t m, std::size_t k, const double* a,
                                         std::ptrdiff_t ld, const double* __restrict x,
                                         double* __restrict y) {
    const std::size_t whole = k - k % lanes;
    for (std::size_t i = 0; i < m; ++i) {
        const double* row = a + static_cast<std::ptrdiff_t>(i) * ld;
        auto acc = Lanes<L>::zero();
        for (std::size_t c = 0; c < whole; c += lanes)
            acc.add_product(Lanes<L>::load(row + c), Lanes<L>::load(x + c));
        double s = acc.total();
        for (std::size_t c = whole; c < k; ++c) s += row[c] * x[c];
        y[i] = s;
    }
}

TARVEX_FOR_EACH_LEVEL(void, row_major_matvec,
                      (std::size_t m, std::size_t k, const double* a, std::ptrdiff_t ld,
                       const double* x, double* y),
                      (m, k, a, ld, x, y))

// ---------------------------------------------------------------------------
// out = Dᵀ·a, D dense column-major (m × r), out row-major (r × k).

// Up to this many columns of D share one sweep down a column of a.
constexpr std::size_t d_block = 8;

// Column-major a: the lane sums of out[q][c] = Σ_i d_q[i]·a_c[i] for the R
// columns of D at d and C columns of a from a_c (ld apart), over the whole
// groups of eight rows in [i0, i1), added to the R·C accumulators of eight
// lanes at acc (accumulator q·C + c at acc + (q·C + c)·8). Each element of a
// is read once for all R columns of D and each element of D once for the C
// columns of a. Lane l sums the rows i ≡ l mod 8 in order.
template <IsaLevel L, std::size_t R, std::size_t C>
TARVEX_INLINE void d_block_times_columns(std::size_t i0, std::size_t i1, std::size_t m,
                                         const double* __restrict d,
                                         const double* __restrict a_c, std::ptrdiff_t ld,
                                         double* __restrict acc) {
    Lanes<L> sum[R][C];
#pragma GCC unroll 8
    for (std::size_t q = 0; q < R; ++q)
#pragma GCC unroll 4
        for (std::size_t c = 0; c < C; ++c)
            sum[q][c] = Lanes<L>::load(acc + (q * C + c) * lanes);
    for (std::size_t i = i0; i < i1; i += lanes) {
        Lanes<L> x[C];
#pragma GCC unroll 4
        for (std::size_t c = 0; c < C; ++c)
            x[c] = Lanes<L>::load(a_c + static_cast<std::ptrdiff_t>(c) * ld + i);
#pragma GCC unroll 8
        for (std::size_t q = 0; q < R; ++q) {
            const auto dq = Lanes<L>::load(d + q * m + i);
#pragma GCC unroll 4
            for (std::size_t c = 0; c < C; ++c) sum[q][c].add_product(dq, x[c]);
        }
    }
#pragma GCC unroll 8
    for (std::size_t q = 0; q < R; ++q)
#pragma GCC unroll 4
        for (std::size_t c = 0; c < C; ++c) sum[q][c].store(acc + (q * C + c) * lanes);
}

// Row-major a: out[q][c0..c0+8) = Σ_i d_q[i]·a[i][c0..c0+8), one row at a
// time (each sum in row order), the eight columns in one vector.
template <IsaLevel L, std::size_t R>
TARVEX_INLINE void d_block_times_row_panel(std::size_t m, const double* __restrict d,
                                           const double* __restrict a, std::ptrdiff_t ld,
                                           double* out, std::size_t out_stride) {
    Lanes<L> acc[R];
    #pragma GCC unroll 8
    for (std::size_t q = 0; q < R; ++q) acc[q] = Lanes<L>::zero();
    for (std::size_t i = 0; i < m; ++i) {
        const auto x = Lanes<L>::load(a + static_cast<std::ptrdiff_t>(i) * ld);
        #pragma GCC unroll 8
        for (std::size_t q = 0; q < R; ++q) acc[q].add_product(Lanes<L>::broadcast(d[q * m + i]), x);
    }
    #pragma GCC unroll 8
    for (std::size_t q = 0; q < R; ++q) acc[q].store(out + q * out_stride);
}

// Calls kernel<R>(args...) for R = r (1 ≤ r ≤ d_block), so that the
// accumulators of each width are registers, not an array indexed at run time.
template <template <IsaLevel, std::size_t> class K, IsaLevel L, class... Args>
TARVEX_INLINE void with_block_width(std::size_t r, Args... args) {
    switch (r) {
        case 1: return K<L, 1>::run(args...);
        case 2: return K<L, 2>::run(args...);
        case 3: return K<L, 3>::run(args...);
        case 4: return K<L, 4>::run(args...);
        case 5: return K<L, 5>::run(args...);
        case 6: return K<L, 6>::run(args...);
        case 7: return K<L, 7>::run(args...);
        default: return K<L, 8>::run(args...);
    }
}

// Rows of a column-major a per block, for three or more columns of D: the
// block's R columns of D (at most 8 × 256 doubles, 16 KiB) stay in the
// first-level cache while every column of a passes them, instead of being
// read again from the second level for each column (a pass's tile of 1,560
// rows with six columns of D: 73 KiB). Measured on the reference design (AMD
// EPYC, AVX2): Dᵀ·X 16 → 12 ms per pass. The sums are the same as in one
// sweep down each column: lane by lane, in row order.
constexpr std::size_t d_block_rows = 256;

template <IsaLevel L, std::size_t R>
struct ColumnMajorDBlock {
    // Columns of a side by side: with few columns of D, one column of a alone
    // would leave the additions waiting on each other.
    static constexpr std::size_t side_by_side = R <= 2 ? 4 : R <= 4 ? 2 : 1;

    static TARVEX_INLINE void run(std::size_t m, std::size_t k, const double* d, const double* a,
                                  std::ptrdiff_t ld, double* out, std::size_t out_stride) {
        auto column = [a, ld](std::size_t c) { return a + static_cast<std::ptrdiff_t>(c) * ld; };
        Vector acc(checked_product(R * lanes, k), 0.0);
        const std::size_t whole = m - m % lanes;
        // One or two columns of D fit the first-level cache whole: one block.
        const std::size_t block = R <= 2 ? whole : d_block_rows;
        for (std::size_t i0 = 0; i0 < whole; i0 += block) {
            const std::size_t i1 = std::min(whole, i0 + block);
            std::size_t c = 0;
            for (; c + side_by_side <= k; c += side_by_side)
                d_block_times_columns<L, R, side_by_side>(i0, i1, m, d, column(c), ld,
                                                          acc.data() + R * c * lanes);
            for (; c < k; ++c)
                d_block_times_columns<L, R, 1>(i0, i1, m, d, column(c), ld,
                                               acc.data() + R * c * lanes);
        }
        // The lanes, then the last m mod 8 rows in order. The accumulators of
        // the group of columns from c0 start at acc + R·c0·8.
        std::size_t c0 = 0;
        while (c0 < k) {
            const std::size_t group = c0 + side_by_side <= k ? side_by_side : 1;
            for (std::size_t q = 0; q < R; ++q)
                for (std::size_t c = c0; c < c0 + group; ++c) {
                    const double* col = column(c);
                    const double* lane_sums = acc.data() + (R * c0 + q * group + (c - c0)) * lanes;
                    double s = Lanes<L>::load(lane_sums).total();
                    for (std::size_t i = whole; i < m; ++i) s += d[q * m + i] * col[i];
                    out[q * out_stride + c] = s;
                }
            c0 += group;
        }
    }
};

template <IsaLevel L, std::size_t R>
struct RowMajorDBlock {
    static TARVEX_INLINE void run(std::size_t m, std::size_t k, const double* d, const double* a,
                                  std::ptrdiff_t ld, double* out, std::size_t out_stride) {
        const std::size_t whole = k - k % lanes;
        for (std::size_t c = 0; c < whole; c += lanes)
            d_block_times_row_panel<L, R>(m, d, a + c, ld, out + c, out_stride);
        // The last k mod 8 columns: the same sums in row order, one at a time.
        #pragma GCC unroll 8
        for (std::size_t q = 0; q < R; ++q)
            for (std::size_t c = whole; c < k; ++c) {
                double s = 0.0;
                for (std::size_t i = 0; i < m; ++i)
                    s += d[q * m + i] * a[static_cast<std::ptrdiff_t>(i) * ld +
                                          static_cast<std::ptrdiff_t>(c)];
                out[q * out_stride + c] = s;
            }
    }
};

// Dᵀ·a for a view with unit stride along one axis, the columns of D in
// blocks of d_block.
template <IsaLevel L>
TARVEX_INLINE void unit_stride_transposed_product_body(const double* d, std::size_t r,
                                                       std::size_t m, std::size_t k,
                                                       const double* a, std::ptrdiff_t ld,
                                                       bool column_major, double* out) {
    for (std::size_t q0 = 0; q0 < r; q0 += d_block) {
        const std::size_t width = std::min(d_block, r - q0);
        if (column_major)
            with_block_width<ColumnMajorDBlock, L>(width, m, k, d + q0 * m, a, ld, out + q0 * k, k);
        else
            with_block_width<RowMajorDBlock, L>(width, m, k, d + q0 * m, a, ld, out + q0 * k, k);
    }
}

TARVEX_FOR_EACH_LEVEL(void, unit_stride_transposed_product,
                      (const double* d, std::size_t r, std::size_t m, std::size_t k,
                       const double* a, std::ptrdiff_t ld, bool column_major, double* out),
                      (d, r, m, k, a, ld, column_major, out))

// ---------------------------------------------------------------------------
// out = a·b (m × n, row-major), any strides: b is first copied into panels of
// eight columns (the last one padded with zeros), each panel's rows
// contiguous, then every block of four rows of a is swept down a panel with
// four vector accumulators. Each out[i][j] sums its terms in the order of the
// inner index.

constexpr std::size_t matmul_rows = 4;

// b (inner × n) as ⌈n/8⌉ panels, panel P holding b[p][8P .. 8P+8) at
// packed[(P·inner + p)·8].
void pack_panels(MatrixView b, double* packed) {
    const std::size_t inner = b.rows;
    const std::size_t n = b.cols;
    for (std::size_t j0 = 0; j0 < n; j0 += lanes) {
        double* panel = packed + (j0 / lanes) * inner * lanes;
        for (std::size_t p = 0; p < inner; ++p)
            for (std::size_t l = 0; l < lanes; ++l)
                panel[p * lanes + l] = j0 + l < n ? b(p, j0 + l) : 0.0;
    }
}

// R rows of a (from row i) times one packed panel, into out[i..i+R)[j0..j0+w).
template <IsaLevel L, std::size_t R>
TARVEX_INLINE void rows_times_panel(MatrixView a, std::size_t i, const double* panel,
                                    double* out, std::size_t n, std::size_t j0, std::size_t w) {
    Lanes<L> acc[R];
    #pragma GCC unroll 8
    for (std::size_t r = 0; r < R; ++r) acc[r] = Lanes<L>::zero();
    for (std::size_t p = 0; p < a.cols; ++p) {
        const auto bp = Lanes<L>::load(panel + p * lanes);
        #pragma GCC unroll 8
        for (std::size_t r = 0; r < R; ++r) acc[r].add_product(Lanes<L>::broadcast(a(i + r, p)), bp);
    }
    #pragma GCC unroll 8
    for (std::size_t r = 0; r < R; ++r) {
        alignas(64) double row[lanes];
        acc[r].store(row);
        std::copy(row, row + w, out + (i + r) * n + j0);
    }
}

template <IsaLevel L>
TARVEX_INLINE void packed_matmul_body(MatrixView a, const double* packed, std::size_t n,
                                      double* out) {
    for (std::size_t j0 = 0; j0 < n; j0 += lanes) {
        const double* panel = packed + (j0 / lanes) * a.cols * lanes;
        const std::size_t w = std::min(lanes, n - j0);
        std::size_t i = 0;
        for (; i + matmul_rows <= a.rows; i += matmul_rows)
            rows_times_panel<L, matmul_rows>(a, i, panel, out, n, j0, w);
        for (; i < a.rows; ++i) rows_times_panel<L, 1>(a, i, panel, out, n, j0, w);
    }
}

TARVEX_FOR_EACH_LEVEL(void, packed_matmul,
                      (MatrixView a, const double* packed, std::size_t n, double* out),
                      (a, packed, n, out))

}  // namespace

void matvec(MatrixView a, const double* x, double* y) {
    if (a.cols == 0) {
        std::fill(y, y + a.rows, 0.0);
        return;
    }
    if (a.row_stride == 1) {
        column_major_matvec(a.rows, a.cols, a.data, a.col_stride, x, y);
        return;
    }
    if (a.col_stride == 1) {
        row_major_matvec(a.rows, a.cols, a.data, a.row_stride, x, y);
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
    if (a.row_stride == 1 || a.col_stride == 1) {
        const bool column_major = a.row_stride == 1;
        unit_stride_transposed_product(d, r, m, k, a.data,
                                       column_major ? a.col_stride : a.row_stride, column_major,
                                       out);
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
    const std::size_t n = b.cols;
    if (a.rows == 0 || n == 0) return;
    Vector packed(checked_product(checked_product((n + lanes - 1) / lanes, lanes), b.rows));
    pack_panels(b, packed.data());
    packed_matmul(a, packed.data(), n, out);
}

}  // namespace tarvex
