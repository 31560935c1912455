"""Download of the full benchmark data package.

The data service describes the package at ``PACKAGE_DESCRIPTOR_PATH`` with a JSON object
``{"url": ..., "size": <bytes>, "sha256": <hex>}``; ``url`` is a path below the service or
an absolute http(s) URL. ``download_benchmark_package`` fetches the archive (a tar, usually
gzip-compressed, of a store directory, commonly inside one top-level folder), checks its
size and checksum, checks every member, unpacks it and moves the result into the data
directory. All of this happens in a hidden staging directory beside the data directory,
so a failed, truncated or hostile download leaves the data directory as it was.

The file steps of a preparation live here too: its lock, and the setting aside of
incomplete local data while a new package is fetched.
"""

from __future__ import annotations

import contextlib
import glob
import gzip
import hashlib
import io
import os
import re
import secrets
import shutil
import tarfile
import tempfile
import time
import urllib.parse
import zlib
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import Any, BinaryIO, NamedTuple, Protocol

from lumora._atomicio import fsync_directory as _fsync_directory
from lumora.backtest._store import (
    BinaryPreparedDataStoreBase,
    _directory_lock,
    has_file_locks,
    lock_folder,
)
from lumora.exceptions import KestrelError

__all__ = [
    "PACKAGE_DESCRIPTOR_PATH",
    "PackageFeed",
    "SetAside",
    "discard",
    "download_benchmark_package",
    "flatten_single_subdir",
    "hold_folder",
    "install_package",
    "lock_preparation",
    "put_back",
    "release",
    "remove_abandoned",
    "remove_abandoned_staging",
    "remove_leftovers",
    "set_aside",
]

PACKAGE_DESCRIPTOR_PATH = "/v1/backtest/benchmark-package"
# The store's commit point: moved into place last, so an interrupted move leaves a
# directory without metadata, which the next preparation downloads afresh.
_METADATA_FILE = "metadata.pkl"
_STAGING_PREFIX = ".incoming-"
# Unpacking stops at this multiple of the archive's size (and at the free disk space), at
# this many members, and at the first sparse member: an archive cannot fill the disk.
_MAX_UNPACK_RATIO = 20
_MIN_UNPACK_LIMIT = 64 << 20
_MAX_MEMBERS = 10_000
_MISSING_METADATA = "回测基准数据包解压后缺少元信息文件"
_HASH_CHUNK = 1024 * 1024
_SHA256_HEX = re.compile(r"^[0-9a-fA-F]{64}$")
_DRIVE = re.compile(r"^[A-Za-z]:")
# Python's own extraction filter, where the release has it (3.11.4 and later).
_DATA_FILTER: dict[str, Any] = {"filter": "data"} if hasattr(tarfile, "data_filter") else {}


class _PackageClient(Protocol):
    def get_json(self, path: str) -> Any: ...

    def download(
        self,
        path_or_url: str,
        fileobj: BinaryIO,
        *,
        limit: int | None,
        total: int | None,
        description: str,
    ) -> int: ...


class PackageFeed:
    """Where a full data package comes from: ``deliver(folder)`` puts the store's files into
    the empty staging ``folder`` (directly or inside one top-level folder). The download is
    one feed; a source on this machine writes its full build straight into the folder."""

    def deliver(self, folder: Path) -> None:
        raise NotImplementedError


class _Download(PackageFeed):
    """The package of a data service: descriptor, archive, size and checksum, unpacking."""

    def __init__(self, http: _PackageClient) -> None:
        self._http = http

    def deliver(self, folder: Path) -> None:
        url, size, sha256 = _read_descriptor(self._http.get_json(PACKAGE_DESCRIPTOR_PATH))
        archive = folder.parent / "package.tar"
        with open(archive, "wb") as fh:
            received = self._http.download(
                url, fh, limit=size + 1, total=size, description="下载回测基准数据包"
            )
        _check_download(archive, received, size, sha256)
        limit = min(max(_MAX_UNPACK_RATIO * size, _MIN_UNPACK_LIMIT), _free_bytes(folder))
        _unpack(archive, folder, limit)
        archive.unlink()


