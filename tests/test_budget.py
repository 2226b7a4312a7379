"""The disk budget (--keep-size, --keep-days): what it deletes of a recording's own files, as it
goes and at a SIGTERM, on a live camera and on files; the names it may take for the recording's own,
and those it spares (another camera's, a video without its CSV, anything else)."""
import glob
import json
import os
import re
import signal
import time

import pytest

import videos
from mjpeg_server import MjpegServer
from test_live import quarrin, recording, rows, segments_consistent

# As test_live.py's: the primary session runs them.
pytestmark = pytest.mark.only_in("np2")


def test_disk_budget_deletes_only_the_recordings_oldest_segments(tmp_path):
    folder = tmp_path / "cam"
    folder.mkdir()
    old = time.time() - 3600
    for name in ("o_900.avi", "o_900.avi.csv", "other.avi", "o.avi.bak", "notes.csv"):
        (folder / name).write_bytes(b"x" * 50000)
        os.utime(folder / name, (old, old))
    # Event lists of earlier runs, which named their videos from where they ran (cam/...), and of
    # this version (relative to the list): a list goes once none of its videos is left.
    for number, files in ((1, ["cam/o_900.avi"]), (2, ["cam/o_900.avi", "cam/other.avi"]), (3, ["other.avi"])):
        (folder / ("o.events_%03d.csv" % number)).write_text("event,file\n" + "".join("1,%s\n" % f for f in files))
    # The first one's pictures go with it.
    (folder / "o.events_001").mkdir()
    (folder / "o.events_001" / "0001.jpg").write_bytes(b"jpeg")
    src = videos.moving_clip(tmp_path / "in.avi", 40, width=160, height=120)
    proc = quarrin("record", src, folder / "o.avi", "--segment-frames", 10, "--keep-size", "30K", "--motion",
                   "--after", 1)
    assert proc.returncode == 0, proc.stderr
    removed = [line.split()[1] for line in proc.stdout.splitlines() if line.startswith("Removed")]
    assert removed[:2] == [str(folder / "o_900.avi"), str(folder / "o_900.avi.csv")]
    assert str(folder / "o.events_001.csv") in removed and len(removed) == len(set(removed))
    assert str(folder / "o.events_001" / "0001.jpg") in removed and not (folder / "o.events_001").exists()
    left = sorted(os.listdir(folder))
    assert {"other.avi", "o.avi.bak", "notes.csv", "o.events_002.csv", "o.events_003.csv"} <= set(left)
    mine = [n for n in left if re.fullmatch(r"o_\d+\.avi", n)]
    assert mine[-1] == "o_003.avi" and all(n + ".csv" in left for n in mine)   # the newest is kept
    total = sum(os.path.getsize(folder / n) + os.path.getsize(folder / (n + ".csv")) for n in mine)
    assert total <= 30 * 1024 or mine == ["o_003.avi"]
    assert len(removed) == 4 + 2 * (4 - len(mine)) and len(mine) < 4
    # The recording's own list stays, naming its videos beside it, removed ones included.
    assert [e["file"] for e in rows(folder / "o.events.csv")] == ["o_000.avi"]
    assert sum(line.endswith("removed (disk budget)") for line in proc.stdout.splitlines()) == 4 - len(mine)


