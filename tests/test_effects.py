"""Effects and standard errors against statsmodels, Stata and an independent
NumPy evaluation of the formulas."""
import numpy as np
import pandas as pd
import pytest
import statsmodels.api as sm

import tarvex
from conftest import TABLE_COLUMNS as COLUMNS
from models import DuckResults, results
from reference import effects_and_se, statistics


WORKED_X = np.array([[1.0, 0.0, -1.0], [1.0, 1.0, 0.0], [1.0, 0.0, 1.0], [1.0, 1.0, 2.0]])
WORKED_BETA = np.array([0.5, -1.0, 0.25])


@pytest.mark.parametrize("kind, ame_d, ame_x", [
    ("Logit", -0.239671910289, 0.0593145492938),
    ("Probit", -0.367106903807, 0.0899258222577),
])
@pytest.mark.parametrize("chunk_size", [None, 1, 2, 3, 4, 100])
@pytest.mark.parametrize("se_method", ["rust", "sm"])
def test_worked_example(kind, ame_d, ame_x, chunk_size, se_method):
    m = results(kind, WORKED_X, WORKED_BETA, names=["const", "d", "x"])
    table = tarvex.mfx(m, chunk_size=chunk_size, se_method=se_method)
    assert list(table.columns) == COLUMNS
    assert list(table.index) == ["d", "x"]
    np.testing.assert_allclose(table["dy/dx"].to_numpy(), [ame_d, ame_x], rtol=1e-11)


@pytest.fixture(scope="module")
def spector():
    data = sm.datasets.spector.load_pandas()
    return data.endog, sm.add_constant(data.exog, prepend=False)


@pytest.mark.parametrize("model_class", [sm.Logit, sm.Probit])
def test_sm_form_agrees_with_statsmodels(spector, model_class):
    endog, exog = spector
    fitted = model_class(endog, exog).fit(disp=0)
    expected = fitted.get_margeff(at="overall", method="dydx", dummy=True).summary_frame()
    table = tarvex.mfx(fitted, se_method="sm")
    np.testing.assert_allclose(table["dy/dx"], expected["dy/dx"], rtol=1e-8)
    np.testing.assert_allclose(table["Std. Err"], expected["Std. Err."], rtol=1e-5)
    np.testing.assert_allclose(table["z"], expected["z"], rtol=1e-5)
    np.testing.assert_allclose(table["Pr(>|z|)"], expected["Pr(>|z|)"], rtol=1e-5)


def test_spector_logit_matches_stata_margins(spector):
    # Stata: logit grade gpa tuce i.psi; margins, dydx(*)
    endog, exog = spector
    table = tarvex.mfx(sm.Logit(endog, exog).fit(disp=0), se_method="sm")
    assert table["dy/dx"].round(6).tolist() == [0.362581, 0.012208, 0.357515]
    assert table["Std. Err"].round(7).tolist() == [0.1094412, 0.0177942, 0.1420034]


def random_design(rng, n, k_cont, k_bin, intercept_names, order):
    columns, names = [], []
    for name in intercept_names:
        columns.append(np.ones(n))
        names.append(name)
    for j in range(k_cont):
        columns.append(rng.normal(scale=1.5, size=n))
        names.append(f"c{j}")
    for j in range(k_bin):
        columns.append((rng.random(n) < 0.4).astype(float))
        names.append(f"b{j}")
    perm = rng.permutation(len(columns))
    X = np.column_stack([columns[p] for p in perm]) if columns else np.zeros((n, 0))
    X = np.asfortranarray(X) if order == "F" else np.ascontiguousarray(X)
    names = [names[p] for p in perm]
    k = X.shape[1]
    beta = rng.normal(scale=0.6, size=k)
    a = rng.normal(size=(k, k))
    sigma = a @ a.T / max(k, 1) * 0.05
    return X, beta, sigma, names


