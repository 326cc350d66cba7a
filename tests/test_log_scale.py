"""The log scale of every link (log F, f/F and its derivative (f/F)' =
f'/F - (f/F)²: what margins' "ey" methods use) against mpmath, down to the far tail where F underflows, and margins'
eydx/eyex slopes and log-scale contrasts at rows there.

The private hook tarvex_margins._engine.log_link_values returns the values
the pass uses. The reference is mpmath at 60 digits; an error is counted in
units in the last place of the true value's nearest double."""
import math

import numpy as np
import pandas as pd
import pytest

from margins_models import fit, frame
from tarvex_margins import _engine, margins

mp = pytest.importorskip("mpmath")

LINKS = ("logit", "probit", "cloglog", "loglog", "cauchit")
# Measured worst case over the points below: 3 ulp (link.cpp and
# binary_links.cpp record the forms).
ULPS = 4.0
DBL_MIN = np.finfo(float).tiny


def true_log_scale(link, eta):
    """(log F, f/F, (f/F)') at eta, in mpmath, with the digits the far tail
    needs (loglog's e^-η has |η|/2.3 digits before the point); log F from
    1 - F where F is near 1."""
    with mp.workdps(80 + int(abs(eta) * 0.45)):
        z = mp.mpf(eta)
        if link == "logit":
            F, S = 1 / (1 + mp.exp(-z)), 1 / (1 + mp.exp(z))
            f = F * S
            fd = f * (1 - 2 * F)
        elif link == "probit":
            F, S, f = mp.ncdf(z), mp.ncdf(-z), mp.npdf(z)
            fd = -z * f
        elif link == "cloglog":
            u = mp.exp(z)
            F, S, f = -mp.expm1(-u), mp.exp(-u), mp.exp(z - u)
            fd = f * (1 - u)
        elif link == "loglog":
            u = mp.exp(-z)
            F, S, f = mp.exp(-u), -mp.expm1(-u), mp.exp(-z - u)
            fd = f * (u - 1)
        else:
            F, S = mp.mpf(1) / 2 + mp.atan(z) / mp.pi, mp.mpf(1) / 2 - mp.atan(z) / mp.pi
            f = 1 / (mp.pi * (1 + z * z))
            fd = -2 * z * f / (1 + z * z)
        log_f = mp.log(F) if F < 0.5 else mp.log1p(-S)
        return log_f, f / F, fd / F - (f / F) ** 2


def ulps(got, true):
    """|got - true| in ulps of the true value's double (inf where it overflows)."""
    t = float(true) if abs(true) < mp.mpf(np.finfo(float).max) else math.copysign(math.inf, true)
    if math.isinf(t):
        return 0.0 if got == t else math.inf
    return float(abs(mp.mpf(got) - true) / np.spacing(abs(t)))


def points(link):
    rng = np.random.default_rng(LINKS.index(link))
    # loglog's f/F = e^-η overflows below -709.78: its true value is no double.
    low = -700.0 if link == "loglog" else -1000.0
    return np.concatenate([
        rng.normal(0.0, 3.0, 150),
        rng.uniform(-45.0, -30.0, 100),  # where Φ and loglog's F underflow
        -np.exp(rng.uniform(np.log(45.0), np.log(-low), 150)),
        rng.uniform(5.0, 40.0, 50),
        [low, -38.4, -37.5, -1.0, -1e-8, 0.0, 1e-8, 1.0, 4.0, -4.0, 40.0],
    ])


def engine_log_scale(link, z):
    out = np.empty((3, z.size))
    _engine.log_link_values(LINKS.index(link), np.ascontiguousarray(z), *out)
    return out


@pytest.mark.parametrize("link", LINKS)
def test_log_scale_within_a_few_ulp_of_mpmath(link):
    z = points(link)
    got = engine_log_scale(link, z)
    worst = {}
    for i, eta in enumerate(z):
        for name, g, t in zip(("log F", "f/F", "(f/F)'"), got[:, i], true_log_scale(link, eta)):
            if abs(t) < DBL_MIN:  # zero or subnormal: an absolute step or so
                assert abs(g - float(t)) <= 2 * 2.0**-1074, (link, name, eta, g, t)
                continue
            # Above η = 0, cloglog's e^-u carries the rounding of u = e^η,
            # magnified u times; probit's (f/F)' cancels below 0, to about
            # (f/F)²/2 ulp of 1; cloglog's and cauchit's (f/F)' to a few ulp
            # of f/F (binary_links.cpp, link.cpp).
            limit = ULPS + (2 * math.exp(eta) if link == "cloglog" and eta > 0 else 0.0)
            error = ulps(g, t)
            if name == "(f/F)'" and (link in ("probit", "cauchit") or
                                     (link == "cloglog" and eta <= 0)):
                # In ulps of the f/F beside which it enters the gradient.
                ratio = float(true_log_scale(link, eta)[1])
                error = float(abs(mp.mpf(g) - t)) / np.spacing(abs(ratio))
                limit = 2 * ULPS * (1 + abs(eta)) if link == "probit" else 2 * limit
            worst[name] = max(worst.get(name, 0.0), error)
            assert error <= limit, (link, name, eta, g, float(t))
    assert set(worst) == {"log F", "f/F", "(f/F)'"}


