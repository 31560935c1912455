"""Speed of the prepared-data store and of the service's data path, as ratios against
baselines measured in the same run on the same data.

  load      BacktestService.load_backtest_data vs reading the bytes of the same matrix files
            into memory (page cache warm for both; best of three)
  slice     BacktestService._slice_data to a one-year window vs the plain pandas cut
            (table.loc[(index >= start) & (index <= end)] per table)
  strategy  backtest_strategy(plot=None) over the whole period vs run_strategy_backtest_core
            on the same, already cut, inputs
  verified  the time the store's checks of every segment (header, dtype, size against the
            metadata) take inside load_backtest_data, as a share of that load; also the
            load with the checks switched off, interleaved
  verify    store.verify() (every segment's XXH3 checksum) vs reading the bytes of the
            same files (page cache warm for both; best of three)
  tail      a two-day update_tail (no new stocks): bytes written and time vs rewriting every
            matrix of the store

The store is built under --dir (default /tmp/lumora_bench_store, removed afterwards unless
--keep) from a random-walk market with all seventeen datasets and three benchmarks.

    PYTHONPATH=src .venv/bin/python benchmarks/bench_store.py              # 2,500 x 5,000
    PYTHONPATH=src .venv/bin/python benchmarks/bench_store.py --quick      # 250 x 500
"""

from __future__ import annotations

import argparse
import gc
import json
import shutil
import time
from pathlib import Path
from typing import Any

import numpy as np
import pandas as pd

from _bench_common import best_of, test_helper
from lumora._dataset_keys import component_dataset_key
from lumora.backtest import BacktestService, _service, _weightbook
from lumora.backtest._prepare import COMPONENT_FACTOR_NAMES, BinaryPreparedDataStore
from lumora.backtest._store import BinaryPreparedDataStoreBase

RESULTS = Path(__file__).resolve().parent / "results" / "bench_store.json"
TARGETS = {
    "load_vs_read_bytes": 2.0,
    "strategy_vs_runner": 1.2,
    "checks_share_of_load": 0.05,
    "verify_vs_read_bytes": 2.0,
}
# The engine keywords and their datasets, from the one place the tests keep them.
MARKET_INPUTS = test_helper("engine_keys").MARKET_KEYS


# --------------------------------------------------------------------------- data


