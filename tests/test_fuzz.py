"""Property-based tests of mfx: random designs in every memory layout, special
values, hostile names, mismatched shapes, duck-typed models that fail at any
step and every mix of arguments. Each call must return the seven-column table
(equal to an independent NumPy evaluation of the formulas) or raise exactly one
exception; no input array may change."""
import math
import operator
import os
import types

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

import tarvex
from models import LAYOUTS_1D, LAYOUTS_2D, DuckResults, assert_unchanged, design, lay_out, snapshot
from reference import assert_matches_reference, assert_statistics_follow, is_intercept_name

# The same examples every run (a seed derived from each test), so that a
# failure reproduces. For a long local search, TARVEX_FUZZ_EXAMPLES raises
# their number and TARVEX_FUZZ_RANDOM=1 draws new ones each run.
FUZZ = settings(max_examples=int(os.environ.get("TARVEX_FUZZ_EXAMPLES", "250")), deadline=None,
                derandomize=not os.environ.get("TARVEX_FUZZ_RANDOM"),
                suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])

# --- strategies -------------------------------------------------------------

TAME = st.one_of(st.sampled_from([0.0, -0.0, 1.0, 0.5, -2.0, 1e-300, -1e-300, 5e-324]),
                 st.floats(-4.0, 4.0, allow_nan=False))
WILD = st.one_of(st.sampled_from([0.0, -0.0, 1.0, math.nan, math.inf, -math.inf, 1e308,
                                  -1e308, 1e300, 1e-308, 5e-324, -5e-324, 800.0, -800.0,
                                  40.0, -40.0, 355.0]),
                 st.floats(allow_nan=True, allow_infinity=True))

INTERCEPTS = ["const", "CONST", "Const", "intercept", "Intercept", "INTERCEPT", "iNtErCePt"]
NOT_INTERCEPTS = ["const ", " const", "constant", "\u0130ntercept", "x", "x", "d", "\u03b1",
                  "\u65e5\u672c", "x\x00y", "\U0001F600", "Std. Err", ""]
NAME = st.sampled_from(INTERCEPTS + NOT_INTERCEPTS) | st.text(max_size=6).filter(
    lambda s: not any("\ud800" <= ch <= "\udfff" for ch in s))


@st.composite
def designs(draw, values):
    n = draw(st.integers(0, 60))
    k = draw(st.integers(0, 7))
    X = np.array(draw(st.lists(values, min_size=n * k, max_size=n * k)),
                 dtype=np.float64).reshape(n, k)
    for j in draw(st.sets(st.integers(0, max(k - 1, 0)), max_size=k)) if k else ():
        X[:, j] = draw(st.lists(st.sampled_from([0.0, 1.0, -0.0]), min_size=n, max_size=n))
    return X


@st.composite
def cases(draw, values, mismatch):
    kind = draw(st.sampled_from(["Logit", "Probit", "LOGIT", "probit"]))
    X = draw(designs(values))
    n, k = X.shape
    dk = draw(st.sampled_from([0, 0, 0, -1, 1, 2])) if mismatch else 0
    beta = np.array(draw(st.lists(values, min_size=max(k + dk, 0), max_size=max(k + dk, 0))))
    ds = draw(st.sampled_from([(0, 0), (0, 0), (0, 0), (1, 0), (0, 1), (-1, -1)])) \
        if mismatch else (0, 0)
    shape = (max(k + ds[0], 0), max(k + ds[1], 0))
    if values is TAME and shape[0] == shape[1]:
        a = np.array(draw(st.lists(st.floats(-1, 1), min_size=shape[0] ** 2,
                                   max_size=shape[0] ** 2))).reshape(shape)
        sigma = a @ a.T
    else:
        sigma = np.array(draw(st.lists(values, min_size=shape[0] * shape[1],
                                       max_size=shape[0] * shape[1]))).reshape(shape)
    dn = draw(st.sampled_from([0, 0, 0, -1, 1, 2])) if mismatch else 0
    names = draw(st.lists(NAME, min_size=max(k + dn, 0), max_size=max(k + dn, 0)))
    X = lay_out(X, draw(st.sampled_from(LAYOUTS_2D)))
    beta = lay_out(beta, draw(st.sampled_from(LAYOUTS_1D)))
    sigma = lay_out(sigma, draw(st.sampled_from(LAYOUTS_2D)))
    chunk = draw(st.one_of(st.none(), st.integers(1, 70), st.just(2 ** 64 - 1)))
    se_method = draw(st.sampled_from([None, "rust", "sm"]))
    return kind, X, beta, sigma, names, chunk, se_method


