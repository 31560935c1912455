"""The bars table: the checked rows of each bars file as plain arrays (``read_part``), the
rows of every file joined (``Bars``), the rows a window of days needs, and the grid that
puts rows into date x stock cells."""

from __future__ import annotations

import ctypes
import functools
import itertools
import os
import threading
from collections.abc import Callable, Mapping
from dataclasses import dataclass
from pathlib import Path
from typing import cast

import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.parquet as pq

from lumora.backtest._prepare import day_hash_sums, first_rows, grid_cells
from lumora.backtest._prepare import seed_rows as native_seed_rows
from lumora.sources.files.checks import (
    FileSourceError,
    check_derived_price,
    check_unique_cells,
    check_values,
    require,
)
from lumora.sources.files.columns import (
    BAR_COLUMNS,
    FLAG_COLUMNS,
    OPTIONAL_BAR_COLUMNS,
    REQUIRED_BAR_COLUMNS,
    in_shares_and_yuan,
)
from lumora.sources.files.per_stock import Adjustments
from lumora.sources.files.reading import (
    code_and_board,
    date_number,
    flag_column,
    numeric_column,
    parse_column,
    read_columns,
    short_csv_line,
)
from lumora.sources.vendors import Layout

__all__ = [
    "LISTING_DAYS",
    "Bars",
    "FileSummary",
    "Grid",
    "RowSlots",
    "Slot",
    "dense_unique",
    "file_summary",
    "join_parts",
    "overlapping",
    "part_of",
    "read_part",
    "seed_rows",
    "untraded_rows",
    "window_bars",
]

# The most trading days after a listing without a limit (listings under the registration rules).
LISTING_DAYS = 5


@dataclass
class Bars:
    """The rows of every bars file, checked, as plain arrays."""

    date: np.ndarray
    code: np.ndarray
    beijing: np.ndarray
    values: dict[str, np.ndarray]  # float64 columns
    flags: dict[str, np.ndarray]  # bool columns
    industry: np.ndarray | None  # numbers (see _industry_numbers)
    origin: list[tuple[Path, int]]  # file and first row position in the concatenation
    industry_text: np.ndarray | None = None  # the column as the files give it


@dataclass(frozen=True)
class FileSummary:
    """What a bars file says in a few numbers, kept while the file is held only in part: a
    content hash of each of its dates and each stock's first date in it."""

    hashes: np.ndarray  # per distinct date of the file (see _day_hashes)
    codes: np.ndarray  # the file's stocks
    first: np.ndarray  # each one's first date in the file


def file_summary(
    part: Mapping[str, np.ndarray],
    day: np.ndarray,
    n_days: int,
    stock: np.ndarray | None = None,
    first_row: np.ndarray | None = None,
) -> FileSummary:
    """The summary of a file's rows (``day``: each row's position among its dates; each
    stock's rows in date order; ``stock``: each row's position among its stocks, and
    ``first_row``: each stock's first row, when known)."""
    if stock is None:
        codes, stock = np.unique(part["code"], return_inverse=True)
    else:
        codes = np.zeros(int(stock.max(initial=-1)) + 1, dtype=part["code"].dtype)
        codes[stock] = part["code"]
    if first_row is None or first_row.size != codes.size:
        first_row = np.empty(codes.size, dtype=np.int64)
        first_row[stock[::-1]] = np.arange(stock.size - 1, -1, -1)  # the first row wins
    return FileSummary(
        hashes=_day_hashes(part, day, n_days),
        codes=codes.astype(np.int32),
        first=part["date"][first_row].astype(np.int32),
    )


def _day_hashes(part: Mapping[str, np.ndarray], day: np.ndarray, n_days: int) -> np.ndarray:
    """A number per date of a file that changes whenever any of that date's rows does
    (a value restated, a row added or removed): each row's columns hashed together (the
    code, then the other columns but the date by name), the rows of a date summed.
    Recorded with the store, they tell an update which dates of a file changed since the
    store was built; the numbers are those of pandas' ``hash_array`` summed with
    ``numpy.bincount``, made in one pass (``_prepare.day_hash_sums``)."""
    names = sorted(name for name in part if name not in ("date", "code"))
    columns = [_hashable(part["code"]), *(_hashable(part[name]) for name in names)]
    sums: np.ndarray = day_hash_sums(columns, day.astype(np.int64, copy=False), n_days)
    return sums


