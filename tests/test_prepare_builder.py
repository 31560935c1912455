"""GroupPreparedDataBuilder: source reading, derivation and payloads, against a plain pandas
model and the sandbox market; the write window and payload slicing."""

from __future__ import annotations

from typing import ClassVar

import numpy as np
import pandas as pd
import pytest

import prepare_model as model
from lumora import singleton
from lumora.backtest import _prepare
from lumora.backtest._prepare import (
    GroupPreparedDataBuilder,
    build_incremental_write_window,
    payload_slice_from_date,
)
from lumora.exceptions import KestrelError, NetworkError
from lumora.sandbox import COMPONENT_FACTOR_NAMES, generate_market
from lumora.sources.sandbox.client import SandboxClient

SOURCE_NAMES = list(_prepare.BUILD_INPUT_NAMES)
BASE_KEYS = list(_prepare.BASE_MATRIX_DTYPE)
START, TODAY = "20240102", "20240628"


class ScriptedClient:
    """Wraps a client: records every query and fails or empties the ones asked for."""

    def __init__(
        self, inner, *, fail_batch=False, fail_single=(), empty=(), batch_empty=(), index_daily=None
    ):
        self.inner = inner
        self.batch_empty = set(batch_empty)
        self.fail_batch = fail_batch
        self.fail_single = set(fail_single)
        self.empty = set(empty)
        self.index_daily = index_daily
        self.calls: list[tuple[str, object]] = []

    def get_factors(self, factor, start_date=None, end_date=None):
        self.calls.append(("factors", factor, start_date, end_date))
        if not isinstance(factor, str) and self.fail_batch:
            raise NetworkError("batch query timed out")
        if isinstance(factor, str) and factor in self.fail_single:
            raise NetworkError(f"query of {factor} failed")
        left_out = self.empty | self.batch_empty
        names = [factor] if isinstance(factor, str) else [n for n in factor if n not in left_out]
        if isinstance(factor, str) and factor in self.empty:
            return None
        return self.inner.get_factors(names, start_date=start_date, end_date=end_date)

    def get_index_daily(self, ukeys, start_date=None, end_date=None):
        self.calls.append(("index", tuple(ukeys), start_date, end_date))
        if self.index_daily is not None:
            return self.index_daily
        return self.inner.get_index_daily(ukeys, start_date=start_date, end_date=end_date)


@pytest.fixture
def install():
    previous = singleton.set_instance(None)

    def put(client):
        singleton.set_instance(client)
        return client

    yield put
    singleton.set_instance(previous)


@pytest.fixture(scope="module")
def sandbox():
    return SandboxClient(40, seed=5, start="20230103", horizon="20251231", today=TODAY)


# --------------------------------------------------------------------------- conversions


def narrow_rows(rng: np.random.Generator, names: list[str], n: int) -> pd.DataFrame:
    """Messy factor rows: mixed date forms, suffix collisions, duplicates, text values."""
    days = pd.bdate_range("2024-01-01", periods=12)
    codes = ["000001.XSHE", "000001.XSHG", "600000.XSHG", "300750.XSHE", "688001.XSHG", "000002"]
    values = rng.normal(size=n).round(2).astype(object)
    values[rng.random(n) < 0.1] = np.nan
    values[rng.random(n) < 0.05] = "n/a"
    values[rng.random(n) < 0.05] = "2.5"
    return pd.DataFrame(
        {
            "date": days[rng.integers(0, len(days), n)],
            "ukey": np.array(codes, dtype=object)[rng.integers(0, len(codes), n)],
            "value": values,
            "factor": np.array(names + ["not_asked"], dtype=object)[
                rng.integers(0, len(names) + 1, n)
            ],
        }
    )


