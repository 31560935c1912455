"""prepare_backtest_data: completeness rules, the date check, the summary log, and the
whole road against the sandbox package server on loopback, faults included."""

from __future__ import annotations

import hashlib
import io
import json
import logging
import os
import pickle
import subprocess
import sys
import tarfile
import threading
import types
from pathlib import Path

import pandas as pd
import pytest

from loopback_server import Reply, ScriptedServer
from lumora import singleton
from lumora._dataset_keys import component_dataset_key
from lumora.backtest import BacktestService, _folder_lock, _pkg, _prepare, _service
from lumora.backtest._full_build import build_payload, package_writer, write_package
from lumora.backtest._package_server import PackageServer
from lumora.backtest._pkg import PACKAGE_DESCRIPTOR_PATH
from lumora.backtest._prepare import BinaryPreparedDataStore, GroupPreparedDataBuilder
from lumora.backtest._store import BinaryPreparedDataStoreBase
from lumora.exceptions import KestrelError, NetworkError
from lumora.sandbox import COMPONENT_FACTOR_NAMES
from lumora.sources.sandbox.client import SandboxClient

SRC = Path(__file__).resolve().parents[1] / "src"
INCOMPLETE = "回测基准数据包不完整,请删除回测数据目录后重新准备"
KEY_DATASETS = ["close_price", "open_price", "can_buy_stock", "cant_sell_stock"]
COMPONENT_KEYS = [component_dataset_key(name) for name in COMPONENT_FACTOR_NAMES]
MARKET = {"n_stocks": 40, "seed": 7, "start": "20240102", "horizon": "20251231"}
T0, T1 = "20240628", "20240712"  # no stock lists between them (checked below)


@pytest.fixture
def client(clock):
    sandbox = SandboxClient(**MARKET, today=clock)
    previous = singleton.set_instance(sandbox)
    yield sandbox
    singleton.set_instance(previous)


@pytest.fixture
def server(client):
    with PackageServer(package_writer(client)) as running:
        yield running


def service_of(server) -> BacktestService:
    return BacktestService(server.http_client(backoff=0.001))


def summary(caplog) -> list[str]:
    return [
        r.getMessage() for r in caplog.records if r.name == "lumora" and r.levelno == logging.INFO
    ]


def assert_loaded_equals_a_fresh_build(client, end: str) -> None:
    loaded = BacktestService(None).load_backtest_data().data
    expected = build_payload(client, end=end)["data"]
    assert set(loaded) == set(expected)
    for key, table in expected.items():
        if key == "benchmark_dict":
            for code, series in table.items():
                pd.testing.assert_series_equal(
                    loaded[key][code], series, check_names=False, check_index_type=False
                )
            continue
        got = loaded[key].reindex(columns=sorted(loaded[key].columns))
        assert list(got.columns) == list(table.columns), key
        pd.testing.assert_frame_equal(got, table, check_dtype=False, check_names=False, obj=key)


def snapshot(root: Path) -> dict[str, bytes]:
    return {
        str(p.relative_to(root)): p.read_bytes() for p in sorted(root.rglob("*")) if p.is_file()
    }


def remove_dataset(directory: Path, key: str) -> None:
    store = BinaryPreparedDataStore(directory)
    metadata = store.load_metadata()
    del metadata["datasets"][key]
    store._write_metadata(metadata)


# --------------------------------------------------------------------------- completeness


class FakeStore:
    def __init__(self, metadata: dict | None) -> None:
        self.metadata = metadata
        self.metadata_path = types.SimpleNamespace(exists=lambda: metadata is not None)
        self.payloads: list[dict] = []
        self.tail_result = True

    def load_metadata(self) -> dict:
        return self.metadata

    def update_tail(self, payload) -> bool:
        self.payloads.append(payload)
        return self.tail_result


def complete_metadata(dates=("20240102", "20240103")) -> dict:
    keys = KEY_DATASETS + COMPONENT_KEYS
    datasets = {key: {"index": list(dates)} for key in keys}
    datasets["benchmark__000300"] = {"index": list(dates)}
    return {"datasets": datasets, "benchmarks": {"000300": "benchmark__000300"}}


