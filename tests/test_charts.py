"""Strategy charts: number formats, weekly frame, page sizes and content, plot lock."""

from __future__ import annotations

import math
import os
import struct
import threading
from collections import OrderedDict
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import Any

import matplotlib
import matplotlib.pyplot as plt
import numpy as np
import pandas as pd
import pytest
from matplotlib.backends.backend_agg import FigureCanvasAgg
from PIL import Image

from lock_probe import assert_lock_free
from lumora.backtest import _weightbook as wb

nan, inf = math.nan, math.inf
LOCK = wb._MATPLOTLIB_PLOT_LOCK
FONTS = [
    "Helvetica Neue", "Arial", "PingFang SC", "Noto Sans CJK SC", "Source Han Sans SC",
    "WenQuanYi Micro Hei", "SimHei", "Arial Unicode MS", "DejaVu Sans",
]  # fmt: skip
STAT_KEYS = [
    "annual_return", "long_sharp", "max_dd", "benchmark_annual_return", "benchmark_sharp",
    "extra_annual_return", "extra_sharp", "extra_max_dd", "return_corr", "win_rate",
    "excess_win_rate", "holding_count", "turnover",
]  # fmt: skip


# ---- inputs -------------------------------------------------------------------------


def make_total(days: int = 60, start: str = "2023-12-04", seed: int = 3) -> pd.DataFrame:
    rng = np.random.default_rng(seed)
    dates = pd.bdate_range(start, periods=days).strftime("%Y%m%d")
    benchmark = rng.normal(0.0003, 0.012, days)
    raw = pd.DataFrame(
        {
            "daily_return": benchmark + rng.normal(0.0005, 0.004, days),
            "index_daily_return": benchmark,
        },
        index=dates,
    )
    return wb._build_total_backtesting_frame(raw)


def make_stats(total: pd.DataFrame) -> dict[str, float]:
    return dict(wb.calc_strategy_stats(total, None))


def draw_performance(
    total: pd.DataFrame, path: Path | str, kind: str = "large", **options: Any
) -> dict[str, str]:
    options.setdefault("stats", make_stats(total) if len(total) else {})
    return wb.plot_strategy_performance(total=total, save_path=path, image_kind=kind, **options)


def draw_weekly(
    total: pd.DataFrame, path: Path | str, kind: str = "large", **options: Any
) -> dict[str, str]:
    return wb.plot_weekly_net_value(total=total, save_path=path, image_kind=kind, **options)


CHARTS = {"performance": draw_performance, "weekly": draw_weekly}


@pytest.fixture
def figures(monkeypatch: pytest.MonkeyPatch) -> Iterator[list[Any]]:
    """Every figure the charts close, kept for inspection."""
    closed: list[Any] = []
    original = plt.close

    def keep(fig: Any = None) -> None:
        closed.append(fig)
        original(fig)

    monkeypatch.setattr(plt, "close", keep)
    yield closed


def png_size(path: Path) -> tuple[int, int]:
    header = path.read_bytes()[:24]
    assert header[:8] == b"\x89PNG\r\n\x1a\n"
    return struct.unpack(">II", header[16:24])


def axes_by_title(fig: Any) -> dict[str, Any]:
    return {ax.get_title(): ax for ax in fig.axes if ax.get_title()}


def legend_texts(ax: Any) -> list[str]:
    return [t.get_text() for t in ax.get_legend().get_texts()]


def table_texts(ax: Any) -> list[list[str]]:
    cells = ax.tables[0].get_celld()
    rows = 1 + max(r for r, _ in cells)
    cols = 1 + max(c for _, c in cells)
    return [[cells[r, c].get_text().get_text() for c in range(cols)] for r in range(rows)]


def summary_table(fig: Any) -> dict[str, str]:
    (ax,) = [ax for ax in fig.axes if ax.tables and table_texts(ax)[0] == ["Metric", "Value"]]
    return dict(table_texts(ax)[1:])


