"""Dates (lumora._labels), component keys (lumora._dataset_keys) and the table cleaning of
every request (clean_matrix)."""

from __future__ import annotations

import datetime as dt
import warnings

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from lumora._dataset_keys import component_dataset_key
from lumora._labels import (
    date_labels,
    market_date,
    normalize_yyyymmdd,
    parse_stock_code,
    stock_labels,
)
from lumora.backtest._clean_matrix import clean_matrix

COMPONENT_NAMES = [
    "rq_index_components_new_000300.XSHG",
    "rq_index_components_new_000905.XSHG",
    "rq_index_components_new_000852.XSHG",
    "rq_index_components_new_399303.XSHE",
    "rq_index_components_new_932000.INDX",
]


@pytest.mark.parametrize(
    "value",
    [
        "20240102",
        " 2024-01-02 ",
        "2024/01/02",
        "2024/1/2",
        "2024-01-02 00:00:00",
        "2024-01-02T15:30:00",
        20240102,
        np.int64(20240102),
        np.int32(20240102),
        20240102.0,
        dt.date(2024, 1, 2),
        dt.datetime(2024, 1, 2, 23, 59),
        pd.Timestamp("2024-01-02 09:30"),
        np.datetime64("2024-01-02"),
        np.datetime64("2024-01-02T10:00:00.000000000"),
    ],
)
def test_normalize_yyyymmdd_accepts_usual_forms(value: object) -> None:
    result = normalize_yyyymmdd(value)
    assert result == "20240102" and type(result) is str


def test_normalize_yyyymmdd_none_passes_through() -> None:
    assert normalize_yyyymmdd(None) is None


@pytest.mark.parametrize(
    "value",
    [
        True,
        np.bool_(False),
        float("nan"),
        pd.NaT,
        pd.NA,
        np.datetime64("NaT"),
        "",
        "garbage",
        "2024-13-01",
        20240231,
        "20240231",
        2024,
        202401020,
        -20240102,
        20240102.5,
        [20240102],
        "2024-01-02-03",
    ],
)
def test_normalize_yyyymmdd_rejects_what_it_cannot_read(value: object) -> None:
    with pytest.raises(ValueError):
        normalize_yyyymmdd(value)


def test_component_dataset_key_is_prefixed_safe_and_injective() -> None:
    keys = [component_dataset_key(name) for name in COMPONENT_NAMES]
    assert len(set(keys)) == len(keys)
    assert all(key.startswith("component__") for key in keys)
    assert all(key.replace("_", "").replace("-", "").isalnum() for key in keys)
    # Names a plain "." -> "_" replacement would merge must stay apart.
    tricky = ["a.b", "a_b", "a-b", "a-2Eb", "a/b", "a b", "指数.b"]
    assert len({component_dataset_key(name) for name in tricky}) == len(tricky)
    assert component_dataset_key(COMPONENT_NAMES[0]) == component_dataset_key(COMPONENT_NAMES[0])


@pytest.mark.parametrize(
    ("name", "error"),
    [(None, TypeError), (300, TypeError), ("", ValueError), ("x" * 300, ValueError)],
)
def test_component_dataset_key_rejects_bad_names(name: object, error: type) -> None:
    with pytest.raises(error):
        component_dataset_key(name)  # type: ignore[arg-type]


@pytest.mark.parametrize(
    "rows",
    [
        ["20240103", "20240102"],
        [20240103, 20240102],
        ["2024-01-03", "2024-01-02"],
        pd.DatetimeIndex(["2024-01-03", "2024-01-02"]),
        [dt.date(2024, 1, 3), pd.Timestamp("2024-01-02")],
    ],
)
@pytest.mark.parametrize(
    "columns",
    [
        [1, 600000],
        ["000001", "600000"],
        ["000001.XSHE", "600000.XSHG"],
        ["sz000001", "SH600000"],
        ["000001.SZ", "600000.sh"],
        ["1", 600000],
    ],
)
def test_clean_matrix_label_forms(rows: object, columns: list) -> None:
    frame = pd.DataFrame([[1.0, 2.0], [3.0, 4.0]], index=rows, columns=columns)
    result = clean_matrix(frame)
    assert result.index.tolist() == ["20240102", "20240103"]
    assert result.columns.tolist() == ["000001", "600000"]
    assert result.to_numpy().tolist() == [[3.0, 4.0], [1.0, 2.0]]


def test_clean_matrix_randomized_against_plain_pandas_model() -> None:
    rng = np.random.default_rng(7)
    for _ in range(20):
        n_rows, n_cols = rng.integers(1, 30), rng.integers(1, 30)
        days = pd.bdate_range("2020-01-01", periods=200)[np.sort(rng.choice(200, n_rows, False))]
        codes = rng.choice(999_999, n_cols, replace=False)
        values = rng.normal(size=(n_rows, n_cols))
        values[rng.random(values.shape) < 0.2] = np.nan
        shuffle = rng.permutation(n_rows)
        frame = pd.DataFrame(values, index=days, columns=[f"{c:06d}.XSHE" for c in codes])
        frame = frame.iloc[shuffle]
        expected = pd.DataFrame(
            values, index=days.strftime("%Y%m%d"), columns=[f"{c:06d}" for c in codes]
        )
        pd.testing.assert_frame_equal(
            clean_matrix(frame),
            expected,
            check_index_type=False,
            check_column_type=False,
            check_names=False,
        )