def without(metadata: dict, *keys: str) -> dict:
    for key in keys:
        metadata["datasets"].pop(key)
    return metadata


@pytest.mark.parametrize(
    ("metadata", "missing"),
    [
        (complete_metadata(), []),
        ({}, ["close_price 索引为空", *KEY_DATASETS, "benchmarks", *COMPONENT_KEYS]),
        (complete_metadata(dates=()), ["close_price 索引为空"]),
        ({**complete_metadata(), "benchmarks": {}}, ["benchmarks"]),
        (
            without(complete_metadata(), "open_price", COMPONENT_KEYS[4]),
            ["open_price", COMPONENT_KEYS[4]],
        ),
    ],
)
def test_missing_datasets_and_validation(metadata, missing):
    store = FakeStore(metadata)
    assert BacktestService._find_missing_datasets(store) == missing
    structural = [m for m in missing if m not in COMPONENT_KEYS]
    if structural:
        with pytest.raises(KestrelError, match=f"^{INCOMPLETE}$"):
            BacktestService._validate_metadata(store)
    else:  # membership tables are not examined after a download
        BacktestService._validate_metadata(store)


def test_validation_without_a_metadata_file():
    with pytest.raises(KestrelError, match="^回测基准数据包解压后缺少元信息文件$"):
        BacktestService._validate_metadata(FakeStore(None))


# --------------------------------------------------------------------------- summary log


def test_summary_lines(caplog):
    metadata = {
        "datasets": {
            "close_price": {"index": ["20240101", "20240102"]},
            COMPONENT_KEYS[0]: {"index": []},
            "benchmark__000300": {"index": ["20240103"]},
        },
        "benchmarks": {"000300": "benchmark__000300"},
    }
    with caplog.at_level(logging.INFO, logger="lumora"):
        BacktestService._log_dataset_summary(FakeStore(metadata), action="已更新")
        BacktestService._log_dataset_summary(FakeStore({}), action="已是最新")
    label = "成分股 rq_index_components_new_000300-2EXSHG"
    assert summary(caplog) == [
        "回测基准数据已更新,各数据集最新日期:",
        f"  {'close_price':<{len(label)}}  20240102",
        f"  {label}  (空)",
        f"  {'基准 000300':<{len(label)}}  20240103",
        "回测基准数据已是最新,各数据集最新日期:",
    ]


def test_a_date_that_is_not_text_is_a_type_error():
    store = FakeStore({"datasets": {"close_price": {"index": [20240102]}}})
    with pytest.raises(TypeError):
        BacktestService._log_dataset_summary(store, action="已更新")


# --------------------------------------------------------------------------- date check


@pytest.mark.parametrize(
    ("dates", "today", "after", "window", "action"),
    [
        (["20240101", "20240102", "20240103"], "20240110", False, "20240102", "已更新"),
        (["20240101", "20240102", "20240103"], "20240110", True, "20240102", "已就绪并更新"),
        (["20240105"], "20240110", False, "20240105", "已更新"),  # a single stored date
        (["20240102", "20240110"], "20240110", False, "20240102", "已更新"),  # ends today
        (["20240109", "20240110"], "20240109", False, None, "已是最新"),
        (["20240109", "20240110"], "20240108", True, None, "已就绪"),
    ],
)
def test_refresh_compares_the_reload_start_with_today(
    monkeypatch, clock, caplog, dates, today, after, window, action
):
    calls = []
    monkeypatch.setattr(
        _service,
        "build_incremental_write_window",
        lambda *args: calls.append(args) or {"meta": {}, "data": {}},
    )
    clock.day = today
    store = FakeStore(complete_metadata(dates))
    with caplog.at_level(logging.INFO, logger="lumora"):
        BacktestService(None)._refresh_to_latest(store, after_download=after)
    assert calls == ([] if window is None else [(dates, window, today)])
    assert len(store.payloads) == len(calls)
    assert summary(caplog)[0] == f"回测基准数据{action},各数据集最新日期:"


