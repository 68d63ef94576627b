"""Two runs' medians side by side: what a change to velmora_fleet moved.

    python bench/accuracy/compare.py build/accuracy/before.json build/accuracy/results.json [--method velmora]

For every scenario and method in both runs, each error's median before and
after and their ratio (below 1: better); and the AIS hour's speed and course.
"""

from __future__ import annotations

import argparse
import json
import sys

SHOWN = ("position", "along", "speed", "heading", "curvature")


def rows(before: dict, after: dict, methods: list | None) -> list:
    lines = ["| scenario | method | " + " | ".join(SHOWN) + " |", "|---|---|" + "---|" * len(SHOWN)]
    for scenario, by_method in after.get("scenarios", {}).items():
        for label, figures in by_method.items():
            old = before.get("scenarios", {}).get(scenario, {}).get(label)
            if old is None or (methods and label not in methods):
                continue
            cells = [
                _change(old["at_records"][e]["median"], figures["at_records"][e]["median"]) for e in SHOWN
            ]
            lines.append(f"| {scenario} | {label} | " + " | ".join(cells) + " |")
    old_ais, new_ais = (
        (before.get("ais") or {}).get("methods", {}),
        (after.get("ais") or {}).get("methods", {}),
    )
    for label, figures in new_ais.items():
        if label in old_ais and not (methods and label not in methods):
            speed = _change(old_ais[label]["speed_knots"]["median"], figures["speed_knots"]["median"])
            course = _change(old_ais[label]["course_deg"]["median"], figures["course_deg"]["median"])
            lines.append(f"| AIS hour | {label} | | | speed kn {speed} | course {course} | |")
    return lines


def _change(old, new) -> str:
    if old is None or new is None:
        return "–"
    ratio = f" ({new / old:.2f}x)" if old else ""
    return f"{old:.3g} → {new:.3g}{ratio}"


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("before")
    parser.add_argument("after")
    parser.add_argument("--method", action="append", help="only these methods (labels as in the runs)")
    args = parser.parse_args(argv)
    with open(args.before) as f:
        before = json.load(f)
    with open(args.after) as f:
        after = json.load(f)
    print("\n".join(rows(before, after, args.method)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
