"""The offline data service: query conventions, stable history, package server, singleton."""

from __future__ import annotations

import datetime as dt
import hashlib
import tarfile
import urllib.error
import urllib.request

import numpy as np
import pandas as pd
import pytest

from lumora import singleton
from lumora._http import HttpClient
from lumora.backtest._package_server import PackageServer
from lumora.backtest._pkg import PACKAGE_DESCRIPTOR_PATH, download_benchmark_package
from lumora.backtest._store import BinaryPreparedDataStoreBase
from lumora.exceptions import KestrelError, NetworkError
from lumora.sandbox import (
    BENCHMARK_INDEX_CODES,
    COMPONENT_FACTOR_NAMES,
    SOURCE_FACTOR_NAMES,
    generate_market,
    trading_calendar,
)
from lumora.sources.sandbox.client import SandboxClient

MARKET = {"n_stocks": 40, "seed": 5, "start": "20230103", "horizon": "20251231"}
ALL_FACTORS = list(SOURCE_FACTOR_NAMES) + list(COMPONENT_FACTOR_NAMES)


def client(today: object = "20240628") -> SandboxClient:
    return SandboxClient(**MARKET, today=today)


@pytest.fixture(scope="module")
def market():
    """The same market generated directly, as a reference for the client's answers."""
    n_days = len([d for d in trading_calendar("20230103", 1200) if d <= "20251231"])
    return generate_market(40, n_days, seed=5, start="20230103")


def wide(frame: pd.DataFrame, name: str) -> pd.DataFrame:
    part = frame[frame["factor"] == name].astype({"ukey": str})
    table = part.pivot(index="date", columns="ukey", values="value")
    table.index = table.index.strftime("%Y%m%d")
    table.columns = [code[:6] for code in table.columns]
    return table


def test_factor_rows_match_the_market_with_source_conventions(market) -> None:
    rows = client().get_factors(ALL_FACTORS, start_date="2023-06-01", end_date="2024-06-30")
    assert list(rows.columns) == ["date", "ukey", "value", "factor"]
    assert rows["value"].notna().all() and set(rows["factor"]) == set(ALL_FACTORS)
    assert rows["ukey"].str.fullmatch(r"6\d{5}\.XSHG|[03]\d{5}\.XSHE").all()
    tables = {**market.source_tables(), **market.component_factor_tables()}
    for name in ALL_FACTORS:
        expected = tables[name].loc["20230601":"20240630"].dropna(how="all", axis=1)
        expected = expected.dropna(how="all")
        got = wide(rows, name)
        pd.testing.assert_frame_equal(
            got, expected, check_names=False, check_column_type=False, check_index_type=False
        )
    by_name = rows.groupby("factor")["value"]
    assert set(by_name.get_group("split_coefficient_to")) <= {12.0, 13.0, 15.0, 20.0}  # per ten
    assert (by_name.get_group("rq_get_dividend") > 0).all()  # pre-tax cash per ten shares
    for name in ["rq_is_suspended", *COMPONENT_FACTOR_NAMES]:
        assert set(by_name.get_group(name)) == {0.0, 1.0}


def test_single_name_list_and_window_forms_agree() -> None:
    sandbox = client()
    one = sandbox.get_factors("Close", start_date="20240102", end_date="20240110")
    listed = sandbox.get_factors(
        factor=["Close", "Close", "no_such_factor"],
        start_date=dt.date(2024, 1, 2),
        end_date="2024-01-10",
    )
    pd.testing.assert_frame_equal(one, listed)
    assert one["date"].min() >= pd.Timestamp("2024-01-02")
    assert one["date"].max() == pd.Timestamp("2024-01-10")
    empty = sandbox.get_factors(["Close"], start_date="20240110", end_date="20240101")
    assert empty.empty and list(empty.columns) == ["date", "ukey", "value", "factor"]
    with pytest.raises(TypeError):
        sandbox.get_factors(["Close", 3])


def test_index_daily_for_the_three_benchmarks(market) -> None:
    codes = list(BENCHMARK_INDEX_CODES.values())
    frame = client().get_index_daily(ukeys=codes, start_date="20240102", end_date="20240628")
    assert {"date", "ukey", "daily_return", "close"} <= set(frame.columns)
    assert list(dict.fromkeys(frame["ukey"])) == codes
    for name, code in BENCHMARK_INDEX_CODES.items():
        part = frame[frame["ukey"] == code].set_index("date")["daily_return"]
        expected = market.benchmark_dict()[name].loc["20240102":"20240628"]
        assert part.index.strftime("%Y%m%d").tolist() == expected.index.tolist()
        np.testing.assert_array_equal(part.to_numpy(), expected.to_numpy())


