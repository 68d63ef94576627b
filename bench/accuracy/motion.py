"""True motion: a route of straights and turns, and a speed profile along it.

The route is a curvature profile in arc length, linear between knots (a turn
eases in and out over a short ramp, as a rudder or a steering wheel does), so
heading is known in closed form at any distance and the position follows from
integrating it on a fine grid, then stepping exactly from the nearest grid
point. The speed profile is stepped in time with a constant acceleration per
step, so the distance travelled at every step is exact too. Together they give
position, speed, heading and signed curvature (positive turning left) at any
instant of the time grid, with errors far below a millimetre.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np


@dataclass
class Route:
    knots_s: np.ndarray  # metres along the route
    knots_k: np.ndarray  # signed curvature at the knots, 1/m (positive: turning left)
    theta0: float  # heading at s = 0, radians counterclockwise from east
    step: float  # the integration grid, metres
    turns: list  # (start, end, radius) of each turn, metres along the route

    def __post_init__(self):
        ds = np.diff(self.knots_s)
        self._theta_knots = (
            self.theta0 + np.r_[0.0, np.cumsum(0.5 * (self.knots_k[:-1] + self.knots_k[1:]) * ds)]
        )
        self.grid = np.arange(0.0, self.knots_s[-1] + self.step, self.step)
        theta_mid = self.theta(self.grid[:-1] + 0.5 * self.step)
        kappa_mid = self.curvature(self.grid[:-1] + 0.5 * self.step)
        chord = self.step * np.sinc(kappa_mid * self.step / (2 * np.pi))  # np.sinc is sin(pi x)/(pi x)
        self._gx = np.r_[0.0, np.cumsum(chord * np.cos(theta_mid))]
        self._gy = np.r_[0.0, np.cumsum(chord * np.sin(theta_mid))]

    @property
    def length(self) -> float:
        return float(self.knots_s[-1])

    def curvature(self, s) -> np.ndarray:
        return np.interp(s, self.knots_s, self.knots_k)

    def theta(self, s) -> np.ndarray:
        s = np.asarray(s, dtype=np.float64)
        i = np.clip(np.searchsorted(self.knots_s, s, side="right") - 1, 0, len(self.knots_s) - 2)
        u = s - self.knots_s[i]
        ka, kb = self.knots_k[i], self.knots_k[i + 1]
        span = self.knots_s[i + 1] - self.knots_s[i]
        return self._theta_knots[i] + ka * u + (kb - ka) * u * u / (2.0 * span)

    def position(self, s) -> tuple[np.ndarray, np.ndarray]:
        """From the grid point below s, one exact-to-third-order chord step."""
        s = np.asarray(s, dtype=np.float64)
        i = np.clip(np.floor(s / self.step).astype(np.int64), 0, len(self.grid) - 1)
        h = s - self.grid[i]
        mid = self.grid[i] + 0.5 * h
        chord = h * np.sinc(self.curvature(mid) * h / (2 * np.pi))
        angle = self.theta(mid)
        return self._gx[i] + chord * np.cos(angle), self._gy[i] + chord * np.sin(angle)


def route(
    rng, length: float, straight: tuple, radius: tuple, angle: tuple, u_turn: float, ramp: float, step: float
):
    """Straights of `straight` metres (uniform) alternating with turns of a
    radius and a turning angle (degrees) drawn from the ranges, left or
    right; with probability `u_turn` a turn is a U-turn (180 degrees).
    Curvature ramps over `ramp` metres (shorter on short turns)."""
    s, knots_s, knots_k, turns = 0.0, [0.0], [0.0], []
    while s < length:
        s += rng.uniform(*straight)
        knots_s.append(s)
        knots_k.append(0.0)
        r = rng.uniform(*radius)
        turn = np.radians(180.0 if rng.random() < u_turn else rng.uniform(*angle))
        k = rng.choice([-1.0, 1.0]) / r
        arc = turn * r
        eased = min(ramp, 0.5 * arc)
        # ramps of length `eased` each add half their length at full curvature
        steady = arc - eased
        start = s
        for ds, value in ((eased, k), (steady, k), (eased, 0.0)):
            s += ds
            knots_s.append(s)
            knots_k.append(value)
        turns.append((start, s, r))
    s += rng.uniform(*straight)
    knots_s.append(s)
    knots_k.append(0.0)
    return Route(np.array(knots_s), np.array(knots_k), rng.uniform(-np.pi, np.pi), step, turns)


@dataclass
class Profile:
    t: np.ndarray
    s: np.ndarray
    v: np.ndarray


def vessel_speeds(rng, duration: float, dt: float, speeds: tuple, accel: float, hold: tuple) -> Profile:
    """A cruise speed that changes to a new one now and then, at about
    `accel` m/s^2 (per change, 0.7-1.3 of it)."""
    n = int(round(duration / dt)) + 1
    v = np.empty(n)
    s = np.empty(n)
    v[0], s[0] = rng.uniform(*speeds), 0.0
    target, rate, change = v[0], accel, rng.uniform(*hold)
    for k in range(n - 1):
        t = k * dt
        if t >= change:
            target, rate, change = rng.uniform(*speeds), accel * rng.uniform(0.7, 1.3), t + rng.uniform(*hold)
        a = min(max((target - v[k]) / dt, -rate), rate)
        v[k + 1] = v[k] + a * dt
        s[k + 1] = s[k] + v[k] * dt + 0.5 * a * dt * dt
    return Profile(np.arange(n) * dt, s, v)


def car_speeds(
    rng,
    route: Route,
    duration: float,
    dt: float,
    cruise: float,
    accel: float,
    brake: float,
    lateral: float,
    light_share: float,
    wait: tuple,
) -> Profile:
    """Drives the route: up to `cruise`, slowing to sqrt(lateral * radius)
    through turns, stopping at a share of the intersections for `wait`
    seconds; braking ahead of every limit at a constant rate of about `brake`."""
    limits = []  # (from, to, speed): the speed allowed between two distances
    lights = []
    for start, end, radius in route.turns:
        limits.append((start, end, float(np.sqrt(lateral * radius))))
        if rng.random() < light_share:
            lights.append([start - rng.uniform(2.0, 8.0), rng.uniform(*wait)])
    n = int(round(duration / dt)) + 1
    v, s = np.zeros(n), np.zeros(n)
    waiting_until, light = None, 0
    for k in range(n - 1):
        t = k * dt
        if waiting_until is not None:
            v[k + 1], s[k + 1] = 0.0, s[k]
            if t + dt >= waiting_until:
                waiting_until, light = None, light + 1
            continue
        # ahead of a limit, brake at the constant rate that meets it exactly once that rate reaches `brake`
        target, decel = cruise, 0.0
        for a_from, a_to, a_speed in limits:
            if a_to < s[k]:
                continue
            if a_from > s[k] + 400.0:
                break
            if a_from <= s[k]:
                target = min(target, a_speed)
            elif v[k] > a_speed:
                need = (v[k] ** 2 - a_speed**2) / (2.0 * (a_from - s[k]))
                decel = max(decel, need if need >= brake else 0.0)
        if light < len(lights):
            ahead = lights[light][0] - s[k]
            if ahead < 1.0 and v[k] == 0.0:  # at rest at the stop line: wait
                v[k + 1], s[k + 1] = 0.0, s[k]
                waiting_until = t + dt + lights[light][1]
                continue
            need = v[k] ** 2 / (2.0 * max(ahead, 1e-3))
            decel = max(decel, need if need >= brake else 0.0)
        a = -decel if decel > 0 else min(max((target - v[k]) / dt, -brake), accel)
        if a <= -v[k] / dt:  # at rest within this step (exactly: the stop line waits for zero)
            a, v[k + 1] = -v[k] / dt, 0.0
        else:
            v[k + 1] = v[k] + a * dt
        s[k + 1] = s[k] + v[k] * dt + 0.5 * a * dt * dt
    return Profile(np.arange(n) * dt, s, v)
