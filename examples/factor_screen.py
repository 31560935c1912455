"""Screen a few dozen price factors on the sandbox market in one call.

Momentum, reversal and volatility over several windows, each raw and smoothed over five
days, are backtested as 10-group factor backtests over the last three years, without
charts; the summary is printed sorted by Rank IC IR (``ic_ir``), then one row per find
(near-duplicates, such as a momentum and its reversal, are one) with the 1-day Rank IC's
p-value adjusted by Holm for the number of factors screened.

    PYTHONPATH=src python examples/factor_screen.py             # threads on this machine
    PYTHONPATH=src python examples/factor_screen.py --cluster 2 # a local dask cluster
    PYTHONPATH=src python examples/factor_screen.py --stocks 60 # a smaller market

On a cluster each worker opens the prepared data store memory-mapped (``MappedData``):
nothing but each job's factor table travels to the workers.
"""

from __future__ import annotations

import argparse
import time

import pandas as pd

import lumora

N_STOCKS = 300
YEARS = 3
MOMENTUM = (5, 10, 20, 60, 120, 250)
REVERSAL = (1, 2, 3, 5, 10)
VOLATILITY = (5, 10, 20, 60, 120)


def factors(close: pd.DataFrame) -> dict[str, pd.DataFrame]:
    daily = close.pct_change(fill_method=None)
    out = {f"momentum_{n}d": close / close.shift(n) - 1.0 for n in MOMENTUM}
    out |= {f"reversal_{n}d": -(close / close.shift(n) - 1.0) for n in REVERSAL}
    out |= {
        f"volatility_{n}d": daily.rolling(n, min_periods=max(2, n // 2)).std() for n in VOLATILITY
    }
    return {name: table.rename_axis(columns=name) for name, table in out.items()}


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cluster", type=int, default=0, help="run on a local dask cluster")
    parser.add_argument("--stocks", type=int, default=N_STOCKS, help="stocks of the sandbox market")
    args = parser.parse_args()

    started = time.perf_counter()
    lumora.init_sandbox(n_stocks=args.stocks)
    lumora.prepare_backtest_data()
    data = lumora.load_backtest_data()
    close = data.data["close_price"]
    end = close.index[-1]
    start = close.index[max(0, len(close.index) - YEARS * 252)]

    jobs = {}
    for name, table in factors(close).items():
        for smooth in (0, 5):
            label = name if smooth == 0 else f"{name}_smooth{smooth}"
            jobs[label] = lumora.FactorJob(
                table, start, end, group_num=10, rolling_window=smooth, benchmark="000852"
            )
    print(f"{len(jobs)} factor jobs on {close.shape[1]} stocks, {start}..{end}")

    step = time.perf_counter()
    if args.cluster:
        from distributed import Client, LocalCluster

        cluster = LocalCluster(
            n_workers=args.cluster, threads_per_worker=1, dashboard_address="127.0.0.1:0"
        )
        with cluster, Client(cluster) as client:
            batch = lumora.backtest_many(jobs, lumora.MappedData(), executor=client)
    else:
        batch = lumora.backtest_many(jobs, data)
    print(f"screened in {time.perf_counter() - step:.1f}s ({len(batch.failed)} failed)")

    columns = ["status", "best_group", "long_short_annual_return_pct", "rank_ic_mean", "ic_ir"]
    columns += ["excess_annual_return_pct", "excess_sharpe", "excess_max_dd_pct"]
    table = batch.summary.sort_values("ic_ir", ascending=False)[columns]
    with pd.option_context("display.width", 160, "display.float_format", "{:.4f}".format):
        print(table.to_string())
    # Many factors tested at once: the 1-day Rank IC's p-value adjusted by Holm for their
    # number, and one row per find (a momentum and its reversal are one).
    s = batch.summary
    finds = s[s["duplicate_group"] == s.index].sort_values("rank_ic_p_holm_1d")
    columns = ["rank_ic_t_stat_1d", "rank_ic_p_value_1d", "rank_ic_p_holm_1d", "near_duplicate_of"]
    print(f"{len(finds)} distinct finds among {len(s)} jobs:")
    with pd.option_context("display.width", 160, "display.max_colwidth", 70):
        print(finds[columns].to_string(float_format="{:.4f}".format))
    for name, failure in batch.failed.items():
        print(f"failed: {name}: {failure.error}")
    print(f"done in {time.perf_counter() - started:.1f}s")
    return 1 if batch.failed else 0


if __name__ == "__main__":
    raise SystemExit(main())