def test_clean_matrix_values_become_float64() -> None:
    frame = pd.DataFrame(
        {
            "000001": [True, False, True],
            "000002": [1, 2, 3],
            "000003": pd.array([1.5, None, 2.0], dtype="Float64"),
            "000004": pd.array([True, None, False], dtype="boolean"),
            "000005": np.array([None, pd.NA, 2], dtype=object),
            "000006": np.array([0.5, 1.5, 2.5], dtype=np.float32),
        },
        index=["20240102", "20240103", "20240104"],
    )
    result = clean_matrix(frame)
    assert (result.dtypes == np.float64).all()
    expected = [
        [1, 1, 1.5, 1, np.nan, 0.5],
        [0, 2, np.nan, np.nan, np.nan, 1.5],
        [1, 3, 2.0, 0, 2, 2.5],
    ]
    np.testing.assert_array_equal(result.to_numpy(), np.array(expected, dtype=float))


def test_clean_matrix_rejects_text_values_naming_the_table_and_column() -> None:
    """Text was parsed where it read as a number ("1.0"); it is refused like other text."""
    for text in (["1.0", "oops"], ["1.0", "2.5"]):
        frame = pd.DataFrame(
            {"000001": [1.0, 2.0], "600000": np.array(text, dtype=object)},
            index=["20240102", "20240103"],
        )
        with pytest.raises(TypeError, match="^weights must hold numbers.*'600000' of text"):
            clean_matrix(frame, name="weights")


@pytest.mark.parametrize(
    ("frame", "named"),
    [
        (
            pd.DataFrame([[1.0], [2.0]], index=["2024-01-02", 20240102], columns=["000001"]),
            "20240102",
        ),
        (pd.DataFrame([[1.0, 2.0]], index=["20240102"], columns=[1, "000001.XSHE"]), "000001"),
    ],
)
def test_clean_matrix_names_duplicates(frame: pd.DataFrame, named: str) -> None:
    with pytest.raises(ValueError, match=f"duplicate .*{named}"):
        clean_matrix(frame)


@pytest.mark.parametrize(
    "frame",
    [
        pd.DataFrame([[1.0]], index=["20240231"], columns=["000001"]),
        pd.DataFrame([[1.0]], index=["not a date"], columns=["000001"]),
        pd.DataFrame([[1.0]], index=[np.nan], columns=["000001"]),
        pd.DataFrame([[1.0]], index=["20240102"], columns=["ABCDEF"]),
        pd.DataFrame([[1.0]], index=["20240102"], columns=[1234567]),
        pd.DataFrame([[1.0]], index=["20240102"], columns=[True]),
        pd.DataFrame([[1.0]], index=["20240102"], columns=["0000001.XSHE"]),
    ],
)
def test_clean_matrix_rejects_bad_labels(frame: pd.DataFrame) -> None:
    with pytest.raises(ValueError):
        clean_matrix(frame)


@pytest.mark.parametrize("value", [None, pd.Series([1.0]), np.zeros((2, 2)), {"a": [1]}])
def test_clean_matrix_rejects_non_frames(value: object) -> None:
    with pytest.raises(TypeError):
        clean_matrix(value)  # type: ignore[arg-type]


@pytest.mark.parametrize("sorted_rows", [True, False])
def test_clean_matrix_returns_new_frame_and_keeps_input(sorted_rows: bool) -> None:
    rows = ["20240102", "20240103"] if sorted_rows else ["20240103", "20240102"]
    frame = pd.DataFrame([[1.0, 2.0], [3.0, 4.0]], index=rows, columns=["000001", "600000"])
    frame.columns.name = "momentum"
    frame.attrs["source"] = "unit"
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)  # pandas warns on new attributes
        frame.name = "momentum_20d"
    before = frame.copy()

    result = clean_matrix(frame)
    assert result is not frame
    assert result.columns.name == "momentum"
    assert result.attrs == {"source": "unit"}
    assert result.name == "momentum_20d"
    result.iloc[0, 0] = 99.0
    pd.testing.assert_frame_equal(frame, before)


def test_clean_matrix_empty_frame() -> None:
    result = clean_matrix(pd.DataFrame())
    assert result.shape == (0, 0)


# ------------------------------------------------------------------ the parsers' model
#
# Values are drawn from a description of how they are written, and the model says from
# that description alone what the one parser of each kind must answer.

EXCHANGE_SUFFIXES = ["SH", "SS", "SZ", "BJ", "XSHG", "XSHE", "SHSE", "SZSE", "BSE", "XBSE", "BJSE"]
EXCHANGE_PREFIXES = ["SH", "SS", "SZ", "BJ"]
UNKNOWN_MARKS = ["SHH", "HK", "XX", "NYSE", "SZE"]


def mixed_case(draw, text: str) -> str:
    flips = draw(st.lists(st.booleans(), min_size=len(text), max_size=len(text)))
    return "".join(c.lower() if flip else c for c, flip in zip(text, flips))


