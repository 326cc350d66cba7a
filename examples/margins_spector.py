"""Effects of variables with tarvex_margins, beside tarvex.mfx, on two data sets
that ship with statsmodels.

1. Spector: logit(GRADE ~ GPA + I(GPA**2) + TUCE + PSI). mfx reports one effect
   per design column ("GPA" and "I(GPA ** 2)"), neither of which is the effect
   of GPA; margins reports the effect of GPA through both columns.
2. Fair (extramarital affairs): logit with a six-level categorical occupation.
   mfx switches one dummy column at a time (rows in two occupations at once);
   margins contrasts each occupation with the reference level, the whole block
   switched.
"""
import time

import pandas as pd
import statsmodels.api as sm
import statsmodels.formula.api as smf

import tarvex
from tarvex_margins import margins


def show(title, result) -> None:
    print(f"=== {title}: {result.nobs:.0f} observations ===\n")
    start = time.perf_counter()
    table = margins(result)
    elapsed = time.perf_counter() - start
    print(f"tarvex_margins.margins(result)  [{elapsed * 1e3:.2f} ms]")
    print(table.round(4).to_string(), "\n")
    print('tarvex.mfx(result, se_method="sm")  (one row per design column)')
    print(tarvex.mfx(result, se_method="sm").round(4).to_string(), "\n")


def main() -> None:
    pd.set_option("display.width", 140)
    spector = sm.datasets.spector.load_pandas().data
    show("Spector, GPA and its square",
         smf.logit("GRADE ~ GPA + I(GPA**2) + TUCE + PSI", spector).fit(disp=0))
    fair = sm.datasets.fair.load_pandas().data.assign(
        affair=lambda d: (d.affairs > 0).astype(float))
    show("Fair, occupation as a categorical",
         smf.logit("affair ~ age + yrs_married + children + religious + C(occupation)"
                   " + rate_marriage", fair).fit(disp=0))


if __name__ == "__main__":
    main()
