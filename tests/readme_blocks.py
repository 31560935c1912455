"""The README's Python blocks, and a runner that executes them as a reader would.

Every block fenced ```python runs; any other fence (```python-notebook for a notebook magic,
a bare ``` for shell commands) is shown but not run. A block is in the "sandbox" set unless
the line before its fence is the comment ``<!-- readme-test: files -->``, which puts it in
the "files" set: blocks that work on a folder of a vendor's files at ``~/market``. Each set
runs in order in one namespace, in a fresh process:

    python tests/readme_blocks.py README.md sandbox --stocks 80

``--stocks`` makes ``lumora.init_sandbox()`` default to a smaller market, so a test of the
README runs in seconds; nothing else is changed. A block that raises stops the run with the
README line of its fence and the error.
"""

from __future__ import annotations

import argparse
import re
import sys
import traceback
from dataclasses import dataclass
from pathlib import Path

_FENCE = re.compile(r"^```(\S*)\s*$")
_SET_MARK = re.compile(r"^<!--\s*readme-test:\s*(\w+)\s*-->\s*$")


@dataclass(frozen=True)
class Block:
    line: int  # the fence's line in the README, from 1
    code: str
    set: str


def python_blocks(text: str) -> list[Block]:
    """The ```python blocks of a Markdown text, in order, each with its set."""
    blocks: list[Block] = []
    lines = text.splitlines()
    i = 0
    while i < len(lines):
        opened = _FENCE.match(lines[i])
        if not opened:
            i += 1
            continue
        start = i
        i += 1
        body: list[str] = []
        while i < len(lines) and not lines[i].startswith("```"):
            body.append(lines[i])
            i += 1
        i += 1
        if opened.group(1) != "python":
            continue
        mark = _SET_MARK.match(lines[start - 1]) if start else None
        blocks.append(
            Block(start + 1, "\n".join(body) + "\n", mark.group(1) if mark else "sandbox")
        )
    return blocks


def _small_sandbox(stocks: int) -> None:
    import lumora

    full = lumora.init_sandbox

    def init_sandbox(n_stocks: int = stocks, *args: object, **kwargs: object) -> object:
        return full(n_stocks, *args, **kwargs)  # type: ignore[arg-type]

    lumora.init_sandbox = init_sandbox  # type: ignore[assignment]


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("readme", type=Path)
    parser.add_argument("set")
    parser.add_argument("--stocks", type=int, default=0)
    args = parser.parse_args()
    blocks = [
        b for b in python_blocks(args.readme.read_text(encoding="utf-8")) if b.set == args.set
    ]
    if not blocks:
        print(f"no ```python block of the set {args.set!r} in {args.readme}", file=sys.stderr)
        return 2
    if args.stocks:
        _small_sandbox(args.stocks)
    namespace: dict[str, object] = {"__name__": "__readme__"}
    for block in blocks:
        print(f"--- {args.readme.name} line {block.line}", flush=True)
        try:
            code = compile(block.code, f"{args.readme.name}, block at line {block.line}", "exec")
            exec(code, namespace)  # noqa: S102 - the README's own code, run as a reader would
        except Exception:  # noqa: BLE001 - reported with the block's line
            print(f"{args.readme.name}: the block at line {block.line} failed:", file=sys.stderr)
            traceback.print_exc()
            return 1
    print(f"{len(blocks)} blocks ran", flush=True)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
