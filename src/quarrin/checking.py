"""Videos against their timestamps CSVs: `quarrin check` and the clean-up after a failed write.

A recording's video ``out.avi`` has ``out.avi.csv`` beside it: a header
``inframe,outframe,timestamp``, then one row per frame written (the input frame number, the
output frame number from 0, the frame's ISO time). A video and its CSV are consistent when the
rows are well formed, their output numbers run 0..n-1, and the video decodes to exactly n frames.

What a cut-off recording leaves (a killed process, a power cut, a full disk) is repaired by
`repair`: a damaged tail of the CSV (a line cut off, rows past the frames the video holds) is
trimmed, and an AVI whose index was never written gets one by a re-mux without re-encoding (PyAV,
the h264 extra), which leaves out a last frame the file ends inside. A wrong row with rows after
it is reported and left alone. The originals are kept as ``*.orig``; a repair that cannot write
(a read-only or full file system) changes nothing and says so.
"""
import contextlib
import dataclasses
import errno
import os
import stat
import struct
import tempfile

from quarrin import stamps
from quarrin.layout import CSV_HEADER, csv_of, remove_segment, video_of
from quarrin.options import VIDEO_EXTENSIONS

ORIG = ".orig"


@dataclasses.dataclass
class Report:
    """What `check_video` found for one video."""
    video: str
    frames: int = 0          # decodable frames
    rows: int = 0            # well-formed data rows
    problems: list = dataclasses.field(default_factory=list)
    repaired: list = dataclasses.field(default_factory=list)   # what --repair did
    unrepaired: list = dataclasses.field(default_factory=list)  # what it could not do
    skipped: str | None = None  # why it was not looked at (it is not a regular file)

    @property
    def ok(self):
        return not self.problems

    def line(self):
        if self.skipped:
            return "%s: skipped: %s" % (self.video, self.skipped)
        if self.ok and not self.repaired:
            return "%s: ok (%d frames)" % (self.video, self.frames)
        parts = list(self.problems)
        if self.repaired:
            parts.append("repaired: " + "; ".join(self.repaired))
        if self.unrepaired:
            parts.append("not repaired: " + "; ".join(self.unrepaired))
        return "%s: %s" % (self.video, "; ".join(parts))


def count_frames(path):
    """The frames a video decodes to (0 when it does not open)."""
    import cv2

    from quarrin import nativelog

    with nativelog.Capture():
        cap = cv2.VideoCapture(os.fspath(path))
        try:
            if not cap.isOpened():
                return 0
            count = 0
            while cap.grab():
                count += 1
            return count
        finally:
            cap.release()


# ---- timestamps CSVs ----------------------------------------------------------------------------

# Read by the module that owns the format; the names stay here for those who look for them here.
BOM, CUT, Line, Table, read_table = stamps.BOM, stamps.CUT, stamps.Line, stamps.Table, stamps.read


# ---- checking and repairing ---------------------------------------------------------------------

def _not_regular(path):
    """Why `path` is not looked at (it exists and is not a regular file), or None."""
    try:
        kind = stamps.file_kind(os.stat(path).st_mode)
    except OSError:
        return None
    return "not a regular file (%s)" % kind if kind else None


def check_video(video):
    """A Report on one video and its CSV."""
    video = os.fspath(video)
    skipped = _not_regular(video)
    if skipped:
        return Report(video, skipped=skipped)
    table = read_table(csv_of(video))
    report = Report(video, rows=table.rows, problems=list(table.problems))
    if not os.path.exists(video):
        report.problems.append("no video %s" % video)
    elif os.path.getsize(video) == 0:
        report.problems.append("the video is empty")
    else:
        report.frames = count_frames(video)
        if report.frames == 0:
            report.problems.append("no frame of the video can be decoded")
    if report.frames != report.rows:
        report.problems.append("%d frames in the video, %d rows in the CSV" % (report.frames, report.rows))
    if video.lower().endswith(".avi") and avi_index_missing(video):
        report.problems.append("the AVI has no index (it was not closed)")
    return report


