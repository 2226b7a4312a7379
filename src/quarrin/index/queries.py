"""What the index answers with, and the queries' arguments: the events found (`Listed`), the
cameras (`Camera`), a time window and its paging, checked before anything is opened; the SQL that
selects events, and the conditions a store's queries keep to."""
import dataclasses
import datetime
import typing

from quarrin.errors import UsageError
from quarrin.results import EVENT_COLUMNS, ZONE_SEPARATOR, Event
from quarrin.review import JOIN
from quarrin.stamps import read_time

# The columns of `quarrin events --csv` / `--json`: the event list's, the two an event list
# gains later when they are not there yet: after the list's path, as in a scan's report.
EXTRA_COLUMNS = tuple(c for c in ("snapshot", "camera") if c not in EVENT_COLUMNS)
COLUMNS = ("input",) + EVENT_COLUMNS + EXTRA_COLUMNS

_US = datetime.timedelta(microseconds=1)
_datetime = datetime.datetime.fromisoformat
# Rows and pages beyond any index: a larger limit or offset means "all" (SQLite counts in 64 bits).
_MOST = 1 << 61

# --- what the queries return ---------------------------------------------------------------

@dataclasses.dataclass(frozen=True)
class Listed:
    """An event found by the index: `event` as its list gives it (its `file` and `snapshot` as
    paths one can open, its `camera` filled in), the list it comes from (`input`), and an `id`
    that names it for `Index.event`, made of the list's path under the queried PATH and the
    event's number: the same after a rebuild, URL-safe."""
    id: str
    input: str
    event: Event
    reviewed: typing.Optional[str] = None   # when it was marked reviewed (ISO time), None: not
    kept: typing.Optional[str] = None       # when it was kept from the disk budget, None: not

    def row(self):
        """The event list's columns (`COLUMNS`) and the `id`: `quarrin events --json` prints all but
        the id."""
        e = self.event
        row = e.row()
        row.update((c, getattr(e, c) or "") for c in EXTRA_COLUMNS)
        row["input"] = self.input
        row["id"] = self.id
        return row


@dataclasses.dataclass(frozen=True)
class Camera:
    """A camera seen by the index: its newest event and the time of its newest frame."""
    name: str
    last_event: typing.Optional[Listed]               # None: no event listed
    last_frame: typing.Optional[datetime.datetime]    # None: no segment with a frame


# --- time windows --------------------------------------------------------------------------

def time_window(since=None, until=None):
    """(start, end) of the window as stored times (ISO 8601 text in local time, which sorts as
    the times do), `end` excluded; None where open. Each bound is a datetime (an aware one is
    turned to local time), a date, or text: ISO 8601 (2026-12-08T06:00), a day (2026-12-08:
    `since` from its start, `until` to its end), `today` or `yesterday`. A bound past the times a
    datetime holds (`until` 9999-12-31) leaves that end open."""
    start = None if since is None else _bound("since", since, end=False)
    stop = None if until is None else _bound("until", until, end=True)
    if start is not None and stop is not None and start >= stop:
        raise UsageError("since", since, "is after the window's end (%s)" % until)
    return (None if start is None else start.isoformat()), (None if stop is None else stop.isoformat())


def query_arguments(since=None, until=None, limit=None, offset=0):
    """The arguments of a query of events, checked before anything is opened or written:
    ((start, end) as `time_window` gives them, limit, offset). UsageError names what is wrong.
    A limit or an offset beyond any number of events is taken as that number (all, none); only
    whole numbers written in ASCII digits are taken."""
    window = time_window(since, until)
    limit, offset = _paging(limit, offset)
    return window, limit, offset


def _bound(option, value, end):
    try:
        return _moment(option, value, end)
    except OverflowError:
        # Past datetime's years. Beyond the last year a window's end is open, and so is a start
        # before the first; a start past the end or an end before the start is no window a
        # user means.
        upward = _year_of(value) > 5000
        if upward == end:
            return None
        raise UsageError(option, value, "lies beyond the times a recording can have (the years 1 to 9999)") from None


