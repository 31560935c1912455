"""The store's segment files: immutable row blocks of a dataset in NumPy's ``.npy`` format
(row-major), named after their dataset, checked by header and size before any is read,
and checksummed over their data bytes.

A segment's record in the metadata is ``{"file", "rows", "cols" (tables only), "xxh3_128"}``;
stores written before checksums were recorded have none and are checked by structure only.
"""

from __future__ import annotations

import io
import mmap
import os
import re
import secrets
from collections.abc import Mapping
from pathlib import Path
from typing import Any, BinaryIO

import numpy as np
import xxhash

from lumora._atomicio import DeferredSyncs, write_atomic
from lumora.exceptions import KestrelError

__all__ = [
    "CHECKSUM",
    "SEGMENT_FILE",
    "file_checksum",
    "map_segment",
    "read_segment",
    "segment_file_problem",
    "segment_path",
    "segment_stem",
    "truncate_segments",
    "write_segment",
]

# Segment files this store writes: "<stem>.<12 hex digits>.npy". Only such names are
# read from metadata or removed by the clean-up, so a crafted metadata file cannot make
# the store read or delete anything else.
SEGMENT_FILE = re.compile(r"^[A-Za-z0-9_][A-Za-z0-9_.\-]{0,160}\.[0-9a-f]{12}\.npy$")
_UNSAFE_STEM_CHAR = re.compile(r"[^A-Za-z0-9_.\-]")
_READ_CHUNK = 1 << 30
# Rows are written in blocks of about this many bytes (each block converted to row-major
# on its own), which bounds the extra memory of writing a column-major table; a block
# this size stays in the cache between its copy, its checksum and its write.
_WRITE_BLOCK_BYTES = 1 << 22
# The columns of a column-major block made row-major at a time (see ``_row_major_copy``).
_COPY_COLUMNS = 512
# Content checksum of a segment's data bytes (the array after the .npy header), recorded in
# the segment's metadata entry. XXH3 hashes at about the speed the bytes are read.
CHECKSUM = "xxh3_128"


# ---- names ---------------------------------------------------------------------------


def segment_stem(key: str) -> str:
    """The start of the names of a dataset's segment files: a store's file names follow from
    its keys, so metadata naming another dataset's file is damage."""
    stem = _UNSAFE_STEM_CHAR.sub("_", key)[:160]
    if not stem or not (stem[0].isalnum() or stem[0] == "_"):
        stem = "_" + stem[:159]
    return stem


def _segment_file_name(key: str) -> str:
    return f"{segment_stem(key)}.{secrets.token_hex(6)}.npy"


def segment_path(store_dir: Path, segment: Mapping[str, Any]) -> Path:
    """The path of a segment file in ``store_dir``; KestrelError for a name this store
    would never write."""
    name = segment.get("file")
    if not isinstance(name, str) or not SEGMENT_FILE.match(name):
        raise KestrelError(f"回测数据元信息中的文件名无效: {name!r}")
    return store_dir / name


def truncate_segments(segments: list[dict[str, Any]], keep: int) -> list[dict[str, Any]]:
    """The segments holding the first ``keep`` rows, the last one cut short if needed."""
    out = []
    remaining = keep
    for segment in segments:
        if remaining <= 0:
            break
        rows = int(segment["rows"])
        out.append(segment if rows <= remaining else {**segment, "rows": remaining})
        remaining -= rows
    return out


# ---- headers and checks --------------------------------------------------------------


def _npy_header(fh: BinaryIO) -> tuple[tuple[int, ...], bool, np.dtype]:
    """Shape, Fortran order and dtype of a .npy file's header. numpy parses the header as a
    Python literal, and garbled bytes fail in many ways (a tokenizer or syntax error among
    them): every one is a ValueError here, the store's own "unreadable header"."""
    try:
        version = np.lib.format.read_magic(fh)
        if version == (1, 0):
            return np.lib.format.read_array_header_1_0(fh)
        return np.lib.format.read_array_header_2_0(fh)
    except OSError:
        raise
    except Exception as error:  # noqa: BLE001 - any parse failure is an unreadable header
        raise ValueError(f"unreadable .npy header: {type(error).__name__}: {error}") from None


def segment_file_problem(
    path: Path, rows: int, cols: tuple[int, ...], dtype: np.dtype
) -> str | None:
    """What is wrong with a segment file that should hold at least ``rows`` rows of
    ``cols`` columns of ``dtype``, judged by its header and size; None when nothing."""
    try:
        with open(path, "rb", buffering=0) as fh:
            shape, fortran, found = _npy_header(fh)
            data_start = fh.tell()
            size = os.fstat(fh.fileno()).st_size
    except FileNotFoundError:
        return "文件不存在"
    except (OSError, ValueError) as error:
        return f"文件头无法读取: {error}"
    if found != dtype or (fortran and len(shape) > 1):
        return f"文件类型为 {found},应为 {dtype}"
    if len(shape) != 1 + len(cols) or tuple(shape[1:]) != cols or shape[0] < rows:
        return f"文件形状为 {shape},应至少 {(rows, *cols)}"
    if size != data_start + int(np.prod(shape)) * dtype.itemsize:
        return f"文件大小 {size} 字节与文件头不符 (截断或损坏)"
    return None


def file_checksum(path: Path) -> str | None:
    """Checksum of the data bytes of a segment file (None when it cannot be read). The
    file is memory-mapped and hashed in place, without copying it."""
    try:
        with open(path, "rb", buffering=0) as fh:
            _npy_header(fh)
            start = fh.tell()
            with (
                mmap.mmap(fh.fileno(), 0, access=mmap.ACCESS_READ) as mapped,
                memoryview(mapped) as view,
            ):
                return xxhash.xxh3_128_hexdigest(view[start:])
    except (OSError, ValueError):
        return None


