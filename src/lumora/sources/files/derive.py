"""The source factors derived from the bars: suspensions, execution prices, limit prices,
splits and dividends, industries (``derive_market``). What the files leave out is derived
by the market's rules, in blocks of dates so that no step holds a second copy of a table."""

from __future__ import annotations

from collections.abc import Callable, Iterator
from dataclasses import dataclass

import numpy as np

from lumora.backtest._prepare import (
    carry_closes,
    ex_rights_from_pre_close,
    factor_ratios,
    fill_execution_prices,
    keep_changes,
    limit_prices_into,
    lock_at_limit,
    outside_limit_band,
)
from lumora.sources.base import DIVIDEND_TAX_KEEP
from lumora.sources.files.bars import Bars, Grid, untraded_rows
from lumora.sources.files.checks import FileSourceError
from lumora.sources.files.per_stock import StSpans

__all__ = ["Market", "WholeFiles", "derive_market"]

# Prices are quoted in cents: an execution price this close to a limit price is that price.
_PRICE_TOLERANCE = 5e-7
# Steps over the whole market that need temporary tables go through this many dates at a
# time, so that no step holds more than a slice of a table beside its inputs and outputs.
_ROW_BLOCK = 256
# Stock-days a warning names (of possibly many).
_NAMED_CELLS = 8


def _row_blocks(n_rows: int) -> Iterator[slice]:
    """Slices of ``_ROW_BLOCK`` rows covering ``n_rows``."""
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
class Market:
    dates: np.ndarray  # YYYYMMDD text
    codes: np.ndarray  # six-digit text
    factors: dict[str, np.ndarray]
    listed: np.ndarray  # dates x stocks: between a stock's first and last row
    notes: list[str]  # what was derived in place of columns the files lack, for the log
    warnings: list[str]  # what the files leave out that a backtest cannot do without


class _Columns:
    """The value columns of the bars, each handed out once: with ``consume`` a column
    leaves the bars when taken, so the rows do not stay beside the tables made of them."""

    def __init__(self, bars: Bars, consume: bool) -> None:
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
    columns: _Columns, grid: Grid, traded: np.ndarray, open_: np.ndarray, notes: list[str]
) -> tuple[np.ndarray, np.ndarray]:
    """Buy and sell prices of traded days, cell by cell the first finite positive of
    ``buy_price`` / ``sell_price``, ``vwap``, ``amount / volume`` and ``open`` (NaN on the
    other days and where none is); the fallbacks used are noted."""
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
        fallen = ", ".join([*fallbacks, "open"])
        notes.append(f"missing execution prices are taken from the first of {fallen}")
    # Without a column of either price both are the same table: made once, and copied.
    shared = "buy_price" not in columns and "sell_price" not in columns
    prices: list[np.ndarray] = []
    for name in ("buy_price", "sell_price"):
        if shared and prices:
            prices.append(prices[0].copy())
            break
        given = _first_positive(columns.take(name) if name in columns else None, common)
        price = open_.copy() if given is None else grid.matrix(given)
        del given
        fill_execution_prices(price, open_, traded)
        prices.append(price)
    return prices[0], prices[1]


# Of the whole files, when only some rows are derived: each stock (ascending) with its
# first date, and every date.
WholeFiles = tuple[np.ndarray, np.ndarray, np.ndarray]


