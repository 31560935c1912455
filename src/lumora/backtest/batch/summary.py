"""The batch's result and its summary: one row per job, in one unit per column."""

from __future__ import annotations

import math
import os
from collections.abc import Mapping
from dataclasses import dataclass, field
from typing import Any

import pandas as pd

from lumora.backtest._report_labels import PERCENT, POINTS, TEXT, label
from lumora.backtest.batch.correlation import long_short_daily, near_duplicates
from lumora.backtest.batch.jobs import Job, JobFailure
from lumora.logger import logger


@dataclass(eq=False)
class BatchResult:
    """``results`` maps each job's name, in the jobs' order, to the request's result or a
    ``JobFailure``; ``summary`` has one row per job, indexed by name. ``store_version`` is
    the version of the prepared store a ``MappedData`` batch ran on (None otherwise, or
    when workers elsewhere had none to report when it started).

    ``factor_correlation``: job x job over the factor jobs that finished, the mean over
    dates of the cross-sectional rank correlation of their factor values;
    ``long_short_correlation``: the correlation of their daily long-short returns (see
    ``lumora.backtest.batch.correlation``)."""

    results: dict[str, Any]
    summary: pd.DataFrame
    store_version: str | None = None
    factor_correlation: pd.DataFrame = field(default_factory=pd.DataFrame)
    long_short_correlation: pd.DataFrame = field(default_factory=pd.DataFrame)
    failed: dict[str, JobFailure] = field(init=False)

    def __post_init__(self) -> None:
        self.failed = {k: v for k, v in self.results.items() if isinstance(v, JobFailure)}

    def __repr__(self) -> str:
        return f"BatchResult({len(self.results)} jobs, {len(self.failed)} failed)"

    def to_html(self, path: str | os.PathLike[str], *, job_reports: bool = True) -> str:
        """Write the screen as one self-contained HTML file at ``path``: the summary as a
        table that sorts by any column (click its heading). With ``job_reports`` each
        finished job's own report (``result.to_html``) is written in ``<name>_reports/``
        beside it and its row links there. Returns the path."""
        from lumora.backtest.report import batch_html, write_report

        return write_report(batch_html(self, path, job_reports=job_reports), path)


# Summary columns, one per figure, in the unit the reports show the figure in (the label
# table's, by the table the figure comes from): every share of capital is in percent, named
# "_pct" (a fraction times 100, a figure already in percentage points as it is: the strategy
# statistics give annual returns in points and drawdowns, win rates and turnover as
# fractions; the factor figures are all fractions); text as it is; Sharpe ratios, IC
# figures, group numbers and counts are plain numbers. The screen's report reads a "_pct"
# column back as the figure in percent, so the two agree by construction.
_PCT = 100.0


def _columns(table: str, *keys: str) -> tuple[tuple[str, str, float | None], ...]:
    """(the figure's key, the column, the factor taking it to the column's unit) per key."""
    columns: list[tuple[str, str, float | None]] = []
    for key in keys:
        unit = label(key, table).unit
        if unit in (PERCENT, POINTS):
            columns.append((key, f"{key}_pct", _PCT if unit == PERCENT else 1.0))
        else:
            columns.append((key, key, None if unit == TEXT else 1.0))
    return tuple(columns)


