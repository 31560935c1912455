"""The strategy analysis against the open portfolio-analytics library (empyrical-reloaded)
and plain scipy/pandas, and the recorded positions and trades against the daily returns.

Matching definitions (within 1e-9): ``sortino`` is empyrical's ``sortino_ratio`` (mean
over the root mean square of the negative days, both annualised), ``var_95_daily`` its
``value_at_risk`` (5th percentile, linear interpolation), ``cvar_95_daily`` its
``conditional_value_at_risk``; ``skew`` / ``kurtosis`` are scipy's population moments.

Different definitions, modelled here in pandas instead: empyrical compounds returns, while
this engine trades a fixed capital every day, so its net value is 1 + the running sum of
the daily returns. Drawdowns are therefore falls of that sum in units of the capital (not
a fall relative to a compounded peak), months and years sum their days, and ``calmar`` is
the annualised mean over the deepest such drawdown (empyrical: compounded annual growth
over the compounded drawdown).
"""

from __future__ import annotations

import functools
import warnings

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from scipy import stats

from lumora.backtest import BacktestData, BacktestService
from lumora.sandbox import generate_market

with warnings.catch_warnings():
    warnings.simplefilter("ignore")  # the peer's own import-time deprecations are not ours
    empyrical = pytest.importorskip("empyrical")

TOL = {"rtol": 1e-9, "atol": 1e-12}


@functools.cache
def market(n_stocks: int, n_days: int, seed: int) -> BacktestData:
    return BacktestData(data=generate_market(n_stocks, n_days, seed=seed).dataset_tables())


def random_weights(data: BacktestData, seed: int, picks: int, every: int) -> pd.DataFrame:
    """Equal weights on random picks, rebalanced every `every` days and held in between."""
    close = data.data["close_price"]
    rng = np.random.default_rng(seed)
    weights = pd.DataFrame(np.nan, index=close.index, columns=close.columns)
    current = None
    for i, date in enumerate(close.index[:-1]):
        if i % every == 0:
            current = rng.choice(close.columns, size=picks, replace=False)
        weights.loc[date, current] = 1.0 / picks
    return weights


# ------------------------------------------------------------------------------ the model
def drawdown_model(daily: pd.Series) -> pd.DataFrame:
    """Underwater periods of 1 + cumsum, the peak starting at the capital; deepest five."""
    level = np.concatenate([[1.0], 1.0 + daily.cumsum().to_numpy()])
    dates = [None, *daily.index]
    rows, peak_at, peak = [], 0, 1.0
    under = None
    for k in range(1, len(level)):
        if level[k] >= peak:
            if under is not None:
                rows.append({**under, "recovery": dates[k], "days": k - peak_at})
                under = None
            peak, peak_at = level[k], k
        elif under is None or level[k] - peak < under["depth"]:
            start = dates[peak_at] if under is None else under["peak"]
            under = {"peak": start, "trough": dates[k], "depth": level[k] - peak}
    if under is not None:
        rows.append({**under, "recovery": None, "days": len(level) - 1 - peak_at})
    table = pd.DataFrame(
        {c: pd.Series([r[c] for r in rows], dtype=object) for c in ("peak", "trough", "recovery")}
    )
    table["depth"] = [r["depth"] for r in rows]
    table["days"] = [r["days"] for r in rows]
    return table.sort_values("depth", kind="stable").head(5).reset_index(drop=True)


def test_strategy_analysis_matches_empyrical_and_pandas() -> None:
    data = market(80, 420, 5)
    dates = data.data["close_price"].index
    weights = random_weights(data, 1, picks=12, every=15)
    result = BacktestService(None).backtest_strategy(
        weights, data, dates[0], dates[-1], "", "s", plot=None
    )
    daily, got = result.daily_return, result.analysis
    s = got.summary

    np.testing.assert_allclose(s["sortino"], empyrical.sortino_ratio(daily), **TOL)
    np.testing.assert_allclose(s["var_95_daily"], empyrical.value_at_risk(daily, 0.05), **TOL)
    np.testing.assert_allclose(
        s["cvar_95_daily"], empyrical.conditional_value_at_risk(daily, 0.05), **TOL
    )
    np.testing.assert_allclose(
        [s["skew"], s["kurtosis"]], [stats.skew(daily), stats.kurtosis(daily)], **TOL
    )

    drawdowns = drawdown_model(daily)
    pd.testing.assert_frame_equal(got.drawdowns, drawdowns, check_dtype=False, **TOL)
    assert s["max_drawdown"] == pytest.approx(drawdowns["depth"].iloc[0], rel=1e-12)
    np.testing.assert_allclose(s["calmar"], daily.mean() * 252 / -drawdowns["depth"].iloc[0], **TOL)

    year, month = daily.index.str[:4].astype(int), daily.index.str[4:6].astype(int)
    monthly = daily.groupby([year, month]).sum()
    np.testing.assert_allclose(
        got.monthly_returns.stack().dropna().to_numpy(), monthly.to_numpy(), **TOL
    )
    yearly = daily.groupby(year).sum()
    np.testing.assert_allclose(got.yearly_returns.to_numpy(), yearly.to_numpy(), **TOL)
    extremes = [daily.max(), daily.min(), monthly.max(), monthly.min(), yearly.max(), yearly.min()]
    keys = ["best_day", "worst_day", "best_month", "worst_month", "best_year", "worst_year"]
    np.testing.assert_allclose([s[k] for k in keys], extremes, **TOL)

    rolling = daily.rolling(126)
    np.testing.assert_allclose(
        got.rolling_volatility_126, rolling.std() * np.sqrt(252), equal_nan=True, **TOL
    )
    np.testing.assert_allclose(
        got.rolling_sharpe_126, rolling.mean() / rolling.std() * np.sqrt(252), equal_nan=True, **TOL
    )