def derive_market(
    bars: Bars,
    *,
    consume: bool = False,
    history: WholeFiles | None = None,
    st: StSpans | None = None,
    step: Callable[[str], None] = lambda what: None,
) -> Market:
    """The source factors of the builder from the rows of the bars files.

    * suspended stock-days: a missing row between a stock's first and last row, zero or
      missing volume, a missing close, or ``is_suspended`` (``is_trading`` off); they
      carry the last traded close, have no other prices and are marked suspended;
    * execution prices: each stock-day the first finite positive of ``buy_price`` /
      ``sell_price``, ``vwap``, ``amount / volume`` and ``open``; a day traded at one
      limit price all day (``low`` at the limit-up, ``high`` at the limit-down) executes
      at that limit;
    * limit prices: ``limit_up`` / ``limit_down``, else the exchanges' limits of the
      ex-rights previous close by board, date and special treatment (``is_st`` or the
      spans of ``st``) (``_prepare.limit_prices``: whole cents rounded half up; none on a
      listing's first day, or first five days under the registration rules; a stock there
      on the first date listed before it);
    * splits and dividends: ``split`` (new shares per old share) and ``dividend`` (cash per
      share after tax) on the ex-rights day; else, stock by stock, the change of
      ``adj_factor`` from one traded day to the next, or where a stock has no factor the
      last close over the day's ``pre_close`` (``_prepare.ex_rights_from_pre_close``), as a
      share-count factor (worth the same to a holder); a stock with neither whose close
      leaves the limit band of the raw previous close is named in ``warnings``.

    ``history``: the stocks' first dates and the dates of the whole files, when ``bars``
    are a window of them (listing days count from there). With ``consume`` the value
    columns of ``bars`` are taken out as they are used (a whole
    history is derived once, and its rows would otherwise double the memory it needs).
    ``notes`` of the result say what was derived in place of columns the files lack;
    ``step`` is called with the name of each step as it starts (progress).
    """
    step("the grid of days and stocks")
    grid = Grid(bars)
    n_dates = grid.shape[0]
    first, last = grid.first, grid.last  # each stock's first and last row
    row = np.arange(n_dates)[:, None]
    listed = (row >= first) & (row <= last)
    traded = grid.mask(~untraded_rows(bars))
    columns = _Columns(bars, consume)
    industry = bars.industry
    if consume:
        bars.industry = bars.industry_text = None
        bars.date, bars.code, bars.beijing = bars.date[:0], bars.code[:0], bars.beijing[:0]

    # Each table is made as its rows leave the bars.
    step("execution prices")
    open_ = grid.matrix(columns.take("open"))
    open_[~traded] = np.nan
    notes: list[str] = []
    warnings: list[str] = []
    buy, sell = _execution_prices(columns, grid, traded, open_, notes)
    step("closes")
    close = grid.matrix(columns.take("close"))
    # Carried over days without trading; NaN outside the listing.
    carry_closes(close, traded, listed)

    step("splits and dividends")
    pre_close = grid.matrix(columns.take("pre_close")) if "pre_close" in columns else None
    split, dividend, unstated = _adjustments(columns, grid, listed, traded, close, pre_close)
    if dividend is not None:
        _check_dividends(dividend, close, grid)
    step("limit prices")
    special = _special_treatment(columns, grid, st)
    limit_up, limit_down, derived = _limits(
        columns, grid, close, listed, first, split, dividend, history, notes, pre_close, special
    )
    del pre_close, special
    if derived and unstated is not None and unstated.any():
        warning = _unrecorded_ex_rights(grid, close, traded, limit_up, limit_down, unstated)
        if warning:
            warnings.append(warning)
    for name, price, limit, up in (
        ("low", buy, limit_up, True),  # locked at limit-up all day
        ("high", sell, limit_down, False),  # locked at limit-down all day
    ):
        extreme = grid.matrix(columns.take(name)) if name in columns else None
        lock_at_limit(
            price, limit, traded, extreme=extreme, limit_up=up, tolerance=_PRICE_TOLERANCE
        )
        del extreme

    step("suspensions and industries")
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
        dividend /= DIVIDEND_TAX_KEEP
        factors["rq_get_dividend"] = dividend
    return Market(
        dates=np.array([str(d) for d in grid.dates], dtype=object),
        codes=np.array([f"{c:06d}" for c in grid.codes], dtype=object),
        factors=factors,
        listed=listed,
        notes=notes,
        warnings=warnings,
    )


def _special_treatment(columns: _Columns, grid: Grid, st: StSpans | None) -> np.ndarray | None:
    """dates x stocks: under special treatment by ``is_st`` or the ST spans; None: by
    neither."""
    special = grid.mask(columns.flags["is_st"]) if "is_st" in columns.flags else None
    if st is not None:
        spans = st.mask(grid.dates, grid.codes)
        special = spans if special is None else special | spans
    return special


def _unrecorded_ex_rights(
    grid: Grid,
    close: np.ndarray,
    traded: np.ndarray,
    limit_up: np.ndarray,
    limit_down: np.ndarray,
    unstated: np.ndarray,
) -> str:
    """A warning naming the stock-days of stocks without any adjustment data whose close
    lies outside the limit band of the raw previous close (likely ex-rights days the files
    do not record); "" when there are none."""
    found_rows, found_cols = [], []
    for rows in _row_blocks(close.shape[0]):
        watched = traded[rows] & unstated[None, :]
        block = np.where(watched, close[rows], np.nan)
        r, c = outside_limit_band(block, limit_up[rows], limit_down[rows])
        found_rows.append(r + rows.start)
        found_cols.append(c)
    at_rows, at_cols = np.concatenate(found_rows), np.concatenate(found_cols)
    if not at_rows.size:
        return ""
    named = ", ".join(
        f"{int(grid.codes[c]):06d} on {int(grid.dates[r])}"
        for r, c in zip(at_rows[:_NAMED_CELLS], at_cols[:_NAMED_CELLS])
    )
    more = f" and {at_rows.size - _NAMED_CELLS} more" if at_rows.size > _NAMED_CELLS else ""
    return (
        f"{at_rows.size} stock-days close outside the limit band of the previous close, "
        f"likely ex-rights days the files do not record ({named}{more}); without an "
        "adjustment factor (an adj_factor column or table), pre_close, or split and "
        "dividend columns, a holding there books the price drop of a split or dividend as "
        "a loss"
    )


