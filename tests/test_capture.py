"""vcapture: recordings of generated clips through the real cv2, and the camera, window, key and
failure paths through the fake cv2 bound into the module namespace."""
import datetime as dt
import os
import sys
import types
from pathlib import Path

import cv2
import numpy as np
import pytest

import videos
from children import interrupt_after_first_segment
from fakes import csv_rows

PROGRAMS = Path(__file__).parent / "programs"


def start_of(mtime=videos.MTIME):
    return dt.datetime.fromtimestamp(mtime)


# ---- real files -------------------------------------------------------------------------------

@pytest.mark.parametrize("fps", [10.0, 29.97])
def test_file_recording_console_csv_and_video(rig, tmp_path, capsys, fps):
    src = videos.moving_clip(tmp_path / "in.avi", 5, fps=fps)
    out = tmp_path / "out.avi"
    assert rig.record(src, out, roi_x=8, roi_y=4, roi_w=32, roi_h=24) == 5
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
def test_segments(rig, tmp_path, capsys, max_frames, existing, expected):
    src = videos.moving_clip(tmp_path / "in.avi", 6)
    outdir = tmp_path / "o"
    outdir.mkdir()
    for name in existing:
        (outdir / name).write_bytes(b"keep")
    assert rig.record(src, outdir / "out.avi", max_frames=max_frames) == 6
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


def test_unsupported_fourcc_raises_after_cleanup(rig, tmp_path):
    src = videos.moving_clip(tmp_path / "in.avi", 3)
    out = tmp_path / "out.avi"
    with pytest.raises(RuntimeError, match=r"out\.avi.*'ABCD'"):
        rig.record(src, out, fmt="ABCD")
    # The CSV was closed by the clean-up: its header is on disk, and no frame is listed.
    assert open(str(out) + ".csv", "rb").read() == b"inframe,outframe,timestamp\r\n"


@pytest.mark.parametrize("overrides, error, named", [
    (dict(fmt="MJP"), TypeError, True), (dict(fmt=None), TypeError, True), (dict(output=None), AttributeError, False)])
def test_unusable_fourcc_or_output(rig, tmp_path, capsys, overrides, error, named):
    src = videos.moving_clip(tmp_path / "in.avi", 3)
    with pytest.raises(error):
        rig.record(**{"input_": src, "output": tmp_path / "out.avi", **overrides})
    assert ("Video saved in" in capsys.readouterr().out) == named
    assert sorted(os.listdir(tmp_path)) == ["in.avi"]


@pytest.mark.parametrize("overrides, count, result, inframes", [
    (dict(interval=2.0), 65, 65, [20, 40, 60]),
    (dict(duration=1.0), 30, 12, list(range(11))),
    (dict(interval=0.0, duration=0.0), 7, 7, list(range(7))),
], ids=["interval", "duration", "every-frame"])
def test_interval_and_duration(rig, tmp_path, overrides, count, result, inframes):
    src = videos.moving_clip(tmp_path / "in.avi", count, fps=10.0)
    out = tmp_path / "out.avi"
    assert rig.record(src, out, **overrides) == result
    rows = csv_rows(str(out) + ".csv")
    assert [(int(r[0]), int(r[1])) for r in rows] == [(f, i) for i, f in enumerate(inframes)]
    start = start_of()
    assert [r[2] for r in rows] == [(start + dt.timedelta(seconds=f / 10.0)).isoformat() for f in inframes]


def test_motion_gating_on_a_moving_square(rig, tmp_path):
    # still, still, still, still, moves x3, still x3
    src = videos.scripted_clip(tmp_path / "in.avi", [8, 8, 8, 8, 16, 24, 32, 32, 32, 32])
    out = tmp_path / "out.avi"
    assert rig.record(src, out, motion_based=True, threshold=25, min_area=50) == 10
    # Frame 0 against the all-zero reference, then the three moves.
    assert [int(r[0]) for r in csv_rows(str(out) + ".csv")] == [0, 4, 5, 6]
    assert len(videos.read_all(out)) == 4


@pytest.mark.parametrize("roi, result", [
    ((32, 0, 33, 48), 0), ((0, 24, 64, 25), 0), ((32, 24, 32, 24), 3), ((0, 0, 64, 48), 3)])
