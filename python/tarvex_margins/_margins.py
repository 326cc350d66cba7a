"""margins(): average marginal effects of the variables of a fitted binary model."""
from __future__ import annotations

import hashlib
import warnings
from dataclasses import dataclass, replace
from typing import Any, Mapping, Optional, Sequence, Union

import numpy as np
import pandas as pd

from ._compare import check_hypothesis, compare
from ._data import check_number_array, check_number_columns, frame_columns, is_frame, is_number_dtype
from ._formula import Variable, block_column, check_slope, formula_structure
from ._model import FittedModel, read_model
from ._options import (METHODS, POINTS, Options, check_grid_values, check_weights,
                       declared_categories, group_codes, group_modes, read_options,
                       refuse_empty_categories, representative, row_column)
from ._partial import NO_GROUP, Partial
from ._pass import CONTRAST, SLOPE, Block, EstimateSpec, Layout, add_block, factor_terms, layout_of
from ._table import effect_table

DEFAULT_CHUNK_SIZE = 65536
SLOPE_LABEL = "dY/dX"
#: The contrast label of a count variable's centred unit change.
COUNT_LABEL = "+1 centred"


def margins(result, variables: Union[str, Sequence[str], None] = None, *,
            data: Any = None,
            at: Union[str, Mapping] = "overall", method: str = "dydx", count: bool = False,
            by=None, weights=None, hypothesis=None,
            chunk_size: Optional[int] = None, progress: Optional[bool] = None) -> pd.DataFrame:
    """Average marginal effects of the variables of a fitted binary model.

    Parameters
    ----------
    result : statsmodels results
        A fitted ``Logit``, ``Probit`` or ``GLM`` with the ``Binomial`` family
        and the logit, probit, cloglog, loglog or cauchit link, from the
        formula API (effects of variables) or fitted on arrays (effects of
        design columns, as :func:`tarvex.mfx` with ``se_method="sm"``).
    variables : str or sequence of str, optional
        The variables to report (by default all of them, in formula order).
        A variable's kind comes from its own values, not from the factors
        that transform it: x in ``I(x > 0)`` or ``C(x > 0)`` gets a slope, and
        such a True/False factor is a step, whose derivative is 0 almost
        everywhere (a warning when a slope runs through steps only). A slope
        through any other categorical factor of a numeric variable
        (``C(pd.cut(x, 3))``) is not defined and is refused.
    data : optional
        The rows to average over (by default the rows the model was fitted
        on): a frame with the variables the formula uses, or, for a model
        fitted on arrays, a frame with its columns or an array of its width.
        The frame may be a pandas or a Dask DataFrame (one task per
        partition on the cluster's workers), the array a NumPy or Dask
        array; a path to a Parquet file or directory, or a
        ``pyarrow.dataset.Dataset``, is read one row group at a time with
        only the columns needed (Dask, pyarrow: ``tarvex[distributed]``).
        Over Dask or Parquet data, ``by`` and ``weights`` name columns and
        ``at`` is ``"overall"`` or a mapping (a representative point needs
        all the rows before any effect).
        Rows with missing values (in the variables or the ``by`` columns) are
        dropped with a warning. A model with an offset is refused over other
        data.
    at : "overall", "mean", "median", "zero" or mapping, default "overall"
        Where the effects are evaluated. ``"overall"`` averages the effect of
        every row. ``"mean"``/``"median"``/``"zero"`` evaluate it once, at a
        representative point (per group with ``by``): for a model fitted on
        arrays statsmodels' ``get_margeff`` points — the (weighted) column
        means, the column medians, or every column 0 except a constant column
        of ones; for a formula model the point is built from the variables and
        then put through the formula (so ``x**2`` is taken at the mean of x):
        numeric variables at their (weighted) mean, median or 0, other
        variables at their most frequent level. Medians are weighted medians
        (the median of the frequency-expanded data for integer weights). A
        mapping ``{variable: value or list of values}`` fixes variables in
        every row and averages over the rest: one set of rows per value, the
        grid of several variables, the values in columns named after them.
    method : "dydx", "eyex", "dyex" or "eydx", default "dydx"
        statsmodels' definitions, row by row and then averaged: dydx
        ∂P/∂x = f·s; eydx ∂log P/∂x = f·s/P; dyex x·∂P/∂x; eyex x·∂P/∂x / P,
        with x the variable's value in the row (a column model's column, a
        formula model's variable). Contrasts (levels, 0/1 variables, counts)
        are differences of P, or of log P for eydx and eyex (as statsmodels
        does for dummies); the "ex" part has no meaning for them and is not
        applied.
    count : bool, default False
        Numeric variables (columns) holding non-negative integers that are not
        all equal and not only 0 and 1 get the centred unit change
        (F at x + 1 − F at x − 1)/2 per row, as statsmodels' ``count=True``;
        their contrast is labelled ``"+1 centred"``.
    by : str, list of str, or array of labels, optional
        Groups: columns of the data (of ``data``, or of the model's frame for a
        formula model), or one label per row. One set of rows per group, all
        from one pass; each equals ``margins`` on the group's rows alone. The
        group columns (named after the columns, ``"group"`` for an unnamed
        array) appear in the table.
    weights : str or array, optional
        Non-negative weights of the average (a column name or one per row);
        by default a GLM's ``freq_weights`` over its fitted rows, else none.
        Integer weights give the result on the frequency-expanded rows.
    hypothesis : str, list of str, or array, optional
        Linear combinations of the table's estimates to report instead of
        the table (see :func:`compare`): ``"pairwise"`` (differences between
        groups and ``at`` points), ``"levels"`` (differences between a
        variable's contrasts), strings such as ``"b2 - b1"`` (row numbers from
        1) or a matrix with one column per row of the table.
    chunk_size : int, optional
        Rows per block (default 65536): memory beyond the model's own arrays
        is proportional to it. Any positive integer, on every kind of data;
        more than the rows there are means all of them in one block.
    progress : bool, optional
        A progress bar for Dask and Parquet data; by default shown when
        standard error is a terminal. True, False or None on every kind of
        data.

    Returns
    -------
    pandas.DataFrame
        One row per (term, contrast, ``at`` point, group): ``term``,
        ``contrast`` (the method's label such as ``"dY/dX"`` for a slope,
        ``"b - a"`` for a level b against the reference a, ``"1 - 0"`` for a
        0/1 variable, ``"+1 centred"`` for a count), the ``at`` and group
        columns, ``estimate``, ``std_error``, ``statistic`` (z), ``p_value``
        (two-sided normal), ``conf_low``/``conf_high`` (95%).
        ``table.attrs`` holds ``"vcov"`` (the covariance of the estimates,
        indexed by the label columns), ``"jacobian"`` (their gradient in the
        parameters), ``"weights"`` (``"freq_weights"``, the weights column's
        name, ``"array"`` or ``"none"``), ``"n_rows"`` and ``"method"``.

    Raises
    ------
    ValueError, TypeError
        An unsupported model or link, unknown variables (also in ``at`` and
        ``by``), values of the wrong type, a ``data`` frame missing a column,
        ``by`` or ``weights`` of the wrong length, negative, NaN or all-zero
        weights (overall or in a group), groups without rows, a slope through
        a categorical factor that is not a step, row data taken by the formula
        from the caller's namespace (``y ~ x + x:w_ext``), fitted rows that
        cannot be found (rows dropped by the fit and a duplicated index; a
        result after ``remove_data()`` with ``data=None``); nothing is
        computed then.
    PartitionError
        (a ValueError) A partition or Parquet row group missing a column or
        holding text where the model has numbers; the message names it.
    distributed.KilledWorker
        A Dask partition whose workers kept dying (more than the scheduler's
        allowed failures); the message begins with the partition.

    Examples
    --------
    >>> import statsmodels.api as sm, statsmodels.formula.api as smf
    >>> from tarvex_margins import margins
    >>> spector = sm.datasets.spector.load_pandas().data
    >>> fit = smf.logit("GRADE ~ GPA + I(GPA**2) + TUCE + PSI", spector).fit(disp=0)
    >>> table = margins(fit, "GPA")
    >>> round(table.estimate[0], 3), round(table.std_error[0], 3)
    (0.352, 0.094)
    >>> list(margins(fit, "GPA", by="PSI").estimate.round(3))
    [0.245, 0.519]
    """
    from ._partitions import sum_rows

    chunk = _chunk_size(chunk_size)
    check_progress(progress)
    check_hypothesis(hypothesis)
    plan = plan_margins(result, variables, at=at, method=method, count=count, by=by, weights=weights)
    table = margins_table(plan, sum_rows(plan, data, chunk, progress))
    return table if hypothesis is None else compare(table, hypothesis)


