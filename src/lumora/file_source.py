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
import itertools
import os
import re
from collections.abc import Iterable, Mapping
from dataclasses import dataclass
from pathlib import Path

import numpy as np
import pandas as pd

from lumora.backtest._store import normalize_yyyymmdd
from lumora.exceptions import KestrelError
from lumora.logger import logger
from lumora.sandbox_service import MarketClient, _History, _names

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
)
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
_SPECIAL_TREATMENT_LIMIT = 0.05
# Prices are quoted in cents: an execution price this close to a limit price is that price.
_PRICE_TOLERANCE = 5e-7
_CODE_TEXT = re.compile(
    r"^\s*(?:(?P<suffixed>\d{6})\.(?P<suffix>[A-Za-z]+)"
    r"|(?P<prefix>[A-Za-z]{2})\.?(?P<prefixed>\d{6})"
    r"|(?P<bare>\d{1,6})(?:\.0+)?)\s*$"
)
_BEIJING_MARKS = frozenset({"BJ", "BSE", "XBSE", "BJSE"})


class FileSourceError(KestrelError, ValueError):
    """A file of the user's market data cannot be used; the message names file and place."""


# --------------------------------------------------------------------------- reading files


def _files_of(root: Path, table: str) -> list[Path]:
    folder = root / table
    if folder.is_dir():
        found = sorted(p for p in folder.iterdir() if p.suffix.lower() in _SUFFIXES)
        if not found:
            raise FileSourceError(f"{folder}: no .parquet or .csv files in the folder")
        return found
    return [root / (table + suffix) for suffix in _SUFFIXES if (root / (table + suffix)).is_file()]


def _read_file(path: Path, columns: Mapping[str, str]) -> pd.DataFrame:
    try:
        if path.suffix.lower() == ".parquet":
            import pyarrow.parquet as pq

            frame = pq.read_table(path).to_pandas()
        else:
            # pandas' C reader beat pyarrow's on 12 million rows (bench_file_source.py).
            # Codes stay text so that "000001" keeps its zeros.
            frame = pd.read_csv(path, dtype={name: str for name in _code_column_names(columns)})
    except (OSError, ValueError) as exc:  # pyarrow's and pandas' errors derive from these
        raise FileSourceError(f"{path}: cannot read the file: {exc}") from exc
    return frame.rename(columns={k: v for k, v in columns.items() if k in frame.columns})


def _code_column_names(columns: Mapping[str, str]) -> list[str]:
    names = {"code", "index_code"}
    names.update(user for user, ours in columns.items() if ours in ("code", "index_code"))
    return sorted(names)


def _require(frame: pd.DataFrame, path: Path, names: tuple[str, ...]) -> None:
    for name in names:
        if name not in frame.columns:
            raise FileSourceError(f"{path}: missing required column {name!r}")


def _dates(column: pd.Series, path: Path) -> np.ndarray:
    """YYYYMMDD integers of a date column; an unparsable value names its row."""
    values = column.to_numpy()
    if np.issubdtype(values.dtype, np.datetime64):
        stamps = pd.DatetimeIndex(values)
        if stamps.hasnans:
            _bad_date(column, np.flatnonzero(stamps.isna())[0], path)
        return (stamps.year * 10000 + stamps.month * 100 + stamps.day).to_numpy(np.int32)
    codes, uniques = pd.factorize(column, use_na_sentinel=False)
    parsed = np.empty(len(uniques), dtype=np.int32)
    for pos, value in enumerate(uniques):
        try:
            text = normalize_yyyymmdd(value)
        except ValueError:
            text = None
        if text is None:
            _bad_date(column, int(np.flatnonzero(codes == pos)[0]), path)
        parsed[pos] = int(text)  # type: ignore[arg-type]
    return parsed[codes]


def _bad_date(column: pd.Series, row: int, path: Path) -> None:
    raise FileSourceError(
        f"{path}: row {row + 1}: cannot read a date from {column.iloc[row]!r} "
        f"(column {column.name!r})"
    )


