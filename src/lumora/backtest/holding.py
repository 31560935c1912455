"""Holding a rebalance between its dates.

The strategy engine trades the weight rows it is given: row T's weights are the targets of
the next row's date, and days without a row are not part of the backtest. A strategy that
rebalances monthly and should hold its book in between therefore needs one row per trading
day; :func:`hold_weights` makes them.
"""

from __future__ import annotations

from typing import Any

import pandas as pd

from lumora._labels import normalize_yyyymmdd
from lumora.backtest._clean_matrix import clean_matrix
from lumora.backtest.result import BacktestData

__all__ = ["hold_weights"]


def hold_weights(
    weights: pd.DataFrame, data: BacktestData, end_date: str | int | None = None
) -> pd.DataFrame:
    """Repeat each rebalance row of ``weights`` on every trading day until the next one.

    Args:
        weights: target weights (fractions of the capital), one row per rebalance date;
            dates and stock codes in any form ``backtest_strategy`` accepts.
        data: the loaded data (``load_backtest_data()``); its ``close_price`` dates are the
            trading days.
        end_date: hold the last rebalance up to this date (inclusive). Without it the
            result ends at the last rebalance date, so nothing is held beyond the rows given.

    Returns:
        A table with one row per trading day from the first rebalance date on, each row the
        whole row of the latest rebalance on or before that day (a stock left out of a
        rebalance stays out until a later one names it). A rebalance dated on a non-trading
        day starts on the next trading day.

    Raises:
        TypeError: ``weights`` is not a DataFrame or ``data`` not a ``BacktestData``.
        ValueError: ``weights`` has no rows.
    """
    if not isinstance(weights, pd.DataFrame):
        raise TypeError(f"weights must be a pandas DataFrame, got {type(weights).__name__}")
    mapping: Any = getattr(data, "data", None)
    if not isinstance(mapping, dict) or not isinstance(mapping.get("close_price"), pd.DataFrame):
        raise TypeError(
            "data must be the BacktestData that load_backtest_data() returns, "
            f"got {type(data).__name__}"
        )
    if len(weights) == 0:
        raise ValueError("weights has no rows")
    table = clean_matrix(weights)
    days = mapping["close_price"].index
    last = table.index[-1] if end_date is None else normalize_yyyymmdd(end_date)
    wanted = days[(days >= table.index[0]) & (days <= last)]
    # Whole rows are carried forward (by the row index), never cell by cell.
    return table.reindex(wanted, method="ffill")
