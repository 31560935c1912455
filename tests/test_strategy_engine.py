"""The strategy engine, runner, total frame and statistics against the worked examples and
against the plain pandas model in ``strategy_model``.

The worked examples run on both the model and the native module, so the oracle itself is
checked before it judges the engine.
"""

from __future__ import annotations

import copy
import math
import threading
import types
from collections import OrderedDict
from collections.abc import Callable, Mapping
from pathlib import Path
from typing import Any

import numpy as np
import pandas as pd
import pytest

import strategy_model as model
from engine_keys import engine_tables

try:
    from lumora.backtest import _weightbook as engine
except ImportError:  # pragma: no cover - module not built
    engine = None
if engine is not None and not hasattr(engine, "run_strategy_backtest_core"):
    engine = None

needs_engine = pytest.mark.skipif(engine is None, reason="native strategy engine not built")
IMPLS = [pytest.param(model, id="model"), pytest.param(engine, id="engine", marks=needs_engine)]

nan, inf = math.nan, math.inf
TOL = {"rtol": 1e-12, "atol": 1e-12}
A, B = "000001", "000002"
SHARES = 2_500_000  # 12,500 lots of 200 at a previous close of 10.00 for a 0.25 weight
FIRST_BUY = SHARES * (10.20 - 10.10 * 1.0001) / 1e8


def trade_dates(n: int, start: str = "2024-01-02") -> list[str]:
    return [d.strftime("%Y%m%d") for d in pd.bdate_range(start, periods=n)]


def weights(rows: list[list[float]], codes: tuple[str, ...] = (A,)) -> pd.DataFrame:
    return pd.DataFrame(rows, index=trade_dates(len(rows)), columns=list(codes), dtype=float)


NEUTRAL: dict[str, Any] = {
    "can_buy_stock": True,
    "cant_sell_stock": False,
    "split_factor": nan,
    "dividend_factor": nan,
    "close_price": 10.0,
    "prev_close": 10.0,
    "buy_price": 10.0,
    "sell_price": 10.0,
}


def market(
    n_days: int, codes: tuple[str, ...] = (A,), **stock_a: list[Any]
) -> dict[str, pd.DataFrame]:
    """Eight market tables; every stock is neutral (price 10, tradable) except the per-day
    values given for the first stock."""
    tables = {}
    for key, default in NEUTRAL.items():
        frame = pd.DataFrame(default, index=trade_dates(n_days), columns=list(codes))
        if key in stock_a:
            frame[codes[0]] = stock_a[key]
        tables[key] = frame.astype(bool if isinstance(default, bool) else float)
    return tables


def assert_series_close(got: pd.Series, want: pd.Series) -> None:
    assert isinstance(got, pd.Series)
    assert got.dtype == np.float64
    assert list(got.index) == list(want.index)
    np.testing.assert_allclose(got.to_numpy(), want.to_numpy(dtype=float), **TOL)


def assert_frame_close(got: pd.DataFrame, want: pd.DataFrame) -> None:
    assert list(got.columns) == list(want.columns)
    assert list(got.index) == list(want.index)
    for column in want.columns:
        if want[column].dtype.kind in "fi":
            np.testing.assert_allclose(
                got[column].to_numpy(dtype=float), want[column].to_numpy(), **TOL
            )
        else:
            assert list(got[column]) == list(want[column])


def assert_stats_close(got: Mapping[str, float], want: Mapping[str, float]) -> None:
    assert list(got) == list(want)
    np.testing.assert_allclose([float(v) for v in got.values()], list(want.values()), **TOL)


def assert_result_close(got: Any, want: model.WeightbookResult) -> None:
    assert got.strategy_name == want.strategy_name
    assert_series_close(got.daily_return, want.daily_return)
    assert_series_close(got.cumulative_return, want.cumulative_return)
    assert_stats_close(got.stats, want.stats)
    assert_frame_close(got.benchmark_summary, want.benchmark_summary)
    assert dict(got.plot_paths) == want.plot_paths


# ---------------------------------------------------------------------------- engine
BUY_THEN_SPLIT = {
    "close_price": [10, 10.2, 5.2],
    "prev_close": [10, 10, 10.2],
    "buy_price": [10, 10.1, 10],
    "split_factor": [nan, nan, 2.0],
    "cant_sell_stock": [False, False, True],
}

