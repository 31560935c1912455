"""One self-contained HTML report of a result or of a batch.

A report is a single file that opens in any browser with no server and no notebook: the
pages are embedded as PNG data, the tables are HTML tables, and the few lines of script
that sort the batch table are inline. Nothing is fetched from the network.
"""

from __future__ import annotations

import base64
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

import pandas as pd

from lumora._atomicio import write_atomic

__all__ = ["batch_html", "result_html", "write_report"]

_STYLE = """
body { font-family: "DejaVu Sans", Arial, "Noto Sans CJK SC", "Microsoft YaHei", "PingFang SC", sans-serif; color: #0f172a; margin: 24px 32px;
       background: #ffffff; }
h1 { font-size: 22px; margin: 0 0 4px 0; }
h2 { font-size: 16px; margin: 28px 0 8px 0; border-bottom: 1px solid #e2e8f0; padding-bottom: 4px; }
.muted { color: #64748b; font-size: 12px; }
table { border-collapse: collapse; font-size: 12px; margin: 4px 0 8px 0; }
th, td { border: 1px solid #e2e8f0; padding: 3px 8px; text-align: right; }
th { background: #eef2ff; font-weight: bold; }
tr:nth-child(even) td { background: #f8fafc; }
td.text, th.text { text-align: left; }
img.page { width: 100%; max-width: 1600px; border: 1px solid #e2e8f0; margin: 6px 0; }
.cards { display: flex; flex-wrap: wrap; gap: 10px; }
.card { border: 1px solid #d6dbe6; border-radius: 6px; padding: 6px 12px; min-width: 120px; }
.card b { display: block; font-size: 16px; }
.card span { color: #64748b; font-size: 11px; }
.wide { overflow-x: auto; }
table.sortable th { cursor: pointer; }
td.failed { color: #b91c1c; }
"""

_SORT_SCRIPT = """
document.querySelectorAll('table.sortable').forEach(function (table) {
  table.querySelectorAll('th').forEach(function (th, column) {
    th.addEventListener('click', function () {
      var body = table.tBodies[0];
      var rows = Array.prototype.slice.call(body.rows);
      var ascending = th.dataset.order !== 'asc';
      table.querySelectorAll('th').forEach(function (h) { delete h.dataset.order; });
      th.dataset.order = ascending ? 'asc' : 'desc';
      rows.sort(function (a, b) {
        var x = a.cells[column].dataset.value, y = b.cells[column].dataset.value;
        var nx = parseFloat(x), ny = parseFloat(y);
        var missing = function (v) { return v === '' || isNaN(v); };
        if (!missing(nx) || !missing(ny)) {
          if (missing(nx)) return 1;
          if (missing(ny)) return -1;
          return ascending ? nx - ny : ny - nx;
        }
        return ascending ? x.localeCompare(y) : y.localeCompare(x);
      });
      rows.forEach(function (row) { body.appendChild(row); });
    });
  });
});
"""


# ------------------------------------------------------------------------------ pieces
def _text(value: Any) -> str:
    """A cell's text: numbers with four decimals (or as whole numbers), missing as "--"."""
    if value is None:
        return "--"
    if isinstance(value, bool):
        return str(value)
    if isinstance(value, int):
        return str(value)
    if isinstance(value, float):
        if math.isnan(value):
            return "--"
        if value == int(value) and abs(value) >= 1000:
            return f"{value:,.0f}"
        return f"{value:.4f}"
    if isinstance(value, list | tuple):
        return ", ".join(_text(v) for v in value)
    try:
        if pd.isna(value):
            return "--"
    except (TypeError, ValueError):
        pass
    return str(value)


def _numeric(value: Any) -> bool:
    return isinstance(value, int | float) and not isinstance(value, bool)


def _table(
    frame: pd.DataFrame,
    *,
    index: bool = True,
    sortable: bool = False,
    links: Mapping[Any, str] | None = None,
) -> str:
    """An HTML table of a frame; every cell carries its raw value for sorting. ``links``
    maps row labels to the address their label cell links to."""
    head = [html.escape(str(frame.index.name or "")) if index else None]
    head += [html.escape(str(c)) for c in frame.columns]
    cells = ['<th class="text">' + h + "</th>" for h in head if h is not None]
    rows = []
    for label, row in frame.iterrows():
        tds = []
        if index:
            shown = html.escape(_text(label))
            href = (links or {}).get(label)
            if href is not None:
                shown = f'<a href="{html.escape(href)}">{shown}</a>'
            tds.append(f'<td class="text" data-value="{html.escape(_text(label))}">{shown}</td>')
        for value in row.tolist():
            raw = "" if value is None or (isinstance(value, float) and math.isnan(value)) else value
            css = "" if _numeric(value) else ' class="text"'
            tds.append(
                f'<td{css} data-value="{html.escape(str(raw))}">{html.escape(_text(value))}</td>'
            )
        rows.append("<tr>" + "".join(tds) + "</tr>")
    css = ' class="sortable"' if sortable else ""
    return f"<table{css}><thead><tr>{''.join(cells)}</tr></thead><tbody>{''.join(rows)}</tbody></table>"


def _mapping_table(values: Mapping[str, Any], name: str = "figure") -> str:
    frame = pd.DataFrame(
        {"value": list(values.values())}, index=pd.Index(list(values), name=name), dtype=object
    )
    return _table(frame)


