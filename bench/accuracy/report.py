"""The benchmark's figures as markdown tables, and the AIS speed figure."""

from __future__ import annotations

COLUMNS = (  # (heading, error, scale)
    ("position m", "position"),
    ("along m", "along"),
    ("cross m", "cross"),
    ("speed m/s", "speed"),
    ("heading °", "heading"),
    ("\\|κ\\| 1e-3/m", "curvature"),
    ("κ signed 1e-3/m", "curvature_signed"),
)


def cell(figure: dict | None, digits: int = 2) -> str:
    if not figure or figure.get("median") is None:
        return "–"
    return f"{_fmt(figure['median'], digits)} / {_fmt(figure['p95'], digits)}"


def _fmt(value: float, digits: int) -> str:
    if value == 0:
        return "0"
    if abs(value) >= 100:
        return f"{value:.0f}"
    if abs(value) >= 10:
        return f"{value:.1f}"
    return f"{value:.{digits}g}" if abs(value) < 0.1 else f"{value:.{digits}f}"


def markdown(results: dict, scenarios: dict, variants: list) -> str:
    run = results["run"]
    lines = [
        "# velmora_fleet accuracy",
        "",
        f"Seed {run['seed']}{', quick run' if run['quick'] else ''}; methods: {', '.join(run['methods'])}"
        + (f"; skipped (not installed): {', '.join(run['skipped'])}" if run["skipped"] else "")
        + f"; {run['wall_seconds']:.0f} s.",
        "",
        "Each cell is median / p95 over every judged instant of the scenario's tracks. Heading and curvature "
        "are judged where the true speed exceeds 0.5 m/s; |κ| compares the truth's absolute curvature with "
        "the method's absolute one, 'κ signed' is only for methods that give a sign. Length: the relative "
        "error per track of the output's length over the time it covers. CPU: the process CPU time of the "
        "method's call. Uncovered: records outside every output (velmora: failed trips, gaps between trips).",
        "",
    ]
    for name, by_method in results["scenarios"].items():
        s = scenarios[name]
        first = next(iter(by_method.values()))
        lines += [
            f"## {name}",
            "",
            f"{s.kind}, records every {_interval(s.interval)} s, σ {_range(s.sigma)} m per axis"
            + (f" ({s.correlated:.0%} of the variance correlated over {s.tau:.0f} s)" if s.correlated else "")
            + (f", {s.outliers:.1%} outliers of {_range(s.outlier_range)} m" if s.outliers else "")
            + f"; {first['tracks']} tracks, {first['records']:,} records.",
            "",
            "| method | "
            + " | ".join(h for h, _ in COLUMNS)
            + " | length % | points/record | CPU s/1k rec | uncovered |",
            "|---" * (len(COLUMNS) + 5) + "|",
        ]
        for label, f in by_method.items():
            errors = f["at_records"]
            lines.append(
                f"| {_label(label, f)} | "
                + " | ".join(cell(errors[key]) for _, key in COLUMNS)
                + f" | {cell(f['length_pct'])} | {_num(f['points_per_record'])} | "
                f"{_num(f['cpu_s_per_1k_records'], 3)} | {f['records_uncovered']}"
                + (f" ({f['tracks_failed']} tracks failed)" if f["tracks_failed"] else "")
                + " |"
            )
        lines += [
            "",
            "Between the records, on a one-second grid of the truth (each method's outputs interpolated):",
            "",
            "| method | position m | speed m/s | heading ° | \\|κ\\| 1e-3/m | uncovered instants |",
            "|---|---|---|---|---|---|",
        ]
        for label, f in by_method.items():
            g = f["on_grid"]
            lines.append(
                f"| {label} | {cell(g['position'])} | {cell(g['speed'])} | {cell(g['heading'])} | "
                f"{cell(g['curvature'])} | {f['grid_instants_uncovered']} |"
            )
        lines.append("")
    lines += _tuning(results["tuning"], variants)
    if results.get("ais"):
        lines += _ais(results["ais"])
    return "\n".join(lines) + "\n"