@dataclass(frozen=True)
class _Codes:
    number: np.ndarray  # int32 six-digit code numbers per row
    beijing: np.ndarray  # bool per row: quoted on the Beijing exchange


def _codes(column: pd.Series, path: Path) -> _Codes:
    """The code number of each row from "000001.SZ", "000001.XSHE", "sz000001" or 1."""
    row_codes, uniques = pd.factorize(column, use_na_sentinel=False)
    numbers = np.empty(len(uniques), dtype=np.int32)
    beijing = np.zeros(len(uniques), dtype=bool)
    for pos, value in enumerate(uniques):
        number, mark = _code_of(value)
        if number is None:
            row = int(np.flatnonzero(row_codes == pos)[0])
            raise FileSourceError(
                f"{path}: row {row + 1}: cannot read a stock code from {value!r} "
                f"(column {column.name!r})"
            )
        numbers[pos] = number
        beijing[pos] = mark in _BEIJING_MARKS or _beijing_number(number)
    return _Codes(numbers[row_codes], beijing[row_codes])


def _code_of(value: object) -> tuple[int | None, str]:
    if isinstance(value, (int, np.integer)) and not isinstance(value, (bool, np.bool_)):
        return (int(value), "") if 0 < int(value) < 1_000_000 else (None, "")
    if isinstance(value, (float, np.floating)) and np.isfinite(value) and value == int(value):
        return _code_of(int(value))
    if not isinstance(value, str):
        return None, ""
    match = _CODE_TEXT.match(value)
    if match is None:
        return None, ""
    digits = match["suffixed"] or match["prefixed"] or match["bare"]
    mark = (match["suffix"] or match["prefix"] or "").upper()
    return int(digits), mark


def _beijing_number(number: int) -> bool:
    head = number // 100_000
    return head in (4, 8) or number // 10_000 == 92


def _limit_rate(number: np.ndarray, beijing: np.ndarray) -> np.ndarray:
    """The daily price limit of each stock's board."""
    prefix = number // 1000
    growth = ((prefix >= 300) & (prefix <= 301)) | ((prefix >= 688) & (prefix <= 689))
    return np.where(beijing, 0.30, np.where(growth, 0.20, 0.10))


def _numeric(frame: pd.DataFrame, name: str, path: Path) -> np.ndarray:
    try:
        return pd.to_numeric(frame[name]).to_numpy(dtype=np.float64, na_value=np.nan)
    except (ValueError, TypeError) as exc:
        raise FileSourceError(f"{path}: column {name!r} is not numeric: {exc}") from exc


def _flag(frame: pd.DataFrame, name: str, path: Path) -> np.ndarray:
    column = frame[name]
    if column.dtype == bool:
        return column.to_numpy()
    return np.nan_to_num(_numeric(frame, name, path), nan=0.0) != 0


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


