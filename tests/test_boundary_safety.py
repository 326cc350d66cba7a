"""Hostile callers: Python code run by the model's attributes frees buffers,
raises interrupts or exits, poisons NumPy's table; Ctrl-C during the pass.
Each gets a correct table or a clean exception, and the process goes on."""
import numpy as np
import pandas as pd
import pytest

import tarvex
from conftest import run_python
from models import DuckResults, design, results


def fresh_copy(model):
    """The same model read from copies of its arrays as they are now."""
    return DuckResults(type(model.model).__name__, np.array(model.model.exog),
                       np.array(model.params), np.array(model.sigma),
                       list(model.model.exog_names))


class NamesThatRun:
    """A names source whose iteration first runs `action`."""

    def __init__(self, names, action):
        self.names, self.action = names, action

    def __len__(self):
        return len(self.names)

    def __getitem__(self, i):
        return self.names[i]

    def __iter__(self):
        self.action()
        return iter(self.names)


def new_state(shape, seed):
    return np.random.default_rng(seed).normal(size=shape).__reduce__()[2]


def swap_x_buffer(model):
    model.model.exog.__setstate__(new_state((3000, 4), seed=1))


def resize_x(model):
    model.model.exog.resize((5000, 4), refcheck=False)
    model.model.exog[:] = np.random.default_rng(2).normal(size=(5000, 4))


def swap_x_for_vector(model):
    model.model.exog.__setstate__(np.zeros(1).__reduce__()[2])


@pytest.mark.parametrize("action, outcome", [(swap_x_buffer, "table"), (resize_x, "table"),
                                             (swap_x_for_vector, TypeError)])
def test_design_buffer_replaced_while_names_are_read(action, outcome):
    model = design("Probit", 200_000, 4, seed=3, intercepts=())
    model.model.exog_names = NamesThatRun(["a", "b", "c", "d"], lambda: action(model))
    if outcome is TypeError:
        with pytest.raises(TypeError, match="PyArray<T, D>"):
            tarvex.mfx(model, se_method="sm")
        return
    table = tarvex.mfx(model, se_method="sm")
    model.model.exog_names = ["a", "b", "c", "d"]
    pd.testing.assert_frame_equal(table, tarvex.mfx(fresh_copy(model), se_method="sm"))


@pytest.mark.parametrize("how", ["setstate", "resize"])
def test_params_buffer_replaced_inside_cov_params(how):
    model = design("Logit", 500, 200, seed=4, intercepts=())
    sigma = model.sigma
    new_beta = np.random.default_rng(5).normal(size=200)

    def cov_params():
        if how == "setstate":
            model.params.__setstate__(new_beta.__reduce__()[2])
        else:
            model.params.resize(400, refcheck=False)
            model.params.resize(200, refcheck=False)
            model.params[:] = new_beta
        return sigma

    model.cov_params = cov_params
    table = tarvex.mfx(model, se_method="sm")
    expected = tarvex.mfx(results("Logit", model.model.exog, new_beta, sigma,
                                  model.model.exog_names), se_method="sm")
    pd.testing.assert_frame_equal(table, expected)


@pytest.mark.parametrize("shape", [(3, 2 ** 41), (2 ** 41, 3), (3, 300_000_000)])
def test_sigma_shape_mismatch_panics_before_anything_is_allocated(shape, panic_class):
    model = design("Logit", 10, 3, seed=6, intercepts=())
    model.sigma = np.broadcast_to(np.zeros(1), shape)
    rows, cols = shape
    expected = (f"3 × 3 and {rows} × {cols}" if rows != 3 else f"3 × {cols} and 3 × 3")
    with pytest.raises(panic_class) as info:
        tarvex.mfx(model)
    assert str(info.value) == expected + " are not compatible for matrix multiplication"


# Each would run for minutes to years if the work grew with the wrong size:
# in a subprocess, so that a regression fails by its timeout.
@pytest.mark.parametrize("case", [
    # three million extra intercept names: classification is linear
    "m = results('Logit', np.ones((4, 2)) * [[1, 0.5]], [0.1, 0.2], names=['const', 'x'] +"
    " ['const'] * 3_000_000); t = tarvex.mfx(m); assert list(t.index) == ['x']",
    # nothing to report: X is not read
    "m = results('Logit', np.empty((2 ** 59, 0)), np.empty(0), np.empty((0, 0)), []);"
    " assert len(tarvex.mfx(m)) == 0",
    "m = results('Probit', np.broadcast_to(np.ones(1), (2 ** 59, 1)), [0.3],"
    " names=['Intercept']); assert len(tarvex.mfx(m)) == 0",
])
def test_work_follows_what_is_reported_not_the_sizes_given(case):
    done = run_python("import numpy as np, tarvex\nfrom models import results\n" + case +
                      "\nprint('ok')", timeout=120)
    assert done.stdout.strip() == "ok", done.stderr


@pytest.mark.parametrize("exc", [KeyboardInterrupt, SystemExit])
@pytest.mark.parametrize("where", ["model", "params.values", "cov.values", "exog.values",
                                   "names.__len__"])
