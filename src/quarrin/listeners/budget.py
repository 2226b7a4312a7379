"""A disk budget for a long recording: after each segment closes, the oldest finished segments of
the recording's OUTPUT are deleted while they take more than --keep-size or are older than
--keep-days; a segment that holds a frame of an event, older than --keep-event-days instead.
Over --keep-size, the segments without events go first, oldest first, then those with events.

Only files of OUTPUT's own names are candidates (quarrin.layout.Pattern): the output itself and
its numbered segments, with strftime fields matching only what they can expand to, each with its
timestamps CSV. Never deleted: the newest segment, a segment the running recording has claimed or
holds open, a file the pattern does not name, and an event list that names a video still there
or that the running recording writes. An event's picture goes with the last segment that holds
the event.

`finished_segments` is the walk over an output's files, with whether each segment holds an
event (its event list names it, or an event's span meets the times of its CSV); the service's
budget over all its cameras (quarrin.service.budget) walks with it too.

The budget is a listener of the recording (quarrin.listeners): it learns of each closed segment on
the listeners' thread, before the recording's namer lets go of the name. The folder walk and the
deletions run on a thread of their own (quarrin-budget), off the recording's frame path and off
the other listeners' way; segments that close meanwhile make one walk. Closing it waits for them
(and their lines), before the recording's result is made.
"""
import collections
import contextlib
import csv
import datetime
import os
import queue
import threading
import time
import typing

from quarrin import stamps
from quarrin.layout import OPEN_SUFFIX, PICTURE, csv_of, list_of_open, segment_files, snapshots_folder, within
from quarrin.listeners import Listener
from quarrin.stamps import local_time


def show_bytes(n):
    """A size as the budget's lines give it: 512.0 GiB, 30.0 KiB, 900 B."""
    from quarrin.writers import show_size

    return show_size(n, spelled=True)


def show_days(days):
    return "%g" % days


class Finished(typing.NamedTuple):
    """A finished segment as the walk finds it: its video's mtime, its bytes with its CSV, its
    video (absolute), whether it holds a frame of an event, and which listed events it holds."""
    mtime: float
    size: int
    path: str
    event: bool
    events: frozenset


_NONE: frozenset = frozenset()


class Listed(typing.NamedTuple):
    """An event of an event list: (list, row) as its key, its picture (absolute, or None)."""
    key: tuple
    picture: typing.Optional[str]


class Walk(typing.NamedTuple):
    segments: list          # Finished, oldest first
    lists: list             # the event lists of the output, absolute
    events: dict            # key -> Listed, of the events some segment holds


class Facts:
    """What walks keep across walks: a timestamps CSV's first and last times and an event list's
    events, by the file's size and time of change (a file that changes is read again), and what
    each folder holds, by the folder's time of change."""

    def __init__(self):
        self.ends, self.lists = {}, {}
        self.folders = {}     # folder -> (its time of change, what _folder found in it)
        self.live = set()     # the folders of the newest segments: looked at on each walk

    def times(self, path, st):
        """(first, last) times of the timestamps CSV at `path` (stat `st`); None when it cannot
        be read as one (a segment that may hold anything)."""
        key = (st.st_mtime_ns, st.st_size)
        found = self.ends.get(path)
        if found is not None and found[0] == key:
            return found[1]
        try:
            got = stamps.ends(path, st.st_size, stored=local_time)
        except (OSError, ValueError):
            got = None
        times = None if not got or got[1] is None or got[2] is None else (got[1], got[2])
        self.ends[path] = (key, times)
        return times

    def events(self, path, st):
        """The events of the list at `path`: (row, files, picture, start, end), paths absolute
        (a file also as its name in the list's folder: lists of earlier versions named it from
        where the recording ran); start and end None when unreadable."""
        key = (st.st_mtime_ns, st.st_size)
        found = self.lists.get(path)
        if found is not None and found[0] == key:
            return found[1]
        from quarrin.listeners.eventlist import DELETED_MARK

        folder, rows = os.path.dirname(path), []
        try:
            with open(path, newline="") as f:
                for n, row in enumerate(csv.DictReader(f)):
                    if (row.get("event") or "").startswith(DELETED_MARK):
                        continue
                    files = set()
                    if row.get("file"):
                        name = row["file"]
                        files.add(os.path.normpath(os.path.join(folder, name)))
                        files.add(os.path.join(folder, os.path.basename(name)))
                    picture = os.path.normpath(os.path.join(folder, row["snapshot"])) if row.get("snapshot") else None
                    if picture is not None and not _own_picture(path, picture):
                        picture = None   # only a picture of its own list's folder goes with an event
                    try:
                        start, end = local_time(row.get("start") or ""), local_time(row.get("end") or "")
                    except (ValueError, OverflowError, TypeError):
                        start = end = None
                    rows.append((n, frozenset(files), picture, start, end))
        except (OSError, UnicodeDecodeError, csv.Error):
            rows = []
        self.lists[path] = (key, rows)
        return rows


