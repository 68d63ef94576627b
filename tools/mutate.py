"""Mutation testing: plants one fault at a time in a copy of the checkout and
records which suite catches it.

The faults are listed in a text file (tools/mutation/mutants.txt): a section
per source file, then one line per mutant,

    [src/core/chaikin.cpp] test_chaikin.py
    cut-weights  `a.x * 0.75 + b.x * 0.25` -> `a.x * 0.25 + b.x * 0.75`
    no-first     `next.push_back(first);` -> ``  equivalent: why no test can tell

where the first span must occur exactly once in the file (``double`` back
ticks enclose a span that holds a back tick; an id ending in @N takes the
Nth of several occurrences), and `a` <-> `b` swaps two spans. Test files
named after a section's header run first, so that a mutant is caught sooner.
The checkout's tracked files are copied to WORKDIR/tree, which holds one build tree for the GoogleTest
binary and the extension module; each mutant is applied to the copy, built
incrementally, run against the suites its file's target names (the first
failure stops it, a timeout counts as caught), and reverted. The outcome
of every mutant and the score go to the results file.

A target is chosen by the longest matching path prefix (TARGETS below): a
pure-Python package needs no build, only its own suite.
"""

import argparse
import datetime
import os
import re
import shutil
import signal
import subprocess
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
GTEST = "tests/cpp/velmora_core_tests"

# What a change below each prefix needs rebuilt (ninja targets) and which
# suites can catch it, in the order they run (the cheapest first).
TARGETS = {
    "src/python/": (["velmora"], ["python"]),
    "src/": (["velmora_core_tests", "velmora"], ["cpp", "python"]),
    "include/": (["velmora_core_tests", "velmora"], ["cpp", "python"]),
    "rust/": (["velmora_core_tests", "velmora"], ["cpp", "python"]),
    "python/velmora_fleet/": ([], ["fleet"]),
}

LINE = re.compile(
    r"^(?P<id>\S+)\s+(?P<old>``.+?``|`[^`]*`)\s+(?P<op>->|<->)\s+(?P<new>``.*?``|`[^`]*`)"
    r"(?:\s+equivalent:\s*(?P<why>.+))?\s*$"
)


@dataclass
class Mutant:
    id: str
    file: str
    old: str
    new: str
    equivalent: str | None = None
    swap: bool = False
    occurrence: int = 0  # 0: the span must be unique
    first: tuple = ()  # test files to run first
    outcome: str = "not run"
    detail: str = ""
    seconds: float = 0.0


def unquote(span):
    return span[2:-2] if span.startswith("``") else span[1:-1]


def read_mutants(path):
    mutants, current, first = [], None, ()
    for number, raw in enumerate(Path(path).read_text().splitlines(), 1):
        line = raw.strip()
        if not line or line.startswith("#"):
            continue
        if line.startswith("["):
            current, _, hints = line[1:].partition("]")
            first = tuple(hints.split())
            continue
        match = LINE.match(line)
        if not match or current is None:
            sys.exit(f"{path}:{number}: not a mutant line: {raw}")
        name, _, nth = match["id"].partition("@")
        mutants.append(
            Mutant(
                f"{Path(current).stem}.{name}",
                current,
                unquote(match["old"]),
                unquote(match["new"]),
                match["why"],
                match["op"] == "<->",
                int(nth or 0),
                first,
            )
        )
    ids = [m.id for m in mutants]
    duplicates = sorted({i for i in ids if ids.count(i) > 1})
    if duplicates:
        sys.exit(f"{path}: mutant ids used twice: {', '.join(duplicates)}")
    return mutants


def target_of(file):
    prefix = max((p for p in TARGETS if file.startswith(p)), key=len, default=None)
    if prefix is None:
        sys.exit(f"no target for {file}: add its prefix to TARGETS")
    return TARGETS[prefix]


def mutated(text, m):
    """The text with the mutant applied, or None where its spans do not fit."""
    if m.swap:
        if text.count(m.old) != 1 or text.count(m.new) != 1:
            return None
        marker = "\0mutant\0"
        return text.replace(m.old, marker).replace(m.new, m.old).replace(marker, m.new)
    count = text.count(m.old)
    if count < m.occurrence or (m.occurrence == 0 and count != 1):
        return None
    at = -1
    for _ in range(max(m.occurrence, 1)):
        at = text.index(m.old, at + 1)
    return text[:at] + m.new + text[at + len(m.old) :]


def check(mutants, root):
    """Each mutant applies to its file; returns the stale ones."""
    stale = []
    for m in mutants:
        path = root / m.file
        if not path.exists() or mutated(path.read_text(), m) is None:
            stale.append(f"{m.id}: `{m.old}` does not occur as listed in {m.file}")
    return stale


