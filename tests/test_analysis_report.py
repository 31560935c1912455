"""The analysis pages and the HTML reports of a factor result, a strategy result and a batch."""

from __future__ import annotations

import functools
from typing import Any

import matplotlib.image
import numpy as np
import pandas as pd
import pytest

from lumora.backtest import BacktestData, BacktestService
from lumora.sandbox import generate_market


@functools.cache
def loaded() -> BacktestData:
    return BacktestData(data=generate_market(60, 180, seed=4).dataset_tables())


@functools.cache
def results() -> tuple[Any, Any]:
    data = loaded()
    close = data.data["close_price"]
    dates = close.index
    service = BacktestService(None)
    factor = close.pct_change(10, fill_method=None)
    factor_result = service.backtest(factor, data, dates[0], dates[-1], "", "mom10", plot=None, group_num=5)
    picks = factor.rank(axis=1, ascending=False).le(8)
    weights = picks.astype(float).div(8).where(picks)
    strategy_result = service.backtest_strategy(
        weights, data, dates[0], dates[-1], "", "top8", plot=None, record_positions=True
    )
    return factor_result, strategy_result


def test_analysis_pages_are_whole_pngs_of_the_wide_page(tmp_path) -> None:
    factor_result, strategy_result = results()
    for result, name in ((factor_result, "factor.png"), (strategy_result, "strategy.png")):
        path = result.plot_analysis(tmp_path / name)
        assert path == str(tmp_path / name)
        image = matplotlib.image.imread(path)
        height, width = image.shape[:2]
        assert width / height == pytest.approx(21.5 / 12.6, rel=0.01)
        # Not a blank page: the panels put ink on a good share of it.
        assert (image[..., :3] < 0.9).mean() > 0.02
    assert sorted(p.name for p in tmp_path.iterdir()) == ["factor.png", "strategy.png"]
    with pytest.raises(TypeError, match="save_path"):
        factor_result.plot_analysis(3)
    empty = type(strategy_result)(
        strategy_name="x",
        daily_return=pd.Series(dtype=float),
        cumulative_return=pd.Series(dtype=float),
        stats={},
        benchmark_summary=pd.DataFrame(),
        plot_paths={},
    )
    with pytest.raises(ValueError, match="no strategy analysis"):
        empty.plot_analysis(tmp_path / "none.png")
    assert np.isfinite(strategy_result.analysis.summary["sortino"])
