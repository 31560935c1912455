"""The dataset catalogue of lumora.backtest._prepare and its component-extended store."""

from __future__ import annotations

import numpy as np
import pandas as pd
import pytest

from lumora._dataset_keys import component_dataset_key
from lumora.backtest import _prepare
from lumora.backtest._prepare import BinaryPreparedDataStore
from lumora.backtest._store import BinaryPreparedDataStoreBase
from lumora.sandbox import generate_market

# The twelve datasets every backtest reads, in the order the store lists them, as the
# documentation states them (the sandbox takes its names from the catalogue).
BASE_KEYS = [
    "industry_matrix",
    "close_price",
    "open_price",
    "close_price_valid",
    "prev_close",
    "buy_price",
    "sell_price",
    "rq_get_split",
    "rq_get_dividend",
    "can_buy_stock",
    "cant_sell_stock",
    "forward_return_rank_cache",
]
NAMES = list(_prepare.COMPONENT_FACTOR_NAMES)


def test_every_catalogue_dataset_is_stored_and_loaded_as_stated(tmp_path):
    """A store of the sandbox market, every table handed over as floats: each dataset the
    catalogue lists comes back with its stated storage dtype, its shape and its values,
    beside one series per benchmark code, under the catalogue's data version."""
    market = generate_market(20, 30, seed=2).dataset_tables()
    store = BinaryPreparedDataStore(tmp_path)
    assert list(store.matrix_dtype) == [*BASE_KEYS, *map(component_dataset_key, NAMES)]
    assert list(market) == [*store.matrix_dtype, "benchmark_dict"]
    stated = {_prepare.FLOAT_STORAGE_DTYPE: np.float64, _prepare.BOOL_STORAGE_DTYPE: np.bool_}
    assert set(store.matrix_dtype.values()) == set(stated)

    as_floats = {k: v if k == "benchmark_dict" else v.astype(float) for k, v in market.items()}
    store.write_payload({"version": _prepare.PREPARED_DATA_VERSION, "meta": {}, "data": as_floats})
    loaded = store.load(mmap=False)["data"]
    for key, dtype in store.matrix_dtype.items():
        assert set(loaded[key].dtypes) == {np.dtype(stated[dtype])}, key
        pd.testing.assert_frame_equal(loaded[key], market[key], check_dtype=False, obj=key)
    assert list(loaded["benchmark_dict"]) == list(_prepare.BENCHMARK_INDEX_CODES)
    assert store.load_metadata()["version"] == store.data_version == _prepare.PREPARED_DATA_VERSION


@pytest.mark.parametrize(
    ("raw", "expected"),
    [
        (None, []),
        ("", []),
        ("a, b；c", ["a", "b", "c"]),
        ("a，b;c\nd", ["a", "b", "c", "d"]),
        ("x,,x", ["x", "x"]),
        (["a", " b "], ["a", "b"]),
        ([1, " "], ["1"]),
        (("\u3000a\u3000", "b\xa0"), ["a", "b"]),  # blanks of a Chinese input method
        (iter(["q"]), ["q"]),
    ],
)
def test_parse_name_list(raw, expected):
    assert _prepare.parse_name_list(raw) == expected


def test_parse_name_list_rejects_non_iterables():
    with pytest.raises(TypeError):
        _prepare.parse_name_list(5)


def test_build_matrix_dtype():
    full = _prepare.build_matrix_dtype()
    assert list(full)[:12] == BASE_KEYS
    assert list(full)[12:] == [component_dataset_key(n) for n in NAMES]
    assert all(full[component_dataset_key(n)] == "float64" for n in NAMES)
    assert _prepare.build_matrix_dtype([]) == _prepare.BASE_MATRIX_DTYPE
    assert list(_prepare.build_matrix_dtype("b, a, b"))[12:] == [
        component_dataset_key("b"),
        component_dataset_key("a"),
    ]
    full["close_price"] = "bool"
    assert _prepare.BASE_MATRIX_DTYPE["close_price"] == "float64"
    assert _prepare.get_component_factor_names() == NAMES
    assert _prepare.get_component_factor_names() is not _prepare.get_component_factor_names()


def test_series_to_yyyymmdd():
    out = _prepare.series_to_yyyymmdd(["2024-01-02", "no date"])
    assert out.iloc[0] == "20240102" and pd.isna(out.iloc[1])
    indexed = pd.Series(["2024-02-29"], index=["k"])
    assert _prepare.series_to_yyyymmdd(indexed).to_dict() == {"k": "20240229"}


# --------------------------------------------------------------------------- store


