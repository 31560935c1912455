"""The store's metadata file: read back with an allow-list of plain built-in types (a store
directory may come from a download), written only as such types, and the version digest of
the data it describes."""

from __future__ import annotations

import datetime as _dt
import errno
import os
import pickle
from collections.abc import Mapping
from pathlib import Path
from typing import Any

import numpy as np
import xxhash

from lumora.backtest._store_segments import CHECKSUM as _CHECKSUM
from lumora.exceptions import KestrelError

__all__ = ["plain_metadata", "read_metadata_file", "share_label_lists", "store_version"]


class _RefusingUnpickler(pickle.Unpickler):
    """Unpickles plain built-in values only (dict, list, tuple, str, numbers, bool, None).

    Those are encoded by opcodes of their own; anything else needs a class or function
    looked up by name, which is refused: a store directory may come from a download."""

    def find_class(self, module: str, name: str) -> Any:
        raise KestrelError(f"回测数据元信息文件包含不允许的对象类型 {module}.{name},已拒绝加载")


def read_metadata_file(path: Path) -> dict[str, Any]:
    # A store holds no links: metadata reached through one would describe another store.
    try:
        fd = os.open(path, os.O_RDONLY | getattr(os, "O_NOFOLLOW", 0))
    except OSError as error:
        if error.errno != errno.ELOOP:
            raise
        raise KestrelError(f"回测数据元信息文件是链接 (数据目录中不应有链接): {path}") from None
    with open(fd, "rb") as fh:
        try:
            metadata = _RefusingUnpickler(fh).load()
        except KestrelError:
            raise
        except Exception as error:  # truncated or corrupt file
            raise KestrelError(f"回测数据元信息文件无法读取: {path}: {error}") from error
    if not isinstance(metadata, dict) or not _well_formed(metadata):
        raise KestrelError(f"回测数据元信息文件格式错误: {path}")
    return metadata


def _well_formed(metadata: dict[str, Any]) -> bool:
    """The mappings every reader walks have the shape they expect (records are checked
    one by one when their dataset is read)."""
    datasets = metadata.get("datasets") or {}
    benchmarks = metadata.get("benchmarks") or {}
    meta = metadata.get("meta") or {}
    return (
        isinstance(datasets, dict)
        and all(type(key) is str and isinstance(rec, dict) for key, rec in datasets.items())
        and isinstance(benchmarks, dict)
        and all(type(code) is str and type(key) is str for code, key in benchmarks.items())
        and isinstance(meta, dict)
    )


def plain_metadata(value: Any, where: str) -> Any:
    """``value`` made of plain built-in types, with dates as ISO text; refuses the rest so
    the store never writes metadata it would refuse to read."""
    if value is None or type(value) in (str, bool, int, float):
        return value
    if isinstance(value, np.generic):  # numpy scalars, np.str_ included
        return plain_metadata(value.item(), where)
    for plain_type in (bool, int, float, str):  # other subclasses pickle by class name
        if isinstance(value, plain_type):
            return plain_type(value)
    if isinstance(value, (_dt.date, _dt.datetime)):
        return value.isoformat()
    if isinstance(value, Mapping):
        return {
            plain_metadata(k, where): plain_metadata(v, f"{where}[{k!r}]") for k, v in value.items()
        }
    if isinstance(value, (list, tuple)):
        if all(type(item) is str for item in value):  # label lists: the bulk of it
            return list(value)
        return [plain_metadata(item, where) for item in value]
    raise TypeError(f"metadata value at {where} is a {type(value).__name__}, not a plain value")


def share_label_lists(metadata: dict[str, Any]) -> dict[str, Any]:
    """Datasets with equal date or column lists (or column orders) share one list object,
    which the pickle stores once (a store has seventeen copies of the same dates and
    stocks)."""
    seen: dict[tuple[str, tuple[Any, ...]], list[Any]] = {}
    for record in (metadata.get("datasets") or {}).values():
        for field in ("index", "columns", "order"):
            labels = record.get(field)
            if isinstance(labels, list):
                record[field] = seen.setdefault((field, tuple(labels)), labels)
    return metadata


def store_version(metadata: Mapping[str, Any]) -> str:
    """The version of the data a committed metadata mapping describes, as 16 hex digits:
    a digest of every dataset's key, dtype, label names, dates, columns (and their load
    order) and segments
    (rows, columns and content checksum; the file name where no checksum is recorded),
    and of the benchmark codes. A commit that changes what a load returns changes it;
    rewriting the metadata alone (recording the source) keeps it, and so does a store
    written elsewhere with the same datasets in the same segments."""
    digest = xxhash.xxh3_64()
    label_digests: dict[int, bytes] = {}

    def labels(values: Any) -> bytes:
        if not isinstance(values, list):
            return repr(values).encode("utf-8", "backslashreplace")
        known = label_digests.get(id(values))  # datasets share their label lists
        if known is None:
            text = "\x1f".join(map(str, values)).encode("utf-8", "backslashreplace")
            known = xxhash.xxh3_64_digest(text) + len(values).to_bytes(8, "little")
            label_digests[id(values)] = known
        return known

    datasets = metadata.get("datasets") or {}
    for key in sorted(datasets, key=str):
        record = datasets[key]
        if not isinstance(record, Mapping):
            digest.update(repr((key, record)).encode("utf-8", "backslashreplace"))
            continue
        segments = [
            (seg.get("rows"), seg.get("cols"), seg.get(_CHECKSUM) or seg.get("file"))
            for seg in record.get("segments") or []
            if isinstance(seg, Mapping)
        ]
        names = (record.get("index_name"), record.get("columns_name"), record.get("name"))
        head = repr((key, record.get("dtype"), names, segments))
        digest.update(head.encode("utf-8", "backslashreplace"))
        digest.update(labels(record.get("index")))
        digest.update(labels(record.get("columns")))
        if record.get("order") is not None:  # the order the columns load in
            digest.update(labels(record["order"]))
    benchmarks = metadata.get("benchmarks") or {}
    digest.update(repr(sorted(map(repr, benchmarks.items()))).encode("utf-8", "backslashreplace"))
    return digest.hexdigest()
