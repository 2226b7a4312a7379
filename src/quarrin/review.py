"""What a person has done with the events of a folder: which were looked at (`reviewed`) and which
are to be kept from the disk budget (`kept`), in an SQLite file of its own beside the index,
``PATH/.quarrin/review.sqlite``. The index is rebuilt from the files whenever it must be; this file
is not, so the marks outlive it.

A mark is keyed as an event's id is made (the index's root key, the hash of the list's path under
PATH, the event's number) and holds the event's start too: an event list made anew under the same
name, whose events are other ones, does not inherit the marks. It also holds, relative to PATH,
the event's list, video and picture and its span, which the disk budget reads without an index.

The file is opened in WAL mode with a busy timeout; each change is one short transaction. A file
that cannot be opened, or is no review file, is an error (`ReviewError`): never replaced, never
reset, since what it holds cannot be made again from the files.
"""
import datetime
import os
import sqlite3
import urllib.parse

from quarrin.layout import INDEX_FOLDER

REVIEW_NAME = "review.sqlite"
SCHEMA = 1
APPLICATION_ID = 0x71726E72     # PRAGMA application_id: marks the file as a review file
BUSY_SECONDS = 30.0

_SCHEMA_SQL = """
CREATE TABLE marks (root TEXT NOT NULL, key INTEGER NOT NULL, event INTEGER NOT NULL, start TEXT NOT NULL,
                    end TEXT NOT NULL, list TEXT NOT NULL, video TEXT, snapshot TEXT, camera TEXT NOT NULL,
                    reviewed TEXT, kept TEXT, PRIMARY KEY (root, key, event));
CREATE INDEX marks_kept ON marks (kept) WHERE kept IS NOT NULL;
"""
# The condition a query of the index joins the marks by (the file attached as `review`).
JOIN = (" LEFT JOIN review.marks r ON r.root = e.root AND r.key = e.key AND r.event = e.event "
        "AND r.start = e.start")


class ReviewError(RuntimeError):
    """The review file cannot be opened, read or written: its path and why."""

    def __init__(self, path, reason):
        super().__init__("the review file %s %s" % (path, reason))
        self.path, self.reason = path, reason


def review_path(index_file):
    """The review file kept beside an index file."""
    return os.path.join(os.path.dirname(os.path.abspath(index_file)), REVIEW_NAME)


def attach_uri(path):
    """The URI that attaches a review file to an index's connection, read-only (so that the
    index's own transactions never lock it)."""
    return "file:%s?mode=ro" % urllib.parse.quote(os.path.abspath(path))


def find(folder):
    """The review file of the folder holding `folder`: in `folder` or the first of its parents
    that has an index folder (None when none has, or that one holds no review file)."""
    here = os.path.abspath(folder)
    while True:
        if os.path.isdir(os.path.join(here, INDEX_FOLDER)):
            path = os.path.join(here, INDEX_FOLDER, REVIEW_NAME)
            return path if os.path.isfile(path) else None
        parent = os.path.dirname(here)
        if parent == here:
            return None
        here = parent


class Review:
    """One review file, opened (made when `create` and it is missing). Blocking; may be shared
    between threads (each call is one transaction)."""

    def __init__(self, path, create=True):
        self.path = path
        if not create and not os.path.isfile(path):
            raise ReviewError(path, "does not exist")
        try:
            if create:
                os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
            self.db = sqlite3.connect(path, timeout=BUSY_SECONDS, isolation_level=None, check_same_thread=False)
        except (OSError, sqlite3.Error) as exc:
            raise ReviewError(path, "cannot be opened: %s" % _reason(exc)) from None
        try:
            self._check(create)
        except BaseException:
            self.db.close()
            raise

    def _check(self, create):
        db = self.db
        try:
            layout = db.execute("PRAGMA application_id").fetchone()[0], db.execute("PRAGMA user_version").fetchone()[0]
            empty = layout == (0, 0) and not db.execute("SELECT count(*) FROM sqlite_master").fetchone()[0]
            if layout != (APPLICATION_ID, SCHEMA) and (not empty or not create):
                raise ReviewError(self.path, "is no review file of this version (left as it is; move it away "
                                             "to start afresh)")
            # Only a file of ours (or a new one) is changed, to WAL.
            if create and db.execute("PRAGMA journal_mode").fetchone()[0] != "wal":
                db.execute("PRAGMA journal_mode=WAL")
            if layout == (APPLICATION_ID, SCHEMA):
                return
            db.execute("BEGIN IMMEDIATE")
            try:
                if db.execute("PRAGMA user_version").fetchone()[0] != SCHEMA:   # another one may have made it
                    for statement in _SCHEMA_SQL.split(";"):
                        if statement.strip():
                            db.execute(statement)
                    db.execute("PRAGMA application_id=%d" % APPLICATION_ID)
                    db.execute("PRAGMA user_version=%d" % SCHEMA)
                db.execute("COMMIT")
            except BaseException:
                _rollback(db)
                raise
        except sqlite3.DatabaseError as exc:
            raise ReviewError(self.path, "cannot be read: %s" % _reason(exc)) from None

    def changes(self):
        """How many rows this connection changed so far (its own changes, which its file's
        data_version does not count)."""
        return self.db.total_changes

    def close(self):
        self.db.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def set(self, marks, flag, on=True):
        """Sets (`on`) or clears the `flag` ("reviewed" or "kept") of the events `marks`: tuples
        (root, key, event, start, end, list, video, snapshot, camera); returns how many changed."""
        if flag not in ("reviewed", "kept"):
            raise ValueError(flag)
        now = datetime.datetime.now().isoformat(timespec="seconds") if on else None
        marks = list(marks)
        try:
            self.db.execute("BEGIN IMMEDIATE")
            try:
                before = self.db.total_changes
                # A mark of another event of the same id (a list made anew) is replaced.
                self.db.executemany(
                    "DELETE FROM marks WHERE root = ? AND key = ? AND event = ? AND start != ?",
                    [m[:4] for m in marks])
                self.db.executemany(
                    "INSERT INTO marks (root, key, event, start, end, list, video, snapshot, camera, %s) "
                    "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?) ON CONFLICT (root, key, event) DO UPDATE SET "
                    "%s = excluded.%s, list = excluded.list, video = excluded.video, snapshot = excluded.snapshot "
                    "WHERE (%s IS NULL) != (excluded.%s IS NULL)" % ((flag,) * 5),
                    [tuple(m) + (now,) for m in marks])
                changed = self.db.total_changes - before
                self.db.execute("DELETE FROM marks WHERE reviewed IS NULL AND kept IS NULL")
                self.db.execute("COMMIT")
            except BaseException:
                _rollback(self.db)
                raise
        except sqlite3.Error as exc:
            raise ReviewError(self.path, "cannot be written: %s" % _reason(exc)) from None
        return changed

    def kept(self, root=""):
        """The kept events of `root`: (list, video, snapshot, start, end, camera), paths relative
        to its folder."""
        try:
            return self.db.execute("SELECT list, video, snapshot, start, end, camera FROM marks "
                                   "WHERE kept IS NOT NULL AND root = ?", (root,)).fetchall()
        except sqlite3.Error as exc:
            raise ReviewError(self.path, "cannot be read: %s" % _reason(exc)) from None


def _rollback(db):
    try:
        db.execute("ROLLBACK")
    except sqlite3.Error:
        pass


def _reason(exc):
    return getattr(exc, "strerror", None) or str(exc) or type(exc).__name__