def run_with_timeout(call: Callable[[], Any], seconds: float = 20.0) -> BaseException | None:
    """Runs `call` in a thread; fails the test if it has not finished in time."""
    outcome: list[BaseException | None] = []

    def target() -> None:
        try:
            call()
            outcome.append(None)
        except BaseException as error:  # noqa: BLE001 - handed back to the test
            outcome.append(error)

    worker = threading.Thread(target=target, daemon=True)
    worker.start()
    worker.join(seconds)
    assert not worker.is_alive(), "call blocked"
    return outcome[0]


# ---- number formats -----------------------------------------------------------------


@pytest.mark.parametrize(
    ("formatter", "args", "expected"),
    [
        (wb._format_num, (None,), "--"),
        (wb._format_pct, (nan,), "--"),
        (wb._format_pct_points, (None,), "--"),
        (wb._format_num, (pd.NaT,), "--"),
        (wb._format_pct, (pd.NA,), "--"),
        (wb._format_num, (np.float32("nan"),), "--"),
        (wb._format_num, (1.234,), "1.23"),
        (wb._format_num, (1.005, 2), "1.00"),  # the stored value lies just below 1.005
        (wb._format_num, (24.6, 0), "25"),
        (wb._format_num, (3, 0), "3"),
        (wb._format_num, (1234567.891,), "1234567.89"),
        (wb._format_num, (np.int64(7),), "7.00"),
        (wb._format_num, ("1.5",), "1.50"),
        (wb._format_num, (2.55, 1.9), "2.5"),  # digits truncate; 2.55 is stored below 2.55
        (wb._format_num, (-inf,), "-inf"),
        (wb._format_pct, (0.05,), "5.00%"),
        (wb._format_pct, (-0.1234,), "-12.34%"),
        (wb._format_pct, (1,), "100.00%"),
        (wb._format_pct, (inf,), "inf%"),
        (wb._format_pct_points, (5.0,), "5.00%"),
        (wb._format_pct_points, (-2.5, 1), "-2.5%"),
    ],
)
def test_formatters(formatter: Callable[..., str], args: tuple[Any, ...], expected: str) -> None:
    assert formatter(*args) == expected


@pytest.mark.parametrize(
    ("args", "error", "match"),
    [
        (("abc",), ValueError, None),
        ((1.0, "2"), TypeError, "digits"),
        ((1.0, None), TypeError, "digits"),
    ],
)
def test_formatter_argument_errors(
    args: tuple[Any, ...], error: type[Exception], match: str | None
) -> None:
    with pytest.raises(error, match=match):
        wb._format_num(*args)


@pytest.mark.parametrize(
    ("values", "expected"),
    [
        (None, "--"),
        (pd.Series([], dtype=float), "--"),
        (pd.Series([nan, nan], index=[2021, 2022]), "--"),
        (pd.Series([0.0512, -0.031], index=[2021, 2022]), "2021: 5.12% | 2022: -3.10%"),
        (pd.Series([0.01, nan, 0.02], index=[2020, 2021, 2022]), "2020: 1.00% | 2022: 2.00%"),
        ({2023: 0.5}, "2023: 50.00%"),
    ],
)
def test_format_annual_excess(values: Any, expected: str) -> None:
    assert wb._format_annual_excess(values) == expected


# ---- weekly frame -------------------------------------------------------------------


def dated_total(rows: dict[str, tuple[float, float, float]]) -> pd.DataFrame:
    frame = pd.DataFrame.from_dict(
        rows, orient="index", columns=["long", "close_net_value", "extra_return"]
    )
    frame["daily_return"] = 0.0
    return frame