def _check_header(
    path: Path,
    shape: tuple[int, ...],
    fortran: bool,
    found: np.dtype,
    segment: Mapping[str, Any],
    dtype: np.dtype,
    width: int | None,
) -> None:
    expected_cols = () if width is None else (segment.get("cols"),)
    if (
        found != dtype
        or fortran
        or len(shape) != 1 + len(expected_cols)
        or tuple(shape[1:]) != expected_cols
        or shape[0] < int(segment["rows"])
    ):
        raise KestrelError(f"回测数据文件与元信息不一致: {path}")


# ---- reading -------------------------------------------------------------------------


def _read_exact(fh: io.RawIOBase | io.BufferedIOBase, target: np.ndarray, path: Path) -> None:
    view = target.data.cast("B")
    done = 0
    while done < len(view):
        got = fh.readinto(view[done : done + _READ_CHUNK])
        if not got:
            raise KestrelError(f"回测数据文件不完整: {path}")
        done += got


def map_segment(
    store_dir: Path, segment: Mapping[str, Any], dtype: np.dtype, width: int | None
) -> np.ndarray:
    """A segment file memory-mapped read-only, its header checked against its record."""
    path = segment_path(store_dir, segment)
    array: np.ndarray = np.load(path, mmap_mode="r", allow_pickle=False)
    _check_header(
        path,
        array.shape,
        not array.flags.c_contiguous and array.ndim > 1,
        array.dtype,
        segment,
        dtype,
        width,
    )
    return array


def read_segment(
    store_dir: Path, segment: Mapping[str, Any], dtype: np.dtype, first: int, target: np.ndarray
) -> None:
    """The rows of one segment file from row ``first`` on into ``target`` (as many as it
    holds), reading only those bytes."""
    path = segment_path(store_dir, segment)
    width = target.shape[1] if target.ndim == 2 else None
    with open(path, "rb", buffering=0) as fh:
        shape, fortran, found = _npy_header(fh)
        _check_header(path, shape, fortran, found, segment, dtype, width)
        row_bytes = dtype.itemsize * (width or 1)
        fh.seek(fh.tell() + first * row_bytes)
        if target.flags.c_contiguous:
            _read_exact(fh, target, path)
        else:
            part = np.empty(target.shape, dtype=dtype)
            _read_exact(fh, part, path)
            target[...] = part


# ---- writing -------------------------------------------------------------------------


def _reserve(fh: BinaryIO, size: int) -> None:
    """Reserves ``size`` bytes for a file about to be written whole: the file system then
    allocates its blocks at once instead of page by page as the bytes arrive (a third of
    the write's CPU time on ext4). Where it cannot, the bytes are written all the same."""
    reserve = getattr(os, "posix_fallocate", None)
    if reserve is None or size <= 0:
        return
    fh.flush()
    try:
        reserve(fh.fileno(), 0, size)
    except OSError:
        pass  # a file system without it (the write itself reports a full disk)


def _row_major_copy(block: np.ndarray, out: np.ndarray) -> np.ndarray:
    """``block`` copied into the row-major ``out`` a few hundred columns at a time: a
    column-major table's columns lie far apart, and copying all of a row's cells at once
    touches a memory page per column (three times slower at 5,000 columns)."""
    if block.ndim != 2:
        np.copyto(out, block)
        return out
    for first in range(0, block.shape[1], _COPY_COLUMNS):
        columns = slice(first, first + _COPY_COLUMNS)
        np.copyto(out[:, columns], block[:, columns])
    return out


def write_segment(
    store_dir: Path, key: str, values: np.ndarray, syncs: DeferredSyncs | None = None
) -> dict[str, Any]:
    """Write ``values`` as a new row-major segment file of dataset ``key`` and return its
    record (with ``syncs``, synced to disk in the background: see ``write_atomic``).

    The rows go out a block at a time, each block made row-major on its own in one
    buffer used again for every block, so a column-major table (pandas' own layout) is
    never copied whole and the copy touches no fresh memory; the file's size is reserved
    before it is written."""
    values = np.asarray(values)
    name = _segment_file_name(key)
    digest = xxhash.xxh3_128()
    header = {
        "descr": np.lib.format.dtype_to_descr(values.dtype),
        "fortran_order": False,
        "shape": values.shape,
    }
    row_bytes = max(values.dtype.itemsize * int(np.prod(values.shape[1:])), 1)
    step = max(_WRITE_BLOCK_BYTES // row_bytes, 1)
    rows = values.shape[0]
    buffer = None
    if not values.flags.c_contiguous:
        buffer = np.empty((min(step, rows), *values.shape[1:]), values.dtype)

    def write(fh: BinaryIO) -> None:
        np.lib.format.write_array_header_1_0(fh, header)
        _reserve(fh, fh.tell() + values.nbytes)
        for start in range(0, rows, step):
            part = values[start : start + step]
            if buffer is not None:
                part = _row_major_copy(part, buffer[: part.shape[0]])
            block = np.ascontiguousarray(part).data.cast("B")
            digest.update(block)
            fh.write(block)

    write_atomic(store_dir / name, write, sync_directory=False, syncs=syncs)
    segment: dict[str, Any] = {"file": name, "rows": int(values.shape[0])}
    segment[CHECKSUM] = digest.hexdigest()
    if values.ndim == 2:
        segment["cols"] = int(values.shape[1])
    return segment