def test_interrupts_and_exit_requests_from_callbacks_propagate(where, exc):
    model = design("Logit", 20, 3, seed=7, intercepts=())

    def raising(self):
        raise exc("from a callback")

    def with_raising(obj, attribute):
        cls = type(type(obj).__name__, (type(obj),), {attribute: property(raising)})
        return obj.view(cls) if isinstance(obj, np.ndarray) else cls

    if where == "model":
        model.__class__ = type("R", (DuckResults,), {"model": property(raising)})
    elif where == "params.values":
        model.params = with_raising(model.params, "values")
    elif where == "cov.values":
        model.sigma = with_raising(model.sigma, "values")
    elif where == "exog.values":
        model.model.exog = with_raising(model.model.exog, "values")
    else:
        model.model.exog_names = type("Names", (list,), {"__len__": raising})(["a", "b", "c"])
    with pytest.raises(exc, match="from a callback"):
        tarvex.mfx(model)
    assert len(tarvex.mfx(design("Logit", 20, 3, seed=7, intercepts=()))) == 3


def test_exception_that_is_both_a_panic_and_an_exit_request_does_not_end_the_process():
    done = run_python("""
        import numpy as np, tarvex
        from models import results
        try:
            tarvex.mfx(results("Logit", [[1.0, 2.0]], [0.1, 0.2], names=["a"]))
        except BaseException as e:
            panic = type(e)
        class Both(panic, SystemExit):
            pass
        m = results("Logit", [[1.0], [0.0]], [0.1])
        def cov_params():
            raise Both("exit now")
        m.cov_params = cov_params
        try:
            tarvex.mfx(m)
        except BaseException as e:
            print(type(e).__name__, str(e))
        print("still running")
    """)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == ["PanicException exit now", "still running"]


def test_argument_error_keeps_a_message_that_is_not_valid_utf8():
    class Index:
        def __index__(self):
            raise TypeError("bad \udc80 index")

    with pytest.raises(TypeError) as info:
        tarvex.mfx(design("Logit", 5, 2, seed=8, intercepts=()), Index())
    assert str(info.value) == "argument 'chunk_size': bad \udc80 index"


SIGINT_PRELUDE = """
    import os, signal, subprocess, sys, time
    import numpy as np, tarvex
    from models import results
    # Python installs its SIGINT handler only when the signal is not ignored
    # at start-up, and a process started in the background of a
    # non-interactive shell (as CI may be) inherits it ignored.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    # A long call (zero-stride rows: no memory, much work).
    n = {n}
    X = np.broadcast_to(np.array([1.0, 0.3, -1.2]), (n, 3))
    m = results("Probit", X, [0.1, 0.5, -0.2], names=["const", "a", "b"])
    # Sent from another process: the call holds the interpreter lock, so no
    # thread of this one could.
    subprocess.Popen(["sh", "-c", "sleep {delay}; kill -INT %d" % os.getpid()])
"""


def test_ctrl_c_interrupts_a_long_pass_and_leaks_nothing():
    done = run_python(SIGINT_PRELUDE.format(n=10 ** 11, delay=0.3) + """
    parts = [m, m.model, m.params, m.sigma, X, m.model.exog_names]
    before = [sys.getrefcount(o) for o in parts]
    start = time.monotonic()
    try:
        tarvex.mfx(m)
    except KeyboardInterrupt:
        print("interrupted", time.monotonic() - start < 30)
    print([sys.getrefcount(o) for o in parts] == before)
    """, timeout=120)
    assert done.stdout.splitlines() == ["interrupted True", "True"], done.stderr


def test_signal_handler_that_returns_lets_the_call_finish_with_the_same_table():
    done = run_python(SIGINT_PRELUDE.format(n=20_000_000, delay=0.05) + """
    calls = []
    signal.signal(signal.SIGINT, lambda *a: calls.append(1))
    table = tarvex.mfx(m, se_method="sm")
    handled = len(calls)
    print(handled, table.equals(tarvex.mfx(m, se_method="sm")))
    """, timeout=120)
    assert done.stdout.split() == ["1", "True"], done.stderr


POISON = """
    import ctypes, sys, types
    import numpy as np, tarvex
    from models import results
    new_capsule = ctypes.pythonapi.PyCapsule_New
    new_capsule.restype = ctypes.py_object
    new_capsule.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
    {capsule}
    sys.modules["numpy.core.multiarray"] = types.SimpleNamespace(_ARRAY_API=capsule)
    m = results("Logit", [[1.0, 0.5], [1.0, -0.5]], [0.1, 0.2], names=["const", "x"])
    try:
        tarvex.mfx(m)
    except BaseException as e:
        print(type(e).__name__)
    del sys.modules["numpy.core.multiarray"]  # the next call imports the real one
    print(list(tarvex.mfx(m).index))
"""


@pytest.mark.parametrize("capsule", [
    "buffer = ctypes.create_string_buffer(4096); capsule = new_capsule(ctypes.addressof(buffer),"
    " None, None)",
    "capsule = new_capsule(ctypes.cast(ctypes.pythonapi.Py_Initialize, ctypes.c_void_p).value,"
    " None, None)",
])
def test_a_capsule_that_is_not_numpys_table_is_refused(capsule):
    done = run_python(POISON.format(capsule=capsule))
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == ["ImportError", "['x']"]
