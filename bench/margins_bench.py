"""tarvex_margins.margins beside marginaleffects.avg_slopes and tarvex.mfx on one
fitted probit: n = 1e6 rows, a formula of 8 variables with a square, an
interaction and a 4-level categorical. Timings are ratios measured side by
side in one run (best of --repeat for the fast calls); the peak extra memory
of each call is measured by tracemalloc (NumPy's buffers included) and, from
outside, as the growth of the process's peak resident set in a fresh
subprocess per tool.

    python bench/margins_bench.py [--n 1000000] [--skip-peer] [--out bench/results/margins.md]
"""
import argparse
import json
import platform
import resource
import subprocess
import sys
import time
import tracemalloc

import numpy as np
import pandas as pd

FORMULA = "y ~ x1 + I(x1**2) + x2 * x3 + x4 + np.log(x5) + C(region) + treated + x6"


def make_data(n, seed=2026):
    rng = np.random.default_rng(seed)
    df = pd.DataFrame({f"x{j}": rng.normal(size=n) for j in (1, 2, 3, 4, 6)})
    df["x5"] = rng.uniform(0.5, 4.0, size=n)
    df["region"] = pd.Categorical(rng.choice(["north", "east", "south", "west"], size=n))
    df["treated"] = rng.integers(0, 2, size=n)
    eta = (0.2 + 0.5 * df.x1 - 0.2 * df.x1**2 + 0.3 * df.x2 * df.x3 + 0.1 * df.x4
           + 0.4 * np.log(df.x5) + 0.3 * (df.region == "west") + 0.25 * df.treated - 0.1 * df.x6)
    df["y"] = (rng.normal(size=n) < eta).astype(float)
    return df


def fitted(n):
    import statsmodels.formula.api as smf
    return smf.probit(FORMULA, make_data(n)).fit(disp=0)


def call(tool, res):
    if tool == "margins":
        from tarvex_margins import margins
        return margins(res)
    if tool == "mfx":
        import tarvex
        return tarvex.mfx(res, se_method="sm")
    import marginaleffects
    return marginaleffects.avg_slopes(res)


def best_time(tool, res, repeat):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        call(tool, res)
        times.append(time.perf_counter() - start)
    return min(times)


def traced_peak(tool, res):
    tracemalloc.start()
    call(tool, res)
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    return peak


def child(tool, n):
    """In a fresh process: fit, then the growth of the peak RSS during one call."""
    res = fitted(n)
    call(tool, res) if tool == "mfx" else None  # warm imports for the cheap tool only
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    start = time.perf_counter()
    call(tool, res)
    seconds = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    print(json.dumps({"seconds": seconds, "rss_growth_mb": (after - before) / 1024}))


def in_child(tool, n):
    out = subprocess.run([sys.executable, __file__, "--child", tool, "--n", str(n)],
                         capture_output=True, text=True, check=True)
    return json.loads(out.stdout.strip().splitlines()[-1])


def cpu_name():
    try:
        with open("/proc/cpuinfo") as f:
            return next(line.split(":", 1)[1].strip() for line in f if line.startswith("model name"))
    except (OSError, StopIteration):
        return platform.processor()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--n", type=int, default=1_000_000)
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--skip-peer", action="store_true")
    ap.add_argument("--child")
    ap.add_argument("--out")
    args = ap.parse_args()
    if args.child:
        return child(args.child, args.n)

    res = fitted(args.n)
    call("margins", res)
    rows = {}
    for tool in ("mfx", "margins"):
        rows[tool] = {"seconds": best_time(tool, res, args.repeat), "traced_peak_mb": traced_peak(tool, res) / 2**20}
        rows[tool].update({"rss_growth_mb": in_child(tool, args.n)["rss_growth_mb"]})
    if not args.skip_peer:
        peer = in_child("marginaleffects", args.n)
        rows["marginaleffects"] = {"seconds": peer["seconds"], "traced_peak_mb": float("nan"),
                                   "rss_growth_mb": peer["rss_growth_mb"]}
    base = rows["margins"]["seconds"]
    lines = [f"# tarvex_margins at n = {args.n:,}", "",
             f"CPU: {cpu_name()} (one thread). Formula: `{FORMULA}` (probit; 8 variables, "
             f"{len(res.params)} design columns; 11 estimates).", "",
             "| tool | time (s) | time / margins | traced peak (MiB) | peak RSS growth (MiB) |",
             "|---|---:|---:|---:|---:|"]
    for tool, row in rows.items():
        lines.append(f"| {tool} | {row['seconds']:.3f} | {row['seconds'] / base:.2f} | "
                     f"{row['traced_peak_mb']:.0f} | {row['rss_growth_mb']:.0f} |")
    emit(lines, args.out)


def emit(lines, out=None):
    """Prints the report and writes it to `out` when given."""
    text = "\n".join(lines) + "\n"
    print(text)
    if out:
        with open(out, "w") as f:
            f.write(text)


if __name__ == "__main__":
    main()
