"""The record options, declared once: the table `OPTIONS`.

Each `Option` gives an option's keyword name, its default (as a user writes it), the check that
turns a text or a Python value into the value used, its help, the engine parameters it fills and
where it applies. The command line's parsers and their `--help` defaults, `quarrin.record`'s
keywords (tied to the table by a test), the engine's arguments and `docs/options.md` all come
from here. Everything works on values alone: no file or device is opened.

Messages are neutral (``min_area=-3: must be between 0 and 2147483647``); only the command line
spells them as flags (``--min-area -3: ...``).
"""
import dataclasses
import functools
import math
import numbers
import os
import re
import typing

from quarrin import layout, zones
from quarrin.errors import UsageError, named

VIDEO_EXTENSIONS = (".avi", ".mp4", ".mkv", ".mov", ".m4v", ".mpg", ".mpeg", ".wmv", ".ts")
FOURCC_BY_EXTENSION = {".avi": "MJPG", ".mp4": "mp4v", ".m4v": "mp4v", ".mov": "mp4v", ".mkv": "XVID"}
DEFAULT_FOURCC = "MJPG"
CODECS = ("h264",)
PRESETS = ("ultrafast", "superfast", "veryfast", "faster", "fast", "medium", "slow", "slower", "veryslow")
INT32_MAX = 2**31 - 1


# ---- the checks ---------------------------------------------------------------------------------
# Each takes (name, value) and returns the value to use, or raises UsageError(name, value, why).
# A check of numbers carries its `range`: the engine's check of its own parameters holds the same
# (tests/test_hardening.py walks the table against both).

class Range(typing.NamedTuple):
    """The numbers an option takes: from `low` (above it when `above_low`) to `high` (None: no
    bound); with `zero`, 0 as well (off)."""
    low: float
    high: typing.Optional[float] = None
    above_low: bool = False
    zero: bool = False


def _ranged(check, *bounds, **more):
    check.range = Range(*bounds, **more)
    return check


def flag(name, value):
    if not isinstance(value, (bool, numbers.Integral)):
        raise UsageError(name, value, "expected True or False")
    return bool(value)


def whole(low=None, high=None, what=None):
    """A whole number from `low` to `high`."""
    def check(name, value):
        return _int(name, value, low, high, what)
    return _ranged(check, low, high)


def number(positive=False, high=None, low=None):
    """A finite number, 0 or more (more than 0 when `positive`), at least `low`, at most `high`."""
    def check(name, value):
        value = _float(name, value, positive)
        if low is not None and value < low:
            raise UsageError(name, value, "must be at least %g" % low)
        if high is not None and value > high:
            raise UsageError(name, value, "must be at most %g" % high)
        return value
    return _ranged(check, 0 if low is None else low, high, positive)


def _int(name, value, low=None, high=None, what=None):
    if isinstance(value, str):
        try:
            result = int(value.strip())
        except ValueError:
            raise UsageError(name, value, "expected a whole number") from None
    elif isinstance(value, numbers.Integral) and not isinstance(value, bool):
        result = int(value)
    else:
        raise UsageError(name, value, "expected a whole number")
    if (low is not None and result < low) or (high is not None and result > high):
        raise UsageError(name, value, what or _range_text(low, high))
    return result


def _range_text(low, high):
    if high is None:
        return "must be %d or more" % low
    return "must be between %d and %d" % (low, high)


def _float(name, value, positive=False):
    if isinstance(value, str):
        try:
            result = float(value.strip())
        except ValueError:
            raise UsageError(name, value, "expected a number") from None
    elif isinstance(value, numbers.Real) and not isinstance(value, bool):
        result = float(value)
    else:
        raise UsageError(name, value, "expected a number")
    if not math.isfinite(result):
        raise UsageError(name, value, "expected a finite number")
    if positive and result <= 0:
        raise UsageError(name, value, "must be more than 0")
    if result < 0:
        raise UsageError(name, value, "must be 0 or more")
    return result


def _ints(name, value, count, separator, shape):
    """A tuple of `count` whole numbers from 0 to INT32_MAX: from a text split at `separator`, or
    a sequence."""
    if isinstance(value, str):
        parts = re.split(separator, value.strip())
    elif isinstance(value, (tuple, list)):
        parts = list(value)
    else:
        raise UsageError(name, value, "expected %s" % shape)
    if len(parts) != count:
        raise UsageError(name, value, "expected %s" % shape)
    result = []
    for part in parts:
        try:
            result.append(_int(name, part, 0, INT32_MAX))
        except UsageError:
            raise UsageError(name, value, "expected %s (whole numbers from 0 to %d)" % (shape, INT32_MAX)) from None
    return tuple(result)


def fourcc(name, value):
    if not isinstance(value, str) or len(value) != 4 or not all(" " <= c <= "~" for c in value):
        raise UsageError(name, value, "a codec is named by exactly 4 characters, e.g. MJPG, mp4v, XVID")
    return value


