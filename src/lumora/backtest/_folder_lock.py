"""Advisory locks on folders: the store's readers and writers, and the package steps that
claim or replace a data folder, serialise through them."""

from __future__ import annotations

import contextlib
import os
from collections.abc import Iterator
from pathlib import Path

try:
    import fcntl
except ImportError:  # pragma: no cover - platforms without advisory file locks
    fcntl = None  # type: ignore[assignment]

__all__ = ["directory_lock", "has_file_locks", "lock_folder"]


@contextlib.contextmanager
def directory_lock(directory: Path, *, exclusive: bool) -> Iterator[None]:
    """Advisory lock on the store directory: writers exclusive, readers shared.

    Readers hold it while they read metadata and open segment files, so a writer never
    removes a file a reader is about to open (memory maps outlive the removal)."""
    if fcntl is None:  # no advisory locks on this platform
        yield
        return
    fd = lock_folder(directory, shared=not exclusive)
    try:
        yield
    finally:
        os.close(fd)  # closing releases the lock


def has_file_locks() -> bool:
    """Whether this platform has advisory file locks (``lock_folder`` only opens without)."""
    return fcntl is not None


def lock_folder(folder: Path, *, shared: bool = False, wait: bool = True) -> int:
    """Open ``folder`` and take its advisory lock, exclusive unless ``shared``; without
    ``wait`` a lock held elsewhere raises BlockingIOError at once. On a platform without
    advisory locks the folder is only opened. Returns the descriptor whose closing
    releases the lock."""
    fd = os.open(folder, os.O_RDONLY | getattr(os, "O_DIRECTORY", 0))
    if fcntl is None:
        return fd
    operation = fcntl.LOCK_SH if shared else fcntl.LOCK_EX
    try:
        fcntl.flock(fd, operation if wait else operation | fcntl.LOCK_NB)
    except BaseException:
        os.close(fd)
        raise
    return fd
