"""Settings for kinds of recording, chosen by name (--preset).

A preset names the columns of the exports it knows (the first export whose
columns the input has is used), the values that mean "not available" in
them, and settings suited to the recordings. Settings given explicitly win
over the preset's.
"""

from __future__ import annotations

from dataclasses import dataclass, field


@dataclass(frozen=True)
class Export:
    name: str
    columns: dict  # pipeline name -> the export's column
    time_format: str | None = None


@dataclass(frozen=True)
class Preset:
    name: str
    exports: tuple
    missing: dict = field(default_factory=dict)  # pipeline or carried name -> values meaning "not available"
    valid: dict = field(default_factory=dict)  # carried name -> (lowest, highest) value it can hold
    wrapped: dict = field(default_factory=dict)  # carried name -> (modulus, resolution): records.unwrapped
    settings: dict = field(default_factory=dict)  # carried columns among them: those the input has


# AIS: vessels report every 2 s to 3 min, positions scatter by a few metres
# (the noise is estimated per trip), and a vessel at anchor swings within
# about 100 m. Vessels change speed slowly (about 0.07 m/s² is usual) and turn
# gently (about 0.3 m/s² across the path), and none exceeds about 1 m/s²: a
# record farther off is an outlier. So: resample every 10 m (1 m makes 90
# points a record), fit the curvature's circles to 1 m, drop records implying
# over 25 m/s (50 knots, beyond any merchant vessel: a position error), and
# take a stay within 100 m for 10 minutes as a stop.
AIS = Preset(
    "ais",
    exports=(
        Export("US MarineCadastre", {"track_id": "MMSI", "time": "BaseDateTime", "lon": "LON", "lat": "LAT"}),
        Export(
            "Danish Maritime Authority",
            {"track_id": "MMSI", "time": "# Timestamp", "lon": "Longitude", "lat": "Latitude"},
            time_format="%d/%m/%Y %H:%M:%S",
        ),
    ),
    missing={"lon": (181.0,), "lat": (91.0,), "SOG": (102.3,), "COG": (360.0,), "Heading": (511.0,)},
    # The US export writes COG as a signed 12-bit count of tenths: a course of
    # 204.8 or more wraps below 0 (300.0 is -109.6), and "not available" (360.0)
    # is -49.6. Unwrapped, the negative ones agree with the vessels' headings
    # as well as the positive ones do; 360 and above stays not available.
    wrapped={"COG": (409.6, 0.1)},
    valid={"SOG": (0.0, 102.2), "COG": (0.0, 359.9), "Heading": (0.0, 359.0)},
    settings={
        "spacing": 10.0,
        "acceleration": 0.07,
        "turn_acceleration": 0.3,
        "max_acceleration": 1.0,
        "max_rmse": 1.0,
        "max_speed": 25.0,
        "stop_diameter": 100.0,
        "stop_duration": 600.0,
        "carry": ("SOG",),
        "carry_angles": ("COG", "Heading"),
    },
)

PRESETS = {preset.name: preset for preset in (AIS,)}


def preset_named(name: str) -> Preset:
    try:
        return PRESETS[name]
    except KeyError:
        raise ValueError(f"preset must be one of {', '.join(sorted(PRESETS))}, got {name!r}") from None
