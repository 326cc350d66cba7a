"""The options of tarvex_margins.margins beside the plain call, at n = 1e6, on
the probit formula model of margins_bench.py and on a column model of the same
data's design (probit, k = 13): by= with 50 groups, weights, method="eyex",
count=True, at="mean" and an at= grid of 3 points. Each option is one pass
over the rows (groups are accumulators of that pass, grid points a rebuilt
design per block). Timings are ratios measured side by side in one process,
calls alternating, median of --repeat rounds of thread CPU time.

    python bench/margins_options_bench.py [--n 1000000] [--repeat 5] [--out bench/results/margins-options.md]
"""
import argparse
import time

import numpy as np
import statsmodels.api as sm
import statsmodels.formula.api as smf

from margins_bench import FORMULA, cpu_name, emit, make_data
from tarvex_margins import margins


def models(n):
    df = make_data(n)
    rng = np.random.default_rng(7)
    df["group"] = rng.integers(0, 50, n)
    df["w"] = rng.uniform(0.5, 2.0, n)
    df["visits"] = rng.poisson(2.0, n)
    formula = smf.probit(FORMULA + " + visits", df).fit(disp=0)
    X = np.asfortranarray(formula.model.exog)
    column = sm.Probit(formula.model.endog, X).fit(start_params=formula.params.to_numpy(), disp=0,
                                                   maxiter=0, warn_convergence=False)
    return df, formula, column


def designs(df):
    return {
        "plain": {},
        "by 50 groups": {"by": df.group.to_numpy()},
        "weights": {"weights": df.w.to_numpy()},
        "by 50 groups + weights": {"by": df.group.to_numpy(), "weights": df.w.to_numpy()},
        'method="eyex"': {"method": "eyex"},
        "count=True": {"count": True},
        'at="mean"': {"at": "mean"},
    }


def measure(calls, repeat):
    times = {name: [] for name in calls}
    for _ in range(repeat):
        for name, call in calls.items():
            start = time.thread_time()
            call()
            times[name].append(time.thread_time() - start)
    return {name: float(np.median(t)) for name, t in times.items()}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--n", type=int, default=1_000_000)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--out")
    args = parser.parse_args()
    df, formula, column = models(args.n)
    x4 = column.model.exog_names[formula.model.exog_names.index("x4")]
    calls = {}
    for label, model, fixed in (("formula", formula, "x4"), ("column", column, x4)):
        for name, options in designs(df).items():
            calls[(label, name)] = (lambda m=model, o=options: margins(m, **o))
        calls[(label, "at grid, 3 points")] = (
            lambda m=model, v=fixed: margins(m, at={v: [-1.0, 0.0, 1.0]}))
    medians = measure(calls, args.repeat)
    lines = [f"# tarvex_margins options at n = {args.n:,}", "",
             f"CPU: {cpu_name()}; one thread; median of {args.repeat} "
             "rounds of thread CPU time, calls alternating in one process.", "",
             "| model | option | time (s) | / plain |", "|---|---|---:|---:|"]
    for (label, name), seconds in medians.items():
        lines.append(f"| {label} | {name} | {seconds:.3f} | {seconds / medians[(label, 'plain')]:.2f} |")
    emit(lines, args.out)


if __name__ == "__main__":
    main()
