"""The SDK data client of a cloud data service: factor and index queries over signed HTTP.

Both queries are JSON POSTs; the answer is a table in pandas' "split" layout
(``columns``, ``data``, see ``lumora._cloud_wire``), so the frames come back with the
columns the service sent.
"""

from __future__ import annotations

import pandas as pd

from lumora._cloud_wire import FACTORS_PATH, INDEX_DAILY_PATH, frame_from_json
from lumora._http import HttpClient


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
