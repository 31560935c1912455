"""Print the runtime dependencies of pyproject.toml (plus the named extras) for pip."""

import sys
import tomllib
from pathlib import Path

project = tomllib.loads((Path(__file__).resolve().parent.parent / "pyproject.toml").read_text())[
    "project"
]
deps = list(project["dependencies"])
for extra in sys.argv[1:]:
    deps += project["optional-dependencies"][extra]
print(" ".join(deps))