def _read_part(path: Path, columns: Mapping[str, str]) -> dict[str, np.ndarray]:
    """The checked rows of one bars file as plain arrays by column name."""
    frame = _read_file(path, columns)
    _require(frame, path, REQUIRED_BAR_COLUMNS)
    date = _dates(frame["date"], path)
    codes = _codes(frame["code"], path)
    _check_forward(date, codes.number, path)
    part: dict[str, np.ndarray] = {"date": date, "code": codes.number, "beijing": codes.beijing}
    for name in ("open", "close", "volume", *OPTIONAL_BAR_COLUMNS):
        if name not in frame.columns or name in ("is_suspended", "is_st", "industry"):
            continue
        values = _numeric(frame, name, path)
        if name in _PRICE_COLUMNS:
            _check_positive(values, name, path)
        part[name] = values
    for name in ("is_suspended", "is_st"):
        if name in frame.columns:
            part[name] = _flag(frame, name, path)
    if "industry" in frame.columns:
        part["industry"] = frame["industry"].to_numpy()
    _check_unique(part["date"], part["code"], [(path, 0)])
    return part


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
        missing = sorted(set(part) - names)
        if missing:
            logger.info("file source: %s leaves out %s in other files; not used", path, missing)
    origin, at = [], 0
    for path, part in zip(files, parts):
        origin.append((path, at))
        at += len(part["date"])

    def joined(name: str) -> np.ndarray:
        return np.concatenate([p.pop(name) for p in parts])

    flags = {name: joined(name) for name in ("is_suspended", "is_st") if name in names}
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
    cell = date_pos * max(codes.size, 1) + code_pos
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
    """The rows a derivation from date ``low`` on needs: every row on or after it and, of
    each stock, the last row before it, the last one with a close, the last traded one
    with an adjustment factor and the last one with an industry, so that carried closes,
    factors and industries, listing and previous closes come out as in the whole history.
    """
    by_date = np.argsort(bars.date, kind="stable")
    earlier = by_date[: int(np.searchsorted(bars.date[by_date], low))]
    carried = [None, ~np.isnan(bars.values["close"])]
    if "adj_factor" in bars.values:
        carried.append(~_halted(bars) & ~np.isnan(bars.values["adj_factor"]))
    if bars.industry is not None:
        carried.append(~np.isnan(bars.industry))
    seeds = []
    for mask in carried:
        rows = earlier if mask is None else earlier[mask[earlier]]
        last = np.full(int(bars.code.max(initial=0)) + 1, -1, dtype=np.int64)
        last[bars.code[rows]] = rows  # rows go by date: the latest row of a stock wins
        seeds.append(last[last >= 0])
    return np.union1d(np.concatenate(seeds), by_date[earlier.size :])


def _halted(bars: _Bars) -> np.ndarray:
    """Rows without trading: zero volume, no close or marked suspended."""
    halted = (bars.values["volume"] <= 0) | np.isnan(bars.values["close"])
    if "is_suspended" in bars.flags:
        halted |= bars.flags["is_suspended"]
    return halted


def _where(origin: list[tuple[Path, int]], position: int) -> str:
    for path, first in reversed(origin):
        if position >= first:
            return f"{path}: row {position - first + 1}"
    return f"row {position + 1}"


# --------------------------------------------------------------------------- derivation


def _ffill(values: np.ndarray) -> np.ndarray:
    """Each NaN cell takes the last value above it in its column (still NaN before any)."""
    return pd.DataFrame(values, copy=False).ffill().to_numpy()


def _previous_row(values: np.ndarray) -> np.ndarray:
    out = np.empty_like(values)
    out[0] = np.nan
    out[1:] = values[:-1]
    return out


def _round_cents(values: np.ndarray) -> np.ndarray:
    return np.round(values, 2)


@dataclass
class _Market:
    dates: np.ndarray  # YYYYMMDD text
    codes: np.ndarray  # six-digit text
    factors: dict[str, np.ndarray]


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
        self.dates, date_pos = _dense_unique(bars.date)
        self.codes, code_pos = _dense_unique(bars.code)
        self.shape = (self.dates.size, self.codes.size)
        self.cell = date_pos.astype(np.int64) * self.codes.size + code_pos
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


def _execution_prices(bars: _Bars, grid: _Grid) -> tuple[np.ndarray, np.ndarray]:
    values = bars.values
    if "vwap" in values:
        common, how = values["vwap"], "vwap"
    elif "amount" in values:
        volume = values["volume"]
        with np.errstate(divide="ignore", invalid="ignore"):
            common = np.where(volume > 0, values["amount"] / volume, np.nan)
        how = "amount / volume"
    else:
        common, how = values["open"], "open"
    buy = values.get("buy_price")
    sell = values.get("sell_price")
    if buy is None or sell is None:
        _logged_once("execution prices without buy_price/sell_price are taken from %s", how)
    return (
        grid.matrix(common if buy is None else buy),
        grid.matrix(common if sell is None else sell),
    )


