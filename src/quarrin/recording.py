"""One recording, in two steps.

`prepare` checks the source and the output path, then probes the source (quarrin.sources) to learn
its frame size and rate, fits the region of interest to it and makes sure the video writer accepts
the codec; it writes nothing. `run` creates the output directory, records through the engine
(``quarrin._recorder.record``), reading through the plan's reader, writing through its writer and its
timestamps CSV through quarrin.stamps.Writer,
tells the listeners (quarrin.listeners) as it goes, and returns what it did.
"""
import contextlib
import dataclasses
import math
import os
import sys
import time
import typing

from quarrin import options as _options
from quarrin import layout, listeners as listening, nativelog, sources, stamps, writers
from quarrin.zones import check_in_region
from quarrin.listeners import eventlist as events_mod, registry as notifying, snapshots
from quarrin.errors import RecordingError, UsageError, named
from quarrin.results import Progress, RecordResult, Segment


@dataclasses.dataclass(frozen=True)
class Plan:
    """A recording ready to run: what the source told us and what was decided from it. The
    engine's arguments are made from it (`engine_arguments`)."""
    source: str               # as it may be shown (a URL without its password)
    camera: typing.Optional[int]
    output: typing.Optional[str]  # None for a scan
    opts: typing.Any          # quarrin.options.Options
    width: int                # the source's frames
    height: int
    fps: float                # the video's declared rate: a file's own, a camera's asked or measured
    frames_total: typing.Optional[int]  # frames a file declares
    writer: typing.Optional[writers.Choice]  # None for a scan
    reader: typing.Optional[sources.Reader] = dataclasses.field(repr=False, default=None)
    region: tuple = (0, 0, 0, 0)  # x, y, w, h: the region kept
    live: bool = False        # a URL or a device path: timed as it comes, reopened when lost
    scan: bool = False        # find the events only: no video, no CSV
    events: bool = False      # a motion recording in events (and its event list)
    reconnect: float = 0.0    # seconds a lost live source is tried for
    hold_frames: int = 0      # frames --before and --min-event may hold back
    mask: typing.Any = dataclasses.field(repr=False, default=None)  # the motion mask of the region (uint8), or None
    detect_width: int = 0     # motion checked at this width (0: full size)
    name: typing.Optional[str] = None  # the camera's name on its events
    snapshot_dir: typing.Optional[str] = None  # a scan's folder for its event pictures (None: none)
    notes: tuple = ()         # what the operator should know before it starts (run tells it on `notify`)
    unheard: typing.Optional[str] = None  # why the source's sound is not kept (the result's warning)
    detector: typing.Any = dataclasses.field(repr=False, default=None)  # what confirms events (seams.Detector)
    said: tuple = ()          # lines for the log before it starts (which detector, on what)

    @property
    def watched(self):
        """Whether events are confirmed or placed by objects.Watch (a detector, zones)."""
        return self.events and (self.detector is not None or bool(self.opts.zones))

    @property
    def snapshots(self):
        """Whether each event gets its picture."""
        if self.scan:
            return self.snapshot_dir is not None
        return self.events and self.opts.snapshots

    @property
    def timed_by_clock(self):
        return self.reader.kind != "file"

    def engine_arguments(self):
        """The engine's keyword arguments (quarrin._recorder.record) for this plan, without the
        objects and callables of a run."""
        args = _options.engine_arguments(self.opts, roi=self.region, fps=int(self.fps) if self.timed_by_clock else 0,
                                         reconnect=self.reconnect)
        source = self.reader.source if isinstance(self.reader, sources._Capture) else self.source
        args.update(input_=str(source), output=self.output or "", events=self.events, mask=self.mask,
                    hold_frames=self.hold_frames, scan=self.scan, live=self.live, detect_width=self.detect_width,
                    snapshots=self.snapshots)
        if self.scan:
            args.update(motion_based=True, timestamp=False, interactive=False)
        return args


