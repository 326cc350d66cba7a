"""Duck-typed fitted models: the attributes tarvex reads, nothing more."""
import numpy as np


def model_class(name):
    """A bare class with the given __name__, standing for statsmodels' model."""
    return type(name, (), {})


class Results:
    """Looks like a statsmodels results object fitted on NumPy arrays."""

    def __init__(self, kind, X, beta, sigma, names):
        self.model = model_class(kind)()
        self.model.exog = X
        self.model.exog_names = names
        self.params = beta
        self._sigma = sigma

    def cov_params(self):
        return self._sigma


def results(kind, X, beta, sigma=None, names=None):
    X = np.asarray(X, dtype=float) if not isinstance(X, np.ndarray) else X
    beta = np.asarray(beta, dtype=float)
    k = X.shape[1]
    if sigma is None:
        sigma = np.eye(k) * 0.01
    if names is None:
        names = [f"x{j}" for j in range(k)]
    return Results(kind, X, beta, np.asarray(sigma, dtype=float), list(names))
