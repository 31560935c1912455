"""The analysis pages and the HTML reports of a factor result, a strategy result and a batch:
figures in words and units, pages in whole parts, job reports that fail alone, and the
temporary folders of killed reports."""

from __future__ import annotations

import base64
import copy
import dataclasses
import functools
import os
import pickle
import signal
import subprocess
import sys
import tempfile
from html.parser import HTMLParser
from pathlib import Path
from typing import Any
from urllib.parse import unquote

import matplotlib.image
import numpy as np
import pandas as pd
import pytest
from matplotlib.backends.backend_agg import FigureCanvasAgg
from PIL import Image

import test_charts
from lumora.backtest import BacktestData, BacktestService
from lumora.backtest import report as report_module
from lumora.backtest._pkg import claimed_folder
from lumora.backtest._report_labels import labelled
from lumora.backtest._report_pages import read_page
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


def test_analysis_pages_make_their_folder(tmp_path) -> None:
    # The pages were saved through a temporary file in a folder nobody made, and failed
    # with a FileNotFoundError naming that hidden file.
    for result in results():
        path = tmp_path / "new" / type(result).__name__ / "analysis.png"
        assert result.plot_analysis(path) == str(path)
        assert matplotlib.image.imread(path).shape[1] > 0
        assert [p.name for p in path.parent.iterdir()] == ["analysis.png"]


class _Collector(HTMLParser):
    """Pictures, links, scripts and table cells of a report."""

    def __init__(self) -> None:
        super().__init__()
        self.images: list[str] = []  # <img src> and the pages' SVG <image href>
        self.links: list[str] = []
        self.external: list[str] = []
        self.rows: list[list[str]] = []
        self.row_keys: list[str | None] = []  # the tooltip (result key) of each row's first cell
        self.row_links: list[str | None] = []  # the first link of each row
        self.heads: dict[str, str] = {}  # a header's words by its tooltip (result key)
        self.parts = 0
        self.title = ""
        self._cell: list[str] | None = None
        self._head: str | None = None
        self._in_title = False

    def handle_starttag(self, tag: str, attrs: list[tuple[str, str | None]]) -> None:
        attributes = dict(attrs)
        for key in ("src", "href"):
            value = attributes.get(key) or ""
            if value.startswith(("http:", "https:", "//")):
                self.external.append(value)
        if tag == "img":
            self.images.append(attributes["src"] or "")
        if tag == "image":
            self.images.append(attributes["href"] or "")
        if tag == "svg" and attributes.get("class") == "part":
            self.parts += 1
        if tag == "a":
            self.links.append(attributes["href"] or "")
            if self.row_links and self.row_links[-1] is None:
                self.row_links[-1] = attributes["href"] or ""
        if tag == "tr":
            self.rows.append([])
            self.row_links.append(None)
            self.row_keys.append(None)
        self._in_title = tag == "title"
        if tag in ("td", "th"):
            self._cell = []
            if not self.rows[-1] and self.row_keys[-1] is None:
                self.row_keys[-1] = attributes.get("title")
            self._head = attributes.get("title") if tag == "th" else None

    def handle_endtag(self, tag: str) -> None:
        self._in_title = False
        if tag in ("td", "th") and self._cell is not None:
            text = "".join(self._cell).strip()
            self.rows[-1].append(text)
            if self._head is not None:
                self.heads[self._head] = text
            self._cell = None

    def handle_data(self, data: str) -> None:
        if self._in_title:
            self.title += data
        if self._cell is not None:
            self._cell.append(data)

    def figures(self) -> dict[str, str]:
        """The value shown for each result key of the figure tables (Figure | Value | ...)."""
        return {key: row[1] for key, row in zip(self.row_keys, self.rows) if key and len(row) == 3}


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


# The units of the statistics as the README states them ("Units of the statistics").
POINTS = {"annual_return", "benchmark_annual_return", "extra_annual_return"}
FRACTIONS = {"max_dd", "extra_max_dd", "win_rate", "excess_win_rate", "turnover"}
# Figures of the strategy analysis that are not shares of the capital (all others are).
ANALYSIS_RATIOS = {
    "sortino", "calmar", "skew", "kurtosis", "traded_value_turnover_annual", "beta",
    "information_ratio", "tail_ratio", "stability", "omega",
}  # fmt: skip


