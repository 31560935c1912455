"""``clean_matrix``: the one shape of every wide table that enters the backtest engine.

Rows are ascending ``YYYYMMDD`` text dates, columns six-digit stock codes (both read by the
parsers of :mod:`lumora._labels`), values ``float64``.
"""

from __future__ import annotations

import copy
from typing import Any

import numpy as np
import pandas as pd

from lumora._labels import date_labels, reject_duplicates, stock_labels

__all__ = ["clean_matrix"]


def _plain_numeric(dtype: Any) -> bool:
    return isinstance(dtype, np.dtype) and dtype.kind in "biuf"


def _column_as_float(column: pd.Series, label: Any) -> np.ndarray:
    dtype = column.dtype
    if _plain_numeric(dtype):
        return column.to_numpy(dtype=np.float64)
    numeric = pd.api.types.is_bool_dtype(dtype) or pd.api.types.is_numeric_dtype(dtype)
    if numeric and not isinstance(dtype, pd.CategoricalDtype):
        return column.to_numpy(dtype=np.float64, na_value=np.nan)
    if pd.api.types.is_datetime64_any_dtype(dtype) or pd.api.types.is_timedelta64_dtype(dtype):
        raise ValueError(f"column {label!r} holds dates or durations, not numbers")
    try:
        converted = pd.to_numeric(column.astype(object), errors="raise")
        return np.asarray(converted, dtype=np.float64)
    except (TypeError, ValueError):
        raise ValueError(f"column {label!r} holds values that are not numbers") from None


def _take_rows_as_float(values: np.ndarray, order: np.ndarray) -> np.ndarray:
    """Rows of ``values`` in ``order`` as float64, converting while gathering (one copy)."""
    if abs(values.strides[0]) <= abs(values.strides[1]):
        # Column-major (pandas' own layout): gather column by column, each gather stays
        # inside one cache-friendly column; measured faster than numpy's 2-D fancy indexing.
        out = np.empty(values.shape, dtype=np.float64, order="F")
        source_columns, out_columns = values.T, out.T
        for pos in range(values.shape[1]):
            out_columns[pos] = source_columns[pos][order]
        return out
    gathered: np.ndarray = values[order].astype(np.float64, copy=False)
    return gathered


def _float_values(matrix: pd.DataFrame, order: np.ndarray | None) -> np.ndarray:
    """All values as one float64 array, rows taken in ``order``."""
    if all(_plain_numeric(dtype) for dtype in matrix.dtypes):
        values = matrix.to_numpy()  # a view when the frame is one block
        if order is None:
            return values.astype(np.float64)
        return _take_rows_as_float(values, order)
    out = np.empty(matrix.shape, dtype=np.float64, order="F")
    for pos, label in enumerate(matrix.columns):
        column = _column_as_float(matrix.iloc[:, pos], label)
        out[:, pos] = column if order is None else column[order]
    return out


def _shares_memory_safely() -> bool:
    """True when a shallow copy cannot leak writes back into the caller's frame."""
    if int(pd.__version__.split(".")[0]) >= 3:
        return True
    return bool(pd.get_option("mode.copy_on_write"))


def clean_matrix(matrix: pd.DataFrame) -> pd.DataFrame:
    """Return a new date x stock table with normalised labels and float64 values.

    Row labels (datetimes, integers like 20240102, "2024-01-02", "20240102") become
    ``YYYYMMDD`` text and the rows are sorted ascending by date; column labels
    (every form the file source reads: 1, "000001", "000001.XSHE", "600000.SH",
    "600000.SHSE", "sz000001") become six-digit codes and keep their order. Values become float64: booleans 1.0/0.0, missing values NaN. The input is never
    modified. The names of both axes, ``attrs`` and a ``name`` attribute are kept.

    Raises:
        TypeError: if ``matrix`` is not a DataFrame.
        ValueError: for labels that are not dates or stock codes, for labels that collide
            after normalisation, and for columns holding non-numeric values.
    """
    if not isinstance(matrix, pd.DataFrame):
        raise TypeError(f"matrix must be a pandas DataFrame, not {type(matrix).__name__}")
    dates = date_labels(matrix.index)
    stocks = stock_labels(matrix.columns)
    reject_duplicates(dates, matrix.index, "dates")
    reject_duplicates(stocks, matrix.columns, "stocks")

    order: np.ndarray | None = None
    date_index = pd.Index(dates, dtype=str, name=matrix.index.name)
    if not date_index.is_monotonic_increasing:
        order = np.argsort(dates.astype(str), kind="stable")
        date_index = date_index[order]
    stock_index = pd.Index(stocks, dtype=str, name=matrix.columns.name)

    if order is None and all(dtype == np.float64 for dtype in matrix.dtypes):
        result = matrix.copy(deep=not _shares_memory_safely())
        result.index = date_index
        result.columns = stock_index
    else:
        values = _float_values(matrix, order)
        result = pd.DataFrame(values, index=date_index, columns=stock_index, copy=False)

    if matrix.attrs:
        result.attrs = copy.deepcopy(matrix.attrs)
    name = matrix.__dict__.get("name")
    if name is not None:
        object.__setattr__(result, "name", name)
    return result
