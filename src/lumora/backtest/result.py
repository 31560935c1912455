"""Records returned by the backtest service.

Each record is built by keyword, exposes its fields as attributes and pickles, so loaded
data and results can be handed to worker processes. The ``repr`` stays short: shapes and
headline figures rather than whole tables.
"""

from __future__ import annotations

import math
import os
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    import pandas as pd

__all__ = [
    "BacktestData",
    "BacktestResult",
    "FactorAnalysis",
    "StrategyAnalysis",
    "StrategyBacktestResult",
]

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
class FactorAnalysis:
    """The factor analysis of a group backtest, computed natively in the same run.

    Figures are fractions (0.05 is 5 %); correlations and ratios plain numbers. Forward
    returns run from the open after a date to the open h trading days later (h in 1, 5,
    10, 20): horizon 1 takes the opens as traded, exactly as ``rank_ic`` of the result;
    longer horizons take them adjusted for splits and dividends.

    ``ic`` / ``rank_ic``: dates x ``horizon_days``, the Pearson / Spearman correlation of
    the factor and the forward return over the ranked stocks (NaN where undefined; column 1
    of ``rank_ic`` is the result's ``rank_ic``). ``ic_summary``: per (``measure``,
    ``horizon_days``) the mean, sample ``std``, ``ir`` (mean / std, daily), ``t_stat`` and
    two-sided ``p_value`` of the mean, ``skew``, excess ``kurtosis`` (population moments),
    ``share_positive`` and ``days``; read down a measure it is the IC decay.
    ``monthly_rank_ic``: year x month mean of the horizon-1 Rank IC. ``group_turnover``:
    dates x groups, the share of a group's members that were not in it the date before.
    ``rank_autocorrelation``: correlation of the stocks' factor ranks with the date before.
    ``coverage``: ranked stocks over stocks with a valid close, per date.
    ``monotonicity``: Spearman correlation of group number and mean daily group return.
    ``group_performance``: per group and ``"top_minus_bottom"`` (the highest group number
    minus the lowest), ``annual_return`` (mean daily x 252), ``sharpe``, ``max_drawdown``
    (<= 0, of the additive net value, in capital) and ``turnover_daily`` (mean).
    ``summary``: the headline figures the batch summary shows.
    """

    ic: pd.DataFrame
    rank_ic: pd.DataFrame
    ic_summary: pd.DataFrame
    monthly_rank_ic: pd.DataFrame
    group_turnover: pd.DataFrame
    rank_autocorrelation: pd.Series
    coverage: pd.Series
    group_performance: pd.DataFrame
    monotonicity: float
    summary: dict[str, float]

    def __repr__(self) -> str:
        s = self.summary
        return (
            f"FactorAnalysis(rank_ic_mean={_number(s.get('rank_ic_mean'), '{:.4f}')}, "
            f"rank_ic_t_stat={_number(s.get('rank_ic_t_stat'), '{:.2f}')}, "
            f"long_short_sharpe={_number(s.get('long_short_sharpe'), '{:.2f}')}, "
            f"monotonicity={_number(self.monotonicity, '{:.2f}')}, "
            f"coverage={_number(s.get('coverage'), '{:.1%}')})"
        )