def repair(video):
    """Checks, then repairs what it can; the originals are kept as *.orig (one already there is
    never replaced). A Report of the state after the repair, with what was done and what could not
    be. A repair that fails (a read-only or full file system) leaves the file it was making as it
    was, and says why in the report."""
    video = os.fspath(video)
    first = check_video(video)
    if first.ok or first.skipped:
        return first
    done, left = [], []
    try:
        gone = _repair(video, done, left)
    except OSError as exc:
        left.append("%s: %s" % (exc.filename or video, _why(exc)))
        gone = False
    if gone:
        return Report(video, repaired=done)
    after = check_video(video)
    after.repaired, after.unrepaired = done, left
    if not after.ok and not left:
        left.append("the damage above was left as it is")
    return after


def _repair(video, done, left):
    """The steps of `repair`; True when the video was removed."""
    csv_path = csv_of(video)
    table = read_table(csv_path)
    empty = not os.path.exists(video) or os.path.getsize(video) == 0
    if empty and table.unfinished:
        # Cut off between claiming the names and writing the first row.
        try:
            remove_segment(video, missing_ok=True)
        except OSError as exc:
            left.append("no frame was ever written, but it could not be removed: %s" % _why(exc))
            return False
        done.append("removed with its CSV: no frame was ever written")
        return True
    if video.lower().endswith(".avi") and avi_index_missing(video):
        try:
            dropped = remux(video)
        except Exception as exc:  # PyAV cannot read it, or cannot write the copy: the others are still checked
            left.append("the AVI index could not be rebuilt: %s" % _why(exc))
        else:
            if dropped is None:
                left.append("the AVI index needs PyAV to be rebuilt (pip install 'quarrin[h264]'); most players "
                            "play the video without it")
            else:
                done.append("index rebuilt (the original is %s)%s" % (video + ORIG, "; its cut-off last frame left "
                                                                      "out" if dropped else ""))
    frames = 0 if empty else count_frames(video)
    if frames == 0:
        # The video is lost: its rows are all that is left of it.
        lost = "none of its frames reached the disk" if empty and os.path.exists(video) else "the video is lost"
        left.append(lost + ("; its CSV's %d row%s kept" % (table.rows, " is" if table.rows == 1 else "s are")
                            if table.rows else ""))
        return False
    if not table.header:
        if table.found and not table.unfinished:
            left.append("the CSV has no header %s: it was left as it is" % ",".join(CSV_HEADER))
    elif table.leading >= frames and len(table.lines) > frames or table.leading < frames and table.cut_tail:
        # Rows past the frames the video holds, or a last line cut off: the tail is trimmed.
        kept = min(frames, table.leading)
        try:
            trim_keeping(csv_path, table.end_after(kept))
        except OSError as exc:
            left.append("the CSV could not be trimmed to %d rows: %s" % (kept, _why(exc)))
            return False
        done.append("CSV trimmed to %d rows (the original is %s)" % (kept, csv_path + ORIG))
        table = read_table(csv_path)
    elif table.leading < len(table.lines):
        wrong = table.lines[table.leading]
        left.append("line %d of the CSV is wrong and rows follow it: the CSV was left as it is" % wrong.number)
        return False
    if frames > table.rows:
        missing = frames - table.rows
        left.append("%d frame%s of the video %s no timestamp; a CSV cannot be extended"
                    % (missing, *(("", "has") if missing == 1 else ("s", "have"))))
    return False


def _why(exc):
    if isinstance(exc, OSError) and exc.strerror:
        return exc.strerror
    return str(exc) or type(exc).__name__


