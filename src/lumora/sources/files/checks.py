"""The checks of the rows of the user's files, with their messages: each names the file, the
row and the value, and where a unit looks wrong, the factor that would make it fit."""

from __future__ import annotations

from collections.abc import Container, Mapping
from pathlib import Path

import numpy as np
import pandas as pd

from lumora.exceptions import KestrelError
from lumora.sources.files.columns import PRICE_COLUMNS
from lumora.sources.vendors import UNITS, Layout

__all__ = [
    "FileSourceError",
    "check_calendar",
    "check_derived_price",
    "check_positive",
    "check_unique_cells",
    "check_values",
    "require",
]


class FileSourceError(KestrelError, ValueError):
    """A file of the user's market data cannot be used; the message names file and place."""


def require(frame: Container[str], path: Path, names: tuple[str, ...]) -> None:
    """Every one of ``names`` is a column of ``frame`` (a file's columns by our names)."""
    for name in names:
        if name not in frame:
            raise FileSourceError(f"{path}: missing required column {name!r}")


def check_positive(values: np.ndarray, name: str, path: Path) -> None:
    """Every value is above 0 (NaN passes: it says nothing)."""
    bad = np.flatnonzero(values <= 0)
    if bad.size:
        raise FileSourceError(
            f"{path}: row {bad[0] + 1}: {name} must be positive, got {values[bad[0]]!r}"
        )


# A price is quoted in cents and no A-share has traded above this many yuan.
_MIN_PRICE, _MAX_PRICE = 0.005, 100_000.0
# Prices of one day may differ from its low and high by rounding to the cent.
_RANGE_TOLERANCE = 0.01
# The units a file's volume and amount may come in (as the factor to shares and to yuan),
# in the order a hint tries them.
_UNIT_CHOICES = tuple(
    (volume, amount) for volume in UNITS["volume"].items() for amount in UNITS["amount"].items()
)


def _row_error(path: Path, row: int, text: str) -> FileSourceError:
    return FileSourceError(f"{path}: row {row + 1}: {text}")


def _all_within(values: np.ndarray, low: float, high: float) -> bool:
    """Whether every value lies in [low, high] (a NaN anywhere: no, as its minimum is NaN),
    from the column's minimum and maximum, without a temporary array."""
    return bool(values.size) and bool(np.min(values) >= low) and bool(np.max(values) <= high)


def check_values(part: dict[str, np.ndarray], path: Path) -> None:
    """Every value of a bars file is plausible: finite positive prices of at least a cent,
    open, close and execution prices within the day's low and high, finite non-negative
    volume and amount, finite positive splits and adjustment factors, finite
    non-negative dividends."""
    for name in (*PRICE_COLUMNS, "pre_close"):
        if name not in part:
            continue
        values = part[name]
        if _all_within(values, _MIN_PRICE, _MAX_PRICE):
            continue  # the usual case, in two passes; else each fault is found and named
        check_positive(values, name, path)
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
        if _all_within(values, np.nextafter(0.0, 1.0) if positive else 0.0, np.finfo(float).max):
            continue
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
    layout: Layout | None = None,
) -> None:
    """``values`` lie within [low, high] where all three are given; else the error names
    a row (``rows``: the file's row of each value, by default its position) and, for
    ``amount / volume`` read in ``layout``'s units, the units that would make it fit."""
    with np.errstate(invalid="ignore"):
        outside = (values < low - _RANGE_TOLERANCE) | (values > high + _RANGE_TOLERANCE)
    bad = np.flatnonzero(outside)
    if not bad.size:
        return
    at = int(bad[0])
    row = at if rows is None else int(rows[at])
    value, lo, hi = float(values[at]), float(low[at]), float(high[at])
    hint = "" if layout is None else _unit_hint(value, lo, hi, layout)
    raise _row_error(
        path, row, f"{name} {value!r} lies outside the day's low {lo!r} and high {hi!r}{hint}"
    )


