"""Prepared benchmark data: dataset catalogue, name and date helpers, component-extended store."""

import os
from collections.abc import Callable, Iterable, Mapping, Sequence
from typing import Any, TypeAlias

import numpy as np
import pandas as pd

from lumora.backtest._store import BinaryPreparedDataStoreBase as BinaryPreparedDataStoreBase
from lumora.backtest._store import clean_matrix as clean_matrix
from lumora.backtest._store import component_dataset_key as component_dataset_key
from lumora.backtest._store import normalize_yyyymmdd as normalize_yyyymmdd

PathLike: TypeAlias = str | os.PathLike[str]
# Receives each finished data entry of a build: (dataset key, table or benchmark mapping).
_Sink: TypeAlias = Callable[[str, Any], None]
FLOAT_STORAGE_DTYPE: str
BOOL_STORAGE_DTYPE: str
TAIL_RELOAD_ROWS: int
PREPARED_DATA_VERSION: int
COMPONENT_FACTOR_NAMES: list[str]
BENCHMARK_INDEX_CODES: dict[str, str]
REQUIRED_FACTOR_NAMES: list[str]
OPTIONAL_FACTOR_NAMES: list[str]
BUILD_INPUT_NAMES: list[str]
BASE_MATRIX_DTYPE: dict[str, str]

def parse_name_list(raw_values: str | Iterable[Any] | None) -> list[str]: ...
def get_component_factor_names() -> list[str]: ...
def build_matrix_dtype(component_names: str | Iterable[Any] | None = None) -> dict[str, str]: ...
def series_to_yyyymmdd(values: Any) -> pd.Series: ...
def payload_slice_from_date(
    payload: Mapping[str, Any], write_start_date: str
) -> dict[str, Any]: ...
def build_incremental_write_window(
    base_index: list[str], write_start_date: str, write_end_date: str
) -> dict[str, Any]: ...
def get_instance() -> Any: ...
def adjusted_close(
    close_price: pd.DataFrame, split_factor: pd.DataFrame, dividend_factor: pd.DataFrame
) -> pd.DataFrame:
    """Back-adjusted (total-return) close: each later close scaled by the day's
    (split * close + dividend) / previous close; missing closes stay missing."""

def day_hash_sums(columns: Sequence[np.ndarray], day: np.ndarray, n_days: int) -> np.ndarray:
    """Per day (0 .. n_days - 1), the sum of its rows' content numbers in [0, 1): each row's
    values hashed as ``pandas.util.hash_array`` hashes them (float64, int64, int32 and bool
    columns; a uint64 column is taken as hashes already made), combined column by column as
    ``h * 0x100000001B3 + next``, the top 53 bits as a fraction; rows added in order, as
    ``numpy.bincount(day, weights)`` adds them. ``day``: each row's day."""

def seed_rows(
    code: np.ndarray,
    date: np.ndarray,
    close: np.ndarray,
    volume: np.ndarray,
    recent_from: int,
    *,
    is_suspended: np.ndarray | None = None,
    adj_factor: np.ndarray | None = None,
    industry: np.ndarray | None = None,
) -> np.ndarray:
    """Ascending positions of the rows a derivation of later days needs, of rows in date
    order per stock (non-negative code numbers): each stock's last row, last row dated
    before ``recent_from``, last one with a close, last traded one (volume above zero, a
    close, not suspended), last traded one with an adjustment factor and last one with an
    industry (when given), and every row dated on or after ``recent_from``."""

def limit_prices(
    previous_close: np.ndarray,
    codes: np.ndarray,
    dates: np.ndarray,
    *,
    beijing: np.ndarray | None = None,
    dividend: np.ndarray | None = None,
    split: np.ndarray | None = None,
    special_treatment: np.ndarray | None = None,
    listing_date: np.ndarray | None = None,
    calendar: np.ndarray | None = None,
) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """``(reference, limit_up, limit_down)`` of a date x stock block in yuan (whole cents, NaN:
    none): the exchanges' ex-rights reference price and limit prices by board, date, special
    treatment and listing date, rounded half up to the cent."""

def grid_cells(
    date: np.ndarray, code: np.ndarray, beijing: np.ndarray | None = None
) -> tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray, np.ndarray, np.ndarray]:
    """Rows placed in the date x stock grid: ``(dates, codes, cell, beijing, first_day,
    last_day)``, the ascending distinct dates and codes of the rows (int32 numbers of small
    range, as YYYYMMDD dates and six-digit codes), each row's cell (date position * stocks +
    stock position; int32 where every cell fits, else int64), and per code whether any of its
    rows is marked in ``beijing`` and the positions of its first and last date among the
    dates."""

def first_rows(
    day: np.ndarray, stock: np.ndarray, n_days: int, n_stocks: int
) -> tuple[bool, np.ndarray]:
    """Of rows placed by their date and stock positions (``day`` < n_days, ``stock`` <
    n_stocks): ``(repeated, first_row)``, whether two rows share a (date, stock) cell and each
    stock's first row (-1: none)."""

def limit_prices_into(
    previous_close: np.ndarray,
    codes: np.ndarray,
    dates: np.ndarray,
    limit_up: np.ndarray,
    limit_down: np.ndarray,
    *,
    beijing: np.ndarray | None = None,
    dividend: np.ndarray | None = None,
    split: np.ndarray | None = None,
    special_treatment: np.ndarray | None = None,
    listing_date: np.ndarray | None = None,
    calendar: np.ndarray | None = None,
    listed: np.ndarray | None = None,
) -> None:
    """The limit-up and limit-down prices of ``limit_prices``, written into ``limit_up`` and
    ``limit_down`` (writeable C-contiguous float64 tables of the block's shape); with
    ``listed`` (the block's shape) NaN where it is off."""

