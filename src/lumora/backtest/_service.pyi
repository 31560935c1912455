"""The backtest service: data directory, universe table and BacktestService."""

from pathlib import Path
from typing import Any, TypeAlias

import pandas as pd

from lumora.backtest._prepare import BinaryPreparedDataStore as BinaryPreparedDataStore
from lumora.backtest.result import BacktestData, BacktestResult, StrategyBacktestResult

DateLike: TypeAlias = str | int
_DEFAULT_DATA_DIR: Path
_UNIVERSE_TO_COMPONENT: dict[str, str]
COMPONENT_FACTOR_NAMES: list[str]
TAIL_RELOAD_ROWS: int

class BacktestService:
    """因子回测服务,组合数据准备与计算两层。"""

    _http: Any
    def __init__(self, http: Any) -> None: ...
    def prepare_backtest_data(self) -> None: ...
    def _refresh_to_latest(
        self, store: BinaryPreparedDataStore, *, after_download: bool
    ) -> None: ...
    @staticmethod
    def _find_missing_datasets(store: BinaryPreparedDataStore) -> list[str]: ...
    @staticmethod
    def _validate_metadata(store: BinaryPreparedDataStore) -> None: ...
    @staticmethod
    def _log_dataset_summary(store: BinaryPreparedDataStore, *, action: str) -> None: ...
    def load_backtest_data(self) -> BacktestData: ...
    @staticmethod
    def _slice_data(data: dict[str, Any], start_date: str, end_date: str) -> dict[str, Any]: ...
    def _apply_universe_filter(
        self, data: dict[str, Any], universe: str | list[str] | None, start_date: str, end_date: str
    ) -> None: ...
    def backtest(
        self,
        factor: pd.DataFrame,
        data: BacktestData,
        start_date: DateLike,
        end_date: DateLike,
        output_dir: str | Path,
        plot_filename: str,
        *,
        group_num: int = 20,
        benchmark: str | list[str] | None = "000852",
        universe: str | list[str] | None = None,
        rolling_window: int = 0,
        ascending: bool = False,
        total_money: float = 1e8,
        fee: float = 0.0001,
        rule_fee: float = 0.0005,
        plot: str = "long",
    ) -> BacktestResult: ...
    @staticmethod
    def _to_public_result(core_result: Any, factor_name: str) -> BacktestResult: ...
    def backtest_strategy(
        self,
        strategy: pd.DataFrame,
        data: BacktestData,
        start_date: DateLike,
        end_date: DateLike,
        output_dir: str | Path | None,
        plot_filename: str,
        *,
        benchmark: str | list[str] | None = "000852",
        rolling_window: int = 0,
        total_money: float = 1e8,
        fee: float = 0.0001,
        rule_fee: float = 0.0005,
        plot: str | None = "large",
    ) -> StrategyBacktestResult: ...
    @staticmethod
    def _parse_universe(universe: str | list[str] | None) -> list[str]: ...
    @staticmethod
    def _factor_name(factor: pd.DataFrame) -> str: ...
