"""The sandbox market written as files in the layout of the file data source
(``lumora.sources.files``): the same market through the files gives the same data."""

from __future__ import annotations

import os
from pathlib import Path
from typing import TYPE_CHECKING

import numpy as np
import pandas as pd

from lumora._labels import normalize_yyyymmdd
from lumora.sources.base import DIVIDEND_TAX_KEEP, INDEX_COMPONENTS

if TYPE_CHECKING:
    from lumora.sources.sandbox.market import SandboxMarket

__all__ = ["export_market"]


def _bars_table(market: SandboxMarket, stop: int) -> pd.DataFrame:
    """The long daily bars of the first ``stop`` dates: one row per listed stock-day."""
    source = market.source_tables()
    listed = market._listed()[:stop]
    rows, cols = np.nonzero(listed)
    suspended = market._suspended[:stop][rows, cols]

    def cells(name: str) -> np.ndarray:
        return source[name].to_numpy()[:stop][rows, cols]

    close = cells("Close")
    split = market._dense_events(market._events.split_per_ten / 10, np.nan)[:stop]
    dividend = market._dense_events(
        market._events.dividend_per_ten / 10 * DIVIDEND_TAX_KEEP, np.nan
    )[:stop]
    # Cumulative adjustment: what one share before the window has become.
    previous = np.vstack([market._universe.first_price, source["Close"].to_numpy()[:-1]])[:stop]
    with np.errstate(invalid="ignore", divide="ignore"):
        reference = (previous - np.nan_to_num(dividend, nan=0.0)) / np.nan_to_num(split, nan=1.0)
        ratio = np.where(np.isnan(split) & np.isnan(dividend), 1.0, previous / reference)
    adj = np.cumprod(np.nan_to_num(ratio, nan=1.0), axis=0)
    volume = np.round(market.float_shares.to_numpy() * 0.004)[cols]
    return pd.DataFrame(
        {
            "date": market.dates.to_numpy()[:stop][rows].astype(np.int64),
            "code": np.array([_qualified(c) for c in market.codes], dtype=object)[cols],
            "open": np.where(suspended, close, cells("Open")),
            "close": close,
            "volume": np.where(suspended, 0.0, volume),
            "buy_price": cells("tick_vwap_price_935_1005"),
            "sell_price": cells("tick_vwap_price_925_1000"),
            "limit_up": cells("limit_up"),
            "limit_down": cells("limit_down"),
            "split": split[rows, cols],
            "dividend": dividend[rows, cols],
            "adj_factor": adj[rows, cols],
            "is_suspended": suspended,
            "industry": cells("rq_industry_exposure_new").astype(np.int64),
        }
    )


def _qualified(code: str) -> str:
    return f"{code}.SH" if code.startswith("6") else f"{code}.SZ"


def _members_table(market: SandboxMarket, stop: int) -> pd.DataFrame:
    """Index members on each review date (a review holds until the next one)."""
    parts = []
    rows = market._rebalances[market._rebalances < stop]
    listed = market._listed()[rows]
    for name in INDEX_COMPONENTS.values():
        members = market._membership(name)[rows] & listed
        for row, held in zip(rows, members):
            parts.append(
                pd.DataFrame(
                    {
                        "date": int(market.dates[row]),
                        "index_code": name.rsplit("_", 1)[1],
                        "code": market.codes.to_numpy()[held],
                    }
                )
            )
    return pd.concat(parts, ignore_index=True)


def export_market(
    market: SandboxMarket,
    root: str | os.PathLike[str],
    *,
    end: object = None,
    file_format: str = "parquet",
) -> None:
    """Write ``market`` up to ``end`` (its last date by default) into the folder ``root`` in
    the layout of the file data source: ``bars``, ``index_daily`` and ``index_members``
    (``file_format`` "parquet" or "csv"). Suspended days are rows with zero volume that
    carry the last close; execution prices, limit prices, splits and dividends are exported
    as they are, so a backtest on the files equals one on the sandbox."""
    if file_format not in ("parquet", "csv"):
        raise ValueError(f"file_format must be 'parquet' or 'csv', got {file_format!r}")
    last = normalize_yyyymmdd(end) or market.dates[-1]
    stop = int(np.searchsorted(market.dates.to_numpy(), last, side="right"))
    if stop == 0:
        raise ValueError(f"the market starts after {last}")
    folder = Path(os.fspath(root))
    folder.mkdir(parents=True, exist_ok=True)
    index = market.index_daily()
    index = index[index["date"] <= last].rename(columns={"ukey": "index_code"})
    index["date"] = index["date"].astype(np.int64)
    tables = {
        "bars": _bars_table(market, stop),
        "index_daily": index,
        "index_members": _members_table(market, stop),
    }
    for name, table in tables.items():
        path = folder / f"{name}.{file_format}"
        if file_format == "parquet":
            table.to_parquet(path, index=False)
        else:
            table.to_csv(path, index=False)
