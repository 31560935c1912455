"""The lot size reaches the engines from both requests, the SDK conveniences and batch jobs:
the same numbers as the engine entries given that lot size, and with small capital a smaller
lot holds more of the targets, while holding_count stays the count of targets."""

from __future__ import annotations

from typing import Any

import numpy as np
import pytest

from engine_keys import MARKET_KEYS
from lumora import _session
from lumora.backtest import BacktestData, BacktestService, _core, _weightbook
from lumora.backtest.batch import FactorJob, StrategyJob
from lumora.sandbox import generate_market

DATA = generate_market(80, 120, seed=21).dataset_tables()
DATES = DATA["close_price"].index
MARKET = {k: DATA[v] for k, v in MARKET_KEYS.items()}
MONEY = 2e5  # 50 targets of 4,000 yuan: a lot of 200 shares above 20 yuan is out of reach


def targets() -> object:
    close = DATA["close_price"]
    top = close.rank(axis=1, ascending=False, method="first") <= 50
    return (top.astype(float) / 50).where(top)


@pytest.fixture(autouse=True)
def default_service(monkeypatch):
    monkeypatch.setattr(_session, "_service", BacktestService(None))


def request(entry: Any, table: object, lot_size: int, **extra: Any) -> Any:
    """The session's ``entry`` (backtest_strategy or backtest_factor) on every day of the
    market with the small capital and no chart."""
    loaded = BacktestData(data=DATA)
    options = {"plot": None, "total_money": MONEY, "lot_size": lot_size, **extra}
    return entry(table, loaded, DATES[0], DATES[-1], None, "lots", **options)


def strategy_request(lot_size: int, **extra: Any) -> Any:
    return request(_session.backtest_strategy, targets(), lot_size, **extra)


def test_strategy_request_and_job_trade_the_lot_size_given():
    runs = {lot: strategy_request(lot, record_positions=True) for lot in (100, 200)}
    for lot, result in runs.items():
        engine = _weightbook.run_strategy_backtest_core(
            targets(),
            **MARKET,
            total_money=MONEY,
            plot_image_kind=None,
            lot_size=lot,
            benchmark_dict=DATA["benchmark_dict"],
        )
        assert result.daily_return.to_numpy().tobytes() == engine.daily_return.to_numpy().tobytes()
        assert result.parameters["lot_size"] == lot
        assert (result.positions["shares"] % lot == 0).all()
    held = {
        lot: r.positions[r.positions["shares"] > 0].groupby("date", observed=True).size().mean()
        for lot, r in runs.items()
    }
    assert held[100] > held[200] + 1  # small capital: smaller lots reach more targets
    assert runs[100].stats["holding_count"] == runs[200].stats["holding_count"] == 50.0

    job = StrategyJob(targets(), DATES[0], DATES[-1], total_money=MONEY, lot_size=100)
    batch = BacktestService(None).backtest_many(
        {"j": job}, BacktestData(data=DATA), executor="serial", progress=False
    )
    assert batch.results["j"].daily_return.equals(runs[100].daily_return)


def test_factor_request_and_job_trade_the_lot_size_given():
    factor = DATA["close_price"].pct_change(5, fill_method=None)
    loaded = BacktestData(data=DATA)
    results = {
        lot: request(_session.backtest_factor, factor, lot, group_num=4) for lot in (100, 200)
    }
    core = _core.run_alpha_vwap_backtest_core(
        factor_matrix=factor.loc[DATES[0] : DATES[-1]],
        close_price_valid=DATA["close_price_valid"],
        **MARKET,
        benchmark_dict=DATA["benchmark_dict"],
        group_num=4,
        total_money=MONEY,
        lot_size=100,
        forward_return_rank_cache=DATA["forward_return_rank_cache"],
        open_price=DATA["open_price"],
    )
    got = results[100].group_daily_return.to_numpy()
    assert got.tobytes() == core.group_daily_return.to_numpy().tobytes()
    assert not np.array_equal(got, results[200].group_daily_return.to_numpy(), equal_nan=True)
    assert results[100].parameters["lot_size"] == 100

    job = FactorJob(factor, DATES[0], DATES[-1], group_num=4, total_money=MONEY, lot_size=100)
    batch = BacktestService(None).backtest_many(
        {"j": job}, loaded, executor="serial", progress=False
    )
    assert batch.results["j"].group_daily_return.equals(results[100].group_daily_return)


@pytest.mark.parametrize("lot_size", [0, -100])
def test_a_lot_size_below_one_is_refused_by_both_requests(lot_size):
    with pytest.raises(ValueError, match="lot_size"):
        strategy_request(lot_size)
    with pytest.raises(ValueError, match="lot_size"):
        request(_session.backtest_factor, DATA["close_price"], lot_size)
