"""Hostile sizes: designs whose k × k state cannot be held raise MemoryError
and leave the process working; empty designs work."""
import math
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import tarvex
from conftest import TABLE_COLUMNS, under_asan
from models import DuckResults, duck_results

zero = np.zeros(1)


def zero_stride_model(k, names, sigma_k):
    """A 1 × k design, β and a Σ that are all views of one double."""
    return DuckResults("Logit", np.broadcast_to(zero, (1, k)), np.broadcast_to(zero, (k,)),
                       np.broadcast_to(zero, (sigma_k, sigma_k)), names)


def test_unallocatable_square_state_raises_memory_error_and_process_goes_on():
    with pytest.raises(MemoryError):
        tarvex.mfx(zero_stride_model(300_000, ["x"] * 300_000, 300_000))
    assert list(tarvex.mfx(duck_results("Probit", 10, 2, seed=1)).index) == ["x0", "x1"]


@pytest.mark.parametrize("chunk", [None, 1])
@pytest.mark.parametrize("kind", ["Logit", "Probit"])
def test_no_rows_and_no_columns(kind, chunk):
    table = tarvex.mfx(DuckResults(kind, np.empty((0, 0)), np.empty(0), np.empty((0, 0)), []),
                       chunk)
    assert list(table.columns) == TABLE_COLUMNS
    assert len(table) == 0


SUBPROCESS_PRELUDE = """
import resource, numpy as np, tarvex
def vm_size():
    for line in open("/proc/self/status"):
        if line.startswith("VmSize:"):
            return int(line.split()[1]) * 1024
# A safety net: whatever happens, this process cannot take more than 1.5 GiB
# beyond what it has mapped now.
limit = vm_size() + (3 << 29)
resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
zero = np.zeros(1)
class R:
    def __init__(self, k):
        self.model = type("Logit", (), {})()
        self.model.exog = np.broadcast_to(zero, (1, k))
        self.model.exog_names = ["x"] * k
        self.params = np.broadcast_to(zero, (k,))
        self.sigma = np.broadcast_to(zero, (k, k))
    def cov_params(self):
        return self.sigma
def small_call_works():
    X = np.random.default_rng(0).normal(size=(8, 2))
    m = R(2); m.model.exog = X; m.model.exog_names = ["a", "b"]; m.params = np.ones(2)
    m.sigma = np.eye(2)
    return list(tarvex.mfx(m).index) == ["a", "b"]
"""


def run_isolated(body):
    code = SUBPROCESS_PRELUDE + textwrap.dedent(body)
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          timeout=120, cwd=os.path.dirname(__file__))
    assert done.returncode == 0, done.stderr
    return done.stdout


def physical_memory():
    return os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(not os.path.exists("/proc/self/status"), reason="needs /proc")
def test_square_state_beyond_physical_memory_refused_before_allocating():
    # Four k × k matrices of doubles just beyond the machine's memory: the
    # allocator could grant them (memory is overcommitted), but filling them
    # would get the process killed.
    k = math.isqrt(physical_memory() // 32) + 1
    out = run_isolated(f"""
        try:
            tarvex.mfx(R({k}))
        except MemoryError as e:
            print("MemoryError", e)
        print(small_call_works())
    """)
    first, second = out.splitlines()
    assert first.startswith(f"MemoryError mfx: {k} columns need ")
    assert second == "True"


@pytest.mark.skipif(not os.path.exists("/proc/self/status"), reason="needs /proc")
def test_failed_allocation_of_accumulators_raises_memory_error():
    if under_asan():
        pytest.skip("AddressSanitizer ends the process when operator new fails")
    # k = 20000 passes the physical-memory check on most machines, but the
    # address-space limit makes the first k × k allocation (3.2 GB) fail.
    if 4 * 8 * 20_000 ** 2 > physical_memory():
        pytest.skip("machine too small to get past the physical-memory check")
    out = run_isolated("""
        try:
            tarvex.mfx(R(20_000))
        except MemoryError as e:
            print("MemoryError", repr(str(e)))
        print(small_call_works())
    """)
    assert out.splitlines() == ["MemoryError ''", "True"]
