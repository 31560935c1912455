"""Files that appear whole or not at all.

A file is written to a hidden temporary file beside its target, flushed and synced to
disk, then renamed over the target: a reader (or a crash) sees the old file or the new
one, never a part. Temporary names start with ``TEMP_PREFIX``, so a clean-up can tell
them from real files.
"""

from __future__ import annotations

import contextlib
import os
import secrets
from collections.abc import Callable
from pathlib import Path
from typing import BinaryIO

TEMP_PREFIX = ".tmp-"


def temp_path(target: str | os.PathLike[str]) -> Path:
    """A fresh hidden name in the folder of ``target``: ``.tmp-<16 hex digits>-<name>``."""
    target = Path(target)
    return target.with_name(f"{TEMP_PREFIX}{secrets.token_hex(8)}-{target.name}")


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


def write_atomic(
    target: str | os.PathLike[str],
    write: Callable[[BinaryIO], object],
    *,
    sync_directory: bool = True,
) -> None:
    """Write ``target`` through ``write(file)`` on a temporary sibling, then rename it over
    ``target``. On any failure the temporary file is removed and ``target`` is untouched.

    ``sync_directory`` also makes the rename durable; a caller renaming several files
    into one folder may pass False and call ``fsync_directory`` once."""
    target = Path(target)
    temp = temp_path(target)
    fd = os.open(temp, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
    try:
        with os.fdopen(fd, "wb") as fh:
            write(fh)
            fh.flush()
            os.fsync(fh.fileno())
        os.replace(temp, target)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temp)
        raise
    if sync_directory:
        fsync_directory(target.parent)
