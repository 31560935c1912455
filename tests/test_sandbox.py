"""The synthetic market: determinism, labels, and the market rules the engine depends on."""

from __future__ import annotations

import numpy as np
import pandas as pd
import pytest

from lumora._dataset_keys import component_dataset_key
from lumora.backtest._clean_matrix import clean_matrix
from lumora.sandbox import (
    BENCHMARK_INDEX_CODES,
    COMPONENT_FACTOR_NAMES,
    ENGINE_TABLE_KEYS,
    PREPARED_DATASET_KEYS,
    generate_market,
    trading_calendar,
)

PREFIX_LIMITS = {
    "600": 0.1,
    "601": 0.1,
    "603": 0.1,
    "000": 0.1,
    "001": 0.1,
    "002": 0.1,
    "300": 0.2,
    "688": 0.2,
}


@pytest.fixture(scope="module")
def market():
    return generate_market(300, 420, seed=11)


@pytest.fixture(scope="module")
def engine(market):
    return market.engine_tables()


@pytest.fixture(scope="module")
def source(market):
    return market.source_tables()


def test_same_seed_same_market_other_seed_other_market(market, engine) -> None:
    again = generate_market(300, 420, seed=11)
    for key, table in again.engine_tables().items():
        pd.testing.assert_frame_equal(table, engine[key])
    for name, series in again.benchmark_dict().items():
        pd.testing.assert_series_equal(series, market.benchmark_dict()[name])
    other = generate_market(300, 420, seed=12).engine_tables()["close_price"]
    assert not other.equals(engine["close_price"])


def test_labels_shapes_and_dtypes(market, engine) -> None:
    assert tuple(engine) == ENGINE_TABLE_KEYS
    dates, codes = market.dates, market.codes
    assert dates.is_monotonic_increasing and dates.is_unique and codes.is_unique
    assert all(len(d) == 8 and d.isdigit() for d in dates)
    days = pd.to_datetime(dates, format="%Y%m%d")
    assert (days.day_of_week < 5).all()
    assert not ((days.month == 10) & (days.day <= 7)).any()  # national holiday week
    assert codes.is_monotonic_increasing and {c[:3] for c in codes} == set(PREFIX_LIMITS)
    expected_limits = [PREFIX_LIMITS[c[:3]] for c in codes]
    np.testing.assert_array_equal(market.limit_rate.to_numpy(), expected_limits)
    for key, table in engine.items():
        assert table.index.equals(dates) and table.columns.equals(codes)
        kind = bool if key in ("can_buy_stock", "cant_sell_stock") else np.float64
        assert (table.dtypes == kind).all(), key
        if kind is np.float64:  # already in the form every user table is cleaned into
            pd.testing.assert_frame_equal(clean_matrix(table), table)


def test_trading_calendar_start_forms() -> None:
    assert trading_calendar("2015-01-05", 3) == trading_calendar(20150105, 3)
    assert trading_calendar("20151001", 1) == ["20151008"]


@pytest.mark.parametrize(
    ("kwargs", "error"),
    [
        ({"n_stocks": 0}, ValueError),
        ({"n_stocks": 9000}, ValueError),
        ({"n_days": 1}, ValueError),
        ({"n_stocks": 10.0}, TypeError),
        ({"seed": True}, TypeError),
        ({"start": "2015-02-30"}, ValueError),
    ],
)
def test_bad_arguments(kwargs: dict, error: type) -> None:
    with pytest.raises(error):
        generate_market(**{"n_stocks": 10, "n_days": 10, **kwargs})


def _arrays(tables: dict, *keys: str) -> list[np.ndarray]:
    return [tables[key].to_numpy() for key in keys]


