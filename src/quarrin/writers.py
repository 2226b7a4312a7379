"""Video writers behind the engine's writer interface.

The engine's writer stage calls, for each segment, ``open(name, fps, (width, height))``, then
``write(frame, time)`` for every kept frame (a BGR uint8 array and its datetime) and
``release()`` when the segment ends; the timestamps CSV beside each video is the engine's own.
A failure raises, and the engine ends the recording with every file closed.

Two kinds: `OpenCVWriter` (cv2.VideoWriter with a four-character codec) and H.264 through PyAV
(`quarrin.av_writer`, imported only when used). `choose` picks one for an output and its options.
"""
import dataclasses
import os

from quarrin.errors import UsageError

H264_EXTENSIONS = (".mp4", ".mkv")
INSTALL_H264 = "pip install 'quarrin[h264]'"


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


@dataclasses.dataclass(frozen=True)
class Choice:
    """The writer of a recording: `codec` is "h264" (PyAV, with x264's `crf` and `preset`) or an
    OpenCV four-character codec."""
    codec: str
    crf: int = 23
    preset: str = "ultrafast"

    @property
    def h264(self):
        return self.codec == "h264"

    @property
    def fmt(self):
        """The four characters the engine's own writer would take (unused: it gets `make()`)."""
        return "H264" if self.h264 else self.codec

    def make(self):
        if self.h264:
            from quarrin.av_writer import H264Writer

            return H264Writer(self.crf, self.preset)
        return OpenCVWriter(self.codec)

    def __str__(self):
        return "H.264" if self.h264 else self.codec


def h264_asked(opts):
    """The option that asks for H.264 (codec, quality or speed), or None."""
    if opts.codec is not None:
        return "codec"
    for name in ("quality", "speed"):
        if opts.given(name):
            return name
    return None


def pyav_available():
    try:
        import av  # noqa: F401
    except ImportError:
        return False
    return True


def check_h264_available(opts):
    """UsageError when the options ask for H.264 and PyAV is not installed."""
    asked = h264_asked(opts)
    if asked is not None and not pyav_available():
        raise UsageError(asked, getattr(opts, asked), "H.264 needs PyAV: %s" % INSTALL_H264)


def choose(output, opts, size):
    """The writer for `output` (frames of `size`) under the options. --fourcc names an OpenCV
    writer; --codec h264, --quality or --speed ask for H.264, which goes into .mp4 or .mkv only;
    without any of them .mp4 and .mkv get H.264 when PyAV is installed (and the frames' sides
    are even, as H.264 needs), every other output the OpenCV codec of its extension."""
    from quarrin.options import fourcc_for

    if opts.fourcc is not None:
        return Choice(opts.fourcc)
    ext = os.path.splitext(output)[1].lower()
    h264 = Choice("h264", opts.quality, opts.speed)
    asked = h264_asked(opts)
    if asked is not None:
        if ext not in H264_EXTENSIONS:
            raise UsageError("output", output, "--%s asks for H.264, which is written into .mp4 or .mkv files, "
                                               "not %s" % (asked, ext))
        check_h264_available(opts)
        if size[0] % 2 or size[1] % 2:
            raise UsageError("roi", opts.roi or (0, 0) + tuple(size), "H.264 needs an even width and height, "
                             "not %dx%d (choose such a region, or --fourcc)" % tuple(size))
        return h264
    if ext in H264_EXTENSIONS and size[0] % 2 == 0 and size[1] % 2 == 0 and pyav_available():
        return h264
    return Choice(fourcc_for(output, None))


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
