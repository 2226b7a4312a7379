"""The files of a recording: how they are named, and how to tell them apart from everything else.

Every convention of the files on disk lives here. For an OUTPUT such as ``cam/door.avi`` or
``cam/%Y-%m-%d/door-%H%M%S.avi``:

- `expand` names a segment: OUTPUT with its strftime fields expanded now, in local time;
- `Namer` numbers and claims the segments' names: the video and its timestamps CSV are created
  exclusively, so two recordings into one OUTPUT never share a file. Names are OUTPUT itself,
  then OUTPUT_001.ext, ... when it is taken; OUTPUT_000.ext, OUTPUT_001.ext, ... for a recording
  split by frames; an OUTPUT with fields is expanded for each segment, in its folders (created),
  and numbered from _001 only when the name is taken;
- a video's timestamps CSV is `csv_of` it (``door.avi.csv``; its contents are `quarrin.stamps`'); a
  segment is its video and that CSV (`segment_files`, `remove_segment`);
- `events_path` is the event list of a recording (cam/door.events.csv); `open_new` opens an
  event list or a report under a new name (report.csv, report_001.csv, ...); `snapshot_path` is
  where an event's picture goes, in a folder named as its list (cam/door.events/0001.jpg);
- `Pattern` recognises the files a recording into OUTPUT may have written: names strftime can
  produce for it (in the current locale), with their numbers, and nothing else. It refuses an
  OUTPUT whose names it cannot follow (`Unfollowable`). `kind_of` tells any event list or
  timestamps CSV by its name;
- `camera_name` is the camera a file belongs to, from its name; `may_share_files` says whether
  two outputs in one folder could write a file of the same name (batch keeps its outputs apart);
- `MIN_ROI_WIDTH` and `MIN_ROI_HEIGHT` are the smallest region a video is written with.
"""
import contextlib
import datetime
import functools
import os
import re
import threading
import time

from quarrin.stamps import HEADER as CSV_HEADER  # noqa: F401 (kept for callers; the CSV's own module owns it)

CSV_SUFFIX = ".csv"
# An event list is named as the output, with this before the CSV's suffix (and a number between).
EVENTS_MARK = ".events"
EVENTS_SUFFIX = EVENTS_MARK + CSV_SUFFIX
# The index of the events and segments under a folder: FOLDER/.quarrin/index.sqlite (scans skip
# the folder).
INDEX_FOLDER = ".quarrin"
INDEX_NAME = "index.sqlite"
# OpenCV's writers corrupt memory on narrower frames (its colour conversion writes past its buffer)
# and, with MJPG, on frames one row high. The engine refuses them too, for vcapture (a test ties
# its limits to these).
MIN_ROI_WIDTH = 8
MIN_ROI_HEIGHT = 2


def expand(output, when=None):
    """OUTPUT with its strftime fields expanded (local time, now or at the struct_time `when`)."""
    if "%" not in output:
        return output
    return time.strftime(output) if when is None else time.strftime(output, when)


def _local_fields(when):
    """The local time of a datetime as strftime takes it (None, now, for one it cannot give)."""
    if when is None:
        return None
    try:
        return time.localtime(when.timestamp())
    except (AttributeError, OverflowError, OSError, ValueError):
        return None


def events_path(output):
    """Where a recording into `output` (expanded) lists its events: out/door.avi -> out/door.events.csv."""
    return os.path.splitext(output)[0] + EVENTS_SUFFIX


# The name of an event's picture in its list's folder (snapshot_path).
PICTURE = re.compile(r"\d{4,}\.jpg")


# An event still open beside its list: out/door.events.csv.open.
OPEN_SUFFIX = ".open"


def open_event_path(event_list):
    """Where the open event of an event list waits: out/door.events.csv -> out/door.events.csv.open."""
    return event_list + OPEN_SUFFIX


def list_of_open(path):
    """The event list whose open event `path` is (None when it names none)."""
    return path[:-len(OPEN_SUFFIX)] if path.endswith(OPEN_SUFFIX) else None


