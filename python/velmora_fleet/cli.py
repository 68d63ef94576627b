"""velmora-fleet: generate a synthetic fleet, or run the pipeline over one.

Bad arguments print one line and exit with status 2; an input that cannot be
used, an output folder the run may not write, or a cluster that cannot be
reached prints one line and exits with 1; so does a run in which every track
failed. An interrupted run (Ctrl-C, SIGTERM) prints one line and exits with
130 or 143.
"""

from __future__ import annotations

import argparse
import logging
import signal
import sys

from .options import RUN_SETTINGS, SETTINGS, TRACK_SETTINGS, Setting

# Settings with a flag of their own shape, or none.
_SPECIAL = {"workers", "scheduler", "resume", "overwrite", "progress"}


def _known_preset(name: str) -> None:
    from .presets import preset_named

    preset_named(name)


def _roles(mapping: dict) -> None:
    from .sources import checked_columns

    checked_columns(mapping)


def _known_crs(crs: str) -> None:
    from .geoparquet import projjson

    projjson(crs)


# What a flag's value must also be, found while parsing, so that it exits with 2 before any work.
_CHECKS = {"preset": _known_preset, "columns": _roles, "crs": _known_crs}


class _OneLineParser(argparse.ArgumentParser):
    def error(self, message: str):  # argparse would print the usage block first
        self.exit(2, f"{self.prog}: error: {message}\n")


def _value(setting: Setting):
    def convert(text: str):
        try:
            value = setting.kind(text) if setting.kind in (int, float) and not setting.duration else text
        except ValueError:
            kind = "an integer" if setting.kind is int else "a number"
            raise argparse.ArgumentTypeError(f"expected {kind}, got {text!r}") from None
        try:
            value = setting.check(value)
            _CHECKS.get(setting.name, lambda _: None)(value)
            return value
        except ValueError as exc:
            message = str(exc).strip().splitlines()[0]
            raise argparse.ArgumentTypeError(message.replace(setting.name, setting.flag, 1)) from None

    return convert


def _storage_options(text: str) -> dict:
    import json

    try:
        value = json.loads(text)
    except ValueError as exc:
        raise argparse.ArgumentTypeError(f"expected a JSON object, got {text!r}: {exc}") from None
    if not isinstance(value, dict):
        raise argparse.ArgumentTypeError(f"expected a JSON object, got {text!r}")
    return value


def _add(parser, setting: Setting) -> None:
    """A flag of the setting; only flags given reach run(), so that a preset's
    settings give way to them and to nothing else."""
    text = setting.help + (
        f" (default: {setting.none})"
        if setting.none and setting.default is None
        else f" (default: {setting.default:g})"
        if setting.kind in (int, float) and setting.default is not None
        else ""
    )
    if setting.kind is bool:
        parser.add_argument(setting.flag, action="store_true", default=argparse.SUPPRESS, help=text)
    else:
        parser.add_argument(
            setting.flag, type=_value(setting), default=argparse.SUPPRESS, metavar=setting.metavar, help=text
        )


