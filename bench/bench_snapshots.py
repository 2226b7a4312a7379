"""Event pictures against none: frames per second of a motion recording of vtest.avi (--after 1)
with a picture per event, and with --no-snapshots; --boxes as well, for what drawing costs.

Usage: python bench/bench_snapshots.py [--input FILE] [--repeats R] [--no-pipeline]

Runs alternate, their order flips every round; medians of the whole call's frames per second (it
waits at its end until every picture is written), and ratios measured in the same run. Machines
are shared: read the ratios.
"""
import argparse
import os
import shutil
import statistics
import tempfile
import time

import quarrin

VTEST = "/usr/share/doc/opencv-doc/examples/data/vtest.avi"
KINDS = {"no pictures": dict(snapshots=False), "pictures": dict(snapshots=True),
         "pictures and boxes": dict(snapshots=True, boxes=True)}


def run(src, folder, pipeline, options):
    shutil.rmtree(folder, ignore_errors=True)
    started = time.perf_counter()
    r = quarrin.record(src, os.path.join(folder, "door.avi"), motion=True, after=1, pipeline=pipeline, **options)
    return r, r.frames_read / (time.perf_counter() - started)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--input", default=VTEST)
    ap.add_argument("--repeats", type=int, default=5)
    ap.add_argument("--no-pipeline", action="store_true")
    args = ap.parse_args()
    fps = {kind: [] for kind in KINDS}
    events = {}
    with tempfile.TemporaryDirectory() as tmp:
        for round_ in range(args.repeats):
            order = list(KINDS) if round_ % 2 == 0 else list(reversed(KINDS))
            for kind in order:
                r, rate = run(args.input, os.path.join(tmp, "out"), not args.no_pipeline, KINDS[kind])
                fps[kind].append(rate)
                events[kind] = (len(r.events), sum(e.snapshot is not None for e in r.events))
    base = statistics.median(fps["no pictures"])
    print("%-20s %10s %8s %9s %9s" % ("", "frames/s", "ratio", "events", "pictures"))
    for kind in KINDS:
        median = statistics.median(fps[kind])
        print("%-20s %10.1f %8.3f %9d %9d" % ((kind, median, median / base) + events[kind]))
    cost = 1 - statistics.median(fps["pictures"]) / base
    print("cost of the pictures: %.1f %% of frames per second (target: under 3 %%)" % (100 * cost))


if __name__ == "__main__":
    main()
