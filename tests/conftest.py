"""Shared test helpers: the check that the module under test is the installed
one, the panic class, a subprocess runner, the shape of a result table and
whether the suite runs under AddressSanitizer. Inputs (duck-typed models,
designs, memory layouts) are in models.py; the independent NumPy evaluation
of the formulas is in reference.py."""
import functools
import importlib.metadata
import importlib.util
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

TESTS = Path(__file__).resolve().parent

TABLE_COLUMNS = ["dy/dx", "Std. Err", "z", "Pr(>|z|)", "Conf. Int. Low", "Conf. Int. Hi",
                 "Significance"]


def installed_files():
    """The files the installed tarvex distribution records (empty if none)."""
    try:
        files = importlib.metadata.distribution("tarvex").files or []
    except importlib.metadata.PackageNotFoundError:
        return set()
    return {Path(f.locate()).resolve() for f in files}


def pytest_configure(config):
    # The tests are about the built wheel: a tarvex*.so (or a tarvex_margins
    # package) left in the source tree or the working directory, which
    # `python -m pytest` puts first on sys.path, would be tested instead.
    installed = installed_files()
    for module in ("tarvex", "tarvex_margins"):
        module_spec = importlib.util.find_spec(module)
        origin = module_spec.origin if module_spec is not None else None
        found = Path(origin).resolve() if origin else None
        if found not in installed:
            raise pytest.UsageError(
                f"{module} would be imported from {found}, not from the tarvex wheel "
                f"installed in {sys.prefix} ({len(installed)} files recorded). Remove the "
                "stray module, or install the wheel (bash tools/setup) and run "
                "bash tools/run-tests.")


@pytest.fixture(scope="session")
def panic_class():
    """The module's panic exception class, learnt from a call whose design has
    one name too few."""
    import tarvex
    from models import results

    try:
        tarvex.mfx(results("Logit", [[0.5, 1.5]], [0.1, 0.2], names=["a"]))
    except BaseException as e:  # noqa: BLE001 - the panic is what we want
        return type(e)
    pytest.fail("a design with a name missing did not panic")


def run_python(code=None, *, args=(), cwd=TESTS, env=None, timeout=120):
    """Runs a fresh interpreter on the program `code` (dedented), or with the
    command-line arguments `args` (e.g. -m mypy ...), beside the test helpers
    unless told otherwise, with the environment variables in `env` set (or
    removed, where None); returns the finished process (output as text)."""
    program = ["-c", textwrap.dedent(code)] if code is not None else []
    environ = dict(os.environ)
    for name, value in (env or {}).items():
        if value is None:
            environ.pop(name, None)
        else:
            environ[name] = value
    return subprocess.run([sys.executable, *program, *args], capture_output=True, text=True,
                          timeout=timeout, cwd=cwd, env=environ)


@functools.cache
def under_asan():
    """True when AddressSanitizer's runtime is loaded (tools/sanitize)."""
    try:
        with open("/proc/self/maps") as f:
            return "libasan" in f.read()
    except OSError:
        return False

