"""What the file source's row checks and its fingerprint cost, against a full build of the
same files, and how long opening the files takes in a new session.

The same yearly parquet files are read by the file source as it is and with its checks
and per-file summaries (date hashes, first dates) replaced by no-ops, alternately in one
process; the difference is their cost. The full build (FileSource and the streamed write
into a store) is timed in the same process.

    PYTHONPATH=src .venv/bin/python benchmarks/bench_file_checks.py            # 5,000 x 2,500
    PYTHONPATH=src .venv/bin/python benchmarks/bench_file_checks.py --quick    # 1,000 x 1,000
"""

from __future__ import annotations

import statistics
import sys
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
from _bench_common import SizedParser, scratch
from bench_file_source import COLUMNS, write_market
from lumora.backtest._full_build import write_package
from lumora.sources.files import bars
from lumora.sources.files.source import FileSource
from lumora.sources.vendors import layout_of


def read_all(root: Path) -> float:
    started = time.perf_counter()
    layout = layout_of(None, COLUMNS, None)
    for path in sorted((root / "bars").iterdir()):
        bars.read_part(path, layout)
    return time.perf_counter() - started


def without_checks() -> dict[str, object]:
    """Replaces the checks and the summary by no-ops; returns what to put back."""
    kept = {
        name: getattr(bars, name)
        for name in ("check_values", "check_derived_price", "file_summary")
    }
    bars.check_values = lambda part, path: None
    bars.check_derived_price = lambda part, path, layout: None
    empty = np.zeros(0)
    bars.file_summary = lambda part, day, n, stock=None: bars.FileSummary(empty, empty, empty)
    return kept


def main() -> None:
    parser = SizedParser(
        __doc__, {"quick": {"stocks": 1000, "days": 1000}}, stocks=5000, days=2500, rounds=3
    )
    args = parser.parse_args()
    with scratch("bench-checks-") as work:
        write_market(work / "files" / "bars", args.stocks, args.days, csv=False)
        times: dict[str, list[float]] = {"with": [], "without": []}
        for round_ in range(args.rounds):
            for kind in ("with", "without") if round_ % 2 == 0 else ("without", "with"):
                kept = without_checks() if kind == "without" else {}
                try:
                    times[kind].append(read_all(work / "files"))
                finally:
                    for name, value in kept.items():
                        setattr(bars, name, value)
        started = time.perf_counter()
        source = FileSource(work / "files", columns=COLUMNS)
        opened = time.perf_counter() - started
        started = time.perf_counter()
        write_package(work / "store", source)
        built = opened + time.perf_counter() - started
        with_checks, bare = (statistics.median(times[k]) for k in ("with", "without"))
        cost = with_checks - bare
        print(
            f"{args.stocks} stocks x {args.days} days, parquet a year, median of {args.rounds} rounds"
        )
        print(
            f"  reading every file: {with_checks:.2f} s with the checks and summaries, "
            f"{bare:.2f} s without: they cost {cost:.2f} s"
        )
        print(
            f"  full build (opening the files and the streamed write): {built:.2f} s; "
            f"the checks are {100 * cost / built:.1f} % of it"
        )
        print(f"  opening the files in a new session (FileSource): {opened:.2f} s")


if __name__ == "__main__":
    main()
