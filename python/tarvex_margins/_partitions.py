"""Rows that come in partitions: a Dask DataFrame or Array, Parquet files.

Every estimate is S/W and its gradient T/W, sums over rows (_partial.py), so
each partition's rows give a Partial and the partials add. A Dask collection
gets one task per partition on the cluster's workers (the plan one key of the
graph, slim: _shipping.py), and the partials are added in a tree of tasks,
eight at a time; Parquet files are read one row group at a time, in record
batches of `chunk_size` rows holding only the columns the plan reads.

What is reported: the table's attrs["n_rows"] is the number of rows summed;
rows dropped for missing values are counted per partition and reported in one
warning. A partition that cannot be read as the model's variables fails with
a PartitionError naming it (Dask: its index; Parquet: file and row group); a
partition whose workers keep dying fails with Dask's KilledWorker, and one
whose task was cancelled with a CancelledError, naming it.
"""
from __future__ import annotations

import functools
import importlib
import os
import pickle
import sys
import warnings
from concurrent.futures import CancelledError
from typing import Optional

import pandas as pd

from ._margins import (_chunk_size, _no_offset_over_other_data, check_plan, check_progress,
                       partial_sums, refuse_point_in_part)
from ._partial import Partial, combine
from ._shipping import ship

#: Partials added per task of the tree.
FAN_IN = 8
#: The most rows pyarrow takes per record batch (its batch size is a C int);
#: a larger chunk_size reads a row group in batches of this many rows.
ARROW_BATCH_ROWS = 2**31 - 1
_DROPPED = "margins: dropped"
_EXTRA = "pip install 'tarvex[distributed]'"


class PartitionError(ValueError):
    """A partition of the data could not be summed; the message names it."""


def margins_partial(plan, data=None, *, chunk_size: Optional[int] = None,
                    progress: Optional[bool] = None) -> Partial:
    """The partial sums of the rows of `data` for `plan`.

    Parameters
    ----------
    plan : Plan
        From :func:`plan_margins`.
    data : optional
        The rows: None (the fitted rows), a pandas DataFrame or NumPy array
        (as :func:`margins`), a Dask DataFrame (or, for a model fitted on
        arrays, a Dask Array), a path to a Parquet file or a directory of
        them, or a ``pyarrow.dataset.Dataset``. The rows are taken as a part
        of the data: a group (or a category of ``by``) may have no rows or
        only zero weights here; the total is checked by
        :func:`margins_table`. A representative point (``at="mean"``, ...)
        is refused, as it needs all the rows at once.
    chunk_size : int, optional
        Rows per block of the engine's pass (and per Parquet record batch): a
        positive integer, as for :func:`margins`.
    progress : bool, optional
        Show a progress bar for Dask and Parquet data (default: when standard
        error is a terminal).

    Returns
    -------
    Partial
        W, S and T of those rows with the plan's key and the number of rows
        summed; add it to other partials of the same plan with ``+``,
        ``sum`` or :func:`combine`, and make the table with
        :func:`margins_table`.

    Raises
    ------
    TypeError
        `plan` is not a Plan (a fitted result goes to :func:`plan_margins`
        first), or chunk_size or progress of the wrong type.

    Examples
    --------
    >>> plan = plan_margins(fit, ["x"])                       # doctest: +SKIP
    >>> total = margins_partial(plan, day1) + margins_partial(plan, day2)
    >>> table = margins_table(plan, total)      # as margins(fit, "x", data=both days)
    """
    check_plan(plan)
    chunk = _chunk_size(chunk_size)
    check_progress(progress)
    return sum_rows(plan, data, chunk, progress, whole=False)


def sum_rows(plan, data, chunk: int, progress: Optional[bool], whole: bool = True) -> Partial:
    """The partial of `data` by its kind; in-memory rows are `whole` when they
    are all the rows (margins), a part when a caller adds them up. The
    arguments were checked at the door (margins, margins_partial)."""
    if _is_dask(data):
        _check_partitioned(plan)
        return _dask_partial(plan, data, chunk, _progress_on(progress))
    if _is_parquet(data):
        _check_partitioned(plan)
        return _parquet_partial(plan, data, chunk, _progress_on(progress))
    return partial_sums(plan, data, chunk, whole=whole)


def _check_partitioned(plan) -> None:
    """What cannot be summed partition by partition: an offset (known for the
    fitted rows only), a representative point (it needs all the rows before
    any effect), group labels or weights given as arrays (they cannot be
    matched to partitions; name columns of the data instead)."""
    _no_offset_over_other_data(plan.model)
    options = plan.options
    refuse_point_in_part(options)
    if options.by is not None and not isinstance(options.by, tuple):
        raise ValueError("over partitioned data, by= must name columns of the data, not be an array")
    if options.weights is not None and not isinstance(options.weights, str):
        raise ValueError("over partitioned data, weights= must name a column of the data, "
                         "not be an array")


