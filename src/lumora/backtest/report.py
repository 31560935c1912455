"""One self-contained HTML report of a result or of a batch.

A report is a single file that opens in any browser with no server and no notebook: the
chart pages are embedded (each once, shown in parts at the size they were drawn for, see
``_report_pages``), the tables are HTML tables, and the few lines of script that sort the
batch table are inline. Nothing is fetched from the network.

Every figure is shown under words with its unit and a definition, from the one table of
labels in ``_report_labels``; the result's own keys (``max_dd``, ``long_sharp``) appear
only as tooltips and small print, for finding the figure in the result.

A screen's report (``batch_html``) writes each finished job's report beside it. Those draw
no analysis page (a second or more per job, where the rest of a report takes milliseconds):
their tables carry the same figures, and ``result.to_html`` of the job writes the report
with its page. A job report that cannot be written is listed, with the error, in the
screen's report; the others are written.
"""

from __future__ import annotations

import datetime
import hashlib
import html
import math
import os
import re
import tempfile
from collections.abc import Iterable, Mapping
from pathlib import Path
from typing import Any
from urllib.parse import quote

import numpy as np
import pandas as pd

from lumora._atomicio import write_atomic
from lumora.backtest._report_labels import (
    MEASURES,
    PERCENT,
    TEXT,
    Label,
    format_value,
    horizon_family,
    label,
)
from lumora.backtest._report_pages import page_html, read_page

__all__ = ["batch_html", "result_html", "write_report"]

# Temporary folders of the pages a report draws, in the system's temporary directory; a
# folder is locked while its report runs, and those of killed runs go with the next report.
_FOLDER_PREFIX = "lumora-report-"

_STYLE = """
body { font-family: "DejaVu Sans", Arial, "Noto Sans CJK SC", "WenQuanYi Micro Hei", "Microsoft YaHei",
       "PingFang SC", sans-serif; color: #0f172a; margin: 20px 24px; background: #ffffff; font-size: 15px; }
h1 { font-size: 24px; margin: 0 0 4px 0; }
h2 { font-size: 19px; margin: 30px 0 8px 0; border-bottom: 1px solid #e2e8f0; padding-bottom: 4px; }
h3 { font-size: 16px; margin: 18px 0 6px 0; }
p { max-width: 1100px; line-height: 1.45; }
.muted { color: #64748b; font-size: 13px; }
table { border-collapse: collapse; font-size: 14px; margin: 4px 0 8px 0; }
th, td { border: 1px solid #e2e8f0; padding: 4px 9px; text-align: right; vertical-align: top; }
th { background: #eef2ff; font-weight: bold; }
tr:nth-child(even) td { background: #f8fafc; }
td.text, th.text { text-align: left; }
td.note { text-align: left; color: #475569; font-size: 13px; max-width: 620px; }
code.key { color: #94a3b8; font-size: 12px; margin-left: 6px; }
table.wide-head th { max-width: 130px; white-space: normal; vertical-align: bottom; }
div.notes { font-size: 13px; color: #475569; margin: 2px 0 10px 0; max-width: 1100px; }
div.notes p { margin: 0 0 2px 0; break-inside: avoid; }
div.notes.columns { column-count: 2; column-gap: 32px; max-width: none; }
.wide { overflow-x: auto; }
table.sortable th { cursor: pointer; }
table.map td, table.map th { padding: 2px 4px; font-size: 12px; min-width: 30px; }
table.map th.name { text-align: left; white-space: nowrap; font-weight: normal; background: #f8fafc; }
td.failed { color: #b91c1c; }
.page { margin: 6px 0 14px 0; border: 1px solid #e2e8f0; padding: 6px 0; }
.page-data { position: absolute; }
.page-row { display: flex; flex-wrap: wrap; align-items: flex-start; gap: 4px 18px; }
svg.part { max-width: 100%; height: auto; display: block; }
"""