def _year_of(value):
    if isinstance(value, (datetime.date, datetime.datetime)):
        return value.year
    digits = str(value).strip()[:4]
    return int(digits) if digits.isascii() and digits.isdigit() else 0


def _moment(option, value, end):
    if isinstance(value, datetime.datetime):
        return _local(value) + (_US if end else datetime.timedelta())
    day = value if isinstance(value, datetime.date) else None
    if day is None:
        text = str(value).strip()
        try:
            if text in ("today", "yesterday"):
                day = datetime.date.today() - datetime.timedelta(days=text == "yesterday")
            elif len(text) == 10 and text.isascii():
                day = datetime.date.fromisoformat(text)
            else:
                # A moment given as a bound is inside the window.
                return _local(read_time(text)) + (_US if end else datetime.timedelta())
        except ValueError:
            raise UsageError(option, value, "is not a time: give ISO 8601 (2026-12-08T06:00), a day (2026-12-08), "
                                            "today or yesterday") from None
    return datetime.datetime.combine(day + datetime.timedelta(days=end), datetime.time())


def _local(moment):
    """A datetime as the files hold times: naive, in local time."""
    return moment if moment.tzinfo is None else moment.astimezone().replace(tzinfo=None)


_EVENT_FIELDS = ("SELECT e.event, e.start, e.end, e.seconds, e.first_frame, e.last_frame, e.frames, e.peak_area, "
                 "e.video, e.snapshot, e.camera, e.root, e.label, e.score, e.zones")
_EVENT_SELECT = _EVENT_FIELDS + ", e.key, f.path, NULL, NULL FROM events e JOIN files f ON f.id = e.file "  # a Listed's
# The same with the review marks of a store that has its review file attached (quarrin.review).
_REVIEWED_SELECT = (_EVENT_FIELDS + ", e.key, f.path, r.reviewed, r.kept FROM events e JOIN files f ON f.id = e.file"
                    + JOIN + " ")
_PLAIN_SELECT = _EVENT_FIELDS + " FROM events e "                                                  # an Event's
_EVENT_ORDER = " ORDER BY e.start{0}, e.key{0}, e.event{0}"


class Answers:
    """What a store makes of its rows, and the conditions its queries keep to (a part of the store:
    it has `roots`, `explicit` and `by_key`)."""

    def _mine(self, column):
        """The condition that keeps a query to this store's roots, and its arguments: only an
        index named by the caller may hold others."""
        if not self.explicit:
            return "1", []
        return "%s IN (%s)" % (column, ",".join("?" * len(self.roots))), [r.key for r in self.roots]

    def listed(self, row, paths=None):
        """A row of _EVENT_SELECT as a `Listed`; `paths` caches the paths shown, by stored path."""
        paths = {} if paths is None else paths
        return Listed("%016x-%d" % (row[15], row[0]), self._shown(paths, row[11], row[16]), self.event(row, paths),
                      row[17], row[18])

    def select(self):
        """The SELECT of a Listed's row (with its marks when this store has its review file)."""
        return _REVIEWED_SELECT if self.review_attached else _EVENT_SELECT

    def counting(self):
        """The SELECT that counts events under `where`'s conditions."""
        return "SELECT count(*) FROM events e" + (JOIN if self.review_attached else "")

    def event(self, row, paths=None):
        """A row of _EVENT_SELECT as a `quarrin.Event`."""
        paths = {} if paths is None else paths
        number, start, end, seconds, first, last, frames, peak, video, snapshot, camera, root, label, score, zones = \
            row[:15]
        return Event(number, _datetime(start), _datetime(end), seconds, first, last, frames, peak,
                     video and self._shown(paths, root, video), snapshot and self._shown(paths, root, snapshot),
                     camera, label, score, tuple(zones.split(ZONE_SEPARATOR)) if zones else ())

    def _shown(self, paths, root, rel):
        shown = paths.get((root, rel))
        if shown is None:
            shown = paths[root, rel] = self.by_key[root].path(rel)
        return shown

    def where(self, db, camera, window, label=None, zone=None, reviewed=None, kept=None):
        """The WHERE clause of a query of events, and its arguments: of `camera`, in `window`,
        with that `label` and (an event that entered it) `zone`, `reviewed` or not and `kept` or
        not (True or False), each None for any."""
        mine, args = self._mine("e.root")
        clauses = [mine]
        for column, wanted in (("r.reviewed", reviewed), ("r.kept", kept)):
            if wanted is not None:
                if self.review_attached:
                    clauses.append(column + (" IS NOT NULL" if wanted else " IS NULL"))
                elif wanted:
                    clauses.append("0")   # no marks here: none is reviewed or kept
        if camera is not None:
            clauses.append("e.camera = ?")
            args.append(camera)
        if label is not None:
            clauses.append("e.label = ?")
            args.append(label)
        if zone is not None:
            # The names are joined by ";": one of them, not a part of one.
            clauses.append("instr(';' || e.zones || ';', ?) > 0")
            args.append(ZONE_SEPARATOR + zone + ZONE_SEPARATOR)
        start, stop = window
        if start is not None:
            # An event that ends after `start` begins at most the longest event's span before it:
            # a range of the index on the start times.
            longest = db.execute("SELECT max(span) FROM events").fetchone()[0] or 0
            clauses.append("e.start >= ? AND e.end >= ?")
            try:
                earliest = (_datetime(start) - longest * _US).isoformat()
            except OverflowError:
                earliest = datetime.datetime.min.isoformat()
            args += [earliest, start]
        if stop is not None:
            clauses.append("e.start < ?")
            args.append(stop)
        return " WHERE " + " AND ".join(clauses), args


