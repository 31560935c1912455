"""The contract between a data source and the prepared-data builder, and the shared base
of the sources that hold their market as tables.

The builder reads whichever source the session installed (``lumora.singleton``) through
``DataSource``: narrow factor rows and benchmark index rows between two dates. A source that
holds its market as date x stock tables (``TableSource``: the sandbox, the user's files)
also answers one factor as a table, which spares the builder millions of narrow rows. A
source that says which market it reads (``IdentifiedSource``) has that identity recorded
with the store it built, and a store is never fed from another market.
"""

from __future__ import annotations

from collections.abc import Iterable
from contextlib import AbstractContextManager
from dataclasses import dataclass
from typing import Any, Protocol, runtime_checkable

import numpy as np
import pandas as pd

from lumora._labels import normalize_yyyymmdd
from lumora.backtest._prepare import COMPONENT_FACTOR_NAMES

__all__ = [
    "DIVIDEND_TAX_KEEP",
    "INDEX_COMPONENTS",
    "DataSource",
    "FingerprintedSource",
    "IdentifiedSource",
    "MarketClient",
    "MarketHistory",
    "TableSource",
    "name_list",
]


# The source factor "rq_get_dividend" quotes a cash dividend per ten shares before tax, of
# which a holder keeps this share: the after-tax cash per share is value / 10 * KEEP.
DIVIDEND_TAX_KEEP = 0.9
# Index code -> the factor of its members, in the catalogue's order: the factor's name after
# its last "_", cut before its first "." ("rq_index_components_new_000300.XSHG" -> "000300").
INDEX_COMPONENTS: dict[str, str] = {
    name.rsplit("_", 1)[1].split(".", 1)[0]: name for name in COMPONENT_FACTOR_NAMES
}


@runtime_checkable
class DataSource(Protocol):
    """What the builder reads: factor rows ``date``, ``ukey``, ``value``, ``factor`` and
    daily index rows ``date``, ``ukey``, ``close``, ``daily_return``, each between two dates
    (``YYYY-MM-DD`` text or None for open), for one name or a list of names."""

    def get_factors(self, *, factor: Any, start_date: Any, end_date: Any) -> pd.DataFrame: ...

    def get_index_daily(self, *, ukeys: Any, start_date: Any, end_date: Any) -> pd.DataFrame: ...


@runtime_checkable
class TableSource(DataSource, Protocol):
    """A source holding its market as tables: one factor between two dates as a date x
    stock table (``YYYYMMDD`` rows, six-digit columns), None for a name without values."""

    def get_factor_matrix(
        self, factor: str, start_date: Any = None, end_date: Any = None
    ) -> pd.DataFrame | None: ...


@runtime_checkable
class IdentifiedSource(Protocol):
    """A source that says which market it reads; the store records it."""

    def source_identity(self) -> dict[str, str | int]: ...


@runtime_checkable
class FingerprintedSource(Protocol):
    """A source that can tell what changed since a store was built from it. A preparation
    runs inside ``pinned()``, which answers every query from one look at the source; the
    store commits ``fingerprint()`` (what that look held) with every build and update, and
    the next preparation asks ``update_plan(recorded)`` for ``("tail", None, "")`` (only
    new days), ``("from", date, reason)`` (rewrite from that date) or ``("full", None,
    reason)`` (build anew)."""

    def pinned(self) -> AbstractContextManager[None]: ...

    def fingerprint(self) -> dict[str, Any]: ...

    def update_plan(self, recorded: dict[str, Any]) -> tuple[str, str | None, str]: ...


@dataclass(frozen=True)
class MarketHistory:
    """A market held as date x stock matrices, in the form queries are answered from."""

    dates: np.ndarray  # YYYYMMDD text, ascending
    stamps: np.ndarray  # the same dates as datetime64[ns]
    codes: np.ndarray  # six-digit text
    ukeys: np.ndarray  # exchange-qualified codes
    factors: dict[str, np.ndarray]  # factor name -> dates x stocks, NaN where no value
    index_daily: pd.DataFrame  # date (text), ukey, close, daily_return


def name_list(value: object, what: str) -> list[str]:
    """One name or an iterable of names, de-duplicated in order."""
    names = [value] if isinstance(value, str) else list(value)  # type: ignore[call-overload]
    if not all(isinstance(name, str) for name in names):
        raise TypeError(f"{what} must be text or a list of text, got {value!r}")
    return list(dict.fromkeys(names))


def _empty_factor_frame() -> pd.DataFrame:
    return pd.DataFrame(
        {
            "date": pd.Series(dtype="datetime64[ns]"),
            "ukey": pd.Series(dtype=object),
            "value": pd.Series(dtype=np.float64),
            "factor": pd.Series(dtype=object),
        }
    )


def _kept(keep: np.ndarray) -> slice | np.ndarray:
    """The positions ``keep`` marks: a slice when they are one run (a table's first day
    without a value), else their numbers."""
    marked = np.flatnonzero(keep)
    first, last = int(marked[0]), int(marked[-1]) + 1
    return slice(first, last) if marked.size == last - first else marked


