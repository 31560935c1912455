"""End-to-end demo on the built-in sandbox market.

Generates a synthetic A-share market, builds a momentum top-100 target-weight portfolio,
runs the strategy backtest and prints its statistics and benchmark summary.

    make demo
"""

from __future__ import annotations

import sys
import time
from pathlib import Path

import numpy as np
import pandas as pd

from lumora.backtest._weightbook import run_strategy_backtest_core
from lumora.sandbox import generate_market

N_STOCKS = 1500
N_DAYS = 1250
TOP_N = 100
LOOKBACK = 20


def momentum_top_weights(close: pd.DataFrame, top_n: int, lookback: int) -> pd.DataFrame:
    """Equal weights on the top_n stocks by trailing return, rebalanced every day."""
    momentum = close.pct_change(lookback, fill_method=None)
    rank = momentum.rank(axis=1, ascending=False, method="first")
    weights = (rank <= top_n).astype(float) / top_n
    return weights.where(weights > 0)


def print_mapping(title: str, mapping: dict[str, float]) -> None:
    print(title)
    width = max(len(k) for k in mapping)
    for key, value in mapping.items():
        print(f"  {key:<{width}}  {value:12.4f}")


def main() -> int:
    out_dir = Path(sys.argv[1]) if len(sys.argv) > 1 else Path("out/demo")
    out_dir.mkdir(parents=True, exist_ok=True)

    started = time.perf_counter()
    market = generate_market(n_stocks=N_STOCKS, n_days=N_DAYS, seed=7)
    tables = market.engine_tables()
    benchmarks = market.benchmark_dict()
    print(f"{market}  generated in {time.perf_counter() - started:.1f}s")

    weights = momentum_top_weights(tables["close_price"], TOP_N, LOOKBACK)
    started = time.perf_counter()
    result = run_strategy_backtest_core(
        weights,
        tables["can_buy_stock"],
        tables["cant_sell_stock"],
        tables["rq_get_split"],
        tables["rq_get_dividend"],
        tables["close_price"],
        tables["prev_close"],
        tables["buy_price"],
        tables["sell_price"],
        benchmark_dict=benchmarks,
        benchmark_names="000852",
        plot_image_kind="large",
        plot_save_path=str(out_dir / "momentum_top100.png"),
        strategy_name="momentum_top100",
    )
    elapsed = time.perf_counter() - started
    print(f"strategy backtest: {len(result.daily_return)} trading days in {elapsed:.2f}s")
    print_mapping("statistics:", result.stats)
    with pd.option_context("display.width", 120, "display.float_format", "{:.4f}".format):
        print("benchmark summary:")
        print(result.benchmark_summary.to_string(index=False))
    for kind, path in result.plot_paths.items():
        print(f"chart {kind}: {path}")
    return 0 if np.isfinite(result.stats["annual_return"]) else 1


if __name__ == "__main__":
    raise SystemExit(main())
