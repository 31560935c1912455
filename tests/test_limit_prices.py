"""The exchanges' limit prices against a table of the rules worked in integer cents: every
board, the day before and the day of each rule change, special treatment, ex-rights
reference prices and the days after a listing without any limit."""

from __future__ import annotations

import numpy as np
import pytest

from lumora.backtest._prepare import limit_prices, limit_prices_into

NEVER, ALWAYS = 0, 99_999_999
# board, first day, last day, special treatment (None: either), limit in percent
RATES = [
    ("main", NEVER, ALWAYS, False, 10),
    ("main", NEVER, 20260705, True, 5),
    ("main", 20260706, ALWAYS, True, 10),
    ("chinext", NEVER, 20200823, False, 10),
    ("chinext", NEVER, 20200823, True, 5),
    ("chinext", 20200824, ALWAYS, None, 20),
    ("star", NEVER, ALWAYS, None, 20),
    ("beijing", NEVER, ALWAYS, None, 30),
]
# board, listings from, listings until: trading days without a limit from the listing day on
FREE_DAYS = [
    ("main", NEVER, 20230409, 1),
    ("main", 20230410, ALWAYS, 5),
    ("chinext", NEVER, 20200823, 1),
    ("chinext", 20200824, ALWAYS, 5),
    ("star", NEVER, ALWAYS, 5),
    ("beijing", NEVER, ALWAYS, 1),
]
BOARD_OF_PREFIX = {"300": "chinext", "301": "chinext", "688": "star", "689": "star"}


def board(code: str, beijing_suffix: bool = False) -> str:
    if beijing_suffix or code[0] in "48" or code.startswith("92"):
        return "beijing"
    return BOARD_OF_PREFIX.get(code[:3], "main")


def rate(board_name: str, date: int, special: bool) -> int:
    (percent,) = [
        p
        for b, first, last, st, p in RATES
        if b == board_name and first <= date <= last and st in (None, special)
    ]
    return percent


def free_days(board_name: str, listing: int) -> int:
    (days,) = [d for b, first, last, d in FREE_DAYS if b == board_name and first <= listing <= last]
    return days


def half_up(numerator: np.ndarray, denominator: np.ndarray | int) -> np.ndarray:
    return (2 * numerator + denominator) // (2 * denominator)


def expected_limits(reference: np.ndarray, percent: int) -> tuple[np.ndarray, np.ndarray]:
    up = half_up(reference * (100 + percent), 100)
    down = np.maximum(half_up(reference * (100 - percent), 100), 1)
    return up, down


def previous_closes() -> np.ndarray:
    """Every cent up to 100.00 and a dense sample up to 3,000.00, in cents."""
    rng = np.random.default_rng(5)
    return np.concatenate([np.arange(1, 10_001), rng.integers(10_001, 300_001, 40_000)])


EDGES = [
    # code, Beijing suffix, dates around a change (the day before and the day of)
    ("600000", False, [20260703, 20260706]),
    ("000001", False, [20200821, 20200824]),
    ("002594", False, [20230407, 20230410]),
    ("300750", False, [20200821, 20200824]),
    ("301001", False, [20200821, 20200824]),
    ("688001", False, [20190722, 20260706]),
    ("689009", False, [20200821, 20200824]),
    ("830799", False, [20211115, 20260706]),
    ("430047", False, [20200821]),
    ("920001", False, [20241021]),
    ("600001", True, [20240102]),
]


@pytest.mark.parametrize(("code", "suffix", "dates"), EDGES)
@pytest.mark.parametrize("special", [False, True])
def test_limits_match_the_rule_table_over_a_sweep_of_previous_closes(code, suffix, dates, special):
    cents = previous_closes()
    close = np.tile(cents / 100.0, (len(dates), 1))
    _, up, down = limit_prices(
        close,
        np.full(cents.size, int(code)),
        np.array(dates),
        beijing=np.full(cents.size, suffix),
        special_treatment=np.full(close.shape, special),
    )
    for row, date in enumerate(dates):
        want_up, want_down = expected_limits(cents, rate(board(code, suffix), date, special))
        np.testing.assert_array_equal(np.round(up[row] * 100).astype(np.int64), want_up)
        np.testing.assert_array_equal(np.round(down[row] * 100).astype(np.int64), want_down)
        # Whole cents exactly as the decimal literal reads.
        np.testing.assert_array_equal(up[row], want_up / 100.0)


def test_the_reported_previous_close_of_five_yuan_five_falls_to_four_fifty_five():
    reference, up, down = limit_prices(np.array([[5.05]]), np.array([600000]), np.array([20240105]))
    assert (reference[0, 0], up[0, 0], down[0, 0]) == (5.05, 5.56, 4.55)
    assert round(5.05 * 0.9, 2) == 4.54  # what binary-float rounding gave


def test_ex_rights_references_are_rounded_half_up_before_the_limits():
    rng = np.random.default_rng(9)
    n = 20_000
    close = rng.integers(100, 300_001, n)  # cents
    dividend = rng.integers(0, 5_000, n) * (rng.random(n) < 0.7)  # 1/10,000 yuan
    numerator, denominator = np.array([[1, 1], [6, 5], [13, 10], [3, 2], [2, 1], [5, 4]]).T
    pick = rng.integers(0, numerator.size, n)
    split_num, split_den = numerator[pick], denominator[pick]
    # (close - dividend) / split in cents, half up: ((close * 100 - dividend) / 100) * den / num
    reference = half_up((close * 100 - dividend) * split_den, 100 * split_num)
    got_reference, up, down = limit_prices(
        (close / 100.0)[None, :],
        np.full(n, 600000),
        np.array([20240105]),
        dividend=np.where(dividend > 0, dividend / 10_000, np.nan)[None, :],
        split=np.where(split_num == split_den, np.nan, split_num / split_den)[None, :],
    )
    np.testing.assert_array_equal(np.round(got_reference[0] * 100).astype(np.int64), reference)
    want_up, want_down = expected_limits(reference, 10)
    np.testing.assert_array_equal(up[0], want_up / 100.0)
    np.testing.assert_array_equal(down[0], want_down / 100.0)