# Frames held back for --before and --min-event may take this much memory at most.
HOLD_LIMIT = 1 << 30
# The seconds of an event's frames held while it waits for a wanted object (beyond --before, and
# --min-event's own): an event confirmed later starts this long before the frame that confirmed it.
OBJECT_WAIT = 3.0


def prepare(source, output, opts, scan=False, snapshots=None):
    """Checks a recording against its source; probes the source, writes nothing. A scan (`scan`
    true, `output` None) finds the motion events and writes no video; with `snapshots` (a folder)
    it writes their pictures there. `source` may also be a
    quarrin.sources.Reader of the caller's."""
    kind = writers.kind_asked(opts)
    reader = sources.reader_for(source, opts, scan, None if scan else kind.reader(opts))
    if not scan:
        kind.refuse_reader(reader)
        output = _options.check_output(output)
        notifying.check_notifier_options(opts)
        kind.refuse_output(output)
    if opts.preview or opts.show_diff:
        _need_gui("preview" if opts.preview else "show_diff")
    reader.probe()
    width, height, fps, total, shown = reader.width, reader.height, reader.fps, reader.frames, reader.shown
    roi = opts.roi or (0, 0, width, height)
    _check_region(opts, roi, width, height, shown)
    kind.refuse_region(roi, width, height)
    x, y, w, h = roi
    check_in_region(opts.zones, w, h)
    if not scan:
        _check_budget(output, opts)
        _check_free_space(output, opts.min_free)
    # The recorder declares the file's rate (whole frames/s), or the rate asked of a camera or
    # measured on a live source.
    timed_by_clock = reader.kind != "file"
    rate = (opts.fps or int(round(fps)) or 30) if timed_by_clock else int(fps)
    if timed_by_clock:
        reader.fps = rate
    events = opts.motion or scan
    hold = _hold_frames(kind, opts, rate, w, h) if events and not scan else 0  # a scan holds no image
    mask = _motion_mask(opts, width, height, roi) if events else None
    writer = None
    if not scan:
        writer = kind.choose(output, opts, (w, h))
        if writer.kind.probed:
            _check_writer(output, writer, rate, (w, h))
    live = reader.kind == "live"
    reconnect = _options.LIVE_RECONNECT if opts.reconnect is None else opts.reconnect
    camera = getattr(reader, "index", None)
    name = opts.name or layout.camera_name(output if not scan else shown)
    folder = snapshots if scan else None
    notes = (writer.note,) if writer is not None and writer.note else ()
    unheard = None if scan else _keep_sound(reader, writer, output, opts)
    said = []
    detector = _load_detector(opts, said.append) if events else None  # last: nothing after it may fail
    return Plan(str(camera) if camera is not None else shown, camera, output, opts, width, height,
                float(rate if timed_by_clock else fps), total, writer, reader, tuple(roi), live, scan, events,
                reconnect if live else 0.0, hold, mask, opts.detect_width if opts.detect_width < w else 0, name,
                folder, notes, unheard, detector, tuple(said))


def _load_detector(opts, log):
    """The detector that confirms events (None: no objects are wanted); what cannot work is a
    UsageError naming the file."""
    if not opts.objects:
        return None
    from quarrin import detectors

    return detectors.load(opts.detector, opts.labels, log)



