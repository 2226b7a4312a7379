"""Faults mended in the recorder and the motion checks: narrow regions, rows flushed with their frames,
Ctrl-C with two recordings at once, segment names and unbounded blur kernels."""
import math
import os
import signal
import threading

import numpy as np
import pytest

import videos
from quarrin import options
from quarrin.layout import MIN_ROI_HEIGHT, MIN_ROI_WIDTH
from vcargs import PARAMS, record_args, vcapture_args

def capture_args(src, out, **overrides):
    return vcapture_args(str(src), str(out), **overrides)


def recording_args(src, out, **overrides):
    return record_args(str(src), str(out), **overrides)


class Untouchable:
    """A cv2 that fails the test on any use: nothing may be opened or called."""

    def __getattr__(self, name):
        raise AssertionError("cv2.%s used before the arguments were checked" % name)


@pytest.fixture
def sw():
    from quarrin import snapwell
    return snapwell


@pytest.fixture
def untouchable_cv2(sw, monkeypatch):
    monkeypatch.setitem(sw.__dict__, "cv2", Untouchable())


# The engine's own limits, for vcapture, are the front end's (quarrin.layout): the narrowest and
# lowest region one below them is refused, and one of exactly that size records.
@pytest.mark.parametrize("width, height, message", [
    (2, 17, "roi_w must be at least %d .*encoder" % MIN_ROI_WIDTH), (4, 17, "roi_w"), (MIN_ROI_WIDTH - 1, 17, "roi_w"),
    # OpenCV 4's MJPG encoder corrupts the heap on frames one row high (11x1 crashed it).
    (11, MIN_ROI_HEIGHT - 1, "roi_h must be at least %d .*one row high" % MIN_ROI_HEIGHT), (64, 1, "roi_h"),
])
def test_narrow_region_refused_before_anything_opens(sw, untouchable_cv2, tmp_path, width, height, message):
    with pytest.raises(ValueError, match=message):
        sw.vcapture(**capture_args(tmp_path / "in.avi", tmp_path / "out.avi", roi_w=width, roi_h=height))
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize("width, height", [(MIN_ROI_WIDTH, 4), (12, MIN_ROI_HEIGHT)])
def test_smallest_region_records(sw, tmp_path, width, height):
    src = videos.moving_clip(tmp_path / "in.avi", 3)
    assert sw.vcapture(**capture_args(src, tmp_path / "out.avi", roi_w=width, roi_h=height)) == 3
    assert [f.shape for f in videos.read_all(tmp_path / "out.avi")] == [(height, width, 3)] * 3


def _range_edges(option):
    """(values the option's range takes, values just beyond it): each bound and its neighbour outside."""
    r = option.check.range
    integer = isinstance(option.default, int)
    below = (lambda v: v - 1) if integer else (lambda v: math.nextafter(v, -math.inf))
    above = (lambda v: v + 1) if integer else (lambda v: math.nextafter(v, math.inf))
    taken, beyond = [r.high], [above(r.high)]
    if r.above_low:
        taken.append(above(r.low))
        beyond.append(r.low)
    else:
        taken.append(r.low)
        beyond.append(below(r.low))
    if r.zero:
        taken.append(0)
    return taken, beyond


# The options that fill a parameter of the front end's entry of its own (not one of vcapture's).
ENGINE_RANGED = [o for o in options.OPTIONS if hasattr(o.check, "range") and o.engine and o.engine[0] not in PARAMS]


@pytest.mark.parametrize("option", ENGINE_RANGED, ids=[o.name for o in ENGINE_RANGED])
def test_engine_takes_the_option_table_ranges(sw, untouchable_cv2, tmp_path, option):
    """The engine refuses just what the table refuses, before anything opens: a value it takes goes
    on to open the source (the untouchable cv2)."""
    from quarrin._recorder import record

    (param,) = option.engine
    taken, beyond = _range_edges(option)
    (tmp_path / "in.avi").write_bytes(b"")
    for value in taken:
        assert option.check(option.name, value) == value
        with pytest.raises(AssertionError, match="used before the arguments were checked"):
            record(**recording_args(tmp_path / "in.avi", tmp_path / "out.avi"), **{param: value})
    for value in beyond:
        with pytest.raises(options.UsageError):
            option.check(option.name, value)
        with pytest.raises((ValueError, OverflowError)) as refused:  # a whole number past 32 bits: OverflowError
            record(**recording_args(tmp_path / "in.avi", tmp_path / "out.avi"), **{param: value})
        assert refused.type is OverflowError or str(refused.value).startswith(param + " must be")
    assert os.listdir(tmp_path) == ["in.avi"]


