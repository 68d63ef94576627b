"""The accuracy benchmark: every method on every scenario's simulated tracks,
and on the real AIS hour; tables printed and written to OUT/report.md, every
figure to OUT/results.json, one vessel's speeds to OUT/speed_vs_sog.png.

    python bench/accuracy/run.py [--quick] [--method velmora:max_deviation=3,spacing=5 ...]
                                 [--scenario vessel_dense ...] [--jobs 2] [--out build/accuracy]
"""

from __future__ import annotations

import argparse
import json
import multiprocessing
import os
import platform
import sys
import time
from concurrent.futures import ProcessPoolExecutor

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.dirname(HERE))

from accuracy import aggregate, ais, report  # noqa: E402
from accuracy.evaluate import run_on_track  # noqa: E402
from accuracy.methods import DEFAULT_METHODS, available, parse  # noqa: E402
from accuracy.simulate import SCENARIOS  # noqa: E402

TUNING_SEED_OFFSET = 1000  # tuning tracks: another seed, never the scored tracks
QUICK_TRACKS = 2
TUNING_TRACKS = 3
AIS_SIGMA = 3.0  # metres: the Kalman smoother's measurement noise on AIS, as in vessel_dense
AIS_TUNED_FROM = "vessel_dense"
AIS_PARTS = 4  # tasks per method: the hour's vessels dealt out; a quick run takes the first part only


