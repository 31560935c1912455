"""How alike the factors of a screen are, and which of them are one find.

``factor``: for every pair of factor jobs, the mean over dates of the cross-sectional rank
correlation of their factor values (Spearman: each factor's values ranked over the stocks it
ranks that date, ties sharing their mean rank, then the Pearson correlation of the two rank
columns on the stocks both rank). Each job's table is read as its request reads it: its
labels normalised (``clean_matrix``), on the loaded market's dates within the job's window
and the stocks with a valid close there, in the job's universe; a job's ``rolling_window``
smooths what it trades, not the factor compared here. The work is native
(``_core.factor_rank_correlation``).

``long_short``: the Pearson correlation of the jobs' daily long-short returns (the highest
group number minus the lowest), over the dates both traded.

A pair with |factor correlation| >= ``NEAR_DUPLICATE`` are near-duplicates, mirror images
(rho <= -0.9: a factor and its negative) included: the summary names each job's
near-duplicates and the job standing for its group of them.
"""

from __future__ import annotations

import math
from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any

import numpy as np
import pandas as pd

from lumora.backtest.batch.jobs import Job, JobFailure
from lumora.backtest.batch.mapped import MappedData, StoreVersionGone
from lumora.logger import logger

__all__ = [
    "NEAR_DUPLICATE",
    "Correlations",
    "long_short_daily",
    "near_duplicates",
    "screen_correlations",
]

NEAR_DUPLICATE = 0.9


@dataclass(frozen=True)
class Correlations:
    """Both correlations, job x job, over the factor jobs that finished."""

    factor: pd.DataFrame
    long_short: pd.DataFrame


def long_short_daily(result: Any) -> pd.Series:
    """A factor result's daily long-short return: the highest group number minus the lowest."""
    daily: pd.DataFrame = result.group_daily_return
    if daily.shape[1] < 2:
        return pd.Series(np.nan, index=daily.index, dtype=float)
    spread: pd.Series = daily.iloc[:, -1] - daily.iloc[:, 0]
    return spread


def _frame(values: np.ndarray, names: list[str]) -> pd.DataFrame:
    index = pd.Index(names, name="job")
    return pd.DataFrame(values, index=index, columns=index.rename("other_job"))


def _market(data: Any, pinned: str | None) -> Any:
    """The loaded market the jobs ran on, or None when this process cannot open it (a
    ``MappedData`` store that only the cluster's workers can see)."""
    if not isinstance(data, MappedData):
        return data
    try:
        return data.load(pinned)
    except (FileNotFoundError, StoreVersionGone) as error:
        logger.warning(
            "the factors' rank correlation is not computed: this process cannot open the "
            "store the jobs ran on (%s)",
            error,
        )
        return None


def _universe_key(universe: Any) -> Any:
    return universe if universe is None or isinstance(universe, str) else tuple(universe)


def _rank_correlation(
    service: Any, jobs: Mapping[str, Job], names: list[str], market: Any
) -> np.ndarray:
    from lumora.backtest import _core
    from lumora.backtest._store import clean_matrix, normalize_yyyymmdd

    loaded = market.data
    validity = loaded["close_price_valid"]
    cleaned: dict[int, pd.DataFrame] = {}
    windows: dict[tuple[Any, ...], pd.DataFrame] = {}
    # Jobs reading one table in one window and universe (a sweep of trading keywords) are
    # one factor here: each distinct pair is ranked once.
    distinct: dict[tuple[int, int], int] = {}
    tables: list[pd.DataFrame] = []
    valid: list[pd.DataFrame] = []
    of_job: list[int] = []
    for name in names:
        job = jobs[name]
        table = job.table
        if id(table) not in cleaned:
            # A table on the market's own labels (made from its tables) is clean already.
            own = table.index.equals(validity.index) and table.columns.equals(validity.columns)
            cleaned[id(table)] = table if own else clean_matrix(table)
        start, end = normalize_yyyymmdd(job.start_date), normalize_yyyymmdd(job.end_date)
        universe = getattr(job, "universe", None)
        key = (start, end, _universe_key(universe))
        if key not in windows:
            # The request's own cut of the validity: its window, then its universe.
            window = service._slice_data(
                {"close_price_valid": validity, **_memberships(loaded)}, start, end
            )
            service._apply_universe_filter(window, universe, start, end)
            windows[key] = window["close_price_valid"]
        pair = (id(table), id(windows[key]))
        if pair not in distinct:
            distinct[pair] = len(tables)
            tables.append(cleaned[id(table)])
            valid.append(windows[key])
        of_job.append(distinct[pair])
    values = _core.factor_rank_correlation(tables, valid, validity.index, validity.columns)
    at = np.asarray(of_job)
    expanded: np.ndarray = values[np.ix_(at, at)]
    return expanded


