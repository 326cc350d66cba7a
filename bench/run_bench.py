"""Side-by-side benchmark of tarvex.mfx.

For every design (model kind, n rows, k regressors of which a quarter are 0/1
dummies, C- or F-ordered X) it fits one statsmodels model and times, in this
process, on that same fitted model:

  tarvex rust   tarvex.mfx(res)                       (se_method="rust")
  tarvex sm     tarvex.mfx(res, se_method="sm")
  statsmodels   res.get_margeff(at="overall", method="dydx", dummy=True)
  numpy         bench/numpy_mfx.py, the same formulas in vectorised NumPy/SciPy
  floor         X @ beta, one pass over the same X (NumPy's BLAS threads)
  floor 1T      the same on one thread (threadpoolctl), like tarvex

statsmodels is run only where its time, extrapolated linearly in n from the
previous size, stays under --sm-limit seconds; larger sizes are marked
skipped. Each time is the best of a few repetitions. The peak extra resident
memory of one call (VmHWM after resetting it through /proc/self/clear_refs,
minus the resident size before the call) is reported next to the size of X.

Writes bench/results/<name>.md (tables and target ratios) and
bench/results/<name>.png (time against n, log-log, one line per tool).

    python bench/run_bench.py                    # the full grid (long: ~30 min)
    python bench/run_bench.py --quick            # n <= 1e6, k = 20
    python bench/run_bench.py --n 1e6 --k 20 --kind Probit --order F
"""
import argparse
import ctypes
import ctypes.util
import datetime
import gc
import os
import platform
import sys
import time
import warnings

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from numpy_mfx import numpy_mfx  # noqa: E402

import statsmodels.api as sm  # noqa: E402
import tarvex  # noqa: E402

TOOLS = ["tarvex rust", "tarvex sm", "statsmodels", "numpy", "floor", "floor 1T"]

try:
    from threadpoolctl import threadpool_limits
except ImportError:  # the one-thread floor is then left out
    threadpool_limits = None


def one_thread_floor(X, params, repeat):
    """Best time of X @ params with BLAS limited to one thread (None without
    threadpoolctl). The limit is set once, outside the timed calls."""
    if threadpool_limits is None:
        return None
    with threadpool_limits(limits=1, user_api="blas"):
        return best_times({"floor 1T": lambda: X @ params}, repeat)["floor 1T"]


MIB = 1024.0 * 1024.0


# ---------------------------------------------------------------- measurement

def _status_kib(field):
    with open("/proc/self/status") as fh:
        for line in fh:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return None


def _trim_heap():
    """Returns freed heap pages to the system, so the resident size before a
    call is its true baseline."""
    try:
        ctypes.CDLL(ctypes.util.find_library("c")).malloc_trim(0)
    except (OSError, AttributeError):
        pass


def peak_extra_mib(fn):
    """Peak resident memory added while fn() runs, in MiB (None if unknown)."""
    gc.collect()
    _trim_heap()
    try:
        with open("/proc/self/clear_refs", "w") as fh:
            fh.write("5")  # resets VmHWM to the current resident size
    except OSError:
        return None
    before = _status_kib("VmRSS")
    fn()
    peak = _status_kib("VmHWM")
    if before is None or peak is None:
        return None
    return max(peak - before, 0) / 1024.0


def best_times(calls, repeat, budget=20.0):
    """Best time of each call over `repeat` rounds; the calls take turns within
    a round, so that a busy machine slows all of them alike. Stops after the
    round in which `budget` seconds were spent."""
    best = {name: float("inf") for name in calls}
    spent = 0.0
    for _ in range(repeat):
        for name, fn in calls.items():
            t0 = time.perf_counter()
            fn()
            dt = time.perf_counter() - t0
            best[name] = min(best[name], dt)
            spent += dt
        if spent > budget:
            break
    return best


# ---------------------------------------------------------------- designs

def make_design(n, k, binary_share, order, seed=0):
    """const, continuous N(0,1) columns, then round(k·share) 0/1 columns."""
    rng = np.random.default_rng(seed)
    nb = int(round(k * binary_share))
    nc = k - 1 - nb
    X = np.empty((n, k), order=order)
    X[:, 0] = 1.0
    X[:, 1:1 + nc] = rng.standard_normal((n, nc))
    X[:, 1 + nc:] = rng.integers(0, 2, size=(n, nb))
    names = ["const"] + [f"x{j}" for j in range(1, 1 + nc)] + [f"d{j}" for j in range(nb)]
    beta = rng.normal(0.0, 0.5 / np.sqrt(k), size=k)
    beta[0] = 0.2
    return X, beta, names, nb, rng


