"""One recording, in two steps.

`prepare` checks the source and the output path, then opens the source read-only to learn its
frame size and rate, fits the region of interest to it and makes sure the video writer accepts
the codec; it writes nothing. `run` creates the output directory, records through the engine
(``quarrin._recorder.record``) and returns what it did.
"""
import contextlib
import dataclasses
import math
import os
import sys
import threading
import time
import typing

from quarrin import options as _options
from quarrin import eventlist as events_mod
from quarrin import layout, nativelog, writers
from quarrin.errors import RecordingError, UsageError
from quarrin.results import Event, Progress, RecordResult, Segment


@dataclasses.dataclass(frozen=True)
class Plan:
    """A recording ready to run: the engine's arguments and what the source told us."""
    source: str
    camera: typing.Optional[int]
    output: str
    opts: typing.Any          # quarrin.options.Options
    width: int
    height: int
    fps: float
    frames_total: typing.Optional[int]
    writer: typing.Optional[writers.Choice]  # None for a scan
    args: dict = dataclasses.field(repr=False)
    live: bool = False        # a URL or a device path; `source` is then shown without a password


# Frames held back for --before and --min-event may take this much memory at most.
HOLD_LIMIT = 1 << 30


def prepare(source, output, opts, scan=False):
    """Checks a recording against its source; opens the source read-only, writes nothing. A scan
    (`scan` true, `output` None) finds the motion events and writes no video."""
    camera = _options.camera_index(source)
    live = None if camera is not None or scan else _options.live_source(source)
    if camera is None and live is None:
        source = _options.check_source_file(source)
        for name in _options.CAMERA_OPTIONS:
            if opts.given(name):
                raise UsageError(name, getattr(opts, name), "applies to a camera; the source is a file")
    if live is None:
        for name in _options.LIVE_OPTIONS:
            if opts.given(name):
                raise UsageError(name, getattr(opts, name), "applies to a live source (a URL or a device path)")
    if not scan:
        output = _options.check_output(output)
    if opts.preview or opts.show_diff:
        _need_gui("preview" if opts.preview else "show_diff")
    if live is not None:
        shown = _options.shown_source(live)
        width, height, fps, total = _probe_live(live, shown, opts)
    elif camera is None:
        width, height, fps, total = _probe_file(source)
        shown = source
    else:
        width, height, fps, total = _probe_camera(camera, opts)
        shown = "camera %d" % camera
    roi = opts.roi or (0, 0, width, height)
    _check_region(opts, roi, width, height, shown)
    x, y, w, h = roi
    if not scan:
        _check_budget(output, opts)
        _check_free_space(output, opts.min_free)
    # The recorder declares the file's rate (whole frames/s), or the rate asked of a camera or
    # measured on a live source.
    rate = int(fps) if camera is None and live is None else (opts.fps or int(round(fps)) or 30)
    timed_by_clock = camera is not None or live is not None
    events = opts.motion or scan
    hold = _hold_frames(opts, rate, w, h) if events and not scan else 0  # a scan holds no image
    mask = _motion_mask(opts, width, height, roi) if events else None
    writer = None
    if not scan:
        writer = writers.choose(output, opts, (w, h))
        _check_writer(output, writer, rate, (w, h))
    # The codec of the engine's own writer, which a recording never uses (it gets `writer.make()`).
    fmt = _options.fourcc_for(".avi", opts.fourcc)
    reconnect = _options.LIVE_RECONNECT if opts.reconnect is None else opts.reconnect
    args = _options.engine_arguments(opts, roi=roi, fourcc=fmt, fps=rate if timed_by_clock else 0,
                                     reconnect=reconnect if live is not None else 0.0)
    args.update(input_=str(camera) if camera is not None else live or source, output=output or "", events=events,
                mask=mask, hold_frames=hold, scan=scan, live=live is not None, shown=shown,
                detect_width=opts.detect_width if opts.detect_width < w else 0)
    if scan:
        args.update(motion_based=True, timestamp=False, interactive=False)
    return Plan(shown if live is not None else args["input_"], camera, output, opts, width, height,
                float(rate if timed_by_clock else fps), total, writer, args, live is not None)


