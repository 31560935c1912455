"""BacktestService.backtest_strategy: request checks, what reaches the runner, and real runs
(in this process and, with pickled data, in another one)."""

from __future__ import annotations

import os
import pickle
import subprocess
import sys
from pathlib import Path
from types import SimpleNamespace

import numpy as np
import pandas as pd
import pytest

from engine_keys import COST_DEFAULTS, MARKET_KEYS, recorded_calls
from lumora.backtest import BacktestData, BacktestService, StrategyBacktestResult, _weightbook
from lumora.sandbox import generate_market

SRC = Path(__file__).resolve().parents[1] / "src"


@pytest.fixture(scope="module")
def loaded() -> BacktestData:
    return BacktestData(data=generate_market(50, 160, seed=4).dataset_tables())


def equal_weights(data: BacktestData) -> pd.DataFrame:
    listed = data.data["close_price"].notna()
    weights = listed.astype(float).div(listed.sum(axis=1), axis=0)
    return weights.iloc[::5]  # rebalance weekly


def runner_reply(kwargs: dict) -> SimpleNamespace:
    return SimpleNamespace(
        daily_return="d",
        cumulative_return="c",
        stats={"annual_return": 1.0},
        benchmark_summary="b",
        plot_paths={},
    )


@pytest.fixture
def recorder(monkeypatch):
    return recorded_calls(monkeypatch, _weightbook, "run_strategy_backtest_core", runner_reply)


# --------------------------------------------------------------------------- request


def test_runner_receives_cut_inputs_in_order(loaded, recorder, tmp_path):
    weights = equal_weights(loaded)
    dates = loaded.data["close_price"].index
    start, end = dates[20], dates[80]
    result = BacktestService(None).backtest_strategy(
        weights,
        loaded,
        int(start),
        end,
        tmp_path,
        "alpha",
        benchmark=["000300", "all"],
        rolling_window=2.7,
        total_money=5e6,
        fee=0,
        rule_fee="0.001",
    )
    (kwargs,) = recorder
    assert list(kwargs) == [
        "strategy_matrix",
        *MARKET_KEYS,
        "benchmark_dict",
        "benchmark_names",
        "rolling_window",
        *COST_DEFAULTS,
        "plot_image_kind",
        "plot_save_path",
        "strategy_name",
        "plot_title",
    ]
    in_window = (weights.index >= start) & (weights.index <= end)
    pd.testing.assert_frame_equal(kwargs["strategy_matrix"], weights.loc[in_window])
    for keyword, dataset in MARKET_KEYS.items():
        table = loaded.data[dataset]
        pd.testing.assert_frame_equal(
            kwargs[keyword], table.loc[(table.index >= start) & (table.index <= end)]
        )
    for series in kwargs["benchmark_dict"].values():
        assert series.index[0] == start and series.index[-1] == end
    assert kwargs["benchmark_names"] == ["000300", "all"]
    assert kwargs["rolling_window"] == 2 and type(kwargs["rolling_window"]) is int
    assert (kwargs["total_money"], kwargs["fee"], kwargs["rule_fee"]) == (5e6, 0.0, 0.001)
    assert type(kwargs["fee"]) is float
    assert kwargs["plot_image_kind"] == "large"
    assert kwargs["plot_save_path"] == str(tmp_path / "alpha.png")
    assert kwargs["strategy_name"] == kwargs["plot_title"] == "alpha"
    assert isinstance(result, StrategyBacktestResult)
    assert (result.strategy_name, result.daily_return, result.benchmark_summary) == (
        "alpha",
        "d",
        "b",
    )


def test_no_chart_needs_no_directory_and_window_outside_rows(loaded, recorder):
    weights = equal_weights(loaded).iloc[:3]
    BacktestService(None).backtest_strategy(
        weights, loaded, "20991201", "20991231", None, "", plot=None
    )
    (kwargs,) = recorder
    assert kwargs["plot_save_path"] is None and kwargs["plot_image_kind"] is None
    assert len(kwargs["strategy_matrix"]) == 0  # emptiness is checked before the cut
    assert len(kwargs["close_price"]) == 0


def test_user_table_is_cleaned_and_left_alone(loaded, recorder):
    weights = equal_weights(loaded).iloc[:10]
    messy = weights.set_axis(pd.to_datetime(weights.index)).set_axis(
        [int(c) for c in weights.columns], axis=1
    )
    original = messy.copy()
    BacktestService(None).backtest_strategy(messy, loaded, 20150101, 20151231, None, "x", plot=None)
    pd.testing.assert_frame_equal(recorder[0]["strategy_matrix"], weights)
    pd.testing.assert_frame_equal(messy, original)


class MyStr(str):
    pass


