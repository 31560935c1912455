"""The analysis pages and the HTML reports of a factor result, a strategy result and a batch."""

from __future__ import annotations

import base64
import functools
from html.parser import HTMLParser
from pathlib import Path
from typing import Any
from urllib.parse import unquote

import matplotlib.image
import numpy as np
import pandas as pd
import pytest

import test_charts
from lumora.backtest import BacktestData, BacktestService
from lumora.backtest.batch import FactorJob, StrategyJob
from lumora.sandbox import generate_market


@functools.cache
def loaded() -> BacktestData:
    return BacktestData(data=generate_market(60, 180, seed=4).dataset_tables())


figures = test_charts.figures


@functools.cache
def results() -> tuple[Any, Any]:
    data = loaded()
    close = data.data["close_price"]
    dates = close.index
    service = BacktestService(None)
    factor = close.pct_change(10, fill_method=None)
    factor_result = service.backtest(
        factor, data, dates[0], dates[-1], "", "mom10", plot=None, group_num=5
    )
    picks = factor.rank(axis=1, ascending=False).le(8)
    weights = picks.astype(float).div(8).where(picks)
    strategy_result = service.backtest_strategy(
        weights, data, dates[0], dates[-1], "", "top8", plot=None, record_positions=True
    )
    return factor_result, strategy_result


def test_analysis_pages_are_whole_pngs_of_the_wide_page(tmp_path) -> None:
    factor_result, strategy_result = results()
    pages = ((factor_result, "factor.png", 12.6), (strategy_result, "strategy.png", 16.8))
    for result, name, height_in in pages:
        path = result.plot_analysis(tmp_path / name)
        assert path == str(tmp_path / name)
        image = matplotlib.image.imread(path)
        height, width = image.shape[:2]
        assert width / height == pytest.approx(21.5 / height_in, rel=0.01)
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


class _Collector(HTMLParser):
    """Images, links, scripts and table cells of a report."""

    def __init__(self) -> None:
        super().__init__()
        self.images: list[str] = []
        self.links: list[str] = []
        self.external: list[str] = []
        self.rows: list[list[str]] = []
        self.row_links: list[str | None] = []  # the first link of each row
        self.title = ""
        self._cell: list[str] | None = None
        self._in_title = False

    def handle_starttag(self, tag: str, attrs: list[tuple[str, str | None]]) -> None:
        attributes = dict(attrs)
        for key in ("src", "href"):
            value = attributes.get(key) or ""
            if value.startswith(("http:", "https:", "//")):
                self.external.append(value)
        if tag == "img":
            self.images.append(attributes["src"] or "")
        if tag == "a":
            self.links.append(attributes["href"] or "")
            if self.row_links and self.row_links[-1] is None:
                self.row_links[-1] = attributes["href"] or ""
        if tag == "tr":
            self.rows.append([])
            self.row_links.append(None)
        self._in_title = tag == "title"
        if tag in ("td", "th"):
            self._cell = []

    def handle_endtag(self, tag: str) -> None:
        self._in_title = False
        if tag in ("td", "th") and self._cell is not None:
            self.rows[-1].append("".join(self._cell).strip())
            self._cell = None

    def handle_data(self, data: str) -> None:
        if self._in_title:
            self.title += data
        if self._cell is not None:
            self._cell.append(data)


def parsed(path: str) -> _Collector:
    collector = _Collector()
    collector.feed(Path(path).read_text(encoding="utf-8"))
    return collector


def test_factor_page_numbers_each_group_bar_with_its_whole_group_number(
    tmp_path: Path, figures: list[Any]
) -> None:
    # Twenty groups once had ticks at 2.5, 5.0, ... under the group bars.
    data = loaded()
    close = data.data["close_price"]
    result = BacktestService(None).backtest(
        close.pct_change(5, fill_method=None), data, close.index[0], close.index[-1], "",
        "mom5", plot=None, group_num=20,
    )  # fmt: skip
    result.plot_analysis(tmp_path / "factor.png")
    (fig,) = figures
    panels = {ax.get_title().split(" (")[0]: ax for ax in fig.axes if ax.get_title()}
    figures_by_group = result.analysis.group_performance.iloc[:20]
    for title, column in (
        ("Annualised Return by Group", "annual_return"),
        ("Mean Daily Turnover by Group", "turnover_daily"),
    ):
        ax = panels[title]
        assert [t.get_text() for t in ax.get_xticklabels()] == [str(g) for g in range(1, 21)]
        np.testing.assert_allclose([b.get_height() for b in ax.patches], figures_by_group[column])


def test_result_reports_are_self_contained_with_pages_tables_and_parameters(tmp_path) -> None:
    factor_result, strategy_result = results()
    for result, name in ((factor_result, "factor"), (strategy_result, "strategy")):
        report = parsed(result.to_html(tmp_path / "deep" / f"{name}.html"))
        assert report.external == []
        assert report.images, name
        for src in report.images:
            assert src.startswith("data:image/png;base64,")
            assert base64.b64decode(src.split(",", 1)[1])[:8] == b"\x89PNG\r\n\x1a\n"
        cells = {row[0]: row[1:] for row in report.rows if row}
        assert cells["start_date"] == [str(loaded().data["close_price"].index[0])]
        assert cells["fee"] == ["0.0001"]
    assert ["group_num"] in [row[:1] for row in parsed(str(tmp_path / "deep" / "factor.html")).rows]
    strategy = parsed(str(tmp_path / "deep" / "strategy.html"))
    assert ["max_dd", f"{strategy_result.stats['max_dd']:.4f}"] in strategy.rows
    assert sorted(p.name for p in (tmp_path / "deep").iterdir()) == ["factor.html", "strategy.html"]


def test_batch_report_sorts_the_screen_and_links_each_job_to_its_own_report(tmp_path) -> None:
    """Names that one slug would merge ("动量20" and "反转20"), a name that is also text in
    other cells ("factor"), and factor tables whose column axis is named "ukey": every
    finished job gets a file of its own, linked from its own row and titled by its name."""
    data = loaded()
    close = data.data["close_price"].rename_axis(columns="ukey")
    start, end = close.index[0], close.index[-1]
    jobs = {
        "动量20": FactorJob(close.pct_change(20, fill_method=None), start, end, group_num=5),
        "反转20": FactorJob(-close.pct_change(20, fill_method=None), start, end, group_num=5),
        "factor": FactorJob(close.pct_change(5, fill_method=None), start, end, group_num=5),
        "empty": FactorJob(close.iloc[:0], start, end),
        "top": StrategyJob(close.notna().astype(float) / close.shape[1], start, end),
    }
    batch = BacktestService(None).backtest_many(jobs, data, executor="serial", progress=False)
    path = batch.to_html(tmp_path / "screen.html")
    report = parsed(path)
    assert report.external == []
    names = [row[0] for row in report.rows[1:]]
    assert names == list(jobs)
    linked = dict(zip(names, report.row_links[1:]))
    assert linked["empty"] is None
    finished = [name for name in jobs if name != "empty"]
    assert len({linked[name] for name in finished}) == len(finished)
    for name in finished:
        job_report = parsed(str(tmp_path / unquote(linked[name])))
        assert job_report.images
        assert job_report.title.startswith(f"{name} | "), job_report.title
    assert "ukey" not in Path(tmp_path / unquote(linked["factor"])).read_text(encoding="utf-8")
    assert "table.sortable" in Path(path).read_text(encoding="utf-8")
    assert list(report.rows[0][: len(batch.summary.columns) + 1]) == ["job", *batch.summary.columns]
