"""The factor analysis of a group backtest against the open factor-analysis library
(alphalens-reloaded) and plain scipy/pandas on the same inputs.

Where the definitions match the figures agree within 1e-9:

- Rank IC by horizon: alphalens' ``factor_information_coefficient`` (Spearman per date) on
  the forward returns of our convention, handed to it as ready-made forward-return columns:
  from the open after a date to the open h days later, the opens as traded for h = 1 and
  adjusted for splits and dividends for longer horizons (alphalens itself would take
  ``prices.pct_change(h).shift(-h)`` of whatever prices it is given, so it is given these
  returns directly).
- Group turnover: alphalens' ``quantile_turnover`` on our groups (new members / members).
  alphalens cuts quantiles with ``pd.qcut``; ours are equal-count groups whose first groups
  take the remainder, so the model's groups follow our rule and alphalens only counts.
- Rank autocorrelation: alphalens' ``factor_rank_autocorrelation`` (average ranks of the
  ranked stocks per date, Pearson with the date before over the stocks ranked on both).
- IC summary: the definitions of alphalens' information table: sample std, mean / std,
  ``scipy.stats.ttest_1samp``, ``scipy.stats.skew`` and ``kurtosis`` (population moments,
  excess kurtosis).

Where they differ, the model follows ours and says so: drawdowns are falls of the additive
net value (1 + running sum of daily returns) in units of the capital, where the open
portfolio libraries divide the fall of a compounded net value by its peak.
"""

from __future__ import annotations

import functools
import warnings
from typing import Any

import numpy as np
import pandas as pd
import pytest
from scipy import stats

from lumora.backtest import BacktestData, BacktestService
from lumora.sandbox import generate_market

with warnings.catch_warnings():
    warnings.simplefilter("ignore")  # the peer's own import-time deprecations are not ours
    alphalens = pytest.importorskip("alphalens")
    from alphalens import performance as al_perf

TOL = {"rtol": 1e-9, "atol": 1e-12}
HORIZONS = (1, 5, 10, 20)
N_STOCKS, N_DAYS = 70, 160


@functools.cache
def market(seed: int) -> BacktestData:
    return BacktestData(data=generate_market(N_STOCKS, N_DAYS, seed=seed).dataset_tables())


def persistent_factor(data: BacktestData, seed: int) -> pd.DataFrame:
    """A continuous factor that changes slowly (so turnover and autocorrelation mean
    something), with a few gaps."""
    close = data.data["close_price"]
    rng = np.random.default_rng(seed)
    values = np.empty(close.shape)
    values[0] = rng.normal(size=close.shape[1])
    for t in range(1, len(values)):
        values[t] = 0.9 * values[t - 1] + 0.45 * rng.normal(size=close.shape[1])
    values[rng.random(values.shape) < 0.03] = np.nan
    return pd.DataFrame(values, index=close.index, columns=close.columns)


# ---------------------------------------------------------------------------- the model
def model_groups(usable: pd.DataFrame, groups: int, ascending: bool) -> pd.DataFrame:
    """Equal-count groups (1-based) of the usable stocks per date, larger factor in a larger
    group unless ascending; the first groups take the remainder."""
    out = pd.DataFrame(np.nan, index=usable.index, columns=usable.columns)
    for date, row in usable.iterrows():
        ranked = row.dropna()
        keys = -ranked if ascending else ranked
        order = keys.sort_values(kind="stable").index
        base, extra = divmod(len(order), groups)
        sizes = [base + (g < extra) for g in range(groups)]
        labels = np.repeat(np.arange(1, groups + 1), sizes)
        out.loc[date, order] = labels
    return out


def adjusted_open(window: dict[str, Any]) -> pd.DataFrame:
    """Opens of a holder who keeps split shares and reinvests dividends at the close."""
    close = window["close_price"]
    valid = close.gt(0) & close.notna()
    growth = (
        window["rq_get_split"].fillna(1.0) + window["rq_get_dividend"].fillna(0.0) / close
    ).where(valid, 1.0)
    first = valid & (valid.cumsum() == 1)
    growth = growth.mask(first, 1.0)
    level = growth.cumprod().where(valid.cummax())
    return window["open_price"] * level


def forward_returns(window: dict[str, Any], opens: pd.DataFrame) -> dict[int, pd.DataFrame]:
    """Forward returns from the window's tables; `opens` are the opens given for horizon 1."""
    adjusted = adjusted_open(window)
    out = {1: (opens.shift(-2) / opens.shift(-1) - 1.0).reindex(window["open_price"].index)}
    for h in HORIZONS[1:]:
        out[h] = adjusted.shift(-(1 + h)) / adjusted.shift(-1) - 1.0
    return out


