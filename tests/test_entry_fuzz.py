"""Drawn inputs of every awkward kind through the public entries, in a child process so
that a crash of the native code is a failed test rather than a dead test runner."""

from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent


def test_public_entries_return_finite_results_or_documented_errors() -> None:
    env = {**os.environ, "PYTHONPATH": os.pathsep.join([str(HERE.parent / "src"), str(HERE)])}
    env["MPLBACKEND"] = "Agg"
    run = subprocess.run(
        [sys.executable, "-X", "faulthandler", str(HERE / "entry_fuzz.py")],
        capture_output=True,
        text=True,
        env=env,
        check=False,
    )
    assert run.returncode == 0, (run.returncode, run.stdout[-3000:], run.stderr[-6000:])
