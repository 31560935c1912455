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

import bz2
import contextlib
import dataclasses
import glob
import gzip
import hashlib
import io
import lzma
import os
import re
import secrets
import shutil
import tarfile
import tempfile
import time
import urllib.parse
import zlib
from collections.abc import Callable, Iterator, Mapping
from pathlib import Path
from typing import Any, BinaryIO, NamedTuple, Protocol

from lumora._atomicio import fsync_directory as _fsync_directory
from lumora._atomicio import sibling_prefix
from lumora.backtest._folder_lock import directory_lock as _directory_lock
from lumora.backtest._folder_lock import has_file_locks, lock_folder
from lumora.backtest._store import BinaryPreparedDataStoreBase
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
    record: Callable[[], Mapping[str, Any]] | None = None,
) -> None:
    """Download the full data package and unpack it into ``directory``; ``http`` is the
    data service's client, or a ``PackageFeed`` that delivers the package another way.
    ``record`` gives the source record the store lands with (see ``install_package``).

    Afterwards the package's files lie directly in ``directory`` (a single top-level
    folder of the archive is stripped); files of the package replace same-named ones,
    other files already there are left alone.

    Raises:
        NetworkError: when the descriptor or the archive cannot be fetched.
        KestrelError: for an invalid descriptor (download address, size or checksum), an
            archive whose size or SHA-256 differs from the descriptor, a corrupt archive,
            a member that is not a regular file or directory, whose name holds a NUL, is
            too long or would land outside the directory, an archive that unpacks beyond
            its limits (members and header records, bytes, header records' own size), and
            a package whose store is unreadable or damaged or that ``validate`` (called
            with the unpacked store's folder) refuses. The data directory is then left
            untouched.
    """
    if http is None:
        raise KestrelError(
            "未配置数据服务客户端,请先调用 lumora.init(base_url, api_key, api_secret) "
            "或 lumora.init_sandbox()"
        )
    feed = http if isinstance(http, PackageFeed) else _Download(http)
    install_package(feed, directory, validate=validate, record=record)


def install_package(
    feed: PackageFeed,
    directory: str | os.PathLike[str],
    *,
    validate: Callable[[Path], object] | None = None,
    record: Callable[[], Mapping[str, Any]] | None = None,
) -> None:
    """The package ``feed`` delivers, checked in a hidden staging folder beside
    ``directory`` (a readable, sound store that ``validate`` accepts), then moved into
    ``directory`` under the store's writer lock. Whatever fails leaves ``directory`` as it
    was; the feed's own errors pass through unchanged.

    ``record()``, asked once the package is delivered and checked, gives the source record
    ("source", "source_fingerprint") written into the package's metadata before it moves:
    the metadata file lands last, so the store and its record land together."""
    target = Path(directory).absolute()
    # Stage beside the real directory (through a symlink, if any) so the final moves
    # are renames within one file system.
    parent = target.resolve().parent
    parent.mkdir(parents=True, exist_ok=True)
    remove_abandoned_staging(target)
    with claimed_folder(parent, sibling_prefix(target.name, _STAGING_PREFIX)) as staging:
        unpacked = staging / "unpacked"
        unpacked.mkdir()
        feed.deliver(unpacked)
        flatten_single_subdir(unpacked)
        _check_store(unpacked)
        if validate is not None:
            validate(unpacked)
        if record is not None:
            BinaryPreparedDataStoreBase(unpacked, {}, 1, "float64").write_source_record(record())
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
        remove_abandoned(parent, glob.escape(sibling_prefix(target.name, _STAGING_PREFIX)) + "*")


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
    path = target.with_name(sibling_prefix(target.name, _SET_ASIDE_MARKER) + secrets.token_hex(4))
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
    aside = sibling_prefix(target.name, _SET_ASIDE_MARKER)
    remove_abandoned(target.parent, glob.escape(aside) + "*")


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
#
# The archive is read by a small tar reader of our own rather than by `tarfile`, whose
# reader takes every pax header and GNU long name whole into memory (a header of hundreds
# of megabytes in a package of one), scans pax headers with a regular expression that
# takes quadratic time, and cuts names at a NUL byte. Ours accepts what a store package
# holds: regular files and directories, named by ustar headers, pax extended headers or
# GNU long names, plain or compressed with gzip, bzip2 or xz. Each 512-byte header is
# decoded by `tarfile.TarInfo.frombuf` (checksum, numbers, ustar prefix); everything the
# header announces is bounded before a byte of it is read.

