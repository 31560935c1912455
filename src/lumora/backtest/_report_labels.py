"""The words, units and definitions of every figure the HTML reports show.

One table serves the factor, strategy and screen reports: a figure's key (as the result
holds it: ``result.stats["max_dd"]``, a column of ``benchmark_summary``) maps to the words
it is shown under, the unit its value is in, and a one-line definition. A key that means
different things in different tables (the statistics' ``annual_return`` is in percentage
points of the net value's gain per year, a group's ``annual_return`` a fraction, the mean
daily return x 252) has an entry per table in ``_SCOPED``.

Units say how the stored value is written, so that every share is shown in percent:
``PERCENT`` a fraction (0.05 is shown "5.00%"), ``POINTS`` already in percent (5.0 is
"5.00%"), ``NUMBER`` a plain ratio, ``COUNT`` a count, ``DAYS`` trading days, ``DATE`` a
YYYYMMDD date, ``MONEY`` yuan, ``SHARES`` shares, ``TEXT`` as it is.
"""

from __future__ import annotations

import math
import re
from collections.abc import Mapping
from dataclasses import dataclass, field, replace
from typing import Any

import pandas as pd

__all__ = ["Label", "format_value", "horizon_family", "label", "labelled"]

PERCENT = "percent"
POINTS = "percentage points"
NUMBER = "number"
COUNT = "count"
DAYS = "trading days"
DATE = "date"
MONEY = "yuan"
SHARES = "shares"
TEXT = "text"

_MISSING = "--"


@dataclass(frozen=True)
class Label:
    """How one figure is shown: ``words`` (the label), ``unit`` (how the stored value is
    written, see the module's notes), ``note`` (its definition), ``digits`` (decimals), and
    ``values`` (words for particular values, such as None or a flag)."""

    words: str
    unit: str = NUMBER
    note: str = ""
    digits: int | None = None
    values: Mapping[Any, str] = field(default_factory=dict)


def _days_note(what: str) -> str:
    return f"{what}; the year has 252 trading days."


_NET_VALUE = "the net value is 1 + the running sum of the daily returns (fixed capital)"

