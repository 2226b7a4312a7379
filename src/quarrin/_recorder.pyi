# Types of quarrin._recorder, the module quarrin.snapwell registers in sys.modules when it is
# imported (import quarrin.snapwell first): the recorder behind vcapture, for front ends.
import datetime
from collections.abc import Callable
from typing import Any, Final, Literal, Protocol, SupportsFloat, SupportsIndex, SupportsInt, final

import numpy
from _typeshed import structseq
from numpy.typing import NDArray

_Int = SupportsInt
_Number = SupportsFloat | SupportsIndex
_Colour = NDArray[numpy.int32]
_Frame = NDArray[numpy.uint8]
_Stopped = Literal["end", "duration", "key", "interrupt", "roi", "unopened", "lost"]

class _VideoWriter(Protocol):
    """What the writer stage calls: open for each segment, write for each kept frame (BGR uint8,
    and its time; and the payload the reader handed with it, when it handed one), release when
    the segment ends."""
    def open(self, name: str, fps: float, size: tuple[int, int], /) -> object: ...
    def write(self, frame: _Frame, time: datetime.datetime, /, *payload: _Payload) -> object: ...
    def release(self) -> object: ...

class _StampsWriter(Protocol):
    """A recording's timestamps, one segment at a time: open(name) the segment's CSV (already
    claimed) and writes its header, write(inframe, outframe, timestamp) a row, flushed with its
    frame, close() as the segment ends (what it raises ends the recording)."""
    def open(self, name: str, /) -> object: ...
    def write(self, inframe: int, outframe: int, timestamp: str, /) -> object: ...
    def close(self) -> object: ...

class _Payload(Protocol):
    @property
    def key(self) -> object: ...

class _Reader(Protocol):
    """What the source calls instead of cv2.VideoCapture: open(timeout) (true when it opened; the
    seconds an open may take), read() for each frame ((frame, time), or None at the end: a live
    source's signal lost; or (frame, time, payload): the payload goes with the frame to the
    writer, and a run of saved frames, or a segment, starts only at a frame whose payload's `key`
    is true), release() after each open. After an open, `start` is the recording's time zero and
    `fps` the rate its video declares."""
    @property
    def start(self) -> datetime.datetime: ...
    @property
    def fps(self) -> float: ...
    def open(self, timeout: float, /) -> object: ...
    def read(self) -> tuple[_Frame, datetime.datetime] | tuple[_Frame, datetime.datetime, _Payload | None] | None: ...
    def release(self) -> object: ...

class _Namer(Protocol):
    """Names the segments instead of the recorder: claim(when) returns the name of the next
    segment, whose first frame is timed `when`, its video and CSV already created;
    give_back(name) takes back a name whose segment was never opened (and removes its two
    files)."""
    def claim(self, when: datetime.datetime, /) -> str: ...
    def give_back(self, name: str, /) -> object: ...

@final
class Written(structseq[Any], tuple[str, str, int, datetime.datetime | None, datetime.datetime | None,
                                     tuple[tuple[int, int], ...]]):
    """What one segment holds."""
    __match_args__: Final = ("video", "csv", "frames", "first", "last", "runs")
    @property
    def video(self) -> str: ...
    @property
    def csv(self) -> str: ...
    @property
    def frames(self) -> int: ...
    @property
    def first(self) -> datetime.datetime | None: ...
    @property
    def last(self) -> datetime.datetime | None: ...
    @property
    def runs(self) -> tuple[tuple[int, int], ...]: ...

@final
class Event(structseq[Any], tuple[int, datetime.datetime, datetime.datetime | None, float | None, int, int | None,
                                   int | None, float, str | None]):
    """One motion event; as on_event_start tells it, its end, seconds, last_frame and frames are
    None and its peak_area is the largest so far."""
    __match_args__: Final = ("event", "start", "end", "seconds", "first_frame", "last_frame", "frames", "peak_area",
                             "file")
    @property
    def event(self) -> int: ...
    @property
    def start(self) -> datetime.datetime: ...
    @property
    def end(self) -> datetime.datetime | None: ...
    @property
    def seconds(self) -> float | None: ...
    @property
    def first_frame(self) -> int: ...
    @property
    def last_frame(self) -> int | None: ...
    @property
    def frames(self) -> int | None: ...
    @property
    def peak_area(self) -> float: ...
    @property
    def file(self) -> str | None: ...
    @property
    def peak_frame(self) -> _Frame | None: ...
    @property
    def peak_box(self) -> tuple[int, int, int, int] | None: ...
    @property
    def findings(self) -> Any: ...   # the watcher's findings() (end() once ended), or None

