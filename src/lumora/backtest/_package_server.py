"""The loopback stand-in for the cloud's package download.

``PackageServer`` is an HTTP server on 127.0.0.1 that serves the package descriptor and a
gzip tar of a store directory (inside one top-level folder) to signed requests only; with
a data client it also answers the cloud's factor and index queries. The sandbox session
downloads its package through it, so the package protocol is exercised end to end.
"""

from __future__ import annotations

import contextlib
import hashlib
import heapq
import json
import os
import secrets
import shutil
import socket
import sys
import tarfile
import tempfile
import threading
import time
import urllib.parse
from collections.abc import Callable
from dataclasses import dataclass
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path
from typing import TYPE_CHECKING, Any, Self

from tqdm import tqdm

from lumora._cloud_wire import FACTORS_PATH, INDEX_DAILY_PATH, frame_to_json
from lumora._http import (
    KEY_HEADER,
    MAX_CLOCK_SKEW,
    NONCE_HEADER,
    SIGNATURE_HEADER,
    TIMESTAMP_HEADER,
    HttpClient,
    verify_signature,
)
from lumora.backtest._pkg import PACKAGE_DESCRIPTOR_PATH, claimed_folder, remove_abandoned
from lumora.logger import logger

if TYPE_CHECKING:
    from lumora.sources.base import DataSource

__all__ = ["PACKAGE_FOLDER", "PackageServer"]

PACKAGE_FOLDER = "enviroment_data"
_WORKDIR_PREFIX = "lumora-package-server-"
# Hostile clients: a request must arrive whole within this many seconds, at most this
# many connections are served at once, and request bodies and timestamps are bounded.
REQUEST_DEADLINE = 30.0
MAX_HANDLERS = 32
# A connection that sends nothing for this many seconds while its request is read is
# closed, so idle connections cannot hold the handlers. One that arrives while every
# handler is busy waits this long for a free one (an idle connection frees its handler
# within IDLE_TIMEOUT), then is closed. Writing the answer may stall longer.
IDLE_TIMEOUT = 2.0
SLOT_WAIT = 5.0
ANSWER_TIMEOUT = 60.0
# The nonce book keeps at most this many nonces (about 200 bytes each).
MAX_NONCES = 4096
_MAX_BODY = 1 << 20
_MAX_TIMESTAMP_DIGITS = 20
PackageSource = str | os.PathLike[str] | Callable[[Path], object]


@dataclass(frozen=True)
class _Archive:
    path: Path
    size: int
    sha256: str


