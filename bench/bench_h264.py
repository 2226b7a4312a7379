"""`quarrin record` writing MJPG (.avi) against H.264 through PyAV (.mp4) at the default settings,
on OpenCV's sample vtest.avi (768x576, 795 frames), full frame and motion-gated; and what is left
of a recording killed (SIGKILL) while it writes, per container; and what is on the disk after a
quiet spell (an event ended), with and without the muxer's flush.

Usage: python bench/bench_h264.py [--repeats R] [--input VIDEO] [--kill-at N,N,...] [--no-kill]

Runs the installed command in child processes. The writers alternate, and their order flips every
round; the table shows medians over the rounds and the ratios H.264/MJPG from the same run:
frames read per second (the command's own figure, the recording alone) and bytes per saved frame.
The kill part stops a recording with SIGKILL once its CSV lists N frames, then counts the rows
and the frames OpenCV decodes from the video. "plain MP4" is the same writer with an MP4 written
in one piece, as FFmpeg does by default. Machines are shared: read the ratios.
"""
import argparse
import csv
import glob
import os
import re
import signal
import statistics
import subprocess
import sys
import tempfile
import time

import cv2

VTEST = "/usr/share/doc/opencv-doc/examples/data/vtest.avi"
SAVED = re.compile(r"^Saved (\d+) of (\d+) frames in \d+ files?(?:, \d+ events?)? \(([\d.]+) s, ")
WRITERS = (("MJPG .avi", ".avi", []), ("H.264 .mp4", ".mp4", ["--codec", "h264"]))
SELECTIONS = (("full frame", []), ("motion", ["--motion"]))
# Child that records with the MP4 written in one piece, for comparison.
PLAIN_MP4 = ("import sys; from quarrin import av_writer; av_writer.CONTAINERS['.mp4'] = ('mp4', {}); "
             "from quarrin.cli import main; sys.exit(main(sys.argv[1:]))")


def record(src, out, args):
    """(frames read per second, bytes per saved frame) of one `quarrin record`."""
    proc = subprocess.run([sys.executable, "-m", "quarrin", "record", src, out, "-q"] + args,
                          capture_output=True, text=True, check=True)
    saved, read, seconds = SAVED.match(proc.stdout.strip().splitlines()[-1]).groups()
    stem, ext = os.path.splitext(out)
    size = sum(os.path.getsize(p) for p in [out] + glob.glob(stem + "_*" + ext) if os.path.exists(p))
    return int(read) / float(seconds), size / int(saved)


def speed_table(src, repeats, scratch):
    results = {}
    for r in range(repeats):
        for label, args in SELECTIONS:
            order = WRITERS if r % 2 == 0 else WRITERS[::-1]
            for name, ext, extra in order:
                out = os.path.join(scratch, "r%d-%s%s" % (r, label.split()[0], ext))
                results.setdefault((label, name), []).append(record(src, out, args + extra))
                for p in glob.glob(os.path.join(scratch, "r*")):
                    os.remove(p)
    print("%-11s %-11s %10s %18s" % ("selection", "writer", "frames/s", "bytes/saved frame"))
    for label, _ in SELECTIONS:
        med = {}
        for name, _, _ in WRITERS:
            runs = results[(label, name)]
            med[name] = (statistics.median(x[0] for x in runs), statistics.median(x[1] for x in runs))
            print("%-11s %-11s %10.0f %18.0f" % (label, name, med[name][0], med[name][1]))
        (f_m, b_m), (f_h, b_h) = med["MJPG .avi"], med["H.264 .mp4"]
        print("%-11s %-11s %9.2fx %17.3fx" % (label, "H.264/MJPG", f_h / f_m, b_h / b_m))
    print("(medians of %d rounds; target: H.264/MJPG bytes at most 0.25x, frames/s at least 1x)" % repeats)


