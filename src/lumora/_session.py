"""The SDK's default session: one data client and one backtest service per process.

``lumora.init`` connects to a cloud data service, ``lumora.init_sandbox`` to the built-in
offline market (a package server on loopback plus a local factor client). The module-level
conveniences of ``lumora`` then run on the default ``BacktestService``.
"""

from __future__ import annotations

import atexit
import os
import threading
from typing import TYPE_CHECKING, Any

from lumora._keywords import keyword_arguments
from lumora.exceptions import KestrelError
from lumora.singleton import set_instance

if TYPE_CHECKING:
    from collections.abc import Mapping

    import pandas as pd

    from lumora.backtest import (
        BacktestData,
        BacktestResult,
        BacktestService,
        StrategyBacktestResult,
    )
    from lumora.backtest.batch import BatchResult, FactorJob, MappedData, StrategyJob
    from lumora.sources.sandbox.client import Today

NOT_INITIALISED = (
    "lumora 尚未初始化,请先调用 lumora.init(base_url, api_key, api_secret) 连接数据服务,"
    "或调用 lumora.init_sandbox() 使用离线模拟数据"
)

_lock = threading.Lock()
_service: BacktestService | None = None
_server: Any = None


def _install(service: BacktestService, server: Any = None) -> BacktestService:
    global _service, _server
    with _lock:
        previous = _server
        _service, _server = service, server
    if previous is not None:
        previous.stop()
    return service


def init(base_url: str, api_key: str, api_secret: str, *, timeout: float = 30.0) -> BacktestService:
    """Use the cloud data service at ``base_url`` with the given credentials."""
    from lumora._http import HttpClient
    from lumora.backtest import BacktestService
    from lumora.sources.cloud import CloudClient

    http = HttpClient(base_url, api_key, api_secret, timeout=timeout)
    set_instance(CloudClient(http))
    return _install(BacktestService(http))


def init_sandbox(
    n_stocks: int = 300,
    seed: int = 0,
    *,
    start: object = None,
    today: Today = None,
    package_lag_days: int = 5,
    timeout: float = 600.0,
) -> BacktestService:
    """Use the built-in offline market: a synthetic A-share market of ``n_stocks`` stocks
    from ``start`` to ``today`` (the local date unless given), served like the cloud.

    The full data package is a store written from the builder's full build of the market
    up to ``package_lag_days`` trading days before today (a published package lags the
    market), so preparing the data downloads it and then updates the tail to today. The
    package server listens on 127.0.0.1 until the process ends or the session is replaced.
    """
    from lumora.backtest import BacktestService
    from lumora.backtest._full_build import package_writer
    from lumora.backtest._package_server import PackageServer
    from lumora.sources.sandbox.client import DEFAULT_START, SandboxClient

    client = SandboxClient(
        n_stocks, seed, start=DEFAULT_START if start is None else start, today=today
    )
    dates = client.trading_dates()
    if len(dates) < 2:
        raise ValueError(
            f"the sandbox market has fewer than two trading days up to {client.today()}"
        )
    package_end = dates[max(0, len(dates) - 1 - max(0, int(package_lag_days)))]
    set_instance(client)
    server = PackageServer(package_writer(client, end=package_end), data_client=client).start()
    # The package is built at the first request, which can take a while for a large market.
    return _install(BacktestService(server.http_client(timeout=timeout)), server)


def init_files(
    root: str | os.PathLike[str],
    *,
    columns: Mapping[str, str] | None = None,
    vendor: str | None = None,
    units: Mapping[str, str] | None = None,
    progress: bool = True,
    timeout: float = 600.0,
) -> BacktestService:
    """Use your own market data: a folder of daily bars (parquet or CSV) and, optionally,
    index series and index memberships (layout in ``lumora.file_source``).

    The files are read and checked now. The first ``prepare_backtest_data`` builds the
    full store from them; later calls update the tail when the files gained days.
    ``columns`` maps the files' column names to the expected ones, for example
    ``{"trade_date": "date", "ts_code": "code", "vol": "volume"}``; ``vendor`` presets a
    vendor's layout and units ("tushare", "akshare", "baostock"); ``units`` gives the units of
    ``volume`` and ``amount`` (``columns`` and ``units`` override the preset); ``progress``
    shows progress bars while files are read and the market is derived. ``timeout`` is kept
    for callers that pass it; nothing travels over a network, so it has no effect.
    """
    del timeout
    from lumora.backtest import BacktestService
    from lumora.backtest._full_build import BuiltPackage
    from lumora.sources.files import FileSource

    source = FileSource(root, columns=columns, vendor=vendor, units=units, progress=progress)
    set_instance(source)
    # The full build is written straight into the store's staging: no archive, no server.
    return _install(BacktestService(BuiltPackage(source)))


def _installed() -> BacktestService | None:
    with _lock:
        return _service


def default_service() -> BacktestService:
    """The service that ``init``, ``init_sandbox`` or ``init_files`` installed."""
    service = _installed()
    if service is None:
        raise KestrelError(NOT_INITIALISED)
    return service


def _computing_service() -> BacktestService:
    """The service for a backtest: the installed one, or before any ``init_*`` a service
    without a data client. A backtest computes on data already loaded (or, for a batch on
    ``MappedData``, on the prepared store) and asks no data source for anything."""
    from lumora.backtest import BacktestService

    return _installed() or BacktestService(None)


def prepare_backtest_data() -> None:
    """Download or update the local benchmark data (see ``BacktestService``)."""
    default_service().prepare_backtest_data()


