"""BacktestService.backtest and _to_public_result: request checks, what reaches the group
core, the public result, and real runs of the core on sandbox data."""

from __future__ import annotations

import copy
from concurrent.futures import ThreadPoolExecutor
from types import SimpleNamespace

import numpy as np
import pandas as pd
import pytest

from engine_keys import COST_DEFAULTS, GROUP_MARKET_KEYS, recorded_calls
from lumora._dataset_keys import component_dataset_key
from lumora.backtest import BacktestData, BacktestResult, BacktestService, _core, _service
from lumora.sandbox import generate_market

REQUIRED = GROUP_MARKET_KEYS  # every market table the factor request needs
OPTIONAL = ("industry_matrix", "forward_return_rank_cache", "open_price")
KEYWORDS = [
    "factor_matrix",
    "industry_matrix",
    *REQUIRED,
    "benchmark_dict",
    "forward_return_rank_cache",
    "open_price",
    "benchmark_names",
    "rolling_window",
    "ascending",
    "group_num",
    *COST_DEFAULTS,
    "plot_image_kind",
    "plot_save_path",
    "factor_name",
    "plot_title",
    "market_work",
    "adjusted_ic",
]
START, END = "20150301", "20150630"


@pytest.fixture(scope="module")
def loaded() -> BacktestData:
    return BacktestData(data=generate_market(40, 140, seed=8).dataset_tables())


def momentum(data: BacktestData) -> pd.DataFrame:
    factor = data.data["close_price"].pct_change(5, fill_method=None)
    factor.columns.name = "mom5"
    return factor


def in_window(table, start: str = START, end: str = END):
    return table.loc[(table.index >= start) & (table.index <= end)]


def universe_valid(data: dict, codes: list[str]) -> pd.DataFrame:
    """close_price_valid restricted to the union of the indices' members."""
    valid = data["close_price_valid"]
    union = None
    for code in codes:
        member = data[component_dataset_key(_service._UNIVERSE_TO_COMPONENT[code])]
        member = member.reindex(index=valid.index, columns=valid.columns)
        union = member if union is None else union.add(member, fill_value=0.0)
    return valid * (union.where(union > 0) * 0 + 1)


def core_reply(kwargs: dict) -> SimpleNamespace:
    return SimpleNamespace(
        plot_paths={"000852": {"primary": kwargs["plot_save_path"]}},
        best_group=3.0,
        group_daily_return="daily",
        group_cumulative_return="cumulative",
        rank_ic="ic",
        benchmark_summary=lambda: "summary",
    )


@pytest.fixture
def recorder(monkeypatch):
    return recorded_calls(monkeypatch, _core, "run_alpha_vwap_backtest_core", core_reply)


# --------------------------------------------------------------------------- request


