"""The record options shared by the command line and the Python API: defaults and checks.

Everything here works on values alone (no file or device is opened). The command line hands its
option texts over unchanged, Python callers give numbers and tuples; both go through `check`,
which returns a frozen `Options` or raises `UsageError` naming the option and the value.
"""
import dataclasses
import math
import numbers
import os
import re

from quarrin.errors import UsageError

VIDEO_EXTENSIONS = (".avi", ".mp4", ".mkv", ".mov", ".m4v", ".mpg", ".mpeg", ".wmv", ".ts")
FOURCC_BY_EXTENSION = {".avi": "MJPG", ".mp4": "mp4v", ".m4v": "mp4v", ".mov": "mp4v", ".mkv": "XVID"}
DEFAULT_FOURCC = "MJPG"
MIN_ROI_WIDTH = 8
CAMERA_OPTIONS = ("fps", "size", "camera_settings")


@dataclasses.dataclass(frozen=True)
class Options:
    fourcc: str = None           # None: chosen by the output's extension
    fps: int = 0                 # 0: the camera's own rate
    size: tuple = None           # (width, height) requested from a camera; None: its own
    camera_settings: bool = False
    roi: tuple = None            # (x, y, w, h); None: the whole frame
    motion: bool = False
    threshold: int = 25
    min_area: int = 500
    blur: int = 21
    show_diff: bool = False
    interval: float = 0.0
    duration: float = 0.0
    segment_frames: int = 0      # frames per file; 0: one file
    timestamp: bool = False
    box_colour: tuple = (0, 0, 0)          # B, G, R
    text_colour: tuple = (255, 255, 255)   # B, G, R
    text_at: tuple = (10, 20)
    font_scale: float = 0.5
    preview: bool = False
    quiet: bool = False
    pipeline: bool = True

    def given(self, name):
        """True when the option differs from its default."""
        return getattr(self, name) != getattr(DEFAULTS, name)


FIELDS = tuple(f.name for f in dataclasses.fields(Options))


def check(**given):
    """Validates record options given by keyword (texts or Python values) into `Options`."""
    unknown = sorted(set(given) - set(FIELDS))
    if unknown:
        raise TypeError("unexpected option %s" % ", ".join(repr(name) for name in unknown))
    values = {}
    for name, value in given.items():
        if value is None and name not in ("fourcc", "size", "roi"):
            continue  # not given: keep the default
        values[name] = _CHECKS[name](name, value) if value is not None else None
    opts = Options(**values)
    if opts.motion and opts.interval > 0:
        raise UsageError(None, None, "--motion and --interval cannot be combined: choose one way of "
                                     "selecting frames")
    if opts.show_diff and not opts.motion:
        raise UsageError("show_diff", True, "shows the motion check's images; it needs --motion")
    return opts


def camera_index(source):
    """The camera index when `source` names a camera (an int, or a text of digits), else None."""
    if isinstance(source, bool):
        raise UsageError("source", source, "expected a camera index or a video file")
    if isinstance(source, numbers.Integral):
        index = int(source)
    elif isinstance(source, str) and re.fullmatch(r"\s*[-+]?\d+\s*", source):
        index = int(source)
    else:
        return None
    if index < 0:
        raise UsageError("source", source, "a camera index is 0 or more")
    if index > 2**31 - 1:
        raise UsageError("source", source, "camera index too large")
    return index


def path_text(option, value, expected):
    """`value` as a non-empty text path, or UsageError(option, value, expected)."""
    try:
        path = os.fspath(value)
    except TypeError:
        raise UsageError(option, value, expected) from None
    if not isinstance(path, str) or not path.strip():
        raise UsageError(option, value, expected)
    return path


def check_source_file(source):
    """A video file source must exist and be a file (its contents are checked when it opens)."""
    path = path_text("source", source, "expected a camera index or a video file")
    if not os.path.exists(path):
        raise UsageError("source", path, "no such file")
    if os.path.isdir(path):
        raise UsageError("source", path, "is a directory, not a video file")
    return path


def check_output(output, option="output"):
    """The output video path: it needs an extension (the container), must not be a directory,
    and its parent must be, or be creatable as, a writable directory. Creates nothing."""
    path = path_text(option, output, "expected a file path")
    if os.path.isdir(path):
        raise UsageError(option, path, "is a directory; give the video file's name")
    ext = os.path.splitext(path)[1]
    if len(ext) < 2:
        raise UsageError(option, path, "needs an extension that names the container (.avi, .mp4, .mkv, ...)")
    check_writable_dir(os.path.dirname(os.path.abspath(path)), option, path)
    return path


def check_writable_dir(directory, option, shown):
    """`directory` exists as a writable directory, or can be created: its nearest existing
    ancestor is a writable directory and not a file."""
    probe = directory
    while not os.path.exists(probe):
        parent = os.path.dirname(probe)
        if parent == probe:
            break
        probe = parent
    if not os.path.isdir(probe):
        raise UsageError(option, shown, "%s is a file, not a directory" % probe)
    if not os.access(probe, os.W_OK | os.X_OK):
        raise UsageError(option, shown, "cannot write in %s" % probe)


