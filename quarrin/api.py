"""``quarrin.record`` and ``quarrin.batch``: the recorder behind keyword arguments.

A recording goes in three steps. `check` validates the options (values only). `prepare` checks
the source and the output path, then opens the source read-only to learn its frame size and
rate, fits the region of interest to it and makes sure the video writer accepts the codec; it
writes nothing. `run` creates the output directory and records.
"""
import contextlib
import dataclasses
import os
import sys
import tempfile
import time
import typing

from quarrin import options as _options
from quarrin.errors import RecordingError, UsageError
from quarrin.results import Progress, RecordResult


@dataclasses.dataclass(frozen=True)
class Plan:
    """A recording ready to run: the recorder's arguments and what the source told us."""
    source: str
    camera: typing.Optional[int]
    output: str
    opts: _options.Options
    width: int
    height: int
    fps: float
    frames_total: typing.Optional[int]
    args: dict = dataclasses.field(repr=False)


def record(source, output, *, fourcc=None, fps=0, size=None, camera_settings=False, roi=None, motion=False,
           threshold=25, min_area=500, blur=21, show_diff=False, interval=0.0, duration=0.0, segment_frames=0,
           timestamp=False, box_colour="black", text_colour="white", text_at=(10, 20), font_scale=0.5,
           preview=False, quiet=False, pipeline=True, progress=None):
    """Records a camera (an index: 0, 1, ... or "0") or re-encodes a video file into `output`.

    The options are those of ``quarrin record`` (``--min-area`` is ``min_area`` and so on);
    `segment_frames` is the number of frames per file. `progress`, when given, is called with a
    `quarrin.Progress` after every frame read. Invalid options raise `quarrin.UsageError` before
    anything is opened; a recording that cannot be made raises `quarrin.RecordingError`. A
    Ctrl-C ends the recording with its files complete, and the result says ``stopped="interrupt"``.
    """
    given = {k: v for k, v in locals().items() if k in _options.FIELDS}
    plan = prepare(source, output, _options.check(**given))
    return run(plan, progress=progress)


def batch(inputs, out, *, jobs=None, executor=None, report=None, plot=None, progress=None, **record_options):
    """Records every input file (or every video in an input directory) into directory `out`.

    `record_options` are `record`'s (no camera options, no preview). Runs `jobs` recordings at
    once in separate processes (default: one per CPU), or on `executor`, any
    concurrent.futures.Executor. Writes a report (CSV, or JSON by extension) and a timeline plot
    (PNG) when asked. Returns one `quarrin.BatchItem` per input, in input order; an input that
    fails is reported in its item and the others still run.
    """
    from quarrin import batching as _batch

    return _batch.run(inputs, out, jobs=jobs, executor=executor, report=report, plot=plot,
                      progress=progress, **record_options)


def prepare(source, output, opts):
    """Checks a recording against its source; opens the source read-only, writes nothing."""
    camera = _options.camera_index(source)
    if camera is None:
        source = _options.check_source_file(source)
        for name in _options.CAMERA_OPTIONS:
            if opts.given(name):
                raise UsageError(name, getattr(opts, name), "applies to a camera; the source is a file")
    output = _options.check_output(output)
    if opts.preview or opts.show_diff:
        _need_gui("preview" if opts.preview else "show_diff")
    if camera is None:
        width, height, fps, total = _probe_file(source)
        shown = source
    else:
        width, height, fps, total = _probe_camera(camera, opts)
        shown = "camera %d" % camera
    roi = opts.roi or (0, 0, width, height)
    x, y, w, h = roi
    if x + w > width or y + h > height:
        raise UsageError("roi", roi, "does not fit the %dx%d frames of %s" % (width, height, shown))
    if w < _options.MIN_ROI_WIDTH:
        raise UsageError("roi", roi, "the region must be at least %d pixels wide" % _options.MIN_ROI_WIDTH)
    fourcc = _options.fourcc_for(output, opts.fourcc)
    # The recorder declares the file's rate (whole frames/s) or the camera's requested one.
    rate = int(fps) if camera is None else (opts.fps or int(round(fps)) or 30)
    _check_writer(output, fourcc, rate, (w, h))

    import numpy as np

    args = dict(
        input_=str(camera) if camera is not None else source, output=output, fmt=fourcc,
        fps=rate if camera is not None else 0, interactive=opts.preview,
        width=opts.size[0] if opts.size else 0, height=opts.size[1] if opts.size else 0,
        roi_x=x, roi_y=y, roi_w=w, roi_h=h, interval=opts.interval, duration=opts.duration,
        max_frames=opts.segment_frames,
        motion_based=opts.motion, config=opts.camera_settings, threshold=opts.threshold,
        min_area=opts.min_area, kernel_width=opts.blur, timestamp=opts.timestamp, show_diff=opts.show_diff,
        tb=np.array(opts.box_colour, np.int32), tc=np.array(opts.text_colour, np.int32),
        tx=opts.text_at[0], ty=opts.text_at[1], fs=opts.font_scale)
    return Plan(args["input_"], camera, output, opts, width, height, float(rate if camera is not None else fps),
                total, args)