def _check_region(opts, roi, width, height, shown):
    x, y, w, h = roi
    if x + w > width or y + h > height:
        raise UsageError("roi", roi, "does not fit the %dx%d frames of %s" % (width, height, shown))
    small = _options.region_too_small(w, h)
    if small:
        raise UsageError("roi", roi, small)
    if opts.timestamp or opts.given("text_at"):
        tx, ty = opts.text_at
        if tx >= w or not 0 < ty <= h:
            raise UsageError("text_at", opts.text_at, "must lie inside the %dx%d region (x below %d, y from 1 to %d), "
                             "so that the text can be seen" % (w, h, w, h))


def _on_resize(plan, notify):
    """What a recording does when a live source's frames change size (a camera back at another
    size): returns the engine's on_resize. With the whole frame as the region (no --roi), the new
    frame size is recorded, in a new segment; a region given that still fits stays, with one line
    saying so; one that does not fit stops the recording. A motion mask (--mask, --ignore) is made
    for the old frame size and is not guessed at: a new size with one stops the recording."""
    opts, size = plan.opts, [plan.width, plan.height]

    def resized(width, height):
        was, now = "%dx%d" % tuple(size), "%dx%d" % (width, height)
        if opts.mask or opts.ignore:
            raise RecordingError("%s now sends %s frames, not %s: the motion mask (--mask, --ignore) was made for "
                                 "%s frames; record again with one made for the new size" % (plan.source, now, was, was))
        roi = opts.roi or (0, 0, width, height)
        if roi[0] + roi[2] > width or roi[1] + roi[3] > height:
            raise RecordingError("the region --roi %d,%d,%d,%d does not fit the %s frames %s sends now (they were %s)"
                                 % (roi + (now, plan.source, was)))
        try:
            _check_region(opts, roi, width, height, plan.source)
            if plan.writer is not None and plan.writer.h264 and (roi[2] % 2 or roi[3] % 2):
                raise UsageError("roi", roi, "H.264 needs an even width and height")
            if plan.args["hold_frames"]:
                _hold_frames(opts, plan.fps, roi[2], roi[3])
        except UsageError as exc:
            shown = "the region --roi %d,%d,%d,%d" % roi if opts.roi else "the whole frame"
            raise RecordingError("%s now sends %s frames, not %s: %s cannot be recorded (%s)"
                                 % (plan.source, now, was, shown, exc.reason)) from None
        if opts.roi:
            notify("Frame size changed from %s to %s; the region %d,%d,%d,%d still fits" % ((was, now) + roi))
        else:
            notify("Frame size changed from %s to %s: the new size is recorded in a new segment" % (was, now))
        size[:] = [width, height]
        return roi

    return resized


def _await_calls_at_exit():
    global _awaited
    if not _awaited:
        import atexit

        atexit.register(_await_calls)
        _awaited = True


def _check_budget(output, opts):
    """A disk budget deletes only files it can tell as this output's: an output whose names it
    cannot follow is refused before anything is recorded."""
    if opts.keep_size is None and opts.keep_days is None:
        return
    try:
        layout.Pattern(output)
    except layout.Unfollowable as exc:
        option = "keep_size" if opts.keep_size is not None else "keep_days"
        raise UsageError("output", output, "the disk budget (--%s) cannot tell its files from others: %s"
                         % (option.replace("_", "-"), exc)) from None


def _check_free_space(output, min_free):
    if min_free <= 0:
        return
    folder = os.path.dirname(os.path.abspath(layout.expand(output)))
    while not os.path.isdir(folder) and os.path.dirname(folder) != folder:
        folder = os.path.dirname(folder)
    left = writers.free_space(folder)
    if left is not None and left < min_free:
        raise RecordingError("free space on the file system of %s is %s, below --min-free %s: nothing was recorded"
                             % (folder, writers.show_size(left), writers.show_size(min_free)))