def _cells(block: np.ndarray, rows: np.ndarray, cols: np.ndarray) -> np.ndarray:
    """``block`` with only the rows and columns ``rows`` and ``cols`` mark: a view when
    each is one run, else one copy of the cells kept (not a copy of the rows kept and
    then another of their columns)."""
    at_rows, at_cols = _kept(rows), _kept(cols)
    if isinstance(at_rows, slice) or isinstance(at_cols, slice):
        kept: np.ndarray = block[at_rows, at_cols]
    else:
        kept = block[np.ix_(at_rows, at_cols)]
    return kept


class MarketClient:
    """The SDK client's two queries answered from a market held as date x stock matrices.

    A subclass supplies ``_history()``: the market and the number of its dates that are
    visible now. Factor rows come back with categorical ``ukey`` and ``factor`` columns,
    so the builder groups millions of rows without hashing text.
    """

    def _history(self) -> tuple[MarketHistory, int]:
        raise NotImplementedError

    def trading_dates(self) -> list[str]:
        """Trading dates from the start up to today (``YYYYMMDD`` text)."""
        history, stop = self._history()
        dates: list[str] = history.dates[:stop].tolist()
        return dates

    @property
    def codes(self) -> list[str]:
        """The six-digit codes of the market's stocks (listed or yet to list)."""
        codes: list[str] = self._history()[0].codes.tolist()
        return codes

    def _history_from(self, low: str | None) -> tuple[MarketHistory, int]:
        """The market for queries from date ``low`` on (a subclass may answer a window)."""
        return self._history()

    def _rows(self, start_date: object, end_date: object) -> tuple[MarketHistory, int, int]:
        low = normalize_yyyymmdd(start_date)
        history, stop = self._history_from(low)
        high = normalize_yyyymmdd(end_date)
        lo = 0 if low is None else int(np.searchsorted(history.dates, low, side="left"))
        hi = stop if high is None else min(stop, int(np.searchsorted(history.dates, high, "right")))
        return history, lo, max(lo, hi)

    def get_factors(
        self, factor: str | Iterable[str], start_date: object = None, end_date: object = None
    ) -> pd.DataFrame:
        """Narrow factor rows ``date``, ``ukey``, ``value``, ``factor`` for one factor name
        or a list of them, between the two dates inclusive (any date form, ``None`` for
        open). Rows exist only where the factor has a value; unknown names give no rows."""
        names = name_list(factor, "factor")
        history, lo, hi = self._rows(start_date, end_date)
        known = [name for name in names if name in history.factors]
        if hi <= lo or not known:
            return _empty_factor_frame()
        parts: list[tuple[np.ndarray, np.ndarray, np.ndarray, int]] = []
        for code, name in enumerate(known):
            block = history.factors[name][lo:hi]
            rows, cols = np.nonzero(~np.isnan(block))
            parts.append((rows, cols, block[rows, cols].astype(np.float64), code))
        rows = np.concatenate([p[0] for p in parts])
        cols = np.concatenate([p[1] for p in parts])
        factor_codes = np.concatenate(
            [np.full(p[0].size, p[3], dtype=np.int8) for p in parts], dtype=np.int8
        )
        return pd.DataFrame(
            {
                "date": history.stamps[lo:hi][rows],
                "ukey": pd.Categorical.from_codes(cols, categories=pd.Index(history.ukeys)),
                "value": np.concatenate([p[2] for p in parts]),
                "factor": pd.Categorical.from_codes(factor_codes, categories=pd.Index(known)),
            }
        )

    def get_factor_matrix(
        self, factor: str, start_date: object = None, end_date: object = None
    ) -> pd.DataFrame | None:
        """One factor between the two dates as a date x stock table (``YYYYMMDD`` rows,
        six-digit columns): the pivot of the rows ``get_factors`` answers, so dates and
        stocks without any value are left out; None for a name without values."""
        history, lo, hi = self._rows(start_date, end_date)
        values = history.factors.get(name_list(factor, "factor")[0])
        if values is None or hi <= lo:
            return None
        block = values[lo:hi]
        valid = ~np.isnan(block)
        rows, cols = valid.any(axis=1), valid.any(axis=0)
        del valid
        if not rows.any():
            return None
        if not (rows.all() and cols.all()):
            block = _cells(block, rows, cols)
        return pd.DataFrame(
            block,
            index=pd.Index(history.dates[lo:hi][rows], name="DataDate"),
            columns=pd.Index(history.codes[cols], name="ukey"),
            copy=False,
        )

    def get_index_daily(
        self, ukeys: str | Iterable[str], start_date: object = None, end_date: object = None
    ) -> pd.DataFrame:
        """Daily rows ``date``, ``ukey``, ``close``, ``daily_return`` of the benchmark
        indices among ``ukeys`` (for example "000300.XSHG"), between the two dates."""
        wanted = name_list(ukeys, "ukeys")
        history, lo, hi = self._rows(start_date, end_date)
        table = history.index_daily
        if hi > lo:
            window = table["date"].between(history.dates[lo], history.dates[hi - 1])
        else:
            window = pd.Series(False, index=table.index)
        parts = [table[window & (table["ukey"] == code)] for code in wanted]
        frame = pd.concat(parts, ignore_index=True) if parts else table.iloc[:0]
        frame = frame.reset_index(drop=True)
        frame["date"] = pd.to_datetime(frame["date"], format="%Y%m%d").astype("datetime64[ns]")
        return frame
