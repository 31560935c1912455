"""A daily update in which stocks resume trading after a suspension, side by side with the
same update without them and with the full build of the files.

The market (random walks, one parquet file a year) is prepared once; 14 stocks have no rows
for the last 3 to 180 days of the files (suspended at the store's end). Then the files gain
two days (the last year's file written again): once with the 14 stocks still suspended, once
with them trading again. Each step runs in a fresh process on fresh copies of the files and
the store, so peak memory (VmHWM, above the process after imports) is that step's alone; an
update is timed as a daily run in a new session pays it: the source made (every file parsed)
and ``prepare_backtest_data``.

    PYTHONPATH=src .venv/bin/python benchmarks/bench_resumed.py            # 5,000 x 2,500
    PYTHONPATH=src .venv/bin/python benchmarks/bench_resumed.py --quick    # 500 x 500
"""

from __future__ import annotations

import json
import shutil
import statistics
import subprocess
import sys
import time
import types
from pathlib import Path

import numpy as np
import pandas as pd

sys.path.insert(0, str(Path(__file__).resolve().parent))
from _bench_common import SizedParser, scratch
from bench_file_source import COLUMNS, peak_rss_bytes, write_market

# Days before the files' end since each resuming stock's last row.
SUSPENDED_DAYS = (3, 5, 8, 10, 15, 20, 30, 40, 60, 80, 100, 120, 150, 180)
RUNS = 3


def step_prepare(root: str, store: str, today: str) -> dict:
    """A new session over the files, then ``prepare_backtest_data``: a full build when the
    store folder is empty, else an update."""
    from lumora import singleton
    from lumora.backtest import BacktestService, _service
    from lumora.backtest._full_build import BuiltPackage
    from lumora.file_source import FileSource

    base = peak_rss_bytes()
    started = time.perf_counter()
    source = FileSource(root, columns=COLUMNS, progress=False)
    made = time.perf_counter() - started
    singleton.set_instance(source)
    timestamp = types.SimpleNamespace(today=lambda: pd.Timestamp(today))
    _service.pd = types.SimpleNamespace(Timestamp=timestamp)
    _service._DEFAULT_DATA_DIR = Path(store)
    BacktestService(BuiltPackage(source)).prepare_backtest_data()
    seconds = time.perf_counter() - started
    return {
        "seconds": seconds,
        "source_made": made,
        "prepare": seconds - made,
        "peak": peak_rss_bytes() - base,
    }


def in_fresh_process(*args: str) -> dict:
    done = subprocess.run(
        [sys.executable, __file__, "--step", *args], capture_output=True, text=True, check=False
    )
    if done.returncode:
        raise RuntimeError(done.stderr[-3000:])
    return json.loads(done.stdout.strip().splitlines()[-1])


def main() -> None:
    if len(sys.argv) > 1 and sys.argv[1] == "--step":
        print(json.dumps(step_prepare(*sys.argv[2:])))
        return
    parser = SizedParser(__doc__, {"quick": {"stocks": 500, "days": 500}}, stocks=5000, days=2500)
    args = parser.parse_args()
    with scratch("bench-resumed-") as work:
        bars = work / "files" / "bars"
        write_market(bars, args.stocks, args.days, csv=False)
        tables = [pd.read_parquet(path) for path in sorted(bars.iterdir())]
        calendar = np.sort(np.concatenate([t["trade_date"].unique() for t in tables]))
        codes = sorted(tables[-1]["ts_code"].unique())
        del tables
        rng = np.random.default_rng(1)
        resuming = [str(c) for c in rng.choice(codes, len(SUSPENDED_DAYS), replace=False)]
        end = int(calendar[-1])
        position = {int(day): at for at, day in enumerate(calendar)}
        # The last day with a row of each resuming stock, counted in trading days.
        last_days = [int(calendar[position[end] - days]) for days in SUSPENDED_DAYS]
        suspend_by_day(bars, resuming, last_days, resumed_after=None)
        full = in_fresh_process(str(work / "files"), str(work / "store"), str(end))
        (work / "files" / "size").write_text(f"{args.stocks} {args.days}")
        print(f"{args.stocks} stocks x {args.days} days, parquet a year")
        print(f"  full build: {full['seconds']:.2f} s, peak {full['peak'] / 1e9:.2f} GB")
        results: dict[str, list[dict]] = {"still suspended": [], "resuming": []}
        # The source's identity is its folder: each run restores the files and the store
        # to where they were built.
        files, store = work / "files", work / "store"
        shutil.copytree(files, work / "files_built")
        shutil.copytree(store, work / "store_built")
        for _ in range(RUNS):
            for kind, runs in results.items():
                shutil.rmtree(files)
                shutil.rmtree(store)
                shutil.copytree(work / "files_built", files)
                shutil.copytree(work / "store_built", store)
                write_market(files / "bars", args.stocks, args.days, csv=False, appended=True)
                newest = max((files / "bars").iterdir())
                today = int(pd.read_parquet(newest)["trade_date"].max())
                # Only the newest file is written again: its suspended rows go again, and
                # with "resuming" the stocks have rows on the two new days.
                resumed_after = end if kind == "resuming" else None
                suspend_by_day(files / "bars", resuming, last_days, resumed_after=resumed_after)
                runs.append(in_fresh_process(str(files), str(store), str(today)))
        for kind, runs in results.items():
            seconds = statistics.median(r["seconds"] for r in runs)
            prepare = statistics.median(r["prepare"] for r in runs)
            peak = max(r["peak"] for r in runs)
            print(
                f"  two-day update, 14 stocks {kind}: {seconds:.2f} s in a new session "
                f"({prepare:.2f} s prepare), peak {peak / 1e9:.2f} GB (median of {RUNS})"
            )
        ratio = statistics.median(r["seconds"] for r in results["resuming"]) / statistics.median(
            r["seconds"] for r in results["still suspended"]
        )
        peak_share = max(r["peak"] for r in results["resuming"]) / full["peak"]
        print(
            f"  resuming / still suspended: {ratio:.2f}x; peak of resuming / full build: {peak_share:.2f}"
        )


def suspend_by_day(
    bars: Path, codes: list[str], last_days: list[int], *, resumed_after: int | None
) -> None:
    """Drop each stock's rows after its last day (up to ``resumed_after`` when it trades
    again after that)."""
    for path in sorted(bars.iterdir()):
        table = pd.read_parquet(path)
        drop = np.zeros(len(table), dtype=bool)
        for code, last in zip(codes, last_days):
            gap = table["trade_date"].to_numpy() > last
            if resumed_after is not None:
                gap &= table["trade_date"].to_numpy() <= resumed_after
            drop |= (table["ts_code"] == code).to_numpy() & gap
        if drop.any():
            table[~drop].to_parquet(path, index=False)


if __name__ == "__main__":
    main()
