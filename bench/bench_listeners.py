"""A slow listener against none: frames per second of a motion recording with segments, whose every
event start, event end and segment takes a listener 50 ms (a hook, a network call), against the
same recording without listeners.

Usage: python bench/bench_listeners.py [--frames N] [--repeats R] [--delay SECONDS] [--no-pipeline]

The listeners are called on a thread of their own, so the frame loop should not notice them: the
table shows the frames per second of the frame loop (from the first frame read to the last, as the
progress callback sees them), and the whole call, which waits at its end until every listener has
been told. Runs alternate, their order flips every round; medians, and ratios measured in the same
run. Machines are shared: read the ratios.
"""
import argparse
import os
import shutil
import statistics
import sys
import tempfile
import time

import cv2
import numpy as np

import quarrin
from quarrin.listeners import Listener

FPS = 25.0


def make_clip(path, frames, width=640, height=480):
    """A textured scene where a square moves for a second and stands still for the next: an event
    every two seconds."""
    rng = np.random.default_rng(1)
    background = cv2.GaussianBlur(rng.integers(0, 255, (height, width, 3), np.uint8), (9, 9), 0)
    writer = cv2.VideoWriter(path, cv2.VideoWriter_fourcc(*"MJPG"), FPS, (width, height))
    x = 0
    for i in range(frames):
        if (i // int(FPS)) % 2 == 0:
            x = (x + 12) % (width - 80)
        frame = background.copy()
        frame[200:280, x:x + 80] = (60, 200, 255)
        writer.write(frame)
    writer.release()


class Slow(Listener):
    def __init__(self, delay):
        self.delay, self.calls = delay, 0

    def _wait(self, *args):
        self.calls += 1
        time.sleep(self.delay)

    on_event_start = on_event = on_segment = _wait


def run(src, out, listener, pipeline):
    reads = []
    started = time.perf_counter()
    r = quarrin.record(src, out, motion=True, min_area=400, after=0.5, segment_frames=100, pipeline=pipeline,
                       listeners=[listener] if listener else (), progress=lambda e: reads.append(time.perf_counter()))
    whole = time.perf_counter() - started
    return r, (len(reads) - 1) / (reads[-1] - reads[0]), r.frames_read / whole


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--frames", type=int, default=500)
    ap.add_argument("--repeats", type=int, default=5)
    ap.add_argument("--delay", type=float, default=0.05)
    ap.add_argument("--no-pipeline", dest="pipeline", action="store_false")
    opts = ap.parse_args()
    work = tempfile.mkdtemp(prefix="quarrin-bench-")
    try:
        src = os.path.join(work, "in.avi")
        make_clip(src, opts.frames)
        loop, whole, told = {"none": [], "slow": []}, {"none": [], "slow": []}, 0
        for r in range(opts.repeats):
            for name in (("none", "slow") if r % 2 == 0 else ("slow", "none")):
                listener = Slow(opts.delay) if name == "slow" else None
                out = os.path.join(work, "%d-%s" % (r, name), "out.avi")
                result, frames_loop, frames_whole = run(src, out, listener, opts.pipeline)
                loop[name].append(frames_loop)
                whole[name].append(frames_whole)
                told = listener.calls if listener else told
                shutil.rmtree(os.path.dirname(out))
        events, segments = len(result.events), len(result.segments)
        print("%d frames of 640x480, %d events, %d segments; the slow listener waits %g s on each of its %d calls"
              " (%s)" % (opts.frames, events, segments, opts.delay, told, "pipelined" if opts.pipeline else "sequential"))
        print("| listener | frame loop, frames/s | whole call, frames/s |")
        print("|---|---|---|")
        for name in ("none", "slow"):
            print("| %s | %.1f | %.1f |" % (name, statistics.median(loop[name]), statistics.median(whole[name])))
        ratio = statistics.median(a / b for a, b in zip(loop["slow"], loop["none"]))
        print("frame loop with the slow listener / without: %.2f (median of the rounds' ratios)" % ratio)
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
