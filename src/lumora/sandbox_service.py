"""The offline data service: the sandbox market behind the SDK's two data interfaces.

``SandboxClient`` answers the factor and index queries of data preparation from a
deterministic synthetic market (``lumora.sandbox``), in the source conventions of the
cloud factor database: narrow rows of ``date``, exchange-qualified ``ukey``, ``value``
and ``factor``; split coefficients as new shares per ten old shares; cash dividends per
ten shares before tax; suspension and index membership as 1/0 on listed days.

Stable history. The market is generated once from a fixed start date and seed up to a
fixed *horizon* (31 December 2030 by default), far enough ahead of the local date, and
every query is cut at today. So the calendar advances day by day while the value of any
day never depends on when it is asked for. Only when today passes the horizon does the
horizon move on by whole steps of five years, which generates a different market; that
happens once in five years and never within a run that started before the horizon.

``PackageServer`` is the loopback stand-in for the cloud's package download: an HTTP
server on 127.0.0.1 that serves the package descriptor and a gzip tar of a store
directory (inside one top-level folder) to signed requests only.
"""

from __future__ import annotations

import contextlib
import datetime as _dt
import functools
import hashlib
import json
import os
import secrets
import shutil
import socket
import tarfile
import tempfile
import threading
import time
import urllib.parse
from collections.abc import Callable, Iterable
from dataclasses import dataclass
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path
from typing import Any, Self

import numpy as np
import pandas as pd
from tqdm import tqdm

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
from lumora.backtest._store import normalize_yyyymmdd
from lumora.cloud_client import FACTORS_PATH, INDEX_DAILY_PATH, frame_to_json
from lumora.logger import logger
from lumora.sandbox import SandboxMarket, generate_market, trading_calendar

__all__ = ["DEFAULT_HORIZON", "DEFAULT_START", "MarketClient", "PackageServer", "SandboxClient"]

DEFAULT_START = "20180102"
DEFAULT_HORIZON = "20301231"
HORIZON_STEP_YEARS = 5
# Factors that only take small whole values are kept in single precision (exact there).
_COMPACT_FACTORS = frozenset({"rq_industry_exposure_new", "rq_is_suspended"})

Today = str | _dt.date | Callable[[], object] | None


# --------------------------------------------------------------------------- market data


@dataclass(frozen=True)
class _History:
    """The generated market up to the horizon, in the form queries are answered from."""

    dates: np.ndarray  # YYYYMMDD text, ascending
    stamps: np.ndarray  # the same dates as datetime64[ns]
    codes: np.ndarray  # six-digit text
    ukeys: np.ndarray  # exchange-qualified codes
    factors: dict[str, np.ndarray]  # factor name -> dates x stocks, NaN where no value
    index_daily: pd.DataFrame  # date (text), ukey, close, daily_return


def _exchange_code(code: str) -> str:
    return f"{code}.XSHG" if code.startswith("6") else f"{code}.XSHE"


def _effective_horizon(horizon: str, today: str) -> str:
    year = int(horizon[:4])
    while today > horizon:
        year += HORIZON_STEP_YEARS
        horizon = f"{year}1231"
    return horizon


def _market(n_stocks: int, seed: int, start: str, horizon: str) -> SandboxMarket:
    first = _dt.datetime.strptime(start, "%Y%m%d").date()
    last = _dt.datetime.strptime(horizon, "%Y%m%d").date()
    calendar = trading_calendar(start, (last - first).days + 2)
    n_days = sum(1 for day in calendar if day <= horizon)
    logger.debug(
        "sandbox: generating %d stocks x %d days (%s..%s)", n_stocks, n_days, start, horizon
    )
    return generate_market(n_stocks, max(n_days, 2), seed=seed, start=start)


def _kept_until(today: str) -> str:
    """The last date a history is kept to: the end of today's month (queries never reach
    past today, and the history is generated afresh at most once a month)."""
    return today[:6] + "31"