def _hold_frames(opts, rate, width, height):
    """The most frames --before and --min-event hold back (ROI crops), with room for a source a
    little faster than it says; refused over HOLD_LIMIT."""
    seconds = opts.before + (opts.min_event + opts.after if opts.min_event > 0 else 0)
    if seconds <= 0:
        return 0
    frames = math.ceil(seconds * rate) + 1
    need = frames * width * height * 3
    if need > HOLD_LIMIT:
        name = "before" if opts.min_event <= 0 else "min_event"
        raise UsageError(name, getattr(opts, name), "would hold %d frames of %dx%d (%.1f GiB) in memory; at most "
                         "1 GiB may be held (a shorter time, or a smaller --roi)"
                         % (frames, width, height, need / (1 << 30)))
    return min(_options.INT32_MAX, int(frames * 1.25) + 2)


def _motion_mask(opts, width, height, roi):
    """The region's mask from --mask and --ignore: 0 where change never counts, 255 elsewhere;
    None when every pixel counts."""
    if not opts.ignore and not opts.mask:
        return None
    import cv2
    import numpy as np

    full = np.full((height, width), 255, np.uint8)
    if opts.mask:
        image = cv2.imread(opts.mask, cv2.IMREAD_GRAYSCALE)
        if image is None:
            raise UsageError("mask", opts.mask, "cannot be read as an image (PNG, PGM, ...)")
        if image.shape != (height, width):
            raise UsageError("mask", opts.mask, "is %dx%d; the frames are %dx%d"
                             % (image.shape[1], image.shape[0], width, height))
        full[image == 0] = 0
    for rect in opts.ignore:
        x, y, w, h = rect
        if x + w > width or y + h > height:
            raise UsageError("ignore", rect, "lies outside the %dx%d frames" % (width, height))
        full[y:y + h, x:x + w] = 0
    x, y, w, h = roi
    kept = np.ascontiguousarray(full[y:y + h, x:x + w])
    if not kept.any():
        area = "the region %d,%d,%d,%d" % roi if opts.roi else "the %dx%d frames" % (width, height)
        if not opts.ignore:
            raise UsageError("mask", opts.mask, "leaves nothing of %s to watch for motion" % area)
        raise UsageError("ignore", " ".join(",".join(map(str, r)) for r in opts.ignore), "%sleaves nothing of %s to "
                         "watch for motion" % ("with the mask, " if opts.mask else "", area))
    return kept


