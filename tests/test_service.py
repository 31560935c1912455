"""BacktestService setup, loading, date-window cuts and the universe filter."""

from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

from lumora._dataset_keys import component_dataset_key
from lumora.backtest import BacktestData, BacktestService, _service
from lumora.backtest._prepare import BinaryPreparedDataStore
from lumora.sandbox import generate_market

SRC = Path(__file__).resolve().parents[1] / "src"
UNIVERSE = {
    "000300": "rq_index_components_new_000300.XSHG",
    "000905": "rq_index_components_new_000905.XSHG",
    "000852": "rq_index_components_new_000852.XSHG",
    "399303": "rq_index_components_new_399303.XSHE",
    "932000": "rq_index_components_new_932000.INDX",
}


def run_python(code: str, home: Path) -> subprocess.CompletedProcess:
    env = {**os.environ, "HOME": str(home), "PYTHONPATH": str(SRC), "MPLBACKEND": "Agg"}
    return subprocess.run(
        [sys.executable, "-c", code],
        check=False,
        capture_output=True,
        text=True,
        env=env,
        timeout=120,
    )


# --------------------------------------------------------------------------- setup


def test_data_dir_and_class_shape():
    assert (
        _service._DEFAULT_DATA_DIR == Path.home() / ".lumora" / "backtest_data" / "enviroment_data"
    )
    assert BacktestService.__doc__ == "因子回测服务,组合数据准备与计算两层。"
    service = BacktestService("client")
    assert vars(service) == {"_http": "client"}


def test_importing_the_service_loads_no_charts_and_data_dir_follows_home(tmp_path):
    code = (
        "import sys\n"
        "import lumora.backtest._service as s\n"
        "print(sorted(m for m in sys.modules if 'matplotlib' in m or '_weightbook' in m))\n"
        "print(s._DEFAULT_DATA_DIR)\n"
        "from lumora.backtest import BacktestService\n"
        "try:\n"
        "    BacktestService(None).load_backtest_data()\n"
        "except FileNotFoundError as error:\n"
        "    print(error)\n"
    )
    done = run_python(code, tmp_path)
    assert done.returncode == 0, done.stderr
    modules, data_dir, message = done.stdout.splitlines()
    assert modules == "[]"
    assert data_dir == str(tmp_path / ".lumora" / "backtest_data" / "enviroment_data")
    assert message == "未找到回测基准数据,请先调用 lumora.prepare_backtest_data()"
    assert list(tmp_path.iterdir()) == []  # nothing created


@pytest.mark.parametrize(
    ("universe", "expected"),
    [
        (None, []),
        ("", []),
        ("   ", []),
        ("  000300 ", ["000300"]),
        (["000300", "", " 000905 "], ["000300", "000905"]),
        (("000852", "000852"), ["000852", "000852"]),
        ([932000], ["932000"]),
        ([300], ["300"]),
        ("\u3000000905\u3000", ["000905"]),
    ],
)
def test_parse_universe(universe, expected):
    assert BacktestService._parse_universe(universe) == expected


class Named:
    def __init__(self, columns_name, name):
        self.columns = pd.Index([], name=columns_name)
        self.name = name


@pytest.mark.parametrize(
    ("factor", "expected"),
    [
        (pd.DataFrame(columns=pd.Index(["a"], name="alpha1")), "alpha1"),
        (pd.DataFrame([[1.0]]), "factor"),
        (Named(None, "mom"), "mom"),
        (Named(5, None), "5"),
        (Named(0, "x"), "x"),
        (Named("", None), "factor"),
    ],
)
def test_factor_name(factor, expected):
    assert BacktestService._factor_name(factor) == expected


def test_factor_name_needs_columns():
    with pytest.raises(AttributeError):
        BacktestService._factor_name(object())


# --------------------------------------------------------------------------- loading


@pytest.fixture(scope="module")
def market():
    return generate_market(60, 120, seed=11)


@pytest.fixture
def data_dir(tmp_path, monkeypatch, market):
    directory = tmp_path / "enviroment_data"
    BinaryPreparedDataStore(directory).write_payload(
        {"version": 1, "meta": {}, "data": market.dataset_tables()}
    )
    monkeypatch.setattr(_service, "_DEFAULT_DATA_DIR", directory)
    return directory


def test_load_backtest_data(data_dir, market):
    loaded = BacktestService(None).load_backtest_data()
    assert isinstance(loaded, BacktestData)
    expected = market.dataset_tables()
    assert list(loaded.data) == list(expected)
    for key, value in expected.items():
        if key == "benchmark_dict":
            for code, series in value.items():
                pd.testing.assert_series_equal(loaded.data[key][code], series, check_names=False)
        else:
            pd.testing.assert_frame_equal(loaded.data[key], value, check_dtype=False)
            assert not isinstance(loaded.data[key].to_numpy().base, np.memmap)
    assert "BacktestData(17 tables" in repr(loaded)


