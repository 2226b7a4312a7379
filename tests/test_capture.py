"""vcapture: recordings of generated clips through the real cv2, and the camera, window, key and
failure paths through a fake cv2 bound into the module namespace."""
import datetime as dt
import os
import signal
import subprocess
import sys
import textwrap
import threading
import time
import types

import cv2
import numpy as np
import pytest

import videos

GLOBALS = ("cv2", "np", "os", "sys", "time", "datetime", "timedelta", "csv")


@pytest.fixture
def sw():
    from quarrin import snapwell

    saved = {name: snapwell.__dict__[name] for name in GLOBALS if name in snapwell.__dict__}
    yield snapwell
    for name in GLOBALS:
        snapwell.__dict__.pop(name, None)
    snapwell.__dict__.update(saved)


def params(input_, output, **overrides):
    p = dict(input_=str(input_), output=str(output), fmt="MJPG", fps=30, interactive=False, width=0, height=0,
             roi_x=0, roi_y=0, roi_w=64, roi_h=48, interval=0.0, duration=0.0, max_frames=0, motion_based=False,
             config=False, threshold=25, min_area=50, kernel_width=21, timestamp=False, show_diff=False,
             tb=np.array([0, 0, 0], np.int32), tc=np.array([255, 255, 255], np.int32), tx=2, ty=20, fs=0.5)
    p.update(overrides)
    return p


def csv_rows(path):
    data = open(path, "rb").read()
    assert data.startswith(b"inframe,outframe,timestamp\r\n")
    lines = data.split(b"\r\n")
    assert lines[-1] == b""
    return [line.decode().split(",") for line in lines[1:-1]]


def start_of(mtime=videos.MTIME):
    return dt.datetime.fromtimestamp(mtime)


# ---- real files -------------------------------------------------------------------------------

@pytest.mark.parametrize("fps", [10.0, 29.97])
def test_file_recording_console_csv_and_video(sw, tmp_path, capsys, fps):
    src = videos.moving_clip(tmp_path / "in.avi", 5, fps=fps)
    out = tmp_path / "out.avi"
    assert sw.vcapture(**params(src, out, roi_x=8, roi_y=4, roi_w=32, roi_h=24)) == 5
    assert capsys.readouterr().out.splitlines() == [
        "Input from file %s Open? True" % src,
        "Frames to process 5",
        "Video saved in %s" % out,
        "Timestamps in %s.csv" % out,
    ]
    start = start_of()
    expected = b"inframe,outframe,timestamp\r\n" + b"".join(
        b"%d,%d,%s\r\n" % (i, i, (start + dt.timedelta(seconds=i / fps)).isoformat().encode()) for i in range(5))
    assert open(str(out) + ".csv", "rb").read() == expected
    frames = videos.read_all(out)
    assert [f.shape for f in frames] == [(24, 32, 3)] * 5
    # The writer declares the file's own rate, fractional ones included.
    assert videos.clip_fps(out) == pytest.approx(fps, abs=1e-3)


@pytest.mark.parametrize("max_frames, existing, expected", [
    (0, [], {"out.avi": 6}),
    (-3, [], {"out.avi": 6}),
    (1, [], {"out_%03d.avi" % i: 1 for i in range(6)}),
    (2, [], {"out_000.avi": 2, "out_001.avi": 2, "out_002.avi": 2}),
    (3, [], {"out_000.avi": 3, "out_001.avi": 3}),
    (0, ["out.avi"], {"out_001.avi": 6}),
    (2, ["out_000.avi"], {"out_001.avi": 2, "out_002.avi": 2, "out_003.avi": 2}),
    (2, ["out_001.avi"], {"out_000.avi": 2, "out_002.avi": 2, "out_003.avi": 2}),
])
def test_segments(sw, tmp_path, capsys, max_frames, existing, expected):
    src = videos.moving_clip(tmp_path / "in.avi", 6)
    outdir = tmp_path / "o"
    outdir.mkdir()
    for name in existing:
        (outdir / name).write_bytes(b"keep")
    assert sw.vcapture(**params(src, outdir / "out.avi", max_frames=max_frames)) == 6
    saved = [line[len("Video saved in "):] for line in capsys.readouterr().out.splitlines()
             if line.startswith("Video saved in ")]
    assert saved == [str(outdir / name) for name in expected]
    inframe = 0
    for name, size in expected.items():
        rows = csv_rows(outdir / (name + ".csv"))
        assert [(int(r[0]), int(r[1])) for r in rows] == [(inframe + i, i) for i in range(size)]
        assert len(videos.read_all(outdir / name)) == size
        inframe += size
    for name in existing:
        assert (outdir / name).read_bytes() == b"keep"
    assert sorted(os.listdir(outdir)) == sorted(existing + list(expected) + [n + ".csv" for n in expected])


