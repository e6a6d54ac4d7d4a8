#!/usr/bin/env python3
"""Runs every benchmark program once with JSON output and writes, from that JSON alone, the
summary table at the top of docs/performance.md and the chart docs/performance-ratios.svg.

The pairs compared and their goals are in bench/pairs.txt. Standard library only."""

import argparse
import datetime
import glob
import html
import json
import math
import os
import platform
import subprocess
import sys
import textwrap

BEGIN = "<!-- summary:begin -->"
END = "<!-- summary:end -->"
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
NS_PER_UNIT = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}


def read_pairs(path):
    pairs = []
    with open(path, encoding="utf-8") as source:
        for number, line in enumerate(source, 1):
            line = line.strip()
            if not line or line.startswith("#"):
                continue
            fields = [field.strip() for field in line.split("|")]
            if len(fields) not in (5, 6):
                sys.exit(f"{path}:{number}: expected 5 or 6 fields separated by '|'")
            primitive, area, library, peer, goal = fields[:5]
            clock = fields[5] if len(fields) == 6 else "cpu"
            kind, bound = "time", None
            if clock not in ("cpu", "wall"):
                sys.exit(f"{path}:{number}: clock must be 'cpu' or 'wall'")
            if goal != "report":
                parts = goal.split()
                try:
                    kind, bound = parts[0], float(parts[2])
                except (IndexError, ValueError):
                    parts = []
                if parts[:2] not in (["time", "<="], ["rate", ">="]) or len(parts) != 3:
                    sys.exit(f"{path}:{number}: goal must be 'time <= x', 'rate >= x' or 'report'")
            pairs.append(dict(primitive=primitive, area=area, library=library, peer=peer,
                              kind=kind, bound=bound, clock=clock))
    return pairs


def read_loadavg():
    with open("/proc/loadavg", encoding="ascii") as source:
        return float(source.read().split()[0])


