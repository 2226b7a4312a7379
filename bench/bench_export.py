"""Exporting a one-minute event as one clip (quarrin.export): H.264 recordings copied packet for
packet, against MJPG recordings of the same frames decoded and encoded once.

Usage: python bench/bench_export.py [--seconds S] [--rounds R] [--segment-seconds N]

Records a synthetic scene (640x480 at 25 frames/s: a textured background, a square crossing it)
twice through `quarrin.record`, as H.264 .mp4 and as MJPG .avi, in segments of --segment-seconds
so that the span is joined across files, then exports the whole span of each R times, the two
alternating. Prints the median seconds of each export and the ratio seconds of video per second
of export (goal: at least 20x real time when copied). Machines are shared: read the ratios.
"""
import argparse
import os
import statistics
import sys
import tempfile
import time

import numpy as np

import quarrin
from quarrin import export, index

WIDTH, HEIGHT, FPS = 640, 480, 25


def clip(path, frames):
    """An MJPG .avi source of `frames` frames (OpenCV): a still, textured yard, a square crossing it."""
    import cv2

    rng = np.random.default_rng(7)
    ramp = np.linspace(40, 160, WIDTH, dtype=np.float32)[None, :, None]
    background = np.clip(ramp + rng.normal(0, 6, (HEIGHT, WIDTH, 3)), 0, 255).astype(np.uint8)
    writer = cv2.VideoWriter(path, cv2.VideoWriter_fourcc(*"MJPG"), FPS, (WIDTH, HEIGHT))
    for i in range(frames):
        frame = background.copy()
        x = (i * 6) % (WIDTH - 80)
        frame[200:280, x:x + 80] = (60, 200, 255)
        writer.write(frame)
    writer.release()
    os.utime(path, (1_700_000_000, 1_700_000_000))
    return path


def timed(recorded, out):
    with index.Index(recorded) as idx:
        segments = idx.recordings()
        first, last = segments[0].first, segments[-1].last
        started = time.perf_counter()
        made = export.export_segments(segments, first, last, out)
        took = time.perf_counter() - started
    os.remove(out)
    return took, made


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seconds", type=float, default=60.0, help="length of the event (default: 60)")
    parser.add_argument("--rounds", type=int, default=5, help="exports of each kind (default: 5)")
    parser.add_argument("--segment-seconds", type=float, default=20.0, help="segment length (default: 20)")
    args = parser.parse_args(argv)
    with tempfile.TemporaryDirectory(prefix="bench-export-") as scratch:
        source = clip(os.path.join(scratch, "in.avi"), int(args.seconds * FPS))
        kinds = {}
        for name, output, options in (("copied", "h264/door.mp4", {"codec": "h264"}), ("encoded", "mjpg/door.avi", {})):
            quarrin.record(source, os.path.join(scratch, output), segment_seconds=args.segment_seconds, **options)
            kinds[name] = os.path.join(scratch, os.path.dirname(output))
        times = {name: [] for name in kinds}
        made = {}
        for r in range(args.rounds):
            for name in (list(kinds) if r % 2 == 0 else list(kinds)[::-1]):
                took, made[name] = timed(kinds[name], os.path.join(scratch, "clip-%s.mp4" % name))
                times[name].append(took)
    print("%-8s %8s %10s %12s %14s" % ("export", "frames", "video s", "median s", "x real time"))
    for name in kinds:
        m = made[name]
        assert m.copied == (name == "copied"), m
        median = statistics.median(times[name])
        print("%-8s %8d %10.1f %12.3f %13.1fx" % (name, m.frames, m.seconds, median, m.seconds / median))
    print("(medians of %d rounds, %dx%d at %d frames/s in %g s segments; goal: copied at least 20x real time)"
          % (args.rounds, WIDTH, HEIGHT, FPS, args.segment_seconds))
    return 0


if __name__ == "__main__":
    sys.exit(main())
