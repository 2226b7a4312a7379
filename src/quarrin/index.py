"""The events and segments recorded under some folders, from an index kept beside them.

`Index(paths)` answers from an SQLite file, by default ``PATH/.quarrin/index.sqlite``, that is
brought up to date from the files at each query: the event lists (``*.events.csv``) and the
timestamps CSVs (``X.avi.csv``) found under each PATH are stat'ed, and only those whose size,
modification time or inode changed are read again. The files stay the truth: a missing index is
built, one of an older layout rebuilt, a damaged one rebuilt with one warning, and where none can
be written (a read-only folder) the same answers come from an index held in memory. Recording
never needs one.

Each refresh writes its changes in one transaction in WAL mode: a query running beside another,
or beside a recorder appending to the files, sees either the old rows or the new ones, and waits
for a writer rather than failing. A line still being written at the end of a file is left out.
"""
import csv
import dataclasses
import datetime
import hashlib
import heapq
import io
import operator
import os
import re
import sqlite3
import threading
import time
import typing

from quarrin.errors import UsageError
from quarrin.layout import CSV_HEADER, LIST, STAMPS, camera_name, kind_of, video_of
from quarrin.results import EVENT_COLUMNS, RECORDED_COLUMNS, Event, Segment

INDEX_FOLDER = ".quarrin"
INDEX_NAME = "index.sqlite"
SCHEMA = 2                      # PRAGMA user_version: another layout is rebuilt
APPLICATION_ID = 0x71726E69     # PRAGMA application_id: marks the file as this index
BUSY_SECONDS = 60.0             # how long a refresh waits for another one's transaction
SQLITE_MAGIC = b"SQLite format 3\x00"

STAMPS_HEADER = ",".join(CSV_HEADER).encode()
_TAIL = 4096                    # bytes read from a timestamps CSV's end for its last row

# The columns of `quarrin events --csv` / `--json`: the event list's, the two an event list
# gains later when they are not there yet: after the list's path, as in a scan's report.
EXTRA_COLUMNS = tuple(c for c in ("snapshot", "camera") if c not in EVENT_COLUMNS)
COLUMNS = ("input",) + EVENT_COLUMNS + EXTRA_COLUMNS

_US = datetime.timedelta(microseconds=1)
_datetime = datetime.datetime.fromisoformat
# Rows and pages beyond any index: a larger limit or offset means "all" (SQLite counts in 64 bits).
_MOST = 1 << 61

# The ISO 8601 times other tools write besides ours: basic or extended, a week date, a date and
# time joined by any one character, a fraction of any length after "." or ",", an offset.
_ISO_TIME = re.compile(
    r"(?P<date>(?P<y>\d{4})(?:-(?P<m>\d{2})-(?P<d>\d{2})|(?P<m2>\d{2})(?P<d2>\d{2})"
    r"|-?W(?P<w>\d{2})(?:-?(?P<wd>\d))?))"
    r"(?:[^\d](?P<H>\d{2})(?::?(?P<M>\d{2})(?::?(?P<S>\d{2})(?:[.,](?P<f>\d+))?)?)?"
    r"(?P<zone>[Zz]|[+-]\d{2}(?::?\d{2}(?::?\d{2}(?:[.,]\d+)?)?)?)?)?", re.ASCII)


def read_time(text):
    """A time as ISO 8601 text, as `datetime.fromisoformat` of Python 3.11 and later reads it on
    any version: also basic times (20261208T105603), week dates, one or two digits of a fraction
    (05.5) or more than six (cut to six), and a 60th second (a leap second), as the next minute.
    Only ASCII digits count. ValueError when it is none."""
    if text.isascii():
        try:
            return datetime.datetime.fromisoformat(text)
        except ValueError:
            pass
    m = _ISO_TIME.fullmatch(text)
    if m is None:
        raise ValueError("not an ISO 8601 time: %r" % (text,))
    year = int(m["y"])
    if m["w"] is not None:
        day = datetime.date.fromisocalendar(year, int(m["w"]), int(m["wd"] or 1))
    else:
        day = datetime.date(year, int(m["m"] or m["m2"]), int(m["d"] or m["d2"]))
    second = int(m["S"] or 0)
    leap = second == 60
    moment = datetime.datetime.combine(day, datetime.time(
        int(m["H"] or 0), int(m["M"] or 0), 59 if leap else second, int((m["f"] or "0")[:6].ljust(6, "0")),
        _zone(m["zone"])))
    return moment + datetime.timedelta(seconds=1) if leap else moment


def _zone(text):
    if not text:
        return None
    if text in "Zz":
        return datetime.timezone.utc
    digits = re.sub(r"[:,.]", "", text[1:])
    seconds = int(digits[:2]) * 3600 + int(digits[2:4] or 0) * 60 + int(digits[4:6] or 0)
    return datetime.timezone(datetime.timedelta(seconds=-seconds if text[0] == "-" else seconds))


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


# --- reading the files ---------------------------------------------------------------------

def _complete_lines(data):
    """`data` up to its last newline: a line still being written is left out."""
    return data[:data.rfind(b"\n") + 1]


