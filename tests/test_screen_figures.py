"""A screen's figures across its factors: p-values adjusted as scipy and statsmodels adjust
them, the factors' rank correlation against a plain pandas model, near-duplicates (mirror
images included) marked and noise not, and the report's table sorting as the summary sorts."""

from __future__ import annotations

import functools
import json
import shutil
import subprocess
from html.parser import HTMLParser
from pathlib import Path
from typing import Any

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from lumora.backtest import BacktestData, BacktestService, _core
from lumora.backtest.batch import FactorJob, StrategyJob
from lumora.sandbox import generate_market

HORIZONS = (1, 5, 10, 20)


@functools.cache
def market() -> BacktestData:
    return BacktestData(data=generate_market(70, 220, seed=21).dataset_tables())


def windows() -> dict[str, tuple[str, str]]:
    dates = market().data["close_price"].index
    return {"whole": (dates[0], dates[-1]), "late": (dates[60], dates[-1])}


def factor_tables() -> dict[str, pd.DataFrame]:
    close = market().data["close_price"]
    mom5 = close.pct_change(5, fill_method=None)
    mom10 = close.pct_change(10, fill_method=None)
    noise = np.random.default_rng(5)
    # Dates as datetimes and half the stocks missing: read by label, as a request does.
    sparse = close.pct_change(20, fill_method=None).iloc[:, ::2].copy()
    sparse.index = pd.to_datetime(sparse.index, format="%Y%m%d")
    sparse = sparse.mask(noise.random(sparse.shape) < 0.2)
    tables = {
        "mom5": mom5,
        "mom5_coarse": (mom5 * 20).round(),  # many ties
        "mom10": mom10,
        "rev10": -mom10,  # a mirror image
        "mom10_scaled": 3.0 * mom10 + 1.0,  # the same ranks
        "mom20_sparse": sparse,
    }
    for k in range(3):
        tables[f"noise{k}"] = pd.DataFrame(
            noise.standard_normal(close.shape), index=close.index, columns=close.columns
        )
    return tables


@functools.cache
def screen() -> Any:
    whole, late = windows()["whole"], windows()["late"]
    tables = factor_tables()
    jobs: dict[str, Any] = {
        name: FactorJob(table, *(late if name == "mom10_scaled" else whole), group_num=5)
        for name, table in tables.items()
    }
    close = market().data["close_price"]
    jobs["failing"] = FactorJob(tables["mom5"], *whole, group_num=1)
    jobs["empty"] = FactorJob(close * np.nan, *whole)
    jobs["equal_weights"] = StrategyJob(close.notna().astype(float) / close.shape[1], *whole)
    return BacktestService(None).backtest_many(jobs, market(), executor="serial", progress=False)


# ------------------------------------------------------------------------------ corrections
@settings(max_examples=60, deadline=None)
@given(
    st.lists(
        st.one_of(
            st.sampled_from([0.0, 1e-4, 0.01, 0.03, 0.5, 1.0, float("nan")]), st.floats(0, 1)
        ),
        min_size=0,
        max_size=40,
    )
)
def test_p_values_are_adjusted_as_scipy_and_statsmodels_adjust_them(p: list[float]) -> None:
    from scipy.stats import false_discovery_control

    multitest = pytest.importorskip("statsmodels.stats.multitest")
    values = np.asarray(p, dtype=float)
    finite = ~np.isnan(values)
    bh = _core.adjusted_p_values(values, "bh")
    holm = _core.adjusted_p_values(values, "holm")
    # NaN entries stay NaN and do not count among the tests.
    assert np.isnan(bh[~finite]).all() and np.isnan(holm[~finite]).all()
    if finite.any():
        np.testing.assert_allclose(bh[finite], false_discovery_control(values[finite]), rtol=1e-12)
        expected = multitest.multipletests(values[finite], method="holm")[1]
        np.testing.assert_allclose(holm[finite], expected, rtol=1e-12)


