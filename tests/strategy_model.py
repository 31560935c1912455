"""A small, deliberately plain pandas/numpy model of the strategy backtest.

It is the oracle the native engine is compared with: label alignment by ``reindex``, the
per-day share bookkeeping as a Python loop of numpy vector operations, and the total
frame, statistics and benchmark summary written with ordinary pandas calls. Speed and
memory are of no concern here; readability is.
"""

from __future__ import annotations

import math
from collections.abc import Mapping
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import pandas as pd

from engine_keys import MARKET_KEYS as ENGINE_MARKET_KEYS
from engine_keys import market_and_costs

TRADING_DAYS_PER_YEAR = 252

MARKET_KEYS = tuple(ENGINE_MARKET_KEYS)
TOTAL_FRAME_COLUMNS = [
    "daily_return",
    "index_daily_return",
    "long",
    "close_net_value",
    "max_drowdown",
    "extra_return",
    "extra_max_drowdown",
    "extra_daily_return",
]
_HEADLINE_STATS = ["annual_return", "long_sharp", "max_dd"]
_BENCHMARK_STATS = ["benchmark_annual_return", "benchmark_sharp"]
_EXCESS_STATS = ["extra_annual_return", "extra_sharp", "extra_max_dd"]
_TRADING_STATS = ["return_corr", "win_rate", "excess_win_rate", "holding_count", "turnover"]
STATS_KEYS = [*_HEADLINE_STATS, *_BENCHMARK_STATS, *_EXCESS_STATS, *_TRADING_STATS]
# The all-missing mapping lists the excess keys before the benchmark keys.
EMPTY_STATS_KEYS = [*_HEADLINE_STATS, *_EXCESS_STATS, *_BENCHMARK_STATS, *_TRADING_STATS]
SUMMARY_COLUMNS = [
    "benchmark_name",
    "benchmark_annual_return",
    "excess_annual_return",
    "excess_sharpe",
    "excess_max_dd",
]


@dataclass
class WeightbookResult:
    strategy_name: str
    daily_return: pd.Series
    cumulative_return: pd.Series
    stats: dict[str, float]
    benchmark_summary: pd.DataFrame
    plot_paths: dict[str, str] = field(default_factory=dict)


def safe_sharpe(returns: pd.Series, periods: float = TRADING_DAYS_PER_YEAR) -> float:
    values = np.asarray(returns, dtype=float)
    if len(values) < 2:
        return math.nan
    with np.errstate(invalid="ignore"):
        mean = float(values.mean())
        sd = float(values.std(ddof=1))
    if not (math.isfinite(mean) and math.isfinite(sd)):
        return math.nan
    if sd <= 1e-12 * max(1.0, abs(mean)):  # constant up to rounding
        return math.nan
    return mean / sd * math.sqrt(periods)


def _flags(table: pd.DataFrame, index: pd.Index, columns: pd.Index, missing: bool) -> np.ndarray:
    values = table.reindex(index=index, columns=columns).to_numpy(dtype=float)
    return np.where(np.isnan(values), missing, values != 0)


def build_market_arrays(
    pnl_index: pd.Index, columns: pd.Index, *tables: pd.DataFrame
) -> dict[str, np.ndarray]:
    can_buy, cant_sell, split, dividend, close, prev_close, buy, sell = tables

    def prices(table: pd.DataFrame) -> np.ndarray:
        return table.reindex(index=pnl_index, columns=columns).to_numpy(dtype=float)

    return {
        "prev_close_arr": prices(prev_close),
        "can_buy_arr": _flags(can_buy, pnl_index, columns, missing=False),
        "cant_sell_arr": _flags(cant_sell, pnl_index, columns, missing=True),
        "close_arr": prices(close),
        "buy_price_arr": prices(buy),
        "sell_price_arr": prices(sell),
        "split_arr": prices(split),
        "dividend_arr": prices(dividend),
    }


