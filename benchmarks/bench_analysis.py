"""Cost of the factor and strategy analysis, as ratios against runs in the same process on
the same in-memory data:

  factor analysis   the group core with the whole analysis (IC and Rank IC at 1, 5, 10 and 20
                    days, summaries, turnover, autocorrelation, coverage, group figures; no
                    page) against the same core with analysis=False, and against 10 groups;
  vs alphalens      the same work in the open factor-analysis library (alphalens-reloaded):
                    forward returns at the four horizons, mean return by quantile and the IC,
                    on the same factor and the same open prices; target: ours at least 30x
                    faster;
  strategy analysis a strategy backtest with the analysis against analysis=False (target:
                    the median difference of runs taken in turn under 50 ms), and with
                    record_positions=True against without (target: at most 1.2x);
  vs empyrical      the downside figures, drawdown and rolling Sharpe of empyrical-reloaded on
                    the same daily returns;
  pages             each analysis page drawn warm (target: under 1 s).

The market is the sandbox's, generated in memory. The factor is the five-day reversal.

    PYTHONPATH=src .venv/bin/python benchmarks/bench_analysis.py            # 1,200 x 2,500
    PYTHONPATH=src .venv/bin/python benchmarks/bench_analysis.py --full     # 2,500 x 5,000
    PYTHONPATH=src .venv/bin/python benchmarks/bench_analysis.py --small    # 250 x 500
"""

from __future__ import annotations

import argparse
import statistics
import tempfile
import time
import warnings
from pathlib import Path
from typing import Any

import pandas as pd

from _bench_common import (
    FULL_MARKET,
    MARKET_OPTIONS,
    SMALL_MARKET,
    SizedParser,
    best_time,
    held_per_day,
    interleaved,
    market_line,
    reversal_market,
    strategy_call,
)
from lumora.backtest import _core as core
from lumora.backtest.result import BacktestResult, StrategyBacktestResult

TARGETS = {"vs_alphalens": 30.0, "strategy_analysis_s": 0.05, "positions": 1.2, "page_s": 1.0}


def build(args: argparse.Namespace) -> tuple[dict[str, Any], pd.DataFrame, dict[str, Any]]:
    data, kw = reversal_market(args, benchmark_names="000852", group_num=args.groups)
    close, factor = data["close_price"], kw["factor_matrix"]
    ranks = factor.where(data["close_price_valid"] > 0).rank(axis=1, ascending=False)
    picked = (ranks <= args.held).astype(float)
    picked = picked.div(picked.sum(axis=1).clip(lower=1.0), axis=0)  # ties may pick a few more
    # Monthly picks held in between, as a researcher's strategy would be.
    weights = picked.iloc[::21].reindex(close.index).ffill()
    weights = weights.where(weights > 0)
    return kw, weights, data