def _hashable(values: np.ndarray) -> np.ndarray:
    """A column as ``day_hash_sums`` hashes it: as it is where it hashes the type itself,
    else (text, other widths) as pandas' hash of each value."""
    if values.dtype in _HASHED_AS_IS:
        return values
    hashed: np.ndarray = pd.util.hash_array(values)
    return hashed


_HASHED_AS_IS = frozenset(np.dtype(t) for t in (np.float64, np.int64, np.int32, np.bool_))


class RowSlots:
    """The columns of several files' rows side by side: one array per column for the rows
    of every file, each file's rows a slice of it, so that a file's columns are written
    once where the joined table keeps them (not into arrays of the file's own, joined by a
    copy). The row counts are the files' own words (a parquet footer); a file read with
    another count, or a column of another type, gets arrays of its own. The arrays are
    made when a file first asks for the column, from any of the reading threads."""

    def __init__(self, counts: list[int]) -> None:
        self.starts = np.concatenate([[0], np.cumsum(counts, dtype=np.int64)]).tolist()
        self._arrays: dict[str, np.ndarray] = {}
        self._handed: dict[tuple[int, str], np.ndarray] = {}
        self._lock = threading.Lock()

    @classmethod
    def of_parquet(cls, files: list[Path]) -> RowSlots | None:
        """Slots for the rows of parquet files by their footers; None for other files, or
        when a footer cannot be read (the file's own read then says why)."""
        if not files or any(path.suffix.lower() != ".parquet" for path in files):
            return None
        try:
            return cls([pq.read_metadata(path).num_rows for path in files])
        except (OSError, ValueError):  # pyarrow's errors derive from these
            return None

    def array(self, position: int, name: str, size: int, dtype: np.dtype) -> np.ndarray:
        """The slice for file ``position``'s column ``name``, or an array of its own."""
        start, stop = self.starts[position], self.starts[position + 1]
        if stop - start != size:
            return np.empty(size, dtype=dtype)
        with self._lock:
            whole = self._arrays.get(name)
            if whole is None:
                whole = self._arrays[name] = np.empty(self.starts[-1], dtype=dtype)
            if whole.dtype != dtype:
                return np.empty(size, dtype=dtype)
            view = self._handed[position, name] = whole[start:stop]
        return view

    def joined(self, name: str, arrays: list[np.ndarray]) -> np.ndarray | None:
        """The array of column ``name`` for every file's rows when ``arrays`` (one per
        file, in order) are the very slices handed out for it, each kept as written;
        else None."""
        whole = self._arrays.get(name)
        if whole is None or len(arrays) != len(self.starts) - 1:
            return None
        for position, given in enumerate(arrays):
            if self._handed.get((position, name)) is not given:
                return None
        return whole


@dataclass(frozen=True)
class Slot:
    """Where one file's columns go (see ``RowSlots``); without slots, arrays of its own."""

    rows: RowSlots | None = None
    position: int = 0

    def array(self, name: str, size: int, dtype: type | np.dtype) -> np.ndarray:
        if self.rows is None:
            return np.empty(size, dtype=dtype)
        return self.rows.array(self.position, name, size, np.dtype(dtype))


