"""The structure of a formulaic ModelSpec (statsmodels 0.15's other formula
engine) and the design columns that depend on one variable, per row block.

formulaic evaluates a formula term by term; the columns a variable changes are
those of the terms whose factors use it, rebuilt by the ModelSpec restricted to
those terms (`ModelSpec.subset`, its fitted transform and encoder state kept).
A slope's derivative is analytic for a term made only of plain variables (the
product of the others), else the central difference (stencil_derivative) of
those terms' own columns. A factor with values True/False (numerical
`I(x > 0)`, categorical `C(x > 0)`) is a step: a term that uses a variable
through steps only has derivative 0 in it, and a stencil point across a
step's jump is outside the smooth piece, so the next stencil is taken there."""
from __future__ import annotations

import numpy as np
import pandas as pd

from ._formula import (Variable, _level_column, _level_variable, _names_in, classify_by_values,
                       is_step, stencil_derivative, subset_rows, with_factors)

#: Rows on which a numerical factor's values are evaluated to tell a step.
STEP_PROBE_ROWS = 8


class FormulaicStructure:
    def __init__(self, model_spec, exog_names, data_columns):
        self.model_spec = model_spec.update(na_action="ignore")
        available = set(map(str, data_columns))
        self.index = index = {str(name): j for j, name in enumerate(exog_names)}
        self.terms = []  # (term, its design columns, its factors' expressions, the variables it uses)
        self.factors = {}  # the factors by expression
        for part in model_spec.structure:
            self.factors.update({str(f.expr): f for f in part.term.factors})
            exprs = [str(f.expr) for f in part.term.factors]
            used = set().union(*(_names_in(e) for e in exprs)) & available
            self.terms.append((str(part.term), tuple(index[c] for c in part.columns), exprs, used))
        self.variable_columns = {}
        for _, columns, _, used in self.terms:
            for name in sorted(used):
                self.variable_columns.setdefault(name, set()).update(columns)
        self.variable_columns = {k: tuple(sorted(v)) for k, v in self.variable_columns.items()}
        self._subsets = {}

    @property
    def variables(self) -> list:
        return list(self.variable_columns)

    def terms_of(self, name) -> list:
        return [t for t in self.terms if name in t[3]]

    def _kind(self, expr) -> str:
        kind = self.model_spec.encoder_state.get(expr, (None,))[0]
        return str(getattr(kind, "value", kind))

    def numerical(self, expr) -> bool:
        return self._kind(expr) == "numerical"

    def factors_of(self, name) -> list:
        """The expressions of the factors that use `name`, in term order."""
        return list(dict.fromkeys(e for _, _, exprs, _ in self.terms_of(name) for e in exprs
                                  if name in _names_in(e)))

    def classify(self, name, fitted: pd.DataFrame) -> Variable:
        """Level contrasts when a categorical factor is the variable itself,
        else from the variable's fitted values (classify_by_values)."""
        columns, factors = self.variable_columns[name], self.factors_of(name)
        categorical = [e for e in factors if self._kind(e) == "categorical"]
        own = [e for e in categorical if _level_variable(e, {name}) == name]
        if own:
            state = self.model_spec.encoder_state[own[0]][1]
            levels = tuple(state["categories"])
            base = getattr(getattr(state.get("contrasts"), "contrasts", None), "base", None)
            ref = levels.index(base) if base in levels else 0
            return Variable(name, "contrast", columns, (levels[ref],) + levels[:ref] + levels[ref + 1:])
        probe = fitted.iloc[:STEP_PROBE_ROWS]
        steps = [e for e in categorical if is_step(self.model_spec.encoder_state[e][1]["categories"])]
        steps += [e for e in factors if self.numerical(e) and self.factor_values(e, probe).dtype == bool]
        return with_factors(classify_by_values(name, columns, fitted[name]), factors, steps, categorical)

    def factor_values(self, expr, rows) -> np.ndarray:
        """One factor's values over `rows` (a frame or a dict of columns), its
        transform state as fitted."""
        materializer = self.model_spec.get_materializer(pd.DataFrame(rows))
        evaluated = materializer._evaluate_factor(self.factors[expr], self.model_spec, set())
        return np.asarray(evaluated.values)

    def check_outside_names(self, n_rows: int) -> None:
        """formulaic keeps none of the caller's namespace with the model (only
        its own transforms and numpy as np): a name taken from there cannot
        be evaluated again, and row data from there would be paired with rows
        by position."""
        from formulaic.transforms import TRANSFORMS

        used = getattr(self.model_spec, "variables_by_source", {}).get("context", ())
        outside = sorted(name for name in used if name.split(".")[0] not in TRANSFORMS)
        if outside:
            raise ValueError(f"the formula uses {outside} from the caller's namespace, which "
                             "formulaic does not keep with the model (and row data from there "
                             "would be paired with rows by position); add them to the data frame "
                             "as columns, or write constants into the formula, and fit the model "
                             "on it")

    def build_design(self, rows: pd.DataFrame) -> np.ndarray:
        return np.asarray(self.model_spec.get_model_matrix(rows), dtype=float)

    def subset(self, name):
        """The ModelSpec of the terms that use `name`, and the positions of their
        columns within variable_columns[name]."""
        if name not in self._subsets:
            sub = self.model_spec.subset([t[0] for t in self.terms_of(name)])
            # by name: the subset may order its terms differently
            order = [self.variable_columns[name].index(self.index[c])
                     for part in sub.structure for c in part.columns]
            self._subsets[name] = (sub, np.asarray(order))
        return self._subsets[name]

    def block_columns(self, block: dict) -> "FormulaicBlock":
        return FormulaicBlock(self, block)