@dataclass(frozen=True)
class Plan:
    """What one call computes, fixed before any row is read: the model, the
    variables with their kinds (slope, contrasts or count, judged on the rows
    the model was fitted on, so that every set of rows gets the same
    estimates), where each estimate's changed columns lie, and the options."""
    model: FittedModel
    layout: Layout
    key: str                    # identifies model, estimates and options (see Partial)
    structure: Any = None       # the formula's structure; None for a column model
    chosen: tuple = ()          # the formula's Variables to report
    scales: Any = None          # a slope variable's difference-step scale, by name
    options: Options = Options()
    fixed: Any = None           # the formula's Variables that at= fixes, by name
    numbers: tuple = ()         # (column, fitted dtype) of the data columns that must hold numbers

    def __reduce__(self):
        # Pickled without the fitted model's arrays, for workers (_shipping.py).
        from ._shipping import ship, unship
        return unship, (ship(self),)


def plan_margins(result, variables=None, *, at="overall", method="dydx", count=False, by=None,
                 weights=None) -> Plan:
    """What ``margins(result, variables, ...)`` computes, fixed before any row is
    read: the estimates, their kinds (judged on the fitted rows) and the key
    that partials carry. A plan pickles slim (β, Σ, names and the formula's
    design, not the fitted arrays), so it can be sent to other processes and
    machines; see :func:`margins_partial`."""
    options = read_options(at, method, count, by, weights)
    model = read_model(result)
    if options.at in POINTS and model.offset is not None and np.any(model.offset != 0):
        raise ValueError(f"at={options.at!r}: the model has an offset, whose value at a "
                         "representative point is not defined; use at='overall' or a mapping")
    if model.design_info is None:
        return _column_plan(model, variables, options)
    return _formula_plan(model, variables, options)


