"""Where a recording's frames come from: which kind of source a SOURCE names, what it holds, and
the reader the engine reads it through.

A reader (`Reader`) is to the engine's source what a writer is to its output. The engine calls
``open(timeout)`` (true when it opened), then ``read()`` for each frame: ``(frame, time)``, a
BGR uint8 array and its datetime, or None at the end (a live source: its signal is lost), and
``release()``. After each open, `start` is the recording's time zero and `fps` the rate its
video declares. A live reader's opens and reads run on a thread of the engine's own (they may
block for seconds); it is opened again after a loss, and released by that thread when the
recording stops while a call blocks. Before any of that, `probe()` learns its frame size, rate
and the frames it declares, and leaves it closed.

`reader_for` chooses one for a SOURCE: `FileReader`, `CameraReader` or `StreamReader` (a URL or a
device path), each over OpenCV's capture. The opening of each kind is written once, here, and
serves both the probe and the recording.

Frame times: a file's frame i is at its start (its modification time) plus i / its rate; a
camera's is the wall clock as it is read. A stream's: over RTSP, from the frames' presentation
times (`StreamClock`); otherwise the wall clock.
"""
import datetime
import math
import numbers
import os
import re
import sys
import threading
import time
import typing

from quarrin import options as _options
from quarrin.errors import RecordingError, UsageError
from quarrin.nativelog import quiet_stderr

# ---- what a SOURCE names ---------------------------------------------------------------------------

LIVE_SCHEMES = ("rtsp", "rtsps", "http", "https")
# Streams whose frames carry the camera's own presentation times (RTP timestamps).
TIMED_SCHEMES = ("rtsp", "rtsps")


def camera_index(source):
    """The camera index when `source` names a camera (an int, or a text of digits), else None."""
    if isinstance(source, bool):
        raise UsageError("source", source, "expected a camera index or a video file")
    if isinstance(source, numbers.Integral):
        index = int(source)
    elif isinstance(source, str) and re.fullmatch(r"\s*[-+]?\d+\s*", source):
        index = int(source)
    else:
        return None
    if index < 0:
        raise UsageError("source", source, "a camera index is 0 or more")
    if index > _options.INT32_MAX:
        raise UsageError("source", source, "camera index too large")
    return index


def live_source(source):
    """The source text when it names a live source: a URL (rtsp://, rtsps://, http://, https://)
    or a device path (/dev/video0); else None."""
    if not isinstance(source, str):
        return None
    text = source.strip()
    scheme = text.split("://", 1)[0].lower() if "://" in text else None
    if scheme is not None:
        if scheme not in LIVE_SCHEMES:
            raise UsageError("source", _options.shown_source(text), "a live source is a %s URL or a device path"
                             % ", ".join(s + "://" for s in LIVE_SCHEMES))
        return text
    if text.startswith("/dev/"):
        if not os.path.exists(text):
            raise UsageError("source", text, "no such device")
        return text
    return None


def check_source_file(source):
    """A video file source must exist and be a file (its contents are checked when it opens)."""
    path = _options.path_text("source", source, "expected a camera index or a video file")
    if not os.path.exists(path):
        raise UsageError("source", path, "no such file")
    if os.path.isdir(path):
        raise UsageError("source", path, "is a directory, not a video file")
    return path


def reader_for(source, opts, scan=False, copy=None):
    """The reader of SOURCE (a camera index, a live source, or a video file), with the options
    that apply to its kind; options of another kind are refused. A scan reads files only. Opens
    nothing. `copy(source, live)` makes the reader of a file or a URL whose packets are copied."""
    if isinstance(source, Reader):
        reader = source
    else:
        camera = camera_index(source)
        live = None if camera is not None or scan else live_source(source)
        if copy is not None:
            if camera is not None or (live is not None and "://" not in live):
                raise UsageError("copy", True, "copies what a file or a network camera's URL sends; %s sends raw "
                                 "frames" % ("camera %d" % camera if camera is not None else live))
            reader = copy(live, True) if live is not None else copy(check_source_file(source), False)
        elif camera is not None:
            reader = CameraReader(camera, opts)
        elif live is not None:
            reader = StreamReader(live, opts)
        else:
            reader = FileReader(check_source_file(source), opts)
    if reader.kind == "file":
        for name in _options.CAMERA_OPTIONS:
            if opts.given(name):
                raise UsageError(name, getattr(opts, name), "applies to a camera; the source is a file")
    if reader.kind != "live":
        for name in _options.LIVE_OPTIONS:
            if opts.given(name):
                raise UsageError(name, getattr(opts, name), "applies to a live source (a URL or a device path)")
    return reader


