"""Signed HTTP client of the SDK's data service.

Every request to the service carries four headers: the API key, a Unix timestamp in
seconds, a random nonce and an HMAC-SHA256 signature, keyed by the API secret, over

    METHOD \\n request target (path and query, exactly as sent) \\n timestamp \\n SHA-256(body)
    \\n nonce

so the secret itself never travels and a captured request cannot be replayed for another
path or, once the timestamp is stale, at all; a server that remembers the nonces it has
seen within the timestamp window refuses a replay inside it too. ``verify_signature`` is
the server half of the same scheme (a signature without a nonce lacks the last line).

Transient failures (refused or dropped connections, timeouts, 5xx answers, a body cut
short) are retried a bounded number of times with exponential back-off; a 4xx answer is
final at once. When the client gives up it raises ``NetworkError`` naming the request.
The client uses the standard library only (no proxies, no redirects: a 3xx is an error)
and shows a tqdm progress bar for large downloads on a terminal.
"""

from __future__ import annotations

import hashlib
import hmac
import http.client
import json
import secrets
import ssl
import sys
import time
import urllib.parse
from collections.abc import Callable, Mapping
from dataclasses import dataclass
from typing import Any, BinaryIO, Self, TextIO, TypeVar

from tqdm import tqdm

from lumora.exceptions import NetworkError

__all__ = [
    "KEY_HEADER",
    "MAX_CLOCK_SKEW",
    "NONCE_HEADER",
    "SIGNATURE_HEADER",
    "TIMESTAMP_HEADER",
    "HttpClient",
    "HttpStatusError",
    "sign_request",
    "verify_signature",
]

KEY_HEADER = "X-Lumora-Key"
TIMESTAMP_HEADER = "X-Lumora-Timestamp"
SIGNATURE_HEADER = "X-Lumora-Signature"
NONCE_HEADER = "X-Lumora-Nonce"
_MAX_NONCE_LENGTH = 64
MAX_CLOCK_SKEW = 300.0  # seconds a signed request stays valid either side of the server clock

_CHUNK = 256 * 1024
_MAX_JSON_BYTES = 64 * 1024 * 1024
_T = TypeVar("_T")


# --------------------------------------------------------------------------- signatures


def _secret_bytes(api_secret: str | bytes) -> bytes:
    return api_secret if isinstance(api_secret, bytes) else api_secret.encode("utf-8")


def sign_request(
    api_secret: str | bytes,
    method: str,
    target: str,
    timestamp: str,
    body: bytes = b"",
    nonce: str | None = None,
) -> str:
    """Hex HMAC-SHA256 signature of one request; ``target`` is the path with its query."""
    lines = [method.upper(), target, timestamp, hashlib.sha256(body).hexdigest()]
    if nonce is not None:
        lines.append(nonce)
    message = "\n".join(lines).encode("utf-8")
    return hmac.new(_secret_bytes(api_secret), message, hashlib.sha256).hexdigest()


def verify_signature(
    api_secret: str | bytes,
    method: str,
    target: str,
    timestamp: object,
    body: bytes,
    signature: object,
    *,
    now: float | None = None,
    max_skew: float = MAX_CLOCK_SKEW,
    nonce: object = None,
) -> bool:
    """True when ``signature`` signs this request and ``timestamp`` is fresh.

    Malformed input (missing headers, a timestamp that is not whole seconds, a signature
    that is not text) gives False rather than an error, so a server can pass header
    values straight in. The comparison takes constant time.
    """
    if not isinstance(timestamp, str) or not timestamp.isascii() or not timestamp.isdigit():
        return False
    if not isinstance(signature, str) or not signature.isascii():
        return False
    if nonce is not None and (
        not isinstance(nonce, str) or not nonce.isascii() or len(nonce) > _MAX_NONCE_LENGTH
    ):
        return False
    current = time.time() if now is None else now
    if abs(current - int(timestamp)) > max_skew:
        return False
    expected = sign_request(api_secret, method, target, timestamp, body, nonce)
    return hmac.compare_digest(expected, signature.strip().lower())


# --------------------------------------------------------------------------- errors