@pytest.mark.parametrize("rows", [None, 1, 3, 4])
def test_the_update_rewrites_the_last_reload_rows(monkeypatch, clock, rows):
    """The update rewrites from TAIL_RELOAD_ROWS stored dates before the end (the
    catalogue's number unless changed), from the first date when fewer are stored."""
    if rows is not None:
        monkeypatch.setattr(_service, "TAIL_RELOAD_ROWS", rows)
    reload = _prepare.TAIL_RELOAD_ROWS if rows is None else rows
    calls = []
    monkeypatch.setattr(
        _service, "build_incremental_write_window", lambda *args: calls.append(args) or {}
    )
    clock.day = "20240110"
    dates = ["20240101", "20240102", "20240103"]
    BacktestService(None)._refresh_to_latest(FakeStore(complete_metadata(dates)), after_download=0)
    assert calls == [(dates, dates[max(0, len(dates) - reload)], "20240110")]


@pytest.mark.parametrize(
    ("metadata", "tail_result", "error", "message"),
    [
        (complete_metadata(dates=()), True, KestrelError, INCOMPLETE),
        ({"benchmarks": {}}, True, KeyError, None),
        (complete_metadata(), False, KestrelError, "回测数据增量更新失败:基准缺失或元信息不完整"),
    ],
)
def test_refresh_failures(monkeypatch, clock, metadata, tail_result, error, message):
    monkeypatch.setattr(_service, "build_incremental_write_window", lambda *args: {})
    store = FakeStore(metadata)
    store.tail_result = tail_result
    with pytest.raises(error) as raised:
        BacktestService(None)._refresh_to_latest(store, after_download=0)
    if message:
        assert str(raised.value) == message


# --------------------------------------------------------------------------- end to end


def test_full_package_then_incremental_updates_equal_fresh_builds(
    server, client, clock, data_dir, caplog
):
    service = service_of(server)
    with caplog.at_level(logging.INFO, logger="lumora"):
        service.prepare_backtest_data()
    assert server.package_downloads == 1
    assert summary(caplog)[0] == "回测基准数据已就绪并更新,各数据集最新日期:"
    assert sorted(p.name for p in data_dir.parent.iterdir()) == ["enviroment_data"]
    assert_loaded_equals_a_fresh_build(client, T0)

    listing = build_payload(client, end=T1)["data"]["close_price"]
    assert listing.loc[:T0].notna().any().all()  # no stock lists between T0 and T1

    clock.day = T1
    caplog.clear()
    with caplog.at_level(logging.INFO, logger="lumora"):
        service.prepare_backtest_data()
    assert server.package_downloads == 1
    lines = summary(caplog)
    assert lines[0] == "回测基准数据已更新,各数据集最新日期:"
    assert lines[2].split() == ["close_price", T1]
    assert_loaded_equals_a_fresh_build(client, T1)