ENGINE_EXAMPLES = [
    pytest.param(
        [[0.25], [nan]],
        (A,),
        {"buy_price": [10, 10.1], "close_price": [10, 10.2]},
        {},
        {1: 0.00247475},
        id="buy-12500-lots",
    ),
    pytest.param(
        [[0.25, nan], [nan, 1e-9], [nan, nan]],
        (A, B),
        {
            "buy_price": [10, 10.1, 10],
            "close_price": [10, 10.2, 10.3],
            "prev_close": [10, 10, 10.2],
            "sell_price": [10, 10, 10.3],
        },
        {},
        {1: FIRST_BUY, 2: 0.0023455},
        id="missing-weight-sells-all",
    ),
    pytest.param(
        [[0.25], [0.25], [nan]], (A,), BUY_THEN_SPLIT, {}, {1: FIRST_BUY, 2: 0.005}, id="split-day"
    ),
    pytest.param(
        [[0.25], [0.25], [0.25], [nan]],
        (A,),
        {
            "close_price": [10, 10.2, 5.2, 5.3],
            "prev_close": [10, 10, 10.2, 5.2],
            "buy_price": [10, 10.1, 10, 5.25],
            "split_factor": [nan, nan, 2.0, nan],
            "cant_sell_stock": [False, False, True, False],
        },
        {},
        # the stored position stays 2,500,000 pre-split shares; the new target tops it up
        {
            1: FIRST_BUY,
            2: 0.005,
            3: (2_307_600 * (5.3 - 5.25 * 1.0001) + SHARES * (5.3 - 5.2)) / 1e8,
        },
        id="day-after-split",
    ),
    pytest.param(
        [[0.25], [0.25], [nan]],
        (A,),
        {
            "close_price": [10, 10.2, 10.0],
            "prev_close": [10, 10, 10.2],
            "buy_price": [10, 10.1, 10],
            "dividend_factor": [nan, nan, 0.5],
            "cant_sell_stock": [False, False, True],
        },
        {},
        {1: FIRST_BUY, 2: 0.0075},
        id="dividend",
    ),
    # A target worth a fraction of lots at a previous close of 10 buys the whole lots.
    *(
        pytest.param(
            [[lots * 2000 / 1e8], [nan]],
            (A,),
            {"buy_price": [10, 10.1], "close_price": [10, 10.2]},
            options,
            {1: shares * (10.2 - 10.1 * 1.0001) / 1e8},
            id=name,
        )
        for name, lots, options, shares in [
            ("1.99-lots-buys-one", 1.99, {}, 200),
            ("lot-size-100", 1.99, {"lot_size": 100}, 300),
            ("below-one-lot-buys-nothing", 0.99, {}, 0),
        ]
    ),
    pytest.param(
        [[0.25, nan], [nan, 1e-9], [nan, 1e-9], [nan, nan]],
        (A, B),
        {
            "close_price": [10, 10.2, 10.5, 10.4],
            "prev_close": [10, 10, 10.2, 10.5],
            "buy_price": [10, 10.1, 10, 10],
            "sell_price": [10, 10, 10, 10.45],
            "cant_sell_stock": [False, False, True, False],
        },
        {},
        {1: FIRST_BUY, 2: SHARES * 0.3 / 1e8, 3: SHARES * (10.45 * 0.9994 - 10.5) / 1e8},
        id="cannot-sell-holds-then-sells",
    ),
    pytest.param(
        [[0.25], [0.25], [nan]],
        (A,),
        {
            "can_buy_stock": [True, False, True],
            "buy_price": [10, 10.1, 10.1],
            "close_price": [10, 10.2, 10.2],
        },
        {},
        {1: 0.0, 2: FIRST_BUY},
        id="cannot-buy-retries-next-day",
    ),
    pytest.param(
        [[0.25], [0.25], [nan]],
        (A,),
        {"buy_price": [10, nan, 10], "close_price": [10, 10.2, 10.4]},
        {},
        {1: 0.0, 2: SHARES * 0.4 / 1e8},
        id="missing-buy-price-still-buys",
    ),
    pytest.param(
        [[0.25], [0.25], [nan]],
        (A,),
        {
            "buy_price": [10, 10.1, 10],
            "close_price": [10, 10.2, nan],
            "dividend_factor": [nan, nan, 0.5],
        },
        {},
        {1: FIRST_BUY, 2: SHARES * 0.5 / 1e8},
        id="missing-close-keeps-dividend",
    ),
    pytest.param(
        [[0.25], [nan], [0.25], [nan]],
        (A,),
        {
            "buy_price": [10, 10.1, 10, 10],
            "close_price": [10, 10.2, 20, 10.5],
            "prev_close": [10, 10, 10.2, 10],
        },
        {},
        {1: FIRST_BUY, 3: SHARES * 0.5 / 1e8},
        id="all-missing-row-skips-day",
    ),
    pytest.param(
        [[0.25], [0.25], [0.25], [nan]],
        (A,),
        {
            "buy_price": [10, 10.1, 10, 10],
            "close_price": [10, 10.2, 10.4, 11],
            "prev_close": [10, 10, nan, 10],
            "sell_price": [10, 10, 10.3, 10],
        },
        {},
        {1: FIRST_BUY, 2: 0.0, 3: SHARES * (11 - 10 * 1.0001) / 1e8},
        id="missing-prev-close-sells",
    ),
    pytest.param(
        [[-0.25], [-0.25], [nan]],
        (A,),
        {"sell_price": [10, 10.1, 10], "close_price": [10, 10.2, 9.8]},
        {},
        {1: (-SHARES * 0.2 + SHARES * (10.1 * 0.9994 - 10)) / 1e8, 2: SHARES * 0.2 / 1e8},
        id="negative-weight-goes-short",
    ),
    pytest.param(
        [[0.25, nan], [nan, nan]],
        (A, B),
        {"buy_price": [10, 10.1], "close_price": [10, 10.2]},
        {},
        {1: FIRST_BUY},
        id="infinite-price-of-unheld-stock",
    ),
]


@pytest.mark.parametrize("impl", IMPLS)
@pytest.mark.parametrize(("rows", "codes", "stock_a", "kwargs", "expected"), ENGINE_EXAMPLES)
def test_engine_worked_examples(impl, rows, codes, stock_a, kwargs, expected) -> None:
    tables = market(len(rows), codes, **stock_a)
    if len(codes) > 1:  # the second stock's prices are unusable where it is never held
        tables["sell_price"].iloc[1, 1] = inf
        tables["close_price"].iloc[1, 1] = -inf
    got = impl.calc_strategy_vwap_daily_return(weights(rows, codes), **tables, **kwargs)
    dates = trade_dates(len(rows))
    assert_series_close(got, pd.Series({dates[i]: v for i, v in expected.items()}))