def test_core_receives_cut_inputs_in_order(loaded, recorder, tmp_path):
    factor = momentum(loaded)
    result = BacktestService(None).backtest(
        factor,
        loaded,
        int(START),
        END,
        tmp_path,
        "alpha",
        group_num=2.9,
        benchmark=["000300", "all"],
        rolling_window=5.5,
        ascending=[1],
        total_money=5e6,
        fee=0,
        rule_fee="0.001",
        lot_size=100.7,
    )
    (kwargs,) = recorder
    assert list(kwargs) == KEYWORDS
    pd.testing.assert_frame_equal(kwargs["factor_matrix"], in_window(factor))
    for keyword in ("industry_matrix", "forward_return_rank_cache", "open_price"):
        pd.testing.assert_frame_equal(kwargs[keyword], in_window(loaded.data[keyword]))
    for keyword, dataset in REQUIRED.items():
        pd.testing.assert_frame_equal(kwargs[keyword], in_window(loaded.data[dataset]))
    assert list(kwargs["benchmark_dict"]) == list(loaded.data["benchmark_dict"])
    for name, series in kwargs["benchmark_dict"].items():
        pd.testing.assert_series_equal(series, in_window(loaded.data["benchmark_dict"][name]))
    assert kwargs["benchmark_names"] == ["000300", "all"]
    numbers = [
        kwargs[k]
        for k in (
            "group_num",
            "rolling_window",
            "ascending",
            "total_money",
            "fee",
            "rule_fee",
            "lot_size",
        )
    ]
    assert numbers == [2, 5, True, 5e6, 0.0, 0.001, 100]
    assert [type(n) for n in numbers] == [int, int, bool, float, float, float, int]
    assert kwargs["plot_image_kind"] == "long"
    assert kwargs["plot_save_path"] == str(tmp_path / "alpha.png")
    assert (kwargs["factor_name"], kwargs["plot_title"]) == ("mom5", "alpha")
    # The loaded market's kept work, built by this first request; the Rank IC on opens as traded.
    assert kwargs["market_work"] is not None and kwargs["adjusted_ic"] is False
    assert kwargs["market_work"].shape == loaded.data["open_price"].shape
    assert isinstance(result, BacktestResult)
    assert {k: v for k, v in vars(result).items() if k not in ("parameters", "_source")} == {
        "factor_name": "mom5",
        "best_group": 3,
        "group_daily_return": "daily",
        "group_cumulative_return": "cumulative",
        "rank_ic": "ic",
        "benchmark_summary": "summary",
        "plot_paths": {"000852": str(tmp_path / "alpha.png")},
        "analysis": None,  # the test double has no analysis
        "name": "alpha",  # the request's own name titles its pages and report
    }


@pytest.mark.parametrize("group_num", [2, 100, 100.9])
def test_group_num_bounds_pass(loaded, recorder, group_num):
    BacktestService(None).backtest(
        momentum(loaded), loaded, START, END, "out", "f", group_num=group_num
    )
    assert recorder[0]["group_num"] == int(group_num)


@pytest.mark.parametrize(
    ("universe", "codes"),
    [
        (None, []),
        ("000905", ["000905"]),
        (["000300", 932000], ["000300", "932000"]),
        # The exchange forms benchmarks take, and the index compiler's mark.
        ("000300.SH", ["000300"]),
        (["000905.xshg", "399303.SZ", "932000.CSI"], ["000905", "399303", "932000"]),
    ],
)
def test_universe_masks_validity_and_leaves_inputs_alone(loaded, recorder, universe, codes):
    factor = momentum(loaded).set_axis(pd.to_datetime(momentum(loaded).index))
    factor_before, data_before = factor.copy(), copy.deepcopy(loaded.data)
    tables_before = dict(loaded.data)
    BacktestService(None).backtest(factor, loaded, START, END, "out", "f", universe=universe)
    valid = recorder[0]["close_price_valid"]
    expected = in_window(
        universe_valid(loaded.data, codes) if codes else loaded.data["close_price_valid"]
    )
    pd.testing.assert_frame_equal(valid, expected)
    if codes:  # the mask really removes stocks
        assert (
            valid.isna().to_numpy().sum()
            > in_window(loaded.data["close_price_valid"]).isna().to_numpy().sum()
        )
    pd.testing.assert_frame_equal(factor, factor_before)
    assert all(loaded.data[k] is v for k, v in tables_before.items())
    for key, table in data_before.items():
        if isinstance(table, pd.DataFrame):
            pd.testing.assert_frame_equal(loaded.data[key], table)


def test_factor_name_comes_from_the_users_table(loaded, recorder, monkeypatch):
    clean = _service.clean_matrix
    monkeypatch.setattr(
        _service, "clean_matrix", lambda t, **kw: clean(t, **kw).rename_axis(columns=None)
    )
    BacktestService(None).backtest(momentum(loaded), loaded, START, END, "out", "f")
    assert recorder[0]["factor_matrix"].columns.name is None
    assert recorder[0]["factor_name"] == "mom5"


