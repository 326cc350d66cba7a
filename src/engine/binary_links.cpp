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
// NaN of 0·∞.
// On the log scale, with u = e^η (cloglog) or e^−η (loglog), the forms are
// those of the header rearranged so that nothing is divided by an F that
// has underflowed and nothing cancels:
//   cloglog  f/F = u/expm1(u) for 2^-30 ≤ u ≤ 40; 1 − u/2 below (its series
//            1 − u/2 + u²/12 − ..., also where u underflows, η < −745); u·e^−u
//            above (e^u − 1 = e^u there; 0 where u overflows). log F = η − u/2 for u < 2^-30
//            (log u + log(1 − u/2 + ...)), log(−expm1(−u)) up to u = ln 2,
//            log1p(−e^−u) above (F near 1). (f/F)′ = (f/F)·(−expm1(η) −
//            f/F) (1 − u without cancellation near u = 1), 0 where f/F is 0,
//            −u/2 below u = 2^-30 (the series; the form would cancel to 0).
//   loglog   log F = −u, f/F = u, (f/F)′ = −u: exact forms, infinite only
//            where the true values overflow (η < −709.78); the quotient
//            rule's u(u − 1) − u² would lose every digit once u > 2^53.
//   cauchit  with a = atan2(1, −η) = π·F: f/F = 1/(a + |η|·(|η|·a)) (η² would
//            overflow at |η| > 1.3e154 where f/F ≈ 1/|η| is not small);
//            log F = log(a/π) for η ≤ 0, log1p(−atan2(1, η)/π) above (F near
//            1); (f/F)′ = −(f/F)·(2/(η + 1/η) + f/F).
// Each is one or two library calls within 1 ulp and a few correctly rounded
// operations: measured within 3 ulp of the true function wherever it is a
// normal double, η from −1e3 (loglog −700) to 40 (tests/test_log_scale.py,
// mpmath) — except cloglog's log F ≈ −e^−u for η > 0, where e^−u magnifies
// the rounding of u = e^η: about u/2 ulp (as in the cloglog f above). tests/test_margins.py compares the effects and standard errors
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

void cloglog_log_cdf_ratios(const double* eta, std::size_t len, double* log_cdf, double* ratio,
                            double* deriv_ratio) {
    constexpr double series_below = 0x1p-30;
    constexpr double exp_dominates_above = 40.0;
    constexpr double ln_2 = 0.69314718055994530942;
    for (std::size_t i = 0; i < len; ++i) {
        const double u = std::exp(eta[i]);
        double r;
        if (u < series_below) r = 1.0 - 0.5 * u;
        else if (u <= exp_dominates_above) r = u / std::expm1(u);
        else r = u == INFINITY ? 0.0 : u * std::exp(-u);
        ratio[i] = r;
        if (log_cdf != nullptr) {
            if (u < series_below) log_cdf[i] = eta[i] - 0.5 * u;
            else if (u <= ln_2) log_cdf[i] = std::log(-std::expm1(-u));
            else log_cdf[i] = std::log1p(-std::exp(-u));
        }
        if (deriv_ratio != nullptr)
            deriv_ratio[i] = u < series_below ? -0.5 * u
                                              : scaled_density(r, -std::expm1(eta[i]) - r);
    }
}

void loglog_log_cdf_ratios(const double* eta, std::size_t len, double* log_cdf, double* ratio,
                           double* deriv_ratio) {
    for (std::size_t i = 0; i < len; ++i) {
        const double u = std::exp(-eta[i]);
        ratio[i] = u;
        if (log_cdf != nullptr) log_cdf[i] = -u;
        if (deriv_ratio != nullptr) deriv_ratio[i] = -u;
    }
}

void cauchit_log_cdf_ratios(const double* eta, std::size_t len, double* log_cdf, double* ratio,
                            double* deriv_ratio) {
    for (std::size_t i = 0; i < len; ++i) {
        const double e = eta[i];
        const double a = std::atan2(1.0, -e);
        const double x = std::fabs(e);
        const double r = 1.0 / (a + x * (x * a));
        ratio[i] = r;
        if (log_cdf != nullptr)
            log_cdf[i] = e > 0.0 ? std::log1p(-std::atan2(1.0, e) / pi) : std::log(a / pi);
        if (deriv_ratio != nullptr) deriv_ratio[i] = -r * (2.0 / (e + 1.0 / e) + r);
    }
}

}  // namespace

void link_log_cdf_ratios(BinaryLink link, const double* eta, std::size_t len,
                         double* log_cdf_out, double* ratio_out, double* deriv_ratio_out) {
    switch (link) {
        case BinaryLink::CLogLog:
            return cloglog_log_cdf_ratios(eta, len, log_cdf_out, ratio_out, deriv_ratio_out);
        case BinaryLink::LogLog:
            return loglog_log_cdf_ratios(eta, len, log_cdf_out, ratio_out, deriv_ratio_out);
        case BinaryLink::Cauchit:
            return cauchit_log_cdf_ratios(eta, len, log_cdf_out, ratio_out, deriv_ratio_out);
        default:
            return log_cdf_ratios(engine_kind(link), eta, len, log_cdf_out, ratio_out,
                                  deriv_ratio_out);
    }
}

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
