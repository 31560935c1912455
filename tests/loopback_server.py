"""A scripted HTTP server on 127.0.0.1 for the client and download tests.

Each path answers from a queue of replies (the last one repeats); every request is
recorded with whether its signature was valid.
"""

from __future__ import annotations

import threading
import time
from dataclasses import dataclass
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any, Self

from lumora._http import (
    KEY_HEADER,
    NONCE_HEADER,
    SIGNATURE_HEADER,
    TIMESTAMP_HEADER,
    HttpClient,
    verify_signature,
)

API_KEY = "test-key"
API_SECRET = "test-secret"


@dataclass
class Reply:
    status: int = 200
    body: bytes = b""
    cut_after: int | None = None  # declare the full length, send this many bytes, hang up
    signed_only: bool = True
    delay: float = 0.0  # seconds to stall before answering
    stall: bool = False  # answer only once the server closes: the client must time out


@dataclass
class Hit:
    path: str
    signed: bool
    headers: dict[str, str]


class ScriptedServer:
    def __init__(self) -> None:
        self.routes: dict[str, list[Reply]] = {}
        self.hits: list[Hit] = []
        self.closing = threading.Event()
        self._server = ThreadingHTTPServer(("127.0.0.1", 0), _Handler)
        self._server.daemon_threads = True
        self._server.script = self  # type: ignore[attr-defined]
        self._thread = threading.Thread(
            target=self._server.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True
        )

    @property
    def base_url(self) -> str:
        return f"http://127.0.0.1:{self._server.server_address[1]}"

    def route(self, path: str, *replies: Reply) -> None:
        self.routes[path] = list(replies)

    def hits_of(self, path: str) -> list[Hit]:
        return [hit for hit in self.hits if hit.path == path]

    def client(self, secret: str = API_SECRET, **options: Any) -> HttpClient:
        options = {"backoff": 0.001, "timeout": 5, **options}
        return HttpClient(self.base_url, API_KEY, secret, **options)

    def __enter__(self) -> Self:
        self._thread.start()
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.closing.set()
        self._server.shutdown()
        self._server.server_close()
        self._thread.join(timeout=5)


class _Handler(BaseHTTPRequestHandler):
    def do_GET(self) -> None:
        script: ScriptedServer = self.server.script  # type: ignore[attr-defined]
        signed = self.headers.get(KEY_HEADER) == API_KEY and verify_signature(
            API_SECRET,
            "GET",
            self.path,
            self.headers.get(TIMESTAMP_HEADER),
            b"",
            self.headers.get(SIGNATURE_HEADER),
            nonce=self.headers.get(NONCE_HEADER),
        )
        path = self.path.split("?")[0]
        script.hits.append(Hit(self.path, signed, dict(self.headers)))
        queue = script.routes.get(path)
        if not queue:
            reply = Reply(404, b"no route")
        else:
            reply = queue.pop(0) if len(queue) > 1 else queue[0]
        if reply.signed_only and not signed:
            reply = Reply(401, b"bad signature")
        time.sleep(reply.delay)
        if reply.stall:
            script.closing.wait()
        body = reply.body if reply.cut_after is None else reply.body[: reply.cut_after]
        try:
            self.send_response(reply.status)
            self.send_header("Content-Length", str(len(reply.body)))
            self.end_headers()
            self.wfile.write(body)
            self.wfile.flush()
        except (BrokenPipeError, ConnectionResetError):  # the client gave up waiting
            pass

    def log_message(self, format: str, *args: Any) -> None:  # keep test output clean
        pass