@dataclass(kw_only=True, eq=False)
class BacktestResult:
    """Outcome of a factor group backtest; ``analysis`` holds its factor analysis
    (``FactorAnalysis``), None for a result built without one. ``name`` is the request's
    own name (its ``plot_filename``, a batch job's name): the title of its charts, pages
    and report; ``factor_name`` is the factor table's own label (its column axis name)."""

    factor_name: str
    best_group: int
    group_daily_return: pd.DataFrame
    group_cumulative_return: pd.DataFrame
    rank_ic: pd.Series
    benchmark_summary: pd.DataFrame
    plot_paths: dict[str, str] = field(default_factory=dict)
    analysis: FactorAnalysis | None = None
    parameters: dict[str, Any] = field(default_factory=dict)
    name: str = ""

    @property
    def title(self) -> str:
        """The name the result is shown under: the request's, else the factor table's."""
        return self.name or self.factor_name

    def to_html(self, path: str | os.PathLike[str]) -> str:
        """Write one self-contained HTML report (parameters, headline figures, the analysis
        page and any chart of the run embedded, tables as HTML) at ``path``; it opens in a
        browser with no server and no notebook. Returns the path."""
        from lumora.backtest.report import result_html, write_report

        return write_report(result_html(self), path)

    def plot_analysis(self, path: str | os.PathLike[str]) -> str:
        """Draw the factor analysis page (IC by horizon, monthly Rank IC, returns and
        turnover by group, IC summary) as a PNG at ``path``; returns the path."""
        if self.analysis is None:
            raise ValueError("this result carries no factor analysis")
        from lumora.backtest._core import plot_factor_analysis

        return plot_factor_analysis(self.analysis, path, self.title)

    def __repr__(self) -> str:
        return (
            f"BacktestResult(factor_name={self.factor_name!r}, best_group={self.best_group}, "
            f"group_daily_return={_describe(self.group_daily_return)}, "
            f"period={_period(self.group_daily_return)}, plot_paths={self.plot_paths!r})"
        )


@dataclass(kw_only=True, eq=False)
class StrategyAnalysis:
    """The strategy analysis of a backtest, computed natively from its total frame.

    Figures are fractions of the capital (0.05 is 5 %). The net value is the statistics'
    own (``cumulative_return``: 1 + the running sum of the daily returns, rebased on the
    first day), so every figure the statistics also give agrees with them: ``max_drawdown``
    is ``-stats["max_dd"]``, ``calmar`` is ``stats["annual_return"] / 100 / stats["max_dd"]``
    and ``information_ratio`` is ``stats["extra_sharp"]``. Returns cumulate additively: a
    month's or a year's return is the sum of its daily returns. Figures that compound the
    daily returns say so (``cagr``, ``max_drawdown_compounded``, the annualising of
    ``alpha``); they follow the definitions of the open portfolio libraries (empyrical).

    ``summary``:

    - additive: ``max_drawdown`` (<= 0, the deepest fall of the net value below its running
      peak), ``calmar`` (the statistics' annual return over ``-max_drawdown``),
      ``sortino`` (mean x 252 over the root mean square of the negative days x sqrt 252),
      ``var_95_daily`` (5th percentile of the daily returns) and ``cvar_95_daily`` (mean of
      the days at or below it), ``skew`` and excess ``kurtosis`` (population moments), the
      best and worst day, month and year, ``traded_value_turnover_annual`` (value bought
      and sold over the capital, per year), ``annual_volatility`` (sample standard
      deviation of the daily returns x sqrt 252), ``tail_ratio`` (95th percentile of the
      daily returns over the absolute 5th percentile) and ``omega`` (sum of the gains over
      the sum of the losses, threshold 0);
    - compounded: ``cagr`` (prod(1 + r) ** (252 / days) - 1), ``max_drawdown_compounded``
      (<= 0, the deepest fall of prod(1 + r) relative to its running peak, the capital
      before the first day counting as a peak) and ``stability`` (R² of the running sum of
      log(1 + r) against time);
    - against the primary benchmark (``benchmark_name``, the total frame's
      ``index_daily_return``; "" and NaN without one): ``beta`` (covariance of the daily returns with the benchmark's over the
      benchmark's variance), ``alpha`` ((1 + mean of r - beta x benchmark) ** 252 - 1) and
      ``information_ratio`` (mean over the sample standard deviation of the excess daily
      returns, x sqrt 252).

    ``drawdowns``: the five deepest falls of the net value, with ``peak`` (the last date at
    the peak), ``trough``, ``recovery`` (None while under water), ``depth`` (<= 0) and
    ``days``, the number of trading days (rows of the backtest) from the peak to the
    recovery, or to the last date while under water. ``monthly_returns``: year x month.
    ``yearly_returns``. ``rolling_sharpe_126``, ``rolling_volatility_126`` and
    ``rolling_beta_126`` (on the primary benchmark, as ``beta``): over the last 126 trading
    days, NaN before. ``traded_value``: value bought plus value sold per day, in currency
    (the fixed-capital rule re-sizes holdings every day, so it counts more than the changes
    of the weights).

    With ``record_positions=True`` (else None), by trade day of ``positions``: a holding's
    value is its shares at the day's close and its weight that value over the capital
    (``total_money``, which the engine re-sizes to every day). ``holdings``:
    ``holdings_count``, ``top10_share`` (the ten largest values over the value held),
    ``herfindahl`` (sum of the squared shares of the value held; 1 / n for n equal
    holdings), ``gross_exposure`` (value held over the capital); the shares are NaN on a
    day holding nothing. ``top_positions``: the ten stocks of the largest ``mean_weight``
    (over every trade day, 0 when not held), with ``max_weight`` and ``days_held``.
    ``industry_exposure``: dates x industry (the codes of the loaded ``industry_matrix`` as
    text, "unclassified" for a stock without one, the only column when no industry table
    was loaded), each industry's share of the value held.
    """

    summary: dict[str, float]
    drawdowns: pd.DataFrame
    monthly_returns: pd.DataFrame
    yearly_returns: pd.Series
    rolling_sharpe_126: pd.Series
    rolling_volatility_126: pd.Series
    rolling_beta_126: pd.Series
    traded_value: pd.Series
    holdings: pd.DataFrame | None = None
    top_positions: pd.DataFrame | None = None
    industry_exposure: pd.DataFrame | None = None
    benchmark_name: str = ""

    def __repr__(self) -> str:
        s = self.summary
        return (
            f"StrategyAnalysis(sortino={_number(s.get('sortino'), '{:.2f}')}, "
            f"calmar={_number(s.get('calmar'), '{:.2f}')}, "
            f"max_drawdown={_number(s.get('max_drawdown'), '{:.2%}')}, "
            f"var_95_daily={_number(s.get('var_95_daily'), '{:.2%}')}, "
            f"traded_value_turnover_annual={_number(s.get('traded_value_turnover_annual'), '{:.2f}')})"
        )


