"""Videos against their timestamps CSVs: `quarrin check` and the clean-up after a failed write.

A recording's video ``out.avi`` has ``out.avi.csv`` beside it: a header
``inframe,outframe,timestamp``, then one row per frame written (the input frame number, the
output frame number from 0, the frame's ISO time). A video and its CSV are consistent when the
rows are well formed, their output numbers run 0..n-1, and the video decodes to exactly n frames.

What a cut-off recording leaves (a killed process, a power cut, a full disk) is repaired by
`repair`: the CSV is trimmed to the frames the video holds, and an AVI whose index was never
written gets one by a re-mux without re-encoding (PyAV, the h264 extra). The originals are kept
as ``*.orig``.
"""
import contextlib
import csv
import dataclasses
import datetime
import os
import shutil
import struct

from quarrin.options import VIDEO_EXTENSIONS

HEADER = ["inframe", "outframe", "timestamp"]
ORIG = ".orig"


@dataclasses.dataclass
class Report:
    """What `check` found for one video."""
    video: str
    frames: int = 0          # decodable frames
    rows: int = 0            # well-formed data rows (up to the first bad one)
    problems: list = dataclasses.field(default_factory=list)
    repaired: list = dataclasses.field(default_factory=list)   # what --repair did
    unrepaired: list = dataclasses.field(default_factory=list)  # what it could not do

    @property
    def ok(self):
        return not self.problems

    def line(self):
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


def read_rows(path):
    """(rows, problems): the well-formed data rows of a timestamps CSV up to the first that is not,
    and what is wrong with it (a missing or wrong header, a bad or cut row, output numbers that do
    not run 0..n-1)."""
    try:
        with open(path, "rb") as f:
            data = f.read()
    except FileNotFoundError:
        return [], ["no timestamps CSV %s" % path]
    lines = data.split(b"\n")
    cut = lines[-1] != b""  # the last line has no end: it was cut off
    lines = [line.rstrip(b"\r") for line in lines[:-1]] + ([lines[-1]] if cut else [])
    if not lines:
        return [], ["%s is empty (no header)" % os.path.basename(path)]
    if lines[0].decode("utf-8", "replace").split(",") != HEADER:
        return [], ["%s has no header %s" % (os.path.basename(path), ",".join(HEADER))]
    rows = []
    for number, raw in enumerate(lines[1:], start=2):
        fields = raw.decode("utf-8", "replace").split(",")
        why = "is cut off" if cut and number == len(lines) else _bad_row(fields, len(rows))
        if why is not None:
            return rows, ["line %d of the CSV %s" % (number, why)]
        rows.append(fields)
    return rows, []


def _bad_row(fields, index):
    if len(fields) != 3:
        return "has %d fields, not 3" % len(fields)
    try:
        inframe, outframe = int(fields[0]), int(fields[1])
        datetime.datetime.fromisoformat(fields[2])
    except ValueError:
        return "is not inframe,outframe,timestamp"
    if inframe < 0:
        return "has a negative input frame"
    if outframe != index:
        return "has output frame %d, not %d" % (outframe, index)
    return None


def check(video):
    """A Report on one video and its CSV."""
    video = os.fspath(video)
    report = Report(video)
    rows, problems = read_rows(video + ".csv")
    report.rows = len(rows)
    report.problems.extend(problems)
    report.frames = count_frames(video)
    if report.frames != report.rows:
        report.problems.append("%d frames in the video, %d rows in the CSV" % (report.frames, report.rows))
    if video.lower().endswith(".avi") and avi_index_missing(video):
        report.problems.append("the AVI has no index (it was not closed)")
    return report


