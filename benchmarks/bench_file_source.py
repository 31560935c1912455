"""Speed and memory of the file data source, against pandas reading the same files.

Writes a synthetic market of daily bars (random walks, suspensions as missing rows, an
adjustment factor, one parquet file per year) and measures, each step in a fresh
process so that peak memory (VmHWM) belongs to that step alone:

  read      pandas.read_parquet of the folder (the baseline) and pyarrow / pandas CSV
  full      FileSource + write_package (the builder's full build, each table written
            to the store as it is emitted), from parquet and from CSV, and from parquet
            the whole payload built first and then written (the road before streaming);
            peak memory above the process after imports, per date x stock, and the
            phase (table being written or derived) where the sampled peak sits
  sandbox   the first prepare_backtest_data after init_sandbox(n_stocks), HOME a
            scratch folder; peak memory of the whole process
  tail      a session that prepared before: the files gain two days and the whole
            prepare_backtest_data of the tail update is timed (re-reading the changed
            file, deriving the window, updating the store)

    PYTHONPATH=src .venv/bin/python benchmarks/bench_file_source.py            # 5,000 x 2,500
    PYTHONPATH=src .venv/bin/python benchmarks/bench_file_source.py --quick    # 500 x 500
    PYTHONPATH=src .venv/bin/python benchmarks/bench_file_source.py --full-only --rounds 3
        # only pandas' read of the parquet files and the full build from them, alternating,
        # three rounds: the ratio of the two, side by side on a shared machine
    ... --full-only --rounds 3 --old /tmp/base/src
        # the same, and in each round the full build of another tree's package as well
        # (a copy of an earlier src with its compiled modules): before and after in one run;
        # the two stores of a round must be the same (see store_summary), or the run stops
    ... --full-only --warm-memory 3500
        # each step's process first touches and hands back 3,500 MB, then times its step
        # with the peak (VmHWM) reset: on a virtual machine whose host takes back free
        # memory (virtio_balloon free page reporting) memory unused for a few seconds costs
        # about 0.26 s of system time per 100 MB the first time it is touched again, a cost
        # that otherwise falls on whichever step meets fresh memory first (pandas' read took
        # 0.5 s in one round and 2.0-2.3 s in the next three of one quiet run); warmed, the
        # read and the build both get memory the host has not taken back
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
import pandas as pd

ROOT = Path(__file__).resolve().parents[1]
RESULTS = ROOT / "benchmarks" / "results" / "bench_file_source.json"


def peak_rss_bytes() -> int:
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith("VmHWM:"):
            return int(line.split()[1]) * 1024
    return 0


def write_market(
    folder: Path, n_stocks: int, n_days: int, *, csv: bool, seed: int = 0, appended: bool = False
) -> None:
    """Long daily bars, one file per year, about 1 % of stock-days missing (suspended).
    ``appended``: the same market two days longer, written over the last year's file."""
    sys.path.insert(0, str(ROOT / "src"))
    from lumora.sandbox import trading_calendar

    rng = np.random.default_rng(seed)
    dates = np.array(trading_calendar("20140102", n_days + 2))
    codes = np.sort(rng.choice(np.arange(1, 700_000), n_stocks, replace=False))
    steps = rng.normal(0.0003, 0.02, (n_days + 2, n_stocks))
    close = np.round(10.0 * np.exp(np.cumsum(steps, axis=0)), 2)
    adj = np.cumprod(np.where(rng.random(close.shape) < 0.002, 1.05, 1.0), axis=0)
    folder.mkdir(parents=True, exist_ok=True)
    years = np.array([d[:4] for d in dates])
    written = n_days + 2 if appended else n_days
    for year in np.unique(years):
        rows = np.flatnonzero(years == year)
        keep = rng.random((rows.size, n_stocks)) > 0.01
        keep, rows = keep[rows < written], rows[rows < written]
        if rows.size == 0 or (appended and year != years[-1]):
            continue
        r, c = np.nonzero(keep)
        table = pd.DataFrame(
            {
                "trade_date": dates[rows][r].astype(np.int64),
                "ts_code": np.char.add(np.char.zfill(codes.astype(str), 6), ".SZ")[c],
                "open": close[rows][r, c],
                "close": close[rows][r, c],
                "vol": np.full(r.size, 1000.0),
                "vwap": close[rows][r, c],
                "adj_factor": adj[rows][r, c],
            }
        )
        if csv:
            table.to_csv(folder / f"{year}.csv", index=False)
        else:
            table.to_parquet(folder / f"{year}.parquet", index=False)


