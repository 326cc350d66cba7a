"""The structure of a formulaic ModelSpec (statsmodels 0.15's other formula
engine) and the design columns that depend on one variable, per row block.

formulaic evaluates a formula term by term; the columns a variable changes are
those of the terms whose factors use it, rebuilt by the ModelSpec restricted to
those terms (`ModelSpec.subset`, its fitted transform and encoder state kept).
A slope's derivative is analytic for a term made only of plain variables (the
product of the others), else the central difference (stencil_derivative) of
those terms' own columns."""
from __future__ import annotations

import numpy as np
import pandas as pd

from ._formula import (Variable, _level_column, _level_variable, _names_in, classify_by_values,
                       stencil_derivative, subset_rows)


class FormulaicStructure:
    def __init__(self, model_spec, exog_names, data_columns):
        self.model_spec = model_spec.update(na_action="ignore")
        available = set(map(str, data_columns))
        self.index = index = {str(name): j for j, name in enumerate(exog_names)}
        self.terms = []  # (term, its design columns, its factors' expressions, the variables it uses)
        for part in model_spec.structure:
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

    def classify(self, name, values: pd.Series) -> Variable:
        columns = self.variable_columns[name]
        categorical = [e for _, _, exprs, _ in self.terms_of(name) for e in exprs
                       if self._kind(e) == "categorical" and name in _names_in(e)]
        if categorical:
            plain = [e for e in categorical if _level_variable(e, {name})] or categorical
            state = self.model_spec.encoder_state[plain[0]][1]
            levels = tuple(state["categories"])
            base = getattr(getattr(state.get("contrasts"), "contrasts", None), "base", None)
            ref = levels.index(base) if base in levels else 0
            return Variable(name, "contrast", columns, (levels[ref],) + levels[:ref] + levels[ref + 1:])
        return classify_by_values(name, columns, values)

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
        name = variable.name
        if all(self.structure.numerical(e) and e in self.block
               for _, _, exprs, _ in self.structure.terms_of(name) for e in exprs):
            self._plain_derivative(variable, out)
            return

        def evaluate(values, rows):
            data = subset_rows(self.block, rows)
            data[name] = values
            return self._columns(name, data)

        v = np.asarray(self.block[name], dtype=float)
        out[:] = stencil_derivative(evaluate, v, scale, self._columns(name, dict(self.block)))

    def _plain_derivative(self, variable: Variable, out: np.ndarray) -> None:
        """Terms that are products of plain numeric variables: ∂(Π x_f)/∂v is
        the product of the other factors."""
        for _, columns, exprs, _ in self.structure.terms_of(variable.name):
            value = np.ones(out.shape[0])
            for e in exprs:
                if e != variable.name:
                    value = value * np.asarray(self.block[e], dtype=float)
            out[:, variable.columns.index(columns[0])] = value
