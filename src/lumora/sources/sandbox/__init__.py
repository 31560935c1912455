"""The sandbox: a deterministic synthetic A-share market for demos, tests and offline use.

* ``market.py``: the market simulator (``generate_market``) and its export to files;
* ``client.py``: ``SandboxClient``, the market as an SDK data source, whose full package
  the session serves on loopback (``lumora.backtest._package_server``).
"""
