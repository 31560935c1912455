"""backtest_many: the same jobs give bit-identical results serially, on threads and on a
two-process LocalCluster (data broadcast or memory-mapped); failed jobs carry the request's
own error; a stopped batch leaves no worker running and no partial chart; a prepare during a
memory-mapped batch never gives a job the new data; jobs sharing a table share one spool
file, and a killed caller's spool folder is removed by the next batch."""

from __future__ import annotations

import dataclasses
import os
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import threading
from collections.abc import Callable
from pathlib import Path

import numpy as np
import pandas as pd
import pytest
from matplotlib import image

import lumora
from lumora import _session
from lumora.backtest import BacktestData, BacktestService, batch
from lumora.backtest._pkg import claimed_folder
from lumora.backtest._prepare import BinaryPreparedDataStore
from lumora.backtest.batch import FactorJob, JobFailure, MappedData, StoreVersionGone, StrategyJob
from lumora.sandbox import generate_market
from service_env import use_data_dir

START, END = "20150401", "20150930"


@pytest.fixture(scope="module")
def store_dir(tmp_path_factory):
    directory = tmp_path_factory.mktemp("batch") / "enviroment_data"
    tables = generate_market(60, 200, seed=13).dataset_tables()
    BinaryPreparedDataStore(directory).write_payload({"version": 1, "meta": {}, "data": tables})
    return directory


@pytest.fixture(scope="module")
def loaded(store_dir) -> BacktestData:
    payload = BinaryPreparedDataStore(store_dir).load(mmap=False)
    return BacktestData(data=payload["data"])


def study(data: BacktestData) -> dict:
    close = data.data["close_price"]
    daily = close.pct_change(fill_method=None)
    mom = {n: close.pct_change(n, fill_method=None) for n in (5, 20)}
    vol10 = daily.rolling(10).std()
    top = mom[20].rank(axis=1, ascending=False) <= 10
    weights = top.astype(float).div(top.sum(axis=1).replace(0, np.nan), axis=0).iloc[::5]
    return {
        "mom5": FactorJob(mom[5], START, END, group_num=5),
        "mom20": FactorJob(mom[20], START, END, group_num=10, rolling_window=3),
        "rev5": FactorJob(-mom[5], START, END, group_num=5, ascending=True),
        "vol10_csi500": FactorJob(vol10, START, END, group_num=4, universe="000905"),
        "vol10_all": FactorJob(vol10, int(START), int(END), group_num=4, benchmark="all"),
        "too_few_groups": FactorJob(mom[5], START, END, group_num=1),
        "empty_factor": FactorJob(mom[5].iloc[:0], START, END),
        "bad_universe": FactorJob(mom[5], START, END, universe="123456"),
        "top10": StrategyJob(weights, START, END),
        "top10_smooth": StrategyJob(weights, START, END, rolling_window=2, benchmark="000300"),
        "top10_fees": StrategyJob(weights, START, END, fee=0.001, rule_fee=0.002),
        "empty_strategy": StrategyJob(weights.iloc[:0], START, END),
    }


FAILING = {"too_few_groups", "empty_factor", "bad_universe", "empty_strategy"}


def assert_identical(a, b, where: str = "") -> None:
    """Equal to the bit: tables by labels, dtypes and raw bytes, floats by their bits."""
    assert type(a) is type(b), where
    if isinstance(a, pd.DataFrame | pd.Series):
        assert a.index.equals(b.index) and list(a.index) == list(b.index), where
        if isinstance(a, pd.DataFrame):
            assert list(a.columns) == list(b.columns), where
            for column in a.columns:
                assert_identical(a[column], b[column], f"{where}[{column!r}]")
            return
        assert a.dtype == b.dtype, where
        if isinstance(a.dtype, np.dtype) and a.dtype.kind in "biufcmM":
            assert a.to_numpy().tobytes() == b.to_numpy().tobytes(), where
        else:
            for x, y in zip(a.tolist(), b.tolist(), strict=True):
                assert_identical(x, y, where)
    elif isinstance(a, dict):
        assert list(a) == list(b), where
        for key in a:
            assert_identical(a[key], b[key], f"{where}.{key}")
    elif isinstance(a, float):
        assert struct.pack("<d", a) == struct.pack("<d", b), where
    elif isinstance(a, JobFailure):
        assert (type(a.error), a.error.args) == (type(b.error), b.error.args), where
    elif dataclasses.is_dataclass(a):
        for f in dataclasses.fields(a):
            assert_identical(getattr(a, f.name), getattr(b, f.name), f"{where}.{f.name}")
    else:
        assert a == b, where


