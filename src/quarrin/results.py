"""What the front end hands back: small frozen dataclasses (light: no OpenCV, no NumPy)."""
import dataclasses
import datetime
import os
import typing

from quarrin.errors import RecordingError


@dataclasses.dataclass(frozen=True)
class Segment:
    """One output file of a recording and the timestamps CSV beside it."""
    video: str
    csv: str
    frames: int                            # rows in the CSV: frames written to the video
    first: typing.Optional[datetime.datetime]   # timestamp of the first frame (None: no frame)
    last: typing.Optional[datetime.datetime]
    # input frames written, as (start, stop) runs
    runs: tuple[tuple[int, int], ...] = dataclasses.field(default=(), repr=False)
    removed: bool = False                  # deleted by the disk budget (--keep-size, --keep-days)
    camera: typing.Optional[str] = None    # the camera it belongs to (from an index; None: not known)

    @property
    def inframes(self) -> tuple[int, ...]:
        """The input index of every frame written, in order."""
        return tuple(i for start, stop in self.runs for i in range(start, stop))

    @classmethod
    def of(cls, written: typing.Any, removed: bool = False) -> "Segment":
        """From the recorder's own (quarrin._recorder.Written), by field name."""
        return cls(**{name: getattr(written, name) for name in WRITTEN_FIELDS}, removed=removed)


# The fields the recorder reports of a segment (quarrin._recorder.Written): Segment's first six.
WRITTEN_FIELDS = ("video", "csv", "frames", "first", "last", "runs")


@dataclasses.dataclass(frozen=True)
class Event:
    """A motion event: a run of saved frames that belongs together (its before- and after-time
    included). The fields are the columns of the event list (EVENT_COLUMNS); the first nine are
    also the recorder's own (quarrin._recorder.Event: RECORDED_COLUMNS). An event told as it begins
    (on_event_start) has no end, seconds, last_frame or frames yet (None), and the peak area so
    far. With an object detector, `label` and `score` are those of its best detection of a wanted
    label ("" and None without), `zones` the zones it entered (in the configuration's order) and
    `detections` the best detection of each label, best first (not listed: only this object
    carries them, and an event read back from its list equals it all the same). The score is kept
    to 3 places, as the list writes it."""
    event: int                    # number, from 1
    start: datetime.datetime      # time of its first saved frame
    end: typing.Optional[datetime.datetime]  # and of its last
    seconds: typing.Optional[float]          # end - start
    first_frame: int              # input frame numbers, as in the timestamps CSV
    last_frame: typing.Optional[int]
    frames: typing.Optional[int]  # frames saved
    peak_area: float              # the largest moving area seen, in pixels
    file: typing.Optional[str]    # the video its first frame went to (None: a scan)
    snapshot: typing.Optional[str] = None   # a picture of the event, when its list names one
    camera: typing.Optional[str] = None     # the camera's name, when known
    label: str = ""                         # its best detection's label ("": none)
    score: typing.Optional[float] = None    # and that detection's score, 0 to 1
    zones: tuple[str, ...] = ()             # the zones it entered
    # of quarrin.seams.Detection (which names this module's classes: not imported here)
    detections: tuple[typing.Any, ...] = dataclasses.field(default=(), repr=False, compare=False)

    @classmethod
    def of(cls, event: typing.Any, snapshot: str | None = None, camera: str | None = None) -> "Event":
        """From the recorder's own (quarrin._recorder.Event), by field name; its label, score,
        zones and detections from its `findings`, when it has any."""
        found = getattr(event, "findings", None)
        seen: dict[str, typing.Any] = {}
        if found is not None:
            score = getattr(found, "score", None)
            seen = dict(label=getattr(found, "label", None) or "",
                        score=None if score is None else round(float(score), 3),
                        zones=tuple(getattr(found, "zones", None) or ()),
                        detections=tuple(getattr(found, "detections", None) or ()))
        return cls(**{name: getattr(event, name) for name in RECORDED_COLUMNS}, snapshot=snapshot, camera=camera,
                   **seen)

    def row(self, kind: str | None = None, camera: str | None = None) -> dict[str, typing.Any]:
        """The event as one row of the event list's columns (EVENT_COLUMNS), the one form every
        listing and notification gives. As the list writes it (CSV, JSON): times in ISO 8601, ""
        for a file, picture or camera it has none of. With `kind` ("start" or "end"), as the
        notifications tell it (MQTT, a command's environment): `type` first, None for what is not
        yet known (the end of an event just begun) or missing, paths absolute, the picture only
        when its file exists, and `camera` when the event names none. The list writes `score`
        rounded to 3 places and `zones` joined by ";"; told, `zones` is a list."""
        told = kind is not None
        blank = None if told else ""
        row: dict[str, typing.Any] = {"type": kind} if told else {}
        row.update(event=self.event, start=_iso(self.start),
                   end=_iso(self.end) if told else _listed(self.end).isoformat(),
                   seconds=None if self.seconds is None else round(self.seconds, 6), first_frame=self.first_frame,
                   last_frame=self.last_frame, frames=self.frames, peak_area=int(round(self.peak_area)))
        if told:
            row.update(file=os.path.abspath(self.file) if self.file else None, snapshot=self.snapshot_path(),
                       camera=self.camera or camera)
        else:
            row.update(file=self.file or blank, snapshot=self.snapshot or blank, camera=self.camera or blank)
        score = None if self.score is None else round(self.score, 3)
        row.update(label=self.label or blank, score=blank if score is None else score,
                   zones=list(self.zones) if told else ZONE_SEPARATOR.join(self.zones))
        return row

    def snapshot_path(self) -> str | None:
        """The event's picture as an absolute path, when it names one that exists (None otherwise)."""
        if not self.snapshot:
            return None
        path = os.path.abspath(self.snapshot)
        return path if os.path.isfile(path) else None