class PackageServer:
    """Serves the full data package on 127.0.0.1 at a port the system picks.

    ``package`` is a store directory or a callable that writes one into the (empty)
    directory it is given; it runs at the first descriptor request, and the archive is
    kept until ``refresh()``. Requests must carry a valid signature of one of the
    server's credentials (``api_key`` / ``api_secret``, random unless given); others get
    401. Use as a context manager or call ``start()`` and ``stop()``.
    """

    def __init__(
        self,
        package: PackageSource,
        *,
        api_key: str | None = None,
        api_secret: str | None = None,
        data_client: DataSource | None = None,
    ) -> None:
        self._package = package
        # When given, the server also answers the cloud factor and index queries.
        self.data_client = data_client
        self.api_key = api_key or f"sandbox-{secrets.token_hex(4)}"
        self.api_secret = api_secret or secrets.token_hex(32)
        self.package_downloads = 0
        self._nonces = _NonceBook(MAX_CLOCK_SKEW, MAX_NONCES)
        self._lock = threading.Lock()
        self._archive: _Archive | None = None
        self._workdir: Path | None = None
        self._claim = contextlib.ExitStack()
        self._server: _BoundedServer | None = None
        self._thread: threading.Thread | None = None

    # ---- lifecycle -----------------------------------------------------------------

    @property
    def base_url(self) -> str:
        if self._server is None:
            raise RuntimeError("the package server is not running")
        host, port = self._server.server_address[:2]
        return f"http://{host}:{port}"

    def start(self) -> Self:
        if self._server is not None:
            raise RuntimeError("the package server is already running")
        # The working folder holds the whole archive; one left by a killed session is
        # removed here, by the next server that starts.
        temp = Path(tempfile.gettempdir())
        remove_abandoned(temp, f"{_WORKDIR_PREFIX}*")
        self._workdir = self._claim.enter_context(claimed_folder(temp, _WORKDIR_PREFIX))
        server = _BoundedServer(("127.0.0.1", 0), _Handler)
        server.daemon_threads = True
        server.owner = self
        self._server = server
        self._thread = threading.Thread(
            target=server.serve_forever,
            kwargs={"poll_interval": 0.1},
            name="lumora-package-server",
            daemon=True,
        )
        self._thread.start()
        return self

    def stop(self) -> None:
        server, thread, self._server, self._thread = self._server, self._thread, None, None
        if server is not None:
            server.shutdown()
            server.server_close()
        if thread is not None:
            thread.join(timeout=10)
        with self._lock:
            self._archive = None
            self._workdir = None
            self._claim.close()

    def __enter__(self) -> Self:
        return self.start()

    def __exit__(self, *exc_info: object) -> None:
        self.stop()

    def http_client(self, **options: Any) -> HttpClient:
        """A signed client of this server (options as for ``HttpClient``)."""
        return HttpClient(self.base_url, self.api_key, self.api_secret, **options)

    def refresh(self) -> None:
        """Build the package afresh at the next request."""
        with self._lock:
            self._archive = None

    # ---- package -------------------------------------------------------------------

    def archive(self) -> _Archive:
        """The package archive, built at the first call."""
        with self._lock:
            if self._archive is None:
                if self._workdir is None:
                    raise RuntimeError("the package server is not running")
                self._archive = _build_archive(self._package, self._workdir)
            return self._archive

    def served_archive(self, path: str) -> _Archive | None:
        """The archive at request path ``path``, counted as a download; None if there is
        none (not built yet, or replaced since its descriptor was read)."""
        with self._lock:
            archive = self._archive
            if archive is None or path != _archive_path(archive):
                return None
            self.package_downloads += 1
            return archive

    def authorised(self, handler: BaseHTTPRequestHandler, body: bytes) -> bool:
        """A valid signature of a request whose nonce has not been seen before."""
        nonce = handler.headers.get(NONCE_HEADER)
        timestamp = handler.headers.get(TIMESTAMP_HEADER)
        if handler.headers.get(KEY_HEADER) != self.api_key or nonce is None or timestamp is None:
            return False
        signed = verify_signature(
            self.api_secret,
            handler.command,
            handler.path,
            timestamp,
            body,
            handler.headers.get(SIGNATURE_HEADER),
            nonce=nonce,
        )
        return signed and self._nonces.first_use(nonce, int(timestamp))


class _NonceBook:
    """The nonces of accepted requests, so that a replay inside the window in which its
    signature is valid is refused.

    A nonce is forgotten once its request's timestamp has left the window (the signature
    check refuses such a replay by itself), or, with more than ``capacity`` nonces held,
    oldest timestamp first. Every request stamped no later than the newest forgotten
    timestamp is refused from then on, as its nonce might be one forgotten: replays stay
    refused, and only a burst of more than ``capacity`` requests within one second can
    turn a fresh request away. Each request costs O(log n) in the number held.
    """

    def __init__(
        self, window: float, capacity: int, clock: Callable[[], float] = time.time
    ) -> None:
        self._window = window
        self._capacity = capacity
        self._clock = clock
        self._oldest_first: list[tuple[int, str]] = []  # a heap of (timestamp, nonce)
        self._held: set[str] = set()
        self._floor: float = float("-inf")  # the newest timestamp forgotten
        self._lock = threading.Lock()

    def __len__(self) -> int:
        return len(self._held)

    def first_use(self, nonce: str, timestamp: int) -> bool:
        with self._lock:
            horizon = self._clock() - self._window
            while self._oldest_first and self._oldest_first[0][0] < horizon:
                self._forget_oldest()
            if timestamp <= self._floor or nonce in self._held:
                return False
            heapq.heappush(self._oldest_first, (timestamp, nonce))
            self._held.add(nonce)
            while len(self._held) > self._capacity:
                self._forget_oldest()
            return True

    def _forget_oldest(self) -> None:
        timestamp, nonce = heapq.heappop(self._oldest_first)
        self._held.discard(nonce)
        self._floor = max(self._floor, timestamp)


