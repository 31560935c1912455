"""The public road type-checks strictly: mypy --strict on a user script finds no Any coming
out of lumora (each function of the script declares what it returns)."""

from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent


def test_user_script_is_strictly_typed() -> None:
    run = subprocess.run(
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
            str(HERE / "typing" / "user_script.py"),
        ],
        capture_output=True,
        text=True,
        env={**os.environ, "MYPYPATH": str(HERE.parent / "src")},
        check=False,
    )
    assert run.returncode == 0, run.stdout + run.stderr
