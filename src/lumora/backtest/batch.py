"""Many backtests in one call: a study of factor and strategy jobs on one loaded data set.

    jobs = {
        "mom20": lumora.FactorJob(mom20, 20200101, 20241231, group_num=20),
        "rev5": lumora.FactorJob(rev5, 20200101, 20241231, ascending=True),
        "top50": lumora.StrategyJob(weights, 20200101, 20241231, benchmark="000300"),
    }
    batch = lumora.backtest_many(jobs, data)           # threads on this machine's cores
    batch = lumora.backtest_many(jobs, data, executor=client)   # a dask.distributed.Client
    batch.summary.sort_values("ic_ir")

Each job runs the matching request (``BacktestService.backtest`` or ``backtest_strategy``)
with its own keywords, so the requests' own checks apply. A job that fails does not stop the
others: its entry in ``results`` is a ``JobFailure`` and its summary row says "failed".
Charts are drawn only for jobs that ask for one (``plot="long"`` and an ``output_dir``).

Executors: ``None`` runs the jobs on a thread pool of the machine's cores (the native work
releases the GIL; chart drawing is serialised by the plot lock), ``"serial"`` runs them one
after another in the caller's thread, and a ``dask.distributed.Client`` runs them on its
cluster. On a cluster the data reaches the workers once, never per job:

* ``data`` a ``BacktestData``: scattered once to every worker (broadcast);
* ``data`` a ``MappedData``: each worker opens the prepared store memory-mapped on first
  use and keeps it, so nothing but each job's own table travels. This needs the store on
  the workers' file system: by default the data directory under the worker's HOME (the
  same directory as the caller's on one machine), or the directory given as
  ``MappedData(data_dir)``.

A ``MappedData`` batch runs on one store version, the one committed when it starts (read
by the caller, or by the workers when they do not run on the caller's machine): a worker
keeps that version mapped to the end of the batch even when a prepare replaces the store
meanwhile. A worker that has to open the store after its version is gone fails its job
with ``StoreVersionGone``, and every job not yet started fails with the same one-line
error; no job runs on other data. ``BatchResult.store_version`` and the summary's
``store_version`` column name the version.

Workers on the caller's machine map each large float table from a spool file instead of
receiving it in the task: each distinct table is written once, when its first job is
submitted (jobs are handed to the cluster a few at a time), and removed once its last
job has finished. A batch's spool folder is locked while it runs; the folders of batches
whose process was killed are removed when the next batch starts.

Stopping a batch (KeyboardInterrupt in the caller) starts no further job, waits for the
running ones to finish, so no worker is left running and no chart is left half-written,
and then raises the KeyboardInterrupt.
"""

from __future__ import annotations

import contextlib
import copy
import os
import signal
import socket
import tempfile
import threading
import traceback
import uuid
import warnings
from collections import Counter, OrderedDict, deque
from collections.abc import Callable, Iterator, Mapping
from concurrent.futures import FIRST_COMPLETED, ThreadPoolExecutor
from concurrent.futures import wait as wait_futures
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any
from urllib.parse import urlsplit

import numpy as np
import pandas as pd

from lumora._keywords import keyword_arguments
from lumora.backtest._store import store_version
from lumora.exceptions import KestrelError
from lumora.logger import logger

__all__ = [
    "BatchResult",
    "FactorJob",
    "JobFailure",
    "MappedData",
    "StoreVersionGone",
    "StrategyJob",
    "backtest_many",
]

# How often the caller refreshes the progress bar while it waits for jobs.
_POLL_SECONDS = 0.25
# Job tables smaller than this travel inside their tasks even to workers on this machine.
_SPOOL_MIN_CELLS = 1 << 16
# Spool folders, in the system's temporary directory: "<prefix><random>".
_SPOOL_PREFIX = "lumora-spool-"
# Jobs handed to a cluster ahead of those running, per worker thread: enough that a worker
# finishing a job finds the next one waiting, few enough that tables are spooled as their
# jobs come up rather than all before the first starts.
_JOBS_AHEAD = 1
# Store versions a process keeps mapped per directory (the newest ones used).
_KEPT_VERSIONS = 2


