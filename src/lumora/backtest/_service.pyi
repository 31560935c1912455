"""The backtest service: data directory, universe table and BacktestService."""

from collections.abc import Callable, Mapping
from os import PathLike
from pathlib import Path
from types import ModuleType
from typing import Any, TypeAlias

import pandas as pd

from lumora.backtest._prepare import BinaryPreparedDataStore as BinaryPreparedDataStore
from lumora.backtest._store import clean_matrix as clean_matrix
from lumora.backtest._store import normalize_yyyymmdd as normalize_yyyymmdd
from lumora.backtest.batch import BatchResult, FactorJob, MappedData, StrategyJob
from lumora.backtest.result import BacktestData as BacktestData
from lumora.backtest.result import BacktestResult, StrategyBacktestResult

DateLike: TypeAlias = str | int
_DEFAULT_DATA_DIR: Path
_UNIVERSE_TO_COMPONENT: dict[str, str]
COMPONENT_FACTOR_NAMES: list[str]
TAIL_RELOAD_ROWS: int
core: ModuleType  # lumora.backtest._core, the group backtest core

class BacktestService:
    """因子回测服务,组合数据准备与计算两层。"""

    _http: Any
    def __init__(self, http: Any) -> None: ...
    def prepare_backtest_data(self) -> None: ...
    def _refresh_to_latest(
        self,
        store: BinaryPreparedDataStore,
        *,
        after_download: bool,
        rewrite_from: str | None = None,
        record: Callable[[], dict[str, Any]] | None = None,
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
        output_dir: str | PathLike[str] | None,
        plot_filename: str,
        *,
        # The keywords and defaults of lumora._requests.FactorKeywords (a test holds them equal).
        group_num: int = 20,
        benchmark: str | list[str] | None = "000852",
        universe: str | list[str] | None = None,
        rolling_window: int = 0,
        ascending: bool = False,
        total_money: float = 1e8,
        fee: float = 0.0001,
        rule_fee: float = 0.0005,
        plot: str | None = "long",
        lot_size: int = 200,
        adjusted_ic: bool = False,
    ) -> BacktestResult:
        """Run a factor group backtest on loaded data.

        Each day the stocks of the universe are ranked by factor value into ``group_num``
        groups, each simulated with the strategy engine's trading rules; the group core is
        ``core.run_alpha_vwap_backtest_core``, looked up at each call.

        Raises:
            ValueError: "因子宽表为空" for a missing or empty factor table (checked first),
                "group_num 取值范围 [2, 100]" for a group count out of range after
                truncation, ``total_money`` not finite and above 0, ``fee`` / ``rule_fee``
                outside [0, 1), a negative ``rolling_window``, ``lot_size`` below 1, an unsupported benchmark,
                and the universe errors of ``_apply_universe_filter``.
            TypeError: ``plot_filename`` not exactly ``str``, ``plot`` neither text nor
                None, ``group_num`` / ``rolling_window`` not numbers, ``factor`` not a
                DataFrame, ``data`` not a BacktestData, dates missing.
            KeyError: a required dataset absent from ``data``.
        """
    def _factor_data(
        self, result: BacktestResult, factor: pd.DataFrame, data: BacktestData, horizons: Any
    ) -> pd.DataFrame:
        """A factor result's (date, asset) table of forward returns, factor, group and
        factor_quantile, found again from the request's factor and data."""
    @staticmethod
    def _to_public_result(core_result: Any, factor_name: str) -> BacktestResult:
        """The core's result as a BacktestResult: the "primary" chart per benchmark ("" when
        none) and the best group as an integer, -1 when the core found none."""
    def backtest_strategy(
        self,
        strategy: pd.DataFrame,
        data: BacktestData,
        start_date: DateLike,
        end_date: DateLike,
        output_dir: str | PathLike[str] | None,
        plot_filename: str,
        *,
        # The keywords and defaults of lumora._requests.StrategyKeywords (a test holds them equal).
        benchmark: str | list[str] | None = "000852",
        rolling_window: int = 0,
        total_money: float = 1e8,
        fee: float = 0.0001,
        rule_fee: float = 0.0005,
        plot: str | None = "large",
        record_positions: bool = False,
        lot_size: int = 200,
    ) -> StrategyBacktestResult:
        """Run a target-weight strategy backtest on loaded data (see
        ``lumora.backtest_strategy`` for the arguments). ``record_positions=True`` also
        keeps the shares held per stock and day and every trade, from the same engine pass
        (``result.positions``, ``result.trades``).

        Raises:
            ValueError: "策略权重矩阵为空", the two "plot 非 None 时,..." messages, costs or
                window out of range, an unsupported benchmark, an infinite weight.
            TypeError: an argument of the wrong kind, named in the message.
        """
    @staticmethod
    def _parse_universe(universe: str | list[str] | None) -> list[str]: ...
    @staticmethod
    def _factor_name(factor: pd.DataFrame) -> str: ...
    def backtest_many(
        self,
        jobs: Mapping[str, FactorJob | StrategyJob],
        data: BacktestData | MappedData,
        *,
        executor: Any = None,
        max_workers: int | None = None,
        progress: bool = True,
    ) -> BatchResult: ...