def calc_strategy_vwap_daily_return(
    signal_matrix: pd.DataFrame, *tables: pd.DataFrame, **keywords: Any
) -> pd.Series:
    """Called as the engine is: the market tables in ``MARKET_KEYS`` order or by name, and
    the costs by name."""
    market, costs = market_and_costs(tables, keywords)
    total_money, fee, rule_fee, lot_size = (
        float(costs["total_money"]),
        float(costs["fee"]),
        float(costs["rule_fee"]),
        int(costs["lot_size"]),
    )
    signal = signal_matrix.shift(1).dropna(how="all")
    if signal.empty:
        return pd.Series(dtype=float)
    m = build_market_arrays(signal.index, signal.columns, *(market[k] for k in MARKET_KEYS))
    prev_close_arr, can_buy_arr, cant_sell_arr = (
        m["prev_close_arr"],
        m["can_buy_arr"],
        m["cant_sell_arr"],
    )
    signal_arr = signal.to_numpy(dtype=float)
    with np.errstate(invalid="ignore", divide="ignore"):
        raw_target = total_money * signal_arr / (prev_close_arr * lot_size)
        valid = np.isfinite(signal_arr) & np.isfinite(prev_close_arr) & (prev_close_arr > 0)
        target = np.where(valid, np.floor(raw_target) * lot_size, 0.0)

    n_days, n_stocks = signal_arr.shape
    real_target = np.zeros(n_stocks)
    daily_cash = np.zeros(n_days)
    buy_factor, sell_factor = 1.0 + fee, 1.0 - fee - rule_fee
    for i in range(n_days):
        diff = target[i] - real_target
        real_buy = np.where((diff > 0) & can_buy_arr[i], diff, 0.0)
        sell = np.where((diff < 0) & ~cant_sell_arr[i], -diff, 0.0)
        hold = real_target - sell
        real_target = hold + real_buy
        close_row, prev_close_row = m["close_arr"][i], prev_close_arr[i]
        split_eff = np.where(np.isnan(m["split_arr"][i]), 1.0, m["split_arr"][i])
        dividend_eff = np.nan_to_num(m["dividend_arr"][i], nan=0.0)
        with np.errstate(invalid="ignore", over="ignore"):
            buy_coeff = np.nan_to_num(close_row - m["buy_price_arr"][i] * buy_factor, nan=0.0)
            hold_coeff = np.nan_to_num(split_eff * close_row - prev_close_row, nan=0.0)
            sell_coeff = np.nan_to_num(
                split_eff * m["sell_price_arr"][i] * sell_factor - prev_close_row, nan=0.0
            )
            daily_cash[i] = (
                real_buy @ buy_coeff
                + hold @ hold_coeff
                + hold @ dividend_eff
                + sell @ sell_coeff
                + sell @ dividend_eff
            )
    return pd.Series(daily_cash / total_money, index=signal.index)


def _smooth_strategy_weights(strategy_matrix: pd.DataFrame, rolling_window: int) -> pd.DataFrame:
    rolling_window = int(rolling_window)
    if rolling_window <= 1:
        return strategy_matrix
    smoothed = strategy_matrix.fillna(0.0).rolling(rolling_window).mean().dropna(how="all")
    return smoothed.where(smoothed != 0)


def _build_total_backtesting_frame(total_backtesting: pd.DataFrame) -> pd.DataFrame:
    total = total_backtesting.dropna().copy()
    if total.empty:
        return total
    total.loc[:, "extra_daily_return"] = total["daily_return"] - total["index_daily_return"]
    strategy_nav = total["daily_return"].cumsum() + 1
    total.loc[:, "long"] = strategy_nav / strategy_nav.iloc[0]
    if "close" in total.columns:
        first_close = total["close"].iloc[0]
        if not pd.isna(first_close) and first_close != 0:
            total.loc[:, "close_net_value"] = total["close"] / first_close
        else:
            total.loc[:, "close_net_value"] = total["index_daily_return"].cumsum() + 1
    else:
        close_proxy = total["index_daily_return"].cumsum() + 1
        total.loc[:, "close"] = close_proxy
        total.loc[:, "close_net_value"] = close_proxy / close_proxy.iloc[0]
    total.loc[:, "max_drowdown"] = total["long"] - total["long"].expanding().max()
    extra_cum = total["extra_daily_return"].cumsum()
    total.loc[:, "extra_return"] = extra_cum - extra_cum.iloc[0]
    extra_nav = total["extra_return"] + 1
    total.loc[:, "extra_max_drowdown"] = extra_nav - extra_nav.expanding().max()
    return total


def _cleaned(series: pd.Series) -> pd.Series:
    return series.replace([np.inf, -np.inf], np.nan).dropna()


def calc_strategy_stats(
    total_frame: pd.DataFrame, signal_df: pd.DataFrame | None
) -> dict[str, float]:
    total = total_frame.dropna().copy()
    if total.empty:
        return {key: math.nan for key in EMPTY_STATS_KEYS}
    daily = _cleaned(total["daily_return"])
    bench = _cleaned(total["index_daily_return"])
    extra = _cleaned(total["extra_daily_return"])
    trading_years = len(total) / TRADING_DAYS_PER_YEAR
    benchmark_total_return = total["close_net_value"].iloc[-1] - 1

    holding_count = turnover = math.nan
    if signal_df is not None and len(signal_df) > 0:
        values = signal_df.to_numpy(dtype=float)
        holding_count = float(np.isfinite(values).sum(axis=1).mean())
        if len(values) > 1:
            values_zero = np.nan_to_num(values, nan=0.0)
            turnover = float((np.abs(np.diff(values_zero, axis=0)).sum(axis=1) / 2.0).mean())

    def per_year(value: float) -> float:
        return value / trading_years * 100 if trading_years else math.nan

    return {
        "annual_return": per_year(total["long"].iloc[-1] - 1),
        "long_sharp": safe_sharpe(daily, periods=TRADING_DAYS_PER_YEAR),
        "max_dd": abs(total["max_drowdown"].min()),
        "benchmark_annual_return": per_year(benchmark_total_return),
        "benchmark_sharp": safe_sharpe(bench, periods=TRADING_DAYS_PER_YEAR),
        "extra_annual_return": per_year(total["extra_return"].iloc[-1]),
        "extra_sharp": safe_sharpe(extra, periods=TRADING_DAYS_PER_YEAR),
        "extra_max_dd": abs(total["extra_max_drowdown"].min()),
        "return_corr": total["daily_return"].corr(total["index_daily_return"]),
        "win_rate": float((daily > 0).mean()) if len(daily) else math.nan,
        "excess_win_rate": float((extra > 0).mean()) if len(extra) else math.nan,
        "holding_count": holding_count,
        "turnover": turnover,
    }


