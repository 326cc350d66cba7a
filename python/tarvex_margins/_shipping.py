"""A Plan pickles slim: what a worker needs to compute a partial of other
rows, not the fitted model's arrays.

A plan's partial sums over given rows need the link, β, the parameter names,
the estimates' layout, the chosen variables with their step scales, and the
formula's design (the columns, and the state of its stateful transforms such
as center(), standardize() or bs()'s knots). They do not need the fitted
design (n × k), the fitted data frame, offset or weights: those are only read
for the fitted rows themselves, which a worker never sees. Σ (k × k) travels
too, so that an unpickled plan still makes the table.

The design travels as follows:
  - formulaic's ModelSpec pickles as it is (its transform state included);
  - patsy's DesignInfo refuses pickling, so it is rebuilt where it is
    unpickled: from the right-hand side of the formula, written back from the
    DesignInfo's terms, evaluated over the formula's variables as the model
    saw them (stateful transforms relearn the same state from the same rows
    in the same order), with the names the factors' code refers to (numpy as
    `np`, user functions). Before a plan leaves, the rebuilt design is checked
    against the fitted one: the same column names, and the same values on a
    sample of the fitted rows. A worker rebuilds a plan once and keeps the
    last few by key.
"""
from __future__ import annotations

import importlib
import threading
from collections import OrderedDict
from dataclasses import dataclass, replace
from typing import Any

import numpy as np
import pandas as pd

from ._formula import outside_names

#: Fitted rows on which a rebuilt patsy design is compared with the model's.
CHECK_ROWS = 2048
#: Rebuilt plans a process keeps, by key.
CACHED_PLANS = 8


@dataclass(frozen=True)
class _ModuleRef:
    """A module named in a factor's code (`np`), imported again on arrival."""
    name: str


@dataclass(frozen=True)
class PatsyRecipe:
    """What rebuilds a patsy DesignInfo: the right-hand side, the formula's
    variables as the model was fitted on them, and the names its code uses."""
    formula: str
    rows: pd.DataFrame
    namespace: dict


@dataclass(frozen=True)
class ShippedPlan:
    fields: dict                # the Plan's fields but the structure, its model slimmed
    design: Any                 # None (column model), a formulaic ModelSpec, or a PatsyRecipe
    data_columns: tuple         # the fitted frame's column names (which names are variables)


_lock = threading.Lock()
# By key: (shipped design, data columns) of the plans sent or received here,
# so that a received plan can be sent on; the structures rebuilt here.
_designs: "OrderedDict[str, Any]" = OrderedDict()
_rebuilt: "OrderedDict[str, Any]" = OrderedDict()


def _remember(cache: OrderedDict, key: str, value) -> None:
    cache[key] = value
    cache.move_to_end(key)
    while len(cache) > CACHED_PLANS:
        cache.popitem(last=False)


def ship(plan) -> ShippedPlan:
    """The slim form of `plan` (see the module's docstring)."""
    model = plan.model
    if model.offset is not None and np.any(model.offset != 0):
        raise ValueError("a plan for a model with an offset cannot be shipped: its partials "
                         "need the fitted rows' offset; compute them where the model is")
    slim_model = replace(model, exog=None, offset=None, freq_weights=None, design_info=None,
                         frame=None, row_labels=None)
    slim = {"model": slim_model, "layout": plan.layout, "key": plan.key, "chosen": plan.chosen,
            "scales": plan.scales, "options": plan.options, "fixed": plan.fixed,
            "numbers": plan.numbers}
    if plan.structure is None:
        return ShippedPlan(slim, None, ())
    with _lock:
        found = _designs.get(plan.key)
    if found is None:
        if model.frame is None:
            raise ValueError("this plan arrived without its design's recipe and cannot be sent on")
        found = (_design_recipe(plan), tuple(map(str, model.frame.columns)))
        with _lock:
            _remember(_designs, plan.key, found)
    return ShippedPlan(slim, *found)