def test_weekly_frame_calendar_edge_cases() -> None:
    total = dated_total(
        {
            "20240103": (1.01, 1.0, 0.01),  # Wednesday start
            "20240105": (1.02, 1.1, 0.02),  # its Friday
            "20240111": (1.03, 1.2, 0.03),  # Thursday before a holiday Friday
            "20240122": (1.04, 1.3, 0.04),  # the week of 2024-01-19 has no trading day
            "20240125": (1.05, inf, 0.05),  # an infinite value takes the week's last finite one
            "20240126": (-inf, 1.4, 0.06),
            "20240201": (inf, -inf, nan),  # a week without any finite value disappears
        }
    )
    weekly = wb._build_weekly_net_value_frame(total)
    assert list(weekly.columns) == ["long", "close_net_value", "extra_return", "extra_net_value"]
    assert weekly.index.strftime("%Y%m%d").tolist() == ["20240105", "20240112", "20240126"]
    assert weekly["long"].tolist() == [1.02, 1.03, 1.05]
    assert weekly["close_net_value"].tolist() == [1.1, 1.2, 1.4]
    assert (weekly["extra_net_value"] == weekly["extra_return"] + 1).all()


def model_weekly(total: pd.DataFrame) -> pd.DataFrame:
    plot_df = wb._with_datetime_index(total)
    weekly = plot_df[["long", "close_net_value", "extra_return"]].replace([inf, -inf], nan)
    weekly = weekly.resample("W-FRI").last().dropna(how="all")
    weekly.loc[:, "extra_net_value"] = weekly["extra_return"] + 1
    return weekly.dropna(how="all", subset=["long", "close_net_value", "extra_net_value"])


@pytest.mark.parametrize("seed", range(6))
def test_weekly_frame_matches_pandas_resampling(seed: int) -> None:
    rng = np.random.default_rng(seed)
    days = pd.bdate_range("2022-12-01", "2024-03-01")
    days = days[rng.random(len(days)) < 0.7]
    values = rng.normal(1.0, 0.1, (len(days), 3))
    values[rng.random(values.shape) < 0.1] = nan
    values[rng.random(values.shape) < 0.05] = inf
    total = pd.DataFrame(
        values, index=days.strftime("%Y%m%d"), columns=["long", "close_net_value", "extra_return"]
    )
    pd.testing.assert_frame_equal(
        wb._build_weekly_net_value_frame(total), model_weekly(total), check_freq=False
    )


def test_weekly_frame_of_empty_total_is_empty_without_columns() -> None:
    weekly = wb._build_weekly_net_value_frame(make_total().iloc[:0])
    assert weekly.empty and len(weekly.columns) == 0


# ---- page sizes, empty totals, paths ------------------------------------------------


@pytest.mark.parametrize(
    ("chart", "kind", "size"),
    [
        ("performance", "large", (3547, 2079)),  # 21.5 x 12.6 in at 165 dpi
        ("performance", "long", (2247, 4930)),  # 15.5 x 34.0 in at 145 dpi
        ("performance", "Large", (2247, 4930)),  # only the exact "large" is wide
        ("weekly", "large", (3196, 1462)),  # 18.8 x 8.6 in at 170 dpi
        ("weekly", "long", (2247, 1798)),  # 15.5 x 12.4 in at 145 dpi
        ("weekly", "", (2247, 1798)),
    ],
)
def test_page_pixel_sizes(tmp_path: Path, chart: str, kind: str, size: tuple[int, int]) -> None:
    path = tmp_path / "chart.png"
    CHARTS[chart](make_total(), path, kind)
    assert png_size(path) == size


@pytest.mark.parametrize("chart", CHARTS)
def test_empty_total_writes_nothing_but_reports_the_path(tmp_path: Path, chart: str) -> None:
    path = tmp_path / "chart.png"
    key = {"performance": "main", "weekly": "weekly_net_value"}[chart]
    assert CHARTS[chart](make_total().iloc[:0], path) == {key: str(path)}
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("chart", CHARTS)
def test_path_kinds_and_exact_file_name(tmp_path: Path, chart: str) -> None:
    # A name without suffix is written exactly there (matplotlib alone would add ".png").
    path = tmp_path / "report"
    result = CHARTS[chart](make_total(), path)
    assert list(result.values()) == [str(path)] and isinstance(result.popitem()[1], str)
    assert [p.name for p in tmp_path.iterdir()] == ["report"]
    assert png_size(path)[0] > 0


