// The row pass of margins_pass.hpp, one tile of rows at a time.
//
// Per tile: the linear predictor; the link values the estimates need; per
// estimate its row weights (w_i, or w_i·a_i with a row factor), its row
// values m_i (summed at once into S) and the coefficient
// g_i of x_i in w_i·∂m_i/∂β (a column of the tile's coefficient matrix G),
// with the terms of the changed columns summed straight into T; finally
// T += Gᵀ·X_tile, one dot product of contiguous columns per (estimate, column). The tile is short enough
// for every temporary to stay in the first-level caches.
#include "engine/margins_pass.hpp"

#include <algorithm>
#include <cmath>

namespace tarvex {

namespace {

constexpr std::size_t tile_rows = 256;

// η_i = x_i·β + o_i for the rows of `design`, read in the order its layout
// favours: along each row when rows are contiguous, else column by column.
void linear_predictor(MatrixView design, VectorView beta, VectorView offset, double* eta) {
    const std::size_t n = design.rows, k = design.cols;
    if (design.col_stride == 1) {
        for (std::size_t i = 0; i < n; ++i) {
            double acc = 0.0;
            for (std::size_t j = 0; j < k; ++j) acc += design(i, j) * beta[j];
            eta[i] = acc;
        }
    } else {
        std::fill(eta, eta + n, 0.0);
        for (std::size_t j = 0; j < k; ++j) {
            const VectorView col = design.column(j);
            const double b = beta[j];
            for (std::size_t i = 0; i < n; ++i) eta[i] += col[i] * b;
        }
    }
    if (offset.len != 0)
        for (std::size_t i = 0; i < n; ++i) eta[i] += offset[i];
}

void row_weights(VectorView weights, std::size_t rows, double* w) {
    if (weights.len == 0) {
        std::fill(w, w + rows, 1.0);
    } else {
        for (std::size_t i = 0; i < rows; ++i) w[i] = weights[i];
    }
}

// The block's views restricted to rows [start, start + rows).
MarginsBlock tile_of(const MarginsBlock& block, std::size_t start, std::size_t rows) {
    MarginsBlock tile = block;
    tile.design = block.design.row_block(start, start + rows);
    if (block.changed.cols != 0) tile.changed = block.changed.row_block(start, start + rows);
    if (block.offset.len != 0)
        tile.offset = {block.offset.data + static_cast<std::ptrdiff_t>(start) * block.offset.stride,
                       rows, block.offset.stride};
    if (block.weights.len != 0)
        tile.weights = {block.weights.data + static_cast<std::ptrdiff_t>(start) * block.weights.stride,
                        rows, block.weights.stride};
    if (block.factors.cols != 0) tile.factors = block.factors.row_block(start, start + rows);
    if (block.groups != nullptr) tile.groups = block.groups + start;
    return tile;
}

// Temporaries of one tile, allocated once per call.
struct TileBuffers {
    TileBuffers(std::size_t estimates, std::size_t k)
        : eta(tile_rows), weight(tile_rows), estimate_weight(tile_rows), density(tile_rows),
          density_deriv(tile_rows), ratio(tile_rows), deriv_ratio(tile_rows),
          eta_a(tile_rows), eta_b(tile_rows), cdf_a(tile_rows), pdf_a(tile_rows),
          cdf_b(tile_rows), pdf_b(tile_rows), row_coef(tile_rows * estimates),
          columns(tile_rows * k), row_value(tile_rows) {}
    Vector eta, weight, estimate_weight, density, density_deriv;
    Vector ratio, deriv_ratio;  // f/F and (f/F)′, for slopes on the log scale
    Vector eta_a, eta_b, cdf_a, pdf_a, cdf_b, pdf_b;
    Vector row_coef;  // G, column by column: G_ie at [e·tile_rows + i]
    Vector columns;   // the tile's columns of X, when X's columns are strided (or its rows, grouped)
    Vector row_value; // one row term per row, before it is summed
};

// Where a tile's row terms are summed: into one accumulator, or with groups
// into the accumulator of each row's group, which lies `stride` doubles after
// the previous group's.
struct RowTargets {
    const std::int64_t* groups = nullptr;  // the tile's group codes; null: one group