def derive_market(bars: _Bars) -> _Market:
    """The source factors of the builder from the rows of the bars files.

    * suspended stock-days: a missing row between a stock's first and last row, zero
      volume, a missing close, or ``is_suspended``; they carry the last close, have no
      other prices and are marked suspended;
    * execution prices: ``buy_price`` / ``sell_price``, else ``vwap``, else ``amount /
      volume``, else ``open``; a day traded at one limit price all day (``low`` at the
      limit-up, ``high`` at the limit-down) executes at that limit;
    * limit prices: ``limit_up`` / ``limit_down``, else the ex-rights previous close times
      one plus/minus the board's limit (10 %, 20 % for 300/301/688/689, 30 % on the
      Beijing exchange, 5 % where ``is_st``), in cents; none on a stock's first day;
    * splits and dividends: ``split`` (new shares per old share) and ``dividend`` (cash per
      share after tax) on the ex-rights day, else the change of ``adj_factor`` from one
      day to the next as a share-count factor (worth the same to a holder).
    """
    grid = _Grid(bars)
    values = bars.values
    n_dates = grid.shape[0]
    present = grid.mask(np.ones(bars.date.size, dtype=bool))
    first = np.argmax(present, axis=0)
    last = n_dates - 1 - np.argmax(present[::-1], axis=0)
    row = np.arange(n_dates)[:, None]
    listed = (row >= first) & (row <= last)
    halted_row = _halted(bars)
    traded = grid.mask(~halted_row)
    del present, halted_row
    suspended = listed & ~traded

    # A suspended row keeps the close it gives (the vendors' last close); a missing row
    # takes the last close before it.
    close = _ffill(grid.matrix(values["close"]))
    close = np.where(listed, close, np.nan)
    open_ = np.where(traded, grid.matrix(values["open"]), np.nan)
    buy, sell = _execution_prices(bars, grid)
    buy[~traded], sell[~traded] = np.nan, np.nan

    split, dividend = _adjustments(bars, grid, listed, traded)
    limit_up, limit_down = _limits(bars, grid, close, listed, first, split, dividend)
    if "low" in values:  # locked at limit-up all day
        locked = grid.matrix(values["low"]) >= limit_up - _PRICE_TOLERANCE
        buy = np.where(traded & locked, limit_up, buy)
    if "high" in values:
        locked = grid.matrix(values["high"]) <= limit_down + _PRICE_TOLERANCE
        sell = np.where(traded & locked, limit_down, sell)
    buy = np.where(np.abs(buy - limit_up) <= _PRICE_TOLERANCE, limit_up, buy)
    sell = np.where(np.abs(sell - limit_down) <= _PRICE_TOLERANCE, limit_down, sell)

    factors: dict[str, np.ndarray] = {
        "rq_industry_exposure_new": _industry(bars, grid, listed),
        "limit_down": limit_down,
        "limit_up": limit_up,
        "Close": close,
        "Open": open_,
        "tick_vwap_price_935_1005": buy,
        "tick_vwap_price_925_1000": sell,
        "split_coefficient_to": split * 10.0,
        "rq_get_dividend": dividend * 10.0 / _DIVIDEND_TAX_KEEP,
        "rq_is_suspended": np.where(listed, suspended, np.nan).astype(np.float32),
    }
    return _Market(
        dates=np.array([str(d) for d in grid.dates], dtype=object),
        codes=np.array([f"{c:06d}" for c in grid.codes], dtype=object),
        factors=factors,
    )


def _adjustments(
    bars: _Bars, grid: _Grid, listed: np.ndarray, traded: np.ndarray
) -> tuple[np.ndarray, np.ndarray]:
    """Split (new shares per old share) and after-tax dividend per share; NaN: none."""
    values = bars.values
    if "split" in values or "dividend" in values:
        split = grid.matrix(values["split"]) if "split" in values else np.full(grid.shape, np.nan)
        dividend = (
            grid.matrix(values["dividend"]) if "dividend" in values else np.full(grid.shape, np.nan)
        )
        return np.where(split > 0, split, np.nan), np.where(dividend > 0, dividend, np.nan)
    none = np.full(grid.shape, np.nan)
    if "adj_factor" not in values:
        return none, none.copy()
    adj = _ffill(np.where(traded, grid.matrix(values["adj_factor"]), np.nan))
    with np.errstate(divide="ignore", invalid="ignore"):
        ratio = adj / _previous_row(adj)
    changed = listed & np.isfinite(ratio) & (ratio > 0) & (ratio != 1.0)
    return np.where(changed, ratio, np.nan), none


