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