def test_the_summary_adjusts_each_horizon_over_the_screens_factor_jobs() -> None:
    from scipy.stats import false_discovery_control

    multitest = pytest.importorskip("statsmodels.stats.multitest")
    summary = screen().summary
    factors = summary[summary["kind"] == "factor"]
    assert (
        factors.loc["failing", "status"] == "failed" and factors.loc["empty", "status"] == "empty"
    )
    for name in ("mom10", "noise1"):
        ic = screen().results[name].analysis.ic_summary
        for h in HORIZONS:
            for measure in ("rank_ic", "ic"):
                for figure in ("mean", "t_stat", "p_value"):
                    column = f"{measure}_{figure}_{h}d"
                    assert factors.loc[name, column] == ic.loc[(measure, h), figure], column
    for given_column, stem in [
        (f"rank_ic_p_value_{h}d", f"rank_ic_p_{{}}_{h}d") for h in HORIZONS
    ] + [("long_short_p_value", "long_short_p_{}")]:
        p = factors[given_column].dropna()
        assert len(p) == 9, given_column  # the failed and the empty job are no tests
        np.testing.assert_allclose(
            factors.loc[p.index, stem.format("bh")], false_discovery_control(p), rtol=1e-12
        )
        holm = multitest.multipletests(p, method="holm")[1]
        np.testing.assert_allclose(factors.loc[p.index, stem.format("holm")], holm, rtol=1e-12)
        assert factors.loc[["failing", "empty"], stem.format("bh")].isna().all()
    flag = summary["rank_ic_abs_t_over_3"]
    ran = factors.index.drop(["failing", "empty"])
    assert flag.dtype == "boolean" and flag[["failing", "empty", "equal_weights"]].isna().all()
    assert flag[ran].tolist() == (factors.loc[ran, "rank_ic_t_stat_1d"].abs() > 3).tolist()


# ------------------------------------------------------------------------------ correlation
def model_rank_correlation(
    tables: dict[str, pd.DataFrame], window: dict[str, tuple[str, str]]
) -> pd.DataFrame:
    """Each factor on the market's dates and stocks, where its close is valid and inside its
    window, ranked per date (pandas' average ranks), then per date the Pearson correlation of
    two factors' ranks on the stocks both have, and its mean over dates."""
    valid = market().data["close_price_valid"]
    dates, stocks = valid.index, valid.columns
    ranks = {}
    for name, table in tables.items():
        values = table.copy()
        if isinstance(values.index, pd.DatetimeIndex):
            values.index = values.index.strftime("%Y%m%d")
        start, end = window[name]
        inside = (dates >= start) & (dates <= end)
        usable = valid.astype(float).gt(0) & pd.DataFrame(
            np.repeat(inside[:, None], len(stocks), axis=1), index=dates, columns=stocks
        )
        aligned = values.reindex(index=dates, columns=stocks).where(usable)
        ranks[name] = aligned.where(np.isfinite(aligned)).rank(axis=1)
    names = list(tables)
    out = pd.DataFrame(np.nan, index=names, columns=names)
    for a in names:
        for b in names:
            per_date = ranks[a].corrwith(ranks[b], axis=1)
            out.loc[a, b] = per_date.mean()
    return out


def test_the_factors_rank_correlation_is_the_mean_of_per_date_spearman_correlations() -> None:
    batch = screen()
    tables = factor_tables()
    whole, late = windows()["whole"], windows()["late"]
    window = {name: late if name == "mom10_scaled" else whole for name in tables}
    expected = model_rank_correlation(tables, window)
    found = batch.factor_correlation
    # Every factor job that ran, the empty one all NaN; the failed and the strategy job absent.
    assert list(found.index) == [*tables, "empty"] == list(found.columns)
    assert found.loc["empty"].isna().all()
    np.testing.assert_allclose(
        found.loc[list(tables), list(tables)].to_numpy(), expected.to_numpy(), rtol=0, atol=1e-12
    )
    ls = batch.long_short_correlation
    assert list(ls.index) == list(found.index)
    assert ls.loc["mom10", "rev10"] < -0.8 and ls.loc["mom10", "mom10"] == 1.0