COLUMNS = {"trade_date": "date", "ts_code": "code", "vol": "volume"}


def cpu_seconds() -> float:
    """User and system time of this process so far (every thread): less bent by other
    processes on a shared machine than the time on the clock."""
    return sum(cpu_split())


def cpu_split() -> tuple[float, float]:
    """User and system time of this process so far (every thread), apart: the system time
    is mostly the kernel's handing out (and zeroing) of fresh memory and page-cache writes."""
    import resource

    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime, usage.ru_stime


def step_read(folder: str, kind: str) -> dict:
    files = sorted(Path(folder).iterdir())
    base = peak_rss_bytes()
    cpu = cpu_seconds()
    started = time.perf_counter()
    if kind == "pandas_parquet":
        frames = [pd.read_parquet(f) for f in files]
    elif kind == "pandas_csv":
        frames = [pd.read_csv(f, dtype={"ts_code": str}) for f in files]
    else:
        import pyarrow.csv as pacsv

        options = pacsv.ConvertOptions(column_types={"ts_code": "string"})
        frames = [pacsv.read_csv(f, convert_options=options).to_pandas() for f in files]
    rows = sum(len(f) for f in frames)
    return {
        "seconds": time.perf_counter() - started,
        "cpu_seconds": cpu_seconds() - cpu,
        "rows": rows,
        "peak": peak_rss_bytes() - base,
    }


class _PeakSampler:
    """Samples VmRSS every 5 ms in a thread and remembers the phase at the highest sample,
    which shows where the peak sits (VmHWM gives the exact peak)."""

    def __init__(self) -> None:
        import threading

        self.phase = "start"
        self.peak = (0, "start")
        self.phase_peaks: dict[str, int] = {}
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _run(self) -> None:
        status = Path("/proc/self/status")
        while not self._stop.wait(0.005):
            for line in status.read_text().splitlines():
                if line.startswith("VmRSS:"):
                    rss, phase = int(line.split()[1]) * 1024, self.phase
                    if rss > self.peak[0]:
                        self.peak = (rss, phase)
                    if rss > self.phase_peaks.get(phase, 0):
                        self.phase_peaks[phase] = rss

    def mark(self, owner: type, method: str, label: str) -> None:
        """Name the phase "<label> <first argument>" while ``owner.method`` runs, and
        "after ..." once it returned."""
        original = getattr(owner, method)

        def marked(this, key, *args, **kwargs):  # type: ignore[no-untyped-def]
            self.phase = f"{label} {key}"
            try:
                return original(this, key, *args, **kwargs)
            finally:
                self.phase = f"after {label} {key}"

        setattr(owner, method, marked)

    def stop(self) -> tuple[int, str]:
        self._stop.set()
        self._thread.join()
        return self.peak

    def highest_phases(self, base: int, cells: int, count: int = 6) -> dict[str, float]:
        """The phases of the highest samples, as bytes per cell above ``base``."""
        ranked = sorted(self.phase_peaks.items(), key=lambda item: -item[1])[:count]
        return {phase: round((rss - base) / cells, 1) for phase, rss in ranked}


def step_full(root: str, store: str, road: str = "package") -> dict:
    """The full build from the files into a store directory, through ``write_package``
    (each table written as the build emits it), or with ``road="whole"`` the whole payload
    built first and then written (the road before streaming), for comparison."""
    from lumora.backtest import _store
    from lumora.backtest._full_build import build_payload, write_package
    from lumora.backtest._prepare import BinaryPreparedDataStore
    from lumora.file_source import FileSource

    sampler = _PeakSampler()
    sampler.mark(_store.PayloadWriter, "__call__", "writing")
    sampler.mark(FileSource, "get_factor_matrix", "querying")
    base = peak_rss_bytes()
    split = cpu_split()
    cpu = cpu_seconds()
    started = time.perf_counter()
    sampler.phase = "reading files"
    source = FileSource(root, columns=COLUMNS, progress=False)
    read = time.perf_counter() - started
    sampler.phase = "building"
    if road == "whole":
        payload = build_payload(source)
        BinaryPreparedDataStore(Path(store)).write_payload(payload)
        del payload
    else:
        write_package(Path(store), source)
    seconds = time.perf_counter() - started
    cpu = cpu_seconds() - cpu
    user, system = (after - before for after, before in zip(cpu_split(), split))
    peak_rss, peak_phase = sampler.stop()
    # The source's record of the files, beside the store, for comparing two trees' builds
    # (made after the timing: a preparation records it once the store is written).
    Path(f"{store}.source.json").write_text(json.dumps(source.fingerprint()))
    close = BinaryPreparedDataStore(Path(store)).load_metadata()["datasets"]["close_price"]
    cells = len(close["index"]) * len(close["columns"])
    return {
        "road": road,
        "seconds": seconds,
        "cpu_seconds": cpu,
        "user_seconds": user,
        "system_seconds": system,
        "read_and_derive": read,
        "build_and_write": seconds - read,
        "cells": cells,
        "peak": peak_rss_bytes() - base,
        "peak_phase": peak_phase,
        "highest_phases_bytes_per_cell": sampler.highest_phases(base, cells),
        "sampled_peak_rss": peak_rss,
        "rss_after_imports": base,
    }


