"""The installed type stub: mypy reads it from site-packages and it matches the module."""
import importlib.metadata
import re
import textwrap

import pytest

from conftest import run_python

pytest.importorskip("mypy", reason="mypy is part of the test extra")
try:
    importlib.metadata.version("pandas-stubs")
except importlib.metadata.PackageNotFoundError:
    pytest.fail("pandas-stubs (test extra) is needed for mypy to see DataFrame", pytrace=False)

# Each line marked "# E" must draw exactly one mypy error and no other line any.
SNIPPET = textwrap.dedent(
    """\
    from typing_extensions import assert_type

    import numpy as np
    import pandas as pd

    import tarvex

    result: object = object()
    assert_type(tarvex.mfx(result), pd.DataFrame)
    assert_type(tarvex.mfx(result, 1000, "sm"), pd.DataFrame)
    tarvex.mfx(model=result, chunk_size=None, se_method=None)
    tarvex.mfx(result, chunk_size=np.int64(7), se_method="rust")
    tarvex.mfx(result, chunk_size=True)
    tarvex.mfx()  # E
    tarvex.mfx(result, chunk_size=2.5)  # E
    tarvex.mfx(result, chunk_size="10")  # E
    tarvex.mfx(result, se_method="SM")  # E
    tarvex.mfx(result, se_method=b"sm")  # E
    tarvex.mfx(result, 10, "sm", 4)  # E
    tarvex.mfx(result, chunksize=10)  # E
    wrong: int = tarvex.mfx(result)  # E
    tarvex.PanicException  # E
    """
)


def run_mypy(tmp_path, *args):
    # Run outside the source tree, so that the stub comes from site-packages.
    return run_python(args=["-m", "mypy", "--cache-dir", str(tmp_path / "cache"), *args],
                      cwd=tmp_path, timeout=600)


def test_mypy_checks_calls_against_the_installed_stub(tmp_path):
    (tmp_path / "snippet.py").write_text(SNIPPET)
    proc = run_mypy(tmp_path, "--strict", "--no-error-summary", "snippet.py")
    assert "Cannot find implementation or library stub" not in proc.stdout, proc.stdout
    expected = {i for i, line in enumerate(SNIPPET.splitlines(), 1) if line.endswith("# E")}
    flagged = {int(m.group(1)) for m in re.finditer(r"^snippet\.py:(\d+): error:", proc.stdout, re.M)}
    assert flagged == expected, proc.stdout
    # One error per marked line: the stub, not an unrelated failure, decides each one.
    assert len(re.findall(r"^snippet\.py:\d+: error:", proc.stdout, re.M)) == len(expected), proc.stdout


def test_stubtest_finds_the_stub_consistent_with_the_module(tmp_path):
    # stubtest imports the compiled module and compares every name and the
    # text signature of mfx with the stub.
    proc = run_python(args=["-m", "mypy.stubtest", "tarvex"], cwd=tmp_path, timeout=600)
    assert proc.returncode == 0, proc.stdout + proc.stderr