@pytest.mark.parametrize("impl", IMPLS)
@pytest.mark.parametrize("rows", [[[0.25]], [[nan], [nan], [nan]], [[nan, nan], [nan, nan]]])
def test_engine_without_a_signal_day_is_empty(impl, rows) -> None:
    codes = (A, B)[: len(rows[0])]
    got = impl.calc_strategy_vwap_daily_return(weights(rows, codes), **market(len(rows), codes))
    assert got.empty and got.dtype == np.float64


# ------------------------------------------------------------------------- smoothing
@pytest.mark.parametrize("impl", IMPLS)
def test_smoothing_worked_example(impl) -> None:
    w = weights([[0.25, 0.0], [0.25, nan], [nan, 0.0], [0.25, nan]], (A, B))
    got = impl._smooth_strategy_weights(w, 3)
    assert list(got.index) == list(w.index[2:])
    np.testing.assert_allclose(got[A].to_numpy(), [1 / 6, 1 / 6], **TOL)
    assert got[B].isna().all()  # zero averages turn back into missing weights


@pytest.mark.parametrize("impl", IMPLS)
@pytest.mark.parametrize("history", [[0.39, 0.26, 0.6], [0.1, 0.3, 0.7], [0.05, -0.2, 0.45]])
def test_smoothing_a_run_of_equal_weights_gives_that_weight(impl, history) -> None:
    # A rolling mean that carries rounding from earlier windows would turn 0.25 into
    # 0.24999999999999997 and so buy 12,499 lots instead of 12,500 at a close of 10.00.
    w = weights([[v] for v in history + [0.25] * 4])
    assert list(impl._smooth_strategy_weights(w, 3)[A].iloc[-2:]) == [0.25, 0.25]
    result = impl.run_strategy_backtest_core(
        w, **market(len(w)), rolling_window=3, plot_image_kind=None
    )
    assert_result_close(
        result, model.run_strategy_backtest_core(w, **market(len(w)), rolling_window=3)
    )


@pytest.mark.parametrize("impl", IMPLS)
@pytest.mark.parametrize("window", [0, 1, 1.9, -3])
def test_smoothing_off_returns_the_same_object(impl, window) -> None:
    w = weights([[0.25], [nan]])
    if window < 0 and impl is engine:  # a negative window is refused, not read as "off"
        with pytest.raises(ValueError, match="rolling_window .*-3"):
            impl._smooth_strategy_weights(w, window)
        return
    assert impl._smooth_strategy_weights(w, window) is w


# ----------------------------------------------------------------------- total frame
WITH_CLOSE = [
    "daily_return",
    "close",
    "index_daily_return",
    "extra_daily_return",
    "long",
    "close_net_value",
    "max_drowdown",
    "extra_return",
    "extra_max_drowdown",
]
WITHOUT_CLOSE = [
    "daily_return",
    "index_daily_return",
    "extra_daily_return",
    "long",
    "close",
    "close_net_value",
    "max_drowdown",
    "extra_return",
    "extra_max_drowdown",
]


@pytest.mark.parametrize("impl", IMPLS)
@pytest.mark.parametrize(
    ("close", "columns"), [([1.0, 1.01, 1.01], WITH_CLOSE), (None, WITHOUT_CLOSE)]
)
def test_total_frame_worked_example(impl, close, columns) -> None:
    frame = pd.DataFrame({"daily_return": [0.01, 0.02, -0.01]}, index=trade_dates(3))
    if close is not None:
        frame["close"] = close
    frame["index_daily_return"] = [0.0, 0.01, 0.0]
    total = impl._build_total_backtesting_frame(frame)
    assert list(total.columns) == columns
    expected = {
        "long": [1.0, 1.03 / 1.01, 1.02 / 1.01],
        "max_drowdown": [0.0, 0.0, 1.02 / 1.01 - 1.03 / 1.01],
        "extra_return": [0.0, 0.01, 0.0],
        "extra_max_drowdown": [0.0, 0.0, -0.01],
        "close_net_value": [1.0, 1.01, 1.01],
    }
    for column, values in expected.items():
        np.testing.assert_allclose(total[column].to_numpy(), values, **TOL)
    assert frame.shape == (3, 3 if close else 2)  # the input keeps its columns


@pytest.mark.parametrize("impl", IMPLS)
def test_total_frame_zero_first_close_uses_cumulative_benchmark(impl) -> None:
    frame = pd.DataFrame(
        {
            "daily_return": [nan, 0.01, 0.02],
            "close": [5.0, 0.0, 0.5],
            "index_daily_return": [0.3, 0.01, 0.02],
        },
        index=trade_dates(3),
    )
    total = impl._build_total_backtesting_frame(frame)
    assert list(total.index) == list(frame.index[1:])  # incomplete rows go first
    np.testing.assert_allclose(total["close_net_value"].to_numpy(), [1.01, 1.03], **TOL)


@pytest.mark.parametrize("impl", IMPLS)
def test_total_frame_without_complete_row_is_empty(impl) -> None:
    frame = pd.DataFrame(
        {"daily_return": [nan, 0.1], "index_daily_return": [0.0, nan]}, index=trade_dates(2)
    )
    total = impl._build_total_backtesting_frame(frame)
    assert total.empty and list(total.columns) == ["daily_return", "index_daily_return"]


# ------------------------------------------------------------------------ statistics
def total_frame(daily: list[float], bench: list[float]) -> pd.DataFrame:
    frame = pd.DataFrame(
        {"daily_return": daily, "index_daily_return": bench}, index=trade_dates(len(daily))
    )
    return model._build_total_backtesting_frame(frame)


