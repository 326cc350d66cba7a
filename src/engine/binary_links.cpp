// The inverse links of binary_links.hpp over arrays.
//
// Logit and probit forward to link.hpp (logit through glibc's vector exp where
// the build has it, probit through the engine's own Φ/φ kernel). cloglog, loglog and cauchit are scalar loops over the C
// library's exp, expm1 and atan2, each within 1 ulp (glibc), so every value
// below is within a few ulp of the exact function wherever it is a normal
// double: one library call on an exact or once-rounded argument, then at
// most three correctly rounded operations, in forms without cancellation:
//   cloglog  F = −expm1(−e^η): for η → −∞, 1 − exp(−u) would lose all digits
//            of F ≈ e^η; expm1 keeps them.
//   loglog   F = exp(−e^−η) has no subtraction; f = exp(−η − e^−η) likewise.
//   cauchit  F = atan2(1, −η)/π, the same function as ½ + arctan(η)/π for
//            every η, but without the cancellation of ½ against arctan(η)/π
//            for η → −∞ (where F ≈ 1/(π|η|)).
// Where the density underflows to 0 (e^η or e^−η overflows) f′ is 0, not the
// NaN of 0·∞. tests/test_margins.py compares the effects and standard errors
// of GLMs fitted with each link on the test data with a NumPy
// evaluation of the formulas in the header, to 1e-10 relative; the tails are
// not tested there.
#include "engine/binary_links.hpp"

#include <cmath>

#include "engine/link.hpp"

namespace tarvex {

namespace {

constexpr double pi = 3.141592653589793;

ModelKind engine_kind(BinaryLink link) {
    return link == BinaryLink::Logit ? ModelKind::Logit : ModelKind::Probit;
}

bool has_engine_kind(BinaryLink link) {
    return link == BinaryLink::Logit || link == BinaryLink::Probit;
}

// f′ = f·factor, 0 where f has underflowed (factor may then be infinite).
double scaled_density(double f, double factor) { return f == 0.0 ? 0.0 : f * factor; }

void cloglog_cdf_pdf(const double* eta, std::size_t len, double* F, double* f) {
    for (std::size_t i = 0; i < len; ++i) {
        const double u = std::exp(eta[i]);
        F[i] = -std::expm1(-u);
        f[i] = std::exp(eta[i] - u);
    }
}

void loglog_cdf_pdf(const double* eta, std::size_t len, double* F, double* f) {
    for (std::size_t i = 0; i < len; ++i) {
        const double u = std::exp(-eta[i]);
        F[i] = std::exp(-u);
        f[i] = std::exp(-eta[i] - u);
    }
}

void cauchit_cdf_pdf(const double* eta, std::size_t len, double* F, double* f) {
    for (std::size_t i = 0; i < len; ++i) {
        F[i] = std::atan2(1.0, -eta[i]) / pi;
        f[i] = 1.0 / (pi * (1.0 + eta[i] * eta[i]));
    }
}

void cloglog_pdf_deriv(const double* eta, std::size_t len, double* f, double* fd) {
    for (std::size_t i = 0; i < len; ++i) {
        const double u = std::exp(eta[i]);
        f[i] = std::exp(eta[i] - u);
        fd[i] = scaled_density(f[i], 1.0 - u);
    }
}

void loglog_pdf_deriv(const double* eta, std::size_t len, double* f, double* fd) {
    for (std::size_t i = 0; i < len; ++i) {
        const double u = std::exp(-eta[i]);
        f[i] = std::exp(-eta[i] - u);
        fd[i] = scaled_density(f[i], u - 1.0);
    }
}

void cauchit_pdf_deriv(const double* eta, std::size_t len, double* f, double* fd) {
    for (std::size_t i = 0; i < len; ++i) {
        const double q = 1.0 + eta[i] * eta[i];
        f[i] = 1.0 / (pi * q);
        fd[i] = scaled_density(f[i], -2.0 * eta[i] / q);
    }
}

}  // namespace

void link_cdf_pdf(BinaryLink link, const double* eta, std::size_t len, double* cdf_out,
                  double* pdf_out) {
    switch (link) {
        case BinaryLink::CLogLog: return cloglog_cdf_pdf(eta, len, cdf_out, pdf_out);
        case BinaryLink::LogLog: return loglog_cdf_pdf(eta, len, cdf_out, pdf_out);
        case BinaryLink::Cauchit: return cauchit_cdf_pdf(eta, len, cdf_out, pdf_out);
        default: return cdf_pdf(engine_kind(link), eta, len, cdf_out, pdf_out);
    }
}

void link_pdf_deriv(BinaryLink link, const double* eta, std::size_t len, double* pdf_out,
                    double* deriv_out) {
    if (has_engine_kind(link)) {
        // f′ from the f and F of link.hpp, as mfx forms it: logit f(1 − 2F),
        // probit −η·f (F is held in deriv_out until it is replaced).
        cdf_pdf(engine_kind(link), eta, len, deriv_out, pdf_out);
        if (link == BinaryLink::Logit) {
            for (std::size_t i = 0; i < len; ++i) deriv_out[i] = pdf_out[i] * (1.0 - 2.0 * deriv_out[i]);
        } else {
            for (std::size_t i = 0; i < len; ++i) deriv_out[i] = pdf_out[i] * -eta[i];
        }
        return;
    }
    switch (link) {
        case BinaryLink::CLogLog: return cloglog_pdf_deriv(eta, len, pdf_out, deriv_out);
        case BinaryLink::LogLog: return loglog_pdf_deriv(eta, len, pdf_out, deriv_out);
        default: return cauchit_pdf_deriv(eta, len, pdf_out, deriv_out);
    }
}

}  // namespace tarvex
