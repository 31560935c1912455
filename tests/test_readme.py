"""The README runs as written, and so does every script in examples/.

Each runs in a fresh process whose home folder is the test's own (so the data directory,
``~/market`` and the charts land there), on a small sandbox market: the README's blocks
through ``readme_blocks.py`` (every ```python block, in order, in one namespace per set),
the examples with their own size arguments. A documented call that fails fails here, with
the README line of its block.
"""

from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path

import pandas as pd
import pytest

from lumora.sandbox import export_market
from lumora.sources.sandbox.client import SandboxClient
from readme_blocks import python_blocks
from vendor_layouts import market_rows, write_tushare

ROOT = Path(__file__).resolve().parents[1]
README = ROOT / "README.md"
RUNNER = Path(__file__).with_name("readme_blocks.py")
STOCKS = 100
# Every script of examples/ with the arguments that run it on a small market.
EXAMPLES = {
    "demo.py": ["out", "--stocks", "60"],
    "factor_screen.py": ["--stocks", "60"],
    "export_sandbox.py": ["market", "40", "csv"],
}


def run(command: list[str], folder: Path) -> subprocess.CompletedProcess[str]:
    """``command`` in a fresh process working in ``folder``, whose home is ``folder/home``."""
    home = folder / "home"
    home.mkdir(exist_ok=True)
    environment = {
        **os.environ,
        "HOME": str(home),
        "PYTHONPATH": os.pathsep.join([str(ROOT / "src"), str(Path(__file__).parent)]),
        "MPLBACKEND": "Agg",
    }
    return subprocess.run(
        command, cwd=folder, env=environment, capture_output=True, text=True, timeout=1800,
        check=False,
    )  # fmt: skip


def failure(done: subprocess.CompletedProcess[str]) -> str:
    return f"exit {done.returncode}\n{done.stdout[-2000:]}\n{done.stderr[-4000:]}"


def test_the_readme_runs_every_python_block_and_marks_the_ones_it_does_not() -> None:
    text = README.read_text(encoding="utf-8")
    fences = [line[3:].strip() for line in text.splitlines() if line.startswith("```")]
    # A block fenced "py" or "python3" would be skipped without a word: only these exist.
    assert set(fences[::2]) <= {"", "python", "python-notebook"}, fences
    blocks = python_blocks(text)
    assert {b.set for b in blocks} == {"sandbox", "files"}
    assert len([b for b in blocks if b.set == "sandbox"]) >= 4


def test_the_readme_runs_as_written_on_the_sandbox_market(tmp_path: Path) -> None:
    done = run(
        [sys.executable, str(RUNNER), str(README), "sandbox", "--stocks", str(STOCKS)], tmp_path
    )
    assert done.returncode == 0, failure(done)
    written = {p.name for p in (tmp_path / "out").iterdir()}
    assert {"strategy.html", "factor.html", "screen.html", "factor_analysis.png"} <= written


def tushare_files(root: Path) -> None:
    """A small market as tushare ships it (``vendor_layouts.write_tushare``): daily bars
    with ``pre_close``, ``vol`` in lots and ``amount`` in thousand yuan, one file per stock
    newest day first, no row on a suspended day; the adjustment factors, the benchmarks'
    daily closes and the index members each a table of its own."""
    sandbox = SandboxClient(40, seed=5, start="20240102", today="20240628")
    ours = root.parent / "ours"
    export_market(sandbox.market(), ours, end=sandbox.today())
    rows = market_rows(pd.read_parquet(ours / "bars.parquet"))
    index = pd.read_parquet(ours / "index_daily.parquet")
    members = pd.read_parquet(ours / "index_members.parquet")
    write_tushare(rows, index, members, root)


def test_the_readmes_own_data_blocks_run_on_a_folder_of_tushare_files(tmp_path: Path) -> None:
    tushare_files(tmp_path / "home" / "market")
    done = run([sys.executable, str(RUNNER), str(README), "files"], tmp_path)
    assert done.returncode == 0, failure(done)


@pytest.mark.parametrize("script", sorted(EXAMPLES))
def test_every_example_runs_on_a_small_market(tmp_path: Path, script: str) -> None:
    assert {p.name for p in (ROOT / "examples").glob("*.py")} == set(EXAMPLES)
    done = run([sys.executable, str(ROOT / "examples" / script), *EXAMPLES[script]], tmp_path)
    assert done.returncode == 0, failure(done)
    if script == "demo.py":  # the reports it writes, at the paths it prints
        reports = [line.split(": ", 1)[1] for line in done.stdout.splitlines() if ".html" in line]
        assert len(reports) == 3 and all(Path(tmp_path, p).is_file() for p in reports), done.stdout
