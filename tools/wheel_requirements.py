"""Prints the requirements a wheel declares, with those of the given extras, one a line for
``pip install -r``: the wheel's dependencies can then come from an index while the wheel
itself is installed from its file alone.

Usage: python tools/wheel_requirements.py WHEEL [EXTRA ...]
"""

from __future__ import annotations

import re
import sys
import zipfile
from email.parser import Parser
from typing import Iterator, List

# An extra clause at either end of a marker, joined to the rest by "and".
_EXTRA = re.compile(r"""^extra\s*==\s*["']([^"']+)["']$""")
_EXTRA_FIRST = re.compile(r"""^extra\s*==\s*["']([^"']+)["']\s+and\s+(.+)$""")
_EXTRA_LAST = re.compile(r"""^(.+?)\s+and\s+extra\s*==\s*["']([^"']+)["']$""")


def requirements(metadata: str, extras: List[str]) -> Iterator[str]:
    """The Requires-Dist lines of a METADATA text that apply with the given extras; a marker
    that also names the environment keeps that part, for pip to evaluate."""
    for line in Parser().parsestr(metadata).get_all("Requires-Dist") or []:
        requirement, _, marker = line.partition(";")
        requirement, marker = requirement.strip(), marker.strip()
        if "extra" not in marker:
            yield line.strip()
            continue
        whole, first, last = _EXTRA.match(marker), _EXTRA_FIRST.match(marker), _EXTRA_LAST.match(marker)
        if whole:
            extra, rest = whole.group(1), ""
        elif first:
            extra, rest = first.group(1), first.group(2)
        elif last:
            extra, rest = last.group(2), last.group(1)
        else:
            raise ValueError(f"cannot evaluate the marker of {line!r}")
        if " or " in rest or "extra" in rest:
            raise ValueError(f"cannot evaluate the marker of {line!r}")
        if extra in extras:
            yield f"{requirement}; {rest}" if rest else requirement


def main(argv: List[str]) -> int:
    if len(argv) < 2:
        print(__doc__.strip().splitlines()[-1], file=sys.stderr)
        return 2
    with zipfile.ZipFile(argv[1]) as wheel:
        names = [name for name in wheel.namelist() if name.endswith(".dist-info/METADATA")]
        if len(names) != 1:
            print(f"{argv[1]}: expected one METADATA, found {len(names)}", file=sys.stderr)
            return 1
        metadata = wheel.read(names[0]).decode("utf-8")
    for requirement in requirements(metadata, argv[2:]):
        print(requirement)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
