"""What the typed boundary costs: the strategy engine and the group core on a weight (factor)
table held as native float64, in Fortran order, as a strided slice, big-endian and as
float32, in one process. Native doubles in any strides should be read in place: the memory
numpy allocates during the call (tracemalloc's peak) stays far below the table's size, and
only the converted layouts pay one table-sized copy.

    PYTHONPATH=src .venv/bin/python benchmarks/bench_table_layouts.py --dates 2500 --stocks 5000
"""

from __future__ import annotations

import argparse
import gc
import tracemalloc
from typing import Any

import numpy as np
import pandas as pd

from _bench_common import best_of, reversal_5d, test_helper, top_held

KEYS = test_helper("engine_keys").MARKET_KEYS


def layouts(table: pd.DataFrame) -> dict[str, pd.DataFrame]:
    values = table.to_numpy()
    wide = np.empty((values.shape[0], values.shape[1] * 2))
    wide[:, ::2] = values

    def frame(v: np.ndarray) -> pd.DataFrame:
        return pd.DataFrame(v, index=table.index, columns=table.columns, copy=False)

    return {
        "native": frame(np.ascontiguousarray(values)),
        "fortran": frame(np.asfortranarray(values)),
        "strided": frame(wide[:, ::2]),
        "big-endian": frame(values.astype(">f8")),
        "float32": frame(values.astype(np.float32)),
    }


def measure(call: Any, repeat: int) -> tuple[float, int]:
    best = best_of(repeat, call)
    gc.collect()
    tracemalloc.start()
    call()
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    return best, peak


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--dates", type=int, default=1200)
    parser.add_argument("--stocks", type=int, default=3000)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()

    from lumora.backtest import _core, _weightbook
    from lumora.sandbox import generate_market

    data = generate_market(args.stocks, args.dates, 7).dataset_tables()
    market = {k: data[v] for k, v in KEYS.items()}
    factor = reversal_5d(data["close_price"])
    # A boolean table that gains NaN through where() is object in pandas 3: float64 on purpose.
    weights = top_held(factor, data["close_price_valid"], 300).astype(np.float64)
    assert weights.dtypes.eq(np.float64).all() and factor.dtypes.eq(np.float64).all()
    size_mb = weights.size * 8 / 1e6
    print(f"{args.dates} dates x {args.stocks} stocks; one float64 table is {size_mb:.1f} MB")
    entries = {
        "engine": lambda t: _weightbook.calc_strategy_vwap_daily_return(t, **market),
        "group": lambda t: _core.run_alpha_vwap_backtest_core(
            factor_matrix=t,
            close_price_valid=data["close_price_valid"],
            **market,
            forward_return_rank_cache=data["forward_return_rank_cache"],
            group_num=20,
            analysis=False,
        ),
    }
    for entry, run in entries.items():
        table = weights if entry == "engine" else factor
        base = None
        for name, held in layouts(table).items():
            seconds, peak = measure(lambda held=held, run=run: run(held), args.repeat)
            base = base or seconds
            print(
                f"{entry:6s} {name:10s} {seconds * 1e3:8.1f} ms  x{seconds / base:5.2f} of native"
                f"  peak allocated during the call {peak / 1e6:7.1f} MB"
            )


if __name__ == "__main__":
    main()