def _archive_path(archive: _Archive) -> str:
    return f"{PACKAGE_DESCRIPTOR_PATH}/{archive.sha256}.tar.gz"


def _plain_member(member: tarfile.TarInfo) -> tarfile.TarInfo | None:
    """Only files and directories go into a package, with neutral ownership."""
    if not (member.isreg() or member.isdir()):
        return None
    member.uid = member.gid = 0
    member.uname = member.gname = ""
    return member


def _add_with_progress(tar: tarfile.TarFile, source: Path) -> None:
    """The store directory under PACKAGE_FOLDER, file by file, with a progress bar of
    the bytes packed (shown on a terminal)."""
    members = sorted(source.rglob("*"))
    total = sum(p.stat().st_size for p in members if p.is_file())
    tar.add(source, arcname=PACKAGE_FOLDER, recursive=False, filter=_plain_member)
    with tqdm(
        total=total, desc="packing the data package", unit="B", unit_scale=True, disable=None
    ) as bar:
        for member in members:
            name = f"{PACKAGE_FOLDER}/{member.relative_to(source).as_posix()}"
            tar.add(member, arcname=name, recursive=False, filter=_plain_member)
            if member.is_file():
                bar.update(member.stat().st_size)


def _build_archive(package: PackageSource, workdir: Path) -> _Archive:
    build = Path(tempfile.mkdtemp(prefix="build-", dir=workdir))
    try:
        if callable(package):
            source = build / PACKAGE_FOLDER
            source.mkdir()
            package(source)
        else:
            source = Path(package)
            if not source.is_dir():
                raise FileNotFoundError(f"package directory not found: {source}")
        handle, name = tempfile.mkstemp(prefix="package-", suffix=".tar.gz", dir=workdir)
        os.close(handle)
        path = Path(name)
        # Stored, not compressed: on loopback, compressing and unpacking a large store
        # took several times longer than sending its bytes.
        with tarfile.open(path, "w:gz", compresslevel=0) as tar:
            _add_with_progress(tar, source)
    finally:
        shutil.rmtree(build, ignore_errors=True)
    digest = hashlib.sha256()
    with open(path, "rb") as fh:
        while chunk := fh.read(1 << 20):
            digest.update(chunk)
    return _Archive(path, path.stat().st_size, digest.hexdigest())


class _BoundedServer(ThreadingHTTPServer):
    """At most ``MAX_HANDLERS`` connections are served at once; one more waits up to
    ``SLOT_WAIT`` seconds for a handler to free, then is closed rather than given a
    thread."""

    # Connections the system holds for us while the accepting thread waits for a handler.
    request_queue_size = 64

    server_address: tuple[str, int]  # an IPv4 address (bound to 127.0.0.1)
    owner: PackageServer

    def __init__(self, *args: Any) -> None:
        super().__init__(*args)
        self._slots = threading.BoundedSemaphore(MAX_HANDLERS)

    def process_request(self, request: Any, client_address: Any) -> None:
        if not self._slots.acquire(timeout=SLOT_WAIT):
            self.shutdown_request(request)
            return
        try:
            super().process_request(request, client_address)
        except BaseException:
            self._slots.release()
            raise

    def process_request_thread(self, request: Any, client_address: Any) -> None:
        try:
            super().process_request_thread(request, client_address)
        finally:
            self._slots.release()

    def handle_error(self, request: Any, client_address: Any) -> None:
        """A failed request costs at most one warning line, never a traceback on the
        user's terminal (the standard server prints one per request, hundreds under a
        hostile client): a client that hangs up is logged at debug level only, and the
        traceback of any failure is kept at debug level."""
        error = sys.exc_info()[1]
        host = client_address[0] if isinstance(client_address, tuple) else client_address
        if isinstance(error, (ConnectionError, TimeoutError)):
            logger.debug("sandbox package server: connection from %s ended: %r", host, error)
        else:
            logger.warning("sandbox package server: a request from %s failed: %r", host, error)
        logger.debug("sandbox package server: where the request failed", exc_info=error)


