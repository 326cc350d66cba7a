"""tarvex_margins over rows in pieces: the partial API, plans shipped to other
processes, Parquet files and a Dask cluster of worker processes, each
against the in-memory call on the same rows."""
import functools
import operator
import os
import pickle
import re
import sys
import time

import numpy as np
import pandas as pd
import pytest
import statsmodels.api as sm
import statsmodels.formula.api as smf

import tarvex_margins as tm
from tarvex_margins import _shipping
from margins_models import fit, frame

DF = frame(400, seed=21)
FORMULA = "y ~ x + I(x**2) + x:z + center(z) + np.log(z) + C(g, Treatment('north')) + b + t"


@pytest.fixture(scope="module")
def formula_fit():
    return fit(FORMULA, DF)


@pytest.fixture(scope="module")
def column_fit():
    return sm.Probit(DF.y, sm.add_constant(DF[["x", "z", "t"]].astype(float))).fit(disp=0)


def assert_same_table(got, expected, n_rows):
    labels = list(expected.columns[:expected.columns.get_loc("estimate")])
    pd.testing.assert_frame_equal(got[labels], expected[labels])
    np.testing.assert_allclose(got.estimate, expected.estimate, rtol=1e-12)
    np.testing.assert_allclose(got.std_error, expected.std_error, rtol=1e-12)
    assert got.attrs["n_rows"] == n_rows


# ---- the partial API and shipped plans ---------------------------------------------

def test_partials_pickle_add_in_any_grouping_and_refuse_other_plans(formula_fit):
    plan = tm.plan_margins(formula_fit)
    a, b, c = (pickle.loads(pickle.dumps(tm.margins_partial(plan, rows)))
               for rows in (DF.iloc[:90], DF.iloc[90:300], DF.iloc[300:]))
    assert a.gradient.shape == (1, len(plan.layout.specs), len(formula_fit.params))
    expected = tm.margins(formula_fit, data=DF)
    for total in ((a + b) + c, a + (c + b), tm.combine(c, tm.combine(b, a))):
        assert_same_table(tm.margins_table(plan, total), expected, len(DF))
    other = tm.plan_margins(formula_fit, ["x"])
    with pytest.raises(ValueError, match="different models or options"):
        a + tm.margins_partial(other, DF)
    with pytest.raises(ValueError, match="another model or other options"):
        tm.margins_table(other, a)


def test_partials_sum_from_zero_and_nothing_else_adds_to_them(formula_fit):
    plan = tm.plan_margins(formula_fit)
    parts = [tm.margins_partial(plan, DF.iloc[i:i + 150]) for i in range(0, len(DF), 150)]
    assert_same_table(tm.margins_table(plan, sum(parts)), tm.margins(formula_fit, data=DF), len(DF))
    for other in (1, 0.0, False, None, (1, 2), "0"):
        with pytest.raises(TypeError, match="only partials"):
            other + parts[0]
        with pytest.raises(TypeError, match="only partials"):
            parts[0] + other


def test_the_partial_api_names_the_plan_and_partial_it_expects(formula_fit):
    plan = tm.plan_margins(formula_fit)
    result = type(formula_fit).__name__
    with pytest.raises(TypeError, match=r"plan must be a Plan from plan_margins\(result, "
                                        rf"\.\.\.\), got a {result}"):
        tm.margins_partial(formula_fit, DF)
    with pytest.raises(TypeError, match=r"partial must be a Partial \(from margins_partial, or "
                                        r"a sum of them\), got a tuple"):
        tm.margins_table(plan, (1, 2))
    with pytest.raises(TypeError, match=rf"plan must be a Plan .*got a {result}"):
        tm.margins_table(formula_fit, tm.margins_partial(plan, DF))


#: Groups, weights and a grid, all carried by the plan to every piece of the rows.
OPTIONS = {"by": "grade", "weights": "w", "at": {"z": [2.0, 1.0]}}


def grouped(rows):
    """The rows sorted by x with groups of x whose categories are not in
    alphabetical order (so pieces lack some groups, and labels must keep the
    categories' order), and integer weights, some zero."""
    grade = pd.cut(rows.x, [-np.inf, -0.5, 0.5, np.inf], labels=["low", "mid", "high"])
    return rows.assign(grade=grade, w=np.arange(len(rows)) % 3).sort_values("x")


