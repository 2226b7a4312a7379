"""Event pictures against none: frames per second of a motion recording of vtest.avi (--after 1)
with a picture per event, and with --no-snapshots; --boxes as well, for what drawing costs.

Usage: python bench/bench_snapshots.py [--input FILE] [--repeats R] [--no-pipeline]

Runs alternate, their order flips every round; medians of the whole call's frames per second (it
waits at its end until every picture is written), and ratios measured in the same run. Machines
are shared: read the ratios. As a recording of vtest.avi makes few events, the differences are
within what a shared machine varies by; the last line therefore also times writing one picture
(a frame of the input, boxed, encoded and written) and gives it as a share of the recording.
"""
import argparse
import os
import shutil
import statistics
import tempfile
import time

import cv2

import quarrin
from quarrin.listeners import snapshots

VTEST = "/usr/share/doc/opencv-doc/examples/data/vtest.avi"
KINDS = {"no pictures": dict(snapshots=False), "pictures": dict(snapshots=True),
         "pictures and boxes": dict(snapshots=True, boxes=True)}


def run(src, folder, pipeline, options):
    shutil.rmtree(folder, ignore_errors=True)
    started, cpu = time.perf_counter(), time.process_time()
    r = quarrin.record(src, os.path.join(folder, "door.avi"), motion=True, after=1, pipeline=pipeline, **options)
    return r, r.frames_read / (time.perf_counter() - started), time.process_time() - cpu


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--input", default=VTEST)
    ap.add_argument("--repeats", type=int, default=5)
    ap.add_argument("--no-pipeline", action="store_true")
    args = ap.parse_args()
    fps = {kind: [] for kind in KINDS}
    cpu = {kind: [] for kind in KINDS}
    events = {}
    with tempfile.TemporaryDirectory() as tmp:
        for round_ in range(args.repeats):
            order = list(KINDS) if round_ % 2 == 0 else list(reversed(KINDS))
            for kind in order:
                r, rate, seconds = run(args.input, os.path.join(tmp, "out"), not args.no_pipeline, KINDS[kind])
                fps[kind].append(rate)
                cpu[kind].append(seconds)
                events[kind] = (len(r.events), sum(e.snapshot is not None for e in r.events))
    base, base_cpu = statistics.median(fps["no pictures"]), statistics.median(cpu["no pictures"])
    print("%-20s %10s %8s %9s %9s %9s" % ("", "frames/s", "ratio", "CPU s", "ratio", "pictures"))
    for kind in KINDS:
        median, spent = statistics.median(fps[kind]), statistics.median(cpu[kind])
        print("%-20s %10.1f %8.3f %9.2f %9.3f %9d" % (kind, median, median / base, spent, spent / base_cpu,
                                                      events[kind][1]))
    cost = 1 - statistics.median(fps["pictures"]) / base
    print("cost of the pictures: %.1f %% of frames per second (target: under 3 %%)" % (100 * cost))
    ok, frame = cv2.VideoCapture(args.input).read()
    with tempfile.TemporaryDirectory() as tmp:
        times = []
        for _ in range(20):
            started = time.perf_counter()
            snapshots.write(os.path.join(tmp, "0001.jpg"), frame, (10, 10, 100, 100), (0, 0, 0))
            times.append(time.perf_counter() - started)
    one = statistics.median(times)
    seconds = r.frames_read / base
    print("one picture: %.1f ms; %d per recording of %.1f s: %.3f %% of its time"
          % (1000 * one, events["pictures"][1], seconds, 100 * one * events["pictures"][1] / seconds))


if __name__ == "__main__":
    main()
