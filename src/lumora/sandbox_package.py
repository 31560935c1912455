"""The sandbox's full data package: a prepared-data store written from the builder's full
build of the sandbox market, so the package and every later incremental update come from
one derivation of the same source factors.

``package_writer(client)`` is the callable a ``PackageServer`` runs to build the package:

    server = PackageServer(package_writer(client)).start()
"""

from __future__ import annotations

import contextlib
import os
import threading
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import Any

from lumora import singleton
from lumora.backtest._prepare import BinaryPreparedDataStore, GroupPreparedDataBuilder
from lumora.exceptions import KestrelError
from lumora.logger import logger

__all__ = ["build_payload", "package_writer", "write_package"]

# Builds that must install their client (another one is installed) run one at a time.
_install_lock = threading.Lock()


@contextlib.contextmanager
def _client_installed(client: Any) -> Iterator[None]:
    """The builder reads through the installed SDK client; make it ``client`` for the
    duration (nothing changes when it already is, the usual case after init_sandbox)."""
    try:
        current = singleton.get_instance()
    except KestrelError:
        current = None
    if current is client:
        yield
        return
    with _install_lock:
        previous = singleton.set_instance(client)
        try:
            yield
        finally:
            singleton.set_instance(previous)


def build_payload(client: Any, start: object = None, end: object = None) -> dict[str, Any]:
    """The full-build payload of the sandbox market from ``start`` (the market's first day
    by default) to ``end`` (the client's today by default)."""
    start = client.start if start is None else start
    end = client.today() if end is None else end
    with _client_installed(client):
        return GroupPreparedDataBuilder(start, end).build()


def write_package(
    directory: str | os.PathLike[str], client: Any, start: object = None, end: object = None
) -> None:
    """Write the store of a full build of the sandbox market into ``directory``."""
    logger.debug("sandbox: building the data package of %r", client)
    BinaryPreparedDataStore(Path(directory)).write_payload(build_payload(client, start, end))


def package_writer(client: Any, start: object = None, end: object = None) -> Callable[[Path], None]:
    """The package callable of a ``PackageServer`` serving ``client``'s market."""

    def write(directory: Path) -> None:
        write_package(directory, client, start, end)

    return write
