"""A full build of a data source's market written into a store: the sandbox's package (served
by a ``PackageServer``) and the user's files (written directly into the store's staging)
come from the same builder, one derivation of the same source factors.

``write_package(directory, client)`` writes the store; ``package_writer(client)`` is the
callable a ``PackageServer`` runs to build its package; ``BuiltPackage(client)`` is the
package feed of a session whose source lives on this machine (no archive, no HTTP):

    server = PackageServer(package_writer(client)).start()   # the sandbox
    service = BacktestService(BuiltPackage(source))           # the user's files
"""

from __future__ import annotations

import contextlib
import os
import threading
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import Any

from tqdm import tqdm

from lumora import singleton
from lumora.backtest._pkg import PackageFeed
from lumora.backtest._prepare import BinaryPreparedDataStore, GroupPreparedDataBuilder
from lumora.exceptions import KestrelError
from lumora.logger import logger

__all__ = ["BuiltPackage", "build_payload", "package_writer", "write_package"]

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


def build_payload(
    client: Any,
    start: object = None,
    end: object = None,
    sink: Callable[[str, Any], None] | None = None,
) -> dict[str, Any]:
    """The full-build payload of the client's market from ``start`` (the market's first day
    by default) to ``end`` (the client's today by default). With ``sink`` every data entry
    goes to ``sink(key, value)`` as soon as it is final and the payload keeps version and
    meta only."""
    start = client.start if start is None else start
    end = client.today() if end is None else end
    with _client_installed(client):
        return GroupPreparedDataBuilder(start, end).build(sink=sink)


# Queries of a full build: every source factor, every membership factor, the indices.
_FULL_BUILD_QUERIES = 10 + 5 + 1
# Entries a full build writes: the twelve prepared tables, the five membership masks and
# the benchmark series.
_FULL_BUILD_ENTRIES = 12 + 5 + 1


class _CountedQueries:
    """Forwards to ``client`` and advances ``bar`` after each query (a client that answers
    factors as tables is queried through ``get_factor_matrix``)."""

    _QUERIES = frozenset({"get_factors", "get_factor_matrix", "get_index_daily"})

    def __init__(self, client: Any, bar: tqdm[Any]) -> None:
        self._client = client
        self._bar = bar

    def __getattr__(self, name: str) -> Any:
        attribute = getattr(self._client, name)
        if name not in self._QUERIES:
            return attribute

        def counted(*args: Any, **kwargs: Any) -> Any:
            try:
                return attribute(*args, **kwargs)
            finally:
                self._bar.update(1)

        return counted


def write_package(
    directory: str | os.PathLike[str], client: Any, start: object = None, end: object = None
) -> None:
    """Write the store of a full build of ``client``'s market into ``directory``, with a
    progress bar (one step per query and per written dataset). Each table is written as
    soon as the build has it and is not kept, so the build never holds every table; the
    store is committed only when the build succeeded."""
    logger.debug("building the data package of %r", client)
    with (
        tqdm(
            total=_FULL_BUILD_QUERIES + _FULL_BUILD_ENTRIES,
            desc="building the data package",
            unit="step",
            leave=False,
            disable=None,  # shown on a terminal only
        ) as bar,
        BinaryPreparedDataStore(Path(directory)).payload_writer() as write,
    ):

        def written(key: str, value: Any) -> None:
            bar.set_postfix_str(f"writing {key}", refresh=False)
            write(key, value)
            bar.update(1)

        payload = build_payload(_CountedQueries(client, bar), start, end, sink=written)
        write.finish(payload)
        bar.n = bar.total or 0
        bar.refresh()


def package_writer(client: Any, start: object = None, end: object = None) -> Callable[[Path], None]:
    """The package callable of a ``PackageServer`` serving ``client``'s market."""

    def write(directory: Path) -> None:
        write_package(directory, client, start, end)

    return write


class BuiltPackage(PackageFeed):
    """The full package of a source on this machine, written straight into the staging
    folder of the store it feeds (see ``install_package``): the same staging, checks,
    source record and lock as a download, without an archive or a server, and a problem
    in the source surfaces as the source's own error."""

    def __init__(self, client: Any) -> None:
        self.client = client

    def __repr__(self) -> str:
        return f"BuiltPackage({self.client!r})"

    def deliver(self, folder: Path) -> None:
        write_package(folder, self.client)