# ---- readers ---------------------------------------------------------------------------------------

class Reader:
    """A source of frames for the engine (see the module's docstring). `kind` is "file" (its frames
    time themselves: the recording runs at its pace), "camera" (timed by the wall clock) or "live"
    (timed as it comes, read on a thread of its own, opened again when its signal is lost).

    Subclasses fill `width`, `height`, `fps` and `frames` in `probe()`, and `start` in `open()`;
    for a camera or a live source the recording then sets `fps` to the rate it records at. `log`
    is set by the recording: a callable for the reader's own lines (which -v shows)."""
    kind = "file"
    shown = "a reader"        # the name to show (a URL without its password)
    width = height = 0
    fps = 0.0                 # frames per second
    frames = None             # frames the source declares (None: unknown, or endless)
    start = None              # after open(): the recording's time zero (a datetime)
    log = None
    audio = None              # after probe(): the source's audio stream, where it tells (quarrin.sound)
    track = None              # quarrin.sound.Track when the recording keeps the sound: set before open()

    @property
    def live(self):
        return self.kind == "live"

    def probe(self) -> None:
        """Learns the frame size, the rate and the frames declared; leaves the source closed. Raises
        RecordingError for a source that cannot be recorded."""

    def open(self, timeout: float | None = None) -> bool:
        """Opens the source (within `timeout` seconds, where that means something); True when
        it did. One that does not open holds nothing."""
        return True

    def read(self) -> "tuple[typing.Any, datetime.datetime] | None":
        """The next frame and its time, ``(frame, time)``; None at the end (a live source: its
        signal is lost)."""
        return None

    def release(self) -> None:
        """Closes what open() opened; called once after each open, and harmless more often."""

    def picture(self, got):
        """The frame read() just gave (`got`) as a person sees it (BGR), for the live view; None
        when it has none to show."""
        return got[0]

    def _say(self, *words):
        if self.log is not None:
            self.log(" ".join(str(w) for w in words))


class _Capture(Reader):
    """A reader over cv2.VideoCapture."""

    def __init__(self, source, opts):
        self.source, self.opts = source, opts
        self.cap = None

    def _capture(self, timeout=None):
        raise NotImplementedError

    def read(self):
        ok, image = self.cap.read()
        if image is None:
            return None
        return image, self._time()

    def release(self):
        cap, self.cap = self.cap, None
        if cap is not None:
            cap.release()

    def _set(self, prop, value):
        import cv2

        self.cap.set(getattr(cv2, prop), value)

    def _asked(self, rate=None, dialog=True):
        """The camera settings asked, where its back end takes them: the frame size, the rate and
        the driver's dialog."""
        if self.opts.size:
            self._set("CAP_PROP_FRAME_WIDTH", self.opts.size[0])
            self._set("CAP_PROP_FRAME_HEIGHT", self.opts.size[1])
        if rate is not None:
            self._set("CAP_PROP_FPS", rate)
        if dialog and self.opts.camera_settings:
            self._set("CAP_PROP_SETTINGS", 1)


