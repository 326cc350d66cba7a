"""An independent NumPy evaluation of average marginal effects, their
delta-method variances and the reported statistics, straight from the formulas
(no blocking, no shortcuts), and the assertions that compare a table with it."""
import math

import numpy as np
import pandas as pd

from conftest import TABLE_COLUMNS

_erfc = np.vectorize(math.erfc, otypes=[float])
SQRT_2 = math.sqrt(2.0)


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
            return 0.5 * _erfc(-np.asarray(z, dtype=float) / SQRT_2)

        def pdf(z):
            return np.exp(-0.5 * z * z) / math.sqrt(2.0 * math.pi)

        def pdf_deriv(z):
            return -z * pdf(z)
    return cdf, pdf, pdf_deriv


def is_intercept_name(name):
    return name.lower() in ("const", "intercept")


def effects_and_jacobian(kind, beta, X, names, se_method="rust", offset=None):
    """AMEs of every column (0 at intercepts), the Jacobian J of the effects
    with respect to β, the size of the terms each entry of J sums (|J| without
    cancellation, which bounds its rounding error), and the intercept columns;
    every quantity at the predictor X·β + offset."""
    X = np.asarray(X, dtype=float)
    beta = np.asarray(beta, dtype=float)
    n, k = X.shape
    cdf, pdf, pdf_deriv = link(kind)
    intercepts = {j for j, name in enumerate(names) if is_intercept_name(name)}
    binary = {j for j in range(min(k, len(names)))
              if j not in intercepts and np.all((X[:, j] == 0.0) | (X[:, j] == 1.0))}
    with np.errstate(all="ignore"):
        xb = X @ beta
        if offset is not None:
            xb = xb + np.asarray(offset, dtype=float)
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


def expected(model, se_method="rust"):
    """The reference for a model (with its inner model's offset, if it has
    one): effects and variances of every column, the
    scale of the variances' rounding error (|J|·|Σ|·|J|ᵀ without cancellation)
    and the positions of the reported (non-intercept) columns."""
    X, beta = np.array(model.model.exog, dtype=float), np.array(model.params, dtype=float)
    sigma, names = np.array(model.cov_params(), dtype=float), list(model.model.exog_names)
    n, k = X.shape
    intercepts = {j for j, name in enumerate(names) if is_intercept_name(name)}
    reported = [j for j in range(k) if j not in intercepts]
    if n == 0:  # every effect and variance is 0/0
        nan = np.full(k, math.nan)
        return nan, nan, nan, reported
    ame, jac, jac_terms, _ = effects_and_jacobian(type(model.model).__name__, beta, X, names,
                                                  se_method, getattr(model.model, "offset", None))
    with np.errstate(all="ignore"):
        variance = np.diag(jac @ sigma @ jac.T)
        scale = np.diag(jac_terms @ np.abs(sigma) @ jac_terms.T)
    return ame, variance, scale, reported


def statistics(a, s):
    """(z, p, low, high, mark) of an effect a with standard error s, in the
    arithmetic the table uses: p = 2·(1 - Φ(|z|)), Φ(x) = erfc(-x/√2)/2."""
    if not s > 1e-15:
        return 0.0, 1.0, a, a, ""
    z = a / s
    p = 2.0 * (1.0 - math.erfc(-abs(z) / SQRT_2) * 0.5)
    mark = "***" if p < 0.01 else "**" if p < 0.05 else "*" if p < 0.1 else ""
    h = 1.96 * s
    return z, p, a - h, a + h, mark


def _same(x, y):
    return (math.isnan(x) and math.isnan(y)) or x == y


def assert_statistics_follow(table):
    """Every row's z, p, bounds and mark are those of its own effect and
    standard error, exactly, whatever the values."""
    assert isinstance(table, pd.DataFrame)
    assert list(table.columns) == TABLE_COLUMNS
    for row in table.itertuples(index=False):
        z, p, low, high, mark = statistics(row[0], row[1])
        assert all(map(_same, row[2:6], (z, p, low, high))), (row, (z, p, low, high))
        assert row[6] == mark


def assert_matches_reference(table, model, se_method="rust", rtol=1e-12, atol=0.0,
                             reference=None):
    """The table's rows, effects and variances against the reference (each
    variance within rtol of its rounding-error scale), its statistics exact.
    `reference`: expected(model, se_method), when already at hand."""
    ame, variance, scale, reported = reference or expected(model, se_method)
    names = list(model.model.exog_names)
    assert list(table.index) == [names[j] for j in reported]
    assert_statistics_follow(table)
    np.testing.assert_allclose(table["dy/dx"].to_numpy(dtype=float), ame[reported], rtol=rtol,
                               atol=atol, equal_nan=True)
    got = table["Std. Err"].to_numpy(dtype=float) ** 2
    for g, r, t in zip(got, variance[reported], rtol * scale[reported] + 1e-280):
        if math.isnan(r) and math.isnan(g):  # no rows: 0/0
            continue
        if r < -t:  # a negative variance (Σ not semidefinite): NaN
            assert math.isnan(g), (g, r)
        elif math.isnan(g):  # one that rounding pushed below zero
            assert abs(r) <= t, (g, r)
        else:
            assert abs(g - r) <= t, (g, r, t)
