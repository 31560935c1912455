"""A small, deliberately plain pandas/numpy model of the factor group backtest.

It is the oracle the native group core is compared with, and the baseline of the group
benchmark. Each step is written the obvious way:

1. the factor is reindexed to the validity table, infinities become missing, and it is
   smoothed with pandas ``rolling(...).mean()`` when asked;
2. every date, the usable stocks are stable-sorted by factor and cut into equal-count groups;
3. every group becomes a uniform-weight table (1 / size on its members, NaN elsewhere);
4. each group's weight table is simulated with a per-day numpy loop of the trading rules
   (T-1 signal, whole lots, restrictions, splits, dividends, commission and stamp duty);
5. the Rank IC comes from ``scipy.stats.spearmanr``, the summary from ordinary pandas calls.

Speed is of no concern beyond keeping the benchmark baseline honest; readability is.
"""

from __future__ import annotations

import math
import warnings
from collections.abc import Iterator, Mapping
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import pandas as pd
from scipy import stats

from engine_keys import market_and_costs

TRADING_DAYS_PER_YEAR = 252
SUMMARY_COLUMNS = [
    "benchmark_name",
    "best_group",
    "best_group_annual_return",
    "long_short_annual_return",
    "benchmark_annual_return",
    "excess_annual_return",
    "excess_sharpe",
    "excess_max_dd",
    "rank_ic_mean",
    "ic_ir",
]


@dataclass
class GroupBacktest:
    group_daily_return: pd.DataFrame
    group_cumulative_return: pd.DataFrame
    rank_ic: pd.Series
    best_group: float | int
    summary: pd.DataFrame
    plot_paths: dict[str, Any] = field(default_factory=dict)

    def benchmark_summary(self) -> pd.DataFrame:
        return self.summary.copy()


# ------------------------------------------------------------------------ factor and groups
def prepare_factor(factor: pd.DataFrame, valid: pd.DataFrame, rolling_window: int) -> pd.DataFrame:
    """The factor on the validity table's dates and stocks, infinities missing, smoothed."""
    f = factor.reindex(index=valid.index, columns=valid.columns).astype(float)
    f = f.replace([np.inf, -np.inf], np.nan)
    if rolling_window > 1:
        f = f.fillna(0.0).rolling(rolling_window).mean().dropna(how="all")
        f = f.where(f != 0)
    return f