@dataclass(frozen=True)
class _Rows:
    """The rows of one call: a formula model's variables (`frame`) or a column
    model's design (`X`; for a formula model the fitted design, when it can
    be used as it is), with offset, weights and group codes (None: absent)."""
    frame: Optional[pd.DataFrame]
    X: Optional[np.ndarray]
    offset: Optional[np.ndarray]
    weights: Optional[np.ndarray]
    codes: Optional[np.ndarray]

    @property
    def n(self) -> int:
        return len(self.frame) if self.frame is not None else self.X.shape[0]

    def take(self, keep: np.ndarray) -> "_Rows":
        def sub(a):
            return None if a is None else a[keep]
        return _Rows(None if self.frame is None else self.frame.loc[keep], sub(self.X),
                     sub(self.offset), sub(self.weights), sub(self.codes))


def partial_sums(plan: Plan, data=None, chunk_size: int = DEFAULT_CHUNK_SIZE, *,
                 whole: bool = True) -> Partial:
    """W, S and T of the rows of `data` (the fitted rows when None), per group
    and `at` point, one block of `chunk_size` rows after another. `whole`
    False: the rows are one part of the data (a partition), so a category of
    `by` without rows here, or a group whose weights are all zero here, is
    not an error; margins_table checks the groups of the total."""
    model, options = plan.model, plan.options
    if data is None and model.exog is None:
        raise ValueError("this plan is without the fitted rows (it was unpickled, or the "
                         "result's data were removed with remove_data()); pass data= the rows "
                         "to average over")
    if not whole:
        refuse_point_in_part(options)
    rows, source, n_source, keep = (_fitted_rows_of(plan) if data is None else _given_rows(plan, data))
    index = _row_index(plan, data, source, n_source)
    rows, labels, keys, declared = _grouped(plan, rows, source, index, keep, whole)
    weights_name = "none" if rows.weights is None else "freq_weights"
    if options.weights is not None:
        weights_name = options.weights if isinstance(options.weights, str) else "array"
    if rows.weights is not None:
        rows = replace(rows, weights=check_weights(rows.weights, rows.codes, labels, whole))
    n_rows = rows.n
    if options.at in POINTS and n_rows > 0:
        rows = _representative_rows(plan, rows, len(labels))

    points, G = options.points, len(labels)
    n_est, k = len(plan.layout.specs), model.params.size
    weight = np.zeros(len(points) * G)
    effect = np.zeros((len(points) * G, n_est))
    gradient = np.zeros((len(points) * G, n_est, k))
    for start in range(0, rows.n, chunk_size):
        block_rows = _slice(rows, start, min(start + chunk_size, rows.n))
        for p, fixed in enumerate(points):
            block = (_column_block(plan, block_rows, fixed) if plan.structure is None
                     else _formula_block(plan, block_rows, fixed))
            part = slice(p * G, (p + 1) * G)
            add_block(model.link, model.params, plan.layout, block, weight[part], effect[part], gradient[part])
    groups = tuple(tuple(point.values()) + label for point in points for label in labels)
    order = tuple((p,) + key for p in range(len(points)) for key in keys)
    return Partial(plan.key, groups, weight, effect, gradient, n_rows, weights_name, order,
                   declared)