def run(command, cwd, env=None, timeout=None):
    """(return code or None on timeout, combined output); a timeout kills the whole group."""
    process = subprocess.Popen(
        command,
        cwd=cwd,
        env=env,
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,
        text=True,
        start_new_session=True,
    )
    try:
        output, _ = process.communicate(timeout=timeout)
        return process.returncode, output
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        output, _ = process.communicate()
        return None, output


@dataclass
class Workspace:
    tree: Path
    build: Path
    python: str
    timeouts: dict = field(default_factory=dict)
    # Targets built from the last mutant's files: reverted in the tree but not
    # yet rebuilt, so the next mutant's build includes them. Without it a
    # mutant in a pure-Python file would be tested against the last compiled
    # mutant's binaries.
    stale: list = field(default_factory=list)

    def prepare(self, jobs):
        """The copy brought level with the checkout's tracked files, configured and built.
        Only files whose content differs are written, so a second run rebuilds
        only what changed (every mutant was reverted by then)."""
        files = (
            subprocess.run(["git", "ls-files", "-z"], cwd=ROOT, check=True, capture_output=True)
            .stdout.decode()
            .split("\0")
        )
        tracked = {name for name in files if name and (ROOT / name).is_file()}
        for path in [p for p in self.tree.rglob("*") if p.is_file()]:
            if str(path.relative_to(self.tree)) not in tracked:
                path.unlink()
        for name in sorted(tracked):
            source, copy = ROOT / name, self.tree / name
            if not copy.is_file() or copy.read_bytes() != source.read_bytes():
                copy.parent.mkdir(parents=True, exist_ok=True)
                shutil.copyfile(source, copy)
                shutil.copymode(source, copy)
        code, output = run(
            [
                "cmake",
                "-S",
                str(self.tree),
                "-B",
                str(self.build),
                "-G",
                "Ninja",
                "-DCMAKE_BUILD_TYPE=Release",
                "-DVELMORA_BUILD_TESTS=ON",
                "-DVELMORA_BUILD_PYTHON=ON",
                f"-DPython_EXECUTABLE={self.python}",
            ],
            cwd=self.tree,
        )
        if code != 0:
            sys.exit(f"configure failed:\n{output[-3000:]}")
        self.jobs = jobs
        if self.build_targets(["velmora_core_tests", "velmora"]) is not None:
            sys.exit("the unmutated copy does not build")

    def build_targets(self, targets):
        """None when built, else the compiler's output."""
        if not targets:
            return None
        code, output = run(
            ["cmake", "--build", str(self.build), "-j", str(self.jobs), "--target", *targets], cwd=self.tree
        )
        return None if code == 0 else output

    def suite(self, name, timeout, first=()):
        """(caught, what caught it); caught is None for a clean pass."""
        # The copy's module and pure-Python packages, not the ones installed in the venv.
        path = os.pathsep.join([str(self.build / "src" / "python"), str(self.tree / "python")])
        env = dict(os.environ, PYTHONPATH=path, PYTHONDONTWRITEBYTECODE="1")
        if (ROOT / "build/ais").is_dir():  # the real AIS sample, as the gate's fleet tests have it
            env.setdefault("VELMORA_AIS_SAMPLE", str(ROOT / "build/ais"))
        if name == "cpp":
            command = [str(self.build / GTEST), "--gtest_fail_fast", "--gtest_brief=1"]
        else:
            folder = self.tree / {"python": "tests/python", "fleet": "tests/fleet"}[name]
            files = sorted(p.name for p in folder.glob("test_*.py"))
            ordered = [f for f in first if f in files] + [f for f in files if f not in first]
            command = [
                self.python,
                "-m",
                "pytest",
                "-x",
                "-q",
                "-p",
                "no:cacheprovider",
                *(str(folder / f) for f in ordered),
            ]
        code, output = run(command, self.tree, env, timeout)
        if code is None:
            return True, f"{name}: timeout after {timeout:.0f} s"
        if code == 0:
            return None, ""
        failed = (
            re.findall(r"^\[  FAILED  \] (\S+)", output, re.M)
            or re.findall(r"^FAILED (\S+)", output, re.M)
            or re.findall(r"^ERROR (\S+)", output, re.M)
        )
        # A crash ends the run without a summary: name the signal and the test it hit.
        crash = re.search(r"^Fatal Python error: (\w+ ?\w*)", output, re.M)
        frame = re.search(r'File "[^"]*/(test_\w+\.py)", line \d+ in (\w+)', output)
        if failed:
            what = failed[0]
        elif crash or code < 0:
            what = f"crashed ({crash[1] if crash else f'signal {-code}'})" + (
                f" in {frame[1]}::{frame[2]}" if frame else ""
            )
        else:
            what = output.strip().splitlines()[-1][:160] if output.strip() else f"exit status {code}"
        return True, f"{name}: {what}"

    def baseline(self, suites):
        """Runs each suite unmutated; its time sets the suite's timeout."""
        for name in suites:
            began = time.monotonic()
            caught, what = self.suite(name, timeout=3600)
            spent = time.monotonic() - began
            if caught:
                sys.exit(f"the unmutated copy fails: {what}")
            self.timeouts[name] = 3 * spent + 30
            print(f"baseline {name}: {spent:.0f} s", flush=True)

    def try_mutant(self, m):
        path = self.tree / m.file
        original = path.read_text()
        began = time.monotonic()
        try:
            path.write_text(mutated(original, m))
            targets, suites = target_of(m.file)
            failure = self.build_targets(sorted(set(targets) | set(self.stale)))
            self.stale = list(targets)
            if failure is not None:
                m.outcome, m.detail = "build-error", _first_error(failure)
                return
            for name in suites:
                caught, what = self.suite(name, self.timeouts[name], m.first)
                if caught:
                    m.outcome, m.detail = "killed", what
                    return
            m.outcome = "survived"
        finally:
            path.write_text(original)
            # the file's time stamp moves on, so the next build sees the revert
            m.seconds = time.monotonic() - began


