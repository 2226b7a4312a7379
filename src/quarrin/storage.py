"""Where the footage is: per camera the bytes its recordings take on disk, how many segments, the
oldest and newest recording, what it wrote each of the last seven days and how long its footage
lasts at that rate within its budget; and the free space of each file system it lies on.

`survey` works out those figures from what it is given: each camera's segments (its videos, each
with its timestamps CSV), the folders to look in for event lists and their pictures, and the
budgets. `survey_view` gives it what a web view (quarrin.web.data.View) knows: the index's
segments, each of the camera whose output made it, and under a service each camera's output,
`--keep-size` and `--keep-days` and the service's `[storage]` table. `Cached` keeps an answer for
a few seconds, for the page, the API and the metrics to share.

Every function here blocks (a walk of the folders, a stat of each file): call them off an event
loop.
"""
import datetime
import os
import threading
import time

from quarrin.layout import INDEX_FOLDER, LIST, OPEN_SUFFIX, PICTURE, camera_name, kind_of, list_of_open, \
    snapshots_folder

DAYS = 7                # the days whose bytes are shown, today's included
CACHE_SECONDS = 10.0    # how long a survey is taken as known


class _Tally:
    """What is found of one camera."""
    __slots__ = ("bytes", "segments", "oldest", "newest", "days", "devices")

    def __init__(self):
        self.bytes = self.segments = 0
        self.oldest = self.newest = None
        self.days, self.devices = {}, set()

    def add(self, size, device=None, day=None):
        self.bytes += size
        if day is not None:
            self.days[day] = self.days.get(day, 0) + size
        if device is not None:
            self.devices.add(device)


def _stat(path):
    try:
        return os.stat(path)
    except (OSError, ValueError):
        return None


def _local_day(mtime):
    try:
        return datetime.date.fromtimestamp(mtime)
    except (OverflowError, OSError, ValueError):
        return None


def _naive(moment):
    """A datetime as naive local time (None stays None)."""
    return moment.astimezone().replace(tzinfo=None) if moment is not None and moment.tzinfo else moment


def survey(segments, folders=(), cameras=(), budgets=None, shared=None, list_owner=None, now=None):
    """The storage figures, as ``GET /api/storage`` gives them.

    `segments`: (camera, video, first, last) of each segment (`first` and `last`: the times of
    its first and last frames, naive local datetimes, or None); a video counts with its timestamps
    CSV, on the local day of its modification time. `folders`: (folder, only) pairs looked in for
    event lists (the only one named `only` when it is not None) and their pictures; a list is the
    camera's that `list_owner(path)` names, else that of the segments beside it of its own name
    (the camera its name gives when there are none). `cameras`: names shown even with nothing on disk.
    `budgets`: {camera: {"keep_size": bytes, "keep_days": days}}; `shared`: {"max_size",
    "min_free"} in bytes, one budget over every camera (None: none).

    Returns {"cameras": [{"name", "bytes", "segments", "oldest", "newest", "days": [{"day",
    "bytes"}] (the last DAYS days, oldest first), "per_day" (mean bytes of the days that
    recorded; None), "keep_size", "keep_days", "days_left" (days its footage lasts at that rate
    within its budget; None without a budget or a rate)}], "filesystems": [{"path", "size",
    "free", "cameras"}] (one per file system, by the first folder given on it), "bytes",
    "max_size", "min_free", "at"}.
    """
    now = time.time() if now is None else now
    today = _local_day(now) or datetime.date.today()
    shown_days = [today - datetime.timedelta(days=n) for n in range(DAYS - 1, -1, -1)]
    tallies = {name: _Tally() for name in cameras}
    devices = {}   # device -> the folder it is shown by: a folder given, else a segment's
    for folder, _ in folders:
        st = _stat(folder)
        if st is not None:
            devices.setdefault(st.st_dev, folder)
    beside = {}    # a folder of segments -> {camera: one of its videos there}
    for camera, video, first, last in segments:
        st = _stat(video)
        if st is None:
            continue
        t = tallies.setdefault(camera, _Tally())
        stamps = _stat(video + ".csv")
        size = st.st_size + (stamps.st_size if stamps is not None else 0)
        t.add(size, device=st.st_dev, day=_local_day(st.st_mtime))
        t.segments += 1
        folder = os.path.dirname(video)
        beside.setdefault(folder, {}).setdefault(camera, video)
        if st.st_dev not in devices:
            devices[st.st_dev] = os.path.abspath(folder)
        begin = _naive(first) or datetime.datetime.fromtimestamp(st.st_mtime)
        end = _naive(last) or datetime.datetime.fromtimestamp(st.st_mtime)
        t.oldest = begin if t.oldest is None else min(t.oldest, begin)
        t.newest = end if t.newest is None else max(t.newest, end)
    by_folder = {}
    for folder, found in beside.items():
        by_folder.setdefault(os.path.realpath(folder or "."), {}).update(found)
    for path in _lists(folders):
        listing = list_of_open(path) or path
        st = _stat(path)
        if st is None:
            continue
        camera = (list_owner and list_owner(listing)) or _list_camera(listing, by_folder)
        t = tallies.setdefault(camera, _Tally())
        t.add(st.st_size, device=st.st_dev)
        if path == listing:
            for picture in _pictures(snapshots_folder(listing)):
                t.add(picture.st_size)
    entries = []
    rates = {}
    for name in sorted(tallies):
        t = tallies[name]
        days = [{"day": d.isoformat(), "bytes": t.days.get(d, 0)} for d in shown_days]
        recorded = [d["bytes"] for d in days if d["bytes"]]
        rates[name] = sum(recorded) / len(recorded) if recorded else None
        own = (budgets or {}).get(name) or {}
        entries.append({"name": name, "bytes": t.bytes, "segments": t.segments,
                        "oldest": t.oldest and t.oldest.isoformat(), "newest": t.newest and t.newest.isoformat(),
                        "days": days, "per_day": rates[name] and round(rates[name]),
                        "keep_size": own.get("keep_size"), "keep_days": own.get("keep_days"),
                        "devices": t.devices})
    filesystems = []
    for device, folder in sorted(devices.items(), key=lambda kv: kv[1]):
        try:
            st = os.statvfs(folder)
        except (OSError, AttributeError):
            continue
        filesystems.append({"path": folder, "size": st.f_blocks * st.f_frsize, "free": st.f_bavail * st.f_frsize,
                            "cameras": sorted(e["name"] for e in entries if device in e["devices"]),
                            "device": device})
    total = sum(e["bytes"] for e in entries)
    shared = shared or {}
    max_size, min_free = shared.get("max_size"), shared.get("min_free")
    room = _shared_room(max_size, min_free, total, filesystems)
    all_rate = sum(r for r in rates.values() if r) or None
    for e in entries:
        e["days_left"] = days_left(e["keep_size"], e["keep_days"], rates[e["name"]], room, all_rate)
        e.pop("devices")
    for fs in filesystems:
        fs.pop("device")
    return {"cameras": entries, "filesystems": filesystems, "bytes": total, "max_size": max_size,
            "min_free": min_free, "at": datetime.datetime.fromtimestamp(now).isoformat(timespec="seconds")}


