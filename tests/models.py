"""What the tests hand to mfx: duck-typed fitted models (the attributes tarvex
reads, nothing more), random designs with fixed seeds, calls that must fail,
the memory layouts an ndarray can have, and snapshots that show an input was
left unchanged."""
import tempfile

import numpy as np
import pandas as pd


class DuckResults:
    """Looks like a statsmodels results object fitted on NumPy arrays; the
    inner model's class is named `kind`."""

    def __init__(self, kind, X, beta, sigma, names):
        self.model = type(kind, (), {})()
        self.model.exog = X
        self.model.exog_names = names
        self.params = beta
        self.sigma = sigma

    def cov_params(self):
        return self.sigma


def results(kind, X, beta, sigma=None, names=None):
    """A model of the given values (lists are converted; Σ defaults to 0.01·I,
    the names to x0, x1, ...)."""
    X = X if isinstance(X, np.ndarray) else np.asarray(X, dtype=float)
    k = X.shape[1]
    sigma = np.eye(k) * 0.01 if sigma is None else np.asarray(sigma, dtype=float)
    names = [f"x{j}" for j in range(k)] if names is None else list(names)
    return DuckResults(kind, X, np.asarray(beta, dtype=float), sigma, names)


def design(kind, n, k_cont, k_bin=0, *, seed, intercepts=("const",), order="C",
           shuffle=False):
    """A random model of n rows: a column of ones per intercept name, k_cont
    continuous columns c0, c1, ... (normal, sd 1.5), k_bin 0/1 columns b0, b1,
    ... (P(1) = 0.4), in that order or shuffled; β of magnitude 0.2 to 0.6 with
    random signs (so no effect is 0); Σ positive definite."""
    rng = np.random.default_rng(seed)
    columns = [np.ones(n) for _ in intercepts]
    columns += [rng.normal(scale=1.5, size=n) for _ in range(k_cont)]
    columns += [(rng.random(n) < 0.4).astype(float) for _ in range(k_bin)]
    names = [*intercepts, *(f"c{j}" for j in range(k_cont)), *(f"b{j}" for j in range(k_bin))]
    if shuffle:
        perm = rng.permutation(len(columns))
        columns, names = [columns[p] for p in perm], [names[p] for p in perm]
    X = np.column_stack(columns) if columns else np.zeros((n, 0))
    X = np.asfortranarray(X) if order == "F" else np.ascontiguousarray(X)
    k = X.shape[1]
    beta = rng.uniform(0.2, 0.6, k) * rng.choice([-1.0, 1.0], k)
    a = rng.standard_normal((k, k)) * 0.05
    sigma = a @ a.T + np.eye(k) * 1e-3
    return DuckResults(kind, X, beta, sigma, names)


def physical_memory():
    import os
    return os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")