@functools.lru_cache(maxsize=2)
def _history(n_stocks: int, seed: int, start: str, horizon: str, kept_until: str) -> _History:
    """The market generated up to ``horizon`` (so no value depends on the day it is asked
    for), kept up to ``kept_until``."""
    market = _market(n_stocks, seed, start, horizon)
    stop = max(1, int(np.searchsorted(market.dates.to_numpy(), kept_until, side="right")))
    factors: dict[str, np.ndarray] = {}
    # One table at a time: a large market never holds all of them twice.
    for tables in (market.iter_source_tables, market.iter_component_factor_tables):
        for name, frame in tables():
            compact = name in _COMPACT_FACTORS or name.startswith("rq_index_components_new_")
            dtype = np.float32 if compact else np.float64
            factors[name] = frame.iloc[:stop].to_numpy(dtype=dtype, copy=True)
            del frame
    codes = np.array(market.codes.tolist(), dtype=object)
    dates = np.array(market.dates[:stop].tolist(), dtype=object)
    index_daily = market.index_daily()
    index_daily["date"] = index_daily["date"].astype(str)
    index_daily = index_daily[index_daily["date"] <= dates[-1]].reset_index(drop=True)
    return _History(
        dates=dates,
        stamps=pd.to_datetime(dates, format="%Y%m%d").to_numpy(dtype="datetime64[ns]"),
        codes=codes,
        ukeys=np.array([_exchange_code(code) for code in codes], dtype=object),
        factors=factors,
        index_daily=index_daily,
    )


def _names(value: object, what: str) -> list[str]:
    """One name or an iterable of names, de-duplicated in order."""
    names = [value] if isinstance(value, str) else list(value)  # type: ignore[call-overload]
    if not all(isinstance(name, str) for name in names):
        raise TypeError(f"{what} must be text or a list of text, got {value!r}")
    return list(dict.fromkeys(names))


def _empty_factor_frame() -> pd.DataFrame:
    return pd.DataFrame(
        {
            "date": pd.Series(dtype="datetime64[ns]"),
            "ukey": pd.Series(dtype=object),
            "value": pd.Series(dtype=np.float64),
            "factor": pd.Series(dtype=object),
        }
    )


