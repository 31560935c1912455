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
import time
from typing import Any

import numpy as np
import pandas as pd

from _bench_common import (
    MARKET_OPTIONS,
    SMALL_MARKET,
    SizedParser,
    best_time,
    held_per_day,
    interleaved,
    market_line,
    reversal_market,
    strategy_call,
    test_helper,
    top_held,
)
from lumora.backtest import _core as core

TARGETS = {"vs_strategy": 3.0, "vs_numpy": 10.0}
baseline = test_helper("group_model")


# --------------------------------------------------------------------------- data
def build_inputs(args: argparse.Namespace) -> tuple[dict[str, Any], pd.DataFrame]:
    """Core keywords of the group backtest, and the strategy's weight table."""
    data, kw = reversal_market(
        args,
        benchmark_names="all",
        rolling_window=args.rolling_window,
        ascending=False,
        group_num=args.groups,
        plot_save_path=None,
        plot_title=None,
    )
    return kw, top_held(kw["factor_matrix"], data["close_price_valid"], args.held)


# ----------------------------------------------------------------------- measuring
def max_relative_difference(got: pd.DataFrame, want: pd.DataFrame) -> float:
    a, b = got.to_numpy(dtype=float), want.to_numpy(dtype=float)
    same = (np.isnan(a) & np.isnan(b)) | (a == b)
    scale = np.maximum(np.abs(b), 1e-12)
    diff = np.where(same, 0.0, np.abs(a - b) / scale)
    return float(np.nanmax(diff)) if diff.size else 0.0


def main() -> None:
    sizes = {**MARKET_OPTIONS, "groups": 20, "rolling_window": 0}
    parser = SizedParser(__doc__, {"small": SMALL_MARKET}, **sizes)
    args = parser.parse_args()

    start = time.perf_counter()
    kw, weights = build_inputs(args)
    universe = (kw["factor_matrix"].notna() & (kw["close_price_valid"] > 0)).sum(axis=1)
    print(
        f"{market_line(args, time.perf_counter() - start)} in memory; {args.groups} groups over "
        f"{universe.mean():,.0f} usable stocks a day; strategy holds {held_per_day(weights)}; "
        f"rolling_window={args.rolling_window}"
    )

    times, kept = interleaved(
        args.repeat,
        {
            "group": lambda: core.run_alpha_vwap_backtest_core(**kw),
            "strategy": lambda: strategy_call(
                kw, weights, benchmark_names="000852", rolling_window=kw["rolling_window"]
            ),
        },
        keep=["group"],
    )
    t_group, t_strategy, got = min(times["group"]), min(times["strategy"]), kept["group"]
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
