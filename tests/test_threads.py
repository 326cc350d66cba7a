"""Re-entrancy and threads: mfx called from inside a model it is reading, and
from several Python threads at once, gives the tables of plain serial calls."""
import sys
import threading

import pandas as pd
import pytest

import tarvex
from models import DuckResults, duck_results


def assert_same_table(got, expected):
    pd.testing.assert_frame_equal(got, expected, check_exact=True)


class ReentrantResults(DuckResults):
    """cov_params() runs mfx on `other` (the model itself if None) once, and
    keeps what it got."""

    def __init__(self, *args, other=None, method="sm"):
        super().__init__(*args)
        self.other = other
        self.method = method
        self.inner_table = None
        self.inner_error = None
        self.depth = 0

    def cov_params(self):
        if self.depth == 0:
            self.depth += 1
            try:
                self.inner_table = tarvex.mfx(self.other or self, se_method=self.method)
            finally:
                self.depth -= 1
        return self.sigma


def reentrant(kind, seed, **kwargs):
    base = duck_results(kind, 25, 4, seed, names=["const", "a", "d", "b"], binary_cols=(2,))
    base.model.exog[:, 0] = 1.0
    return ReentrantResults(kind, base.model.exog, base.params, base.sigma,
                            base.model.exog_names, **kwargs)


@pytest.mark.parametrize("kind", ["Logit", "Probit"])
def test_cov_params_calling_mfx_on_the_same_model(kind):
    model = reentrant(kind, seed=1)
    expected_outer = tarvex.mfx(DuckResults(kind, model.model.exog, model.params, model.sigma,
                                            model.model.exog_names), se_method="rust")
    expected_inner = tarvex.mfx(DuckResults(kind, model.model.exog, model.params, model.sigma,
                                            model.model.exog_names), se_method="sm")
    outer = tarvex.mfx(model, se_method="rust")
    assert_same_table(outer, expected_outer)
    assert_same_table(model.inner_table, expected_inner)


def test_cov_params_calling_mfx_on_another_model_of_other_shape():
    other = duck_results("Probit", 40, 6, seed=4)
    model = reentrant("Logit", seed=2, other=other, method="rust")
    expected_inner = tarvex.mfx(other)
    plain = DuckResults("Logit", model.model.exog, model.params, model.sigma,
                        model.model.exog_names)
    assert_same_table(tarvex.mfx(model, 7), tarvex.mfx(plain, 7))
    assert_same_table(model.inner_table, expected_inner)


def test_panic_inside_nested_call_ends_the_outer_call_with_a_panic(capfd):
    broken = duck_results("Logit", 5, 3, seed=3, names=["a", "b"])  # a name short
    model = reentrant("Probit", seed=5, other=broken)
    with pytest.raises(BaseException) as info:
        tarvex.mfx(model)
    assert not isinstance(info.value, Exception)
    # The inner panic reached the outer call as an exception instance (Python
    # code normalised it on the way); the outer panic keeps its message, and
    # the inner one is printed with its traceback.
    assert type(info.value).__name__ == "PanicException"
    assert str(info.value) == "index out of bounds: the len is 2 but the index is 2"
    err = capfd.readouterr().err
    assert "Python stack trace below" in err
    assert "index out of bounds: the len is 2 but the index is 2" in err
    # the module goes on working
    assert len(tarvex.mfx(reentrant("Probit", seed=5))) == 3


def test_nested_panic_caught_by_the_model_leaves_the_outer_call_intact(capfd):
    broken = duck_results("Logit", 5, 3, seed=3, names=["a", "b"])
    model = reentrant("Logit", seed=6)

    def cov_params():
        try:
            tarvex.mfx(broken)
        except BaseException as e:  # noqa: BLE001 - the panic is swallowed on purpose
            model.inner_error = e
        return model.sigma

    model.cov_params = cov_params
    plain = DuckResults("Logit", model.model.exog, model.params, model.sigma,
                        model.model.exog_names)
    assert_same_table(tarvex.mfx(model), tarvex.mfx(plain))
    assert type(model.inner_error).__name__ == "PanicException"
    capfd.readouterr()


class YieldingResults(DuckResults):
    """Hands the interpreter lock around while the model is being read."""

    def cov_params(self):
        for _ in range(50):
            pass  # bytecode: other threads get the lock at the switch interval
        return self.sigma


@pytest.fixture
def fast_switching():
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(old)


def test_threads_on_different_models_match_serial_calls(fast_switching):
    specs = [("Logit", 30, 3, None, "rust"), ("Probit", 200, 5, 7, "sm"),
             ("Logit", 64, 6, 1, "sm"), ("Probit", 1, 2, None, "rust"),
             ("Logit", 0, 3, None, "rust"), ("Probit", 120, 4, 13, "rust")]
    jobs = []
    for seed, (kind, n, k, chunk, method) in enumerate(specs):
        base = duck_results(kind, n, k, seed=seed, binary_cols=(k - 1,))
        model = YieldingResults(kind, base.model.exog, base.params, base.sigma,
                                base.model.exog_names)
        jobs.append((model, chunk, method, tarvex.mfx(model, chunk, method)))

    rounds = 40
    barrier = threading.Barrier(len(jobs))
    failures = []

    def worker(model, chunk, method, expected):
        try:
            barrier.wait()
            for _ in range(rounds):
                assert_same_table(tarvex.mfx(model, chunk_size=chunk, se_method=method),
                                  expected)
        except BaseException as e:  # noqa: BLE001 - reported by the main thread
            failures.append(e)

    threads = [threading.Thread(target=worker, args=job) for job in jobs]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not failures, failures
