"""Faults in recordings: a failure at each call of every call site of the fake cv2 (and of the CSV
writers), a full disk, and damaged input files, through vcapture and through the pipelined
recorder (quarrin._recorder.record with pipeline=True, whose writer object, log and progress
callables are call sites too). Whatever happens, each video's frames and its CSV's rows must match
one for one, every file must end up closed, no thread may be left behind, and the error that comes
out must be the one that happened.

QUARRIN_FAULT_MATRIX=1 prints the injection matrix (site x kind: runs, lost and phantom rows)
at the end of the run.
"""
import datetime
import errno
import json
import os
import re
import resource
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest

import videos
from fakes import CsvFiles, Rig, StampsWriter, csv_rows, lost_and_phantom, marked_frames, written_indices
from leakcases import stage_threads
from vcargs import record_args
import parts

PROGRAMS = Path(__file__).parent / "programs"


class Injected(Exception):
    """A plain error (cv2.error would pass: the recorder takes it from destroyAllWindows as "no GUI")."""


# Each recording reaches every site of its list; segments of two frames make it roll over.
SCENARIOS = {
    # A camera with its properties set, motion gating with the debug views, overlay and preview.
    # The repeated position is a still frame that the gate drops.
    "camera": (dict(input_="0", width=64, height=48, config=True, max_frames=2, motion_based=True,
                    show_diff=True, timestamp=True, interactive=True),
               [0, 4, 8, 8, 12, 16, 20],
               ["VideoCapture", "cap.set", "cap.get", "cap.read", "cvtColor", "GaussianBlur", "absdiff", "threshold",
                "dilate", "findContours", "contourArea", "namedWindow", "applyColorMap", "drawContours", "imshow",
                "getTextSize", "rectangle", "putText", "VideoWriter_fourcc", "VideoWriter", "out.isOpened",
                "out.write", "out.release", "waitKey", "cap.release", "destroyAllWindows", "csv.writerow"]),
    # A file: its open checks, rate and frame count; every frame kept.
    "file": (dict(input_="in.avi", max_frames=2),
             [0, 4, 8, 12, 16],
             ["VideoCapture", "cap.isOpened", "cap.get", "cap.read", "VideoWriter_fourcc", "VideoWriter",
              "out.isOpened", "out.write", "out.release", "cap.release", "destroyAllWindows", "csv.writerow"]),
}
# The same recordings, pipelined: the camera's through cv2.VideoWriter with its lines printed, its
# moving frames kept as motion events, boxed, their peaks held for pictures; the file's through a writer object (over the fake's writers)
# with its lines handed to a log and each closed segment to on_segment; and the file read through a
# reader object (over the fake's captures), as the front end reads every source.
OBJECT_WRITER_SITES = ["writer.open", "writer.write", "writer.release", "log", "on_segment"]
SCENARIOS["p-camera"] = (dict(SCENARIOS["camera"][0], pipeline=True, events=True, after=1.0, boxes=True, snapshots=True),
                         SCENARIOS["camera"][1],
                         SCENARIOS["camera"][2] + ["progress", "on_event_start", "on_event", "boundingRect"])
SCENARIOS["p-file"] = (dict(SCENARIOS["file"][0], pipeline=True, writer=True), SCENARIOS["file"][1],
                       [s for s in SCENARIOS["file"][2] if s != "out.isOpened"] + OBJECT_WRITER_SITES + ["progress"])
SCENARIOS["p-reader"] = (dict(SCENARIOS["file"][0], pipeline=True, reader=True), SCENARIOS["file"][1],
                         [s for s in SCENARIOS["file"][2] if s != "cap.get"]
                         + ["reader.open", "reader.read", "reader.release", "progress"])
# The file's CSVs written by a stamps writer object (over the csv stand-in) instead of the recorder.
SCENARIOS["p-stamps"] = (dict(SCENARIOS["p-file"][0], stamps=True), SCENARIOS["file"][1],
                         SCENARIOS["p-file"][2] + ["stamps.open", "stamps.write", "stamps.close"])
KINDS = {"interrupt": lambda: KeyboardInterrupt("injected"), "error": lambda: Injected("injected")}

# (scenario, site, kind) -> [runs, lost rows, phantom rows]; printed by conftest when asked.
MATRIX = {}


class ObjectReader:
    """The front end's reader interface over the fake cv2's captures, its methods call sites: a
    file, its frames timed as a file's."""

    def __init__(self, fake, path):
        self.fake, self.path, self.cap = fake, path, None

    def __getattr__(self, name):  # made at each use: a site kept on the object would keep it alive
        if name not in ("open", "read", "release"):
            raise AttributeError(name)
        return self.fake.site("reader." + name, getattr(self, "_" + name))

    def _open(self, timeout):
        self.cap, self.start, self.fps, self.index = self.fake.VideoCapture(self.path), START, 10.0, 0
        return self.cap.isOpened()

    def _read(self):
        ok, frame = self.cap.read()
        if frame is None:
            return None
        self.index += 1
        return frame, START + datetime.timedelta(seconds=(self.index - 1) / self.fps)

    def _release(self):
        self.cap.release()


START = datetime.datetime(2026, 12, 8, 10, 0, 0)


