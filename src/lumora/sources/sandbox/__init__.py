"""The sandbox: a deterministic synthetic A-share market for demos, tests and offline use.

* ``market.py``: the market simulator (``generate_market``);
* ``export.py``: the market written as files of the file source's layout (``export_market``);
* ``client.py``: ``SandboxClient``, the market as an SDK data source, whose full package
  the session serves on loopback (``lumora.backtest._package_server``).
"""
