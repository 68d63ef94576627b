"""Elastic band smoothing stated directly as a Clarabel QP with scipy.sparse.

Variables: x[0..n-1], y[0..n-1], then (orthogonal bounds only) one normalised
offset per interior point. Objective: the squared second differences of x and
y, i.e. P = 2 D'D per coordinate block. Rows: the four end-point equalities,
the two normal-line equalities per interior point (orthogonal bounds), then
the inequality rows; cones ZeroCone(equalities), Nonnegative(inequalities).
"""

from __future__ import annotations

import numpy as np
import scipy.sparse as sp

SQUARE = "SquareBounds"
ORTHOGONAL = "OrthogonalBounds"


def settings():
    import clarabel

    s = clarabel.DefaultSettings()
    s.verbose = False
    s.max_iter = 1000
    s.tol_gap_abs = 1e-4
    s.tol_gap_rel = 1e-4
    s.tol_feas = 1e-4
    s.iterative_refinement_reltol = 1e-4
    s.iterative_refinement_abstol = 1e-4
    return s


def orientation(pts: np.ndarray) -> np.ndarray:
    """Heading of the chord from the previous to the next point (one-sided at the ends)."""
    n = len(pts)
    if n < 2:
        return np.zeros(n)
    ahead = np.concatenate((pts[1:2], pts[2:], pts[-1:]))
    behind = np.concatenate((pts[:1], pts[:-2], pts[-2:-1]))
    d = ahead - behind
    return np.arctan2(d[:, 1], d[:, 0])


def objective(n: int, extra: int) -> sp.csc_matrix:
    """Upper triangle of P = 2 D'D for the x and the y block, zeros for `extra` offsets."""
    size = 2 * n + extra
    if n < 3:
        return sp.csc_matrix((size, size))
    d2 = sp.diags([1.0, -2.0, 1.0], [0, 1, 2], shape=(n - 2, n), format="csc")
    block = 2.0 * (d2.T @ d2)
    full = sp.block_diag([block, block, sp.csc_matrix((extra, extra))], format="csc")
    return sp.triu(full, format="csc")


def constraints(pts: np.ndarray, max_deviation: float, kind: str):
    """Returns A, b and the number of equality rows."""
    n = len(pts)
    X, Y = pts[:, 0], pts[:, 1]
    d = max_deviation
    i = np.arange(1, n - 1)
    m = len(i)
    rows = [np.arange(4)]
    cols = [np.array([0, n, n - 1, 2 * n - 1])]
    vals = [np.ones(4)]
    b = [np.array([X[0], Y[0], X[-1], Y[-1]])]
    if kind == SQUARE:
        base = 4 + 4 * np.arange(m)
        rows.append(np.column_stack((base, base + 1, base + 2, base + 3)).ravel())
        cols.append(np.column_stack((i, i, n + i, n + i)).ravel())
        vals.append(np.tile([1.0, -1.0, 1.0, -1.0], m))
        # upper: d - (-X), lower: (-X) - (-d)
        b.append(np.column_stack((d - (-X[i]), (-X[i]) - (-d), d - (-Y[i]), (-Y[i]) - (-d))).ravel())
        equalities = 4
    elif kind == ORTHOGONAL:
        theta = orientation(pts)[i]
        s, c = np.sin(theta), np.cos(theta)
        off = 2 * n + i - 1
        r1 = 4 + 2 * np.arange(m)
        r2 = r1 + 1
        rows.append(np.column_stack((r1, r1, r2, r2)).ravel())
        cols.append(np.column_stack((off, i, off, n + i)).ravel())
        vals.append(np.column_stack((s * d, -np.ones(m), c * (-d), -np.ones(m))).ravel())
        b.append(np.column_stack((-X[i], -Y[i])).ravel())
        equalities = 4 + 2 * m
        r3 = equalities + 2 * np.arange(m)
        rows.append(np.column_stack((r3, r3 + 1)).ravel())
        cols.append(np.column_stack((off, off)).ravel())
        vals.append(np.tile([1.0, -1.0], m))
        b.append(np.ones(2 * m))
    else:
        raise ValueError(kind)
    nvar = 2 * n + (m if kind == ORTHOGONAL else 0)
    rows, cols, vals = np.concatenate(rows), np.concatenate(cols), np.concatenate(vals)
    b = np.concatenate(b)
    a = sp.csc_matrix((vals, (rows, cols)), shape=(len(b), nvar))
    return a, b, equalities


def smooth(pts: np.ndarray, max_deviation: float, kind: str = ORTHOGONAL):
    """Smoothed points, shape (n, 2), or None when Clarabel does not report Solved."""
    import clarabel

    pts = np.asarray(pts, dtype=float)
    n = len(pts)
    a, b, equalities = constraints(pts, max_deviation, kind)
    p = objective(n, a.shape[1] - 2 * n)
    cones = [clarabel.ZeroConeT(equalities), clarabel.NonnegativeConeT(len(b) - equalities)]
    solution = clarabel.DefaultSolver(p, np.zeros(a.shape[1]), a, b, cones, settings()).solve()
    if solution.status != clarabel.SolverStatus.Solved:
        return None
    x = np.asarray(solution.x)
    return np.column_stack((x[:n], x[n : 2 * n]))
