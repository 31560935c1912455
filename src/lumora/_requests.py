"""The keywords of the two backtest requests and their defaults, written once.

``BacktestService.backtest`` (factor groups) takes the keywords of ``FactorKeywords`` and
``BacktestService.backtest_strategy`` (target weights) those of ``StrategyKeywords``, with
these defaults. The batch jobs are made of these tables (``FactorJob`` is a
``FactorKeywords`` with a table, a window and a chart place); the session functions
(``lumora.backtest_factor``, ``lumora.backtest_strategy``) and the service's stub spell the
keywords out for editors, and ``tests/test_request_keywords.py`` ties every such list, and
the compiled service's own signature, to these tables.
"""

from __future__ import annotations

from dataclasses import dataclass


@dataclass(kw_only=True, eq=False)
class FactorKeywords:
    """The keywords of a factor group backtest and their defaults."""

    group_num: int = 20
    benchmark: str | list[str] | None = "000852"
    universe: str | list[str] | None = None
    rolling_window: int = 0
    ascending: bool = False
    total_money: float = 1e8
    fee: float = 0.0001
    rule_fee: float = 0.0005
    plot: str | None = "long"
    lot_size: int = 200
    adjusted_ic: bool = False


@dataclass(kw_only=True, eq=False)
class StrategyKeywords:
    """The keywords of a target-weight strategy backtest and their defaults."""

    benchmark: str | list[str] | None = "000852"
    rolling_window: int = 0
    total_money: float = 1e8
    fee: float = 0.0001
    rule_fee: float = 0.0005
    plot: str | None = "large"
    record_positions: bool = False
    lot_size: int = 200
