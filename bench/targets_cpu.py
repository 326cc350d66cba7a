"""tarvex.mfx beside one-thread X @ β by thread CPU time, for the targets.

On a machine shared with other jobs, wall-clock times of 10-50 ms calls vary
by up to 2× between runs (bench/run_bench.py reports them); the CPU time of
the calling thread counts only the time it ran. Both calls here run on the
calling thread (tarvex is single-threaded; BLAS is limited to one thread), so
their ratio is the targets' ratio. Designs of bench/run_bench.py: n = 1e6,
k = 20, F-ordered X, se_method="sm"; Probit and Logit with 5 dummies, Probit
without. The calls alternate; medians and minima over the rounds.

With --against, another build's module (a tarvex*.so file, or a directory
holding one: a former wheel's, unpacked) is loaded beside the installed one
and timed in the same turns, so that before and after come from one run.

    python bench/targets_cpu.py [--rounds 21] [--against DIR_OR_SO]
"""
import argparse
import importlib.util
import os
import statistics
import sys
import time

import numpy as np
from threadpoolctl import threadpool_limits

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from run_bench import fit, make_design  # noqa: E402

import tarvex  # noqa: E402


def cpu_ms(call):
    start = time.thread_time_ns()
    call()
    return (time.thread_time_ns() - start) / 1e6


def load_other_build(path):
    """The tarvex module of another build, under its own module object."""
    if os.path.isdir(path):
        path = next(os.path.join(path, f) for f in sorted(os.listdir(path))
                    if f.startswith("tarvex.") and f.endswith(".so"))
    saved = sys.modules.pop("tarvex")
    try:
        found = importlib.util.spec_from_file_location("tarvex", path)
        module = importlib.util.module_from_spec(found)
        found.loader.exec_module(module)
    finally:
        sys.modules["tarvex"] = saved
    return module


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--rounds", type=int, default=21)
    ap.add_argument("--against", help="another build's tarvex module (file or directory)")
    args = ap.parse_args()
    builds = {"tarvex": tarvex}
    if args.against:
        builds["other build"] = load_other_build(args.against)
    cpu = next((line.split(":", 1)[1].strip() for line in open("/proc/cpuinfo")
                if line.startswith("model name")), "?")
    print(f"{cpu}, thread CPU time, {args.rounds} rounds, ISA level "
          f"{os.environ.get('TARVEX_ISA_LEVEL', 'widest')}")
    targets = {("Probit", 0.25): 3.0, ("Logit", 0.25): 3.5, ("Probit", 0.0): 1.4}
    for (kind, share), target in targets.items():
        X, beta, names, _, rng = make_design(10**6, 20, share, "F")
        res = fit(kind, X, beta, names, rng)
        X, beta = res.model.exog, np.asarray(res.params)
        for module in builds.values():
            module.mfx(res, se_method="sm")
        times = {name: [] for name in [*builds, "X @ β"]}
        with threadpool_limits(limits=1, user_api="blas"):
            for _ in range(args.rounds):
                for name, module in builds.items():
                    times[name].append(cpu_ms(lambda: module.mfx(res, se_method="sm")))
                times["X @ β"].append(cpu_ms(lambda: X @ beta))
        med = {k: statistics.median(v) for k, v in times.items()}
        best = {k: min(v) for k, v in times.items()}
        parts = [f"{name} {med[name]:.1f} ms (min {best[name]:.1f}, ratio "
                 f"{med[name] / med['X @ β']:.2f}×)" for name in builds]
        print(f"{kind}, {round(share * 20)} dummies: X @ β {med['X @ β']:.1f} ms "
              f"(min {best['X @ β']:.1f}); " + "; ".join(parts) + f"; target ≤ {target}×")


if __name__ == "__main__":
    main()
