"""Every public entry either does what was meant or says why not, before any work: one
crash, narrowed numbers, trading costs, infinite weights, benchmarks, output folders and
the common slips of a new user. Each case here reproduces a fault seen before the checks."""

from __future__ import annotations

import logging
import re
import subprocess
import sys
import textwrap
from fractions import Fraction
from pathlib import Path
from typing import Any

import numpy as np
import pandas as pd
import pytest

from engine_keys import MARKET_KEYS
from lumora.backtest import BacktestData, BacktestService, _core, _weightbook, hold_weights
from lumora.backtest.batch import FactorJob, StrategyJob
from lumora.sandbox import generate_market

SRC = Path(__file__).resolve().parents[1] / "src"


@pytest.fixture(scope="module")
def loaded() -> BacktestData:
    return BacktestData(data=generate_market(40, 120, seed=9).dataset_tables())


def market(data: BacktestData) -> dict[str, Any]:
    return {keyword: data.data[key] for keyword, key in MARKET_KEYS.items()}


def daily_weights(data: BacktestData) -> pd.DataFrame:
    listed = data.data["close_price"].notna()
    return listed.astype(float).div(listed.sum(axis=1), axis=0)


def entries(data: BacktestData) -> dict[str, Any]:
    """The five public entries, each as a call taking keyword overrides."""
    weights = daily_weights(data)
    dates = data.data["close_price"].index
    service = BacktestService(None)
    core_kw = {
        **market(data),
        "factor_matrix": data.data["close_price"],
        "close_price_valid": data.data["close_price_valid"],
        "benchmark_dict": data.data["benchmark_dict"],
        "group_num": 4,
    }
    return {
        "engine": lambda **kw: _weightbook.calc_strategy_vwap_daily_return(
            weights, **market(data), **kw
        ),
        "runner": lambda **kw: _weightbook.run_strategy_backtest_core(
            weights, **market(data), plot_image_kind=None, **kw
        ),
        "core": lambda **kw: _core.run_alpha_vwap_backtest_core(**{**core_kw, **kw}),
        "strategy": lambda **kw: service.backtest_strategy(
            weights, data, dates[0], dates[-1], None, "s", plot=None, **kw
        ),
        "factor": lambda **kw: service.backtest(
            data.data["close_price"], data, dates[0], dates[-1], None, "f", plot=None, **kw
        ),
    }


# ------------------------------------------------------------------------------ crash


@pytest.mark.parametrize("mapping", ["types.MappingProxyType(bench)", "list(bench.items())"])
def test_benchmark_mapping_of_another_kind_is_a_type_error_not_a_crash(mapping: str) -> None:
    script = textwrap.dedent(
        f"""
        import types
        from lumora.backtest import _core
        from lumora.sandbox import generate_market
        data = generate_market(12, 30, seed=1).dataset_tables()
        bench = data["benchmark_dict"]
        keys = dict(can_buy_stock="can_buy_stock", cant_sell_stock="cant_sell_stock",
                    split_factor="rq_get_split", dividend_factor="rq_get_dividend",
                    close_price="close_price", prev_close="prev_close",
                    buy_price="buy_price", sell_price="sell_price")
        try:
            _core.run_alpha_vwap_backtest_core(
                factor_matrix=data["close_price"], close_price_valid=data["close_price_valid"],
                benchmark_dict={mapping}, group_num=3,
                **{{k: data[v] for k, v in keys.items()}})
        except TypeError as error:
            print("TypeError:", error)
        """
    )
    run = subprocess.run(
        [sys.executable, "-c", script],
        capture_output=True,
        text=True,
        env={"PYTHONPATH": str(SRC), "MPLBACKEND": "Agg", "PATH": "/usr/bin:/bin"},
        check=False,
    )
    assert run.returncode == 0, run.stderr[-2000:]
    assert "TypeError: benchmark_dict must be a dict or None" in run.stdout


# -------------------------------------------------------------- numbers and costs


