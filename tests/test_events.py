"""Motion events: which frames a motion recording keeps with --before, --after and --min-event,
what it lists, the areas it ignores and the lighting changes it rejects, quarrin scan (the commands
and MQTT messages that tell others of the events: tests/test_notify.py).

Clips are scripted frame by frame at 10 frames/s: "R" is the first frame, "M" a frame where the
square has moved, "." one where it stands still, so each character is 0.1 s."""
import csv
import dataclasses
import datetime
import json
import os
import types

import cv2
import numpy as np
import pytest

import quarrin
import videos
from fakes import marked_frames
from quarrin import snapwell, zones
from quarrin.zones import Zone
from vcargs import record_args, vcapture_args

PATTERN = "RMM.....MM....."


def scripted(path, pattern, brighten_at=None):
    x, frames = 0, []
    for i, c in enumerate(pattern):
        if c == "M":
            x = (x + 8) % 40
        background = 120 if brighten_at is not None and i >= brighten_at else 40
        frames.append(videos.square_frame(64, 48, x, 12, background=background))
    return videos.write_clip(path, frames)


def runs_to_frames(result):
    return [i for s in result.segments for i in s.inframes]


def rows(path):
    with open(path, newline="") as f:
        return list(csv.DictReader(f))


@pytest.mark.parametrize("options, saved, events", [
    ({}, [0, 1, 2, 8, 9], [(1, 2), (8, 9)]),
    (dict(after=0.2), [0, 1, 2, 3, 4, 8, 9, 10, 11], [(1, 4), (8, 11)]),
    # The gap from the last motion (frame 2) to the next (frame 8) is 0.6 s: an after-time that
    # reaches frame 7 joins the two, one frame shorter splits them.
    (dict(after=0.5), list(range(0, 15)), [(1, 14)]),
    (dict(after=0.4), [0, 1, 2, 3, 4, 5, 6, 8, 9, 10, 11, 12, 13], [(1, 6), (8, 13)]),
    # Before-time: none ahead of frame 1 but the reference frame, three frames ahead of frame 8.
    (dict(before=0.3), [0, 1, 2, 5, 6, 7, 8, 9], [(1, 2), (5, 9)]),
    (dict(before=0.3, after=0.1, min_event=0.1), [0, 1, 2, 3, 5, 6, 7, 8, 9, 10], [(1, 3), (5, 10)]),
    # Motion that lasts 0.1 s is not an event of 0.2 s: nothing but the reference is kept.
    (dict(min_event=0.2, before=0.5, after=0.3), [0], []),
], ids=["plain", "after", "gap-within-after", "gap-beyond-after", "before", "all-three", "too-short"])
@pytest.mark.parametrize("pipeline", [False, True], ids=["sequential", "pipelined"])
def test_which_frames_an_event_keeps(tmp_path, options, saved, events, pipeline):
    src = scripted(tmp_path / "in.avi", PATTERN)
    out = tmp_path / "out" / "o.avi"
    told = []
    r = quarrin.record(src, out, motion=True, min_area=50, pipeline=pipeline, **options,
                       on_event_start=lambda e: told.append(("start", e)), on_event=lambda e: told.append(("end", e)),
                       on_segment=lambda s: told.append(("segment", s)))
    assert runs_to_frames(r) == saved
    # The listeners saw what the result holds, in order: each event begun, then ended; each segment
    # closed; the beginning with what was known then.
    assert [e for what, e in told if what == "end"] == list(r.events)
    assert [s for what, s in told if what == "segment"] == list(r.segments)
    said = [(what, e.event) for what, e in told if what != "segment"]
    assert said == [(what, e.event) for e in r.events for what in ("start", "end")]
    begun = [e for what, e in told if what == "start"]
    assert [dataclasses.replace(e, peak_area=0) for e in begun] == [dataclasses.replace(
        e, end=None, seconds=None, last_frame=None, frames=None, peak_area=0, snapshot=None) for e in r.events]
    assert all(0 < b.peak_area <= e.peak_area for b, e in zip(begun, r.events))
    assert [(e.first_frame, e.last_frame) for e in r.events] == events
    assert [e.event for e in r.events] == list(range(1, len(events) + 1))
    assert all(e.frames == e.last_frame - e.first_frame + 1 and e.file == str(out) and e.peak_area > 50
               for e in r.events)
    listed = rows(tmp_path / "out" / "o.events.csv")
    assert [(int(e["first_frame"]), int(e["last_frame"])) for e in listed] == events
    # The list names each event's video and picture relative to its own folder, and the camera.
    assert listed == [{k: str(v) for k, v in dict(e.row(), file="o.avi", snapshot="o.events/%04d.jpg" % e.event).items()}
                      for e in r.events]
    assert all(e.camera == "o" for e in r.events)
    # One picture per event, at the region's size.
    pictures = sorted(os.listdir(tmp_path / "out" / "o.events")) if events else []
    assert pictures == ["%04d.jpg" % e.event for e in r.events]
    assert all(cv2.imread(e.snapshot).shape == (48, 64, 3) for e in r.events)
    timestamps = rows(str(out) + ".csv")
    assert [int(t["inframe"]) for t in timestamps] == saved
    assert len(videos.read_all(out)) == len(saved)


