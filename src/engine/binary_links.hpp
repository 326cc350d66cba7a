// Inverse links of the binary models tarvex_margins serves: the probability
// F(η) of a linear predictor η, its density f = F′ and the density's
// derivative f′, over arrays.
//
//   logit    F = 1/(1 + e^-η)          f = F(1 − F)            f′ = f(1 − 2F)
//   probit   F = Φ(η)                  f = φ(η)                f′ = −η f
//   cloglog  F = 1 − exp(−e^η)         f = exp(η − e^η)        f′ = f(1 − e^η)
//   loglog   F = exp(−e^−η)            f = exp(−η − e^−η)      f′ = f(e^−η − 1)
//   cauchit  F = ½ + arctan(η)/π       f = 1/(π(1 + η²))       f′ = −2η f/(1 + η²)
//
// On the log scale (the elasticities) the pass needs log F, its derivative
// f/F and the derivative of that, (f/F)′ = f′/F − (f/F)² (the quotient rule,
// written per link so that it does not cancel where f/F is large):
//
//   logit    log F = −log1p(e^−η)      f/F = 1 − F              (f/F)′ = −F(1 − F)
//   probit   log F = log Φ(η)          f/F = φ/Φ                (f/F)′ = −(f/F)(η + f/F)
//   cloglog  log F = log(−expm1(−u))   f/F = u/expm1(u)         (f/F)′ = (f/F)(1 − u − f/F),  u = e^η
//   loglog   log F = −e^−η             f/F = e^−η               (f/F)′ = −e^−η
//   cauchit  log F = log(atan2(1, −η)/π)  f/F = 1/((1 + η²)·atan2(1, −η))
//            (f/F)′ = −(f/F)(2η/(1 + η²) + f/F)
//
// each computed from the link's tail forms, never from F after it has
// underflowed (Φ at η < −38.5, loglog's F at η < −6.6), so the values stay
// finite and accurate where the true ones are.
//
// Logit and probit are the engine's own link functions (link.hpp), the same
// values mfx uses. The other three are written out in binary_links.cpp with
// the forms that keep their accuracy in the tails.
#pragma once

#include <cstddef>

namespace tarvex {

enum class BinaryLink { Logit, Probit, CLogLog, LogLog, Cauchit };

// cdf_out[i] = F(eta[i]), pdf_out[i] = f(eta[i]) for i < len (no overlap).
void link_cdf_pdf(BinaryLink link, const double* eta, std::size_t len, double* cdf_out,
                  double* pdf_out);

// log_cdf_out[i] = log F(eta[i]), ratio_out[i] = f/F, deriv_ratio_out[i] =
// (f/F)′ for i < len (no overlap); log_cdf_out and deriv_ratio_out may be null
// (not written).
void link_log_cdf_ratios(BinaryLink link, const double* eta, std::size_t len,
                         double* log_cdf_out, double* ratio_out, double* deriv_ratio_out);

// pdf_out[i] = f(eta[i]), deriv_out[i] = f′(eta[i]) for i < len (no overlap).
void link_pdf_deriv(BinaryLink link, const double* eta, std::size_t len, double* pdf_out,
                    double* deriv_out);

}  // namespace tarvex
