"""Recording without re-encoding (--copy): the source's own H.264 or H.265 packets go into the
video, through PyAV (the h264 extra; imported only when used).

`CopyReader` demuxes a file or a live URL. Each frame it hands the engine comes with a `Packets`
payload: the packets that frame brings, in decode order, and whether a run of saved frames may
start there (a keyframe). The image the engine gets is the frame's luma plane, a grey image the
motion check takes as it is (a `Grey`, which can still give the frame in colour for its picture);
a recording without --motion decodes nothing and hands a blank one of the frame's size.
`CopyWriter` muxes the packets of the frames the engine keeps: each segment starts with a keyframe
(the engine's rules see to it), its times counted from its first packet.

Frame times: a file's are its start (its modification time, whole local seconds) plus each
frame's presentation time from the first. A live source's come from its presentation times as
`sources.StreamClock` makes them: anchored on the packet that came with the least delay, so that
no frame is ever later than the moment its packet arrived. FFmpeg hands over at once what it held
while the connection opened (seconds of frames, over RTSP): that backlog is read ahead as a
connection opens, and timed all at once, before its first frame is handed.
"""
import collections
import datetime
import io
import math
import os
import threading
import time

import av
import numpy as np

from quarrin import options as _options
from quarrin import nativelog, sources
from quarrin.av_writer import QuietMuxer, container_for
from quarrin.errors import RecordingError, UsageError, named

CODECS = {"h264": "H.264", "hevc": "H.265"}
# Planar and semi-planar 8-bit YUV: the first plane is the luma, one byte a pixel.
_LUMA_FIRST = ("yuv420p", "yuvj420p", "yuv422p", "yuvj422p", "yuv444p", "yuvj444p", "nv12", "nv21", "gray")


class Grey(np.ndarray):
    """A frame's luma plane that can still give the frame in colour (`bgr()`, for an event's
    picture): it keeps a reference to the packets of its run from the keyframe before it (`run`,
    which copies and views of it share; the packets are held for the video anyway) and decodes
    them again, at full quality, only when asked. The one the reader hands also holds the decoded
    frame (`frame`), which the live view converts at once."""
    run = None    # (_Run, its packets up to this frame's, this frame's place in the run's output)
    frame = None  # av.VideoFrame (the reader's own image only)

    def __array_finalize__(self, obj):
        self.run = getattr(obj, "run", None)

    def bgr(self):
        """The frame in colour (BGR); the grey made BGR when its run cannot be decoded again."""
        import cv2

        if self.run is not None:
            try:
                image = self.run[0].decoded(*self.run[1:])
                if image.shape[:2] == self.shape:
                    return image
            except (av.FFmpegError, IndexError, ValueError):
                pass
        return cv2.cvtColor(np.ascontiguousarray(self), cv2.COLOR_GRAY2BGR)


class _Run:
    """The packets from a keyframe on, in decode order, and the frames handed from them so far."""
    __slots__ = ("codec", "extradata", "packets", "handed")

    def __init__(self, context):
        self.codec, self.extradata = context.name, context.extradata
        self.packets, self.handed = [], 0

    def decoded(self, count, rank):
        """Frame `rank` (in presentation order) of the first `count` packets, as BGR."""
        decoder = av.CodecContext.create(self.codec, "r")
        decoder.extradata = self.extradata
        frames = []
        for packet in self.packets[:count]:
            frames += decoder.decode(packet)
        frames += decoder.decode(None)
        return frames[rank].to_ndarray(format="bgr24")


