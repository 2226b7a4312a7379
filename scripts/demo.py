"""Runs the quarrin command on generated clips, the way a motion-triggered camera recorder would.

Makes a short clip of a ball that moves, rests and moves again, then runs `quarrin record` on it
with motion events (a second of context before each, two after; the rest of the resting part is
dropped), numbered segments and the timestamp burnt into every saved frame, and shows the event
list. Then makes two more clips (one with a single burst of movement, one where nothing moves)
and runs `quarrin batch` on the folder with a report and a timeline plot, and `quarrin scan` on
it. Needs no camera and no display; prints the commands, their output and where the files went.

Usage: python scripts/demo.py [--out DIR] [--frames N] [--segment N] [--plot FILE]
"""
import argparse
import os
import shlex
import subprocess
import sys
import tempfile

import cv2
import numpy as np

W, H, FPS = 320, 240, 10.0
ROI = "40,30,240,180"  # x, y, w, h


def ball_position(i, frames, pattern="walkway"):
    """walkway: moves during the first and the last third, rests in between; doorway: rests,
    moves for a fifth of the clip in the middle, rests; still: never moves."""
    if pattern == "walkway":
        third = frames // 3
        t = i if i < third else third if i < 2 * third else i - third
    elif pattern == "doorway":
        t = min(max(i - 2 * frames // 5, 0), frames // 5)
    else:
        t = 0
    return 60 + (t * 9) % (W - 120), H // 2 + int(40 * np.sin(t / 4.0))


def make_input(path, frames, pattern="walkway"):
    yy, xx = np.mgrid[0:H, 0:W]
    background = np.dstack([(xx * 160 // W), (yy * 160 // H), np.full_like(xx, 60)]).astype(np.uint8)
    writer = cv2.VideoWriter(path, cv2.VideoWriter_fourcc(*"MJPG"), FPS, (W, H))
    if not writer.isOpened():
        sys.exit("cannot write the input clip %s" % path)
    for i in range(frames):
        frame = background.copy()
        cv2.circle(frame, ball_position(i, frames, pattern), 22, (255, 255, 255), -1)
        writer.write(frame)
    writer.release()


def quarrin(*args):
    """Runs the quarrin command of this interpreter's environment, showing it as typed."""
    print("$ quarrin " + shlex.join(args), flush=True)
    script = os.path.join(os.path.dirname(sys.executable), "quarrin")
    # python -m would put the working directory (perhaps a source tree) first on the path.
    command = [script] if os.path.exists(script) else [sys.executable, "-m", "quarrin"]
    status = subprocess.call(command + list(args))
    print(flush=True)
    if status != 0:
        sys.exit("quarrin exited with status %d" % status)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--out", help="directory for the run (default: a new folder under ./out/)")
    ap.add_argument("--frames", type=int, default=150, help="length of the generated clips (default 150)")
    ap.add_argument("--segment", type=int, default=20, help="frames per output file (default 20)")
    ap.add_argument("--plot", help="where the batch's timeline goes (default: <run dir>/batch/timeline.png)")
    opts = ap.parse_args()

    if opts.out:
        run_dir = opts.out
        os.makedirs(run_dir, exist_ok=True)
    else:
        os.makedirs("out", exist_ok=True)
        run_dir = tempfile.mkdtemp(prefix="demo-", dir="out")
    clips = os.path.join(run_dir, "clips")
    os.makedirs(clips, exist_ok=True)
    source = os.path.join(clips, "walkway.avi")
    make_input(source, opts.frames)
    print("Generated %s: %d frames of %dx%d at %g fps" % (source, opts.frames, W, H, FPS))
    print()

    quarrin("record", source, os.path.join(run_dir, "motion.avi"), "--roi", ROI, "--motion", "--before", "1",
            "--after", "2", "--segment-frames", str(opts.segment), "--timestamp")
    events = os.path.join(run_dir, "motion.events.csv")
    print("$ cat %s" % events)
    with open(events) as f:
        print(f.read())

    for pattern in ("doorway", "still"):
        make_input(os.path.join(clips, pattern + ".avi"), opts.frames, pattern)
    batch_dir = os.path.join(run_dir, "batch")
    plot = opts.plot or os.path.join(batch_dir, "timeline.png")
    quarrin("batch", clips, "--out", batch_dir, "--motion", "--before", "1", "--after", "2", "--roi", ROI,
            "--jobs", "2", "--plot", plot)
    quarrin("scan", clips, "--after", "2", "--detect-width", "160", "--report", os.path.join(run_dir, "scan.csv"))
    print("Files in %s" % os.path.abspath(run_dir))


if __name__ == "__main__":
    main()
