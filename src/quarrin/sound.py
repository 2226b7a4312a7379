"""A source's sound, kept beside its video in .mp4 and .mkv outputs (through PyAV).

A reader whose source has an audio stream hands, with each frame, the audio that came up to it
(`Audio`): packets as the source sent them, or frames decoded from them where the output's
container does not take their codec (`Track.copied`), each with its time in seconds on the
source's own clock. The writer of a segment keeps the audio of the frames it is given (`Sink`),
re-timed as the video is, from the segment's first frame: so a motion recording has the sound of
its saved stretches, in step with their pictures, and each segment starts with its own. Audio
from before a segment's first frame is left out.

The audio encoded is AAC at 48 kHz, mono or stereo; its encoder holds a few of its frames (some
60 ms), which go into the file with the next ones or when the segment closes.
"""
import fractions
import io

import av

RATE = 48000                 # the sample rate of the audio encoded
TIME_BASE = fractions.Fraction(1, RATE)
# A break in the audio longer than this (a stretch of frames not saved) starts a new run of samples
# at the time of the audio after it; a shorter one is closed up.
GAP_SECONDS = 0.1


class Track:
    """How a recording keeps its source's audio stream: `template` holds its codec parameters (a
    stream of its own, as passthrough.template makes); `copied`: its packets go into the output as
    they are, else they are decoded (by the reader) and encoded to AAC (by the writer)."""
    __slots__ = ("template", "copied", "codec")

    def __init__(self, template, copied):
        self.template, self.copied = template, copied
        self.codec = template.codec_context.name

    def __repr__(self):
        return "Track(%s, %s)" % (self.codec, "copied" if self.copied else "encoded to AAC")


class Audio:
    """What a frame of a reader that hands no packets of its own brings to the writer: the audio
    that came up to it (`audio`: (av.Packet or av.AudioFrame, seconds) pairs), the frame's own time
    on the source's clock (`at`, seconds) and the `track`. Every such frame may start a segment."""
    __slots__ = ("audio", "at", "track")
    key = True

    def __init__(self, audio, at, track):
        self.audio, self.at, self.track = audio, at, track


def template(stream):
    """The codec parameters of an input stream, in a stream of their own that outlives its
    container (in the first container format that takes its codec: a camera's G.711 goes into
    neither Matroska nor MP4); None when none does."""
    for fmt in ("matroska", "mov", "nut"):
        try:
            return av.open(io.BytesIO(), "w", format=fmt).add_stream_from_template(stream)
        except (ValueError, av.FFmpegError):
            continue
    return None


def accepts(fmt, stream):
    """Whether a container of FFmpeg's format `fmt` takes the codec of `stream` as it is."""
    from quarrin.nativelog import quiet_stderr

    with quiet_stderr():
        container = av.open(io.BytesIO(), "w", format=fmt)
        try:
            container.add_stream_from_template(stream)
            container.start_encoding()
        except (ValueError, av.FFmpegError):
            return False
        finally:
            try:
                container.close()
            except (ValueError, av.FFmpegError):
                pass
    return True


def track_for(stream, fmt):
    """The Track of an input audio stream for an output of format `fmt`."""
    return Track(template(stream), accepts(fmt, stream))


def seconds_of(item):
    """An audio packet's or frame's presentation time in seconds, or None when it has none."""
    if item.pts is None or item.time_base is None:
        return None
    return float(item.pts * item.time_base)


class Collector:
    """Gathers the audio a reader demuxes until the next frame takes it: packets as they are, or
    decoded (`stream` is the input's audio stream; `decode` when the track is not copied)."""

    def __init__(self, stream, decode):
        self.stream, self.decode = stream, decode
        self.items = []

    def add(self, packet):
        if packet.size == 0:
            return
        if not self.decode:
            at = seconds_of(packet)
            if at is not None:
                self.items.append((packet, at))
            return
        try:
            frames = self.stream.decode(packet)
        except av.FFmpegError:
            return  # a damaged packet is a moment of silence
        for frame in frames:
            at = seconds_of(frame)
            if at is not None:
                self.items.append((frame, at))

    def take(self, before=None):
        """The audio gathered (that before `before` seconds only, when given)."""
        if before is None:
            taken, self.items = self.items, []
            return taken
        cut = 0
        while cut < len(self.items) and self.items[cut][1] < before:
            cut += 1
        taken, self.items = self.items[:cut], self.items[cut:]
        return taken