def long_frame(columns: dict[str, pd.DataFrame]) -> pd.DataFrame:
    """alphalens' layout: (date, asset) rows, one column per table, complete rows only."""
    stacked = pd.concat({name: t.stack(future_stack=True) for name, t in columns.items()}, axis=1)
    stacked = stacked.dropna()
    stacked.index = stacked.index.set_names(["date", "asset"])
    dates = pd.to_datetime(stacked.index.get_level_values("date"), format="%Y%m%d")
    stacked.index = pd.MultiIndex.from_arrays(
        [dates, stacked.index.get_level_values("asset")], names=["date", "asset"]
    )
    return stacked


def as_dates(series: pd.Series) -> pd.Series:
    out = series.copy()
    out.index = pd.to_datetime(out.index, format="%Y%m%d")
    return out


def additive_drawdown(daily: pd.Series) -> float:
    level = 1.0 + daily.dropna().cumsum()
    return float((level - level.cummax().clip(lower=1.0)).min())


# ---------------------------------------------------------------------------- the tests
@pytest.mark.parametrize(("seed", "groups", "ascending"), [(3, 5, False), (11, 7, True)])
def test_factor_analysis_matches_alphalens_and_scipy(
    seed: int, groups: int, ascending: bool
) -> None:
    data = market(seed)
    factor = persistent_factor(data, seed)
    dates = data.data["close_price"].index
    start, end = dates[5], dates[-5]
    result = BacktestService(None).backtest(
        factor, data, start, end, "", "f", plot=None, group_num=groups, ascending=ascending
    )
    got = result.analysis

    window = {k: v.loc[start:end] for k, v in data.data.items() if isinstance(v, pd.DataFrame)}
    valid = window["close_price_valid"].gt(0)
    usable = factor.loc[start:end].where(valid)
    # The horizon-1 Rank IC comes from the prepared ranks of the whole market, which reach
    # past the window's last date; every other figure uses the window's own opens.
    fwd_rank = forward_returns(window, data.data["open_price"])
    fwd = forward_returns(window, window["open_price"])

    # IC and Rank IC per date and horizon.
    for h in HORIZONS:
        frame = long_frame({"factor": usable, f"{h}D": fwd_rank[h]})
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)  # constant inputs give NaN
            rank = al_perf.factor_information_coefficient(frame)[f"{h}D"]
        mine = as_dates(got.rank_ic[h]).dropna()
        pd.testing.assert_series_equal(mine, rank.dropna(), check_names=False, **TOL)
        frame = long_frame({"factor": usable, f"{h}D": fwd[h]})
        pearson = frame.groupby(level="date").apply(
            lambda g, column=f"{h}D": np.corrcoef(g["factor"], g[column])[0, 1]
        )
        pd.testing.assert_series_equal(
            as_dates(got.ic[h]).dropna(), pearson.dropna(), check_names=False, **TOL
        )
    # Horizon 1 is the result's own Rank IC, bit for bit.
    assert got.rank_ic[1].dropna().equals(result.rank_ic.rename(1))

    # Summary of each measure and horizon, as alphalens' information table defines it.
    for measure, table in (("ic", got.ic), ("rank_ic", got.rank_ic)):
        for h in HORIZONS:
            series = table[h].dropna()
            row = got.ic_summary.loc[(measure, h)]
            t_stat, p_value = stats.ttest_1samp(series, 0.0)
            want = [
                series.mean(),
                series.std(),
                series.mean() / series.std(),
                t_stat,
                p_value,
                stats.skew(series),
                stats.kurtosis(series),
                (series > 0).mean(),
                len(series),
            ]
            np.testing.assert_allclose(row.to_numpy(dtype=float), want, **TOL)

    # Rank IC by month.
    rank1 = got.rank_ic[1].dropna()
    monthly = rank1.groupby(
        [rank1.index.str[:4].astype(int), rank1.index.str[4:6].astype(int)]
    ).mean()
    stacked = got.monthly_rank_ic.stack().dropna()
    np.testing.assert_allclose(stacked.to_numpy(), monthly.to_numpy(), **TOL)
    assert list(stacked.index) == list(monthly.index)

    # Turnover of every group and the rank autocorrelation.
    membership = model_groups(usable, groups, ascending)
    quantiles = long_frame({"factor": membership})["factor"]
    for g in range(1, groups + 1):
        turnover = al_perf.quantile_turnover(quantiles, g)
        pd.testing.assert_series_equal(
            as_dates(got.group_turnover[g]).dropna(), turnover.dropna(), check_names=False, **TOL
        )
    autocorr = al_perf.factor_rank_autocorrelation(long_frame({"factor": usable}))
    pd.testing.assert_series_equal(
        as_dates(got.rank_autocorrelation).dropna(), autocorr.dropna(), check_names=False, **TOL
    )

    # Coverage, monotonicity and the groups' return figures.
    coverage = usable.notna().sum(axis=1) / valid.sum(axis=1)
    np.testing.assert_allclose(got.coverage.to_numpy(), coverage.to_numpy(), **TOL)
    daily = result.group_daily_return
    means = daily.mean()
    assert got.monotonicity == pytest.approx(
        stats.spearmanr(means.index, means).statistic, rel=1e-9
    )
    legs = {**{g: daily[g] for g in daily.columns}, "top_minus_bottom": daily[groups] - daily[1]}
    for label, series in legs.items():
        clean = series.dropna()
        row = got.group_performance.loc[label]
        want = [
            clean.mean() * 252,
            clean.mean() / clean.std() * np.sqrt(252),
            additive_drawdown(clean),
        ]
        np.testing.assert_allclose(row[["annual_return", "sharpe", "max_drawdown"]], want, **TOL)
    assert (
        got.summary["long_short_sharpe"] == got.group_performance.loc["top_minus_bottom", "sharpe"]
    )


