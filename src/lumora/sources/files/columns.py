"""The columns of the user's files: the names the file source reads, which of them hold
prices, flags and codes, and how a layout's names and units map to ours (volume in shares,
amount in yuan)."""

from __future__ import annotations

from collections.abc import Mapping

import numpy as np

from lumora.sources.vendors import Layout

__all__ = [
    "BAR_COLUMNS",
    "FLAG_COLUMNS",
    "OPTIONAL_BAR_COLUMNS",
    "PRICE_COLUMNS",
    "REQUIRED_BAR_COLUMNS",
    "SUFFIXES",
    "TABLES",
    "code_column_names",
    "in_shares_and_yuan",
]

REQUIRED_BAR_COLUMNS = ("date", "code", "open", "close", "volume")
OPTIONAL_BAR_COLUMNS = (
    "high",
    "low",
    "amount",
    "vwap",
    "buy_price",
    "sell_price",
    "adj_factor",
    "split",
    "dividend",
    "limit_up",
    "limit_down",
    "is_suspended",
    "is_st",
    "industry",
    "pre_close",
    "is_trading",
)
FLAG_COLUMNS = ("is_suspended", "is_st", "is_trading")
PRICE_COLUMNS = (
    "open",
    "close",
    "high",
    "low",
    "vwap",
    "buy_price",
    "sell_price",
    "limit_up",
    "limit_down",
)
BAR_COLUMNS = frozenset(REQUIRED_BAR_COLUMNS + OPTIONAL_BAR_COLUMNS)
# The tables of a folder, each one file or a folder of files of these kinds.
TABLES = ("bars", "index_daily", "index_members", "adj_factor", "st")
SUFFIXES = (".parquet", ".csv")


def code_column_names(columns: Mapping[str, str]) -> list[str]:
    """The names of the columns that hold codes, in the files' names and ours (kept as text
    when read, so that "000001" keeps its zeros)."""
    names = {"code", "index_code"}
    names.update(user for user, ours in columns.items() if ours in ("code", "index_code"))
    return sorted(names)


def in_shares_and_yuan(part: dict[str, np.ndarray], layout: Layout) -> None:
    """Converts a file's ``volume`` and ``amount`` from the layout's units (in their own
    arrays where those can be written: the file's columns are read into arrays of ours)."""
    for name, scale in (("volume", layout.volume_scale), ("amount", layout.amount_scale)):
        if name not in part or scale == 1.0:
            continue
        values = part[name]
        if values.flags.writeable and values.dtype == np.float64:
            np.multiply(values, scale, out=values)
        else:
            part[name] = values * scale