def random_market(n_days: int, n_stocks: int, seed: int) -> dict[str, Any]:
    """All prepared datasets of a random-walk market: listings part-way, suspensions,
    limit days, occasional splits and dividends, index membership, three benchmarks."""
    rng = np.random.default_rng(seed)
    dates = pd.Index(pd.bdate_range("2014-01-02", periods=n_days).strftime("%Y%m%d"), dtype=str)
    codes = pd.Index(
        [f"{c:06d}" for c in np.sort(rng.choice(700_000, n_stocks, replace=False))], dtype=str
    )

    def table(values: np.ndarray) -> pd.DataFrame:
        return pd.DataFrame(values, index=dates, columns=codes, copy=False)

    steps = rng.normal(0.0003, 0.02, (n_days, n_stocks))
    close = 10.0 * np.exp(np.cumsum(steps, axis=0))
    listed = np.arange(n_days)[:, None] >= rng.integers(0, n_days // 3, n_stocks)[None, :]
    suspended = rng.random((n_days, n_stocks)) < 0.01
    close[~listed | suspended] = np.nan
    valid = np.where(np.isnan(close), np.nan, 1.0)
    prev_close = np.vstack([np.full((1, n_stocks), np.nan), close[:-1]])
    split = np.where(rng.random((n_days, n_stocks)) < 0.0005, 1.5, 1.0) * valid
    dividend = np.where(rng.random((n_days, n_stocks)) < 0.002, 0.1, 0.0) + (valid - 1)
    data: dict[str, Any] = {
        "industry_matrix": table(rng.integers(1, 30, (n_days, n_stocks)) * valid),
        "close_price": table(close),
        "open_price": table(close * (1 + rng.normal(0, 0.005, close.shape))),
        "close_price_valid": table(valid),
        "prev_close": table(prev_close),
        "buy_price": table(close * (1 + rng.normal(0, 0.003, close.shape))),
        "sell_price": table(close * (1 + rng.normal(0, 0.003, close.shape))),
        "rq_get_split": table(split),
        "rq_get_dividend": table(dividend),
        "can_buy_stock": table(listed & ~suspended & (rng.random(close.shape) > 0.01)),
        "cant_sell_stock": table(~listed | suspended | (rng.random(close.shape) < 0.01)),
        "forward_return_rank_cache": table(rng.random(close.shape) * n_stocks * valid),
    }
    for size, name in zip((300, 500, 1000, 1500, 1000), COMPONENT_FACTOR_NAMES):
        members = np.zeros(n_stocks, dtype=bool)
        members[rng.choice(n_stocks, min(size, n_stocks), replace=False)] = True
        data[component_dataset_key(name)] = table(np.where(members[None, :] & listed, 1.0, np.nan))
    data["benchmark_dict"] = {
        code: pd.Series(rng.normal(0.0002, 0.012, n_days), index=dates)
        for code in ("000852", "000300", "000905")
    }
    return data


def strategy_weights(data: dict[str, Any], holdings: int, seed: int) -> pd.DataFrame:
    """Equal weights on ``holdings`` listed stocks, re-drawn every twenty days."""
    rng = np.random.default_rng(seed)
    valid = data["close_price_valid"].to_numpy()
    weights = np.full(valid.shape, np.nan)
    for start in range(0, len(valid), 20):
        candidates = np.flatnonzero(~np.isnan(valid[start]))
        chosen = rng.choice(candidates, min(holdings, len(candidates)), replace=False)
        weights[start : start + 20, chosen] = 1.0 / len(chosen)
    close = data["close_price"]
    return pd.DataFrame(weights, index=close.index, columns=close.columns)


def segment_files(store: BinaryPreparedDataStore) -> list[Path]:
    datasets = store.load_metadata()["datasets"]
    return [store.store_dir / s["file"] for r in datasets.values() for s in r["segments"]]


def directory_state(directory: Path) -> dict[str, tuple[int, int]]:
    return {p.name: (p.stat().st_size, p.stat().st_mtime_ns) for p in directory.iterdir()}


def bytes_written(before: dict[str, tuple[int, int]], after: dict[str, tuple[int, int]]) -> int:
    return sum(
        size for name, (size, mtime) in after.items() if before.get(name, (None, None))[1] != mtime
    )


# --------------------------------------------------------------------------- measurements


def measure_load(service: BacktestService, store: BinaryPreparedDataStore) -> dict[str, float]:
    files = segment_files(store)

    def read_bytes() -> list[bytes]:
        return [f.read_bytes() for f in files]

    def read_arrays() -> list[np.ndarray]:
        return [np.fromfile(f, dtype=np.uint8) for f in files]

    read_bytes()  # warm the page cache
    # The faster of two plain ways of getting the bytes into memory is the baseline.
    raw = min(best_of(3, read_bytes), best_of(3, read_arrays))
    load = best_of(3, service.load_backtest_data)
    return {"read_bytes_s": raw, "load_backtest_data_s": load, "load_vs_read_bytes": load / raw}


def measure_verification(
    service: BacktestService, store: BinaryPreparedDataStore, repeat: int = 5
) -> dict[str, float]:
    """The checks' share of a load is timed inside the same load (two separate large loads
    differ by far more than the checks on a shared machine); the loads with and without
    the checks are compared too, interleaved."""
    files = segment_files(store)
    checked = BinaryPreparedDataStoreBase._check_dataset
    spent = [0.0]

    def timed_check(self: Any, key: str, record: Any, seen: Any = None) -> None:
        began = time.perf_counter()
        checked(self, key, record, seen)
        spent[0] += time.perf_counter() - began

    def cpu_of_load() -> float:
        gc.collect()
        began = time.process_time()
        service.load_backtest_data()
        return time.process_time() - began

    def verified_load() -> tuple[float, float, float]:
        spent[0] = 0.0
        BinaryPreparedDataStoreBase._check_dataset = timed_check
        try:
            wall = best_of(1, service.load_backtest_data)
            return wall, spent[0], cpu_of_load()
        finally:
            BinaryPreparedDataStoreBase._check_dataset = checked

    def unchecked_load() -> tuple[float, float]:
        BinaryPreparedDataStoreBase._check_dataset = lambda self, key, record, seen=None: None
        try:
            return best_of(1, service.load_backtest_data), cpu_of_load()
        finally:
            BinaryPreparedDataStoreBase._check_dataset = checked

    def read_bytes() -> list[bytes]:
        return [f.read_bytes() for f in files]

    assert store.verify() == []
    inf = float("inf")
    verified, unchecked, verify, raw = (inf, 0.0, inf), (inf, inf), inf, inf
    cpu_checked = cpu_unchecked = inf
    for turn in range(repeat):  # interleaved, so both sides see the same machine load
        if turn % 2:
            unchecked = min(unchecked, unchecked_load())
            cpu_unchecked = min(cpu_unchecked, unchecked[1])
        verified = min(verified, verified_load())
        cpu_checked = min(cpu_checked, verified[2])
        if not turn % 2:
            unchecked = min(unchecked, unchecked_load())
            cpu_unchecked = min(cpu_unchecked, unchecked[1])
        verify = min(verify, best_of(1, store.verify))
        raw = min(raw, best_of(1, read_bytes))
    return {
        "verified_load_s": verified[0],
        "checks_in_load_s": verified[1],
        "checks_share_of_load": verified[1] / verified[0],
        "unchecked_load_s": unchecked[0],
        "verified_vs_unchecked_load": verified[0] / unchecked[0],
        # process CPU time: what the checks add, with less of other processes' noise
        "verified_vs_unchecked_load_cpu": cpu_checked / cpu_unchecked,
        "verify_s": verify,
        "verify_read_bytes_s": raw,
        "verify_vs_read_bytes": verify / raw,
    }


def measure_slice(data: dict[str, Any]) -> dict[str, float]:
    dates = data["close_price"].index
    start, end = dates[-250], dates[-1]

    def pandas_cut() -> dict[str, Any]:
        out = {}
        for key, value in data.items():
            if key == "benchmark_dict":
                out[key] = {
                    n: s.loc[(s.index >= start) & (s.index <= end)] for n, s in value.items()
                }
            elif isinstance(value, pd.DataFrame):
                out[key] = value.loc[(value.index >= start) & (value.index <= end)]
        return out

    ours = best_of(5, lambda: BacktestService._slice_data(data, start, end))
    baseline = best_of(3, pandas_cut)
    return {"slice_one_year_s": ours, "pandas_cut_s": baseline, "slice_vs_pandas": ours / baseline}


def measure_strategy(data: dict[str, Any], weights: pd.DataFrame, repeat: int) -> dict[str, float]:
    service = BacktestService(None)
    start, end = data["close_price"].index[0], data["close_price"].index[-1]
    cut = BacktestService._slice_data(data, start, end)
    inputs = {keyword: cut[dataset] for keyword, dataset in MARKET_INPUTS.items()}

    def direct() -> Any:
        return _weightbook.run_strategy_backtest_core(
            weights,
            **inputs,
            benchmark_dict=cut["benchmark_dict"],
            plot_image_kind=None,
            strategy_name="bench",
        )

    def request() -> Any:
        return service.backtest_strategy(
            weights, _data_record(data), start, end, None, "bench", plot=None
        )

    request()  # first use loads the strategy module
    runner = ours = float("inf")
    for _ in range(repeat):  # interleaved, so both see the same machine load
        runner = min(runner, best_of(1, direct))
        ours = min(ours, best_of(1, request))
    return {
        "run_strategy_backtest_core_s": runner,
        "backtest_strategy_s": ours,
        "strategy_vs_runner": ours / runner,
    }


def _data_record(data: dict[str, Any]) -> Any:
    from lumora.backtest import BacktestData

    return BacktestData(data=data)


def measure_tail(
    store: BinaryPreparedDataStore, data: dict[str, Any], seed: int
) -> dict[str, float]:
    """Two days from the last stored date on: one rewritten, one new; the same stocks."""
    rng = np.random.default_rng(seed)
    dates = data["close_price"].index
    new_day = (pd.Timestamp(dates[-1]) + pd.offsets.BDay()).strftime("%Y%m%d")
    rows = pd.Index([dates[-1], new_day], dtype=str)
    tail: dict[str, Any] = {}
    for key, value in data.items():
        if key == "benchmark_dict":
            tail[key] = {c: pd.Series(rng.normal(0, 0.01, 2), index=rows) for c in value}
        else:
            last = value.iloc[-1:].to_numpy()
            tail[key] = pd.DataFrame(np.vstack([last, last]), index=rows, columns=value.columns)
    payload = {"version": 1, "meta": {"write_start_date": dates[-1]}, "data": tail}

    before = directory_state(store.store_dir)
    began = time.perf_counter()
    assert store.update_tail(payload)
    tail_s = time.perf_counter() - began
    tail_bytes = bytes_written(before, directory_state(store.store_dir))

    before = directory_state(store.store_dir)
    began = time.perf_counter()
    store.write_payload({"version": 1, "meta": {}, "data": data})
    full_s = time.perf_counter() - began
    full_bytes = bytes_written(before, directory_state(store.store_dir))
    return {
        "tail_bytes": tail_bytes,
        "tail_s": tail_s,
        "rewrite_bytes": full_bytes,
        "rewrite_s": full_s,
        "tail_vs_rewrite_bytes": tail_bytes / full_bytes,
        "tail_vs_rewrite_time": tail_s / full_s,
    }


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--days", type=int, default=2500)
    parser.add_argument("--stocks", type=int, default=5000)
    parser.add_argument("--quick", action="store_true", help="250 days x 500 stocks")
    parser.add_argument("--dir", type=Path, default=Path("/tmp/lumora_bench_store"))
    parser.add_argument("--keep", action="store_true", help="keep the generated store")
    parser.add_argument("--record", action="store_true", help=f"write the figures to {RESULTS}")
    args = parser.parse_args()
    days, stocks = (250, 500) if args.quick else (args.days, args.stocks)

    shutil.rmtree(args.dir, ignore_errors=True)
    data = random_market(days, stocks, seed=1)
    store = BinaryPreparedDataStore(args.dir)
    began = time.perf_counter()
    store.write_payload({"version": 1, "meta": {}, "data": data})
    write_s = time.perf_counter() - began
    size = sum(f.stat().st_size for f in segment_files(store))
    print(
        f"store: {days} dates x {stocks} stocks, {len(data) - 1} datasets + 3 benchmarks, "
        f"{size / 1e9:.2f} GB on disk, full write {write_s:.2f} s"
    )

    _service._DEFAULT_DATA_DIR = args.dir
    figures: dict[str, Any] = {
        "dates": days,
        "stocks": stocks,
        "store_bytes": size,
        "full_write_s": write_s,
    }
    figures |= measure_load(BacktestService(None), store)
    print(
        f"load      load_backtest_data {figures['load_backtest_data_s']:.3f} s, reading the file bytes "
        f"{figures['read_bytes_s']:.3f} s: ratio {figures['load_vs_read_bytes']:.2f} "
        f"(target <= {TARGETS['load_vs_read_bytes']})"
    )
    figures |= measure_verification(BacktestService(None), store)
    print(
        f"verified  load with checks {figures['verified_load_s']:.3f} s, of which the checks "
        f"{figures['checks_in_load_s'] * 1e3:.2f} ms: {figures['checks_share_of_load']:.2%} "
        f"(target <= 5 %); separate load without checks {figures['unchecked_load_s']:.3f} s "
        f"(wall ratio {figures['verified_vs_unchecked_load']:.3f}, machine noise included; "
        f"CPU time ratio {figures['verified_vs_unchecked_load_cpu']:.3f})"
    )
    print(
        f"verify    verify() {figures['verify_s']:.3f} s, reading the file bytes "
        f"{figures['verify_read_bytes_s']:.3f} s: ratio {figures['verify_vs_read_bytes']:.2f} "
        f"(target <= {TARGETS['verify_vs_read_bytes']})"
    )
    figures |= measure_slice(data)
    print(
        f"slice     one year {figures['slice_one_year_s'] * 1e3:.2f} ms, pandas cut "
        f"{figures['pandas_cut_s'] * 1e3:.1f} ms: ratio {figures['slice_vs_pandas']:.3f}"
    )
    weights = strategy_weights(data, holdings=100, seed=2)
    figures |= measure_strategy(data, weights, repeat=5)
    print(
        f"strategy  backtest_strategy {figures['backtest_strategy_s']:.3f} s, run_strategy_backtest_core "
        f"{figures['run_strategy_backtest_core_s']:.3f} s: ratio {figures['strategy_vs_runner']:.3f} "
        f"(target <= {TARGETS['strategy_vs_runner']})"
    )
    figures |= measure_tail(store, data, seed=3)
    print(
        f"tail      two-day update_tail wrote {figures['tail_bytes'] / 1e6:.2f} MB in {figures['tail_s']:.3f} s; "
        f"rewriting every matrix wrote {figures['rewrite_bytes'] / 1e9:.2f} GB in {figures['rewrite_s']:.2f} s: "
        f"bytes ratio {figures['tail_vs_rewrite_bytes']:.5f}, time ratio {figures['tail_vs_rewrite_time']:.4f}"
    )
    if args.record:
        RESULTS.parent.mkdir(parents=True, exist_ok=True)
        RESULTS.write_text(json.dumps(figures, indent=1) + "\n")
    if not args.keep:
        shutil.rmtree(args.dir, ignore_errors=True)


if __name__ == "__main__":
    main()