    // target[0] += Σ_i values[i], or target[groups[i]·stride] += values[i].
    void add(const double* values, std::size_t rows, double* target, std::size_t stride) const {
        if (groups == nullptr) {
            double acc = 0.0;
            for (std::size_t i = 0; i < rows; ++i) acc += values[i];
            *target += acc;
        } else {
            for (std::size_t i = 0; i < rows; ++i)
                target[static_cast<std::size_t>(groups[i]) * stride] += values[i];
        }
    }
};

// The weights of one estimate's sums: w_i, or w_i·a_i with its row factor a_i.
const double* estimate_weights(const MarginsBlock& tile, const EstimateLayout& est, TileBuffers& buf) {
    if (est.factor < 0) return buf.weight.data();
    const VectorView a = tile.factors.column(static_cast<std::size_t>(est.factor));
    for (std::size_t i = 0; i < tile.design.rows; ++i) buf.estimate_weight[i] = buf.weight[i] * a[i];
    return buf.estimate_weight.data();
}

// Slope: m_i = g_i·s_i with s_i = Σ_c D_ic·β_c, where g_i = f_i, or f_i/F_i on
// the log scale; ∂m_i/∂β = h_i·s_i·x_i + g_i·D_i with h_i = f′_i, or
// f′_i/F_i − (f_i/F_i)² = (f/F)′_i on the log scale (f/F and (f/F)′ straight
// from the link's log-scale forms, finite where F underflows). With row weights u_i: S_e gets
// Σ_i u_i·m_i, G_ie = u_i·h_i·s_i, and the changed columns add Σ_i u_i·g_i·D_ic
// to T_e,c.
void slope_tile(const MarginsBlock& tile, VectorView beta, const EstimateLayout& est,
                std::size_t e, const double* u, TileBuffers& buf, const MarginsSums& sums,
                const RowTargets& targets) {
    const std::size_t rows = tile.design.rows, k = tile.design.cols, n_est = sums.estimates;
    double* ug = buf.eta_a.data();  // u_i·g_i, reused by every changed column
    double* term = buf.row_value.data();
    for (std::size_t i = 0; i < rows; ++i) {
        double s = 0.0;
        for (std::size_t c = 0; c < est.width; ++c)
            s += tile.changed(i, est.first + c) * beta[static_cast<std::size_t>(tile.design_col[est.first + c])];
        const double g = est.log_scale ? buf.ratio[i] : buf.density[i];
        const double h = est.log_scale ? buf.deriv_ratio[i] : buf.density_deriv[i];
        ug[i] = u[i] * g;
        term[i] = ug[i] * s;
        buf.row_coef[e * tile_rows + i] = u[i] * h * s;
    }
    targets.add(term, rows, sums.effect_sum + e, n_est);
    for (std::size_t c = 0; c < est.width; ++c) {
        const VectorView d = tile.changed.column(est.first + c);
        for (std::size_t i = 0; i < rows; ++i) term[i] = ug[i] * d[i];
        targets.add(term, rows, sums.gradient_sum + e * k + static_cast<std::size_t>(tile.design_col[est.first + c]),
                    n_est * k);
    }
}

// η shifted by the changed columns: η_i + Σ_c (x'_ic − x_ic)·β_c, with x' the
// columns [first, first + width) of `changed`.
void shifted_predictor(const MarginsBlock& tile, VectorView beta, std::size_t first,
                       std::size_t width, const double* eta, double* out) {
    const std::size_t rows = tile.design.rows;
    std::copy(eta, eta + rows, out);
    for (std::size_t c = 0; c < width; ++c) {
        const std::size_t j = static_cast<std::size_t>(tile.design_col[first + c]);
        const VectorView changed = tile.changed.column(first + c);
        const VectorView observed = tile.design.column(j);
        const double b = beta[j];
        for (std::size_t i = 0; i < rows; ++i) out[i] += (changed[i] - observed[i]) * b;
    }
}

// Contrast: m_i = F(η^a_i) − F(η^b_i) (or log F on the log scale, whose
// derivative in η is f/F, taken for f below); with row weights u_i: S_e gets Σ_i u_i·m_i, G_ie = u_i·(f^a_i − f^b_i),
// and the changed columns add Σ_i u_i·(f^a_i·(x^a_ic − x_ic) − f^b_i·(x^b_ic − x_ic))
// to T_e,c, so that in all T_e gets Σ_i u_i·(f^a_i·x^a_i − f^b_i·x^b_i).
void contrast_tile(BinaryLink link, const MarginsBlock& tile, VectorView beta,
                   const EstimateLayout& est, std::size_t e, const double* u, TileBuffers& buf,
                   const MarginsSums& sums, const RowTargets& targets) {
    const std::size_t rows = tile.design.rows, k = tile.design.cols, n_est = sums.estimates;
    const std::size_t first_b = est.first + est.width;
    shifted_predictor(tile, beta, est.first, est.width, buf.eta.data(), buf.eta_a.data());
    shifted_predictor(tile, beta, first_b, est.width, buf.eta.data(), buf.eta_b.data());
    if (est.log_scale) {
        // log F into cdf_a/cdf_b, f/F into pdf_a/pdf_b.
        link_log_cdf_ratios(link, buf.eta_a.data(), rows, buf.cdf_a.data(), buf.pdf_a.data(),
                            nullptr);
        link_log_cdf_ratios(link, buf.eta_b.data(), rows, buf.cdf_b.data(), buf.pdf_b.data(),
                            nullptr);
    } else {
        link_cdf_pdf(link, buf.eta_a.data(), rows, buf.cdf_a.data(), buf.pdf_a.data());
        link_cdf_pdf(link, buf.eta_b.data(), rows, buf.cdf_b.data(), buf.pdf_b.data());
    }
    double* term = buf.row_value.data();
    for (std::size_t i = 0; i < rows; ++i) {
        term[i] = u[i] * (buf.cdf_a[i] - buf.cdf_b[i]);
        buf.row_coef[e * tile_rows + i] = u[i] * (buf.pdf_a[i] - buf.pdf_b[i]);
    }
    targets.add(term, rows, sums.effect_sum + e, n_est);
    for (std::size_t c = 0; c < est.width; ++c) {
        const std::size_t j = static_cast<std::size_t>(tile.design_col[est.first + c]);
        const VectorView xa = tile.changed.column(est.first + c);
        const VectorView xb = tile.changed.column(first_b + c);
        const VectorView x = tile.design.column(j);
        for (std::size_t i = 0; i < rows; ++i)
            term[i] = u[i] * (buf.pdf_a[i] * (xa[i] - x[i]) - buf.pdf_b[i] * (xb[i] - x[i]));
        targets.add(term, rows, sums.gradient_sum + e * k + j, n_est * k);
    }
}

// Σ_i a_i·b_i with four independent partial sums (the compiler keeps them in
// vector registers; the order of the additions is fixed, so results are
// reproducible).
double dot(const double* a, const double* b, std::size_t n) {
    double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        s0 += a[i] * b[i];
        s1 += a[i + 1] * b[i + 1];
        s2 += a[i + 2] * b[i + 2];
        s3 += a[i + 3] * b[i + 3];
    }
    for (; i < n; ++i) s0 += a[i] * b[i];
    return (s0 + s1) + (s2 + s3);
}

// T_e,j += Σ_i G_ie·X_ij for every estimate e and column j: Gᵀ·X_tile as dot
// products of contiguous columns (the tile's columns of X are copied into
// `columns` first unless they are contiguous already).
void add_coefficients_times_design(MatrixView design, const double* row_coef, std::size_t n_est,
                                   double* columns, double* gradient_sum) {
    const std::size_t rows = design.rows, k = design.cols;
    for (std::size_t j = 0; j < k; ++j) {
        const double* x = columns + j * rows;
        if (design.row_stride == 1) {
            x = design.column(j).data;
        } else {
            const VectorView col = design.column(j);
            for (std::size_t i = 0; i < rows; ++i) columns[j * rows + i] = col[i];
        }
        for (std::size_t e = 0; e < n_est; ++e)
            gradient_sum[e * k + j] += dot(row_coef + e * tile_rows, x, rows);
    }
}

// With groups: T_{g_i},e,j += G_ie·X_ij row by row, each row of the tile
// copied into `rows_buf` first so that the update runs along contiguous j.
void add_coefficients_times_design_grouped(MatrixView design, const double* row_coef,
                                           std::size_t n_est, const std::int64_t* groups,
                                           double* rows_buf, double* gradient_sum) {
    const std::size_t rows = design.rows, k = design.cols;
    for (std::size_t i = 0; i < rows; ++i)
        for (std::size_t j = 0; j < k; ++j) rows_buf[i * k + j] = design(i, j);
    for (std::size_t i = 0; i < rows; ++i) {
        const double* x = rows_buf + i * k;
        double* group_rows = gradient_sum + static_cast<std::size_t>(groups[i]) * n_est * k;
        for (std::size_t e = 0; e < n_est; ++e) {
            const double g = row_coef[e * tile_rows + i];
            double* t = group_rows + e * k;
            for (std::size_t j = 0; j < k; ++j) t[j] += g * x[j];
        }
    }
}

// Which link values the tile's slopes need: f and f′ for a slope, f/F and
// (f/F)′ instead for a slope on the log scale.
struct SlopeNeeds {
    bool density = false;
    bool log_ratios = false;
};

void accumulate_tile(BinaryLink link, VectorView beta, const MarginsBlock& tile,
                     const std::vector<EstimateLayout>& estimates, SlopeNeeds needs,
                     TileBuffers& buf, const MarginsSums& sums) {
    const std::size_t rows = tile.design.rows, n_est = estimates.size();
    linear_predictor(tile.design, beta, tile.offset, buf.eta.data());
    row_weights(tile.weights, rows, buf.weight.data());
    if (needs.density) link_pdf_deriv(link, buf.eta.data(), rows, buf.density.data(), buf.density_deriv.data());
    if (needs.log_ratios)
        link_log_cdf_ratios(link, buf.eta.data(), rows, nullptr, buf.ratio.data(),
                            buf.deriv_ratio.data());

    const RowTargets targets{tile.groups};
    targets.add(buf.weight.data(), rows, sums.weight, 1);

    for (std::size_t e = 0; e < n_est; ++e) {
        const EstimateLayout& est = estimates[e];
        const double* u = estimate_weights(tile, est, buf);
        if (est.kind == EstimateKind::Slope) {
            slope_tile(tile, beta, est, e, u, buf, sums, targets);
        } else {
            contrast_tile(link, tile, beta, est, e, u, buf, sums, targets);
        }
    }
    if (tile.groups == nullptr) {
        add_coefficients_times_design(tile.design, buf.row_coef.data(), n_est, buf.columns.data(),
                                      sums.gradient_sum);
    } else {
        add_coefficients_times_design_grouped(tile.design, buf.row_coef.data(), n_est, tile.groups,
                                              buf.columns.data(), sums.gradient_sum);
    }
}

}  // namespace

void accumulate_margins(BinaryLink link, VectorView beta, const MarginsBlock& block,
                        const std::vector<EstimateLayout>& estimates, const MarginsSums& sums) {
    const std::size_t n = block.design.rows;
    if (n == 0) return;
    SlopeNeeds needs;
    for (const EstimateLayout& e : estimates) {
        needs.density = needs.density || (e.kind == EstimateKind::Slope && !e.log_scale);
        needs.log_ratios = needs.log_ratios || (e.kind == EstimateKind::Slope && e.log_scale);
    }
    TileBuffers buf(estimates.size(), block.design.cols);
    for (std::size_t start = 0; start < n; start += tile_rows) {
        const std::size_t rows = std::min(tile_rows, n - start);
        accumulate_tile(link, beta, tile_of(block, start, rows), estimates, needs, buf, sums);
    }
}

}  // namespace tarvex