def alphalens_work(
    factor: pd.DataFrame, opens: pd.DataFrame, valid: pd.DataFrame, groups: int
) -> Any:
    """The open library on the same work: forward returns from the next open at the four
    horizons, quantile means and the IC."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        import alphalens

        usable = factor.where(valid > 0)
        stacked = usable.stack().dropna()
        dates = pd.to_datetime(stacked.index.get_level_values(0), format="%Y%m%d")
        stacked.index = pd.MultiIndex.from_arrays(
            [dates, stacked.index.get_level_values(1)], names=["date", "asset"]
        )
        prices = opens.shift(-1)  # forward returns start at the next open
        prices.index = pd.to_datetime(prices.index, format="%Y%m%d")
        factor_data = alphalens.utils.get_clean_factor_and_forward_returns(
            stacked, prices, quantiles=groups, periods=(1, 5, 10, 20), max_loss=1.0
        )
        means = alphalens.performance.mean_return_by_quantile(factor_data)
        ic = alphalens.performance.factor_information_coefficient(factor_data)
    return means, ic


def empyrical_work(daily: pd.Series) -> Any:
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        import empyrical

        return (
            empyrical.sortino_ratio(daily),
            empyrical.value_at_risk(daily),
            empyrical.conditional_value_at_risk(daily),
            empyrical.max_drawdown(daily),
            empyrical.roll_sharpe_ratio(daily, 126),
        )


def fields_of(record: Any, *names: str) -> dict[str, Any]:
    """The named attributes of a core run, for the result record of the same fields."""
    return {name: getattr(record, name) for name in names}


def main() -> None:
    sizes = {**MARKET_OPTIONS, "dates": 1200, "stocks": 2500, "groups": 20}
    parser = SizedParser(__doc__, {"full": FULL_MARKET, "small": SMALL_MARKET}, **sizes)
    parser.add_argument("--no-peers", action="store_true", help="skip alphalens and empyrical")
    args = parser.parse_args()

    start = time.perf_counter()
    kw, weights, _ = build(args)
    print(
        f"{market_line(args, time.perf_counter() - start)}; {args.groups} groups; strategy "
        f"holds {held_per_day(weights)}, rebalanced monthly"
    )

    # Factor: interleaved, so load elsewhere on the machine hits each side alike.
    times, kept = interleaved(
        args.repeat,
        {
            "full": lambda: core.run_alpha_vwap_backtest_core(**kw),
            "plain": lambda: core.run_alpha_vwap_backtest_core(**kw, analysis=False),
            "ten": lambda: core.run_alpha_vwap_backtest_core(**{**kw, "group_num": 10}),
        },
        keep=["full"],
    )
    t_full, t_plain, t_ten = (min(times[name]) for name in ("full", "plain", "ten"))
    full = kept["full"]
    print(f"factor request, whole analysis  {t_full:7.3f} s")
    print(
        f"factor request, numbers only    {t_plain:7.3f} s  -> analysis adds {t_full / t_plain - 1:.0%}"
    )
    print(
        f"factor request, 10 groups       {t_ten:7.3f} s  -> 20 groups take {t_full / t_ten:.2f}x of 10"
    )
    if not args.no_peers:
        t_al, _ = best_time(
            lambda: alphalens_work(
                kw["factor_matrix"], kw["open_price"], kw["close_price_valid"], args.groups
            ),
            1,
        )
        ratio = t_al / t_full
        verdict = "met" if ratio >= TARGETS["vs_alphalens"] else "MISSED"
        print(
            f"alphalens, same work            {t_al:7.3f} s  -> ours {ratio:.1f}x faster "
            f"(target >= {TARGETS['vs_alphalens']:g}x: {verdict})"
        )

    # Strategy. The analysis costs a few milliseconds of a backtest of a fifth of a second,
    # less than one run's spread: its cost is the median of the differences of runs taken in
    # turn, over more rounds than the rest.
    times, kept = interleaved(
        3 * args.repeat,
        {
            "with": lambda: strategy_call(kw, weights),
            "without": lambda: strategy_call(kw, weights, analysis=False),
            "record": lambda: strategy_call(kw, weights, record_positions=True),
        },
        keep=["with"],
    )
    t_with, t_without, t_record = (min(times[name]) for name in ("with", "without", "record"))
    run = kept["with"]
    analysis_cost = statistics.median(a - b for a, b in zip(times["with"], times["without"]))
    print(f"strategy backtest, analysis     {t_with:7.3f} s")
    print(
        f"strategy backtest, no analysis  {t_without:7.3f} s  -> analysis {analysis_cost * 1e3:.1f} ms "
        f"(target < {TARGETS['strategy_analysis_s'] * 1e3:.0f} ms: "
        f"{'met' if analysis_cost < TARGETS['strategy_analysis_s'] else 'MISSED'})"
    )
    print(
        f"strategy backtest, positions    {t_record:7.3f} s  -> {t_record / t_with:.2f}x without "
        f"(target <= {TARGETS['positions']:g}x: {'met' if t_record / t_with <= TARGETS['positions'] else 'MISSED'})"
    )
    if not args.no_peers:
        t_emp, _ = best_time(lambda: empyrical_work(run.daily_return), args.repeat)
        print(
            f"empyrical, 5 of the figures     {t_emp:7.3f} s  (our whole strategy analysis: "
            f"{analysis_cost * 1e3:.1f} ms, inside the backtest)"
        )

    # Pages, warm: the first call of a process also pays for matplotlib's set-up.
    factor_result = BacktestResult(
        factor_name="reversal_5d",
        benchmark_summary=full.benchmark_summary(),
        **fields_of(
            full,
            "best_group",
            "group_daily_return",
            "group_cumulative_return",
            "rank_ic",
            "analysis",
        ),
    )
    strategy_result = StrategyBacktestResult(
        strategy_name="reversal_top",
        plot_paths={},
        **fields_of(
            run, "daily_return", "cumulative_return", "stats", "benchmark_summary", "analysis"
        ),
    )
    with tempfile.TemporaryDirectory() as folder:
        for name, result in (("factor", factor_result), ("strategy", strategy_result)):
            result.plot_analysis(Path(folder) / f"warm_{name}.png")
            t_page, _ = best_time(
                lambda r=result, n=name: r.plot_analysis(Path(folder) / f"{n}.png"), 2
            )
            verdict = "met" if t_page < TARGETS["page_s"] else "MISSED"
            print(
                f"{name} analysis page          {t_page:7.3f} s  (target < {TARGETS['page_s']:g} s: {verdict})"
            )


if __name__ == "__main__":
    main()
