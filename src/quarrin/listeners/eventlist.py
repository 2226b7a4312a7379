"""Event lists: a recording's `<output>.events.csv`, written as events end, and the report of a
scan (CSV, or JSON by extension)."""
import contextlib
import csv
import io
import json
import os

from quarrin import layout, stamps
from quarrin.layout import EVENTS_SUFFIX, csv_of, open_new
from quarrin.listeners import Listener
from quarrin.results import EVENT_COLUMNS, RECORDED_COLUMNS, Event
from quarrin.stamps import local_time


# A deleted event's row keeps its fields, its number marked: deleted:3. Readers leave it out.
DELETED_MARK = "deleted:"


class EventList(Listener):
    """The event list of one recording, one row per event as it ends (flushed with it): a listener
    of the recording. The file is created with the first event, or at the end of a recording
    that finished (finish()), under `lock` (the disk budget's, which then knows it as the list
    being written). Each event's `file` is written relative to the list's folder. `path` may be a
    callable that gives it as the list is created.

    While an event is open, what is known of it waits beside the list in `<list>.open` (JSON,
    locked while the recording runs), with `output`, the recording's OUTPUT: a recording that
    dies leaves it, and `complete_open` lists the event from the frames on disk."""

    def __init__(self, path, lock=None, output=None):
        self.wanted, self.path, self.file, self.writer = path, None, None, None
        self.lock = lock if lock is not None else contextlib.nullcontext()
        self.finished = False
        self.output = output
        self.pending = None   # the open event's file descriptor, locked

    def describe(self):
        return "the event list %s" % (self.path or self._wanted())

    def _wanted(self):
        return self.wanted() if callable(self.wanted) else self.wanted

    def _open(self):
        wanted = self._wanted()
        os.makedirs(os.path.dirname(os.path.abspath(wanted)), exist_ok=True)
        with self.lock:
            self.file, self.path = open_new(wanted)
        # Held while the recording writes it: an event is not deleted from under it (delete_row).
        _lock(self.file.fileno(), blocking=True, shared=True)
        self.writer = csv.DictWriter(self.file, EVENT_COLUMNS)
        self.writer.writeheader()

    def opened_path(self):
        """The list's path, the file created now if it was not yet."""
        if self.file is None:
            self._open()
        return self.path

    def on_event_start(self, event):
        self._pending(event)

    def on_event(self, event):
        self.add(event)
        self._settled()

    def add(self, event):
        if self.file is None:
            self._open()
        self.writer.writerow(_listed_row(event, self.path))
        self.file.flush()

    def _pending(self, event):
        """The open event beside the list, for the repair of a recording that dies."""
        self._settled()
        path = layout.open_event_path(self.opened_path())
        fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o666)
        try:
            _lock(fd, blocking=True)
            data = {"event": event.event, "start": event.start.isoformat(), "first_frame": event.first_frame,
                    "peak_area": event.peak_area, "file": os.path.abspath(event.file) if event.file else None,
                    "camera": event.camera, "output": os.path.abspath(self.output) if self.output else None,
                    "label": event.label, "score": event.score, "zones": list(event.zones)}
            os.write(fd, (json.dumps(data) + "\n").encode())
        except BaseException:
            os.close(fd)
            raise
        self.pending = fd

    def _settled(self):
        """The open event is listed (or the recording ends): its file goes."""
        if self.pending is None:
            return
        fd, self.pending = self.pending, None
        try:
            os.unlink(layout.open_event_path(self.path))
        except FileNotFoundError:
            pass
        finally:
            os.close(fd)

    def finish(self):
        """The recording has finished: even without events it leaves its (empty) list, made
        when the list is closed."""
        self.finished = True

    def close(self):
        if self.pending is not None:   # an event the recording never ended: left for the repair
            os.close(self.pending)
            self.pending = None
        if self.file is None and self.finished:
            self._open()
        if self.file is not None:
            self.file.close()


def read_list(path, size=None, deleted=False):
    """(columns, rows) of the event list at `path` (its first `size` bytes; None: all of it): its
    header and its rows as lists of fields, a line still being written at the end left out, and
    the rows of deleted events too only with `deleted`; None when it is no event list (its header
    does not begin event,start,end). OSError when it cannot be read."""
    with open(path, "rb") as f:
        data = f.read() if size is None else f.read(size)
    data = data[:data.rfind(b"\n") + 1]
    reader = csv.reader(io.StringIO(data.decode("utf-8", "replace"), newline=""))
    try:
        header = next(reader, None)
        if not header or header[:3] != list(EVENT_COLUMNS[:3]):
            return None
        rows = list(reader)
    except csv.Error:
        return None
    return header, rows if deleted else [row for row in rows if not (row and row[0].startswith(DELETED_MARK))]


