"""quarrin.record and the option checks behind it, called from Python."""
import csv
import dataclasses
import datetime
import json
import os
import re
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import cv2
import numpy as np
import pytest

import quarrin
import videos
from waiting import until
from quarrin import layout, options, recording, sources, writers
import parts
from quarrin.zones import Zone


class _Finder:
    def detect(self, frame):
        return []


FINDER = _Finder()


def test_import_stays_light():
    code = textwrap.dedent("""
        import json, sys
        import quarrin
        names = (quarrin.record, quarrin.batch, quarrin.RecordResult, quarrin.Segment, quarrin.Progress,
                 quarrin.UsageError, quarrin.events, quarrin.recordings)
        import quarrin.cli, quarrin.index
        quarrin.cli.build_parser()
        print(json.dumps([m for m in ("cv2", "numpy", "matplotlib", "tqdm", "quarrin.snapwell", "dask", "av")
                          if m in sys.modules]))
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert json.loads(out) == []


@pytest.mark.parametrize("given, expected", [
    (dict(roi="1, 2, 30,40"), dict(roi=(1, 2, 30, 40))),
    (dict(roi=[0, 0, 8, 2]), dict(roi=(0, 0, 8, 2))),
    (dict(size="640X480", text_at=(3, 4)), dict(size=(640, 480), text_at=(3, 4))),
    (dict(box_colour="orange", text_colour="#1E90FF"), dict(box_colour=(0, 165, 255), text_colour=(255, 144, 30))),
    (dict(box_colour="k", text_colour="w"), dict(box_colour=(0, 0, 0), text_colour=(255, 255, 255))),
    # Read without matplotlib, as it reads them.
    (dict(box_colour=" WHITE", text_colour="#00ff7F"), dict(box_colour=(255, 255, 255), text_colour=(127, 255, 0))),
    (dict(blur="255", threshold=0, min_area="0", interval="0.5", font_scale=2), dict(blur=255, interval=0.5)),
    (dict(motion=True, show_diff=True, pipeline=False), dict(motion=True, show_diff=True, pipeline=False)),
    (dict(fourcc="XVID", segment_frames="7"), dict(fourcc="XVID", segment_frames=7)),
    (dict(codec=" H264", quality="0", speed="VeryFast"), dict(codec="h264", quality=0, speed="veryfast")),
    # Just person needs no model file: hog. Labels are kept as given, but for the spaces around them.
    (dict(motion=True, objects=" person ", min_score="1", detect_fps="0.5"),
     dict(objects=("person",), detector="hog", min_score=1.0, detect_fps=0.5)),
    (dict(motion=True, objects=["Person", "traffic light"], detector=FINDER),
     dict(objects=("Person", "traffic light"), detector=FINDER)),
    (dict(motion=True, objects="person", detector=" HOG"), dict(detector="hog")),
    # Zones in the given order, from a dict of [x, y] points or from texts as --zone repeats them.
    (dict(motion=True, zones={"drive way": [[0, 0], [10, 0], [10, 10]], "door": "4,4, 8,4,8,8"}),
     dict(zones=(Zone("drive way", ((0, 0), (10, 0), (10, 10))), Zone("door", ((4, 4), (8, 4), (8, 8)))))),
    (dict(motion=True, zones=["b=0,0,4,0,4,4", " a =1,1,5,1,5,5"], require_zone=["a,b", "a"]),
     dict(zones=(Zone("b", ((0, 0), (4, 0), (4, 4))), Zone("a", ((1, 1), (5, 1), (5, 5)))),
          require_zone=("a", "b"))),
    # Rectangles stay as they were; more than four numbers, or [x, y] points, are a polygon.
    (dict(motion=True, ignore=["0,0,4,4", [1, 1, 9, 1, 9, 9], [[2, 2], [6, 2], [6, 6]]]),
     dict(ignore=((0, 0, 4, 4), ((1, 1), (9, 1), (9, 9)), ((2, 2), (6, 2), (6, 6))))),
    (dict(motion=True, ignore=[[2, 2], [6, 2], [6, 6], [2, 6]]), dict(ignore=(((2, 2), (6, 2), (6, 6), (2, 6)),))),
    (dict(motion=True, ignore=(1, 2, 3, 4)), dict(ignore=((1, 2, 3, 4),))),
    (dict(motion=True, ignore="0,0,8,8,8,0,0,8"), dict(ignore=(((0, 0), (8, 8), (8, 0), (0, 8)),))),  # crossed: an area
])
def test_options_convert(given, expected):
    opts = options.check_record_options(**given)
    assert {k: getattr(opts, k) for k in expected} == expected
    with pytest.raises(dataclasses.FrozenInstanceError):
        opts.roi = None


@pytest.mark.parametrize("given, option", [
    (dict(roi=(0, 0, 8.5, 8)), "roi"), (dict(roi=(True, 0, 8, 8)), "roi"), (dict(size=(0, 10)), "size"),
    (dict(blur=2), "blur"), (dict(blur=21.0), "blur"), (dict(threshold=256), "threshold"),
    (dict(text_at="1;2"), "text_at"), (dict(box_colour=(0, 0, 0)), "box_colour"),
    (dict(duration=float("inf")), "duration"), (dict(fps=-1), "fps"), (dict(fourcc="MJPEG"), "fourcc"),
    (dict(motion="yes"), "motion"), (dict(motion=True, interval=1), None),
    (dict(codec="h265"), "codec"), (dict(quality=52), "quality"), (dict(speed="placebo"), "speed"),
    (dict(fourcc="MJPG", codec="h264"), None), (dict(fourcc="MJPG", speed="fast"), "speed"),
    (dict(font_scale=10.5), "font_scale"), (dict(text_at=(2**31, 0)), "text_at"), (dict(min_free="-1M"), "min_free"),
    (dict(keep_days=3, keep_event_days=2), "keep_event_days"),
    (dict(objects="person"), "objects"), (dict(motion=True, objects=["person", "person"]), "objects"),
    (dict(motion=True, objects="person, "), "objects"), (dict(motion=True, objects=[1]), "objects"),
    (dict(motion=True, objects="car"), "objects"), (dict(motion=True, objects="person,car", detector="hog"), "objects"),
    (dict(motion=True, detector="hog"), "detector"), (dict(motion=True, objects="person", detector=object()), "detector"),
    (dict(motion=True, objects="car", detector="no-such-model.onnx"), "detector"),
    (dict(motion=True, objects="person", labels=__file__), "labels"),
    (dict(motion=True, objects="person", detector=FINDER, labels=__file__), "labels"),
    (dict(motion=True, min_score=0.7), "min_score"), (dict(motion=True, objects="person", min_score=1.01), "min_score"),
    (dict(motion=True, objects="person", detect_fps=0), "detect_fps"),
    (dict(motion=True, objects="person", detect_fps=101), "detect_fps"),
    (dict(motion=True, zones={"a": [[0, 0], [4, 0]]}), "zones"), (dict(motion=True, zones="a=0,0,4,0,4"), "zones"),
    (dict(motion=True, zones={"a": "0,0,4,0,4,4", " a ": "1,1,5,1,5,5"}), "zones"),
    (dict(motion=True, zones={"a,b": [[0, 0], [4, 0], [4, 4]]}), "zones"),
    (dict(motion=True, zones={"a\tb": [[0, 0], [4, 0], [4, 4]]}), "zones"),
    (dict(motion=True, zones={"": [[0, 0], [4, 0], [4, 4]]}), "zones"),
    (dict(motion=True, zones={"a": [[0, 0], [4.5, 0], [4, 4]]}), "zones"),
    (dict(motion=True, zones={"a": [[0, 0], [-4, 0], [4, 4]]}), "zones"),
    (dict(motion=True, zones={"a": [[0, 0], [2, 2], [4, 4], [2, 2]]}), "zones"),  # no area
    (dict(motion=True, zones="0,0,4,0,4,4"), "zones"),
    (dict(motion=True, require_zone="a"), "require_zone"),
    (dict(motion=True, zones="a=0,0,4,0,4,4", require_zone="a,b"), "require_zone"),
    (dict(motion=True, ignore=[[1, 2, 3, 4, 5]]), "ignore"), (dict(motion=True, ignore="0,0,4,4,8,8"), "ignore"),
    (dict(motion=True, ignore=[[1, 2], [3, 4]]), "ignore"),
])
def test_options_refused(given, option):
    with pytest.raises(quarrin.UsageError) as info:
        options.check_record_options(**given)
    assert info.value.option == option
    if option:
        assert str(info.value).startswith(option + "=")


def test_keywords_follow_the_option_table():
    import inspect
    from pathlib import Path

    params = inspect.signature(quarrin.record).parameters
    table = [(o.name, o.default) for o in options.OPTIONS]
    assert [(p.name, p.default) for p in params.values() if p.name in options.FIELDS] == table
    assert [p for p in params if p not in options.FIELDS] == ["source", "output", "progress", "log", "notify",
                                                              "on_event_start", "on_event", "on_segment", "on_signal",
                                                              "listeners", "quiet"]
    # Every default passes its own check, and the reference in docs/ is the table's.
    assert options.DEFAULTS == options.check_record_options(**dict(table))
    docs = Path(__file__).resolve().parent.parent / "docs" / "options.md"
    assert docs.read_text() == options.markdown(), "regenerate: python -m quarrin.options > docs/options.md"


ROOT = Path(__file__).resolve().parent.parent


def _anchors(text):
    """The ids of a markdown file's headings, as the usual renderers make them."""
    return {re.sub(r"[^\w\- ]", "", h.strip().lower()).replace(" ", "-")
            for h in re.findall(r"^#+ (.*)$", text, re.M)}


@pytest.mark.parametrize("page", ["README.md"] + sorted("docs/" + p.name for p in (ROOT / "docs").glob("*.md")))
def test_every_relative_link_of_the_guides_resolves(page):
    text = (ROOT / page).read_text(encoding="utf-8")
    # Outside code: a link in a shell example is no link.
    prose = re.sub(r"```.*?```", "", text, flags=re.S)
    broken = []
    for target in re.findall(r"\]\(([^)\s]+)\)", prose):
        if re.match(r"[a-z]+:", target):
            continue
        path, _, anchor = target.partition("#")
        linked = (ROOT / page).parent / path if path else ROOT / page
        if not linked.exists():
            broken.append(target)
        elif anchor and linked.suffix == ".md" and anchor not in _anchors(linked.read_text(encoding="utf-8")):
            broken.append(target)
    assert broken == []
    if page == "README.md":
        assert len(text.splitlines()) <= 250
        assert {t for t in re.findall(r"\]\((docs/[a-z]+\.md)\)", prose)} == \
            {"docs/" + p.name for p in (ROOT / "docs").glob("*.md")}, "a guide the README does not link"
    else:
        assert len(text.splitlines()) < 400


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
    assert not any(os.stat(p).st_mode & 0o111 for p in (seg.video, seg.csv))  # no file made executable
    assert (seg.last - seg.first).total_seconds() == pytest.approx(0.2)
    with pytest.raises(dataclasses.FrozenInstanceError):
        result.frames_read = 0


# A segment's files are created with its first frame: the end of the input, --duration or a stop
# right after the frame that filled a segment leaves no empty file, in either driver.
@pytest.mark.parametrize("pipeline", [True, False], ids=["pipelined", "sequential"])
@pytest.mark.parametrize("frames, duration, stop_after", [(14, 0, None), (30, 2, None), (30, 0, 14)],
                         ids=["end", "duration", "stop"])
def test_no_empty_segment(tmp_path, pipeline, frames, duration, stop_after):
    src = videos.moving_clip(tmp_path / "in.avi", frames)

    def progress(event):
        if event.frames_saved == stop_after:
            raise KeyboardInterrupt

    result = quarrin.record(src, tmp_path / "o.avi", segment_frames=7, duration=duration, pipeline=pipeline,
                            progress=progress)
    assert [s.frames for s in result.segments] == [7, 7] + ([7] if duration else [])
    assert sorted(os.listdir(tmp_path)) == sorted(["in.avi"] + [os.path.basename(p) for s in result.segments
                                                                for p in (s.video, s.csv)])


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
    (dict(timestamp=True, text_at=(64, 20)), quarrin.UsageError),
    (dict(timestamp=True, text_at=(10, 0)), quarrin.UsageError),
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
    # The engine writes each CSV as the front end's layout names and reads it.
    rows = open(layout.csv_of(str(tmp_path / "o.avi")), "rb").read().split(b"\r\n")
    assert rows[0] == ",".join(layout.CSV_HEADER).encode() and rows[-1] == b""
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
    plan = recording.prepare("1", tmp_path / "cam.avi", options.check_record_options(**kwargs))
    a = plan.engine_arguments()
    assert (a["input_"], a["fps"], (a["roi_x"], a["roi_y"], a["roi_w"], a["roi_h"])) == ("1", fps, roi)
    assert (plan.camera, plan.fps, plan.region, plan.reader.fps) == (1, fps, roi, fps)
    assert plan.frames_total is None and os.listdir(tmp_path) == []


def test_a_camera_that_no_longer_opens_is_an_error(tmp_path, monkeypatch):
    """A camera that answered the probe and then does not open for the recording: an error, not a
    recording of nothing that passes for a success."""
    opens = []

    def camera(index):
        opens.append(index)
        cam = FakeCamera(index)
        cam.isOpened = lambda: len(opens) == 1
        return cam
    monkeypatch.setattr(cv2, "VideoCapture", camera_or_file(camera))
    with pytest.raises(quarrin.RecordingError, match="^cannot open camera 0$"):
        quarrin.record(0, tmp_path / "cam.avi")
    assert opens == [0, 0] and os.listdir(tmp_path) == []


def test_camera_roi_checked_against_the_reported_size(tmp_path, monkeypatch):
    monkeypatch.setattr(cv2, "VideoCapture", camera_or_file(lambda index: FakeCamera(index, 320, 240)))
    with pytest.raises(quarrin.UsageError, match="does not fit the 320x240 frames of camera 0"):
        recording.prepare(0, tmp_path / "cam.avi", options.check_record_options(roi="0,0,640,480"))


@pytest.mark.parametrize("pipeline, ext", [(True, ".avi"), (False, ".avi"), (True, ".mp4"), (False, ".mkv")])
def test_ctrl_c_through_the_progress_callback(tmp_path, pipeline, ext):
    # A KeyboardInterrupt raised while a frame is reported stops the recording between frames,
    # with every file complete (H.264 with PyAV: the frames the encoder held are written too).
    src = videos.moving_clip(tmp_path / "in.avi", 6)

    def interrupt_at_four(event):
        if event.frames_read == 4:
            raise KeyboardInterrupt
    out = tmp_path / ("o" + ext)
    result = quarrin.record(src, out, quiet=True, pipeline=pipeline, progress=interrupt_at_four)
    assert (result.stopped, result.frames_read, result.frames_saved) == ("interrupt", 4, 4)
    assert [s.video for s in result.segments] == [str(out)]
    assert len(videos.read_all(out)) == result.segments[0].frames == 4


@pytest.mark.parametrize("output, kwargs, size, pyav, expected", [
    ("o.avi", {}, (64, 48), True, writers.Choice("MJPG")),
    ("o.mp4", {}, (64, 48), True, writers.Choice("h264")),
    ("o.MKV", dict(quality=30, speed="fast"), (64, 48), True, writers.Choice("h264", 30, "fast")),
    ("o.mp4", {}, (64, 48), False, writers.Choice("mp4v")),  # without PyAV: OpenCV's codec, as before
    ("o.mkv", {}, (64, 47), True, writers.Choice("XVID")),   # H.264 takes even sides only
    ("o.mp4", dict(fourcc="MJPG"), (64, 48), True, writers.Choice("MJPG")),
    ("o.avi", dict(codec="h264"), (64, 48), True, "output=o.avi: codec asks for H.264, which is written into "
                                                  ".mp4 or .mkv files, not .avi"),
    ("o.mov", dict(speed="fast"), (64, 48), True, "output=o.mov: speed asks for H.264"),
    ("o.mp4", dict(codec="h264"), (64, 48), False, "codec=h264: H.264 needs PyAV: pip install 'quarrin[h264]'"),
    ("o.mp4", dict(quality=18), (64, 48), False, "quality=18: H.264 needs PyAV"),
    ("o.mp4", dict(codec="h264"), (64, 47), True, "roi=0,0,64,47: H.264 needs an even width and height"),
])
def test_writer_choice(monkeypatch, output, kwargs, size, pyav, expected):
    monkeypatch.setattr(writers, "pyav_available", lambda: pyav)
    opts = options.check_record_options(**kwargs)
    if isinstance(expected, str):
        with pytest.raises(quarrin.UsageError, match="^" + re.escape(expected)):
            writers.choose(output, opts, size)
    else:
        chosen = writers.choose(output, opts, size)
        assert chosen == expected
        # An .mp4 or .mkv that gets an OpenCV codec nobody asked for says so, and why.
        fell_back = output.lower().endswith((".mp4", ".mkv")) and not chosen.h264 and "fourcc" not in kwargs
        assert bool(chosen.note) == fell_back
        assert not fell_back or ("needs PyAV" if not pyav else "even width") in chosen.note


@pytest.mark.parametrize("codec, kwargs, size, said", [
    ("copy", dict(copy=True), (80, 60), None),  # the whole frame, at its new size
    ("copy", dict(copy=True, roi=(0, 0, 32, 24)), (80, 60), "cam now sends 80x60 frames, not 64x48: copy keeps "
                                                            "whole frames, and roi 0,0,32,24 is no longer one"),
    ("h264", {}, (81, 60), "cam now sends 81x60 frames, not 64x48: the whole frame cannot be recorded (H.264 needs "
                           "an even width and height)"),
    ("h264", dict(roi=(0, 0, 32, 24)), (81, 61), None),
    ("MJPG", {}, (81, 60), None),
    ("copy", dict(copy=True, motion=True, before=1), (4000, 3000), "cam now sends 4000x3000 frames, not 64x48: the "
                                                                   "whole frame cannot be recorded (would hold 111 "),
])
def test_a_live_source_resized_against_its_writer(codec, kwargs, size, said):
    """What each kind of writer refuses when a live source's frames change size (the recording's
    on_resize): a copy keeps whole frames, H.264 even sides, and the frames held stay within bounds."""
    opts = options.check_record_options(**kwargs)
    plan = recording.Plan("cam", None, "o.mp4", opts, 64, 48, 10.0, None, writers.Choice(codec),
                          hold_frames=15 if opts.before else 0)
    notes = []
    resized = recording._on_resize(plan, notes.append)
    if said is not None:
        with pytest.raises(quarrin.RecordingError, match="^" + re.escape(said)):
            resized(*size)
    else:
        assert resized(*size) == (opts.roi or (0, 0) + size) and len(notes) == 1


def test_without_pyav(tmp_path, monkeypatch, capsys):
    from quarrin import cli

    monkeypatch.setitem(sys.modules, "av", None)  # import av fails, as without the extra
    src = videos.moving_clip(tmp_path / "in.avi", 3)
    with pytest.raises(quarrin.UsageError, match=re.escape("pip install 'quarrin[h264]'")):
        quarrin.record(src, tmp_path / "h.mp4", codec="h264")
    lines = []
    result = quarrin.record(src, tmp_path / "o.mp4", notify=lines.append)  # falls back to OpenCV's writer
    assert len(videos.read_all(tmp_path / "o.mp4")) == result.frames_saved == 3
    assert sorted(os.listdir(tmp_path)) == ["in.avi", "o.mp4", "o.mp4.csv"]
    said = "is written with OpenCV's mp4v, which web browsers do not play; H.264 needs PyAV: pip install " \
           "'quarrin[h264]'"
    assert lines == ["%s %s" % (tmp_path / "o.mp4", said)]
    assert cli.main(["record", str(src), str(tmp_path / "q.mp4"), "-q"]) == 0
    assert capsys.readouterr().err == "quarrin: warning: %s %s\n" % (tmp_path / "q.mp4", said)


@pytest.mark.parametrize("ext, kwargs, inframes, files", [
    (".mp4", dict(segment_frames=4), list(range(10)), 3),  # each file's times count from its own first frame
    (".mkv", dict(motion=True, min_area=50, pipeline=False), [0, 3, 4, 8, 9], 1),
    (".mp4", dict(interval=0.25, codec="h264", quality=30, speed="veryfast"), [3, 6, 9], 1),  # B-frames
])
def test_h264_files_decode_at_the_csv_times(tmp_path, ext, kwargs, inframes, files):
    parts.module("av", "PyAV is not installed")
    src = videos.scripted_clip(tmp_path / "in.avi", [8, 8, 8, 16, 24, 24, 24, 24, 32, 40])
    result = quarrin.record(src, tmp_path / ("o" + ext), **kwargs)
    assert [i for s in result.segments for i in s.inframes] == inframes and result.files == files
    for seg in result.segments:
        with open(seg.csv, newline="") as f:
            times = [datetime.datetime.fromisoformat(row[2]) for row in list(csv.reader(f))[1:]]
        codec, pts = videos.stream_times(seg.video)
        decoded = videos.read_all(seg.video)
        assert codec == "h264" and len(decoded) == len(times) == seg.frames
        assert pts == pytest.approx([(t - times[0]).total_seconds() for t in times], abs=1e-3)
        assert all(f.shape == (48, 64, 3) for f in decoded)
    first = videos.read_all(tmp_path / "in.avi")[inframes[0]].astype(int)
    assert abs(videos.read_all(result.segments[0].video)[0] - first).mean() < 3


def test_h264_times_never_go_back(tmp_path):
    parts.module("av", "PyAV is not installed")
    from quarrin.av_writer import H264Writer

    writer, start = H264Writer(), datetime.datetime(2024, 1, 1)
    writer.open(str(tmp_path / "c.mkv"), 10, (64, 48))
    for seconds in (0, 0, -1, 0.5):  # a repeated time, a clock set back
        writer.write(videos.square_frame(64, 48, 8, 8), start + datetime.timedelta(seconds=seconds))
    writer.release()
    assert videos.stream_times(tmp_path / "c.mkv")[1] == pytest.approx([0, 0.001, 0.002, 0.5])


@pytest.mark.parametrize("call", ["probe", "open"])
@pytest.mark.parametrize("unsized", [1, None], ids=["once", "always"])
def test_a_live_copy_opens_again_a_connection_without_its_frame_size(tmp_path, monkeypatch, call, unsized):
    """A connection whose look at its first packets ended before the stream's parameters came (a
    camera back with a burst of late frames, a loaded machine) is opened again within the open
    timeout: the muxer refuses its packets at the first one (the recording ended right after the
    signal came back). A camera that never says its size is refused."""
    parts.module("av", "PyAV is not installed")
    import av
    from rtsp_server import AUD, write_clip
    from quarrin import passthrough

    clip = str(tmp_path / "cam.h264")
    write_clip(clip, (64, 48), 60, False)
    with open(clip, "rb") as f:
        units = [AUD + u for u in f.read()[len(AUD):].split(AUD)]
    joined = tmp_path / "joined.h264"  # joined after a keyframe: no parameter sets until the next one
    joined.write_bytes(b"".join(units[1:] + units))
    real, opened = av.open, []

    def connect(source, *args, **kwargs):
        if source != clip:
            return real(source, *args, **kwargs)
        opened.append(source)
        if unsized is None or len(opened) <= unsized:
            return real(str(joined), options={"probesize": "64", "analyzeduration": "1", "fpsprobesize": "0"})
        return real(clip)
    monkeypatch.setattr(av, "open", connect)
    reader = passthrough.CopyReader(clip, options.check_record_options(copy=True, motion=True, open_timeout=0.5), True)
    if unsized is None and call == "probe":
        with pytest.raises(quarrin.RecordingError, match="does not say its frame size"):
            reader.probe()
    elif call == "probe":
        reader.probe()
        assert (reader.width, reader.height) == (64, 48)
    else:
        assert reader.open() is (unsized is not None)
        if unsized is not None:
            assert (reader.stream.codec_context.width, reader.stream.codec_context.height) == (64, 48)
            reader.release()
    assert len(opened) > 1


@pytest.mark.parametrize("ext", [".mp4", ".mkv"])
@pytest.mark.parametrize("copy", [False, True], ids=["encoded", "copied"])
def test_a_quiet_writer_has_every_frame_on_disk(tmp_path, monkeypatch, ext, copy):
    """Once no frame has come for a moment, every frame written is in the file as a SIGKILL would
    leave it (what the encoder and the muxer held is written out), and the frames after the quiet
    spell still play at their own times."""
    parts.module("av", "PyAV is not installed")
    from quarrin import av_writer, options, passthrough

    monkeypatch.setattr(av_writer, "HOLD_SECONDS", 0.2)
    start, out = datetime.datetime(2024, 1, 1), str(tmp_path / ("o" + ext))
    if copy:
        src = videos.h264_clip(tmp_path / "in.mp4", [4 * i % 48 for i in range(15)], keyint=30)
        reader = passthrough.CopyReader(src, options.check_record_options(copy=True), False)
        reader.probe()
        reader.open()
        frames, writer = [reader.read() for _ in range(15)], passthrough.CopyWriter()
    else:
        frames, writer = [(videos.square_frame(64, 48, 4 * i % 48, 8), start + datetime.timedelta(
            seconds=i / 10 + 3 * (i >= 10))) for i in range(15)], av_writer.H264Writer(preset="veryfast")
    writer.open(out, 10, (64, 48))
    for i, got in enumerate(frames):
        writer.write(*got)
        if i == 9:   # a quiet spell: the file, as a SIGKILL would leave it, soon holds all ten
            until(lambda: os.path.exists(out) and len(videos.read_all(shutil.copy(out, tmp_path / ("killed" + ext)))) == 10,
                  timeout=20, what="the ten frames on disk")
    writer.release()
    assert videos.stream_times(out)[1] == pytest.approx([(t - frames[0][1]).total_seconds() for _, t, *_ in frames],
                                                        abs=1e-3)


# --copy: a clip with a keyframe every 6 frames, still but for frames 20 to 27. Each segment (and
# each event's run) starts at a keyframe; its frames are the source's, decoded to the same pixels,
# at the file's own times.
COPY_STILL_MOVING = [8] * 20 + [8 + 4 * i for i in range(1, 9)] + [40] * 12


@pytest.mark.parametrize("ext, kwargs, runs, first_frames", [
    (".mp4", {}, [[0, 40]], []),
    (".mkv", dict(segment_frames=4), [[k, min(k + 6, 40)] for k in range(0, 40, 6)], []),
    (".mp4", dict(segment_seconds=1, pipeline=False), [[0, 12], [12, 24], [24, 36], [36, 40]], []),
    # The event's first motion is at frame 20, which is no keyframe: its run starts at frame 18.
    (".mp4", dict(motion=True, min_area=50, before=0.05, after=0.2), [[0, 1, 18, 30]], [18]),
    (".mkv", dict(motion=True, min_area=50, before=0.3, after=0.2, pipeline=False), [[0, 1, 12, 30]], [12]),
    (".mp4", dict(motion=True, min_area=50, after=0.2), [[0, 1, 18, 30]], [18]),
], ids=["whole", "segment-frames", "segment-seconds", "event", "event-before", "event-no-before"])
def test_copy_saves_the_source_packets(tmp_path, ext, kwargs, runs, first_frames):
    parts.module("av", "PyAV is not installed")
    src = videos.h264_clip(tmp_path / "in.mp4", COPY_STILL_MOVING, keyint=6)
    source = videos.decoded(src)
    result = quarrin.record(src, tmp_path / ("o" + ext), copy=True, **kwargs)
    assert [[i for run in s.runs for i in run] for s in result.segments] == runs
    assert [e.first_frame for e in result.events] == first_frames
    if first_frames:
        assert [int(row["first_frame"]) for row in csv.DictReader(open(result.events_file))] == first_frames
        # Each event's picture in colour, as the source has it: one of its frames, boxed (in black).
        colour = videos.read_all(src)
        for event in result.events:
            picture = cv2.imread(event.snapshot).astype(int)
            unboxed = cv2.erode((picture.max(axis=2) > 20).astype(np.uint8), np.ones((3, 3), np.uint8)) > 0
            assert (picture[..., 2] - picture[..., 0]).max() > 100
            assert min(np.abs(picture - image)[unboxed].mean() for image in colour) < 3
    for seg in result.segments:
        with open(seg.csv, newline="") as f:
            listed = [(int(row[0]), datetime.datetime.fromisoformat(row[2])) for row in list(csv.reader(f))[1:]]
        saved = videos.decoded(seg.video)
        assert len(saved) == len(listed) == seg.frames
        assert all(source[i][1] for i, _ in listed[:1]) and saved[0][1]
        assert all((image == source[i][0]).all() for (image, _), (i, _) in zip(saved, listed))
        start = datetime.datetime.fromtimestamp(videos.MTIME)
        assert [t for _, t in listed] == [start + datetime.timedelta(seconds=i / 10) for i, _ in listed]
        assert videos.stream_times(seg.video)[1] == pytest.approx([(t - listed[0][1]).total_seconds()
                                                                   for _, t in listed], abs=1e-3)


@pytest.mark.parametrize("src_ext, sound, output, kwargs, kept, warned", [
    (".mp4", "aac", ".mp4", {}, "aac", False),
    (".mp4", "aac", ".mkv", dict(copy=True), "aac", False),
    (".mov", "pcm_alaw", ".mp4", {}, "aac", False),  # neither container takes it: encoded
    (".mov", "pcm_alaw", ".mkv", dict(copy=True, motion=True, min_area=50, after=0.2), "aac", False),
    (".mp4", "aac", ".mp4", dict(segment_seconds=1, pipeline=False), "aac", False),
    (".mp4", "aac", ".mp4", dict(copy=True, motion=True, min_area=50, after=0.2, split="events"), "aac", False),
    (".mov", "pcm_s16le", ".mkv", dict(motion=True, min_area=50, after=0.2), "pcm_s16le", False),
    (".mp4", "aac", ".mp4", dict(audio=False), None, False),
    (".mp4", "aac", ".avi", {}, None, True),
    (".mp4", "aac", ".mp4", dict(interval=0.5), None, True),
], ids=["encoded", "copied", "alaw-to-aac", "copied-alaw-motion", "segments", "event-clips", "pcm-motion",
        "no-audio", "avi", "interval"])
def test_the_sound_goes_with_the_saved_frames(tmp_path, src_ext, sound, output, kwargs, kept, warned):
    """The source's click (at frame 22, in the motion of COPY_STILL_MOVING) is heard within a
    frame of that frame in the video that saved it; each video has the sound of its own frames
    only; the CSV keeps one row per frame."""
    pytest.importorskip("av")
    src = videos.h264_clip(tmp_path / ("in" + src_ext), COPY_STILL_MOVING, keyint=6, sound=sound, click=22)
    result = quarrin.record(src, tmp_path / ("o" + output), **kwargs)
    assert ("sound of %s" % src in (result.warning or "")) == warned
    assert result.segments
    for seg in result.segments:
        with open(seg.csv, newline="") as f:
            listed = [int(row[0]) for row in list(csv.reader(f))[1:]]
        assert len(listed) == seg.frames
        heard = videos.sound_of(seg.video) if output != ".avi" else None
        if kept is None:
            assert heard is None
            continue
        codec, click, seconds = heard
        assert codec == kept
        assert seconds == pytest.approx(len(listed) / 10, abs=0.25)
        if 22 in listed:
            assert click == pytest.approx(videos.stream_times(seg.video)[1][listed.index(22)], abs=0.1)


@pytest.mark.parametrize("bframes", [0, 3])
def test_copied_frames_give_their_colour_again(tmp_path, bframes):
    """Every frame a copy reader hands (grey, for the motion check) gives the source's frame in
    colour again, for its picture; the live view gets the colour of the frame just read, or
    without --motion (nothing decoded) that of each keyframe."""
    parts.module("av", "PyAV is not installed")
    from quarrin import options, passthrough
    from quarrin.service import supervisor

    class Pipe:  # the service's end: the live view's JPEGs, by the frame read before each
        def send(self, kind, jpeg):
            live[len(got)] = cv2.imdecode(np.frombuffer(jpeg, np.uint8), cv2.IMREAD_COLOR).astype(int)

    src = videos.h264_clip(tmp_path / "in.mp4", [4 * i % 48 for i in range(30)], keyint=12, bframes=bframes)
    colour = [image.astype(int) for image in videos.read_all(src)]
    for motion in (True, False):
        reader = passthrough.CopyReader(src, options.check_record_options(copy=True, motion=motion), False)
        reader.probe()
        reader.open()
        supervisor._tap(reader, [0, 0, 0, 0, True], Pipe(), 64, 1e6)  # watched, every frame due
        got, live = [], {}
        while len(got) < len(colour):
            got.append(reader.read())
        assert reader.read() is None
        if motion:
            assert all(np.abs(g[0][:, :].copy().bgr() - image).mean() < 1 for g, image in zip(got, colour))
        reader.release()
        assert sorted(live) == (list(range(30)) if motion else [0, 12, 24])
        assert all(np.abs(image - colour[i]).mean() < 3 for i, image in live.items())  # (JPEG's losses)


@pytest.mark.parametrize("output, kwargs, said", [
    ("o.mp4", dict(timestamp=True), "copy=True: saves the source's packets as they are; timestamp draws"),
    ("o.mp4", dict(fourcc="avc1"), "copy=True: saves the source's packets as they are; fourcc "),
    ("o.mp4", dict(codec="h264"), "copy=True: saves the source's packets as they are; codec "),
    ("o.mp4", dict(quality=20), "copy=True: saves the source's packets as they are; quality "),
    ("o.mp4", dict(speed="fast"), "copy=True: saves the source's packets as they are; speed "),
    ("o.mp4", dict(interval=1), "copy=True: saves the source's packets as they are; interval "),
    ("o.mp4", dict(motion=True, show_diff=True), "copy=True: saves the source's packets as they are; show_diff "),
    ("o.mp4", dict(preview=True), "copy=True: saves the source's packets as they are; preview "),
    ("o.mp4", dict(size=(32, 24)), "copy=True: saves the source's packets as they are; size "),
    ("o.mp4", dict(roi=(0, 0, 32, 48)), "roi=0,0,32,48: copy keeps the whole 64x48 frame"),
    ("o.avi", {}, "output=o.avi: copy writes the source's packets into .mp4 or .mkv files, not .avi"),
    ("o.mp4", dict(source="mjpg"), "copy=True: the video of in.avi is mjpeg; copy takes H.264 or H.265 only"),
    ("o.mp4", dict(source=0), "copy=True: copies what a file or a network camera's URL sends; camera 0 sends raw"),
    ("o.mp4", dict(source="reader"), "copy=True: copies the packets of a file or a URL; a reader hands frames"),
    ("o.mp4", dict(before=90), "before=90.0: would hold 90 s of the source's packets: at 100 Mbit/s"),
    # Not a copy's, but told the same way: a library message names other options by their keywords.
    ("o.mp4", dict(copy=False, before=1, motion=False), "before=1.0: works on motion; it needs motion"),
    ("o.mp4", dict(copy=False, fourcc="MJPG", codec="h264"), "fourcc and codec cannot be combined: fourcc names"),
])
def test_copy_refuses_what_needs_new_pixels(tmp_path, monkeypatch, output, kwargs, said):
    parts.module("av", "PyAV is not installed")
    monkeypatch.chdir(tmp_path)
    source = kwargs.pop("source", "h264")
    src = videos.scripted_clip("in.avi", [8] * 3) if source == "mjpg" else source if source == 0 else \
        sources.Reader() if source == "reader" else videos.h264_clip("in.mp4", [8] * 3, keyint=3)
    before = sorted(os.listdir(tmp_path))
    with pytest.raises(quarrin.UsageError) as refused:
        quarrin.record(src, output, **{"copy": True, "motion": "before" in kwargs, **kwargs})
    assert str(refused.value).startswith(said)
    assert sorted(os.listdir(tmp_path)) == before
