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
import heapq
import os
import threading

from quarrin.errors import UsageError
from quarrin.index.queries import (COLUMNS, EXTRA_COLUMNS, _DISTINCT_CAMERAS, _DISTINCT_LABELS, _EVENT_ORDER,
                                   _PLAIN_SELECT, Camera, Listed, _datetime, filters, query_arguments,
                                   time_window)
from quarrin.index.scan import _Root
from quarrin.index.store import _Store
from quarrin.layout import INDEX_FOLDER, INDEX_NAME, LIST, STAMPS, index_path
from quarrin.results import Segment
from quarrin.stamps import read_time

__all__ = ["COLUMNS", "EXTRA_COLUMNS", "INDEX_FOLDER", "INDEX_NAME", "Camera", "Index", "Listed", "filters",
           "query_arguments", "read_time", "time_window"]


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

    def __init__(self, paths, index=None, *, warn=None, recheck=0.0, review=False):
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
        self._days = {}   # what `days` found, by its arguments: (the stores' versions, the days)
        roots = []
        for shown, real in kept:
            folder = os.path.isdir(real)
            if folder:
                roots.append(_Root("" if index is None else real, real, shown))
            else:
                roots.append(_Root(real, os.path.dirname(real), os.path.dirname(shown), os.path.basename(real)))
        if index is not None:
            self.stores = [_Store(os.fsdecode(index), roots, explicit=True, warn=self._warn, review=review)]
        else:
            self.stores = [_Store(index_path(r.top), [r], warn=self._warn, shown=index_path(r.shown), review=review)
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

    def changed(self):
        """The files were changed here: the next query looks at them, whatever `recheck` says."""
        with self._lock:
            for store in self.stores:
                store.checked.clear()

    def _refresh(self, kinds):
        for store in self.stores:
            store.refresh(kinds, self._recheck)

    def events(self, camera=None, since=None, until=None, *, limit=None, offset=0, newest_first=False, label=None,
               zone=None, reviewed=None, kept=None):
        """The events (`Listed`) of `camera` (None: all) that overlap the window from `since` to
        `until` (see `time_window`), oldest first (`newest_first`: newest first), the first
        `offset` skipped and at most `limit` kept; with `label`, only those whose label it is,
        with `zone` only those that entered that zone; `reviewed`, `kept` (True or False): only
        those marked so, or not (an index opened with `review` has the marks)."""
        return self._find(camera, since, until, limit, offset, newest_first, _Store.listed, label, zone,
                          (reviewed, kept))

    def plain_events(self, camera=None, since=None, until=None, latest=None, *, label=None, zone=None):
        """The `quarrin.Event`s of `events` (quicker: no ids), oldest first; `latest`: only that
        many of the most recent."""
        if latest is None:
            return self._find(camera, since, until, None, 0, False, _Store.event, label, zone)
        return self._find(camera, since, until, latest, 0, True, _Store.event, label, zone)[::-1]

    def _find(self, camera, since, until, limit, offset, newest_first, make, label=None, zone=None, marks=(None, None)):
        window, limit, offset = query_arguments(since, until, limit, offset)
        label, zone = filters(label, zone)
        single = len(self.stores) == 1
        # Each of several indexes gives its first offset + limit; the merge cuts the page.
        page = (" LIMIT %d OFFSET %d" % (-1 if limit is None else limit, offset) if single else
                "" if limit is None else " LIMIT %d" % (limit + offset))
        plain = make is not _Store.listed and marks == (None, None)
        order = _EVENT_ORDER.format(" DESC" if newest_first else "")
        found = []
        with self._lock:
            self._refresh((LIST,))
            for store in self.stores:
                def select(db):
                    where, args = store.where(db, camera, window, label, zone, *marks)
                    head = _PLAIN_SELECT if plain else store.select()
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

    def count(self, camera=None, since=None, until=None, *, label=None, zone=None, reviewed=None, kept=None):
        """How many events `events` finds with the same filters."""
        window = time_window(since, until)
        label, zone = filters(label, zone)
        total = 0
        with self._lock:
            self._refresh((LIST,))
            for store in self.stores:
                def count(db):
                    if store.review_attached and (reviewed, kept) in ((False, None), (None, False)):
                        # Those not marked: all of them less the marked ones, found from the marks
                        # (a join of every event with its marks costs a look-up per event).
                        where, args = store.where(db, camera, window, label, zone)
                        total = db.execute("SELECT count(*) FROM events e" + where, args).fetchone()[0]
                        where, args = store.where(db, camera, window, label, zone, reviewed is not None or None,
                                                  kept is not None or None)
                        return total - db.execute(MARKED_COUNT + where, args).fetchone()[0]
                    where, args = store.where(db, camera, window, label, zone, reviewed, kept)
                    head = store.counting() if (reviewed, kept) != (None, None) else "SELECT count(*) FROM events e"
                    return db.execute(head + where, args).fetchone()[0]
                total += store.run(count)
        return total

    def event(self, id):
        """The event (`Listed`) of that id, or None."""
        if _parse_id(id) is None:
            return None
        key, _, number = str(id).partition("-")
        with self._lock:
            self._refresh((LIST,))
            for store in self.stores:
                mine, args = store._mine("e.root")
                row = store.run(lambda db: db.execute(
                    store.select() + "WHERE e.key = ? AND e.event = ? AND " + mine + " LIMIT 1",
                    [int(key, 16), int(number)] + args).fetchone())
                if row is not None:
                    return store.listed(row)
        return None

    def mark(self, flag, on=True, id=None, camera=None, since=None, until=None, *, label=None, reviewed=None,
             kept=None):
        """Sets (`on`) or clears the `flag` ("reviewed" or "kept") of the event `id`, or, without
        one, of every event that `events` finds with the filters. Returns how many events
        changed, None for an unknown id; quarrin.review.ReviewError when an event's folder keeps no
        review file (the index was opened without `review`, or the file cannot be used)."""
        from quarrin.review import JOIN, ReviewError, review_path

        parsed = None
        if id is not None:
            parsed = _parse_id(id)
            if parsed is None:
                return None
        else:
            window = time_window(since, until)
            label, _ = filters(label)
        head = ("SELECT e.root, e.key, e.event, e.start, e.end, f.path, e.video, e.snapshot, e.camera "
                "FROM events e JOIN files f ON f.id = e.file")
        changed, found = 0, False
        with self._lock:
            self._refresh((LIST,))
            for store in self.stores:
                if parsed is not None:
                    mine, args = store._mine("e.root")
                    where, args = " WHERE e.key = ? AND e.event = ? AND " + mine + " LIMIT 1", list(parsed) + args
                    join = ""
                else:
                    where, args = store.run(lambda db: store.where(db, camera, window, label, None, reviewed, kept))
                    join = JOIN if store.review_attached else ""
                rows = store.run(lambda db: db.execute(head + join + where, args).fetchall())
                if not rows:
                    continue
                found = True
                if store.review is None:
                    raise ReviewError(review_path(store.file) if store.file else "of %s" % store.roots[0].shown,
                                      "cannot be used: %s" % (store.review_error or "no review file is kept here"))
                changed += store.review.set(rows, flag, on)
                if parsed is not None:
                    break
        return changed if found or parsed is None else None

    def days(self, camera=None, *, label=None, reviewed=None, kept=None):
        """The days on which events begin, newest first, as (YYYY-MM-DD, how many), of the
        events `events` finds with these filters."""
        label, _ = filters(label)
        counts = {}
        with self._lock:
            self._refresh((LIST,))
            # Kept while neither the index nor the marks changed: the whole table is read for them.
            stamp = [store.run(store.version) for store in self.stores]
            asked = (camera, label, reviewed, kept)
            kept_before = self._days.get(asked)
            if kept_before is not None and kept_before[0] == stamp:
                return kept_before[1]
            for store in self.stores:
                def days(db):
                    where, args = store.where(db, camera, (None, None), label, None, reviewed, kept)
                    head = store.counting().replace("count(*)", "substr(e.start, 1, 10), count(*)")
                    return db.execute(head + where + " GROUP BY 1", args).fetchall()
                for day, n in store.run(days):
                    counts[day] = counts.get(day, 0) + n
            found = sorted(counts.items(), reverse=True)
            if len(self._days) > 64:
                self._days.clear()
            self._days[asked] = (stamp, found)
        return found

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

    def labels(self, camera=None):
        """The labels of the events listed (of `camera`; None: all), by name; "" (no label) is none."""
        found = set()
        with self._lock:
            self._refresh((LIST,))
            for store in self.stores:
                # (+: not by the other indexes, which SQLite may take for shorter ways to the labels)
                mine, args = store._mine("+root")
                if camera is not None:
                    mine += " AND +camera = ?"
                    args.append(camera)
                found.update(store.run(lambda db: [name for name, in db.execute(_DISTINCT_LABELS.format(mine),
                                                                                 args + args)]))
        return sorted(found)

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
                        store.select() + "WHERE e.camera = ? AND " + mine.replace("root", "e.root") +
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


# The marked events, from the marks (the marks' table first: CROSS JOIN keeps that order).
MARKED_COUNT = ("SELECT count(*) FROM review.marks r CROSS JOIN events e ON e.key = r.key AND e.event = r.event "
                "AND e.root = r.root AND e.start = r.start")


def _parse_id(id):
    """(list key, event number) of an event's id, or None."""
    key, _, number = str(id).partition("-")
    if len(key) != 16 or not (number.isascii() and number.isdigit()) or any(c not in "0123456789abcdef" for c in key):
        return None
    # Both are kept as SQLite integers (64 bits, signed): a larger one names no event.
    if int(key, 16) >> 63 or int(number) >> 63:
        return None
    return int(key, 16), int(number)


def _within(path, folder):
    return path == folder or path.startswith(folder.rstrip(os.sep) + os.sep)


def _warning(message):
    import warnings

    warnings.warn(message, RuntimeWarning, stacklevel=4)