def one_of(*values):
    """One of `values` (texts), in any case."""
    def check(name, value):
        if not isinstance(value, str) or value.strip().lower() not in values:
            raise UsageError(name, value, "expected one of %s" % ", ".join(values))
        return value.strip().lower()
    return check


def size(name, value):
    result = _ints(name, value, 2, r"\s*[xX]\s*", "WxH")
    if 0 in result:
        raise UsageError(name, value, "width and height must be more than 0")
    return result


def region_too_small(width, height):
    """Why a region of `width` x `height` cannot be recorded (None: it can)."""
    if width < layout.MIN_ROI_WIDTH or height < layout.MIN_ROI_HEIGHT:
        return "the region must be at least %d pixels wide and %d high" % (layout.MIN_ROI_WIDTH, layout.MIN_ROI_HEIGHT)
    return None


def roi(name, value):
    result = _ints(name, value, 4, r"\s*,\s*", "X,Y,W,H")
    small = region_too_small(*result[2:])
    if small:
        raise UsageError(name, value, small)
    if result[0] + result[2] > INT32_MAX or result[1] + result[3] > INT32_MAX:
        raise UsageError(name, value, "the region must end before %d" % INT32_MAX)
    return result


def point(name, value):
    return _ints(name, value, 2, r"\s*,\s*", "X,Y")


def areas(name, value):
    """Rectangles X,Y,W,H (each at least 1 by 1) and polygons X1,Y1,X2,Y2,X3,Y3,... (more than four
    numbers: at least three points): one, or a list of them (a repeated option). A rectangle is a
    tuple of 4 ints, a polygon a tuple of (x, y) points."""
    if zones.is_one_area(value):
        value = [value]
    if not isinstance(value, (list, tuple)):
        raise UsageError(name, value, "expected X,Y,W,H rectangles or X1,Y1,X2,Y2,X3,Y3,... polygons")
    result = []
    for item in value:
        given = zones.flat_numbers(item)
        if given is not None and len(given) > 4:
            result.append(zones.polygon(name, item))
            continue
        if given is not None and len(given) < 4:
            raise UsageError(name, item, "expected X,Y,W,H, or a polygon X1,Y1,X2,Y2,X3,Y3,... (more than four "
                                         "numbers)")
        rect = _ints(name, item, 4, r"\s*,\s*", "X,Y,W,H")
        if rect[2] < 1 or rect[3] < 1:
            raise UsageError(name, item, "a rectangle is at least 1 pixel wide and high")
        result.append(rect)
    return tuple(result)


def is_polygon(area):
    """Whether an item of `areas` is a polygon (its points), not a rectangle (X, Y, W, H)."""
    return isinstance(area[0], tuple)


def area_text(area):
    """An item of `areas` as the option takes it: X,Y,W,H or X1,Y1,X2,Y2,..."""
    return zones.points_text(area) if is_polygon(area) else ",".join(map(str, area))


def objects(name, value):
    """Labels of objects: a text split at commas, or a list of labels; each kept as given but for
    the spaces around it, none empty, none twice."""
    if isinstance(value, str):
        given = value.split(",")
    elif isinstance(value, (list, tuple)) and all(isinstance(v, str) for v in value):
        given = list(value)
    else:
        raise UsageError(name, value, "expected labels, e.g. person,car")
    result = []
    for text in given:
        text = text.strip()
        if not text:
            raise UsageError(name, value, "expected labels, e.g. person,car: one is empty")
        if len(text) > 100 or not text.isprintable():
            raise UsageError(name, value, "a label is 1 to 100 printable characters")
        if text in result:
            raise UsageError(name, value, "%s is given twice" % text)
        result.append(text)
    return tuple(result)


def detector(name, value):
    """What finds the objects: a detector's name (quarrin.detectors.NAMES), the path of a model
    file (which must exist; it is read when the recording is prepared), or an object with a
    detect(frame) method, passed as it is."""
    from quarrin import detectors

    if isinstance(value, (str, os.PathLike)):
        path = path_text(name, value, "expected a detector's name or a model file")
        if path.strip().lower() in detectors.NAMES:
            return path.strip().lower()
        if os.path.isdir(path):
            raise UsageError(name, path, "is a folder, not a model file")
        if not os.path.isfile(path):
            raise UsageError(name, path, "no such file: a model file (.onnx) or a detector's name (%s)"
                             % ", ".join(detectors.NAMES))
        return path
    if callable(getattr(value, "detect", None)):
        return value
    raise UsageError(name, value, "expected a detector's name (%s), a model file or an object with a "
                     "detect(frame) method" % ", ".join(detectors.NAMES))


def names_a_file(name, value):
    """Whether option `name` takes `value` as the path of a file (which a cameras file gives
    relative to its folder)."""
    option = BY_NAME.get(name)
    if option is None or not isinstance(value, str):
        return False
    if option.check is detector:
        from quarrin import detectors

        return value.strip().lower() not in detectors.NAMES
    return option.check is file_path


def zone_list(name, value):
    return zones.parse_zones(name, value)


def zone_names(name, value):
    return zones.parse_names(name, value)


