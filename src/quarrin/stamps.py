"""The timestamps CSV beside every video: its header, the writer a recording hands the engine, and
the one reader that `quarrin check`, the index, the event lists' repair and the web view share.

``out.avi.csv`` holds a header ``inframe,outframe,timestamp``, then one row per frame written:
the input frame number, the output frame number from 0, the frame's ISO 8601 time. Rows are
written as csv.writer writes them (``\\r\\n`` line ends), each flushed with its frame, so a file
cut off by a killed process or a full disk ends at most in one line cut short.

The reader takes what other tools make of such a file too: a byte-order mark, spaces around fields
and quoted fields (as a spreadsheet saves them), any ISO 8601 time (`read_time`), line ends of
``\\n``, ``\\r\\n`` or ``\\r``. A line still being written (no line end) is never taken for a row.
"""
import csv
import dataclasses
import datetime
import errno
import os
import re
import stat

HEADER = ("inframe", "outframe", "timestamp")
BOM = b"\xef\xbb\xbf"
CUT = "is cut off"
_NOT_A_ROW = "is not " + ",".join(HEADER)
_TAIL = 4096                    # bytes read from a file's end for its last row
_HEAD = 512                     # bytes read from its start for the header and the first row
_CHUNK = 1 << 16
_HEADER_BYTES = ",".join(HEADER).encode()


class Writer:
    """The timestamps CSV of each segment of one recording, as the engine writes its rows: `open`
    for each segment (its name already claimed, created empty), `write` for each frame, whose row
    reaches the OS with it, `close` at the segment's end (a failing close raises: the rows may not
    be on disk)."""

    def __init__(self):
        self.file = self.writer = None

    def open(self, name):
        if self.file is not None:
            self.close()
        self.file = open(name, "w", newline="")
        self.writer = csv.writer(self.file)
        self.writer.writerow(HEADER)

    def write(self, inframe, outframe, timestamp):
        self.writer.writerow([inframe, outframe, timestamp])
        self.file.flush()

    def close(self):
        file, self.file, self.writer = self.file, None, None
        if file is not None:
            file.close()


# ---- times ------------------------------------------------------------------------------------

# The ISO 8601 times other tools write besides ours: basic or extended, a week date, a date and
# time joined by any one character, a fraction of any length after "." or ",", an offset.
_ISO_TIME = re.compile(
    r"(?P<date>(?P<y>\d{4})(?:-(?P<m>\d{2})-(?P<d>\d{2})|(?P<m2>\d{2})(?P<d2>\d{2})"
    r"|-?W(?P<w>\d{2})(?:-?(?P<wd>\d))?))"
    r"(?:[^\d](?P<H>\d{2})(?::?(?P<M>\d{2})(?::?(?P<S>\d{2})(?:[.,](?P<f>\d+))?)?)?"
    r"(?P<zone>[Zz]|[+-]\d{2}(?::?\d{2}(?::?\d{2}(?:[.,]\d+)?)?)?)?)?", re.ASCII)


def read_time(text):
    """A time as ISO 8601 text, as `datetime.fromisoformat` of Python 3.11 and later reads it on
    any version: also basic times (20261208T105603), week dates, one or two digits of a fraction
    (05.5) or more than six (cut to six), and a 60th second (a leap second), as the next minute.
    Only ASCII digits count. ValueError when it is none."""
    if text.isascii():
        try:
            return datetime.datetime.fromisoformat(text)
        except ValueError:
            pass
    m = _ISO_TIME.fullmatch(text)
    if m is None:
        raise ValueError("not an ISO 8601 time: %r" % (text,))
    year = int(m["y"])
    if m["w"] is not None:
        day = datetime.date.fromisocalendar(year, int(m["w"]), int(m["wd"] or 1))
    else:
        day = datetime.date(year, int(m["m"] or m["m2"]), int(m["d"] or m["d2"]))
    second = int(m["S"] or 0)
    leap = second == 60
    moment = datetime.datetime.combine(day, datetime.time(
        int(m["H"] or 0), int(m["M"] or 0), 59 if leap else second, int((m["f"] or "0")[:6].ljust(6, "0")),
        _zone(m["zone"])))
    return moment + datetime.timedelta(seconds=1) if leap else moment


def _zone(text):
    if not text:
        return None
    if text in "Zz":
        return datetime.timezone.utc
    digits = re.sub(r"[:,.]", "", text[1:])
    seconds = int(digits[:2]) * 3600 + int(digits[2:4] or 0) * 60 + int(digits[4:6] or 0)
    return datetime.timezone(datetime.timedelta(seconds=-seconds if text[0] == "-" else seconds))


def local_time(text):
    """A row's time as a naive datetime in local time (an aware one turned to it)."""
    moment = read_time(text)
    return moment if moment.tzinfo is None else moment.astimezone().replace(tzinfo=None)


