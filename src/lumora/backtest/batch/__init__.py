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

The modules: ``jobs`` (the jobs and running one), ``mapped`` (``MappedData`` and store
versions), ``summary`` (``BatchResult`` and its summary table), ``correlation`` (how alike
the factors are, and their near-duplicates), ``threads`` (serial and thread-pool runs, the
progress bar), ``cluster`` (Dask runs and spool files).
"""

from __future__ import annotations

from collections.abc import Callable, Mapping
from typing import Any

from lumora.backtest.batch.cluster import is_dask_client, run_dask
from lumora.backtest.batch.correlation import screen_correlations
from lumora.backtest.batch.jobs import FactorJob, Job, JobFailure, StrategyJob, checked_jobs
from lumora.backtest.batch.mapped import MappedData, StoreVersionGone
from lumora.backtest.batch.summary import BatchResult, summary_table
from lumora.backtest.batch.threads import Outcomes, Progress, run_serial, run_threads

__all__ = [
    "BatchResult",
    "FactorJob",
    "JobFailure",
    "MappedData",
    "StoreVersionGone",
    "StrategyJob",
    "backtest_many",
]


def backtest_many(
    service: Any,
    jobs: Mapping[str, Job],
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
    checked = checked_jobs(jobs)
    if not isinstance(data, MappedData) and not hasattr(data, "data"):
        raise TypeError(f"data must be a BacktestData or a MappedData, got {type(data).__name__}")
    runner: Callable[..., Outcomes]
    if executor is None:

        def runner(progress_bar: Progress) -> Outcomes:
            return run_threads(service, checked, data, progress_bar, max_workers)

    elif isinstance(executor, str) and executor == "serial":

        def runner(progress_bar: Progress) -> Outcomes:
            return run_serial(service, checked, data, progress_bar)

    elif is_dask_client(executor):

        def runner(progress_bar: Progress) -> Outcomes:
            return run_dask(executor, checked, data, progress_bar)

    else:
        raise TypeError(
            "executor must be None (threads), 'serial' or a dask.distributed.Client "
            "(pip install lumora[dask]), got " + repr(executor)
        )
    bar = Progress(len(checked), progress)
    try:
        outcomes, versions, pinned = runner(bar)
    finally:
        bar.close()
    results = {name: outcomes[name] for name in checked}
    mapped = isinstance(data, MappedData)
    correlations = screen_correlations(service, checked, results, data, pinned)
    summary = summary_table(checked, results, versions if mapped else None, correlations.factor)
    return BatchResult(
        results=results,
        summary=summary,
        store_version=pinned,
        factor_correlation=correlations.factor,
        long_short_correlation=correlations.long_short,
    )
