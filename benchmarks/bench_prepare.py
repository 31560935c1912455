"""Speed and memory of data preparation, against baselines measured in the same run.

  update  a two-day incremental update of a 5,000-stock store through the service
          (build_incremental_write_window + update_tail), split into SDK query time,
          builder time outside the queries (pivots and derivation) and the write; the
          derivation alone against the plain pandas model of the tests; the write against
          rewriting the whole store, and for two store lengths to show it follows the tail
  full    a full build from the sandbox (1,000 stocks x 2,000 days by default): time and
          peak memory (fresh process, VmHWM) against the same reads converted and derived
          with the plain pandas model

The SDK is the sandbox client; its market is generated before any timing starts.

    PYTHONPATH=src:tests .venv/bin/python benchmarks/bench_prepare.py            # full size
    PYTHONPATH=src:tests .venv/bin/python benchmarks/bench_prepare.py --quick    # small
"""

from __future__ import annotations

import argparse
import json
import shutil
import sys
import tempfile
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any

ROOT = Path(__file__).resolve().parents[1]
sys.path[:0] = [str(ROOT / "src"), str(ROOT / "tests")]

import prepare_model
from _bench_common import SizedParser, best_of, peak_extra_bytes, probe_in_child, reset_peak
from lumora import singleton
from lumora.backtest import _service
from lumora.backtest._full_build import build_payload
from lumora.backtest._prepare import (
    BUILD_INPUT_NAMES,
    COMPONENT_FACTOR_NAMES,
    BinaryPreparedDataStore,
    GroupPreparedDataBuilder,
    get_component_factor_names,
)
from lumora.sandbox import trading_calendar
from lumora.sources.sandbox.client import SandboxClient

RESULTS = ROOT / "benchmarks" / "results" / "bench_prepare.json"


class TimedClient:
    """Forwards to the sandbox client and adds up the time spent inside its queries."""

    def __init__(self, inner: SandboxClient) -> None:
        self.inner = inner
        self.seconds = 0.0
        self.queries = 0

    def _timed(self, call: Callable[[], Any]) -> Any:
        start = time.perf_counter()
        try:
            return call()
        finally:
            self.seconds += time.perf_counter() - start
            self.queries += 1

    def get_factors(self, factor, start_date=None, end_date=None):
        return self._timed(lambda: self.inner.get_factors(factor, start_date, end_date))

    def get_index_daily(self, ukeys, start_date=None, end_date=None):
        return self._timed(lambda: self.inner.get_index_daily(ukeys, start_date, end_date))


class Clock:
    def __init__(self, day: str) -> None:
        self.day = day

    def __call__(self) -> str:
        return self.day


def calendar_day(start: str, n: int) -> str:
    return trading_calendar(start, n)[-1]


# --------------------------------------------------------------------------- update


def timed_derivation(builder_class: type) -> dict[str, float]:
    """Wraps the deriving steps of the builder class to time them apart from the reads."""
    spent = {"derive": 0.0}
    original = builder_class._build_from_matrices
    attribute = builder_class.__dict__["_build_from_matrices"]  # the method descriptor itself

    def derive(self, source, **options):
        start = time.perf_counter()
        try:
            return original(self, source, **options)
        finally:
            spent["derive"] += time.perf_counter() - start

    builder_class._build_from_matrices = derive
    spent["restore"] = lambda: setattr(builder_class, "_build_from_matrices", attribute)  # type: ignore[assignment]
    return spent


def store_of(client: SandboxClient, end: str, directory: Path) -> BinaryPreparedDataStore:
    shutil.rmtree(directory, ignore_errors=True)
    store = BinaryPreparedDataStore(directory)
    store.write_payload(build_payload(client, end=end))
    return store


