"""The own-data road as a user takes it: files laid out as a vendor ships them, then
``lumora.init_files``, ``prepare_backtest_data`` and ``load_backtest_data``. Against the same
market in our own layout, against the vendors' own definitions of a day's move, and with
the faults of real downloads: ex-rights days stated only by ``pre_close`` or a table of
adjustment factors, days without trading, calendar gaps, encodings and broken files."""

from __future__ import annotations

import logging

import numpy as np
import pandas as pd
import pytest

import lumora
from lumora.backtest import BacktestData, BacktestService
from lumora.backtest._full_build import build_payload
from lumora.file_source import FileSource, FileSourceError
from lumora.sandbox import export_market
from lumora.sources.sandbox.client import SandboxClient
from vendor_layouts import BAOSTOCK_LISTS, VENDORS, WRITERS, market_rows

T0 = "20240628"  # the service's today (see conftest.clock)
# Tables whose values come from the ex-rights reference price: a vendor's pre_close is
# rounded to the cent, the exact reference is not.
_FROM_REFERENCE = {"rq_get_split": 2e-3}


def prepared(root, **keywords) -> dict:
    """The README's road: install the files, prepare, load."""
    lumora.init_files(root, progress=False, **keywords)
    lumora.prepare_backtest_data()
    return lumora.load_backtest_data().data


def file_source_records(caplog, level: int) -> list[str]:
    return [
        r.getMessage()
        for r in caplog.records
        if r.levelno >= level and r.getMessage().startswith("file source")
    ]


@pytest.mark.parametrize("vendor", VENDORS)
def test_each_vendors_files_as_shipped_give_the_market_of_our_layout(
    tmp_path, vendor, clock, data_dir, installed, caplog
):
    sandbox = SandboxClient(n_stocks=20, seed=5, start="20230601", today=T0)
    export = tmp_path / "export"
    export_market(sandbox.market(), export, end=sandbox.today())
    rows = market_rows(pd.read_parquet(export / "bars.parquet"))
    assert rows["split"].notna().sum() and rows["dividend"].notna().sum()
    assert rows["is_suspended"].sum() > 10
    index = pd.read_parquet(export / "index_daily.parquet").drop(columns="daily_return")
    members = pd.read_parquet(export / "index_members.parquet")
    if vendor == "baostock":
        members = members[members["index_code"].astype(str).str[:6].isin(BAOSTOCK_LISTS)]

    # The truth: the same market in our layout, its ex-rights days stated by adjustment
    # factors, limits derived, one execution price (amount / volume) as the vendors give.
    ours = tmp_path / "ours"
    ours.mkdir()
    columns = ["date", "code", "open", "close", "high", "low", "volume", "amount"]
    rows[[*columns, "adj_factor", "is_suspended"]].to_parquet(ours / "bars.parquet")
    index.to_parquet(ours / "index_daily.parquet")
    members.to_parquet(ours / "index_members.parquet")
    expected = build_payload(FileSource(ours, progress=False))["data"]

    theirs = tmp_path / vendor
    theirs.mkdir()
    WRITERS[vendor](rows, index, members, theirs)
    installed(None)
    caplog.clear()
    with caplog.at_level(logging.DEBUG, logger="lumora"):
        got = prepared(theirs, vendor=vendor)
    assert set(got) >= set(expected)
    read = lumora.singleton.get_instance().input_files()  # what the store's record covers
    tables = {"bars", "index_daily", "index_members"} | (
        {"adj_factor"} if vendor != "baostock" else set()
    )
    assert {table for table, files in read.items() if files} == tables
    assert sum(len(files) for files in read.values()) == len(list(theirs.rglob("*.*")))
    for key, table in expected.items():
        if key == "benchmark_dict":
            for code, series in table.items():
                pd.testing.assert_series_equal(got[key][code], series, check_names=False)
            continue
        tolerance = _FROM_REFERENCE.get(key, 1e-12) if vendor == "baostock" else 1e-12
        pd.testing.assert_frame_equal(
            got[key].reindex_like(table), table, check_dtype=False, check_names=False,
            rtol=tolerance, obj=key,
        )  # fmt: skip
    assert expected["rq_get_split"].notna().to_numpy().sum() >= 2
    # Each ex-rights day stated one way or another: the only warning is the missing ST flag
    # of the two vendors whose bars carry none; nothing at INFO about indices.
    warned = file_source_records(caplog, logging.WARNING)
    assert len(warned) == (vendor != "baostock") and all("no ST flag" in w for w in warned)
    assert not [m for m in file_source_records(caplog, logging.INFO) if "index" in m]