def finished_segments(pattern, others=(), facts=None):
    """The segments of `pattern`'s output (quarrin.layout.Pattern) on disk, oldest first, and its
    event lists (a Walk). A video that one of `others` names as well, or without its timestamps
    CSV, is none. A segment holds an event when a list names it as the event's file, or when
    the span of an event of a list in its folder or above meets its CSV's first..last times
    (one whose CSV cannot be read is taken to hold one). `facts` (Facts) is what earlier walks
    read: only what changed since is read again (a folder whose time of change is the same holds
    the same files; those of the folders holding the newest segments are looked at each time, as
    the one being written still grows)."""
    facts = facts if facts is not None else Facts()
    top = pattern.folder
    # The other outputs whose files may lie beside this one's.
    others = [o for o in others if within(o.folder, top) or within(top, o.folder)]
    scanned, lists, opened = [], [], []
    pending, seen = [top], set()
    while pending:
        folder = pending.pop()
        found = _folder(folder, pattern, facts)
        if found is None:
            continue
        seen.add(folder)
        subs, mine, listed, open_here = found
        pending.extend(subs)
        theirs = [o for o in others if within(folder, o.folder)]
        if theirs:
            mine = [v for v in mine if not any(o.is_video(v[2]) for o in theirs)]
            listed = [path for path in listed if not any(o.is_list(path) for o in theirs)]
            open_here = [path for path in open_here if not any(o.is_list(list_of_open(path)) for o in theirs)]
        scanned.append((folder, mine))
        lists.extend(listed)
        opened.extend(open_here)
    facts.folders = {folder: facts.folders[folder] for folder in seen}
    named, spans, events = collections.defaultdict(list), collections.defaultdict(list), {}
    for path in lists:
        try:
            st = os.stat(path)
        except OSError:
            continue
        folder = os.path.dirname(path)
        for n, files, picture, start, end in facts.events(path, st):
            listed = Listed((path, n), picture)
            for name in files:
                named[name].append(listed)
            if start is not None and end is not None:
                spans[folder].append((start, end, listed))
    ends = {listed.key: end for folder_spans in spans.values() for _, end, listed in folder_spans}
    # An event still recorded goes on into every segment after the one it began in.
    for path in opened:
        began = _open_event_file(path)
        if began is not None:
            listed = Listed((path, 0), None)
            named[began].append(listed)
            ends[listed.key] = datetime.datetime.max
    found = []
    for folder, mine in scanned:
        near = [span for up in _folders_up(folder, top) for span in spans.get(up, ())] if spans else []
        for mtime, size, path, cst in mine:
            held = named.get(path)
            if not near and not held:
                found.append(Finished(mtime, size, path, False, _NONE))
                continue
            held = list(held or ())
            unknown = False
            if near:
                times = facts.times(csv_of(path), cst)
                if times is None:
                    unknown = True
                else:
                    first, last = times
                    held += [listed for start, end, listed in near if start <= last and end >= first]
            for listed in held:
                events[listed.key] = listed
            keys = frozenset(listed.key for listed in held)
            found.append(Finished(mtime, size, path, bool(keys) or unknown, keys))
    found.sort()
    _follow_events(found, named, ends, events, facts)
    # The newest segments' folders: the one being written may lie in the folder before the newest's.
    facts.live = {os.path.dirname(seg.path) for seg in found[-3:]}
    return Walk(found, lists, events)


def _open_event_file(path):
    """The segment (absolute) an event still recorded began in, from its open event's file (None
    when it names none or cannot be read)."""
    import json

    try:
        with open(path, encoding="utf-8") as f:
            name = json.load(f).get("file")
    except (OSError, ValueError, AttributeError):
        return None
    return os.path.abspath(name) if isinstance(name, str) and name else None


