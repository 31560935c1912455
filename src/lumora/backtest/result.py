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


def _market_work_keeper() -> Any:
    from lumora.backtest._core import MarketWorkKeeper

    return MarketWorkKeeper()


@dataclass(kw_only=True, eq=False)
class BacktestData:
    """Benchmark data loaded once and passed to any number of backtests.

    ``data`` maps dataset keys to date x stock tables, plus ``"benchmark_dict"`` mapping
    benchmark names to daily-return series.

    The market's share of the factor analysis (the opens adjusted for splits and dividends,
    every date's forward returns at 1, 5, 10 and 20 days and their cross-sectional ranks) is
    worked out at the first factor request on it and kept here for the later ones
    (``market_work``). Each request checks that the tables it derives from are still what it
    was built on (a digest of their cells and labels; tables read from memory-mapped files
    cannot change and are compared by address) and builds it again if not, so a table
    changed after loading is never read stale. It does not travel when the data is pickled:
    each process builds its own.
    """

    data: dict[str, Any]

    def __post_init__(self) -> None:
        # Not a field: it is no part of the data, and neither compared, copied nor pickled.
        self._market_work: Any = _market_work_keeper()

    def __getstate__(self) -> dict[str, Any]:
        state = self.__dict__.copy()
        state.pop("_market_work", None)
        return state

    def __setstate__(self, state: dict[str, Any]) -> None:
        self.__dict__.update(state)
        self._market_work = _market_work_keeper()

    @property
    def market_work(self) -> Any:
        """The market's work kept for the factor analysis (``lumora.backtest._core.MarketWork``:
        ``nbytes``, ``shape``), or None before the first factor request."""
        return self._market_work.kept

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

    Depth by horizon (``horizon_days`` 1, 5, 10, 20; for the turnover and autocorrelation
    the lag in dates of the factor): ``turnover_by_horizon``: group x horizon, the mean share
    of a group's members that were not in it h dates before (horizon 1 is
    ``group_turnover``'s mean). ``rank_autocorrelation_by_horizon``: dates x horizon, the
    correlation of the stocks' factor ranks with theirs h dates before.
    ``mean_return_by_group_bps``: group x horizon, cost-free: the mean over the dates of each
    group's mean h-day forward return less the date's mean over the ranked stocks with one
    (alphalens' ``mean_return_by_quantile`` with its default ``demeaned=True``), in basis
    points; ``mean_return_by_group_std_err_bps`` its standard error (sample std over the
    dates / sqrt(dates)). ``rank_ic_by_industry``: per code of ``industry_matrix``, the
    horizon-1 Rank IC within the industry, averaged over the dates (``rank_ic_mean``), the
    dates with one (``days``) and its mean number of stocks (``stocks_mean``).
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
    turnover_by_horizon: pd.DataFrame
    rank_autocorrelation_by_horizon: pd.DataFrame
    mean_return_by_group_bps: pd.DataFrame
    mean_return_by_group_std_err_bps: pd.DataFrame
    rank_ic_by_industry: pd.DataFrame

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

    # The service sets `_source`, the request's factor table and data held weakly for
    # factor_data(): no field (it is no part of the result), dropped when pickled.
    def __getstate__(self) -> dict[str, Any]:
        state = self.__dict__.copy()
        state.pop("_source", None)  # weak references do not pickle, and the tables stay here
        return state

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

    def factor_data(
        self,
        horizons: tuple[int, ...] = (1, 5, 10, 20),
        *,
        factor: pd.DataFrame | None = None,
        data: BacktestData | None = None,
    ) -> pd.DataFrame:
        """The request's factor data in alphalens' long layout, to hand to its performance
        and plotting functions unchanged: rows indexed by (``date``, ``asset``), dates as
        datetimes with the trading calendar as their frequency; columns the forward
        returns by horizon (``"1D"``, ``"5D"``, ``"10D"``, ``"20D"``, as alphalens names
        them, the returns this analysis ranks), ``factor`` (as ranked: cleaned and
        smoothed), ``group`` (the industry code, where the data has ``industry_matrix``)
        and ``factor_quantile`` (the request's group, 1 to ``group_num``).

        One row per date and ranked stock whose forward returns at every horizon in
        ``horizons`` are known (alphalens drops a row missing any); ask for one horizon to
        get exactly the rows the analysis uses at it.

        The groups are found again from the request's factor table and data, held weakly
        by the result while you hold them; otherwise pass them (``factor=``, ``data=``). If
        they no longer give the result's Rank IC (a table changed since), a ValueError says so.
        """
        source = self.__dict__.get("_source") or (None, None)
        held_factor = factor if factor is not None else (source[0]() if source[0] else None)
        held_data = data if data is not None else (source[1]() if source[1] else None)
        if held_factor is None or held_data is None:
            missing = " and ".join(
                name
                for name, value in (("factor", held_factor), ("data", held_data))
                if value is None
            )
            raise ValueError(
                f"the result no longer holds the request's {missing} (it was pickled, made by "
                f"hand, or the tables were freed): pass them, result.factor_data({missing}=...)"
            )
        from lumora.backtest._service import BacktestService

        service: Any = BacktestService(None)
        frame: pd.DataFrame = service._factor_data(self, held_factor, held_data, tuple(horizons))
        return frame

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
