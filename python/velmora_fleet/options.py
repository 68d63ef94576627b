"""The tunables of the per-track pipeline, checked once before any work."""
from __future__ import annotations

import math
from dataclasses import dataclass


@dataclass(frozen=True)
class Options:
    """Per-track settings; the defaults are the module's own where it has one."""

    max_deviation: float = 1.0  # metres an interior point may move along each axis
    spacing: float = 1.0  # metres between resampled points
    max_rmse: float = 0.15  # metres, threshold of the circle-fit decomposition
    sus_angle: float = 2.8  # radians, turn that flags a point recorded out of order

    def check(self) -> "Options":
        """Raises ValueError naming the first setting that cannot work."""
        limits = (
            ("max_deviation", self.max_deviation, False),
            ("spacing", self.spacing, True),
            ("max_rmse", self.max_rmse, False),
            ("sus_angle", self.sus_angle, False),
        )
        for name, value, strictly in limits:
            if not isinstance(value, (int, float)) or isinstance(value, bool) or not math.isfinite(value):
                raise ValueError(f"{name} must be a finite number, got {value!r}")
            if value < 0 or (strictly and value == 0):
                bound = "greater than 0" if strictly else "at least 0"
                raise ValueError(f"{name} must be {bound}, got {value!r}")
        return self
