"""Group backtest core (C++): market alignment, shared helpers and the factor group backtest."""

import os
from collections.abc import Sequence
from typing import Any

import numpy as np
import pandas as pd

from lumora.backtest.result import FactorAnalysis

def _build_market_arrays(
    pnl_index: pd.Index,
    columns: pd.Index,
    can_buy_stock: pd.DataFrame,
    cant_sell_stock: pd.DataFrame,
    split_factor: pd.DataFrame,
    dividend_factor: pd.DataFrame,
    close_price: pd.DataFrame,
    prev_close: pd.DataFrame,
    buy_price: pd.DataFrame,
    sell_price: pd.DataFrame,
) -> dict[str, np.ndarray]: ...
def _with_datetime_index(frame: pd.DataFrame) -> pd.DataFrame: ...
def safe_sharpe(returns: Any, periods: float = 252.0) -> float: ...

class MarketWork:
    @property
    def nbytes(self) -> int: ...
    @property
    def shape(self) -> tuple[int, int]: ...
    @property
    def ranked_horizons(self) -> list[int]: ...

class MarketWorkKeeper:
    def __init__(self) -> None: ...
    def get(self, data: dict[str, Any]) -> MarketWork | None: ...
    @property
    def kept(self) -> MarketWork | None: ...

class AlphaBacktestResult:
    # Read-only properties of the native result.
    @property
    def plot_paths(self) -> dict[str, dict[str, str]]: ...
    @property
    def best_group(self) -> int | float: ...
    @property
    def group_daily_return(self) -> pd.DataFrame: ...
    @property
    def group_cumulative_return(self) -> pd.DataFrame: ...
    @property
    def rank_ic(self) -> pd.Series: ...
    @property
    def analysis(self) -> FactorAnalysis | None: ...
    def benchmark_summary(self) -> pd.DataFrame: ...

def run_alpha_vwap_backtest_core(
    *,
    factor_matrix: pd.DataFrame,
    industry_matrix: pd.DataFrame | None = None,
    close_price_valid: pd.DataFrame,
    can_buy_stock: pd.DataFrame,
    cant_sell_stock: pd.DataFrame,
    split_factor: pd.DataFrame,
    dividend_factor: pd.DataFrame,
    close_price: pd.DataFrame,
    prev_close: pd.DataFrame,
    buy_price: pd.DataFrame,
    sell_price: pd.DataFrame,
    benchmark_dict: dict[str, pd.Series] | None = None,
    forward_return_rank_cache: pd.DataFrame | None = None,
    open_price: pd.DataFrame | None = None,
    benchmark_names: str | list[str] | None = "000852",
    rolling_window: int = 0,
    ascending: bool = False,
    group_num: int = 20,
    total_money: float = 1e8,
    fee: float = 0.0001,
    rule_fee: float = 0.0005,
    plot_image_kind: str | None = None,
    plot_save_path: str | None = None,
    factor_name: str = "factor",
    plot_title: str | None = None,
    lot_size: int = 200,
    analysis: bool = True,
    market_work: MarketWork | None = None,
    adjusted_ic: bool = False,
) -> AlphaBacktestResult: ...
def group_factor_data(
    *,
    factor_matrix: pd.DataFrame,
    industry_matrix: pd.DataFrame | None = None,
    close_price_valid: pd.DataFrame,
    can_buy_stock: pd.DataFrame,
    cant_sell_stock: pd.DataFrame,
    split_factor: pd.DataFrame,
    dividend_factor: pd.DataFrame,
    close_price: pd.DataFrame,
    prev_close: pd.DataFrame,
    buy_price: pd.DataFrame,
    sell_price: pd.DataFrame,
    forward_return_rank_cache: pd.DataFrame | None = None,
    open_price: pd.DataFrame,
    rolling_window: int = 0,
    ascending: bool = False,
    group_num: int = 20,
    market_work: MarketWork | None = None,
    adjusted_ic: bool = False,
    horizons: Any = (1, 5, 10, 20),
) -> tuple[pd.DataFrame, pd.Series]: ...
def plot_factor_analysis(
    analysis: FactorAnalysis, save_path: str | os.PathLike[str], title: str = "factor"
) -> str: ...
def factor_rank_correlation(
    factors: Sequence[pd.DataFrame],
    validity: Sequence[pd.DataFrame],
    dates: pd.Index,
    stocks: pd.Index,
) -> np.ndarray: ...
def pairwise_correlation(series: pd.DataFrame) -> np.ndarray: ...
def adjusted_p_values(p_values: Any, method: str) -> np.ndarray: ...
def mean_t_test(values: Any) -> tuple[float, float]: ...
