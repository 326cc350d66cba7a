"""Fitted models and an independent NumPy reference for the margins tests.

The reference takes the design rows and their derivatives or rebuilt rows from
patsy's own build of whole modified data frames (not from tarvex_margins'
per-column rebuild) and applies the formulas of the average marginal effect
and its gradient row by row."""
import math

import numpy as np
import pandas as pd
import statsmodels.api as sm
import statsmodels.formula.api as smf
from patsy import build_design_matrices

from reference import link as _model_link

_LOG_PI = math.log(math.pi)


def link(name):
    """(F, f, f') of an inverse link as NumPy functions."""
    if name in ("logit", "probit"):
        return _model_link(name)
    if name == "cloglog":
        return (lambda z: -np.expm1(-np.exp(z)), lambda z: np.exp(z - np.exp(z)),
                lambda z: np.exp(z - np.exp(z)) * (1 - np.exp(z)))
    if name == "loglog":
        return (lambda z: np.exp(-np.exp(-z)), lambda z: np.exp(-z - np.exp(-z)),
                lambda z: np.exp(-z - np.exp(-z)) * (np.exp(-z) - 1))
    return (lambda z: 0.5 + np.arctan(z) / np.pi, lambda z: 1 / (np.pi * (1 + z * z)),
            lambda z: -2 * z / (np.pi * (1 + z * z) ** 2))


def frame(n, seed):
    """Numeric x, z (positive), a 0/1 t, a 4-level string g, a bool b, and y."""
    rng = np.random.default_rng(seed)
    df = pd.DataFrame({
        "x": rng.normal(size=n),
        "z": rng.uniform(0.5, 3.0, size=n),
        "t": rng.integers(0, 2, size=n),
        "g": rng.choice(["north", "east", "south", "west"], size=n),
        "b": rng.random(n) < 0.4,
    })
    eta = 0.3 + 0.8 * df.x - 0.4 * df.x**2 + 0.5 * df.z * df.t + (df.g == "east") * 0.7 - 0.5 * df.b
    df["y"] = (rng.random(n) < 1 / (1 + np.exp(-eta))).astype(float)
    return df


def fit(formula, df, kind="logit", glm_link=None, **kwargs):
    if glm_link is None:
        return getattr(smf, kind)(formula, df).fit(disp=0)
    links = sm.families.links
    family = sm.families.Binomial({"logit": links.Logit(), "probit": links.Probit(),
                                   "cloglog": links.CLogLog(), "loglog": links.LogLog(),
                                   "cauchit": links.Cauchy()}[glm_link])
    return smf.glm(formula, df, family=family, **kwargs).fit()


def _design(result, df):
    """The design of `df` built by the model's own formula engine (patsy, or
    formulaic's ModelSpec)."""
    data = result.model.data
    design = data.model_spec if hasattr(data, "model_spec") else data.design_info
    if type(design).__module__.startswith("formulaic"):
        return np.asarray(design.get_model_matrix(df), dtype=float)
    (X,) = build_design_matrices([design], df)
    return np.asarray(X)


def slope(result, df, linkname, dX, weights=None, offset=0.0):
    """AME of a variable whose design derivative is the n × k array dX, and its gradient."""
    F, f, fd = link(linkname)
    X, beta = _design(result, df), np.asarray(result.params)
    w = np.ones(len(df)) if weights is None else np.asarray(weights, float)
    eta = X @ beta + offset
    s = dX @ beta
    est = np.sum(w * f(eta) * s) / w.sum()
    grad = ((w * fd(eta) * s) @ X + (w * f(eta)) @ dX) / w.sum()
    return est, grad


def contrast(result, df, linkname, var, a, b, weights=None, offset=0.0):
    """AME of switching `var` from b to a in every row, and its gradient."""
    F, f, _ = link(linkname)
    beta = np.asarray(result.params)
    w = np.ones(len(df)) if weights is None else np.asarray(weights, float)
    Xa = _design(result, df.assign(**{var: pd.Series(a, index=df.index, dtype=df[var].dtype)}))
    Xb = _design(result, df.assign(**{var: pd.Series(b, index=df.index, dtype=df[var].dtype)}))
    ea, eb = Xa @ beta + offset, Xb @ beta + offset
    est = np.sum(w * (F(ea) - F(eb))) / w.sum()
    grad = ((w * f(ea)) @ Xa - (w * f(eb)) @ Xb) / w.sum()
    return est, grad


def standard_errors(result, grads):
    J = np.asarray(grads)
    return np.sqrt(np.diag(J @ np.asarray(result.cov_params()) @ J.T))