def snapshot_path(folder, number):
    """The picture of event `number` in `folder`: 0001.jpg, ..."""
    return os.path.join(folder, "%04d.jpg" % number)


def snapshots_folder(event_list):
    """The folder of the pictures of an event list's events: out/door.events.csv -> out/door.events,
    out/door.events_001.csv -> out/door.events_001."""
    return event_list[:-len(CSV_SUFFIX)] if event_list.endswith(CSV_SUFFIX) else event_list + ".d"


def index_path(folder):
    """The index kept in `folder`: cams -> cams/.quarrin/index.sqlite."""
    return os.path.join(folder, INDEX_FOLDER, INDEX_NAME)


def csv_of(video):
    """The timestamps CSV beside a video: out/door.avi -> out/door.avi.csv."""
    return video + CSV_SUFFIX


def video_of(path):
    """The video whose timestamps CSV `path` is (None when it names none)."""
    return path[:-len(CSV_SUFFIX)] if path.endswith(CSV_SUFFIX) else None


def segment_files(video):
    """The files of a segment: its video and its timestamps CSV."""
    return video, csv_of(video)


def numbered_stem(stem, number):
    """door, 3 -> door_003: a name's stem with a segment's (or a repeated name's) number."""
    return "%s_%03d" % (stem, number)


def numbered(name, number):
    """out/door.avi, 3 -> out/door_003.avi: the number goes before the file name's own extension."""
    root, ext = os.path.splitext(name)
    return numbered_stem(root, number) + ext


def repeated(name, number):
    """clip.avi, 2 -> clip-2.avi: the name of the `number`-th of several inputs of one name (batch's
    outputs), kept apart from segment numbers."""
    root, ext = os.path.splitext(name)
    return "%s-%d%s" % (root, number, ext)


def create_exclusively(path):
    """Creates `path` empty; False when it exists already."""
    try:
        os.close(os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666))
    except FileExistsError:
        return False
    return True


def remove_segment(video, missing_ok=False):
    """Removes a segment's video and CSV, trying both; raises the first failure (a file already
    gone is none when `missing_ok`)."""
    first = None
    for path in segment_files(video):
        try:
            os.unlink(path)
        except FileNotFoundError as exc:
            if not missing_ok:
                first = first or exc
        except OSError as exc:
            first = first or exc
    if first is not None:
        raise first


def open_new(path):
    """Opens `path` for writing, or a numbered name beside it when it exists (report.csv,
    report_001.csv, ...): an earlier file is never overwritten. Returns (file, path)."""
    candidate, number = path, 0
    while True:
        try:
            return open(candidate, "x", newline=""), candidate
        except FileExistsError:
            number += 1
            candidate = numbered(path, number)