def test_unsupported_fourcc_raises_after_cleanup(sw, tmp_path):
    src = videos.moving_clip(tmp_path / "in.avi", 3)
    out = tmp_path / "out.avi"
    with pytest.raises(RuntimeError, match=r"out\.avi.*'ABCD'"):
        sw.vcapture(**params(src, out, fmt="ABCD"))
    # The CSV was closed by the clean-up: its header is on disk, and no frame is listed.
    assert open(str(out) + ".csv", "rb").read() == b"inframe,outframe,timestamp\r\n"


@pytest.mark.parametrize("overrides, error, named", [
    (dict(fmt="MJP"), TypeError, True), (dict(fmt=None), TypeError, True), (dict(output=None), AttributeError, False)])
def test_unusable_fourcc_or_output(sw, tmp_path, capsys, overrides, error, named):
    src = videos.moving_clip(tmp_path / "in.avi", 3)
    args = params(src, tmp_path / "out.avi")
    args.update(overrides)
    with pytest.raises(error):
        sw.vcapture(**args)
    assert ("Video saved in" in capsys.readouterr().out) == named
    assert sorted(os.listdir(tmp_path)) == ["in.avi"]


@pytest.mark.parametrize("overrides, count, result, inframes", [
    (dict(interval=2.0), 65, 65, [20, 40, 60]),
    (dict(duration=1.0), 30, 12, list(range(11))),
    (dict(interval=0.0, duration=0.0), 7, 7, list(range(7))),
], ids=["interval", "duration", "every-frame"])
def test_interval_and_duration(sw, tmp_path, overrides, count, result, inframes):
    src = videos.moving_clip(tmp_path / "in.avi", count, fps=10.0)
    out = tmp_path / "out.avi"
    assert sw.vcapture(**params(src, out, **overrides)) == result
    rows = csv_rows(str(out) + ".csv")
    assert [(int(r[0]), int(r[1])) for r in rows] == [(f, i) for i, f in enumerate(inframes)]
    start = start_of()
    assert [r[2] for r in rows] == [(start + dt.timedelta(seconds=f / 10.0)).isoformat() for f in inframes]


def test_motion_gating_on_a_moving_square(sw, tmp_path):
    # still, still, still, still, moves x3, still x3
    src = videos.scripted_clip(tmp_path / "in.avi", [8, 8, 8, 8, 16, 24, 32, 32, 32, 32])
    out = tmp_path / "out.avi"
    assert sw.vcapture(**params(src, out, motion_based=True, threshold=25, min_area=50)) == 10
    # Frame 0 against the all-zero reference, then the three moves.
    assert [int(r[0]) for r in csv_rows(str(out) + ".csv")] == [0, 4, 5, 6]
    assert len(videos.read_all(out)) == 4


@pytest.mark.parametrize("roi, result", [
    ((32, 0, 33, 48), 0), ((0, 24, 64, 25), 0), ((32, 24, 32, 24), 3), ((0, 0, 64, 48), 3)])
