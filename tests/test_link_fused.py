"""The density where the pass also needs the distribution function.

With a dummy regressor in the design, F and f at x·β come from one call that
evaluates both; for Logit f is then formed from the same exponential e^-z as
F (e^z taken as 1/e^-z, and exp(z) itself where e^-z overflows). The
continuous column's effect reads f(z) off exactly as in test_link_accuracy
(β a power of two, x = z/β), and is compared with the C library's form.
"""
import numpy as np
import pytest
import tarvex

from models import results
from test_link_accuracy import PDF_RANGES, ULP_LIMIT, c_pdf, grid, ulp_distance


def pdf_with_dummy(kind, z, rows=16, position=0, scale=None, beta_d=0.75):
    """β·Σf/rows for the continuous column, next to an all-zero dummy."""
    scale = float(rows if scale is None else scale)
    x = np.full(rows, -1e6 / scale)
    x[position] = z / scale
    X = np.column_stack([x, np.zeros(rows)])
    table = tarvex.mfx(results(kind, X, [scale, beta_d], names=["x", "d"]))
    return table.loc["x", "dy/dx"]


# Logit: the whole range, including e^-z overflowing (z < -709.78) while
# e^z is a subnormal, and the mirror form above z = 354.
RANGES = {
    "Logit": PDF_RANGES["Logit"] + [(-745.2, -709.0), (353.0, 355.0)],
    "Probit": PDF_RANGES["Probit"],
}


@pytest.mark.parametrize("kind", ["Logit", "Probit"])
def test_density_next_to_a_dummy_within_a_few_ulp_of_the_c_library(kind):
    for i, (lo, hi) in enumerate(RANGES[kind]):
        for j, z in enumerate(grid(lo, hi, 60, seed=20 + i)):
            z = float(z)
            if z in (0.0, 1.0):
                continue
            got = pdf_with_dummy(kind, z, position=j % 16)
            assert ulp_distance(got, c_pdf(kind, z)) <= ULP_LIMIT, (z, got, c_pdf(kind, z))


@pytest.mark.parametrize("kind", ["Logit", "Probit"])
@pytest.mark.parametrize("z", [-744.5, -710.0, -3.7, 0.3, 360.0, np.nan, np.inf, -np.inf])
def test_density_next_to_a_dummy_does_not_depend_on_the_row(kind, z):
    # Other rows sit at x·β = -1e6, where e^-z overflows: the overflow
    # fallback of those rows must not change the row of interest.
    alone = pdf_with_dummy(kind, z, rows=1, scale=32)
    for position in range(19):
        got = pdf_with_dummy(kind, z, rows=19, position=position, scale=32)
        np.testing.assert_equal(got, alone / 19.0)
