"""Objects that confirm motion events, and the zones events enter.

Motion still decides which frames are looked at: the engine hands a `Watch` each frame with motion
of an event under way (``look``), and asks it whether the event is confirmed (``confirmed``)
before the event's held frames are written. With wanted objects, a detector (quarrin.detectors)
looks at some of those frames, at most `detect_fps` a second of input, cropped to the motion's box
with a margin, on a thread of its own (``quarrin-detect``); an event is confirmed by a detection of
a wanted label that reaches `min_score` (and, with required zones, whose box's bottom centre lies in
one of them). Without objects, required zones confirm an event whose motion box overlaps one.

Which frames are looked at follows from their input times alone. For a file the recording waits
for the detector wherever the answer is needed, so that a file gives the same events on any
machine; for a live source the frame loop never waits: a frame that comes while the detector is
busy is not looked at, and a result that comes after its event ended is dropped.

A detector that raises is told in one line (once, until it works again) and the event it failed on
is kept as a motion event with no label: nothing is dropped because the detector broke.
"""
from __future__ import annotations

import queue
import threading
import typing

from quarrin.seams import Box, Detection

# Around the motion's box, the detector also sees this share of the box's size on each side, and
# at least this many pixels: an object is seldom all in motion.
MARGIN = 0.25
MARGIN_PX = 16
# The crop is at least this size (where the region allows): a detector's window needs room.
MIN_CROP = (128, 128)
# Seconds a closing watch waits for its detector to finish what it was given.
CLOSE_WAIT = 10.0
# Frame times come from datetimes, to the microsecond.
_SLACK = 1e-6


class Findings(typing.NamedTuple):
    """What an event has shown: its best detection of a wanted label (`label` "" and `score` None
    when there is none), the zones it entered (in the zones' order), the best detection of each
    label (best first), and the region's frame of the best one with its box (None: none)."""
    label: str = ""
    score: float | None = None
    zones: tuple[str, ...] = ()
    detections: tuple[Detection, ...] = ()
    frame: typing.Any = None
    box: Box | None = None


NOTHING = Findings()


class Counts:
    """Events dropped, by reason, for the recording's summary."""

    def __init__(self) -> None:
        self.without_objects = 0
        self.outside_zones = 0

    def items(self) -> list[tuple[str, int]]:
        return [(why, n) for why, n in (("without objects", self.without_objects),
                                         ("outside the zones", self.outside_zones)) if n]


class _Event:
    """What one candidate or event has shown so far."""

    def __init__(self) -> None:
        self.best: dict[str, Detection] = {}   # label -> its best detection
        self.frame: typing.Any = None          # the frame of the best wanted detection
        self.top: Detection | None = None      # that detection
        self.zones: set[str] = set()
        self.confirmed = False
        self.seen = False                      # a wanted object reached min_score, in a zone or not
        self.broken = False                    # the detector failed on one of its frames