def settle(video):
    """Makes a segment that a failed write cut off consistent: the frame an AVI was cut off in
    dropped, its CSV trimmed to the frames the video holds; both files removed when it holds no
    frame and its CSV no row. Returns what it did, for the error message. It writes nothing, so it
    works on a full disk."""
    csv_path = csv_of(video)
    if os.path.exists(video):
        cut = avi_cut_tail(video) if video.lower().endswith(".avi") else None
        if cut is not None:
            os.truncate(video, cut)
    frames = count_frames(video) if os.path.exists(video) else 0
    rows = read_table(csv_path).rows
    if frames == 0 and (not rows or not os.path.exists(video) or os.path.getsize(video) == 0):
        remove_segment(video, missing_ok=True)
        return "none of its frames reached the disk: it was removed with its CSV"
    if rows > frames:
        if frames == 0 and os.path.getsize(video) > 0:
            # Frames were written but none decodes: the rows are kept aside (a rename needs no space).
            os.replace(csv_path, csv_path + ORIG)
            with contextlib.suppress(OSError):
                writer = stamps.Writer()
                writer.open(csv_path)
                writer.close()
            return ("no frame of it can be decoded (its container was not finished); its %d rows were moved to %s"
                    % (rows, csv_path + ORIG))
        trim_csv(csv_path, frames)
        return "it holds %d of the %d frames written; its CSV was trimmed to %d rows" % (frames, rows, frames)
    if frames > rows:
        return "it holds %d frames, its CSV %d rows" % (frames, rows)
    return "it holds %d frame%s, each with its CSV row" % (frames, "" if frames == 1 else "s")


def trim_csv(path, count):
    """Keeps the header and the first `count` rows of a CSV, cutting the file where they end (at the
    first wrong line, if that comes earlier): it needs no free space, so it works on a full disk."""
    table = read_table(path)
    if table.header:
        os.truncate(path, table.end_after(min(count, table.leading)))


def trim_keeping(path, end):
    """Cuts a file at `end`, keeping the original as *.orig: the part kept is written beside it
    first, so a failure (a full or read-only file system) leaves the file as it was."""
    _must_keep(path)
    with open(path, "rb") as f:
        data = f.read(end)
    temporary = _temporary(path)
    try:
        with open(temporary, "wb") as f:
            f.write(data)
            f.flush()
            os.fsync(f.fileno())
    except BaseException:
        _discard(temporary)
        raise
    _put_in_place(path, temporary)


def _must_keep(path):
    """Refuses to go on when path's *.orig is taken: an earlier repair's original is never replaced."""
    if os.path.lexists(path + ORIG):
        raise FileExistsError(errno.EEXIST, "%s is there from an earlier repair (move it away to repair again)"
                              % (path + ORIG))


def _temporary(path):
    """A new empty file beside `path`, whose name no check takes for a video or a CSV."""
    fd, temporary = tempfile.mkstemp(prefix=".%s." % os.path.basename(path), suffix=".tmp",
                                     dir=os.path.dirname(path) or ".")
    os.close(fd)
    return temporary


def _discard(temporary):
    with contextlib.suppress(OSError):
        os.unlink(temporary)


def _put_in_place(path, temporary):
    """The finished `temporary` takes the place of `path`, whose original is kept as *.orig: by a
    second link, so that `path` is never missing, or by a rename where the file system has no links.
    On a failure, everything is as it was and the error raised."""
    orig = path + ORIG
    linked = renamed = False
    try:
        try:
            os.link(path, orig)
            linked = True
        except FileExistsError:
            raise
        except OSError:
            os.rename(path, orig)
            renamed = True
        st = os.stat(orig)
        with contextlib.suppress(OSError, AttributeError):  # only root may give a file away
            os.chown(temporary, st.st_uid, st.st_gid)
        os.chmod(temporary, stat.S_IMODE(st.st_mode))
        os.replace(temporary, path)
    except BaseException:
        with contextlib.suppress(OSError):
            if renamed:
                os.rename(orig, path)
            elif linked:
                os.unlink(orig)
        _discard(temporary)
        raise


def videos_under(paths):
    """The videos among `paths` and under the folders among them (recursively), sorted; a CSV
    given stands for its video."""
    found = []
    for path in paths:
        path = os.fspath(path)
        if os.path.isdir(path):
            for root, dirs, names in os.walk(path):
                dirs.sort()
                found.extend(os.path.join(root, n) for n in sorted(names)
                             if os.path.splitext(n)[1].lower() in VIDEO_EXTENSIONS)
        elif video_of(path) is not None and not os.path.isdir(video_of(path)):
            found.append(video_of(path))
        else:
            found.append(path)
    return found