# --------------------------------------------------------------------------- ex-rights

DAYS = ["20240102", "20240103", "20240104", "20240105", "20240108"]
# Closes of two stocks and their ex-rights days: (row, the exchange's reference, new shares
# per old share): a 2-for-1 split (10.40 -> 5.20) and a bonus issue of 3 per 10 (13.00 ->
# 10.00).
EVENTS = {
    "600000.SH": ([10.0, 10.4, 5.3, 5.4, 5.5], (2, 5.2, 2.0)),
    "000001.SZ": ([12.5, 13.0, 13.0, 10.2, 10.4], (3, 10.0, 1.3)),
}


def event_bars(root, layout: str) -> None:
    """The two stocks as tushare ships them, their ex-rights days stated by ``pre_close``,
    by an ``adj_factor`` table, by both or by neither; or (``ours``) in our layout with a
    ``split`` column, the statement the others are compared with."""
    frames, factors = [], []
    for code, (closes, (row, reference, split)) in EVENTS.items():
        previous = np.array([np.nan, *closes[:-1]])
        pre_close = previous.copy()
        pre_close[row] = reference
        frames.append(
            pd.DataFrame(
                {
                    "ts_code": code, "trade_date": DAYS, "open": closes, "high": closes,
                    "low": closes, "close": closes, "pre_close": pre_close, "vol": 1000.0,
                    "amount": np.array(closes) * 100.0,
                    "split": np.where(np.arange(len(DAYS)) == row, split, np.nan),
                }
            )
        )  # fmt: skip
        factor = np.cumprod(np.where(np.arange(len(DAYS)) == row, split, 1.0))
        factors.append(pd.DataFrame({"ts_code": code, "trade_date": DAYS, "adj_factor": factor}))
    bars = pd.concat(frames, ignore_index=True)
    if layout == "ours":
        bars = bars.drop(columns="pre_close").rename(
            columns={"ts_code": "code", "trade_date": "date", "vol": "volume"}
        )
        bars.assign(volume=bars["volume"] * 100, amount=bars["amount"] * 1000).to_csv(
            root / "bars.csv", index=False
        )
        return
    bars = bars.drop(columns="split")
    if layout not in ("pre_close", "both"):
        bars = bars.drop(columns="pre_close")
    bars.to_csv(root / "bars.csv", index=False)
    if layout in ("adj_factor table", "both"):
        pd.concat(factors).iloc[::-1].to_csv(root / "adj_factor.csv", index=False)


def held_returns(data: dict, code: str) -> pd.Series:
    """Daily returns of the strategy that holds one stock with all its capital."""
    weights = pd.DataFrame(1.0, index=data["close_price"].index, columns=[code])
    result = BacktestService(None).backtest_strategy(
        weights, BacktestData(data=data), 20240102, 20240110, None, "held",
        benchmark=None, fee=0.0, plot=None,
    )  # fmt: skip
    return result.daily_return


@pytest.mark.parametrize("stated", ["pre_close", "adj_factor table", "both", "neither"])
def test_ex_rights_days_stated_as_tushare_ships_them_book_what_a_split_column_books(
    tmp_path, stated, clock, data_dir, installed, caplog
):
    """A split the files state by tushare's ex-rights ``pre_close`` or by its table of
    adjustment factors books what the same split stated as a ``split`` column books; one
    the files do not state books the price drop, and one warning names the stock-days
    whose close leaves the limit band."""
    (tmp_path / "ours").mkdir()
    event_bars(tmp_path / "ours", "ours")
    truth = build_payload(FileSource(tmp_path / "ours", progress=False))["data"]
    root = tmp_path / "files"
    root.mkdir()
    event_bars(root, stated)
    installed(None)
    clock.day = DAYS[-1]
    caplog.clear()
    with caplog.at_level(logging.WARNING, logger="lumora"):
        data = prepared(root, vendor="tushare")
    for code in EVENTS:
        got, expected = held_returns(data, code[:6]), held_returns(truth, code[:6])
        if stated == "neither":  # the drop booked as a loss
            assert (got - expected).min() < -0.2
        else:
            pd.testing.assert_series_equal(got, expected, rtol=1e-12, atol=1e-12)
            assert got.min() > -0.01
    warned = [w for w in file_source_records(caplog, logging.WARNING) if "limit band" in w]
    if stated == "neither":
        assert len(warned) == 1 and warned[0].startswith("file source: 2 stock-days")
        assert "600000 on 20240104" in warned[0] and "000001 on 20240105" in warned[0]
    else:
        assert not warned


