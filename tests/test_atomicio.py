"""Files written whole or not at all, the chart pages among them."""

from __future__ import annotations

from pathlib import Path

import pandas as pd
import pytest

from lumora import _atomicio
from lumora.backtest import BacktestData, BacktestService
from lumora.backtest import _weightbook as wb
from lumora.sandbox import generate_market


def test_a_failed_write_keeps_the_old_file_and_leaves_no_temporary(tmp_path: Path) -> None:
    target = tmp_path / "page.png"
    target.write_bytes(b"old page")

    def half_then_fail(fh) -> None:
        fh.write(b"half a ")
        raise OSError("disk full")

    with pytest.raises(OSError, match="disk full"):
        _atomicio.write_atomic(target, half_then_fail)
    assert target.read_bytes() == b"old page"
    assert [p.name for p in tmp_path.iterdir()] == ["page.png"]
    _atomicio.write_atomic(target, lambda fh: fh.write(b"new page"))
    assert target.read_bytes() == b"new page"
    assert [p.name for p in tmp_path.iterdir()] == ["page.png"]


def test_a_chart_that_fails_while_saving_keeps_the_previous_page(
    tmp_path: Path, monkeypatch: pytest.MonkeyPatch
) -> None:
    import matplotlib.figure

    days = pd.bdate_range("2024-01-01", periods=30).strftime("%Y%m%d")
    raw = pd.DataFrame({"daily_return": 0.001, "index_daily_return": 0.0005}, index=days)
    total = wb._build_total_backtesting_frame(raw)
    target = tmp_path / "weekly.png"
    target.write_bytes(b"previous page")

    def fail_midway(self, fname, **kwargs) -> None:
        fname.write(b"\x89PNG partial")
        raise RuntimeError("renderer failed")

    monkeypatch.setattr(matplotlib.figure.Figure, "savefig", fail_midway)
    with pytest.raises(RuntimeError, match="renderer failed"):
        wb.plot_weekly_net_value(total=total, save_path=target)
    assert target.read_bytes() == b"previous page"
    assert [p.name for p in tmp_path.iterdir()] == ["weekly.png"]


def test_names_as_long_as_the_file_system_allows_are_written_and_longer_chart_names_refused_first(
    tmp_path: Path,
) -> None:
    """The temporary file beside a long legal name had a name too long to exist, so a
    request failed once its backtest had run. A chart name that cannot exist at all is now
    refused before any work."""
    data = BacktestData(data=generate_market(20, 60, seed=5).dataset_tables())
    listed = data.data["close_price"].notna()
    weights = listed.astype(float).div(listed.sum(axis=1), axis=0)
    dates = weights.index
    service = BacktestService(None)
    longest = "长" * 78  # its weekly chart's name is 234 + 21 = 255 bytes
    result = service.backtest_strategy(weights, data, dates[0], dates[-1], tmp_path / "c", longest)
    assert sorted(p.name for p in (tmp_path / "c").iterdir()) == [
        f"{longest}.png",
        f"{longest}_weekly_net_value.png",
    ]
    report = tmp_path / ("r" * 235 + ".html")
    assert result.to_html(report) == str(report) and report.read_bytes().startswith(b"<!DOCTYPE")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["c", report.name]

    with pytest.raises(ValueError, match="plot_filename is too long for its charts"):
        service.backtest_strategy(weights, data, dates[0], dates[-1], tmp_path / "c", "s" * 240)
    assert len(list((tmp_path / "c").iterdir())) == 2
