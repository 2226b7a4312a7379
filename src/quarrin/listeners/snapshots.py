"""A picture of each motion event, and the name of the camera on each event.

The recorder hands over an ended event with its peak frame (the saved frame with its largest
moving area, at the region's size, as it was written) and the box around that frame's motion;
with an object detector, with the frame of its best detection too (in its `findings`), which is
then the picture, the detection boxed and its label and score written beside the box.
`Events` turns each event the recorder reports into a `quarrin.Event` with its `camera` and, as
it ends, writes its JPEG and names it in `snapshot`; it runs on the listeners' thread before any
listener is told, so that the file exists for every one of them. A picture that cannot be written
is told on `notify` once and left out; the event is listed all the same.
"""
import dataclasses
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


def draw_caption(image, box, text, colour):
    """`text` written beside `box` (x, y, w, h) in `image`: on a filled band of `colour`, in black
    or white, whichever reads better on it; above the box where there is room, else inside its
    top, and always inside the image."""
    import cv2

    font, scale, thickness = cv2.FONT_HERSHEY_SIMPLEX, 0.5, 1
    (width, height), base = cv2.getTextSize(text, font, scale, thickness)
    rows, cols = image.shape[:2]
    pad = 3
    band_w, band_h = width + 2 * pad, height + base + 2 * pad
    x, y = box[0], box[1]
    left = max(0, min(x, cols - band_w))
    top = y - band_h if y - band_h >= 0 else y
    top = max(0, min(top, rows - band_h))
    fill = tuple(int(c) for c in colour)
    cv2.rectangle(image, (left, top), (left + band_w - 1, top + band_h - 1), fill, cv2.FILLED)
    # Luma of the BGR fill: dark text on a light band.
    ink = (0, 0, 0) if 0.114 * fill[0] + 0.587 * fill[1] + 0.299 * fill[2] > 140 else (255, 255, 255)
    cv2.putText(image, text, (left + pad, top + pad + height), font, scale, ink, thickness, cv2.LINE_AA)


def caption_of(label, score):
    """What is written beside a detection: its label and score (`person 0.87`)."""
    return label if score is None else "%s %.2f" % (label, score)


def write(path, frame, box, colour, caption=None):
    """Writes a copy of `frame` with `box` drawn into it (None: no box) as the JPEG `path` (its
    folder is created), and `caption` beside the box when given. A grey frame that can give itself
    in colour (`bgr()`: a copied recording's) is pictured in colour."""
    import cv2

    image = frame.bgr() if hasattr(frame, "bgr") else frame.copy()
    if box is not None:
        draw_box(image, box, colour)
        if caption:
            draw_caption(image, box, caption, colour)
    os.makedirs(os.path.dirname(path) or ".", exist_ok=True)
    ok, data = cv2.imencode(".jpg", image, [cv2.IMWRITE_JPEG_QUALITY, JPEG_QUALITY])
    if not ok:
        raise OSError("cannot encode %s" % path)
    with open(path, "wb") as f:
        f.write(data.tobytes())


class Events(Listener):
    """Makes the recording's `quarrin.Event`s (`of`): `camera` on each, and, when `folder()` gives
    where (None: no pictures), the picture of each ended event. `made` keeps the ended ones by
    number, for the recording's result. The recorder numbers its events from 1; with `output`
    (the recording's OUTPUT), they go on from the numbers earlier recordings into it used
    (quarrin.listeners.eventlist.last_number)."""

    def __init__(self, camera, folder=None, colour=(0, 0, 0), notify=None, output=None):
        from quarrin.listeners import eventlist

        self.camera, self.folder, self.colour, self.notify = camera, folder, colour, notify
        self.first = eventlist.last_number(output) if output else 0
        self.made = {}
        self.failed = False

    def describe(self):
        return "the event pictures"

    def of(self, recorded):
        if recorded.end is None:
            return self._numbered(Event.of(recorded, camera=self.camera))
        snapshot = self._picture(recorded)
        made = self.made[recorded.event] = self._numbered(Event.of(recorded, snapshot=snapshot, camera=self.camera))
        return made

    def _numbered(self, event):
        return dataclasses.replace(event, event=event.event + self.first) if self.first else event

    def _picture(self, recorded):
        """The event's picture: the frame of its best detection with that detection's box and
        caption when the detector found one, else its peak frame with its motion's box."""
        frame, box, caption = getattr(recorded, "peak_frame", None), getattr(recorded, "peak_box", None), None
        found = getattr(recorded, "findings", None)
        if found is not None and getattr(found, "frame", None) is not None:
            frame, box = found.frame, getattr(found, "box", None)
            label = getattr(found, "label", None) or ""
            caption = caption_of(label, getattr(found, "score", None)) if label else None
        if self.folder is None or frame is None:
            return None
        try:
            path = layout.snapshot_path(self.folder(), recorded.event + self.first)
            write(path, frame, box, self.colour, caption)
        except Exception as exc:  # a full disk, a folder that cannot be made: the event is listed all the same
            if not self.failed and self.notify is not None:
                self.failed = True
                self.notify("Could not write the picture of event %d (%s: %s); the event is listed without one"
                            % (recorded.event + self.first, type(exc).__name__, exc))
            return None
        return path

    def result(self, recorded):
        """The recording's result's events: as they were told, or made now without a picture."""
        return tuple(self.made.get(e.event) or self._numbered(Event.of(e, camera=self.camera)) for e in recorded)
