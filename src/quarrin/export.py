"""One clip of a camera's recordings between two times: an event to download or send on.

The frames of the span are taken from the segments that hold them, in time order, each with the
time its timestamps CSV gives it (the CSV, not the container, says which frames belong to the
span), so the clip plays at the recording's pace, gaps and all. It is written into one .mp4 or
.mkv of H.264 in yuv420p, which a phone plays:

- H.264 segments (.mp4, .mkv) are copied packet for packet, from the keyframe at or before the
  span's first frame through its last frame; segments whose streams cannot follow one another
  in one stream (another frame size, other stream headers) are encoded instead, and `Exported`
  says why.
- Any other video (MJPG, mp4v) is decoded and encoded once (libx264, `CRF` at `PRESET`).

The clip is written to a temporary file beside the output and renamed at the end: a failure (a
damaged segment, which the error names) leaves no partial clip. PyAV (the h264 extra) does the
work; it is imported only when a clip is made.
"""
import dataclasses
import datetime
import fractions
import os
import re
import statistics
import tempfile
import typing

from quarrin.errors import RecordingError, UsageError

# extension: (FFmpeg's container name, its options). The MP4's index goes at its start, so that a
# phone plays it while it still downloads.
CONTAINERS = {".mp4": ("mp4", {"movflags": "+faststart"}), ".mkv": ("matroska", {})}
COPIED = (".mp4", ".mkv")      # H.264 in these is copied
CRF, PRESET = 23, "veryfast"   # the encoder's quality and speed where frames are encoded
TIME_BASE = fractions.Fraction(1, 90000)
_TICKS = 90000
_MIN_STEP = _TICKS // 1000     # Matroska keeps milliseconds: frames at least this far apart
_DEFAULT_STEP = _TICKS // 25   # the last frame's length when a clip has one frame
_REORDER = 16                  # frames an H.264 decoder may hold back at most (its reorder depth)


class NoRecording(RecordingError):
    """No recording holds a frame of the span, or the video that held some is gone."""


class StillWriting(RecordingError):
    """A segment of the span is still being written, its newest frames not yet in its video."""


@dataclasses.dataclass(frozen=True)
class Exported:
    """A clip made: its `path`, the `frames` it holds (a copy starts at a keyframe, so it may
    hold some frames before the span), the `seconds` it plays, the time of its first frame,
    whether the packets were `copied` or encoded, and `note`: why H.264 sources were encoded
    (None otherwise)."""
    path: str
    frames: int
    seconds: float
    first: datetime.datetime
    copied: bool
    camera: typing.Optional[str] = None
    note: typing.Optional[str] = None


def check_output(out):
    """The output's extension (.mp4 or .mkv); UsageError for any other."""
    ext = os.path.splitext(os.fspath(out))[1].lower()
    if ext not in CONTAINERS:
        raise UsageError("output", os.fspath(out), "a clip is written as .mp4 or .mkv")
    return ext


def clip_name(camera, start, ext=".mp4"):
    """A file name for a clip, of its camera and time and safe anywhere: door-2026-12-09T101500.mp4."""
    name = re.sub(r"[^A-Za-z0-9_-]+", "_", camera or "").strip("_") or "clip"
    return "%s-%s%s" % (name, start.strftime("%Y-%m-%dT%H%M%S"), ext)


def export_event(index, id, out, *, progress=None, segments=None):
    """Exports the event `id` of `index` (a `quarrin.index.Index`): its span, start to end (its
    before- and after-time included). `segments(camera, since, until)`: where the recordings
    are looked up (default: the index's). UsageError for an unknown id."""
    check_output(out)
    listed = index.event(id)
    if listed is None:
        raise UsageError("event", id, "is no event of these recordings")
    e = listed.event
    find = segments or index.recordings
    names = [e.camera]
    if e.file:
        from quarrin.layout import camera_name

        names.append(camera_name(e.file))
    found = []
    for name in dict.fromkeys(n for n in names if n):
        found = find(name, e.start, e.end)
        if found:
            break
    if not found and e.file and os.path.isdir(os.path.dirname(e.file) or "."):
        # An event list given alone: its recordings are beside the video it names, in no index of
        # the caller's (one made aside, so that nothing is written there).
        from quarrin.index import Index

        with tempfile.TemporaryDirectory(prefix="quarrin-export-") as aside, \
                Index(os.path.dirname(e.file) or ".", os.path.join(aside, "index.sqlite")) as beside:
            for name in dict.fromkeys(n for n in names if n):
                found = beside.recordings(name, e.start, e.end)
                if found:
                    break
    return export_segments(found, e.start, e.end, out, progress=progress, camera=e.camera)


