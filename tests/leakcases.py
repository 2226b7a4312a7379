"""Leak check of the three entries and of quarrin._recorder.record (sequential and pipelined, with
and without a writer object and a log): every case is one call, on a success path or an error
path, made many times in this process; afterwards the resident set size, the number of Python
memory blocks in use and the reference count of every argument must be where they were, and no
stage thread of the pipeline may be left running.

Run as a program it prints one JSON object per case (tests/test_leaks.py, a few seconds in all)
or a table (scripts/leak_check.py, the long run). Cases that record a video work in a temporary
directory of their own.

    python tests/leakcases.py [--budget SECONDS | --calls N] [--vcapture-calls N] [--json]
"""
import argparse
import contextlib
import datetime
import gc
import json
import os
import sys
import tempfile
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
if HERE not in sys.path:
    sys.path.insert(0, HERE)

import videos  # noqa: E402
from quarrin import snapwell  # noqa: E402
from quarrin._recorder import record  # noqa: E402
from quarrin.writers import OpenCVWriter  # noqa: E402
from fakes import StampsWriter  # noqa: E402

RECORDERS = ("vcapture", "record")


class Boom(Exception):
    pass


class IntRaises:
    def __int__(self):
        raise Boom("__int__")


class IntWrong:
    def __int__(self):
        return "12"


class FloatRaises:
    def __float__(self):
        raise Boom("__float__")


class BoolRaises:
    def __bool__(self):
        raise Boom("__bool__")


class NDSub(np.ndarray):
    pass


def gray_frames(h=16, w=16):
    still = np.full((h, w), 40, np.uint8)
    moved = still.copy()
    moved[4:10, 4:10] = 220
    return still, moved


# ---- the cases: name -> (entry, outcome, make) -----------------------------------------------------
# outcome is what every call gives ("returned X" or the exception's name); make() returns
# (args, kwargs[, before]).
# Each make() builds fresh argument objects, so that their reference counts belong to the case;
# before(args, kwargs), when given, runs ahead of every call.

def motion_cases():
    still, moved = gray_frames()
    colour = np.dstack([moved, moved, moved])

    def pair():
        return np.zeros((16, 16), np.uint8), np.zeros((16, 16), np.uint8)

    def gray(*rest, frame=None, **kw):
        prev, cur = pair()
        return (moved.copy() if frame is None else frame, prev, cur) + rest, kw

    def rgb(*rest, frame=None, **kw):
        prev, cur = pair()
        return (colour.copy() if frame is None else frame, prev, cur) + rest, kw

    def reset_reference(args, kwargs):
        args[1][:] = 0  # the reference is updated on motion: make every call find motion again

    G, R = "check_motion_gray", "check_motion_rgb"
    readonly = np.zeros((16, 16), np.uint8)
    readonly.flags.writeable = False
    return {
        # success: motion found (reference copied), no motion, defaults given by keyword
        "gray-motion": (G, 'returned True', lambda: gray(10, 5) + (reset_reference,)),
        "gray-still": (G, 'returned False', lambda: gray(10, 5, frame=np.zeros((16, 16), np.uint8))),
        "gray-keywords": (G, 'returned False', lambda: gray(threshold=10, min_area=5, kernel_width=3, show_diff=None)),
        "gray-bool-subclass-frame": (G, 'cv2.error', lambda: gray(10, 5, frame=moved.astype(bool).view(NDSub))),
        "rgb-motion": (R, 'returned True', lambda: rgb(10, 5) + (reset_reference,)),
        "rgb-noncontiguous": (R, 'returned False', lambda: rgb(10, 5, frame=np.zeros((16, 32, 3), np.uint8)[:, ::2])),
        # argument errors
        "gray-too-few": (G, 'TypeError', lambda: (gray()[0], {})),
        "gray-too-many": (G, 'TypeError', lambda: gray(1, 2, 3, 4, 5)),
        "gray-unexpected-keyword": (G, 'TypeError', lambda: gray(10, 5, kernel=3)),
        "gray-repeated-keyword": (G, 'TypeError', lambda: gray(10, 5, threshold=3)),
        "gray-text-threshold": (G, 'TypeError', lambda: gray("12", 5)),
        "gray-overflow": (G, 'OverflowError', lambda: gray(2 ** 31, 5)),
        "gray-int-raises": (G, 'Boom', lambda: gray(IntRaises(), 5)),
        "gray-int-wrong-type": (G, 'TypeError', lambda: gray(IntWrong(), 5)),
        "gray-bool-raises": (G, 'Boom', lambda: gray(10, 5, 21, BoolRaises())),
        "gray-list-frame": (G, 'TypeError', lambda: gray(10, 5, frame=[[0]])),
        "gray-wrong-ndim": (G, 'ValueError', lambda: gray(10, 5, frame=np.zeros((4, 4, 1), np.uint8))),
        "gray-wrong-dtype": (G, 'ValueError', lambda: gray(10, 5, frame=np.zeros((4, 4)))),
        "gray-big-endian": (G, 'ValueError', lambda: gray(10, 5, frame=np.zeros((4, 4), ">u2"))),
        "gray-structured": (G, 'ValueError', lambda: gray(10, 5, frame=np.zeros((4, 4), [("a", "u1"), ("b", "u1")]))),
        "rgb-float-frame": (R, 'ValueError', lambda: rgb(10, 5, frame=np.zeros((4, 4, 3), np.float32))),
        "rgb-bool-raises": (R, 'Boom', lambda: rgb(10, 5, show_diff=BoolRaises())),
        "rgb-2d-frame": (R, 'ValueError', lambda: rgb(10, 5, frame=moved.copy())),
        # errors from OpenCV and NumPy inside the check
        "gray-even-kernel": (G, 'cv2.error', lambda: gray(10, 5, 4)),
        "gray-shape-mismatch": (G, 'cv2.error', lambda: ((moved.copy(), np.zeros((8, 8), np.uint8),
                                             np.zeros((16, 16), np.uint8), 10, 5), {})),
        "gray-readonly-cur": (G, 'ValueError', lambda: ((moved.copy(), np.zeros((16, 16), np.uint8), readonly, 10, 5), {})),
        "gray-none-frame": (G, 'cv2.error', lambda: ((None, *pair(), 10, 5), {})),
        "rgb-two-channels": (R, 'cv2.error', lambda: rgb(10, 5, frame=np.zeros((16, 16, 2), np.uint8))),
    }


