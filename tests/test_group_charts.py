"""Factor group charts: pages and file names per benchmark, what the panels show against the
result frames, the plot lock, figures closed, argument kinds, and the service end to end."""

from __future__ import annotations

import math
import os
import threading
from pathlib import Path
from typing import Any

import matplotlib
import matplotlib.pyplot as plt
import numpy as np
import pandas as pd
import pytest

import test_charts
from engine_keys import GROUP_MARKET_KEYS as MARKET_TABLES
from lock_probe import WatchedLock, assert_lock_free
from lumora.backtest import BacktestData, BacktestService, _core
from lumora.backtest import _weightbook as wb
from lumora.sandbox import generate_market

# The strategy charts' probes: the figures the charts close (a fixture), PNG sizes, panels.
figures = test_charts.figures
png_size, axes_by_title = test_charts.png_size, test_charts.axes_by_title

LOCK = wb._MATPLOTLIB_PLOT_LOCK


@pytest.fixture(scope="module")
def tables() -> dict[str, Any]:
    return generate_market(40, 90, seed=5).dataset_tables()


def momentum(tables: dict[str, Any]) -> pd.DataFrame:
    return tables["close_price"].pct_change(5, fill_method=None)


def run_core(tables: dict[str, Any], **options: Any) -> Any:
    arguments = {keyword: tables[name] for keyword, name in MARKET_TABLES.items()} | {
        "factor_matrix": momentum(tables),
        "group_num": 5,
        "benchmark_dict": tables["benchmark_dict"],
        "forward_return_rank_cache": tables["forward_return_rank_cache"],
    }
    return _core.run_alpha_vwap_backtest_core(**arguments | options)


def table_texts(ax: Any) -> list[list[str]]:
    cells = ax.tables[0].get_celld()
    rows, cols = 1 + max(r for r, _ in cells), 1 + max(c for _, c in cells)
    return [[cells[r, c].get_text().get_text() for c in range(cols)] for r in range(rows)]


# ---- pages, files and paths ------------------------------------------------------------


@pytest.mark.parametrize(
    ("kind", "size"),
    [
        ("large", (3547, 2079)),  # 21.5 x 12.6 in at 165 dpi
        ("long", (2247, 4350)),  # 15.5 x 30.0 in at 145 dpi
        ("Large", (2247, 4350)),  # like the strategy charts, only the exact "large" is wide
        ("", (2247, 4350)),
    ],
)
def test_page_pixel_sizes(tables, tmp_path: Path, kind: str, size: tuple[int, int]) -> None:
    path = tmp_path / "f.png"
    result = run_core(tables, plot_image_kind=kind, plot_save_path=str(path))
    assert result.plot_paths == {"000852": {"primary": str(path)}}
    assert png_size(path) == size


@pytest.mark.parametrize(
    ("names", "save", "files"),
    [
        ("000300", "f.png", {"000300": "f.png"}),
        (["000300"], "f.png", {"000300": "f.png"}),
        (["000852", "000300"], "f.png", {"000852": "f_000852.png", "000300": "f_000300.png"}),
        ("all", "out/f.png", {c: f"out/f_{c}.png" for c in ("000300", "000905", "000852")}),
        (["000905", "000300"], "report", {"000905": "report_000905", "000300": "report_000300"}),
    ],
)
def test_one_file_per_benchmark(tables, tmp_path: Path, names: Any, save: str, files: dict) -> None:
    result = run_core(
        tables, benchmark_names=names, plot_image_kind="large", plot_save_path=tmp_path / save
    )
    expected = {code: {"primary": str(tmp_path / name)} for code, name in files.items()}
    assert result.plot_paths == expected
    assert list(result.plot_paths) == list(result.benchmark_summary()["benchmark_name"])
    written = {str(p.relative_to(tmp_path)) for p in tmp_path.rglob("*") if p.is_file()}
    assert written == set(files.values())  # nothing else, no temporary file left
    for name in files.values():
        assert png_size(tmp_path / name) == (3547, 2079)


