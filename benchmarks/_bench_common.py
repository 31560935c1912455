"""What the end-to-end benchmarks share: the timing loops, the size options, the scratch
folder, the peak-memory probe in a fresh process, and the inputs several of them build on a
sandbox market (the five-day reversal, the group backtest's keywords, a strategy's total
frame) and for charts (blank pages, a chart call stopped where it asks for its figure).

The benchmark scripts import this file from their own folder (a script's folder is on
sys.path); run_all.py runs only bench_*.py, so this module is never run as a benchmark.
Lumora and matplotlib are imported where they are used, after each script has set up its
path and its matplotlib backend.
"""

from __future__ import annotations

import argparse
import contextlib
import ctypes
import gc
import importlib
import json
import math
import shutil
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable, Collection, Iterator, Sequence
from pathlib import Path
from types import ModuleType
from typing import Any

import numpy as np
import pandas as pd

TESTS = Path(__file__).resolve().parents[1] / "tests"


def test_helper(name: str) -> ModuleType:
    """A helper module of the test suite (the engine keywords, the plain models), which the
    benchmarks take as their baselines."""
    if str(TESTS) not in sys.path:
        sys.path.insert(0, str(TESTS))
    return importlib.import_module(name)


# ----------------------------------------------------------------------------- timing
def times_of(
    repeat: int,
    call: Callable[[], Any],
    *,
    collect: bool = True,
    clock: Callable[[], float] = time.perf_counter,
) -> list[float]:
    """Wall times (or times of another `clock`) of `repeat` runs of `call`, each result
    dropped before the next run; with `collect`, a garbage collection before each run so
    that none pays for another's garbage."""
    times = []
    for _ in range(repeat):
        if collect:
            gc.collect()
        started = clock()
        call()
        times.append(clock() - started)
    return times


def best_of(
    repeat: int,
    call: Callable[[], Any],
    *,
    collect: bool = True,
    clock: Callable[[], float] = time.perf_counter,
) -> float:
    return min(times_of(repeat, call, collect=collect, clock=clock), default=math.inf)


def best_time(call: Callable[[], Any], repeat: int) -> tuple[float, Any]:
    """The fastest of `repeat` runs and the last run's result."""
    kept: list[Any] = [None]

    def run() -> None:
        kept[0] = call()

    return best_of(repeat, run), kept[0]


def interleaved(
    repeat: int,
    calls: dict[str, Callable[[], Any]],
    *,
    collect: bool = True,
    keep: Collection[str] = (),
) -> tuple[dict[str, list[float]], dict[str, Any]]:
    """Times of each call, the calls taking turns so that a burst of load elsewhere on the
    machine hits all of them alike; and the last results of the calls named in `keep` (the
    others are dropped at once)."""
    times: dict[str, list[float]] = {name: [] for name in calls}
    kept: dict[str, Any] = {}
    for _ in range(repeat):
        for name, call in calls.items():
            if collect:
                gc.collect()
            started = time.perf_counter()
            result = call()
            times[name].append(time.perf_counter() - started)
            if name in keep:
                kept[name] = result
            del result
    return times, kept


# ---------------------------------------------------------------------------- options
# The market most benchmarks measure on (ten years of a full universe), its small variant
# for a quick run, and their usual options.
FULL_MARKET = {"dates": 2500, "stocks": 5000}
SMALL_MARKET = {"dates": 250, "stocks": 500, "held": 30}
MARKET_OPTIONS = {**FULL_MARKET, "held": 300, "seed": 7, "repeat": 3}


class SizedParser(argparse.ArgumentParser):
    """The benchmark's docstring as its help, an integer option per size (`--stocks 500`)
    and a flag per preset (`--quick`) that sets the sizes the preset lists; presets apply
    in the order given, so a later one wins."""

    def __init__(self, doc: str | None, presets: dict[str, dict[str, int]], **sizes: int):
        super().__init__(description=doc, formatter_class=argparse.RawDescriptionHelpFormatter)
        self.presets = presets
        for name, preset in presets.items():
            described = " ".join(f"{_flag(size)} {value}" for size, value in preset.items())
            self.add_argument(_flag(name), action="store_true", help=described)
        for size, default in sizes.items():
            self.add_argument(_flag(size), type=int, default=default)

    def parse_args(  # type: ignore[override]
        self, args: Sequence[str] | None = None, namespace: None = None
    ) -> argparse.Namespace:
        parsed = super().parse_args(args, namespace)
        for name, preset in self.presets.items():
            if getattr(parsed, name):
                vars(parsed).update(preset)
        return parsed


def _flag(name: str) -> str:
    return "--" + name.replace("_", "-")


@contextlib.contextmanager
def scratch(prefix: str) -> Iterator[Path]:
    """A fresh folder under the system's temporary folder, removed with all it holds."""
    work = Path(tempfile.mkdtemp(prefix=prefix))
    try:
        yield work
    finally:
        shutil.rmtree(work, ignore_errors=True)