# Keys that mean one thing wherever they appear.
_LABELS: dict[str, Label] = {
    # ---------------------------------------------------------------- request parameters
    "factor": Label("Factor", TEXT, "The request's name: its plot_filename, or the job's name."),
    "strategy": Label(
        "Strategy", TEXT, "The request's name: its plot_filename, or the job's name."
    ),
    "start_date": Label("Start date", DATE, "First date of the backtest window."),
    "end_date": Label("End date", DATE, "Last date of the backtest window."),
    "group_num": Label(
        "Groups", COUNT, "Equal-count groups the ranked stocks are sorted into each day."
    ),
    "ascending": Label(
        "Sort order",
        TEXT,
        "Which end of the factor the highest group number holds.",
        values={False: "larger value, higher group", True: "smaller value, higher group"},
    ),
    "benchmark": Label(
        "Benchmark",
        TEXT,
        "The index the excess figures are measured against.",
        values={None: "000300, 000905 and 000852"},
    ),
    "universe": Label(
        "Universe",
        TEXT,
        "The stocks ranked: the whole market or an index's members.",
        values={None: "whole market"},
    ),
    "rolling_window": Label(
        "Smoothing window",
        DAYS,
        "Rolling mean over this many trading days of the factor (of the weights, in a "
        "strategy) before trading; 0 (and 1, for weights) means none.",
    ),
    "total_money": Label(
        "Capital", MONEY, "The fixed capital traded every day (each group's, in a factor backtest)."
    ),
    "fee": Label(
        "Commission rate", PERCENT, "Charged on the value of every buy and sell.", digits=3
    ),
    "rule_fee": Label("Stamp duty rate", PERCENT, "Charged on the value of every sell.", digits=3),
    "lot_size": Label(
        "Lot size", SHARES, "Every order is a whole number of lots of this many shares."
    ),
    "adjusted_ic": Label(
        "Rank IC opens",
        TEXT,
        "The opens the one-day Rank IC's forward returns run between.",
        values={
            False: "as traded (a dividend or split reads as a loss)",
            True: "adjusted for splits and dividends",
        },
    ),
    # ------------------------------------------------------ statistics (result.stats)
    "long_sharp": Label(
        "Sharpe ratio", NUMBER, "Mean daily return over its standard deviation, x sqrt 252."
    ),
    "max_dd": Label(
        "Max drawdown",
        PERCENT,
        "Deepest fall of the net value below its running peak, in units of the capital, shown "
        f"as a positive share; {_NET_VALUE}.",
    ),
    "benchmark_sharp": Label(
        "Benchmark Sharpe ratio",
        NUMBER,
        "The benchmark's mean daily return over its standard deviation, x sqrt 252.",
    ),
    "extra_annual_return": Label(
        "Excess annual return",
        POINTS,
        _days_note(
            "The summed daily excess returns (strategy minus benchmark) over the years of the window"
        ),
    ),
    "extra_sharp": Label(
        "Excess Sharpe ratio",
        NUMBER,
        "Mean daily excess return over its standard deviation, x sqrt 252.",
    ),
    "extra_max_dd": Label(
        "Excess max drawdown",
        PERCENT,
        "Deepest fall of the summed excess returns below their running peak, shown as a positive share.",
    ),
    "return_corr": Label(
        "Correlation with the benchmark",
        NUMBER,
        "Pearson correlation of the daily returns with the benchmark's.",
    ),
    "win_rate": Label("Days up", PERCENT, "Share of the days with a return above 0."),
    "excess_win_rate": Label(
        "Days beating the benchmark", PERCENT, "Share of the days with an excess return above 0."
    ),
    "holding_count": Label(
        "Stocks weighted (mean)",
        COUNT,
        "Mean number of stocks given a weight per row of the weight table; a weight of 0 "
        "counts, NaN does not. The shares actually held are under Positions.",
        digits=1,
    ),
    "turnover": Label(
        "Weight turnover per row",
        PERCENT,
        "Mean one-way change of the weights between consecutive rows of the weight table "
        "(half the summed absolute changes).",
    ),
    # ------------------------------------------- strategy analysis (result.analysis.summary)
    "sortino": Label(
        "Sortino ratio",
        NUMBER,
        "Mean daily return x 252 over the root mean square of the negative days x sqrt 252.",
    ),
    "calmar": Label(
        "Calmar ratio", NUMBER, "Annual return over the depth of the deepest drawdown."
    ),
    "var_95_daily": Label(
        "Daily value at risk (95%)", PERCENT, "5th percentile of the daily returns."
    ),
    "cvar_95_daily": Label(
        "Daily expected shortfall (95%)",
        PERCENT,
        "Mean of the daily returns at or below their 5th percentile.",
    ),
    "best_day": Label("Best day", PERCENT, "Highest daily return."),
    "worst_day": Label("Worst day", PERCENT, "Lowest daily return."),
    "best_month": Label(
        "Best month", PERCENT, "Highest monthly return (a month's return is the sum of its days)."
    ),
    "worst_month": Label("Worst month", PERCENT, "Lowest monthly return (the sum of its days)."),
    "best_year": Label("Best year", PERCENT, "Highest calendar-year return (the sum of its days)."),
    "worst_year": Label(
        "Worst year", PERCENT, "Lowest calendar-year return (the sum of its days)."
    ),
    "traded_value_turnover_annual": Label(
        "Traded value per year (x capital)",
        NUMBER,
        "Value bought plus value sold per year, over the capital; it counts the daily re-sizing "
        "of the fixed-capital rule, which the weight turnover does not see.",
    ),
    "annual_volatility": Label(
        "Annual volatility", PERCENT, "Sample standard deviation of the daily returns x sqrt 252."
    ),
    "cagr": Label(
        "Compound annual growth rate",
        PERCENT,
        "The daily returns compounded, as if gains were reinvested: "
        "(product of (1 + daily return)) ^ (252 / days) - 1.",
    ),
    "max_drawdown_compounded": Label(
        "Max drawdown, compounded",
        PERCENT,
        "Deepest fall of the compounded net value (product of 1 + daily return) below its "
        "running peak, the peak starting at the capital (<= 0).",
    ),
    "alpha": Label(
        "Alpha (annual)",
        PERCENT,
        "Daily return not explained by the benchmark, compounded over a year: "
        "(1 + mean(return - beta x benchmark return)) ^ 252 - 1.",
    ),
    "beta": Label(
        "Beta",
        NUMBER,
        "Covariance of the daily returns with the benchmark's over the benchmark's variance.",
    ),
    "information_ratio": Label(
        "Information ratio",
        NUMBER,
        "Mean daily excess return over its sample standard deviation, x sqrt 252.",
    ),
    "tail_ratio": Label(
        "Tail ratio",
        NUMBER,
        "95th percentile of the daily returns over the absolute 5th percentile.",
    ),
    "stability": Label(
        "Stability (R squared)",
        NUMBER,
        "R squared of a straight line fitted to the running sum of log(1 + daily return) against time.",
    ),
    "omega": Label(
        "Omega ratio",
        NUMBER,
        "Sum of the daily gains over the sum of the daily losses (threshold 0).",
    ),
    # --------------------------------------------- against the benchmarks, factor figures
    "benchmark_name": Label("Benchmark", TEXT, "The index the row compares with."),
    "best_group": Label("Best group", COUNT, "The group with the highest final net value."),
    "best_group_annual_return": Label(
        "Best group annual return", PERCENT, "The best group's mean daily return x 252."
    ),
    "long_short_annual_return": Label(
        "Long-short annual return",
        PERCENT,
        "Mean daily return of the highest group number minus the lowest, x 252.",
    ),
    "excess_annual_return": Label(
        "Excess annual return",
        PERCENT,
        "Mean daily excess return (the strategy's, or the best group's, minus the benchmark's) x 252.",
    ),
    "excess_sharpe": Label(
        "Excess Sharpe ratio",
        NUMBER,
        "Mean daily excess return over its standard deviation, x sqrt 252.",
    ),
    "excess_max_dd": Label(
        "Excess max drawdown",
        PERCENT,
        "Deepest fall of the summed daily excess returns below their running peak (<= 0).",
    ),
    "rank_ic_mean": Label(
        "Rank IC mean",
        NUMBER,
        "Mean of the daily Rank IC: the Spearman correlation of the factor with the next "
        "day's open-to-open return.",
        digits=4,
    ),
    "ic_ir": Label(
        "Rank IC IR",
        NUMBER,
        "Rank IC mean over its standard deviation (daily, not annualised).",
        digits=3,
    ),
    "rank_ic_std": Label(
        "Rank IC std", NUMBER, "Sample standard deviation of the daily Rank IC.", digits=4
    ),
    "rank_ic_t_stat": Label(
        "Rank IC t-statistic",
        NUMBER,
        "t-statistic of the mean daily Rank IC; sorted by its absolute value it ranks strong "
        "factors of either sign together.",
    ),
    "rank_ic_p_value": Label(
        "Rank IC p-value", NUMBER, "Two-sided p-value of the mean daily Rank IC being 0.", digits=4
    ),
    "long_short_sharpe": Label(
        "Long-short Sharpe ratio",
        NUMBER,
        "Sharpe ratio of the highest group's daily return minus the lowest's, x sqrt 252.",
    ),
    "long_short_max_drawdown": Label(
        "Long-short max drawdown",
        PERCENT,
        "Deepest fall of the long-short net value (1 + running sum) below its running peak (<= 0).",
    ),
    "monotonicity": Label(
        "Monotonicity",
        NUMBER,
        "Spearman correlation of the group number and the group's mean daily return "
        "(1: returns rise group by group).",
    ),
    "long_short_turnover_daily": Label(
        "Long-short daily turnover",
        PERCENT,
        "Mean of the highest and lowest groups' daily turnover (the share of members that "
        "were not in the group the day before).",
    ),
    "rank_autocorrelation": Label(
        "Rank autocorrelation",
        NUMBER,
        "Mean correlation of the stocks' factor ranks with the day before.",
        digits=3,
    ),
    "coverage": Label(
        "Coverage", PERCENT, "Mean share of the stocks with a valid close that the factor ranks."
    ),
    # ------------------------------------------------------------------- a screen's table
    "job": Label("Job", TEXT, "The job's name; it links the job's own report."),
    "kind": Label("Kind", TEXT, "A factor group backtest or a strategy backtest."),
    "status": Label("Status", TEXT, "ok, empty (nothing to compute) or failed."),
    "error": Label("Error", TEXT, "The first line of a failed job's error."),
    "warning": Label("Warning", TEXT, "Why a job that ran computed nothing."),
    "store_version": Label(
        "Store version", TEXT, "The version of the prepared store the job ran on."
    ),
    "long_short_t_stat": Label(
        "Long-short t-statistic",
        NUMBER,
        "t-statistic of the mean daily long-short return (the highest group minus the lowest).",
    ),
    "long_short_p_value": Label(
        "Long-short p-value",
        NUMBER,
        "Two-sided p-value of the mean daily long-short return being 0.",
        digits=4,
    ),
    "long_short_p_bh": Label(
        "Long-short p-value, BH",
        NUMBER,
        "The long-short p-value adjusted by Benjamini-Hochberg for the factor jobs of the "
        "screen (false discovery rate).",
        digits=4,
    ),
    "long_short_p_holm": Label(
        "Long-short p-value, Holm",
        NUMBER,
        "The long-short p-value adjusted by Holm for the factor jobs of the screen "
        "(family-wise error).",
        digits=4,
    ),
    "rank_ic_abs_t_over_3": Label(
        "Rank IC |t| > 3",
        TEXT,
        "Whether the 1-day Rank IC t-statistic lies beyond +-3, a hurdle for a factor found "
        "among many (one noise factor in about 370 passes it).",
        values={True: "yes", False: "no"},
    ),
    "near_duplicate_of": Label(
        "Near-duplicate of",
        TEXT,
        "The other factor jobs whose factor values rank alike, |rank correlation| >= 0.9 "
        "(negative: a mirror image, the same find with the sign turned), strongest first.",
    ),
    "duplicate_group": Label(
        "Stands for the group",
        TEXT,
        "The job standing for this job's near-duplicates (joined through them): the one with "
        "the largest |Rank IC t-statistic|; the job itself when it has none. One row per find: "
        "the rows where it is the job's own name.",
    ),
    "other_job": Label("Other job", TEXT, "The job compared with."),
    "factor_correlation": Label(
        "Rank correlation of the factors",
        NUMBER,
        "Mean over dates of the cross-sectional Spearman correlation of the two factors' "
        "values, on the stocks both rank.",
        digits=2,
    ),
    "long_short_correlation": Label(
        "Correlation of the long-short returns",
        NUMBER,
        "Pearson correlation of the daily long-short returns, on the dates both traded.",
        digits=2,
    ),
    # ----------------------------------------------------------------------- drawdowns
    "peak": Label("Peak", DATE, "The last date at the peak.", values={None: "first day"}),
    "trough": Label("Trough", DATE, "The lowest date of the drawdown."),
    "recovery": Label(
        "Recovery", DATE, "The first date back at the peak.", values={None: "not yet"}
    ),
    "depth": Label(
        "Depth",
        PERCENT,
        f"Fall from the peak to the trough, in units of the capital; {_NET_VALUE}.",
    ),
    # ----------------------------------------------------------------------- positions
    "holdings_count": Label(
        "Stocks held", COUNT, "Stocks with shares after the day's trades.", digits=1
    ),
    "top10_share": Label(
        "Top-10 share", PERCENT, "Value of the ten largest holdings over the value held."
    ),
    "herfindahl": Label(
        "Herfindahl index",
        NUMBER,
        "Sum of the squared shares of the value held; 1 / it is the effective number of holdings.",
        digits=4,
    ),
    "gross_exposure": Label("Gross exposure", PERCENT, "Value held at the close over the capital."),
    "mean_weight": Label(
        "Mean weight",
        PERCENT,
        "Mean value held over the capital across the trade days (0 on days not held).",
    ),
    "max_weight": Label("Largest weight", PERCENT, "Largest value held over the capital on a day."),
    "days_held": Label("Days held", DAYS, "Trade days the stock was held."),
    "stock": Label("Stock", TEXT, "The stock's code."),
    "industry": Label("Industry", TEXT, "Code of the market's industry table; unclassified: none."),
    "rolling_beta_126": Label(
        "Rolling beta, 126 days", NUMBER, "Beta to the benchmark over the last 126 trading days."
    ),
    "rolling_sharpe_126": Label(
        "Rolling Sharpe ratio, 126 days",
        NUMBER,
        "Sharpe ratio over the last 126 trading days, annualised.",
    ),
    "rolling_volatility_126": Label(
        "Rolling volatility, 126 days",
        PERCENT,
        "Volatility over the last 126 trading days, annualised.",
    ),
    "year": Label("Year", TEXT),
}