def run(plan, progress=None, log=None, notify=None):
    """Runs a prepared recording. `progress` gets a `quarrin.Progress` after every frame read,
    `log` each of the recorder's own lines (None: they are dropped), `notify` what the operator
    must see (a live source's signal lost or back, a segment removed for the disk budget; None:
    to `log`). A motion recording writes its event list beside the output (layout.events_path)."""
    record = recorder().record
    scan = plan.args["scan"]
    notify = notify or log or _drop
    if not scan:
        # An output with strftime fields gets its folders as each segment opens.
        directory = os.path.dirname(os.path.abspath(layout.expand(plan.output)))
        try:
            os.makedirs(directory, exist_ok=True)
        except OSError as exc:
            raise RecordingError("cannot create the directory %s: %s" % (directory, exc.strerror or exc)) from exc
    hook = None
    if progress is not None:
        source, total = plan.source, plan.frames_total

        def hook(frames_read, frames_saved, segment):
            progress(Progress(source, frames_read, frames_saved, total, segment))

    # The front end names and claims the segments: it knows which names the recording holds.
    namer = None if scan else layout.Namer(plan.output, numbered=plan.args["max_frames"] > 0)
    listing = None
    if plan.args["events"] and not scan:
        listing = events_mod.EventList(layout.events_path(layout.expand(plan.output)), namer.lock)
    on_event = None if listing is None else (lambda *fields: listing.add(Event(*fields)))
    keeper = None
    if not scan and (plan.opts.keep_size is not None or plan.opts.keep_days is not None):
        from quarrin import budget

        keeper = budget.Budget(layout.Pattern(plan.output), plan.opts.keep_size, plan.opts.keep_days, notify, namer,
                               listing)

    def on_closed(video):
        if keeper is not None:  # first, so that the budget sees it as held or as closed last
            keeper.closed(video)
        namer.closed(video)

    if plan.live:
        _await_calls_at_exit()
    started = time.perf_counter()
    # OpenCV's and FFmpeg's own lines go to `log` (shown with -v), and are counted.
    with nativelog.Capture(echo=log) as native:
        writer = None if scan else writers.Guard(plan.writer.make(), plan.opts.min_free, native)
        try:
            try:
                outcome = record(**plan.args, progress=hook, log=log or _drop, writer=writer, on_event=on_event,
                                 notify=notify, on_closed=None if scan else on_closed, namer=namer,
                                 on_resize=_on_resize(plan, notify) if plan.live else None)
            except FileNotFoundError as exc:  # the recorder has closed what it had opened
                raise RecordingError("could not create %s: %s" % (exc.filename, exc.strerror or exc)) from exc
            except (writers.WriterStopped, OSError) as exc:
                # Every file is closed: the open segment is made consistent, and the error names it.
                raise _stopped_writing(writer, exc) from exc
            except KeyboardInterrupt:
                # A Ctrl-C before the frame loop began: nothing was written.
                outcome = None
            if listing is not None:
                listing.finish()
        finally:
            if listing is not None:
                listing.close()
            # The budget's deletions are done, and told, before the result.
            failed = keeper.finish() if keeper is not None else None
    if failed is not None:
        raise failed
    seconds = time.perf_counter() - started
    if outcome is None:
        return RecordResult(plan.source, 0, 0, (), "interrupt", seconds, plan.fps, plan.frames_total,
                            log_lines=native.count)
    videos = [w.video for w in outcome.segments]
    removed = keeper.removed(videos) if keeper is not None else [False] * len(videos)
    _check_outcome(plan, outcome, removed)
    segments = tuple(Segment(w.video, w.csv, w.frames, w.first, w.last, w.runs, gone)
                     for w, gone in zip(outcome.segments, removed))
    return RecordResult(plan.source, outcome.frames_read, outcome.frames_saved, segments, outcome.stopped, seconds,
                        plan.fps, plan.frames_total, tuple(Event(*e) for e in outcome.events), outcome.gaps,
                        listing.path if listing is not None else None, _short_input(plan, outcome), native.count)


def recorder():
    """quarrin._recorder, the engine's entry for the front end, which loading quarrin.snapwell
    registers. Loaded from here, for the recorder alone, quarrin.snapwell does without the modules
    only its namespace holds (argparse and matplotlib.colors: no function reads them, and
    matplotlib takes a while to import); the first import of quarrin.snapwell binds them."""
    found = sys.modules.get("quarrin._recorder")
    if found is not None:
        return found
    import _imp
    import importlib.util

    _imp.acquire_lock()  # an import of quarrin.snapwell on another thread waits for this load
    try:
        if "quarrin._recorder" not in sys.modules:
            spec = importlib.util.find_spec("quarrin.snapwell")
            spec.loader_state = "quarrin._recorder"
            spec.loader.exec_module(importlib.util.module_from_spec(spec))
    finally:
        _imp.release_lock()
    return sys.modules["quarrin._recorder"]


def _short_input(plan, outcome):
    """The warning for a file that ends before the frame count it declares (None: it does not).
    Containers that declare no count, or estimate it from their duration, are allowed a frame."""
    total = plan.frames_total
    if plan.camera is not None or plan.live or not total or outcome.stopped != "end":
        return None
    if total - outcome.frames_read <= 1:
        return None
    return "%s: %d of %d declared frames could be read" % (plan.source, outcome.frames_read, total)


