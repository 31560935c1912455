"""The index files: the benchmarks' daily returns (``index_daily``) and the indices' members
(``index_members``), read and checked with the bars, and the membership factors made from
them when the builder asks."""

from __future__ import annotations

import functools
from collections.abc import Callable, Iterator, Mapping
from pathlib import Path
from typing import Any

import numpy as np
import pandas as pd

from lumora.backtest._prepare import BENCHMARK_INDEX_CODES
from lumora.sources.base import INDEX_COMPONENTS
from lumora.sources.files.checks import FileSourceError, check_positive, require
from lumora.sources.files.derive import Market
from lumora.sources.files.reading import (
    Column,
    date_numbers,
    index_number,
    index_numbers,
    numeric_column,
    read_file,
    stock_codes,
)

__all__ = [
    "BENCHMARKS",
    "COMPONENTS",
    "Factors",
    "index_daily_rows",
    "index_series",
    "member_rows",
    "membership",
    "membership_factors",
    "missing_benchmarks",
]

# Benchmark short name -> the code its series is stored under; index code -> the factor of
# its members (both in the catalogue's order).
BENCHMARKS: dict[str, str] = dict(BENCHMARK_INDEX_CODES)
COMPONENTS: dict[str, str] = INDEX_COMPONENTS
# A benchmark index never moved this much in a day: a larger return is a percent.
_MAX_INDEX_RETURN = 0.5


def index_series(
    files: list[Path], columns: Mapping[str, str]
) -> tuple[dict[str, pd.Series], dict[Path, np.ndarray]]:
    """The daily returns of each benchmark the index files give, by YYYYMMDD number: the
    rows of every file joined before returns are taken from closes, so a folder of yearly
    files reads as one series; and the dates each file lists (its trading days). A file
    without a code column is the history of the index its name gives ("000300.csv",
    "sh000300.parquet"). Repeated dates and returns that look like percents are refused
    naming the file."""
    closes: dict[str, list[tuple[Path, pd.Series]]] = {}
    returns: dict[str, list[tuple[Path, pd.Series]]] = {}
    listed: dict[Path, np.ndarray] = {}
    for path in files:
        frame = read_file(path, columns)
        if "index_code" not in frame.columns and "code" in frame.columns:
            # A mapping written for the bars ("ts_code" -> "code") names the index here.
            frame = frame.rename(columns={"code": "index_code"})
        if "date" in frame.columns and "index_code" not in frame.columns:
            frame["index_code"] = _index_of_file(path)
        require(frame, path, ("date", "index_code"))
        if "daily_return" not in frame.columns and "close" not in frame.columns:
            raise FileSourceError(f"{path}: missing required column 'close' or 'daily_return'")
        if frame.empty:
            raise FileSourceError(f"{path}: the file has no rows")
        date = date_numbers(frame["date"], "date", path)
        listed[path] = np.unique(date)
        number = _benchmark_numbers(frame["index_code"], path)
        given = "daily_return" if "daily_return" in frame.columns else "close"
        values = numeric_column(frame[given], given, path)
        if given == "close":
            check_positive(values, "close", path)
        for short in BENCHMARKS:
            rows = number == int(short)
            if rows.any():
                book = returns if given == "daily_return" else closes
                book.setdefault(short, []).append((path, pd.Series(values[rows], index=date[rows])))
    out: dict[str, pd.Series] = {}
    for short in BENCHMARKS:
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
    return out, listed


def _index_of_file(path: Path) -> str:
    """The index code a file's name gives; a file of several indices needs a code column."""
    if index_number(path.stem) is None:
        raise FileSourceError(
            f"{path}: no index_code column, and the file's name is no index code; give the "
            "column, or one file per index named by its code (e.g. index_daily/000300.csv)"
        )
    return path.stem


# The Shenzhen exchange quotes the three benchmarks under codes of its own.
_SHENZHEN_QUOTES = {399300: 300, 399905: 905, 399852: 852}