def _limits(
    bars: _Bars,
    grid: _Grid,
    close: np.ndarray,
    listed: np.ndarray,
    first: np.ndarray,
    split: np.ndarray,
    dividend: np.ndarray,
) -> tuple[np.ndarray, np.ndarray]:
    values = bars.values
    if "limit_up" in values and "limit_down" in values:
        return grid.matrix(values["limit_up"]), grid.matrix(values["limit_down"])
    _logged_once("limit prices are derived from the previous close and the board's limit")
    rate = np.broadcast_to(_limit_rate(grid.codes, grid.beijing), grid.shape)
    if "is_st" in bars.flags:
        rate = np.where(grid.mask(bars.flags["is_st"]), _SPECIAL_TREATMENT_LIMIT, rate)
    previous = _previous_row(close)
    reference = _round_cents(
        (previous - np.nan_to_num(dividend, nan=0.0)) / np.nan_to_num(split, nan=1.0)
    )
    up = _round_cents(reference * (1.0 + rate))
    down = _round_cents(reference * (1.0 - rate))
    no_limit = ~listed
    no_limit[first, np.arange(grid.shape[1])] = True  # a stock's first day has no limit
    up[no_limit], down[no_limit] = np.nan, np.nan
    if "limit_up" in values:
        up = grid.matrix(values["limit_up"])
    if "limit_down" in values:
        down = grid.matrix(values["limit_down"])
    return up, down


def _industry(bars: _Bars, grid: _Grid, listed: np.ndarray) -> np.ndarray:
    """Industry codes carried over suspended days; without the column every stock is in
    industry 1."""
    if bars.industry is None:
        return np.where(listed, 1.0, np.nan).astype(np.float32)
    filled = _ffill(grid.matrix(bars.industry))
    return np.where(listed, filled, np.nan).astype(np.float32)


# --------------------------------------------------------------------------- indices


def _index_number(column: pd.Series, path: Path) -> np.ndarray:
    return _codes(column, path).number


def _index_daily(files: list[Path], columns: Mapping[str, str], dates: np.ndarray) -> pd.DataFrame:
    """Rows date, ukey, daily_return of the three benchmarks; a benchmark the files leave
    out has no value on any date (a backtest against it fails, preparing does not)."""
    found: dict[str, pd.Series] = {}
    for path in files:
        frame = _read_file(path, columns)
        if "index_code" not in frame.columns and "code" in frame.columns:
            # A mapping written for the bars ("ts_code" -> "code") names the index here.
            frame = frame.rename(columns={"code": "index_code"})
        _require(frame, path, ("date", "index_code"))
        if "daily_return" not in frame.columns and "close" not in frame.columns:
            raise FileSourceError(f"{path}: missing required column 'close' or 'daily_return'")
        date = _dates(frame["date"], path)
        number = _index_number(frame["index_code"], path)
        for short in _BENCHMARKS:
            rows = number == int(short)
            if not rows.any():
                continue
            if "daily_return" in frame.columns:
                series = pd.Series(_numeric(frame, "daily_return", path)[rows], index=date[rows])
            else:
                close = _numeric(frame, "close", path)[rows]
                _check_positive(close, "close", path)
                series = pd.Series(close, index=date[rows]).sort_index().pct_change()
            found[short] = pd.concat([found[short], series]) if short in found else series
    day_numbers = dates.astype(np.int64)
    parts = []
    for short, code in _BENCHMARKS.items():
        series = found.get(short)
        if series is None:
            returns = np.full(dates.size, np.nan)
        else:
            series = series[~series.index.duplicated(keep="last")]
            returns = series.reindex(day_numbers).to_numpy(dtype=np.float64)
        parts.append(pd.DataFrame({"date": dates, "ukey": code, "daily_return": returns}))
    return pd.concat(parts, ignore_index=True)