# The primary benchmark's row of a factor result's benchmark summary.
_FACTOR_COLUMNS = _columns(
    "benchmarks",
    "benchmark_name",
    "best_group_annual_return",
    "long_short_annual_return",
    "rank_ic_mean",
    "ic_ir",
    "benchmark_annual_return",
    "excess_annual_return",
    "excess_sharpe",
    "excess_max_dd",
)
# Figures of the factor analysis (``result.analysis.summary``): the t-statistic does not
# bury strongly negative factors the way ``ic_ir`` sorts them (sort by its absolute value).
_FACTOR_ANALYSIS_COLUMNS = _columns(
    "factor",
    "rank_ic_t_stat",
    "rank_ic_std",
    "long_short_sharpe",
    "long_short_max_drawdown",
    "monotonicity",
    "long_short_turnover_daily",
    "coverage",
)
# The IC summary of the factor analysis at every horizon, per measure: "<measure>_<figure>_<h>d".
# The Rank IC p-values are also adjusted for the number of factor jobs in the screen, each
# horizon on its own (its factor jobs with a p-value are the family): "_p_bh_" by
# Benjamini-Hochberg (false discovery rate), "_p_holm_" by Holm (family-wise error).
HORIZONS = (1, 5, 10, 20)
_IC_FIGURES = ("mean", "t_stat", "p_value")
_ADJUSTED = {"p_bh": "bh", "p_holm": "holm"}
_ADJUSTED_MEASURES = ("rank_ic",)
# |t| of the 1-day Rank IC above this is flagged: a hurdle for a factor found among many.
T_HURDLE = 3.0
_FLAG = "rank_ic_abs_t_over_3"
# The strategy statistics (``result.stats``).
_STRATEGY_COLUMNS = _columns(
    "stats",
    "annual_return",
    "long_sharp",
    "max_dd",
    "benchmark_annual_return",
    "benchmark_sharp",
    "extra_annual_return",
    "extra_sharp",
    "extra_max_dd",
    "return_corr",
    "win_rate",
    "excess_win_rate",
    "holding_count",
    "turnover",
)


def _put(
    row: dict[str, Any], figures: Any, columns: tuple[tuple[str, str, float | None], ...]
) -> None:
    for key, column, scale in columns:
        value = figures.get(key, float("nan"))
        row[column] = value if scale is None else float(value) * scale


def _horizon_columns(measure: str) -> list[str]:
    adjusted = list(_ADJUSTED) if measure in _ADJUSTED_MEASURES else []
    return [f"{measure}_{figure}_{h}d" for h in HORIZONS for figure in (*_IC_FIGURES, *adjusted)]


def _put_ic_summary(row: dict[str, Any], analysis: Any) -> None:
    """The IC summary at every horizon (NaN where the analysis has none); the adjusted
    p-values are filled in once every row is there."""
    table = analysis.ic_summary if analysis is not None else None
    for measure in ("rank_ic", "ic"):
        for column in _horizon_columns(measure):
            row[column] = math.nan
    if table is None:
        return
    # One conversion per job: the IC summary's rows by (measure, horizon).
    figures = dict(zip(table.index, table[list(_IC_FIGURES)].to_numpy(dtype=float).tolist()))
    for measure in ("rank_ic", "ic"):
        for h in HORIZONS:
            values = figures.get((measure, h))
            if values is None:
                continue
            for figure, value in zip(_IC_FIGURES, values):
                row[f"{measure}_{figure}_{h}d"] = value


def _put_long_short_test(row: dict[str, Any], outcome: Any) -> None:
    from lumora.backtest import _core

    t_stat, p_value = _core.mean_t_test(long_short_daily(outcome).to_numpy(dtype=float))
    row["long_short_t_stat"] = t_stat
    row["long_short_p_value"] = p_value
    row["long_short_p_bh"] = row["long_short_p_holm"] = math.nan


def _nothing_computed(job: Job, outcome: Any) -> str:
    """Why a job that ran has no figures, or "" when it has some."""
    if job.kind == "factor":
        if len(outcome.group_daily_return) == 0 or outcome.best_group == -1:
            return "nothing to compute: no factor value was ranked in the window"
        return ""
    if len(outcome.daily_return) == 0:
        return "nothing to compute: no weight was traded in the window"
    return ""


def _one_line(error: BaseException) -> str:
    """The error's type and the first line of its message (the traceback stays on the
    JobFailure)."""
    lines = str(error).strip().splitlines()
    text = f"{type(error).__name__}: {lines[0] if lines else ''}".rstrip(": ")
    return text if len(lines) <= 1 else text + " ..."


