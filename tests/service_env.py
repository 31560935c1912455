"""The service's surroundings in a test: the local date it sees and its data directory."""

from __future__ import annotations

import types
from pathlib import Path
from typing import Any

import pandas as pd

from lumora.backtest import _service


class Clock:
    """The local date (``day``, YYYYMMDD) seen by the service and, passed as ``today``, by
    the sandbox calendar."""

    def __init__(self, day: str) -> None:
        self.day = day

    def __call__(self) -> str:
        return self.day


def use_clock(patch: Any, day: str) -> Clock:
    """Make the service's today follow a clock that starts on ``day``."""
    clock = Clock(day)
    timestamp = types.SimpleNamespace(today=lambda: pd.Timestamp(clock.day))
    patch.setattr(_service, "pd", types.SimpleNamespace(Timestamp=timestamp))
    return clock


def use_data_dir(patch: Any, folder: Path) -> Path:
    """Point the service's default data directory into ``folder`` (its parent is made, the
    directory itself is left to the service)."""
    directory = folder / "home" / "enviroment_data"
    directory.parent.mkdir(parents=True)
    patch.setattr(_service, "_DEFAULT_DATA_DIR", directory)
    return directory
