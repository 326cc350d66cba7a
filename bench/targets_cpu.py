"""tarvex.mfx beside one-thread X @ β by thread CPU time, for the targets.

On a machine shared with other jobs, wall-clock times of 10-50 ms calls vary
by up to 2× between runs (bench/run_bench.py reports them); the CPU time of
the calling thread counts only the time it ran. Both calls here run on the
calling thread (tarvex is single-threaded; BLAS is limited to one thread), so
their ratio is the targets' ratio. Designs of bench/run_bench.py: n = 1e6,
k = 20, F-ordered X, se_method="sm"; Probit and Logit with 5 dummies, Probit
without. The calls alternate; medians and minima over the rounds.

    python bench/targets_cpu.py [--rounds 21]
"""
import argparse
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


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--rounds", type=int, default=21)
    args = ap.parse_args()
    cpu = next((line.split(":", 1)[1].strip() for line in open("/proc/cpuinfo")
                if line.startswith("model name")), "?")
    print(f"{cpu}, thread CPU time, {args.rounds} rounds, ISA level "
          f"{os.environ.get('TARVEX_ISA_LEVEL', 'widest')}")
    targets = {("Probit", 0.25): 3.0, ("Logit", 0.25): 3.5, ("Probit", 0.0): 1.4}
    for (kind, share), target in targets.items():
        X, beta, names, _, rng = make_design(10**6, 20, share, "F")
        res = fit(kind, X, beta, names, rng)
        X, beta = res.model.exog, np.asarray(res.params)
        tarvex.mfx(res, se_method="sm")
        times = {"tarvex": [], "X @ β": []}
        with threadpool_limits(limits=1, user_api="blas"):
            for _ in range(args.rounds):
                times["tarvex"].append(cpu_ms(lambda: tarvex.mfx(res, se_method="sm")))
                times["X @ β"].append(cpu_ms(lambda: X @ beta))
        med = {k: statistics.median(v) for k, v in times.items()}
        best = {k: min(v) for k, v in times.items()}
        print(f"{kind}, {round(share * 20)} dummies: tarvex {med['tarvex']:.1f} ms "
              f"(min {best['tarvex']:.1f}), X @ β {med['X @ β']:.1f} ms "
              f"(min {best['X @ β']:.1f}); ratio {med['tarvex'] / med['X @ β']:.2f}× "
              f"(of minima {best['tarvex'] / best['X @ β']:.2f}×; target ≤ {target}×)")


if __name__ == "__main__":
    main()
