"""Prepared-data store support: date and label normalisation shared by every table.

Every wide table that enters the backtest engine passes through :func:`clean_matrix`, so the
engine can rely on one shape: rows are ascending ``YYYYMMDD`` text dates, columns are six-digit
stock codes, values are ``float64``.
"""

from __future__ import annotations

import copy
import datetime as _dt
import re
from typing import Any

import numpy as np
import pandas as pd

__all__ = ["clean_matrix", "component_dataset_key", "normalize_yyyymmdd"]

_COMPONENT_KEY_PREFIX = "component__"
# The key names a file on disk; stay well below the common 255-byte file-name limit.
_MAX_COMPONENT_KEY_LENGTH = 200
_SAFE_KEY_CHAR = re.compile(r"[A-Za-z0-9_]")

_DATE_TEXT = re.compile(
    r"^(?:(?P<y>\d{4})(?P<m>\d{2})(?P<d>\d{2})"
    r"|(?P<y2>\d{4})(?P<sep>[-/.])(?P<m2>\d{1,2})(?P=sep)(?P<d2>\d{1,2}))"
    r"(?:[ T]\d{1,2}:\d{2}(?::\d{2}(?:\.\d+)?)?)?$"
)
_EIGHT_DIGITS = r"^\d{8}$"
_SIX_DIGITS = r"^\d{6}$"
# "000001", "1" (leading zeros lost on the way), "000001.XSHE", "600000.SH", "sz000001", "SH.600000".
_STOCK_TEXT = (
    r"^(?:(?P<suffixed>\d{6})\.(?:XSHG|XSHE|SH|SZ|SS|BJ|BSE|XBSE)"
    r"|(?:SH|SZ|SS|BJ)\.?(?P<prefixed>\d{6})"
    r"|(?P<bare>\d{1,6}))$"
)
_MAX_NAMED_LABELS = 10


# --------------------------------------------------------------------------- dates


def _checked_date(year: int, month: int, day: int, original: object) -> str:
    try:
        _dt.date(year, month, day)
    except ValueError:
        raise ValueError(f"not a valid calendar date: {original!r}") from None
    return f"{year:04d}{month:02d}{day:02d}"