def download_benchmark_package(
    http: _PackageClient | PackageFeed | None,
    directory: str | os.PathLike[str],
    *,
    validate: Callable[[Path], object] | None = None,
) -> None:
    """Download the full data package and unpack it into ``directory``; ``http`` is the
    data service's client, or a ``PackageFeed`` that delivers the package another way.

    Afterwards the package's files lie directly in ``directory`` (a single top-level
    folder of the archive is stripped); files of the package replace same-named ones,
    other files already there are left alone.

    Raises:
        NetworkError: when the descriptor or the archive cannot be fetched.
        KestrelError: for an invalid descriptor (download address, size or checksum), an
            archive whose size or SHA-256 differs from the descriptor, a corrupt archive,
            or a member that is not a regular file or directory or would land outside
            the directory, an archive that unpacks beyond its limits, and a package whose
            store is unreadable or damaged or that ``validate`` (called with the unpacked
            store's folder) refuses. The data directory is then left untouched.
    """
    if http is None:
        raise KestrelError(
            "未配置数据服务客户端,请先调用 lumora.init(base_url, api_key, api_secret) "
            "或 lumora.init_sandbox()"
        )
    feed = http if isinstance(http, PackageFeed) else _Download(http)
    install_package(feed, directory, validate=validate)


def install_package(
    feed: PackageFeed,
    directory: str | os.PathLike[str],
    *,
    validate: Callable[[Path], object] | None = None,
) -> None:
    """The package ``feed`` delivers, checked in a hidden staging folder beside
    ``directory`` (a readable, sound store that ``validate`` accepts), then moved into
    ``directory`` under the store's writer lock. Whatever fails leaves ``directory`` as it
    was; the feed's own errors pass through unchanged."""
    target = Path(directory).absolute()
    # Stage beside the real directory (through a symlink, if any) so the final moves
    # are renames within one file system.
    parent = target.resolve().parent
    parent.mkdir(parents=True, exist_ok=True)
    remove_abandoned_staging(target)
    with claimed_folder(parent, f".{target.name}{_STAGING_PREFIX}") as staging:
        unpacked = staging / "unpacked"
        unpacked.mkdir()
        feed.deliver(unpacked)
        flatten_single_subdir(unpacked)
        _check_store(unpacked)
        if validate is not None:
            validate(unpacked)
        _move_into_place(unpacked, target)


@contextlib.contextmanager
def claimed_folder(parent: Path, prefix: str) -> Iterator[Path]:
    """A new folder in ``parent``, locked while in use and removed afterwards. A folder
    is abandoned when no live process holds its lock: :func:`remove_abandoned` removes
    those left by killed processes."""
    while True:
        folder = Path(tempfile.mkdtemp(prefix=prefix, dir=parent))
        fd = hold_folder(folder)
        if fd is not None:
            break
    try:
        yield folder
    finally:
        try:
            shutil.rmtree(folder, ignore_errors=True)
        finally:
            os.close(fd)  # closing releases the lock


def hold_folder(folder: str | os.PathLike[str]) -> int | None:
    """Lock ``folder`` for this process and return the descriptor whose closing releases
    it; None when the folder is gone. Another process may find a folder unlocked and
    remove it in the moment before it is locked, so the lock is checked to hold the
    folder that is still at that path."""
    path = Path(folder)
    try:
        fd = lock_folder(path)
    except FileNotFoundError:
        return None
    try:
        if os.stat(path).st_ino == os.fstat(fd).st_ino:
            return fd
    except FileNotFoundError:
        pass
    os.close(fd)
    return None


def lock_preparation(directory: str | os.PathLike[str]) -> int:
    """Wait for and take the lock of preparing the store at ``directory``: deciding what to
    do, building or downloading, and committing happen under it, so two preparations (of
    one source or of two) never interleave, in this process or in others. Returns the
    descriptor whose closing releases the lock. The lock is held on the folder that holds
    the store (the store's own folder is moved aside while a damaged store is replaced, and
    nothing is left beside it); preparations of other stores in that folder wait too."""
    parent = Path(directory).absolute().resolve().parent
    parent.mkdir(parents=True, exist_ok=True)
    return lock_folder(parent)


def remove_abandoned_staging(directory: str | os.PathLike[str]) -> None:
    """Remove the staging folders that killed downloads into ``directory`` left behind."""
    target = Path(directory).absolute()
    parent = target.resolve().parent
    if parent.is_dir():
        remove_abandoned(parent, f".{glob.escape(target.name)}{_STAGING_PREFIX}*")


def remove_abandoned(parent: Path, pattern: str) -> None:
    """Remove the folders in ``parent`` matching ``pattern`` whose owner is gone (no live
    process holds their lock); on a platform without locks, those a day old."""
    cutoff = time.time() - 24 * 3600
    for path in parent.glob(pattern):
        with contextlib.suppress(OSError):
            if path.is_symlink() or not path.is_dir():
                continue
            if not has_file_locks() and path.stat().st_mtime > cutoff:
                continue
            # Taking the lock fails (BlockingIOError, an OSError) while the owner lives.
            fd = lock_folder(path, wait=False)
            try:
                shutil.rmtree(path)
            finally:
                os.close(fd)


