"""Binding of mfx's arguments and reading of the fitted model."""
import numpy as np
import pandas as pd
import pytest
import statsmodels.api as sm

import tarvex
from models import LAYOUTS_2D, DuckResults, lay_out, results

X3 = np.array([[1.0, 0.5, 1.0], [1.0, -1.2, 0.0], [1.0, 2.0, 1.0], [1.0, 0.1, 0.0]])
BETA3 = np.array([0.2, 0.7, -0.4])
SIGMA3 = np.array([[0.04, 0.01, 0.0], [0.01, 0.09, 0.02], [0.0, 0.02, 0.16]])
NAMES3 = ["const", "x", "d"]


def good_model(kind="Logit"):
    return results(kind, X3, BETA3, SIGMA3, NAMES3)


@pytest.mark.parametrize("call, message", [
    (lambda m: tarvex.mfx(m, None, None, None), "mfx() takes from 1 to 3 positional arguments but 4 were given"),
    (lambda m: tarvex.mfx(m, model=m), "mfx() got multiple values for argument 'model'"),
    (lambda m: tarvex.mfx(m, 2, chunk_size=2), "mfx() got multiple values for argument 'chunk_size'"),
    # An unknown keyword that is not the last one.
    (lambda m: tarvex.mfx(m, chunksize=2, se_method="sm"), "mfx() got an unexpected keyword argument 'chunksize'"),
    (lambda m: tarvex.mfx(), "mfx() missing 1 required positional argument: 'model'"),
    (lambda m: tarvex.mfx(chunk_size=3), "mfx() missing 1 required positional argument: 'model'"),
    (lambda m: tarvex.mfx(m, 2.0), "argument 'chunk_size': 'float' object cannot be interpreted as an integer"),
    (lambda m: tarvex.mfx(m, se_method=b"sm"), "argument 'se_method': 'bytes' object cannot be converted to 'PyString'"),
    # Binding comes before the model is looked at.
    (lambda m: tarvex.mfx(object(), chunk_size="x"), "argument 'chunk_size': 'str' object cannot be interpreted as an integer"),
])
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call(good_model())
    assert str(info.value) == message
    assert type(info.value) is TypeError


@pytest.mark.parametrize("chunk_size", [-1, 2**64])
def test_out_of_range_chunk_size_raises_overflow_unprefixed(chunk_size):
    with pytest.raises(OverflowError) as info:
        tarvex.mfx(good_model(), chunk_size=chunk_size)
    assert not str(info.value).startswith("argument")


@pytest.mark.parametrize("kwargs, message", [
    ({"chunk_size": 0}, "chunk_size must be at least 1"),
    ({"se_method": "Rust"}, "se_method must be 'rust' or 'sm', got 'Rust'"),
    ({"se_method": "sm "}, "se_method must be 'rust' or 'sm', got 'sm '"),
    ({"se_method": ""}, "se_method must be 'rust' or 'sm', got ''"),
])
def test_values_that_cannot_be_computed_are_refused(kwargs, message):
    with pytest.raises(ValueError) as info:
        tarvex.mfx(good_model(), **kwargs)
    assert str(info.value) == message


def test_chunk_size_cause_is_kept_from_the_index_conversion():
    class BadIndex:
        def __index__(self):
            try:
                raise KeyError("inner")
            except KeyError as e:
                raise TypeError("bad index") from e

    with pytest.raises(TypeError) as info:
        tarvex.mfx(good_model(), chunk_size=BadIndex())
    assert str(info.value) == "argument 'chunk_size': bad index"
    assert isinstance(info.value.__cause__, KeyError)


def test_equivalent_spellings_of_one_call():
    m = good_model()
    reference = tarvex.mfx(m)
    for table in (tarvex.mfx(m, None, None), tarvex.mfx(model=m, se_method=None),
                  tarvex.mfx(m, chunk_size=None, se_method="rust"), tarvex.mfx(m, 4, "rust"),
                  tarvex.mfx(m, True), tarvex.mfx(m, np.int64(2)), tarvex.mfx(se_method="rust", model=m)):
        pd.testing.assert_frame_equal(table, reference, rtol=1e-14)


def test_str_subclass_is_a_valid_se_method():
    class Method(str):
        pass

    pd.testing.assert_frame_equal(tarvex.mfx(good_model(), se_method=Method("sm")),
                                  tarvex.mfx(good_model(), se_method="sm"))


@pytest.mark.parametrize("name, accepted", [
    ("Logit", True), ("LOGIT", True), ("logit", True), ("Probit", True), ("pRoBiT", True),
    ("LogitResults", False), ("OrderedModel", False), (" Logit", False), ("Log\u0130t", False),
])
def test_model_kind_from_class_name(name, accepted):
    m = results(name, X3, BETA3, SIGMA3, NAMES3)
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

    m = good_model()
    m.model = Meta("Logit", (), {})()
    with pytest.raises(TypeError, match="^'int' object cannot be converted to 'PyString'$"):
        tarvex.mfx(m)


def array_error(m):
    with pytest.raises(TypeError) as info:
        tarvex.mfx(m)
    return str(info.value)


@pytest.mark.parametrize("field, value", [
    ("X", X3.astype(np.int64)),
    ("X", X3.astype(np.float32)),
    ("X", X3.astype(">f8")),
    ("X", X3.tolist()),
    ("X", X3[:, :, None]),
    ("beta", BETA3[:, None]),
    ("beta", BETA3.astype(object)),
    ("sigma", SIGMA3.ravel()),
])
def test_array_test_rejects_without_casting(field, value):
    kwargs = {"X": X3, "beta": BETA3, "sigma": SIGMA3}
    kwargs[field] = value
    m = DuckResults("Logit", kwargs["X"], kwargs["beta"], kwargs["sigma"], NAMES3)
    type_name = type(value).__qualname__
    assert array_error(m) == f"'{type_name}' object cannot be converted to 'PyArray<T, D>'"


@pytest.mark.parametrize("names, message", [
    ("const", "Can't extract `str` to `Vec`"),
    (None, "'NoneType' object cannot be converted to 'Sequence'"),
    (["const", 1, "d"], "'int' object cannot be converted to 'PyString'"),
])
def test_names_source_rules(names, message):
    m = DuckResults("Logit", X3, BETA3, SIGMA3, names)
    with pytest.raises(TypeError) as info:
        tarvex.mfx(m)
    assert str(info.value) == message


def test_names_as_tuple_and_failing_iteration():
    m = DuckResults("Logit", X3, BETA3, SIGMA3, tuple(NAMES3))
    assert list(tarvex.mfx(m).index) == ["x", "d"]

    class FailingNames:
        def __len__(self):
            raise RuntimeError("no len")

        def __getitem__(self, i):
            if i == 2:
                raise LookupError("mid-iteration")
            return NAMES3[i]

    m = DuckResults("Logit", X3, BETA3, SIGMA3, FailingNames())
    with pytest.raises(LookupError, match="mid-iteration"):
        tarvex.mfx(m)


def test_cov_params_failure_propagates():
    m = good_model()

    def cov_params():
        raise ArithmeticError("singular")

    m.cov_params = cov_params
    with pytest.raises(ArithmeticError, match="singular"):
        tarvex.mfx(m)


def test_dataframe_exog_with_integer_labels():
    m = good_model()
    m.model.exog = pd.DataFrame(X3)
    with pytest.raises(TypeError, match="^'int' object cannot be converted to 'PyString'$"):
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