def test_mirror_images_and_exact_duplicates_are_marked_as_one_find_and_noise_is_not() -> None:
    summary = screen().summary
    rank = screen().factor_correlation
    assert rank.loc["mom10", "rev10"] == pytest.approx(-1.0, abs=1e-15)
    assert rank.loc["mom10", "mom10_scaled"] == pytest.approx(1.0, abs=1e-15)  # on its window
    marks = summary["near_duplicate_of"]
    assert marks["mom10"] == "mom10_scaled (+1.00), rev10 (-1.00)" or marks["mom10"] == (
        "rev10 (-1.00), mom10_scaled (+1.00)"
    )
    assert marks["rev10"].startswith("mom10 (-1.00)")
    for name in ("noise0", "noise1", "noise2", "mom20_sparse"):
        assert marks[name] == "", name
        assert summary.loc[name, "duplicate_group"] == name
    group = summary.loc[["mom10", "rev10", "mom10_scaled"], "duplicate_group"]
    assert group.nunique() == 1 and group.iloc[0] in ("mom10", "rev10", "mom10_scaled")
    # One row per find: the three momentum-10 jobs keep one.
    finds = summary[summary["duplicate_group"] == summary.index]
    assert len({"mom10", "rev10", "mom10_scaled"} & set(finds.index)) == 1
    assert pd.isna(marks["failing"]) and pd.isna(marks["equal_weights"]) and pd.isna(marks["empty"])


# ------------------------------------------------------------------------------ the report
class _Table(HTMLParser):
    """The sort keys of the screen's table (the first sortable one) and the page's script."""

    def __init__(self) -> None:
        super().__init__()
        self.heads: list[str] = []
        self.rows: list[list[str | None]] = []
        self.script = ""
        self._depth = 0  # inside the sortable table
        self._in_script = False

    def handle_starttag(self, tag: str, attrs: list[tuple[str, str | None]]) -> None:
        attributes = dict(attrs)
        if tag == "table" and "sortable" in (attributes.get("class") or "") and not self.rows:
            self._depth = 1
        elif tag == "table" and self._depth:
            self._depth += 1
        if self._depth == 1 and tag == "th":
            self.heads.append(attributes.get("title") or "")
        if self._depth == 1 and tag == "tr" and self.heads:
            self.rows.append([])
        if self._depth == 1 and tag == "td":
            self.rows[-1].append(attributes.get("data-sort"))
        self._in_script = tag == "script"

    def handle_endtag(self, tag: str) -> None:
        if tag == "table" and self._depth:
            self._depth -= 1
        if tag == "script":
            self._in_script = False

    def handle_data(self, data: str) -> None:
        if self._in_script:
            self.script += data


def test_the_reports_table_sorts_every_column_as_the_summary_sorts(tmp_path: Path) -> None:
    node = shutil.which("node")
    if node is None:
        pytest.skip("node runs the report's sort script")
    batch = screen()
    page = _Table()
    page.feed(Path(batch.to_html(tmp_path / "screen.html", job_reports=False)).read_text("utf-8"))
    table = batch.summary.reset_index()
    assert page.heads == list(table.columns)
    rows = [row for row in page.rows if row]
    assert len(rows) == len(table)
    program = (
        page.script
        + """
const input = JSON.parse(require('fs').readFileSync(0, 'utf8'));
const cell = (key) => ({getAttribute: () => key});
const out = {};
input.columns.forEach((column, c) => {
  const keys = input.rows.map((row) => lumoraSortKey(cell(row[c])));
  out[column] = [lumoraOrder(keys, true), lumoraOrder(keys, false)];
});
process.stdout.write(JSON.stringify(out));
"""
    )
    script = tmp_path / "sort.js"
    script.write_text(program, encoding="utf-8")
    done = subprocess.run(
        [node, str(script)],
        input=json.dumps({"columns": list(table.columns), "rows": rows}),
        capture_output=True,
        text=True,
        check=True,
    )
    orders = json.loads(done.stdout)
    # The columns hold what makes sorting differ: NaN next to numbers and text, negative
    # numbers, empty text next to missing text, and a flag with missing values.
    assert table["error"].eq("").any() and table["near_duplicate_of"].isna().any()
    assert (table["rank_ic_t_stat_1d"] < 0).any() and table["rank_ic_abs_t_over_3"].isna().any()
    for column in table.columns:
        for ascending, shown in zip((True, False), orders[column]):
            expected = table.sort_values(column, ascending=ascending, kind="stable").index
            assert shown == list(expected), (column, ascending)
    # Every column has words of its own in the report.
    from lumora.backtest._report_labels import labelled

    assert [c for c in table.columns if not labelled(str(c), "screen")] == []