def shown_number(text: str) -> float:
    return float(text.rstrip("%").replace(",", ""))


def test_reports_show_each_figure_in_words_in_its_unit(tmp_path) -> None:
    """The statistics mix percentage points (annual_return 14.37 is 14.37 %) with fractions
    (max_dd 0.33 is 33 %): the report shows both in percent, ratios plain, and never a
    result's key as a label."""
    factor_result, strategy_result = results()
    strategy = parsed(strategy_result.to_html(tmp_path / "strategy.html"))
    shown = strategy.figures()
    for key, value in strategy_result.stats.items():
        if key in POINTS | FRACTIONS:
            assert shown[key].endswith("%"), key
            expected = value if key in POINTS else 100.0 * value
            assert shown_number(shown[key]) == pytest.approx(expected, abs=0.006), key
        else:
            assert not shown[key].endswith("%"), key
            assert shown_number(shown[key]) == pytest.approx(value, abs=0.06), key
    for key, value in strategy_result.analysis.summary.items():
        share = key not in ANALYSIS_RATIOS
        assert shown[key].endswith("%") == share, key
        expected = 100.0 * value if share else value
        assert shown_number(shown[key]) == pytest.approx(expected, abs=0.006), key
    start = str(strategy_result.parameters["start_date"])
    assert shown["start_date"] == f"{start[:4]}-{start[4:6]}-{start[6:]}"
    assert shown["fee"] == "0.010%"
    factor = parsed(factor_result.to_html(tmp_path / "factor.html"))
    assert (
        factor.figures()["coverage"] == f"{100 * factor_result.analysis.summary['coverage']:.2f}%"
    )
    # Rank IC and IC figures say which they are; the drawdowns' days say they are trading days.
    heads = set(factor.heads.values())
    assert {"Rank IC IR", "IC IR", "Rank IC mean", "IC mean"} <= heads
    assert strategy.heads["days"] == "Length (trading days)"
    # Every key of the results has words of its own, and no key is shown as a label.
    keys = {
        "stats": strategy_result.stats,
        "strategy": strategy_result.analysis.summary,
        "factor": factor_result.analysis.summary,
        "parameters": {**strategy_result.parameters, **factor_result.parameters},
        "benchmarks": [*strategy_result.benchmark_summary, *factor_result.benchmark_summary],
        "groups": factor_result.analysis.group_performance,
        "ic_summary": factor_result.analysis.ic_summary.reset_index(),
        "drawdowns": strategy_result.analysis.drawdowns,
    }
    unlabelled = [
        (table, key) for table, names in keys.items() for key in names if not labelled(key, table)
    ]
    assert unlabelled == []
    raw = {str(key) for names in keys.values() for key in names}
    for report in (strategy, factor):
        labels = {row[0] for row in report.rows if len(row) == 3} | set(report.heads.values())
        assert not labels & raw


def test_page_parts_keep_each_panel_whole_and_every_mark_once(
    tmp_path: Path, figures: list[Any]
) -> None:
    """A page shown in parts: every panel (its axes, ticks, labels and title) lies in one
    part, and every pixel that is not white is in exactly one part."""
    for result, name in zip(results(), ("factor.png", "strategy.png"), strict=True):
        page = read_page(result.plot_analysis(tmp_path / name))
        fig = figures[-1]
        scale = page.width / fig.bbox.width
        renderer = FigureCanvasAgg(fig).get_renderer()  # the closed figure drawn again
        boxes = [box for row in page.rows for box in row]
        assert len(page.rows) >= 4 and len(boxes) >= 8, name
        for ax in fig.axes:
            if not (ax.axison and ax.get_visible()):
                continue
            extent = ax.get_tightbbox(renderer)
            left, right = extent.x0 * scale, extent.x1 * scale
            top, bottom = page.height - extent.y1 * scale, page.height - extent.y0 * scale
            holders = [
                b for b in boxes
                if b.left <= left + 1 and right - 1 <= b.right and b.top <= top + 1 and bottom - 1 <= b.bottom
            ]  # fmt: skip
            assert len(holders) == 1, (name, ax.get_title())
        pixels = np.asarray(Image.open(tmp_path / name).convert("RGB"))
        ink = pixels.min(axis=2) < 254
        covered = np.zeros(ink.shape, dtype=np.int16)
        for b in boxes:
            covered[b.top : b.bottom, b.left : b.right] += 1
        assert (covered[ink] == 1).all(), name