def test_prices_stay_inside_the_daily_limits(market, engine, source) -> None:
    close, prev, split, dividend = _arrays(
        engine, "close_price", "prev_close", "rq_get_split", "rq_get_dividend"
    )
    up, down = _arrays(source, "limit_up", "limit_down")
    for key in ("Close", "Open", "tick_vwap_price_935_1005", "tick_vwap_price_925_1000"):
        price = source[key].to_numpy()
        checked = np.isfinite(price) & np.isfinite(up)
        assert checked.sum() > 50_000
        assert (price[checked] <= up[checked]).all() and (price[checked] >= down[checked]).all()
    # Ex-rights adjusted close against the previous close: within the board's band of the
    # day (ChiNext at 10 % before its reform) plus the cent the exchange rounds the
    # reference and limit prices to.
    before_reform = market.dates.astype(int).to_numpy()[:, None] < 20200824
    rate = np.where(
        before_reform & (market.board == "ChiNext").to_numpy()[None, :],
        0.1,
        market.limit_rate.to_numpy()[None, :],
    )
    split = np.nan_to_num(split, nan=1.0)
    move = (close * split + np.nan_to_num(dividend, nan=0.0)) / prev - 1.0
    band = rate + 0.011 * split / prev
    limited = np.isfinite(move) & np.isfinite(up)
    assert (np.abs(move[limited]) <= band[limited]).all()
    # Limits are set around the ex-rights reference price (previous close less the cash
    # dividend, divided by the split), up to the cents both are rounded to.
    reference = (prev - np.nan_to_num(dividend, nan=0.0)) / split
    ok = np.isfinite(reference) & np.isfinite(up)
    for limit, factor in ((up, 1 + rate), (down, 1 - rate)):
        error = np.abs(limit / factor - reference) - (0.005 + 0.005 / factor + 1e-9)
        assert (error[ok] <= 0).all()
    growth = market.limit_rate.to_numpy() == 0.2
    wide = np.abs(move[:, growth])
    assert (wide[np.isfinite(wide)] > 0.1).any()  # the wider band is used


def test_limit_locked_days_block_trading(engine, source) -> None:
    buy, sell, close = _arrays(engine, "buy_price", "sell_price", "close_price")
    up, down, open_ = _arrays(source, "limit_up", "limit_down", "Open")
    assert not engine["can_buy_stock"].to_numpy()[buy == up].any()
    assert engine["cant_sell_stock"].to_numpy()[sell == down].all()
    for limit in (up, down):  # locked all day at the limit: no trade, close at the limit
        locked = (open_ == limit) & (buy == limit) & (sell == limit)
        assert locked.sum() > 20 and (close[locked] == limit[locked]).all()


def test_suspended_days_carry_the_last_close_and_block_both_ways(market, engine, source) -> None:
    halted = market.suspended().to_numpy()
    assert halted.sum() > 100
    for key in ("buy_price", "sell_price"):
        assert np.isnan(engine[key].to_numpy()[halted]).all()
    assert np.isnan(source["Open"].to_numpy()[halted]).all()
    close = engine["close_price"]
    last_traded = close.where(~market.suspended()).ffill().to_numpy()
    after_a_trade = halted & ~np.isnan(last_traded)  # before it: the close before the window
    assert after_a_trade.sum() > 100
    np.testing.assert_array_equal(close.to_numpy()[after_a_trade], last_traded[after_a_trade])
    assert not np.isnan(close.to_numpy()[halted]).any()
    assert not engine["can_buy_stock"].to_numpy()[halted].any()
    assert engine["cant_sell_stock"].to_numpy()[halted].all()
    np.testing.assert_array_equal(source["rq_is_suspended"].to_numpy() == 1, halted)


def test_splits_and_dividends_keep_prices_continuous(market, engine) -> None:
    events = market.events()
    splits = events[events["split"].isin([1.5, 2.0])]
    assert len(splits) > 3 and events["dividend"].notna().sum() > 50
    rows = market.dates.get_indexer(events["date"])
    cols = market.codes.get_indexer(events["code"])
    close, prev = _arrays(engine, "close_price", "prev_close")
    np.testing.assert_array_equal(engine["rq_get_split"].to_numpy()[rows, cols], events["split"])
    np.testing.assert_allclose(
        engine["rq_get_dividend"].to_numpy()[rows, cols], events["dividend"], rtol=1e-12
    )
    assert np.isfinite(prev[rows, cols]).all()  # ex-rights days follow a traded day
    big = events["split"].to_numpy() == 2.0
    raw_move = close[rows, cols][big] / prev[rows, cols][big] - 1.0
    assert (raw_move < -0.25).all()  # unadjusted, a 2-for-1 day looks like a crash
    # The price drops by the dividend: adjusted for it, ex-dividend days look like any day.
    cash = events["dividend"].notna().to_numpy() & events["split"].isna().to_numpy()
    paid = events["dividend"].to_numpy()[cash]
    before, after = prev[rows, cols][cash], close[rows, cols][cash]
    assert abs(np.mean((after + paid) / before - 1.0)) < 0.008
    assert np.mean(after / before - 1.0) < np.mean((after + paid) / before - 1.0) - 0.01
    # Split and dividend tables hold values only on ex-rights days.
    assert engine["rq_get_split"].notna().to_numpy().sum() == events["split"].notna().sum()


