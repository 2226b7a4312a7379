"""OpenCV helpers shared by the recorder.

``CV2_MAJOR`` tells how ``cv2.findContours`` returns its result: 3 when it returns
``(image, contours, hierarchy)``, 4 when it returns ``(contours, hierarchy)``. It is derived from
the shape of an actual result, not from a version string, so it stays right for any release.
"""
import numpy as _np
import cv2 as _cv2


def _contours_layout():
    mask = _np.zeros((8, 8), dtype=_np.uint8)
    mask[2:5, 2:5] = 255
    result = _cv2.findContours(mask, _cv2.RETR_EXTERNAL, _cv2.CHAIN_APPROX_SIMPLE)
    if len(result) == 3:
        return 3
    if len(result) == 2:
        return 4
    raise ImportError("cv2.findContours returned %d values; expected 2 or 3" % len(result))


CV2_MAJOR = _contours_layout()
