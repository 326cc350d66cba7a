"""An independent NumPy evaluation of average marginal effects, their
delta-method standard errors and the reported statistics, straight from the
formulas (no blocking, no shortcuts), to compare tarvex against."""
import math

import numpy as np

_erfc = np.vectorize(math.erfc, otypes=[float])


def link(kind):
    """(F, f, f') of a model kind as vectorised NumPy functions."""
    if kind.lower() == "logit":
        def cdf(z):
            return 1.0 / (1.0 + np.exp(-z))

        def pdf(z):
            # e^-|z| / (1 + e^-|z|)^2 is the same function, finite for every z.
            w = np.exp(-np.abs(z))
            return w / (1.0 + w) ** 2

        def pdf_deriv(z):
            return pdf(z) * (1.0 - 2.0 * cdf(z))
    else:
        def cdf(z):
            return 0.5 * _erfc(-np.asarray(z, dtype=float) / math.sqrt(2.0))

        def pdf(z):
            return np.exp(-0.5 * z * z) / math.sqrt(2.0 * math.pi)

        def pdf_deriv(z):
            return -z * pdf(z)
    return cdf, pdf, pdf_deriv


def is_intercept_name(name):
    return name.lower() in ("const", "intercept")


def effects_and_jacobian(kind, beta, X, names, se_method="rust"):
    """AMEs of every column (0 at intercepts), the Jacobian J of the effects
    with respect to β, the size of the terms each entry of J sums (|J| without
    cancellation, which bounds its rounding error), and the intercept columns."""
    X = np.asarray(X, dtype=float)
    beta = np.asarray(beta, dtype=float)
    n, k = X.shape
    cdf, pdf, pdf_deriv = link(kind)
    intercepts = {j for j, name in enumerate(names) if is_intercept_name(name)}
    binary = {j for j in range(min(k, len(names)))
              if j not in intercepts and np.all((X[:, j] == 0.0) | (X[:, j] == 1.0))}
    with np.errstate(all="ignore"):
        xb = X @ beta
        fx = pdf(xb)
        ame = np.zeros(k)
        jac = np.zeros((k, k))
        jac_terms = np.zeros((k, k))
        abs_x = np.abs(X)
        for j in range(k):
            if j in intercepts:
                continue
            if j in binary:
                xb1 = xb + (1.0 - X[:, j]) * beta[j]
                xb0 = xb - X[:, j] * beta[j]
                ame[j] = np.mean(cdf(xb1) - cdf(xb0))
                jac[j] = (pdf(xb1) - pdf(xb0)) @ X / n
                jac[j, j] = np.mean(pdf(xb1))
                jac_terms[j] = (pdf(xb1) + pdf(xb0)) @ abs_x / n
            elif se_method == "sm":
                ame[j] = beta[j] * np.mean(fx)
                jac[j] = beta[j] * (pdf_deriv(xb) @ X) / n
                jac[j, j] += np.mean(fx)
                jac_terms[j] = abs(beta[j]) * (np.abs(pdf_deriv(xb)) @ abs_x) / n
            else:
                ame[j] = beta[j] * np.mean(fx)
                jac[j] = -beta[j] * ((xb * fx) @ X) / n
                jac[j, j] = np.mean(fx)
                jac_terms[j] = abs(beta[j]) * ((np.abs(xb) * fx) @ abs_x) / n
            jac_terms[j, j] += np.mean(fx) + abs(jac[j, j])
    return ame, jac, jac_terms, sorted(intercepts)


def effects_and_se(kind, beta, sigma, X, names, se_method="rust"):
    """AMEs and standard errors of every column (intercepts included, 0 effect)."""
    ame, jac, _, intercepts = effects_and_jacobian(kind, beta, X, names, se_method)
    with np.errstate(all="ignore"):
        se = np.sqrt(np.diag(jac @ sigma @ jac.T))
    return ame, se, intercepts


def statistics(ame, se):
    """(z, p, low, high, mark) of one effect, as the table reports them."""
    if not se > 1e-15:
        return 0.0, 1.0, ame, ame, ""
    z = ame / se
    p = 2.0 * (1.0 - 0.5 * math.erfc(-abs(z) / math.sqrt(2.0))) if not math.isnan(z) else math.nan
    mark = "***" if p < 0.01 else "**" if p < 0.05 else "*" if p < 0.1 else ""
    return z, p, ame - 1.96 * se, ame + 1.96 * se, mark
