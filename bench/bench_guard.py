"""What the writer's checks cost a recording: the time writers.GuardedWriter adds to each frame
written (free space, the native log's write failures, the frame count), against the time a whole
recording takes per frame, in the same run.

Usage: python bench/bench_guard.py [--frames N] [--repeats R] [--input VIDEO]

The guard's cost is measured around a writer that does nothing, so only the checks count. The
recordings are OpenCV's sample vtest.avi (768x576) and a generated 64x48 clip, the worst case for
the share. Machines are shared: read the percentages.
"""
import argparse
import os
import statistics
import sys
import tempfile
import time

import numpy as np

import quarrin
from quarrin import nativelog, writers

VTEST = "/usr/share/doc/opencv-doc/examples/data/vtest.avi"


class NullWriter:
    def open(self, name, fps, size):
        pass

    def write(self, frame, time):
        pass

    def release(self):
        pass


def guard_cost(folder, frames, repeats):
    """Median seconds the guard adds to a frame."""
    frame = np.zeros((48, 64, 3), np.uint8)
    costs = []
    with nativelog.Capture() as capture:
        guard, bare = writers.GuardedWriter(NullWriter(), 100 << 20, capture), NullWriter()
        guard.open(os.path.join(folder, "g.avi"), 10, (64, 48))
        for _ in range(repeats):
            start = time.perf_counter()
            for _ in range(frames):
                guard.write(frame, None)
            guarded = time.perf_counter() - start
            start = time.perf_counter()
            for _ in range(frames):
                bare.write(frame, None)
            costs.append((guarded - (time.perf_counter() - start)) / frames)
    return statistics.median(costs)


def small_clip(path, frames=400):
    import cv2

    out = cv2.VideoWriter(path, cv2.VideoWriter_fourcc(*"MJPG"), 10, (64, 48))
    for i in range(frames):
        image = np.zeros((48, 64, 3), np.uint8)
        image[:, (i % 56):(i % 56) + 8] = 255
        out.write(image)
    out.release()
    return path


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--frames", type=int, default=20000)
    parser.add_argument("--repeats", type=int, default=7)
    parser.add_argument("--input", default=VTEST)
    opts = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="quarrin-bench-") as folder:
        cost = guard_cost(folder, opts.frames, opts.repeats)
        print("guard, per frame written: %.1f us (median of %d runs of %d frames)" % (cost * 1e6, opts.repeats,
                                                                                       opts.frames))
        for clip in (opts.input, small_clip(os.path.join(folder, "small.avi"))):
            per_frame = []
            for i in range(3):
                r = quarrin.record(clip, os.path.join(folder, "r%d.avi" % i), quiet=True)
                per_frame.append(r.seconds / r.frames_read)
                for segment in r.segments:
                    os.remove(segment.video)
                    os.remove(segment.csv)
            frame = statistics.median(per_frame)
            print("%-12s %.2f ms a frame recorded (median of 3): the guard is %.2f%% of it"
                  % (os.path.basename(clip), frame * 1e3, 100 * cost / frame))
    return 0


if __name__ == "__main__":
    sys.exit(main())