class ObjectWriter:
    """The front end's writer interface over the fake cv2's writers, its methods call sites."""

    def __init__(self, fake):
        self.fake, self.out = fake, None

    def __getattr__(self, name):  # made at each use: a site kept on the object would keep it alive
        return self.fake.site("writer." + name, getattr(self, "_" + name))

    def _open(self, name, fps, size):
        self.out = self.fake.VideoWriter(name, self.fake.VideoWriter_fourcc(*"MJPG"), fps, size)

    def _write(self, frame, time):
        self.out.write(frame)

    def _release(self):
        self.out.release()


def run(directory, scenario, failures=None):
    """One recording of the scenario in `directory`, with fresh stand-ins: (fake cv2, csv stand-in,
    what vcapture or the pipelined recorder returned or raised)."""
    args, positions, _ = SCENARIOS[scenario]
    directory.mkdir()
    (directory / "in.avi").write_bytes(b"")
    args = dict(args, input_=str(directory / args["input_"]) if args["input_"] != "0" else "0")
    pipelined, writer, reader = args.pop("pipeline", False), args.pop("writer", False), args.pop("reader", False)
    stamps = args.pop("stamps", False)
    events = {name: args.pop(name) for name in ("events", "after", "boxes", "snapshots") if name in args}
    with pytest.MonkeyPatch.context() as monkeypatch:
        rig = Rig(monkeypatch)
        fake = rig.fake_cv2(marked_frames(positions), failures=failures)
        files = CsvFiles(fake)
        rig.bind(csv=files)
        try:
            if pipelined:
                from quarrin._recorder import record
                extra = dict(video_writer=ObjectWriter(fake), log=fake.site("log", lambda line: None),
                             on_segment=fake.site("on_segment", lambda written: None)) if writer else {}
                if reader:
                    extra.update(reader=ObjectReader(fake, args["input_"]))
                if stamps:
                    extra.update(stamps_writer=StampsWriter(fake, files))
                if events:
                    extra.update(events, on_event=fake.site("on_event", lambda event: None),
                                 on_event_start=fake.site("on_event_start", lambda event: None))
                outcome = record(**record_args(output=str(directory / "rec.avi"), **args), pipeline=True,
                                 progress=fake.site("progress", lambda *event: None), **extra)
            else:
                outcome = rig.record(output=directory / "rec.avi", **args)
        except BaseException as exc:  # KeyboardInterrupt too
            # Without its traceback: the frames there would keep a writer object alive.
            outcome = exc.with_traceback(None)
    # An interrupt the recorder took as a stop keeps its traceback on the exception itself (Python
    # 3.12 on), and the test still holds that exception.
    for failure in (failures or {}).values():
        (failure[1] if isinstance(failure, tuple) else failure).with_traceback(None)
    return fake, files, outcome


def frames_read(outcome):
    return outcome if isinstance(outcome, int) else outcome.frames_read


def assert_outcome_matches_files(outcome, directory):
    """A pipelined outcome: each segment's frame count is its CSV's rows, and they add up. A CSV it
    does not list was claimed and never opened: it is empty (as is one whose header failed)."""
    rows = [len(csv_rows(s.csv)) if os.path.getsize(s.csv) else 0 for s in outcome.segments]
    assert [s.frames for s in outcome.segments] == rows
    assert outcome.frames_saved == sum(rows)
    listed = {s.csv for s in outcome.segments}
    assert [n for n in os.listdir(directory) if n.endswith(".csv") and str(directory / n) not in listed
            and os.path.getsize(directory / n)] == []


@pytest.mark.parametrize("scenario", SCENARIOS)
def test_scenario_reaches_its_sites(tmp_path, scenario):
    fake, files, outcome = run(tmp_path / "clean", scenario)
    _, positions, sites = SCENARIOS[scenario]
    assert frames_read(outcome) == len(positions)
    if not isinstance(outcome, int):
        assert outcome.stopped == "end"
        assert_outcome_matches_files(outcome, tmp_path / "clean")
    assert sorted(set(fake.names())) == sorted(sites)
    assert lost_and_phantom(written_indices(fake), tmp_path / "clean") == (0, 0)
    assert len(fake.writers) > 1  # rolled over


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("scenario, site", [(s, site) for s, (_, _, sites) in SCENARIOS.items() for site in sites])
def test_failure_at_every_call_of_a_site(tmp_path, capsys, scenario, site, kind):
    clean, _, _ = run(tmp_path / "clean", scenario)
    calls = clean.counts[site]
    headers = {i + 1 for i, c in enumerate(clean.calls_to("csv.writerow")) if c.args[0][0] == "inframe"}
    totals = MATRIX.setdefault((scenario, site, kind), [0, 0, 0])
    for k in range(1, calls + 1):
        injected = KINDS[kind]()
        directory = tmp_path / ("k%d" % k)
        capsys.readouterr()
        fake, files, outcome = run(directory, scenario, {site: (k, injected)})
        assert fake.counts[site] >= k  # the injected call was reached
        printed = capsys.readouterr().out.splitlines()
        lost, phantom = lost_and_phantom(written_indices(fake), directory)
        totals[0] += 1
        totals[1] += lost
        totals[2] += phantom
        where = "call %d of %d" % (k, calls)
        read = sum(1 for c in fake.calls_to("cap.read") if c.result and c.result[0])
        if isinstance(outcome, int):
            # Only an interrupt inside the frame loop ends a recording normally: with a message and
            # the number of frames read.
            assert isinstance(injected, KeyboardInterrupt), where
            assert printed[-1] == "Caught keyboard interrupt", where
            assert outcome == read, where
        elif not isinstance(outcome, BaseException):
            # The pipelined recorder reports an interrupt from its loop or its clean-up, with what
            # it wrote; the reader may have read ahead of the frames taken.
            assert isinstance(injected, KeyboardInterrupt) and outcome.stopped == "interrupt", where
            assert outcome.frames_read <= read, where
            assert_outcome_matches_files(outcome, directory)
        else:
            assert outcome is injected, where
            # The pipelined recorder lets an interrupt through only before its loop begins.
            assert scenario in ("camera", "file") or isinstance(injected, Injected) or read == 0, where
        assert stage_threads() == 0, where
        assert fake.unreleased() == [], where
        assert files.still_open() == [], where
        # A row is written after its frame: a failing row leaves that one frame without it.
        row = site == "stamps.write" or (site == "csv.writerow" and k not in headers)
        assert (lost, phantom) == (1 if row else 0, 0), where


