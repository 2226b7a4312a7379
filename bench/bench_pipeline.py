"""Frames per second of a pipelined recording (reader, rules and writer on three threads) against
vcapture called directly, at 768x576 and at 1080p, motion-gated, full frame, MJPG.

Usage: python bench/bench_pipeline.py [--frames N] [--repeats R] [--sizes 768x576,1920x1080]
       [--front-end]

Also times each stage on its own (decode, motion check, encode) per frame, so the bound of the
pipeline (its slowest stage) can be read next to what it reaches. Runs interleave and their order
flips every round; the table shows medians and ratios measured in the same run. With --front-end
the `quarrin record` command is a third contender. Machines are shared: read the ratios.
"""
import argparse
import contextlib
import io
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

import cv2
import numpy as np

from quarrin import snapwell
from quarrin._recorder import record

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench_capture import make_frame  # noqa: E402  (the same textured, moving content)

FPS = 25.0
BGR = (np.array([0, 0, 0], np.int32), np.array([255, 255, 255], np.int32))


def make_clip(path, frames, w, h):
    writer = cv2.VideoWriter(path, cv2.VideoWriter_fourcc(*"MJPG"), FPS, (w, h))
    for i in range(frames):
        frame = make_frame(i)
        writer.write(frame if frame.shape[:2] == (h, w) else cv2.resize(frame, (w, h)))
    writer.release()


def capture_args(src, out, w, h):
    return (src, out, "MJPG", 30, False, 0, 0, 0, 0, w, h, 0.0, 0.0, 0, True, False, 25, 200, 21, False, False,
            BGR[0], BGR[1], 10, 20, 0.5)


def timed(fn):
    start = time.perf_counter()
    with contextlib.redirect_stdout(io.StringIO()):
        n = fn()
    return time.perf_counter() - start, n


def stage_times(src, w, h, frames):
    """Seconds per frame of decode, motion check and encode, each on its own."""
    cap = cv2.VideoCapture(src)
    decoded, t0 = [], time.perf_counter()
    while True:
        ok, f = cap.read()
        if not ok:
            break
        decoded.append(f)
    decode = (time.perf_counter() - t0) / len(decoded)
    prev, cur = np.zeros((h, w), np.uint8), np.zeros((h, w), np.uint8)
    t0 = time.perf_counter()
    for f in decoded:
        snapwell.check_motion_rgb(f, prev, cur, 25, 200, 21)
    motion = (time.perf_counter() - t0) / len(decoded)
    with tempfile.TemporaryDirectory() as d:
        writer = cv2.VideoWriter(os.path.join(d, "x.avi"), cv2.VideoWriter_fourcc(*"MJPG"), FPS, (w, h))
        t0 = time.perf_counter()
        for f in decoded:
            writer.write(f)
        writer.release()
        encode = (time.perf_counter() - t0) / len(decoded)
    return decode, motion, encode


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--frames", type=int, default=200)
    ap.add_argument("--repeats", type=int, default=5)
    ap.add_argument("--sizes", default="768x576,1920x1080")
    ap.add_argument("--front-end", action="store_true", help="also time the quarrin record command")
    opts = ap.parse_args()
    work = tempfile.mkdtemp(prefix="quarrin-bench-")
    try:
        rows = []
        for size in opts.sizes.split(","):
            w, h = map(int, size.split("x"))
            src = os.path.join(work, "in_%s.avi" % size)
            make_clip(src, opts.frames, w, h)
            contenders = {
                "vcapture": lambda out: snapwell.vcapture(*capture_args(src, out, w, h)),
                "pipelined": lambda out: record(*capture_args(src, out, w, h), pipeline=True)[0],
            }
            if opts.front_end:
                cmd = [sys.executable, "-m", "quarrin", "record", src, None, "--motion", "--min-area", "200", "-q"]
                contenders["quarrin record"] = lambda out: (
                    subprocess.run(cmd[:5] + [out] + cmd[6:], check=True, capture_output=True), opts.frames)[1]
            seconds = {name: [] for name in contenders}
            for r in range(opts.repeats):
                order = list(contenders) if r % 2 == 0 else list(reversed(contenders))
                for name in order:
                    out = os.path.join(work, "%s_%d_%s" % (size, r, name.replace(" ", "_")), "out.avi")
                    os.makedirs(os.path.dirname(out))
                    t, n = timed(lambda: contenders[name](out))
                    assert n == opts.frames, (name, n)
                    seconds[name].append(t)
                    shutil.rmtree(os.path.dirname(out))
            decode, motion, encode = stage_times(src, w, h, opts.frames)
            base = statistics.median(seconds["vcapture"])
            for name, ts in seconds.items():
                med = statistics.median(ts)
                rows.append((size, name, opts.frames / med, base / med))
            rows.append((size, "stages ms/frame", "decode %.2f, motion %.2f, encode %.2f"
                         % (decode * 1e3, motion * 1e3, encode * 1e3), None))
        print("| size | contender | frames/s (median of %d) | speed-up over vcapture |" % opts.repeats)
        print("|---|---|---|---|")
        for size, name, fps, ratio in rows:
            if ratio is None:
                print("| %s | %s | %s | |" % (size, name, fps))
            else:
                print("| %s | %s | %.1f | %.2f |" % (size, name, fps, ratio))
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
