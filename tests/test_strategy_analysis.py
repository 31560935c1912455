"""The strategy analysis against the open portfolio-analytics library (empyrical-reloaded),
plain scipy/pandas and the result's own statistics, and the recorded positions, trades and
holdings against the daily returns and the market tables.

Matching definitions (within 1e-9): ``sortino`` is empyrical's ``sortino_ratio`` (mean
over the root mean square of the negative days, both annualised), ``var_95_daily`` its
``value_at_risk`` (5th percentile, linear interpolation), ``cvar_95_daily`` its
``conditional_value_at_risk``, ``annual_volatility``, ``cagr``, ``alpha`` / ``beta``
(``alpha_beta``), ``tail_ratio``, ``stability`` (``stability_of_timeseries``), ``omega``
(``omega_ratio``), ``max_drawdown_compounded`` (``max_drawdown``) and
``rolling_beta_126`` (``roll_beta``) its functions of the same names; the information
ratio is mean over standard deviation of the excess returns as quantstats defines it,
which empyrical computes as ``excess_sharpe``, annualised by sqrt 252; ``skew`` /
``kurtosis`` are scipy's population moments.

Different definitions, modelled here in pandas instead: the engine trades a fixed capital
every day, so its net value is 1 + the running sum of the daily returns, rebased on the
first day (the total frame's ``long``). Drawdowns are falls of that net value below its
running peak, months and years sum their days, and ``calmar`` is the statistics' annual
return over the deepest such drawdown (empyrical: compounded annual growth over the
compounded drawdown).
"""

from __future__ import annotations

import functools
import warnings

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from matplotlib.backends.backend_agg import FigureCanvasAgg
from scipy import stats

import test_charts
from lumora.backtest import BacktestData, BacktestService
from lumora.sandbox import generate_market

with warnings.catch_warnings():
    warnings.simplefilter("ignore")  # the peer's own import-time deprecations are not ours
    empyrical = pytest.importorskip("empyrical")

TOL = {"rtol": 1e-9, "atol": 1e-12}
figures = test_charts.figures


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
    """Underwater periods of the net value 1 + cumsum rebased on the first day, the peak
    starting on the first day; deepest five."""
    level = (1.0 + daily.cumsum()) / (1.0 + daily.iloc[0])
    rows, peak_at, peak = [], 0, level.iloc[0]
    under = None
    for k in range(1, len(level)):
        if level.iloc[k] >= peak:
            if under is not None:
                rows.append({**under, "recovery": daily.index[k], "days": k - peak_at})
                under = None
            peak, peak_at = level.iloc[k], k
        elif under is None or level.iloc[k] - peak < under["depth"]:
            start = daily.index[peak_at] if under is None else under["peak"]
            under = {"peak": start, "trough": daily.index[k], "depth": level.iloc[k] - peak}
    if under is not None:
        rows.append({**under, "recovery": None, "days": len(level) - 1 - peak_at})
    table = pd.DataFrame(
        {c: pd.Series([r[c] for r in rows], dtype=object) for c in ("peak", "trough", "recovery")}
    )
    table["depth"] = [r["depth"] for r in rows]
    table["days"] = [r["days"] for r in rows]
    return table.sort_values("depth", kind="stable").head(5).reset_index(drop=True)


def benchmark_of(data: BacktestData, daily: pd.Series, name: str = "000852") -> pd.Series:
    """The primary benchmark's daily returns on the result's dates, a missing or infinite
    day counting 0 (as the total frame takes them)."""
    bm = data.data["benchmark_dict"][name].astype(float).replace([np.inf, -np.inf], np.nan)
    return bm.fillna(0.0).reindex(daily.index)


def test_strategy_analysis_matches_empyrical_and_pandas() -> None:
    data = market(80, 420, 5)
    dates = data.data["close_price"].index
    result = BacktestService(None).backtest_strategy(
        random_weights(data, 1, picks=12, every=15), data, dates[0], dates[-1], "", "s", plot=None
    )
    daily, got = result.daily_return, result.analysis
    bm = benchmark_of(data, daily)
    assert bm.std() > 0 and got.benchmark_name == "000852"
    s = got.summary

    np.testing.assert_allclose(s["sortino"], empyrical.sortino_ratio(daily), **TOL)
    np.testing.assert_allclose(s["var_95_daily"], empyrical.value_at_risk(daily, 0.05), **TOL)
    np.testing.assert_allclose(
        s["cvar_95_daily"], empyrical.conditional_value_at_risk(daily, 0.05), **TOL
    )
    np.testing.assert_allclose(
        [s["skew"], s["kurtosis"]], [stats.skew(daily), stats.kurtosis(daily)], **TOL
    )
    alpha, beta = empyrical.alpha_beta(daily, bm)
    peers = {
        "annual_volatility": empyrical.annual_volatility(daily),
        "cagr": empyrical.cagr(daily),
        "max_drawdown_compounded": empyrical.max_drawdown(daily),
        "alpha": alpha,
        "beta": beta,
        "information_ratio": empyrical.excess_sharpe(daily, bm) * np.sqrt(252),
        "tail_ratio": empyrical.tail_ratio(daily),
        "stability": empyrical.stability_of_timeseries(daily),
        "omega": empyrical.omega_ratio(daily),
    }
    np.testing.assert_allclose([s[k] for k in peers], list(peers.values()), **TOL)
    rolling_beta = empyrical.roll_beta(daily, bm, window=126)
    np.testing.assert_allclose(got.rolling_beta_126.iloc[125:], rolling_beta, **TOL)
    assert got.rolling_beta_126.iloc[:125].isna().all()

    drawdowns = drawdown_model(daily)
    pd.testing.assert_frame_equal(got.drawdowns, drawdowns, check_dtype=False, **TOL)
    assert s["max_drawdown"] == pytest.approx(drawdowns["depth"].iloc[0], rel=1e-12)
    net_gain_per_year = ((1.0 + daily.sum()) / (1.0 + daily.iloc[0]) - 1.0) / (len(daily) / 252)
    np.testing.assert_allclose(s["calmar"], net_gain_per_year / -drawdowns["depth"].iloc[0], **TOL)

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