def test_history_never_depends_on_the_day_it_is_asked() -> None:
    days = iter(["20240105", "20240105", "20240308", "20240308"])
    advancing = client(today=lambda: next(days))
    early = advancing.get_factors(ALL_FACTORS, start_date="20240101")
    early_index = advancing.get_index_daily(list(BENCHMARK_INDEX_CODES.values()), "20240101")
    late = advancing.get_factors(ALL_FACTORS, start_date="20240101")
    late_index = advancing.get_index_daily(list(BENCHMARK_INDEX_CODES.values()), "20240101")
    assert early["date"].max() == pd.Timestamp("2024-01-05")
    assert late["date"].max() == pd.Timestamp("2024-03-08")
    overlap = late[late["date"] <= pd.Timestamp("2024-01-05")]
    pd.testing.assert_frame_equal(
        early.sort_values(["factor", "date", "ukey"]).reset_index(drop=True),
        overlap.sort_values(["factor", "date", "ukey"]).reset_index(drop=True),
    )
    pd.testing.assert_frame_equal(
        early_index.reset_index(drop=True),
        late_index[late_index["date"] <= pd.Timestamp("2024-01-05")].reset_index(drop=True),
    )


@pytest.mark.parametrize(
    ("today", "last"),
    [
        ("20240628", "20240628"),  # a Friday
        ("20240630", "20240628"),  # a Sunday
        (dt.date(2024, 10, 3), "20240930"),  # national holiday week
        ("20270310", "20270310"),  # past the horizon: the horizon moves on
    ],
)
def test_calendar_reaches_today(today, last) -> None:
    dates = client(today=today).trading_dates()
    assert dates[0] == "20230103" and dates[-1] == last
    assert dates == sorted(set(dates))


def test_calendar_reaches_the_local_date_by_default() -> None:
    sandbox = SandboxClient(n_stocks=5, seed=1, start="20240102")
    last = dt.datetime.strptime(sandbox.trading_dates()[-1], "%Y%m%d").date()
    assert 0 <= (dt.date.today() - last).days <= 10


# --------------------------------------------------------------------------- package server


def write_store(directory) -> None:
    dates = pd.Index(["20240102", "20240103"], dtype=str)
    close = pd.DataFrame(np.arange(4.0).reshape(2, 2), index=dates, columns=["000001", "000002"])
    store = BinaryPreparedDataStoreBase(directory, {}, 1, "float64")
    store.write_payload({"data": {"close_price": close, "benchmark_dict": {}}})


def stored_close(directory) -> list:
    store = BinaryPreparedDataStoreBase(directory, {}, 1, "float64")
    return store.load()["data"]["close_price"].to_numpy().tolist()


def test_package_server_serves_signed_requests_only(tmp_path) -> None:
    calls = []

    def build(directory) -> None:
        calls.append(directory)
        write_store(directory)

    with PackageServer(build) as server:
        with pytest.raises(urllib.error.HTTPError) as refused:  # no signature at all
            urllib.request.urlopen(server.base_url + PACKAGE_DESCRIPTOR_PATH, timeout=5)
        assert refused.value.code == 401
        refused.value.close()  # the error holds the response and its socket
        wrong = HttpClient(server.base_url, server.api_key, "not the secret", max_retries=0)
        with pytest.raises(NetworkError, match="401"):
            download_benchmark_package(wrong, tmp_path / "refused")
        http = server.http_client(backoff=0.001)
        descriptor = http.get_json(PACKAGE_DESCRIPTOR_PATH)
        for run in ("first", "second"):
            download_benchmark_package(http, tmp_path / run)
            assert stored_close(tmp_path / run) == [[0.0, 1.0], [2.0, 3.0]]
        assert len(calls) == 1 and server.package_downloads == 2  # built once, cached
        archive = tmp_path / "copy.tar.gz"
        with open(archive, "wb") as fh:
            http.download(descriptor["url"], fh)
        assert hashlib.sha256(archive.read_bytes()).hexdigest() == descriptor["sha256"]
        with tarfile.open(archive) as tar:  # one top-level folder, plain members only
            assert {name.split("/")[0] for name in tar.getnames()} == {"enviroment_data"}
        server.refresh()
        assert http.get_json(PACKAGE_DESCRIPTOR_PATH)["sha256"] and len(calls) == 2
    assert not (tmp_path / "refused").exists()


def test_package_from_a_directory_leaves_out_links_and_build_failures_are_5xx(tmp_path) -> None:
    source = tmp_path / "store"
    source.mkdir()
    write_store(source)
    (source / "escape").symlink_to("/etc/passwd")
    with PackageServer(source) as server:
        download_benchmark_package(server.http_client(), tmp_path / "data")
    landed = sorted(p.name for p in (tmp_path / "data").iterdir())
    assert landed == sorted(p.name for p in source.iterdir() if p.name != "escape")

    def broken(directory) -> None:
        raise RuntimeError("disk full")

    with PackageServer(broken) as server, pytest.raises(NetworkError, match="500.*disk full"):
        download_benchmark_package(server.http_client(max_retries=1, backoff=0.001), tmp_path / "x")


# --------------------------------------------------------------------------- singleton


def test_singleton_requires_initialisation_and_a_real_client() -> None:
    previous = singleton.set_instance(None)
    try:
        with pytest.raises(KestrelError, match=r"lumora\.init\(.*lumora\.init_sandbox\(\)"):
            singleton.get_instance()
        with pytest.raises(TypeError, match="get_index_daily"):
            singleton.set_instance(type("Half", (), {"get_factors": lambda self: None})())
        sandbox = client()
        assert singleton.set_instance(sandbox) is None
        assert singleton.get_instance() is sandbox
    finally:
        singleton.set_instance(previous)
