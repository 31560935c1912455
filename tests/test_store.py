"""The binary prepared-data store: round trips, tail merges against a pandas model,
refusal of unsafe metadata, crash safety and the directory lock."""

from __future__ import annotations

import os
import pickle
import subprocess
import sys
import threading
import time
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

from lumora.backtest import _store
from lumora.backtest._store import BinaryPreparedDataStoreBase
from lumora.exceptions import KestrelError
from lumora.sandbox import generate_market

SRC = Path(__file__).resolve().parents[1] / "src"
DTYPES = {"close_price": "float64", "open_price": "float64", "can_buy_stock": "bool"}


def make_store(directory: Path) -> BinaryPreparedDataStoreBase:
    return BinaryPreparedDataStoreBase(directory, DTYPES, 1, "float64")


def dates(start: str, n: int) -> list[str]:
    return pd.bdate_range(start, periods=n).strftime("%Y%m%d").tolist()


def frame(values: np.ndarray, rows: list[str], cols: list[str]) -> pd.DataFrame:
    return pd.DataFrame(values, index=pd.Index(rows, dtype=str), columns=pd.Index(cols, dtype=str))


def random_payload(rng: np.random.Generator, rows: list[str], cols: list[str]) -> dict:
    shape = (len(rows), len(cols))
    close = np.where(rng.random(shape) < 0.2, np.nan, rng.random(shape) * 10)
    return {
        "version": 1,
        "meta": {"start_date": rows[0]},
        "data": {
            "close_price": frame(close, rows, cols),
            "open_price": frame(rng.random(shape), rows, cols),
            "can_buy_stock": frame(rng.random(shape) < 0.5, rows, cols),
            "benchmark_dict": {
                "000300": pd.Series(rng.normal(size=len(rows)), index=pd.Index(rows, dtype=str)),
                "000852": pd.Series(rng.normal(size=len(rows)), index=pd.Index(rows, dtype=str)),
            },
        },
    }


def assert_tables_equal(loaded: dict, expected: dict) -> None:
    assert list(loaded) == list(expected)
    for key, value in expected.items():
        if key == "benchmark_dict":
            assert list(loaded[key]) == list(value)
            for code, series in value.items():
                pd.testing.assert_series_equal(loaded[key][code], series, check_names=False)
        else:
            pd.testing.assert_frame_equal(loaded[key], value)


@pytest.fixture
def sandbox_payload() -> dict:
    market = generate_market(40, 60, seed=3)
    tables = market.dataset_tables()
    data = {k: tables[k] for k in ("close_price", "open_price", "can_buy_stock")}
    data["benchmark_dict"] = tables["benchmark_dict"]
    return {"version": 1, "meta": {"start_date": "20150105", "component_names": []}, "data": data}


# --------------------------------------------------------------------------- round trip


@pytest.mark.parametrize("mmap", [False, True])
@pytest.mark.parametrize(
    ("start", "end", "keys"),
    [
        (None, None, None),
        ("20150201", None, None),
        (None, "20150220", ["can_buy_stock"]),
        (20150210, "2015-03-02", ["open_price", "close_price"]),
        ("20990101", None, None),  # after every stored date: zero rows, same columns
    ],
)
def test_round_trip(tmp_path, sandbox_payload, mmap, start, end, keys):
    store = make_store(tmp_path / "store")
    store.write_payload(sandbox_payload)
    loaded = store.load(start_date=start, end_date=end, keys=keys, mmap=mmap)

    lo = "00000000" if start is None else pd.Timestamp(str(start)).strftime("%Y%m%d")
    hi = "99999999" if end is None else pd.Timestamp(str(end)).strftime("%Y%m%d")
    data = sandbox_payload["data"]
    wanted = keys or ["close_price", "open_price", "can_buy_stock"]
    expected = {k: data[k].loc[(data[k].index >= lo) & (data[k].index <= hi)] for k in wanted}
    expected["benchmark_dict"] = {
        code: s.loc[(s.index >= lo) & (s.index <= hi)] for code, s in data["benchmark_dict"].items()
    }
    assert_tables_equal(loaded["data"], expected)
    assert loaded["version"] == 1 and loaded["meta"]["start_date"] == "20150105"
    if "can_buy_stock" in wanted:
        assert (loaded["data"]["can_buy_stock"].dtypes == bool).all()