def one_update(
    client: SandboxClient, clock: Clock, store_days: int, directory: Path, start: str
) -> dict[str, Any]:
    """Prepare a store of store_days, move the calendar on two days and update it."""
    clock.day = calendar_day(start, store_days)
    store = store_of(client, clock.day, directory)
    base = store.load_metadata()["datasets"]["close_price"]["index"]
    clock.day = calendar_day(start, store_days + 2)
    timed = TimedClient(client)
    singleton.set_instance(timed)
    spent = timed_derivation(GroupPreparedDataBuilder)
    try:
        started = time.perf_counter()
        payload = _service.build_incremental_write_window(list(base), base[-2], clock.day)
        build_seconds = time.perf_counter() - started
    finally:
        spent["restore"]()
        singleton.set_instance(client)
    started = time.perf_counter()
    assert store.update_tail(payload)
    write_seconds = time.perf_counter() - started
    written = len(payload["data"]["close_price"])
    return {
        "store_days": len(base),
        "rows_written": written,
        "sdk_queries": timed.queries,
        "sdk_seconds": timed.seconds,
        "builder_seconds_outside_queries": build_seconds - timed.seconds,
        "derive_seconds": spent["derive"],
        "write_seconds": write_seconds,
    }


def derivation_vs_pandas(client: SandboxClient, start: str, end: str) -> dict[str, float]:
    """The derivation of the update's read window: native against the pandas model."""
    builder = GroupPreparedDataBuilder(start, end)
    source = builder._read_source_data(True)[0]
    native = best_of(5, lambda: builder._build_from_matrices(source))
    model = best_of(3, lambda: prepare_model.derive(source))
    return {"derive_native_s": native, "derive_pandas_s": model, "derive_speedup": model / native}


def full_rewrite_seconds(client: SandboxClient, end: str, directory: Path) -> float:
    payload = build_payload(client, end=end)
    store = BinaryPreparedDataStore(directory)
    return best_of(2, lambda: store.write_payload(payload))


