"""Passing a function's keyword-only arguments on to the call it mirrors."""

from __future__ import annotations

from collections.abc import Callable, Mapping
from typing import Any


def keyword_arguments(function: Callable[..., Any], arguments: Mapping[str, Any]) -> dict[str, Any]:
    """The keyword-only arguments of ``function``, in their declared order, read from
    ``arguments``: its ``locals()`` taken before its body binds any other name. A function
    that declares a request's keywords (so that editors and type checkers see them) passes
    them on with this instead of naming each one again."""
    return {name: arguments[name] for name in function.__kwdefaults__ or {}}