def _listed_row(event, listing):
    """An event's row in the list at `listing`: its file and picture relative to the list's folder."""
    row = event.row()
    folder = os.path.dirname(os.path.abspath(listing))
    for column in ("file", "snapshot"):
        if row[column]:
            row[column] = os.path.relpath(os.path.abspath(row[column]), folder)
    return row


# ---- events a recording left open ---------------------------------------------------------------

OPEN_SUFFIX = layout.OPEN_SUFFIX


def _lock(fd, blocking, shared=False):
    """An exclusive (or `shared`) lock on `fd`, held while the recording that writes it runs;
    False when another process holds it (not blocking)."""
    try:
        import fcntl
    except ImportError:   # no locks here: whoever finds the file takes it as left
        return True
    try:
        fcntl.flock(fd, (fcntl.LOCK_SH if shared else fcntl.LOCK_EX) | (0 if blocking else fcntl.LOCK_NB))
    except BlockingIOError:
        return False
    return True


def open_events(paths):
    """The open events (`<list>.open`) under `paths` (folders, recursively, and the lists or files given)."""
    found = []
    for path in paths:
        path = os.fspath(path)
        if os.path.isdir(path):
            for folder, _, names in os.walk(path):
                found.extend(os.path.join(folder, n) for n in sorted(names) if n.endswith(EVENTS_SUFFIX + OPEN_SUFFIX))
        elif layout.list_of_open(path) and os.path.isfile(path):
            found.append(path)
        elif os.path.isfile(layout.open_event_path(path)):
            found.append(layout.open_event_path(path))
    return sorted(set(found))


def open_events_of(output):
    """The open events of the recordings into `output` (its event lists' `.open` files)."""
    try:
        pattern = layout.Pattern(output)
    except layout.Unfollowable:
        return open_events([layout.events_path(layout.expand(output))])
    found = []
    for folder, _, names in os.walk(pattern.folder):
        for name in names:
            listing = layout.list_of_open(os.path.join(folder, name))
            if listing and pattern.is_list(listing):
                found.append(os.path.join(folder, name))
    return sorted(found)


def last_number(output):
    """The highest event number the recordings into `output` have used: in their newest event list
    (by time of change) and in the open events they left; 0 when there is none. A recording that
    starts again into the same output numbers its events on from there, so that no number told
    to others (a command, a broker, a notification) stands for two events."""
    try:
        pattern = layout.Pattern(output)
    except layout.Unfollowable:
        lists = [layout.events_path(layout.expand(output))]
        while os.path.exists(layout.numbered(lists[0], len(lists))):   # as open_new numbers them
            lists.append(layout.numbered(lists[0], len(lists)))
        opened = [layout.open_event_path(p) for p in lists]
    else:
        lists, opened = [], []
        for folder, _, names in os.walk(pattern.folder):
            for name in names:
                path = os.path.join(folder, name)
                if pattern.is_list(path):
                    lists.append(path)
                elif pattern.is_list(layout.list_of_open(path) or ""):
                    opened.append(path)
    found = [n for n in map(pending_number, opened) if n is not None]
    dated = []
    for path in lists:
        try:
            dated.append((os.stat(path).st_mtime_ns, path))
        except OSError:
            pass
    for _, path in sorted(dated, reverse=True)[:2]:   # the newest, and the one before for a tie
        try:
            listed = read_list(path)
        except OSError:
            continue
        if listed is not None:
            found += [int(row[0]) for row in listed[1] if row and row[0].isdigit()]
    return max(found, default=0)


def left_open(path):
    """Whether the open event at `path` was left by a recording that no longer runs."""
    try:
        fd = os.open(path, os.O_RDONLY)
    except OSError:
        return False
    try:
        return _lock(fd, blocking=False)
    finally:
        os.close(fd)


def pending_number(path):
    """The number of the event an open event's file holds (None when it cannot be read)."""
    try:
        with open(path, encoding="utf-8") as f:
            return int(json.load(f)["event"])
    except (OSError, ValueError, KeyError, TypeError):
        return None