class FileAudio:
    """The audio stream of a video file read by another reader (OpenCV's, which reads no sound),
    through a demuxer of its own. `until(seconds)` gives the audio before that time."""

    def __init__(self, path, track):
        self.container = av.open(path)
        try:
            video = self.container.streams.video
            self.stream = self.container.streams.audio[0]
        except BaseException:
            self.container.close()
            raise
        self.stream.thread_count = 1
        start = video[0].start_time if video else None
        self.video_start = float(start * video[0].time_base) if start is not None else 0.0
        self._packets = self.container.demux(self.stream)
        self._collector = Collector(self.stream, not track.copied)
        self._ended = False

    def until(self, seconds):
        collector = self._collector
        while not self._ended and (not collector.items or collector.items[-1][1] < seconds):
            try:
                packet = next(self._packets, None)
            except (av.FFmpegError, OSError):
                packet = None
            if packet is None:
                self._ended = True
                break
            collector.add(packet)
        return collector.take(seconds)

    def close(self):
        self.container.close()


class Sink:
    """The audio of one segment's output `container`: a stream for the `track` (copied, or AAC),
    added before anything is muxed. `zero` (seconds on the source's clock) is the time of the
    segment's start, set by the writer with its first frame; `packets(audio)` gives what to mux
    of a frame's audio, `close()` what is left at the segment's end."""

    def __init__(self, container, track):
        self.track, self.zero = track, None
        self.last = None  # the last copied packet's decode time, in its own time base
        if track.copied:
            self.stream = container.add_stream_from_template(track.template)
        else:
            channels = track.template.codec_context.channels or 1
            self.layout = "mono" if channels == 1 else "stereo"
            self.stream = container.add_stream("aac", rate=RATE, layout=self.layout)
            self.stream.time_base = TIME_BASE
            self.encoder = self.stream.codec_context
            self.encoder.thread_count = 1
            self.resampler = av.AudioResampler(format="fltp", layout=self.layout, rate=RATE)
            self.fifo = None
            self.next = 0  # the sample at which the fifo's first sample goes

    def packets(self, audio):
        if self.zero is None:
            return []
        found = []
        for item, at in audio:
            if at < self.zero:
                continue
            found += self._copied(item, at) if self.track.copied else self._encoded(item, at)
        return found

    def _copied(self, packet, at):
        base = packet.time_base
        dts = round((at - self.zero) / base)
        if packet.dts is not None and packet.pts is not None:
            dts -= packet.pts - packet.dts
        if self.last is not None and dts <= self.last:
            dts = self.last + 1
        pts = max(dts, round((at - self.zero) / base))
        packet.dts, packet.pts, self.last = dts, pts, dts
        packet.stream = self.stream
        return [packet]

    def _encoded(self, frame, at):
        found = []
        want = round((at - self.zero) * RATE)
        queued = self.fifo.samples if self.fifo is not None else 0
        if self.fifo is None or want - (self.next + queued) > GAP_SECONDS * RATE:
            found += self._drain()
            self.fifo, self.next = av.AudioFifo(), max(want, self.next)
        frame.pts = None
        for out in self.resampler.resample(frame):
            out.pts = None
            self.fifo.write(out)
        size = self.encoder.frame_size or 1024
        while self.fifo.samples >= size:
            found += self._encode(self.fifo.read(size))
        return found

    def _encode(self, frame):
        frame.pts, frame.time_base, frame.sample_rate = self.next, TIME_BASE, RATE
        self.next += frame.samples
        packets = self.encoder.encode(frame)
        for packet in packets:
            packet.stream = self.stream
        return packets

    def _drain(self):
        """The samples the fifo holds, made a whole frame with silence after them."""
        if self.fifo is None or not self.fifo.samples:
            return []
        size = self.encoder.frame_size or 1024
        left = self.fifo.samples
        if left < size:
            silence = av.AudioFrame(format="fltp", layout=self.layout, samples=size - left)
            for plane in silence.planes:
                plane.update(bytes(plane.buffer_size))
            silence.sample_rate = RATE
            self.fifo.write(silence)
        return self._encode(self.fifo.read(size))

    def close(self):
        """What the segment's audio still holds, to mux before the container closes."""
        if self.track.copied:
            return []
        found = self._drain()
        packets = self.encoder.encode(None)
        for packet in packets:
            packet.stream = self.stream
        return found + packets