@pytest.mark.parametrize("impl", IMPLS)
def test_stats_annualise_half_a_year(impl) -> None:
    stats = impl.calc_strategy_stats(
        total_frame([0.0] + [0.1 / 125] * 125, [0.0] + [0.05 / 125] * 125), None
    )
    assert list(stats) == model.STATS_KEYS
    assert stats["annual_return"] == pytest.approx(20, rel=1e-12)
    assert stats["benchmark_annual_return"] == pytest.approx(10, rel=1e-12)
    assert stats["extra_annual_return"] == pytest.approx(10, rel=1e-12)
    assert math.isnan(stats["holding_count"]) and math.isnan(stats["turnover"])


@pytest.mark.parametrize("impl", IMPLS)
@pytest.mark.parametrize(
    ("rows", "holding_count", "turnover"),
    [
        ([[0.5, 0.5], [0.5, nan], [nan, 1.0]], 4 / 3, 0.5),
        ([[0.5, 0.0]], 2.0, nan),
        ([[inf, nan]], 0.0, nan),
    ],
)
def test_stats_holding_count_and_turnover(impl, rows, holding_count, turnover) -> None:
    stats = impl.calc_strategy_stats(total_frame([0.01, 0.02], [0.0, 0.0]), weights(rows, (A, B)))
    np.testing.assert_allclose(
        [stats["holding_count"], stats["turnover"]], [holding_count, turnover], **TOL
    )


@pytest.mark.parametrize("impl", IMPLS)
def test_stats_win_rates_count_zero_as_loss(impl) -> None:
    stats = impl.calc_strategy_stats(
        total_frame([0.01, 0.0, -0.01, 0.02], [0.0, 0.0, 0.01, 0.0]), None
    )
    assert stats["win_rate"] == 0.5 and stats["excess_win_rate"] == 0.5


@pytest.mark.parametrize("impl", IMPLS)
@pytest.mark.parametrize(
    "frame",
    [
        pd.DataFrame(columns=model.TOTAL_FRAME_COLUMNS, dtype=float),
        total_frame([0.01, 0.02], [0.0, 0.0]).assign(long=nan),
    ],
    ids=["no-rows", "every-row-incomplete"],
)
def test_stats_of_empty_frame_are_all_missing(impl, frame) -> None:
    stats = impl.calc_strategy_stats(frame, weights([[0.5, 0.5]], (A, B)))
    assert list(stats) == model.EMPTY_STATS_KEYS
    assert all(math.isnan(v) for v in stats.values())


@pytest.mark.parametrize("impl", IMPLS)
def test_runner_without_benchmark(impl) -> None:
    rng = np.random.default_rng(7)
    n = 30
    tables = market(n, (A, B), close_price=list(10 + rng.normal(0, 0.3, n)), buy_price=[10.0] * n)
    tables["prev_close"][A] = tables["close_price"][A].shift(1).fillna(10.0)
    w = weights([[0.25, 0.25]] * n, (A, B))
    result = impl.run_strategy_backtest_core(
        w, **tables, benchmark_names="000300", plot_image_kind=None
    )
    stats = result.stats
    assert stats["benchmark_annual_return"] == 0.0 and math.isnan(stats["return_corr"])
    assert stats["extra_sharp"] == pytest.approx(stats["long_sharp"], rel=1e-12)
    assert stats["excess_win_rate"] == stats["win_rate"]
    assert result.benchmark_summary.empty and len(result.benchmark_summary.columns) == 0
    assert len(result.daily_return) == n - 1


# -------------------------------------------------------------- randomized comparison
def _layout(frame: pd.DataFrame, rng: np.random.Generator) -> pd.DataFrame:
    """The same table in another memory layout, dtype or label order."""
    choice = rng.integers(4)
    if choice == 1:
        return pd.DataFrame(
            np.asfortranarray(frame.to_numpy()), index=frame.index, columns=frame.columns
        )
    if choice == 2 and frame.dtypes.iloc[0] == np.float64:
        return (
            frame.astype(np.float32).astype(np.float64)
            if rng.random() < 0.5
            else frame.astype(np.float32)
        )
    if choice == 3:
        return frame.iloc[rng.permutation(len(frame)), rng.permutation(frame.shape[1])]
    return frame