def refuse_point_in_part(options: Options) -> None:
    """A representative point is a function of all the rows: the sums at the
    points of parts of the rows do not add to the sums at the point of all."""
    if options.at in POINTS:
        raise ValueError(f"at={options.at!r} needs all the rows at once; over rows in parts "
                         "use at='overall' or a mapping of fixed values")


def margins_table(plan: Plan, partial: Partial) -> pd.DataFrame:
    """The table :func:`margins` returns, from the sum of the partials of all
    the rows: estimates S/W, Jacobian T/W (times ½ for a count) and V = J·Σ·Jᵀ, one row per
    estimate, `at` point and group.

    The plan supplies what the partial does not carry: Σ (the result's
    cov_params()), the parameter names and the estimates' labels; a partial
    made for another plan (another model, variables or options) is refused
    by its key. ``attrs["n_rows"]`` is the number of rows summed.

    Examples
    --------
    >>> plan = plan_margins(fit)                                  # doctest: +SKIP
    >>> parts = [margins_partial(plan, rows) for rows in pieces]  # anywhere, any order
    >>> table = margins_table(plan, sum(parts))
    """
    check_plan(plan)
    if not isinstance(partial, Partial):
        raise TypeError(f"partial must be a Partial (from margins_partial, or a sum of them), "
                        f"got a {type(partial).__name__}")
    if partial.key != plan.key:
        raise ValueError("this partial was computed for another model or other options")
    if partial.n_rows == 0:
        raise ValueError("there are no rows to average over (data is empty after dropping "
                         "rows with missing values)")
    _refuse_empty_groups(plan, partial)
    if not np.all(partial.weight > 0):
        if partial.groups == (NO_GROUP,):
            raise ValueError("weights are all zero: there is nothing to average")
        zero = [label for label, w in zip(partial.groups, partial.weight) if not w > 0]
        raise ValueError(f"the groups {zero} have weights that are all zero")
    specs, k = plan.layout.specs, plan.model.params.size
    scale = np.array([entry.scale for entry in specs])
    with np.errstate(invalid="ignore", divide="ignore"):
        estimate = partial.effect / partial.weight[:, None] * scale
        jacobian = partial.gradient / partial.weight[:, None, None] * scale[:, None]
    # Estimate-major: the groups of one estimate next to each other.
    estimate = estimate.T.reshape(-1)
    jacobian = jacobian.transpose(1, 0, 2).reshape(-1, k)
    columns = ["term", "contrast"] + [name for name, _ in plan.options.grid] + list(plan.options.by_names)
    labels = pd.DataFrame([(entry.term, entry.contrast) + group for entry in specs for group in partial.groups],
                          columns=columns)
    model = plan.model
    table = effect_table(labels, estimate, jacobian, model.cov, model.names, partial.weights,
                         partial.n_rows, plan.options.method)
    table.attrs["at_names"] = [name for name, _ in plan.options.grid]
    table.attrs["by_names"] = list(plan.options.by_names)
    return table


def _refuse_empty_groups(plan: Plan, partial: Partial) -> None:
    """The rule of the in-memory call for all the rows summed: a category
    that a by column declares must have rows (group labels are the `at`
    point's values, then the group's)."""
    if not partial.declared:
        return
    first = len(plan.options.grid)
    present = [{label[first + j] for label in partial.groups} for j in range(len(partial.declared))]
    refuse_empty_categories(plan.options.by_names, partial.declared, present)


def check_plan(plan) -> None:
    if not isinstance(plan, Plan):
        raise TypeError(f"plan must be a Plan from plan_margins(result, ...), got a "
                        f"{type(plan).__name__}")


def _plan_key(model: FittedModel, layout: Layout, options: Options) -> str:
    """A digest of what the sums depend on: link, β, parameter names, the
    estimates' layout and the options."""
    digest = hashlib.sha256()
    digest.update(repr((model.link, model.names, layout.specs, options.describe())).encode())
    digest.update(np.ascontiguousarray(model.params).tobytes())
    return digest.hexdigest()


def _chunk_size(chunk_size) -> int:
    """Rows per block: any positive integer (one rule for every source of
    rows); more than the rows there are is all of them in one block."""
    if chunk_size is None:
        return DEFAULT_CHUNK_SIZE
    if isinstance(chunk_size, bool) or not isinstance(chunk_size, (int, np.integer)):
        raise TypeError(f"chunk_size must be a positive integer or None, got {chunk_size!r}")
    if chunk_size < 1:
        raise ValueError(f"chunk_size must be a positive integer or None, got {chunk_size}")
    return int(chunk_size)