class Watch:
    """The engine's watcher (its `watcher` argument): see the module. `detector` fits
    quarrin.seams.Detector (None: zones only); `zones` are quarrin.zones.Zone; `required` names
    some of them. `notify` gets the line of a detector that fails."""

    def __init__(self, detector: typing.Any = None, wanted: typing.Sequence[str] = (), min_score: float = 0.5,
                 detect_fps: float = 2.0, zones: typing.Sequence[typing.Any] = (),
                 required: typing.Sequence[str] = (), live: bool = False,
                 notify: typing.Callable[[str], object] | None = None, own: bool = True) -> None:
        self.detector = detector
        self.own = own  # the detector is closed with the watch
        self.wanted = tuple(wanted)
        self.min_score = float(min_score)
        self.period = 1.0 / float(detect_fps)
        self.zones = tuple(zones)
        self.required = frozenset(required)
        self.live = live
        self.notify = notify
        self.dropped = Counts()
        self.looked = 0              # frames the detector looked at
        self.skipped = 0             # frames due that a busy detector did not look at (live)
        self.failures = 0
        self._failing = False        # the last call failed: a new failure is not told again
        self._event = _Event()
        self._told = False           # confirmed() said so for the event under way
        self._token = 0              # the event a job belongs to
        self._due = -1e300           # input time from which the next frame may be looked at
        self._lock = threading.Lock()
        self._jobs: queue.Queue[typing.Any] = queue.Queue(maxsize=1)
        self._pending = 0            # jobs handed and not yet done
        self._done = threading.Condition(self._lock)
        self._thread: threading.Thread | None = None
        if detector is not None:
            self._thread = threading.Thread(target=self._work, name="quarrin-detect", daemon=True)
            self._thread.start()

    # ---- the engine's calls (the frame rules' thread) -----------------------------------------------

    def look(self, inframe: int, t: float, image: typing.Any, box: tuple[int, int, int, int] | None) -> None:
        moved = Box(*box) if box is not None else None
        if self.detector is None:
            if moved is not None and self.zones:
                self._entered(_zones().entered_by_motion(self.zones, moved))
            return
        event = self._event
        if event.broken or t + _SLACK < self._due:
            return
        if self.live and self._pending:
            self.skipped += 1
            return
        # Once confirmed, an event's frames are looked at half as often (for its best picture and
        # other labels only). `_told` is what confirmed() last answered, on this thread: for a file,
        # once every detection before it was done, so the choice stays the input's alone.
        self._due = t + (2 * self.period if self._told else self.period)
        # A copy: the overlay draws into the frame once it is written. A copied recording's grey
        # frame is made colour on the detector's thread (it decodes again).
        frame = image if hasattr(image, "bgr") else image.copy()
        region = _crop(frame.shape[1], frame.shape[0], moved)
        with self._lock:
            self._pending += 1
        try:
            self._jobs.put((self._token, frame, region))  # a file's recording waits here for a busy detector
        except BaseException:  # a Ctrl-C while it waits: the job was never handed
            with self._done:
                self._pending -= 1
                self._done.notify_all()
            raise

    def confirmed(self) -> bool:
        if not self.live:
            self._wait()
        if self.detector is None and not self.required:
            return True  # zones are only noted
        with self._lock:
            self._told = self._event.confirmed or self._event.broken
        return self._told

    def findings(self) -> Findings:
        if not self.live:
            self._wait()
        with self._lock:
            return self._findings(self._event)

    def end(self, kept: bool, long_enough: bool) -> Findings:
        if not self.live:
            self._wait()
        with self._lock:
            event = self._event
            self._event = _Event()
            self._told = False
            self._token += 1
        if not kept and long_enough and not event.confirmed and not event.broken:
            if self.detector is not None and not event.seen:
                self.dropped.without_objects += 1
            else:
                self.dropped.outside_zones += 1
        return self._findings(event)

    def close(self) -> None:
        """Stops the detector's thread (what it was doing is dropped) and closes the detector."""
        if self._thread is not None:
            # A detector that never returns keeps its thread (a daemon), not the recording.
            try:
                self._jobs.put(None, timeout=CLOSE_WAIT)
            except queue.Full:
                pass
            self._thread.join(CLOSE_WAIT)
            self._thread = None
        if self.own and callable(getattr(self.detector, "close", None)):
            try:
                self.detector.close()
            except Exception:
                pass

    # ---- what is found ---------------------------------------------------------------------------------

    def _entered(self, names: typing.Iterable[str]) -> None:
        event = self._event
        for name in names:
            event.zones.add(name)
            if name in self.required:
                event.confirmed = True

    def _findings(self, event: _Event) -> Findings:
        if not event.best and not event.zones:
            return NOTHING
        ranked = tuple(sorted(event.best.values(), key=lambda d: -d.score))
        top = event.top
        zones = tuple(z.name for z in self.zones if z.name in event.zones)
        if top is None:
            return Findings("", None, zones, ranked)
        return Findings(top.label, round(top.score, 6), zones, ranked, event.frame, top.box)

    def _wait(self) -> None:
        with self._done:
            while self._pending:
                self._done.wait()

    def _work(self) -> None:
        while True:
            job = self._jobs.get()
            if job is None:
                return
            token, frame, (x, y, w, h) = job
            try:
                if hasattr(frame, "bgr"):
                    frame = frame.bgr()
                found = self.detector.detect(frame[y:y + h, x:x + w])
                found = [_moved(d, x, y) for d in found]
                error = None
            except BaseException as exc:  # the runtime's, or a detector object's: the event is kept as motion
                found, error = [], exc
            with self._done:
                self._pending -= 1
                self.looked += 1
                if token == self._token:
                    self._take(self._event, frame, found, error)
                self._done.notify_all()

    def _take(self, event: _Event, frame: typing.Any, found: list[Detection], error: BaseException | None) -> None:
        if error is not None:
            event.broken = True
            self.failures += 1
            if not self._failing and self.notify is not None:
                self._failing = True
                try:
                    self.notify("The detector failed (%s: %s); events are kept as motion events until it works "
                                "again" % (type(error).__name__, str(error).split("\n")[0]))
                except Exception:
                    pass
            return
        self._failing = False
        for d in found:
            if self.wanted and d.label not in self.wanted:
                continue
            best = event.best.get(d.label)
            if best is None or d.score > best.score:
                event.best[d.label] = d
            if d.score < self.min_score:
                continue
            event.seen = True
            names = _zones().entered_by_object(self.zones, d.box) if self.zones else ()
            event.zones.update(names)
            if self.required and not self.required.intersection(names):
                continue
            event.confirmed = True
            if event.top is None or d.score > event.top.score:
                event.top, event.frame = d, frame


def _moved(d: typing.Any, x: int, y: int) -> Detection:
    """A detection in a crop at (x, y), in the region's pixels, as a Detection (a detector object
    of the caller's may give tuples)."""
    label, score, box = d
    bx, by, bw, bh = box
    return Detection(str(label), min(1.0, max(0.0, float(score))), Box(int(bx) + x, int(by) + y, int(bw), int(bh)))


def _crop(width: int, height: int, box: Box | None) -> tuple[int, int, int, int]:
    """The part of a `width` x `height` region the detector sees for motion in `box`: the box with
    its margin, at least MIN_CROP, within the region (the whole region without a box)."""
    if box is None:
        return (0, 0, width, height)
    grow_x = max(MARGIN_PX, int(box.width * MARGIN))
    grow_y = max(MARGIN_PX, int(box.height * MARGIN))
    x0, x1 = _span(box.x - grow_x, box.x + box.width + grow_x, MIN_CROP[0], width)
    y0, y1 = _span(box.y - grow_y, box.y + box.height + grow_y, MIN_CROP[1], height)
    return (x0, y0, x1 - x0, y1 - y0)


def _span(low: int, high: int, least: int, size: int) -> tuple[int, int]:
    if high - low < least:
        middle = (low + high) // 2
        low, high = middle - least // 2, middle - least // 2 + least
    if low < 0:
        low, high = 0, high - low
    if high > size:
        low, high = max(0, low - (high - size)), size
    return low, high


def _zones() -> typing.Any:
    from quarrin import zones

    return zones
