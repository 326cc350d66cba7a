"""The structure of a patsy formula, read once, and the design columns that
depend on one variable, rebuilt per row block.

patsy builds every design column as a product of factor columns: one column
of each factor of its term (a numerical factor's own column, or a categorical
factor's contrast-matrix column indexed by the row's level), the left-most
factor's columns varying fastest. A variable v changes exactly the columns
with a factor whose code uses v, so those columns are all that is rebuilt:
  - for a slope, ∂x_c/∂v = Σ over the factors φ of column c that use v of
    φ′(v)·Π(the column's other factors), with φ′ = 1 for the variable itself
    and otherwise the five-point central difference of φ's own evaluation
    (its stateful-transform state, e.g. a spline's knots, frozen as fitted):
        φ′(v) ≈ [φ(v − 2h) − 8φ(v − h) + 8φ(v + h) − φ(v + 2h)] / (12h);
  - for a contrast, the same product with v set to a level in every row.
A variable's kind comes from its own values (classify_by_values) unless a
categorical factor is the variable itself (`v`, `C(v)`, `C(v, ...)`): a
factor that transforms a numeric variable does not make it categorical. A
factor whose values are True/False (`I(x > 0)`, `C(x > 0)`) is a step of the
variables it uses: its derivative is 0 almost everywhere, so a slope leaves
it out of the product rule. Any other categorical factor of a numeric
variable (intervals from `pd.cut`) has no derivative, and a slope through it
is refused (check_slope).
"""
from __future__ import annotations

import ast
import warnings
from dataclasses import dataclass, replace
from typing import Any, Callable

import numpy as np
import pandas as pd

from ._data import is_number_dtype

#: Relative step of the central difference: h_i = 2^⌊log2(STEP·max(|v_i|, mean|v|))⌋.
#: Its error is at most h⁴·max|φ⁽⁵⁾|/30 (none for polynomials up to degree 4)
#: plus about 1.5·ε·max|φ|/h from rounding (ε = 2⁻⁵², so ~3e-13·max|φ|/scale).
STEP = 1e-3
#: The stencils, tried in turn for the rows where the previous one left the
#: factor's domain: (step factor, offsets in steps, weights × 12). First the
#: five-point central difference [φ(v−2h) − 8φ(v−h) + 8φ(v+h) − φ(v+2h)]/(12h);
#: then the same with the step shrunk 2¹⁰-fold (log near 0); then the one-sided
#: five-point forms [∓25φ(v) ± 48φ(v±h) ∓ 36φ(v±2h) ± 16φ(v±3h) ∓ 3φ(v±4h)]/(12h)
#: for data at the edge of a spline's knots. All are exact for polynomials of
#: degree ≤ 4 up to rounding; the one-sided ones round about 10× worse.
STENCILS = (
    (1.0, (-2, -1, 1, 2), (1, -8, 8, -1)),
    (2.0 ** -10, (-2, -1, 1, 2), (1, -8, 8, -1)),
    (1.0, (0, 1, 2, 3, 4), (-25, 48, -36, 16, -3)),
    (1.0, (0, -1, -2, -3, -4), (25, -48, 36, -16, 3)),
)


def _names_in(code: str) -> set:
    """The Python names a factor's code refers to, Q("name") included."""
    names = set()
    for node in ast.walk(ast.parse(code.strip(), mode="eval")):
        if isinstance(node, ast.Name):
            names.add(node.id)
        elif (isinstance(node, ast.Call) and isinstance(node.func, ast.Name)
              and node.func.id == "Q" and node.args and isinstance(node.args[0], ast.Constant)):
            names.add(str(node.args[0].value))
    return names


def _is_plain(code: str, name: str) -> bool:
    """True when the factor is the variable itself (derivative 1)."""
    code = code.strip()
    return code == name or code == f'Q("{name}")' or code == f"Q('{name}')"