# Keys whose meaning depends on the table they are in: (table, key).
_SCOPED: dict[tuple[str, str], Label] = {
    ("stats", "annual_return"): Label(
        "Annual return",
        POINTS,
        _days_note(f"Gain of the net value over the window divided by its years; {_NET_VALUE}"),
    ),
    ("stats", "benchmark_annual_return"): Label(
        "Benchmark annual return",
        POINTS,
        _days_note("Rise of the benchmark's index level over the window divided by its years"),
    ),
    ("benchmarks", "benchmark_annual_return"): Label(
        "Benchmark annual return", PERCENT, "The benchmark's mean daily return x 252."
    ),
    ("screen", "annual_return"): Label(
        "Annual return",
        POINTS,
        "A strategy's annual return of its statistics (gain of the net value per year).",
    ),
    ("screen", "benchmark_annual_return"): Label(
        "Benchmark annual return",
        POINTS,
        "A factor job's: the benchmark's mean daily return x 252; a strategy job's: the rise "
        "of the index level per year, as in its statistics.",
    ),
    # A factor job's excess figures are its best group's (a strategy's are "extra_" keys).
    ("screen", "excess_annual_return"): Label(
        "Best group excess annual return",
        PERCENT,
        "A factor job's best group: mean daily excess return over the benchmark x 252.",
    ),
    ("screen", "excess_sharpe"): Label(
        "Best group excess Sharpe ratio",
        NUMBER,
        "A factor job's best group: mean daily excess return over its standard deviation, x sqrt 252.",
    ),
    ("screen", "excess_max_dd"): Label(
        "Best group excess max drawdown",
        PERCENT,
        "A factor job's best group: deepest fall of the summed daily excess returns below their running peak (<= 0).",
    ),
    ("strategy", "max_drawdown"): Label(
        "Max drawdown",
        PERCENT,
        f"Deepest fall of the net value below its running peak, in units of the capital (<= 0); {_NET_VALUE}.",
    ),
    ("strategy", "skew"): Label("Skewness of the daily returns", NUMBER, "Population moment."),
    ("strategy", "kurtosis"): Label(
        "Excess kurtosis of the daily returns", NUMBER, "Population moment."
    ),
    ("groups", "group"): Label(
        "Group",
        TEXT,
        "Group number: 1 holds the smallest factor values (the largest with the sort order reversed).",
        values={"top_minus_bottom": "Top minus bottom"},
    ),
    ("groups", "annual_return"): Label(
        "Annual return", PERCENT, "The group's mean daily return x 252."
    ),
    ("groups", "sharpe"): Label(
        "Sharpe ratio", NUMBER, "Mean daily return over its standard deviation, x sqrt 252."
    ),
    ("groups", "max_drawdown"): Label(
        "Max drawdown",
        PERCENT,
        "Deepest fall of the group's net value (1 + running sum) below its running peak, in units of the capital (<= 0).",
    ),
    ("groups", "turnover_daily"): Label(
        "Daily turnover",
        PERCENT,
        "Mean share of the group's members that were not in it the day before.",
    ),
    # The IC summary: words follow the measure's name ("Rank IC mean", "IC mean").
    ("ic_summary", "measure"): Label(
        "Measure", TEXT, "Rank IC (Spearman) or IC (Pearson): the report gives each a table."
    ),
    ("ic_summary", "horizon_days"): Label(
        "Horizon", DAYS, "Trading days from the open after the date to the open h days later."
    ),
    ("ic_summary", "mean"): Label("mean", NUMBER, "Mean of the daily values.", digits=4),
    ("ic_summary", "std"): Label(
        "std", NUMBER, "Sample standard deviation of the daily values.", digits=4
    ),
    ("ic_summary", "ir"): Label(
        "IR", NUMBER, "Mean over standard deviation (daily, not annualised).", digits=3
    ),
    ("ic_summary", "t_stat"): Label("t-statistic", NUMBER, "t-statistic of the mean."),
    ("ic_summary", "p_value"): Label(
        "p-value", NUMBER, "Two-sided p-value of the mean being 0.", digits=4
    ),
    ("ic_summary", "skew"): Label("skewness", NUMBER, "Population moment of the daily values."),
    ("ic_summary", "kurtosis"): Label(
        "excess kurtosis", NUMBER, "Population moment of the daily values."
    ),
    ("ic_summary", "share_positive"): Label(
        "above 0", PERCENT, "Share of the days with a value above 0."
    ),
    ("ic_summary", "days"): Label("days", COUNT, "Dates with a value."),
    ("correlation", "job"): Label("Job", TEXT, "The job's name."),
    ("drawdowns", "days"): Label(
        "Length (trading days)",
        DAYS,
        "Trading days from the peak to the recovery (to the last date while still under water).",
    ),
}