# --------------------------------------------------------------- positions and trades
def priced_back(result, data: BacktestData, weights: pd.DataFrame, fee: float, rule_fee: float):
    """Daily profit over the capital rebuilt from the recorded positions and trades and the
    market tables, part by part in stock order as the engine adds them."""
    held = result.positions.pivot(index="date", columns="stock", values="shares")
    trades = result.trades
    bought = trades[trades["side"] == "buy"].pivot(index="date", columns="stock", values="shares")
    t = {k: data.data[k] for k in ("close_price", "prev_close", "buy_price", "sell_price")}
    split, dividend = data.data["rq_get_split"], data.data["rq_get_dividend"]
    buy_factor, sell_factor = 1.0 + fee, 1.0 - fee - rule_fee
    days = list(dict.fromkeys([*held.index, *trades["date"]]))
    days.sort()
    previous: dict[str, float] = {}
    out = {}

    def zero(x: float) -> float:
        return 0.0 if np.isnan(x) else x

    for day in days:
        parts = [0.0, 0.0, 0.0, 0.0, 0.0]
        now = held.loc[day].dropna().to_dict() if day in held.index else {}
        buys = bought.loc[day].dropna().to_dict() if day in bought.index else {}
        for stock in weights.columns:
            b = buys.get(stock, 0.0)
            hold = now.get(stock, 0.0) - b
            sold = previous.get(stock, 0.0) - hold
            if b == 0.0 and hold == 0.0 and sold == 0.0:
                continue
            close, prev = t["close_price"].at[day, stock], t["prev_close"].at[day, stock]
            sp = split.at[day, stock]
            sp = 1.0 if np.isnan(sp) else sp
            div = zero(dividend.at[day, stock])
            parts[0] += b * zero(close - t["buy_price"].at[day, stock] * buy_factor)
            parts[1] += hold * zero(sp * close - prev)
            parts[2] += hold * div
            parts[3] += sold * zero(sp * t["sell_price"].at[day, stock] * sell_factor - prev)
            parts[4] += sold * div
        out[day] = parts[0] + parts[1] + parts[2] + parts[3] + parts[4]
        previous = now
    return pd.Series(out)


@settings(max_examples=6, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(
    seed=st.integers(0, 10_000),
    picks=st.integers(1, 8),
    every=st.integers(1, 12),
    fee=st.sampled_from([0.0, 0.0001, 0.003]),
    rule_fee=st.sampled_from([0.0, 0.0005]),
)
def test_positions_and_trades_price_back_the_daily_returns(
    seed, picks, every, fee, rule_fee
) -> None:
    data = market(30, 70, 2)
    dates = data.data["close_price"].index
    weights = random_weights(data, seed, picks, every)
    service = BacktestService(None)
    keywords = {"plot": None, "fee": fee, "rule_fee": rule_fee, "total_money": 1e7}
    plain = service.backtest_strategy(weights, data, dates[0], dates[-1], "", "s", **keywords)
    result = service.backtest_strategy(
        weights, data, dates[0], dates[-1], "", "s", record_positions=True, **keywords
    )
    # Recording changes nothing of the run.
    assert result.daily_return.to_numpy().tobytes() == plain.daily_return.to_numpy().tobytes()
    assert np.array_equal(list(result.stats.values()), list(plain.stats.values()), equal_nan=True)
    assert plain.positions is None and plain.trades is None

    profit = priced_back(result, data, weights, fee, rule_fee) / 1e7
    daily = result.daily_return
    assert (
        profit.reindex(daily.index).fillna(0.0).to_numpy().tobytes() == daily.to_numpy().tobytes()
    )

    # Every trade's value is shares x price (0 where the price is missing, as the engine
    # values it), its cost the commission (and the stamp duty on a sale), and a day's traded
    # value their sum.
    trades = result.trades
    np.testing.assert_array_equal(trades["value"], (trades["shares"] * trades["price"]).fillna(0.0))
    rate = np.where(trades["side"] == "buy", fee, fee + rule_fee)
    np.testing.assert_allclose(trades["cost"], trades["value"] * rate, rtol=1e-15)
    per_day = trades.groupby("date")["value"].sum().reindex(daily.index).fillna(0.0)
    np.testing.assert_allclose(result.analysis.traded_value, per_day, rtol=1e-12)