# ---- a full disk ------------------------------------------------------------------------------

def segment_rows_match(directory, names):
    for name in names:
        rows = csv_rows(directory / (name + ".csv"))
        assert len(videos.read_all(directory / name)) == len(rows) > 0, name


def pipelined_recording(src, out, log=None, **args):
    from quarrin._recorder import record
    return record(**record_args(str(src), str(out), **args), pipeline=True, log=log)


@pytest.mark.parametrize("pipelined", [False, True], ids=["vcapture", "pipelined"])
@pytest.mark.parametrize("max_frames, full, before", [
    (0, "out.avi", []),
    (2, "out_002.avi", ["out_000.avi", "out_001.avi"]),
    (2, "out_000.avi", []),
], ids=["one-file", "last-segment", "first-segment"])
def test_csv_on_a_full_device(rig, tmp_path, max_frames, full, before, pipelined):
    src = videos.moving_clip(tmp_path / "in.avi", 6)
    out = tmp_path / "o"
    out.mkdir()
    csv_name = out / (full + ".csv")
    files = CsvFiles()
    rig.bind(csv=files)
    with pytest.raises(OSError) as info:
        if pipelined:
            # The recorder creates the names it claims: its CSV becomes the full device once claimed.
            def log(line):
                if line == "Timestamps in %s" % csv_name:
                    csv_name.unlink()
                    csv_name.symlink_to("/dev/full")
            pipelined_recording(src, out / "out.avi", max_frames=max_frames, log=log)
        else:
            csv_name.symlink_to("/dev/full")
            rig.record(src, out / "out.avi", max_frames=max_frames)
    assert info.value.errno == errno.ENOSPC
    assert files.still_open() == []
    assert stage_threads() == 0
    # Earlier segments are whole, and the recording went no further than the full one (the
    # pipelined rules may have claimed names past it before the writer failed: they are given back).
    segment_rows_match(out, before)
    assert sorted(n for n in os.listdir(out) if n.endswith(".avi")) == sorted(before + [full])


@pytest.fixture
def small_disk(tmp_path, request):
    """A 256 KiB tmpfs (or the size a test's `disk_size` parameter asks), where this machine lets
    the tests mount one."""
    mount = tmp_path / "disk"
    mount.mkdir()
    size = getattr(request, "param", "256k")
    try:
        made = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=" + size, "tmpfs", str(mount)],
                              capture_output=True, text=True, timeout=30)
    except OSError as exc:
        pytest.skip("cannot mount a tmpfs: %s" % exc)
    if made.returncode != 0:
        pytest.skip("cannot mount a tmpfs: %s" % made.stderr.strip())
    try:
        yield mount
    finally:
        subprocess.run(["umount", "-l", str(mount)], timeout=30)


@pytest.mark.parametrize("pipelined", [False, True], ids=["vcapture", "pipelined"])
def test_recording_ends_where_the_disk_fills(rig, tmp_path, small_disk, pipelined):
    src = videos.moving_clip(tmp_path / "in.avi", 300)
    with pytest.raises(OSError) as info:
        (pipelined_recording if pipelined else rig.record)(src, small_disk / "rec.avi", max_frames=10)
    assert info.value.errno == errno.ENOSPC
    assert stage_threads() == 0
    # The disk filled in one segment: no segment after it.
    empty = [n for n in os.listdir(small_disk) if n.endswith(".csv") and os.path.getsize(small_disk / n) == 0]
    assert len(empty) <= 1, sorted(empty)


def complete_rows(path):
    """A CSV's rows up to its last whole line (a size limit can cut a line in two)."""
    lines = open(path, "rb").read().split(b"\r\n")
    assert lines[0] == b"inframe,outframe,timestamp"
    return [line.decode().split(",") for line in lines[1:-1]]