def export_span(index, camera, since, until, out, *, progress=None):
    """Exports the frames of `camera` from `since` to `until` (read as `quarrin.index.time_window`
    reads them: a day is the whole day) recorded under `index`."""
    from quarrin.index import time_window

    check_output(out)
    time_window(since, until)
    return export_segments(index.recordings(camera, since, until), since, until, out, progress=progress,
                           camera=camera)


def export_segments(segments, since, until, out, *, progress=None, camera=None):
    """Exports the frames of `segments` (`quarrin.Segment`s of one camera) from `since` to
    `until` into `out` (.mp4 or .mkv; its folder is made, a file there replaced).
    `progress(done, total)` is called as frames go in. Returns an `Exported`; NoRecording when no
    segment holds a frame of the span, RecordingError for a segment that cannot be read."""
    from quarrin.index import time_window

    ext = check_output(out)
    out = os.fspath(out)
    try:
        import av
    except ImportError:
        raise RecordingError("exporting a clip needs PyAV: pip install 'quarrin[h264]'") from None
    start, stop = (None if t is None else datetime.datetime.fromisoformat(t) for t in time_window(since, until))
    if os.path.isdir(out):
        raise UsageError("output", out, "is a directory")
    for s in segments:
        if os.path.exists(out) and any(os.path.exists(p) and os.path.samefile(out, p) for p in (s.video, s.csv)):
            raise UsageError("output", out, "is one of the recordings exported")
    pieces = [p for p in (_piece(s, start, stop) for s in sorted(segments, key=_first)) if p is not None]
    if not pieces:
        raise NoRecording("no recording%s holds a frame from %s to %s" % (
            " of camera %s" % camera if camera else "", since if since is not None else "the start",
            until if until is not None else "the end"))
    for p in pieces:
        p.probe(av)
    note = _why_encoded(pieces)
    folder = os.path.dirname(os.path.abspath(out))
    try:
        os.makedirs(folder, exist_ok=True)
        fd, temporary = tempfile.mkstemp(prefix="." + os.path.basename(out) + ".", suffix=".part", dir=folder)
    except OSError as exc:
        raise RecordingError("cannot write %s: %s" % (out, _reason(exc))) from None
    os.close(fd)
    try:
        fmt, options = CONTAINERS[ext]
        if note is None:
            made = _copy(av, pieces, temporary, fmt, options, progress)
        else:
            made = _encode(av, pieces, temporary, fmt, options, progress)
        frames, first, seconds = made
        _verify(av, temporary, frames)
        os.chmod(temporary, _mode())   # as any new file (a temporary one is the owner's alone)
        os.replace(temporary, out)
    except BaseException:
        _discard(temporary)
        raise
    sources = {p.codec for p in pieces}
    return Exported(out, frames, seconds, first, note is None, camera,
                    note if sources == {"h264"} else None)


def _first(segment):
    return segment.first or datetime.datetime.min


def _mode():
    """The permissions of a new file under this process's umask (read without changing it, which
    threads beside this one may rely on)."""
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("Umask:"):
                    return 0o666 & ~int(line.split()[1], 8)
    except (OSError, ValueError):
        pass
    return 0o644


def _discard(path):
    try:
        os.unlink(path)
    except OSError:
        pass


# --- the frames of each segment ------------------------------------------------------------