def _level_variable(code: str, available: set):
    """The variable whose value is the level of a categorical factor written
    `v`, `C(v)` or `C(v, ...)`; None for any other expression."""
    node = ast.parse(code.strip(), mode="eval").body
    if isinstance(node, ast.Call) and isinstance(node.func, ast.Name) and node.func.id == "C" and node.args:
        node = node.args[0]
    return node.id if isinstance(node, ast.Name) and node.id in available else None


@dataclass(frozen=True)
class ColumnFactor:
    factor: Any
    index: int                  # the factor's column, or the contrast column
    contrast: Any               # contrast matrix (levels × columns), None if numerical


@dataclass(frozen=True)
class Variable:
    """A variable of the formula and what margins reports for it: a slope, or
    contrasts of `levels[1:]` against the reference `levels[0]`."""
    name: str
    kind: str                   # "slope" or "contrast"
    columns: tuple              # the design columns that depend on it
    levels: tuple = ()
    factors: tuple = ()         # the code of every factor that uses it
    steps: tuple = ()           # those with values True/False (derivative 0 almost everywhere)
    undefined: tuple = ()       # other categorical factors of a numeric variable (no derivative)


def is_step(levels) -> bool:
    """True for a factor's levels that are True/False only."""
    return len(levels) > 0 and all(isinstance(level, (bool, np.bool_)) for level in levels)


def with_factors(var: Variable, factors, steps, categorical) -> Variable:
    """`var` with the factors that use it: the steps among them and, for a
    numeric variable, the categorical factors that are not steps."""
    undefined = tuple(code for code in categorical if code not in steps) if var.kind == "slope" else ()
    return replace(var, factors=tuple(factors), steps=tuple(steps), undefined=undefined)


def check_slope(var: Variable) -> None:
    """A slope's derivative must exist through every factor: refused through
    a categorical factor that is not a step; a warning when it runs through
    steps only, where it is 0."""
    if var.undefined:
        raise ValueError(
            f"variables: {var.name!r} is numeric and enters the formula through "
            f"{list(var.undefined)}, a categorical factor whose levels are not True/False "
            f"(intervals, rounded values), so its slope in {var.name!r} is not defined; make the "
            f"binned variable a column of the data and use it in the formula, or leave "
            f"{var.name!r} out of variables")
    if var.steps and set(var.steps) == set(var.factors):
        warnings.warn(f"margins: {var.name!r} enters the formula only through the steps "
                      f"{list(var.steps)}, whose derivative is 0 almost everywhere: its slope "
                      "is 0", stacklevel=6)


def _column_factors(info) -> list:
    """For every design column, in order, the factor columns whose product it is."""
    columns = []
    for subterms in info.term_codings.values():
        for sub in subterms:
            widths = [sub.contrast_matrices[f].matrix.shape[1] if f in sub.contrast_matrices
                      else info.factor_infos[f].num_columns for f in sub.factors]
            for flat in range(sub.num_columns):
                parts, rest = [], flat
                for f, width in zip(sub.factors, widths):  # left-most fastest
                    rest, idx = divmod(rest, width)
                    contrast = sub.contrast_matrices[f].matrix if f in sub.contrast_matrices else None
                    parts.append(ColumnFactor(f, idx, contrast))
                columns.append(tuple(parts))
    if len(columns) != len(info.column_names):
        raise ValueError("the formula's design columns could not be matched to its terms")
    return columns


def _reference_level(info, factor) -> int:
    """Index of the reference level: the level whose row of a reduced-rank
    contrast (Treatment) is zero, else the first level."""
    for subterms in info.term_codings.values():
        for sub in subterms:
            if factor in sub.contrast_matrices:
                zero = np.flatnonzero(~np.any(sub.contrast_matrices[factor].matrix != 0, axis=1))
                if zero.size == 1:
                    return int(zero[0])
    return 0