_Gap = tuple[datetime.datetime, datetime.datetime | None]

@final
class Outcome(structseq[Any], tuple[int, int, _Stopped, tuple[Written, ...], tuple[Event, ...], tuple[_Gap, ...]]):
    """What a recording did."""
    __match_args__: Final = ("frames_read", "frames_saved", "stopped", "segments", "events", "gaps")
    @property
    def frames_read(self) -> int: ...
    @property
    def frames_saved(self) -> int: ...
    @property
    def stopped(self) -> _Stopped: ...
    @property
    def segments(self) -> tuple[Written, ...]: ...
    @property
    def events(self) -> tuple[Event, ...]: ...
    @property
    def gaps(self) -> tuple[_Gap, ...]: ...

# vcapture's parameters but fmt, then the front end's (see src/engine/recording/settings.hpp, RecordArgs):
# progress(frames_read, frames_saved, segment) after every frame read (segment: the video being
# written, None before the first opens); the three-thread pipeline; a log for the recorder's lines
# (None: printed); a video writer object (None: cv2.VideoWriter, MJPG) and a stamps writer object
# (None: the recorder writes each segment's CSV itself); motion events and their
# callbacks; a scan; a reader object (None: cv2.VideoCapture of input_), read as a live source
# with `live`; a live source's reopen timeout and reconnect time, its notices and signal changes;
# segments by time and on_segment as each closes; a namer object (None: the recorder names and
# claims the segments itself); on_resize(width, height) -> the region (x, y, w, h) to keep when a
# live source's frames change size. on_event_start, on_event and on_signal are called on the
# caller's thread (the frame rules'), on_segment on the thread that closes the segment (the writer
# stage's, pipelined); each blocks it, and what one raises ends the recording.
def record(
    input_: str,
    output: str,
    fps: _Int,
    interactive: object,
    width: _Int,
    height: _Int,
    roi_x: _Int,
    roi_y: _Int,
    roi_w: _Int,
    roi_h: _Int,
    interval: _Number,
    duration: _Number,
    max_frames: _Int,
    motion_based: object,
    config: object,
    threshold: _Int,
    min_area: _Int,
    kernel_width: _Int,
    timestamp: object,
    show_diff: object,
    tb: _Colour | None,
    tc: _Colour | None,
    tx: _Int,
    ty: _Int,
    fs: _Number,
    progress: Callable[[int, int, str | None], object] | None = None,
    pipeline: object = False,
    log: Callable[[str], object] | None = None,
    video_writer: _VideoWriter | None = None,
    stamps_writer: _StampsWriter | None = None,
    events: object = False,
    before: _Number = 0.0,
    after: _Number = 0.0,
    min_event: _Number = 0.0,
    mask: NDArray[numpy.uint8] | None = None,
    max_changed: _Number = 1.0,
    detect_width: _Int = 0,
    hold_frames: _Int = 0,
    on_event_start: Callable[[Event], object] | None = None,
    on_event: Callable[[Event], object] | None = None,
    scan: object = False,
    reader: _Reader | None = None,
    live: object = False,
    open_timeout: _Number = 10.0,
    reconnect: _Number = 0.0,
    notify: Callable[[str], object] | None = None,
    on_signal: Callable[[Literal["lost", "back"], datetime.datetime], object] | None = None,
    segment_seconds: _Number = 0.0,
    on_segment: Callable[[Written], object] | None = None,
    namer: _Namer | None = None,
    on_resize: Callable[[int, int], tuple[_Int, _Int, _Int, _Int]] | None = None,
    boxes: object = False,
    snapshots: object = False,
    split_events: object = False,
    watcher: Any = None,
) -> Outcome: ...

# Opens and reads of live sources that stopped recordings left blocked inside OpenCV, each on a
# thread of its own until its timeout.
def calls_left() -> int: ...
