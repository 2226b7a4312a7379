"""A caller of quarrin.snapwell as an application would write it. Never run: tests/test_typing.py
type-checks it with mypy --strict, against the installed stub."""
from __future__ import annotations

import datetime

import numpy as np
from numpy.typing import NDArray

from quarrin import snapwell
from quarrin import _recorder


class Detector:
    def __init__(self, height: int, width: int) -> None:
        self.prev: NDArray[np.uint8] = np.zeros((height, width), dtype=np.uint8)
        self.cur: NDArray[np.uint8] = np.zeros((height, width), dtype=np.uint8)

    def gray(self, frame: NDArray[np.uint8], threshold: int = 25) -> bool:
        return snapwell.check_motion_gray(frame, self.prev, self.cur, threshold, 100)

    def colour(self, frame: NDArray[np.uint8], *, debug: bool = False) -> bool:
        return snapwell.check_motion_rgb(frame, self.prev, self.cur, threshold=25.0, min_area=100,
                                         kernel_width=15, show_diff=debug)


def record(source: str, output: str) -> int:
    box = np.array([0, 0, 0], dtype=np.int32)
    text = np.array([255, 255, 255], dtype=np.int32)
    frames: int = snapwell.vcapture(source, output, "MJPG", 30, False, 0, 0, 0, 0, 320, 240, 0.5,
                                    60, 500, True, False, 25, 100, 21, True, False, box, text, 2,
                                    20, 0.5)
    return frames


def record_quietly(source: str) -> int:
    return snapwell.vcapture(input_=source, output="out.avi", fmt="XVID", fps=25.0,
                             interactive=None, width=0, height=0, roi_x=0, roi_y=0, roi_w=64,
                             roi_h=48, interval=0, duration=0.0, max_frames=0, motion_based=0,
                             config=0, threshold=25, min_area=100, kernel_width=21,
                             timestamp=False, show_diff=False, tb=None, tc=None, tx=0, ty=0,
                             fs=1)


def on_progress(read: int, saved: int, segment: str | None) -> None:
    print(read, saved, segment or "-")


def record_with_progress(source: str) -> str:
    outcome = _recorder.record(
        source, "out.avi", 30, False, 0, 0, 0, 0, 64, 48, 0.0, 0.0, 0, False, False, 25,
        100, 21, False, False, None, None, 0, 0, 1.0, progress=on_progress, pipeline=True, log=print)
    files = ", ".join("%s (%d)" % (w.video, w.frames) for w in outcome.segments)
    return "%d of %d saved in %s, stopped by %s" % (outcome.frames_saved, outcome.frames_read, files, outcome.stopped)


class StillCamera:
    """A reader of the same frame, ten a second."""

    def __init__(self, frames: int) -> None:
        self.left = frames
        self.start = datetime.datetime(2026, 12, 8, 10)
        self.fps = 10.0

    def open(self, timeout: float) -> bool:
        return True

    def read(self) -> tuple[NDArray[np.uint8], datetime.datetime] | None:
        if not self.left:
            return None
        self.left -= 1
        return np.zeros((48, 64, 3), np.uint8), self.start + datetime.timedelta(seconds=self.left / self.fps)

    def release(self) -> None:
        pass


def record_events(output: str) -> list[str]:
    told: list[str] = []

    def event(e: _recorder.Event) -> None:
        told.append("%d %s %s" % (e.event, e.start.isoformat(), e.frames if e.frames is not None else "-"))

    def segment(w: _recorder.Written) -> None:
        told.append("%s %d" % (w.video, w.frames))

    outcome = _recorder.record(
        "camera", output, 10, False, 0, 0, 0, 0, 64, 48, 0.0, 0.0, 0, True, False, 25, 100, 21, False,
        False, None, None, 0, 0, 1.0, events=True, on_event_start=event, on_event=event, on_segment=segment,
        reader=StillCamera(20), on_signal=lambda kind, when: told.append(kind + when.isoformat()))
    told += ["%d: %s" % (e.event, e.end) for e in outcome.events]
    return told