class Packets:
    """What a frame brings to the video: its `packets` (av.Packet, decode order), whether a run
    may start at it (`key`), and the codec parameters of the stream they come from (`stream`, the
    muxer's template); with the source's sound kept, the audio that came up to it (`audio`, as
    quarrin.sound.Audio has it) and its `track` (else None)."""
    __slots__ = ("packets", "key", "stream", "audio", "track")

    def __init__(self, packets, stream, audio=(), track=None):
        self.packets, self.stream, self.audio, self.track = packets, stream, audio, track
        self.key = bool(packets) and packets[0].is_keyframe


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
        self.audio = None  # the probe's audio stream (a template), None when the source has none
        self.track = None  # quarrin.sound.Track: the recording keeps the sound
        self._sound = None
        self.clock = sources.StreamClock(True) if live else None  # times never go back, across connections
        self._ahead = collections.deque()  # a connection's backlog, timed: (image, time, Packets)

    # ---- opening -----------------------------------------------------------------------------------

    def _open(self, timeout):
        """The input container, or raises RecordingError with a reason that never shows the URL's
        password (FFmpeg's errors name the URL whole)."""
        kwargs = {}
        if self.live:
            kwargs["timeout"] = (timeout, self.opts.stall)
            if self.rtsp:
                kwargs["options"] = {"rtsp_transport": "tcp"}
        began = time.monotonic()
        try:
            with nativelog.quiet_stderr():
                return av.open(self.source, **kwargs)
        except (av.FFmpegError, OSError) as exc:
            if not self.live:
                raise RecordingError("cannot open %s: %s" % (self.shown, self.masked(exc))) from None
            said = [type(exc).__name__ + ": " + self.masked(exc)]
            reason = sources.why_not_opened(self.source, said, time.monotonic() - began, timeout)
            raise RecordingError("cannot open %s: %s" % (self.shown, reason)) from None

    def _opened(self, timeout):
        """The input container (see _open); a live source's opened again, within `timeout`, while
        its video stream lacks its frame size: the connection's look at its first packets ended
        before the stream's parameters came (a loaded machine, a camera that comes back with a
        burst), and a video made of its packets fails at the first one. The last one is returned
        whatever it lacks."""
        until = time.monotonic() + timeout
        while True:
            container = self._open(max(until - time.monotonic(), 0.1))
            video = container.streams.video
            if not self.live or not video or _sized(video[0]) or time.monotonic() >= until:
                return container
            container.close()
            time.sleep(min(0.1, max(0.0, until - time.monotonic())))

    def masked(self, exc):
        """An error's text with the source shown as it may be."""
        reason = getattr(exc, "strerror", None) or str(exc) or type(exc).__name__
        return str(reason).replace(self.source, self.shown)

    def probe(self):
        if not self.live and os.path.getsize(self.source) == 0:
            raise RecordingError("%s is empty" % self.source)
        container = self._opened(self.opts.open_timeout)
        try:
            if not container.streams.video:
                raise RecordingError("%s holds no video" % self.shown)
            stream = container.streams.video[0]
            context = stream.codec_context
            self.codec = context.name
            if self.codec not in CODECS:
                raise UsageError("copy", True, "the video of %s is %s; %s takes H.264 or H.265 only"
                                 % (self.shown, self.codec, named("copy")))
            self.width, self.height = context.width, context.height
            rate = stream.average_rate or stream.guessed_rate
            self.fps = float(rate) if rate else 0.0
            self.frames = stream.frames or None if not self.live else None
            self.audio = None
            if container.streams.audio:
                from quarrin import sound

                self.audio = sound.template(container.streams.audio[0])
        finally:
            container.close()
        if not self.width or not self.height:
            raise RecordingError("%s does not say its frame size" % self.shown)
        if not self.live and self.fps < 1:
            raise RecordingError("%s declares %g frames/s; its frames cannot be timed" % (self.source, self.fps))

    def open(self, timeout=None):
        timeout = self.opts.open_timeout if timeout is None else timeout
        try:
            container = self._opened(timeout)
        except RecordingError as exc:
            self._say(str(exc))
            return False
        if not container.streams.video:
            container.close()
            return False
        if self.live and not _sized(container.streams.video[0]):
            container.close()
            self._say("%s does not say its frame size" % self.shown)
            return False
        self.container, self.stream = container, container.streams.video[0]
        self.template = template(self.stream)
        context = self.stream.codec_context
        context.thread_count = 1  # many cameras share the cores: no decoder threads of its own
        # The decoded frames only feed the motion check: the deblocking filter and the exact
        # rounding it needs not are skipped (about a seventh of the decoding, 1080p H.264).
        context.options = {"skip_loop_filter": "all", "flags2": "+fast"}
        audio = container.streams.audio[0] if self.track is not None and container.streams.audio else None
        self._sound, self._video_at = None, time.monotonic()
        if audio is not None:
            from quarrin import sound

            audio.thread_count = 1
            self._sound = sound.Collector(audio, not self.track.copied)
        self._packets = container.demux(*(s for s in (self.stream, audio) if s is not None))
        self._pending = collections.deque()  # (packet, wall clock it came at) whose frames have not come out
        self._ready = collections.deque()    # frames to hand: (image, seconds from the first, wall clock, Packets)
        self._keyed = self._ended = False
        self._run, self._run_of = None, {}  # the run of packets from the last keyframe; each packet's (by time)
        self._zero = None
        self._offset = 0.0
        self._blank = np.zeros((context.height, context.width), np.uint8).view(Grey) if not self.decode else None
        if self.live:
            first = self.start is None
            self.start = self.start or datetime.datetime.now()
            self.clock.connected()
            self._backlog()
            if first and self._ahead:
                self.start = min(self.start, self._ahead[0][1])  # frames held while it opened came before
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
        self._ahead = collections.deque()
        if container is not None:
            container.close()

    # ---- reading -----------------------------------------------------------------------------------

    def read(self):
        if self._ahead:
            return self._ahead.popleft()
        if not self._fill():
            return None
        image, seconds, wall, packets = self._ready.popleft()
        if not self.live:
            return image, self.start + datetime.timedelta(seconds=seconds), packets
        return image, _local(self.clock.times([(seconds, wall)])[0]), packets

    def picture(self, got):
        """The frame just read (`got`, as read() gave it) in colour, for the live view: the decoded
        frame converted; without --motion a keyframe decoded by itself, other frames None."""
        image, _, packets = got
        frame = getattr(image, "frame", None)
        if frame is not None:
            return frame.to_ndarray(format="bgr24")
        if self.decode or not packets.key or self.stream is None:
            return None
        still = _Run(self.stream.codec_context)
        still.packets = packets.packets[:1]
        return still.decoded(1, 0)

    def _backlog(self):
        """Reads ahead the frames FFmpeg held while the connection opened (they come faster than
        the stream's pace), until a few in a row come no sooner, against their presentation times,
        than one before them; then times them all at once (see StreamReader._backlog)."""
        items, least, calm, held = [], math.inf, 0, 0
        while len(items) < sources.BACKLOG_FRAMES and held < sources.BACKLOG_BYTES and calm < sources.BACKLOG_CALM:
            if not self._fill():
                break
            item = self._ready.popleft()
            items.append(item)
            _, seconds, wall, packets = item
            calm = calm + 1 if wall - seconds >= least else 0
            least = min(least, wall - seconds)
            held += sum(p.size for p in packets.packets)
        times = self.clock.times([(seconds, wall) for _, seconds, wall, _ in items], backlog=True)
        self._ahead = collections.deque((image, _local(t), packets) for (image, _, _, packets), t in zip(items, times))

    def _fill(self):
        """Reads packets until a frame is ready to hand (True), or the input ends (False)."""
        while not self._ready:
            if self._ended:
                return False
            began = time.monotonic()
            try:
                packet = next(self._packets, None)
            except (av.FFmpegError, OSError) as exc:
                if not self.live:
                    raise RecordingError("reading %s failed: %s" % (self.shown, self.masked(exc))) from None
                self._say("Reading %s failed: %s" % (self.shown, self.masked(exc)))
                packet = None
            wall = time.time()
            # A read that took --stall timed out inside FFmpeg, which over RTSP then hands what it
            # had of a packet (and fails only at the next read): the signal is lost now.
            if self.live and packet is not None and time.monotonic() - began >= self.opts.stall:
                self._say("No packet from %s for %g s" % (self.shown, self.opts.stall))
                packet = None
            if self._sound is not None and packet is not None and packet.stream_index == self._sound.stream.index:
                # Sound that keeps coming does not make up for pictures that stopped.
                if self.live and time.monotonic() - self._video_at >= self.opts.stall:
                    self._say("No video from %s for %g s" % (self.shown, self.opts.stall))
                    packet = None
                else:
                    self._sound.add(packet)
                    continue
            self._video_at = time.monotonic()
            if packet is None or packet.size == 0:  # the end: what the decoder holds comes out
                self._ended = True
                if self.decode:
                    self._decoded(None, wall)
                continue
            if not self._keyed:  # a connection starts at a keyframe: the frames before need what came earlier
                if not packet.is_keyframe:
                    continue
                self._keyed = True
            if self.decode:
                if packet.is_keyframe or self._run is None:
                    # Frames of the run before may still come out; those of older ones never will.
                    self._run_of = {pts: run for pts, run in self._run_of.items() if run is self._run}
                    self._run = _Run(self.stream.codec_context)
                self._run.packets.append(packet)
                self._run_of[packet.pts] = self._run
                self._pending.append((packet, wall))
                self._decoded(packet, wall)
            else:
                at = packet.dts if packet.dts is not None else packet.pts
                self._ready.append((self._blank, self._seconds(at), wall, self._payload([packet])))
        return True

    def _decoded(self, packet, wall):
        """Decodes `packet` (None: drains the decoder); each frame out takes the packets read up to
        its own (by presentation time), in decode order, and the wall clock its own packet came at."""
        try:
            frames = self.stream.codec_context.decode(packet)
        except av.FFmpegError as exc:
            self._say("A frame of %s does not decode: %s" % (self.shown, self.masked(exc)))
            return
        for frame in frames:
            taken, came = [], wall
            if any(p.pts == frame.pts for p, _ in self._pending):
                while self._pending:
                    got, came = self._pending.popleft()
                    taken.append(got)
                    if got.pts == frame.pts:
                        break
            run = self._run_of.pop(frame.pts, self._run)
            image = luma(frame).view(Grey)
            image.frame, image.run = frame, (run, len(run.packets), run.handed)
            run.handed += 1
            self._ready.append((image, self._seconds(frame.pts), came, self._payload(taken)))
        if packet is None:  # packets whose frames never came out go with the last frame
            if self._ready and self._pending:
                self._ready[-1][3].packets.extend(p for p, _ in self._pending)
            self._pending.clear()
            self._run_of.clear()

    def _payload(self, packets):
        """A frame's Packets, with the audio that came up to it."""
        if self._sound is None:
            return Packets(packets, self.template)
        return Packets(packets, self.template, self._sound.take(), self.track)

    def _seconds(self, pts):
        """A frame's presentation time, in seconds from the connection's first (the frame before's
        plus a frame's time when it has none)."""
        if pts is None or self.stream.time_base is None:
            seconds = self._offset + 1 / (self.fps or 30) if self._zero is not None else 0.0
        else:
            if self._zero is None:
                self._zero = pts
            seconds = float((pts - self._zero) * self.stream.time_base)
        self._offset = seconds
        return seconds