class _Handler(BaseHTTPRequestHandler):
    server: _BoundedServer
    server_version = "lumora-sandbox"
    # Reading the request: silence longer than IDLE_TIMEOUT ends the connection (the
    # standard handler logs "Request timed out" and closes it).
    timeout = None

    def setup(self) -> None:
        super().setup()
        self.connection.settimeout(IDLE_TIMEOUT)
        # A client that trickles its request is cut off once the deadline passes.
        self._deadline = threading.Timer(REQUEST_DEADLINE, self._cut_off)
        self._deadline.daemon = True
        self._deadline.start()

    def _cut_off(self) -> None:
        with contextlib.suppress(OSError):
            self.connection.shutdown(socket.SHUT_RDWR)

    def finish(self) -> None:
        self._deadline.cancel()
        super().finish()

    @property
    def owner(self) -> PackageServer:
        return self.server.owner

    def _authorised_request(self) -> tuple[str, bytes] | None:
        """The path and body of a signed request; None (an answer sent) for any other."""
        length_text = (self.headers.get("Content-Length") or "0").strip()
        if not length_text.isascii() or not length_text.isdigit() or len(length_text) > 9:
            self._send_json(400, {"error": "malformed Content-Length"})
            return None
        length = int(length_text)
        timestamp = self.headers.get(TIMESTAMP_HEADER) or ""
        if length > _MAX_BODY or len(timestamp) > _MAX_TIMESTAMP_DIGITS:
            self._send_json(400, {"error": "request body or timestamp too long"})
            return None
        body = self.rfile.read(length) if length > 0 else b""
        self._deadline.cancel()  # the request is in; answering is not bounded by it
        self.connection.settimeout(ANSWER_TIMEOUT)  # a stalled reader still lets go
        if len(body) != length:
            return None  # the client went away or was cut off
        if not self.owner.authorised(self, body):
            self._send_json(401, {"error": "missing or invalid signature"})
            return None
        return urllib.parse.urlsplit(self.path).path, body

    def do_GET(self) -> None:
        request = self._authorised_request()
        if request is None:
            return
        path, _ = request
        if path == PACKAGE_DESCRIPTOR_PATH:
            self._send_descriptor()
        elif path.startswith(PACKAGE_DESCRIPTOR_PATH + "/"):
            self._send_archive(path)
        else:
            self._send_json(404, {"error": f"no such resource: {path}"})

    def do_POST(self) -> None:
        request = self._authorised_request()
        if request is None:
            return
        path, body = request
        client = self.owner.data_client
        if client is None or path not in (FACTORS_PATH, INDEX_DAILY_PATH):
            self._send_json(404, {"error": f"no such resource: {path}"})
            return
        try:
            query = json.loads(body.decode("utf-8"))
            if path == FACTORS_PATH:
                frame = client.get_factors(
                    factor=query["factor"],
                    start_date=query["start_date"],
                    end_date=query["end_date"],
                )
            else:
                frame = client.get_index_daily(
                    ukeys=query["ukeys"], start_date=query["start_date"], end_date=query["end_date"]
                )
        except (ValueError, KeyError, TypeError) as exc:
            self._send_json(400, {"error": f"bad query: {exc}"})
            return
        self._send_json(200, frame_to_json(frame))

    def _send_descriptor(self) -> None:
        try:
            archive = self.owner.archive()
        except Exception as exc:  # noqa: BLE001 - any build failure is answered with 500
            logger.warning("sandbox package build failed: %r", exc)
            logger.debug("sandbox package build failed here", exc_info=exc)
            self._send_json(500, {"error": f"package build failed: {exc}"})
            return
        host, port = self.server.server_address[:2]
        url = f"http://{host}:{port}{_archive_path(archive)}"
        self._send_json(200, {"url": url, "size": archive.size, "sha256": archive.sha256})

    def _send_archive(self, path: str) -> None:
        archive = self.owner.served_archive(path)
        if archive is None:
            self._send_json(404, {"error": "unknown or outdated package"})
            return
        self.send_response(200)
        self.send_header("Content-Type", "application/gzip")
        self.send_header("Content-Length", str(archive.size))
        self.end_headers()
        try:
            with open(archive.path, "rb") as fh:
                shutil.copyfileobj(fh, self.wfile, 1 << 20)
        except (BrokenPipeError, ConnectionResetError):
            logger.debug("sandbox package download aborted by the client")

    def _send_json(self, status: int, payload: dict[str, Any]) -> None:
        body = json.dumps(payload).encode("utf-8")
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, format: str, *args: Any) -> None:
        logger.debug("sandbox package server: " + format, *args)