def random_case(
    seed: int, n_days: int | None = None, n_stocks: int | None = None
) -> dict[str, Any]:
    rng = np.random.default_rng(seed)
    n_days = n_days or int(rng.integers(20, 60))
    n_stocks = n_stocks or int(rng.integers(5, 20))
    dates = trade_dates(n_days + 4)
    codes = sorted({f"{c:06d}" for c in rng.choice(700_000, n_stocks + 4, replace=False)})
    market_dates = [d for i, d in enumerate(dates) if i not in (5, 11)]
    market_codes = codes[:-2]

    close = 10 * np.exp(np.cumsum(rng.normal(0, 0.03, (len(dates), len(codes))), axis=0))
    close *= rng.uniform(0.3, 5.0, len(codes))
    prev = np.vstack([close[:1] * 0.99, close[:-1]])
    split = np.where(
        rng.random(close.shape) < 0.02, rng.choice([2.0, 1.5, 1.0, 0.5], close.shape), nan
    )
    dividend = np.where(
        rng.random(close.shape) < 0.03, rng.choice([0.0, 0.1, 0.35], close.shape), nan
    )
    prev[rng.random(close.shape) < 0.01] = rng.choice([0.0, -1.0])
    full = {
        "close_price": close,
        "prev_close": prev,
        "buy_price": close * rng.normal(1, 0.01, close.shape),
        "sell_price": close * rng.normal(1, 0.01, close.shape),
        "split_factor": split,
        "dividend_factor": dividend,
    }
    tables: dict[str, pd.DataFrame] = {}
    for key, values in full.items():
        values = (
            np.where(rng.random(values.shape) < 0.05, nan, values)
            if "price" in key or key == "prev_close"
            else values
        )
        frame = pd.DataFrame(values, index=dates, columns=codes)
        rows = market_dates if key == "close_price" else [d for d in dates if rng.random() > 0.05]
        cols = market_codes if key == "close_price" else [c for c in codes if rng.random() > 0.1]
        tables[key] = _layout(frame.loc[rows, cols], rng)
    float_flags = rng.random() < 0.3  # flags stored as 0/1 numbers with gaps
    for key, share in (("can_buy_stock", 0.85), ("cant_sell_stock", 0.12)):
        flag = rng.random((len(dates), len(codes))) < share
        frame = pd.DataFrame(flag, index=dates, columns=codes)
        if float_flags:
            frame = frame.astype(float).mask(rng.random(flag.shape) < 0.05)
        tables[key] = frame.loc[
            [d for d in dates if rng.random() > 0.05], [c for c in codes if rng.random() > 0.1]
        ]

    # weights: some dates and codes the market lacks, shuffled columns, empty rows,
    # negative, zero and exact-lot weights
    w_dates = [d for i, d in enumerate(dates) if i not in (2, len(dates) - 1)]
    w_codes = [
        str(c) for c in rng.permutation([c for c in codes[:-2] if rng.random() > 0.2] + codes[-2:])
    ]
    held = rng.random((len(w_dates), len(w_codes))) < 0.6
    values = rng.uniform(0.01, 0.3, held.shape) * np.where(rng.random(held.shape) < 0.1, -1, 1)
    values[rng.random(held.shape) < 0.05] = 0.0
    # weights worth a whole number of lots on the next row's previous close
    money = {
        "total_money": float(rng.choice([1e6, 3e7, 1e8])),
        "fee": float(rng.choice([0.0, 1e-4, 3e-4])),
        "rule_fee": float(rng.choice([0.0, 5e-4, 1e-3])),
    }
    lot_size = int(rng.choice([1, 100, 200]))
    for t, j in zip(*np.nonzero(rng.random(held.shape) < 0.1), strict=True):
        if t + 1 < len(w_dates):
            next_prev = prev[dates.index(w_dates[t + 1]), codes.index(w_codes[j])]
            values[t, j] = rng.integers(1, 40) * lot_size * next_prev / money["total_money"]
    w = np.where(held, values, nan)
    w[rng.random(len(w_dates)) < 0.12] = nan
    w[:, rng.integers(len(w_codes))] = nan
    signal = pd.DataFrame(w, index=w_dates, columns=w_codes)

    def bench(index: list[str]) -> pd.Series:
        s = pd.Series(rng.normal(0, 0.01, len(index)), index=index)
        s[rng.random(len(index)) < 0.08] = nan
        if rng.random() < 0.5:
            s.iloc[rng.integers(len(index))] = rng.choice([inf, -inf])
        return s

    candidates = {
        "000852": bench(dates),
        "000300": bench(sorted(set(dates[::2] + dates[-3:]))),
        "000905": bench(trade_dates(10, start="2020-01-01")),
    }
    order = rng.permutation(list(candidates))
    kind = rng.random()
    benchmark_dict = (
        None if kind < 0.15 else {} if kind < 0.2 else {k: candidates[k] for k in order}
    )
    names = ["000852", "000300", "000905", "all", ["000300", "000852"], None]
    return {
        "signal": signal,
        "tables": tables,
        "benchmark_dict": benchmark_dict,
        "benchmark_names": names[int(rng.integers(len(names)))],
        "rolling_window": [0, 1, 2, 3, 4.7][int(rng.integers(5))],
        "money": money,
        "lot_size": lot_size,
    }


SEEDS = list(range(16))


@needs_engine
@pytest.mark.parametrize("seed", SEEDS)
def test_engine_matches_model(seed) -> None:
    case = random_case(seed)
    args = (case["signal"], *(case["tables"][k] for k in model.MARKET_KEYS))
    before = copy.deepcopy(args)
    kwargs = {**case["money"], "lot_size": case["lot_size"]}
    assert_series_close(
        engine.calc_strategy_vwap_daily_return(*args, **kwargs),
        model.calc_strategy_vwap_daily_return(*args, **kwargs),
    )
    for table, original in zip(args, before, strict=True):
        pd.testing.assert_frame_equal(table, original, check_exact=True)


@needs_engine
@pytest.mark.parametrize("seed", SEEDS[:6])
def test_market_arrays_match_model(seed) -> None:
    from lumora.backtest import _core

    case = random_case(seed)
    signal = case["signal"].shift(1).dropna(how="all")
    tables = [case["tables"][k] for k in model.MARKET_KEYS]
    got = _core._build_market_arrays(
        signal.index, signal.columns, **dict(zip(model.MARKET_KEYS, tables, strict=True))
    )
    want = model.build_market_arrays(signal.index, signal.columns, *tables)
    assert set(got) == set(want)
    for key, array in want.items():
        assert np.asarray(got[key]).dtype == array.dtype, key
        np.testing.assert_array_equal(got[key], array, err_msg=key)


@needs_engine
@pytest.mark.parametrize(
    "returns",
    [
        [],
        [0.01],
        [0.01, 0.01, 0.01],
        [0.0] * 5,
        [0.01, -0.02, 0.005, 0.03],
        [1e-9, 2e-9, -1e-9],
        [0.1, 0.1 + 1e-17],
    ],
)
def test_safe_sharpe_matches_model(returns) -> None:
    from lumora.backtest import _core

    series = pd.Series(returns, dtype=float)
    want = model.safe_sharpe(series, periods=252)
    np.testing.assert_allclose(_core.safe_sharpe(series, periods=252), want, **TOL)
    np.testing.assert_allclose(engine.safe_sharpe(series), model.safe_sharpe(series), **TOL)