# ---- AVI ----------------------------------------------------------------------------------------

def avi_index_missing(path):
    """True when an AVI file has frames ('movi' list) but no index: neither idx1 nor an OpenDML
    index. Reads the chunk headers only."""
    try:
        with open(path, "rb") as f:
            head = f.read(12)
            if len(head) < 12 or head[:4] != b"RIFF" or head[8:12] != b"AVI ":
                return False
            size = os.fstat(f.fileno()).st_size
            at, movi, index = 12, False, False
            while at + 8 <= size:
                f.seek(at)
                chunk = f.read(12)
                if len(chunk) < 8:
                    break
                fourcc, length = chunk[:4], struct.unpack("<I", chunk[4:8])[0]
                kind = chunk[8:12] if fourcc == b"LIST" else b""
                if kind == b"movi":
                    movi = True
                elif fourcc == b"idx1":
                    index = True
                elif kind == b"hdrl":
                    index = index or _has_super_index(f, at + 12, at + 8 + length)
                at += 8 + length + (length & 1)
            return movi and not index
    except OSError:
        return False


def _has_super_index(f, start, end):
    """An OpenDML super index (indx) with entries, inside the header list."""
    f.seek(start)
    data = f.read(max(0, min(end, start + (1 << 20)) - start))
    at = data.find(b"indx")
    while at >= 0:
        if at + 20 <= len(data) and struct.unpack("<I", data[at + 12:at + 16])[0] > 0:
            return True
        at = data.find(b"indx", at + 4)
    return False


def avi_cut_tail(path):
    """Where the chunk that an AVI file ends inside begins (a write was cut off in it), or None when
    the file ends with a whole chunk. Reads the chunk headers only; every list is entered whatever
    size it declares (the writer puts the sizes in when it closes the file)."""
    with open(path, "rb") as f:
        head = f.read(12)
        if len(head) < 12 or head[:4] != b"RIFF" or head[8:12] != b"AVI ":
            return None
        size = os.fstat(f.fileno()).st_size
        at = 12
        while at < size:
            f.seek(at)
            chunk = f.read(12)
            if len(chunk) < 8:
                return at
            fourcc, length = chunk[:4], struct.unpack("<I", chunk[4:8])[0]
            if fourcc in (b"RIFF", b"LIST"):
                if len(chunk) < 12:
                    return at
                at += 12
            elif at + 8 + length > size:
                return at
            else:
                at += 8 + length + (length & 1)
        return None


def remux(path):
    """Rewrites a video's packets into a new file of the same container without re-encoding (an
    AVI gets its index), leaving out a last packet that the file ends inside; the original is kept
    as *.orig. Returns the packets left out (0 or 1), None when PyAV is not installed."""
    try:
        import av
    except ImportError:
        return None
    _must_keep(path)
    temporary = _temporary(path)
    try:
        with av.open(path) as source, av.open(temporary, "w", format=source.format.name.split(",")[0]) as target:
            if not source.streams.video:
                raise ValueError("it holds no video stream")
            stream = source.streams.video[0]
            if hasattr(target, "add_stream_from_template"):
                out = target.add_stream_from_template(stream)
            else:  # PyAV before 14
                out = target.add_stream(template=stream)
            held = None  # each packet is written once the next one shows it was not the last
            for packet in source.demux(stream):
                if packet.dts is None or packet.size == 0:
                    continue
                if held is not None:
                    target.mux(held)
                packet.stream = out
                held = packet
            cut = held is not None and getattr(held, "is_corrupt", False)
            if held is not None and not cut:
                target.mux(held)
        with open(temporary, "rb") as f:
            os.fsync(f.fileno())
    except BaseException:
        _discard(temporary)  # a half-written copy is no use to anyone
        raise
    _put_in_place(path, temporary)
    return int(cut)