def _summary_row(job: Job, outcome: Any) -> dict[str, Any]:
    row: dict[str, Any] = {"kind": job.kind, "status": "ok", "error": "", "warning": ""}
    if isinstance(outcome, JobFailure):
        row["status"] = "failed"
        row["error"] = _one_line(outcome.error)
        return row
    warning = _nothing_computed(job, outcome)
    if warning:
        row["status"] = "empty"
        row["warning"] = warning
    if job.kind == "factor":
        row["best_group"] = outcome.best_group
        table = outcome.benchmark_summary
        # The first row is the primary (first selected) benchmark.
        first = table.iloc[0] if len(table) else pd.Series(dtype=object)
        _put(row, first, _FACTOR_COLUMNS)
        analysis = getattr(outcome, "analysis", None)
        _put(row, analysis.summary if analysis is not None else {}, _FACTOR_ANALYSIS_COLUMNS)
        _put_ic_summary(row, analysis)
        _put_long_short_test(row, outcome)
        row[_FLAG] = None
        row["near_duplicate_of"] = row["duplicate_group"] = math.nan
    else:
        _put(row, outcome.stats or {}, _STRATEGY_COLUMNS)
    return row


def _adjust_p_values(summary: pd.DataFrame) -> None:
    """Every factor job's p-values adjusted for the factor jobs of the screen (those with a
    p-value), each horizon and figure on its own."""
    from lumora.backtest import _core

    factors = summary["kind"] == "factor"
    pairs = [
        (f"{measure}_p_value_{h}d", f"{measure}_{suffix}_{h}d", method)
        for measure in _ADJUSTED_MEASURES
        for h in HORIZONS
        for suffix, method in _ADJUSTED.items()
    ]
    pairs += [("long_short_p_value", f"long_short_{s}", m) for s, m in _ADJUSTED.items()]
    for given, adjusted, method in pairs:
        p = summary.loc[factors, given].to_numpy(dtype=float)
        summary.loc[factors, adjusted] = _core.adjusted_p_values(p, method)


def _flag_and_mark(summary: pd.DataFrame, factor_correlation: pd.DataFrame | None) -> None:
    """The |t| flag, and each factor job's near-duplicates and the job standing for them."""
    factors = summary["kind"] == "factor"
    t_stat = summary.loc[factors, "rank_ic_t_stat_1d"]
    flag = pd.Series(pd.NA, index=summary.index, dtype="boolean")
    flag[factors] = (t_stat.abs() > T_HURDLE).astype("boolean").mask(t_stat.isna())
    summary[_FLAG] = flag
    if factor_correlation is None or not len(factor_correlation):
        return
    marks = near_duplicates(factor_correlation, {str(k): float(v) for k, v in t_stat.items()})
    known = factor_correlation.notna().any(axis=1)
    of: list[Any] = [math.nan] * len(summary)
    group: list[Any] = [math.nan] * len(summary)
    for at, name in enumerate(map(str, summary.index)):
        if name in marks.of and known[name]:
            of[at] = marks.of[name]
            group[at] = marks.group[name]
    summary["near_duplicate_of"] = pd.Series(of, index=summary.index, dtype=object)
    summary["duplicate_group"] = pd.Series(group, index=summary.index, dtype=object)


def summary_table(
    jobs: Mapping[str, Job],
    results: Mapping[str, Any],
    versions: Mapping[str, str | None] | None,
    factor_correlation: pd.DataFrame | None = None,
) -> pd.DataFrame:
    """One row per job; with ``versions`` (a ``MappedData`` batch) a ``store_version``
    column names the store version each job ran on (empty when it did not run). With
    ``factor_correlation`` each factor job's near-duplicates are named."""
    rows = [_summary_row(jobs[name], results[name]) for name in jobs]
    if versions is not None:
        for name, row in zip(jobs, rows):
            row["store_version"] = versions.get(name) or ""
    summary = pd.DataFrame(rows, index=pd.Index(list(jobs), name="job"))
    if "rank_ic_p_value_1d" in summary:
        _adjust_p_values(summary)
        _flag_and_mark(summary, factor_correlation)
    empty: pd.Index[Any] | list[str] = (
        summary.index[summary["status"] == "empty"] if len(summary) else []
    )
    if len(empty):
        logger.warning(
            "%d of %d jobs had nothing to compute (status 'empty'): %s",
            len(empty),
            len(summary),
            ", ".join(map(str, empty)),
        )
    return summary
