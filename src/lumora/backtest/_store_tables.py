"""Tables and series as the store keeps them, and back: ascending ``YYYYMMDD`` dates, text
column labels, values in the dataset's storage dtype (float64 or bool), and the values a
dataset's cells take where no row gave them."""

from __future__ import annotations

import itertools
from collections.abc import Mapping
from typing import Any

import numpy as np
import pandas as pd

from lumora._labels import date_labels, reject_duplicates

__all__ = [
    "ABSENT_FILL",
    "LabelCache",
    "ascending_dates",
    "column_labels",
    "columns_in_order",
    "extended_columns",
    "frame_values",
    "label_name",
    "pad_value",
    "series_by_date",
    "storage_dtype",
]

_STORAGE_DTYPES = {"float64": np.dtype(np.float64), "bool": np.dtype(np.bool_)}


def ascending_dates(index: pd.Index) -> tuple[list[str], np.ndarray | None]:
    """Row labels as YYYYMMDD text and the order that sorts them (None if sorted)."""
    dates = date_labels(index)
    reject_duplicates(dates, index, "dates")
    text = dates.astype(str)
    if len(text) > 1 and not (text[1:] > text[:-1]).all():
        order = np.argsort(text, kind="stable")
        return text[order].tolist(), order
    return text.tolist(), None


def series_by_date(key: str, series: Any) -> tuple[list[str], np.ndarray]:
    """A benchmark series' dates as YYYYMMDD text, ascending, and its values as floats in
    that order."""
    if not isinstance(series, pd.Series):
        raise TypeError(
            f"benchmark series {key!r} must be a pandas Series, not {type(series).__name__}"
        )
    dates, order = ascending_dates(series.index)
    values = series.to_numpy(dtype=np.float64, na_value=np.nan)
    return dates, values if order is None else values[order]


def column_labels(columns: pd.Index) -> list[str]:
    """Column labels as text, as the store lists them."""
    labels = [label if type(label) is str else str(label) for label in columns.tolist()]
    if len(set(labels)) != len(labels):
        raise ValueError("duplicate column labels in a table to be stored")
    return labels


def columns_in_order(record: Mapping[str, Any]) -> list[str]:
    """A dataset's column labels in the order a load gives them.

    ``"columns"`` lists them as the segments hold them: the columns of the first segments,
    then those later tail updates added (an older, narrower segment covers a prefix).
    ``"order"``, when present, lists the positions in it of the columns as loaded, so that
    a stock added by an update is loaded where a full build places it."""
    columns: list[str] = record["columns"]
    order = record.get("order")
    return columns if order is None else [columns[i] for i in order]


def extended_columns(
    record: Mapping[str, Any], incoming: list[str], *, rewritten: bool
) -> tuple[list[str], list[int] | None]:
    """``"columns"`` and ``"order"`` of a dataset that gains the ``incoming`` labels it
    lacks. A build gives the columns in ascending order, and a stock added later takes
    its place among them (a dataset whose columns are in another order gets it at the
    end). ``rewritten``: no segment of the old columns remains, so the segments can hold
    the columns in the order they are loaded."""
    stored: list[str] = record["columns"]
    loaded = columns_in_order(record)
    known = set(stored)
    added = [label for label in dict.fromkeys(incoming) if label not in known]
    if not added and not rewritten:
        return stored, record.get("order")
    ascending = all(a < b for a, b in itertools.pairwise(loaded))
    order_of_load = sorted(loaded + added) if ascending else loaded + added
    if rewritten:
        return order_of_load, None
    held = stored + added
    order = pd.Index(held).get_indexer(pd.Index(order_of_load)).tolist()
    return held, None if order == list(range(len(held))) else order


def _as_storage(values: np.ndarray, dtype: np.dtype) -> np.ndarray:
    """Values converted to the storage dtype: a missing or zero flag is False."""
    if values.dtype == dtype:
        return values
    if dtype == np.bool_:
        flags: np.ndarray = np.nan_to_num(values.astype(np.float64), nan=0.0) != 0.0
        return flags
    return values.astype(dtype)


def frame_values(frame: pd.DataFrame, dtype: np.dtype) -> np.ndarray:
    """A table's values in the storage dtype, without a copy where the frame is one block
    of it."""
    if len(frame.columns) and all(d == dtype for d in frame.dtypes):
        return frame.to_numpy()  # a view of a one-block frame: no copy
    return _as_storage(frame.to_numpy(dtype=np.float64, na_value=np.nan), dtype)


def _fill_value(dtype: np.dtype) -> Any:
    return False if dtype == np.bool_ else np.nan


# The value a full build gives a stock on a day it has no source data at all (before its
# listing, after it left), where that is not the dtype's missing value: without a price it
# cannot be sold. A tail update fills the cells it adds for such stocks (older rows of a
# new stock, new rows of a stock the update has no data for) with it, so that the store
# equals a full build. Recorded in the dataset's record as "fill".
ABSENT_FILL: dict[str, bool] = {"cant_sell_stock": True}


def pad_value(record: Mapping[str, Any], dtype: np.dtype) -> Any:
    """The value of a dataset's cells no segment covers (older, narrower segments)."""
    fill = record.get("fill")
    return fill if type(fill) is bool and dtype == np.bool_ else _fill_value(dtype)


def storage_dtype(name: str) -> np.dtype:
    try:
        return _STORAGE_DTYPES[str(name)]
    except KeyError:
        raise ValueError(
            f"unsupported storage dtype {name!r}; expected 'float64' or 'bool'"
        ) from None


def label_name(name: Any) -> Any:
    return name if name is None or isinstance(name, (str, int)) else str(name)


class LabelCache:
    """One pandas Index per distinct label list, shared by every dataset of a load."""

    def __init__(self) -> None:
        self._indexes: dict[tuple[tuple[str, ...], Any], pd.Index] = {}

    def get(self, labels: list[str], name: Any) -> pd.Index:
        key = (tuple(labels), name)
        index = self._indexes.get(key)
        if index is None:
            index = pd.Index(labels, dtype=str, name=name)
            self._indexes[key] = index
        return index