def test_roi_against_the_frames(rig, tmp_path, capsys, roi, result):
    src = videos.moving_clip(tmp_path / "in.avi", 3)
    x, y, w, h = roi
    assert rig.record(src, tmp_path / "out.avi", roi_x=x, roi_y=y, roi_w=w, roi_h=h) == result
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
def test_rejected_before_anything_opens(rig, tmp_path, overrides, error):
    fake = rig.fake_cv2([videos.square_frame(64, 48, 0, 0)] * 2)
    with pytest.raises(error):
        rig.record(**{"input_": "0", "output": tmp_path / "out.avi", **overrides})
    assert fake.calls == []
    assert os.listdir(tmp_path) == []


def test_colours_unused_without_timestamp(rig, tmp_path):
    src = videos.moving_clip(tmp_path / "in.avi", 2)
    assert rig.record(src, tmp_path / "out.avi", tb=None, tc=np.array([], np.int32)) == 2


@pytest.mark.parametrize("timestamp", [False, True])
def test_overlay_changes_pixels_only_when_on(rig, tmp_path, timestamp):
    src = videos.moving_clip(tmp_path / "in.avi", 3)
    spy = rig.fake_cv2()  # the real capture and writer, logged
    tb, tc, tx, ty = (10, 20, 30), (200, 210, 220), 2, 20
    assert rig.record(src, tmp_path / "out.avi", roi_x=8, roi_y=8, roi_w=48, roi_h=32,
                                timestamp=timestamp, tb=np.array(tb, np.int32), tc=np.array(tc, np.int32),
                                tx=tx, ty=ty, fs=0.5) == 3
    crops = [f[8:40, 8:56] for f in videos.read_all(src)]
    drawn = spy.names("getTextSize", "rectangle", "putText")
    written = spy.writers[0].frames
    if not timestamp:
        assert drawn == []
        assert all(np.array_equal(w, c) for w, c in zip(written, crops))
        return
    assert drawn == ["getTextSize", "rectangle", "putText"] * 3
    start = start_of()
    for i, (written, crop) in enumerate(zip(written, crops)):
        tstr = (start + dt.timedelta(seconds=i / 10.0)).isoformat()
        (tw, th), _ = cv2.getTextSize(tstr, cv2.FONT_HERSHEY_SIMPLEX, 0.5, 2)
        changed = np.argwhere((written != crop).any(axis=2))
        assert len(changed) > 0
        assert changed[:, 0].min() >= ty - th - 2 and changed[:, 0].max() <= ty + 4
        assert (written[ty - th:ty + 1, tx:tx + tw] == tb).all(axis=2).any()
        assert (written == tc).all(axis=2).any()


def test_missing_output_directory(rig, tmp_path, capsys):
    src = videos.moving_clip(tmp_path / "in.avi", 3)
    assert rig.record(src, tmp_path / "nowhere" / "out.avi") == 1
    assert capsys.readouterr().out.splitlines()[-1] == "Could not find one or more file paths"
    assert sorted(os.listdir(tmp_path)) == ["in.avi"]


def test_input_file_that_does_not_open(rig, tmp_path, capsys):
    bad = tmp_path / "bad.avi"
    bad.write_bytes(os.urandom(256))
    assert rig.record(bad, tmp_path / "out.avi") == 0
    assert capsys.readouterr().out.splitlines() == [
        "Input from file %s Open? False" % bad, "Could not open video file %s for reading." % bad]
    with pytest.raises(FileNotFoundError):
        rig.record(tmp_path / "missing.avi", tmp_path / "out.avi")
    assert sorted(os.listdir(tmp_path)) == ["bad.avi"]


# ---- fake cv2 ---------------------------------------------------------------------------------

