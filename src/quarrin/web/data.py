"""What the web view shows, as the JSON API gives it: the cameras, events and recordings under the
served folders, from a `quarrin.index.Index` kept open. The pages are made from the same answers.

Every method here is blocking (SQLite, the files): the app calls them off its event loop.
"""
import dataclasses
import datetime
import os
import threading

from quarrin.index import COLUMNS, Camera, Index
from quarrin.layout import csv_of
from quarrin.stamps import first_time
from quarrin.options import shown_source
from quarrin.web import urls
from quarrin.web.media import Folders

# A query trusts the previous query's look at the files for this long: new events show within it.
RECHECK_SECONDS = 2.0
# Bytes read from each end of a video to tell whether a browser plays it.
_SNIFF = 64 * 1024
# What a browser plays, as it shows in the first or last bytes of a file: H.264 (and VP8/9, AV1)
# in MP4 (its sample entries) or Matroska/WebM (its codec ids). OpenCV's mp4v, XVID and MJPG
# are not played.
_PLAYED = {
    ".mp4": (b"avc1", b"avc3", b"vp09", b"av01"), ".m4v": (b"avc1", b"avc3"), ".mov": (b"avc1", b"avc3"),
    ".mkv": (b"V_MPEG4/ISO/AVC", b"V_VP8", b"V_VP9", b"V_AV1"), ".webm": (b"V_VP8", b"V_VP9", b"V_AV1"),
}


def day_window(day):
    """(start, end) datetimes of a day (a `datetime.date`)."""
    start = datetime.datetime.combine(day, datetime.time())
    return start, start + datetime.timedelta(days=1)


class _VideoFacts:
    """What is known of one video file: whether a browser plays it and the time of its first
    frame, from its timestamps CSV. Kept while the file keeps its inode."""
    __slots__ = ("ident", "playable", "first")

    def __init__(self, ident):
        self.ident, self.playable, self.first = ident, None, None