def _label(label: str, f: dict) -> str:
    tuned = {k: v for k, v in f.get("settings", {}).items() if k not in label}
    return label + (" (" + ", ".join(f"{k}={v}" for k, v in tuned.items()) + ")" if tuned else "")


def _tuning(tuning: dict, variants: list) -> list:
    if not tuning:
        return []
    lines = [
        "## Tuning",
        "",
        "Kalman process noise per scenario, by grid search on tracks of another seed: the value whose medians "
        "of position, speed, heading and |κ|, each divided by the best median any value reached, add up "
        "least (4 is best in all four). The measurement noise is the scenario's σ.",
        "",
        "| method | scenario | chosen | objective by value |",
        "|---|---|---|---|",
    ]
    for label, per_scenario in tuning.items():
        borrowers = [v.label for v in variants if v.tuning == label and v.label != label]
        shown = label + (f" (also for {', '.join(borrowers)})" if borrowers else "")
        for name, t in per_scenario.items():
            tried = ", ".join(f"{value}: {v['objective']:.2f}" for value, v in t["tried"].items())
            lines.append(f"| {shown} | {name} | {t['setting']}={t['value']} | {tried} |")
    return lines + [""]


def _ais(a: dict) -> list:
    lines = [
        "## Real AIS: New York Harbor, one hour",
        "",
        f"{a['file']}{' (quick: every fourth vessel)' if a.get('quick') else ''}: "
        f"{a['vessels']} vessels, {a['moving_records']:,} moving records (SOG ≥ 1 knot with a "
        f"usable course; {a['moving_records_decoded_course']:,} of their courses written as negative 12-bit "
        "numbers and decoded). Each method's speed and course at the record times against the vessel's own SOG "
        "and COG.",
        "",
        "| method | speed error knots | course error ° | course, as written ° | course, decoded ° | "
        "uncovered moving | vessels failed | CPU s/1k rec |",
        "|---|---|---|---|---|---|---|---|",
    ]
    for label, f in a["methods"].items():
        lines.append(
            f"| {label} | {cell(f['speed_knots'])} | {cell(f['course_deg'])} | {cell(f['course_deg_as_recorded'])} | "
            f"{cell(f['course_deg_decoded'])} | {f['moving_uncovered']} | {f['vessels_failed']} | "
            f"{_num(f['cpu_s_per_1k_records'], 3)} |"
        )
    return lines + [""]


def _num(value, digits: int = 2) -> str:
    return "–" if value is None else _fmt(value, digits)


def _interval(interval) -> str:
    return f"{interval[0]:g}" if interval[0] == interval[1] else f"{interval[0]:g}–{interval[1]:g}"


def _range(r) -> str:
    return f"{r[0]:g}" if r[0] == r[1] else f"{r[0]:g}–{r[1]:g}"


def speed_figure(a: dict, path: str) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    import numpy as np

    drawn = a["drawn"]
    fig, ax = plt.subplots(figsize=(11, 5))
    for label, series in drawn["methods"].items():
        if series:
            ax.plot(np.asarray(series["time"]) / 60.0, series["speed_knots"], lw=1.0, label=label)
    t = np.asarray(drawn["time"]) / 60.0
    ax.plot(t, drawn["sog_knots"], "k.", ms=4, label="SOG (the vessel's own)")
    sog = np.asarray(drawn["sog_knots"], dtype=float)
    top = np.nanmax(sog) if np.isfinite(sog).any() else 10.0
    ax.set_ylim(0, 1.6 * top + 1)  # raw differences spike far above; the SOG range is what matters
    ax.set_xlabel("minutes into the hour")
    ax.set_ylabel("speed, knots")
    ax.set_title(f"MMSI {drawn['mmsi']}: each method's speed against the vessel's SOG")
    ax.legend(loc="upper right", fontsize=8)
    ax.grid(alpha=0.3)
    fig.tight_layout()
    fig.savefig(path, dpi=120)
    plt.close(fig)
