"""Prepared-data store support: date and label normalisation shared by every table, and
the binary store of prepared datasets (:class:`BinaryPreparedDataStoreBase`).

Every wide table that enters the backtest engine passes through :func:`clean_matrix`, so the
engine can rely on one shape: rows are ascending ``YYYYMMDD`` text dates, columns are six-digit
stock codes, values are ``float64``.
"""

from __future__ import annotations

import bisect
import contextlib
import copy
import datetime as _dt
import errno
import io
import itertools
import json
import mmap
import os
import pickle
import re
import secrets
from collections.abc import Iterator, Mapping
from pathlib import Path
from typing import Any, BinaryIO

import numpy as np
import pandas as pd
import xxhash

from lumora._atomicio import TEMP_PREFIX as _TEMP_PREFIX
from lumora._atomicio import fsync_directory as _fsync_directory
from lumora._atomicio import write_atomic
from lumora.exceptions import KestrelError

try:
    import fcntl
except ImportError:  # pragma: no cover - platforms without advisory file locks
    fcntl = None  # type: ignore[assignment]

__all__ = [
    "BinaryPreparedDataStoreBase",
    "PayloadWriter",
    "clean_matrix",
    "component_dataset_key",
    "normalize_yyyymmdd",
]

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


# --------------------------------------------------------------------------- binary store
#
# Layout of a store directory:
#   metadata.pkl     the metadata mapping (pickle, highest protocol); the commit point
#   manifest.json    a readable summary of the same, rewritten after every commit
#   <key>.<token>.npy  immutable row segments of the datasets (NumPy format, row-major)
#
# A dataset is one or more segments stacked by rows. Segment files are never rewritten:
# a tail update writes a new segment for the new rows and records how many rows of the
# older segments remain valid, then replaces the metadata atomically. A crash before that
# rename leaves the previous metadata, which still names only complete files, so the
# previous store stays readable; unreferenced files are removed by the next writer. New
# stock columns are appended to the dataset's column list, so an older (narrower) segment
# covers a prefix of the columns and reads back padded with NaN / False.

_METADATA_FILE = "metadata.pkl"
_MANIFEST_FILE = "manifest.json"
_BENCHMARK_KEY_PREFIX = "benchmark__"
# Segment files this store writes: "<stem>.<12 hex digits>.npy". Only such names are
# read from metadata or removed by the clean-up, so a crafted metadata file cannot make
# the store read or delete anything else.
_SEGMENT_FILE = re.compile(r"^[A-Za-z0-9_][A-Za-z0-9_.\-]{0,160}\.[0-9a-f]{12}\.npy$")
_UNSAFE_STEM_CHAR = re.compile(r"[^A-Za-z0-9_.\-]")
# A dataset with more segments than this is compacted during the tail update.
_MAX_SEGMENTS = 8
_STORAGE_DTYPES = {"float64": np.dtype(np.float64), "bool": np.dtype(np.bool_)}
_READ_CHUNK = 1 << 30
# Rows are written in blocks of about this many bytes (each block converted to row-major
# on its own), which bounds the extra memory of writing a column-major table.
_WRITE_BLOCK_BYTES = 1 << 25
# Content checksum of a segment's data bytes (the array after the .npy header), recorded in
# the segment's metadata entry. XXH3 hashes at about the speed the bytes are read; stores
# written before checksums were recorded have none and are checked by structure only.
_CHECKSUM = "xxh3_128"


class _RefusingUnpickler(pickle.Unpickler):
    """Unpickles plain built-in values only (dict, list, tuple, str, numbers, bool, None).

    Those are encoded by opcodes of their own; anything else needs a class or function
    looked up by name, which is refused: a store directory may come from a download."""

    def find_class(self, module: str, name: str) -> Any:
        raise KestrelError(f"回测数据元信息文件包含不允许的对象类型 {module}.{name},已拒绝加载")


def _read_metadata_file(path: Path) -> dict[str, Any]:
    # A store holds no links: metadata reached through one would describe another store.
    try:
        fd = os.open(path, os.O_RDONLY | getattr(os, "O_NOFOLLOW", 0))
    except OSError as error:
        if error.errno != errno.ELOOP:
            raise
        raise KestrelError(f"回测数据元信息文件是链接 (数据目录中不应有链接): {path}") from None
    with open(fd, "rb") as fh:
        try:
            metadata = _RefusingUnpickler(fh).load()
        except KestrelError:
            raise
        except Exception as error:  # truncated or corrupt file
            raise KestrelError(f"回测数据元信息文件无法读取: {path}: {error}") from error
    if not isinstance(metadata, dict) or not _well_formed(metadata):
        raise KestrelError(f"回测数据元信息文件格式错误: {path}")
    return metadata


def _well_formed(metadata: dict[str, Any]) -> bool:
    """The mappings every reader walks have the shape they expect (records are checked
    one by one when their dataset is read)."""
    datasets = metadata.get("datasets") or {}
    benchmarks = metadata.get("benchmarks") or {}
    meta = metadata.get("meta") or {}
    return (
        isinstance(datasets, dict)
        and all(type(key) is str and isinstance(rec, dict) for key, rec in datasets.items())
        and isinstance(benchmarks, dict)
        and all(type(code) is str and type(key) is str for code, key in benchmarks.items())
        and isinstance(meta, dict)
    )