def repair(video):
    """Checks, then repairs what it can; the originals are kept as *.orig. A Report of the state
    after the repair, with what was done and what could not be."""
    first = check(video)
    if first.ok:
        return first
    csv_path = video + ".csv"
    rows, csv_problems = read_rows(csv_path)
    if (not os.path.exists(video) or os.path.getsize(video) == 0) and not rows:
        # Cut off between claiming the names and writing the first frame.
        _remove_with_csv(video)
        gone = Report(video)
        gone.repaired.append("removed with its CSV: no frame was ever written")
        return gone
    done, left = [], []
    if video.lower().endswith(".avi") and avi_index_missing(video):
        try:
            rebuilt = remux(video)
        except Exception as exc:  # PyAV cannot read it: the other videos are still checked
            left.append("the AVI index could not be rebuilt: %s" % (exc or type(exc).__name__))
        else:
            if rebuilt:
                done.append("index rebuilt (the original is %s)" % (video + ORIG))
            else:
                left.append("the AVI index needs PyAV to be rebuilt (pip install 'quarrin[h264]'); most players "
                            "play the video without it")
    frames = count_frames(video)
    if len(rows) > frames or csv_problems and os.path.exists(csv_path):
        kept = min(frames, len(rows))
        trim_csv(csv_path, kept, keep=True)
        done.append("CSV trimmed to %d rows (the original is %s)" % (kept, csv_path + ORIG))
    if frames > len(rows):
        left.append("%d frames of the video have no timestamp; a CSV cannot be extended" % (frames - len(rows)))
    if frames == 0 and os.path.getsize(video) > 0:
        left.append("no frame can be decoded: the container was not finished")
    after = check(video)
    after.repaired, after.unrepaired = done, left
    return after


def settle(video):
    """Makes a segment that a failed write cut off consistent: its CSV trimmed to the frames the
    video holds; both files removed when it holds no frame and its CSV no row. Returns what it
    did, for the error message."""
    csv_path = video + ".csv"
    frames = count_frames(video) if os.path.exists(video) else 0
    rows, _ = read_rows(csv_path)
    if frames == 0 and (not rows or not os.path.exists(video) or os.path.getsize(video) == 0):
        _remove_with_csv(video)
        return "none of its frames reached the disk: it was removed with its CSV"
    if len(rows) > frames:
        if frames == 0 and os.path.getsize(video) > 0:
            # Frames were written but none decodes: the rows are kept aside (a rename needs no space).
            os.replace(csv_path, csv_path + ORIG)
            with contextlib.suppress(OSError):
                with open(csv_path, "w", newline="") as f:
                    csv.writer(f).writerow(HEADER)
            return ("no frame of it can be decoded (its container was not finished); its %d rows were moved to %s"
                    % (len(rows), csv_path + ORIG))
        trim_csv(csv_path, frames)
        return "it holds %d of the %d frames written; its CSV was trimmed to %d rows" % (frames, len(rows), frames)
    if frames > len(rows):
        return "it holds %d frames, its CSV %d rows" % (frames, len(rows))
    return "it holds %d frame%s, each with its CSV row" % (frames, "" if frames == 1 else "s")


def _remove_with_csv(video):
    for path in (video, video + ".csv"):
        with contextlib.suppress(FileNotFoundError):
            os.unlink(path)


def trim_csv(path, count, keep=False):
    """Keeps the header and the first `count` well-formed rows of a CSV, cutting the file where
    they end: it needs no free space, so it works on a full disk. With `keep`, the original is
    copied to *.orig first. Returns the rows it had."""
    rows, _ = read_rows(path)
    with open(path, "rb") as f:
        data = f.read()
    if keep:
        shutil.copy2(path, path + ORIG)
    if not data.startswith(",".join(HEADER).encode()):
        with open(path, "w", newline="") as f:  # no header: one is written
            csv.writer(f).writerow(HEADER)
        return 0
    end = 0
    for _ in range(min(count, len(rows)) + 1):  # the header, then the rows kept
        end = data.index(b"\n", end) + 1
    os.truncate(path, end)
    return len(rows)


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
        elif path.endswith(".csv") and not os.path.isdir(path[:-4]):
            found.append(path[:-4])
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


def remux(path):
    """Rewrites a video's packets into a new file of the same container without re-encoding (an
    AVI gets its index); the original is kept as *.orig. False when PyAV is not installed."""
    try:
        import av
    except ImportError:
        return False
    temporary = path + ".remux" + os.path.splitext(path)[1]
    try:
        with av.open(path) as source, av.open(temporary, "w", format=source.format.name.split(",")[0]) as target:
            if not source.streams.video:
                raise ValueError("it holds no video stream")
            stream = source.streams.video[0]
            if hasattr(target, "add_stream_from_template"):
                out = target.add_stream_from_template(stream)
            else:  # PyAV before 14
                out = target.add_stream(template=stream)
            for packet in source.demux(stream):
                if packet.dts is None or packet.size == 0:
                    continue
                packet.stream = out
                target.mux(packet)
    except BaseException:
        with contextlib.suppress(OSError):  # a half-written copy is no use to anyone
            os.unlink(temporary)
        raise
    os.replace(path, path + ORIG)
    os.replace(temporary, path)
    return True