def test_load_without_metadata(tmp_path, monkeypatch):
    monkeypatch.setattr(_service, "_DEFAULT_DATA_DIR", tmp_path / "missing")
    with pytest.raises(
        FileNotFoundError, match=r"^未找到回测基准数据,请先调用 lumora.prepare_backtest_data\(\)$"
    ):
        BacktestService(None).load_backtest_data()
    assert not (tmp_path / "missing").exists()


# --------------------------------------------------------------------------- date window


def model_slice(data: dict, start: str, end: str) -> dict:
    out = {}
    for key, value in data.items():
        if key == "benchmark_dict":
            out[key] = {n: s.loc[(s.index >= start) & (s.index <= end)] for n, s in value.items()}
        elif isinstance(value, pd.DataFrame):
            out[key] = value.loc[(value.index >= start) & (value.index <= end)]
        else:
            out[key] = value
    return out


def test_slice_data_matches_pandas_on_random_windows(market):
    data = market.dataset_tables()
    rng = np.random.default_rng(0)
    shuffled = data["close_price"].iloc[rng.permutation(len(data["close_price"]))]
    data["shuffled"] = shuffled  # unsorted rows: a gather rather than a slice
    data["as_datetime"] = data["open_price"].set_axis(pd.to_datetime(data["open_price"].index))
    data["extra"] = [1, 2]
    dates = data["close_price"].index.tolist()
    windows = [
        (dates[0], dates[-1]),
        (dates[5], dates[5]),
        (dates[9], dates[3]),
        ("19000101", "19000102"),
        ("2015", "20150301"),
    ]
    windows += [tuple(sorted(str(d) for d in rng.choice(dates, 2))) for _ in range(6)]
    for start, end in windows:
        cut = BacktestService._slice_data(data, start, end)
        expected = model_slice(data, start, end)
        assert list(cut) == list(expected)
        assert cut["extra"] is data["extra"]
        for key, value in expected.items():
            if key == "benchmark_dict":
                for code, series in value.items():
                    pd.testing.assert_series_equal(cut[key][code], series)
            elif isinstance(value, pd.DataFrame):
                pd.testing.assert_frame_equal(cut[key], value)
                assert cut[key] is not data[key]
    assert len(BacktestService._slice_data(data, dates[9], dates[3])["close_price"].columns) == 60


def test_slice_data_leaves_input_untouched_and_handles_empty_benchmarks(market):
    data = market.dataset_tables()
    data["benchmark_dict"] = {}
    close = data["close_price"].copy()
    cut = BacktestService._slice_data(data, close.index[2], close.index[4])
    cut["close_price"].iloc[0, 0] = -1.0  # writing into a cut never reaches the loaded data
    pd.testing.assert_frame_equal(data["close_price"], close)
    assert cut["benchmark_dict"] == {}


class MyDict(dict):
    pass


class MyStr(str):
    pass


@pytest.mark.parametrize(
    ("data", "start", "end", "argument"),
    [
        (MyDict(), "20200101", "20200102", "data"),
        (None, "20200101", "20200102", "data"),
        ({}, None, "20200102", "start_date"),
        ({}, "20200101", 20200102, "end_date"),
        ({}, MyStr("20200101"), "20200102", "start_date"),
    ],
)
def test_argument_kinds(data, start, end, argument):
    with pytest.raises(TypeError, match=argument):
        BacktestService._slice_data(data, start, end)
    with pytest.raises(TypeError, match=argument):
        BacktestService(None)._apply_universe_filter(data, "000300", start, end)


# --------------------------------------------------------------------------- universe


def model_universe(data: dict, codes: list[str]) -> pd.DataFrame:
    valid = data["close_price_valid"]
    union = None
    for code in codes:
        matrix = data[component_dataset_key(UNIVERSE[code])].reindex(
            index=valid.index, columns=valid.columns
        )
        union = matrix if union is None else union.add(matrix, fill_value=0.0)
    return valid * (union.where(union > 0) * 0 + 1)


