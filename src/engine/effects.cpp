// The row-block pass, read top to bottom: the column classes, the kernels of
// the per-tile steps, the tiled pass (predictor, link values, continuous
// weights, dummy terms, products, accumulation) and the entry that runs it.
#include "engine/effects.hpp"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <optional>

#include "engine/isa_level.hpp"
#include "engine/kernels.hpp"
#include "engine/panic.hpp"

namespace tarvex {

namespace {

// ---------------------------------------------------------------------------
// Column classes: which columns are dummies, which continuous.

// True when every one of x[0..m) is 0.0 or 1.0 (-0.0 included, NaN not),
// without a branch per value: 0/1 data is random to the branch predictor.
template <IsaLevel L>
TARVEX_INLINE bool all_zero_or_one_body(std::size_t m, const double* x) {
    unsigned ok = 1;
    for (std::size_t i = 0; i < m; ++i) ok &= static_cast<unsigned>((x[i] == 0.0) | (x[i] == 1.0));
    return ok != 0;
}
TARVEX_FOR_EACH_LEVEL(bool, all_zero_or_one, (std::size_t m, const double* x), (m, x))

// The same test down one column, in pieces, stopping after the first piece
// that holds another value.
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

// The candidates that hold only 0.0 and 1.0 in every row of x, in one pass
// in the order of memory: down each column when columns are the contiguous
// axis, else across rows, dropping a candidate at its first other value.
std::vector<std::size_t> zero_one_columns(MatrixView x, std::vector<std::size_t> candidates) {
    if (x.rows == 0) return candidates;  // a column with no rows counts as binary
    const bool walk_columns = std::abs(x.row_stride) <= std::abs(x.col_stride);
    if (walk_columns) {
        std::vector<std::size_t> binary;
        for (std::size_t p : candidates)
            if (column_all_zero_or_one(x.column(p))) binary.push_back(p);
        return binary;
    }
    // Rows are contiguous: walk them in pieces, AND-ing each candidate's test
    // over the piece without a branch, and drop the candidates that failed
    // at the end of the piece.
    constexpr std::size_t piece = 256;
    std::vector<unsigned char> ok;
    for (std::size_t i0 = 0; i0 < x.rows && !candidates.empty(); i0 += piece) {
        const std::size_t i1 = std::min(x.rows, i0 + piece);
        ok.assign(candidates.size(), 1);
        for (std::size_t i = i0; i < i1; ++i)
            for (std::size_t q = 0; q < candidates.size(); ++q) {
                const double v = x(i, candidates[q]);
                ok[q] &= static_cast<unsigned char>((v == 0.0) | (v == 1.0));
            }
        std::size_t kept = 0;
        for (std::size_t q = 0; q < candidates.size(); ++q)
            if (ok[q]) candidates[kept++] = candidates[q];
        candidates.resize(kept);
    }
    return candidates;
}

struct ColumnClasses {
    std::vector<std::size_t> dummies;     // named, not intercepts, only 0.0 and 1.0
    std::vector<std::size_t> continuous;  // every other column but the intercepts
};

// Classes of the k = x.cols columns, judged on the rows of x. The
// intercepts are marked in a table, so that the classification is linear in
// k; a position past the last column is a broken input.
ColumnClasses classify_columns(MatrixView x, const std::vector<std::size_t>& intercepts) {
    std::vector<unsigned char> is_intercept(x.cols, 0);
    for (std::size_t p : intercepts) {
        if (p >= x.cols) panic_index_out_of_bounds(x.cols, p);
        is_intercept[p] = 1;
    }
    std::vector<std::size_t> candidates;
    for (std::size_t p = 0; p < x.cols; ++p)
        if (!is_intercept[p]) candidates.push_back(p);

    ColumnClasses classes;
    classes.dummies = zero_one_columns(x, std::move(candidates));
    std::vector<unsigned char> is_dummy(x.cols, 0);
    for (std::size_t p : classes.dummies) is_dummy[p] = 1;
    for (std::size_t p = 0; p < x.cols; ++p)
        if (!is_intercept[p] && !is_dummy[p]) classes.continuous.push_back(p);
    return classes;
}

// ---------------------------------------------------------------------------
// Kernels of the per-tile steps.

constexpr std::size_t sum_lanes = 8;

// Σ x[0..m), summed in eight interleaved lanes, then the lanes.
template <IsaLevel L>
TARVEX_INLINE double lane_sum_body(std::size_t m, const double* x) {
    double part[sum_lanes] = {};
    std::size_t i0 = 0;
    for (; i0 + sum_lanes <= m; i0 += sum_lanes)
        for (std::size_t l = 0; l < sum_lanes; ++l) part[l] += x[i0 + l];
    for (std::size_t i = i0; i < m; ++i) part[i - i0] += x[i];
    double s = 0.0;
    for (std::size_t l = 0; l < sum_lanes; ++l) s += part[l];
    return s;
}
TARVEX_FOR_EACH_LEVEL(double, lane_sum, (std::size_t m, const double* x), (m, x))

// The point where a dummy with coefficient b takes its other value:
//   switched_i = xb_i + (1 - 2·x_i)·b,
// that is xb + (1 - 0)·b = xb1 where x = 0 and xb + (-1)·b = xb0 where
// x = 1, the factor ±1 being exact. Returns whether every x_i is 0.0 or 1.0,
// as all_zero_or_one does, in the same loop (no branch per value). The
// three arrays are distinct: x is a column of X or a copy of one, the other
// two are the pass's own buffers.
template <IsaLevel L>
TARVEX_INLINE bool switched_point_body(std::size_t m, const double* __restrict xb,
                                       const double* __restrict x, double b,
                                       double* __restrict switched) {
    unsigned ok = 1;
    for (std::size_t i = 0; i < m; ++i) {
        switched[i] = xb[i] + (1.0 - 2.0 * x[i]) * b;
        ok &= static_cast<unsigned>((x[i] == 0.0) | (x[i] == 1.0));
    }
    return ok != 0;
}
TARVEX_FOR_EACH_LEVEL(bool, switched_point,
                      (std::size_t m, const double* xb, const double* x, double b,
                       double* switched),
                      (m, xb, x, b, switched))

struct DummySums {
    double effect = 0.0;   // Σ_i F(xb1_i) - F(xb0_i)
    double density = 0.0;  // Σ_i f(xb1_i)
};

// A dummy's per-row terms over one tile, from the link at the observed point
// (the row's own value of x, F_obs and f_obs) and at the switched point
// (F_sw, f_sw): with one_i = (x_i == 1),
//   (F1, f1) = one_i ? (F_obs, f_obs) : (F_sw, f_sw), (F0, f0) the other pair.
// Writes density_change_i = f1_i - f0_i and returns the sums of F1 - F0 and
// of f1 (summed in lanes, then the lanes). Only density_change is written,
// and it is none of the others.
template <IsaLevel L>
TARVEX_INLINE DummySums dummy_tile_terms_body(std::size_t m, const double* __restrict x,
                                              const double* __restrict cdf_observed,
                                              const double* __restrict pdf_observed,
                                              const double* __restrict cdf_switched,
                                              const double* __restrict pdf_switched,
                                              double* __restrict density_change) {
    double effect[sum_lanes] = {}, density[sum_lanes] = {};
    std::size_t i0 = 0;
    for (; i0 + sum_lanes <= m; i0 += sum_lanes) {
        for (std::size_t l = 0; l < sum_lanes; ++l) {
            const std::size_t i = i0 + l;
            const bool one = x[i] == 1.0;
            const double cdf1 = one ? cdf_observed[i] : cdf_switched[i];
            const double cdf0 = one ? cdf_switched[i] : cdf_observed[i];
            const double pdf1 = one ? pdf_observed[i] : pdf_switched[i];
            const double pdf0 = one ? pdf_switched[i] : pdf_observed[i];
            effect[l] += cdf1 - cdf0;
            density[l] += pdf1;
            density_change[i] = pdf1 - pdf0;
        }
    }
    for (std::size_t i = i0; i < m; ++i) {
        const bool one = x[i] == 1.0;
        const double cdf1 = one ? cdf_observed[i] : cdf_switched[i];
        const double cdf0 = one ? cdf_switched[i] : cdf_observed[i];
        const double pdf1 = one ? pdf_observed[i] : pdf_switched[i];
        const double pdf0 = one ? pdf_switched[i] : pdf_observed[i];
        effect[i - i0] += cdf1 - cdf0;
        density[i - i0] += pdf1;
        density_change[i] = pdf1 - pdf0;
    }
    DummySums out;
    for (std::size_t l = 0; l < sum_lanes; ++l) {
        out.effect += effect[l];
        out.density += density[l];
    }
    return out;
}
TARVEX_FOR_EACH_LEVEL(DummySums, dummy_tile_terms,
                      (std::size_t m, const double* x, const double* cdf_observed,
                       const double* pdf_observed, const double* cdf_switched,
                       const double* pdf_switched, double* density_change),
                      (m, x, cdf_observed, pdf_observed, cdf_switched, pdf_switched,
                       density_change))

// A Logit dummy's per-row terms over one tile without an exponential of its
// own. With v_i = e^-xb_i at hand (from F and f at the observed point), the
// other point xb_i + δ_i, δ_i = (1 - 2·x_i)·b, has
//   e^-(xb_i + δ_i) = v_i·e^-δ_i,   e^-δ_i = e^b where x_i = 1, e^-b where 0,
// and F = 1/(v' + 1), f = (v'·F)·F as in the link's pair (link.cpp). This is
// the exponential of the exact xb_i + δ_i rather than of its rounded value
// (whose rounding error, |xb|·2^-53, e^-z magnifies to |xb|/2 ulp): one more
// rounding (of v·e^-δ) and the error of e^±b. Where v or v' is not a normal
// number (|xb| beyond ~708, or a NaN), the product loses precision or
// overflows: with `exact_lanes`, those lanes (and only those) take F and f
// from the rounded other point through the C library's exp instead, so a
// lane's value depends on its own row alone. Writes density_change_i =
// f1_i - f0_i and returns the sums as dummy_tile_terms does, whether every
// x_i is 0.0 or 1.0, and (without `exact_lanes`) whether every lane was
// normal, else the caller runs it again with `exact_lanes`.
struct LogitDummyTerms {
    DummySums sums;
    bool zero_or_one = true;
    bool all_normal = true;
};

// The terms of row i into lane l of the sums (logit_dummy_tile_terms).
template <bool exact_lanes>
TARVEX_INLINE void logit_dummy_row(std::size_t i, std::size_t l, const double* __restrict x,
                                   const double* __restrict xb,
                                   const double* __restrict exp_observed,
                                   const double* __restrict cdf_observed,
                                   const double* __restrict pdf_observed, double b, double exp_b,
                                   double exp_minus_b, double* __restrict density_change,
                                   double* effect, double* density, double* ok,
                                   double* normal) {
    const double xi = x[i];
    const bool one = xi == 1.0;
    ok[l] = (xi == 0.0) | (xi == 1.0) ? ok[l] : 0.0;
    const double v = exp_observed[i];
    const double v_other = v * (one ? exp_b : exp_minus_b);
    double cdf_other = 1.0 / (v_other + 1.0);
    double pdf_other = (v_other * cdf_other) * cdf_other;
    const bool lane_normal =
        (v >= DBL_MIN) & (v <= DBL_MAX) & (v_other >= DBL_MIN) & (v_other <= DBL_MAX);
    normal[l] = lane_normal ? normal[l] : 0.0;
    if constexpr (exact_lanes) {
        if (!lane_normal) {
            const double z = xb[i] + (1.0 - 2.0 * xi) * b;
            cdf_other = 1.0 / (std::exp(-z) + 1.0);
            pdf_other = logit_pdf(z);
        }
    }
    const double cdf1 = one ? cdf_observed[i] : cdf_other;
    const double cdf0 = one ? cdf_other : cdf_observed[i];
    const double pdf1 = one ? pdf_observed[i] : pdf_other;
    const double pdf0 = one ? pdf_other : pdf_observed[i];
    effect[l] += cdf1 - cdf0;
    density[l] += pdf1;
    density_change[i] = pdf1 - pdf0;
}

template <IsaLevel L, bool exact_lanes>
TARVEX_INLINE LogitDummyTerms logit_dummy_tile_terms_body(
    std::size_t m, const double* __restrict x, const double* __restrict xb,
    const double* __restrict exp_observed, const double* __restrict cdf_observed,
    const double* __restrict pdf_observed, double b, double exp_b, double exp_minus_b,
    double* __restrict density_change) {
    // Per lane: the sums, and 1.0 until a row is not 0/1 or not normal.
    double effect[sum_lanes] = {}, density[sum_lanes] = {};
    double ok[sum_lanes], normal[sum_lanes];
    std::fill(ok, ok + sum_lanes, 1.0);
    std::fill(normal, normal + sum_lanes, 1.0);
    std::size_t i0 = 0;
    for (; i0 + sum_lanes <= m; i0 += sum_lanes)
        for (std::size_t l = 0; l < sum_lanes; ++l)
            logit_dummy_row<exact_lanes>(i0 + l, l, x, xb, exp_observed, cdf_observed,
                                         pdf_observed, b, exp_b, exp_minus_b, density_change,
                                         effect, density, ok, normal);
    for (std::size_t i = i0; i < m; ++i)
        logit_dummy_row<exact_lanes>(i, i - i0, x, xb, exp_observed, cdf_observed, pdf_observed,
                                     b, exp_b, exp_minus_b, density_change, effect, density, ok,
                                     normal);
    LogitDummyTerms out;
    for (std::size_t l = 0; l < sum_lanes; ++l) {
        out.sums.effect += effect[l];
        out.sums.density += density[l];
        out.zero_or_one &= ok[l] != 0.0;
        out.all_normal &= normal[l] != 0.0;
    }
    return out;
}

#define TARVEX_LOGIT_DUMMY_PARAMS                                                          \
    (std::size_t m, const double* x, const double* xb, const double* exp_observed,         \
     const double* cdf_observed, const double* pdf_observed, double b, double exp_b,       \
     double exp_minus_b, double* density_change)
#define TARVEX_LOGIT_DUMMY_ARGS \
    (m, x, xb, exp_observed, cdf_observed, pdf_observed, b, exp_b, exp_minus_b, density_change)
template <IsaLevel L>
TARVEX_INLINE LogitDummyTerms logit_dummy_fast_body TARVEX_LOGIT_DUMMY_PARAMS {
    return logit_dummy_tile_terms_body<L, false> TARVEX_LOGIT_DUMMY_ARGS;
}
template <IsaLevel L>
TARVEX_INLINE LogitDummyTerms logit_dummy_exact_body TARVEX_LOGIT_DUMMY_PARAMS {
    return logit_dummy_tile_terms_body<L, true> TARVEX_LOGIT_DUMMY_ARGS;
}
TARVEX_FOR_EACH_LEVEL(LogitDummyTerms, logit_dummy_fast, TARVEX_LOGIT_DUMMY_PARAMS,
                      TARVEX_LOGIT_DUMMY_ARGS)
TARVEX_FOR_EACH_LEVEL(LogitDummyTerms, logit_dummy_exact, TARVEX_LOGIT_DUMMY_PARAMS,
                      TARVEX_LOGIT_DUMMY_ARGS)
#undef TARVEX_LOGIT_DUMMY_PARAMS
#undef TARVEX_LOGIT_DUMMY_ARGS

// Columns cols[0..count) of a tile into dense buffers, out + q·tile.rows for
// the q-th, in one walk down the rows: where columns are not contiguous the
// values of a row share a few cache lines, read once for all the columns
// instead of once per column.
void copy_columns(MatrixView tile, const std::size_t* cols, std::size_t count, double* out) {
    const std::size_t m = tile.rows;
    for (std::size_t i = 0; i < m; ++i)
        for (std::size_t q = 0; q < count; ++q) out[q * m + i] = tile(i, cols[q]);
}

// ---------------------------------------------------------------------------
// The tiled pass.

// Rows per tile: a tile of X (rows × k doubles) and the per-row temporaries
// stay in cache while the link functions and both products reuse them, so X
// is streamed from memory once however long a block is.
std::size_t tile_rows(std::size_t k) {
    constexpr std::size_t tile_doubles = 32768;  // 256 KiB of X per tile
    return std::clamp<std::size_t>(tile_doubles / (k + 1), 64, 2048);
}

// The sums over all rows that the effects and the Jacobian are made of, for
// one gradient form. Per tile of rows X_t (m × k) with predictor xb = X_t·β + o:
//   Σ_i f(xb_i)                      every continuous regressor's effect / β_j
//   Σ_i w_i·x_ic                     w_i = xb_i·f(xb_i) ("rust") or f'(xb_i) ("sm")
//   per dummy j: Σ_i F1 - F0, Σ_i f1 and Σ_i (f1 - f0)·x_ic
// The last two kinds come out of one product Dᵀ·X_t, D holding one column of
// f1 - f0 per dummy and then w.
class TiledPass {
public:
    TiledPass(ModelKind kind, SeMethod se_method, Vector beta, const ColumnClasses& columns,
              std::size_t tile_capacity, bool copy_dummy_columns)
        : kind_(kind),
          se_method_(se_method),
          k_(beta.size()),
          beta_(std::move(beta)),
          dummies_(columns.dummies),
          continuous_(columns.continuous),
          // F at the predictor: needed by every dummy, and by the Logit f' of "sm".
          need_cdf_at_predictor_(!dummies_.empty() ||
                                 (!continuous_.empty() && se_method == SeMethod::Sm &&
                                  kind == ModelKind::Logit)),
          product_width_(dummies_.size() + (continuous_.empty() ? 0 : 1)),
          ame_sum_(k_, 0.0),
          jac_sum_(checked_product(k_, k_), 0.0),
          weighted_col_sums_(k_, 0.0),
          predictor_(tile_capacity),
          cdf_at_predictor_(tile_capacity),
          pdf_at_predictor_(tile_capacity),
          switched_(dummies_.empty() ? 0 : tile_capacity),
          cdf_at_switched_(switched_.size()),
          pdf_at_switched_(switched_.size()),
          dummy_copies_(copy_dummy_columns ? checked_product(tile_capacity, dummies_.size()) : 0),
          product_factor_(checked_product(tile_capacity, dummies_.size() + 1)),
          tile_products_(checked_product(dummies_.size() + 1, k_)),
          dummy_density_sums_(dummies_.size()) {
        // Logit: a dummy with a coefficient b whose e^b and e^-b are normal
        // numbers takes its other point's exponential from e^-xb
        // (logit_dummy_tile_terms), which link_at_predictor then keeps.
        if (kind_ == ModelKind::Logit) {
            for (std::size_t v : dummies_) {
                const double b = beta_[v];
                const double up = std::exp(b), down = std::exp(-b);
                const bool usable = std::isfinite(b) && up >= DBL_MIN && up <= DBL_MAX &&
                                    down >= DBL_MIN && down <= DBL_MAX;
                logit_exp_factors_.push_back(usable ? LogitFactors{up, down} : LogitFactors{});
                if (usable) exp_at_predictor_.resize(tile_capacity);
            }
        }
        // An infinite or NaN dummy coefficient needs the link at the observed
        // point as well (dummy_terms); the buffers exist only then.
        for (std::size_t v : dummies_)
            if (!std::isfinite(beta_[v])) {
                observed_.resize(tile_capacity);
                cdf_at_observed_.resize(tile_capacity);
                pdf_at_observed_.resize(tile_capacity);
                break;
            }
    }