def _memberships(
    files: list[Path], columns: Mapping[str, str], market: _Market, listed: np.ndarray
) -> dict[str, np.ndarray]:
    """Component factor per index: 1 on member days, 0 on other listed days. An index the
    files leave out has no member (a universe restricted to it is empty)."""
    out = {name: np.where(listed, 0.0, np.nan).astype(np.float32) for name in _COMPONENTS.values()}
    day_numbers = market.dates.astype(np.int64)
    code_numbers = market.codes.astype(np.int64)
    for path in files:
        frame = _read_file(path, columns)
        _require(frame, path, ("date", "index_code", "code"))
        date = _dates(frame["date"], path)
        index = _index_number(frame["index_code"], path)
        stock = _codes(frame["code"], path).number
        for short, name in _COMPONENTS.items():
            rows = index == int(short)
            if not rows.any():
                continue
            snapshot_dates = np.unique(date[rows])
            # Each trading day takes the latest snapshot on or before it.
            segment = np.searchsorted(snapshot_dates, day_numbers, side="right") - 1
            member = np.zeros((snapshot_dates.size, code_numbers.size), dtype=bool)
            col = np.searchsorted(code_numbers, stock[rows])
            known = (col < code_numbers.size) & (
                code_numbers[np.minimum(col, code_numbers.size - 1)] == stock[rows]
            )
            member[np.searchsorted(snapshot_dates, date[rows][known]), col[known]] = True
            daily = np.where(segment[:, None] >= 0, member[np.maximum(segment, 0)], False)
            out[name] = np.where(listed, daily.astype(np.float32), np.nan).astype(np.float32)
    return out


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

    def holds(self, low: int | None) -> bool:
        """Whether ``bars`` holds every row on or after ``low`` (None: every row)."""
        return all(
            key in self.whole or (low is not None and self.file_dates[key][-1] < low)
            for key in self.spans
        )


def _reread(
    files: list[Path],
    columns: Mapping[str, str],
    stamp: tuple[_Key, ...],
    old: _Read | None,
    *,
    whole: bool,
) -> _Read:
    """The bars of ``files``, parsing again only the files changed since ``old`` (and,
    with ``whole``, the files ``old`` holds only in part)."""
    keys = _fingerprint(files)
    parts: list[dict[str, np.ndarray]] = []
    file_dates: dict[_Key, np.ndarray] = {}
    held: set[_Key] = set()
    for path, key in zip(files, keys):
        if old is not None and key in old.spans and (key in old.whole or not whole):
            parts.append(_part_of(old.bars, *old.spans[key]))
            file_dates[key] = old.file_dates[key]
            if key in old.whole:
                held.add(key)
        else:
            parts.append(_read_part(path, columns))
            file_dates[key] = _dense_unique(parts[-1]["date"])[0]
            held.add(key)
    ranges = [(int(d[0]), int(d[-1])) for d in file_dates.values() if d.size]
    if old is not None and (
        any(set(p) != set(parts[0]) for p in parts)  # columns changed
        or (len(held) < len(keys) and _overlapping(ranges))  # duplicates need every row
    ):
        return _reread(files, columns, stamp, None, whole=True)
    bars = _join(files, parts, ranges)
    stops = [start for _, start in bars.origin[1:]] + [bars.date.size]
    return _Read(
        stamp=stamp,
        bars=bars,
        spans={key: (start, stop) for key, (_, start), stop in zip(keys, bars.origin, stops)},
        file_dates=file_dates,
        whole=frozenset(held),
        dates=np.unique(np.concatenate(list(file_dates.values()))),
    )