def fit(kind, X, beta, names, rng):
    """A statsmodels results object on X, kept in its memory order.

    The outcome is drawn from the model; Newton's method starts at the true
    coefficients, so one or two iterations reach the optimum."""
    xb = X @ beta
    if kind == "Logit":
        y = (rng.random(X.shape[0]) < 1.0 / (1.0 + np.exp(-xb))).astype(float)
        model = sm.Logit(y, X)
    else:
        y = (xb + rng.standard_normal(X.shape[0]) > 0).astype(float)
        model = sm.Probit(y, X)
    model.exog_names[:] = names
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        res = model.fit(start_params=beta, method="newton", maxiter=2, disp=0)
    assert res.model.exog is X or np.shares_memory(res.model.exog, X)
    return res


# ---------------------------------------------------------------- one design

def run_design(kind, n, k, order, share, args, sm_estimate):
    X, beta, names, nb, rng = make_design(n, k, share, order)
    res = fit(kind, X, beta, names, rng)
    X = res.model.exog
    params = np.asarray(res.params)
    cov = np.asarray(res.cov_params())
    x_mib = X.nbytes / MIB
    row = {"kind": kind, "n": n, "k": k, "nb": nb, "order": order, "X MiB": x_mib}

    calls = {
        "tarvex rust": lambda: tarvex.mfx(res),
        "tarvex sm": lambda: tarvex.mfx(res, se_method="sm"),
        "numpy": lambda: numpy_mfx(kind, X, params, cov, names),
        "floor": lambda: X @ params,
    }
    calls["tarvex sm"]()  # first call: loads pandas' DataFrame machinery
    row.update(best_times(calls, args.repeat))
    row["floor 1T"] = one_thread_floor(X, params, args.repeat)
    row["mem tarvex sm"] = peak_extra_mib(calls["tarvex sm"])
    row["mem numpy"] = peak_extra_mib(calls["numpy"]) if n * k <= 2e8 else None

    # Same numbers: tarvex "sm" against the NumPy version.
    tab = tarvex.mfx(res, se_method="sm")
    _, ame, se = numpy_mfx(kind, X, params, cov, names)
    row["max rel diff"] = float(max(
        np.max(np.abs(tab["dy/dx"].to_numpy() - ame) / np.abs(ame)),
        np.max(np.abs(tab["Std. Err"].to_numpy() - se) / np.abs(se))))

    key = (kind, k, order, share)
    estimate = sm_estimate.get(key, 0.0) * n
    # get_margeff's memory grows as n·k² doubles (20 GB at n = 1e6, k = 50).
    sm_bytes = 8.0 * n * k * k
    if args.no_statsmodels or estimate > args.sm_limit or sm_bytes > args.sm_mem_gb * 1e9:
        row["statsmodels"] = None
    else:
        def margeff():
            return res.get_margeff(at="overall", method="dydx", dummy=True).margeff_se
        t = best_times({"sm": margeff}, args.repeat if n <= 10**5 else 1,
                       budget=args.sm_limit)["sm"]
        row["statsmodels"] = t
        sm_estimate[key] = t / n
    return row


# ---------------------------------------------------------------- output

def fmt_time(t):
    if t is None:
        return "skipped"
    if t < 1e-3:
        return f"{t * 1e6:.0f} µs"
    if t < 1.0:
        return f"{t * 1e3:.1f} ms"
    return f"{t:.2f} s"


def fmt_ratio(a, b):
    return "–" if a is None or b is None else f"{a / b:.1f}×"


def fmt_mib(v):
    return "–" if v is None else f"{v:.1f}"


