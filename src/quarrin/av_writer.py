"""H.264 video through PyAV (FFmpeg's libx264), behind the engine's writer interface.

Imported only when a recording writes H.264: it needs the optional dependency PyAV
(``pip install 'quarrin[h264]'``).

Each frame is stamped with its own time, counted from the segment's first frame in 1/90000 s,
so a motion-gated or interval recording plays at the times its frames were taken; the rate given
to `open` is only declared. A recording cut off without closing its files (SIGKILL, power loss)
keeps the segments already finished whole; what is left of the one being written depends on the
container (see `CONTAINERS`) and on the frames the encoder holds (see `H264Writer`).
"""
import fractions
import threading
import time as _time

import av
import cv2

TIME_BASE = fractions.Fraction(1, 90000)
_TICKS = 90000
# extension: (FFmpeg's container name, its options). A plain MP4 writes its index only when it is
# closed: cut off before that, it does not play at all. So an MP4 is written in fragments, and a
# Matroska file in clusters, of one frame each, handed to the OS at once (flush_packets): each
# frame is on disk as soon as the next one reaches the container, which holds the last (Matroska,
# with a preset that makes B-frames, as many as x264's B-frames: 3 with veryfast) until then, or
# until a quiet spell has it written out (`QuietMuxer`). On vtest.avi (768x576) that costs 0.7% in
# size over fragments of a second for MP4 (1.8% with --speed veryfast), 0.2% for Matroska.
# With sound, the muxer holds each stream's packets until the other's catch up: for a second at
# most (max_interleave_delta, in microseconds), so that pictures are not held back by a sound
# that stopped.
CONTAINERS = {
    ".mp4": ("mp4", {"movflags": "frag_keyframe+frag_every_frame+empty_moov+delay_moov+default_base_moof",
                     "flush_packets": "1", "max_interleave_delta": "1000000"}),
    ".mkv": ("matroska", {"cluster_time_limit": "0", "flush_packets": "1", "max_interleave_delta": "1000000"}),
}
# The encoder holds frames a moment (x264's lookahead and threads: one frame with ultrafast, a
# dozen with veryfast, which come out as the next frames go in), and the muxer the last packet.
# When no frame has come for this long, in wall-clock seconds, what they hold is written out.
HOLD_SECONDS = 1.0


class QuietMuxer:
    """Has the muxer of an output container write out what it holds once no frame has come for
    HOLD_SECONDS, on a thread of its own (quarrin.muxflush; where that cannot be done, the muxer
    keeps its last packet until the next). The writer holds `lock` around each mux, calls `wrote()`
    (lock held) for each frame it takes, sets `started` once a packet went in (the container's
    header is then written) and calls `close()` before closing the container. `first()`, if given,
    runs (lock held) at each quiet spell before the muxer is flushed: an encoder drained."""

    def __init__(self, container, lock, first=None):
        self.container, self.lock, self.first = container, lock, first
        self.started = False
        self._flusher = None       # quarrin.muxflush.Flusher, found at the first flush (False: none)
        self._last = self._closing = None
        self._thread = threading.Thread(target=self._work, name="quarrin-mux-flush", daemon=True)
        self._thread.start()

    def wrote(self):
        self._last = _time.monotonic()
        self.lock.notify()

    def close(self):
        with self.lock:
            self._closing = True
            self.lock.notify()
        self._thread.join()

    def _work(self):
        with self.lock:
            while not self._closing:
                if self._last is None:
                    self.lock.wait()
                    continue
                left = self._last + HOLD_SECONDS - _time.monotonic()
                if left > 0:
                    self.lock.wait(left)
                    continue
                self._last = None
                try:
                    if self.first is not None:
                        self.first()
                    self._flush()
                except Exception:  # the next write, or the close, meets the same failure and reports it
                    pass

    def _flush(self):
        if not self.started:
            return
        if self._flusher is None:
            from quarrin import muxflush

            self._flusher = muxflush.Flusher.of(self.container) or False
        if self._flusher:
            self._flusher.flush()