def unship(shipped: ShippedPlan):
    """The plan again, its formula structure rebuilt (once per process and key)."""
    from ._margins import Plan

    fields = shipped.fields
    if shipped.design is None:
        return Plan(**fields)
    key = fields["key"]
    with _lock:
        structure = _rebuilt.get(key)
    if structure is None:
        from ._formula import formula_structure

        info = _design_of(shipped.design)
        structure = formula_structure(info, fields["model"].names, list(shipped.data_columns))
        with _lock:
            _remember(_rebuilt, key, structure)
            _remember(_designs, key, (shipped.design, shipped.data_columns))
    return Plan(**fields, structure=structure)


def _design_recipe(plan):
    """formulaic's ModelSpec itself; for patsy, a recipe checked to rebuild
    the fitted design."""
    info = plan.model.design_info
    if type(info).__module__.startswith("formulaic"):
        return info
    recipe = PatsyRecipe(_patsy_formula(info), _patsy_rows(plan.model, info), _patsy_namespace(info))
    _check_rebuilt(plan, _design_of(recipe))
    return recipe


def _patsy_formula(info) -> str:
    """The right-hand side written back from the terms, in their order (an
    intercept is the term without factors; without one, `0 +` leads)."""
    parts = [":".join(f.code for f in term.factors) if term.factors else "1" for term in info.terms]
    if not any(not term.factors for term in info.terms):
        parts.insert(0, "0")
    return " + ".join(parts)


def _patsy_rows(model, info) -> pd.DataFrame:
    """The frame's columns that the factors' code names, all rows as given
    to the fit (rows statsmodels dropped for missing values included, as
    patsy saw them when it learnt the transforms' state)."""
    from ._formula import _names_in

    used = set()
    for factor in info.factor_infos:
        used |= _names_in(factor.code)
    columns = [c for c in model.frame.columns if str(c) in used]
    return model.frame[columns].copy()


def _patsy_namespace(info) -> dict:
    """The names the factors' code looks up outside the data (outside_names),
    modules by name."""
    return {name: _ModuleRef(value.__name__) if _is_module(value) else value
            for name, value in outside_names(info).items()}


def _is_module(value) -> bool:
    return type(value).__name__ == "module"


def _design_of(design):
    """The DesignInfo or ModelSpec a shipped design stands for."""
    if not isinstance(design, PatsyRecipe):
        return design
    from patsy import EvalEnvironment, dmatrix

    names = {name: importlib.import_module(v.name) if isinstance(v, _ModuleRef) else v
             for name, v in design.namespace.items()}
    return dmatrix(design.formula, design.rows, eval_env=EvalEnvironment([names]),
                   NA_action="drop").design_info


def _check_rebuilt(plan, info) -> None:
    """The rebuilt design has the model's columns and, on a sample of the
    fitted rows, the model's values (the fitted design's, or after
    remove_data() the model's own DesignInfo's build of them)."""
    from ._formula import FormulaStructure

    model = plan.model
    if list(info.column_names) != list(model.names):
        raise ValueError(f"the formula's design could not be rebuilt for shipping: columns "
                         f"{list(info.column_names)} instead of {list(model.names)}")
    rows = np.unique(np.linspace(0, model.n_rows - 1, CHECK_ROWS).astype(np.int64))
    fitted = plan.structure.variables
    from ._margins import _fitted_rows_of_model

    sample = _fitted_rows_of_model(model, fitted).iloc[rows]
    rebuilt = FormulaStructure(info, list(model.frame.columns)).build_design(sample)
    expected = plan.structure.build_design(sample) if model.exog is None else model.exog[rows]
    if not np.allclose(rebuilt, expected, rtol=1e-13, atol=1e-300, equal_nan=True):
        raise ValueError("the formula's design could not be rebuilt for shipping: its values "
                         "differ from the fitted design (a transform whose state depends on more "
                         "than the formula's variables?)")
