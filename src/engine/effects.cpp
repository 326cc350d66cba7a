// The row-block pass: regressor classes, effects and Jacobian sums.
#include "engine/effects.hpp"

#include <algorithm>
#include <cmath>

#include "engine/kernels.hpp"
#include "engine/panic.hpp"
#include "engine/prefetch.hpp"

namespace tarvex {

namespace {

// True when every one of the len values is 0.0 or 1.0. Evaluated without a
// branch per value (0/1 data is random to the branch predictor), in pieces,
// stopping after the first piece that holds another value.
bool column_all_zero_or_one(VectorView col) {
    constexpr std::size_t piece = 512;
    for (std::size_t i0 = 0; i0 < col.len; i0 += piece) {
        const std::size_t i1 = std::min(col.len, i0 + piece);
        bool ok = true;
        if (col.stride == 1) {
            ok = all_zero_or_one(i1 - i0, col.data + i0);
        } else {
            for (std::size_t i = i0; i < i1; ++i) ok &= (col[i] == 0.0) | (col[i] == 1.0);
        }
        if (!ok) return false;
    }
    return true;
}

}  // namespace

std::vector<std::size_t> find_binary_columns(MatrixView x, const std::vector<char>& is_intercept) {
    std::vector<std::size_t> candidates;
    for (std::size_t p = 0; p < x.cols; ++p)
        if (!is_intercept[p]) candidates.push_back(p);
    if (x.rows == 0) return candidates;  // a column with no rows counts as binary

    // One pass in the order of memory: down each column when columns are the
    // contiguous axis, else across rows, dropping a candidate at its first
    // value other than 0.0 or 1.0 (-0.0 == 0.0; NaN is neither).
    const bool walk_columns = std::abs(x.row_stride) <= std::abs(x.col_stride);
    std::vector<std::size_t> binary;
    if (walk_columns) {
        for (std::size_t p : candidates) {
            if (column_all_zero_or_one(x.column(p))) binary.push_back(p);
        }
        return binary;
    }
    // Rows are contiguous: walk them in pieces, AND-ing each candidate's test
    // over the piece without a branch, and drop the candidates that failed
    // at the end of the piece.
    binary = candidates;
    constexpr std::size_t piece = 256;
    std::vector<unsigned char> ok;
    for (std::size_t i0 = 0; i0 < x.rows && !binary.empty(); i0 += piece) {
        const std::size_t i1 = std::min(x.rows, i0 + piece);
        ok.assign(binary.size(), 1);
        for (std::size_t i = i0; i < i1; ++i)
            for (std::size_t q = 0; q < binary.size(); ++q) {
                const double v = x(i, binary[q]);
                ok[q] &= static_cast<unsigned char>((v == 0.0) | (v == 1.0));
            }
        std::size_t kept = 0;
        for (std::size_t q = 0; q < binary.size(); ++q)
            if (ok[q]) binary[kept++] = binary[q];
        binary.resize(kept);
    }
    return binary;
}

namespace {

// Rows per tile: a tile of X (rows × k doubles) and the per-row temporaries
// stay in cache while the link functions and both products reuse them, so X
// is streamed from memory once however long a block is.
std::size_t tile_rows(std::size_t k) {
    constexpr std::size_t tile_doubles = 32768;  // 256 KiB of X per tile
    return std::clamp<std::size_t>(tile_doubles / (k + 1), 64, 2048);
}

// Columns cols[0..count) of a tile into dense buffers, out + q·tile.rows for
// the q-th, in one walk down the rows: where columns are not contiguous the
// values of a row share a few cache lines, read once for all the columns
// instead of once per column.
void copy_columns(MatrixView tile, const std::size_t* cols, std::size_t count, double* out) {
    const std::size_t m = tile.rows;
    for (std::size_t i = 0; i < m; ++i)
        for (std::size_t q = 0; q < count; ++q) out[q * m + i] = tile(i, cols[q]);
}

// Everything one pass owns. The `_r` pair serves "rust", the `_s` pair "sm":
// binary rows go into both, continuous rows only into the selected pair.

struct Pass {
    ModelKind kind = ModelKind::Logit;
    SeMethod se_method = SeMethod::Rust;
    std::size_t k = 0;
    Vector beta;  // dense copy of the k coefficients
    std::vector<char> is_intercept;  // one flag per column
    std::vector<std::size_t> binary_idx;
    std::vector<std::size_t> continuous_idx;
    bool verify_binary = false;  // check each tile's binary columns for 0/1

