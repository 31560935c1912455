"""``FileSource``: the user's files as an SDK data source. It holds the bars of the files as
last read (parsing again only the files that changed), records what the files held when a
store was built from them (``fingerprint``), tells an update how to bring that store to the
files as they are (``update_plan``), and derives and answers the market from them."""

from __future__ import annotations

import contextlib
import datetime as _dt
import logging
import os
from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np
import pandas as pd
from tqdm.auto import tqdm

from lumora._labels import normalize_yyyymmdd
from lumora.logger import logger
from lumora.sources.base import MarketClient, MarketHistory, name_list
from lumora.sources.files.bars import (
    Bars,
    FileSummary,
    RowSlots,
    Slot,
    join_parts,
    overlapping,
    part_of,
    read_part,
    seed_rows,
    window_bars,
)
from lumora.sources.files.checks import FileSourceError, check_calendar
from lumora.sources.files.columns import TABLES
from lumora.sources.files.derive import derive_market
from lumora.sources.files.indices import (
    Factors,
    index_daily_rows,
    index_series,
    member_rows,
    membership_factors,
    missing_benchmarks,
)
from lumora.sources.files.per_stock import (
    Adjustments,
    StSpans,
    read_adjustments,
    read_st_spans,
)
from lumora.sources.files.reading import date_numbers, files_of, read_file
from lumora.sources.vendors import Layout, layout_of

__all__ = ["FileSource"]

# Beyond this share of the stored dates, a rewrite from a changed date is slower than a
# full build of the files (bench_restated.py at 5,000 x 2,500: 45 % of the dates took 10.7 s
# and 6 % took 4.5 s, a full build 6.5 s), so the store is built anew instead.
_REWRITE_SHARE = 0.25


def _fingerprint(files: list[Path]) -> tuple[tuple[str, int, int], ...]:
    out = []
    for path in files:
        try:
            stat = path.stat()
        except OSError as exc:  # gone since the folder was listed
            raise FileSourceError(f"{path}: cannot read the file: {exc}") from exc
        out.append((str(path), stat.st_size, stat.st_mtime_ns))
    return tuple(out)


# A look at the files is taken again when one of them changed while it was read, at most
# this many times.
_LOOKS = 3


def _table_hashes(path: Path, columns: Mapping[str, str]) -> tuple[np.ndarray, np.ndarray]:
    """What a file of a table other than the bars holds, by date: its distinct dates
    (YYYYMMDD numbers; a row counts on its ``date``, else on the ``start_date`` of the span
    it gives, else on 0, as when the dates cannot be read) and a number per date that
    changes whenever any of that date's rows does (the row's values, the column names and
    the file's name, which names the index or stock of a file without a code column, hashed
    together; the rows of a date summed)."""
    frame = read_file(path, columns)
    day = np.zeros(len(frame), dtype=np.int64)
    dated = next((name for name in ("date", "start_date") if name in frame.columns), None)
    if dated is not None:
        try:
            day = date_numbers(frame[dated], dated, path).astype(np.int64)
        except FileSourceError:
            pass  # refused by the table's own reader, with its own message
    names = pd.util.hash_array(
        np.array([path.stem, *(str(c) for c in frame.columns)], dtype=object)
    )
    rows = pd.util.hash_pandas_object(frame, index=False).to_numpy(dtype=np.uint64)
    rows = rows + np.bitwise_xor.reduce(names, initial=np.uint64(len(names)))
    dates, position = np.unique(day, return_inverse=True)
    sums = np.zeros(dates.size, dtype=np.uint64)
    np.add.at(sums, position, rows)  # wraps: the sum does not depend on the rows' order
    return dates, sums


