"""Accuracy of the link functions inside the pass, read off tiny designs.

The pass evaluates Logit's F and f from exp of whole arrays (vector variants
of the C library's function), compared here in units in the last place with
the same formula evaluated through the C library's scalar exp; Probit's Φ and
φ come from the engine's own kernel and are compared with the true functions
(mpmath; tests/test_normal_kernel.py checks the kernel itself more closely):

- density f(z): one continuous column x with β = m and x = z/m (exact: m is a
  power of two), so x·β = z, and every other row at x·β = -1e6 where f is 0;
  the effect β·Σf/m is then exactly f(z). With a dummy in the design the pass
  evaluates F and f at x·β together (for Logit from one exponential e^-z, so
  e^z taken as 1/e^-z, and exp(z) itself where e^-z overflows): an all-zero
  dummy beside x reads off that form of f.
- distribution F(z): a continuous column c and an all-zero dummy d. The row
  of interest sits at c·β_c = v, where F(v) is exactly 0 (Logit v = -1024,
  Probit v = -64), so the dummy's effect is F(v + β_d) - F(v) = F(z) with
  z = v + β_d, the same rounded sum the pass forms.
"""
import ctypes
import ctypes.util
import functools

import numpy as np
import pytest
import tarvex

from models import results

_libm = ctypes.CDLL(ctypes.util.find_library("m"))
_libm.exp.restype = ctypes.c_double
_libm.exp.argtypes = [ctypes.c_double]

# The vector exp is within 3 ulp of the scalar one; the roundings of the
# written formulas around it add to that (Probit's kernel: 4 of the truth). Measured over 2^21 random
# arguments per range: at most 8 ulp (Logit density near z = 2), 5 elsewhere.
ULP_LIMIT = 10


def c_pdf(kind, z):
    if kind == "Logit":
        w = _libm.exp(-z if z > 354.0 else z)
        return w / ((w + 1.0) * (w + 1.0))
    return float(_mpmath().npdf(z))


def c_cdf(kind, z):
    if kind == "Logit":
        return 1.0 / (_libm.exp(-z) + 1.0)
    return float(_mpmath().ncdf(z))


@functools.cache
def _mpmath():
    mp = pytest.importorskip("mpmath")
    mp.mp.dps = 40
    return mp


def ulp_distance(a, b):
    """Steps between two doubles of the same sign (subnormals count one each)."""
    if np.isnan(a) or np.isnan(b):
        return 0 if np.isnan(a) and np.isnan(b) else np.inf
    ia, ib = (int(np.array(v, dtype=np.float64).view(np.int64)) for v in (a, b))
    ia = ia if ia >= 0 else -(ia & 0x7FFFFFFFFFFFFFFF)
    ib = ib if ib >= 0 else -(ib & 0x7FFFFFFFFFFFFFFF)
    return abs(ia - ib)


def pdf_via_mfx(kind, z, rows=16, position=0, scale=None, dummy=False):
    """β·Σf/rows with β = scale (a power of two, default rows) and x = z/β;
    with `dummy`, beside an all-zero dummy column."""
    scale = float(rows if scale is None else scale)
    x = np.full(rows, -1e6 / scale)
    x[position] = z / scale
    X, beta = (np.column_stack([x, np.zeros(rows)]), [scale, 0.75]) if dummy else (x[:, None], [scale])
    table = tarvex.mfx(results(kind, X, beta, names=["x", "d"][:X.shape[1]]))
    return table.loc["x", "dy/dx"]


CDF_BASE = {"Logit": -1024.0, "Probit": -64.0}


def cdf_via_mfx(kind, z_target, rows=1, position=0):
    """F(z) with z = base + β_d; returns (z, effect)."""
    base = CDF_BASE[kind]
    beta_d = z_target - base
    z = base + beta_d
    c = np.full(rows, -1e6)
    c[position] = base
    X = np.column_stack([c, np.zeros(rows)])
    table = tarvex.mfx(results(kind, X, [1.0, beta_d], names=["c", "d"]))
    return z, table.loc["d", "dy/dx"]


def grid(lo, hi, count, seed):
    rng = np.random.default_rng(seed)
    return np.concatenate([np.linspace(lo, hi, count), rng.uniform(lo, hi, count)])


PDF_RANGES = {
    # Logit, with the ranges where e^-z overflows while e^z is a subnormal
    # (z < -709.78) and around the mirror form's switch (z = 354).
    "Logit": [(-40, 40), (-745.2, -700), (300, 360), (700, 800), (-745.2, -709.0),
              (353.0, 355.0)],
    "Probit": [(-8, 8), (-40, 40), (36.0, 38.7), (-38.7, -36.0)],
}
CDF_RANGES = {
    "Logit": [(-40, 40), (-745, -700), (30, 40)],
    # Φ's tail: subnormal for -38.5 < z < -37.5, 0 below.
    "Probit": [(-8, 8), (-40, 12), (-38.6, -37.4), (-39.5, -38.4)],
}


