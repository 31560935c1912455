"""How the engines are called: which prepared dataset feeds each market table keyword (the
one place tests and benchmarks take it from; benchmarks import this file by path), how the
reference models read an engine call, and a stand-in engine that records its calls."""

from __future__ import annotations

from collections.abc import Callable, Mapping, Sequence
from typing import Any

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


# The costs every engine takes, with the engines' defaults.
COST_DEFAULTS: dict[str, Any] = {
    "total_money": 1e8,
    "fee": 0.0001,
    "rule_fee": 0.0005,
    "lot_size": 200,
}
# Engine keywords the reference models accept and leave alone: charts, the analysis and the
# position records are not modelled.
UNMODELLED_KEYWORDS = frozenset(
    {
        "plot_image_kind",
        "plot_save_path",
        "plot_title",
        "factor_name",
        "analysis",
        "record_positions",
    }
)


def market_and_costs(
    tables: Sequence[Any], keywords: Mapping[str, Any]
) -> tuple[dict[str, Any], dict[str, Any]]:
    """An engine call's market tables (``tables`` in the engines' order, or by keyword) and its
    costs (defaults filled in), as the reference models take them; the unmodelled keywords
    are dropped and any other keyword is a TypeError, as it is for the engines."""
    market = dict(zip(MARKET_KEYS, tables, strict=False))
    costs = dict(COST_DEFAULTS)
    for key, value in keywords.items():
        if key in MARKET_KEYS and key not in market:
            market[key] = value
        elif key in COST_DEFAULTS:
            costs[key] = value
        elif key not in UNMODELLED_KEYWORDS:
            raise TypeError(f"unexpected keyword argument {key!r}")
    if len(tables) > len(MARKET_KEYS) or set(market) != set(MARKET_KEYS):
        raise TypeError(
            f"the eight market tables are needed, got {len(tables)} and {sorted(market)}"
        )
    return market, costs


def recorded_calls(
    monkeypatch: Any, module: Any, name: str, reply: Callable[[dict[str, Any]], Any]
) -> list[dict[str, Any]]:
    """Replace the engine ``module.name`` for one test by a stand-in that keeps the keywords
    of every call (in the list returned) and answers ``reply(keywords)``."""
    calls: list[dict[str, Any]] = []

    def engine(**keywords: Any) -> Any:
        calls.append(keywords)
        return reply(keywords)

    monkeypatch.setattr(module, name, engine)
    return calls
