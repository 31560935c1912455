"""Mapped stores: the prepared store opened memory-mapped wherever a job runs, once per
process, directory and store version, and kept there for the batch that pinned it."""

from __future__ import annotations

import os
import threading
from collections import OrderedDict
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from lumora.backtest._store import store_version
from lumora.exceptions import KestrelError

# Store versions a process keeps mapped per directory (the newest ones used).
_KEPT_VERSIONS = 2


class StoreVersionGone(KestrelError):
    """The store version a batch runs on was replaced before a worker could open it."""


def _gone_message(pinned: str, current: str, directory: Path) -> str:
    return (
        f"回测数据在批次运行中被替换: 批次开始时的版本 {pinned} 已不存在 (现为 {current}, "
        f"{directory}),该任务及其后未开始的任务均未运行"
    )


@dataclass(frozen=True)
class MappedData:
    """The prepared benchmark data store, opened memory-mapped wherever a job runs and kept
    by that process. ``data_dir`` None means the data directory under the HOME of the
    process that runs the job."""

    data_dir: str | None = None

    def directory(self) -> Path:
        from lumora.backtest import _service

        return Path(self.data_dir) if self.data_dir else Path(_service._DEFAULT_DATA_DIR)

    def version(self) -> str:
        """The version of the store committed now (``store_version`` of its metadata),
        read from the metadata alone."""
        store = self._store()
        try:
            return store_version(store.load_metadata())
        except FileNotFoundError:
            raise self._missing() from None

    def load(self, version: str | None = None) -> Any:
        """The store's data as a ``BacktestData`` of read-only memory-mapped tables, read
        once per process, directory and version. Without ``version``: the version committed
        now (the store is opened again after it is replaced). With it: that version, as this
        process keeps it mapped or as the store holds it.

        Raises:
            FileNotFoundError: the directory holds no prepared store.
            StoreVersionGone: ``version`` is neither mapped here nor in the store any more.
        """
        return self._open(version)[1]

    def _store(self) -> Any:
        from lumora.backtest import _service

        return _service.BinaryPreparedDataStore(self.directory())

    def _missing(self) -> FileNotFoundError:
        return FileNotFoundError(
            f"未找到回测基准数据,请先调用 lumora.prepare_backtest_data() ({self.directory()})"
        )

    def _open(self, pinned: str | None) -> tuple[str, Any]:
        """``(version, data)``: ``pinned`` when given, else the version committed now."""
        from lumora.backtest import _service

        store = self._store()
        key = str(self.directory().resolve())
        with _mapped_lock:
            held = _mapped.setdefault(key, OrderedDict())
            if pinned is not None and pinned in held:
                held.move_to_end(pinned)  # kept to the end, whatever the store holds now
                return pinned, held[pinned]
            try:
                # The metadata file is replaced (new inode) whenever the store is rewritten.
                status = os.stat(store.metadata_path)
            except FileNotFoundError:
                raise self._missing() from None
            stamp = (status.st_ino, status.st_mtime_ns, status.st_size)
            known = _stamps.get(key)
            if pinned is None and known is not None and known[0] == stamp and known[1] in held:
                held.move_to_end(known[1])
                return known[1], held[known[1]]
            payload = store.load(start_date=None, end_date=None, mmap=True)
            version = payload["store_version"]
            held[version] = _service.BacktestData(data=payload["data"])
            held.move_to_end(version)
            while len(held) > _KEPT_VERSIONS:
                held.popitem(last=False)
            # Stat before the load: a commit in between only costs a second load later.
            _stamps[key] = (stamp, version)
            if pinned is not None and version != pinned:
                raise StoreVersionGone(_gone_message(pinned, version, self.directory()))
            return version, held[version]


# Memory-mapped stores opened by this process: resolved directory -> version -> data (the
# most recently used last), and the metadata file's stamp with the version it held.
_mapped: dict[str, OrderedDict[str, Any]] = {}
_stamps: dict[str, tuple[tuple[int, int, int], str]] = {}
_mapped_lock = threading.Lock()


def resolve(data: Any, pinned: str | None = None) -> tuple[str | None, Any]:
    """``(store version, data)`` for a job: a ``MappedData`` opened at ``pinned``."""
    return data._open(pinned) if isinstance(data, MappedData) else (None, data)