def test_disk_budget_on_a_live_recording_stopped_by_sigterm(tmp_path):
    """The budget deletes the recording's own finished segments as it goes; the recording still
    ends as it would without one."""
    with MjpegServer(fps=10) as cam:
        proc = recording(tmp_path, cam.url, tmp_path / "door.avi", "--segment-seconds", 0.5, "--keep-size", "20K",
                         "--motion", stop=signal.SIGTERM, after=3.0)
    assert proc.returncode == 143, proc.stderr
    assert proc.stderr.splitlines()[-1] == "quarrin: terminated; the files above are complete"
    out = proc.stdout.splitlines()
    removed = [line.split()[1] for line in out if line.startswith("Removed")]
    # The pictures of events whose segments are all gone go with the last of them.
    pictures = [name for name in removed if name.endswith(".jpg")]
    removed = [name for name in removed if name not in pictures]
    assert not any(os.path.exists(name) for name in pictures)
    assert all("Removed %s (the segments of its event are gone)" % name in out for name in pictures)
    files = [line.split() for line in out if line.startswith(str(tmp_path))]
    gone = [f[0] for f in files if " ".join(f[-3:]) == "removed (disk budget)"]
    assert gone and removed == [name for video in gone for name in (video, video + ".csv")]  # each once, in order
    kept = sorted(f[0] for f in files if f[0] not in gone)
    assert kept == sorted(glob.glob(str(tmp_path / "door*.avi"))) and segments_consistent(tmp_path)
    # Its event list was never deleted while it was written: it holds every event.
    events = [line for line in out if line.startswith("Event ")]
    assert len(rows(tmp_path / "door.events.csv")) == len(events)


# OUTPUT; names a recording into it may have written, which the budget deletes; names it cannot
# have written, which stay (None: the budget refuses OUTPUT before recording).
BUDGET_PATTERNS = [
    ("cams/o.avi", ["cams/o_900.avi", "cams/o_1000.avi"], ["cams/o_0001.avi", "cams/o_01.avi", "cams/other.avi",
                                                          "cams/o.avi.bak", "o_901.avi"]),
    # Text fields match only what the locale writes for them.
    ("cams/%b/door-%d.avi", ["cams/Jan/door-05.avi", "cams/Dec/door-31_002.avi"],
     ["cams/saved/door-08.avi", "cams/Jan/door-5.avi", "cams/Jan/door-05_000.avi", "cams/jan/door-05.avi"]),
    ("cams/door-%I%p.avi", ["cams/door-07PM.avi"], ["cams/door-07XM.avi", "cams/door-13PM.avi", "cams/door-07pm.avi"]),
    # Fields without padding, and fields that write a slash (folders).
    ("cams/door-%-d-%-H.avi", ["cams/door-5-7.avi", "cams/door-31-23_001.avi"],
     ["cams/door-05-07.avi", "cams/door-5-24.avi"]),
    ("cams/%D/door.avi", ["cams/01/31/26/door.avi"], ["cams/13/01/26/door.avi", "cams/01/31/door.avi"]),
    ("cams/%x-%T.avi", ["cams/12/08/26-10:15:00.avi"], ["cams/12/08/26-10:15.avi", "cams/12/08/2026-10:15:00.avi"]),
    # Today's name is taken: the first segment is numbered, the next takes it once the budget has
    # removed the earlier file.
    ("cams/day-%Y%m%d.avi", [time.strftime("cams/day-%Y%m%d.avi")], ["cams/day-%Y%m%d.avi"]),
    ("cams/%H.%M", None, ["cams/10.15"]),          # a field in the extension
    ("cams/door-%10Y.avi", None, []),              # a width on the year
]


@pytest.mark.parametrize("output, mine, others", BUDGET_PATTERNS, ids=[p[0] for p in BUDGET_PATTERNS])
def test_budget_deletes_only_names_the_output_can_have(tmp_path, output, mine, others):
    import quarrin as api

    src = videos.moving_clip(tmp_path / "in.avi", 5)
    old = time.time() - 3600
    for name in (mine or []) + others:
        for path in (tmp_path / name, tmp_path / (name + ".csv")):
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_bytes(b"x" * 1000)
            os.utime(path, (old, old))
    if mine is None:
        with pytest.raises(api.UsageError, match=r"^output=.*: the disk budget \(--keep-size\) cannot tell its files"):
            api.record(src, tmp_path / output, keep_size=1)
        return
    told = []
    r = api.record(src, tmp_path / output, keep_size=1, segment_frames=2, notify=told.append)
    removed = [line.split()[1] for line in told]
    # Each earlier segment of its own goes too: the budget knows every name the recording gives.
    expected = [str(tmp_path / name) for name in mine] + [s.video for s in r.segments[:-1]]
    assert sorted(removed) == sorted(video + csv for video in expected for csv in ("", ".csv"))
    assert [s.removed for s in r.segments] == [True] * (len(r.segments) - 1) + [False]
    assert os.path.exists(r.segments[-1].video) and all((tmp_path / name).exists() for name in others)