def _memberships(loaded: Mapping[str, Any]) -> dict[str, Any]:
    """The index membership tables of the loaded market (the universe filter reads them)."""
    from lumora._dataset_keys import component_dataset_key
    from lumora.backtest import _service

    keys = {component_dataset_key(name) for name in _service._UNIVERSE_TO_COMPONENT.values()}
    return {key: loaded[key] for key in keys if key in loaded}


def _long_short_correlation(results: Mapping[str, Any], names: list[str]) -> np.ndarray:
    from lumora.backtest import _core

    daily = [long_short_daily(results[name]) for name in names]
    dates = daily[0].index
    if all(d.index.equals(dates) for d in daily):  # the usual case: one window for all
        series = pd.DataFrame(
            np.column_stack([d.to_numpy(dtype=float) for d in daily]), index=dates
        )
    else:
        series = pd.concat(daily, axis=1, keys=range(len(daily)))
    values: np.ndarray = _core.pairwise_correlation(series)
    return values


def screen_correlations(
    service: Any, jobs: Mapping[str, Job], results: Mapping[str, Any], data: Any, pinned: str | None
) -> Correlations:
    """Both correlations of the factor jobs that finished (all NaN for the factors' values
    when the market cannot be opened here)."""
    names = [
        name
        for name, job in jobs.items()
        if job.kind == "factor" and not isinstance(results[name], JobFailure)
    ]
    if not names:
        empty = _frame(np.empty((0, 0)), [])
        return Correlations(empty, empty.copy())
    market = _market(data, pinned)
    factor = (
        _rank_correlation(service, jobs, names, market)
        if market is not None
        else np.full((len(names), len(names)), np.nan)
    )
    long_short = _long_short_correlation(results, names)
    return Correlations(_frame(factor, names), _frame(long_short, names))


@dataclass(frozen=True)
class NearDuplicates:
    """Per job of the correlation: its near-duplicates as text ("rev10 (-1.00), ...",
    strongest first; "" for none) and the job standing for its group of them."""

    of: dict[str, str]
    group: dict[str, str]


def near_duplicates(factor: pd.DataFrame, t_stats: Mapping[str, float]) -> NearDuplicates:
    """Pairs with |rho| >= NEAR_DUPLICATE. Groups join near-duplicates of near-duplicates;
    each group is named by its job with the largest |t| in ``t_stats`` (the first in the
    screen's order on a tie or when none has one)."""
    names = [str(n) for n in factor.index]
    values = factor.to_numpy(dtype=float)
    parent = list(range(len(names)))

    def root(i: int) -> int:
        while parent[i] != i:
            parent[i] = parent[parent[i]]
            i = parent[i]
        return i

    of: dict[str, str] = {}
    for i, name in enumerate(names):
        close = [
            j
            for j in range(len(names))
            if j != i and not math.isnan(values[i, j]) and abs(values[i, j]) >= NEAR_DUPLICATE
        ]
        close.sort(key=lambda j: (-abs(values[i, j]), j))
        of[name] = ", ".join(f"{names[j]} ({values[i, j]:+.2f})" for j in close)
        for j in close:
            parent[root(j)] = root(i)

    def strength(i: int) -> float:
        t = t_stats.get(names[i], math.nan)
        return abs(t) if not math.isnan(t) else -1.0

    best: dict[int, int] = {}
    for i in range(len(names)):
        r = root(i)
        if r not in best or strength(i) > strength(best[r]):
            best[r] = i
    return NearDuplicates(of, {name: names[best[root(i)]] for i, name in enumerate(names)})