# The screen's table sorts as pandas' ``sort_values(kind="stable")`` sorts the summary:
# numbers (flags as 1 and 0) by value, text by code point as Python compares it, missing
# values last either way and ties in the table's own order. Each cell carries its value in
# ``data-sort`` ("n:<number>" or "t:<text>"; none when missing); ``lumoraOrder`` is the
# whole rule, and a test runs it against the summary.
_SORT_SCRIPT = """
function lumoraSortKey(cell) {
  var s = cell.getAttribute('data-sort');
  if (s === null) return null;
  return s.charAt(0) === 'n' ? {number: parseFloat(s.slice(2))} : {text: s.slice(2)};
}
function lumoraCompareText(x, y) {
  var a = Array.from(x), b = Array.from(y);
  for (var i = 0; i < a.length && i < b.length; i++) {
    var d = a[i].codePointAt(0) - b[i].codePointAt(0);
    if (d !== 0) return d;
  }
  return a.length - b.length;
}
function lumoraOrder(keys, ascending) {
  var order = keys.map(function (key, i) { return i; });
  order.sort(function (i, j) {
    var a = keys[i], b = keys[j];
    if (a === null || b === null) {
      if (a === null && b === null) return i - j;
      return a === null ? 1 : -1;
    }
    var c;
    if ('number' in a && 'number' in b) c = a.number < b.number ? -1 : (a.number > b.number ? 1 : 0);
    else if ('text' in a && 'text' in b) c = lumoraCompareText(a.text, b.text);
    else c = 'number' in a ? -1 : 1;
    return (ascending ? c : -c) || i - j;
  });
  return order;
}
if (typeof document !== 'undefined') {
  document.querySelectorAll('table.sortable').forEach(function (table) {
    var body = table.tBodies[0];
    var first = Array.prototype.slice.call(body.rows);
    table.querySelectorAll('th').forEach(function (th, column) {
      th.addEventListener('click', function () {
        var ascending = th.dataset.order !== 'asc';
        table.querySelectorAll('th').forEach(function (h) { delete h.dataset.order; });
        th.dataset.order = ascending ? 'asc' : 'desc';
        var keys = first.map(function (row) { return lumoraSortKey(row.cells[column]); });
        lumoraOrder(keys, ascending).forEach(function (i) { body.appendChild(first[i]); });
      });
    });
  });
}
"""

_MONTHS = ("Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec")


# ------------------------------------------------------------------------------ cells
def _esc(value: Any) -> str:
    return html.escape(str(value), quote=True)


def _sort_key(value: Any) -> str | None:
    """A cell's value for the sort script: "n:<number>" for a number or a flag (1 / 0),
    "t:<text>" for anything else, None when missing."""
    if getattr(value, "ndim", None) == 0 and hasattr(value, "item"):
        value = value.item()  # a numpy scalar: its Python value
    if value is None or value is pd.NA or value is pd.NaT:
        return None
    if isinstance(value, bool):
        return "n:1" if value else "n:0"
    if isinstance(value, int):
        return f"n:{value}"
    if isinstance(value, float):
        if math.isnan(value):
            return None
        if math.isinf(value):
            return "n:Infinity" if value > 0 else "n:-Infinity"
        return f"n:{value!r}"
    return f"t:{value}"


def _numeric(value: Any) -> bool:
    """A number (numpy's too), not a flag."""
    return isinstance(value, int | float | np.integer | np.floating) and not isinstance(value, bool)


def _cell(value: Any, shown: Label, *, style: str = "", href: str | None = None) -> str:
    text = _esc(format_value(value, shown))
    if href is not None:
        text = f'<a href="{_esc(href)}">{text}</a>'
    css = "" if _numeric(value) and shown.unit != TEXT else ' class="text"'
    style_attr = f' style="{style}"' if style else ""
    key = _sort_key(value)
    sort_attr = f' data-sort="{_esc(key)}"' if key is not None else ""
    return f"<td{css}{style_attr}{sort_attr}>{text}</td>"


def _head(key: Any, shown: Label, *, text: bool = False) -> str:
    css = ' class="text"' if text else ""
    return f'<th{css} title="{_esc(key)}">{_esc(shown.words)}</th>'


def _notes(entries: Iterable[tuple[Any, Label]], *, columns: bool = False) -> str:
    """The definitions of a table's figures, under the table (in two columns when long)."""
    items = [
        f"<p><b>{_esc(shown.words)}</b> {_esc(shown.note)} <code class='key'>{_esc(key)}</code></p>"
        for key, shown in entries
        if shown.note
    ]
    css = "notes columns" if columns else "notes"
    return f'<div class="{css}">{"".join(items)}</div>' if items else ""


