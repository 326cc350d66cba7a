"""tarvex_margins against marginaleffects.avg_slopes, and splines against a
central difference of patsy's whole design build.

The peer re-predicts on perturbed frames and differentiates numerically: its
standard errors are finite differences in beta whose error depends on the
machine's rounding (2e-4 relative on an AVX-512 Xeon for the models below), so
they are checked to 1e-3 only, its estimates (analytic predictions) to 1e-6.
What the peer checks loosely, the exact NumPy reference of margins_models
checks tightly: the slopes, transforms and contrasts of these formulas in
test_margins.py (1e-10, 1e-9), weighted slopes per group here (1e-10)."""
import numpy as np
import pytest

from conftest import under_asan
from margins_models import fit, frame, slope, standard_errors
from tarvex_margins import margins

DF = frame(500, seed=8).astype({"g": "category"})


@pytest.mark.parametrize("formula, kind", [
    ("y ~ x + I(x**2) + np.log(z) + g + b + t", "probit"),
    ("y ~ x * t + np.exp(z / 3) + g:x + g", "logit"),
])
def test_agrees_with_marginaleffects(formula, kind):
    if under_asan():
        pytest.skip("the peer (jax, polars) is not run under the sanitizers")
    me = pytest.importorskip("marginaleffects")
    if not hasattr(me, "avg_slopes"):
        pytest.skip("marginaleffects is older than 0.6")
    res = fit(formula, DF, kind=kind)
    theirs = me.avg_slopes(res).to_pandas().sort_values(["term", "contrast"]).reset_index(drop=True)
    ours = margins(res).sort_values(["term", "contrast"]).reset_index(drop=True)
    assert list(ours.term) == list(theirs.term) and list(ours.contrast) == list(theirs.contrast)
    np.testing.assert_allclose(ours.estimate, theirs.estimate, rtol=1e-6)
    np.testing.assert_allclose(ours.std_error, theirs.std_error, rtol=1e-3)


def test_spline_slope_matches_a_difference_of_the_whole_design():
    # The reference differentiates patsy's whole build (frozen knots) with a
    # small central step: accurate to ~1e-8, independent of the per-factor path.
    res = fit("y ~ bs(x, df=5) + z", DF, kind="logit")
    info = res.model.data.model_spec if hasattr(res.model.data, "model_spec") else res.model.data.design_info
    from patsy import build_design_matrices

    inner = DF.x.between(DF.x.min() + 1e-4, DF.x.max() - 1e-4)
    df = DF[inner]
    h = 1e-6
    up, down = (np.asarray(build_design_matrices([info], df.assign(x=df.x + s))[0]) for s in (h, -h))
    est, grad = slope(res, df, "logit", (up - down) / (2 * h))
    table = margins(res, "x", data=df)
    assert table.estimate[0] == pytest.approx(est, rel=1e-7)
    assert table.std_error[0] == pytest.approx(standard_errors(res, [grad])[0], rel=1e-7)
    # At the data's extremes the central stencil leaves the knots: one-sided forms take over.
    assert np.isfinite(margins(res, "x").estimate[0])


@pytest.mark.parametrize("kind", ["logit", "probit"])
def test_weighted_slopes_by_group_match_the_reference(kind):
    # The model of the peer's by/weights check (test_margins_options.py), each
    # group against the reference on that group's rows with its weights.
    df = DF.assign(w=np.random.default_rng(9).uniform(0.2, 2.0, len(DF)))
    res = fit("y ~ x + I(x**2) + z + C(g)", df, kind=kind)
    names = list(res.params.index)
    table = margins(res, "x", by="g", weights="w")
    groups = list(df.groupby("g", observed=True))
    assert list(table.g) == [label for label, _ in groups]
    for (_, rows), est, se in zip(groups, table.estimate, table.std_error):
        dX = np.zeros((len(rows), len(names)))
        dX[:, names.index("x")], dX[:, names.index("I(x ** 2)")] = 1.0, 2 * rows.x
        want, grad = slope(res, rows, kind, dX, weights=rows.w)
        assert est == pytest.approx(want, rel=1e-10)
        assert se == pytest.approx(standard_errors(res, [grad])[0], rel=1e-10)
