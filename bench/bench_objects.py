"""What objects cost a motion recording.

Usage: python bench/bench_objects.py [--rounds 3] [--seconds 8]

1. Debian's vtest.avi (people walking: motion in every frame, the worst case) recorded with
   `motion=True, before=1, after=2`, against the same with `objects=["person"]` (the hog
   detector) added: CPU time of this process (every thread), median of the rounds, and the ratio.
2. A live source (the tests' MJPEG camera on 127.0.0.1, 25 frames/s, motion in every frame)
   recorded for --seconds with a detector that sleeps 200 ms a call (asked for 10 frames a second,
   so that it is always busy) against no detector: the frame
   loop's frames per second (frames read over the recording's time), median and ratio. The loop
   never waits for the detector, so the ratio stays near 1.

Rounds interleave the contenders and flip their order every round. The machine is shared: read the
ratios, not the absolute numbers.
"""
import argparse
import os
import resource
import statistics
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

import quarrin  # noqa: E402
from quarrin.seams import Box, Detection  # noqa: E402

VTEST = "/usr/share/doc/opencv-doc/examples/data/vtest.avi"


def cpu():
    used = resource.getrusage(resource.RUSAGE_SELF)
    return used.ru_utime + used.ru_stime


class Sleepy:
    """A detector that takes 200 ms and always finds a person."""

    def detect(self, frame):
        time.sleep(0.2)
        return [Detection("person", 0.9, Box(0, 0, 8, 8))]


def file_round(folder, objects):
    extra = dict(objects=["person"], detector="hog") if objects else {}
    start = cpu()
    r = quarrin.record(VTEST, os.path.join(folder, "o.avi"), motion=True, before=1, after=2, **extra)
    return cpu() - start, len(r.events)


def live_round(url, folder, seconds, sleepy, said):
    # At 10 looks a second the 200 ms detector is always busy: most frames due pass it by.
    extra = dict(objects=["person"], detector=Sleepy(), detect_fps=10) if sleepy else {}
    lines = []
    r = quarrin.record(url, os.path.join(folder, "o-%Y%m%d-%H%M%S.avi"), motion=True, min_area=50,
                       duration=seconds, log=lines.append, **extra)
    said.extend(line for line in lines if line.startswith("Detector:"))
    return r.frames_read / r.seconds


def table(title, unit, a_name, a, b_name, b):
    ma, mb = statistics.median(a), statistics.median(b)
    print(title)
    print("  %-28s median %8.2f %s  (%s)" % (a_name, ma, unit, ", ".join("%.2f" % v for v in a)))
    print("  %-28s median %8.2f %s  (%s)" % (b_name, mb, unit, ", ".join("%.2f" % v for v in b)))
    print("  ratio %.2fx" % (mb / ma if ma else float("nan")))


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--seconds", type=float, default=8.0)
    args = ap.parse_args()
    if not os.path.exists(VTEST):
        sys.exit("%s is missing (Debian's opencv-doc; scripts/setup-system.sh installs it)" % VTEST)
    plain, hog = [], []
    for i in range(args.rounds):
        for objects in ((False, True) if i % 2 == 0 else (True, False)):
            with tempfile.TemporaryDirectory() as folder:
                (hog if objects else plain).append(file_round(folder, objects)[0])
    table("vtest.avi, CPU seconds (goal: at most 2.0x)", "s", "motion", plain, "motion + hog people", hog)

    from mjpeg_server import MjpegServer

    alone, waited, said = [], [], []
    with MjpegServer(fps=25) as cam:
        for i in range(args.rounds):
            for sleepy in ((False, True) if i % 2 == 0 else (True, False)):
                with tempfile.TemporaryDirectory() as folder:
                    (waited if sleepy else alone).append(live_round(cam.url, folder, args.seconds, sleepy,
                                                                                   said))
    table("live MJPEG at 25 frames/s, frames read per second (goal: at least 0.95x)", "frames/s",
          "no detector", alone, "detector sleeping 200 ms", waited)
    for line in said:
        print("  " + line)


if __name__ == "__main__":
    main()
