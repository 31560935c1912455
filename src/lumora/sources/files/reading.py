"""Files to columns: which files a table is, one entry (:func:`read_columns`) that reads a
file by its kind (parquet through pyarrow, CSV through pandas), and a column's values as
dates, codes, numbers or flags, each distinct value parsed once.

A column comes as the file gives it: a pandas Series for CSV, an arrow array for parquet, so
that millions of codes and dates are never turned into Python objects (only their distinct
values are).
"""

from __future__ import annotations

import os
import stat
from collections.abc import Callable, Mapping
from dataclasses import dataclass
from pathlib import Path
from typing import Any, TypeAlias, TypeVar, cast

import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.compute as pc
import pyarrow.parquet as pq

from lumora._labels import BEIJING_MARKS, INDEX_MARKS, market_date, parse_stock_code
from lumora.sources.files.checks import FileSourceError
from lumora.sources.files.columns import SUFFIXES, code_column_names

__all__ = [
    "Column",
    "StockCodes",
    "code_and_board",
    "date_number",
    "date_numbers",
    "files_of",
    "flag_column",
    "index_numbers",
    "numeric_column",
    "parse_column",
    "read_columns",
    "read_file",
    "short_csv_line",
    "stock_codes",
]

Column: TypeAlias = "pd.Series[Any] | pa.ChunkedArray[Any]"
_Parsed = TypeVar("_Parsed")
# A CSV file is scanned for short lines this many bytes at a time.
_CSV_SCAN_BLOCK = 1 << 24


# --------------------------------------------------------------------------- files


def files_of(root: Path, table: str) -> list[Path]:
    """The files of one table of the folder: ``<table>.parquet`` / ``.csv`` or every such
    file of the folder ``<table>/`` (sorted by name); none when the table is absent."""
    folder = root / table
    if folder.is_dir():
        found = sorted(p for p in folder.iterdir() if p.suffix.lower() in SUFFIXES)
        if not found:
            raise FileSourceError(f"{folder}: no .parquet or .csv files in the folder")
    else:
        found = [
            root / (table + suffix)
            for suffix in SUFFIXES
            if os.path.lexists(root / (table + suffix))
        ]
    for path in found:
        _require_regular_file(path)
    return found


def _require_regular_file(path: Path) -> None:
    """A FIFO would hang the reader and a device would feed it without end: only regular
    files (a symlink by what it points to) are read."""
    try:
        found = path.stat()  # follows symlinks
    except OSError as exc:
        raise FileSourceError(f"{path}: cannot read the file: {exc}") from exc
    if not stat.S_ISREG(found.st_mode):
        kind = (
            "a folder" if stat.S_ISDIR(found.st_mode) else "not a regular file (a pipe or a device)"
        )
        raise FileSourceError(f"{path}: {kind}; only regular files are read")
    if found.st_size == 0:
        raise FileSourceError(f"{path}: the file is empty")


# --------------------------------------------------------------------------- engines


def read_columns(
    path: Path, columns: Mapping[str, str], wanted: frozenset[str] | None = None
) -> Mapping[str, Column]:
    """The columns of one file by our names (``columns`` maps the file's names to ours);
    of a parquet file only those ``wanted`` (None: all)."""
    engine = _parquet_columns if path.suffix.lower() == ".parquet" else _csv_columns
    try:
        return engine(path, columns, wanted)
    except (OSError, ValueError) as exc:  # pyarrow's and pandas' errors derive from these
        raise FileSourceError(f"{path}: cannot read the file: {exc}") from exc


def _parquet_columns(
    path: Path, columns: Mapping[str, str], wanted: frozenset[str] | None
) -> Mapping[str, Column]:
    names = pq.read_schema(path).names
    if wanted is not None:
        names = [name for name in names if columns.get(name, name) in wanted]
    table = pq.read_table(path, columns=names)
    return {columns.get(name, name): table.column(name) for name in names}


def _csv_columns(
    path: Path, columns: Mapping[str, str], wanted: frozenset[str] | None
) -> Mapping[str, Column]:
    """Every column (a CSV file is read whole, ``wanted`` or not). pandas' C reader beat
    pyarrow's on 12 million rows (bench_file_source.py)."""
    del wanted
    frame = pd.read_csv(path, dtype={name: str for name in code_column_names(columns)})
    renamed = frame.rename(columns={k: v for k, v in columns.items() if k in frame.columns})
    # A DataFrame answers ``in`` and ``[]`` by column name like the mapping of a parquet file.
    return cast("Mapping[str, Column]", renamed)


def read_file(path: Path, columns: Mapping[str, str]) -> pd.DataFrame:
    """A small file (indices, memberships) as a DataFrame with our column names."""
    if path.suffix.lower() == ".parquet":
        table = read_columns(path, columns)
        return pd.DataFrame({name: column.to_pandas() for name, column in table.items()})
    return read_columns(path, columns)  # type: ignore[return-value]