def _shade(value: Any, scale: float) -> str:
    """A cell's background for a signed figure: blue above 0, red below, deeper with size."""
    if not _numeric(value) or not math.isfinite(value) or scale <= 0 or value == 0:
        return ""
    strength = 0.08 + 0.5 * min(1.0, abs(value) / scale)
    colour = "37, 99, 235" if value > 0 else "239, 68, 68"
    return f"background: rgba({colour}, {strength:.2f})"


# ------------------------------------------------------------------------------ tables
def _figures_table(values: Mapping[str, Any], table: str) -> str:
    """A mapping of figures as rows: the figure in words, its value in its unit, and its
    definition with the result's key in small print."""
    rows = []
    for key, value in values.items():
        shown = label(key, table)
        note = f"{_esc(shown.note)}<code class='key'>{_esc(key)}</code>"
        rows.append(
            f'<tr><td class="text" title="{_esc(key)}">{_esc(shown.words)}</td>'
            f'{_cell(value, shown)}<td class="note">{note}</td></tr>'
        )
    head = '<tr><th class="text">Figure</th><th>Value</th><th class="text">Definition</th></tr>'
    return f"<table><thead>{head}</thead><tbody>{''.join(rows)}</tbody></table>"


def _frame_table(
    frame: pd.DataFrame,
    table: str,
    *,
    index: str | None = None,
    sortable: bool = False,
    links: Mapping[str, str] | None = None,
    labels: Mapping[Any, Label] | None = None,
    notes: bool = True,
) -> str:
    """A frame as a table, each column headed by its figure's words (the key in a tooltip)
    and each value in its unit; ``index`` is the index's key (None: no index column).
    ``labels`` gives columns their own labels; ``links`` maps index labels to addresses."""
    shown = {c: (labels or {}).get(c) or label(str(c), table) for c in frame.columns}
    index_label = label(index, table) if index is not None else None
    heads = [_head(index, index_label, text=True)] if index_label is not None else []
    heads += [_head(c, shown[c], text=shown[c].unit == TEXT) for c in frame.columns]
    rows = []
    columns = [frame[c].tolist() for c in frame.columns]
    for i, row_label in enumerate(frame.index.tolist()):
        cells = []
        if index_label is not None:
            href = (links or {}).get(str(row_label))
            cells.append(_cell(row_label, index_label, href=href))
        cells += [_cell(values[i], shown[c]) for c, values in zip(frame.columns, columns)]
        rows.append("<tr>" + "".join(cells) + "</tr>")
    css = ["wide-head"] + (["sortable"] if sortable else [])
    body = (
        f'<table class="{" ".join(css)}"><thead><tr>{"".join(heads)}</tr></thead>'
        f"<tbody>{''.join(rows)}</tbody></table>"
    )
    if not notes:
        return body
    described = ([(index, index_label)] if index_label is not None else []) + list(shown.items())
    return body + _notes(described)


def _calendar_table(frame: pd.DataFrame, shown: Label) -> str:
    """A year x month table (months numbered 1-12) with each cell shaded by its sign and size."""
    values = frame.to_numpy(dtype=float)
    finite = values[pd.notna(values)]
    scale = float(abs(finite).max()) if finite.size else 0.0
    heads = ['<th class="text">Year</th>'] + [
        f"<th>{_MONTHS[int(m) - 1]}</th>" for m in frame.columns
    ]
    rows = []
    for year, row in zip(frame.index.tolist(), values.tolist()):
        cells = [f'<td class="text">{_esc(year)}</td>']
        cells += [_cell(v, shown, style=_shade(v, scale)) for v in row]
        rows.append("<tr>" + "".join(cells) + "</tr>")
    return f"<table><thead><tr>{''.join(heads)}</tr></thead><tbody>{''.join(rows)}</tbody></table>"


def _section(title: str, *parts: str, note: str = "") -> list[str]:
    out = [f"<h2>{_esc(title)}</h2>"]
    if note:
        out.append(f'<p class="muted">{note}</p>')
    return out + [p for p in parts if p]


# ------------------------------------------------------------------------------ pages
class _Pages:
    """The chart pages of one document, each embedded once under a key of its own."""

    def __init__(self) -> None:
        self.count = 0

    def html(self, path: str | os.PathLike[str], name: str) -> str:
        self.count += 1
        return page_html(read_page(path), name, f"page-{self.count}")


def _chart_pages(result: Any, pages: _Pages) -> list[str]:
    return [pages.html(p, name) for name, p in result.plot_paths.items() if p and Path(p).is_file()]


