// Delta method: Var(AME) ≈ J Σ Jᵀ with J the Jacobian of the effects.
#include "engine/delta_method.hpp"

#include <cmath>

#include "engine/kernels.hpp"
#include "engine/panic.hpp"

namespace tarvex {

Vector delta_method_se(const Vector& jac_sum, std::uint64_t n, std::size_t k, MatrixView sigma) {
    const std::size_t kk = checked_product(k, k);
    const double rows = static_cast<double>(n);
    Vector jac(kk);
    for (std::size_t e = 0; e < kk; ++e) jac[e] = jac_sum[e] / rows;
    const MatrixView j_view = row_major_view(jac.data(), k, k);

    // A = J·Σ (k × k by k × s), then V = A·Jᵀ (k × s by k × k).
    if (sigma.rows != k) panic_shape_mismatch(k, k, sigma.rows, sigma.cols);
    Vector a(checked_product(k, sigma.cols));
    matmul(j_view, sigma, a.data());
    if (sigma.cols != k) panic_shape_mismatch(k, sigma.cols, k, k);
    Vector v(kk);
    matmul(row_major_view(a.data(), k, k), j_view.transposed(), v.data());

    // IEEE square root: a negative variance gives NaN, -0.0 stays -0.0.
    Vector se(k);
    for (std::size_t j = 0; j < k; ++j) se[j] = std::sqrt(v[j * k + j]);
    return se;
}

}  // namespace tarvex