@pytest.mark.parametrize("pattern, options, events", [
    ("RMMMM", dict(after=1.0, before=1.0), [(1, 4)]),            # the input ends inside the after-time
    ("RM.M", dict(before=0.1), [(1, 1), (2, 3)]),                # back to back: the gap is the next one's
    ("R....MM", dict(before=2.0, min_event=0.1), [(1, 6)]),      # before-time cut at the input's start
])
def test_events_at_the_edges_of_the_input(tmp_path, pattern, options, events):
    src = scripted(tmp_path / "in.avi", pattern)
    r = quarrin.record(src, tmp_path / "o.avi", motion=True, min_area=50, **options)
    assert [(e.first_frame, e.last_frame) for e in r.events] == events


@pytest.mark.parametrize("pipeline", [False, True], ids=["sequential", "pipelined"])
def test_a_ctrl_c_at_an_event_s_first_frame(rig, tmp_path, pipeline):
    # The overlay of the first frame after the reference (the event's first) is interrupted.
    rig.fake_cv2(marked_frames(range(0, 40, 4)), failures={"getTextSize": (2, KeyboardInterrupt())})
    (tmp_path / "in.avi").write_bytes(b"")
    from quarrin._recorder import record
    r = record(**record_args(tmp_path / "in.avi", str(tmp_path / "o.avi"), motion_based=True, timestamp=True),
               events=True, pipeline=pipeline)
    assert (r.stopped, r.frames_saved, r.events) == ("interrupt", 1, ())


@pytest.mark.parametrize("segment_frames", [1, 2, 3, 4])
def test_roll_over_inside_events_keeps_rows_and_frames_equal(tmp_path, segment_frames):
    src = scripted(tmp_path / "in.avi", PATTERN * 3)
    runs = {}
    for pipeline in (False, True):
        out = tmp_path / str(pipeline) / "o.avi"
        r = quarrin.record(src, out, motion=True, min_area=50, before=0.2, after=0.3, pipeline=pipeline,
                           segment_frames=segment_frames)
        frames = runs_to_frames(r)
        assert frames == sorted(set(frames))
        assert [s.frames for s in r.segments[:-1]] == [segment_frames] * (len(r.segments) - 1)
        for s in r.segments:
            assert len(rows(s.csv)) == len(videos.read_all(s.video)) == s.frames
        runs[pipeline] = (frames, [(e.first_frame, e.last_frame, e.frames) for e in r.events])
    assert runs[False] == runs[True]


def test_without_event_options_the_files_are_vcaptures(tmp_path):
    src = scripted(tmp_path / "in.avi", PATTERN)
    quarrin.record(src, tmp_path / "a" / "o.avi", motion=True, min_area=50, timestamp=True)
    os.mkdir(tmp_path / "b")
    snapwell.vcapture(**vcapture_args(src, str(tmp_path / "b" / "o.avi"), motion_based=True, min_area=50,
                                      timestamp=True, tx=10, ty=20))
    a, b = tmp_path / "a" / "o.avi", tmp_path / "b" / "o.avi"
    assert open(str(a) + ".csv").read() == open(str(b) + ".csv").read()
    assert all(np.array_equal(x, y) for x, y in zip(videos.read_all(a), videos.read_all(b)))