@pytest.mark.parametrize(
    ("strategy", "args", "kwargs", "error", "message"),
    [
        (None, ("20150101", "20150601", "out", "f"), {}, ValueError, "^策略权重矩阵为空$"),
        ("empty", ("20150101", "20150601", "out", "f"), {}, ValueError, "^策略权重矩阵为空$"),
        (
            "w",
            ("20150101", "20150601", "", ""),
            {},
            ValueError,
            "^plot 非 None 时,output_dir 必须提供$",
        ),
        (
            "w",
            ("20150101", "20150601", None, "f"),
            {"plot": "long"},
            ValueError,
            "output_dir 必须提供",
        ),
        (
            "w",
            ("20150101", "20150601", "out", ""),
            {},
            ValueError,
            "^plot 非 None 时,plot_filename 必须提供$",
        ),
        ("w", ("20150101", "20150601", "out", None), {}, TypeError, "plot_filename"),
        ("w", ("20150101", "20150601", "out", MyStr("f")), {}, TypeError, "plot_filename"),
        ("w", ("20150101", "20150601", "out", "f"), {"plot": 5}, TypeError, "plot"),
        (
            "w",
            ("20150101", "20150601", "out", "f"),
            {"rolling_window": "3"},
            TypeError,
            "rolling_window",
        ),
        ("w", (None, "20150601", None, "f"), {"plot": None}, TypeError, "start_date"),
        ("w", ("20150101", None, None, "f"), {"plot": None}, TypeError, "end_date"),
        ("w", ("20150231", "20150601", None, "f"), {"plot": None}, ValueError, "20150231"),
    ],
)
def test_request_errors(loaded, recorder, strategy, args, kwargs, error, message):
    weights = equal_weights(loaded)
    table = {"w": weights, "empty": weights.iloc[:0], None: None}[strategy]
    with pytest.raises(error, match=message):
        BacktestService(None).backtest_strategy(table, loaded, *args, **kwargs)
    assert recorder == []


def test_missing_dataset_is_a_key_error(loaded, recorder):
    data = BacktestData(data={k: v for k, v in loaded.data.items() if k != "rq_get_dividend"})
    with pytest.raises(KeyError, match="rq_get_dividend"):
        BacktestService(None).backtest_strategy(
            equal_weights(loaded), data, "20150101", "20150601", None, "f", plot=None
        )


# --------------------------------------------------------------------------- real runs


def direct_run(loaded: BacktestData, weights: pd.DataFrame, start: str, end: str):
    cut = {
        k: (v.loc[(v.index >= start) & (v.index <= end)] if isinstance(v, pd.DataFrame) else v)
        for k, v in loaded.data.items()
    }
    bench = {
        n: s.loc[(s.index >= start) & (s.index <= end)]
        for n, s in loaded.data["benchmark_dict"].items()
    }
    return _weightbook.run_strategy_backtest_core(
        weights.loc[(weights.index >= start) & (weights.index <= end)],
        **{keyword: cut[dataset] for keyword, dataset in MARKET_KEYS.items()},
        benchmark_dict=bench,
        rolling_window=3,
        plot_image_kind=None,
        strategy_name="s",
    )


def test_same_result_as_the_runner(loaded):
    weights = equal_weights(loaded)
    start, end = "20150301", "20150730"
    result = BacktestService(None).backtest_strategy(
        weights, loaded, start, end, None, "s", rolling_window=3, plot=None
    )
    direct = direct_run(loaded, weights, start, end)
    pd.testing.assert_series_equal(result.daily_return, direct.daily_return)
    pd.testing.assert_series_equal(result.cumulative_return, direct.cumulative_return)
    assert result.stats.keys() == direct.stats.keys()
    np.testing.assert_array_equal(list(result.stats.values()), list(direct.stats.values()))
    pd.testing.assert_frame_equal(result.benchmark_summary, direct.benchmark_summary)
    assert len(result.daily_return) > 10
    assert result.daily_return.index[0] >= start and result.daily_return.index[-1] <= end
    assert "annual_return=" in repr(result) and "\n" not in repr(result)


WORKER = """
import pickle, sys
from lumora.backtest import BacktestService
with open(sys.argv[1], "rb") as fh:
    data, weights = pickle.load(fh)
result = BacktestService(None).backtest_strategy(weights, data, "20150301", "20150730", None, "s", plot=None)
with open(sys.argv[2], "wb") as fh:
    pickle.dump(result, fh)
"""


def test_pickled_data_runs_in_another_process(loaded, tmp_path):
    weights = equal_weights(loaded)
    job, out = tmp_path / "job.pkl", tmp_path / "result.pkl"
    job.write_bytes(pickle.dumps((loaded, weights)))
    env = {**os.environ, "PYTHONPATH": str(SRC), "MPLBACKEND": "Agg"}
    done = subprocess.run(
        [sys.executable, "-c", WORKER, str(job), str(out)],
        check=False,
        env=env,
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert done.returncode == 0, done.stderr
    remote = pickle.loads(out.read_bytes())
    local = BacktestService(None).backtest_strategy(
        weights, loaded, "20150301", "20150730", None, "s", plot=None
    )
    pd.testing.assert_series_equal(remote.daily_return, local.daily_return)
    np.testing.assert_array_equal(list(remote.stats.values()), list(local.stats.values()))


def test_a_month_in_cash_written_as_nan_rows_is_named_and_as_zeros_is_traded(loaded, caplog):
    """NaN rows between rebalances are left out (nothing is sold on them); the warning
    counts them, and the same month written as 0.0 sells the holdings."""
    weights = loaded.data["close_price"].notna().astype(float).iloc[:60] / 50.0
    in_cash = weights.copy()
    in_cash.iloc[20:40] = np.nan
    service = BacktestService(None)
    args = ("20150101", "20151231", None, "s")
    with caplog.at_level("WARNING", logger="lumora"):
        skipped = service.backtest_strategy(in_cash, loaded, *args, benchmark=None, plot=None)
    assert "20 weight rows between" in caplog.text and "a row of 0.0" in caplog.text
    caplog.clear()
    zeros = service.backtest_strategy(in_cash.fillna(0.0), loaded, *args, benchmark=None, plot=None)
    assert "hold no weight" not in caplog.text
    assert len(zeros.daily_return) == len(skipped.daily_return) + 20
    assert (zeros.daily_return.iloc[21:40] == 0.0).all()  # nothing held while in cash
