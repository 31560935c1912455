"""Tables and benchmark series of every memory layout and dtype through every engine entry:
values the core can read in place (native float64, or booleans for the trading flags) and
the same values held another way (big-endian, Fortran order, a strided slice, integers,
float32, booleans, objects) give bit-identical results; cells that are not numbers are a
TypeError naming the argument."""

from __future__ import annotations

from collections.abc import Callable

import numpy as np
import pandas as pd
import pytest

from engine_keys import MARKET_KEYS
from lumora.backtest import BacktestData, BacktestService, _core, _weightbook
from lumora.sandbox import generate_market

DATA = generate_market(30, 90, seed=11).dataset_tables()
DATES = DATA["close_price"].index
STOCKS = DATA["close_price"].columns
FLAGS = ("can_buy_stock", "cant_sell_stock")


def _fractional() -> pd.DataFrame:
    """Weights in eighths (exact in float32 too) with missing cells; rows sum to at most 1."""
    rng = np.random.default_rng(5)
    values = rng.integers(0, 3, size=(len(DATES), len(STOCKS))) / 8.0
    values[:, 10:] = 0.0
    values[rng.random(values.shape) < 0.2] = np.nan
    return pd.DataFrame(values, index=DATES, columns=STOCKS)


def _whole() -> pd.DataFrame:
    """One stock at weight 1 a day: values an integer or boolean table holds exactly."""
    values = np.zeros((len(DATES), len(STOCKS)))
    values[np.arange(len(DATES)), np.arange(len(DATES)) % 7] = 1.0
    return pd.DataFrame(values, index=DATES, columns=STOCKS)


def _frame(values: np.ndarray, like: pd.DataFrame) -> pd.DataFrame:
    out = pd.DataFrame(values, index=like.index, columns=like.columns, copy=False)
    assert np.shares_memory(out.to_numpy(), values) or values.dtype == object
    return out


def _big_endian(t: pd.DataFrame) -> pd.DataFrame:
    return _frame(t.to_numpy().astype(t.to_numpy().dtype.newbyteorder(">")), t)


def _fortran(t: pd.DataFrame) -> pd.DataFrame:
    return _frame(np.asfortranarray(t.to_numpy()), t)


def _strided(t: pd.DataFrame) -> pd.DataFrame:
    values = t.to_numpy()
    wide = np.full((values.shape[0] * 2, values.shape[1] * 3), -7.0, dtype=values.dtype)
    wide[::2, ::3] = values
    return _frame(wide[::2, ::3], t)


def _as(dtype: object) -> Callable[[pd.DataFrame], pd.DataFrame]:
    return lambda t: _frame(t.to_numpy().astype(dtype), t)


# layout: (user table base, change of the user table, change of the market tables)
SAME = None
LAYOUTS = {
    "big-endian": (_fractional, _big_endian, _big_endian),
    "fortran": (_fractional, _fortran, _fortran),
    "strided": (_fractional, _strided, _strided),
    "object": (_fractional, _as(object), _as(object)),
    "float32": (_fractional, _as(np.float32), SAME),
    "int": (_whole, _as(np.int64), "flags-int8"),
    "bool": (_whole, _as(bool), SAME),
}


def _market(change: object) -> dict[str, object]:
    """The datasets with the market tables, the close validity and the benchmark series
    changed as asked (a series as the one column of a changed table, so it keeps the
    table's byte order and stride)."""
    data = dict(DATA)
    for key in [*MARKET_KEYS.values(), "close_price_valid"]:
        if change == "flags-int8":
            if key in FLAGS:
                data[key] = _as(np.int8)(data[key])
        elif callable(change):
            data[key] = change(data[key])
    if callable(change):
        data["benchmark_dict"] = {
            name: change(series.to_frame()).iloc[:, 0]
            for name, series in DATA["benchmark_dict"].items()
        }
    return data


def _entries(table: pd.DataFrame, data: dict[str, object]) -> dict[str, object]:
    market = {k: data[v] for k, v in MARKET_KEYS.items()}
    engine = _weightbook.calc_strategy_vwap_daily_return(table, **market, total_money=1e6)
    runner = _weightbook.run_strategy_backtest_core(
        table, **market, benchmark_dict=data["benchmark_dict"], plot_image_kind=None
    )
    group = _core.run_alpha_vwap_backtest_core(
        factor_matrix=table,
        close_price_valid=data["close_price_valid"],
        **market,
        benchmark_dict=data["benchmark_dict"],
        open_price=data["open_price"],
        group_num=3,
    )
    service = BacktestService(None)
    loaded = BacktestData(data=data)
    strategy = service.backtest_strategy(
        table, loaded, DATES[0], DATES[-1], None, "s", plot=None, total_money=1e6
    )
    factor = service.backtest(table, loaded, DATES[0], DATES[-1], None, "f", plot=None, group_num=3)
    return {
        "engine": engine,
        "runner": (
            runner.daily_return,
            runner.cumulative_return,
            runner.stats,
            runner.benchmark_summary.set_index("benchmark_name"),
        ),
        "group": (
            group.group_daily_return,
            group.rank_ic,
            group.analysis.summary,
            group.benchmark_summary().set_index("benchmark_name"),
        ),
        "backtest_strategy": (strategy.daily_return, strategy.stats),
        "backtest": (factor.group_cumulative_return, factor.rank_ic),
    }


