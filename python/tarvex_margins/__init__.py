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
"""
from ._compare import compare
from ._margins import margins
from ._plot import plot_margins

__all__ = ["margins", "compare", "plot_margins"]