class FileReader(_Capture):
    """A video file: frame i is at the file's modification time (whole local seconds) plus
    i / its own rate (fractional rates included)."""
    kind = "file"

    def __init__(self, path, opts):
        super().__init__(path, opts)
        self.shown = path
        self._index = 0
        self._zero = None
        self._sound = None  # quarrin.sound.FileAudio: the file's sound, read beside OpenCV's frames

    def _capture(self, timeout=None):
        import cv2

        cap = cv2.VideoCapture(self.source)
        if not cap.isOpened() and _directshow(self.opts):
            cap = cv2.VideoCapture(self.source, cv2.CAP_DSHOW)
        return cap

    def probe(self):
        import cv2

        if os.path.getsize(self.source) == 0:
            raise RecordingError("%s is empty" % self.source)
        with quiet_stderr():
            cap = self._capture()
        try:
            if not cap.isOpened():
                raise RecordingError("cannot open %s as a video" % self.source)
            fps = cap.get(cv2.CAP_PROP_FPS)
            total = int(cap.get(cv2.CAP_PROP_FRAME_COUNT))
            ok, frame = cap.read()
        finally:
            cap.release()
        if not ok or frame is None:
            raise RecordingError("no frame can be read from %s" % self.source)
        if not fps or fps < 1:
            raise RecordingError("%s declares %g frames/s; its frames cannot be timed" % (self.source, fps or 0))
        self.width, self.height, self.fps = frame.shape[1], frame.shape[0], fps
        self.frames = total if total > 0 else None
        self.audio = _file_audio(self.source)

    def open(self, timeout=None):
        import cv2

        mtime = time.mktime(time.localtime(os.path.getmtime(self.source)))
        self.start = datetime.datetime.fromtimestamp(mtime)
        cap = self._capture()
        opened = cap.isOpened()
        self._say("Input from file", self.source, "Open?", opened)
        if not opened:
            self._say("Could not open video file %s for reading." % self.source)
            return False
        self.cap, self._index = cap, 0
        self.fps = cap.get(cv2.CAP_PROP_FPS)
        self._say("Frames to process", int(cap.get(cv2.CAP_PROP_FRAME_COUNT)))
        if self.track is not None:
            from quarrin import sound

            try:
                self._sound = sound.FileAudio(self.source, self.track)
            except Exception as exc:  # the pictures are recorded still
                self._say("The sound of %s cannot be read: %s" % (self.source, exc))
        return True

    def read(self):
        if self._sound is None:
            return super().read()
        at = self._sound.video_start + self._index / self.fps
        got = super().read()
        if got is None:
            return None
        from quarrin.sound import Audio

        return got + (Audio(self._sound.until(at + 1 / self.fps), at, self.track),)

    def release(self):
        sound, self._sound = self._sound, None
        if sound is not None:
            sound.close()
        super().release()

    def _time(self):
        index, self._index = self._index, self._index + 1
        return self.start + datetime.timedelta(days=0, seconds=index / self.fps)


class CameraReader(_Capture):
    """A camera by its index, asked for the recording's rate (and size); its frames are timed by
    the wall clock as they are read."""
    kind = "camera"

    def __init__(self, index, opts):
        super().__init__(index, opts)
        self.index, self.shown = index, "camera %d" % index

    def _capture(self, timeout=None):
        import cv2

        if _directshow(self.opts):
            return cv2.VideoCapture(self.source, cv2.CAP_DSHOW)
        return cv2.VideoCapture(self.source)

    def probe(self):
        import cv2

        with quiet_stderr():
            self.cap = self._capture()
        try:
            if not self.cap.isOpened():
                raise RecordingError("cannot open camera %d" % self.source)
            self._asked(dialog=False)
            self.width = int(self.cap.get(cv2.CAP_PROP_FRAME_WIDTH))
            self.height = int(self.cap.get(cv2.CAP_PROP_FRAME_HEIGHT))
            self.fps = self.cap.get(cv2.CAP_PROP_FPS)
        finally:
            self.release()

    def open(self, timeout=None):
        import cv2

        self.cap = self._capture()
        if not self.cap.isOpened():
            self.cap = None
            return False
        rate = int(self.fps) or 30
        self._asked(rate)
        self._say("Camera FPS set to %d" % rate)
        self.start = datetime.datetime.now()
        width, height = (int(self.cap.get(getattr(cv2, p))) for p in ("CAP_PROP_FRAME_WIDTH", "CAP_PROP_FRAME_HEIGHT"))
        self._say("Frame size: %dx%d" % (width, height))
        return True

    def _time(self):
        return datetime.datetime.now()