def file_path(name, value):
    path = path_text(name, value, "expected a file")
    if not os.path.isfile(path):
        raise UsageError(name, path, "no such file")
    return path


def fraction(name, value):
    result = _float(name, value)
    if not 0 < result <= 1:
        raise UsageError(name, value, "must be above 0 and at most 1")
    return result


_ranged(fraction, 0, 1, above_low=True)


def detect_width(name, value):
    result = _int(name, value, 0, INT32_MAX)
    if 0 < result < 16:
        raise UsageError(name, value, "must be 16 or more (0: full size)")
    return result


_ranged(detect_width, 16, INT32_MAX, zero=True)


SIZE_UNITS = {"": 1, "B": 1, "K": 1 << 10, "M": 1 << 20, "G": 1 << 30, "T": 1 << 40}


def size_bytes(name, value):
    """A size in bytes from 20G, 500M, 1.5T, 800K or a plain number of bytes (units of 1024)."""
    if isinstance(value, numbers.Integral) and not isinstance(value, bool):
        text = str(value)
    elif isinstance(value, str):
        text = value.strip().upper()
        if text.endswith("IB"):  # 20GiB as 20G
            text = text[:-2]
    else:
        raise UsageError(name, value, "expected a size such as 500M or 20G")
    found = re.fullmatch(r"(\d+(?:\.\d+)?)\s*([BKMGT]?)", text)
    if not found:
        raise UsageError(name, value, "expected a size such as 500M or 20G")
    result = int(float(found.group(1)) * SIZE_UNITS[found.group(2)])
    if result > 1 << 60:
        raise UsageError(name, value, "is too large")
    return result


def blur(name, value):
    what = "must be an odd number from 1 to 255"
    result = _int(name, value, 1, 255, what)
    if result % 2 == 0:
        raise UsageError(name, value, what)
    return result


def label(name, value):
    """A name to show (a camera's): printable text, 1 to 100 characters, nothing but spaces around it."""
    if not isinstance(value, str) or not value.strip():
        raise UsageError(name, value, "expected a name")
    text = value.strip()
    if len(text) > 100 or not text.isprintable():
        raise UsageError(name, value, "a name is 1 to 100 printable characters")
    return text


# #rrggbb, and the default colours, are read here; the other names from matplotlib's table (whose
# import takes longer than a short recording).
_HEX_COLOUR = re.compile(r"#[0-9a-fA-F]{6}")
_NAMED_HERE = {"black": "#000000", "white": "#ffffff"}


def colour(name, value):
    """A colour name or #rrggbb, as matplotlib reads it, to the recorder's B, G, R triple."""
    if not isinstance(value, str):
        raise UsageError(name, value, "expected a colour name or #rrggbb")
    text = _NAMED_HERE.get(value.strip().lower(), value.strip())
    if _HEX_COLOUR.fullmatch(text):
        return tuple(int(text[at:at + 2], 16) for at in (5, 3, 1))
    from matplotlib import colors

    try:
        r, g, b = colors.to_rgb(text)
    except ValueError:
        raise UsageError(name, value, "unknown colour; use a name (black, orange, ...) or #rrggbb") from None
    return tuple(int(round(c * 255)) for c in (b, g, r))


# ---- the table ------------------------------------------------------------------------------------

class Excludes(typing.NamedTuple):
    """An option that cannot be given together with `other` (declared before it in the table). A
    `pair` is two ways of doing one thing: the command line takes one of them (a mutually exclusive
    group) and the message names both, ending with `why`; otherwise `why` is the option's own
    message."""
    other: str
    why: str
    pair: bool = True


# Why an option of motion events is refused without --motion.
NEEDS_MOTION = "works on motion; it needs %s" % named("motion")


