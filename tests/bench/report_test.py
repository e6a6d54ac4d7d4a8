#!/usr/bin/env python3
"""Runs bench/report.py on fixture JSON and checks the table it writes and the chart."""
import json
import os
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ElementTree

REPORT = os.path.join(os.path.dirname(__file__), "..", "..", "bench", "report.py")


def median(name, cpu, unit="ns", **extra):
    return dict(name=name + "_median", run_name=name, run_type="aggregate",
                aggregate_name="median", cpu_time=cpu, real_time=cpu * 3, time_unit=unit, **extra)


with tempfile.TemporaryDirectory() as work:
    runs = [median("BM_AllocFree<Library>/64", 20), median("BM_AllocFree<CRuntime>/64", 0.01, "us"),
            dict(median("BM_AllocFree<Library>/64", 99), aggregate_name="mean"),
            median("BM_Fill<Library>/64", 2), median("BM_Fill<CRuntime>/64", 1.8), median("x", 1),
            dict(name="BM_Fill<Library>/4096", run_type="iteration", error_occurred=True,
                 error_message="fill failed", cpu_time=0, real_time=0, time_unit="ns")]
    with open(os.path.join(work, "memory.json"), "w") as out:
        json.dump(dict(benchmarks=runs), out)
    with open(os.path.join(work, "run.json"), "w") as out:
        json.dump(dict(start="2026-12-05 23:00", end="23:10", min_time=0.05, repetitions=3,
                       loadavg=[4.0, 6.5]), out)
    doc, svg = os.path.join(work, "doc.md"), os.path.join(work, "chart.svg")
    with open(doc, "w") as out:
        out.write("head\n<!-- summary:begin -->\nold figures\n<!-- summary:end -->\nanalysis\n")
    subprocess.run([sys.executable, REPORT, "--json", work, "--doc", doc, "--svg", svg],
                   check=True, stdout=subprocess.DEVNULL)
    text = open(doc).read()
    expected = ["head\n<!-- summary:begin -->\n", "<!-- summary:end -->\nanalysis\n",
                "| alloc + free, 64 B | 20 ns | 10 ns | 2.00x | <= 1.15x | **no** |",
                "| fill, 64 B (throughput) | 2 ns | 1.8 ns | 0.90x | >= 0.9x | yes |",
                "**1 of 2 goals met**", "load average (/proc/loadavg, read before each program) "
                "went from 4.0 to 6.5", "`BM_Fill<Library>/4096` failed: fill failed",
                "fill, 8 MiB (throughput) (>= 0.95x): bench_memory reported no",
                "(<= 3x): bench_attention not built",
                "Measured without a pair: `x` (bench_memory)."]
    flat = " ".join(text.split())  # the header paragraph is wrapped
    missing = [line for line in expected if line not in text and line not in flat]
    assert not missing and "old figures" not in text, missing
    rects = ElementTree.parse(svg).getroot().iter("{http://www.w3.org/2000/svg}rect")
    bars = [rect for rect in rects
            if rect.get("fill") in ("#2e7d32", "#c62828", "#9e9e9e") and rect.get("y") != "28"]
    assert [bar.get("fill") for bar in bars] == ["#c62828", "#2e7d32"], bars
print("report_test passed")
