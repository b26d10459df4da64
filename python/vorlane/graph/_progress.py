"""Progress of long graph computations on stderr: nothing for the first second, then a line
with the solves done and the time they took and still need."""

from __future__ import annotations

import sys
import time
from typing import Optional, TextIO

# Quick computations say nothing; past this many seconds, progress appears.
DELAY = 1.0
# Least time between two updates on a terminal, and between two lines elsewhere.
TERMINAL_INTERVAL = 0.2
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
        self._stream = sys.stderr if stream is None else stream
        try:
            terminal = self._stream.isatty()
        except (AttributeError, ValueError):
            terminal = False
        self._on = terminal if enabled is None else enabled
        self._terminal = terminal
        self._what = what
        self._total = total
        self._start = time.monotonic()
        self._last = self._start
        self._shown = 0

    def advance(self, done: int) -> None:
        if not self._on:
            return
        now = time.monotonic()
        interval = TERMINAL_INTERVAL if self._terminal else LOG_INTERVAL
        if now - self._start < DELAY or (self._shown and now - self._last < interval):
            return
        self._last = now
        elapsed = now - self._start
        left = elapsed * (self._total - done) / done if done else float("nan")
        text = f"vorlane.graph: {self._what}: {done} of {self._total} solves, {elapsed:.0f} s"
        if done:
            text += f", about {left:.0f} s left"
        if self._terminal:
            self._stream.write("\r" + text.ljust(self._shown))
            self._shown = len(text)
        else:
            self._stream.write(text + "\n")
            self._shown = 1
        self._stream.flush()

    def finish(self) -> None:
        if self._on and self._terminal and self._shown:
            self._stream.write("\r" + " " * self._shown + "\r")
            self._stream.flush()
