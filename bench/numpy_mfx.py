"""Average marginal effects with delta-method standard errors, written the way a
user would in vectorised NumPy/SciPy: whole-column arrays, one expression per
formula. The statsmodels-style ("sm") Jacobian, the same numbers as
``tarvex.mfx(result, se_method="sm")`` and ``get_margeff(at="overall",
method="dydx", dummy=True)``.
"""
import numpy as np
from scipy import special


def links(kind):
    """(F, f, f') of the model kind, as NumPy/SciPy ufunc expressions."""
    if kind == "Logit":
        cdf = special.expit

        def pdf(z):
            p = special.expit(z)
            return p * (1.0 - p)

        def pdf_deriv(z):
            p = special.expit(z)
            return p * (1.0 - p) * (1.0 - 2.0 * p)
    else:
        cdf = special.ndtr

        def pdf(z):
            return np.exp(-0.5 * z * z) / np.sqrt(2.0 * np.pi)

        def pdf_deriv(z):
            return -z * pdf(z)
    return cdf, pdf, pdf_deriv


def numpy_mfx(kind, X, beta, cov, names):
    """Returns (names, effects, standard errors) of the non-intercept columns."""
    cdf, pdf, pdf_deriv = links(kind)
    n, k = X.shape
    const = [j for j, name in enumerate(names) if name.lower() in ("const", "intercept")]
    binary = [j for j in range(k) if j not in const and np.isin(X[:, j], (0.0, 1.0)).all()]
    xb = X @ beta
    f = pdf(xb)
    ame = np.zeros(k)
    jac = np.zeros((k, k))
    # Continuous: AME_j = β_j·mean f; ∂/∂β_c = δ_jc·mean f + β_j·mean(f'·x_c).
    g = (pdf_deriv(xb) @ X) / n
    mean_f = f.mean()
    for j in range(k):
        if j in const or j in binary:
            continue
        ame[j] = beta[j] * mean_f
        jac[j] = beta[j] * g
        jac[j, j] += mean_f
    # Binary: AME_j = mean[F(xb1) - F(xb0)]; ∂/∂β_c = mean[(f1 - f0)·x_c], mean f1 at c = j.
    for j in binary:
        xj = X[:, j]
        xb1 = xb + (1.0 - xj) * beta[j]
        xb0 = xb - xj * beta[j]
        ame[j] = (cdf(xb1) - cdf(xb0)).mean()
        f1 = pdf(xb1)
        jac[j] = ((f1 - pdf(xb0)) @ X) / n
        jac[j, j] = f1.mean()
    se = np.sqrt(np.diag(jac @ cov @ jac.T))
    keep = [j for j in range(k) if j not in const]
    return [names[j] for j in keep], ame[keep], se[keep]
