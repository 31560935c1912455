"""The sandbox market under its public name (it lives in ``lumora.sources.sandbox``)."""

from lumora.sources.sandbox.market import (
    BENCHMARK_INDEX_CODES,
    BOARD_LIMITS,
    COMPONENT_FACTOR_NAMES,
    ENGINE_TABLE_KEYS,
    PREPARED_DATASET_KEYS,
    SOURCE_FACTOR_NAMES,
    MarketParameters,
    SandboxMarket,
    export_market,
    generate_market,
    trading_calendar,
)

__all__ = [
    "BENCHMARK_INDEX_CODES",
    "BOARD_LIMITS",
    "COMPONENT_FACTOR_NAMES",
    "ENGINE_TABLE_KEYS",
    "PREPARED_DATASET_KEYS",
    "SOURCE_FACTOR_NAMES",
    "MarketParameters",
    "SandboxMarket",
    "export_market",
    "generate_market",
    "trading_calendar",
]