def step_tail(root: str, store: str) -> dict:
    """A new session over files prepared before: the source is made (every file looked
    at), the files gain two days (the last year's file is written again) and
    ``prepare_backtest_data`` updates the tail; the two together are what a daily run in
    a fresh process pays."""
    import types

    from lumora import singleton
    from lumora.backtest import BacktestService, _service
    from lumora.backtest._prepare import BinaryPreparedDataStore
    from lumora.file_source import FileSource

    started = time.perf_counter()
    source = FileSource(root, columns=COLUMNS, progress=False)
    first_read = time.perf_counter() - started
    singleton.set_instance(source)
    # The store was written for these files elsewhere: it records them as a prepare would.
    BinaryPreparedDataStore(Path(store)).write_source_record(
        {"source": source.source_identity(), "source_fingerprint": source.fingerprint()}
    )
    n_stocks, n_days = (int(v) for v in Path(root, "size").read_text().split())
    write_market(Path(root) / "bars", n_stocks, n_days, csv=False, appended=True)
    today = str(max(pd.read_parquet(max(Path(root, "bars").iterdir()))["trade_date"]))
    timestamp = types.SimpleNamespace(today=lambda: pd.Timestamp(today))
    _service.pd = types.SimpleNamespace(Timestamp=timestamp)
    _service._DEFAULT_DATA_DIR = Path(store)
    update = time.perf_counter()
    BacktestService(None).prepare_backtest_data()
    seconds = time.perf_counter() - update
    loaded = BacktestService(None).load_backtest_data().data["close_price"].index[-1]
    return {
        "seconds": seconds,
        "first_read_in_a_new_session": first_read,
        "new_session_seconds": first_read + seconds,
        "last_date": str(loaded),
        "today": today,
    }


def step_sandbox(n_stocks: str) -> dict:
    """The first ``prepare_backtest_data`` after ``init_sandbox`` (HOME is a scratch
    folder): build, packing, download and unpacking; peak of the whole process."""
    import lumora
    from lumora.backtest import _store
    from lumora.sources.base import MarketClient

    sampler = _PeakSampler()
    sampler.mark(_store.PayloadWriter, "__call__", "package: writing")
    sampler.mark(MarketClient, "get_factor_matrix", "package: querying")
    started = time.perf_counter()
    sampler.phase = "init_sandbox"
    lumora.init_sandbox(int(n_stocks))
    init = time.perf_counter() - started
    sampler.phase = "prepare: reading"
    lumora.prepare_backtest_data()
    peak_rss, peak_phase = sampler.stop()
    return {
        "init": init,
        "prepare": time.perf_counter() - started - init,
        "peak_rss": peak_rss_bytes(),
        "peak_phase": peak_phase,
        "sampled_peak_rss": peak_rss,
    }


_WARM_MEMORY = "BENCH_WARM_MEMORY_MB"


