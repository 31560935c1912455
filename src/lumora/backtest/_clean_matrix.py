"""``clean_matrix``: the one shape of every wide table that enters the backtest engine.

Rows are ascending ``YYYYMMDD`` text dates, columns six-digit stock codes (both read by the
parsers of :mod:`lumora._labels`), values ``float64``. Cells must be real numbers (or
missing): :func:`object_cells_as_float` is also how the engine functions read a table of
Python objects, so the requests and the engines accept and refuse the same cells.
"""

from __future__ import annotations

import copy
import decimal
import numbers
import reprlib
from typing import Any

import numpy as np
import pandas as pd

from lumora._labels import date_labels, reject_duplicates, stock_labels

__all__ = ["clean_matrix", "object_cells_as_float"]

# What pandas infers for object cells that are all real numbers or missing; anything else
# ("mixed" among them) is looked at cell by cell.
_REAL_KINDS = frozenset(
    {"empty", "boolean", "integer", "floating", "mixed-integer-float", "decimal"}
)


def _plain_numeric(dtype: Any) -> bool:
    return isinstance(dtype, np.dtype) and dtype.kind in "biuf"


def _is_real(cell: object) -> bool:
    # numpy's durations are integers to the number tower, but they are no amounts.
    if isinstance(cell, np.timedelta64):
        return False
    return isinstance(cell, numbers.Real | decimal.Decimal | np.bool_)


def _first_not_real(cells: np.ndarray) -> tuple[bool, object]:
    for cell in cells:
        if not (_is_real(cell) or (pd.api.types.is_scalar(cell) and pd.isna(cell))):
            return True, cell
    return False, None


def _refused(name: str, found: str) -> TypeError:
    return TypeError(
        f"{name} must hold numbers (floats, integers or booleans; NaN for missing), got {found}"
    )


def object_cells_as_float(cells: np.ndarray) -> np.ndarray:
    """Cells of object dtype (any shape) as float64 of the same shape: real numbers
    (booleans, integers, floats, decimals, numpy numbers) as their value, missing cells
    (None, NaN, ``pd.NA``, ``NaT``) as NaN. Text that looks like a number is not one.

    Raises:
        TypeError: describing the first cell that is not a real number (text, bytes,
            complex numbers, dates, ...).
    """
    flat = cells.ravel(order="K")
    if pd.api.types.infer_dtype(flat, skipna=True) not in _REAL_KINDS:
        found, cell = _first_not_real(flat)
        if found:
            raise TypeError(
                f"cells that are not real numbers (for example {reprlib.repr(cell)}, "
                f"a {type(cell).__name__})"
            )
    return np.where(pd.isna(cells), np.nan, cells).astype(np.float64)


def _column_as_float(column: pd.Series, label: Any, name: str) -> np.ndarray:
    dtype = column.dtype
    if _plain_numeric(dtype):
        return column.to_numpy(dtype=np.float64)
    if isinstance(dtype, pd.CategoricalDtype) or dtype == object:
        try:
            return object_cells_as_float(column.to_numpy(dtype=object))
        except TypeError as error:
            raise _refused(name, f"column {label!r} of {error}") from None
    numeric = pd.api.types.is_bool_dtype(dtype) or pd.api.types.is_numeric_dtype(dtype)
    if numeric and not pd.api.types.is_complex_dtype(dtype):
        return column.to_numpy(dtype=np.float64, na_value=np.nan)
    if isinstance(dtype, pd.StringDtype):
        raise _refused(name, f"column {label!r} of text (dtype {dtype})")
    raise _refused(name, f"column {label!r} of dtype {dtype}")


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


def _float_values(matrix: pd.DataFrame, order: np.ndarray | None, name: str) -> np.ndarray:
    """All values as one float64 array, rows taken in ``order``."""
    if all(_plain_numeric(dtype) for dtype in matrix.dtypes):
        values = matrix.to_numpy()  # a view when the frame is one block
        if order is None:
            return values.astype(np.float64)
        return _take_rows_as_float(values, order)
    out = np.empty(matrix.shape, dtype=np.float64, order="F")
    for pos, label in enumerate(matrix.columns):
        column = _column_as_float(matrix.iloc[:, pos], label, name)
        out[:, pos] = column if order is None else column[order]
    return out


def _shares_memory_safely() -> bool:
    """True when a shallow copy cannot leak writes back into the caller's frame."""
    if int(pd.__version__.split(".")[0]) >= 3:
        return True
    return bool(pd.get_option("mode.copy_on_write"))


def clean_matrix(matrix: pd.DataFrame, name: str = "matrix") -> pd.DataFrame:
    """Return a new date x stock table with normalised labels and float64 values.

    Row labels (datetimes, integers like 20240102, "2024-01-02", "20240102") become
    ``YYYYMMDD`` text and the rows are sorted ascending by date; column labels
    (every form the file source reads: 1, "000001", "000001.XSHE", "600000.SH",
    "600000.SHSE", "sz000001") become six-digit codes and keep their order. Values
    become float64: booleans 1.0/0.0, missing values NaN. The input is never modified. The
    names of both axes, ``attrs`` and a ``name`` attribute are kept. ``name`` is the
    argument the table came in as, for the messages.

    Raises:
        TypeError: if ``matrix`` is not a DataFrame, and naming ``name`` and the column for
            cells that are not real numbers (complex numbers, text, bytes, dates, durations
            and other objects; text is refused even when it reads as a number).
        ValueError: for labels that are not dates or stock codes and for labels that
            collide after normalisation.
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
        values = _float_values(matrix, order, name)
        result = pd.DataFrame(values, index=date_index, columns=stock_index, copy=False)

    if matrix.attrs:
        result.attrs = copy.deepcopy(matrix.attrs)
    frame_name = matrix.__dict__.get("name")
    if frame_name is not None:
        object.__setattr__(result, "name", frame_name)
    return result
