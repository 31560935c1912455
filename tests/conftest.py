"""Fixtures of the tests that prepare data through the service."""

from __future__ import annotations

import pytest

from lumora import singleton
from service_env import Clock, use_clock, use_data_dir


@pytest.fixture
def clock(request: pytest.FixtureRequest, monkeypatch: pytest.MonkeyPatch) -> Clock:
    """The service's local date, starting on the test module's ``T0``."""
    return use_clock(monkeypatch, request.module.T0)


@pytest.fixture
def data_dir(tmp_path, monkeypatch: pytest.MonkeyPatch):
    """The service's default data directory, under the test's temporary folder."""
    return use_data_dir(monkeypatch, tmp_path)


@pytest.fixture
def installed():
    """Installs a client for the duration of a test (``installed(None)`` before the public
    ``lumora.init_*`` calls install their own), and puts the previous one back after."""
    previous: list = []
    yield lambda client: previous.append(singleton.set_instance(client))
    if previous:
        singleton.set_instance(previous[0])