def _plain(value: Any, where: str) -> Any:
    """``value`` made of plain built-in types, with dates as ISO text; refuses the rest so
    the store never writes metadata it would refuse to read."""
    if value is None or type(value) in (str, bool, int, float):
        return value
    if isinstance(value, np.generic):  # numpy scalars, np.str_ included
        return _plain(value.item(), where)
    for plain_type in (bool, int, float, str):  # other subclasses pickle by class name
        if isinstance(value, plain_type):
            return plain_type(value)
    if isinstance(value, (_dt.date, _dt.datetime)):
        return value.isoformat()
    if isinstance(value, Mapping):
        return {_plain(k, where): _plain(v, f"{where}[{k!r}]") for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        if all(type(item) is str for item in value):  # label lists: the bulk of it
            return list(value)
        return [_plain(item, where) for item in value]
    raise TypeError(f"metadata value at {where} is a {type(value).__name__}, not a plain value")


def _now_text() -> str:
    return pd.Timestamp.now().isoformat()


# ---- locking and atomic files ------------------------------------------------------


@contextlib.contextmanager
def _directory_lock(directory: Path, *, exclusive: bool) -> Iterator[None]:
    """Advisory lock on the store directory: writers exclusive, readers shared.

    Readers hold it while they read metadata and open segment files, so a writer never
    removes a file a reader is about to open (memory maps outlive the removal)."""
    if fcntl is None:  # no advisory locks on this platform
        yield
        return
    fd = lock_folder(directory, shared=not exclusive)
    try:
        yield
    finally:
        os.close(fd)  # closing releases the lock


def has_file_locks() -> bool:
    """Whether this platform has advisory file locks (``lock_folder`` only opens without)."""
    return fcntl is not None


def lock_folder(folder: Path, *, shared: bool = False, wait: bool = True) -> int:
    """Open ``folder`` and take its advisory lock, exclusive unless ``shared``; without
    ``wait`` a lock held elsewhere raises BlockingIOError at once. On a platform without
    advisory locks the folder is only opened. Returns the descriptor whose closing
    releases the lock."""
    fd = os.open(folder, os.O_RDONLY | getattr(os, "O_DIRECTORY", 0))
    if fcntl is None:
        return fd
    operation = fcntl.LOCK_SH if shared else fcntl.LOCK_EX
    try:
        fcntl.flock(fd, operation if wait else operation | fcntl.LOCK_NB)
    except BaseException:
        os.close(fd)
        raise
    return fd


def _segment_stem(key: str) -> str:
    """The start of the names of a dataset's segment files: a store's file names follow from
    its keys, so metadata naming another dataset's file is damage."""
    stem = _UNSAFE_STEM_CHAR.sub("_", key)[:160]
    if not stem or not (stem[0].isalnum() or stem[0] == "_"):
        stem = "_" + stem[:159]
    return stem


def _segment_file_name(key: str) -> str:
    return f"{_segment_stem(key)}.{secrets.token_hex(6)}.npy"


def _benchmark_key(code: str) -> str:
    return _BENCHMARK_KEY_PREFIX + "".join(_escape_key_char(c) for c in code)


# ---- values in and out -------------------------------------------------------------


def _ascending_dates(index: pd.Index) -> tuple[list[str], np.ndarray | None]:
    """Row labels as YYYYMMDD text and the order that sorts them (None if sorted)."""
    dates = _date_labels(index)
    _reject_duplicates(dates, index, "dates")
    text = dates.astype(str)
    if len(text) > 1 and not (text[1:] > text[:-1]).all():
        order = np.argsort(text, kind="stable")
        return text[order].tolist(), order
    return text.tolist(), None


def _series_by_date(key: str, series: Any) -> tuple[list[str], np.ndarray]:
    """A benchmark series' dates as YYYYMMDD text, ascending, and its values as floats in
    that order."""
    if not isinstance(series, pd.Series):
        raise TypeError(
            f"benchmark series {key!r} must be a pandas Series, not {type(series).__name__}"
        )
    dates, order = _ascending_dates(series.index)
    values = series.to_numpy(dtype=np.float64, na_value=np.nan)
    return dates, values if order is None else values[order]


def _column_labels(columns: pd.Index) -> list[str]:
    labels = [label if type(label) is str else str(label) for label in columns.tolist()]
    if len(set(labels)) != len(labels):
        raise ValueError("duplicate column labels in a table to be stored")
    return labels


def _as_storage(values: np.ndarray, dtype: np.dtype) -> np.ndarray:
    """Values converted to the storage dtype: a missing or zero flag is False."""
    if values.dtype == dtype:
        return values
    if dtype == np.bool_:
        flags: np.ndarray = np.nan_to_num(values.astype(np.float64), nan=0.0) != 0.0
        return flags
    return values.astype(dtype)


def _frame_values(frame: pd.DataFrame, dtype: np.dtype) -> np.ndarray:
    if len(frame.columns) and all(d == dtype for d in frame.dtypes):
        return frame.to_numpy()  # a view of a one-block frame: no copy
    return _as_storage(frame.to_numpy(dtype=np.float64, na_value=np.nan), dtype)


def _fill_value(dtype: np.dtype) -> Any:
    return False if dtype == np.bool_ else np.nan


# The value a full build gives a stock on a day it has no source data at all (before its
# listing, after it left), where that is not the dtype's missing value: without a price it
# cannot be sold. A tail update fills the cells it adds for such stocks (older rows of a
# new stock, new rows of a stock the update has no data for) with it, so that the store
# equals a full build. Recorded in the dataset's record as "fill".
_ABSENT_FILL: dict[str, bool] = {"cant_sell_stock": True}


def _pad_value(record: Mapping[str, Any], dtype: np.dtype) -> Any:
    fill = record.get("fill")
    return fill if type(fill) is bool and dtype == np.bool_ else _fill_value(dtype)


def _storage_dtype(name: str) -> np.dtype:
    try:
        return _STORAGE_DTYPES[str(name)]
    except KeyError:
        raise ValueError(
            f"unsupported storage dtype {name!r}; expected 'float64' or 'bool'"
        ) from None


def _label_name(name: Any) -> Any:
    return name if name is None or isinstance(name, (str, int)) else str(name)


class _LabelCache:
    """One pandas Index per distinct label list, shared by every dataset of a load."""

    def __init__(self) -> None:
        self._indexes: dict[tuple[tuple[str, ...], Any], pd.Index] = {}

    def get(self, labels: list[str], name: Any) -> pd.Index:
        key = (tuple(labels), name)
        index = self._indexes.get(key)
        if index is None:
            index = pd.Index(labels, dtype=str, name=name)
            self._indexes[key] = index
        return index


def _read_exact(fh: io.RawIOBase | io.BufferedIOBase, target: np.ndarray, path: Path) -> None:
    view = target.data.cast("B")
    done = 0
    while done < len(view):
        got = fh.readinto(view[done : done + _READ_CHUNK])
        if not got:
            raise KestrelError(f"回测数据文件不完整: {path}")
        done += got


def _npy_header(fh: BinaryIO) -> tuple[tuple[int, ...], bool, np.dtype]:
    """Shape, Fortran order and dtype of a .npy file's header. numpy parses the header as a
    Python literal, and garbled bytes fail in many ways (a tokenizer or syntax error among
    them): every one is a ValueError here, the store's own "unreadable header"."""
    try:
        version = np.lib.format.read_magic(fh)
        if version == (1, 0):
            return np.lib.format.read_array_header_1_0(fh)
        return np.lib.format.read_array_header_2_0(fh)
    except OSError:
        raise
    except Exception as error:  # noqa: BLE001 - any parse failure is an unreadable header
        raise ValueError(f"unreadable .npy header: {type(error).__name__}: {error}") from None


def _segment_file_problem(
    path: Path, rows: int, cols: tuple[int, ...], dtype: np.dtype
) -> str | None:
    """What is wrong with a segment file that should hold at least ``rows`` rows of
    ``cols`` columns of ``dtype``, judged by its header and size; None when nothing."""
    try:
        with open(path, "rb", buffering=0) as fh:
            shape, fortran, found = _npy_header(fh)
            data_start = fh.tell()
            size = os.fstat(fh.fileno()).st_size
    except FileNotFoundError:
        return "文件不存在"
    except (OSError, ValueError) as error:
        return f"文件头无法读取: {error}"
    if found != dtype or (fortran and len(shape) > 1):
        return f"文件类型为 {found},应为 {dtype}"
    if len(shape) != 1 + len(cols) or tuple(shape[1:]) != cols or shape[0] < rows:
        return f"文件形状为 {shape},应至少 {(rows, *cols)}"
    if size != data_start + int(np.prod(shape)) * dtype.itemsize:
        return f"文件大小 {size} 字节与文件头不符 (截断或损坏)"
    return None


def _file_checksum(path: Path) -> str | None:
    """Checksum of the data bytes of a segment file (None when it cannot be read). The
    file is memory-mapped and hashed in place, without copying it."""
    try:
        with open(path, "rb", buffering=0) as fh:
            _npy_header(fh)
            start = fh.tell()
            with (
                mmap.mmap(fh.fileno(), 0, access=mmap.ACCESS_READ) as mapped,
                memoryview(mapped) as view,
            ):
                return xxhash.xxh3_128_hexdigest(view[start:])
    except (OSError, ValueError):
        return None


class BinaryPreparedDataStoreBase:
    """Prepared benchmark data on disk: one NumPy file set per dataset, a metadata pickle
    and a JSON manifest.

    Readers and writers of one directory are serialised by an advisory lock on the
    directory; every file is replaced atomically, so a crash at any point leaves the
    previous complete store readable.
    """

    def __init__(
        self,
        store_dir: str | os.PathLike[str],
        matrix_dtype: Mapping[str, str],
        data_version: int,
        default_float_dtype: str,
    ) -> None:
        self.store_dir = Path(store_dir)
        self.matrix_dtype = dict(matrix_dtype)
        self.data_version = data_version
        self.default_float_dtype = default_float_dtype
        self.metadata_path = self.store_dir / _METADATA_FILE
        self.manifest_path = self.store_dir / _MANIFEST_FILE

    # ---- reading -------------------------------------------------------------------

    def load_metadata(self) -> dict[str, Any]:
        """The metadata mapping, read afresh.

        Raises:
            FileNotFoundError: when the store has no metadata file.
            KestrelError: when the file is corrupt or holds anything but plain values.
        """
        return _read_metadata_file(self.metadata_path)

    def load(
        self,
        *,
        start_date: Any = None,
        end_date: Any = None,
        keys: list[str] | None = None,
        mmap: bool = False,
    ) -> dict[str, Any]:
        """Read datasets as tables, rows limited to the inclusive date bounds.

        Returns ``{"version", "meta", "data", "store_version"}`` (the last names the
        committed data read, see :func:`store_version`); ``data`` maps each requested key (all
        matrix datasets when ``keys`` is None) to its table and ``"benchmark_dict"`` to
        the benchmark series. With ``mmap`` the tables are read-only views of
        memory-mapped files where a dataset is one segment; otherwise they are in memory.

        Raises:
            FileNotFoundError: no store at this directory.
            KeyError: a requested dataset is not stored.
        """
        start = normalize_yyyymmdd(start_date)
        end = normalize_yyyymmdd(end_date)
        if not self.store_dir.is_dir():
            raise FileNotFoundError(f"prepared data directory not found: {self.store_dir}")
        cache = _LabelCache()
        with _directory_lock(self.store_dir, exclusive=False):
            metadata = self.load_metadata()
            datasets = metadata.get("datasets") or {}
            benchmarks = metadata.get("benchmarks") or {}
            if keys is None:
                series_keys = set(benchmarks.values())
                keys = [k for k, r in datasets.items() if k not in series_keys and "columns" in r]
            for key in keys:
                if key not in datasets:
                    raise KeyError(f"回测数据集不存在: {key}")
            for key in benchmarks.values():
                if key not in datasets:
                    raise KestrelError(f"回测数据元信息引用了不存在的基准数据集: {key}")
            # Every segment is checked against its record before any is read: a damaged
            # store fails naming the dataset and the file, never returning wrong rows.
            seen: set[int] = set()
            for key in [*keys, *benchmarks.values()]:
                self._check_dataset(key, datasets[key], seen)
            data: dict[str, Any] = {}
            for key in keys:
                data[key] = self._read_dataset(datasets[key], start, end, mmap, cache)
            bench: dict[str, pd.Series] = {}
            for code, key in benchmarks.items():
                series = self._read_dataset(datasets[key], start, end, mmap, cache)
                assert isinstance(series, pd.Series)  # a benchmark dataset is one series
                bench[code] = series
            data["benchmark_dict"] = bench
        return {
            "version": metadata.get("version", self.data_version),
            "meta": dict(metadata.get("meta") or {}),
            "data": data,
            "store_version": store_version(metadata),
        }

    def _read_dataset(
        self,
        record: Mapping[str, Any],
        start: str | None,
        end: str | None,
        mmap: bool,
        cache: _LabelCache,
    ) -> pd.DataFrame | pd.Series:
        dates: list[str] = record["index"]
        lo = 0 if start is None else bisect.bisect_left(dates, start)
        hi = len(dates) if end is None else bisect.bisect_right(dates, end)
        hi = max(lo, hi)
        index = cache.get(dates, record.get("index_name"))[lo:hi]
        values = self._read_rows(record, lo, hi, mmap)
        if "columns" not in record:
            return pd.Series(values, index=index, name=record.get("name"), copy=False)
        columns = cache.get(record["columns"], record.get("columns_name"))
        return pd.DataFrame(values, index=index, columns=columns, copy=False)

    def _read_rows(self, record: Mapping[str, Any], lo: int, hi: int, mmap: bool) -> np.ndarray:
        """Rows [lo, hi) of a dataset, every column, as one array."""
        dtype = _storage_dtype(record["dtype"])
        width = len(record["columns"]) if "columns" in record else None
        pieces = []
        offset = 0
        for segment in record["segments"]:
            rows = int(segment["rows"])
            a, b = max(lo - offset, 0), min(hi - offset, rows)
            if a < b:
                pieces.append((segment, a, b))
            offset += rows
        shape = (hi - lo,) if width is None else (hi - lo, width)
        if mmap and len(pieces) == 1 and pieces[0][0].get("cols") == width:
            segment, a, b = pieces[0]
            return self._map_segment(segment, dtype, width)[a:b]
        out = np.empty(shape, dtype=dtype)
        row = 0
        for segment, a, b in pieces:
            cols = segment.get("cols")
            target = out[row : row + b - a]
            if width is not None and cols != width:
                target[:, cols:] = _pad_value(record, dtype)
                target = target[:, :cols]
            self._read_segment(segment, dtype, a, b, target)
            row += b - a
        return out

    def _segment_path(self, segment: Mapping[str, Any]) -> Path:
        name = segment.get("file")
        if not isinstance(name, str) or not _SEGMENT_FILE.match(name):
            raise KestrelError(f"回测数据元信息中的文件名无效: {name!r}")
        return self.store_dir / name

    def _check_header(
        self,
        path: Path,
        shape: tuple[int, ...],
        fortran: bool,
        found: np.dtype,
        segment: Mapping[str, Any],
        dtype: np.dtype,
        width: int | None,
    ) -> None:
        expected_cols = () if width is None else (segment.get("cols"),)
        if (
            found != dtype
            or fortran
            or len(shape) != 1 + len(expected_cols)
            or tuple(shape[1:]) != expected_cols
            or shape[0] < int(segment["rows"])
        ):
            raise KestrelError(f"回测数据文件与元信息不一致: {path}")

    def _map_segment(
        self, segment: Mapping[str, Any], dtype: np.dtype, width: int | None
    ) -> np.ndarray:
        path = self._segment_path(segment)
        array: np.ndarray = np.load(path, mmap_mode="r", allow_pickle=False)
        self._check_header(
            path,
            array.shape,
            not array.flags.c_contiguous and array.ndim > 1,
            array.dtype,
            segment,
            dtype,
            width,
        )
        return array

    def _read_segment(
        self, segment: Mapping[str, Any], dtype: np.dtype, a: int, b: int, target: np.ndarray
    ) -> None:
        """Rows [a, b) of one segment file into ``target``, reading only those bytes."""
        path = self._segment_path(segment)
        width = target.shape[1] if target.ndim == 2 else None
        with open(path, "rb", buffering=0) as fh:
            shape, fortran, found = _npy_header(fh)
            self._check_header(path, shape, fortran, found, segment, dtype, width)
            row_bytes = dtype.itemsize * (width or 1)
            fh.seek(fh.tell() + a * row_bytes)
            if target.flags.c_contiguous:
                _read_exact(fh, target, path)
            else:
                part = np.empty(target.shape, dtype=dtype)
                _read_exact(fh, part, path)
                target[...] = part

    # ---- source ------------------------------------------------------------------

    def recorded_source(self) -> dict[str, Any] | None:
        """The identity of the data source that built the store (None when none is
        recorded or the metadata cannot be read)."""
        return self._recorded("source")

    def record_source(self, identity: Mapping[str, Any]) -> None:
        """Record the identity of the data source that built the store."""
        self._record("source", dict(identity))

    def recorded_fingerprint(self) -> dict[str, Any] | None:
        """What the source's files looked like when the store was last built or updated
        (None when nothing is recorded or the metadata cannot be read)."""
        return self._recorded("source_fingerprint")

    def record_fingerprint(self, fingerprint: Mapping[str, Any]) -> None:
        """Record what the source's files look like now (see ``recorded_fingerprint``)."""
        self._record("source_fingerprint", dict(fingerprint))

    def _recorded(self, name: str) -> dict[str, Any] | None:
        try:
            found = self.load_metadata().get(name)
        except (OSError, KestrelError):
            return None
        return found if isinstance(found, dict) else None

    def _record(self, name: str, value: Any) -> None:
        with self._writer_session(create=False):
            metadata = self.load_metadata()
            metadata[name] = value
            self._write_metadata(metadata)

    # ---- checking ------------------------------------------------------------------

    def _check_dataset(self, key: str, record: Any, seen: set[int] | None = None) -> None:
        """Raise KestrelError naming the dataset (and file) unless the record is sound and
        every segment file's header and size agree with it. Reads headers only. ``seen``
        holds the ids of label lists already found sound (datasets share them)."""
        seen = set() if seen is None else seen

        def fail(reason: str, name: object = None) -> None:
            where = f" 文件 {name}" if name is not None else ""
            raise KestrelError(f"回测数据集 {key}{where} 与元信息不一致: {reason}")

        if not isinstance(record, Mapping):
            fail("记录不是映射")
        index = record.get("index")
        if not isinstance(index, list):
            fail("日期列表无效")
        if id(index) not in seen:
            if not all(type(day) is str for day in index):
                fail("日期列表无效")
            if any(later <= earlier for earlier, later in itertools.pairwise(index)):
                fail("日期未严格升序")
            seen.add(id(index))
        try:
            dtype = _storage_dtype(record.get("dtype"))
        except ValueError:
            fail(f"数据类型无效: {record.get('dtype')!r}")
        width = None
        if "columns" in record:
            columns = record["columns"]
            if not isinstance(columns, list):
                fail("列名列表无效")
            if id(columns) not in seen:
                if not all(type(c) is str for c in columns):
                    fail("列名列表无效")
                seen.add(id(columns))
            width = len(columns)
        segments = record.get("segments")
        if not isinstance(segments, list) or not all(isinstance(s, Mapping) for s in segments):
            fail("文件列表无效")
        total = 0
        for segment in segments:
            name = segment.get("file")
            rows, cols = segment.get("rows"), segment.get("cols")
            if type(rows) is not int or rows < 0:
                fail(f"行数无效: {rows!r}", name)
            if width is None and cols is not None:
                fail(f"列数无效: {cols!r}", name)
            if width is not None and (type(cols) is not int or not 0 <= cols <= width):
                fail(f"列数无效: {cols!r}", name)
            try:
                path = self._segment_path(segment)
            except KestrelError:
                fail("文件名无效", name)
            if not path.name.startswith(_segment_stem(key) + "."):
                fail("文件名不属于该数据集", name)
            if path.is_symlink():
                fail("文件是链接 (数据目录中不应有链接)", name)
            problem = _segment_file_problem(path, rows, () if width is None else (cols,), dtype)
            if problem:
                fail(problem, name)
            total += rows
        if total != len(index):
            files = ", ".join(str(segment.get("file")) for segment in segments)
            fail(f"列出 {len(index)} 个日期,文件共有 {total} 行", files)

    def check(self) -> list[str]:
        """Problems found by the cheap checks (metadata readable and well formed, every
        segment's header and size agreeing with its record); empty when sound."""
        return self._problems(contents=False)

    def verify(self) -> list[str]:
        """Problems found by :meth:`check` and by recomputing the content checksum of
        every segment that has one recorded; empty when the store is sound."""
        return self._problems(contents=True)

    def _problems(self, *, contents: bool) -> list[str]:
        if not self.store_dir.is_dir():
            return [f"回测数据目录不存在: {self.store_dir}"]
        with _directory_lock(self.store_dir, exclusive=False):
            try:
                metadata = self.load_metadata()
            except (OSError, KestrelError) as error:
                return [str(error)]
            datasets = metadata.get("datasets") or {}
            problems = [
                f"回测数据元信息引用了不存在的基准数据集: {key}"
                for key in (metadata.get("benchmarks") or {}).values()
                if key not in datasets
            ]
            # Links among the segments are named with their dataset below.
            problems += [
                f"回测数据目录中有链接 {entry.name} (数据目录中不应有链接)"
                for entry in os.scandir(self.store_dir)
                if entry.is_symlink() and not _SEGMENT_FILE.match(entry.name)
            ]
            seen: set[int] = set()
            for key, record in datasets.items():
                try:
                    self._check_dataset(key, record, seen)
                except KestrelError as error:
                    problems.append(str(error))
                    continue
                if not contents:
                    continue
                for segment in record["segments"]:
                    expected = segment.get(_CHECKSUM)
                    if expected is None:
                        continue
                    path = self._segment_path(segment)
                    if _file_checksum(path) != expected:
                        problems.append(
                            f"回测数据集 {key} 文件 {path.name} 内容校验失败 (数据已损坏)"
                        )
            return problems

    # ---- writing -------------------------------------------------------------------

    @contextlib.contextmanager
    def _writer_session(self, create: bool = True) -> Iterator[None]:
        """Exclusive access to the directory for one read-modify-write of the store.

        Raises:
            FileNotFoundError: without ``create``, when the directory does not exist.
        """
        if create:
            self.store_dir.mkdir(parents=True, exist_ok=True)
        elif not self.store_dir.is_dir():
            raise FileNotFoundError(f"prepared data directory not found: {self.store_dir}")
        with _directory_lock(self.store_dir, exclusive=True):
            self._remove_unreferenced()
            yield

    def _write_matrix(
        self, store_dir: str | os.PathLike[str], key: str, matrix: pd.DataFrame, dtype: str
    ) -> dict[str, Any]:
        """Write one date x stock table as a new dataset and return its record.

        Rows are stored in ascending date order; ``dtype`` is the storage type ("float64"
        or "bool", where a missing flag is stored as False)."""
        if not isinstance(matrix, pd.DataFrame):
            raise TypeError(
                f"matrix for {key!r} must be a pandas DataFrame, not {type(matrix).__name__}"
            )
        storage = _storage_dtype(dtype)
        dates, order = _ascending_dates(matrix.index)
        columns = _column_labels(matrix.columns)
        values = _frame_values(matrix, storage)
        if order is not None:
            values = values[order]
        segment = self._write_segment(Path(store_dir), key, values)
        record = {
            "index": dates,
            "columns": columns,
            "dtype": str(dtype),
            "segments": [segment],
            "index_name": _label_name(matrix.index.name),
            "columns_name": _label_name(matrix.columns.name),
        }
        if key in _ABSENT_FILL and storage == np.bool_:
            record["fill"] = _ABSENT_FILL[key]
        return record

    def _write_series(self, store_dir: Path, key: str, series: pd.Series) -> dict[str, Any]:
        dates, values = _series_by_date(key, series)
        return {
            "index": dates,
            "dtype": "float64",
            "segments": [self._write_segment(store_dir, key, values)],
            "index_name": _label_name(series.index.name),
            "name": _label_name(series.name),
        }

    @staticmethod
    def _write_segment(store_dir: Path, key: str, values: np.ndarray) -> dict[str, Any]:
        """Write ``values`` as a new row-major segment file and return its record.

        The rows go out a block at a time, each block made row-major on its own, so a
        column-major table (pandas' own layout) is never copied whole."""
        values = np.asarray(values)
        name = _segment_file_name(key)
        digest = xxhash.xxh3_128()
        header = {
            "descr": np.lib.format.dtype_to_descr(values.dtype),
            "fortran_order": False,
            "shape": values.shape,
        }
        row_bytes = max(values.dtype.itemsize * int(np.prod(values.shape[1:])), 1)
        step = max(_WRITE_BLOCK_BYTES // row_bytes, 1)

        def write(fh: BinaryIO) -> None:
            np.lib.format.write_array_header_1_0(fh, header)
            for start in range(0, values.shape[0], step):
                block = np.ascontiguousarray(values[start : start + step]).data.cast("B")
                digest.update(block)
                fh.write(block)

        write_atomic(store_dir / name, write, sync_directory=False)
        segment: dict[str, Any] = {"file": name, "rows": int(values.shape[0])}
        segment[_CHECKSUM] = digest.hexdigest()
        if values.ndim == 2:
            segment["cols"] = int(values.shape[1])
        return segment

    def _write_metadata(self, metadata: Mapping[str, Any]) -> None:
        """Replace the metadata file atomically (pickle, highest protocol)."""
        plain = _share_label_lists(_plain(metadata, "metadata"))
        payload = pickle.dumps(plain, protocol=pickle.HIGHEST_PROTOCOL)
        write_atomic(
            self.store_dir / _METADATA_FILE, lambda fh: fh.write(payload), sync_directory=False
        )
        _fsync_directory(self.store_dir)

    def _write_manifest(
        self, store_dir: str | os.PathLike[str], metadata: Mapping[str, Any]
    ) -> None:
        """Rewrite the readable summary of the store."""
        datasets = metadata.get("datasets") or {}
        manifest = {
            "format": "lumora-prepared-data",
            "version": metadata.get("version", self.data_version),
            "updated_at": metadata.get("updated_at"),
            "benchmarks": dict(metadata.get("benchmarks") or {}),
            "datasets": {
                key: {
                    "dtype": record.get("dtype"),
                    "rows": len(record.get("index", [])),
                    "columns": len(record["columns"]) if "columns" in record else None,
                    "first_date": record["index"][0] if record.get("index") else None,
                    "last_date": record["index"][-1] if record.get("index") else None,
                    "files": [segment.get("file") for segment in record.get("segments", [])],
                }
                for key, record in datasets.items()
            },
        }
        text = json.dumps(manifest, ensure_ascii=False, indent=1).encode("utf-8")
        write_atomic(
            Path(store_dir) / _MANIFEST_FILE, lambda fh: fh.write(text), sync_directory=False
        )

    def _commit(self, metadata: dict[str, Any]) -> None:
        """Make ``metadata`` the store's state, then drop the files it no longer names."""
        self._write_metadata(metadata)
        self._write_manifest(self.store_dir, metadata)
        self._remove_unreferenced()

    def _referenced_files(self) -> set[str] | None:
        """Segment files the committed metadata names; None when there is no readable
        metadata (nothing trustworthy to compare with)."""
        try:
            metadata = self.load_metadata()
        except (FileNotFoundError, KestrelError):
            return None
        return {
            segment.get("file")
            for record in (metadata.get("datasets") or {}).values()
            for segment in record.get("segments", [])
        }

    def _remove_unreferenced(self) -> None:
        """Remove temporary files and segments the committed metadata does not name
        (left by a crashed writer or replaced by a commit). Called with the writer lock."""
        referenced = self._referenced_files()
        if referenced is None:
            return  # keep every file
        for entry in os.scandir(self.store_dir):
            stale_temp = entry.name.startswith(_TEMP_PREFIX)
            if stale_temp or (_SEGMENT_FILE.match(entry.name) and entry.name not in referenced):
                with contextlib.suppress(OSError):
                    os.unlink(entry.path)

    @contextlib.contextmanager
    def payload_writer(self) -> Iterator[PayloadWriter]:
        """Write a whole new store one dataset at a time, replacing the previous content
        only when everything was written:

            with store.payload_writer() as write:
                write(key, table)  # written to its segment file at once, not kept
                ...
                write.finish(payload)  # commits version, meta and every dataset written

        The writer lock is held throughout. If the block raises, or leaves without
        ``finish``, nothing is committed: the previous store stays exactly as it was and
        the segments written so far are removed.

        Raises:
            RuntimeError: when the block ends normally without ``finish`` (after removing
                what it wrote).
        """
        with self._writer_session():
            writer = PayloadWriter(self)
            try:
                yield writer
            finally:
                finished = writer.close()
            if not finished:
                raise RuntimeError("payload writer closed without finish(): nothing was committed")

    def write_payload(self, payload: Mapping[str, Any]) -> None:
        """Write the whole store from a full payload, replacing any previous content
        (every entry of ``payload["data"]`` through :meth:`payload_writer`)."""
        data = payload["data"]
        with self.payload_writer() as write:
            for key, value in data.items():
                write(key, value)
            write.finish(payload)

    # ---- tail update ---------------------------------------------------------------

    def update_tail(self, payload: Mapping[str, Any]) -> bool:
        """Merge a tail payload into the store.

        For every stored table in ``payload["data"]`` the stored rows dated on or after
        the payload's write start are replaced by the payload's rows from that date on
        (extending the table past its last date as needed); stock columns the store does
        not know yet are appended, older rows filled with NaN (False for flags). Benchmark
        series are merged by date, the payload winning. A payload table without rows
        leaves its dataset untouched; tables the store does not hold are ignored.

        Returns False, writing nothing, when the store has no metadata or datasets, or the
        payload lacks a stored benchmark; True once the merge is committed.
        """
        data = payload.get("data") or {}
        if not self.store_dir.is_dir():
            return False
        with self._writer_session(create=False):
            if not self.metadata_path.exists():
                return False
            metadata = self.load_metadata()
            datasets = metadata.get("datasets") or {}
            benchmarks = metadata.get("benchmarks") or {}
            bench_payload = data.get("benchmark_dict")
            if not datasets or not benchmarks or not isinstance(bench_payload, Mapping):
                return False
            if any(
                code not in bench_payload or key not in datasets for code, key in benchmarks.items()
            ):
                return False
            for key in {*benchmarks.values(), *(k for k in data if k in datasets)}:
                self._check_dataset(key, datasets[key])
            write_start = self._tail_write_start(payload)
            merged = dict(datasets)
            for key, value in data.items():
                record = datasets.get(key)
                if key == "benchmark_dict" or record is None or "columns" not in record:
                    continue
                if isinstance(value, pd.DataFrame):
                    merged[key] = self._merge_matrix_tail(key, record, value, write_start)
            for code, key in benchmarks.items():
                merged[key] = self._merge_series_tail(
                    key, datasets[key], bench_payload[code], write_start
                )
            now = _now_text()
            meta = dict(metadata.get("meta") or {})
            meta["updated_at"] = now
            close = merged.get("close_price")
            if close and close.get("index"):
                meta["end_date"] = close["index"][-1]
            self._commit({**metadata, "datasets": merged, "meta": meta, "updated_at": now})
        return True

    @staticmethod
    def _tail_write_start(payload: Mapping[str, Any]) -> str | None:
        """The first date the payload rewrites: its meta's write start, else the earliest
        row of its tables (None when it has no rows at all)."""
        meta = payload.get("meta") or {}
        for name in ("write_start_date", "start_date"):
            if meta.get(name) is not None:
                return normalize_yyyymmdd(meta[name])
        firsts = [
            _date_labels(value.index[:1])[0]
            for key, value in (payload.get("data") or {}).items()
            if key != "benchmark_dict" and isinstance(value, pd.DataFrame) and len(value)
        ]
        return min(firsts) if firsts else None

    def _merge_matrix_tail(
        self, key: str, record: dict[str, Any], table: pd.DataFrame, write_start: str | None
    ) -> dict[str, Any]:
        dtype = _storage_dtype(record["dtype"])
        dates, order = _ascending_dates(table.index)
        first = 0 if write_start is None else bisect.bisect_left(dates, write_start)
        if first == len(dates):
            return record  # nothing to write: never truncate on an empty table
        rows = np.arange(len(dates))[first:] if order is None else order[first:]
        columns = list(record["columns"])
        known = set(columns)
        incoming = _column_labels(table.columns)
        columns += [c for c in incoming if c not in known]
        values = np.full((len(rows), len(columns)), _pad_value(record, dtype), dtype=dtype)
        target = pd.Index(columns).get_indexer(incoming)
        values[:, target] = _frame_values(table.iloc[rows], dtype)

        keep = (
            len(record["index"])
            if write_start is None
            else bisect.bisect_left(record["index"], write_start)
        )
        segments = _truncate_segments(record["segments"], keep)
        segments.append(self._write_segment(self.store_dir, key, values))
        merged = {
            **record,
            "index": list(record["index"][:keep]) + dates[first:],
            "columns": columns,
            "segments": segments,
        }
        if len(segments) > _MAX_SEGMENTS:
            merged["segments"] = self._compacted_segments(key, merged)
        return merged

    def _compacted_segments(self, key: str, record: dict[str, Any]) -> list[dict[str, Any]]:
        """Fewer segments for a dataset: the tail segments merged into one, or everything
        into one once the tail has grown as large as the head (amortised rewriting)."""
        segments = record["segments"]
        head_rows = int(segments[0]["rows"])
        total = len(record["index"])
        start = head_rows if total - head_rows < head_rows else 0
        values = self._read_rows(record, start, total, mmap=False)
        merged = self._write_segment(self.store_dir, key, values)
        return ([segments[0]] if start else []) + [merged]

    def _merge_series_tail(
        self, key: str, record: dict[str, Any], series: Any, write_start: str | None
    ) -> dict[str, Any]:
        dates, values = _series_by_date(key, series)
        first = 0 if write_start is None else bisect.bisect_left(dates, write_start)
        if first == len(dates):
            return record
        stored = pd.Series(
            self._read_rows(record, 0, len(record["index"]), mmap=False),
            index=pd.Index(record["index"], dtype=str),
        )
        tail = pd.Series(values[first:], index=pd.Index(dates[first:], dtype=str))
        combined = pd.concat([stored[~stored.index.isin(tail.index)], tail]).sort_index()
        segment = self._write_segment(self.store_dir, key, combined.to_numpy(dtype=np.float64))
        return {**record, "index": combined.index.tolist(), "segments": [segment]}


class PayloadWriter:
    """The ``write`` of :meth:`BinaryPreparedDataStoreBase.payload_writer`: writes the
    entries of one full payload's data as they come and commits them in ``finish``.

    ``write(key, value)``: a table is stored with the dtype ``matrix_dtype`` gives its key
    (``default_float_dtype`` for other keys); the series of the mapping under
    ``"benchmark_dict"`` become datasets listed under ``metadata["benchmarks"]``; other
    values are ignored. A key written again replaces its earlier dataset. Only the small
    dataset records are kept.
    """

    def __init__(self, store: BinaryPreparedDataStoreBase) -> None:
        self._store = store
        self._datasets: dict[str, Any] = {}
        self._benchmarks: dict[str, str] = {}
        self._files: list[str] = []
        self._open = True
        self._finished = False

    def _check_open(self) -> None:
        if not self._open:
            raise RuntimeError("this payload writer is closed")

    def _add(self, key: str, record: dict[str, Any]) -> None:
        self._files.extend(segment["file"] for segment in record["segments"])
        self._datasets[key] = record

    def __call__(self, key: str, value: Any) -> None:
        self._check_open()
        store = self._store
        if key == "benchmark_dict":
            for code, series in (value or {}).items():
                dataset = _benchmark_key(str(code))
                self._add(dataset, store._write_series(store.store_dir, dataset, series))
                self._benchmarks[str(code)] = dataset
        elif isinstance(value, pd.DataFrame):
            dtype = store.matrix_dtype.get(key, store.default_float_dtype)
            self._add(key, store._write_matrix(store.store_dir, key, value, dtype))

    def finish(self, payload: Mapping[str, Any]) -> None:
        """Commit every dataset written, with the version and meta of ``payload`` (its
        data is not read); the writer is closed afterwards."""
        self._check_open()
        self._open = False
        now = _now_text()
        meta = dict(payload.get("meta") or {})
        meta.setdefault("updated_at", now)
        # Whatever order the tables came in, the store lists them in its catalogue's order,
        # then any others, then the benchmark series.
        known = [key for key in self._store.matrix_dtype if key in self._datasets]
        placed = {*known, *self._benchmarks.values()}
        others = [key for key in self._datasets if key not in placed]
        order = [*known, *others, *self._benchmarks.values()]
        self._store._commit(
            {
                "version": payload.get("version", self._store.data_version),
                "updated_at": now,
                "meta": meta,
                "datasets": {key: self._datasets[key] for key in order},
                "benchmarks": self._benchmarks,
            }
        )
        self._finished = True

    def close(self) -> bool:
        """Close the writer; unless ``finish`` committed, remove the segment files it
        wrote that the committed metadata does not name. True when it committed."""
        self._open = False
        if not self._finished:
            referenced = self._store._referenced_files() or set()
            for name in self._files:
                if name not in referenced:
                    with contextlib.suppress(OSError):
                        os.unlink(self._store.store_dir / name)
        return self._finished


def _truncate_segments(segments: list[dict[str, Any]], keep: int) -> list[dict[str, Any]]:
    """The segments holding the first ``keep`` rows, the last one cut short if needed."""
    out = []
    remaining = keep
    for segment in segments:
        if remaining <= 0:
            break
        rows = int(segment["rows"])
        out.append(segment if rows <= remaining else {**segment, "rows": remaining})
        remaining -= rows
    return out


def _share_label_lists(metadata: dict[str, Any]) -> dict[str, Any]:
    """Datasets with equal date or column lists share one list object, which the pickle
    stores once (a store has seventeen copies of the same dates and stocks)."""
    seen: dict[tuple[str, ...], list[str]] = {}
    for record in (metadata.get("datasets") or {}).values():
        for field in ("index", "columns"):
            labels = record.get(field)
            if isinstance(labels, list):
                record[field] = seen.setdefault(tuple(labels), labels)
    return metadata


def store_version(metadata: Mapping[str, Any]) -> str:
    """The version of the data a committed metadata mapping describes, as 16 hex digits:
    a digest of every dataset's key, dtype, label names, dates and columns and segments
    (rows, columns and content checksum; the file name where no checksum is recorded),
    and of the benchmark codes. A commit that changes what a load returns changes it;
    rewriting the metadata alone (recording the source) keeps it, and so does a store
    written elsewhere with the same datasets in the same segments."""
    digest = xxhash.xxh3_64()
    label_digests: dict[int, bytes] = {}

    def labels(values: Any) -> bytes:
        if not isinstance(values, list):
            return repr(values).encode("utf-8", "backslashreplace")
        known = label_digests.get(id(values))  # datasets share their label lists
        if known is None:
            text = "\x1f".join(map(str, values)).encode("utf-8", "backslashreplace")
            known = xxhash.xxh3_64_digest(text) + len(values).to_bytes(8, "little")
            label_digests[id(values)] = known
        return known

    datasets = metadata.get("datasets") or {}
    for key in sorted(datasets, key=str):
        record = datasets[key]
        if not isinstance(record, Mapping):
            digest.update(repr((key, record)).encode("utf-8", "backslashreplace"))
            continue
        segments = [
            (seg.get("rows"), seg.get("cols"), seg.get(_CHECKSUM) or seg.get("file"))
            for seg in record.get("segments") or []
            if isinstance(seg, Mapping)
        ]
        names = (record.get("index_name"), record.get("columns_name"), record.get("name"))
        head = repr((key, record.get("dtype"), names, segments))
        digest.update(head.encode("utf-8", "backslashreplace"))
        digest.update(labels(record.get("index")))
        digest.update(labels(record.get("columns")))
    benchmarks = metadata.get("benchmarks") or {}
    digest.update(repr(sorted(map(repr, benchmarks.items()))).encode("utf-8", "backslashreplace"))
    return digest.hexdigest()
