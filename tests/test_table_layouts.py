"""Tables and benchmark series of every memory layout, dtype, label form and order through
every engine entry: values the core can read in place (native float64, or booleans for the
trading flags) and the same values held another way (big-endian, Fortran order, a strided
slice, integers, float32, booleans, objects), labelled another way (datetimes, integer dates
and codes, exchange suffixes) or in another row and column order give bit-identical
results; cells that are not real numbers and labels that cannot be aligned are refused
naming the argument."""

from __future__ import annotations

from collections.abc import Callable

import numpy as np
import pandas as pd
import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st

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


def _engine_entries(table: pd.DataFrame, data: dict[str, object]) -> dict[str, object]:
    """The three engine functions on the user's table and the market of `data`."""
    market = {k: data[v] for k, v in MARKET_KEYS.items()}
    engine = _weightbook.calc_strategy_vwap_daily_return(table, **market, total_money=1e6)
    runner = _weightbook.run_strategy_backtest_core(
        table,
        **market,
        benchmark_dict=data["benchmark_dict"],
        plot_image_kind=None,
        record_positions=True,
    )
    group = _core.run_alpha_vwap_backtest_core(
        factor_matrix=table,
        close_price_valid=data["close_price_valid"],
        **market,
        benchmark_dict=data["benchmark_dict"],
        open_price=data["open_price"],
        industry_matrix=data["industry_matrix"],
        group_num=3,
    )
    return {
        "engine": engine,
        "runner": (
            runner.daily_return,
            runner.cumulative_return,
            runner.stats,
            runner.benchmark_summary.set_index("benchmark_name"),
            runner.positions,
        ),
        "group": (
            group.group_daily_return,
            group.rank_ic,
            group.analysis.summary,
            group.analysis.rank_ic_by_industry,
            group.benchmark_summary().set_index("benchmark_name"),
        ),
    }