def _table_record(parts: list[tuple[np.ndarray, np.ndarray]]) -> dict[str, list[int]]:
    """The per-date numbers of a table's files (``_table_hashes``) summed over the files."""
    if not parts:
        return {"dates": [], "hashes": []}
    dates, position = np.unique(np.concatenate([d for d, _ in parts]), return_inverse=True)
    sums = np.zeros(dates.size, dtype=np.uint64)
    np.add.at(sums, position, np.concatenate([h for _, h in parts]))
    return {"dates": dates.tolist(), "hashes": sums.tolist()}


def _factor_record(table: Adjustments | None) -> dict[str, list[int]]:
    """The record of the adjustment-factor table (as ``_table_record``) from the table as
    read for the join: a number per date that changes whenever a factor of that date does
    (each cell's date, stock and factor hashed together, summed over the date's cells).
    A vendor ships this table for the whole market (12 M rows): it is not read a second
    time for its record, and columns the join does not use are not part of it."""
    if table is None or not table.cell.size:
        return {"dates": [], "hashes": []}
    bits = pd.util.hash_array(table.factor.view(np.uint64))
    rows = pd.util.hash_array(table.cell) ^ (bits * np.uint64(0x9E3779B97F4A7C15))
    dates, starts = np.unique(table.dates(), return_index=True)  # cells go by date
    return {"dates": dates.tolist(), "hashes": np.add.reduceat(rows, starts).tolist()}


def _changed_dates(before: Any, after: Mapping[str, list[int]]) -> list[int] | None:
    """The dates whose rows differ between two records of a table (``_table_record``);
    None when ``before`` cannot be read."""
    try:
        old = dict(zip(before["dates"], before["hashes"], strict=True))
    except (KeyError, TypeError, ValueError):
        return None
    new = dict(zip(after["dates"], after["hashes"], strict=True))
    return sorted(day for day in old.keys() | new.keys() if old.get(day) != new.get(day))


_Key = tuple[str, int, int]  # a file's path, size and modification time
# The steps of a derivation, for its progress bar (see ``derive_market``).
_DERIVATION_STEPS = 6


@dataclass
class _Read:
    """The bars of the files as last read. A file is held whole or, once the whole history
    was derived, by the rows a window after its last date needs (see ``_shrunk``)."""

    stamp: tuple[_Key, ...]  # of every file of every table
    bars: Bars
    spans: dict[_Key, tuple[int, int]]  # bars file -> its rows in ``bars``
    file_dates: dict[_Key, np.ndarray]  # bars file -> its distinct dates
    whole: frozenset[_Key]  # the files every row of which ``bars`` holds
    dates: np.ndarray  # the distinct YYYYMMDD numbers of all files
    summaries: dict[_Key, FileSummary]  # bars file -> its date hashes and first dates
    joined: tuple[_Key, ...] = ()  # the adjustment-factor files joined to the bars

    def listing(self) -> tuple[np.ndarray, np.ndarray]:
        """Each stock's first date in the files (codes ascending), whichever part of
        them is held."""
        codes = np.concatenate([s.codes for s in self.summaries.values()])
        first = np.concatenate([s.first for s in self.summaries.values()])
        frame = pd.Series(first).groupby(codes).min()
        return frame.index.to_numpy(dtype=np.int32), frame.to_numpy(dtype=np.int32)

    def holds(self, low: int | None) -> bool:
        """Whether ``bars`` holds every row on or after ``low`` (None: every row)."""
        return all(
            key in self.whole or (low is not None and self.file_dates[key][-1] < low)
            for key in self.spans
        )