def expected_panic(X, beta, sigma, names, chunk):
    """The panic message the size mismatches lead to, or None."""
    n, k = X.shape
    if any(s.lower() not in ("const", "intercept") for s in names[k:]):
        return "assertion failed: index < dim"
    if n > 0 and beta.shape[0] != k:
        return f"{min(n, chunk or n)} \u00d7 {k} and {beta.shape[0]} \u00d7 1 are not compatible"
    if sigma.shape[0] != k:
        return f"{k} \u00d7 {k} and {sigma.shape[0]} \u00d7 {sigma.shape[1]} are not compatible"
    if sigma.shape[1] != k:
        return f"{k} \u00d7 {sigma.shape[1]} and {k} \u00d7 {k} are not compatible"
    if len(names) < k:
        return f"index out of bounds: the len is {len(names)} but the index is {len(names)}"
    return None


def run_case(case, compare_numbers, panic_class):
    kind, X, beta, sigma, names, chunk, se_method = case
    model = DuckResults(kind, X, beta, sigma, names)
    snap = snapshot(X, beta, sigma)
    kwargs = {}
    if se_method is not None:
        kwargs["se_method"] = se_method
    try:
        table = tarvex.mfx(model, chunk, **kwargs)
    except BaseException as e:  # noqa: BLE001 - classified below
        error = e
    else:
        error = None
    assert_unchanged(snap)
    event(f"outcome: {type(error).__name__}")
    panic = expected_panic(X, beta, sigma, names, chunk)
    if panic is not None:
        assert type(error) is panic_class, (panic, error)
        assert str(error).startswith(panic), (panic, error)
        assert error.__context__ is None
        return
    assert error is None, repr(error)
    if compare_numbers:
        assert_matches_reference(table, model, se_method or "rust", rtol=1e-9, atol=1e-13)
    else:
        assert list(table.index) == [s for s in names[:X.shape[1]] if not is_intercept_name(s)]
        assert_statistics_follow(table)


@FUZZ
@given(cases(TAME, mismatch=False))
def test_tame_designs_match_reference_in_every_layout(panic_class, case):
    run_case(case, True, panic_class)


@FUZZ
@given(cases(WILD, mismatch=True))
def test_special_values_and_mismatched_shapes_give_table_or_one_exception(panic_class, case):
    run_case(case, False, panic_class)


# --- arguments --------------------------------------------------------------

