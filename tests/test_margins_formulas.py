"""tarvex_margins.margins on formulas that transform a numeric variable into
steps or bins, that read row data from the caller's namespace, that dropped
rows while fitting, were fitted on a dict or lost their data: through patsy
and formulaic, against the NumPy reference built by each engine's own design
(margins_models) and marginaleffects."""
import contextlib
import warnings

import numpy as np
import pandas as pd
import pytest
import statsmodels.api as sm
import statsmodels.formula.api as smf

from conftest import under_asan
from margins_models import fit, frame, slope, standard_errors
from tarvex_margins import margins

DF = frame(600, seed=12)
PEER_DF = DF.copy()
DF.loc[0, "x"] = 0.0        # a row on the step of I(x > 0)


@contextlib.contextmanager
def formula_engine(engine):
    """statsmodels' formula engine set to `engine` inside the block."""
    formula = pytest.importorskip("statsmodels.formula")
    if engine == "formulaic":
        if not hasattr(getattr(formula, "options", None), "formula_engine"):
            pytest.skip("this statsmodels has only patsy")
        pytest.importorskip("formulaic")
    if not hasattr(getattr(formula, "options", None), "formula_engine"):
        yield
        return
    formula.options.formula_engine = engine
    try:
        yield
    finally:
        formula.options.formula_engine = "patsy"


ENGINES = ["patsy", "formulaic"]


def _derivative(names, df, entries):
    """n × k: the columns whose names `entries` match (a predicate on the
    name) filled with their derivative."""
    out = np.zeros((len(df), len(names)))
    for j, name in enumerate(names):
        for matches, values in entries:
            if matches(name):
                out[:, j] = values
    return out


def _is(text):
    return lambda name: name == text


def _step(text, interacted=None):
    """The column of the step `text` (patsy: `text[T.True]`), alone or times `interacted`."""
    def matches(name):
        parts = name.split(":")
        steps = [p for p in parts if p.startswith(text)]
        others = [p for p in parts if not p.startswith(text)]
        return len(steps) == 1 and steps[0] in (text, f"{text}[T.True]") and others == (
            [interacted] if interacted else [])
    return matches


# formula -> {variable: [(column predicate, derivative of that column)]}
STEP_CASES = {
    "y ~ x + I(x > 0) + z": {"x": [(_is("x"), 1.0)], "z": [(_is("z"), 1.0)]},
    "y ~ x * I(z > 1.5)": {"x": [(_is("x"), 1.0), (_step("I(z > 1.5)", "x"), DF.z > 1.5)], "z": []},
    "y ~ x + x:I(x > 0) + z": {"x": [(_is("x"), 1.0), (_step("I(x > 0)", "x"), DF.x > 0)],
                               "z": [(_is("z"), 1.0)]},
    "y ~ x + C(x > 0) + z": {"x": [(_is("x"), 1.0)], "z": [(_is("z"), 1.0)]},
}


@pytest.mark.parametrize("engine", ENGINES)
@pytest.mark.parametrize("formula", STEP_CASES)
def test_a_step_of_a_numeric_variable_has_derivative_zero(formula, engine):
    with formula_engine(engine):
        res = fit(formula, DF)
    names = list(res.params.index)
    expected = {name: slope(res, DF, "logit", _derivative(names, DF, entries))
                for name, entries in STEP_CASES[formula].items()}
    only_steps = [name for name, entries in STEP_CASES[formula].items() if not entries]
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        table = margins(res, chunk_size=211).set_index("term")
    assert set(table.contrast) == {"dY/dX"}
    for name, (est, grad) in expected.items():
        assert table.loc[name, "estimate"] == pytest.approx(est, rel=1e-10, abs=1e-15)
        assert table.loc[name, "std_error"] == pytest.approx(standard_errors(res, [grad])[0],
                                                             rel=1e-9, abs=1e-15)
    steps_warned = [str(w.message) for w in caught if "only through the steps" in str(w.message)]
    assert len(steps_warned) == len(only_steps)
    assert all(repr(name) in text for name, text in zip(only_steps, steps_warned))


@pytest.mark.parametrize("formula", ["y ~ x + I(x > 0) + z", "y ~ x * I(z > 1.5)"])
def test_steps_agree_with_marginaleffects(formula):
    if under_asan():
        pytest.skip("the peer (jax, polars) is not run under the sanitizers")
    me = pytest.importorskip("marginaleffects")
    if not hasattr(me, "avg_slopes"):
        pytest.skip("marginaleffects is older than 0.6")
    res = fit(formula, PEER_DF)
    theirs = me.avg_slopes(res).to_pandas().set_index("term").sort_index()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        ours = margins(res).set_index("term").sort_index()
    # The peer differentiates numerically (in x and in β): its standard
    # errors are checked to 1e-3, the exact ones above; its slope across a
    # step is off wherever a row lies within its step of the jump (DF's row
    # at x = 0), so it sees the frame without one.
    np.testing.assert_allclose(ours.estimate, theirs.estimate, rtol=1e-6, atol=1e-12)
    np.testing.assert_allclose(ours.std_error, theirs.std_error, atol=1e-3)


