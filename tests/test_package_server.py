"""The loopback package server under hostile clients: malformed headers are answered
with 400, a request that does not arrive in time is cut off, connections beyond the
bound get no thread, and a killed session's working folder is removed by the next."""

from __future__ import annotations

import http.client
import os
import socket
import tempfile
import time
from pathlib import Path

import pytest

from lumora import sandbox_service
from lumora._http import (
    KEY_HEADER,
    NONCE_HEADER,
    SIGNATURE_HEADER,
    TIMESTAMP_HEADER,
    sign_request,
)
from lumora.backtest._pkg import PACKAGE_DESCRIPTOR_PATH
from lumora.sandbox_service import PackageServer


@pytest.fixture
def package(tmp_path) -> Path:
    folder = tmp_path / "package"
    folder.mkdir()
    (folder / "metadata.pkl").write_bytes(b"x")
    return folder


def raw_request(server: PackageServer, head: str) -> bytes:
    host, port = server.base_url.removeprefix("http://").split(":")
    with socket.create_connection((host, int(port)), timeout=30) as conn:
        conn.sendall(head.encode("latin-1"))
        return conn.recv(1024)


@pytest.mark.parametrize(
    "headers",
    [
        {"Content-Length": "abc"},
        {"Content-Length": "-5"},
        {"Content-Length": "9" * 40},
        {TIMESTAMP_HEADER: "1" * 5000},
    ],
)
def test_malformed_requests_get_400(package, headers):
    with PackageServer(package) as server:
        lines = "".join(f"{name}: {value}\r\n" for name, value in headers.items())
        answer = raw_request(server, f"GET {PACKAGE_DESCRIPTOR_PATH} HTTP/1.1\r\n{lines}\r\n")
        assert answer.startswith(b"HTTP/1.0 400"), answer[:80]
        # the server still serves signed clients afterwards
        assert "sha256" in server.http_client().get_json(PACKAGE_DESCRIPTOR_PATH)


def test_a_replayed_request_is_refused(package):
    with PackageServer(package) as server:
        host, port = server.base_url.removeprefix("http://").split(":")
        stamp = str(int(time.time()))

        def status(nonce: str | None) -> int:
            headers = {
                KEY_HEADER: server.api_key,
                TIMESTAMP_HEADER: stamp,
                SIGNATURE_HEADER: sign_request(
                    server.api_secret, "GET", PACKAGE_DESCRIPTOR_PATH, stamp, b"", nonce
                ),
            }
            if nonce is not None:
                headers[NONCE_HEADER] = nonce
            connection = http.client.HTTPConnection(host, int(port), timeout=30)
            try:
                connection.request("GET", PACKAGE_DESCRIPTOR_PATH, headers=headers)
                return connection.getresponse().status
            finally:
                connection.close()

        assert [status("n-1"), status("n-1"), status("n-2"), status(None)] == [200, 401, 200, 401]


def test_a_request_not_in_by_the_deadline_is_cut_off(package, monkeypatch):
    monkeypatch.setattr(sandbox_service, "REQUEST_DEADLINE", 0.0)
    with PackageServer(package) as server:
        host, port = server.base_url.removeprefix("http://").split(":")
        with socket.create_connection((host, int(port)), timeout=30) as conn:
            conn.sendall(b"GET / HTTP/1.1\r\n")  # and never the rest
            assert conn.recv(1024) == b""  # closed by the server, not by our timeout


def test_connections_beyond_the_bound_get_no_thread(package, monkeypatch):
    monkeypatch.setattr(sandbox_service, "MAX_HANDLERS", 2)
    with PackageServer(package) as server:
        host, port = server.base_url.removeprefix("http://").split(":")
        idle = [socket.create_connection((host, int(port)), timeout=30) for _ in range(2)]
        try:
            # A request (not a bare connection) proves both idle ones were accepted first.
            connection = http.client.HTTPConnection(host, int(port), timeout=30)
            with pytest.raises((ConnectionError, http.client.RemoteDisconnected)):
                connection.request("GET", "/", headers={KEY_HEADER: "k", SIGNATURE_HEADER: "s"})
                connection.getresponse()
        finally:
            for conn in idle:
                conn.close()
        assert "sha256" in server.http_client().get_json(PACKAGE_DESCRIPTOR_PATH)


def test_a_killed_sessions_working_folder_is_removed_by_the_next(package):
    left = Path(tempfile.mkdtemp(prefix="lumora-package-server-"))
    (left / "package.tar.gz").write_bytes(b"whole archive")
    os.utime(left, (0, 0))
    with PackageServer(package) as server:
        server.http_client().get_json(PACKAGE_DESCRIPTOR_PATH)
        running = server._workdir
        assert running is not None and any(running.iterdir())
        assert not left.exists()
    assert not running.exists()
