"""mfx on models with an offset: every quantity at x·β + offset, against the
NumPy reference, statsmodels' own predictions and tarvex_margins."""
import numpy as np
import pandas as pd
import pytest
import statsmodels.api as sm

import tarvex
from models import LAYOUTS_1D, design, lay_out, small_model
from reference import assert_matches_reference, expected, link
from tarvex_margins import margins


def with_offset(m, offset):
    m.model.offset = offset
    return m


@pytest.mark.parametrize("kind", ["Logit", "Probit"])
@pytest.mark.parametrize("se_method", ["rust", "sm"])
@pytest.mark.parametrize("chunk_size", [None, 1, 7, 300])
def test_offset_matches_numpy_reference(kind, se_method, chunk_size):
    # Continuous and dummy columns (the dummies' two points, Logit's from
    # e^-xb·e^∓b, Probit's in registers), more rows than one tile.
    m = design(kind, 3000, 3, 3, seed=21, order="F", shuffle=True)
    rng = np.random.default_rng(22)
    with_offset(m, rng.normal(0.4, 1.0, 3000))
    table = tarvex.mfx(m, chunk_size=chunk_size, se_method=se_method)
    assert_matches_reference(table, m, se_method, rtol=1e-10, atol=1e-300)
    # The offset moves the effects: a check that it was not ignored.
    without = expected(with_offset(m, None), se_method)[0]
    assert not np.allclose(table["dy/dx"], without[[j for j in range(m.model.exog.shape[1])
                                                    if m.model.exog_names[j] != "const"]])


@pytest.mark.parametrize("layout", LAYOUTS_1D)
def test_offset_read_in_any_layout(layout):
    m = design("Probit", 200, 2, 2, seed=23)
    offset = np.random.default_rng(24).normal(size=200)
    laid = lay_out(offset, layout)
    reference = expected(with_offset(m, np.array(laid)), "sm")
    assert_matches_reference(tarvex.mfx(with_offset(m, laid), se_method="sm"), m, "sm",
                             rtol=1e-10, reference=reference)


def test_none_or_missing_offset_is_no_offset():
    base = tarvex.mfx(small_model())
    pd.testing.assert_frame_equal(tarvex.mfx(small_model(offset=None)), base)
    pd.testing.assert_frame_equal(tarvex.mfx(small_model(offset=np.zeros(4))), base)


def test_offset_lookup_failure_propagates():
    class Inner:
        exog = small_model().model.exog
        exog_names = ["const", "x", "d"]

        @property
        def offset(self):
            raise RuntimeError("offset unavailable")

    m = small_model()
    m.model = type("Logit", (Inner,), {})()
    with pytest.raises(RuntimeError, match="offset unavailable"):
        tarvex.mfx(m)


@pytest.fixture(scope="module")
def fitted_with_offset():
    rng = np.random.default_rng(25)
    n = 600
    X = pd.DataFrame({"const": 1.0, "x": rng.normal(size=n),
                      "d": (rng.random(n) < 0.4).astype(float)})
    offset = rng.normal(0.5, 0.8, n)
    y = (rng.random(n) < 1 / (1 + np.exp(-(X.x * 0.7 - 0.5 * X.d + offset)))).astype(float)
    return {cls.__name__: cls(y, X, offset=offset).fit(disp=0) for cls in (sm.Logit, sm.Probit)}


def test_an_offset_given_as_a_series_is_read_through_its_values(fitted_with_offset):
    # statsmodels keeps offset=series as the Series itself (its Probit cannot
    # fit with one: its Hessian multiplies the Series by an array).
    res = fitted_with_offset["Logit"]
    model = res.model
    series = pd.Series(model.offset, index=model.data.row_labels, name="log_exposure")
    refit = type(model)(model.endog, pd.DataFrame(model.exog, columns=model.exog_names),
                        offset=series).fit(disp=0)
    assert isinstance(refit.model.offset, pd.Series)
    pd.testing.assert_frame_equal(tarvex.mfx(refit), tarvex.mfx(res), rtol=1e-8)


@pytest.mark.parametrize("kind", ["Logit", "Probit"])
def test_effects_are_those_of_statsmodels_predictions(fitted_with_offset, kind):
    # statsmodels' predict includes the offset: the effect of x is β_x times
    # the mean density at its linear prediction, that of d the mean change of
    # the predicted probability when d goes from 0 to 1.
    res = fitted_with_offset[kind]
    X, offset = res.model.exog, res.model.offset
    _, pdf, _ = link(kind)
    linear = res.predict(which="linear")
    X1, X0 = X.copy(), X.copy()
    X1[:, 2], X0[:, 2] = 1.0, 0.0
    dummy = np.mean(res.predict(X1, offset=offset) - res.predict(X0, offset=offset))
    for se_method in ("rust", "sm"):
        table = tarvex.mfx(res, se_method=se_method)
        np.testing.assert_allclose(table["dy/dx"], [res.params["x"] * np.mean(pdf(linear)), dummy],
                                   rtol=1e-10)


@pytest.mark.parametrize("kind", ["Logit", "Probit"])
def test_margins_equals_mfx_sm_with_an_offset(fitted_with_offset, kind):
    res = fitted_with_offset[kind]
    ours = tarvex.mfx(res, chunk_size=100, se_method="sm")
    theirs = margins(res)
    np.testing.assert_allclose(theirs.estimate, ours["dy/dx"], rtol=1e-12)
    np.testing.assert_allclose(theirs.std_error, ours["Std. Err"], rtol=1e-10)
