# Types of quarrin._recorder, the module quarrin.snapwell registers in sys.modules when it is
# imported (import quarrin.snapwell first): the recorder behind vcapture, for front ends.
from typing import Callable, Literal, SupportsFloat, SupportsIndex, SupportsInt

import numpy
from numpy.typing import NDArray

_Int = SupportsInt
_Number = SupportsFloat | SupportsIndex
_Colour = NDArray[numpy.int32]

# vcapture's 26 parameters, plus a progress callback called as
# progress(frames_read, frames_saved, segment) after every frame read (segment is the path of the
# video being written, None before the first opens) and the three-thread pipeline. Returns
# (frames_read, frames_saved, how the recording stopped).
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
) -> tuple[int, int, Literal["end", "duration", "key", "interrupt", "roi", "unopened"]]: ...
