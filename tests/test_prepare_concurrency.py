"""Two processes preparing different sources in one data folder, started together, round
after round: a store never holds two markets, and each process either gets its own market
or the refusal naming the other source."""

from __future__ import annotations

import json
import os
import pickle
import shutil
import subprocess
import sys
from pathlib import Path

from lumora.sandbox import export_market
from lumora.sources.sandbox.client import SandboxClient

SRC = Path(__file__).resolve().parents[1] / "src"
TODAY = "20240329"
FILES_MARKET = {"n_stocks": 30, "seed": 1, "start": "20240102"}
SANDBOX_MARKET = {"n_stocks": 45, "seed": 2}
# Without the preparation lock, about one round in three mixed the two (10 rounds, twice).
ROUNDS = 4

CHILD = """
import json, sys
import lumora
from lumora.exceptions import KestrelError
kind, argument = sys.argv[1], sys.argv[2]
if kind == "files":
    lumora.init_files(argument)
else:
    lumora.init_sandbox(45, 2, start="20240102", today=argument, package_lag_days=0)
try:
    lumora.prepare_backtest_data()
    close = lumora.load_backtest_data().data["close_price"]
    print(json.dumps({"codes": sorted(close.columns)}))
except KestrelError as error:
    print(json.dumps({"refused": str(error)}))
"""


def start(kind: str, argument: str, home: Path) -> subprocess.Popen[str]:
    env = {**os.environ, "HOME": str(home), "PYTHONPATH": str(SRC), "MPLBACKEND": "Agg"}
    return subprocess.Popen(
        [sys.executable, "-c", CHILD, kind, argument],
        env=env,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )


def outcome(process: subprocess.Popen[str]) -> dict:
    out, err = process.communicate(timeout=300)
    assert process.returncode == 0, err
    return json.loads(out.strip().splitlines()[-1])


def test_two_sources_preparing_one_folder_at_once_never_mix(tmp_path):
    files = tmp_path / "files"
    sandbox_market = SandboxClient(**FILES_MARKET, today=TODAY).market()
    export_market(sandbox_market, files, end=TODAY)
    own = {
        "files": set(sandbox_market.codes),
        "sandbox": set(SandboxClient(**SANDBOX_MARKET, start="20240102").market().codes),
    }
    data = tmp_path / "home" / ".lumora" / "backtest_data" / "enviroment_data"
    for _ in range(ROUNDS):
        shutil.rmtree(tmp_path / "home", ignore_errors=True)
        processes = {
            "files": start("files", str(files), tmp_path / "home"),
            "sandbox": start("sandbox", TODAY, tmp_path / "home"),
        }
        results = {kind: outcome(process) for kind, process in processes.items()}
        with open(data / "metadata.pkl", "rb") as fh:
            metadata = pickle.load(fh)
        stored = sorted(metadata["datasets"]["close_price"]["columns"])
        winner = metadata["source"]["kind"]
        other = "files" if winner == "sandbox" else "sandbox"
        # One market, the one its record names (the markets share few codes).
        assert set(stored) <= own[winner] and not set(stored) <= own[other]
        for kind, result in results.items():
            if "codes" in result:
                assert kind == winner and result["codes"] == stored
            else:
                assert kind != winner and "另一数据源" in result["refused"]