def warm_memory(megabytes: int) -> None:
    """Touch ``megabytes`` of memory and hand it back, then reset the process's peak (VmHWM)
    so that it belongs to the step alone (see the module's ``--warm-memory``)."""
    if megabytes <= 0:
        return
    touched = np.ones(megabytes * (1 << 20) // 8)
    del touched
    Path("/proc/self/clear_refs").write_text("5")  # 5: reset the peak resident size


def in_fresh_process(
    step: str, *args: str, home: str | None = None, src: str | None = None
) -> dict:
    """``step`` in a new process importing the package of ``src`` (this tree's by default)."""
    command = [sys.executable, __file__, "--step", step, *args]
    env_path = src or str(ROOT / "src")
    done = subprocess.run(
        command,
        capture_output=True,
        text=True,
        check=True,
        env={
            "PYTHONPATH": env_path,
            "PATH": "/usr/bin:/bin",
            "HOME": home or tempfile.gettempdir(),
            _WARM_MEMORY: os.environ.get(_WARM_MEMORY, "0"),
        },
    )
    return json.loads(done.stdout.strip().splitlines()[-1])


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--full-only", action="store_true")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--old", help="with --full-only: another tree's src to build with too")
    parser.add_argument(
        "--warm-memory",
        type=int,
        default=0,
        metavar="MB",
        help="each step's process touches and hands back MB first (see above)",
    )
    parser.add_argument("--step")
    parser.add_argument("args", nargs="*")
    options = parser.parse_args()
    if options.warm_memory:
        os.environ[_WARM_MEMORY] = str(options.warm_memory)
    if options.step:
        warm_memory(int(os.environ.get(_WARM_MEMORY, "0")))
        steps = {"read": step_read, "full": step_full, "tail": step_tail, "sandbox": step_sandbox}
        print(json.dumps(steps[options.step](*options.args)))
        return
    n_stocks, n_days = (500, 500) if options.quick else (5000, 2500)
    if options.full_only:
        full_over_read(n_stocks, n_days, options.rounds, options.old)
        return
    results: dict = {"n_stocks": n_stocks, "n_days": n_days}
    with tempfile.TemporaryDirectory(prefix="bench-files-") as scratch:
        work = Path(scratch)
        for fmt in ("parquet", "csv"):
            write_market(work / fmt / "bars", n_stocks, n_days, csv=fmt == "csv")
        print(f"market: {n_stocks} stocks x {n_days} days, parquet and CSV, one file a year")
        for kind, fmt in (
            ("pandas_parquet", "parquet"),
            ("pandas_csv", "csv"),
            ("pyarrow_csv", "csv"),
        ):
            results[f"read_{kind}"] = in_fresh_process("read", str(work / fmt / "bars"), kind)
            print(kind, results[f"read_{kind}"])
        for fmt, road in (("parquet", "whole"), ("parquet", "package"), ("csv", "package")):
            store = work / f"store_{fmt}_{road}"
            full = in_fresh_process("full", str(work / fmt), str(store), road)
            full["peak_bytes_per_cell"] = full["peak"] / full["cells"]
            name = f"full_{fmt}" if road == "package" else f"full_{fmt}_{road}_payload"
            results[name] = full
            print(f"full build from {fmt} ({road}):", full)
        whole = results["full_parquet_whole_payload"]["peak"]
        results["full_parquet_peak_over_whole_payload"] = results["full_parquet"]["peak"] / whole
        print(
            f"peak, streamed / whole payload: {results['full_parquet_peak_over_whole_payload']:.2f}"
        )
        (work / "parquet" / "size").write_text(f"{n_stocks} {n_days}")
        # Three daily runs, each a fresh process on fresh copies of the files and the
        # store (single runs on this shared machine differ by up to 2x).
        runs = []
        for run in range(3):
            files, store = work / f"tail_files_{run}", work / f"tail_store_{run}"
            shutil.copytree(work / "parquet", files)
            shutil.copytree(work / "store_parquet_package", store)
            os.sync()  # the copies are not flushed during the timed update
            runs.append(in_fresh_process("tail", str(files), str(store)))
            shutil.rmtree(store)
        results["tail"] = {
            "runs": runs,
            "median_new_session_seconds": statistics.median(r["new_session_seconds"] for r in runs),
            "median_update_seconds": statistics.median(r["seconds"] for r in runs),
        }
        print("two-day tail update", results["tail"])
    with tempfile.TemporaryDirectory(prefix="bench-sandbox-home-") as home:
        results["sandbox_first_prepare"] = in_fresh_process("sandbox", str(n_stocks), home=home)
    print("first prepare after init_sandbox", results["sandbox_first_prepare"])
    base = results["read_pandas_parquet"]["seconds"]
    results["full_parquet_over_read_parquet"] = results["full_parquet"]["seconds"] / base
    print(
        f"full build / pandas.read_parquet alone: {results['full_parquet_over_read_parquet']:.1f}x"
    )
    RESULTS.parent.mkdir(parents=True, exist_ok=True)
    RESULTS.write_text(json.dumps(results, indent=2) + "\n")


def store_summary(store: Path) -> dict:
    """What a store of the files holds, to compare two trees' builds of the same files:
    each dataset's dates, stocks, dtype and the checksum of each segment (its bytes), the
    benchmark series, and the source's record of the files written beside the store."""
    sys.path.insert(0, str(ROOT / "src"))
    from lumora.backtest._prepare import BinaryPreparedDataStore

    meta = BinaryPreparedDataStore(store).load_metadata()
    datasets = {
        key: {
            "index": record.get("index"),
            "columns": record.get("columns"),
            "dtype": record.get("dtype"),
            "segments": [
                {name: value for name, value in segment.items() if name != "file"}
                for segment in record.get("segments", [])
            ],
        }
        for key, record in meta["datasets"].items()
    }
    return {
        "datasets": datasets,
        "benchmarks": meta.get("benchmarks"),
        "record": json.loads(Path(f"{store}.source.json").read_text()),
    }


