"""The service's storage budget: one size over every camera's output, and the free space kept on
the file systems they lie on (the cameras file's [storage] table: max_size, min_free).

After any camera's segment closes (its recorder tells the service) and every INTERVAL seconds,
on a thread of its own (quarrin-storage), the cameras' finished segments are walked
(quarrin.listeners.budget.finished_segments); while they take more than max_size, or a file
system holding some of them has less than min_free left, the oldest segments WITHOUT events go
first, across cameras, then the oldest with events. Each camera's own keep_size, keep_days and
keep_event_days are its recorder's to apply.

Never candidates: a camera's newest segment, a segment its recorder holds claimed (the recorder's
Namer locks it shared; the budget takes an exclusive lock before it deletes, and skips what it
cannot lock), a segment that holds a kept event (quarrin.review), a file no camera's output names
or that two name, a video without its CSV. Each removal is one line naming the file, its camera
and why.
"""
import os
import threading

from quarrin import layout
from quarrin.listeners import budget as _budget

INTERVAL = 60.0


class StorageBudget:
    """The budget over the outputs `outputs()` gives (camera name -> output); `out` gets each line.
    `root` is the folder the files are shown relative to (the cameras file's). `configure` sets the
    limits ([storage], as quarrin.service.config reads it); without any, nothing is walked."""

    def __init__(self, outputs, out, storage=None, root=None, interval=INTERVAL):
        self.outputs, self.out, self.root, self.interval = outputs, out, root, interval
        self.max_size = self.min_free = None
        self._facts = {}            # output -> quarrin.listeners.budget.Facts
        self._told = set()
        self._wake = threading.Event()
        self._stop = threading.Event()
        self.configure(storage or {})
        self._thread = None
        self.failure = None         # the last pass's failure, told once

    def configure(self, storage):
        """Takes the [storage] table's limits; whether they changed."""
        was = (self.max_size, self.min_free)
        self.max_size, self.min_free = storage.get("max_size"), storage.get("min_free")
        self._wake.set()   # new limits: a pass at once
        return (self.max_size, self.min_free) != was

    @property
    def limited(self):
        return self.max_size is not None or bool(self.min_free)

    # Running.
    def start(self):
        self._thread = threading.Thread(target=self._run, name="quarrin-storage", daemon=True)
        self._thread.start()
        self._wake.set()   # a first pass at once

    def segment_closed(self, camera=None):
        """A camera's segment has closed: a pass soon (those asked meanwhile make one)."""
        self._wake.set()

    def stop(self):
        self._stop.set()
        self._wake.set()
        if self._thread is not None:
            self._thread.join()
            self._thread = None

    def _run(self):
        while not self._stop.is_set():
            self._wake.wait(self.interval)
            self._wake.clear()
            if self._stop.is_set():
                return
            try:
                self.sweep()
            except Exception as exc:   # a pass that fails is told once; the service goes on
                if str(exc) != self.failure:
                    self.failure = str(exc)
                    self.out("Storage budget: a pass failed: %s" % exc)
            else:
                self.failure = None

    # One pass.
    def sweep(self):
        """Removes what the budget asks, now; returns the videos removed."""
        if not self.limited:
            return []
        cameras = self._patterns()
        candidates, walks, total, spared = [], {}, 0, set()
        for name, (output, pattern) in cameras.items():
            others = [p for other, (_, p) in cameras.items() if other != name]
            facts = self._facts.setdefault(output, _budget.Facts())
            walk = _budget.finished_segments(pattern, others, facts)
            total += sum(seg.size for seg in walk.segments)
            kept = _budget.kept_events(pattern.folder, self._told, self.out, "storage budget")
            walks[name] = (pattern, walk, kept)
            if kept is None:
                continue
            spared |= _newest(walk.segments)
            candidates += [(seg, name) for seg in walk.segments]
        self._facts = {output: self._facts[output] for output, _ in cameras.values() if output in self._facts}
        # The free space each file system lacks (by device), and the device of each camera.
        lacking, devices = {}, {}
        if self.min_free:
            for name, (_, pattern) in cameras.items():
                device, free = _file_system(pattern.folder)
                devices[name] = device
                if free is not None:
                    lacking[device] = (self.min_free - free, free)
        if not (self.max_size is not None and total > self.max_size or any(n > 0 for n, _ in lacking.values())):
            return []   # within the budget: nothing to order
        # (Finished, camera): oldest first, as a Finished begins with its mtime.
        order = sorted(c for c in candidates if not c[0].event) + sorted(c for c in candidates if c[0].event)
        gone, removed = {}, []
        for seg, name in order:
            over = self.max_size is not None and total > self.max_size
            short = lacking.get(devices.get(name), (0, None))
            if not (over or short[0] > 0) or seg.path in spared:
                continue
            pattern, walk, kept = walks[name]
            if kept.holds(seg.path):
                self._tell_kept(seg.path, name)
                continue
            if over:
                why = "storage budget: %s over %s" % (_budget.show_bytes(total), _budget.show_bytes(self.max_size))
            else:
                why = "storage budget: %s free, below %s" % (_budget.show_bytes(max(0, short[1])),
                                                              _budget.show_bytes(self.min_free))
            if not self._remove_segment(seg.path, name, why):
                continue
            gone.setdefault(name, []).append(seg.path)
            removed.append(seg.path)
            total -= seg.size
            if devices.get(name) in lacking:
                need, free = lacking[devices[name]]
                lacking[devices[name]] = (need - seg.size, free + seg.size)
        for name, videos in gone.items():
            pattern, walk, kept = walks[name]
            sweeper = _budget.Sweeper(lambda path, name=name: self._remove(path, name), _locked,
                                      lambda path, why, name=name: self._told_removed(path, name, why))
            sweeper.after(walk, videos, kept, lambda path, name=name: self._tell_kept(path, name))
        return removed

    def _patterns(self):
        """Each camera's (output, Pattern); an output whose names cannot be followed has no candidates."""
        found = {}
        for name, output in self.outputs().items():
            try:
                found[name] = (output, layout.Pattern(output))
            except layout.Unfollowable:
                pass
        return found

    def _remove_segment(self, video, camera, why):
        """Removes a segment unless its recorder holds it; its files are told."""
        with layout.locked_by_other(video) as held:
            if held or not os.path.exists(layout.csv_of(video)):   # claimed, or no segment's (any longer)
                return False
            removed = [path for path in layout.segment_files(video) if self._remove(path, camera)]
        for path in removed:
            self._told_removed(path, camera, why)
        return bool(removed)

    def _remove(self, path, camera):
        try:
            os.remove(path)
        except FileNotFoundError:
            return False
        except OSError as exc:
            self.out("Could not remove %s of camera %s (storage budget): %s" % (self._shown(path), camera,
                                                                                exc.strerror or exc))
            return False
        return True

    def _told_removed(self, path, camera, why):
        self.out("Removed %s of camera %s (%s)" % (self._shown(path), camera, why))

    def _tell_kept(self, path, camera):
        if path not in self._told:
            self._told.add(path)
            self.out("Kept %s of camera %s: it holds a kept event (storage budget)" % (self._shown(path), camera))

    def _shown(self, path):
        if self.root and path.startswith(os.path.join(self.root, "")):
            return os.path.relpath(path, self.root)
        return path