def group_labels(
    factor: pd.DataFrame, valid: pd.DataFrame, group_num: int, ascending: bool
) -> pd.DataFrame:
    """Group number (1..group_num) of every usable stock and date; 0 outside the universe."""
    f = factor.to_numpy(dtype=float)
    v = valid.reindex(index=factor.index, columns=factor.columns).to_numpy(dtype=float)
    usable = np.isfinite(f) & np.isfinite(v) & (v > 0)
    labels = np.zeros(f.shape, dtype=np.int64)
    for i in range(len(f)):
        stocks = np.flatnonzero(usable[i])
        keys = -f[i, stocks] if ascending else f[i, stocks]
        ordered = stocks[np.argsort(keys, kind="stable")]  # ties keep column order
        n = len(ordered)
        sizes = [n // group_num + (1 if g < n % group_num else 0) for g in range(group_num)]
        labels[i, ordered] = np.repeat(np.arange(1, group_num + 1), sizes)
    return pd.DataFrame(labels, index=factor.index, columns=factor.columns)


def group_weights(labels: pd.DataFrame, group: int) -> pd.DataFrame:
    """Uniform-weight table of one group: 1 / size on its members, NaN elsewhere."""
    members = labels == group
    size = members.sum(axis=1)
    weight = (1.0 / size.where(size > 0)).to_numpy()[:, None]
    return pd.DataFrame(
        np.where(members.to_numpy(), weight, np.nan), index=labels.index, columns=labels.columns
    )


# ---------------------------------------------------------------------------- simulation
def market_arrays(
    index: pd.Index, columns: pd.Index, tables: Mapping[str, pd.DataFrame]
) -> dict[str, np.ndarray]:
    """The eight market tables on (index x columns); a missing flag blocks trading."""

    def values(key: str) -> np.ndarray:
        return tables[key].reindex(index=index, columns=columns).to_numpy(dtype=float)

    def flags(key: str, missing: bool) -> np.ndarray:
        raw = values(key)
        return np.where(np.isnan(raw), missing, raw != 0)

    return {
        "can_buy": flags("can_buy_stock", missing=False),
        "cant_sell": flags("cant_sell_stock", missing=True),
        "split": values("split_factor"),
        "dividend": values("dividend_factor"),
        "close": values("close_price"),
        "prev_close": values("prev_close"),
        "buy": values("buy_price"),
        "sell": values("sell_price"),
    }


def simulate(
    weights: np.ndarray,
    m: Mapping[str, np.ndarray],
    total_money: float,
    fee: float,
    rule_fee: float,
    lot_size: int,
) -> np.ndarray:
    """Daily return of one weight table, row by row; NaN on rows whose previous row held no
    weight (the day is skipped and positions carry through it)."""
    n_days, n_stocks = weights.shape
    out = np.full(n_days, np.nan)
    position = np.zeros(n_stocks)
    for i in range(1, n_days):
        signal = weights[i - 1]
        if np.isnan(signal).all():
            continue
        prev_close = m["prev_close"][i]
        with np.errstate(invalid="ignore", divide="ignore"):
            raw = total_money * signal / (prev_close * lot_size)
        valid = np.isfinite(signal) & np.isfinite(prev_close) & (prev_close > 0)
        target = np.where(valid, np.floor(raw) * lot_size, 0.0)

        diff = target - position
        real_buy = np.where((diff > 0) & m["can_buy"][i], diff, 0.0)
        sell = np.where((diff < 0) & ~m["cant_sell"][i], -diff, 0.0)
        hold = position - sell
        position = hold + real_buy

        close = m["close"][i]
        split = np.where(np.isnan(m["split"][i]), 1.0, m["split"][i])
        dividend = np.nan_to_num(m["dividend"][i], nan=0.0)
        with np.errstate(invalid="ignore", over="ignore"):
            buy_coeff = np.nan_to_num(close - m["buy"][i] * (1.0 + fee), nan=0.0)
            hold_coeff = np.nan_to_num(split * close - prev_close, nan=0.0)
            sell_coeff = np.nan_to_num(
                split * m["sell"][i] * (1.0 - fee - rule_fee) - prev_close, nan=0.0
            )
            cash = (
                real_buy @ buy_coeff
                + hold @ hold_coeff
                + hold @ dividend
                + sell @ sell_coeff
                + sell @ dividend
            )
        out[i] = cash / total_money
    return out


def iter_group_weights(labels: pd.DataFrame, group_num: int) -> Iterator[pd.DataFrame]:
    """One group's weight table at a time, so a large run never holds all of them."""
    for g in range(1, group_num + 1):
        yield group_weights(labels, g)


# --------------------------------------------------------------------------- rank IC
def forward_returns(
    index: pd.Index,
    columns: pd.Index,
    forward_return_rank_cache: pd.DataFrame | None,
    open_price: pd.DataFrame | None,
) -> pd.DataFrame | None:
    if forward_return_rank_cache is not None:
        fwd = forward_return_rank_cache.astype(float)
    elif open_price is not None:
        opens = open_price.astype(float)
        fwd = opens.shift(-2) / opens.shift(-1) - 1.0  # the open table's own calendar
    else:
        return None
    return fwd.reindex(index=index, columns=columns).replace([np.inf, -np.inf], np.nan)


def rank_ic(factor: pd.DataFrame, labels: pd.DataFrame, forward: pd.DataFrame | None) -> pd.Series:
    values: dict[str, float] = {}
    if forward is not None:
        f, r = factor.to_numpy(dtype=float), forward.to_numpy(dtype=float)
        in_universe = labels.to_numpy() > 0
        for i, date in enumerate(factor.index):
            pick = in_universe[i] & np.isfinite(r[i])
            if pick.sum() < 2:
                continue
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")  # a constant side gives NaN with a warning
                ic = stats.spearmanr(f[i, pick], r[i, pick]).statistic
            if np.isfinite(ic):
                values[date] = float(ic)
    return pd.Series(values, dtype=float, name="rank_ic").rename_axis(factor.index.name)


# --------------------------------------------------------------------------- summary
def safe_sharpe(returns: pd.Series) -> float:
    values = np.asarray(returns, dtype=float)
    if len(values) < 2:
        return math.nan
    mean, sd = float(values.mean()), float(values.std(ddof=1))
    if not (math.isfinite(mean) and math.isfinite(sd)) or sd <= 1e-12 * max(1.0, abs(mean)):
        return math.nan
    return mean / sd * math.sqrt(TRADING_DAYS_PER_YEAR)


def selected_benchmarks(benchmark_dict: Mapping[str, pd.Series] | None, names: Any) -> list[str]:
    if not benchmark_dict:
        return []
    if names is None or names == "all":
        wanted = list(benchmark_dict)
    elif isinstance(names, str):
        wanted = [names]
    else:
        wanted = [str(name) for name in names]
    return [
        name for i, name in enumerate(wanted) if name in benchmark_dict and name not in wanted[:i]
    ]


def best_group(cumulative: pd.DataFrame) -> float | int:
    final = cumulative.iloc[-1].dropna() if len(cumulative) else pd.Series(dtype=float)
    if final.empty:
        return math.nan
    return int(final.idxmax())  # first group on a tie


def summary(
    daily: pd.DataFrame,
    best: float,
    ic: pd.Series,
    benchmark_dict: Mapping[str, pd.Series] | None,
    names: Any,
) -> pd.DataFrame:
    if isinstance(best, float):
        return pd.DataFrame()
    best_daily = daily[best]
    long_short = daily[daily.columns[-1]] - daily[daily.columns[0]]
    ic_sd = ic.std(ddof=1) if len(ic) > 1 else math.nan
    rows = []
    for name in selected_benchmarks(benchmark_dict, names):
        bench = benchmark_dict[name].astype(float).reindex(daily.index)
        both = np.isfinite(bench) & np.isfinite(best_daily)
        excess = best_daily[both] - bench[both]
        cumulative = excess.cumsum()
        rows.append(
            {
                "benchmark_name": name,
                "best_group": best,
                "best_group_annual_return": best_daily.mean() * TRADING_DAYS_PER_YEAR,
                "long_short_annual_return": long_short.mean() * TRADING_DAYS_PER_YEAR,
                "benchmark_annual_return": bench[both].mean() * TRADING_DAYS_PER_YEAR,
                "excess_annual_return": excess.mean() * TRADING_DAYS_PER_YEAR,
                "excess_sharpe": safe_sharpe(excess),
                "excess_max_dd": (cumulative - cumulative.cummax()).min(),
                "rank_ic_mean": ic.mean() if len(ic) else math.nan,
                "ic_ir": ic.mean() / ic_sd if ic_sd > 0 else math.nan,
            }
        )
    return pd.DataFrame(rows, columns=SUMMARY_COLUMNS) if rows else pd.DataFrame()


# ------------------------------------------------------------------------------ entry
def run_alpha_vwap_backtest_core(
    *,
    factor_matrix: pd.DataFrame,
    close_price_valid: pd.DataFrame,
    industry_matrix: pd.DataFrame | None = None,
    benchmark_dict: Mapping[str, pd.Series] | None = None,
    forward_return_rank_cache: pd.DataFrame | None = None,
    open_price: pd.DataFrame | None = None,
    benchmark_names: Any = "000852",
    rolling_window: int = 0,
    ascending: bool = False,
    group_num: int = 20,
    **keywords: Any,
) -> GroupBacktest:
    """Called as the core is: the market tables and the costs by name; chart keywords are
    accepted and ignored."""
    del industry_matrix  # the groups are not industry-neutralised
    tables, costs = market_and_costs((), keywords)
    group_num, rolling_window = int(group_num), int(rolling_window)
    total_money, fee, rule_fee = (float(costs[k]) for k in ("total_money", "fee", "rule_fee"))
    lot_size = int(costs["lot_size"])
    factor = prepare_factor(factor_matrix, close_price_valid, rolling_window)
    labels = group_labels(factor, close_price_valid, group_num, bool(ascending))

    market = market_arrays(factor.index, factor.columns, tables)
    columns = pd.Index(range(1, group_num + 1), name="group")
    daily = pd.DataFrame(np.nan, index=factor.index, columns=columns)
    for g, weights in enumerate(iter_group_weights(labels, group_num), start=1):
        daily[g] = simulate(weights.to_numpy(), market, total_money, fee, rule_fee, lot_size)
    daily = daily.dropna(how="all")
    # a day without a trade adds nothing; before a group's first trade it has no net value
    cumulative = (1.0 + daily.fillna(0.0).cumsum()).where(daily.notna().cummax())

    forward = forward_returns(factor.index, factor.columns, forward_return_rank_cache, open_price)
    ic = rank_ic(factor, labels, forward)
    best = best_group(cumulative)
    return GroupBacktest(
        daily, cumulative, ic, best, summary(daily, best, ic, benchmark_dict, benchmark_names)
    )