def run(plan, progress=None, console=None, echo=True):
    """Runs a prepared recording. `console` gets the recorder's lines (default: sys.stdout);
    with quiet, or `echo` false, they are dropped."""
    from quarrin import _engine

    directory = os.path.dirname(os.path.abspath(plan.output))
    try:
        os.makedirs(directory, exist_ok=True)
    except OSError as exc:
        raise RecordingError("cannot create the directory %s: %s" % (directory, exc.strerror or exc)) from exc
    if not echo or plan.opts.quiet:
        console = None
    elif console is None:
        console = sys.stdout
    hook = None
    if progress is not None:
        source, total = plan.source, plan.frames_total

        def hook(frames_read, frames_saved, segment):
            progress(Progress(source, frames_read, frames_saved, total, segment))

    started = time.perf_counter()
    try:
        outcome = _engine.run(plan.args, hook, plan.opts.pipeline, console)
    except FileNotFoundError as exc:  # the recorder has closed what it had opened
        raise RecordingError("could not create %s: %s" % (exc.filename, exc.strerror or exc)) from exc
    seconds = time.perf_counter() - started
    _check_outcome(plan, outcome)
    return RecordResult(plan.source, outcome.frames_read, outcome.frames_saved, tuple(outcome.segments),
                        outcome.stopped, seconds, plan.fps, plan.frames_total)


def _check_outcome(plan, outcome):
    done = "; %d frames were saved before" % outcome.frames_saved if outcome.frames_saved else ""
    if outcome.stopped == "unopened":
        raise RecordingError("cannot open %s" % plan.source)
    if outcome.stopped == "roi":
        raise RecordingError("a frame of %s is smaller than the region %s%s"
                             % (plan.source, ",".join(map(str, _roi(plan))), done))
    for seg in outcome.segments:
        if not os.path.exists(seg.csv):
            raise RecordingError("could not create %s%s" % (seg.csv, done))
        if seg.frames and not (os.path.exists(seg.video) and os.path.getsize(seg.video) > 0):
            raise RecordingError("the video writer did not write %s (codec %s)" % (seg.video, plan.args["fmt"]))


def _roi(plan):
    a = plan.args
    return a["roi_x"], a["roi_y"], a["roi_w"], a["roi_h"]


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


def _check_writer(output, fourcc, fps, size):
    """Opens a writer like the recorder's on a scratch file with the output's extension."""
    import cv2

    ext = os.path.splitext(output)[1]
    with tempfile.TemporaryDirectory(prefix="quarrin-") as scratch, _quiet_stderr():
        writer = cv2.VideoWriter(os.path.join(scratch, "probe" + ext), cv2.VideoWriter_fourcc(*fourcc), fps, size)
        try:
            opened = writer.isOpened()
        finally:
            writer.release()
    if not opened:
        raise RecordingError("OpenCV cannot write %s video into a %s file (choose another --fourcc or extension)"
                             % (fourcc, ext))


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
