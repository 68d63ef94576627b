"""Formats benchmark rows as a plain-text table and as markdown."""

from __future__ import annotations

from harness import Row

# Times are CPU-time medians where measured; "ratio" is judged against the
# target, "wall ratio" is the same comparison by the wall clock.
HEADERS = ("case", "velmora", "peer", "ratio", "target", "met", "wall ratio", "check", "note")


def _seconds(s: float) -> str:
    if s >= 1.0:
        return f"{s:.2f} s"
    if s >= 1e-3:
        return f"{s * 1e3:.1f} ms"
    return f"{s * 1e6:.0f} µs"


def _amount(row: Row, value: float | None) -> str:
    if value is None:
        return row.status if row.kind != "check" and row.status != "ok" else ""
    if row.kind == "memory":
        return f"{value / 2**20:.1f} MiB"
    return _seconds(value)


def cells(row: Row) -> tuple[str, ...]:
    ratio = row.ratio
    met = {None: "", True: "yes", False: "NO"}[row.met]
    check = row.check
    if row.check_ok is False:
        check = f"FAIL: {check}"
    elif row.kind == "check" and row.check_ok:
        check = f"ok: {check}"
    note = row.note
    if row.reps and row.kind == "time":
        note = f"{note}; median of {row.reps}" if note else f"median of {row.reps}"
    if row.kind == "check" and row.status != "ok":
        check = row.status
    velmora = row.velmora_cpu if row.velmora_cpu is not None else row.velmora
    peer = row.peer_cpu if row.peer_cpu is not None else row.peer
    wall = row.wall_ratio if row.cpu_ratio is not None else None
    return (
        row.case,
        _amount(row, velmora),
        _amount(row, peer) if peer is not None else "",
        f"{ratio:.3g}x" if ratio is not None else ("n/a" if row.status != "ok" else ""),
        f"<= {row.target:g}x" if row.target is not None else "",
        met,
        f"{wall:.3g}x" if wall is not None else "",
        check,
        note,
    )


def text_table(rows: list[Row]) -> str:
    body = [HEADERS] + [cells(r) for r in rows]
    # the note column is left ragged
    widths = [max(len(line[i]) for line in body) for i in range(len(HEADERS) - 1)]
    out = []
    for k, line in enumerate(body):
        out.append("  ".join(c.ljust(w) for c, w in zip(line, widths)) + "  " + line[-1])
        if k == 0:
            out.append("  ".join("-" * w for w in widths) + "  " + "-" * 4)
    return "\n".join(line.rstrip() for line in out)


def markdown_table(rows: list[Row]) -> str:
    esc = lambda s: s.replace("|", "\\|")
    out = ["| " + " | ".join(HEADERS) + " |", "|" + "---|" * len(HEADERS)]
    out += ["| " + " | ".join(esc(c) for c in cells(r)) + " |" for r in rows]
    return "\n".join(out)


def summary(rows: list[Row]) -> str:
    timed = [r for r in rows if r.target is not None]
    met = sum(1 for r in timed if r.met)
    missed = [r.case for r in timed if r.met is False]
    absent = sum(1 for r in rows if r.status == "n/a")
    errors = sum(1 for r in rows if r.status == "error")
    failed_checks = sum(1 for r in rows if r.check_ok is False)
    parts = [
        f"{met} of {len(timed)} targets met",
        f"{absent} n/a",
        f"{errors} errors",
        f"{failed_checks} failed checks",
    ]
    text = ", ".join(parts)
    if missed:
        text += "\nmissed: " + "; ".join(missed)
    return text