def needed_columns(plan) -> list:
    """The data columns the plan reads: the formula's variables (or the
    design's columns of a model fitted on arrays), then the `by` and
    `weights` columns it names."""
    columns = list(plan.structure.variables) if plan.structure is not None else list(plan.model.names)
    options = plan.options
    if isinstance(options.by, tuple):
        columns += list(options.by)
    if isinstance(options.weights, str):
        columns.append(options.weights)
    return list(dict.fromkeys(columns))


# ---- one partition -----------------------------------------------------------

def _checked_columns(frame: pd.DataFrame, columns: list) -> pd.DataFrame:
    """The partition's columns the plan reads (their types are checked by
    partial_sums, as for rows in memory: Plan.numbers)."""
    missing = [c for c in columns if c not in frame.columns]
    if missing:
        raise ValueError(f"missing the columns {missing}")
    return frame[columns]


def _rows_partial(plan, rows, chunk, where: str):
    """(the partial of one partition's rows, the number of rows read); any
    failure becomes a PartitionError naming `where`."""
    try:
        if isinstance(rows, pd.DataFrame):
            rows = _checked_columns(rows, needed_columns(plan))
        with warnings.catch_warnings():
            warnings.filterwarnings("ignore", message=_DROPPED)
            return partial_sums(plan, rows, chunk, whole=False), len(rows)
    except Exception as error:  # noqa: BLE001 - named and re-raised
        raise PartitionError(f"{where}: {type(error).__name__}: {error}") from error


def _add_counted(*pairs):
    """Partials and row counts added."""
    return (functools.reduce(combine, [p for p, _ in pairs]), sum(n for _, n in pairs))


def _tree(items, add):
    """Adds items FAN_IN at a time, level by level, with add(*group)."""
    while len(items) > 1:
        items = [add(*items[i:i + FAN_IN]) for i in range(0, len(items), FAN_IN)]
    return items[0]


def _report(pair) -> Partial:
    partial, read = pair
    if read > partial.n_rows:
        warnings.warn(f"margins: dropped {read - partial.n_rows} of {read} rows with missing "
                      f"values", stacklevel=4)
    return partial


# ---- Dask ---------------------------------------------------------------------

def _require(module: str, what: str):
    try:
        return importlib.import_module(module)
    except ImportError as error:
        raise ImportError(f"margins over {what} needs {module.split('.')[0]}: {_EXTRA}") from error


def _is_dask(data) -> bool:
    return type(data).__module__.split(".")[0] in ("dask", "dask_expr") and hasattr(data, "to_delayed")


def _dask_parts(plan, data) -> list:
    """The collection's partitions as delayed objects, rows whole: a Dask
    DataFrame (any plan), or a 2-d Dask Array (a model fitted on arrays)."""
    if hasattr(data, "columns"):
        return list(data.to_delayed())
    if plan.structure is not None:
        raise TypeError("a formula model needs a Dask DataFrame (with the formula's variables), "
                        f"got a {type(data).__name__}")
    k = len(plan.model.names)
    if data.ndim != 2 or data.shape[1] != k:
        raise ValueError(f"data must have {k} columns (the model's {plan.model.names}), "
                         f"got shape {data.shape}")
    if len(data.chunks[1]) > 1:
        data = data.rechunk({1: -1})
    return list(data.to_delayed().ravel())


def _dask_partial(plan, data, chunk, progress) -> Partial:
    dask = _require("dask", "a Dask collection")
    parts = _dask_parts(plan, data)
    if not parts:
        raise ValueError("the Dask collection has no partitions")
    ship(plan)  # fails here, not inside Dask's serialisation, if the plan cannot travel
    client = _distributed_client()
    shared = _plan_node(dask, plan, on_cluster=client is not None)
    task = dask.delayed(_rows_partial, pure=True)
    where = [f"partition {i} of {len(parts)}" for i in range(len(parts))]
    tasks = [task(shared, part, chunk, name) for part, name in zip(parts, where)]
    if client is None:
        return _report(_local_compute(dask, _tree(tasks, dask.delayed(_add_counted, pure=True)),
                                      progress))
    return _report(_cluster_compute(client, tasks, where, progress))


def _plan_node(dask, plan, on_cluster: bool):
    """The plan as one key of the graph, on which every partition's task
    depends: a worker gets it once (computed there, or fetched from the
    worker holding it), and when the workers holding it die the scheduler
    computes it again from the graph, as any other key (data scattered to
    the workers could not be recomputed). On a cluster the key's task
    unpickles the plan's slim pickle (_shipping.py) on a worker, so the
    scheduler passes the bytes on and never rebuilds the formula's design;
    with Dask's local schedulers the key holds the plan itself."""
    name = f"tarvex-margins-plan-{plan.key}"
    if not on_cluster:
        return dask.delayed(plan, name=name, traverse=False)
    # cloudpickle (Dask's own dependency): a function of __main__ in the formula travels by value.
    import cloudpickle

    return dask.delayed(pickle.loads, pure=True)(cloudpickle.dumps(plan), dask_key_name=name)