@pytest.fixture(scope="module")
def cluster_client():
    distributed = pytest.importorskip("distributed")
    cluster = distributed.LocalCluster(
        n_workers=2,
        threads_per_worker=1,
        processes=True,
        host="127.0.0.1",
        dashboard_address="127.0.0.1:0",
    )
    client = distributed.Client(cluster)
    yield client
    client.close()
    cluster.close()


def test_same_results_serially_on_threads_and_on_a_cluster(
    loaded, store_dir, cluster_client, monkeypatch
):
    service = BacktestService(None)
    jobs = study(loaded)
    serial = service.backtest_many(jobs, loaded, executor="serial", progress=False)
    runs = {
        "threads": service.backtest_many(jobs, loaded, max_workers=2, progress=False),
        "threads, mapped": service.backtest_many(jobs, MappedData(str(store_dir)), progress=False),
        # These small tables travel inside their tasks ...
        "cluster, broadcast": service.backtest_many(jobs, loaded, executor=cluster_client),
    }
    # ... unless every table is worth spooling to a file the local workers map.
    spooled = spooled_files(monkeypatch)
    runs["cluster, mapped, spooled"] = service.backtest_many(
        jobs, MappedData(str(store_dir)), executor=cluster_client
    )
    assert spooled and not any(os.path.exists(path) for path in spooled), "spool left behind"
    assert set(serial.failed) == FAILING
    assert list(serial.results) == list(serial.summary.index) == list(jobs)
    version = MappedData(str(store_dir)).version()
    for how, run in runs.items():
        assert list(run.results) == list(jobs), how
        assert_identical(serial.results, run.results, how)
        summary = run.summary.copy()
        if "mapped" in how:
            assert run.store_version == version, how
            assert (summary.pop("store_version") == version).all(), how
        else:
            assert run.store_version is None and "store_version" not in summary, how
        pd.testing.assert_frame_equal(serial.summary, summary, check_exact=True, obj=how)


def test_a_failed_job_carries_the_requests_error_and_spares_the_others(loaded):
    service = BacktestService(None)
    jobs = study(loaded)
    batch = service.backtest_many(jobs, loaded, max_workers=2, progress=False)
    for name, job in jobs.items():
        request = service.backtest if isinstance(job, FactorJob) else service.backtest_strategy
        call = (job.table, loaded, job.start_date, job.end_date, None, name)
        keywords = {"plot": None, **job.keywords}
        outcome = batch.results[name]
        row = batch.summary.loc[name]
        if name in FAILING:
            with pytest.raises(Exception) as raised:
                request(*call, **keywords)
            assert isinstance(outcome, JobFailure)
            assert (type(outcome.error), outcome.error.args) == (
                type(raised.value),
                raised.value.args,
            )
            assert row["status"] == "failed" and type(raised.value).__name__ in row["error"]
        else:
            assert_identical(outcome, request(*call, **keywords), name)
            assert row["status"] == "ok" and row["error"] == ""
    factor_rows = batch.summary[
        (batch.summary["kind"] == "factor") & (batch.summary["status"] == "ok")
    ]
    assert factor_rows["ic_ir"].notna().all()
    analysis_columns = {"rank_ic_t_stat": 1, "long_short_sharpe": 1, "coverage_pct": 100}
    for name, row in factor_rows.iterrows():
        figures = batch.results[name].analysis.summary
        for column, scale in analysis_columns.items():
            assert row[column] == figures[column.removesuffix("_pct")] * scale