class FormulaStructure:
    """The columns, factors and variables of a patsy DesignInfo."""

    def __init__(self, info, data_columns):
        self.info = info
        available = set(map(str, data_columns))
        self.factor_vars = {f: frozenset(_names_in(f.code) & available) for f in info.factor_infos}
        # Categorical factors that are a variable itself: their level codes are
        # read from the variable directly (patsy's own conversion is per element).
        self.level_source = {f: _level_variable(f.code, available) for f, fi in info.factor_infos.items()
                             if fi.type == "categorical" and _level_variable(f.code, available)}
        self.columns = _column_factors(info)
        order = {}
        for c, parts in enumerate(self.columns):
            for part in parts:
                for name in sorted(self.factor_vars[part.factor]):
                    order.setdefault(name, []).append(c)
        self.variable_columns = {name: tuple(sorted(set(cols))) for name, cols in order.items()}

    @property
    def variables(self) -> list:
        return list(self.variable_columns)

    def factors_of(self, name) -> list:
        return [f for f in self.info.factor_infos if name in self.factor_vars[f]]

    def classify(self, name, fitted: pd.DataFrame) -> Variable:
        """Level contrasts when a categorical factor is the variable itself,
        else from the variable's fitted values (classify_by_values)."""
        columns, factors = self.variable_columns[name], self.factors_of(name)
        own = [f for f in factors if self.level_source.get(f) == name]
        if own:
            levels = tuple(self.info.factor_infos[own[0]].categories)
            ref = _reference_level(self.info, own[0])
            return Variable(name, "contrast", columns, (levels[ref],) + levels[:ref] + levels[ref + 1:])
        categorical = [f for f in factors if self.info.factor_infos[f].type == "categorical"]
        # patsy makes every True/False factor categorical: its levels tell a step.
        steps = [f.code for f in categorical if is_step(self.info.factor_infos[f].categories)]
        return with_factors(classify_by_values(name, columns, fitted[name]),
                            [f.code for f in factors], steps, [f.code for f in categorical])

    def check_outside_names(self, n_rows: int) -> None:
        """Refuses row data taken from the caller's namespace (see refuse_row_data)."""
        refuse_row_data({name: value for name, value in outside_names(self.info).items()
                         if _is_row_data(value, n_rows)})

    def build_design(self, rows: pd.DataFrame) -> np.ndarray:
        """The design of `rows` (without missing values), every column the
        product of its factors' columns as patsy defines it. Built here rather
        than by patsy's build_design_matrices, which converts a categorical
        variable to level codes one element at a time (4 of the 5 seconds of
        a 1e6-row frame with one categorical); the tests compare it with
        patsy's own build."""
        return self.block_columns({name: block_column(rows[name]) for name in self.variables}).design()

    def block_columns(self, block: dict) -> "BlockColumns":
        return BlockColumns(self, block)


def classify_by_values(name, columns, values: pd.Series) -> Variable:
    """A variable no categorical factor codes: non-numeric (strings, bool)
    gives contrasts of its sorted values against the first; 0/1 numbers give
    1 − 0; other numbers a slope."""
    if not is_number_dtype(values.dtype):
        return Variable(name, "contrast", columns, tuple(sorted(pd.unique(values))))
    numbers = np.asarray(values)
    if ((numbers == 0) | (numbers == 1)).all():
        return Variable(name, "contrast", columns, (0, 1))
    return Variable(name, "slope", columns)


def block_column(values: pd.Series):
    """A variable's values as the factors see them in a block: a NumPy array for
    numbers (cheaper to evaluate than a Series), the Series itself otherwise
    (so that categorical dtypes and their levels are kept)."""
    if is_number_dtype(values.dtype):
        return values.to_numpy()
    return values


def _take(values, rows):
    return values[rows] if isinstance(values, np.ndarray) else values.iloc[rows]


def _level_column(values, level):
    """The column with every row set to `level`, keeping its dtype."""
    if isinstance(values, np.ndarray):
        return np.full(len(values), level, dtype=values.dtype)
    return pd.Series(level, index=values.index, dtype=values.dtype)