# Sites that open, check or close a capture, writer or window.
LIFECYCLE = ("VideoCapture", "VideoWriter", "cap.release", "out.isOpened", "out.release", "destroyAllWindows")


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
def test_camera_input(rig, tmp_path, capsys, fps, width, height, config, sets, printed):
    fake = rig.fake_cv2(colour_frames(3))
    Clock.ticks = 0
    rig.bind(datetime=Clock)
    out = tmp_path / "cam.avi"
    assert rig.record(" 1 ", out, fps=fps, width=width, height=height, config=config) == 3
    props = {"W": cv2.CAP_PROP_FRAME_WIDTH, "H": cv2.CAP_PROP_FRAME_HEIGHT, "FPS": cv2.CAP_PROP_FPS,
             "SETTINGS": cv2.CAP_PROP_SETTINGS}
    assert (fake.calls[0].name, fake.calls[0].args) == ("VideoCapture", (1,))
    assert [c.args for c in fake.calls_to("cap.set")] == [(props[p], v) for p, v in sets]
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
def test_camera_backend(rig, tmp_path, platform, interactive, expected):
    fake = rig.fake_cv2(colour_frames(2))
    rig.bind(sys=types.SimpleNamespace(platform=platform))
    assert rig.record("0", tmp_path / "o.avi", interactive=interactive) == 2
    assert (fake.calls[0].name, *fake.calls[0].args) == expected


@pytest.mark.parametrize("platform, interactive, retried", [
    ("win32", True, True), ("win32", False, False), ("darwin", True, False)])
def test_file_retry_with_directshow(rig, tmp_path, capsys, platform, interactive, retried):
    src = tmp_path / "in.avi"
    src.write_bytes(b"")
    fake = rig.fake_cv2(colour_frames(2), opened=[False, True])
    rig.bind(sys=types.SimpleNamespace(platform=platform))
    result = rig.record(src, tmp_path / "o.avi", interactive=interactive)
    opens = [("VideoCapture", *c.args) for c in fake.calls_to("VideoCapture")]
    if retried:
        assert result == 2
        assert opens == [("VideoCapture", str(src)), ("VideoCapture", str(src), cv2.CAP_DSHOW)]
    else:
        assert result == 0 and opens == [("VideoCapture", str(src))]
        assert capsys.readouterr().out.splitlines()[-1] == "Could not open video file %s for reading." % src


def test_roi_against_the_camera_size(rig, tmp_path, capsys):
    fake = rig.fake_cv2(colour_frames(2), props={cv2.CAP_PROP_FRAME_WIDTH: 640.0, cv2.CAP_PROP_FRAME_HEIGHT: 0.0})
    assert rig.record("0", tmp_path / "o.avi", roi_w=640, roi_h=2) == 0
    assert capsys.readouterr().out.splitlines()[-2:] == ["Frame size: 640x0", "ROI limits exceed frame size"]
    assert fake.names(*LIFECYCLE) == ["VideoCapture"] and fake.calls[0].args == (0,)  # no clean-up on this path


def test_grayscale_source_with_motion_gating(rig, tmp_path, capsys):
    frames = colour_frames(3, gray=True)
    fake = rig.fake_cv2(frames + [frames[-1]])
    out = tmp_path / "g.avi"
    assert rig.record("0", out, motion_based=True) == 4
    assert capsys.readouterr().out.splitlines().count("Frame dimension 2") == 4
    assert [int(r[0]) for r in csv_rows(str(out) + ".csv")] == [0, 1, 2]
    assert [f.shape for f in fake.writers[0].frames] == [(48, 64)] * 3


@pytest.mark.parametrize("keys, result", [
    ([113], 1), ([27], 1), ([-1, 113 + 256], 2), ([81, -1, 81], 4), ([], 4)])
def test_stop_keys(rig, tmp_path, keys, result):
    fake = rig.fake_cv2(colour_frames(4), keys=keys)
    out = str(tmp_path / "k.avi")
    assert rig.record("0", out, interactive=True) == result
    assert (out, cv2.WINDOW_NORMAL) in [c.args for c in fake.calls_to("namedWindow")]
    assert [c.args[0] for c in fake.calls_to("imshow")] == [out] * result
    assert [c.args for c in fake.calls_to("waitKey")] == [(1,)] * result
    assert len(csv_rows(out + ".csv")) == result