def test_unknown_job_keywords_are_refused_when_the_job_is_made(loaded):
    table = loaded.data["close_price"]
    for make, keyword in [
        (FactorJob, "group_number"),
        (StrategyJob, "exeutor"),
        (FactorJob, "data"),
    ]:
        with pytest.raises(TypeError, match=keyword) as raised:
            make(table, START, END, **{keyword: 10})
        assert "\n" not in str(raised.value) and len(str(raised.value)) < 120


def test_jobs_with_nothing_to_compute_are_empty_with_a_warning(loaded, caplog):
    close = loaded.data["close_price"]
    jobs = {
        "nan_factor": FactorJob(close * np.nan, START, END, group_num=5),
        "late_weights": StrategyJob((close > 0).astype(float).iloc[-10:] / 60, START, END),
        "mom5": study(loaded)["mom5"],
    }
    summary = BacktestService(None).backtest_many(jobs, loaded, progress=False).summary
    assert summary["status"].tolist() == ["empty", "empty", "ok"]
    assert summary["warning"].str.startswith("nothing to compute").tolist() == [True, True, False]
    assert "nan_factor, late_weights" in caplog.text


def test_summary_columns_have_one_unit_named_in_the_column(loaded):
    close = loaded.data["close_price"]
    ranked = close.notna() & loaded.data["close_price_valid"].notna()
    weights = ranked.astype(float).div(ranked.sum(axis=1), axis=0)
    jobs = {
        "factor": FactorJob(close.pct_change(5, fill_method=None), START, END, group_num=5),
        "strategy": StrategyJob(weights, START, END),
    }
    batch = BacktestService(None).backtest_many(jobs, loaded, progress=False)
    summary = batch.summary
    # One benchmark over the same trading days: the same annual return in both kinds of row.
    factor_days = batch.results["factor"].group_daily_return.index
    assert factor_days.equals(batch.results["strategy"].daily_return.index)
    # The factor row against the benchmark's own series: its mean daily return a year, in percent.
    benchmark = loaded.data["benchmark_dict"]["000852"].reindex(factor_days)
    both = summary["benchmark_annual_return_pct"]
    assert both["factor"] == pytest.approx(benchmark.mean() * 252 * 100, rel=1e-9)
    # The strategy statistics annualise the benchmark's net value instead: near, never 100x apart.
    assert 0.5 < both["factor"] / both["strategy"] < 2
    stats = batch.results["strategy"].stats
    assert summary.loc["strategy", "max_dd_pct"] == 100 * stats["max_dd"]
    assert summary.loc["strategy", "annual_return_pct"] == stats["annual_return"]
    assert not [c for c in summary.columns if c.endswith(("_return", "_dd", "_rate", "coverage"))]


def test_a_failed_jobs_error_is_one_line_and_the_traceback_stays_on_the_failure(loaded):
    class Failing(BacktestService):
        def backtest(self, *args, **keywords):
            raise ValueError("first line\nthe whole table\n" + "x" * 2000)

    jobs = {"f": FactorJob(loaded.data["close_price"], START, END)}
    batch = Failing(None).backtest_many(jobs, loaded, executor="serial", progress=False)
    assert batch.summary.loc["f", "error"] == "ValueError: first line ..."
    assert "raise ValueError" in batch.failed["f"].traceback