def _check_dividends(dividend: np.ndarray, close: np.ndarray, grid: Grid) -> None:
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
    columns: _Columns,
    grid: Grid,
    listed: np.ndarray,
    traded: np.ndarray,
    close: np.ndarray,
    pre_close: np.ndarray | None,
) -> tuple[np.ndarray | None, np.ndarray | None, np.ndarray | None]:
    """Split (new shares per old share) and after-tax dividend per share, NaN: none, None:
    none on any day; and per stock whether the files state nothing of its ex-rights days
    (no factor, no pre_close; None when split and dividend columns state them)."""
    if "split" in columns or "dividend" in columns:
        out = []
        for name in ("split", "dividend"):
            values = grid.matrix(columns.take(name)) if name in columns else None
            if values is not None:
                values[~(values > 0)] = np.nan
            out.append(values)
        return out[0], out[1], None
    factor_ratio, with_factor = None, np.zeros(grid.shape[1], dtype=bool)
    if "adj_factor" in columns:
        factor_ratio = grid.matrix(columns.take("adj_factor"))
        factor_ratio[~traded] = np.nan
        with_factor = ~np.isnan(factor_ratio).all(axis=0)
        # The ratio of each day's factor (carried over days without one) to the day before's.
        factor_ratios(factor_ratio)
    unstated = ~with_factor
    if pre_close is not None:
        with_reference = unstated & ~np.isnan(np.where(traded, pre_close, np.nan)).all(axis=0)
        if with_reference.any():
            if factor_ratio is None:
                factor_ratio = np.full(grid.shape, np.nan)
            for rows in _row_blocks(grid.shape[0]):
                # The day's adjustment is the last close over the exchange's reference.
                ratio = ex_rights_from_pre_close(
                    _previous_rows(close, rows), np.where(traded[rows], pre_close[rows], np.nan)
                )
                block = factor_ratio[rows]
                block[:, with_reference] = ratio[:, with_reference]
        unstated &= ~with_reference
    if factor_ratio is None:
        return None, None, unstated
    keep_changes(factor_ratio, listed)
    return factor_ratio, None, unstated


def _limits(
    columns: _Columns,
    grid: Grid,
    close: np.ndarray,
    listed: np.ndarray,
    first: np.ndarray,
    split: np.ndarray | None,
    dividend: np.ndarray | None,
    history: WholeFiles | None,
    notes: list[str],
    pre_close: np.ndarray | None,
    special: np.ndarray | None,
) -> tuple[np.ndarray, np.ndarray, bool]:
    """Limit-up and limit-down prices: the files' own where they give both, else the
    exchanges' limits of the ex-rights previous close (noted; the last value says so)."""
    given = {
        name: grid.matrix(columns.take(name))
        for name in ("limit_up", "limit_down")
        if name in columns
    }
    if len(given) == 2:
        return given["limit_up"], given["limit_down"], False
    notes.append("limit prices are derived from the previous close and the board's limit")
    calendar = grid.dates.astype(np.int32)
    if history is None:  # the rows are the whole files
        history = (grid.codes, calendar[first], calendar)
    # Listing days count in the files' whole calendar, from each stock's first row there,
    # so that a window of days derives them as the whole history does. A stock already
    # there on the files' first date listed before them (its listing days are not in them).
    listed_on = history[1][np.searchsorted(history[0], grid.codes)]
    listing = np.where(listed_on > history[2][0], listed_on, 0).astype(np.int32)
    codes = grid.codes.astype(np.int32)
    whole_calendar = history[2].astype(np.int32)
    # A vendor's ex-rights previous close is the reference itself where the files give it.
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
        limit_prices_into(
            previous,
            codes,
            calendar[rows],
            up[rows],
            down[rows],
            beijing=grid.beijing,
            dividend=block_dividend,
            split=block_split,
            special_treatment=None if special is None else special[rows],
            listing_date=listing,
            calendar=whole_calendar,
            listed=listed[rows],
        )
    return given.get("limit_up", up), given.get("limit_down", down), True


def _industry(industry: np.ndarray | None, grid: Grid, listed: np.ndarray) -> np.ndarray:
    """Industry codes carried over suspended days; without the column every stock is in
    industry 1."""
    if industry is None:
        out = np.ones(grid.shape, dtype=np.float32)
    else:
        out = _ffill(grid.matrix(industry)).astype(np.float32)
    out[~listed] = np.nan
    return out