def test_analysis_and_statistics_of_one_result_give_one_figure_per_name() -> None:
    # The analysis once cumulated the daily returns from the capital while the statistics
    # rebase the net value on the first day: one report said 33.19 % and 33.10 %.
    data = market(80, 420, 5)
    dates = data.data["close_price"].index
    result = BacktestService(None).backtest_strategy(
        random_weights(data, 1, picks=12, every=15), data, dates[0], dates[-1], "", "s", plot=None
    )
    st, s, drawdowns = result.stats, result.analysis.summary, result.analysis.drawdowns
    assert abs(result.daily_return.iloc[0]) > 1e-6  # a first day that the two would disagree on
    pairs = {
        "max drawdown": (-s["max_drawdown"], st["max_dd"]),
        "deepest drawdown": (-drawdowns["depth"].iloc[0], st["max_dd"]),
        "calmar": (s["calmar"], st["annual_return"] / 100 / st["max_dd"]),
        "information ratio": (s["information_ratio"], st["extra_sharp"]),
    }
    for name, (analysis, statistics) in pairs.items():
        assert analysis == pytest.approx(statistics, rel=1e-12, abs=1e-15), name


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


# ---------------------------------------------------------------------------- holdings
def held_value_model(result, data: BacktestData) -> np.ndarray:
    """Each recorded position at its day's close: shares kept through a split day are in
    the previous day's units and count split, shares bought that day count as they are;
    a day without a close values the position at the previous close."""
    pos = result.positions
    dates, stocks = pos["date"].astype(str), pos["stock"].astype(str)

    def cells(key: str) -> np.ndarray:
        table = data.data[key]
        return table.to_numpy()[table.index.get_indexer(dates), table.columns.get_indexer(stocks)]

    close, prev, split = cells("close_price"), cells("prev_close"), cells("rq_get_split")
    split = np.where(np.isnan(split), 1.0, split)
    buys = result.trades[result.trades["side"] == "buy"]
    bought_by = pd.Series(
        buys["shares"].to_numpy(),
        index=pd.MultiIndex.from_arrays([buys["date"].astype(str), buys["stock"].astype(str)]),
    )
    bought = bought_by.reindex(pd.MultiIndex.from_arrays([dates, stocks])).fillna(0.0).to_numpy()
    shares = pos["shares"].to_numpy()
    value = np.where(
        np.isfinite(close), ((shares - bought) * split + bought) * close, shares * prev
    )
    return np.nan_to_num(value, nan=0.0)


def holdings_model(result, data: BacktestData, capital: float):
    """Holdings by day, the ten largest positions and the industry shares, in pandas."""
    pos = result.positions.assign(
        date=lambda f: f["date"].astype(str), stock=lambda f: f["stock"].astype(str)
    )
    pos["value"] = held_value_model(result, data)
    days = pd.Index(result.positions["date"].cat.categories.astype(str), name="date")
    value = pos.groupby("date")["value"]
    held = value.sum().reindex(days, fill_value=0.0)
    shares = (pos["value"] / pos["date"].map(held)).rename("share")
    holdings = pd.DataFrame(
        {
            "holdings_count": value.size().reindex(days, fill_value=0),
            "top10_share": value.apply(lambda v: v.nlargest(10).sum()).reindex(days) / held,
            "herfindahl": (shares**2).groupby(pos["date"]).sum().reindex(days),
            "gross_exposure": held / capital,
        }
    )
    holdings.loc[held == 0, ["top10_share", "herfindahl"]] = np.nan

    weights = pos.pivot_table(index="date", columns="stock", values="value", aggfunc="sum")
    weights = weights.reindex(days).fillna(0.0) / capital
    top = pd.DataFrame(
        {
            "mean_weight": weights.mean(),
            "max_weight": pos.groupby("stock")["value"].max() / capital,
            "days_held": pos.groupby("stock").size(),
        }
    )
    top = top.sort_index().sort_values("mean_weight", ascending=False, kind="stable").head(10)

    industry = data.data.get("industry_matrix")
    if industry is None:
        code = pd.Series(np.nan, index=pos.index)
    else:
        code = pd.Series(
            industry.to_numpy()[
                industry.index.get_indexer(pos["date"]), industry.columns.get_indexer(pos["stock"])
            ],
            index=pos.index,
        )
    label = code.map(lambda c: "unclassified" if np.isnan(c) else str(int(c)))
    exposure = shares.groupby([pos["date"], label]).sum().unstack(fill_value=0.0)
    order = sorted(
        exposure.columns,
        key=lambda c: (c == "unclassified", float(c) if c != "unclassified" else 0),
    )
    exposure = exposure[order].reindex(days).rename_axis(columns="industry")
    return holdings, top.rename_axis("stock"), exposure