def test_metadata_lists_dates_and_benchmarks(tmp_path, sandbox_payload):
    store = make_store(tmp_path)
    store.write_payload(sandbox_payload)
    metadata = store.load_metadata()
    close_dates = sandbox_payload["data"]["close_price"].index.tolist()
    assert metadata["datasets"]["close_price"]["index"] == close_dates
    assert set(metadata["benchmarks"]) == {"000300", "000852", "000905"}
    for key in metadata["benchmarks"].values():
        assert metadata["datasets"][key]["index"] == close_dates
    assert (tmp_path / "manifest.json").exists()


def test_unknown_key_is_a_key_error(tmp_path, sandbox_payload):
    store = make_store(tmp_path)
    store.write_payload(sandbox_payload)
    with pytest.raises(KeyError, match="nope"):
        store.load(keys=["nope"])


def test_load_without_store_creates_nothing(tmp_path):
    store = make_store(tmp_path / "absent")
    with pytest.raises(FileNotFoundError):
        store.load()
    assert not (tmp_path / "absent").exists()
    assert store.update_tail({"data": {}}) is False
    assert not (tmp_path / "absent").exists()


# --------------------------------------------------------------------------- tail merge


class StoreModel:
    """What the store should hold, kept with plain pandas operations."""

    def __init__(self, payload: dict) -> None:
        self.tables = {k: v for k, v in payload["data"].items() if k != "benchmark_dict"}
        self.bench = dict(payload["data"]["benchmark_dict"])

    def update(self, payload: dict, write_start: str) -> None:
        for key, tail in payload["data"].items():
            if key == "benchmark_dict":
                continue
            old = self.tables[key]
            tail = tail.loc[tail.index >= write_start]
            if tail.empty:
                continue
            columns = old.columns.append(tail.columns.difference(old.columns, sort=False))
            if old.columns.is_monotonic_increasing:  # a new stock where a build places it
                columns = columns.sort_values()
            merged = pd.concat([old.loc[old.index < write_start], tail]).reindex(columns=columns)
            if DTYPES[key] == "bool":
                merged = merged.fillna(False).astype(bool)
            self.tables[key] = merged
        for code, tail in payload["data"]["benchmark_dict"].items():
            tail = tail.loc[tail.index >= write_start]
            old = self.bench[code]
            self.bench[code] = pd.concat([old[~old.index.isin(tail.index)], tail]).sort_index()

    def expected(self) -> dict:
        return {**self.tables, "benchmark_dict": self.bench}


def tail_payload(rng, store_dates, cols, write_start, n_rows, n_new_cols, new_code):
    first_new = (
        len(store_dates) if write_start > store_dates[-1] else store_dates.index(write_start)
    )
    rows = (store_dates[first_new:] + dates(pd.Timestamp(store_dates[-1]) + pd.offsets.BDay(), 30))[
        :n_rows
    ]
    rows = [write_start] + [d for d in rows if d > write_start][: n_rows - 1]
    keep = [c for c in cols if rng.random() < 0.9]  # delisted stocks drop out of the tail
    new = [new_code() for _ in range(n_new_cols)]
    tail_cols = list(rng.permutation(keep + new))
    payload = random_payload(rng, rows, tail_cols)
    payload["meta"] = {"write_start_date": write_start}
    return payload