def capture_cases(workdir):
    clip = videos.moving_clip(os.path.join(workdir, "in.avi"), 4, width=32, height=24, step=4, size=8)
    junk = os.path.join(workdir, "junk.avi")
    with open(junk, "wb") as f:
        f.write(b"not a video\n" * 16)
    out = os.path.join(workdir, "out", "clip.avi")
    os.makedirs(os.path.dirname(out), exist_ok=True)

    def args(**over):
        p = dict(input_=clip, output=out, fmt="MJPG", fps=10, interactive=False, width=0, height=0,
                 roi_x=0, roi_y=0, roi_w=16, roi_h=16, interval=0.0, duration=0.0, max_frames=0,
                 motion_based=False, config=False, threshold=25, min_area=10, kernel_width=5,
                 timestamp=False, show_diff=False, tb=np.array([0, 0, 0], np.int32),
                 tc=np.array([255, 255, 255], np.int32), tx=1, ty=12, fs=0.3)
        p.update(over)
        return (), p

    def positional(**over):
        return tuple(args(**over)[1].values()), {}

    V = "vcapture"
    return {
        # success: plain, gated by motion with segments and the overlay, by position
        "vcapture-plain": (V, 'returned 4', lambda: args()),
        "vcapture-motion-segments-overlay": (V, 'returned 4', lambda: args(motion_based=True, max_frames=2, timestamp=True)),
        "vcapture-positional": (V, 'returned 4', lambda: positional(interval=0.05)),
        # orderly early ends (result 0) and a caught missing path (result = frames read)
        "vcapture-roi-outside": (V, 'returned 0', lambda: args(roi_x=30)),
        "vcapture-unreadable-file": (V, 'returned 0', lambda: args(input_=junk)),
        "vcapture-missing-directory": (V, 'returned 1', lambda: args(output=os.path.join(workdir, "no", "x.avi"))),
        # argument errors
        "vcapture-too-few": (V, 'TypeError', lambda: (positional()[0][:25], {})),
        "vcapture-unexpected-keyword": (V, 'TypeError', lambda: args(input=clip)),
        "vcapture-int-input": (V, 'TypeError', lambda: args(input_=0)),
        "vcapture-overflow": (V, 'OverflowError', lambda: args(tx=-2 ** 31 - 1)),
        "vcapture-float-raises": (V, 'Boom', lambda: args(fs=FloatRaises())),
        "vcapture-colour-ndim": (V, 'ValueError', lambda: args(tb=np.zeros((3, 1), np.int32))),
        "vcapture-colour-dtype": (V, 'ValueError', lambda: args(tc=np.zeros(3, np.int64))),
        "vcapture-region": (V, 'ValueError', lambda: args(roi_h=0)),
        "vcapture-short-colour": (V, 'ValueError', lambda: args(timestamp=True, tb=np.zeros(2, np.int32))),
        # errors once the recording runs (after its clean-up)
        "vcapture-none-input": (V, 'TypeError', lambda: args(input_=None)),
        "vcapture-missing-file": (V, 'FileNotFoundError', lambda: args(input_=os.path.join(workdir, "missing.avi"))),
        "vcapture-short-fourcc": (V, 'TypeError', lambda: args(fmt="MJP")),
        "vcapture-unknown-fourcc": (V, 'RuntimeError', lambda: args(fmt="ABCD")),
        "vcapture-none-output": (V, 'AttributeError', lambda: args(output=None)),
        "vcapture-even-kernel": (V, 'cv2.error', lambda: args(motion_based=True, kernel_width=4)),
        **record_cases(args, workdir),
    }, os.path.dirname(out)