def _analysis_page(result: Any, pages: _Pages, draw: bool) -> list[str]:
    """The analysis page, drawn into a temporary folder of this report (locked while in use;
    folders of killed reports are removed first)."""
    if not draw or getattr(result, "analysis", None) is None:
        return []
    from lumora.backtest._pkg import claimed_folder, remove_abandoned

    parent = Path(tempfile.gettempdir())
    remove_abandoned(parent, _FOLDER_PREFIX + "*")
    with claimed_folder(parent, _FOLDER_PREFIX) as folder:
        path = result.plot_analysis(folder / "analysis.png")
        return [pages.html(path, "analysis page")]


def _pages_section(result: Any, draw: bool) -> list[str]:
    pages = _Pages()
    shown = _analysis_page(result, pages, draw) + _chart_pages(result, pages)
    note = ""
    if not draw and getattr(result, "analysis", None) is not None:
        note = (
            "The analysis page is not drawn in a screen's job reports (about a second a job; "
            "the tables below hold its figures): <code>batch.results[name].to_html(path)</code> "
            "writes this report with it."
        )
    if not shown and not note:
        return []
    return _section("Pages", *shown, note=note)


# ------------------------------------------------------------------------------ documents
def _document(title: str, subtitle: str, body: Iterable[str], script: str = "") -> str:
    stamp = datetime.datetime.now().strftime("%Y-%m-%d %H:%M")
    parts = [
        "<!DOCTYPE html>",
        '<html lang="en"><head><meta charset="utf-8">',
        '<meta name="viewport" content="width=device-width, initial-scale=1">',
        f"<title>{_esc(title)}</title><style>{_STYLE}</style></head><body>",
        f"<h1>{_esc(title)}</h1>",
        f"<div class='muted'>{_esc(subtitle)}lumora report, written {stamp}.</div>",
        *body,
    ]
    if script:
        parts.append(f"<script>{script}</script>")
    parts.append("</body></html>")
    return "\n".join(parts)


def _parameters(result: Any, named: Mapping[str, Any]) -> list[str]:
    return _section("Parameters", _figures_table({**named, **result.parameters}, "parameters"))


def _benchmarks(result: Any) -> list[str]:
    table = result.benchmark_summary
    if not len(table):
        return []
    frame = table.set_index("benchmark_name") if "benchmark_name" in table else table
    return _section(
        "Against the benchmarks",
        _frame_table(
            frame, "benchmarks", index="benchmark_name" if "benchmark_name" in table else None
        ),
    )


def _period(parameters: Mapping[str, Any]) -> str:
    date = label("start_date")
    start, end = parameters.get("start_date"), parameters.get("end_date")
    if start is None or end is None:
        return ""
    return f"{format_value(start, date)} to {format_value(end, date)}."


# ------------------------------------------------------------------------------ factor
def _ic_tables(summary: pd.DataFrame) -> list[str]:
    """The IC summary as one table per measure, every column named with the measure, and
    the definitions once under both."""
    frame = summary.reset_index()
    out = []
    columns: list[str] = []
    for measure, (words, definition) in MEASURES.items():
        rows = frame[frame["measure"] == measure].drop(columns="measure").set_index("horizon_days")
        if not len(rows):
            continue
        columns = [str(c) for c in rows.columns]
        labels = {}
        for column in rows.columns:
            base = label(str(column), "ic_summary")
            labels[column] = Label(f"{words} {base.words}", base.unit, base.note, base.digits)
        out += [
            f"<h3>{_esc(words)} by horizon</h3>",
            f'<p class="muted">{_esc(words)}: {_esc(definition)}, per date, over the ranked stocks.</p>',
            _frame_table(rows, "ic_summary", index="horizon_days", labels=labels, notes=False),
        ]
    described = [(key, label(key, "ic_summary")) for key in ["horizon_days", *columns]]
    neutral = [
        (key, Label(shown.words[:1].upper() + shown.words[1:], note=shown.note))
        for key, shown in described
    ]
    return out + [_notes(neutral)]