class StreamReader(_Capture):
    """A network camera's URL (through FFmpeg, within --open-timeout, each read within --stall) or
    a device path. Its frames are timed by `StreamClock`: over RTSP by their presentation times,
    from the first frame of each connection on; otherwise by the wall clock as they are read."""
    kind = "live"

    def __init__(self, source, opts):
        super().__init__(source, opts)
        self.shown = _options.shown_source(source)
        scheme = source.split("://", 1)[0].lower() if "://" in source else None
        self.url, self.timed = scheme is not None, scheme in TIMED_SCHEMES
        self.clock = StreamClock(self.timed)
        self._said = False
        self._opening = 0.0  # seconds the last open took
        self._ahead = []  # frames read ahead while a connection's backlog was measured, with their times

    def _capture(self, timeout=None):
        import cv2

        if not self.url:
            return cv2.VideoCapture(self.source)
        timeout = self.opts.open_timeout if timeout is None else timeout
        params = [cv2.CAP_PROP_OPEN_TIMEOUT_MSEC, _millis(timeout), cv2.CAP_PROP_READ_TIMEOUT_MSEC,
                  _millis(self.opts.stall)]
        return cv2.VideoCapture(self.source, cv2.CAP_FFMPEG, params)

    def probe(self):
        """Opens the source as the recording will, within --open-timeout, and reads frames for
        about a second: their size, and the rate they come at. OpenCV blocks inside the open and
        each read (up to --open-timeout and --stall), so they run on a thread of their own while
        this one waits, acting on Ctrl-C and SIGTERM; a probe stopped so is left to end there."""
        found = {}

        def probe():
            try:
                found["result"] = self._sample()
            except BaseException as exc:  # handed to the waiting thread
                found["error"] = exc

        thread = threading.Thread(target=probe, name="quarrin-probe", daemon=True)
        await_calls_at_exit()
        with quiet_stderr() as said:
            thread.start()
            _probes.append(thread)
            thread.join()
        _probes.remove(thread)
        self.start, self._said, self.clock = None, False, StreamClock(self.timed)  # the recording's own
        if "error" in found:
            raise found["error"]
        opened, frame, times = found["result"]
        if not opened:
            raise RecordingError("cannot open %s: %s" % (self.shown, why_not_opened(
                self.source, said.lines, self._opening, self.opts.open_timeout)))
        if frame is None:
            raise RecordingError("%s opened but sent no frame within %g s" % (self.shown, self.opts.stall))
        self.width, self.height, self.fps = frame.shape[1], frame.shape[0], live_rate(times)

    def _sample(self):
        """(opened, the last frame read or None, the times frames came at)."""
        if not self.open():
            return False, None, []
        try:
            times, frame = [], None
            started = time.monotonic()
            # The first burst may be long: over RTSP, FFmpeg holds the frames it analysed while
            # opening (some 36) and gives them at once. The pace is read on the frames after it.
            while len(_after_burst(times)) < 8 and time.monotonic() - started < 1.5:
                read = self.read()
                if read is None:
                    break
                times.append(time.monotonic())
                frame = read[0]
            return True, frame, times
        finally:
            self.release()

    def open(self, timeout=None):
        """Connects; over RTSP also reads the backlog FFmpeg holds from its opening, to time it."""
        import cv2

        self._pos_msec = cv2.CAP_PROP_POS_MSEC
        began = time.monotonic()
        self.cap = self._capture(timeout)
        opened = self.cap.isOpened()
        self._opening = time.monotonic() - began
        if not self._said:
            self._said = True
            self._say("Input from stream", self.shown, "Open?", opened)
        if not opened:
            self.cap = None
            return False
        self._asked()
        first = self.start is None
        if first:
            self.start = datetime.datetime.now()
        self.clock.connected()
        self._ahead = self._backlog() if self.timed else []
        if first and self._ahead:
            self.start = min(self.start, self._ahead[0][1])  # frames held while it opened came before
        return True

    def _backlog(self):
        """Reads the frames FFmpeg held while it opened (they come faster than the stream's pace)
        until they are read, and times them all at once: the wall clock at which a held frame is
        read says nothing of when it was taken, the frames after it do. The backlog is read once
        a few frames in a row are no later behind the wall clock than one before them."""
        samples, held, calm = [], 0, 0
        while held < BACKLOG_BYTES and len(samples) < BACKLOG_FRAMES and calm < BACKLOG_CALM:
            ok, image = self.cap.read()
            wall = time.time()
            if image is None:
                break
            pos = self.cap.get(self._pos_msec) / 1000.0
            if not self.clock.usable(pos, len(samples), samples[-1][1] if samples else None):
                samples.append((image, pos, wall))
                break
            least = min((w - p for _, p, w in samples), default=math.inf)
            calm = calm + 1 if wall - pos >= least else 0
            samples.append((image, pos, wall))
            held += image.nbytes
        times = self.clock.times([(pos, wall) for _, pos, wall in samples], backlog=True)
        return [(image, _local(t)) for (image, _, _), t in zip(samples, times)]

    def read(self):
        if self._ahead:
            return self._ahead.pop(0)
        began = time.monotonic()
        ok, image = self.cap.read()
        wall = time.time()
        # A read that took --stall timed out inside FFmpeg: over RTSP it still hands a frame (made
        # of what came before), twice, before it fails. The signal is lost now.
        if image is None or time.monotonic() - began >= self.opts.stall:
            return None
        pos = self.cap.get(self._pos_msec) / 1000.0 if self.timed else math.nan
        return image, _local(self.clock.times([(pos, wall)])[0])

    def release(self):
        self._ahead = []
        super().release()


