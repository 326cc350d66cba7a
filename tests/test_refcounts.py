"""Reference counts and memory: mfx keeps no reference to anything it is given
or creates, on the success path and on every failure path, and its resident
memory stays flat over many calls."""
import gc
import os
import sys

import numpy as np
import pandas as pd
import pytest
import statsmodels.api as sm

import tarvex
from conftest import under_asan
from models import DuckResults, duck_results

CALLS = 1000
DataFrame = pd.DataFrame  # the class, whatever a test puts in its place


def panic_class():
    try:
        tarvex.mfx(DuckResults("Logit", np.zeros((1, 1)), np.zeros(2), np.eye(1), ["a"]))
    except BaseException as e:  # noqa: BLE001 - the panic is what we want
        return type(e)
    raise AssertionError("no panic")


class RaisingParams(DuckResults):
    @property
    def params(self):
        raise RuntimeError("params unavailable")


class RaisingCov(DuckResults):
    def cov_params(self):
        raise KeyError("cov")


class FailingNames:
    """A sequence of names whose iteration fails after the first item."""

    def __init__(self, items):
        self.items = items

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]

    def __iter__(self):
        yield self.items[0]
        raise LookupError("names source broke")


def model_with(**changes):
    """A well-formed duck model (Probit, 30 × 3, a binary column) with some
    parts replaced."""
    m = duck_results("Probit", 30, 3, seed=11, names=["const", "d", "x"], binary_cols=(1,))
    m.model.exog[:, 0] = 1.0
    cls = changes.pop("cls", None)
    if cls is not None:
        m.__class__ = cls
    kind = changes.pop("kind", None)
    if kind is not None:
        m.model.__class__ = type(kind, (), {})
    for key, value in changes.items():
        if key in ("exog", "exog_names"):
            setattr(m.model, key, value)
        else:
            setattr(m, key, value)
    return m


def statsmodels_result():
    rng = np.random.default_rng(5)
    X = pd.DataFrame({"const": 1.0, "a": rng.normal(size=80), "d": rng.integers(0, 2, 80)},
                     dtype=float)
    y = (X["a"] + rng.normal(size=80) > 0).astype(float)
    return sm.Logit(y, X).fit(disp=0)


def safe_attr(obj, name):
    try:
        return getattr(obj, name)
    except Exception:  # noqa: BLE001 - a failing attribute has nothing to track
        return None


def tracked(model, *extra):
    """Every object a call can reach through the model, plus `extra`: those
    only the test holds (exact counts), and shared ones that other code may
    touch once in a while (classes, interned names)."""
    objs = [model, model.model, type(model.model), safe_attr(model, "params"),
            getattr(model, "sigma", None), model.model.exog]
    names = model.model.exog_names
    objs.append(names)
    if isinstance(names, (list, tuple)):
        objs.extend(names)
    exog = model.model.exog
    if isinstance(exog, DataFrame):
        objs.append(exog.columns)
    objs.extend(extra)
    shared = [type(model.model).__name__, TypeError, ValueError, OverflowError, MemoryError,
              RuntimeError, KeyError, LookupError, UnicodeEncodeError, ModuleNotFoundError,
              panic_class(), tarvex.mfx, pd.DataFrame, pd]
    # Small ints and one-character strs are process-wide singletons.
    shared += [o for o in objs if isinstance(o, (int, str)) and is_singleton(o)]
    own = [o for o in objs if o is not None and not any(o is s for s in shared)]
    return own, shared


def is_singleton(o):
    return (isinstance(o, int) and -5 <= o <= 256) or (isinstance(o, str) and len(o) <= 1)


def refcounts(objs):
    gc.collect()
    return [sys.getrefcount(o) for o in objs]


def call(args, kwargs):
    try:
        tarvex.mfx(*args, **kwargs)
    except BaseException:  # noqa: BLE001 - every outcome is allowed here
        pass


HUGE_K = 300_000
zero_row = np.zeros(1)

CHUNK = 10 ** 6  # an int object of its own, not a cached small int
SE = "".join(["s", "m"])  # a str object of its own

def refuse_frames(monkeypatch):
    def data_frame(**kwargs):
        raise ValueError("no tables today")
    monkeypatch.setattr(pd, "DataFrame", data_frame)


def hide_pandas(monkeypatch):
    monkeypatch.setitem(sys.modules, "pandas", None)  # import raises ModuleNotFoundError