# The two correlations of the IC summary, by its ``measure``.
MEASURES: dict[str, tuple[str, str]] = {
    "rank_ic": (
        "Rank IC",
        "Spearman correlation of the factor's ranks with the forward returns' ranks",
    ),
    "ic": ("IC", "Pearson correlation of the factor with the forward returns"),
}


# A screen's figures by horizon: "<measure>_<figure>_<h>d" (rank_ic_t_stat_5d).
_BY_HORIZON = re.compile(r"(rank_ic|ic)_(mean|t_stat|p_value|p_bh|p_holm)_(\d+)d")
_HORIZON_FIGURES: dict[str, tuple[str, str, int | None]] = {
    "mean": ("mean", "Mean of the daily values", 4),
    "t_stat": ("t-statistic", "t-statistic of the mean", None),
    "p_value": ("p-value", "Two-sided p-value of the mean being 0", 4),
    "p_bh": (
        "p-value, BH",
        (
            "The p-value adjusted by Benjamini-Hochberg for the factor jobs of the screen at "
            "this horizon (false discovery rate)"
        ),
        4,
    ),
    "p_holm": (
        "p-value, Holm",
        (
            "The p-value adjusted by Holm for the factor jobs of the screen at this horizon "
            "(family-wise error)"
        ),
        4,
    ),
}