def _factor_body(result: Any, draw_pages: bool) -> list[str]:
    analysis = result.analysis
    body = _parameters(result, {"factor": result.title})
    if analysis is not None:
        body += _section("Headline figures", _figures_table(analysis.summary, "factor"))
    body += _benchmarks(result)
    body += _pages_section(result, draw_pages)
    if analysis is None:
        return body
    body += _section(
        "Information coefficient by horizon",
        *_ic_tables(analysis.ic_summary),
        note="Forward returns run from the open after a date to the open h trading days later; "
        "read down a table it is the IC decay.",
    )
    groups = analysis.group_performance.copy()
    groups.index = groups.index.map(str)
    body += _section("Return figures by group", _frame_table(groups, "groups", index="group"))
    body += _section(
        "Rank IC by month",
        _calendar_table(analysis.monthly_rank_ic, Label("Rank IC", digits=4)),
        note="Mean of the daily Rank IC (horizon 1) within each month.",
    )
    return body


# ------------------------------------------------------------------------------ strategy
def _yearly_last(series: pd.Series) -> pd.Series:
    """The last value of each calendar year of a series indexed by YYYYMMDD dates."""
    years = pd.Index([str(d)[:4] for d in series.index], name="year")
    return series.groupby(years).last()


def _yearly_mean(frame: pd.DataFrame) -> pd.DataFrame:
    years = pd.Index([str(d)[:4] for d in frame.index], name="year")
    return frame.groupby(years).mean()


def _rolling_section(analysis: Any) -> list[str]:
    """The rolling figures at the end of each year (each over its last 126 trading days)."""
    columns = {}
    for name in ("rolling_sharpe_126", "rolling_volatility_126", "rolling_beta_126"):
        series = getattr(analysis, name, None)
        if isinstance(series, pd.Series) and len(series):
            columns[name] = _yearly_last(series)
    if not columns:
        return []
    return _section(
        "Rolling figures at each year's end",
        _frame_table(pd.DataFrame(columns), "strategy", index="year"),
        note="Each over the last 126 trading days up to the year's last date.",
    )


def _industry_table(exposure: pd.DataFrame) -> str:
    """Each industry's share of the value held, mean per year, the ten largest and the rest."""
    by_year = _yearly_mean(exposure).T
    by_year["whole run"] = exposure.mean()
    by_year = by_year.sort_values("whole run", ascending=False)
    if len(by_year) > 10:
        rest = by_year.iloc[10:].sum().rename("other industries")
        by_year = pd.concat([by_year.iloc[:10], rest.to_frame().T])

    def industry(code: Any) -> str:
        if isinstance(code, float):
            return "unclassified" if math.isnan(code) else f"{code:g}"
        return str(code)

    by_year.index = pd.Index([industry(c) for c in by_year.index], name="industry")
    labels = {c: Label(str(c), PERCENT) for c in by_year.columns}
    return _frame_table(by_year, "positions", index="industry", labels=labels, notes=False)


def _positions_section(result: Any) -> list[str]:
    """What the strategy held: holdings count, concentration, the largest positions and the
    exposure by industry (each shown when the analysis has it), and the recorded tables."""
    analysis = result.analysis
    body: list[str] = []
    holdings = getattr(analysis, "holdings", None)
    if isinstance(holdings, pd.DataFrame) and len(holdings):
        yearly = _yearly_mean(holdings)
        yearly.loc["whole run"] = holdings.mean()
        body += [
            "<h3>Holdings and concentration, mean per year</h3>",
            _frame_table(yearly, "positions", index="year"),
        ]
    top = getattr(analysis, "top_positions", None)
    if isinstance(top, pd.DataFrame) and len(top):
        top = top.set_index("stock") if "stock" in top.columns else top.rename_axis("stock")
        body += [
            "<h3>Largest positions</h3>",
            _frame_table(top.head(20), "positions", index="stock"),
        ]
    exposure = getattr(analysis, "industry_exposure", None)
    if isinstance(exposure, pd.DataFrame) and exposure.shape[1]:
        body += [
            "<h3>Exposure by industry, mean per year</h3>",
            (
                '<p class="muted">Share of the value held in each industry (industry codes of '
                "the market's industry table), the ten largest over the whole run first.</p>"
            ),
            _industry_table(exposure),
        ]
    if result.trades is not None:
        positions = result.positions if result.positions is not None else pd.DataFrame({"date": []})
        body.append(
            f"<p>{len(result.trades):,} trades and {len(positions):,} holdings over "
            f"{positions['date'].nunique():,} days are in <code>result.trades</code> and "
            "<code>result.positions</code>.</p>"
        )
    return _section("Positions", *body) if body else []


