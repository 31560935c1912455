"""The data sources a session prepares its market data from.

* ``base.py``: the contract the prepared-data builder reads (``DataSource`` and the
  ``TableSource`` and ``IdentifiedSource`` refinements) and ``MarketClient``, the shared
  base of the sources that hold their market as date x stock tables;
* ``files/``: the user's own daily bars, index series and memberships (``init_files``),
  one module per step of reading them;
* ``vendors.py``: the layouts and units of vendors' files (``init_files(vendor=...)``);
* ``sandbox/``: the deterministic synthetic market and its client (``init_sandbox``);
* ``cloud.py``: the client of the cloud data service (``init``).

The store they feed, the package download and the loopback package server live with the
store in ``lumora.backtest``. The sources import of it only its compiled modules (the
catalogue and ``limit_prices`` of ``_prepare``), and otherwise only the bottom modules
(``lumora._labels``, ``_dataset_keys``, ``_cloud_wire``, ``_http``, ``logger``,
``exceptions``): the store and the package server know the sources' contract for typing
only.
"""

from lumora.sources.base import DataSource, IdentifiedSource, MarketClient, TableSource

__all__ = ["DataSource", "IdentifiedSource", "MarketClient", "TableSource"]
