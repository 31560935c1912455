"""Speed of many factor backtests in one call (``backtest_many``), as ratios against the same
jobs run one after another in this process:

  threads            a thread pool of the machine's cores; target: at most 0.6x serial;
  cluster broadcast  a dask LocalCluster of 2 worker processes (1 thread each), the loaded
                     data scattered once to each worker inside the timed call;
  cluster mapped     the same cluster, each worker opening the prepared store memory-mapped
                     (the first load inside the timed call); target for the faster of the two
                     cluster ways: at most 0.7x serial, data shipping included.

Also printed: the extra memory of each worker after each cluster way (unique set size, so
pages of the shared page cache do not count), how the time grows with the number of jobs
(10, 40, 160 by default) and the cluster's per-job overhead (time beyond the ideal
serial / workers, per job). The cluster start-up itself is timed apart. Before and after,
the machine's headroom is printed: what two processes of plain CPU work and of
memory-bound copies gain over one, the best any parallel run can reach at that moment on
a shared machine.

The market is the sandbox's, written as a prepared store into a temporary directory; jobs
are 20-group factor backtests without charts (momentum and reversal over several windows,
both sort directions).

    PYTHONPATH=src .venv/bin/python benchmarks/bench_batch.py            # 2,500 x 5,000
    PYTHONPATH=src .venv/bin/python benchmarks/bench_batch.py --small    # 250 x 500

``--mapped-rounds N`` measures only serial against the cluster on ``MappedData`` (each
round a fresh open of the store on every worker, after a serial run), N rounds, and prints
each round's ratio and their median: the figure to compare between two versions of the
code on a busy machine (run them alternately).
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import statistics
import tempfile
import time
from concurrent.futures import ProcessPoolExecutor
from pathlib import Path
from typing import Any

import numpy as np
import pandas as pd

from lumora.backtest import BacktestData, BacktestService
from lumora.backtest._prepare import BinaryPreparedDataStore
from lumora.backtest.batch import FactorJob, MappedData
from lumora.sandbox import generate_market

TARGETS = {"threads": 0.6, "cluster": 0.7}
WINDOWS = (1, 2, 3, 5, 10, 15, 20, 40, 60, 120)


def make_jobs(close: pd.DataFrame, n: int, start: str, end: str, groups: int) -> dict:
    """``n`` factor jobs: momentum / reversal over the windows, both sort directions."""
    tables = {}
    for window in WINDOWS:
        change = close / close.shift(window) - 1.0
        tables[f"mom{window}"] = change
        tables[f"rev{window}"] = -change
    names = list(tables)
    jobs = {}
    for i in range(n):
        name = names[i % len(names)]
        ascending = (i // len(names)) % 2 == 1
        smooth = (i // (2 * len(names))) * 2
        jobs[f"{name}_{i}"] = FactorJob(
            tables[name], start, end, group_num=groups, ascending=ascending, rolling_window=smooth
        )
    return jobs


def timed(run: Any) -> tuple[float, Any]:
    gc.collect()
    started = time.perf_counter()
    value = run()
    return time.perf_counter() - started, value


def worker_anon_mb(client: Any) -> dict[str, float]:
    """Private anonymous memory of each worker (file-backed mapped pages excluded)."""

    def anon() -> float:
        with open("/proc/self/status") as fh:
            for line in fh:
                if line.startswith("RssAnon:"):
                    return int(line.split()[1]) / 1024
        return float("nan")

    return client.run(anon)


def extra_mb(before: dict[str, float], after: dict[str, float]) -> float:
    return max(after[w] - before[w] for w in before)


def _spin(_: int) -> int:
    total = 0
    for i in range(4_000_000):
        total += i
    return total


def _copy(_: int) -> float:
    a = np.ones(25_000_000)  # 200 MB, well beyond any cache
    b = np.empty_like(a)
    for _ in range(6):
        np.copyto(b, a)
        a, b = b, a
    return float(a[0])


def headroom() -> dict[str, float]:
    """What two processes gain over one on this machine right now, for pure CPU work and
    for memory-bound work: the best ratio any parallel run can reach at the moment."""
    out = {}
    with ProcessPoolExecutor(2) as pool:
        list(pool.map(_spin, range(2)))
        for work in (_spin, _copy):
            serial, _ = timed(lambda: [work(i) for i in range(2)])  # noqa: B023
            parallel, _ = timed(lambda: list(pool.map(work, range(2))))  # noqa: B023
            out[work.__name__.strip("_")] = parallel / serial
    return out


def report(how: str, took: float, extra: float, serial: float, figures: dict) -> None:
    print(
        f"cluster {how}: {took:.2f}s = {took / serial:.2f}x serial (target <= "
        f"{TARGETS['cluster']}), extra private memory per worker {extra:.0f} MB"
    )
    figures[f"cluster_{how}_s"] = took
    figures[f"cluster_{how}_ratio"] = took / serial
    figures[f"cluster_{how}_extra_mb"] = round(extra, 1)


def mapped_rounds(args: argparse.Namespace, run: Any, store_dir: Path) -> list[float]:
    """Serial, then the cluster on MappedData with the first open of the store inside the
    timed call, ``args.mapped_rounds`` times; the ratio of each round."""
    from distributed import Client, LocalCluster

    ratios = []
    cluster = LocalCluster(
        n_workers=2,
        threads_per_worker=1,
        processes=True,
        host="127.0.0.1",
        dashboard_address="127.0.0.1:0",
    )
    with cluster, Client(cluster) as client:
        for round_number in range(args.mapped_rounds):
            serial = run(args.jobs, "serial")
            client.restart()
            mapped = run(args.jobs, client, MappedData(str(store_dir)))
            ratios.append(mapped / serial)
            print(
                f"round {round_number + 1}: {args.jobs} jobs serial {serial:.2f}s, cluster "
                f"mapped {mapped:.2f}s = {mapped / serial:.3f}x"
            )
    return ratios


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--stocks", type=int, default=5000)
    parser.add_argument("--dates", type=int, default=2500)
    parser.add_argument("--jobs", type=int, default=40)
    parser.add_argument("--growth", type=int, nargs="*", default=[10, 40, 160])
    parser.add_argument("--groups", type=int, default=20)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--small", action="store_true", help="250 x 500, growth 10/40")
    parser.add_argument("--json", type=Path, help="also write the figures to this file")
    parser.add_argument(
        "--mapped-rounds", type=int, default=0, help="only serial vs cluster mapped, N rounds"
    )
    args = parser.parse_args()
    if args.small:
        args.stocks, args.dates, args.growth = 500, 250, [10, 40]

    from distributed import Client, LocalCluster

    figures: dict[str, Any] = {"dates": args.dates, "stocks": args.stocks, "cores": os.cpu_count()}
    figures["headroom_before"] = headroom()
    print(
        "machine headroom: 2 processes take {spin:.2f}x serial on pure CPU work, "
        "{copy:.2f}x on memory-bound copies".format(**figures["headroom_before"])
    )
    print(f"market {args.dates} dates x {args.stocks} stocks, {args.groups} groups, no charts")
    with tempfile.TemporaryDirectory() as tmp:
        store_dir = Path(tmp) / "enviroment_data"
        seconds, tables = timed(
            lambda: generate_market(args.stocks, args.dates, args.seed).dataset_tables()
        )
        BinaryPreparedDataStore(store_dir).write_payload({"version": 1, "meta": {}, "data": tables})
        del tables
        data = BacktestData(data=BinaryPreparedDataStore(store_dir).load(mmap=False)["data"])
        size = sum(
            v.memory_usage(deep=False).sum() for v in data.data.values() if hasattr(v, "columns")
        )
        figures["data_mb"] = round(size / 2**20, 1)
        print(f"generated and stored in {seconds:.1f}s; loaded data {size / 2**20:.0f} MB")
        close = data.data["close_price"]
        start, end = close.index[len(close) // 10], close.index[-1]
        service = BacktestService(None)

        def run(count: int, executor: Any, source: Any = data) -> float:
            jobs = make_jobs(close, count, start, end, args.groups)
            seconds, batch = timed(
                lambda: service.backtest_many(jobs, source, executor=executor, progress=False)
            )
            assert not batch.failed, batch.failed
            return seconds

        if args.mapped_rounds:
            figures["mapped_rounds"] = mapped_rounds(args, run, store_dir)
            print(f"median ratio {statistics.median(figures['mapped_rounds']):.3f}x serial")
            if args.json:
                args.json.write_text(json.dumps(figures, indent=2) + "\n")
            return 0
        serial = run(args.jobs, "serial")
        threads = run(args.jobs, None)
        print(
            f"{args.jobs} jobs: serial {serial:.2f}s, threads {threads:.2f}s "
            f"= {threads / serial:.2f}x (target <= {TARGETS['threads']})"
        )
        figures.update(serial_s=serial, threads_s=threads, threads_ratio=threads / serial)

        seconds, cluster = timed(
            lambda: LocalCluster(
                n_workers=2,
                threads_per_worker=1,
                processes=True,
                host="127.0.0.1",
                dashboard_address="127.0.0.1:0",
            )
        )
        print(f"LocalCluster of 2 worker processes started in {seconds:.1f}s (not counted)")
        with cluster, Client(cluster) as client:
            # Broadcast: time the whole call (scatter included), then hold one copy to see
            # what it costs each worker.
            took = run(args.jobs, client, data)
            before = worker_anon_mb(client)
            held = client.scatter(data, broadcast=True, hash=False)
            extra = extra_mb(before, worker_anon_mb(client))
            held.release()
            report("broadcast", took, extra, serial, figures)
            client.restart()
            # Mapped: the first open of the store on each worker is inside the timed call.
            before = worker_anon_mb(client)
            took = run(args.jobs, client, MappedData(str(store_dir)))
            report("mapped", took, extra_mb(before, worker_anon_mb(client)), serial, figures)
            growth = {}
            for count in args.growth:
                base = run(count, "serial")
                on_threads = run(count, None)
                mapped = MappedData(str(store_dir))
                run(2, client, mapped)  # workers open the store once, as in a session
                on_cluster = run(count, client, mapped)
                overhead = (on_cluster - base / 2) / count
                growth[count] = {
                    "serial_s": base,
                    "threads_s": on_threads,
                    "cluster_mapped_s": on_cluster,
                    "cluster_overhead_per_job_ms": overhead * 1000,
                }
                print(
                    f"{count:4d} jobs: serial {base:.2f}s, threads {on_threads:.2f}s, "
                    f"cluster (mapped, warm) {on_cluster:.2f}s; cluster overhead per job "
                    f"{overhead * 1000:.0f} ms"
                )
            figures["growth"] = growth
    figures["headroom_after"] = headroom()
    print(
        "machine headroom after: {spin:.2f}x on CPU work, {copy:.2f}x on memory-bound "
        "copies".format(**figures["headroom_after"])
    )
    if args.json:
        args.json.write_text(json.dumps(figures, indent=2) + "\n")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
