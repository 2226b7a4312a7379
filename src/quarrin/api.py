"""``quarrin.record`` and ``quarrin.batch``: the recorder behind keyword arguments.

The keywords are the options of ``quarrin record`` (`quarrin.options.OPTIONS`; a test ties these
signatures to that table).
"""
import os
import sys
import typing

from quarrin import options as _options
from quarrin.errors import UsageError

if typing.TYPE_CHECKING:
    import concurrent.futures
    import datetime

    from quarrin.listeners import Listener
    from quarrin.results import BatchItem, Event, Progress, RecordResult, Segment
    from quarrin.seams import Detector, Reader

# A path as the calls take it; a number as an option takes it (its text too, as a command line gives it).
Path = typing.Union[str, "os.PathLike[str]"]
Number = typing.Union[int, float, str]
# A region or a point: "x,y,w,h" (or "x,y"), or its numbers.
Numbers = typing.Union[str, typing.Sequence[int]]
# A rectangle or a polygon: "x,y,w,h" or "x1,y1,x2,y2,x3,y3,..." (or its numbers), or [x, y] points.
Points = typing.Union[str, typing.Sequence[int], typing.Sequence[typing.Sequence[int]]]
# A time of a query: a datetime, ISO 8601, a day, "today" or "yesterday".
When = typing.Union["datetime.datetime", str, None]


