"""What margins and compare read from their arguments: frames by column name
(pandas, polars, Arrow), by= and weights= Series by index label, the fitted
types of the data's columns, comparisons of reordered tables by row label,
and clear refusals of what they cannot read."""
import numpy as np
import pandas as pd
import pytest
import statsmodels.api as sm

from margins_models import fit, frame
from tarvex_margins import compare, margins, plot_margins

DF = frame(300, seed=31)
FORMULA = "y ~ x + z + C(g) + t"


@pytest.fixture(scope="module")
def formula_fit():
    return fit(FORMULA, DF, kind="logit")


@pytest.fixture(scope="module")
def column_fit():
    X = sm.add_constant(DF[["x", "z", "t"]].astype(float))
    return sm.Logit(DF.y, X).fit(disp=0)


def assert_same(got, expected):
    np.testing.assert_allclose(got.estimate, expected.estimate, rtol=1e-12)
    np.testing.assert_allclose(got.std_error, expected.std_error, rtol=1e-12)


# ---- compare on a reordered table --------------------------------------------

@pytest.mark.parametrize("reorder", [
    lambda t: t.sort_values("estimate"),
    lambda t: t.iloc[::-1],
    lambda t: t.sample(frac=1.0, random_state=4),
    lambda t: t.sort_values("estimate").reset_index(drop=True),
])
def test_compare_pairs_each_row_with_its_own_covariance(formula_fit, reorder):
    table = margins(formula_fit, by="t")
    moved = reorder(table)
    J = table.attrs["jacobian"].to_numpy()
    cov = np.asarray(formula_fit.cov_params())
    # b2 - b1 of the moved table, from the Jacobian rows of those two estimates
    first, second = (np.flatnonzero((table.term == row.term) & (table.contrast == row.contrast)
                                    & (table.t == row.t))[0] for row in
                     (moved.iloc[0], moved.iloc[1]))
    diff = J[second] - J[first]
    got = compare(moved, "b2 - b1")
    assert got.estimate[0] == pytest.approx(table.estimate[second] - table.estimate[first], rel=1e-12)
    assert got.std_error[0] == pytest.approx(np.sqrt(diff @ cov @ diff), rel=1e-10)
    # "pairwise" is later minus earlier as shown: the same pairs, signs may flip
    def pairs(t):
        p = compare(t, "pairwise")
        return p.assign(estimate=p.estimate.abs()).sort_values(["term", "contrast", "estimate"])
    mine, theirs = pairs(moved), pairs(table)
    np.testing.assert_allclose(mine.estimate, theirs.estimate, rtol=1e-12)
    np.testing.assert_allclose(mine.std_error, theirs.std_error, rtol=1e-10)
    # a comparison's own table is compared by its labels in turn
    twice = compare(compare(moved, ["b2 - b1", "b3 - b1"]).iloc[::-1], "b1 - b2")
    once = compare(moved, "b3 - b2")
    assert twice.estimate[0] == pytest.approx(once.estimate[0], rel=1e-12)
    assert twice.std_error[0] == pytest.approx(once.std_error[0], rel=1e-10)


@pytest.mark.parametrize("edit", [
    lambda t: t.iloc[:3],
    lambda t: t.iloc[[0, 1, 2, 3, 4, 5, 0]],
    lambda t: t.assign(contrast=t.contrast.str.upper()),
])
def test_compare_refuses_rows_its_covariance_does_not_describe(formula_fit, edit):
    table = margins(formula_fit)
    with pytest.raises(ValueError, match="not the .* estimates its covariance"):
        compare(edit(table), "b2 - b1")


# ---- frames of other libraries, read by name ------------------------------------

def _other_frames(data):
    frames = []
    try:
        import polars
        frames.append(polars.from_pandas(data))
    except ImportError:
        pass
    try:
        import pyarrow
        frames.append(pyarrow.Table.from_pandas(data, preserve_index=False))
    except ImportError:
        pass
    if not frames:
        pytest.skip("neither polars nor pyarrow is installed")
    return frames


def test_a_column_model_reads_other_frames_by_column_name(column_fit):
    rows = DF.assign(const=1.0, w=np.linspace(0.5, 2.0, len(DF)))
    shuffled = rows[["w", "t", "z", "const", "x", "g"]].astype({"t": float})
    expected = margins(column_fit, data=rows, by="g", weights="w")
    for other in _other_frames(shuffled):
        assert_same(margins(column_fit, data=other, by="g", weights="w"), expected)
    with pytest.raises(ValueError, match=r"missing the columns \['x'\]"):
        margins(column_fit, data=_other_frames(shuffled.drop(columns="x"))[0])


