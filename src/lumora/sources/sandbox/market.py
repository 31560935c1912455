"""A deterministic synthetic China A-share market for demos, tests and offline use.

``generate_market(n_stocks, n_days, seed)`` simulates a market with the features every trading
rule of the backtest engine has to cope with:

* four boards with their daily price limits: Shanghai main board (600/601/603, +-10%),
  Shenzhen main board (000/001/002, +-10%), ChiNext (300, +-20%, +-10% before 2020-08-24)
  and STAR (688, +-20%); prices are quoted in cents and limits are the exchanges' limits of
  the ex-rights reference price (``_prepare.limit_prices``), none on a listing's first day
  or, for STAR listings, first five days;
* limit-locked days: a stock locked at limit-up cannot be bought, one locked at limit-down
  cannot be sold (the execution price equals the limit price exactly);
* suspensions (the close carries the last close, no other prices, both directions blocked),
  occasional missing execution prices;
* cash dividends and share splits with ex-rights reference prices;
* new listings part-way through (everything is missing before the listing day);
* a common market factor and industry factors, so the benchmark indices (capitalisation
  weighted over their members) move with the stocks;
* index membership rebalanced twice a year by a size proxy.

The simulated market is exposed in three forms, each a mapping of date x stock tables
(rows: ascending ``YYYYMMDD`` text, columns: six-digit codes):

* :meth:`SandboxMarket.source_tables` / :meth:`SandboxMarket.component_factor_tables` /
  :meth:`SandboxMarket.index_daily` -- the raw factors a data service would answer queries with;
* :meth:`SandboxMarket.dataset_tables` -- the prepared datasets derived from those factors
  (prices, validity, previous close, execution prices, adjustments, tradability flags,
  forward-return ranks, index membership, benchmark returns);
* :meth:`SandboxMarket.engine_tables` -- the eight tables the strategy engine reads.

The generator is a pure function of its arguments and seed; the market object only formats
what was generated, so a data service can later be built on top of it.
"""

from __future__ import annotations

import datetime as _dt
from collections.abc import Iterator
from dataclasses import dataclass

import numpy as np
import pandas as pd

from lumora._dataset_keys import component_dataset_key
from lumora._labels import normalize_yyyymmdd
from lumora.backtest import _prepare as _catalogue
from lumora.backtest._prepare import limit_prices
from lumora.sources.base import DIVIDEND_TAX_KEEP, INDEX_COMPONENTS

__all__ = [
    "BENCHMARK_INDEX_CODES",
    "BOARD_LIMITS",
    "COMPONENT_FACTOR_NAMES",
    "ENGINE_TABLE_KEYS",
    "PREPARED_DATASET_KEYS",
    "SOURCE_FACTOR_NAMES",
    "MarketParameters",
    "SandboxMarket",
    "generate_market",
    "trading_calendar",
]

# The catalogue's names, as the sandbox answers them.
BENCHMARK_INDEX_CODES: dict[str, str] = dict(_catalogue.BENCHMARK_INDEX_CODES)
COMPONENT_FACTOR_NAMES: tuple[str, ...] = tuple(_catalogue.COMPONENT_FACTOR_NAMES)
SOURCE_FACTOR_NAMES: tuple[str, ...] = (
    *_catalogue.REQUIRED_FACTOR_NAMES,
    *_catalogue.OPTIONAL_FACTOR_NAMES,
)
PREPARED_DATASET_KEYS: tuple[str, ...] = tuple(_catalogue.BASE_MATRIX_DTYPE)
ENGINE_TABLE_KEYS: tuple[str, ...] = (
    "can_buy_stock",
    "cant_sell_stock",
    "rq_get_split",
    "rq_get_dividend",
    "close_price",
    "prev_close",
    "buy_price",
    "sell_price",
)
BOARD_LIMITS: dict[str, float] = {"SH main": 0.10, "SZ main": 0.10, "ChiNext": 0.20, "STAR": 0.20}

_BOARD_NAMES = tuple(BOARD_LIMITS)
# Code prefix, board, share of the universe. Each prefix offers 1,000 codes ("000" offers 999).
_PREFIXES: tuple[tuple[str, int, float], ...] = (
    ("600", 0, 0.12),
    ("601", 0, 0.05),
    ("603", 0, 0.14),
    ("000", 1, 0.09),
    ("001", 1, 0.03),
    ("002", 1, 0.20),
    ("300", 2, 0.23),
    ("688", 3, 0.14),
)
MAX_STOCKS = 999 + 1000 * (len(_PREFIXES) - 1)
_N_INDUSTRIES = 31
# Index membership as rank ranges by size in a 5,000-stock market (scaled to smaller ones),
# by index code.
_MEMBERSHIP_RANKS: dict[str, tuple[int, int]] = {
    "000300": (0, 300),
    "000905": (300, 800),
    "000852": (800, 1800),
    "399303": (1000, 3000),
    "932000": (1800, 3800),
}
_RANKS_OF_COMPONENT = {name: _MEMBERSHIP_RANKS[code] for code, name in INDEX_COMPONENTS.items()}
_REFERENCE_MARKET_SIZE = 5000
_SPLIT_PER_TEN = np.array([12.0, 13.0, 15.0, 20.0])  # shares per ten old shares
_DAYS_PER_BLOCK = 64


