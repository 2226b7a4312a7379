"""Throughput of vcapture re-encoding a file, against a plain-Python loop making the same calls.

Usage: python bench/bench_capture.py [--frames N] [--repeats R] [--keep DIR]

Input: a generated 768x576 MJPG clip with moving content. Both contenders cut a 320x240 region,
write every frame as MJPG and one CSV row with an ISO timestamp per frame. Runs interleave
(and their order flips every round) so that machine noise hits both alike; the table shows the
medians and their ratio. A third contender, vcapture with motion gating, shows the gated rate.
Machines are shared: read the ratio, not the absolute numbers.
"""
import argparse
import collections
import contextlib
import csv
import io
import os
import statistics
import sys
import tempfile
import time
import types
from datetime import datetime, timedelta

import cv2
import numpy as np

from quarrin import snapwell

W, H = 768, 576
ROI = (200, 160, 320, 240)  # x, y, w, h
FPS = 25.0


_BASE = []


def make_frame(i):
    """Textured background (so that JPEG has real work), a moving disc and a drifting bar."""
    if not _BASE:
        rng = np.random.default_rng(7)
        _BASE.append(cv2.GaussianBlur(rng.integers(0, 255, (H, W, 3), dtype=np.uint8), (0, 0), 3))
    frame = _BASE[0].copy()
    cv2.circle(frame, (100 + (i * 7) % (W - 200), H // 2), 40, (30, 220, 250), -1)
    cv2.rectangle(frame, (0, (i * 3) % H), (W - 1, (i * 3) % H + 12), (250, 250, 250), -1)
    return frame


def make_clip(path, frames):
    writer = cv2.VideoWriter(path, cv2.VideoWriter_fourcc(*"MJPG"), FPS, (W, H))
    for i in range(frames):
        writer.write(make_frame(i))
    writer.release()


def run_vcapture(src, out, motion):
    x, y, w, h = ROI
    buf = io.StringIO()
    with contextlib.redirect_stdout(buf):
        n = snapwell.vcapture(src, out, "MJPG", 30, False, 0, 0, x, y, w, h, 0.0, 0.0, 0, motion, False,
                              25, 200, 21, False, False, None, None, 0, 0, 0.5)
    return n


def run_python(src, out, cv2=cv2):
    """The same work written as a plain Python loop."""
    x, y, w, h = ROI
    cap = cv2.VideoCapture(src)
    fps = cap.get(cv2.CAP_PROP_FPS)
    start = datetime.fromtimestamp(int(os.path.getmtime(src)))
    writer = cv2.VideoWriter(out, cv2.VideoWriter_fourcc(*"MJPG"), fps, (w, h))
    n = 0
    with open(out + ".csv", "w", newline="") as f:
        rows = csv.writer(f)
        rows.writerow(["inframe", "outframe", "timestamp"])
        while True:
            ret, frame = cap.read()
            if frame is None:
                break
            now = start + timedelta(seconds=n / fps)
            roi = frame[y:y + h, x:x + w].copy()
            writer.write(roi)
            rows.writerow([n, n, now.isoformat()])
            n += 1
    writer.release()
    cap.release()
    return n


class StandInCv2:
    """cv2 whose capture and writer cost (almost) nothing: C-level callables that hand out one
    prepared frame and discard what is written. What is left of a run is the per-frame work
    around OpenCV: timestamps, the crop copy, the CSV row and the loop itself."""

    def __init__(self, frames):
        self.frame = make_frame(0)
        self.frames = frames

    def __getattr__(self, name):
        return getattr(cv2, name)

    def VideoCapture(self, *args):
        reads = iter([(True, self.frame)] * self.frames + [(False, None)])
        props = {cv2.CAP_PROP_FPS: FPS, cv2.CAP_PROP_FRAME_COUNT: float(self.frames)}
        return types.SimpleNamespace(read=reads.__next__, get=props.__getitem__, isOpened=lambda: True,
                                     release=lambda: None)

    def VideoWriter(self, *args):
        return types.SimpleNamespace(write=collections.deque(maxlen=0).append, isOpened=lambda: True,
                                     release=lambda: None)

    def destroyAllWindows(self):
        pass


def overhead_round(src, work, frames):
    """Seconds per frame outside OpenCV: (vcapture, python loop)."""
    stand_in = StandInCv2(frames)
    snapwell.__dict__["cv2"] = stand_in
    try:
        n1, t1, _ = timed(run_vcapture, src, os.path.join(work, "sv.avi"), False)
    finally:
        snapwell.__dict__["cv2"] = cv2
    n2, t2, _ = timed(run_python, src, os.path.join(work, "sp.avi"), stand_in)
    assert n1 == n2 == frames
    return t1 / frames, t2 / frames


def timed(fn, *args):
    """(frames, wall seconds, CPU seconds of the process)."""
    c0, t0 = time.process_time(), time.perf_counter()
    n = fn(*args)
    return n, time.perf_counter() - t0, time.process_time() - c0


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--frames", type=int, default=300)
    ap.add_argument("--repeats", type=int, default=7)
    ap.add_argument("--keep", help="directory for the clip and outputs (default: a temporary one)")
    opts = ap.parse_args()

    with tempfile.TemporaryDirectory() as tmp:
        work = opts.keep or tmp
        os.makedirs(work, exist_ok=True)
        src = os.path.join(work, "bench_in.avi")
        make_clip(src, opts.frames)
        rates = {"vcapture": [], "python loop": [], "vcapture, motion-gated": []}
        cpu_rates = {name: [] for name in rates}
        for r in range(opts.repeats + 1):
            jobs = [
                ("vcapture", run_vcapture, (src, os.path.join(work, "v%d.avi" % r), False)),
                ("python loop", run_python, (src, os.path.join(work, "p%d.avi" % r))),
                ("vcapture, motion-gated", run_vcapture, (src, os.path.join(work, "m%d.avi" % r), True)),
            ]
            if r % 2:  # alternate the order, so that neither contender always runs after the other
                jobs.reverse()
            results = {name: timed(fn, *args) for name, fn, args in jobs}
            for name, (n, secs, cpu) in results.items():
                if n != opts.frames:
                    sys.exit("%s read %d frames, expected %d" % (name, n, opts.frames))
                if r:  # the first round warms caches and is not counted
                    rates[name].append(n / secs)
                    cpu_rates[name].append(n / cpu)
            for name in ("v%d.avi", "p%d.avi", "m%d.avi"):
                for suffix in ("", ".csv"):
                    path = os.path.join(work, (name % r) + suffix)
                    if os.path.exists(path) and not opts.keep:
                        os.remove(path)
        overhead = [overhead_round(src, work, 2000) for _ in range(opts.repeats)]

    base = statistics.median(rates["python loop"])
    cpu_base = statistics.median(cpu_rates["python loop"])
    print("input %dx%d MJPG, %d frames; ROI %dx%d; %d timed rounds (medians)"
          % (W, H, opts.frames, ROI[2], ROI[3], opts.repeats))
    print("| contender | frames/s (median) | min | max | ratio to python loop | frames per CPU-s | CPU ratio |")
    print("|---|---|---|---|---|---|---|")
    for name, values in rates.items():
        med, cpu = statistics.median(values), statistics.median(cpu_rates[name])
        print("| %s | %.1f | %.1f | %.1f | %.3f | %.1f | %.3f |"
              % (name, med, min(values), max(values), med / base, cpu, cpu / cpu_base))
    paired = [v / p for v, p in zip(rates["vcapture"], rates["python loop"])]
    print("median of per-round ratios vcapture / python loop: %.3f" % statistics.median(paired))
    ov_v = statistics.median(o[0] for o in overhead) * 1e6
    ov_p = statistics.median(o[1] for o in overhead) * 1e6
    print()
    print("per-frame work outside OpenCV's decode/encode (stand-in capture and writer, 2000 frames):")
    print("| contender | microseconds per frame (median) |")
    print("|---|---|")
    print("| vcapture | %.1f |" % ov_v)
    print("| python loop | %.1f |" % ov_p)


if __name__ == "__main__":
    main()
