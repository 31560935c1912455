"""The binary store of prepared datasets (:class:`BinaryPreparedDataStoreBase`).

Its parts live beside it: segment files (``_store_segments``), the metadata file
(``_store_metadata``), tables as stored values (``_store_tables``) and folder locks
(``_folder_lock``). The names the extension modules and the service look up here are
re-exported: ``normalize_yyyymmdd`` (``lumora._labels``), ``clean_matrix``
(``_clean_matrix``), ``component_dataset_key`` (``lumora._dataset_keys``) and
``store_version``.
"""

from __future__ import annotations

import bisect
import contextlib
import itertools
import json
import os
import pickle
from collections.abc import Iterator, Mapping
from pathlib import Path
from typing import Any

import numpy as np
import pandas as pd

from lumora._atomicio import TEMP_PREFIX as _TEMP_PREFIX
from lumora._atomicio import DeferredSyncs, write_atomic
from lumora._atomicio import fsync_directory as _fsync_directory
from lumora._dataset_keys import benchmark_dataset_key, component_dataset_key
from lumora._labels import date_labels, normalize_yyyymmdd
from lumora.backtest._clean_matrix import clean_matrix
from lumora.backtest._folder_lock import directory_lock
from lumora.backtest._store_metadata import (
    plain_metadata,
    read_metadata_file,
    share_label_lists,
    store_version,
)
from lumora.backtest._store_segments import (
    CHECKSUM,
    SEGMENT_FILE,
    file_checksum,
    map_segment,
    read_segment,
    segment_file_problem,
    segment_path,
    segment_stem,
    truncate_segments,
    write_segment,
)
from lumora.backtest._store_tables import (
    ABSENT_FILL,
    LabelCache,
    ascending_dates,
    column_labels,
    columns_in_order,
    extended_columns,
    frame_values,
    label_name,
    pad_value,
    series_by_date,
    storage_dtype,
)
from lumora.exceptions import KestrelError

__all__ = [
    "BinaryPreparedDataStoreBase",
    "PayloadWriter",
    "clean_matrix",
    "component_dataset_key",
    "normalize_yyyymmdd",
    "store_version",
]

# Layout of a store directory:
#   metadata.pkl     the metadata mapping (pickle, highest protocol); the commit point
#   manifest.json    a readable summary of the same, rewritten after every commit
#   <key>.<token>.npy  immutable row segments of the datasets (NumPy format, row-major)
#
# A dataset is one or more segments stacked by rows. Segment files are never rewritten:
# a tail update writes a new segment for the new rows and records how many rows of the
# older segments remain valid, then replaces the metadata atomically. A crash before that
# rename leaves the previous metadata, which still names only complete files, so the
# previous store stays readable; unreferenced files are removed by the next writer. New
# stock columns are appended to the dataset's column list, so an older (narrower) segment
# covers a prefix of the columns and reads back padded with NaN / False; the record's
# "order" then loads them where a full build places them (see columns_in_order).

_METADATA_FILE = "metadata.pkl"
_MANIFEST_FILE = "manifest.json"
# A dataset with more segments than this is compacted during the tail update.
_MAX_SEGMENTS = 8
# Segments whose columns load in another order are read in blocks of about this size.
_PLACED_BLOCK_BYTES = 1 << 25


def _now_text() -> str:
    return pd.Timestamp.now().isoformat()


# The metadata entries that say what the store was built from (see "source" below).
SOURCE_RECORD_KEYS = ("source", "source_fingerprint")


def _source_entries(record: Mapping[str, Any] | None) -> dict[str, Any]:
    """``record`` as metadata entries; anything but the source record's keys is refused."""
    entries = dict(record or {})
    unknown = sorted(set(entries) - set(SOURCE_RECORD_KEYS))
    if unknown:
        raise ValueError(f"not an entry of the source record: {unknown[0]!r}")
    return entries