def test_result_reports_are_self_contained_with_pages_tables_and_parameters(tmp_path) -> None:
    factor_result, strategy_result = results()
    for result, name in ((factor_result, "factor"), (strategy_result, "strategy")):
        report = parsed(result.to_html(tmp_path / "deep" / f"{name}.html"))
        assert report.external == []
        assert len(report.images) == 1 and report.parts >= 8, name
        for src in report.images:
            assert src.startswith("data:image/png;base64,")
            assert base64.b64decode(src.split(",", 1)[1])[:8] == b"\x89PNG\r\n\x1a\n"
        assert report.figures()["lot_size"] == "200"
    factor = parsed(str(tmp_path / "deep" / "factor.html"))
    assert factor.figures()["group_num"] == "5"
    assert factor.title == "mom10 | factor report"
    assert sorted(p.name for p in (tmp_path / "deep").iterdir()) == ["factor.html", "strategy.html"]


def positions_figures(result: Any, data: BacktestData) -> dict[str, Any]:
    """Holdings, largest positions, industry shares and rolling beta of a strategy result in
    the shapes the analysis gives them, worked out in pandas from its positions."""
    close = data.data["close_price"]
    held = result.positions.assign(
        value=lambda p: (
            p["shares"]
            * close.stack().reindex(pd.MultiIndex.from_frame(p[["date", "stock"]])).to_numpy()
        )
    )
    capital = result.parameters["total_money"]
    weight = held.pivot(index="date", columns="stock", values="value").fillna(0.0) / capital
    share = weight.div(weight.sum(axis=1), axis=0)
    holdings = pd.DataFrame(
        {
            "holdings_count": (weight > 0).sum(axis=1).astype(float),
            "top10_share": share.apply(lambda row: row.nlargest(10).sum(), axis=1),
            "herfindahl": (share**2).sum(axis=1),
            "gross_exposure": weight.sum(axis=1),
        }
    )
    top = (
        pd.DataFrame(
            {
                "mean_weight": weight.mean(),
                "max_weight": weight.max(),
                "days_held": (weight > 0).sum(),
            }
        )
        .sort_values("mean_weight", ascending=False)
        .rename_axis("stock")
    )
    industry = data.data["industry_matrix"].reindex(index=weight.index, columns=weight.columns)
    exposure = share.T.groupby(industry.iloc[0]).sum().T
    daily = result.daily_return
    bench = daily * 0.5 + 0.001
    beta = daily.rolling(126).cov(bench) / bench.rolling(126).var()
    return {
        "holdings": holdings,
        "top_positions": top,
        "industry_exposure": exposure,
        "rolling_beta_126": beta,
    }


def test_strategy_report_shows_positions_concentration_and_industries(tmp_path) -> None:
    _, strategy_result = results()
    data = loaded()
    analysis = copy.copy(strategy_result.analysis)
    for name, value in positions_figures(strategy_result, data).items():
        if getattr(analysis, name, None) is None:  # the analysis's own, where it has them
            setattr(analysis, name, value)
    report = parsed(
        dataclasses.replace(strategy_result, analysis=analysis).to_html(tmp_path / "s.html")
    )
    top = analysis.top_positions
    first_stock = top.index[0] if "stock" not in top.columns else top["stock"].iloc[0]
    by_first_cell = {row[0]: row[1:] for row in report.rows if row}
    assert by_first_cell[str(first_stock)][0] == f"{100 * top['mean_weight'].iloc[0]:.2f}%"
    whole_run = by_first_cell["whole run"]
    assert whole_run[0] == f"{analysis.holdings['holdings_count'].mean():.1f}"
    assert whole_run[1] == f"{100 * analysis.holdings['top10_share'].mean():.2f}%"
    assert report.heads["rolling_beta_126"] == "Rolling beta, 126 days"
    assert {"Top-10 share", "Herfindahl index", "Gross exposure", "Days held"} <= set(
        report.heads.values()
    )