class View:
    """The served folders' cameras, events and recordings as the API gives them.

    `paths`: the folders; `index`: an index file for all of them (default: one in each folder,
    as `quarrin events` keeps it); `cameras`: an optional provider of cameras besides those the
    index knows (a running service): an object whose ``cameras()`` returns {name: {field:
    value}}, fields that are added to each camera's entry (a `source` is masked here), whose
    ``outputs()``, when it has one, gives each camera's output: a recording belongs to the camera
    whose output names it, whatever its file is called; and whose ``live(name)``, when it has one,
    gives a camera's live images (quarrin.web.live): its entry then has a `live_url`."""

    def __init__(self, paths, index=None, *, cameras=None, warn=None, recheck=RECHECK_SECONDS):
        self.index = Index(paths, index, warn=warn, recheck=recheck, review=True)
        self.folders = Folders([(r.shown, r.top) for store in self.index.stores for r in store.roots])
        self.provider = cameras
        self._facts = {}
        self._patterns = {}   # output -> quarrin.layout.Pattern, of the provider's cameras
        self._lock = threading.Lock()

    def close(self):
        self.index.close()

    # Events.
    def event_entry(self, listed):
        """An event as the API gives it: the event list's columns (`file`, `snapshot` and the
        list's path `input` as paths below the served folders), its `id`, `snapshot_url` (the
        list's snapshot, else a frame grabbed from its video), `clip_url` (its video from the
        event's first frame: ``#t=`` seconds after the video's first frame; None when the video
        is gone or outside the served folders), `playable` (a browser plays that video) and
        `download_url` (the event alone as an MP4 file). Its `label` is "" without one, its `score`
        a number or None, its `zones` a list of names."""
        row = listed.row()
        entry = {c: row[c] for c in COLUMNS}
        e = listed.event
        entry.update(label=e.label, score=None if e.score is None else round(e.score, 3), zones=list(e.zones))
        for column, path in (("input", listed.input), ("file", e.file), ("snapshot", e.snapshot)):
            entry[column] = self.folders.served(path) or ""
        entry["id"] = listed.id
        entry["reviewed"], entry["kept"] = listed.reviewed is not None, listed.kept is not None
        # A picture deleted since (by hand, or by a budget) is grabbed from the video, if that is left.
        snapshot = self.folders.url(e.snapshot) if e.snapshot and os.path.isfile(e.snapshot) else None
        entry["snapshot_url"] = snapshot or urls.url("thumb", id=listed.id)
        entry["clip_url"], entry["playable"] = None, False
        entry["download_url"] = urls.url("api_clip_mp4", id=listed.id)
        url = self.folders.url(e.file)
        facts = self._video(e.file) if url else None
        if facts is not None:
            entry["playable"] = facts.playable
            entry["clip_url"] = url if facts.first is None else url + "#t=" + seconds_text(e.start - facts.first)
        return entry

    def events(self, camera=None, since=None, until=None, limit=50, offset=0, label=None, reviewed=None, kept=None):
        """{"events": a page of entries, newest first, "total": how many match, "limit",
        "offset"}; `label`: only the events with that label; `reviewed`, `kept` (True, False):
        only those marked so, or not. Bad arguments raise quarrin.UsageError."""
        marks = {"reviewed": reviewed, "kept": kept}
        found = self.index.events(camera, since, until, limit=limit, offset=offset, newest_first=True, label=label,
                                  **marks)
        total = self.index.count(camera, since, until, label=label, **marks)
        return {"events": [self.event_entry(x) for x in found], "total": total, "limit": limit, "offset": offset}

    def mark(self, flag, on=True, id=None, camera=None, since=None, until=None, label=None):
        """Sets or clears `flag` ("reviewed", "kept") of the event `id`, or of every event the
        filters find (quarrin.index.Index.mark): how many changed, None for an unknown id."""
        return self.index.mark(flag, on, id, camera, since, until, label=label)

    def days(self, camera=None, label=None, reviewed=None, kept=None):
        """The days with events, newest first: [(YYYY-MM-DD, how many)]."""
        return self.index.days(camera, label=label, reviewed=reviewed, kept=kept)

    def unreviewed(self):
        """How many events are not reviewed yet."""
        return self.index.count(reviewed=False)

    def delete(self, id):
        """Deletes the event `id` (see `delete_event`): what was removed, None for an unknown id;
        `Refused` when it cannot be done."""
        listed = self.index.event(id)
        if listed is None:
            return None
        done = delete_event(self.index, listed, self._deletable)
        done["removed"] = [self.folders.served(p) or p for p in done["removed"]]
        for left in done["left"]:
            left["path"] = self.folders.served(left["path"]) or left["path"]
        return done

    def _deletable(self, path, kind):
        """Whether `path` is a file of `kind` ("image", "video", "text") below the served folders,
        itself and not a link that leads elsewhere: a list may name any path as a picture."""
        served = self.folders.served(path)
        found = served and self.folders.locate(served)
        return bool(found) and found[0] == os.path.realpath(path) and found[1].startswith(kind + "/")

    def labels(self, camera=None):
        """The labels of the events listed (of `camera`), by name."""
        return self.index.labels(camera)

    def event(self, id):
        listed = self.index.event(id)
        return None if listed is None else self.event_entry(listed)

    def clip(self, id, out, progress=None):
        """Exports the event `id` into `out` (.mp4 or .mkv; quarrin.export): its `Exported`, or None
        for an unknown id. quarrin.export.NoRecording when its recordings are gone."""
        from quarrin import export

        if self.index.event(id) is None:
            return None
        return export.export_event(self.index, id, out, progress=progress, segments=self.segments)

    def segments(self, camera, since, until):
        """The segments (`quarrin.Segment`) of `camera` that hold a frame in the window, oldest first,
        each counted for the camera whose output made it."""
        return [s for _, s in self._segments(camera, since, until)]

    def owned_segments(self):
        """Every segment of the index as (camera, `quarrin.Segment`), each of the camera whose output
        made it, oldest first (quarrin.storage surveys them)."""
        return self._segments(None, None, None)

    def listed(self, id):
        """The index's own `Listed` of an id (for a thumbnail), or None."""
        return self.index.event(id)

    # Recordings and cameras.
    def _owners(self):
        """(camera, its output's quarrin.layout.Pattern) of the provider's cameras; the more
        particular first, for files recorded before their outputs were kept apart."""
        outputs = getattr(self.provider, "outputs", None)
        if outputs is None:
            return ()
        from quarrin import layout

        found = []
        for name, output in sorted(outputs().items()):
            pattern = self._patterns.get(output)
            if pattern is None:
                try:
                    pattern = self._patterns[output] = layout.Pattern(output)
                except layout.Unfollowable:
                    continue
            found.append((name, pattern))
        return sorted(found, key=lambda owner: -len(owner[1].videos.pattern))

    def _segments(self, camera, since, until):
        """The index's segments as (camera, segment), each of the camera whose output made it."""
        owners = self._owners()
        if not owners:
            return [(s.camera, s) for s in self.index.recordings(camera, since, until)]
        found = []
        for s in self.index.recordings(None, since, until):
            path = os.path.abspath(s.video)
            owner = next((name for name, pattern in owners if pattern.is_video(path)), s.camera)
            if camera is None or owner == camera:
                found.append((owner, s))
        return found

    def _index_cameras(self):
        """The index's cameras (quarrin.index.Camera), each segment counted for the camera whose
        output made it: a name the index gave only files of the service's cameras is no camera."""
        listed = self.index.cameras()
        owners = self._owners()
        served = {name for name, _ in owners}
        strays = [c for c in listed if c.name not in served]
        if not owners or not strays:
            return listed
        frames, own = {}, set()
        for c in strays:
            for s in self.index.recordings(c.name):
                path = os.path.abspath(s.video)
                owner = next((name for name, pattern in owners if pattern.is_video(path)), None)
                if owner is None:
                    own.add(c.name)
                else:
                    frames[owner] = max(frames.get(owner, s.last), s.last)
        kept = {}
        for c in listed:
            if c.name in served:
                newest = max((t for t in (c.last_frame, frames.get(c.name)) if t is not None), default=None)
                kept[c.name] = dataclasses.replace(c, last_frame=newest)
            elif c.name in own or c.last_event is not None:
                kept[c.name] = c
        for name, last in frames.items():
            kept.setdefault(name, Camera(name, None, last))
        return [kept[name] for name in sorted(kept)]

    def recordings(self, camera=None, since=None, until=None):
        """The segments that hold a frame in the window, oldest first: camera, start, end, frames,
        `url` (of the video; None outside the served folders or when it is gone), `csv_url`
        (likewise), `playable`."""
        found = []
        for owner, s in self._segments(camera, since, until):
            url = self.folders.url(s.video)
            facts = self._video(s.video) if url else None
            found.append({"camera": owner, "start": s.first.isoformat(), "end": s.last.isoformat(),
                          "frames": s.frames, "file": self.folders.served(s.video) or "",
                          "url": url if facts is not None else None,
                          "csv_url": self.folders.url(s.csv) if os.path.isfile(s.csv) else None,
                          "playable": bool(facts and facts.playable)})
        return found

    def cameras(self):
        """Every camera, by name: the time of its last frame, its newest event (an entry, or None),
        its events today and the picture of that event (`snapshot_url`); and whatever the
        provider adds, with `source` masked."""
        today = datetime.date.today().isoformat()
        found = {}
        for c in self._index_cameras():
            newest = self.event_entry(c.last_event) if c.last_event is not None else None
            found[c.name] = {"name": c.name, "last_frame": c.last_frame and c.last_frame.isoformat(),
                             "last_event": newest, "events_today": self.index.count(c.name, today, today),
                             "snapshot_url": newest and newest["snapshot_url"]}
        extra = self.provider.cameras() if self.provider is not None else {}
        for name, fields in extra.items():
            entry = found.setdefault(name, {"name": name, "last_frame": None, "last_event": None, "events_today": 0,
                                            "snapshot_url": None})
            for k, v in fields.items():
                # What the index knows already is kept where the provider knows nothing newer.
                if k == "name" or (v is None and entry.get(k) is not None) or not _newer(k, v, entry.get(k)):
                    continue
                entry[k] = v
            if entry.get("source") is not None:
                entry["source"] = shown_source(entry["source"])
            if callable(getattr(self.provider, "live", None)):   # its live view, shown instead of a picture
                entry["live_url"] = urls.url("live_stream", name=name)
        return [found[name] for name in sorted(found)]

    def camera_names(self):
        names = {c.name for c in self._index_cameras()}
        names.update(self.provider.cameras() if self.provider is not None else ())
        return sorted(names)

    # What is known of each video.
    def _video(self, path):
        """The `_VideoFacts` of a video (None when it is gone)."""
        try:
            st = os.stat(path)
        except (OSError, ValueError):
            return None
        ident = (st.st_dev, st.st_ino)
        with self._lock:
            facts = self._facts.get(path)
            if facts is None or facts.ident != ident:
                facts = self._facts[path] = _VideoFacts(ident)
        if facts.first is None:
            facts.first = first_time(csv_of(path))
        if facts.playable is None or (not facts.playable and st.st_size < 2 * _SNIFF):
            # A video still being written may not show its codec yet: looked at again.
            facts.playable = playable(path, st.st_size)
        return facts


