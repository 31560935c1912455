"""HTML reports: a screen's report with its job reports, against one job's report alone.

On the sandbox market at ``lumora.init_sandbox()``'s default size (prepared into a scratch
data directory), 50 factor jobs (momentum and reversal over 25 windows each, 10 groups, the
whole market's dates) are run once, then measured in the same process:

  one report       ``result.to_html`` of one job: the baseline (it draws the analysis page);
  screen           ``batch.to_html`` with every job's report; targets: at most 4x the
                   baseline and at most 10 s;
  screen alone     ``batch.to_html(job_reports=False)``, the table alone.

Also printed: where one report's time goes (drawing the analysis page and cutting it into
its parts, each timed alone), and the sizes of the files written.

    PYTHONPATH=src MPLBACKEND=Agg .venv/bin/python benchmarks/bench_reports.py
    PYTHONPATH=src MPLBACKEND=Agg .venv/bin/python benchmarks/bench_reports.py --stocks 60 --jobs 10
"""

from __future__ import annotations

import argparse
import statistics

import lumora
from _bench_common import best_of, interleaved, scratch
from lumora.backtest import _service
from lumora.backtest._report_pages import read_page

TARGET_RATIO = 4.0
TARGET_SECONDS = 10.0


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--stocks", type=int, default=300, help="sandbox stocks (default: its own)")
    parser.add_argument("--jobs", type=int, default=50)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()

    with scratch("lumora-bench-reports-") as folder:
        _service._DEFAULT_DATA_DIR = folder / "home" / "enviroment_data"
        (folder / "home").mkdir()
        lumora.init_sandbox(args.stocks)
        lumora.prepare_backtest_data()
        data = lumora.load_backtest_data()
        close = data.data["close_price"]
        start, end = close.index[0], close.index[-1]
        adjusted = data.adjusted_close()
        jobs = {}
        for n in range(1, args.jobs + 1):
            window = 1 + (n - 1) // 2
            sign = 1.0 if n % 2 else -1.0
            name = f"{'momentum' if sign > 0 else 'reversal'}_{window}d"
            factor = sign * (adjusted / adjusted.shift(window) - 1.0)
            jobs[name] = lumora.FactorJob(factor, start, end, group_num=10)
        batch = lumora.backtest_many(jobs, data, progress=False)
        assert not batch.failed, batch.failed
        first = next(iter(batch.results.values()))
        print(
            f"{close.shape[1]} stocks x {close.shape[0]} days ({start}..{end}), "
            f"{len(jobs)} factor jobs of 10 groups"
        )

        out = folder / "out"
        # Taking turns, so that a burst of load elsewhere on the machine hits all alike.
        times, _ = interleaved(
            args.repeat,
            {
                "one": lambda: first.to_html(out / "one.html"),
                "screen": lambda: batch.to_html(out / "screen.html"),
                "alone": lambda: batch.to_html(out / "alone.html", job_reports=False),
            },
        )
        one, screen, alone = (min(times[k]) for k in ("one", "screen", "alone"))
        screens = times["screen"]
        draw = best_of(args.repeat, lambda: first.plot_analysis(out / "page.png"))
        cut = best_of(args.repeat, lambda: read_page(out / "page.png"))

        reports = sorted((out / "screen_reports").iterdir())
        sizes = [p.stat().st_size for p in reports]
        print(
            f"one report          {one:7.2f} s  ({(out / 'one.html').stat().st_size / 1e3:,.0f} kB): "
            f"of which, timed alone: drawing the analysis page {draw:.2f} s, cutting it into parts {cut:.2f} s"
        )
        print(
            f"screen with reports {screen:7.2f} s  = {screen / one:.2f}x one report "
            f"(target <= {TARGET_RATIO}x, <= {TARGET_SECONDS:.0f} s); runs {', '.join(f'{s:.2f}' for s in screens)}"
        )
        print(
            f"  {len(reports)} job reports, median {statistics.median(sizes) / 1e3:,.0f} kB, "
            f"{(screen - alone) / len(reports) * 1e3:.0f} ms each"
        )
        print(f"screen alone        {alone:7.2f} s")
        met = screen <= TARGET_RATIO * one and screen <= TARGET_SECONDS
        print("targets met" if met else "TARGETS MISSED")
        return 0 if met else 1


if __name__ == "__main__":
    raise SystemExit(main())
