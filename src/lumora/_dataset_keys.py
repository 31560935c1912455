"""The keys under which the store keeps the datasets named by other things: an index
membership factor, a benchmark series. Every key is a safe file name, and different names
always give different keys."""

from __future__ import annotations

import re

__all__ = ["benchmark_dataset_key", "component_dataset_key"]

_COMPONENT_KEY_PREFIX = "component__"
_BENCHMARK_KEY_PREFIX = "benchmark__"
# The key names a file on disk; stay well below the common 255-byte file-name limit.
_MAX_COMPONENT_KEY_LENGTH = 200
_SAFE_KEY_CHAR = re.compile(r"[A-Za-z0-9_]")


def _escaped(name: str) -> str:
    """``name`` with every character outside ``[A-Za-z0-9_]`` written as ``-XX`` per UTF-8
    byte ("." becomes "-2E"); "-" is itself always escaped, so the escape is injective."""
    return "".join(
        char if _SAFE_KEY_CHAR.fullmatch(char) else "".join(f"-{b:02X}" for b in char.encode())
        for char in name
    )


def component_dataset_key(component_name: str) -> str:
    """Return the dataset key under which an index-membership matrix is stored.

    The key is ``"component__"`` followed by the name with every character outside
    ``[A-Za-z0-9_]`` written as ``-XX`` per UTF-8 byte ("." becomes "-2E"). Because "-" is
    itself always escaped, different names always give different keys, and every key is a
    safe file name.

    Raises:
        TypeError: if ``component_name`` is not text.
        ValueError: if it is empty or its key would be too long for a file name.
    """
    if not isinstance(component_name, str):
        raise TypeError(f"component_name must be text, not {type(component_name).__name__}")
    if not component_name:
        raise ValueError("component_name must not be empty")
    key = _COMPONENT_KEY_PREFIX + _escaped(component_name)
    if len(key) > _MAX_COMPONENT_KEY_LENGTH:
        raise ValueError(f"component_name is too long for a dataset key: {component_name!r}")
    return key


def benchmark_dataset_key(code: str) -> str:
    """The dataset key of a benchmark's daily return series ("benchmark__000852")."""
    return _BENCHMARK_KEY_PREFIX + _escaped(code)