def test_budget_spares_what_another_camera_names_and_a_video_without_its_csv(tmp_path):
    """Under a service, a file another camera's output names too is not provably this recording's."""
    from quarrin import options, recording

    src = videos.moving_clip(tmp_path / "in.avi", 5)
    old = time.time() - 3600
    same = tmp_path / "same"
    same.mkdir()
    for name in ("cam_900.avi", "cam_900.avi.csv", "cam_20261209.avi", "cam_20261209.avi.csv", "cam_901.avi"):
        (same / name).write_bytes(b"x" * 1000)
        os.utime(same / name, (old, old))
    told = []
    plan = recording.prepare(src, str(same / "cam.avi"), options.check_record_options(keep_size=1, segment_frames=2))
    r = recording.run(plan, notify=told.append, others=[str(same / "cam_%Y%m%d.avi")])
    removed = sorted(os.path.basename(line.split()[1]) for line in told)
    own = [os.path.basename(s.video) for s in r.segments[:-1]]
    assert removed == sorted(["cam_900.avi", "cam_900.avi.csv"] + own + [n + ".csv" for n in own])
    assert {"cam_20261209.avi", "cam_20261209.avi.csv", "cam_901.avi"} <= set(os.listdir(same))


FIELDS = ["%Y", "%y", "%-y", "%_y", "%m", "%-m", "%d", "%-d", "%e", "%H", "%-H", "%I", "%l", "%M", "%S", "%j", "%b",
          "%B", "%^b", "%a", "%A", "%p", "%P", "%Z", "%z", "%D", "%F", "%T", "%R", "%x", "%X", "%c", "%r", "%G", "%g",
          "%V", "%U", "%u", "%s", "%%", "%_d", "%0e"]


def test_budget_pattern_matches_every_name_and_no_other():
    """Every name the layout gives an OUTPUT's files (its segments as strftime and the numbering
    make them, its event lists, numbered or not) matches its pattern as what it is; a segment's
    CSV, and a name with text where a field can write none, match neither."""
    from hypothesis import assume, given, settings, strategies as st

    from quarrin import layout

    pieces = st.lists(st.one_of(st.sampled_from(FIELDS), st.sampled_from(["-", "_", "door", "/", " "])), min_size=1,
                      max_size=6)

    @settings(max_examples=60, deadline=None, database=None)
    @given(pieces, st.integers(int(time.mktime((2000, 1, 1, 0, 0, 0, 0, 0, -1))),
                               int(time.mktime((2099, 12, 31, 0, 0, 0, 0, 0, -1)))), st.integers(0, 2000), st.data())
    def check(parts, when, number, data):
        output = "cams/" + "".join(parts) + ".avi"
        assume("//" not in output and "/." not in output and not output.startswith("cams//"))
        pattern = layout.Pattern(output)
        t = time.localtime(when)
        name = layout.expand(output, t)
        # Without fields, a recording split by frames numbers its segments from _000; with
        # fields, a name is numbered (from _001) only when it is taken. Lists are numbered from _001.
        videos = [name, layout.numbered(name, number)] if number or "%" not in output else [name]
        lists = [layout.events_path(name), layout.numbered(layout.events_path(name), max(number, 1))]
        for path in videos + lists:
            full = os.path.abspath(path)
            assert (pattern.is_video(full), pattern.is_list(full)) == (path in videos, path in lists), (output, path)
        assert not pattern.is_video(os.path.abspath(layout.csv_of(videos[-1]))), output
        fields = [i for i, part in enumerate(parts) if part.startswith("%")]
        if fields:
            k = data.draw(st.sampled_from(fields))
            wrong = "cams/" + "".join(("x" if i == k else "") + time.strftime(p, t) for i, p in enumerate(parts))
            for path in (wrong + ".avi", layout.events_path(wrong + ".avi")):
                full = os.path.abspath(path)
                assert not (pattern.is_video(full) or pattern.is_list(full)), (output, path)

    check()


