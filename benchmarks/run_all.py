"""Run every end-to-end benchmark in turn, each in a fresh process (full sizes).

    PYTHONPATH=src .venv/bin/python benchmarks/run_all.py [name ...]

Names select benchmarks by their file stem without the "bench_" prefix (strategy, group,
store, charts, package_download, prepare); without names every benchmark runs.
"""

from __future__ import annotations

import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent


def main(argv: list[str]) -> int:
    scripts = sorted(HERE.glob("bench_*.py"))
    if argv:
        wanted = {f"bench_{name}.py" for name in argv}
        scripts = [s for s in scripts if s.name in wanted]
    failed = []
    for script in scripts:
        print(f"==> {script.name}", flush=True)
        if subprocess.call([sys.executable, str(script)]) != 0:
            failed.append(script.name)
    if failed:
        print("failed: " + ", ".join(failed))
    return 1 if failed else 0


if __name__ == "__main__":
    raise SystemExit(main(sys.argv[1:]))
