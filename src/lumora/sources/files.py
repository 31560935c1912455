"""The user's own market data as an SDK data source: a folder of daily bars (parquet or
CSV) read into the same source factors the cloud service and the sandbox answer with, so
preparing, loading and both backtests run unchanged on real data.

Layout of ``root`` (file names fixed, column names mapped by ``columns``):

* ``bars.parquet``, ``bars.csv`` or a folder ``bars/`` of ``*.parquet`` / ``*.csv`` files
  (for example one per year): one long table of daily bars with ``date``, ``code``,
  ``open``, ``close``, ``volume`` and optionally ``high``, ``low``, ``amount``, ``vwap``,
  ``buy_price``, ``sell_price``, ``adj_factor``, ``split``, ``dividend``, ``limit_up``,
  ``limit_down``, ``is_suspended``, ``is_st``, ``industry``;
* optional ``index_daily.*``: ``date``, ``index_code``, and ``close`` or ``daily_return``
  of the benchmark indices 000300, 000905 and 000852;
* optional ``index_members.*``: ``date``, ``index_code``, ``code``: the members of the
  indices on each listed date (a date holds until the next date listed for that index).

What the market rules need and the files may leave out is derived (see ``derive_market``).
"""

from __future__ import annotations

import datetime as _dt
import functools
import itertools
import os
import re
import stat
from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass
from pathlib import Path
from typing import Any, TypeAlias, TypeVar, cast

import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.compute as pc
import pyarrow.parquet as pq

from lumora.backtest._prepare import limit_prices
from lumora.backtest._store import normalize_yyyymmdd
from lumora.exceptions import KestrelError
from lumora.logger import logger
from lumora.sources.base import MarketClient, MarketHistory, name_list
from lumora.sources.vendors import Layout, layout_of

__all__ = ["OPTIONAL_BAR_COLUMNS", "REQUIRED_BAR_COLUMNS", "FileSource", "FileSourceError"]

REQUIRED_BAR_COLUMNS = ("date", "code", "open", "close", "volume")
OPTIONAL_BAR_COLUMNS = (
    "high",
    "low",
    "amount",
    "vwap",
    "buy_price",
    "sell_price",
    "adj_factor",
    "split",
    "dividend",
    "limit_up",
    "limit_down",
    "is_suspended",
    "is_st",
    "industry",
    "pre_close",
    "is_trading",
)
_FLAG_COLUMNS = ("is_suspended", "is_st", "is_trading")
_PRICE_COLUMNS = (
    "open",
    "close",
    "high",
    "low",
    "vwap",
    "buy_price",
    "sell_price",
    "limit_up",
    "limit_down",
)
_BAR_COLUMNS = frozenset(REQUIRED_BAR_COLUMNS + OPTIONAL_BAR_COLUMNS)
_TABLES = ("bars", "index_daily", "index_members")
_SUFFIXES = (".parquet", ".csv")
# Benchmark short name -> the code its series is stored under; membership index -> factor.
_BENCHMARKS = {"000852": "000852.XSHG", "000300": "000300.XSHG", "000905": "000905.XSHG"}
_COMPONENTS = {
    "000300": "rq_index_components_new_000300.XSHG",
    "000905": "rq_index_components_new_000905.XSHG",
    "000852": "rq_index_components_new_000852.XSHG",
    "399303": "rq_index_components_new_399303.XSHE",
    "932000": "rq_index_components_new_932000.INDX",
}
_DIVIDEND_TAX_KEEP = 0.9  # the source quotes cash dividends pre-tax per ten shares
# Prices are quoted in cents: an execution price this close to a limit price is that price.
_PRICE_TOLERANCE = 5e-7
_CODE_TEXT = re.compile(
    r"^\s*(?:(?P<suffixed>\d{6})\.(?P<suffix>[A-Za-z]+)"
    r"|(?P<prefix>[A-Za-z]{2})\.?(?P<prefixed>\d{6})"
    r"|(?P<bare>\d{1,6})(?:\.0+)?)\s*$"
)
_BEIJING_MARKS = frozenset({"BJ", "BSE", "XBSE", "BJSE"})
# The most trading days after a listing without a limit (listings under the registration rules).
_LISTING_DAYS = 5
_EXCHANGE_MARKS = _BEIJING_MARKS | {"SH", "SS", "SZ", "XSHG", "XSHE", "SHSE", "SZSE"}
# Index codes may also carry the index compiler's mark.
_INDEX_MARKS = _EXCHANGE_MARKS | {"INDX", "CSI", "CNI"}


class FileSourceError(KestrelError, ValueError):
    """A file of the user's market data cannot be used; the message names file and place."""


# --------------------------------------------------------------------------- reading files


