"""Group backtest charts of a ten-year sandbox run: what one benchmark's page adds to the
group backtest, per page kind.

Measured in one process on one in-memory sandbox market, calls interleaved:

  chart         the group backtest with one benchmark's page minus the same backtest without
                charts; baselines: a blank page of the same size and resolution saved by
                matplotlib (the floor any page pays) and the strategy performance chart of
                the same page kind on a ten-year total frame (the page it is styled after);
  frame work    the chart's own work before its figure exists (datetime indexes, group and
                benchmark series, the best group's total frame, yearly metrics, style
                preamble) as a share of the chart.

    PYTHONPATH=src MPLBACKEND=Agg .venv/bin/python benchmarks/bench_group_charts.py
    PYTHONPATH=src MPLBACKEND=Agg .venv/bin/python benchmarks/bench_group_charts.py --stocks 300 --days 500
"""

from __future__ import annotations

import argparse
import statistics
import tempfile
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any

import matplotlib

matplotlib.use("Agg")
import pandas as pd

from _bench_common import blank_page, interleaved, strategy_total, test_helper, until_figure
from lumora.backtest import _core
from lumora.backtest import _weightbook as wb
from lumora.sandbox import generate_market

MARKET_TABLES = test_helper("engine_keys").GROUP_MARKET_KEYS
PAGES = {"large": ((21.5, 12.6), 165), "long": ((15.5, 30.0), 145)}


def group_backtest(tables: dict[str, Any], factor: pd.DataFrame, **chart: Any) -> Any:
    return _core.run_alpha_vwap_backtest_core(
        factor_matrix=factor,
        **{keyword: tables[name] for keyword, name in MARKET_TABLES.items()},
        benchmark_dict=tables["benchmark_dict"],
        forward_return_rank_cache=tables["forward_return_rank_cache"],
        benchmark_names="000852",
        group_num=20,
        **chart,
    )


def page_calls(
    tables: dict[str, Any],
    factor: pd.DataFrame,
    total: pd.DataFrame,
    stats: dict[str, float],
    out: Path,
    kind: str,
) -> dict[str, Callable[[], Any]]:
    path = str(out / f"group_{kind}.png")
    chart = {"plot_image_kind": kind, "plot_save_path": path}
    return {
        "plain": lambda: group_backtest(tables, factor),
        "chart": lambda: group_backtest(tables, factor, **chart),
        "until": lambda: until_figure(lambda: group_backtest(tables, factor, **chart)),
        "blank": lambda: blank_page(out / "blank.png", *PAGES[kind]),
        "strategy": lambda: wb.plot_strategy_performance(
            total=total, stats=stats, save_path=out / "perf.png", image_kind=kind
        ),
    }


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--stocks", type=int, default=800)
    parser.add_argument("--days", type=int, default=2500)
    parser.add_argument("--repeats", type=int, default=5)
    args = parser.parse_args()

    tables = generate_market(args.stocks, args.days, seed=11).dataset_tables()
    factor = -tables["close_price"].pct_change(20, fill_method=None)
    total = strategy_total(len(factor))
    stats = dict(wb.calc_strategy_stats(total, None))
    print(f"data: sandbox market {args.days:,} dates x {args.stocks:,} stocks, 20 groups, "
          f"one benchmark; strategy total frame {len(total):,} days")  # fmt: skip

    with tempfile.TemporaryDirectory() as scratch:
        out = Path(scratch)
        started = time.perf_counter()
        group_backtest(
            tables, factor, plot_image_kind="large", plot_save_path=str(out / "cold.png")
        )
        print(f"first call in the process (backtest, imports, font lookups): "
              f"{time.perf_counter() - started:.2f} s")  # fmt: skip

        print("\n| page kind | group chart | blank page | ratio | strategy performance chart | ratio "
              "| frame work before the figure | share |")  # fmt: skip
        print("|---|---|---|---|---|---|---|---|")
        for kind in PAGES:
            calls = page_calls(tables, factor, total, stats, out, kind)
            times, _ = interleaved(args.repeats, calls, collect=False)
            t = {name: statistics.median(values) for name, values in times.items()}
            chart = t["chart"] - t["plain"]
            # A few milliseconds against a backtest's run-to-run spread: fastest runs compared.
            before = max(min(times["until"]) - min(times["plain"]), 0.0)
            print(
                f"| {kind} | {chart:.3f} s | {t['blank']:.3f} s | {chart / t['blank']:.2f}x | "
                f"{t['strategy']:.3f} s | {chart / t['strategy']:.2f}x | {before * 1e3:.0f} ms | "
                f"{before / chart:.1%} |"
            )
        print(f"\ngroup backtest without charts: {t['plain']:.3f} s")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
