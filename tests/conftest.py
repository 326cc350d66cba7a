"""Shared test helpers: the shape of a result table and whether the suite runs
under AddressSanitizer. Duck-typed models are in models.py."""
import functools

TABLE_COLUMNS = ["dy/dx", "Std. Err", "z", "Pr(>|z|)", "Conf. Int. Low", "Conf. Int. Hi",
                 "Significance"]


@functools.cache
def under_asan():
    """True when AddressSanitizer's runtime is loaded (tools/sanitize)."""
    try:
        with open("/proc/self/maps") as f:
            return "libasan" in f.read()
    except OSError:
        return False


def run_python(code, timeout=120):
    """Runs `code` in a fresh interpreter beside the test helpers; returns the
    CompletedProcess (stdout and stderr as text)."""
    import os
    import subprocess
    import sys
    import textwrap
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=timeout,
                          cwd=os.path.dirname(os.path.abspath(__file__)))