def test_roi_against_the_frames(sw, tmp_path, capsys, roi, result):
    src = videos.moving_clip(tmp_path / "in.avi", 3)
    x, y, w, h = roi
    assert sw.vcapture(**params(src, tmp_path / "out.avi", roi_x=x, roi_y=y, roi_w=w, roi_h=h)) == result
    lines = capsys.readouterr().out.splitlines()
    if result == 0:
        assert lines[-1] == "ROI limits exceed frame size"
        assert sorted(os.listdir(tmp_path)) == ["in.avi"]
    else:
        assert [f.shape for f in videos.read_all(tmp_path / "out.avi")] == [(h, w, 3)] * 3


@pytest.mark.parametrize("overrides, error", [
    (dict(roi_x=-1), ValueError), (dict(roi_y=-2), ValueError),
    (dict(roi_w=0), ValueError), (dict(roi_h=-5), ValueError),
    (dict(timestamp=True, tb=None), ValueError),
    (dict(timestamp=True, tc=np.array([1, 2], np.int32)), ValueError),
    (dict(input_=None), TypeError),
    (dict(input_="99999999999"), OverflowError),
])
def test_rejected_before_anything_opens(sw, tmp_path, overrides, error):
    fake = FakeCv2(frames=[videos.square_frame(64, 48, 0, 0)] * 2)
    sw.__dict__["cv2"] = fake
    args = params("0", tmp_path / "out.avi")
    args.update(overrides)
    with pytest.raises(error):
        sw.vcapture(**args)
    assert fake.log == []
    assert os.listdir(tmp_path) == []


def test_colours_unused_without_timestamp(sw, tmp_path):
    src = videos.moving_clip(tmp_path / "in.avi", 2)
    assert sw.vcapture(**params(src, tmp_path / "out.avi", tb=None, tc=np.array([], np.int32))) == 2


@pytest.mark.parametrize("timestamp", [False, True])
def test_overlay_changes_pixels_only_when_on(sw, tmp_path, timestamp):
    src = videos.moving_clip(tmp_path / "in.avi", 3)
    spy = SpyCv2()
    sw.__dict__["cv2"] = spy
    tb, tc, tx, ty = (10, 20, 30), (200, 210, 220), 2, 20
    assert sw.vcapture(**params(src, tmp_path / "out.avi", roi_x=8, roi_y=8, roi_w=48, roi_h=32,
                                timestamp=timestamp, tb=np.array(tb, np.int32), tc=np.array(tc, np.int32),
                                tx=tx, ty=ty, fs=0.5)) == 3
    crops = [f[8:40, 8:56] for f in videos.read_all(src)]
    drawn = [name for name, _ in spy.calls if name in ("getTextSize", "rectangle", "putText")]
    if not timestamp:
        assert drawn == []
        assert all(np.array_equal(w, c) for w, c in zip(spy.written, crops))
        return
    assert drawn == ["getTextSize", "rectangle", "putText"] * 3
    start = start_of()
    for i, (written, crop) in enumerate(zip(spy.written, crops)):
        tstr = (start + dt.timedelta(seconds=i / 10.0)).isoformat()
        (tw, th), _ = cv2.getTextSize(tstr, cv2.FONT_HERSHEY_SIMPLEX, 0.5, 2)
        changed = np.argwhere((written != crop).any(axis=2))
        assert len(changed) > 0
        assert changed[:, 0].min() >= ty - th - 2 and changed[:, 0].max() <= ty + 4
        assert (written[ty - th:ty + 1, tx:tx + tw] == tb).all(axis=2).any()
        assert (written == tc).all(axis=2).any()


def test_missing_output_directory(sw, tmp_path, capsys):
    src = videos.moving_clip(tmp_path / "in.avi", 3)
    assert sw.vcapture(**params(src, tmp_path / "nowhere" / "out.avi")) == 1
    assert capsys.readouterr().out.splitlines()[-1] == "Could not find one or more file paths"
    assert sorted(os.listdir(tmp_path)) == ["in.avi"]


def test_input_file_that_does_not_open(sw, tmp_path, capsys):
    bad = tmp_path / "bad.avi"
    bad.write_bytes(os.urandom(256))
    assert sw.vcapture(**params(bad, tmp_path / "out.avi")) == 0
    assert capsys.readouterr().out.splitlines() == [
        "Input from file %s Open? False" % bad, "Could not open video file %s for reading." % bad]
    with pytest.raises(FileNotFoundError):
        sw.vcapture(**params(tmp_path / "missing.avi", tmp_path / "out.avi"))
    assert sorted(os.listdir(tmp_path)) == ["bad.avi"]