def _follow_events(found, named, ends, events, facts):
    """Marks in `found` (oldest first) the segments an event goes on into after the one its list
    names: wherever they lie (a day's folder after the one of the list), each next segment
    whose first time is not after the event's end holds it too. Only the segments after a named
    one are read, so a walk reads a CSV or two an event."""
    if not ends:
        return
    order = {seg.path: i for i, seg in enumerate(found)}
    for path, listed_here in named.items():
        i = order.get(path)
        if i is None:
            continue
        for listed in listed_here:
            end = ends.get(listed.key)
            if end is None:
                continue
            j = i + 1
            while j < len(found):
                seg = found[j]
                try:
                    times = facts.times(csv_of(seg.path), os.stat(csv_of(seg.path)))
                except OSError:
                    break
                if times is not None and times[0] > end:
                    break
                if listed.key not in seg.events:
                    events[listed.key] = listed
                    found[j] = seg._replace(event=True, events=seg.events | {listed.key})
                j += 1


def _folder(folder, pattern, facts):
    """(subfolders, videos, lists) of `folder`: the videos of `pattern` in it with their CSVs,
    (mtime, bytes of both, path, the CSV's stat), and its event lists; None when it cannot be
    listed. Kept in `facts` by the folder's time of change."""
    try:
        st = os.stat(folder)
    except OSError:
        return None
    cached = facts.folders.get(folder)
    if cached is not None and cached[0] == st.st_mtime_ns and folder not in facts.live:
        return cached[1]
    subs, names = [], []
    try:
        with os.scandir(folder) as entries:
            for entry in entries:
                if entry.is_dir(follow_symlinks=False):
                    subs.append(entry.path)
                else:
                    names.append(entry.name)
    except OSError:
        return None
    mine, lists, opened = [], [], []
    for name in names:
        path = os.path.join(folder, name)
        if name.endswith(OPEN_SUFFIX):
            if pattern.is_list(list_of_open(path)):
                opened.append(path)
            continue
        if name.endswith(".csv"):
            if pattern.is_list(path):
                lists.append(path)
            continue
        if not pattern.is_video(path):
            continue
        try:
            vst, cst = os.stat(path), os.stat(csv_of(path))
        except OSError:   # gone, or no segment's: its CSV is missing
            continue
        mine.append((vst.st_mtime, vst.st_size + cst.st_size, path, cst))
    found = (subs, mine, lists, opened)
    facts.folders[folder] = (st.st_mtime_ns, found)
    return found


def _own_picture(listing, picture):
    """Whether `picture` is one of an event's pictures in the folder of the list `listing`."""
    return os.path.dirname(picture) == os.path.abspath(snapshots_folder(listing)) and \
        PICTURE.fullmatch(os.path.basename(picture)) is not None


def _folders_up(folder, top):
    """`folder` and the folders above it, up to `top`."""
    while True:
        yield folder
        if folder == top or not within(folder, top):
            return
        parent = os.path.dirname(folder)
        if parent == folder:
            return
        folder = parent


def kept_events(folder, told, tell, what="disk budget"):
    """The kept events of the review file of the folder `folder` lies under (quarrin.review): a
    `_Kept`, empty without one; None when it cannot be read (then nothing is deleted, and that is
    told once: `told` holds what was)."""
    from quarrin import review

    path = review.find(folder)
    if path is None:
        return _Kept(())
    try:
        with review.Review(path, create=False) as marks:
            rows = marks.kept()
    except review.ReviewError as exc:
        if str(exc) not in told:
            told.add(str(exc))
            tell("Nothing removed (%s): %s" % (what, exc))
        return None
    top = os.path.dirname(os.path.dirname(path))
    return _Kept(rows, top)