def k_beyond_memory():
    """The fewest columns whose one k × k matrix of doubles is beyond the
    machine's physical memory (so the call's k × k state surely is)."""
    import math
    return math.isqrt(physical_memory() // 8) + 1


def zero_stride_model(k):
    """A Logit model of one row and k columns named "x" whose X, β and Σ are
    all views of one double 0: any size, no memory."""
    zero = np.zeros(1)
    return DuckResults("Logit", np.broadcast_to(zero, (1, k)), np.broadcast_to(zero, (k,)),
                       np.broadcast_to(zero, (k, k)), ["x"] * k)


# --- calls that must fail ---------------------------------------------------

def small_model(kind="Logit", **changes):
    """A well-formed model of four rows (const, x, d) with some attributes
    replaced: params, sigma, cov_params (a function), and the inner model's
    exog, exog_names and offset."""
    X = np.array([[1.0, 0.5, 1.0], [1.0, -1.2, 0.0], [1.0, 2.0, 1.0], [1.0, 0.1, 0.0]])
    sigma = [[0.04, 0.01, 0.0], [0.01, 0.09, 0.02], [0.0, 0.02, 0.16]]
    m = results(kind, X, [0.2, 0.7, -0.4], sigma, ["const", "x", "d"])
    for key, value in changes.items():
        setattr(m.model if key.startswith("exog") or key == "offset" else m, key, value)
    return m


def _raise(error):
    def raising():
        raise error
    return raising


CHUNK = 10 ** 6  # an int object of its own, not a cached small int
SE = "".join(["s", "m"])  # a str object of its own
MODEL = object()  # stands for the call's model among its keyword arguments
PANIC = "panic"  # stands for the module's panic class
NOT_ARRAY = "object cannot be converted to 'PyArray<T, D>'"
MATMUL = "are not compatible for matrix multiplication"
BAD_OFFSET = ("mfx: the model's offset (model.model.offset) must be None or a one-dimensional "
              "float64 NumPy array (or pandas Series) with one value per row of exog, got ")

# name -> (changes to small_model(), or None for a call without a model;
#          further positional arguments; keyword arguments;
#          the exception type; its message, or None where it is not tarvex's)
BAD_CALLS = {
    "four positional": ({}, (CHUNK, SE, 4000), {}, TypeError,
                        "mfx() takes from 1 to 3 positional arguments but 4 were given"),
    "model twice": ({}, (), {"model": MODEL}, TypeError,
                    "mfx() got multiple values for argument 'model'"),
    "chunk_size twice": ({}, (CHUNK,), {"chunk_size": CHUNK}, TypeError,
                         "mfx() got multiple values for argument 'chunk_size'"),
    # An unknown keyword that is not the last one.
    "unknown keyword": ({}, (), {"chunksize": 2, "se_method": SE}, TypeError,
                        "mfx() got an unexpected keyword argument 'chunksize'"),
    "no arguments": (None, (), {}, TypeError,
                     "mfx() missing 1 required positional argument: 'model'"),
    "no model": (None, (), {"chunk_size": 3}, TypeError,
                 "mfx() missing 1 required positional argument: 'model'"),
    "chunk_size float": ({}, (2.0,), {}, TypeError,
                         "argument 'chunk_size': 'float' object cannot be interpreted as an integer"),
    # Arguments are converted before the model is looked at.
    "chunk_size str": (None, (object(),), {"chunk_size": "x"}, TypeError,
                       "argument 'chunk_size': 'str' object cannot be interpreted as an integer"),
    "chunk_size negative": ({}, (-CHUNK,), {}, OverflowError, None),
    "chunk_size 2^64": ({}, (2 ** 64,), {}, OverflowError, None),
    "chunk_size zero": ({}, (0,), {}, ValueError, "chunk_size must be at least 1"),
    "se_method bytes": ({}, (), {"se_method": b"sm"}, TypeError,
                        "argument 'se_method': 'bytes' object cannot be converted to 'PyString'"),
    "se_method case": ({}, (), {"se_method": "Rust"}, ValueError,
                       "se_method must be 'rust' or 'sm', got 'Rust'"),
    "se_method space": ({}, (), {"se_method": "sm "}, ValueError,
                        "se_method must be 'rust' or 'sm', got 'sm '"),
    "se_method empty": ({}, (), {"se_method": ""}, ValueError,
                        "se_method must be 'rust' or 'sm', got ''"),
    "se_method surrogate": ({}, (), {"se_method": "\ud800"}, UnicodeEncodeError, None),
    "model kind": ({"kind": "Tobit"}, (), {}, ValueError,
                   "ame: only Logit or Probit supported, got Tobit"),
    "cov_params raises": ({"cov_params": _raise(ArithmeticError("singular"))}, (), {},
                          ArithmeticError, "singular"),
    # Arrays are taken as they are, never cast.
    "X int64": ({"exog": np.zeros((4, 3), np.int64)}, (), {}, TypeError, f"'ndarray' {NOT_ARRAY}"),
    "X float32": ({"exog": np.zeros((4, 3), np.float32)}, (), {}, TypeError,
                  f"'ndarray' {NOT_ARRAY}"),
    "X big-endian": ({"exog": np.zeros((4, 3), ">f8")}, (), {}, TypeError, f"'ndarray' {NOT_ARRAY}"),
    "X list": ({"exog": np.zeros((4, 3)).tolist()}, (), {}, TypeError, f"'list' {NOT_ARRAY}"),
    "X 3-d": ({"exog": np.zeros((4, 3, 1))}, (), {}, TypeError, f"'ndarray' {NOT_ARRAY}"),
    "beta 2-d": ({"params": np.zeros((3, 1))}, (), {}, TypeError, f"'ndarray' {NOT_ARRAY}"),
    "beta float32": ({"params": np.zeros(3, np.float32)}, (), {}, TypeError,
                     f"'ndarray' {NOT_ARRAY}"),
    "beta object": ({"params": np.zeros(3, object)}, (), {}, TypeError, f"'ndarray' {NOT_ARRAY}"),
    "sigma 1-d": ({"sigma": np.zeros(9)}, (), {}, TypeError, f"'ndarray' {NOT_ARRAY}"),
    "names str": ({"exog_names": "const"}, (), {}, TypeError, "Can't extract `str` to `Vec`"),
    "names None": ({"exog_names": None}, (), {}, TypeError,
                   "'NoneType' object cannot be converted to 'Sequence'"),
    "name not str": ({"exog_names": ["const", 1, "d"]}, (), {}, TypeError,
                     "'int' object cannot be converted to 'PyString'"),
    "frame with integer labels": ({"exog": pd.DataFrame(np.ones((4, 3)))}, (), {}, TypeError,
                                  "'int' object cannot be converted to 'PyString'"),
    # The offset passes the same array test, with a message of its own.
    "offset list": ({"offset": [0.0] * 4}, (), {}, TypeError, BAD_OFFSET + "'list' object"),
    "offset int64": ({"offset": np.zeros(4, np.int64)}, (), {}, TypeError,
                     BAD_OFFSET + "'numpy.ndarray' of dtype int64 and shape (4,)"),
    "offset 2-d": ({"offset": np.zeros((4, 1))}, (), {}, TypeError,
                   BAD_OFFSET + "'numpy.ndarray' of dtype float64 and shape (4, 1)"),
    "offset too short": ({"offset": np.zeros(3)}, (), {}, ValueError,
                         "mfx: the model's offset (model.model.offset) has 3 values, but exog "
                         "has 4 rows: one value per row is needed"),
    "beta too short": ({"params": np.ones(2)}, (), {}, PANIC, f"4 \u00d7 3 and 2 \u00d7 1 {MATMUL}"),
    "beta too long": ({"params": np.ones(4)}, (), {}, PANIC, f"4 \u00d7 3 and 4 \u00d7 1 {MATMUL}"),
    "sigma too small": ({"sigma": np.eye(2)}, (), {}, PANIC, f"3 \u00d7 3 and 2 \u00d7 2 {MATMUL}"),
    "name missing": ({"exog_names": ["const", "x"]}, (), {}, PANIC,
                     "index out of bounds: the len is 2 but the index is 2"),
    "name too many": ({"exog_names": ["const", "x", "d", "e"]}, (), {}, PANIC,
                      "assertion failed: index < dim"),
}


def bad_call(name):
    """(args, kwargs, exception type, message) of BAD_CALLS[name], with a fresh model."""
    changes, args, kwargs, error, message = BAD_CALLS[name]
    if changes is None:
        return args, kwargs, error, message
    model = small_model(**changes)
    kwargs = {key: model if value is MODEL else value for key, value in kwargs.items()}
    return (model, *args), kwargs, error, message


# --- memory layouts ---------------------------------------------------------

class Tagged(np.ndarray):
    """An ndarray subclass with nothing of its own."""


_memmap_dir = tempfile.TemporaryDirectory(prefix="tarvex-tests-")
_memmaps = []  # kept open for the life of the test process


LAYOUTS_2D = ["C", "F", "reversed", "reversed_F", "stepped", "broadcast_row", "broadcast_col",
              "memmap", "memmap_ro", "subclass", "readonly", "misaligned", "packed",
              "odd_unit_strides", "misaligned_broadcast_row", "misaligned_broadcast_col"]
LAYOUTS_1D = ["C", "reversed", "stepped", "broadcast", "memmap", "subclass", "misaligned",
              "packed", "odd_unit_strides", "misaligned_broadcast"]
# Layouts that keep every value (the broadcasts repeat one row or column).
SAME_VALUES_2D = [layout for layout in LAYOUTS_2D if "broadcast" not in layout]
# Strides NumPy may give an axis of length 1 (never used to step, so any value).
ODD_STRIDES = [0, -8, 8 * 1_000_003, -(2 ** 40), 2 ** 62]


def _memmap(a, mode):
    path = f"{_memmap_dir.name}/m{len(_memmaps)}.bin"
    a.tofile(path)
    m = np.memmap(path, dtype=np.float64, mode=mode, shape=a.shape)
    _memmaps.append(m)
    return m


def _misaligned(a):
    raw = np.zeros(a.size * 8 + 1, dtype=np.uint8)
    view = raw[1:].view(np.float64).reshape(a.shape)  # data address odd
    view[...] = a
    return view


def lay_out(a, layout):
    """An array with a's values in the given layout (for the broadcasts: with
    a's first row or column repeated)."""
    a = np.ascontiguousarray(a, dtype=np.float64)
    every_axis = (slice(None, None, -1),) * a.ndim
    if layout == "C":
        return a
    if layout == "F":  # for a matrix, also the transpose of a C array
        return np.asfortranarray(a)
    if layout == "reversed":  # negative strides on every axis
        return np.ascontiguousarray(a[every_axis])[every_axis]
    if layout == "reversed_F":  # column-major, rows walked backwards
        return np.asfortranarray(a[::-1])[::-1]
    if layout == "stepped":
        big = np.full(tuple(3 * s + 2 for s in a.shape), 7.0)
        view = big[(slice(1, None, 3),) * a.ndim][tuple(slice(0, s) for s in a.shape)]
        view[...] = a
        return view
    if "broadcast" in layout:  # zero strides: a's first row or column repeated
        misaligned = layout.startswith("misaligned")
        if a.size == 0:
            return _misaligned(a) if misaligned else a
        one = a[:, :1] if layout.endswith("col") else a[:1]
        return np.broadcast_to(_misaligned(one) if misaligned else one, a.shape)
    if layout in ("memmap", "memmap_ro"):
        return _memmap(a, "r" if layout == "memmap_ro" else "r+") if a.size else a
    if layout == "subclass":
        return a.view(Tagged)
    if layout == "readonly":
        a = a.copy()
        a.setflags(write=False)
        return a
    if layout == "misaligned":
        return _misaligned(a)
    if layout == "packed":  # byte strides that are multiples of 9
        rec = np.zeros(a.shape, dtype=np.dtype([("pad", "u1"), ("v", "<f8")], align=False))
        rec["v"] = a
        return rec["v"]
    if layout == "odd_unit_strides":
        strides = tuple(ODD_STRIDES[(a.size + axis) % len(ODD_STRIDES)] if size == 1 else s
                        for axis, (size, s) in enumerate(zip(a.shape, a.strides)))
        view = np.lib.stride_tricks.as_strided(a, a.shape, strides, writeable=False)
        assert view.tobytes() == a.tobytes()
        return view
    raise AssertionError(layout)


# --- inputs left unchanged --------------------------------------------------

FLAGS = ("c_contiguous", "f_contiguous", "owndata", "writeable", "aligned", "writebackifcopy")


def _state(a):
    root = a
    while isinstance(root.base, np.ndarray):
        root = root.base
    return (a.tobytes(), tuple(getattr(a.flags, f) for f in FLAGS), a.shape, a.strides,
            a.__array_interface__["data"], root.tobytes())


def snapshot(*arrays):
    """The values, flags, shape, strides and address of each array and its root buffer."""
    return [(a, _state(a)) for a in arrays]


def assert_unchanged(snap):
    for a, before in snap:
        assert _state(a) == before
