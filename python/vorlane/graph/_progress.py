"""Progress of long graph computations on stderr: nothing for the first second, then a line
with the solves done and the time they took and still need."""

from __future__ import annotations

import sys
from typing import Optional, TextIO

from .._progress import DelayedLine

# Quick computations say nothing; past this many seconds, progress appears.
DELAY = 1.0
# Least time between two lines when the stream is no terminal.
LOG_INTERVAL = 10.0


def check_progress(progress: object) -> Optional[bool]:
    if progress is None or isinstance(progress, bool):
        return progress
    raise TypeError(f"progress must be True, False or None, got {type(progress).__name__}")


class SolveProgress:
    """Reports ``done of total solves`` for one computation.

    ``enabled`` None reports only on a terminal, rewriting one line and erasing it when
    done; True reports anywhere (whole lines, every ten seconds, for logs); False never.
    """

    def __init__(self, what: str, total: int, enabled: Optional[bool], stream: Optional[TextIO] = None) -> None:
        self._line = DelayedLine(sys.stderr if stream is None else stream, enabled, DELAY, LOG_INTERVAL)
        self._what = what
        self._total = total

    def advance(self, done: int) -> None:
        def text(elapsed: float) -> str:
            line = f"vorlane.graph: {self._what}: {done} of {self._total} solves, {elapsed:.0f} s"
            if done:
                line += f", about {elapsed * (self._total - done) / done:.0f} s left"
            return line

        self._line.show(text)

    def finish(self) -> None:
        self._line.finish()