def ex_rights_from_pre_close(previous_close: np.ndarray, pre_close: np.ndarray) -> np.ndarray:
    """Each cell's adjustment of a date x stock block from the exchange's ex-rights previous
    close: ``previous_close / pre_close`` where the two differ by at least a cent (rounded half
    up), NaN elsewhere."""

def carry_closes(close: np.ndarray, traded: np.ndarray, listed: np.ndarray) -> None:
    """In place: each day's close where the stock traded, else the last traded close before
    it; before its first traded day its last own close; NaN where not listed."""

def fill_execution_prices(price: np.ndarray, fallback: np.ndarray, traded: np.ndarray) -> None:
    """In place: a price that is not a finite positive number takes the fallback's, then NaN
    where the day is not traded or the price is still not a finite positive number."""

def lock_at_limit(
    price: np.ndarray,
    limit: np.ndarray,
    traded: np.ndarray,
    *,
    extreme: np.ndarray | None = None,
    limit_up: bool,
    tolerance: float,
) -> None:
    """In place: the price becomes the limit where it lies within ``tolerance`` of it, or
    where the day was traded and its extreme (the low against a limit-up, the high against a
    limit-down) reached the limit within ``tolerance``."""

def factor_ratios(factor: np.ndarray) -> None:
    """In place: each cell's factor carried down over NaN cells, divided by the carried
    factor of the day before; NaN on the first row."""

def keep_changes(ratio: np.ndarray, listed: np.ndarray) -> None:
    """In place: NaN where not listed or the ratio is not a finite positive number other
    than one."""

def outside_limit_band(
    close: np.ndarray, limit_up: np.ndarray, limit_down: np.ndarray
) -> tuple[np.ndarray, np.ndarray]:
    """``(rows, cols)`` of the cells whose close, in whole cents rounded half up, lies above
    ``limit_up`` or below ``limit_down``; cells without a close or a limit are skipped."""

class GroupPreparedDataBuilder:
    default_start: str | None
    end_date: str | None
    _ddb_start: str | None
    _ddb_end: str | None
    def __init__(self, start_date: Any, end_date: Any) -> None: ...
    @staticmethod
    def _normalize_ddb_backtest_date(date_value: Any) -> str | None: ...
    @staticmethod
    def _vk_factor_date(date_value: Any) -> str | None: ...
    @staticmethod
    def _empty_like(reference: pd.DataFrame, fill_value: Any = ...) -> pd.DataFrame: ...
    def _read_normal_factor_matrix(self, name: str) -> pd.DataFrame: ...
    def _read_normal_factor_batch(self, names: Any) -> dict[str, pd.DataFrame]: ...
    def _read_or_empty(
        self,
        name: str,
        reference: pd.DataFrame,
        batch: Mapping[str, pd.DataFrame] | None = None,
    ) -> pd.DataFrame: ...
    def _batch_or_read(self, batch: Mapping[str, pd.DataFrame], name: str) -> pd.DataFrame: ...
    def _vk_factors_to_matrices(
        self, df: pd.DataFrame | None, names: Iterable[str]
    ) -> dict[str, pd.DataFrame]: ...
    def _component_matrices(
        self,
        component_names: Iterable[str],
        batch: Mapping[str, pd.DataFrame] | None = None,
        sink: _Sink | None = None,
    ) -> dict[str, pd.DataFrame | None]: ...
    def _read_benchmark_dict(self) -> dict[str, pd.Series]: ...
    def _format_benchmark_daily_return(
        self, df: pd.DataFrame | None, benchmark_name: str, index_code: str
    ) -> pd.Series: ...
    def _read_source_data(
        self, incremental: bool, sink: _Sink | None = None
    ) -> tuple[
        dict[str, pd.DataFrame], dict[str, pd.DataFrame | None], dict[str, pd.Series], list[str]
    ]: ...
    def _build_from_matrices(
        self, source: Mapping[str, pd.DataFrame], release: bool = False, sink: _Sink | None = None
    ) -> dict[str, pd.DataFrame | None]: ...
    def _assemble_payload(
        self,
        data: Mapping[str, pd.DataFrame],
        component_matrices: Mapping[str, pd.DataFrame],
        benchmark_dict: Mapping[str, pd.Series],
        component_names: Iterable[str],
        meta_time_key: str,
    ) -> dict[str, Any]: ...
    def _build_payload(
        self, incremental: bool, meta_time_key: str, sink: _Sink | None = None
    ) -> dict[str, Any]: ...
    def build(self, sink: _Sink | None = None) -> dict[str, Any]: ...
    def build_incremental(self) -> dict[str, Any]: ...

class BinaryPreparedDataStore(BinaryPreparedDataStoreBase):
    def __init__(
        self, store_dir: PathLike, component_names: list[str] | str | None = None
    ) -> None: ...
    def load(
        self,
        start_date: Any = None,
        end_date: Any = None,
        keys: list[str] | None = None,
        mmap: bool = True,
    ) -> dict[str, Any]: ...
    def add_component_matrices(
        self, component_matrices: Mapping[str, pd.DataFrame], component_names: list[str] | str
    ) -> list[str]: ...
