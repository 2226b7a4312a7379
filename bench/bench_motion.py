"""Per-call cost of check_motion_gray against the same cv2 calls made from Python.

Three variants run interleaved in one process (round-robin, every round times a batch of calls of
each), on a moving square that alternates between two positions, each frame used twice in a row,
so half of the calls find motion and update the reference:

  module  quarrin.snapwell.check_motion_gray
  plain   the natural Python version (module attribute lookups, named intermediates, a list of
          moving contours)
  lean    the leanest Python making the same calls: every name pre-bound as a default argument,
          each intermediate image dropped as soon as it has been used

Reported: median microseconds per call over the rounds, and the median over the rounds of the
per-round ratios module/plain and module/lean (the three batches of a round run back to back, in
an order that rotates from round to round, so a ratio within one round is little affected by the
load drifting). The machine is shared, so only medians and ratios mean anything.

Usage: PYTHONPATH=<repo> python bench/bench_motion.py [--rounds 21] [--budget 20] [--threads N]
"""
import argparse
import gc
import statistics
import sys
import time

import numpy as np
import cv2

import caputil
from quarrin import snapwell


def plain(gray_cur, blurred_prev, blurred_cur, threshold, min_area, kernel_width=21, show_diff=False):
    blurred_cur[:, :] = cv2.GaussianBlur(gray_cur, (kernel_width, kernel_width), 0)
    diff = cv2.absdiff(blurred_cur, blurred_prev)
    _, mask = cv2.threshold(diff, threshold, 255, cv2.THRESH_BINARY)
    mask = cv2.dilate(mask, None, iterations=2)
    found = cv2.findContours(mask, cv2.RETR_EXTERNAL, cv2.CHAIN_APPROX_SIMPLE)
    if caputil.CV2_MAJOR == 3:
        _, contours, _ = found
    elif caputil.CV2_MAJOR == 4:
        contours, _ = found
    else:
        contours = None
    moving = [c for c in contours if cv2.contourArea(c) > min_area]
    if show_diff:
        cv2.namedWindow("DEBUG - absdiff between frames", cv2.WINDOW_NORMAL)
        cv2.namedWindow("DEBUG - thresholded absdiff", cv2.WINDOW_NORMAL)
        coloured = cv2.applyColorMap(diff, cv2.COLORMAP_JET)
        cv2.drawContours(coloured, contours, -1, -1)
        cv2.imshow("DEBUG - absdiff between frames", coloured)
        cv2.imshow("DEBUG - thresholded absdiff", mask)
    if moving:
        blurred_prev[:, :] = blurred_cur
    return len(moving) > 0


def lean(gray_cur, blurred_prev, blurred_cur, threshold, min_area, kernel_width=21, show_diff=False,
         _blur=cv2.GaussianBlur, _absdiff=cv2.absdiff, _threshold=cv2.threshold, _binary=cv2.THRESH_BINARY,
         _dilate=cv2.dilate, _find=cv2.findContours, _external=cv2.RETR_EXTERNAL,
         _simple=cv2.CHAIN_APPROX_SIMPLE, _area=cv2.contourArea, _all=(slice(None), slice(None))):
    # show_diff is not exercised here (headless); the contours are second to last in both layouts.
    blurred_cur[_all] = _blur(gray_cur, (kernel_width, kernel_width), 0)
    moved = False
    for c in _find(_dilate(_threshold(_absdiff(blurred_cur, blurred_prev), threshold, 255, _binary)[1],
                           None, iterations=2), _external, _simple)[-2]:
        if _area(c) > min_area:
            moved = True
    if moved:
        blurred_prev[_all] = blurred_cur
    return moved


VARIANTS = (("module", snapwell.check_motion_gray), ("plain", plain), ("lean", lean))
CASES = ((16, 16, 3), (320, 240, 21), (768, 576, 21))  # width, height, kernel_width


def frames(w, h):
    side = max(3, min(w, h) // 4)
    out = []
    for y, x in ((h // 8, w // 8), (h // 2, w // 2)):
        f = np.full((h, w), 30, np.uint8)
        f[y:y + side, x:x + side] = 220
        out += [f, f]
    return out


def time_batch(fn, seq, state, k, n):
    prev, cur = state
    t0 = time.perf_counter_ns()
    for i in range(n):
        fn(seq[i & 3], prev, cur, 20, 10, k)
    return (time.perf_counter_ns() - t0) / n / 1000.0


def run_case(w, h, k, rounds, budget):
    seq = frames(w, h)
    states = {name: (np.zeros((h, w), np.uint8), np.zeros((h, w), np.uint8)) for name, _ in VARIANTS}
    results = {name: [] for name, _ in VARIANTS}
    # Same answers from all three on the same sequence, before anything is timed.
    answers = {name: [fn(seq[i & 3], *states[name], 20, 10, k) for i in range(8)] for name, fn in VARIANTS}
    assert len({tuple(a) for a in answers.values()}) == 1 and any(answers["module"]), answers
    # Batch size: a multiple of 4 calls so that every batch sees the same frame pattern.
    probe = time_batch(plain, seq, states["plain"], k, 8)
    n = max(4, int(budget / rounds / len(VARIANTS) / (probe * 1e-6)) // 4 * 4)
    for r in range(rounds):
        gc.collect()
        for name, fn in VARIANTS[r % 3:] + VARIANTS[:r % 3]:
            results[name].append(time_batch(fn, seq, states[name], k, n))
    med = {name: statistics.median(v) for name, v in results.items()}
    for other in ("plain", "lean"):
        med["module/" + other] = statistics.median(m / o for m, o in zip(results["module"], results[other]))
    return med, n


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--rounds", type=int, default=21)
    ap.add_argument("--budget", type=float, default=20.0, help="seconds of timed calls per frame size")
    ap.add_argument("--threads", type=int, default=None, help="cv2.setNumThreads (default: leave cv2's own)")
    args = ap.parse_args(argv)
    if args.threads is not None:
        cv2.setNumThreads(args.threads)
    print(f"python {sys.version.split()[0]}, numpy {np.__version__}, cv2 {cv2.__version__}, "
          f"cv2 threads {cv2.getNumThreads()}, {args.rounds} rounds")
    print(f"{'size':>9} {'k':>3} {'calls':>6} {'module us':>10} {'plain us':>9} {'lean us':>8} "
          f"{'mod/plain':>9} {'mod/lean':>9}")
    for w, h, k in CASES:
        med, n = run_case(w, h, k, args.rounds, args.budget)
        print(f"{w:>4}x{h:<4} {k:>3} {n:>6} {med['module']:>10.2f} {med['plain']:>9.2f} {med['lean']:>8.2f} "
              f"{med['module/plain']:>9.3f} {med['module/lean']:>9.3f}", flush=True)


if __name__ == "__main__":
    main()