def _newer(key, given, known):
    """Whether a provider's `last_frame` or `last_event` is newer than the index's."""
    if key == "last_frame" and given and known:
        return given > known
    if key == "last_event" and given and known:
        return given["start"] > known["start"]
    return True


def seconds_text(delta):
    """A timedelta as the seconds of a media fragment (#t=1.5), never below 0."""
    seconds = max(0.0, delta.total_seconds())
    return ("%.3f" % seconds).rstrip("0").rstrip(".")


def playable(path, size):
    """Whether a browser plays the video at `path`: its container, and its codec seen in its first
    or last bytes."""
    marks = _PLAYED.get(os.path.splitext(path)[1].lower())
    if not marks:
        return False
    try:
        with open(path, "rb") as f:
            data = f.read(_SNIFF)
            if size > 2 * _SNIFF:
                f.seek(size - _SNIFF)
                data += f.read(_SNIFF)
    except OSError:
        return False
    return any(m in data for m in marks)


# --- deleting an event ------------------------------------------------------------------------

# The most footage beside an event's span that a video may hold and still count as the event's
# own clip (--split events: its --before and --after); a longer one is a recording of more.
OWN_CLIP_SECONDS = 60.0


class Refused(Exception):
    """An event that cannot be deleted now, and why (kept, its list being recorded, a file that
    cannot be changed)."""


