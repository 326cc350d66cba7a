"""tarvex_margins options: at, method and count against statsmodels' get_margeff;
by, weights and at grids against margins on the groups' rows, the expanded
rows and the modified data; comparisons against the per-group Jacobians;
bad input; the plot."""
import sys

import numpy as np
import pandas as pd
import pytest
import statsmodels.api as sm

from conftest import under_asan
from margins_models import fit, frame, link
from tarvex_margins import compare, margins, plot_margins

DF = frame(500, seed=21).assign(kids=lambda d: np.random.default_rng(5).poisson(1.5, len(d)))


def _columns_model(kind):
    """A column model with two continuous columns, a 0/1 and a count column."""
    rng = np.random.default_rng(3)
    n = 800
    X = np.column_stack([np.ones(n), rng.normal(size=n), rng.uniform(0.5, 3.0, n),
                         rng.integers(0, 2, n), rng.poisson(2.0, n)]).astype(float)
    eta = 0.2 + 0.5 * X[:, 1] - 0.3 * X[:, 2] + 0.4 * X[:, 3] + 0.2 * X[:, 4]
    y = (rng.random(n) < 1 / (1 + np.exp(-eta))).astype(float)
    names = ["const", "x1", "x2", "d", "c"]
    return getattr(sm, kind)(y, pd.DataFrame(X, columns=names)).fit(disp=0)


COLUMN_MODELS = {kind: _columns_model(kind) for kind in ("Logit", "Probit")}


# Every combination get_margeff supports: it refuses the "ex" methods and the
# median and zero points with dummy or count columns; there only the
# continuous columns are compared. Our 0/1 columns are contrasts (dummy=True).
SUPPORTED = [(at, method, count) for at in ("overall", "mean", "median", "zero")
             for method in ("dydx", "eydx", "dyex", "eyex") for count in (False, True)
             if not (count and ("ex" in method or at in ("median", "zero")))]


@pytest.mark.parametrize("kind", COLUMN_MODELS)
@pytest.mark.parametrize("at, method, count", SUPPORTED)
def test_column_models_match_get_margeff(kind, at, method, count):
    res = COLUMN_MODELS[kind]
    discrete = "ex" not in method and at not in ("median", "zero")
    theirs = res.get_margeff(at=at, method=method, dummy=discrete, count=count)
    ours = margins(res, None if discrete else ["x1", "x2"], at=at, method=method, count=count)
    wanted = slice(None) if discrete else slice(0, 2)
    np.testing.assert_allclose(ours.estimate, theirs.margeff[wanted], rtol=1e-8, atol=1e-14)
    np.testing.assert_allclose(ours.std_error, theirs.margeff_se[wanted], rtol=1e-6)
    label = {"dydx": "dY/dX", "eydx": "eY/dX", "dyex": "dY/eX", "eyex": "eY/eX"}[method]
    assert list(ours.contrast) == [label, label, "1 - 0", "+1 centred" if count else label][:len(ours)]


@pytest.mark.parametrize("method", ["dydx", "eyex", "eydx"])
@pytest.mark.parametrize("at", ["overall", "mean", "median"])
def test_linear_formula_matches_get_margeff_on_its_design(method, at):
    # With only linear terms, the formula's variables are its design columns,
    # so the variable-based point equals statsmodels' column point.
    res = fit("y ~ x + z + kids", DF, kind="probit")
    count = method != "eyex" and at != "median"
    theirs = res.get_margeff(at=at, method=method, count=count)
    ours = margins(res, at=at, method=method, count=count)
    np.testing.assert_allclose(ours.estimate, theirs.margeff, rtol=1e-8)
    np.testing.assert_allclose(ours.std_error, theirs.margeff_se, rtol=1e-6)


@pytest.mark.parametrize("glm_link", ["logit", "probit", "cloglog", "loglog", "cauchit"])
def test_log_scale_gradients_match_a_difference_in_beta(glm_link):
    # eyex of x (through x and x²) and the log-scale contrast of t, by their
    # definitions; the Jacobian by central differences in β (not the
    # quotient rule the engine uses).
    res = fit("y ~ x + I(x**2) + t + z", DF, glm_link=glm_link)
    F, f, _ = link(glm_link)
    X, names = np.asarray(res.model.exog), list(res.params.index)
    dX = np.zeros_like(X)
    dX[:, names.index("x")], dX[:, names.index("I(x ** 2)")] = 1.0, 2 * DF.x
    X1, X0 = X.copy(), X.copy()
    X1[:, names.index("t")], X0[:, names.index("t")] = 1.0, 0.0

    def estimates(beta):
        eta = X @ beta
        return np.array([np.mean(DF.x * f(eta) * (dX @ beta) / F(eta)),
                         np.mean(np.log(F(X1 @ beta)) - np.log(F(X0 @ beta)))])

    beta, h = res.params.to_numpy(), 1e-6
    J = np.column_stack([(estimates(beta + h * e) - estimates(beta - h * e)) / (2 * h)
                         for e in np.eye(beta.size)])
    table = margins(res, ["x", "t"], method="eyex")
    np.testing.assert_allclose(table.estimate, estimates(beta), rtol=1e-10)
    np.testing.assert_allclose(table.std_error, np.sqrt(np.diag(J @ np.asarray(res.cov_params()) @ J.T)),
                               rtol=1e-6)