@pytest.mark.parametrize("seed", range(4))
def test_tail_updates_match_pandas_model(tmp_path, seed, monkeypatch):
    monkeypatch.setattr(_store, "_MAX_SEGMENTS", 3)  # compaction, of the tail and of all
    rng = np.random.default_rng(seed)
    # New stocks with codes among the stored ones and after them.
    counter = iter(rng.permutation(np.arange(10, 999999, 10)).tolist())
    base_dates = dates("20240102", 3 + 9 * seed)  # compacted whole, or the tail only
    cols = [f"{i:06d}" for i in range(1, 800_000, 100_000)]
    first = random_payload(rng, base_dates, cols)
    store = make_store(tmp_path)
    store.write_payload(first)
    model = StoreModel(first)
    for _ in range(20):
        stored = model.tables["close_price"].index.tolist()
        choice = rng.integers(3)
        if choice == 0:  # rewrite from one of the last stored dates
            write_start = stored[max(len(stored) - 1 - int(rng.integers(6)), 0)]
        elif choice == 1:  # past the last date
            write_start = (
                pd.Timestamp(stored[-1]) + pd.offsets.BDay(int(rng.integers(1, 3)))
            ).strftime("%Y%m%d")
        else:  # the usual daily update: the last two stored days
            write_start = stored[max(len(stored) - 2, 0)]
        payload = tail_payload(
            rng,
            stored,
            model.tables["close_price"].columns.tolist(),
            write_start,
            int(rng.integers(1, 4)),
            int(rng.integers(0, 3)),
            lambda: f"{next(counter):06d}",
        )
        assert store.update_tail(payload) is True
        model.update(payload, write_start)
        for mmap in (False, True):
            assert_tables_equal(store.load(mmap=mmap)["data"], model.expected())
    segments = store.load_metadata()["datasets"]["close_price"]["segments"]
    assert len(segments) <= 3
    referenced = {
        s["file"] for r in store.load_metadata()["datasets"].values() for s in r["segments"]
    }
    assert {p.name for p in tmp_path.glob("*.npy")} == referenced  # replaced files removed


def test_tail_dates_in_metadata_and_empty_tables_do_not_truncate(tmp_path):
    rng = np.random.default_rng(7)
    rows = dates("20240102", 5)
    store = make_store(tmp_path)
    store.write_payload(random_payload(rng, rows, ["000001", "000002"]))
    tail = random_payload(rng, dates("20240108", 3), ["000002", "000003"])
    tail["meta"] = {"write_start_date": "20240108"}
    tail["data"]["open_price"] = tail["data"]["open_price"].iloc[:0]  # a failed source query
    assert store.update_tail(tail)
    metadata = store.load_metadata()
    assert metadata["datasets"]["close_price"]["index"] == rows[:4] + dates("20240108", 3)
    assert metadata["datasets"]["open_price"]["index"] == rows  # untouched, not cut
    assert metadata["meta"]["end_date"] == "20240110"


@pytest.mark.parametrize("case", ["no benchmark_dict", "benchmark missing", "no metadata"])
def test_tail_update_refused(tmp_path, case):
    rng = np.random.default_rng(1)
    store = make_store(tmp_path)
    payload = random_payload(rng, dates("20240102", 3), ["000001"])
    if case != "no metadata":
        store.write_payload(payload)
    before = store.load_metadata() if case != "no metadata" else None
    tail = random_payload(rng, dates("20240104", 2), ["000001"])
    if case == "no benchmark_dict":
        del tail["data"]["benchmark_dict"]
    elif case == "benchmark missing":
        del tail["data"]["benchmark_dict"]["000852"]
    else:
        tmp_path.mkdir(exist_ok=True)
    assert store.update_tail(tail) is False
    if before is not None:
        assert store.load_metadata() == before


# --------------------------------------------------------------------------- unsafe metadata


class Evil:
    def __reduce__(self):
        return (os.system, ("echo pwned",))


@pytest.mark.parametrize(
    ("content", "message"),
    [
        (pickle.dumps({"datasets": {}, "x": Evil()}), "posix.system|os.system|不允许"),
        (pickle.dumps({"when": pd.Timestamp("2024-01-02")}), "不允许"),
        (pickle.dumps(["not", "a", "mapping"]), "格式错误"),
        (b"\x80\x05\x95garbage", "无法读取"),
    ],
)
def test_metadata_allow_list(tmp_path, content, message):
    (tmp_path / "metadata.pkl").write_bytes(content)
    with pytest.raises(KestrelError, match=message):
        make_store(tmp_path).load_metadata()


