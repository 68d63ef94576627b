"""Runs the fuzz target for a bounded time in a child process and reports.

The child must end by itself with status 0. A finding (an undocumented
exception or internal-error message, a changed or still-borrowed path) makes
it exit non-zero; a crash shows as death by a signal or as a sanitizer report.
Either way this prints a reproducer and exits 1.

    python tests/fuzz/run_fuzz.py --seconds 45 --workdir build/fuzz
"""

import argparse
import json
import os
import resource
import signal
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
TARGET = HERE / "fuzz_velmora.py"
# Outside a sanitizer run the child gets an address-space limit as well, so
# that no input can take the machine's memory even if the core stops refusing
# impossible sizes.
CHILD_ADDRESS_SPACE = 4 << 30


def atheris_available(python):
    probe = subprocess.run([python, "-c", "import atheris"], capture_output=True)
    return probe.returncode == 0


def limit_memory():
    resource.setrlimit(resource.RLIMIT_AS, (CHILD_ADDRESS_SPACE, CHILD_ADDRESS_SPACE))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seconds", type=int, default=45)
    parser.add_argument("--engine", choices=["auto", "atheris", "random"], default="auto")
    parser.add_argument("--python", default=sys.executable)
    parser.add_argument("--workdir", default="build/fuzz")
    parser.add_argument(
        "--seed", type=int, default=None, help="first seed of the random engine (default: from the clock)"
    )
    args = parser.parse_args()

    work = Path(args.workdir).resolve()
    artifacts, corpus = work / "artifacts", work / "corpus"
    for d in (artifacts, corpus):
        d.mkdir(parents=True, exist_ok=True)
    state, stats, log = work / "state", work / "stats.json", work / "child.log"
    for f in (state, stats):
        f.unlink(missing_ok=True)

    engine = args.engine
    if engine == "auto":
        engine = "atheris" if atheris_available(args.python) else "random"
    seed = args.seed if args.seed is not None else int(time.time()) % 1_000_000 * 1000
    command = [
        args.python,
        "-W",
        "ignore::DeprecationWarning",
        str(TARGET),
        "--engine",
        engine,
        "--seconds",
        str(args.seconds),
        "--state",
        str(state),
        "--stats",
        str(stats),
        "--seed",
        str(seed),
    ]
    if engine == "atheris":
        command += [
            str(corpus),
            f"-artifact_prefix={artifacts}/",
            "-timeout=60",
            "-rss_limit_mb=6144",
            f"-max_total_time={args.seconds}",
        ]
    sanitized = "libasan" in os.environ.get("LD_PRELOAD", "")

    print(f"fuzz: engine {engine}, {args.seconds} s, log {log}", flush=True)
    began = time.monotonic()
    with open(log, "w") as out:
        child = subprocess.Popen(
            command,
            stdout=out,
            stderr=subprocess.STDOUT,
            cwd=work,
            preexec_fn=None if sanitized else limit_memory,
        )
        try:
            status = child.wait(timeout=args.seconds + 300)
        except subprocess.TimeoutExpired:
            child.kill()
            status = "hang"
    elapsed = time.monotonic() - began

    counts = json.loads(stats.read_text()) if stats.exists() else {}
    text = log.read_text(errors="replace")
    lines = [line for line in text.splitlines() if not line.startswith("velmora: internal error")]
    inputs = counts.get("inputs", 0)
    print(f"fuzz: {inputs} inputs ({counts.get('calls', 0)} calls) in {elapsed:.0f} s")
    if counts.get("outcomes"):
        print("fuzz: outcomes " + ", ".join(f"{k} {v}" for k, v in sorted(counts["outcomes"].items())))

    failed = status != 0
    if status == "hang":
        print("fuzz: FAIL the child did not finish in time")
    elif isinstance(status, int) and status < 0:
        print(f"fuzz: FAIL the child died by signal {signal.Signals(-status).name}")
    elif failed:
        print(f"fuzz: FAIL the child exited with status {status}")
    if failed:
        print("\n".join(lines[-60:]))
        if engine == "random" and state.exists():
            last = state.read_text().split()[-1]
            print(f"fuzz: reproduce with: {args.python} {TARGET} --engine random --replay {last}")
        crashes = sorted(artifacts.glob("crash-*"))
        for crash in crashes[-3:]:
            print(f"fuzz: reproduce with: {args.python} {TARGET} --engine atheris {crash}")
    for finding in counts.get("findings", []):
        print(f"fuzz: finding: {finding}")
    print(f"fuzz: {inputs} inputs, {len(counts.get('findings', [])) + failed} findings")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