def _list_camera(listing, by_folder):
    """The camera of an event list: that of the segments beside it whose name gives the camera its
    own name gives, else that name."""
    own = camera_name(listing)
    cameras = by_folder.get(os.path.realpath(os.path.dirname(listing) or "."), {})
    return next((camera for camera, video in sorted(cameras.items()) if camera_name(video) == own), own)


def _shared_room(max_size, min_free, total, filesystems):
    """The bytes every camera's footage may take in all under the service's budget: `max_size`,
    and with `min_free` no more than what is there now and the free space above it (None: no
    such budget)."""
    limits = []
    if max_size is not None:
        limits.append(max_size)
    if min_free is not None and filesystems:
        limits.append(max(0, total + sum(fs["free"] for fs in filesystems) - min_free))
    return min(limits) if limits else None


def days_left(keep_size, keep_days, rate, room=None, all_rate=None):
    """The days a camera's footage lasts: its `keep_size` at its own `rate` (bytes a day), the
    service's `room` at every camera's `all_rate` (the oldest go first across cameras), and its
    `keep_days`; the fewest of them. None without a budget, or with a size budget and no rate of
    its own."""
    found = []
    if keep_size is not None and rate:
        found.append(keep_size / rate)
    if room is not None and rate and all_rate:
        found.append(room / all_rate)
    if keep_days is not None:
        found.append(float(keep_days))
    return round(min(found), 1) if found else None


def _lists(folders):
    """The event lists under `folders` (an open event beside its list too), not in index folders."""
    for folder, only in folders:
        if only is not None:
            for path in (os.path.join(folder, only), os.path.join(folder, only) + OPEN_SUFFIX):
                if os.path.isfile(path):
                    yield path
            continue
        for top, subfolders, names in os.walk(folder):
            subfolders[:] = [d for d in subfolders if d != INDEX_FOLDER]
            for name in names:
                if kind_of(list_of_open(name) or name) == LIST:
                    yield os.path.join(top, name)


def _pictures(folder):
    """The stat of each event picture in `folder`."""
    try:
        entries = list(os.scandir(folder))
    except OSError:
        return
    for entry in entries:
        if PICTURE.fullmatch(entry.name):
            try:
                yield entry.stat(follow_symlinks=False)
            except OSError:
                pass


def survey_view(view, now=None):
    """`survey` of what the web view `view` (quarrin.web.data.View) shows: the index's segments,
    each of the camera whose output made it, the event lists under its folders; under a service
    (its provider has `outputs`), every camera, each one's lists by its output's names, its
    `budgets()` and the service's `storage()` when the provider has them."""
    from quarrin import layout

    provider = view.provider
    segments = [(camera, s.video, s.first, s.last) for camera, s in view.owned_segments()]
    folders = sorted({(r.top, r.only) for store in view.index.stores for r in store.roots})
    outputs = getattr(provider, "outputs", None)
    outputs = outputs() if outputs is not None else {}
    patterns = []
    for name, output in sorted(outputs.items()):
        try:
            pattern = layout.Pattern(output)
        except layout.Unfollowable:
            continue
        patterns.append((name, pattern))
        if not any(layout.within(pattern.folder, top) for top, _ in folders) and os.path.isdir(pattern.folder):
            folders.append((pattern.folder, None))
    patterns.sort(key=lambda owner: -len(owner[1].videos.pattern))

    def owner(path):
        path = os.path.abspath(path)
        return next((name for name, pattern in patterns if pattern.is_list(path)), None)

    budgets = getattr(provider, "budgets", None)
    shared = getattr(provider, "storage", None)
    return survey(segments, folders, cameras=outputs, budgets=budgets() if budgets is not None else None,
                  shared=shared() if shared is not None else None, list_owner=owner, now=now)


class Cached:
    """The answer of `make()` (a blocking call), made again once it is older than `seconds`; calls
    meanwhile share it, and calls while it is made wait for that one."""

    def __init__(self, make, seconds=CACHE_SECONDS):
        self.make, self.seconds = make, seconds
        self._lock = threading.Lock()
        self._made = None   # (monotonic time, answer)

    def get(self):
        with self._lock:
            if self._made is None or time.monotonic() - self._made[0] >= self.seconds:
                self._made = (time.monotonic(), self.make())
            return self._made[1]