_PACKAGE = "回测基准数据包"
_CORRUPT = f"{_PACKAGE}已损坏或不安全"
_BLOCK = tarfile.BLOCKSIZE
_REGULAR_TYPES = frozenset({tarfile.REGTYPE, tarfile.AREGTYPE, tarfile.CONTTYPE})
_PAX_TYPES = frozenset({tarfile.XHDTYPE, tarfile.SOLARIS_XHDTYPE})
_RECORD_TYPES = _PAX_TYPES | {tarfile.XGLTYPE, tarfile.GNUTYPE_LONGNAME}
_LINK_TYPES = frozenset({tarfile.SYMTYPE, tarfile.LNKTYPE, tarfile.GNUTYPE_LONGLINK})
_POSIX_MAGIC = b"ustar\x00"
# A header record that describes the next member (a pax header, a GNU long name) is
# held in memory until that member: at most this many bytes each, at most one of each
# kind per member, and the global pax values at most this many bytes together. Each
# record counts as a member and its bytes count against the unpacked size.
_MAX_HEADER_RECORD = 64 << 10
# Longest name of one path component on common file systems, and of a whole member
# (the store's own files have names of a few dozen characters).
_NAME_MAX = 255
_MEMBER_NAME_MAX = 1024
# Decompressed bytes beyond the counted ones: each record's header and padding, and
# what follows the end of the archive.
_TRAILING_MAX = 1 << 20
# Member data is copied in pieces of this size (larger ones were slower: they leave the
# processor's cache).
_COPY_CHUNK = 64 << 10
_COMPRESSION_MAGIC = {b"\x1f\x8b": "gzip", b"BZh": "bzip2", b"\xfd7zXZ\x00": "xz"}


def _free_bytes(folder: Path) -> int:
    return shutil.disk_usage(folder).free


def _limit_error(limit: int) -> KestrelError:
    return KestrelError(
        f"{_PACKAGE}解压后超出限制 (最多 {_MAX_MEMBERS} 个文件、{limit} 字节),已拒绝"
    )


def _unpack(archive: Path, destination: Path, limit: int) -> None:
    """Unpack in one pass, checking each member before it is written: at most ``limit``
    bytes of members and header records in at most ``_MAX_MEMBERS`` records, and the
    decompressed stream bounded accordingly. A refusal midway leaves earlier members in
    the staging directory only, which the caller discards."""
    cap = limit + 2 * _BLOCK * (_MAX_MEMBERS + 2) + _TRAILING_MAX
    with _ArchiveStream.reading(archive, cap, _limit_error(limit)) as stream:
        reader = _TarReader(stream, limit)
        while (member := reader.next_member()) is not None:
            _check_member(member, destination)
            _extract(reader, member, destination)
        stream.drain()  # to the end: a damaged compressed stream fails here


class _ArchiveStream:
    """The archive's tar bytes, decompressed, refused once more than ``cap`` bytes have
    come out, so that a small compressed archive cannot be decompressed without end.
    Decompression errors are a corrupt package."""

    def __init__(self, source: io.BufferedIOBase, cap: int, over_cap: KestrelError) -> None:
        self._source = source
        self._cap = cap
        self._over_cap = over_cap
        self._count = 0

    @classmethod
    @contextlib.contextmanager
    def reading(cls, archive: Path, cap: int, over_cap: KestrelError) -> Iterator[_ArchiveStream]:
        with contextlib.ExitStack() as stack:
            raw = stack.enter_context(open(archive, "rb"))
            magic = raw.read(6)
            raw.seek(0)
            kind = next((k for m, k in _COMPRESSION_MAGIC.items() if magic.startswith(m)), "")
            source: io.BufferedIOBase = raw
            if kind == "gzip":  # gzip's own reader checks the trailer's checksum
                source = stack.enter_context(gzip.GzipFile(fileobj=raw))
            elif kind == "bzip2":
                source = stack.enter_context(bz2.BZ2File(raw))
            elif kind == "xz":
                source = stack.enter_context(lzma.LZMAFile(raw))
            yield cls(source, cap, over_cap)

    def read(self, size: int) -> bytes:
        """Up to ``size`` bytes; fewer only at the end of the stream."""
        chunks: list[bytes] = []
        wanted = size
        while wanted > 0:
            try:
                chunk = self._source.read(wanted)
            except (OSError, EOFError, zlib.error, lzma.LZMAError) as exc:
                raise KestrelError(f"{_CORRUPT}: {exc}") from None
            if not chunk:
                break
            self._count += len(chunk)
            if self._count > self._cap:
                raise self._over_cap
            chunks.append(chunk)
            wanted -= len(chunk)
        return b"".join(chunks)

    def exact(self, size: int) -> bytes:
        data = self.read(size)
        if len(data) != size:
            raise KestrelError(f"{_CORRUPT}: 数据意外结束")
        return data

    def drain(self) -> None:
        while self.read(_COPY_CHUNK):
            pass