def check_progress(progress) -> None:
    """progress is True, False or None (shown when standard error is a terminal)."""
    if progress is not None and not isinstance(progress, (bool, np.bool_)):
        raise TypeError(f"progress must be True, False or None, got {progress!r}")


def _selected(variables, valid: list) -> list:
    """The requested variables in the caller's order, all valid ones by default."""
    if variables is None:
        return list(valid)
    if isinstance(variables, str):
        wanted = [variables]
    elif isinstance(variables, (list, tuple, pd.Index, np.ndarray)) and all(isinstance(v, str) for v in variables):
        wanted = list(variables)
    else:
        raise TypeError(f"variables must be a variable's name or a list of names (str), got "
                        f"{variables!r}; the model's variables are {valid}")
    unknown = [v for v in wanted if v not in valid]
    if unknown or not wanted:
        raise ValueError(f"unknown variables {unknown}; the model's variables are {valid}"
                         if unknown else f"variables is empty; the model's variables are {valid}")
    return list(dict.fromkeys(wanted))


def _unknown_at(options: Options, valid: list) -> None:
    unknown = [name for name, _ in options.grid if name not in valid]
    if unknown:
        raise ValueError(f"at=: unknown variables {unknown}; the model's variables are {valid}")


def _kept(missing: np.ndarray, n: int, what: str) -> np.ndarray:
    """The rows to keep, with a warning when some are dropped."""
    if missing.any():
        warnings.warn(f"margins: dropped {int(missing.sum())} of {n} rows with missing values in "
                      f"{what}", stacklevel=4)
    return ~missing


def _no_offset_over_other_data(model: FittedModel) -> None:
    if model.offset is not None and np.any(model.offset != 0):
        raise ValueError("the model has an offset, which margins cannot know for the rows of "
                         "data=; leave data=None to average over the fitted rows")


def _is_count(values) -> bool:
    """Non-negative integers, not all equal (statsmodels' count columns)."""
    v = np.asarray(values, dtype=float)
    return bool(v.size and np.all(np.isfinite(v)) and np.all(v >= 0) and np.all(v == np.round(v))
                and v.min() != v.max())


def _slope_or_count(term, columns, values, options: Options) -> EstimateSpec:
    """The estimate of a numeric variable: the method's slope, or with
    count=True for a count variable the centred unit change, halved at the end."""
    label, ex, ey = METHODS[options.method]
    if options.count and _is_count(values):
        return EstimateSpec(term, COUNT_LABEL, CONTRAST, columns, log_scale=ey, count=True, scale=0.5)
    return EstimateSpec(term, label, SLOPE, columns, by_value=ex, log_scale=ey)


# ---- the rows, their groups, weights and representative points --------------

def _fitted_rows_of(plan: Plan):
    """The rows the model was fitted on, with the model's offset and frequency
    weights; the frame by and weights columns are read from; its length; the
    rows of it kept."""
    model = plan.model
    n = model.n_rows
    if plan.structure is None:
        return _Rows(None, model.exog, model.offset, model.freq_weights, None), None, n, np.ones(n, bool)
    positions = _fitted_positions(model)
    if positions is None:
        raise ValueError(f"the model was fitted on {n} of the {len(model.frame)} rows of its data "
                         "frame, and the kept rows' labels do not identify them (the frame's "
                         "index has duplicated labels); give the frame a unique index before "
                         "fitting, or pass data= the rows to average over")
    keep = np.zeros(len(model.frame), dtype=bool)
    keep[positions] = True
    if not np.all(np.diff(positions) > 0):
        raise ValueError("the model's fitted rows are not in the order of its data frame; pass "
                         "data= the rows to average over")
    frame = model.frame[plan.structure.variables].iloc[positions]
    return _Rows(frame, model.exog, model.offset, model.freq_weights, None), model.frame, len(keep), keep


