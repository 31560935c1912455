"""Package download over loopback against a plain local unpack of the same archive.

Prints the data size, the time of ``download_benchmark_package`` (signed transfer, size and
SHA-256 check, member checks, unpack, move into place) and of a bare ``tarfile`` extraction
of the same archive measured in the same run, and their ratio.

    PYTHONPATH=src .venv/bin/python benchmarks/bench_package_download.py [matrices]
"""

from __future__ import annotations

import sys
import tarfile
import tempfile
import time
from pathlib import Path

import numpy as np
import pandas as pd

from lumora.backtest._package_server import PackageServer
from lumora.backtest._pkg import PACKAGE_DESCRIPTOR_PATH, download_benchmark_package
from lumora.backtest._store import BinaryPreparedDataStoreBase


def main(matrices: int = 8) -> None:
    with tempfile.TemporaryDirectory() as scratch:
        root = Path(scratch)
        store = root / "store"
        rng = np.random.default_rng(0)
        days = pd.bdate_range("2010-01-04", periods=2000).strftime("%Y%m%d")
        codes = [f"{600000 + i:06d}" for i in range(500)]
        tables = {  # 2,000 days x 500 stocks of prices in cents each
            f"m{i}": pd.DataFrame(np.round(rng.normal(10, 1, (2000, 500)), 2), days, codes)
            for i in range(matrices)
        }
        BinaryPreparedDataStoreBase(
            store, dict.fromkeys(tables, "float64"), 1, "float64"
        ).write_payload({"data": tables})
        raw = sum(path.stat().st_size for path in store.iterdir())
        with PackageServer(store) as server:
            http = server.http_client()
            http.get_json(PACKAGE_DESCRIPTOR_PATH)  # builds the archive
            archive = server.archive()
            start = time.perf_counter()
            with tarfile.open(archive.path) as tar:
                tar.extractall(root / "baseline", filter="data")
            baseline = time.perf_counter() - start
            start = time.perf_counter()
            download_benchmark_package(http, root / "data")
            measured = time.perf_counter() - start
    print(f"store {raw / 1e6:.0f} MB in {matrices} files, archive {archive.size / 1e6:.0f} MB")
    print(f"plain local unpack      {baseline:.3f} s")
    print(f"download_benchmark_package {measured:.3f} s  ({measured / baseline:.2f}x)")


if __name__ == "__main__":
    main(*(int(arg) for arg in sys.argv[1:2]))