def record_in_child(tmp_path, src, out, *options, **args):
    """programs/record.py in a fresh interpreter: (return code, RESULT, WRITTEN, last stderr line)."""
    command = [sys.executable, str(PROGRAMS / "record.py"), str(src), str(out), json.dumps(args), *options]
    proc = subprocess.run(command, cwd=tmp_path, capture_output=True, text=True, errors="replace", timeout=120)
    tagged = {line.split(" ", 1)[0]: line.split(" ", 1)[1] for line in proc.stdout.splitlines()
              if line.startswith(("RESULT ", "WRITTEN "))}
    err = proc.stderr.strip().splitlines()
    return (proc.returncode, int(tagged["RESULT"]) if "RESULT" in tagged else None,
            json.loads(tagged.get("WRITTEN", "null")), err[-1] if err else "")


# A 2000-byte file size limit in a child recording 300 fake frames: the CSVs reach it, the fake
# videos write nothing.
@pytest.fixture(scope="module", params=[(0, ()), (120, ()), (0, ("--pipeline",)), (120, ("--pipeline",))],
                ids=["one-file", "segments", "one-file-pipelined", "segments-pipelined"])
def size_limited(request, tmp_path_factory):
    directory = tmp_path_factory.mktemp("fsize")
    max_frames, pipelined = request.param
    outcome = record_in_child(directory, "0", directory / "rec.avi", "--fake-frames", "300", "--fsize", "2000",
                              *pipelined, max_frames=max_frames)
    return directory, outcome


def test_size_limit_error_comes_out(size_limited):
    directory, (code, result, written, error) = size_limited
    assert (code, result) == (1, None)
    assert error.startswith("OSError: [Errno %d] " % errno.EFBIG)
    assert lost_and_phantom(written, directory, complete_rows)[1] == 0


def test_size_limit_loses_at_most_the_frame_in_flight(size_limited):
    directory, (_, _, written, _) = size_limited
    assert lost_and_phantom(written, directory, complete_rows)[0] <= 1
    assert len(written) == 1  # ended in the segment that reached the limit


# ---- damaged input files ------------------------------------------------------------------------

def cut(data, at):
    return data[:int(len(data) * at)]


def overwrite(data, at, length=64, byte=0xFF):
    start = int(len(data) * at)
    return data[:start] + bytes([byte]) * length + data[start + length:]


DAMAGES = {
    "cut-25%": lambda d: cut(d, 0.25), "cut-50%": lambda d: cut(d, 0.5), "cut-97%": lambda d: cut(d, 0.97),
    "cut-2%": lambda d: cut(d, 0.02), "header-zeroed": lambda d: overwrite(d, 0.0, 16, 0),
    "bytes-at-30%": lambda d: overwrite(d, 0.3), "4k-zeroed-at-60%": lambda d: overwrite(d, 0.6, 4096, 0),
    "index-overwritten": lambda d: overwrite(d, 0.99, 512),
}
# The pipelined recorder decodes on its reader thread: a file that ends early, and two that fail
# in the middle.
PIPELINED_DAMAGES = ["cut-50%", "bytes-at-30%", "4k-zeroed-at-60%"]


@pytest.mark.parametrize("damage, pipelined", [(DAMAGES[n], ()) for n in DAMAGES] + [
    (DAMAGES[n], ("--pipeline",)) for n in PIPELINED_DAMAGES],
    ids=list(DAMAGES) + ["pipelined-" + n for n in PIPELINED_DAMAGES])
def test_damaged_input(tmp_path, damage, pipelined):
    src = tmp_path / "in.avi"
    videos.moving_clip(src, 40)
    src.write_bytes(damage(src.read_bytes()))
    out = tmp_path / "out.avi"
    code, result, _, error = record_in_child(tmp_path, src, out, *pipelined)
    assert code == 0, error  # no crash, no exception: a damaged file ends the recording early
    if not out.exists():
        assert result == 0 and sorted(os.listdir(tmp_path)) == ["in.avi"]
        return
    rows = csv_rows(str(out) + ".csv")
    assert [int(r[0]) for r in rows] == list(range(result))
    assert len(videos.read_all(out)) == result


# ---- the quarrin command: a failing writer, a full disk, --min-free, a power cut ------------------

def quarrin(*args, **popen):
    return subprocess.run([sys.executable, "-m", "quarrin", *map(str, args)], capture_output=True, text=True,
                          timeout=120, **popen)


def noise_clip(path, count, width=160, height=120):
    """Frames of noise on a ramp: large MJPG frames, so that a few fill a small disk or reach a size
    limit, whose first part still decodes when the disk fills inside one."""
    rng = np.random.default_rng(7)
    ramp = np.linspace(0, 255, width, dtype=np.uint8)[None, :, None]

    def frame():
        f = np.repeat(np.repeat(ramp, height, 0), 3, 2)
        f[::2, ::3] = rng.integers(0, 256, (f[::2, ::3].shape), np.uint8)
        return f
    return videos.write_clip(path, (frame() for _ in range(count)))


def consistent(folder):
    """Every video under `folder` decodes to as many frames as its CSV has well-formed rows (an AVI
    cut off may lack its index: `quarrin check --repair` rebuilds it); no empty file is left.
    Returns the rows."""
    from quarrin import checking

    total = 0
    for video in checking.videos_under([folder]):
        report = checking.check_video(video)
        assert report.frames == report.rows, report.line()
        assert all("index" in p for p in report.problems), report.line()
        total += report.rows
    assert [n for n in os.listdir(folder) if os.path.getsize(os.path.join(folder, n)) == 0] == []
    return total