# ---- fake cv2 ---------------------------------------------------------------------------------

class FakeCapture:
    def __init__(self, cv, frames, props, opened=True, read_hook=None):
        self.cv, self.frames, self.props, self.opened, self.read_hook = cv, list(frames), props, opened, read_hook
        self.reads = 0

    def read(self):
        if self.read_hook:
            self.read_hook(self.reads)
        self.reads += 1
        frame = self.frames.pop(0) if self.frames else None
        return frame is not None, frame

    def set(self, prop, value):
        self.cv.log.append(("set", prop, value))
        return True

    def get(self, prop):
        return self.props.get(prop, 0.0)

    def isOpened(self):
        return self.opened

    def release(self):
        self.cv.log.append("cap.release")
        self.cv.fail("cap.release")


class FakeWriter:
    def __init__(self, cv, args):
        self.cv, self.args, self.frames = cv, args, []

    def isOpened(self):
        self.cv.log.append("out.isOpened")
        return True

    def write(self, image):
        self.cv.fail("write")
        self.frames.append(image.copy())

    def release(self):
        self.cv.log.append("out.release")


class FakeCv2:
    """Camera, writer and window calls logged; everything else from the real cv2."""

    def __init__(self, frames=(), props=None, keys=(), opened=(True,), read_hook=None, failures=None):
        self.log, self.writers, self.captures = [], [], []
        self.frames, self.keys, self.opened = list(frames), list(keys), list(opened)
        self.props = {cv2.CAP_PROP_FRAME_WIDTH: 64.0, cv2.CAP_PROP_FRAME_HEIGHT: 48.0,
                      cv2.CAP_PROP_FPS: 10.0, cv2.CAP_PROP_FRAME_COUNT: float(len(self.frames))}
        self.props.update(props or {})
        self.read_hook, self.failures, self.counts = read_hook, dict(failures or {}), {}

    def __getattr__(self, name):
        return getattr(cv2, name)

    def fail(self, what):
        """Raises the exception given for `what`: on every call, or on the nth one for (n, exc)."""
        self.counts[what] = self.counts.get(what, 0) + 1
        failure = self.failures.get(what)
        if isinstance(failure, tuple):
            if failure[0] == self.counts[what]:
                raise failure[1]
        elif failure is not None:
            raise failure

    def VideoCapture(self, *args):
        self.log.append(("VideoCapture",) + args)
        opened = self.opened.pop(0) if len(self.opened) > 1 else self.opened[0]
        cap = FakeCapture(self, self.frames, self.props, opened, self.read_hook)
        self.captures.append(cap)
        return cap

    def VideoWriter(self, *args):
        self.log.append(("VideoWriter",) + args)
        self.writers.append(FakeWriter(self, args))
        return self.writers[-1]

    def destroyAllWindows(self):
        self.log.append("destroyAllWindows")
        self.fail("destroyAllWindows")

    def namedWindow(self, name, flags):
        self.log.append(("namedWindow", name, flags))

    def imshow(self, name, image):
        self.log.append(("imshow", name))

    def waitKey(self, delay):
        assert delay == 1
        return self.keys.pop(0) if self.keys else -1


class SpyCv2:
    """The real cv2, recording the module-level calls and copies of the written frames."""

    def __init__(self):
        self.calls, self.written = [], []

    def __getattr__(self, name):
        real = getattr(cv2, name)
        if not callable(real) or name.isupper() or name == "error":
            return real

        def spy(*args):
            self.calls.append((name, args))
            result = real(*args)
            if name == "VideoWriter":
                return SpyWriter(result, self.written)
            return result
        return spy


class SpyWriter:
    def __init__(self, writer, written):
        self.writer, self.written = writer, written

    def write(self, image):
        self.written.append(image.copy())
        self.writer.write(image)

    def __getattr__(self, name):
        return getattr(self.writer, name)


