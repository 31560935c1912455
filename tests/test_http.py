"""Signed HTTP client against a real loopback server: signatures, retries, downloads."""

from __future__ import annotations

import io
import json
import socket
import time

import pytest

from loopback_server import API_SECRET, Reply, ScriptedServer
from lumora._http import HttpClient, HttpStatusError, sign_request, verify_signature
from lumora.exceptions import NetworkError


@pytest.fixture
def server():
    with ScriptedServer() as scripted:
        yield scripted


def test_signature_round_trip_and_every_tampered_field_is_refused() -> None:
    now = time.time()
    stamp = str(int(now))
    good = sign_request("secret", "GET", "/v1/x?a=1", stamp, b"body")
    assert verify_signature("secret", "get", "/v1/x?a=1", stamp, b"body", good, now=now)
    assert verify_signature("secret", "GET", "/v1/x?a=1", stamp, b"body", good.upper(), now=now)
    tampered = [
        ("other", "GET", "/v1/x?a=1", stamp, b"body", good),
        ("secret", "POST", "/v1/x?a=1", stamp, b"body", good),
        ("secret", "GET", "/v1/x?a=2", stamp, b"body", good),
        ("secret", "GET", "/v1/x?a=1", stamp, b"bodY", good),
        ("secret", "GET", "/v1/x?a=1", str(int(now) + 1), b"body", good),
        ("secret", "GET", "/v1/x?a=1", stamp, b"body", None),
        ("secret", "GET", "/v1/x?a=1", None, b"body", good),
        ("secret", "GET", "/v1/x?a=1", "12.5", b"body", good),
        ("secret", "GET", "/v1/x?a=1", stamp, b"body", "é" * 64),
    ]
    for args in tampered:
        assert not verify_signature(*args, now=now), args
    old = str(int(now) - 1000)
    stale = sign_request("secret", "GET", "/v1/x", old)
    assert not verify_signature("secret", "GET", "/v1/x", old, b"", stale, now=now)


def test_signed_json_request_with_query_is_accepted(server) -> None:
    server.route("/v1/data", Reply(body=json.dumps({"ok": [1, 2]}).encode()))
    assert server.client().get_json("/v1/data", {"day": "2024-01-02", "k": ["a", "b"]}) == {
        "ok": [1, 2]
    }
    (hit,) = server.hits
    assert hit.signed and hit.path == "/v1/data?day=2024-01-02&k=a&k=b"
    assert API_SECRET not in json.dumps(hit.headers)


@pytest.mark.parametrize(
    ("secret", "reply", "status"),
    [("wrong", Reply(body=b"{}"), 401), (API_SECRET, Reply(404, b"gone"), 404)],
)
def test_client_errors_are_final_at_once(server, secret, reply, status) -> None:
    server.route("/v1/data", reply)
    with pytest.raises(HttpStatusError) as caught:
        server.client(secret).get_json("/v1/data")
    assert isinstance(caught.value, NetworkError) and caught.value.status == status
    assert "/v1/data" in str(caught.value)
    assert len(server.hits) == 1


def test_server_errors_are_retried_until_success(server) -> None:
    server.route("/v1/data", Reply(503), Reply(500), Reply(body=b'{"n": 3}'))
    assert server.client(max_retries=3).get_json("/v1/data") == {"n": 3}
    assert len(server.hits) == 3


def test_client_gives_up_after_bounded_retries(server) -> None:
    server.route("/v1/data", Reply(502, b"upstream down"))
    with pytest.raises(NetworkError, match=r"/v1/data.*4 次.*502") as caught:
        server.client(max_retries=3).get_json("/v1/data")
    assert not isinstance(caught.value, HttpStatusError)
    assert len(server.hits) == 4


