"""Strategy charts of a ten-year backtest: time to write both charts, the share of the
non-drawing work, and four threads asking for charts at once.

Measured against baselines run in the same process on the same total frame:

  charts        the performance chart and the weekly net value chart of one page kind,
                written one after the other (what the runner does); baseline: blank pages of
                the same sizes and resolutions saved by matplotlib, the floor any chart of
                that page pays; target: both charts in at most 3 s;
  non-drawing   the frame work of the two chart calls (datetime index, yearly metrics for
                both charts, weekly resampling) against the whole of the two calls; target:
                at most 10 %; baseline: the same work written in plain pandas
                (groupby-apply per year, resample("W-FRI").last());
  threads       four threads requesting both charts at once; they must all finish, with at
                most one figure open at any moment and every file complete (decodes in full,
                no temporary file left behind).

    PYTHONPATH=src MPLBACKEND=Agg .venv/bin/python benchmarks/bench_charts.py            # 10 years
    PYTHONPATH=src MPLBACKEND=Agg .venv/bin/python benchmarks/bench_charts.py --years 3
"""

from __future__ import annotations

import argparse
import math
import statistics
import tempfile
import threading
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt
import numpy as np
import pandas as pd
from PIL import Image

from lumora.backtest import _weightbook as wb

TARGET_BOTH_CHARTS_S = 3.0
TARGET_NON_DRAWING_SHARE = 0.10
PAGES = {  # page kind -> (performance (size, dpi), weekly (size, dpi))
    "large": (((21.5, 12.6), 165), ((18.8, 8.6), 170)),
    "long": (((15.5, 34.0), 145), ((15.5, 12.4), 145)),
}


def total_frame(years: int, seed: int = 7) -> pd.DataFrame:
    """A backtest's total frame: strategy tracking its benchmark with some excess return."""
    rng = np.random.default_rng(seed)
    days = 252 * years
    dates = pd.bdate_range("2015-01-05", periods=days).strftime("%Y%m%d")
    benchmark = rng.normal(0.0002, 0.012, days)
    raw = pd.DataFrame(
        {
            "daily_return": benchmark + rng.normal(0.0004, 0.004, days),
            "index_daily_return": benchmark,
        },
        index=dates,
    )
    return wb._build_total_backtesting_frame(raw)


def best_of(repeats: int, call: Callable[[], Any]) -> float:
    times = []
    for _ in range(repeats):
        started = time.perf_counter()
        call()
        times.append(time.perf_counter() - started)
    return min(times)


def median_of(repeats: int, call: Callable[[], Any]) -> float:
    times = []
    for _ in range(repeats):
        started = time.perf_counter()
        call()
        times.append(time.perf_counter() - started)
    return statistics.median(times)


def both_charts(
    total: pd.DataFrame, stats: dict[str, float], out: Path, kind: str, tag: str = ""
) -> None:
    wb.plot_strategy_performance(
        total=total,
        stats=stats,
        strategy_name="bench",
        save_path=out / f"perf{tag}.png",
        image_kind=kind,
    )
    wb.plot_weekly_net_value(
        total=total, strategy_name="bench", save_path=out / f"weekly{tag}.png", image_kind=kind
    )


def blank_pages(out: Path, kind: str) -> None:
    for (size, dpi), name in zip(PAGES[kind], ("perf", "weekly"), strict=True):
        fig = plt.figure(figsize=size)
        fig.savefig(out / f"blank_{name}.png", dpi=dpi, pil_kwargs={"compress_level": 1})
        plt.close(fig)


class _PageRequested(Exception):
    pass


def until_first_page(total: pd.DataFrame, stats: dict[str, float], out: Path, kind: str) -> None:
    """Both chart calls stopped where they create their figure: the style preamble and all
    the frame work, but no drawing."""
    figure = plt.figure

    def stop(*args: Any, **kwargs: Any) -> Any:
        raise _PageRequested

    plt.figure = stop
    try:
        for call in (
            lambda: wb.plot_strategy_performance(
                total=total, stats=stats, save_path=out / "x.png", image_kind=kind
            ),
            lambda: wb.plot_weekly_net_value(total=total, save_path=out / "y.png", image_kind=kind),
        ):
            try:
                call()
            except _PageRequested:
                pass
    finally:
        plt.figure = figure


def native_frame_work(total: pd.DataFrame) -> None:
    """What the two chart calls compute before drawing, through the module's own functions."""
    columns = ["daily_return", "index_daily_return", "extra_daily_return"]
    for _ in range(2):  # each chart dates the frame and builds its yearly table
        plot_df = wb._with_datetime_index(total)
        wb._calc_yearly_performance_metrics(plot_df[columns].copy())
    wb._build_weekly_net_value_frame(total)


def pandas_period(returns: pd.Series) -> tuple[float, float, float]:
    cumulative = returns.cumsum()
    drawdown = abs((cumulative - cumulative.cummax().clip(lower=0.0)).min())
    calmar = returns.mean() * 252 / drawdown if drawdown > 1e-12 else math.nan
    return returns.sum(), drawdown, calmar