def short_csv_line(path: Path) -> int | None:
    """The first line (1 = the header) of a CSV file with fewer fields than its header, or
    None; files with quoted fields are left to the parser. Blank lines are skipped."""
    header = None  # separators in the header line
    done = 0  # lines ended so far
    carry = tail = 0  # separators and bytes of the line still open
    with open(path, "rb") as fh:
        while block := fh.read(_CSV_SCAN_BLOCK):
            data = np.frombuffer(block, dtype=np.uint8)
            if (data == ord('"')).any():
                return None
            breaks = np.flatnonzero(data == ord("\n"))
            commas = np.flatnonzero(data == ord(","))
            if breaks.size:
                before = np.searchsorted(commas, breaks)
                per_line = np.diff(before, prepend=0)
                per_line[0] += carry
                lengths = np.diff(breaks, prepend=-1)
                lengths[0] += tail
                if header is None:
                    header = int(per_line[0])
                short = np.flatnonzero((per_line < header) & (lengths > 2))
                if short.size:
                    return done + int(short[0]) + 1
                done += breaks.size
                carry, tail = commas.size - int(before[-1]), data.size - 1 - int(breaks[-1])
            else:
                carry, tail = carry + commas.size, tail + data.size
    if header is not None and tail > 1 and carry < header:  # a last line without a line feed
        return done + 1
    return None


# --------------------------------------------------------------------------- values


def _factorized(column: Column) -> tuple[np.ndarray, list[object]]:
    """Each row's position among the column's distinct values, and those values (missing
    values included as None or NaN)."""
    if isinstance(column, pd.Series):
        codes, uniques = pd.factorize(column, use_na_sentinel=False)
        return codes, list(uniques)
    array = column.combine_chunks()
    if pa.types.is_dictionary(array.type):
        array = cast("pa.DictionaryArray[Any, Any]", array).dictionary_decode()
    encoded = array.dictionary_encode(null_encoding="encode")
    return encoded.indices.to_numpy(zero_copy_only=False), encoded.dictionary.to_pylist()


def parse_column(
    column: Column,
    name: str,
    path: Path,
    parse: Callable[[object], _Parsed | None],
    what: str,
) -> tuple[np.ndarray, list[_Parsed]]:
    """``parse`` of each distinct value of the column and each row's position among them;
    a value it cannot read (None) names its first row."""
    codes, uniques = _factorized(column)
    parsed: list[_Parsed] = []
    for pos, value in enumerate(uniques):
        result = parse(value)
        if result is None:
            row = int(np.flatnonzero(codes == pos)[0])
            raise FileSourceError(
                f"{path}: row {row + 1}: cannot read {what} from {value!r} (column {name!r})"
            )
        parsed.append(result)
    return codes, parsed


def date_number(value: object) -> int | None:
    """A date as a YYYYMMDD number on the market's calendar; None when it is no date."""
    try:
        text = market_date(value)
    except ValueError:
        return None
    return None if text is None else int(text)


def date_numbers(column: Column, name: str, path: Path) -> np.ndarray:
    """YYYYMMDD integers of a date column; an unparsable value names its row."""
    codes, parsed = parse_column(column, name, path, date_number, "a date")
    dates: np.ndarray = np.array(parsed, dtype=np.int32)[codes]
    return dates


@dataclass(frozen=True)
class StockCodes:
    number: np.ndarray  # int32 six-digit code numbers per row
    beijing: np.ndarray  # bool per row: quoted on the Beijing exchange


def stock_codes(column: Column, name: str, path: Path) -> StockCodes:
    """The code number of each row from "000001.SZ", "000001.XSHE", "sz000001" or 1."""
    codes, parsed = parse_column(column, name, path, code_and_board, "a stock code")
    numbers = np.array([number for number, _ in parsed], dtype=np.int32)
    beijing = np.array([on_beijing for _, on_beijing in parsed], dtype=bool)
    return StockCodes(numbers[codes], beijing[codes])


def code_and_board(value: object) -> tuple[int, bool] | None:
    """A stock code's number and whether it is quoted on the Beijing exchange (by its mark
    or its number); None when it is no stock code."""
    parsed = parse_stock_code(value)
    if parsed is None:
        return None
    number, mark = parsed
    return number, mark in BEIJING_MARKS or _beijing_number(number)


def _beijing_number(number: int) -> bool:
    head = number // 100_000
    return head in (4, 8) or number // 10_000 == 92


def _index_number(value: object) -> int | None:
    parsed = parse_stock_code(value, INDEX_MARKS)
    return None if parsed is None else parsed[0]


def index_numbers(column: Column, path: Path) -> np.ndarray:
    """The six-digit number of each row's index code ("000300", "000300.SH", "000300.CSI")."""
    codes, parsed = parse_column(column, "index_code", path, _index_number, "an index code")
    numbers: np.ndarray = np.array(parsed, dtype=np.int32)[codes]
    return numbers


def numeric_column(column: Column, name: str, path: Path) -> np.ndarray:
    """A column as float64, missing values NaN."""
    try:
        if isinstance(column, pd.Series):
            return pd.to_numeric(column).to_numpy(dtype=np.float64, na_value=np.nan)
        floats = pc.cast(column, pa.float64())
        if floats.null_count:
            floats = floats.fill_null(pa.scalar(np.nan, type=pa.float64()))
        # Often a view of arrow's buffer: no copy until the files' rows are joined.
        values: np.ndarray = floats.to_numpy()
        return values
    except (ValueError, TypeError, pa.ArrowException) as exc:
        raise FileSourceError(f"{path}: column {name!r} is not numeric: {exc}") from exc


def flag_column(column: Column, name: str, path: Path) -> np.ndarray:
    """A column of flags as bool: a missing or zero value is False."""
    if isinstance(column, pa.ChunkedArray) and pa.types.is_boolean(column.type):
        filled: np.ndarray = column.fill_null(pa.scalar(False)).to_numpy()
        return filled
    if isinstance(column, pd.Series) and column.dtype == bool:
        flags: np.ndarray = column.to_numpy()
        return flags
    nonzero: np.ndarray = np.nan_to_num(numeric_column(column, name, path), nan=0.0) != 0
    return nonzero
