"""Layouts and units of the files vendors deliver, for ``init_files(vendor=...)``.

Each preset maps a vendor's column names to the file source's and says in which units its
volume and amount come; the file source converts to shares and yuan as it reads, so that
``amount / volume`` is a price. Conventions as the vendors document them (sources in
README.md, "Bring your own data"):

* ``"tushare"``: daily bars (``daily``): ``ts_code`` ("600000.SH"), ``trade_date``, ``vol``
  in lots of 100 shares, ``amount`` in thousand yuan, ``pre_close`` the ex-rights previous
  close, unadjusted prices, no row on a suspended day, newest day first; the adjustment
  factors (``adj_factor``: ``ts_code``, ``trade_date``, ``adj_factor``) a table of their
  own; index closes (``index_daily``: ``ts_code``, ``trade_date``, ``close``); index
  members (``index_weight``: ``index_code``, ``con_code``, ``trade_date``, ``weight``);
  ST names (``namechange``: ``ts_code``, ``name``, ``start_date``, ``end_date``).
* ``"akshare"``: Chinese column names (``stock_zh_a_hist``: 日期, 股票代码 without an
  exchange mark, 开盘, 收盘, 最高, 最低, 成交量 in lots, 成交额 in yuan), often one file per
  stock named by its code; index histories without a code column (``index_zh_a_hist``:
  日期, 收盘; one file per index named by its code); index members
  (``index_stock_cons_csindex``: 日期, 指数代码, 成分券代码).
* ``"baostock"``: ``query_history_k_data_plus``: ``code`` as "sh.600000", ``date``,
  ``volume`` in shares, ``amount`` in yuan, ``preclose``, ``tradestatus`` (1 trading, 0
  suspended: a suspended day has a row with the last close and zero volume) and ``isST``;
  every field may come as text, empty where missing. Index members (``query_hs300_stocks``:
  ``updateDate``, ``code``, ``code_name``; one file per index named by its code).
"""

from __future__ import annotations

from collections.abc import Mapping
from dataclasses import dataclass, field

__all__ = ["UNITS", "VENDORS", "Layout", "layout_of"]

# Units a file may give volume and amount in, as the factor to shares and to yuan.
UNITS: dict[str, dict[str, float]] = {
    "volume": {"shares": 1.0, "lots": 100.0},
    "amount": {"yuan": 1.0, "thousand_yuan": 1000.0, "ten_thousand_yuan": 10000.0},
}


@dataclass(frozen=True)
class Layout:
    """How to read a folder of files: their column names mapped to ours, and the factors
    that turn their volume into shares and their amount into yuan."""

    columns: Mapping[str, str] = field(default_factory=dict)
    volume_scale: float = 1.0
    amount_scale: float = 1.0


VENDORS: dict[str, tuple[dict[str, str], dict[str, str]]] = {
    "tushare": (
        {
            "ts_code": "code",
            "trade_date": "date",
            "vol": "volume",
            "pre_close": "pre_close",
            "con_code": "code",
        },
        {"volume": "lots", "amount": "thousand_yuan"},
    ),
    "akshare": (
        {
            "日期": "date",
            "股票代码": "code",
            "开盘": "open",
            "收盘": "close",
            "最高": "high",
            "最低": "low",
            "成交量": "volume",
            "成交额": "amount",
            "指数代码": "index_code",
            "成分券代码": "code",
        },
        {"volume": "lots", "amount": "yuan"},
    ),
    "baostock": (
        {
            "preclose": "pre_close",
            "tradestatus": "is_trading",
            "isST": "is_st",
            "updateDate": "date",
        },
        {"volume": "shares", "amount": "yuan"},
    ),
}


def layout_of(
    vendor: str | None, columns: Mapping[str, str] | None, units: Mapping[str, str] | None
) -> Layout:
    """The layout of a vendor's preset (None: none), with ``columns`` and ``units``
    overriding it entry by entry.

    Raises:
        ValueError: an unknown vendor or unit.
        TypeError: ``columns`` or ``units`` not mapping text to text.
    """
    mapping: dict[str, str] = {}
    unit_names = {"volume": "shares", "amount": "yuan"}
    if vendor is not None:
        if vendor not in VENDORS:
            raise ValueError(f"unknown vendor {vendor!r}; presets: {', '.join(sorted(VENDORS))}")
        mapping.update(VENDORS[vendor][0])
        unit_names.update(VENDORS[vendor][1])
    for what, given in (("columns", columns), ("units", units)):
        for key, value in (given or {}).items():
            if not isinstance(key, str) or not isinstance(value, str):
                raise TypeError(f"{what} must map text to text, got {key!r}: {value!r}")
    mapping.update(columns or {})
    for name, unit in (units or {}).items():
        if name not in UNITS or unit not in UNITS[name]:
            known = "; ".join(f"{k}: {', '.join(v)}" for k, v in UNITS.items())
            raise ValueError(f"unknown unit {name}={unit!r}; known units: {known}")
        unit_names[name] = unit
    return Layout(
        columns=mapping,
        volume_scale=UNITS["volume"][unit_names["volume"]],
        amount_scale=UNITS["amount"][unit_names["amount"]],
    )
