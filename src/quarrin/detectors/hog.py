"""The ``hog`` detector: OpenCV's HOG people detector (a linear SVM over histograms of oriented
gradients in a 64x128 window, slid over the frame at several scales). It needs no model file.

Its score: the SVM's weight of a found window (its margin beyond the decision boundary: about 1 to
5 for people walking across a street scene) mapped into 0..1 by the logistic function,
``1 / (1 + exp(-weight))``: the boundary itself is 0.5, a weight of 1 is 0.73, 3 is 0.95.
"""
from __future__ import annotations

import math
import typing

from quarrin.detectors import box_in
from quarrin.errors import UsageError
from quarrin.seams import Detection

LABEL = "person"
# The detection window (width, height): a smaller frame holds no person to find, and OpenCV's
# detectMultiScale corrupts its heap on one (it may crash the process at once or later).
WINDOW = (64, 128)
# Where the window is tried: every 8 pixels, at scales 1.05 apart.
STRIDE = (8, 8)
SCALE = 1.05


def load(log: typing.Callable[[str], object] | None = None) -> HogDetector:
    import cv2

    if not hasattr(cv2, "HOGDescriptor"):
        raise UsageError("detector", "hog", "this OpenCV (%s) has no HOG detector: OpenCV 5 keeps it in its "
                         "contrib build (pip install opencv-contrib-python-headless, in place of "
                         "opencv-python-headless)" % cv2.__version__)
    detector = HogDetector(cv2)
    if log is not None:
        log("detector: hog, OpenCV %s's HOG people detector on the CPU" % cv2.__version__)
    return detector


def score(weight: float) -> float:
    """The SVM's weight of a found window as a score in 0..1."""
    return 1.0 / (1.0 + math.exp(-float(weight)))


class HogDetector:
    """People in frames, through one cv2.HOGDescriptor."""

    def __init__(self, cv2: typing.Any) -> None:
        self._hog = cv2.HOGDescriptor()
        self._hog.setSVMDetector(cv2.HOGDescriptor_getDefaultPeopleDetector())

    def detect(self, frame: typing.Any) -> list[Detection]:
        if self._hog is None:
            raise ValueError("the hog detector is closed")
        height, width = frame.shape[:2]
        if width < WINDOW[0] or height < WINDOW[1]:
            return []
        import numpy

        rects, weights = self._hog.detectMultiScale(frame, winStride=STRIDE, scale=SCALE)
        found = []
        # (weights: one a window, as a column in some OpenCV versions)
        for (x, y, w, h), weight in zip(rects, numpy.ravel(weights)):
            box = box_in(x, y, x + w, y + h, width, height)
            if box is not None:
                found.append(Detection(LABEL, score(weight), box))
        return found

    def close(self) -> None:
        self._hog = None
