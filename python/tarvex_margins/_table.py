"""The result table: delta-method covariance and the normal statistics."""
from __future__ import annotations

import numpy as np
import pandas as pd

#: The 0.975 quantile of the standard normal distribution.
Z_975 = 1.959963984540054

STATISTICS = ["estimate", "std_error", "statistic", "p_value", "conf_low", "conf_high"]
COLUMNS = ["term", "contrast"] + STATISTICS


def normal_statistics(estimate: np.ndarray, vcov: np.ndarray) -> dict:
    """std_error = √V_rr; z = estimate/std_error; p = 2·Φ(−|z|), computed as
    2·ndtr(−|z|) (no cancellation); bounds estimate ∓ z_0.975·std_error."""
    from scipy.special import ndtr

    with np.errstate(invalid="ignore", divide="ignore"):
        se = np.sqrt(np.diag(vcov))
        z = estimate / se
    return {"estimate": estimate, "std_error": se, "statistic": z, "p_value": 2.0 * ndtr(-np.abs(z)),
            "conf_low": estimate - Z_975 * se, "conf_high": estimate + Z_975 * se}


def effect_table(labels: pd.DataFrame, estimate, jacobian, cov, param_names, weights: str,
                 n_rows: int, method: str = "dydx") -> pd.DataFrame:
    """One row per estimate: its labels (term, contrast, then the columns of
    `at` values and groups), V = J·Σ·Jᵀ and the normal statistics."""
    vcov = jacobian @ cov @ jacobian.T
    table = pd.concat([labels.reset_index(drop=True),
                       pd.DataFrame(normal_statistics(estimate, vcov))], axis=1)
    index = pd.MultiIndex.from_frame(labels)
    table.attrs["vcov"] = pd.DataFrame(vcov, index=index, columns=index)
    table.attrs["jacobian"] = pd.DataFrame(jacobian, index=index, columns=list(param_names))
    table.attrs["weights"] = weights
    table.attrs["n_rows"] = n_rows
    table.attrs["method"] = method
    return table
