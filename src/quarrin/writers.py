"""Video writers behind the engine's writer interface, and the kinds of writer a recording may use.

The engine's writer stage calls, for each segment, ``open(name, fps, (width, height))``, then
``write(frame, time)`` for every kept frame (a BGR uint8 array and its datetime) and
``release()`` when the segment ends; the timestamps CSV beside each video is written apart.
A failure raises, and the engine ends the recording with every file closed.

Three kinds, in the table KINDS (`Kind`: what each refuses, how its writer is made, what a frame
held back costs): `OpenCVWriter` (cv2.VideoWriter with a four-character codec), H.264 through
PyAV (`quarrin.av_writer`, imported only when used) and the source's own packets (--copy,
`quarrin.passthrough`, with its reader). `choose` picks one of the first two for an output and its
options. A recording hands the engine its writer inside a `GuardedWriter`, which turns a write
that failed into an error at that frame, and stops before the disk gets too full.
"""
import dataclasses
import datetime
import os
import typing

from quarrin.errors import RecordingError, UsageError, named

H264_EXTENSIONS = (".mp4", ".mkv")
INSTALL_H264 = "pip install 'quarrin[h264]'"
# With --copy: the bitrate the packets held are counted at, and the seconds between keyframes held
# for beyond --before (a run of copied frames starts at a keyframe).
COPY_MBITS = 100
KEYFRAME_ALLOWANCE = 10.0


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

    def write(self, frame: typing.Any, time: datetime.datetime) -> None:
        self.writer.write(frame)

    def release(self) -> None:
        writer, self.writer = self.writer, None
        if writer is not None:
            writer.release()


class WriterStopped(Exception):
    """The guarded writer stopped the recording at a frame boundary: the frame in hand was not
    written. `video` is the segment being written, `frames` the frames it was handed before."""

    def __init__(self, video, frames, reason):
        super().__init__(reason)
        self.video, self.frames, self.reason = video, frames, reason


class WriteFailed(WriterStopped):
    """The video writer failed (an error it raised, or one OpenCV only logged)."""


class DiskLow(WriterStopped):
    """Free space on the output's file system fell below --min-free."""


