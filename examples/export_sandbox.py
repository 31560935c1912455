"""Export the sandbox market in the layout of the file data source, then run the
whole road on the files: prepare, load and a strategy backtest.

    PYTHONPATH=src python examples/export_sandbox.py OUT_FOLDER [N_STOCKS] [csv|parquet]

The data directory is the one under your home (~/.lumora); run with HOME set to a
scratch folder to keep it apart from your real data.
"""

from __future__ import annotations

import sys
from pathlib import Path

import lumora
from lumora.sandbox import export_market
from lumora.sources.sandbox.client import SandboxClient


def main() -> None:
    if len(sys.argv) < 2:
        raise SystemExit(__doc__)
    root = Path(sys.argv[1])
    n_stocks = int(sys.argv[2]) if len(sys.argv) > 2 else 100
    file_format = sys.argv[3] if len(sys.argv) > 3 else "parquet"
    sandbox = SandboxClient(n_stocks, seed=0, start="20220104")
    export_market(sandbox.market(), root, end=sandbox.today(), file_format=file_format)
    print(f"exported {n_stocks} stocks to {root} ({', '.join(p.name for p in root.iterdir())})")

    lumora.init_files(root)
    lumora.prepare_backtest_data()
    data = lumora.load_backtest_data()
    close = data.data["close_price"]
    momentum = (close / close.shift(20) - 1).rank(axis=1, ascending=False)
    weights = momentum.le(10).astype(float) / 10
    start, end = close.index[60], close.index[-1]
    result = lumora.backtest_strategy(
        weights.where(weights > 0), data, start, end, None, "momentum", plot=None
    )
    print(result)


if __name__ == "__main__":
    main()