class BlockColumns:
    """Rebuilds design columns over one row block of the data."""

    def __init__(self, structure: FormulaStructure, block: dict):
        self.structure = structure
        self.block = block
        self._base = {}

    def _evaluate(self, factor, data) -> np.ndarray:
        """A numerical factor's columns (rows × columns), or a categorical
        factor's level codes."""
        from patsy import NAAction
        from patsy.categorical import categorical_to_int

        finfo = self.structure.info.factor_infos[factor]
        source = self.structure.level_source.get(factor)
        if source is not None:
            codes = pd.Categorical(data[source], categories=list(finfo.categories)).codes
            if (codes < 0).any():
                raise ValueError(f"{source} holds levels the model was not fitted with "
                                 f"(it knows {list(finfo.categories)})")
            return codes
        raw = factor.eval(finfo.state, data)
        if finfo.type == "categorical":
            return categorical_to_int(raw, finfo.categories, NAAction(), origin=factor)
        values = np.asarray(raw, dtype=float)
        return values.reshape(len(values), -1)

    def base(self, factor) -> np.ndarray:
        if factor not in self._base:
            self._base[factor] = self._evaluate(factor, self.block)
        return self._base[factor]

    def _with(self, name, values) -> dict:
        data = dict(self.block)
        data[name] = values
        return data

    @staticmethod
    def _part(part: ColumnFactor, values) -> np.ndarray:
        return part.contrast[values, part.index] if part.contrast is not None else values[:, part.index]

    def _product(self, parts, values_of: Callable) -> np.ndarray:
        out = np.ones(_block_rows(self.block))
        for part in parts:
            out = out * self._part(part, values_of(part.factor))
        return out

    def design(self) -> np.ndarray:
        out = np.empty((_block_rows(self.block), len(self.structure.columns)), order="F")
        for c, parts in enumerate(self.structure.columns):
            out[:, c] = self._product(parts, self.base)
        return out

    def at_level(self, variable: Variable, level, out: np.ndarray) -> None:
        """out[:, i] = design column variable.columns[i] with the variable at `level`."""
        self.at_values(variable, _level_column(self.block[variable.name], level), out)

    def at_values(self, variable: Variable, values, out: np.ndarray) -> None:
        """out[:, i] = design column variable.columns[i] with the variable set
        to `values` (one per row of the block)."""
        data = self._with(variable.name, values)
        moved = {f: self._evaluate(f, data) for f in self.structure.factors_of(variable.name)}
        for i, c in enumerate(variable.columns):
            out[:, i] = self._product(self.structure.columns[c],
                                      lambda f: moved[f] if f in moved else self.base(f))

    def derivative(self, variable: Variable, scale: float, out: np.ndarray) -> None:
        """out[:, i] = ∂(design column variable.columns[i])/∂v, by the product rule."""
        dfac = {f: self._factor_derivative(f, variable.name, scale)
                for f in self.structure.factors_of(variable.name) if f.code not in variable.steps}
        for i, c in enumerate(variable.columns):
            parts = self.structure.columns[c]
            total = np.zeros(out.shape[0])
            for p, part in enumerate(parts):
                if part.factor not in dfac:
                    continue
                term = dfac[part.factor][:, part.index].copy()
                for q, other in enumerate(parts):
                    if q != p:
                        term *= self._part(other, self.base(other.factor))
                total += term
            out[:, i] = total

    def _factor_derivative(self, factor, name, scale) -> np.ndarray:
        """φ′(v) per row: 1 for the variable itself, else a stencil (STENCILS)."""
        base = self.base(factor)
        if _is_plain(factor.code, name):
            return np.ones_like(base)

        def evaluate(values, rows):
            data = subset_rows(self.block, rows)
            data[name] = values
            return self._evaluate(factor, data)

        return stencil_derivative(evaluate, np.asarray(self.block[name], dtype=float), scale, base)