class _Job:
    kind = ""
    _request = ""

    def __init__(self, table: Any, start_date: Any, end_date: Any, **keywords: Any) -> None:
        self.table = table
        self.start_date = start_date
        self.end_date = end_date
        # Only what differs from the job's defaults, so that the request's own defaults apply.
        defaults = type(self).__init__.__kwdefaults__ or {}
        self.keywords = {
            key: value
            for key, value in keywords.items()
            if not (type(value) is type(defaults.get(key)) and value == defaults.get(key))
        }

    def __repr__(self) -> str:
        shape = getattr(self.table, "shape", None)
        table = "x".join(map(str, shape)) if isinstance(shape, tuple) else type(self.table).__name__
        return (
            f"{type(self).__name__}(<{table}>, {self.start_date!r}, {self.end_date!r}, "
            f"{', '.join(f'{k}={v!r}' for k, v in self.keywords.items())})"
        )

    def run(self, service: Any, name: str, data: Any) -> Any:
        keywords = dict(self.keywords)
        keywords.setdefault("plot", None)
        output_dir = keywords.pop("output_dir", None)
        plot_filename = keywords.pop("plot_filename", None) or name
        request = getattr(service, self._request)
        return request(
            self.table, data, self.start_date, self.end_date, output_dir, plot_filename, **keywords
        )


class FactorJob(_Job):
    """A factor group backtest: ``BacktestService.backtest(factor, data, start_date,
    end_date, output_dir, plot_filename, **keywords)`` with the request's keywords. Without
    ``plot`` no chart is drawn; ``plot_filename`` defaults to the job's name. A keyword the
    request does not take is a TypeError here, when the job is made."""

    kind = "factor"
    _request = "backtest"

    def __init__(
        self,
        factor: pd.DataFrame,
        start_date: str | int,
        end_date: str | int,
        *,
        output_dir: str | os.PathLike[str] | None = None,
        plot_filename: str | None = None,
        group_num: int = 20,
        benchmark: str | list[str] | None = "000852",
        universe: str | list[str] | None = None,
        rolling_window: int = 0,
        ascending: bool = False,
        total_money: float = 1e8,
        fee: float = 0.0001,
        rule_fee: float = 0.0005,
        plot: str | None = None,
        lot_size: int = 200,
    ) -> None:
        super().__init__(
            factor, start_date, end_date, **keyword_arguments(FactorJob.__init__, locals())
        )

    @property
    def factor(self) -> Any:
        return self.table


class StrategyJob(_Job):
    """A target-weight strategy backtest: ``BacktestService.backtest_strategy(strategy,
    data, start_date, end_date, output_dir, plot_filename, **keywords)`` with the request's
    keywords. Without ``plot`` no chart is drawn; ``plot_filename`` (also the strategy's
    name) defaults to the job's name. A keyword the request does not take is a TypeError
    here, when the job is made."""

    kind = "strategy"
    _request = "backtest_strategy"

    def __init__(
        self,
        strategy: pd.DataFrame,
        start_date: str | int,
        end_date: str | int,
        *,
        output_dir: str | os.PathLike[str] | None = None,
        plot_filename: str | None = None,
        benchmark: str | list[str] | None = "000852",
        rolling_window: int = 0,
        total_money: float = 1e8,
        fee: float = 0.0001,
        rule_fee: float = 0.0005,
        plot: str | None = None,
        record_positions: bool = False,
        lot_size: int = 200,
    ) -> None:
        super().__init__(
            strategy, start_date, end_date, **keyword_arguments(StrategyJob.__init__, locals())
        )

    @property
    def strategy(self) -> Any:
        return self.table


