"""The native factor group backtest against the plain pandas model in ``group_model``, and
against the strategy engine (a uniform-weight portfolio over one group's members must give
that group's daily returns exactly).

Markets come from the sandbox with extra damage: missing and absent trading flags, extra
splits and dividends, a validity table shorter than the price tables, factors with gaps,
infinities, ties, near-empty and empty days.
"""

from __future__ import annotations

import copy
import functools
import math
from typing import Any

import numpy as np
import pandas as pd
import pytest

import group_model as model
from engine_keys import MARKET_KEYS

core = pytest.importorskip("lumora.backtest._core")
weightbook = pytest.importorskip("lumora.backtest._weightbook")
sandbox = pytest.importorskip("lumora.sandbox")

TOL = {"rtol": 1e-9, "atol": 1e-15}
N_STOCKS, N_DAYS = 60, 48


@functools.cache
def sandbox_market(seed: int) -> Any:
    return sandbox.generate_market(N_STOCKS, N_DAYS, seed)


def damaged_market(seed: int) -> dict[str, Any]:
    """Core keywords (without factor and options) from a sandbox market, with the cases the
    sandbox rarely produces added by hand."""
    rng = np.random.default_rng(seed + 100)
    data = sandbox_market(seed).dataset_tables()
    kw: dict[str, Any] = {key: data[source] for key, source in MARKET_KEYS.items()}
    for key in ("can_buy_stock", "cant_sell_stock"):
        flags = kw[key].astype(float)
        flags[rng.random(flags.shape) < 0.04] = np.nan  # unknown state blocks the trade
        kw[key] = flags
    kw["can_buy_stock"] = kw["can_buy_stock"].drop(columns=kw["can_buy_stock"].columns[[3, 17]])
    kw["cant_sell_stock"] = kw["cant_sell_stock"].drop(index=kw["cant_sell_stock"].index[[9, 30]])
    kw["split_factor"] = kw["split_factor"].mask(rng.random(kw["split_factor"].shape) < 0.01, 1.5)
    kw["dividend_factor"] = kw["dividend_factor"].mask(
        rng.random(kw["dividend_factor"].shape) < 0.02, 0.3
    )
    kw["close_price_valid"] = data["close_price_valid"].iloc[:-4]  # prices run past the factor
    kw["open_price"] = data["open_price"]
    kw["forward_return_rank_cache"] = data["forward_return_rank_cache"]
    kw["benchmark_dict"] = data["benchmark_dict"]
    kw["benchmark_dict"]["000905"] = kw["benchmark_dict"]["000905"].mask(rng.random(N_DAYS) < 0.1)
    kw["industry_matrix"] = data["industry_matrix"]
    return kw


def random_factor(seed: int, kind: str, valid: pd.DataFrame) -> pd.DataFrame:
    """Gaps, infinities, a day with three usable stocks, an empty day, labels on both sides
    that the validity table lacks; "ties" draws from eight values."""
    rng = np.random.default_rng(seed + 200)
    shape = (len(valid.index) + 1, len(valid.columns) + 1)
    values = rng.normal(size=shape) if kind == "continuous" else rng.integers(0, 8, shape) / 4
    values[rng.random(shape) < 0.15] = np.nan
    values[rng.random(shape) < 0.01] = np.inf
    values[10, 3:] = np.nan
    values[20, :] = np.nan
    index = [*valid.index, "20991231"]
    columns = [*valid.columns, "999999"]
    factor = pd.DataFrame(values, index=index, columns=columns)
    return factor.drop(columns=valid.columns[5]).iloc[::-1]  # order must not matter


def inputs(seed: int, kind: str = "continuous", **options: Any) -> dict[str, Any]:
    kw = damaged_market(seed)
    kw["factor_matrix"] = random_factor(seed, kind, kw["close_price_valid"])
    kw.update(benchmark_names="all", plot_image_kind=None, plot_save_path=None)
    kw.update(options)
    return kw