def size_limit(limit):
    return lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))


# A write that fails ends the recording at that frame: exit 1 naming the file, the files consistent.
@pytest.mark.parametrize("driver", [[], ["--no-pipeline"]], ids=["pipelined", "sequential"])
@pytest.mark.parametrize("cause, small_disk, ext, args, message", [
    ("size-limit", "256k", ".avi", ["--segment-frames", "30"], r"^writing \S+o_\d{3}.avi failed: .*; it holds \d+ of "
                                                               r"the \d+ frames written; its CSV was trimmed to \d+ rows$"),
    ("full-disk", "256k", ".avi", ["--min-free", "0"], r"^writing \S+o.avi failed: .*"),
    ("full-disk", "256k", ".mkv", ["--min-free", "0"], r"^writing \S+o.mkv failed: .*"),
    ("min-free", "3m", ".avi", ["--min-free", "1M"], r"^stopped: free space on the file system of \S+ \(\d+\.\dM\) would "
                                                     r"fall below --min-free 1.0M; it holds \d+ frames, each with its "
                                                     r"CSV row$"),
    # Lossless H.264 of noise: each fragment of a second the writer puts on the disk at once is
    # larger than the writer's usual buffers.
    ("min-free", "18m", ".mp4", ["--quality", "0", "--min-free", "4M"], r"^stopped: free space .* would fall below "
                                                                          r"--min-free 4.0M; it holds \d+ frames"),
], indirect=["small_disk"])
def test_write_failures_stop_the_command_with_consistent_files(tmp_path, small_disk, driver, cause, ext, args,
                                                              message):
    if ext != ".avi":
        parts.module("av", "PyAV is not installed")
    count = 120 if cause == "min-free" else 60
    src = noise_clip(tmp_path / "in.avi", count, *((480, 360) if ext == ".mp4" else ()))
    folder = tmp_path / "o" if cause == "size-limit" else small_disk
    proc = quarrin("record", src, folder / ("o" + ext), *args, *driver,
                   preexec_fn=size_limit(150_000) if cause == "size-limit" else None)
    assert proc.returncode == 1, proc.stderr
    lines = proc.stderr.splitlines()
    assert len(lines) == 1 and re.search(message, lines[0][len("quarrin: error: "):]), proc.stderr
    assert 0 < consistent(folder) < count
    if cause == "min-free":  # a clean stop: the video was closed, with its index
        assert quarrin("check", folder).returncode == 0
        from quarrin import options, writers
        assert writers.free_space(folder) >= options.size_bytes("min_free", args[-1])  # never below it


def test_api_raises_recording_error_on_a_full_disk(tmp_path, small_disk):
    import quarrin as api

    src = noise_clip(tmp_path / "in.avi", 60)
    with pytest.raises(api.RecordingError, match=r"^writing \S+r_\d{3}.avi failed: "):
        api.record(src, small_disk / "r.avi", segment_frames=5, min_free=0)
    assert consistent(small_disk) > 0


RECORD_MANY = """
import json, sys, quarrin
for _ in range(int(sys.argv[3])):
    r = quarrin.record(sys.argv[1], sys.argv[2], segment_frames=4)
    print(json.dumps([(s.video, s.frames) for s in r.segments]), flush=True)
"""


def test_two_recorders_into_one_name_never_share_a_file(tmp_path):
    src = videos.moving_clip(tmp_path / "in.avi", 10)
    out = tmp_path / "o" / "rec.avi"
    children = [subprocess.Popen([sys.executable, "-c", RECORD_MANY, src, str(out), "8"], stdout=subprocess.PIPE,
                                 text=True) for _ in range(2)]
    claimed = [json.loads(line) for child in children for line in child.communicate(timeout=120)[0].splitlines()]
    assert [child.returncode for child in children] == [0, 0] and len(claimed) == 16
    videos_written = [video for segments in claimed for video, _ in segments]
    assert len(set(videos_written)) == len(videos_written) == 16 * 3  # each recorder had its own files
    assert consistent(out.parent) == 16 * 10


@pytest.fixture(scope="module")
def long_clip(tmp_path_factory):
    return videos.moving_clip(tmp_path_factory.mktemp("long") / "long.avi", 1500, width=320, height=240)


@pytest.fixture(scope="module")
def long_h264_clip(tmp_path_factory):
    parts.module("av", "PyAV is not installed")
    return videos.h264_clip(tmp_path_factory.mktemp("long") / "long.mp4", [i % 300 for i in range(6000)], 25, 320, 240)


def check_command(capsys, *args):
    """quarrin check in this process: (exit status, lines printed)."""
    from quarrin.cli import main

    capsys.readouterr()
    status = main(["check", *map(str, args)])
    return status, capsys.readouterr().out.splitlines()


# A recording killed at a random point (here: three points, each container's way of being cut off):
# `quarrin check --repair` leaves every file consistent.
@pytest.mark.parametrize("ext, delay, copy", [(".avi", 0.0, False), (".avi", 0.6, False), (".mp4", 0.4, False),
                                              (".mp4", 0.1, True), (".mkv", 0.2, True)])
