"""tarvex_margins.margins: effects of formula variables against an independent
NumPy reference, column models against tarvex.mfx, and bad input."""

import numpy as np
import pandas as pd
import pytest
import statsmodels.api as sm

import tarvex
from margins_models import contrast, fit, frame, slope, standard_errors
from tarvex_margins import margins
from tarvex_margins._table import STATISTICS

DF = frame(600, seed=12)


def _zeros_except(n, k, entries):
    """An n × k derivative matrix with the given columns filled."""
    out = np.zeros((n, k))
    for j, values in entries.items():
        out[:, j] = values
    return out


def _check(table, expected, rtol):
    """expected: (term, contrast) -> (estimate, gradient); compares estimates, SEs and the vcov."""
    got = table.set_index(["term", "contrast"])
    assert set(got.index) == set(expected)
    for key, (est, _) in expected.items():
        assert got.loc[key, "estimate"] == pytest.approx(est, rel=rtol, abs=1e-14)
    return got


# Column order of the formula below: Intercept, g[T.north], g[T.south], g[T.west],
# b[T.True], x, I(x ** 2), x:z, z, t, z:t, x:g[T.north], x:g[T.south], x:g[T.west].
FORMULA = "y ~ x + I(x**2) + x:z + z * t + g + b + x:g"


@pytest.mark.parametrize("kind, glm_link", [("logit", None), ("probit", None),
                                             (None, "cloglog"), (None, "loglog"), (None, "cauchit")])
def test_polynomial_interaction_and_contrasts_match_the_reference(kind, glm_link):
    res = fit(FORMULA, DF, kind=kind or "logit", glm_link=glm_link)
    names = list(res.params.index)
    col = names.index
    n, k = len(DF), len(names)
    linkname = kind or glm_link
    level_cols = {lv: col(f"x:g[T.{lv}]") for lv in ("north", "south", "west")}
    dx = {col("x"): 1.0, col("I(x ** 2)"): 2 * DF.x, col("x:z"): DF.z}
    for lv, j in level_cols.items():
        dx[j] = (DF.g == lv).astype(float)
    dz = {col("z"): 1.0, col("x:z"): DF.x, col("z:t"): DF.t}
    expected = {
        ("x", "dY/dX"): slope(res, DF, linkname, _zeros_except(n, k, dx)),
        ("z", "dY/dX"): slope(res, DF, linkname, _zeros_except(n, k, dz)),
        ("t", "1 - 0"): contrast(res, DF, linkname, "t", 1, 0),
        ("b", "True - False"): contrast(res, DF, linkname, "b", True, False),
    }
    for lv in ("north", "south", "west"):
        expected[("g", f"{lv} - east")] = contrast(res, DF, linkname, "g", lv, "east")
    table = margins(res, chunk_size=257)
    got = _check(table, expected, rtol=1e-10)
    keys = list(zip(table.term, table.contrast))
    se = standard_errors(res, [expected[key][1] for key in keys])
    np.testing.assert_allclose(table.std_error, se, rtol=1e-10)
    vcov = table.attrs["vcov"]
    assert list(vcov.index) == keys and np.allclose(np.sqrt(np.diag(vcov)), se, rtol=1e-10)
    assert got.loc[("x", "dY/dX"), "conf_high"] == pytest.approx(
        got.loc[("x", "dY/dX"), "estimate"] + 1.959963984540054 * got.loc[("x", "dY/dX"), "std_error"])


@pytest.mark.parametrize("transform, derivative", [
    ("np.log(z)", lambda z: 1 / z),
    ("center(z)", lambda z: np.ones_like(z)),
    ("standardize(z)", lambda z: np.full_like(z, 1 / np.std(DF.z))),
    ("np.exp(z / 2)", lambda z: np.exp(z / 2) / 2),
])
def test_transforms_are_differentiated_through_their_own_factor(transform, derivative):
    res = fit(f"y ~ x + {transform}", DF, kind="probit")
    k = len(res.params)
    dz = _zeros_except(len(DF), k, {2: derivative(DF.z.to_numpy())})
    est, grad = slope(res, DF, "probit", dz)
    table = margins(res, "z")
    assert table.estimate[0] == pytest.approx(est, rel=1e-9)
    assert table.std_error[0] == pytest.approx(standard_errors(res, [grad])[0], rel=1e-9)


def test_pandas_categorical_with_chosen_reference_and_new_data():
    df = DF.assign(g=pd.Categorical(DF.g, categories=["west", "south", "north", "east"]))
    res = fit("y ~ x + C(g, Treatment('north'))", df)
    subset = df.iloc[::3]
    table = margins(res, ["g"], data=subset)
    assert list(table.contrast) == ["west - north", "south - north", "east - north"]
    for lv, est in zip(["west", "south", "east"], table.estimate):
        assert est == pytest.approx(contrast(res, subset, "logit", "g", lv, "north")[0], rel=1e-10)
    assert table.attrs["n_rows"] == len(subset)


