"""The data sources a session prepares its market data from.

* ``base.py``: the contract the prepared-data builder reads (``DataSource`` and the
  ``TableSource`` and ``IdentifiedSource`` refinements) and ``MarketClient``, the shared
  base of the sources that hold their market as date x stock tables;
* ``files.py``: the user's own daily bars, index series and memberships (``init_files``);
* ``sandbox/``: the deterministic synthetic market and its client (``init_sandbox``);
* ``cloud.py``: the client of the cloud data service (``init``).

The store they feed, the package download and the loopback package server live with the
store in ``lumora.backtest``.
"""

from lumora.sources.base import DataSource, IdentifiedSource, MarketClient, TableSource

__all__ = ["DataSource", "IdentifiedSource", "MarketClient", "TableSource"]