def _stamped(path, start, rows):
    """A segment (its bytes don't matter) and its timestamps CSV from `start`, one row a second."""
    import datetime

    path.write_bytes(b"x" * 1000)
    with open(str(path) + ".csv", "w") as f:
        f.write("inframe,outframe,timestamp\n")
        for i in range(rows):
            f.write("%d,%d,%s\n" % (i, i, (start + datetime.timedelta(seconds=i)).isoformat()))


# Where the review file lies (None: none), what it keeps (the event's video, or only its times:
# a long event going on into the next segment), what the budget removes of the old files and
# what it tells as kept.
KEEPING = [
    (None, None, ["o_900.avi", "o_900.avi.csv", "o_901.avi", "o_901.avi.csv", "o.events_001.csv"], []),
    ("folder", "o_900", ["o_901.avi", "o_901.avi.csv"], ["o_900.avi"]),
    ("parent", "o_900", ["o_901.avi", "o_901.avi.csv"], ["o_900.avi"]),
    # its list is kept though the video it names is gone
    ("parent", "times of o_901", ["o_900.avi", "o_900.avi.csv"], ["o_901.avi", "o.events_001.csv"]),
    ("folder", "damaged", [], []),
]


@pytest.mark.parametrize("where, kept, removed, told_kept", KEEPING)
def test_kept_events_outlive_the_budget(tmp_path, where, kept, removed, told_kept):
    import datetime

    import quarrin as api
    from quarrin import review

    folder = tmp_path / "cams" / "door"
    folder.mkdir(parents=True)
    old, start = time.time() - 3600, datetime.datetime.now().replace(microsecond=0) - datetime.timedelta(hours=2)
    for n, name in enumerate(("o_900", "o_901")):
        _stamped(folder / (name + ".avi"), start + datetime.timedelta(minutes=n), 30)
        for path in (folder / (name + ".avi"), folder / (name + ".avi.csv")):
            os.utime(path, (old + n, old + n))
    (folder / "o.events_001.csv").write_text("event,start,end,file\n1,%s,%s,o_900.avi\n" % (
        start.isoformat(), (start + datetime.timedelta(seconds=5)).isoformat()))
    top = {"folder": folder, "parent": tmp_path / "cams"}.get(where)
    if top is not None:
        path = top / ".quarrin" / "review.sqlite"
        if kept == "damaged":
            path.parent.mkdir()
            path.write_bytes(b"no database" * 100)
        else:
            rel = os.path.relpath(folder, top)
            video = os.path.join(rel, kept + ".avi") if not kept.startswith("times") else None
            first = start + datetime.timedelta(minutes=1 if video is None else 0, seconds=10)
            with review.Review(str(path)) as marks:
                marks.set([("", 1, 1, first.isoformat(), (first + datetime.timedelta(seconds=5)).isoformat(),
                            os.path.join(rel, "o.events_001.csv"), video, None, "door")], "kept")
    told = []
    src = videos.moving_clip(tmp_path / "in.avi", 5)
    r = api.record(src, folder / "o.avi", keep_size=1, segment_frames=2, notify=told.append)
    gone = sorted(os.path.basename(line.split()[1]) for line in told if line.startswith("Removed"))
    own = [os.path.basename(s.video) for s in r.segments[:-1]]
    if kept != "damaged":
        assert gone == sorted(removed + own + [o + ".csv" for o in own])
        assert sorted(line for line in told if line.startswith("Kept")) == sorted(
            "Kept %s: it holds a kept event (disk budget)" % (folder / n) for n in told_kept)
    else:   # what is kept cannot be known: nothing is removed, and that is told once
        assert gone == [] and [line for line in told if not line.startswith("Removed")] == [
            "Nothing removed (disk budget): the review file %s cannot be read: file is not a database" % path]
    assert all((folder / n).exists() for n in told_kept)