# ---- reading ----------------------------------------------------------------------------------

@dataclasses.dataclass
class Line:
    """A data line: its number in the file, the offset where it ends (its line end included),
    whether its fields make a row, what is wrong with it (None: nothing), and a row's values (its
    time as written)."""
    number: int
    end: int
    formed: bool
    wrong: str | None = None
    inframe: int | None = None
    outframe: int | None = None
    timestamp: str | None = None


@dataclasses.dataclass
class Table:
    """A timestamps CSV as read: its data lines (blank ones left out), the offset where they start,
    and what is wrong with the file as a whole (missing, unreadable, no header). `header` is False
    when the lines could not be read for want of a header."""
    lines: list = dataclasses.field(default_factory=list)
    start: int = 0
    problems: list = dataclasses.field(default_factory=list)
    header: bool = False
    found: bool = False      # a regular file was read
    unfinished: bool = True  # holds no complete data line, and at most the header or a cut-off start of it

    @property
    def rows(self):
        """The data lines that are rows (in sequence or not)."""
        return sum(line.formed for line in self.lines)

    @property
    def leading(self):
        """How many data lines from the first are rows with nothing wrong."""
        count = 0
        while count < len(self.lines) and self.lines[count].wrong is None:
            count += 1
        return count

    @property
    def cut_tail(self):
        """Whether the lines after the leading good rows are a single line cut off at the end."""
        after = self.lines[self.leading:]
        return len(after) == 1 and after[0].wrong == CUT

    def end_after(self, count):
        """The offset where the `count`-th data line ends (the header's end for 0)."""
        return self.lines[count - 1].end if count else self.start


def read(path):
    """The timestamps CSV at `path` as a Table. A data line is wrong when its fields are not
    inframe,outframe,timestamp, when its output frame is neither its place among the data lines
    (from 0) nor one past the row before it, or when it has no line end (it was cut off)."""
    table = Table()
    table.lines.extend(_scan(path, table))
    table.unfinished = table.unfinished and all(line.wrong == CUT for line in table.lines)
    wrong = [line for line in table.lines if line.wrong is not None]
    if wrong:
        more = len(wrong) - 1
        table.problems.append("line %d of the CSV %s%s" % (wrong[0].number, wrong[0].wrong, " (and %d more wrong "
                              "line%s after it)" % (more, "" if more == 1 else "s") if more else ""))
    return table


def rows(path):
    """The rows (`Line`s that are rows, in sequence or not) of the timestamps CSV at `path`, read
    as they are wanted; a first line that is a row where the header should be is one too. A
    generator: nothing when the file cannot be read."""
    return (line for line in _scan(path, Table(), headerless=True) if line.formed)


def lines(path):
    """Every data line (`Line`) of the timestamps CSV at `path`, read as they are wanted, as
    `rows` reads them; the first that is no row tells where a recording's rows end."""
    return _scan(path, Table(), headerless=True)


def first_time(path):
    """The time of the first row of a timestamps CSV (naive, local), or None."""
    for line in rows(path):
        return local_time(line.timestamp)
    return None


def _scan(path, table, headerless=False):
    """The data lines of the file at `path`, read a chunk at a time; `table` gets what is known of
    the file as a whole. `headerless`: a row where the header should be is the first data line."""
    name = os.path.basename(path)
    try:
        f = _open_regular(path)
    except FileNotFoundError:
        table.problems.append("no timestamps CSV %s" % path)
        return
    except OSError as exc:
        table.problems.append("cannot read %s: %s" % (name, exc.strerror or exc))
        table.unfinished = False
        return
    with f:
        table.found = True
        split = _split(f)
        first = next(split, b"")
        at = len(BOM) if first.startswith(BOM) else 0
        number, previous, place = 1, -1, 0
        if _fields(first[at:].rstrip(b"\r\n")) != list(HEADER):
            if not (headerless and _malformed(_fields(first[at:].rstrip(b"\r\n"))) is None):
                # Empty, or cut off in its header, as a recording leaves it before its first row.
                table.unfinished = not next(split, b"") and (",".join(HEADER) + "\r\n").encode().startswith(first[at:])
                table.problems.append("%s %s" % (name, "has no header %s" % ",".join(HEADER) if first[at:] else
                                                 "is empty (no header)"))
                return
            split, number = _again(first[at:], split), 0
        else:
            table.header, at = True, len(first)
            table.start = at
        first_number = number + 1
        for number, text in enumerate(split, start=first_number):
            at += len(text)
            if not text.strip():
                continue
            fields = _fields(text.rstrip(b"\r\n"))
            wrong = _malformed(fields) if text.endswith((b"\n", b"\r")) else CUT
            line = Line(number, at, wrong is None, wrong)
            if line.formed:
                line.inframe, line.outframe, line.timestamp = int(fields[0]), int(fields[1]), fields[2]
                # In sequence: its place among the lines, or one past the row before it (so that a row
                # repeated or left out is one wrong line, not every line after it).
                if line.outframe not in (place, previous + 1):
                    line.wrong = "has output frame %d, not %d" % (line.outframe, previous + 1)
                previous = line.outframe
            place += 1
            yield line


