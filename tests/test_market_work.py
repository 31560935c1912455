"""The market's share of the factor analysis, kept with a loaded market: a later request
reads it and gets what the first got, bit for bit; a table changed in place after loading
is never read stale; it does not travel with a pickled market, and threads sharing one
market get what a single thread gets."""

from __future__ import annotations

import dataclasses
import pickle
from concurrent.futures import ThreadPoolExecutor
from typing import Any

import numpy as np
import pandas as pd

from lumora.backtest import BacktestData, BacktestResult, BacktestService
from lumora.sandbox import generate_market


def loaded(seed: int = 4) -> BacktestData:
    return BacktestData(data=generate_market(60, 180, seed=seed).dataset_tables())


def reversal(data: BacktestData) -> pd.DataFrame:
    close = data.data["close_price"]
    return -(close / close.shift(5) - 1.0)


def request(data: BacktestData, factor: pd.DataFrame, **options: Any) -> BacktestResult:
    dates = data.data["close_price"].index
    return BacktestService(None).backtest(
        factor, data, dates[10], dates[-10], "", "f", plot=None, group_num=5, **options
    )


def assert_same(a: Any, b: Any, where: str = "result") -> None:
    """Equal to the last bit (NaN where NaN), field by field."""
    if isinstance(a, pd.DataFrame | pd.Series):
        pd.testing.assert_index_equal(a.index, b.index)
        if isinstance(a, pd.DataFrame):
            pd.testing.assert_index_equal(a.columns, b.columns)
        left, right = a.to_numpy(), b.to_numpy()
        assert left.dtype == right.dtype, where
        if left.dtype.kind == "f":
            assert left.tobytes() == right.tobytes(), where
        else:
            assert (left == right).all(), where
    elif dataclasses.is_dataclass(a):
        for field in dataclasses.fields(a):
            assert_same(getattr(a, field.name), getattr(b, field.name), f"{where}.{field.name}")
    elif isinstance(a, dict):
        assert list(a) == list(b), where
        for key in a:
            assert_same(a[key], b[key], f"{where}[{key!r}]")
    elif isinstance(a, float):
        assert np.float64(a).tobytes() == np.float64(b).tobytes(), where
    else:
        assert a == b, where


def test_a_later_request_reads_the_kept_work_and_gets_the_same_result() -> None:
    data = loaded()
    factor = reversal(data)
    assert data.market_work is None
    first = request(data, factor)
    kept = data.market_work
    assert kept is not None and kept.shape == data.data["open_price"].shape
    assert kept.ranked_horizons == [5, 10, 20]  # horizon 1: the market's own rank table
    assert_same(first, request(data, factor))
    # Another window reads the same work; a fresh market computes the same figures.
    dates = data.data["close_price"].index
    window = {"start_date": dates[40], "end_date": dates[-30]}
    later = BacktestService(None).backtest(
        factor, data, **window, output_dir="", plot_filename="f", plot=None
    )
    fresh = BacktestService(None).backtest(
        factor,
        BacktestData(data=dict(data.data)),
        **window,
        output_dir="",
        plot_filename="f",
        plot=None,
    )
    assert_same(later, fresh)


def test_a_table_changed_in_place_is_never_read_stale() -> None:
    data = loaded()
    factor = reversal(data)
    before = request(data, factor)
    # An open price and a dividend, changed in place after the first request.
    opens = data.data["open_price"]
    stock = opens.columns[opens.iloc[90].notna().argmax()]
    data.data["open_price"].loc[opens.index[90], stock] *= 1.5
    data.data["rq_get_dividend"].loc[opens.index[60], stock] = 0.8
    after = request(data, factor)
    assert_same(after, request(BacktestData(data=dict(data.data)), factor))
    # The changed opens moved the longer horizons' figures (a stale work would not have).
    assert not after.analysis.ic[5].equals(before.analysis.ic[5])
    assert not after.analysis.mean_return_by_group_bps.equals(
        before.analysis.mean_return_by_group_bps
    )


def test_the_work_stays_home_and_threads_share_it() -> None:
    data = loaded(seed=9)
    factor = reversal(data)
    alone = request(data, factor)
    shipped = pickle.loads(pickle.dumps(data))
    assert shipped.market_work is None  # each process builds its own
    assert_same(alone, request(shipped, factor))
    # Several threads on a market none of them has worked on yet: one builds, the others
    # wait for it or read it; every result is the single thread's.
    shared = BacktestData(data=dict(data.data))
    with ThreadPoolExecutor(4) as pool:
        results = list(pool.map(lambda _: request(shared, factor), range(6)))
    for result in results:
        assert_same(alone, result)
    restored = pickle.loads(pickle.dumps(alone))  # a result does not carry its tables either
    assert "_source" not in vars(restored)
    assert_same(alone.factor_data(), restored.factor_data(factor=factor, data=data))