@dataclasses.dataclass(frozen=True)
class _Member:
    name: str
    type: bytes
    size: int

    def isdir(self) -> bool:
        return self.type == tarfile.DIRTYPE

    def isreg(self) -> bool:
        return self.type in _REGULAR_TYPES


class _TarReader:
    """The members of a tar stream, one at a time: ``next_member`` reads the header
    records up to the next member, whose data the caller then copies with ``copy_data``
    (data left unread is skipped)."""

    def __init__(self, stream: _ArchiveStream, limit: int) -> None:
        self._stream = stream
        self._limit = limit
        self._records = 0
        self._bytes = 0
        self._unread = 0  # bytes of the current member not yet read, padding included
        self._data_left = 0
        self._global: dict[str, str] = {}

    def next_member(self) -> _Member | None:
        """The next member (None at the end of the archive), its header records applied."""
        self._skip_unread()
        pax: dict[str, str] | None = None
        long_name: str | None = None
        while True:
            block = self._stream.read(_BLOCK)
            if not block or block.count(0) == _BLOCK:
                if pax is not None or long_name is not None:
                    raise KestrelError(f"{_CORRUPT}: 扩展头之后缺少文件")
                return None  # the end of the archive (or of the stream at a member's end)
            if len(block) != _BLOCK:
                raise KestrelError(f"{_CORRUPT}: 文件头不完整")
            header = self._header(block)
            if header.type in _RECORD_TYPES:
                data = self._record_data(header)
                if header.type == tarfile.XGLTYPE:
                    self._global.update(_pax_records(data))
                    if sum(len(k) + len(v) for k, v in self._global.items()) > _MAX_HEADER_RECORD:
                        raise KestrelError(f"{_PACKAGE}的全局扩展头过大,已拒绝")
                elif header.type == tarfile.GNUTYPE_LONGNAME:
                    if long_name is not None:
                        raise KestrelError(f"{_CORRUPT}: 一个文件有多个长文件名")
                    long_name = _long_name(data)
                else:
                    if pax is not None:
                        raise KestrelError(f"{_CORRUPT}: 一个文件有多个扩展头")
                    pax = _pax_records(data)
                continue
            return self._member(header, block, {**self._global, **(pax or {})}, long_name)

    def copy_data(self, out: BinaryIO) -> None:
        """Write the current member's data to ``out``."""
        while self._data_left:
            chunk = self._stream.exact(min(self._data_left, _COPY_CHUNK))
            out.write(chunk)
            self._data_left -= len(chunk)
            self._unread -= len(chunk)

    def _skip_unread(self) -> None:
        while self._unread:
            self._unread -= len(self._stream.exact(min(self._unread, _COPY_CHUNK)))
        self._data_left = 0

    def _header(self, block: bytes) -> tarfile.TarInfo:
        """One header record, counted against the member limit."""
        self._records += 1
        if self._records > _MAX_MEMBERS:
            raise _limit_error(self._limit)
        try:
            header = tarfile.TarInfo.frombuf(block, "utf-8", "surrogateescape")
        except tarfile.HeaderError as exc:
            raise KestrelError(f"{_CORRUPT}: {exc}") from None
        if header.size < 0:
            raise KestrelError(f"{_CORRUPT}: 文件大小无效")
        return header

    def _count(self, size: int) -> None:
        self._bytes += size
        if self._bytes > self._limit:
            raise _limit_error(self._limit)

    def _record_data(self, header: tarfile.TarInfo) -> bytes:
        """The content of a header record, refused before it is read when it is too big."""
        if header.size > _MAX_HEADER_RECORD:
            raise KestrelError(
                f"{_PACKAGE}含有过大的扩展头 ({header.size} 字节,最多 {_MAX_HEADER_RECORD} 字节),已拒绝"
            )
        self._count(header.size)
        data = self._stream.exact(header.size + -header.size % _BLOCK)
        return data[: header.size]

    def _member(
        self, header: tarfile.TarInfo, block: bytes, pax: dict[str, str], long_name: str | None
    ) -> _Member:
        """The member of ``header`` as the records before it describe it: its name from the
        pax path, the GNU long name or the header (which must not hold a NUL before its
        end: the name would be cut short there), its size from the pax size or the header.
        Links and sparse files are refused here, before their records are read further."""
        pax = {keyword: value for keyword, value in pax.items() if value}  # "" unsets
        name = pax.get("path") or long_name
        if name is None:
            name = header.name
            fields = [block[0:100]] + ([block[345:500]] if block[257:263] == _POSIX_MAGIC else [])
            if any(b"\x00" in field.rstrip(b"\x00") for field in fields):
                raise _nul_in_name(block[0:100].rstrip(b"\x00"))
        if header.type in _LINK_TYPES:
            raise KestrelError(f"{_PACKAGE}含有不允许的链接: {name!r}")
        if header.type == tarfile.GNUTYPE_SPARSE or any(k.startswith("GNU.sparse.") for k in pax):
            raise KestrelError(f"{_PACKAGE}含有不允许的稀疏文件: {name!r}")
        kind = header.type
        if kind == tarfile.AREGTYPE and name.endswith("/"):
            kind = tarfile.DIRTYPE  # the old way of marking a directory
        if kind == tarfile.DIRTYPE:
            name = name.rstrip("/") or name
        size = header.size
        if "size" in pax:
            text = pax["size"]
            if not (text.isascii() and text.isdigit() and len(text) <= 20):
                raise KestrelError(f"{_CORRUPT}: 扩展头的文件大小无效: {text[:40]!r}")
            size = int(text)
        member = _Member(name, kind, size)
        if member.isreg():
            self._count(size)
            self._data_left = size
            self._unread = size + -size % _BLOCK
        elif size and member.isdir():
            raise KestrelError(f"{_CORRUPT}: 目录 {name!r} 带有数据")
        return member


