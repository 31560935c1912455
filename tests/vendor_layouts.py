"""A market written as three data vendors ship their files, from their documentation (the
sources are cited in README.md, "Bring your own data"). Independent of the file source: the
tests compare what the source reads from these files with what it reads from the same
market in its own layout.

* tushare: ``daily`` bars, one file per stock as a per-stock download gives them, newest day
  first: ``ts_code`` "600000.SH", ``trade_date`` YYYYMMDD text, ``pre_close`` the ex-rights
  previous close, ``vol`` in lots, ``amount`` in thousand yuan, unadjusted prices, no row on
  a suspended day; ``adj_factor`` a table of its own (``ts_code``, ``trade_date``,
  ``adj_factor``, every day, suspended ones too); ``index_daily`` (``ts_code``,
  ``trade_date``, ``close``, ...); ``index_weight`` (``index_code`` with the Shenzhen quote
  "399300.SZ" of the CSI 300, ``con_code``, ``trade_date``, ``weight``).
* akshare: ``stock_zh_a_hist`` bars in GBK-encoded CSV, one file per stock named by its
  six-digit code, Chinese column names (日期 "2024-01-02", 股票代码 without an exchange
  mark, 开盘, 收盘, 最高, 最低, 成交量 in lots, 成交额 in yuan, 振幅, 涨跌幅, 涨跌额,
  换手率), no row on a suspended day and no ex-rights data (the user adds a table of
  adjustment factors); ``index_zh_a_hist`` histories without a code column, one file per
  index named by its code; ``index_stock_cons_csindex`` members (日期, 指数代码, 成分券代码,
  ...).
* baostock: ``query_history_k_data_plus`` rows with every field as text, as its result set
  gives them (empty text where a value is missing), in a parquet file: ``date``
  "2024-01-02", ``code`` "sh.600000", ``volume`` in shares, ``amount`` in yuan,
  ``preclose``, ``tradestatus`` 0 on a suspended day (a row whose prices are the last close,
  volume 0, ``turn`` empty), ``isST``; the index's own k-data with ``code`` "sh.000300";
  ``query_hs300_stocks`` members (``updateDate``, ``code``, ``code_name``), one file per
  index named by its code.
"""

from __future__ import annotations

from pathlib import Path

import numpy as np
import pandas as pd

VENDORS = ("tushare", "akshare", "baostock")
# The exchanges quote the CSI 300 in Shenzhen under this code too; tushare's index_weight
# lists its members under it.
SHENZHEN_CSI_300 = "399300.SZ"
# The index member lists baostock offers (query_hs300_stocks, query_zz500_stocks).
BAOSTOCK_LISTS = ("000300", "000905")


def cents_half_up(values: np.ndarray) -> np.ndarray:
    """Prices rounded half up to the cent, as the exchanges quote them."""
    return np.floor(np.asarray(values, dtype=float) * 100.0 + 0.5 + 1e-9) / 100.0


def market_rows(bars: pd.DataFrame) -> pd.DataFrame:
    """Our layout's bars (``export_market``: a row per listed day, suspended days with
    zero volume and the last close, ``split`` / ``dividend`` on ex-rights days) with what
    every vendor states: the day's high and low, the amount, and the exchange's ex-rights
    previous close."""
    out = bars.sort_values(["code", "date"], kind="stable").reset_index(drop=True)
    previous = out.groupby("code")["close"].shift(1)
    dividend = out["dividend"].fillna(0.0)
    split = out["split"].fillna(1.0)
    out["pre_close"] = cents_half_up((previous - dividend) / split)
    traded = out[["open", "close", "buy_price"]]
    out["high"] = traded.max(axis=1)
    out["low"] = traded.min(axis=1)
    out["amount"] = out["buy_price"] * out["volume"]
    return out


def _text_date(dates: pd.Series) -> pd.Series:
    text = dates.astype(str)
    return text.str[:4] + "-" + text.str[4:6] + "-" + text.str[6:]


def write_tushare(
    rows: pd.DataFrame, index: pd.DataFrame, members: pd.DataFrame, root: Path
) -> None:
    traded = rows[~rows["is_suspended"]]
    (root / "bars").mkdir(parents=True)
    for code, stock in traded.groupby("code"):
        daily = pd.DataFrame(
            {
                "ts_code": code,
                "trade_date": stock["date"].astype(str),
                "open": stock["open"],
                "high": stock["high"],
                "low": stock["low"],
                "close": stock["close"],
                "pre_close": stock["pre_close"],
                "change": stock["close"] - stock["pre_close"],
                "pct_chg": (stock["close"] / stock["pre_close"] - 1.0) * 100.0,
                "vol": stock["volume"] / 100.0,
                "amount": stock["amount"] / 1000.0,
            }
        )
        daily.iloc[::-1].to_csv(root / "bars" / f"{code}.csv", index=False)  # newest first
    factors = rows[["code", "date", "adj_factor"]].iloc[::-1]
    factors.set_axis(["ts_code", "trade_date", "adj_factor"], axis=1).to_csv(
        root / "adj_factor.csv", index=False
    )
    pd.DataFrame(
        {
            "ts_code": index["index_code"].astype(str).str[:6] + ".SH",
            "trade_date": index["date"].astype(str),
            "close": index["close"],
            "pct_chg": index.groupby("index_code")["close"].pct_change() * 100.0,
        }
    ).iloc[::-1].to_csv(root / "index_daily.csv", index=False)
    codes = members["index_code"].astype(str).str[:6]
    exchange = np.where(
        codes.str.startswith("399"), ".SZ", np.where(codes.str.startswith("93"), ".CSI", ".SH")
    )
    pd.DataFrame(
        {
            "index_code": np.where(codes == "000300", SHENZHEN_CSI_300, codes + exchange),
            "con_code": [f"{c}.SH" if c.startswith("6") else f"{c}.SZ" for c in members["code"]],
            "trade_date": members["date"].astype(str),
            "weight": 0.1,
        }
    ).to_csv(root / "index_members.csv", index=False)


