"""velmora-fleet: generate a synthetic fleet, or run the pipeline over one.

Bad arguments print one line and exit with status 2; an input that cannot be
used, or a cluster that cannot be reached, prints one line and exits with 1.
"""
from __future__ import annotations

import argparse
import math
import sys


class _OneLineParser(argparse.ArgumentParser):
    def error(self, message: str):  # argparse would print the usage block first
        self.exit(2, f"{self.prog}: error: {message}\n")


def _number(kind: str, minimum: float, strictly: bool):
    def convert(text: str):
        try:
            value = int(text) if kind == "int" else float(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"expected {'an integer' if kind == 'int' else 'a number'}, "
                                             f"got {text!r}") from None
        if kind == "float" and not math.isfinite(value):
            raise argparse.ArgumentTypeError(f"expected a finite number, got {text!r}")
        if value < minimum or (strictly and value == minimum):
            raise argparse.ArgumentTypeError(f"must be {'greater than' if strictly else 'at least'} "
                                             f"{minimum:g}, got {text!r}")
        return value

    return convert


def _parser() -> argparse.ArgumentParser:
    parser = _OneLineParser(prog="velmora-fleet", description="Many tracks through velmora on Dask.")
    commands = parser.add_subparsers(dest="command", required=True, metavar="{generate,run}")

    gen = commands.add_parser("generate", help="write a synthetic fleet (Parquet, or CSV for *.csv)")
    gen.add_argument("out", metavar="OUT")
    gen.add_argument("--tracks", type=_number("int", 1, False), default=100)
    gen.add_argument("--points", type=_number("int", 1, False), default=1000, help="points per track")
    gen.add_argument("--seed", type=_number("int", 0, False), default=0)
    gen.add_argument("--lonlat", action="store_true", help="write lon, lat in degrees instead of x, y")

    run = commands.add_parser("run", help="run the pipeline over every track of INPUT")
    run.add_argument("input", metavar="INPUT", help="Parquet or CSV file, any fsspec URL")
    run.add_argument("--out", required=True, metavar="DIR", help="output folder, any fsspec URL")
    engine = run.add_mutually_exclusive_group()
    engine.add_argument("--workers", type=_number("int", 0, False), metavar="N",
                        help="local worker processes (default: one per core; 0: no Dask, this process)")
    engine.add_argument("--scheduler", metavar="ADDRESS", help="run on the Dask cluster at ADDRESS")
    run.add_argument("--max-deviation", type=_number("float", 0, False), default=1.0, metavar="M")
    run.add_argument("--spacing", type=_number("float", 0, True), default=1.0, metavar="M")
    run.add_argument("--max-rmse", type=_number("float", 0, False), default=0.15, metavar="M")
    run.add_argument("--sus-angle", type=_number("float", 0, False), default=2.8, metavar="RAD")
    run.add_argument("--batch-points", type=_number("int", 1, False), metavar="N",
                     help="points per task (default: shrinking from 50,000 to 5,000)")
    run.add_argument("--quiet", action="store_true", help="no progress bar")
    return parser


def main(argv: list[str] | None = None) -> int:
    args = _parser().parse_args(argv)
    try:
        if args.command == "generate":
            return _generate(args)
        return _run(args)
    except KeyboardInterrupt:
        print("velmora-fleet: interrupted", file=sys.stderr)
        return 130
    except Exception as exc:
        text = str(exc).strip().splitlines()
        print(f"velmora-fleet: error: {text[0] if text else type(exc).__name__}", file=sys.stderr)
        return 1


def _generate(args) -> int:
    from .synthetic import generate_fleet, write_fleet

    fleet = generate_fleet(args.tracks, args.points, args.seed, args.lonlat)
    write_fleet(fleet, args.out)
    print(f"wrote {len(fleet):,} points of {fleet['track_id'].nunique():,} tracks to {args.out}")
    return 0


def _run(args) -> int:
    from .pipeline import run

    summary = run(args.input, args.out, workers=args.workers, scheduler=args.scheduler,
                  max_deviation=args.max_deviation, spacing=args.spacing, max_rmse=args.max_rmse,
                  sus_angle=args.sus_angle, batch_points=args.batch_points, progress=not args.quiet)
    print(summary)
    return 0


if __name__ == "__main__":
    sys.exit(main())