def _block_rows(block: dict) -> int:
    return len(next(iter(block.values())))


def subset_rows(block: dict, rows: np.ndarray) -> dict:
    """The block's columns at `rows` (a new dict; the block itself when all rows)."""
    if rows.size == _block_rows(block):
        return dict(block)
    return {key: _take(col, rows) for key, col in block.items()}


def _evaluate_or_nan(evaluate, values, rows, width) -> np.ndarray:
    """evaluate(values, rows), with NaN in the rows whose values it refuses (a
    spline's data outside its outer knots), found by halving the rows."""
    try:
        return np.asarray(evaluate(values, rows), dtype=float).reshape(rows.size, width)
    except Exception:
        if rows.size == 1:
            return np.full((1, width), np.nan)
        half = rows.size // 2
        return np.vstack([_evaluate_or_nan(evaluate, values[:half], rows[:half], width),
                          _evaluate_or_nan(evaluate, values[half:], rows[half:], width)])


def stencil_derivative(evaluate, v: np.ndarray, scale: float, base: np.ndarray) -> np.ndarray:
    """∂/∂v of the columns `base` = evaluate(v, all rows), per row: the first of
    the STENCILS that stays inside the function's domain, with the step
    h = 2^⌊log2(STEP·max(|v|, scale))⌋ (a power of two, so v ± h is exact when
    h is at least v's last place)."""
    h = np.exp2(np.floor(np.log2(STEP * np.maximum(np.abs(v), scale))))
    d = np.full(base.shape, np.nan)
    todo = np.flatnonzero(np.isfinite(base).all(axis=1))
    for shrink, offsets, weights in STENCILS:
        if todo.size == 0:
            break
        step = h[todo] * shrink
        points = [_evaluate_or_nan(evaluate, v[todo] + o * step, todo, base.shape[1]) for o in offsets]
        d[todo] = sum(w * p for w, p in zip(weights, points)) / (12.0 * step)[:, None]
        todo = todo[~np.isfinite(d[todo]).all(axis=1)]
    return d


def outside_names(info) -> dict:
    """The names a patsy design's factors look up outside the data (patsy
    keeps each factor's own subset of the caller's namespace), but patsy's
    own builtins (center, bs, C, ...), which every formula sees anyway."""
    import patsy.builtins

    builtins = vars(patsy.builtins)
    namespace = {}
    for finfo in info.factor_infos.values():
        env = finfo.state.get("eval_env") if isinstance(finfo.state, dict) else None
        for ns in getattr(env, "_namespaces", ()):
            namespace.update({name: value for name, value in ns.items() if builtins.get(name) is not value})
    return namespace


def _is_row_data(value, n_rows: int) -> bool:
    """An array, Series, frame or list with one entry per row the formula was
    evaluated on (a knots array or a levels list has other lengths)."""
    if isinstance(value, (str, bytes)):
        return False
    try:
        return np.ndim(value) >= 1 and len(value) == n_rows
    except (TypeError, ValueError):
        return False


def refuse_row_data(names: dict) -> None:
    """An object from the caller's namespace used in the formula as row data
    is paired with rows by position, not through data= or by a label: a block
    of rows, another order or other rows would silently meet other values."""
    if names:
        described = ", ".join(f"{name!r} ({type(value).__name__} of {len(value)})"
                              for name, value in names.items())
        raise ValueError(f"the formula uses {described} from the caller's namespace as row data, "
                         "which margins cannot match to the rows it averages over; add them to "
                         "the data frame as columns and fit the model on it")


def formula_structure(design_spec, exog_names, data_columns):
    """The structure of a patsy DesignInfo or a formulaic ModelSpec."""
    if type(design_spec).__module__.startswith("formulaic"):
        from ._formulaic import FormulaicStructure
        return FormulaicStructure(design_spec, exog_names, data_columns)
    return FormulaStructure(design_spec, data_columns)