def read_part(
    path: Path, layout: Layout, adjustments: Adjustments | None = None, slot: Slot = Slot()
) -> tuple[dict[str, np.ndarray], np.ndarray, FileSummary]:
    """The checked rows of one bars file as plain arrays by column name (volume in shares,
    amount in yuan), in date order (a file downloaded newest first is read as well), with
    the factors of the adjustment-factor table joined; the file's distinct dates and its
    summary. The columns are written where ``slot`` puts them."""
    if path.suffix.lower() == ".csv":
        line = short_csv_line(path)
        if line is not None:
            raise FileSourceError(
                f"{path}: line {line} has fewer fields than the header (cut short?)"
            )
    frame = read_columns(path, layout.columns, BAR_COLUMNS)
    # One file per stock, named by its code.
    if "code" not in frame and "date" in frame and code_and_board(path.stem) is not None:
        frame = dict(frame)
        frame["code"] = pd.Series([path.stem] * len(frame["date"]), dtype=object)
    require(frame, path, REQUIRED_BAR_COLUMNS)
    if len(frame["date"]) == 0:
        raise FileSourceError(f"{path}: the file has no rows")
    date_of, date_values = parse_column(frame["date"], "date", path, date_number, "a date")
    code_of, code_values = parse_column(frame["code"], "code", path, _known_code, "a stock code")
    dates, date_position = np.unique(np.array(date_values, dtype=np.int32), return_inverse=True)
    numbers = np.array([number for number, _ in code_values], dtype=np.int32)
    codes, code_position = np.unique(numbers, return_inverse=True)
    boards = np.array([board for _, board in code_values], dtype=bool)
    rows = len(date_of)
    part: dict[str, np.ndarray] = {
        # Gathered straight into place ("clip": the positions are valid, and numpy buffers
        # the output of a checked take).
        "date": np.take(
            dates[date_position], date_of, out=slot.array("date", rows, np.int32), mode="clip"
        ),
        "code": np.take(numbers, code_of, out=slot.array("code", rows, np.int32), mode="clip"),
        "beijing": np.take(boards, code_of, out=slot.array("beijing", rows, bool), mode="clip"),
    }
    day_of_rows, stock_of_rows = date_position[date_of], code_position[code_of]
    del date_of, code_of
    # Two rows of one cell are refused; each stock's first row is found in the same pass.
    repeated, found = first_rows(day_of_rows, stock_of_rows, dates.size, codes.size)
    first_row: np.ndarray | None = found
    if repeated:  # named as the rows of the whole table are
        cell = day_of_rows.astype(np.int64) * max(codes.size, 1) + stock_of_rows
        check_unique_cells(cell, part["date"], part["code"], [(path, 0)])
    for name in ("open", "close", "volume", *OPTIONAL_BAR_COLUMNS):
        if name not in frame or name in FLAG_COLUMNS or name == "industry":
            continue
        part[name] = numeric_column(frame[name], name, path, out=slot.array(name, rows, np.float64))
    in_shares_and_yuan(part, layout)
    check_values(part, path)
    check_derived_price(part, path, layout)
    for name in ("is_suspended", "is_st"):
        if name in frame:
            part[name] = flag_column(frame[name], name, path)
    if "is_trading" in frame:  # a vendor's trading status: suspended where it is 0
        halted = ~flag_column(frame["is_trading"], "is_trading", path)
        part["is_suspended"] = part["is_suspended"] | halted if "is_suspended" in part else halted
    if "industry" in frame:
        industry = frame["industry"]
        part["industry"] = (
            industry.to_numpy(zero_copy_only=False)
            if isinstance(industry, pa.ChunkedArray)
            else industry.to_numpy()
        )
    if adjustments is not None:
        if "adj_factor" in part:
            raise FileSourceError(
                f"{path}: column 'adj_factor' is given here and in the adj_factor table; give "
                "the factors in one place"
            )
        part["adj_factor"] = adjustments.lookup(part["date"], part["code"])
    if not _forward(part["date"], part["code"]):
        # Each stock's days go forward, as the derivation reads them.
        order = np.argsort(part["date"], kind="stable")
        part = {name: values[order] for name, values in part.items()}
        day_of_rows, stock_of_rows = day_of_rows[order], stock_of_rows[order]
        first_row = None  # rows moved
    return part, dates, file_summary(part, day_of_rows, dates.size, stock_of_rows, first_row)


# The files of a table name the same stocks again and again (a file a year): each code as
# the files write it is parsed once (by type as well: True is no code, 1 is).
_known_code = functools.lru_cache(maxsize=1 << 16, typed=True)(code_and_board)


def _forward(date: np.ndarray, code: np.ndarray) -> bool:
    """Whether the rows are in date order, or in code order with each stock's dates in
    order (the two ways files are written)."""
    if date.size < 2 or (date[1:] >= date[:-1]).all():
        return True
    step = code[1:] - code[:-1]
    return bool(((step > 0) | ((step == 0) & (date[1:] > date[:-1]))).all())


def overlapping(ranges: list[tuple[int, int]]) -> bool:
    """Whether any two of the (first, last) date ranges share a date."""
    ordered = sorted(ranges)
    return any(b[0] <= a[1] for a, b in itertools.pairwise(ordered))