class MarketClient:
    """The SDK client's two queries answered from a market held as date x stock matrices.

    A subclass supplies ``_history()``: the market and the number of its dates that are
    visible now. Factor rows come back with categorical ``ukey`` and ``factor`` columns,
    so the builder groups millions of rows without hashing text.
    """

    def _history(self) -> tuple[_History, int]:
        raise NotImplementedError

    def trading_dates(self) -> list[str]:
        """Trading dates from the start up to today (``YYYYMMDD`` text)."""
        history, stop = self._history()
        return history.dates[:stop].tolist()

    @property
    def codes(self) -> list[str]:
        """The six-digit codes of the market's stocks (listed or yet to list)."""
        return self._history()[0].codes.tolist()

    def _history_from(self, low: str | None) -> tuple[_History, int]:
        """The market for queries from date ``low`` on (a subclass may answer a window)."""
        return self._history()

    def _rows(self, start_date: object, end_date: object) -> tuple[_History, int, int]:
        low = normalize_yyyymmdd(start_date)
        history, stop = self._history_from(low)
        high = normalize_yyyymmdd(end_date)
        lo = 0 if low is None else int(np.searchsorted(history.dates, low, side="left"))
        hi = stop if high is None else min(stop, int(np.searchsorted(history.dates, high, "right")))
        return history, lo, max(lo, hi)

    def get_factors(
        self, factor: str | Iterable[str], start_date: object = None, end_date: object = None
    ) -> pd.DataFrame:
        """Narrow factor rows ``date``, ``ukey``, ``value``, ``factor`` for one factor name
        or a list of them, between the two dates inclusive (any date form, ``None`` for
        open). Rows exist only where the factor has a value; unknown names give no rows."""
        names = _names(factor, "factor")
        history, lo, hi = self._rows(start_date, end_date)
        known = [name for name in names if name in history.factors]
        if hi <= lo or not known:
            return _empty_factor_frame()
        parts: list[tuple[np.ndarray, np.ndarray, np.ndarray, int]] = []
        for code, name in enumerate(known):
            block = history.factors[name][lo:hi]
            rows, cols = np.nonzero(~np.isnan(block))
            parts.append((rows, cols, block[rows, cols].astype(np.float64), code))
        rows = np.concatenate([p[0] for p in parts])
        cols = np.concatenate([p[1] for p in parts])
        factor_codes = np.concatenate([np.full(p[0].size, p[3], dtype=np.int8) for p in parts])
        return pd.DataFrame(
            {
                "date": history.stamps[lo:hi][rows],
                "ukey": pd.Categorical.from_codes(cols, categories=history.ukeys),
                "value": np.concatenate([p[2] for p in parts]),
                "factor": pd.Categorical.from_codes(factor_codes, categories=known),
            }
        )

    def get_factor_matrix(
        self, factor: str, start_date: object = None, end_date: object = None
    ) -> pd.DataFrame | None:
        """One factor between the two dates as a date x stock table (``YYYYMMDD`` rows,
        six-digit columns): the pivot of the rows ``get_factors`` answers, so dates and
        stocks without any value are left out; None for a name without values."""
        history, lo, hi = self._rows(start_date, end_date)
        values = history.factors.get(_names(factor, "factor")[0])
        if values is None or hi <= lo:
            return None
        block = values[lo:hi]
        valid = ~np.isnan(block)
        rows, cols = valid.any(axis=1), valid.any(axis=0)
        del valid
        if not rows.any():
            return None
        if not (rows.all() and cols.all()):
            block = block[np.flatnonzero(rows)[:, None], np.flatnonzero(cols)]
        return pd.DataFrame(
            block,
            index=pd.Index(history.dates[lo:hi][rows], name="DataDate"),
            columns=pd.Index(history.codes[cols], name="ukey"),
            copy=False,
        )

    def get_index_daily(
        self, ukeys: str | Iterable[str], start_date: object = None, end_date: object = None
    ) -> pd.DataFrame:
        """Daily rows ``date``, ``ukey``, ``close``, ``daily_return`` of the benchmark
        indices among ``ukeys`` (for example "000300.XSHG"), between the two dates."""
        wanted = _names(ukeys, "ukeys")
        history, lo, hi = self._rows(start_date, end_date)
        table = history.index_daily
        if hi > lo:
            window = table["date"].between(history.dates[lo], history.dates[hi - 1])
        else:
            window = pd.Series(False, index=table.index)
        parts = [table[window & (table["ukey"] == code)] for code in wanted]
        frame = pd.concat(parts, ignore_index=True) if parts else table.iloc[:0]
        frame = frame.reset_index(drop=True)
        frame["date"] = pd.to_datetime(frame["date"], format="%Y%m%d").astype("datetime64[ns]")
        return frame