    Vector ame_sum_r, ame_sum_s, jac_sum_r, jac_sum_s;

    // Sums over all rows that every continuous row is a scaling of:
    // Σ_i f(xb_i) and w_c = Σ_i x_ic·w_i, with w_i = xb_i·f(xb_i) for "rust"
    // and w_i = f'(xb_i) for "sm".
    double sum_fx = 0.0;
    Vector weighted_col_sums;

    // Tile temporaries.
    Vector xb, fx, cdf_xb, d;  // d: one column per binary regressor, then w
    Vector binary_cols;  // the tile's binary columns, where they are not contiguous
    Vector other, cdf_other, pdf_other;  // the link at the counterfactual point
    Vector products;           // (binary count + 1) × k
    Vector binary_f1_sums;

    // The next tile, read into cache while this one's link functions run.
    PrefetchStream next_tile;

    bool process_tile(MatrixView xt);
    void finish_continuous_rows();
};

bool Pass::process_tile(MatrixView xt) {
    const std::size_t m = xt.rows;
    const std::size_t nb = binary_idx.size();
    const bool has_continuous = !continuous_idx.empty();

    // xb = X_t·β and f(xb), shared by every regressor of the tile.
    // F(xb): needed by every binary regressor, and by the Logit f'(xb).
    matvec(xt, beta.data(), xb.data());
    const bool need_cdf = nb > 0 || (has_continuous && se_method == SeMethod::Sm &&
                                     kind == ModelKind::Logit);
    if (need_cdf)
        cdf_pdf(kind, xb.data(), m, cdf_xb.data(), fx.data(), &next_tile);
    else
        pdf(kind, xb.data(), m, fx.data(), &next_tile);
    sum_fx += lane_sum(m, fx.data());

    if (has_continuous) {
        // w_i = xb_i·f(xb_i) ("rust") or f'(xb_i) ("sm"), where f' is formed
        // from the f and F already at hand: Logit f(z)(1 - 2F(z)), Probit
        // f(z)·(-z), the same operations the element-wise pdf_deriv performs.
        double* w = d.data() + nb * m;
        if (se_method == SeMethod::Rust)
            for (std::size_t i = 0; i < m; ++i) w[i] = xb[i] * fx[i];
        else if (kind == ModelKind::Logit)
            for (std::size_t i = 0; i < m; ++i) w[i] = fx[i] * (1.0 - 2.0 * cdf_xb[i]);
        else
            for (std::size_t i = 0; i < m; ++i) w[i] = fx[i] * -xb[i];
    }

    // Binary regressor V with coefficient b: the counterfactual predictors are
    // xb1 = xb + (1 - x)·b and xb0 = xb + (-x)·b. With x ∈ {0, 1} and b finite
    // one of them is xb itself (x = 1: xb1 = xb + 0; x = 0: xb0 = xb ± 0), so
    // F and f are known there, and the link is evaluated, for the whole tile
    // at once, only at the other point. The binary columns are read where
    // they are contiguous, else from dense copies.
    const bool copied = xt.row_stride != 1;
    if (copied) copy_columns(xt, binary_idx.data(), nb, binary_cols.data());
    for (std::size_t q = 0; q < nb; ++q) {
        const std::size_t v = binary_idx[q];
        const double b = beta[v];
        const double* __restrict x =
            copied ? binary_cols.data() + q * m : xt.column(v).data;
        double* __restrict dq = d.data() + q * m;
        double* __restrict pt = other.data();
        const double* __restrict cdf_o = cdf_other.data();
        const double* __restrict pdf_o = pdf_other.data();
        const double* __restrict cdf_b = cdf_xb.data();
        const double* __restrict f_b = fx.data();
        double sum_delta = 0.0;
        double sum_f1 = 0.0;
        if (std::isfinite(b)) {
            // x = 1: xb0 = xb + (-1)·b; x = 0: xb1 = xb + (1 - 0)·b. Both are
            // xb + (1 - 2x)·b, the factor ±1 being exact. The same loop
            // checks the column's values.
            const bool zero_or_one = binary_other_point(m, xb.data(), x, b, pt);
            if (verify_binary && !zero_or_one) return false;
            cdf_pdf(kind, pt, m, cdf_other.data(), pdf_other.data(), &next_tile);
            const BinarySums sums =
                binary_tile_terms(m, x, cdf_b, f_b, cdf_o, pdf_o, dq);
            sum_delta = sums.delta;
            sum_f1 = sums.f1;
        } else {
            if (verify_binary && !all_zero_or_one(m, x)) return false;
            // 0·b is NaN for an infinite or NaN b: evaluate both points.
            for (std::size_t i = 0; i < m; ++i) {
                pt[i] = xb[i] + (1.0 - x[i]) * b;  // xb1
                dq[i] = xb[i] + (-x[i]) * b;        // xb0, overwritten below
            }
            cdf_pdf(kind, pt, m, cdf_other.data(), pdf_other.data());
            cdf(kind, dq, m, pt);  // F(xb0)
            pdf(kind, dq, m, dq);  // f(xb0)
            for (std::size_t i = 0; i < m; ++i) {
                sum_delta += cdf_o[i] - pt[i];
                sum_f1 += pdf_o[i];
                dq[i] = pdf_o[i] - dq[i];
            }
        }
        ame_sum_r[v] += sum_delta;
        ame_sum_s[v] += sum_delta;
        binary_f1_sums[q] = sum_f1;
    }

    // One product Dᵀ·X_t gives, per binary regressor, Σ_i (f1_i - f0_i)·x_ic
    // for every c, and in its last row the continuous sums Σ_i w_i·x_ic.
    const std::size_t width = nb + (has_continuous ? 1 : 0);
    transposed_product(d.data(), width, xt, products.data());
    for (std::size_t q = 0; q < nb; ++q) {
        const std::size_t v = binary_idx[q];
        const double* row = products.data() + q * k;
        for (std::size_t c = 0; c < k; ++c) {
            const double add = c == v ? binary_f1_sums[q] : row[c];
            jac_sum_r[v * k + c] += add;
            jac_sum_s[v * k + c] += add;
        }
    }
    if (has_continuous) {
        const double* row = products.data() + nb * k;
        for (std::size_t c = 0; c < k; ++c) weighted_col_sums[c] += row[c];
    }
    return true;
}

// Continuous regressor V, coefficient b, from the pass-wide sums:
//   effect: Σ f · b
//   "rust": row V = -b·w_c off the diagonal, Σ f on it
//   "sm":   row V = b·w_c, plus Σ f on the diagonal
void Pass::finish_continuous_rows() {
    Vector& ame_sum = se_method == SeMethod::Sm ? ame_sum_s : ame_sum_r;
    Vector& jac_sum = se_method == SeMethod::Sm ? jac_sum_s : jac_sum_r;
    for (std::size_t v : continuous_idx) {
        const double b = beta[v];
        ame_sum[v] += sum_fx * b;
        double* row = jac_sum.data() + v * k;
        if (se_method == SeMethod::Sm) {
            for (std::size_t c = 0; c < k; ++c) row[c] += weighted_col_sums[c] * b;
            row[v] += sum_fx;
        } else {
            for (std::size_t c = 0; c < k; ++c)
                row[c] += c == v ? sum_fx : weighted_col_sums[c] * -b;
        }
    }
}

// One pass over X with the given binary columns. With `verify`, every tile
// also checks that those columns hold only 0.0 and 1.0 in its rows, and the
// pass stops (returns false) at the first tile where one does not.
bool run_pass(Pass& pass, VectorView beta, MatrixView x, std::uint64_t block_len,
              bool verify, BetweenTiles between_tiles) {
    const std::size_t n = x.rows;
    const std::size_t k = x.cols;
    std::vector<char> is_binary(k, 0);
    for (std::size_t v : pass.binary_idx) is_binary[v] = 1;
    pass.continuous_idx.clear();
    for (std::size_t v = 0; v < k; ++v)
        if (!pass.is_intercept[v] && !is_binary[v]) pass.continuous_idx.push_back(v);

    const std::size_t kk = checked_product(k, k);
    pass.ame_sum_r.assign(k, 0.0);
    pass.ame_sum_s.assign(k, 0.0);
    pass.jac_sum_r.assign(kk, 0.0);
    pass.jac_sum_s.assign(kk, 0.0);
    pass.sum_fx = 0.0;
    pass.verify_binary = verify;
    if (n == 0) return true;

    // With rows to walk, a block of no rows would never advance.
    if (block_len == 0) panic("block length must be at least 1");
    const std::size_t first_block = block_len < n ? static_cast<std::size_t>(block_len) : n;
    if (beta.len != k) panic_shape_mismatch(first_block, k, beta.len, 1);
    pass.beta.resize(k);
    for (std::size_t c = 0; c < k; ++c) pass.beta[c] = beta[c];

    const std::size_t nb = pass.binary_idx.size();
    const std::size_t tile_cap = std::min(tile_rows(k), first_block);
    pass.xb.resize(tile_cap);
    pass.fx.resize(tile_cap);
    pass.cdf_xb.resize(tile_cap);
    pass.binary_cols.resize(x.row_stride != 1 ? checked_product(tile_cap, nb) : 0);
    pass.other.resize(nb > 0 ? tile_cap : 0);
    pass.cdf_other.resize(nb > 0 ? tile_cap : 0);
    pass.pdf_other.resize(nb > 0 ? tile_cap : 0);
    pass.d.resize(checked_product(tile_cap, nb + 1));
    pass.products.resize(checked_product(nb + 1, k));
    pass.binary_f1_sums.resize(nb);
    pass.weighted_col_sums.assign(k, 0.0);

    // Blocks [0, c), [c, 2c), ..., the last one ending at n; each block is
    // walked in tiles of at most tile_cap rows.
    for (std::size_t start = 0; start < n;) {
        const std::size_t end = block_len >= n - start ? n : start + block_len;
        for (std::size_t t0 = start; t0 < end;) {
            if (between_tiles != nullptr) between_tiles();
            const std::size_t t1 = std::min(end, t0 + tile_cap);
            pass.next_tile = PrefetchStream(x.row_block(t1, std::min(n, t1 + tile_cap)));
            if (!pass.process_tile(x.row_block(t0, t1))) return false;
            t0 = t1;
        }
        start = end;
    }
    pass.finish_continuous_rows();
    return true;
}

}  // namespace

MarginalEffects average_marginal_effects(ModelKind kind, VectorView beta, MatrixView x,
                                         const std::vector<std::size_t>& intercept_idx,
                                         std::uint64_t block_len, SeMethod se_method,
                                         BetweenTiles between_tiles) {
    const std::size_t n = x.rows;
    const std::size_t k = x.cols;
    Pass pass;
    pass.kind = kind;
    pass.se_method = se_method;
    pass.k = k;
    pass.is_intercept.assign(k, 0);
    for (std::size_t p : intercept_idx) {
        if (p >= k) panic_index_out_of_bounds(k, p);
        pass.is_intercept[p] = 1;
    }

    // The binary columns are found within the pass instead of by a separate
    // scan of X: a column that holds only 0.0 and 1.0 in the first tile's
    // rows is taken as binary, and each tile checks its binary columns (in
    // the copy it makes of them anyway). If a later row disproves one, which
    // a continuous regressor does in its first rows almost always, the
    // columns are classified by a full scan and the pass starts over. Either
    // way the classification is that of a full scan.
    const std::size_t probe_rows = std::min(n, tile_rows(k));
    pass.binary_idx = find_binary_columns(x.row_block(0, probe_rows), pass.is_intercept);
    if (!run_pass(pass, beta, x, block_len, probe_rows < n, between_tiles)) {
        pass.binary_idx = find_binary_columns(x, pass.is_intercept);
        run_pass(pass, beta, x, block_len, false, between_tiles);
    }

    // Averages over all n rows (0/0 = NaN when X has no rows).
    const double rows = static_cast<double>(static_cast<std::uint64_t>(n));
    const Vector& ame_sum = se_method == SeMethod::Sm ? pass.ame_sum_s : pass.ame_sum_r;
    MarginalEffects out;
    out.ame.resize(k);
    for (std::size_t j = 0; j < k; ++j) out.ame[j] = ame_sum[j] / rows;
    out.jac_sum = std::move(se_method == SeMethod::Sm ? pass.jac_sum_s : pass.jac_sum_r);
    out.n = n;
    return out;
}

}  // namespace tarvex