def test_check_repair_after_a_power_cut(tmp_path, capsys, request, long_clip, ext, delay, copy):
    if ext != ".avi":
        parts.module("av", "PyAV is not installed")
    folder = tmp_path / "o"
    source, more = long_clip, []
    if copy:  # the packets of an H.264 clip, copied (much faster than encoding: a longer clip)
        source, more = request.getfixturevalue("long_h264_clip"), ["--copy"]
    proc = subprocess.Popen([sys.executable, "-u", "-m", "quarrin", "record", source, folder / ("rec" + ext), "-v",
                             "--segment-frames", "300", *more], stdout=subprocess.PIPE, text=True)
    for line in proc.stdout:
        if line.startswith("Timestamps in"):
            break
    time.sleep(delay)
    proc.kill()
    proc.communicate()
    status, lines = check_command(capsys, folder)
    assert status in (0, 1) and lines[-1].startswith("Checked ")
    status, lines = check_command(capsys, folder, "--repair")
    # A video none of whose frames reached the disk is lost: it is said, and its rows are kept.
    lost = {line.split(": ")[0] for line in lines[:-1] if "none of its frames reached the disk; its CSV's" in line}
    assert status == (1 if lost else 0), lines
    status, lines = check_command(capsys, folder)
    assert status == (1 if lost else 0), lines
    assert all(line.split(": ")[0] in lost or line.endswith(" frames)") and "(0 frames)" not in line
               for line in lines[:-1]), lines


# What cannot be looked at or repaired gets its line, and the others are still handled: an AVI that
# PyAV cannot read, a FIFO named as a video (it would block the reader forever), a CSV that is a FIFO.
def test_check_repair_goes_on_past_a_video_it_cannot_repair(tmp_path):
    parts.module("av", "PyAV is not installed")
    import quarrin as api

    out = tmp_path / "out"
    for name in ("good.avi", "piped.avi"):
        api.record(videos.moving_clip(tmp_path / "in.avi", 5), out / name)
    (out / "bad.avi").write_bytes(b"RIFF\x10\x00\x00\x00AVI LIST\x04\x00\x00\x00movi" + bytes(64))  # no index,
    os.mkfifo(out / "fifo.avi")                                                               # nothing to read
    (out / "piped.avi.csv").unlink()
    os.mkfifo(out / "piped.avi.csv")
    proc = quarrin("check", out, "--repair")
    lines = [line[len(str(out)) + 1:] for line in proc.stdout.splitlines()[:-1]] + proc.stdout.splitlines()[-1:]
    assert proc.returncode == 1 and proc.stderr == "", proc.stderr
    assert lines[0].startswith("bad.avi: ") and lines[0].endswith(
        "; not repaired: the AVI index could not be rebuilt: it holds no video stream; the video is lost"), lines
    assert lines[1:] == [
        "fifo.avi: skipped: not a regular file (a FIFO)",
        "good.avi: ok (5 frames)",
        "piped.avi: cannot read piped.avi.csv: not a regular file (a FIFO); 5 frames in the video, 0 rows in the "
        "CSV; not repaired: 5 frames of the video have no timestamp; a CSV cannot be extended",
        "Checked 4 videos: 1 ok, 2 damaged (not repaired), 1 skipped"]
    assert sorted(os.listdir(out)) == ["bad.avi", "fifo.avi", "good.avi", "good.avi.csv", "piped.avi",
                                       "piped.avi.csv"]


def crlf(lines):
    return b"".join(line + b"\r\n" for line in lines)


def extra_rows(lines, count):
    """`count` rows continuing a recording's CSV lines."""
    stamp = lines[-1].split(b",")[2]
    return [b"%d,%d,%s" % (len(lines) - 1 + i, len(lines) - 1 + i, stamp) for i in range(count)]


def spreadsheet(lines):
    """The CSV as a spreadsheet saves it: a byte-order mark, quotes, spaces, line feeds."""
    return (b"\xef\xbb\xbf" + b",".join(b'"%s"' % f for f in lines[0].split(b",")) + b"\n"
            + b"\n".join(lines[1:3] + [lines[3] + b" ", lines[4].replace(b",", b" , ")] + lines[5:]) + b"\n")


def cut_in_last_frame(video):
    """The AVI cut off inside its last frame, before its index."""
    data = video.read_bytes()
    video.write_bytes(data[:data.rfind(b"00dc", 0, data.rfind(b"idx1")) + 100])


def orig_taken(video):
    (video.parent / (video.name + ".csv.orig")).write_bytes(b"an earlier original")


