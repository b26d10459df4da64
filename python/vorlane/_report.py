"""The solve command's report: one labelled line per measurement, on standard output."""

from __future__ import annotations

import sys
from typing import List, Optional, Tuple


def system_kind(singular: bool) -> str:
    if singular:
        return "singular (Laplacian): the solution has zero mean on each component without ground"
    return "nonsingular (SDDM)"


def print_report(lines: List[Tuple[str, str]], out: Optional[str]) -> None:
    """Prints the lines, and where the solution went when it was written."""
    if out is not None:
        lines = [*lines, ("solution", f"written to {out}")]
    for label, value in lines:
        print(f"{label:<12} {value}")
    sys.stdout.flush()