@dataclasses.dataclass(frozen=True)
class Option:
    """One record option. `default` is written as a user writes it; `check(name, value)` turns a
    text or a Python value into the value used. `metavar` None makes a flag (``--motion``);
    `negated` a flag that turns a default-on option off (``--no-pipeline``)."""
    name: str
    default: object
    check: typing.Callable
    help: str
    metavar: typing.Optional[str] = None
    group: str = "output"
    engine: tuple = ()                  # engine parameters it fills (a tuple value is spread)
    to_engine: typing.Optional[typing.Callable] = None  # the value as the engine takes it
    camera: bool = False                # applies to a camera only
    batch: bool = True                  # available in batch
    shown: typing.Optional[str] = None  # the default as --help states it, when not the value itself
    negated: bool = False
    short: typing.Optional[str] = None
    scan: bool = False                  # available in scan (which finds events, writes no video)
    live: bool = False                  # applies to a live source only
    repeat: bool = False                # may be given more than once (a list of values)
    scan_default: typing.Any = None     # the default in scan, when not `default`
    service_default: typing.Any = None  # the default of a motion camera under serve --config, when not `default`
    needs_motion: str = ""              # given without --motion, it is refused with this reason
    excludes: typing.Union[Excludes, tuple, None] = None  # one Excludes, or a tuple of them
    spelled: typing.Optional[str] = None  # the command line's name, when not the keyword's
    bare: typing.Any = None             # the value of the flag given without one (``--x [VALUE]``)

    @property
    def rules(self):
        """The options this one excludes (Excludes), as a tuple."""
        if self.excludes is None:
            return ()
        return (self.excludes,) if isinstance(self.excludes, Excludes) else self.excludes

    @property
    def flag(self):
        return "--" + ("no-" if self.negated else "") + (self.spelled or self.name).replace("_", "-")

    @property
    def is_flag(self):
        return self.metavar is None

    @property
    def usage(self):
        """The flag as a user writes it: ``--x``, ``--x VALUE`` or ``--x [VALUE]``."""
        if self.is_flag:
            return self.flag
        return "%s %s" % (self.flag, self.metavar if self.bare is None else "[%s]" % self.metavar)

    def default_text(self, scan=False, service=False):
        if scan and self.scan_default is not None:
            return str(self.scan_default)
        if service and self.service_default is not None:
            return "%g" % self.service_default
        if self.shown is not None:
            return self.shown
        if self.is_flag:
            return "on" if self.default else "off"
        if isinstance(self.default, tuple):
            return ",".join(str(v) for v in self.default)
        return str(self.default)

    def help_text(self, scan=False):
        return "%s (default: %s)" % (self.help, self.default_text(scan))


def _colour_array(bgr):
    import numpy as np

    return np.array(bgr, np.int32)


GROUPS = {"output": "output", "camera": "camera (a camera source only)",
          "selection": "region and frame selection", "events": "motion events (with --motion)",
          "overlay": "timestamp overlay", "live": "live sources (a URL or a device path)",
          "disk": "disk space (the budget deletes the oldest finished segments of OUTPUT first)", "running": "running",
          "notify": "notifications (of motion events, as they begin and end)"}
_TUNES_H264 = Excludes("fourcc", "tunes H.264; %s chooses an OpenCV writer" % named("fourcc"), pair=False)

