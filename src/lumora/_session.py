"""The SDK's default session: one data client and one backtest service per process.

``lumora.init`` connects to a cloud data service, ``lumora.init_sandbox`` to the built-in
offline market (a package server on loopback plus a local factor client). The module-level
conveniences of ``lumora`` then run on the default ``BacktestService``.
"""

from __future__ import annotations

import atexit
import threading
from typing import TYPE_CHECKING, Any

from lumora.exceptions import KestrelError
from lumora.singleton import set_instance

if TYPE_CHECKING:
    from lumora.backtest import (
        BacktestData,
        BacktestResult,
        BacktestService,
        StrategyBacktestResult,
    )

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
    from lumora.cloud_client import CloudClient

    http = HttpClient(base_url, api_key, api_secret, timeout=timeout)
    set_instance(CloudClient(http))
    return _install(BacktestService(http))


def init_sandbox(
    n_stocks: int = 300,
    seed: int = 0,
    *,
    start: object = None,
    today: object = None,
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
    from lumora.sandbox_package import package_writer
    from lumora.sandbox_service import DEFAULT_START, PackageServer, SandboxClient

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
    root: object,
    *,
    columns: dict[str, str] | None = None,
    timeout: float = 600.0,
) -> BacktestService:
    """Use your own market data: a folder of daily bars (parquet or CSV) and, optionally,
    index series and index memberships (layout in ``lumora.file_source``).

    The files are read and checked now. The first ``prepare_backtest_data`` builds the
    full store from them; later calls update the tail when the files gained days.
    ``columns`` maps the files' column names to the expected ones, for example
    ``{"trade_date": "date", "ts_code": "code", "vol": "volume"}``.
    """
    from lumora.backtest import BacktestService
    from lumora.file_source import FileSource
    from lumora.sandbox_package import package_writer
    from lumora.sandbox_service import PackageServer

    source = FileSource(root, columns=columns)  # type: ignore[arg-type]
    set_instance(source)
    server = PackageServer(package_writer(source)).start()
    return _install(BacktestService(server.http_client(timeout=timeout)), server)


def default_service() -> BacktestService:
    """The service that ``init``, ``init_sandbox`` or ``init_files`` installed."""
    with _lock:
        service = _service
    if service is None:
        raise KestrelError(NOT_INITIALISED)
    return service


def prepare_backtest_data() -> None:
    """Download or update the local benchmark data (see ``BacktestService``)."""
    default_service().prepare_backtest_data()


def load_backtest_data() -> BacktestData:
    """Load the prepared benchmark data into memory once, for any number of backtests."""
    return default_service().load_backtest_data()


def backtest_strategy(*args: Any, **kwargs: Any) -> StrategyBacktestResult:
    """Target-weight strategy backtest (``BacktestService.backtest_strategy``)."""
    return default_service().backtest_strategy(*args, **kwargs)


def backtest_factor(*args: Any, **kwargs: Any) -> BacktestResult:
    """Factor group backtest (``BacktestService.backtest``)."""
    return default_service().backtest(*args, **kwargs)


@atexit.register
def _stop_server() -> None:
    with _lock:
        server = _server
    if server is not None:
        server.stop()
