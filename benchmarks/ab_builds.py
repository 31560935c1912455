"""Two builds of the package compared on the native calls the strategy and group
benchmarks time, in alternation so that a shared machine's load falls on both alike.

Each round runs one child process per build; a child loads that build's modules, reads the
cached inputs (sandbox market, dates x stocks) and prints the best of `--repeat` timings of
calc_strategy_vwap_daily_return, run_strategy_backtest_core (also with record_positions=True)
and run_alpha_vwap_backtest_core. The medians over the rounds and their ratio (new / old) are
printed with the data size.

With `--cpu` the children time the process's CPU time instead of the wall clock: on a machine
other work keeps busy, the waits for a core then do not count (the group core's worker
threads count each of their CPU seconds).

    PYTHONPATH=src .venv/bin/python benchmarks/ab_builds.py --old /tmp/base/src --new src [--cpu]
"""

from __future__ import annotations

import argparse
import json
import os
import pickle
import statistics
import subprocess
import sys
import time
from pathlib import Path
from typing import Any

from _bench_common import best_of, reversal_5d, test_helper, top_held

CALLS = ("engine", "runner", "positions", "group")
# The engine keywords and their datasets, from the one place the tests keep them.
KEYS = test_helper("engine_keys").MARKET_KEYS


def make_inputs(path: Path, n_dates: int, n_stocks: int, held: int) -> None:
    from lumora.sandbox import generate_market

    data = generate_market(n_stocks, n_dates, 7).dataset_tables()
    factor = reversal_5d(data["close_price"])
    # A boolean table that gains NaN through where() is object in pandas 3; the engines are
    # measured on float64 weights, the table users pass.
    weights = top_held(factor, data["close_price_valid"], held).astype("float64")
    with path.open("wb") as f:
        pickle.dump({"data": data, "factor": factor, "weights": weights}, f, protocol=5)


def child(path: Path, repeat: int, cpu: bool) -> None:
    from lumora.backtest import _core, _weightbook

    with path.open("rb") as f:
        inputs = pickle.load(f)
    data, weights = inputs["data"], inputs["weights"]
    market = {k: data[v] for k, v in KEYS.items()}
    calls: dict[str, Any] = {
        "engine": lambda: _weightbook.calc_strategy_vwap_daily_return(weights, **market),
        "runner": lambda: _weightbook.run_strategy_backtest_core(
            weights, **market, benchmark_dict=data["benchmark_dict"], plot_image_kind=None
        ),
        "positions": lambda: _weightbook.run_strategy_backtest_core(
            weights,
            **market,
            benchmark_dict=data["benchmark_dict"],
            plot_image_kind=None,
            record_positions=True,
        ),
        "group": lambda: _core.run_alpha_vwap_backtest_core(
            factor_matrix=inputs["factor"],
            close_price_valid=data["close_price_valid"],
            **market,
            benchmark_dict=data["benchmark_dict"],
            forward_return_rank_cache=data["forward_return_rank_cache"],
            benchmark_names="all",
            group_num=20,
        ),
    }
    clock = time.process_time if cpu else time.perf_counter
    print(json.dumps({name: best_of(repeat, calls[name], clock=clock) for name in CALLS}))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--old", required=True, help="src folder of the old build")
    parser.add_argument("--new", required=True, help="src folder of the new build")
    parser.add_argument("--dates", type=int, default=2500)
    parser.add_argument("--stocks", type=int, default=5000)
    parser.add_argument("--held", type=int, default=300)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--cpu", action="store_true", help="time CPU, not the wall clock")
    parser.add_argument("--child", help=argparse.SUPPRESS)
    args = parser.parse_args()
    cache = Path(f"/tmp/lumora_ab_{args.dates}x{args.stocks}_{args.held}_f64.pkl")
    if args.child:
        child(cache, args.repeat, args.cpu)
        return
    if not cache.exists():
        make_inputs(cache, args.dates, args.stocks, args.held)
    clock = "CPU time" if args.cpu else "wall time"
    print(
        f"{args.dates} dates x {args.stocks} stocks, {args.held} held; {args.rounds} rounds; {clock}"
    )
    runs: dict[str, list[dict[str, float]]] = {"old": [], "new": []}
    for r in range(args.rounds):
        for which in ("old", "new") if r % 2 == 0 else ("new", "old"):
            src = str(Path(getattr(args, which)).resolve())
            out = subprocess.run(
                [sys.executable, __file__, "--old", args.old, "--new", args.new,
                 "--dates", str(args.dates), "--stocks", str(args.stocks),
                 "--held", str(args.held), "--repeat", str(args.repeat), "--child", which,
                 *(["--cpu"] if args.cpu else [])],
                env={**os.environ, "PYTHONPATH": src, "MPLBACKEND": "Agg"},
                capture_output=True, text=True, check=True,
            )  # fmt: skip
            runs[which].append(json.loads(out.stdout.strip().splitlines()[-1]))
            times = "  ".join(f"{k} {v * 1e3:8.1f}" for k, v in runs[which][-1].items())
            print(f"round {r} {which}: {times} ms", flush=True)
    for name in CALLS:
        old = statistics.median(run[name] for run in runs["old"])
        new = statistics.median(run[name] for run in runs["new"])
        print(
            f"{name:7s} old {old * 1e3:9.1f} ms  new {new * 1e3:9.1f} ms  new/old {new / old:.3f}"
        )


if __name__ == "__main__":
    main()
