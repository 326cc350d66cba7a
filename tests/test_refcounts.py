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
from models import (BAD_CALLS, CHUNK, PANIC, SE, DuckResults, bad_call, design, k_beyond_memory,
                    small_model, zero_stride_model)

CALLS = 1000
# Paths whose every call does much more than the check needs: a kept or
# dropped reference still moves a count by the number of calls.
FEWER_CALLS = {
    "k x k too large": 100,  # reads k ~ sqrt(memory / 8) names a call (0.2 s under ASan)
}
DataFrame = pd.DataFrame  # the class, whatever a test puts in its place


class RaisingParams(DuckResults):
    @property
    def params(self):
        raise RuntimeError("params unavailable")


def raising_params():
    m = small_model()
    m.__class__ = RaisingParams
    return m


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


def tracked(panic_class, *given):
    """Every object a call can reach through its arguments: those only the
    test holds (exact counts), and shared ones that other code may touch once
    in a while (classes, interned names)."""
    objs, shared = [], [TypeError, ValueError, OverflowError, MemoryError, RuntimeError,
                        ArithmeticError, LookupError, UnicodeEncodeError, ModuleNotFoundError,
                        panic_class, tarvex.mfx, pd.DataFrame, pd]
    for obj in given:
        objs.append(obj)
        inner = safe_attr(obj, "model")
        if inner is None:
            continue
        shared.append(type(inner).__name__)
        names, exog = safe_attr(inner, "exog_names"), safe_attr(inner, "exog")
        objs += [inner, type(inner), safe_attr(obj, "params"), getattr(obj, "sigma", None), exog,
                 names, safe_attr(inner, "offset")]
        if isinstance(names, (list, tuple)):
            objs.extend(names)
        if isinstance(exog, DataFrame):
            objs.append(exog.columns)
    # Small ints and one-character strs are process-wide singletons.
    shared += [o for o in objs if isinstance(o, (int, str)) and is_singleton(o)]
    own = [o for o in objs if o is not None and not any(o is s for s in shared)]
    return own, shared


def is_singleton(o):
    return (isinstance(o, int) and -5 <= o <= 256) or (isinstance(o, str) and len(o) <= 1)


@pytest.fixture(autouse=True, scope="module")
def frozen_heap():
    """Everything alive before this module's tests moves to the collector's
    permanent generation, so that each gc.collect() in refcounts() walks only
    the objects made since (a full collection of the suite's heap, with pandas,
    statsmodels and Dask loaded, takes up to half a second). The counts are
    not the collector's: it only clears the cycles the calls leave behind
    (an exception and its traceback), all of them newer than the freeze."""
    gc.collect()
    gc.freeze()
    yield
    gc.unfreeze()


def refcounts(objs):
    gc.collect()
    return [sys.getrefcount(o) for o in objs]


def call(args, kwargs):
    try:
        tarvex.mfx(*args, **kwargs)
    except BaseException:  # noqa: BLE001 - every outcome is allowed here
        pass


def refuse_frames(monkeypatch):
    def data_frame(**kwargs):
        raise ValueError("no tables today")
    monkeypatch.setattr(pd, "DataFrame", data_frame)


def hide_pandas(monkeypatch):
    monkeypatch.setitem(sys.modules, "pandas", None)  # import raises ModuleNotFoundError


# Outcomes beyond the calls that must fail (models.BAD_CALLS):
# name -> (model factory, further positional args, keyword args, expected
#          exception, optional set-up of the environment)
PATHS = {
    "success": (small_model, (CHUNK,), {"se_method": SE}, None),
    "success with an offset": (lambda: small_model(offset=np.linspace(-1.0, 1.0, 4)), (CHUNK,),
                               {"se_method": SE}, None),
    "statsmodels pandas": (statsmodels_result, (), {"se_method": SE}, None),
    "params raises": (raising_params, (), {}, RuntimeError),
    "names iteration": (lambda: small_model(exog_names=FailingNames(["const", "x", "d"])), (),
                        {}, LookupError),
    "k x k too large": (lambda: zero_stride_model(k_beyond_memory()), (), {}, MemoryError),
    "DataFrame raises": (small_model, (), {}, ValueError, refuse_frames),
    "pandas missing": (small_model, (), {}, ModuleNotFoundError, hide_pandas),
}


def path_call(path):
    if path in BAD_CALLS:
        args, kwargs, error, _ = bad_call(path)
        return args, kwargs, error, ()
    factory, args, kwargs, error, *setup = PATHS[path]
    return (factory(), *args), kwargs, error, setup


@pytest.mark.parametrize("path", [*PATHS, *BAD_CALLS])
def test_references_unchanged_after_many_calls(path, capfd, monkeypatch, panic_class):
    args, kwargs, expected, setup = path_call(path)
    for prepare in setup:
        prepare(monkeypatch)
    try:
        tarvex.mfx(*args, **kwargs)
    except BaseException as e:  # noqa: BLE001 - checked against the expected outcome
        outcome = PANIC if type(e) is panic_class else type(e)
        del e
    else:
        outcome = None
    assert outcome == expected

    own, shared = tracked(panic_class, *args, *kwargs.values())
    before, before_shared = refcounts(own), refcounts(shared)
    calls = FEWER_CALLS.get(path, CALLS)
    for _ in range(calls):
        call(args, kwargs)
    after, after_shared = refcounts(own), refcounts(shared)
    capfd.readouterr()  # panics report to stderr on every call
    assert after == before, [(repr(o)[:60], b, a) for o, b, a in zip(own, before, after)
                             if a != b]
    # A reference kept or dropped per call would move a count by `calls`.
    for o, b, a in zip(shared, before_shared, after_shared):
        assert abs(a - b) < calls // 2, (o, b, a)


def test_created_table_inputs_are_owned_only_by_the_table(monkeypatch):
    # With DataFrame standing in as a function that hands back its keyword
    # arguments, every dict, list, float and str tarvex built must be held
    # exactly once: by its container.
    monkeypatch.setattr(pd, "DataFrame", lambda **kwargs: kwargs)
    kwargs = tarvex.mfx(design("Probit", 30, 1, 1, seed=11), se_method="sm")
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
def test_resident_memory_flat_over_many_small_calls(monkeypatch):
    # The table goes to a stand-in for DataFrame that hands its arguments back:
    # every buffer and object mfx makes is still made and dropped per call,
    # without pandas' own work (99% of a real call's time here) and caches.
    # The path through real frames is test_references_unchanged_after_many_calls'.
    monkeypatch.setattr(pd, "DataFrame", lambda **kwargs: kwargs)
    model = design("Logit", 20, 2, 1, seed=9)
    for _ in range(5_000):  # warm up pandas' and the allocator's caches
        tarvex.mfx(model)
    gc.collect()
    start = rss_bytes()
    for i in range(100_000):
        tarvex.mfx(model, se_method="sm" if i % 2 else "rust")
    gc.collect()
    grown = rss_bytes() - start
    assert grown <= 1 << 20, f"resident memory grew by {grown} bytes"
