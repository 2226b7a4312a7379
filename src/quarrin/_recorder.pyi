# Types of quarrin._recorder, the module quarrin.snapwell registers in sys.modules when it is
# imported (import quarrin.snapwell first): the recorder behind vcapture, for front ends.
import datetime
from typing import Any, Callable, Literal, Protocol, SupportsFloat, SupportsIndex, SupportsInt

import numpy
from _typeshed import structseq
from numpy.typing import NDArray

_Int = SupportsInt
_Number = SupportsFloat | SupportsIndex
_Colour = NDArray[numpy.int32]
_Stopped = Literal["end", "duration", "key", "interrupt", "roi", "unopened"]

class Writer(Protocol):
    """What the writer stage calls: open for each segment, write for each kept frame (BGR uint8,
    and its time), release when the segment ends."""
    def open(self, name: str, fps: float, size: tuple[int, int], /) -> object: ...
    def write(self, frame: NDArray[numpy.uint8], time: datetime.datetime, /) -> object: ...
    def release(self) -> object: ...

class Namer(Protocol):
    """Names the segments instead of the recorder: claim() returns the next segment's name, its
    video and CSV already created; give_back(name) takes back a name whose segment was never
    opened (and removes its two files)."""
    def claim(self) -> str: ...
    def give_back(self, name: str, /) -> object: ...

class Written(structseq[Any], tuple[str, str, int, datetime.datetime | None, datetime.datetime | None,
                                     tuple[tuple[int, int], ...]]):
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

class Outcome(structseq[Any], tuple[int, int, _Stopped, tuple[Written, ...], tuple[()], tuple[()]]):
    @property
    def frames_read(self) -> int: ...
    @property
    def frames_saved(self) -> int: ...
    @property
    def stopped(self) -> _Stopped: ...
    @property
    def segments(self) -> tuple[Written, ...]: ...
    @property
    def events(self) -> tuple[()]: ...
    @property
    def gaps(self) -> tuple[()]: ...

# vcapture's 26 parameters, then the front end's: a progress callback called as
# progress(frames_read, frames_saved, segment) after every frame read (segment is the path of the
# video being written, None before the first opens), the three-thread pipeline, a log for the
# recorder's lines (None: they are printed), a writer object (None: cv2.VideoWriter with fmt), a
# callback told each segment's video once its files are closed, and a namer object (None: the
# recorder names and claims the segments itself).
def record(
    input_: str,
    output: str,
    fmt: str,
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
    writer: Writer | None = None,
    *,
    on_closed: Callable[[str], object] | None = None,
    namer: Namer | None = None,
) -> Outcome: ...

# Opens and reads of live sources that stopped recordings left blocked inside OpenCV, each on a
# thread of its own until its timeout.
def calls_left() -> int: ...
