"""Errors raised by the lumora SDK."""


class KestrelError(Exception):
    """Invalid or incomplete data, a failed computation or a failed data update."""


class NetworkError(Exception):
    """A download or a remote query failed."""