def _files_of(root: Path, table: str) -> list[Path]:
    folder = root / table
    if folder.is_dir():
        found = sorted(p for p in folder.iterdir() if p.suffix.lower() in _SUFFIXES)
        if not found:
            raise FileSourceError(f"{folder}: no .parquet or .csv files in the folder")
    else:
        found = [
            root / (table + suffix)
            for suffix in _SUFFIXES
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


def _read_file(path: Path, columns: Mapping[str, str]) -> pd.DataFrame:
    """A small file (indices, memberships) as a DataFrame with our column names."""
    if path.suffix.lower() == ".parquet":
        table = _read_columns(path, columns)
        return pd.DataFrame({name: column.to_pandas() for name, column in table.items()})
    return _read_columns(path, columns)  # type: ignore[return-value]


# A column as a file gives it: pandas for CSV, arrow for parquet (so that millions of codes
# and dates are never turned into Python objects: only their distinct values are).
_Column: TypeAlias = "pd.Series[Any] | pa.ChunkedArray[Any]"
_Parsed = TypeVar("_Parsed")


def _read_columns(
    path: Path, columns: Mapping[str, str], wanted: frozenset[str] | None = None
) -> Mapping[str, _Column]:
    """The columns of one file by our names (``columns`` maps the file's names to ours);
    of a parquet file only those ``wanted`` (None: all)."""
    try:
        if path.suffix.lower() == ".parquet":
            names = pq.read_schema(path).names
            if wanted is not None:
                names = [name for name in names if columns.get(name, name) in wanted]
            table = pq.read_table(path, columns=names)
            return {columns.get(name, name): table.column(name) for name in names}
        # pandas' C reader beat pyarrow's on 12 million rows (bench_file_source.py).
        # Codes stay text so that "000001" keeps its zeros.
        frame = pd.read_csv(path, dtype={name: str for name in _code_column_names(columns)})
    except (OSError, ValueError) as exc:  # pyarrow's and pandas' errors derive from these
        raise FileSourceError(f"{path}: cannot read the file: {exc}") from exc
    renamed = frame.rename(columns={k: v for k, v in columns.items() if k in frame.columns})
    # A DataFrame answers ``in`` and ``[]`` by column name like the mapping of a parquet file.
    return cast("Mapping[str, _Column]", renamed)


def _code_column_names(columns: Mapping[str, str]) -> list[str]:
    names = {"code", "index_code"}
    names.update(user for user, ours in columns.items() if ours in ("code", "index_code"))
    return sorted(names)


def _require(
    frame: Mapping[str, _Column] | pd.DataFrame, path: Path, names: tuple[str, ...]
) -> None:
    for name in names:
        if name not in frame:
            raise FileSourceError(f"{path}: missing required column {name!r}")


def _factorized(column: _Column) -> tuple[np.ndarray, list[object]]:
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


def _parsed(
    column: _Column,
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


# Asia/Shanghai: UTC+8 with no daylight saving since 1991.
_MARKET_ZONE = _dt.timezone(_dt.timedelta(hours=8))


def _date_number(value: object) -> int | None:
    if isinstance(value, _dt.datetime) and value.tzinfo is not None:
        value = value.astimezone(_MARKET_ZONE)  # the market's own calendar day
    try:
        text = normalize_yyyymmdd(value)
    except ValueError:
        return None
    return None if text is None else int(text)


def _dates(column: _Column, name: str, path: Path) -> np.ndarray:
    """YYYYMMDD integers of a date column; an unparsable value names its row."""
    codes, parsed = _parsed(column, name, path, _date_number, "a date")
    dates: np.ndarray = np.array(parsed, dtype=np.int32)[codes]
    return dates


@dataclass(frozen=True)
class _Codes:
    number: np.ndarray  # int32 six-digit code numbers per row
    beijing: np.ndarray  # bool per row: quoted on the Beijing exchange


def _codes(column: _Column, name: str, path: Path) -> _Codes:
    """The code number of each row from "000001.SZ", "000001.XSHE", "sz000001" or 1."""
    codes, parsed = _parsed(column, name, path, _code_and_board, "a stock code")
    numbers = np.array([number for number, _ in parsed], dtype=np.int32)
    beijing = np.array([on_beijing for _, on_beijing in parsed], dtype=bool)
    return _Codes(numbers[codes], beijing[codes])


def _code_and_board(value: object) -> tuple[int, bool] | None:
    number, mark = _code_of(value)
    if number is None:
        return None
    return number, mark in _BEIJING_MARKS or _beijing_number(number)


def _code_of(value: object, marks: frozenset[str] = _EXCHANGE_MARKS) -> tuple[int | None, str]:
    """The code number and exchange mark of "000001.SZ", "sz000001", "000001" or 1; None
    for anything else, a mark not among ``marks`` included."""
    if isinstance(value, (int, np.integer)) and not isinstance(value, (bool, np.bool_)):
        return (int(value), "") if 0 < int(value) < 1_000_000 else (None, "")
    if isinstance(value, (float, np.floating)) and np.isfinite(value) and value == int(value):
        return _code_of(int(value), marks)
    if not isinstance(value, str):
        return None, ""
    match = _CODE_TEXT.match(value)
    if match is None:
        return None, ""
    digits = match["suffixed"] or match["prefixed"] or match["bare"]
    mark = (match["suffix"] or match["prefix"] or "").upper()
    if (mark and mark not in marks) or int(digits) == 0:
        return None, ""  # "600000.SHH" or a code cut short to "0"
    return int(digits), mark


def _beijing_number(number: int) -> bool:
    head = number // 100_000
    return head in (4, 8) or number // 10_000 == 92


def _numeric(column: _Column, name: str, path: Path) -> np.ndarray:
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


def _flag(column: _Column, name: str, path: Path) -> np.ndarray:
    if isinstance(column, pa.ChunkedArray) and pa.types.is_boolean(column.type):
        filled: np.ndarray = column.fill_null(pa.scalar(False)).to_numpy()
        return filled
    if isinstance(column, pd.Series) and column.dtype == bool:
        flags: np.ndarray = column.to_numpy()
        return flags
    nonzero: np.ndarray = np.nan_to_num(_numeric(column, name, path), nan=0.0) != 0
    return nonzero


@dataclass
class _Bars:
    """The rows of every bars file, checked, as plain arrays."""

    date: np.ndarray
    code: np.ndarray
    beijing: np.ndarray
    values: dict[str, np.ndarray]  # float64 columns
    flags: dict[str, np.ndarray]  # bool columns
    industry: np.ndarray | None  # numbers (see _industry_numbers)
    origin: list[tuple[Path, int]]  # file and first row position in the concatenation
    industry_text: np.ndarray | None = None  # the column as the files give it


def _check_forward(date: np.ndarray, code: np.ndarray, path: Path) -> None:
    """Within one file each stock's dates go forward (files sorted by date or by code)."""
    if date.size < 2 or (date[1:] >= date[:-1]).all():
        return  # sorted by date: nothing can go backwards (duplicates are found later)
    order = np.lexsort((np.arange(date.size), code))
    d, c = date[order], code[order]
    back = np.flatnonzero((c[1:] == c[:-1]) & (d[1:] < d[:-1]))
    if back.size:
        row = int(order[back[0] + 1])
        raise FileSourceError(
            f"{path}: row {row + 1}: date {d[back[0] + 1]} of stock {c[back[0] + 1]:06d} "
            f"goes backwards (after {d[back[0]]})"
        )


def _check_positive(values: np.ndarray, name: str, path: Path) -> None:
    bad = np.flatnonzero(values <= 0)
    if bad.size:
        raise FileSourceError(
            f"{path}: row {bad[0] + 1}: {name} must be positive, got {values[bad[0]]!r}"
        )


# A price is quoted in cents and no A-share has traded above this many yuan.
_MIN_PRICE, _MAX_PRICE = 0.005, 100_000.0
# Prices of one day may differ from its low and high by rounding to the cent.
_RANGE_TOLERANCE = 0.01
# Factors by which a value in the wrong unit is off, and what each suggests.
_UNIT_HINTS = (
    (
        10.0,
        (
            "are `volume` in lots and `amount` in thousand yuan? "
            "units={'volume': 'lots', 'amount': 'thousand_yuan'}"
        ),
    ),
    (100.0, "is `volume` in lots? units={'volume': 'lots'}"),
    (1000.0, "is `amount` in thousand yuan? units={'amount': 'thousand_yuan'}"),
    (0.01, "is `amount` in yuan but `volume` in shares while lots are declared?"),
)


def _row_error(path: Path, row: int, text: str) -> FileSourceError:
    return FileSourceError(f"{path}: row {row + 1}: {text}")


def _check_values(part: dict[str, np.ndarray], path: Path) -> None:
    """Every value of a bars file is plausible: finite positive prices of at least a cent,
    open, close and execution prices within the day's low and high, finite non-negative
    volume and amount, finite positive splits and adjustment factors, finite
    non-negative dividends."""
    for name in (*_PRICE_COLUMNS, "pre_close"):
        if name not in part:
            continue
        values = part[name]
        _check_positive(values, name, path)
        bad = np.flatnonzero(~np.isnan(values) & ~((values >= _MIN_PRICE) & (values <= _MAX_PRICE)))
        if bad.size:
            raise _row_error(
                path,
                bad[0],
                f"{name} must be a finite price from 0.01 to 100000, got {values[bad[0]]!r}",
            )
    for name, positive in (
        ("volume", False),
        ("amount", False),
        ("split", True),
        ("adj_factor", True),
        ("dividend", False),
    ):
        if name not in part:
            continue
        values = part[name]
        wrong = ~np.isnan(values) & ~np.isfinite(values)
        wrong |= (values <= 0) if positive else (values < 0)
        bad = np.flatnonzero(wrong)
        if bad.size:
            need = "positive" if positive else "at least 0"
            raise _row_error(
                path, bad[0], f"{name} must be finite and {need}, got {float(values[bad[0]])!r}"
            )
    if "low" in part or "high" in part:
        missing = np.full(part["close"].shape, np.nan)  # an absent bound binds nothing
        low, high = part.get("low", missing), part.get("high", missing)
        for name in ("open", "close", "vwap", "buy_price", "sell_price", "low"):
            if name in part:
                _check_within(part[name], low, high, name, path)


def _check_within(
    values: np.ndarray,
    low: np.ndarray,
    high: np.ndarray,
    name: str,
    path: Path,
    rows: np.ndarray | None = None,
) -> None:
    """``values`` lie within [low, high] where all three are given; else the error names
    a row (``rows``: the file's row of each value, by default its position) and the factor
    that would make it fit."""
    with np.errstate(invalid="ignore"):
        outside = (values < low - _RANGE_TOLERANCE) | (values > high + _RANGE_TOLERANCE)
    bad = np.flatnonzero(outside)
    if not bad.size:
        return
    at = int(bad[0])
    row = at if rows is None else int(rows[at])
    value, lo, hi = float(values[at]), float(low[at]), float(high[at])
    hint = ""
    for factor, question in _UNIT_HINTS:
        if lo - _RANGE_TOLERANCE <= value * factor <= hi + _RANGE_TOLERANCE:
            hint = f"; {factor:g} times it would fit: {question}"
            break
    raise _row_error(
        path, row, f"{name} {value!r} lies outside the day's low {lo!r} and high {hi!r}{hint}"
    )


def _check_derived_price(part: dict[str, np.ndarray], path: Path) -> None:
    """``amount / volume`` (in yuan and shares) is a price of the day: within its low and
    high, or without them between half and twice the close."""
    if "amount" not in part or "vwap" in part:
        return
    volume, amount = part["volume"], part["amount"]
    unpriced = np.flatnonzero((volume > 0) & (amount == 0))
    if unpriced.size:
        raise _row_error(path, unpriced[0], "amount is 0 on a day with volume")
    traded = np.flatnonzero((volume > 0) & (amount > 0))
    if not traded.size:
        return
    price = amount[traded] / volume[traded]
    if "low" in part and "high" in part:
        low, high = part["low"][traded], part["high"][traded]
    else:
        close = part["close"][traded]
        low, high = close * 0.5, close * 2.0
    _check_within(price, low, high, "amount / volume", path, traded)


@dataclass(frozen=True)
class _FileSummary:
    """What a bars file says in a few numbers, kept while the file is held only in part: a
    content hash of each of its dates and each stock's first date in it."""

    hashes: np.ndarray  # per distinct date of the file (see _day_hashes)
    codes: np.ndarray  # the file's stocks
    first: np.ndarray  # each one's first date in the file


def _summary(part: Mapping[str, np.ndarray], day: np.ndarray, n_days: int) -> _FileSummary:
    first = pd.Series(part["date"]).groupby(part["code"]).min()
    return _FileSummary(
        hashes=_day_hashes(part, day, n_days),
        codes=first.index.to_numpy(dtype=np.int32),
        first=first.to_numpy(dtype=np.int32),
    )


def _day_hashes(part: Mapping[str, np.ndarray], day: np.ndarray, n_days: int) -> np.ndarray:
    """A number per date of a file that changes whenever any of that date's rows does
    (a value restated, a row added or removed): each row's columns hashed together, the
    rows of a date summed. Recorded with the store, they tell an update which dates of a
    file changed since the store was built."""
    row = pd.util.hash_array(part["code"])
    for name in sorted(part):
        if name not in ("date", "code"):
            row = row * np.uint64(0x100000001B3) + pd.util.hash_array(part[name])
    unit = (row >> np.uint64(11)).astype(np.float64) * 2.0**-53
    return np.bincount(day, weights=unit, minlength=n_days)


# Beyond this share of the stored dates, a rewrite from a changed date is slower than a
# full build of the files (bench_restated.py at 5,000 x 2,500: 45 % of the dates took 10.7 s
# and 6 % took 4.5 s, a full build 6.5 s), so the store is built anew instead.
_REWRITE_SHARE = 0.25

# A CSV file is scanned for short lines this many bytes at a time.
_CSV_SCAN_BLOCK = 1 << 24


def _short_csv_line(path: Path) -> int | None:
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


def _read_part(
    path: Path, layout: Layout
) -> tuple[dict[str, np.ndarray], np.ndarray, _FileSummary]:
    """The checked rows of one bars file as plain arrays by column name (volume in shares,
    amount in yuan), the file's distinct dates and its summary."""
    if path.suffix.lower() == ".csv":
        line = _short_csv_line(path)
        if line is not None:
            raise FileSourceError(
                f"{path}: line {line} has fewer fields than the header (cut short?)"
            )
    frame = _read_columns(path, layout.columns, _BAR_COLUMNS)
    # One file per stock, named by its code.
    if "code" not in frame and "date" in frame and _code_and_board(path.stem) is not None:
        frame = dict(frame)
        frame["code"] = pd.Series([path.stem] * len(frame["date"]), dtype=object)
    _require(frame, path, REQUIRED_BAR_COLUMNS)
    if len(frame["date"]) == 0:
        raise FileSourceError(f"{path}: the file has no rows")
    date_of, date_values = _parsed(frame["date"], "date", path, _date_number, "a date")
    code_of, code_values = _parsed(frame["code"], "code", path, _code_and_board, "a stock code")
    dates, date_position = np.unique(np.array(date_values, dtype=np.int32), return_inverse=True)
    numbers = np.array([number for number, _ in code_values], dtype=np.int32)
    codes, code_position = np.unique(numbers, return_inverse=True)
    part: dict[str, np.ndarray] = {
        "date": dates[date_position][date_of],
        "code": numbers[code_of],
        "beijing": np.array([board for _, board in code_values], dtype=bool)[code_of],
    }
    _check_forward(part["date"], part["code"], path)
    cell = date_position[date_of].astype(np.int64) * max(codes.size, 1) + code_position[code_of]
    _check_unique_cells(cell, part["date"], part["code"], [(path, 0)])
    date_of_rows = date_of
    del date_of, code_of, cell
    for name in ("open", "close", "volume", *OPTIONAL_BAR_COLUMNS):
        if name not in frame or name in _FLAG_COLUMNS or name == "industry":
            continue
        part[name] = _numeric(frame[name], name, path)
    if layout.volume_scale != 1.0:
        part["volume"] = part["volume"] * layout.volume_scale
    if "amount" in part and layout.amount_scale != 1.0:
        part["amount"] = part["amount"] * layout.amount_scale
    _check_values(part, path)
    _check_derived_price(part, path)
    for name in ("is_suspended", "is_st"):
        if name in frame:
            part[name] = _flag(frame[name], name, path)
    if "is_trading" in frame:  # a vendor's trading status: suspended where it is 0
        halted = ~_flag(frame["is_trading"], "is_trading", path)
        part["is_suspended"] = part["is_suspended"] | halted if "is_suspended" in part else halted
    if "industry" in frame:
        industry = frame["industry"]
        part["industry"] = (
            industry.to_numpy(zero_copy_only=False)
            if isinstance(industry, pa.ChunkedArray)
            else industry.to_numpy()
        )
    return part, dates, _summary(part, date_position[date_of_rows], dates.size)


def _overlapping(ranges: list[tuple[int, int]]) -> bool:
    ordered = sorted(ranges)
    return any(b[0] <= a[1] for a, b in itertools.pairwise(ordered))


def _join(
    files: list[Path], parts: list[dict[str, np.ndarray]], ranges: list[tuple[int, int]]
) -> _Bars:
    """One table of the rows of every file (the parts are emptied on the way); ``ranges``:
    the first and last date of each file."""
    names = set.intersection(*(set(p) for p in parts))
    for path, part in zip(files, parts):
        extra = sorted(set(part) - names)
        if extra:  # dropping it for every file would lose, say, one year's splits
            lacking = [str(f) for f, p in zip(files, parts) if extra[0] not in p]
            raise FileSourceError(
                f"{path}: column {extra[0]!r} is given here but not in {', '.join(lacking[:3])}"
                f"{' ...' if len(lacking) > 3 else ''}; give it in every file of the table"
            )
    origin, at = [], 0
    for path, part in zip(files, parts):
        origin.append((path, at))
        at += len(part["date"])

    def joined(name: str) -> np.ndarray:
        out = np.concatenate([p.pop(name) for p in parts])
        # The files' columns were arrow's buffers: arrow's allocator keeps freed memory
        # for reuse unless told, and the rows would stay in memory twice.
        pa.default_memory_pool().release_unused()
        return out

    flags: dict[str, np.ndarray] = {
        name: joined(name) for name in ("is_suspended", "is_st") if name in names
    }
    industry_text = joined("industry") if "industry" in names else None
    bars = _Bars(
        date=joined("date"),
        code=joined("code"),
        beijing=joined("beijing"),
        values={
            name: joined(name)
            for name in ("open", "close", "volume", *OPTIONAL_BAR_COLUMNS)
            if name in names and name not in flags and name != "industry"
        },
        flags=flags,
        industry=None if industry_text is None else _industry_numbers(industry_text),
        origin=origin,
        industry_text=industry_text,
    )
    if _overlapping(ranges):  # files with disjoint date ranges cannot share a (date, code)
        _check_unique(bars.date, bars.code, origin)
    return bars


def _industry_numbers(raw: np.ndarray) -> np.ndarray:
    """Industry codes as numbers; text industries are numbered from 1 in sorted order."""
    try:
        return pd.to_numeric(pd.Series(raw)).to_numpy(dtype=np.float64, na_value=np.nan)
    except (ValueError, TypeError):
        codes, _ = pd.factorize(pd.Series(raw).astype("string"), sort=True)
        return np.where(codes >= 0, codes + 1.0, np.nan)


def _check_unique(date: np.ndarray, code: np.ndarray, origin: list[tuple[Path, int]]) -> None:
    _, date_pos = _dense_unique(date)
    codes, code_pos = _dense_unique(code)
    _check_unique_cells(date_pos * max(codes.size, 1) + code_pos, date, code, origin)


def _check_unique_cells(
    cell: np.ndarray, date: np.ndarray, code: np.ndarray, origin: list[tuple[Path, int]]
) -> None:
    """Refuses two rows of one (date, stock) cell (``cell``: a number per row that only
    rows of the same date and stock share)."""
    counts = np.bincount(cell)
    if counts.max(initial=0) > 1:
        rows = np.flatnonzero(cell == int(np.argmax(counts > 1)))
        raise FileSourceError(
            f"duplicate rows for date {date[rows[0]]} and stock {code[rows[0]]:06d}: "
            + " and ".join(_where(origin, int(r)) for r in rows[:2])
        )


def _subset(bars: _Bars, rows: np.ndarray) -> _Bars:
    return _Bars(
        date=bars.date[rows],
        code=bars.code[rows],
        beijing=bars.beijing[rows],
        values={name: v[rows] for name, v in bars.values.items()},
        flags={name: v[rows] for name, v in bars.flags.items()},
        industry=None if bars.industry is None else bars.industry[rows],
        origin=[],
        industry_text=None if bars.industry_text is None else bars.industry_text[rows],
    )


def window_bars(bars: _Bars, low: int) -> _Bars:
    return _subset(bars, _window_rows(bars, low))


def _window_rows(bars: _Bars, low: int) -> np.ndarray:
    """The rows a derivation from date ``low`` on needs: every row on or after it and the
    seed rows (see ``_seed_rows``) of the rows before it."""
    date = bars.date
    if (date[1:] >= date[:-1]).all():  # files a year, each sorted by date
        count = int(np.searchsorted(date, low))
        earlier, later = np.arange(count), np.arange(count, date.size)
    else:
        by_date = np.argsort(date, kind="stable")
        count = int(np.searchsorted(date[by_date], low))
        earlier, later = by_date[:count], by_date[count:]
    columns = {name: v[earlier] for name, v in (*bars.values.items(), *bars.flags.items())}
    if bars.industry is not None:
        columns["industry"] = bars.industry[earlier]
    seeds = earlier[_seed_rows(bars.code[earlier], bars.date[earlier], columns)]
    return np.union1d(seeds, later)


def _seed_rows(code: np.ndarray, date: np.ndarray, columns: Mapping[str, np.ndarray]) -> np.ndarray:
    """Of rows in date order per stock, those a derivation of later days needs: each
    stock's last row, last one with a close, last traded one with an adjustment factor
    and last one with an industry, so that carried closes, factors and industries, listing
    and previous closes come out as in the whole history; and every row of the last
    ``_LISTING_DAYS - 1`` dates with each stock's last row before them, so that the days
    after a listing without a limit count as in the whole history (see ``_limits``)."""
    distinct = _dense_unique(date)[0]
    recent = date >= distinct[-(_LISTING_DAYS - 1) :].min(initial=np.iinfo(np.int32).max)
    carried = [None, ~recent, ~np.isnan(columns["close"])]
    if "adj_factor" in columns:
        carried.append(~_halted_rows(columns) & ~np.isnan(columns["adj_factor"]))
    if "industry" in columns:
        carried.append(~np.isnan(columns["industry"]))
    positions = np.arange(code.size)
    last = np.empty(int(code.max(initial=0)) + 1, dtype=np.int64)
    seeds = []
    for mask in carried:
        rows = positions if mask is None else positions[mask]
        last.fill(-1)
        last[code[rows]] = rows  # rows go by date: the latest row of a stock wins
        seeds.append(last[last >= 0])
    seeds.append(np.flatnonzero(recent))
    return np.unique(np.concatenate(seeds))


def _halted(bars: _Bars) -> np.ndarray:
    return _halted_rows({**bars.values, **bars.flags})


def _halted_rows(columns: Mapping[str, np.ndarray]) -> np.ndarray:
    """Rows without trading: zero volume, no close or marked suspended."""
    halted = ~(columns["volume"] > 0) | np.isnan(columns["close"])  # no volume: no trade
    if "is_suspended" in columns:
        halted |= columns["is_suspended"]
    rows: np.ndarray = halted
    return rows


def _where(origin: list[tuple[Path, int]], position: int) -> str:
    for path, first in reversed(origin):
        if position >= first:
            return f"{path}: row {position - first + 1}"
    return f"row {position + 1}"


# --------------------------------------------------------------------------- derivation

# Steps over the whole market that need temporary tables go through this many dates at a
# time, so that no step holds more than a slice of a table beside its inputs and outputs.
_ROW_BLOCK = 256


def _row_blocks(n_rows: int) -> Iterator[slice]:
    for start in range(0, n_rows, _ROW_BLOCK):
        yield slice(start, min(start + _ROW_BLOCK, n_rows))


def _ffill(values: np.ndarray) -> np.ndarray:
    """Each NaN cell takes the last value above it in its column (still NaN before any);
    in place, and returns ``values``."""
    for row in range(1, values.shape[0]):
        current = values[row]
        gaps = np.isnan(current)
        current[gaps] = values[row - 1][gaps]
    return values


def _previous_rows(values: np.ndarray, rows: slice) -> np.ndarray:
    """The rows just above ``rows`` (NaN above the first row)."""
    if rows.start > 0:
        return values[rows.start - 1 : rows.stop - 1]
    out = np.full((rows.stop - rows.start, values.shape[1]), np.nan)
    out[1:] = values[: rows.stop - 1]
    return out


@dataclass
class _Market:
    dates: np.ndarray  # YYYYMMDD text
    codes: np.ndarray  # six-digit text
    factors: dict[str, np.ndarray]
    listed: np.ndarray  # dates x stocks: between a stock's first and last row


def _dense_unique(values: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Sorted distinct values and each value's position among them, by a lookup table
    over the values' range (dates as YYYYMMDD and six-digit codes have small ranges)."""
    if values.size == 0:
        return values[:0], np.zeros(0, dtype=np.int64)
    low = int(values.min())
    offset = values - low
    seen = np.zeros(int(values.max()) - low + 1, dtype=bool)
    seen[offset] = True
    distinct = np.flatnonzero(seen)
    position = np.zeros(seen.size, dtype=np.int64)
    position[distinct] = np.arange(distinct.size)
    return (distinct + low).astype(values.dtype), position[offset]


class _Grid:
    """Puts row values into date x stock cells (one row a cell: see _check_unique)."""

    def __init__(self, bars: _Bars) -> None:
        self.dates, cell = _dense_unique(bars.date)
        self.codes, code_pos = _dense_unique(bars.code)
        self.shape = (self.dates.size, self.codes.size)
        cell *= self.codes.size
        cell += code_pos
        self.cell = cell
        self.beijing = np.zeros(self.codes.size, dtype=bool)
        self.beijing[code_pos[bars.beijing]] = True

    def matrix(self, values: np.ndarray, fill: float = np.nan) -> np.ndarray:
        out = np.full(self.shape, fill)
        out.reshape(-1)[self.cell] = values
        return out

    def mask(self, values: np.ndarray) -> np.ndarray:
        out = np.zeros(self.shape, dtype=bool)
        out.reshape(-1)[self.cell] = values
        return out


def _logged_once(message: str, *args: object) -> None:
    logger.info("file source: " + message, *args)


class _Columns:
    """The value columns of the bars, each handed out once: with ``consume`` a column
    leaves the bars when taken, so the rows do not stay beside the tables made of them."""

    def __init__(self, bars: _Bars, consume: bool) -> None:
        self._values = bars.values if consume else dict(bars.values)
        self.flags = bars.flags

    def __contains__(self, name: str) -> bool:
        return name in self._values

    def take(self, name: str) -> np.ndarray:
        return self._values.pop(name)


def _first_positive(values: np.ndarray | None, fallback: np.ndarray | None) -> np.ndarray | None:
    """Each cell's value where it is a finite positive number, else the fallback's (NaN
    without one); None when neither is given."""
    if values is None:
        return fallback
    usable = np.isfinite(values) & (values > 0)
    return np.where(usable, values, np.nan if fallback is None else fallback)


def _execution_prices(
    columns: _Columns, grid: _Grid, traded: np.ndarray, open_: np.ndarray
) -> tuple[np.ndarray, np.ndarray]:
    """Buy and sell prices of traded days, cell by cell the first finite positive of
    ``buy_price`` / ``sell_price``, ``vwap``, ``amount / volume`` and ``open`` (NaN on the
    other days and where none is)."""
    volume = columns.take("volume")  # no table needs it after this
    common = columns.take("vwap") if "vwap" in columns else None
    fallbacks = ["vwap"] if common is not None else []
    if "amount" in columns:
        with np.errstate(divide="ignore", invalid="ignore"):
            per_share = columns.take("amount") / volume
        common = _first_positive(common, _first_positive(per_share, None))
        fallbacks.append("amount / volume")
        del per_share
    del volume
    if "buy_price" not in columns or "sell_price" not in columns:
        _logged_once(
            "missing execution prices are taken from the first of %s",
            ", ".join([*fallbacks, "open"]),
        )
    prices = []
    for name in ("buy_price", "sell_price"):
        given = _first_positive(columns.take(name) if name in columns else None, common)
        price = open_.copy() if given is None else grid.matrix(given)
        del given
        for rows in _row_blocks(price.shape[0]):
            block = price[rows]
            np.copyto(block, open_[rows], where=~(np.isfinite(block) & (block > 0)))
            block[~(traded[rows] & np.isfinite(block) & (block > 0))] = np.nan
        prices.append(price)
    return prices[0], prices[1]


# Of the whole files, when only some rows are derived: each stock (ascending) with its
# first date, and every date.
_WholeFiles = tuple[np.ndarray, np.ndarray, np.ndarray]


def derive_market(
    bars: _Bars, *, consume: bool = False, history: _WholeFiles | None = None
) -> _Market:
    """The source factors of the builder from the rows of the bars files.

    * suspended stock-days: a missing row between a stock's first and last row, zero
      volume, a missing close, or ``is_suspended``; they carry the last close, have no
      other prices and are marked suspended;
    * execution prices: each stock-day the first finite positive of ``buy_price`` /
      ``sell_price``, ``vwap``, ``amount / volume`` and ``open``; a day traded at one
      limit price all day (``low`` at the limit-up, ``high`` at the limit-down) executes
      at that limit;
    * limit prices: ``limit_up`` / ``limit_down``, else the exchanges' limits of the
      ex-rights previous close by board, date and ``is_st`` (``_prepare.limit_prices``:
      whole cents rounded half up; none on a listing's first day, or first five days
      under the registration rules; a stock there on the first date listed before it);
    * splits and dividends: ``split`` (new shares per old share) and ``dividend`` (cash per
      share after tax) on the ex-rights day, else the change of ``adj_factor`` from one
      day to the next as a share-count factor (worth the same to a holder).

    ``history``: the stocks' first dates and the dates of the whole files, when ``bars``
    are a window of them (listing days count from there). With ``consume`` the value
    columns of ``bars`` are taken out as they are used (a whole
    history is derived once, and its rows would otherwise double the memory it needs).
    """
    grid = _Grid(bars)
    n_dates = grid.shape[0]
    present = grid.mask(np.ones(bars.date.size, dtype=bool))
    first = np.argmax(present, axis=0)
    last = n_dates - 1 - np.argmax(present[::-1], axis=0)
    del present
    row = np.arange(n_dates)[:, None]
    listed = (row >= first) & (row <= last)
    traded = grid.mask(~_halted(bars))
    columns = _Columns(bars, consume)
    industry = bars.industry
    if consume:
        bars.industry = bars.industry_text = None
        bars.date, bars.code, bars.beijing = bars.date[:0], bars.code[:0], bars.beijing[:0]

    # Each table is made as its rows leave the bars.
    open_ = grid.matrix(columns.take("open"))
    open_[~traded] = np.nan
    buy, sell = _execution_prices(columns, grid, traded, open_)
    # A suspended row keeps the close it gives (the vendors' last close); a missing row
    # takes the last close before it.
    close = _ffill(grid.matrix(columns.take("close")))
    close[~listed] = np.nan

    split, dividend = _adjustments(columns, grid, listed, traded)
    if dividend is not None:
        _check_dividends(dividend, close, grid)
    limit_up, limit_down = _limits(columns, grid, close, listed, first, split, dividend, history)
    for name, price, limit, locked in (
        ("low", buy, limit_up, np.greater_equal),  # locked at limit-up all day
        ("high", sell, limit_down, np.less_equal),  # locked at limit-down all day
    ):
        extreme = grid.matrix(columns.take(name)) if name in columns else None
        tolerance = _PRICE_TOLERANCE if locked is np.greater_equal else -_PRICE_TOLERANCE
        for rows in _row_blocks(n_dates):
            at_limit = np.abs(price[rows] - limit[rows]) <= _PRICE_TOLERANCE
            if extreme is not None:
                at_limit |= traded[rows] & locked(extreme[rows], limit[rows] - tolerance)
            np.copyto(price[rows], limit[rows], where=at_limit)
        del extreme

    suspended = (listed & ~traded).astype(np.float32)
    del traded
    suspended[~listed] = np.nan
    factors: dict[str, np.ndarray] = {
        "rq_industry_exposure_new": _industry(industry, grid, listed),
        "limit_down": limit_down,
        "limit_up": limit_up,
        "Close": close,
        "Open": open_,
        "tick_vwap_price_935_1005": buy,
        "tick_vwap_price_925_1000": sell,
        "rq_is_suspended": suspended,
    }
    # A market without splits or dividends has no such factor (the builder reads none).
    if split is not None:
        split *= 10.0
        factors["split_coefficient_to"] = split
    if dividend is not None:
        dividend *= 10.0
        dividend /= _DIVIDEND_TAX_KEEP
        factors["rq_get_dividend"] = dividend
    return _Market(
        dates=np.array([str(d) for d in grid.dates], dtype=object),
        codes=np.array([f"{c:06d}" for c in grid.codes], dtype=object),
        factors=factors,
        listed=listed,
    )


def _check_dividends(dividend: np.ndarray, close: np.ndarray, grid: _Grid) -> None:
    """A cash dividend per share lies below the close before its ex-rights day (a larger
    one would leave a reference price at or below zero: a unit or a column mixed up)."""
    for rows in _row_blocks(dividend.shape[0]):
        with np.errstate(invalid="ignore"):
            bad = np.argwhere(dividend[rows] >= _previous_rows(close, rows))
        if bad.size:
            row, col = int(bad[0][0]) + rows.start, int(bad[0][1])
            raise FileSourceError(
                f"dividend {float(dividend[row, col])!r} of stock {int(grid.codes[col]):06d} "
                f"on {int(grid.dates[row])} is not below the previous close "
                f"{float(close[row - 1, col]) if row else float('nan')!r}"
            )


def _adjustments(
    columns: _Columns, grid: _Grid, listed: np.ndarray, traded: np.ndarray
) -> tuple[np.ndarray | None, np.ndarray | None]:
    """Split (new shares per old share) and after-tax dividend per share; NaN: none; None:
    none on any day."""
    if "split" in columns or "dividend" in columns:
        out = []
        for name in ("split", "dividend"):
            values = grid.matrix(columns.take(name)) if name in columns else None
            if values is not None:
                values[~(values > 0)] = np.nan
            out.append(values)
        return out[0], out[1]
    if "adj_factor" not in columns:
        return None, None
    adj = grid.matrix(columns.take("adj_factor"))
    adj[~traded] = np.nan
    _ffill(adj)
    # The ratio of each day's factor to the day before's, from the last row up, in place.
    with np.errstate(divide="ignore", invalid="ignore"):
        for row in range(adj.shape[0] - 1, 0, -1):
            adj[row] /= adj[row - 1]
    adj[0] = np.nan
    for rows in _row_blocks(adj.shape[0]):
        ratio = adj[rows]
        changed = listed[rows] & np.isfinite(ratio) & (ratio > 0) & (ratio != 1.0)
        ratio[~changed] = np.nan
    return adj, None


def _limits(
    columns: _Columns,
    grid: _Grid,
    close: np.ndarray,
    listed: np.ndarray,
    first: np.ndarray,
    split: np.ndarray | None,
    dividend: np.ndarray | None,
    history: _WholeFiles | None,
) -> tuple[np.ndarray, np.ndarray]:
    given = {
        name: grid.matrix(columns.take(name))
        for name in ("limit_up", "limit_down")
        if name in columns
    }
    if len(given) == 2:
        return given["limit_up"], given["limit_down"]
    _logged_once("limit prices are derived from the previous close and the board's limit")
    special = grid.mask(columns.flags["is_st"]) if "is_st" in columns.flags else None
    calendar = grid.dates.astype(np.int32)
    if history is None:  # the rows are the whole files
        history = (grid.codes, calendar[first], calendar)
    # Listing days count in the files' whole calendar, from each stock's first row there,
    # so that a window of days derives them as the whole history does. A stock already
    # there on the files' first date listed before them (its listing days are not in them).
    listed_on = history[1][np.searchsorted(history[0], grid.codes)]
    listing = np.where(listed_on > history[2][0], listed_on, 0).astype(np.int32)
    codes = grid.codes.astype(np.int32)
    # A vendor's ex-rights previous close is the reference itself where the files give it.
    pre_close = grid.matrix(columns.take("pre_close")) if "pre_close" in columns else None
    up, down = np.empty(grid.shape), np.empty(grid.shape)
    for rows in _row_blocks(grid.shape[0]):
        previous = _previous_rows(close, rows)
        block_dividend = None if dividend is None else dividend[rows]
        block_split = None if split is None else split[rows]
        if pre_close is not None:
            given_reference = ~np.isnan(pre_close[rows])
            previous = np.where(given_reference, pre_close[rows], previous)
            if block_dividend is not None:
                block_dividend = np.where(given_reference, np.nan, block_dividend)
            if block_split is not None:
                block_split = np.where(given_reference, np.nan, block_split)
        _, up[rows], down[rows] = limit_prices(
            previous,
            codes,
            calendar[rows],
            beijing=grid.beijing,
            dividend=block_dividend,
            split=block_split,
            special_treatment=None if special is None else special[rows],
            listing_date=listing,
            calendar=history[2].astype(np.int32),
        )
    up[~listed], down[~listed] = np.nan, np.nan
    return given.get("limit_up", up), given.get("limit_down", down)


def _industry(industry: np.ndarray | None, grid: _Grid, listed: np.ndarray) -> np.ndarray:
    """Industry codes carried over suspended days; without the column every stock is in
    industry 1."""
    if industry is None:
        out = np.ones(grid.shape, dtype=np.float32)
    else:
        out = _ffill(grid.matrix(industry)).astype(np.float32)
    out[~listed] = np.nan
    return out


# --------------------------------------------------------------------------- indices


def _index_number(column: pd.Series, path: Path) -> np.ndarray:
    codes, parsed = _parsed(
        column, "index_code", path, lambda v: _code_of(v, _INDEX_MARKS)[0], "an index code"
    )
    numbers: np.ndarray = np.array(parsed, dtype=np.int32)[codes]
    return numbers


# A benchmark index never moved this much in a day: a larger return is a percent.
_MAX_INDEX_RETURN = 0.5


def _index_series(files: list[Path], columns: Mapping[str, str]) -> dict[str, pd.Series]:
    """The daily returns of each benchmark the index files give, by YYYYMMDD number: the
    rows of every file joined before returns are taken from closes, so a folder of yearly
    files reads as one series. Repeated dates and returns that look like percents are
    refused naming the file."""
    closes: dict[str, list[tuple[Path, pd.Series]]] = {}
    returns: dict[str, list[tuple[Path, pd.Series]]] = {}
    for path in files:
        frame = _read_file(path, columns)
        if "index_code" not in frame.columns and "code" in frame.columns:
            # A mapping written for the bars ("ts_code" -> "code") names the index here.
            frame = frame.rename(columns={"code": "index_code"})
        _require(frame, path, ("date", "index_code"))
        if "daily_return" not in frame.columns and "close" not in frame.columns:
            raise FileSourceError(f"{path}: missing required column 'close' or 'daily_return'")
        if frame.empty:
            raise FileSourceError(f"{path}: the file has no rows")
        date = _dates(frame["date"], "date", path)
        number = _index_number(frame["index_code"], path)
        given = "daily_return" if "daily_return" in frame.columns else "close"
        values = _numeric(frame[given], given, path)
        if given == "close":
            _check_positive(values, "close", path)
        for short in _BENCHMARKS:
            rows = number == int(short)
            if rows.any():
                book = returns if given == "daily_return" else closes
                book.setdefault(short, []).append((path, pd.Series(values[rows], index=date[rows])))
    out: dict[str, pd.Series] = {}
    for short in _BENCHMARKS:
        joined = {
            kind: _joined_series(book.get(short, []), short)
            for kind, book in (("close", closes), ("return", returns))
        }
        series = joined["close"].pct_change() if joined["close"] is not None else None
        if joined["return"] is not None:
            given_returns = joined["return"]
            _check_index_returns(given_returns, short, [p for p, _ in returns[short]])
            series = given_returns if series is None else given_returns.combine_first(series)
        if series is not None:
            out[short] = series
    return out


def _joined_series(parts: list[tuple[Path, pd.Series]], short: str) -> pd.Series | None:
    if not parts:
        return None
    series = pd.concat([s for _, s in parts])
    repeated = series.index.duplicated(keep=False)
    if repeated.any():
        day = int(series.index[repeated][0])
        where = [str(path) for path, s in parts if (s.index == day).any()]
        raise FileSourceError(
            f"{' and '.join(where[:2])}: index {short} lists date {day} more than once"
        )
    ordered: pd.Series = series.sort_index()
    return ordered


def _check_index_returns(series: pd.Series, short: str, paths: list[Path]) -> None:
    values = series.to_numpy(dtype=np.float64)
    bad = np.flatnonzero(~np.isnan(values) & ~(np.abs(values) < _MAX_INDEX_RETURN))
    if bad.size:
        raise FileSourceError(
            f"{paths[0]}: index {short} has a daily_return of {float(values[bad[0]])!r} on "
            f"{int(series.index[bad[0]])}; returns are fractions (0.0123 for 1.23 %): "
            "are they in percent?"
        )


def _index_daily(found: Mapping[str, pd.Series], dates: np.ndarray) -> pd.DataFrame:
    """Rows date, ukey, daily_return of the three benchmarks; a benchmark the files leave
    out has no value on any date (a backtest against it fails, preparing does not)."""
    day_numbers = dates.astype(np.int64)
    parts = []
    for short, code in _BENCHMARKS.items():
        series = found.get(short)
        if series is None:
            returns = np.full(dates.size, np.nan)
        else:
            returns = series.reindex(day_numbers).to_numpy(dtype=np.float64)
        parts.append(pd.DataFrame({"date": dates, "ukey": code, "daily_return": returns}))
    return pd.concat(parts, ignore_index=True)


def _member_rows(
    files: list[Path], columns: Mapping[str, str]
) -> dict[str, tuple[np.ndarray, np.ndarray]]:
    """The (date, stock) rows of each index's members, over every membership file."""
    found: dict[str, list[tuple[np.ndarray, np.ndarray]]] = {}
    for path in files:
        frame = _read_file(path, columns)
        _require(frame, path, ("date", "index_code", "code"))
        date = _dates(frame["date"], "date", path)
        index = _index_number(frame["index_code"], path)
        stock = _codes(frame["code"], "code", path).number
        for short in _COMPONENTS:
            rows = index == int(short)
            if rows.any():
                found.setdefault(short, []).append((date[rows], stock[rows]))
    return {
        short: (np.concatenate([d for d, _ in parts]), np.concatenate([s for _, s in parts]))
        for short, parts in found.items()
    }


def _membership(
    members: tuple[np.ndarray, np.ndarray] | None,
    day_numbers: np.ndarray,
    code_numbers: np.ndarray,
    listed: np.ndarray,
) -> np.ndarray:
    """Component factor of one index: 1 on member days, 0 on other listed days. An index
    the files leave out has no member (a universe restricted to it is empty)."""
    out = np.zeros(listed.shape, dtype=np.float32)
    if members is not None:
        date, stock = members
        snapshot_dates = np.unique(date)
        # Each trading day takes the latest snapshot on or before it.
        segment = np.searchsorted(snapshot_dates, day_numbers, side="right") - 1
        member = np.zeros((snapshot_dates.size, code_numbers.size), dtype=bool)
        col = np.searchsorted(code_numbers, stock)
        known = (col < code_numbers.size) & (
            code_numbers[np.minimum(col, code_numbers.size - 1)] == stock
        )
        member[np.searchsorted(snapshot_dates, date[known]), col[known]] = True
        dated = segment >= 0
        out[dated] = member[segment[dated]]
    out[~listed] = np.nan
    return out


class _Factors(dict[str, np.ndarray]):
    """Factor tables by name; the membership tables are made when asked for and not kept
    (a build reads each once, and five tables of the whole market need not wait)."""

    def __init__(self, tables: dict[str, np.ndarray], made: Mapping[str, Callable[[], np.ndarray]]):
        super().__init__(tables)
        self.made = made

    def __contains__(self, name: object) -> bool:
        return super().__contains__(name) or name in self.made

    def __missing__(self, name: str) -> np.ndarray:
        if name in self.made:
            return self.made[name]()
        raise KeyError(name)

    def __iter__(self) -> Iterator[str]:
        yield from super().__iter__()
        yield from (name for name in self.made if not dict.__contains__(self, name))

    def __len__(self) -> int:
        return sum(1 for _ in self)

    def get(self, name: str, default: Any = None) -> Any:
        return self[name] if name in self else default  # noqa: SIM401 (dict.get skips __missing__)


# --------------------------------------------------------------------------- the source


def _fingerprint(files: list[Path]) -> tuple[tuple[str, int, int], ...]:
    out = []
    for path in files:
        stat = path.stat()
        out.append((str(path), stat.st_size, stat.st_mtime_ns))
    return tuple(out)


_Key = tuple[str, int, int]  # a file's path, size and modification time


@dataclass
class _Read:
    """The bars of the files as last read. A file is held whole or, once the whole history
    was derived, by the rows a window after its last date needs (see ``_shrunk``)."""

    stamp: tuple[_Key, ...]  # of every file of every table
    bars: _Bars
    spans: dict[_Key, tuple[int, int]]  # bars file -> its rows in ``bars``
    file_dates: dict[_Key, np.ndarray]  # bars file -> its distinct dates
    whole: frozenset[_Key]  # the files every row of which ``bars`` holds
    dates: np.ndarray  # the distinct YYYYMMDD numbers of all files
    summaries: dict[_Key, _FileSummary]  # bars file -> its date hashes and first dates

    def listing(self) -> tuple[np.ndarray, np.ndarray]:
        """Each stock's first date in the files (codes ascending), whichever part of
        them is held."""
        codes = np.concatenate([s.codes for s in self.summaries.values()])
        first = np.concatenate([s.first for s in self.summaries.values()])
        frame = pd.Series(first).groupby(codes).min()
        return frame.index.to_numpy(dtype=np.int32), frame.to_numpy(dtype=np.int32)

    def holds(self, low: int | None) -> bool:
        """Whether ``bars`` holds every row on or after ``low`` (None: every row)."""
        return all(
            key in self.whole or (low is not None and self.file_dates[key][-1] < low)
            for key in self.spans
        )


def _reread(
    files: list[Path],
    layout: Layout,
    stamp: tuple[_Key, ...],
    old: _Read | None,
    *,
    whole: bool,
) -> _Read:
    """The bars of ``files``, parsing again only the files changed since ``old`` (and,
    with ``whole``, the files ``old`` holds only in part); without ``whole`` the files
    before the newest are held only in part (see ``_shrunk_parts``)."""
    keys = _fingerprint(files)
    parts: list[dict[str, np.ndarray]] = []
    file_dates: dict[_Key, np.ndarray] = {}
    summaries: dict[_Key, _FileSummary] = {}
    held: set[_Key] = set()
    fresh = []
    for position, key in enumerate(keys):
        if old is not None and key in old.spans and (key in old.whole or not whole):
            parts.append(_part_of(old.bars, *old.spans[key]))
            file_dates[key], summaries[key] = old.file_dates[key], old.summaries[key]
            if key in old.whole:
                held.add(key)
        else:
            parts.append({})
            fresh.append(position)
    read = _side_by_side(lambda position: _read_part(files[position], layout), fresh)
    for position, (part, dates, summary) in zip(fresh, read):  # the first bad file raises
        parts[position], file_dates[keys[position]] = part, dates
        summaries[keys[position]] = summary
        held.add(keys[position])
    ranges = [(int(d[0]), int(d[-1])) for d in file_dates.values() if d.size]
    if old is not None and (
        any(set(p) != set(parts[0]) for p in parts)  # columns changed
        or (len(held) < len(keys) and _overlapping(ranges))  # duplicates need every row
    ):
        return _reread(files, layout, stamp, None, whole=True)
    if not whole:
        held = _shrunk_parts(keys, parts, file_dates, held)
    return _read_of(files, keys, parts, stamp, file_dates, held, summaries)


def _read_of(
    files: list[Path],
    keys: Sequence[_Key],
    parts: list[dict[str, np.ndarray]],
    stamp: tuple[_Key, ...],
    file_dates: dict[_Key, np.ndarray],
    held: set[_Key] | frozenset[_Key],
    summaries: dict[_Key, _FileSummary],
) -> _Read:
    ranges = [(int(d[0]), int(d[-1])) for d in file_dates.values() if d.size]
    bars = _join(files, parts, ranges)
    stops = [start for _, start in bars.origin[1:]] + [bars.date.size]
    return _Read(
        stamp=stamp,
        bars=bars,
        spans={key: (start, stop) for key, (_, start), stop in zip(keys, bars.origin, stops)},
        file_dates=file_dates,
        whole=frozenset(held),
        dates=np.unique(np.concatenate(list(file_dates.values()))),
        summaries=summaries,
    )


def _shrunk_parts(
    keys: Sequence[_Key],
    parts: list[dict[str, np.ndarray]],
    file_dates: dict[_Key, np.ndarray],
    held: set[_Key] | frozenset[_Key],
) -> set[_Key]:
    """Replaces each part held whole of a file before the newest by its seed rows, when
    the files' date ranges do not overlap (a file a year): what a window from the newest
    file's first day needs. Text industries are numbered over every row: those keep every
    row. Returns the files still held whole."""
    dated = {key: d for key, d in file_dates.items() if d.size}
    ranges = [(int(d[0]), int(d[-1])) for d in dated.values()]
    text = "industry" in parts[0] and any(p["industry"].dtype == object for p in parts)
    if len(dated) < 2 or text or _overlapping(ranges):
        return set(held)
    low = max(int(d[0]) for d in dated.values())
    kept = {key for key in held if key not in dated or dated[key][0] >= low}
    older = [position for position, key in enumerate(keys) if key in held and key not in kept]

    def seeds(part: dict[str, np.ndarray]) -> dict[str, np.ndarray]:
        rows = _seed_rows(part["code"], part["date"], part)
        return {name: values[rows] for name, values in part.items()}

    for position, part in zip(older, _side_by_side(seeds, [parts[p] for p in older])):
        parts[position] = part
    return kept


def _side_by_side(function: Callable[[Any], Any], items: list[Any]) -> Iterator[Any]:
    """``function`` of each item, in the items' order, on as many threads as cores:
    reading, decoding and most array work on a file's rows let go of the interpreter. An
    error is raised for the first failing item in order."""
    with ThreadPoolExecutor(max_workers=min(len(items), os.cpu_count() or 1) or 1) as pool:
        yield from pool.map(function, items)


def _shrunk(read: _Read) -> _Read:
    """``read`` holding of every file but the newest only the rows a window from the
    newest file's first day needs (see ``_shrunk_parts``)."""
    keys = list(read.spans)
    parts = [_part_of(read.bars, *read.spans[key]) for key in keys]
    held = _shrunk_parts(keys, parts, read.file_dates, read.whole)
    if held == read.whole:
        return read  # holds no more than that already
    files = [Path(key[0]) for key in keys]
    return _read_of(files, keys, parts, read.stamp, read.file_dates, held, read.summaries)


def _part_of(bars: _Bars, start: int, stop: int) -> dict[str, np.ndarray]:
    part = {"date": bars.date[start:stop], "code": bars.code[start:stop]}
    part["beijing"] = bars.beijing[start:stop]
    for columns in (bars.values, bars.flags):
        part.update({name: v[start:stop] for name, v in columns.items()})
    if bars.industry_text is not None:
        part["industry"] = bars.industry_text[start:stop]
    return part


class FileSource(MarketClient):
    """SDK data client over a folder of the user's market data files (see the module text).

    Args:
        root: the folder.
        columns: mapping of the files' column names to the names above, for example
            ``{"trade_date": "date", "ts_code": "code", "vol": "volume"}``.
        vendor: a vendor's layout and units (``lumora.sources.vendors``), "tushare",
            "akshare" or "baostock"; ``columns`` and ``units`` override it.
        units: the units of ``volume`` ("shares" or "lots") and ``amount`` ("yuan",
            "thousand_yuan" or "ten_thousand_yuan"); shares and yuan unless given.

    The files are read and checked at construction (bad files raise ``FileSourceError``)
    and again whenever one of them changed, so later preparations see days appended.
    """

    def __init__(
        self,
        root: str | os.PathLike[str],
        *,
        columns: Mapping[str, str] | None = None,
        vendor: str | None = None,
        units: Mapping[str, str] | None = None,
    ) -> None:
        self.root = Path(root).expanduser().resolve()
        if not self.root.is_dir():
            raise FileSourceError(f"market data folder not found: {self.root}")
        self.layout = layout_of(vendor, columns, units)
        self.columns = dict(self.layout.columns)
        self._read: _Read | None = None
        self._fingerprinted: tuple[_Read, dict[str, Any]] | None = None
        self._indices: tuple[dict[str, pd.Series], dict[str, tuple[np.ndarray, np.ndarray]]]
        # The derived market: the whole history and the last window asked for.
        self._derived: dict[object, MarketHistory] = {}
        # Factors of the whole history handed over as tables and no longer held.
        self._handed: set[str] = set()
        self._bars()

    def __repr__(self) -> str:
        return f"FileSource({str(self.root)!r})"

    def source_identity(self) -> dict[str, str | int]:
        """What the prepared data was built from (recorded by the store)."""
        return {"kind": "files", "root": str(self.root)}

    @property
    def start(self) -> str:
        return str(self._bars().dates[0])

    def fingerprint(self) -> dict[str, Any]:
        """What the files hold now, in a few numbers a store records: a content hash of
        every date (over every file) and each stock's last date with a row."""
        read = self._bars()
        if self._fingerprinted is not None and self._fingerprinted[0] is read:
            return self._fingerprinted[1]
        days: dict[int, float] = {}
        for key in read.spans:  # files in their order, so a date's sum is always the same
            hashes = read.summaries[key].hashes.tolist()
            for day, value in zip(read.file_dates[key].tolist(), hashes):
                days[day] = days.get(day, 0.0) + value
        # Older files are held by their seed rows, among them each stock's last row.
        last = pd.Series(read.bars.date).groupby(read.bars.code).max()
        found = {
            "dates": list(days),
            "hashes": list(days.values()),
            "codes": last.index.tolist(),
            "last": last.tolist(),
        }
        self._fingerprinted = (read, found)  # asked twice a preparation, for the same read
        return found

    def update_plan(self, recorded: dict[str, Any]) -> tuple[str, str | None, str]:
        """How to bring a store built from ``recorded`` (a ``fingerprint``) to the files as
        they are: ``("tail", None, "")`` when only days were added after its end, ``("from",
        date, reason)`` when older rows changed or a stock suspended at its end resumed
        (their derived days change from there), ``("full", None, reason)`` when dates or
        stocks left the files (a tail update never removes them)."""
        try:
            old_days = dict(zip(recorded["dates"], recorded["hashes"], strict=True))
            old_last = dict(zip(recorded["codes"], recorded["last"], strict=True))
        except (KeyError, TypeError, ValueError):
            return "full", None, "the store's record of the files is unreadable"
        now = self.fingerprint()
        new_days = dict(zip(now["dates"], now["hashes"]))
        new_last = dict(zip(now["codes"], now["last"]))
        gone = sorted(set(old_days) - set(new_days))
        if gone:
            return "full", None, f"{len(gone)} dates left the files (the first {gone[0]})"
        left = sorted(set(old_last) - set(new_last))
        if left:
            return "full", None, f"{len(left)} stocks left the files (the first {left[0]:06d})"
        if not old_days:
            return "tail", None, ""
        end = max(old_days)
        changed = [d for d, h in new_days.items() if d <= end and old_days.get(d) != h]
        calendar = np.array(sorted(new_days))
        resumed = [
            int(calendar[np.searchsorted(calendar, last, side="right")])
            for code, last in old_last.items()
            if last < end and new_last[code] > last
        ]
        reasons = []
        if changed:
            reasons.append(
                f"rows of {len(changed)} stored dates changed (the first {min(changed)})"
            )
        if resumed:
            reasons.append(f"{len(resumed)} stocks suspended at the store's end traded again")
        if not reasons:
            return "tail", None, ""
        start = min(changed + resumed)
        share = sum(1 for day in old_days if day >= start) / len(old_days)
        if share > _REWRITE_SHARE:
            reasons.append(f"rewriting {share:.0%} of the stored dates costs more than a build")
            return "full", None, "; ".join(reasons)
        return "from", str(start), "; ".join(reasons)

    def today(self) -> str:
        """The last date of the files."""
        return str(self._bars().dates[-1])

    def trading_dates(self) -> list[str]:
        return [str(d) for d in self._bars().dates]

    def _files(self) -> dict[str, list[Path]]:
        files = {table: _files_of(self.root, table) for table in _TABLES}
        if not files["bars"]:
            raise FileSourceError(
                f"{self.root}: no bars.parquet, bars.csv or bars/ folder of daily bars"
            )
        return files

    def _bars(self, low: int | None | bool = False) -> _Read:
        """The bars as the files hold them now; a file unchanged since the last look
        (path, size and modification time) is not parsed again. ``low``: the rows from
        that date on (None: every row) must be held; False: as held.

        Between derivations the source holds the newest file whole and of the older files
        only the rows a window from the newest file's first day needs: a tail update needs
        no more, and a whole history is read again when it is derived (rarely)."""
        files = self._files()
        stamp = _fingerprint([p for table in _TABLES for p in files[table]])
        read = self._read
        if read is None or read.stamp != stamp:
            self._read = None  # a failed read leaves nothing half-updated behind
            self._derived.clear()
            # Index files are small: read and checked with the bars, kept beside them.
            self._indices = (
                _index_series(files["index_daily"], self.columns),
                _member_rows(files["index_members"], self.columns),
            )
            read = self._read = _reread(files["bars"], self.layout, stamp, read, whole=False)
        if low is not False and not read.holds(low):
            self._read = None
            read = self._read = _reread(files["bars"], self.layout, stamp, read, whole=True)
        return read

    def _history(self) -> tuple[MarketHistory, int]:
        return self._history_from(None)

    def _whole(self, start_date: object, names: Iterable[str]) -> bool:
        """Whether a query from ``start_date`` reads the whole history; the history is
        derived again when it asks for a factor handed over before."""
        low = normalize_yyyymmdd(start_date)
        whole = low is None or int(low) <= self._bars().dates[0]
        if whole and self._handed.intersection(names):
            self._derived.pop(None, None)
            self._handed.clear()
        return whole

    def get_factors(
        self, factor: str | Iterable[str], start_date: object = None, end_date: object = None
    ) -> pd.DataFrame:
        self._whole(start_date, name_list(factor, "factor"))
        return super().get_factors(factor, start_date, end_date)

    def get_factor_matrix(
        self, factor: str, start_date: object = None, end_date: object = None
    ) -> pd.DataFrame | None:
        """As the sandbox's; a table of the whole history is handed over: the source
        stops holding it (a full build reads each factor once, and the builder keeps
        its own copy), so the two do not sit in memory side by side."""
        name = name_list(factor, "factor")[0]
        whole = self._whole(start_date, [name])
        table = super().get_factor_matrix(factor, start_date, end_date)
        history = self._derived.get(None)
        if whole and history is not None and history.factors.pop(name, None) is not None:
            self._handed.add(name)
        return table

    def _history_from(self, low: str | None) -> tuple[MarketHistory, int]:
        """The whole history, or from ``low`` on derived from the rows that window needs
        (a tail update does not derive the years before it again)."""
        read = self._bars()
        window = low is not None and int(low) > read.dates[0]
        key = int(low) if window else None  # type: ignore[arg-type]
        if key not in self._derived:
            read = self._bars(key)
            if window:
                self._derived.pop(next((k for k in self._derived if k is not None), 0), None)
                bars, consume = window_bars(read.bars, key), True  # type: ignore[arg-type]
                self._read = _shrunk(read)
            else:
                # The source goes back to holding only what later windows need, and the
                # other rows leave as they become tables.
                self._read = _shrunk(read)
                bars, consume = read.bars, self._read is not read
            del read
            self._derived[key] = self._load(bars, self._files(), consume=consume)
            del bars
        history = self._derived[key]
        return history, len(history.dates)

    def _load(self, bars: _Bars, files: dict[str, list[Path]], *, consume: bool) -> MarketHistory:
        started = _dt.datetime.now()
        read = self._bars()
        market = derive_market(bars, consume=consume, history=(*read.listing(), read.dates))
        del bars
        series, members = self._indices
        made = {
            name: functools.partial(
                _membership,
                members.get(short),
                market.dates.astype(np.int64),
                market.codes.astype(np.int64),
                market.listed,
            )
            for short, name in _COMPONENTS.items()
        }
        index_daily = _index_daily(series, market.dates)
        given = index_daily.groupby("ukey")["daily_return"].count()
        missing = [short for short, code in _BENCHMARKS.items() if not given.get(code, 0)]
        if missing:
            _logged_once("no index series for benchmark(s) %s", ", ".join(missing))
        logger.debug(
            "file source: %d stocks x %d days read in %.1fs",
            market.codes.size,
            market.dates.size,
            (_dt.datetime.now() - started).total_seconds(),
        )
        return MarketHistory(
            dates=market.dates,
            stamps=pd.to_datetime(market.dates, format="%Y%m%d").to_numpy(dtype="datetime64[ns]"),
            codes=market.codes,
            ukeys=market.codes,
            factors=_Factors(market.factors, made),
            index_daily=index_daily,
        )