def _first_error(output):
    errors = [line for line in output.splitlines() if "error" in line]
    return (errors[0] if errors else output.strip().splitlines()[-1])[:160]


def score(mutants):
    counted = [m for m in mutants if m.outcome in ("killed", "survived")]
    killed = sum(m.outcome == "killed" for m in counted)
    return killed, len(counted)


def write_results(path, mutants, commit, minutes):
    killed, counted = score(mutants)
    equivalent = [m for m in mutants if m.outcome == "survived" and m.equivalent]
    # Equivalent mutants are no fault: they leave the score's denominator.
    counted -= len(equivalent)
    lines = [
        f"# make mutate at {commit}, {datetime.date.today()}, {minutes:.0f} min",
        f"# score: {killed} of {counted} killed ({100 * killed / max(counted, 1):.1f}%);"
        f" {len(equivalent)} equivalent, "
        f"{sum(m.outcome == 'survived' and not m.equivalent for m in mutants)} survived, "
        f"{sum(m.outcome == 'build-error' for m in mutants)} did not build",
        "",
    ]
    for m in mutants:
        outcome = "equivalent" if m.outcome == "survived" and m.equivalent else m.outcome
        lines.append(f"{m.id:<48} {outcome:<12} {m.seconds:6.1f}s  {m.detail}".rstrip())
    Path(path).write_text("\n".join(lines) + "\n")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--mutants", default=str(ROOT / "tools/mutation/mutants.txt"))
    parser.add_argument(
        "--results",
        help="where the outcomes go (default: tools/mutation/"
        "results.txt for a full run, WORKDIR/partial-results.txt for --only)",
    )
    parser.add_argument("--workdir", default=str(ROOT / "build/mutation"))
    parser.add_argument("--python", default=str(ROOT / ".venv/bin/python"))
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--only", nargs="*", help="mutant ids (or prefixes) to run")
    parser.add_argument("--check", action="store_true", help="only check that every mutant applies")
    args = parser.parse_args()

    mutants = read_mutants(args.mutants)
    stale = check(mutants, ROOT)
    if stale or args.check:
        print("\n".join(stale) or f"all {len(mutants)} mutants apply")
        return 1 if stale else 0
    if args.only:
        mutants = [m for m in mutants if any(m.id.startswith(p) for p in args.only)]

    commit = subprocess.run(
        ["git", "describe", "--always", "--dirty"], cwd=ROOT, capture_output=True, text=True
    ).stdout.strip()
    workdir = Path(args.workdir)
    results = args.results or (
        workdir / "partial-results.txt" if args.only else ROOT / "tools/mutation/results.txt"
    )
    began = time.monotonic()
    space = Workspace(workdir / "tree", workdir / "build", args.python)
    space.prepare(args.jobs)
    space.baseline(
        sorted({s for m in mutants for s in target_of(m.file)[1]}, key=["cpp", "python", "fleet"].index)
    )
    for k, m in enumerate(mutants, 1):
        space.try_mutant(m)
        print(f"[{k}/{len(mutants)}] {m.id}: {m.outcome} {m.detail} ({m.seconds:.0f} s)", flush=True)
    write_results(results, mutants, commit, (time.monotonic() - began) / 60)
    killed, counted = score(mutants)
    print(f"killed {killed} of {counted}; results in {results}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