def assert_matches_reference(table, kind, X, beta, sigma, names, se_method, rtol):
    ame, se, intercepts = effects_and_se(kind, beta, sigma, X, names, se_method)
    reported = [j for j in range(X.shape[1]) if j not in intercepts]
    assert list(table.index) == [names[j] for j in reported]
    np.testing.assert_allclose(table["dy/dx"].to_numpy(), ame[reported], rtol=rtol, atol=1e-300)
    np.testing.assert_allclose(table["Std. Err"].to_numpy(), se[reported], rtol=rtol, atol=1e-300)
    stats = [statistics(ame[j], se[j]) for j in reported]
    for position, (z, p, low, high, mark) in enumerate(stats):
        row = table.iloc[position]
        np.testing.assert_allclose([row["z"], row["Pr(>|z|)"], row["Conf. Int. Low"], row["Conf. Int. Hi"]],
                                   [z, p, low, high], rtol=1e-9, atol=1e-12)
        if abs(p - 0.01) > 1e-9 and abs(p - 0.05) > 1e-9 and abs(p - 0.1) > 1e-9:
            assert row["Significance"] == mark


@pytest.mark.parametrize("kind", ["Logit", "Probit"])
@pytest.mark.parametrize("se_method", ["rust", "sm"])
@pytest.mark.parametrize("n, k_cont, k_bin, intercepts, order", [
    (50, 3, 2, ["const"], "C"),
    (200, 4, 3, ["Intercept"], "F"),
    (1000, 6, 2, ["CONST", "intercept"], "F"),
    (3000, 2, 0, [], "C"),
    (777, 0, 4, ["const"], "C"),
    (64, 5, 5, ["InterCept"], "F"),
])
def test_random_designs_match_numpy_reference(kind, se_method, n, k_cont, k_bin, intercepts, order):
    rng = np.random.default_rng(abs(hash((kind, se_method, n, k_cont, k_bin, order))) % 2**32)
    X, beta, sigma, names = random_design(rng, n, k_cont, k_bin, intercepts, order)
    m = DuckResults(kind, X, beta, sigma, names)
    for chunk_size in (None, 1, 7, n // 3 + 1, n, 10 * n):
        table = tarvex.mfx(m, chunk_size=chunk_size, se_method=se_method)
        assert_matches_reference(table, kind, X, beta, sigma, names, se_method, rtol=1e-10)


@pytest.mark.parametrize("kind", ["Logit", "Probit"])
def test_rust_and_sm_give_the_same_effects_and_dummy_errors(kind):
    rng = np.random.default_rng(11)
    X, beta, sigma, names = random_design(rng, 400, 3, 2, ["const"], "F")
    m = DuckResults(kind, X, beta, sigma, names)
    rust, sm_ = tarvex.mfx(m, se_method="rust"), tarvex.mfx(m, se_method="sm")
    np.testing.assert_allclose(rust["dy/dx"], sm_["dy/dx"], rtol=1e-14)
    dummies = [name for name in rust.index if name.startswith("b")]
    np.testing.assert_allclose(rust.loc[dummies, "Std. Err"], sm_.loc[dummies, "Std. Err"], rtol=1e-14)
    continuous = [name for name in rust.index if name.startswith("c")]
    assert not np.allclose(rust.loc[continuous, "Std. Err"], sm_.loc[continuous, "Std. Err"], rtol=1e-6)


@pytest.mark.parametrize("column, binary", [
    ([0.0, 1.0, -0.0, 1.0], True),
    ([1.0, 1.0, 1.0, 1.0], True),
    ([0.0, 0.0, 0.0, 0.0], True),
    ([0.0, 1.0, 0.5, 1.0], False),
    ([0.0, 1.0, 2.0, 1.0], False),
    ([0.0, 1.0, np.nan, 1.0], False),
])
def test_dummy_classification(column, binary):
    # A dummy's effect is a difference of probabilities; a continuous
    # regressor's is β times the mean density: the two differ here.
    X = np.column_stack([[0.3, -0.2, 1.1, 0.4], column])
    beta = np.array([0.8, 0.9])
    table = tarvex.mfx(results("Logit", X, beta, names=["a", "b"]))
    ame, _, _ = effects_and_se("Logit", beta, np.eye(2), X, ["a", "b"])
    if binary:
        np.testing.assert_allclose(table.loc["b", "dy/dx"], ame[1], rtol=1e-13)
    else:
        np.testing.assert_allclose(table.loc["b", "dy/dx"], 0.9 * np.mean(
            np.exp(X @ beta) / (1 + np.exp(X @ beta)) ** 2), rtol=1e-13, equal_nan=True)


@pytest.mark.parametrize("names, reported", [
    (["const", "a", "b"], ["a", "b"]),
    (["Intercept", "a", "const"], ["a"]),
    (["CONST", "a", "b"], ["a", "b"]),
    ([" const", "a", "b"], [" const", "a", "b"]),
    (["constant", "a", "b"], ["constant", "a", "b"]),
])
def test_intercepts_by_name(names, reported):
    X = np.column_stack([np.full(5, 2.0), np.linspace(-1, 1, 5), [0, 1, 0, 1, 1.0]])
    assert list(tarvex.mfx(results("Probit", X, [0.1, 0.2, 0.3], names=names)).index) == reported


@pytest.mark.parametrize("kind", ["Logit", "Probit"])
def test_large_predictors_keep_finite_densities(kind):
    # Logit's density in the form e^z/(1 + e^z)^2 overflows for z > 354.9;
    # the effect of a regressor at such z must stay a finite number near 0.
    for z in (300.0, 354.0, 354.5, 400.0, 710.0, 1e6):
        table = tarvex.mfx(results(kind, [[z]], [1.0], sigma=[[1.0]], names=["x"]))
        value = table.loc["x", "dy/dx"]
        assert np.isfinite(value) and value >= 0.0
        if kind == "Logit" and z < 700:
            np.testing.assert_allclose(value, np.exp(-z), rtol=1e-13)


def test_shape_mismatches_panic():
    X = np.column_stack([np.ones(4), np.linspace(0, 1, 4), [0, 1, 1, 0.0]])

    def panic_message(m):
        with pytest.raises(BaseException) as info:
            tarvex.mfx(m)
        assert type(info.value).__name__ == "PanicException"
        return str(info.value)

    assert panic_message(DuckResults("Logit", X, np.ones(2), np.eye(3), ["const", "a", "b"])) \
        .endswith("are not compatible for matrix multiplication")
    assert panic_message(DuckResults("Logit", X, np.ones(3), np.eye(2), ["const", "a", "b"])) \
        .endswith("are not compatible for matrix multiplication")
    assert panic_message(DuckResults("Logit", X, np.ones(3), np.eye(3), ["const", "a", "b", "c"])) \
        == "assertion failed: index < dim"
    # An extra name that is an intercept name is harmless.
    assert list(tarvex.mfx(DuckResults("Logit", X, np.ones(3), np.eye(3), ["const", "a", "b", "Intercept"]))
                .index) == ["a", "b"]
    # No rows: nothing is multiplied, so a β of the wrong length passes.
    table = tarvex.mfx(DuckResults("Logit", X[:0], np.ones(2), np.eye(3), ["const", "a", "b"]))
    assert table["dy/dx"].isna().all()


def test_repeated_calls_are_bitwise_identical():
    rng = np.random.default_rng(3)
    X, beta, sigma, names = random_design(rng, 5000, 5, 3, ["const"], "F")
    m = DuckResults("Probit", X, beta, sigma, names)
    first = tarvex.mfx(m, se_method="sm")
    second = tarvex.mfx(m, se_method="sm")
    assert first.equals(second)
    np.testing.assert_array_equal(first.iloc[:, :6].to_numpy().view(np.int64),
                                  second.iloc[:, :6].to_numpy().view(np.int64))