def test_missing_optional_datasets_reach_the_core_as_none(loaded, recorder):
    data = BacktestData(data={k: v for k, v in loaded.data.items() if k not in OPTIONAL})
    BacktestService(None).backtest(momentum(loaded), data, START, END, "out", "f")
    assert [recorder[0][k] for k in OPTIONAL] == [None, None, None]


@pytest.mark.parametrize(
    "dataset", ["close_price_valid", "rq_get_split", "sell_price", "benchmark_dict"]
)
def test_missing_required_dataset_is_a_key_error(loaded, recorder, dataset):
    data = BacktestData(data={k: v for k, v in loaded.data.items() if k != dataset})
    with pytest.raises(KeyError, match=dataset):
        BacktestService(None).backtest(momentum(loaded), data, START, END, "out", "f")
    assert recorder == []


class MyStr(str):
    pass


def test_without_a_chart_no_chart_path_is_needed(loaded, recorder):
    BacktestService(None).backtest(momentum(loaded), loaded, START, END, None, "f", plot=None)
    (kwargs,) = recorder
    assert (kwargs["plot_image_kind"], kwargs["plot_save_path"]) == (None, None)


NO_000300 = component_dataset_key("rq_index_components_new_000300.XSHG")
ARGS = (START, END, "out", "f")
RANGE = r"^group_num 取值范围 \[2, 100\]$"
NO_MEMBERS = "^选股范围 000300 无成分股数据,请重新准备数据$"


@pytest.mark.parametrize(
    ("factor", "args", "options", "error", "message"),
    [
        (None, ARGS, {}, ValueError, "^因子宽表为空$"),
        ("empty", ARGS, {"group_num": 101}, ValueError, "^因子宽表为空$"),
        ("f", ARGS, {"group_num": 1}, ValueError, RANGE),
        ("f", ARGS, {"group_num": 101}, ValueError, RANGE),
        ("f", ARGS, {"group_num": 1.99}, ValueError, "group_num 取值范围"),
        # Argument kinds are checked before the body: even before the empty factor.
        (None, (START, END, "out", None), {}, TypeError, "plot_filename"),
        (None, (START, END, "out", MyStr("f")), {}, TypeError, "plot_filename"),
        # Without a chart (None) the request computes the numbers only.
        (None, ARGS, {"plot": None}, ValueError, "^因子宽表为空$"),
        (None, ARGS, {"plot": 1}, TypeError, "plot"),
        (None, ARGS, {"group_num": "5"}, TypeError, "group_num"),
        (None, ARGS, {"group_num": None}, TypeError, "group_num"),
        (None, ARGS, {"rolling_window": "3"}, TypeError, "rolling_window"),
        ("f", ARGS, {"universe": ["000905", "000001"]}, ValueError, "^不支持的选股范围: 000001$"),
        ("f", ARGS, {"universe": "000300"}, ValueError, NO_MEMBERS),
        ("f", (None, END, "out", "f"), {}, TypeError, "start_date"),
        ("f", (START, None, "out", "f"), {}, TypeError, "end_date"),
        ("f", ("20150231", END, "out", "f"), {}, ValueError, "20150231"),
    ],
)
def test_request_errors(loaded, recorder, factor, args, options, error, message):
    table = {"f": momentum(loaded), "empty": momentum(loaded).iloc[:0], None: None}[factor]
    data = BacktestData(data={**loaded.data, NO_000300: loaded.data[NO_000300].iloc[:0]})
    with pytest.raises(error, match=message):
        BacktestService(None).backtest(table, data, *args, **options)
    assert recorder == []


# --------------------------------------------------------------------------- public result


def core_result(plot_paths, best_group):
    return SimpleNamespace(
        plot_paths=plot_paths,
        best_group=best_group,
        group_daily_return="d",
        group_cumulative_return="c",
        rank_ic="ic",
        benchmark_summary=lambda: "summary",
    )