def horizon_family(key: str) -> tuple[str, Label] | None:
    """For a screen's figure by horizon ("rank_ic_p_bh_5d"), the key of its family
    ("rank_ic_p_bh_<h>d") and the family's label, so that a report defines it once."""
    found = _BY_HORIZON.fullmatch(key)
    if found is None:
        return None
    measure, figure, _ = found.groups()
    words, definition = MEASURES[measure]
    figure_words, note, digits = _HORIZON_FIGURES[figure]
    return f"{measure}_{figure}_<h>d", Label(
        f"{words} {figure_words}, h days",
        NUMBER,
        f"{note}, per date the {definition}, forward returns over h trading days (a column "
        "for each of 1, 5, 10 and 20).",
        digits,
    )


def _by_horizon(key: str) -> Label | None:
    family = horizon_family(key)
    if family is None:
        return None
    days = key.rsplit("_", 1)[1][:-1]
    shown = family[1]
    return replace(shown, words=shown.words.replace(", h days", f", {days} days"))


def label(key: str, table: str = "") -> Label:
    """The label of ``key`` in ``table``. In a screen's table a column ending in ``_pct`` is
    the figure without the suffix, in percent, and the IC figures by horizon are named
    "<measure>_<figure>_<h>d"; a key without an entry is shown in words made from it
    (underscores as spaces), so the report never fails on a figure added later."""
    found = _SCOPED.get((table, key)) or _LABELS.get(key)
    if found is not None:
        return found
    if table == "screen" and (by_horizon := _by_horizon(key)) is not None:
        return by_horizon
    if table == "screen" and key.endswith("_pct"):
        base = label(key[: -len("_pct")], table)
        if base.unit in (PERCENT, POINTS):
            return replace(base, unit=POINTS, note=(base.note + " In percent here.").strip())
    words = key.replace("_", " ").strip()
    return Label(words[:1].upper() + words[1:], NUMBER)