@pytest.mark.parametrize("seed", range(6))
@pytest.mark.parametrize("form", ["factor", "factor_name", "single", "wide", "text_dates"])
def test_factor_results_become_the_tables_pandas_pivots(seed, form):
    rng = np.random.default_rng(seed)
    names = ["Close", "Open", "limit_up"]
    rows = narrow_rows(rng, names, 300)
    if form == "factor_name":
        rows = rows.rename(columns={"factor": "factor_name"})
    elif form == "single":
        names = ["Close"]
        rows = rows.drop(columns="factor")
    elif form == "wide":
        rows = rows.drop(columns=["factor", "value"])
        for name in names[:2]:  # the third asked-for name has no column
            rows[name] = rng.normal(size=len(rows))
            rows.loc[rng.random(len(rows)) < 0.2, name] = np.nan
    elif form == "text_dates":  # parsed from the first form seen; others become missing
        rows["date"] = rows["date"].dt.strftime("%Y-%m-%d").astype(object)
        rows.loc[rng.random(len(rows)) < 0.1, "date"] = "20240105"
    builder = GroupPreparedDataBuilder(START, TODAY)
    got = builder._vk_factors_to_matrices(rows, names)
    expected = model.factors_to_matrices(rows, names)
    assert list(got) == list(expected)
    for name in names:
        pd.testing.assert_frame_equal(got[name], expected[name])


@pytest.mark.parametrize(
    ("frame", "names", "error"),
    [
        (None, ["Close"], None),
        (pd.DataFrame(), ["Close", "Open"], None),
        (pd.DataFrame({"date": ["2024-01-02"], "value": [1.0]}), ["Close"], "ukey/date"),
        (pd.DataFrame({"ukey": ["000001"], "value": [1.0]}), ["Close"], "ukey/date"),
    ],
)
def test_empty_results_and_missing_label_columns(frame, names, error):
    builder = GroupPreparedDataBuilder(START, TODAY)
    if error:
        with pytest.raises(KeyError, match="因子查询返回结果缺少 ukey/date 列"):
            builder._vk_factors_to_matrices(frame, names)
        return
    got = builder._vk_factors_to_matrices(frame, names)
    assert list(got) == names and all(table.empty for table in got.values())


@pytest.mark.parametrize(
    ("value", "expected"),
    [
        (None, None),
        ("2024010", "20240100"),
        ("20240102", "20240102"),
        ("202401a", "202401a"),
        (2024010, "20240100"),
    ],
)
def test_ddb_dates(value, expected):
    assert GroupPreparedDataBuilder._normalize_ddb_backtest_date(value) == expected


@pytest.mark.parametrize(
    ("value", "expected"), [(None, None), ("20240102", "2024-01-02"), (20240102, "2024-01-02")]
)
def test_factor_query_dates(value, expected):
    assert GroupPreparedDataBuilder._vk_factor_date(value) == expected


def test_constructor_keeps_four_dates():
    builder = GroupPreparedDataBuilder(start_date=20240102, end_date="2024-06-28")
    assert vars(builder) == {
        "default_start": "20240102",
        "end_date": "20240628",
        "_ddb_start": "20240102",
        "_ddb_end": "20240628",
    }


# --------------------------------------------------------------------------- benchmarks

DAYS = pd.to_datetime(["2024-01-03", "2024-01-02", "2024-01-04", "2024-01-04"])


@pytest.mark.parametrize(
    ("frame", "expected"),
    [
        # rows of other indices are dropped, duplicates keep the last, NaN dropped, sorted
        (
            pd.DataFrame(
                {
                    "date": DAYS.tolist() + [DAYS[0]],
                    "ukey": ["000300.XSHG"] * 4 + ["000905.XSHG"],
                    "daily_return": [0.02, 0.01, "x", 0.04, 9.0],
                }
            ),
            {"20240102": 0.01, "20240103": 0.02, "20240104": 0.04},
        ),
        # without ukey the whole frame is this benchmark's; a ready return column is used
        (
            pd.DataFrame({"DataDate": ["20240102", "20240103"], "pct_change": [0.5, -0.5]}),
            {"20240102": 0.5, "20240103": -0.5},
        ),
        # only close: one day shorter than the frame
        (
            pd.DataFrame(
                {"date": ["2024-01-02", "2024-01-03", "2024-01-04"], "close": [100.0, 110.0, 99.0]}
            ),
            {"20240103": 0.1, "20240104": -0.1},
        ),
    ],
)
def test_benchmark_daily_return(frame, expected):
    series = GroupPreparedDataBuilder(START, TODAY)._format_benchmark_daily_return(
        frame, "000300", "000300.XSHG"
    )
    assert series.name == "index_daily_return"
    pd.testing.assert_series_equal(
        series, pd.Series(expected, name="index_daily_return"), check_index=False, rtol=1e-12
    )
    assert series.index.tolist() == list(expected)


