"""The cloud data client against the sandbox server's query endpoints on loopback."""

from __future__ import annotations

import datetime

import pandas as pd
import pytest

from lumora._http import HttpClient
from lumora.backtest._package_server import PackageServer
from lumora.exceptions import NetworkError
from lumora.sources.cloud import CloudClient
from lumora.sources.sandbox.client import SandboxClient


@pytest.fixture(scope="module")
def served():
    client = SandboxClient(40, seed=3, today=datetime.date(2019, 3, 1))
    with PackageServer(lambda directory: None, data_client=client) as server:
        yield client, server


@pytest.mark.parametrize(
    "factor", ["Close", ["Close", "rq_is_suspended", "rq_index_components_new_000300.XSHG"]]
)
def test_factor_answers_equal_the_local_client(served, factor) -> None:
    client, server = served
    remote = CloudClient(server.http_client()).get_factors(
        factor=factor, start_date="2019-01-02", end_date="2019-02-28"
    )
    local = client.get_factors(factor=factor, start_date="2019-01-02", end_date="2019-02-28")
    local = local.astype({"ukey": str, "factor": str})  # the local client answers categories
    assert len(remote) > 0
    pd.testing.assert_frame_equal(
        remote.reset_index(drop=True), local.reset_index(drop=True), check_dtype=False
    )


def test_index_answers_equal_the_local_client(served) -> None:
    client, server = served
    codes = ["000852.XSHG", "000300.XSHG", "000905.XSHG"]
    remote = CloudClient(server.http_client()).get_index_daily(
        ukeys=codes, start_date="20190102", end_date="20190228"
    )
    local = client.get_index_daily(ukeys=codes, start_date="20190102", end_date="20190228")
    pd.testing.assert_frame_equal(
        remote.reset_index(drop=True), local.reset_index(drop=True), check_dtype=False
    )


def test_wrong_credentials_are_refused_without_retry(served) -> None:
    _, server = served
    bad = HttpClient(server.base_url, server.api_key, "not-the-secret", max_retries=3)
    with pytest.raises(NetworkError):
        CloudClient(bad).get_factors(factor="Close", start_date="2019-01-02", end_date="2019-01-10")


def test_a_server_without_data_answers_not_found() -> None:
    with PackageServer(lambda directory: None) as server, pytest.raises(NetworkError):
        CloudClient(server.http_client()).get_factors(
            factor="Close", start_date="2019-01-02", end_date="2019-01-10"
        )