class FailingWriter(OpenCVWriter):
    def write(self, frame, time):
        raise Boom("write")


START = datetime.datetime(2026, 12, 8, 10, 0, 0)


class ScriptedReader:
    """A source as a reader object: each of its first `connections` opens sends `frames`, then its
    end (a live source: its signal is lost); the opens after them fail."""

    def __init__(self, frames, connections=1):
        self.frames, self.connections = frames, connections
        self.opens, self.sent, self.left = 0, 0, []

    def reset(self, args, kwargs):
        self.opens = self.sent = 0

    def open(self, timeout):
        self.opens += 1
        self.start, self.fps, self.left = START, 10.0, list(self.frames)
        return self.opens <= self.connections

    def read(self):
        if not self.left:
            return None
        self.sent += 1
        return self.left.pop(0), START + datetime.timedelta(seconds=self.sent / 10)

    def release(self):
        self.left = []


def square_frames(count, width=32, height=24):
    frames = []
    for i in range(count):
        frame = np.zeros((height, width, 3), np.uint8)
        frame[4:12, 4 * i:4 * i + 8] = 200
        frames.append(frame)
    return frames


def interrupt_at_second_frame(read, saved, segment):
    if read == 2:
        raise KeyboardInterrupt


def reading(make, connections, **over):
    """A recording read through a ScriptedReader, reset before each call."""
    reader = ScriptedReader(square_frames(4), connections)
    return make(reader=reader, **over) + (reader.reset,)


def record_cases(args, workdir):
    """The front end's entry, sequential and pipelined, each with cv2's writer and printed lines or
    with a writer object and a log: success (with motion events too, a reader object and a live
    source), Ctrl-C, and errors raised by the reader, the rules and the writer stage."""
    cases = {}
    for pipeline in (False, True):
        for objects in (False, True):
            def make(pipeline=pipeline, objects=objects, writer=OpenCVWriter, **over):
                a = args(**over)[1]
                del a["fmt"]  # the front end's entry writes MJPG with cv2's writer, or through its object
                a.update(pipeline=pipeline, video_writer=writer("MJPG") if objects else None,
                         log=(lambda line: None) if objects else None)
                return (), a
            name = "record-%s%s-" % ("pipe" if pipeline else "seq", "-obj" if objects else "")
            cases.update({
                name + "segments-overlay": ("record", "returned (4, 4, 'end')", lambda m=make: m(
                    max_frames=2, timestamp=True)),
                # The timestamps through a stamps writer object, beside cv2's writer or a writer object.
                name + "stamps": ("record", "returned (4, 4, 'end')", lambda m=make: m(
                    max_frames=2, stamps_writer=StampsWriter())),
                name + "interrupted": ("record", "returned (2, 2, 'interrupt')", lambda m=make: m(
                    progress=interrupt_at_second_frame)),
                name + "missing-file": ("record", "FileNotFoundError", lambda m=make: m(
                    input_=os.path.join(workdir, "missing.avi"))),
                name + "even-kernel": ("record", "cv2.error", lambda m=make: m(motion_based=True, kernel_width=4)),
                # A reader object, as the front end reads every source.
                name + "reader": ("record", "returned (4, 4, 'end')", lambda m=make: reading(m, 1, live=False)),
                # A live source, opened and read on a worker: lost, back, lost, and not back.
                name + "live": ("record", "returned (8, 8, 'lost')", lambda m=make: reading(
                    m, 2, live=True, reconnect=0.001, on_signal=lambda kind, when: None)),
            })
            if objects:  # a failing writer (cv2's own is only ever opened in MJPG); motion events: frames
                # held back, their peaks kept for pictures, and their callbacks
                cases[name + "writer-fails"] = ("record", "Boom", lambda m=make: m(writer=FailingWriter))
                cases[name + "events"] = ("record", "returned (4, 4, 'end')", lambda m=make: m(
                    motion_based=True, events=True, before=0.2, after=0.2, on_event=lambda event: None,
                    on_event_start=lambda event: None, on_segment=lambda written: None, boxes=True, snapshots=True))
    return cases