def colour_frames(n, gray=False):
    return [videos.square_frame(64, 48, 4 * i, 8, gray=gray) for i in range(n)]


class Clock(dt.datetime):
    """datetime whose now() steps 40 ms from a fixed time."""
    ticks = 0

    @classmethod
    def now(cls, tz=None):
        cls.ticks += 1
        return cls(2024, 5, 6, 7, 8, 9) + dt.timedelta(milliseconds=40 * (cls.ticks - 1))


@pytest.mark.parametrize("fps, width, height, config, sets, printed", [
    (25, 640, 480, True, [("W", 640), ("H", 480), ("FPS", 25), ("SETTINGS", 1)], 25),
    (-5, 0, 0, False, [("FPS", 30)], 30),
    (0, 0, 320, False, [("H", 320)], 0),
])
def test_camera_input(sw, tmp_path, capsys, fps, width, height, config, sets, printed):
    fake = FakeCv2(frames=colour_frames(3))
    sw.__dict__["cv2"] = fake
    Clock.ticks = 0
    sw.__dict__["datetime"] = Clock
    out = tmp_path / "cam.avi"
    assert sw.vcapture(**params(" 1 ", out, fps=fps, width=width, height=height, config=config)) == 3
    props = {"W": cv2.CAP_PROP_FRAME_WIDTH, "H": cv2.CAP_PROP_FRAME_HEIGHT, "FPS": cv2.CAP_PROP_FPS,
             "SETTINGS": cv2.CAP_PROP_SETTINGS}
    assert fake.log[0] == ("VideoCapture", 1)
    assert [e for e in fake.log if e[0] == "set"] == [("set", props[p], v) for p, v in sets]
    writer_args = fake.writers[0].args
    assert writer_args[2] == printed and type(writer_args[2]) is int and writer_args[3] == (64, 48)
    assert capsys.readouterr().out.splitlines()[:2] == ["Camera FPS set to %d" % printed, "Frame size: 64x48"]
    # Wall-clock stamps: tick 0 is the start, ticks 1.. the frames.
    assert [r[2] for r in csv_rows(str(out) + ".csv")] == [
        "2024-05-06T07:08:09.%06d" % (40000 * i) for i in (1, 2, 3)]


@pytest.mark.parametrize("platform, interactive, expected", [
    ("win32", True, ("VideoCapture", 0, cv2.CAP_DSHOW)),
    ("win32", False, ("VideoCapture", 0)),
    ("linux", True, ("VideoCapture", 0)),
])
def test_camera_backend(sw, tmp_path, platform, interactive, expected):
    fake = FakeCv2(frames=colour_frames(2))
    sw.__dict__["cv2"] = fake
    sw.__dict__["sys"] = types.SimpleNamespace(platform=platform)
    assert sw.vcapture(**params("0", tmp_path / "o.avi", interactive=interactive)) == 2
    assert fake.log[0] == expected


@pytest.mark.parametrize("platform, interactive, retried", [
    ("win32", True, True), ("win32", False, False), ("darwin", True, False)])
def test_file_retry_with_directshow(sw, tmp_path, capsys, platform, interactive, retried):
    src = tmp_path / "in.avi"
    src.write_bytes(b"")
    fake = FakeCv2(frames=colour_frames(2), opened=[False, True])
    sw.__dict__["cv2"] = fake
    sw.__dict__["sys"] = types.SimpleNamespace(platform=platform)
    result = sw.vcapture(**params(src, tmp_path / "o.avi", interactive=interactive))
    opens = [e for e in fake.log if e[0] == "VideoCapture"]
    if retried:
        assert result == 2
        assert opens == [("VideoCapture", str(src)), ("VideoCapture", str(src), cv2.CAP_DSHOW)]
    else:
        assert result == 0 and opens == [("VideoCapture", str(src))]
        assert capsys.readouterr().out.splitlines()[-1] == "Could not open video file %s for reading." % src