@pytest.mark.parametrize(
    "name", ["../outside.0123456789ab.npy", "/etc/passwd", ".hidden.0123456789ab.npy"]
)
def test_file_names_from_metadata_are_checked(tmp_path, sandbox_payload, name):
    store = make_store(tmp_path)
    store.write_payload(sandbox_payload)
    metadata = store.load_metadata()
    metadata["datasets"]["close_price"]["segments"][0]["file"] = name
    store._write_metadata(metadata)
    with pytest.raises(KestrelError, match="文件名无效"):
        store.load(keys=["close_price"])


def _rewrite(path: Path, change) -> None:
    np.save(path, change(np.load(path)))


DAMAGE = {  # what is done to the close_price record and its segment file
    "three dates more": lambda rec, path: rec.update(
        index=rec["index"] + ["20991229", "20991230", "20991231"]
    ),
    "rows -5": lambda rec, path: rec["segments"][0].update(rows=-5),
    "truncated": lambda rec, path: path.write_bytes(path.read_bytes()[:-8]),
    "missing": lambda rec, path: path.unlink(),
    "float32": lambda rec, path: _rewrite(path, lambda a: a.astype(np.float32)),
    "narrower": lambda rec, path: _rewrite(path, lambda a: a[:, :-1]),
    # same header and size: only the checksum sees it
    "flipped bit": lambda rec, path: path.write_bytes(path.read_bytes()[:-3] + b"\x7f\x00\x01"),
    # numpy's header parser fails with a TokenError on this one
    "garbled header": lambda rec, path: path.write_bytes(
        path.read_bytes().replace(b"'descr'", b'"""desc', 1)
    ),
    "a link to another dataset's file": lambda rec, path: (
        path.unlink(),
        path.symlink_to(next(path.parent.glob("open_price.*.npy"))),
    ),
    "another dataset's file named": lambda rec, path: rec["segments"][0].update(
        file=next(path.parent.glob("open_price.*.npy")).name
    ),
}


@pytest.mark.parametrize("damage", list(DAMAGE))
def test_damage_is_found_and_named(tmp_path, sandbox_payload, damage):
    """Load refuses a damaged store naming the dataset and the file, never returning
    wrong rows; check() finds structural damage, verify() content damage too."""
    store = make_store(tmp_path)
    store.write_payload(sandbox_payload)
    assert store.check() == [] and store.verify() == []
    metadata = store.load_metadata()
    record = metadata["datasets"]["close_price"]
    DAMAGE[damage](record, tmp_path / record["segments"][0]["file"])
    name = record["segments"][0]["file"]
    store._write_metadata(metadata)
    problems = store.verify()
    assert len(problems) == 1 and f"close_price 文件 {name}" in problems[0]
    cheap = damage != "flipped bit"
    assert store.check() == (problems if cheap else [])
    for mmap in (False, True) if cheap else ():
        with pytest.raises(KestrelError, match=f"close_price 文件 {name}"):
            store.load(mmap=mmap)
    # Other datasets still load, and old stores without checksums still verify clean.
    store.load(keys=["open_price"])
    for record in metadata["datasets"].values():
        for segment in record["segments"]:
            segment.pop("xxh3_128")
    store._write_metadata(metadata)
    assert store.verify() == store.check()


def test_metadata_that_cannot_be_read_back_is_not_written(tmp_path):
    with pytest.raises(TypeError, match="not a plain value"):
        make_store(tmp_path)._write_metadata({"meta": {"obj": object()}})
    assert not (tmp_path / "metadata.pkl").exists()


# --------------------------------------------------------------------------- crash safety

