# Types of the compiled module quarrin.snapwell.
#
# Integer parameters take anything with __int__ (a float is truncated) and must fit 32 bits;
# number parameters anything float() takes; flags any object (its truth value). Frames and the
# blurred pair are uint8 arrays (NumPy bool arrays pass as well), the overlay colours int32 arrays
# of at least three elements. None passes the argument checks of every array and text parameter,
# but only tb and tc (read only with timestamp) have a use for it: elsewhere None always ends in an
# error, so the types leave it out.
from typing import SupportsFloat, SupportsIndex, SupportsInt

import numpy
from numpy.typing import NDArray

_Int = SupportsInt
_Number = SupportsFloat | SupportsIndex
_Frame = NDArray[numpy.uint8]
_Colour = NDArray[numpy.int32]

__test__: dict[str, object]

def check_motion_gray(
    gray_cur: _Frame,
    blurred_prev: _Frame,
    blurred_cur: _Frame,
    threshold: _Int,
    min_area: _Int,
    kernel_width: _Int = 21,
    show_diff: object = False,
) -> bool: ...
def check_motion_rgb(
    current: _Frame,
    blurred_prev: _Frame,
    blurred_cur: _Frame,
    threshold: _Int,
    min_area: _Int,
    kernel_width: _Int = 21,
    show_diff: object = False,
) -> bool: ...
def vcapture(
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
) -> int: ...