def _same(left: object, right: object) -> bool:
    """Bit for bit: the same labels and the same float64 patterns (NaN included)."""
    if isinstance(left, tuple):
        return all(_same(a, b) for a, b in zip(left, right, strict=True))
    if isinstance(left, dict):
        return left.keys() == right.keys() and all(_same(left[k], right[k]) for k in left)
    if isinstance(left, pd.Series | pd.DataFrame):
        return left.index.equals(right.index) and _same(left.to_numpy(), right.to_numpy())
    if isinstance(left, np.ndarray):
        a, b = np.asarray(left, dtype=np.float64), np.asarray(right, dtype=np.float64)
        return a.shape == b.shape and a.tobytes() == b.tobytes()
    return _same(np.array([left], dtype=float), np.array([right], dtype=float))


@pytest.mark.parametrize("layout", LAYOUTS)
def test_every_layout_gives_the_native_float64_result_in_every_entry(layout: str) -> None:
    base, change_table, change_market = LAYOUTS[layout]
    table = base()
    expected = _entries(table, dict(DATA))
    got = _entries(change_table(table), _market(change_market))
    assert expected["engine"].abs().sum() > 0  # the weights trade
    assert len(expected["runner"][3]) == len(DATA["benchmark_dict"])  # every benchmark is read
    for entry in expected:
        assert _same(expected[entry], got[entry]), (layout, entry)


@pytest.mark.parametrize(
    ("cells", "found"),
    [
        (lambda t: t.astype(complex), "complex128"),
        (lambda t: t.astype(complex).astype(object) + 0.5j, "not real numbers.*complex"),
        (lambda t: t.astype(str), "text"),
        (lambda t: t.astype(object).where(t < 0.1, "x"), "not real numbers.*'x'"),
        # Text and bytes that read as numbers were parsed, an imaginary part dropped.
        (lambda t: t.astype(object).where(t == 0, "0.125"), "not real numbers.*'0.125'"),
        (lambda t: t.astype(bytes), "S32"),
        (lambda t: t.astype(bytes).astype(object), "not real numbers.*bytes"),
    ],
)
def test_cells_that_are_not_numbers_are_refused_naming_the_argument(cells, found) -> None:
    table = _fractional().fillna(0.0)
    market = {k: DATA[v] for k, v in MARKET_KEYS.items()}
    loaded = BacktestData(data=dict(DATA))
    service = BacktestService(None)
    window = (loaded, DATES[0], DATES[-1], None, "x")
    with pytest.raises(TypeError, match=f"^signal_matrix must hold numbers.*{found}"):
        _weightbook.calc_strategy_vwap_daily_return(cells(table), **market)
    with pytest.raises(TypeError, match=f"^strategy_matrix must hold numbers.*{found}"):
        _weightbook.run_strategy_backtest_core(cells(table), **market, plot_image_kind=None)
    with pytest.raises(TypeError, match=f"^close_price must hold numbers.*{found}"):
        _core.run_alpha_vwap_backtest_core(
            factor_matrix=table,
            close_price_valid=DATA["close_price_valid"],
            **{**market, "close_price": cells(market["close_price"])},
        )
    with pytest.raises(TypeError, match=f"^strategy must hold numbers.*{found}"):
        service.backtest_strategy(cells(table), *window, plot=None)
    with pytest.raises(TypeError, match=f"^factor must hold numbers.*{found}"):
        service.backtest(cells(table), *window, plot=None, group_num=3)


def test_a_benchmark_series_of_text_is_refused_naming_the_argument() -> None:
    table = _fractional()
    market = {k: DATA[v] for k, v in MARKET_KEYS.items()}
    text = {name: series.astype(str) for name, series in DATA["benchmark_dict"].items()}
    with pytest.raises(TypeError, match="^benchmark_dict must hold numbers.*text"):
        _weightbook.run_strategy_backtest_core(
            table, **market, benchmark_dict=text, plot_image_kind=None
        )
    with pytest.raises(TypeError, match="^benchmark_dict must hold numbers.*text"):
        _core.run_alpha_vwap_backtest_core(
            factor_matrix=table,
            close_price_valid=DATA["close_price_valid"],
            **market,
            benchmark_dict=text,
            group_num=3,
        )
    with pytest.raises(TypeError, match="^daily_return must hold numbers.*text"):
        _weightbook._period_return_drawdown_calmar(text["000852"])