CRASH_SCRIPT = """
import builtins, os, pickle, signal, sys
sys.path.insert(0, {src!r})
import numpy as np, pandas as pd
from lumora.backtest._prepare import BinaryPreparedDataStore

target, kill_at, operation = {target!r}, {kill_at!r}, {operation!r}
calls = {{"replace": 0, "fsync": 0, "write": 0}}

def die():
    os.kill(os.getpid(), signal.SIGKILL)

def counted(kind, real):
    def wrapper(*args):
        calls[kind] += 1
        if (kind, calls[kind]) == kill_at:
            die()
        return real(*args)
    return wrapper

class TornOnKill:
    # A file whose chosen write stops half-way, on disk, when the process dies.
    def __init__(self, fh):
        self._fh = fh
    def write(self, data):
        calls["write"] += 1
        if ("write", calls["write"]) == kill_at:
            view = memoryview(data).cast("B")
            self._fh.write(view[: len(view) // 2])
            self._fh.flush()
            die()
        return self._fh.write(data)
    def __getattr__(self, name):
        return getattr(self._fh, name)
    def __enter__(self):
        return self
    def __exit__(self, *exc):
        return self._fh.__exit__(*exc)

def tearing(real):
    def wrapper(file, mode="r", *args, **kwargs):
        fh = real(file, mode, *args, **kwargs)
        return TornOnKill(fh) if any(c in mode for c in "wa+") else fh
    return wrapper

os.replace = counted("replace", os.replace)
os.fsync = counted("fsync", os.fsync)
os.fdopen = tearing(os.fdopen)
builtins.open = tearing(builtins.open)
with open(os.path.join(target, "job.pkl"), "rb") as fh:
    job = pickle.load(fh)
store = BinaryPreparedDataStore(target, job["components"])
if operation == "update_tail":
    store.update_tail(job["payload"])
else:
    store.add_component_matrices(job["matrices"], job["components"])
print(calls)
"""


def run_writer(
    target: Path, operation: str, kill_at: tuple[str, int] | None
) -> subprocess.CompletedProcess:
    script = CRASH_SCRIPT.format(
        src=str(SRC), target=str(target), kill_at=kill_at, operation=operation
    )
    return subprocess.run(
        [sys.executable, "-c", script], check=False, capture_output=True, text=True, timeout=120
    )


def component_job(tmp_path: Path) -> tuple[Path, dict, dict]:
    from lumora.backtest._prepare import BinaryPreparedDataStore

    market = generate_market(30, 40, seed=5)
    tables = market.dataset_tables()
    names = ["rq_index_components_new_000300.XSHG", "rq_index_components_new_000905.XSHG"]
    target = tmp_path / "store"
    store = BinaryPreparedDataStore(target, names)
    base = {k: v for k, v in tables.items() if not k.startswith("component__")}
    store.write_payload({"version": 1, "meta": {}, "data": base})
    before = store.load(mmap=False)["data"]
    comps = market.component_factor_tables()
    job = {"components": names, "matrices": {n: comps[n] for n in names}}
    tail = generate_market(33, 42, seed=6).dataset_tables()  # three more stocks, two more days
    tail = {k: (v.iloc[-4:] if isinstance(v, pd.DataFrame) else v) for k, v in tail.items()}
    tail["benchmark_dict"] = {c: s.iloc[-4:] for c, s in tail["benchmark_dict"].items()}
    write_start = tables["close_price"].index[-2]
    job["payload"] = {"version": 1, "meta": {"write_start_date": write_start}, "data": tail}
    with open(target / "job.pkl", "wb") as fh:
        pickle.dump(job, fh)
    return target, job, before


def same_tables(loaded: dict, expected: dict) -> bool:
    try:
        assert_tables_equal(loaded, expected)
    except AssertionError:
        return False
    return True


