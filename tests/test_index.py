"""quarrin events and the index behind it: which events a query finds under nested daily folders,
the segments and cameras it knows, and that the files stay the truth: an index deleted, damaged,
out of date or impossible to write changes no answer, and queries beside a writer never fail."""
import csv
import datetime
import json
import os
import subprocess
import sys
import threading

import pytest

import parts
import quarrin
import videos
from quarrin import export, index, layout

# The index runs no compiled code: nothing for the sanitizer session.
pytestmark = pytest.mark.not_in("asan")

COLUMNS = ["event", "start", "end", "seconds", "first_frame", "last_frame", "frames", "peak_area", "file"]
DAY = datetime.datetime(2026, 12, 8)


def write_list(path, events, extra=(), mode="w"):
    """An event list: `events` are (number, start as hours after DAY's midnight, seconds, file,
    *extra values)."""
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, mode, newline="") as f:
        w = csv.writer(f)
        if mode == "w":
            w.writerow(COLUMNS + list(extra))
        for number, hours, seconds, file, *more in events:
            start = DAY + datetime.timedelta(hours=hours)
            end = start + datetime.timedelta(seconds=seconds)
            w.writerow([number, start.isoformat(), end.isoformat(), seconds, number * 10, number * 10 + 9, 10,
                        1000 + number, file] + more)
    return path


def write_stamps(video, hours, rows, step=0.5):
    """A video (empty) and its timestamps CSV, `rows` frames from `hours` after DAY's midnight."""
    open(video, "wb").close()
    start = DAY + datetime.timedelta(hours=hours)
    with open(str(video) + ".csv", "w", newline="") as f:
        w = csv.writer(f)
        w.writerow(["inframe", "outframe", "timestamp"])
        for i in range(rows):
            w.writerow([i, i, (start + datetime.timedelta(seconds=i * step)).isoformat()])


@pytest.fixture
def cams(tmp_path):
    """Two cameras over two daily folders; an event crosses midnight; one list is numbered, one
    older (paths relative to where it was recorded), one carries the later camera column and one
    (the numbered one) all the later columns, with what a detector found."""
    root = tmp_path / "cams"
    write_list(root / "2026-12-07" / "door-230000.events.csv", [(1, -1.5, 60, "door-230000.avi"),
                                                                 (2, -0.01, 72, "door-230000.avi")])
    write_list(root / "2026-12-08" / "door-060000.events.csv", [(1, 6, 10, "door-060000.avi"),
                                                                 (2, 9.5, 20, "door-060000_001.avi")])
    write_list(root / "2026-12-08" / "yard.events.csv", [(1, 7, 5, "cams/2026-12-08/yard.avi")])
    write_list(root / "2026-12-08" / "yard.events_001.csv", [(1, 8.25, 5, "yard_000.avi", "", "", "person", "0.8666",
                                                                 "driveway;gate")],
               extra=["snapshot", "camera", "label", "score", "zones"])
    write_list(root / "2026-12-08" / "x" / "gate-0800.events.csv", [(1, 8, 1, "gate-0800.avi", "", "porch")],
               extra=["snapshot", "camera"])
    write_stamps(root / "2026-12-08" / "door-060000.avi", 6, 21)
    write_stamps(root / "2026-12-08" / "yard.avi", 7, 11)
    return root


def found(events):
    return [(e.camera, e.start.strftime("%d %H:%M"), e.event) for e in events]


@pytest.mark.parametrize("name, camera", [
    ("cam/%Y-%m-%d/door-%H%M%S.mp4", "door"),
    ("cam/2026-12-08/door-101500.events.csv", "door"),
    ("cam/2026-12-08/door-101500_001.mp4.csv", "door"),
    ("out/yard.avi", "yard"),
    ("yard.events_001.csv", "yard"),
    ("out/front_door_%Y%m%d.avi", "front_door"),
    ("out/cam2-%H.avi", "cam2"),
    ("srv/porch/%Y-%m-%d/%H%M%S.mkv", "porch"),
    ("srv/porch/2026-12-08/101500_000.mkv", "porch"),
])
def test_camera_name(name, camera):
    assert layout.camera_name(name) == camera


