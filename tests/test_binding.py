"""Binding of mfx's arguments and reading of the fitted model."""
import numpy as np
import pandas as pd
import pytest
import statsmodels.api as sm

import tarvex
from models import BAD_CALLS, LAYOUTS_2D, PANIC, DuckResults, bad_call, lay_out, small_model


@pytest.mark.parametrize("name", BAD_CALLS)
def test_bad_calls_raise_exactly_their_error(name, panic_class):
    args, kwargs, error, message = bad_call(name)
    with pytest.raises(BaseException) as info:
        tarvex.mfx(*args, **kwargs)
    assert type(info.value) is (panic_class if error == PANIC else error)
    if message is not None:
        assert str(info.value) == message
    if error is OverflowError:  # the conversion's own error, not prefixed
        assert not str(info.value).startswith("argument")


def test_chunk_size_cause_is_kept_from_the_index_conversion():
    class BadIndex:
        def __index__(self):
            try:
                raise KeyError("inner")
            except KeyError as e:
                raise TypeError("bad index") from e

    with pytest.raises(TypeError) as info:
        tarvex.mfx(small_model(), chunk_size=BadIndex())
    assert str(info.value) == "argument 'chunk_size': bad index"
    assert isinstance(info.value.__cause__, KeyError)


def test_equivalent_spellings_of_one_call():
    m = small_model()
    reference = tarvex.mfx(m)
    for table in (tarvex.mfx(m, None, None), tarvex.mfx(model=m, se_method=None),
                  tarvex.mfx(m, chunk_size=None, se_method="rust"), tarvex.mfx(m, 4, "rust"),
                  tarvex.mfx(m, True), tarvex.mfx(m, np.int64(2)), tarvex.mfx(se_method="rust", model=m)):
        pd.testing.assert_frame_equal(table, reference, rtol=1e-14)


def test_str_subclass_is_a_valid_se_method():
    class Method(str):
        pass

    pd.testing.assert_frame_equal(tarvex.mfx(small_model(), se_method=Method("sm")),
                                  tarvex.mfx(small_model(), se_method="sm"))


@pytest.mark.parametrize("name, accepted", [
    ("Logit", True), ("LOGIT", True), ("logit", True), ("Probit", True), ("pRoBiT", True),
    ("LogitResults", False), ("OrderedModel", False), (" Logit", False), ("Log\u0130t", False),
])
def test_model_kind_from_class_name(name, accepted):
    m = small_model(name)
    if accepted:
        assert list(tarvex.mfx(m).index) == ["x", "d"]
    else:
        with pytest.raises(ValueError) as info:
            tarvex.mfx(m)
        assert str(info.value) == f"ame: only Logit or Probit supported, got {name}"


def test_kelvin_sign_lowercases_to_k_and_no_other_non_ascii_character_reaches_ascii():
    # The module compares names after full Unicode lower-casing; the only
    # non-ASCII character whose lower case is ASCII is the Kelvin sign.
    reaches_ascii = [c for c in map(chr, range(0x80, 0x110000)) if c.lower().isascii()]
    assert reaches_ascii == ["\u212a"]


def test_none_and_objects_without_model_are_their_own_inner_model():
    with pytest.raises(ValueError, match="got NoneType$"):
        tarvex.mfx(None)

    class Exploding:
        @property
        def model(self):
            raise RuntimeError("not AttributeError")

    with pytest.raises(ValueError, match="got Exploding$"):
        tarvex.mfx(Exploding())


def test_class_name_must_be_a_str():
    class Meta(type):
        def __getattribute__(cls, name):
            if name == "__name__":
                return 42
            return super().__getattribute__(name)

    m = small_model()
    m.model = Meta("Logit", (), {})()
    with pytest.raises(TypeError, match="^'int' object cannot be converted to 'PyString'$"):
        tarvex.mfx(m)


def test_names_as_tuple_and_failing_iteration():
    m = small_model(exog_names=("const", "x", "d"))
    assert list(tarvex.mfx(m).index) == ["x", "d"]

    class FailingNames:
        def __len__(self):
            raise RuntimeError("no len")

        def __getitem__(self, i):
            if i == 2:
                raise LookupError("mid-iteration")
            return ["const", "x", "d"][i]

    m = small_model(exog_names=FailingNames())
    with pytest.raises(LookupError, match="mid-iteration"):
        tarvex.mfx(m)


@pytest.mark.parametrize("se_method", ["rust", "sm"])
def test_every_layout_reads_as_its_contiguous_copy(se_method):
    base = np.random.default_rng(5).normal(size=(9, 4))
    base[:, 2] = [0, 1, 1, 0, 1, 0, 0, 1, 1]
    beta, sigma = np.array([0.3, -0.2, 0.8, 0.1]), np.diag([0.1, 0.2, 0.3, 0.4]) + 0.01
    names = ["const", "a", "d", "b"]
    for layout in LAYOUTS_2D:
        view = lay_out(base, layout)
        dense = np.ascontiguousarray(view)
        expected = tarvex.mfx(DuckResults("Probit", dense, beta, sigma, names), se_method=se_method)
        got = tarvex.mfx(DuckResults("Probit", view, beta, sigma, names), se_method=se_method)
        pd.testing.assert_frame_equal(got, expected, rtol=1e-13, obj=layout)


def test_statsmodels_results_on_numpy_and_on_pandas_agree():
    data = sm.datasets.spector.load_pandas()
    exog = sm.add_constant(data.exog, prepend=False)
    on_pandas = sm.Probit(data.endog, exog).fit(disp=0)
    on_numpy = sm.Probit(data.endog.values, exog.values).fit(disp=0)
    assert isinstance(on_numpy.params, np.ndarray)
    table_pandas = tarvex.mfx(on_pandas, se_method="sm")
    table_numpy = tarvex.mfx(on_numpy, se_method="sm")
    assert list(table_pandas.index) == ["GPA", "TUCE", "PSI"]
    assert list(table_numpy.index) == ["x1", "x2", "x3"]
    np.testing.assert_allclose(table_numpy.iloc[:, :6].to_numpy(), table_pandas.iloc[:, :6].to_numpy(),
                               rtol=1e-12)