def run_both(kw: dict[str, Any]) -> tuple[Any, model.GroupBacktest]:
    return core.run_alpha_vwap_backtest_core(**kw), model.run_alpha_vwap_backtest_core(**kw)


def assert_same_result(got: Any, want: model.GroupBacktest) -> None:
    for name in ("group_daily_return", "group_cumulative_return"):
        frame = getattr(got, name)
        assert frame.columns.name == "group"
        pd.testing.assert_frame_equal(
            frame, getattr(want, name), check_index_type=False, check_column_type=False, **TOL
        )
    assert got.rank_ic.name == "rank_ic"
    pd.testing.assert_series_equal(
        got.rank_ic, want.rank_ic, check_index_type=False, check_names=False, **TOL
    )
    if isinstance(want.best_group, float):
        assert math.isnan(got.best_group)
    else:
        assert got.best_group == want.best_group
    pd.testing.assert_frame_equal(
        got.benchmark_summary(), want.benchmark_summary(), check_dtype=False, **TOL
    )


# -------------------------------------------------------------------- the oracle itself
def test_model_groups_hand_example() -> None:
    """Ties keep column order in both directions; the first groups take the remainder."""
    codes = list("ABCDEFG")
    factor = pd.DataFrame(
        [[3, 1, 2, 2, np.nan, 5, 4], [1, 1, 1, 1, 1, 1, 1], [np.nan, 2, np.nan, 1, 0, 0, 0]],
        index=["d1", "d2", "d3"],
        columns=codes,
        dtype=float,
    )
    valid = pd.DataFrame(1.0, index=factor.index, columns=codes)
    valid.loc["d3", "E"] = 0.0  # a non-positive close is outside the universe
    up = model.group_labels(factor, valid, 4, ascending=False)
    down = model.group_labels(factor, valid, 4, ascending=True)
    assert up.to_numpy().tolist() == [
        [2, 1, 1, 2, 0, 4, 3],
        [1, 1, 2, 2, 3, 3, 4],
        [0, 4, 0, 3, 0, 1, 2],
    ]
    assert down.to_numpy().tolist() == [
        [2, 4, 2, 3, 0, 1, 1],
        [1, 1, 2, 2, 3, 3, 4],
        [0, 1, 0, 2, 0, 3, 4],
    ]


# ---------------------------------------------------------------------- differential
CASES = [
    pytest.param({"group_num": 5}, "continuous", id="5-groups"),
    pytest.param({"group_num": 7, "ascending": True}, "ties", id="7-groups-ascending-ties"),
    pytest.param({"group_num": 10, "rolling_window": 3}, "ties", id="10-groups-window-3"),
    pytest.param(
        {"group_num": 4, "ascending": True, "rolling_window": 2},
        "continuous",
        id="ascending-window-2",
    ),
    pytest.param({"group_num": 30}, "ties", id="more-groups-than-some-days-have-stocks"),
    pytest.param({"group_num": 65}, "continuous", id="more-groups-than-stocks"),
    pytest.param(
        {
            "group_num": 3.9,
            "rolling_window": 1.5,
            "total_money": 2e6,
            "fee": 0.001,
            "rule_fee": 0.0,
        },
        "continuous",
        id="small-capital-other-fees-truncated-options",
    ),
]


@pytest.mark.parametrize("seed", [0, 1, 2])
@pytest.mark.parametrize(("options", "kind"), CASES)
def test_matches_model(seed: int, options: dict[str, Any], kind: str) -> None:
    kw = inputs(seed, kind, **options)
    if seed % 2:
        kw["forward_return_rank_cache"] = None  # Rank IC from the open prices instead
    got, want = run_both(kw)
    assert len(want.group_daily_return) > 20
    assert_same_result(got, want)