@pytest.mark.parametrize("link", LINKS)
def test_log_scale_limits_and_nan(link):
    got = engine_log_scale(link, np.array([np.nan, -np.inf, np.inf]))
    assert np.isnan(got[:, 0]).all()
    # At +inf, F = 1: log F = 0, and the density vanishes.
    np.testing.assert_array_equal(got[:2, 2], [0.0, 0.0])
    # At -inf, log F = -inf.
    assert got[0, 1] == -np.inf


# margins at rows in the far tail: the reference is each row's value in
# mpmath, averaged.
DF = frame(400, seed=3)
# (loglog's f/F = e^-η: at -300 it is 1.9e130, whose square the delta method
# still holds.)
TAIL_ETAS = {"loglog": [-38.4, -45.0, -100.0, -300.0]}


def tail_rows(result, etas):
    """Rows (x, t) with η = b0 + b1·x + b2·t at each of the given values, t
    alternating 0 and 1."""
    b0, b1, b2 = (float(result.params[name]) for name in ("Intercept", "x", "t"))
    t = np.arange(len(etas)) % 2
    x = (np.asarray(etas) - b0 - b2 * t) / b1
    return pd.DataFrame({"x": x, "t": t, "z": 1.0, "g": "east", "b": False, "y": 0.0})


def true_row_terms(link, beta, x, t):
    """Per row, eyex and eydx of x and the log-scale contrast of t, with their
    gradients in β, in mpmath (the quotient rule in exact arithmetic)."""
    b0, b1, b2 = (mp.mpf(float(b)) for b in beta)
    rows = []
    for xi, ti in zip(x, t):
        xi = mp.mpf(float(xi))
        row = np.array([1, xi, ti], dtype=object)
        eta = b0 + b1 * xi + b2 * ti
        _, r, h = true_log_scale(link, eta)  # h = d(f/F)/dη
        eydx, eydx_grad = r * b1, h * b1 * row + r * np.array([0, 1, 0], dtype=object)
        log1, r1, _ = true_log_scale(link, b0 + b1 * xi + b2)
        log0, r0, _ = true_log_scale(link, b0 + b1 * xi)
        contrast = log1 - log0
        contrast_grad = r1 * np.array([1, xi, 1], dtype=object) - r0 * np.array([1, xi, 0], dtype=object)
        rows.append((eydx, eydx_grad, xi * eydx, xi * eydx_grad, contrast, contrast_grad))
    return rows


@pytest.mark.parametrize("link", LINKS)
def test_margins_log_scale_in_the_far_tail(link):
    result = fit("y ~ x + t", DF, glm_link=link)
    etas = TAIL_ETAS.get(link, [-38.4, -45.0, -300.0, -1000.0])
    rows = tail_rows(result, etas)
    beta = result.params[["Intercept", "x", "t"]].to_numpy()
    terms = true_row_terms(link, beta, rows.x, rows.t)
    mean = lambda j: sum(term[j] for term in terms) / len(terms)  # noqa: E731
    cov = np.asarray(result.cov_params())
    with mp.workdps(60):
        for method, (est, grad) in {"eydx": (0, 1), "eyex": (2, 3)}.items():
            table = margins(result, ["x", "t"], method=method, data=rows)
            assert np.isfinite(table.estimate).all() and np.isfinite(table.std_error).all()
            x_est, x_grad = float(mean(est)), np.array(mean(grad), dtype=float)
            t_est, t_grad = float(mean(4)), np.array(mean(5), dtype=float)
            np.testing.assert_allclose(table.estimate, [x_est, t_est], rtol=1e-12)
            # Standard errors: f'/F − (f/F)² cancels in probit's far tail
            # (link.cpp), to about (f/F)²·2^-52 absolute.
            se = [math.sqrt(g @ cov @ g) for g in (x_grad, t_grad)]
            np.testing.assert_allclose(table.std_error, se, rtol=1e-8)
