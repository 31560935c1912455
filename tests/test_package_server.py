"""The loopback package server under hostile clients: malformed headers get 400, a replay
is refused, a request not in by the deadline is cut off, connections beyond the bound get
no thread, idle connections cannot hold the handlers, the nonce book stays bounded, and a
killed session's working folder is removed by the next server."""

from __future__ import annotations

import http.client
import logging
import os
import socket
import struct
import tempfile
import time
from pathlib import Path

import pytest

from lumora._http import KEY_HEADER, NONCE_HEADER, SIGNATURE_HEADER, TIMESTAMP_HEADER, sign_request
from lumora.backtest import _package_server
from lumora.backtest._package_server import PackageServer
from lumora.backtest._pkg import PACKAGE_DESCRIPTOR_PATH


@pytest.fixture
def server(tmp_path):
    (tmp_path / "metadata.pkl").write_bytes(b"x")
    with PackageServer(tmp_path) as running:
        yield running


def address(server: PackageServer) -> tuple[str, int]:
    host, port = server.base_url.removeprefix("http://").split(":")
    return host, int(port)


def status(server: PackageServer, headers: dict[str, str]) -> int:
    connection = http.client.HTTPConnection(*address(server), timeout=30)
    try:
        connection.request("GET", PACKAGE_DESCRIPTOR_PATH, headers=headers)
        return connection.getresponse().status
    finally:
        connection.close()


def signed(server: PackageServer, nonce: str | None, age: int = 0) -> dict[str, str]:
    stamp = str(int(time.time()) - age)
    signature = sign_request(server.api_secret, "GET", PACKAGE_DESCRIPTOR_PATH, stamp, b"", nonce)
    headers = {KEY_HEADER: server.api_key, TIMESTAMP_HEADER: stamp, SIGNATURE_HEADER: signature}
    return headers | ({NONCE_HEADER: nonce} if nonce else {})


@pytest.mark.parametrize(
    "headers",
    [{"Content-Length": "abc"}, {"Content-Length": "9" * 40}, {TIMESTAMP_HEADER: "1" * 5000}],
)
def test_malformed_requests_get_400_and_replays_are_refused(server, headers):
    assert status(server, headers) == 400
    first = signed(server, "nonce-1")
    assert [status(server, first), status(server, first)] == [200, 401]
    fresh, unsigned = signed(server, "nonce-2"), signed(server, None)
    assert [status(server, fresh), status(server, unsigned)] == [200, 401]


def test_a_request_not_in_by_the_deadline_is_cut_off(tmp_path, monkeypatch):
    monkeypatch.setattr(_package_server, "REQUEST_DEADLINE", 0.0)
    with (
        PackageServer(tmp_path) as server,
        socket.create_connection(address(server), timeout=30) as conn,
    ):
        conn.sendall(b"GET / HTTP/1.1\r\n")  # and never the rest
        assert conn.recv(1024) == b""  # closed by the server, not by our timeout


def test_connections_beyond_the_bound_get_no_thread(tmp_path, monkeypatch):
    monkeypatch.setattr(_package_server, "MAX_HANDLERS", 2)
    monkeypatch.setattr(_package_server, "SLOT_WAIT", 0.0)
    with PackageServer(tmp_path) as server:
        idle = [socket.create_connection(address(server), timeout=30) for _ in range(2)]
        with pytest.raises((ConnectionError, http.client.RemoteDisconnected)):
            status(server, {})
        for conn in idle:
            conn.close()
        assert "sha256" in server.http_client().get_json(PACKAGE_DESCRIPTOR_PATH)


def test_idle_connections_cannot_hold_the_handlers(tmp_path, monkeypatch):
    monkeypatch.setattr(_package_server, "IDLE_TIMEOUT", 0.2)
    with PackageServer(tmp_path) as server:
        idle = [
            socket.create_connection(address(server), timeout=30)
            for _ in range(_package_server.MAX_HANDLERS)
        ]
        try:
            client = server.http_client(max_retries=0, timeout=30)
            assert "sha256" in client.get_json(PACKAGE_DESCRIPTOR_PATH)
            for conn in idle:
                assert conn.recv(1024) == b""  # closed by the server, not by our timeout
        finally:
            for conn in idle:
                conn.close()


def test_the_nonce_book_stays_small_and_still_refuses_replays(tmp_path, monkeypatch):
    monkeypatch.setattr(_package_server, "MAX_NONCES", 8)
    with PackageServer(tmp_path) as server:
        # Forty signed requests stamped one second apart, oldest first, all in the window.
        sent = [signed(server, f"n{age}", age) for age in range(40, 0, -1)]
        assert [status(server, headers) for headers in sent] == [200] * 40
        assert len(server._nonces) == 8
        # Replays of a nonce still held and of one forgotten are both refused.
        assert [status(server, sent[-1]), status(server, sent[0])] == [401, 401]
        assert status(server, signed(server, "fresh")) == 200

    # Nonces stamped before the window are forgotten; their replays fail the signature's
    # freshness check instead, and the book refuses them too.
    now = [1_000_000.0]
    book = _package_server._NonceBook(300.0, 100, clock=lambda: now[0])
    assert all(book.first_use(f"old{i}", 1_000_000 - i) for i in range(50))
    now[0] += 400.0
    assert book.first_use("new", int(now[0])) and len(book) == 1
    assert not book.first_use("old0", 1_000_000)


def test_failed_requests_cost_a_log_line_and_no_traceback(tmp_path, monkeypatch, capfd, caplog):
    """Under a hostile client the server printed a traceback per request to the user's
    terminal (242 in one attack): a client gone is logged at debug level, any other failure
    as one warning line, and tracebacks only at debug level."""
    caplog.set_level(logging.DEBUG, logger="lumora")
    request = f"GET {PACKAGE_DESCRIPTOR_PATH} HTTP/1.1\r\n\r\n".encode()
    failures = iter([ConnectionResetError(104, "Connection reset by peer"), RuntimeError("bug")])

    def fail(handler) -> None:
        raise next(failures)

    with PackageServer(tmp_path) as server:
        with monkeypatch.context() as patch:
            patch.setattr(_package_server._Handler, "do_GET", fail)
            for _ in range(2):
                with socket.create_connection(address(server), timeout=30) as conn:
                    conn.sendall(request)
                    while conn.recv(1024):  # the server logs before it closes the connection
                        pass
        for _ in range(20):  # and real clients that reset their connection at once
            with socket.create_connection(address(server), timeout=30) as conn:
                conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                conn.sendall(request)
    warnings = [r.getMessage() for r in caplog.records if r.levelno >= logging.WARNING]
    assert warnings == [
        "sandbox package server: a request from 127.0.0.1 failed: RuntimeError('bug')"
    ]
    assert not [r for r in caplog.records if r.exc_info and r.levelno > logging.DEBUG]
    assert "Traceback" not in capfd.readouterr().err


def test_a_killed_sessions_working_folder_is_removed_by_the_next(tmp_path):
    left = Path(tempfile.mkdtemp(prefix="lumora-package-server-"))
    (left / "package.tar.gz").write_bytes(b"whole archive")
    with PackageServer(tmp_path) as server:
        server.http_client().get_json(PACKAGE_DESCRIPTOR_PATH)
        running = server._workdir
        assert running is not None and any(running.iterdir()) and not left.exists()
    assert not running.exists() and not os.path.exists(left)
