"""Average marginal effects on the Spector data set that ships with statsmodels.

Fits Logit and Probit models of grade improvement on GPA, TUCE and PSI and
prints tarvex's table for both standard-error forms beside statsmodels'
get_margeff output.
"""
import time

import pandas as pd
import statsmodels.api as sm

import tarvex


def main() -> None:
    pd.set_option("display.width", 140)
    pd.set_option("display.max_columns", 10)
    data = sm.datasets.spector.load_pandas()
    exog = sm.add_constant(data.exog, prepend=False)
    for model_class in (sm.Logit, sm.Probit):
        result = model_class(data.endog, exog).fit(disp=0)
        print(f"=== {model_class.__name__}: {result.nobs:.0f} observations ===\n")
        for se_method in ("sm", "rust"):
            start = time.perf_counter()
            table = tarvex.mfx(result, se_method=se_method)
            elapsed = time.perf_counter() - start
            print(f"tarvex.mfx(result, se_method={se_method!r})  [{elapsed * 1e3:.2f} ms]")
            print(table, "\n")
        start = time.perf_counter()
        margeff = result.get_margeff(at="overall", method="dydx", dummy=True)
        elapsed = time.perf_counter() - start
        print(f"statsmodels get_margeff(at='overall', dummy=True)  [{elapsed * 1e3:.2f} ms]")
        print(margeff.summary_frame(), "\n")


if __name__ == "__main__":
    main()