LEFT = r"not repaired: line %d of the CSV is wrong and rows follow it: the CSV was left as it is$"
# A recording of 5 frames damaged (its CSV's lines, the header first, without their ends -> the CSV;
# and what is done to its files), what `quarrin check` says, what --repair says, its exit status and
# the rows of the CSV after it (None: left as it was, with no *.orig made).
REPAIRS = {
    "cut-off-line": (lambda lines, video: crlf(lines[:-1]) + lines[-1][:12],
                     r"line 6 of the CSV is cut off; 5 frames in the video, 4 rows", r"repaired: CSV trimmed to 4 rows "
                     r"\(the original is \S+o.avi.csv.orig\); not repaired: 1 frame of the video has no timestamp", 1, 4),
    "rows-past-the-video": (lambda lines, video: crlf(lines + extra_rows(lines, 1)),
                            r": 5 frames in the video, 6 rows in the CSV$", r"o.avi: repaired: CSV trimmed to 5 rows", 0, 5),
    "output-frame-wrong": (lambda lines, video: crlf(lines[:3] + [b"3,7," + lines[3].split(b",")[2]] + lines[4:]),
                           r"o.avi: line 4 of the CSV has output frame 7, not 2$", LEFT % 4, 1, None),
    "not-a-row": (lambda lines, video: crlf(lines[:2] + [b"x,y,z"] + lines[3:]),
                  r"line 3 of the CSV is not inframe,outframe,timestamp; 5 frames in the video, 4 rows", LEFT % 3, 1,
                  None),
    "row-repeated": (lambda lines, video: crlf(lines[:4] + lines[3:]),
                     r"line 5 of the CSV has output frame 2, not 3; 5 frames in the video, 6 rows", LEFT % 5, 1, None),
    "spreadsheet": (lambda lines, video: spreadsheet(lines), r"o.avi: ok \(5 frames\)$", r"o.avi: ok \(5 frames\)$", 0,
                    None),
    "video-empty": (lambda lines, video: video.write_bytes(b"") or crlf(lines),
                    r"the video is empty; 0 frames in the video, 5 rows in the CSV$",
                    r"not repaired: none of its frames reached the disk; its CSV's 5 rows are kept$", 1, None),
    "orig-taken": (lambda lines, video: orig_taken(video) or crlf(lines + extra_rows(lines, 1)), r"6 rows in the CSV$",
                   r"not repaired: the CSV could not be trimmed to 5 rows: \S+o.avi.csv.orig is there from an earlier "
                   r"repair \(move it away to repair again\)$", 1, None),
    "avi-cut-in-its-last-frame": (lambda lines, video: cut_in_last_frame(video) or crlf(lines),
                                  r"the AVI has no index \(it was not closed\)$", r"repaired: index rebuilt \(the "
                                  r"original is \S+o.avi.orig\); its cut-off last frame left out; CSV trimmed to 4 rows",
                                  0, 4),
}


@pytest.mark.parametrize("damage, problem, repaired, status, rows", REPAIRS.values(), ids=REPAIRS)
def test_check_and_repair(tmp_path, capsys, damage, problem, repaired, status, rows):
    import quarrin as api

    if "index" in repaired:
        parts.module("av", "PyAV is not installed")
    video, csv_path = tmp_path / "o" / "o.avi", tmp_path / "o" / "o.avi.csv"
    api.record(videos.moving_clip(tmp_path / "in.avi", 5), video)
    damaged = damage(csv_path.read_bytes().split(b"\r\n")[:-1], video)
    csv_path.write_bytes(damaged)
    files = {n: (tmp_path / "o" / n).read_bytes() for n in os.listdir(tmp_path / "o")}
    first = 0 if problem.endswith(r"ok \(5 frames\)$") else 1
    for args, pattern, expected in (([csv_path], problem, first), ([video, "--repair"], repaired, status),
                                    ([video], r"ok \(\d+ frames\)$" if status == 0 else None, status)):
        found, lines = check_command(capsys, *args)  # a CSV stands for its video
        assert found == expected and re.search(pattern or "", lines[0]) and "(0 frames)" not in lines[0], lines
    if rows is None:  # left as it was
        assert {n: (tmp_path / "o" / n).read_bytes() for n in os.listdir(tmp_path / "o")} == files
    else:  # trimmed to its first rows, the original kept
        assert (tmp_path / "o" / "o.avi.csv.orig").read_bytes() == damaged
        assert csv_path.read_bytes() == crlf(damaged.split(b"\r\n")[:rows + 1])
        assert sorted(os.listdir(tmp_path / "o")) == sorted(files) + ["o.avi.csv.orig"] + (
            ["o.avi.orig"] if "index" in repaired else [])


def test_the_stamps_writer_writes_what_the_engine_writes(tmp_path):
    import quarrin as api
    from quarrin import stamps

    api.record(videos.moving_clip(tmp_path / "in.avi", 5), tmp_path / "o.avi")
    engine = (tmp_path / "o.avi.csv").read_bytes()
    rows = [(int(i), int(o), t) for i, o, t in csv_rows(tmp_path / "o.avi.csv")]
    writer = stamps.Writer()
    for name in ("a.csv", "b.csv"):   # one writer, a file per segment
        (tmp_path / name).touch()
        writer.open(str(tmp_path / name))
        for row in rows:
            writer.write(*row)
        assert (tmp_path / name).read_bytes() == engine   # each row flushed with its frame
        writer.close()
    assert engine.startswith(b"inframe,outframe,timestamp\r\n") and engine.count(b"\r\n") == 6


def _stamp_rows(times, start=0, sep=b","):
    return [sep.join((b"%d" % (start + i), b"%d" % (start + i), t)) for i, t in enumerate(times)]


