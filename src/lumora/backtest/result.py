"""Records returned by the backtest service.

Each record is built by keyword, exposes its fields as attributes and pickles, so loaded
data and results can be handed to worker processes. The ``repr`` stays short: shapes and
headline figures rather than whole tables.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    import pandas as pd

__all__ = ["BacktestData", "BacktestResult", "StrategyBacktestResult"]

# Statistics shown in the repr of a strategy result, with how each is printed.
_HEADLINE_STATS: tuple[tuple[str, str], ...] = (
    ("annual_return", "{:.2f}%"),
    ("long_sharp", "{:.2f}"),
    ("max_dd", "{:.2%}"),
    ("extra_annual_return", "{:.2f}%"),
    ("extra_sharp", "{:.2f}"),
)


def _describe(value: Any) -> str:
    """A one-token description of a table, series, mapping or plain value."""
    shape = getattr(value, "shape", None)
    if isinstance(shape, tuple):
        return f"<{type(value).__name__} {'x'.join(str(n) for n in shape)}>"
    if isinstance(value, dict):
        return f"<{len(value)} entries>"
    return repr(value)


def _period(series: Any) -> str:
    index = getattr(series, "index", None)
    if index is None or len(index) == 0:
        return "no dates"
    return f"{index[0]}..{index[-1]}"


def _number(value: Any, form: str) -> str:
    try:
        number = float(value)
    except (TypeError, ValueError):
        return "n/a"
    return "n/a" if math.isnan(number) else form.format(number)


@dataclass(kw_only=True, eq=False)
class BacktestData:
    """Benchmark data loaded once and passed to any number of backtests.

    ``data`` maps dataset keys to date x stock tables, plus ``"benchmark_dict"`` mapping
    benchmark names to daily-return series.
    """

    data: dict[str, Any]

    def adjusted_close(self) -> pd.DataFrame:
        """Back-adjusted (total-return) close, dates x stocks.

        ``close_price`` and ``prev_close`` are raw prices: across a split or a cash
        dividend ``close / close.shift(n)`` shows a fall the holder never had. Here each
        stock's first close is kept and every later close is scaled by the day's
        ``(split * close + dividend) / previous close`` (split: shares one share became;
        dividend: cash per share, both from the loaded ``rq_get_split`` /
        ``rq_get_dividend`` tables), so ``adj / adj.shift(n) - 1`` is the holder's return
        over n trading days, dividends reinvested. Missing closes stay missing; across a
        suspension the level continues from the last close. Computed natively on each call.
        """
        from lumora.backtest._prepare import adjusted_close

        return adjusted_close(
            self.data["close_price"], self.data["rq_get_split"], self.data["rq_get_dividend"]
        )

    def __repr__(self) -> str:
        tables = {k: v for k, v in self.data.items() if hasattr(v, "columns")}
        benchmarks = self.data.get("benchmark_dict") or {}
        close = self.data.get("close_price")
        shape = _describe(close) if close is not None else "no close_price"
        return (
            f"BacktestData({len(tables)} tables, close_price {shape}, "
            f"{_period(close)}, benchmarks={sorted(benchmarks)})"
        )


@dataclass(kw_only=True, eq=False)
class BacktestResult:
    """Outcome of a factor group backtest."""

    factor_name: str
    best_group: int
    group_daily_return: pd.DataFrame
    group_cumulative_return: pd.DataFrame
    rank_ic: pd.Series
    benchmark_summary: pd.DataFrame
    plot_paths: dict[str, str] = field(default_factory=dict)

    def __repr__(self) -> str:
        return (
            f"BacktestResult(factor_name={self.factor_name!r}, best_group={self.best_group}, "
            f"group_daily_return={_describe(self.group_daily_return)}, "
            f"period={_period(self.group_daily_return)}, plot_paths={self.plot_paths!r})"
        )


@dataclass(kw_only=True, eq=False)
class StrategyBacktestResult:
    """Outcome of a target-weight strategy backtest: daily returns, net value, statistics,
    excess-return metrics against the benchmarks and the chart paths."""

    strategy_name: str
    daily_return: pd.Series
    cumulative_return: pd.Series
    stats: dict[str, float]
    benchmark_summary: pd.DataFrame
    plot_paths: dict[str, str]

    def __repr__(self) -> str:
        stats = self.stats if isinstance(self.stats, dict) else {}
        headline = ", ".join(
            f"{key}={_number(stats.get(key), form)}"
            for key, form in _HEADLINE_STATS
            if key in stats
        )
        return (
            f"StrategyBacktestResult(strategy_name={self.strategy_name!r}, "
            f"period={_period(self.daily_return)}, {headline or 'no statistics'}, "
            f"plot_paths={self.plot_paths!r})"
        )