def _reread(
    files: list[Path],
    layout: Layout,
    stamp: tuple[_Key, ...],
    old: _Read | None,
    *,
    whole: bool,
    low: int | None = None,
    adjustments: tuple[tuple[_Key, ...], Adjustments | None] = ((), None),
    progress: bool = False,
) -> _Read:
    """The bars of ``files``, parsing again only the files changed since ``old`` (every
    file when the adjustment-factor files changed: their factors are joined to the rows)
    and, with ``whole``, the files ``old`` holds only in part (see ``_shrunk_parts``) that
    have rows on or after ``low`` (every one when it is None: a window of the last months
    parses the last year's file again, not the whole history); ``adjustments``: the
    adjustment-factor files and their table."""
    joined, table = adjustments
    if old is not None and old.joined != joined:
        old = None
    keys = _fingerprint(files)
    parts: list[dict[str, np.ndarray]] = []
    file_dates: dict[_Key, np.ndarray] = {}
    summaries: dict[_Key, FileSummary] = {}
    held: set[_Key] = set()
    fresh = []

    def enough(key: _Key) -> bool:  # what ``old`` holds of the file will do
        assert old is not None
        before = low is not None and old.file_dates[key].size and old.file_dates[key][-1] < low
        return key in old.whole or not whole or bool(before)

    for position, key in enumerate(keys):
        if old is not None and key in old.spans and enough(key):
            parts.append(part_of(old.bars, *old.spans[key]))
            file_dates[key], summaries[key] = old.file_dates[key], old.summaries[key]
            if key in old.whole:
                held.add(key)
        else:
            parts.append({})
            fresh.append(position)
    # Every file read anew: its columns go straight to their place among all files' rows.
    slots = RowSlots.of_parquet(files) if len(fresh) == len(keys) else None
    read = _side_by_side(
        lambda position: read_part(
            files[position], layout, table, Slot(slots, position) if slots else Slot()
        ),
        fresh,
    )
    with _progress(len(fresh), "reading the bars files", "file", progress) as bar:
        for position, (part, dates, summary) in zip(fresh, read):  # the first bad file raises
            parts[position], file_dates[keys[position]] = part, dates
            summaries[keys[position]] = summary
            held.add(keys[position])
            bar.update(1)
    ranges = [(int(d[0]), int(d[-1])) for d in file_dates.values() if d.size]
    if old is not None and (
        any(set(p) != set(parts[0]) for p in parts)  # columns changed
        or (len(held) < len(keys) and overlapping(ranges))  # duplicates need every row
    ):
        return _reread(
            files, layout, stamp, None, whole=True, adjustments=adjustments, progress=progress
        )
    return _read_of(files, keys, parts, stamp, file_dates, held, summaries, joined, slots)


def _progress(total: int, what: str, unit: str, shown: bool) -> tqdm[Any]:
    """A progress bar of ``total`` steps (none for a step or two, or when not ``shown``)."""
    return tqdm(total=total, desc=what, unit=unit, leave=False, disable=not shown or total < 3)


def _read_of(
    files: list[Path],
    keys: Sequence[_Key],
    parts: list[dict[str, np.ndarray]],
    stamp: tuple[_Key, ...],
    file_dates: dict[_Key, np.ndarray],
    held: set[_Key] | frozenset[_Key],
    summaries: dict[_Key, FileSummary],
    joined: tuple[_Key, ...] = (),
    slots: RowSlots | None = None,
) -> _Read:
    ranges = [(int(d[0]), int(d[-1])) for d in file_dates.values() if d.size]
    bars = join_parts(files, parts, ranges, slots)
    stops = [start for _, start in bars.origin[1:]] + [bars.date.size]
    return _Read(
        stamp=stamp,
        bars=bars,
        spans={key: (start, stop) for key, (_, start), stop in zip(keys, bars.origin, stops)},
        file_dates=file_dates,
        whole=frozenset(held),
        dates=np.unique(np.concatenate(list(file_dates.values()))),
        summaries=summaries,
        joined=joined,
    )


