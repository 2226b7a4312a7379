"""Video writers behind the engine's writer interface.

The engine's writer stage calls, for each segment, ``open(name, fps, (width, height))``, then
``write(frame, time)`` for every kept frame (a BGR uint8 array and its datetime) and
``release()`` when the segment ends; the timestamps CSV beside each video is the engine's own.
A failure raises, and the engine ends the recording with every file closed.
"""
import os


class OpenCVWriter:
    """cv2.VideoWriter with a four-character codec."""

    def __init__(self, fourcc):
        self.fourcc = fourcc
        self.writer = None
        self.name = None

    def open(self, name, fps, size):
        import cv2

        self.name = name
        self.writer = cv2.VideoWriter(name, cv2.VideoWriter_fourcc(*self.fourcc), fps, tuple(size))
        if not self.writer.isOpened():
            self.writer = None
            raise OSError("OpenCV could not open %s for writing %s video" % (name, self.fourcc))

    def write(self, frame, time):
        self.writer.write(frame)

    def release(self):
        writer, self.writer = self.writer, None
        if writer is not None:
            writer.release()


def for_output(output, fourcc):
    """The writer for `output` with the codec chosen (None: by the output's extension)."""
    from quarrin.options import fourcc_for

    return OpenCVWriter(fourcc_for(output, fourcc))


PROBE_FRAMES = 5


def probe(writer, ext, fps, size):
    """Writes a few distinct frames with `writer` into a scratch file with extension `ext` and
    reads them back; returns how many came back (PROBE_FRAMES when the container and codec work).
    Raises what the writer raises when it does not open."""
    import tempfile

    import cv2
    import numpy as np

    width, height = size
    with tempfile.TemporaryDirectory(prefix="quarrin-") as scratch:
        path = os.path.join(scratch, "probe" + ext)
        writer.open(path, fps, (width, height))
        try:
            ramp = np.linspace(0, 255, width)[None, :, None]
            for i in range(PROBE_FRAMES):
                frame = np.empty((height, width, 3), np.uint8)
                frame[:] = (ramp + i * 40) % 256
                writer.write(frame, None)
        finally:
            writer.release()
        cap = cv2.VideoCapture(path)
        try:
            count = 0
            while count <= PROBE_FRAMES and cap.read()[0]:
                count += 1
        finally:
            cap.release()
    return count
