"""Effects and standard errors against statsmodels, Stata and an independent
NumPy evaluation of the formulas."""
import numpy as np
import pytest
import statsmodels.api as sm

import tarvex
from conftest import TABLE_COLUMNS as COLUMNS
from models import design, results
from reference import assert_matches_reference


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


@pytest.mark.parametrize("kind", ["Logit", "Probit"])
@pytest.mark.parametrize("se_method", ["rust", "sm"])
@pytest.mark.parametrize("seed, n, k_cont, k_bin, intercepts, order", [
    (1, 50, 3, 2, ["const"], "C"),
    (2, 200, 4, 3, ["Intercept"], "F"),
    (3, 1000, 6, 2, ["CONST", "intercept"], "F"),
    (4, 3000, 2, 0, [], "C"),
    (5, 777, 0, 4, ["const"], "C"),
    (6, 64, 5, 5, ["InterCept"], "F"),
])
def test_random_designs_match_numpy_reference(kind, se_method, seed, n, k_cont, k_bin,
                                              intercepts, order):
    m = design(kind, n, k_cont, k_bin, seed=seed, intercepts=intercepts, order=order,
               shuffle=True)
    for chunk_size in (None, 1, 7, n // 3 + 1, n, 10 * n):
        table = tarvex.mfx(m, chunk_size=chunk_size, se_method=se_method)
        assert_matches_reference(table, m, se_method, rtol=1e-10, atol=1e-300)


@pytest.mark.parametrize("kind", ["Logit", "Probit"])
def test_rust_and_sm_give_the_same_effects_and_dummy_errors(kind):
    m = design(kind, 400, 3, 2, seed=11, order="F", shuffle=True)
    rust, sm_ = tarvex.mfx(m, se_method="rust"), tarvex.mfx(m, se_method="sm")
    np.testing.assert_allclose(rust["dy/dx"], sm_["dy/dx"], rtol=1e-14)
    dummies = [name for name in rust.index if name.startswith("b")]
    np.testing.assert_allclose(rust.loc[dummies, "Std. Err"], sm_.loc[dummies, "Std. Err"], rtol=1e-14)
    continuous = [name for name in rust.index if name.startswith("c")]
    assert not np.allclose(rust.loc[continuous, "Std. Err"], sm_.loc[continuous, "Std. Err"], rtol=1e-6)


@pytest.mark.parametrize("column", [
    [0.0, 1.0, -0.0, 1.0], [1.0, 1.0, 1.0, 1.0], [0.0, 0.0, 0.0, 0.0],  # dummies
    [0.0, 1.0, 0.5, 1.0], [0.0, 1.0, 2.0, 1.0], [0.0, 1.0, np.nan, 1.0],  # continuous
])
def test_dummy_classification(column):
    # A dummy's effect is a difference of probabilities; a continuous
    # regressor's is β times the mean density: the two differ here, and the
    # reference classifies the column on its own.
    m = results("Logit", np.column_stack([[0.3, -0.2, 1.1, 0.4], column]), [0.8, 0.9],
                names=["a", "b"])
    assert_matches_reference(tarvex.mfx(m), m, rtol=1e-13)


@pytest.mark.parametrize("names, reported", [
    (["const", "a", "b"], ["a", "b"]),
    (["Intercept", "a", "const"], ["a"]),
    (["CONST", "a", "b"], ["a", "b"]),
    ([" const", "a", "b"], [" const", "a", "b"]),
    (["constant", "a", "b"], ["constant", "a", "b"]),
    # An extra name is harmless if it is an intercept name.
    (["const", "a", "b", "Intercept"], ["a", "b"]),
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
