"""Factor group backtests and target-weight strategy backtests.

``BacktestService`` is the entry point: prepare the local benchmark data, load it once
with ``load_backtest_data`` and run any number of ``backtest`` / ``backtest_strategy``
calls on it. Names are resolved on first use, so importing a submodule (for instance the
service in a worker process) loads nothing else.
"""

from __future__ import annotations

import importlib
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from lumora.backtest._service import BacktestService
    from lumora.backtest.holding import hold_weights
    from lumora.backtest.result import BacktestData, BacktestResult, StrategyBacktestResult

__all__ = [
    "BacktestData",
    "BacktestResult",
    "BacktestService",
    "StrategyBacktestResult",
    "hold_weights",
]

_EXPORTS = {
    "BacktestService": "lumora.backtest._service",
    "BacktestData": "lumora.backtest.result",
    "BacktestResult": "lumora.backtest.result",
    "StrategyBacktestResult": "lumora.backtest.result",
    "hold_weights": "lumora.backtest.holding",
}


def __getattr__(name: str) -> Any:
    module = _EXPORTS.get(name)
    if module is None:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    value = getattr(importlib.import_module(module), name)
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(__all__))
