"""Shared test helpers: duck-typed fitted models carrying exactly the
attributes tarvex reads (`model`, `params`, `cov_params()`, `exog`,
`exog_names`), and the shape of a result table."""
import functools

import numpy as np

TABLE_COLUMNS = ["dy/dx", "Std. Err", "z", "Pr(>|z|)", "Conf. Int. Low", "Conf. Int. Hi",
                 "Significance"]


class DuckResults:
    """A results object whose inner model's class is named `kind`."""

    def __init__(self, kind, X, beta, sigma, names):
        self.model = type(kind, (), {})()
        self.model.exog = X
        self.model.exog_names = names
        self.params = beta
        self.sigma = sigma

    def cov_params(self):
        return self.sigma


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


@functools.cache
def under_asan():
    """True when AddressSanitizer's runtime is loaded (tools/sanitize)."""
    try:
        with open("/proc/self/maps") as f:
            return "libasan" in f.read()
    except OSError:
        return False
