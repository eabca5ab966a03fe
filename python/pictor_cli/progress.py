"""A one-line progress indicator on stderr, redrawn in place."""

from __future__ import annotations

import sys
import time
from typing import Optional, TextIO


class Progress:
    """Shows "label  done/total (pct%)" a few times a second; silent unless enabled."""

    INTERVAL = 0.2  # seconds between redraws

    def __init__(self, label: str, total: int, enabled: Optional[bool] = None, stream: Optional[TextIO] = None):
        self.stream = stream if stream is not None else sys.stderr
        if enabled is None:
            enabled = self.stream.isatty()
        self.enabled = enabled
        self.label = label
        self.total = max(1, total)
        self.start = time.perf_counter()
        self.last_draw = float("-inf")
        self.width = 0

    def update(self, done: int) -> None:
        if not self.enabled:
            return
        now = time.perf_counter()
        if now - self.last_draw < self.INTERVAL and done < self.total:
            return
        self.last_draw = now
        elapsed = now - self.start
        rate = f", {done / elapsed:.0f} frames/s" if elapsed > 0 and done else ""
        line = f"{self.label} {done}/{self.total} ({100 * done // self.total}%){rate}"
        self.stream.write("\r" + line.ljust(self.width))
        self.stream.flush()
        self.width = len(line)

    def finish(self) -> None:
        """Clears the line so that the results print on a clean one."""
        if self.enabled and self.width:
            self.stream.write("\r" + " " * self.width + "\r")
            self.stream.flush()
            self.width = 0