@pytest.mark.parametrize(
    ("entry", "override", "named"),
    [
        ("core", {"group_num": 2**32 + 5}, "group_num"),
        ("core", {"rolling_window": 1e19}, "rolling_window"),
        ("runner", {"rolling_window": -3}, "rolling_window"),
        ("factor", {"rolling_window": 1e19}, "rolling_window"),
        ("engine", {"lot_size": 0}, "lot_size"),
        ("engine", {"lot_size": 2**64}, "lot_size"),
        *[
            (entry, {name: value}, name)
            for entry in ("engine", "runner", "core", "strategy", "factor")
            for name, value in (
                ("total_money", -1),
                ("total_money", 0),
                ("total_money", float("nan")),
                ("fee", -2),
                ("rule_fee", 1.0),
            )
        ],
    ],
)
def test_out_of_range_numbers_are_refused_naming_argument_and_value(
    loaded: BacktestData, entry: str, override: dict[str, Any], named: str
) -> None:
    (value,) = override.values()
    with pytest.raises(ValueError, match=named) as error:
        entries(loaded)[entry](**override)
    assert repr(value) in str(error.value) or str(value) in str(error.value)


BEYOND_A_FLOAT = [
    ("total_money", 10**400),
    ("fee", 10**400),
    ("rule_fee", -(10**400)),
    ("rolling_window", 10**5000),  # too long even to print
    ("lot_size", Fraction(10**400, 3)),
    ("group_num", 10**5000),
]


# The arguments of each entry among BEYOND_A_FLOAT's.
BEYOND_A_FLOAT_TAKEN = {
    "engine": {"total_money", "fee", "rule_fee", "lot_size"},
    "runner": {"total_money", "fee", "rule_fee", "lot_size", "rolling_window"},
    "core": {"total_money", "fee", "rule_fee", "lot_size", "rolling_window", "group_num"},
}


@pytest.mark.parametrize(
    "entry", ["strategy", "factor", "strategy job", "factor job", "engine", "runner", "core"]
)
def test_numbers_beyond_a_float_are_refused_naming_the_argument(
    loaded: BacktestData, entry: str
) -> None:
    """total_money=10**400 raised a bare OverflowError, and an int of 5,000 digits failed
    to print itself in the message: neither said which argument (in the engine functions
    too)."""
    dates = loaded.data["close_price"].index
    service = BacktestService(None)
    for name, value in BEYOND_A_FLOAT:
        if name not in BEYOND_A_FLOAT_TAKEN.get(entry, {name}):
            continue
        if name == "group_num" and "factor" not in entry and entry != "core":
            continue
        if entry.endswith("job"):
            job_class = FactorJob if entry == "factor job" else StrategyJob
            table = loaded.data["close_price"] if entry == "factor job" else daily_weights(loaded)
            job = job_class(table, dates[0], dates[-1], **{name: value})
            batch = service.backtest_many({"job": job}, loaded, executor="serial", progress=False)
            error = batch.failed["job"].error
        else:
            with pytest.raises(Exception) as raised:
                entries(loaded)[entry](**{name: value})
            error = raised.value
        assert type(error) is ValueError and str(error).startswith(f"{name} is out of range, got")


def test_infinite_or_huge_weight_is_refused_naming_the_first_cell(loaded: BacktestData) -> None:
    weights = daily_weights(loaded)
    rng = np.random.default_rng(3)
    for _ in range(5):
        bad = weights.copy()
        cells = sorted(
            zip(rng.integers(0, len(bad), 3), rng.integers(0, bad.shape[1], 3), strict=True)
        )
        for i, j in cells:
            bad.iloc[i, j] = rng.choice([np.inf, -np.inf, 1e308, -2e6])
        i, j = cells[0]
        where = re.escape(
            f"found {float(bad.iloc[i, j])!r} on {bad.index[i]} for stock {bad.columns[j]}"
        )
        # column-major memory: the first cell is still the first by date, then stock
        fortran = pd.DataFrame(np.asfortranarray(bad.to_numpy()), bad.index, bad.columns)
        for run, table in (
            (_weightbook.calc_strategy_vwap_daily_return, bad),
            (_weightbook.run_strategy_backtest_core, bad),
            (_weightbook.run_strategy_backtest_core, fortran),
        ):
            with pytest.raises(ValueError, match=where):
                run(table, **market(loaded))


# ------------------------------------------------------------------------ warnings