def test_a_stopped_batch_waits_for_running_jobs_and_leaves_whole_charts(loaded, tmp_path):
    interrupted = threading.Event()
    main = threading.main_thread().ident

    class Tripwire(pd.DataFrame):
        """A factor table that stops the caller when its job starts, then keeps working."""

        armed = False

        def __len__(self) -> int:
            if Tripwire.armed:
                Tripwire.armed = False
                signal.pthread_kill(main, signal.SIGINT)
                assert interrupted.wait(60), "the caller did not see the interrupt"
            return super().__len__()

    def on_interrupt(signum, frame):
        interrupted.set()
        raise KeyboardInterrupt

    momentum = loaded.data["close_price"].pct_change(5, fill_method=None)
    chart = {"plot": "long", "output_dir": str(tmp_path)}
    jobs = {"first": FactorJob(Tripwire(momentum), START, END, group_num=5, **chart)}
    jobs |= {f"f{i}": FactorJob(momentum, START, END, group_num=3 + i, **chart) for i in range(11)}

    previous = signal.signal(signal.SIGINT, on_interrupt)
    Tripwire.armed = True
    try:
        with pytest.raises(KeyboardInterrupt):
            BacktestService(None).backtest_many(jobs, loaded, max_workers=1, progress=False)
    finally:
        signal.signal(signal.SIGINT, previous)

    assert not [t for t in threading.enumerate() if t.name.startswith("lumora-batch")]
    charts = sorted(p.name for p in tmp_path.iterdir())
    assert "first.png" in charts, "the running job was abandoned"
    assert len(charts) < len(jobs), "jobs kept starting after the interrupt"
    for name in charts:
        assert name.removesuffix(".png") in jobs
        picture = image.imread(tmp_path / name)
        assert picture.ndim == 3 and picture.shape[0] > 100


def test_mapped_data_is_reopened_after_the_store_is_replaced_but_a_pinned_version_is_kept(
    tmp_path, monkeypatch
):
    directory = tmp_path / "enviroment_data"
    first, second = (generate_market(20, 40, seed=s).dataset_tables() for s in (1, 2))
    store = BinaryPreparedDataStore(directory)
    mapped = MappedData(str(directory))
    store.write_payload({"version": 1, "meta": {}, "data": first})
    old = mapped.version()
    before = mapped.load().data["close_price"]
    assert mapped.load().data["close_price"] is before
    store.write_payload({"version": 1, "meta": {}, "data": second})
    new = mapped.version()
    after = mapped.load().data["close_price"]
    expected = second["close_price"].to_numpy(float)
    np.testing.assert_allclose(after.to_numpy(float), expected, rtol=1e-6)
    assert not np.allclose(before.to_numpy(float), expected, equal_nan=True)
    # A batch pinned to the old version keeps it where it is mapped ...
    assert old != new and mapped.load(old).data["close_price"] is before
    # ... and where it must be opened again, it fails in one line naming both versions.
    monkeypatch.setattr(batch.mapped, "_mapped", {})
    with pytest.raises(StoreVersionGone) as raised:
        mapped.load(old)
    message = str(raised.value)
    assert old in message and new in message and "\n" not in message


def test_mapped_data_finds_the_default_store_without_any_init(
    loaded, store_dir, tmp_path, monkeypatch
):
    # A batch on MappedData() used to ask for lumora.init first, though it needs no data client.
    directory = use_data_dir(monkeypatch, tmp_path)
    shutil.copytree(store_dir, directory)
    monkeypatch.setattr(_session, "_service", None)
    jobs = {name: job for name, job in study(loaded).items() if name in {"mom20", "top10"}}
    ran = lumora.backtest_many(jobs, lumora.MappedData(), executor="serial", progress=False)
    expected = BacktestService(None).backtest_many(jobs, loaded, executor="serial", progress=False)
    assert ran.store_version == MappedData(str(store_dir)).version() and not ran.failed
    assert_identical(expected.results, ran.results)


