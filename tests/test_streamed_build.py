"""The full build written table by table: the store a streamed build commits equals the
store of the whole payload, the builder keeps nothing it handed over, and a build that
fails midway leaves the previous store byte for byte as it was."""

from __future__ import annotations

import gc
import weakref
from pathlib import Path

import pandas as pd
import pytest

from lumora.backtest._full_build import build_payload, write_package
from lumora.backtest._prepare import COMPONENT_FACTOR_NAMES, BinaryPreparedDataStore
from lumora.sources.sandbox.client import SandboxClient

MARKET = {"n_stocks": 30, "seed": 5, "start": "20240102"}
T0, T1 = "20240614", "20240628"
STAMPS = {"created_at", "updated_at"}


def snapshot(root: Path) -> dict[str, bytes]:
    return {p.name: p.read_bytes() for p in sorted(root.iterdir()) if p.is_file()}


def contents(directory: Path) -> tuple[dict, dict, dict]:
    """Datasets as (labels, checksums) per key, the loaded tables, the meta without stamps."""
    store = BinaryPreparedDataStore(directory)
    metadata = store.load_metadata()
    records = {
        key: (record["index"], record.get("columns"), [s["xxh3_128"] for s in record["segments"]])
        for key, record in metadata["datasets"].items()
    }
    meta = {k: v for k, v in metadata["meta"].items() if k not in STAMPS}
    return records, store.load(mmap=False)["data"], {**meta, "version": metadata["version"]}


def test_streamed_store_equals_the_whole_payload_store_and_nothing_handed_over_is_kept(
    tmp_path,
):
    client = SandboxClient(**MARKET, today=T1)
    whole = tmp_path / "whole"
    BinaryPreparedDataStore(whole).write_payload(build_payload(client))
    streamed = tmp_path / "streamed"
    write_package(streamed, client)

    want_records, want_data, want_meta = contents(whole)
    got_records, got_data, got_meta = contents(streamed)
    assert list(got_records) == list(want_records)  # the same datasets, listed alike
    assert got_records == want_records  # labels and content checksums of every segment
    assert got_meta == want_meta
    assert list(got_data) == list(want_data)
    for key, table in want_data.items():
        if key == "benchmark_dict":
            assert list(got_data[key]) == list(table) == ["000852", "000300", "000905"]
            for code, series in table.items():
                pd.testing.assert_series_equal(got_data[key][code], series, check_exact=True)
        else:
            pd.testing.assert_frame_equal(got_data[key], table, check_exact=True, obj=key)

    # Each entry goes to the sink once; by the next one the builder holds no reference to
    # any table handed over (the sink here keeps only weak references).
    handed: dict[str, weakref.ref | None] = {}

    def sink(key: str, value: object) -> None:
        gc.collect()
        alive = [k for k, ref in handed.items() if ref is not None and ref() is not None]
        assert alive == [], f"still held when {key} arrived: {alive}"
        assert key not in handed
        handed[key] = weakref.ref(value) if isinstance(value, pd.DataFrame) else None

    payload = build_payload(client, sink=sink)
    assert not payload["data"]
    assert set(handed) == set(want_records) - {
        f"benchmark__{code}" for code in want_data["benchmark_dict"]
    } | {"benchmark_dict"}
    assert {k for k in payload["meta"] if k in STAMPS} == {"created_at"}


class _FailingClient:
    """The sandbox client, failing (or answering nothing) at the membership query ``at``."""

    def __init__(self, client: SandboxClient, name: str, empty: bool) -> None:
        self._client, self._name, self._empty = client, name, empty

    def __getattr__(self, attribute: str):
        return getattr(self._client, attribute)

    def get_factor_matrix(self, factor: str, *args, **kwargs):
        if factor == self._name:
            if self._empty:
                return None
            raise OSError("source went away")
        return self._client.get_factor_matrix(factor, *args, **kwargs)


@pytest.mark.parametrize("failure", ["sink", "source", "missing membership", "no finish"])
def test_a_build_failing_midway_leaves_the_previous_store_as_it_was(tmp_path, failure):
    directory = tmp_path / "store"
    write_package(directory, SandboxClient(**MARKET, today=T0))
    before = snapshot(directory)
    loaded_before = BinaryPreparedDataStore(directory).load(mmap=False)["data"]
    client = SandboxClient(**MARKET, today=T1)
    store = BinaryPreparedDataStore(directory)
    written: list[str] = []

    if failure in ("source", "missing membership"):
        broken = _FailingClient(client, COMPONENT_FACTOR_NAMES[3], empty=failure != "source")
        expected = OSError if failure == "source" else ValueError
        with pytest.raises(expected, match="source went away|成分股矩阵缺失"):
            write_package(directory, broken)
    else:

        def sink(key: str, value: object) -> None:
            if failure == "sink" and len(written) == 11:
                raise OSError("disk full")
            write(key, value)
            written.append(key)

        with (
            pytest.raises((RuntimeError, OSError), match="disk full|without finish"),
            store.payload_writer() as write,
        ):
            build_payload(client, sink=sink)
        assert len(written) == (11 if failure == "sink" else 18)

    assert snapshot(directory) == before  # no file added, changed or left behind
    loaded = BinaryPreparedDataStore(directory).load(mmap=False)["data"]
    assert loaded["close_price"].index[-1] == T0
    for key, table in loaded_before.items():
        if key != "benchmark_dict":
            pd.testing.assert_frame_equal(loaded[key], table, check_exact=True, obj=key)