def _segments(top, specs):
    """Finished segments of made-up sizes under `top`: (camera, number, age in hours, with an
    event, bytes). An event is named in the camera's list, its picture beside it."""
    import datetime

    paths = {}
    for camera, number, hours, event, size in specs:
        folder = top / camera
        folder.mkdir(exist_ok=True)
        video = folder / ("%s_%03d.avi" % (camera, number))
        when = time.time() - hours * 3600
        start = datetime.datetime.fromtimestamp(when - 60).replace(microsecond=0)
        _stamped(video, start, 3)
        video.write_bytes(b"x" * size)
        if event:
            listing = folder / (camera + ".events.csv")
            if not listing.exists():
                listing.write_text("event,start,end,file,snapshot\n")
            (folder / (camera + ".events")).mkdir(exist_ok=True)
            (folder / (camera + ".events") / ("%04d.jpg" % number)).write_bytes(b"jpeg")
            with open(listing, "a") as f:
                f.write("%d,%s,%s,%s,%s\n" % (number, start.isoformat(), start.isoformat(), video.name,
                                              "%s.events/%04d.jpg" % (camera, number)))
        for path in (video, str(video) + ".csv"):
            os.utime(path, (when, when))
        paths[camera, number] = str(video)
    return paths


# Segments of two and three cameras (camera, number, hours old, with an event, bytes); the
# budget; the segments held claimed; which go, in order.
D, Y, G = "door", "yard", "gate"
CAMERAS = [
    # Those without events first, across cameras, oldest first; never a camera's newest.
    ([(D, 0, 9, True, 4000), (Y, 0, 8, False, 4000), (D, 1, 7, False, 4000), (Y, 1, 6, False, 4000),
      (D, 2, 1, False, 4000), (Y, 2, 1, False, 4000)], {"max_size": "10K"}, [], [(Y, 0), (D, 1), (Y, 1), (D, 0)]),
    ([(D, 0, 9, True, 4000), (Y, 0, 8, False, 4000), (D, 1, 7, False, 4000), (D, 2, 1, False, 4000),
      (Y, 1, 1, False, 4000)], {"max_size": "17K"}, [], [(Y, 0)]),
    # A segment its recorder holds is skipped; when the newest is held, the newest before it is
    # spared too. The picture of an event goes with its segment, its list stays for the other.
    ([(D, 0, 9, True, 4000), (Y, 0, 8, False, 4000), (D, 1, 7, False, 4000), (D, 2, 1, False, 4000),
      (G, 0, 5, True, 4000), (G, 1, 4, True, 4000), (G, 2, 0.5, False, 4000)], {"max_size": "1K"},
     [(Y, 0), (G, 2)], [(D, 1), (D, 0), (G, 0)]),
    # Free space lacking: as many bytes as it lacks go (free space is made up: 10 KiB).
    ([(D, 0, 9, False, 6000), (Y, 0, 8, True, 6000), (D, 1, 7, False, 6000), (Y, 1, 6, False, 6000),
      (D, 2, 1, False, 100), (Y, 2, 1, False, 100), (G, 0, 3, True, 6000), (G, 1, 1, False, 100)],
     {"min_free": "20K"}, [], [(D, 0), (D, 1)]),
]


