"""Which prepared dataset feeds each market table keyword of the engines: the one place
tests and benchmarks take it from (benchmarks import this file by path)."""

from __future__ import annotations

# Engine keyword -> prepared dataset key, in the order the engines take the tables.
MARKET_KEYS: dict[str, str] = {
    "can_buy_stock": "can_buy_stock",
    "cant_sell_stock": "cant_sell_stock",
    "split_factor": "rq_get_split",
    "dividend_factor": "rq_get_dividend",
    "close_price": "close_price",
    "prev_close": "prev_close",
    "buy_price": "buy_price",
    "sell_price": "sell_price",
}

# The group backtest also takes the close validity.
GROUP_MARKET_KEYS: dict[str, str] = {"close_price_valid": "close_price_valid", **MARKET_KEYS}


def engine_tables(datasets: dict[str, object]) -> dict[str, object]:
    """The prepared datasets under their engine keywords (datasets without one keep their key)."""
    keyword = {dataset: key for key, dataset in GROUP_MARKET_KEYS.items()}
    return {keyword.get(name, name): table for name, table in datasets.items()}