OPTIONS = (
    Option("fourcc", None, fourcc, "OpenCV codec of the output video; not with --codec", "CODE",
           shown="by the output's extension: .avi MJPG; .mp4, .mkv H.264 when PyAV is installed, else mp4v, "
                 "XVID; .m4v, .mov mp4v; others MJPG"),
    Option("codec", None, one_of(*CODECS), "write H.264 through PyAV (quarrin[h264]) into .mp4 or .mkv; not with "
           "--fourcc", "h264", shown="h264 for .mp4 and .mkv when PyAV is installed, else --fourcc's",
           excludes=Excludes("fourcc", "%s names an OpenCV codec, %s h264 writes through PyAV"
                                             % (named("fourcc"), named("codec")))),
    Option("quality", 23, whole(0, 51), "H.264 quality: x264's CRF, 0 (lossless) to 51; each 6 lower about "
           "doubles the size", "CRF", excludes=_TUNES_H264),
    Option("speed", "ultrafast", one_of(*PRESETS), "H.264 speed: x264's preset, %s; slower presets make "
           "smaller files" % ", ".join(PRESETS), "PRESET", excludes=_TUNES_H264),
    Option("audio", True, flag, "drop the source's sound, which .mp4 and .mkv outputs keep (its packets copied "
           "where the container takes their codec, else encoded to AAC) and other outputs say they do not",
           negated=True, shown="kept in .mp4 and .mkv"),
    Option("fps", 0, whole(0, 1000), "frame rate to ask of the camera and declare in the video", "N",
           "camera", engine=("fps",), camera=True, batch=False,
           shown="0 = the camera's own, 30 if it reports none"),
    Option("size", None, size, "frame size to ask of the camera", "WxH", "camera", engine=("width", "height"),
           to_engine=lambda v: v or (0, 0), camera=True, batch=False, shown="the camera's own"),
    Option("camera_settings", False, flag, "open the camera driver's settings dialog", group="camera",
           engine=("config",), camera=True, batch=False),
    Option("roi", None, roi, "region to keep, in pixels; at least %d wide and %d high"
           % (layout.MIN_ROI_WIDTH, layout.MIN_ROI_HEIGHT), "X,Y,W,H", "selection",
           engine=("roi_x", "roi_y", "roi_w", "roi_h"), shown="the whole frame", scan=True),
    Option("motion", False, flag, "save only the frames in which something moves", group="selection",
           engine=("motion_based",)),
    Option("interval", 0.0, number(), "save one frame every SECONDS at most; not with --motion", "SECONDS",
           "selection", engine=("interval",), shown="0 = every frame",
           excludes=Excludes("motion", "choose one way of selecting frames")),
    Option("threshold", 25, whole(0, 255), "motion: pixel change that counts, 0-255", "N", "selection",
           engine=("threshold",), scan=True),
    Option("min_area", 500, whole(0, INT32_MAX), "motion: smallest changed area in pixels", "PX", "selection",
           engine=("min_area",), scan=True),
    Option("blur", 21, blur, "motion: blur kernel width, odd, 1-255", "K", "selection", engine=("kernel_width",),
           scan=True),
    Option("show_diff", False, flag, "motion: show the difference images in windows", group="selection",
           engine=("show_diff",), batch=False,
           needs_motion="shows the motion check's images; it needs %s" % named("motion")),
    Option("duration", 0.0, number(), "stop after SECONDS of input", "SECONDS", "selection",
           engine=("duration",), shown="0 = until the input ends", scan=True),
    Option("segment_frames", 0, whole(0, INT32_MAX - 1), "start a new numbered file every N saved frames", "N",
           "selection", engine=("max_frames",), shown="0 = one file"),
    # A recording saves exactly the frames that move; a scan lists stretches with something happening,
    # and a camera of the service keeps events a person watches, with what comes before and after.
    Option("before", 0.0, number(high=3600), "keep the SECONDS before each event's first motion", "SECONDS",
           "events", engine=("before",), scan=True, service_default=2.0, needs_motion=NEEDS_MOTION),
    Option("after", 0.0, number(high=3600), "keep the SECONDS after its last motion; motion within them "
           "extends the event", "SECONDS", "events", engine=("after",), scan=True, scan_default=2,
           service_default=5.0, needs_motion=NEEDS_MOTION),
    Option("min_event", 0.0, number(high=3600), "drop an event whose motion lasts less than SECONDS",
           "SECONDS", "events", engine=("min_event",), scan=True, scan_default=0.1, service_default=0.5,
           needs_motion=NEEDS_MOTION),
    Option("ignore", (), areas, "a rectangle of the frame, or a polygon (more than four numbers: X1,Y1,X2,Y2,"
           "X3,Y3,...), where change never counts as motion; repeat for more", "X,Y,W,H", "events", scan=True,
           repeat=True, shown="none", needs_motion=NEEDS_MOTION),
    Option("mask", None, file_path, "image of the frame's size: where it is black, change never counts as "
           "motion", "FILE", "events", scan=True, shown="none", needs_motion=NEEDS_MOTION),
    Option("max_changed", 1.0, fraction, "a frame with more than this share of the region changed is a "
           "lighting change: no motion, a new reference", "FRACTION", "events", engine=("max_changed",),
           scan=True, shown="1 = off", needs_motion=NEEDS_MOTION),
    Option("detect_width", 0, detect_width, "check motion on frames scaled down to W pixels wide", "W",
           "events", engine=("detect_width",), scan=True, shown="full size", needs_motion=NEEDS_MOTION),
    Option("objects", (), objects, "keep only the events in which the detector finds one of these objects "
           "(labels of its model, e.g. person,car), looking at frames with motion", "LABELS", "events", scan=True,
           shown="none: every motion event", needs_motion=NEEDS_MOTION),
    Option("detector", None, detector, "what finds the objects: hog (people only, no model file needed) or an "
           "ONNX model file", "NAME_OR_FILE", "events", scan=True, shown="hog for --objects person, else required",
           needs_motion=NEEDS_MOTION),
    Option("labels", None, file_path, "the model's class names, one a line, in its class order (with a model "
           "file)", "FILE", "events", scan=True, shown="the 80 COCO names for an 80-class model",
           needs_motion=NEEDS_MOTION),
    Option("min_score", 0.5, number(high=1), "a detection counts from this score (0 to 1)", "S", "events",
           scan=True, needs_motion=NEEDS_MOTION),
    Option("detect_fps", 2.0, number(positive=True, high=100), "look for objects in at most N frames with "
           "motion per second of input, above 0 and at most 100", "N", "events", scan=True,
           needs_motion=NEEDS_MOTION),
    Option("zones", (), zone_list, "a named polygon of the region (its pixels, points from 0,0 to its width,"
           "height): each event lists the zones its objects (their box's bottom centre), or without --objects its "
           "motion, entered; repeat for more", "NAME=X1,Y1,X2,Y2,X3,Y3,...", "events", scan=True, repeat=True,
           shown="none", needs_motion=NEEDS_MOTION, spelled="zone"),
    Option("require_zone", (), zone_names, "keep only the events that entered this zone (or another one "
           "given so); repeat for more", "NAME", "events", scan=True, repeat=True, shown="any place",
           needs_motion=NEEDS_MOTION),
    Option("split", None, one_of("events"), "events: each event, with its --before and --after, in a file of its "
           "own (numbered, or named by OUTPUT's strftime fields); frames between events are not saved", "HOW",
           "events", engine=("split_events",), to_engine=lambda v: v == "events",
           shown="by --segment-frames and --segment-seconds only", needs_motion=NEEDS_MOTION),
    Option("boxes", False, flag, "draw a box in --box-colour around the motion on each saved frame with motion",
           group="events", engine=("boxes",), needs_motion=NEEDS_MOTION),
    Option("snapshots", True, flag, "write no picture of the events (each event's frame with the largest motion, "
           "boxed in --box-colour, as <event list without .csv>/0001.jpg, ...)", group="events", negated=True,
           shown="a picture per event"),
    Option("name", None, label, "the camera's name in the event list and the event index", "NAME",
           shown="the output's file name without times, dates and numbers"),
    Option("segment_seconds", 0.0, number(high=1e7), "start a new file every SECONDS of recording time (wall "
           "clock for a live source, input time for a file); with --segment-frames, whichever comes first",
           "SECONDS", "selection", engine=("segment_seconds",), shown="0 = by frames only"),
    Option("timestamp", False, flag, "draw each frame's timestamp into it", group="overlay",
           engine=("timestamp",)),
    Option("box_colour", "black", colour, "colour of the box behind the text, and of the boxes around motion "
           "(--boxes, event pictures): a name or #rrggbb", "C", "overlay", engine=("tb",), to_engine=_colour_array,
           scan=True),
    Option("text_colour", "white", colour, "colour of the text: a name or #rrggbb", "C", "overlay",
           engine=("tc",), to_engine=_colour_array),
    Option("text_at", (10, 20), point, "where the text starts (its baseline) in the region; it must lie inside it",
           "X,Y", "overlay",
           engine=("tx", "ty")),
    Option("font_scale", 0.5, number(positive=True, high=10), "size of the text, above 0 and at most 10", "F",
           "overlay", engine=("fs",)),
    # FFmpeg takes these timeouts in whole milliseconds, and 0 would mean none.
    Option("open_timeout", 10.0, number(low=0.001, high=3600), "a live source that does not open within "
           "SECONDS is an error", "SECONDS", "live", engine=("open_timeout",), batch=False, live=True),
    Option("stall", 10.0, number(low=0.001, high=3600), "no frame from a live source for SECONDS: its signal "
           "is lost", "SECONDS", "live", batch=False, live=True),
    Option("reconnect", None, number(high=1e7), "try for SECONDS in all to get a lost live source back (waiting "
           "1, 2, 4, ... up to 30 s between tries); 0: stop at the first loss", "SECONDS", "live",
           engine=("reconnect",), batch=False, live=True, shown="300"),
    Option("keep_size", None, size_bytes, "after each segment closes, delete the oldest finished segments of "
           "this OUTPUT (video, CSV, event list), those without events first, while they take more than SIZE (K, M, "
           "G, T: units of 1024)",
           "SIZE", "disk", batch=False, shown="no limit"),
    Option("keep_days", None, number(positive=True, high=1e5), "likewise delete finished segments older than D "
           "days", "D", "disk", batch=False, shown="no limit"),
    Option("keep_event_days", None, number(positive=True, high=1e5), "delete finished segments that hold a frame "
           "of an event by age only after D days, the others by --keep-days; not shorter than --keep-days", "D",
           "disk", batch=False, shown="as --keep-days"),
    Option("min_free", "100M", size_bytes, "stop the recording cleanly, with its files complete, before free space "
           "on the output's file system falls below SIZE (K, M, G, T: units of 1024); 0: no limit", "SIZE", "disk"),
    Option("preview", False, flag, "show the saved frames in a window; q or Esc stops", group="running",
           engine=("interactive",), batch=False),
    Option("pipeline", True, flag, "record on one thread instead of decoding, selecting and encoding on three",
           group="running", engine=("pipeline",), negated=True, shown="pipelined", scan=True),
    # The packets go into the file as they come: nothing may change a frame, or choose its encoder.
    Option("copy", False, flag, "save the source's own H.264/H.265 packets (a file or a URL) without "
           "re-encoding them, into .mp4 or .mkv; motion is still checked on every frame", batch=False,
           excludes=tuple(Excludes(other, "saves the source's packets as they are; %s %s" % (named(other), why),
                                   pair=False)
                          for other, why in (
                              ("fourcc", "chooses an encoder"),
                              ("codec", "chooses an encoder"),
                              ("quality", "tunes the encoder"),
                              ("speed", "tunes the encoder"),
                              ("size", "asks the camera for another frame size"),
                              ("interval", "drops frames that later ones need"),
                              ("show_diff", "shows the motion check's windows of new pixels"),
                              ("timestamp", "draws into the frames, which needs them re-encoded"),
                              ("preview", "shows the frames, which it does not make"),
                              ("boxes", "draws into the frames, which needs them re-encoded")))),
)


