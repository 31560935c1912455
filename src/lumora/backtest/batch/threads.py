"""Running jobs in the caller's process: one after another, or on a thread pool (the native
work releases the GIL; chart drawing is serialised by the plot lock), with a progress bar."""

from __future__ import annotations

import contextlib
import os
import signal
import threading
from collections.abc import Iterator, Mapping
from concurrent.futures import FIRST_COMPLETED, ThreadPoolExecutor
from concurrent.futures import wait as wait_futures
from typing import Any

from lumora.backtest.batch.jobs import CANCELLED, Job, JobFailure, run_job
from lumora.backtest.batch.mapped import resolve

# How often the caller refreshes the progress bar while it waits for jobs.
POLL_SECONDS = 0.25


class Progress:
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
Outcomes = tuple[dict[str, Any], dict[str, str | None], str | None]


def run_serial(service: Any, jobs: Mapping[str, Job], data: Any, progress: Progress) -> Outcomes:
    version, data = resolve(data)
    outcomes = {}
    for name, job in jobs.items():
        progress.show(1)
        outcomes[name] = run_job(service, name, job, data)
        progress.finished(outcomes[name], 0)
    return outcomes, dict.fromkeys(jobs, version), version


@contextlib.contextmanager
def interrupt_deferred() -> Iterator[None]:
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


def run_threads(
    service: Any,
    jobs: Mapping[str, Job],
    data: Any,
    progress: Progress,
    max_workers: int | None,
) -> Outcomes:
    # Every thread runs on the one version opened here.
    version, data = resolve(data)
    cancel = threading.Event()
    lock = threading.Lock()
    running = [0]

    def task(name: str, job: Job) -> Any:
        if cancel.is_set():
            return CANCELLED
        with lock:
            running[0] += 1
        try:
            return run_job(service, name, job, data)
        finally:
            with lock:
                running[0] -= 1

    workers = max_workers or os.cpu_count() or 1
    pool = ThreadPoolExecutor(max_workers=workers, thread_name_prefix="lumora-batch")
    outcomes: dict[str, Any] = {}
    try:
        with interrupt_deferred():
            futures = {pool.submit(task, name, job): name for name, job in jobs.items()}
        pending = set(futures)
        while pending:
            done, pending = wait_futures(pending, timeout=POLL_SECONDS, return_when=FIRST_COMPLETED)
            for future in done:
                outcomes[futures[future]] = future.result()
                progress.finished(outcomes[futures[future]], running[0])
            progress.show(running[0])
    finally:
        # Normal end or interrupted: start nothing more and let running jobs finish.
        cancel.set()
        pool.shutdown(wait=True, cancel_futures=True)
    return outcomes, dict.fromkeys(jobs, version), version
