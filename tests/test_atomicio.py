"""Files written whole or not at all, the chart pages among them."""

from __future__ import annotations

from pathlib import Path

import pandas as pd
import pytest

from lumora import _atomicio
from lumora.backtest import _weightbook as wb


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
