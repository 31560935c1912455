"""The batch's result and its summary: one row per job, in one unit per column."""

from __future__ import annotations

import os
from collections.abc import Mapping
from dataclasses import dataclass, field
from typing import Any

import pandas as pd

from lumora.backtest.batch.jobs import Job, JobFailure
from lumora.logger import logger


@dataclass(eq=False)
class BatchResult:
    """``results`` maps each job's name, in the jobs' order, to the request's result or a
    ``JobFailure``; ``summary`` has one row per job, indexed by name. ``store_version`` is
    the version of the prepared store a ``MappedData`` batch ran on (None otherwise, or
    when workers elsewhere had none to report when it started)."""

    results: dict[str, Any]
    summary: pd.DataFrame
    store_version: str | None = None
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


# Summary columns: (the figure's key, the column, the factor taking it to the column's unit).
# Every share of capital is in percent, named "_pct" (the strategy statistics give annual
# returns in percent and drawdowns, win rates and turnover as fractions; the factor figures
# are all fractions); Sharpe ratios, IC figures, group numbers and counts are plain numbers.
_PCT = 100.0
_FACTOR_COLUMNS = (
    ("benchmark_name", "benchmark_name", None),
    ("best_group_annual_return", "best_group_annual_return_pct", _PCT),
    ("long_short_annual_return", "long_short_annual_return_pct", _PCT),
    ("rank_ic_mean", "rank_ic_mean", 1.0),
    ("ic_ir", "ic_ir", 1.0),
    ("benchmark_annual_return", "benchmark_annual_return_pct", _PCT),
    ("excess_annual_return", "excess_annual_return_pct", _PCT),
    ("excess_sharpe", "excess_sharpe", 1.0),
    ("excess_max_dd", "excess_max_dd_pct", _PCT),
)
# Figures of the factor analysis (``result.analysis.summary``): the t-statistic does not
# bury strongly negative factors the way ``ic_ir`` sorts them (sort by its absolute value).
_FACTOR_ANALYSIS_COLUMNS = (
    ("rank_ic_t_stat", "rank_ic_t_stat", 1.0),
    ("rank_ic_std", "rank_ic_std", 1.0),
    ("long_short_sharpe", "long_short_sharpe", 1.0),
    ("long_short_max_drawdown", "long_short_max_drawdown_pct", _PCT),
    ("monotonicity", "monotonicity", 1.0),
    ("long_short_turnover_daily", "long_short_turnover_daily_pct", _PCT),
    ("coverage", "coverage_pct", _PCT),
)
_STRATEGY_COLUMNS = (
    ("annual_return", "annual_return_pct", 1.0),
    ("long_sharp", "long_sharp", 1.0),
    ("max_dd", "max_dd_pct", _PCT),
    ("benchmark_annual_return", "benchmark_annual_return_pct", 1.0),
    ("benchmark_sharp", "benchmark_sharp", 1.0),
    ("extra_annual_return", "extra_annual_return_pct", 1.0),
    ("extra_sharp", "extra_sharp", 1.0),
    ("extra_max_dd", "extra_max_dd_pct", _PCT),
    ("return_corr", "return_corr", 1.0),
    ("win_rate", "win_rate_pct", _PCT),
    ("excess_win_rate", "excess_win_rate_pct", _PCT),
    ("holding_count", "holding_count", 1.0),
    ("turnover", "turnover_pct", _PCT),
)


def _put(
    row: dict[str, Any], figures: Any, columns: tuple[tuple[str, str, float | None], ...]
) -> None:
    for key, column, scale in columns:
        value = figures.get(key, float("nan"))
        row[column] = value if scale is None else float(value) * scale


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
    else:
        _put(row, outcome.stats or {}, _STRATEGY_COLUMNS)
    return row


def summary_table(
    jobs: Mapping[str, Job], results: Mapping[str, Any], versions: Mapping[str, str | None] | None
) -> pd.DataFrame:
    """One row per job; with ``versions`` (a ``MappedData`` batch) a ``store_version``
    column names the store version each job ran on (empty when it did not run)."""
    rows = [_summary_row(jobs[name], results[name]) for name in jobs]
    if versions is not None:
        for name, row in zip(jobs, rows):
            row["store_version"] = versions.get(name) or ""
    summary = pd.DataFrame(rows, index=pd.Index(list(jobs), name="job"))
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