@pytest.mark.parametrize("engine", ENGINES)
def test_a_slope_through_bins_is_refused_naming_the_factor(engine):
    with formula_engine(engine):
        res = fit("y ~ C(np.clip(np.round(x), -1, 1)) + z", DF)
    with pytest.raises(ValueError, match=r"'x' is numeric .*C\(np.clip\(np.round\(x\), -1, 1\)\).* not defined"):
        margins(res)
    # The other variables, and x fixed at values, are still defined.
    assert margins(res, "z", at={"x": [0.0, 1.0]}).estimate.notna().all()


@pytest.mark.parametrize("engine", ENGINES)
@pytest.mark.parametrize("outside", [
    np.random.default_rng(1).normal(size=len(DF)),
    pd.Series(np.random.default_rng(1).normal(size=len(DF)), index=DF.index),
], ids=["array", "series"])
def test_row_data_from_the_callers_namespace_is_refused(engine, outside):
    w_ext = outside  # noqa: F841 (read by the formula)
    with formula_engine(engine):
        res = smf.logit("y ~ x + x:w_ext", DF).fit(disp=0)
    with pytest.raises(ValueError, match="'w_ext'.*caller's namespace"):
        margins(res, chunk_size=100)


def test_constants_functions_and_modules_from_the_namespace_stay_allowed():
    threshold = 1.5  # noqa: F841 (read by the formula)

    def double(v):
        return 2 * v

    res = smf.logit("y ~ x + I(z > threshold) + double(z) + np.log(z)", DF).fit(disp=0)
    table = margins(res)
    pd.testing.assert_frame_equal(margins(res, data=DF.iloc[::-1], chunk_size=97), table)


def _holey(kind):
    """DF with rows the fit drops: a missing response, or z ≤ 0 under np.log."""
    df = DF.copy()
    rows = [2, 17, 40, 333]
    if kind == "response":
        df.loc[rows, "y"] = np.nan
    else:
        df.loc[rows, "z"] = -1.0
    return df.assign(w=np.random.default_rng(4).integers(1, 4, len(df)).astype(float)), rows


@pytest.mark.parametrize("engine", ENGINES)
@pytest.mark.parametrize("kind", ["response", "log"])
@pytest.mark.parametrize("options", [{}, {"by": "g", "weights": "w"}])
def test_rows_dropped_by_the_fit_are_found_by_their_labels(engine, kind, options):
    df, dropped = _holey(kind)
    with formula_engine(engine), warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)   # np.log(-1)
        res = smf.logit("y ~ x + np.log(z) + t + g", df).fit(disp=0)
    assert res.nobs == len(df) - len(dropped)
    kept = df.drop(index=dropped)
    table = margins(res, **options)
    pd.testing.assert_frame_equal(table, margins(res, data=kept, **options))
    assert table.attrs["n_rows"] == len(kept)


def test_dropped_rows_with_a_duplicated_index_are_refused():
    df, _ = _holey("response")
    df.index = np.arange(len(df)) // 2
    res = smf.logit("y ~ x + z", df).fit(disp=0)
    with pytest.raises(ValueError, match="duplicated labels.*pass data="):
        margins(res)
    assert margins(res, data=df.dropna()).estimate.notna().all()


@pytest.mark.filterwarnings("ignore:Using dict data structures:DeprecationWarning")
def test_a_model_fitted_on_a_dict_equals_the_frame():
    columns = {name: DF[name].to_numpy() for name in ("y", "x", "z", "g")}
    res = smf.logit("y ~ x + np.log(z) + g", columns).fit(disp=0)
    pd.testing.assert_frame_equal(margins(res, by="g"),
                                  margins(smf.logit("y ~ x + np.log(z) + g", DF).fit(disp=0), by="g"))


def test_after_remove_data_a_formula_model_needs_data_and_a_column_model_is_refused():
    res = fit("y ~ x + I(x**2) + z + g", DF)
    expected = margins(res, data=DF.iloc[:300])
    res.remove_data()
    with pytest.raises(ValueError, match=r"remove_data\(\).*pass data="):
        margins(res)
    pd.testing.assert_frame_equal(margins(res, data=DF.iloc[:300]), expected)
    columns = sm.Logit(DF.y, sm.add_constant(DF[["x", "z"]])).fit(disp=0)
    columns.remove_data()
    for data in (None, sm.add_constant(DF[["x", "z"]])):
        with pytest.raises(ValueError, match=r"fitted on arrays .*remove_data\(\)"):
            margins(columns, data=data)