@pytest.mark.parametrize("query, expected", [
    (dict(), [("door", "07 22:30", 1), ("door", "07 23:59", 2), ("door", "08 06:00", 1), ("yard", "08 07:00", 1),
              ("porch", "08 08:00", 1), ("yard", "08 08:15", 1), ("door", "08 09:30", 2)]),
    (dict(camera="yard"), [("yard", "08 07:00", 1), ("yard", "08 08:15", 1)]),
    # A day: from its start to its end; the event that crosses midnight overlaps both days.
    (dict(camera="door", since="2026-12-08", until="2026-12-08"), [("door", "07 23:59", 2), ("door", "08 06:00", 1),
                                                                    ("door", "08 09:30", 2)]),
    (dict(until="2026-12-07"), [("door", "07 22:30", 1), ("door", "07 23:59", 2)]),
    (dict(since="2026-12-08T08:00", until=datetime.datetime(2026, 12, 8, 9, 30)),
     [("porch", "08 08:00", 1), ("yard", "08 08:15", 1), ("door", "08 09:30", 2)]),
    (dict(since="2026-12-08T08:15:06"), [("door", "08 09:30", 2)]),
    (dict(camera="gate"), []),
    (dict(since="2026-12-09"), []),
    # Bounds past what a datetime holds leave the window open; a limit past any count is all.
    (dict(camera="yard", since="0001-01-01", until="9999-12-31", limit=10**20),
     [("yard", "08 07:00", 1), ("yard", "08 08:15", 1)]),
    (dict(camera="yard", since="2026-12-08T07:00:04.5", until="20261208T0815"), [("yard", "08 07:00", 1),
                                                                              ("yard", "08 08:15", 1)]),
    # What a detector found: a label, a zone among those entered (not a part of one's name).
    (dict(label="person"), [("yard", "08 08:15", 1)]),
    (dict(zone="gate", since="2026-12-08"), [("yard", "08 08:15", 1)]),
    (dict(zone="driveway", label="person", camera="yard", limit=1), [("yard", "08 08:15", 1)]),
    (dict(zone="gat"), []),
    (dict(zone="way;gate"), quarrin.UsageError),
    (dict(label="car"), []),
    (dict(label="person", camera="door"), []),
])
def test_events_by_camera_and_time(cams, query, expected):
    if expected is quarrin.UsageError:
        with pytest.raises(quarrin.UsageError, match="is no zone's name"):
            quarrin.events(cams, **query)
        return
    assert found(quarrin.events(cams, **query)) == expected


def test_event_fields_files_and_paging(cams, tmp_path):
    os.chdir(tmp_path)
    events = quarrin.events("cams", since="2026-12-08")
    # Paths to open: beside the list, or (an older list's) found by name in its folder.
    assert [e.file for e in events] == [
        "cams/2026-12-07/door-230000.avi", "cams/2026-12-08/door-060000.avi", "cams/2026-12-08/yard.avi",
        "cams/2026-12-08/x/gate-0800.avi", "cams/2026-12-08/yard_000.avi", "cams/2026-12-08/door-060000_001.avi"]
    assert (events[1].end - events[1].start, events[1].seconds, events[1].peak_area) == (
        datetime.timedelta(seconds=10), 10.0, 1001.0)
    # An older list's events have no label; the list with it gives it back.
    assert [(e.label, e.score, e.zones) for e in events[3:5]] == [("", None, ()),
                                                                 ("person", 0.8666, ("driveway", "gate"))]
    assert quarrin.events("cams", limit=2) == events[-2:]
    assert quarrin.events(["cams/2026-12-08/x/gate-0800.events.csv", "cams/2026-12-07"], since="2026-12-08") == \
        events[:1] + events[3:4]
    assert not os.path.exists("cams/2026-12-08/x/.quarrin")
    with index.Index("cams") as idx:
        listed = idx.events(since="2026-12-08")
        assert [x.event for x in listed] == events
        assert listed[3].input == "cams/2026-12-08/x/gate-0800.events.csv"
        pages = [idx.events(since="2026-12-08", limit=4, offset=o, newest_first=True) for o in (0, 4)]
        assert pages[0] + pages[1] == listed[::-1]
        assert idx.count(since="2026-12-08") == 6
        assert idx.count(label="person") == 1 and idx.count(zone="gate", camera="door") == 0
        assert idx.labels() == ["person"] and idx.labels("door") == []
        assert all(idx.event(x.id) == x for x in listed)
        assert idx.event("0123456789abcdef-1") is None and idx.event("../etc") is None
        assert [(c.name, c.last_event.event.start.hour, c.last_frame) for c in idx.cameras()] == [
            ("door", 9, datetime.datetime(2026, 12, 8, 6, 0, 10)), ("porch", 8, None),
            ("yard", 8, datetime.datetime(2026, 12, 8, 7, 0, 5))]
        # A segment takes the camera of the list naming its video (porch), else its own name's.
        write_stamps(cams / "2026-12-08" / "x" / "gate-0800.avi", 8, 3)
        assert [(s.camera, s.frames, s.first.hour, s.video) for s in idx.recordings(since="2026-12-08T07:00")] == [
            ("yard", 11, 7, "cams/2026-12-08/yard.avi"), ("porch", 3, 8, "cams/2026-12-08/x/gate-0800.avi")]


