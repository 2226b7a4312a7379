"""What flushing each CSV row costs a recording: the extra time of a flushed row over a buffered
one, against the time vcapture takes per saved frame, measured in the same run.

Usage: python bench/bench_flush.py [--frames N] [--repeats R]

The recording is the worst case for the share: every frame saved, a small 160x120 region (so that
encoding is cheap) cut from the generated 768x576 clip of bench_capture.py.
"""
import argparse
import contextlib
import csv
import io
import os
import statistics
import sys
import tempfile
import time
from datetime import datetime

import numpy as np

from quarrin import snapwell

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench_capture import make_clip  # noqa: E402


def row_seconds(path, rows, flush):
    stamp = datetime(2024, 1, 1, 12, 0, 0, 123456).isoformat()
    with open(path, "w", newline="") as f:
        writer = csv.writer(f)
        start = time.perf_counter()
        for i in range(rows):
            writer.writerow([i, i, stamp])
            if flush:
                f.flush()
        return (time.perf_counter() - start) / rows


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--frames", type=int, default=300)
    ap.add_argument("--repeats", type=int, default=7)
    opts = ap.parse_args()
    with tempfile.TemporaryDirectory() as work:
        src = os.path.join(work, "in.avi")
        make_clip(src, opts.frames)
        frame_s, extra_s = [], []
        for r in range(opts.repeats):
            out = os.path.join(work, "out%d.avi" % r)
            with contextlib.redirect_stdout(io.StringIO()):
                start = time.perf_counter()
                snapwell.vcapture(src, out, "MJPG", 30, False, 0, 0, 0, 0, 160, 120, 0.0, 0.0, 0, False, False,
                                  25, 50, 21, False, False, None, None, 0, 0, 0.5)
            frame_s.append((time.perf_counter() - start) / opts.frames)
            flushed = row_seconds(os.path.join(work, "f.csv"), 5000, True)
            buffered = row_seconds(os.path.join(work, "b.csv"), 5000, False)
            extra_s.append(flushed - buffered)
        frame, extra = statistics.median(frame_s), statistics.median(extra_s)
        print("per saved frame: %.1f us; a flushed row costs %.2f us more than a buffered one: %.2f %% of a frame"
              % (frame * 1e6, extra * 1e6, 100 * extra / frame))


if __name__ == "__main__":
    main()
