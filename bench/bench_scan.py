"""quarrin scan against quarrin batch --motion: how fast each goes through the same footage and
how many events each finds.

Usage: python bench/bench_scan.py [--copies 4] [--rounds 5] [--clip PATH]

Both commands run as a user runs them (child processes, start-up included) over `--copies`
copies of the clip (default: opencv-doc's vtest.avi, 768x576, 795 frames), with the default
--jobs (one per CPU), at full size and with --detect-width 320. Frames per second are the frames
read by all inputs over the command's wall-clock time. Rounds interleave the four contenders and
rotate their order; the table gives medians, and each scan's ratio to the batch at the same
detection width. The machine is shared: read the ratios, not the absolute numbers.
"""
import argparse
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

CLIP = "/usr/share/doc/opencv-doc/examples/data/vtest.avi"


def command():
    script = os.path.join(os.path.dirname(sys.executable), "quarrin")
    return [script] if os.path.exists(script) else [sys.executable, "-m", "quarrin"]


def run(kind, inputs, work, width):
    """Runs one contender; returns (frames/s, events found)."""
    out = os.path.join(work, "out")
    shutil.rmtree(out, ignore_errors=True)
    report = os.path.join(work, "events.csv")
    if os.path.exists(report):
        os.remove(report)
    extra = ["--detect-width", str(width)] if width else []
    if kind == "scan":
        # Frame-exact events, as batch --motion finds them (scan's own defaults join them into stretches).
        argv = command() + ["scan", inputs, "--report", report, "-q", "--after", "0", "--min-event", "0"] + extra
    else:
        argv = command() + ["batch", inputs, "--out", out, "--motion", "-q"] + extra
    started = time.perf_counter()
    proc = subprocess.run(argv, capture_output=True, text=True)
    seconds = time.perf_counter() - started
    if proc.returncode != 0:
        sys.exit("%s failed: %s" % (" ".join(argv), proc.stderr))
    if kind == "scan":
        found = re.search(r"Scanned \d+ inputs?: (\d+) frames, (\d+) events?", proc.stdout)
        frames, events = int(found.group(1)), int(found.group(2))
    else:
        found = re.search(r"Saved \d+ of (\d+) frames in \d+ files?, (\d+) events?", proc.stdout)
        frames, events = int(found.group(1)), int(found.group(2))
    return frames / seconds, events


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--copies", type=int, default=4)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--clip", default=CLIP)
    args = parser.parse_args()
    if not os.path.exists(args.clip):
        sys.exit("%s is missing (Debian: apt-get install opencv-doc)" % args.clip)
    with tempfile.TemporaryDirectory(prefix="quarrin-bench-") as work:
        inputs = os.path.join(work, "in")
        os.mkdir(inputs)
        for i in range(args.copies):
            shutil.copy(args.clip, os.path.join(inputs, "clip%d%s" % (i, os.path.splitext(args.clip)[1])))
        contenders = [(kind, width) for width in (0, 320) for kind in ("batch", "scan")]
        rates = {c: [] for c in contenders}
        events = {}
        for r in range(args.rounds):
            order = contenders[r % len(contenders):] + contenders[:r % len(contenders)]
            for c in order:
                rate, found = run(c[0], inputs, work, c[1])
                rates[c].append(rate)
                events[c] = found
        print("%d copies of %s, %d rounds, %d CPUs; medians" % (args.copies, os.path.basename(args.clip),
                                                                 args.rounds, os.cpu_count() or 1))
        print("%-34s %10s %8s %10s" % ("command", "frames/s", "events", "vs batch"))
        for width in (0, 320):
            base = statistics.median(rates["batch", width])
            for kind in ("batch", "scan"):
                rate = statistics.median(rates[kind, width])
                label = "%s%s" % ("batch --motion" if kind == "batch" else "scan",
                                  " --detect-width 320" if width else "")
                print("%-34s %10.0f %8d %9.2fx" % (label, rate, events[kind, width], rate / base))


if __name__ == "__main__":
    main()