    // Adds the rows of one tile (at least one row, at most tile_capacity).
    // With `confirm_dummies`, returns false as soon as a dummy column holds a
    // value other than 0.0 and 1.0 in the tile; the sums are then partial,
    // and the pass is to be discarded. `offset`: the tile's o_i, or len 0.
    bool add_tile(MatrixView tile, VectorView offset, bool confirm_dummies);

    // The effects and the Jacobian sums over the n rows added.
    MarginalEffects result(std::uint64_t n);

private:
    void predictor(MatrixView tile, VectorView offset);
    void link_at_predictor(std::size_t m);
    void continuous_weights(std::size_t m);
    const double* dummy_column(MatrixView tile, std::size_t q) const;
    bool dummy_terms(std::size_t q, const double* x, std::size_t m, bool confirm);
    bool logit_dummy_terms_from_exp(std::size_t q, const double* x, std::size_t m, bool confirm);
    bool probit_dummy_terms_in_registers(std::size_t q, const double* x, std::size_t m,
                                         bool confirm);
    bool dummy_terms_at_switched_point(std::size_t q, const double* x, std::size_t m,
                                       bool confirm);
    void products(MatrixView tile);
    void accumulate_products();
    void finish_continuous_rows();

    const ModelKind kind_;
    const SeMethod se_method_;
    const std::size_t k_;
    const Vector beta_;  // dense copy of the k coefficients
    const std::vector<std::size_t> dummies_;
    const std::vector<std::size_t> continuous_;
    const bool need_cdf_at_predictor_;
    const std::size_t product_width_;  // columns of D: the dummies, then w if any
    // Per dummy (Logit only): e^b and e^-b, or zeros where the dummy's other
    // point takes the link's own pair.
    struct LogitFactors {
        double up = 0.0, down = 0.0;
    };
    std::vector<LogitFactors> logit_exp_factors_;