@pytest.mark.parametrize("how", ["ignore", "mask", "roi-outside", "polygon"])
def test_ignored_areas_remove_a_moving_object(tmp_path, how):
    src = scripted(tmp_path / "in.avi", PATTERN)
    options = {}
    if how == "ignore":
        options = dict(ignore=["0,8,30,24", (30, 8, 34, 24)])
    elif how == "polygon":  # concave: its notch from below stops under the square's rows (12 to 27)
        options = dict(ignore=["0,4,64,4,64,36,32,30,0,36"])
    elif how == "mask":
        mask = np.full((48, 64), 255, np.uint8)
        mask[8:32, :] = 0
        cv2.imwrite(str(tmp_path / "mask.png"), mask)
        options = dict(mask=tmp_path / "mask.png")
    else:  # a region below the square: the mask is cut to it
        options = dict(roi=(0, 32, 64, 16), ignore=[(0, 0, 64, 8)])
    r = quarrin.record(src, tmp_path / "o.avi", motion=True, min_area=50, **options)
    assert r.events == ()
    assert runs_to_frames(r) == [0]
    # Ignored areas still appear in the saved frame.
    if how != "roi-outside":
        assert videos.read_all(tmp_path / "o.avi")[0][12:28, 0:16].mean() > 100
    if how == "polygon":  # a notch up to row 14 leaves the square's way below it watched
        notched = quarrin.record(src, tmp_path / "n.avi", motion=True, min_area=50,
                                 ignore=[[[0, 4], [64, 4], [64, 36], [32, 14], [0, 36]]])
        assert notched.events


# A square, and a concave zone: a notch up from its bottom edge to 20,10.
DOOR = Zone("door", ((10, 10), (30, 10), (30, 30), (10, 30)))
NOTCH = Zone("notch", ((0, 0), (40, 0), (40, 40), (20, 10), (0, 40)))
BAR = Zone("bar", ((0, 50), (60, 50), (60, 52), (0, 52)))
# A sliver with no whole pixel inside: only its three corners are whole points.
SLIVER = Zone("sliver", ((0, 60), (99, 61), (100, 61)))


@pytest.mark.parametrize("box, by_object, by_motion", [
    ((12, 12, 4, 4), ("door", "notch"), ("door", "notch")),
    ((20, 20, 6, 11), ("door",), ("door",)),            # bottom centre 23,30 on the door's edge; all in the notch
    ((18, 32, 4, 4), (), ()),                            # inside the notch: outside the zone, within its bounds
    ((30, 20, 4, 4), ("notch",), ("door", "notch")),     # on the door's edge column, across the notch's edge
    ((30, 30, 5, 5), (), ("door", "notch")),             # one pixel of the door: its corner
    ((31, 12, 3, 3), ("notch",), ("notch",)),            # one pixel right of the door
    ((20, 45, 10, 10), (), ("bar",)),                    # the bar crosses it: no corner of either in the other
    ((36, 40, 10, 10), (), ("notch",)),                  # its top row holds the notch's corner 40,40
    ((40, 59, 10, 3), (), ()),                           # the sliver crosses it between the pixels
    ((97, 58, 5, 4), ("sliver",), ("sliver",)),          # bottom centre 99,61: the sliver's corner
    ((50, 10, 0, 0), (), ()),                            # no pixel
])
def test_zones_an_object_and_motion_entered(box, by_object, by_motion):
    found = (DOOR, NOTCH, BAR, SLIVER)
    assert zones.entered_by_object(found, box) == by_object
    assert zones.entered_by_motion(found, box) == by_motion


@pytest.mark.parametrize("zone", [DOOR, NOTCH, BAR, Zone("t", ((1, 1), (15, 3), (7, 19))),
                                  Zone("steps", ((0, 5), (5, 0), (10, 5), (15, 0), (20, 5), (20, 15), (0, 15))),
                                  Zone("c", ((3, 3), (12, 3), (12, 6), (6, 6), (6, 12), (12, 12), (12, 15), (3, 15)))],
                         ids=lambda z: z.name)