class _Piece:
    """The frames of one segment in the span: `rows` the times of its CSV's rows (frames in the
    order they are shown), `first`..`last` the rows in the span."""

    def __init__(self, segment, rows, first, last):
        self.segment, self.rows, self.first, self.last = segment, rows, first, last
        self.codec = self.size = self.extradata = None
        self.packets = None   # (pts, dts, keyframe) of the video's packets, in the order they are stored

    @property
    def video(self):
        return self.segment.video

    def fail(self, reason):
        return RecordingError("segment %s is damaged: %s (quarrin check tells more)" % (self.video, reason))

    def probe(self, av):
        """The stream's codec, size and headers, and its packets' times (read, not decoded)."""
        if not os.path.lexists(self.video):   # deleted by hand or by a disk budget: its frames are lost
            raise NoRecording("the video %s is gone (its timestamps CSV is left)" % self.video)
        try:
            with av.open(self.video) as container:
                if not container.streams.video:
                    raise self.fail("it holds no video stream")
                stream = container.streams.video[0]
                ctx = stream.codec_context
                self.codec, self.size, self.extradata = ctx.name, (ctx.width, ctx.height), ctx.extradata
                # Read as far as the span's last frame and the frames a decoder may reorder around it.
                wanted = self.last + 1 + _REORDER
                self.packets = []
                for p in container.demux(stream):
                    if p.size:
                        self.packets.append((p.pts, p.dts, p.is_keyframe))
                        if len(self.packets) >= wanted:
                            break
        except (av.error.FFmpegError, OSError) as exc:
            raise self.fail(_reason(exc)) from None
        if len(self.packets) <= self.last:
            if _recent(self.video):
                raise StillWriting("segment %s is still being written: its newest frames are not in its video "
                                     "yet; try again in a moment" % self.video)
            raise self.fail("its video holds %d frames, its CSV lists %d" % (len(self.packets), len(self.rows)))

    def ranks(self):
        """Each packet's place among the frames as shown (the order of their times), in the order
        they are stored; None when a packet has no time."""
        if any(pts is None for pts, _, _ in self.packets):
            return None
        order = sorted(range(len(self.packets)), key=lambda i: self.packets[i][0])
        ranks = [0] * len(order)
        for rank, i in enumerate(order):
            ranks[i] = rank
        return ranks

    def start_at(self, ranks):
        """The packet (its place in storage order) to start from: the last keyframe shown at or
        before the span's first frame, else the first one within the span (what comes before it
        does not decode, in the recording either)."""
        before = [i for i, (_, _, key) in enumerate(self.packets) if key and ranks[i] <= self.first]
        if before:
            return before[-1]
        within = [i for i, (_, _, key) in enumerate(self.packets) if key and ranks[i] <= self.last]
        if within:
            return within[0]
        raise self.fail("no keyframe at or before frame %d" % self.last)

    def time(self, rank):
        """The time of the frame of `rank`; a frame past the CSV's rows (held back by the encoder
        and written after the last row) goes on at the last rows' pace."""
        if rank < len(self.rows):
            return self.rows[rank]
        step = self.rows[-1] - self.rows[-2] if len(self.rows) > 1 else datetime.timedelta(seconds=0.04)
        return self.rows[-1] + step * (rank - len(self.rows) + 1)


def _recent(path, seconds=10.0):
    """Whether a file was written within the last `seconds` (a recording still writes it)."""
    import time

    try:
        return time.time() - os.stat(path).st_mtime < seconds
    except OSError:
        return False


def _piece(segment, start, stop):
    """The rows of `segment` in [start, stop), or None when it has none there."""
    from quarrin import stamps

    table = stamps.read(segment.csv)
    if not table.found or not table.header:
        raise RecordingError("segment %s cannot be exported: %s" % (segment.video, "; ".join(table.problems)))
    good = table.lines[:table.leading]
    if len(good) < len(table.lines) and not table.cut_tail:
        raise RecordingError("segment %s is damaged: %s (quarrin check --repair trims it)"
                             % (segment.video, "; ".join(table.problems)))
    try:
        rows = [stamps.local_time(line.timestamp) for line in good]
    except (ValueError, OverflowError) as exc:
        raise RecordingError("segment %s is damaged: %s" % (segment.video, exc)) from None
    inside = [i for i, t in enumerate(rows) if (start is None or t >= start) and (stop is None or t < stop)]
    if not inside:
        return None
    return _Piece(segment, rows, inside[0], inside[-1])


def _why_encoded(pieces):
    """None when every piece's packets can be copied into one stream; else why not."""
    head = pieces[0]
    for p in pieces:
        if p.codec != "h264" or os.path.splitext(p.video)[1].lower() not in COPIED:
            return "%s is %s, not H.264 in .mp4 or .mkv" % (p.video, p.codec)
        if not p.extradata:
            return "%s carries its H.264 headers in its stream, not beside it" % p.video
        if p.ranks() is None:
            return "%s has packets without a time" % p.video
        if p.size != head.size or p.extradata != head.extradata:
            return "%s and %s differ in frame size or stream headers: one stream cannot hold both" % (
                head.video, p.video)
    return None


def _reason(exc):
    return getattr(exc, "strerror", None) or str(exc)


