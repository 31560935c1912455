"""Render every chart page kind with one build and compare the pages of two builds pixel by pixel.

The pages come from fixed inputs (a seeded total frame, one with an early crash, and a seeded
sandbox market for the group pages), so two builds that draw alike give identical pixels.

    # pages of the build whose modules are under SRC (a `src` folder with the built modules)
    PYTHONPATH=SRC MPLBACKEND=Agg .venv/bin/python tools/page_diff.py render OUT
    # pixel difference of two folders of pages
    .venv/bin/python tools/page_diff.py compare OUT_A OUT_B
    # both: render from two source folders in child processes, then compare
    .venv/bin/python tools/page_diff.py both SRC_A SRC_B OUT
"""

from __future__ import annotations

import argparse
import importlib
import os
import subprocess
import sys
from pathlib import Path

import numpy as np


def _engine_keys() -> dict[str, str]:
    """Engine keyword -> dataset key of the group backtest, from the test suite's one place."""
    sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests"))
    return importlib.import_module("engine_keys").GROUP_MARKET_KEYS


def _total(days: int, seed: int, crash: bool) -> object:
    import pandas as pd

    from lumora.backtest import _weightbook as wb

    rng = np.random.default_rng(seed)
    dates = pd.bdate_range("2015-01-05", periods=days).strftime("%Y%m%d")
    benchmark = rng.normal(0.0002, 0.012, days)
    strategy = benchmark + rng.normal(0.0004, 0.004, days)
    if crash:  # a deep fall early on, where a lower-left legend sits
        strategy[20:80] -= 0.008
    raw = pd.DataFrame({"daily_return": strategy, "index_daily_return": benchmark}, index=dates)
    return wb._build_total_backtesting_frame(raw)


def render(out: Path) -> list[Path]:
    """Every page kind of every chart, written into `out`."""
    from lumora.backtest import _core
    from lumora.backtest import _weightbook as wb
    from lumora.sandbox import generate_market

    out.mkdir(parents=True, exist_ok=True)
    written = []
    for scenario, total in (
        ("steady", _total(252 * 6, 7, crash=False)),
        ("crash", _total(252 * 2, 3, crash=True)),
    ):
        stats = dict(wb.calc_strategy_stats(total, None))
        for kind in ("large", "long"):
            perf = out / f"performance_{scenario}_{kind}.png"
            weekly = out / f"weekly_{scenario}_{kind}.png"
            wb.plot_strategy_performance(
                total=total, stats=stats, strategy_name="pages", save_path=perf, image_kind=kind
            )
            wb.plot_weekly_net_value(
                total=total, strategy_name="pages", save_path=weekly, image_kind=kind
            )
            written += [perf, weekly]

    tables = generate_market(120, 400, seed=11).dataset_tables()
    factor = -tables["close_price"].pct_change(20, fill_method=None)
    for kind in ("large", "long"):
        path = out / f"group_{kind}.png"
        _core.run_alpha_vwap_backtest_core(
            factor_matrix=factor,
            **{keyword: tables[name] for keyword, name in _engine_keys().items()},
            benchmark_dict=tables["benchmark_dict"],
            forward_return_rank_cache=tables["forward_return_rank_cache"],
            benchmark_names="000852",
            group_num=10,
            factor_name="reversal_20",
            plot_image_kind=kind,
            plot_save_path=str(path),
        )
        written.append(path)
    return written


def _pixels(path: Path) -> np.ndarray:
    from PIL import Image

    with Image.open(path) as image:
        return np.asarray(image.convert("RGBA"), dtype=np.int16)


def compare(a: Path, b: Path) -> int:
    """Prints, per page, the share of pixels that differ and the largest channel difference;
    returns the number of pages that differ (a page missing on one side counts)."""
    names = sorted({p.name for p in a.glob("*.png")} | {p.name for p in b.glob("*.png")})
    differing = 0
    print("| page | size | differing pixels | largest channel difference |\n|---|---|---|---|")
    for name in names:
        if not (a / name).exists() or not (b / name).exists():
            print(f"| {name} | missing on one side | | |")
            differing += 1
            continue
        x, y = _pixels(a / name), _pixels(b / name)
        if x.shape != y.shape:
            print(f"| {name} | {x.shape[1]}x{x.shape[0]} vs {y.shape[1]}x{y.shape[0]} | all | |")
            differing += 1
            continue
        delta = np.abs(x - y)
        changed = int(np.count_nonzero(delta.max(axis=2)))
        differing += changed > 0
        share = changed / (x.shape[0] * x.shape[1])
        print(
            f"| {name} | {x.shape[1]}x{x.shape[0]} | {changed:,} ({share:.4%}) | {int(delta.max())} |"
        )
    print(f"\n{differing} of {len(names)} pages differ")
    return differing


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    sub = parser.add_subparsers(dest="command", required=True)
    sub.add_parser("render").add_argument("out", type=Path)
    cmp = sub.add_parser("compare")
    cmp.add_argument("a", type=Path)
    cmp.add_argument("b", type=Path)
    both = sub.add_parser("both")
    both.add_argument("src_a", type=Path)
    both.add_argument("src_b", type=Path)
    both.add_argument("out", type=Path)
    args = parser.parse_args()

    if args.command == "render":
        for path in render(args.out):
            print(path)
        return 0
    if args.command == "compare":
        return 1 if compare(args.a, args.b) else 0
    for src, side in ((args.src_a, "a"), (args.src_b, "b")):
        env = dict(os.environ, PYTHONPATH=str(src.resolve()), MPLBACKEND="Agg")
        subprocess.run(
            [sys.executable, __file__, "render", str(args.out / side)],
            env=env,
            check=True,
            stdout=subprocess.DEVNULL,
        )
    return 1 if compare(args.out / "a", args.out / "b") else 0


if __name__ == "__main__":
    raise SystemExit(main())