def test_zone_geometry_against_every_pixel(zone):
    # inside() as OpenCV tells a point against a polygon (its edges in); overlaps() as every pixel of the box.
    contour = np.array(zone.points, np.int32).reshape(-1, 1, 2)
    held = {(x, y) for x in range(-1, 44) for y in range(-1, 56) if zones.inside(zone, x, y)}
    assert held == {(x, y) for x in range(-1, 44) for y in range(-1, 56)
                    if cv2.pointPolygonTest(contour, (x, y), False) >= 0}
    for x in range(-2, 44, 3):
        for y in range(-2, 56, 3):
            for w, h in ((1, 1), (2, 5), (6, 2), (9, 9)):
                shared = any((px, py) in held for px in range(x, x + w) for py in range(y, y + h))
                assert zones.overlaps(zone, (x, y, w, h)) == shared, (x, y, w, h)


def test_a_lighting_change_is_not_motion(tmp_path):
    src = scripted(tmp_path / "in.avi", "R....M.....MM...", brighten_at=5)
    plain = quarrin.record(src, tmp_path / "a.avi", motion=True, min_area=50)
    lines = []
    limited = quarrin.record(src, tmp_path / "b.avi", motion=True, min_area=50, max_changed=0.5, log=lines.append)
    assert [(e.first_frame, e.last_frame) for e in plain.events] == [(5, 5), (11, 12)]
    assert [(e.first_frame, e.last_frame) for e in limited.events] == [(11, 12)]
    at = limited.segments[0].first + datetime.timedelta(seconds=0.5)
    assert [line for line in lines if line.startswith("Lighting")] == [
        "Lighting change at %s: 96%% of the region changed" % at.isoformat()]


@pytest.mark.parametrize("report, options, found", [
    # scan's own defaults (after=2, min_event=0.1): stretches with something happening, no one-frame blip
    ("events.csv", {}, [[(1, 14)], []]),
    # Zones reach the workers: one of the whole frame, which every event enters.
    ("events.json", dict(after=0.2, min_event=0, detect_width=32, zones={"all": [[0, 0], [64, 0], [64, 48], [0, 48]]},
                         require_zone="all"), [[(1, 4), (8, 11)], [(4, 6)]]),
], ids=["defaults", "frame-exact"])
def test_scan_lists_events_without_writing_video(tmp_path, report, options, found):
    folder = tmp_path / "in"
    folder.mkdir()
    scripted(folder / "a.avi", PATTERN)
    scripted(folder / "b.avi", "R...M.....")
    os.chdir(tmp_path)
    items = quarrin.scan([folder], min_area=50, report=report, jobs=2, **options)
    assert [[(e.first_frame, e.last_frame) for e in i.events] for i in items] == found
    assert sorted(os.listdir(tmp_path)) == sorted(["in", report])
    assert sorted(os.listdir(folder)) == ["a.avi", "b.avi"]
    with open(report) as f:
        listed = json.load(f) if report.endswith(".json") else list(csv.DictReader(f))
    assert [(os.path.basename(e["input"]), int(e["event"]), e["file"], e["status"]) for e in listed] == [
        (os.path.basename(i.input), e.event, "", "ok") for i in items for e in i.events]
    # No detector: no label nor score; the zones entered, as the list joins them.
    assert all((e["label"], e["score"], e["zones"]) == ("", "", "all" if "zones" in options else "") for e in listed)
    # An existing report is kept: the next one is numbered.
    quarrin.scan([folder / "b.avi"], report=report)
    assert sorted(os.listdir(tmp_path)) == sorted(["in", report, report.replace(".", "_001.")])


def test_a_scan_holds_no_image(tmp_path):
    # A recording holds region crops back for --after and --min-event, within a limit; a scan none.
    src = videos.moving_clip(tmp_path / "fast.avi", 4, width=640, height=480, fps=1000)
    with pytest.raises(quarrin.UsageError, match=r"^min_event=0.1: would hold 2101 frames of 640x480"):
        quarrin.record(src, tmp_path / "o.avi", motion=True, after=2, min_event=0.1)
    assert [(i.status, i.result.frames_read) for i in quarrin.scan([src])] == [("ok", 4)]


