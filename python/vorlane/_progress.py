"""Progress lines on a terminal: one line, rewritten in place, erased when done."""

from __future__ import annotations

import time
from typing import TextIO


class Progress:
    """Shows what a long step is doing, but only when the stream is a terminal."""

    def __init__(self, stream: TextIO, interval: float = 0.2) -> None:
        try:
            self.enabled = stream.isatty()
        except (AttributeError, ValueError):
            self.enabled = False
        self._stream = stream
        self._interval = interval
        self._label = ""
        self._width = 0
        self._last = 0.0

    def _show(self, text: str) -> None:
        pad = max(self._width - len(text), 0)
        self._stream.write("\r" + text + " " * pad)
        self._stream.flush()
        self._width = len(text)

    def phase(self, label: str) -> None:
        self._label = label
        if self.enabled:
            self._show(label + " ...")
            self._last = time.monotonic()

    def iteration(self, count: int, residual: float) -> None:
        if not self.enabled:
            return
        now = time.monotonic()
        if now - self._last >= self._interval:
            self._last = now
            self._show(f"{self._label}: iteration {count}, residual {residual:.2e}")

    def clear(self) -> None:
        if self.enabled and self._width:
            self._stream.write("\r" + " " * self._width + "\r")
            self._stream.flush()
            self._width = 0


class SolveProgress:
    """Progress of one solve on a stream: a rewritten line on a terminal once the solve has
    run for a second, or with ``lines`` a line per second and a last one with the outcome."""

    _DELAY = 1.0

    def __init__(self, stream: TextIO, lines: bool) -> None:
        self._stream = stream
        self._lines = lines
        self._start = time.monotonic()
        self._last = self._start
        self._progress = None if lines else Progress(stream)
        self._shown = False

    @classmethod
    def for_option(cls, verbose: object, stream: TextIO) -> "SolveProgress | None":
        """The reporter the verbose option asks for (None for none)."""
        if verbose is None:
            try:
                return cls(stream, lines=False) if stream.isatty() else None
            except (AttributeError, ValueError):
                return None
        return cls(stream, lines=True) if verbose else None

    def iteration(self, count: int, residual: float) -> None:
        now = time.monotonic()
        if now - self._start < self._DELAY:
            return
        if self._progress is not None:
            if not self._shown:
                self._shown = True
                self._progress.phase("vorlane.solve")
            self._progress.iteration(count, residual)
        elif now - self._last >= self._DELAY:
            self._last = now
            self._stream.write(f"vorlane.solve: iteration {count}, relative residual {residual:.2e}, "
                               f"{now - self._start:.1f} s\n")
            self._stream.flush()

    def finish(self) -> None:
        if self._progress is not None:
            self._progress.clear()

    def outcome(self, message: str) -> None:
        if self._lines:
            self._stream.write(f"vorlane.solve: {message} ({time.monotonic() - self._start:.1f} s)\n")
            self._stream.flush()