# name -> (model factory, extra positional args, keyword args, expected exception,
#          optional set-up of the environment)
PATHS = {
    "success": (lambda: model_with(), (CHUNK,), {"se_method": SE}, None),
    "statsmodels pandas": (statsmodels_result, (), {"se_method": SE}, None),
    "too many positional": (lambda: model_with(), (CHUNK, SE, 4000), {}, TypeError),
    "unexpected keyword": (lambda: model_with(), (), {"chunk": 1, "se_method": SE}, TypeError),
    "duplicate argument": (lambda: model_with(), (CHUNK,), {"chunk_size": CHUNK}, TypeError),
    "chunk_size float": (lambda: model_with(), (2.5,), {}, TypeError),
    "chunk_size negative": (lambda: model_with(), (-CHUNK,), {}, OverflowError),
    "chunk_size zero": (lambda: model_with(), (0,), {}, ValueError),
    "se_method bytes": (lambda: model_with(), (), {"se_method": b"sm"}, TypeError),
    "se_method unknown": (lambda: model_with(), (), {"se_method": "RUST"}, ValueError),
    "se_method surrogate": (lambda: model_with(), (), {"se_method": "\ud800"},
                            UnicodeEncodeError),
    "model kind": (lambda: model_with(kind="Tobit"), (), {}, ValueError),
    "params raises": (lambda: model_with(cls=RaisingParams), (), {}, RuntimeError),
    "params float32": (lambda: model_with(params=np.zeros(3, np.float32)), (), {}, TypeError),
    "cov_params raises": (lambda: model_with(cls=RaisingCov), (), {}, KeyError),
    "exog int64": (lambda: model_with(exog=np.zeros((4, 3), np.int64)), (), {}, TypeError),
    "names str": (lambda: model_with(exog_names="abc"), (), {}, TypeError),
    "name not str": (lambda: model_with(exog_names=["const", 1, "x"]), (), {}, TypeError),
    "names iteration": (lambda: model_with(exog_names=FailingNames(["const", "d", "x"])), (),
                        {}, LookupError),
    "beta too long": (lambda: model_with(params=np.zeros(4)), (), {}, "panic"),
    "sigma wrong shape": (lambda: model_with(sigma=np.eye(2)), (), {}, "panic"),
    "too few names": (lambda: model_with(exog_names=["const", "d"]), (), {}, "panic"),
    "too many names": (lambda: model_with(exog_names=["const", "d", "x", "y"]), (), {},
                       "panic"),
    "k x k too large": (lambda: model_with(
        exog=np.broadcast_to(zero_row, (1, HUGE_K)), exog_names=["x"] * HUGE_K,
        params=np.broadcast_to(zero_row, (HUGE_K,)),
        sigma=np.broadcast_to(zero_row, (HUGE_K, HUGE_K))), (), {}, MemoryError),
    "DataFrame raises": (lambda: model_with(), (), {}, ValueError, refuse_frames),
    "pandas missing": (lambda: model_with(), (), {}, ModuleNotFoundError, hide_pandas),
}


@pytest.mark.parametrize("path", list(PATHS))
def test_references_unchanged_after_many_calls(path, capfd, monkeypatch):
    factory, args, kwargs, expected, *setup = PATHS[path]
    model = factory()
    for prepare in setup:
        prepare(monkeypatch)
    full_args = (model, *args)
    try:
        tarvex.mfx(*full_args, **kwargs)
    except BaseException as e:  # noqa: BLE001 - checked against the expected outcome
        outcome = "panic" if type(e) is panic_class() else type(e)
        del e
    else:
        outcome = None
    assert outcome == expected

    own, shared = tracked(model, *args, *kwargs.values())
    before, before_shared = refcounts(own), refcounts(shared)
    for _ in range(CALLS):
        call(full_args, kwargs)
    after, after_shared = refcounts(own), refcounts(shared)
    capfd.readouterr()  # panics report to stderr on every call
    assert after == before, [(repr(o)[:60], b, a) for o, b, a in zip(own, before, after)
                             if a != b]
    # A reference kept or dropped per call would move a count by CALLS.
    for o, b, a in zip(shared, before_shared, after_shared):
        assert abs(a - b) < CALLS // 2, (o, b, a)


def test_created_table_inputs_are_owned_only_by_the_table(monkeypatch):
    # With DataFrame standing in as a function that hands back its keyword
    # arguments, every dict, list, float and str tarvex built must be held
    # exactly once: by its container.
    monkeypatch.setattr(pd, "DataFrame", lambda **kwargs: kwargs)
    kwargs = tarvex.mfx(model_with(), se_method="sm")
    # Counts below: the container, the loop or local name, getrefcount's argument.
    assert sys.getrefcount(kwargs) == 2
    assert list(kwargs) == ["data", "index"]
    data = kwargs["data"]
    assert sys.getrefcount(data) == 3
    shared = {s for s in data["Significance"] + kwargs["index"] if len(s) <= 1}
    for key in data:  # (items() would keep the last pair in the iterator)
        column = data[key]
        assert sys.getrefcount(key) == 3 or len(key) == 1, key  # 1-char strs are shared
        assert sys.getrefcount(column) == 3, key
        for value in column:
            if value not in shared:
                assert sys.getrefcount(value) == 3, (key, value)
    index = kwargs["index"]
    assert sys.getrefcount(index) == 3
    for name in index:
        assert sys.getrefcount(name) == 3 or is_singleton(name)


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
@pytest.mark.skipif(under_asan(), reason="AddressSanitizer's quarantine holds freed memory")
def test_resident_memory_flat_over_many_small_calls():
    model = duck_results("Logit", 20, 4, seed=9, names=["const", "a", "b", "c"],
                         binary_cols=(3,))
    for _ in range(5_000):  # warm up pandas' and the allocator's caches
        tarvex.mfx(model)
    gc.collect()
    start = rss_bytes()
    for i in range(100_000):
        tarvex.mfx(model, se_method="sm" if i % 2 else "rust")
    gc.collect()
    grown = rss_bytes() - start
    assert grown <= 1 << 20, f"resident memory grew by {grown} bytes"