def test_holdings_top_positions_and_industries_follow_the_recorded_positions() -> None:
    data = market(80, 420, 5)
    dates = data.data["close_price"].index
    weights = random_weights(data, 3, picks=14, every=9)
    weights.iloc[40:44] = 0.0  # four days in cash
    capital = 3e7
    without_industry = BacktestData(
        data={k: v for k, v in data.data.items() if k != "industry_matrix"}
    )
    for loaded in (data, without_industry):
        result = BacktestService(None).backtest_strategy(
            weights, loaded, dates[0], dates[-1], "", "s", plot=None, record_positions=True,
            total_money=capital,
        )  # fmt: skip
        got = result.analysis
        np.testing.assert_allclose(
            result.positions["value"], held_value_model(result, loaded), rtol=1e-13
        )
        holdings, top, exposure = holdings_model(result, loaded, capital)
        counts = holdings["holdings_count"]
        assert (counts == 0).sum() >= 3 and counts.max() >= 10
        options = {"check_dtype": False, "check_index_type": False, "rtol": 1e-12, "atol": 1e-15}
        pd.testing.assert_frame_equal(got.holdings, holdings, **options)
        pd.testing.assert_frame_equal(got.top_positions, top, **options)
        pd.testing.assert_frame_equal(got.industry_exposure, exposure, **options)

    # Without an industry table everything held is one column.
    assert list(got.industry_exposure.columns) == ["unclassified"]
    plain = BacktestService(None).backtest_strategy(
        weights, data, dates[0], dates[-1], "", "s", plot=None
    )
    assert plain.analysis.holdings is None and plain.analysis.industry_exposure is None


# ------------------------------------------------------------------------------- pages
def test_analysis_page_draws_the_figures_of_the_result_legibly(tmp_path, figures) -> None:
    data = market(120, 600, 8)
    dates = data.data["close_price"].index
    result = BacktestService(None).backtest_strategy(
        random_weights(data, 11, picks=20, every=21), data, dates[0], dates[-1], str(tmp_path), "m", plot="large",
        record_positions=True,
    )  # fmt: skip
    result.plot_analysis(tmp_path / "analysis.png")
    performance, _weekly, page = figures
    axes = test_charts.axes_by_title(page)
    renderer = FigureCanvasAgg(page).get_renderer()  # the closed figure has no canvas left

    # The underwater curve is the statistics' drawdown: the net value rebased on the first day.
    net_value = result.cumulative_return
    underwater = axes["Underwater Curve (net value below its running peak)"].lines[0]
    np.testing.assert_allclose(underwater.get_ydata(), net_value - net_value.cummax(), atol=1e-15)

    # Every yearly bar label stays inside its panel.
    yearly = axes["Yearly Returns"]
    box = yearly.get_window_extent(renderer)
    for label in yearly.texts:
        extent = label.get_window_extent(renderer)
        assert box.y0 <= extent.y0 and extent.y1 <= box.y1, label.get_text()

    # Traded value over half a year: several monthly rebalances in every window, so the line
    # moves a little from day to day instead of jumping on each rebalance.
    (traded,) = [ax for title, ax in axes.items() if title.startswith("Traded Value")]
    line = pd.Series(traded.lines[0].get_ydata(), index=result.daily_return.index)
    np.testing.assert_allclose(
        line, result.analysis.traded_value.rolling(126).mean() / 1e6, rtol=1e-12, equal_nan=True
    )
    assert "126-day mean" in traded.get_title()
    assert (line.diff().abs() / line.median()).max() < 0.15

    (beta,) = [ax for title, ax in axes.items() if title.startswith("Rolling Beta to 000852")]
    np.testing.assert_allclose(
        beta.lines[0].get_ydata(), result.analysis.rolling_beta_126, equal_nan=True, rtol=1e-12
    )
    holdings = axes["Holdings after Each Day's Trades"]
    np.testing.assert_array_equal(
        holdings.lines[0].get_ydata(), result.analysis.holdings["holdings_count"]
    )

    # The excess panel's two axes share their zero line.
    excess = test_charts.axes_by_title(performance)["Excess Return & Drawdown"]
    (twin,) = [
        ax
        for ax in performance.axes
        if ax is not excess and ax.get_position().bounds == excess.get_position().bounds
    ]
    heights = [a.transData.transform((0.0, 0.0))[1] for a in (excess, twin)]
    assert heights[0] == pytest.approx(heights[1], abs=0.5)