# The names of the cameras, from the indexes on them: one look-up per name.
_DISTINCT_CAMERAS = """
WITH RECURSIVE
  e(name) AS (SELECT min(camera) FROM events
              UNION ALL SELECT (SELECT min(camera) FROM events WHERE camera > e.name) FROM e WHERE e.name IS NOT NULL),
  s(name) AS (SELECT min(camera) FROM segments
              UNION ALL SELECT (SELECT min(camera) FROM segments WHERE camera > s.name) FROM s WHERE s.name IS NOT NULL)
SELECT name FROM e WHERE name IS NOT NULL UNION SELECT name FROM s WHERE name IS NOT NULL
"""


# The labels of the events, from the index on them: one look-up per label ({0}: the store's
# condition, whose arguments are given twice).
_DISTINCT_LABELS = """
WITH RECURSIVE
  l(name) AS (SELECT (SELECT min(label) FROM events WHERE label > '' AND {0})
              UNION ALL SELECT (SELECT min(label) FROM events WHERE label > l.name AND {0}) FROM l
              WHERE l.name IS NOT NULL)
SELECT name FROM l WHERE name IS NOT NULL
"""


def filters(label=None, zone=None):
    """The `label` and `zone` a query keeps to, checked (None: any): names of a detector's label
    and of a zone, as text."""
    checked = []
    for option, value in (("label", label), ("zone", zone)):
        if value is not None:
            if not isinstance(value, str):
                raise UsageError(option, value, "expected a name")
            if not value.strip():
                raise UsageError(option, value, "expected a name")
            if option == "zone" and ZONE_SEPARATOR in value:
                raise UsageError(option, value, "is no zone's name (no %s in one)" % ZONE_SEPARATOR)
            value = value.strip()
        checked.append(value)
    return tuple(checked)


def _paging(limit, offset):
    if limit is not None:
        text = str(limit).strip()
        if isinstance(limit, bool) or not (text.isascii() and text.isdigit()) or int(text) < 1:
            raise UsageError("limit", limit, "must be a whole number, 1 or more")
        limit = min(int(text), _MOST)
    if isinstance(offset, bool) or not isinstance(offset, int) or offset < 0:
        raise UsageError("offset", offset, "must be a whole number, 0 or more")
    return limit, min(offset, _MOST)

