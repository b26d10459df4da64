"""Progress lines: on a terminal one line, rewritten in place and erased when done; in a log,
whole lines now and then."""

from __future__ import annotations

import time
from typing import Callable, Optional, TextIO


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



def is_terminal(stream: TextIO) -> bool:
    try:
        return bool(stream.isatty())
    except (AttributeError, ValueError):
        return False


class DelayedLine:
    """Progress of one long computation on a stream. Nothing for its first ``delay`` seconds;
    then, on a terminal, one line rewritten at most every 0.2 s and erased by finish();
    elsewhere a whole line at most every ``interval`` seconds. ``enabled``: None reports on a
    terminal only, True anywhere, False never."""

    _TERMINAL_INTERVAL = 0.2

    def __init__(self, stream: TextIO, enabled: Optional[bool], delay: float, interval: float) -> None:
        self._stream = stream
        self._terminal = is_terminal(stream)
        self.on = self._terminal if enabled is None else bool(enabled)
        self._delay = delay
        self._interval = self._TERMINAL_INTERVAL if self._terminal else interval
        self._start = time.monotonic()
        self._last = self._start
        self._width = 0
        self._shown = False

    def show(self, text_of: Callable[[float], str]) -> None:
        """Shows text_of(seconds elapsed) when it is time to (the text is made only then)."""
        if not self.on:
            return
        now = time.monotonic()
        if now - self._start < self._delay or (self._shown and now - self._last < self._interval):
            return
        self._last = now
        self._shown = True
        text = text_of(now - self._start)
        if self._terminal:
            self._stream.write("\r" + text.ljust(self._width))
            self._width = len(text)
        else:
            self._stream.write(text + "\n")
        self._stream.flush()

    def finish(self) -> None:
        if self._terminal and self._width:
            self._stream.write("\r" + " " * self._width + "\r")
            self._stream.flush()
            self._width = 0
