"""margins(): average marginal effects of the variables of a fitted binary model."""
from __future__ import annotations

import hashlib
import warnings
from dataclasses import dataclass
from typing import Any, Optional, Sequence, Union

import numpy as np
import pandas as pd

from ._formula import Variable, block_column, formula_structure
from ._model import FittedModel, read_model
from ._partial import NO_GROUP, Partial
from ._pass import CONTRAST, SLOPE, Block, EstimateSpec, Layout, add_block, layout_of
from ._table import effect_table

DEFAULT_CHUNK_SIZE = 65536
SLOPE_LABEL = "dY/dX"


def margins(result, variables: Union[str, Sequence[str], None] = None, *,
            data: Any = None, chunk_size: Optional[int] = None,
            progress: Optional[bool] = None) -> pd.DataFrame:
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
    data : optional
        The rows to average over (by default the rows the model was fitted
        on): a frame with the variables the formula uses, or, for a model
        fitted on arrays, a frame with its columns or an array of its width.
        The frame may be a pandas or a Dask DataFrame (one task per
        partition on the cluster's workers), the array a NumPy or Dask
        array; a path to a Parquet file or directory, or a
        ``pyarrow.dataset.Dataset``, is read one row group at a time with
        only the columns needed (Dask, pyarrow: ``tarvex[distributed]``).
        Rows with missing values are dropped with a warning. Over other
        data the average is unweighted and a model with an offset is refused.
    chunk_size : int, optional
        Rows per block (default 65536): memory beyond the model's own arrays
        is proportional to it.
    progress : bool, optional
        A progress bar for Dask and Parquet data; by default shown when
        standard error is a terminal.

    Returns
    -------
    pandas.DataFrame
        One row per (term, contrast): ``term``, ``contrast`` (``"dY/dX"`` for a
        slope, ``"b - a"`` for a level b against the reference a, ``"1 - 0"``
        for a 0/1 variable), ``estimate``, ``std_error``, ``statistic`` (z),
        ``p_value`` (two-sided normal), ``conf_low``/``conf_high`` (95%).
        ``table.attrs`` holds ``"vcov"`` (the covariance of the estimates, a
        DataFrame indexed by (term, contrast)), ``"jacobian"`` (their gradient
        in the parameters), ``"weights"`` (``"freq_weights"`` when a GLM's
        frequency weights weight the average, else ``"none"``) and
        ``"n_rows"``.

    Raises
    ------
    ValueError
        An unsupported model or link, unknown variables, a ``data`` frame
        missing a column, parameters and covariance of the wrong size.
    PartitionError
        (a ValueError) A partition or Parquet row group missing a column or
        holding text where the model has numbers; the message names it.

    Examples
    --------
    >>> import statsmodels.api as sm, statsmodels.formula.api as smf
    >>> from tarvex_margins import margins
    >>> spector = sm.datasets.spector.load_pandas().data
    >>> fit = smf.logit("GRADE ~ GPA + I(GPA**2) + TUCE + PSI", spector).fit(disp=0)
    >>> table = margins(fit, "GPA")
    >>> round(table.estimate[0], 3), round(table.std_error[0], 3)
    (0.352, 0.094)
    """
    from ._partitions import margins_partial

    chunk = _chunk_size(chunk_size)
    plan = plan_margins(result, variables)
    return margins_table(plan, margins_partial(plan, data, chunk_size=chunk, progress=progress))


@dataclass(frozen=True)
class Plan:
    """What one call computes, fixed before any row is read: the model, the
    variables with their kinds (slope or contrasts, judged on the rows the
    model was fitted on, so that every set of rows gets the same estimates),
    and where each estimate's changed columns lie."""
    model: FittedModel
    layout: Layout
    key: str                    # identifies model and estimates (see Partial)
    structure: Any = None       # the formula's structure; None for a column model
    chosen: tuple = ()          # the formula's Variables to report
    scales: Any = None          # a slope variable's difference-step scale, by name

    def __reduce__(self):
        # Pickled without the fitted model's arrays, for workers (_shipping.py).
        from ._shipping import ship, unship
        return unship, (ship(self),)


def plan_margins(result, variables=None) -> Plan:
    """What ``margins(result, variables)`` computes, fixed before any row is
    read: the estimates, their kinds (judged on the fitted rows) and the key
    that partials carry. A plan pickles slim (β, Σ, names and the formula's
    design, not the fitted arrays), so it can be sent to other processes and
    machines; see :func:`margins_partial`."""
    model = read_model(result)
    if model.design_info is None:
        return _column_plan(model, variables)
    return _formula_plan(model, variables)


def partial_sums(plan: Plan, data=None, chunk_size: int = DEFAULT_CHUNK_SIZE) -> Partial:
    """W, S and T of the rows of `data` (the fitted rows when None), one
    block of `chunk_size` rows after another."""
    model = plan.model
    if data is None and model.exog is None:
        raise ValueError("this plan was unpickled without the fitted rows; pass data=")
    if data is None:
        rows, design, offset, weights = _fitted_data(plan), model.exog, model.offset, model.freq_weights
    else:
        rows, design, offset, weights = _given_data(plan, data), None, None, None
        _no_offset_over_other_data(model)
    n_est, k = len(plan.layout.specs), model.params.size
    weight, effect, gradient = np.zeros(1), np.zeros(n_est), np.zeros((n_est, k))
    blocks = (_formula_blocks(plan, rows, chunk_size, design, offset, weights) if plan.structure is not None
              else _column_blocks(rows, plan.layout, chunk_size, offset, weights))
    for block in blocks:
        add_block(model.link, model.params, plan.layout, block, weight, effect, gradient)
    return Partial(plan.key, (NO_GROUP,), weight, effect[None], gradient[None], len(rows),
                   "freq_weights" if weights is not None else "none")


def margins_table(plan: Plan, partial: Partial) -> pd.DataFrame:
    """The table :func:`margins` returns, from the sum of the partials of all
    the rows: estimates S/W, Jacobian T/W and V = J·Σ·Jᵀ.

    The plan supplies what the partial does not carry: Σ (the result's
    cov_params()), the parameter names and the estimates' labels; a partial
    made for another plan (another model, variables or options) is refused
    by its key. ``attrs["n_rows"]`` is the number of rows summed.

    Examples
    --------
    >>> plan = plan_margins(fit)                                  # doctest: +SKIP
    >>> parts = [margins_partial(plan, rows) for rows in pieces]  # anywhere, any order
    >>> table = margins_table(plan, sum(parts[1:], parts[0]))
    """
    if partial.key != plan.key:
        raise ValueError("this partial was computed for another model or other options")
    if partial.n_rows == 0:
        raise ValueError("there are no rows to average over (data is empty after dropping "
                         "rows with missing values)")
    with np.errstate(invalid="ignore", divide="ignore"):
        estimate, jacobian = partial.effect[0] / partial.weight[0], partial.gradient[0] / partial.weight[0]
    model = plan.model
    return effect_table(plan.layout.specs, estimate, jacobian, model.cov, model.names,
                        partial.weights, partial.n_rows)


def _plan_key(model: FittedModel, layout: Layout) -> str:
    """A digest of what the sums depend on: link, β, parameter names and the
    estimates' layout."""
    digest = hashlib.sha256()
    digest.update(repr((model.link, model.names, layout.specs)).encode())
    digest.update(np.ascontiguousarray(model.params).tobytes())
    return digest.hexdigest()


def _chunk_size(chunk_size) -> int:
    if chunk_size is None:
        return DEFAULT_CHUNK_SIZE
    if isinstance(chunk_size, bool) or not isinstance(chunk_size, (int, np.integer)):
        raise TypeError(f"chunk_size must be a positive integer or None, got {chunk_size!r}")
    if chunk_size < 1:
        raise ValueError(f"chunk_size must be a positive integer or None, got {chunk_size}")
    return int(chunk_size)


def _selected(variables, valid: list) -> list:
    """The requested variables in the caller's order, all valid ones by default."""
    if variables is None:
        return list(valid)
    wanted = [variables] if isinstance(variables, str) else list(variables)
    unknown = [v for v in wanted if v not in valid]
    if unknown or not wanted:
        raise ValueError(f"unknown variables {unknown}; the model's variables are {valid}"
                         if unknown else f"variables is empty; the model's variables are {valid}")
    return list(dict.fromkeys(wanted))


def _drop_missing(frame: pd.DataFrame, columns: list) -> pd.DataFrame:
    missing = frame[columns].isna().any(axis=1)
    if missing.any():
        warnings.warn(f"margins: dropped {int(missing.sum())} of {len(frame)} rows with missing "
                      f"values in {columns}", stacklevel=3)
        return frame.loc[~missing.to_numpy()]
    return frame


def _no_offset_over_other_data(model: FittedModel) -> None:
    if model.offset is not None and np.any(model.offset != 0):
        raise ValueError("the model has an offset, which margins cannot know for the rows of "
                         "data=; leave data=None to average over the fitted rows")


# ---- models fitted on arrays: one estimate per design column ----------------

def _intercept(name: str) -> bool:
    return name.lower() in ("const", "intercept")


def _column_plan(model: FittedModel, variables) -> Plan:
    """Column by column, as tarvex.mfx: a slope for a continuous column (its
    own derivative is e_j), the contrast 1 − 0 for a column of 0s and 1s in
    the fitted design."""
    names, X = model.names, model.exog
    index = {name: j for j, name in enumerate(names)}
    specs = []
    for name in _selected(variables, [n for n in names if not _intercept(n)]):
        j = index[name]
        binary = bool(np.all((X[:, j] == 0.0) | (X[:, j] == 1.0)))
        specs.append(EstimateSpec(name, "1 - 0" if binary else SLOPE_LABEL,
                                  CONTRAST if binary else SLOPE, (j,)))
    layout = layout_of(specs)
    return Plan(model, layout, _plan_key(model, layout))


def _column_data(data, names) -> np.ndarray:
    if isinstance(data, pd.DataFrame):
        missing = [n for n in names if n not in data.columns]
        if missing:
            raise ValueError(f"data is missing the columns {missing}")
        frame = _drop_missing(data, list(names))
        return frame[list(names)].to_numpy(dtype=float)
    X = np.asarray(data, dtype=float)
    if X.ndim != 2 or X.shape[1] != len(names):
        raise ValueError(f"data must have {len(names)} columns (the model's {names}), "
                         f"got shape {X.shape}")
    rows = ~np.isnan(X).any(axis=1)
    if not rows.all():
        warnings.warn(f"margins: dropped {int((~rows).sum())} of {len(X)} rows with missing values",
                      stacklevel=3)
        X = X[rows]
    return X


def _constant_changed(layout: Layout, rows: int) -> np.ndarray:
    """The changed columns of a column model, the same in every row: 1 for a
    slope's ∂x_j/∂x_j, then 1 and 0 for a contrast's x^a and x^b."""
    values = []
    for entry in layout.specs:
        values.extend([1.0] if entry.kind == SLOPE else [1.0, 0.0])
    return np.asfortranarray(np.broadcast_to(np.asarray(values), (rows, len(values))))


def _column_blocks(X, layout, chunk, offset, weights):
    changed = _constant_changed(layout, min(chunk, max(X.shape[0], 1)))
    for start in range(0, X.shape[0], chunk):
        stop = min(start + chunk, X.shape[0])
        yield Block(X[start:stop], changed[: stop - start],
                    None if offset is None else offset[start:stop],
                    None if weights is None else weights[start:stop])


# ---- formula models: one estimate per variable (per level) ------------------

def _formula_plan(model: FittedModel, variables) -> Plan:
    if model.frame is None:
        raise ValueError("the formula model keeps no data frame to read its variables from")
    structure = formula_structure(model.design_info, model.names, list(model.frame.columns))
    fitted = _fitted_rows(model, structure.variables)
    chosen = tuple(structure.classify(name, fitted[name])
                   for name in _selected(variables, structure.variables))
    specs = [entry for var in chosen for entry in _variable_specs(var)]
    scales = {v.name: _step_scale(fitted[v.name]) for v in chosen if v.kind == "slope"}
    layout = layout_of(specs)
    return Plan(model, layout, _plan_key(model, layout), structure, chosen, scales)


def _fitted_data(plan: Plan):
    """The fitted rows: the formula's variables, or the model's design."""
    if plan.structure is None:
        return plan.model.exog
    return _fitted_rows(plan.model, plan.structure.variables)


def _given_data(plan: Plan, data):
    """The rows of `data` the plan reads, without rows with missing values."""
    if plan.structure is None:
        return _column_data(data, plan.model.names)
    if not isinstance(data, pd.DataFrame):
        raise TypeError(f"data must be a pandas DataFrame for a formula model, got {type(data).__name__}")
    used = plan.structure.variables
    missing = [v for v in used if v not in data.columns]
    if missing:
        raise ValueError(f"data is missing the columns {missing} that the formula uses")
    return _drop_missing(data, used)


def _fitted_rows(model: FittedModel, used: list) -> pd.DataFrame:
    """The formula's variables at the rows the model kept (those without
    missing values). Without missing values this is a selection of columns,
    not a copy of them (pandas' copy-on-write)."""
    frame = model.frame[used]
    missing = frame.isna().any(axis=1).to_numpy()
    kept = frame.loc[~missing] if missing.any() else frame
    if len(kept) != model.exog.shape[0]:
        raise ValueError(f"the model's {model.exog.shape[0]} rows cannot be matched to its data "
                         f"frame ({len(kept)} rows without missing values); pass data= explicitly")
    return kept


def _step_scale(values: pd.Series) -> float:
    """mean|v|, the floor of the difference step's scale (1 for an all-zero column)."""
    scale = float(np.mean(np.abs(np.asarray(values, dtype=float))))
    return scale if scale > 0 and np.isfinite(scale) else 1.0


def _variable_specs(var: Variable) -> list:
    if var.kind == "slope":
        return [EstimateSpec(var.name, SLOPE_LABEL, SLOPE, var.columns)]
    ref = var.levels[0]
    return [EstimateSpec(var.name, f"{level} - {ref}", CONTRAST, var.columns) for level in var.levels[1:]]


def _formula_blocks(plan: Plan, frame, chunk, design, offset, weights):
    structure, chosen, layout, scales = plan.structure, plan.chosen, plan.layout, plan.scales
    for start in range(0, len(frame), chunk):
        stop = min(start + chunk, len(frame))
        rows = frame.iloc[start:stop]
        block_design = structure.build_design(rows) if design is None else design[start:stop]
        cols = structure.block_columns({name: block_column(rows[name]) for name in structure.variables})
        changed = np.empty((stop - start, layout.n_changed), order="F")
        _fill_changed(cols, chosen, layout, scales, changed)
        yield Block(block_design, changed,
                    None if offset is None else offset[start:stop],
                    None if weights is None else weights[start:stop])


def _fill_changed(cols, chosen, layout: Layout, scales, changed) -> None:
    """Each estimate's changed columns for one block (see Layout); the
    reference level's columns are built once per variable and copied."""
    e = 0
    for var in chosen:
        width = len(var.columns)
        first = layout.first[e]
        if var.kind == "slope":
            cols.derivative(var, scales[var.name], changed[:, first:first + width])
            e += 1
            continue
        reference = changed[:, first + width:first + 2 * width]
        cols.at_level(var, var.levels[0], reference)
        for level in var.levels[1:]:
            first = layout.first[e]
            cols.at_level(var, level, changed[:, first:first + width])
            changed[:, first + width:first + 2 * width] = reference
            e += 1