@needs_engine
def test_datetime_index_keeps_rows_and_columns() -> None:
    frame = random_case(1)["tables"]["close_price"]
    got = engine._with_datetime_index(frame)
    assert list(got.index) == list(pd.to_datetime(frame.index, format="%Y%m%d"))
    assert list(got.columns) == list(frame.columns)
    np.testing.assert_array_equal(got.to_numpy(), frame.to_numpy())
    assert len(got.resample("W-FRI").last()) > 0 and set(got.index.year) == {2024}


@needs_engine
@pytest.mark.parametrize("seed", SEEDS[:6])
@pytest.mark.parametrize("window", [2, 3, 5.5])
def test_smoothing_matches_model(seed, window) -> None:
    signal = random_case(seed)["signal"]
    got, want = (
        engine._smooth_strategy_weights(signal, window),
        model._smooth_strategy_weights(signal, window),
    )
    assert_frame_close(got, want)
    # whole lots are rounded down, so the last bit of a mean can cost a lot: equal bits
    assert np.array_equal(got.to_numpy(), want.to_numpy(), equal_nan=True)


def _run(impl: Any, case: dict[str, Any], **extra: Any) -> Any:
    return impl.run_strategy_backtest_core(
        case["signal"],
        **case["tables"],
        benchmark_dict=case["benchmark_dict"],
        benchmark_names=case["benchmark_names"],
        rolling_window=case["rolling_window"],
        **case["money"],
        **{"plot_image_kind": None, "strategy_name": "seeded", **extra},
    )


@needs_engine
@pytest.mark.parametrize("seed", SEEDS)
def test_runner_matches_model_and_keeps_inputs(seed) -> None:
    case = random_case(seed)
    before = copy.deepcopy(case)
    buffers = {k: t.to_numpy(copy=True) for k, t in case["tables"].items()}
    got = _run(engine, case)
    assert_result_close(got, _run(model, case))
    for key, table in case["tables"].items():
        pd.testing.assert_frame_equal(table, before["tables"][key], check_exact=True)
        np.testing.assert_array_equal(table.to_numpy(), buffers[key])
    pd.testing.assert_frame_equal(case["signal"], before["signal"], check_exact=True)
    if case["benchmark_dict"] is not None:
        assert list(case["benchmark_dict"]) == list(before["benchmark_dict"])
        for name, series in case["benchmark_dict"].items():
            pd.testing.assert_series_equal(series, before["benchmark_dict"][name], check_exact=True)


@needs_engine
@pytest.mark.parametrize(
    ("seed", "n_days", "n_stocks", "window"), [(99, 300, 400, 5), (43, 120, 150, 2)]
)
def test_runner_matches_model_on_a_wider_market(seed, n_days, n_stocks, window) -> None:
    case = random_case(seed, n_days=n_days, n_stocks=n_stocks)
    case["rolling_window"] = window
    assert_result_close(_run(engine, case), _run(model, case))


@needs_engine
@pytest.mark.parametrize(("seed", "window"), [(1, 0), (2, 5)])
def test_runner_matches_model_on_the_sandbox_market(seed, window) -> None:
    sandbox = pytest.importorskip("lumora.sandbox")
    market_ = sandbox.generate_market(n_stocks=200, n_days=160, seed=seed)
    tables = engine_tables(market_.engine_tables())
    momentum = tables["close_price"].pct_change(20, fill_method=None)
    top = momentum.rank(axis=1, ascending=False) <= 30
    case = {
        "signal": (top / 30.0).where(top),
        "tables": tables,
        "benchmark_dict": market_.benchmark_dict(),
        "benchmark_names": "000905",
        "rolling_window": window,
        "money": {},
    }
    assert_result_close(_run(engine, case), _run(model, case))


def _as_kind(case: dict[str, Any], key: str, convert: Callable[[Any], Any]) -> dict[str, Any]:
    if key == "benchmark_dict":
        case[key] = {k: convert(v) for k, v in (case[key] or {}).items()}
    elif key == "signal":
        case[key] = convert(case[key])
    else:
        case["tables"][key] = convert(case["tables"][key])
    return case


@needs_engine
@pytest.mark.parametrize(
    ("key", "convert"),
    [
        ("signal", lambda t: (t.fillna(0) * 10).round().astype(int)),
        ("signal", lambda t: t.astype(np.float32)),
        ("signal", lambda t: t.iloc[::-1]),
        (
            "benchmark_dict",
            lambda s: (s.replace([inf, -inf], 0).fillna(0) * 1e4).round().astype(int),
        ),
        ("benchmark_dict", lambda s: s.astype(object)),
        ("can_buy_stock", lambda t: t.astype(float).fillna(1).astype(int)),
        ("can_buy_stock", lambda t: t.astype("boolean")),
        ("close_price", lambda t: t.astype(object)),
    ],
    ids=[
        "int-weights",
        "float32-weights",
        "descending-dates",
        "int-benchmark",
        "object-benchmark",
        "int-flags",
        "nullable-flags",
        "object-prices",
    ],
)
def test_runner_matches_model_on_other_dtypes(key, convert) -> None:
    case = _as_kind(random_case(4), key, convert)
    assert_result_close(_run(engine, case), _run(model, case))