class BinaryPreparedDataStoreBase:
    """Prepared benchmark data on disk: one NumPy file set per dataset, a metadata pickle
    and a JSON manifest.

    Readers and writers of one directory are serialised by an advisory lock on the
    directory; every file is replaced atomically, so a crash at any point leaves the
    previous complete store readable.
    """

    def __init__(
        self,
        store_dir: str | os.PathLike[str],
        matrix_dtype: Mapping[str, str],
        data_version: int,
        default_float_dtype: str,
    ) -> None:
        self.store_dir = Path(store_dir)
        self.matrix_dtype = dict(matrix_dtype)
        self.data_version = data_version
        self.default_float_dtype = default_float_dtype
        self.metadata_path = self.store_dir / _METADATA_FILE
        self.manifest_path = self.store_dir / _MANIFEST_FILE

    # ---- reading -------------------------------------------------------------------

    def load_metadata(self) -> dict[str, Any]:
        """The metadata mapping, read afresh.

        Raises:
            FileNotFoundError: when the store has no metadata file.
            KestrelError: when the file is corrupt or holds anything but plain values.
        """
        return read_metadata_file(self.metadata_path)

    def load(
        self,
        *,
        start_date: Any = None,
        end_date: Any = None,
        keys: list[str] | None = None,
        mmap: bool = False,
    ) -> dict[str, Any]:
        """Read datasets as tables, rows limited to the inclusive date bounds.

        Returns ``{"version", "meta", "data", "store_version"}`` (the last names the
        committed data read, see :func:`store_version`); ``data`` maps each requested key (all
        matrix datasets when ``keys`` is None) to its table and ``"benchmark_dict"`` to
        the benchmark series. With ``mmap`` the tables are read-only views of
        memory-mapped files where a dataset is one segment; otherwise they are in memory.

        Raises:
            FileNotFoundError: no store at this directory.
            KeyError: a requested dataset is not stored.
        """
        start = normalize_yyyymmdd(start_date)
        end = normalize_yyyymmdd(end_date)
        if not self.store_dir.is_dir():
            raise FileNotFoundError(f"prepared data directory not found: {self.store_dir}")
        cache = LabelCache()
        with directory_lock(self.store_dir, exclusive=False):
            metadata = self.load_metadata()
            datasets = metadata.get("datasets") or {}
            benchmarks = metadata.get("benchmarks") or {}
            if keys is None:
                series_keys = set(benchmarks.values())
                keys = [k for k, r in datasets.items() if k not in series_keys and "columns" in r]
            for key in keys:
                if key not in datasets:
                    raise KeyError(f"回测数据集不存在: {key}")
            for key in benchmarks.values():
                if key not in datasets:
                    raise KestrelError(f"回测数据元信息引用了不存在的基准数据集: {key}")
            # Every segment is checked against its record before any is read: a damaged
            # store fails naming the dataset and the file, never returning wrong rows.
            seen: set[int] = set()
            for key in [*keys, *benchmarks.values()]:
                self._check_dataset(key, datasets[key], seen)
            data: dict[str, Any] = {}
            for key in keys:
                data[key] = self._read_dataset(datasets[key], start, end, mmap, cache)
            bench: dict[str, pd.Series] = {}
            for code, key in benchmarks.items():
                series = self._read_dataset(datasets[key], start, end, mmap, cache)
                assert isinstance(series, pd.Series)  # a benchmark dataset is one series
                bench[code] = series
            data["benchmark_dict"] = bench
        return {
            "version": metadata.get("version", self.data_version),
            "meta": dict(metadata.get("meta") or {}),
            "data": data,
            "store_version": store_version(metadata),
        }

    def _read_dataset(
        self,
        record: Mapping[str, Any],
        start: str | None,
        end: str | None,
        mmap: bool,
        cache: LabelCache,
    ) -> pd.DataFrame | pd.Series:
        dates: list[str] = record["index"]
        lo = 0 if start is None else bisect.bisect_left(dates, start)
        hi = len(dates) if end is None else bisect.bisect_right(dates, end)
        hi = max(lo, hi)
        index = cache.get(dates, record.get("index_name"))[lo:hi]
        values = self._read_rows(record, lo, hi, mmap)
        if "columns" not in record:
            return pd.Series(values, index=index, name=record.get("name"), copy=False)
        columns = cache.get(columns_in_order(record), record.get("columns_name"))
        return pd.DataFrame(values, index=index, columns=columns, copy=False)

    def _read_rows(self, record: Mapping[str, Any], lo: int, hi: int, mmap: bool) -> np.ndarray:
        """Rows [lo, hi) of a dataset, every column in the order a load gives them, as
        one array."""
        dtype = storage_dtype(record["dtype"])
        width = len(record["columns"]) if "columns" in record else None
        order = record.get("order")
        pieces = []
        offset = 0
        for segment in record["segments"]:
            rows = int(segment["rows"])
            a, b = max(lo - offset, 0), min(hi - offset, rows)
            if a < b:
                pieces.append((segment, a, b))
            offset += rows
        shape = (hi - lo,) if width is None else (hi - lo, width)
        if mmap and order is None and len(pieces) == 1 and pieces[0][0].get("cols") == width:
            segment, a, b = pieces[0]
            return map_segment(self.store_dir, segment, dtype, width)[a:b]
        out = np.empty(shape, dtype=dtype)
        # Where each held column goes in the loaded table.
        place = None
        if order is not None and width is not None:
            place = np.empty(width, dtype=np.intp)
            place[np.asarray(order, dtype=np.intp)] = np.arange(width)
        row = 0
        for segment, a, b in pieces:
            cols = segment.get("cols")
            target = out[row : row + b - a]
            if width is not None and cols != width:
                target[:, cols if place is None else place[cols:]] = pad_value(record, dtype)
            if place is not None:
                self._read_placed(segment, dtype, a, target, place[:cols])
            else:
                read_segment(self.store_dir, segment, dtype, a, target[..., :cols])
            row += b - a
        return out

    def _read_placed(
        self,
        segment: Mapping[str, Any],
        dtype: np.dtype,
        first: int,
        target: np.ndarray,
        place: np.ndarray,
    ) -> None:
        """Rows of a segment from ``first`` on into ``target``, its column ``j`` into
        ``target``'s column ``place[j]``, a block of rows at a time (no copy of the whole
        segment beside the table)."""
        step = max(_PLACED_BLOCK_BYTES // max(place.size * dtype.itemsize, 1), 1)
        block = np.empty((min(step, target.shape[0]), place.size), dtype=dtype)
        for start in range(0, target.shape[0], step):
            rows = block[: min(step, target.shape[0] - start)]
            read_segment(self.store_dir, segment, dtype, first + start, rows)
            target[start : start + rows.shape[0], place] = rows

    # ---- source ------------------------------------------------------------------
    #
    # What the store was built from is part of its metadata, written by the same commit as
    # the data it describes: "source" (the data source's identity) and "source_fingerprint"
    # (what the source's files held, for a source that fingerprints them). A package gets
    # them before it lands (``write_source_record`` on the staged store) and each tail
    # update commits them with its rows (``update_tail(..., record=)``), so no crash can
    # leave data without its record, or a record of other data.

    def recorded_source(self) -> dict[str, Any] | None:
        """The identity of the data source that built the store (None when none is
        recorded or the metadata cannot be read)."""
        return self._recorded("source")

    def recorded_fingerprint(self) -> dict[str, Any] | None:
        """What the source's files held when the store was last built or updated (None
        when nothing is recorded or the metadata cannot be read)."""
        return self._recorded("source_fingerprint")

    def write_source_record(self, record: Mapping[str, Any]) -> None:
        """Set the entries of ``record`` ("source", "source_fingerprint") in the metadata,
        one atomic replace. For a store that has not landed yet (a package in staging):
        on a store in use the record goes with the data, through ``update_tail``."""
        entries = _source_entries(record)
        with self._writer_session(create=False):
            self._write_metadata({**self.load_metadata(), **entries})

    def _recorded(self, name: str) -> dict[str, Any] | None:
        try:
            found = self.load_metadata().get(name)
        except (OSError, KestrelError):
            return None
        return found if isinstance(found, dict) else None

    # ---- checking ------------------------------------------------------------------

    def _check_dataset(self, key: str, record: Any, seen: set[int] | None = None) -> None:
        """Raise KestrelError naming the dataset (and file) unless the record is sound and
        every segment file's header and size agree with it. Reads headers only. ``seen``
        holds the ids of label lists already found sound (datasets share them)."""
        seen = set() if seen is None else seen

        def fail(reason: str, name: object = None) -> None:
            where = f" 文件 {name}" if name is not None else ""
            raise KestrelError(f"回测数据集 {key}{where} 与元信息不一致: {reason}")

        if not isinstance(record, Mapping):
            fail("记录不是映射")
        index = record.get("index")
        if not isinstance(index, list):
            fail("日期列表无效")
        if id(index) not in seen:
            if not all(type(day) is str for day in index):
                fail("日期列表无效")
            if any(later <= earlier for earlier, later in itertools.pairwise(index)):
                fail("日期未严格升序")
            seen.add(id(index))
        try:
            dtype = storage_dtype(record.get("dtype"))
        except ValueError:
            fail(f"数据类型无效: {record.get('dtype')!r}")
        width = None
        if "columns" in record:
            columns = record["columns"]
            if not isinstance(columns, list):
                fail("列名列表无效")
            if id(columns) not in seen:
                if not all(type(c) is str for c in columns):
                    fail("列名列表无效")
                seen.add(id(columns))
            width = len(columns)
            order = record.get("order")
            if order is not None and id(order) not in seen:
                if not isinstance(order, list) or sorted(order) != list(range(width)):
                    fail("列顺序无效")
                if not all(type(i) is int for i in order):
                    fail("列顺序无效")
                seen.add(id(order))
        segments = record.get("segments")
        if not isinstance(segments, list) or not all(isinstance(s, Mapping) for s in segments):
            fail("文件列表无效")
        total = 0
        for segment in segments:
            name = segment.get("file")
            rows, cols = segment.get("rows"), segment.get("cols")
            if type(rows) is not int or rows < 0:
                fail(f"行数无效: {rows!r}", name)
            if width is None and cols is not None:
                fail(f"列数无效: {cols!r}", name)
            if width is not None and (type(cols) is not int or not 0 <= cols <= width):
                fail(f"列数无效: {cols!r}", name)
            try:
                path = segment_path(self.store_dir, segment)
            except KestrelError:
                fail("文件名无效", name)
            if not path.name.startswith(segment_stem(key) + "."):
                fail("文件名不属于该数据集", name)
            if path.is_symlink():
                fail("文件是链接 (数据目录中不应有链接)", name)
            problem = segment_file_problem(path, rows, () if width is None else (cols,), dtype)
            if problem:
                fail(problem, name)
            total += rows
        if total != len(index):
            files = ", ".join(str(segment.get("file")) for segment in segments)
            fail(f"列出 {len(index)} 个日期,文件共有 {total} 行", files)

    def check(self) -> list[str]:
        """Problems found by the cheap checks (metadata readable and well formed, every
        segment's header and size agreeing with its record); empty when sound."""
        return self._problems(contents=False)

    def verify(self) -> list[str]:
        """Problems found by :meth:`check` and by recomputing the content checksum of
        every segment that has one recorded; empty when the store is sound."""
        return self._problems(contents=True)

    def _problems(self, *, contents: bool) -> list[str]:
        if not self.store_dir.is_dir():
            return [f"回测数据目录不存在: {self.store_dir}"]
        with directory_lock(self.store_dir, exclusive=False):
            try:
                metadata = self.load_metadata()
            except (OSError, KestrelError) as error:
                return [str(error)]
            datasets = metadata.get("datasets") or {}
            problems = [
                f"回测数据元信息引用了不存在的基准数据集: {key}"
                for key in (metadata.get("benchmarks") or {}).values()
                if key not in datasets
            ]
            # Links among the segments are named with their dataset below.
            problems += [
                f"回测数据目录中有链接 {entry.name} (数据目录中不应有链接)"
                for entry in os.scandir(self.store_dir)
                if entry.is_symlink() and not SEGMENT_FILE.match(entry.name)
            ]
            seen: set[int] = set()
            for key, record in datasets.items():
                try:
                    self._check_dataset(key, record, seen)
                except KestrelError as error:
                    problems.append(str(error))
                    continue
                if not contents:
                    continue
                for segment in record["segments"]:
                    expected = segment.get(CHECKSUM)
                    if expected is None:
                        continue
                    path = segment_path(self.store_dir, segment)
                    if file_checksum(path) != expected:
                        problems.append(
                            f"回测数据集 {key} 文件 {path.name} 内容校验失败 (数据已损坏)"
                        )
            return problems

    # ---- writing -------------------------------------------------------------------

    @contextlib.contextmanager
    def _writer_session(self, create: bool = True) -> Iterator[None]:
        """Exclusive access to the directory for one read-modify-write of the store.

        Raises:
            FileNotFoundError: without ``create``, when the directory does not exist.
        """
        if create:
            self.store_dir.mkdir(parents=True, exist_ok=True)
        elif not self.store_dir.is_dir():
            raise FileNotFoundError(f"prepared data directory not found: {self.store_dir}")
        with directory_lock(self.store_dir, exclusive=True):
            self._remove_unreferenced()
            yield

    def _write_matrix(
        self,
        store_dir: str | os.PathLike[str],
        key: str,
        matrix: pd.DataFrame,
        dtype: str,
        syncs: DeferredSyncs | None = None,
    ) -> dict[str, Any]:
        """Write one date x stock table as a new dataset and return its record.

        Rows are stored in ascending date order; ``dtype`` is the storage type ("float64"
        or "bool", where a missing flag is stored as False). With ``syncs`` the segment is
        synced in the background and the record may be committed only after
        ``syncs.wait()``."""
        if not isinstance(matrix, pd.DataFrame):
            raise TypeError(
                f"matrix for {key!r} must be a pandas DataFrame, not {type(matrix).__name__}"
            )
        storage = storage_dtype(dtype)
        dates, order = ascending_dates(matrix.index)
        columns = column_labels(matrix.columns)
        values = frame_values(matrix, storage)
        if order is not None:
            values = values[order]
        segment = self._write_segment(Path(store_dir), key, values, syncs=syncs)
        record = {
            "index": dates,
            "columns": columns,
            "dtype": str(dtype),
            "segments": [segment],
            "index_name": label_name(matrix.index.name),
            "columns_name": label_name(matrix.columns.name),
        }
        if key in ABSENT_FILL and storage == np.bool_:
            record["fill"] = ABSENT_FILL[key]
        return record

    def _write_series(
        self, store_dir: Path, key: str, series: pd.Series, syncs: DeferredSyncs | None = None
    ) -> dict[str, Any]:
        dates, values = series_by_date(key, series)
        return {
            "index": dates,
            "dtype": "float64",
            "segments": [self._write_segment(store_dir, key, values, syncs=syncs)],
            "index_name": label_name(series.index.name),
            "name": label_name(series.name),
        }

    # A static method, so a test can make one write fail.
    _write_segment = staticmethod(write_segment)

    def _write_metadata(self, metadata: Mapping[str, Any]) -> None:
        """Replace the metadata file atomically (pickle, highest protocol)."""
        plain = share_label_lists(plain_metadata(metadata, "metadata"))
        payload = pickle.dumps(plain, protocol=pickle.HIGHEST_PROTOCOL)
        write_atomic(
            self.store_dir / _METADATA_FILE, lambda fh: fh.write(payload), sync_directory=False
        )
        _fsync_directory(self.store_dir)

    def _write_manifest(
        self, store_dir: str | os.PathLike[str], metadata: Mapping[str, Any]
    ) -> None:
        """Rewrite the readable summary of the store."""
        datasets = metadata.get("datasets") or {}
        manifest = {
            "format": "lumora-prepared-data",
            "version": metadata.get("version", self.data_version),
            "updated_at": metadata.get("updated_at"),
            "benchmarks": dict(metadata.get("benchmarks") or {}),
            "datasets": {
                key: {
                    "dtype": record.get("dtype"),
                    "rows": len(record.get("index", [])),
                    "columns": len(record["columns"]) if "columns" in record else None,
                    "first_date": record["index"][0] if record.get("index") else None,
                    "last_date": record["index"][-1] if record.get("index") else None,
                    "files": [segment.get("file") for segment in record.get("segments", [])],
                }
                for key, record in datasets.items()
            },
        }
        text = json.dumps(manifest, ensure_ascii=False, indent=1).encode("utf-8")
        write_atomic(
            Path(store_dir) / _MANIFEST_FILE, lambda fh: fh.write(text), sync_directory=False
        )

    def _commit(self, metadata: dict[str, Any]) -> None:
        """Make ``metadata`` the store's state, then drop the files it no longer names."""
        self._write_metadata(metadata)
        self._write_manifest(self.store_dir, metadata)
        self._remove_unreferenced()

    def _referenced_files(self) -> set[str] | None:
        """Segment files the committed metadata names; None when there is no readable
        metadata (nothing trustworthy to compare with)."""
        try:
            metadata = self.load_metadata()
        except (FileNotFoundError, KestrelError):
            return None
        return {
            segment.get("file")
            for record in (metadata.get("datasets") or {}).values()
            for segment in record.get("segments", [])
        }

    def _remove_unreferenced(self) -> None:
        """Remove temporary files and segments the committed metadata does not name
        (left by a crashed writer or replaced by a commit). Called with the writer lock."""
        referenced = self._referenced_files()
        if referenced is None:
            return  # keep every file
        for entry in os.scandir(self.store_dir):
            stale_temp = entry.name.startswith(_TEMP_PREFIX)
            if stale_temp or (SEGMENT_FILE.match(entry.name) and entry.name not in referenced):
                with contextlib.suppress(OSError):
                    os.unlink(entry.path)

    @contextlib.contextmanager
    def payload_writer(self) -> Iterator[PayloadWriter]:
        """Write a whole new store one dataset at a time, replacing the previous content
        only when everything was written:

            with store.payload_writer() as write:
                write(key, table)  # written to its segment file at once, not kept
                ...
                write.finish(payload)  # commits version, meta and every dataset written

        The writer lock is held throughout. If the block raises, or leaves without
        ``finish``, nothing is committed: the previous store stays exactly as it was and
        the segments written so far are removed.

        Raises:
            RuntimeError: when the block ends normally without ``finish`` (after removing
                what it wrote).
        """
        with self._writer_session():
            writer = PayloadWriter(self)
            try:
                yield writer
            finally:
                finished = writer.close()
            if not finished:
                raise RuntimeError("payload writer closed without finish(): nothing was committed")

    def write_payload(self, payload: Mapping[str, Any]) -> None:
        """Write the whole store from a full payload, replacing any previous content
        (every entry of ``payload["data"]`` through :meth:`payload_writer`)."""
        data = payload["data"]
        with self.payload_writer() as write:
            for key, value in data.items():
                write(key, value)
            write.finish(payload)

    # ---- tail update ---------------------------------------------------------------

    def update_tail(
        self, payload: Mapping[str, Any], *, record: Mapping[str, Any] | None = None
    ) -> bool:
        """Merge a tail payload into the store.

        For every stored table in ``payload["data"]`` the stored rows dated on or after
        the payload's write start are replaced by the payload's rows from that date on
        (extending the table past its last date as needed); stock columns the store does
        not know yet are appended, older rows filled with NaN (False for flags). Benchmark
        series are merged by date, the payload winning. A payload table without rows
        leaves its dataset untouched; tables the store does not hold are ignored.

        ``record``: the source record of the data after the merge ("source",
        "source_fingerprint"; see ``recorded_source``), committed with it.

        Returns False, writing nothing, when the store has no metadata or datasets, or the
        payload lacks a stored benchmark; True once the merge is committed.
        """
        entries = _source_entries(record)
        data = payload.get("data") or {}
        if not self.store_dir.is_dir():
            return False
        with self._writer_session(create=False):
            if not self.metadata_path.exists():
                return False
            metadata = self.load_metadata()
            datasets = metadata.get("datasets") or {}
            benchmarks = metadata.get("benchmarks") or {}
            bench_payload = data.get("benchmark_dict")
            if not datasets or not benchmarks or not isinstance(bench_payload, Mapping):
                return False
            if any(
                code not in bench_payload or key not in datasets for code, key in benchmarks.items()
            ):
                return False
            for key in {*benchmarks.values(), *(k for k in data if k in datasets)}:
                self._check_dataset(key, datasets[key])
            write_start = self._tail_write_start(payload)
            merged = dict(datasets)
            for key, value in data.items():
                record = datasets.get(key)
                if key == "benchmark_dict" or record is None or "columns" not in record:
                    continue
                if isinstance(value, pd.DataFrame):
                    merged[key] = self._merge_matrix_tail(key, record, value, write_start)
            for code, key in benchmarks.items():
                merged[key] = self._merge_series_tail(
                    key, datasets[key], bench_payload[code], write_start
                )
            now = _now_text()
            meta = dict(metadata.get("meta") or {})
            meta["updated_at"] = now
            close = merged.get("close_price")
            if close and close.get("index"):
                meta["end_date"] = close["index"][-1]
            self._commit(
                {**metadata, **entries, "datasets": merged, "meta": meta, "updated_at": now}
            )
        return True

    @staticmethod
    def _tail_write_start(payload: Mapping[str, Any]) -> str | None:
        """The first date the payload rewrites: its meta's write start, else the earliest
        row of its tables (None when it has no rows at all)."""
        meta = payload.get("meta") or {}
        for name in ("write_start_date", "start_date"):
            if meta.get(name) is not None:
                return normalize_yyyymmdd(meta[name])
        firsts = [
            date_labels(value.index[:1])[0]
            for key, value in (payload.get("data") or {}).items()
            if key != "benchmark_dict" and isinstance(value, pd.DataFrame) and len(value)
        ]
        return min(firsts) if firsts else None

    def _merge_matrix_tail(
        self, key: str, record: dict[str, Any], table: pd.DataFrame, write_start: str | None
    ) -> dict[str, Any]:
        dtype = storage_dtype(record["dtype"])
        dates, order = ascending_dates(table.index)
        first = 0 if write_start is None else bisect.bisect_left(dates, write_start)
        if first == len(dates):
            return record  # nothing to write: never truncate on an empty table
        rows = np.arange(len(dates))[first:] if order is None else order[first:]
        keep = (
            len(record["index"])
            if write_start is None
            else bisect.bisect_left(record["index"], write_start)
        )
        incoming = column_labels(table.columns)
        columns, column_order = extended_columns(record, incoming, rewritten=keep == 0)
        values = np.full((len(rows), len(columns)), pad_value(record, dtype), dtype=dtype)
        target = pd.Index(columns).get_indexer(pd.Index(incoming))
        values[:, target] = frame_values(table.iloc[rows], dtype)

        segments = truncate_segments(record["segments"], keep)
        segments.append(self._write_segment(self.store_dir, key, values))
        merged = {
            **record,
            "index": list(record["index"][:keep]) + dates[first:],
            "columns": columns,
            "segments": segments,
        }
        merged.pop("order", None)
        if column_order is not None:
            merged["order"] = column_order
        if len(segments) > _MAX_SEGMENTS:
            merged = self._compacted(key, merged)
        return merged

    def _compacted(self, key: str, record: dict[str, Any]) -> dict[str, Any]:
        """The dataset in fewer segments: the tail segments merged into one, or everything
        into one once the tail has grown as large as the head (amortised rewriting). A
        dataset rewritten whole holds its columns in the order they load."""
        segments = record["segments"]
        head_rows = int(segments[0]["rows"])
        total = len(record["index"])
        start = head_rows if total - head_rows < head_rows else 0
        values = self._read_rows(record, start, total, mmap=False)  # in load order
        if start == 0:
            merged = self._write_segment(self.store_dir, key, values)
            compact = {**record, "columns": columns_in_order(record), "segments": [merged]}
            compact.pop("order", None)
            return compact
        order = record.get("order")
        if order is not None:  # back to the order the head segment holds them in
            place = np.empty(len(order), dtype=np.intp)
            place[np.asarray(order, dtype=np.intp)] = np.arange(len(order))
            values = values[:, place]
        merged = self._write_segment(self.store_dir, key, values)
        return {**record, "segments": [segments[0], merged]}

    def _merge_series_tail(
        self, key: str, record: dict[str, Any], series: Any, write_start: str | None
    ) -> dict[str, Any]:
        dates, values = series_by_date(key, series)
        first = 0 if write_start is None else bisect.bisect_left(dates, write_start)
        if first == len(dates):
            return record
        stored = pd.Series(
            self._read_rows(record, 0, len(record["index"]), mmap=False),
            index=pd.Index(record["index"], dtype=str),
        )
        tail = pd.Series(values[first:], index=pd.Index(dates[first:], dtype=str))
        combined = pd.concat([stored[~stored.index.isin(tail.index)], tail]).sort_index()
        segment = self._write_segment(self.store_dir, key, combined.to_numpy(dtype=np.float64))
        return {**record, "index": combined.index.tolist(), "segments": [segment]}


class PayloadWriter:
    """The ``write`` of :meth:`BinaryPreparedDataStoreBase.payload_writer`: writes the
    entries of one full payload's data as they come and commits them in ``finish``.

    ``write(key, value)``: a table is stored with the dtype ``matrix_dtype`` gives its key
    (``default_float_dtype`` for other keys); the series of the mapping under
    ``"benchmark_dict"`` become datasets listed under ``metadata["benchmarks"]``; other
    values are ignored. A key written again replaces its earlier dataset. Only the small
    dataset records are kept.
    """

    def __init__(self, store: BinaryPreparedDataStoreBase) -> None:
        self._store = store
        self._datasets: dict[str, Any] = {}
        self._benchmarks: dict[str, str] = {}
        self._files: list[str] = []
        # Each segment's sync to disk runs beside the build of the next table; finish waits
        # for them all before the commit names any segment.
        self._syncs = DeferredSyncs()
        self._open = True
        self._finished = False

    def _check_open(self) -> None:
        if not self._open:
            raise RuntimeError("this payload writer is closed")

    def _add(self, key: str, record: dict[str, Any]) -> None:
        self._files.extend(segment["file"] for segment in record["segments"])
        self._datasets[key] = record

    def __call__(self, key: str, value: Any) -> None:
        self._check_open()
        store = self._store
        if key == "benchmark_dict":
            for code, series in (value or {}).items():
                dataset = benchmark_dataset_key(str(code))
                self._add(
                    dataset, store._write_series(store.store_dir, dataset, series, self._syncs)
                )
                self._benchmarks[str(code)] = dataset
        elif isinstance(value, pd.DataFrame):
            dtype = store.matrix_dtype.get(key, store.default_float_dtype)
            self._add(key, store._write_matrix(store.store_dir, key, value, dtype, self._syncs))

    def finish(self, payload: Mapping[str, Any]) -> None:
        """Commit every dataset written, with the version and meta of ``payload`` (its
        data is not read); the writer is closed afterwards."""
        self._check_open()
        self._open = False
        self._syncs.wait()
        now = _now_text()
        meta = dict(payload.get("meta") or {})
        meta.setdefault("updated_at", now)
        # Whatever order the tables came in, the store lists them in its catalogue's order,
        # then any others, then the benchmark series.
        known = [key for key in self._store.matrix_dtype if key in self._datasets]
        placed = {*known, *self._benchmarks.values()}
        others = [key for key in self._datasets if key not in placed]
        order = [*known, *others, *self._benchmarks.values()]
        self._store._commit(
            {
                "version": payload.get("version", self._store.data_version),
                "updated_at": now,
                "meta": meta,
                "datasets": {key: self._datasets[key] for key in order},
                "benchmarks": self._benchmarks,
            }
        )
        self._finished = True

    def close(self) -> bool:
        """Close the writer; unless ``finish`` committed, remove the segment files it
        wrote that the committed metadata does not name. True when it committed."""
        self._open = False
        self._syncs.close()
        if not self._finished:
            referenced = self._store._referenced_files() or set()
            for name in self._files:
                if name not in referenced:
                    with contextlib.suppress(OSError):
                        os.unlink(self._store.store_dir / name)
        return self._finished