def summary_differences(a: dict, b: dict) -> list[str]:
    """The parts in which two store summaries differ (empty when they are the same)."""
    found = [
        f"dataset {key}"
        for key in sorted(set(a["datasets"]) | set(b["datasets"]))
        if a["datasets"].get(key) != b["datasets"].get(key)
    ]
    found += [name for name in ("benchmarks", "record") if a[name] != b[name]]
    return found


def full_over_read(n_stocks: int, n_days: int, rounds: int, old: str | None = None) -> None:
    """pandas' read of the parquet files and the full build from them, alternating in
    fresh processes, ``rounds`` times: each round's ratio, and the median's; with ``old``
    (another tree's ``src``) its full build too in each round, after this tree's in odd
    rounds and before it in even ones."""
    builds: dict[str, dict[str, list[float]]] = {}
    with tempfile.TemporaryDirectory(prefix="bench-files-") as scratch:
        work = Path(scratch)
        write_market(work / "parquet" / "bars", n_stocks, n_days, csv=False)
        warmed = int(os.environ.get(_WARM_MEMORY, "0"))
        print(
            f"market: {n_stocks} stocks x {n_days} days, parquet, one file a year"
            + (f"; each process warmed with {warmed:,} MB first" if warmed else "")
        )
        reads, read_cpu = [], []
        trees = {"this tree": None} if old is None else {"this tree": None, "old": old}
        for run in range(rounds):
            read = in_fresh_process("read", str(work / "parquet" / "bars"), "pandas_parquet")
            reads.append(read["seconds"])
            read_cpu.append(read["cpu_seconds"])
            line = (
                f"round {run + 1}: pandas.read_parquet {read['seconds']:.1f} s "
                f"({read['rows']:,} rows, {read['cpu_seconds']:.2f} s of CPU)"
            )
            order = list(trees) if run % 2 == 0 else list(trees)[::-1]
            summaries = []
            for name in order:
                store = work / f"store_{run}"
                full = in_fresh_process(
                    "full", str(work / "parquet"), str(store), "package", src=trees[name]
                )
                # Summed up and deleted at once: a store left in the page cache would slow
                # the next build of the round.
                summaries.append(store_summary(store))
                shutil.rmtree(store)
                Path(f"{store}.source.json").unlink()
                got = builds.setdefault(
                    name,
                    {"seconds": [], "cpu": [], "user": [], "system": [], "wall_x": [], "cpu_x": []},
                )
                got["seconds"].append(full["seconds"])
                got["cpu"].append(full["cpu_seconds"])
                got["user"].append(full["user_seconds"])
                got["system"].append(full["system_seconds"])
                got["wall_x"].append(full["seconds"] / read["seconds"])
                got["cpu_x"].append(full["cpu_seconds"] / read["cpu_seconds"])
                line += (
                    f"; full build ({name}) {full['seconds']:.1f} s (files read "
                    f"{full['read_and_derive']:.1f} s; {full['cpu_seconds']:.2f} s of CPU), "
                    f"{got['wall_x'][-1]:.1f}x ({got['cpu_x'][-1]:.1f}x in CPU); peak "
                    f"{full['peak'] / full['cells']:.0f} bytes per date x stock"
                )
            print(line)
            if len(summaries) == 2:
                different = summary_differences(*summaries)
                if different:
                    raise SystemExit(f"round {run + 1}: the two trees' stores differ: {different}")
                print(f"round {run + 1}: the two stores are the same (datasets, segments, record)")
        for name, got in builds.items():
            print(
                f"{name}: median full build {statistics.median(got['seconds']):.1f} s, "
                f"{statistics.median(got['cpu']):.2f} s of CPU (user "
                f"{statistics.median(got['user']):.2f} s, system "
                f"{statistics.median(got['system']):.2f} s); median pandas.read_parquet "
                f"{statistics.median(reads):.1f} s, {statistics.median(read_cpu):.2f} s of CPU; "
                f"median of the rounds' ratios {statistics.median(got['wall_x']):.1f}x on the "
                f"clock, {statistics.median(got['cpu_x']):.1f}x in CPU time"
            )


if __name__ == "__main__":
    main()
