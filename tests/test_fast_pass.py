"""The tiled pass against a straightforward NumPy evaluation of the formulas:
tile and block boundaries, memory layouts, dummies found inside the pass, and
bitwise reproducibility."""
import numpy as np
import pytest
import tarvex

from models import DuckResults
from reference import effects_and_se

RTOL = 1e-12


def tile_rows(k):
    """Rows per tile of the pass for k columns: 32768/(k+1), between 64 and 2048."""
    return min(max(32768 // (k + 1), 64), 2048)


def design(rng, n, k_cont, k_bin, order="C"):
    """const, k_cont N(0,1) columns, k_bin 0/1 columns, in the given layout."""
    X = np.column_stack([np.ones(n), rng.standard_normal((n, k_cont)),
                         rng.integers(0, 2, (n, k_bin)).astype(float)])
    X = np.asarray(X, order=order)
    k = X.shape[1]
    beta = rng.uniform(0.2, 0.6, k) * rng.choice([-1.0, 1.0], k)
    a = rng.standard_normal((k, k)) * 0.05
    sigma = a @ a.T + np.eye(k) * 1e-3
    names = ["const"] + [f"c{j}" for j in range(k_cont)] + [f"b{j}" for j in range(k_bin)]
    return X, beta, sigma, names


def check(table, kind, X, beta, sigma, names, se_method):
    ame, se, intercepts = effects_and_se(kind, beta, sigma, X, names, se_method)
    keep = [j for j in range(X.shape[1]) if j not in intercepts]
    assert list(table.index) == [names[j] for j in keep]
    np.testing.assert_allclose(table["dy/dx"].to_numpy(), ame[keep], rtol=RTOL, atol=0,
                               equal_nan=True)
    np.testing.assert_allclose(table["Std. Err"].to_numpy(), se[keep], rtol=RTOL, atol=0,
                               equal_nan=True)


def layouts(X):
    """The same matrix as C, F, row-strided, column-strided and reversed views."""
    rows2 = np.repeat(X, 2, axis=0)[::2]
    wide = np.zeros((X.shape[0], 2 * X.shape[1]))
    wide[:, ::2] = X
    return {
        "C": np.ascontiguousarray(X),
        "F": np.asfortranarray(X),
        "row-strided": rows2,
        "col-strided": wide[:, ::2],
        "reversed-F": np.asfortranarray(X[::-1])[::-1],
    }


@pytest.mark.parametrize("kind", ["Logit", "Probit"])
@pytest.mark.parametrize("se_method", ["rust", "sm"])
@pytest.mark.parametrize("k_cont, k_bin", [(19, 5), (3, 0), (0, 6), (40, 12)])
def test_every_chunk_size_and_layout_matches_numpy(kind, se_method, k_cont, k_bin):
    # 4500 rows span at least three tiles; chunk sizes cut tiles at, before
    # and after their ends.
    rng = np.random.default_rng(k_cont * 100 + k_bin)
    n = 4500
    X, beta, sigma, names = design(rng, n, k_cont, k_bin)
    tile = tile_rows(X.shape[1])
    assert n > 2 * tile
    for label, view in layouts(X).items():
        m = DuckResults(kind, view, beta, sigma, names)
        chunks = [None, 1, 3, tile - 1, tile, tile + 1, 2 * tile + 5, n - 1, n, n + 7]
        if label != "C":
            chunks = [None, 5, tile + 1]
        for chunk in chunks:
            table = tarvex.mfx(m, chunk_size=chunk, se_method=se_method)
            check(table, kind, X, beta, sigma, names, se_method)


@pytest.mark.parametrize("kind", ["Logit", "Probit"])
@pytest.mark.parametrize("order", ["C", "F"])
@pytest.mark.parametrize("row, value", [
    # The first tile (2048 rows for these 8 columns) is where the pass
    # classifies the columns: its last row, the next tile's first, later ones.
    (2047, -1.0), (2048, 2.0), (2748, np.nan), (5999, 0.5), (5999, np.inf),
])
def test_dummy_disproved_after_the_first_tile(kind, order, row, value):
    # A column of 0/1 over the first tile(s) that holds another value further
    # down is continuous; the pass must notice it, wherever the value is.
    rng = np.random.default_rng(row)
    n = 6000
    X, beta, sigma, names = design(rng, n, 4, 3, order)
    assert tile_rows(X.shape[1]) == 2048
    X[row, 5] = value
    for se_method in ("rust", "sm"):
        for chunk in (None, 1000, 7):
            table = tarvex.mfx(DuckResults(kind, X, beta, sigma, names), chunk_size=chunk,
                               se_method=se_method)
            check(table, kind, X, beta, sigma, names, se_method)
            # Continuous, so its effect is β times the mean density.
            np.testing.assert_allclose(table.loc["b0", "dy/dx"],
                                       beta[5] * table.loc["c0", "dy/dx"] / beta[1],
                                       rtol=1e-12, equal_nan=True)


@pytest.mark.parametrize("kind", ["Logit", "Probit"])
def test_dummy_with_negative_zero_and_constant_columns(kind):
    rng = np.random.default_rng(5)
    X, beta, sigma, names = design(rng, 2000, 2, 3, "F")
    X[X[:, 3] == 0.0, 3] = -0.0  # -0.0 == 0.0: still a dummy
    X[:, 4] = 1.0                 # all ones, not named as an intercept: a dummy
    X[:, 5] = 0.0                 # all zeros: a dummy
    for se_method in ("rust", "sm"):
        check(tarvex.mfx(DuckResults(kind, X, beta, sigma, names), se_method=se_method),
              kind, X, beta, sigma, names, se_method)


@pytest.mark.parametrize("kind", ["Logit", "Probit"])
@pytest.mark.parametrize("b", [np.inf, -np.inf, np.nan])
def test_non_finite_dummy_coefficient(kind, b):
    # 0·b is NaN, so neither counterfactual point equals x·β: the pass
    # evaluates both, and the values follow IEEE like the reference's.
    rng = np.random.default_rng(9)
    X, beta, sigma, names = design(rng, 900, 2, 2)
    beta[3] = b
    table = tarvex.mfx(DuckResults(kind, X, beta, sigma, names))
    ame, _, _ = effects_and_se(kind, beta, sigma, X, names)
    np.testing.assert_allclose(table["dy/dx"].to_numpy(), ame[1:], rtol=RTOL, equal_nan=True)


@pytest.mark.parametrize("kind", ["Logit", "Probit"])
@pytest.mark.parametrize("se_method", ["rust", "sm"])
@pytest.mark.parametrize("order", ["C", "F"])
def test_two_calls_give_bitwise_identical_tables(kind, se_method, order):
    rng = np.random.default_rng(21)
    X, beta, sigma, names = design(rng, 4099, 13, 4, order)
    m = DuckResults(kind, X, beta, sigma, names)
    for chunk in (None, 333):
        first = tarvex.mfx(m, chunk_size=chunk, se_method=se_method)
        second = tarvex.mfx(m, chunk_size=chunk, se_method=se_method)
        assert first.equals(second)
        np.testing.assert_array_equal(first.iloc[:, :6].to_numpy().view(np.int64),
                                      second.iloc[:, :6].to_numpy().view(np.int64))