@pytest.mark.parametrize("specs, storage, held, gone", CAMERAS)
def test_storage_budget_across_cameras(tmp_path, monkeypatch, specs, storage, held, gone):
    import fcntl

    from quarrin import layout, options, writers
    from quarrin.service.budget import StorageBudget

    paths = _segments(tmp_path, specs)
    (tmp_path / D / "door_900.avi").write_bytes(b"x" * 9000)   # no CSV: no segment's
    (tmp_path / D / "notes.avi").write_bytes(b"x" * 9000)
    monkeypatch.setattr(writers, "free_space", lambda folder: 10 << 10)
    locks = [os.open(paths[key], os.O_RDONLY) for key in held]
    for fd in locks:
        fcntl.flock(fd, fcntl.LOCK_SH)
    told = []
    outputs = {camera: str(tmp_path / camera / (camera + ".avi")) for camera in dict.fromkeys(s[0] for s in specs)}
    limits = {key: options.size_bytes(key, value) for key, value in storage.items()}
    try:
        removed = StorageBudget(lambda: outputs, told.append, limits, str(tmp_path)).sweep()
    finally:
        for fd in locks:
            os.close(fd)
    assert removed == [paths[key] for key in gone]
    assert all(os.path.exists(p) for key, p in paths.items() if key not in gone)
    assert (tmp_path / D / "door_900.avi").exists() and (tmp_path / D / "notes.avi").exists()
    lines = [line for line in told if ".avi" in line]
    assert lines[1::2] == [line.replace(".avi ", ".avi.csv ") for line in lines[::2]]
    reason = r"\d+\.\d KiB over \d+\.0 KiB" if "max_size" in storage else r"\d+\.\d KiB free, below 20\.0 KiB"
    assert len(lines) == 2 * len(gone)
    for (camera, number), line in zip(gone, lines[::2]):
        assert re.fullmatch(r"Removed %s/%s_%03d\.avi of camera %s \(storage budget: %s\)"
                            % (camera, camera, number, camera, reason), line), line
    # An event's picture goes with the last segment that holds it; its list once no video it names is left.
    for camera, number in gone:
        if any(s[:2] == (camera, number) and s[3] for s in specs):
            picture = "%s/%s.events/%04d.jpg" % (camera, camera, number)
            listing = "%s/%s.events.csv" % (camera, camera)
            assert not (tmp_path / picture).exists()
            assert ("Removed %s of camera %s (the segments of its event are gone)" % (picture, camera)
                    if (tmp_path / listing).exists() else
                    "Removed %s of camera %s (no video it names is left)" % (listing, camera)) in told
    # The recorder's claim is what the budget sees as held.
    namer = layout.Namer(str(tmp_path / "new.avi"))
    name = namer.claim()
    with layout.locked_by_other(name) as claimed:
        assert claimed
    namer.closed(name)
    with layout.locked_by_other(name) as claimed:
        assert not claimed


# The budget of one recording over old segments (900, 902: with an event; 901: without): what
# it is given, which go, in order, and why.
AGES = [
    (dict(keep_days=1, keep_event_days=30), [(901, "keep-days 1"), (902, "keep-event-days 30")]),
    (dict(keep_event_days=30), [(902, "keep-event-days 30")]),    # the others never by age
    (dict(keep_days=1), [(901, "keep-days 1"), (902, "keep-days 1"), (900, "keep-days 1")]),
    # Over the size, those without events go first.
    (dict(keep_size=1, keep_event_days=100), [(901, "keep-size"), (902, "keep-size"), (900, "keep-size")]),
]


