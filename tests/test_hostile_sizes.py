"""Hostile sizes: designs whose k × k state cannot be held raise MemoryError
and leave the process working."""
import os
import textwrap

import pytest

import tarvex
from conftest import run_python, under_asan
from models import design, k_beyond_memory, physical_memory, zero_stride_model


def test_unallocatable_square_state_raises_memory_error_and_process_goes_on():
    with pytest.raises(MemoryError):
        tarvex.mfx(zero_stride_model(k_beyond_memory()))
    assert list(tarvex.mfx(design("Probit", 10, 2, seed=1)).index) == ["c0", "c1"]


SUBPROCESS_PRELUDE = """
import resource, tarvex
from models import design, zero_stride_model
def vm_size():
    for line in open("/proc/self/status"):
        if line.startswith("VmSize:"):
            return int(line.split()[1]) * 1024
# A safety net: whatever happens, this process cannot take more than 1.5 GiB
# beyond what it has mapped now.
limit = vm_size() + (3 << 29)
resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
def small_call_works():
    return list(tarvex.mfx(design("Logit", 8, 2, seed=0)).index) == ["c0", "c1"]
"""


def run_isolated(body):
    done = run_python(SUBPROCESS_PRELUDE + textwrap.dedent(body))
    assert done.returncode == 0, done.stderr
    return done.stdout


@pytest.mark.skipif(not os.path.exists("/proc/self/status"), reason="needs /proc")
def test_square_state_beyond_physical_memory_refused_before_allocating():
    # One k × k matrix of doubles is already beyond the machine's memory (the
    # pass holds several): the allocator could grant them (memory is
    # overcommitted), but filling them would get the process killed.
    k = k_beyond_memory()
    out = run_isolated(f"""
        try:
            tarvex.mfx(zero_stride_model({k}))
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
            tarvex.mfx(zero_stride_model(20_000))
        except MemoryError as e:
            print("MemoryError", repr(str(e)))
        print(small_call_works())
    """)
    assert out.splitlines() == ["MemoryError ''", "True"]