def test_engine_ranges_cover_the_events_and_live_options():
    assert {"before", "after", "min_event", "max_changed", "detect_width", "open_timeout", "reconnect",
            "segment_seconds"} <= {o.name for o in ENGINE_RANGED}


@pytest.mark.parametrize("kernel", [257, 100001, 2**31 - 1])
@pytest.mark.parametrize("check, ndim", [("check_motion_gray", 2), ("check_motion_rgb", 3)])
def test_motion_check_refuses_huge_kernels_before_cv2(sw, untouchable_cv2, check, ndim, kernel):
    shape = (16, 16) if ndim == 2 else (16, 16, 3)
    with pytest.raises(ValueError, match="kernel_width must be at most 255"):
        getattr(sw, check)(np.zeros(shape, np.uint8), np.zeros((16, 16), np.uint8), np.zeros((16, 16), np.uint8),
                           25, 10, kernel)


def test_largest_kernel_still_runs(sw):
    prev, cur = np.zeros((16, 16), np.uint8), np.zeros((16, 16), np.uint8)
    assert sw.check_motion_gray(np.zeros((16, 16), np.uint8), prev, cur, 25, 10, 255) is False


@pytest.mark.parametrize("motion, refused", [(True, True), (False, False)])
def test_vcapture_checks_kernel_only_when_gating_by_motion(sw, tmp_path, motion, refused):
    src = videos.moving_clip(tmp_path / "in.avi", 3)
    args = capture_args(src, tmp_path / "out.avi", motion_based=motion, kernel_width=301)
    if refused:
        with pytest.raises(ValueError, match="kernel_width must be at most 255"):
            sw.vcapture(**args)
        assert os.listdir(tmp_path) == ["in.avi"]
    else:
        assert sw.vcapture(**args) == 3


@pytest.mark.parametrize("output, made", [
    ("run.1/cam.avi", ["run.1/cam_000.avi", "run.1/cam_001.avi"]),
    ("./cam.avi", ["cam_000.avi", "cam_001.avi"]),
    ("cam.tar.avi", ["cam.tar_000.avi", "cam.tar_001.avi"]),
])
def test_segment_number_goes_before_the_file_extension(sw, tmp_path, monkeypatch, output, made):
    monkeypatch.chdir(tmp_path)
    os.mkdir("run.1")
    src = videos.moving_clip(tmp_path / "in.avi", 4)
    assert sw.vcapture(**capture_args(src, output, max_frames=2)) == 4
    for name in made:
        assert os.path.isfile(name) and os.path.isfile(name + ".csv"), name


@pytest.mark.parametrize("output", ["video", ".hidden"])
def test_name_without_extension_gets_the_number_appended(sw, tmp_path, monkeypatch, output):
    monkeypatch.chdir(tmp_path)
    src = videos.moving_clip(tmp_path / "in.avi", 2)
    with pytest.raises(RuntimeError, match="Could not open video file %s_000 for writing" % output):
        sw.vcapture(**capture_args(src, output, max_frames=1))


def test_rows_reach_the_os_as_frames_are_written(sw, tmp_path):
    src = videos.moving_clip(tmp_path / "in.avi", 5)
    out = tmp_path / "out.avi"
    seen = []

    def progress(read, saved, segment):
        # Every saved frame's row is already in the file the OS holds.
        with open(segment + ".csv", "rb") as f:
            seen.append(f.read().count(b"\r\n") - 1)

    from quarrin._recorder import record
    assert record(**recording_args(src, out), progress=progress)[:3] == (5, 5, "end")
    assert seen == [1, 2, 3, 4, 5]


def test_ctrl_c_stops_the_recording_that_noted_it(sw, tmp_path):
    from quarrin._recorder import record
    main_src = videos.moving_clip(tmp_path / "main.avi", 400)
    side_src = videos.moving_clip(tmp_path / "side.avi", 300)
    side_result = []
    side = threading.Thread(target=lambda: side_result.append(
        record(**recording_args(side_src, tmp_path / "side_out.avi", max_frames=1))))

    def interrupt_once(read, saved, segment):
        if read == 5:
            side.start()
        if read == 40:
            signal.raise_signal(signal.SIGINT)

    assert signal.getsignal(signal.SIGINT) is signal.default_int_handler
    read, saved, stopped = record(**recording_args(main_src, tmp_path / "main_out.avi", max_frames=1),
                                  progress=interrupt_once)[:3]
    side.join(60)
    assert stopped == "interrupt" and 40 <= read < 400
    assert [r[:3] for r in side_result] == [(300, 300, "end")]
