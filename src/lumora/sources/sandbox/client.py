"""The sandbox market as an SDK data source.

``SandboxClient`` answers the factor and index queries of data preparation from a
deterministic synthetic market (``market.py``), in the source conventions of the cloud
factor database: narrow rows of ``date``, exchange-qualified ``ukey``, ``value`` and
``factor``; split coefficients as new shares per ten old shares; cash dividends per ten
shares before tax; suspension and index membership as 1/0 on listed days.

Stable history. The market is generated once from a fixed start date and seed up to a
fixed *horizon* (31 December 2030 by default), far enough ahead of the local date, and
every query is cut at today. So the calendar advances day by day while the value of any
day never depends on when it is asked for. Only when today passes the horizon does the
horizon move on by whole steps of five years, which generates a different market; that
happens once in five years and never within a run that started before the horizon.
"""

from __future__ import annotations

import datetime as _dt
import functools
from collections.abc import Callable

import numpy as np
import pandas as pd

from lumora._labels import normalize_yyyymmdd
from lumora.logger import logger
from lumora.sources.base import MarketClient, MarketHistory
from lumora.sources.sandbox.market import SandboxMarket, generate_market, trading_calendar

__all__ = ["DEFAULT_HORIZON", "DEFAULT_START", "SandboxClient"]

DEFAULT_START = "20180102"
DEFAULT_HORIZON = "20301231"
HORIZON_STEP_YEARS = 5
# Factors that only take small whole values are kept in single precision (exact there).
_COMPACT_FACTORS = frozenset({"rq_industry_exposure_new", "rq_is_suspended"})

Today = str | _dt.date | Callable[[], object] | None


def _exchange_code(code: str) -> str:
    return f"{code}.XSHG" if code.startswith("6") else f"{code}.XSHE"


def _effective_horizon(horizon: str, today: str) -> str:
    year = int(horizon[:4])
    while today > horizon:
        year += HORIZON_STEP_YEARS
        horizon = f"{year}1231"
    return horizon


def _market(n_stocks: int, seed: int, start: str, horizon: str) -> SandboxMarket:
    first = _dt.datetime.strptime(start, "%Y%m%d").date()
    last = _dt.datetime.strptime(horizon, "%Y%m%d").date()
    calendar = trading_calendar(start, (last - first).days + 2)
    n_days = sum(1 for day in calendar if day <= horizon)
    logger.debug(
        "sandbox: generating %d stocks x %d days (%s..%s)", n_stocks, n_days, start, horizon
    )
    return generate_market(n_stocks, max(n_days, 2), seed=seed, start=start)


def _kept_until(today: str) -> str:
    """The last date a history is kept to: the end of today's month (queries never reach
    past today, and the history is generated afresh at most once a month)."""
    return today[:6] + "31"


@functools.lru_cache(maxsize=2)
def _history(n_stocks: int, seed: int, start: str, horizon: str, kept_until: str) -> MarketHistory:
    """The market generated up to ``horizon`` (so no value depends on the day it is asked
    for), kept up to ``kept_until``."""
    market = _market(n_stocks, seed, start, horizon)
    stop = max(1, int(np.searchsorted(market.dates.to_numpy(), kept_until, side="right")))
    factors: dict[str, np.ndarray] = {}
    # One table at a time: a large market never holds all of them twice.
    for tables in (market.iter_source_tables, market.iter_component_factor_tables):
        for name, frame in tables():
            compact = name in _COMPACT_FACTORS or name.startswith("rq_index_components_new_")
            dtype = np.float32 if compact else np.float64
            factors[name] = frame.iloc[:stop].to_numpy(dtype=dtype, copy=True)
            del frame
    codes = np.array(market.codes.tolist(), dtype=object)
    dates = np.array(market.dates[:stop].tolist(), dtype=object)
    index_daily = market.index_daily()
    index_daily["date"] = index_daily["date"].astype(str)
    index_daily = index_daily[index_daily["date"] <= dates[-1]].reset_index(drop=True)
    return MarketHistory(
        dates=dates,
        stamps=pd.to_datetime(dates, format="%Y%m%d").to_numpy(dtype="datetime64[ns]"),
        codes=codes,
        ukeys=np.array([_exchange_code(code) for code in codes], dtype=object),
        factors=factors,
        index_daily=index_daily,
    )


class SandboxClient(MarketClient):
    """SDK client of the offline sandbox market.

    Args:
        n_stocks, seed: size and seed of the generated market.
        start: first calendar day of the market (fixed; moving it changes every value).
        horizon: last day generated ahead of time; see the module text.
        today: the local date the calendar is cut at: ``None`` for the real local date
            at each query, a date or date text, or a callable returning one (for tests
            and for replaying a past day).
    """

    def __init__(
        self,
        n_stocks: int = 300,
        seed: int = 0,
        *,
        start: object = DEFAULT_START,
        horizon: object = DEFAULT_HORIZON,
        today: Today = None,
    ) -> None:
        self.n_stocks = int(n_stocks)
        self.seed = int(seed)
        self.start = _required_date(start, "start")
        self.horizon = _required_date(horizon, "horizon")
        if self.horizon < self.start:
            raise ValueError(f"horizon {self.horizon} lies before start {self.start}")
        self._today = today

    def source_identity(self) -> dict[str, str | int]:
        """Which market this client generates: its size, seed and start."""
        return {
            "kind": "sandbox",
            "n_stocks": self.n_stocks,
            "seed": self.seed,
            "start": self.start,
        }

    def __repr__(self) -> str:
        return f"SandboxClient(n_stocks={self.n_stocks}, seed={self.seed}, start={self.start!r})"

    def today(self) -> str:
        """The date queries are cut at, as ``YYYYMMDD`` text."""
        value = self._today() if callable(self._today) else self._today
        return _required_date(_dt.date.today() if value is None else value, "today")

    def _history(self) -> tuple[MarketHistory, int]:
        """The market and the number of its dates on or before today."""
        today = self.today()
        horizon = _effective_horizon(self.horizon, today)
        history = _history(self.n_stocks, self.seed, self.start, horizon, _kept_until(today))
        return history, int(np.searchsorted(history.dates, today, side="right"))

    def market(self) -> SandboxMarket:
        """The generated market behind this client (up to its horizon)."""
        today = self.today()
        return _market(
            self.n_stocks, self.seed, self.start, _effective_horizon(self.horizon, today)
        )


def _required_date(value: object, what: str) -> str:
    text = normalize_yyyymmdd(value)
    if text is None:
        raise ValueError(f"{what} must be a date, not None")
    return text
