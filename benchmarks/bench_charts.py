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
from pathlib import Path
from typing import Any, Self

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt
import numpy as np
import pandas as pd
from PIL import Image

from _bench_common import best_of, blank_page, strategy_total, times_of, until_figure
from lumora.backtest import _weightbook as wb

TARGET_BOTH_CHARTS_S = 3.0
TARGET_NON_DRAWING_SHARE = 0.10
PAGES = {  # page kind -> (performance (size, dpi), weekly (size, dpi))
    "large": (((21.5, 12.6), 165), ((18.8, 8.6), 170)),
    "long": (((15.5, 34.0), 145), ((15.5, 12.4), 145)),
}


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
        blank_page(out / f"blank_{name}.png", size, dpi)


def until_first_page(total: pd.DataFrame, stats: dict[str, float], out: Path, kind: str) -> None:
    """Both chart calls stopped where they create their figure: the style preamble and all
    the frame work, but no drawing."""
    until_figure(
        lambda: wb.plot_strategy_performance(
            total=total, stats=stats, save_path=out / "x.png", image_kind=kind
        )
    )
    until_figure(
        lambda: wb.plot_weekly_net_value(total=total, save_path=out / "y.png", image_kind=kind)
    )


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


class FigureCount:
    """While entered, pyplot's figure and close keep count of the figures open at once; `most`
    is the highest count seen."""

    def __init__(self) -> None:
        self.open = self.most = 0
        self._guard = threading.Lock()
        self._figure, self._close = plt.figure, plt.close

    def figure(self, *args: Any, **kwargs: Any) -> Any:
        with self._guard:
            self.open += 1
            self.most = max(self.most, self.open)
        return self._figure(*args, **kwargs)

    def close(self, fig: Any = None) -> None:
        self._close(fig)
        with self._guard:
            self.open -= 1

    def __enter__(self) -> Self:
        plt.figure, plt.close = self.figure, self.close
        return self

    def __exit__(self, *exc: object) -> None:
        plt.figure, plt.close = self._figure, self._close


def threads_at_once(
    total: pd.DataFrame, stats: dict[str, float], out: Path, kind: str
) -> dict[str, Any]:
    errors: list[BaseException] = []
    start = threading.Barrier(4)

    def request(i: int) -> None:
        start.wait()
        try:
            both_charts(total, stats, out, kind, tag=f"_t{i}")
        except BaseException as error:  # noqa: BLE001 - reported below
            errors.append(error)

    with FigureCount() as count:
        threads = [threading.Thread(target=request, args=(i,)) for i in range(4)]
        started = time.perf_counter()
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        elapsed = time.perf_counter() - started
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
        "most_open": count.most,
        "complete": complete,
        "leftovers": leftovers,
    }


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--years", type=int, default=10)
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()

    total = strategy_total(252 * args.years)
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
            seconds, blank = (
                statistics.median(times_of(args.repeats, call, collect=False))
                for call in (
                    lambda kind=kind: both_charts(total, stats, out, kind),
                    lambda kind=kind: blank_pages(out, kind),
                )
            )
            both_seconds[kind] = seconds
            passed = seconds <= TARGET_BOTH_CHARTS_S
            ok &= passed
            print(f"| {kind} | {seconds:.3f} s | {blank:.3f} s | {seconds / blank:.2f}x | "
                  f"<= {TARGET_BOTH_CHARTS_S:.0f} s {'ok' if passed else 'MISSED'} |")  # fmt: skip

        repeats = max(5, args.repeats)
        native = best_of(repeats, lambda: native_frame_work(total), collect=False)
        baseline = best_of(repeats, lambda: pandas_frame_work(total), collect=False)
        print("\n| non-drawing work | time | pandas baseline | ratio | share of both charts |")
        print("|---|---|---|---|---|")
        print(
            f"| frame functions: datetime index x2, yearly metrics x2, weekly frame | "
            f"{native * 1e3:.1f} ms | {baseline * 1e3:.1f} ms | {baseline / native:.1f}x faster | "
            f"{native / min(both_seconds.values()):.1%} |"
        )
        for kind in PAGES:
            before = best_of(
                repeats, lambda kind=kind: until_first_page(total, stats, out, kind), collect=False
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
