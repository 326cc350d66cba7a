// The row pass of tarvex_margins: the weighted sums behind the average effects
// of variables and their gradients in β, accumulated over one block of rows.
//
// Row i has design row x_i (k columns), offset o_i, weight w_i and linear
// predictor η_i = x_i·β + o_i. An estimate is either
//   a slope:     m_i = f(η_i)·s_i with s_i = D_i·β, where D_i = ∂x_i/∂v, and
//                ∂m_i/∂β = f′(η_i)·s_i·x_i + f(η_i)·D_i;
//   a contrast:  m_i = F(η^a_i) − F(η^b_i) between the rows x^a_i and x^b_i
//                rebuilt with the variable at two values, and
//                ∂m_i/∂β = f(η^a_i)·x^a_i − f(η^b_i)·x^b_i.
// Only the design columns that depend on the variable differ from x_i (or, for
// a slope, are non-zero in D_i), so an estimate is given by those columns
// alone: η^a_i = η_i + Σ_c (x^a_ic − x_ic)·β_c over its changed columns c.
//
// Two options change m_i (the elasticities and semi-elasticities):
//   on the log scale (the effect on log P rather than on P = F):
//     a slope becomes m_i = f_i·s_i/F_i (∂ log F/∂v), with
//       ∂m_i/∂β = (f′_i/F_i − f_i²/F_i²)·s_i·x_i + (f_i/F_i)·D_i
//     (quotient rule, ∂F_i/∂β = f_i·x_i);
//     a contrast becomes m_i = log F(η^a_i) − log F(η^b_i), with
//       ∂m_i/∂β = (f^a_i/F^a_i)·x^a_i − (f^b_i/F^b_i)·x^b_i;
//   a row factor a_i (the variable's value in the row, for the "ex" forms)
//     multiplies m_i and so ∂m_i/∂β. β does not enter a_i, so the product rule
//     leaves only a_i·∂m_i/∂β: the factor acts as a per-estimate weight w_i·a_i
//     in S and T (not in W).
//
// The pass adds, for every estimate e, S_e += Σ w_i·m_i and T_e += Σ w_i·∂m_i/∂β,
// and W += Σ w_i once; with group codes, each sum runs over the rows of one
// group into that group's accumulators, so all groups come from one pass. Sums over any split of the rows add up, so the caller
// feeds the blocks one after the other into the same accumulators and divides
// at the end: estimate S_e/W, gradient T_e/W.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/binary_links.hpp"
#include "engine/matrix.hpp"

namespace tarvex {

enum class EstimateKind : std::int32_t { Slope = 0, Contrast = 1 };

// Where an estimate's changed columns lie in the block's `changed` matrix:
// a slope has width columns ∂x/∂v starting at `first`; a contrast has x^a in
// [first, first + width) and x^b in [first + width, first + 2·width). The design
// column of changed column c is design_col[c] (the same for both halves).
// `factor` is the column of the block's `factors` matrix holding a_i, or −1
// for none; `log_scale` selects the effect on log P.
struct EstimateLayout {
    EstimateKind kind = EstimateKind::Slope;
    std::size_t first = 0;
    std::size_t width = 0;
    std::ptrdiff_t factor = -1;
    bool log_scale = false;
};

struct MarginsBlock {
    MatrixView design;                   // rows × k
    VectorView offset;                   // len 0: no offset
    VectorView weights;                  // len 0: every weight 1
    MatrixView changed;                  // rows × (columns of all estimates)
    const std::int64_t* design_col = nullptr;  // one entry per column of `changed`
    MatrixView factors;                  // rows × (row factors a_i), may have no columns
    const std::int64_t* groups = nullptr;  // one group code per row in [0, groups); null: one group
};

// The accumulators, owned by the caller, one set per group (a single set
// without groups), group after group: weight (W, one per group), effect_sum
// (S, groups × estimates) and gradient_sum (T, groups × estimates × k),
// row-major. Row i adds to the set of its group code.
struct MarginsSums {
    double* weight = nullptr;
    double* effect_sum = nullptr;
    double* gradient_sum = nullptr;
    std::size_t estimates = 0;
};

// Adds the block's contributions to the sums. The caller has checked the
// shapes: beta.len == design.cols, offset and weights empty or one per row,
// changed.rows == design.rows, every design_col < k, the layouts inside
// `changed`, factors.rows == design.rows when an estimate has a factor,
// every factor < factors.cols, every group code below the number of sets of
// accumulators, sums.estimates == estimates.size().
void accumulate_margins(BinaryLink link, VectorView beta, const MarginsBlock& block,
                        const std::vector<EstimateLayout>& estimates, const MarginsSums& sums);

}  // namespace tarvex
