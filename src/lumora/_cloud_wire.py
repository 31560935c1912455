"""The cloud data service's wire format, spoken by its client (``lumora.sources.cloud``) and
by the loopback server that answers like it (``lumora.backtest._package_server``): the paths
of the two queries, and tables as JSON in pandas' "split" layout (``columns``, ``data``)."""

from __future__ import annotations

from typing import Any

import pandas as pd

from lumora.exceptions import NetworkError

__all__ = ["FACTORS_PATH", "INDEX_DAILY_PATH", "frame_from_json", "frame_to_json"]

FACTORS_PATH = "/v1/factors"
INDEX_DAILY_PATH = "/v1/index-daily"


def frame_to_json(frame: pd.DataFrame | None) -> dict[str, Any]:
    """A frame as the service sends it (dates as ISO text)."""
    if frame is None:
        return {"columns": [], "data": []}
    out = frame.copy()
    for column in out.columns:
        if pd.api.types.is_datetime64_any_dtype(out[column]):
            out[column] = out[column].dt.strftime("%Y-%m-%d")
    return {
        "columns": [str(c) for c in out.columns],
        "data": out.astype(object).where(out.notna(), None).values.tolist(),
    }


def frame_from_json(payload: Any, what: str) -> pd.DataFrame:
    """The frame of an answer (``what`` names the query in the error of a bad body)."""
    if (
        not isinstance(payload, dict)
        or not isinstance(payload.get("columns"), list)
        or not isinstance(payload.get("data"), list)
    ):
        raise NetworkError(f"{what}: the service answered with an unexpected body")
    frame = pd.DataFrame(payload["data"], columns=payload["columns"])
    if "date" in frame.columns:
        frame["date"] = pd.to_datetime(frame["date"], errors="coerce")
    return frame
