"""The SDK data client of a cloud data service: factor and index queries over signed HTTP.

Both queries are JSON POSTs; the answer is a table in pandas' "split" layout
(``columns``, ``data``), so the frames come back with the columns the service sent.
"""

from __future__ import annotations

from typing import Any

import pandas as pd

from lumora._http import HttpClient
from lumora.exceptions import NetworkError

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


class CloudClient:
    """``get_factors`` and ``get_index_daily`` of the cloud service behind ``http``."""

    def __init__(self, http: HttpClient) -> None:
        self._http = http

    def source_identity(self) -> dict[str, str | int]:
        """Which market this client reads: the service's address."""
        return {"kind": "cloud", "url": self._http.base_url}

    def get_factors(
        self, *, factor: str | list[str], start_date: str, end_date: str
    ) -> pd.DataFrame:
        payload = {"factor": factor, "start_date": start_date, "end_date": end_date}
        answer = self._http.request_json("POST", FACTORS_PATH, payload=payload)
        return frame_from_json(answer, "get_factors")

    def get_index_daily(self, *, ukeys: list[str], start_date: str, end_date: str) -> pd.DataFrame:
        payload = {"ukeys": list(ukeys), "start_date": start_date, "end_date": end_date}
        answer = self._http.request_json("POST", INDEX_DAILY_PATH, payload=payload)
        return frame_from_json(answer, "get_index_daily")