def test_batch_report_sorts_the_screen_and_links_each_job_to_its_own_report(tmp_path) -> None:
    """Names that one slug would merge ("动量20" and "反转20"), a name that is also text in
    other cells ("factor"), and factor tables whose column axis is named "ukey": every
    finished job gets a file of its own, linked from its own row and titled by its name.
    A job report that cannot be written is listed with its error; the others are written."""
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
    names = [row[0] for row in report.rows[1 : len(jobs) + 1]]
    assert names == list(jobs)
    linked = dict(zip(names, report.row_links[1:]))
    assert linked["empty"] is None
    finished = [name for name in jobs if name != "empty"]
    assert len({linked[name] for name in finished}) == len(finished)
    for name in finished:
        job_report = parsed(str(tmp_path / unquote(linked[name])))
        assert job_report.title.startswith(f"{name} | "), job_report.title
        assert job_report.rows and not job_report.images  # a job report draws no page
    assert "ukey" not in Path(tmp_path / unquote(linked["factor"])).read_text(encoding="utf-8")
    assert "table.sortable" in Path(path).read_text(encoding="utf-8")
    assert list(report.heads)[: len(batch.summary.columns) + 1] == ["job", *batch.summary.columns]
    assert report.heads["ic_ir"] == "Rank IC IR"
    assert report.heads["excess_max_dd_pct"] != report.heads["extra_max_dd_pct"]
    row = dict(zip(report.heads, report.rows[names.index("factor") + 1]))
    assert row["coverage_pct"] == f"{batch.summary.loc['factor', 'coverage_pct']:.2f}%"

    # A report that cannot be written (its path taken by a folder) fails alone.
    blocked = tmp_path / unquote(linked["反转20"])
    blocked.unlink()
    blocked.mkdir()
    report = parsed(batch.to_html(tmp_path / "screen.html"))
    names = [row[0] for row in report.rows[1 : len(jobs) + 1]]
    linked = dict(zip(names, report.row_links[1:]))
    assert linked["反转20"] is None and all(linked[n] for n in finished if n != "反转20")
    # The table of reports not written follows the screen's; the factors' correlation, last.
    rest = report.rows[len(jobs) + 1 :]
    assert rest[0] == ["Job", "Error"]
    end = next(k for k, row in enumerate(rest[1:], 1) if row[0] == "Job")
    listed = {row[0]: row[1] for row in rest[1:end]}
    assert list(listed) == ["反转20"] and listed["反转20"].startswith("IsADirectoryError: ")


def test_a_killed_reports_temporary_folder_is_removed_by_the_next_report(
    tmp_path, monkeypatch
) -> None:
    factor_result, _ = results()
    temporary = tmp_path / "tmp"
    temporary.mkdir()
    monkeypatch.setattr(tempfile, "tempdir", str(temporary))
    pickled = tmp_path / "result.pickle"
    pickled.write_bytes(pickle.dumps(factor_result))
    # A report stopped (and killed) while its analysis page is being drawn.
    reporter = f"""
import pickle, sys
result = pickle.loads(open({str(pickled)!r}, "rb").read())
def drawing(self, path):
    print(path, flush=True)
    sys.stdin.read()
type(result).plot_analysis = drawing
result.to_html({str(tmp_path / "killed.html")!r})
"""
    source = str(Path(report_module.__file__).parents[2])
    environment = {**os.environ, "PYTHONPATH": source, "TMPDIR": str(temporary)}
    with subprocess.Popen(
        [sys.executable, "-c", reporter], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
        text=True, env=environment,
    ) as killed:  # fmt: skip
        left = Path(killed.stdout.readline().strip()).parent
        killed.kill()
    assert killed.wait() == -signal.SIGKILL
    assert left.parent == temporary and left.name.startswith("lumora-report-") and left.is_dir()

    with claimed_folder(temporary, "lumora-report-") as running:
        factor_result.to_html(tmp_path / "next.html")
        assert not left.exists()
        assert running.exists(), "the folder of a report still running was removed"
    assert list(temporary.iterdir()) == []
