"""The SDK logger: a standard ``logging.Logger`` named "lumora"."""

import logging

logger = logging.getLogger("lumora")
if not logger.handlers:
    _handler = logging.StreamHandler()
    _handler.setFormatter(logging.Formatter("%(asctime)s %(levelname)s %(name)s: %(message)s"))
    logger.addHandler(_handler)
    logger.setLevel(logging.INFO)