def _stopped_writing(writer, exc):
    """The RecordingError for a recording that stopped because a write failed (or the disk got too
    full), once the segment being written is consistent: its CSV trimmed to the frames the video
    holds, and a segment left without any frame removed."""
    from quarrin import checking

    if isinstance(exc, writers.WriterStopped):
        video, reason = exc.video, exc.reason
    else:
        video = writer.name if writer is not None else None
        reason = exc.strerror or str(exc)
        if exc.filename:
            reason = "cannot write %s: %s" % (exc.filename, reason)
    if not video:
        return RecordingError(reason)
    kept = checking.settle(video)
    if isinstance(exc, writers.DiskLow):
        return RecordingError("stopped: %s; %s" % (reason, kept))
    return RecordingError("writing %s failed: %s; %s" % (video, reason, kept))


def _drop(line):
    pass


def _check_outcome(plan, outcome, removed):
    done = "; %d frames were saved before" % outcome.frames_saved if outcome.frames_saved else ""
    if outcome.stopped == "unopened":
        raise RecordingError("cannot open %s" % plan.source)
    if outcome.stopped == "roi":
        a = plan.args
        raise RecordingError("a frame of %s is smaller than the region %d,%d,%d,%d%s"
                             % (plan.source, a["roi_x"], a["roi_y"], a["roi_w"], a["roi_h"], done))
    for seg, gone in zip(outcome.segments, removed):  # gone: removed by the disk budget
        if seg.frames and not gone and not (os.path.exists(seg.video) and os.path.getsize(seg.video) > 0):
            raise RecordingError("the video writer did not write %s (codec %s)" % (seg.video, plan.writer))


def _probe_file(path):
    import cv2

    if os.path.getsize(path) == 0:
        raise RecordingError("%s is empty" % path)
    with _quiet_stderr():
        cap = cv2.VideoCapture(path)
    try:
        if not cap.isOpened():
            raise RecordingError("cannot open %s as a video" % path)
        fps = cap.get(cv2.CAP_PROP_FPS)
        total = int(cap.get(cv2.CAP_PROP_FRAME_COUNT))
        ok, frame = cap.read()
    finally:
        cap.release()
    if not ok or frame is None:
        raise RecordingError("no frame can be read from %s" % path)
    if not fps or fps < 1:
        raise RecordingError("%s declares %g frames/s; its frames cannot be timed" % (path, fps or 0))
    return frame.shape[1], frame.shape[0], fps, total if total > 0 else None


def _probe_live(url, shown, opts):
    """Opens a live source as the recording will, within --open-timeout, and reads frames for about
    a second: their size, and the rate they come at (unless --fps says it). OpenCV blocks inside
    the open and each read (up to --open-timeout and --stall), so they run on a thread of their own
    while this one waits, acting on Ctrl-C and SIGTERM; a probe stopped so is left to end there."""
    import cv2

    found = {}

    def probe():
        try:
            found["result"] = _read_live(cv2, url, opts)
        except BaseException as exc:  # handed to the waiting thread
            found["error"] = exc

    thread = threading.Thread(target=probe, name="quarrin-probe", daemon=True)
    _await_calls_at_exit()
    with _quiet_stderr():
        thread.start()
        _probes.append(thread)
        thread.join()
    _probes.remove(thread)
    if "error" in found:
        raise found["error"]
    opened, frame, times = found["result"]
    if not opened:
        raise RecordingError("cannot open %s (waited up to %g s)" % (shown, opts.open_timeout))
    if frame is None:
        raise RecordingError("%s opened but sent no frame within %g s" % (shown, opts.stall))
    return frame.shape[1], frame.shape[0], _live_rate(times), None


