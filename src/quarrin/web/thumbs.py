"""A picture of an event whose list names no snapshot: the frame of its video at its first frame,
grabbed once, scaled down and kept in memory (nothing is written to disk).

The frame is found through the video's timestamps CSV: the row of the event's first (input)
frame gives its place in the video, an output frame number. An MJPG AVI is read by OpenCV at that
frame; other containers through PyAV, by the frame's time (the H.264 writer stamps each frame
with its time from the CSV), or by OpenCV when PyAV is not installed.
"""
import collections
import os
import threading
import time

from quarrin import stamps
from quarrin.layout import csv_of

WIDTH = 320          # a thumbnail's width at most, in pixels
QUALITY = 80         # its JPEG quality
KEEP = 512           # thumbnails kept
RETRY_SECONDS = 30   # a video whose frame could not be read is tried again after this long


class Thumbnails:
    """Thumbnails by event id, made on demand (blocking: the app runs `get` off its loop)."""

    def __init__(self, keep=KEEP):
        self.keep = keep
        self._made = collections.OrderedDict()   # (id, video, inode) -> JPEG bytes, or the time it failed
        self._lock = threading.Lock()

    def get(self, id, video, first_frame):
        """The JPEG of the event `id` whose first frame is input frame `first_frame` of `video`;
        None when it cannot be made (the video gone, not decodable, the frame not there)."""
        try:
            key = (id, video, os.stat(video).st_ino)
        except (OSError, ValueError):
            return None
        with self._lock:
            made = self._made.get(key)
            if made is not None:
                self._made.move_to_end(key)
                if isinstance(made, bytes):
                    return made
                if time.monotonic() - made < RETRY_SECONDS:
                    return None
        try:
            jpeg = grab(video, first_frame)
        except Exception:   # a damaged or unreadable video is no picture, not an error page
            jpeg = None
        with self._lock:
            self._made[key] = jpeg if jpeg is not None else time.monotonic()
            while len(self._made) > self.keep:
                self._made.popitem(last=False)
        return jpeg


def grab(video, first_frame):
    """The JPEG of the frame of `video` that holds input frame `first_frame`, or None."""
    place = _place(csv_of(video), first_frame)
    if place is None:
        return None
    outframe, seconds = place
    frame = None
    if not video.lower().endswith(".avi"):
        frame = _by_time(video, seconds)
    if frame is None:
        frame = _by_number(video, outframe)
    if frame is None:
        return None
    import cv2

    height, width = frame.shape[:2]
    if width > WIDTH:
        frame = cv2.resize(frame, (WIDTH, max(1, round(height * WIDTH / width))), interpolation=cv2.INTER_AREA)
    ok, data = cv2.imencode(".jpg", frame, [cv2.IMWRITE_JPEG_QUALITY, QUALITY])
    return data.tobytes() if ok else None


def _place(csv_path, first_frame):
    """(output frame, seconds after the video's first frame) of input frame `first_frame`."""
    first = None
    for row in stamps.rows(csv_path):
        try:
            moment = stamps.local_time(row.timestamp)
        except (ValueError, OverflowError):
            return None
        if first is None:
            first = moment
        if row.inframe == first_frame:
            return row.outframe, (moment - first).total_seconds()
    return None


def _by_time(video, seconds):
    """The first frame at `seconds` or later, through PyAV (None without it)."""
    try:
        import av
    except ImportError:
        return None
    with av.open(video) as container:
        stream = container.streams.video[0]
        if stream.time_base is None:
            return None
        container.seek(int(seconds / stream.time_base) + (stream.start_time or 0), stream=stream, backward=True)
        for frame in container.decode(stream):
            if frame.time is not None and frame.time + 1e-3 >= seconds + float((stream.start_time or 0) *
                                                                               stream.time_base):
                return frame.to_ndarray(format="bgr24")
    return None


def _by_number(video, outframe):
    import cv2

    cap = cv2.VideoCapture(video)
    try:
        if not cap.isOpened():
            return None
        if outframe:
            cap.set(cv2.CAP_PROP_POS_FRAMES, outframe)
        ok, frame = cap.read()
        return frame if ok else None
    finally:
        cap.release()