@dataclass(frozen=True)
class MarketParameters:
    """Rates of the simulated events; the defaults give a plausible A-share market."""

    new_listing_share: float = 0.2
    suspensions_per_year: float = 0.5
    long_suspension_share: float = 0.05
    ex_rights_probability: float = 0.6  # chance of a dividend/split day per stock and year
    split_probability: float = 0.2  # chance that an ex-rights day carries a split
    jump_probability: float = 0.004  # chance of a limit-sized move per stock-day
    market_shock_probability: float = 0.004  # chance of a market-wide crash or rally day
    limit_lock_probability: float = 0.5  # chance that a limit move is locked all day
    missing_price_probability: float = 0.0005  # chance of a missing execution price
    min_member_age: int = 60  # trading days listed before a stock can join an index


# --------------------------------------------------------------------------- calendar


def _is_holiday(day: _dt.date) -> bool:
    """A fixed approximation of the exchange holidays: New Year, a February week, May Day
    and the October national holiday week."""
    if (day.month, day.day) == (1, 1):
        return True
    if day.month == 5 and day.day <= 3:
        return True
    if day.month == 10 and day.day <= 7:
        return True
    if day.month == 2:
        first_monday = 1 + (7 - _dt.date(day.year, 2, 1).weekday()) % 7
        return first_monday + 7 <= day.day < first_monday + 12
    return False


def trading_calendar(start: object, n_days: int) -> list[str]:
    """The first ``n_days`` trading dates on or after ``start`` as ``YYYYMMDD`` text."""
    text = normalize_yyyymmdd(start)
    if text is None:
        raise ValueError("start must be a date, not None")
    first = _dt.datetime.strptime(text, "%Y%m%d").date()
    dates: list[str] = []
    day = first
    while len(dates) < n_days:
        if day.weekday() < 5 and not _is_holiday(day):
            dates.append(day.strftime("%Y%m%d"))
        day += _dt.timedelta(days=1)
    return dates


def _rebalance_rows(dates: list[str]) -> np.ndarray:
    """Row 0 and the first trading day after the second Friday of June and December."""
    stamps = np.array([int(d) for d in dates])
    rows = {0}
    for year in range(int(dates[0][:4]), int(dates[-1][:4]) + 1):
        for month in (6, 12):
            first_friday = 1 + (4 - _dt.date(year, month, 1).weekday()) % 7
            cutoff = year * 10000 + month * 100 + first_friday + 7
            row = int(np.searchsorted(stamps, cutoff, side="right"))
            if row < len(dates):
                rows.add(row)
    return np.array(sorted(rows), dtype=np.int64)


# --------------------------------------------------------------------------- universe


@dataclass(frozen=True)
class _Universe:
    codes: np.ndarray  # six-digit text, ascending
    board: np.ndarray  # index into _BOARD_NAMES
    limit: np.ndarray  # daily limit rate
    industry: np.ndarray  # industry code 1..31
    beta: np.ndarray
    sigma: np.ndarray  # idiosyncratic daily volatility
    first_price: np.ndarray  # close before the window, or the issue price
    shares: np.ndarray  # free-float shares, the size proxy
    listing_row: np.ndarray  # first trading row; -1 for stocks listed before the window


def _prefix_counts(n_stocks: int) -> np.ndarray:
    shares = np.array([p[2] for p in _PREFIXES])
    caps = np.array([999 if p[0] == "000" else 1000 for p in _PREFIXES])
    wanted = shares / shares.sum() * n_stocks
    counts: np.ndarray = np.floor(wanted).astype(np.int64)
    counts[np.argsort(counts - wanted, kind="stable")[: n_stocks - counts.sum()]] += 1
    while (counts > caps).any():  # a crowded prefix hands its surplus to the roomiest one
        surplus = counts - caps
        worst = int(np.argmax(surplus))
        counts[worst] = caps[worst]
        counts[int(np.argmax(caps - counts))] += surplus[worst]
    return counts


