"""Average marginal effects of variables, not of design columns, for fitted
statsmodels binary models (Logit, Probit, binomial GLM), on tarvex's engine.

``margins(result)`` reports, per variable of a formula, the average effect
running through every design column that depends on it (powers,
interactions, transforms, splines), contrasts of categorical levels against
the reference level, and delta-method standard errors from the result's own
covariance; at representative points or fixed values (``at=``), as
elasticities (``method=``), for count variables (``count=``), per group
(``by=``), weighted (``weights=``). ``compare`` tests linear combinations of
the estimates and ``plot_margins`` draws them (matplotlib, optional).

Every estimate is a ratio of sums over rows, so the rows may come in pieces:
``plan_margins`` fixes the estimates once, ``margins_partial`` sums any set of
rows (a frame, a Dask collection on a cluster, Parquet files) into a small
``Partial``, partials add (``+`` or ``combine``) in any order, and
``margins_table`` turns their total into the table ``margins`` returns.
"""
from ._compare import compare
from ._margins import Plan, margins, margins_table, plan_margins
from ._partial import Partial, combine
from ._partitions import PartitionError, margins_partial, needed_columns
from ._plot import plot_margins

__all__ = ["margins", "compare", "plot_margins", "plan_margins", "margins_partial", "combine",
           "margins_table", "needed_columns", "Plan", "Partial", "PartitionError"]