@pytest.mark.parametrize(
    ("plot_paths", "expected"),
    [
        (None, {}),
        ({}, {}),
        (
            {"000852": {"primary": "a.png", "extra": "b.png"}, "000300": {}},
            {"000852": "a.png", "000300": ""},
        ),
    ],
)
def test_public_plot_paths(plot_paths, expected):
    result = BacktestService._to_public_result(core_result(plot_paths, 1), "x")
    assert result.plot_paths == expected and list(result.plot_paths) == list(expected)


@pytest.mark.parametrize(
    ("best_group", "expected"),
    [(float("nan"), -1), (None, -1), (pd.NA, -1), (7.0, 7), (7.9, 7), (np.int64(4), 4)],
)
def test_public_best_group(best_group, expected):
    result = BacktestService(None)._to_public_result(core_result(None, best_group), "x")
    assert result.best_group == expected and type(result.best_group) is int
    assert (result.factor_name, result.benchmark_summary) == ("x", "summary")


def test_public_result_needs_a_text_factor_name():
    with pytest.raises(TypeError, match="factor_name"):
        BacktestService._to_public_result(core_result(None, 1), None)


# --------------------------------------------------------------------------- real core


@pytest.mark.parametrize(
    ("universe", "options"),
    [
        (None, {"group_num": 4}),
        (
            ["000300", "000905"],
            {"group_num": 3, "ascending": True, "rolling_window": 3, "benchmark": "all"},
        ),
    ],
)
def test_real_core_matches_a_direct_call(loaded, tmp_path, universe, options):
    factor = momentum(loaded)
    result = BacktestService(None).backtest(
        factor, loaded, START, END, tmp_path, "alpha", universe=universe, **options
    )
    cut = {k: in_window(v) if isinstance(v, pd.DataFrame) else v for k, v in loaded.data.items()}
    codes = BacktestService._parse_universe(universe)
    valid = in_window(universe_valid(loaded.data, codes)) if codes else cut["close_price_valid"]
    direct = _core.run_alpha_vwap_backtest_core(
        factor_matrix=in_window(factor),
        **{keyword: cut[dataset] for keyword, dataset in REQUIRED.items()}
        | {"close_price_valid": valid},
        forward_return_rank_cache=cut["forward_return_rank_cache"],
        benchmark_dict={n: in_window(s) for n, s in loaded.data["benchmark_dict"].items()},
        benchmark_names=options.get("benchmark", "000852"),
        **{k: v for k, v in options.items() if k != "benchmark"},
    )
    pd.testing.assert_frame_equal(result.group_daily_return, direct.group_daily_return)
    pd.testing.assert_frame_equal(result.group_cumulative_return, direct.group_cumulative_return)
    pd.testing.assert_series_equal(result.rank_ic, direct.rank_ic)
    pd.testing.assert_frame_equal(result.benchmark_summary, direct.benchmark_summary())
    assert result.best_group == direct.best_group and 1 <= result.best_group <= options["group_num"]
    assert result.factor_name == "mom5" and isinstance(result.plot_paths, dict)
    assert len(result.group_daily_return) > 40 and result.group_daily_return.index[-1] <= END


def test_real_core_without_optional_datasets_and_shared_by_threads(loaded, tmp_path):
    data = BacktestData(data={k: v for k, v in loaded.data.items() if k not in OPTIONAL})
    factor = momentum(loaded)

    def run(n: int) -> BacktestResult:
        return BacktestService(None).backtest(
            factor, data, START, END, tmp_path, f"f{n}", group_num=5
        )

    with ThreadPoolExecutor(3) as pool:
        results = list(pool.map(run, range(3)))
    assert results[0].rank_ic.empty  # no forward returns to rank against
    for other in results[1:]:
        pd.testing.assert_frame_equal(other.group_daily_return, results[0].group_daily_return)
    assert results[0].group_daily_return.notna().to_numpy().any()


def test_real_core_on_a_window_without_factor_rows(loaded, tmp_path):
    result = BacktestService(None).backtest(
        momentum(loaded), loaded, "20990101", "20991231", tmp_path, "f"
    )
    assert result.best_group == -1 and result.group_daily_return.empty and result.plot_paths == {}