class Namer:
    """Claims the name of each segment of a recording into `output`; `numbered` when the recording
    is split by frames (out_000.avi, out_001.avi, ...). Strftime fields take the time of the
    segment's first frame, as its CSV gives it (a file's input time), or with `by_clock` (a camera,
    a live source) the wall clock as the segment opens.

    `held` is every name claimed and not yet closed or given back: the segment being written and
    the next, already claimed. Claims and `lock` exclude each other, so that whoever deletes files
    of this output under `lock` never removes a name while it is being claimed. Each held video
    is also locked shared (flock) while it is held: another process (the service's budget) tells
    by `locked_by_other` that it must not delete it."""

    def __init__(self, output, numbered=False, by_clock=True):
        self.output, self.numbered, self.by_clock = output, numbered, by_clock
        self.fields = "%" in output
        self.first = None   # the local time the first name was made of (struct_time)
        self.counter = 0
        self.held = set()
        self.lock = threading.Lock()
        self._locks = {}    # held name -> the descriptor of its shared lock

    def claim(self, when: datetime.datetime | None = None) -> str:
        """The next free name, claimed (its video and CSV created empty); `when` is the time of
        the segment's first frame (a datetime; None: now)."""
        with self.lock:
            name = self._next(when)
            self.held.add(name)
            self._locks[name] = _lock_shared(name)
            return name

    def _let_go(self, name):
        fd = self._locks.pop(name, None)
        if fd is not None:
            os.close(fd)

    def _next(self, when):
        if self.fields:
            fields = (None if self.by_clock else _local_fields(when)) or time.localtime()
            self.first = self.first or fields
            name = expand(self.output, fields)
            folder = os.path.dirname(name)
            if folder:
                os.makedirs(folder, exist_ok=True)
            number, candidate = 1, name
            while self._taken(candidate):
                candidate = numbered(name, number)
                number += 1
            return candidate
        # The output itself is tried once, for the first segment; after that, numbered names.
        candidate = self.output if not self.numbered and self.counter == 0 else numbered(self.output, self.counter)
        while True:
            taken = self._taken(candidate)
            self.counter += 1
            if not taken:
                return candidate
            candidate = numbered(self.output, self.counter)

    @staticmethod
    def _taken(name):
        """Claims `name` by creating its video, then its CSV; a name whose CSV is taken gives its
        video back."""
        if not create_exclusively(name):
            return True
        if create_exclusively(csv_of(name)):
            return False
        os.unlink(name)
        return True

    def expanded(self):
        """The output expanded as its first segment's name was (now, before any)."""
        return expand(self.output, self.first)

    def give_back(self, name: str) -> None:
        """A claimed name whose segment was never opened: its empty files are removed."""
        with self.lock:
            self.held.discard(name)
            self._let_go(name)
            remove_segment(name)

    def closed(self, name: str) -> None:
        """The segment's files are complete: the name is no longer held."""
        with self.lock:
            self.held.discard(name)
            self._let_go(name)

    def holds(self, path):
        """Whether `path` (absolute) is the video or CSV of a name held now; call with `lock` held."""
        return any(path in segment_files(v) for v in map(os.path.abspath, self.held))


def _lock_shared(video):
    """A descriptor of `video` holding a shared flock on it (None where there are no locks)."""
    try:
        import fcntl
    except ImportError:
        return None
    try:
        fd = os.open(video, os.O_RDONLY)
    except OSError:
        return None
    try:
        fcntl.flock(fd, fcntl.LOCK_SH)
    except OSError:
        os.close(fd)
        return None
    return fd


@contextlib.contextmanager
def locked_by_other(video):
    """Whether a recording holds `video` claimed (its Namer's shared lock), as the block's value;
    while the block runs, `video` stays locked exclusively, so that no recording claims it
    meanwhile. A video that cannot be opened is not held."""
    try:
        import fcntl
        fd = os.open(video, os.O_RDONLY)
    except (ImportError, OSError):
        yield False
        return
    try:
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            yield True
            return
        except OSError:
            pass
        yield False
    finally:
        os.close(fd)


# ---- recognising a recording's own files ---------------------------------------------------------

class Unfollowable(ValueError):
    """An OUTPUT whose names cannot be told from other files (the message says why)."""


# A strftime field as glibc reads it: flags, width, an E or O modifier, the conversion.
_FIELD = re.compile(r"%([-_0^#]*)(\d*)([EO]?)(.?)", re.S)
# Fields of the year, or of the time since the epoch: not found by trying times, but written out
# (for years 1000 to 9999).
_YEARLY = {"Y": r"[1-9]\d{3}", "G": r"[1-9]\d{3}", "C": r"[1-9]\d", "s": r"[1-9]\d*"}
_TWO_DIGIT_YEARS = {"": r"\d{2}", "-": r"[1-9]?\d", "_": r"[ 1-9]\d"}
# Fields made of others; those of the locale come from it.
_COMPOSITE = {"D": "%m/%d/%y", "F": "%Y-%m-%d", "T": "%H:%M:%S", "R": "%H:%M"}
_LOCALE_COMPOSITE = {"c": "D_T_FMT", "x": "D_FMT", "X": "T_FMT", "r": "T_FMT_AMPM"}
# A segment's number: from _000 without fields (3 digits at least, no more zeros), from _001 with.
_NUMBER = r"(?:_(?:\d{3}|[1-9]\d{3,}))?"
_NUMBER_FROM_1 = r"(?:_(?:00[1-9]|0[1-9]\d|[1-9]\d{2,}))?"


