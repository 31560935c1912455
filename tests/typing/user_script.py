"""A research script on the public road, checked by mypy --strict: every value it takes
from lumora has a precise type (a function declared to return it would report Any)."""

from __future__ import annotations

import pandas as pd

import lumora
from lumora.backtest import (
    BacktestData,
    BacktestResult,
    BacktestService,
    StrategyBacktestResult,
)


def load() -> BacktestData:
    lumora.init_sandbox(n_stocks=50)
    lumora.prepare_backtest_data()
    return lumora.load_backtest_data()


def from_files(folder: str) -> BacktestService:
    return lumora.init_files(folder, columns={"ts_code": "code"})


def momentum(data: BacktestData) -> pd.DataFrame:
    adjusted = data.adjusted_close()
    return adjusted / adjusted.shift(20) - 1.0


def monthly_top(data: BacktestData, factor: pd.DataFrame) -> pd.DataFrame:
    ranks = factor.iloc[::20].rank(axis=1, ascending=False)
    picks = (ranks <= 10).astype(float) / 10.0
    return lumora.hold_weights(picks, data, end_date=20991231)


def strategy(data: BacktestData, weights: pd.DataFrame) -> StrategyBacktestResult:
    return lumora.backtest_strategy(
        weights, data, 20200101, "20241231", "out", "top10", benchmark=["000300"], plot=None
    )


def factor_groups(data: BacktestData, factor: pd.DataFrame) -> BacktestResult:
    return lumora.backtest_factor(
        factor, data, 20200101, 20241231, None, "momentum", group_num=5, plot=None
    )


def annual_return(result: StrategyBacktestResult) -> float:
    return result.stats["annual_return"]


def nav(result: StrategyBacktestResult) -> pd.Series:
    return result.cumulative_return


def best(result: BacktestResult) -> int:
    return result.best_group


def groups(result: BacktestResult) -> pd.DataFrame:
    return result.group_cumulative_return


def screen(data: BacktestData, factor: pd.DataFrame) -> lumora.BatchResult:
    jobs: dict[str, lumora.FactorJob | lumora.StrategyJob] = {
        "momentum": lumora.FactorJob(factor, 20200101, 20241231, group_num=10, lot_size=100),
        "top10": lumora.StrategyJob(monthly_top(data, factor), 20200101, 20241231),
    }
    return lumora.backtest_many(jobs, data, executor="serial", max_workers=1, progress=False)


def failures(batch: lumora.BatchResult) -> dict[str, lumora.JobFailure]:
    return batch.failed