def record(source: typing.Union[int, Path, "Reader"], output: Path, *, fourcc: str | None = None,
           codec: str | None = None, quality: int = 23, speed: str = "ultrafast", audio: bool = True,
           fps: Number = 0, size: Numbers | None = None, camera_settings: bool = False, roi: Numbers | None = None,
           motion: bool = False, interval: Number = 0.0, threshold: Number = 25, min_area: Number = 500,
           blur: Number = 21, show_diff: bool = False, duration: Number = 0.0, segment_frames: Number = 0,
           before: Number = 0.0, after: Number = 0.0, min_event: Number = 0.0,
           ignore: typing.Union[str, typing.Sequence[Points]] = (), mask: Path | None = None,
           max_changed: Number = 1.0, detect_width: Number = 0, objects: typing.Union[str, typing.Sequence[str]] = (),
           detector: typing.Union[str, "os.PathLike[str]", "Detector", None] = None, labels: Path | None = None,
           min_score: Number = 0.5, detect_fps: Number = 2.0,
           zones: typing.Union[typing.Mapping[str, Points], typing.Sequence[str]] = (),
           require_zone: typing.Union[str, typing.Sequence[str]] = (), split: str | None = None, boxes: bool = False,
           snapshots: bool = True, name: str | None = None, segment_seconds: Number = 0.0, timestamp: bool = False,
           box_colour: Numbers = "black", text_colour: Numbers = "white", text_at: Numbers = (10, 20),
           font_scale: Number = 0.5, open_timeout: Number = 10.0, stall: Number = 10.0,
           reconnect: Number | None = None, keep_size: Number | None = None, keep_days: Number | None = None,
           keep_event_days: Number | None = None, min_free: Number = "100M", preview: bool = False,
           pipeline: bool = True, copy: bool = False,
           on_event_command: typing.Union[str, typing.Sequence[str], None] = None, on_event_timeout: Number = 30.0,
           mqtt: str | None = None, mqtt_ca: Path | None = None, mqtt_discovery: typing.Union[bool, str, None] = None,
           notify_urls: typing.Union[str, typing.Sequence[str]] = (), notify_when: str = "start",
           notify_cooldown: Number = 60.0, notify_labels: typing.Union[str, typing.Sequence[str], None] = None,
           public_url: str | None = None,
           progress: typing.Callable[["Progress"], object] | None = None,
           log: typing.Callable[[str], object] | None = None, notify: typing.Callable[[str], object] | None = None,
           on_event_start: typing.Callable[["Event"], object] | None = None,
           on_event: typing.Callable[["Event"], object] | None = None,
           on_segment: typing.Callable[["Segment"], object] | None = None,
           on_signal: typing.Callable[[str, "datetime.datetime"], object] | None = None,
           listeners: typing.Iterable["Listener"] = (), quiet: object = None) -> "RecordResult":
    """Records a camera (an index: 0, 1, ... or "0"), a live source (an rtsp://, rtsps://, http://
    or https:// URL, or a device path such as /dev/video0) or re-encodes a video file into
    `output` (which may hold strftime fields, expanded as each segment opens). `source` may also
    be a `quarrin.sources.Reader`.

    The options are those of ``quarrin record`` (``--min-area`` is ``min_area`` and so on);
    `segment_frames` is the number of frames per file; `codec="h264"` writes H.264 through PyAV (the
    default for .mp4 and .mkv outputs when it is installed), tuned by `quality` and `speed`, with the
    source's sound (`audio=False` drops it; an output without it says so in the result's warning);
    `copy=True` saves a file's or a URL's own H.264/H.265 packets instead, without re-encoding.
    `progress`, when given, is called with a `quarrin.Progress` after every frame read; `log` with
    each of the recorder's own lines ("Video saved in ...", ...), which are dropped otherwise;
    `notify` with what the operator must see (a live source's signal lost or back, a segment
    removed for the disk budget, a listener that failed; default: to `log`). A motion recording
    lists its events in ``<output without extension>.events.csv`` and in the result's `events`,
    each with a picture (`snapshots`; in ``<output without extension>.events/0001.jpg``, ...) and
    the camera's `name` (default: the output's file name without times, dates and numbers).
    `objects` (a list of labels, or a text such as "person,car") keeps only the events in which
    `detector` finds one of them with at least `min_score`: "hog" (the default for just "person"),
    an ONNX model file (with `labels`, its class names) or an object with a ``detect(frame)``
    method. `zones` (a dict of name to [x, y] points in the region's pixels) names where events
    happened; `require_zone` keeps only the events that entered one of those named. `ignore` takes
    rectangles (x, y, w, h) and polygons (x1, y1, x2, y2, x3, y3, ... or [x, y] points).
    `on_event_command` (``--on-event``: a text split as a shell would, or a list of words) is
    run as each event begins and ends, `mqtt` a broker's URL its events are published to (see
    ``quarrin record --help``; `mqtt_discovery` True, or a topic prefix, publishes the camera's
    entities for home automation there too), `notify_urls` Apprise URLs each event is sent to as a notification
    (``--notify``); none ever holds up the recording.

    As it goes, `on_event_start(event)` is called when a motion event begins (a `quarrin.Event`
    whose end, seconds, last_frame and frames are None), `on_event(event)` when it ends,
    `on_segment(segment)` when a segment's files are closed (a `quarrin.Segment`), and
    `on_signal(kind, time)` when a live source's signal is "lost" or "back"; `listeners` are
    `quarrin.listeners.Listener` objects told the same. They are all called on one thread of the
    recording's own, in order, after the recording's own event list and disk budget; a slow one
    delays the others, never the recording, and everything is delivered before this returns. One
    that raises is told on `notify` and called no more (a listener object: none of its methods). A live source that
    stays lost past `reconnect` seconds ends the recording with ``stopped="lost"``; `gaps` lists
    the (lost, back) times. Invalid options raise `quarrin.UsageError` before anything is opened;
    a recording that cannot be made raises `quarrin.RecordingError`, and so does one whose video
    writer failed, or that stopped because free space fell below `min_free` (its files are then
    consistent: the CSV holds the rows of the frames the video holds). A Ctrl-C ends the recording
    with its files complete, and the result says ``stopped="interrupt"``. `quiet` is accepted for
    older callers and changes nothing.
    """
    from quarrin import recording

    _not_while_a_worker_starts("record")
    from quarrin import listeners as listening

    given = {k: v for k, v in locals().items() if k in _options.FIELDS}
    plan = recording.prepare(source, output, _options.check_record_options(**given))
    told = list(listeners)
    for name, call in (("on_event_start", on_event_start), ("on_event", on_event), ("on_segment", on_segment),
                       ("on_signal", on_signal)):
        if call is not None:  # each a listener of its own: one that fails leaves the others
            told.append(listening.Callbacks(**{name: call}))
    result: RecordResult = recording.run(plan, progress=progress, log=log, notify=notify, listeners=told)
    return result


def batch(inputs: Path | typing.Iterable[Path], out: Path, *, jobs: int | None = None,
          executor: "concurrent.futures.Executor | None" = None, report: Path | None = None, plot: Path | None = None,
          progress: typing.Callable[["Progress"], object] | None = None,
          **record_options: typing.Any) -> "list[BatchItem]":
    """Records every input file (or every video in an input directory) into directory `out`.

    `record_options` are `record`'s (no camera options, no preview). Runs `jobs` recordings at
    once in separate processes (default: one per CPU), or on `executor`, any
    concurrent.futures.Executor. Writes a report (CSV, or JSON by extension) and a timeline plot
    (PNG) when asked. Returns one `quarrin.BatchItem` per input, in input order; an input that
    fails is reported in its item and the others still run.
    """
    from quarrin import batching

    _not_while_a_worker_starts("batch")
    record_options.pop("quiet", None)
    items: list[BatchItem] = batching.run(inputs, out, jobs=jobs, executor=executor, report=report, plot=plot,
                                          progress=progress, **record_options)
    return items


