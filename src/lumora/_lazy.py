"""Names of a package loaded from their modules on first use.

A package whose names live in modules that import pandas defines its ``__getattr__`` and
``__dir__`` with ``lazy_attributes``, so ``import lumora`` stays light and a name costs its
module's import only when it is first looked up.
"""

from __future__ import annotations

import importlib
from collections.abc import Callable, Mapping, MutableMapping
from typing import Any


def lazy_attributes(
    package: str,
    namespace: MutableMapping[str, Any],
    sources: Mapping[str, str],
    public: list[str],
) -> tuple[Callable[[str], object], Callable[[], list[str]]]:
    """The module-level ``__getattr__`` and ``__dir__`` of ``package``: a name listed in
    ``sources`` is imported from its module on first use and kept in ``namespace`` (the
    package's globals), so later lookups find it there; ``public`` names are listed by
    ``dir`` before they are loaded."""

    def __getattr__(name: str) -> object:
        module = sources.get(name)
        if module is None:
            raise AttributeError(f"module {package!r} has no attribute {name!r}")
        value = getattr(importlib.import_module(module), name)
        namespace[name] = value
        return value

    def __dir__() -> list[str]:
        return sorted(set(namespace) | set(public))

    return __getattr__, __dir__
