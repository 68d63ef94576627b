"""Runs every velmora-vs-peer comparison and prints one table.

Each case runs in its own process, so that a crash or a hang in one case
cannot take the others down and memory from one case does not linger in the
next. Rows stream back over stdout; the table goes to stdout and, as
markdown, to bench/results/latest.md.

    python bench/run_all.py [--only NAME ...] [--scale 0.1] [--budget 2.0] [--strict]
"""

from __future__ import annotations

import argparse
import datetime
import os
import platform
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from cases import ORDER, TIMEOUTS  # noqa: E402
from harness import ROW_MARKER, Row  # noqa: E402
import report  # noqa: E402

CASE_TIMEOUT = 240.0


def worker(name: str) -> None:
    """Runs one case in this process and prints its rows as they finish."""
    import importlib

    from harness import load_velmora

    vm = load_velmora()
    module = importlib.import_module(f"cases.{name}")
    for row in module.run(vm):
        print(ROW_MARKER + row.to_json(), flush=True)


def run_case(name: str, env: dict[str, str], timeout: float) -> list[Row]:
    cmd = [sys.executable, os.path.abspath(__file__), "--worker", name]
    start = time.perf_counter()
    try:
        proc = subprocess.run(cmd, capture_output=True, text=True, env=env, timeout=timeout)
        out, err, code = proc.stdout, proc.stderr, proc.returncode
    except subprocess.TimeoutExpired as exc:
        out = exc.stdout.decode() if isinstance(exc.stdout, bytes) else (exc.stdout or "")
        err, code = f"timed out after {timeout:.0f} s", None
    rows = [
        Row.from_json(line[len(ROW_MARKER) :]) for line in out.splitlines() if line.startswith(ROW_MARKER)
    ]
    if code != 0:
        lines = [line for line in err.splitlines() if line.strip()]
        reason = lines[-1] if lines else f"exit status {code}"
        if code is not None and code < 0:
            reason = f"killed by signal {-code}; {reason}"
        rows.append(Row(f"{name}: remaining comparisons", status="error", note=reason[:200]))
    print(f"  {name}: {len(rows)} rows in {time.perf_counter() - start:.1f} s", file=sys.stderr, flush=True)
    return rows


def velmora_state(env: dict[str, str]) -> str:
    probe = (
        "import velmora, sys; names = sorted(n for n in dir(velmora.Path2D) if not n.startswith('_'));"
        "print(len(names), 'public Path2D members')"
    )
    proc = subprocess.run([sys.executable, "-c", probe], capture_output=True, text=True, env=env)
    if proc.returncode != 0:
        lines = proc.stderr.strip().splitlines()
        return f"velmora not importable ({lines[-1] if lines else 'unknown error'})"
    return f"velmora: {proc.stdout.strip()}"


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--worker", help=argparse.SUPPRESS)
    parser.add_argument("--only", nargs="+", choices=ORDER, help="run only these cases")
    parser.add_argument("--scale", type=float, help="multiply input sizes (smoke runs)")
    parser.add_argument("--budget", type=float, help="seconds of repetitions per comparison")
    parser.add_argument("--timeout", type=float, default=CASE_TIMEOUT, help="seconds per case")
    parser.add_argument("--output", default=os.path.join(HERE, "results", "latest.md"))
    parser.add_argument(
        "--strict",
        action="store_true",
        help="exit 1 when a comparison errs or a result check fails (missed targets never fail)",
    )
    args = parser.parse_args(argv)
    if args.worker:
        worker(args.worker)
        return 0

    env = dict(os.environ)
    if args.scale is not None:
        env["VELMORA_BENCH_SCALE"] = str(args.scale)
    if args.budget is not None:
        env["VELMORA_BENCH_BUDGET"] = str(args.budget)
    state = velmora_state(env)
    print(state, file=sys.stderr)

    started = time.perf_counter()
    rows: list[Row] = []
    for name in args.only or ORDER:
        rows.extend(run_case(name, env, max(args.timeout, TIMEOUTS.get(name, 0.0))))
    elapsed = time.perf_counter() - started

    table = report.text_table(rows)
    summary = report.summary(rows)
    print(table)
    print()
    print(summary)
    print(f"({elapsed:.0f} s)")

    stamp = datetime.datetime.now().strftime("%Y-%m-%d %H:%M")
    scale = env.get("VELMORA_BENCH_SCALE")
    lines = [
        "# velmora benchmarks",
        "",
        f"{stamp}, Python {platform.python_version()}, {os.cpu_count()} CPUs, {state}"
        + (f", sizes scaled by {scale}" if scale else "")
        + f", {elapsed:.0f} s.",
        "",
        "Ratio = velmora / peer CPU time, the medians of interleaved repetitions on the same inputs"
        " (a side's CPU time is its thread's, or its process's where it runs threads of its own);"
        " wall ratio = the same by the wall clock, which swings with the machine's load."
        " Memory rows compare peak resident growth. Lower is better.",
        "",
        report.markdown_table(rows),
        "",
        summary.replace("\n", "  \n"),
        "",
    ]
    os.makedirs(os.path.dirname(args.output), exist_ok=True)
    with open(args.output, "w", encoding="utf-8") as fh:
        fh.write("\n".join(lines))
    if args.strict and any(r.status == "error" or r.check_ok is False for r in rows):
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
