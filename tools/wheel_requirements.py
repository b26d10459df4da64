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

_EXTRA = re.compile(r"""^extra\s*==\s*["']([^"']+)["']$""")


def requirements(metadata: str, extras: List[str]) -> Iterator[str]:
    """The Requires-Dist lines of a METADATA text that apply with the given extras."""
    for line in Parser().parsestr(metadata).get_all("Requires-Dist") or []:
        requirement, _, marker = line.partition(";")
        marker = marker.strip()
        extra = _EXTRA.match(marker)
        if extra:
            if extra.group(1) in extras:
                yield requirement.strip()
        elif "extra" in marker:
            raise ValueError(f"cannot evaluate the marker of {line!r}")
        else:
            yield line.strip()


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