def _shrunk_parts(
    keys: Sequence[_Key],
    parts: list[dict[str, np.ndarray]],
    file_dates: dict[_Key, np.ndarray],
    held: set[_Key] | frozenset[_Key],
    low: int | None = None,
) -> set[_Key]:
    """Replaces each part held whole of a file that ends before ``low`` (by default the
    newest file's first day) by its seed rows, when the files' date ranges do not overlap
    (a file a year): what a window from ``low`` needs. Text industries are numbered over
    every row: those keep every row. Returns the files still held whole."""
    dated = {key: d for key, d in file_dates.items() if d.size}
    ranges = [(int(d[0]), int(d[-1])) for d in dated.values()]
    text = "industry" in parts[0] and any(p["industry"].dtype == object for p in parts)
    if len(dated) < 2 or text or overlapping(ranges):
        return set(held)
    newest = max(int(d[0]) for d in dated.values())
    low = newest if low is None else min(low, newest)
    kept = {key for key in held if key not in dated or dated[key][-1] >= low}
    older = [position for position, key in enumerate(keys) if key in held and key not in kept]

    def seeds(position: int) -> dict[str, np.ndarray]:
        part = parts[position]
        rows = seed_rows(part["code"], part["date"], part, file_dates[keys[position]])
        return {name: values[rows] for name, values in part.items()}

    for position, part in zip(older, _side_by_side(seeds, older)):
        parts[position] = part
    return kept


def _side_by_side(function: Callable[[Any], Any], items: list[Any]) -> Iterator[Any]:
    """``function`` of each item, in the items' order, on as many threads as cores:
    reading, decoding and most array work on a file's rows let go of the interpreter. An
    error is raised for the first failing item in order."""
    with ThreadPoolExecutor(max_workers=min(len(items), os.cpu_count() or 1) or 1) as pool:
        yield from pool.map(function, items)


def _shrunk(read: _Read, low: int | None = None) -> _Read:
    """``read`` holding of every file that ends before ``low`` (by default the newest
    file's first day) only the rows a window from ``low`` needs (see ``_shrunk_parts``)."""
    keys = list(read.spans)
    parts = [part_of(read.bars, *read.spans[key]) for key in keys]
    held = _shrunk_parts(keys, parts, read.file_dates, read.whole, low)
    if held == read.whole:
        return read  # holds no more than that already
    files = [Path(key[0]) for key in keys]
    return _read_of(
        files, keys, parts, read.stamp, read.file_dates, held, read.summaries, read.joined
    )