@pytest.mark.parametrize("operation", ["update_tail", "add_component_matrices"])
def test_killed_writer_leaves_a_complete_store(tmp_path, operation):
    from lumora.backtest._prepare import BinaryPreparedDataStore

    target, job, before = component_job(tmp_path / "reference")
    finished = run_writer(target, operation, None)
    assert finished.returncode == 0, finished.stderr
    calls = eval(finished.stdout.strip().splitlines()[-1])  # our own dict repr
    after = BinaryPreparedDataStore(target, job["components"]).load(mmap=False)["data"]
    assert not same_tables(after, before)

    # Matrix files are renamed first, then the metadata (the commit), then the manifest;
    # every file is fsynced before its rename. Kill points cover torn writes, written but
    # unrenamed files, and the moments around the commit.
    n, f, w = calls["replace"], calls["fsync"], calls["write"]
    kill_points = {("write", 1), ("write", w // 2), ("write", w - 1), ("write", w)}
    kill_points |= {
        ("fsync", 1),
        ("replace", 1),
        ("replace", n // 2),
        ("replace", n - 1),
        ("replace", n),
        ("fsync", f),
    }
    for kind, count in sorted(kill_points):
        trial, _, _ = component_job(tmp_path / f"{kind}{count}")
        crashed = run_writer(trial, operation, (kind, count))
        assert crashed.returncode == -9, (kind, count, crashed.stderr)
        store = BinaryPreparedDataStore(trial, job["components"])
        loaded = store.load(mmap=False)["data"]
        assert same_tables(loaded, before) or same_tables(loaded, after), (kind, count)
        # The next writer completes the job and clears what the crash left behind.
        assert run_writer(trial, operation, None).returncode == 0
        assert same_tables(store.load(mmap=False)["data"], after)
        assert not list(trial.glob(".tmp-*"))


# --------------------------------------------------------------------------- lock

HOLD_LOCK = """
import sys, time
sys.path.insert(0, {src!r})
from pathlib import Path
from lumora.backtest._store import BinaryPreparedDataStoreBase
store = BinaryPreparedDataStoreBase({target!r}, {{}}, 1, "float64")
with store._writer_session():
    Path({flag!r}).write_text("locked")
    while not Path({release!r}).exists():
        time.sleep(0.02)
"""


@pytest.mark.parametrize("operation", ["load", "update_tail"])
def test_readers_and_writers_wait_for_a_writer(tmp_path, sandbox_payload, operation):
    target = tmp_path / "store"
    store = make_store(target)
    store.write_payload(sandbox_payload)
    tail = random_payload(np.random.default_rng(0), ["20150105"], ["000001"])
    tail["data"]["benchmark_dict"] = {
        code: s.iloc[:1] for code, s in sandbox_payload["data"]["benchmark_dict"].items()
    }
    run = {
        "load": lambda: store.load(mmap=False),
        "update_tail": lambda: store.update_tail(tail),
    }[operation]
    flag, release = tmp_path / "locked", tmp_path / "release"
    holder = subprocess.Popen(
        [
            sys.executable,
            "-c",
            HOLD_LOCK.format(
                src=str(SRC), target=str(target), flag=str(flag), release=str(release)
            ),
        ]
    )
    try:
        deadline = time.monotonic() + 60
        while not flag.exists() and time.monotonic() < deadline:
            time.sleep(0.02)
        assert flag.exists()
        result: dict = {}
        waiter = threading.Thread(target=lambda: result.setdefault("value", run()))
        waiter.start()
        waiter.join(0.5)
        assert waiter.is_alive(), f"{operation} got in while a writer held the directory"
        release.write_text("go")
        waiter.join(60)
        assert result["value"] is True or "close_price" in result["value"]["data"]
    finally:
        release.write_text("go")
        holder.wait(60)


def test_metadata_reached_through_a_link_is_refused(tmp_path, sandbox_payload):
    """A store holds no links: its metadata replaced by a link to another store's would
    describe that store's files."""
    other, store = make_store(tmp_path / "other"), make_store(tmp_path / "store")
    other.write_payload(sandbox_payload)
    store.write_payload(sandbox_payload)
    store.metadata_path.unlink()
    store.metadata_path.symlink_to(other.metadata_path)
    assert any("链接" in problem for problem in store.check())
    with pytest.raises(KestrelError, match="链接"):
        store.load(keys=["close_price"])
