# Type information for the compiled module tarvex, installed beside it (and as
# the stub-only package tarvex-stubs, where mypy looks for single-module stubs).
from typing import Literal, SupportsIndex

import pandas as pd

__all__ = ["mfx"]

def mfx(
    model: object,
    chunk_size: SupportsIndex | None = ...,
    se_method: Literal["rust", "sm"] | None = ...,
) -> pd.DataFrame:
    """Average marginal effects of a fitted Logit or Probit model.

    Returns a DataFrame indexed by regressor name (intercepts left out) with
    the columns "dy/dx", "Std. Err", "z", "Pr(>|z|)", "Conf. Int. Low",
    "Conf. Int. Hi" and "Significance".
    """
