"""The module's surface and the error boundary."""
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import tarvex
from models import results

DOC_BODY = (
    "Computes the average marginal effects (AMEs) for Logit/Probit models.\n"
    "\n"
    "This function mimics the style of the original Probit code, but with a twist:  \n"
    "you can choose between two methods for calculating the standard errors (SEs):\n"
    "\n"
    '- "rust": Uses the original gradient (Jacobian) calculation based on per-observation effects.\n'
    '- "sm": Uses a statsmodels-style gradient for continuous variables.\n'
    "\n"
    "The function accepts a model (Logit or Probit), an optional chunk size (to process data in parts),\n"
    'and an optional `se_method` string which defaults to "rust".'
)


def run_python(code):
    # Run beside this file so that the test helpers import.
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=120,
                          cwd=os.path.dirname(os.path.abspath(__file__)))


def test_surface():
    assert tarvex.__all__ == ["mfx"]
    assert tarvex.__doc__ == ""
    assert tarvex.mfx.__name__ == "mfx"
    assert tarvex.mfx.__module__ == "tarvex"
    assert tarvex.mfx.__self__ is tarvex
    assert tarvex.mfx.__text_signature__ == "(model, chunk_size=..., se_method=...)"
    assert tarvex.mfx.__doc__ == DOC_BODY
    public = {name for name in vars(tarvex) if not name.startswith("__")}
    assert public == {"mfx"}


def test_import_starts_no_thread_and_imports_neither_numpy_nor_pandas():
    out = run_python("""
        import os, sys
        before = len(os.listdir('/proc/self/task'))
        import tarvex
        after = len(os.listdir('/proc/self/task'))
        print(before, after, 'numpy' in sys.modules, 'pandas' in sys.modules)
    """)
    assert out.returncode == 0, out.stderr
    before, after, numpy_loaded, pandas_loaded = out.stdout.split()
    assert before == after
    assert numpy_loaded == pandas_loaded == "False"


def test_second_initialisation_is_refused():
    out = run_python("""
        import sys, tarvex
        first = tarvex
        import tarvex
        assert tarvex is first
        del sys.modules['tarvex']
        try:
            import tarvex
        except ImportError as e:
            print('ImportError:', e)
    """)
    assert out.returncode == 0, out.stderr
    assert "ImportError:" in out.stdout
    assert "only be initialized once per interpreter process" in out.stdout


def mismatched_names_model():
    # Three columns, two names, none of them an intercept.
    X = np.array([[0.3, 1.2, 2.0], [0.1, -0.4, 1.5], [2.0, 0.5, -1.0]])
    return results("Logit", X, [0.1, 0.2, 0.3], names=["a", "b"])


def test_panic_is_a_base_exception_with_its_message_and_one_class():
    caught = []
    for _ in range(2):
        with pytest.raises(BaseException) as info:
            try:
                tarvex.mfx(mismatched_names_model())
            except Exception:  # must not catch the panic
                pytest.fail("the panic exception was caught as an Exception")
        caught.append(info.value)
    first, second = caught
    assert type(first).__name__ == "PanicException"
    assert not isinstance(first, Exception)
    assert type(first) is type(second)
    assert str(first) == "index out of bounds: the len is 2 but the index is 2"
    assert first.args == ("index out of bounds: the len is 2 but the index is 2",)
    # The interpreter and the module go on working.
    ok = tarvex.mfx(results("Logit", [[0.5, 1.0], [1.5, 0.0], [-1.0, 1.0]], [0.2, 0.4]))
    assert list(ok.index) == ["x0", "x1"]


def test_exception_of_the_model_passes_unchanged_with_traceback():
    class Broken:
        model = type("Logit", (), {})()

        @property
        def params(self):
            raise RuntimeError("no params here")

    with pytest.raises(RuntimeError, match="no params here") as info:
        tarvex.mfx(Broken())
    frames = [entry.name for entry in info.traceback]
    assert "params" in frames


def test_panic_coming_back_from_python_is_resumed():
    try:
        tarvex.mfx(mismatched_names_model())
    except BaseException as e:  # noqa: B036 - the panic derives from BaseException
        panic = e
    panic_class = type(panic)

    model = results("Probit", [[0.5], [1.5]], [0.3])

    def cov_params():
        raise panic_class("raised again from Python")

    model.cov_params = cov_params
    with pytest.raises(panic_class) as info:
        tarvex.mfx(model)
    # The value fetched from Python is an exception instance: its message is kept.
    assert str(info.value) == "raised again from Python"


def test_missing_pandas_raises_module_not_found():
    out = run_python("""
        import sys
        from models import results
        sys.modules['pandas'] = None
        import tarvex
        try:
            tarvex.mfx(results('Logit', [[0.5], [1.5]], [0.3]))
        except ModuleNotFoundError as e:
            print('ModuleNotFoundError')
    """)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "ModuleNotFoundError"
