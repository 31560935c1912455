"""The public road type-checks strictly: mypy --strict on a user script finds no Any coming
out of lumora (each function of the script declares what it returns), and a misspelt public
name or keyword is an error the checker reports rather than an attribute typed Any."""

from __future__ import annotations

import os
import re
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent

# Each line is a mistake a user makes; the checker must name it on that line.
MISTAKES = """\
import pandas as pd
import lumora
from lumora.backtest import BacktestData

def run(data: BacktestData, factor: pd.DataFrame) -> None:
    lumora.init_fles("bars")
    job = lumora.FactorJob(factor, 20200101, 20241231, gruop_num=10)
    lumora.backtest_many({"a": job}, data, exeutor="serial")
    lumora.StrategyJob(factor, 20200101, 20241231, lot=100)
    lumora.backtest.BacktestServise
"""


def _mypy(*paths: Path) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [
            sys.executable,
            "-m",
            "mypy",
            "--strict",
            "--follow-imports=silent",
            "--no-warn-unused-ignores",
            "--no-incremental",
            "--cache-dir",
            os.devnull,
            *map(str, paths),
        ],
        capture_output=True,
        text=True,
        env={**os.environ, "MYPYPATH": str(HERE.parent / "src")},
        check=False,
    )


def test_user_script_is_strictly_typed() -> None:
    run = _mypy(HERE / "typing" / "user_script.py")
    assert run.returncode == 0, run.stdout + run.stderr


def test_misspelt_names_and_keywords_are_type_errors(tmp_path: Path) -> None:
    script = tmp_path / "mistakes.py"
    script.write_text(MISTAKES, encoding="utf-8")
    run = _mypy(script)
    errors = {
        int(m["line"]): m["text"]
        for m in re.finditer(r"^.*?:(?P<line>\d+): error: (?P<text>.*)$", run.stdout, re.MULTILINE)
    }
    lines = MISTAKES.splitlines()
    expected = {
        "init_fles": 'has no attribute "init_fles"',
        "gruop_num": 'Unexpected keyword argument "gruop_num"',
        "exeutor": 'Unexpected keyword argument "exeutor"',
        "lot=": 'Unexpected keyword argument "lot"',
        "BacktestServise": 'has no attribute "BacktestServise"',
    }
    for marker, message in expected.items():
        number = next(n for n, line in enumerate(lines, 1) if marker in line)
        assert message in errors.get(number, ""), (marker, run.stdout)
    assert len(errors) == len(expected), run.stdout