def test_options_travel_with_the_plan_and_groups_add_by_label(formula_fit, tmp_path):
    rows = grouped(DF)
    plan = pickle.loads(pickle.dumps(tm.plan_margins(formula_fit, **OPTIONS)))
    pieces = [tm.margins_partial(plan, rows.iloc[i:i + 100]) for i in range(0, len(rows), 100)]
    expected = tm.margins(formula_fit, data=rows, **OPTIONS)
    assert list(expected.grade.unique()) == ["low", "mid", "high"]
    assert_same_table(tm.margins_table(plan, pieces[3] + pieces[0] + (pieces[2] + pieces[1])),
                      expected, len(rows))
    pytest.importorskip("pyarrow")
    text = rows.astype({"grade": str})
    for i in range(0, len(rows), 150):
        text.iloc[i:i + 150].to_parquet(tmp_path / f"{i:03d}.parquet", row_group_size=60)
    assert_same_table(tm.margins(formula_fit, data=tmp_path, **OPTIONS),
                      tm.margins(formula_fit, data=text, **OPTIONS), len(rows))
    with pytest.raises(ValueError, match="needs all the rows"):
        tm.margins(formula_fit, data=tmp_path, at="mean")
    with pytest.raises(ValueError, match="must name a column"):
        tm.margins(formula_fit, data=tmp_path, weights=np.ones(len(rows)))


@pytest.mark.parametrize("formula, engine, holes", [
    (FORMULA, "patsy", False),
    ("y ~ standardize(x) + bs(z, df=4) + g:t + my_double(x * z)", "patsy", True),
    (FORMULA, "formulaic", False),
])
def test_a_shipped_plan_rebuilds_the_design_where_it_lands(formula, engine, holes):
    import statsmodels.formula as smformula
    if engine == "formulaic":
        if not hasattr(getattr(smformula, "options", None), "formula_engine"):
            pytest.skip("this statsmodels has only patsy")
        pytest.importorskip("formulaic")
        smformula.options.formula_engine = engine
    data = DF.assign(t=DF.t.where(DF.index % 37 != 5)) if holes else DF
    try:
        res = smf.logit(formula, data).fit(disp=0)   # sees my_double here
    finally:
        if engine == "formulaic":
            smformula.options.formula_engine = "patsy"
    # Rows given as data are built here, not by patsy: the same as the fitted design.
    assert_same_table(tm.margins(res, data=data.dropna()), tm.margins(res), int(res.nobs))
    plan = tm.plan_margins(res)
    blob = pickle.dumps(plan)
    _shipping._rebuilt.clear()   # rebuilt here as on a worker, not taken from the cache
    shipped = tm.margins_partial(pickle.loads(blob), DF.iloc[::3])
    assert_same_table(tm.margins_table(plan, shipped), tm.margins(res, data=DF.iloc[::3]),
                      len(DF.iloc[::3]))
    with pytest.raises(ValueError, match="without the fitted rows"):
        tm.margins_partial(pickle.loads(blob))


def my_double(v):
    return 2.0 * v


# ---- Parquet ------------------------------------------------------------------------

@pytest.fixture(scope="module")
def parquet_dir(tmp_path_factory):
    pytest.importorskip("pyarrow")
    root = tmp_path_factory.mktemp("parquet")
    for i, part in enumerate(np.array_split(np.arange(len(DF)), 3)):
        DF.iloc[part].assign(extra="unused").to_parquet(root / f"part{i}.parquet", row_group_size=50)
    return root


@pytest.mark.parametrize("source", ["directory", "file", "dataset"])
@pytest.mark.parametrize("model", ["formula_fit", "column_fit"])
def test_parquet_equals_the_in_memory_call(source, model, parquet_dir, request):
    res = request.getfixturevalue(model)
    data = DF if model == "formula_fit" else sm.add_constant(DF[["x", "z", "t"]].astype(float))
    if model == "column_fit":
        parquet_dir = parquet_dir.parent / "columns"
        parquet_dir.mkdir(exist_ok=True)
        data.to_parquet(parquet_dir / "all.parquet", row_group_size=64)
    rows = len(data)
    if source == "file":
        path, rows = sorted(parquet_dir.glob("*.parquet"))[0], None
    elif source == "dataset":
        import pyarrow.dataset as pads
        path = pads.dataset(parquet_dir, format="parquet")
    else:
        path = parquet_dir
    expected = tm.margins(res, data=data if rows else pd.read_parquet(path))
    assert_same_table(tm.margins(res, data=path, chunk_size=32), expected,
                      rows or len(pd.read_parquet(path)))


