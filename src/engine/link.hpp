// Link functions of the two binary-choice models.
//
// For a linear predictor z = x·β the model's probability is F(z); the pass
// needs F (cdf) and its density f = F' (pdf):
//
//   Logit:  F(z) = 1/(1 + e^-z)      f(z) = e^z/(1 + e^z)^2
//   Probit: F(z) = Φ(z)              f(z) = e^(-z²/2)/√(2π)
//
// Each is computed in the form written next to its kernel (link.cpp).
// Logit: from the C library's exp or its vector variant, one correctly
// rounded operation at a time; the test suite (tests/test_link_accuracy.py)
// checks it within 10 ulp of the same form with glibc's scalar exp. Probit:
// the engine's own kernel computes Φ and φ together from one exponential and
// the Mills ratio, checked against the true functions (mpmath; tests/
// test_normal_kernel.py): measured at most 3.9 ulp (Φ; 3.4 at AVX2) and 1.2
// ulp (φ) over the whole line down to Φ's underflow. NaN gives NaN;
// infinities give the limits.
#pragma once

#include <cmath>
#include <cstddef>

namespace tarvex {

enum class ModelKind { Logit, Probit };

namespace link_constants {
// √2, scale of the erfc argument of the scalar Φ below.
inline constexpr double sqrt_2 = 1.4142135623730951;
// Above this argument (w + 1)² with w = e^z overflows (at z ≈ 354.89), so the
// logistic density switches to its mirror image f(z) = f(-z), evaluated from
// e^-z, which is finite for every z (and equals e^-z to rounding there).
inline constexpr double logit_pdf_mirror_above = 354.0;
}  // namespace link_constants

// Scalar forms, with the C library's exp and erfc.

// Logistic density w/((w + 1)(w + 1)) with w = e^z, mirrored for large z.
inline double logit_pdf(double z) {
    if (z > link_constants::logit_pdf_mirror_above) {
        const double w = std::exp(-z);
        return w / ((w + 1.0) * (w + 1.0));
    }
    const double w = std::exp(z);
    return w / ((w + 1.0) * (w + 1.0));
}

// Φ(z) = erfc(t)·0.5 with t = (0 - z)/(1·√2), the standard normal (mean 0,
// sd 1) written as such. 0 once erfc underflows (z < -38.5). The p-values of
// the table use this form (not the pass's kernel), as statsmodels does.
inline double probit_cdf(double z) {
    const double t = (0.0 - z) / (1.0 * link_constants::sqrt_2);
    if (std::isnan(t)) return NAN;
    if (t >= INFINITY) return 0.0;
    if (t <= -INFINITY) return 1.0;
    return std::erfc(t) * 0.5;
}

// Element-wise forms: out[i] = F(z[i]) or f(z[i]) for i < len, the kernels
// of link.cpp for the widest instruction-set level the CPU runs. The kind is
// tested once per call, not per element, and a value does not depend on its
// position in the array nor on the array's length.
void cdf(ModelKind kind, const double* z, std::size_t len, double* out);
void pdf(ModelKind kind, const double* z, std::size_t len, double* out);

// cdf and pdf at the same points: cdf_out[i] = F(z[i]), pdf_out[i] = f(z[i])
// (none of the three arrays may overlap). cdf_out is exactly cdf's. For
// Logit, f is formed from the same exponential e^-z as F, with e^z = 1/e^-z,
// so it may differ from pdf's value by a few ulp (link.cpp gives the measured
// figure); for Probit both come from one pass of the fused kernel and are
// exactly cdf's and pdf's.
void cdf_pdf(ModelKind kind, const double* z, std::size_t len, double* cdf_out,
             double* pdf_out);

// A Probit dummy with coefficient b over m rows of the pass: Φ and φ at
// each row's other point xb_i + (1 - 2·x_i)·b (x_i is 0.0 or 1.0), paired
// with cdf_observed, pdf_observed at xb_i as the dummy's values 1 and 0:
// writes change_i = φ1 - φ0 and adds Φ1 - Φ0 and φ1 to the eight lanes of
// effect and density (normal_kernel.inc gives the order). The kernel's Φ and
// φ, without an array between them and the sums.
void probit_dummy_terms(std::size_t m, const double* xb, const double* x, double b,
                        const double* cdf_observed, const double* pdf_observed, double* change,
                        double* effect, double* density);

// The log scale of the link (tarvex_margins' elasticities): for i < len,
//   log_cdf[i] = log F(z[i]),  ratio[i] = f/F,  deriv_ratio[i] = (f/F)′ = f′/F − (f/F)²,
// each from a form that holds where F itself underflows (link.cpp gives the
// forms and their accuracy); log_cdf and deriv_ratio may be null (not
// written). No two arrays overlap.
void log_cdf_ratios(ModelKind kind, const double* z, std::size_t len, double* log_cdf,
                    double* ratio, double* deriv_ratio);

// Logit's cdf_pdf, also keeping exp_out[i] = e^-z[i], the exponential F and f
// are formed from (the four arrays do not overlap). A dummy's other point
// z + δ then needs no exponential of its own: e^-(z + δ) = e^-z·e^-δ.
void logit_cdf_pdf_exp(const double* z, std::size_t len, double* cdf_out, double* pdf_out,
                       double* exp_out);

}  // namespace tarvex