class Index:
    """An object whose __index__ returns `value` or raises it."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value

    def __repr__(self):
        return f"Index({self.value!r})"


class StrictTypeError(TypeError):
    pass


def type_error_with_cause():
    error = TypeError("no index here")
    error.__cause__ = KeyError("the cause")
    return error


GOOD = design("Probit", 9, 2, seed=3)
ARG_VALUES = [GOOD, None, 0, 3, True, np.int64(2), -1, 2 ** 64, 2.0, "rust", "sm", "RUST",
              "", b"sm", "\ud800", [1], Index(5), Index(2 ** 70), Index(-3),
              Index(ValueError("index broke")), Index(StrictTypeError("a subclass")),
              Index(type_error_with_cause())]
KEYWORDS = ["model", "chunk_size", "se_method", "modle", "Model", "chunk", "\ud800",
            "m\u00f6del"]


def reference_call(args, kwargs):
    """(exception type, message) the call must raise, or None for success."""
    names = ["model", "chunk_size", "se_method"]
    if len(args) > 3:
        return TypeError, f"mfx() takes from 1 to 3 positional arguments but {len(args)} were given"
    slots = dict(zip(names, args))
    for key, value in kwargs:
        if key not in names:
            return TypeError, f"mfx() got an unexpected keyword argument '{key}'"
        if key in slots:
            return TypeError, f"mfx() got multiple values for argument '{key}'"
        slots[key] = value
    if "model" not in slots:
        return TypeError, "mfx() missing 1 required positional argument: 'model'"
    chunk = slots.get("chunk_size")
    if chunk is not None:
        try:
            value = operator.index(chunk)
        except TypeError as e:
            if type(e) is not TypeError:  # only exactly TypeError gets the prefix
                return type(e), str(e)
            return TypeError, f"argument 'chunk_size': {e}"
        except Exception as e:  # noqa: BLE001 - passes unchanged
            return type(e), str(e)
        if not 0 <= value < 2 ** 64:
            return OverflowError, None
        if value == 0:
            return ValueError, "chunk_size must be at least 1"
    se = slots.get("se_method")
    if se is not None:
        if not isinstance(se, str):
            return TypeError, (f"argument 'se_method': '{type(se).__qualname__}' object "
                               "cannot be converted to 'PyString'")
        try:
            se.encode()
        except UnicodeEncodeError:
            return UnicodeEncodeError, None
        if se not in ("rust", "sm"):
            return ValueError, f"se_method must be 'rust' or 'sm', got '{se}'"
    model = slots["model"]
    if model is not GOOD:
        return ValueError, f"ame: only Logit or Probit supported, got {type(model).__name__}"
    return None


ARG = st.sampled_from(ARG_VALUES) | st.sampled_from([GOOD, None, 3, np.int64(2), "sm"])


@FUZZ
@given(st.lists(ARG, max_size=4) | st.lists(ARG, max_size=2).map(lambda rest: [GOOD] + rest),
       st.lists(st.tuples(st.sampled_from(KEYWORDS) | st.sampled_from(KEYWORDS[1:3]), ARG),
                max_size=3, unique_by=lambda kv: kv[0]))
def test_any_mix_of_positional_and_keyword_arguments(args, kwargs):
    expected = reference_call(args, kwargs)
    event(f"expected: {expected and expected[0].__name__}")
    try:
        table = tarvex.mfx(*args, **dict(kwargs))
    except Exception as e:  # noqa: BLE001 - compared with the reference below
        assert expected is not None, repr(e)
        assert type(e) is expected[0], (repr(e), expected)
        if expected[1] is not None:
            assert str(e) == expected[1]
        assert e.__context__ is None
        chunk = (list(args) + [None, None])[1]
        chunk = dict(kwargs).get("chunk_size", chunk)
        if isinstance(chunk, Index) and isinstance(chunk.value, BaseException):
            if expected[1] == f"argument 'chunk_size': {chunk.value}":
                # the replacement keeps the original's cause
                assert e.__cause__ is chunk.value.__cause__
            elif expected == (type(chunk.value), str(chunk.value)):
                assert e is chunk.value  # passed on unchanged
    else:
        assert expected is None
        assert list(table.index) == ["c0", "c1"]


# --- duck-typed models that fail anywhere -----------------------------------

class Boom(Exception):
    """An exception raised by a duck model; `tag` names where."""

    def __init__(self, tag):
        super().__init__(tag)
        self.tag = tag


class ValuesArray(np.ndarray):
    """An ndarray whose `values` attribute follows a plan."""

    def __array_finalize__(self, obj):
        self.plan = getattr(obj, "plan", "ok")

    @property
    def values(self):
        return behave(self, "values", self.plan, lambda: np.asarray(self))


class BadSequence:
    """A names source: len() and iteration follow a plan."""

    def __init__(self, items, mode, raised=None):
        self.items, self.mode, self.raised = items, mode, {} if raised is None else raised

    def __len__(self):
        if self.mode == "len_raises":
            raise Boom("len")
        return 2 ** 62 if self.mode == "len_lies" else len(self.items)

    def __getitem__(self, i):
        return self.items[i]

    def __iter__(self):
        for i, item in enumerate(self.items):
            if self.mode == "iter_fails" and i == 1:
                self.raised["iter"] = Boom("iter")
                raise self.raised["iter"]
            yield item


def behave(owner, attr, plan, ok):
    if plan == "ok":
        return ok()
    if plan == "attr":
        raise AttributeError(attr)
    if plan == "boom":
        error = Boom(attr)
        if hasattr(owner, "raised"):
            owner.raised.setdefault(attr, error)
        raise error
    return plan[1]  # ("wrong", value)


WRONG = {
    "params": [[0.1, 0.2], np.zeros(2, dtype=np.float32), np.zeros((2, 1)), "ab",
               np.zeros(2, dtype=">f8")],
    "cov": [np.eye(2).tolist(), np.zeros(2), np.eye(2, dtype=np.int64)],
    "exog": [np.zeros((5, 2), dtype=np.int64), np.zeros(5), None],
    "names": ["ab", ("a", 2), (s for s in "ab"), 12, {"a": 1, "b": 2}],
    "class_name": [5, b"Logit"],
}


def plan_strategy(attr, wrong=()):
    options = [st.just("ok"), st.just("attr"), st.just("boom")]
    if wrong:
        options.append(st.tuples(st.just("wrong"), st.sampled_from(wrong)))
    return st.one_of(*options)


@st.composite
def duck_plans(draw):
    # Most steps behave; a few (possibly none) are made to fail.
    plan = draw(all_plans())
    faulty = draw(st.sets(st.sampled_from(sorted(plan)), max_size=3))
    ok = {"model": ["ok", "ok"], "class": "ok", "class_name": "Logit", "params": "ok",
          "params_values": "ok", "cov_params": "ok", "cov_values": "ok", "exog": "ok",
          "exog_values": "ok", "exog_kind": plan["exog_kind"], "names_attr": "ok",
          "names_mode": plan["names_mode"]}
    return {key: plan[key] if key in faulty else ok[key] for key in plan}


@st.composite
def all_plans(draw):
    return {
        "model": [draw(plan_strategy("model")), draw(plan_strategy("model"))],
        "class": draw(plan_strategy("class")),
        "class_name": draw(st.sampled_from(["Logit", "probit", "OrderedModel"]) |
                           st.sampled_from(WRONG["class_name"])),
        "params": draw(plan_strategy("params", WRONG["params"])),
        "params_values": draw(plan_strategy("values")),
        "cov_params": draw(plan_strategy("cov_params", WRONG["cov"])),
        "cov_values": draw(plan_strategy("values")),
        "exog": draw(plan_strategy("exog", WRONG["exog"])),
        "exog_values": draw(plan_strategy("values")),
        "exog_kind": draw(st.sampled_from(["array", "frame"])),
        "names_attr": draw(plan_strategy("names", WRONG["names"])),
        "names_mode": draw(st.sampled_from(["list", "tuple", "len_raises", "len_lies",
                                            "iter_fails"])),
    }


class Frame:
    """A stand-in for a DataFrame: `values` and `columns`."""

    def __init__(self, X, plan, names_plan, names, raised):
        self._X, self.plan, self.names_plan, self._names, self.raised = X, plan, \
            names_plan, names, raised

    @property
    def values(self):
        return behave(self, "values", self.plan, lambda: self._X)

    @property
    def columns(self):
        return behave(self, "names", self.names_plan, lambda: self._names)


def build_duck(plan):
    X = np.random.default_rng(1).normal(size=(5, 2))
    beta = np.array([0.3, -0.2]).view(ValuesArray)
    beta.plan = plan["params_values"]
    sigma = (np.eye(2) * 0.01).view(ValuesArray)
    sigma.plan = plan["cov_values"]
    mode = plan["names_mode"]
    raised = {}
    names = (["a", "b"] if mode == "list" else ("a", "b") if mode == "tuple"
             else BadSequence(["a", "b"], mode, raised))
    class_name = plan["class_name"]

    name_holder = types.SimpleNamespace(__name__=class_name)  # stands for the class

    class Duck:
        def __init__(self, inner):
            self._inner = inner
            self.raised = raised
            self._model_reads = 0

        @property
        def model(self):
            step = plan["model"][min(self._model_reads, 1)]
            self._model_reads += 1
            return behave(self, "model", step, lambda: self._inner)

        @property
        def __class__(self):
            return behave(self, "class", plan["class"], lambda: name_holder)

        @property
        def params(self):
            return behave(self, "params", plan["params"], lambda: beta)

        def cov_params(self):
            return behave(self, "cov_params", plan["cov_params"], lambda: sigma)

        @property
        def exog(self):
            if plan["exog_kind"] == "frame":
                source = Frame(X, plan["exog_values"], plan["names_attr"], names, raised)
            else:
                source = X.view(ValuesArray)
                source.plan = plan["exog_values"]
            return behave(self, "exog", plan["exog"], lambda: source)

        @property
        def exog_names(self):
            return behave(self, "names", plan["names_attr"], lambda: names)

    outer = Duck(Duck(None))
    return outer, (X, beta, sigma)


def reference_read(model):
    """The exception reading the duck model must raise, in the order of the
    protocol, or None: (type, message or None, Boom tag or None)."""
    def attr_or_self(obj, name):
        try:
            return getattr(obj, name)
        except Exception:  # noqa: BLE001 - every failure means "use obj"
            return obj

    def array_test(obj, ndim):
        ok = (isinstance(obj, np.ndarray) and obj.ndim == ndim
              and obj.dtype == np.float64 and obj.dtype.isnative)
        if not ok:
            raise TypeError(f"'{type(obj).__qualname__}' object cannot be converted to "
                            "'PyArray<T, D>'")

    try:
        inner = attr_or_self(model, "model")
        cls_name = inner.__class__.__name__
        if not isinstance(cls_name, str):
            raise TypeError(f"'{type(cls_name).__qualname__}' object cannot be converted "
                            "to 'PyString'")
        if cls_name.lower() not in ("logit", "probit"):
            raise ValueError(f"ame: only Logit or Probit supported, got {cls_name}")
        array_test(attr_or_self(model.params, "values"), 1)
        array_test(attr_or_self(model.cov_params(), "values"), 2)
        inner = attr_or_self(model, "model")
        exog = inner.exog
        try:
            values = exog.values
        except Exception:  # noqa: BLE001
            array_test(exog, 2)
            source = inner.exog_names
        else:
            array_test(values, 2)
            source = exog.columns
        if isinstance(source, str):
            raise TypeError("Can't extract `str` to `Vec`")
        if not hasattr(type(source), "__getitem__") or isinstance(source, dict):
            raise TypeError(f"'{type(source).__qualname__}' object cannot be converted to "
                            "'Sequence'")
        for item in source:
            if not isinstance(item, str):
                raise TypeError(f"'{type(item).__qualname__}' object cannot be converted "
                                "to 'PyString'")
    except Boom as e:
        return Boom, None, e.tag
    except Exception as e:  # noqa: BLE001
        return type(e), str(e), None
    return None


@FUZZ
@given(duck_plans())
def test_duck_models_failing_at_any_step(plan):
    expected = reference_read(build_duck(plan)[0])
    event(f"expected: {expected and expected[0].__name__}")
    model, arrays = build_duck(plan)
    snap = snapshot(*arrays)
    try:
        table = tarvex.mfx(model)
    except Exception as e:  # noqa: BLE001 - compared with the reference below
        assert expected is not None, repr(e)
        assert type(e) is expected[0], (repr(e), expected)
        if expected[2] is not None:
            # the very exception the model raised, not a copy
            assert e is model.raised[expected[2]]
        elif expected[1] is not None:
            assert str(e) == expected[1]
        assert e.__context__ is None
    else:
        assert expected is None, expected
        assert list(table.index) == ["a", "b"]
    assert_unchanged(snap)


# --- regressions found by fuzzing -------------------------------------------

@pytest.mark.parametrize("claimed", [2 ** 31, 2 ** 40, 2 ** 62, 2 ** 63 - 1])
def test_names_source_claiming_a_huge_length(claimed):
    # __len__ is only a size hint; it used to be reserved as given
    # (MemoryError, or a PanicException from std::length_error).
    class Claims(BadSequence):
        def __len__(self):
            return claimed

    model = design("Logit", 6, 2, intercepts=(), seed=2)
    model.model.exog_names = Claims(["a", "b"], "list")
    assert list(tarvex.mfx(model).index) == ["a", "b"]


def test_keyword_that_is_not_utf8_is_an_unexpected_keyword():
    # Keyword names used to be encoded before matching, which raised
    # UnicodeEncodeError for a lone surrogate instead of the binding error.
    with pytest.raises(TypeError) as info:
        tarvex.mfx(GOOD, **{"\ud800": 1})
    assert str(info.value) == "mfx() got an unexpected keyword argument '\ud800'"


@pytest.mark.parametrize("where", ["name", "class name", "se_method"])
def test_text_that_is_not_utf8_raises_one_unicode_error(where):
    model = design("Logit", 6, 2, intercepts=(), seed=8)
    kwargs = {}
    if where == "name":
        model.model.exog_names = ["a", "b\udc80"]
    elif where == "class name":  # (a real class name must be UTF-8)
        class Inner:
            __class__ = property(lambda self: types.SimpleNamespace(__name__="Lo\ud800git"))

        inner = Inner()
        inner.exog, inner.exog_names = model.model.exog, model.model.exog_names
        model.model = inner
    else:
        kwargs["se_method"] = "r\udfffust"
    snap = snapshot(model.model.exog, model.params, model.sigma)
    with pytest.raises(UnicodeEncodeError) as info:
        tarvex.mfx(model, **kwargs)
    assert info.value.__context__ is None
    assert_unchanged(snap)


def test_misaligned_broadcast_is_not_materialised(panic_class):
    # A misaligned array is copied; a broadcast one used to be copied in full
    # (here 720 GB, a MemoryError) instead of as the one double it is, so the
    # mismatched Σ was never reported as such.
    raw = np.zeros(9, dtype=np.uint8)
    one = raw[1:].view(np.float64)
    assert not one.flags.aligned
    huge = np.broadcast_to(one, (300_000, 300_000))
    model = design("Logit", 6, 2, intercepts=(), seed=4)
    model.sigma = huge
    with pytest.raises(BaseException) as info:
        tarvex.mfx(model)
    assert type(info.value) is panic_class
    assert str(info.value) == ("2 \u00d7 2 and 300000 \u00d7 300000 are not compatible for "
                               "matrix multiplication")
    one[0] = 0.5
    model.sigma = np.broadcast_to(one, (2, 2))
    expected = design("Logit", 6, 2, intercepts=(), seed=4)
    expected.sigma = np.full((2, 2), 0.5)
    pd.testing.assert_frame_equal(tarvex.mfx(model), tarvex.mfx(expected), check_exact=True)