@pytest.fixture
def market_tables() -> dict:
    return generate_market(20, 30, seed=2).dataset_tables()


def base_payload(tables: dict) -> dict:
    data = {k: v for k, v in tables.items() if not k.startswith("component__")}
    return {"version": 1, "meta": {}, "data": data}


def test_store_class_and_catalogue(tmp_path):
    store = BinaryPreparedDataStore(str(tmp_path), "n1，n2")
    assert isinstance(store, BinaryPreparedDataStoreBase)
    assert store.store_dir == tmp_path and store.data_version == 1
    assert list(store.matrix_dtype)[12:] == [
        component_dataset_key("n1"),
        component_dataset_key("n2"),
    ]
    assert not list(tmp_path.iterdir())  # constructing touches nothing


def test_load_reads_only_stored_catalogue_datasets(tmp_path, market_tables):
    store = BinaryPreparedDataStore(tmp_path)
    store.write_payload(base_payload(market_tables))
    assert [k for k in store.load()["data"] if k != "benchmark_dict"] == BASE_KEYS
    assert list(store.load(keys=["close_price"])["data"]) == ["close_price", "benchmark_dict"]
    with pytest.raises(KeyError):
        store.load(keys=[component_dataset_key(NAMES[0])])  # passed on unchanged


def test_add_component_matrices(tmp_path, market_tables):
    store = BinaryPreparedDataStore(tmp_path)
    store.write_payload(base_payload(market_tables))
    comps = {n: market_tables[component_dataset_key(n)] for n in NAMES}

    assert store.add_component_matrices({NAMES[0]: comps[NAMES[0]]}, [NAMES[0]]) == [NAMES[0]]
    before = store.load_metadata()
    files = sorted(p.name for p in tmp_path.iterdir())
    # Already stored: nothing written even though its matrix is absent.
    assert store.add_component_matrices({}, NAMES[0]) == []
    assert store.load_metadata() == before and sorted(p.name for p in tmp_path.iterdir()) == files

    written = store.add_component_matrices({NAMES[1]: comps[NAMES[1]]}, f"{NAMES[0]}；{NAMES[1]}")
    assert written == [NAMES[1]]
    meta = store.load_metadata()["meta"]
    assert meta["component_names"] == NAMES[:2]
    assert meta["component_dataset_keys"] == {n: component_dataset_key(n) for n in NAMES[:2]}
    assert meta["updated_at"] == meta["component_supplemented_at"]
    loaded = store.load(mmap=False)["data"]
    assert list(loaded)[12:14] == [component_dataset_key(n) for n in NAMES[:2]]
    pd.testing.assert_frame_equal(loaded[component_dataset_key(NAMES[1])], comps[NAMES[1]])


@pytest.mark.parametrize("matrix", [None, "empty"])
def test_add_component_matrices_refuses_empty_matrix(tmp_path, market_tables, matrix):
    store = BinaryPreparedDataStore(tmp_path)
    store.write_payload(base_payload(market_tables))
    before = store.load_metadata()
    given = {} if matrix is None else {NAMES[2]: market_tables["close_price"].iloc[:0]}
    with pytest.raises(ValueError, match=f"^缺失成分股矩阵为空，无法补充: {NAMES[2]}$"):
        store.add_component_matrices(given, [NAMES[2]])
    assert store.load_metadata() == before
    # The writer lock was released on the error path: another write goes through.
    good = {NAMES[2]: market_tables[component_dataset_key(NAMES[2])]}
    assert store.add_component_matrices(good, [NAMES[2]]) == [NAMES[2]]


def test_load_must_return_a_mapping(tmp_path, market_tables, monkeypatch):
    store = BinaryPreparedDataStore(tmp_path)
    store.write_payload(base_payload(market_tables))
    monkeypatch.setattr(
        BinaryPreparedDataStoreBase, "load", lambda self, **kw: ["not", "a", "mapping"]
    )
    with pytest.raises(TypeError, match="mapping"):
        store.load()


def test_store_values_survive_bool_conversion(tmp_path):
    # A flag table that arrives as floats with gaps is stored as bool: NaN and 0 are False.
    rows = pd.Index(["20240102", "20240103"], dtype=str)
    flags = pd.DataFrame(
        [[1.0, np.nan], [0.0, 2.0]], index=rows, columns=pd.Index(["000001", "000002"], dtype=str)
    )
    store = BinaryPreparedDataStore(tmp_path, [])
    store.write_payload({"data": {"can_buy_stock": flags, "benchmark_dict": {}}})
    loaded = store.load(mmap=False)["data"]["can_buy_stock"]
    assert loaded.to_numpy().tolist() == [[True, False], [False, True]]
