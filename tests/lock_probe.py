"""Probes of the plot lock for the chart tests."""

from __future__ import annotations

import threading
from typing import Any


class WatchedLock:
    """A lock that tells when someone asks for it."""

    def __init__(self, lock: Any) -> None:
        self.lock = lock
        self.asked = threading.Event()

    def acquire(self, *args: Any, **kwargs: Any) -> bool:
        self.asked.set()
        return bool(self.lock.acquire(*args, **kwargs))

    def release(self) -> None:
        self.lock.release()

    def _is_owned(self) -> bool:
        return bool(self.lock._is_owned())


def assert_lock_free(lock: Any) -> None:
    """The lock is free: another thread takes it at once. A re-entrant lock always lets its
    owner in again, so only another thread can tell whether this one still holds it."""
    taken: list[bool] = []

    def probe() -> None:
        taken.append(lock.acquire(blocking=False))
        if taken[0]:
            lock.release()

    prober = threading.Thread(target=probe)
    prober.start()
    prober.join()
    assert taken == [True], "the plot lock is still held"
