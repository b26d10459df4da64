"""Checks an sdist: it must hold every input of the build and nothing else.

Usage: python tools/sdist_contents.py dist/vorlane-VERSION.tar.gz
"""

from __future__ import annotations

import sys
import tarfile
from typing import Iterable, List

# Paths relative to the sdist's top directory; a directory covers everything below it.
REQUIRED = [
    "PKG-INFO", "pyproject.toml", "CMakeLists.txt", "README.md", "LICENSE",
    "cmake", "vorlane/CMakeLists.txt", "vorlane/include", "vorlane/internal", "vorlane/src", "vorlane/problems",
    "vorlane-py/CMakeLists.txt", "vorlane-py/common", "vorlane-py/src", "vorlane-py/engine",
    "python/vorlane/__init__.py", "python/_vorlane-stubs",
]
ALLOWED = REQUIRED + ["CHANGELOG.md", ".gitignore", "python/vorlane"]


def _covers(entry: str, path: str) -> bool:
    return path == entry or path.startswith(entry + "/")


def problems(members: Iterable[str]) -> List[str]:
    """What is wrong with an sdist holding these member paths (with their top directory)."""
    paths = []
    for member in members:
        _, _, path = member.partition("/")
        if path:
            paths.append(path)
    found = [f"unexpected: {path}" for path in paths if not any(_covers(entry, path) for entry in ALLOWED)]
    found += [f"missing: {entry}" for entry in REQUIRED if not any(_covers(entry, path) for path in paths)]
    found += [f"not a build input: {path}" for path in paths if "/__pycache__/" in path or path.endswith(".pyc")]
    return found


def main(argv: List[str]) -> int:
    if len(argv) != 2:
        print(__doc__.strip().splitlines()[-1], file=sys.stderr)
        return 2
    with tarfile.open(argv[1]) as archive:
        names = [member.name for member in archive.getmembers() if not member.isdir()]
    found = problems(names)
    for problem in found:
        print(f"{argv[1]}: {problem}", file=sys.stderr)
    if not found:
        print(f"{argv[1]}: {len(names)} files, every build input and nothing else")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