def test_a_formula_model_says_how_to_pass_other_frames(formula_fit):
    with pytest.raises(TypeError, match=r"pandas DataFrame .*to_pandas"):
        margins(formula_fit, data=_other_frames(DF)[0])


# ---- by= and weights= Series, by label -------------------------------------------

def test_series_of_by_and_weights_are_matched_by_label(formula_fit, column_fit):
    w = pd.Series(np.linspace(0.5, 2.0, len(DF)), index=DF.index)
    groups = DF.g
    for result in (formula_fit, column_fit):
        expected = margins(result, by=groups.to_numpy(), weights=w.to_numpy())
        reversed_ = margins(result, by=groups.iloc[::-1], weights=w.iloc[::-1])
        assert_same(reversed_, expected)
    # over data= with its own (shuffled) index, and only the rows kept
    data = DF.sample(frac=1.0, random_state=2).assign(x=lambda d: d.x.where(d.index != 7))
    kept = data.index != 7
    with pytest.warns(UserWarning, match="dropped 1"):
        expected = margins(formula_fit, data=data, weights=w.reindex(data.index).to_numpy())
        assert_same(margins(formula_fit, data=data, weights=w), expected)
        assert_same(margins(formula_fit, data=data, weights=w[w.index != 7].iloc[::-1]), expected)
    assert kept.sum() == len(DF) - 1


@pytest.mark.parametrize("option", ["by", "weights"])
def test_a_series_with_other_labels_is_refused(formula_fit, option):
    values = DF.g if option == "by" else pd.Series(np.ones(len(DF)))
    values = values.set_axis(values.index + 1000)
    with pytest.raises(ValueError, match="index does not match"):
        margins(formula_fit, **{option: values})


# ---- the types of the data's columns ----------------------------------------------

@pytest.mark.parametrize("change", [
    lambda d: d.assign(x=d.x.map(lambda v: f"{v:.4f}")),
    lambda d: d.assign(x=d.x > 0),
    lambda d: d.assign(t=d.t.astype(bool)),
])
def test_columns_fitted_as_numbers_must_hold_numbers(formula_fit, column_fit, change):
    changed = change(DF.assign(const=1.0))
    with pytest.raises(TypeError, match="fitted on numbers"):
        margins(formula_fit, data=changed)
    with pytest.raises(TypeError, match="fitted on numbers"):
        margins(column_fit, data=changed)
    with pytest.raises(TypeError, match="fitted on real numbers"):
        margins(column_fit, data=changed[["const", "x", "z", "t"]].to_numpy())


# ---- refusals that name what is wrong -------------------------------------------

@pytest.mark.parametrize("options, error, match", [
    (dict(variables=3), TypeError, "variables must be"),
    (dict(variables=b"x"), TypeError, "variables must be"),
    (dict(variables=["x", 2]), TypeError, "variables must be"),
    (dict(weights="g"), TypeError, "weights='g' has dtype"),
    (dict(weights=DF.g), TypeError, "weights must be"),
    (dict(at={"x": np.ones((2, 2))}), TypeError, "one-dimensional"),
    (dict(data=DF.set_axis(pd.MultiIndex.from_product([["a"], DF.columns]), axis=1)), ValueError,
     "MultiIndex columns"),
    (dict(data=pd.concat([DF, DF.x], axis=1)), ValueError, r"several columns named \['x'\]"),
    (dict(hypothesis=np.array([["b1"] * 6])), TypeError, "real numbers"),
    (dict(hypothesis=np.full((1, 6), np.inf)), ValueError, "finite"),
    (dict(hypothesis="1e400*b1"), ValueError, "not a finite number"),
])
def test_bad_arguments_are_refused_by_name(formula_fit, options, error, match):
    variables = options.pop("variables", None)
    with pytest.raises(error, match=match):
        margins(formula_fit, variables, **options)


def test_an_at_value_in_a_zero_dimensional_array_is_a_value(formula_fit):
    assert_same(margins(formula_fit, "z", at={"x": np.array(0.5)}),
                margins(formula_fit, "z", at={"x": 0.5}))


def test_plot_gives_every_group_its_own_colour():
    pytest.importorskip("matplotlib")
    import matplotlib

    matplotlib.use("Agg")
    rows = DF.assign(k=np.arange(len(DF)) % 24)
    table = margins(fit("y ~ x + z", rows, kind="logit"), "x", by="k")
    fig = plot_margins(table)
    colours = {tuple(c.lines[0].get_color()) if not isinstance(c.lines[0].get_color(), str)
               else c.lines[0].get_color() for c in fig.axes[0].containers}
    assert len(colours) == 24