def _keep_sound(reader, writer, output, opts):
    """Has the reader hand the source's sound with its frames where the recording keeps it (into
    .mp4 and .mkv, through PyAV: copied where the container takes its codec, else encoded to AAC);
    returns the line that says it is not kept (None: it is, or there is none, or --no-audio)."""
    reader.track = None
    if reader.audio is None or not opts.audio:
        return None
    codec = reader.audio.codec_context.name
    if opts.interval:
        return ("the sound of %s (%s) is not kept: --interval saves single frames, which it cannot follow"
                % (reader.shown, codec))
    if not writer.kind.keeps_sound:
        return ("the sound of %s (%s) is not kept: OpenCV's writer (%s) writes pictures only; .mp4 and .mkv "
                "outputs keep it" % (reader.shown, codec, writer))
    from quarrin import av_writer, sound

    fmt = av_writer.container_for(layout.expand(output))[0]
    reader.track = sound.track_for(reader.audio, fmt)
    return None


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
            raise RecordingError("%s now sends %s frames, not %s: the motion mask (%s, %s) was made for "
                                 "%s frames; record again with one made for the new size"
                                 % (plan.source, now, was, named("mask"), named("ignore"), was))
        roi = opts.roi or (0, 0, width, height)
        kind = plan.writer.kind if plan.writer is not None else writers.ENCODED
        kind.refuse_resized(roi, width, height, "%s now sends %s frames, not %s" % (plan.source, now, was))
        if roi[0] + roi[2] > width or roi[1] + roi[3] > height:
            raise RecordingError("the region %s %d,%d,%d,%d does not fit the %s frames %s sends now (they were %s)"
                                 % ((named("roi"),) + roi + (now, plan.source, was)))
        try:
            _check_region(opts, roi, width, height, plan.source)
            check_in_region(opts.zones, roi[2], roi[3])  # zones are drawn in the region's pixels
            kind.refuse_size(roi)
            if plan.hold_frames:
                _hold_frames(kind, opts, plan.fps, roi[2], roi[3])
        except UsageError as exc:
            shown = "the region %s %d,%d,%d,%d" % ((named("roi"),) + roi) if opts.roi else "the whole frame"
            raise RecordingError("%s now sends %s frames, not %s: %s cannot be recorded (%s)"
                                 % (plan.source, now, was, shown, exc.marked_reason)) from None
        if opts.roi:
            notify("Frame size changed from %s to %s; the region %d,%d,%d,%d still fits" % ((was, now) + roi))
        else:
            notify("Frame size changed from %s to %s: the new size is recorded in a new segment" % (was, now))
        size[:] = [width, height]
        return roi

    return resized


def _check_budget(output, opts):
    """A disk budget deletes only files it can tell as this output's: an output whose names it
    cannot follow is refused before anything is recorded."""
    given = [name for name in ("keep_size", "keep_days", "keep_event_days") if getattr(opts, name) is not None]
    if not given:
        return
    try:
        layout.Pattern(output)
    except layout.Unfollowable as exc:
        option = given[0]
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
        raise RecordingError("free space on the file system of %s is %s, below %s %s: nothing was recorded"
                             % (folder, writers.show_size(left), named("min_free"), writers.show_size(min_free)))