def random_universe_data(rng: np.random.Generator) -> dict:
    rows = pd.bdate_range("20240101", periods=12).strftime("%Y%m%d")
    cols = [f"{i:06d}" for i in range(1, 16)]
    valid_values = np.where(rng.random((12, 15)) < 0.2, np.nan, 1.0)
    valid = pd.DataFrame(
        valid_values, index=pd.Index(rows, dtype=str), columns=pd.Index(cols, dtype=str)
    )
    if rng.random() < 0.5:
        valid = valid.notna()  # a flag table: becomes 1.0 / 0.0 inside the universe
    data = {"close_price_valid": valid, "close_price": valid * 3.0}
    for name in UNIVERSE.values():
        m_rows = list(rng.choice(rows, 10, replace=False)) + ["20990101"]
        m_cols = list(rng.choice(cols, 12, replace=False)) + ["999999"]
        values = rng.choice([1.0, np.nan, np.nan, 0.0, -1.0, 2.0], size=(11, 13))
        data[component_dataset_key(name)] = pd.DataFrame(values, index=m_rows, columns=m_cols)
    return data


@pytest.mark.parametrize("code", list(UNIVERSE))
def test_each_universe_code_keeps_the_members_of_its_own_index(code):
    """Each index has a different single member: the code keeps exactly its own."""
    rows = pd.Index(["20240102"], dtype=str)
    cols = pd.Index([f"{i:06d}" for i in range(1, len(UNIVERSE) + 1)], dtype=str)
    data = {"close_price_valid": pd.DataFrame(1.0, index=rows, columns=cols)}
    for member, name in zip(cols, UNIVERSE.values(), strict=True):
        data[component_dataset_key(name)] = pd.DataFrame(
            (cols == member).astype(float)[None, :], index=rows, columns=cols
        )
    BacktestService(None)._apply_universe_filter(data, code, "20240102", "20240102")
    kept = data["close_price_valid"].iloc[0].dropna().index.tolist()
    assert kept == [cols[list(UNIVERSE).index(code)]]


@pytest.mark.parametrize("seed", range(6))
def test_universe_filter_matches_pandas(seed):
    rng = np.random.default_rng(seed)
    data = random_universe_data(rng)
    codes = list(rng.choice(list(UNIVERSE), int(rng.integers(1, 4)), replace=False))
    expected = model_universe(data, codes)
    before = {k: v for k, v in data.items()}
    BacktestService(None)._apply_universe_filter(data, codes, "20240101", "20240131")
    pd.testing.assert_frame_equal(data["close_price_valid"], expected, check_dtype=False)
    assert data["close_price_valid"].dtypes.eq(np.float64).all()
    assert all(data[k] is before[k] for k in before if k != "close_price_valid")


def test_universe_member_of_either_index_stays_valid():
    rows = pd.Index(["20240102"], dtype=str)
    cols = pd.Index(["000001", "000002", "000003"], dtype=str)
    data = {
        "close_price_valid": pd.DataFrame([[1.0, 1.0, 1.0]], index=rows, columns=cols),
        component_dataset_key(UNIVERSE["000300"]): pd.DataFrame(
            [[1.0, np.nan, np.nan]], index=rows, columns=cols
        ),
        component_dataset_key(UNIVERSE["000905"]): pd.DataFrame(
            [[np.nan, 1.0, np.nan]], index=rows, columns=cols
        ),
    }
    BacktestService(None)._apply_universe_filter(data, ["000300", "000905"], "20240102", "20240102")
    assert data["close_price_valid"].iloc[0].tolist()[:2] == [1.0, 1.0]
    assert np.isnan(data["close_price_valid"].iloc[0, 2])


@pytest.mark.parametrize("universe", [None, "", [], " "])
def test_no_universe_changes_nothing(universe):
    valid = pd.DataFrame([[1.0]])
    data = {"close_price_valid": valid}
    BacktestService(None)._apply_universe_filter(data, universe, "20240101", "20240102")
    assert data["close_price_valid"] is valid


@pytest.mark.parametrize(
    ("universe", "present", "error", "message"),
    [
        (["000300", "123456", "654321"], True, ValueError, "^不支持的选股范围: 123456$"),
        ([300], True, ValueError, "^不支持的选股范围: 300$"),
        ("000300", False, ValueError, "^选股范围 000300 无成分股数据,请重新准备数据$"),
        ("000300", "empty", ValueError, "^选股范围 000300 无成分股数据,请重新准备数据$"),
        ("000300", "no validity", KeyError, "close_price_valid"),
    ],
)
def test_universe_errors_leave_data_unchanged(universe, present, error, message):
    valid = pd.DataFrame([[1.0]], index=["20240102"], columns=["000001"])
    data = {"close_price_valid": valid}
    key = component_dataset_key(UNIVERSE["000300"])
    if present is True:
        data[key] = valid.copy()
    elif present == "empty":
        data[key] = valid.iloc[:0]
    elif present == "no validity":
        del data["close_price_valid"]
        data[key] = valid.copy()
    with pytest.raises(error, match=message):
        BacktestService(None)._apply_universe_filter(data, universe, "20240102", "20240102")
    if "close_price_valid" in data:
        assert data["close_price_valid"] is valid
