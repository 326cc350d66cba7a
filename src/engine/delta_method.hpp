// Delta-method standard errors of the average marginal effects.
#pragma once

#include <cstdint>

#include "engine/matrix.hpp"

namespace tarvex {

// J = jac_sum / n (k × k), V = (J·Σ)·Jᵀ, se_j = √V_jj (NaN for a negative
// variance, and for every j when n = 0). Σ must be k × k.
Vector delta_method_se(const Vector& jac_sum, std::uint64_t n, std::size_t k, MatrixView sigma);

}  // namespace tarvex