def labelled(key: str, table: str = "") -> bool:
    """Whether ``key`` has words of its own in ``table`` (not made from the key)."""
    if (table, key) in _SCOPED or key in _LABELS:
        return True
    if table == "screen" and _by_horizon(key) is not None:
        return True
    return table == "screen" and key.endswith("_pct") and labelled(key[: -len("_pct")], table)


def _missing(value: Any) -> bool:
    """None, NaN, NaT or pd.NA (a scalar: lists are formatted item by item)."""
    missing = pd.isna(value)
    return missing if isinstance(missing, bool) else False


def _date(value: Any) -> str:
    text = str(value)
    if len(text) == 8 and text.isdigit():
        return f"{text[:4]}-{text[4:6]}-{text[6:]}"
    return text


def format_value(value: Any, shown: Label) -> str:
    """``value`` as text in the label's unit: shares in percent with "%", counts whole (or
    with the label's decimals), dates as YYYY-MM-DD, missing values "--"."""
    if getattr(value, "ndim", None) == 0 and hasattr(value, "item"):
        value = value.item()  # a numpy scalar: its Python value
    for given, words in shown.values.items():
        if value is given or (type(value) is type(given) and value == given):
            return words
    if isinstance(value, list | tuple):
        return ", ".join(format_value(v, shown) for v in value)
    if _missing(value):
        return _MISSING
    if shown.unit == DATE:
        return _date(value)
    if isinstance(value, bool) or not isinstance(value, int | float) or shown.unit == TEXT:
        return str(value)
    number = float(value)
    if math.isinf(number):
        return "inf" if number > 0 else "-inf"
    if shown.unit in (PERCENT, POINTS):
        scaled = number * 100.0 if shown.unit == PERCENT else number
        return f"{scaled:,.{2 if shown.digits is None else shown.digits}f}%"
    if shown.unit in (COUNT, DAYS, SHARES, MONEY):
        digits = shown.digits or 0
        text = f"{number:,.{digits}f}"
        return text + " yuan" if shown.unit == MONEY else text
    digits = 2 if shown.digits is None else shown.digits
    return f"{number:,.{digits}f}"