class SandboxClient(MarketClient):
    """SDK client of the offline sandbox market.

    Args:
        n_stocks, seed: size and seed of the generated market.
        start: first calendar day of the market (fixed; moving it changes every value).
        horizon: last day generated ahead of time; see the module text.
        today: the local date the calendar is cut at: ``None`` for the real local date
            at each query, a date or date text, or a callable returning one (for tests
            and for replaying a past day).
    """

    def __init__(
        self,
        n_stocks: int = 300,
        seed: int = 0,
        *,
        start: object = DEFAULT_START,
        horizon: object = DEFAULT_HORIZON,
        today: Today = None,
    ) -> None:
        self.n_stocks = int(n_stocks)
        self.seed = int(seed)
        self.start = _required_date(start, "start")
        self.horizon = _required_date(horizon, "horizon")
        if self.horizon < self.start:
            raise ValueError(f"horizon {self.horizon} lies before start {self.start}")
        self._today = today

    def source_identity(self) -> dict[str, str | int]:
        """Which market this client generates: its size, seed and start."""
        return {
            "kind": "sandbox",
            "n_stocks": self.n_stocks,
            "seed": self.seed,
            "start": self.start,
        }

    def __repr__(self) -> str:
        return f"SandboxClient(n_stocks={self.n_stocks}, seed={self.seed}, start={self.start!r})"

    def today(self) -> str:
        """The date queries are cut at, as ``YYYYMMDD`` text."""
        value = self._today() if callable(self._today) else self._today
        return _required_date(_dt.date.today() if value is None else value, "today")

    def _history(self) -> tuple[_History, int]:
        """The market and the number of its dates on or before today."""
        today = self.today()
        horizon = _effective_horizon(self.horizon, today)
        history = _history(self.n_stocks, self.seed, self.start, horizon, _kept_until(today))
        return history, int(np.searchsorted(history.dates, today, side="right"))

    def market(self) -> SandboxMarket:
        """The generated market behind this client (up to its horizon)."""
        today = self.today()
        return _market(
            self.n_stocks, self.seed, self.start, _effective_horizon(self.horizon, today)
        )


def _required_date(value: object, what: str) -> str:
    text = normalize_yyyymmdd(value)
    if text is None:
        raise ValueError(f"{what} must be a date, not None")
    return text


# --------------------------------------------------------------------------- package server

PACKAGE_FOLDER = "enviroment_data"
_WORKDIR_PREFIX = "lumora-package-server-"
# Hostile clients: a request must arrive whole within this many seconds, at most this
# many connections are served at once (others are closed at once), and request bodies
# and timestamps are bounded.
REQUEST_DEADLINE = 30.0
MAX_HANDLERS = 32
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
        data_client: SandboxClient | None = None,
    ) -> None:
        self._package = package
        # When given, the server also answers the cloud factor and index queries.
        self.data_client = data_client
        self.api_key = api_key or f"sandbox-{secrets.token_hex(4)}"
        self.api_secret = api_secret or secrets.token_hex(32)
        self.package_downloads = 0
        self._nonces = _NonceBook(MAX_CLOCK_SKEW)
        self._lock = threading.Lock()
        self._archive: _Archive | None = None
        self._workdir: Path | None = None
        self._claim = contextlib.ExitStack()
        self._server: ThreadingHTTPServer | None = None
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
        server.owner = self  # type: ignore[attr-defined]
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
        if handler.headers.get(KEY_HEADER) != self.api_key or nonce is None:
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
    """The nonces of accepted requests, each kept until its request's timestamp has left
    the window in which the signature is valid: a replay inside the window is refused."""

    def __init__(self, window: float) -> None:
        self._window = window
        self._expiry: dict[str, float] = {}
        self._lock = threading.Lock()

    def first_use(self, nonce: str, timestamp: int) -> bool:
        now = time.time()
        with self._lock:
            if len(self._expiry) > 256:
                self._expiry = {n: t for n, t in self._expiry.items() if t >= now}
            if nonce in self._expiry:
                return False
            self._expiry[nonce] = timestamp + self._window
            return True


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
    """At most ``MAX_HANDLERS`` connections are served at once; one more is closed at
    once rather than given a thread."""

    def __init__(self, *args: Any) -> None:
        super().__init__(*args)
        self._slots = threading.BoundedSemaphore(MAX_HANDLERS)

    def process_request(self, request: Any, client_address: Any) -> None:
        if not self._slots.acquire(blocking=False):
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


class _Handler(BaseHTTPRequestHandler):
    server_version = "lumora-sandbox"
    timeout = 60  # a stalled client does not hold a thread for ever

    def setup(self) -> None:
        super().setup()
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
        return self.server.owner  # type: ignore[attr-defined]

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
            logger.exception("sandbox package build failed")
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
