"""The options of tarvex_margins.margins on the Fair data that ships with
statsmodels (6,366 women; an affair or not): effects per group, at fixed
values, weighted, as elasticities, compared between groups, and drawn.

    python examples/margins_options.py [--png examples/margins_plot.png]
"""
import argparse

import numpy as np
import pandas as pd
import statsmodels.api as sm
import statsmodels.formula.api as smf

from tarvex_margins import margins, plot_margins


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--png", help="save the plot of the effects by marriage rating here")
    args = parser.parse_args()
    pd.set_option("display.width", 140)
    fair = sm.datasets.fair.load_pandas().data.assign(
        affair=lambda d: (d.affairs > 0).astype(float),
        rating=lambda d: pd.Categorical(d.rate_marriage.map({1: "poor", 2: "poor", 3: "fair", 4: "good",
                                                             5: "very good"}),
                                        categories=["poor", "fair", "good", "very good"]),
        kids=lambda d: np.ceil(d.children).astype(int))
    fit = smf.logit("affair ~ age + I(age**2) + yrs_married + religious + kids + C(rating)", fair).fit(disp=0)
    show = ["term", "contrast", "estimate", "std_error", "conf_low", "conf_high"]

    print("Average effects per marriage rating (by=):")
    by_rating = margins(fit, ["age", "yrs_married", "religious"], by="rating")
    print(by_rating[show[:2] + ["rating"] + show[2:]].round(4).to_string(), "\n")

    print("Is the effect of religiousness different between ratings? (hypothesis='pairwise')")
    pairs = margins(fit, "religious", by="rating", hypothesis="pairwise")
    print(pairs.round(4).to_string(), "\n")

    print("At fixed ages (at=), elasticities (method='eyex') and the count of children (count=True):")
    print(margins(fit, "yrs_married", at={"age": [22, 32, 42]})[show[:2] + ["age"] + show[2:]]
          .round(4).to_string())
    print(margins(fit, ["age", "yrs_married"], method="eyex")[show].round(4).to_string())
    print(margins(fit, "kids", count=True)[show].round(4).to_string(), "\n")

    if args.png:
        import matplotlib

        matplotlib.use("Agg")
        fig = plot_margins(by_rating)
        fig.savefig(args.png, dpi=110)
        print(f"saved {args.png}")


if __name__ == "__main__":
    main()
