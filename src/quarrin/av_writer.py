"""H.264 video through PyAV (FFmpeg's libx264), behind the engine's writer interface.

Imported only when a recording writes H.264: it needs the optional dependency PyAV
(``pip install 'quarrin[h264]'``).

Each frame is stamped with its own time, counted from the segment's first frame in 1/90000 s,
so a motion-gated or interval recording plays at the times its frames were taken; the rate given
to `open` is only declared. A recording cut off without closing its files (SIGKILL, power loss)
keeps the segments already finished whole; what is left of the one being written depends on the
container (see `CONTAINERS`).
"""
import fractions

import av
import cv2

TIME_BASE = fractions.Fraction(1, 90000)
_TICKS = 90000
# extension: (FFmpeg's container name, its options). A plain MP4 writes its index only when it is
# closed: cut off before that, it does not play at all. So an MP4 is written in fragments, and a
# Matroska file in clusters, of about a second, each handed to the OS as soon as it is complete
# (flush_packets): a killed recording loses the second being written and the frame the encoder
# holds, not the megabytes FFmpeg would otherwise keep in its buffers.
CONTAINERS = {
    ".mp4": ("mp4", {"movflags": "frag_keyframe+empty_moov+delay_moov+default_base_moof", "frag_duration": "1000000",
                     "flush_packets": "1"}),
    ".mkv": ("matroska", {"cluster_time_limit": "1000", "flush_packets": "1"}),
}


class H264Writer:
    """libx264 at constant quality `crf` (0 lossless .. 51) with x264's `preset`, into the
    container named by the file's extension (.mp4 or .mkv)."""

    def __init__(self, crf=23, preset="ultrafast"):
        self.crf, self.preset = crf, preset
        self.container = self.stream = None

    def open(self, name, fps, size):
        fmt, options = container_for(name)
        width, height = size
        if width % 2 or height % 2:
            raise ValueError("H.264 frames need an even width and height, not %dx%d" % (width, height))
        container = av.open(name, "w", format=fmt, options=dict(options))
        try:
            rate = fractions.Fraction(fps).limit_denominator(1001) if fps > 0 else 30
            stream = container.add_stream("libx264", rate=rate)
            stream.width, stream.height, stream.pix_fmt = width, height, "yuv420p"
            stream.time_base = stream.codec_context.time_base = TIME_BASE
            stream.options = {"crf": str(self.crf), "preset": self.preset}
            stream.codec_context.open()  # a refused setting fails here, not at the first frame
        except BaseException:
            container.close()
            raise
        self.container, self.stream = container, stream
        self.first, self.last, self.count = None, -_TICKS, 0
        self.step = max(1, round(_TICKS / rate))  # frames without a time (the codec check's)

    def write(self, frame, time):
        if time is None:
            pts = self.count * self.step
        else:
            if self.first is None:
                self.first = time
            pts = _ticks(time - self.first)
        # The encoder takes strictly increasing times (Matroska keeps milliseconds): a clock set back
        # must not stop the recording.
        pts = max(pts, self.last + _TICKS // 1000)
        image = av.VideoFrame.from_ndarray(cv2.cvtColor(frame, cv2.COLOR_BGR2YUV_I420), format="yuv420p")
        image.pts, image.time_base = pts, TIME_BASE
        self.last, self.count = pts, self.count + 1
        self.container.mux(self.stream.encode(image))

    def release(self):
        container, self.container = self.container, None
        if container is None:
            return
        try:
            container.mux(self.stream.encode(None))  # the frames the encoder still holds
        finally:
            self.stream = None
            container.close()


def container_for(name):
    import os

    ext = os.path.splitext(name)[1].lower()
    if ext not in CONTAINERS:
        raise ValueError("H.264 is written into %s files, not %s" % (" or ".join(CONTAINERS), ext or name))
    return CONTAINERS[ext]


def _ticks(delta):
    """A timedelta in 1/90000 s, rounded."""
    micro = (delta.days * 86400 + delta.seconds) * 1_000_000 + delta.microseconds
    return (micro * 9 + 50) // 100