# The backlog read ahead at a connection: at most this many frames, or bytes of them.
BACKLOG_FRAMES = 120
BACKLOG_BYTES = 256 << 20
BACKLOG_CALM = 3  # frames in a row at the stream's pace


class StreamClock:
    """Times a stream's frames, in seconds since the epoch (so that a change of clocks is no jump).

    With presentation times (`timed`), a frame is at T + its presentation time, where T is the
    earliest (wall clock - presentation time) seen on the connection: the frame that came with the
    least delay anchors them all, and no time is ever ahead of the wall clock at which its frame
    was read. Presentation times that stop increasing, or fall more than DRIFT seconds behind
    the wall clock (a stream whose times run slow, as FFmpeg's guessed ones for MJPEG do), are
    not used for the rest of the connection: its frames are timed by the wall clock. Times never
    go back, across connections too."""
    DRIFT = 2.0

    def __init__(self, timed):
        self.timed, self.last = timed, None
        self.connected()

    def connected(self):
        self.anchor, self.pos, self.seen, self.trusted = None, None, 0, self.timed

    @staticmethod
    def usable(pos, seen, before):
        """Whether a frame's presentation time follows those before it on the connection (`seen`
        of them, the last at `before`): FFmpeg gives the first frame the second one's."""
        return math.isfinite(pos) and (before is None or pos > before or (seen == 1 and pos == before))

    def times(self, samples, backlog=False):
        """The times of frames read, given as (presentation time, wall clock) pairs, in order. A
        connection's `backlog` (frames held, read at once) is not checked for drift: its frames
        are older than the wall clock they were read at."""
        if self.trusted:
            for pos, wall in samples:
                if not self.usable(pos, self.seen, self.pos):
                    self.trusted = False
                    break
                self.pos, self.seen = pos, self.seen + 1
                self.anchor = wall - pos if self.anchor is None else min(self.anchor, wall - pos)
        found = []
        for pos, wall in samples:
            t = wall
            if self.trusted:
                t = self.anchor + pos
                if not backlog and wall - t > self.DRIFT:
                    self.trusted, t = False, wall
            if self.last is not None and t < self.last:
                t = self.last
            self.last = t
            found.append(t)
        return found


def _local(seconds):
    return datetime.datetime.fromtimestamp(seconds)


def _file_audio(path):
    """The audio stream of a video file (a template of it), or None: none, or no PyAV to read it."""
    try:
        import av
    except ImportError:
        return None
    from quarrin import sound

    try:
        with quiet_stderr(), av.open(path) as container:
            return sound.template(container.streams.audio[0]) if container.streams.audio else None
    except (av.FFmpegError, OSError, ValueError):
        return None


def _directshow(opts):
    """OpenCV on Windows opens a camera through DirectShow where a preview is shown."""
    return sys.platform == "win32" and opts.preview


def _millis(seconds):
    """Whole milliseconds for FFmpeg, where 0 means no timeout: never rounded down to 0."""
    return max(1, round(seconds * 1000))


# ---- a live source's rate ------------------------------------------------------------------------

# Above this a rate measured on a live source is a burst of buffered frames, not the camera's pace
# (and AVI's time base cannot hold it: OpenCV's writer drops frames beyond 1000 frames/s).
_MAX_LIVE_FPS = 240


def live_rate(times):
    """The frame rate of a live source from the times its first frames were read. The first frames
    may come in a burst (what the server or the decoder held), and a busy machine reads several at
    once now and then, so the rate is the frames over the span after the burst, not one gap."""
    calm = _after_burst(times)
    if len(calm) >= 3 and calm[-1] > calm[0]:
        fps = (len(calm) - 1) / (calm[-1] - calm[0])
    elif len(times) >= 2 and times[-1] > times[0]:
        fps = (len(times) - 1) / (times[-1] - times[0])
    else:
        return 0.0
    return fps if fps <= _MAX_LIVE_FPS else 0.0


def _after_burst(times):
    """The times of the frames read more than 0.2 s after the first."""
    return [t for t in times if t - times[0] > 0.2] if times else []


# ---- calls left blocking ---------------------------------------------------------------------------

# Probes of live sources under way; one stopped by a signal goes on until OpenCV gives up.
_probes: list = []
_awaited = False  # _await_calls runs at exit