@pytest.mark.parametrize("keep, gone", AGES)
def test_segments_with_events_are_kept_longer(tmp_path, keep, gone):
    import quarrin as api

    paths = _segments(tmp_path, [(D, 902, 960, True, 1000), (D, 900, 48, True, 1000), (D, 901, 47, False, 1000)])
    # A row's picture outside its list's own folder is never the budget's to remove.
    (tmp_path / "outside.jpg").write_bytes(b"jpeg")
    with open(tmp_path / D / "door.events.csv", "a") as f:
        f.write("903,2000-01-01T00:00:00,2000-01-01T00:00:01,door_902.avi,../outside.jpg\n")
    src = videos.moving_clip(tmp_path / "in.avi", 5)
    told = []
    r = api.record(src, tmp_path / D / "door.avi", segment_frames=2, notify=told.append, **keep)
    old = [line for line in told if re.search(r"_90\d\.avi ", line)]
    assert [(line.split()[1], line.split(" (", 1)[1].split(":")[0].rstrip(")")) for line in old] == [
        (paths[D, number], reason) for number, reason in gone]
    own = [s for s in r.segments if s.removed]
    assert len(own) == (len(r.segments) - 1 if "keep_size" in keep else 0)
    # The picture of an event goes with its segment; the list with the last video it names.
    left = [number for number in (900, 902) if number not in dict(gone)]
    listing = tmp_path / D / "door.events.csv"
    assert listing.exists() == bool(left)
    for number in (900, 902):
        assert (tmp_path / D / "door.events" / ("%04d.jpg" % number)).exists() == (number in left)
    assert (tmp_path / "outside.jpg").exists()


@pytest.mark.parametrize("gap, recorded, held", [(0, False, True), (30, False, False), (30, True, True)],
                         ids=["goes-on", "ended-before", "still-recorded"])
def test_an_event_going_on_into_the_next_days_folder_is_held_there(tmp_path, gap, recorded, held):
    # A live recording's one list lies beside its first segment; an event of a later day that goes
    # on into the next segment holds that one too, wherever it lies; one still recorded (not
    # listed yet: its open event's file) holds every segment from the one it began in.
    import datetime

    from quarrin import layout
    from quarrin.listeners import budget

    day = datetime.datetime(2026, 12, 1, 23, 59, 50)
    first, late = tmp_path / "door" / "2026-12-01", tmp_path / "door" / "2026-12-02"
    for folder in (first, late):
        folder.mkdir(parents=True)
    _stamped(first / "door-120000.avi", day - datetime.timedelta(hours=12), 3)
    _stamped(late / "door-000000.avi", day + datetime.timedelta(seconds=10 + gap), 5)
    _stamped(first / "door-235950.avi", day, 10)
    listing = first / "door-120000.events.csv"
    if recorded:
        listing.write_text("event,start,end,file,snapshot\n")
        (first / "door-120000.events.csv.open").write_text(json.dumps(
            {"event": 1, "start": day.isoformat(), "file": str(first / "door-235950.avi")}))
    else:
        listing.write_text("event,start,end,file,snapshot\n1,%s,%s,../2026-12-01/door-235950.avi,\n"
                           % (day.isoformat(), (day + datetime.timedelta(seconds=14)).isoformat()))
    for n, video in enumerate((first / "door-120000.avi", first / "door-235950.avi", late / "door-000000.avi")):
        for path in (video, str(video) + ".csv"):
            os.utime(path, (1e9 + n, 1e9 + n))
    walk = budget.finished_segments(layout.Pattern(str(tmp_path / "door" / "%Y-%m-%d" / "door-%H%M%S.avi")))
    assert [(os.path.basename(seg.path), seg.event) for seg in walk.segments] == [
        ("door-120000.avi", False), ("door-235950.avi", True), ("door-000000.avi", held)]


def test_segments_removed_by_another_budget_meanwhile(tmp_path):
    """The service's budget may remove a running recording's finished segments: the recording
    ends as it would, those segments told as removed."""
    import quarrin as api
    from quarrin import layout

    closed = []

    def elsewhere(segment):
        if closed:
            for path in layout.segment_files(closed[-1]):
                os.remove(path)
        closed.append(segment.video)

    r = api.record(videos.moving_clip(tmp_path / "in.avi", 8), tmp_path / "o.avi", segment_frames=2,
                   on_segment=elsewhere)
    assert [s.removed for s in r.segments] == [True] * (len(r.segments) - 1) + [False]
