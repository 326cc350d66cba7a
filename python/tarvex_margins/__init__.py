"""Average marginal effects of variables, not of design columns, for fitted
statsmodels binary models (Logit, Probit, binomial GLM), on tarvex's engine.

``margins(result)`` reports, per variable of a formula, the average effect
running through every design column that depends on it (powers,
interactions, transforms, splines), contrasts of categorical levels against
the reference level, and delta-method standard errors from the result's own
covariance.
"""
from ._margins import margins

__all__ = ["margins"]
