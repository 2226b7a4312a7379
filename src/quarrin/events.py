"""Event lists: a recording's `<output>.events.csv`, written as events end, and the report of a
scan (CSV, or JSON by extension)."""
import contextlib
import csv
import json
import os

from quarrin.results import EVENT_COLUMNS


def claim(path):
    """Opens `path` for writing, or a numbered name beside it when it exists (report.csv,
    report_001.csv, ...): an earlier list is never overwritten. Returns (file, path)."""
    root, ext = os.path.splitext(path)
    candidate, number = path, 0
    while True:
        try:
            return open(candidate, "x", newline=""), candidate
        except FileExistsError:
            number += 1
            candidate = "%s_%03d%s" % (root, number, ext)


class EventList:
    """The event list of one recording, one row per event as it ends (flushed with it). The file
    is created with the first event, or by finish(), under `lock` (the disk budget's, which then
    knows it as the list being written). Each event's `file` is written relative to the list's
    folder."""

    def __init__(self, path, lock=None):
        self.wanted, self.path, self.file, self.writer = path, None, None, None
        self.lock = lock if lock is not None else contextlib.nullcontext()

    def _open(self):
        with self.lock:
            self.file, self.path = claim(self.wanted)
        self.writer = csv.DictWriter(self.file, EVENT_COLUMNS)
        self.writer.writeheader()

    def add(self, event):
        if self.file is None:
            self._open()
        row = event.row()
        if event.file:
            row["file"] = os.path.relpath(os.path.abspath(event.file), os.path.dirname(os.path.abspath(self.path)))
        self.writer.writerow(row)
        self.file.flush()

    def finish(self):
        """A recording without events still leaves its (empty) list."""
        if self.file is None:
            self._open()

    def close(self):
        if self.file is not None:
            self.file.close()


def write_report(path, items):
    """The events of a scan: one row per event, its input first (CSV, or JSON by extension).
    Returns the path written (numbered when `path` exists)."""
    rows = [dict({"input": item.input}, **event.row()) for item in items for event in item.events]
    f, written = claim(path)
    with f:
        if written.lower().endswith(".json"):
            json.dump(rows, f, indent=2)
            f.write("\n")
        else:
            writer = csv.DictWriter(f, ("input",) + EVENT_COLUMNS)
            writer.writeheader()
            writer.writerows(rows)
    return written
