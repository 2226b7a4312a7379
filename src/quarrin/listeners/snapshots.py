"""A picture of each motion event, and the name of the camera on each event.

The recorder hands over an ended event with its peak frame (the saved frame with its largest
moving area, at the region's size, as it was written) and the box around that frame's motion.
`Events` turns each event the recorder reports into a `quarrin.Event` with its `camera` and, as
it ends, writes its JPEG and names it in `snapshot`; it runs on the listeners' thread before any
listener is told, so that the file exists for every one of them. A picture that cannot be written
is told on `notify` once and left out; the event is listed all the same.
"""
import os

from quarrin import layout
from quarrin.listeners import Listener
from quarrin.results import Event

# JPEG quality of a snapshot: small files that still show a face or a plate.
JPEG_QUALITY = 90


def draw_box(image, box, colour):
    """`box` (x, y, w, h) drawn into `image`, 2 pixels wide, as the recorder draws it."""
    import cv2

    x, y, w, h = box
    cv2.rectangle(image, (x, y), (x + w - 1, y + h - 1), tuple(int(c) for c in colour), 2)


def write(path, frame, box, colour):
    """Writes a copy of `frame` with `box` drawn into it (None: no box) as the JPEG `path` (its
    folder is created). A grey frame that can give itself in colour (`bgr()`: a copied recording's)
    is pictured in colour."""
    import cv2

    image = frame.bgr() if hasattr(frame, "bgr") else frame.copy()
    if box is not None:
        draw_box(image, box, colour)
    os.makedirs(os.path.dirname(path) or ".", exist_ok=True)
    ok, data = cv2.imencode(".jpg", image, [cv2.IMWRITE_JPEG_QUALITY, JPEG_QUALITY])
    if not ok:
        raise OSError("cannot encode %s" % path)
    with open(path, "wb") as f:
        f.write(data.tobytes())


class Events(Listener):
    """Makes the recording's `quarrin.Event`s (`of`): `camera` on each, and, when `folder()` gives
    where (None: no pictures), the picture of each ended event. `made` keeps the ended ones by
    number, for the recording's result."""

    def __init__(self, camera, folder=None, colour=(0, 0, 0), notify=None):
        self.camera, self.folder, self.colour, self.notify = camera, folder, colour, notify
        self.made = {}
        self.failed = False

    def describe(self):
        return "the event pictures"

    def of(self, recorded):
        if recorded.end is None:
            return Event.of(recorded, camera=self.camera)
        snapshot = self._picture(recorded)
        made = self.made[recorded.event] = Event.of(recorded, snapshot=snapshot, camera=self.camera)
        return made

    def _picture(self, recorded):
        frame = getattr(recorded, "peak_frame", None)
        if self.folder is None or frame is None:
            return None
        try:
            path = layout.snapshot_path(self.folder(), recorded.event)
            write(path, frame, recorded.peak_box, self.colour)
        except Exception as exc:  # a full disk, a folder that cannot be made: the event is listed all the same
            if not self.failed and self.notify is not None:
                self.failed = True
                self.notify("Could not write the picture of event %d (%s: %s); the event is listed without one"
                            % (recorded.event, type(exc).__name__, exc))
            return None
        return path

    def result(self, recorded):
        """The recording's result's events: as they were told, or made now without a picture."""
        return tuple(self.made.get(e.event) or Event.of(e, camera=self.camera) for e in recorded)