@pytest.mark.parametrize("interactive", [False, True], ids=["", "preview"])
@pytest.mark.parametrize("pipeline", [False, True], ids=["sequential", "pipelined"])
def test_the_engine_scans_without_the_events_flag(rig, tmp_path, pipeline, interactive):
    from quarrin._recorder import record
    rig.fake_cv2()  # windows without a GUI: a scan opens none to show its frames in
    src = scripted(tmp_path / "in.avi", PATTERN)
    r = record(**record_args(src, str(tmp_path / "o.avi"), roi_w=64, roi_h=48, motion_based=True, min_area=50,
                               interactive=interactive), scan=True, pipeline=pipeline)
    assert [(e.first_frame, e.last_frame) for e in r.events] == [(1, 2), (8, 9)]
    assert sorted(os.listdir(tmp_path)) == ["in.avi"]


@pytest.mark.parametrize("options, message", [
    (dict(before=3600), r"^before=3600.0: would hold 36001 frames of 320x240 \(7.7 GiB\) in memory"),
    (dict(min_event=2000, after=10), r"^min_event=2000.0: would hold 20101 frames"),
    (dict(mask="small.png"), r"^mask=small.png: is 32x24; the frames are 320x240$"),
    (dict(mask="in.avi"), r"^mask=in.avi: cannot be read as an image"),
    # Nothing left to watch.
    (dict(mask="black.png"), r"^mask=black.png: leaves nothing of the 320x240 frames to watch for motion$"),
    (dict(ignore=[(0, 0, 320, 240)]), r"^ignore=0,0,320,240: leaves nothing of the 320x240 frames to watch"),
    (dict(roi=(0, 0, 100, 100), ignore=["0,0,50,100", "50,0,50,100"]), r"^ignore='0,0,50,100 50,0,50,100': leaves "
     r"nothing of the region 0,0,100,100"),
])
def test_event_options_refused_before_anything_is_written(tmp_path, options, message):
    os.chdir(tmp_path)
    src = videos.moving_clip("in.avi", 3, width=320, height=240)
    cv2.imwrite("small.png", np.zeros((24, 32), np.uint8))
    cv2.imwrite("black.png", np.zeros((240, 320), np.uint8))
    with pytest.raises(quarrin.UsageError, match=message):
        quarrin.record(src, "out/o.avi", motion=True, **options)
    assert sorted(os.listdir()) == ["black.png", "in.avi", "small.png"]


@pytest.mark.parametrize("failing", ["listener", "event list"])
@pytest.mark.parametrize("pipeline", [False, True], ids=["sequential", "pipelined"])
def test_a_listener_that_fails(tmp_path, monkeypatch, failing, pipeline):
    """A listener that raises is told once and called no more, and the recording goes on; its own
    event list failing stops it, with its files complete, and says so."""
    from quarrin.listeners import eventlist

    src = scripted(tmp_path / "in.avi", PATTERN * 2)
    out = tmp_path / "o.avi"
    told, lines = [], []

    def on_event(e):
        told.append(e.event)
        raise ValueError("no room")

    if failing == "event list":
        def add(self, event):
            raise OSError(28, "No space left on device")
        monkeypatch.setattr(eventlist.EventList, "add", add)
        with pytest.raises(quarrin.RecordingError, match=r"^stopped: the event list %s failed \(OSError: \[Errno 28\] "
                           r"No space left on device\); the files written are complete$" % (tmp_path / "o.events.csv")):
            quarrin.record(src, out, motion=True, min_area=50, pipeline=pipeline, notify=lines.append)
        assert lines == []
    else:
        r = quarrin.record(src, out, motion=True, min_area=50, pipeline=pipeline, notify=lines.append,
                           on_event=on_event, on_segment=told.append)
        assert told[0] == 1 and told[1:] == list(r.segments)
        assert len(lines) == 1 and lines[0].startswith("Listener on_event=test_a_listener_that_fails.") \
            and lines[0].endswith("failed (ValueError: no room); it is called no more")
        assert len(r.events) == 4 and len(rows(tmp_path / "o.events.csv")) == 4
        assert r.frames_saved > 0
    # Stopped at a frame, or before the first was handed to the writer (pipelined): whatever was
    # written is whole, a row for each frame.
    if out.exists():
        assert len(rows(str(out) + ".csv")) == len(videos.read_all(out)) > 0