def _image(path: str | os.PathLike[str], alt: str) -> str:
    data = base64.b64encode(Path(path).read_bytes()).decode("ascii")
    return f'<img class="page" alt="{html.escape(alt)}" src="data:image/png;base64,{data}">'


def _existing_pages(paths: Iterable[tuple[str, str]]) -> list[str]:
    return [_image(p, name) for name, p in paths if p and Path(p).is_file()]


def _document(title: str, body: Iterable[str], script: str = "") -> str:
    stamp = datetime.datetime.now().strftime("%Y-%m-%d %H:%M")
    parts = [
        "<!DOCTYPE html>",
        '<html lang="en"><head><meta charset="utf-8">',
        f"<title>{html.escape(title)}</title><style>{_STYLE}</style></head><body>",
        f"<h1>{html.escape(title)}</h1><div class='muted'>lumora report, written {stamp}</div>",
        *body,
    ]
    if script:
        parts.append(f"<script>{script}</script>")
    parts.append("</body></html>")
    return "\n".join(parts)


def _analysis_page(result: Any, folder: str) -> list[str]:
    if getattr(result, "analysis", None) is None:
        return []
    path = result.plot_analysis(os.path.join(folder, "analysis.png"))
    return [_image(path, "analysis page")]


# ------------------------------------------------------------------------------ reports
def _report_body(
    result: Any,
    folder: str,
    named: Mapping[str, Any],
    figures: list[tuple[str, Mapping[str, Any], str]],
    analysis_tables: list[tuple[str, pd.DataFrame, bool]],
) -> list[str]:
    """The sections both reports have, in order: the parameters (``named`` when the run
    recorded none), each titled figure mapping, the table against the benchmarks, the
    pages, then each titled analysis table (with its index or without)."""
    parameters = {**named, **result.parameters}
    body = ["<h2>Parameters</h2>", _mapping_table(parameters, "parameter")]
    for title, values, name in figures:
        body += [f"<h2>{title}</h2>", _mapping_table(values, name)]
    if len(result.benchmark_summary):
        body += ["<h2>Against the benchmarks</h2>", _table(result.benchmark_summary, index=False)]
    body += ["<h2>Pages</h2>", *_analysis_page(result, folder)]
    body += _existing_pages(result.plot_paths.items())
    for title, frame, index in analysis_tables:
        body += [f"<h2>{title}</h2>", _table(frame, index=index)]
    return body


def _factor_body(result: Any, folder: str) -> list[str]:
    analysis = result.analysis
    if analysis is None:
        return _report_body(result, folder, {"factor": result.title}, [], [])
    tables = [
        ("IC summary by horizon", analysis.ic_summary.reset_index(), False),
        ("Return figures by group", analysis.group_performance, True),
        ("Rank IC by month", analysis.monthly_rank_ic, True),
    ]
    figures = [("Headline figures", analysis.summary, "figure")]
    return _report_body(result, folder, {"factor": result.title}, figures, tables)


def _strategy_body(result: Any, folder: str) -> list[str]:
    analysis = result.analysis
    figures = [("Statistics", result.stats, "statistic")]
    tables: list[tuple[str, pd.DataFrame, bool]] = []
    if analysis is not None:
        figures.append(("Analysis", analysis.summary, "figure"))
        tables = [
            ("Worst drawdowns", analysis.drawdowns, False),
            ("Monthly returns", analysis.monthly_returns, True),
            ("Yearly returns", analysis.yearly_returns.to_frame(), True),
        ]
    body = _report_body(result, folder, {"strategy": result.strategy_name}, figures, tables)
    if result.trades is not None:
        positions = result.positions if result.positions is not None else pd.DataFrame({"date": []})
        days = positions["date"].nunique()
        note = (
            f"<p>{len(result.trades):,} trades and {len(positions):,} holdings over {days:,} days are "
            "in <code>result.trades</code> and <code>result.positions</code>.</p>"
        )
        body += ["<h2>Positions and trades</h2>", note]
    return body


def result_html(result: Any) -> str:
    """The report of a factor result (``BacktestResult``) or a strategy result."""
    with tempfile.TemporaryDirectory(prefix="lumora-report-") as folder:
        if hasattr(result, "factor_name"):
            return _document(f"{result.title} | factor report", _factor_body(result, folder))
        return _document(
            f"{result.strategy_name} | strategy report", _strategy_body(result, folder)
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


def batch_html(batch: Any, path: str | os.PathLike[str], *, job_reports: bool = True) -> str:
    """The screen as one sortable table; with `job_reports`, each finished job's own report is
    written in a folder beside the file (``<name>_reports/``) and linked from its row."""
    target = Path(path)
    summary = batch.summary.copy()
    links: dict[str, str] = {}
    if job_reports:
        folder = target.with_name(target.stem + "_reports")
        for name, outcome in batch.results.items():
            if name in batch.failed:
                continue
            job_path = folder / _job_file(str(name))
            write_report(result_html(outcome), job_path)
            links[str(name)] = quote(f"{folder.name}/{job_path.name}")
    table = _table(summary, sortable=True, links=links)
    failed = len(batch.failed)
    note = (
        f"<p class='muted'>{len(batch.results)} jobs, {failed} failed. Click a column heading to sort "
        "(again to reverse); a job's name links its own report.</p>"
    )
    body = [note, f'<div class="wide">{table}</div>']
    return _document(f"Batch of {len(batch.results)} jobs", body, _SORT_SCRIPT)