@st.composite
def written_codes(draw) -> tuple[object, int | None]:
    """A stock code as someone may write it, and the number it stands for (None: no code)."""
    number = draw(st.one_of(st.integers(1, 999_999), st.sampled_from([0, 1_000_000, 2_345_678])))
    valid = 1 <= number <= 999_999
    style = draw(st.sampled_from(["int", "float", "bare", "bare.0", "suffix", "prefix"]))
    if style == "int":
        return draw(st.sampled_from([int, np.int64, np.uint32]))(number), number if valid else None
    if style == "float":
        return float(number), number if valid else None
    padded = draw(st.booleans())
    digits = f"{number:06d}" if padded else str(number)
    if style in ("bare", "bare.0"):
        text = digits + ("." + "0" * draw(st.integers(1, 3)) if style == "bare.0" else "")
        ok = valid and len(digits) <= 6
    else:
        marks = EXCHANGE_SUFFIXES if style == "suffix" else EXCHANGE_PREFIXES
        mark = draw(st.sampled_from(marks + UNKNOWN_MARKS))
        dot = "." if style == "suffix" else draw(st.sampled_from(["", "."]))
        marked = mixed_case(draw, mark)
        text = f"{digits}{dot}{marked}" if style == "suffix" else f"{marked}{dot}{digits}"
        ok = valid and len(digits) == 6 and mark in marks
    spaces = draw(st.sampled_from(["", " ", "\t", "  "]))
    return spaces + text + draw(st.sampled_from(["", " "])), number if ok else None


def days_in_month(year: int, month: int) -> int:
    if month == 2:
        return 29 if year % 4 == 0 and (year % 100 != 0 or year % 400 == 0) else 28
    return 30 if month in (4, 6, 9, 11) else 31


@st.composite
def written_dates(draw) -> tuple[object, str | None]:
    """A date as someone may write it, and its YYYYMMDD text (None: no date)."""
    year, month, day = (
        draw(st.integers(1000, 9999)),
        draw(st.integers(1, 13)),
        draw(st.integers(1, 31)),
    )
    valid = month <= 12 and day <= days_in_month(year, month)
    expected = f"{year:04d}{month:02d}{day:02d}" if valid else None
    style = draw(st.sampled_from(["compact", "separated", "int", "float", "object"]))
    if style == "object" and valid:
        made = dt.datetime(year, month, day, draw(st.integers(0, 23)), draw(st.integers(0, 59)))
        kinds = [lambda d: d.date(), lambda d: d, np.datetime64]
        if 1678 <= year <= 2261:
            kinds.append(pd.Timestamp)
        return draw(st.sampled_from(kinds))(made), expected
    if style in ("int", "float", "object"):
        number = year * 10_000 + month * 100 + day
        return (float(number) if style == "float" else number), expected
    if style == "compact":
        text = f"{year:04d}{month:02d}{day:02d}"
    else:
        first, second = draw(st.sampled_from("-/.")), draw(st.sampled_from("-/."))
        m = f"{month:02d}" if draw(st.booleans()) else str(month)
        d = f"{day:02d}" if draw(st.booleans()) else str(day)
        text = f"{year:04d}{first}{m}{second}{d}"
        expected = expected if first == second else None
    time = draw(st.sampled_from(["", " 00:00", "T15:30:00", " 9:05:01.250"]))
    return draw(st.sampled_from(["", " "])) + text + time, expected


@settings(max_examples=400, deadline=None)
@given(written=st.lists(written_codes(), min_size=1, max_size=8))
def test_stock_codes_are_read_as_the_model_says(written: list[tuple[object, int | None]]) -> None:
    for value, number in written:
        parsed = parse_stock_code(value)
        assert (None if parsed is None else parsed[0]) == number, value
    values = [value for value, _ in written]
    numbers = [number for _, number in written]
    if None in numbers:
        with pytest.raises(ValueError, match="not stock codes"):
            stock_labels(pd.Index(values, dtype=object))
    else:
        expected = [f"{number:06d}" for number in numbers]
        assert stock_labels(pd.Index(values, dtype=object)).tolist() == expected


@settings(max_examples=400, deadline=None)
@given(written=written_dates(), zone=st.integers(-12 * 60, 14 * 60))
def test_dates_are_read_as_the_model_says(written: tuple[object, str | None], zone: int) -> None:
    value, expected = written
    if expected is None:
        with pytest.raises(ValueError):
            normalize_yyyymmdd(value)
        with pytest.raises(ValueError, match="not"):
            date_labels(pd.Index([value], dtype=object))
        return
    assert normalize_yyyymmdd(value) == expected
    assert date_labels(pd.Index([value], dtype=object)).tolist() == [expected]
    if type(value) is dt.datetime and value.year < 9999:  # read on the market's calendar
        aware = value.replace(tzinfo=dt.timezone(dt.timedelta(minutes=zone)))
        market = value + dt.timedelta(minutes=8 * 60 - zone)
        assert market_date(aware) == market.strftime("%Y%m%d").zfill(8)
        assert normalize_yyyymmdd(aware) == expected