# --------------------------------------------------------------------------- trading days


def baostock_rows(days, closes, volumes, status) -> pd.DataFrame:
    return pd.DataFrame(
        {
            "date": [f"{d[:4]}-{d[4:6]}-{d[6:]}" for d in days],
            "code": "sh.600000",
            "open": closes,
            "high": closes,
            "low": closes,
            "close": closes,
            "volume": volumes,
            "amount": [str(float(c) * float(v or 0)) for c, v in zip(closes, volumes)],
            "tradestatus": status,
        }
    )


def test_days_without_trading_carry_the_last_close_and_stay_in_the_calendar(
    tmp_path, clock, data_dir, installed
):
    """Zero volume, an empty volume, or the trade status off: no trade, the last close
    carried (not the row's own close), and a day on which every stock is halted keeps its
    place in the calendar."""
    days = ["20240102", "20240103", "20240104", "20240105", "20240108", "20240109", "20240110"]
    one = baostock_rows(
        days,
        ["10.0", "10.0", "10.25", "10.5", "10.75", "11.0", "11.0"],
        ["100", "100", "0", "", "100", "100", "100"],
        ["1", "1", "1", "1", "0", "1", "1"],
    )
    two = baostock_rows(
        days,
        ["20.0", "20.0", "21.0", "21.0", "20.5", "20.0", "20.0"],
        ["100", "100", "100", "0", "100", "100", "100"],
        ["1"] * 7,
    ).assign(code="sz.000001")
    root = tmp_path / "files"
    root.mkdir()
    pd.concat([one, two]).astype(str).to_parquet(root / "bars.parquet")
    installed(None)
    clock.day = days[-1]
    data = prepared(root, vendor="baostock")
    assert data["close_price"].index.tolist() == days  # 20240105: nobody traded
    close = data["close_price"]
    assert close["600000"].tolist() == [10.0, 10.0, 10.0, 10.0, 10.0, 11.0, 11.0]
    assert close["000001"].tolist() == [20.0, 20.0, 21.0, 21.0, 20.5, 20.0, 20.0]
    assert not data["can_buy_stock"]["600000"].iloc[2:5].any()
    assert data["cant_sell_stock"]["600000"].iloc[2:5].all()
    returns = held_returns(data, "600000")  # bought on the second day at 10.00
    np.testing.assert_allclose(returns.to_numpy()[:5], [0, 0, 0, 0, 0.1], atol=1e-12)


def calendar_files(kind: str, root) -> None:
    days = ["20240102", "20240103", "20240104", "20240105", "20240108"]
    rows = []
    for code in ("600000.SH", "000001.SZ"):
        for day in days:
            rows.append({"ts_code": code, "trade_date": day, "open": 10.0, "close": 10.0,
                         "vol": 10.0})  # fmt: skip
    bars = pd.DataFrame(rows)
    index = pd.DataFrame({"ts_code": "000300.SH", "trade_date": days, "close": 3000.0})
    if kind == "a day missing from every stock":
        bars = bars[bars["trade_date"] != "20240104"]
    elif kind == "a Saturday":
        bars.loc[len(bars)] = {"ts_code": "600000.SH", "trade_date": "20240106", "open": 10.0,
                               "close": 10.0, "vol": 10.0}  # fmt: skip
    elif kind == "a day the index does not list":
        index = index[index["trade_date"] != "20240104"]
    elif kind == "one stock missing a day":
        bars = bars.drop(index=3)
    bars.to_csv(root / "bars.csv", index=False)
    index.to_csv(root / "index_daily.csv", index=False)


@pytest.mark.parametrize(
    ("kind", "fragments"),
    [
        ("a day missing from every stock", ["index_daily.csv", "date 20240104", "no bars file"]),
        ("a Saturday", ["bars.csv", "date 20240106 is a Saturday"]),
        ("a day the index does not list", ["bars.csv", "20240104 is not a trading day"]),
        ("one stock missing a day", []),
    ],
)
def test_calendar_gaps_and_extra_days_are_refused_naming_file_and_date(
    tmp_path, kind, fragments, clock, data_dir, installed
):
    calendar_files(kind, tmp_path)
    installed(None)
    clock.day = "20240108"
    if not fragments:  # a suspension, not an error
        data = prepared(tmp_path, vendor="tushare")
        assert data["close_price"].shape == (5, 2)
        return
    with pytest.raises(FileSourceError) as raised:
        lumora.init_files(tmp_path, vendor="tushare", progress=False)
    for fragment in fragments:
        assert fragment in str(raised.value)


