"""The seams between the engine's frame loop and the objects the front end hands it, as protocols:
what a reader, a video writer, a timestamps writer, a segment namer, a listener and a detector
provide. The classes that fill them (quarrin.sources.Reader and its kinds, the writers of
quarrin.writers, quarrin.layout.Namer, quarrin.listeners.Listener) need not name these: any object
with the same methods and attributes will do, which is what the engine itself asks.

Types only: importing this module loads nothing but `typing` and `datetime`.
"""
from __future__ import annotations

import datetime
import typing

if typing.TYPE_CHECKING:
    from quarrin.results import Event, Segment

# A frame: a BGR uint8 array (height, width, 3), as cv2 gives it. Left open here so that this
# module does not import NumPy.
Frame = typing.Any
# What a reader's read() gives: the frame and its time, or None at the end.
Read = typing.Optional[tuple[Frame, datetime.datetime]]


@typing.runtime_checkable
class Reader(typing.Protocol):
    """A source of frames. `probe()` fills `width`, `height`, `fps` and `frames` and leaves the
    source closed; `open(timeout)` is true when it opened, after which `start` is the recording's
    time zero and `fps` the rate its video declares; `read()` gives ``(frame, time)``, or None at
    the end (a live source: its signal is lost); `release()` closes what an open opened, once
    after each open and harmlessly more often. `kind` is "file", "camera" or "live"."""
    kind: str
    shown: str
    width: int
    height: int
    fps: float
    frames: int | None
    start: datetime.datetime | None
    log: typing.Callable[[str], object] | None

    def probe(self) -> None: ...

    def open(self, timeout: float | None = None) -> bool: ...

    def read(self) -> Read: ...

    def release(self) -> None: ...

    def picture(self, got: tuple[Frame, datetime.datetime]) -> Frame | None: ...


@typing.runtime_checkable
class VideoWriter(typing.Protocol):
    """A segment's video: `open(name, fps, (width, height))`, then `write(frame, time)` for every
    kept frame, `release()` when the segment ends. A failure raises, and the recording ends with
    every file closed. (A writer of copied packets takes each frame's packets as a third argument,
    from the reader that copies them.)"""

    def open(self, name: str, fps: float, size: tuple[int, int]) -> None: ...

    def write(self, frame: Frame, time: datetime.datetime) -> None: ...

    def release(self) -> None: ...


@typing.runtime_checkable
class StampsWriter(typing.Protocol):
    """A segment's timestamps CSV: `open(name)`, then `write(inframe, outframe, timestamp)` for each
    frame written to the video (its number in the source, in the video, and its time), and
    `close()` when the segment ends."""

    def open(self, name: str) -> None: ...

    def write(self, inframe: int, outframe: int, timestamp: datetime.datetime) -> None: ...

    def close(self) -> None: ...


@typing.runtime_checkable
class Namer(typing.Protocol):
    """Names the segments: `claim(when)` the name of the next one, whose first frame is timed
    `when`, its files created; `give_back(name)` for one that was never opened."""

    def claim(self, when: datetime.datetime | None = None) -> str: ...

    def give_back(self, name: str) -> None: ...


@typing.runtime_checkable
class Listener(typing.Protocol):
    """What hears of a recording as it goes (quarrin.listeners has the threads that call it and the
    base class whose methods do nothing)."""

    def on_event_start(self, event: Event) -> None: ...

    def on_event(self, event: Event) -> None: ...

    def on_segment(self, segment: Segment) -> None: ...

    def on_signal(self, kind: str, time: datetime.datetime) -> None: ...

    def close(self) -> None: ...

    def hurry(self) -> None: ...


class Box(typing.NamedTuple):
    """A rectangle in a frame's pixels: its left, top, width and height."""
    x: int
    y: int
    width: int
    height: int


class Detection(typing.NamedTuple):
    """What a detector found in a frame: its label ("person", "car", ...), its score (0 to 1) and
    where it is."""
    label: str
    score: float
    box: Box


@typing.runtime_checkable
class Detector(typing.Protocol):
    """Finds things in frames: `detect(frame)` lists what one holds; `close()` frees what it
    loaded."""

    def detect(self, frame: Frame) -> list[Detection]: ...

    def close(self) -> None: ...
