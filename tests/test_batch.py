"""backtest_many: the same jobs give bit-identical results serially, on threads and on a
two-process LocalCluster (data broadcast or memory-mapped); failed jobs carry the request's
own error; a stopped batch leaves no worker running and no partial chart."""

from __future__ import annotations

import dataclasses
import os
import signal
import struct
import threading

import numpy as np
import pandas as pd
import pytest
from matplotlib import image

from lumora.backtest import BacktestData, BacktestService, batch
from lumora.backtest._prepare import BinaryPreparedDataStore
from lumora.backtest.batch import FactorJob, JobFailure, MappedData, StrategyJob
from lumora.sandbox import generate_market

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
    monkeypatch.setattr(batch, "_SPOOL_MIN_CELLS", 0)
    spooled: list[str] = []
    spool = batch._SpooledTable.__init__

    def recorded(self, table, path):
        spooled.append(str(path))
        spool(self, table, path)

    monkeypatch.setattr(batch._SpooledTable, "__init__", recorded)
    runs["cluster, mapped, spooled"] = service.backtest_many(
        jobs, MappedData(str(store_dir)), executor=cluster_client
    )
    assert spooled and not any(os.path.exists(path) for path in spooled), "spool left behind"
    assert set(serial.failed) == FAILING
    assert list(serial.results) == list(serial.summary.index) == list(jobs)
    for how, run in runs.items():
        assert list(run.results) == list(jobs), how
        assert_identical(serial.results, run.results, how)
        pd.testing.assert_frame_equal(serial.summary, run.summary, check_exact=True, obj=how)


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
    jobs = {"first": FactorJob(Tripwire(momentum), START, END, group_num=5)}
    jobs |= {f"f{i}": FactorJob(momentum, START, END, group_num=3 + i) for i in range(11)}
    for job in jobs.values():
        job.keywords.update(plot="long", output_dir=str(tmp_path))

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


def test_mapped_data_is_reopened_after_the_store_is_replaced(tmp_path):
    directory = tmp_path / "enviroment_data"
    first, second = (generate_market(20, 40, seed=s).dataset_tables() for s in (1, 2))
    store = BinaryPreparedDataStore(directory)
    store.write_payload({"version": 1, "meta": {}, "data": first})
    before = MappedData(str(directory)).load().data["close_price"]
    assert MappedData(str(directory)).load().data["close_price"] is before
    store.write_payload({"version": 1, "meta": {}, "data": second})
    after = MappedData(str(directory)).load().data["close_price"]
    expected = second["close_price"].to_numpy(float)
    np.testing.assert_allclose(after.to_numpy(float), expected, rtol=1e-6)
    assert not np.allclose(before.to_numpy(float), expected, equal_nan=True)


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
