"""Factor group backtests and target-weight strategy backtests.

``BacktestService`` is the entry point: prepare the local benchmark data, load it once
with ``load_backtest_data`` and run any number of ``backtest`` / ``backtest_strategy``
calls on it. Every name here lives in a module that imports pandas, so names are loaded on
first use and importing a submodule (for instance the service in a worker process) loads
nothing else; a type checker sees their real definitions below.
"""

from __future__ import annotations

from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from lumora.backtest._service import BacktestService as BacktestService
    from lumora.backtest.holding import hold_weights as hold_weights
    from lumora.backtest.result import BacktestData as BacktestData
    from lumora.backtest.result import BacktestResult as BacktestResult
    from lumora.backtest.result import StrategyBacktestResult as StrategyBacktestResult

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

if not TYPE_CHECKING:
    # Defined only at run time: a type checker reads the imports above, so a misspelt name
    # is an error there instead of an attribute typed Any.
    from lumora._lazy import lazy_attributes

    __getattr__, __dir__ = lazy_attributes(__name__, globals(), _EXPORTS, __all__)