def test_recordings_and_events_of_a_real_recording(tmp_path):
    os.chdir(tmp_path)
    src = videos.scripted_clip("in.avi", [0, 0, 8, 16, 16, 16, 16, 16, 16, 24, 32] + [32] * 9)
    r = quarrin.record(src, "out/cam/%Y-%m-%d/door-%H%M%S.avi", motion=True, min_area=50, segment_frames=4)
    assert len(r.events) == 2 and len(r.segments) > 1
    # The list's own camera and pictures, as the recording named them.
    assert quarrin.events("out") == list(r.events)
    assert [e.camera for e in r.events] == ["door"] * 2 and all(os.path.isfile(e.snapshot) for e in r.events)
    named = quarrin.record(src, "out/porch.avi", motion=True, min_area=50, name="porch", snapshots=False)
    assert quarrin.events("out", camera="porch") == [dataclasses_replace(e, camera="porch") for e in named.events]
    assert [(s.video, s.csv, s.frames, s.first, s.last, s.camera) for s in quarrin.recordings("out", "door")] == [
        (s.video, s.csv, s.frames, s.first, s.last, "door") for s in r.segments]
    assert [s.video for s in quarrin.recordings("out", "porch")] == ["out/porch.avi"]
    proc = run("events", "out", "--camera", "door")
    assert proc.returncode == 0 and proc.stderr == ""
    assert [line.split()[-1] for line in proc.stdout.splitlines()] == [e.file for e in r.events]


def dataclasses_replace(event, **changes):
    import dataclasses

    return dataclasses.replace(event, **changes)


def run(*args):
    return subprocess.run([sys.executable, "-m", "quarrin"] + [str(a) for a in args], capture_output=True, text=True,
                          timeout=120)


@pytest.mark.parametrize("form", ["lines", "--csv", "--json"])
def test_the_command_prints_what_the_api_returns(cams, tmp_path, form):
    os.chdir(tmp_path)
    proc = run("events", "cams", "--since", "2026-12-08T07:00", "--limit", 3, *([form] if form != "lines" else []))
    assert (proc.returncode, proc.stderr) == (0, "")
    listed = index.Index("cams").events(since="2026-12-08T07:00", limit=3, newest_first=True)[::-1]
    if form == "lines":
        # The objects' column, as some event has one.
        assert proc.stdout.splitlines() == [
            "2026-12-08T08:00:00  porch     1.0 s  peak   1001 px  %-28s  cams/2026-12-08/x/gate-0800.avi" % "",
            "2026-12-08T08:15:00  yard      5.0 s  peak   1001 px  person 0.87 in driveway;gate  "
            "cams/2026-12-08/yard_000.avi",
            "2026-12-08T09:30:00  door     20.0 s  peak   1002 px  %-28s  cams/2026-12-08/door-060000_001.avi" % ""]
        zoned = run("events", "cams", "--zone", "gate", "--label", "person")
        assert [line.split() for line in zoned.stdout.splitlines()] == [proc.stdout.splitlines()[1].split()]
        assert "--zone NAME" in run("events", "--help").stdout
        return
    rows = json.loads(proc.stdout) if form == "--json" else list(csv.DictReader(proc.stdout.splitlines()))
    assert [list(row) for row in rows] == [["input"] + COLUMNS + ["snapshot", "camera", "label", "score", "zones"]] * 3
    assert [(row["label"], str(row["score"]), row["zones"]) for row in rows] == [
        ("", "", ""), ("person", "0.867", "driveway;gate"), ("", "", "")]
    assert [(row["input"], str(row["event"]), row["camera"], row["start"], row["file"]) for row in rows] == [
        (x.input, str(x.event.event), x.event.camera, x.event.start.isoformat(), x.event.file) for x in listed]
    assert rows[1]["input"] == "cams/2026-12-08/yard.events_001.csv"