@pytest.mark.parametrize(
    ("frame", "message"),
    [
        (None, "基准日频数据为空: 000300 (000300.XSHG)"),
        (pd.DataFrame(), "基准日频数据为空: 000300 (000300.XSHG)"),
        (pd.DataFrame({"day": ["2024-01-02"], "close": [1.0]}), "000300 基准缺少 DataDate 列"),
        (
            pd.DataFrame({"date": ["2024-01-02"], "open": [1.0]}),
            "000300 基准缺少 daily_return/close 列",
        ),
    ],
)
def test_benchmark_failures_are_key_errors(frame, message):
    with pytest.raises(KeyError) as error:
        GroupPreparedDataBuilder(START, TODAY)._format_benchmark_daily_return(
            frame, "000300", "000300.XSHG"
        )
    assert error.value.args == (message,)


# --------------------------------------------------------------------------- derivation


def random_source(rng: np.random.Generator) -> dict[str, pd.DataFrame]:
    """Source tables with different (and unsorted) labels, NaN and infinite cells, prices at
    their limits and suspension marks of several values."""
    dates = pd.bdate_range("2024-01-01", periods=int(rng.integers(3, 9))).strftime("%Y%m%d")
    codes = [f"{600000 + k:06d}" for k in range(int(rng.integers(2, 7)))]

    def table(scale=10.0, choices=None):
        rows = dates[
            np.sort(rng.choice(len(dates), int(rng.integers(1, len(dates) + 1)), replace=False))
        ]
        cols = list(rng.choice(codes, int(rng.integers(1, len(codes) + 1)), replace=False))
        if choices is None:
            values = rng.choice([1.0, 2.0, 3.0, 0.0], size=(len(rows), len(cols))) * scale
        else:
            values = rng.choice(choices, size=(len(rows), len(cols)))
        values[rng.random(values.shape) < 0.15] = np.nan
        return pd.DataFrame(
            values, index=pd.Index(rows, dtype=str), columns=pd.Index(cols, dtype=str)
        )

    prices = {
        name: table()
        for name in ("Close", "Open", "tick_vwap_price_935_1005", "tick_vwap_price_925_1000")
    }
    prices["Open"].iloc[0, 0] = np.inf
    return {
        "rq_industry_exposure_new": table(1.0),
        "limit_down": table(),
        "limit_up": table(),
        **prices,
        "split_coefficient_to": table(5.0),
        "rq_get_dividend": table(1.0),
        "rq_is_suspended": table(choices=[0.0, 1.0, 2.0, 1.0]),
    }


@pytest.mark.parametrize("seed", range(40))
def test_derivation_matches_label_aligned_pandas(seed):
    source = random_source(np.random.default_rng(seed))
    got = GroupPreparedDataBuilder(START, TODAY)._build_from_matrices(source)
    expected = model.derive(source)
    assert list(got) == BASE_KEYS
    for key in BASE_KEYS:
        pd.testing.assert_frame_equal(got[key], expected[key], obj=key)


def test_a_trading_day_without_an_execution_price_is_not_traded_that_way():
    """The sandbox leaves an execution price out now and then on a trading day; a trade
    there would be booked at a price that does not exist, so that day the stock cannot be
    bought (no buy price) or sold (no sell price)."""
    market = generate_market(300, 500, seed=0)
    source = market.source_tables()
    got = GroupPreparedDataBuilder(START, TODAY)._build_from_matrices(dict(source))
    trading = source["rq_is_suspended"].eq(0)
    for price, flag, tradable in (
        ("tick_vwap_price_935_1005", "can_buy_stock", True),
        ("tick_vwap_price_925_1000", "cant_sell_stock", False),
    ):
        missing = (trading & source[price].isna()).to_numpy()
        assert missing.sum() > 20
        assert not (got[flag].to_numpy()[missing] == tradable).any(), flag
        priced = (trading & source[price].notna()).to_numpy()
        assert (got[flag].to_numpy()[priced] == tradable).mean() > 0.97


CODES3 = ("000001", "000002", "000003")