def _hold_frames(kind, opts, rate, width, height):
    """The most frames --before and --min-event hold back (ROI crops) for a writer of `kind`
    (writers.Kind), with room for a source a little faster than it says; refused over HOLD_LIMIT."""
    seconds = opts.before + (opts.min_event + opts.after if opts.min_event > 0 else 0)
    if opts.objects:
        # An event waits for its objects: its frames are held for OBJECT_WAIT at least.
        seconds = opts.before + max(seconds - opts.before, OBJECT_WAIT)
    if kind.packet_rate:
        # The packets of these seconds, and the lead the writer needs to start at.
        if seconds * kind.packet_rate > HOLD_LIMIT:
            name = "objects" if opts.objects else "before" if opts.min_event <= 0 else "min_event"
            raise UsageError(name, getattr(opts, name), "would hold %.0f s of the source's packets: at %d Mbit/s "
                             "that is more than the 1 GiB that may be held"
                             % (seconds, kind.packet_rate * 8 // 1_000_000))
    seconds += kind.lead
    if seconds <= 0:
        return 0
    frames = math.ceil(seconds * rate) + 1
    need = frames * kind.held_bytes(width, height)
    if need > HOLD_LIMIT:
        name = "objects" if opts.objects else "before" if opts.min_event <= 0 else "min_event"
        raise UsageError(name, getattr(opts, name), "would hold %d frames of %dx%d (%.1f GiB) in memory; at most "
                         "1 GiB may be held (a shorter time, or a smaller %s)"
                         % (frames, width, height, need / (1 << 30), named("roi")))
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
    for area in opts.ignore:
        if _options.is_polygon(area):   # its points from 0,0 to the frame's width,height
            if any(px > width or py > height for px, py in area):
                raise UsageError("ignore", _options.area_text(area), "lies outside the %dx%d frames" % (width, height))
            cv2.fillPoly(full, [np.array(area, np.int32)], 0)
            continue
        x, y, w, h = area
        if x + w > width or y + h > height:
            raise UsageError("ignore", area, "lies outside the %dx%d frames" % (width, height))
        full[y:y + h, x:x + w] = 0
    x, y, w, h = roi
    kept = np.ascontiguousarray(full[y:y + h, x:x + w])
    if not kept.any():
        area = "the region %d,%d,%d,%d" % roi if opts.roi else "the %dx%d frames" % (width, height)
        if not opts.ignore:
            raise UsageError("mask", opts.mask, "leaves nothing of %s to watch for motion" % area)
        raise UsageError("ignore", " ".join(map(_options.area_text, opts.ignore)), "%sleaves nothing of %s to "
                         "watch for motion" % ("with the mask, " if opts.mask else "", area))
    return kept


def run(plan, progress=None, log=None, notify=None, listeners=(), others=(), ended=()):
    """Runs a prepared recording. `progress` gets a `quarrin.Progress` after every frame read,
    `log` each of the recorder's own lines (None: they are dropped), `notify` what the operator
    must see (a live source's signal lost or back, a segment removed for the disk budget, a
    listener that failed; None: to `log`). `listeners` (quarrin.listeners.Listener) are told of
    the events, segments and signal changes, after the recording's own: its event list (a motion
    recording's, beside the output: layout.events_path) and its disk budget. `others` are the
    outputs of other recordings beside this one (a service's other cameras), whose files its
    budget never takes for its own. `ended` are events (quarrin.Event) an earlier recording into
    the same output left open when it died, listed since: their end is told to the notifying
    listeners and `listeners` first (a hook's end command, an MQTT end)."""
    record = recorder().record

    notify = notify or log or _drop
    for note in plan.notes:
        notify(note)
    if not plan.scan:
        # An output with strftime fields gets the folders after its first field as each segment
        # opens, named by that segment's time.
        fixed = plan.output.split("%", 1)[0] + "x" if "%" in plan.output else plan.output
        directory = os.path.dirname(os.path.abspath(fixed))
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
    namer = None if plan.scan else layout.Namer(plan.output, numbered=plan.opts.segment_frames > 0
                                                or plan.opts.split == "events", by_clock=plan.timed_by_clock)
    listing = keeper = None
    own = []
    if plan.events and not plan.scan:
        # Beside the first segment: a file's list is named by its input's time, as its videos are.
        listing = events_mod.EventList(lambda: layout.events_path(namer.expanded()), namer.lock, plan.output)
        own.append(listing)
    folder = None
    if plan.snapshots:
        folder = (lambda: plan.snapshot_dir) if plan.scan else (lambda: layout.snapshots_folder(listing.opened_path()))
    pictures = snapshots.Events(plan.name, folder, plan.opts.box_colour, notify, listing and plan.output)
    if plan.events and not own:
        own.append(pictures)  # a scan's events are made (and pictured) with no other listener
    opts = plan.opts
    if not plan.scan and (opts.keep_size is not None or opts.keep_days is not None or opts.keep_event_days is not None):
        from quarrin.listeners import budget

        keeper = budget.Budget(layout.Pattern(plan.output), opts.keep_size, opts.keep_days, notify, namer,
                               listing, layout.patterns(others), opts.keep_event_days)
        own.append(keeper)
    if namer is not None:
        own.append(_Release(namer))  # after the budget: it sees each segment as held or as closed last
    # The commands and messages of --on-event and --mqtt, once the event is complete.
    told = [] if plan.scan else notifying.listeners(plan.opts, plan.output, notify, log)
    dispatch = listening.Dispatcher(own + told + list(listeners), notify, essential=own[:1] if listing else (),
                                    event_of=pictures.of)
    for event in ended:
        dispatch.ended(event, told + list(listeners))
    reader = plan.reader
    reader.log = log or _drop
    for line in plan.said:
        reader.log(line)
    watch = _watch(plan, notify) if plan.watched else None
    if plan.live:
        sources.await_calls_at_exit()
    started = time.perf_counter()
    stops = []  # a Ctrl-C or SIGTERM after the frame loop ended
    # OpenCV's and FFmpeg's own lines go to `log` (shown with -v), and are counted.
    try:
        with nativelog.Capture(echo=log) as native:
            writer = None if plan.scan else writers.GuardedWriter(plan.writer.make(reader.track), plan.opts.min_free,
                                                                  native, dispatch.stopped)
            try:
                outcome = record(**plan.engine_arguments(), progress=hook, log=log or _drop, video_writer=writer,
                                 stamps_writer=None if plan.scan else stamps.Writer(), reader=reader,
                                 notify=notify, namer=namer,
                                 on_resize=_on_resize(plan, notify) if plan.live else None, watcher=watch,
                                 **dispatch.callbacks())
            except listening.ListenerFailed:
                outcome = None  # raised below, once the listeners are done
            except FileNotFoundError as exc:  # the recorder has closed what it had opened
                raise RecordingError("could not create %s: %s" % (exc.filename, exc.strerror or exc)) from exc
            except (writers.WriterStopped, OSError) as exc:
                # Every file is closed: the open segment is made consistent, and the error names it.
                raise _stopped_writing(writer, exc) from exc
            except KeyboardInterrupt:
                # A Ctrl-C before the frame loop began: nothing was written.
                outcome = None
            with stops_deferred(dispatch.hurry) as stops:
                if listing is not None:
                    listing.finish()
    finally:
        if watch is not None:
            watch.close()
        # Everything told is delivered (the budget's deletions done, and told) before the result; a
        # second Ctrl-C meanwhile only hurries the listeners.
        with stops_deferred(dispatch.hurry) as more:
            dispatch.close()
    stopped_late = bool(stops or more)
    if dispatch.failure is not None:
        raise RecordingError("stopped: %s; the files written are complete" % dispatch.failure) \
            from dispatch.failure.__cause__
    if keeper is not None and keeper.error is not None:
        raise keeper.error
    if dispatch.lost is not None:
        raise RecordingError("%s; the files written are complete" % dispatch.lost) from dispatch.lost.__cause__
    seconds = time.perf_counter() - started
    dropped = ()
    if watch is not None:
        dropped = tuple(watch.dropped.items())
        if watch.detector is not None and log is not None:
            log(_watched_line(watch))
    if outcome is None:
        return RecordResult(plan.source, 0, 0, (), "interrupt", seconds, plan.fps, plan.frames_total,
                            log_lines=native.count)
    videos = [w.video for w in outcome.segments]
    removed = keeper.removed(videos) if keeper is not None else [False] * len(videos)
    # A segment whose video and CSV are both gone was removed meanwhile by another's budget (the
    # service's, over all its cameras): not a writer that failed.
    removed = [gone or not any(os.path.lexists(path) for path in layout.segment_files(video))
               for gone, video in zip(removed, videos)]
    _check_outcome(plan, outcome, removed)
    segments = tuple(Segment.of(w, gone) for w, gone in zip(outcome.segments, removed))
    stopped = "interrupt" if stopped_late else outcome.stopped
    return RecordResult(plan.source, outcome.frames_read, outcome.frames_saved, segments, stopped, seconds,
                        plan.fps, plan.frames_total, pictures.result(outcome.events), outcome.gaps,
                        listing.path if listing is not None else None, _warning(plan, outcome), native.count,
                        plan.name, dropped)


def _watch(plan, notify):
    """The engine's watcher for a recording whose events a detector confirms or zones place."""
    from quarrin import objects

    opts = plan.opts
    return objects.Watch(plan.detector, opts.objects, opts.min_score, opts.detect_fps, opts.zones, opts.require_zone,
                         live=plan.live, notify=notify, own=not hasattr(opts.detector, "detect"))


def _watched_line(watch):
    """What the detector did, for the log: frames looked at, and events dropped and why."""
    line = "Detector: looked at %d frames with motion" % watch.looked
    if watch.skipped:
        line += ", %d more passed while it was busy" % watch.skipped
    if watch.failures:
        line += ", failed on %d" % watch.failures
    dropped = watch.dropped.items()
    line += "; %s" % (", ".join("%d event%s %s dropped" % (n, "" if n == 1 else "s", why) for why, n in dropped)
                      if dropped else "no event dropped")
    return line


@contextlib.contextmanager
def stops_deferred(hurry=None):
    """Ctrl-C and SIGTERM inside the block (a recording finishing its files and telling its
    listeners, its summary printed) are noted, not raised: the list this yields gets each signal,
    and the first calls `hurry()`. After the block each handler that was in place runs for what it
    noted, its KeyboardInterrupt dropped (the command's SIGTERM handler notes its exit status so).
    Outside the main thread, nothing is deferred."""
    import signal
    import threading

    noted = []
    if threading.current_thread() is not threading.main_thread():
        yield noted
        return

    def note(signum, frame):
        noted.append(signum)
        if hurry is not None and len(noted) == 1:
            hurry()

    previous = {signum: signal.signal(signum, note) for signum in (signal.SIGINT, signal.SIGTERM)}
    try:
        yield noted
    finally:
        for signum, handler in previous.items():
            signal.signal(signum, handler)
        for signum in dict.fromkeys(noted):
            if callable(previous[signum]):
                try:
                    previous[signum](signum, None)
                except KeyboardInterrupt:
                    pass


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


class _Release(listening.Listener):
    """A closed segment's name is no longer the recording's to hold (layout.Namer)."""

    def __init__(self, namer):
        self.namer = namer

    def describe(self):
        return "the segment namer"

    def on_segment(self, segment):
        self.namer.closed(segment.video)


def _warning(plan, outcome):
    """The result's warning: a file shorter than it says, the sound not kept; None: neither."""
    said = [w for w in (_short_input(plan, outcome), plan.unheard) if w]
    return "; ".join(said) or None


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
        raise RecordingError("cannot open %s" % plan.reader.shown)
    if outcome.stopped == "roi":
        raise RecordingError("a frame of %s is smaller than the region %d,%d,%d,%d%s"
                             % ((plan.source,) + plan.region + (done,)))
    for seg, gone in zip(outcome.segments, removed):  # gone: removed by the disk budget
        if seg.frames and not gone and not (os.path.exists(seg.video) and os.path.getsize(seg.video) > 0):
            raise RecordingError("the video writer did not write %s (codec %s)" % (seg.video, plan.writer))


def _check_writer(output, writer, fps, size):
    """Writes a few frames as the recording will (writer, rate, region size) into a scratch file
    with the output's extension and reads them back: a container that keeps fewer frames than
    were written (an image format, a stream OpenCV cannot read back) is refused here."""
    ext = os.path.splitext(output)[1]
    with nativelog.quiet_stderr():
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
        with nativelog.quiet_stderr():
            if writers.probe(writers.OpenCVWriter("MJPG"), ".avi", fps, size) == writers.PROBE_FRAMES:
                works = "; .avi (MJPG) works"
    if kept is None:
        raise RecordingError("OpenCV cannot write %s video into a %s file (choose another %s or extension%s)"
                             % (writer, ext, named("fourcc"), works))
    raise UsageError("output", output, "a %s file with %s video gives back %d of %d frames written%s"
                     % (ext, writer, kept, writers.PROBE_FRAMES, works))


def _need_gui(option):
    import cv2

    for line in cv2.getBuildInformation().splitlines():
        if line.strip().startswith("GUI:") and line.split(":", 1)[1].strip().upper() != "NONE":
            return
    raise RecordingError("--%s shows a window, and this OpenCV build has none (install opencv-python)"
                         % option.replace("_", "-"))