@needs_engine
@pytest.mark.parametrize("seed", SEEDS[:8])
def test_total_frame_and_stats_match_model(seed) -> None:
    rng = np.random.default_rng(seed)
    n = int(rng.integers(1, 40))
    frame = pd.DataFrame(
        {"daily_return": rng.normal(0, 0.01, n), "index_daily_return": rng.normal(0, 0.01, n)},
        index=trade_dates(n),
    )
    if seed % 3:
        frame.insert(
            1, "close", frame["index_daily_return"].cumsum() + (0.0 if seed % 3 == 2 else 1.0)
        )
    frame = frame.mask(rng.random(frame.shape) < 0.1)
    got, want = (
        engine._build_total_backtesting_frame(frame),
        model._build_total_backtesting_frame(frame),
    )
    assert_frame_close(got, want)
    signal = None if seed == 0 else random_case(seed)["signal"].iloc[: seed % 4]
    assert_stats_close(
        engine.calc_strategy_stats(want, signal), model.calc_strategy_stats(want, signal)
    )


@needs_engine
def test_runs_in_threads_equal_runs_one_after_another() -> None:
    cases = [random_case(seed, n_days=120, n_stocks=150) for seed in (40, 41, 42, 43)]
    sequential = [_run(engine, case) for case in cases]
    results: dict[int, Any] = {}
    threads = [
        threading.Thread(target=lambda i=i: results.__setitem__(i, _run(engine, cases[i])))
        for i in range(len(cases))
    ]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for i, want in enumerate(sequential):
        pd.testing.assert_series_equal(results[i].daily_return, want.daily_return, check_exact=True)
        assert results[i].stats.keys() == want.stats.keys()
        np.testing.assert_array_equal(list(results[i].stats.values()), list(want.stats.values()))


@pytest.mark.parametrize("impl", IMPLS)
@pytest.mark.parametrize(
    ("benchmark_names", "primary_close"),
    [("000300", "000300"), (["000905", "000300"], "000905"), (None, "000905"), ("all", None)],
)
def test_runner_primary_benchmark_choice(impl, benchmark_names, primary_close) -> None:
    case = random_case(3)
    dates = list(case["signal"].index)
    case["benchmark_dict"] = {
        "000905": pd.Series(0.001, index=dates),
        "000300": pd.Series(-0.002, index=dates),
    }
    case["benchmark_names"], case["rolling_window"] = benchmark_names, 0
    result = _run(impl, case)
    # a rising benchmark lifts the benchmark return, a falling one lowers it, none leaves it 0
    sign = {"000905": 1.0, "000300": -1.0, None: 0.0}[primary_close]
    assert np.sign(result.stats["benchmark_annual_return"]) == sign
    assert list(result.benchmark_summary["benchmark_name"]) == ["000905", "000300"]
    np.testing.assert_allclose(
        result.benchmark_summary["benchmark_annual_return"], [0.252, -0.504], **TOL
    )


# -------------------------------------------------------------------- bad input kinds
def _small_case() -> tuple[pd.DataFrame, dict[str, pd.DataFrame]]:
    return weights([[0.25, 0.1], [0.25, nan], [nan, 0.2]], (A, B)), market(3, (A, B))


class _ReadOnlyMapping(Mapping):
    def __init__(self, data: dict) -> None:
        self._data = data

    def __getitem__(self, key: str) -> pd.Series:
        return self._data[key]

    def __iter__(self):
        return iter(self._data)

    def __len__(self) -> int:
        return len(self._data)


BENCH = {"000852": pd.Series(0.001, index=trade_dates(3))}


@needs_engine
@pytest.mark.parametrize(
    ("argument", "value"),
    [
        ("benchmark_dict", types.MappingProxyType(BENCH)),
        ("benchmark_dict", _ReadOnlyMapping(BENCH)),
        ("benchmark_dict", [("000852", BENCH["000852"])]),
        ("strategy_name", 5),
        ("strategy_name", None),
        ("plot_image_kind", 1),
        ("plot_image_kind", b"large"),
        ("plot_title", 3.0),
        ("rolling_window", "3"),
        ("rolling_window", None),
    ],
)
def test_runner_rejects_wrong_argument_kinds(argument, value) -> None:
    signal, tables = _small_case()
    with pytest.raises(TypeError, match=argument):
        engine.run_strategy_backtest_core(
            signal, **tables, plot_image_kind=None, **{argument: value}
        )


@needs_engine
@pytest.mark.parametrize("call", ["engine", "smooth"])
@pytest.mark.parametrize("value", ["200", None, [200]])
def test_whole_number_arguments_reject_other_kinds(call, value) -> None:
    signal, tables = _small_case()
    if call == "engine":
        with pytest.raises(TypeError, match="lot_size"):
            engine.calc_strategy_vwap_daily_return(signal, **tables, lot_size=value)
    else:
        with pytest.raises(TypeError, match="rolling_window"):
            engine._smooth_strategy_weights(signal, value)


@needs_engine
@pytest.mark.parametrize(
    ("given", "same_as"), [(200.9, 200), (np.int64(100), 100), (np.float32(1.5), 1)]
)
def test_lot_size_numbers_are_truncated(given, same_as) -> None:
    case = random_case(5)
    args = (case["signal"], *(case["tables"][k] for k in model.MARKET_KEYS))
    assert_series_close(
        engine.calc_strategy_vwap_daily_return(*args, lot_size=given),
        model.calc_strategy_vwap_daily_return(*args, lot_size=same_as),
    )


@needs_engine
@pytest.mark.parametrize(
    "benchmark_dict",
    [OrderedDict(BENCH), {**BENCH}],
    ids=["dict-subclass", "dict"],
)
def test_runner_accepts_dictionaries(benchmark_dict) -> None:
    signal, tables = _small_case()
    got = engine.run_strategy_backtest_core(
        signal,
        **tables,
        benchmark_dict=benchmark_dict,
        rolling_window=np.int64(0),
        plot_image_kind=None,
        plot_title="t",
    )
    assert_result_close(
        got, model.run_strategy_backtest_core(signal, **tables, benchmark_dict=dict(BENCH))
    )