CALENDAR = [20200819, 20200820, 20200821, 20200824, 20200825, 20200826, 20200827, 20200828]
CALENDAR += [20230404, 20230406, 20230407, 20230410, 20230411, 20230412, 20230413, 20230414]
CALENDAR += [20230417, 20230418]


@pytest.mark.parametrize(
    ("code", "listing"),
    [
        ("300001", 20200821),
        ("300002", 20200824),
        ("600001", 20230407),
        ("600002", 20230410),
        ("688001", 20200819),
        ("830799", 20230410),
        ("600003", 0),  # listed before the calendar
    ],
)
def test_listing_days_without_limits(code, listing):
    calendar = np.array(CALENDAR)
    close = np.full((calendar.size, 1), 10.0)
    _, up, down = limit_prices(
        close,
        np.array([int(code)]),
        calendar,
        listing_date=np.array([listing]),
    )
    position = CALENDAR.index(listing) if listing else -100
    free = free_days(board(code), listing) if listing else 0
    for row, date in enumerate(CALENDAR):
        days = row - position
        limited = days >= free
        assert np.isfinite(up[row, 0]) == limited and np.isfinite(down[row, 0]) == limited, date
        if limited:
            percent = rate(board(code), date, False)
            assert (up[row, 0], down[row, 0]) == (10 + percent / 10, 10 - percent / 10)
    # The same days asked one at a time against the whole calendar.
    one = limit_prices(
        close[-3:-2],
        np.array([int(code)]),
        calendar[-3:-2],
        listing_date=np.array([listing]),
        calendar=calendar,
    )[1]
    np.testing.assert_array_equal(one, up[-3:-2])


def test_bad_shapes_and_dates_are_refused():
    with pytest.raises(ValueError, match="codes"):
        limit_prices(np.ones((1, 2)), np.array([600000]), np.array([20240102]))
    with pytest.raises(ValueError, match="not a trading date"):
        limit_prices(
            np.ones((1, 1)),
            np.array([600000]),
            np.array([20240102]),
            listing_date=np.array([20240101]),
        )


def test_limits_written_in_place_are_the_tables_of_new_arrays():
    """Blocks of rows of one table filled in place hold what new tables hold, cell for cell
    (dividends, splits, special treatment, listings, every board); a table that is not a
    writeable C-contiguous float64 one of the block's shape is refused, not written as a
    copy that the caller never sees."""
    rng = np.random.default_rng(7)
    calendar = np.array(CALENDAR)
    rows, codes = calendar.size, np.array([600000, 300750, 688111, 830799, 1, 920001])
    close = np.round(rng.uniform(1.0, 80.0, (rows, codes.size)), 2)
    close[rng.random(close.shape) < 0.1] = np.nan
    dividend = np.where(rng.random(close.shape) < 0.05, 0.3, np.nan)
    split = np.where(rng.random(close.shape) < 0.05, 1.5, np.nan)
    special = rng.random(close.shape) < 0.3
    listing = np.array([0, calendar[3], calendar[-4], 0, calendar[0], calendar[-2]])
    inputs = {
        "dividend": dividend,
        "split": split,
        "special_treatment": special,
        "listing_date": listing,
        "calendar": calendar,
    }
    _, up, down = limit_prices(close, codes, calendar, **inputs)
    up_in_place, down_in_place = np.full_like(up, -1.0), np.full_like(down, -1.0)
    for start in range(0, rows, 3):
        block = slice(start, min(start + 3, rows))
        limit_prices_into(
            close[block],
            codes,
            calendar[block],
            up_in_place[block],
            down_in_place[block],
            **{
                name: value[block] if name in ("dividend", "split", "special_treatment") else value
                for name, value in inputs.items()
            },
        )
    np.testing.assert_array_equal(up_in_place, up)
    np.testing.assert_array_equal(down_in_place, down)
    assert np.isfinite(up).any() and np.isnan(up).any()
    # Cells outside a stock's listed rows have no limit; the others are untouched.
    listed = rng.random(close.shape) < 0.7
    limit_prices_into(close, codes, calendar, up_in_place, down_in_place, **inputs, listed=listed)
    np.testing.assert_array_equal(up_in_place, np.where(listed, up, np.nan))
    np.testing.assert_array_equal(down_in_place, np.where(listed, down, np.nan))
    with pytest.raises(ValueError, match="listed"):
        limit_prices_into(close, codes, calendar, up_in_place, down_in_place, listed=listed[1:])
    good = np.empty((rows, codes.size))
    for bad in (
        np.empty((codes.size, rows)).T,  # not C-contiguous
        np.empty((rows, codes.size), dtype=np.float32),
        np.empty((rows, codes.size - 1)),
        np.broadcast_to(np.empty(codes.size), (rows, codes.size)),  # read-only
    ):
        with pytest.raises(ValueError, match="limit_up"):
            limit_prices_into(close, codes, calendar, bad, good)