def killed(src, out, argv_head, at):
    """SIGKILL a recording once its CSV lists `at` frames: (rows in the CSV, frames decoded)."""
    proc = subprocess.Popen(argv_head + ["record", src, out, "-q", "--codec", "h264"], stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    rows = 0
    try:
        deadline = time.monotonic() + 120
        while proc.poll() is None and time.monotonic() < deadline:
            if os.path.exists(out + ".csv"):
                with open(out + ".csv", newline="") as f:
                    rows = sum(1 for _ in f) - 1
                if rows >= at:
                    break
            time.sleep(0.002)
        proc.send_signal(signal.SIGKILL)
    finally:
        proc.wait()
    with open(out + ".csv", newline="") as f:
        rows = len(list(csv.reader(f))) - 1
    saved = os.dup(2)  # FFmpeg's complaints about a file without an index are the expected result
    try:
        with open(os.devnull, "w") as null:
            os.dup2(null.fileno(), 2)
        cap = cv2.VideoCapture(out)
        decoded = 0
        while cap.read()[0]:
            decoded += 1
        cap.release()
    finally:
        os.dup2(saved, 2)
        os.close(saved)
    return rows, decoded


def kill_table(src, points, scratch):
    containers = (("plain MP4", ".mp4", [sys.executable, "-c", PLAIN_MP4]),
                  ("fragmented MP4", ".mp4", [sys.executable, "-m", "quarrin"]),
                  ("MKV", ".mkv", [sys.executable, "-m", "quarrin"]))
    fps = cv2.VideoCapture(src).get(cv2.CAP_PROP_FPS) or 1
    print("\nSIGKILL while writing H.264 (%g frames/s of video): rows in the CSV / frames decoded / lost"
          % fps)
    print("%-15s" % "container" + "".join("%22s" % ("killed at %d" % n) for n in points))
    for name, ext, head in containers:
        cells = []
        for n in points:
            out = os.path.join(scratch, "k%d%s" % (n, ext))
            rows, decoded = killed(src, out, head, n)
            cells.append("%d / %d / %.1f s" % (rows, decoded, (rows - decoded) / fps))
            for p in glob.glob(os.path.join(scratch, "k*")):
                os.remove(p)
        print("%-15s" % name + "".join("%22s" % c for c in cells))


def quiet_table(src, scratch, frames=200, event=20):
    """The writer fed `frames` frames of `src` in events of `event` frames, each followed by a quiet
    spell past HOLD_SECONDS (shortened here), with and without the muxer's flush: the frames on
    the disk during the spell (as a SIGKILL would leave them), the file's size, the flush's time."""
    import datetime
    import shutil

    from quarrin import av_writer, muxflush

    av_writer.HOLD_SECONDS = 0.05
    cap = cv2.VideoCapture(src)
    images = [cap.read()[1] for _ in range(frames)]
    cap.release()
    height, width = images[0].shape[:2]
    made, took = muxflush.Flusher.of, []

    def timed(flusher, flush=muxflush.Flusher.flush):
        began = time.perf_counter()
        flush(flusher)
        took.append(time.perf_counter() - began)

    muxflush.Flusher.flush = timed
    print("\nH.264 in events of %d frames with a quiet spell after each: frames on the disk in the spells "
          "/ frames written, bytes" % event)
    for speed in ("ultrafast", "veryfast"):
        for ext in (".mp4", ".mkv"):
            cells = []
            for flush in (False, True):
                muxflush.Flusher.of = made if flush else classmethod(lambda cls, container: None)
                out, writer, on_disk = os.path.join(scratch, "q" + ext), av_writer.H264Writer(preset=speed), 0
                writer.open(out, 10, (width - width % 2, height - height % 2))
                start = datetime.datetime(2024, 1, 1)
                for i, image in enumerate(images):
                    writer.write(image[:height - height % 2, :width - width % 2],
                                 start + datetime.timedelta(seconds=i / 10 + 3 * (i // event)))
                    if i % event == event - 1:
                        time.sleep(0.2)
                        shutil.copy(out, out + ".killed")
                        on_disk += min(event, _decoded(out + ".killed") - (i + 1 - event))
                writer.release()
                cells.append("%d / %d, %d" % (on_disk, frames, os.path.getsize(out)))
            print("%-10s %-4s without flush: %-20s with: %s" % (speed, ext, cells[0], cells[1]))
    muxflush.Flusher.of = made
    print("(the flush took %.0f us, median of %d)" % (statistics.median(took) * 1e6, len(took)))


def _decoded(path):
    cap = cv2.VideoCapture(path)
    count = 0
    while cap.read()[0]:
        count += 1
    cap.release()
    return count


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--input", default=VTEST)
    parser.add_argument("--kill-at", default="50,200,600")
    parser.add_argument("--no-kill", action="store_true")
    a = parser.parse_args()
    if not os.path.exists(a.input):
        sys.exit("%s is missing: apt-get install -y opencv-doc" % a.input)
    cap = cv2.VideoCapture(a.input)
    print("%s: %dx%d, %d frames" % (a.input, cap.get(cv2.CAP_PROP_FRAME_WIDTH), cap.get(cv2.CAP_PROP_FRAME_HEIGHT),
                                    cap.get(cv2.CAP_PROP_FRAME_COUNT)))
    cap.release()
    with tempfile.TemporaryDirectory(prefix="bench-h264-") as scratch:
        speed_table(a.input, a.repeats, scratch)
        if not a.no_kill:
            kill_table(a.input, [int(n) for n in a.kill_at.split(",")], scratch)
            quiet_table(a.input, scratch)


if __name__ == "__main__":
    main()
