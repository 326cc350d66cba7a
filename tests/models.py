"""Duck-typed fitted models: the attributes tarvex reads, nothing more."""
import numpy as np


def model_class(name):
    """A bare class with the given __name__, standing for statsmodels' model."""
    return type(name, (), {})


class DuckResults:
    """Looks like a statsmodels results object fitted on NumPy arrays; the
    inner model's class is named `kind`."""

    def __init__(self, kind, X, beta, sigma, names):
        self.model = model_class(kind)()
        self.model.exog = X
        self.model.exog_names = names
        self.params = beta
        self.sigma = sigma

    def cov_params(self):
        return self.sigma


def results(kind, X, beta, sigma=None, names=None):
    X = np.asarray(X, dtype=float) if not isinstance(X, np.ndarray) else X
    beta = np.asarray(beta, dtype=float)
    k = X.shape[1]
    if sigma is None:
        sigma = np.eye(k) * 0.01
    if names is None:
        names = [f"x{j}" for j in range(k)]
    return DuckResults(kind, X, beta, np.asarray(sigma, dtype=float), list(names))


def duck_results(kind, n, k, seed, names=None, binary_cols=()):
    """A well-formed model of n rows and k columns with random data."""
    rng = np.random.default_rng(seed)
    X = rng.normal(size=(n, k))
    for j in binary_cols:
        X[:, j] = rng.integers(0, 2, size=n)
    beta = rng.normal(size=k)
    a = rng.normal(size=(k, k))
    sigma = a @ a.T * 0.01
    if names is None:
        names = [f"x{j}" for j in range(k)]
    return DuckResults(kind, X, beta, sigma, list(names))