def flatten_single_subdir(directory: str | os.PathLike[str]) -> bool:
    """When ``directory`` holds exactly one subdirectory and nothing else, move that
    subdirectory's entries up into ``directory`` and remove it. Returns whether it did.

    A symlink is not a subdirectory here, and a missing directory is left alone.
    """
    root = Path(directory)
    try:
        entries = list(os.scandir(root))
    except (FileNotFoundError, NotADirectoryError):
        return False
    if len(entries) != 1 or not entries[0].is_dir(follow_symlinks=False):
        return False
    # Rename the subdirectory first: it may hold an entry with its own name.
    holder = Path(tempfile.mkdtemp(prefix=_STAGING_PREFIX, dir=root))
    inner = holder / "content"
    os.rename(entries[0].path, inner)
    for entry in list(inner.iterdir()):
        os.rename(entry, root / entry.name)
    inner.rmdir()
    holder.rmdir()
    return True


# --------------------------------------------------------------------------- set aside
#
# The file steps of replacing incomplete local data (the service decides when): the data
# is moved to a hidden locked sibling, put back when the new download fails and removed
# once the new package has arrived and passed its checks, so a network fault loses
# nothing. A sibling left by a killed run is found unlocked and removed by the next run.

_SET_ASIDE_MARKER = ".replaced-"


class SetAside(NamedTuple):
    """Local data moved aside: its hidden folder and the descriptor holding its lock."""

    path: Path
    lock: int


def set_aside(directory: str | os.PathLike[str]) -> SetAside | None:
    """Move ``directory`` to a hidden sibling and lock it. When it cannot be moved it is
    removed instead, and None is returned, as when the sibling is gone before it is locked."""
    target = Path(directory)
    path = target.with_name(f".{target.name}{_SET_ASIDE_MARKER}{secrets.token_hex(4)}")
    try:
        os.rename(target, path)
    except OSError:
        shutil.rmtree(target, ignore_errors=True)
        return None
    lock = hold_folder(path)
    return None if lock is None else SetAside(path, lock)


def put_back(aside: SetAside, directory: str | os.PathLike[str]) -> None:
    """Return the data set aside to ``directory``, replacing whatever is there. It stays
    locked if it cannot be moved back, so no clean-up removes it."""
    shutil.rmtree(directory, ignore_errors=True)
    os.rename(aside.path, directory)
    release(aside.lock)


def discard(aside: SetAside) -> None:
    """Remove the data set aside: its replacement is in place."""
    shutil.rmtree(aside.path, ignore_errors=True)
    release(aside.lock)


def release(lock: int) -> None:
    """Release a lock of :func:`lock_preparation` or :func:`hold_folder`."""
    os.close(lock)


def remove_leftovers(directory: str | os.PathLike[str]) -> None:
    """Remove what killed preparations left beside ``directory`` (download staging, data
    set aside), unless a live run still holds it."""
    remove_abandoned_staging(directory)
    target = Path(directory)
    remove_abandoned(target.parent, f".{glob.escape(target.name)}{_SET_ASIDE_MARKER}*")


# --------------------------------------------------------------------------- descriptor


def _read_descriptor(descriptor: object) -> tuple[str, int, str]:
    """``(url, size, sha256)`` of a valid descriptor; KestrelError otherwise."""
    if not isinstance(descriptor, dict):
        raise KestrelError(f"回测基准数据包描述无效: {descriptor!r}")
    url, size, sha256 = descriptor.get("url"), descriptor.get("size"), descriptor.get("sha256")
    if not isinstance(url, str) or not _valid_url(url):
        raise KestrelError(f"回测基准数据包下载地址无效: {url!r}")
    if isinstance(size, bool) or not isinstance(size, int) or size < 0:
        raise KestrelError(f"回测基准数据包大小无效: {size!r}")
    if not isinstance(sha256, str) or not _SHA256_HEX.match(sha256):
        raise KestrelError(f"回测基准数据包校验值无效: {sha256!r}")
    return url, size, sha256.lower()


def _valid_url(url: object) -> bool:
    if not isinstance(url, str) or not url or any(ch in url for ch in "\x00\r\n "):
        return False
    try:
        parts = urllib.parse.urlsplit(url)
        if parts.scheme or parts.netloc:
            return parts.scheme in ("http", "https") and bool(parts.hostname)
    except ValueError:  # e.g. a malformed port
        return False
    return url.startswith("/") and not url.startswith("//")


