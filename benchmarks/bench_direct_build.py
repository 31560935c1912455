"""The full build of your own files written straight into the store (``init_files`` now)
against the same build travelling as a package over loopback HTTP (the road before):
archive, download, checksum, unpack. Both roads alternate in one process on the same files.

    PYTHONPATH=src .venv/bin/python benchmarks/bench_direct_build.py            # 800 x 1,200
    PYTHONPATH=src .venv/bin/python benchmarks/bench_direct_build.py --quick    # 300 x 500
"""

from __future__ import annotations

import shutil
import statistics
import time

from _bench_common import SizedParser, scratch
from lumora import singleton
from lumora.backtest._full_build import BuiltPackage, package_writer
from lumora.backtest._package_server import PackageServer
from lumora.backtest._pkg import download_benchmark_package
from lumora.file_source import FileSource
from lumora.sandbox import export_market, generate_market


def main() -> None:
    parser = SizedParser(
        __doc__, {"quick": {"stocks": 300, "days": 500}}, stocks=800, days=1200, rounds=3
    )
    args = parser.parse_args()
    with scratch("bench-direct-") as work:
        export_market(generate_market(args.stocks, args.days, seed=7), work / "files")
        source = FileSource(work / "files")
        singleton.set_instance(source)
        times: dict[str, list[float]] = {"direct": [], "http": []}
        for round_ in range(args.rounds):
            for road in ("direct", "http") if round_ % 2 == 0 else ("http", "direct"):
                target = work / f"{road}-{round_}" / "enviroment_data"
                started = time.perf_counter()
                if road == "direct":
                    download_benchmark_package(BuiltPackage(source), target)
                else:
                    with PackageServer(package_writer(source)) as server:
                        download_benchmark_package(server.http_client(), target)
                times[road].append(time.perf_counter() - started)
                shutil.rmtree(target.parent)
        direct, http = (statistics.median(times[k]) for k in ("direct", "http"))
        print(
            f"{args.stocks} stocks x {args.days} days, median of {args.rounds} alternating rounds"
        )
        print(f"  written directly into the store: {direct:.2f} s")
        print(f"  through an archive over loopback HTTP: {http:.2f} s")
        print(f"  direct / http: {direct / http:.2f}x")


if __name__ == "__main__":
    main()
