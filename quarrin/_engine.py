"""The one place that calls the recorder: `run` takes the recorder's 26 arguments and returns
what happened (frames read and saved, why it stopped, the segment files).

The recorder prints its operator lines with ``print``. They are routed, per recording, to a
stream of the caller's choice (the terminal, a bar-safe writer, or nowhere for --quiet) by a
router installed as ``sys.stdout`` while recordings run; several recordings on threads of one
process each keep their own lines.
"""
import csv
import datetime
import sys
import threading

from quarrin.results import Segment

_SAVED = "Video saved in "


class Outcome:
    def __init__(self, frames_read, frames_saved, stopped, segments, lines):
        self.frames_read, self.frames_saved, self.stopped = frames_read, frames_saved, stopped
        self.segments, self.lines = segments, lines


def run(args, progress=None, pipeline=True, console=None):
    """Runs one recording with the recorder's 26 arguments (a dict by name).

    `progress(frames_read, frames_saved, segment)` is called as the recorder reports; `console`
    receives the recorder's lines (None: dropped). A KeyboardInterrupt that reaches this far
    (the recorder has finalised its files) ends the recording as an interrupt.
    """
    from quarrin import snapwell  # noqa: F401  (registers quarrin._recorder)
    from quarrin._recorder import record

    lines = _Lines(console)
    opened = []
    state = [0, 0]

    def hook(frames_read, frames_saved, segment):
        state[0], state[1] = frames_read, frames_saved
        if segment is not None and (not opened or opened[-1] != segment):
            opened.append(segment)
        if progress is not None:
            progress(frames_read, frames_saved, segment)

    with _routed(lines):
        try:
            frames_read, frames_saved, stopped = record(**args, progress=hook, pipeline=pipeline)
        except KeyboardInterrupt:
            # A Ctrl-C that arrived outside the frame loop: the recorder has closed its files.
            frames_read, frames_saved, stopped = state[0], state[1], "interrupt"
    lines.flush()
    # Segments in the order the recorder announced them, then any only the hook reported.
    names = lines.saved + [name for name in opened if name not in lines.saved]
    return Outcome(frames_read, frames_saved, stopped, [read_segment(v) for v in names], lines)


def read_segment(video):
    """A segment from its CSV: number of frames, first and last timestamp, input indices."""
    path = video + ".csv"
    inframes, stamps = [], []
    try:
        with open(path, newline="") as f:
            rows = csv.reader(f)
            next(rows, None)
            for row in rows:
                if len(row) == 3:
                    inframes.append(int(row[0]))
                    stamps.append(row[2])
    except FileNotFoundError:
        return Segment(video, path, 0, None, None)
    first = datetime.datetime.fromisoformat(stamps[0]) if stamps else None
    last = datetime.datetime.fromisoformat(stamps[-1]) if stamps else None
    return Segment(video, path, len(inframes), first, last, tuple(inframes))


class _Lines:
    """Collects the recorder's lines of one recording and passes them on to `target`."""

    def __init__(self, target):
        if isinstance(target, _Router):
            target = target.original
        self.target, self.partial, self.seen, self.saved = target, "", [], []

    def write(self, text):
        self.partial += text
        while "\n" in self.partial:
            line, self.partial = self.partial.split("\n", 1)
            self._line(line)
        return len(text)

    def flush(self):
        if self.partial:
            line, self.partial = self.partial, ""
            self._line(line)

    def _line(self, line):
        self.seen.append(line)
        if line.startswith(_SAVED):
            self.saved.append(line[len(_SAVED):])
        if self.target is not None:
            self.target.write(line + "\n")
            self.target.flush()


class _Router:
    """Stands in for sys.stdout while recordings run: each thread that started a recording
    writes to that recording's lines; other threads (a recorder's own worker threads) write to
    the only recording in progress, or to the original stream when there are several."""

    def __init__(self, original):
        self.original, self.local, self.active = original, threading.local(), []

    def _target(self):
        target = getattr(self.local, "lines", None)
        if target is None and len(self.active) == 1:
            target = self.active[0]
        return target if target is not None else self.original

    def write(self, text):
        return self._target().write(text)

    def flush(self):
        target = self._target()
        if target is not self.original or not getattr(self.original, "closed", False):
            target.flush()

    def __getattr__(self, name):
        return getattr(self.original, name)


_lock = threading.Lock()
_router = None


class _routed:
    def __init__(self, lines):
        self.lines = lines

    def __enter__(self):
        global _router
        with _lock:
            if _router is None:
                _router = _Router(sys.stdout)
                sys.stdout = _router
            _router.active.append(self.lines)
            _router.local.lines = self.lines

    def __exit__(self, *exc):
        global _router
        with _lock:
            _router.local.lines = None
            _router.active.remove(self.lines)
            if not _router.active:
                if sys.stdout is _router:
                    sys.stdout = _router.original
                _router = None