def test_depth_by_horizon_and_industry_and_the_export_match_alphalens() -> None:
    """Turnover and rank autocorrelation at every lag, the cost-free mean return by group
    with its standard error, the Rank IC by industry and the Rank IC on adjusted opens,
    each against alphalens on the same forward returns and groups; and the result's own
    factor data handed to alphalens unchanged gives the result's figures back."""
    seed, groups = 5, 6
    data = market(seed)
    factor = persistent_factor(data, seed)
    dates = data.data["close_price"].index
    start, end = dates[3], dates[-8]
    service = BacktestService(None)
    result = service.backtest(factor, data, start, end, "", "f", plot=None, group_num=groups)
    got = result.analysis

    window = {k: v.loc[start:end] for k, v in data.data.items() if isinstance(v, pd.DataFrame)}
    usable = factor.loc[start:end].where(window["close_price_valid"].gt(0))
    fwd_rank = forward_returns(window, data.data["open_price"])
    fwd = forward_returns(window, window["open_price"])
    membership = model_groups(usable, groups, ascending=False)
    quantiles = long_frame({"factor": membership})["factor"]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # one-stock industries give NaN
        for lag in HORIZONS:
            for g in range(1, groups + 1):
                turnover = al_perf.quantile_turnover(quantiles, g, period=lag)
                assert got.turnover_by_horizon.loc[g, lag] == pytest.approx(
                    turnover.mean(), rel=1e-9
                ), (g, lag)
            autocorr = al_perf.factor_rank_autocorrelation(long_frame({"factor": usable}), lag)
            pd.testing.assert_series_equal(
                as_dates(got.rank_autocorrelation_by_horizon[lag]).dropna(),
                autocorr.dropna(),
                check_names=False,
                **TOL,
            )
            # Each horizon on its own rows: the ranked stocks with that horizon's return.
            frame = long_frame(
                {f"{lag}D": fwd[lag], "factor": usable, "factor_quantile": membership}
            )
            mean, std_err = al_perf.mean_return_by_quantile(frame)
            np.testing.assert_allclose(
                got.mean_return_by_group_bps[lag], 1e4 * mean[f"{lag}D"], **TOL
            )
            np.testing.assert_allclose(
                got.mean_return_by_group_std_err_bps[lag], 1e4 * std_err[f"{lag}D"], **TOL
            )
        # Rank IC within each industry (horizon 1, as the result's rank_ic), averaged.
        grouped = long_frame(
            {"1D": fwd_rank[1], "factor": usable, "group": window["industry_matrix"]}
        )
        by_industry = al_perf.mean_information_coefficient(grouped, by_group=True)["1D"]
    mine = got.rank_ic_by_industry
    pd.testing.assert_series_equal(
        mine["rank_ic_mean"].dropna(),
        by_industry.dropna(),
        check_names=False,
        check_index_type=False,
        **TOL,
    )
    assert (mine["days"] > 0).sum() == by_industry.notna().sum() > 5

    # The Rank IC on opens adjusted for splits and dividends, against alphalens on them.
    adjusted = service.backtest(
        factor, data, start, end, "", "f", plot=None, group_num=groups, adjusted_ic=True
    )
    level_opens = adjusted_open(data.data)  # the loaded market's whole calendar
    one_day = (level_opens.shift(-2) / level_opens.shift(-1) - 1.0).loc[start:end]
    frame = long_frame({"1D": one_day.where(fwd[1].notna()), "factor": usable})
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        ic = al_perf.factor_information_coefficient(frame)["1D"]
    pd.testing.assert_series_equal(
        as_dates(adjusted.rank_ic), ic.dropna(), check_names=False, **TOL
    )
    assert adjusted.analysis.rank_ic[1].dropna().equals(adjusted.rank_ic.rename(1))
    assert adjusted.parameters["adjusted_ic"] is True
    assert not np.allclose(adjusted.rank_ic, result.rank_ic.reindex(adjusted.rank_ic.index))

    # The export, handed to alphalens as it stands.
    for lag in HORIZONS:
        exported = result.factor_data(horizons=(lag,))
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)
            rank = al_perf.factor_information_coefficient(exported)[f"{lag}D"]
            mean, std_err = al_perf.mean_return_by_quantile(exported)
        if lag > 1:  # horizon 1 is the result's rank_ic, read off the prepared ranks
            pd.testing.assert_series_equal(
                as_dates(got.rank_ic[lag]).dropna(),
                rank.dropna(),
                check_names=False,
                check_freq=False,
                **TOL,
            )
        np.testing.assert_allclose(got.mean_return_by_group_bps[lag], 1e4 * mean[f"{lag}D"], **TOL)
        np.testing.assert_allclose(
            got.mean_return_by_group_std_err_bps[lag], 1e4 * std_err[f"{lag}D"], **TOL
        )
    exported = result.factor_data()
    assert list(exported.columns) == [
        "1D",
        "5D",
        "10D",
        "20D",
        "factor",
        "group",
        "factor_quantile",
    ]
    assert exported.index.names == ["date", "asset"] and exported.index.levels[0].freq is not None
    assert exported.notna().all().all()
    membership_long = long_frame({"q": membership})["q"]
    assert (exported["factor_quantile"] == membership_long.reindex(exported.index)).all()
    np.testing.assert_allclose(
        exported["5D"], long_frame({"5D": fwd[5]})["5D"].reindex(exported.index), **TOL
    )