@dataclass(eq=False)
class JobFailure:
    """The outcome of a job that raised: the exception and its formatted traceback."""

    error: BaseException
    traceback: str = ""

    def __repr__(self) -> str:
        return f"JobFailure({type(self.error).__name__}: {self.error})"


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


class StoreVersionGone(KestrelError):
    """The store version a batch runs on was replaced before a worker could open it."""


def _gone_message(pinned: str, current: str, directory: Path) -> str:
    return (
        f"回测数据在批次运行中被替换: 批次开始时的版本 {pinned} 已不存在 (现为 {current}, "
        f"{directory}),该任务及其后未开始的任务均未运行"
    )


@dataclass(frozen=True)
class MappedData:
    """The prepared benchmark data store, opened memory-mapped wherever a job runs and kept
    by that process. ``data_dir`` None means the data directory under the HOME of the
    process that runs the job."""

    data_dir: str | None = None

    def directory(self) -> Path:
        from lumora.backtest import _service

        return Path(self.data_dir) if self.data_dir else Path(_service._DEFAULT_DATA_DIR)

    def version(self) -> str:
        """The version of the store committed now (``store_version`` of its metadata),
        read from the metadata alone."""
        store = self._store()
        try:
            return store_version(store.load_metadata())
        except FileNotFoundError:
            raise self._missing() from None

    def load(self, version: str | None = None) -> Any:
        """The store's data as a ``BacktestData`` of read-only memory-mapped tables, read
        once per process, directory and version. Without ``version``: the version committed
        now (the store is opened again after it is replaced). With it: that version, as this
        process keeps it mapped or as the store holds it.

        Raises:
            FileNotFoundError: the directory holds no prepared store.
            StoreVersionGone: ``version`` is neither mapped here nor in the store any more.
        """
        return self._open(version)[1]

    def _store(self) -> Any:
        from lumora.backtest import _service

        return _service.BinaryPreparedDataStore(self.directory())

    def _missing(self) -> FileNotFoundError:
        return FileNotFoundError(
            f"未找到回测基准数据,请先调用 lumora.prepare_backtest_data() ({self.directory()})"
        )

    def _open(self, pinned: str | None) -> tuple[str, Any]:
        """``(version, data)``: ``pinned`` when given, else the version committed now."""
        from lumora.backtest import _service

        store = self._store()
        key = str(self.directory().resolve())
        with _mapped_lock:
            held = _mapped.setdefault(key, OrderedDict())
            if pinned is not None and pinned in held:
                held.move_to_end(pinned)  # kept to the end, whatever the store holds now
                return pinned, held[pinned]
            try:
                # The metadata file is replaced (new inode) whenever the store is rewritten.
                status = os.stat(store.metadata_path)
            except FileNotFoundError:
                raise self._missing() from None
            stamp = (status.st_ino, status.st_mtime_ns, status.st_size)
            known = _stamps.get(key)
            if pinned is None and known is not None and known[0] == stamp and known[1] in held:
                held.move_to_end(known[1])
                return known[1], held[known[1]]
            payload = store.load(start_date=None, end_date=None, mmap=True)
            version = payload["store_version"]
            held[version] = _service.BacktestData(data=payload["data"])
            held.move_to_end(version)
            while len(held) > _KEPT_VERSIONS:
                held.popitem(last=False)
            # Stat before the load: a commit in between only costs a second load later.
            _stamps[key] = (stamp, version)
            if pinned is not None and version != pinned:
                raise StoreVersionGone(_gone_message(pinned, version, self.directory()))
            return version, held[version]


# Memory-mapped stores opened by this process: resolved directory -> version -> data (the
# most recently used last), and the metadata file's stamp with the version it held.
_mapped: dict[str, OrderedDict[str, Any]] = {}
_stamps: dict[str, tuple[tuple[int, int, int], str]] = {}
_mapped_lock = threading.Lock()

_CANCELLED = "lumora-batch-cancelled"