def _newest(segments):
    """A camera's newest segment, and the newest its recorder no longer holds: neither goes."""
    spared = set()
    for seg in reversed(segments):
        spared.add(seg.path)
        with layout.locked_by_other(seg.path) as held:
            if not held:
                break
    return spared


def _locked(path):
    """Whether a recording writes the event list at `path` (it holds its lock; one that cannot be
    opened counts as written)."""
    from quarrin.listeners.eventlist import left_open

    return not left_open(path)


def existing_folder(folder):
    """`folder`, or the nearest folder above it that exists."""
    folder = os.path.abspath(folder)
    while not os.path.isdir(folder) and os.path.dirname(folder) != folder:
        folder = os.path.dirname(folder)
    return folder


def _file_system(folder):
    """(device, free bytes) of the file system of `folder` (free None: unknown)."""
    from quarrin import writers

    folder = existing_folder(folder)
    try:
        device = os.stat(folder).st_dev
    except OSError:
        return None, None
    return device, writers.free_space(folder)


def file_systems(folders):
    """The distinct file systems holding `folders`: (a folder on it, total bytes, free bytes) each,
    by device; those that cannot be looked at are left out."""
    found = {}
    for folder in folders:
        folder = existing_folder(folder)
        try:
            device, st = os.stat(folder).st_dev, os.statvfs(folder)
        except (OSError, AttributeError):
            continue
        found.setdefault(device, (folder, st.f_blocks * st.f_frsize, st.f_bavail * st.f_frsize))
    return list(found.values())
