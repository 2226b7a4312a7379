"""Records a generated video the way a motion-triggered camera recorder would.

Makes a short clip of a ball that moves, rests and moves again, then lets
quarrin.snapwell.vcapture re-encode a region of it with motion gating (the resting part is
dropped), numbered segments of a fixed length and the timestamp burnt into every saved frame.
Prints where the files went and a summary. Needs no camera and no display.

Usage: python scripts/demo.py [--out DIR] [--frames N] [--segment N]
"""
import argparse
import csv
import os
import sys
import tempfile

import cv2
import numpy as np

from quarrin import snapwell

W, H, FPS = 320, 240, 10.0
ROI = (40, 30, 240, 180)  # x, y, w, h


def ball_position(i, frames):
    """Moves during the first and the last third of the clip, rests in between."""
    third = frames // 3
    if i < third:
        t = i
    elif i < 2 * third:
        t = third
    else:
        t = i - third
    return 60 + (t * 9) % (W - 120), H // 2 + int(40 * np.sin(t / 4.0))


def make_input(path, frames):
    yy, xx = np.mgrid[0:H, 0:W]
    background = np.dstack([(xx * 160 // W), (yy * 160 // H), np.full_like(xx, 60)]).astype(np.uint8)
    writer = cv2.VideoWriter(path, cv2.VideoWriter_fourcc(*"MJPG"), FPS, (W, H))
    if not writer.isOpened():
        sys.exit("cannot write the input clip %s" % path)
    for i in range(frames):
        frame = background.copy()
        cv2.circle(frame, ball_position(i, frames), 22, (255, 255, 255), -1)
        writer.write(frame)
    writer.release()


def count_frames(path):
    cap = cv2.VideoCapture(path)
    n = 0
    while cap.read()[0]:
        n += 1
    cap.release()
    return n


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--out", help="directory for the run (default: a new folder under ./out/)")
    ap.add_argument("--frames", type=int, default=90, help="length of the generated clip (default 90)")
    ap.add_argument("--segment", type=int, default=20, help="frames per output segment (default 20)")
    opts = ap.parse_args()

    if opts.out:
        run_dir = opts.out
        os.makedirs(run_dir, exist_ok=True)
    else:
        os.makedirs("out", exist_ok=True)
        run_dir = tempfile.mkdtemp(prefix="demo-", dir="out")
    source = os.path.join(run_dir, "input.avi")
    make_input(source, opts.frames)
    print("Generated %s: %d frames of %dx%d at %g fps" % (source, opts.frames, W, H, FPS))
    print()

    x, y, w, h = ROI
    frames_read = snapwell.vcapture(
        source, os.path.join(run_dir, "motion.avi"), "MJPG", 30, False, 0, 0, x, y, w, h,
        0.0, 0.0, opts.segment, True, False,  # interval, duration, max_frames, motion_based, config
        25, 100, 21,  # threshold, min_area, kernel_width
        True, False,  # timestamp, show_diff
        np.array([0, 0, 0], np.int32), np.array([255, 255, 255], np.int32), 5, 20, 0.5)

    print()
    print("Frames read: %d" % frames_read)
    segments = sorted(name for name in os.listdir(run_dir) if name.startswith("motion") and name.endswith(".avi"))
    total = 0
    for name in segments:
        video = os.path.join(run_dir, name)
        with open(video + ".csv", newline="") as f:
            rows = list(csv.reader(f))[1:]
        total += len(rows)
        span = "%s .. %s" % (rows[0][2], rows[-1][2]) if rows else "no frame"
        print("  %-16s %3d frames, %3d CSV rows  (%s)" % (name, count_frames(video), len(rows), span))
    print("Files: %d videos with their CSVs in %s" % (len(segments), os.path.abspath(run_dir)))
    print("Rows: %d saved of %d read (frames without motion were dropped)" % (total, frames_read))


if __name__ == "__main__":
    main()