def test_new_listings_start_empty(market, engine, source) -> None:
    listing = market.dates.get_indexer(market.listing_date)
    late = np.flatnonzero(listing > 0)
    assert late.size > 10
    # Stocks listed before the window trade normally from its first day.
    assert np.isfinite(source["limit_up"].to_numpy()[0, listing == 0]).all()
    close, prev = _arrays(engine, "close_price", "prev_close")
    industry = source["rq_industry_exposure_new"].to_numpy()
    for col in late:
        first = listing[col]
        assert np.isnan(close[:first, col]).all() and np.isnan(industry[:first, col]).all()
        assert np.isfinite(close[first, col]) and np.isnan(prev[first, col])
        assert np.isnan(source["limit_up"].to_numpy()[first, col])


def test_dataset_tables_match_a_plain_pandas_derivation(market) -> None:
    data = market.dataset_tables()
    src = market.source_tables()
    close = src["Close"]
    valid = close * 0 + 1
    halted = pd.DataFrame(
        np.where(src["rq_is_suspended"].eq(1), 1.0, np.nan),
        index=close.index,
        columns=close.columns,
    )
    forward = (src["Open"].shift(-2) / src["Open"].shift(-1) - 1).replace([np.inf, -np.inf], np.nan)
    buy, sell = src["tick_vwap_price_935_1005"], src["tick_vwap_price_925_1000"]

    def blocked(price: pd.DataFrame, limit: pd.DataFrame) -> pd.DataFrame:
        # at the limit, halted, or without a price (a trading day without one, not listed)
        return price.eq(limit) | halted.eq(1) | ~price.gt(0)

    expected = {
        "industry_matrix": src["rq_industry_exposure_new"],
        "close_price": close,
        "open_price": src["Open"],
        "close_price_valid": valid,
        "prev_close": close.shift(1),
        "buy_price": src["tick_vwap_price_935_1005"],
        "sell_price": src["tick_vwap_price_925_1000"],
        "rq_get_split": src["split_coefficient_to"] / 10 * valid,
        "rq_get_dividend": src["rq_get_dividend"] / 10 * 0.9 + (valid - 1),
        "can_buy_stock": ~blocked(buy, src["limit_up"]),
        "cant_sell_stock": blocked(sell, src["limit_down"]),
        "forward_return_rank_cache": forward.rank(axis=1, method="average"),
    }
    for name, raw in market.component_factor_tables().items():
        expected[component_dataset_key(name)] = raw.where(raw != 0) * 0 + 1
    components = [component_dataset_key(name) for name in COMPONENT_FACTOR_NAMES]
    assert list(data) == [*PREPARED_DATASET_KEYS, *components, "benchmark_dict"]
    for key, table in expected.items():
        pd.testing.assert_frame_equal(data[key], table, check_names=False, obj=key)


def test_index_membership_is_plausible(market) -> None:
    data = market.dataset_tables()
    masks = {
        name[-11:-5]: data[component_dataset_key(name)].notna().to_numpy()
        for name in COMPONENT_FACTOR_NAMES
    }
    assert masks["000300"].sum(axis=1).min() == 18  # 300 of 5,000 scaled to 300 stocks
    assert not (masks["000300"] & masks["000905"]).any()
    assert not (masks["000905"] & masks["000852"]).any()
    listing = market.dates.get_indexer(market.listing_date)
    before_listing = np.arange(len(market.dates))[:, None] < listing[None, :]
    assert not any((mask & before_listing).any() for mask in masks.values())
    # At a review the 000300 members are the largest stocks by the previous close.
    review = np.flatnonzero((masks["000300"][1:] != masks["000300"][:-1]).any(axis=1))[-1] + 1
    size = data["close_price"].ffill().to_numpy()[review - 1] * market.float_shares.to_numpy()
    assert size[masks["000300"][review]].min() >= size[masks["000905"][review]].max()


def test_benchmarks_follow_the_market(market, engine) -> None:
    bench = market.benchmark_dict()
    assert list(bench) == list(BENCHMARK_INDEX_CODES)
    close, prev = _arrays(engine, "close_price", "prev_close")
    average = pd.Series(np.nanmean(close[1:] / prev[1:] - 1.0, axis=1))
    for series in bench.values():
        assert series.index.equals(market.dates) and np.isfinite(series).all()
        assert average.corr(pd.Series(series.to_numpy()[1:])) > 0.7
    daily = market.index_daily()
    csi300 = daily[daily["ukey"] == "000300.XSHG"]
    np.testing.assert_allclose(
        csi300["close"].pct_change().to_numpy()[1:], bench["000300"].to_numpy()[1:], rtol=1e-9
    )


def test_returned_tables_belong_to_the_caller(market) -> None:
    first = market.engine_tables()
    first["close_price"].iloc[:, :] = -1.0
    first["can_buy_stock"].iloc[:, :] = False
    again = market.engine_tables()
    assert (again["close_price"].fillna(1.0) > 0).all().all()
    assert again["can_buy_stock"].to_numpy().any()
