"""A one-line progress bar on the terminal, redrawn at most ten times a second."""

from __future__ import annotations

import sys
import time


class ProgressBar:
    WIDTH = 30

    def __init__(self, total_points: int, enabled: bool, stream=None):
        self.stream = stream or sys.stderr
        self.enabled = enabled and hasattr(self.stream, "isatty") and self.stream.isatty()
        self.total = max(1, total_points)
        self.done = 0
        self.started = time.perf_counter()
        self._drawn = 0.0

    def advance(self, points: int) -> None:
        self.done += points
        now = time.perf_counter()
        if self.enabled and (now - self._drawn >= 0.1 or self.done >= self.total):
            self._drawn = now
            self._draw(now)

    def _draw(self, now: float) -> None:
        share = min(1.0, self.done / self.total)
        filled = int(round(share * self.WIDTH))
        rate = self.done / max(now - self.started, 1e-9)
        bar = "#" * filled + "." * (self.WIDTH - filled)
        self.stream.write(f"\r[{bar}] {share:4.0%} {self.done:,}/{self.total:,} points, {rate:,.0f} points/s")
        self.stream.flush()

    def close(self) -> None:
        if self.enabled:
            self.stream.write("\n")
            self.stream.flush()