def _sized(stream):
    """Whether a video stream's parameters give its frame size (a muxer needs them)."""
    return bool(stream.codec_context.width and stream.codec_context.height)


def _local(seconds):
    return datetime.datetime.fromtimestamp(seconds)


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
    """Muxes copied packets into .mp4 (fragmented) or .mkv, as `quarrin.av_writer` lays them out
    (the last packet written out after a quiet spell, as there). The container opens with the
    first frame written: its stream is a copy of the input's."""

    def __init__(self, track=None):
        self.container = self.stream = None
        self.name, self.track = None, track  # track: the source's sound kept (quarrin.sound)
        self._lock = threading.Condition()
        self._quiet = self._sink = None

    def open(self, name, fps, size):
        container_for(name)  # the extension is one it writes
        self.release()
        self.name, self.base = name, None

    def write(self, frame, time, payload=None):
        if payload is None:
            raise ValueError("a copied recording's frame came without its packets")
        if self.container is None:
            fmt, options = container_for(self.name, self.track is not None)
            container = av.open(self.name, "w", format=fmt, options=dict(options))
            try:
                self.stream = container.add_stream_from_template(payload.stream)
                if self.track is not None:
                    from quarrin.sound import Sink

                    self._sink = Sink(container, self.track)
            except BaseException:
                container.close()
                raise
            self.container, self.source = container, payload.stream
            self._quiet = QuietMuxer(container, self._lock)
        with self._lock:
            self._mux(payload.packets)
            if self._sink is not None:
                self._mux_audio(self._sink.packets(payload.audio))
            self._quiet.wrote()

    def _mux_audio(self, packets):
        if packets:
            self.container.mux(packets)

    def _mux(self, packets):
        for packet in packets:
            if self.base is None:
                self.base = packet.dts if packet.dts is not None else packet.pts or 0
                self.last = None
                if self._sink is not None and packet.time_base is not None:
                    self._sink.zero = float(self.base * packet.time_base)
            # A muxer takes strictly increasing decode times: a camera that sent two frames with one
            # time (a late frame pushed with the next) must not stop the recording.
            dts = (packet.dts if packet.dts is not None else packet.pts if packet.pts is not None else 0) - self.base
            if self.last is not None and dts <= self.last:
                dts = self.last + 1
            pts = dts if packet.pts is None else max(packet.pts - self.base, dts)
            packet.dts, packet.pts, self.last = dts, pts, dts
            packet.stream = self.stream
            self.container.mux(packet)
            self._quiet.started = True

    def release(self):
        container, self.container, self.stream, self.source = self.container, None, None, None
        sink, self._sink = self._sink, None
        if container is not None:
            self._quiet.close()
            self._quiet = None
            try:
                if sink is not None and sink.zero is not None:
                    container.mux(sink.close())
            finally:
                container.close()