def _same(a, b, rtol=1e-12):
    np.testing.assert_allclose(a.estimate.to_numpy(), b.estimate.to_numpy(), rtol=rtol, atol=1e-15)
    np.testing.assert_allclose(a.std_error.to_numpy(), b.std_error.to_numpy(), rtol=rtol)


FORMULA = "y ~ x + I(x**2) + z * t + C(g) + b + kids"


@pytest.mark.parametrize("options", [dict(), dict(method="eyex"), dict(count=True),
                                     dict(weights="w"), dict(at="mean"), dict(at={"z": [1.0, 2.5]})])
def test_by_equals_margins_on_each_group(options):
    df = DF.assign(w=np.random.default_rng(2).integers(0, 4, len(DF)).astype(float) + (DF.index == 0))
    res = fit(FORMULA, df, kind="logit")
    table = margins(res, data=df, by=["g", "b"], chunk_size=97, **options)
    for (g, b), rows in df.groupby(["g", "b"]):
        alone = margins(res, data=rows, **options)
        mine = table[(table.g == g) & (table.b == b)]
        _same(mine, alone)
    grid = ["z"] if isinstance(options.get("at"), dict) else []
    assert list(table.columns[:4 + len(grid)]) == ["term", "contrast"] + grid + ["g", "b"]


def test_by_array_and_weights_array_match_named_columns():
    w = np.random.default_rng(4).uniform(0, 2, len(DF))
    res = fit(FORMULA, DF, kind="probit")
    named = margins(res, by="g", weights="w", data=DF.assign(w=w))
    arrays = margins(res, by=DF.g.to_numpy(), weights=w)
    _same(named, arrays)
    assert "group" in arrays.columns and arrays.attrs["weights"] == "array"


@pytest.mark.parametrize("columns", [False, True])
def test_integer_weights_equal_the_expanded_rows(columns):
    res = COLUMN_MODELS["Logit"] if columns else fit(FORMULA, DF, kind="logit")
    data = pd.DataFrame(res.model.exog, columns=res.model.exog_names) if columns else DF
    w = np.random.default_rng(6).integers(0, 4, len(data))
    _same(margins(res, data=data, weights=w, count=True),
          margins(res, data=data.loc[data.index.repeat(w)], count=True))


def test_glm_freq_weights_are_the_default_weights():
    w = np.random.default_rng(8).integers(1, 4, len(DF)).astype(float)
    res = fit("y ~ x + z + C(g)", DF, glm_link="probit", freq_weights=w)
    default = margins(res, by="t")
    _same(default, margins(res, by="t", weights=w))
    assert default.attrs["weights"] == "freq_weights"


def test_at_grid_equals_margins_on_the_modified_data():
    res = fit(FORMULA, DF, kind="probit")
    table = margins(res, at={"z": [0.5, 2.0], "g": ["east", "west"]}, method="dyex")
    for (z, g), rows in table.groupby(["z", "g"], sort=False):
        _same(rows, margins(res, data=DF.assign(z=z, g=g), method="dyex"))
    assert table.attrs["vcov"].shape == (len(table), len(table))


def test_formula_at_mean_is_the_formula_at_the_mean_variables():
    # The point: numeric variables at their mean (x² at the mean of x, not the
    # mean of x²), other variables at their most frequent level.
    res = fit(FORMULA, DF, kind="logit")
    point = pd.DataFrame({"x": [DF.x.mean()], "z": [DF.z.mean()], "t": [DF.t.mean()],
                          "g": [DF.g.value_counts().idxmax()], "b": [DF.b.mode()[0]],
                          "kids": [DF.kids.mean()]})
    _same(margins(res, at="mean"), margins(res, data=point))