def frame(values, dates=("20240102", "20240103", "20240104"), codes=("000001", "000002")):
    return pd.DataFrame(
        np.array(values, dtype=float), index=list(dates[: len(values)]), columns=list(codes)
    )


def plain_source(**tables):
    ones = frame([[10.0, 10.0], [10.0, 10.0], [10.0, 10.0]])
    source = {name: ones for name in SOURCE_NAMES}
    source["limit_up"] = ones * 1.1
    source["limit_down"] = ones * 0.9
    source["rq_is_suspended"] = GroupPreparedDataBuilder._empty_like(ones)
    source.update(tables)
    return source


@pytest.mark.parametrize(
    ("tables", "key", "expected"),
    [
        # split 10 per ten on a day with a close is 1.0; without a close NaN
        (
            {
                "Close": frame([[5.0, np.nan]] * 3),
                "split_coefficient_to": frame([[10.0, 10.0]] * 3),
            },
            "rq_get_split",
            [[1.0, np.nan]] * 3,
        ),
        # dividend 1 per ten before tax is 0.09 per share; NaN without a close
        (
            {"Close": frame([[5.0, np.nan]] * 3), "rq_get_dividend": frame([[1.0, 1.0]] * 3)},
            "rq_get_dividend",
            [[0.09, np.nan]] * 3,
        ),
        # buy at limit-up cannot be bought; all else can
        (
            {
                "tick_vwap_price_935_1005": frame([[11.0, 10.0]] * 3),
                "limit_up": frame([[11.0, 11.0]] * 3),
            },
            "can_buy_stock",
            [[False, True]] * 3,
        ),
        # sell at limit-down cannot be sold; nor without a sell price (NaN is no price)
        (
            {
                "tick_vwap_price_925_1000": frame([[9.0, np.nan, 9.5]] * 3, codes=CODES3),
                "limit_down": frame([[9.0, np.nan, 9.0]] * 3, codes=CODES3),
            },
            "cant_sell_stock",
            [[True, True, False]] * 3,
        ),
        # a suspended day blocks both ways
        ({"rq_is_suspended": frame([[1.0, 0.0]] * 3)}, "cant_sell_stock", [[True, False]] * 3),
        ({"rq_is_suspended": frame([[1.0, 0.0]] * 3)}, "can_buy_stock", [[False, True]] * 3),
        # equal forward returns share their average rank; the last two dates are NaN
        (
            {"Open": frame([[1.0, 2.0], [1.0, 2.0], [1.1, 2.2]])},
            "forward_return_rank_cache",
            [[1.5, 1.5], [np.nan] * 2, [np.nan] * 2],
        ),
        ({"Close": frame([[1.0, 2.0], [3.0, 4.0]])}, "prev_close", [[np.nan, np.nan], [1.0, 2.0]]),
    ],
)
def test_worked_derivations(tables, key, expected):
    got = GroupPreparedDataBuilder(START, TODAY)._build_from_matrices(plain_source(**tables))[key]
    np.testing.assert_allclose(
        got.to_numpy(dtype=float), np.array(expected, dtype=float), rtol=1e-12
    )


# The tables made from the close, empty when the close is.
CLOSE_DERIVED = (
    "close_price",
    "close_price_valid",
    "prev_close",
    "rq_get_split",
    "rq_get_dividend",
)


def test_empty_close_gives_empty_derived_tables_instead_of_a_crash():
    source = plain_source(Close=pd.DataFrame())
    got = GroupPreparedDataBuilder(START, TODAY)._build_from_matrices(source)
    for key in CLOSE_DERIVED:
        assert len(got[key]) == 0, key
    assert got["can_buy_stock"].shape == (3, 2)  # tradability does not depend on the close


def test_membership_masks_and_empty_like():
    builder = GroupPreparedDataBuilder(START, TODAY)
    raw = frame([[0.0, 2.0], [np.inf, 1.0], [np.nan, -1.0]]).iloc[::-1]
    masks = builder._component_matrices(["a"], batch={"a": raw})
    pd.testing.assert_frame_equal(masks["a"], model.membership_mask(raw))
    expected = [[np.nan, 1.0], [np.nan, 1.0], [np.nan, 1.0]]  # 0, inf, NaN out; 2 and -1 in
    np.testing.assert_array_equal(masks["a"].to_numpy(), expected)
    empty = builder._empty_like(raw)
    assert empty.isna().all().all() and empty.index.equals(raw.index)
    assert (builder._empty_like(raw, 0.0) == 0.0).all().all()