def _given_rows(plan: Plan, data):
    """The rows of `data` without rows with missing values, and the same
    triple as _fitted_rows_of. Frames are read by column name (a model
    fitted on arrays too: pandas, polars or Arrow), arrays by position; the
    columns the model was fitted on as numbers must hold numbers."""
    model = plan.model
    _no_offset_over_other_data(model)
    if plan.structure is None:
        names = list(model.names)
        if is_frame(data):
            frame = frame_columns(data, names + _named_columns(plan.options))
            check_number_columns(frame, dict(plan.numbers))
            keep = _kept(frame[names].isna().any(axis=1).to_numpy(), len(frame), str(names))
            return _Rows(None, frame.loc[keep, names].to_numpy(dtype=float), None, None, None), frame, len(frame), keep
        X = np.asarray(data)
        if X.ndim != 2 or X.shape[1] != len(names):
            raise ValueError(f"data must have {len(names)} columns (the model's {names}), got shape {X.shape}")
        check_number_array(X, "data")
        X = X.astype(float, copy=False)
        keep = _kept(np.isnan(X).any(axis=1), len(X), "the columns")
        return _Rows(None, X[keep], None, None, None), None, len(X), keep
    if not isinstance(data, pd.DataFrame):
        raise TypeError(f"data must be a pandas DataFrame for a formula model, got {type(data).__name__}"
                        + (" (convert it with .to_pandas())" if is_frame(data) else ""))
    used = plan.structure.variables
    frame = frame_columns(data, used)
    check_number_columns(frame, dict(plan.numbers))
    keep = _kept(frame[used].isna().any(axis=1).to_numpy(), len(frame), str(used))
    return _Rows(frame[used].loc[keep], None, None, None, None), frame, len(frame), keep


def _named_columns(options: Options) -> list:
    """The columns of the data that by= and weights= name."""
    named = list(options.by) if isinstance(options.by, tuple) else []
    return named + ([options.weights] if isinstance(options.weights, str) else [])


def _row_index(plan: Plan, data, source, n_source: int) -> pd.Index:
    """The labels of the rows by= and weights= Series are matched to: the data
    frame's index, the fitted rows' labels, or 0 … n − 1 for arrays."""
    if isinstance(source, pd.DataFrame):
        return source.index
    labels = plan.model.row_labels if data is None else None
    if labels is not None and len(labels) == n_source:
        return pd.Index(labels)
    return pd.RangeIndex(n_source)


def _grouped(plan: Plan, rows: _Rows, source, index: pd.Index, keep: np.ndarray, whole: bool):
    """Rows with weights and group codes (rows with a missing group label
    dropped), the group labels in order ([()] without groups), their sort
    keys (see group_codes) and the categories each group column declares."""
    options = plan.options
    if options.weights is not None:
        weights = row_column(options.weights, source, index, keep, "weights")
        if not pd.api.types.is_numeric_dtype(weights.dtype):
            raise TypeError(f"weights={options.weights!r} has dtype {weights.dtype}; weights must "
                            "be numbers")
        rows = replace(rows, weights=weights)
    if options.by is None:
        return rows, [NO_GROUP], [NO_GROUP], ()
    given = options.by if isinstance(options.by, tuple) else (options.by,)
    labels = pd.DataFrame({name: row_column(column, source, index, keep, f"by={name!r}")
                           for name, column in zip(options.by_names, given)})
    present = _kept(labels.isna().any(axis=1).to_numpy(), len(labels), f"by {list(options.by_names)}")
    if not present.all():
        rows, labels = rows.take(present), labels.loc[present]
    if isinstance(options.by, tuple):
        sources = {name: source[name] for name in options.by_names}
    else:
        sources = {options.by_names[0]: options.by}
    declared = declared_categories(options.by_names, sources)
    if len(labels) == 0:
        return rows, [], [], declared
    codes, uniques, keys = group_codes(labels, sources, whole)
    return replace(rows, codes=codes), uniques, keys, declared


def _representative_rows(plan: Plan, rows: _Rows, n_groups: int) -> _Rows:
    """One row per group at the point of at="mean"/"median"/"zero"."""
    at = plan.options.at
    codes = rows.codes if rows.codes is not None else np.zeros(rows.n, dtype=np.int64)
    new_codes = None if rows.codes is None else np.arange(n_groups, dtype=np.int64)
    if plan.structure is None:
        point = representative(rows.X, at, rows.weights, codes, n_groups)
        if at == "zero":
            constant = [j for j, name in enumerate(plan.model.names)
                        if _intercept(name) or np.all(rows.X[:, j] == 1.0)]
            point[:, constant] = 1.0
        return _Rows(None, np.asfortranarray(point), None, None, new_codes)
    columns = {}
    for name in plan.structure.variables:
        values = rows.frame[name]
        if is_number_dtype(values.dtype):
            columns[name] = representative(values.to_numpy(dtype=float)[:, None], at, rows.weights,
                                           codes, n_groups)[:, 0]
        else:
            columns[name] = group_modes(values, rows.weights, codes, n_groups)
    return _Rows(pd.DataFrame(columns), None, None, None, new_codes)


