"""Jobs: one request each, a factor group backtest (``FactorJob``) or a target-weight
strategy backtest (``StrategyJob``), with its table, its window and the request's keywords;
and what running one gives, its result or a ``JobFailure``."""

from __future__ import annotations

import copy
import os
import traceback
from collections.abc import Mapping
from dataclasses import Field, dataclass, fields
from typing import Any, ClassVar, Self

import pandas as pd

from lumora._requests import FactorKeywords, StrategyKeywords

# What a job returns instead of running when its batch was stopped before it started.
CANCELLED = "lumora-batch-cancelled"

# A job's keywords that the request takes as positional arguments: where the chart goes.
_CHART_PLACE = ("output_dir", "plot_filename")


class Job:
    """What every job does. Its fields are the dataclass's: the request's keywords (the
    table of ``lumora._requests``), where the chart goes, the job's table and window."""

    __dataclass_fields__: ClassVar[dict[str, Field[Any]]]
    # "factor" or "strategy": the kind of request, also the name of the field holding the table.
    kind: ClassVar[str]
    # The service's method the job calls.
    _request: ClassVar[str]
    start_date: str | int
    end_date: str | int
    output_dir: str | os.PathLike[str] | None
    plot_filename: str | None

    @property
    def table(self) -> Any:
        """The job's factor or weight table."""
        return getattr(self, self.kind)

    def with_table(self, table: Any) -> Self:
        """A copy of the job holding ``table`` in place of its own."""
        shipped = copy.copy(self)
        setattr(shipped, self.kind, table)
        return shipped

    @property
    def keywords(self) -> dict[str, Any]:
        """The keywords given that differ from the job's defaults, in their declared order."""
        given = {}
        for field in fields(self):
            value = getattr(self, field.name)
            if field.kw_only and not (
                type(value) is type(field.default) and value == field.default
            ):
                given[field.name] = value
        return given

    def run(self, service: Any, name: str, data: Any) -> Any:
        """The request's result on ``data``; its chart, if any, is named after the job
        unless the job gives ``plot_filename``."""
        keywords = {
            field.name: getattr(self, field.name)
            for field in fields(self)
            if field.kw_only and field.name not in _CHART_PLACE
        }
        request = getattr(service, self._request)
        return request(
            self.table,
            data,
            self.start_date,
            self.end_date,
            self.output_dir,
            self.plot_filename or name,
            **keywords,
        )

    def __repr__(self) -> str:
        shape = getattr(self.table, "shape", None)
        table = "x".join(map(str, shape)) if isinstance(shape, tuple) else type(self.table).__name__
        given = "".join(f", {key}={value!r}" for key, value in self.keywords.items())
        return f"{type(self).__name__}(<{table}>, {self.start_date!r}, {self.end_date!r}{given})"


@dataclass(kw_only=True, eq=False, repr=False)
class _Chart:
    """Where a job's chart goes. Unlike a request, a job draws no chart unless it asks for
    one (``plot``); ``plot_filename`` defaults to the job's name."""

    output_dir: str | os.PathLike[str] | None = None
    plot_filename: str | None = None
    plot: str | None = None


@dataclass(eq=False, repr=False)
class FactorJob(Job, _Chart, FactorKeywords):
    """A factor group backtest: ``BacktestService.backtest(factor, data, start_date,
    end_date, output_dir, plot_filename, **keywords)`` with the request's keywords. Without
    ``plot`` no chart is drawn; ``plot_filename`` defaults to the job's name. A keyword the
    request does not take is a TypeError here, when the job is made."""

    kind: ClassVar[str] = "factor"
    _request: ClassVar[str] = "backtest"
    factor: pd.DataFrame
    start_date: str | int
    end_date: str | int


@dataclass(eq=False, repr=False)
class StrategyJob(Job, _Chart, StrategyKeywords):
    """A target-weight strategy backtest: ``BacktestService.backtest_strategy(strategy,
    data, start_date, end_date, output_dir, plot_filename, **keywords)`` with the request's
    keywords. Without ``plot`` no chart is drawn; ``plot_filename`` (also the strategy's
    name) defaults to the job's name. A keyword the request does not take is a TypeError
    here, when the job is made."""

    kind: ClassVar[str] = "strategy"
    _request: ClassVar[str] = "backtest_strategy"
    strategy: pd.DataFrame
    start_date: str | int
    end_date: str | int


@dataclass(eq=False)
class JobFailure:
    """The outcome of a job that raised: the exception and its formatted traceback."""

    error: BaseException
    traceback: str = ""

    def __repr__(self) -> str:
        return f"JobFailure({type(self.error).__name__}: {self.error})"


def run_job(service: Any, name: str, job: Job, data: Any) -> Any:
    """The job's result, or a JobFailure carrying what it raised."""
    try:
        return job.run(service, name, data)
    except Exception as error:  # noqa: BLE001 - a failed job is reported, not raised
        return JobFailure(error, traceback.format_exc())


def checked_jobs(jobs: Any) -> dict[str, Job]:
    """``jobs`` as a dict, once every name is text and every job a job."""
    if not isinstance(jobs, Mapping):
        raise TypeError(f"jobs must be a mapping of name to job, got {type(jobs).__name__}")
    checked: dict[str, Job] = {}
    for name, job in jobs.items():
        if not isinstance(name, str):
            raise TypeError(f"job names must be str, got {type(name).__name__}")
        if not isinstance(job, Job):
            raise TypeError(f"job {name!r} must be a FactorJob or a StrategyJob, got {job!r}")
        checked[name] = job
    return checked