def _notifier_rows():
    import sys

    from quarrin.listeners import registry

    return registry.option_rows(sys.modules[__name__])


# The notifiers' own rows (each declared in its module of quarrin.listeners) come last.
OPTIONS += _notifier_rows()
BY_NAME = {o.name: o for o in OPTIONS}
UsageError.SPELLED.update({o.name: o.spelled for o in OPTIONS if o.spelled})
UsageError.FLAGS.update({o.name: o.flag for o in OPTIONS})
FIELDS = tuple(BY_NAME)
CAMERA_OPTIONS = tuple(o.name for o in OPTIONS if o.camera)
LIVE_OPTIONS = tuple(o.name for o in OPTIONS if o.live)
LIVE_RECONNECT = 300.0
NOT_IN_BATCH = tuple(o.name for o in OPTIONS if not o.batch)
IN_SCAN = tuple(o.name for o in OPTIONS if o.scan)
SCAN_DEFAULTS = {o.name: o.scan_default for o in OPTIONS if o.scan_default is not None}
# A camera of `quarrin serve --config` that records motion takes these unless its file says otherwise.
SERVICE_DEFAULTS = {o.name: o.service_default for o in OPTIONS if o.service_default is not None}
# A camera's own keys under `quarrin serve --config` that are not record options: its live view's.
SERVICE_OPTIONS = (
    Option("live_width", 640, whole(16, 8192), "the live view's images are at most W pixels wide", "W", "service",
           batch=False),
    Option("live_fps", 2.0, number(positive=True, high=30), "the live view sends at most N images a second while "
           "a page watches", "N", "service", batch=False),
)
SERVICE_BY_NAME = {o.name: o for o in SERVICE_OPTIONS}
# The options of each pair that exclude each other, by the name of the pair's first.
PAIRED = {name: r.other for o in OPTIONS for r in o.rules if r.pair for name in (o.name, r.other)}