def test_parquet_faults_name_the_file_and_row_group(formula_fit, tmp_path):
    pytest.importorskip("pyarrow")
    DF.iloc[:200].to_parquet(tmp_path / "a.parquet", row_group_size=100)
    DF.iloc[200:].drop(columns="z").to_parquet(tmp_path / "b.parquet", row_group_size=100)
    with pytest.raises(tm.PartitionError, match=r"b\.parquet, row group 0: missing the columns \['z'\]"):
        tm.margins(formula_fit, data=tmp_path)
    texts = DF.astype({"x": str})
    texts.to_parquet(tmp_path / "b.parquet", row_group_size=100)
    with pytest.raises(tm.PartitionError, match=r"b\.parquet, row group 0: TypeError: data: column "
                                                r"'x' has dtype str; the model was fitted on numbers"):
        tm.margins(formula_fit, data=tmp_path)
    DF.iloc[200:].assign(x=DF.x.iloc[200:].where(DF.index[200:] % 10 != 0)).to_parquet(
        tmp_path / "b.parquet", row_group_size=100)
    with pytest.warns(UserWarning, match="dropped 20 of 400 rows") as caught:
        table = tm.margins(formula_fit, data=tmp_path, chunk_size=30)
    assert len(caught) == 1 and table.attrs["n_rows"] == 380


@pytest.mark.parametrize("progress, shown", [(True, True), (False, False), (None, False)])
def test_progress_bar_on_request_and_off_without_a_terminal(progress, shown, formula_fit,
                                                            parquet_dir, capsys):
    pytest.importorskip("tqdm")
    tm.margins(formula_fit, data=parquet_dir, progress=progress)
    assert ("400/400" in capsys.readouterr().err) is shown


def test_dask_without_a_cluster_uses_its_local_scheduler(formula_fit, capsys):
    dd = pytest.importorskip("dask.dataframe")
    table = tm.margins(formula_fit, data=dd.from_pandas(DF, npartitions=3), progress=True)
    assert_same_table(table, tm.margins(formula_fit, data=DF), len(DF))
    assert "100%" in capsys.readouterr().err


def on_route(route, res, rows, tmp_path, options=(), **source):
    """margins(res, data=rows, **options, **source) over one route: partials
    of pieces of 100 rows added, Parquet files (row groups of 60 rows), Dask
    partitions (its local scheduler), or the in-memory call; `source` holds
    chunk_size and progress."""
    options = dict(options)
    if route == "partials":
        plan = tm.plan_margins(res, **options)
        pieces = [tm.margins_partial(plan, rows.iloc[i:i + 100], **source)
                  for i in range(0, len(rows), 100)]
        return tm.margins_table(plan, functools.reduce(operator.add, pieces))
    if route == "parquet":
        pytest.importorskip("pyarrow")
        for i in range(0, len(rows), 150):
            rows.iloc[i:i + 150].to_parquet(tmp_path / f"{i:03d}.parquet", row_group_size=60)
        return tm.margins(res, data=tmp_path, **options, **source)
    if route == "dask":
        dd = pytest.importorskip("dask.dataframe")
        return tm.margins(res, data=dd.from_pandas(rows, npartitions=4), **options, **source)
    return tm.margins(res, data=rows, **options, **source)


ROUTES = ["memory", "partials", "parquet", "dask"]


@pytest.mark.parametrize("route", ROUTES)
def test_an_empty_category_of_by_is_refused_on_every_route(route, formula_fit, tmp_path):
    rows = grouped(DF)
    rows = rows[rows.grade != "mid"]          # a declared category without rows
    if route == "parquet":
        pytest.importorskip("pyarrow")
        rows.to_parquet(tmp_path / "check.parquet")
        assert pd.read_parquet(tmp_path / "check.parquet").grade.dtype == rows.grade.dtype
        os.remove(tmp_path / "check.parquet")
    with pytest.raises(ValueError, match=r"by='grade': the groups \['mid'\] have no rows"):
        on_route(route, formula_fit, rows, tmp_path, OPTIONS)


@pytest.mark.parametrize("route", ROUTES)
def test_chunk_size_and_progress_follow_one_rule_on_every_route(route, formula_fit, tmp_path):
    expected = tm.margins(formula_fit, data=DF)
    for huge in (2**40, 2**70, np.int64(2**62)):     # more rows than there are: one block
        assert_same_table(on_route(route, formula_fit, DF, tmp_path, chunk_size=huge),
                          expected, len(DF))
    for bad, error in ((0, ValueError), (-3, ValueError), (2.5, TypeError), (True, TypeError),
                       ("64", TypeError)):
        with pytest.raises(error, match=r"chunk_size must be a positive integer or None, got "
                                        + re.escape(repr(bad))):
            on_route(route, formula_fit, DF, tmp_path, chunk_size=bad)
    for bad in ("yes", 1, "no"):
        with pytest.raises(TypeError, match=r"progress must be True, False or None, got "
                                            + re.escape(repr(bad))):
            on_route(route, formula_fit, DF, tmp_path, progress=bad)


