"""Period and yearly metrics of the strategy charts against their worked examples and a
plain pandas model of the same definitions."""

from __future__ import annotations

import math

import numpy as np
import pandas as pd
import pytest

from lumora.backtest import _weightbook as wb

nan, inf = math.nan, math.inf
YEARLY_COLUMNS = [
    "strategy_return",
    "strategy_sharpe",
    "strategy_max_dd",
    "strategy_calmar",
    "excess_return",
    "excess_sharpe",
    "excess_max_dd",
    "excess_calmar",
]


def model_period(returns: pd.Series | None) -> tuple[float, float, float]:
    if returns is None or len(returns) == 0:
        return nan, nan, nan
    cumulative = returns.cumsum()
    drawdown = cumulative - cumulative.cummax().clip(lower=0.0)
    max_drawdown = abs(drawdown.min())
    annualized = returns.mean() * 252
    calmar = annualized / max_drawdown if pd.notna(max_drawdown) and max_drawdown > 1e-12 else nan
    return returns.sum(), max_drawdown, calmar


def model_yearly(daily: pd.DataFrame) -> pd.DataFrame:
    rows = []
    for year, group in daily.groupby(daily.index.year):
        strategy = group["daily_return"].replace([inf, -inf], nan).dropna()
        excess = group["extra_daily_return"].replace([inf, -inf], nan).dropna()
        if strategy.empty and excess.empty:
            continue
        s_ret, s_dd, s_calmar = model_period(strategy)
        e_ret, e_dd, e_calmar = model_period(excess)
        rows.append(
            {
                "year": int(year),
                "strategy_return": s_ret,
                "strategy_sharpe": wb.safe_sharpe(strategy),
                "strategy_max_dd": s_dd,
                "strategy_calmar": s_calmar,
                "excess_return": e_ret,
                "excess_sharpe": wb.safe_sharpe(excess),
                "excess_max_dd": e_dd,
                "excess_calmar": e_calmar,
            }
        )
    if not rows:
        return pd.DataFrame()
    return pd.DataFrame(rows).set_index("year").sort_index()


def daily_frame(dates: list[str], strategy: list[float], excess: list[float]) -> pd.DataFrame:
    return pd.DataFrame(
        {"daily_return": strategy, "index_daily_return": 0.0, "extra_daily_return": excess},
        index=pd.to_datetime(dates, format="%Y%m%d"),
    )


@pytest.mark.parametrize(
    ("returns", "expected"),
    [
        pytest.param([0.01, -0.02, 0.005], (-0.005, 0.02, -21.0), id="partial-recovery"),
        pytest.param([-0.01, -0.02], (-0.03, 0.03, -126.0), id="loss-from-first-day"),
        pytest.param([0.01, 0.01], (0.02, 0.0, nan), id="never-below-peak"),
        pytest.param([], (nan, nan, nan), id="empty"),
        pytest.param(None, (nan, nan, nan), id="none"),
        pytest.param(
            [0.01, nan, -0.02, 0.005], (-0.005, 0.02, -0.005 / 3 * 252 / 0.02), id="missing-day"
        ),
    ],
)
def test_period_return_drawdown_calmar(
    returns: list[float] | None, expected: tuple[float, float, float]
) -> None:
    series = None if returns is None else pd.Series(returns, dtype=float)
    got = wb._period_return_drawdown_calmar(series)
    assert isinstance(got, tuple) and len(got) == 3
    np.testing.assert_allclose(got, expected, rtol=1e-12, atol=1e-15)
    np.testing.assert_allclose(got, model_period(series), rtol=1e-12, atol=1e-15)


def test_year_boundary_gives_two_rows_in_year_order() -> None:
    daily = daily_frame(
        ["20231228", "20231229", "20240102", "20240103"],
        [0.01, -0.02, 0.03, 0.01],
        [0.0, 0.01, -0.01, 0.02],
    )
    table = wb._calc_yearly_performance_metrics(daily)
    assert list(table.columns) == YEARLY_COLUMNS
    assert table.index.name == "year"
    assert table.index.tolist() == [2023, 2024]
    assert pd.api.types.is_integer_dtype(table.index)
    assert table.loc[2023, "strategy_return"] == pytest.approx(-0.01)
    assert table.loc[2024, "excess_max_dd"] == pytest.approx(0.01)


def test_years_with_only_non_finite_returns_are_skipped_and_one_sided_years_kept() -> None:
    daily = daily_frame(
        ["20210104", "20210105", "20220104", "20220105"],
        [inf, nan, 0.01, 0.02],
        [-inf, nan, nan, inf],
    )
    table = wb._calc_yearly_performance_metrics(daily)
    assert table.index.tolist() == [2022]
    row = table.loc[2022]
    assert row["strategy_return"] == pytest.approx(0.03)
    assert all(math.isnan(row[c]) for c in YEARLY_COLUMNS[4:])


@pytest.mark.parametrize(
    "daily",
    [
        pytest.param(daily_frame([], [], []), id="no-rows"),
        pytest.param(daily_frame(["20240102"], [nan], [inf]), id="nothing-finite"),
    ],
)
def test_no_year_with_data_gives_empty_table(daily: pd.DataFrame) -> None:
    table = wb._calc_yearly_performance_metrics(daily)
    assert table.empty and len(table.columns) == 0


def test_table_library_errors_pass_through() -> None:
    text_indexed = pd.DataFrame(
        {"daily_return": [0.01], "extra_daily_return": [0.0]}, index=["20240102"]
    )
    with pytest.raises(AttributeError):
        wb._calc_yearly_performance_metrics(text_indexed)
    with pytest.raises(KeyError):
        wb._calc_yearly_performance_metrics(
            daily_frame(["20240102"], [0.01], [0.0]).drop(columns="extra_daily_return")
        )


@pytest.mark.parametrize("seed", range(8))
def test_yearly_metrics_match_pandas_model(seed: int) -> None:
    rng = np.random.default_rng(seed)
    days = pd.bdate_range("2019-11-01", "2023-02-28")
    days = days[rng.random(len(days)) < 0.8]  # holidays and gaps
    n = len(days)
    strategy = rng.normal(0.0005, 0.015, n)
    excess = rng.normal(0.0002, 0.006, n)
    for values in (strategy, excess):
        values[rng.random(n) < 0.03] = nan
        values[rng.random(n) < 0.01] = rng.choice([inf, -inf])
    if seed % 2:  # one whole year with no finite value in either column
        hole = days.year == 2021
        strategy[hole], excess[hole] = nan, inf
    daily = pd.DataFrame(
        {"daily_return": strategy, "index_daily_return": 0.0, "extra_daily_return": excess},
        index=days,
    )
    got = wb._calc_yearly_performance_metrics(daily)
    pd.testing.assert_frame_equal(got, model_yearly(daily), rtol=1e-9, atol=1e-12)
