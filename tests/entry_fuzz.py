"""Property run of the public entries on drawn inputs, meant to run in its own process (a
crash of the native code ends that process, not the test runner): each entry either returns
a result whose numbers are finite where the inputs were, or raises one of the documented
exceptions. Exit status 0 when every drawn case holds."""

from __future__ import annotations

import logging
import sys
import warnings
from typing import Any

import numpy as np
import pandas as pd
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from lumora.backtest import BacktestData, BacktestService, _core, _weightbook
from lumora.sandbox import generate_market

DOCUMENTED = (TypeError, ValueError, KeyError)
DATA = generate_market(8, 24, seed=2).dataset_tables()
LOADED = BacktestData(data=DATA)
DATES = list(DATA["close_price"].index)
STOCKS = list(DATA["close_price"].columns)
MARKET = {
    "can_buy_stock": DATA["can_buy_stock"],
    "cant_sell_stock": DATA["cant_sell_stock"],
    "split_factor": DATA["rq_get_split"],
    "dividend_factor": DATA["rq_get_dividend"],
    "close_price": DATA["close_price"],
    "prev_close": DATA["prev_close"],
    "buy_price": DATA["buy_price"],
    "sell_price": DATA["sell_price"],
}
CELLS = st.one_of(
    st.floats(-2.0, 2.0, allow_nan=False),
    st.sampled_from([np.nan, np.inf, -np.inf, 1e308, -1e300, 0.0, 5e-324]),
)
# Memory layouts and dtypes of a table's cells: byte orders, strides, widths and kinds.
SAME_VALUES = {
    "native": lambda v: v,
    "big-endian": lambda v: v.astype(">f8"),
    "fortran": np.asfortranarray,
    "strided": lambda v: np.repeat(np.repeat(v, 2, axis=0), 3, axis=1)[::2, ::3],
    "reversed": lambda v: v[::-1, ::-1].copy()[::-1, ::-1],
}
ANY_LAYOUT = {
    **SAME_VALUES,
    "float32": lambda v: v.astype(np.float32),
    "little-endian int32": lambda v: np.nan_to_num(v, posinf=9, neginf=-9).astype("<i4"),
    "big-endian uint16": lambda v: np.abs(np.nan_to_num(v, posinf=9, neginf=9)).astype(">u2"),
    "bool": lambda v: v > 0,
    "object": lambda v: v.astype(object),
    "complex": lambda v: v.astype(complex),
    "text": lambda v: v.astype(str),
}


def layouts(choices: dict[str, Any]) -> Any:
    return st.sampled_from(list(choices.values()))


def market_in(layout: Any) -> dict[str, Any]:
    return {
        key: pd.DataFrame(layout(t.to_numpy()), index=t.index, columns=t.columns, copy=False)
        for key, t in MARKET.items()
    }


ODD = st.sampled_from([None, 3, 2.5, "x", [1, 2], {"a": 1}, object(), np.arange(3), b"1"])


@st.composite
def tables(draw: Any) -> Any:
    """Date x stock tables of every awkward shape, dtype and labelling."""
    n_rows = draw(st.integers(0, 6))
    n_cols = draw(st.integers(0, 4))
    start = draw(st.integers(0, len(DATES) - 1))
    rows = DATES[start : start + n_rows]
    cols = draw(st.permutations(STOCKS))[:n_cols]
    values = np.array(
        draw(st.lists(CELLS, min_size=len(rows) * len(cols), max_size=len(rows) * len(cols))),
        dtype=float,
    ).reshape(len(rows), len(cols))
    table = pd.DataFrame(draw(layouts(ANY_LAYOUT))(values), index=rows, columns=cols, copy=False)
    twist = draw(st.sampled_from(["plain", "object", "dupe", "odd", "series", "array", "ints"]))
    if twist == "object":
        table = table.astype(object)
    elif twist == "dupe" and len(rows) > 1:
        table.index = [rows[0], *rows[:-1]]
    elif twist == "odd":
        table.columns = [f"x{c}" for c in cols]
    elif twist == "series" and len(cols) > 0:
        return table.iloc[:, 0]
    elif twist == "array":
        return values
    elif twist == "ints":
        table.index = [int(d) for d in rows]
    return table


