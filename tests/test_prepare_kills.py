"""A preparation killed at random points (first download, update, repair of a damaged
store) always leaves a store that loads without lost rows or that the next preparation
repairs. The trials run in one helper process that forks a child per trial, so the
imports and the market are paid for once."""

from __future__ import annotations

import json
import subprocess
import sys
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

import lumora
from lumora.backtest._full_build import build_payload, package_writer
from lumora.backtest._package_server import PackageServer
from lumora.backtest._prepare import BinaryPreparedDataStore
from lumora.exceptions import KestrelError
from lumora.file_source import FileSource
from lumora.sandbox import export_market
from lumora.sources.sandbox.client import SandboxClient
from service_env import use_clock, use_data_dir

SRC = Path(__file__).resolve().parents[1] / "src"
MARKET = {"n_stocks": 30, "seed": 11, "start": "20240102", "horizon": "20251231"}
T0, T1 = "20240628", "20240712"
TRIALS = 50


def run_script(script: str, config: dict[str, object]) -> str:
    """Run `script` in a fresh interpreter with `config` as its JSON argument; it must exit
    with status 0. Returns what it printed."""
    done = subprocess.run(
        [sys.executable, "-c", script, json.dumps(config)],
        capture_output=True,
        text=True,
        timeout=600,
        check=False,
    )
    assert done.returncode == 0, done.stderr[-4000:]
    return done.stdout


HARNESS = r"""
import json, os, random, shutil, signal, sys, types
from pathlib import Path
cfg = json.loads(sys.argv[1])
sys.path.insert(0, cfg["src"])
import tqdm
tqdm.tqdm.monitor_interval = 0  # no monitor thread in a process that forks
import pandas as pd
from lumora import singleton
from lumora._http import HttpClient
from lumora.backtest import BacktestService, _service
from lumora.backtest._prepare import BinaryPreparedDataStore
from lumora.backtest._full_build import build_payload
from lumora.sources.sandbox.client import SandboxClient

day = [cfg["t0"]]
today = types.SimpleNamespace(today=lambda: pd.Timestamp(day[0]))
_service.pd = types.SimpleNamespace(Timestamp=today)
client = SandboxClient(**cfg["market"], today=lambda: day[0])
singleton.set_instance(client)
http = HttpClient(cfg["url"], cfg["key"], cfg["secret"], backoff=0.001)
root = Path(cfg["root"])

calls, kill_at = [0], [None]
def counted(real):
    def wrapper(*args, **kwargs):
        calls[0] += 1
        if calls[0] == kill_at[0]:
            os.kill(os.getpid(), signal.SIGKILL)
        return real(*args, **kwargs)
    return wrapper
for name in ("replace", "rename", "fsync", "unlink", "rmdir", "mkdir", "fdopen"):
    setattr(os, name, counted(getattr(os, name)))

def prepare(directory):
    _service._DEFAULT_DATA_DIR = directory
    BacktestService(http).prepare_backtest_data()

def close_of(directory):
    return BinaryPreparedDataStore(directory).load(mmap=False)["data"]["close_price"]

template = root / "t0" / "enviroment_data"
prepare(template)
day[0] = cfg["t1"]
expected = build_payload(client, end=cfg["t1"])["data"]["close_price"]
rows_at_t0 = int((expected.index <= cfg["t0"]).sum())

def set_up(kind, directory):
    if kind != "download":
        shutil.copytree(template, directory)
    if kind == "repair":
        record = BinaryPreparedDataStore(directory).load_metadata()["datasets"]["open_price"]
        path = directory / record["segments"][0]["file"]
        path.write_bytes(path.read_bytes()[:-64])

def same_rows(close):
    close = close.reindex(columns=sorted(close.columns))
    want = expected.iloc[: len(close)]
    pd.testing.assert_frame_equal(close, want, check_dtype=False, check_names=False)
    return len(close)

kinds = ("download", "update", "repair")
total = {}
for kind in kinds:
    directory = root / f"count-{kind}" / "enviroment_data"
    set_up(kind, directory)
    calls[0] = 0
    prepare(directory)
    total[kind] = calls[0]
    assert same_rows(close_of(directory)) == len(expected)

rng = random.Random(cfg["seed"])
outcomes = {"loads": 0, "repaired": 0}
for trial in range(cfg["trials"]):
    kind = kinds[trial % 3]
    directory = root / f"trial{trial}" / "enviroment_data"
    set_up(kind, directory)
    point = rng.randint(1, total[kind])
    pid = os.fork()
    if pid == 0:
        calls[0], kill_at[0] = 0, point
        try:
            prepare(directory)
        finally:
            os._exit(0)
    _, status = os.waitpid(pid, 0)
    where = (trial, kind, point, status)
    store = BinaryPreparedDataStore(directory)
    if store.metadata_path.exists() and not store.check():
        # What is left loads, and holds the earlier rows or all of them, never fewer.
        assert same_rows(close_of(directory)) in (rows_at_t0, len(expected)), where
        outcomes["loads"] += 1
    else:
        outcomes["repaired"] += 1
    prepare(directory)
    assert same_rows(close_of(directory)) == len(expected), where
    assert BinaryPreparedDataStore(directory).verify() == [], where
    assert [p.name for p in directory.parent.iterdir()] == ["enviroment_data"], where
    shutil.rmtree(directory.parent)
print(json.dumps({"total": total, **outcomes}))
"""