def _normalize_integer(value: int, original: object) -> str:
    if not 10000101 <= value <= 99991231:
        raise ValueError(f"integer date must have eight digits YYYYMMDD: {original!r}")
    return _checked_date(value // 10000, value // 100 % 100, value % 100, original)


def _normalize_text(value: str) -> str:
    match = _DATE_TEXT.match(value.strip())
    if match is None:
        raise ValueError(f"cannot read a date from text: {value!r}")
    if match["y"] is not None:
        return _checked_date(int(match["y"]), int(match["m"]), int(match["d"]), value)
    return _checked_date(int(match["y2"]), int(match["m2"]), int(match["d2"]), value)


def normalize_yyyymmdd(value: Any) -> str | None:
    """Return ``value`` as eight-digit ``YYYYMMDD`` text, or ``None`` for ``None``.

    Accepts text ("20240102", "2024-01-02", "2024/01/02", "2024-01-02 00:00:00"), integers
    such as 20240102 (numpy integers included), integral floats, ``date``, ``datetime``,
    ``pd.Timestamp`` and ``np.datetime64``. The time of day, if any, is dropped.

    Raises:
        ValueError: for booleans, missing values (NaN, NaT, ``pd.NA``), text that is not a
            date, impossible dates such as 20240231, and values of any other kind.
    """
    if value is None:
        return None
    if isinstance(value, (bool, np.bool_)):
        # Callers rely on ValueError for every value that is not a date.
        raise ValueError(f"a boolean is not a date: {value!r}")  # noqa: TRY004
    if isinstance(value, str):
        return _normalize_text(value)
    if isinstance(value, (int, np.integer)):
        return _normalize_integer(int(value), value)
    if isinstance(value, (float, np.floating)):
        if not np.isfinite(value) or float(value) != int(value):
            raise ValueError(f"not a date: {value!r}")
        return _normalize_integer(int(value), value)
    if value is pd.NaT or value is pd.NA:
        raise ValueError(f"a missing value is not a date: {value!r}")
    if isinstance(value, np.datetime64):
        if np.isnat(value):
            raise ValueError(f"a missing value is not a date: {value!r}")
        day = value.astype("datetime64[D]").item()
        return f"{day.year:04d}{day.month:02d}{day.day:02d}"
    if isinstance(value, _dt.date):  # datetime and pd.Timestamp are dates too
        return f"{value.year:04d}{value.month:02d}{value.day:02d}"
    raise ValueError(f"cannot normalise {type(value).__name__} value to YYYYMMDD: {value!r}")


# --------------------------------------------------------------------------- component keys


def _escape_key_char(char: str) -> str:
    if _SAFE_KEY_CHAR.fullmatch(char):
        return char
    return "".join(f"-{byte:02X}" for byte in char.encode("utf-8"))


def component_dataset_key(component_name: str) -> str:
    """Return the dataset key under which an index-membership matrix is stored.

    The key is ``"component__"`` followed by the name with every character outside
    ``[A-Za-z0-9_]`` written as ``-XX`` per UTF-8 byte ("." becomes "-2E"). Because "-" is
    itself always escaped, different names always give different keys, and every key is a
    safe file name.

    Raises:
        TypeError: if ``component_name`` is not text.
        ValueError: if it is empty or its key would be too long for a file name.
    """
    if not isinstance(component_name, str):
        raise TypeError(f"component_name must be text, not {type(component_name).__name__}")
    if not component_name:
        raise ValueError("component_name must not be empty")
    key = _COMPONENT_KEY_PREFIX + "".join(_escape_key_char(c) for c in component_name)
    if len(key) > _MAX_COMPONENT_KEY_LENGTH:
        raise ValueError(f"component_name is too long for a dataset key: {component_name!r}")
    return key


# --------------------------------------------------------------------------- labels


def _describe(labels: list[Any]) -> str:
    shown = ", ".join(repr(label) for label in labels[:_MAX_NAMED_LABELS])
    more = len(labels) - _MAX_NAMED_LABELS
    return shown + (f" (and {more} more)" if more > 0 else "")


def _is_text_index(index: pd.Index) -> bool:
    return pd.api.types.is_string_dtype(index.dtype) and (
        index.dtype != object or pd.api.types.infer_dtype(index, skipna=False) == "string"
    )


def _date_labels(index: pd.Index) -> np.ndarray:
    """Row labels as an object array of ``YYYYMMDD`` text."""
    if len(index) == 0:
        return np.empty(0, dtype=object)
    if isinstance(index, pd.DatetimeIndex):
        if index.hasnans:
            raise ValueError("row labels contain missing dates (NaT)")
        return index.strftime("%Y%m%d").to_numpy(dtype=object)
    if _is_text_index(index) and index.str.fullmatch(_EIGHT_DIGITS).all():
        parsed = pd.to_datetime(index, format="%Y%m%d", errors="coerce")
        if parsed.hasnans:
            bad = index[parsed.isna()].tolist()
            raise ValueError(f"row labels are not valid dates: {_describe(bad)}")
        return index.to_numpy(dtype=object)
    # Mixed or unusual labels: normalise each distinct label once.
    cache: dict[Any, str] = {}
    out = np.empty(len(index), dtype=object)
    for pos, label in enumerate(index.tolist()):
        key = (type(label), label)
        text = cache.get(key)
        if text is None:
            try:
                text = normalize_yyyymmdd(label)
            except ValueError as error:
                raise ValueError(f"row label {label!r} is not a date: {error}") from None
            if text is None:
                raise ValueError("row labels contain a missing date (None)")
            cache[key] = text
        out[pos] = text
    return out


def _integer_stock_labels(values: np.ndarray, original: pd.Index) -> pd.Index:
    bad = (values < 0) | (values > 999_999)
    if bad.any():
        raise ValueError(f"column labels are not stock codes: {_describe(original[bad].tolist())}")
    return pd.Index(values.astype(np.int64)).astype(str).str.zfill(6)


def _label_as_text(label: Any) -> str | None:
    if isinstance(label, (bool, np.bool_)):
        return None
    if isinstance(label, str):
        return label
    if isinstance(label, (int, np.integer)):
        return str(int(label))
    if isinstance(label, (float, np.floating)) and np.isfinite(label) and label == int(label):
        return str(int(label))
    return None


def _stock_labels(columns: pd.Index) -> np.ndarray:
    """Column labels as an object array of six-digit stock codes."""
    if len(columns) == 0:
        return np.empty(0, dtype=object)
    if pd.api.types.is_integer_dtype(columns.dtype) and not pd.api.types.is_bool_dtype(
        columns.dtype
    ):
        return _integer_stock_labels(columns.to_numpy(), columns).to_numpy(dtype=object)
    if _is_text_index(columns):
        if columns.str.fullmatch(_SIX_DIGITS).all():
            return columns.to_numpy(dtype=object)
        text = columns
    else:
        converted = [_label_as_text(label) for label in columns.tolist()]
        unreadable = [lab for lab, txt in zip(columns.tolist(), converted) if txt is None]
        if unreadable:
            raise ValueError(f"column labels are not stock codes: {_describe(unreadable)}")
        text = pd.Index(converted, dtype=object)
    parts = text.str.strip().str.extract(_STOCK_TEXT, flags=re.IGNORECASE)
    code = parts["suffixed"].fillna(parts["prefixed"]).fillna(parts["bare"])
    missing = code.isna().to_numpy()
    if missing.any():
        bad = columns[missing].tolist()
        raise ValueError(f"column labels are not stock codes: {_describe(bad)}")
    return code.str.zfill(6).to_numpy(dtype=object)


def _reject_duplicates(labels: np.ndarray, original: pd.Index, what: str) -> None:
    normalised = pd.Index(labels)
    if normalised.is_unique:
        return
    duplicated = normalised.duplicated(keep=False)
    groups: dict[str, list[Any]] = {}
    for label, source in zip(normalised[duplicated], original[duplicated]):
        groups.setdefault(label, []).append(source)
    described = "; ".join(
        f"{label} (from {_describe(sources)})"
        for label, sources in list(groups.items())[:_MAX_NAMED_LABELS]
    )
    raise ValueError(f"duplicate {what} after normalisation: {described}")


# --------------------------------------------------------------------------- values


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
        numeric = pd.to_numeric(column.astype(object), errors="raise")
        return np.asarray(numeric, dtype=np.float64)
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
    return values[order].astype(np.float64, copy=False)


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
    ``YYYYMMDD`` text and the rows are sorted ascending by date; column labels (1,
    "000001", "000001.XSHE", "600000.SH", "sz000001") become six-digit codes and keep their
    order. Values become float64: booleans 1.0/0.0, missing values NaN. The input is never
    modified. The names of both axes, ``attrs`` and a ``name`` attribute are kept.

    Raises:
        TypeError: if ``matrix`` is not a DataFrame.
        ValueError: for labels that are not dates or stock codes, for labels that collide
            after normalisation, and for columns holding non-numeric values.
    """
    if not isinstance(matrix, pd.DataFrame):
        raise TypeError(f"matrix must be a pandas DataFrame, not {type(matrix).__name__}")
    dates = _date_labels(matrix.index)
    stocks = _stock_labels(matrix.columns)
    _reject_duplicates(dates, matrix.index, "dates")
    _reject_duplicates(stocks, matrix.columns, "stocks")

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
