"""A disk budget for a long recording: after each segment closes, the oldest finished segments of
the recording's OUTPUT are deleted while they take more than --keep-size or are older than
--keep-days.

Only files of OUTPUT's own names are candidates (quarrin.layout.Pattern): the output itself and
its numbered segments, with strftime fields matching only what they can expand to, each with its
timestamps CSV. Never deleted: the newest segment, a segment the running recording has claimed or
holds open, a file the pattern does not name, and an event list that names a video still there
or that the running recording writes.

The budget is a listener of the recording (quarrin.listeners): it learns of each closed segment on
the listeners' thread, before the recording's namer lets go of the name. The folder walk and the
deletions run on a thread of their own (quarrin-budget), off the recording's frame path and off
the other listeners' way; segments that close meanwhile make one walk. Closing it waits for them
(and their lines), before the recording's result is made.
"""
import collections
import contextlib
import csv
import os
import queue
import threading
import time

from quarrin import stamps
from quarrin.layout import PICTURE, csv_of, segment_files, snapshots_folder
from quarrin.listeners import Listener
from quarrin.stamps import local_time


class Budget(Listener):
    """The budget of one recording: `pattern` (quarrin.layout.Pattern) names its files, `tell`
    gets each line to show. `namer` (quarrin.layout.Namer) holds the names the recording has
    claimed; `listing` (quarrin.listeners.eventlist.EventList) is the event list it writes. `others` are
    the patterns of other recordings beside it (the other cameras of a service): a file one of
    them names as well is not provably this recording's, and is never deleted; nor is a video
    without its timestamps CSV, which every segment has. `error` is what stopped its deletions,
    once it is closed."""

    def __init__(self, pattern, keep_size, keep_days, tell, namer=None, listing=None, others=()):
        self.pattern, self.keep_size, self.keep_days, self.tell = pattern, keep_size, keep_days, tell
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

    def segments(self):
        """The recording's videos, oldest first: (mtime, size with its CSV, path)."""
        found = []
        for folder, _, names in os.walk(self.pattern.folder):
            for name in names:
                path = os.path.join(folder, name)
                if self.pattern.is_video(path) and not any(other.is_video(path) for other in self.others):
                    try:
                        st, stamps = os.stat(path), os.stat(csv_of(path))
                    except OSError:   # gone, or no segment's: its CSV is missing
                        continue
                    found.append((st.st_mtime, st.st_size + stamps.st_size, path))
        return sorted(found)

    def after_close(self, video):
        """Deletes what the budget asks: never the video closed last, the newest, or a held one."""
        found = self.segments()
        kept = self._kept()
        if kept is None:
            return
        spared = {os.path.abspath(video)} | {path for _, _, path in found[-1:]}
        total = sum(size for _, size, _ in found)
        oldest_kept = time.time() - self.keep_days * 86400 if self.keep_days else None
        removed = False
        for mtime, size, path in found:
            over = self.keep_size is not None and total > self.keep_size
            old = oldest_kept is not None and mtime < oldest_kept
            if not (over or old) or path in spared:
                continue
            if kept.holds(path):
                self._tell_kept(path)
                continue
            with self.lock:
                if path == self.latest or self.namer is not None and self.namer.holds(path):
                    continue
                gone = [name for name in segment_files(path) if self._remove(name)]
                if gone and self._closed[path]:
                    self._closed[path] -= 1
                    self._removed[path] += 1
            for name in gone:
                self.tell("Removed %s (disk budget)" % name)
            if gone:
                total -= size
                removed = True
        if removed:
            self._drop_empty_lists(kept)

    def _kept(self):
        """The kept events of the review file of the folder the output lies under (quarrin.review):
        a `_Kept`, empty without one; None when it cannot be read (then nothing is deleted, and
        that is told once)."""
        from quarrin import review

        path = review.find(self.pattern.folder)
        if path is None:
            return _Kept(())
        try:
            with review.Review(path, create=False) as marks:
                rows = marks.kept()
        except review.ReviewError as exc:
            if str(exc) not in self._told:
                self._told.add(str(exc))
                self.tell("Nothing removed (disk budget): %s" % exc)
            return None
        top = os.path.dirname(os.path.dirname(path))
        return _Kept(rows, top)

    def _tell_kept(self, path):
        if path not in self._told:
            self._told.add(path)
            self.tell("Kept %s: it holds a kept event (disk budget)" % path)

    def _drop_empty_lists(self, kept):
        """An event list goes once no video it names is left (a list without events stays)."""
        for folder, _, names in os.walk(self.pattern.folder):
            for name in names:
                path = os.path.join(folder, name)
                if not self.pattern.is_list(path) or any(other.is_list(path) for other in self.others):
                    continue
                try:
                    with open(path, newline="") as f:
                        files = {row.get("file") for row in csv.DictReader(f)} - {None, ""}
                except (OSError, UnicodeDecodeError, csv.Error):
                    continue
                if not files or any(_listed_video_left(path, v) for v in files):
                    continue
                if os.path.abspath(path) in kept.lists:
                    self._tell_kept(os.path.abspath(path))
                    continue
                with self.lock:
                    if self._writing(path) or not self._remove(path):
                        continue
                self.tell("Removed %s (disk budget)" % path)
                self._remove_pictures(snapshots_folder(path), kept)

    def _remove_pictures(self, folder, kept):
        """The pictures of a removed event list go with it (its folder, when nothing else is left in it)."""
        try:
            names = os.listdir(folder)
        except OSError:
            return
        gone = [name for name in names if PICTURE.fullmatch(name)
                and os.path.abspath(os.path.join(folder, name)) not in kept.pictures
                and self._remove(os.path.join(folder, name))]
        if len(gone) == len(names):
            with contextlib.suppress(OSError):
                os.rmdir(folder)
        for name in gone:
            self.tell("Removed %s (disk budget)" % os.path.join(folder, name))

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
        written = self.listing.path if self.listing is not None else None
        return written is not None and os.path.abspath(written) == path


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
        near = [(start, end) for start, end, folder in self.spans if _within(video, folder)]
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


def _within(path, folder):
    return os.path.dirname(path) == folder or path.startswith(os.path.join(folder, ""))


def _listed_video_left(listing, video):
    """Whether a video an event list names is still there. `file` is relative to the list's folder;
    lists of earlier versions named it relative to where the recording ran, so a video of that
    name in the list's folder counts too."""
    if os.path.isabs(video):
        return os.path.exists(video)
    folder = os.path.dirname(listing)
    return os.path.exists(os.path.join(folder, video)) or os.path.exists(os.path.join(folder, os.path.basename(video)))




def _size(path):
    try:
        return os.path.getsize(path)
    except OSError:
        return 0