def _unit_hint(value: float, low: float, high: float, layout: Layout) -> str:
    """Other units of volume and amount than the layout's under which ``amount / volume``
    (``value`` in the layout's units) would lie within the day's low and high."""
    for (volume, to_shares), (amount, to_yuan) in _UNIT_CHOICES:
        if (to_shares, to_yuan) == (layout.volume_scale, layout.amount_scale):
            continue
        factor = (to_yuan / layout.amount_scale) / (to_shares / layout.volume_scale)
        if low - _RANGE_TOLERANCE <= value * factor <= high + _RANGE_TOLERANCE:
            return (
                f"; {factor:g} times it would fit: are volume in {volume} and amount in "
                f"{amount}? units={{'volume': {volume!r}, 'amount': {amount!r}}}"
            )
    return ""


def check_derived_price(part: dict[str, np.ndarray], path: Path, layout: Layout) -> None:
    """``amount / volume`` (in yuan and shares) is a price of the day: within its low and
    high, or without them between half and twice the close; when it is not, the message
    names the units (other than ``layout``'s) that would make it fit."""
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
    _check_within(price, low, high, "amount / volume", path, traded, layout)


def check_unique_cells(
    cell: np.ndarray, date: np.ndarray, code: np.ndarray, origin: list[tuple[Path, int]]
) -> None:
    """Refuses two rows of one (date, stock) cell (``cell``: a number per row that only
    rows of the same date and stock share)."""
    counts = np.bincount(cell)
    if counts.max(initial=0) > 1:
        rows = np.flatnonzero(cell == int(np.argmax(counts > 1)))
        raise FileSourceError(
            f"duplicate rows for date {date[rows[0]]} and stock {code[rows[0]]:06d}: "
            + " and ".join(_place_of_row(origin, int(r)) for r in rows[:2])
        )


def _place_of_row(origin: list[tuple[Path, int]], position: int) -> str:
    for path, first in reversed(origin):
        if position >= first:
            return f"{path}: row {position - first + 1}"
    return f"row {position + 1}"


_WEEKDAYS = ("Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday", "Sunday")


def check_calendar(bars: Mapping[Path, np.ndarray], indices: Mapping[Path, np.ndarray]) -> None:
    """The bars' dates (``bars``: each bars file's distinct YYYYMMDD dates) are trading
    days: none on a weekend, and, where index files are given (``indices``: each one's
    dates), over the dates both cover exactly the indices' days. A day missing from every
    bars file would book two days of moves as one; an extra day would add one."""
    for path, dates in bars.items():
        weekday = pd.to_datetime(dates.astype(str), format="%Y%m%d").day_of_week.to_numpy()
        weekend = np.flatnonzero(weekday >= 5)
        if weekend.size:
            day = int(dates[weekend[0]])
            raise FileSourceError(
                f"{path}: date {day} is a {_WEEKDAYS[weekday[weekend[0]]]}, when the exchanges "
                "are closed: a date in the wrong column or shifted by a time zone?"
            )
    if not indices or not bars:
        return
    ours = np.unique(np.concatenate(list(bars.values())))
    theirs = np.unique(np.concatenate(list(indices.values())))
    low, high = max(ours[0], theirs[0]), min(ours[-1], theirs[-1])
    ours, theirs = ours[(ours >= low) & (ours <= high)], theirs[(theirs >= low) & (theirs <= high)]
    missing = (
        "is a trading day there, but no bars file has a row on it ({count} such dates): a day "
        "missing from every stock would book two days of moves as one"
    )
    extra = (
        "is not a trading day of the index files ({index_files}; {count} such dates): a "
        "holiday, or a day the index files leave out?"
    )
    index_files = ", ".join(str(p) for p in indices)
    # A day of the indices no bars file has, then a day of the bars the indices lack; the
    # message names the first file holding the first such day.
    gaps = (
        (np.setdiff1d(theirs, ours), indices, missing),
        (np.setdiff1d(ours, theirs), bars, extra),
    )
    for days, files, problem in gaps:
        if days.size:
            day = int(days[0])
            named = next(str(path) for path, dates in files.items() if (dates == day).any())
            detail = problem.format(count=days.size, index_files=index_files)
            raise FileSourceError(f"{named}: date {day} {detail}")
