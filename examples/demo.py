"""End-to-end demo on the built-in sandbox market.

The whole road a researcher walks: connect (here to the offline sandbox market served on
loopback), prepare the local data (download the package, then update the tail to today),
load it once, then run a monthly-rebalanced target-weight strategy (held between rebalances
with ``lumora.hold_weights``) and a factor group backtest with all their charts. Returns are
measured on the back-adjusted close, so splits and dividends do not read as losses. A second run finds the data up to date and downloads nothing.

    make demo            # or: PYTHONPATH=src python examples/demo.py [output_dir]
"""

from __future__ import annotations

import sys
import time
from pathlib import Path

import pandas as pd

import lumora

N_STOCKS = 800
TOP_N = 50
LOOKBACK = 20
REBALANCE_EVERY = 21  # trading days, about a month


def momentum(adjusted: pd.DataFrame, lookback: int) -> pd.DataFrame:
    """Trailing total return over ``lookback`` trading days, from back-adjusted closes (raw
    closes would show every split and dividend as a fall)."""
    return adjusted / adjusted.shift(lookback) - 1.0


def top_n_weights(score: pd.DataFrame, top_n: int) -> pd.DataFrame:
    """Equal weights on the ``top_n`` best scores of each day, missing elsewhere."""
    rank = score.rank(axis=1, ascending=False, method="first")
    return (1.0 / top_n) * (rank <= top_n).where(rank <= top_n)


def show(title: str, frame: pd.DataFrame | pd.Series | dict) -> None:
    print(f"\n{title}")
    if isinstance(frame, dict):
        width = max(len(k) for k in frame)
        for key, value in frame.items():
            print(f"  {key:<{width}}  {value:12.4f}")
        return
    with pd.option_context(
        "display.width", 140, "display.max_columns", 20, "display.float_format", "{:.4f}".format
    ):
        print(frame.to_string())


def main() -> int:
    out_dir = Path(sys.argv[1]) if len(sys.argv) > 1 else Path("out/demo")
    out_dir.mkdir(parents=True, exist_ok=True)
    started = time.perf_counter()

    lumora.init_sandbox(n_stocks=N_STOCKS)
    lumora.prepare_backtest_data()
    data = lumora.load_backtest_data()
    close = data.data["close_price"]
    print(
        f"\nloaded {close.shape[0]} trading days x {close.shape[1]} stocks "
        f"({close.index[0]}..{close.index[-1]}) in {time.perf_counter() - started:.1f}s"
    )

    end = close.index[-1]
    start = close.index[max(0, len(close.index) - 5 * 252)]

    step = time.perf_counter()
    adjusted = data.adjusted_close()
    # Pick the top 50 once a month and hold them until the next pick: the engine trades the
    # rows it is given, so each monthly row is repeated on every trading day in between.
    monthly = top_n_weights(momentum(adjusted, LOOKBACK), TOP_N).loc[start:].iloc[::REBALANCE_EVERY]
    weights = lumora.hold_weights(monthly, data, end_date=end)
    strategy = lumora.backtest_strategy(
        weights, data, start, end, str(out_dir), "momentum_top50_monthly", benchmark="000852",
        plot="large",
    )  # fmt: skip
    print(
        f"\nstrategy backtest {start}..{end}: {len(strategy.daily_return)} days "
        f"in {time.perf_counter() - step:.2f}s"
    )
    show("statistics", strategy.stats)
    show("benchmark summary", strategy.benchmark_summary)

    step = time.perf_counter()
    reversal = -momentum(adjusted, 5).rename_axis(columns="reversal_5d")
    factor = lumora.backtest_factor(
        reversal,
        data,
        start,
        end,
        str(out_dir),
        "reversal_5d",
        group_num=10,
        benchmark="all",
        plot="long",
    )
    print(
        f"\nfactor backtest {start}..{end}: {len(factor.group_daily_return)} days, best group "
        f"{factor.best_group}, in {time.perf_counter() - step:.2f}s"
    )
    show("final net value per group", factor.group_cumulative_return.iloc[-1])
    show("factor benchmark summary", factor.benchmark_summary.set_index("benchmark_name").T)

    print("\ncharts:")
    for kind, path in strategy.plot_paths.items():
        print(f"  strategy {kind}: {path}")
    for benchmark, path in factor.plot_paths.items():
        print(f"  factor {benchmark}: {path}")
    print(f"\ndone in {time.perf_counter() - started:.1f}s")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