def _benchmark_summary(
    total: pd.DataFrame, benchmark_dict: Mapping[str, pd.Series] | None
) -> pd.DataFrame:
    rows = []
    for name, series in (benchmark_dict or {}).items():
        bm_aligned = series.reindex(total.index).dropna()
        common_idx = total.index[total.index.isin(bm_aligned.index)]
        if len(common_idx) == 0:
            continue
        bm = bm_aligned.loc[common_idx]
        excess_daily = total["daily_return"].loc[common_idx] - bm
        excess_cum = excess_daily.cumsum()
        rows.append(
            {
                "benchmark_name": name,
                "benchmark_annual_return": bm.mean() * TRADING_DAYS_PER_YEAR,
                "excess_annual_return": excess_daily.mean() * TRADING_DAYS_PER_YEAR,
                "excess_sharpe": safe_sharpe(excess_daily, periods=TRADING_DAYS_PER_YEAR),
                "excess_max_dd": (excess_cum - excess_cum.cummax()).min(),
            }
        )
    return pd.DataFrame(rows)


def run_strategy_backtest_core(
    strategy_matrix: pd.DataFrame,
    *tables: pd.DataFrame,
    benchmark_dict: dict[str, pd.Series] | None = None,
    benchmark_names: Any = "000852",
    rolling_window: float = 0,
    strategy_name: str = "strategy",
    **keywords: Any,
) -> WeightbookResult:
    """Called as the engine is: the market tables in ``MARKET_KEYS`` order or by name, the
    costs by name; chart keywords are accepted and ignored."""
    market, costs = market_and_costs(tables, keywords)
    close_price = market["close_price"]
    work = strategy_matrix.loc[strategy_matrix.index.isin(close_price.index)]
    common_columns = [c for c in work.columns if c in set(close_price.columns)]
    work = work[common_columns].dropna(axis=1, how="all")
    work = _smooth_strategy_weights(work, int(rolling_window))
    valid_signal = work.dropna(how="all")
    empty_stats = calc_strategy_stats(pd.DataFrame(columns=TOTAL_FRAME_COLUMNS), work)

    def empty() -> WeightbookResult:
        nothing = pd.Series(dtype=float)
        return WeightbookResult(strategy_name, nothing, nothing, empty_stats, pd.DataFrame(), {})

    if valid_signal.empty:
        return empty()
    daily_return = calc_strategy_vwap_daily_return(work, **market, **costs)
    if daily_return.empty:
        return empty()
    daily_return = daily_return[daily_return.index <= valid_signal.index[-1]]

    if isinstance(benchmark_names, str):
        primary_bm = benchmark_names
    elif isinstance(benchmark_names, list | tuple) and len(benchmark_names) > 0:
        # the first listed benchmark the mapping holds, else the first listed (no benchmark)
        held = [name for name in benchmark_names if benchmark_dict and name in benchmark_dict]
        primary_bm = held[0] if held else str(benchmark_names[0])
    else:
        primary_bm = next(iter(benchmark_dict), "000852") if benchmark_dict else "000852"
    df = pd.DataFrame({"daily_return": daily_return})
    if benchmark_dict is not None and primary_bm in benchmark_dict:
        bm_daily = (
            benchmark_dict[primary_bm].astype(float).replace([np.inf, -np.inf], np.nan).fillna(0.0)
        )
        bench = pd.DataFrame({"close": bm_daily.cumsum() + 1.0, "index_daily_return": bm_daily})
        if len(df):  # an empty frame has no first date; the inner join is empty anyway
            bench = bench[(bench.index >= df.index[0]) & (bench.index <= df.index[-1])]
        total_backtesting = pd.concat([df, bench], axis=1, join="inner")
    else:
        total_backtesting = df.copy()
        total_backtesting["index_daily_return"] = 0.0
        total_backtesting["close"] = 1.0
    if total_backtesting.empty:
        return empty()

    total = _build_total_backtesting_frame(total_backtesting)
    stats = calc_strategy_stats(total, work)
    summary = _benchmark_summary(total, benchmark_dict)
    return WeightbookResult(strategy_name, total["daily_return"], total["long"], stats, summary, {})