def _read_list(path, size, top):
    """The events of the event list at `path` (its first `size` bytes) as the index stores them:
    (event, start, end, span in microseconds, seconds, first_frame, last_frame, frames,
    peak_area, video, snapshot, camera), the paths relative to `top`; None when it is no event
    list. A damaged row is left out, the others kept."""
    with open(path, "rb") as f:
        data = _complete_lines(f.read(size))
    reader = csv.reader(io.StringIO(data.decode("utf-8", "replace"), newline=""))
    try:
        header = next(reader, None)
        if not header or header[:3] != ["event", "start", "end"]:
            return None
        col = {name: i for i, name in enumerate(header)}
        needed = [col[c] for c in RECORDED_COLUMNS]
        rows = list(reader)
    except (KeyError, csv.Error):
        return None
    own_camera = camera_name(path)
    camera_at, snapshot_at = col.get("camera"), col.get("snapshot")
    fields = operator.itemgetter(*needed)
    resolve = _Resolver(os.path.dirname(os.path.abspath(path)), top, {r[needed[-1]] for r in rows
                                                                       if len(r) > needed[-1]})
    found = _Rows()
    for row in rows:
        try:
            number, start, end, seconds, first, last, frames, peak, file = fields(row)
            (begin, start), (finish, end) = _read_time(start), _read_time(end)
            values = (int(number), start, end, max(0, (finish - begin) // _US), float(seconds), int(first),
                      int(last), int(frames), float(peak))
        except (ValueError, IndexError, OverflowError):
            found.unread += any(field.strip() for field in row)   # a blank line is no row
            continue
        snapshot = row[snapshot_at] if snapshot_at is not None and snapshot_at < len(row) else ""
        camera = row[camera_at] if camera_at is not None and camera_at < len(row) else ""
        found.append(values + (resolve(file), resolve(snapshot), camera or own_camera))
    return found


class _Rows(list):
    """The events of a list, and how many of its rows could not be read (`unread`)."""
    unread = 0


def _read_time(text):
    """A time read from a file: (naive datetime in local time, its ISO 8601 text as the index
    stores it). Text already so written is kept as it is."""
    moment = read_time(text)
    if moment.tzinfo is not None:
        moment = _local(moment)
    elif len(text) in (19, 26) and text[10] == "T" and text[13] == ":" and text[19:20] in ("", ".") \
            and text[17:19] != "60":
        return moment, text
    return moment, moment.isoformat()


class _Resolver:
    """Where an event list's `file` (or `snapshot`) entry lies, as a path relative to `top`.
    Lists name it relative to their own folder; older lists, relative to where the recording
    ran. That folder shows from an entry naming the list's own folder (out/cam/door.avi in
    /srv/out/cam/door.events.csv: /srv); an older entry is otherwise looked for by its name in
    the list's folder."""

    def __init__(self, folder, top, entries):
        self.folder, self.top, self.seen = folder, top, {}
        self.ran_in = None
        for entry in entries:
            head = os.path.dirname(entry)
            if head and not os.path.isabs(head) and not head.startswith(".."):
                tail = os.sep + os.path.normpath(head)
                if folder.endswith(tail):
                    self.ran_in = folder[:-len(tail)]
                    break

    def __call__(self, entry):
        if not entry:
            return None
        found = self.seen.get(entry)
        if found is None:
            found = self.seen[entry] = os.path.relpath(self._where(entry), self.top)
        return found

    def _where(self, entry):
        if os.path.isabs(entry):
            return os.path.normpath(entry)
        beside = os.path.normpath(os.path.join(self.folder, entry))
        ran = None if self.ran_in is None else os.path.normpath(os.path.join(self.ran_in, entry))
        by_name = os.path.join(self.folder, os.path.basename(entry))
        for candidate in (beside, ran, by_name):
            if candidate is not None and os.path.exists(candidate):
                return candidate
        # Gone (a disk budget removes videos): where the list most likely meant it.
        if os.path.dirname(entry) and not entry.startswith(".."):
            return ran or by_name
        return beside


def _read_stamps(path, size, before=None):
    """(newlines, first, last) of the timestamps CSV at `path` (its first `size` bytes): its
    complete lines, the header's included, and the times of its first and last rows; None when
    it is no timestamps CSV. `before`: (size, newlines, first) as stored for the same file:
    when it only grew, just the bytes added are counted."""
    with open(path, "rb") as f:
        head = f.read(min(size, 512))
        if not head.startswith(STAMPS_HEADER):
            return None
        lines = head.split(b"\n")
        first = _row_time(lines[1]) if len(lines) > 2 else None
        if before is not None and before[0] < size and before[1] and before[2] == first:
            f.seek(before[0])
            newlines = before[1] + _count_newlines(f, size - before[0])
        else:
            newlines = _count_newlines(f, size, head)
        last = None
        if newlines > 1:
            at = max(0, size - _TAIL)
            f.seek(at)
            tail = _complete_lines(f.read(size - at)).split(b"\n")[:-1]
            for line in reversed(tail[1:] if at else tail):   # a line cut by the seek is no row
                last = _row_time(line)
                if last is not None:
                    break
    return newlines, first, last if last is not None else first


def _count_newlines(f, size, head=b""):
    count = head.count(b"\n")
    size -= len(head)
    while size > 0:
        chunk = f.read(min(size, 1 << 20))
        if not chunk:
            break
        count += chunk.count(b"\n")
        size -= len(chunk)
    return count


def _row_time(line):
    fields = line.strip().split(b",")
    if len(fields) != 3:
        return None
    try:
        return _read_time(fields[2].decode("ascii"))[1]
    except (ValueError, UnicodeDecodeError):
        return None


# --- the folders queried --------------------------------------------------------------------

# A folder whose modification time is older than this many seconds holds the names it held
# when it was listed; a newer one may yet change within the same tick of its clock.
_SETTLED = 2.0


@dataclasses.dataclass
class _Root:
    """A PATH as queried: `key` names it in its index (empty in the index kept in the folder
    itself), `top` is the folder the stored paths are relative to, `shown` the PATH as given
    (the paths returned start with it), `only` the file's name when PATH is an event list."""
    key: str
    top: str
    shown: str
    only: typing.Optional[str] = None

    def __post_init__(self):
        self.prefix = "" if self.shown in ("", ".") else os.path.join(self.shown, "")

    @staticmethod
    def contents(known, folders):
        """({folder: [its files]}, {folder: [its folders]}) of the paths of `known` and `folders`."""
        files_in, folders_in = {}, {}
        for rel in known:
            files_in.setdefault(rel.rpartition("/")[0], []).append(rel)
        for rel in folders:
            if rel:
                folders_in.setdefault(rel.rpartition("/")[0], []).append(rel)
        return files_in, folders_in

    def look(self, kinds, folders, known, contents):
        """The files of `kinds` under the root: ({path: (kind, size, mtime, inode)}, {folder:
        modification time, 0 when too recent to be relied on}). `folders` and `known` are what
        the index saw last time, `contents` what they hold: a folder with the same modification
        time holds the same names, so only its known files are stat'ed; the others are listed.
        Folders are not followed through symbolic links, nor into index folders."""
        found, seen = {}, {}
        if self.only is not None:
            kind = kind_of(self.only)
            if kind in kinds:
                try:
                    st = os.stat(os.path.join(self.top, self.only))
                    found[self.only] = (kind, st.st_size, st.st_mtime_ns, st.st_ino)
                except OSError:
                    pass
            return found, seen
        files_in, folders_in = contents
        settled = (time.time() - _SETTLED) * 1e9
        top, stat = os.path.join(self.top, ""), os.stat
        stack = [("", None)]
        while stack:
            rel, st = stack.pop()
            path = top + rel
            try:
                mtime = (st or stat(path)).st_mtime_ns
            except OSError:
                continue
            seen[rel] = mtime if mtime < settled else 0
            if seen[rel] and folders.get(rel) == mtime:
                for name in files_in.get(rel, ()):
                    try:
                        st = stat(top + name)
                    except OSError:
                        continue
                    found[name] = (known[name][0], st.st_size, st.st_mtime_ns, st.st_ino)
                stack.extend((sub, None) for sub in folders_in.get(rel, ()))
                continue
            try:
                entries = os.scandir(path)
            except OSError:
                continue
            with entries:
                for entry in entries:
                    name = entry.name
                    kind = kind_of(name)
                    child = rel + "/" + name if rel else name
                    try:
                        if kind is None:
                            if name != INDEX_FOLDER and entry.is_dir(follow_symlinks=False):
                                stack.append((child, entry.stat(follow_symlinks=False)))
                        elif kind in kinds:
                            st = entry.stat()
                            found[child] = (kind, st.st_size, st.st_mtime_ns, st.st_ino)
                    except OSError:
                        continue
        return found, seen

    def path(self, rel):
        """A stored path as a path one can open: under PATH as it was given."""
        path = self.prefix + rel
        return os.path.normpath(path) if ".." in rel else path


_SCHEMA_SQL = """
CREATE TABLE files (id INTEGER PRIMARY KEY, root TEXT NOT NULL, path TEXT NOT NULL, kind INTEGER NOT NULL,
                    size INTEGER NOT NULL, mtime INTEGER NOT NULL, ino INTEGER NOT NULL,
                    unread INTEGER NOT NULL DEFAULT 0, UNIQUE (root, path));
CREATE INDEX files_unread ON files (unread) WHERE unread > 0;
CREATE TABLE folders (root TEXT NOT NULL, kinds INTEGER NOT NULL, path TEXT NOT NULL, mtime INTEGER NOT NULL,
                      PRIMARY KEY (root, kinds, path));
CREATE TABLE events (root TEXT NOT NULL, file INTEGER NOT NULL, key INTEGER NOT NULL, event INTEGER NOT NULL,
                     start TEXT NOT NULL, end TEXT NOT NULL, span INTEGER NOT NULL, seconds REAL, first_frame INTEGER,
                     last_frame INTEGER, frames INTEGER, peak_area REAL, video TEXT, snapshot TEXT,
                     camera TEXT NOT NULL);
CREATE INDEX events_start ON events (start, key, event);
CREATE INDEX events_camera ON events (camera, start, key, event);
CREATE INDEX events_id ON events (key, event);
CREATE INDEX events_span ON events (span);
CREATE INDEX events_video ON events (root, video);
CREATE TABLE segments (file INTEGER PRIMARY KEY, root TEXT NOT NULL, video TEXT NOT NULL, newlines INTEGER NOT NULL,
                       first TEXT, last TEXT, own_camera TEXT NOT NULL, camera TEXT NOT NULL);
CREATE INDEX segments_video ON segments (root, video);
CREATE INDEX segments_camera ON segments (camera, first);
"""

_EVENT_INDEXES = {statement.split()[2]: statement.strip() for statement in _SCHEMA_SQL.split(";")
                  if statement.strip().startswith("CREATE INDEX events_")}
_BULK = 5000

_EVENT_FIELDS = ("SELECT e.event, e.start, e.end, e.seconds, e.first_frame, e.last_frame, e.frames, e.peak_area, "
                 "e.video, e.snapshot, e.camera, e.root")
_EVENT_SELECT = _EVENT_FIELDS + ", e.key, f.path FROM events e JOIN files f ON f.id = e.file "   # a Listed's
_PLAIN_SELECT = _EVENT_FIELDS + " FROM events e "                                                  # an Event's
_EVENT_ORDER = " ORDER BY e.start{0}, e.key{0}, e.event{0}"


class _Damaged(Exception):
    """An index file that is no SQLite database, or a damaged one."""


class _Store:
    """One SQLite index, a file or in memory, for some roots. `explicit`: a file named by the
    caller, which may hold other roots too (each query keeps to its own)."""

    def __init__(self, file, roots, explicit=False, warn=None, shown=None):
        self.file, self.roots, self.explicit, self.warn = file, roots, explicit, warn
        self.shown = shown or file   # its name in messages
        self.by_key = {r.key: r for r in roots}
        self.db = None
        self.checked = {}   # kinds -> time.monotonic() of the last look at the files
        self.looks = {}     # kinds -> what _last_look read, and when
        self.writes = 0     # transactions this store began
        self.warned = set()  # (root, path, size, mtime) of the lists whose unread rows were told

    # Opening, and what is done when the file cannot serve.
    def open(self):
        if self.file is None:
            self.db = self._memory()
            return
        try:
            self.db = self._connect()
        except _Damaged as exc:
            self._replace(exc)
        except (OSError, sqlite3.OperationalError) as exc:
            self._in_memory(exc)

    @staticmethod
    def _memory():
        db = sqlite3.connect(":memory:", isolation_level=None, check_same_thread=False)
        for statement in _SCHEMA_SQL.split(";"):
            if statement.strip():
                db.execute(statement)
        return db

    def _in_memory(self, exc):
        """No index can be written here (a read-only folder, a full disk): the answers come from
        the files through an index in memory. Said only of an index asked for by name."""
        if self.explicit and self.warn is not None:
            self.warn("cannot use the index %s (%s); reading the files" % (self.shown, _reason(exc)))
        self.close()
        self.checked.clear()
        self.db = self._memory()

    def _replace(self, exc):
        """A damaged index is rebuilt from the files, with one warning line."""
        if self.explicit and not self._ours():
            raise UsageError("index", self.file, "is no index of quarrin; give another file") from None
        if self.warn is not None:
            self.warn("the index %s was damaged (%s); rebuilding it from the files" % (self.shown, _reason(exc)))
        self.close()
        self.checked.clear()
        try:
            for suffix in ("", "-wal", "-shm", "-journal"):
                try:
                    os.remove(self.file + suffix)
                except FileNotFoundError:
                    pass
            self.db = self._connect()
        except (_Damaged, OSError, sqlite3.Error) as again:
            self._in_memory(again)

    def _ours(self):
        """The file is empty, or begins as an index of ours does: it may be replaced."""
        try:
            with open(self.file, "rb") as f:
                head = f.read(72)
        except FileNotFoundError:
            return True
        except OSError:
            return False
        return not head or head[:16] == SQLITE_MAGIC and int.from_bytes(head[68:72], "big") == APPLICATION_ID

    def _connect(self):
        if self.explicit and not self._ours():
            raise UsageError("index", self.file, "is no index of quarrin; give another file")
        os.makedirs(os.path.dirname(os.path.abspath(self.file)), exist_ok=True)
        db = sqlite3.connect(self.file, timeout=BUSY_SECONDS, isolation_level=None, check_same_thread=False)
        try:
            if db.execute("PRAGMA journal_mode").fetchone()[0] != "wal":
                db.execute("PRAGMA journal_mode=WAL")
            db.execute("PRAGMA synchronous=NORMAL")
            if self._layout(db) != (APPLICATION_ID, SCHEMA):
                db.execute("BEGIN IMMEDIATE")
                try:
                    if self._layout(db) != (APPLICATION_ID, SCHEMA):   # another query may have made it
                        # Another layout (an older quarrin's): rebuilt from the files.
                        for name, in db.execute("SELECT name FROM sqlite_master WHERE type = 'table' AND "
                                                "name NOT LIKE 'sqlite_%'").fetchall():
                            db.execute('DROP TABLE "%s"' % name.replace('"', '""'))
                        for statement in _SCHEMA_SQL.split(";"):
                            if statement.strip():
                                db.execute(statement)
                        db.execute("PRAGMA application_id=%d" % APPLICATION_ID)
                        db.execute("PRAGMA user_version=%d" % SCHEMA)
                    db.execute("COMMIT")
                except BaseException:
                    _rollback(db)
                    raise
        except sqlite3.OperationalError:
            db.close()
            raise
        except sqlite3.DatabaseError as exc:
            db.close()
            raise _Damaged(exc) from exc
        return db

    @staticmethod
    def _layout(db):
        return db.execute("PRAGMA application_id").fetchone()[0], db.execute("PRAGMA user_version").fetchone()[0]

    def close(self):
        if self.db is not None:
            try:
                self.db.close()
            except sqlite3.Error:
                pass
            self.db = None

    def run(self, work):
        """`work(db)` on this index. One found damaged on the way is rebuilt, and one that cannot
        be written is left for an index in memory; then `work` runs once more."""
        try:
            return work(self.db)
        except sqlite3.OperationalError as exc:
            if self.file is None:
                raise
            self._in_memory(exc)
        except sqlite3.DatabaseError as exc:
            if type(exc) is not sqlite3.DatabaseError or self.file is None:
                raise
            self._replace(exc)
        return work(self.db)

    # Bringing the index up to date.
    def refresh(self, kinds, recheck):
        now = time.monotonic()
        last = self.checked.get(kinds)
        if recheck and last is not None and now - last < recheck:
            return
        self.run(lambda db: self._refresh(db, kinds))
        self.checked[kinds] = now
        if LIST in kinds:
            self._warn_unread()

    def _warn_unread(self):
        """One line for each event list with rows that cannot be read (they are left out), once
        for each state of the list."""
        if self.warn is None:
            return
        mine, keys = self._mine("root")
        rows = self.run(lambda db: db.execute("SELECT root, path, size, mtime, unread FROM files WHERE unread > 0 "
                                              "AND kind = %d AND %s ORDER BY root, path" % (LIST, mine),
                                              keys).fetchall())
        for root, path, size, mtime, unread in rows:
            if (root, path, size, mtime) in self.warned or root not in self.by_key:
                continue
            self.warned.add((root, path, size, mtime))
            self.warn("%s: %d row%s cannot be read as events and %s left out" % (
                self.by_key[root].path(path), unread, "" if unread == 1 else "s", "is" if unread == 1 else "are"))

    def _refresh(self, db, kinds):
        mask = sum(kinds)
        known, folders, contents = self._last_look(db, kinds)
        changed, gone, seen = [], [], {}
        for root in self.roots:
            before, folders_before = known.get(root.key, {}), folders.get(root.key, {})
            found, folders_now = root.look(kinds, folders_before, before, contents[root.key])
            changed += [(root, rel, state, before.get(rel)) for rel, state in found.items() if before.get(rel) != state]
            gone += [(root.key, rel, state) for rel, state in before.items() if rel not in found]
            if folders_now != folders_before:
                seen[root.key] = (folders_before, folders_now)
        if not changed and not gone and not seen:
            return
        read = []
        for root, rel, (kind, size, mtime, ino), base in changed:
            path = os.path.join(root.top, rel)
            try:
                if kind == LIST:
                    content = _read_list(path, size, root.top)
                else:
                    before = db.execute("SELECT f.size, s.newlines, s.first FROM files f JOIN segments s ON "
                                        "s.file = f.id WHERE f.root = ? AND f.path = ? AND f.ino = ?",
                                        (root.key, rel, ino)).fetchone()
                    content = _read_stamps(path, size, before)
            except OSError:
                size, content = -1, None   # unreadable now: tried again next time
            read.append((root, rel, (kind, size, mtime, ino), base, content))
        self._write(db, mask, read, gone, seen)

    def _last_look(self, db, kinds):
        """What the index holds of the files and folders of `kinds`: ({root: {path: (kind, size,
        mtime, inode)}}, {root: {folder: mtime}}, {root: _Root.contents}). Kept between queries
        while no one (this connection included) has written to the index since."""
        version = db.execute("PRAGMA data_version").fetchone()[0]
        kept = self.looks.get(kinds)
        if kept is not None and kept[0] == (db, version, self.writes):
            return kept[1]
        mine, keys = self._mine("root")
        known, folders = {}, {}
        for root, path, kind, size, mtime, ino in db.execute(
                "SELECT root, path, kind, size, mtime, ino FROM files WHERE kind IN (%s) AND %s"
                % (",".join(str(k) for k in kinds), mine), keys):
            known.setdefault(root, {})[path] = (kind, size, mtime, ino)
        for root, path, mtime in db.execute("SELECT root, path, mtime FROM folders WHERE kinds = ? AND " + mine,
                                            [sum(kinds)] + keys):
            folders.setdefault(root, {})[path] = mtime
        contents = {r.key: _Root.contents(known.get(r.key, {}), folders.get(r.key, {})) for r in self.roots}
        self.looks[kinds] = ((db, version, self.writes), (known, folders, contents))
        return known, folders, contents

    def _write(self, db, mask, read, gone, seen):
        """Stores what was read, in one transaction. Another query may have stored the same
        files since this one looked (`base`: what it saw then): a later state of a file is not
        replaced by this one's earlier look."""
        self.writes += 1
        db.execute("BEGIN IMMEDIATE")
        try:
            # Into an empty index (the first query), many rows go in faster with the indexes on
            # them made afterwards.
            bulk = sum(len(content or ()) for _, _, state, _, content in read if state[0] == LIST) > _BULK and \
                db.execute("SELECT NOT EXISTS (SELECT 1 FROM events)").fetchone()[0]
            if bulk:
                for name in _EVENT_INDEXES:
                    db.execute("DROP INDEX %s" % name)
            videos = set()
            for key, rel, base in gone:
                file, stored = self._stored(db, key, rel)
                if stored == base[1:]:
                    self._forget(db, key, rel, file, videos)
            for root, rel, state, base, content in read:
                file, stored = self._stored(db, root.key, rel)
                if stored != (base and base[1:]) and (stored is None or (stored[1], stored[0]) >= (state[2], state[1])):
                    continue   # stored meanwhile, from a later look (or gone since)
                if file is not None:
                    self._forget(db, root.key, rel, file, videos, keep=True)
                unread = getattr(content, "unread", 0)
                if file is None:
                    file = db.execute("INSERT INTO files (root, path, kind, size, mtime, ino, unread) "
                                      "VALUES (?, ?, ?, ?, ?, ?, ?)", (root.key, rel) + state + (unread,)).lastrowid
                else:
                    db.execute("UPDATE files SET kind = ?, size = ?, mtime = ?, ino = ?, unread = ? WHERE id = ?",
                               state + (unread, file))
                if not content:
                    continue
                if state[0] == LIST:
                    head = (root.key, file, _list_key(rel))
                    db.executemany("INSERT INTO events VALUES (%s)" % ",".join("?" * 15),
                                   [head + row for row in content])
                    videos.update((root.key, row[9]) for row in content if row[9])
                else:
                    video = video_of(rel)
                    own = camera_name(os.path.join(root.top, video))
                    db.execute("INSERT INTO segments VALUES (?, ?, ?, ?, ?, ?, ?, ?)",
                               (file, root.key, video) + content + (own, own))
                    videos.add((root.key, video))
            if bulk:
                for statement in _EVENT_INDEXES.values():
                    db.execute(statement)
            for key, (before, folders) in seen.items():
                stored = db.execute("SELECT path, mtime FROM folders WHERE root = ? AND kinds = ?", (key, mask))
                if dict(stored) != before:
                    continue   # listed by another query meanwhile
                db.execute("DELETE FROM folders WHERE root = ? AND kinds = ?", (key, mask))
                db.executemany("INSERT INTO folders VALUES (?, ?, ?, ?)",
                               [(key, mask, path, mtime) for path, mtime in folders.items()])
            # A segment's camera is that of the event list naming its video, else its own name's.
            db.executemany("UPDATE segments SET camera = coalesce((SELECT camera FROM events WHERE root = ?1 AND "
                           "video = ?2 LIMIT 1), own_camera) WHERE root = ?1 AND video = ?2", sorted(videos))
            db.execute("COMMIT")
        except BaseException:
            _rollback(db)
            raise

    @staticmethod
    def _stored(db, key, rel):
        """(id, (size, mtime, inode)) of a file as stored; (None, None) when it is not."""
        row = db.execute("SELECT id, size, mtime, ino FROM files WHERE root = ? AND path = ?", (key, rel)).fetchone()
        return (None, None) if row is None else (row[0], row[1:])

    @staticmethod
    def _forget(db, key, rel, file, videos, keep=False):
        """Removes what is stored of one file (its own row too, unless `keep`)."""
        listed = (_list_key(rel), file)   # (events_id holds the key)
        videos.update((key, v) for v, in db.execute("SELECT DISTINCT video FROM events WHERE key = ? AND file = ? "
                                                    "AND video IS NOT NULL", listed))
        db.execute("DELETE FROM events WHERE key = ? AND file = ?", listed)
        db.execute("DELETE FROM segments WHERE file = ?", (file,))
        if not keep:
            db.execute("DELETE FROM files WHERE id = ?", (file,))

    # Queries.
    def _mine(self, column):
        """The condition that keeps a query to this store's roots, and its arguments: only an
        index named by the caller may hold others."""
        if not self.explicit:
            return "1", []
        return "%s IN (%s)" % (column, ",".join("?" * len(self.roots))), [r.key for r in self.roots]

    def listed(self, row, paths=None):
        """A row of _EVENT_SELECT as a `Listed`; `paths` caches the paths shown, by stored path."""
        paths = {} if paths is None else paths
        return Listed("%016x-%d" % (row[12], row[0]), self._shown(paths, row[11], row[13]), self.event(row, paths))

    def event(self, row, paths=None):
        """A row of _EVENT_SELECT as a `quarrin.Event`."""
        paths = {} if paths is None else paths
        number, start, end, seconds, first, last, frames, peak, video, snapshot, camera, root = row[:12]
        return Event(number, _datetime(start), _datetime(end), seconds, first, last, frames, peak,
                     video and self._shown(paths, root, video), snapshot and self._shown(paths, root, snapshot),
                     camera)

    def _shown(self, paths, root, rel):
        shown = paths.get((root, rel))
        if shown is None:
            shown = paths[root, rel] = self.by_key[root].path(rel)
        return shown

    def where(self, db, camera, window):
        mine, args = self._mine("e.root")
        clauses = [mine]
        if camera is not None:
            clauses.append("e.camera = ?")
            args.append(camera)
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


def _list_key(rel):
    """The part of an event's id that names its list: a hash of the list's path under the queried
    PATH (63 bits, so that SQLite keeps it as a positive integer)."""
    digest = hashlib.blake2b(rel.encode("utf-8", "surrogateescape"), digest_size=8).digest()
    return int.from_bytes(digest, "big") >> 1


def _rollback(db):
    try:
        db.execute("ROLLBACK")
    except sqlite3.Error:
        pass


def _reason(exc):
    if isinstance(exc, _Damaged) and exc.args:
        exc = exc.args[0]
    return getattr(exc, "strerror", None) or str(exc) or type(exc).__name__


# --- the index of some folders ---------------------------------------------------------------

class Index:
    """The events and segments recorded under `paths`: folders (searched recursively) or event
    lists. Each query first brings the index up to date from the files.

    The index of a folder is ``PATH/.quarrin/index.sqlite``; with `index` (a file name) all the
    paths share that one and nothing is created under them. An event list given as a PATH, and a
    folder where no index can be written, are answered through an index in memory. `warn` gets
    the one line that says a damaged index is rebuilt (default: a RuntimeWarning). `recheck`:
    seconds during which a query trusts the previous query's look at the files (default 0:
    every query looks). An Index may be shared between threads; close it when done (or use it
    as a context manager).
    """

    def __init__(self, paths, index=None, *, warn=None, recheck=0.0):
        if isinstance(paths, (str, bytes, os.PathLike)):
            paths = [paths]
        given = []
        for path in paths:
            text = os.fsdecode(path)
            if not os.path.exists(text):
                raise UsageError("paths", text, "no such file or directory")
            given.append((text, os.path.realpath(text)))
        if not given:
            raise UsageError("paths", "", "give at least one folder or event list")
        # A PATH inside another one adds nothing to it.
        kept = [(shown, real) for i, (shown, real) in enumerate(given)
                if not any(_within(real, other) and (real != other or j < i)
                           for j, (_, other) in enumerate(given) if j != i)]
        self._warn = warn if warn is not None else _warning
        self._recheck = recheck
        self._lock = threading.RLock()
        roots = []
        for shown, real in kept:
            folder = os.path.isdir(real)
            if folder:
                roots.append(_Root("" if index is None else real, real, shown))
            else:
                roots.append(_Root(real, os.path.dirname(real), os.path.dirname(shown), os.path.basename(real)))
        if index is not None:
            self.stores = [_Store(os.fsdecode(index), roots, explicit=True, warn=self._warn)]
        else:
            self.stores = [_Store(os.path.join(r.top, INDEX_FOLDER, INDEX_NAME), [r], warn=self._warn,
                                  shown=os.path.join(r.shown, INDEX_FOLDER, INDEX_NAME))
                           for r in roots if r.only is None]
            lists = [r for r in roots if r.only is not None]
            if lists:
                self.stores.append(_Store(None, lists, warn=self._warn))
        try:
            for store in self.stores:
                store.open()
        except BaseException:
            self.close()
            raise

    def close(self):
        with self._lock:
            for store in self.stores:
                store.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def _refresh(self, kinds):
        for store in self.stores:
            store.refresh(kinds, self._recheck)

    def events(self, camera=None, since=None, until=None, *, limit=None, offset=0, newest_first=False):
        """The events (`Listed`) of `camera` (None: all) that overlap the window from `since` to
        `until` (see `time_window`), oldest first (`newest_first`: newest first), the first
        `offset` skipped and at most `limit` kept."""
        return self._find(camera, since, until, limit, offset, newest_first, _Store.listed)

    def plain_events(self, camera=None, since=None, until=None, latest=None):
        """The `quarrin.Event`s of `events` (quicker: no ids), oldest first; `latest`: only that
        many of the most recent."""
        if latest is None:
            return self._find(camera, since, until, None, 0, False, _Store.event)
        return self._find(camera, since, until, latest, 0, True, _Store.event)[::-1]

    def _find(self, camera, since, until, limit, offset, newest_first, make):
        window, limit, offset = query_arguments(since, until, limit, offset)
        single = len(self.stores) == 1
        # Each of several indexes gives its first offset + limit; the merge cuts the page.
        page = (" LIMIT %d OFFSET %d" % (-1 if limit is None else limit, offset) if single else
                "" if limit is None else " LIMIT %d" % (limit + offset))
        head = _EVENT_SELECT if make is _Store.listed else _PLAIN_SELECT
        order = _EVENT_ORDER.format(" DESC" if newest_first else "")
        found = []
        with self._lock:
            self._refresh((LIST,))
            for store in self.stores:
                def select(db):
                    where, args = store.where(db, camera, window)
                    return db.execute(head + where + order + page, args).fetchall()
                paths = {}
                found.append([make(store, row, paths) for row in store.run(select)])
        if single:
            return found[0]
        if make is _Store.listed:
            merged = heapq.merge(*found, key=lambda x: (x.event.start, x.id[:16], x.event.event), reverse=newest_first)
        else:
            merged = heapq.merge(*found, key=lambda e: e.start, reverse=newest_first)
        return list(merged)[offset:None if limit is None else offset + limit]

    def count(self, camera=None, since=None, until=None):
        """How many events `events` finds with the same filters."""
        window = time_window(since, until)
        total = 0
        with self._lock:
            self._refresh((LIST,))
            for store in self.stores:
                def count(db):
                    where, args = store.where(db, camera, window)
                    return db.execute("SELECT count(*) FROM events e" + where, args).fetchone()[0]
                total += store.run(count)
        return total

    def event(self, id):
        """The event (`Listed`) of that id, or None."""
        key, _, number = str(id).partition("-")
        if len(key) != 16 or not number.isdigit() or any(c not in "0123456789abcdef" for c in key):
            return None
        with self._lock:
            self._refresh((LIST,))
            for store in self.stores:
                mine, args = store._mine("e.root")
                row = store.run(lambda db: db.execute(
                    _EVENT_SELECT + "WHERE e.key = ? AND e.event = ? AND " + mine + " LIMIT 1",
                    [int(key, 16), int(number)] + args).fetchone())
                if row is not None:
                    return store.listed(row)
        return None

    def recordings(self, camera=None, since=None, until=None):
        """The segments (`quarrin.Segment`, with their `camera`) of `camera` (None: all) that
        hold a frame in the window, oldest first."""
        start, stop = time_window(since, until)
        found = []
        with self._lock:
            self._refresh((LIST, STAMPS))
            for store in self.stores:
                mine, args = store._mine("s.root")
                clauses = [mine, "s.newlines > 1", "s.first IS NOT NULL"]
                for clause, value in (("s.camera = ?", camera), ("s.last >= ?", start), ("s.first < ?", stop)):
                    if value is not None:
                        clauses.append(clause)
                        args.append(value)
                rows = store.run(lambda db: db.execute(
                    "SELECT s.video, f.path, s.newlines, s.first, s.last, s.camera, s.root FROM segments s "
                    "JOIN files f ON f.id = s.file WHERE %s ORDER BY s.first, f.path" % " AND ".join(clauses),
                    args).fetchall())
                found.append([Segment(store.by_key[root].path(video), store.by_key[root].path(csv_path),
                                      newlines - 1, _datetime(first), _datetime(last), camera=name)
                              for video, csv_path, newlines, first, last, name, root in rows])
        return found[0] if len(found) == 1 else list(heapq.merge(*found, key=lambda s: s.first))

    def cameras(self):
        """Every camera with events or segments, by name (`Camera`)."""
        newest, frames = {}, {}
        with self._lock:
            self._refresh((LIST, STAMPS))
            for store in self.stores:
                mine, args = store._mine("root")
                names = store.run(lambda db: [name for name, in db.execute(_DISTINCT_CAMERAS)])
                for name in names:
                    row = store.run(lambda db: db.execute(
                        _EVENT_SELECT + "WHERE e.camera = ? AND " + mine.replace("root", "e.root") +
                        _EVENT_ORDER.format(" DESC") + " LIMIT 1", [name] + args).fetchone())
                    last = store.run(lambda db: db.execute(
                        "SELECT max(last) FROM segments WHERE camera = ? AND newlines > 1 AND " + mine,
                        [name] + args).fetchone()[0])
                    if row is not None:
                        listed = store.listed(row)
                        if name not in newest or listed.event.start > newest[name].event.start:
                            newest[name] = listed
                    if last is not None:
                        frames[name] = max(frames.get(name, last), last)
        return [Camera(name, newest.get(name), _datetime(frames[name]) if name in frames else None)
                for name in sorted(set(newest) | set(frames))]


# The names of the cameras, from the indexes on them: one look-up per name.
_DISTINCT_CAMERAS = """
WITH RECURSIVE
  e(name) AS (SELECT min(camera) FROM events
              UNION ALL SELECT (SELECT min(camera) FROM events WHERE camera > e.name) FROM e WHERE e.name IS NOT NULL),
  s(name) AS (SELECT min(camera) FROM segments
              UNION ALL SELECT (SELECT min(camera) FROM segments WHERE camera > s.name) FROM s WHERE s.name IS NOT NULL)
SELECT name FROM e WHERE name IS NOT NULL UNION SELECT name FROM s WHERE name IS NOT NULL
"""


def _paging(limit, offset):
    if limit is not None:
        text = str(limit).strip()
        if isinstance(limit, bool) or not (text.isascii() and text.isdigit()) or int(text) < 1:
            raise UsageError("limit", limit, "must be a whole number, 1 or more")
        limit = min(int(text), _MOST)
    if isinstance(offset, bool) or not isinstance(offset, int) or offset < 0:
        raise UsageError("offset", offset, "must be a whole number, 0 or more")
    return limit, min(offset, _MOST)


def _within(path, folder):
    return path == folder or path.startswith(folder.rstrip(os.sep) + os.sep)


def _warning(message):
    import warnings

    warnings.warn(message, RuntimeWarning, stacklevel=4)