class FormulaicBlock:
    def __init__(self, structure: FormulaicStructure, block: dict):
        self.structure = structure
        self.block = block

    def _columns(self, name, data: dict) -> np.ndarray:
        sub, order = self.structure.subset(name)
        values = np.asarray(sub.get_model_matrix(pd.DataFrame(data)), dtype=float)
        out = np.empty_like(values)
        out[:, order] = values
        return out

    def at_level(self, variable: Variable, level, out: np.ndarray) -> None:
        self.at_values(variable, _level_column(self.block[variable.name], level), out)

    def at_values(self, variable: Variable, values, out: np.ndarray) -> None:
        data = dict(self.block)
        data[variable.name] = values
        out[:] = self._columns(variable.name, data)

    def derivative(self, variable: Variable, scale: float, out: np.ndarray) -> None:
        name, structure = variable.name, self.structure
        if set(variable.steps) == set(variable.factors):
            out[:] = 0.0
            return
        if all(structure.numerical(e) and e in self.block
               for _, _, exprs, _ in structure.terms_of(name) for e in exprs):
            self._plain_derivative(variable, out)
            return
        base_steps = self._steps(variable, self.block)

        def evaluate(values, rows):
            data = subset_rows(self.block, rows)
            data[name] = values
            columns = self._columns(name, data)
            crossed = (self._steps(variable, data) != base_steps[rows]).any(axis=1)
            columns[crossed] = np.nan
            return columns

        v = np.asarray(self.block[name], dtype=float)
        out[:] = stencil_derivative(evaluate, v, scale, self._columns(name, dict(self.block)))
        for _, columns, exprs, _ in structure.terms_of(name):
            if all(e in variable.steps for e in exprs if name in _names_in(e)):
                out[:, [variable.columns.index(c) for c in columns]] = 0.0

    def _steps(self, variable: Variable, data: dict) -> np.ndarray:
        """The values of the variable's steps over `data` (rows × steps)."""
        rows = len(next(iter(data.values())))
        values = [np.asarray(self.structure.factor_values(e, data), dtype=bool).reshape(rows, -1)
                  for e in variable.steps]
        return np.hstack(values) if values else np.zeros((rows, 0), dtype=bool)

    def _plain_derivative(self, variable: Variable, out: np.ndarray) -> None:
        """Terms that are products of plain numeric variables: ∂(Π x_f)/∂v is
        the product of the other factors."""
        for _, columns, exprs, _ in self.structure.terms_of(variable.name):
            value = np.ones(out.shape[0])
            for e in exprs:
                if e != variable.name:
                    value = value * np.asarray(self.block[e], dtype=float)
            out[:, variable.columns.index(columns[0])] = value