@pytest.mark.parametrize(
    "options",
    [
        {"plot_image_kind": None, "plot_save_path": "f.png"},
        {"plot_image_kind": "long", "plot_save_path": None},
        {"plot_image_kind": "long", "plot_save_path": "f.png", "benchmark_names": "399999"},
        # Empty results: no factor value at all, or no traded date.
        {"plot_image_kind": "long", "plot_save_path": "f.png", "factor_matrix": "nan"},
        {"plot_image_kind": "long", "plot_save_path": "f.png", "factor_matrix": "no rows"},
    ],
)
def test_no_chart_writes_nothing(tables, tmp_path: Path, options: dict) -> None:
    factor = momentum(tables)
    special = {"nan": factor * np.nan, "no rows": factor.iloc[:0]}
    if isinstance(options.get("factor_matrix"), str):
        options["factor_matrix"] = special[options["factor_matrix"]]
    if options["plot_save_path"]:
        options["plot_save_path"] = str(tmp_path / options["plot_save_path"])
    result = run_core(tables, **options)
    assert result.plot_paths == {} and list(tmp_path.iterdir()) == []


@pytest.mark.parametrize(
    ("name", "value"),
    [
        ("plot_image_kind", 5),
        ("plot_save_path", 3),
        ("plot_title", b"t"),
        ("factor_name", None),  # the title falls back on it
    ],
)
def test_argument_kinds_named_before_any_drawing(
    tables, tmp_path: Path, figures: list[Any], name: str, value: Any
) -> None:
    options = {"plot_image_kind": "long", "plot_save_path": str(tmp_path / "f.png"), name: value}
    with pytest.raises(TypeError, match=name):
        run_core(tables, **options)
    assert figures == [] and list(tmp_path.iterdir()) == []


@pytest.mark.parametrize(
    ("title", "factor_name", "expected"),
    [(None, "mom5", "mom5"), ("", "mom5", "mom5"), ("My factor", "mom5", "My factor")],
)
def test_title_names_the_benchmark(
    tables, tmp_path: Path, figures: list[Any], title: Any, factor_name: str, expected: str
) -> None:
    run_core(tables, plot_image_kind="large", plot_save_path=tmp_path / "f.png",
             plot_title=title, factor_name=factor_name)  # fmt: skip
    (fig,) = figures
    assert fig._suptitle.get_text() == f"{expected} | Benchmark 000852 | Factor Group Backtest"


# ---- panels against the result frames --------------------------------------------------


def total_frame(result: Any, benchmark: pd.Series) -> pd.DataFrame:
    daily = result.group_daily_return
    raw = pd.DataFrame(
        {
            "daily_return": daily[result.best_group],
            "index_daily_return": benchmark.reindex(daily.index),
        }
    )
    return wb._build_total_backtesting_frame(raw)


def running(series: pd.Series) -> np.ndarray:
    """Sum so far, a missing value keeping the sum; NaN before the first value."""
    return series.cumsum().ffill().to_numpy()