    // Sums over all rows added so far.
    Vector ame_sum_;            // Σ F1 - F0 at each dummy; continuous ones at the end
    Vector jac_sum_;            // k × k, row-major
    double pdf_sum_ = 0.0;      // Σ_i f(xb_i)
    Vector weighted_col_sums_;  // Σ_i w_i·x_ic for every column c

    // Per-row values of the current tile.
    Vector predictor_;          // xb_i = x_i·β + o_i
    Vector cdf_at_predictor_;   // F(xb_i)
    Vector pdf_at_predictor_;   // f(xb_i)
    Vector exp_at_predictor_;   // e^-xb_i (Logit with a dummy that uses it)
    Vector switched_;           // xb with the current dummy at its other value
    Vector cdf_at_switched_;
    Vector pdf_at_switched_;
    Vector observed_;           // xb + 0·b, for a non-finite dummy coefficient b
    Vector cdf_at_observed_;
    Vector pdf_at_observed_;
    Vector dummy_copies_;       // the dummy columns, where they are not contiguous
    Vector product_factor_;     // D: column q at q·m, f1 - f0 of dummy q, then w
    Vector tile_products_;      // Dᵀ·X_t, (dummies + 1) × k
    Vector dummy_density_sums_; // Σ_i f1 of each dummy over the tile
};

bool TiledPass::add_tile(MatrixView tile, VectorView offset, bool confirm_dummies) {
    const std::size_t m = tile.rows;
    predictor(tile, offset);
    link_at_predictor(m);
    if (!continuous_.empty()) continuous_weights(m);
    if (!dummy_copies_.empty()) copy_columns(tile, dummies_.data(), dummies_.size(),
                                             dummy_copies_.data());
    for (std::size_t q = 0; q < dummies_.size(); ++q)
        if (!dummy_terms(q, dummy_column(tile, q), m, confirm_dummies)) return false;
    products(tile);
    accumulate_products();
    return true;
}

// xb = X_t·β + o, shared by every regressor of the tile and by both points
// of each dummy (which shift it by ±b): the offset enters every quantity of
// the pass through it, at one addition per row, and only when there is one.
void TiledPass::predictor(MatrixView tile, VectorView offset) {
    matvec(tile, beta_.data(), predictor_.data());
    if (offset.len == 0) return;
    double* xb = predictor_.data();
    if (offset.stride == 1) {
        for (std::size_t i = 0; i < tile.rows; ++i) xb[i] += offset.data[i];
    } else {
        for (std::size_t i = 0; i < tile.rows; ++i) xb[i] += offset[i];
    }
}

// f(xb), and F(xb) where it is needed; Σ f(xb) for the continuous effects.
void TiledPass::link_at_predictor(std::size_t m) {
    if (!exp_at_predictor_.empty())
        logit_cdf_pdf_exp(predictor_.data(), m, cdf_at_predictor_.data(),
                          pdf_at_predictor_.data(), exp_at_predictor_.data());
    else if (need_cdf_at_predictor_)
        cdf_pdf(kind_, predictor_.data(), m, cdf_at_predictor_.data(), pdf_at_predictor_.data());
    else
        pdf(kind_, predictor_.data(), m, pdf_at_predictor_.data());
    pdf_sum_ += lane_sum(m, pdf_at_predictor_.data());
}

// w_i = xb_i·f(xb_i) ("rust") or f'(xb_i) ("sm"), the last column of D, with
// f' formed from the f and F at hand: Logit f(z)(1 - 2F(z)), Probit f(z)·(-z).
void TiledPass::continuous_weights(std::size_t m) {
    double* w = product_factor_.data() + dummies_.size() * m;
    const double* xb = predictor_.data();
    const double* f = pdf_at_predictor_.data();
    const double* cdf_xb = cdf_at_predictor_.data();
    if (se_method_ == SeMethod::Rust)
        for (std::size_t i = 0; i < m; ++i) w[i] = xb[i] * f[i];
    else if (kind_ == ModelKind::Logit)
        for (std::size_t i = 0; i < m; ++i) w[i] = f[i] * (1.0 - 2.0 * cdf_xb[i]);
    else
        for (std::size_t i = 0; i < m; ++i) w[i] = f[i] * -xb[i];
}

// The q-th dummy column of the tile: read in place where it is contiguous,
// else from its dense copy.
const double* TiledPass::dummy_column(MatrixView tile, std::size_t q) const {
    if (!dummy_copies_.empty()) return dummy_copies_.data() + q * tile.rows;
    return tile.column(dummies_[q]).data;
}

// Dummy j with coefficient b. The counterfactual predictors are
// xb1 = xb + (1 - x)·b and xb0 = xb + (-x)·b; one of them is the observed
// point xb + 0·b (the dummy at its own value), the other the switched point.
// For finite b the observed point is xb itself (up to the sign of a zero,
// which F and f do not see), whose F and f are at hand: only the switched
// point needs the link, Logit's from e^-xb where e^±b are normal numbers,
// Probit's in one loop with the terms. For an infinite or NaN b, 0·b is NaN:
// the link is evaluated at the observed point too (where it is NaN, as IEEE
// arithmetic has it). Each returns false, under `confirm`, when the tile's
// x holds a value other than 0.0 and 1.0.
bool TiledPass::dummy_terms(std::size_t q, const double* x, std::size_t m, bool confirm) {
    if (!logit_exp_factors_.empty() && logit_exp_factors_[q].up != 0.0)
        return logit_dummy_terms_from_exp(q, x, m, confirm);
    if (kind_ == ModelKind::Probit && std::isfinite(beta_[dummies_[q]]))
        return probit_dummy_terms_in_registers(q, x, m, confirm);
    return dummy_terms_at_switched_point(q, x, m, confirm);
}

// Logit, F and f at the switched point from e^-xb·e^∓b (logit_dummy_tile_terms).
bool TiledPass::logit_dummy_terms_from_exp(std::size_t q, const double* x, std::size_t m,
                                           bool confirm) {
    const std::size_t j = dummies_[q];
    const LogitFactors e = logit_exp_factors_[q];
    double* change = product_factor_.data() + q * m;
    LogitDummyTerms terms = logit_dummy_fast(m, x, predictor_.data(), exp_at_predictor_.data(),
                                             cdf_at_predictor_.data(), pdf_at_predictor_.data(),
                                             beta_[j], e.up, e.down, change);
    if (confirm && !terms.zero_or_one) return false;
    if (!terms.all_normal)
        terms = logit_dummy_exact(m, x, predictor_.data(), exp_at_predictor_.data(),
                                  cdf_at_predictor_.data(), pdf_at_predictor_.data(), beta_[j],
                                  e.up, e.down, change);
    ame_sum_[j] += terms.sums.effect;
    dummy_density_sums_[q] = terms.sums.density;
    return true;
}

// Probit, finite b: the switched point, its Φ and φ and the terms in one
// loop over registers (probit_dummy_terms, link.hpp).
bool TiledPass::probit_dummy_terms_in_registers(std::size_t q, const double* x, std::size_t m,
                                                bool confirm) {
    if (confirm && !all_zero_or_one(m, x)) return false;
    const std::size_t j = dummies_[q];
    double effect[sum_lanes] = {}, density[sum_lanes] = {};
    probit_dummy_terms(m, predictor_.data(), x, beta_[j], cdf_at_predictor_.data(),
                       pdf_at_predictor_.data(), product_factor_.data() + q * m, effect, density);
    DummySums sums;
    for (std::size_t l = 0; l < sum_lanes; ++l) {
        sums.effect += effect[l];
        sums.density += density[l];
    }
    ame_sum_[j] += sums.effect;
    dummy_density_sums_[q] = sums.density;
    return true;
}

// Any other dummy: the switched point into an array, the link over it (and
// over the observed point for a non-finite b), then the terms.
bool TiledPass::dummy_terms_at_switched_point(std::size_t q, const double* x, std::size_t m,
                                              bool confirm) {
    const std::size_t j = dummies_[q];
    const double b = beta_[j];
    const bool zero_or_one = switched_point(m, predictor_.data(), x, b, switched_.data());
    if (confirm && !zero_or_one) return false;
    cdf_pdf(kind_, switched_.data(), m, cdf_at_switched_.data(), pdf_at_switched_.data());

    const double* cdf_observed = cdf_at_predictor_.data();
    const double* pdf_observed = pdf_at_predictor_.data();
    if (!std::isfinite(b)) {
        for (std::size_t i = 0; i < m; ++i) observed_[i] = predictor_[i] + 0.0 * b;
        cdf_pdf(kind_, observed_.data(), m, cdf_at_observed_.data(), pdf_at_observed_.data());
        cdf_observed = cdf_at_observed_.data();
        pdf_observed = pdf_at_observed_.data();
    }
    const DummySums sums =
        dummy_tile_terms(m, x, cdf_observed, pdf_observed, cdf_at_switched_.data(),
                         pdf_at_switched_.data(), product_factor_.data() + q * m);
    ame_sum_[j] += sums.effect;
    dummy_density_sums_[q] = sums.density;
    return true;
}

// Dᵀ·X_t: per dummy, Σ_i (f1_i - f0_i)·x_ic for every c, and in the last row
// the continuous sums Σ_i w_i·x_ic.
void TiledPass::products(MatrixView tile) {
    transposed_product(product_factor_.data(), product_width_, tile, tile_products_.data());
}

// The dummies' Jacobian rows take the products off the diagonal and Σ f1 on
// it; the continuous sums wait for the end of the pass.
void TiledPass::accumulate_products() {
    for (std::size_t q = 0; q < dummies_.size(); ++q) {
        const std::size_t j = dummies_[q];
        const double* row = tile_products_.data() + q * k_;
        for (std::size_t c = 0; c < k_; ++c)
            jac_sum_[j * k_ + c] += c == j ? dummy_density_sums_[q] : row[c];
    }
    if (!continuous_.empty()) {
        const double* row = tile_products_.data() + dummies_.size() * k_;
        for (std::size_t c = 0; c < k_; ++c) weighted_col_sums_[c] += row[c];
    }
}

// Continuous regressor j, coefficient b, from the pass-wide sums:
//   effect: Σ f · b
//   "rust": row j = -b·w_c off the diagonal, Σ f on it
//   "sm":   row j = b·w_c, plus Σ f on the diagonal
void TiledPass::finish_continuous_rows() {
    for (std::size_t j : continuous_) {
        const double b = beta_[j];
        ame_sum_[j] += pdf_sum_ * b;
        double* row = jac_sum_.data() + j * k_;
        if (se_method_ == SeMethod::Sm) {
            for (std::size_t c = 0; c < k_; ++c) row[c] += weighted_col_sums_[c] * b;
            row[j] += pdf_sum_;
        } else {
            for (std::size_t c = 0; c < k_; ++c)
                row[c] += c == j ? pdf_sum_ : weighted_col_sums_[c] * -b;
        }
    }
}

MarginalEffects TiledPass::result(std::uint64_t n) {
    if (n > 0) finish_continuous_rows();
    // Averages over all n rows (0/0 = NaN when X has no rows).
    const double rows = static_cast<double>(n);
    MarginalEffects out;
    out.ame.resize(k_);
    for (std::size_t j = 0; j < k_; ++j) out.ame[j] = ame_sum_[j] / rows;
    out.jac_sum = std::move(jac_sum_);
    out.n = n;
    return out;
}

// One pass over X in blocks [0, c), [c, 2c), ..., the last one ending at n,
// each walked in tiles of at most tile_rows(k) rows, with `between_tiles`
// (when given) called before each tile. With `confirm_dummies`,
// every tile also checks that the dummy columns hold only 0.0 and 1.0 in its
// rows, and the pass gives up (returns nothing) at the first tile where one
// does not.
std::optional<MarginalEffects> run_pass(ModelKind kind, SeMethod se_method, VectorView beta,
                                        MatrixView x, VectorView offset,
                                        const ColumnClasses& columns,
                                        std::uint64_t block_len, bool confirm_dummies,
                                        BetweenTiles between_tiles) {
    const std::size_t n = x.rows;
    const std::size_t k = x.cols;
    if (n == 0) {
        return TiledPass(kind, se_method, Vector(k), columns, 0, false).result(0);
    }
    // With rows to walk, a block of no rows would never advance.
    if (block_len == 0) panic("block length must be at least 1");
    const std::size_t first_block = block_len < n ? static_cast<std::size_t>(block_len) : n;
    if (beta.len != k) panic_shape_mismatch(first_block, k, beta.len, 1);
    if (offset.len != 0 && offset.len != n) panic_shape_mismatch(n, 1, offset.len, 1);
    Vector dense_beta(k);
    for (std::size_t c = 0; c < k; ++c) dense_beta[c] = beta[c];
    const std::size_t tile_capacity = std::min(tile_rows(k), first_block);
    TiledPass pass(kind, se_method, std::move(dense_beta), columns, tile_capacity,
                   x.row_stride != 1);

    for (std::size_t start = 0; start < n;) {
        const std::size_t end = block_len >= n - start ? n : start + block_len;
        for (std::size_t t0 = start; t0 < end;) {
            // Between tiles: the one place where the pass may be stopped.
            if (between_tiles != nullptr) between_tiles();
            const std::size_t t1 = std::min(end, t0 + tile_capacity);
            const VectorView offset_tile =
                offset.len == 0 ? VectorView{}
                                : VectorView{offset.data + static_cast<std::ptrdiff_t>(t0) *
                                                               offset.stride,
                                             t1 - t0, offset.stride};
            if (!pass.add_tile(x.row_block(t0, t1), offset_tile, confirm_dummies))
                return std::nullopt;
            t0 = t1;
        }
        start = end;
    }
    return pass.result(n);
}

}  // namespace

// The dummies are found within the pass instead of by a separate scan of X:
// a column that holds only 0.0 and 1.0 in the first tile's rows is taken as
// a dummy, and each tile checks its dummy columns in the loop that reads them
// anyway. If a later row disproves one, which a continuous regressor does in
// its first rows almost always, the columns are classified by a full scan and
// the pass starts over. Either way the classification is that of a full scan.
MarginalEffects average_marginal_effects(ModelKind kind, VectorView beta, MatrixView x,
                                         VectorView offset,
                                         const std::vector<std::size_t>& intercepts,
                                         std::uint64_t block_len, SeMethod se_method,
                                         BetweenTiles between_tiles) {
    const std::size_t first_tile = std::min(x.rows, tile_rows(x.cols));
    const ColumnClasses from_first_tile = classify_columns(x.row_block(0, first_tile), intercepts);
    if (auto effects = run_pass(kind, se_method, beta, x, offset, from_first_tile, block_len,
                                first_tile < x.rows, between_tiles))
        return std::move(*effects);
    const ColumnClasses from_all_rows = classify_columns(x, intercepts);
    return std::move(
        *run_pass(kind, se_method, beta, x, offset, from_all_rows, block_len, false,
                  between_tiles));
}

}  // namespace tarvex