@pytest.mark.parametrize("kind", ["Logit", "Probit"])
@pytest.mark.parametrize("dummy", [False, True])
def test_density_within_a_few_ulp_of_the_c_library(kind, dummy):
    for i, (lo, hi) in enumerate(PDF_RANGES[kind]):
        for j, z in enumerate(grid(lo, hi, 60, seed=i)):
            z = float(z)
            if z in (0.0, 1.0):  # would make the column a dummy
                continue
            got = pdf_via_mfx(kind, z, position=j % 16, dummy=dummy)
            assert ulp_distance(got, c_pdf(kind, z)) <= ULP_LIMIT, (z, got, c_pdf(kind, z))


@pytest.mark.parametrize("kind", ["Logit", "Probit"])
def test_distribution_within_a_few_ulp_of_the_c_library(kind):
    for i, (lo, hi) in enumerate(CDF_RANGES[kind]):
        for z_target in grid(lo, hi, 60, seed=10 + i):
            z, got = cdf_via_mfx(kind, float(z_target))
            assert ulp_distance(got, c_cdf(kind, z)) <= ULP_LIMIT, (z, got, c_cdf(kind, z))


@pytest.mark.parametrize("observed", [0.0, 1.0])
def test_logit_dummy_other_point_follows_the_exact_sum(observed):
    # A Logit dummy's other point takes its exponential from the observed
    # one, e^-(xb + δ) = e^-xb·e^-δ: the exact xb + δ, not its rounding
    # (which e^-z magnifies by |xb|). One row, the dummy at `observed`, the
    # effect F(xb1) - F(xb0) against mpmath at the exact points; within a few
    # ulp of the larger F, also where the product leaves the normal range and
    # the row takes the rounded sum through the C library's exp instead.
    mp = _mpmath()
    rng = np.random.default_rng(7)
    for v, b in [(-30.5, 2.25), (-12.0, -7.5), (3.1, 0.375), (25.0, -40.0), (-700.5, 8.0),
                 (-700.5, -8.5), (705.0, 3.0), *zip(rng.uniform(-60, 60, 40),
                                                   rng.uniform(-9, 9, 40))]:
        X = np.array([[v, observed]])
        got = tarvex.mfx(results("Logit", X, [1.0, b], names=["c", "d"])).loc["d", "dy/dx"]
        xb = v + observed * b  # the pass's predictor, rounded as it forms it
        xb1, xb0 = (mp.mpf(xb), mp.mpf(xb) - mp.mpf(b)) if observed else \
            (mp.mpf(xb) + mp.mpf(b), mp.mpf(xb))
        f1, f0 = (1 / (1 + mp.exp(-z)) for z in (xb1, xb0))
        scale = float(max(f1, f0))
        ulps = abs(got - float(f1 - f0)) / np.spacing(scale) if scale > 0 else abs(got)
        assert ulps <= ULP_LIMIT, (v, b, got, float(f1 - f0))


@pytest.mark.parametrize("kind", ["Logit", "Probit"])
@pytest.mark.parametrize("z", [-744.5, -710.0, -3.7, -0.4, 0.3, 2.9, 360.0, np.nan, np.inf,
                               -np.inf])
def test_every_lane_position_gives_the_same_value(kind, z):
    # 19 rows: full vectors and a padded tail, whatever the vector width. The
    # other rows sit at x·β = -1e6, where e^-z overflows: the fallback of those
    # rows must not change the row of interest. One value among zeros: the
    # sum is that value, then one division.
    alone = cdf_via_mfx(kind, z)[1]
    densities = [pdf_via_mfx(kind, z, rows=1, scale=32, dummy=dummy) for dummy in (False, True)]
    for position in range(19):
        np.testing.assert_equal(cdf_via_mfx(kind, z, rows=19, position=position)[1], alone / 19.0)
        for dummy, density in zip((False, True), densities):
            got = pdf_via_mfx(kind, z, rows=19, position=position, scale=32, dummy=dummy)
            np.testing.assert_equal(got, density / 19.0)


@pytest.mark.parametrize("kind", ["Logit", "Probit"])
def test_underflow_gives_exact_zero_not_garbage(kind):
    # Logit: e^z underflows below -745.13; Probit: φ below |z| = 38.58, Φ
    # below z = -38.49.
    for z in {"Logit": (-746.0, -800.0, -1e300), "Probit": (-38.7, 38.7, -1e5, 1e300)}[kind]:
        assert pdf_via_mfx(kind, z, rows=1) == 0.0
    for z in {"Logit": (-746.0, -900.0), "Probit": (-38.7, -40.0)}[kind]:
        assert cdf_via_mfx(kind, z)[1] == 0.0


@pytest.mark.parametrize("kind", ["Logit", "Probit"])
def test_nan_and_infinities(kind):
    assert np.isnan(pdf_via_mfx(kind, np.nan, rows=1))
    assert pdf_via_mfx(kind, np.inf, rows=1) == 0.0
    assert pdf_via_mfx(kind, -np.inf, rows=1) == 0.0
    # F(±inf) are 1 and 0, so a dummy at x·β = ±inf changes nothing; NaN stays NaN.
    for c, expected in ((np.inf, 0.0), (-np.inf, 0.0), (np.nan, np.nan)):
        X = np.array([[c, 0.0]])
        got = tarvex.mfx(results(kind, X, [1.0, 0.5], names=["c", "d"])).loc["d", "dy/dx"]
        np.testing.assert_equal(got, expected)