def test_gross_above_one_and_sparse_rows_warn_once(
    loaded: BacktestData, caplog: pytest.LogCaptureFixture
) -> None:
    mask = loaded.data["close_price"].notna().astype(float)  # a 0/1 selection as weights
    monthly = mask.iloc[::20]
    with caplog.at_level(logging.WARNING, logger="lumora"):
        _weightbook.run_strategy_backtest_core(monthly, **market(loaded))
    gross = [r.getMessage() for r in caplog.records if "gross weight" in r.getMessage()]
    sparse = [r.getMessage() for r in caplog.records if "hold_weights" in r.getMessage()]
    assert len(gross) == 1 and len(sparse) == 1
    assert f"{monthly.sum(axis=1).max():.4g}" in gross[0]
    span = loaded.data["close_price"].index.get_loc(monthly.index[-1]) + 1
    assert f"rows on {len(monthly)} of the {span} trading days" in sparse[0]

    caplog.clear()
    with caplog.at_level(logging.WARNING, logger="lumora"):
        held = hold_weights(monthly / 100.0, loaded)
        _weightbook.run_strategy_backtest_core(held, **market(loaded))
    assert caplog.records == []


def test_hold_weights_matches_a_row_by_row_model(loaded: BacktestData) -> None:
    days = list(loaded.data["close_price"].index)
    rng = np.random.default_rng(5)
    picks = sorted(rng.choice(len(days) - 10, 6, replace=False))
    rows = rng.random((6, 7))
    rows[rows < 0.3] = np.nan  # a stock left out of a rebalance stays out
    stocks = list(loaded.data["close_price"].columns[:7])
    weights = pd.DataFrame(rows, index=[days[p] for p in picks], columns=stocks)
    end = days[-3]

    def model_row(day: str) -> list[float]:
        latest = max(d for d in weights.index if d <= day)
        return list(weights.loc[latest])

    want_days = [d for d in days if weights.index[0] <= d <= end]
    want = pd.DataFrame([model_row(d) for d in want_days], index=want_days, columns=stocks)
    got = hold_weights(weights.set_axis([int(d) for d in weights.index]), loaded, end)
    pd.testing.assert_frame_equal(got, want, check_names=False, check_index_type=False)
    assert hold_weights(weights, loaded).index[-1] == weights.index[-1]


def test_small_groups_warn_with_their_average_size(
    loaded: BacktestData, caplog: pytest.LogCaptureFixture
) -> None:
    with caplog.at_level(logging.WARNING, logger="lumora"):
        entries(loaded)["core"](group_num=20)
    (message,) = [r.getMessage() for r in caplog.records if "factor groups" in r.getMessage()]
    valid = loaded.data["close_price_valid"].notna() & loaded.data["close_price"].notna()
    per_day = valid.sum(axis=1)
    assert f"{per_day[per_day > 0].mean() / 20:.1f} stocks on average" in message


def test_window_without_trading_days_warns_with_the_data_span(
    loaded: BacktestData, caplog: pytest.LogCaptureFixture
) -> None:
    dates = loaded.data["close_price"].index
    with caplog.at_level(logging.WARNING, logger="lumora"):
        result = BacktestService(None).backtest_strategy(
            daily_weights(loaded), loaded, "20991201", "20991231", None, "w", plot=None
        )
    assert len(result.daily_return) == 0
    (message,) = [r.getMessage() for r in caplog.records]
    assert dates[0] in message and dates[-1] in message


# ----------------------------------------------------------------------- benchmarks


@pytest.mark.parametrize("request_kind", ["strategy", "factor"])
@pytest.mark.parametrize(
    "code", ["999999", "hs300", 300, [], ["000300", "399001"], "000300.SZ", "000300.", "000300SH"]
)
def test_unsupported_benchmark_lists_the_supported_codes(
    loaded: BacktestData, request_kind: str, code: Any
) -> None:
    with pytest.raises(ValueError, match="000300, 000905|000852, 000300, 000905"):
        entries(loaded)[request_kind](benchmark=code)


def test_exchange_form_and_list_order_choose_the_benchmark(loaded: BacktestData) -> None:
    run = entries(loaded)["strategy"]
    short = run(benchmark="000300")
    assert run(benchmark="000300.XSHG").stats == short.stats
    assert run(benchmark="000300.sh").stats == short.stats
    assert run(benchmark=["000300", "000905"]).stats == short.stats
    # The first listed benchmark the data holds is the primary one, not the mapping's first.
    assert run(benchmark=["000905", "000300"]).stats == run(benchmark="000905").stats
    assert run(benchmark="000905").stats != short.stats
    factor = entries(loaded)["factor"](benchmark="000905.xshg")
    assert factor.benchmark_summary["benchmark_name"].tolist() == ["000905"]


