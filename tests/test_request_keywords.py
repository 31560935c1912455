"""The keywords of the two backtest requests are written in one table (lumora._requests) and
spelled out again where editors need them: the session functions, the service's stub and the
compiled service's own signature. Every list must name the table's keywords in its order,
with its defaults (value and type) and, where a list has them, its annotations."""

from __future__ import annotations

import ast
import dataclasses
import inspect
from pathlib import Path
from typing import Any

import lumora
from lumora._requests import FactorKeywords, StrategyKeywords
from lumora.backtest import _service
from lumora.backtest.batch import FactorJob, StrategyJob

STUB = Path(_service.__file__).with_name("_service.pyi")

# A keyword as a list gives it: its name, its default with the default's type, and its
# annotation (None where the list has no annotations to compare).
Keyword = tuple[str, type, Any, str | None]


def from_table(table: type) -> list[Keyword]:
    return [(f.name, type(f.default), f.default, f.type) for f in dataclasses.fields(table)]


def from_signature(function: Any, skip: tuple[str, ...] = ()) -> list[Keyword]:
    keywords = inspect.signature(function).parameters.values()
    return [
        (p.name, type(p.default), p.default, p.annotation)
        for p in keywords
        if p.kind is inspect.Parameter.KEYWORD_ONLY and p.name not in skip
    ]


def from_ast(function: ast.FunctionDef, annotated: bool) -> list[Keyword]:
    keywords = zip(function.args.kwonlyargs, function.args.kw_defaults, strict=True)
    return [
        (
            arg.arg,
            type(ast.literal_eval(default)),
            ast.literal_eval(default),
            ast.unparse(arg.annotation) if annotated and arg.annotation else None,
        )
        for arg, default in keywords
        if default is not None
    ]


def from_stub(method: str) -> list[Keyword]:
    tree = ast.parse(STUB.read_text(encoding="utf-8"))
    service = next(
        n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == "BacktestService"
    )
    return from_ast(next(n for n in service.body if getattr(n, "name", "") == method), True)


def from_compiled_service(method: str) -> list[Keyword]:
    # pybind11 functions have no inspect.signature; their docstring's first line is one.
    header = getattr(_service.BacktestService, method).__doc__.splitlines()[0]
    return from_ast(ast.parse(f"def {header}: ...").body[0], False)


def test_every_list_of_a_requests_keywords_is_the_one_table() -> None:
    requests = [
        ("backtest", FactorKeywords, lumora.backtest_factor, FactorJob),
        ("backtest_strategy", StrategyKeywords, lumora.backtest_strategy, StrategyJob),
    ]
    for method, table, session_function, job in requests:
        expected = from_table(table)
        without_annotations = [(name, kind, value, None) for name, kind, value, _ in expected]
        places = {
            "the compiled service": (from_compiled_service(method), without_annotations),
            "the service's stub": (from_stub(method), expected),
            "the session function": (from_signature(session_function), expected),
        }
        for place, (found, wanted) in places.items():
            assert found == wanted, f"{method}: {place} differs from {table.__name__}"
        # A job takes the same keywords; only its chart is off unless asked for.
        chart = ("output_dir", "plot_filename")
        job_defaults = {name: value for name, _, value, _ in from_signature(job, chart)}
        assert job_defaults == {f.name: f.default for f in dataclasses.fields(table)} | {
            "plot": None
        }, job.__name__