def _check_download(archive: Path, received: int, size: int, sha256: str) -> None:
    if received != size:
        raise KestrelError(
            f"回测基准数据包大小不符: 应为 {size} 字节,实际收到 "
            f"{'超过 ' + str(size) if received > size else received} 字节"
        )
    digest = hashlib.sha256()
    with open(archive, "rb") as fh:
        while chunk := fh.read(_HASH_CHUNK):
            digest.update(chunk)
    if digest.hexdigest() != sha256:
        raise KestrelError(
            f"回测基准数据包校验失败: SHA-256 应为 {sha256},实际为 {digest.hexdigest()}"
        )


# --------------------------------------------------------------------------- unpacking


def _free_bytes(folder: Path) -> int:
    return shutil.disk_usage(folder).free


def _unpack(archive: Path, destination: Path, limit: int) -> None:
    """Unpack in one pass, checking each member before it is written, at most ``limit``
    bytes in at most ``_MAX_MEMBERS`` members. A refusal midway leaves earlier members in
    the staging directory only, which the caller discards."""
    total = 0
    try:
        with contextlib.ExitStack() as stack:
            raw = stack.enter_context(open(archive, "rb"))
            source: io.BufferedIOBase = raw
            if raw.read(2) == b"\x1f\x8b":
                # Read through gzip's own reader: its trailer checksum is checked below.
                raw.seek(0)
                source = stack.enter_context(gzip.GzipFile(fileobj=raw))
            source.seek(0)
            tar = stack.enter_context(tarfile.open(fileobj=source, mode="r|*"))
            for count, member in enumerate(tar, 1):
                _check_member(member, destination)
                total += member.size
                if count > _MAX_MEMBERS or total > limit:
                    raise KestrelError(
                        f"回测基准数据包解压后超出限制 (最多 {_MAX_MEMBERS} 个文件、"
                        f"{limit} 字节),已拒绝"
                    )
                # Directories keep their default mode, so a read-only one cannot block
                # its own files; the standard "data" filter is a second line of defence.
                tar.extract(member, destination, set_attrs=not member.isdir(), **_DATA_FILTER)
            while source.read(_HASH_CHUNK):  # to the end: a damaged stream fails here
                pass
    except (tarfile.TarError, EOFError, zlib.error, gzip.BadGzipFile) as exc:
        raise KestrelError(f"回测基准数据包已损坏或不安全: {exc}") from None


def _check_member(member: tarfile.TarInfo, destination: Path) -> None:
    """Refuse anything but plain files and directories that stay inside ``destination``."""
    name = member.name
    if member.issparse():
        raise KestrelError(f"回测基准数据包含有不允许的稀疏文件: {name!r}")
    if not (member.isreg() or member.isdir()):
        kind = "链接" if member.issym() or member.islnk() else "特殊文件"
        raise KestrelError(f"回测基准数据包含有不允许的{kind}: {name!r}")
    parts = re.split(r"[\\/]+", name)
    if (
        not name
        or "\x00" in name
        or name.startswith(("/", "\\"))
        or _DRIVE.match(name)
        or ".." in parts
    ):
        raise KestrelError(f"回测基准数据包含有越出数据目录的路径: {name!r}")
    root = os.path.realpath(destination)
    landing = os.path.realpath(os.path.join(root, name))
    if landing != root and not landing.startswith(root + os.sep):
        raise KestrelError(f"回测基准数据包含有越出数据目录的路径: {name!r}")


def _check_store(unpacked: Path) -> None:
    """Refuse a package whose store is unreadable or damaged, before anything lands."""
    store = BinaryPreparedDataStoreBase(unpacked, {}, 1, "float64")
    if not store.metadata_path.exists():
        raise KestrelError(_MISSING_METADATA)
    problems = store.verify()
    if problems:
        shown = "; ".join(problems[:3]) + (f" 等 {len(problems)} 处" if len(problems) > 3 else "")
        raise KestrelError(f"回测基准数据包已损坏: {shown}")


def _move_into_place(unpacked: Path, target: Path) -> None:
    """Move the checked package into ``target`` entry by entry, the metadata file last,
    holding the store's writer lock: no other writer's clean-up runs in between (it would
    see segments that are moved in but not yet named by any metadata)."""
    target.mkdir(parents=True, exist_ok=True)
    with _directory_lock(target, exclusive=True):
        entries = sorted(unpacked.iterdir(), key=lambda entry: entry.name == _METADATA_FILE)
        for entry in entries:
            _land(entry, target / entry.name)
        _fsync_directory(target)


def _land(entry: Path, destination: Path) -> None:
    if destination.is_dir() and not destination.is_symlink():
        shutil.rmtree(destination)
    elif os.path.lexists(destination) and entry.is_dir():
        destination.unlink()
    os.replace(entry, destination)
