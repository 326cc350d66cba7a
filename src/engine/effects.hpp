// Average marginal effects of a binary-choice model and the Jacobian of the
// effects with respect to the coefficients, in one pass over the design matrix.
//
// With F = cdf, f = pdf of the model kind, x_i the i-th row of X (n × k), o_i
// the model's offset in row i (0 without one) and the predictor xb_i = x_i·β + o_i:
//   continuous j: AME_j = β_j · (1/n) Σ_i f(xb_i)
//   binary j:     AME_j = (1/n) Σ_i [F(xb_i + (1 - x_ij)β_j) - F(xb_i - x_ij β_j)]
// Intercept columns get no effect; binary (dummy) columns are those that hold
// only 0.0 and 1.0, continuous ones the rest. The Jacobian J[j][c] = ∂AME_j/∂β_c is
// accumulated as sums over the observations (divided by n later):
//   binary j, c = j:      Σ_i f(xb1_i)
//   binary j, c ≠ j:      Σ_i (f(xb1_i) - f(xb0_i)) x_ic
//   continuous j, "rust": c = j: Σ_i f(xb_i);   c ≠ j: -β_j Σ_i xb_i x_ic f(xb_i)
//   continuous j, "sm":   β_j Σ_i x_ic f'(xb_i), plus Σ_i f(xb_i) when c = j
// "sm" is the exact derivative of the effect; "rust" keeps the per-observation
// gradient of the original implementation (no β_j f' term on the diagonal, and
// -xb·f(xb) in place of f'(xb)).
#pragma once

#include <cstdint>
#include <vector>

#include "engine/link.hpp"
#include "engine/matrix.hpp"

namespace tarvex {

enum class SeMethod { Rust, Sm };

struct MarginalEffects {
    Vector ame;           // k averaged effects, 0 at intercept positions
    Vector jac_sum;       // k·k Jacobian sums of the chosen gradient form, row-major
    std::uint64_t n = 0;  // rows of X
};

// Run between two tiles of the pass, a few hundred microseconds of work apart
// at most; it may throw to abandon the pass, which then leaves nothing behind.
using BetweenTiles = void (*)();

// The effects of the columns of X and the Jacobian sums of the selected
// form, in one pass over X in blocks of block_len rows (block_len >= 1 when X
// has rows), every quantity at the predictor x_i·β + o_i: `offset` holds o_i,
// one per row of X, or nothing (len 0) for a model without an offset. The
// columns at the positions `intercepts` (below k) get no effect; the other
// columns that hold only 0.0 and 1.0 are dummies, the rest continuous.
MarginalEffects average_marginal_effects(ModelKind kind, VectorView beta, MatrixView x,
                                         VectorView offset,
                                         const std::vector<std::size_t>& intercepts,
                                         std::uint64_t block_len, SeMethod se_method,
                                         BetweenTiles between_tiles = nullptr);

}  // namespace tarvex
