"""Chart pages cut into their parts, so that a report shows them at their own size.

A chart page is drawn for a wide screen (21.5 inches across): shrunk to a 1,400-pixel
browser window its captions and table digits are 5-7 pixels high. A report shows each page
as rows of parts instead, each part at the size it was drawn for (96 CSS pixels an inch):
the rows wrap where the window is narrower than the page, so every caption stays legible.

The parts are found on the picture itself, so every page of every chart works alike: the
page is cut across at blank bands (rows of white pixels), and each band is cut down at
blank gaps of at least ``MIN_GAP_INCHES`` (the gap between two panels, wider than the space
between two words). Two bands are one when their cuts down agree (a panel's title over its
table, a card over its label): cut together, each part is a part of one of them that holds
whatever of the other lies above or below it, and no cut of either is lost. The parts
cover every pixel that is not white, each exactly once.

In the report the page is embedded once, as an SVG ``<image>`` in a hidden ``<defs>``, and
each part is an ``<svg>`` whose ``viewBox`` shows its rectangle of it (``<use>``), so the
file carries the picture once however many parts it has, and the parts print.
"""

from __future__ import annotations

import base64
import html
import io
import os
from dataclasses import dataclass
from pathlib import Path

import numpy as np

__all__ = ["Page", "page_html", "read_page"]

# Blank bands narrower than this do not part two panels (the space between words is ~0.1).
MIN_GAP_INCHES = 0.2
# Bands closer than this are cut across only when their cuts down disagree.
_MIN_BAND_GAP_INCHES = 0.05
# White space kept around each part.
_PAD_INCHES = 0.04
# A pixel is blank when every colour channel is at least this (the axes' face, 251, is ink).
_WHITE = 254
_CSS_DPI = 96.0


@dataclass(frozen=True)
class Box:
    """A rectangle of the page, in its pixels: [left, right) x [top, bottom)."""

    left: int
    top: int
    right: int
    bottom: int


@dataclass(frozen=True)
class Page:
    """A page's picture (PNG bytes), its size and resolution, and its parts by row."""

    png: bytes
    width: int
    height: int
    dpi: float
    rows: tuple[tuple[Box, ...], ...]


def _runs(mask: np.ndarray) -> list[tuple[int, int]]:
    """[start, stop) of every run of True in a 1-D mask."""
    edges = np.diff(np.concatenate(([0], mask.astype(np.int8), [0])))
    return list(zip(np.flatnonzero(edges == 1).tolist(), np.flatnonzero(edges == -1).tolist()))


def _joined(runs: list[tuple[int, int]], gap: int) -> list[tuple[int, int]]:
    """``runs`` with those closer than ``gap`` joined."""
    out: list[tuple[int, int]] = []
    for start, stop in runs:
        if out and start - out[-1][1] < gap:
            out[-1] = (out[-1][0], stop)
        else:
            out.append((start, stop))
    return out


def _columns(ink: np.ndarray, top: int, bottom: int, gap: int) -> list[tuple[int, int]]:
    return _joined(_runs(np.asarray(ink[top:bottom].any(axis=0))), gap)


def cut_page(ink: np.ndarray, dpi: float) -> list[tuple[tuple[int, int], list[tuple[int, int]]]]:
    """The rows of a page given its ink mask (height x width, True where not white): each
    row's [top, bottom) and the [left, right) of its parts."""
    gap = max(1, round(MIN_GAP_INCHES * dpi))
    bands = _joined(_runs(np.asarray(ink.any(axis=1))), max(1, round(_MIN_BAND_GAP_INCHES * dpi)))
    rows: list[tuple[tuple[int, int], list[tuple[int, int]]]] = []
    for top, bottom in bands:
        columns = _columns(ink, top, bottom, gap)
        if rows:
            (above, _), kept = rows[-1]
            together = _columns(ink, above, bottom, gap)
            if len(together) >= max(len(kept), len(columns)) and set(together) <= {*kept, *columns}:
                rows[-1] = ((above, bottom), together)
                continue
        rows.append(((top, bottom), columns))
    return rows


def read_page(path: str | os.PathLike[str]) -> Page:
    """The page at ``path`` (a PNG a chart wrote) and its parts."""
    from PIL import Image  # matplotlib's own image library

    data = Path(path).read_bytes()
    with Image.open(io.BytesIO(data)) as image:
        dpi = float(image.info.get("dpi", (_CSS_DPI, _CSS_DPI))[0]) or _CSS_DPI
        pixels = np.asarray(image.convert("RGB"))
    height, width = pixels.shape[:2]
    # Any channel below white; & of the channels is below _WHITE exactly when one is.
    ink = (pixels[..., 0] & pixels[..., 1] & pixels[..., 2]) < _WHITE
    pad = round(_PAD_INCHES * dpi)
    rows = tuple(
        tuple(
            Box(
                max(0, left - pad),
                max(0, top - pad),
                min(width, right + pad),
                min(height, bottom + pad),
            )
            for left, right in columns
        )
        for (top, bottom), columns in cut_page(ink, dpi)
    )
    return Page(png=data, width=width, height=height, dpi=dpi, rows=rows)


def page_html(page: Page, name: str, key: str) -> str:
    """The page as HTML: the picture once (``key`` names it in the document, unique), then
    a row of parts per row of the page, each at the size it was drawn for."""
    data = base64.b64encode(page.png).decode("ascii")
    scale = _CSS_DPI / page.dpi
    alt = html.escape(name)
    out = [
        f'<div class="page" role="img" aria-label="{alt}">',
        (
            '<svg class="page-data" width="0" height="0" aria-hidden="true"><defs>'
            f'<image id="{key}" width="{page.width}" height="{page.height}" '
            f'href="data:image/png;base64,{data}"/></defs></svg>'
        ),
    ]
    for row in page.rows:
        out.append('<div class="page-row">')
        for box in row:
            w, h = box.right - box.left, box.bottom - box.top
            out.append(
                f'<svg class="part" viewBox="{box.left} {box.top} {w} {h}" '
                f'width="{w * scale:.0f}" height="{h * scale:.0f}"><use href="#{key}"/></svg>'
            )
        out.append("</div>")
    out.append("</div>")
    return "".join(out)