@pytest.mark.parametrize("chart", CHARTS)
def test_missing_folder_is_made_and_failed_save_releases_lock(tmp_path: Path, chart: str) -> None:
    path = tmp_path / "missing" / "chart.png"
    CHARTS[chart](make_total(), path)
    assert [p.name for p in path.parent.iterdir()] == ["chart.png"]
    blocker = tmp_path / "file"
    blocker.write_text("")
    with pytest.raises(OSError):  # a file where the folder should be
        CHARTS[chart](make_total(), blocker / "chart.png")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["file", "missing"]
    assert_lock_free(LOCK)


# ---- lock -----------------------------------------------------------------------------


BAD_ARGUMENTS = [
    ("performance", "stats", OrderedDict()),
    ("performance", "stats", None),
    ("performance", "strategy_name", None),
    ("performance", "plot_title", 5),
    ("performance", "image_kind", type("Kind", (str,), {})("large")),
    ("performance", "benchmark_name", 852),
    ("performance", "rolling_window", "5"),
    ("performance", "save_path", 3),
    ("weekly", "strategy_name", b"s"),
    ("weekly", "image_kind", None),
    ("weekly", "save_path", None),
]


@pytest.mark.parametrize(("chart", "name", "value"), BAD_ARGUMENTS)
def test_argument_kinds_rejected_before_the_lock(
    tmp_path: Path, chart: str, name: str, value: Any
) -> None:
    total = make_total(10)
    options = {name: value}
    holding, done = threading.Event(), threading.Event()

    def hold_lock() -> None:
        with LOCK:
            holding.set()
            done.wait(30)

    holder = threading.Thread(target=hold_lock, daemon=True)
    holder.start()
    holding.wait(10)
    try:
        error = run_with_timeout(
            lambda: CHARTS[chart](total, options.pop("save_path", tmp_path / "x.png"), **options)
        )
    finally:
        done.set()
        holder.join()
    assert isinstance(error, TypeError) and name in str(error)
    assert list(tmp_path.iterdir()) == []


def test_drawing_error_propagates_and_releases_lock(tmp_path: Path) -> None:
    total = make_total().drop(columns="extra_return")
    with pytest.raises(KeyError):
        draw_performance(total, tmp_path / "x.png", stats={})
    assert_lock_free(LOCK)


def test_lock_is_reentrant_for_callers_holding_it(tmp_path: Path) -> None:
    def draw_both() -> None:
        with LOCK:
            draw_performance(make_total(), tmp_path / "a.png")
            draw_weekly(make_total(), tmp_path / "b.png")

    assert run_with_timeout(draw_both) is None
    assert sorted(p.name for p in tmp_path.iterdir()) == ["a.png", "b.png"]


