"""Where a recording's files go, and how to tell them apart from everything else.

For an OUTPUT such as ``cam/door.avi`` or ``cam/%Y-%m-%d/door-%H%M%S.avi``:

- `expand` names a segment: OUTPUT with its strftime fields expanded now, in local time;
- `Namer` numbers and claims the segments' names: the video and its timestamps CSV are created
  exclusively, so two recordings into one OUTPUT never share a file. Names are OUTPUT itself,
  then OUTPUT_001.ext, ... when it is taken; OUTPUT_000.ext, OUTPUT_001.ext, ... for a recording
  split by frames; an OUTPUT with fields is expanded for each segment, in its folders (created),
  and numbered from _001 only when the name is taken;
- `events_path` is the event list of a recording (cam/door.events.csv);
- `Pattern` recognises the files a recording into OUTPUT may have written: names strftime can
  produce for it (in the current locale), with their numbers, and nothing else. It refuses an
  OUTPUT whose names it cannot follow (`Unfollowable`).
"""
import datetime
import functools
import os
import re
import threading
import time

CSV_SUFFIX = ".csv"


def expand(output, when=None):
    """OUTPUT with its strftime fields expanded (local time, now or at the struct_time `when`)."""
    if "%" not in output:
        return output
    return time.strftime(output) if when is None else time.strftime(output, when)


def events_path(output):
    """Where a recording into `output` (expanded) lists its events: out/door.avi -> out/door.events.csv."""
    return os.path.splitext(output)[0] + ".events.csv"


def numbered(name, number):
    """out/door.avi, 3 -> out/door_003.avi: the number goes before the file name's own extension."""
    root, ext = os.path.splitext(name)
    return "%s_%03d%s" % (root, number, ext)


def create_exclusively(path):
    """Creates `path` empty; False when it exists already."""
    try:
        os.close(os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666))
    except FileExistsError:
        return False
    return True


def remove_claimed(video):
    """Removes a claimed segment's video and CSV, trying both; raises the first failure."""
    first = None
    for path in (video, video + CSV_SUFFIX):
        try:
            os.unlink(path)
        except OSError as exc:
            first = first or exc
    if first is not None:
        raise first


class Namer:
    """Claims the name of each segment of a recording into `output`; `numbered` when the recording
    is split by frames (out_000.avi, out_001.avi, ...).

    `held` is every name claimed and not yet closed or given back: the segment being written and
    the next, already claimed. Claims and `lock` exclude each other, so that whoever deletes files
    of this output under `lock` never removes a name while it is being claimed."""

    def __init__(self, output, numbered=False):
        self.output, self.numbered = output, numbered
        self.fields = "%" in output
        self.counter = 0
        self.held = set()
        self.lock = threading.Lock()

    def claim(self):
        """The next free name, claimed (its video and CSV created empty)."""
        with self.lock:
            name = self._next()
            self.held.add(name)
            return name

    def _next(self):
        if self.fields:
            name = time.strftime(self.output)
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
        if create_exclusively(name + CSV_SUFFIX):
            return False
        os.unlink(name)
        return True

    def give_back(self, name):
        """A claimed name whose segment was never opened: its empty files are removed."""
        with self.lock:
            self.held.discard(name)
            remove_claimed(name)

    def closed(self, name):
        """The segment's files are complete: the name is no longer held."""
        with self.lock:
            self.held.discard(name)

    def holds(self, path):
        """Whether `path` (absolute) is the video or CSV of a name held now; call with `lock` held."""
        return any(path in (v, v + CSV_SUFFIX) for v in map(os.path.abspath, self.held))


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


@functools.lru_cache(maxsize=None)
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


@functools.lru_cache(maxsize=None)
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
    values = sorted({time.strftime(field, t) for t in _sample_times()}, key=lambda v: (-len(v), v))
    return "(?:%s)" % "|".join(map(re.escape, values))


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
        self.lists = re.compile(body + r"\.events" + _NUMBER_FROM_1 + r"\.csv", re.S)
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