def _read_live(cv2, url, opts):
    """(opened, the last frame read or None, the times frames came at)."""
    params = [cv2.CAP_PROP_OPEN_TIMEOUT_MSEC, _millis(opts.open_timeout),
              cv2.CAP_PROP_READ_TIMEOUT_MSEC, _millis(opts.stall)]
    cap = cv2.VideoCapture(url, cv2.CAP_FFMPEG, params) if "://" in url else cv2.VideoCapture(url)
    try:
        if not cap.isOpened():
            return False, None, []
        if opts.size:
            cap.set(cv2.CAP_PROP_FRAME_WIDTH, opts.size[0])
            cap.set(cv2.CAP_PROP_FRAME_HEIGHT, opts.size[1])
        times, frame = [], None
        started = time.monotonic()
        # The first burst may be long: over RTSP, FFmpeg holds the frames it analysed while
        # opening (some 36) and gives them at once. The pace is read on the frames after it.
        while len(_after_burst(times)) < 8 and time.monotonic() - started < 1.5:
            ok, image = cap.read()
            if not ok:
                break
            times.append(time.monotonic())
            frame = image
        return True, frame, times
    finally:
        cap.release()


def _millis(seconds):
    """Whole milliseconds for FFmpeg, where 0 means no timeout: never rounded down to 0."""
    return max(1, round(seconds * 1000))


# Probes of live sources under way; one stopped by a signal goes on until OpenCV gives up.
_probes = []
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


# Above this a rate measured on a live source is a burst of buffered frames, not the camera's pace
# (and AVI's time base cannot hold it: OpenCV's writer drops frames beyond 1000 frames/s).
_MAX_LIVE_FPS = 240


def _live_rate(times):
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


def _probe_camera(index, opts):
    import cv2

    with _quiet_stderr():
        cap = cv2.VideoCapture(index)
    try:
        if not cap.isOpened():
            raise RecordingError("cannot open camera %d" % index)
        if opts.size:
            cap.set(cv2.CAP_PROP_FRAME_WIDTH, opts.size[0])
            cap.set(cv2.CAP_PROP_FRAME_HEIGHT, opts.size[1])
        width = int(cap.get(cv2.CAP_PROP_FRAME_WIDTH))
        height = int(cap.get(cv2.CAP_PROP_FRAME_HEIGHT))
        fps = cap.get(cv2.CAP_PROP_FPS)
    finally:
        cap.release()
    return width, height, fps, None


def _check_writer(output, writer, fps, size):
    """Writes a few frames as the recording will (writer, rate, region size) into a scratch file
    with the output's extension and reads them back: a container that keeps fewer frames than
    were written (an image format, a stream OpenCV cannot read back) is refused here."""
    ext = os.path.splitext(output)[1]
    with _quiet_stderr():
        try:
            kept = writers.probe(writer.make(), ext, fps, size)
        except Exception as exc:
            if writer.h264:  # PyAV's message is FFmpeg's reason
                raise RecordingError("cannot write H.264 video into a %s file: %s" % (ext, exc)) from exc
            if not isinstance(exc, OSError):
                raise
            kept = None
    if kept == writers.PROBE_FRAMES:
        return
    works = ""
    if ext.lower() != ".avi":
        with _quiet_stderr():
            if writers.probe(writers.OpenCVWriter("MJPG"), ".avi", fps, size) == writers.PROBE_FRAMES:
                works = "; .avi (MJPG) works"
    if kept is None:
        raise RecordingError("OpenCV cannot write %s video into a %s file (choose another --fourcc or extension%s)"
                             % (writer, ext, works))
    raise UsageError("output", output, "a %s file with %s video gives back %d of %d frames written%s"
                     % (ext, writer, kept, writers.PROBE_FRAMES, works))


@contextlib.contextmanager
def _quiet_stderr():
    """OpenCV and FFmpeg explain a source or codec they refuse on the process's stderr; our own
    one-line message says it instead."""
    try:
        sys.stderr.flush()
        saved = os.dup(2)
    except (OSError, ValueError, AttributeError):
        yield
        return
    try:
        with open(os.devnull, "w") as null:
            os.dup2(null.fileno(), 2)
        yield
    finally:
        os.dup2(saved, 2)
        os.close(saved)


def _need_gui(option):
    import cv2

    for line in cv2.getBuildInformation().splitlines():
        if line.strip().startswith("GUI:") and line.split(":", 1)[1].strip().upper() != "NONE":
            return
    raise RecordingError("--%s shows a window, and this OpenCV build has none (install opencv-python)"
                         % option.replace("_", "-"))