def _resolve(data: Any, pinned: str | None = None) -> tuple[str | None, Any]:
    """``(store version, data)`` for a job: a ``MappedData`` opened at ``pinned``."""
    return data._open(pinned) if isinstance(data, MappedData) else (None, data)


def _run_job(service: Any, name: str, job: _Job, data: Any) -> Any:
    """The job's result, or a JobFailure carrying what it raised."""
    try:
        return job.run(service, name, data)
    except Exception as error:  # noqa: BLE001 - a failed job is reported, not raised
        return JobFailure(error, traceback.format_exc())


# ------------------------------------------------------------------------- summary

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


def _nothing_computed(job: _Job, outcome: Any) -> str:
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


def _summary_row(job: _Job, outcome: Any) -> dict[str, Any]:
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


def _summary(
    jobs: Mapping[str, _Job], results: Mapping[str, Any], versions: Mapping[str, str | None] | None
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


# ------------------------------------------------------------------------- executors


class _Progress:
    """A tqdm bar of finished jobs with the running and failed counts beside it."""

    def __init__(self, total: int, enabled: bool) -> None:
        from tqdm.auto import tqdm

        self.bar = tqdm(total=total, desc="backtests", unit="job", disable=not enabled)
        self.failed = 0

    def finished(self, outcome: Any, running: int) -> None:
        if isinstance(outcome, JobFailure):
            self.failed += 1
        self.bar.update(1)
        self.show(running)

    def show(self, running: int) -> None:
        self.bar.set_postfix(running=running, failed=self.failed, refresh=False)
        self.bar.refresh()

    def close(self) -> None:
        self.bar.close()


# What a runner returns: each job's outcome and the store version it ran on (None when it
# did not run on a prepared store), and the version the batch was pinned to.
_Outcomes = tuple[dict[str, Any], dict[str, str | None], str | None]


def _run_serial(
    service: Any, jobs: Mapping[str, _Job], data: Any, progress: _Progress
) -> _Outcomes:
    version, data = _resolve(data)
    outcomes = {}
    for name, job in jobs.items():
        progress.show(1)
        outcomes[name] = _run_job(service, name, job, data)
        progress.finished(outcomes[name], 0)
    return outcomes, dict.fromkeys(jobs, version), version


@contextlib.contextmanager
def _interrupt_deferred() -> Iterator[None]:
    """Hold back Ctrl-C while the pool starts its threads: an interrupt inside the pool's
    thread start-up would leave a started thread the pool does not know of (and so never
    joins). The interrupt is raised again, for the previous handler, right after."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    caught: list[int] = []
    previous = signal.signal(signal.SIGINT, lambda signum, frame: caught.append(signum))
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, previous)
        if caught:
            signal.raise_signal(signal.SIGINT)


def _run_threads(
    service: Any,
    jobs: Mapping[str, _Job],
    data: Any,
    progress: _Progress,
    max_workers: int | None,
) -> _Outcomes:
    # Every thread runs on the one version opened here.
    version, data = _resolve(data)
    cancel = threading.Event()
    lock = threading.Lock()
    running = [0]

    def task(name: str, job: _Job) -> Any:
        if cancel.is_set():
            return _CANCELLED
        with lock:
            running[0] += 1
        try:
            return _run_job(service, name, job, data)
        finally:
            with lock:
                running[0] -= 1

    workers = max_workers or os.cpu_count() or 1
    pool = ThreadPoolExecutor(max_workers=workers, thread_name_prefix="lumora-batch")
    outcomes: dict[str, Any] = {}
    try:
        with _interrupt_deferred():
            futures = {pool.submit(task, name, job): name for name, job in jobs.items()}
        pending = set(futures)
        while pending:
            done, pending = wait_futures(
                pending, timeout=_POLL_SECONDS, return_when=FIRST_COMPLETED
            )
            for future in done:
                outcomes[futures[future]] = future.result()
                progress.finished(outcomes[futures[future]], running[0])
            progress.show(running[0])
    finally:
        # Normal end or interrupted: start nothing more and let running jobs finish.
        cancel.set()
        pool.shutdown(wait=True, cancel_futures=True)
    return outcomes, dict.fromkeys(jobs, version), version


class _SpooledTable:
    """A job's float table written once to a file the workers of this machine map, so the
    task carries a path and two label lists instead of the whole table."""

    def __init__(self, table: pd.DataFrame, path: Path) -> None:
        self.path = str(path)
        self.index = table.index
        self.columns = table.columns
        np.save(path, table.to_numpy(dtype=np.float64, copy=False), allow_pickle=False)

    def table(self) -> pd.DataFrame:
        values = np.load(self.path, mmap_mode="r", allow_pickle=False)
        return pd.DataFrame(values, index=self.index, columns=self.columns, copy=False)


def _worth_spooling(table: Any) -> bool:
    """A plain float table of some size; anything else travels inside its task."""
    return (
        isinstance(table, pd.DataFrame)
        and table.size >= _SPOOL_MIN_CELLS
        and all(dtype == np.float64 for dtype in table.dtypes)
    )


class _Spool:
    """The job tables of one batch written to files the workers of this machine map: each
    distinct table (by identity: jobs sharing a table share its file) once, when its first
    job is handed out, removed once its last job has finished. The folder is claimed
    (locked) when the first table is written and removed with everything in it when the
    batch ends; folders whose batch process is gone (killed) are removed first."""

    def __init__(self, jobs: Mapping[str, _Job], stack: contextlib.ExitStack) -> None:
        from lumora.backtest._pkg import remove_abandoned

        self._stack = stack
        self._parent = Path(tempfile.gettempdir())
        self._folder: Path | None = None
        self._files: dict[int, _SpooledTable] = {}
        self._uses = Counter(id(job.table) for job in jobs.values() if _worth_spooling(job.table))
        remove_abandoned(self._parent, f"{_SPOOL_PREFIX}*")

    def job(self, job: _Job) -> _Job:
        """``job`` with its table replaced by its spool file, when worth it."""
        if id(job.table) not in self._uses:
            return job
        spooled = self._files.get(id(job.table))
        if spooled is None:
            if self._folder is None:
                from lumora.backtest._pkg import claimed_folder

                self._folder = self._stack.enter_context(
                    claimed_folder(self._parent, _SPOOL_PREFIX)
                )
            path = self._folder / f"table{len(self._files)}.npy"
            spooled = self._files[id(job.table)] = _SpooledTable(job.table, path)
        shipped = copy.copy(job)
        shipped.table = spooled
        return shipped

    def finished(self, job: _Job) -> None:
        """One job of ``job.table`` is done; its file goes with the last one (a worker
        still mapping it keeps its pages until it lets go)."""
        key = id(job.table)
        if key not in self._uses:
            return
        self._uses[key] -= 1
        spooled = self._files.get(key)
        if self._uses[key] == 0 and spooled is not None:
            with contextlib.suppress(OSError):
                os.unlink(spooled.path)


def _workers_share_this_machine(client: Any) -> bool:
    """True when every worker of the cluster runs on this machine (its files are theirs)."""
    own = {"127.0.0.1", "localhost", "::1"}
    with contextlib.suppress(OSError):
        own.add(socket.gethostbyname(socket.gethostname()))
    workers = client.scheduler_info().get("workers", {})
    return bool(workers) and all(urlsplit(address).hostname in own for address in workers)


def _dask_task(
    name: str, job: _Job, data: Any, cancel_name: str, pinned: str | None
) -> tuple[Any, str | None]:
    """A job on a dask worker, on store version ``pinned`` of a ``MappedData``: its
    outcome and the version it ran on. Skipped when the batch was stopped before it
    started."""
    from distributed import Event

    if Event(cancel_name).is_set():
        return _CANCELLED, None
    try:
        version, resolved = _resolve(data, pinned)
    except Exception as error:  # noqa: BLE001 - reported as the job's failure
        return JobFailure(error, traceback.format_exc()), None
    if isinstance(job.table, _SpooledTable):
        job = copy.copy(job)
        job.table = job.table.table()
    return _run_job(_worker_service(), name, job, resolved), version


def _worker_store_version(data: MappedData) -> str:
    return data.version()


def _pinned_version(client: Any, data: MappedData, local: bool) -> str | None:
    """The store version a ``MappedData`` batch runs on: the one committed now, read here
    when the workers share this machine, else read by every worker (they must agree; None
    when the cluster has no worker yet, and each job then runs on its worker's current
    version)."""
    if local:
        return data.version()
    found = client.run(_worker_store_version, data)
    versions = sorted(set(found.values()))
    if len(versions) > 1:
        seen = ", ".join(f"{worker}: {version}" for worker, version in sorted(found.items()))
        raise KestrelError(f"各计算节点的回测数据版本不一致,无法在同一版本上运行: {seen}")
    return versions[0] if versions else None


_worker_service_instance: Any = None


def _worker_service() -> Any:
    # The requests do not use the service's data client, so a worker needs none.
    global _worker_service_instance
    if _worker_service_instance is None:
        from lumora.backtest import BacktestService

        _worker_service_instance = BacktestService(None)
    return _worker_service_instance


def _version_gone(outcome: Any) -> bool:
    return isinstance(outcome, JobFailure) and isinstance(outcome.error, StoreVersionGone)


def _dask_outcome(future: Any) -> tuple[Any, str | None]:
    if future.status == "error":
        error = future.exception()
        return JobFailure(error, "".join(traceback.format_tb(future.traceback()))), None
    outcome: tuple[Any, str | None] = future.result()  # a worker's (result, store version)
    return outcome


def _run_dask(client: Any, jobs: Mapping[str, _Job], data: Any, progress: _Progress) -> _Outcomes:
    from distributed import Event
    from distributed import wait as wait_dask

    token = uuid.uuid4().hex
    cancel_name = f"lumora-batch-cancel-{token}"
    cancel = Event(cancel_name, client=client)
    slots = max(1, sum(client.nthreads().values()))
    local = _workers_share_this_machine(client)
    pinned = _pinned_version(client, data, local) if isinstance(data, MappedData) else None
    shipped: Any = data
    waiting = deque(enumerate(jobs.items()))
    futures: dict[Any, str] = {}
    pending: set[Any] = set()
    outcomes: dict[str, Any] = {}
    versions: dict[str, str | None] = {}
    gone: StoreVersionGone | None = None
    spool: _Spool | None = None

    def record(name: str, outcome: Any, version: str | None) -> None:
        outcomes[name], versions[name] = outcome, version
        if spool is not None:
            spool.finished(jobs[name])
        progress.finished(outcome, min(len(pending), slots))

    with contextlib.ExitStack() as stack:
        try:
            if not isinstance(data, MappedData):
                # One copy per worker, reused by every job that runs there.
                shipped = client.scatter(data, broadcast=True, hash=False)
            # Workers on this machine map each large table from a spool file; elsewhere the
            # table travels inside its task (measured several times faster than scattering
            # the tables first), so dask's warning about large tasks is expected there.
            if local:
                spool = _Spool(jobs, stack)
            stack.enter_context(warnings.catch_warnings())
            warnings.filterwarnings("ignore", "Sending large graph", UserWarning)
            while waiting or pending:
                # Keep every worker thread busy with one job waiting behind it.
                while waiting and gone is None and len(pending) < slots * (1 + _JOBS_AHEAD):
                    i, (name, job) = waiting.popleft()
                    with _interrupt_deferred():
                        future = client.submit(
                            _dask_task,
                            name,
                            spool.job(job) if spool is not None else job,
                            shipped,
                            cancel_name,
                            pinned,
                            key=f"lumora-{token}-{i}",
                            pure=False,
                        )
                        futures[future] = name
                        pending.add(future)
                while gone is not None and waiting:
                    record(waiting.popleft()[1][0], JobFailure(gone), None)
                if not pending:
                    break
                try:
                    wait_dask(list(pending), timeout=_POLL_SECONDS, return_when="FIRST_COMPLETED")
                except TimeoutError:
                    pass
                for future in [f for f in pending if f.done()]:
                    pending.discard(future)
                    outcome, version = _dask_outcome(future)
                    # Compared by value: the marker comes back from a worker process.
                    if isinstance(outcome, str) and outcome == _CANCELLED and gone is not None:
                        outcome = JobFailure(gone)
                    elif gone is None and _version_gone(outcome):
                        # No further job may start: it could only fail the same way.
                        gone = outcome.error
                        cancel.set()
                    record(futures[future], outcome, version)
                progress.show(min(len(pending), slots))
        except BaseException:
            # Jobs not yet started see the flag and return at once; running ones finish.
            cancel.set()
            wait_dask(list(futures))
            raise
        finally:
            client.cancel(list(futures))
            if shipped is not data:
                shipped.release()
            # The spool folder goes with the stack: every job has finished (or was
            # cancelled); a worker still mapping a file keeps its pages until it lets go.
    return outcomes, versions, pinned


def _is_dask_client(executor: Any) -> bool:
    try:
        from distributed import Client
    except ImportError:
        return False
    return isinstance(executor, Client)


def _checked_jobs(jobs: Any) -> dict[str, _Job]:
    if not isinstance(jobs, Mapping):
        raise TypeError(f"jobs must be a mapping of name to job, got {type(jobs).__name__}")
    checked: dict[str, _Job] = {}
    for name, job in jobs.items():
        if not isinstance(name, str):
            raise TypeError(f"job names must be str, got {type(name).__name__}")
        if not isinstance(job, _Job):
            raise TypeError(f"job {name!r} must be a FactorJob or a StrategyJob, got {job!r}")
        checked[name] = job
    return checked


def backtest_many(
    service: Any,
    jobs: Mapping[str, _Job],
    data: Any,
    *,
    executor: Any = None,
    max_workers: int | None = None,
    progress: bool = True,
) -> BatchResult:
    """Run every job on ``data`` (a ``BacktestData`` or a ``MappedData``) and collect the
    results in the jobs' order, with a summary row per job.

    ``executor`` None uses a thread pool of ``max_workers`` threads (default: the machine's
    cores), "serial" the caller's thread, a ``dask.distributed.Client`` its cluster.
    """
    checked = _checked_jobs(jobs)
    if not isinstance(data, MappedData) and not hasattr(data, "data"):
        raise TypeError(f"data must be a BacktestData or a MappedData, got {type(data).__name__}")
    runner: Callable[..., _Outcomes]
    if executor is None:

        def runner(progress_bar: _Progress) -> _Outcomes:
            return _run_threads(service, checked, data, progress_bar, max_workers)

    elif isinstance(executor, str) and executor == "serial":

        def runner(progress_bar: _Progress) -> _Outcomes:
            return _run_serial(service, checked, data, progress_bar)

    elif _is_dask_client(executor):

        def runner(progress_bar: _Progress) -> _Outcomes:
            return _run_dask(executor, checked, data, progress_bar)

    else:
        raise TypeError(
            "executor must be None (threads), 'serial' or a dask.distributed.Client "
            "(pip install lumora[dask]), got " + repr(executor)
        )
    bar = _Progress(len(checked), progress)
    try:
        outcomes, versions, pinned = runner(bar)
    finally:
        bar.close()
    results = {name: outcomes[name] for name in checked}
    mapped = isinstance(data, MappedData)
    summary = _summary(checked, results, versions if mapped else None)
    return BatchResult(results=results, summary=summary, store_version=pinned)