@dataclass(kw_only=True, eq=False)
class StrategyBacktestResult:
    """Outcome of a target-weight strategy backtest: daily returns, net value, statistics,
    excess-return metrics against the benchmarks and the chart paths; ``analysis`` (a
    ``StrategyAnalysis``) and, with ``record_positions=True``, ``positions`` (date, stock,
    shares held after the day's trades and their ``value`` at the day's close, for every
    trade day of the engine) and ``trades`` (date, stock, side, shares, price, value, cost).

    Two benchmark annual returns stand side by side, each by its own definition:
    ``stats["benchmark_annual_return"]`` (percentage points) is the gain of the primary
    benchmark's net value over the backtest divided by its years, as the strategy's own
    ``annual_return``; ``benchmark_summary["benchmark_annual_return"]`` (a fraction) is the
    mean daily return x 252 of each benchmark over the dates it has, as the excess figures
    beside it."""

    strategy_name: str
    daily_return: pd.Series
    cumulative_return: pd.Series
    stats: dict[str, float]
    benchmark_summary: pd.DataFrame
    plot_paths: dict[str, str]
    analysis: StrategyAnalysis | None = None
    positions: pd.DataFrame | None = None
    trades: pd.DataFrame | None = None
    parameters: dict[str, Any] = field(default_factory=dict)

    def to_html(self, path: str | os.PathLike[str]) -> str:
        """Write one self-contained HTML report (parameters, statistics, the analysis page
        and any chart of the run embedded, tables as HTML) at ``path``; it opens in a
        browser with no server and no notebook. Returns the path."""
        from lumora.backtest.report import result_html, write_report

        return write_report(result_html(self), path)

    def plot_analysis(self, path: str | os.PathLike[str]) -> str:
        """Draw the strategy analysis page (monthly and yearly returns, rolling Sharpe and
        volatility, traded value, underwater curve, worst drawdowns) as a PNG at ``path``;
        returns the path."""
        if self.analysis is None:
            raise ValueError("this result carries no strategy analysis")
        from lumora.backtest._weightbook import plot_strategy_analysis

        return plot_strategy_analysis(self.analysis, self.daily_return, path, self.strategy_name)

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