class Sweeper:
    """What goes with the segments a budget removed: the event lists none of whose videos is left,
    with their pictures, and the pictures of events whose segments are all gone. `remove(path)`
    removes a file (False: not removed), `busy(path)` says whether a list is being written,
    `tell(path, why)` tells a removal."""

    def __init__(self, remove, busy, tell):
        self.remove, self.busy, self.tell = remove, busy, tell

    def after(self, walk, gone, kept, on_kept):
        """`gone`: the videos of `walk` (finished_segments) removed."""
        gone = set(gone)
        left = collections.Counter()
        for seg in walk.segments:
            if seg.path not in gone:
                left.update(seg.events)
        dropped = set()
        for path in walk.lists:
            if self._drop_list(path, kept, on_kept):
                dropped.add(path)
        for seg in walk.segments:
            if seg.path not in gone:
                continue
            for key in seg.events:
                listed = walk.events[key]
                if left[key] or key[0] in dropped or listed.picture is None:
                    continue
                left[key] = 1   # once
                if listed.picture in kept.pictures or not os.path.exists(listed.picture):
                    continue
                if self.remove(listed.picture):
                    self.tell(listed.picture, "the segments of its event are gone")

    def _drop_list(self, path, kept, on_kept):
        """An event list goes once no video it names is left (a list without events stays)."""
        try:
            with open(path, newline="") as f:
                files = {row.get("file") for row in csv.DictReader(f)} - {None, ""}
        except (OSError, UnicodeDecodeError, csv.Error):
            return False
        if not files or any(_listed_video_left(path, v) for v in files):
            return False
        if os.path.abspath(path) in kept.lists:
            on_kept(os.path.abspath(path))
            return False
        if self.busy(path) or not self.remove(path):
            return False
        self.tell(path, "no video it names is left")
        self._remove_pictures(snapshots_folder(path), kept)
        return True

    def _remove_pictures(self, folder, kept):
        """The pictures of a removed event list go with it (its folder, when nothing else is left in it)."""
        try:
            names = os.listdir(folder)
        except OSError:
            return
        gone = [name for name in names if PICTURE.fullmatch(name)
                and os.path.abspath(os.path.join(folder, name)) not in kept.pictures
                and self.remove(os.path.join(folder, name))]
        if len(gone) == len(names):
            with contextlib.suppress(OSError):
                os.rmdir(folder)
        for name in gone:
            self.tell(os.path.join(folder, name), "its event list is gone")


class Budget(Listener):
    """The budget of one recording: `pattern` (quarrin.layout.Pattern) names its files, `tell`
    gets each line to show. `namer` (quarrin.layout.Namer) holds the names the recording has
    claimed; `listing` (quarrin.listeners.eventlist.EventList) is the event list it writes. `others` are
    the patterns of other recordings beside it (the other cameras of a service): a file one of
    them names as well is not provably this recording's, and is never deleted; nor is a video
    without its timestamps CSV, which every segment has. `keep_event_days` (None: as `keep_days`)
    is how long a segment that holds an event stays. `error` is what stopped its deletions,
    once it is closed."""

    def __init__(self, pattern, keep_size, keep_days, tell, namer=None, listing=None, others=(),
                 keep_event_days=None):
        self.pattern, self.keep_size, self.keep_days, self.tell = pattern, keep_size, keep_days, tell
        self.keep_event_days = keep_event_days
        self.others = tuple(others)
        self.namer, self.listing = namer, listing
        self.lock = namer.lock if namer is not None else threading.Lock()
        self.latest = None    # the segment closed last, absolute
        # The recording's own segments, by absolute name: closed and still there, and removed. A
        # name removed may be claimed again (strftime names), so each is counted.
        self._closed, self._removed = collections.Counter(), collections.Counter()
        self._queue = queue.Queue()
        self._told = set()    # kept events' files already told as kept, and the review file's trouble
        self._thread = None
        self._error = self.error = None
        self.facts = Facts()

    def describe(self):
        return "the disk budget"

    def on_segment(self, segment):
        self.closed(segment.video)

    def close(self):
        self.error = self.finish()

    def closed(self, video):
        """A segment's files are complete; its name is still held by the namer."""
        with self.lock:
            self.latest = os.path.abspath(video)
            self._closed[self.latest] += 1
        if self._thread is None:
            self._thread = threading.Thread(target=self._work, name="quarrin-budget", daemon=True)
            self._thread.start()
        self._queue.put(video)

    def finish(self):
        """Waits for the deletions asked so far; returns the exception that stopped them (None)."""
        if self._thread is not None:
            self._queue.put(None)
            self._thread.join()
            self._thread = None
        error, self._error = self._error, None
        return error

    def _work(self):
        while True:
            video = self._queue.get()
            if video is None:
                return
            # Segments that closed meanwhile: one pass for all, as of the newest.
            done = False
            while not self._queue.empty():
                more = self._queue.get()
                if more is None:
                    done = True
                    break
                video = more
            try:
                self.after_close(video)
            except Exception as exc:
                self._error = self._error or exc
            if done:
                return

    def removed(self, videos):
        """Which of the recording's segments `videos` (in the order they were written) the budget
        removed: of those of one name, the earlier ones."""
        left = collections.Counter(self._removed)
        flags = []
        for video in videos:
            path = os.path.abspath(video)
            flags.append(left[path] > 0)
            left[path] -= 1
        return flags

    def _why_old(self, seg, now):
        """The reason `seg` (Finished) goes by its age, or None."""
        if seg.event and self.keep_event_days is not None:
            return "keep-event-days %s" % show_days(self.keep_event_days) \
                if seg.mtime < now - self.keep_event_days * 86400 else None
        if self.keep_days is not None and seg.mtime < now - self.keep_days * 86400:
            return "keep-days %s" % show_days(self.keep_days)
        return None

    def after_close(self, video):
        """Deletes what the budget asks: never the video closed last, the newest, or a held one."""
        walk = finished_segments(self.pattern, self.others, self.facts)
        found = walk.segments
        kept = self._kept()
        if kept is None:
            return
        spared = {os.path.abspath(video)} | {seg.path for seg in found[-1:]}
        total = sum(seg.size for seg in found)
        now = time.time()
        gone_videos = []
        # Over the size, the segments without events go first.
        for seg in [s for s in found if not s.event] + [s for s in found if s.event]:
            why = self._why_old(seg, now)
            if why is None and self.keep_size is not None and total > self.keep_size:
                why = "keep-size: %s over %s" % (show_bytes(total), show_bytes(self.keep_size))
            if why is None or seg.path in spared:
                continue
            if kept.holds(seg.path):
                self._tell_kept(seg.path)
                continue
            path = seg.path
            with self.lock:
                if path == self.latest or self.namer is not None and self.namer.holds(path):
                    continue
                gone = [name for name in segment_files(path) if self._remove(name)]
                if gone and self._closed[path]:
                    self._closed[path] -= 1
                    self._removed[path] += 1
            for name in gone:
                self.tell("Removed %s (%s)" % (name, why))
            if gone:
                total -= seg.size
                gone_videos.append(path)
        if gone_videos:
            Sweeper(self._remove_unwritten, self._writing, self._told_removed).after(walk, gone_videos, kept,
                                                                                   self._tell_kept)

    def _kept(self):
        return kept_events(self.pattern.folder, self._told, self.tell)

    def _tell_kept(self, path):
        if path not in self._told:
            self._told.add(path)
            self.tell("Kept %s: it holds a kept event (disk budget)" % path)

    def _told_removed(self, path, why):
        self.tell("Removed %s (%s)" % (path, why))

    def _remove_unwritten(self, path):
        with self.lock:
            return self._remove(path)

    def _remove(self, path):
        """Removes a file; one that cannot be removed is told, and the recording goes on."""
        try:
            os.remove(path)
        except FileNotFoundError:
            return False
        except OSError as exc:
            self.tell("Could not remove %s (disk budget): %s" % (path, exc.strerror or exc))
            return False
        return True

    def _writing(self, path):
        with self.lock:
            written = self.listing.path if self.listing is not None else None
            return written is not None and os.path.abspath(written) == os.path.abspath(path)


