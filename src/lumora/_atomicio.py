"""Files that appear whole or not at all.

A file is written to a hidden temporary file beside its target, flushed and synced to
disk, then renamed over the target: a reader (or a crash) sees the old file or the new
one, never a part. Temporary names start with ``TEMP_PREFIX``, so a clean-up can tell
them from real files. Names made beside a target are short whatever the target's name, so
that every name the file system takes can be written.
"""

from __future__ import annotations

import contextlib
import hashlib
import os
import secrets
from collections.abc import Callable
from concurrent.futures import Future, ThreadPoolExecutor
from pathlib import Path
from typing import BinaryIO

TEMP_PREFIX = ".tmp-"
# A target's name is kept whole in its siblings' names up to this many bytes.
_WHOLE_NAME_BYTES = 40


def temp_path(target: str | os.PathLike[str]) -> Path:
    """A fresh hidden name in the folder of ``target``: ``.tmp-<16 hex digits>``."""
    return Path(target).with_name(f"{TEMP_PREFIX}{secrets.token_hex(8)}")


def sibling_prefix(name: str, marker: str) -> str:
    """The start of the hidden names that belong to the file or folder ``name`` beside it
    (its staging folders, its data set aside): ``.<name><marker>``. A name of more than 40
    bytes is cut short and told apart by a hash of it, so that a random suffix still fits
    after a name as long as the file system allows."""
    encoded = os.fsencode(name)
    if len(encoded) <= _WHOLE_NAME_BYTES:
        return f".{name}{marker}"
    return f".{name[:10]}~{hashlib.sha256(encoded).hexdigest()[:16]}{marker}"


def fsync_directory(directory: str | os.PathLike[str]) -> None:
    """Make the renames inside ``directory`` durable (where the platform allows it)."""
    try:
        fd = os.open(directory, os.O_RDONLY | getattr(os, "O_DIRECTORY", 0))
    except OSError:
        return
    try:
        os.fsync(fd)
    except OSError:
        pass
    finally:
        os.close(fd)


class DeferredSyncs:
    """Files synced to disk on one background thread while their writer goes on.

    Waiting on the disk for each file in turn is time the writer could spend making the
    next one (about 40 ms per 100 MB here); the data is already in the page cache, so the
    sync is the only part left to do. ``add(fd)`` takes a duplicate of ``fd``; ``wait()``
    returns once every file added is durable and raises the first failure; ``close()``
    waits without raising (for a writer giving up). Nothing may name a file added here
    before ``wait()`` returned."""

    def __init__(self) -> None:
        self._pool: ThreadPoolExecutor | None = None
        self._pending: list[Future[None]] = []

    def add(self, fd: int) -> None:
        if self._pool is None:
            self._pool = ThreadPoolExecutor(max_workers=1, thread_name_prefix="lumora-sync")
        own = os.dup(fd)
        try:
            self._pending.append(self._pool.submit(_sync_and_close, own))
        except BaseException:
            os.close(own)
            raise

    def wait(self) -> None:
        pending, self._pending = self._pending, []
        if self._pool is not None:
            self._pool.shutdown(wait=True)  # every sync has ended, failed or not
            self._pool = None
        for done in pending:
            done.result()  # the first failure

    def close(self) -> None:
        with contextlib.suppress(Exception):
            self.wait()


def _sync_and_close(fd: int) -> None:
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def write_atomic(
    target: str | os.PathLike[str],
    write: Callable[[BinaryIO], object],
    *,
    sync_directory: bool = True,
    syncs: DeferredSyncs | None = None,
) -> None:
    """Write ``target`` through ``write(file)`` on a temporary sibling, then rename it over
    ``target``. On any failure the temporary file is removed and ``target`` is untouched.

    ``sync_directory`` also makes the rename durable; a caller renaming several files
    into one folder may pass False and call ``fsync_directory`` once. With ``syncs`` the
    file's sync is handed to it and ``target`` is renamed at once, before its data is
    durable: only for a new file that nothing names until ``syncs.wait()`` returned."""
    target = Path(target)
    temp = temp_path(target)
    fd = os.open(temp, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
    try:
        with os.fdopen(fd, "wb") as fh:
            write(fh)
            fh.flush()
            if syncs is None:
                os.fsync(fh.fileno())
            else:
                syncs.add(fh.fileno())
        os.replace(temp, target)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temp)
        raise
    if sync_directory:
        fsync_directory(target.parent)