def _entries(table: pd.DataFrame, data: dict[str, object]) -> dict[str, object]:
    """Every entry: the engine functions and both requests."""
    service = BacktestService(None)
    loaded = BacktestData(data=data)
    strategy = service.backtest_strategy(
        table, loaded, DATES[0], DATES[-1], None, "s", plot=None, total_money=1e6
    )
    factor = service.backtest(table, loaded, DATES[0], DATES[-1], None, "f", plot=None, group_num=3)
    return {
        **_engine_entries(table, data),
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


# ------------------------------------------------------------------ labels and order


def _market_labelled(rows: Callable[[pd.Index], object], cols: Callable[[pd.Index], object]):
    """The datasets with the row and column labels of every market table (the close validity,
    the opens and the industries included) and the dates of every benchmark series relabelled."""
    data = dict(DATA)
    for key in [*MARKET_KEYS.values(), "close_price_valid", "open_price", "industry_matrix"]:
        data[key] = data[key].set_axis(rows(data[key].index), axis=0)
        data[key] = data[key].set_axis(cols(data[key].columns), axis=1)
    data["benchmark_dict"] = {
        name: series.set_axis(rows(series.index)) for name, series in DATA["benchmark_dict"].items()
    }
    return data


def _same_labels(index: pd.Index) -> pd.Index:
    return index


def _datetimes(index: pd.Index) -> pd.Index:
    return pd.to_datetime(index, format="%Y%m%d")


def _integers(index: pd.Index) -> pd.Index:
    return index.astype(np.int64)


def _suffixed(index: pd.Index) -> pd.Index:
    return pd.Index([f"{code}.{'SH' if code[0] == '6' else 'SZ'}" for code in index])


# label form: (weights' row labels, weights' column labels, market row and column labels)
LABEL_FORMS = {
    # A DatetimeIndex of weights gave no day at all.
    "datetime weights": (_datetimes, _same_labels, (_same_labels, _same_labels)),
    # A market whose codes are integers gave all-zero returns.
    "integer codes in the market": (_same_labels, _same_labels, (_same_labels, _integers)),
    "exchange suffixes in the weights": (_same_labels, _suffixed, None),
    "datetime market, integer weight dates": (_integers, _integers, (_datetimes, _same_labels)),
}


@pytest.mark.parametrize("form", LABEL_FORMS)
def test_every_label_form_the_requests_read_aligns_the_same_in_every_engine(form: str) -> None:
    weight_rows, weight_cols, market_labels = LABEL_FORMS[form]
    table = _fractional()
    expected = _engine_entries(table, dict(DATA))
    relabelled = table.set_axis(weight_rows(table.index), axis=0)
    relabelled = relabelled.set_axis(weight_cols(relabelled.columns), axis=1)
    data = dict(DATA) if market_labels is None else _market_labelled(*market_labels)
    got = _engine_entries(relabelled, data)
    assert len(expected["engine"]) == len(DATES) - 1 and expected["engine"].abs().sum() > 0
    for entry in expected:
        assert _same(expected[entry], got[entry]), (form, entry)
    # Results are labelled as the requests label them.
    assert got["engine"].index.equals(DATES[1:]) and got["runner"][4]["stock"].isin(STOCKS).all()


@pytest.mark.parametrize(
    ("argument", "change", "message"),
    [
        ("strategy_matrix", lambda t: t.reset_index(drop=True), "row label 0 is not a date"),
        (
            "strategy_matrix",
            lambda t: t.set_axis([f"S{j}" for j in range(t.shape[1])], axis=1),
            "'S0'",
        ),
        (
            "strategy_matrix",
            lambda t: t.set_axis(pd.Index([int(DATES[0]), DATES[0], *DATES[2:]], dtype=object)),
            "duplicate dates after normalisation: " + DATES[0],
        ),
        ("close_price", lambda t: t.set_axis(np.arange(len(t)) + 7, axis=0), "row label 7"),
        ("close_price", lambda t: t.rename(columns={t.columns[0]: "ABCDEF"}), "'ABCDEF'"),
    ],
)
def test_labels_that_cannot_be_aligned_are_refused_naming_the_argument(
    argument: str, change: Callable[[pd.DataFrame], pd.DataFrame], message: str
) -> None:
    """Weights labelled 0, 1, 2 ... (or any other labels that are no dates or codes) used to
    give an empty result, as if no date matched."""
    table = _fractional()
    market = {k: DATA[v] for k, v in MARKET_KEYS.items()}
    if argument == "strategy_matrix":
        weights, market_changed = change(table), market
    else:
        weights, market_changed = table, {**market, argument: change(market[argument])}
    user_table = argument == "strategy_matrix"
    calls = [
        (
            "signal_matrix" if user_table else argument,
            lambda: _weightbook.calc_strategy_vwap_daily_return(weights, **market_changed),
        ),
        (
            argument,
            lambda: _weightbook.run_strategy_backtest_core(
                weights, **market_changed, plot_image_kind=None
            ),
        ),
        (
            "factor_matrix" if user_table else argument,
            lambda: _core.run_alpha_vwap_backtest_core(
                factor_matrix=weights,
                close_price_valid=DATA["close_price_valid"],
                **market_changed,
                group_num=3,
            ),
        ),
    ]
    for named, call in calls:
        with pytest.raises(ValueError, match=f"^{named} \\(.* labels\\): .*{message}"):
            call()


DAYS, CODES = len(DATES), len(STOCKS)


def _shuffled(table: pd.DataFrame, rng: np.random.Generator) -> pd.DataFrame:
    return table.iloc[rng.permutation(table.shape[0]), rng.permutation(table.shape[1])]


@settings(max_examples=25, deadline=None)
@given(
    rows=st.permutations(range(DAYS)),
    cols=st.permutations(range(CODES)),
    seed=st.none() | st.integers(0, 2**32 - 1),
)
# Reversed rows traded 1 day instead of 89.
@example(rows=list(range(DAYS))[::-1], cols=list(range(CODES)), seed=None)
# Another column order alone changed the last bits of the strategy's returns.
@example(rows=list(range(DAYS)), cols=list(range(CODES))[::-1], seed=None)
def test_tables_in_any_row_and_column_order_give_bit_equal_results(
    rows: list[int], cols: list[int], seed: int | None
) -> None:
    """The user's table in the order drawn; with a seed, every market table, the close
    validity, the opens, the industries and the benchmark series shuffled too."""
    table = _fractional()
    expected = _ordered_results(table)
    data = dict(DATA)
    if seed is not None:
        rng = np.random.default_rng(seed)
        for key in [*MARKET_KEYS.values(), "close_price_valid", "open_price", "industry_matrix"]:
            data[key] = _shuffled(data[key], rng)
        data["benchmark_dict"] = {
            name: series.iloc[rng.permutation(len(series))]
            for name, series in DATA["benchmark_dict"].items()
        }
    got = _engine_entries(table.iloc[rows, cols], data)
    for entry in expected:
        assert _same(expected[entry], got[entry]), entry


_ORDERED: dict[str, dict[str, object]] = {}


def _ordered_results(table: pd.DataFrame) -> dict[str, object]:
    if not _ORDERED:
        _ORDERED["results"] = _engine_entries(table, dict(DATA))
    return _ORDERED["results"]