def test_stalled_answers_time_out_and_are_retried(server) -> None:
    # A stalled answer never comes while the client waits, so only the stall times out,
    # however slow the machine; the timeout is long enough for any prompt answer.
    server.route("/v1/data", Reply(body=b"{}", stall=True), Reply(body=b'{"late": false}'))
    assert server.client(timeout=2.0).get_json("/v1/data") == {"late": False}
    server.route("/v1/slow", Reply(body=b"{}", stall=True))
    with pytest.raises(NetworkError, match="(?i)timed out"):
        server.client(timeout=2.0, max_retries=1).get_json("/v1/slow")


def test_refused_connection_gives_network_error() -> None:
    with socket.socket() as probe:  # a port nobody listens on once closed
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    client = HttpClient(f"http://127.0.0.1:{port}", "k", "s", timeout=2, backoff=0.001)
    with pytest.raises(NetworkError, match="GET http://127.0.0.1"):
        client.get_json("/v1/data")


def test_invalid_json_is_a_network_error(server) -> None:
    server.route("/v1/data", Reply(body=b"<html>"))
    with pytest.raises(NetworkError, match="JSON"):
        server.client().get_json("/v1/data")


class _Terminal(io.StringIO):
    def isatty(self) -> bool:
        return True


@pytest.mark.parametrize("stream_kind", ["pipe", "terminal"])
def test_large_download_intact_with_and_without_progress_bar(server, stream_kind) -> None:
    payload = bytes(range(256)) * 20_000  # 5 MB
    server.route("/files/big", Reply(body=payload))
    stream = _Terminal() if stream_kind == "terminal" else io.StringIO()
    sink = io.BytesIO()
    client = server.client(progress_file=stream, progress_min_bytes=1 << 20)
    assert client.download("/files/big", sink, description="pkg") == len(payload)
    assert sink.getvalue() == payload
    assert ("pkg" in stream.getvalue()) == (stream_kind == "terminal")


def test_download_cut_short_is_restarted_from_the_beginning(server) -> None:
    payload = b"0123456789" * 10_000
    server.route("/files/a", Reply(body=payload, cut_after=5_000), Reply(body=payload))
    sink = io.BytesIO(b"head:")
    sink.seek(0, io.SEEK_END)
    assert server.client().download("/files/a", sink) == len(payload)
    assert sink.getvalue() == b"head:" + payload
    assert len(server.hits) == 2


def test_download_always_cut_short_gives_up(server) -> None:
    server.route("/files/a", Reply(body=b"x" * 100_000, cut_after=10))
    with pytest.raises(NetworkError, match="10 / 100000"):
        server.client(max_retries=2).download("/files/a", io.BytesIO())
    assert len(server.hits) == 3


class _Pipe(io.RawIOBase):
    def __init__(self) -> None:
        self.data = bytearray()

    def writable(self) -> bool:
        return True

    def write(self, chunk) -> int:
        self.data += chunk
        return len(chunk)


def test_download_into_unseekable_sink_is_not_retried_after_bytes_went_out(server) -> None:
    server.route("/files/a", Reply(body=b"x" * 1000, cut_after=100))
    with pytest.raises(NetworkError):
        server.client().download("/files/a", _Pipe())
    assert len(server.hits) == 1


def test_limit_stops_an_oversized_answer(server) -> None:
    server.route("/files/a", Reply(body=b"y" * 50_000))
    sink = io.BytesIO()
    assert server.client().download("/files/a", sink, limit=1001) == 1001


def test_credentials_are_not_sent_to_another_origin(server) -> None:
    with ScriptedServer() as other:
        other.route("/cdn/file", Reply(body=b"public", signed_only=False))
        sink = io.BytesIO()
        server.client().download(f"{other.base_url}/cdn/file", sink)
    assert sink.getvalue() == b"public"
    (hit,) = other.hits
    assert not any(name.lower().startswith("x-lumora") for name in hit.headers)


def test_constructor_rejects_bad_settings() -> None:
    for args in [("ftp://host", "k", "s"), ("http://h", "", "s"), ("http://h", "k", "")]:
        with pytest.raises(ValueError):
            HttpClient(*args)
    assert "s3cret" not in repr(HttpClient("http://h", "k", "s3cret"))