# --------------------------------------------------------------------------- whole builds


def test_full_build_reproduces_the_sandbox_market(install, sandbox):
    """The sandbox market up to its horizon, cut at today: the build equals the plain pandas
    derivation of the market's source factors (and the market's own membership and benchmark
    tables) except the forward ranks of the last two days, which need days to come."""
    install(sandbox)
    payload = GroupPreparedDataBuilder("20230103", TODAY).build()
    horizon_days = len(
        SandboxClient(
            40, seed=5, start="20230103", horizon="20251231", today="20251231"
        ).trading_dates()
    )
    market = generate_market(40, horizon_days, seed=5, start="20230103")
    expected = market.dataset_tables()
    expected.update(model.derive(market.source_tables()))
    assert list(payload) == ["version", "meta", "data"]
    assert list(payload["data"]) == list(expected)
    for key, value in expected.items():
        if key == "benchmark_dict":
            for code, series in value.items():
                pd.testing.assert_series_equal(
                    payload["data"][key][code],
                    series.loc[:TODAY],
                    check_names=False,
                    check_index_type=False,
                )
            continue
        got = payload["data"][key]
        value = value.loc[:TODAY]
        if key == "close_price":  # stocks without a column were not listed yet
            assert value.loc[:, ~value.columns.isin(got.columns)].isna().all().all()
        if key == "forward_return_rank_cache":
            assert got.iloc[-2:].isna().all().all()
            got, value = got.iloc[:-2], value.iloc[:-2]
        pd.testing.assert_frame_equal(
            got, value.reindex(columns=got.columns), check_names=False, check_dtype=False, obj=key
        )
    meta = payload["meta"]
    assert list(meta) == [
        "start_date",
        "end_date",
        "ddb_start",
        "ddb_end",
        "component_names",
        "component_dataset_keys",
        "created_at",
    ]
    assert meta["component_names"] == list(COMPONENT_FACTOR_NAMES)


def test_incremental_build_is_one_batch_and_one_index_query_and_equals_the_full_build(
    install, sandbox
):
    client = install(ScriptedClient(sandbox))
    full = GroupPreparedDataBuilder("20240601", TODAY).build()
    assert [c[0] for c in client.calls] == ["factors"] * 15 + ["index"]
    assert client.calls[0][2:] == ("2024-06-01", "2024-06-28")
    assert client.calls[-1] == (
        "index",
        ("000852.XSHG", "000300.XSHG", "000905.XSHG"),
        "20240601",
        TODAY,
    )
    client.calls.clear()
    incremental = GroupPreparedDataBuilder("20240601", TODAY).build_incremental()
    assert [c[0] for c in client.calls] == ["factors", "index"]
    assert "updated_at" in incremental["meta"] and "created_at" not in incremental["meta"]
    for key, table in full["data"].items():
        if key != "benchmark_dict":
            pd.testing.assert_frame_equal(incremental["data"][key], table, obj=key)


def test_batch_network_error_falls_back_to_single_reads(install, sandbox):
    client = install(ScriptedClient(sandbox, fail_batch=True))
    payload = GroupPreparedDataBuilder("20240601", TODAY).build_incremental()
    singles = [c[1] for c in client.calls if c[0] == "factors" and isinstance(c[1], str)]
    assert singles == SOURCE_NAMES + list(COMPONENT_FACTOR_NAMES)
    assert len(payload["data"]) == 12 + 5 + 1


def test_batch_entries_left_empty_are_read_singly(install, sandbox):
    client = install(ScriptedClient(sandbox, batch_empty={"Open", COMPONENT_FACTOR_NAMES[1]}))
    GroupPreparedDataBuilder("20240601", TODAY).build_incremental()
    singles = [c[1] for c in client.calls if c[0] == "factors" and isinstance(c[1], str)]
    assert singles == ["Open", COMPONENT_FACTOR_NAMES[1]]


