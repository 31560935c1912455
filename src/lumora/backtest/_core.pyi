"""Group backtest core (C++): market alignment, shared helpers and the factor group backtest."""

import os
from collections.abc import Sequence
from typing import Any, NotRequired, TypedDict, Unpack

import numpy as np
import pandas as pd

from lumora.backtest.result import FactorAnalysis

class _MarketTables(TypedDict):
    """The eight market tables every engine takes, by keyword (dates x stocks)."""

    can_buy_stock: pd.DataFrame
    cant_sell_stock: pd.DataFrame
    split_factor: pd.DataFrame
    dividend_factor: pd.DataFrame
    close_price: pd.DataFrame
    prev_close: pd.DataFrame
    buy_price: pd.DataFrame
    sell_price: pd.DataFrame

class _GroupRun(_MarketTables):
    """What a group run and the factor data of one take alike: the factor, its industries, the
    close validity, the market tables, and how the factor is grouped."""

    factor_matrix: pd.DataFrame
    industry_matrix: NotRequired[pd.DataFrame | None]
    close_price_valid: pd.DataFrame
    forward_return_rank_cache: NotRequired[pd.DataFrame | None]
    rolling_window: NotRequired[int]  # default 0
    ascending: NotRequired[bool]  # default False
    group_num: NotRequired[int]  # default 20
    market_work: NotRequired[MarketWork | None]
    adjusted_ic: NotRequired[bool]  # default False

def _build_market_arrays(
    pnl_index: pd.Index, columns: pd.Index, **tables: Unpack[_MarketTables]
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
    benchmark_dict: dict[str, pd.Series] | None = None,
    open_price: pd.DataFrame | None = None,
    benchmark_names: str | list[str] | None = "000852",
    total_money: float = 1e8,
    fee: float = 0.0001,
    rule_fee: float = 0.0005,
    plot_image_kind: str | None = None,
    plot_save_path: str | None = None,
    factor_name: str = "factor",
    plot_title: str | None = None,
    lot_size: int = 200,
    analysis: bool = True,
    **run: Unpack[_GroupRun],
) -> AlphaBacktestResult: ...
def group_factor_data(
    *, open_price: pd.DataFrame, horizons: Any = (1, 5, 10, 20), **run: Unpack[_GroupRun]
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