@pytest.mark.parametrize("layout", ["by-date", "by-stock"])
def test_bool_flags_read_in_place_match_model(layout: str) -> None:
    """The trading flags as a loaded market hands them over (bool tables, every label
    present) and every market table read in place, laid out by date or (column-major) by
    stock; one stock day in eight cannot be sold, so a stock is often held by the group
    that took it before as well as by today's."""
    rng = np.random.default_rng(7)
    kw = inputs(5, group_num=6)
    data = sandbox_market(5).dataset_tables()
    can_buy, cant_sell = data["can_buy_stock"].copy(), data["cant_sell_stock"].copy()
    can_buy[rng.random(can_buy.shape) < 0.05] = False
    cant_sell[rng.random(cant_sell.shape) < 0.125] = True
    kw["can_buy_stock"], kw["cant_sell_stock"] = can_buy, cant_sell
    for key in MARKET_KEYS:
        values = kw[key].to_numpy()
        if layout == "by-stock":
            values = np.asfortranarray(values)
        kw[key] = pd.DataFrame(values, index=kw[key].index, columns=kw[key].columns, copy=False)
    assert kw["cant_sell_stock"].to_numpy().dtype == np.bool_
    assert kw["close_price"].to_numpy().flags.f_contiguous == (layout == "by-stock")
    got, want = run_both(kw)
    assert_same_result(got, want)


@pytest.mark.parametrize("seed", [3, 4])
@pytest.mark.parametrize("ascending", [False, True])
@pytest.mark.parametrize("group_num", [3, 8, 40])
def test_uniform_weight_strategy_gives_group_returns(
    seed: int, ascending: bool, group_num: int
) -> None:
    kw = inputs(seed, "ties", group_num=group_num, ascending=ascending)
    got = core.run_alpha_vwap_backtest_core(**kw)
    factor = model.prepare_factor(kw["factor_matrix"], kw["close_price_valid"], 0)
    labels = model.group_labels(factor, kw["close_price_valid"], group_num, ascending)
    market = [kw[key] for key in MARKET_KEYS]
    for g, weights in enumerate(model.iter_group_weights(labels, group_num), start=1):
        strategy = weightbook.calc_strategy_vwap_daily_return(weights, *market)
        group = got.group_daily_return[g].dropna()
        assert list(group.index) == list(strategy.index)
        np.testing.assert_array_equal(group.to_numpy(), strategy.to_numpy())


# --------------------------------------------------------------------------- rank IC
def test_rank_ic_sources() -> None:
    """The cached forward ranks and the open prices agree; the cache wins when both are
    given; without either there is no IC."""
    kw = inputs(5, group_num=5)
    from_cache = core.run_alpha_vwap_backtest_core(**{**kw, "open_price": None})
    from_open = core.run_alpha_vwap_backtest_core(**{**kw, "forward_return_rank_cache": None})
    assert len(from_open.rank_ic) > 30
    pd.testing.assert_series_equal(from_cache.rank_ic, from_open.rank_ic, **TOL)

    flipped = {**kw, "forward_return_rank_cache": -kw["forward_return_rank_cache"]}
    pd.testing.assert_series_equal(
        core.run_alpha_vwap_backtest_core(**flipped).rank_ic, -from_open.rank_ic, **TOL
    )

    neither = core.run_alpha_vwap_backtest_core(
        **{**kw, "forward_return_rank_cache": None, "open_price": None}
    )
    assert neither.rank_ic.empty and neither.rank_ic.name == "rank_ic"
    assert neither.benchmark_summary()[["rank_ic_mean", "ic_ir"]].isna().all().all()


# ---------------------------------------------------------------------- benchmarks
@pytest.mark.parametrize(
    ("names", "expected"),
    [
        ("000300", ["000300"]),
        (["000905", "000300"], ["000905", "000300"]),
        (("000852", "399999", "000905"), ["000852", "000905"]),
        ("all", ["000852", "000300", "000905"]),
        (None, ["000852", "000300", "000905"]),
        ("399999", []),
    ],
)
def test_benchmark_names_select_rows(names: Any, expected: list[str]) -> None:
    kw = inputs(6, group_num=4, benchmark_names=names)
    got, want = run_both(kw)
    summary = got.benchmark_summary()
    assert summary.get("benchmark_name", pd.Series(dtype=object)).tolist() == expected
    assert_same_result(got, want)
    if expected:
        assert (summary["excess_max_dd"] <= 0).all()
        assert list(summary.columns) == model.SUMMARY_COLUMNS