def arguments(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument(
        "--quick", action="store_true", help="fewer, shorter tracks and fewer tuning values: about 30 s"
    )
    parser.add_argument(
        "--method",
        action="append",
        metavar="NAME[:key=value,...]",
        help=f"a method or a variant (repeat; default: {', '.join(DEFAULT_METHODS)})",
    )
    parser.add_argument("--scenario", action="append", choices=sorted(SCENARIOS), help="default: all")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--jobs", type=int, default=2, help="worker processes")
    parser.add_argument("--out", default=os.path.join(ROOT, "build", "accuracy"))
    parser.add_argument(
        "--ais",
        default=os.path.join(
            os.environ.get("VELMORA_AIS_SAMPLE", os.path.join(ROOT, "build", "ais")),
            "NYHarbor_2020_06_30_first_hour.csv",
        ),
        help="the AIS hour (US MarineCadastre CSV); 'none' to skip",
    )
    return parser.parse_args(argv)


def main(argv=None) -> int:
    args = arguments(argv)
    began = time.time()
    specs = args.method or list(DEFAULT_METHODS)
    variants = [parse(spec) for spec in specs]
    skipped = [v.label for v in variants if not available(v.method)]
    variants = [v for v in variants if available(v.method)]
    _ORDER.update({v.label: k for k, v in enumerate(variants)})
    for label in skipped:
        print(f"skipped {label}: its package is not installed (make accuracy installs the peers)")
    scenarios = [SCENARIOS[name] for name in (args.scenario or SCENARIOS)]
    use_ais = args.ais != "none" and os.path.exists(args.ais)
    if args.ais != "none" and not use_ais:
        print(f"no AIS sample at {args.ais}: the AIS comparison is skipped")
    track_count = {s.name: min(QUICK_TRACKS, s.tracks) if args.quick else s.tracks for s in scenarios}
    tuning_count = 1 if args.quick else TUNING_TRACKS

    fixed = [v for v in variants if not v.tuned]
    tuned_variants = [v for v in variants if v.tuned]
    context = multiprocessing.get_context("fork")
    with ProcessPoolExecutor(max_workers=args.jobs, mp_context=context) as pool:
        # the untuned methods run while the tuned ones' grid searches do
        tuning = submit_tuning(pool, tuned_variants, scenarios, args, tuning_count, use_ais)
        scoring = submit_scoring(pool, fixed, scenarios, args, track_count, {})
        vessels = ais.load(args.ais) if use_ais else None
        drawn = ais.pick_vessel(vessels[::AIS_PARTS] if args.quick else vessels) if use_ais else None
        ais_jobs = submit_ais(pool, fixed, args, {}, drawn) if use_ais else {}
        tuned = collect_tuning(tuning)
        scoring.update(submit_scoring(pool, tuned_variants, scenarios, args, track_count, tuned))
        ais_jobs.update(submit_ais(pool, tuned_variants, args, tuned, drawn) if use_ais else {})
        scored = collect_scoring(scoring, tuned)
        ais_results = collect_ais(ais_jobs, vessels, drawn, args) if use_ais else None

    results = {
        "run": {
            "seed": args.seed,
            "quick": args.quick,
            "methods": [v.label for v in variants],
            "skipped": skipped,
            "tracks": track_count,
            "tuning_tracks": tuning_count,
            "wall_seconds": round(time.time() - began, 1),
            "python": platform.python_version(),
            "machine": platform.machine(),
            "versions": versions(),
            "commit": commit(),
        },
        "scenarios": scored,
        "tuning": tuned,
        "ais": ais_results,
    }
    os.makedirs(args.out, exist_ok=True)
    with open(os.path.join(args.out, "results.json"), "w") as f:
        json.dump(results, f, indent=1, default=float)
    text = report.markdown(results, SCENARIOS, variants)
    with open(os.path.join(args.out, "report.md"), "w") as f:
        f.write(text)
    print(text)
    if ais_results and ais_results.get("drawn"):
        report.speed_figure(ais_results, os.path.join(args.out, "speed_vs_sog.png"))
    print(f"written: {args.out}/report.md, results.json" + (", speed_vs_sog.png" if ais_results else ""))
    print(f"{time.time() - began:.0f} s")
    return 0


def submit_tuning(pool, variants, scenarios, args, tracks: int, use_ais: bool) -> dict:
    """For every tuned variant and scenario (and the one the AIS hour borrows
    from): each value of its grid on `tracks` tracks of the tuning seed."""
    names = {s.name for s in scenarios} | ({AIS_TUNED_FROM} if use_ais else set())
    jobs = {}
    for spec in dict.fromkeys(v.tuning for v in variants):  # a lender's once, for all its borrowers
        variant = parse(spec)
        grid = variant.method.quick_grid if args.quick else variant.method.grid
        for name in sorted(names):
            if variant.method.vessels_only and not SCENARIOS[name].vessel:
                continue
            for value in grid:
                jobs[(spec, name, value)] = [
                    pool.submit(
                        run_on_track,
                        spec,
                        name,
                        args.seed + TUNING_SEED_OFFSET,
                        number,
                        {variant.method.tuned: value},
                        args.quick,
                    )
                    for number in range(tracks)
                ]
    return jobs


def collect_tuning(jobs: dict) -> dict:
    by = {}
    for (label, name, value), futures in jobs.items():
        by.setdefault(label, {}).setdefault(name, {})[value] = aggregate.figures(
            [f.result() for f in futures]
        )
    tuned = {}
    for label, per_scenario in by.items():
        setting = parse(label).method.tuned
        for name, by_value in per_scenario.items():
            best, objective = aggregate.choose(by_value)
            tuned.setdefault(label, {})[name] = {
                "setting": setting,
                "value": best,
                "tried": {
                    str(value): {
                        "objective": objective[value],
                        **{k: f["at_records"][k]["median"] for k in aggregate.OBJECTIVE},
                    }
                    for value, f in by_value.items()
                },
            }
            print(f"tuned {label} on {name}: {setting}={best}")
    return tuned


def settings_for(variant, scenario: str, tuned: dict) -> dict:
    if not variant.tuned:
        return {}
    chosen = tuned.get(variant.tuning, {}).get(scenario)
    return {chosen["setting"]: chosen["value"]} if chosen else {}


def submit_scoring(pool, variants, scenarios, args, track_count: dict, tuned: dict) -> dict:
    futures = {}
    for scenario in scenarios:
        for variant in variants:
            if variant.method.vessels_only and not scenario.vessel:
                continue
            settings = settings_for(variant, scenario.name, tuned)
            futures[(scenario.name, variant.label)] = [
                pool.submit(
                    run_on_track, variant.label, scenario.name, args.seed, number, settings, args.quick
                )
                for number in range(track_count[scenario.name])
            ]
    return futures


def collect_scoring(futures: dict, tuned: dict) -> dict:
    results = {}
    for (name, label), parts in sorted(futures.items(), key=lambda item: _order(item[0])):
        runs = [f.result() for f in parts]
        results.setdefault(name, {})[label] = {
            **aggregate.figures(runs),
            "settings": {**settings_for(parse(label), name, tuned), **parse(label).settings},
        }
    return results


_ORDER = {}


def _order(key: tuple) -> tuple:
    """Scenarios in their table's order, methods in the command line's."""
    name, label = key
    return (list(SCENARIOS).index(name), _ORDER.get(label, 0))


def submit_ais(pool, variants, args, tuned: dict, drawn: int) -> dict:
    settings = {v.label: settings_for(v, AIS_TUNED_FROM, tuned) for v in variants}
    return {
        v.label: [
            pool.submit(
                ais.run_method, v.label, args.ais, AIS_SIGMA, settings[v.label], drawn, part, AIS_PARTS
            )
            for part in range(1 if args.quick else AIS_PARTS)
        ]
        for v in variants
    }


def collect_ais(futures: dict, vessels: list, drawn: int, args) -> dict:
    ordered = sorted(futures.items(), key=lambda item: _ORDER.get(item[0], 0))
    runs = {label: ais.merged([f.result() for f in parts]) for label, parts in ordered}
    reference = next(v for v in vessels if v.mmsi == drawn)
    if args.quick:
        vessels = vessels[::AIS_PARTS]
    return {
        "file": os.path.basename(args.ais),
        "quick": args.quick,
        "vessels": len(vessels),
        "moving_records": int(sum(v.moving.sum() for v in vessels)),
        "moving_records_decoded_course": int(sum((v.moving & v.decoded).sum() for v in vessels)),
        "methods": {label: ais.figures(run) for label, run in runs.items()},
        "drawn": {
            "mmsi": drawn,
            "time": reference.records.time.tolist(),
            "sog_knots": reference.sog.tolist(),
            "methods": {label: run.drawn for label, run in runs.items()},
        },
    }


def commit() -> str | None:
    """The checkout's commit (with '+' when it has changes): which velmora_fleet was measured."""
    import subprocess

    try:
        head = subprocess.run(
            ["git", "rev-parse", "--short", "HEAD"], cwd=ROOT, capture_output=True, text=True
        )
        dirty = subprocess.run(
            ["git", "status", "--porcelain", "python"], cwd=ROOT, capture_output=True, text=True
        )
    except OSError:
        return None
    return head.stdout.strip() + ("+" if dirty.stdout.strip() else "") if head.returncode == 0 else None


def versions() -> dict:
    found = {}
    for name in ("velmora", "velmora_fleet", "movingpandas", "stonesoup", "scipy", "numpy"):
        try:
            from importlib.metadata import version

            found[name] = version(name)
        except Exception:
            found[name] = None
    try:
        import velmora_fleet

        found["velmora_fleet_path"] = os.path.dirname(velmora_fleet.__file__)
    except ImportError:
        pass
    return found


if __name__ == "__main__":
    sys.exit(main())
