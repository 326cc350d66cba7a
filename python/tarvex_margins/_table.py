"""The result table: delta-method covariance and the normal statistics."""
from __future__ import annotations

import numpy as np
import pandas as pd

#: The 0.975 quantile of the standard normal distribution.
Z_975 = 1.959963984540054

COLUMNS = ["term", "contrast", "estimate", "std_error", "statistic", "p_value",
           "conf_low", "conf_high"]


def effect_table(specs, estimate, jacobian, cov, param_names, weights: str, n_rows: int) -> pd.DataFrame:
    """V = J·Σ·Jᵀ; std_error = √V_rr; z = estimate/std_error; p = 2·Φ(−|z|),
    computed as 2·ndtr(−|z|) (no cancellation); bounds estimate ∓ z_0.975·std_error."""
    from scipy.special import ndtr

    vcov = jacobian @ cov @ jacobian.T
    with np.errstate(invalid="ignore", divide="ignore"):
        se = np.sqrt(np.diag(vcov))
        z = estimate / se
    labels = pd.MultiIndex.from_tuples([(s.term, s.contrast) for s in specs],
                                       names=["term", "contrast"])
    table = pd.DataFrame({
        "term": [s.term for s in specs],
        "contrast": [s.contrast for s in specs],
        "estimate": estimate,
        "std_error": se,
        "statistic": z,
        "p_value": 2.0 * ndtr(-np.abs(z)),
        "conf_low": estimate - Z_975 * se,
        "conf_high": estimate + Z_975 * se,
    }, columns=COLUMNS)
    table.attrs["vcov"] = pd.DataFrame(vcov, index=labels, columns=labels)
    table.attrs["jacobian"] = pd.DataFrame(jacobian, index=labels, columns=list(param_names))
    table.attrs["weights"] = weights
    table.attrs["n_rows"] = n_rows
    return table