def delete_event(index, listed, deletable=lambda path, kind: True):
    """Deletes an event: its row in its list is marked deleted (quarrin.listeners.eventlist.delete_row),
    then its picture and, when the video is its own clip (no other event names it or lies in it,
    and it holds at most OWN_CLIP_SECONDS beside the event), that video and its timestamps CSV
    go; each only when `deletable(path, kind)` says so. Nothing else is removed. Returns {"id",
    "removed": [paths], "left": [{"path", "error"}]}; `Refused` for a kept event, a list being
    recorded, a list that cannot be rewritten."""
    from quarrin.listeners import eventlist

    if listed.kept is not None:
        raise Refused("the event is kept: unkeep it before deleting it")
    e = listed.event
    try:
        row = eventlist.delete_row(listed.input, e.event, e.start)
    except eventlist.ListBusy as exc:
        raise Refused(str(exc)) from None
    except OSError as exc:
        raise Refused("%s cannot be changed: %s" % (listed.input, exc.strerror or exc)) from None
    index.changed()
    if row is None:
        raise Refused("%s no longer lists event %s" % (listed.input, e.event))
    removed = _Removed()
    others = [x for x in index.events(e.camera, e.start - datetime.timedelta(days=1),
                                      e.end + datetime.timedelta(days=1)) if x.id != listed.id]
    if e.snapshot and os.path.isfile(e.snapshot) and deletable(e.snapshot, "image") and not any(
            x.event.snapshot and os.path.abspath(x.event.snapshot) == os.path.abspath(e.snapshot) for x in others):
        _remove(e.snapshot, removed)
    if e.file and deletable(e.file, "video") and deletable(csv_of(e.file), "text") and \
            _own_clip(index, listed, others):
        for path in (e.file, csv_of(e.file)):
            _remove(path, removed)
    return {"id": listed.id, "removed": list(removed), "left": removed.left}


def _own_clip(index, listed, others):
    """Whether the event's video is a clip of that event alone."""
    e = listed.event
    video = os.path.abspath(e.file)
    if not os.path.isfile(video) or any(x.event.file and os.path.abspath(x.event.file) == video for x in others):
        return False
    if _named_elsewhere(index, video, listed):
        return False
    segments = [s for s in index.recordings(None, e.start - datetime.timedelta(days=1),
                                            e.end + datetime.timedelta(days=1))
                if os.path.abspath(s.video) == video]
    if len(segments) != 1:
        return False
    s, margin = segments[0], datetime.timedelta(seconds=OWN_CLIP_SECONDS)
    if s.first < e.start - margin or s.last > e.end + margin:
        return False
    # No other event lies in it, of whatever list.
    return not any(x.event.start <= s.last and x.event.end >= s.first for x in others
                   if x.event.camera == e.camera)


def _named_elsewhere(index, video, listed):
    """Whether a row of any list (a deleted one too) names the video, besides the event's own."""
    from quarrin.listeners import eventlist

    lists = {listed.input} | {x.input for x in index.events(listed.event.camera)}
    for path in lists:
        try:
            found = eventlist.read_list(path, deleted=True)
        except OSError:
            return True   # cannot be looked at: taken as naming it
        if found is None:
            continue
        header, rows = found
        if "file" not in header:
            continue
        at = header.index("file")
        folder = os.path.dirname(os.path.abspath(path))
        for row in rows:
            if len(row) <= at or not row[at]:
                continue
            if row[0].strip() == str(listed.event.event) and path == listed.input:
                continue
            if row[0].strip() == eventlist.DELETED_MARK + str(listed.event.event) and path == listed.input:
                continue
            named = row[at] if os.path.isabs(row[at]) else os.path.join(folder, row[at])
            if os.path.abspath(named) == video:
                return True
    return False


class _Removed(list):
    def __init__(self):
        super().__init__()
        self.left = []


def _remove(path, removed):
    try:
        os.remove(path)
    except FileNotFoundError:
        return
    except OSError as exc:   # the row is deleted already: told, and left
        removed.left.append({"path": path, "error": exc.strerror or str(exc)})
        return
    removed.append(path)