def table(rows):
    head = ("| kind | n | k | bin | X | tarvex rust | tarvex sm | statsmodels | numpy | "
            "X @ β | X @ β 1T | sm/tarvex | numpy/tarvex | tarvex/floor | tarvex/floor 1T | "
            "X MiB | peak extra MiB tarvex | numpy | max rel diff |")
    lines = [head, "|" + "---|" * (head.count("|") - 1)]
    for r in rows:
        t = r["tarvex sm"]
        lines.append(
            f"| {r['kind']} | {r['n']:.0e} | {r['k']} | {r['nb']} | {r['order']} | "
            f"{fmt_time(r['tarvex rust'])} | {fmt_time(t)} | {fmt_time(r['statsmodels'])} | "
            f"{fmt_time(r['numpy'])} | {fmt_time(r['floor'])} | {fmt_time(r['floor 1T'])} | "
            f"{fmt_ratio(r['statsmodels'], t)} | {fmt_ratio(r['numpy'], t)} | "
            f"{fmt_ratio(t, r['floor'])} | {fmt_ratio(t, r['floor 1T'])} | "
            f"{r['X MiB']:.0f} | {fmt_mib(r['mem tarvex sm'])} | "
            f"{fmt_mib(r['mem numpy'])} | {r['max rel diff']:.1e} |")
    return "\n".join(lines)