@pytest.mark.parametrize("kind", ["Logit", "Probit"])
@pytest.mark.parametrize("chunk_size", [None, 1, 333])
def test_column_models_equal_mfx_sm(kind, chunk_size):
    X = sm.add_constant(DF[["x", "z", "t"]].astype(float))
    res = getattr(sm, kind)(DF.y, X).fit(disp=0)
    expected = tarvex.mfx(res, se_method="sm")
    table = margins(res, chunk_size=chunk_size)
    assert list(table.term) == list(expected.index) and list(table.contrast) == ["dY/dX", "dY/dX", "1 - 0"]
    np.testing.assert_allclose(table.estimate, expected["dy/dx"], rtol=1e-12)
    np.testing.assert_allclose(table.std_error, expected["Std. Err"], rtol=1e-12)
    # The same rows at an odd byte offset (as Dask's workers may get them):
    # read through an aligned copy (the sanitizer build checks the reads).
    raw = np.zeros(X.size * 8 + 1, dtype=np.uint8)[1:].view(np.float64).reshape(X.shape)
    raw[:] = X.to_numpy()
    assert not raw.flags.aligned
    pd.testing.assert_frame_equal(margins(res, data=raw, chunk_size=chunk_size), table)


def test_glm_offset_and_freq_weights_weight_the_average():
    rng = np.random.default_rng(5)
    weights = rng.integers(1, 4, size=len(DF)).astype(float)
    offset = rng.normal(scale=0.2, size=len(DF))
    res = fit("y ~ x + I(x**2) + t", DF, glm_link="cloglog", freq_weights=weights, offset=offset)
    dX = _zeros_except(len(DF), 4, {1: 1.0, 2: 2 * DF.x})
    est, grad = slope(res, DF, "cloglog", dX, weights=weights, offset=offset)
    table = margins(res)
    assert table.attrs["weights"] == "freq_weights"
    assert table.estimate[0] == pytest.approx(est, rel=1e-10)
    assert table.std_error[0] == pytest.approx(standard_errors(res, [grad])[0], rel=1e-10)
    est_t, _ = contrast(res, DF, "cloglog", "t", 1, 0, weights=weights, offset=offset)
    assert table.estimate[1] == pytest.approx(est_t, rel=1e-10)
    with pytest.raises(ValueError, match="offset"):
        margins(res, data=DF)


def test_chunking_does_not_change_the_table():
    res = fit(FORMULA, DF)
    a, b = margins(res), margins(res, chunk_size=7)
    np.testing.assert_allclose(a.estimate, b.estimate, rtol=1e-13)
    np.testing.assert_allclose(a.std_error, b.std_error, rtol=1e-13)


def test_bad_input_is_refused_and_changes_nothing():
    res = fit("y ~ x + z + g", DF)
    params = res.params.copy()
    with pytest.raises(ValueError, match=r"unknown variables \['q'\].*\['x', 'z', 'g'\]|unknown variables \['q'\]"):
        margins(res, ["x", "q"])
    with pytest.raises(ValueError, match=r"missing the columns \['z'\]"):
        margins(res, data=DF.drop(columns="z"))
    with pytest.raises(ValueError, match="supports Logit, Probit"):
        margins(sm.GLM(DF.y, sm.add_constant(DF.x), family=sm.families.Poisson()).fit())
    with pytest.raises(ValueError, match="supports Logit, Probit"):
        margins(sm.OLS(DF.y, sm.add_constant(DF.x)).fit())
    with pytest.raises((TypeError, ValueError), match="chunk_size"):
        margins(res, chunk_size=0)
    with pytest.raises(ValueError, match="no rows"):
        margins(res, data=DF.iloc[:0])
    holey = DF.copy()
    holey.loc[[3, 7, 9], "x"] = np.nan
    before = holey.copy()
    with pytest.warns(UserWarning, match="dropped 3 of 600 rows"):
        table = margins(res, data=holey)
    pd.testing.assert_frame_equal(holey, before)
    assert table.attrs["n_rows"] == 597
    pd.testing.assert_series_equal(res.params, params)


def test_size_mismatch_between_params_cov_and_design():
    res = sm.Logit(DF.y, sm.add_constant(DF[["x", "z"]])).fit(disp=0)

    class Broken:
        model = res.model
        params = res.params.iloc[:2]

        def cov_params(self):
            return res.cov_params()

    with pytest.raises(ValueError, match="2 parameters for a design of 3 columns"):
        margins(Broken())


def test_engine_releases_the_interpreter_lock_and_threads_agree():
    from concurrent.futures import ThreadPoolExecutor

    res = fit(FORMULA, DF)
    expected = margins(res)
    with ThreadPoolExecutor(2) as pool:
        tables = list(pool.map(lambda _: margins(res), range(4)))
    for table in tables:
        pd.testing.assert_frame_equal(table, expected)


@pytest.mark.parametrize("options", [{}, {"at": {"x": [0.0, 1.0], "g": ["east"]}, "by": "t", "method": "eydx"},
                                     {"at": "mean"}])
def test_formulaic_engine_gives_the_patsy_table(options):
    formula = pytest.importorskip("statsmodels.formula")
    if not hasattr(getattr(formula, "options", None), "formula_engine"):
        pytest.skip("this statsmodels has only patsy")
    pytest.importorskip("formulaic")
    df = DF.assign(g=DF.g.astype("category"))
    text = "y ~ x + I(x**2) + x:z + np.log(z) + C(g, Treatment('south')) + x:C(g) + t"
    tables = {}
    for engine in ("patsy", "formulaic"):
        formula.options.formula_engine = engine
        try:
            table = margins(fit(text, df), chunk_size=250, **options)
            tables[engine] = table.set_index([c for c in table.columns if c not in STATISTICS])
        finally:
            formula.options.formula_engine = "patsy"
    pd.testing.assert_index_equal(tables["patsy"].index, tables["formulaic"].index)
    np.testing.assert_allclose(tables["formulaic"].estimate, tables["patsy"].estimate, rtol=1e-9)
    np.testing.assert_allclose(tables["formulaic"].std_error, tables["patsy"].std_error, rtol=1e-7)