class GuardedWriter:
    """The writer the engine gets: `inner` with checks around it.

    Before each segment opens and each frame is written, the free space of the output's file
    system must stay at `min_free` bytes or more (0: not checked) once this write and the close
    after it are done: the margin follows the largest write and close seen so far (an H.264
    writer puts a fragment of a second on the disk at once). After each frame, the log
    `capture` (quarrin.nativelog) must hold no new write failure: OpenCV's writer reports a frame
    it could not write only there. Either ends the recording at that frame, with the frame not
    written; so does what `stopped()` returns (an exception, or None: go on). `name` and `frames`
    tell what the open segment was handed."""

    def __init__(self, inner, min_free=0, capture=None, stopped=None):
        self.inner, self.min_free, self.capture, self.stopped_by = inner, min_free, capture, stopped
        self.name, self.frames, self.folder = None, 0, None
        self.stopped = False  # this segment stopped the recording: its close only cleans up
        self.largest_write = self.largest_close = 0  # bytes the video grew by in one call
        self.size = 0

    def open(self, name, fps, size):
        self.name, self.frames, self.stopped = name, 0, True
        self.folder = os.path.dirname(os.path.abspath(name))
        self._check_stop()
        self._check_space()
        seen = self._failures()
        try:
            self.inner.open(name, fps, size)
        except Exception as exc:
            raise WriteFailed(name, 0, _reason(exc)) from exc
        self._check_log(seen)
        self.size = self._size()
        self.stopped = False

    def write(self, frame, time, *payload):
        self.stopped = True
        self._check_stop()
        self._check_space()
        seen = self._failures()
        try:
            self.inner.write(frame, time, *payload)
        except Exception as exc:
            raise WriteFailed(self.name, self.frames, _reason(exc)) from exc
        self._check_log(seen)
        self.largest_write = max(self.largest_write, self._grown())
        self.frames += 1
        self.stopped = False

    def release(self):
        if self.stopped:  # the error that stopped the recording is the one reported
            try:
                self.inner.release()
            except Exception:
                pass
            return
        seen = self._failures()
        try:
            self.inner.release()
        except Exception as exc:
            raise WriteFailed(self.name, self.frames, _reason(exc)) from exc
        self._check_log(seen)
        self.largest_close = max(self.largest_close, self._grown())
        if self.frames and self._at_a_limit():
            # Closing writes what the writer still holds, and its index: OpenCV's writer does not say
            # when that fails. On a full disk, or at the file size limit, count what the video holds.
            from quarrin import checking

            held = checking.count_frames(self.name)
            if held < self.frames:
                raise WriteFailed(self.name, self.frames, "closing it failed (the disk or the file size limit "
                                  "was reached)")

    def _at_a_limit(self):
        left = free_space(self.folder)
        if left is not None and left < CLOSE_ROOM:
            return True
        try:
            import resource

            limit = resource.getrlimit(resource.RLIMIT_FSIZE)[0]
            return limit != resource.RLIM_INFINITY and os.path.getsize(self.name) + CLOSE_ROOM > limit
        except (ImportError, OSError, ValueError):
            return False

    def _size(self):
        try:
            return os.stat(self.name).st_size
        except OSError:
            return 0

    def _grown(self):
        """Bytes the video grew by since the last look."""
        before, self.size = self.size, self._size()
        return max(0, self.size - before)

    def margin(self):
        """Room to keep above --min-free before a write: what the write may put on the disk at once,
        and what the close after it may still write (the frames the writer holds, its index)."""
        holds = max(WRITER_HOLDS, self.largest_write)
        return holds + max(self.largest_write, self.largest_close)

    def _failures(self):
        return len(self.capture.failures()) if self.capture is not None else 0

    def _check_log(self, seen):
        if self.capture is None:
            return
        self.capture.poll()
        failures = self.capture.failures()
        if len(failures) > seen:
            raise WriteFailed(self.name, self.frames, "the video writer reported: %s" % _log_text(failures[seen]))

    def _check_stop(self):
        reason = self.stopped_by() if self.stopped_by is not None else None
        if reason is not None:
            raise reason

    def _check_space(self):
        if self.min_free <= 0:
            return
        left = free_space(self.folder)
        if left is not None and left - self.margin() < self.min_free:
            raise DiskLow(self.name, self.frames, "free space on the file system of %s (%s) would fall below "
                          "--min-free %s" % (self.folder, show_size(left), show_size(self.min_free)))


# What a writer may hold before the disk sees it (OpenCV's FFmpeg writer buffers 256 KiB): free
# space must stay above --min-free by this much at least, and by the largest writes seen.
WRITER_HOLDS = 1 << 20
# Room a writer may need to close a video (what it holds back, its index): with less left on the
# disk, or below the file size limit, a closed video is checked.
CLOSE_ROOM = 4 << 20


def free_space(folder):
    """Bytes an unprivileged user may still write on the file system of `folder` (None: unknown)."""
    try:
        st = os.statvfs(folder)
    except (OSError, AttributeError):
        return None
    return st.f_bavail * st.f_frsize


def show_size(n, spelled=False):
    """A size as the messages give it: 1.5G, 812.0M, 900B; `spelled`: 1.5 GiB, 812.0 MiB, 900 B
    (the budgets' lines and the pages)."""
    for unit, scale in (("T", 1 << 40), ("G", 1 << 30), ("M", 1 << 20), ("K", 1 << 10)):
        if n >= scale:
            return ("%.1f %siB" if spelled else "%.1f%s") % (n / scale, unit)
    return ("%d B" if spelled else "%dB") % n


def _reason(exc):
    if isinstance(exc, OSError) and exc.strerror:
        return exc.strerror
    return str(exc) or type(exc).__name__