@pytest.mark.parametrize("k", [0, 1, 3])
def test_keyboard_interrupt_at_kth_read(rig, tmp_path, capsys, k):
    fake = rig.fake_cv2(colour_frames(6), failures={"cap.read": (k + 1, KeyboardInterrupt)})
    out = str(tmp_path / "ki.avi")
    assert rig.record("0", out, max_frames=2) == k
    assert capsys.readouterr().out.splitlines()[-1] == "Caught keyboard interrupt"
    written = sum(len(w.frames) for w in fake.writers)
    assert written == k
    names = sorted(n for n in os.listdir(tmp_path) if n.endswith(".csv"))
    assert sum(len(csv_rows(tmp_path / n)) for n in names) == k
    tail = ["cap.release", "out.isOpened", "out.release", "destroyAllWindows"] if k else \
        ["cap.release", "destroyAllWindows"]
    assert fake.names()[-len(tail):] == tail


def test_file_not_found_from_the_csv_open(rig, tmp_path, capsys):
    fake = rig.fake_cv2(colour_frames(3))
    assert rig.record("0", tmp_path / "no" / "o.avi") == 1
    assert capsys.readouterr().out.splitlines()[-1] == "Could not find one or more file paths"
    # The writer was created (the fake opens) and is released; there is no CSV to close.
    assert fake.names()[-4:] == ["cap.release", "out.isOpened", "out.release", "destroyAllWindows"]


class Boom(Exception):
    pass


@pytest.mark.parametrize("failures, raised, context", [
    ({"cap.release": Boom("release")}, "release", None),
    ({"out.write": Boom("write"), "destroyAllWindows": (2, Boom("windows"))}, "windows", "write"),
    ({"out.write": Boom("write"), "cap.release": Boom("release"), "destroyAllWindows": (2, Boom("windows"))},
     "release", "write"),
])
def test_cleanup_runs_every_step(rig, tmp_path, failures, raised, context):
    fake = rig.fake_cv2(colour_frames(3), failures=failures)
    out = str(tmp_path / "c.avi")
    with pytest.raises(Boom) as info:
        rig.record("0", out)
    assert str(info.value) == raised
    assert (str(info.value.__context__) if info.value.__context__ else None) == context
    # Every step ran, in order; the CSV was closed (flushed) whatever failed.
    assert fake.names()[-4:] == ["cap.release", "out.isOpened", "out.release", "destroyAllWindows"]
    assert len(csv_rows(out + ".csv")) == (0 if "out.write" in failures else 3)


def test_cleanup_order_on_a_normal_end(rig, tmp_path):
    fake = rig.fake_cv2(colour_frames(2))
    assert rig.record("0", tmp_path / "n.avi") == 2
    assert fake.names()[-4:] == ["cap.release", "out.isOpened", "out.release", "destroyAllWindows"]
    # Segment opening: fourcc, writer, CSV, isOpened check, then the windows.
    assert fake.names(*LIFECYCLE)[1:4] == [
        "VideoWriter", "out.isOpened", "destroyAllWindows"]


def test_headless_destroy_all_windows_is_not_a_failure(rig, tmp_path):
    rig.fake_cv2(colour_frames(2), failures={"destroyAllWindows": cv2.error("no GUI")})
    assert rig.record("0", tmp_path / "h.avi") == 2


def test_file_rate_zero(rig, tmp_path):
    src = tmp_path / "in.avi"
    src.write_bytes(b"")
    fake = rig.fake_cv2(colour_frames(2), props={cv2.CAP_PROP_FPS: 0.0})
    with pytest.raises(ZeroDivisionError, match="^float division$"):
        rig.record(src, tmp_path / "z.avi")
    assert fake.names()[-2:] == ["cap.release", "destroyAllWindows"]
    assert os.listdir(tmp_path) == ["in.avi"]


# ---- a real Ctrl-C ----------------------------------------------------------------------------

def test_sigint_ends_a_long_recording(tmp_path):
    src = videos.moving_clip(tmp_path / "long.avi", 3000, width=320, height=240)
    out = tmp_path / "rec.avi"
    args = '{"roi_w": 160, "roi_h": 120, "timestamp": true}'
    code, lines, err = interrupt_after_first_segment(
        [sys.executable, "-u", str(PROGRAMS / "record.py"), src, str(out), args, "--default-sigint"])
    assert code == 0, err
    assert lines[-2] == "Caught keyboard interrupt"
    n = int(lines[-1].split()[1])
    assert 0 < n < 3000
    rows = csv_rows(str(out) + ".csv")
    assert [int(r[0]) for r in rows] == list(range(n))
    assert len(videos.read_all(out)) == n
