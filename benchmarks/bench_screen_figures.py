"""The cost of a screen's figures across its factors against the screen itself.

The figures: the factors' mean cross-sectional rank correlation (native), the correlation of
their daily long-short returns, and the summary with its adjusted p-values and near-duplicates.
``backtest_many`` computes them after the jobs; here they are also computed alone, after the
screen, and set against it:

  screen     ``lumora.backtest_many`` on threads (the machine's cores), figures included;
  figures    ``screen_correlations`` and ``summary_table`` of the same jobs, best of three;
  pandas     the straightforward model of the rank correlation (``DataFrame.rank(axis=1)``,
             then per date the Pearson correlation of every pair with ``corrwith``, mean over
             dates), the first screen size only.

Default: the sandbox market at ``lumora.init_sandbox()``'s default size (prepared into a
scratch data directory), screens of 50 and 100 factor jobs (momentum and reversal over many
windows and 16 noise factors, 10 groups). ``--large``: 2,500 dates x 5,000 stocks, 20 jobs.

    PYTHONPATH=src .venv/bin/python benchmarks/bench_screen_figures.py
    PYTHONPATH=src .venv/bin/python benchmarks/bench_screen_figures.py --large
"""

from __future__ import annotations

import argparse
import contextlib
import time
from typing import Any

import numpy as np
import pandas as pd

from _bench_common import best_of, scratch

NOISE = 16


def make_jobs(close: pd.DataFrame, n: int, start: str, end: str) -> dict[str, Any]:
    """``n`` factor jobs: ``NOISE`` noise factors, the rest momentum and reversal pairs."""
    from lumora.backtest.batch import FactorJob

    jobs = {}
    rng = np.random.default_rng(3)
    for k in range(min(NOISE, n)):
        noise = pd.DataFrame(
            rng.standard_normal(close.shape), index=close.index, columns=close.columns
        )
        jobs[f"noise{k}"] = FactorJob(noise, start, end, group_num=10)
    window = 1
    while len(jobs) < n:
        change = close / close.shift(window) - 1.0
        jobs[f"mom{window}"] = FactorJob(change, start, end, group_num=10)
        if len(jobs) < n:
            jobs[f"rev{window}"] = FactorJob(-change, start, end, group_num=10)
        window += 1 if window < 20 else 5
    return jobs


def pandas_model(tables: list[pd.DataFrame], valid: pd.DataFrame) -> np.ndarray:
    usable = valid.astype(float).gt(0)
    ranks = [t.reindex_like(valid).where(usable).rank(axis=1) for t in tables]
    out = np.eye(len(ranks))
    for a in range(len(ranks)):
        for b in range(a + 1, len(ranks)):
            out[a, b] = out[b, a] = ranks[a].corrwith(ranks[b], axis=1).mean()
    return out


def measure(service: Any, data: Any, jobs: dict[str, Any], *, baseline: bool) -> dict[str, float]:
    import lumora
    from lumora.backtest.batch.correlation import screen_correlations
    from lumora.backtest.batch.summary import summary_table

    started = time.perf_counter()
    batch = lumora.backtest_many(jobs, data, progress=False)
    screen = time.perf_counter() - started
    assert not batch.failed, batch.failed

    def figures() -> None:
        found = screen_correlations(service, jobs, batch.results, data, None)
        summary_table(jobs, batch.results, None, found.factor)

    def rank_only() -> None:
        screen_correlations(service, jobs, batch.results, data, None)

    took = best_of(3, figures)
    rank = best_of(3, rank_only)
    out = {"screen": screen, "figures": took, "correlations": rank}
    valid = data.data["close_price_valid"]
    print(
        f"  {len(jobs)} factor jobs: screen {screen:.2f}s (threads, figures included); "
        f"figures alone {took:.3f}s = {took / screen:.1%} of the screen "
        f"(both correlations {rank:.3f}s)"
    )
    if baseline:
        tables = [job.table for job in jobs.values()]
        started = time.perf_counter()
        expected = pandas_model(tables, valid)
        model = time.perf_counter() - started
        found = batch.factor_correlation.to_numpy()
        print(
            f"  pandas model of the rank correlation {model:.2f}s: {model / rank:.0f}x the "
            f"native figures; largest difference {np.nanmax(np.abs(found - expected)):.1e}"
        )
        out["pandas"] = model
    noise = [name for name in jobs if name.startswith("noise")]
    s = batch.summary
    first = s["rank_ic_t_stat_1d"].abs().sort_values(ascending=False).index[0]
    print(
        f"  strongest |t| (1-day Rank IC): {first} t {s.loc[first, 'rank_ic_t_stat_1d']:+.2f}, "
        f"Holm p {s.loc[first, 'rank_ic_p_holm_1d']:.3f}, BH p {s.loc[first, 'rank_ic_p_bh_1d']:.3f}; "
        f"noise jobs with Holm p < 0.05: {int((s.loc[noise, 'rank_ic_p_holm_1d'] < 0.05).sum())}, "
        f"with |t| > 3: {int(s.loc[noise, 'rank_ic_abs_t_over_3'].sum())}; "
        f"finds (one row a group): {int((s['duplicate_group'] == s.index).sum())}"
    )
    return out


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--large", action="store_true", help="2,500 dates x 5,000 stocks, 20 jobs")
    args = parser.parse_args()

    import lumora
    from lumora.backtest import BacktestData, BacktestService, _service

    service = BacktestService(None)
    with contextlib.ExitStack() as stack:
        if args.large:
            from lumora.sandbox import generate_market

            data = BacktestData(data=generate_market(5000, 2500, seed=1).dataset_tables())
            sizes = [20]
        else:
            folder = stack.enter_context(scratch("lumora-bench-screen-"))
            _service._DEFAULT_DATA_DIR = folder / "home" / "enviroment_data"
            (folder / "home").mkdir()
            lumora.init_sandbox()
            lumora.prepare_backtest_data()
            data = lumora.load_backtest_data()
            sizes = [50, 100]
        close = data.data["close_price"]
        print(f"market {close.shape[0]} dates x {close.shape[1]} stocks")
        for k, n in enumerate(sizes):
            jobs = make_jobs(close, n, close.index[0], close.index[-1])
            measure(service, data, jobs, baseline=k == 0 and not args.large)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