# A bright square 32 pixels wide on 320x240 frames, at these x (y 40): it moves at frames 1, 2, 8 and 9.
STEPS = [20, 60, 100, 100, 100, 100, 100, 100, 140, 180, 180, 180]
RED = "#ff0000"


def stepping(path):
    return videos.write_clip(path, [videos.square_frame(320, 240, x, 40, size=32) for x in STEPS])


def red_box(image):
    """The bounding rectangle (x0, y0, x1, y1) of the pure red pixels drawn into `image`, or None."""
    b, g, r = (image[..., i].astype(int) for i in range(3))
    ys, xs = np.nonzero((r > 170) & (g < 90) & (b < 90))
    return (xs.min(), ys.min(), xs.max() + 1, ys.max() + 1) if len(xs) else None


def around_the_move(box, frame):
    """The box holds the square where it is now and reaches no further than where it was (the blur's
    reach beyond either)."""
    x0, y0, x1, y1 = box
    now, before = STEPS[frame], STEPS[frame - 1]
    assert x0 <= now and x1 >= now + 32 and y0 <= 40 and y1 >= 72
    assert x0 >= min(now, before) - 16 and x1 <= max(now, before) + 32 + 16 and y0 >= 40 - 16 and y1 <= 72 + 16


@pytest.mark.parametrize("detect_width", [0, 80])
@pytest.mark.parametrize("pipeline", [False, True], ids=["sequential", "pipelined"])
def test_boxes_and_pictures_lie_where_the_square_moved(tmp_path, detect_width, pipeline):
    src = stepping(tmp_path / "in.avi")
    r = quarrin.record(src, tmp_path / "o.avi", motion=True, min_area=100, boxes=True, box_colour=RED, after=0.1,
                       detect_width=detect_width, pipeline=pipeline)
    assert [(e.first_frame, e.last_frame) for e in r.events] == [(1, 3), (8, 10)]
    saved = r.segments[0].inframes
    for frame, image in zip(saved, videos.read_all(tmp_path / "o.avi")):
        box = red_box(image)
        if frame in (1, 2, 8, 9):
            around_the_move(box, frame)
        else:  # the reference and the after-time: no motion, no box
            assert box is None, frame
    # Each event's picture: its frame with the largest moving area, its box drawn even without --boxes.
    # A listener told of an event's end finds its picture written.
    found = []
    plain = quarrin.record(src, tmp_path / "p.avi", motion=True, min_area=100, box_colour=RED, after=0.1,
                           detect_width=detect_width, pipeline=pipeline,
                           on_event=lambda e: found.append(os.path.getsize(e.snapshot) > 0))
    assert found == [True, True]
    for e in r.events + plain.events:
        picture = cv2.imread(e.snapshot)
        assert picture.shape == (240, 320, 3)
        around_the_move(red_box(picture), e.first_frame)


def test_no_pictures_and_a_scan_s_pictures(tmp_path):
    src = stepping(tmp_path / "in.avi")
    r = quarrin.record(src, tmp_path / "o.avi", motion=True, min_area=100, snapshots=False, name="door")
    assert [(e.snapshot, e.camera) for e in r.events] == [(None, "door")] * 2
    assert [(row["snapshot"], row["camera"]) for row in rows(tmp_path / "o.events.csv")] == [("", "door")] * 2
    assert sorted(os.listdir(tmp_path)) == ["in.avi", "o.avi", "o.avi.csv", "o.events.csv"]
    os.chdir(tmp_path)
    (tmp_path / "b").mkdir()
    stepping(tmp_path / "b" / "in.avi")
    items = quarrin.scan(["in.avi", "b/in.avi"], min_area=100, after=0.1, min_event=0, snapshots="pics",
                         box_colour=RED, report="scan.csv")
    # Two inputs of one name keep their pictures apart.
    assert [[e.snapshot for e in i.events] for i in items] == [
        [os.path.join("pics", name, "%04d.jpg" % n) for n in (1, 2)] for name in ("in", "in_001")]
    assert [row["snapshot"] for row in rows("scan.csv")] == [e.snapshot for i in items for e in i.events]
    for e in items[0].events:
        around_the_move(red_box(cv2.imread(e.snapshot)), e.first_frame)