def run_programs(build_dir, json_dir, min_time, repetitions):
    """Runs each bench_<area> in turn; records the 1-minute load average before each one."""
    os.makedirs(json_dir, exist_ok=True)
    for old in glob.glob(os.path.join(json_dir, "*.json")):
        os.remove(old)
    run = dict(min_time=min_time, repetitions=repetitions, loadavg=[], machine=machine(build_dir),
               start=datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M"))
    for program in sorted(glob.glob(os.path.join(build_dir, "bench", "bench_*"))):
        area = os.path.basename(program)[len("bench_"):]
        run["loadavg"].append(read_loadavg())
        print(f"== {program}", flush=True)
        subprocess.run([program, f"--benchmark_min_time={min_time}",
                        f"--benchmark_repetitions={repetitions}",
                        "--benchmark_report_aggregates_only=true",
                        "--benchmark_enable_random_interleaving=true",
                        "--benchmark_format=json", "--benchmark_out_format=json",
                        f"--benchmark_out={os.path.join(json_dir, area + '.json')}"],
                       stdout=subprocess.DEVNULL, check=False)
    run["loadavg"].append(read_loadavg())
    run["end"] = datetime.datetime.now(datetime.timezone.utc).strftime("%H:%M")
    with open(os.path.join(json_dir, "run.json"), "w", encoding="utf-8") as out:
        json.dump(run, out)


def load_results(json_dir):
    """{area: {run name: entry}}: the median aggregate, or the single run without repetitions."""
    results = {}
    for path in glob.glob(os.path.join(json_dir, "*.json")):
        area = os.path.basename(path)[:-len(".json")]
        if area == "run":
            continue
        try:
            with open(path, encoding="utf-8") as source:
                entries = json.load(source).get("benchmarks", [])
        except json.JSONDecodeError:
            entries = []  # a program that died mid-run: its pairs show as not measured
        found = results.setdefault(area, {})
        for entry in entries:
            name = entry.get("run_name", entry["name"])
            if entry.get("aggregate_name") == "median" or entry.get("error_occurred"):
                found[name] = entry
            elif entry.get("run_type", "iteration") == "iteration":
                found.setdefault(name, entry)
    return results


def nanoseconds(entry, clock):
    return entry["cpu_time" if clock == "cpu" else "real_time"] * NS_PER_UNIT[entry["time_unit"]]


def measure(pair, results):
    """Adds ns figures, the ratio and whether the goal is met, or a note saying why not measured."""
    if pair["area"] not in results:
        return dict(pair, note=f"bench_{pair['area']} not built")
    entries = [results[pair["area"]].get(name) for name in (pair["library"], pair["peer"])]
    for name, entry in zip((pair["library"], pair["peer"]), entries):
        if entry is None:
            return dict(pair, note=f"bench_{pair['area']} reported no `{name}`")
        if entry.get("error_occurred"):
            return dict(pair, note=f"`{name}` failed: {entry.get('error_message', '')}")
    library, peer = (nanoseconds(entry, pair["clock"]) for entry in entries)
    ratio = peer / library if pair["kind"] == "rate" else library / peer
    met = None
    if pair["bound"] is not None:
        met = ratio >= pair["bound"] if pair["kind"] == "rate" else ratio <= pair["bound"]
    return dict(pair, library_ns=library, peer_ns=peer, ratio=ratio, met=met)


def format_time(ns):
    for unit, scale in (("s", 1e9), ("ms", 1e6), ("us", 1e3)):
        if ns >= scale:
            return f"{ns / scale:.3g} {unit}"
    return f"{ns:.3g} ns"


def format_ratio(ratio):
    return f"{ratio:.2f}x" if ratio < 10 else f"{ratio:.3g}x"


def format_goal(row):
    if row["bound"] is None:
        return "-"
    return f"{'<=' if row['kind'] == 'time' else '>='} {row['bound']:g}x"


def label(row):
    suffix = {"rate": " (throughput)", "time": ""}[row["kind"]]
    return row["primitive"] + suffix + (", wall time" if row["clock"] == "wall" else "")


def machine(build_dir):
    cpu = "unknown CPU"
    with open("/proc/cpuinfo", encoding="utf-8") as source:
        for line in source:
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    compiler = ""
    for path in glob.glob(os.path.join(build_dir, "CMakeFiles", "*", "CMakeCXXCompiler.cmake")):
        with open(path, encoding="utf-8") as source:
            settings = dict(line[4:-2].split(" ", 1) for line in source
                            if line.startswith("set(CMAKE_CXX_COMPILER_") and line.endswith(")\n"))
        compiler = ", {} {}".format(settings.get("CMAKE_CXX_COMPILER_ID", "").strip('"'),
                                    settings.get("CMAKE_CXX_COMPILER_VERSION", "").strip('"'))
    libc = " ".join(platform.libc_ver())
    return (f"{os.cpu_count()} vCPUs ({cpu}), {platform.system()} {platform.release()}, "
            f"{libc}{compiler}, Release build")


def wrap(text):
    return textwrap.fill(text, 100, break_long_words=False, break_on_hyphens=False)


def summary(rows, run, unpaired):
    measured = [row for row in rows if "ratio" in row]
    goals = [row for row in measured if row["met"] is not None]
    load = run.get("loadavg") or [0.0]
    header = wrap(
        f"Generated by `make bench` (bench/report.py) from the run of {run.get('start', '?')} to "
        f"{run.get('end', '?')} UTC on {run.get('machine', 'an unrecorded machine')}. Each "
        f"program ran once, with "
        f"{run.get('repetitions', '?')} repetitions of `--benchmark_min_time="
        f"{run.get('min_time', '?')}` in random interleaving; a figure is the median of the "
        f"repetitions, CPU time per iteration unless the row says wall time. The 1-minute load "
        f"average (/proc/loadavg, read before each program) went from {min(load):.1f} to "
        f"{max(load):.1f} (other jobs share the machine), so single figures carry several "
        f"percent of noise. A ratio is library time / peer time; for throughput rows it is "
        f"library throughput / peer throughput. Pairs and goals: bench/pairs.txt.")
    lines = [
        header,
        "",
        f"**{sum(1 for row in goals if row['met'])} of {len(goals)} goals met** in this run.",
        "",
        "![Ratio of each pair against its goal](performance-ratios.svg)",
        "",
        "| Primitive | Library | Peer | Ratio | Goal | Met |",
        "|---|---|---|---|---|---|",
    ]
    for row in measured:
        met = "-" if row["met"] is None else ("yes" if row["met"] else "**no**")
        lines.append(f"| {label(row)} | {format_time(row['library_ns'])} | "
                     f"{format_time(row['peer_ns'])} | {format_ratio(row['ratio'])} | "
                     f"{format_goal(row)} | {met} |")
    missing = [row for row in rows if "note" in row]
    if missing:
        lines += ["", "Not measured in this run:", ""]
        lines += [f"- {label(row)} ({format_goal(row)}): {row['note']}" for row in missing]
    if unpaired:
        lines += ["", wrap("Measured without a pair: " + ", ".join(unpaired) + ".")]
    return "\n".join(lines)


def chart(rows):
    """One horizontal bar per measured pair on a log scale, from parity to the ratio, coloured by
    whether the goal is met; the goal is a bar with a notch on the side that meets it."""
    rows = [row for row in rows if "ratio" in row]
    values = [row["ratio"] for row in rows] + [row["bound"] for row in rows if row["bound"]] + [1]
    # Ratios far from parity are cut at the edge: the figure beside the bar tells the rest.
    low = max(2.0 ** math.floor(math.log2(min(values))), 0.25)
    high = min(2.0 ** math.ceil(math.log2(max(values))), 8.0)
    label_width, plot_width, value_width, row_height, top = 400, 420, 150, 20, 60
    width = label_width + plot_width + value_width
    height = top + row_height * len(rows) + 30

    def x(value):
        value = min(max(value, low), high)
        return label_width + plot_width * math.log2(value / low) / math.log2(high / low)

    colour = {True: "#2e7d32", False: "#c62828", None: "#9e9e9e"}
    out = [
        f'<svg xmlns="http://www.w3.org/2000/svg" width="{width}" height="{height}" '
        f'font-family="sans-serif" font-size="12">',
        f'<rect width="{width}" height="{height}" fill="white"/>',
        '<text x="8" y="18" font-size="14" font-weight="bold">Library / peer ratio of each pair'
        f' (log scale, cut at {high:g}x; throughput rows: library / peer throughput)</text>',
    ]
    legend = [("met", colour[True]), ("missed", colour[False]), ("no goal", colour[None])]
    for i, (name, fill) in enumerate(legend):
        out.append(f'<rect x="{8 + 90 * i}" y="28" width="12" height="12" fill="{fill}"/>'
                   f'<text x="{24 + 90 * i}" y="38">{name}</text>')
    out.append('<rect x="280" y="27" width="3" height="14" fill="black"/><text x="290" y="38">'
               'goal (the notch points to the side that meets it)</text>')
    tick = low
    while tick <= high:
        out.append(f'<line x1="{x(tick):.1f}" y1="{top - 8}" x2="{x(tick):.1f}" y2="{height - 22}" '
                   f'stroke="{"#444" if tick == 1 else "#ddd"}"/>'
                   f'<text x="{x(tick):.1f}" y="{height - 8}" text-anchor="middle">'
                   f'{tick:g}x</text>')
        tick *= 2
    for i, row in enumerate(rows):
        y = top + i * row_height
        start, end = sorted((x(1), x(row["ratio"])))
        out.append(f'<text x="{label_width - 8}" y="{y + 14}" text-anchor="end">'
                   f'{html.escape(label(row))}</text>')
        out.append(f'<rect x="{start:.1f}" y="{y + 4}" width="{max(end - start, 1):.1f}" '
                   f'height="{row_height - 8}" fill="{colour[row["met"]]}"/>')
        if row["bound"]:
            at = x(row["bound"])
            notch = -6 if row["kind"] == "time" else 6
            out.append(f'<rect x="{at - 1.5:.1f}" y="{y + 1}" width="3" height="{row_height - 2}"'
                       f' fill="black"/><path d="M{at:.1f},{y + 1} h{notch} l{-notch},4 z" '
                       f'fill="black"/>')
        goal = f" (goal {html.escape(format_goal(row))})" if row["bound"] else ""
        out.append(f'<text x="{label_width + plot_width + 8}" y="{y + 14}">'
                   f'{format_ratio(row["ratio"])}{goal}</text>')
    out.append("</svg>")
    return "\n".join(out) + "\n"


def replace_region(path, text):
    with open(path, encoding="utf-8") as source:
        document = source.read()
    begin, end = document.find(BEGIN), document.find(END)
    if begin < 0 or end < begin:
        sys.exit(f"{path}: no {BEGIN} ... {END} region")
    with open(path, "w", encoding="utf-8") as out:
        out.write(document[:begin + len(BEGIN)] + "\n" + text + "\n" + document[end:])


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--build", default=os.path.join(ROOT, "build", "bench"))
    parser.add_argument("--pairs", default=os.path.join(ROOT, "bench", "pairs.txt"))
    parser.add_argument("--json", help="read the JSON already in this directory, run nothing")
    parser.add_argument("--doc", default=os.path.join(ROOT, "docs", "performance.md"))
    parser.add_argument("--svg", default=os.path.join(ROOT, "docs", "performance-ratios.svg"))
    parser.add_argument("--min-time", default="0.1")
    parser.add_argument("--repetitions", type=int, default=5)
    args = parser.parse_args()

    pairs = read_pairs(args.pairs)
    json_dir = args.json or os.path.join(args.build, "json")
    if not args.json:
        run_programs(args.build, json_dir, args.min_time, args.repetitions)
    run = {}
    if os.path.exists(os.path.join(json_dir, "run.json")):
        with open(os.path.join(json_dir, "run.json"), encoding="utf-8") as source:
            run = json.load(source)
    results = load_results(json_dir)
    rows = [measure(pair, results) for pair in pairs]
    paired = {(pair["area"], name) for pair in pairs for name in (pair["library"], pair["peer"])}
    unpaired = [f"`{name}` (bench_{area})" for area in sorted(results)
                for name in sorted(results[area]) if (area, name) not in paired]
    replace_region(args.doc, summary(rows, run, unpaired))
    with open(args.svg, "w", encoding="utf-8") as out:
        out.write(chart(rows))
    for row in rows:
        shown = format_ratio(row["ratio"]) if "ratio" in row else row["note"]
        print(f"{label(row)}: {shown} (goal {format_goal(row)})")


if __name__ == "__main__":
    main()