def _draw_universe(
    rng: np.random.Generator, n_stocks: int, n_days: int, params: MarketParameters
) -> _Universe:
    codes: list[str] = []
    boards: list[int] = []
    for (prefix, board_of_prefix, _), count in zip(_PREFIXES, _prefix_counts(n_stocks)):
        offset = 1 if prefix == "000" else 0
        numbers = np.sort(rng.choice(1000 - offset, size=count, replace=False)) + offset
        codes.extend(f"{prefix}{number:03d}" for number in numbers)
        boards.extend([board_of_prefix] * count)
    order = np.argsort(np.array(codes), kind="stable")
    board = np.array(boards, dtype=np.int64)[order]
    growth = board >= 2
    sigma = np.where(growth, 0.022, 0.016) * rng.lognormal(0.0, 0.25, n_stocks)
    price = np.exp(rng.normal(np.log(12.0), 0.6, n_stocks)) * np.where(growth, 1.8, 1.0)
    is_new = rng.random(n_stocks) < params.new_listing_share
    listing_row = np.where(is_new, rng.integers(1, n_days, n_stocks), -1)
    return _Universe(
        codes=np.array(codes, dtype=object)[order],
        board=board,
        limit=np.array([BOARD_LIMITS[name] for name in _BOARD_NAMES])[board],
        industry=rng.integers(1, _N_INDUSTRIES + 1, n_stocks),
        beta=rng.uniform(0.7, 1.3, n_stocks),
        sigma=sigma,
        first_price=np.round(np.clip(price, 2.0, 300.0), 2),
        shares=rng.lognormal(np.log(4e8), 1.0, n_stocks),
        listing_row=listing_row,
    )


# --------------------------------------------------------------------------- events


def _draw_suspensions(
    rng: np.random.Generator, universe: _Universe, n_days: int, params: MarketParameters
) -> np.ndarray:
    """Boolean days x stocks mask of suspended stock-days (never on a listing day)."""
    n_stocks = len(universe.codes)
    spells = rng.poisson(params.suspensions_per_year * n_days / 244.0, n_stocks)
    stock = np.repeat(np.arange(n_stocks), spells)
    first = universe.listing_row[stock] + 1
    start = first + np.floor(rng.random(stock.size) * (n_days - first)).astype(np.int64)
    length = rng.geometric(0.35, stock.size)
    long_spell = rng.random(stock.size) < params.long_suspension_share
    length = np.where(long_spell, rng.integers(20, 120, stock.size), length)
    keep = start < n_days
    stock, start, stop = stock[keep], start[keep], np.minimum(start + length, n_days)[keep]
    depth = np.zeros((n_days + 1, n_stocks), dtype=np.int16)
    np.add.at(depth, (start, stock), 1)
    np.add.at(depth, (stop, stock), -1)
    np.cumsum(depth, axis=0, out=depth)
    return depth[:n_days] > 0


@dataclass
class _ExRights:
    """Dividend and split days, sorted by row. The dividend amount depends on the price path
    and is filled in by the simulation."""

    row: np.ndarray
    col: np.ndarray
    split_per_ten: np.ndarray  # NaN: no split
    dividend_yield: np.ndarray  # 0: no dividend
    dividend_per_ten: np.ndarray  # pre-tax cash per ten shares; NaN: no dividend