def join_parts(
    files: list[Path],
    parts: list[dict[str, np.ndarray]],
    ranges: list[tuple[int, int]],
    slots: RowSlots | None = None,
) -> Bars:
    """One table of the rows of every file (the parts are emptied on the way); ``ranges``:
    the first and last date of each file; ``slots``: where the parts' columns were read
    to, joined already where each file's column is still its slice there."""
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
        arrays = [p.pop(name) for p in parts]
        whole = None if slots is None else slots.joined(name, arrays)
        if whole is not None:
            return whole
        out = np.concatenate(arrays)
        del arrays
        _release_freed_memory()
        return out

    flags: dict[str, np.ndarray] = {
        name: joined(name) for name in ("is_suspended", "is_st") if name in names
    }
    industry_text = joined("industry") if "industry" in names else None
    bars = Bars(
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
    if overlapping(ranges):  # files with disjoint date ranges cannot share a (date, code)
        _check_unique(bars.date, bars.code, origin)
    return bars


def _malloc_trim() -> Callable[[int], int] | None:
    """The C library's call that hands the free pages of its heap back to the system
    (glibc's ``malloc_trim(size_t pad)``); None where there is none."""
    if os.name != "posix":
        return None
    trim = getattr(ctypes.CDLL(None), "malloc_trim", None)
    if trim is not None:
        trim.argtypes, trim.restype = [ctypes.c_size_t], ctypes.c_int
    return cast("Callable[[int], int] | None", trim)


_MALLOC_TRIM = _malloc_trim()


def _release_freed_memory() -> None:
    """Hands the memory of the files' columns, freed as they are joined, back to the system:
    the allocators keep freed memory for reuse unless told (arrow's its buffers', the C
    library's the pages of a file's columns in the middle of its heap), and the rows would
    stay in memory twice."""
    pa.default_memory_pool().release_unused()
    if _MALLOC_TRIM is not None:
        _MALLOC_TRIM(0)


def _industry_numbers(raw: np.ndarray) -> np.ndarray:
    """Industry codes as numbers; text industries are numbered from 1 in sorted order."""
    try:
        return pd.to_numeric(pd.Series(raw)).to_numpy(dtype=np.float64, na_value=np.nan)
    except (ValueError, TypeError):
        codes, _ = pd.factorize(pd.Series(raw).astype("string"), sort=True)
        return np.where(codes >= 0, codes + 1.0, np.nan)


def _check_unique(date: np.ndarray, code: np.ndarray, origin: list[tuple[Path, int]]) -> None:
    _, date_pos = dense_unique(date)
    codes, code_pos = dense_unique(code)
    cell = date_pos.astype(np.int64) * max(codes.size, 1) + code_pos
    check_unique_cells(cell, date, code, origin)


def _subset(bars: Bars, rows: np.ndarray) -> Bars:
    return Bars(
        date=bars.date[rows],
        code=bars.code[rows],
        beijing=bars.beijing[rows],
        values={name: v[rows] for name, v in bars.values.items()},
        flags={name: v[rows] for name, v in bars.flags.items()},
        industry=None if bars.industry is None else bars.industry[rows],
        origin=[],
        industry_text=None if bars.industry_text is None else bars.industry_text[rows],
    )


def window_bars(bars: Bars, low: int) -> Bars:
    """The rows a derivation from date ``low`` on needs (see ``_window_rows``)."""
    return _subset(bars, _window_rows(bars, low))


def _window_rows(bars: Bars, low: int) -> np.ndarray:
    """The rows a derivation from date ``low`` on needs: every row on or after it and the
    seed rows (see ``seed_rows``) of the rows before it."""
    date = bars.date
    earlier: slice | np.ndarray
    if (date[1:] >= date[:-1]).all():  # files a year, each sorted by date
        count = int(np.searchsorted(date, low))
        earlier, later = slice(0, count), np.arange(count, date.size)  # views, not copies
        first = np.arange(count)
    else:
        by_date = np.argsort(date, kind="stable")
        count = int(np.searchsorted(date[by_date], low))
        earlier, later = by_date[:count], by_date[count:]
        first = earlier
    columns = {name: v[earlier] for name, v in (*bars.values.items(), *bars.flags.items())}
    if bars.industry is not None:
        columns["industry"] = bars.industry[earlier]
    seeds = first[seed_rows(bars.code[earlier], bars.date[earlier], columns)]
    # The two are disjoint: sorted, not de-duplicated (numpy's hash-based unique took
    # seconds on a year of rows).
    rows = np.concatenate([seeds, later])
    rows.sort()
    return rows


def seed_rows(
    code: np.ndarray,
    date: np.ndarray,
    columns: Mapping[str, np.ndarray],
    distinct: np.ndarray | None = None,
) -> np.ndarray:
    """Of rows in date order per stock, those a derivation of later days needs: each
    stock's last row, last one with a close, last traded one, last traded one with an
    adjustment factor and last one with an industry, so that carried closes, factors and
    industries, listing and previous closes come out as in the whole history; and every
    row of the last ``LISTING_DAYS - 1`` dates with each stock's last row before them, so
    that the days after a listing without a limit count as in the whole history (see
    ``derive``). ``distinct``: the rows' distinct dates, when known."""
    if distinct is None:
        distinct = dense_unique(date)[0]
    recent_from = distinct[-(LISTING_DAYS - 1) :].min(initial=np.iinfo(np.int32).max)
    optional = {
        name: np.asarray(columns[name], dtype=np.float64)
        for name in ("adj_factor", "industry")
        if name in columns
    }
    rows: np.ndarray = native_seed_rows(
        code.astype(np.int32, copy=False),
        date.astype(np.int32, copy=False),
        columns["close"],
        columns["volume"],
        int(recent_from),
        is_suspended=columns.get("is_suspended"),
        **optional,
    )
    return rows


def untraded_rows(bars: Bars) -> np.ndarray:
    """Rows without trading (see ``_halted_rows``)."""
    return _halted_rows({**bars.values, **bars.flags})


def _halted_rows(columns: Mapping[str, np.ndarray]) -> np.ndarray:
    """Rows without trading: zero volume, no close or marked suspended."""
    halted = ~(columns["volume"] > 0) | np.isnan(columns["close"])  # no volume: no trade
    if "is_suspended" in columns:
        halted |= columns["is_suspended"]
    rows: np.ndarray = halted
    return rows


def dense_unique(values: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Sorted distinct values and each value's position among them, by a lookup table
    over the values' range (dates as YYYYMMDD and six-digit codes have small ranges)."""
    if values.size == 0:
        return values[:0], np.zeros(0, dtype=np.int64)
    low = int(values.min())
    offset = values - low
    seen = np.zeros(int(values.max()) - low + 1, dtype=bool)
    seen[offset] = True
    distinct = np.flatnonzero(seen)
    # Half the bytes to gather when the positions fit (they always do for days and stocks).
    kind = np.int32 if distinct.size < np.iinfo(np.int32).max else np.int64
    position = np.zeros(seen.size, dtype=kind)
    position[distinct] = np.arange(distinct.size, dtype=kind)
    return (distinct + low).astype(values.dtype), position[offset]


class Grid:
    """Puts row values into date x stock cells (one row a cell: see _check_unique)."""

    def __init__(self, bars: Bars) -> None:
        # In one pass over the rows (the rows' dates and codes are int32 numbers); each
        # stock's first and last row are the positions of its first and last date.
        self.dates, self.codes, self.cell, self.beijing, self.first, self.last = grid_cells(
            bars.date, bars.code, bars.beijing
        )
        self.shape = (self.dates.size, self.codes.size)

    def matrix(self, values: np.ndarray, fill: float = np.nan) -> np.ndarray:
        out = np.full(self.shape, fill)
        out.reshape(-1)[self.cell] = values
        return out

    def mask(self, values: np.ndarray) -> np.ndarray:
        out = np.zeros(self.shape, dtype=bool)
        out.reshape(-1)[self.cell] = values
        return out


def part_of(bars: Bars, start: int, stop: int) -> dict[str, np.ndarray]:
    """The rows [start, stop) of ``bars`` as the part of one file (see ``read_part``)."""
    part = {"date": bars.date[start:stop], "code": bars.code[start:stop]}
    part["beijing"] = bars.beijing[start:stop]
    for columns in (bars.values, bars.flags):
        part.update({name: v[start:stop] for name, v in columns.items()})
    if bars.industry_text is not None:
        part["industry"] = bars.industry_text[start:stop]
    return part