def _slice(rows: _Rows, start: int, stop: int) -> _Rows:
    def part(a):
        return None if a is None else a[start:stop]
    return _Rows(None if rows.frame is None else rows.frame.iloc[start:stop], part(rows.X),
                 part(rows.offset), part(rows.weights), part(rows.codes))


def _row_factors(layout: Layout, value_of) -> Optional[np.ndarray]:
    """The row factors a_i of the "ex" methods: each such estimate's variable."""
    terms = factor_terms(layout)
    if not terms:
        return None
    return np.asfortranarray(np.column_stack([value_of(term) for term in terms]), dtype=float)


# ---- models fitted on arrays: one estimate per design column ----------------

def _intercept(name: str) -> bool:
    return name.lower() in ("const", "intercept")


def _column_plan(model: FittedModel, variables, options: Options) -> Plan:
    """Column by column, as tarvex.mfx: a slope for a continuous column (its
    own derivative is e_j), the contrast 1 − 0 for a column of 0s and 1s in
    the fitted design, the centred unit change for a count column with
    count=True."""
    names, X = model.names, model.exog
    index = {name: j for j, name in enumerate(names)}
    _, _, ey = METHODS[options.method]
    specs = []
    for name in _selected(variables, [n for n in names if not _intercept(n)]):
        j = index[name]
        if np.all((X[:, j] == 0.0) | (X[:, j] == 1.0)):
            specs.append(EstimateSpec(name, "1 - 0", CONTRAST, (j,), log_scale=ey))
        else:
            specs.append(_slope_or_count(name, (j,), X[:, j], options))
    _unknown_at(options, list(names))
    for name, values in options.grid:
        check_grid_values(name, values, True, None)
    layout = layout_of(specs)
    numbers = tuple((name, str(X.dtype)) for name in names)
    return Plan(model, layout, _plan_key(model, layout, options), options=options, numbers=numbers)


def _column_changed(layout: Layout, X: np.ndarray) -> np.ndarray:
    """The changed columns of a column model: 1 for a slope's ∂x_j/∂x_j; 1
    and 0 for a 0/1 contrast's x^a and x^b; x_j + 1 and x_j − 1 for a count."""
    changed = np.empty((X.shape[0], layout.n_changed), order="F")
    for entry, first in zip(layout.specs, layout.first):
        if entry.kind == SLOPE:
            changed[:, first] = 1.0
        elif entry.count:
            changed[:, first] = X[:, entry.columns[0]] + 1.0
            changed[:, first + 1] = X[:, entry.columns[0]] - 1.0
        else:
            changed[:, first], changed[:, first + 1] = 1.0, 0.0
    return changed


def _column_block(plan: Plan, rows: _Rows, fixed: dict) -> Block:
    X = rows.X
    if fixed:
        X = np.array(X, order="F")
        for name, value in fixed.items():
            X[:, plan.model.names.index(name)] = value
    index = {name: j for j, name in enumerate(plan.model.names)}
    return Block(X, _column_changed(plan.layout, X), rows.offset, rows.weights,
                 _row_factors(plan.layout, lambda term: X[:, index[term]]), rows.codes)


# ---- formula models: one estimate per variable (per level) ------------------

def _formula_plan(model: FittedModel, variables, options: Options) -> Plan:
    if model.frame is None:
        raise ValueError("the formula model keeps no data frame to read its variables from")
    structure = formula_structure(model.design_info, model.names, list(model.frame.columns))
    structure.check_outside_names(len(model.frame))
    fitted = _fitted_rows_of_model(model, structure.variables)
    chosen = tuple(structure.classify(name, fitted)
                   for name in _selected(variables, structure.variables))
    specs = [entry for var in chosen for entry in _variable_specs(var, fitted[var.name], options)]
    scales = {v.name: _step_scale(fitted[v.name]) for v in chosen if v.kind == "slope"}
    _unknown_at(options, structure.variables)
    for name, values in options.grid:
        numeric = is_number_dtype(fitted[name].dtype)
        check_grid_values(name, values, numeric,
                          None if numeric else structure.classify(name, fitted).levels)
    fixed = {name: structure.classify(name, fitted) for name, _ in options.grid}
    layout = layout_of(specs)
    numbers = tuple((name, str(fitted[name].dtype)) for name in structure.variables
                    if is_number_dtype(fitted[name].dtype))
    return Plan(model, layout, _plan_key(model, layout, options), structure, chosen, scales, options,
                fixed, numbers)


def _complete_rows(frame: pd.DataFrame):
    """The rows of `frame` without a missing value, and the mask of them."""
    keep = ~frame.isna().any(axis=1).to_numpy()
    return (frame if keep.all() else frame.loc[keep]), keep


