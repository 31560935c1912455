"""Dates and stock codes as every part of lumora reads them: one parser each.

The user's files, the store and the requests all read a date with
:func:`normalize_yyyymmdd` and a stock code with :func:`parse_stock_code`, so a code the
files accept ("600000.SHSE", "sz000001", 1) is accepted as a table's column too, and both
give the same six-digit text. :func:`date_labels` and :func:`stock_labels` apply the two
parsers to a table's row and column labels (with fast paths for the usual shapes).
"""

from __future__ import annotations

import datetime as _dt
import re
from typing import Any

import numpy as np
import pandas as pd

__all__ = [
    "BEIJING_MARKS",
    "EXCHANGE_MARKS",
    "INDEX_MARKS",
    "MARKET_ZONE",
    "date_labels",
    "market_date",
    "normalize_yyyymmdd",
    "parse_stock_code",
    "reject_duplicates",
    "stock_labels",
]

# Asia/Shanghai: UTC+8 with no daylight saving since 1991.
MARKET_ZONE = _dt.timezone(_dt.timedelta(hours=8))

_DATE_TEXT = re.compile(
    r"^(?:(?P<y>\d{4})(?P<m>\d{2})(?P<d>\d{2})"
    r"|(?P<y2>\d{4})(?P<sep>[-/.])(?P<m2>\d{1,2})(?P=sep)(?P<d2>\d{1,2}))"
    r"(?:[ T]\d{1,2}:\d{2}(?::\d{2}(?:\.\d+)?)?)?$"
)
_EIGHT_DIGITS = r"^[0-9]{8}$"
_SIX_DIGITS = r"^[0-9]{6}$"

# The exchange marks data vendors write before or after a code, in any letter case.
BEIJING_MARKS = frozenset({"BJ", "BSE", "XBSE", "BJSE"})
EXCHANGE_MARKS = BEIJING_MARKS | {"SH", "SS", "SZ", "XSHG", "XSHE", "SHSE", "SZSE"}
# Index codes may also carry the index compiler's mark.
INDEX_MARKS = EXCHANGE_MARKS | {"INDX", "CSI", "CNI"}
# "000001.XSHE", "sz000001", "SH.600000", "000001", "1" (leading zeros lost on the way) and
# "1.0" (a number column written as text).
_CODE_TEXT = re.compile(
    r"^\s*(?:(?P<suffixed>\d{6})\.(?P<suffix>[A-Za-z]+)"
    r"|(?P<prefix>[A-Za-z]{2})\.?(?P<prefixed>\d{6})"
    r"|(?P<bare>\d{1,6})(?:\.0+)?)\s*$"
)
_MAX_NAMED_LABELS = 10


# --------------------------------------------------------------------------- dates


def _checked_date(year: int, month: int, day: int, original: object) -> str:
    try:
        _dt.date(year, month, day)
    except ValueError:
        raise ValueError(f"not a valid calendar date: {original!r}") from None
    return f"{year:04d}{month:02d}{day:02d}"


