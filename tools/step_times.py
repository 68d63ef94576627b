"""Prints the gate's cost per step from the lines tools/timed.sh appended:
wall and CPU seconds (user + system, children included)."""

import sys
from collections import defaultdict


def main(path, total_wall):
    steps = defaultdict(lambda: [0.0, 0.0])
    with open(path) as lines:
        for line in lines:
            name, wall, user, system = line.split()
            steps[name][0] += float(wall)
            steps[name][1] += float(user) + float(system)
    print(f"{'step':<20} {'wall s':>7} {'cpu s':>7}")
    for name, (wall, cpu) in sorted(steps.items(), key=lambda item: -item[1][1]):
        print(f"{name:<20} {wall:7.1f} {cpu:7.1f}")
    cpu = sum(c for _, c in steps.values())
    print(f"{'all steps':<20} {float(total_wall):7.1f} {cpu:7.1f}   (wall: the whole gate)")


if __name__ == "__main__":
    main(*sys.argv[1:])