def plot(rows, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    panels = sorted({(r["kind"], r["k"]) for r in rows})
    fig, axes = plt.subplots(1, len(panels), figsize=(4.5 * len(panels), 4), squeeze=False)
    colors = dict(zip(TOOLS, ["C0", "C1", "C3", "C2", "k", "0.5"]))
    for ax, (kind, k) in zip(axes[0], panels):
        for order, style in (("F", "-"), ("C", "--")):
            sel = sorted((r for r in rows if (r["kind"], r["k"], r["order"]) == (kind, k, order)
                          and r["nb"] > 0), key=lambda r: r["n"])
            if not sel:
                continue
            for tool in TOOLS:
                pts = [(r["n"], r[tool]) for r in sel if r[tool] is not None]
                if pts:
                    ax.plot(*zip(*pts), style, marker="o", ms=3, color=colors[tool],
                            label=f"{tool} ({order})")
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.set_xlabel("n (rows)")
        ax.set_ylabel("seconds")
        ax.set_title(f"{kind}, k = {k}")
        ax.grid(True, which="both", alpha=0.3)
    axes[0][-1].legend(fontsize=7, loc="upper left")
    fig.tight_layout()
    fig.savefig(path, dpi=110)


def targets(rows):
    """The target ratios of the reference configuration, when it was run."""
    def find(**kw):
        for r in rows:
            if all(r[a] == b for a, b in kw.items()):
                return r
        return None

    out = []
    ref = find(kind="Probit", n=10**6, k=20, order="F", nb=5)
    if ref:
        t = ref["tarvex sm"]
        out.append(f"- statsmodels / tarvex sm: {fmt_ratio(ref['statsmodels'], t)} (target ≥ 500×)")
        out.append(f"- numpy / tarvex sm: {fmt_ratio(ref['numpy'], t)} (target ≥ 10×)")
        out.append(f"- tarvex sm / (X @ β): {fmt_ratio(t, ref['floor'])}; against X @ β on one "
                   f"thread: {fmt_ratio(t, ref['floor 1T'])} (target ≤ 3× one thread)")
    logit = find(kind="Logit", n=10**6, k=20, order="F", nb=5)
    if logit:
        out.append(f"- Logit, 5 dummies, tarvex sm / (X @ β) on one thread: "
                   f"{fmt_ratio(logit['tarvex sm'], logit['floor 1T'])} (target ≤ 3.5×)")
    nob = find(kind="Probit", n=10**6, k=20, order="F", nb=0)
    if nob:
        out.append(f"- no dummies, tarvex sm / (X @ β): "
                   f"{fmt_ratio(nob['tarvex sm'], nob['floor'])}; one thread: "
                   f"{fmt_ratio(nob['tarvex sm'], nob['floor 1T'])} (target ≤ 1.4× one thread)")
    lin = sorted((r for r in rows if (r["kind"], r["k"], r["order"], r["nb"]) ==
                  ("Probit", 20, "F", 5)), key=lambda r: r["n"])
    if len(lin) > 1:
        per_row = ", ".join(f"n={r['n']:.0e}: {r['tarvex sm'] / r['n'] * 1e9:.1f} ns/row"
                            for r in lin)
        out.append(f"- time per row (Probit, k=20, F): {per_row}")
    byk = sorted((r for r in rows if (r["kind"], r["n"], r["order"]) == ("Probit", 10**6, "F")
                  and r["nb"] > 0), key=lambda r: r["k"])
    if len(byk) > 1:
        cost = ", ".join(
            f"k={r['k']}: {r['tarvex sm'] / (r['n'] * r['k'] * (r['nb'] + 2)) * 1e9:.2f} ns"
            for r in byk)
        out.append(f"- time / (n·k·(dummies + 2)) (Probit, n=1e6, F): {cost}")
    big = [r for r in rows if r["n"] >= 10**7 and r["k"] == 20 and r["mem tarvex sm"] is not None]
    for r in big:
        out.append(f"- peak extra memory, {r['kind']} n={r['n']:.0e} k=20 {r['order']}: "
                   f"{r['mem tarvex sm']:.1f} MiB for X of {r['X MiB']:.0f} MiB (target ≤ 32 MiB)")
    return "\n".join(out)


# ---------------------------------------------------------------- main

def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--n", nargs="+", type=float, default=[1e4, 1e5, 1e6, 1e7])
    ap.add_argument("--k", nargs="+", type=int, default=[10, 20, 50])
    ap.add_argument("--kind", nargs="+", default=["Probit", "Logit"])
    ap.add_argument("--order", nargs="+", default=["F", "C"])
    ap.add_argument("--repeat", type=int, default=5)
    ap.add_argument("--sm-limit", type=float, default=60.0,
                    help="skip statsmodels where it would take longer (seconds)")
    ap.add_argument("--sm-mem-gb", type=float, default=4.0,
                    help="skip statsmodels where n·k² doubles exceed this many GB")
    ap.add_argument("--no-statsmodels", action="store_true")
    ap.add_argument("--quick", action="store_true", help="n ≤ 1e6, k = 20")
    ap.add_argument("--max-elements", type=float, default=None,
                    help="leave out designs whose X has more elements (n·k) than this")
    ap.add_argument("--name", default=None, help="results file name (default: a timestamp)")
    args = ap.parse_args()
    if args.quick:
        args.n = [n for n in args.n if n <= 1e6]
        args.k = [20]

    name = args.name or datetime.datetime.now().strftime("bench-%Y%m%d-%H%M%S")
    rows = []
    sm_estimate = {}
    designs = [(kind, k, order, 0.25) for kind in args.kind for k in args.k for order in args.order]
    # The no-dummy reference design for the "≤ 2× the floor" target.
    if "Probit" in args.kind and 20 in args.k and "F" in args.order and 1e6 in args.n:
        designs.append(("Probit", 20, "F", 0.0))
    for kind, k, order, share in designs:
        ns = args.n if share > 0 else [1e6]
        for n in sorted(int(v) for v in ns):
            if args.max_elements and n * k > args.max_elements:
                print(f"left out: {kind} n={n:.0e} k={k} {order} (--max-elements)", flush=True)
                continue
            row = run_design(kind, n, k, order, share, args, sm_estimate)
            rows.append(row)
            print(table([row]).splitlines()[-1], flush=True)
            write_results(rows, args, name)

    write_results(rows, args, name, final=True)


def write_results(rows, args, name, final=False):
    outdir = os.path.join(os.path.dirname(os.path.abspath(__file__)), "results")
    os.makedirs(outdir, exist_ok=True)
    cpu = next((line.split(":", 1)[1].strip() for line in open("/proc/cpuinfo")
                if line.startswith("model name")), platform.processor())
    md = [f"# tarvex benchmark {name}", "",
          f"{cpu}, {os.cpu_count()} cores, Python {platform.python_version()}, "
          f"NumPy {np.__version__}, statsmodels {sm.__version__}. "
          f"Best of {args.repeat} runs (statsmodels: 1 run above n = 1e5); "
          f"statsmodels skipped where its extrapolated time exceeds {args.sm_limit:.0f} s "
          f"or n·k² doubles exceed {args.sm_mem_gb:g} GB.",
          "Ratios are against `tarvex sm`. Peak extra memory: resident-set high-water "
          "mark of one call above the resident size before it.", "",
          table(rows), "", "## Targets", "", targets(rows), ""]
    md_path = os.path.join(outdir, name + ".md")
    with open(md_path, "w") as fh:
        fh.write("\n".join(md))
    if final:
        plot(rows, os.path.join(outdir, name + ".png"))
        print("\n" + targets(rows))
        print(f"\nwritten {md_path} and .png")


if __name__ == "__main__":
    main()
