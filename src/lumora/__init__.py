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
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from lumora._session import backtest_factor as backtest_factor
    from lumora._session import backtest_many as backtest_many
    from lumora._session import backtest_strategy as backtest_strategy
    from lumora._session import default_service as default_service
    from lumora._session import init as init
    from lumora._session import init_sandbox as init_sandbox
    from lumora._session import load_backtest_data as load_backtest_data
    from lumora._session import prepare_backtest_data as prepare_backtest_data
    from lumora.backtest.batch import BatchResult as BatchResult
    from lumora.backtest.batch import FactorJob as FactorJob
    from lumora.backtest.batch import JobFailure as JobFailure
    from lumora.backtest.batch import MappedData as MappedData
    from lumora.backtest.batch import StrategyJob as StrategyJob
    from lumora.backtest.holding import hold_weights as hold_weights

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
    "backtest_many",
)

# Jobs and records of a batch of backtests (``lumora.backtest_many``).
_BATCH_NAMES = ("FactorJob", "StrategyJob", "MappedData", "BatchResult", "JobFailure")

__all__ = list(_SESSION_NAMES + _BATCH_NAMES + ("hold_weights",))


def __getattr__(name: str) -> Any:
    if name in _SESSION_NAMES:
        value = getattr(importlib.import_module("lumora._session"), name)
        globals()[name] = value
        return value
    if name == "hold_weights":
        value = importlib.import_module("lumora.backtest.holding").hold_weights
        globals()[name] = value
        return value
    if name in _BATCH_NAMES:
        value = getattr(importlib.import_module("lumora.backtest.batch"), name)
        globals()[name] = value
        return value
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(__all__))