@functools.cache
def _sample_times():
    """Local times that give every value of each field that does not depend on the year: every day
    of a 28-year cycle (weekdays, week and day numbers, zone names and offsets), at noon, and every
    hour, minute and second of a day in winter and in summer (a change of clocks skips an hour of
    one day only)."""
    def local(*fields):
        return time.localtime(time.mktime(fields + (0, 0, -1)))

    times = []
    day = datetime.date(2000, 1, 1)
    while day.year < 2028:
        times.append(local(day.year, day.month, day.day, 12, 0, 0))
        day += datetime.timedelta(days=1)
    for month in (1, 7):
        times += [local(2026, month, 15, hour, 0, 0) for hour in range(24)]
        times += [local(2026, month, 15, 12, minute, 0) for minute in range(60)]
        times += [local(2026, month, 15, 12, 0, second) for second in range(60)]
    return tuple(times)


@functools.cache
def _field_regex(field):
    """A regex for the values strftime gives `field` (such as "%-d" or "%b")."""
    m = _FIELD.fullmatch(field)
    flags, width, modifier, conv = m.groups()
    if conv == "":
        return re.escape(time.strftime(field))
    if conv in _YEARLY or conv in "yg":
        if width or (modifier and _locale_has(modifier)):
            raise Unfollowable("its field %s" % field)
        if conv in _YEARLY:
            return _YEARLY[conv]
        pad = [f for f in flags if f in "-_0"]  # the last one counts; 0 is the default
        return _TWO_DIGIT_YEARS[pad[-1] if pad and pad[-1] != "0" else ""]
    if conv in _COMPOSITE or conv in _LOCALE_COMPOSITE:
        if flags or width:
            raise Unfollowable("its field %s" % field)
        if conv in _COMPOSITE:
            return _template_regex(_COMPOSITE[conv])
        import locale

        inner = locale.nl_langinfo(getattr(locale, _LOCALE_COMPOSITE[conv]))
        if not inner or re.search(r"%[-_0^#\d]*[EO]?[" + "".join(_LOCALE_COMPOSITE) + "]", inner):
            raise Unfollowable("its field %s" % field)
        return _template_regex(inner)
    return "(?:%s)" % _alternatives({time.strftime(field, t) for t in _sample_times()})


def _alternatives(values):
    """A regex for exactly the texts `values`, as a tree of their common beginnings with the
    characters that lead to the same rest in one class: the 366 days of %j compile in a fraction
    of the time a list of them takes."""
    tree = {}
    for value in values:
        node = tree
        for char in value:
            node = node.setdefault(char, {})
        node[""] = None
    return _tree_regex(tree)


def _tree_regex(node):
    by_rest = {}
    for char, child in node.items():
        if char:
            by_rest.setdefault(_tree_regex(child), []).append(char)
    branches = []
    for rest, chars in sorted(by_rest.items()):
        head = re.escape(chars[0]) if len(chars) == 1 else "[%s]" % "".join(map(re.escape, sorted(chars)))
        branches.append(head + rest)
    if not branches:
        return ""
    body = branches[0] if len(branches) == 1 else "(?:%s)" % "|".join(branches)
    return "(?:%s)?" % body if "" in node else body


def _locale_has(modifier):
    """Whether the locale gives E (eras) or O (other digits) fields values of their own."""
    import locale

    return bool(locale.nl_langinfo(locale.ERA if modifier == "E" else locale.ALT_DIGITS))


def _template_regex(template):
    parts, at = [], 0
    for m in _FIELD.finditer(template):
        parts.append(re.escape(template[at:m.start()]))
        parts.append(_field_regex(m.group(0)))
        at = m.end()
    parts.append(re.escape(template[at:]))
    return "".join(parts)


