"""The tiled pass against a straightforward NumPy evaluation of the formulas:
tile and block boundaries, memory layouts, dummies found inside the pass, and
bitwise reproducibility.

The pass walks each block of rows in tiles whose length depends on k (at most
2048 rows today). The designs here do not depend on that length: ROWS spans
more than three tiles of up to 4096 rows and leaves an odd remainder after any
power of two, and the chunk sizes cut blocks at, before and after multiples of
the powers of two up to 4096, at odd sizes, and at n itself."""
import numpy as np
import pytest
import tarvex

from models import design, lay_out
from reference import assert_matches_reference, expected

ROWS = 3 * 4096 + 37
CHUNKS = [None, 1, 3, 64, 1000, 2047, 2048, 2049, 4095, 4096, 4097, ROWS - 1, ROWS, ROWS + 7]


@pytest.mark.parametrize("kind", ["Logit", "Probit"])
@pytest.mark.parametrize("se_method", ["rust", "sm"])
@pytest.mark.parametrize("k_cont, k_bin", [(19, 5), (3, 0), (0, 6), (40, 12)])
def test_every_chunk_size_and_layout_matches_numpy(kind, se_method, k_cont, k_bin):
    m = design(kind, ROWS, k_cont, k_bin, seed=k_cont * 100 + k_bin)
    X, reference = m.model.exog, expected(m, se_method)
    for layout in ["C", "F", "stepped", "reversed", "reversed_F"]:
        m.model.exog = lay_out(X, layout)
        for chunk in CHUNKS if layout == "C" else [None, 5, 2049]:
            table = tarvex.mfx(m, chunk_size=chunk, se_method=se_method)
            assert_matches_reference(table, m, se_method, reference=reference)


@pytest.mark.parametrize("kind", ["Logit", "Probit"])
@pytest.mark.parametrize("order", ["C", "F"])
@pytest.mark.parametrize("row, value", [
    # The pass classifies the columns on its first tile and checks every
    # later tile: the value that disproves a dummy sits at the end of a
    # first tile of 2048 rows, right after it, and further down.
    (2047, -1.0), (2048, 2.0), (4096, np.nan), (8191, 0.5), (ROWS - 1, np.inf),
])
def test_dummy_disproved_after_the_first_tile(kind, order, row, value):
    # A column of 0/1 over the first tile(s) that holds another value further
    # down is continuous; the pass must notice it, wherever the value is.
    m = design(kind, ROWS, 4, 3, seed=row, order=order)
    X, beta = m.model.exog, m.params
    X[row, 5] = value
    for se_method in ("rust", "sm"):
        for chunk in (None, 1000, 7):
            table = tarvex.mfx(m, chunk_size=chunk, se_method=se_method)
            assert_matches_reference(table, m, se_method)
            # Continuous, so its effect is β times the mean density.
            np.testing.assert_allclose(table.loc["b0", "dy/dx"],
                                       beta[5] * table.loc["c0", "dy/dx"] / beta[1],
                                       rtol=1e-12, equal_nan=True)


@pytest.mark.parametrize("kind", ["Logit", "Probit"])
def test_dummy_with_negative_zero_and_constant_columns(kind):
    m = design(kind, 2000, 2, 3, seed=5, order="F")
    X = m.model.exog
    X[X[:, 3] == 0.0, 3] = -0.0  # -0.0 == 0.0: still a dummy
    X[:, 4] = 1.0                 # all ones, not named as an intercept: a dummy
    X[:, 5] = 0.0                 # all zeros: a dummy
    for se_method in ("rust", "sm"):
        assert_matches_reference(tarvex.mfx(m, se_method=se_method), m, se_method)


@pytest.mark.parametrize("kind", ["Logit", "Probit"])
@pytest.mark.parametrize("b", [np.inf, -np.inf, np.nan])
def test_non_finite_dummy_coefficient(kind, b):
    # 0·b is NaN, so neither counterfactual point equals x·β: the pass
    # evaluates both, and the values follow IEEE like the reference's.
    m = design(kind, 900, 2, 2, seed=9)
    m.params[3] = b
    ame, _, _, reported = expected(m)
    np.testing.assert_allclose(tarvex.mfx(m)["dy/dx"].to_numpy(), ame[reported], rtol=1e-12,
                               equal_nan=True)


@pytest.mark.parametrize("kind", ["Logit", "Probit"])
@pytest.mark.parametrize("se_method", ["rust", "sm"])
@pytest.mark.parametrize("order", ["C", "F"])
def test_two_calls_give_bitwise_identical_tables(kind, se_method, order):
    m = design(kind, 4099, 13, 4, seed=21, order=order)
    for chunk in (None, 333):
        first = tarvex.mfx(m, chunk_size=chunk, se_method=se_method)
        second = tarvex.mfx(m, chunk_size=chunk, se_method=se_method)
        assert first.equals(second)
        np.testing.assert_array_equal(first.iloc[:, :6].to_numpy().view(np.int64),
                                      second.iloc[:, :6].to_numpy().view(np.int64))