def _listed(end: datetime.datetime | None) -> datetime.datetime:
    # A listed event has ended: its list row is written once its end is known.
    return typing.cast(datetime.datetime, end)


def _iso(value: object) -> str | None:
    return value.isoformat() if isinstance(value, datetime.datetime) else None


# The recorder's own columns; an event list's picture and camera come after them, and what a
# detector found after those (older lists end with `file`, or with `camera`).
RECORDED_COLUMNS = ("event", "start", "end", "seconds", "first_frame", "last_frame", "frames", "peak_area", "file")
FOUND_COLUMNS = ("label", "score", "zones")
EVENT_COLUMNS = RECORDED_COLUMNS + ("snapshot", "camera") + FOUND_COLUMNS
# Between the names of an event's zones in its list's `zones` column.
ZONE_SEPARATOR = ";"


@dataclasses.dataclass(frozen=True)
class RecordResult:
    source: str
    frames_read: int
    frames_saved: int
    segments: tuple[Segment, ...]  # of Segment, in the order they were written
    stopped: str             # "end", "duration", "key" or "interrupt"
    seconds: float           # wall-clock time of the recording
    fps: float = 0.0         # the source's frame rate (files; 0 when unknown)
    frames_total: typing.Optional[int] = None  # frames the file declares (None: camera/unknown)
    events: tuple[Event, ...] = ()  # of Event, for a motion recording
    # (lost, back) times of a live source's signal
    gaps: tuple[tuple[datetime.datetime, typing.Optional[datetime.datetime]], ...] = ()
    events_file: typing.Optional[str] = None  # where the events were listed
    warning: typing.Optional[str] = None  # an input that ended before the frame count it declares
    log_lines: int = 0       # OpenCV's and FFmpeg's own log lines while it ran
    camera: typing.Optional[str] = None  # the camera's name on its events
    # events dropped, by reason ("without objects", "outside the zones"), with a detector or zones
    dropped: tuple[tuple[str, int], ...] = ()

    @property
    def files(self) -> int:
        return len(self.segments)


@dataclasses.dataclass(frozen=True)
class BatchItem:
    """One input of a batch: its outcome, and the recording's result when it ran."""
    input: str
    output: str
    status: str              # "ok", "failed", "interrupted" or "cancelled"
    result: typing.Optional[RecordResult] = None
    error: typing.Optional[str] = None
    seconds: float = 0.0

    @property
    def events(self) -> tuple[Event, ...]:
        """The events found. An input that failed (or never ran) has none to give: asking raises
        RecordingError with its error, so that it cannot pass for an input without motion."""
        if self.result is None:
            raise RecordingError("%s %s: %s" % (self.input, self.status, self.error or "no result"))
        return self.result.events


@dataclasses.dataclass(frozen=True)
class Progress:
    """A progress event, as the bars receive it.

    For a recording: after every frame read. In a batch: now and then while an input runs (when
    the jobs can report back), and once with ``done`` set when it has finished.
    """
    input: str
    frames_read: int
    frames_saved: int
    total: typing.Optional[int] = None     # frames in the input, when the file declares them
    segment: typing.Optional[str] = None   # video file being written
    done: bool = False
