"""What a `data=` argument may hold, read the same way on every route (in
memory, per Dask partition, per Parquet batch): frames read by column name,
columns of the type the model was fitted with, and per-row arrays given as
pandas Series matched to the rows by their index labels."""
from __future__ import annotations

import numpy as np
import pandas as pd


def is_number_dtype(dtype) -> bool:
    """Numbers as the model reads them: a numeric dtype that is not bool."""
    return pd.api.types.is_numeric_dtype(dtype) and not pd.api.types.is_bool_dtype(dtype)


def _is_polars(data) -> bool:
    return type(data).__module__.split(".")[0] == "polars" and hasattr(data, "get_column")


def _is_arrow_table(data) -> bool:
    return type(data).__module__.split(".")[0] == "pyarrow" and hasattr(data, "column_names")


def is_frame(data) -> bool:
    """A frame whose columns are read by name: pandas, polars or an Arrow table."""
    return isinstance(data, pd.DataFrame) or _is_polars(data) or _is_arrow_table(data)


def frame_columns(data, columns: list) -> pd.DataFrame:
    """The named columns of a pandas, polars or Arrow frame, as a pandas
    frame (a pandas frame itself, untouched, when it is one). Columns are
    found by name, never by position; a column that is missing, or whose
    name the frame holds twice (or MultiIndex columns, whose names are
    tuples), is refused."""
    if isinstance(data, pd.DataFrame):
        if isinstance(data.columns, pd.MultiIndex):
            raise ValueError("data has MultiIndex columns; margins reads columns by their names "
                             "(flatten them, e.g. data.columns = ['_'.join(c) for c in data.columns])")
        names = list(data.columns)
    elif _is_polars(data):
        names = list(data.columns)
    elif _is_arrow_table(data):
        names = list(data.column_names)
    else:
        raise TypeError(f"data must be a pandas DataFrame, a polars DataFrame or a pyarrow Table, "
                        f"got {type(data).__name__}")
    missing = [c for c in columns if c not in names]
    if missing:
        raise ValueError(f"data is missing the columns {missing}")
    repeated = sorted({c for c in columns if names.count(c) > 1}, key=str)
    if repeated:
        raise ValueError(f"data has several columns named {repeated}; margins reads columns by "
                         "name, so each name must be unique")
    if isinstance(data, pd.DataFrame):
        return data
    if _is_polars(data):
        return pd.DataFrame({c: data.get_column(c).to_numpy() for c in columns})
    return pd.DataFrame({c: data.column(c).to_numpy(zero_copy_only=False) for c in columns})


def check_number_columns(frame: pd.DataFrame, fitted: dict) -> None:
    """Each column the model was fitted on as numbers (`fitted`: name →
    fitted dtype) holds numbers here too: text such as "0.25" or True/False
    would otherwise be converted silently into other values."""
    for name, fitted_dtype in fitted.items():
        if name in frame.columns and not is_number_dtype(frame[name].dtype):
            raise TypeError(f"data: column {name!r} has dtype {frame[name].dtype}; the model was "
                            f"fitted on numbers there ({fitted_dtype}); convert the column to "
                            "numbers first")


def check_number_array(X: np.ndarray, what: str) -> None:
    """An array of a model fitted on arrays holds numbers (not text, not bool)."""
    if not is_number_dtype(X.dtype) or np.iscomplexobj(X):
        raise TypeError(f"{what} has dtype {X.dtype}; the model was fitted on real numbers")


def aligned_to_rows(values: pd.Series, index: pd.Index, keep: np.ndarray, what: str):
    """A Series of one value per row matched to the rows by its index labels:
    `index` labels the rows of the data (`keep` those kept). It may label all
    the rows or only those kept, in any order; any other index is refused."""
    if values.index.equals(index):
        return values.array[keep]
    kept = index[keep]
    if values.index.equals(kept):
        return values.array
    if values.index.is_unique and index.is_unique:
        for labels, take in ((index, keep), (kept, None)):
            if len(values) == len(labels) and values.index.isin(labels).all():
                aligned = values.reindex(labels).array
                return aligned if take is None else aligned[take]
    raise ValueError(f"{what} is a pandas Series whose index does not match the rows of the data "
                     f"({len(values)} labels for {len(index)} rows, {int(keep.sum())} kept): it is "
                     "matched to the rows by label, so give it the data's index (or pass "
                     ".to_numpy() to match by position)")


def row_labels(data, n: int) -> pd.Index:
    """The labels of data's rows: a pandas frame's index, else 0 … n − 1."""
    return data.index if isinstance(data, pd.DataFrame) else pd.RangeIndex(n)