@pytest.mark.parametrize(
    ("incremental", "fault"), [(False, "fail_single"), (False, "empty"), (True, "empty")]
)
def test_a_component_that_cannot_be_read_stops_the_build(install, sandbox, incremental, fault):
    name = COMPONENT_FACTOR_NAMES[4]
    install(ScriptedClient(sandbox, **{fault: {name}}))
    builder = GroupPreparedDataBuilder("20240601", TODAY)
    with pytest.raises(ValueError) as error:
        builder.build_incremental() if incremental else builder.build()
    assert str(error.value) == f"成分股矩阵缺失，无法精确生成二进制缓存: ['{name}']"


@pytest.mark.parametrize(
    ("client_options", "error"),
    [
        ({"fail_single": {"Close"}}, NetworkError),  # required factors are not absorbed
        ({"fail_single": {"rq_is_suspended"}}, NetworkError),  # nor optional ones
        # a component the batch left empty is read singly inside the batch read, unabsorbed
        (
            {
                "fail_single": {COMPONENT_FACTOR_NAMES[0]},
                "batch_empty": {COMPONENT_FACTOR_NAMES[0]},
                "incremental": True,
            },
            NetworkError,
        ),
        ({"index_daily": pd.DataFrame()}, KeyError),
    ],
)
def test_other_query_failures_pass_through(install, sandbox, client_options, error):
    incremental = client_options.pop("incremental", False)
    install(ScriptedClient(sandbox, **client_options))
    builder = GroupPreparedDataBuilder("20240601", TODAY)
    with pytest.raises(error):
        builder.build_incremental() if incremental else builder.build()


def test_missing_close_builds_empty_derived_tables(install, sandbox):
    install(ScriptedClient(sandbox, empty={"Close"}))
    for payload in (
        GroupPreparedDataBuilder("20240601", TODAY).build(),
        GroupPreparedDataBuilder("20240601", TODAY).build_incremental(),
    ):
        data = payload["data"]
        for key in CLOSE_DERIVED:
            assert len(data[key]) == 0, key
        assert len(data["open_price"]) > 0


def test_missing_optional_factors_become_all_nan_placeholders(install, sandbox):
    install(ScriptedClient(sandbox, empty={"split_coefficient_to", "rq_is_suspended"}))
    data = GroupPreparedDataBuilder("20230103", TODAY).build()["data"]
    assert data["rq_get_split"].shape == data["close_price"].shape
    assert data["rq_get_split"].isna().all().all()
    buy = data["buy_price"]
    limit = GroupPreparedDataBuilder("20230103", TODAY)._read_normal_factor_matrix("limit_up")
    at_limit = buy == limit.reindex_like(buy)
    assert at_limit.any().any()
    blocked = at_limit | ~buy.gt(0)  # without a buy price (not listed) nothing is bought
    pd.testing.assert_frame_equal(data["can_buy_stock"], ~blocked, check_names=False)


def test_builder_needs_an_installed_client(install):
    with pytest.raises(KestrelError, match="lumora.init"):
        GroupPreparedDataBuilder("20240601", TODAY).build()


# --------------------------------------------------------------------------- write window

LOCAL = ["20240101", "20240102", "20240103"]


def dated_payload(dates, meta=None):
    table = pd.DataFrame({"000001": np.arange(len(dates), dtype=float)}, index=dates)
    series = pd.Series(np.arange(len(dates), dtype=float), index=dates)
    data = {"close_price": table, "benchmark_dict": {"000300": series}, "note": "kept"}
    return {"version": 1, "meta": {"start_date": dates[0]} if meta is None else meta, "data": data}


def test_payload_slice_cuts_tables_and_series_and_leaves_the_input_alone():
    payload = dated_payload(["20240101", "20240102", "20240103"])
    sliced = payload_slice_from_date(payload, 20240102)
    assert list(sliced) == ["version", "meta", "data"]
    assert sliced["data"]["close_price"].index.tolist() == ["20240102", "20240103"]
    assert sliced["data"]["benchmark_dict"]["000300"].index.tolist() == ["20240102", "20240103"]
    assert sliced["data"]["note"] == "kept"
    assert sliced["meta"] == {
        "start_date": "20240102",
        "write_start_date": "20240102",
        "read_start_date": "20240101",
    }
    assert (
        payload["meta"] == {"start_date": "20240101"} and len(payload["data"]["close_price"]) == 3
    )
    assert payload_slice_from_date({"data": {}}, "20240102")["meta"]["read_start_date"] is None
    with pytest.raises(TypeError):
        payload_slice_from_date({"data": {}, "meta": None}, "20240102")


