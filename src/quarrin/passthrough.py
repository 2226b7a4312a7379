"""Recording without re-encoding (--copy): the source's own H.264 or H.265 packets go into the
video, through PyAV (the h264 extra; imported only when used).

`CopyReader` demuxes a file or a live URL. Each frame it hands the engine comes with a `Packets`
payload: the packets that frame brings, in decode order, and whether a run of saved frames may
start there (a keyframe). The image the engine gets is the frame's luma plane, a grey image the
motion check takes as it is; a recording without --motion decodes nothing and hands a blank one
of the frame's size. `CopyWriter` muxes the packets of the frames the engine keeps: each segment
starts with a keyframe (the engine's rules see to it), its times counted from its first packet.

Frame times: a file's are its start (its modification time, whole local seconds) plus each
frame's presentation time from the first; a live source's are the wall clock at the first frame
of each connection plus the presentation time from it, never going back across connections.
"""
import collections
import datetime
import io
import os
import time

import av
import numpy as np

from quarrin import options as _options
from quarrin import sources
from quarrin.av_writer import container_for
from quarrin.errors import RecordingError, UsageError

CODECS = {"h264": "H.264", "hevc": "H.265"}
EXTENSIONS = (".mp4", ".mkv")
# Planar and semi-planar 8-bit YUV: the first plane is the luma, one byte a pixel.
_LUMA_FIRST = ("yuv420p", "yuvj420p", "yuv422p", "yuvj422p", "yuv444p", "yuvj444p", "nv12", "nv21", "gray")


class Packets:
    """What a frame brings to the video: its `packets` (av.Packet, decode order), whether a run
    may start at it (`key`), and the codec parameters of the stream they come from (`stream`, the
    muxer's template)."""
    __slots__ = ("packets", "key", "stream")

    def __init__(self, packets, stream):
        self.packets, self.stream = packets, stream
        self.key = bool(packets) and packets[0].is_keyframe


def check_output(output):
    ext = os.path.splitext(output)[1].lower()
    if ext not in EXTENSIONS:
        raise UsageError("output", output, "--copy writes the source's packets into .mp4 or .mkv files, not %s"
                         % (ext or "a file without an extension"))


class CopyReader(sources.Reader):
    """A video file or a live URL read packet by packet (see the module's docstring). `decode`:
    the frames are decoded for the motion check."""
    copies = True  # each frame comes with its packets

    def __init__(self, source, opts, live):
        self.source, self.opts, self.decode = source, opts, bool(opts.motion)
        self.kind = "live" if live else "file"
        self.shown = _options.shown_source(source) if live else source
        self.rtsp = live and source.split("://", 1)[0].lower() in sources.TIMED_SCHEMES
        self.codec = None
        self.container = self.stream = None
        self._last = None  # seconds since the epoch of the last frame handed (a live source's)

    # ---- opening -----------------------------------------------------------------------------------

    def _open(self, timeout):
        """The input container, or raises RecordingError with a reason that never shows the URL's
        password (FFmpeg's errors name the URL whole)."""
        kwargs = {}
        if self.live:
            kwargs["timeout"] = (timeout, self.opts.stall)
            if self.rtsp:
                kwargs["options"] = {"rtsp_transport": "tcp"}
        try:
            with sources.quiet_stderr():
                return av.open(self.source, **kwargs)
        except (av.FFmpegError, OSError) as exc:
            raise RecordingError("cannot open %s: %s" % (self.shown, self.masked(exc))) from None

    def masked(self, exc):
        """An error's text with the source shown as it may be."""
        reason = getattr(exc, "strerror", None) or str(exc) or type(exc).__name__
        return str(reason).replace(self.source, self.shown)

    def probe(self):
        if not self.live and os.path.getsize(self.source) == 0:
            raise RecordingError("%s is empty" % self.source)
        container = self._open(self.opts.open_timeout)
        try:
            if not container.streams.video:
                raise RecordingError("%s holds no video" % self.shown)
            stream = container.streams.video[0]
            context = stream.codec_context
            self.codec = context.name
            if self.codec not in CODECS:
                raise UsageError("copy", True, "the video of %s is %s; --copy takes H.264 or H.265 only"
                                 % (self.shown, self.codec))
            self.width, self.height = context.width, context.height
            rate = stream.average_rate or stream.guessed_rate
            self.fps = float(rate) if rate else 0.0
            self.frames = stream.frames or None if not self.live else None
        finally:
            container.close()
        if not self.width or not self.height:
            raise RecordingError("%s does not say its frame size" % self.shown)
        if not self.live and self.fps < 1:
            raise RecordingError("%s declares %g frames/s; its frames cannot be timed" % (self.source, self.fps))

    def open(self, timeout=None):
        timeout = self.opts.open_timeout if timeout is None else timeout
        try:
            container = self._open(timeout)
        except RecordingError as exc:
            self._say(str(exc))
            return False
        if not container.streams.video:
            container.close()
            return False
        self.container, self.stream = container, container.streams.video[0]
        self.template = template(self.stream)
        context = self.stream.codec_context
        context.thread_count = 1  # many cameras share the cores: no decoder threads of its own
        # The decoded frames only feed the motion check: the deblocking filter and the exact
        # rounding it needs not are skipped (about a seventh of the decoding, 1080p H.264).
        context.options = {"skip_loop_filter": "all", "flags2": "+fast"}
        self._packets = container.demux(self.stream)
        self._pending = collections.deque()  # packets read whose frames have not come out
        self._ready = collections.deque()    # frames to hand
        self._keyed = self._ended = False
        self._zero = self._anchor = None
        self._offset = 0.0
        self._blank = np.zeros((context.height, context.width), np.uint8) if not self.decode else None
        if self.live:
            self.start = self.start or datetime.datetime.now()
        else:
            mtime = time.mktime(time.localtime(os.path.getmtime(self.source)))
            self.start = datetime.datetime.fromtimestamp(mtime)
            if not self.fps:
                rate = self.stream.average_rate or self.stream.guessed_rate
                self.fps = float(rate) if rate else 0.0
        self._say("Input from", self.shown, "Open? True;", CODECS.get(context.name, context.name), "copied")
        return True

    def release(self):
        container, self.container, self.stream, self._packets = self.container, None, None, None
        if container is not None:
            container.close()

    # ---- reading -----------------------------------------------------------------------------------

    def read(self):
        while not self._ready:
            if self._ended:
                return None
            try:
                packet = next(self._packets, None)
            except (av.FFmpegError, OSError) as exc:
                if not self.live:
                    raise RecordingError("reading %s failed: %s" % (self.shown, self.masked(exc))) from None
                self._say("Reading %s failed: %s" % (self.shown, self.masked(exc)))
                packet = None
            if packet is None or packet.size == 0:  # the end: what the decoder holds comes out
                self._ended = True
                if self.decode:
                    self._decoded(None)
                continue
            if not self._keyed:  # a connection starts at a keyframe: the frames before need what came earlier
                if not packet.is_keyframe:
                    continue
                self._keyed = True
            if self.decode:
                self._pending.append(packet)
                self._decoded(packet)
            else:
                at = packet.dts if packet.dts is not None else packet.pts
                self._ready.append((self._blank, self._time(at), Packets([packet], self.template)))
        return self._ready.popleft()

    def _decoded(self, packet):
        """Decodes `packet` (None: drains the decoder); each frame out takes the packets read up to
        its own (by presentation time), in decode order."""
        try:
            frames = self.stream.codec_context.decode(packet)
        except av.FFmpegError as exc:
            self._say("A frame of %s does not decode: %s" % (self.shown, self.masked(exc)))
            return
        for frame in frames:
            taken = []
            if any(p.pts == frame.pts for p in self._pending):
                while self._pending:
                    taken.append(self._pending.popleft())
                    if taken[-1].pts == frame.pts:
                        break
            self._ready.append((luma(frame), self._time(frame.pts), Packets(taken, self.template)))
        if packet is None:  # packets whose frames never came out go with the last frame
            if self._ready and self._pending:
                self._ready[-1][2].packets.extend(self._pending)
            self._pending.clear()

    def _time(self, pts):
        """A frame's time from its presentation time (see the module's docstring)."""
        if pts is None or self.stream.time_base is None:
            seconds = self._offset + 1 / (self.fps or 30) if self._zero is not None else 0.0
        else:
            if self._zero is None:
                self._zero = pts
            seconds = float((pts - self._zero) * self.stream.time_base)
        self._offset = seconds
        if not self.live:
            return self.start + datetime.timedelta(seconds=seconds)
        if self._anchor is None:  # the connection's first frame
            self._anchor = time.time() - seconds
        at = self._anchor + seconds
        if self._last is not None and at < self._last:
            at = self._last
        self._last = at
        return datetime.datetime.fromtimestamp(at)