class Pattern:
    """The files a recording into `output` writes, as regexes over absolute paths: `videos` (each
    video's CSV is the video's name and .csv) and `lists` (its event lists); `folder` is the one
    folder they all lie under. Raises Unfollowable for an OUTPUT they could not be told by."""

    def __init__(self, output):
        path = os.path.join(os.getcwd(), output)
        first = path.find("%")
        if first < 0:
            path = os.path.normpath(path)
            self.folder = os.path.dirname(path)
            root, ext = os.path.splitext(path)
            body, number = re.escape(root), _NUMBER
        else:
            # The folders before the first field are fixed; the rest is read field by field.
            head = os.path.dirname(path[:first])
            self.folder = os.path.normpath(head)
            root, ext = os.path.splitext(path[len(head) + 1:])
            if not ext or "%" in ext:
                raise Unfollowable("its extension must be written out, after the last field")
            if any(part in ("", ".", "..") for part in root.split("/")):
                raise Unfollowable("it has an empty, . or .. folder after its first field")
            body, number = re.escape(os.path.join(self.folder, "")) + _template_regex(root), _NUMBER_FROM_1
        self.videos = re.compile(body + number + re.escape(ext), re.S)
        self.lists = re.compile(body + re.escape(EVENTS_MARK) + _NUMBER_FROM_1 + re.escape(CSV_SUFFIX), re.S)
        if first >= 0:
            self._check(output)

    def _check(self, output):
        """Our reading of the fields must agree with strftime's: names made now and at other times
        of the year must match."""
        for t in _sample_times()[::401]:
            name = os.path.abspath(expand(output, t))
            if not self.videos.fullmatch(name):
                raise Unfollowable("its names (such as %s) are not read as strftime writes them" % name)

    def is_video(self, path):
        return self.videos.fullmatch(path) is not None

    def is_list(self, path):
        return self.lists.fullmatch(path) is not None


def patterns(outputs):
    """The Patterns of the outputs that have one."""
    found = []
    for output in outputs:
        try:
            found.append(Pattern(output))
        except Unfollowable:
            pass
    return found


def shared_name(output, other):
    """A file name (absolute) that recordings into both `output` and `other` could write, their
    numbered segments and event lists included, where case is not told apart; None when they
    can write none in common. Names are tried from each output's own (made at times through the
    years, numbered or not) against the other's pattern; an output whose names cannot be followed
    is compared by the name it has now."""
    try:
        patterns = Pattern(output), Pattern(other)
    except Unfollowable:
        names = [os.path.abspath(expand(o)) for o in (output, other)]
        same_folder = os.path.dirname(names[0]) == os.path.dirname(names[1])
        return names[0] if same_folder and may_share_files(*map(os.path.basename, names)) else None
    folders = [p.folder for p in patterns]
    if not any(within(a, b) for a, b in (folders, folders[::-1])):
        return None
    for mine, (theirs, other_output) in ((output, (patterns[1], other)), (other, (patterns[0], output))):
        videos = re.compile(theirs.videos.pattern, re.S | re.I)
        lists = re.compile(theirs.lists.pattern, re.S | re.I)
        # Their file names begin with this (unless a field can write a slash): a quick sieve.
        last = os.path.basename(other_output)
        begins = "" if _SLASHED.search(other_output) else \
            (last.split("%", 1)[0] if "%" in last else os.path.splitext(last)[0]).lower()
        for name in _sample_names(mine):
            if begins and not os.path.basename(name).lower().startswith(begins):
                continue
            if videos.fullmatch(name):
                return name
            if lists.fullmatch(events_path(name)):
                return events_path(name)
    return None


# Fields whose text may hold a slash (a date, a locale's formats).
_SLASHED = re.compile(r"%[-_0^#\d]*[EO]?[DxXcr]")