class RecordingBuilder:
    """Stands in for the builder: records its range and returns a payload covering it."""

    ranges: ClassVar[list[tuple[str, str]]] = []

    def __init__(self, *, start_date, end_date):
        self.start, self.end = start_date, end_date
        RecordingBuilder.ranges.append((start_date, end_date))

    def build_incremental(self):
        dates = [d for d in LOCAL + ["20240104", "20240105"] if self.start <= d <= self.end]
        return dated_payload(dates, {"start_date": self.start, "updated_at": "now"})


@pytest.mark.parametrize(
    ("start", "end", "read", "written"),
    [
        ("20240102", "20240110", "20240101", "20240102"),  # one stored day before the window
        ("20240104", "20240110", "20240103", "20240104"),  # append after the last local day
        ("20231201", "20240110", "20240101", "20240101"),  # no day before: read from the start
        ("20240101", "20240110", "20240101", "20240101"),
        ("20240102", "20240102", "20240101", "20240102"),
    ],
)
def test_write_window_reads_one_day_before_what_it_writes(monkeypatch, start, end, read, written):
    monkeypatch.setattr(_prepare, "GroupPreparedDataBuilder", RecordingBuilder)
    RecordingBuilder.ranges = []
    payload = build_incremental_write_window(LOCAL, start, end)
    assert RecordingBuilder.ranges == [(read, end)]
    assert payload["data"]["close_price"].index.min() == written
    assert payload["data"]["benchmark_dict"]["000300"].index.min() == written
    assert payload["meta"] == {
        "start_date": written,
        "updated_at": "now",
        "write_start_date": written,
        "read_start_date": read,
        "requested_write_start_date": start,
        "write_end_date": end,
    }


def test_a_non_trading_write_start_moves_to_the_next_local_day(monkeypatch):
    monkeypatch.setattr(_prepare, "GroupPreparedDataBuilder", RecordingBuilder)
    RecordingBuilder.ranges = []
    payload = build_incremental_write_window(["20240105", "20240108"], "20240106", "20240110")
    assert RecordingBuilder.ranges == [("20240105", "20240110")]
    assert payload["meta"]["write_start_date"] == "20240108"


@pytest.mark.parametrize(
    ("base", "start", "end", "error", "message"),
    [
        (
            [],
            "20240102",
            "20240103",
            ValueError,
            "本地准备数据 close_price 日期索引为空,无法增量更新。",
        ),
        (LOCAL, None, "20240103", ValueError, "write_start_date / write_end_date 不能为空。"),
        (LOCAL, "20240102", None, ValueError, "write_start_date / write_end_date 不能为空。"),
        (LOCAL, "2024-13-45", "20240103", ValueError, None),
    ],
)
def test_write_window_refuses_bad_input_before_any_query(
    monkeypatch, base, start, end, error, message
):
    monkeypatch.setattr(_prepare, "GroupPreparedDataBuilder", RecordingBuilder)
    RecordingBuilder.ranges = []
    with pytest.raises(error) as raised:
        build_incremental_write_window(base, start, end)
    if message:
        assert str(raised.value) == message
    assert RecordingBuilder.ranges == []


def test_incremental_window_matches_a_full_build_including_the_first_previous_close(
    install, sandbox
):
    install(sandbox)
    full = GroupPreparedDataBuilder("20240401", TODAY).build()["data"]
    local = full["close_price"].index.tolist()
    window = build_incremental_write_window(local[:-3], local[-4], TODAY)["data"]
    assert window["close_price"].index[0] == local[-4]
    assert window["prev_close"].iloc[0].notna().any()
    for key, table in window.items():
        if key == "benchmark_dict":
            for code, series in table.items():
                pd.testing.assert_series_equal(series, full[key][code].loc[local[-4] :])
        elif (
            key != "forward_return_rank_cache"
        ):  # ranks of the window's last two days need the future
            pd.testing.assert_frame_equal(table, full[key].loc[local[-4] :], obj=key)