def template(stream):
    """The codec parameters of an input stream, in a stream of their own that outlives its
    container (a connection closed while its last frames are on their way to the writer)."""
    return av.open(io.BytesIO(), "w", format="matroska").add_stream_from_template(stream)


def luma(frame):
    """The frame's luma plane as a grey image (height x width, uint8); converted only for a pixel
    format whose first plane is not one."""
    if frame.format.name not in _LUMA_FIRST:
        return frame.to_ndarray(format="gray")
    plane = frame.planes[0]
    rows = np.frombuffer(plane, np.uint8).reshape(-1, plane.line_size)
    return rows[:frame.height, :frame.width]


class CopyWriter:
    """Muxes copied packets into .mp4 (fragmented) or .mkv, as `quarrin.av_writer` lays them out.
    The container opens with the first frame written: its stream is a copy of the input's."""

    def __init__(self):
        self.container = self.stream = None
        self.name = None

    def open(self, name, fps, size):
        container_for(name)  # the extension is one it writes
        self.release()
        self.name, self.base = name, None

    def write(self, frame, time, payload=None):
        if payload is None:
            raise ValueError("a copied recording's frame came without its packets")
        if self.container is None:
            fmt, options = container_for(self.name)
            container = av.open(self.name, "w", format=fmt, options=dict(options))
            try:
                self.stream = container.add_stream_from_template(payload.stream)
            except BaseException:
                container.close()
                raise
            self.container, self.source = container, payload.stream
        for packet in payload.packets:
            if self.base is None:
                self.base = packet.dts if packet.dts is not None else packet.pts or 0
                self.last = None
            # A muxer takes strictly increasing decode times: a camera that sent two frames with one
            # time (a late frame pushed with the next) must not stop the recording.
            dts = (packet.dts if packet.dts is not None else packet.pts if packet.pts is not None else 0) - self.base
            if self.last is not None and dts <= self.last:
                dts = self.last + 1
            pts = dts if packet.pts is None else max(packet.pts - self.base, dts)
            packet.dts, packet.pts, self.last = dts, pts, dts
            packet.stream = self.stream
            self.container.mux(packet)

    def release(self):
        container, self.container, self.stream, self.source = self.container, None, None, None
        if container is not None:
            container.close()