def _long_name(data: bytes) -> str:
    """A GNU long name: the bytes before the NUL that ends it."""
    text = data.rstrip(b"\x00")
    if b"\x00" in text:
        raise _nul_in_name(text)
    return text.decode("utf-8", "surrogateescape")


def _nul_in_name(name: bytes | str) -> KestrelError:
    shown = name.decode("utf-8", "surrogateescape") if isinstance(name, bytes) else name
    return KestrelError(f"{_PACKAGE}含有带空字符的文件名: {shown!r}")


def _pax_records(data: bytes) -> dict[str, str]:
    """The keyword=value records of a pax extended header, each ``<length>
    <keyword>=<value>\\n`` with the length counting the whole record, in one pass;
    anything else (NUL padding aside) is a corrupt package."""
    records: dict[str, str] = {}
    position = 0
    while position < len(data) and data[position] != 0:
        space = data.find(b" ", position, position + 21)
        digits = data[position:space]
        length = int(digits) if space > position and digits.isdigit() else 0
        record = data[space + 1 : position + length]
        keyword, equals, value = record[:-1].partition(b"=")
        if position + length > len(data) or not record.endswith(b"\n") or not equals or not keyword:
            raise KestrelError(f"{_CORRUPT}: 扩展头格式无效")
        records[keyword.decode("utf-8", "surrogateescape")] = value.decode(
            "utf-8", "surrogateescape"
        )
        position += length
    if data.count(0, position) != len(data) - position:
        raise KestrelError(f"{_CORRUPT}: 扩展头格式无效")
    return records


def _check_member(member: _Member, destination: Path) -> None:
    """Refuse anything but plain files and directories with names that stay inside
    ``destination``."""
    name = member.name
    if not (member.isreg() or member.isdir()):
        raise KestrelError(f"{_PACKAGE}含有不允许的特殊文件: {name!r}")
    if "\x00" in name:
        raise _nul_in_name(name)
    parts = re.split(r"[\\/]+", name)
    if not name or name.startswith(("/", "\\")) or _DRIVE.match(name) or ".." in parts:
        raise KestrelError(f"{_PACKAGE}含有越出数据目录的路径: {name!r}")
    encoded = os.fsencode(name)
    if len(encoded) > _MEMBER_NAME_MAX or any(len(os.fsencode(p)) > _NAME_MAX for p in parts):
        raise KestrelError(f"{_PACKAGE}含有过长的文件名: {name[:80]!r}… ({len(encoded)} 字节)")
    root = os.path.realpath(destination)
    landing = os.path.realpath(os.path.join(root, name))
    inside = landing.startswith(root + os.sep) or (landing == root and member.isdir())
    if not inside:
        raise KestrelError(f"{_PACKAGE}含有越出数据目录的路径: {name!r}")


def _extract(reader: _TarReader, member: _Member, destination: Path) -> None:
    """Write a checked member below ``destination``: a directory, or a new file (a name
    that is already there is a package that names one path twice)."""
    path = os.path.join(destination, member.name)
    try:
        if member.isdir():
            os.makedirs(path, exist_ok=True)
            return
        os.makedirs(os.path.dirname(path), exist_ok=True)
        flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_NOFOLLOW", 0)
        fd = os.open(path, flags | getattr(os, "O_BINARY", 0), 0o666)
    except (FileExistsError, NotADirectoryError, IsADirectoryError):
        raise KestrelError(f"{_PACKAGE}含有重复或相互冲突的路径: {member.name!r}") from None
    with os.fdopen(fd, "wb") as out:
        reader.copy_data(out)


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