def test_killed_preparations_leave_a_store_that_loads_or_is_repaired(tmp_path):
    client = SandboxClient(**MARKET, today=T0)
    with PackageServer(package_writer(client)) as server:
        server.archive()
        config = {
            "src": str(SRC),
            "url": server.base_url,
            "key": server.api_key,
            "secret": server.api_secret,
            "root": str(tmp_path),
            "market": MARKET,
            "t0": T0,
            "t1": T1,
            "trials": TRIALS,
            "seed": 20261208,
        }
        output = run_script(HARNESS, config)
    summary = json.loads(output.strip().splitlines()[-1])
    assert summary["loads"] + summary["repaired"] == TRIALS


DIE_AS_THE_STORE_COMMITS = r"""
import json, os, sys, types
cfg = json.loads(sys.argv[1])
sys.path.insert(0, cfg["src"])
import pandas as pd
import lumora
from lumora.backtest import _service
_service._DEFAULT_DATA_DIR = cfg["store"]
today = types.SimpleNamespace(today=lambda: pd.Timestamp(cfg["today"]))
_service.pd = types.SimpleNamespace(Timestamp=today)
metadata = os.path.join(cfg["store"], "metadata.pkl")
replace = os.replace
def replace_then_die(source, target, *args, **kwargs):
    replace(source, target, *args, **kwargs)
    if os.path.abspath(target) == metadata:
        os._exit(0)  # killed the moment the store's metadata is in place
os.replace = replace_then_die
lumora.init_files(cfg["root"])
lumora.prepare_backtest_data()
sys.exit("the store's metadata was never replaced")
"""


def test_a_store_killed_as_it_commits_keeps_its_source_and_the_record_of_its_files(
    tmp_path, monkeypatch
):
    """A first build of the user's files killed the moment the store lands, then a tail
    update killed the moment it commits: each commit holds the source and the record of
    the files it was built from. So another market is refused (it used to merge into a
    store without a source), a close restated later on a day the killed update wrote is
    applied (it used to be taken for a new day and skipped), and a store that records no
    source (an earlier version's) is built anew, never extended by another source."""
    store = use_data_dir(monkeypatch, tmp_path)
    clock = use_clock(monkeypatch, T0)
    sandbox = SandboxClient(**MARKET, today=T1)
    root = tmp_path / "files"

    def prepare_killed_as_it_commits(today: str) -> None:
        config = {"src": str(SRC), "store": str(store), "root": str(root), "today": today}
        run_script(DIE_AS_THE_STORE_COMMITS, config)

    export_market(sandbox.market(), root, end=T0)
    prepare_killed_as_it_commits(T0)
    assert BinaryPreparedDataStore(store).recorded_source() == {
        "kind": "files",
        "root": str(root.resolve()),
    }
    before = {p.name: p.read_bytes() for p in store.iterdir()}
    lumora.init_sandbox(20, 3, start="20240102", today=T0, package_lag_days=0)
    with pytest.raises(KestrelError, match="另一数据源"):
        lumora.prepare_backtest_data()
    assert {p.name: p.read_bytes() for p in store.iterdir()} == before

    export_market(sandbox.market(), root, end=T1)  # ten more days
    prepare_killed_as_it_commits(T1)
    bars = pd.read_parquet(root / "bars.parquet")
    row = int(np.flatnonzero(bars["date"].astype(str) > T0)[0])  # a day the update wrote
    bars.loc[row, "close"] = round(bars.loc[row, "close"] * 1.01, 2)
    bars.to_parquet(root / "bars.parquet", index=False)
    clock.day = T1
    lumora.init_files(root)
    lumora.prepare_backtest_data()
    expected = build_payload(FileSource(root))["data"]["close_price"]
    pd.testing.assert_frame_equal(lumora.load_backtest_data().data["close_price"], expected)

    files_store = BinaryPreparedDataStore(store)
    metadata = files_store.load_metadata()
    del metadata["source"]  # as an earlier version left it
    files_store._write_metadata(metadata)
    lumora.init_sandbox(20, 3, start="20240102", today=T1, package_lag_days=0)
    lumora.prepare_backtest_data()
    assert BinaryPreparedDataStore(store).recorded_source()["kind"] == "sandbox"
    other = SandboxClient(20, 3, start="20240102", today=T1)
    pd.testing.assert_frame_equal(
        lumora.load_backtest_data().data["close_price"],
        build_payload(other)["data"]["close_price"],
    )
    lumora.init_files(root)  # the sandbox's package server stops