def _strategy_body(result: Any, draw_pages: bool) -> list[str]:
    analysis = result.analysis
    body = _parameters(result, {"strategy": result.strategy_name})
    body += _section("Statistics", _figures_table(result.stats, "stats"))
    if analysis is not None:
        body += _section(
            "Analysis",
            _figures_table(analysis.summary, "strategy"),
            note="Returns cumulate additively like the net value (a month's return is the sum "
            "of its days); figures that compound them say so.",
        )
    body += _benchmarks(result)
    body += _pages_section(result, draw_pages)
    if analysis is None:
        return body + _positions_section(result)
    body += _section("Worst drawdowns", _frame_table(analysis.drawdowns, "drawdowns"))
    body += _section(
        "Monthly returns",
        _calendar_table(analysis.monthly_returns, Label("Return", PERCENT)),
        note="A month's return is the sum of its daily returns, in units of the capital.",
    )
    yearly = analysis.yearly_returns.to_frame("return")
    body += _section(
        "Yearly returns",
        _frame_table(
            yearly,
            "strategy",
            index="year",
            labels={"return": Label("Return", PERCENT)},
            notes=False,
        ),
    )
    body += _rolling_section(analysis)
    return body + _positions_section(result)


# ------------------------------------------------------------------------------ reports
def result_html(result: Any, *, draw_pages: bool = True) -> str:
    """The report of a factor result (``BacktestResult``) or a strategy result. Without
    ``draw_pages`` the analysis page is not drawn (charts the run drew are embedded)."""
    if hasattr(result, "factor_name"):
        subtitle = f"Factor group backtest, {_period(result.parameters)} "
        return _document(
            f"{result.title} | factor report", subtitle, _factor_body(result, draw_pages)
        )
    subtitle = f"Strategy backtest, {_period(result.parameters)} "
    return _document(
        f"{result.strategy_name} | strategy report", subtitle, _strategy_body(result, draw_pages)
    )


def write_report(text: str, path: str | os.PathLike[str]) -> str:
    """Writes `text` at `path` whole or not at all (the folder is made first)."""
    target = Path(path)
    target.parent.mkdir(parents=True, exist_ok=True)
    data = text.encode("utf-8")
    write_atomic(target, lambda fh: fh.write(data))
    return str(target)


def _job_file(name: str) -> str:
    """A job report's file name: a readable slug of the job's name and a short hash of the
    whole name, so that names differing only in characters the slug drops ("动量20",
    "反转20") or in case never share a file."""
    slug = re.sub(r"[^A-Za-z0-9_-]+", "_", name).strip("_")[:60] or "job"
    digest = hashlib.sha256(name.encode("utf-8", "surrogatepass")).hexdigest()[:10]
    return f"{slug}-{digest}.html"


def _first_line(error: BaseException) -> str:
    lines = str(error).strip().splitlines()
    return f"{type(error).__name__}: {lines[0]}" if lines else type(error).__name__


def _job_reports(batch: Any, folder: Path) -> tuple[dict[str, str], dict[str, str]]:
    """Writes each finished job's report in ``folder``; returns the links by job name and,
    for the reports that could not be written, the first line of the error."""
    links: dict[str, str] = {}
    unwritten: dict[str, str] = {}
    for name, outcome in batch.results.items():
        if name in batch.failed:
            continue
        job_path = folder / _job_file(str(name))
        try:
            write_report(result_html(outcome, draw_pages=False), job_path)
        except Exception as error:  # noqa: BLE001 - listed in the screen's report
            unwritten[str(name)] = _first_line(error)
            continue
        links[str(name)] = quote(f"{folder.name}/{job_path.name}")
    return links, unwritten


# Factor jobs up to which the screen's report draws the map of their rank correlations.
_MAP_MOST = 50


def _near_duplicate_pairs(factor: pd.DataFrame, long_short: pd.DataFrame) -> pd.DataFrame:
    """Every pair of factor jobs at |rank correlation| >= NEAR_DUPLICATE, strongest first."""
    from lumora.backtest.batch.correlation import NEAR_DUPLICATE

    names = [str(n) for n in factor.index]
    values = factor.to_numpy(dtype=float)
    returns = long_short.to_numpy(dtype=float)
    rows = []
    for i in range(len(names)):
        for j in range(i + 1, len(names)):
            rho = values[i, j]
            if not math.isnan(rho) and abs(rho) >= NEAR_DUPLICATE:
                rows.append((names[i], names[j], float(rho), float(returns[i, j])))
    rows.sort(key=lambda row: -abs(row[2]))
    frame = pd.DataFrame(
        rows, columns=["job", "other_job", "factor_correlation", "long_short_correlation"]
    )
    return frame.set_index("job")


