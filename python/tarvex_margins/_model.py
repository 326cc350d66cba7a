"""What tarvex_margins reads from a fitted statsmodels result: the link, β and
its covariance, the model's design, offset and frequency weights, and the
formula structure when the model came from the formula API."""
from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Mapping, Optional

import numpy as np
import pandas as pd

#: The engine's link numbering (src/engine/binary_links.hpp, BinaryLink).
LINKS = ("logit", "probit", "cloglog", "loglog", "cauchit")

SUPPORTED = ("Logit, Probit, and GLM with the Binomial family and one of the links "
             "logit, probit, cloglog, loglog, cauchit")

# statsmodels' GLM link classes, by name, and the inverse link each one is.
_GLM_LINKS = {"logit": "logit", "probit": "probit", "cloglog": "cloglog",
              "loglog": "loglog", "cauchy": "cauchit"}

# statsmodels' CDF links (Probit, Cauchy and their base CDFLink) compute
# F(η) = dbn.cdf(η) for the distribution `dbn` they hold, which can be any
# scipy distribution. The engine computes the standard normal and the
# standard Cauchy distribution functions only: the scipy distribution objects
# scipy.stats.norm and scipy.stats.cauchy themselves (no shape, location 0,
# scale 1), told by their class, so that scipy is not imported here. Which
# distribution each link class must hold (a bare CDFLink: either one).
_CDF_DISTRIBUTIONS = {"norm_gen": "probit", "cauchy_gen": "cauchit"}
_CDF_LINK_CLASSES = {"probit": ("probit",), "cauchy": ("cauchit",),
                     "cdflink": ("probit", "cauchit")}


@dataclass(frozen=True)
class FittedModel:
    link: str
    params: np.ndarray          # β, k
    cov: np.ndarray             # cov_params(), k × k
    names: list                 # the k parameter names
    exog: Optional[np.ndarray]  # the model's own design, n × k (None: removed, or not shipped)
    offset: Optional[np.ndarray]
    freq_weights: Optional[np.ndarray]
    design_info: Any            # patsy DesignInfo of a formula model, else None
    frame: Any                  # the data frame the formula model was fitted on
    n_rows: int = 0             # the fitted rows
    row_labels: Any = None      # their labels in the frame (statsmodels' data.row_labels)


def _link_of(model) -> str:
    kind = type(model).__name__
    if kind in ("Logit", "Probit"):
        return kind.lower()
    if kind == "GLM":
        family = type(model.family).__name__
        link = type(model.family.link).__name__.lower()
        if family == "Binomial" and link in _CDF_LINK_CLASSES:
            return _cdf_link_of(model.family.link)
        if family == "Binomial" and link in _GLM_LINKS:
            return _GLM_LINKS[link]
        raise ValueError(f"margins supports {SUPPORTED}; got GLM with family {family} "
                         f"and link {type(model.family.link).__name__}")
    raise ValueError(f"margins supports {SUPPORTED}; got a {kind} model")


def _cdf_link_of(link) -> str:
    """The inverse link of a statsmodels CDF link: its distribution `dbn`,
    which must be the one the engine computes for the link's class."""
    dbn_class = type(getattr(link, "dbn", None))
    computed = (_CDF_DISTRIBUTIONS.get(dbn_class.__name__)
                if dbn_class.__module__.startswith("scipy.stats.") else None)
    accepted = _CDF_LINK_CLASSES[type(link).__name__.lower()]
    if computed in accepted:
        return computed
    wanted = " or ".join({"probit": "scipy.stats.norm", "cauchit": "scipy.stats.cauchy"}[a]
                         for a in accepted)
    raise ValueError(f"margins computes the {type(link).__name__} link with the distribution "
                     f"{wanted} only; this model's link has dbn={getattr(link, 'dbn', None)!r} "
                     f"(a {dbn_class.__module__}.{dbn_class.__qualname__}). Supported: "
                     f"{SUPPORTED}, the probit and cauchit links with their standard "
                     f"distributions")


def _optional_row_array(values, n: int, name: str) -> Optional[np.ndarray]:
    """An offset or weight array of the fitted rows, None when it is absent
    (or, for weights, all ones, which change nothing)."""
    if values is None:
        return None
    arr = np.asarray(values, dtype=float)
    if arr.shape != (n,):
        raise ValueError(f"the model's {name} has shape {arr.shape}, expected ({n},)")
    return arr