def test_a_stopped_cluster_batch_leaves_no_job_running(loaded, cluster_client, tmp_path):
    caller, sent, release = os.getpid(), str(tmp_path / "sent"), str(tmp_path / "release")

    def install() -> None:
        # On each worker: the job of the factor named "tripwire" stops the caller, then
        # keeps working until the caller has seen the interrupt.
        import os
        import signal
        import time

        from lumora.backtest import _core

        original = _core.run_alpha_vwap_backtest_core

        def tripped(**keywords):
            if keywords["factor_name"] == "tripwire" and not os.path.exists(sent):
                open(sent, "w").close()
                os.kill(caller, signal.SIGINT)
                deadline = time.monotonic() + 60
                while not os.path.exists(release) and time.monotonic() < deadline:
                    time.sleep(0.01)
            return original(**keywords)

        tripped.original = original
        _core.run_alpha_vwap_backtest_core = tripped

    def uninstall() -> None:
        from lumora.backtest import _core

        _core.run_alpha_vwap_backtest_core = _core.run_alpha_vwap_backtest_core.original

    def on_interrupt(signum, frame):
        open(release, "w").close()
        raise KeyboardInterrupt

    momentum = loaded.data["close_price"].pct_change(5, fill_method=None)
    charts = tmp_path / "charts"
    charts.mkdir()
    chart = {"plot": "long", "output_dir": str(charts)}
    jobs = {"first": FactorJob(momentum.rename_axis(columns="tripwire"), START, END, **chart)}
    jobs |= {f"f{i}": FactorJob(momentum, START, END, group_num=3 + i, **chart) for i in range(11)}

    cluster_client.run(install)
    previous = signal.signal(signal.SIGINT, on_interrupt)
    try:
        with pytest.raises(KeyboardInterrupt):
            BacktestService(None).backtest_many(jobs, loaded, executor=cluster_client)
    finally:
        signal.signal(signal.SIGINT, previous)
        cluster_client.run(uninstall)

    assert not any(cluster_client.processing().values()), "a job is still running"
    drawn = sorted(p.name for p in charts.iterdir())
    assert "first.png" in drawn, "the running job was abandoned"
    assert len(drawn) < len(jobs), "jobs kept starting after the interrupt"
    for name in drawn:
        assert image.imread(charts / name).shape[0] > 100


def prepare_hook(directory: str, seed: int, marker: str, reopen: bool) -> tuple[Callable, Callable]:
    """Functions to install and remove, on each worker, a hook by which the job whose
    factor columns are named "prepare" first commits the market of ``seed`` to the store
    (as a prepare in another process would); with ``reopen`` every worker then drops the
    stores it holds at its next open, as a worker started after the prepare would."""

    def install() -> None:
        import os

        from lumora.backtest import batch
        from lumora.backtest._prepare import BinaryPreparedDataStore
        from lumora.sandbox import generate_market

        run_job, open_store = batch.cluster.run_job, batch.MappedData._open
        dropped = []

        def committing(service, name, job, data):
            columns = getattr(job.table, "columns", None)
            if columns is not None and columns.name == "prepare" and not os.path.exists(marker):
                tables = generate_market(60, 200, seed=seed).dataset_tables()
                payload = {"version": 1, "meta": {}, "data": tables}
                BinaryPreparedDataStore(directory).write_payload(payload)
                open(marker, "w").close()
            return run_job(service, name, job, data)

        def reopening(self, pinned):
            if reopen and not dropped and os.path.exists(marker):
                dropped.append(True)
                batch.mapped._mapped.clear()
            return open_store(self, pinned)

        committing.restore = (run_job, open_store)
        batch.cluster.run_job, batch.MappedData._open = committing, reopening

    def uninstall() -> None:
        from lumora.backtest import batch

        batch.cluster.run_job, batch.MappedData._open = batch.cluster.run_job.restore

    return install, uninstall