def _ticks(delta):
    micro = (delta.days * 86400 + delta.seconds) * 1_000_000 + delta.microseconds
    return (micro * 9 + 50) // 100


class _Clock:
    """The times of the clip's frames, in 1/90000 s from its first frame, rising by at least a
    millisecond (a clock set back, two rows of one time)."""

    def __init__(self):
        self.zero = self.last = None

    def __call__(self, moment):
        if self.zero is None:
            self.zero = moment
        pts = _ticks(moment - self.zero)
        if self.last is not None:
            pts = max(pts, self.last + _MIN_STEP)
        self.last = pts
        return pts


def _lengths(times):
    """The length of each frame shown at `times` (ascending): until the next; the last as long as
    the usual step."""
    steps = [b - a for a, b in zip(times, times[1:])]
    usual = int(statistics.median(steps)) if steps else _DEFAULT_STEP
    return steps + [usual]


# --- copying -------------------------------------------------------------------------------

def _copy(av, pieces, path, fmt, options, progress):
    """Copies the packets of the span; (frames, first time, seconds)."""
    clock = _Clock()
    plan = []   # per piece: {storage place: pts}, in storage order
    shown = []  # every pts, in the order shown
    for p in pieces:
        ranks = p.ranks()
        begin = p.start_at(ranks)
        low = ranks[begin]
        end = max(i for i in range(len(ranks)) if ranks[i] <= p.last)
        # The frames shown before the keyframe started from (an open GOP's) do not decode: left out.
        chosen = sorted((i for i in range(begin, end + 1) if ranks[i] >= low), key=lambda i: ranks[i])
        times = {i: clock(p.time(ranks[i])) for i in chosen}
        plan.append((p, begin, {i: times[i] for i in sorted(chosen)}))
        shown.extend(times[i] for i in chosen)
    lengths = dict(zip(shown, _lengths(shown)))
    # Decoding times: the times shown, in order, moved back as far as the frames that are
    # stored before those they come after need (none without B-frames).
    stored = [pts for _, _, chosen in plan for pts in chosen.values()]
    ascending = sorted(stored)
    lead = max(0, max(a - b for a, b in zip(ascending, stored)))
    decode = iter(t - lead for t in ascending)
    total, done = len(stored), 0
    with av.open(pieces[0].video) as first, av.open(path, "w", format=fmt, options=dict(options)) as target:
        template = first.streams.video[0]
        if hasattr(target, "add_stream_from_template"):
            out = target.add_stream_from_template(template)
        else:  # PyAV before 14
            out = target.add_stream(template=template)
        out.time_base = TIME_BASE
        for p, begin, chosen in plan:
            left = len(chosen)
            for place, packet in _packets(av, p, begin):
                pts = chosen.get(place)
                if pts is None:
                    continue
                packet.stream = out
                packet.time_base = TIME_BASE
                packet.pts, packet.dts, packet.duration = pts, next(decode), lengths[pts]
                target.mux(packet)
                done += 1
                left -= 1
                if progress is not None:
                    progress(done, total)
                if not left:
                    break
            if left:
                raise p.fail("%d of its packets could not be read again" % left)
    return total, pieces[0].time(pieces[0].ranks()[plan[0][1]]), (max(shown) + lengths[max(shown)]) / _TICKS


def _packets(av, piece, begin):
    """(storage place, packet) of a piece's video from the packet `begin` on: after a seek to the
    keyframe, or from the file's start when the seek would pass it."""
    pts, dts, _ = piece.packets[begin]
    try:
        with av.open(piece.video) as container:
            stream = container.streams.video[0]
            place = 0
            if begin:
                container.seek(pts, stream=stream, backward=True, any_frame=False)
            packets = (p for p in container.demux(stream) if p.size)
            if begin:
                packet = next(packets, None)
                if packet is None or packet.dts is None or packet.dts > dts:
                    container.seek(0, stream=stream, backward=True, any_frame=False)
                    packets = (p for p in container.demux(stream) if p.size)
                else:
                    # Where the seek landed, among the packets read before.
                    place = next((i for i, q in enumerate(piece.packets) if q[1] == packet.dts and q[0] == packet.pts),
                                 None)
                    if place is None:
                        raise piece.fail("a seek landed on a packet that was not there before")
                    yield place, packet
                    place += 1
            for packet in packets:
                yield place, packet
                place += 1
    except av.error.FFmpegError as exc:
        raise piece.fail(_reason(exc)) from None


# --- encoding ------------------------------------------------------------------------------