def write_akshare(
    rows: pd.DataFrame, index: pd.DataFrame, members: pd.DataFrame, root: Path
) -> None:
    traded = rows[~rows["is_suspended"]]
    (root / "bars").mkdir(parents=True)
    for code, stock in traded.groupby("code"):
        change = stock["close"] - stock["pre_close"]
        hist = pd.DataFrame(
            {
                "日期": _text_date(stock["date"]),
                "股票代码": code[:6],
                "开盘": stock["open"],
                "收盘": stock["close"],
                "最高": stock["high"],
                "最低": stock["low"],
                "成交量": stock["volume"] / 100.0,
                "成交额": stock["amount"],
                "振幅": (stock["high"] - stock["low"]) / stock["pre_close"] * 100.0,
                "涨跌幅": change / stock["pre_close"] * 100.0,
                "涨跌额": change,
                "换手率": 0.5,
            }
        )
        hist.to_csv(root / "bars" / f"{code[:6]}.csv", index=False, encoding="gbk")
    rows[["date", "code", "adj_factor"]].to_csv(root / "adj_factor.csv", index=False)
    (root / "index_daily").mkdir()
    for code, series in index.groupby("index_code"):
        pd.DataFrame(
            {"日期": _text_date(series["date"]), "开盘": series["close"], "收盘": series["close"]}
        ).to_csv(root / "index_daily" / f"{str(code)[:6]}.csv", index=False)
    pd.DataFrame(
        {
            "日期": _text_date(members["date"]),
            "指数代码": members["index_code"].astype(str).str[:6],
            "指数名称": "指数",
            "成分券代码": members["code"].astype(str),
            "成分券名称": "股票",
            "交易所": "交易所",
        }
    ).to_csv(root / "index_members.csv", index=False)


def write_baostock(
    rows: pd.DataFrame, index: pd.DataFrame, members: pd.DataFrame, root: Path
) -> None:
    halted = rows["is_suspended"].to_numpy()
    last = np.where(halted, rows["close"], np.nan)

    def text(values: pd.Series | np.ndarray, blank: np.ndarray | None = None) -> list[str]:
        out = [f"{v:.4f}" if np.isfinite(v) else "" for v in np.asarray(values, dtype=float)]
        return out if blank is None else ["" if b else v for v, b in zip(out, blank)]

    mark = rows["code"].str[-2:].str.lower()
    frame = pd.DataFrame(
        {
            "date": _text_date(rows["date"]),
            "code": (mark + "." + rows["code"].str[:6]).to_numpy(),
            "open": text(np.where(halted, last, rows["open"])),
            "high": text(np.where(halted, last, rows["high"])),
            "low": text(np.where(halted, last, rows["low"])),
            "close": text(rows["close"]),
            "preclose": text(rows["pre_close"]),
            "volume": [str(int(v)) for v in rows["volume"]],
            "amount": text(rows["amount"]),
            "adjustflag": "3",
            "turn": text(np.full(len(rows), 0.5), blank=halted),
            "tradestatus": np.where(halted, "0", "1"),
            "pctChg": text(rows["close"] / rows["pre_close"] * 100.0 - 100.0),
            "isST": "0",
        }
    )
    frame.to_parquet(root / "bars.parquet", index=False)
    pd.DataFrame(
        {
            "date": _text_date(index["date"]),
            "code": "sh." + index["index_code"].astype(str).str[:6],
            "close": index["close"].astype(str),
        }
    ).to_csv(root / "index_daily.csv", index=False)
    (root / "index_members").mkdir()
    for code, listed in members.groupby(members["index_code"].astype(str).str[:6]):
        if code in BAOSTOCK_LISTS:
            pd.DataFrame(
                {
                    "updateDate": _text_date(listed["date"]),
                    "code": [("sh." if c.startswith("6") else "sz.") + c for c in listed["code"]],
                    "code_name": "股票",
                }
            ).to_csv(root / "index_members" / f"{code}.csv", index=False)


WRITERS = {"tushare": write_tushare, "akshare": write_akshare, "baostock": write_baostock}