def test_missing_optional_dependency_is_named(formula_fit, monkeypatch):
    monkeypatch.setitem(sys.modules, "pyarrow.dataset", None)
    with pytest.raises(ImportError, match=r"tarvex\[distributed\]"):
        tm.margins(formula_fit, data="somewhere.parquet")


# ---- a Dask cluster of worker processes -----------------------------------------------

@pytest.fixture(scope="module")
def client():
    distributed = pytest.importorskip("distributed")
    pytest.importorskip("dask.dataframe")
    with distributed.LocalCluster(processes=True, n_workers=2, threads_per_worker=1,
                                  dashboard_address=None) as cluster:
        with distributed.Client(cluster) as connected:
            yield connected


def test_dask_frame_and_array_on_the_cluster_equal_the_in_memory_call(client, formula_fit, column_fit):
    import dask.array as da
    import dask.dataframe as dd

    ddf = dd.from_pandas(DF.assign(extra="unused"), npartitions=5)
    assert_same_table(tm.margins(formula_fit, data=ddf, chunk_size=20),
                      tm.margins(formula_fit, data=DF), len(DF))
    X = sm.add_constant(DF[["x", "z", "t"]].astype(float)).to_numpy()
    assert_same_table(tm.margins(column_fit, data=da.from_array(X, chunks=(90, 2))),
                      tm.margins(column_fit, data=X), len(DF))
    with pytest.raises(TypeError, match="needs a Dask DataFrame"):
        tm.margins(formula_fit, data=da.from_array(X))
    rows = grouped(DF)
    assert_same_table(tm.margins(formula_fit, data=dd.from_pandas(rows, npartitions=4), **OPTIONS),
                      tm.margins(formula_fit, data=rows, **OPTIONS), len(rows))


def make_partition(i, bad, marker):
    """Partition i of DF; `bad` spoils partition 2 ("drop" loses z, "text"
    turns x to strings), or ("die") makes partition 1 kill its worker process
    every time it runs, once the others are done; with a marker path,
    partition 1 kills its worker process the first time it runs."""
    if marker is not None and i == 1 and not os.path.exists(marker):
        open(marker, "w").close()
        os._exit(1)
    if bad == "die" and i == 1:
        time.sleep(1.0)   # the other partitions are summed on the worker's other thread meanwhile
        os._exit(1)
    part = DF.iloc[i * 100:(i + 1) * 100]
    if i == 2 and bad == "drop":
        return part.drop(columns="z")
    return part.astype({"x": str}) if i == 2 and bad == "text" else part


def partitions(bad=None, marker=None):
    import dask
    import dask.dataframe as dd

    parts = [dask.delayed(make_partition)(i, bad, marker) for i in range(4)]
    return dd.from_delayed(parts, meta=DF.iloc[:0], verify_meta=False)


@pytest.mark.parametrize("bad, message", [("drop", r"missing the columns \['z'\]"),
                                          ("text", "column 'x' has dtype")])
def test_a_bad_partition_is_named(client, formula_fit, bad, message):
    with pytest.raises(tm.PartitionError, match=f"partition 2 of 4: .*{message}"):
        tm.margins(formula_fit, data=partitions(bad))


def test_a_worker_killed_mid_run_is_recovered_with_the_same_result(client, formula_fit, tmp_path):
    marker = tmp_path / "killed-once"
    table = tm.margins(formula_fit, data=partitions(marker=str(marker)))
    assert marker.exists()
    assert_same_table(table, tm.margins(formula_fit, data=DF), len(DF))


@pytest.fixture(scope="module")
def lone_client():
    """A cluster of one worker process (two threads) on which a task may be
    on a dying worker once: when its worker dies, everything it held is lost
    (the plan included) and must be computed again."""
    distributed = pytest.importorskip("distributed")
    pytest.importorskip("dask.dataframe")
    with distributed.LocalCluster(processes=True, n_workers=1, threads_per_worker=2,
                                  dashboard_address=":0",
                                  scheduler_kwargs={"allowed_failures": 1}) as cluster:
        with distributed.Client(cluster, set_as_default=False) as connected:
            yield connected


def test_the_only_worker_killed_mid_run_is_recovered_with_the_same_result(lone_client, formula_fit,
                                                                         tmp_path):
    marker = tmp_path / "killed-once"
    with lone_client.as_current():
        table = tm.margins(formula_fit, data=partitions(marker=str(marker)))
    assert marker.exists()
    assert_same_table(table, tm.margins(formula_fit, data=DF), len(DF))


def test_a_partition_whose_worker_dies_every_time_is_named(lone_client, formula_fit):
    from distributed import KilledWorker

    with lone_client.as_current(), pytest.raises(KilledWorker, match=r"^partition 1 of 4: "):
        tm.margins(formula_fit, data=partitions("die"))
