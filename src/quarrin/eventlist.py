"""Event lists: a recording's `<output>.events.csv`, written as events end, and the report of a
scan (CSV, or JSON by extension)."""
import contextlib
import csv
import json
import os

from quarrin.layout import open_new
from quarrin.listeners import Listener
from quarrin.results import EVENT_COLUMNS, RECORDED_COLUMNS


class EventList(Listener):
    """The event list of one recording, one row per event as it ends (flushed with it): a listener
    of the recording. The file is created with the first event, or at the end of a recording
    that finished (finish()), under `lock` (the disk budget's, which then knows it as the list
    being written). Each event's `file` is written relative to the list's folder. `path` may be a
    callable that gives it as the list is created."""

    def __init__(self, path, lock=None):
        self.wanted, self.path, self.file, self.writer = path, None, None, None
        self.lock = lock if lock is not None else contextlib.nullcontext()
        self.finished = False

    def describe(self):
        return "the event list %s" % (self.path or self._wanted())

    def _wanted(self):
        return self.wanted() if callable(self.wanted) else self.wanted

    def _open(self):
        wanted = self._wanted()
        os.makedirs(os.path.dirname(os.path.abspath(wanted)), exist_ok=True)
        with self.lock:
            self.file, self.path = open_new(wanted)
        self.writer = csv.DictWriter(self.file, EVENT_COLUMNS)
        self.writer.writeheader()

    def opened_path(self):
        """The list's path, the file created now if it was not yet."""
        if self.file is None:
            self._open()
        return self.path

    def on_event(self, event):
        self.add(event)

    def add(self, event):
        if self.file is None:
            self._open()
        row = event.row()
        folder = os.path.dirname(os.path.abspath(self.path))
        for column in ("file", "snapshot"):
            if row[column]:
                row[column] = os.path.relpath(os.path.abspath(row[column]), folder)
        self.writer.writerow(row)
        self.file.flush()

    def finish(self):
        """The recording has finished: even without events it leaves its (empty) list, made
        when the list is closed."""
        self.finished = True

    def close(self):
        if self.file is None and self.finished:
            self._open()
        if self.file is not None:
            self.file.close()


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