# ---- measuring ------------------------------------------------------------------------------------

try:
    import ctypes
    _malloc_trim = ctypes.CDLL(None).malloc_trim
except (ImportError, OSError, AttributeError):
    _malloc_trim = None


def rss_bytes():
    """Resident set size, after handing freed heap memory back to the system (glibc) so that
    only memory still in use counts."""
    if _malloc_trim is not None:
        _malloc_trim(0)
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def shared(obj):
    """None, the booleans and the small ints are shared by the whole process: their reference
    counts move with everything else, so they tell nothing about the call."""
    return obj is None or type(obj) is bool or (type(obj) is int and -5 <= obj <= 256)


def cv2_keeps_file_names():
    """Some OpenCV releases (4.11, for one) keep a reference to the file name given to
    VideoCapture and VideoWriter, one per object made. Then the reference counts of vcapture's
    text arguments measure OpenCV, not this module, and are left out; and every segment name
    the recorder makes stays alive (one block per video file)."""
    import cv2
    name = os.path.join(tempfile.gettempdir(), "quarrin-leak-probe-%d.avi" % os.getpid())
    before = sys.getrefcount(name)
    cv2.VideoCapture(name).release()
    cv2.VideoWriter(name, cv2.VideoWriter_fourcc(*"MJPG"), 10.0, (8, 8)).release()
    if os.path.exists(name):
        os.remove(name)
    return sys.getrefcount(name) != before


def stage_threads(wait=1.0):
    """The pipelined recorder's stage threads (named quarrin-...) still running. A thread just
    joined may stay listed for a moment: a count above 0 is looked at again for up to `wait` s."""
    deadline = time.monotonic() + wait
    while True:
        names = []
        for task in os.listdir("/proc/self/task"):
            try:
                with open("/proc/self/task/%s/comm" % task) as f:
                    names.append(f.read())
            except OSError:  # ended meanwhile
                pass
        count = sum(name.startswith("quarrin-") for name in names)
        if count == 0 or time.monotonic() > deadline:
            return count
        time.sleep(0.01)


def refcounts(args, kwargs, skip_text=False):
    return [sys.getrefcount(a) for a in list(args) + list(kwargs.values())
            if not shared(a) and not (skip_text and type(a) is str)]