def _field(option):
    default = None if option.default is None else option.check(option.name, option.default)
    return option.name, typing.Any, dataclasses.field(default=default)


def _given(self, name):
    """True when the option differs from its default."""
    return getattr(self, name) != getattr(_made()[1], name)


@functools.cache
def _made():
    """`Options` and `DEFAULTS`, made on first use (by checking every default), not when
    `import quarrin` runs."""
    made = dataclasses.make_dataclass("Options", [_field(o) for o in OPTIONS], frozen=True,
                                      namespace={"given": _given, "__module__": __name__,
                                                 "__doc__": "Checked record options (see OPTIONS)."})
    made.__reduce__ = _reduce  # picklable, for batch workers
    return made, made()


def _reduce(self):
    # The values as they are (asdict would copy each one deeply, a detector object of the caller's too).
    return _rebuild, ({f.name: getattr(self, f.name) for f in dataclasses.fields(self)},)


def _rebuild(values):
    return _made()[0](**values)


def __getattr__(name):
    if name == "Options":
        return _made()[0]
    if name == "DEFAULTS":
        return _made()[1]
    raise AttributeError("module %r has no attribute %r" % (__name__, name))


def check_record_options(**given):
    """Validates record options given by keyword (texts or Python values) into `Options`; a
    value of None keeps the default."""
    unknown = sorted(set(given) - set(FIELDS))
    if unknown:
        raise TypeError("unexpected option %s" % ", ".join(repr(name) for name in unknown))
    values = {name: BY_NAME[name].check(name, value) for name, value in given.items() if value is not None}
    opts = _made()[0](**values)
    for option in OPTIONS:
        for rule in option.rules:
            if not (opts.given(option.name) and opts.given(rule.other)):
                continue
            if rule.pair:
                raise UsageError(None, None, "%s and %s cannot be combined: %s"
                                 % (named(rule.other), named(option.name), rule.why))
            raise UsageError(option.name, getattr(opts, option.name), rule.why)
    if opts.keep_event_days is not None and opts.keep_days is not None and opts.keep_event_days < opts.keep_days:
        raise UsageError("keep_event_days", opts.keep_event_days, "is shorter than %s %g: segments with events "
                         "would go before those without" % (named("keep_days"), opts.keep_days))
    if not opts.motion:
        for option in OPTIONS:
            if option.needs_motion and opts.given(option.name):
                raise UsageError(option.name, getattr(opts, option.name), option.needs_motion)
    return _detection(opts)


# The options that tune how the objects of --objects are found.
ON_OBJECTS = ("detector", "labels", "min_score", "detect_fps")


def _detection(opts):
    """--objects, --detector, --labels and --require-zone together: what cannot work is refused,
    and a list of just person gets the detector that needs no model file (hog)."""
    from quarrin import detectors

    if not opts.objects:
        for name in ON_OBJECTS:
            if opts.given(name):
                raise UsageError(name, getattr(opts, name), "works on the objects that confirm events; it needs "
                                 "%s (e.g. %s person)" % (named("objects"), named("objects")))
    found = opts.detector
    if opts.objects and found is None:
        if opts.objects != ("person",):
            raise UsageError("objects", opts.objects, "objects other than person need a detector model: %s "
                             "FILE.onnx" % named("detector"))
        found = "hog"
    others = [label for label in opts.objects if label != "person"]
    if found == "hog" and others:
        raise UsageError("objects", opts.objects, "hog finds people only; %s need%s a detector model: %s FILE.onnx"
                         % (",".join(others), "s" if len(others) == 1 else "", named("detector")))
    if opts.labels is not None and not (isinstance(found, str) and found not in detectors.NAMES):
        raise UsageError("labels", opts.labels, "goes with a model file (%s FILE.onnx), not with %s"
                         % (named("detector"), found if isinstance(found, str) else "a detector object"))
    zones.parse_names("require_zone", opts.require_zone, opts.zones)
    return opts if found is opts.detector else dataclasses.replace(opts, detector=found)


