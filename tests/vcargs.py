"""vcapture's 26 arguments by name, and the 25 of them the front end's recorder takes.

Needs only NumPy, so that child programs (tests/programs/) can use it in any environment that
has quarrin installed.
"""
import os

import numpy as np

PARAMS = (
    "input_", "output", "fmt", "fps", "interactive", "width", "height", "roi_x", "roi_y", "roi_w", "roi_h",
    "interval", "duration", "max_frames", "motion_based", "config", "threshold", "min_area", "kernel_width",
    "timestamp", "show_diff", "tb", "tc", "tx", "ty", "fs",
)


def vcapture_args(input_, output, **overrides):
    """A full argument set in the signature's order: pass it as **kwargs, or list(...values()) for the
    positional form. Paths are made str; a name vcapture does not take is a TypeError here."""
    unknown = sorted(set(overrides) - set(PARAMS))
    if unknown:
        raise TypeError("vcapture takes no argument %s" % ", ".join(unknown))
    values = dict(
        input_=os.fspath(input_) if isinstance(input_, os.PathLike) else input_,
        output=os.fspath(output) if isinstance(output, os.PathLike) else output,
        fmt="MJPG", fps=30, interactive=False, width=0, height=0, roi_x=0, roi_y=0, roi_w=64, roi_h=48,
        interval=0.0, duration=0.0, max_frames=0, motion_based=False, config=False, threshold=25, min_area=50,
        kernel_width=21, timestamp=False, show_diff=False, tb=np.array([0, 0, 0], np.int32),
        tc=np.array([255, 255, 255], np.int32), tx=2, ty=20, fs=0.5)
    values.update(overrides)
    return {name: values[name] for name in PARAMS}


# quarrin._recorder.record takes vcapture's arguments but its codec: it writes through a writer object.
RECORD_PARAMS = tuple(name for name in PARAMS if name != "fmt")


def record_args(input_, output, **overrides):
    """vcapture_args() for quarrin._recorder.record (without fmt)."""
    values = vcapture_args(input_, output, **overrides)
    return {name: values[name] for name in RECORD_PARAMS}
