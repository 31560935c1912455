"""The SDK client that data preparation queries.

``lumora.init`` installs a client of the cloud data service, ``lumora.init_sandbox`` the
offline sandbox client; the prepared-data builder fetches whichever is installed with
``get_instance()`` at every query. A client answers ``get_factors`` and
``get_index_daily``.
"""

from __future__ import annotations

import threading
from typing import Any

from lumora.exceptions import KestrelError

__all__ = ["get_instance", "set_instance"]

NOT_INITIALISED_MESSAGE = (
    "lumora SDK 尚未初始化,请先调用 lumora.init(base_url, api_key, api_secret) 连接数据服务,"
    "或调用 lumora.init_sandbox() 使用离线模拟数据"
)
_REQUIRED_OPERATIONS = ("get_factors", "get_index_daily")

_lock = threading.Lock()
_instance: Any = None


def get_instance() -> Any:
    """The installed SDK client.

    Raises:
        KestrelError: when no client is installed; the message says how to install one.
    """
    client = _instance
    if client is None:
        raise KestrelError(NOT_INITIALISED_MESSAGE)
    return client


def set_instance(client: Any) -> Any:
    """Install ``client`` (``None`` uninstalls) and return the client it replaces.

    Raises:
        TypeError: when ``client`` lacks ``get_factors`` or ``get_index_daily``.
    """
    global _instance
    if client is not None:
        missing = [
            name for name in _REQUIRED_OPERATIONS if not callable(getattr(client, name, None))
        ]
        if missing:  # what ``lumora.sources.DataSource`` asks of a client
            raise TypeError(
                f"SDK client {type(client).__name__} lacks the operations: {', '.join(missing)}"
            )
    with _lock:
        previous, _instance = _instance, client
    return previous