def _again(first, rest):
    yield first
    yield from rest


def _split(f):
    """The lines of a binary file with their line ends (\\n, \\r\\n or \\r), the last one as it ends."""
    rest = b""
    while True:
        chunk = f.read(_CHUNK)
        if not chunk:
            break
        parts = (rest + chunk).splitlines(keepends=True)
        # The last part may go on in the next chunk: no line end yet, or a \r a \n may follow.
        rest = parts.pop() if parts and not parts[-1].endswith(b"\n") else b""
        yield from parts
    if rest:
        yield rest


def _open_regular(path):
    """A regular file opened for reading; OSError for anything else (a FIFO is not waited on)."""
    fd = os.open(path, os.O_RDONLY | getattr(os, "O_NONBLOCK", 0))
    try:
        kind = file_kind(os.fstat(fd).st_mode)
        if kind:
            raise OSError(errno.EINVAL, "not a regular file (%s)" % kind)
        return os.fdopen(os.dup(fd), "rb")
    finally:
        os.close(fd)


def file_kind(mode):
    """What a file that is not a regular one is (None for a regular file)."""
    for test, kind in ((stat.S_ISREG, None), (stat.S_ISDIR, "a folder"), (stat.S_ISFIFO, "a FIFO"),
                       (stat.S_ISCHR, "a character device"), (stat.S_ISBLK, "a block device"),
                       (stat.S_ISSOCK, "a socket")):
        if test(mode):
            return kind
    return "an unknown kind of file"


def _fields(text):
    try:
        fields = next(csv.reader([text.decode("utf-8", "replace")]), [])
    except csv.Error:  # a NUL byte, before Python 3.11
        return None
    return [field.strip() for field in fields]


def _malformed(fields):
    if fields is None:
        return _NOT_A_ROW
    if len(fields) != 3:
        return "has %d fields, not 3" % len(fields)
    try:
        inframe = int(fields[0])
        int(fields[1])
        read_time(fields[2])
    except (ValueError, OverflowError):
        return _NOT_A_ROW
    if inframe < 0:
        return "has a negative input frame"
    return None


def row_time(line):
    """The time (text) of a complete line that is a row, or None."""
    fields = _fields(line.rstrip(b"\r\n"))
    return fields[2] if _malformed(fields) is None else None


# ---- the ends of a file, for the index --------------------------------------------------------

def ends(path, size, before=None, stored=lambda text: text):
    """(newlines, first, last) of the timestamps CSV at `path` (its first `size` bytes): its
    complete lines, the header's included, and the times of its first and last rows (`stored`
    makes them what the caller keeps); None when it is no timestamps CSV. `before`: (size,
    newlines, first) as kept for the same file: when it only grew, just the bytes added are
    counted. Only the ends of the file are parsed, so a growing file costs the bytes it grew by."""
    with open(path, "rb") as f:
        head = f.read(min(size, _HEAD))
        at = len(BOM) if head.startswith(BOM) else 0
        if not head[at:].startswith(_HEADER_BYTES) and _fields((head[at:].splitlines() or [b""])[0]) != list(HEADER):
            return None
        lines = head.split(b"\n")
        first = _stored_time(lines[1], stored) if len(lines) > 2 else None
        if before is not None and before[0] < size and before[1] and before[2] == first:
            f.seek(before[0])
            newlines = before[1] + _count_newlines(f, size - before[0])
        else:
            newlines = _count_newlines(f, size, head)
        last = None
        if newlines > 1:
            at = max(0, size - _TAIL)
            f.seek(at)
            data = f.read(size - at)
            tail = data[:data.rfind(b"\n") + 1].split(b"\n")[:-1]
            for line in reversed(tail[1:] if at else tail):   # a line cut by the seek is no row
                last = _stored_time(line, stored)
                if last is not None:
                    break
    return newlines, first, last if last is not None else first


def _stored_time(line, stored):
    text = row_time(line)
    if text is None:
        return None
    try:
        return stored(text)
    except (ValueError, OverflowError):
        return None


def _count_newlines(f, size, head=b""):
    count = head.count(b"\n")
    size -= len(head)
    while size > 0:
        chunk = f.read(min(size, 1 << 20))
        if not chunk:
            break
        count += chunk.count(b"\n")
        size -= len(chunk)
    return count
