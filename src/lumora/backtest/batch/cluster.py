"""Running jobs on a Dask cluster: the data reaches the workers once (broadcast, or opened
memory-mapped by each worker), large job tables travel as spool files to workers on this
machine, and jobs are handed out a few at a time so that a stopped batch starts no more."""

from __future__ import annotations

import contextlib
import os
import socket
import tempfile
import traceback
import uuid
import warnings
from collections import Counter, deque
from collections.abc import Mapping
from pathlib import Path
from typing import Any
from urllib.parse import urlsplit

import numpy as np
import pandas as pd

from lumora.backtest.batch.jobs import CANCELLED, Job, JobFailure, run_job
from lumora.backtest.batch.mapped import MappedData, StoreVersionGone, resolve
from lumora.backtest.batch.threads import POLL_SECONDS, Outcomes, Progress, interrupt_deferred
from lumora.exceptions import KestrelError

# Job tables smaller than this travel inside their tasks even to workers on this machine.
_SPOOL_MIN_CELLS = 1 << 16
# Spool folders, in the system's temporary directory: "<prefix><random>".
_SPOOL_PREFIX = "lumora-spool-"
# Jobs handed to a cluster ahead of those running, per worker thread: enough that a worker
# finishing a job finds the next one waiting, few enough that tables are spooled as their
# jobs come up rather than all before the first starts.
_JOBS_AHEAD = 1


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

    def __init__(self, jobs: Mapping[str, Job], stack: contextlib.ExitStack) -> None:
        from lumora.backtest._pkg import remove_abandoned

        self._stack = stack
        self._parent = Path(tempfile.gettempdir())
        self._folder: Path | None = None
        self._files: dict[int, _SpooledTable] = {}
        self._uses = Counter(id(job.table) for job in jobs.values() if _worth_spooling(job.table))
        remove_abandoned(self._parent, f"{_SPOOL_PREFIX}*")

    def job(self, job: Job) -> Job:
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
        return job.with_table(spooled)

    def finished(self, job: Job) -> None:
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
    name: str, job: Job, data: Any, cancel_name: str, pinned: str | None
) -> tuple[Any, str | None]:
    """A job on a dask worker, on store version ``pinned`` of a ``MappedData``: its
    outcome and the version it ran on. Skipped when the batch was stopped before it
    started."""
    from distributed import Event

    if Event(cancel_name).is_set():
        return CANCELLED, None
    try:
        version, resolved = resolve(data, pinned)
    except Exception as error:  # noqa: BLE001 - reported as the job's failure
        return JobFailure(error, traceback.format_exc()), None
    if isinstance(job.table, _SpooledTable):
        job = job.with_table(job.table.table())
    return run_job(_worker_service(), name, job, resolved), version


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


def run_dask(client: Any, jobs: Mapping[str, Job], data: Any, progress: Progress) -> Outcomes:
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
                    with interrupt_deferred():
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
                    wait_dask(list(pending), timeout=POLL_SECONDS, return_when="FIRST_COMPLETED")
                except TimeoutError:
                    pass
                for future in [f for f in pending if f.done()]:
                    pending.discard(future)
                    outcome, version = _dask_outcome(future)
                    # Compared by value: the marker comes back from a worker process.
                    if isinstance(outcome, str) and outcome == CANCELLED and gone is not None:
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


def is_dask_client(executor: Any) -> bool:
    try:
        from distributed import Client
    except ImportError:
        return False
    return isinstance(executor, Client)
