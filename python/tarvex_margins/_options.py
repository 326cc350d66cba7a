"""The options of margins() read and checked at the door (at, method, count,
by, weights), and what they turn into once the rows are known: group codes,
row weights, and the representative rows of at="mean"/"median"/"zero"."""
from __future__ import annotations

import itertools
from dataclasses import dataclass
from typing import Any, Mapping, Optional

import numpy as np
import pandas as pd

from ._data import aligned_to_rows

#: method → (slope label, times the variable's value ("ex"), on log P ("ey")).
#: statsmodels' definitions, row by row: dydx f·s; eyex f·s·x/F; dyex f·s·x; eydx f·s/F.
METHODS = {"dydx": ("dY/dX", False, False), "eyex": ("eY/eX", True, True),
           "dyex": ("dY/eX", True, False), "eydx": ("eY/dX", False, True)}
#: The representative points of `at`, besides the default "overall".
POINTS = ("mean", "median", "zero")
#: Table columns a group or `at` column may not take.
RESERVED = ("term", "contrast", "estimate", "std_error", "statistic", "p_value", "conf_low",
            "conf_high")
#: The name of the group column when by= is an unnamed array of labels.
GROUP = "group"


@dataclass(frozen=True)
class Options:
    method: str = "dydx"
    count: bool = False
    at: str = "overall"                 # "overall", a point of POINTS, or "grid"
    grid: tuple = ()                    # ((variable, (values, ...)), ...) for a mapping
    by: Any = None                      # None, a tuple of column names, or an array of labels
    by_names: tuple = ()                # the group columns of the table
    weights: Any = None                 # None, a column name, or an array

    @property
    def points(self) -> list:
        """The `at` grid as one dict {variable: value} per point ([{}] without one)."""
        names = [name for name, _ in self.grid]
        return [dict(zip(names, values)) for values in itertools.product(*(v for _, v in self.grid))]

    def describe(self) -> str:
        """What the sums depend on besides the model (for the plan's key)."""
        by = self.by if isinstance(self.by, tuple) else ("<array>" if self.by is not None else None)
        weights = self.weights if isinstance(self.weights, str) or self.weights is None else "<array>"
        return repr((self.method, self.count, self.at, self.grid, by, weights))


def read_options(at="overall", method="dydx", count=False, by=None, weights=None) -> Options:
    """The options checked for type and value; names are checked against the
    model and the data later."""
    if not isinstance(method, str) or method not in METHODS:
        raise ValueError(f"method must be one of {list(METHODS)}, got {method!r}")
    if not isinstance(count, (bool, np.bool_)):
        raise TypeError(f"count must be True or False, got {count!r}")
    kind, grid = _read_at(at)
    by_value, by_names = _read_by(by)
    if weights is not None and not isinstance(weights, str):
        if not isinstance(weights, pd.Series):
            weights = np.asarray(weights)
        if weights.ndim != 1 or not pd.api.types.is_numeric_dtype(weights.dtype):  # bool included
            raise TypeError("weights must be a column name or a one-dimensional array of numbers, "
                            f"got {type(weights).__name__} of dtype {weights.dtype}")
    clash = sorted(set(by_names) & {name for name, _ in grid})
    if clash:
        raise ValueError(f"{clash} appear in both at= and by=")
    reserved = sorted(set(by_names + tuple(name for name, _ in grid)) & set(RESERVED))
    if reserved:
        raise ValueError(f"{reserved} cannot be group or at= columns (they name the table's columns)")
    return Options(method, bool(count), kind, grid, by_value, by_names, weights)


def _read_at(at):
    if isinstance(at, str):
        if at != "overall" and at not in POINTS:
            raise ValueError(f"at must be 'overall', one of {list(POINTS)}, or a mapping "
                             f"{{variable: value or list of values}}; got {at!r}")
        return at, ()
    if not isinstance(at, Mapping) or not at:
        raise TypeError(f"at must be 'overall', one of {list(POINTS)}, or a non-empty mapping "
                        f"{{variable: value or list of values}}; got {at!r}")
    grid = []
    for name, values in at.items():
        if not isinstance(name, str):
            raise TypeError(f"at= keys must be variable names, got {name!r}")
        if isinstance(values, np.ndarray) and values.ndim == 0:
            values = values.item()          # a NumPy scalar held in an array
        if isinstance(values, np.ndarray) and values.ndim > 1:
            raise TypeError(f"at={{{name!r}: ...}} must be a value or a one-dimensional list of "
                            f"values, got an array of shape {values.shape}")
        values = tuple(values) if isinstance(values, (list, tuple, np.ndarray, pd.Series)) else (values,)
        if not values:
            raise ValueError(f"at={{{name!r}: ...}} has no values")
        grid.append((name, values))
    return "grid", tuple(grid)