# --------------------------------------------------------------------------- files


def st_files(root) -> None:
    """A main-board stock under special treatment from its third day, stated as tushare's
    table of name changes gives it (a span per name; only names with "ST" count)."""
    rows = []
    for day, close in zip(DAYS, [10.0, 10.0, 10.0, 9.6, 9.8]):
        rows.append({"ts_code": "600001.SH", "trade_date": day, "open": close, "close": close,
                     "vol": 10.0})  # fmt: skip
    pd.DataFrame(rows).to_csv(root / "bars.csv", index=False)
    pd.DataFrame(
        {
            "ts_code": ["600001.SH", "600001.SH"],
            "name": ["浦发一号", "ST浦发"],
            "start_date": ["20100101", "20240104"],
            "end_date": ["20240103", None],
            "change_reason": ["", "ST"],
        }
    ).to_csv(root / "st.csv", index=False)


def test_st_spans_from_a_table_of_name_changes_set_the_five_percent_limits(
    tmp_path, clock, data_dir, installed, caplog
):
    st_files(tmp_path)
    installed(None)
    with caplog.at_level(logging.WARNING, logger="lumora"):
        lumora.init_files(tmp_path, vendor="tushare", progress=False)
        source = lumora.singleton.get_instance()
        down = source.get_factor_matrix("limit_down")
    assert down.loc["20240103", "600001"] == 9.0  # 10 % before the span
    assert down.loc["20240104", "600001"] == 9.5  # 5 % from its first day
    assert down.loc["20240108", "600001"] == 9.12  # 9.60 * 0.95
    assert not file_source_records(caplog, logging.WARNING)


def sparse_nul_file(path, size: int = 2 << 30) -> None:
    """A file of NUL bytes of ``size`` (an unfinished download), sparse: no disk used."""
    with open(path, "wb") as fh:
        fh.truncate(size)


def bad_vendor_files(kind: str, root) -> None:
    calendar_files("", root)
    bars = pd.read_csv(root / "bars.csv")
    if kind == "vol and volume":
        bars.assign(volume=bars["vol"] * 100).to_csv(root / "bars.csv", index=False)
    elif kind == "amount in yuan":  # tushare's preset reads it in thousands
        bars.assign(amount=bars["close"] * bars["vol"] * 100).to_csv(root / "bars.csv", index=False)
    elif kind in ("NUL parquet", "NUL csv"):
        (root / "bars.csv").unlink()
        (root / "bars").mkdir()
        bars.to_csv(root / "bars" / "2024.csv", index=False)
        sparse_nul_file(root / "bars" / ("2025.parquet" if kind == "NUL parquet" else "2025.csv"))
    elif kind == "UTF-16":
        (root / "bars.csv").write_text(bars.to_csv(index=False), encoding="utf-16")
    elif kind == "a date twice in a stock's file":
        (root / "bars.csv").unlink()
        (root / "bars").mkdir()
        for code, rows in bars.groupby("ts_code"):
            rows = pd.concat([rows, rows.iloc[[1]]]) if code == "600000.SH" else rows
            rows.iloc[::-1].to_csv(root / "bars" / f"{code}.csv", index=False)


@pytest.mark.parametrize(
    ("kind", "fragments"),
    [
        ("vol and volume", ["bars.csv", "columns 'vol' and 'volume' both give 'volume'"]),
        ("amount in yuan", ["amount / volume", "units={'volume': 'lots', 'amount': 'yuan'}"]),
        ("NUL parquet", ["2025.parquet", "not a parquet file", "2,147,483,648 bytes"]),
        ("NUL csv", ["2025.csv", "not a CSV table (NUL bytes"]),
        ("UTF-16", ["bars.csv", "UTF-16", "iconv -f UTF-16 -t UTF-8"]),
        ("a date twice in a stock's file", ["600000.SH.csv", "duplicate rows for date 20240103"]),
    ],
)
def test_broken_downloads_are_refused_naming_the_file(tmp_path, kind, fragments, installed):
    bad_vendor_files(kind, tmp_path)
    installed(None)
    with pytest.raises(FileSourceError) as raised:
        lumora.init_files(tmp_path, vendor="tushare", progress=False)
    message = str(raised.value)
    for fragment in fragments:
        assert fragment in message
    assert "thousand_yuan" not in message  # a hint never suggests what is already set