def test_a_package_reaching_today_is_ready_without_an_update(client, clock, data_dir, caplog):
    ahead = SandboxClient(**MARKET, today="20240627")  # the package's source is a day ahead
    with PackageServer(package_writer(ahead)) as server:
        clock.day = "20240626"
        with caplog.at_level(logging.INFO, logger="lumora"):
            service_of(server).prepare_backtest_data()
            service_of(server).prepare_backtest_data()
    assert summary(caplog)[0] == "回测基准数据已就绪,各数据集最新日期:"
    assert summary(caplog)[len(summary(caplog)) // 2] == "回测基准数据已是最新,各数据集最新日期:"
    assert server.package_downloads == 1


def test_missing_membership_dataset_triggers_a_new_download(server, client, data_dir):
    service = service_of(server)
    service.prepare_backtest_data()
    remove_dataset(data_dir, COMPONENT_KEYS[4])
    service.prepare_backtest_data()
    assert server.package_downloads == 2
    assert BacktestService._find_missing_datasets(BinaryPreparedDataStore(data_dir)) == []
    assert sorted(p.name for p in data_dir.parent.iterdir()) == ["enviroment_data"]


REPAIRED = [
    "truncated segment",
    "garbled segment header",
    "corrupt metadata",
    "hostile metadata",
    "metadata without close_price",
    "benchmarks emptied",
]


@pytest.mark.parametrize("damage", REPAIRED)
def test_a_damaged_store_is_repaired_by_the_next_prepare(server, client, data_dir, caplog, damage):
    service = service_of(server)
    service.prepare_backtest_data()
    metadata_file = data_dir / "metadata.pkl"
    store = BinaryPreparedDataStore(data_dir)
    metadata = store.load_metadata()
    path = data_dir / metadata["datasets"]["open_price"]["segments"][0]["file"]
    if damage == "truncated segment":
        path.write_bytes(path.read_bytes()[:-100])
    elif damage == "garbled segment header":  # numpy's header parser fails with TokenError
        path.write_bytes(path.read_bytes().replace(b"'descr'", b'"""desc', 1))
    elif damage == "corrupt metadata":
        metadata_file.write_bytes(metadata_file.read_bytes()[:-50])
    elif damage == "hostile metadata":
        metadata_file.write_bytes(pickle.dumps({"datasets": {}, "x": os.system}))
    else:
        if damage == "benchmarks emptied":
            metadata["benchmarks"] = {}
        else:
            del metadata["datasets"]["close_price"]
        store._write_metadata(metadata)
    with pytest.raises(KestrelError):
        BacktestService(None).load_backtest_data()
    with caplog.at_level(logging.INFO, logger="lumora"):
        service.prepare_backtest_data()
    assert server.package_downloads == 2
    assert any("已修复" in r.getMessage() for r in caplog.records)
    assert BinaryPreparedDataStore(data_dir).verify() == []
    assert_loaded_equals_a_fresh_build(client, T0)
    assert sorted(p.name for p in data_dir.parent.iterdir()) == ["enviroment_data"]


def test_a_store_of_another_source_is_refused_and_left_untouched(server, client, clock, data_dir):
    service_of(server).prepare_backtest_data()
    before = snapshot(data_dir)
    clock.day = T1
    other = SandboxClient(**{**MARKET, "n_stocks": 60}, today=clock)
    singleton.set_instance(other)
    with pytest.raises(KestrelError, match="另一数据源.*'n_stocks': 40.*'n_stocks': 60.*删除目录"):
        service_of(server).prepare_backtest_data()
    assert snapshot(data_dir) == before
    singleton.set_instance(client)
    service_of(server).prepare_backtest_data()
    assert_loaded_equals_a_fresh_build(client, T1)


class _FlockProbe:
    """fcntl for the folder locks (of the store and of the package module) that
    reports when thread B would block on a lock (the store's writer lock or the
    preparation lock)."""

    def __init__(self, real, blocked: threading.Event) -> None:
        self.real, self.blocked = real, blocked
        self.LOCK_EX, self.LOCK_SH, self.LOCK_NB = real.LOCK_EX, real.LOCK_SH, real.LOCK_NB

    def flock(self, fd: int, operation: int) -> None:
        if threading.current_thread().name == "B":
            try:
                return self.real.flock(fd, operation | self.real.LOCK_NB)
            except BlockingIOError:
                self.blocked.set()
        return self.real.flock(fd, operation)


def test_racing_first_downloads_both_leave_a_complete_store(client, clock, data_dir, monkeypatch):
    """A pauses after moving its first segment into the data directory; B then runs a
    whole prepare (download, move, update with clean-up) from another package. B must
    wait for A's move to finish instead of deleting the segment A has not yet recorded."""
    a_paused, b_blocked = threading.Event(), threading.Event()
    monkeypatch.setattr(_folder_lock, "fcntl", _FlockProbe(_folder_lock.fcntl, b_blocked))
    real_land = _pkg._land

    def land(entry, destination):
        real_land(entry, destination)
        first_segment = destination.suffix == ".npy" and not a_paused.is_set()
        if threading.current_thread().name == "A" and first_segment:
            a_paused.set()
            assert b_blocked.wait(120), "B neither blocked nor finished"

    monkeypatch.setattr(_pkg, "_land", land)
    errors = []
    with PackageServer(package_writer(client)) as one, PackageServer(package_writer(client)) as two:
        one.archive(), two.archive()  # both packages end at T0; the prepares update to T1
        clock.day = T1

        def run(server):
            try:
                service_of(server).prepare_backtest_data()
            except Exception as error:  # noqa: BLE001 - reported below
                errors.append(error)
            finally:
                b_blocked.set()  # B finishing releases A too

        a = threading.Thread(target=run, args=(one,), name="A")
        a.start()
        assert a_paused.wait(120)
        b = threading.Thread(target=lambda: run(two), name="B")
        b.start()
        a.join(), b.join()
    assert errors == []
    assert BinaryPreparedDataStore(data_dir).verify() == []
    assert_loaded_equals_a_fresh_build(client, T1)


class FailingBatch:
    def __init__(self, inner) -> None:
        self.inner = inner
        self.batches = 0

    def get_factors(self, factor, **dates):
        if not isinstance(factor, str):
            self.batches += 1
            raise NetworkError("batch query timed out")
        return self.inner.get_factors(factor, **dates)

    def get_index_daily(self, ukeys, **dates):
        return self.inner.get_index_daily(ukeys, **dates)


def test_update_falls_back_to_single_reads_when_the_batch_query_fails(
    server, client, clock, data_dir
):
    service_of(server).prepare_backtest_data()
    failing = FailingBatch(client)
    singleton.set_instance(failing)
    clock.day = T1
    service_of(server).prepare_backtest_data()
    assert failing.batches == 1
    assert_loaded_equals_a_fresh_build(client, T1)


# --------------------------------------------------------------------------- faults


def package_bytes(tmp_path: Path, client) -> bytes:
    source = tmp_path / "package-source" / "enviroment_data"
    write_package(source, client)
    buffer = io.BytesIO()
    with tarfile.open(fileobj=buffer, mode="w:gz") as tar:
        tar.add(source, arcname="enviroment_data")
    return buffer.getvalue()


def hostile_bytes(kind: str) -> bytes:
    buffer = io.BytesIO()
    with tarfile.open(fileobj=buffer, mode="w:gz") as tar:
        if kind == "traversal":
            member = tarfile.TarInfo("enviroment_data/../../escaped.pkl")
            member.size = 1
            tar.addfile(member, io.BytesIO(b"x"))
        else:
            member = tarfile.TarInfo("enviroment_data/metadata.pkl")
            member.type, member.linkname = tarfile.SYMTYPE, "/etc/passwd"
            tar.addfile(member)
    return buffer.getvalue()


def descriptor(archive: bytes, **overrides) -> Reply:
    body = {
        "url": "/archive.tar.gz",
        "size": len(archive),
        "sha256": hashlib.sha256(archive).hexdigest(),
    }
    return Reply(body=json.dumps({**body, **overrides}).encode())


FAULTS = {
    "wrong signature": (NetworkError, "401"),
    "truncated": (NetworkError, None),
    "server gone": (NetworkError, None),
    "checksum": (KestrelError, "校验"),
    "traversal": (KestrelError, "越出"),
    "link": (KestrelError, "链接"),
}


@pytest.mark.parametrize("existing", ["none", "incomplete", "incomplete, longest name"])
@pytest.mark.parametrize("fault", list(FAULTS))
def test_download_faults_give_their_error_and_lose_nothing(
    tmp_path, client, clock, data_dir, fault, existing, monkeypatch
):
    """Incomplete data is set aside during the new download and put back when it fails,
    also in a data directory named as long as the file system allows (its set-aside name
    used to be too long, and the data was removed instead)."""
    archive = package_bytes(tmp_path, client)
    if existing.endswith("longest name"):
        data_dir = data_dir.with_name("数据" * 42 + "abc")  # 255 bytes
        monkeypatch.setattr(_service, "_DEFAULT_DATA_DIR", data_dir)
    if existing.startswith("incomplete"):
        write_package(data_dir, client)
        remove_dataset(data_dir, COMPONENT_KEYS[0])
    before = snapshot(data_dir) if data_dir.exists() else None
    with ScriptedServer() as scripted:
        served = hostile_bytes(fault) if fault in ("traversal", "link") else archive
        scripted.route(
            PACKAGE_DESCRIPTOR_PATH,
            descriptor(served, **({"sha256": "0" * 64} if fault == "checksum" else {})),
        )
        if fault == "truncated":
            scripted.route("/archive.tar.gz", Reply(body=served, cut_after=len(served) // 2))
        elif fault == "server gone":
            scripted.route("/archive.tar.gz", Reply(body=served, cut_after=0))
        else:
            scripted.route("/archive.tar.gz", Reply(body=served))
        http = scripted.client(
            "not the secret" if fault == "wrong signature" else "test-secret", max_retries=1
        )
        error, pattern = FAULTS[fault]
        with pytest.raises(error, match=pattern):
            BacktestService(http).prepare_backtest_data()
    if before is None:
        assert not data_dir.exists() or not (data_dir / "metadata.pkl").exists()
    else:
        assert snapshot(data_dir) == before
    assert [p.name for p in data_dir.parent.iterdir() if p.name != data_dir.name] == []
    assert not (tmp_path / "escaped.pkl").exists()


def test_a_package_failing_its_checks_keeps_the_previous_data(tmp_path, client, clock, data_dir):
    write_package(data_dir, client)
    remove_dataset(data_dir, COMPONENT_KEYS[0])
    before = snapshot(data_dir)
    empty = tmp_path / "empty-package"
    write_package(empty, client)
    remove_dataset(empty, "open_price")
    with PackageServer(empty) as server, pytest.raises(KestrelError, match=f"^{INCOMPLETE}$"):
        service_of(server).prepare_backtest_data()
    assert snapshot(data_dir) == before


def test_an_update_failing_half_way_keeps_the_stored_data(
    server, client, clock, data_dir, monkeypatch
):
    service_of(server).prepare_backtest_data()
    before = BacktestService(None).load_backtest_data().data
    original = BinaryPreparedDataStoreBase._write_segment
    written = []
    broken = [True]

    def failing(store_dir, key, values, syncs=None):
        if broken[0] and len(written) == 5:
            raise OSError("disk full")
        written.append(key)
        return original(store_dir, key, values, syncs)

    monkeypatch.setattr(BinaryPreparedDataStoreBase, "_write_segment", staticmethod(failing))
    clock.day = T1
    with pytest.raises(OSError, match="disk full"):
        service_of(server).prepare_backtest_data()
    after = BacktestService(None).load_backtest_data().data
    for key, table in before.items():
        if key != "benchmark_dict":
            pd.testing.assert_frame_equal(after[key], table)
    broken[0] = False
    service_of(server).prepare_backtest_data()
    assert_loaded_equals_a_fresh_build(client, T1)


def test_a_builder_failure_passes_through_and_writes_nothing(
    server, client, clock, data_dir, monkeypatch
):
    service_of(server).prepare_backtest_data()
    before = snapshot(data_dir)

    def no_components(self, component_names, batch=None):
        return {}

    monkeypatch.setattr(GroupPreparedDataBuilder, "_component_matrices", no_components)
    clock.day = T1
    with pytest.raises(ValueError, match="成分股矩阵缺失"):
        service_of(server).prepare_backtest_data()
    assert snapshot(data_dir) == before


# --------------------------------------------------------------------------- real home


def test_prepare_in_a_fresh_interpreter_uses_the_home_directory_and_downloads_once(tmp_path):
    code = (
        "from lumora import singleton\n"
        "from lumora.backtest import BacktestService\n"
        "from lumora.backtest._full_build import package_writer\n"
        "from lumora.backtest._package_server import PackageServer\n"
        "from lumora.sources.sandbox.client import SandboxClient\n"
        f"client = SandboxClient(20, seed=3, start='20240102', horizon='20251231', today='{T0}')\n"
        "singleton.set_instance(client)\n"
        "with PackageServer(package_writer(client)) as server:\n"
        "    for _ in range(2):\n"
        "        BacktestService(server.http_client()).prepare_backtest_data()\n"
        "    print(server.package_downloads)\n"
    )
    env = {**os.environ, "HOME": str(tmp_path), "PYTHONPATH": str(SRC), "MPLBACKEND": "Agg"}
    done = subprocess.run(
        [sys.executable, "-c", code],
        capture_output=True,
        text=True,
        env=env,
        timeout=300,
        check=False,
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["1"]
    data = tmp_path / ".lumora" / "backtest_data" / "enviroment_data"
    with open(data / "metadata.pkl", "rb") as fh:
        assert pickle.load(fh)["datasets"]["close_price"]["index"][-1] <= T0
    assert "回测基准数据已就绪并更新" in done.stderr
