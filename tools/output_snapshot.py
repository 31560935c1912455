"""Every output of both requests on one sandbox market, saved or compared bit for bit.

    PYTHONPATH=src .venv/bin/python tools/output_snapshot.py save before.pkl
    PYTHONPATH=src .venv/bin/python tools/output_snapshot.py compare before.pkl

For moves that must not change a result: run ``save`` on the build before the move and
``compare`` on the build after it. Sizes: ``--days`` x ``--stocks`` (2,500 x 1,000 unless given).
"""

from __future__ import annotations

import argparse
import dataclasses
import pickle
import sys
from typing import Any

import numpy as np
import pandas as pd

from lumora.backtest import BacktestData, BacktestService
from lumora.sandbox import generate_market


def _plain(value: Any) -> Any:
    """Records as dicts of their fields, so that snapshots survive a record gaining fields."""
    if dataclasses.is_dataclass(value) and not isinstance(value, type):
        return {f.name: _plain(getattr(value, f.name)) for f in dataclasses.fields(value)}
    if isinstance(value, dict):
        return {k: _plain(v) for k, v in value.items()}
    return value


def outputs(days: int, stocks: int) -> dict[str, Any]:
    data = BacktestData(data=generate_market(stocks, days, seed=11).dataset_tables())
    close = data.data["close_price"]
    start, end = close.index[60], close.index[-1]
    service = BacktestService(None)
    factor = close.pct_change(20, fill_method=None)
    groups = service.backtest(factor, data, start, end, "", "snapshot", group_num=10, plot=None)
    picks = factor.rank(axis=1, ascending=False).le(50)
    weights = picks.astype(float).div(50).where(picks)
    strategy = service.backtest_strategy(
        weights, data, start, end, None, "snapshot", plot=None, record_positions=True
    )
    return {"factor": _plain(groups), "strategy": _plain(strategy)}


def differences(before: Any, after: Any, where: str = "") -> list[str]:
    """Where two snapshots differ; fields only one side has are listed, not failed."""
    if isinstance(before, dict) and isinstance(after, dict):
        found = []
        for key in before.keys() | after.keys():
            if key not in after or key not in before:
                side = "before" if key in before else "after"
                found.append(f"{where}.{key}: only {side}")
                continue
            found += differences(before[key], after[key], f"{where}.{key}")
        return found
    try:
        if isinstance(before, pd.DataFrame):
            pd.testing.assert_frame_equal(before, after, check_exact=True)
        elif isinstance(before, pd.Series):
            pd.testing.assert_series_equal(before, after, check_exact=True)
        elif isinstance(before, float) and isinstance(after, float):
            if not (before == after or (np.isnan(before) and np.isnan(after))):
                raise AssertionError(f"{before!r} != {after!r}")
        elif before != after:
            raise AssertionError(f"{before!r} != {after!r}")
    except AssertionError as error:
        return [f"{where}: {str(error).splitlines()[0][:200]}"]
    return []


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("action", choices=["save", "compare"])
    parser.add_argument("path")
    parser.add_argument("--days", type=int, default=2500)
    parser.add_argument("--stocks", type=int, default=1000)
    args = parser.parse_args()
    print(f"{args.days} days x {args.stocks} stocks")
    got = outputs(args.days, args.stocks)
    if args.action == "save":
        with open(args.path, "wb") as fh:
            pickle.dump(got, fh)
        return 0
    with open(args.path, "rb") as fh:
        before = pickle.load(fh)
    found = differences(before, got)
    print("\n".join(found) if found else "every output equal bit for bit")
    return 1 if any("only" not in line for line in found) else 0


if __name__ == "__main__":
    sys.exit(main())
