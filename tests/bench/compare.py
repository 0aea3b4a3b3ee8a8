#!/usr/bin/env python3
"""Library against the ideal client, from one run of spine_bench.

Reads the benchmark's JSON output (interleaved repetitions) and prints, for the
round trip and the full block, the medians side by side, their ratio and the
target ratio, and the caller's CPU per operation; likewise a board's round trip
with a second board busy against alone, through the library and without it.
"""
import json
import sys

PAIRS = [
    ("round trip", "BM_LibraryRoundTrip", "BM_IdealClientRoundTrip", 1.15, "library", "ideal client"),
    ("720,896-value block", "BM_LibraryBlock", "BM_IdealClientBlock", 1.0, "library", "ideal client"),
    ("a board's round trip by handle", "BM_HandleRoundTripBothBusy", "BM_HandleRoundTripAlone", 1.3,
     "second board busy", "alone"),
    # No target: what two boards at once cost this machine without the library.
    ("the ideal client's round trip", "BM_IdealClientRoundTripBothBusy", "BM_IdealClientRoundTrip", None,
     "second board busy", "alone"),
]


def medians(path):
    with open(path, encoding="utf-8") as handle:
        runs = json.load(handle)["benchmarks"]
    found = {}
    for run in runs:
        if run.get("aggregate_name") != "median":
            continue
        found[run["run_name"].split("/")[0]] = run
    return found


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: compare.py BENCH.json")
    found = medians(sys.argv[1])
    missing = False
    for label, library, ideal, target, library_name, ideal_name in PAIRS:
        if library not in found or ideal not in found:
            print(f"{label}: no median for {library} or {ideal}")
            missing = True
            continue
        lib, best = found[library], found[ideal]
        unit = lib["time_unit"]
        ratio = lib["real_time"] / best["real_time"]
        verdict = "no target" if target is None else f"target {target}x " + ("met" if ratio <= target else "missed")
        print(f"{label}: {library_name} {lib['real_time']:.1f} {unit} (caller CPU {lib['caller_cpu_us_per_op']:.1f} us), "
              f"{ideal_name} {best['real_time']:.1f} {unit} (caller CPU {best['caller_cpu_us_per_op']:.1f} us): "
              f"{ratio:.2f}x, {verdict}")
    return 1 if missing else 0


if __name__ == "__main__":
    sys.exit(main())