def _fitted_positions(model: FittedModel) -> Optional[np.ndarray]:
    """The positions in the model's frame of the rows it was fitted on: all
    of them, or where rows were dropped (statsmodels' missing="drop": a
    missing response, np.log of a non-positive value) those of the kept rows'
    labels, which statsmodels keeps (data.row_labels). None when they cannot
    be found (a duplicated index)."""
    n, frame = model.n_rows, model.frame
    if len(frame) == n:
        return np.arange(n)
    labels = model.row_labels
    if labels is None or len(labels) != n or not frame.index.is_unique:
        return None
    positions = frame.index.get_indexer(labels)
    return positions if np.all(positions >= 0) else None


def _fitted_rows_of_model(model: FittedModel, used: list) -> pd.DataFrame:
    """The formula's variables at the rows the model was fitted on (when they
    cannot be found, those without missing values: the kinds are then judged
    on those, and data=None is refused by _fitted_rows_of)."""
    positions = _fitted_positions(model)
    if positions is None:
        return _complete_rows(model.frame[used])[0]
    return model.frame[used].iloc[positions]


def _step_scale(values: pd.Series) -> float:
    """mean|v|, the floor of the difference step's scale (1 for an all-zero column)."""
    scale = float(np.mean(np.abs(np.asarray(values, dtype=float))))
    return scale if scale > 0 and np.isfinite(scale) else 1.0


def _variable_specs(var: Variable, values: pd.Series, options: Options) -> list:
    if var.kind == "slope":
        estimate = _slope_or_count(var.name, var.columns, values, options)
        if estimate.kind == SLOPE:
            check_slope(var)
        return [estimate]
    _, _, ey = METHODS[options.method]
    ref = var.levels[0]
    return [EstimateSpec(var.name, f"{level} - {ref}", CONTRAST, var.columns, log_scale=ey)
            for level in var.levels[1:]]


def _fixed_column(values: pd.Series, value) -> pd.Series:
    """The column with every row set to an `at` value (numbers as floats,
    levels in the column's own dtype)."""
    if is_number_dtype(values.dtype):
        return pd.Series(np.full(len(values), float(value)), index=values.index)
    return pd.Series([value] * len(values), index=values.index, dtype=values.dtype)


def _formula_block(plan: Plan, rows: _Rows, fixed: dict) -> Block:
    structure, layout = plan.structure, plan.layout
    frame = rows.frame
    design = structure.build_design(frame) if rows.X is None else rows.X
    if fixed:
        frame = frame.assign(**{name: _fixed_column(frame[name], value) for name, value in fixed.items()})
    cols = structure.block_columns({name: block_column(frame[name]) for name in structure.variables})
    if fixed:
        design = _fixed_design(plan, cols, design, fixed)
    changed = np.empty((len(frame), layout.n_changed), order="F")
    _fill_changed(cols, plan, changed)
    factors = _row_factors(layout, lambda term: frame[term].to_numpy(dtype=float))
    return Block(design, changed, rows.offset, rows.weights, factors, rows.codes)


def _fixed_design(plan: Plan, cols, design: np.ndarray, fixed: dict) -> np.ndarray:
    """The design with the columns that depend on a fixed variable rebuilt
    from the fixed rows (`cols`); the other columns are the design's own."""
    out = np.array(design, order="F")
    for name in fixed:
        var = plan.fixed[name]
        rebuilt = np.empty((out.shape[0], len(var.columns)), order="F")
        cols.at_values(var, cols.block[name], rebuilt)
        out[:, list(var.columns)] = rebuilt
    return out


def _fill_changed(cols, plan: Plan, changed) -> None:
    """Each estimate's changed columns for one block (see Layout); the
    reference level's columns are built once per variable and copied."""
    layout, e = plan.layout, 0
    for var in plan.chosen:
        width = len(var.columns)
        first = layout.first[e]
        if var.kind == "slope":
            if layout.specs[e].count:
                v = np.asarray(cols.block[var.name], dtype=float)
                cols.at_values(var, v + 1.0, changed[:, first:first + width])
                cols.at_values(var, v - 1.0, changed[:, first + width:first + 2 * width])
            else:
                cols.derivative(var, plan.scales[var.name], changed[:, first:first + width])
            e += 1
            continue
        reference = changed[:, first + width:first + 2 * width]
        cols.at_level(var, var.levels[0], reference)
        for level in var.levels[1:]:
            first = layout.first[e]
            cols.at_level(var, level, changed[:, first:first + width])
            changed[:, first + width:first + 2 * width] = reference
            e += 1