def run_case(func, make, calls=None, budget=None, clean=None, skip_text=False):
    """Calls func(*args, **kwargs) `calls` times (or for `budget` seconds) after a warm-up of a
    tenth as many; returns the figures."""
    args, kwargs, *before = make()
    outcome, videos_made = None, 0

    def once():
        nonlocal outcome, videos_made
        for step in before:
            step(args, kwargs)
        try:
            r = func(*args, **kwargs)
            outcome = "returned %r" % (tuple(r[:3]) if hasattr(r, "stopped") else r,)
        except (Exception, KeyboardInterrupt) as exc:  # the error paths are the point
            kind = type(exc)
            outcome = kind.__name__ if kind.__module__ in ("builtins", "__main__", __name__) \
                else "%s.%s" % (kind.__module__.split(".")[0], kind.__name__)
        if clean:
            videos_made += clean()

    def loop(n=None, seconds=None):
        # A time budget still makes enough calls for a leak of one block per call to stand out.
        done, end, least = 0, time.perf_counter() + (seconds or 0), 24 if n is None else n
        while done < least or (seconds is not None and time.perf_counter() < end):
            once()
            done += 1
        return done

    warm = loop(n=max(20, calls // 10)) if calls else loop(seconds=budget / 4)
    gc.collect()
    rss0, blocks0, refs0 = rss_bytes(), sys.getallocatedblocks(), refcounts(args, kwargs, skip_text)
    videos_made = 0
    t0 = time.perf_counter()
    done = loop(n=calls) if calls else loop(seconds=budget)
    elapsed = time.perf_counter() - t0
    gc.collect()
    rss1, blocks1, refs1 = rss_bytes(), sys.getallocatedblocks(), refcounts(args, kwargs, skip_text)
    return {"outcome": outcome, "calls": done, "warmup": warm, "seconds": elapsed,
            "rss_growth": rss1 - rss0, "blocks_growth": blocks1 - blocks0, "threads_left": stage_threads(),
            "ref_growth": [b - a for a, b in zip(refs0, refs1)], "videos": videos_made}


@contextlib.contextmanager
def console_silenced():
    """Sends the console lines of the recordings and OpenCV's own messages (file descriptors 1
    and 2) to /dev/null; yields a file on the original standard output."""
    sys.stdout.flush()
    sys.stderr.flush()
    saved = [os.dup(1), os.dup(2)]
    null = os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(null, 1)
        os.dup2(null, 2)
        with os.fdopen(os.dup(saved[0]), "w") as out:
            yield out
    finally:
        sys.stdout.flush()
        sys.stderr.flush()
        os.dup2(saved[0], 1)
        os.dup2(saved[1], 2)
        for fd in saved + [null]:
            os.close(fd)


def run_all(calls=None, budget=None, vcapture_calls=None, select=None, report=None):
    results = {}
    with tempfile.TemporaryDirectory() as workdir:
        captures, outdir = capture_cases(workdir)

        def clean():
            """Removes the recording's files; returns how many videos it made."""
            names = os.listdir(outdir)
            for name in names:
                os.remove(os.path.join(outdir, name))
            return sum(not name.endswith(".csv") for name in names)

        cases = dict(motion_cases(), **captures)
        skip_text = cv2_keeps_file_names()
        for name, (entry, expected, make) in cases.items():
            if select and not any(s in name for s in select):
                continue
            func = record if entry == "record" else getattr(snapwell, entry)
            if entry in RECORDERS:
                n, seconds = (vcapture_calls, None) if vcapture_calls else (None, 2 * budget)
                results[name] = run_case(func, make, n, seconds, clean, skip_text)
                results[name]["text_refs_skipped"] = skip_text
            else:
                results[name] = run_case(func, make, calls, budget)
            results[name].update(entry=entry, expected=expected)
            if report:
                report(name, results[name])
    return results


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--budget", type=float, default=0.08, help="seconds per case (default 0.08)")
    ap.add_argument("--calls", type=int, help="calls per motion case instead of a time budget")
    ap.add_argument("--vcapture-calls", type=int, help="calls per vcapture and record case")
    ap.add_argument("--json", action="store_true", help="one JSON object per case")
    ap.add_argument("select", nargs="*", help="run only cases whose name contains one of these")
    opts = ap.parse_args(argv)
    with console_silenced() as out:
        run(opts, out)


def run(opts, out):
    def report(name, r):
        if opts.json:
            out.write(json.dumps(dict(r, name=name)) + "\n")
        else:
            out.write("%-34s %9d %8.1f %10.1f %8d %6d %8d  %s\n" % (
                name, r["calls"], r["seconds"], r["rss_growth"] / 1024, r["blocks_growth"],
                sum(map(abs, r["ref_growth"])), r["threads_left"], r["outcome"]))
        out.flush()

    if not opts.json:
        out.write("%-34s %9s %8s %10s %8s %6s %8s  %s\n" % (
            "case", "calls", "seconds", "RSS +KiB", "blocks+", "refs+", "threads", "outcome"))
    run_all(opts.calls, opts.budget, opts.vcapture_calls, opts.select, report)


if __name__ == "__main__":
    main()
