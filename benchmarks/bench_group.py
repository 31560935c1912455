"""Speed of the native factor group backtest, as ratios against baselines run in the same
process on the same in-memory data:

  vs strategy  the whole group backtest (every stock of the universe in one of the groups,
               Rank IC and summary, no chart) against one strategy backtest
               (run_strategy_backtest_core, no chart) holding about `--held` stocks a day
               picked by the same factor; target: at most 3x the strategy's time;
  vs numpy     the same group backtest against a straightforward numpy transcription that
               simulates each group with a per-day vectorised loop (the group model of the
               test suite, tests/group_model.py); target: at least 10x faster.

The market is the sandbox's, generated in memory (nothing is written to disk). The factor is
the five-day price reversal, so groups change every day as a real factor's would.

    PYTHONPATH=src .venv/bin/python benchmarks/bench_group.py           # 2,500 x 5,000, 20 groups
    PYTHONPATH=src .venv/bin/python benchmarks/bench_group.py --small   # 250 x 500
"""

from __future__ import annotations

import argparse
import gc
import importlib
import sys
import time
from collections.abc import Callable
from pathlib import Path
from types import ModuleType
from typing import Any

import numpy as np
import pandas as pd

from lumora.backtest import _core as core
from lumora.backtest import _weightbook as weightbook
from lumora.sandbox import generate_market

TARGETS = {"vs_strategy": 3.0, "vs_numpy": 10.0}


def _group_model() -> ModuleType:
    sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests"))
    return importlib.import_module("group_model")


baseline = _group_model()
MARKET_KEYS = importlib.import_module("engine_keys").MARKET_KEYS


# --------------------------------------------------------------------------- data
def build_inputs(args: argparse.Namespace) -> tuple[dict[str, Any], pd.DataFrame]:
    """Core keywords of the group backtest, and the strategy's weight table."""
    data = generate_market(args.stocks, args.dates, args.seed).dataset_tables()
    close = data["close_price"]
    factor = -(close / close.shift(5) - 1.0)  # five-day reversal
    kw: dict[str, Any] = {key: data[source] for key, source in MARKET_KEYS.items()}
    kw.update(
        factor_matrix=factor,
        industry_matrix=data["industry_matrix"],
        close_price_valid=data["close_price_valid"],
        benchmark_dict=data["benchmark_dict"],
        forward_return_rank_cache=data["forward_return_rank_cache"],
        open_price=data["open_price"],
        benchmark_names="all",
        rolling_window=args.rolling_window,
        ascending=False,
        group_num=args.groups,
        plot_image_kind=None,
        plot_save_path=None,
        factor_name="reversal_5d",
        plot_title=None,
    )
    ranks = factor.where(data["close_price_valid"] > 0).rank(axis=1, ascending=False)
    weights = (1.0 / args.held) * (ranks <= args.held).where(ranks <= args.held)
    return kw, weights


def strategy_call(kw: dict[str, Any], weights: pd.DataFrame) -> Any:
    return weightbook.run_strategy_backtest_core(
        weights,
        **{key: kw[key] for key in MARKET_KEYS},
        benchmark_dict=kw["benchmark_dict"],
        benchmark_names="000852",
        rolling_window=kw["rolling_window"],
        plot_image_kind=None,
    )


# ----------------------------------------------------------------------- measuring
def best_time(fn: Callable[[], Any], repeat: int) -> tuple[float, Any]:
    best, result = float("inf"), None
    for _ in range(repeat):
        gc.collect()
        start = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - start)
    return best, result


def max_relative_difference(got: pd.DataFrame, want: pd.DataFrame) -> float:
    a, b = got.to_numpy(dtype=float), want.to_numpy(dtype=float)
    same = (np.isnan(a) & np.isnan(b)) | (a == b)
    scale = np.maximum(np.abs(b), 1e-12)
    diff = np.where(same, 0.0, np.abs(a - b) / scale)
    return float(np.nanmax(diff)) if diff.size else 0.0


def main() -> None:
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("--small", action="store_true", help="250 dates x 500 stocks, 30 held")
    parser.add_argument("--dates", type=int, default=2500)
    parser.add_argument("--stocks", type=int, default=5000)
    parser.add_argument("--groups", type=int, default=20)
    parser.add_argument("--held", type=int, default=300)
    parser.add_argument("--seed", type=int, default=7)
    parser.add_argument("--rolling-window", type=int, default=0)
    parser.add_argument("--repeat", type=int, default=3, help="runs of each native measurement")
    args = parser.parse_args()
    if args.small:
        args.dates, args.stocks, args.held = 250, 500, 30

    start = time.perf_counter()
    kw, weights = build_inputs(args)
    universe = (kw["factor_matrix"].notna() & (kw["close_price_valid"] > 0)).sum(axis=1)
    print(
        f"data: {args.dates:,} dates x {args.stocks:,} stocks, sandbox market seed {args.seed} "
        f"(built in memory in {time.perf_counter() - start:.1f} s); {args.groups} groups over "
        f"{universe.mean():,.0f} usable stocks a day; strategy holds "
        f"{weights.notna().sum(axis=1).mean():,.0f} stocks a day; "
        f"rolling_window={args.rolling_window}"
    )

    # interleaved, so a burst of load elsewhere on the machine hits both sides alike
    t_group = t_strategy = float("inf")
    for _ in range(args.repeat):
        t, got = best_time(lambda: core.run_alpha_vwap_backtest_core(**kw), 1)
        t_group = min(t_group, t)
        t_strategy = min(t_strategy, best_time(lambda: strategy_call(kw, weights), 1)[0])
    t_numpy, want = best_time(lambda: baseline.run_alpha_vwap_backtest_core(**kw), 1)
    daily_diff = max_relative_difference(got.group_daily_return, want.group_daily_return)
    ic_diff = max_relative_difference(got.rank_ic.to_frame(), want.rank_ic.to_frame())
    figures = {"vs_strategy": t_group / t_strategy, "vs_numpy": t_numpy / t_group}
    print(
        f"group core      {t_group:8.3f} s  ({len(got.group_daily_return):,} traded days, "
        f"best group {got.best_group})"
    )
    print(
        f"strategy        {t_strategy:8.3f} s  -> group core takes "
        f"{figures['vs_strategy']:.2f}x the strategy's time"
    )
    print(
        f"numpy per group {t_numpy:8.3f} s  -> group core {figures['vs_numpy']:.1f}x faster; "
        f"max relative difference daily returns {daily_diff:.1e}, rank IC {ic_diff:.1e}"
    )
    verdicts = [
        f"vs strategy <= {TARGETS['vs_strategy']:g}x: "
        + ("met" if figures["vs_strategy"] <= TARGETS["vs_strategy"] else "MISSED"),
        f"vs numpy >= {TARGETS['vs_numpy']:g}x: "
        + ("met" if figures["vs_numpy"] >= TARGETS["vs_numpy"] else "MISSED"),
    ]
    print("targets: " + ", ".join(verdicts))


if __name__ == "__main__":
    main()