def _normalize_integer(value: int, original: object) -> str:
    if not 10000101 <= value <= 99991231:
        raise ValueError(f"integer date must have eight digits YYYYMMDD: {original!r}")
    return _checked_date(value // 10000, value // 100 % 100, value % 100, original)


def _normalize_text(value: str) -> str:
    match = _DATE_TEXT.match(value.strip())
    if match is None:
        raise ValueError(f"cannot read a date from text: {value!r}")
    if match["y"] is not None:
        return _checked_date(int(match["y"]), int(match["m"]), int(match["d"]), value)
    return _checked_date(int(match["y2"]), int(match["m2"]), int(match["d2"]), value)


def normalize_yyyymmdd(value: Any) -> str | None:
    """Return ``value`` as eight-digit ``YYYYMMDD`` text, or ``None`` for ``None``.

    Accepts text ("20240102", "2024-01-02", "2024/01/02", "2024-01-02 00:00:00"), integers
    such as 20240102 (numpy integers included), integral floats, ``date``, ``datetime``,
    ``pd.Timestamp`` and ``np.datetime64``. The time of day, if any, is dropped.

    Raises:
        ValueError: for booleans, missing values (NaN, NaT, ``pd.NA``), text that is not a
            date, impossible dates such as 20240231, and values of any other kind.
    """
    if value is None:
        return None
    if isinstance(value, (bool, np.bool_)):
        # Callers rely on ValueError for every value that is not a date.
        raise ValueError(f"a boolean is not a date: {value!r}")  # noqa: TRY004
    if isinstance(value, str):
        return _normalize_text(value)
    if isinstance(value, (int, np.integer)):
        return _normalize_integer(int(value), value)
    if isinstance(value, (float, np.floating)):
        if not np.isfinite(value) or float(value) != int(value):
            raise ValueError(f"not a date: {value!r}")
        return _normalize_integer(int(value), value)
    if value is pd.NaT or value is pd.NA:
        raise ValueError(f"a missing value is not a date: {value!r}")
    if isinstance(value, np.datetime64):
        if np.isnat(value):
            raise ValueError(f"a missing value is not a date: {value!r}")
        day = value.astype("datetime64[D]").item()
        return f"{day.year:04d}{day.month:02d}{day.day:02d}"
    if isinstance(value, _dt.date):  # datetime and pd.Timestamp are dates too
        return f"{value.year:04d}{value.month:02d}{value.day:02d}"
    raise ValueError(f"cannot normalise {type(value).__name__} value to YYYYMMDD: {value!r}")


def market_date(value: Any) -> str | None:
    """:func:`normalize_yyyymmdd` of ``value`` read on the market's calendar: a
    timezone-aware time is the day it falls on in the market's zone (UTC+8)."""
    if isinstance(value, _dt.datetime) and value.tzinfo is not None:
        value = value.astimezone(MARKET_ZONE)
    return normalize_yyyymmdd(value)


# --------------------------------------------------------------------------- stock codes


def parse_stock_code(
    value: object, marks: frozenset[str] = EXCHANGE_MARKS
) -> tuple[int, str] | None:
    """The code number and upper-case exchange mark ("" without one) of "000001.SZ",
    "600000.SHSE", "000001.XSHE", "sz000001", "sh.600000", "000001", "1", "1.0" or 1;
    None for anything else: a mark not among ``marks``, a number outside 1..999999 (a
    code cut short to 0 included), booleans, missing values, other kinds."""
    if isinstance(value, (int, np.integer)) and not isinstance(value, (bool, np.bool_)):
        return (int(value), "") if 0 < int(value) < 1_000_000 else None
    if isinstance(value, (float, np.floating)) and np.isfinite(value) and value == int(value):
        return parse_stock_code(int(value), marks)
    if not isinstance(value, str):
        return None
    match = _CODE_TEXT.match(value)
    if match is None:
        return None
    digits = match["suffixed"] or match["prefixed"] or match["bare"]
    mark = (match["suffix"] or match["prefix"] or "").upper()
    if (mark and mark not in marks) or int(digits) == 0:
        return None  # "600000.SHH" or a code cut short to "0"
    return int(digits), mark


# --------------------------------------------------------------------------- table labels


def _describe(labels: list[Any]) -> str:
    shown = ", ".join(repr(label) for label in labels[:_MAX_NAMED_LABELS])
    more = len(labels) - _MAX_NAMED_LABELS
    return shown + (f" (and {more} more)" if more > 0 else "")


def _is_text_index(index: pd.Index) -> bool:
    return pd.api.types.is_string_dtype(index.dtype) and (
        index.dtype != object or pd.api.types.infer_dtype(index, skipna=False) == "string"
    )


def date_labels(index: pd.Index) -> np.ndarray:
    """Row labels as an object array of ``YYYYMMDD`` text (see :func:`normalize_yyyymmdd`).

    Raises:
        ValueError: naming the labels that are not dates.
    """
    if len(index) == 0:
        return np.empty(0, dtype=object)
    if isinstance(index, pd.DatetimeIndex):
        if index.hasnans:
            raise ValueError("row labels contain missing dates (NaT)")
        return index.strftime("%Y%m%d").to_numpy(dtype=object)
    if _is_text_index(index) and index.str.fullmatch(_EIGHT_DIGITS).all():
        parsed = pd.to_datetime(index, format="%Y%m%d", errors="coerce")
        if parsed.hasnans:
            bad = index[parsed.isna()].tolist()
            raise ValueError(f"row labels are not valid dates: {_describe(bad)}")
        return index.to_numpy(dtype=object)
    # Mixed or unusual labels: normalise each distinct label once.
    cache: dict[Any, str] = {}
    out = np.empty(len(index), dtype=object)
    for pos, label in enumerate(index.tolist()):
        key = (type(label), label)
        text = cache.get(key)
        if text is None:
            try:
                text = normalize_yyyymmdd(label)
            except ValueError as error:
                raise ValueError(f"row label {label!r} is not a date: {error}") from None
            if text is None:
                raise ValueError("row labels contain a missing date (None)")
            cache[key] = text
        out[pos] = text
    return out


def stock_labels(columns: pd.Index) -> np.ndarray:
    """Column labels as an object array of six-digit stock codes (see
    :func:`parse_stock_code`).

    Raises:
        ValueError: naming the labels that are not stock codes.
    """
    if len(columns) == 0:
        return np.empty(0, dtype=object)
    if pd.api.types.is_integer_dtype(columns.dtype) and not pd.api.types.is_bool_dtype(
        columns.dtype
    ):
        values = columns.to_numpy()
        outside = (values <= 0) | (values > 999_999)
        if outside.any():
            raise ValueError(
                f"column labels are not stock codes: {_describe(columns[outside].tolist())}"
            )
        return pd.Index(values.astype(np.int64)).astype(str).str.zfill(6).to_numpy(dtype=object)
    if _is_text_index(columns):
        six = columns.str.fullmatch(_SIX_DIGITS)
        if six.all() and not (columns == "000000").any():
            return columns.to_numpy(dtype=object)
    # Other forms: each distinct label read once.
    found: dict[Any, str | None] = {}
    out = np.empty(len(columns), dtype=object)
    for pos, label in enumerate(columns.tolist()):
        key = (type(label), label)
        if key not in found:
            parsed = parse_stock_code(label)
            found[key] = None if parsed is None else f"{parsed[0]:06d}"
        out[pos] = found[key]
    missing = np.fromiter((text is None for text in out), dtype=bool, count=len(out))
    if missing.any():
        bad = columns[missing].tolist()
        raise ValueError(f"column labels are not stock codes: {_describe(bad)}")
    return out


def reject_duplicates(labels: np.ndarray, original: pd.Index, what: str) -> None:
    """Raise ValueError naming the ``what`` (dates, stocks) that ``labels``, normalised
    from ``original``, repeat, with the original labels each came from."""
    normalised = pd.Index(labels)
    if normalised.is_unique:
        return
    duplicated = normalised.duplicated(keep=False)
    groups: dict[str, list[Any]] = {}
    for label, source in zip(normalised[duplicated], original[duplicated]):
        groups.setdefault(label, []).append(source)
    described = "; ".join(
        f"{label} (from {_describe(sources)})"
        for label, sources in list(groups.items())[:_MAX_NAMED_LABELS]
    )
    raise ValueError(f"duplicate {what} after normalisation: {described}")
