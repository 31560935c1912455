"""Target-weight strategy backtests (C++): engine, runner, statistics and charts."""

import os
import threading
from typing import Any

import pandas as pd

from lumora.backtest.result import StrategyAnalysis

TRADING_DAYS_PER_YEAR: int
ROLLING_STABILITY_DAYS: int
MIN_ROLLING_STABILITY_DAYS: int
_MATPLOTLIB_PLOT_LOCK: threading.RLock

def calc_strategy_vwap_daily_return(
    signal_matrix: pd.DataFrame,
    can_buy_stock: pd.DataFrame,
    cant_sell_stock: pd.DataFrame,
    split_factor: pd.DataFrame,
    dividend_factor: pd.DataFrame,
    close_price: pd.DataFrame,
    prev_close: pd.DataFrame,
    buy_price: pd.DataFrame,
    sell_price: pd.DataFrame,
    total_money: float = 1e8,
    fee: float = 0.0001,
    rule_fee: float = 0.0005,
    lot_size: int = 200,
) -> pd.Series: ...
def _smooth_strategy_weights(
    strategy_matrix: pd.DataFrame, rolling_window: int
) -> pd.DataFrame: ...

class _WeightbookResult:
    strategy_name: str
    daily_return: pd.Series
    cumulative_return: pd.Series
    stats: dict[str, float]
    benchmark_summary: pd.DataFrame
    plot_paths: dict[str, str]
    analysis: StrategyAnalysis | None
    positions: pd.DataFrame | None
    trades: pd.DataFrame | None
    def __init__(
        self,
        *,
        strategy_name: str,
        daily_return: pd.Series,
        cumulative_return: pd.Series,
        stats: dict[str, float],
        benchmark_summary: pd.DataFrame,
        plot_paths: dict[str, str],
        analysis: StrategyAnalysis | None = None,
        positions: pd.DataFrame | None = None,
        trades: pd.DataFrame | None = None,
    ) -> None: ...

def run_strategy_backtest_core(
    strategy_matrix: pd.DataFrame,
    can_buy_stock: pd.DataFrame,
    cant_sell_stock: pd.DataFrame,
    split_factor: pd.DataFrame,
    dividend_factor: pd.DataFrame,
    close_price: pd.DataFrame,
    prev_close: pd.DataFrame,
    buy_price: pd.DataFrame,
    sell_price: pd.DataFrame,
    benchmark_dict: dict[str, pd.Series] | None = None,
    benchmark_names: str | list[str] | None = "000852",
    rolling_window: int = 0,
    total_money: float = 1e8,
    fee: float = 0.0001,
    rule_fee: float = 0.0005,
    plot_image_kind: str | None = "large",
    plot_save_path: str | os.PathLike[str] | None = None,
    strategy_name: str = "strategy",
    plot_title: str | None = None,
    record_positions: bool = False,
    analysis: bool = True,
    lot_size: int = 200,
    industry_matrix: pd.DataFrame | None = None,
) -> _WeightbookResult: ...
def _build_total_backtesting_frame(total_backtesting: pd.DataFrame) -> pd.DataFrame: ...
def calc_strategy_stats(
    total_frame: pd.DataFrame, signal_df: pd.DataFrame | None
) -> dict[str, float]: ...
def _build_market_arrays(*args: Any) -> dict[str, Any]: ...
def _with_datetime_index(frame: pd.DataFrame) -> pd.DataFrame: ...
def safe_sharpe(returns: Any, periods: float = 252.0) -> float: ...
def _period_return_drawdown_calmar(
    daily_return: pd.Series | None,
) -> tuple[float, float, float]: ...
def _calc_yearly_performance_metrics(daily: pd.DataFrame) -> pd.DataFrame: ...
def _build_weekly_net_value_frame(total: pd.DataFrame) -> pd.DataFrame: ...
def _configure_strategy_plot_style(plt: Any) -> None: ...
def _format_num(value: Any, digits: int = 2) -> str: ...
def _format_pct(value: Any, digits: int = 2) -> str: ...
def _format_pct_points(value: Any, digits: int = 2) -> str: ...
def _format_annual_excess(annual_excess: Any) -> str: ...
def plot_strategy_performance(
    total: pd.DataFrame,
    stats: dict[str, float],
    strategy_name: str = "strategy",
    plot_title: str | None = None,
    save_path: str | os.PathLike[str] = "./strategy_backtest.png",
    image_kind: str = "large",
    benchmark_name: str = "000852",
    rolling_window: int = 0,
) -> dict[str, str]: ...
def plot_weekly_net_value(
    total: pd.DataFrame,
    strategy_name: str = "strategy",
    plot_title: str | None = None,
    save_path: str | os.PathLike[str] = "./strategy_weekly_net_value.png",
    image_kind: str = "large",
    benchmark_name: str = "000852",
) -> dict[str, str]: ...
def plot_strategy_analysis(
    analysis: StrategyAnalysis,
    daily_return: pd.Series,
    save_path: str | os.PathLike[str],
    title: str = "strategy",
) -> str: ...