def _log_text(line):
    """A log line without OpenCV's prefix ([ WARN:0@1.2] global cap_ffmpeg.cpp:219 write)."""
    import re

    return re.sub(r"^\[\s*\w+:[^\]]*\]\s*(global\s+)?\S+:\d+\s+\w+\s+", "", line).strip()


@dataclasses.dataclass(frozen=True)
class Choice:
    """The writer of a recording: `codec` is "h264" (PyAV, with x264's `crf` and `preset`), "copy"
    (the source's packets) or an OpenCV four-character codec."""
    codec: str
    crf: int = 23
    preset: str = "ultrafast"
    note: str | None = dataclasses.field(default=None, compare=False)  # why an .mp4/.mkv got no H.264 unasked

    @property
    def kind(self):
        """Its entry of KINDS."""
        return KINDS.get(self.codec, OPENCV)

    @property
    def h264(self):
        return self.codec == "h264"

    def make(self, track=None):
        """The writer; `track` (quarrin.sound.Track): with the source's sound (PyAV's writers only)."""
        return self.kind.make(self, track)

    def __str__(self):
        return self.kind.shown(self)


# ---- the kinds of writer -------------------------------------------------------------------------

class Kind:
    """A kind of video writer: what a recording through it refuses (each check made before anything
    is written, in the order of recording.prepare: the reader, the output, the region, the frames
    held, the writer itself), how its writer is made, and what it holds per frame held back for
    --before and --min-event. This base is what the re-encoding kinds share before the frame
    size is known; `choose` then picks OpenCV's writer or H.264."""
    keeps_sound = False  # the source's sound can go into the video with the frames
    probed = True        # a few frames are written into a scratch file first (_check_writer)
    pixel_bytes = 3      # a held frame's picture: BGR
    packet_rate = 0      # bytes a second of held frames brings beside its pictures
    lead = 0.0           # seconds held beyond --before (and --min-event)

    def reader(self, opts):
        """What makes the reader it writes from (``make(source, live)``, for sources.reader_for);
        None: any reader of the source."""
        return None

    def refuse_reader(self, reader):
        pass

    def refuse_output(self, output):
        pass

    def refuse_region(self, roi, width, height):
        """UsageError for a region of the frames it cannot write (before the recording)."""

    def refuse_resized(self, roi, width, height, said):
        """RecordingError (its text beginning with `said`) for a region it cannot go on writing
        once a live source's frames changed to `width` x `height`; the region is checked after."""

    def refuse_size(self, roi):
        """UsageError for a region size it cannot write, once a live source's frames changed."""

    def held_bytes(self, width, height):
        """What a frame held back takes besides its packets."""
        return width * height * self.pixel_bytes

    def choose(self, output, opts, size):
        return choose(output, opts, size)

    def make(self, choice, track):
        raise NotImplementedError

    def shown(self, choice):
        return choice.codec


class OpenCVKind(Kind):
    """cv2.VideoWriter with a four-character codec: pictures only."""

    def make(self, choice, track):
        return OpenCVWriter(choice.codec)


class H264Kind(Kind):
    """H.264 through PyAV (quarrin.av_writer), into .mp4 or .mkv, with the source's sound."""
    keeps_sound = True

    def refuse_size(self, roi):
        if roi[2] % 2 or roi[3] % 2:
            raise UsageError("roi", roi, "H.264 needs an even width and height")

    def make(self, choice, track):
        from quarrin.av_writer import H264Writer

        return H264Writer(choice.crf, choice.preset, track)

    def shown(self, choice):
        return "H.264"