T = [b"2026-12-08T10:15:0%d" % i for i in range(3)]
TS = [t.decode() for t in T]
H = b"inframe,outframe,timestamp"
# A timestamps CSV's bytes -> what check reads (rows, its first problem), the rows the web view and
# the repair of open events read (their input frames), and the index's (complete lines, first and
# last time; None: no timestamps CSV). One reader: they agree on every file.
STAMPS_READS = {
    "recorded": (crlf([H] + _stamp_rows(T)), 3, None, [0, 1, 2], (4, TS[0], TS[2])),
    "cut-off": (crlf([H] + _stamp_rows(T)[:2]) + _stamp_rows(T)[2][:12], 2, "line 4 of the CSV is cut off", [0, 1],
                (3, TS[0], TS[1])),
    "spreadsheet": (b'\xef\xbb\xbf"inframe","outframe","timestamp"\n' + b"\n".join(_stamp_rows(T, sep=b" , ")) + b"\n",
                    3, None, [0, 1, 2], (4, TS[0], TS[2])),
    "basic-times": (crlf([H] + _stamp_rows([b"20261208T10150%d" % i for i in range(3)])), 3, None, [0, 1, 2],
                    (4, TS[0], TS[2])),
    "not-a-row-between": (crlf([H, _stamp_rows(T)[0], b"x,y,z", _stamp_rows(T)[1]]), 2,
                          "line 3 of the CSV is not inframe,outframe,timestamp", [0, 1], (4, TS[0], TS[1])),
    "no-header": (crlf(_stamp_rows(T)), 0, "has no header", [0, 1, 2], None),
    "empty": (b"", 0, "is empty (no header)", [], None),
}


@pytest.mark.parametrize("data, rows, problem, inframes, ends", STAMPS_READS.values(), ids=STAMPS_READS)
def test_one_reader_of_timestamps(tmp_path, data, rows, problem, inframes, ends):
    from quarrin import checking, stamps

    path = tmp_path / "o.avi.csv"
    path.write_bytes(data)
    table = checking.read_table(str(path))
    assert table.rows == rows and (problem in table.problems[0] if problem else table.problems == [])
    assert [row.inframe for row in stamps.rows(str(path))] == inframes
    first = stamps.first_time(str(path))
    assert (first and first.second) == (inframes[0] if inframes else None)
    assert stamps.ends(str(path), len(data), stored=lambda text: stamps.read_time(text).isoformat()) == ends


class ReadOnly:
    """The os module (or tempfile) as checking sees it on a read-only file system."""

    def __init__(self, module):
        self.module = module

    def __getattr__(self, name):
        if name in ("link", "rename", "replace", "unlink", "truncate", "mkstemp"):
            def refuse(*args, **kwargs):
                raise OSError(errno.EROFS, os.strerror(errno.EROFS), args[0] if args else None)
            return refuse
        return getattr(self.module, name)


# A repair that cannot write (a read-only file system, a file size limit, a full disk) changes
# nothing, leaves no *.orig, and every video gets its line. Real where this machine lets the tests
# mount a file system.
@pytest.mark.parametrize("obstacle, reason", [("read-only", "Read-only file system"),
                                              ("read-only-mount", "Read-only file system"),
                                              ("size-limit", "File too large"),
                                              ("full-disk", "No space left on device")])
def test_check_repair_that_cannot_write_changes_nothing(tmp_path, capsys, monkeypatch, request, obstacle, reason):
    parts.module("av", "PyAV is not installed")
    import quarrin as api
    from quarrin import checking

    folder = request.getfixturevalue("small_disk") if obstacle in ("read-only-mount", "full-disk") else tmp_path / "o"
    for name in "abc":
        api.record(videos.moving_clip(tmp_path / "in.avi", 5), folder / (name + ".avi"), min_free=0)
    with open(folder / "a.avi.csv", "ab") as f:  # a row past its video
        f.write(crlf(extra_rows([b"5,5,2026-12-08T10:56:03"] * 6, 1)))
    data = (folder / "b.avi").read_bytes()
    (folder / "b.avi").write_bytes(data[:data.rfind(b"idx1")])  # no index
    if obstacle == "full-disk":
        fd = os.open(folder / "fill", os.O_WRONLY | os.O_CREAT)
        with pytest.raises(OSError):
            while True:
                os.write(fd, bytes(4096))
        os.close(fd)
    elif obstacle == "read-only-mount":
        subprocess.run(["mount", "-o", "remount,ro", str(folder)], check=True, timeout=30)
    elif obstacle == "read-only":
        monkeypatch.setattr(checking, "os", ReadOnly(os))
        monkeypatch.setattr(checking, "tempfile", ReadOnly(checking.tempfile))
    files = {n: (folder / n).read_bytes() for n in os.listdir(folder)}
    if obstacle == "size-limit":
        proc = quarrin("check", folder, "--repair", preexec_fn=size_limit(100))
        status, lines = proc.returncode, proc.stdout.splitlines()
    else:
        status, lines = check_command(capsys, folder, "--repair")
    assert status == 1
    assert lines[0].endswith("a.avi: 5 frames in the video, 6 rows in the CSV; not repaired: the CSV could not be "
                             "trimmed to 5 rows: " + reason), lines
    assert lines[1].endswith("b.avi: the AVI has no index (it was not closed); not repaired: the AVI index could not be "
                             "rebuilt: " + reason), lines
    assert lines[2:] == ["%s: ok (5 frames)" % (folder / "c.avi"), "Checked 3 videos: 1 ok, 2 damaged (not repaired)"]
    assert {n: (folder / n).read_bytes() for n in os.listdir(folder)} == files