def calls_left():
    """How many opens and reads of live sources that stopped recordings (or probes) left
    running. Each ends by itself within its timeout; an interpreter that finalises meanwhile
    aborts when the call returns into it, so an exit waits for them (`_await_calls`), and the
    command ends at once without finalising (quarrin.cli.run)."""
    left = sum(t.is_alive() for t in _probes)
    recorder = sys.modules.get("quarrin._recorder")
    return left + (recorder.calls_left() if recorder is not None else 0)


def _await_calls():
    while calls_left():
        time.sleep(0.05)


def await_calls_at_exit():
    global _awaited
    if not _awaited:
        import atexit

        atexit.register(_await_calls)
        _awaited = True


# ---- why a live source did not open -----------------------------------------------------------------

# What FFmpeg (its log lines, or PyAV's error) says, and what it means, in the order they are tried.
_REASONS = (
    (r"resolve host|name or service not known|nodename nor servname|no address associated", "the host name %(host)s "
     "is not known"),
    (r"\b401\b|unauthori[sz]ed", "unauthorised (401): the user name or password is wrong or missing"),
    (r"\b403\b|forbidden", "forbidden (403): this user may not watch it"),
    (r"\b404\b|not found", "not found (404): nothing is served at that path"),
    (r"refused", "the connection was refused: nothing listens at %(where)s"),
    (r"no route to host|network is unreachable|host is unreachable", "no route to %(host)s"),
    (r"timed? ?out|immediate exit requested", "no answer within %(timeout)g s"),
)


def why_not_opened(url, said, seconds, timeout):
    """Why the live source `url` did not open, in a few words, from what FFmpeg said (`said`: its
    lines, or PyAV's error) and the `seconds` the open took against its `timeout`. The URL's
    password is never in it."""
    from urllib.parse import urlsplit

    try:  # the host as the masked URL has it: a password may hold what looks like one
        parts = urlsplit(_options.shown_source(url))
        host, port = parts.hostname or "", parts.port
    except ValueError:
        parts, host, port = urlsplit(""), "", None
    where = {"host": host or "the host", "timeout": timeout,
             "where": "%s:%s" % (host, port) if port else "%s (%s's port)" % (host, parts.scheme)}
    text = "\n".join(said)
    for pattern, reason in _REASONS:
        if re.search(pattern, text, re.IGNORECASE):
            return reason % where
    if seconds >= 0.9 * timeout:
        return _REASONS[-1][1] % where
    if host:
        import socket

        try:
            socket.getaddrinfo(host, None)
        except (OSError, UnicodeError):
            return _REASONS[0][1] % where
    if parts.scheme in ("http", "https") and host:
        status = _http_status(url, parts.netloc.rsplit("@", 1)[-1], max(0.5, timeout - seconds))
        for code, reason in ((401, 1), (403, 2), (404, 3)):
            if status == code:
                return _REASONS[reason][1] % where
        if status is not None:
            return "it answers (HTTP %d), but not with a video stream that can be read" % status
    lines = [re.sub(r"^\[[^]]*@ *0x[0-9a-f]+\] *", "", line).strip() for line in said if line.strip()]
    if lines:
        return re.sub(r"\b\w+://\S+", lambda m: _options.shown_source(m.group()), lines[-1])
    return "it gave no reason"


def _http_status(url, netloc, timeout):
    """The HTTP status `url` answers with (its user and password sent as asked), or None. `netloc`
    is the host and port as the masked URL has them: what comes before it is the user part."""
    import urllib.error
    import urllib.request
    from urllib.parse import unquote

    scheme, rest = url.split("://", 1)
    at = rest.find("@" + netloc) if "@" in rest else -1
    user, bare = (rest[:at], scheme + "://" + rest[at + 1:]) if at >= 0 else (None, url)
    handlers = []
    if user is not None:
        name, _, password = user.partition(":")
        passwords = urllib.request.HTTPPasswordMgrWithDefaultRealm()
        passwords.add_password(None, bare, unquote(name), unquote(password))
        handlers = [urllib.request.HTTPBasicAuthHandler(passwords), urllib.request.HTTPDigestAuthHandler(passwords)]
    try:
        with urllib.request.build_opener(*handlers).open(bare, timeout=timeout) as answer:
            return answer.status
    except urllib.error.HTTPError as exc:
        return exc.code
    except (OSError, ValueError):
        return None
