// Link functions of the two binary-choice models.
//
// For a linear predictor z = x·β the model's probability is F(z); the engine
// needs F (cdf), its density f = F' (pdf) and the density's derivative f'
// (pdf_deriv).
//
//   Logit:  F(z) = 1/(1 + e^-z)      f(z) = e^z/(1 + e^z)^2      f'(z) = f(z)(1 - 2F(z))
//   Probit: F(z) = Φ(z)              f(z) = e^(-z²/2)/√(2π)      f'(z) = -z f(z)
//
// Every function is evaluated in exactly the form written next to it, with
// exp and erfc from the C library (the element-wise forms below: from its
// vector variants). Accuracy: each is within a few ulp of the
// exact value wherever the result is a normal double, because exp and erfc of
// glibc are within 1 ulp and every other step is one correctly rounded
// operation on well-conditioned operands (checked against mpmath at 50 digits
// over [-40, 40] and the tails in the test suite). NaN gives NaN; infinities
// follow the formulas.
#pragma once

#include <cmath>
#include <cstddef>

#include "engine/matrix.hpp"

namespace tarvex {

class PrefetchStream;  // engine/prefetch.hpp

enum class ModelKind { Logit, Probit };

namespace link_constants {
// √(2π), divisor of the normal density (a division, not a product with 1/√(2π)).
inline constexpr double sqrt_2pi = 2.5066282746310002;
// √2, scale of the erfc argument of Φ.
inline constexpr double sqrt_2 = 1.4142135623730951;
// Above this argument (w + 1)² with w = e^z overflows (at z ≈ 354.89), so the
// logistic density switches to its mirror image f(z) = f(-z), evaluated from
// e^-z, which is finite for every z (and equals e^-z to rounding there).
inline constexpr double logit_pdf_mirror_above = 354.0;
}  // namespace link_constants

// Logistic distribution function 1/(e^-z + 1): 0 where e^-z overflows
// (z < -709.78), 1 for z > 36.7.
inline double logit_cdf(double z) { return 1.0 / (std::exp(-z) + 1.0); }

// Logistic density w/((w + 1)(w + 1)) with w = e^z, mirrored for large z.
inline double logit_pdf(double z) {
    if (z > link_constants::logit_pdf_mirror_above) {
        const double w = std::exp(-z);
        return w / ((w + 1.0) * (w + 1.0));
    }
    const double w = std::exp(z);
    return w / ((w + 1.0) * (w + 1.0));
}

inline double logit_pdf_deriv(double z) { return logit_pdf(z) * (1.0 - 2.0 * logit_cdf(z)); }

// Φ(z) = ½·erfc(-z/√2), evaluated as erfc(t)·0.5 with t = (0 - z)/(1·√2) for the
// standard normal (mean 0, sd 1). 0 once erfc underflows (z < -38.5).
inline double probit_cdf(double z) {
    const double t = (0.0 - z) / (1.0 * link_constants::sqrt_2);
    if (std::isnan(t)) return NAN;
    if (t >= INFINITY) return 0.0;
    if (t <= -INFINITY) return 1.0;
    return std::erfc(t) * 0.5;
}

// φ(z) = exp((-0.5·z)·z)/√(2π); 0 for |z| > 38.6.
inline double probit_pdf(double z) {
    return std::exp((-0.5 * z) * z) / link_constants::sqrt_2pi;
}

inline double probit_pdf_deriv(double z) { return probit_pdf(z) * -z; }

inline double cdf(ModelKind kind, double z) {
    return kind == ModelKind::Logit ? logit_cdf(z) : probit_cdf(z);
}
inline double pdf(ModelKind kind, double z) {
    return kind == ModelKind::Logit ? logit_pdf(z) : probit_pdf(z);
}
inline double pdf_deriv(ModelKind kind, double z) {
    return kind == ModelKind::Logit ? logit_pdf_deriv(z) : probit_pdf_deriv(z);
}

// Element-wise forms: out[i] = f(z[i]) for i < len, the same formulas with
// exp and erfc taken from glibc's vector maths library (libmvec) when the
// build has it: within 3 (exp) and 4 (erfc) ulp of the scalar functions, so
// each value is within a few ulp of the scalar form above (link.cpp gives the
// measured figures; the test suite checks them). The kind is tested once per
// call, not per element; a value does not depend on its position in the array.
void cdf(ModelKind kind, const double* z, std::size_t len, double* out);
void pdf(ModelKind kind, const double* z, std::size_t len, double* out,
         PrefetchStream* ahead = nullptr);
void pdf_deriv(ModelKind kind, const double* z, std::size_t len, double* out);

// cdf and pdf at the same points: cdf_out[i] = F(z[i]), pdf_out[i] = f(z[i])
// (none of the three arrays may overlap). cdf_out is exactly cdf's. For
// Logit, f is formed from the same exponential e^-z as F, with e^z = 1/e^-z,
// so it may differ from pdf's value by a few ulp (link.cpp gives the measured
// figure); for Probit both are exactly cdf's and pdf's. With `ahead`, lines
// of it are prefetched while the values are computed (prefetch.hpp).
void cdf_pdf(ModelKind kind, const double* z, std::size_t len, double* cdf_out,
             double* pdf_out, PrefetchStream* ahead = nullptr);

// The same, returning a new Vector read through the view's stride.
Vector cdf(ModelKind kind, VectorView z);
Vector pdf(ModelKind kind, VectorView z);
Vector pdf_deriv(ModelKind kind, VectorView z);

}  // namespace tarvex
