"""The SDK entry points on the offline market, in a fresh interpreter whose home is a
temporary directory (the data directory is fixed from the home at load)."""

from __future__ import annotations

import json
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

SRC = str(Path(__file__).resolve().parent.parent / "src")

ROAD = textwrap.dedent(
    """
    import datetime, json, sys
    import lumora
    from lumora import _session
    from lumora.exceptions import KestrelError

    try:
        lumora.load_backtest_data()
    except KestrelError as exc:
        not_initialised = str(exc)
    lumora.init_sandbox(n_stocks=60, start="20230103", today=datetime.date(2024, 6, 28), package_lag_days=3)
    lumora.prepare_backtest_data()
    first = _session._server.package_downloads
    lumora.prepare_backtest_data()
    second = _session._server.package_downloads
    data = lumora.load_backtest_data()
    close = data.data["close_price"]
    weights = (close / close.shift(5) - 1).rank(axis=1, ascending=False).le(10).astype(float) / 10
    weights = weights.where(weights > 0)
    strategy = lumora.backtest_strategy(weights, data, 20230601, 20240628, None, "s", plot=None)
    factor = lumora.backtest_factor(close / close.shift(5), data, 20230601, 20240628, sys.argv[1], "f", group_num=5)
    print(json.dumps({
        "not_initialised": not_initialised,
        "downloads": [first, second],
        "last_date": close.index[-1],
        "strategy_days": len(strategy.daily_return),
        "groups": list(map(int, factor.group_daily_return.columns)),
    }))
    """
)


@pytest.fixture(scope="module")
def road(tmp_path_factory):
    home = tmp_path_factory.mktemp("home")
    out = tmp_path_factory.mktemp("charts")
    env = {**os.environ, "HOME": str(home), "PYTHONPATH": SRC, "MPLBACKEND": "Agg"}
    command = [sys.executable, "-c", ROAD, str(out)]
    done = subprocess.run(
        command, env=env, capture_output=True, text=True, timeout=600, check=False
    )
    assert done.returncode == 0, done.stderr

    return json.loads(done.stdout.strip().splitlines()[-1]), home


def test_without_init_the_conveniences_say_how_to_start(road) -> None:
    result, _ = road
    assert (
        "lumora.init" in result["not_initialised"] and "init_sandbox" in result["not_initialised"]
    )


def test_package_is_downloaded_once_then_the_tail_is_updated_to_today(road) -> None:
    result, home = road
    assert result["downloads"] == [1, 1]
    assert result["last_date"] == "20240628"
    assert (home / ".lumora" / "backtest_data" / "enviroment_data").is_dir()


def test_backtests_run_on_the_default_service(road) -> None:
    result, _ = road
    assert result["strategy_days"] > 200
    assert result["groups"] == [1, 2, 3, 4, 5]