def _draw_ex_rights(
    rng: np.random.Generator,
    universe: _Universe,
    dates: list[str],
    suspended: np.ndarray,
    params: MarketParameters,
) -> _ExRights:
    stamps = np.array([int(d) for d in dates])
    n_stocks = len(universe.codes)
    cols = np.arange(n_stocks)
    parts: list[tuple[np.ndarray, ...]] = []
    for year in range(stamps[0] // 10000, stamps[-1] // 10000 + 1):
        window = np.flatnonzero((stamps >= year * 10000 + 601) & (stamps <= year * 10000 + 815))
        draws = rng.random((6, n_stocks))
        if window.size == 0:
            continue
        row = window[(draws[0] * window.size).astype(np.int64)]
        ok = (draws[1] < params.ex_rights_probability) & (row > np.maximum(universe.listing_row, 0))
        ok &= ~suspended[row, cols] & ~suspended[row - 1, cols]
        has_split = draws[2] < params.split_probability
        split = np.where(has_split, _SPLIT_PER_TEN[(draws[3] * 4).astype(np.int64)], np.nan)
        cash = ~has_split | (draws[4] < 2 / 3)  # a split comes without cash a third of the time
        dividend_yield = np.where(cash, 0.003 + 0.032 * draws[5], 0.0)
        parts.append((row[ok], cols[ok], split[ok], dividend_yield[ok]))
    if not parts:
        empty = np.empty(0)
        return _ExRights(empty.astype(np.int64), empty.astype(np.int64), empty, empty, empty)
    row, col, split, dividend_yield = (np.concatenate(p) for p in zip(*parts))
    order = np.lexsort((col, row))
    return _ExRights(
        row=row[order],
        col=col[order],
        split_per_ten=split[order],
        dividend_yield=dividend_yield[order],
        dividend_per_ten=np.full(order.size, np.nan),
    )


# --------------------------------------------------------------------------- prices


def _limit_prices(
    prev_close: np.ndarray,
    split: np.ndarray,
    dividend: np.ndarray,
    universe: _Universe,
    calendar: np.ndarray,
    rows: slice,
) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Ex-rights reference price and the limit-up / limit-down prices of the dates ``rows``
    of ``calendar`` (YYYYMMDD numbers), in cents: the exchanges' rules by board, date and
    listing day (NaN: no limit, as before the listing and on its first days).

    Shared by the simulation (one day) and the limit tables (all days), so both give
    bit-identical prices.
    """
    listed = universe.listing_row >= 0
    listing = np.where(listed, calendar[np.maximum(universe.listing_row, 0)], 0)
    return limit_prices(
        prev_close,
        universe.codes.astype(np.int32),
        calendar[rows],
        dividend=dividend,
        split=split,
        listing_date=listing.astype(np.int32),
        calendar=calendar,
    )


def _market_factor(rng: np.random.Generator, n_days: int, params: MarketParameters) -> np.ndarray:
    shocks = rng.standard_normal((2, n_days))
    log_vol = np.empty(n_days)
    level = 0.0
    for day in range(n_days):  # slowly varying volatility regimes
        level = 0.98 * level + 0.1 * shocks[0, day]
        log_vol[day] = level
    factor: np.ndarray = 0.0003 + 0.009 * np.exp(log_vol) * shocks[1]
    crash = rng.random(n_days)
    hit = crash < params.market_shock_probability
    size = 0.04 + 0.04 * crash / params.market_shock_probability
    factor[hit] = np.where(crash[hit] < params.market_shock_probability / 2, -1, 1) * size[hit]
    return factor


@dataclass
class _Simulated:
    close: np.ndarray
    open: np.ndarray
    buy: np.ndarray  # execution price of purchases, 09:35-10:05 VWAP
    sell: np.ndarray  # execution price of sales, 09:25-10:00 VWAP
    can_buy: np.ndarray
    cant_sell: np.ndarray
    member_rank: np.ndarray  # rebalances x stocks size rank, -1 when not eligible
    benchmark_returns: dict[str, np.ndarray]


def _daily_draws(
    rng: np.random.Generator, n_days: int, n_stocks: int
) -> Iterator[tuple[np.ndarray, np.ndarray]]:
    """Per-day random vectors, drawn a block of days at a time to amortise call overhead.
    Single precision is plenty for noise and draws normals about three times faster."""
    for block_start in range(0, n_days, _DAYS_PER_BLOCK):
        rows = min(_DAYS_PER_BLOCK, n_days - block_start)
        normals = rng.standard_normal((rows, 4, n_stocks), dtype=np.float32)
        uniforms = rng.random((rows, 3, n_stocks), dtype=np.float32)
        for row in range(rows):
            yield normals[row], uniforms[row]


def _members(rank: np.ndarray, name: str, n_stocks: int) -> np.ndarray:
    low, high = _RANKS_OF_COMPONENT[name]
    scale = n_stocks / _REFERENCE_MARKET_SIZE
    low, high = round(low * scale), round(high * scale)
    return (rank >= low) & (rank < max(high, low + 1))


def _size_rank(size: np.ndarray, eligible: np.ndarray) -> np.ndarray:
    order = np.argsort(-np.where(eligible, size, -np.inf), kind="stable")
    rank = np.empty(size.size, dtype=np.int64)
    rank[order] = np.arange(size.size)
    return np.where(eligible, rank, -1)


def _ex_rights_of_day(
    events: _ExRights, lo: int, hi: int, last_close: np.ndarray, n_stocks: int
) -> tuple[np.ndarray, np.ndarray]:
    """Split factor and cash dividend per share of one day (1 and 0 where nothing happens).

    The cash amount is quoted pre-tax per ten shares in cents, derived from the dividend yield
    and the previous close, and recorded in ``events``.
    """
    split, dividend = np.ones(n_stocks), np.zeros(n_stocks)
    if hi == lo:
        return split, dividend
    cols, per_ten_shares = events.col[lo:hi], events.split_per_ten[lo:hi]
    split[cols] = np.where(np.isnan(per_ten_shares), 10.0, per_ten_shares) / 10
    cash = events.dividend_yield[lo:hi] * last_close[cols] * 10 / DIVIDEND_TAX_KEEP
    per_ten = np.round(cash, 2)
    per_ten[per_ten <= 0] = np.nan
    events.dividend_per_ten[lo:hi] = per_ten
    dividend[cols] = np.nan_to_num(per_ten / 10 * DIVIDEND_TAX_KEEP, nan=0.0)
    return split, dividend


def _stock_returns(
    universe: _Universe,
    market: float,
    sector: np.ndarray,
    eps: np.ndarray,
    u_jump: np.ndarray,
    first: np.ndarray,
    p_jump: float,
) -> np.ndarray:
    """Intended close-to-close return: market, industry and own moves plus rare limit-sized
    jumps; a listing day gets a premium over the issue price instead."""
    limit = universe.limit
    ret: np.ndarray = universe.beta * market + sector[universe.industry] + universe.sigma * eps
    jump = u_jump < p_jump
    direction = np.where(u_jump[jump] < p_jump / 2, -1.0, 1.0)
    ret[jump] += direction * limit[jump] * (0.7 + 0.6 * u_jump[jump] / p_jump)
    ret[first] = 0.1 + 0.1 * np.abs(eps[first])
    return ret


def _within(price: np.ndarray, down: np.ndarray, up: np.ndarray) -> np.ndarray:
    within: np.ndarray = np.fmax(np.fmin(price, up), down)  # NaN limits do not bind
    return within


def _day_prices(
    reference: np.ndarray,
    up: np.ndarray,
    down: np.ndarray,
    ret: np.ndarray,
    universe: _Universe,
    first: np.ndarray,
    normal: np.ndarray,
    lock: np.ndarray,
) -> tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray]:
    """Close, open and the two execution prices of one day, in cents (VWAPs to 0.0001).

    A move to the band or beyond closes at the limit; a locked day trades at the limit all
    day, so its execution prices equal the limit price exactly.
    """
    _, z_open, z_buy, z_sell = normal
    close = np.round(reference * (1.0 + ret), 2)
    hit_up = ~first & (close >= up)  # NaN limits (listing days) are never hit
    hit_down = ~first & (close <= down)
    close = _within(close, down, up)
    close[hit_up], close[hit_down] = up[hit_up], down[hit_down]
    np.fmax(close, 0.01, out=close)
    drift = 1 + 0.4 * ret + 0.5 * universe.sigma * z_open
    open_ = _within(np.round(reference * drift, 2), down, up)
    buy = _within(np.round(open_ + 0.3 * (close - open_) + 0.003 * reference * z_buy, 4), down, up)
    sell = _within(
        np.round(open_ + 0.15 * (close - open_) + 0.003 * reference * z_sell, 4), down, up
    )
    locked_up, locked_down = hit_up & lock, hit_down & lock
    for price in (open_, buy, sell):
        price[locked_up], price[locked_down] = up[locked_up], down[locked_down]
    return close, open_, buy, sell


class _BenchmarkBook:
    """Capitalisation-weighted daily returns of the benchmark indices over their members."""

    def __init__(self, n_days: int, n_stocks: int, shares: np.ndarray) -> None:
        self.shares = shares
        self.returns = {name: np.zeros(n_days) for name in BENCHMARK_INDEX_CODES}
        self.weights = {name: np.zeros(n_stocks) for name in BENCHMARK_INDEX_CODES}

    def review(self, rank: np.ndarray) -> None:
        for name in BENCHMARK_INDEX_CODES:
            self.weights[name] = self.shares * _members(rank, INDEX_COMPONENTS[name], rank.size)

    def record(self, day: int, gain: np.ndarray, base: np.ndarray) -> None:
        for name, weight in self.weights.items():
            denominator = weight @ base
            self.returns[name][day] = (weight @ gain) / denominator if denominator else 0.0


def _simulate(
    rng: np.random.Generator,
    universe: _Universe,
    dates: list[str],
    suspended: np.ndarray,
    events: _ExRights,
    params: MarketParameters,
) -> _Simulated:
    """Walk the market day by day; each day is a handful of vector operations over stocks."""
    n_days, n_stocks = suspended.shape
    shape = (n_days, n_stocks)
    # Every row is written whole below, so the matrices need no initial fill.
    close, open_, buy, sell = (np.empty(shape) for _ in range(4))
    can_buy, cant_sell = np.empty(shape, dtype=bool), np.empty(shape, dtype=bool)
    market = _market_factor(rng, n_days, params)
    sector = rng.normal(0.0, 0.007, (n_days, _N_INDUSTRIES + 1))
    rebalances = _rebalance_rows(dates)
    member_rank = np.full((rebalances.size, n_stocks), -1, dtype=np.int64)
    book = _BenchmarkBook(n_days, n_stocks, universe.shares)
    event_bounds = np.searchsorted(events.row, np.arange(n_days + 1))
    p_gap = params.missing_price_probability

    calendar = np.array(dates, dtype=np.int32)
    last_close = universe.first_price.copy()  # close before each day, carried over suspensions
    for day, (normal, uniform) in enumerate(_daily_draws(rng, n_days, n_stocks)):
        listed, first = universe.listing_row <= day, universe.listing_row == day
        halted, trading = listed & suspended[day], listed & ~suspended[day]
        if day in rebalances:  # index reviews rank by the size at the previous close
            seasoned = universe.listing_row <= max(day - params.min_member_age, 0)
            rank = _size_rank(universe.shares * last_close, seasoned)
            member_rank[np.searchsorted(rebalances, day)] = rank
            book.review(rank)

        split, dividend = _ex_rights_of_day(
            events, event_bounds[day], event_bounds[day + 1], last_close, n_stocks
        )
        reference, up, down = (
            prices[0]
            for prices in _limit_prices(
                last_close[None],
                split[None],
                dividend[None],
                universe,
                calendar,
                slice(day, day + 1),
            )
        )
        u_jump, u_lock, u_gap = uniform
        ret = _stock_returns(
            universe, market[day], sector[day], normal[0], u_jump, first, params.jump_probability
        )
        lock = u_lock < params.limit_lock_probability
        c, o, b, s = _day_prices(reference, up, down, ret, universe, first, normal, lock)

        # A suspended day carries the last close (vendors' convention): the previous close
        # of the resume day is then the real last close.
        close[day] = np.where(trading, c, np.where(halted, last_close, np.nan))
        open_[day] = np.where(trading, o, np.nan)
        buy_ok = trading & ~(u_gap < p_gap / 2)
        sell_ok = trading & ~((u_gap >= p_gap / 2) & (u_gap < p_gap))
        buy[day] = np.where(buy_ok, b, np.nan)
        sell[day] = np.where(sell_ok, s, np.nan)
        # A trading day without an execution price is no day to trade that way.
        can_buy[day] = ~(buy[day] == up) & ~halted & ~(trading & ~buy_ok)
        cant_sell[day] = (sell[day] == down) | halted | (trading & ~sell_ok)

        counted = trading & ~first
        gain = np.where(counted, c * split + dividend - last_close, 0.0)
        book.record(day, gain, np.where(counted, last_close, 0.0))
        last_close[trading] = c[trading]

    return _Simulated(close, open_, buy, sell, can_buy, cant_sell, member_rank, book.returns)


# --------------------------------------------------------------------------- market


def _handout(frame: pd.DataFrame) -> pd.DataFrame:
    """A frame the caller may modify without touching the market's own copy."""
    copy_on_write = int(pd.__version__.split(".")[0]) >= 3 or pd.get_option("mode.copy_on_write")
    return frame.copy(deep=not copy_on_write)


class SandboxMarket:
    """A generated market. Every table method returns new frames owned by the caller.

    Attributes:
        dates: trading dates (``YYYYMMDD`` text, ascending).
        codes: stock codes (six-digit text, ascending).
        board: board name per stock; ``limit_rate``: its daily limit rate under the rules
            of today (ChiNext traded within 10 % before 2020-08-24).
        float_shares: free-float shares per stock; times the close, the size that index
            reviews rank by.
        listing_date: first trading date per stock (the first date of the window for stocks
            listed before it).
        seed: the seed the market was generated from.
    """

    def __init__(
        self,
        dates: list[str],
        universe: _Universe,
        suspended: np.ndarray,
        events: _ExRights,
        simulated: _Simulated,
        seed: int,
    ) -> None:
        self.seed = seed
        self.dates = pd.Index(dates, dtype=str)
        self.codes = pd.Index(universe.codes.tolist(), dtype=str)
        self.board = pd.Series(
            np.array(_BOARD_NAMES)[universe.board], index=self.codes, name="board"
        )
        self.limit_rate = pd.Series(universe.limit, index=self.codes, name="limit_rate")
        self.float_shares = pd.Series(universe.shares, index=self.codes, name="float_shares")
        self.listing_date = pd.Series(
            self.dates[np.maximum(universe.listing_row, 0)].to_numpy(),
            index=self.codes,
            name="listing_date",
            dtype=str,
        )
        self._universe = universe
        self._suspended = suspended
        self._events = events
        self._sim = simulated
        self._rebalances = _rebalance_rows(dates)
        self._prices = {
            key: self._frame(values)
            for key, values in (
                ("close_price", simulated.close),
                ("open_price", simulated.open),
                ("buy_price", simulated.buy),
                ("sell_price", simulated.sell),
            )
        }

    # ------------------------------------------------------------------ helpers

    def __repr__(self) -> str:
        return (
            f"SandboxMarket({len(self.codes)} stocks x {len(self.dates)} days, "
            f"{self.dates[0]}..{self.dates[-1]}, seed={self.seed})"
        )

    def _frame(self, values: np.ndarray) -> pd.DataFrame:
        return pd.DataFrame(values, index=self.dates, columns=self.codes, copy=False)

    def _listed(self) -> np.ndarray:
        return np.arange(len(self.dates))[:, None] >= self._universe.listing_row[None, :]

    def _dense_events(self, values: np.ndarray, fill: float) -> np.ndarray:
        out = np.full(self._suspended.shape, fill)
        out[self._events.row, self._events.col] = values
        return out

    def _price(self, key: str) -> pd.DataFrame:
        return _handout(self._prices[key])

    # ------------------------------------------------------------------ raw factors

    def suspended(self) -> pd.DataFrame:
        """True on suspended stock-days."""
        return self._frame(self._suspended.copy())

    def events(self) -> pd.DataFrame:
        """Ex-rights days: split (new shares per old share, NaN none), dividend (cash per
        share after tax, NaN none) and the pre-tax cash per ten shares as quoted."""
        ev = self._events
        table = pd.DataFrame(
            {
                "date": self.dates[ev.row].to_numpy(),
                "code": self.codes[ev.col].to_numpy(),
                "split": ev.split_per_ten / 10,
                "dividend": ev.dividend_per_ten / 10 * DIVIDEND_TAX_KEEP,
                "dividend_per_ten_pre_tax": ev.dividend_per_ten,
            }
        )
        return table[table["split"].notna() | table["dividend"].notna()].reset_index(drop=True)

    def limit_prices(self) -> tuple[pd.DataFrame, pd.DataFrame]:
        """``(limit_up, limit_down)`` tables; NaN before listing and on listing days."""
        close = pd.DataFrame(self._sim.close).ffill().to_numpy()
        previous = np.empty_like(close)
        previous[0] = self._universe.first_price
        previous[1:] = close[:-1]
        np.copyto(previous, self._universe.first_price, where=np.isnan(previous))
        del close
        split = self._dense_events(
            np.where(np.isnan(self._events.split_per_ten), 10.0, self._events.split_per_ten) / 10,
            1.0,
        )
        dividend = self._dense_events(
            np.nan_to_num(self._events.dividend_per_ten / 10 * DIVIDEND_TAX_KEEP, nan=0.0), 0.0
        )
        calendar = self.dates.to_numpy().astype(np.int32)
        _, up, down = _limit_prices(
            previous, split, dividend, self._universe, calendar, slice(0, calendar.size)
        )
        return self._frame(up), self._frame(down)

    def source_tables(self) -> dict[str, pd.DataFrame]:
        """The ten source factors, keyed by factor name, as a factor query would return them."""
        return dict(self.iter_source_tables())

    def iter_source_tables(self) -> Iterator[tuple[str, pd.DataFrame]]:
        """The source factors one at a time (a large market need not hold all ten at once)."""
        listed = self._listed()
        yield (
            "rq_industry_exposure_new",
            self._frame(np.where(listed, self._universe.industry, np.nan)),
        )
        limit_up, limit_down = self.limit_prices()
        yield "limit_down", limit_down
        del limit_down
        yield "limit_up", limit_up
        del limit_up
        yield "Close", self._price("close_price")
        yield "Open", self._price("open_price")
        yield "tick_vwap_price_935_1005", self._price("buy_price")
        yield "tick_vwap_price_925_1000", self._price("sell_price")
        yield (
            "split_coefficient_to",
            self._frame(self._dense_events(self._events.split_per_ten, np.nan)),
        )
        yield (
            "rq_get_dividend",
            self._frame(self._dense_events(self._events.dividend_per_ten, np.nan)),
        )
        yield (
            "rq_is_suspended",
            self._frame(np.where(listed, self._suspended.astype(float), np.nan)),
        )

    def _membership(self, name: str) -> np.ndarray:
        segment = np.searchsorted(self._rebalances, np.arange(len(self.dates)), side="right") - 1
        return _members(self._sim.member_rank, name, len(self.codes))[segment]

    def component_factor_tables(self) -> dict[str, pd.DataFrame]:
        """Raw index-membership factors keyed by factor name: 1 member, 0 listed non-member,
        NaN before listing."""
        return dict(self.iter_component_factor_tables())

    def iter_component_factor_tables(self) -> Iterator[tuple[str, pd.DataFrame]]:
        """The index-membership factors one at a time."""
        listed = self._listed()
        for name in COMPONENT_FACTOR_NAMES:
            yield name, self._frame(np.where(listed, self._membership(name).astype(float), np.nan))

    def index_daily(self) -> pd.DataFrame:
        """Daily rows of the benchmark indices: date, ukey, close, daily_return."""
        parts = []
        for name, code in BENCHMARK_INDEX_CODES.items():
            returns = self._sim.benchmark_returns[name]
            parts.append(
                pd.DataFrame(
                    {
                        "date": self.dates.to_numpy(),
                        "ukey": code,
                        "close": 1000.0 * np.cumprod(1.0 + returns),
                        "daily_return": returns,
                    }
                )
            )
        return pd.concat(parts, ignore_index=True)

    # ------------------------------------------------------------------ derived tables

    def benchmark_dict(self) -> dict[str, pd.Series]:
        """Daily return series of the benchmarks "000852", "000300" and "000905"."""
        return {
            name: pd.Series(
                self._sim.benchmark_returns[name].copy(),
                index=self.dates.copy(),
                name="index_daily_return",
            )
            for name in BENCHMARK_INDEX_CODES
        }

    def _base_tables(self) -> dict[str, pd.DataFrame]:
        """The twelve base datasets, derived from the source factors by the data builder's own
        derivation, so the sandbox and prepared data never disagree."""
        from lumora.backtest._prepare import GroupPreparedDataBuilder

        builder = GroupPreparedDataBuilder(self.dates[0], self.dates[-1])
        tables = builder._build_from_matrices(self.source_tables())
        built: dict[str, pd.DataFrame] = {}
        for name, table in tables.items():
            assert table is not None  # tables are released only when asked to
            built[name] = table
        return built

    def engine_tables(self) -> dict[str, pd.DataFrame]:
        """The eight market tables of the strategy engine.

        ``prev_close`` is the previous trading day's raw close (NaN on a listing day and after
        a suspended day); the engine values a held share as ``split * close + dividend -
        prev_close``, so the split and dividend of the day carry the ex-rights adjustment.
        """
        base = self._base_tables()
        return {key: base[key] for key in ENGINE_TABLE_KEYS}

    def dataset_tables(self) -> dict[str, object]:
        """The prepared datasets: twelve base tables, five index-membership tables (1.0 member,
        NaN otherwise) under their dataset keys, and ``benchmark_dict``."""
        data: dict[str, object] = dict(self._base_tables())
        for name in COMPONENT_FACTOR_NAMES:
            data[component_dataset_key(name)] = self._frame(
                np.where(self._membership(name), 1.0, np.nan)
            )
        data["benchmark_dict"] = self.benchmark_dict()
        return data


def generate_market(
    n_stocks: int = 300,
    n_days: int = 500,
    seed: int = 0,
    start: object = "20150105",
    params: MarketParameters | None = None,
) -> SandboxMarket:
    """Simulate ``n_stocks`` stocks over ``n_days`` trading days starting on or after ``start``.

    The result depends only on the arguments: the same seed gives the same market.

    Raises:
        TypeError: if ``n_stocks``, ``n_days`` or ``seed`` is not an integer.
        ValueError: if ``n_stocks`` is not between 1 and 7,999 or ``n_days`` is below 2.
    """
    for label, value in (("n_stocks", n_stocks), ("n_days", n_days), ("seed", seed)):
        if isinstance(value, bool) or not isinstance(value, (int, np.integer)):
            raise TypeError(f"{label} must be an integer, not {type(value).__name__}")
    if not 1 <= n_stocks <= MAX_STOCKS:
        raise ValueError(f"n_stocks must be between 1 and {MAX_STOCKS}, got {n_stocks}")
    if n_days < 2:
        raise ValueError(f"n_days must be at least 2, got {n_days}")
    params = params or MarketParameters()
    rng = np.random.default_rng(seed)
    dates = trading_calendar(start, int(n_days))
    universe = _draw_universe(rng, int(n_stocks), int(n_days), params)
    suspended = _draw_suspensions(rng, universe, int(n_days), params)
    events = _draw_ex_rights(rng, universe, dates, suspended, params)
    simulated = _simulate(rng, universe, dates, suspended, events, params)
    return SandboxMarket(dates, universe, suspended, events, simulated, int(seed))