def found_by_a_detector(box, label="person", zones=("driveway", "gate")):
    """A detector's findings on an event: its best person in `box` on a grey frame (120) of 160x120."""
    from quarrin.seams import Box, Detection

    best = Detection(label, 0.8666, Box(*box))
    return types.SimpleNamespace(label=label, score=0.8666, zones=zones, box=best.box,
                                 detections=(best, Detection("car", np.float32(0.61), Box(0, 0, 9, 9))),
                                 frame=np.full((120, 160, 3), 120, np.uint8))


# What a detector found goes with the event: into its list (and back from it), its told form, the
# printed line and its picture: the detection's frame, boxed and captioned within the image.
@pytest.mark.parametrize("findings, listed, told, line, caption", [
    (None, ("", "", ""), (None, None, []), "peak 500 px)", None),
    (found_by_a_detector((40, 40, 30, 50)), ("person", "0.867", "driveway;gate"), ("person", 0.867, ["driveway", "gate"]),
     "peak 500 px, person 0.87 in driveway;gate)", (40, 39)),
    # At the top right: the caption goes inside the box, moved left to stay in the image.
    (found_by_a_detector((130, 0, 30, 40), zones=()), ("person", "0.867", ""), ("person", 0.867, []),
     "peak 500 px, person 0.87)", (129, 0)),
    # Zones without objects: the motion's picture.
    (types.SimpleNamespace(label="", score=None, zones=("gate",), detections=(), frame=None, box=None),
     ("", "", "gate"), (None, None, ["gate"]), "peak 500 px, in gate)", None),
], ids=["motion", "object", "object-at-the-edge", "zones-only"])
def test_what_a_detector_found_goes_with_the_event(tmp_path, findings, listed, told, line, caption):
    from quarrin import cli
    from quarrin.listeners import eventlist, snapshots

    start = datetime.datetime(2026, 12, 8, 10)
    recorded = types.SimpleNamespace(event=1, start=start, end=start + datetime.timedelta(seconds=2), seconds=2.0,
                                     first_frame=3, last_frame=22, frames=20, peak_area=500.0, file="door.avi",
                                     peak_frame=np.full((120, 160, 3), 40, np.uint8), peak_box=(60, 60, 20, 20),
                                     findings=findings)
    e = snapshots.Events("door", lambda: str(tmp_path / "door.events"), colour=(0, 0, 255)).of(recorded)
    assert (e.label, e.score, e.zones) == (listed[0], float(listed[1]) if listed[1] else None,
                                           tuple(filter(None, listed[2].split(";"))))
    assert [d.label for d in e.detections] == ([] if findings is None else [d.label for d in findings.detections])
    listing = eventlist.EventList(str(tmp_path / "door.events.csv"))
    listing.on_event(e)
    listing.close()
    [row] = rows(tmp_path / "door.events.csv")
    assert (row["label"], row["score"], row["zones"]) == listed
    assert tuple(e.row("end")[c] for c in ("label", "score", "zones")) == told
    assert cli.event_line(e, file=False).endswith(line)
    # A scan's report, as its list.
    scanned = types.SimpleNamespace(input="in.avi", status="ok", error=None,
                                    result=types.SimpleNamespace(warning=None, events=(e,)))
    [row] = rows(eventlist.write_report(str(tmp_path / "scan.csv"), [scanned]))
    assert (row["input"], row["label"], row["score"], row["zones"]) == ("in.avi",) + listed
    picture = cv2.imread(e.snapshot)
    assert picture.shape == (120, 160, 3)
    assert abs(int(picture[119, 0].mean()) - (40 if caption is None else 120)) < 8
    x0, y0, x1, y1 = red_box(picture)
    if caption is None:
        assert np.abs(np.subtract((x0, y0, x1, y1), (60, 60, 80, 80))).max() <= 2   # 2 pixels wide
        return
    # The caption's band, above the box where there is room, in the box's colour with white text.
    assert x0 <= caption[0] and y0 <= caption[1] and abs(y1 - findings.box.y - findings.box.height) <= 2
    # Its text is light on the band's red (luma about 76), through the JPEG's blur of thin strokes.
    band = cv2.cvtColor(np.ascontiguousarray(picture[y0:y0 + 10, x0:x1]), cv2.COLOR_BGR2GRAY)
    assert (band > 150).sum() > 10