def complete_open(path):
    """Lists the event that `path` (`<list>.open`) holds, its end at the last of its frames on
    disk, and removes `path`: the quarrin.Event listed, or None when its recording still runs (or
    the list holds it already). ValueError when the file cannot be read."""
    fd = os.open(path, os.O_RDWR)
    try:
        if not _lock(fd, blocking=False):
            return None
        with os.fdopen(os.dup(fd), "rb") as f:
            text = f.read()
        try:
            data = json.loads(text)
            number, start = int(data["event"]), local_time(data["start"])
            first_frame = int(data["first_frame"])
        except (ValueError, KeyError, TypeError) as exc:
            raise ValueError("%s cannot be read (%s)" % (path, exc)) from None
        listing = layout.list_of_open(path)
        if number in _listed_numbers(listing):
            os.unlink(path)
            return None
        end, last, frames = _on_disk(data.get("file"), data.get("output"), first_frame, start)
        event = Event(number, start, end, (end - start).total_seconds(), first_frame, last, frames,
                      float(data.get("peak_area") or 0), data.get("file"), None, data.get("camera"),
                      **_found_of(data))
        _append(listing, event)
        os.unlink(path)
        return event
    finally:
        os.close(fd)


def _found_of(data):
    """The label, score and zones an open event's file holds, as confirmed when the event began
    (none in a file of an older recorder; what cannot be read is left out)."""
    found = {}
    if isinstance(data.get("label"), str):
        found["label"] = data["label"]
    score = data.get("score")
    if isinstance(score, (int, float)) and not isinstance(score, bool) and 0 <= score <= 1:
        found["score"] = float(score)
    zones = data.get("zones")
    if isinstance(zones, list) and all(isinstance(z, str) for z in zones):
        found["zones"] = tuple(zones)
    return found


def _listed_numbers(listing):
    try:
        listed = read_list(listing, deleted=True)
    except OSError:
        return set()
    if listed is None:
        return set()
    numbers = (row[0][len(DELETED_MARK):] if row and row[0].startswith(DELETED_MARK) else row and row[0]
               for row in listed[1])
    return {int(n) for n in numbers if n and n.strip().isdigit()}


def _append(listing, event):
    """The event's row at the end of the list (created with its header if it is gone), in the
    list's own columns; after a line the recording was cut off in, on a line of its own."""
    try:
        with open(listing, "rb") as f:
            columns = next(csv.reader(io.StringIO(f.readline().decode("utf-8", "replace"))), None)
            last = b""
            if f.seek(0, os.SEEK_END):
                f.seek(-1, os.SEEK_END)
                last = f.read(1)
        cut = last not in (b"", b"\n", b"\r")
    except FileNotFoundError:
        columns, cut = None, False
    with open(listing, "a", newline="", encoding="utf-8") as f:
        _lock(f.fileno(), blocking=True, shared=True)
        if cut:
            f.write("\r\n")
        if not columns:
            columns = list(EVENT_COLUMNS)
            csv.writer(f).writerow(columns)
        row = _listed_row(event, listing)
        csv.DictWriter(f, columns, extrasaction="ignore").writerow(row)


def _rows(video):
    """The (inframe, time) of a timestamps CSV's rows, up to the first that is not one."""
    found = []
    for line in stamps.lines(csv_of(video)):
        if not line.formed:
            break
        try:
            found.append((line.inframe, local_time(line.timestamp)))
        except (ValueError, OverflowError):
            break
    return found


def _on_disk(video, output, first_frame, start):
    """(end, last_frame, frames) of an event from `first_frame` on, in `video` and the segments of
    the same recording after it (other videos of `output`, in time, while their input frames go on
    from the last one's)."""
    segments = [_rows(video)] if video else []
    if video and output:
        try:
            pattern = layout.Pattern(output)
        except layout.Unfollowable:
            pattern = None
        if pattern is not None:
            later = []
            for folder, _, names in os.walk(pattern.folder):
                for name in names:
                    path = os.path.join(folder, name)
                    if path != os.path.abspath(video) and pattern.is_video(path):
                        rows = _rows(path)
                        if rows and rows[0][1] >= start:
                            later.append((rows[0][1], path, rows))
            segments += [rows for _, _, rows in sorted(later, key=lambda x: x[:2])]
    end, last, frames, previous = start, first_frame, 0, None
    for number, rows in enumerate(segments):
        if number and (previous is None or rows[0][0] <= previous):
            break   # another recording's (its input frames start again)
        for inframe, moment in rows:
            if inframe >= first_frame:
                end, last, frames = moment, inframe, frames + 1
        if rows:
            previous = rows[-1][0]
    return end, last, frames