def test_rank_autocorrelation_past_the_sixteen_bit_ranks_matches_a_plain_model() -> None:
    """On a market of more than 32,767 usable stocks twice a factor rank passes 65,535 (the
    widest market the lagged figures read in 16 bits): the rank autocorrelation at every lag
    against average ranks (scipy) correlated over the stocks ranked on both dates, with a
    factor of heavy ties so that the ranks are averages."""
    base = generate_market(400, 30, seed=8).dataset_tables()
    copies = 110  # 44,000 stocks, some not yet listed on the first dates
    tables: dict[str, Any] = {}
    for key, table in base.items():
        if isinstance(table, pd.DataFrame):
            wide = pd.concat([table] * copies, axis=1)
            wide.columns = [f"{k + 1:06d}" for k in range(wide.shape[1])]
            tables[key] = wide
        else:
            tables[key] = table
    data = BacktestData(data=tables)
    close = tables["close_price"]
    rng = np.random.default_rng(8)
    values = np.empty(close.shape)
    values[0] = rng.normal(size=close.shape[1])
    for t in range(1, len(values)):
        values[t] = 0.8 * values[t - 1] + 0.6 * rng.normal(size=close.shape[1])
    values = np.round(values, 1)
    values[rng.random(values.shape) < 0.02] = np.nan
    factor = pd.DataFrame(values, index=close.index, columns=close.columns)
    result = BacktestService(None).backtest(
        factor, data, close.index[0], close.index[-1], "", "f", plot=None, group_num=5
    )
    got = result.analysis.rank_autocorrelation_by_horizon

    usable = factor.where(tables["close_price_valid"].gt(0)).to_numpy()
    assert (np.isfinite(usable).sum(axis=1) > 32_767).all()
    ranks = np.full(usable.shape, np.nan)
    for t, row in enumerate(usable):
        ranked = np.isfinite(row)
        ranks[t, ranked] = stats.rankdata(row[ranked])
    for lag in HORIZONS:
        want = np.full(len(ranks), np.nan)
        for t in range(lag, len(ranks)):
            both = np.isfinite(ranks[t]) & np.isfinite(ranks[t - lag])
            want[t] = np.corrcoef(ranks[t, both], ranks[t - lag, both])[0, 1]
        mine = got[lag].reindex(close.index).to_numpy()
        np.testing.assert_allclose(mine[lag:], want[lag:], **TOL)
