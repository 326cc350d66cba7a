"""The link functions divide by √2 and √(2π) with two fused multiply-adds in
place of a division instruction (engine/constant_division.hpp). The quotient
must be the division's, bit for bit, for every double: the check program
compares the two over random bit patterns, the edges of the range where the
multiply-adds are used, and the special values, for each instruction-set
level the engine is compiled for.
"""
import os
import pathlib
import shutil
import subprocess

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
CHECK = ROOT / "tests" / "engine" / "constant_division_check.cpp"
CXX = shutil.which(os.environ.get("CXX", "g++"))


def cpu_flags():
    try:
        text = pathlib.Path("/proc/cpuinfo").read_text()
    except OSError:
        return set()
    for line in text.splitlines():
        if line.startswith("flags"):
            return set(line.split(":", 1)[1].split())
    return set()


LEVELS = {
    "base": ([], set()),
    "avx2": (["-mavx2", "-mfma"], {"avx2", "fma"}),
    "avx512": (["-mavx512f", "-mavx512dq", "-mfma"], {"avx512f", "avx512dq", "fma"}),
}


@pytest.mark.skipif(CXX is None, reason="needs a C++ compiler")
@pytest.mark.parametrize("level", LEVELS)
def test_division_by_a_constant_equals_the_division(level, tmp_path):
    flags, needs = LEVELS[level]
    if not needs <= cpu_flags():
        pytest.skip(f"this CPU lacks {sorted(needs - cpu_flags())}")
    exe = tmp_path / "check"
    subprocess.run([CXX, "-std=c++20", "-O3", "-ffp-contract=off", *flags,
                    f"-I{ROOT / 'src'}", str(CHECK), "-o", str(exe)], check=True)
    run = subprocess.run([str(exe), "200000", "3"], capture_output=True, text=True)
    assert run.returncode == 0, run.stdout + run.stderr
    assert run.stdout.startswith("checked "), run.stdout
    assert int(run.stdout.split()[1]) > 20_000_000