def check_jobs(jobs):
    return _int("jobs", jobs, 1, 1024)


def fourcc_for(path, fourcc):
    return fourcc or FOURCC_BY_EXTENSION.get(os.path.splitext(path)[1].lower(), DEFAULT_FOURCC)


# ---- one check per option ---------------------------------------------------------------------

def _flag(name, value):
    if not isinstance(value, (bool, numbers.Integral)):
        raise UsageError(name, value, "expected True or False")
    return bool(value)


def _int(name, value, low=None, high=None, what=None):
    if isinstance(value, str):
        try:
            number = int(value.strip())
        except ValueError:
            raise UsageError(name, value, "expected a whole number") from None
    elif isinstance(value, numbers.Integral) and not isinstance(value, bool):
        number = int(value)
    else:
        raise UsageError(name, value, "expected a whole number")
    if (low is not None and number < low) or (high is not None and number > high):
        raise UsageError(name, value, what or _range_text(low, high))
    return number


def _range_text(low, high):
    if high is None:
        return "must be %d or more" % low
    return "must be between %d and %d" % (low, high)


def _float(name, value, positive=False):
    if isinstance(value, str):
        try:
            number = float(value.strip())
        except ValueError:
            raise UsageError(name, value, "expected a number") from None
    elif isinstance(value, numbers.Real) and not isinstance(value, bool):
        number = float(value)
    else:
        raise UsageError(name, value, "expected a number")
    if not math.isfinite(number):
        raise UsageError(name, value, "expected a finite number")
    if positive and number <= 0:
        raise UsageError(name, value, "must be more than 0")
    if number < 0:
        raise UsageError(name, value, "must be 0 or more")
    return number


def _ints(name, value, count, separator, shape):
    """A tuple of `count` whole numbers, 0 or more: from a text split at `separator`, or a sequence."""
    if isinstance(value, str):
        parts = re.split(separator, value.strip())
    elif isinstance(value, (tuple, list)):
        parts = list(value)
    else:
        raise UsageError(name, value, "expected %s" % shape)
    if len(parts) != count:
        raise UsageError(name, value, "expected %s" % shape)
    numbers_ = []
    for part in parts:
        try:
            numbers_.append(_int(name, part, 0))
        except UsageError:
            raise UsageError(name, value, "expected %s (whole numbers, 0 or more)" % shape) from None
    return tuple(numbers_)


def _fourcc(name, value):
    if not isinstance(value, str) or len(value) != 4 or not all(" " <= c <= "~" for c in value):
        raise UsageError(name, value, "a codec is named by exactly 4 characters, e.g. MJPG, mp4v, XVID")
    return value


def _size(name, value):
    size = _ints(name, value, 2, r"\s*[xX]\s*", "WxH")
    if 0 in size:
        raise UsageError(name, value, "width and height must be more than 0")
    return size


def _roi(name, value):
    roi = _ints(name, value, 4, r"\s*,\s*", "X,Y,W,H")
    if roi[2] < MIN_ROI_WIDTH or roi[3] < 1:
        raise UsageError(name, value, "the region must be at least %d pixels wide and 1 high" % MIN_ROI_WIDTH)
    return roi


def _blur(name, value):
    what = "must be an odd number from 1 to 255"
    number = _int(name, value, 1, 255, what)
    if number % 2 == 0:
        raise UsageError(name, value, what)
    return number


def _colour(name, value):
    """A colour name or #rrggbb, as matplotlib reads it, to the recorder's B, G, R triple."""
    if not isinstance(value, str):
        raise UsageError(name, value, "expected a colour name or #rrggbb")
    from matplotlib import colors

    try:
        r, g, b = colors.to_rgb(value.strip())
    except ValueError:
        raise UsageError(name, value, "unknown colour; use a name (black, orange, ...) or #rrggbb") from None
    return tuple(int(round(c * 255)) for c in (b, g, r))


_CHECKS = {
    "fourcc": _fourcc,
    "fps": lambda n, v: _int(n, v, 0, 1000),
    "size": _size,
    "camera_settings": _flag,
    "roi": _roi,
    "motion": _flag,
    "threshold": lambda n, v: _int(n, v, 0, 255),
    "min_area": lambda n, v: _int(n, v, 0, 2**31 - 1),
    "blur": _blur,
    "show_diff": _flag,
    "interval": _float,
    "duration": _float,
    "segment_frames": lambda n, v: _int(n, v, 0, 2**31 - 2),
    "timestamp": _flag,
    "box_colour": _colour,
    "text_colour": _colour,
    "text_at": lambda n, v: _ints(n, v, 2, r"\s*,\s*", "X,Y"),
    "font_scale": lambda n, v: _float(n, v, positive=True),
    "preview": _flag,
    "quiet": _flag,
    "pipeline": _flag,
}

DEFAULTS = Options()
