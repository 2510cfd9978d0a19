"""Optional dependencies read from the project's pinned requirements files.

Used by the build backend while it makes the package metadata, so that
`pip install kestro[test]` installs exactly what `scripts/env.sh` puts into
the test environments: each extra is the requirement lines of one file, the
files it takes in with `-r` included, markers kept.
"""

from __future__ import annotations

from pathlib import Path
from typing import Any, Mapping


def requirement_lines(path: Path) -> list[str]:
    lines: list[str] = []
    for raw in path.read_text(encoding="utf-8").splitlines():
        line = raw.split("#", 1)[0].strip()
        if not line:
            continue
        if line.startswith(("-r ", "--requirement ")):
            lines += requirement_lines(path.parent / line.split(None, 1)[1])
        elif line.startswith("-"):
            raise ValueError(f"{path}: only requirements and -r lines belong in an extra: {raw!r}")
        else:
            lines.append(line)
    return lines


def dynamic_metadata(settings: Mapping[str, Any], _project: Mapping[str, Any]) -> dict[str, Any]:
    extras = settings.get("extras")
    if not isinstance(extras, Mapping) or not extras:
        raise ValueError("requirements_extras needs an 'extras' table of extra = file")
    return {
        "optional-dependencies": {
            name: requirement_lines(Path(file)) for name, file in extras.items()
        }
    }