# ------------------------------------------------------------------------ peak memory
def resident_kib(key: str) -> int:
    """A size line of /proc/self/status ("VmRSS:", "VmHWM:", ...) in KiB."""
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(key):
                return int(line.split()[1])
    raise KeyError(key)


def reset_peak() -> int:
    """Frees what can be freed, sets the peak resident size (VmHWM) to the current one and
    returns that size in KiB: the base of the next peak (`peak_extra_bytes`)."""
    gc.collect()
    try:
        ctypes.CDLL("libc.so.6").malloc_trim(0)  # hand freed heap back so the base is the live set
    except OSError:
        pass
    base = resident_kib("VmRSS:")
    with open("/proc/self/clear_refs", "w") as refs:  # resets VmHWM to the current RSS
        refs.write("5")
    return base


def peak_extra_bytes(base_kib: int) -> int:
    return (resident_kib("VmHWM:") - base_kib) * 1024


def probe_in_child(script: str, which: str, **options: Any) -> dict[str, Any]:
    """Runs `script --probe which --option value ...` in a fresh process (its peak memory is
    its own) and returns the JSON object its last line prints."""
    command = [sys.executable, script, "--probe", which]
    for name, value in options.items():
        command += [_flag(name), str(value)]
    done = subprocess.run(command, capture_output=True, text=True, check=False)
    if done.returncode != 0:
        raise RuntimeError(f"memory probe failed:\n{done.stderr[-2000:]}")
    result: dict[str, Any] = json.loads(done.stdout.strip().splitlines()[-1])
    return result


# ----------------------------------------------------------------------------- inputs
def reversal_5d(close: pd.DataFrame) -> pd.DataFrame:
    """The five-day price reversal: minus each stock's return over the last five days, so
    that groups change every day as a real factor's would."""
    return -(close / close.shift(5) - 1.0)


def top_held(factor: pd.DataFrame, valid: pd.DataFrame, held: int) -> pd.DataFrame:
    """Weight 1 / `held` on each day's `held` stocks of highest factor among those with a
    valid close (ties may add a few), NaN elsewhere; the dtype is what where() leaves."""
    ranks = factor.where(valid > 0).rank(axis=1, ascending=False)
    return (1.0 / held) * (ranks <= held).where(ranks <= held)


def group_keywords(data: dict[str, Any], factor: pd.DataFrame, **options: Any) -> dict[str, Any]:
    """Keywords of the group backtest core on a sandbox market's dataset tables, with
    `options` (group count, benchmarks, chart, ...) added."""
    market_keys = test_helper("engine_keys").MARKET_KEYS
    kw: dict[str, Any] = {key: data[source] for key, source in market_keys.items()}
    kw.update(
        factor_matrix=factor,
        industry_matrix=data["industry_matrix"],
        close_price_valid=data["close_price_valid"],
        benchmark_dict=data["benchmark_dict"],
        forward_return_rank_cache=data["forward_return_rank_cache"],
        open_price=data["open_price"],
        **options,
    )
    return kw


def strategy_call(kw: dict[str, Any], weights: pd.DataFrame, **options: Any) -> Any:
    """The strategy backtest core, without a chart, on the market of group keywords."""
    from lumora.backtest import _weightbook

    return _weightbook.run_strategy_backtest_core(
        weights,
        **{key: kw[key] for key in test_helper("engine_keys").MARKET_KEYS},
        benchmark_dict=kw["benchmark_dict"],
        plot_image_kind=None,
        **options,
    )


def strategy_total(days: int, seed: int = 7) -> pd.DataFrame:
    """A backtest's total frame from 2015 on: a strategy tracking its benchmark with some
    excess return."""
    from lumora.backtest import _weightbook

    rng = np.random.default_rng(seed)
    index_daily_return = rng.normal(0.0002, 0.012, days)
    daily_return = index_daily_return + rng.normal(0.0004, 0.004, days)
    dates = pd.bdate_range("2015-01-05", periods=days).strftime("%Y%m%d")
    frame = pd.DataFrame(
        {"daily_return": daily_return, "index_daily_return": index_daily_return}, index=dates
    )
    return _weightbook._build_total_backtesting_frame(frame)


# ----------------------------------------------------------------------------- charts
def blank_page(path: Path, size: tuple[float, float], dpi: int) -> None:
    """An empty page of that size and resolution saved by matplotlib: the floor any chart of
    that page pays."""
    import matplotlib.pyplot as plt

    fig = plt.figure(figsize=size)
    fig.savefig(path, dpi=dpi, pil_kwargs={"compress_level": 1})
    plt.close(fig)


class _FigureRequested(Exception):
    pass


def until_figure(call: Callable[[], Any]) -> None:
    """Runs `call` until it asks pyplot for a figure: a chart's work before any drawing."""
    import matplotlib.pyplot as plt

    figure = plt.figure

    def stop(*args: Any, **kwargs: Any) -> Any:
        raise _FigureRequested

    plt.figure = stop
    try:
        call()
    except _FigureRequested:
        pass
    finally:
        plt.figure = figure