@pytest.mark.parametrize("options, segments", [
    (dict(before=0.3, after=0.2), [[0, 1, 2, 3, 4], [5, 6, 7, 8, 9, 10, 11]]),
    (dict(after=0.1), [[1, 2, 3], [8, 9, 10]]),
    # A long event is still cut by frames.
    (dict(before=0.3, after=0.2, segment_frames=3), None),
], ids=["context", "no-before", "cut-by-frames"])
@pytest.mark.parametrize("pipeline", [False, True], ids=["sequential", "pipelined"])
def test_split_by_events(tmp_path, options, segments, pipeline):
    src = stepping(tmp_path / "in.avi")
    out = tmp_path / "o.avi"
    r = quarrin.record(src, out, motion=True, min_area=100, split="events", pipeline=pipeline, **options)
    written = [list(s.inframes) for s in r.segments]
    for s in r.segments:
        assert [int(row["inframe"]) for row in rows(s.csv)] == list(s.inframes)
        assert len(videos.read_all(s.video)) == s.frames
    if segments is None:
        assert all(len(frames) <= 3 for frames in written)
        assert sorted(i for frames in written for i in frames) == [
            i for e in r.events for i in range(e.first_frame, e.last_frame + 1)]
        return
    assert written == segments
    # One segment per event, numbered; the first row is the event's first motion less its before-time.
    assert [(e.first_frame, e.last_frame, os.path.basename(e.file)) for e in r.events] == [
        (frames[0], frames[-1], "o_%03d.avi" % n) for n, frames in enumerate(segments)]
    before = round(options.get("before", 0) * 10)
    assert [frames[0] for frames in segments] == [max(0, first - before) for first in (1, 8)]


# An event left open beside its list is listed on a line of its own, whether the list's last line
# was cut off by the dying recording or ends as written; an event already listed is not repeated.
# What a detector had found when it began is listed with it (in a list with those columns), and
# what cannot be read of that is left out.
OLD_HEADER = b"event,start,end,seconds,first_frame,last_frame,frames,peak_area,file"
FOUND_HEADER = OLD_HEADER + b",snapshot,camera,label,score,zones"


@pytest.mark.parametrize("tail, listed, header, found, kept", [
    (b"", ["1", "2"], OLD_HEADER, {}, ("", None, ())),
    (b"2,2026-12-08T10:", ["1", "2", "2"], OLD_HEADER, {}, ("", None, ())),
    (b"2,2026-12-08T10:15:00,2026-12-08T10:15:01,1,0,9,10,5,\r\n", ["1", "2"], OLD_HEADER, {}, None),
    (b"", ["1", "2"], FOUND_HEADER, dict(label="car", score=0.5, zones=["drive"]), ("car", 0.5, ("drive",))),
    (b"", ["1", "2"], FOUND_HEADER, dict(label="car", score="high", zones="drive"), ("car", None, ())),
], ids=["ends", "cut-off", "listed", "found", "found-unreadable"])
def test_an_open_event_completes_its_list(tmp_path, tail, listed, header, found, kept):
    from quarrin.listeners import eventlist

    listing = tmp_path / "cam.events.csv"
    listing.write_bytes(header + b"\r\n1,2026-12-08T10:00:00,2026-12-08T10:00:01,1,0,9,10,5,\r\n" + tail)
    (tmp_path / "cam.events.csv.open").write_text(json.dumps(dict({"event": 2, "start": "2026-12-08T10:15:00",
                                                                   "first_frame": 0, "camera": "cam"}, **found)))
    event = eventlist.complete_open(str(tmp_path / "cam.events.csv.open"))
    columns, rows = eventlist.read_list(str(listing))
    assert [row[0] for row in rows] == listed and len(rows[-1]) == len(columns)
    assert not (tmp_path / "cam.events.csv.open").exists()
    assert (event and (event.label, event.score, event.zones)) == kept
    if header == FOUND_HEADER:
        assert rows[-1][-3:] == [kept[0], "" if kept[1] is None else str(kept[1]), ";".join(kept[2])]