def engine_arguments(opts, **resolved):
    """The engine parameters the options fill, by name. `resolved` overrides an option's value
    where the source decided it (the region, the rate, the codec)."""
    args = {}
    for option in OPTIONS:
        if not option.engine:
            continue
        value = resolved[option.name] if option.name in resolved else getattr(opts, option.name)
        if option.to_engine is not None:
            value = option.to_engine(value)
        if len(option.engine) == 1:
            args[option.engine[0]] = value
        else:
            args.update(zip(option.engine, value))
    return args


def markdown():
    """The option reference (docs/options.md)."""
    lines = ["# Options of `quarrin record`, `quarrin batch` and `quarrin scan`", "",
             "Generated from `quarrin.options.OPTIONS` (`python -m quarrin.options > docs/options.md`). Each "
             "option is also a keyword of `quarrin.record`, `quarrin.batch` and `quarrin.scan`, with underscores.", "",
             "| option | keyword | default | what it does | where |", "|---|---|---|---|---|"]
    for o in OPTIONS:
        where = ("camera only" if o.camera else "live source only" if o.live
                 else "record only" if not o.batch else "record, batch")
        where += ", scan" if o.scan else ""
        name = o.usage
        default = o.default_text() + ("" if o.scan_default is None else "; scan: %s" % o.default_text(scan=True)) + (
            "" if o.service_default is None else "; a motion camera of the service: %s" % o.default_text(service=True))
        lines.append("| `%s` | `%s` | %s | %s | %s |" % (name, o.name, default, o.help, where))
    lines += ["", "A camera of `quarrin serve --config FILE` also takes these keys, which are no record options:", "",
              "| key | default | what it does |", "|---|---|---|"]
    lines += ["| `%s` | %s | %s |" % (o.name, o.default_text(), o.help) for o in SERVICE_OPTIONS]
    return "\n".join(lines) + "\n"


# ---- sources and paths (what a SOURCE names: quarrin.sources) ------------------------------------------

# A query parameter whose name holds one of these, in any case, carries a secret: password,
# loginpas, pwd, api_key, access_token, client_secret, auth, X-Amz-Signature, ...
SECRET_NAME_PARTS = ("pas", "pwd", "key", "token", "secret", "auth", "sig")
_SECRET_PARAMETER = re.compile(r"(?i)([?&;][^=&;#]*(?:%s)[^=&;#]*=)[^&;#]*" % "|".join(SECRET_NAME_PARTS))
# What may follow the "@" that ends a URL's user part: a host (a name, an IPv4 or [IPv6] address)
# with its port, up to the path, the query or the end.
_HOST_AFTER_AT = re.compile(r"@(?:\[[0-9A-Fa-f:.]*\]|[A-Za-z0-9._~%-]*)(?::\d*)?(?=[/?#]|$)")


def shown_source(source):
    """A source as it may be shown anywhere: a URL's password replaced by ***, in its user part
    (everything after the user name up to the last "@" before the host, "/" and "@" included) and
    in any query parameter whose name says it holds a secret (pwd=, loginpas=, api_key=, ...).
    Where the password's end cannot be told, more is masked rather than less."""
    text = str(source)
    if "://" not in text:
        return text
    scheme, rest = text.split("://", 1)
    user_end = re.match(r"[^:/?#@]*", rest).end()
    if user_end < len(rest) and rest[user_end] == ":":
        ats = [m.start() for m in _HOST_AFTER_AT.finditer(rest, user_end)]
        if ats:
            rest = rest[:user_end] + ":***" + rest[ats[-1]:]
    return _SECRET_PARAMETER.sub(r"\1***", scheme + "://" + rest)


def path_text(option, value, expected):
    """`value` as a non-empty text path, or UsageError(option, value, expected)."""
    try:
        path = os.fspath(value)
    except TypeError:
        raise UsageError(option, value, expected) from None
    if not isinstance(path, str) or not path.strip():
        raise UsageError(option, value, expected)
    return path




def check_output(output, option="output"):
    """The output video path: it needs an extension (the container), must not be a directory,
    and its parent must be, or be creatable as, a writable directory. It may hold strftime fields,
    expanded for each segment. Creates nothing."""
    path = path_text(option, output, "expected a file path")
    try:
        now = layout.expand(path)
    except ValueError as exc:
        raise UsageError(option, path, "has a bad %% field (%s); write %%%% for a %% sign" % exc) from None
    if os.path.isdir(now):
        raise UsageError(option, path, "is a directory; give the video file's name")
    ext = os.path.splitext(now)[1]
    if len(ext) < 2:
        raise UsageError(option, path, "needs an extension that names the container (.avi, .mp4, .mkv, ...)")
    check_writable_dir(os.path.dirname(os.path.abspath(now)), option, path)
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


def fourcc_for(path, code):
    return code or FOURCC_BY_EXTENSION.get(os.path.splitext(path)[1].lower(), DEFAULT_FOURCC)


if __name__ == "__main__":
    print(markdown(), end="")