def _parser() -> argparse.ArgumentParser:
    parser = _OneLineParser(prog="velmora-fleet", description="Many tracks through velmora on Dask.")
    commands = parser.add_subparsers(dest="command", required=True, metavar="{generate,run,plot,export}")

    gen = commands.add_parser("generate", help="write a synthetic fleet (Parquet, or CSV for *.csv)")
    gen.add_argument("out", metavar="OUT")
    gen.add_argument("--tracks", type=_value(Setting("tracks", 100, "", int, 1)), default=100)
    gen.add_argument(
        "--points", type=_value(Setting("points", 1000, "", int, 1)), default=1000, help="points per track"
    )
    gen.add_argument("--seed", type=_value(Setting("seed", 0, "", int, 0)), default=0)
    gen.add_argument("--lonlat", action="store_true", help="write lon, lat in degrees instead of x, y")
    gen.add_argument(
        "--files",
        type=_value(Setting("files", 1, "", int, 1)),
        default=1,
        help="split the records, in order of time, over this many files in the folder OUT",
    )

    run = commands.add_parser("run", help="run the pipeline over every track of INPUT")
    run.add_argument(
        "input", metavar="INPUT", help="Parquet or CSV: a file, a folder, a glob, any fsspec URL"
    )
    run.add_argument("--out", required=True, metavar="DIR", help="output folder, any fsspec URL")
    run.add_argument(
        "--storage-options",
        type=_storage_options,
        default=None,
        metavar="JSON",
        help="fsspec options for the input and the output, sent to every worker, as a JSON object "
        '(for example \'{"endpoint_url": "http://127.0.0.1:9000"}\')',
    )
    engine = run.add_mutually_exclusive_group()
    _add(engine, SETTINGS["workers"])
    _add(engine, SETTINGS["scheduler"])
    again = run.add_mutually_exclusive_group()
    _add(again, SETTINGS["resume"])
    _add(again, SETTINGS["overwrite"])
    for setting in TRACK_SETTINGS + RUN_SETTINGS:
        if setting.name not in _SPECIAL:
            _add(run, setting)
    draw = commands.add_parser("plot", help="draw the trips of a run's result on a map")
    draw.add_argument("result", metavar="RESULT", help="a run's output folder")
    draw.add_argument("--out", required=True, metavar="IMAGE", help="the image to write (PNG, SVG, PDF)")
    draw.add_argument("--colour", "--color", choices=("speed", "curvature"), default="speed")
    draw.add_argument("--title", metavar="TEXT")
    export = commands.add_parser("export", help="write the trips of a run's result as trajectories with time")
    export.add_argument("result", metavar="RESULT", help="a run's output folder")
    export.add_argument(
        "--format",
        required=True,
        choices=("kepler", "gpkg"),
        help="kepler: kepler.gl's trips layer (GeoJSON, [lon, lat, 0, t]); gpkg: GeoPackage, LineString M",
    )
    export.add_argument("--out", required=True, metavar="FILE", help="the file to write (replaced if there)")
    return parser


def main(argv: list[str] | None = None) -> int:
    args = _parser().parse_args(argv)
    previous = signal.getsignal(signal.SIGTERM)
    signal.signal(signal.SIGTERM, _terminated)
    try:
        if args.command == "generate":
            return _generate(args)
        if args.command == "plot":
            return _plot(args)
        if args.command == "export":
            return _export(args)
        return _run(args)
    except _Terminated:
        return _interrupted(args, 143)
    except KeyboardInterrupt:
        return _interrupted(args, 130)
    except Exception as exc:
        text = str(exc).strip().splitlines()
        print(f"velmora-fleet: error: {text[0] if text else type(exc).__name__}", file=sys.stderr)
        return 1
    finally:
        signal.signal(signal.SIGTERM, previous)


class _Terminated(KeyboardInterrupt):
    pass


def _terminated(signum, frame):
    raise _Terminated()


def _interrupted(args, status: int) -> int:
    note = ""
    if args.command == "run":
        try:
            from .destination import MANIFEST, STATE
            from .output_folder import OutputFolder

            d = OutputFolder(args.out, args.storage_options).destination
            if d.exists(STATE) and not d.exists(MANIFEST):
                note = f"; {args.out} holds an incomplete run: --resume finishes it"
        except Exception:
            pass
    print(f"velmora-fleet: interrupted{note}", file=sys.stderr)
    return status


def _generate(args) -> int:
    from .synthetic import generate_fleet, write_fleet

    fleet = generate_fleet(args.tracks, args.points, args.seed, args.lonlat)
    write_fleet(fleet, args.out, files=args.files)
    print(f"wrote {len(fleet):,} points of {fleet['track_id'].nunique():,} tracks to {args.out}")
    return 0


def _plot(args) -> int:
    from .plot import plot_result

    trips = plot_result(args.result, args.out, args.colour, args.title)
    print(f"drew {trips:,} trips to {args.out}")
    return 0


def _export(args) -> int:
    from .export import export_result

    trips = export_result(args.result, args.out, args.format)
    print(f"wrote {trips:,} trips to {args.out}")
    return 0


def _run(args) -> int:
    from .pipeline import run

    handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(logging.Formatter("velmora-fleet: %(message)s"))
    log = logging.getLogger("velmora_fleet")
    log.addHandler(handler)
    log.setLevel(logging.WARNING if getattr(args, "quiet", False) else logging.INFO)
    log.propagate = False
    settings = {s.name: getattr(args, s.name) for s in TRACK_SETTINGS + RUN_SETTINGS if hasattr(args, s.name)}
    try:
        summary = run(
            args.input,
            args.out,
            storage_options=args.storage_options,
            progress=not settings.get("quiet", False),
            **settings,
        )
    finally:
        log.removeHandler(handler)
    print(summary)
    if summary.tracks and not summary.tracks_done:
        print("velmora-fleet: error: every track failed", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
