"""z statistics, p-values, bounds, marks and the layout of the result table.

A single continuous regressor x = 2 with coefficient b gives xb = 2b, the
effect b·f(2b), a Jacobian f(2b) ("rust" form) and so the standard error
f(2b)·√σ for a 1×1 covariance σ: σ sets z = b/√σ directly."""
import math

import numpy as np
import pytest

import tarvex
from conftest import TABLE_COLUMNS as COLUMNS
from models import results
from reference import assert_statistics_follow


def one_regressor(b, sigma, kind="Logit", x=2.0):
    return tarvex.mfx(results(kind, [[x]], [b], sigma=[[sigma]], names=["x"])).loc["x"]


def test_standard_error_floor():
    # b = 0: f(0) = 1/4 exactly, the effect is 0 and se = √σ/4 exactly.
    at_floor = one_regressor(0.0, (4e-15) ** 2)
    assert at_floor["Std. Err"] == 1e-15
    assert (at_floor["z"], at_floor["Pr(>|z|)"], at_floor["Significance"]) == (0.0, 1.0, "")
    assert at_floor["Conf. Int. Low"] == at_floor["Conf. Int. Hi"] == 0.0

    above = one_regressor(0.0, (4 * np.nextafter(1e-15, 1.0)) ** 2)
    assert above["Std. Err"] > 1e-15
    assert above["Conf. Int. Low"] == -1.96 * above["Std. Err"]
    assert above["Conf. Int. Hi"] == 1.96 * above["Std. Err"]
    assert (above["z"], above["Pr(>|z|)"]) == (0.0, 1.0)

    for sigma in (0.0, -1.0):  # se 0, and NaN from a negative variance
        row = one_regressor(0.7, sigma)
        assert row["Std. Err"] == 0.0 or math.isnan(row["Std. Err"])
        assert (row["z"], row["Pr(>|z|)"], row["Significance"]) == (0.0, 1.0, "")
        assert row["Conf. Int. Low"] == row["Conf. Int. Hi"] == row["dy/dx"]


@pytest.mark.parametrize("target_z, p_check, mark", [
    (1.96, lambda p: abs(p - 0.0499958) < 1e-6, "**"),
    (-1.96, lambda p: abs(p - 0.0499958) < 1e-6, "**"),
    (8.3, lambda p: p == 0.0, "***"),
    (8.2, lambda p: p == 2.0**-52, "***"),
    (1.7, lambda p: 0.05 < p < 0.1, "*"),
    (0.3, lambda p: p > 0.1, ""),
    (2.7, lambda p: p < 0.01, "***"),
])
def test_p_values_and_marks(target_z, p_check, mark):
    b = 0.5 if target_z > 0 else -0.5
    row = one_regressor(b, (b / target_z) ** 2)
    assert row["z"] == pytest.approx(target_z, rel=1e-12)
    assert p_check(row["Pr(>|z|)"])
    assert row["Significance"] == mark
    h = 1.96 * row["Std. Err"]
    assert (row["Conf. Int. Low"], row["Conf. Int. Hi"]) == (row["dy/dx"] - h, row["dy/dx"] + h)


def test_p_value_keeps_the_subtraction_from_one():
    # 2·(1 - Φ(|z|)) is a multiple of 2^-53 near 0, unlike erfc(|z|/√2).
    for target_z in np.linspace(6.0, 8.2, 23):
        p = one_regressor(0.5, (0.5 / target_z) ** 2)["Pr(>|z|)"]
        assert (p / 2.0**-53) == round(p / 2.0**-53)


@pytest.mark.parametrize("kind", ["Logit", "Probit"])
@pytest.mark.parametrize("n, names, beta_len, chunk", [
    (0, [], 0, None), (0, [], 0, 1), (3, [], 0, None),
    (0, ["a", "b"], 2, None), (0, ["a", "b"], 2, 1),
    (2, ["const"], 1, None),  # an intercept only
    # No rows: nothing is multiplied, so a β of the wrong length passes.
    (0, ["const", "a", "b"], 2, None),
])
def test_empty_designs(kind, n, names, beta_len, chunk):
    # With no rows every effect and standard error is 0/0, reported with
    # z = 0 and p = 1; with nothing to report, the table keeps its columns.
    k = len(names)
    m = results(kind, np.ones((n, k)), np.full(beta_len, 0.2), sigma=np.eye(k), names=names)
    table = tarvex.mfx(m, chunk)
    assert list(table.index) == [name for name in names if name != "const"]
    assert_statistics_follow(table)
    assert table["dy/dx"].isna().all() and table["Std. Err"].isna().all()


def test_table_types_and_order():
    X = np.column_stack([np.ones(6), np.linspace(-1, 2, 6), [0, 1, 0, 1, 1, 0.0], np.linspace(3, 1, 6)])
    names = ["const", "x\u00e9", "d", "x\u00e9"]  # duplicate and non-ASCII names
    table = tarvex.mfx(results("Probit", X, [0.1, 0.5, -0.3, 0.2], names=names))
    assert list(table.columns) == COLUMNS
    assert list(table.index) == ["x\u00e9", "d", "x\u00e9"]
    for column in COLUMNS[:6]:
        assert table[column].dtype == np.float64
    assert all(isinstance(mark, str) for mark in table["Significance"])


def test_non_finite_inputs_flow_through():
    X = np.array([[0.5, np.inf], [1.5, 2.0], [-0.5, 1.0]])
    table = tarvex.mfx(results("Logit", X, [0.3, 0.4], names=["a", "b"]))
    assert len(table) == 2  # nothing dropped
    assert table.isna().any().any()
