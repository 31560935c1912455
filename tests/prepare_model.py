"""A plain pandas model of the prepared-data builder's conversions and derivation, written
the straightforward way (groupby, pivot, label-aligned arithmetic), for differential tests.
It imports nothing from lumora: every step is written here again."""

from __future__ import annotations

import numpy as np
import pandas as pd

RENAME = {"date": "DataDate", "value": "x", "factor": "factorname", "factor_name": "factorname"}


def _yyyymmdd(values: object) -> pd.Series:
    parsed = pd.to_datetime(values, errors="coerce")
    if not isinstance(parsed, pd.Series):
        parsed = pd.Series(parsed)
    return parsed.dt.strftime("%Y%m%d")


def _pivot(part: pd.DataFrame) -> pd.DataFrame:
    """Date x stock table of one factor: last value per cell, dates ascending, float64."""
    part = part[["DataDate", "ukey", "x"]].dropna(subset=["DataDate", "ukey", "x"])
    part = part.drop_duplicates(subset=["ukey", "DataDate"], keep="last")
    table = part.pivot(index="DataDate", columns="ukey", values="x").sort_index()
    table.index = pd.Index(table.index.astype(str), dtype=str, name=table.index.name)
    table.columns = pd.Index(table.columns.astype(str), dtype=str, name=table.columns.name)
    return table.astype("float64")


def factors_to_matrices(df: pd.DataFrame | None, names: list[str]) -> dict[str, pd.DataFrame]:
    result = {name: pd.DataFrame() for name in names}
    if df is None or len(df) == 0:
        return result
    frame = df.copy().rename(columns={k: v for k, v in RENAME.items() if k in df.columns})
    frame["ukey"] = frame["ukey"].astype(str).str[:6]
    frame["DataDate"] = _yyyymmdd(frame["DataDate"])
    if "x" in frame.columns:
        frame["x"] = pd.to_numeric(frame["x"], errors="coerce")
    if "factorname" in frame.columns:
        frame["factorname"] = frame["factorname"].astype(str)
        groups = list(frame.groupby("factorname", sort=False, observed=True))
    elif len(names) == 1:
        groups = [(names[0], frame)]
    else:
        for name in names:
            if name in frame.columns:
                part = frame[["DataDate", "ukey", name]].rename(columns={name: "x"})
                part["x"] = pd.to_numeric(part["x"], errors="coerce")
                result[name] = _pivot(part)
        return result
    for name, part in groups:
        if name in result:
            result[name] = _pivot(part)
    return result


def derive(source: dict[str, pd.DataFrame]) -> dict[str, pd.DataFrame]:
    """The twelve prepared matrices; the close table must have rows."""
    close = source["Close"]
    valid = close * 0 + 1
    split = source["split_coefficient_to"] / 10 * valid
    split = split.loc[split.index >= close.index[0]]
    dividend = source["rq_get_dividend"] / 10 * 0.9 + (valid - 1)
    dividend = dividend.loc[dividend.index <= close.index[-1]]
    raw = source["rq_is_suspended"]
    suspended = pd.DataFrame(np.where(raw.eq(1), 1, np.nan), index=raw.index, columns=raw.columns)
    sell, buy = source["tick_vwap_price_925_1000"], source["tick_vwap_price_935_1005"]

    def blocked(price: pd.DataFrame, limit: pd.DataFrame) -> pd.DataFrame:
        """At the limit, suspended, or without a usable price (missing, not positive, not
        finite: a trading day without one, a day not listed), on the union of the price
        and suspension labels."""
        index, columns = (
            aligned_labels(price.index, raw.index),
            aligned_labels(price.columns, raw.columns),
        )
        value = price.reindex(index=index, columns=columns)
        usable = value.gt(0) & ~value.isin([np.inf])
        at_limit = value.eq(limit.reindex(index=index, columns=columns))
        return at_limit | suspended.reindex(index=index, columns=columns).eq(1) | ~usable

    limit_down = source["limit_down"].reindex(index=sell.index, columns=sell.columns)
    limit_up = source["limit_up"].reindex(index=buy.index, columns=buy.columns)
    opens = source["Open"]
    forward = (opens.shift(-2) / opens.shift(-1) - 1).replace([np.inf, -np.inf], np.nan)
    return {
        "industry_matrix": source["rq_industry_exposure_new"],
        "close_price": close,
        "open_price": opens,
        "close_price_valid": valid,
        "prev_close": close.shift(1),
        "buy_price": buy,
        "sell_price": sell,
        "rq_get_split": split,
        "rq_get_dividend": dividend,
        "can_buy_stock": ~blocked(buy, limit_up),
        "cant_sell_stock": blocked(sell, limit_down),
        "forward_return_rank_cache": forward.rank(axis=1, method="average"),
    }


def membership_mask(matrix: pd.DataFrame) -> pd.DataFrame:
    cleaned = matrix.replace([np.inf, -np.inf], np.nan).mask(matrix == 0)
    return (cleaned * 0 + 1).astype("float64").sort_index()


def aligned_labels(left: pd.Index, right: pd.Index) -> pd.Index:
    """The labels a label-aligned operation of two tables gives: the left ones when equal,
    else their outer join."""
    return left if left.equals(right) else left.join(right, how="outer")
