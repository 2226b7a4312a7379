"""The SQLite index of some roots, a file or in memory: opened, checked as ours, rebuilt when
damaged or of another layout, replaced by one in memory where none can be written (`_Connection`),
and brought up to date from the files in one transaction per refresh (`_Store`)."""
import hashlib
import os
import sqlite3
import time

from quarrin.errors import UsageError
from quarrin.index.queries import Answers
from quarrin.index.scan import _Root, _read_list, _read_stamps
from quarrin.layout import LIST, camera_name, video_of

SCHEMA = 4                      # PRAGMA user_version: another layout is rebuilt
APPLICATION_ID = 0x71726E69     # PRAGMA application_id: marks the file as this index
BUSY_SECONDS = 60.0             # how long a refresh waits for another one's transaction
SQLITE_MAGIC = b"SQLite format 3\x00"

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
                     camera TEXT NOT NULL, label TEXT NOT NULL, score REAL, zones TEXT NOT NULL);
CREATE INDEX events_start ON events (start, key, event);
CREATE INDEX events_camera ON events (camera, start, key, event);
CREATE INDEX events_label ON events (label, start, key, event);
CREATE INDEX events_id ON events (key, event, start, root);
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


class _Damaged(Exception):
    """An index file that is no SQLite database, or a damaged one."""


class _Connection:
    """One SQLite index, a file or in memory, for some roots. `explicit`: a file named by the
    caller, which may hold other roots too (each query keeps to its own)."""

    def __init__(self, file, roots, explicit=False, warn=None, shown=None, review=False):
        self.file, self.roots, self.explicit, self.warn = file, roots, explicit, warn
        # The review file beside the index (quarrin.review), when asked for: its `Review` to write
        # marks, attached read-only to the index's connection for the queries to join.
        self.review_wanted, self.review, self.review_error, self.review_attached = review, None, None, False
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
        if self.review_wanted:
            from quarrin.review import Review, ReviewError, review_path

            try:
                self.review = Review(review_path(self.file))
            except ReviewError as exc:
                # Marks are then neither shown nor taken; the file is left as it is.
                self.review_error = str(exc)
                if self.warn is not None:
                    self.warn(self.review_error)
        try:
            self.db = self._connect()
        except _Damaged as exc:
            self._replace(exc)
        except (OSError, sqlite3.OperationalError) as exc:
            self._in_memory(exc)
        else:
            self._attach()

    def _attach(self):
        """Attaches the review file, read-only: the index's transactions never lock it."""
        self.review_attached = False
        if self.review is None or self.db is None:
            return
        from quarrin.review import attach_uri

        try:
            self.db.execute("ATTACH DATABASE ? AS review", (attach_uri(self.review.path),))
            self.db.execute("SELECT 1 FROM review.marks LIMIT 1").fetchall()
        except sqlite3.Error as exc:
            self.review_error = "the review file %s cannot be read: %s" % (self.review.path, _reason(exc))
            return
        self.review_attached = True

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
        self.close(review=False)
        self.checked.clear()
        self.db = self._memory()
        self._attach()

    def _replace(self, exc):
        """A damaged index is rebuilt from the files, with one warning line."""
        if self.explicit and not self._ours():
            raise UsageError("index", self.file, "is no index of quarrin; give another file") from None
        if self.warn is not None:
            self.warn("the index %s was damaged (%s); rebuilding it from the files" % (self.shown, _reason(exc)))
        self.close(review=False)
        self.checked.clear()
        try:
            for suffix in ("", "-wal", "-shm", "-journal"):
                try:
                    os.remove(self.file + suffix)
                except FileNotFoundError:
                    pass
            self.db = self._connect()
            self._attach()
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

    def close(self, review=True):
        if self.db is not None:
            try:
                self.db.close()
            except sqlite3.Error:
                pass
            self.db = None
        if review and self.review is not None:
            self.review.close()
            self.review = None

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



class _Store(_Connection, Answers):
    """An index (`_Connection`) brought up to date from the files of its roots, and answering."""

    def version(self, db):
        """What changes whenever the index or its marks do (in this process or another)."""
        marks = db.execute("PRAGMA review.data_version").fetchone()[0] if self.review_attached else None
        return id(db), db.execute("PRAGMA data_version").fetchone()[0], self.writes, marks, \
            self.review.changes() if self.review is not None else None

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
                    db.executemany("INSERT INTO events VALUES (%s)" % ",".join("?" * 18),
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