def measure_update(args: argparse.Namespace) -> dict[str, Any]:
    start = "20240102"
    clock = Clock(calendar_day(start, args.update_days + 2))
    horizon = calendar_day(start, args.update_days + 40)
    client = SandboxClient(
        args.update_stocks, seed=args.seed, start=start, horizon=horizon, today=clock
    )
    singleton.set_instance(client)
    client.trading_dates()  # generate the market before timing
    workdir = Path(tempfile.mkdtemp(prefix="lumora-bench-prepare-"))
    try:
        runs = []
        for days in (args.update_days // 2, args.update_days):
            for _ in range(args.repeat):
                runs.append(one_update(client, clock, days, workdir / f"store-{days}", start))
        by_length: dict[int, dict[str, Any]] = {}
        for run in runs:  # best of the repeats, per measure
            best = by_length.setdefault(run["store_days"], dict(run))
            for key, value in run.items():
                if key.endswith("seconds"):
                    best[key] = min(best[key], value)
        long_store, short_store = max(by_length), min(by_length)
        end = calendar_day(start, args.update_days + 2)
        rewrite = full_rewrite_seconds(client, end, workdir / "rewrite")
        read_start = calendar_day(start, args.update_days - 1)
        figures = {
            "stocks": args.update_stocks,
            "runs": by_length,
            "full_rewrite_seconds": rewrite,
            "write_vs_full_rewrite": by_length[long_store]["write_seconds"] / rewrite,
            "write_long_vs_short_store": by_length[long_store]["write_seconds"]
            / by_length[short_store]["write_seconds"],
            **derivation_vs_pandas(client, read_start, end),
        }
    finally:
        shutil.rmtree(workdir, ignore_errors=True)
    return figures


# --------------------------------------------------------------------------- full build


def pandas_full_build(start: str, end: str) -> dict[str, Any]:
    """The same reads converted and derived with the plain pandas model."""
    builder = GroupPreparedDataBuilder(start, end)
    client = singleton.get_instance()
    dates = {"start_date": builder._vk_factor_date(start), "end_date": builder._vk_factor_date(end)}
    tables = {}
    for name in list(BUILD_INPUT_NAMES) + get_component_factor_names():
        tables[name] = prepare_model.factors_to_matrices(
            client.get_factors(factor=name, **dates), [name]
        )[name]
    data = prepare_model.derive({name: tables[name] for name in BUILD_INPUT_NAMES})
    for name in COMPONENT_FACTOR_NAMES:
        data[name] = prepare_model.membership_mask(tables[name])
    data["benchmark_dict"] = builder._read_benchmark_dict()
    return data


def probe_full(args: argparse.Namespace) -> None:
    """Child process: the market first, then one build between two readings of the peak."""
    start = "20180102"
    end = calendar_day(start, args.full_days)
    client = SandboxClient(args.full_stocks, seed=args.seed, start=start, horizon=end, today=end)
    client.trading_dates()
    timed = TimedClient(client)
    singleton.set_instance(timed)
    base = reset_peak()
    started = time.perf_counter()
    if args.probe == "native":
        result = GroupPreparedDataBuilder(start, end).build()["data"]
    else:
        result = pandas_full_build(start, end)
    seconds = time.perf_counter() - started
    extra_bytes = peak_extra_bytes(base)
    shape = result["close_price"].shape
    figures = {
        "seconds": seconds,
        "sdk_seconds": timed.seconds,
        "extra_bytes": extra_bytes,
    }
    print(json.dumps({**figures, "shape": shape}))


def measure_full(args: argparse.Namespace) -> dict[str, Any]:
    sizes = {"full_stocks": args.full_stocks, "full_days": args.full_days, "seed": args.seed}
    out = {which: probe_in_child(__file__, which, **sizes) for which in ("native", "pandas")}
    cells = out["native"]["shape"][0] * out["native"]["shape"][1]
    return {
        "shape": out["native"]["shape"],
        "native_seconds": out["native"]["seconds"],
        "native_sdk_seconds": out["native"]["sdk_seconds"],
        "pandas_sdk_seconds": out["pandas"]["sdk_seconds"],
        "pandas_seconds": out["pandas"]["seconds"],
        "speedup": out["pandas"]["seconds"] / out["native"]["seconds"],
        "native_peak_extra_mib": out["native"]["extra_bytes"] / 2**20,
        "pandas_peak_extra_mib": out["pandas"]["extra_bytes"] / 2**20,
        "native_peak_bytes_per_cell": out["native"]["extra_bytes"] / cells,
    }


# --------------------------------------------------------------------------- main


def main() -> None:
    full = {"update_stocks": 5000, "update_days": 480, "full_stocks": 1000, "full_days": 2000}
    quick = {"update_stocks": 500, "update_days": 120, "full_stocks": 200, "full_days": 300}
    parser = SizedParser(__doc__, {"quick": quick}, **full, repeat=3, seed=7)
    parser.add_argument("--probe", choices=["native", "pandas"], help=argparse.SUPPRESS)
    parser.add_argument("--only", choices=["update", "full"])
    args = parser.parse_args()
    if args.probe:
        probe_full(args)
        return
    results: dict[str, Any] = {}
    if args.only in (None, "update"):
        print(
            f"update: {args.update_stocks} stocks, stores of {args.update_days // 2} and "
            f"{args.update_days} days, two new days",
            flush=True,
        )
        results["update"] = measure_update(args)
        print(json.dumps(results["update"], indent=1), flush=True)
    if args.only in (None, "full"):
        print(f"full build: {args.full_stocks} stocks x {args.full_days} days", flush=True)
        results["full"] = measure_full(args)
        print(json.dumps(results["full"], indent=1), flush=True)
    if not args.quick:  # a partial run replaces only its own part of the recorded figures
        recorded = json.loads(RESULTS.read_text()) if RESULTS.exists() else {}
        RESULTS.parent.mkdir(parents=True, exist_ok=True)
        RESULTS.write_text(json.dumps({**recorded, **results}, indent=1) + "\n")


if __name__ == "__main__":
    main()
