"""Batch throughput with one and two jobs, and what the front end costs on a single file.

Usage: python bench/bench_batch.py [--copies 8] [--frames 150] [--rounds 3] [--single-frames 200]
       [--single-rounds 9]

1. `quarrin batch` (the command, in a child process, as a user runs it) over 8 copies of a
   768x576 MJPG clip at full frame with --motion, --jobs 2 against --jobs 1. Frames per second
   are the frames read by all inputs over the command's wall-clock time (start-up included);
   "machine cores busy" counts every process on the machine meanwhile: when it is already near
   the CPU count with one job, a second job has no free core to run on.
2. One file, in this process: `quarrin.record(src, out, motion=True)` against `vcapture` called
   directly with the same arguments (full frame, motion gating, its console lines discarded).

Rounds interleave the contenders and flip their order every round; the tables give medians and
the ratio of the medians. The machine is shared: read the ratios, not the absolute numbers.
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

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench_capture import H, W, make_clip  # noqa: E402  (768x576 textured clip with motion)

import quarrin  # noqa: E402
from quarrin import snapwell  # noqa: E402


def quarrin_command():
    script = os.path.join(os.path.dirname(sys.executable), "quarrin")
    return [script] if os.path.exists(script) else [sys.executable, "-m", "quarrin"]


def machine_ticks():
    """(busy, total) CPU ticks of the whole machine, from /proc/stat (Linux); None elsewhere."""
    try:
        with open("/proc/stat") as f:
            fields = [int(v) for v in f.readline().split()[1:]]
    except (OSError, ValueError):
        return None
    idle = fields[3] + (fields[4] if len(fields) > 4 else 0)
    total = sum(fields[:8])
    return total - idle, total


def run_batch(inputs, out, jobs, frames):
    """frames/s over the wall clock, and how many cores the whole machine kept busy meanwhile
    (the batch and everything else running): near the CPU count, the cores were not free."""
    shutil.rmtree(out, ignore_errors=True)
    before = machine_ticks()
    started = time.perf_counter()
    subprocess.run(quarrin_command() + ["batch", inputs, "--out", out, "--motion", "--jobs", str(jobs), "-q"],
                   check=True, stdout=subprocess.DEVNULL)
    seconds = time.perf_counter() - started
    after = machine_ticks()
    busy = float("nan")
    if before and after and after[1] > before[1]:
        busy = (after[0] - before[0]) / (after[1] - before[1]) * (os.cpu_count() or 1)
    return frames / seconds, busy


def run_vcapture(src, out):
    with contextlib.redirect_stdout(io.StringIO()):
        n = snapwell.vcapture(src, out, "MJPG", 0, False, 0, 0, 0, 0, W, H, 0.0, 0.0, 0, True, False,
                              25, 500, 21, False, False, np.array([0, 0, 0], np.int32),
                              np.array([255, 255, 255], np.int32), 10, 20, 0.5)
    return n


def run_record(src, out):
    return quarrin.record(src, out, motion=True, quiet=True).frames_read


def timed(fn, src, out, frames):
    for path in (out, out + ".csv"):
        if os.path.exists(path):
            os.remove(path)
    started = time.perf_counter()
    n = fn(src, out)
    seconds = time.perf_counter() - started
    if n != frames:
        sys.exit("%s read %d frames, expected %d" % (fn.__name__, n, frames))
    return frames / seconds


def table(title, rates, base, cores=None):
    """Medians, and the median over the rounds of each round's ratio to `base`."""
    print(title)
    print("| contender | frames/s (median) | min | max | ratio to %s (median of rounds) |%s" % (
        base, " machine cores busy (median) |" if cores else ""))
    print("|---|---|---|---|---|%s" % ("---|" if cores else ""))
    for name, values in rates.items():
        ratio = statistics.median(v / b for v, b in zip(values, rates[base]))
        busy = " %.2f |" % statistics.median(cores[name]) if cores else ""
        print("| %s | %.1f | %.1f | %.1f | %.3f |%s" % (name, statistics.median(values), min(values), max(values),
                                                      ratio, busy))
    print()


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--copies", type=int, default=8)
    ap.add_argument("--frames", type=int, default=150, help="frames per copy (default 150)")
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--single-frames", type=int, default=200)
    ap.add_argument("--single-rounds", type=int, default=9)
    opts = ap.parse_args()

    with tempfile.TemporaryDirectory(prefix="bench-batch-") as work:
        inputs = os.path.join(work, "in")
        os.makedirs(inputs)
        clip = os.path.join(work, "clip.avi")
        make_clip(clip, opts.frames)
        for i in range(opts.copies):
            shutil.copy(clip, os.path.join(inputs, "cam%02d.avi" % i))
        total = opts.copies * opts.frames
        batch = {"batch --jobs 1": [], "batch --jobs 2": []}
        cores = {name: [] for name in batch}
        for r in range(opts.rounds):
            order = [1, 2] if r % 2 == 0 else [2, 1]
            for jobs in order:
                rate, busy = run_batch(inputs, os.path.join(work, "out"), jobs, total)
                batch["batch --jobs %d" % jobs].append(rate)
                cores["batch --jobs %d" % jobs].append(busy)

        single = os.path.join(work, "single.avi")
        make_clip(single, opts.single_frames)
        contenders = [("vcapture", run_vcapture), ("quarrin.record", run_record)]
        rates = {name: [] for name, _ in contenders}
        for r in range(opts.single_rounds + 1):
            for name, fn in (contenders if r % 2 == 0 else contenders[::-1]):
                rate = timed(fn, single, os.path.join(work, "s.avi"), opts.single_frames)
                if r:  # the first round warms up and is not counted
                    rates[name].append(rate)

    print("%d copies of a %dx%d MJPG clip, %d frames each, full frame, --motion; %d rounds; %d CPUs"
          % (opts.copies, W, H, opts.frames, opts.rounds, os.cpu_count() or 1))
    table("quarrin batch (wall clock of the command, start-up included)", batch, "batch --jobs 1", cores)
    print("one %dx%d file, %d frames, full frame, motion; %d rounds; recorder progress hook: %s"
          % (W, H, opts.single_frames, opts.single_rounds, "yes" if hasattr(snapwell, "_record") else "no"))
    table("single file, in this process", rates, "vcapture")
    cost = 1 - statistics.median(r / v for r, v in zip(rates["quarrin.record"], rates["vcapture"]))
    print("front end cost: %.1f %% of vcapture's rate (median of the rounds' ratios)" % (100 * cost))


if __name__ == "__main__":
    main()