def test_concurrent_requests_are_serialised_and_complete(
    tmp_path: Path, monkeypatch: pytest.MonkeyPatch
) -> None:
    open_figures, most = [0], [0]
    counter = threading.Lock()
    figure, close = plt.figure, plt.close

    def counting_figure(*args: Any, **kwargs: Any) -> Any:
        with counter:
            open_figures[0] += 1
            most[0] = max(most[0], open_figures[0])
        return figure(*args, **kwargs)

    def counting_close(fig: Any = None) -> None:
        close(fig)
        with counter:
            open_figures[0] -= 1

    monkeypatch.setattr(plt, "figure", counting_figure)
    monkeypatch.setattr(plt, "close", counting_close)
    total = make_total(120)
    start = threading.Barrier(4)
    errors: list[BaseException] = []

    def request(i: int) -> None:
        start.wait()
        try:
            CHARTS[("performance", "weekly")[i % 2]](
                total, tmp_path / f"{i}.png", ("large", "long")[i // 2]
            )
        except BaseException as error:  # noqa: BLE001
            errors.append(error)

    threads = [threading.Thread(target=request, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(120)
    assert errors == [] and most[0] == 1
    assert sorted(p.name for p in tmp_path.iterdir()) == ["0.png", "1.png", "2.png", "3.png"]
    for i in range(4):
        with Image.open(tmp_path / f"{i}.png") as image:
            image.load()  # a truncated file fails here


# ---- style ------------------------------------------------------------------------------


def test_style_survives_a_missing_sheet_and_persists(
    tmp_path: Path, monkeypatch: pytest.MonkeyPatch
) -> None:
    def no_sheet(name: Any) -> None:
        raise OSError(f"{name!r} is not a valid style")

    monkeypatch.setattr(plt.style, "use", no_sheet)
    matplotlib.rcParams["axes.unicode_minus"] = True
    matplotlib.rcParams["font.sans-serif"] = ["Bitstream Vera Sans"]
    draw_weekly(make_total(), tmp_path / "w.png")
    assert png_size(tmp_path / "w.png") == (3196, 1462)
    rc = matplotlib.rcParams
    assert rc["font.sans-serif"] == FONTS
    assert rc["axes.unicode_minus"] is False
    assert rc["axes.titleweight"] == "bold"
    assert rc["figure.facecolor"] == "white"
    assert rc["axes.facecolor"] == "#fbfbfd"
    assert matplotlib.get_backend().lower() == "agg"


def test_configure_style_takes_exactly_pyplot() -> None:
    with pytest.raises(TypeError):
        wb._configure_strategy_plot_style()  # type: ignore[call-arg]
    wb._configure_strategy_plot_style(plt)
    assert plt.rcParams["axes.facecolor"] == "#fbfbfd"


# ---- what the pages show ------------------------------------------------------------


PERFORMANCE_PLACEMENT = {
    # title: (rows, columns) of the grid cells per page kind
    "large": {
        "Cumulative Return": (range(1, 2), range(2)),
        "Excess Return & Drawdown": (range(1, 2), range(2, 3)),
        "Yearly Return": (range(2, 3), range(1)),
        "Rolling Excess Stability": (range(2, 3), range(1, 2)),
        "Drawdown": (range(2, 3), range(2, 3)),
        "Yearly Strategy & Excess Metrics": (range(3, 4), range(1, 3)),
    },
    "long": {
        "Cumulative Return": (range(1, 2), range(2)),
        "Excess Return & Drawdown": (range(2, 3), range(2)),
        "Yearly Return": (range(3, 4), range(1)),
        "Rolling Excess Stability": (range(3, 4), range(1, 2)),
        "Drawdown": (range(4, 5), range(2)),
        "Yearly Strategy & Excess Metrics": (range(6, 7), range(2)),
    },
}


@pytest.mark.parametrize("kind", ["large", "long"])
def test_performance_page_content(tmp_path: Path, figures: list[Any], kind: str) -> None:
    total = make_total(30)  # spans a year boundary
    stats = make_stats(total)
    stats.pop("turnover")
    draw_performance(total, tmp_path / "p.png", kind, stats=stats, strategy_name="alpha",
                     plot_title="", benchmark_name="000300", rolling_window=7.9)  # fmt: skip
    (fig,) = figures
    assert fig._suptitle.get_text() == "alpha | Benchmark 000300 | Strategy Performance"
    panels = axes_by_title(fig)
    for title, (rows, cols) in PERFORMANCE_PLACEMENT[kind].items():
        spec = panels[title].get_subplotspec()
        assert (spec.rowspan, spec.colspan) == (rows, cols), title

    cards_ax = fig.axes[0]
    texts = [t.get_text() for t in cards_ax.texts]
    assert texts[1::2] == ["Strategy Ann.", "Strategy Sharpe", "Strategy Max DD", "Excess Ann.", "Excess Sharpe",
                           "Excess Max DD", "Strategy Win", "Excess Win", "Turnover"]  # fmt: skip
    assert texts[0] == wb._format_pct_points(stats["annual_return"]) and texts[-2] == "--"

    cum = panels["Cumulative Return"]
    assert legend_texts(cum) == ["Strategy", "000300", "Strategy Drawdown", "000300 Drawdown"]
    assert cum.lines[0].get_color() == "#2563eb"
    np.testing.assert_allclose(cum.lines[0].get_ydata(), total["long"] - 1)
    assert legend_texts(panels["Excess Return & Drawdown"]) == ["Excess Return", "Excess Drawdown"]
    assert legend_texts(panels["Drawdown"]) == ["Strategy Drawdown", "Excess Drawdown"]

    year_ax = panels["Yearly Return"]
    yearly = wb._with_datetime_index(total)[
        ["daily_return", "index_daily_return", "extra_daily_return"]
    ]
    yearly = yearly.groupby(yearly.index.year).sum()
    heights = [p.get_height() for p in year_ax.patches]
    np.testing.assert_allclose(heights, yearly.T.to_numpy().ravel())
    assert [t.get_text() for t in year_ax.get_xticklabels()] == ["2023", "2024"]
    for label, value in zip(year_ax.texts, yearly["extra_daily_return"], strict=True):
        assert label.get_text() == wb._format_pct(value)
        assert label.get_va() == ("bottom" if value >= 0 else "top")

    rolling_ax = panels["Rolling Excess Stability"]
    assert legend_texts(rolling_ax) == ["10D Excess Sharpe", "10D Win Rate"]
    excess = total["extra_daily_return"].reset_index(drop=True)
    model = excess.rolling(10).mean() / excess.rolling(10).std() * math.sqrt(252)
    np.testing.assert_allclose(rolling_ax.lines[0].get_ydata(), model, rtol=1e-9)

    summary = summary_table(fig)
    first, last = (f"{d[:4]}-{d[4:6]}-{d[6:]}" for d in (total.index[0], total.index[-1]))
    assert summary["Date Range"] == f"{first} ~ {last}"
    assert (summary["Trading Days"], summary["Rolling Window"], summary["Benchmark"]) == (
        "30",
        "7",
        "000300",
    )
    assert summary["Avg Holding"] == "--" and summary["Turnover"] == "--"
    assert summary["Annual Excess"] == wb._format_annual_excess(yearly["extra_daily_return"])


@pytest.mark.parametrize(("rows", "window"), [(4, None), (12, 5), (30, 10), (80, 60)])
def test_rolling_window_follows_backtest_length(
    tmp_path: Path, figures: list[Any], rows: int, window: int | None
) -> None:
    draw_performance(make_total(rows), tmp_path / "p.png")
    rolling_ax = axes_by_title(figures[0])["Rolling Excess Stability"]
    if window is None:
        assert [t.get_text() for t in rolling_ax.texts] == ["Not enough data"]
    else:
        ydata = np.asarray(rolling_ax.lines[0].get_ydata(), dtype=float)
        assert np.isnan(ydata[: window - 1]).all() and np.isfinite(ydata[window - 1 :]).all()


@pytest.mark.parametrize("kind", ["large", "long"])
def test_weekly_page_content_and_shared_yearly_table(
    tmp_path: Path, figures: list[Any], kind: str
) -> None:
    total = make_total(40)
    draw_weekly(
        total,
        tmp_path / "w.png",
        kind,
        strategy_name="alpha",
        plot_title="Title",
        benchmark_name="000905",
    )
    draw_performance(total, tmp_path / "p.png", kind)
    weekly_fig, performance_fig = figures
    assert weekly_fig._suptitle.get_text() == "Title | Benchmark 000905 | Weekly Net Value"
    nav_ax, dd_ax, table_ax = weekly_fig.axes
    assert (nav_ax.get_title() == "Weekly Net Value") == (kind == "long")
    assert legend_texts(nav_ax) == ["Strategy", "000905", "Excess"]
    assert legend_texts(dd_ax) == ["Strategy Drawdown", "000905 Drawdown", "Excess Drawdown"]
    assert dd_ax.get_legend()._ncols == (3 if kind == "long" else 1)
    weekly = wb._build_weekly_net_value_frame(total)
    np.testing.assert_allclose(nav_ax.lines[2].get_ydata(), weekly["extra_net_value"])
    benchmark = weekly["close_net_value"]
    np.testing.assert_allclose(dd_ax.lines[0].get_ydata(), benchmark - benchmark.cummax())
    performance_table = axes_by_title(performance_fig)["Yearly Strategy & Excess Metrics"]
    assert table_texts(table_ax) == table_texts(performance_table)


@pytest.mark.parametrize("kind", ["large", "long"])
def test_weekly_page_title_and_drawdown_legend_stay_clear(
    tmp_path: Path, figures: list[Any], kind: str
) -> None:
    # A strategy that loses almost half in its first weeks: the drawdown is deepest at the left.
    total = make_total(300, start="2021-01-04", seed=5)
    raw = total[["daily_return", "index_daily_return"]].copy()
    raw.iloc[5:35, 0] -= 0.015
    draw_weekly(wb._build_total_backtesting_frame(raw), tmp_path / "w.png", kind)
    (fig,) = figures
    renderer = FigureCanvasAgg(fig).get_renderer()  # the closed figure has no canvas left
    points = 72.0 / fig.dpi
    title = fig._suptitle.get_window_extent(renderer)
    for ax in fig.axes:
        if ax.get_title():
            gap = (title.y0 - ax.title.get_window_extent(renderer).y1) * points
            assert gap >= 4.0, f"{ax.get_title()!r} is {gap:.1f} pt below the page title"
    dd_ax = fig.axes[1]
    legend = dd_ax.get_legend().get_window_extent(renderer)
    curves = [line.get_xydata() for line in dd_ax.lines[:2]]  # benchmark and excess drawdowns
    curves += [path.vertices for path in dd_ax.collections[0].get_paths()]  # strategy shading
    for xy in curves:
        x, y = dd_ax.transData.transform(xy).T
        inside = (x > legend.x0) & (x < legend.x1) & (y > legend.y0) & (y < legend.y1)
        assert not inside.any(), "the drawdown legend covers the drawdowns"


# ---- yearly metrics table -------------------------------------------------------------


def yearly_metrics(years: list[float]) -> pd.DataFrame:
    values = np.full((len(years), 8), 0.0123)
    values[:, 1] = nan
    table = pd.DataFrame(values, index=pd.Index(years, name="year"), columns=[
        "strategy_return", "strategy_sharpe", "strategy_max_dd", "strategy_calmar",
        "excess_return", "excess_sharpe", "excess_max_dd", "excess_calmar",
    ])  # fmt: skip
    return table


@pytest.mark.parametrize("compact", [True, False])
def test_yearly_metrics_table_cells(compact: bool) -> None:
    fig, ax = plt.subplots()
    try:
        wb._draw_yearly_metrics_table(ax, yearly_metrics([2021.0, 2022.0]), compact=compact)
        texts = table_texts(ax)
        headers = (
            ["Year", "Ret", "Sharpe", "MaxDD", "Calmar", "ExRet", "ExSh", "ExDD", "ExCal"]
            if compact
            else ["Year", "Strategy Return", "Strategy Sharpe", "Strategy Max DD", "Strategy Calmar",
                  "Excess Return", "Excess Sharpe", "Excess Max DD", "Excess Calmar"]
        )  # fmt: skip
        assert texts[0] == headers
        assert texts[1] == [
            "2021",
            "1.23%",
            "--",
            "1.23%",
            "0.01",
            "1.23%",
            "0.01",
            "1.23%",
            "0.01",
        ]
        cells = ax.tables[0].get_celld()
        colour = matplotlib.colors.to_hex
        assert colour(cells[0, 3].get_facecolor()) == "#eef2ff"
        assert colour(cells[1, 0].get_facecolor()) == "#ffffff"
        assert colour(cells[2, 0].get_facecolor()) == "#f8fafc"
        assert colour(cells[1, 4].get_text().get_color()) == "#1d4ed8"
        assert colour(cells[2, 5].get_text().get_color()) == "#b91c1c"
        assert ax.get_title() == "Yearly Strategy & Excess Metrics"
        # The table stays inside its panel so its title is never covered.
        height = sum(cells[r, 0].get_height() for r in range(3))
        assert height <= 1.0 + 1e-9
    finally:
        plt.close(fig)


def test_yearly_metrics_table_empty_and_errors() -> None:
    fig, ax = plt.subplots()
    try:
        wb._draw_yearly_metrics_table(ax, pd.DataFrame())
        assert [t.get_text() for t in ax.texts] == ["No yearly metric data"]
        assert ax.get_title() == "" and not ax.tables
        with pytest.raises(KeyError):
            wb._draw_yearly_metrics_table(ax, yearly_metrics([2021]).drop(columns="excess_calmar"))
        with pytest.raises(TypeError):  # compact is keyword-only
            wb._draw_yearly_metrics_table(ax, yearly_metrics([2021]), True)
    finally:
        plt.close(fig)


def test_long_backtest_tables_fit_their_panels(tmp_path: Path, figures: list[Any]) -> None:
    total = make_total(252 * 21, start="2004-01-05")
    draw_performance(total, tmp_path / "p.png")
    fig = figures[0]
    yearly_cells = axes_by_title(fig)["Yearly Strategy & Excess Metrics"].tables[0].get_celld()
    rows = {r for r, _ in yearly_cells}
    assert len(rows) == 22  # 21 years and the header
    assert sum(yearly_cells[r, 0].get_height() for r in rows) <= 1.0 + 1e-9
    # Every year stays readable: the line breaks between years instead of running on.
    daily = wb._with_datetime_index(total)["extra_daily_return"]
    line = summary_table(fig)["Annual Excess"]
    assert line.count("\n") >= 2
    assert line.replace("\n", " | ") == wb._format_annual_excess(
        daily.groupby(daily.index.year).sum()
    )


def test_runner_writes_both_charts_side_by_side(tmp_path: Path) -> None:
    sandbox = pytest.importorskip("lumora.sandbox")
    market = sandbox.generate_market(n_stocks=40, n_days=30, seed=1)
    tables = market.engine_tables()
    weights = tables["close_price"].notna().astype(float).where(lambda w: w > 0) / 40
    result = wb.run_strategy_backtest_core(
        weights, tables["can_buy_stock"], tables["cant_sell_stock"], tables["rq_get_split"],
        tables["rq_get_dividend"], tables["close_price"], tables["prev_close"], tables["buy_price"],
        tables["sell_price"], benchmark_dict=market.benchmark_dict(), plot_image_kind="long",
        plot_save_path=str(tmp_path / "run1.png"),
    )  # fmt: skip
    assert result.plot_paths == {"main": str(tmp_path / "run1.png"),
                                 "weekly_net_value": str(tmp_path / "run1_weekly_net_value.png")}  # fmt: skip
    assert png_size(tmp_path / "run1.png") == (2247, 4930)
    assert png_size(tmp_path / "run1_weekly_net_value.png") == (2247, 1798)
    assert sorted(os.listdir(tmp_path)) == ["run1.png", "run1_weekly_net_value.png"]