def test_roi_against_the_camera_size(sw, tmp_path, capsys):
    fake = FakeCv2(frames=colour_frames(2), props={cv2.CAP_PROP_FRAME_WIDTH: 640.0, cv2.CAP_PROP_FRAME_HEIGHT: 0.0})
    sw.__dict__["cv2"] = fake
    assert sw.vcapture(**params("0", tmp_path / "o.avi", roi_w=640, roi_h=1)) == 0
    assert capsys.readouterr().out.splitlines()[-2:] == ["Frame size: 640x0", "ROI limits exceed frame size"]
    assert [e for e in fake.log if e[0] != "set"] == [("VideoCapture", 0)]  # no clean-up on this path


def test_grayscale_source_with_motion_gating(sw, tmp_path, capsys):
    frames = colour_frames(3, gray=True)
    fake = FakeCv2(frames=frames + [frames[-1]])
    sw.__dict__["cv2"] = fake
    out = tmp_path / "g.avi"
    assert sw.vcapture(**params("0", out, motion_based=True)) == 4
    assert capsys.readouterr().out.splitlines().count("Frame dimension 2") == 4
    assert [int(r[0]) for r in csv_rows(str(out) + ".csv")] == [0, 1, 2]
    assert [f.shape for f in fake.writers[0].frames] == [(48, 64)] * 3


@pytest.mark.parametrize("keys, result", [
    ([113], 1), ([27], 1), ([-1, 113 + 256], 2), ([81, -1, 81], 4), ([], 4)])
def test_stop_keys(sw, tmp_path, keys, result):
    fake = FakeCv2(frames=colour_frames(4), keys=keys)
    sw.__dict__["cv2"] = fake
    out = str(tmp_path / "k.avi")
    assert sw.vcapture(**params("0", out, interactive=True)) == result
    assert ("namedWindow", out, cv2.WINDOW_NORMAL) in fake.log
    assert [e for e in fake.log if e[0] == "imshow"] == [("imshow", out)] * result
    assert len(csv_rows(out + ".csv")) == result


@pytest.mark.parametrize("k", [0, 1, 3])
def test_keyboard_interrupt_at_kth_read(sw, tmp_path, capsys, k):
    def hook(i):
        if i == k:
            raise KeyboardInterrupt
    fake = FakeCv2(frames=colour_frames(6), read_hook=hook)
    sw.__dict__["cv2"] = fake
    out = str(tmp_path / "ki.avi")
    assert sw.vcapture(**params("0", out, max_frames=2)) == k
    assert capsys.readouterr().out.splitlines()[-1] == "Caught keyboard interrupt"
    written = sum(len(w.frames) for w in fake.writers)
    assert written == k
    names = sorted(n for n in os.listdir(tmp_path) if n.endswith(".csv"))
    assert sum(len(csv_rows(tmp_path / n)) for n in names) == k
    tail = ["cap.release", "out.isOpened", "out.release", "destroyAllWindows"] if k else \
        ["cap.release", "destroyAllWindows"]
    assert fake.log[-len(tail):] == tail


def test_file_not_found_from_the_csv_open(sw, tmp_path, capsys):
    fake = FakeCv2(frames=colour_frames(3))
    sw.__dict__["cv2"] = fake
    assert sw.vcapture(**params("0", tmp_path / "no" / "o.avi")) == 1
    assert capsys.readouterr().out.splitlines()[-1] == "Could not find one or more file paths"
    # The writer was created (the fake opens) and is released; there is no CSV to close.
    assert fake.log[-4:] == ["cap.release", "out.isOpened", "out.release", "destroyAllWindows"]


class Boom(Exception):
    pass