def test_comparisons_use_the_joint_covariance():
    res = fit(FORMULA, DF, kind="logit")
    table = margins(res, ["x", "g"], by="t")
    pairs = compare(table, "pairwise")
    J = table.attrs["jacobian"].to_numpy()
    cov = np.asarray(res.cov_params())
    first = pairs.iloc[0]
    rows = table.index[(table.term == first.term) & (table.contrast == first.contrast)]
    diff = J[rows[1]] - J[rows[0]]
    assert first.estimate == pytest.approx(table.estimate[rows[1]] - table.estimate[rows[0]], rel=1e-12)
    assert first.std_error == pytest.approx(np.sqrt(diff @ cov @ diff), rel=1e-10)
    assert len(pairs) == 4 and set(pairs.hypothesis) == {"1 - 0"}
    levels = compare(table, "levels")
    assert len(levels) == 6 and "south - north" in set(levels.hypothesis)
    same = compare(table, ["b3 - b1", "2*b1 - b2"])
    C = np.zeros((2, len(table)))
    C[0, [2, 0]] = [1, -1]
    C[1, [0, 1]] = [2, -1]
    _same(same, compare(table, C))
    _same(margins(res, ["x", "g"], by="t", hypothesis="pairwise"), pairs)


def test_agrees_with_marginaleffects_by_and_weights():
    if under_asan():
        pytest.skip("the peer (jax, polars) is not run under the sanitizers")
    me = pytest.importorskip("marginaleffects")
    df = DF.assign(w=np.random.default_rng(9).uniform(0.2, 2.0, len(DF)), g=DF.g.astype("category"))
    res = fit("y ~ x + I(x**2) + z + C(g)", df, kind="logit")
    theirs = me.avg_slopes(res, variables="x", by="g", wts="w").to_pandas().sort_values("g")
    ours = margins(res, "x", by="g", weights="w")
    np.testing.assert_allclose(ours.estimate, theirs.estimate, rtol=1e-6)
    # Their Jacobian is a numerical difference: 1e-3 (the exact check of these
    # standard errors is test_margins_peer.py's per-group reference).
    np.testing.assert_allclose(ours.std_error, theirs.std_error, rtol=1e-3)


@pytest.mark.parametrize("options, error, match", [
    (dict(at={"nope": 1}), ValueError, "unknown variables"),
    (dict(at={"x": "high"}), TypeError, "not a finite number"),
    (dict(at={"g": "up"}), ValueError, "not one of its levels"),
    (dict(at="means"), ValueError, "at must be"),
    (dict(at=3), TypeError, "at must be"),
    (dict(by="nope"), ValueError, "not a column"),
    (dict(by=np.zeros(3)), ValueError, "3 entries"),
    (dict(by="g", at={"g": "east"}), ValueError, "both at= and by="),
    (dict(weights=np.ones(7)), ValueError, "7 entries"),
    (dict(weights=-DF.z.to_numpy()), ValueError, "non-negative"),
    (dict(weights=np.where(DF.index == 3, np.nan, 1.0)), ValueError, "row 3"),
    (dict(weights=np.zeros(len(DF))), ValueError, "all zero"),
    (dict(weights=(DF.g != "west").to_numpy(float), by="g"), ValueError, r"\('west',\)"),
    (dict(by=DF.g.astype(pd.CategoricalDtype(["east", "north", "south", "west", "up"]))), ValueError,
     "have no rows"),
    (dict(method="elasticity"), ValueError, "method must be"),
    (dict(count="yes"), TypeError, "count must be"),
    (dict(hypothesis="b1 minus b2"), ValueError, "sum of terms"),
    (dict(hypothesis="b99 - b1"), ValueError, "not a row"),
    (dict(hypothesis="pairwise"), ValueError, "no two rows"),
])
def test_bad_options_are_refused(options, error, match):
    res = fit("y ~ x + z + C(g)", DF, kind="logit")
    with pytest.raises(error, match=match):
        margins(res, "x", **options)


def test_plot_draws_a_panel_per_variable_with_intervals(tmp_path):
    pytest.importorskip("matplotlib")
    import matplotlib

    matplotlib.use("Agg")
    res = fit(FORMULA, DF, kind="logit")
    table = margins(res, ["x", "g", "t"], by="b")
    fig = plot_margins(table)
    visible = [ax for ax in fig.axes if ax.get_visible()]
    assert [ax.get_title() for ax in visible] == ["x", "g", "t"]
    # each panel: one error-bar container per group, one point per contrast
    assert [len(ax.containers) for ax in visible] == [2, 2, 2]
    assert len(visible[1].containers[0].lines[0].get_xdata()) == 3
    fig.savefig(tmp_path / "margins.png")
    assert (tmp_path / "margins.png").stat().st_size > 0


def test_plot_without_matplotlib_says_how_to_install(monkeypatch):
    monkeypatch.setitem(sys.modules, "matplotlib", None)
    monkeypatch.setitem(sys.modules, "matplotlib.pyplot", None)
    table = margins(fit("y ~ x", DF, kind="logit"))
    with pytest.raises(ImportError, match=r"tarvex\[plot\]"):
        plot_margins(table)