@functools.lru_cache(maxsize=64)
def _sample_names(output):
    """Names a recording into `output` may give its segments (absolute), made at the sample
    times; numbered as well for one without fields (a name with fields is numbered only when
    taken, and the other output's names are tried against this one's pattern too)."""
    if "%" not in output:
        name = os.path.abspath(output)
        return (name,) + tuple(numbered(name, number) for number in (0, 1, 1000))
    return tuple(sorted({os.path.abspath(expand(output, t)) for t in _sample_times()}))


def within(path, folder):
    """Whether `path` is `folder` or lies below it (both absolute and normalised)."""
    return path == folder or path.startswith(os.path.join(folder, ""))


# ---- any recording's files, by name ---------------------------------------------------------------

LIST, STAMPS = 1, 2
# Any event list (door.events.csv, door.events_001.csv), and the timestamps CSV of a video (door.avi.csv).
_ANY_LIST = re.compile(re.escape(EVENTS_MARK) + r"(?:_\d+)?" + re.escape(CSV_SUFFIX) + r"\Z")
_ANY_STAMPS = re.compile(r"[^/]\.[^./]+" + re.escape(CSV_SUFFIX) + r"\Z")


def kind_of(name):
    """LIST for an event list's name, STAMPS for a timestamps CSV's, None for any other."""
    if not name.endswith(CSV_SUFFIX):
        return None
    if _ANY_LIST.search(name):
        return LIST
    return STAMPS if _ANY_STAMPS.search(name) else None


_SEP = "-_. T:+"
# A number at either end of a name: a time or date (two digits or more after a separator, four
# or more run on), a segment number (_000).
_NUMBER_AT_END = re.compile(r"(?:[-_. T:+]+\d{2,}|\d{4,})\Z")
_NUMBER_AT_START = re.compile(r"\A(?:\d{2,}[-_. T:+]+|\d{4,})")


def camera_name(path):
    """The camera a recording belongs to, from its output, or from the name of one of its files:
    the file's stem without its strftime fields (or the times and dates they became), segment
    numbers and the separators left at its ends. ``cam/%Y-%m-%d/door-%H%M%S.mp4``,
    ``cam/2026-12-08/door-101500.events.csv`` and ``door-101500_001.mp4`` all give ``door``;
    ``out/yard.avi`` and ``yard.events_001.csv`` give ``yard``. A stem that is nothing but
    times (``%H%M%S.mp4``) takes the name of the nearest folder above that is not."""
    path = os.path.abspath(os.fspath(path))
    name = os.path.basename(path)
    own = _ANY_LIST.sub("", name)
    if own == name:
        own = os.path.splitext(video_of(name) or name)[0]
    stem = own
    while True:
        cleaned = _strip_numbers(stem)
        if cleaned:
            return cleaned
        parent = os.path.dirname(path)
        if parent == path:
            return own
        path = parent
        stem = os.path.basename(path)


def _strip_numbers(stem):
    stem = _FIELD.sub("", stem).strip(_SEP)
    if not stem.strip(_SEP + "0123456789"):
        return ""   # times, dates and numbers only
    while True:
        shorter = _NUMBER_AT_START.sub("", _NUMBER_AT_END.sub("", stem)).strip(_SEP)
        if shorter == stem:
            return stem
        stem = shorter


# Any number after a name's stem that looks like a segment's: batch keeps such names apart too.
_ANY_NUMBER = r"_\d{3,}"


def may_share_files(name, other):
    """Whether recordings into the outputs `name` and `other` (file names in one folder) could
    write files of the same name, where case is not told apart: the same name, or one a numbered
    segment of the other (clip_000.avi belongs to clip.avi)."""
    (stem, ext), (other_stem, other_ext) = (os.path.splitext(n.lower()) for n in (name, other))
    if ext != other_ext:
        return False
    return stem == other_stem or any(re.fullmatch(re.escape(a) + _ANY_NUMBER, b)
                                     for a, b in ((stem, other_stem), (other_stem, stem)))