def _read_by(by):
    if by is None:
        return None, ()
    if isinstance(by, str):
        return (by,), (by,)
    if isinstance(by, (list, tuple)) and by and all(isinstance(b, str) for b in by):
        return tuple(dict.fromkeys(by)), tuple(dict.fromkeys(by))
    if isinstance(by, pd.Series):
        return by, (str(by.name) if by.name is not None else GROUP,)
    labels = np.asarray(by)
    if labels.ndim != 1 or labels.size == 0:
        raise TypeError("by must be a column name, a list of column names, or a one-dimensional "
                        "array of group labels")
    return labels, (GROUP,)


def check_grid_values(name: str, values: tuple, numeric: bool, levels: Optional[tuple]) -> None:
    """A numeric variable takes finite real numbers; a categorical one its levels."""
    for value in values:
        if numeric:
            if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, float, np.integer, np.floating)) \
                    or not np.isfinite(value):
                raise TypeError(f"at={{{name!r}: ...}}: {value!r} is not a finite number")
        elif levels is not None and value not in levels:
            raise ValueError(f"at={{{name!r}: ...}}: {value!r} is not one of its levels {list(levels)}")


# ---- row data: groups and weights -------------------------------------------

def row_column(given, source: Optional[pd.DataFrame], index: pd.Index, keep: np.ndarray, what: str):
    """A by or weights column of the rows kept: looked up by name in `source`
    (the data frame, or the model's), a pandas Series matched to the rows by
    its labels (`index` labels the source's rows), or an array with one entry
    per row of the source, taken at `keep`, or one per row kept."""
    if isinstance(given, str):
        if source is None or given not in source.columns:
            where = "the data" if source is not None else "a data frame (this model has none)"
            raise ValueError(f"{what}: {given!r} is not a column of {where}")
        return source[given].array[keep]     # the column's own dtype (a Categorical's order)
    if isinstance(given, pd.Series):
        return aligned_to_rows(given, index, keep, what)
    values = np.asarray(given)
    if len(values) == len(index):
        return values[keep]
    if len(values) == int(keep.sum()):
        return values               # one per row kept
    raise ValueError(f"{what} has {len(given)} entries for {len(index)} rows of data")


def group_codes(labels: pd.DataFrame, sources: dict, whole: bool = True):
    """Group codes 0..G−1 in the sorted order of the labels, the labels
    (tuples), and each label's sort key, which orders labels the same way in
    any set of rows (a categorical value by its category's position, others
    by type and value). When the rows are the whole data (`whole`), a
    categorical column whose categories have no rows is refused: such a group
    would be empty."""
    if whole:
        refuse_empty_categories(list(labels.columns), declared_categories(labels.columns, sources),
                                [pd.unique(column) for _, column in labels.items()])
    # Each column's codes in sorted order, then the mixed-radix code of the
    # combination (sorted lexicographically), factorized once more: no tuples
    # per row.
    combined, columns = np.zeros(len(labels), dtype=np.int64), []
    for _, column in labels.items():
        codes, uniques = pd.factorize(column, sort=True)
        combined = combined * len(uniques) + codes
        columns.append(uniques)
    codes, present = pd.factorize(combined, sort=True)
    labels_out = []
    for value in present:
        label = []
        for uniques in reversed(columns):
            value, index = divmod(int(value), len(uniques))
            label.append(uniques[index])
        labels_out.append(tuple(reversed(label)))
    sorters = [_label_sort_key(column.dtype) for _, column in labels.items()]
    keys = [tuple(key(value) for key, value in zip(sorters, label)) for label in labels_out]
    return codes.astype(np.int64), labels_out, keys


def declared_categories(names, sources: dict) -> tuple:
    """Per group column, the categories its source's dtype declares (empty
    for a column that is not categorical)."""
    def categories(source):
        if isinstance(getattr(source, "dtype", None), pd.CategoricalDtype):
            return tuple(source.dtype.categories)
        return ()
    return tuple(categories(sources.get(name)) for name in names)


