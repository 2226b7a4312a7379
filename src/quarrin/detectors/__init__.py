"""Detectors: what finds things (people, cars) in a recording's frames.

`load(name_or_path)` gives an object that fits `quarrin.seams.Detector`: `detect(frame)` lists the
`Detection`s in one frame (label, score from 0 to 1, box in that frame's pixels), `close()` frees
what it loaded. What it takes:

- ``"hog"``: OpenCV's HOG people detector (label ``person``), which needs no model file;
- a path to an ONNX model file, run on the CPU (`quarrin.detectors.onnx`), with `labels` the path
  of a file of its class names, one a line, in the model's class order;
- an object of your own with a ``detect`` method, given back as it is.

Everything that cannot work (a missing, unreadable or unknown model, an output it cannot read,
labels that do not fit) raises `quarrin.UsageError` here, before any frame is read. Light to
import: OpenCV and the model runtimes load with the detector that needs them.
"""
from __future__ import annotations

import os
import typing

from quarrin.errors import UsageError
from quarrin.seams import Box, Detector

# The detectors chosen by name rather than by a model file.
NAMES = ("hog",)


def load(name_or_path: typing.Any, labels: typing.Any = None,
         log: typing.Callable[[str], object] | None = None) -> Detector:
    """The detector that `name_or_path` names (see the module). `log` gets one line saying what
    runs it."""
    if not isinstance(name_or_path, (str, os.PathLike)):
        if not callable(getattr(name_or_path, "detect", None)):
            raise UsageError("detector", name_or_path, "neither a detector's name (%s), a model file nor an "
                             "object with a detect(frame) method" % ", ".join(NAMES))
        if labels is not None:
            raise UsageError("labels", labels, "go with an ONNX model file, not with a detector object")
        return typing.cast(Detector, name_or_path)
    if name_or_path == "hog":
        if labels is not None:
            raise UsageError("labels", labels, "go with an ONNX model file: hog finds people only")
        from quarrin.detectors import hog
        return hog.load(log)
    path = os.fspath(name_or_path)
    _check_file("detector", path, "a model file (or a detector's name: %s)" % ", ".join(NAMES))
    names = None
    if labels is not None:
        names = read_labels(labels)
    from quarrin.detectors import onnx
    return onnx.load(path, names, labels, log)


def read_labels(path: typing.Any) -> list[str]:
    """The class names of a labels file: one a line, blank lines skipped, spaces around a name
    dropped."""
    _check_file("labels", path, "a labels file")
    try:
        with open(path, encoding="utf-8-sig") as f:  # (a BOM is no part of the first name)
            names = [line.strip() for line in f]
    except (OSError, UnicodeDecodeError) as e:
        raise UsageError("labels", path, "cannot be read (%s)" % _why(e)) from None
    names = [n for n in names if n]
    if not names:
        raise UsageError("labels", path, "holds no class names (one a line)")
    return names


def _check_file(option: str, path: typing.Any, what: str) -> None:
    if not os.path.exists(path):
        raise UsageError(option, path, "no such file: %s" % what)
    if os.path.isdir(path):
        raise UsageError(option, path, "is a folder, not %s" % what)
    if not os.access(path, os.R_OK):
        raise UsageError(option, path, "cannot be read (permission denied)")


def _why(e: BaseException) -> str:
    return getattr(e, "strerror", None) or str(e).split("\n")[0]


def box_in(x1: float, y1: float, x2: float, y2: float, width: int, height: int) -> Box | None:
    """The box from (x1, y1) to (x2, y2), rounded to whole pixels and clipped to a frame of
    `width` x `height`; None when nothing of it lies inside."""
    left, top = max(0, round(x1)), max(0, round(y1))
    right, bottom = min(width, round(x2)), min(height, round(y2))
    if right <= left or bottom <= top:
        return None
    return Box(left, top, right - left, bottom - top)


def clipped_score(score: float) -> float:
    """A score held to 0..1 (a model whose scores stray outside it: logits, rounding)."""
    return min(1.0, max(0.0, float(score)))