def test_a_prepare_during_a_cluster_batch_never_gives_a_job_the_new_data(cluster_client, tmp_path):
    directory = tmp_path / "enviroment_data"
    store, mapped, service = (
        BinaryPreparedDataStore(directory),
        MappedData(str(directory)),
        BacktestService(None),
    )
    store.write_payload(
        {"version": 1, "meta": {}, "data": generate_market(60, 200, seed=13).dataset_tables()}
    )
    first = BacktestData(data=store.load(mmap=False)["data"])
    momentum = first.data["close_price"].pct_change(5, fill_method=None)
    jobs = {"prepare": FactorJob(momentum.rename_axis(columns="prepare"), START, END)}
    jobs |= {f"f{i}": FactorJob(momentum, START, END, group_num=3 + i % 4) for i in range(11)}

    def run(seed: int, marker: str, reopen: bool) -> tuple:
        pinned = mapped.version()
        expected = service.backtest_many(
            jobs,
            BacktestData(data=store.load(mmap=False)["data"]),
            executor="serial",
            progress=False,
        )
        install, uninstall = prepare_hook(str(directory), seed, marker, reopen)
        cluster_client.run(install)
        try:
            ran = service.backtest_many(jobs, mapped, executor=cluster_client, progress=False)
        finally:
            cluster_client.run(uninstall)
        assert os.path.exists(marker) and ran.store_version == pinned
        assert mapped.version() != pinned  # the prepare did commit during the batch
        for name, outcome in ran.results.items():
            if isinstance(outcome, JobFailure):
                assert isinstance(outcome.error, StoreVersionGone), name
                assert ran.summary.loc[name, "store_version"] == ""
            else:
                assert_identical(expected.results[name], outcome, name)
                assert ran.summary.loc[name, "store_version"] == pinned
        return pinned, ran

    # Workers that hold the store keep the version the batch started with to its end.
    cluster_client.run(lambda: MappedData(str(directory)).load() and None)
    _, kept = run(14, str(tmp_path / "first"), reopen=False)
    assert not kept.failed

    # Workers that must open it again fail, as does every job not yet started, naming
    # the version the batch started with and the one that replaced it.
    pinned, reopened = run(15, str(tmp_path / "second"), reopen=True)
    assert reopened.failed
    current = mapped.version()
    for failure in reopened.failed.values():
        message = str(failure.error)
        assert pinned in message and current in message and "\n" not in message


def spooled_files(monkeypatch) -> list[str]:
    """Spool every float table and record the path of each spool file written."""
    monkeypatch.setattr(batch.cluster, "_SPOOL_MIN_CELLS", 0)
    written: list[str] = []
    spool = batch.cluster._SpooledTable.__init__

    def recorded(self, table, path):
        written.append(str(path))
        spool(self, table, path)

    monkeypatch.setattr(batch.cluster._SpooledTable, "__init__", recorded)
    return written


def test_jobs_sharing_a_table_share_one_spool_file(loaded, store_dir, cluster_client, monkeypatch):
    written = spooled_files(monkeypatch)
    close = loaded.data["close_price"]
    shared, other = close.pct_change(5, fill_method=None), close.pct_change(20, fill_method=None)
    jobs = {f"shared{i}": FactorJob(shared, START, END, group_num=3 + i) for i in range(10)}
    jobs["other"] = FactorJob(other, START, END)
    service = BacktestService(None)
    ran = service.backtest_many(jobs, MappedData(str(store_dir)), executor=cluster_client)
    assert len(written) == len(set(written)) == 2
    assert not any(os.path.exists(path) for path in written), "spool left behind"
    expected = service.backtest_many(jobs, loaded, executor="serial", progress=False)
    assert_identical(expected.results, ran.results)


def test_a_killed_callers_spool_folder_is_removed_by_the_next_batch(
    loaded, store_dir, cluster_client, monkeypatch
):
    spooled_files(monkeypatch)
    caller = """
import contextlib, sys
import numpy as np, pandas as pd
from lumora.backtest import batch
job = batch.FactorJob(pd.DataFrame(np.ones((300, 300))), 20150401, 20150930)
with contextlib.ExitStack() as stack:
    spool = batch.cluster._Spool({"job": job}, stack)
    spool.job(job)
    print(spool._folder, flush=True)
    sys.stdin.read()
"""
    source = str(Path(batch.__file__).parents[3])
    environment = {**os.environ, "PYTHONPATH": source}
    with subprocess.Popen(
        [sys.executable, "-c", caller],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        text=True,
        env=environment,
    ) as killed:
        left = Path(killed.stdout.readline().strip())
        killed.kill()
    assert killed.wait() == -signal.SIGKILL and any(left.iterdir())

    momentum = loaded.data["close_price"].pct_change(5, fill_method=None)
    jobs = {"mom5": FactorJob(momentum, START, END)}
    with claimed_folder(Path(tempfile.gettempdir()), batch.cluster._SPOOL_PREFIX) as running:
        BacktestService(None).backtest_many(
            jobs, MappedData(str(store_dir)), executor=cluster_client
        )
        assert not left.exists()
        assert running.exists(), "the folder of a batch still running was removed"