class CopyKind(Kind):
    """The source's own packets, muxed as they came (--copy, quarrin.passthrough): from its own
    reader, into .mp4 or .mkv, whole frames only. The frames held are grey, with their packets,
    counted at COPY_MBITS; a run of copied frames starts at a keyframe, up to KEYFRAME_ALLOWANCE
    seconds before the first frame it keeps."""
    keeps_sound = True
    probed = False  # it writes packets, not pictures: there is nothing to try it with
    pixel_bytes = 1
    packet_rate = COPY_MBITS * 1_000_000 // 8
    lead = KEYFRAME_ALLOWANCE

    def reader(self, opts):
        if not pyav_available():
            raise UsageError("copy", True, "needs PyAV: %s" % INSTALL_H264)
        from quarrin import passthrough

        return lambda source, live: passthrough.CopyReader(source, opts, live)

    def refuse_reader(self, reader):
        if not getattr(reader, "copies", False):
            raise UsageError("copy", True, "copies the packets of a file or a URL; %s hands frames" % reader.shown)

    def refuse_output(self, output):
        from quarrin import layout

        ext = os.path.splitext(layout.expand(output))[1].lower()
        if ext not in H264_EXTENSIONS:
            raise UsageError("output", output, "%s writes the source's packets into .mp4 or .mkv files, not %s"
                             % (named("copy"), ext))

    def refuse_region(self, roi, width, height):
        if tuple(roi) != (0, 0, width, height):
            raise UsageError("roi", roi, "%s keeps the whole %dx%d frame (its packets are not re-encoded); a "
                             "part of it needs re-encoding" % (named("copy"), width, height))

    def refuse_resized(self, roi, width, height, said):
        if tuple(roi) != (0, 0, width, height):
            raise RecordingError("%s: %s keeps whole frames, and %s %d,%d,%d,%d is no longer one"
                                 % ((said, named("copy"), named("roi")) + tuple(roi)))

    def choose(self, output, opts, size):
        return Choice("copy")

    def make(self, choice, track):
        from quarrin.passthrough import CopyWriter

        return CopyWriter(track)

    def shown(self, choice):
        return "the source's packets"


ENCODED, OPENCV, H264, COPY = Kind(), OpenCVKind(), H264Kind(), CopyKind()
# The kinds by name: a Choice's codec names its kind, or is OpenCV's four-character code.
KINDS = {"opencv": OPENCV, "h264": H264, "copy": COPY}


def kind_asked(opts):
    """The kind the options ask for before the source is probed: the source's packets (--copy), or
    a re-encoding writer, which `Kind.choose` picks once the frame size is known."""
    return COPY if opts.copy else ENCODED


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
            raise UsageError("output", output, "%s asks for H.264, which is written into .mp4 or .mkv files, "
                                               "not %s" % (named(asked), ext))
        check_h264_available(opts)
        if size[0] % 2 or size[1] % 2:
            raise UsageError("roi", opts.roi or (0, 0) + tuple(size), "H.264 needs an even width and height, "
                             "not %dx%d (choose such a region, or %s)" % (tuple(size) + (named("fourcc"),)))
        return h264
    even = size[0] % 2 == 0 and size[1] % 2 == 0
    if ext in H264_EXTENSIONS and even and pyav_available():
        return h264
    code = fourcc_for(output, None)
    note = None
    if ext in H264_EXTENSIONS:
        why = ("H.264 needs PyAV: %s" % INSTALL_H264 if not pyav_available() else
               "H.264 needs an even width and height, not %dx%d (choose such a region)" % tuple(size))
        note = unplayable(output, code, why)
    return Choice(code, note=note)


def unplayable(output, code, why):
    """The line that says an .mp4 or .mkv output is written with an OpenCV codec browsers do not play."""
    return "%s is written with OpenCV's %s, which web browsers do not play; %s" % (output, code, why)


def without_pyav(outputs, opts):
    """The line that says a batch's .mp4 and .mkv outputs get OpenCV's codecs, for want of PyAV;
    None when none does (or --fourcc chose the codec)."""
    if opts.fourcc is not None or pyav_available():
        return None
    if any(os.path.splitext(output)[1].lower() in H264_EXTENSIONS for output in outputs):
        return unplayable("each .mp4 and .mkv output", "mp4v or XVID", "H.264 needs PyAV: %s" % INSTALL_H264)
    return None


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