# ------------------------------------------------------------------- degenerate input
def _degenerate(kind: str) -> tuple[pd.DataFrame, dict[str, pd.DataFrame], dict | None]:
    signal, tables = _small_case()
    if kind == "dates-not-in-close":
        signal.index = trade_dates(3, start="2023-01-02")
    elif kind == "codes-not-in-close":
        signal.columns = ["600000", "600001"]
    elif kind == "no-weights":
        signal.loc[:, :] = nan
    elif kind == "no-rows":
        signal = signal.iloc[:0]
    elif kind == "no-columns":
        signal = signal.iloc[:, :0]
    elif kind == "single-row":
        signal = signal.iloc[:1]
    elif kind == "one-weighted-row-then-gaps":
        signal.iloc[1:] = nan
    elif kind == "benchmark-elsewhere":
        return signal, tables, {"000852": pd.Series(0.01, index=trade_dates(3, start="2023-01-02"))}
    return signal, tables, dict(BENCH)


DEGENERATE = [
    "no-rows",
    "no-columns",
    "dates-not-in-close",
    "codes-not-in-close",
    "no-weights",
    "single-row",
    "one-weighted-row-then-gaps",
    "benchmark-elsewhere",
]


@pytest.mark.parametrize("impl", IMPLS)
@pytest.mark.parametrize("kind", DEGENERATE)
def test_degenerate_inputs_give_the_empty_result(impl, kind, tmp_path: Path) -> None:
    signal, tables, bench = _degenerate(kind)
    result = impl.run_strategy_backtest_core(
        signal,
        **tables,
        benchmark_dict=bench,
        plot_image_kind="large",
        plot_save_path=tmp_path / "run.png",
        strategy_name="empty",
    )
    assert result.strategy_name == "empty"
    for series in (result.daily_return, result.cumulative_return):
        assert isinstance(series, pd.Series) and series.empty and series.dtype == np.float64
    assert result.daily_return is result.cumulative_return
    assert list(result.stats) == model.EMPTY_STATS_KEYS
    assert all(math.isnan(v) for v in result.stats.values())
    assert result.benchmark_summary.empty and len(result.benchmark_summary.columns) == 0
    assert dict(result.plot_paths) == {}
    assert list(tmp_path.iterdir()) == []


@needs_engine
@pytest.mark.parametrize(("kind", "with_path"), [("large", True), (None, True), ("long", False)])
def test_chart_request_never_changes_the_numbers(
    kind, with_path, tmp_path: Path, monkeypatch
) -> None:
    monkeypatch.chdir(tmp_path)
    case = random_case(8)
    path = tmp_path / "run1.png" if with_path else None
    got = _run(engine, case, plot_image_kind=kind, plot_save_path=path)
    want = _run(model, case)
    want.plot_paths = dict(got.plot_paths)
    assert_result_close(got, want)
    if kind is None or path is None or not got.plot_paths:
        assert dict(got.plot_paths) == {} and list(tmp_path.iterdir()) == []
    else:
        weekly = tmp_path / "run1_weekly_net_value.png"
        assert dict(got.plot_paths) == {"main": str(path), "weekly_net_value": str(weekly)}
        assert path.is_file() and weekly.is_file()


@needs_engine
def test_a_year_of_trading_days_annualises_to_its_own_return() -> None:
    year = engine.TRADING_DAYS_PER_YEAR
    stats = engine.calc_strategy_stats(
        total_frame([0.0] + [0.1 / (year - 1)] * (year - 1), [0.0] * year), None
    )
    assert stats["annual_return"] == pytest.approx(10.0, rel=1e-12)
    signal, tables = _small_case()
    assert isinstance(
        engine.run_strategy_backtest_core(signal, **tables, plot_image_kind=None),
        engine._WeightbookResult,
    )


@needs_engine
def test_rolling_stability_window_follows_the_module_constants(tmp_path, monkeypatch) -> None:
    """The rolling panel looks back ROLLING_STABILITY_DAYS once the run is that long, else
    a third of the days but at least MIN_ROLLING_STABILITY_DAYS; a shorter run says so.
    The first value stands on the window's last day."""
    import matplotlib.pyplot as plt

    closed: list[Any] = []
    close = plt.close
    monkeypatch.setattr(plt, "close", lambda fig=None: (closed.append(fig), close(fig)))
    longest, shortest = engine.ROLLING_STABILITY_DAYS, engine.MIN_ROLLING_STABILITY_DAYS
    expected = {
        shortest - 1: None,
        shortest: shortest,
        3 * shortest + 3: shortest + 1,
        longest - 1: (longest - 1) // 3,
        longest: longest,
        longest + 1: longest,
    }
    rng = np.random.default_rng(8)
    for days, window in expected.items():
        bench = rng.normal(0.0, 0.01, days)
        total = total_frame(list(bench + rng.normal(0.001, 0.004, days)), list(bench))
        closed.clear()
        engine.plot_strategy_performance(
            total, dict(engine.calc_strategy_stats(total, None)), save_path=tmp_path / "p.png"
        )
        (panel,) = [ax for ax in closed[0].axes if ax.get_title() == "Rolling Excess Stability"]
        if window is None:
            assert [t.get_text() for t in panel.texts] == ["Not enough data"], days
            continue
        line = panel.get_lines()[0]
        assert line.get_label() == f"{window}D Excess Sharpe", days
        sharpe = np.asarray(line.get_ydata(), dtype=float)
        assert np.isnan(sharpe[: window - 1]).all() and np.isfinite(sharpe[window - 1]), days