# A scan's report: the event columns, with its input first and its outcome after them; the
# columns events gained later (the picture, the camera) come last, where older readers look for none.
SCAN_COLUMNS = ("input",) + RECORDED_COLUMNS + ("status", "error", "warning") + EVENT_COLUMNS[len(RECORDED_COLUMNS):]


def write_report(path, items):
    """The events of a scan: one row per event, its input first (CSV, or JSON by extension). An
    input that failed or was stopped, or that warns (it ended before the frames it declares), and
    has no event gets a row of its own with the event's columns empty: it never passes for an input
    without motion. Returns the path written (numbered when `path` exists)."""
    rows = []
    for item in items:
        r = item.result
        outcome = {"status": item.status, "error": item.error, "warning": r.warning if r else None}
        found = r.events if r else ()
        rows.extend(dict({"input": item.input}, **event.row(), **outcome) for event in found)
        if not found and (item.status != "ok" or outcome["warning"]):
            rows.append(dict(dict.fromkeys(SCAN_COLUMNS), input=item.input, **outcome))
    f, written = open_new(path)
    with f:
        if written.lower().endswith(".json"):
            json.dump(rows, f, indent=2)
            f.write("\n")
        else:
            writer = csv.DictWriter(f, SCAN_COLUMNS)
            writer.writeheader()
            writer.writerows({k: "" if v is None else v for k, v in row.items()} for row in rows)
    return written


# ---- deleting an event --------------------------------------------------------------------------

class ListBusy(Exception):
    """The event list is being written by a running recording (or cannot be changed now)."""


def delete_row(path, number, start):
    """Marks the row of event `number` beginning at `start` (a naive local datetime) deleted in the
    list at `path`: its number becomes ``deleted:N``, every other byte of the list stays as it
    was. The list is written anew beside itself and renamed over it (its mode kept), under an
    exclusive lock that a recording writing it holds shared: ListBusy then. Returns the row (its
    fields, as they were), or None when no such row is listed; OSError when it cannot be done."""
    fd = os.open(path, os.O_RDONLY)
    try:
        if not _lock(fd, blocking=False):
            raise ListBusy("%s is being written by a recording that runs" % path)
        with os.fdopen(os.dup(fd), "rb") as f:
            data = f.read()
        lines = data.splitlines(keepends=True)
        text = [line.decode("utf-8", "surrogateescape") for line in lines]
        taken = [0]

        def feed():
            for line in text:
                taken[0] += 1
                yield line
        reader = csv.reader(feed())
        found = None
        try:
            header = next(reader, None)
            if not header or header[:3] != list(EVENT_COLUMNS[:3]):
                return None
            begin = taken[0]
            for row in reader:
                first, begin = begin, taken[0]
                if not row or row[0].strip() != str(number) or len(row) < 2:
                    continue
                try:
                    if local_time(row[1].strip()) != start:
                        continue
                except (ValueError, OverflowError):
                    continue
                found = (first, begin, row)
                break
        except csv.Error:
            return None
        if found is None:
            return None
        first, last, row = found
        if not lines[last - 1].endswith(b"\n"):
            raise ListBusy("%s: the row of event %s is still being written" % (path, number))
        ending = "\r\n" if lines[last - 1].endswith(b"\r\n") else "\n"
        out = io.StringIO()
        csv.writer(out, lineterminator=ending).writerow([DELETED_MARK + row[0].strip()] + row[1:])
        changed = b"".join(lines[:first]) + out.getvalue().encode("utf-8", "surrogateescape") + b"".join(lines[last:])
        mode = os.fstat(fd).st_mode & 0o7777
        folder, name = os.path.split(os.path.abspath(path))
        import tempfile

        temp_fd, temp = tempfile.mkstemp(prefix="." + name + ".", suffix=".tmp", dir=folder)
        try:
            with os.fdopen(temp_fd, "wb") as f:
                f.write(changed)
                f.flush()
                os.fchmod(f.fileno(), mode)
                os.fsync(f.fileno())
            os.replace(temp, path)
        except BaseException:
            with contextlib.suppress(OSError):
                os.remove(temp)
            raise
        return row
    finally:
        os.close(fd)