@pytest.mark.parametrize("args, message", [
    (["--since", "tomorrow"], "--since tomorrow: is not a time"),
    (["--since", "2026-12-09", "--until", "2026-12-08"], "--since 2026-12-09: is after the window's end"),
    (["--limit", "0"], "--limit 0: must be a whole number, 1 or more"),
    (["--limit", "x"], "--limit x: must be a whole number"),
    (["--limit", "\uff15"], "must be a whole number"),
    (["--since", "word"], "--since word: is not a time"),
    (["--since", "2026"], "--since 2026: is not a time"),
    (["--until", "T10:00"], "--until T10:00: is not a time"),
    (["--since", "\uff12\uff10\uff12\uff16-12-08"], "is not a time"),
    (["--json", "--csv"], "not allowed with argument"),
    (["missing"], "PATH missing: no such file or directory"),
    (["--zone", "a;b"], "--zone a;b: is no zone's name"),
    (["--label", " "], "--label ' ': expected a name"),
])
def test_the_command_refuses(cams, tmp_path, args, message):
    os.chdir(tmp_path)
    proc = run("events", *(args if args == ["missing"] else ["cams"] + args))
    assert proc.returncode == 2 and message in proc.stderr and proc.stdout == ""
    assert not os.path.exists("cams/.quarrin")   # nothing written before the arguments were checked


@pytest.mark.parametrize("text, expected", [
    ("2026-12-08T10:00:05.5", datetime.datetime(2026, 12, 8, 10, 0, 5, 500000)),
    ("2026-12-08T10:00:07.25", datetime.datetime(2026, 12, 8, 10, 0, 7, 250000)),
    ("2026-12-08T10:00:05,1234567", datetime.datetime(2026, 12, 8, 10, 0, 5, 123456)),
    ("2026-12-31T23:59:60", datetime.datetime(2027, 1, 1)),    # a leap second: the next minute
    ("20261208T100005", datetime.datetime(2026, 12, 8, 10, 0, 5)),
    ("2026-W50-2 10:00", datetime.datetime(2026, 12, 8, 10)),
    ("2026-12-08T10:00:05.5+0130", datetime.datetime(2026, 12, 8, 10, 0, 5, 500000,
                                                     datetime.timezone(datetime.timedelta(minutes=90)))),
    ("2026-12-08T10:00:5", ValueError), ("2026", ValueError), ("\uff12\uff10\uff12\uff16-12-08", ValueError),
    ("2026-12-08T10:00:61", ValueError),
])
def test_times_other_tools_write(text, expected):
    if expected is ValueError:
        with pytest.raises(ValueError):
            index.read_time(text)
    else:
        assert index.read_time(text) == expected


def test_rows_with_other_times_are_listed_and_the_rest_told(cams, tmp_path):
    os.chdir(tmp_path)
    with open("cams/2026-12-08/yard.events.csv", "a") as f:
        f.write("2,2026-12-08T10:00:05.5,2026-12-08T10:00:07.25,1.75,1,5,5,100,yard.avi\n"
                "3,2026-12-08T10:00:59,2026-12-08T10:00:60,1,6,7,2,100,yard.avi\n"
                "4,yesterday,2026-12-08T10:01:00,1,6,7,2,100,yard.avi\n\n")
    for _ in range(2):   # told again by a later command, which reads the list from the index
        proc = run("events", "cams", "--camera", "yard", "--since", "2026-12-08T10:00", "--csv")
        rows = list(csv.DictReader(proc.stdout.splitlines()))
        assert [(r["event"], r["start"], r["end"]) for r in rows] == [
            ("2", "2026-12-08T10:00:05.500000", "2026-12-08T10:00:07.250000"),
            ("3", "2026-12-08T10:00:59", "2026-12-08T10:01:00")]
        assert (proc.returncode, proc.stderr) == (0, "quarrin: warning: cams/2026-12-08/yard.events.csv: 1 row "
                                                     "cannot be read as events and is left out\n")


def test_no_match_is_no_error(cams):
    proc = run("events", cams, "--camera", "nobody")
    assert (proc.returncode, proc.stdout, proc.stderr) == (0, "", "")


