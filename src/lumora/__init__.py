"""lumora: systematic equity research on the China A-share market.

    import lumora
    lumora.init_sandbox()                 # or lumora.init(base_url, api_key, api_secret)
                                          # or lumora.init_files(folder_of_your_daily_bars)
    lumora.prepare_backtest_data()
    data = lumora.load_backtest_data()
    result = lumora.backtest_strategy(weights, data, 20200101, 20241231, "out", "my_strategy")
    groups = lumora.backtest_factor(factor, data, 20200101, 20241231, "out", "my_factor")

The session functions are imported here (they load neither numpy nor pandas). The batch
jobs and ``hold_weights`` live in modules that import pandas, which takes most of a second,
so they are loaded on first use; a type checker sees their real definitions below.
"""

from __future__ import annotations

from typing import TYPE_CHECKING

from lumora._session import backtest_factor as backtest_factor
from lumora._session import backtest_many as backtest_many
from lumora._session import backtest_strategy as backtest_strategy
from lumora._session import default_service as default_service
from lumora._session import init as init
from lumora._session import init_files as init_files
from lumora._session import init_sandbox as init_sandbox
from lumora._session import load_backtest_data as load_backtest_data
from lumora._session import prepare_backtest_data as prepare_backtest_data

if TYPE_CHECKING:
    from lumora.backtest.batch import BatchResult as BatchResult
    from lumora.backtest.batch import FactorJob as FactorJob
    from lumora.backtest.batch import JobFailure as JobFailure
    from lumora.backtest.batch import MappedData as MappedData
    from lumora.backtest.batch import StrategyJob as StrategyJob
    from lumora.backtest.holding import hold_weights as hold_weights

__version__ = "0.1.0"

# Names whose modules import pandas, with the module each one is loaded from on first use.
_LAZY = {
    "FactorJob": "lumora.backtest.batch",
    "StrategyJob": "lumora.backtest.batch",
    "MappedData": "lumora.backtest.batch",
    "BatchResult": "lumora.backtest.batch",
    "JobFailure": "lumora.backtest.batch",
    "hold_weights": "lumora.backtest.holding",
}

__all__ = [
    "BatchResult",
    "FactorJob",
    "JobFailure",
    "MappedData",
    "StrategyJob",
    "backtest_factor",
    "backtest_many",
    "backtest_strategy",
    "default_service",
    "hold_weights",
    "init",
    "init_files",
    "init_sandbox",
    "load_backtest_data",
    "prepare_backtest_data",
]

if not TYPE_CHECKING:
    # Defined only at run time: a type checker reads the imports above, so a misspelt name
    # is an error there instead of an attribute typed Any.
    from lumora._lazy import lazy_attributes

    __getattr__, __dir__ = lazy_attributes(__name__, globals(), _LAZY, __all__)
