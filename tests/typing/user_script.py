"""A research script on the public road, checked by mypy --strict: every value it takes
from lumora has a precise type (a function declared to return it would report Any)."""

from __future__ import annotations

import pandas as pd

import lumora
from lumora.backtest import BacktestData, BacktestResult, StrategyBacktestResult


def load() -> BacktestData:
    lumora.init_sandbox(n_stocks=50)
    lumora.prepare_backtest_data()
    return lumora.load_backtest_data()


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