def _correlation_map(factor: pd.DataFrame) -> str:
    """The factors' rank correlations as a table shaded by sign and size: rows name the jobs
    with a number, columns carry the number (the name in a tooltip)."""
    names = [str(n) for n in factor.index]
    shown = Label("Rank correlation", digits=2)
    heads = ['<th class="text"></th>'] + [
        f'<th title="{_esc(name)}">{k}</th>' for k, name in enumerate(names, 1)
    ]
    rows = []
    for k, (name, values) in enumerate(zip(names, factor.to_numpy(dtype=float).tolist()), 1):
        cells = [f'<th class="name">{k} {_esc(name)}</th>']
        cells += [_cell(v, shown, style=_shade(v, 1.0)) for v in values]
        rows.append("<tr>" + "".join(cells) + "</tr>")
    return (
        f'<div class="wide"><table class="map"><thead><tr>{"".join(heads)}</tr></thead>'
        f"<tbody>{''.join(rows)}</tbody></table></div>"
    )


def _correlation_section(batch: Any) -> list[str]:
    """How alike the factor jobs are: the near-duplicate pairs, and the map of their rank
    correlations for up to _MAP_MOST jobs."""
    factor = getattr(batch, "factor_correlation", None)
    if factor is None or not len(factor):
        return []
    pairs = _near_duplicate_pairs(factor, batch.long_short_correlation)
    parts = []
    if len(pairs):
        parts += [
            "<h3>Near-duplicates</h3>",
            _frame_table(pairs, "correlation", index="job"),
        ]
    elif factor.notna().to_numpy().any():
        parts.append("<p>No two factor jobs are near-duplicates.</p>")
    else:
        parts.append("<p>The rank correlations could not be computed (see the log).</p>")
    if len(factor) <= _MAP_MOST:
        parts += ["<h3>Rank correlation of the factors</h3>", _correlation_map(factor)]
        if not len(pairs):
            parts.append(_notes([("factor_correlation", label("factor_correlation"))]))
    else:
        parts.append(
            f"<p class='muted'>The map is drawn for up to {_MAP_MOST} factor jobs; this screen "
            f"has {len(factor)}: <code>batch.factor_correlation</code> holds them all.</p>"
        )
    note = (
        "Pairs of factor jobs at |rank correlation| &gt;= 0.9 are near-duplicates, mirror "
        "images (a factor and its negative, near -1) included: one find, not two. "
        "<code>batch.factor_correlation</code> and <code>batch.long_short_correlation</code> "
        "hold both correlations for every pair."
    )
    return _section("How alike the factors are", *parts, note=note)


def batch_html(batch: Any, path: str | os.PathLike[str], *, job_reports: bool = True) -> str:
    """The screen as one sortable table; with `job_reports`, each finished job's own report is
    written in a folder beside the file (``<name>_reports/``) and linked from its row."""
    target = Path(path)
    links: dict[str, str] = {}
    unwritten: dict[str, str] = {}
    if job_reports:
        links, unwritten = _job_reports(batch, target.with_name(target.stem + "_reports"))
    table = _frame_table(
        batch.summary, "screen", index="job", sortable=True, links=links, notes=False
    )
    described: dict[str, Label] = {}
    for column in map(str, batch.summary.columns):
        # The figures by horizon are defined once for their four columns.
        key, shown = horizon_family(column) or (column, label(column, "screen"))
        described.setdefault(key, shown)
    note = (
        f"{len(batch.results)} jobs, {len(batch.failed)} failed. Click a column heading to sort "
        "(again to reverse); a job's name links its own report. Shares are in percent."
    )
    body = [
        f"<p class='muted'>{note}</p>",
        f'<div class="wide">{table}</div>',
        _notes(described.items(), columns=True),
    ]
    if unwritten:
        rows = pd.DataFrame(
            {"error": list(unwritten.values())}, index=pd.Index(list(unwritten), name="job")
        )
        body += _section(
            "Job reports not written",
            _frame_table(rows, "screen", index="job", notes=False),
            note="These jobs finished, but their reports could not be written; the other reports were.",
        )
    body += _correlation_section(batch)
    return _document(f"Screen of {len(batch.results)} jobs", "", body, _SORT_SCRIPT)
