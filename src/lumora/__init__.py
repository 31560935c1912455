"""lumora: systematic equity research on the China A-share market.

    import lumora
    lumora.init_sandbox()                 # or lumora.init(base_url, api_key, api_secret)
                                          # or lumora.init_files(folder_of_your_daily_bars)
    lumora.prepare_backtest_data()
    data = lumora.load_backtest_data()
    result = lumora.backtest_strategy(weights, data, 20200101, 20241231, "out", "my_strategy")
    groups = lumora.backtest_factor(factor, data, 20200101, 20241231, "out", "my_factor")

Names are resolved on first use, so ``import lumora`` stays light.
"""

from __future__ import annotations

import importlib
from typing import Any

__version__ = "0.1.0"

_SESSION_NAMES = (
    "init",
    "init_sandbox",
    "init_files",
    "default_service",
    "prepare_backtest_data",
    "load_backtest_data",
    "backtest_strategy",
    "backtest_factor",
)

__all__ = list(_SESSION_NAMES)


def __getattr__(name: str) -> Any:
    if name in _SESSION_NAMES:
        value = getattr(importlib.import_module("lumora._session"), name)
        globals()[name] = value
        return value
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(__all__))
