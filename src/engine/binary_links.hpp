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

// pdf_out[i] = f(eta[i]), deriv_out[i] = f′(eta[i]) for i < len (no overlap).
void link_pdf_deriv(BinaryLink link, const double* eta, std::size_t len, double* pdf_out,
                    double* deriv_out);

}  // namespace tarvex
