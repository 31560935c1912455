"""The file source's in-place market passes against numpy models of the same rules, on
tables with NaN, infinities, zeros, negatives and prices within a hair of a limit."""

from __future__ import annotations

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from lumora.backtest._prepare import (
    carry_closes,
    factor_ratios,
    fill_execution_prices,
    keep_changes,
    lock_at_limit,
)

_VALUES = [np.nan, np.inf, -np.inf, 0.0, -1.5, 1.0, 9.99, 10.0, 10.0000004, 10.000001, 11.0, 0.5]
_TOLERANCE = 5e-7


@st.composite
def _tables(draw: st.DrawFn, count: int) -> tuple[np.ndarray, ...]:
    rows, cols = draw(st.integers(1, 7)), draw(st.integers(1, 5))
    cells = st.lists(st.sampled_from(_VALUES), min_size=rows * cols, max_size=rows * cols)
    flags = st.lists(st.booleans(), min_size=rows * cols, max_size=rows * cols)
    out = [np.array(draw(cells)).reshape(rows, cols) for _ in range(count)]
    out += [np.array(draw(flags)).reshape(rows, cols) for _ in range(2)]
    return tuple(out)


def _same(got: np.ndarray, want: np.ndarray) -> None:
    assert got.view(np.uint64).tolist() == want.view(np.uint64).tolist()


@settings(max_examples=300, deadline=None)
@given(_tables(3))
def test_in_place_passes_match_numpy_models(tables: tuple[np.ndarray, ...]) -> None:
    a, b, c, traded, listed = tables

    # Closes: the last traded close, else the last own close; NaN outside the listing.
    want = a.copy()
    last_traded = np.full(a.shape[1], np.nan)
    last_own = np.full(a.shape[1], np.nan)
    for row, day_traded in zip(want, traded):
        own = ~np.isnan(row)
        last_own[own] = row[own]
        last_traded[day_traded] = row[day_traded]
        row[:] = np.where(np.isnan(last_traded), last_own, last_traded)
    want[~listed] = np.nan
    got = a.copy()
    carry_closes(got, traded, listed)
    _same(got, want)

    # Execution prices: the fallback where not a finite positive price, NaN where untraded.
    want = a.copy()
    np.copyto(want, b, where=~(np.isfinite(want) & (want > 0)))
    want[~(traded & np.isfinite(want) & (want > 0))] = np.nan
    got = a.copy()
    fill_execution_prices(got, b, traded)
    _same(got, want)

    # Locked at a limit: within the tolerance, or the day's extreme reached it when traded.
    for up, reached in ((True, np.greater_equal), (False, np.less_equal)):
        for extreme in (None, c):
            want = a.copy()
            with np.errstate(invalid="ignore"):
                at_limit = np.abs(want - b) <= _TOLERANCE
                if extreme is not None:
                    signed = _TOLERANCE if up else -_TOLERANCE
                    at_limit |= traded & reached(extreme, b - signed)
            np.copyto(want, b, where=at_limit)
            got = a.copy()
            lock_at_limit(got, b, traded, extreme=extreme, limit_up=up, tolerance=_TOLERANCE)
            _same(got, want)

    # Factor ratios: carried down over NaN, each over the day before's; NaN on the first row.
    want = a.copy()
    for row in range(1, want.shape[0]):
        gaps = np.isnan(want[row])
        want[row][gaps] = want[row - 1][gaps]
    with np.errstate(divide="ignore", invalid="ignore"):
        want[1:] = want[1:] / want[:-1]
    want[0] = np.nan
    got = a.copy()
    factor_ratios(got)
    _same(got, want)

    # Adjustments kept: listed, a finite positive number other than one.
    want = a.copy()
    with np.errstate(invalid="ignore"):
        want[~(listed & np.isfinite(want) & (want > 0) & (want != 1.0))] = np.nan
    got = a.copy()
    keep_changes(got, listed)
    _same(got, want)


def test_tables_not_written_in_place_are_refused() -> None:
    table = np.ones((3, 2))
    flags = np.ones((3, 2), dtype=bool)
    with pytest.raises(ValueError, match="writeable C-contiguous float64"):
        carry_closes(np.asfortranarray(np.ones((3, 4))), flags, flags)
    with pytest.raises(ValueError, match="writeable C-contiguous float64"):
        factor_ratios(table.astype(np.float32))
    with pytest.raises(ValueError, match="shape of the table written"):
        fill_execution_prices(table, np.ones((2, 2)), flags)
    readonly = table.copy()
    readonly.flags.writeable = False
    with pytest.raises(ValueError, match="writeable"):
        lock_at_limit(readonly, table, flags, limit_up=True, tolerance=_TOLERANCE)