def damage(path, how):
    if how == "deleted":
        os.remove(path)
    elif how == "garbage":
        with open(path, "r+b") as f:
            f.write(os.urandom(4096))
    elif how == "truncated":
        with open(path, "r+b") as f:
            f.truncate(os.path.getsize(path) // 2)
    elif how == "pages":
        with open(path, "r+b") as f:
            f.seek(4096)
            f.write(b"\xff" * 8192)
    elif how == "other layout":
        import sqlite3

        db = sqlite3.connect(path)
        db.execute("PRAGMA user_version=99")
        db.execute("CREATE TABLE older (x)")
        db.commit()
        db.close()


@pytest.mark.parametrize("how, warned", [("deleted", False), ("garbage", True), ("truncated", True), ("pages", True),
                                         ("other layout", False)])
def test_a_lost_or_damaged_index_gives_the_same_answer(cams, tmp_path, how, warned):
    os.chdir(tmp_path)
    before = run("events", "cams", "--json")
    file = os.path.join("cams", ".quarrin", "index.sqlite")
    ids = [x.id for x in index.Index("cams").events()]
    damage(file, how)
    after = run("events", "cams", "--json")
    assert (after.returncode, after.stdout) == (0, before.stdout)
    lines = after.stderr.splitlines()
    assert len(lines) == warned and all(line.startswith("quarrin: warning: the index cams/.quarrin/index.sqlite was "
                                                        "damaged") for line in lines)
    assert [x.id for x in index.Index("cams").events()] == ids
    assert run("events", "cams").stderr == ""


def test_the_files_stay_the_truth(cams, monkeypatch):
    reads = []
    real = index.store._read_list
    monkeypatch.setattr(index.store, "_read_list", lambda path, *a: reads.append(os.path.basename(path)) or real(path, *a))
    with index.Index(cams) as idx:
        assert len(idx.events()) == 7 and len(reads) == 5 and len(idx.recordings()) == 2
        del reads[:]
        assert len(idx.events()) == 7 and reads == []    # nothing changed: nothing read again
        listed = cams / "2026-12-08" / "door-060000.events.csv"
        write_list(listed, [(3, 10, 1, "door-060000_001.avi")], mode="a")
        with open(listed, "a") as f:
            f.write("4,2026-12-08T11:00:00,2026-12-08T11:00:01,1.0,40,49,10,1004,door-06")   # still being written
        write_list(cams / "2026-12-09" / "door-000000.events.csv", [(1, 24.5, 3, "door-000000.avi")])
        os.remove(cams / "2026-12-08" / "yard.events.csv")
        assert found(idx.plain_events(since="2026-12-08T09:00")) == [("door", "08 09:30", 2), ("door", "08 10:00", 3),
                                                             ("door", "09 00:30", 1)]
        assert sorted(reads) == ["door-000000.events.csv", "door-060000.events.csv"]
        with open(cams / "2026-12-08" / "yard.avi.csv", "a") as f:     # a segment being recorded
            f.write("11,11,2026-12-08T07:00:05.500000\n12,12,2026-12-08T07:00")
        assert [(s.frames, s.last) for s in idx.recordings(camera="yard")] == [
            (12, datetime.datetime(2026, 12, 8, 7, 0, 5, 500000))]


@pytest.mark.parametrize("where", ["named", "unwritable"])
def test_an_index_elsewhere_or_none(cams, tmp_path, where):
    expected = quarrin.events(cams)
    os.remove(cams / ".quarrin" / "index.sqlite")
    os.rmdir(cams / ".quarrin")
    if where == "named":
        named = tmp_path / "idx" / "cams.sqlite"
        assert quarrin.events([cams, cams / "2026-12-08"], index=named) == expected
        assert named.exists()
    else:
        (cams / ".quarrin").write_text("a file where the index's folder would be")
        assert quarrin.events(cams) == expected
    assert sorted(p.name for p in cams.iterdir()) == ([] if where == "named" else [".quarrin"]) + [
        "2026-12-07", "2026-12-08"]


def test_a_file_that_is_no_index_is_left_alone(cams, tmp_path):
    other = tmp_path / "notes.txt"
    other.write_text("not an index\n")
    proc = run("events", cams, "--index", other)
    assert proc.returncode == 2 and "is no index of quarrin" in proc.stderr
    assert other.read_text() == "not an index\n"


@pytest.mark.parametrize("with_processes", [False, True], ids=["threads", "processes"])
def test_queries_beside_a_writer_never_fail(cams, with_processes):
    listed, video = cams / "2026-12-08" / "live.events.csv", cams / "2026-12-08" / "live.avi"
    write_list(listed, [])
    write_stamps(video, 12, 1)
    stop, errors, seen = threading.Event(), [], []

    def append(path, row):
        with open(path, "a") as f:    # a row in two writes: a reader may see it cut short
            f.write(row[:-4])
            f.flush()
            f.write(row[-4:])

    def query():
        try:
            while not stop.is_set():
                if with_processes:
                    proc = run("events", cams, "--camera", "live", "--csv")
                    assert proc.returncode == 0 and proc.stderr == "", proc.stderr
                    rows = [row.split(",") for row in proc.stdout.splitlines()[1:]]
                    events = [(int(row[1]), row[9]) for row in rows]
                else:
                    events = [(e.event, e.file) for e in quarrin.events(cams, camera="live")]
                    frames = [s.frames for s in quarrin.recordings(cams, camera="live")]
                    assert len(frames) == 1 and frames[0] >= len(events) + 1
                assert events == [(n, str(video)) for n in range(1, len(events) + 1)]
                seen.append(len(events))
        except Exception as exc:   # noqa: BLE001 (the test's thread reports it)
            errors.append(exc)
            stop.set()

    threads = [threading.Thread(target=query) for _ in range(3)]
    for t in threads:
        t.start()
    for number in range(1, 201):
        if stop.wait(0.01):
            break
        at = (DAY + datetime.timedelta(hours=12, seconds=number)).isoformat()
        append(video.with_name("live.avi.csv"), "%d,%d,%s\n" % (number, number, at))
        append(listed, "%d,%s,%s,0,1,2,1,10,live.avi\n" % (number, at, at))
    stop.set()
    for t in threads:
        t.join(timeout=120)
    assert errors == [] and len(seen) > 3
    assert [e.event for e in quarrin.events(cams, camera="live")] == list(range(1, 201))


@pytest.mark.parametrize("value, end, expected", [
    ("2026-12-08", False, "2026-12-08T00:00:00"),
    ("2026-12-08", True, "2026-12-09T00:00:00"),
    ("2026-12-08T06:00", True, "2026-12-08T06:00:00.000001"),
    (datetime.date(2026, 12, 8), False, "2026-12-08T00:00:00"),
])
def test_time_bounds(value, end, expected):
    window = index.time_window(**({"until": value} if end else {"since": value}))
    assert window[end] == expected


def test_today_and_aware_times():
    today = datetime.date.today()
    assert index.time_window("yesterday", "today") == (
        (datetime.datetime.combine(today, datetime.time()) - datetime.timedelta(days=1)).isoformat(),
        (datetime.datetime.combine(today, datetime.time()) + datetime.timedelta(days=1)).isoformat())
    aware = datetime.datetime(2026, 12, 8, 6, tzinfo=datetime.timezone.utc)
    assert index.time_window(aware)[0] == aware.astimezone().replace(tzinfo=None).isoformat()


# Recordings of a square that moves between still spells, four frames to a segment, and what an
# event of theirs becomes: copied where they are H.264, else encoded; a damaged segment, an
# unknown event or a window without frames make no clip.
@pytest.mark.parametrize("output, options, out, damage, status", [
    ("door.mp4", {"codec": "h264"}, "clip.mp4", None, "copied"),
    ("door.mkv", {"codec": "h264", "speed": "veryfast"}, "clip.mkv", None, "copied"),   # with B-frames
    ("door.mp4", {"codec": "h264"}, "clip.mkv", None, "copied"),
    ("door.mp4", {"codec": "h264"}, "clip.mp4", "list alone", "copied"),   # its recordings found beside it
    # Copied from a camera's H.264 with a keyframe every 5 frames: a window from its 7th frame.
    ("door.mp4", {"copy": True, "segment_frames": 8}, "clip.mp4", "window", "copied"),
    ("door.avi", {}, "clip.mp4", None, "encoded"),
    # H.264 of two frame sizes cannot be one stream: encoded, and the command says why.
    ("door.mp4", {"codec": "h264"}, "clip.mp4", "two sizes", "encoded"),
    ("door.mp4", {"codec": "h264"}, "sub/clip.mp4", "video cut", 1),
    ("door.mp4", {"codec": "h264"}, "clip.mp4", "video growing", 1),   # as a recording writes it
    ("door.mp4", {"codec": "h264"}, "sub/clip.mp4", "stopped", None),
    ("door.avi", {}, "sub/clip.mkv", "stopped", None),
    ("door.avi", {}, "clip.mp4", "CSV damaged", 1),
    ("door.avi", {}, "clip.mp4", "unknown id", 2),
    ("door.avi", {}, "clip.mp4", "no frames", 1),
])
def test_an_event_exported_as_one_clip(tmp_path, output, options, out, damage, status):
    import numpy as np

    parts.module("av", "a clip is made through PyAV")
    os.chdir(tmp_path)
    positions = [0] * 3 + list(range(0, 44, 4)) + [44] * 6 + [0, 8] + [8] * 4
    if options.get("copy"):
        src = videos.h264_clip("in.mp4", positions, keyint=5)
    else:
        src = videos.scripted_clip("in.avi", positions)
    r = quarrin.record(src, "rec/" + output, **dict(dict(motion=True, min_area=50, segment_frames=4, before=0.2,
                                                          after=0.2), **options))
    with index.Index("rec") as idx:
        listed = max(idx.events(), key=lambda x: x.event.frames)
    start, end = listed.event.start, listed.event.end
    args = ["--event", listed.id]
    made = list(r.segments)
    if damage == "two sizes":   # and 10 s later a recording of wider frames: a window over the change
        wider = videos.scripted_clip("wide.avi", positions, width=80, mtime=videos.MTIME + 10)
        made += quarrin.record(wider, "rec/door-10.mp4", segment_frames=4, **options).segments
        start, end = r.segments[-1].first, made[len(r.segments)].last
    elif damage == "window":
        start, end = videos.row_times(r.segments[0].csv)[6], videos.row_times(r.segments[1].csv)[8]
    if damage in ("window", "two sizes"):
        args = ["--camera", "door", "--since", start.isoformat(), "--until", end.isoformat()]
    paths = [r.events_file] if damage == "list alone" else ["rec"]
    damage = None if damage in ("window", "two sizes", "list alone") else damage
    segments = [s for s in made if s.last >= start and s.first <= end]
    assert len(segments) >= 2, "the span crosses segments"
    if damage in ("video cut", "video growing"):
        with open(segments[1].video, "r+b") as f:
            f.truncate(os.path.getsize(segments[1].video) // 2)
        if damage == "video cut":   # by a crash, a while ago
            os.utime(segments[1].video, (videos.MTIME, videos.MTIME))
    elif damage == "CSV damaged":
        with open(segments[1].csv, "rb") as f:
            lines = f.read().split(b"\r\n")
        with open(segments[1].csv, "wb") as f:
            f.write(b"\r\n".join(lines[:2] + [b"1,1,soon"] + lines[3:]))
    elif damage == "unknown id":
        args = ["--event", "0123456789abcdef-9"]
    elif damage == "no frames":
        args = ["--camera", "door", "--since", "2001-01-01", "--until", "2001-01-02"]
    if damage == "stopped":   # a Ctrl-C halfway through leaves nothing behind
        def stop(done, total):
            if done == total // 2:
                raise KeyboardInterrupt
        with index.Index("rec") as idx, pytest.raises(KeyboardInterrupt):
            export.export_event(idx, listed.id, out, progress=stop)
        assert os.listdir("sub") == [] and not [n for _, _, names in os.walk(".") for n in names if "part" in n]
        return
    proc = run("export", *paths, out, *args)
    if damage:
        assert proc.returncode == status, proc.stderr
        assert proc.stdout == "" and sorted(os.listdir()) == ["in.avi", "rec"], proc.stderr
        said = {"video cut": "segment %s is damaged: its video holds" % segments[1].video,
                "video growing": "segment %s is still being written: its newest frames are not in its video yet; "
                                 "try again in a moment" % segments[1].video,
                "CSV damaged": "segment %s is damaged: line" % segments[1].video,
                "unknown id": "--event 0123456789abcdef-9: is no event of these recordings",
                "no frames": "no recording of camera door holds a frame from 2001-01-01 to 2001-01-02"}[damage]
        assert said in proc.stderr
        return
    assert proc.returncode == 0, proc.stderr
    # The rows of the span, and the clip's frames at their times from its first.
    rows = [(s, i, stamps_time) for s in segments for i, stamps_time in enumerate(videos.row_times(s.csv))]
    inside = [(s, i, t) for s, i, t in rows if start <= t <= end]
    codec, times = videos.stream_times(out)
    frames = [f for f, _ in videos.decoded(out)]
    assert codec == "h264" and len(times) == len(frames)
    if status == "copied":
        # From the keyframe at or before the span's start, byte for byte.
        source = [p for s in segments for p in videos.packets_of(s.video)]
        first = max(j for j in range(rows.index(inside[0]) + 1) if source[j][1])
        kept = rows[first:rows.index(inside[-1]) + 1]
        clip = videos.packets_of(out)
        start = source.index(clip[0])
        assert clip == source[start:start + len(clip)] and clip[0][1]
        assert len(clip) == len(kept)
        recorded = [f for s in segments for f, _ in videos.decoded(s.video)]
        assert all(np.array_equal(a, b) for a, b in zip(frames, recorded[first:]))
    else:
        kept = inside
        recorded = [f for s in segments for f in videos.read_all(s.video)]
        shown = [recorded[j] for j, row in enumerate(rows) if row in inside]
        decoded = videos.read_all(out)
        assert len(decoded) == len(shown)
        if output == "door.avi":   # else the wider frames are scaled to the first ones' size
            assert max(np.abs(a.astype(int) - b.astype(int)).mean() for a, b in zip(decoded, shown)) < 4
        else:
            assert proc.stderr == "quarrin: warning: encoded, not copied: %s and %s differ in frame size or stream " \
                                  "headers: one stream cannot hold both\n" % (segments[0].video, segments[-1].video)
    assert times == pytest.approx([(t - kept[0][2]).total_seconds() for _, _, t in kept], abs=1e-3)
    assert proc.stdout == "%s: %d frames, %.1f s of video from %s, %s\n" % (
        out, len(kept), times[-1] + 0.1, kept[0][2].isoformat(), status)
    mask = os.umask(0)
    os.umask(mask)
    assert os.stat(out).st_mode & 0o777 == 0o666 & ~mask   # as a new file, not a temporary one


def _damage(path):
    with open(path, "r+b") as f:
        f.seek(100)
        f.write(b"\xff" * 4000)


def _older(path):
    import sqlite3

    db = sqlite3.connect(path)
    db.execute("PRAGMA user_version=2")
    db.close()


@pytest.mark.parametrize("rebuild", [os.remove, _damage, _older], ids=["removed", "damaged", "older"])
def test_review_marks_outlive_a_rebuilt_index(cams, rebuild):
    from quarrin.index import Index

    with Index(cams, review=True, warn=lambda line: None) as index:
        ids = [x.id for x in index.events()]
        days = index.days(reviewed=False)
        assert sum(n for _, n in days) == len(ids)
        assert index.mark("reviewed", True, ids[0]) == 1 and index.mark("kept", True, camera="yard") == 2
        assert index.mark("reviewed", True, ids[0]) == 0 and index.mark("reviewed", True, "ffffffffffffffff-1") is None
        assert sum(n for _, n in index.days(reviewed=False)) == len(ids) - 1 and index.days() == days
        marked = [(x.id, bool(x.reviewed), bool(x.kept)) for x in index.events()]
    rebuild(str(cams / ".quarrin" / "index.sqlite"))
    with Index(cams, review=True, warn=lambda line: None) as index:
        assert [(x.id, bool(x.reviewed), bool(x.kept)) for x in index.events()] == marked
        assert index.count(reviewed=False) == len(ids) - 1 and index.count(kept=True) == 2
        assert [x.id for x in index.events(reviewed=True, kept=False)] == [ids[0]] or ids[0] in \
            [x.id for x in index.events(kept=True)]
    # A list made anew under the same name holds other events: they are not marked.
    yard = cams / "2026-12-08" / "yard.events.csv"
    write_list(yard, [(1, 7.5, 5, "yard.avi")])
    with Index(cams, review=True) as index:
        assert not any(x.kept for x in index.events(camera="yard") if x.input.endswith("yard.events.csv"))
    # Without `review` nothing is marked, and no file is made.
    with Index(cams) as index:
        assert not any(x.reviewed or x.kept for x in index.events())


@pytest.mark.parametrize("content", [b"not a database at all" * 100, b""], ids=["garbage", "empty-other"])
def test_a_review_file_that_cannot_be_read_is_left_alone(cams, content):
    import sqlite3

    from quarrin.index import Index
    from quarrin.review import ReviewError

    path = cams / ".quarrin" / "review.sqlite"
    os.makedirs(path.parent)
    if content:
        path.write_bytes(content)
    else:   # an SQLite file of something else
        db = sqlite3.connect(path)
        db.execute("CREATE TABLE other (x)")
        db.close()
        content = path.read_bytes()
    told = []
    with Index(cams, review=True, warn=told.append) as index:
        assert len(index.events()) == 7 and not any(x.reviewed for x in index.events())
        with pytest.raises(ReviewError, match="review.sqlite"):
            index.mark("reviewed", True, index.events()[0].id)
    assert path.read_bytes() == content and len(told) == 1 and "review.sqlite" in told[0]
