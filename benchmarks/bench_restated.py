"""An update after one older file was restated: the files are prepared (a full build, which
records their fingerprint), one close in a file some years back is changed, and the next
prepare_backtest_data rewrites from that date only. Both are timed in one process.

    PYTHONPATH=src .venv/bin/python benchmarks/bench_restated.py            # 5,000 x 2,500
    PYTHONPATH=src .venv/bin/python benchmarks/bench_restated.py --quick    # 500 x 500
"""

from __future__ import annotations

import sys
import time
import types
from pathlib import Path

import pandas as pd

sys.path.insert(0, str(Path(__file__).resolve().parent))
from _bench_common import SizedParser, scratch
from bench_file_source import COLUMNS, write_market
from lumora import singleton
from lumora.backtest import BacktestService, _service
from lumora.backtest._full_build import BuiltPackage
from lumora.backtest._prepare import BinaryPreparedDataStore
from lumora.file_source import FileSource


def prepare(root: Path) -> float:
    source = FileSource(root, columns=COLUMNS)
    singleton.set_instance(source)
    started = time.perf_counter()
    BacktestService(BuiltPackage(source)).prepare_backtest_data()
    return time.perf_counter() - started


def main() -> None:
    parser = SizedParser(__doc__, {"quick": {"stocks": 500, "days": 500}}, stocks=5000, days=2500)
    parser.add_argument("--recent", action="store_true")
    args = parser.parse_args()
    with scratch("bench-restated-") as work:
        root = work / "files"
        write_market(root / "bars", args.stocks, args.days, csv=False)
        files = sorted((root / "bars").iterdir())
        last = pd.read_parquet(files[-1])["trade_date"].max()
        timestamp = types.SimpleNamespace(today=lambda: pd.Timestamp(str(last)))
        _service.pd = types.SimpleNamespace(Timestamp=timestamp)
        _service._DEFAULT_DATA_DIR = work / "store"
        full = prepare(root)
        # A file from the middle of the history (a whole new build), or the one before the
        # newest (a rewrite from the restated date).
        restated = files[-2] if args.recent else files[len(files) // 2]
        table = pd.read_parquet(restated)
        row = len(table) // 2
        table.loc[row, "close"] = round(table.loc[row, "close"] * 1.01, 2)
        table.to_parquet(restated, index=False)
        update = prepare(root)
        dates = BinaryPreparedDataStore(work / "store").load_metadata()["datasets"]
        stored = len(dates["close_price"]["index"])
        day = str(table.loc[row, "trade_date"])
        after = sum(1 for d in dates["close_price"]["index"] if d >= day)
        print(f"{args.stocks} stocks x {args.days} days, parquet a year")
        print(f"  full build (first prepare): {full:.2f} s")
        print(
            f"  one close restated on {day} in {restated.name}: the next prepare took {update:.2f} s"
        )
        print(f"  ({after} of {stored} stored dates lie on or after it)")


if __name__ == "__main__":
    main()