class HttpStatusError(NetworkError):
    """The service answered with an error status that retrying cannot fix (4xx, 3xx)."""

    def __init__(self, message: str, *, status: int, url: str) -> None:
        super().__init__(message)
        self.status = status
        self.url = url


class _TransientError(Exception):
    """A failure worth another attempt; ``reason`` says what happened."""

    def __init__(self, reason: str) -> None:
        super().__init__(reason)
        self.reason = reason


class _NotRetryable(Exception):
    """A failure after which another attempt would be wrong (output already consumed)."""


def _describe(exc: BaseException) -> str:
    text = str(exc)
    return f"{type(exc).__name__}: {text}" if text else type(exc).__name__


# --------------------------------------------------------------------------- client


@dataclass(frozen=True)
class _Origin:
    scheme: str
    host: str
    port: int
    base_path: str

    @classmethod
    def parse(cls, url: str) -> _Origin:
        parts = urllib.parse.urlsplit(url)
        if parts.scheme not in ("http", "https") or not parts.hostname:
            raise ValueError(f"base_url must be an http(s) URL with a host, got {url!r}")
        default_port = 443 if parts.scheme == "https" else 80
        return cls(parts.scheme, parts.hostname, parts.port or default_port, parts.path.rstrip("/"))

    def same_origin(self, other: _Origin) -> bool:
        return (self.scheme, self.host.lower(), self.port) == (
            other.scheme,
            other.host.lower(),
            other.port,
        )

    def url(self, target: str) -> str:
        host = f"[{self.host}]" if ":" in self.host else self.host
        return f"{self.scheme}://{host}:{self.port}{target}"