def _design_info(data) -> Any:
    """The patsy DesignInfo or formulaic ModelSpec of a formula model
    (statsmodels 0.15 keeps it as model_spec, 0.14 as design_info); None for
    models fitted on arrays."""
    design_spec = getattr(data, "model_spec", None)
    if design_spec is None:
        design_spec = getattr(data, "design_info", None)
    if design_spec is None:
        return None
    if type(design_spec).__module__.split(".")[0] in ("patsy", "formulaic"):
        return design_spec
    raise ValueError(f"margins reads formulas built by patsy or formulaic; this model's formula "
                     f"was built by {type(design_spec).__module__.split('.')[0]}")


def _frame_of(data) -> Any:
    """The frame a formula model was fitted on; a dict of columns (which
    statsmodels keeps as given) as the frame patsy and formulaic read it."""
    frame = getattr(data, "frame", None)
    if not isinstance(frame, Mapping):
        return frame
    try:
        return pd.DataFrame(dict(frame))
    except ValueError as error:
        raise ValueError(f"the model was fitted on a dict whose columns do not form a frame "
                         f"({error}); fit it on a pandas DataFrame") from None


def _removed_rows_error(result_type: str) -> ValueError:
    return ValueError(
        f"this {result_type} has no fitted design: its data were removed (remove_data()), so "
        "margins cannot judge the variables' kinds (0/1 columns, counts) on the fitted rows nor "
        "average over them; fit the model again and call margins before remove_data()")


def read_model(result) -> FittedModel:
    """Reads and checks a fitted result; raises ValueError for anything
    margins does not support."""
    model = getattr(result, "model", None)
    if model is None:
        raise ValueError(f"margins needs a fitted statsmodels result ({SUPPORTED}); "
                         f"got {type(result).__name__}")
    link = _link_of(model)
    data = getattr(model, "data", None)
    design_info = _design_info(data) if data is not None else None
    if model.exog is None:
        return _removed_data_model(result, model, link, design_info, data)
    exog = np.asarray(model.exog, dtype=float)
    if exog.ndim != 2:
        raise ValueError(f"the model's design has {exog.ndim} dimensions, expected 2")
    n, k = exog.shape
    params = np.asarray(result.params, dtype=float)
    cov = np.asarray(result.cov_params(), dtype=float)
    if params.shape != (k,):
        raise ValueError(f"the result has {params.size} parameters for a design of {k} columns")
    if cov.shape != (k, k):
        raise ValueError(f"cov_params() has shape {cov.shape}, expected ({k}, {k}) "
                         f"for a design of {k} columns")
    weights = _optional_row_array(getattr(model, "freq_weights", None), n, "freq_weights")
    if weights is not None and np.all(weights == 1.0):
        weights = None
    return FittedModel(
        link=link, params=params, cov=cov, names=[str(name) for name in model.exog_names],
        exog=exog, offset=_optional_row_array(getattr(model, "offset", None), n, "offset"),
        freq_weights=weights, design_info=design_info, frame=_frame_of(data), n_rows=n,
        row_labels=getattr(data, "row_labels", None))


def _removed_data_model(result, model, link, design_info, data) -> FittedModel:
    """A formula model after remove_data(): its frame (kept by statsmodels),
    β, Σ, the formula's design and the offset remain, so the plan is made as
    before and rows are given with data=; the fitted design and frequency
    weights are gone, so data=None is refused (see partial_sums). A model
    fitted on arrays keeps nothing to judge its columns on: refused."""
    frame, labels = _frame_of(data), getattr(data, "row_labels", None)
    if design_info is None or frame is None or labels is None:
        raise _removed_rows_error("model fitted on arrays" if design_info is None else "model")
    names = [str(name) for name in model.exog_names]
    params = np.asarray(result.params, dtype=float)
    cov = np.asarray(result.cov_params(), dtype=float)
    k, n = len(names), len(labels)
    if params.shape != (k,) or cov.shape != (k, k):
        raise ValueError(f"the result has {params.size} parameters and cov_params() of shape "
                         f"{cov.shape} for {k} parameter names")
    return FittedModel(
        link=link, params=params, cov=cov, names=names, exog=None,
        offset=_optional_row_array(getattr(model, "offset", None), n, "offset"), freq_weights=None,
        design_info=design_info, frame=frame, n_rows=n, row_labels=labels)