def scan(inputs: Path | typing.Iterable[Path], *, jobs: int | None = None,
         executor: "concurrent.futures.Executor | None" = None, report: Path | None = None,
         progress: typing.Callable[["Progress"], object] | None = None,
         snapshots: Path | None = None, **motion_options: typing.Any) -> "list[BatchItem]":
    """Finds the motion events of every input file (or every video in an input directory)
    without writing any video: decode and detect only.

    `motion_options` are the motion and event options of `record` (threshold, min_area, blur,
    before, after, min_event, ignore, mask, max_changed, detect_width, objects, detector, labels,
    min_score, detect_fps, zones, require_zone; also roi, duration and pipeline), with scan's own
    defaults for `after` (2) and `min_event` (0.1): stretches with something happening rather
    than single frames. Runs `jobs` inputs at once in separate
    processes (default: one per CPU), or on `executor`. Writes one event list when `report` is
    given (CSV, or JSON by extension), with an `input` column before the event columns. Returns
    one `quarrin.BatchItem` per input, in input order; ``item.events`` holds its `quarrin.Event`s
    (and raises RecordingError for an input that failed). With `snapshots` (a folder), each event's
    picture is written as ``snapshots/<input's name>/0001.jpg``, ... and named in its `snapshot`.
    """
    from quarrin import batching

    _not_while_a_worker_starts("scan")
    items: list[BatchItem] = batching.scan(inputs, jobs=jobs, executor=executor, report=report, progress=progress,
                                           snapshots=snapshots, **motion_options)[0]
    return items


def _not_while_a_worker_starts(name: str) -> None:
    """A process pool that starts its workers by running the main script again (multiprocessing's
    spawn and forkserver, a Dask cluster's processes) repeats a script's top level in each of them
    unless the script guards it: a call from there would repeat the script's work, and is refused."""
    process = sys.modules.get("multiprocessing.process")
    if process is not None and getattr(process.current_process(), "_inheriting", False):
        raise UsageError(None, None, "quarrin.%s was called while this process was starting as a worker of a "
                         "process pool, which runs the main script again: put the script's own work under "
                         "`if __name__ == \"__main__\":`" % name)


def events(paths: Path | typing.Iterable[Path], camera: str | None = None, since: When = None, until: When = None,
           *, limit: int | None = None, index: Path | None = None, label: str | None = None,
           zone: str | None = None) -> "list[Event]":
    """The motion events listed under `paths` (folders, searched recursively, or event lists)
    that overlap the window from `since` to `until`, oldest first: `quarrin.Event`s, with their
    `camera` and with `file` (and `snapshot`) as paths one can open.

    `camera`: only this camera's (None: all). `since` and `until` are datetimes or text: ISO 8601
    (``2026-12-08T06:00``), a day (``2026-12-08``: `since` from its start, `until` to its end),
    ``today`` or ``yesterday``. `label`: only events whose best detection has that label
    (``"person"``); `zone`: only those that entered the zone of that name. `limit` keeps the
    most recent ones. An index kept in
    ``PATH/.quarrin/index.sqlite`` (or the file `index`) makes later calls fast; it is brought up
    to date from the files each time. ``quarrin.index.Index`` is the same, kept open, with paging
    and a look-up by id.
    """
    from quarrin.index import Index, filters, query_arguments

    query_arguments(since, until, limit)   # a wrong argument writes no index
    filters(label, zone)
    with Index(paths, index) as found:
        listed: list[Event] = found.plain_events(camera, since, until, latest=limit, label=label, zone=zone)
        return listed


def recordings(paths: Path | typing.Iterable[Path], camera: str | None = None, since: When = None,
               until: When = None, *, index: Path | None = None) -> "list[Segment]":
    """The segments recorded under `paths` that overlap the window, oldest first:
    `quarrin.Segment`s with their `camera`, from the first and last rows of each timestamps
    CSV. The arguments are those of `events`."""
    from quarrin.index import Index, time_window

    time_window(since, until)   # a wrong argument writes no index
    with Index(paths, index) as found:
        segments: list[Segment] = found.recordings(camera, since, until)
        return segments