class HttpClient:
    """Signed requests to the SDK's data service at ``base_url``.

    Args:
        base_url: ``http(s)://host[:port][/prefix]``; request paths are appended to it.
        api_key, api_secret: the credentials; the secret only keys the signature.
        timeout: seconds allowed for connecting and for each read from the socket.
        max_retries: further attempts after a transient failure (0 disables retries).
        backoff: delay before the first retry; it doubles at every further retry, up to
            ``max_backoff``.
        progress_min_bytes: downloads at least this large show a progress bar, and only
            when ``progress_file`` (standard error by default) is a terminal.
    """

    def __init__(
        self,
        base_url: str,
        api_key: str,
        api_secret: str | bytes,
        timeout: float = 30.0,
        *,
        max_retries: int = 3,
        backoff: float = 0.5,
        max_backoff: float = 8.0,
        progress_min_bytes: int = 4 * 1024 * 1024,
        progress_file: TextIO | None = None,
    ) -> None:
        if not isinstance(api_key, str) or not api_key:
            raise ValueError("api_key must be non-empty text")
        if not isinstance(api_secret, (str, bytes)) or not api_secret:
            raise ValueError("api_secret must be non-empty text or bytes")
        if not timeout > 0:
            raise ValueError(f"timeout must be positive, got {timeout!r}")
        if max_retries < 0:
            raise ValueError(f"max_retries must not be negative, got {max_retries!r}")
        self._origin = _Origin.parse(base_url)
        self.base_url = base_url.rstrip("/")
        self.api_key = api_key
        self._api_secret = api_secret
        self.timeout = float(timeout)
        self.max_retries = int(max_retries)
        self.backoff = float(backoff)
        self.max_backoff = float(max_backoff)
        self.progress_min_bytes = int(progress_min_bytes)
        self.progress_file = progress_file

    def __repr__(self) -> str:  # never shows the secret
        return f"HttpClient({self.base_url!r}, api_key={self.api_key!r})"

    # ---- public requests -----------------------------------------------------------

    def request(
        self,
        method: str,
        path: str,
        *,
        params: Mapping[str, Any] | None = None,
        body: bytes = b"",
        headers: Mapping[str, str] | None = None,
    ) -> bytes:
        """Send one signed request and return the body of its 2xx answer.

        Raises:
            HttpStatusError: on a 4xx (or 3xx) answer, without retrying.
            NetworkError: when every attempt failed transiently.
        """
        origin, target, signed = self._resolve(path, params)
        extra = dict(headers or {})

        def attempt() -> bytes:
            with self._exchange(method, origin, target, body, extra, signed) as response:
                return _read_all(response, _MAX_JSON_BYTES)

        return self._with_retries(method, origin.url(target), attempt)

    def get_json(self, path: str, params: Mapping[str, Any] | None = None) -> Any:
        """GET ``path`` and decode its JSON answer."""
        return self.request_json("GET", path, params=params)

    def request_json(
        self,
        method: str,
        path: str,
        *,
        params: Mapping[str, Any] | None = None,
        payload: Any = None,
    ) -> Any:
        """Send ``payload`` (if any) as JSON and decode the JSON answer."""
        body = b"" if payload is None else json.dumps(payload).encode("utf-8")
        headers = {"Content-Type": "application/json"} if payload is not None else {}
        raw = self.request(method, path, params=params, body=body, headers=headers)
        try:
            return json.loads(raw)
        except ValueError as exc:
            origin, target, _ = self._resolve(path, params)
            raise NetworkError(
                f"{method.upper()} {origin.url(target)} 返回的不是有效的 JSON: {exc}"
            ) from None

    def download(
        self,
        path_or_url: str,
        fileobj: BinaryIO,
        *,
        limit: int | None = None,
        total: int | None = None,
        description: str = "下载",
    ) -> int:
        """Stream a GET answer into ``fileobj`` and return the number of bytes written.

        ``path_or_url`` is a path below ``base_url`` or an absolute http(s) URL; a URL on
        another host is fetched without credentials. At most ``limit`` bytes are read, so
        an oversized answer shows as a count above the size the caller expects. ``total``
        sizes the progress bar when the answer has no length. A failed attempt is retried
        from the start when ``fileobj`` can seek back; otherwise it is final.
        """
        origin, target, signed = self._resolve(path_or_url, None)
        url = origin.url(target)
        start = fileobj.tell() if fileobj.seekable() else None

        def attempt() -> int:
            if start is not None:
                fileobj.seek(start)
                fileobj.truncate()
            with self._exchange("GET", origin, target, b"", {}, signed) as response:
                try:
                    return self._stream(response, fileobj, limit, total, description)
                except _TransientError as exc:
                    if start is None:  # bytes already handed on cannot be taken back
                        raise _NotRetryable(exc.reason) from None
                    raise

        return self._with_retries("GET", url, attempt)

    # ---- attempts and retries ------------------------------------------------------

    def _with_retries(self, method: str, url: str, attempt: Callable[[], _T]) -> _T:
        failures: list[str] = []
        for number in range(self.max_retries + 1):
            try:
                return attempt()
            except _TransientError as exc:
                failures.append(exc.reason)
            except _NotRetryable as exc:
                raise NetworkError(f"{method} {url} 失败: {exc}") from None
            if number < self.max_retries:
                time.sleep(min(self.backoff * 2**number, self.max_backoff))
        raise NetworkError(
            f"{method} {url} 失败,已尝试 {len(failures)} 次,最后一次: {failures[-1]}"
        )

    def _resolve(
        self, path_or_url: str, params: Mapping[str, Any] | None
    ) -> tuple[_Origin, str, bool]:
        """(origin, request target, whether to sign) of a path or absolute URL."""
        parts = urllib.parse.urlsplit(path_or_url)
        if parts.scheme or parts.netloc:
            origin = _Origin.parse(path_or_url)
            path, query = parts.path or "/", parts.query
            signed = origin.same_origin(self._origin)
        else:
            if not path_or_url.startswith("/"):
                raise ValueError(f"request path must start with '/', got {path_or_url!r}")
            origin, signed = self._origin, True
            path, query = self._origin.base_path + parts.path, parts.query
        if params:
            extra = urllib.parse.urlencode(list(params.items()), doseq=True)
            query = f"{query}&{extra}" if query else extra
        return origin, f"{path}?{query}" if query else path, signed

    def _signature_headers(self, method: str, target: str, body: bytes) -> dict[str, str]:
        timestamp = str(int(time.time()))
        nonce = secrets.token_hex(16)
        return {
            KEY_HEADER: self.api_key,
            TIMESTAMP_HEADER: timestamp,
            NONCE_HEADER: nonce,
            SIGNATURE_HEADER: sign_request(
                self._api_secret, method, target, timestamp, body, nonce
            ),
        }

    def _connect(self, origin: _Origin) -> http.client.HTTPConnection:
        if origin.scheme == "https":
            return http.client.HTTPSConnection(
                origin.host, origin.port, timeout=self.timeout, context=ssl.create_default_context()
            )
        return http.client.HTTPConnection(origin.host, origin.port, timeout=self.timeout)

    def _exchange(
        self,
        method: str,
        origin: _Origin,
        target: str,
        body: bytes,
        headers: dict[str, str],
        signed: bool,
    ) -> _Response:
        """Send one request; a 2xx answer is returned open, anything else raises."""
        method = method.upper()
        sent = {"Accept-Encoding": "identity", "User-Agent": "lumora-sdk", **headers}
        if signed:  # fresh timestamp per attempt, so a retry is never stale
            sent.update(self._signature_headers(method, target, body))
        connection = self._connect(origin)
        try:
            connection.request(method, target, body=body or None, headers=sent)
            response = connection.getresponse()
        except ssl.SSLCertVerificationError as exc:
            connection.close()
            raise _NotRetryable(_describe(exc)) from None
        except (OSError, http.client.HTTPException) as exc:
            connection.close()
            raise _TransientError(_describe(exc)) from None
        if 200 <= response.status < 300:
            return _Response(connection, response)
        detail = _error_detail(response)
        connection.close()
        reason = f"HTTP {response.status} {response.reason}{detail}"
        if response.status >= 500:
            raise _TransientError(reason)
        hint = {401: ",请检查 api_key / api_secret", 403: ",请检查 api_key / api_secret"}.get(
            response.status, ",不支持重定向" if response.status < 400 else ""
        )
        url = origin.url(target)
        raise HttpStatusError(
            f"{method} {url} 被服务拒绝: {reason}{hint}", status=response.status, url=url
        )

    def _stream(
        self,
        response: _Response,
        fileobj: BinaryIO,
        limit: int | None,
        total: int | None,
        description: str,
    ) -> int:
        length = response.length
        bar_total = length if length is not None else total
        stream = self.progress_file if self.progress_file is not None else sys.stderr
        isatty = getattr(stream, "isatty", None)
        show = bool(isatty and isatty()) and (
            bar_total is None or bar_total >= self.progress_min_bytes
        )
        written = 0
        with tqdm(
            total=bar_total,
            desc=description,
            unit="B",
            unit_scale=True,
            unit_divisor=1024,
            file=stream,
            disable=not show,
            leave=True,
        ) as bar:
            while limit is None or written < limit:
                want = _CHUNK if limit is None else min(_CHUNK, limit - written)
                chunk = response.read(want)
                if not chunk:
                    break
                fileobj.write(chunk)  # a local write error is not a network failure
                written += len(chunk)
                bar.update(len(chunk))
        stopped_by_limit = limit is not None and written >= limit
        if length is not None and written < length and not stopped_by_limit:
            raise _TransientError(f"连接中断,只收到 {written} / {length} 字节")
        return written


class _Response:
    """An open 2xx answer; network errors while reading become ``_TransientError``."""

    def __init__(self, connection: http.client.HTTPConnection, response: Any) -> None:
        self._connection = connection
        self._response = response
        self.length: int | None = response.length

    def read(self, amount: int) -> bytes:
        try:
            data: bytes = self._response.read(amount)
            return data
        except (OSError, http.client.HTTPException) as exc:
            raise _TransientError(_describe(exc)) from None

    def __enter__(self) -> Self:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self._connection.close()


def _read_all(response: _Response, limit: int) -> bytes:
    parts: list[bytes] = []
    size = 0
    while True:
        chunk = response.read(_CHUNK)
        if not chunk:
            break
        size += len(chunk)
        if size > limit:
            raise _NotRetryable(f"应答超过 {limit} 字节")
        parts.append(chunk)
    if response.length is not None and size < response.length:
        raise _TransientError(f"连接中断,只收到 {size} / {response.length} 字节")
    return b"".join(parts)


def _error_detail(response: Any) -> str:
    """A short excerpt of an error answer's body, for the message."""
    try:
        text = response.read(512).decode("utf-8", "replace").strip()
    except (OSError, http.client.HTTPException):
        return ""
    return f" ({text[:200]})" if text else ""