def _distributed_client():
    """The current dask.distributed Client, or None (Dask's local schedulers)."""
    try:
        from distributed import get_client
        return get_client()
    except (ImportError, ValueError):
        return None


def _local_compute(dask, root, progress):
    if not progress:
        return dask.compute(root)[0]
    from dask.diagnostics import ProgressBar
    with ProgressBar(out=sys.stderr):
        return dask.compute(root)[0]


def _cluster_compute(client, tasks, where: list, progress):
    """One future per partition, watched as they finish (progress, and the
    first failure raised at once: only a finished future counts), then added
    in a tree of tasks on the workers. A worker lost on the way is Dask's to
    recover: the scheduler computes what it held again (the plan included)
    elsewhere or on its restarted process; a task on a worker that died more
    than the scheduler's allowed-failures times is Dask's KilledWorker."""
    from distributed import as_completed

    futures = client.compute(tasks)
    name = {future.key: w for future, w in zip(futures, where)}
    try:
        with _bar(len(futures), "partitions", progress) as bar:
            for future in as_completed(futures):
                if future.status != "finished":
                    _raise_unfinished(future, name[future.key])
                bar.update(1)
        return _tree(futures, lambda *group: client.submit(_add_counted, *group)).result()
    except BaseException:
        client.cancel(futures)
        raise


def _raise_unfinished(future, where: str) -> None:
    """The failure of a partition's future as Dask reports it, the partition
    named: KilledWorker (its workers kept dying), CancelledError (its task,
    or one it needs, was cancelled: its sums are missing), or the
    task's own error (a PartitionError names the partition already). A
    future lost and computed again since it was reported is waited for."""
    from distributed import KilledWorker

    try:
        future.result()
    except KilledWorker as error:
        raise _named_killed_worker(where, *error.args) from error
    except CancelledError as error:
        raise CancelledError(f"{where}: its task was cancelled ({error}); its sums are missing, "
                             "so there is no table") from error


def _named_killed_worker(where: str, task, last_worker, allowed_failures):
    """Dask's KilledWorker for the task of one partition, its message led by
    the partition (and pickled by this function, so it travels)."""
    return _partition_killed_worker()(where, task, last_worker, allowed_failures)


@functools.lru_cache(maxsize=None)
def _partition_killed_worker():
    from distributed import KilledWorker

    class PartitionKilledWorker(KilledWorker):
        def __init__(self, where, task, last_worker, allowed_failures):
            super().__init__(task, last_worker, allowed_failures)
            self.where = where

        def __str__(self) -> str:
            return f"{self.where}: {super().__str__()}"

        def __reduce__(self):
            return _named_killed_worker, (self.where,) + self.args

    return PartitionKilledWorker


# ---- Parquet --------------------------------------------------------------------

def _is_parquet(data) -> bool:
    if isinstance(data, (str, os.PathLike)):
        return True
    return type(data).__module__.startswith("pyarrow") and hasattr(data, "get_fragments")


def _row_groups(dataset):
    """(fragment of one row group, its file, its index, its rows) in order."""
    for fragment in dataset.get_fragments():
        if not hasattr(fragment, "split_by_row_group"):
            yield fragment, fragment.path, 0, None
            continue
        for piece in fragment.split_by_row_group():
            group = piece.row_groups[0]
            yield piece, fragment.path, group.id, group.num_rows


def _parquet_partial(plan, data, chunk, progress) -> Partial:
    pads = _require("pyarrow.dataset", "Parquet files")
    dataset = data if isinstance(data, pads.Dataset) else pads.dataset(os.fspath(data), format="parquet")
    columns = needed_columns(plan)
    groups = list(_row_groups(dataset))
    total = sum(rows or 0 for *_, rows in groups)
    summed = None
    with _bar(total or None, "rows", progress) as bar:
        for piece, path, index, _ in groups:
            where = f"{path}, row group {index}"
            absent = [c for c in columns if piece.physical_schema.get_field_index(c) < 0]
            if absent:
                raise PartitionError(f"{where}: missing the columns {absent}")
            batches = piece.to_batches(columns=columns, batch_size=min(chunk, ARROW_BATCH_ROWS))
            for batch in batches:
                pair = _rows_partial(plan, batch.to_pandas(), chunk, where)
                summed = pair if summed is None else _add_counted(summed, pair)
                bar.update(batch.num_rows)
    if summed is None:
        raise ValueError("the Parquet data has no rows")
    return _report(summed)


# ---- progress -------------------------------------------------------------------

def _progress_on(progress) -> bool:
    """Whether to show a bar: as asked (checked at the door), by default when
    standard error is a terminal."""
    if progress is None:
        return bool(getattr(sys.stderr, "isatty", lambda: False)())
    return bool(progress)


def _bar(total, unit: str, on: bool):
    if not on:
        return _NoBar()
    tqdm = _require("tqdm", "a progress bar").tqdm
    return tqdm(total=total, unit=unit[:-1], desc="margins", file=sys.stderr, unit_scale=True)


class _NoBar:
    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return False

    def update(self, n):
        pass