def _shrunk(read: _Read) -> _Read:
    """``read`` holding of every file but the newest only the rows a window from the
    newest file's first day needs, when the files' date ranges do not overlap (a file
    a year). Text industries are numbered over every row: those keep every row."""
    dated = {key: d for key, d in read.file_dates.items() if d.size}
    text = read.bars.industry_text is not None and read.bars.industry_text.dtype == object
    ranges = [(int(d[0]), int(d[-1])) for d in dated.values()]
    if len(dated) < 2 or text or _overlapping(ranges):
        return read
    low = max(int(d[0]) for d in dated.values())
    rows = _window_rows(read.bars, low)
    bars = _subset(read.bars, rows)
    spans = {
        key: (int(np.searchsorted(rows, start)), int(np.searchsorted(rows, stop)))
        for key, (start, stop) in read.spans.items()
    }
    bars.origin = [(Path(key[0]), start) for key, (start, _) in spans.items()]
    whole = frozenset(k for k in read.whole if k not in dated or dated[k][0] >= low)
    return _Read(read.stamp, bars, spans, read.file_dates, whole, read.dates)


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

    The files are read at construction (bad files raise ``FileSourceError``) and again
    whenever one of them changed, so later preparations see days appended to them.
    """

    def __init__(
        self, root: str | os.PathLike[str], *, columns: Mapping[str, str] | None = None
    ) -> None:
        self.root = Path(root).expanduser().resolve()
        if not self.root.is_dir():
            raise FileSourceError(f"market data folder not found: {self.root}")
        self.columns = dict(columns or {})
        for user, ours in self.columns.items():
            if not isinstance(user, str) or not isinstance(ours, str):
                raise TypeError(f"columns must map text to text, got {user!r}: {ours!r}")
        self._read: _Read | None = None
        # The derived market: the whole history and the last window asked for.
        self._derived: dict[object, _History] = {}
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
        that date on (None: every row) must be held; False: as held."""
        files = self._files()
        stamp = _fingerprint([p for table in _TABLES for p in files[table]])
        old = self._read
        if old is None or old.stamp != stamp:
            self._read = None  # a failed read leaves nothing half-updated behind
            self._derived.clear()
            self._read = _reread(files["bars"], self.columns, stamp, old, whole=False)
        if low is not False and not self._read.holds(low):  # type: ignore[arg-type]
            old, self._read = self._read, None
            self._read = _reread(files["bars"], self.columns, stamp, old, whole=True)
        return self._read

    def _history(self) -> tuple[_History, int]:
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
        self._whole(start_date, _names(factor, "factor"))
        return super().get_factors(factor, start_date, end_date)

    def get_factor_matrix(
        self, factor: str, start_date: object = None, end_date: object = None
    ) -> pd.DataFrame | None:
        """As the sandbox's; a table of the whole history is handed over: the source
        stops holding it (a full build reads each factor once, and the builder keeps
        its own copy), so the two do not sit in memory side by side."""
        name = _names(factor, "factor")[0]
        whole = self._whole(start_date, [name])
        table = super().get_factor_matrix(factor, start_date, end_date)
        history = self._derived.get(None)
        if whole and history is not None and name in history.factors:
            del history.factors[name]
            self._handed.add(name)
        return table

    def _history_from(self, low: str | None) -> tuple[_History, int]:
        """The whole history, or from ``low`` on derived from the rows that window needs
        (a tail update does not derive the years before it again)."""
        read = self._bars()
        window = low is not None and int(low) > read.dates[0]
        key = int(low) if window else None  # type: ignore[arg-type]
        if key not in self._derived:
            read = self._bars(key)
            if window:
                self._derived.pop(next((k for k in self._derived if k is not None), 0), None)
                bars = window_bars(read.bars, key)  # type: ignore[arg-type]
            else:
                bars = read.bars
            del read
            self._derived[key] = self._load(bars, self._files())
            del bars
            if key is None:  # later windows start in the newest file: hold less
                self._read = _shrunk(self._read)  # type: ignore[arg-type]
        history = self._derived[key]
        return history, len(history.dates)

    def _load(self, bars: _Bars, files: dict[str, list[Path]]) -> _History:
        started = _dt.datetime.now()
        market = derive_market(bars)
        del bars
        listed = ~np.isnan(market.factors["rq_is_suspended"])
        market.factors.update(_memberships(files["index_members"], self.columns, market, listed))
        index_daily = _index_daily(files["index_daily"], self.columns, market.dates)
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
        return _History(
            dates=market.dates,
            stamps=pd.to_datetime(market.dates, format="%Y%m%d").to_numpy(dtype="datetime64[ns]"),
            codes=market.codes,
            ukeys=market.codes,
            factors=market.factors,
            index_daily=index_daily,
        )