class FileSource(MarketClient):
    """SDK data client over a folder of the user's market data files (see the module text).

    Args:
        root: the folder.
        columns: mapping of the files' column names to the names above, for example
            ``{"trade_date": "date", "ts_code": "code", "vol": "volume"}``.
        vendor: a vendor's layout and units (``lumora.sources.vendors``), "tushare",
            "akshare" or "baostock"; ``columns`` and ``units`` override it.
        units: the units of ``volume`` ("shares" or "lots") and ``amount`` ("yuan",
            "thousand_yuan" or "ten_thousand_yuan"); shares and yuan unless given.
        progress: show progress bars while files are read and the market is derived.

    The files are read and checked at construction (bad files raise ``FileSourceError``)
    and again whenever one of them changed, so later preparations see days appended;
    within ``pinned()`` (a preparation) every answer comes from one look at the files.
    """

    def __init__(
        self,
        root: str | os.PathLike[str],
        *,
        columns: Mapping[str, str] | None = None,
        vendor: str | None = None,
        units: Mapping[str, str] | None = None,
        progress: bool = True,
    ) -> None:
        self.root = Path(root).expanduser().resolve()
        if not self.root.is_dir():
            raise FileSourceError(f"market data folder not found: {self.root}")
        self.layout = layout_of(vendor, columns, units)
        self.columns = dict(self.layout.columns)
        self._read: _Read | None = None
        # The last fingerprint, by the look it describes (not by the rows held then, which
        # it would keep alive when the source lets them go).
        self._fingerprinted: tuple[tuple[_Key, ...], dict[str, Any]] | None = None
        self._indices: tuple[dict[str, pd.Series], dict[str, tuple[np.ndarray, np.ndarray]]]
        # The last look at the files: every input file by table, and what the tables other
        # than the bars held then (see ``_table_hashes``; by file, kept while unchanged).
        self._listed: dict[str, list[Path]] = {}
        self._inputs: dict[str, dict[str, list[int]]] = {}
        self._hashed: dict[_Key, tuple[np.ndarray, np.ndarray]] = {}
        # The record of the adjustment-factor table, by the versions of its files.
        self._adjusted: tuple[tuple[_Key, ...], dict[str, list[int]]] = ((), {})
        self._pins = 0  # open ``pinned()`` blocks
        # The derived market: the whole history and the last window asked for.
        self._derived: dict[object, MarketHistory] = {}
        # Factors of the whole history handed over as tables and no longer held.
        self._handed: set[str] = set()
        self._logged: set[str] = set()  # what this source logged (see ``_log_once``)
        self._progress = progress
        self._st: StSpans | None = None
        self._bars()

    def __repr__(self) -> str:
        return f"FileSource({str(self.root)!r})"

    def source_identity(self) -> dict[str, str | int]:
        """What the prepared data was built from (recorded by the store)."""
        return {"kind": "files", "root": str(self.root)}

    @property
    def start(self) -> str:
        return str(self._bars().dates[0])

    def input_files(self) -> dict[str, tuple[Path, ...]]:
        """Every file the source reads, by table ("bars", "index_daily", "index_members",
        "adj_factor", "st"; a table the folder does not have has none), as it last looked
        at them: what a store built from the source follows (``fingerprint`` covers each
        of them)."""
        self._bars()
        return {table: tuple(paths) for table, paths in self._listed.items()}

    @contextlib.contextmanager
    def pinned(self) -> Iterator[None]:
        """One look at the files for the duration: a preparation plans, builds and records
        what it built from the same files, whatever happens to them meanwhile (a file
        rewritten while a store is built is picked up by the next preparation)."""
        if not self._pins:
            self._look()
        self._pins += 1
        try:
            yield
        finally:
            self._pins -= 1

    def fingerprint(self) -> dict[str, Any]:
        """What the files held when they were read, in a few numbers a store records: of
        the bars a content hash of every date (over every file) and each stock's last
        date with a row; of every other table (``input_files``) a content hash of every
        date. Taken from the rows read, never from a later look at the files."""
        read = self._bars()
        if self._fingerprinted is not None and self._fingerprinted[0] == read.stamp:
            return self._fingerprinted[1]
        days: dict[int, float] = {}
        for key in read.spans:  # files in their order, so a date's sum is always the same
            hashes = read.summaries[key].hashes.tolist()
            for day, value in zip(read.file_dates[key].tolist(), hashes):
                days[day] = days.get(day, 0.0) + value
        # Older files are held by their seed rows, among them each stock's last row.
        last = pd.Series(read.bars.date).groupby(read.bars.code).max()
        found = {
            "dates": list(days),
            "hashes": list(days.values()),
            "codes": last.index.tolist(),
            "last": last.tolist(),
            "inputs": self._inputs,
        }
        self._fingerprinted = (read.stamp, found)  # asked twice a preparation, of one look
        return found

    def update_plan(self, recorded: dict[str, Any]) -> tuple[str, str | None, str]:
        """How to bring a store built from ``recorded`` (a ``fingerprint``) to the files as
        they are: ``("tail", None, "")`` when only days were added after its end, ``("from",
        date, reason)`` when older rows of any table changed (bars, index series,
        memberships, ...: a file restated, added or removed) or a stock suspended at its end
        resumed (their derived days change from there), ``("full", None, reason)`` when
        dates or stocks left the bars (a tail update never removes them) or the rewrite
        would cost more than a build."""
        try:
            old_days = dict(zip(recorded["dates"], recorded["hashes"], strict=True))
            old_last = dict(zip(recorded["codes"], recorded["last"], strict=True))
        except (KeyError, TypeError, ValueError):
            return "full", None, "the store's record of the files is unreadable"
        now = self.fingerprint()
        new_days = dict(zip(now["dates"], now["hashes"]))
        new_last = dict(zip(now["codes"], now["last"]))
        gone = sorted(set(old_days) - set(new_days))
        if gone:
            return "full", None, f"{len(gone)} dates left the files (the first {gone[0]})"
        left = sorted(set(old_last) - set(new_last))
        if left:
            return "full", None, f"{len(left)} stocks left the files (the first {left[0]:06d})"
        if not old_days:
            return "tail", None, ""
        end = max(old_days)
        changed = [d for d, h in new_days.items() if d <= end and old_days.get(d) != h]
        calendar = np.array(sorted(new_days))
        resumed = [
            int(calendar[np.searchsorted(calendar, last, side="right")])
            for code, last in old_last.items()
            if last < end and new_last[code] > last
        ]
        reasons = []
        if changed:
            reasons.append(
                f"rows of {len(changed)} stored dates changed (the first {min(changed)})"
            )
        if resumed:
            reasons.append(f"{len(resumed)} stocks suspended at the store's end traded again")
        # Every other table: a change on a stored date rewrites from there (an index close
        # restated, a membership list changed or added, a file added or removed).
        old_inputs = recorded.get("inputs")
        old_inputs = old_inputs if isinstance(old_inputs, dict) else {}
        none: dict[str, list[int]] = {"dates": [], "hashes": []}
        for table in sorted(now["inputs"].keys() | old_inputs.keys(), key=str):
            moved = _changed_dates(old_inputs.get(table, none), now["inputs"].get(table, none))
            if moved is None:
                return "full", None, f"the store's record of the {table} files is unreadable"
            moved = [day for day in moved if day <= end]
            if moved:
                changed.append(moved[0])
                reasons.append(
                    f"{table}: rows of {len(moved)} dates changed (the first {moved[0]})"
                )
        if not reasons:
            return "tail", None, ""
        start = min(changed + resumed)
        share = sum(1 for day in old_days if day >= start) / len(old_days)
        if share > _REWRITE_SHARE:
            reasons.append(f"rewriting {share:.0%} of the stored dates costs more than a build")
            return "full", None, "; ".join(reasons)
        return "from", str(start), "; ".join(reasons)

    def today(self) -> str:
        """The last date of the files."""
        return str(self._bars().dates[-1])

    def trading_dates(self) -> list[str]:
        return [str(d) for d in self._bars().dates]

    def _files(self) -> dict[str, list[Path]]:
        """The files of every table of the folder as they are now (``input_files``): a
        table listed here is followed by the store (``fingerprint``) with no other change."""
        files = {table: files_of(self.root, table) for table in TABLES}
        if not files["bars"]:
            raise FileSourceError(
                f"{self.root}: no bars.parquet, bars.csv or bars/ folder of daily bars"
            )
        return files

    def _bars(self, low: int | None | bool = False) -> _Read:
        """The bars as the files hold them now (within ``pinned()``: at its look); a file
        unchanged since the last look (path, size and modification time) is not parsed
        again. ``low``: the rows from that date on (None: every row) must be held; False:
        as held.

        A derivation leaves the source holding the newest file whole and of the older
        files only the rows a window from the newest file's first day needs: a tail update
        needs no more, and a whole history is read again when it is derived (rarely)."""
        read = self._read if self._pins and self._read is not None else self._look()
        if low is not False and not read.holds(low):
            self._read = None
            files = self._listed
            read = self._read = _reread(
                files["bars"],
                self.layout,
                read.stamp,
                read,
                whole=True,
                low=low,
                adjustments=self._adjustments(files, read, whole=True),
                progress=self._progress,
            )
        return read

    def _look(self) -> _Read:
        """Looks at the files: those changed since the last look are read again. What the
        tables other than the bars hold is recorded before they are read (the adjustment
        factors as read), and the look is taken again when a file changed while it was
        read, so the record of the files (``fingerprint``) never describes files newer than
        the rows read."""
        read = self._read
        for _ in range(_LOOKS):
            files = self._files()
            paths = [p for table in files for p in files[table]]
            stamp = _fingerprint(paths)
            if read is not None and read.stamp == stamp and read is self._read:
                return read
            self._read = None  # a failed read leaves nothing half-updated behind
            self._derived.clear()
            keys = dict(zip(paths, stamp))
            inputs = {
                table: _table_record([self._hashes_of(keys[path]) for path in paths])
                for table, paths in files.items()
                if table not in ("bars", "adj_factor")
            }
            adjustments = self._adjustments(files, read, whole=False)
            inputs["adj_factor"] = self._adjustment_record(files, *adjustments)
            # The tables beside the bars are small: read and checked with them, kept.
            series, listed = index_series(files["index_daily"], self.columns)
            indices = (series, member_rows(files["index_members"], self.columns))
            st = read_st_spans(files["st"], self.columns)
            read = _reread(
                files["bars"],
                self.layout,
                stamp,
                read,
                whole=False,
                adjustments=adjustments,
                progress=self._progress,
            )
            check_calendar({Path(key[0]): dates for key, dates in read.file_dates.items()}, listed)
            self._hashed = {key: self._hashed[key] for key in stamp if key in self._hashed}
            now = _fingerprint(paths)
            if now == stamp:
                self._listed, self._inputs, self._indices, self._st = files, inputs, indices, st
                self._read = read
                return read
        changed = next(path for path, a, b in zip(paths, stamp, now) if a != b)
        raise FileSourceError(
            f"{changed}: the file changed while it was read, {_LOOKS} times; "
            "prepare again once it is written"
        )

    def _hashes_of(self, key: _Key) -> tuple[np.ndarray, np.ndarray]:
        """``_table_hashes`` of a file other than the bars, computed once per version."""
        if key not in self._hashed:
            self._hashed[key] = _table_hashes(Path(key[0]), self.columns)
        return self._hashed[key]

    def _adjustment_record(
        self, files: dict[str, list[Path]], keys: tuple[_Key, ...], table: Adjustments | None
    ) -> dict[str, list[int]]:
        """The record of the adjustment-factor files of versions ``keys`` (see
        ``_factor_record``), from ``table`` when they were read for the join, else as
        recorded when they were."""
        if keys and table is None and self._adjusted[0] != keys:
            table = read_adjustments(files["adj_factor"], self.columns)
        if table is not None or not keys:
            self._adjusted = (keys, _factor_record(table))
        return self._adjusted[1]

    def _adjustments(
        self, files: dict[str, list[Path]], read: _Read | None, *, whole: bool
    ) -> tuple[tuple[_Key, ...], Adjustments | None]:
        """The adjustment-factor files and their table; the table is read only when a bars
        file is to be parsed (its factors are joined to the rows as they are read)."""
        keys = _fingerprint(files["adj_factor"])
        if not keys:
            return keys, None
        if read is not None and read.joined == keys:
            held = read.whole if whole else frozenset(read.spans)
            if all(key in held for key in _fingerprint(files["bars"])):
                return keys, None
        return keys, read_adjustments(files["adj_factor"], self.columns)

    def _history(self) -> tuple[MarketHistory, int]:
        return self._history_from(None)

    def _whole(self, start_date: object, names: Iterable[str]) -> bool:
        """Whether a query from ``start_date`` reads the whole history; the history is
        derived again when it asks for a factor handed over before."""
        low = normalize_yyyymmdd(start_date)
        whole = low is None or int(low) <= self._bars().dates[0]
        if whole and self._handed.intersection(names):
            self._derived.pop(None, None)
            self._handed.clear()
        return whole

    def get_factors(
        self, factor: str | Iterable[str], start_date: object = None, end_date: object = None
    ) -> pd.DataFrame:
        self._whole(start_date, name_list(factor, "factor"))
        return super().get_factors(factor, start_date, end_date)

    def get_factor_matrix(
        self, factor: str, start_date: object = None, end_date: object = None
    ) -> pd.DataFrame | None:
        """As the sandbox's; a table of the whole history is handed over: the source
        stops holding it (a full build reads each factor once, and the builder keeps
        its own copy), so the two do not sit in memory side by side."""
        name = name_list(factor, "factor")[0]
        whole = self._whole(start_date, [name])
        table = super().get_factor_matrix(factor, start_date, end_date)
        history = self._derived.get(None)
        if whole and history is not None and history.factors.pop(name, None) is not None:
            self._handed.add(name)
        return table

    def _history_from(self, low: str | None) -> tuple[MarketHistory, int]:
        """The whole history, or from ``low`` on derived from the rows that window needs
        (a tail update does not derive the years before it again)."""
        read = self._bars()
        window = low is not None and int(low) > read.dates[0]
        key = int(low) if window else None  # type: ignore[arg-type]
        if key not in self._derived:
            read = self._bars(key)
            if window:
                self._derived.pop(next((k for k in self._derived if k is not None), 0), None)
                # The older files by their seed rows first, file by file: the window's rows
                # are then taken from a few years' rows, not from a copy of the history.
                read = self._read = _shrunk(read, key)
                bars, consume = window_bars(read.bars, key), True  # type: ignore[arg-type]
            else:
                # The source goes back to holding only what later windows need, and the
                # other rows leave as they become tables.
                self._read = _shrunk(read)
                bars, consume = read.bars, self._read is not read
            del read
            self._derived[key] = self._load(bars, consume=consume)
            del bars
        history = self._derived[key]
        return history, len(history.dates)

    def _load(self, bars: Bars, *, consume: bool) -> MarketHistory:
        started = _dt.datetime.now()
        read = self._bars()
        if "is_st" not in bars.flags and self._st is None:
            self._log_once(
                "the files give no ST flag, so ST stocks trade within their board's normal "
                "limits (10 % instead of 5 % on the main board until 2026-07-06); give an "
                "is_st column in the bars, or an st table of ST spans (code, start_date, "
                "end_date) or ST days (code, date)",
                logging.WARNING,
            )
        with _progress(_DERIVATION_STEPS, "deriving the market", "step", self._progress) as bar:

            def step(what: str) -> None:
                bar.set_postfix_str(what, refresh=False)
                bar.update(1)

            market = derive_market(
                bars,
                consume=consume,
                history=(*read.listing(), read.dates),
                st=self._st,
                step=step,
            )
        del bars
        series, members = self._indices
        index_daily = index_daily_rows(series, market.dates)
        for warning in market.warnings:
            self._log_once(warning, logging.WARNING)
        for note in market.notes:
            logger.debug("file source: %s", note)
        missing = missing_benchmarks(index_daily)
        if missing:
            logger.debug("file source: no index series for benchmark(s) %s", ", ".join(missing))
        logger.debug(
            "file source: %d stocks x %d days derived in %.1fs",
            market.codes.size,
            market.dates.size,
            (_dt.datetime.now() - started).total_seconds(),
        )
        return MarketHistory(
            dates=market.dates,
            stamps=pd.to_datetime(market.dates, format="%Y%m%d").to_numpy(dtype="datetime64[ns]"),
            codes=market.codes,
            ukeys=market.codes,
            factors=Factors(market.factors, membership_factors(members, market)),
            index_daily=index_daily,
        )

    def _log_once(self, note: str, level: int = logging.INFO) -> None:
        """Logs ``note`` unless this source logged it before (a source derives its market
        again after every change of the files and for every window)."""
        if note not in self._logged:
            self._logged.add(note)
            logger.log(level, "file source: %s", note)