def refuse_empty_categories(names, declared, present) -> None:
    """A category that a group column declares but no row of all the data
    has would be a group without rows: refused, per column (`present`: the
    values the rows have)."""
    for name, categories, values in zip(names, declared, present):
        empty = sorted(set(categories) - set(values), key=str)
        if empty:
            raise ValueError(f"by={name!r}: the groups {empty} have no rows (drop unused "
                             f"categories with .cat.remove_unused_categories())")


def _label_sort_key(dtype):
    if isinstance(dtype, pd.CategoricalDtype):
        categories = dtype.categories
        return lambda value: ("", int(categories.get_loc(value)))
    return lambda value: (type(value).__name__, value)


def check_weights(weights: np.ndarray, codes: Optional[np.ndarray], labels: list,
                  whole: bool = True) -> np.ndarray:
    """Non-negative finite weights with (for the whole data) a positive total
    overall and in every group; the totals of a part of the data are checked
    once the parts are added (margins_table)."""
    w = np.asarray(weights, dtype=float)
    bad = ~np.isfinite(w) | (w < 0)
    if bad.any():
        i = int(np.flatnonzero(bad)[0])
        raise ValueError(f"weights must be finite and non-negative; row {i} has {weights[i]!r} "
                         f"({int(bad.sum())} such rows)")
    if not whole:
        return w
    if not w.sum() > 0:
        raise ValueError("weights are all zero: there is nothing to average")
    if codes is not None:
        totals = np.bincount(codes, weights=w, minlength=len(labels))
        zero = [labels[g] for g in np.flatnonzero(totals == 0)]
        if zero:
            raise ValueError(f"the groups {zero} have weights that are all zero")
    return w


# ---- representative rows (at="mean", "median", "zero") -----------------------

def group_means(values: np.ndarray, weights: Optional[np.ndarray], codes: np.ndarray, n_groups: int):
    """Weighted mean per group of each column of `values` (rows × columns)."""
    w = np.ones(len(codes)) if weights is None else weights
    totals = np.bincount(codes, weights=w, minlength=n_groups)
    return np.column_stack([np.bincount(codes, weights=w * values[:, j], minlength=n_groups) / totals
                            for j in range(values.shape[1])])


def weighted_median(x: np.ndarray, w: np.ndarray) -> float:
    """The median of the frequency-expanded data when the weights are
    integers: with c the cumulative weights of the sorted values and W their
    total, the mean of the first value with c ≥ W/2 and the first with
    c > W/2 (np.median for unit weights)."""
    keep = w > 0
    order = np.argsort(x[keep], kind="stable")
    xs, c = x[keep][order], np.cumsum(w[keep][order])
    half = c[-1] / 2.0
    return 0.5 * (xs[np.searchsorted(c, half, side="left")] + xs[np.searchsorted(c, half, side="right")])


def group_medians(values: np.ndarray, weights: Optional[np.ndarray], codes: np.ndarray, n_groups: int):
    """Weighted median per group of each column of `values`."""
    w = np.ones(len(codes)) if weights is None else weights
    return np.array([[weighted_median(values[codes == g, j], w[codes == g]) for j in range(values.shape[1])]
                     for g in range(n_groups)])


def group_modes(column: pd.Series, weights: Optional[np.ndarray], codes: np.ndarray, n_groups: int):
    """The most frequent value per group (by total weight; ties to the first
    in sorted order), in the column's dtype."""
    w = np.ones(len(codes)) if weights is None else weights
    frame = pd.DataFrame({"g": codes, "v": column.to_numpy(), "w": w})
    totals = frame.groupby(["g", "v"], observed=True, sort=True)["w"].sum()
    modes = totals[totals > 0].groupby(level="g").idxmax()
    return pd.Series([modes[g][1] for g in range(n_groups)], dtype=column.dtype)


def representative(values: np.ndarray, at: str, weights, codes, n_groups) -> np.ndarray:
    """Each numeric column's mean, median or zero per group (groups × columns)."""
    if at == "mean":
        return group_means(values, weights, codes, n_groups)
    if at == "median":
        return group_medians(values, weights, codes, n_groups)
    return np.zeros((n_groups, values.shape[1]))