def load_backtest_data() -> BacktestData:
    """Load the prepared benchmark data into memory once, for any number of backtests."""
    return default_service().load_backtest_data()


def backtest_strategy(
    strategy: pd.DataFrame,
    data: BacktestData,
    start_date: str | int,
    end_date: str | int,
    output_dir: str | os.PathLike[str] | None,
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
    """Backtest a table of target weights on the default service.

    Args:
        strategy: target weights, rows = dates (``YYYYMMDD`` text, integers or datetimes),
            columns = stock codes. A weight is a fraction of the fixed capital (0.05 = 5 %);
            NaN or 0 means no position. Each row is traded on the date of the next row at
            that day's VWAP, in whole lots; only the rows given are traded, so a strategy
            that rebalances monthly and holds in between needs ``hold_weights`` first.
        data: the loaded data (``load_backtest_data()``).
        start_date, end_date: the window, both included (``20200101`` or ``"20200101"``).
        output_dir: folder of the charts (made when missing); unused when ``plot`` is None.
        plot_filename: chart file name without folder or extension; also the strategy name.
        benchmark: "000300", "000905" or "000852" (exchange forms like "000300.XSHG" and
            "000300.SH" are accepted), a list of them (the first one the data holds is the one charted),
            or "all" / None for all three.
        rolling_window: smooth the weights by their rolling mean over this many trading
            days (0 or 1: no smoothing).
        total_money: the fixed capital in yuan (> 0); share targets are recomputed from it
            each day, so net values add daily returns rather than compound them.
        fee: commission rate on buys and sells, in [0, 1) (0.0001 = 1 bp).
        rule_fee: stamp duty rate on sells, in [0, 1).
        plot: "large" (wide chart), "long" (tall chart) or None (no chart).
        record_positions: also keep the shares held per stock and day and every trade, from
            the same engine pass (``result.positions``, ``result.trades``).
        lot_size: shares per lot (>= 1); every buy and sell is a whole number of lots, so a
            target worth less than one lot is not bought (see the README on small capital).

    Returns:
        ``StrategyBacktestResult``: daily returns, additive net value, statistics (annual
        figures in percent, drawdowns as fractions), excess figures per benchmark and the
        chart paths.

    Raises:
        TypeError: an argument of the wrong kind (named in the message).
        ValueError: an empty table, a cost or window out of range, an unsupported
            benchmark, an infinite weight.
    """
    return _computing_service().backtest_strategy(
        strategy,
        data,
        start_date,
        end_date,
        output_dir,
        plot_filename,
        **keyword_arguments(backtest_strategy, locals()),
    )


def backtest_factor(
    factor: pd.DataFrame,
    data: BacktestData,
    start_date: str | int,
    end_date: str | int,
    output_dir: str | os.PathLike[str] | None,
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
    """Factor group backtest on the default service.

    Each day the stocks with a valid close (within ``universe``) are ranked by factor value
    and cut into ``group_num`` equal-count groups; each group holds its members at equal
    weight, traded the next day with the strategy engine's rules.

    Args:
        factor: factor values, rows = dates, columns = stock codes (NaN: not ranked).
        data: the loaded data (``load_backtest_data()``).
        start_date, end_date: the window, both included.
        output_dir: folder of the charts (made when missing); unused when ``plot`` is None.
        plot_filename: chart file name without folder or extension; also the chart title.
        group_num: number of groups, 2 to 100.
        benchmark: as for ``backtest_strategy``; one chart per selected benchmark.
        universe: None for the whole market, or index codes ("000300", "000905", ...; the
            exchange forms "000300.SH" and "000300.XSHG" as for ``benchmark``) whose members
            (on each date) are ranked.
        rolling_window: smooth the factor by its rolling mean over this many trading days.
        ascending: False (default): a larger factor value gives a larger group number, so
            group ``group_num`` holds the largest values; True reverses the order.
        total_money: capital per group in yuan (> 0).
        fee, rule_fee: commission (both sides) and stamp duty (sells) rates, in [0, 1).
        plot: "long" or "large" page kind, or None to compute without charts.
        lot_size: shares per lot (>= 1) of every group's buys and sells.
        adjusted_ic: False (default): the Rank IC (``rank_ic`` and the analysis's horizon 1)
            runs on the opens as traded, the stored definition; True: on the opens adjusted
            for splits and dividends, like the longer horizons.

    Returns:
        ``BacktestResult``: daily and cumulative (additive) returns per group, best group,
        Rank IC series and the summary per benchmark.

    Raises:
        TypeError, ValueError: as for ``backtest_strategy``; "group_num 取值范围 [2, 100]".
    """
    return _computing_service().backtest(
        factor,
        data,
        start_date,
        end_date,
        output_dir,
        plot_filename,
        **keyword_arguments(backtest_factor, locals()),
    )


def backtest_many(
    jobs: Mapping[str, FactorJob | StrategyJob],
    data: BacktestData | MappedData,
    *,
    executor: object = None,
    max_workers: int | None = None,
    progress: bool = True,
) -> BatchResult:
    """Many factor / strategy jobs in one call (``BacktestService.backtest_many``).

    ``executor`` None uses a thread pool of ``max_workers`` threads, "serial" the caller's
    thread, a ``dask.distributed.Client`` its cluster. ``MappedData()`` is the store in
    the default data directory, prepared before by any session; no ``init_*`` call is needed.
    """
    return _computing_service().backtest_many(
        jobs, data, executor=executor, max_workers=max_workers, progress=progress
    )


@atexit.register
def _stop_server() -> None:
    with _lock:
        server = _server
    if server is not None:
        server.stop()