# -------------------------------------------------------------------------- inputs kept
def test_inputs_are_not_modified() -> None:
    kw = inputs(7, "ties", group_num=6, rolling_window=3)
    before = copy.deepcopy(kw)
    core.run_alpha_vwap_backtest_core(**kw)
    for key, value in before.items():
        if isinstance(value, pd.DataFrame):
            pd.testing.assert_frame_equal(kw[key], value)
        elif isinstance(value, dict):
            assert list(kw[key]) == list(value)
            for name, series in value.items():
                pd.testing.assert_series_equal(kw[key][name], series)
        else:
            assert kw[key] == value


# -------------------------------------------------------------------------- degenerate
def _degenerate(case: str, kw: dict[str, Any]) -> dict[str, Any]:
    factor = kw["factor_matrix"]
    if case == "no-common-dates":
        factor = factor.set_axis(
            pd.bdate_range("1999-01-04", periods=len(factor)).strftime("%Y%m%d"), axis=0
        )
    elif case == "no-common-stocks":
        factor = factor.set_axis([f"9{i:05d}" for i in range(factor.shape[1])], axis=1)
    elif case == "all-missing":
        factor = factor * np.nan
    elif case == "all-infinite":
        factor = factor * 0 + np.inf
    elif case == "window-longer-than-data":
        kw["rolling_window"] = 500
    elif case == "no-valid-close":
        kw["close_price_valid"] = kw["close_price_valid"] * 0.0
    elif case == "one-date":
        kw["close_price_valid"] = kw["close_price_valid"].iloc[[12]]
    return {**kw, "factor_matrix": factor}


@pytest.mark.parametrize(
    "case",
    [
        "no-common-dates",
        "no-common-stocks",
        "all-missing",
        "all-infinite",
        "window-longer-than-data",
        "no-valid-close",
        "one-date",
    ],
)
def test_degenerate_inputs_give_empty_results(case: str) -> None:
    kw = _degenerate(case, inputs(8, group_num=5))
    got, want = run_both(kw)
    assert got.group_daily_return.empty and got.group_cumulative_return.empty
    assert list(got.group_daily_return.columns) == [1, 2, 3, 4, 5]
    assert math.isnan(got.best_group)
    assert got.benchmark_summary().empty
    assert got.rank_ic.empty == (case != "one-date")
    assert_same_result(got, want)


# ------------------------------------------------------------------------- best group
def test_best_group_is_a_group_that_traded() -> None:
    """Three usable stocks a day for five groups: groups 4 and 5 never hold anything, so
    they have no net value, and when the three traded groups all lose, one of them is
    still the best."""
    data = sandbox_market(9).dataset_tables()
    kw = {key: data[source] for key, source in MARKET_KEYS.items()}
    valid = data["close_price_valid"]
    losers = valid.columns[valid.notna().all()][:3]
    factor = pd.DataFrame(np.nan, index=valid.index, columns=valid.columns)
    for rank, code in enumerate(losers):
        factor[code] = float(rank)
        kw["close_price"][code] = kw["prev_close"][code] * 0.9  # every traded group loses
        kw["can_buy_stock"][code] = True
        kw["cant_sell_stock"][code] = False
        kw["split_factor"][code] = kw["dividend_factor"][code] = np.nan
    kw.update(factor_matrix=factor, close_price_valid=valid, group_num=5)
    got = core.run_alpha_vwap_backtest_core(**kw)
    final = got.group_cumulative_return.iloc[-1]
    assert (final[[1, 2, 3]] < 1).all() and got.group_daily_return[[4, 5]].isna().all().all()
    assert got.group_cumulative_return[[4, 5]].isna().all().all()
    assert got.best_group in (1, 2, 3)