def numbers(default: Any) -> Any:
    return st.one_of(
        st.just(default),
        st.sampled_from([0, -1, 2**32 + 5, 2**70, 1e19, -1e19, np.nan, np.inf, 0.5, 1.0]),
        ODD,
    )


def assert_finite(values: Any) -> None:
    """The sandbox market's prices are finite, so every number that comes back must be."""
    array = np.asarray(values, dtype=float)
    assert np.isfinite(array).all(), array


def check(call: Any) -> Any:
    try:
        return call()
    except DOCUMENTED:
        return None


@settings(max_examples=60, deadline=None, suppress_health_check=list(HealthCheck))
@given(
    tables(),
    numbers(1e8),
    numbers(1e-4),
    numbers(200),
    st.sampled_from(["engine", "runner"]),
    layouts(SAME_VALUES),
)
def strategy_entries(
    weights: Any, money: Any, fee: Any, lot: Any, entry: Any, market_layout: Any
) -> None:
    market = market_in(market_layout)
    if entry == "engine":
        call = lambda: _weightbook.calc_strategy_vwap_daily_return(
            weights, **market, total_money=money, fee=fee, lot_size=lot
        )
    else:
        call = lambda: _weightbook.run_strategy_backtest_core(
            weights, **market, total_money=money, fee=fee, rolling_window=lot
        )
    result = check(call)
    if result is None:
        return
    daily = result if entry == "engine" else result.daily_return
    assert_finite(daily)
    if entry == "engine":
        # Market tables held another way read as the same numbers.
        native = _weightbook.calc_strategy_vwap_daily_return(
            weights, **MARKET, total_money=money, fee=fee, lot_size=lot
        )
        assert native.index.equals(daily.index)
        assert native.to_numpy().tobytes() == daily.to_numpy().tobytes()
    if entry == "runner":
        assert_finite(result.cumulative_return)


@settings(max_examples=40, deadline=None, suppress_health_check=list(HealthCheck))
@given(
    tables(),
    numbers(3),
    numbers(0),
    st.one_of(st.just(DATA["benchmark_dict"]), ODD),
    layouts(SAME_VALUES),
)
def core_entry(
    factor: Any, groups: Any, window: Any, benchmark_dict: Any, market_layout: Any
) -> None:
    result = check(
        lambda: _core.run_alpha_vwap_backtest_core(
            factor_matrix=factor,
            close_price_valid=DATA["close_price_valid"],
            **market_in(market_layout),
            benchmark_dict=benchmark_dict,
            group_num=groups,
            rolling_window=window,
        )
    )
    if result is not None:
        assert_finite(result.group_cumulative_return.fillna(0.0))  # NaN: never traded


@settings(max_examples=40, deadline=None, suppress_health_check=list(HealthCheck))
@given(
    tables(),
    st.one_of(st.just(LOADED), st.just(DATA), ODD),
    st.one_of(st.sampled_from(["000300", "000300.XSHG", "all", None, ["000905"]]), ODD),
    st.one_of(st.just(None), ODD, st.sampled_from([["000905"], "000300"])),
    st.sampled_from(["strategy", "factor"]),
)
def service_requests(table: Any, data: Any, benchmark: Any, universe: Any, kind: Any) -> None:
    service = BacktestService(None)
    if kind == "strategy":
        call = lambda: service.backtest_strategy(
            table, data, DATES[0], DATES[-1], None, "s", benchmark=benchmark, plot=None
        )
    else:
        call = lambda: service.backtest(
            table,
            data,
            DATES[0],
            DATES[-1],
            None,
            "f",
            benchmark=benchmark,
            plot=None,
            universe=universe,
            group_num=2,
        )
    result = check(call)
    if result is not None:
        values = result.daily_return if kind == "strategy" else result.group_cumulative_return
        assert_finite(values.fillna(0.0))


def main() -> int:
    logging.getLogger("lumora").setLevel(logging.ERROR)
    warnings.simplefilter("ignore")
    for prop in (strategy_entries, core_entry, service_requests):
        prop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
