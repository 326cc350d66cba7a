// Average marginal effects of a binary-choice model and the Jacobian of the
// effects with respect to the coefficients, in one pass over the design matrix.
//
// With F = cdf, f = pdf of the model kind, x_i the i-th row of X (n × k) and
// xb_i = x_i·β:
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
#include <string>
#include <vector>

#include "engine/link.hpp"
#include "engine/matrix.hpp"

namespace tarvex {

enum class SeMethod { Rust, Sm };

// True when the UTF-8 text, lower-cased with the full Unicode mapping, equals
// the lower-case ASCII word `target`.
bool lowercase_equals(const std::string& utf8, const char* target);

// Positions whose name, lower-cased, is "const" or "intercept".
std::vector<std::size_t> find_intercepts(const std::vector<std::string>& names);

struct MarginalEffects {
    Vector ame;           // k averaged effects, 0 at intercept positions
    Vector jac_sum;       // k·k Jacobian sums of the chosen gradient form, row-major
    std::uint64_t n = 0;  // rows of X
};

// The effects of the columns of X and the Jacobian sums of the selected
// form, in one pass over X in blocks of block_len rows (block_len >= 1 when X
// has rows). The first `named_columns` columns are the model's named
// regressors (more names than columns is a broken input: it panics); those
// at the positions `intercepts` get no effect; the other named columns that
// hold only 0.0 and 1.0 are dummies, every remaining column is continuous.
MarginalEffects average_marginal_effects(ModelKind kind, VectorView beta, MatrixView x,
                                         std::size_t named_columns,
                                         const std::vector<std::size_t>& intercepts,
                                         std::uint64_t block_len, SeMethod se_method);

}  // namespace tarvex