class _Kept:
    """What the kept events hold: their videos, lists and pictures (absolute), and their spans,
    by which a segment that holds a frame of one (a long event cut into segments) is known."""

    def __init__(self, rows, top=""):
        self.videos, self.lists, self.pictures, self.spans = set(), set(), set(), []
        for listing, video, snapshot, start, end, _ in rows:
            listing = os.path.abspath(os.path.join(top, listing))
            self.lists.add(listing)
            if video:
                self.videos.add(os.path.abspath(os.path.join(top, video)))
            if snapshot:
                self.pictures.add(os.path.abspath(os.path.join(top, snapshot)))
            try:
                self.spans.append((local_time(start), local_time(end), os.path.dirname(listing)))
            except (ValueError, OverflowError):
                pass

    def holds(self, video):
        """Whether the segment `video` holds a frame of a kept event."""
        video = os.path.abspath(video)
        if video in self.videos:
            return True
        # A kept event beside it may go on into it: its times are looked at.
        near = [(start, end) for start, end, folder in self.spans if within(video, folder)]
        if not near:
            return False
        try:
            found = stamps.ends(csv_of(video), os.path.getsize(csv_of(video)), stored=local_time)
        except (OSError, ValueError):
            return True   # cannot be looked at: kept, to be safe
        if not found or found[1] is None or found[2] is None:
            return False
        first, last = found[1], found[2]
        return any(start <= last and end >= first for start, end in near)


def _listed_video_left(listing, video):
    """Whether a video an event list names is still there. `file` is relative to the list's folder;
    lists of earlier versions named it relative to where the recording ran, so a video of that
    name in the list's folder counts too."""
    if os.path.isabs(video):
        return os.path.exists(video)
    folder = os.path.dirname(listing)
    return os.path.exists(os.path.join(folder, video)) or os.path.exists(os.path.join(folder, os.path.basename(video)))