def pandas_frame_work(total: pd.DataFrame) -> None:
    """The same work written in plain pandas."""
    for _ in range(2):
        plot_df = total.copy()
        plot_df.index = pd.to_datetime(plot_df.index, format="%Y%m%d")
        rows = []
        for year, group in plot_df.groupby(plot_df.index.year):
            strategy = group["daily_return"].replace([np.inf, -np.inf], np.nan).dropna()
            excess = group["extra_daily_return"].replace([np.inf, -np.inf], np.nan).dropna()
            rows.append(
                (year, *pandas_period(strategy), wb.safe_sharpe(strategy), *pandas_period(excess))
            )
        pd.DataFrame(rows).set_index(0)
    weekly = plot_df[["long", "close_net_value", "extra_return"]].replace([np.inf, -np.inf], np.nan)
    weekly = weekly.resample("W-FRI").last().dropna(how="all")
    weekly["extra_net_value"] = weekly["extra_return"] + 1


def threads_at_once(
    total: pd.DataFrame, stats: dict[str, float], out: Path, kind: str
) -> dict[str, Any]:
    open_now, most = [0], [0]
    guard = threading.Lock()
    figure, close = plt.figure, plt.close

    def counting_figure(*args: Any, **kwargs: Any) -> Any:
        with guard:
            open_now[0] += 1
            most[0] = max(most[0], open_now[0])
        return figure(*args, **kwargs)

    def counting_close(fig: Any = None) -> None:
        close(fig)
        with guard:
            open_now[0] -= 1

    errors: list[BaseException] = []
    start = threading.Barrier(4)

    def request(i: int) -> None:
        start.wait()
        try:
            both_charts(total, stats, out, kind, tag=f"_t{i}")
        except BaseException as error:  # noqa: BLE001 - reported below
            errors.append(error)

    plt.figure, plt.close = counting_figure, counting_close
    try:
        threads = [threading.Thread(target=request, args=(i,)) for i in range(4)]
        started = time.perf_counter()
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        elapsed = time.perf_counter() - started
    finally:
        plt.figure, plt.close = figure, close
    complete = 0
    for i in range(4):
        for name in ("perf", "weekly"):
            with Image.open(out / f"{name}_t{i}.png") as image:
                image.load()  # raises on a truncated file
                complete += 1
    leftovers = [p.name for p in out.iterdir() if p.name.startswith(".")]
    return {
        "seconds": elapsed,
        "errors": errors,
        "most_open": most[0],
        "complete": complete,
        "leftovers": leftovers,
    }


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--years", type=int, default=10)
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()

    total = total_frame(args.years)
    stats = dict(wb.calc_strategy_stats(total, None))
    print(
        f"data: total frame {len(total):,} trading days x {len(total.columns)} columns ({args.years} years)"
    )
    ok = True
    with tempfile.TemporaryDirectory() as scratch:
        out = Path(scratch)
        started = time.perf_counter()
        both_charts(total, stats, out, "large", tag="_cold")
        print(f"first call in the process (imports matplotlib, builds font cache lookups): "
              f"{time.perf_counter() - started:.2f} s")  # fmt: skip

        print("\n| page kind | both charts | blank pages (baseline) | ratio | target |")
        print("|---|---|---|---|---|")
        both_seconds = {}
        for kind in PAGES:
            seconds = median_of(
                args.repeats, lambda kind=kind: both_charts(total, stats, out, kind)
            )
            blank = median_of(args.repeats, lambda kind=kind: blank_pages(out, kind))
            both_seconds[kind] = seconds
            passed = seconds <= TARGET_BOTH_CHARTS_S
            ok &= passed
            print(f"| {kind} | {seconds:.3f} s | {blank:.3f} s | {seconds / blank:.2f}x | "
                  f"<= {TARGET_BOTH_CHARTS_S:.0f} s {'ok' if passed else 'MISSED'} |")  # fmt: skip

        native = best_of(max(5, args.repeats), lambda: native_frame_work(total))
        baseline = best_of(max(5, args.repeats), lambda: pandas_frame_work(total))
        print("\n| non-drawing work | time | pandas baseline | ratio | share of both charts |")
        print("|---|---|---|---|---|")
        print(
            f"| frame functions: datetime index x2, yearly metrics x2, weekly frame | "
            f"{native * 1e3:.1f} ms | {baseline * 1e3:.1f} ms | {baseline / native:.1f}x faster | "
            f"{native / min(both_seconds.values()):.1%} |"
        )
        for kind in PAGES:
            before = best_of(
                max(5, args.repeats), lambda kind=kind: until_first_page(total, stats, out, kind)
            )
            share = before / both_seconds[kind]
            passed = share <= TARGET_NON_DRAWING_SHARE
            ok &= passed
            print(
                f"| both chart calls up to their page ({kind}; with the style preamble) | "
                f"{before * 1e3:.1f} ms | | | {share:.1%} (target <= "
                f"{TARGET_NON_DRAWING_SHARE:.0%}) {'ok' if passed else 'MISSED'} |"
            )

        print("\n| four threads, both charts each | wall time | vs one request x 4 | figures open at once | "
              "complete files | temp files left |")  # fmt: skip
        print("|---|---|---|---|---|---|")
        for kind in PAGES:
            result = threads_at_once(total, stats, out, kind)
            passed = (not result["errors"] and result["most_open"] == 1 and result["complete"] == 8
                      and not result["leftovers"])  # fmt: skip
            ok &= passed
            print(f"| {kind} | {result['seconds']:.2f} s | {result['seconds'] / (4 * both_seconds[kind]):.2f}x | "
                  f"{result['most_open']} | {result['complete']}/8 | {len(result['leftovers'])} "
                  f"{'ok' if passed else 'FAILED ' + repr(result['errors'])} |")  # fmt: skip
    print("\nall targets met" if ok else "\nSOME TARGETS MISSED")
    return 0 if ok else 1


if __name__ == "__main__":
    raise SystemExit(main())
