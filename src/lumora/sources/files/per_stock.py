"""Tables of per-stock facts beside the bars, as vendors ship them: a table of adjustment
factors (``adj_factor``: ``date``, ``code``, ``adj_factor``, joined to the bars' rows as
they are read) and a table of special-treatment spans (``st``: ``code`` with
``start_date`` / ``end_date``, or ``code`` with the ``date`` of each listed day; rows with a
``name`` count only when it holds "ST", so a vendor's table of name changes reads as is)."""

from __future__ import annotations

from collections.abc import Mapping
from dataclasses import dataclass
from pathlib import Path

import numpy as np
import pandas as pd

from lumora.sources.files.checks import FileSourceError, require
from lumora.sources.files.reading import (
    MISSING_MARKERS,
    Column,
    code_and_board,
    date_numbers,
    numeric_column,
    read_columns,
    stock_codes,
)

__all__ = ["Adjustments", "StSpans", "read_adjustments", "read_st_spans"]

# A (date, stock) cell as one number: the YYYYMMDD date times this, plus the code number.
_CELL = np.int64(1_000_000)
# The last date a span without an end reaches.
_OPEN_END = 99991231


def _with_code(frame: Mapping[str, Column], path: Path) -> Mapping[str, Column]:
    """A file of one stock, named by its code ("600000.SH.csv"), without a code column
    gets the code from its name."""
    if "code" in frame or code_and_board(path.stem) is None:
        return frame
    first = next(iter(frame), None)
    rows = 0 if first is None else len(frame[first])
    return {**{name: frame[name] for name in frame}, "code": pd.Series([path.stem] * rows)}


@dataclass(frozen=True)
class Adjustments:
    """The rows of the adjustment-factor table: each (date, stock) cell's factor."""

    cell: np.ndarray  # int64 date * 1e6 + code, ascending
    factor: np.ndarray  # float64, finite and positive

    def lookup(self, date: np.ndarray, code: np.ndarray) -> np.ndarray:
        """The factor of each (date, code) row; NaN where the table has none."""
        if not self.cell.size:
            return np.full(date.size, np.nan)
        wanted = date.astype(np.int64) * _CELL + code
        at = np.minimum(np.searchsorted(self.cell, wanted), self.cell.size - 1)
        return np.where(self.cell[at] == wanted, self.factor[at], np.nan)


def read_adjustments(files: list[Path], columns: Mapping[str, str]) -> Adjustments:
    """The adjustment-factor table over every file; a cell given twice, a factor that is not
    finite and positive, or a missing column is refused naming the file."""
    cells, factors, origin = [], [], []
    for path in files:
        frame = read_columns(path, columns, frozenset({"date", "code", "adj_factor"}))
        frame = _with_code(frame, path)
        require(frame, path, ("date", "code", "adj_factor"))
        date = date_numbers(frame["date"], "date", path)
        code = stock_codes(frame["code"], "code", path).number
        factor = numeric_column(frame["adj_factor"], "adj_factor", path)
        bad = np.flatnonzero(~(np.isfinite(factor) & (factor > 0)) & ~np.isnan(factor))
        if bad.size:
            raise FileSourceError(
                f"{path}: row {bad[0] + 1}: adj_factor must be finite and positive, "
                f"got {float(factor[bad[0]])!r}"
            )
        given = ~np.isnan(factor)
        cells.append(date[given].astype(np.int64) * _CELL + code[given])
        factors.append(factor[given])
        origin.append(path)
    cell = np.concatenate(cells) if cells else np.zeros(0, dtype=np.int64)
    factor = np.concatenate(factors) if factors else np.zeros(0)
    order = np.argsort(cell, kind="stable")
    cell, factor = cell[order], factor[order]
    twice = np.flatnonzero(cell[1:] == cell[:-1])
    if twice.size:
        day, stock = divmod(int(cell[twice[0]]), int(_CELL))
        where = " and ".join(str(p) for p in origin[:2]) if len(origin) > 1 else str(origin[0])
        raise FileSourceError(
            f"{where}: the adj_factor table gives date {day} of stock {stock:06d} more than once"
        )
    return Adjustments(cell=cell, factor=factor)


@dataclass(frozen=True)
class StSpans:
    """Spans of special treatment: stock, first and last date (inclusive)."""

    code: np.ndarray  # int32
    start: np.ndarray  # int32 YYYYMMDD
    end: np.ndarray  # int32 YYYYMMDD

    def mask(self, dates: np.ndarray, codes: np.ndarray) -> np.ndarray:
        """dates x codes (both ascending numbers): True on the days of a span."""
        out = np.zeros((dates.size, codes.size), dtype=bool)
        col = np.searchsorted(codes, self.code)
        known = col < codes.size
        known[known] = codes[col[known]] == self.code[known]
        first = np.searchsorted(dates, self.start, side="left")
        stop = np.searchsorted(dates, self.end, side="right")
        for c, lo, hi in zip(col[known], first[known], stop[known]):
            out[lo:hi, c] = True
        return out


def read_st_spans(files: list[Path], columns: Mapping[str, str]) -> StSpans | None:
    """The ST spans over every file (None without files)."""
    if not files:
        return None
    codes, starts, ends = [], [], []
    for path in files:
        frame = read_columns(path, columns)
        frame = _with_code(frame, path)
        require(frame, path, ("code",))
        if "start_date" not in frame and "date" not in frame:
            raise FileSourceError(
                f"{path}: an st table needs start_date (and end_date) of each span, or the "
                "date of each ST day"
            )
        code = stock_codes(frame["code"], "code", path).number
        if "start_date" in frame:
            start = date_numbers(frame["start_date"], "start_date", path)
            end = (
                _end_dates(frame["end_date"], path)
                if "end_date" in frame
                else np.full(start.size, _OPEN_END, dtype=np.int32)
            )
            backwards = np.flatnonzero(end < start)
            if backwards.size:
                raise FileSourceError(
                    f"{path}: row {backwards[0] + 1}: end_date {end[backwards[0]]} is before "
                    f"start_date {start[backwards[0]]}"
                )
        else:
            start = end = date_numbers(frame["date"], "date", path)
        keep = np.ones(code.size, dtype=bool)
        if "name" in frame:  # a table of name changes: the spans of ST names count
            names = pd.Series(np.asarray(frame["name"]), dtype="string")
            keep = names.str.upper().str.contains("ST", regex=False).fillna(False).to_numpy(bool)
        codes.append(code[keep])
        starts.append(start[keep])
        ends.append(end[keep])
    return StSpans(
        code=np.concatenate(codes), start=np.concatenate(starts), end=np.concatenate(ends)
    )


def _end_dates(column: Column, path: Path) -> np.ndarray:
    """End dates; a missing end (still ST) reaches to the end of time."""
    values = pd.Series(np.asarray(column), dtype=object)
    missing = values.isna() | values.astype(str).str.strip().isin(MISSING_MARKERS)
    return date_numbers(values.mask(missing, str(_OPEN_END)), "end_date", path)