class H264Writer:
    """libx264 at constant quality `crf` (0 lossless .. 51) with x264's `preset`, into the
    container named by the file's extension (.mp4 or .mkv).

    When no frame has come for HOLD_SECONDS (an event ended on a quiet camera, a slow interval),
    the frames the encoder holds are pushed out (`QuietMuxer`): the encoder is drained and a fresh
    one, with the same settings and so the same stream headers, goes on from a keyframe, and the
    muxer writes out the last packet. That costs one keyframe per quiet spell (about 100 kB at
    768x576 with ultrafast, against 15 kB for another frame), nothing while frames keep coming."""

    def __init__(self, crf=23, preset="ultrafast", track=None):
        self.crf, self.preset, self.track = crf, preset, track  # track: the source's sound kept (quarrin.sound)
        self.container = self.stream = self.encoder = None
        self._lock = threading.Condition()
        self._held = 0  # frames the encoder holds
        self._quiet = self._sink = None

    def open(self, name, fps, size):
        fmt, options = container_for(name, self.track is not None)
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
            if self.track is not None:
                from quarrin.sound import Sink

                self._sink = Sink(container, self.track)
        except BaseException:
            container.close()
            raise
        self.container, self.stream, self.encoder = container, stream, stream.codec_context
        self.first, self.last, self.count = None, -_TICKS, 0
        self.step = max(1, round(_TICKS / rate))  # frames without a time (the codec check's)
        self._held, self._flushable = 0, True
        self._quiet = QuietMuxer(container, self._lock, self._flush)

    def write(self, frame, time, payload=None):
        if self._sink is not None and self._sink.zero is None and payload is not None:
            self._sink.zero = payload.at  # the segment's sound starts with its first frame
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
        with self._lock:
            self._held += 1
            self._mux(self.encoder.encode(image))
            if self._sink is not None and payload is not None:
                packets = self._sink.packets(payload.audio)
                if packets:
                    self.container.mux(packets)
                    self._quiet.started = True
            self._quiet.wrote()

    def _mux(self, packets):
        """Muxes the encoder's packets; each is one frame fewer held (lock held)."""
        for packet in packets:
            packet.stream = self.stream
        self._held = max(0, self._held - len(packets))
        self.container.mux(packets)
        self._quiet.started |= bool(packets)

    def _flush(self):
        """Drains the encoder, and goes on with a fresh one (lock held). Only a fresh encoder with the
        stream's own headers can take over; were they to differ, the frames stay held."""
        if not self._held or not self._flushable:
            return
        encoder = av.CodecContext.create("libx264", "w")
        first = self.stream.codec_context
        encoder.width, encoder.height, encoder.pix_fmt = first.width, first.height, first.pix_fmt
        encoder.time_base, encoder.framerate, encoder.flags = TIME_BASE, first.framerate, first.flags
        encoder.options = {"crf": str(self.crf), "preset": self.preset}
        encoder.open()
        if encoder.extradata != first.extradata:
            self._flushable = False
            return
        try:
            self._mux(self.encoder.encode(None))
        finally:
            self._held = 0
        self.encoder = encoder

    def release(self):
        container = self.container
        if container is None:
            return
        self._quiet.close()
        try:
            self._mux(self.encoder.encode(None))  # the frames the encoder still holds
            if self._sink is not None:
                container.mux(self._sink.close())
        finally:
            self.container = self.stream = self.encoder = self._quiet = self._sink = None
            container.close()


def container_for(name, sound=False):
    """(FFmpeg's container name, its options) for a file, with the source's `sound` or without."""
    import os

    ext = os.path.splitext(name)[1].lower()
    if ext not in CONTAINERS:
        raise ValueError("H.264 is written into %s files, not %s" % (" or ".join(CONTAINERS), ext or name))
    fmt, options = CONTAINERS[ext]
    if sound and fmt == "mp4":
        # A fragment per packet of each stream: MP4's fragment per frame mistimes a second stream's
        # packets (two in a fragment get one time, read back).
        flags = options["movflags"].replace("+frag_every_frame", "")
        options = dict(options, movflags=flags, frag_duration="1")
    return fmt, options


def _ticks(delta):
    """A timedelta in 1/90000 s, rounded."""
    micro = (delta.days * 86400 + delta.seconds) * 1_000_000 + delta.microseconds
    return (micro * 9 + 50) // 100