@pytest.mark.parametrize("failures, raised, context", [
    ({"cap.release": Boom("release")}, "release", None),
    ({"write": Boom("write"), "destroyAllWindows": (2, Boom("windows"))}, "windows", "write"),
    ({"write": Boom("write"), "cap.release": Boom("release"), "destroyAllWindows": (2, Boom("windows"))},
     "release", "write"),
])
def test_cleanup_runs_every_step(sw, tmp_path, failures, raised, context):
    fake = FakeCv2(frames=colour_frames(3), failures=failures)
    sw.__dict__["cv2"] = fake
    out = str(tmp_path / "c.avi")
    with pytest.raises(Boom) as info:
        sw.vcapture(**params("0", out))
    assert str(info.value) == raised
    assert (str(info.value.__context__) if info.value.__context__ else None) == context
    # Every step ran, in order; the CSV was closed (flushed) whatever failed.
    assert fake.log[-4:] == ["cap.release", "out.isOpened", "out.release", "destroyAllWindows"]
    assert len(csv_rows(out + ".csv")) == (0 if "write" in failures else 3)


def test_cleanup_order_on_a_normal_end(sw, tmp_path):
    fake = FakeCv2(frames=colour_frames(2))
    sw.__dict__["cv2"] = fake
    assert sw.vcapture(**params("0", tmp_path / "n.avi")) == 2
    assert fake.log[-4:] == ["cap.release", "out.isOpened", "out.release", "destroyAllWindows"]
    # Segment opening: fourcc, writer, CSV, isOpened check, then the windows.
    assert [e if isinstance(e, str) else e[0] for e in fake.log if e[0] != "set"][1:4] == [
        "VideoWriter", "out.isOpened", "destroyAllWindows"]


def test_headless_destroy_all_windows_is_not_a_failure(sw, tmp_path):
    fake = FakeCv2(frames=colour_frames(2), failures={"destroyAllWindows": cv2.error("no GUI")})
    sw.__dict__["cv2"] = fake
    assert sw.vcapture(**params("0", tmp_path / "h.avi")) == 2


def test_file_rate_zero(sw, tmp_path):
    src = tmp_path / "in.avi"
    src.write_bytes(b"")
    fake = FakeCv2(frames=colour_frames(2), props={cv2.CAP_PROP_FPS: 0.0})
    sw.__dict__["cv2"] = fake
    with pytest.raises(ZeroDivisionError, match="^float division$"):
        sw.vcapture(**params(src, tmp_path / "z.avi"))
    assert fake.log[-2:] == ["cap.release", "destroyAllWindows"]
    assert os.listdir(tmp_path) == ["in.avi"]


# ---- a real Ctrl-C ----------------------------------------------------------------------------

RECORDER = textwrap.dedent("""
    import signal
    import sys
    import numpy as np
    from quarrin import snapwell
    src, out = sys.argv[1], sys.argv[2]
    signal.signal(signal.SIGINT, signal.default_int_handler)  # even if started with SIGINT ignored
    n = snapwell.vcapture(src, out, "MJPG", 30, False, 0, 0, 0, 0, 160, 120, 0.0, 0.0, 0, False, False,
                          25, 50, 21, True, False, np.array([0, 0, 0], np.int32),
                          np.array([255, 255, 255], np.int32), 2, 20, 0.5)
    print("RESULT", n, flush=True)
""")


def test_sigint_ends_a_long_recording(tmp_path):
    src = videos.moving_clip(tmp_path / "long.avi", 3000, width=320, height=240)
    out = tmp_path / "rec.avi"
    proc = subprocess.Popen([sys.executable, "-u", "-c", RECORDER, src, str(out)], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)
    watchdog = threading.Timer(120, proc.kill)  # never hang the suite on a stuck child
    watchdog.start()
    try:
        lines = []
        for line in proc.stdout:
            lines.append(line.rstrip("\n"))
            if line.startswith("Timestamps in"):
                break
        time.sleep(0.5)
        proc.send_signal(signal.SIGINT)
        rest, err = proc.communicate(timeout=60)
    finally:
        watchdog.cancel()
        if proc.poll() is None:
            proc.kill()
    lines += rest.splitlines()
    assert proc.returncode == 0, err
    assert lines[-2] == "Caught keyboard interrupt"
    n = int(lines[-1].split()[1])
    assert 0 < n < 3000
    rows = csv_rows(str(out) + ".csv")
    assert [int(r[0]) for r in rows] == list(range(n))
    assert len(videos.read_all(out)) == n
