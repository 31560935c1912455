"""End-to-end demo on the built-in sandbox market.

The whole road a researcher walks: connect (here to the offline sandbox market served on
loopback), prepare the local data (download the package, then update the tail to today),
load it once, then run a monthly-rebalanced target-weight strategy (held between rebalances
with ``lumora.hold_weights``) and a factor group backtest with all their charts, then write
the HTML reports of both and of a small screen of factors, and print their paths. Returns
are measured on the back-adjusted close, so splits and dividends do not read as losses. A
second run finds the data up to date and downloads nothing.

    make demo            # or: PYTHONPATH=src python examples/demo.py [output_dir] [--stocks N]
"""

from __future__ import annotations

import argparse
import time
from pathlib import Path

import pandas as pd

import lumora

N_STOCKS = 800
SCREEN_WINDOWS = (5, 10, 20, 60)
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
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("output_dir", nargs="?", default="out/demo", type=Path)
    parser.add_argument("--stocks", type=int, default=N_STOCKS, help="stocks of the sandbox market")
    args = parser.parse_args()
    out_dir = args.output_dir
    out_dir.mkdir(parents=True, exist_ok=True)
    started = time.perf_counter()

    lumora.init_sandbox(n_stocks=args.stocks)
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
        plot="large", record_positions=True,
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

    # A small screen: momentum and volatility over a few windows, one call for all of them.
    step = time.perf_counter()
    daily = adjusted.pct_change(fill_method=None)
    jobs = {}
    for window in SCREEN_WINDOWS:
        volatility = daily.rolling(window, min_periods=max(2, window // 2)).std()
        jobs[f"momentum_{window}d"] = lumora.FactorJob(
            momentum(adjusted, window), start, end, group_num=10
        )
        jobs[f"volatility_{window}d"] = lumora.FactorJob(volatility, start, end, group_num=10)
    screen = lumora.backtest_many(jobs, data, progress=False)
    print(f"\nscreen of {len(jobs)} factors in {time.perf_counter() - step:.2f}s")
    ranked = screen.summary.sort_values("rank_ic_t_stat", key=abs, ascending=False)
    show(
        "screen, strongest Rank IC t-statistic first",
        ranked[["rank_ic_t_stat", "ic_ir", "monotonicity"]],
    )

    print("\ncharts:")
    for kind, path in strategy.plot_paths.items():
        print(f"  strategy {kind}: {path}")
    for benchmark, path in factor.plot_paths.items():
        print(f"  factor {benchmark}: {path}")

    step = time.perf_counter()
    reports = {
        "strategy report": strategy.to_html(out_dir / "strategy.html"),
        "factor report": factor.to_html(out_dir / "factor.html"),
        "screen report": screen.to_html(out_dir / "screen.html"),
    }
    print(f"\nreports (open in a browser), written in {time.perf_counter() - step:.1f}s:")
    for what, path in reports.items():
        print(f"  {what}: {path}")
    print(f"\ndone in {time.perf_counter() - started:.1f}s")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
