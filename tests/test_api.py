"""quarrin.record and the option checks behind it, called from Python."""
import dataclasses
import json
import os
import subprocess
import sys
import textwrap

import cv2
import pytest

import quarrin
import videos
from quarrin import options, recording

def test_import_stays_light():
    code = textwrap.dedent("""
        import json, sys
        import quarrin
        names = (quarrin.record, quarrin.batch, quarrin.RecordResult, quarrin.Segment, quarrin.Progress,
                 quarrin.UsageError)
        import quarrin.cli
        quarrin.cli.build_parser()
        print(json.dumps([m for m in ("cv2", "numpy", "matplotlib", "tqdm", "quarrin.snapwell", "dask")
                          if m in sys.modules]))
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert json.loads(out) == []


@pytest.mark.parametrize("given, expected", [
    (dict(roi="1, 2, 30,40"), dict(roi=(1, 2, 30, 40))),
    (dict(roi=[0, 0, 8, 1]), dict(roi=(0, 0, 8, 1))),
    (dict(size="640X480", text_at=(3, 4)), dict(size=(640, 480), text_at=(3, 4))),
    (dict(box_colour="orange", text_colour="#1E90FF"), dict(box_colour=(0, 165, 255), text_colour=(255, 144, 30))),
    (dict(box_colour="k", text_colour="w"), dict(box_colour=(0, 0, 0), text_colour=(255, 255, 255))),
    (dict(blur="255", threshold=0, min_area="0", interval="0.5", font_scale=2), dict(blur=255, interval=0.5)),
    (dict(motion=True, show_diff=True, pipeline=False), dict(motion=True, show_diff=True, pipeline=False)),
    (dict(fourcc="XVID", segment_frames="7"), dict(fourcc="XVID", segment_frames=7)),
])
def test_options_convert(given, expected):
    opts = options.check(**given)
    assert {k: getattr(opts, k) for k in expected} == expected
    with pytest.raises(dataclasses.FrozenInstanceError):
        opts.roi = None


@pytest.mark.parametrize("given, option", [
    (dict(roi=(0, 0, 8.5, 8)), "roi"), (dict(roi=(True, 0, 8, 8)), "roi"), (dict(size=(0, 10)), "size"),
    (dict(blur=2), "blur"), (dict(blur=21.0), "blur"), (dict(threshold=256), "threshold"),
    (dict(text_at="1;2"), "text_at"), (dict(box_colour=(0, 0, 0)), "box_colour"),
    (dict(duration=float("inf")), "duration"), (dict(fps=-1), "fps"), (dict(fourcc="MJPEG"), "fourcc"),
    (dict(motion="yes"), "motion"), (dict(motion=True, interval=1), None),
])
def test_options_refused(given, option):
    with pytest.raises(quarrin.UsageError) as info:
        options.check(**given)
    assert info.value.option == option
    if option:
        assert str(info.value).startswith(option + "=")


def test_keywords_follow_the_option_table():
    import inspect
    from pathlib import Path

    params = inspect.signature(quarrin.record).parameters
    table = [(o.name, o.default) for o in options.OPTIONS]
    assert [(p.name, p.default) for p in params.values() if p.name in options.FIELDS] == table
    assert [p for p in params if p not in options.FIELDS] == ["source", "output", "progress", "log", "notify", "quiet"]
    # Every default passes its own check, and the reference in docs/ is the table's.
    assert options.DEFAULTS == options.check(**dict(table))
    docs = Path(__file__).resolve().parent.parent / "docs" / "options.md"
    assert docs.read_text() == options.markdown(), "regenerate: python -m quarrin.options > docs/options.md"


def test_unknown_keyword_is_a_type_error(tmp_path):
    with pytest.raises(TypeError):
        quarrin.record("in.avi", "o.avi", colour="red")


def test_record_result(tmp_path, capsys):
    src = videos.moving_clip(tmp_path / "in.avi", 7)
    result = quarrin.record(src, tmp_path / "o.avi", segment_frames=3, roi=(0, 0, 32, 24), quiet=True)
    assert capsys.readouterr().out == ""
    assert (result.frames_read, result.frames_saved, result.stopped, result.files) == (7, 7, "end", 3)
    assert result.fps == 10.0 and result.frames_total == 7
    assert [(os.path.basename(s.video), s.frames, s.inframes) for s in result.segments] == [
        ("o_000.avi", 3, (0, 1, 2)), ("o_001.avi", 3, (3, 4, 5)), ("o_002.avi", 1, (6,))]
    seg = result.segments[1]
    assert seg.csv == seg.video + ".csv"
    assert (seg.last - seg.first).total_seconds() == pytest.approx(0.2)
    with pytest.raises(dataclasses.FrozenInstanceError):
        result.frames_read = 0


def test_recorder_lines_go_to_the_log(tmp_path, capsys):
    src = videos.moving_clip(tmp_path / "in.avi", 3)
    lines = []
    quarrin.record(src, tmp_path / "o.avi", log=lines.append)
    quarrin.record(src, tmp_path / "p.avi")
    assert capsys.readouterr().out == ""
    assert lines == ["Input from file %s Open? True" % src, "Frames to process 3",
                     "Video saved in %s" % (tmp_path / "o.avi"), "Timestamps in %s.csv" % (tmp_path / "o.avi")]


@pytest.mark.parametrize("kwargs, error", [
    (dict(roi=(0, 0, 65, 48)), quarrin.UsageError),
    (dict(fps=30), quarrin.UsageError),
    (dict(fourcc="ABCD"), quarrin.RecordingError),
])
def test_errors_before_anything_is_written(tmp_path, kwargs, error):
    src = videos.moving_clip(tmp_path / "in.avi", 3)
    with pytest.raises(error):
        quarrin.record(src, tmp_path / "out" / "o.avi", **kwargs)
    assert os.listdir(tmp_path) == ["in.avi"]


def test_progress_events_follow_every_frame(tmp_path):
    src = videos.scripted_clip(tmp_path / "in.avi", [8, 8, 8, 8, 16, 24, 32, 32, 32, 32])
    events = []
    result = quarrin.record(src, tmp_path / "m.avi", motion=True, min_area=50, quiet=True, progress=events.append)
    assert [e.frames_read for e in events] == list(range(1, 11))
    assert [e.frames_saved for e in events] == [1, 1, 1, 1, 2, 3, 4, 4, 4, 4]
    assert {e.segment for e in events} == {str(tmp_path / "m.avi")}
    assert all(e.total == 10 and e.input == src for e in events)
    assert result.frames_saved == 4


@pytest.mark.parametrize("pipeline", [True, False])
def test_last_progress_event_matches_the_result(tmp_path, pipeline):
    src = videos.scripted_clip(tmp_path / "in.avi", [8, 8, 16, 24, 24, 24])
    events = []
    result = quarrin.record(src, tmp_path / "m.avi", motion=True, min_area=50, quiet=True, pipeline=pipeline,
                            progress=events.append)
    assert events[-1] == quarrin.Progress(src, 6, result.frames_saved, 6, str(tmp_path / "m.avi"))
    assert result.frames_saved == 3


def test_progress_error_ends_the_recording_with_complete_files(tmp_path):
    src = videos.moving_clip(tmp_path / "in.avi", 5)

    def boom(event):
        raise RuntimeError("stop here")
    with pytest.raises(RuntimeError, match="stop here"):
        quarrin.record(src, tmp_path / "o.avi", quiet=True, progress=boom)
    rows = open(tmp_path / "o.avi.csv", "rb").read().split(b"\r\n")
    assert rows[0] == b"inframe,outframe,timestamp" and rows[-1] == b""
    assert len(videos.read_all(tmp_path / "o.avi")) == len(rows) - 2


class FakeCamera:
    """A camera that reports a size and a rate and records what it was asked."""
    asked = []

    def __init__(self, index, width=640, height=480, fps=0.0):
        self.index, self.props = index, {cv2.CAP_PROP_FRAME_WIDTH: width, cv2.CAP_PROP_FRAME_HEIGHT: height,
                                         cv2.CAP_PROP_FPS: fps}

    def isOpened(self):
        return True

    def set(self, prop, value):
        FakeCamera.asked.append((prop, value))
        self.props[prop] = value

    def get(self, prop):
        return self.props[prop]

    def release(self):
        pass


def camera_or_file(camera, real=cv2.VideoCapture):
    """A fake camera for an index; the real capture for a file (the codec check reads one back)."""
    return lambda source, *rest: camera(source) if isinstance(source, int) else real(source, *rest)


@pytest.mark.parametrize("reported_fps, kwargs, fps, roi", [
    (0.0, {}, 30, (0, 0, 640, 480)),     # a camera without a rate: 30, not 0 (no writer opens at 0)
    (14.98, {}, 15, (0, 0, 640, 480)),
    (25.0, dict(fps=12, size="320x240"), 12, (0, 0, 320, 240)),
    (25.0, dict(roi="10,20,100,50"), 25, (10, 20, 100, 50)),
])
def test_camera_plan(tmp_path, monkeypatch, reported_fps, kwargs, fps, roi):
    monkeypatch.setattr(cv2, "VideoCapture", camera_or_file(lambda index: FakeCamera(index, fps=reported_fps)))
    plan = recording.prepare("1", tmp_path / "cam.avi", options.check(**kwargs))
    a = plan.args
    assert (a["input_"], a["fps"], (a["roi_x"], a["roi_y"], a["roi_w"], a["roi_h"])) == ("1", fps, roi)
    assert plan.frames_total is None and os.listdir(tmp_path) == []


def test_camera_roi_checked_against_the_reported_size(tmp_path, monkeypatch):
    monkeypatch.setattr(cv2, "VideoCapture", camera_or_file(lambda index: FakeCamera(index, 320, 240)))
    with pytest.raises(quarrin.UsageError, match="does not fit the 320x240 frames of camera 0"):
        recording.prepare(0, tmp_path / "cam.avi", options.check(roi="0,0,640,480"))


@pytest.mark.parametrize("pipeline", [True, False])
def test_ctrl_c_through_the_progress_callback(tmp_path, pipeline):
    # A KeyboardInterrupt raised while a frame is reported stops the recording between frames,
    # with every file complete.
    src = videos.moving_clip(tmp_path / "in.avi", 6)

    def interrupt_at_four(event):
        if event.frames_read == 4:
            raise KeyboardInterrupt
    result = quarrin.record(src, tmp_path / "o.avi", quiet=True, pipeline=pipeline, progress=interrupt_at_four)
    assert (result.stopped, result.frames_read, result.frames_saved) == ("interrupt", 4, 4)
    assert [s.video for s in result.segments] == [str(tmp_path / "o.avi")]
    assert len(videos.read_all(tmp_path / "o.avi")) == result.segments[0].frames == 4