@pytest.mark.parametrize(("kind", "ascending"), [("long", False), ("large", True)])
def test_panels_show_the_result(
    tables, tmp_path: Path, figures: list[Any], kind: str, ascending: bool
) -> None:
    result = run_core(tables, plot_image_kind=kind, plot_save_path=tmp_path / "f.png",
                      benchmark_names="000905", ascending=ascending, rolling_window=3)  # fmt: skip
    (fig,) = figures
    daily, cumulative = result.group_daily_return, result.group_cumulative_return
    best, n = result.best_group, daily.shape[1]
    benchmark = tables["benchmark_dict"]["000905"]
    axes = axes_by_title(fig)

    lines = axes["Cumulative Return by Group"].lines
    for g in range(n):
        np.testing.assert_allclose(lines[g].get_ydata(), cumulative[g + 1] - 1.0)
        assert lines[g].get_linewidth() == (2.6 if g + 1 == best else 1.2)
    to_hex = matplotlib.colors.to_hex
    assert [to_hex(lines[g].get_color()) for g in (0, n - 1)] == ["#1e40af", "#dc2626"]
    np.testing.assert_allclose(lines[n].get_ydata(), running(benchmark.reindex(daily.index)))
    assert lines[n].get_label() == "000905"

    bars = axes["Annualised Return by Group"].patches
    np.testing.assert_allclose([b.get_height() for b in bars], daily.mean() * 252)

    long_short = axes[f"Long-Short Net Value (G{n} - G1)"].lines[0].get_ydata()
    np.testing.assert_allclose(long_short, 1.0 + running(daily[n] - daily[1]))

    total = total_frame(result, benchmark)
    excess = axes[f"G{best} Excess over 000905 & Drawdown"]
    np.testing.assert_allclose(excess.lines[0].get_ydata(), total["extra_return"])

    ic = result.rank_ic
    ic_lines = axes["Rank IC"].lines
    window = 20 if len(ic) >= 20 else max(len(ic) // 3, 5)
    np.testing.assert_allclose(ic_lines[0].get_ydata(), ic.rolling(window).mean(), atol=1e-12)
    assert ic_lines[0].get_label() == f"{window}D Mean Rank IC"

    (summary,) = [ax for ax in fig.axes if ax.tables and table_texts(ax)[0] == ["Metric", "Value"]]
    rows = dict(table_texts(summary)[1:])
    ic_ir = ic.mean() / ic.std()
    order = "smaller" if ascending else "larger"
    assert rows == {
        "Date Range": f"{daily.index[0][:4]}-{daily.index[0][4:6]}-{daily.index[0][6:]} ~ "
        f"{daily.index[-1][:4]}-{daily.index[-1][4:6]}-{daily.index[-1][6:]}",
        "Trading Days": str(len(daily)),
        "Groups": f"{n}, {order} factor in higher groups",
        "Factor Smoothing": "3-day mean",
        "Benchmark": "000905",
        "Rank IC Days": str(len(ic)),
        "Rank IC Mean": f"{ic.mean():.4f}",
        "Rank IC Std": f"{ic.std():.4f}",
        "Rank IC IR": f"{ic_ir:.3f}",
        "Rank IC t-stat": f"{ic_ir * math.sqrt(len(ic)):.2f}",
        "Positive Rank IC": f"{(ic > 0).mean() * 100:.2f}%",
        "|Rank IC| > 0.02": f"{(ic.abs() > 0.02).mean() * 100:.2f}%",
    }

    # Cards and the summary of the result tell the same figures.
    row = result.benchmark_summary().iloc[0]
    cards = fig.axes[0].texts
    values = {cards[i + 1].get_text(): cards[i].get_text() for i in range(0, len(cards), 2)}
    assert values == {
        "Best Group": f"G{best}",
        "Best Group Ann.": wb._format_pct(row["best_group_annual_return"]),
        "Long-Short Ann.": wb._format_pct(row["long_short_annual_return"]),
        "000905 Ann.": wb._format_pct(row["benchmark_annual_return"]),
        "Excess Ann.": wb._format_pct(row["excess_annual_return"]),
        "Excess Sharpe": wb._format_num(row["excess_sharpe"]),
        "Excess Max DD": wb._format_pct(abs(row["excess_max_dd"])),  # its size, as in the table
        "Rank IC Mean": wb._format_num(row["rank_ic_mean"], 4),
        "Rank IC IR": wb._format_num(row["ic_ir"], 3),
    }

    # The strategy charts' yearly table, fed with the best group against the benchmark.
    yearly_ax = axes[f"Yearly Metrics: Group {best} & Excess over 000905"]
    columns = ["daily_return", "index_daily_return", "extra_daily_return"]
    metrics = wb._calc_yearly_performance_metrics(wb._with_datetime_index(total)[columns].copy())
    expected_ax = plt.figure().add_subplot()
    wb._draw_yearly_metrics_table(expected_ax, metrics, compact=kind == "large")
    expected = table_texts(expected_ax)
    plt.close(expected_ax.figure)
    if kind == "long":  # the wide headers name the group instead of the strategy
        expected[0] = [h.replace("Strategy", f"Group {best}") for h in expected[0]]
    assert table_texts(yearly_ax) == expected


def test_panels_without_data_say_so(tables, tmp_path: Path, figures: list[Any]) -> None:
    # No forward returns, a benchmark on other dates, and a stock too few for the top group.
    elsewhere = tables["benchmark_dict"]["000852"].set_axis(
        pd.bdate_range("2099-01-01", periods=90).strftime("%Y%m%d")
    )
    run_core(tables, plot_image_kind="large", plot_save_path=tmp_path / "f.png",
             forward_return_rank_cache=None, benchmark_dict={"000852": elsewhere},
             factor_matrix=momentum(tables).iloc[:, :3], group_num=4)  # fmt: skip
    (fig,) = figures
    axes = axes_by_title(fig)
    notes = {
        "Rank IC": "No Rank IC data",
        "Long-Short Net Value (G4 - G1)": "No day on which both end groups traded",
    }
    (excess,) = [title for title in axes if title.endswith("Excess over 000852 & Drawdown")]
    notes[excess] = "No benchmark returns on the traded dates"
    for title, note in notes.items():
        assert [t.get_text() for t in axes[title].texts] == [note]
        assert len(axes[title].get_xticks()) == 0 and len(axes[title].get_yticks()) == 0
    yearly = [
        ax for ax in fig.axes if [t.get_text() for t in ax.texts] == ["No yearly metric data"]
    ]
    assert len(yearly) == 1 and (tmp_path / "f.png").is_file()


# ---- lock and figures ------------------------------------------------------------------


def test_drawing_waits_for_the_lock_and_owns_it(
    tables, tmp_path: Path, monkeypatch: pytest.MonkeyPatch
) -> None:
    owned: list[bool] = []
    figure = plt.figure

    def checking_figure(*args: Any, **kwargs: Any) -> Any:
        owned.append(LOCK._is_owned())
        return figure(*args, **kwargs)

    monkeypatch.setattr(plt, "figure", checking_figure)
    path = tmp_path / "f.png"
    done = threading.Event()
    errors: list[BaseException] = []

    def draw() -> None:
        try:
            run_core(tables, plot_image_kind="large", plot_save_path=path,
                     benchmark_names=["000852", "000300"])  # fmt: skip
        except BaseException as error:  # noqa: BLE001 - reported below
            errors.append(error)
        done.set()

    watched = WatchedLock(LOCK)
    monkeypatch.setattr(wb, "_MATPLOTLIB_PLOT_LOCK", watched)
    with LOCK:
        worker = threading.Thread(target=draw)
        worker.start()
        # The backtest itself runs; the drawing asks for the lock and waits for this thread.
        assert watched.asked.wait(120), "the drawing never asked for the plot lock"
        assert not done.is_set() and worker.is_alive()
        assert owned == [] and not list(tmp_path.iterdir())
    worker.join(120)
    assert errors == [] and owned == [True, True]
    assert sorted(p.name for p in tmp_path.iterdir()) == ["f_000300.png", "f_000852.png"]
    assert_lock_free(LOCK)


def test_figures_closed_and_lock_released_also_on_failure(tables, tmp_path: Path) -> None:
    before = plt.get_fignums()
    run_core(tables, plot_image_kind="long", plot_save_path=tmp_path / "sub" / "f.png")
    assert (tmp_path / "sub" / "f.png").is_file()  # the missing directory is made
    blocker = tmp_path / "file"
    blocker.write_text("")
    with pytest.raises(OSError):  # a file where the directory should be
        run_core(tables, plot_image_kind="long", plot_save_path=blocker / "f.png")
    assert plt.get_fignums() == before
    assert_lock_free(LOCK)
    assert sorted(os.listdir(tmp_path)) == ["file", "sub"]


# ---- service ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    ("benchmark", "plot", "names"),
    [
        ("000852", "long", {"000852": "alpha.png"}),
        (
            ["000300", "000905"],
            "large",
            {"000300": "alpha_000300.png", "000905": "alpha_000905.png"},
        ),
    ],
)
def test_service_returns_the_primary_paths(
    tables, tmp_path: Path, benchmark: Any, plot: str, names: dict[str, str]
) -> None:
    data = BacktestData(data=tables)
    factor = momentum(tables)
    factor.columns.name = "mom5"
    dates = factor.index
    result = BacktestService(None).backtest(
        factor, data, dates[10], dates[-1], tmp_path, "alpha", group_num=4, benchmark=benchmark,
        plot=plot,
    )  # fmt: skip
    assert result.plot_paths == {code: str(tmp_path / name) for code, name in names.items()}
    size = (2247, 4350) if plot == "long" else (3547, 2079)
    assert sorted(os.listdir(tmp_path)) == sorted(names.values())
    for name in names.values():
        assert png_size(tmp_path / name) == size