# Stock codes as the file source reads them: a vendor's suffix or prefix, any letter case,
# spaces around, or a number that lost its leading zeros.
CODE_FORMS = {
    "6": ["{c}.SHSE", "{c}.XSHG", "sh{c}", "SH.{c}", "{c}.ss", " {c}.SH "],
    "0": ["{c}.SZSE", "{c}.XSHE", "sz{c}", "sz.{c}", "{c}.Sz"],
    "3": ["{c}.SZSE", "{c}.xshe", "SZ{c}"],
}
NUMBER_FORMS = [int, lambda code: str(int(code)), lambda code: f"{int(code)}.0"]


def as_vendors_write(codes: pd.Index) -> list[object]:
    """Each six-digit code in one of the forms the file source reads, in turn."""
    out: list[object] = []
    for position, code in enumerate(codes):
        forms = CODE_FORMS[code[0]]
        if position % 3 == 2:
            out.append(NUMBER_FORMS[position // 3 % len(NUMBER_FORMS)](code))
        else:
            out.append(forms[position % len(forms)].format(c=code))
    return out


@pytest.mark.parametrize("request_kind", ["strategy", "factor"])
def test_every_code_form_the_files_read_is_a_column_of_a_request(
    loaded: BacktestData, request_kind: str
) -> None:
    """A table whose columns are written as the file source reads codes ("600000.SHSE",
    "sz000001", 1, ...) gives the result of the same table with six-digit columns; such
    columns were refused ("column labels are not stock codes")."""
    service = BacktestService(None)
    dates = loaded.data["close_price"].index
    window = (loaded, dates[0], dates[-1], None, request_kind)

    def run(table: pd.DataFrame) -> dict[str, Any]:
        if request_kind == "strategy":
            result = service.backtest_strategy(table, *window, plot=None)
            return {"daily_return": result.daily_return, "stats": result.stats}
        groups = service.backtest(table, *window, plot=None, group_num=4)
        return {"groups": groups.group_daily_return, "rank_ic": groups.rank_ic}

    if request_kind == "strategy":
        table = daily_weights(loaded)
    else:
        table = loaded.data["close_price"].pct_change(5, fill_method=None)
    written = table.set_axis(as_vendors_write(table.columns), axis=1)
    assert not any(isinstance(c, str) and len(c.strip()) == 6 for c in written.columns[:4])
    expected, got = run(table), run(written)
    for name, value in expected.items():
        if isinstance(value, pd.DataFrame):
            pd.testing.assert_frame_equal(got[name], value, check_exact=True)
        elif isinstance(value, pd.Series):
            pd.testing.assert_series_equal(got[name], value, check_exact=True)
        else:
            assert got[name] == value
    with pytest.raises(ValueError, match="not stock codes: '600000.SHH'"):
        run(table.set_axis(["600000.SHH", *table.columns[1:]], axis=1))


# ------------------------------------------------------------ requests before work


def test_output_directory_made_and_bad_file_name_refused_before_work(
    loaded: BacktestData, tmp_path: Path, monkeypatch: pytest.MonkeyPatch
) -> None:
    weights = daily_weights(loaded).iloc[:40]
    service = BacktestService(None)
    calls: list[int] = []
    monkeypatch.setattr(
        _weightbook, "run_strategy_backtest_core", lambda **kw: calls.append(1) or 1 / 0
    )
    with pytest.raises(ValueError, match="plot_filename"):
        service.backtest_strategy(weights, loaded, 20150101, 20991231, tmp_path, "a/b")
    with pytest.raises(TypeError, match="output_dir"):
        service.backtest_strategy(weights, loaded, 20150101, 20991231, 7, "a")
    assert calls == []
    monkeypatch.undo()
    target = tmp_path / "new" / "deeper"
    result = service.backtest_strategy(weights, loaded, 20150101, 20991231, target, "a")
    assert Path(result.plot_paths["main"]).is_file()


@pytest.mark.parametrize(
    ("call", "error", "says"),
    [
        (
            lambda s, d, w: s.backtest_strategy(w, d.data, 0, 1, None, "x", plot=None),
            TypeError,
            "data must be the BacktestData",
        ),
        (
            lambda s, d, w: s.backtest(
                w, d, 20150101, 20991231, None, "x", plot=None, universe=905
            ),
            TypeError,
            "universe must be",
        ),
        (
            lambda s, d, w: s.backtest_strategy(w.iloc[:, 0], d, 0, 1, None, "x", plot=None),
            TypeError,
            "strategy must be a pandas DataFrame",
        ),
        (
            lambda s, d, w: s.backtest(w.to_numpy(), d, 0, 1, None, "x", plot=None),
            TypeError,
            "factor must be a pandas DataFrame",
        ),
        (
            lambda s, d, w: _weightbook.calc_strategy_vwap_daily_return(w.to_numpy(), **market(d)),
            TypeError,
            "signal_matrix must be a pandas DataFrame",
        ),
        (
            lambda s, d, w: _weightbook.run_strategy_backtest_core(
                w, **{**market(d), "close_price": d.data["close_price"].iloc[:, 0]}
            ),
            TypeError,
            "close_price must be a pandas DataFrame",
        ),
        (
            lambda s, d, w: _weightbook.calc_strategy_vwap_daily_return(
                w.set_axis([w.index[0], *w.index[:-1]]), **market(d)
            ),
            ValueError,
            "signal_matrix has a repeated date label",
        ),
        (
            lambda s, d, w: _core.run_alpha_vwap_backtest_core(
                factor_matrix=w,
                close_price_valid=w.set_axis([w.columns[1], *w.columns[1:]], axis=1),
                **market(d),
            ),
            ValueError,
            "close_price_valid has a repeated stock label",
        ),
    ],
)
def test_common_slips_say_what_was_expected(
    loaded: BacktestData, call: Any, error: type[Exception], says: str
) -> None:
    with pytest.raises(error, match=says):
        call(BacktestService(None), loaded, daily_weights(loaded))


# ------------------------------------------------------------------ adjusted close


def test_adjusted_close_across_a_hand_computed_ex_date() -> None:
    dates = ["20240102", "20240103", "20240104", "20240105", "20240108"]
    close = pd.DataFrame(
        {"000001": [10.0, 10.5, 5.0, np.nan, 5.5], "000002": [20.0, 19.0, 19.5, 20.0, 18.0]},
        index=dates,
    )
    split = pd.DataFrame(np.nan, index=dates, columns=close.columns)
    dividend = split.copy()
    split.loc["20240104", "000001"] = 2.0  # one share became two
    dividend.loc["20240104", "000001"] = 0.3  # and paid 0.3 per old share
    dividend.loc["20240107", "000002"] = 9.9  # not a trading day: ignored
    dividend.loc["20240105", "000002"] = 1.0
    split = split.drop(index="20240103")  # tables aligned by label
    data = BacktestData(
        data={"close_price": close, "rq_get_split": split, "rq_get_dividend": dividend}
    )
    got = data.adjusted_close()
    ex_day = 10.5 * (2.0 * 5.0 + 0.3) / 10.5  # holder's value on the ex-date
    want = pd.DataFrame(
        {
            "000001": [10.0, 10.5, ex_day, np.nan, ex_day * 5.5 / 5.0],
            "000002": [20.0, 19.0, 19.5, 19.5 * 21.0 / 19.5, 19.5 * 21.0 / 19.5 * 18.0 / 20.0],
        },
        index=dates,
    )
    pd.testing.assert_frame_equal(got, want, rtol=1e-14)


def test_chart_of_a_short_window_labels_days_not_hours(
    loaded: BacktestData, tmp_path: Path, monkeypatch: pytest.MonkeyPatch
) -> None:
    import matplotlib.figure

    saved: list[Any] = []
    save = matplotlib.figure.Figure.savefig

    def keep(self: Any, *args: Any, **kwargs: Any) -> Any:
        saved.append(self)
        return save(self, *args, **kwargs)

    monkeypatch.setattr(matplotlib.figure.Figure, "savefig", keep)
    dates = loaded.data["close_price"].index
    for days in (2, 3):
        BacktestService(None).backtest_strategy(
            daily_weights(loaded), loaded, dates[30], dates[30 + days], tmp_path, f"d{days}"
        )
    labels = [
        label.get_text()
        for figure in saved
        for ax in figure.axes
        for label in ax.get_xticklabels()
        if label.get_text()
    ]
    assert labels and not [text for text in labels if ":" in text or "1970" in text], labels
