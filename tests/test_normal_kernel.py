"""Φ and φ of the engine's fused normal kernel against the true functions.

The private hook tarvex_margins._engine.link_values returns the values the
pass uses (src/engine/link.cpp computes both from one exponential and the
Mills ratio). The reference is mpmath at 40 digits; an error is counted in
units in the last place of the true value's nearest double (in the subnormal
range, steps of 2^-1074). Every level the engine dispatches to is checked on
the same points: TARVEX_ISA_LEVEL lowers the level in a child process.
"""
import numpy as np
import pytest

from conftest import run_python

mp = pytest.importorskip("mpmath")
mp.mp.dps = 40

PROBIT = 1
# Measured worst case over 2^14 random points per range at AVX2 and at the
# base level: Φ 3.9 ulp (base, just below z = 0), φ 1.2 ulp (link.cpp records
# them).
CDF_ULPS, PDF_ULPS = 4.0, 2.0

CHILD = """
import sys
import numpy as np
from tarvex_margins import _engine
z = np.load(sys.argv[1])
cdf, pdf = np.empty_like(z), np.empty_like(z)
_engine.link_values(1, z, cdf, pdf)
np.save(sys.argv[2], np.stack([cdf, pdf]))
"""


def points():
    rng = np.random.default_rng(11)
    near_four = np.nextafter(4.0, [0.0, 8.0])  # where M's polynomial changes
    return {
        "bulk": rng.normal(0.0, 1.5, 800),
        "[-8, 8]": rng.uniform(-8.0, 8.0, 800),
        # Φ a normal double down to z = -37.519, subnormal below, 0 past
        # -38.4854 (where the true Φ is 2^-1075).
        "lower tail": rng.uniform(-37.519, -4.0, 800),
        "subnormal": rng.uniform(-38.49, -37.519, 300),
        "upper tail": rng.uniform(4.0, 40.0, 300),
        "edges": np.concatenate([near_four, -near_four, [4.0, -4.0, 1e-300, -1e-300, 1e-8,
                                                         -1e-8, 0.5, -2.0, -3.999]]),
    }


def values_at(level, z, tmp_path):
    if level is None:
        from tarvex_margins import _engine
        cdf, pdf = np.empty_like(z), np.empty_like(z)
        _engine.link_values(PROBIT, z, cdf, pdf)
        return cdf, pdf
    src, out = tmp_path / "z.npy", tmp_path / "values.npy"
    np.save(src, z)
    done = run_python(CHILD, args=(str(src), str(out)), env={"TARVEX_ISA_LEVEL": level})
    assert done.returncode == 0, done.stderr
    return np.load(out)


def ulps(got, true):
    nearest = float(true)
    spacing = np.spacing(abs(nearest)) if nearest != 0.0 else 2.0 ** -1074
    return float(abs(mp.mpf(got) - true)) / spacing


@pytest.mark.parametrize("level", [None, "avx2", "base"])
def test_within_a_few_ulp_of_the_true_functions(level, tmp_path):
    for name, z in points().items():
        z = np.ascontiguousarray(z, dtype=np.float64)
        cdf, pdf = values_at(level, z, tmp_path)
        cdf_errors = [ulps(c, mp.ncdf(mp.mpf(v))) for c, v in zip(cdf, z)]
        pdf_errors = [ulps(p, mp.npdf(mp.mpf(v))) for p, v in zip(pdf, z)]
        assert max(cdf_errors) <= CDF_ULPS, (name, z[np.argmax(cdf_errors)], max(cdf_errors))
        assert max(pdf_errors) <= PDF_ULPS, (name, z[np.argmax(pdf_errors)], max(pdf_errors))


@pytest.mark.parametrize("level", [None, "avx2", "base"])
def test_a_value_depends_on_its_argument_alone(level, tmp_path):
    # A step of the kernel takes several registers, and evaluates the tail's
    # polynomial for all its lanes when one holds |z| >= 4: the same points,
    # bulk and tail mixed, at other lane positions (shifted by odd offsets,
    # reversed), with other neighbours (bulk only) and in a padded last step.
    rng = np.random.default_rng(5)
    z = np.concatenate([rng.normal(0.0, 1.5, 23), rng.uniform(-30.0, 30.0, 8), [np.nan, -np.inf]])
    rng.shuffle(z)
    order = [np.arange(z.size), np.arange(z.size)[::-1], np.arange(1, z.size),
             np.arange(3, z.size), np.flatnonzero(np.abs(z) < 4.0), np.arange(z.size - 3, z.size)]
    values = np.stack(values_at(level, np.concatenate([z[i] for i in order]), tmp_path))
    expected = values[:, :z.size]
    start = 0
    for i in order:
        np.testing.assert_array_equal(values[:, start:start + i.size], expected[:, i])
        start += i.size


PHI_0 = float(mp.npdf(0))


@pytest.mark.parametrize("z, cdf, pdf", [
    (0.0, 0.5, PHI_0), (-0.0, 0.5, PHI_0),
    (np.inf, 1.0, 0.0), (-np.inf, 0.0, 0.0), (np.nan, np.nan, np.nan),
    # Past Φ's underflow (z = -38.4854) and φ's (|z| = 38.5802).
    (-38.49, 0.0, float(mp.npdf(-38.49))), (-38.59, 0.0, 0.0), (-40.0, 0.0, 0.0), (-1e300, 0.0, 0.0), (38.7, 1.0, 0.0),
    (1e300, 1.0, 0.0),
])
def test_special_values(z, cdf, pdf):
    from tarvex_margins import _engine
    got_cdf, got_pdf = np.empty(1), np.empty(1)
    _engine.link_values(PROBIT, np.array([z]), got_cdf, got_pdf)
    np.testing.assert_equal((got_cdf[0], got_pdf[0]), (cdf, pdf))