def _encode(av, pieces, path, fmt, options, progress):
    """Decodes the frames of the span and encodes them once; (frames, first time, seconds)."""
    clock = _Clock()
    total = sum(p.last - p.first + 1 for p in pieces)
    width, height = (v - v % 2 for v in pieces[0].size)
    times = [clock(p.time(r)) for p in pieces for r in range(p.first, p.last + 1)]
    lengths = _lengths(times)
    steps = sorted(lengths)
    rate = fractions.Fraction(_TICKS, max(1, steps[len(steps) // 2])).limit_denominator(1001)
    done = 0
    with av.open(path, "w", format=fmt, options=dict(options)) as target:
        out = target.add_stream("libx264", rate=rate)
        out.width, out.height, out.pix_fmt = width, height, "yuv420p"
        out.time_base = out.codec_context.time_base = TIME_BASE
        out.options = {"crf": str(CRF), "preset": PRESET}
        for p in pieces:
            expected = p.first
            for rank, frame in _frames(av, p):
                if rank < p.first:
                    continue
                if rank != expected:   # a frame the decoder could not make
                    raise p.fail("its frame %d does not decode" % expected)
                expected += 1
                image = _yuv420p(frame, width, height)
                image.pts, image.time_base = times[done], TIME_BASE
                target.mux(out.encode(image))
                done += 1
                if progress is not None:
                    progress(done, total)
                if rank == p.last:
                    break
            else:
                raise p.fail("its video ended before frame %d" % p.last)
        target.mux(out.encode(None))
    return total, pieces[0].time(pieces[0].first), (times[-1] + lengths[-1]) / _TICKS


_JPEG_RANGE, _MPEG_RANGE = 2, 1   # FFmpeg's AVColorRange: full (0..255), limited (16..235)


def _yuv420p(frame, width, height):
    """A decoded frame as the encoder takes it: yuv420p of limited range, as players expect of H.264
    (MJPG decodes to full-range yuvj formats, which a plain reformat would carry over unchanged)."""
    if not (frame.format.name.startswith("yuvj") or getattr(frame, "color_range", None) == _JPEG_RANGE):
        return frame.reformat(width=width, height=height, format="yuv420p")
    try:
        return frame.reformat(width=width, height=height, format="yuv420p", src_color_range=_JPEG_RANGE,
                              dst_color_range=_MPEG_RANGE)
    except TypeError:   # a PyAV without colour ranges: through RGB, which it converts right
        return frame.reformat(format="bgr24").reformat(width=width, height=height, format="yuv420p")


def _frames(av, piece):
    """(rank, frame) of a piece's video, in the order shown, from the span's first frame or a little
    before it: after a seek to the keyframe before it, or from the file's start where the seek would
    pass that frame or the packets have no times."""
    ranks = piece.ranks()
    by_pts, begin = None, 0
    if ranks is not None:
        by_pts = {pts: ranks[i] for i, (pts, _, _) in enumerate(piece.packets)}
        begin = piece.start_at(ranks)
    try:
        with av.open(piece.video) as container:
            stream = container.streams.video[0]
            stream.thread_type = "AUTO"
            if begin:
                container.seek(piece.packets[begin][0], stream=stream, backward=True, any_frame=False)
                frames = container.decode(stream)
                frame = next(frames, None)
                if frame is not None and by_pts.get(frame.pts, piece.first + 1) <= piece.first:
                    yield by_pts[frame.pts], frame
                    for frame in frames:
                        if frame.pts not in by_pts:
                            raise piece.fail("a decoded frame has a time no packet had")
                        yield by_pts[frame.pts], frame
                    return
                container.seek(0, stream=stream, backward=True, any_frame=False)
            for counted, frame in enumerate(container.decode(stream)):
                yield (by_pts.get(frame.pts, counted) if by_pts else counted), frame
    except av.error.FFmpegError as exc:
        raise piece.fail(_reason(exc)) from None


# --- checking what was written -------------------------------------------------------------

def _verify(av, path, frames):
    """The clip as PyAV reads it back holds the frames written."""
    try:
        with av.open(path) as container:
            found = sum(1 for p in container.demux(container.streams.video[0]) if p.size)
    except (av.error.FFmpegError, IndexError) as exc:
        raise RecordingError("the clip written cannot be read back: %s" % _reason(exc)) from None
    if found != frames:
        raise RecordingError("the clip written holds %d frames, not the %d put in" % (found, frames))