def _benchmark_numbers(column: Column, path: Path) -> np.ndarray:
    """Each row's index number, the Shenzhen exchange's quote of a benchmark as the
    benchmark ("399300.SZ" is 000300)."""
    number = index_numbers(column, path)
    for quote, index in _SHENZHEN_QUOTES.items():
        number[number == quote] = index
    return number


def _joined_series(parts: list[tuple[Path, pd.Series]], short: str) -> pd.Series | None:
    """One index's rows of every file as one series by date; a date listed twice is refused."""
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
    """Daily returns given as fractions, not percents."""
    values = series.to_numpy(dtype=np.float64)
    bad = np.flatnonzero(~np.isnan(values) & ~(np.abs(values) < _MAX_INDEX_RETURN))
    if bad.size:
        raise FileSourceError(
            f"{paths[0]}: index {short} has a daily_return of {float(values[bad[0]])!r} on "
            f"{int(series.index[bad[0]])}; returns are fractions (0.0123 for 1.23 %): "
            "are they in percent?"
        )


def index_daily_rows(found: Mapping[str, pd.Series], dates: np.ndarray) -> pd.DataFrame:
    """Rows date, ukey, daily_return of the three benchmarks; a benchmark the files leave
    out has no value on any date (a backtest against it fails, preparing does not)."""
    day_numbers = dates.astype(np.int64)
    parts = []
    for short, code in BENCHMARKS.items():
        series = found.get(short)
        if series is None:
            returns = np.full(dates.size, np.nan)
        else:
            returns = series.reindex(day_numbers).to_numpy(dtype=np.float64)
        parts.append(pd.DataFrame({"date": dates, "ukey": code, "daily_return": returns}))
    return pd.concat(parts, ignore_index=True)


def member_rows(
    files: list[Path], columns: Mapping[str, str]
) -> dict[str, tuple[np.ndarray, np.ndarray]]:
    """The (date, stock) rows of each index's members, over every membership file; a file
    without an ``index_code`` column holds the members of the index its name gives."""
    found: dict[str, list[tuple[np.ndarray, np.ndarray]]] = {}
    for path in files:
        frame = read_file(path, columns)
        if "code" in frame.columns and "index_code" not in frame.columns:
            frame["index_code"] = _index_of_file(path)
        require(frame, path, ("date", "index_code", "code"))
        date = date_numbers(frame["date"], "date", path)
        index = _benchmark_numbers(frame["index_code"], path)
        stock = stock_codes(frame["code"], "code", path).number
        for short in COMPONENTS:
            rows = index == int(short)
            if rows.any():
                found.setdefault(short, []).append((date[rows], stock[rows]))
    return {
        short: (np.concatenate([d for d, _ in parts]), np.concatenate([s for _, s in parts]))
        for short, parts in found.items()
    }


def membership(
    members: tuple[np.ndarray, np.ndarray] | None,
    day_numbers: np.ndarray,
    code_numbers: np.ndarray,
    listed: np.ndarray,
) -> np.ndarray:
    """Component factor of one index: 1 on member days, 0 on other listed days. An index
    the files leave out has no member (a universe restricted to it is empty)."""
    # float64, the builder's own type: a table made when asked for and handed over at once,
    # so nothing holds it twice and the builder copies nothing to convert it.
    out = np.zeros(listed.shape, dtype=np.float64)
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


def missing_benchmarks(index_daily: pd.DataFrame) -> list[str]:
    """The benchmarks of which the files give no daily return at all."""
    given = index_daily.groupby("ukey")["daily_return"].count()
    return [short for short, code in BENCHMARKS.items() if not given.get(code, 0)]


def membership_factors(
    members: Mapping[str, tuple[np.ndarray, np.ndarray]], market: Market
) -> dict[str, Callable[[], np.ndarray]]:
    """The membership factor of every index of the catalogue, made when called (see
    ``membership``)."""
    return {
        name: functools.partial(
            membership,
            members.get(short),
            market.dates.astype(np.int64),
            market.codes.astype(np.int64),
            market.listed,
        )
        for short, name in COMPONENTS.items()
    }


class Factors(dict[str, np.ndarray]):
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
