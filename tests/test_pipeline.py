"""The pipelined recording: the same files, rows, frames, lines and results as the sequential one,
and every stage's failure stopping all three without losing a row or leaving a thread behind."""
import _thread
import datetime
import filecmp
import os
import sys
import threading
import time

import numpy as np
import pytest

import parts
import videos
from children import interrupt_after_first_segment
from fakes import FakeCv2, marked_frames
from leakcases import stage_threads
from vcargs import record_args as _record_args
from quarrin import snapwell  # noqa: F401  (registers quarrin._recorder)
from quarrin._recorder import record

REAL_CLIP = "/usr/share/doc/opencv-doc/examples/data/vtest.avi"
HERE = os.path.dirname(os.path.abspath(__file__))


def record_args(src, out, **overrides):
    return _record_args(str(src), out, **overrides)


def both_ways(tmp_path, capsys, src, extra=None, **overrides):
    """Records src sequentially and pipelined into two folders; returns both results and outputs.
    `extra` holds arguments of the front end's entry beyond vcapture's."""
    runs = {}
    for mode in ("sequential", "pipelined"):
        folder = tmp_path / mode
        folder.mkdir()
        result = record(**record_args(src, folder / "out.avi", **overrides), pipeline=mode == "pipelined",
                        **(extra or {}))
        printed = capsys.readouterr().out.replace(str(folder), "DIR")
        written = [(os.path.basename(w.video), w.frames, w.first, w.last, w.runs) for w in result.segments]
        events = [e[1:8] for e in result.events]
        runs[mode] = (result[:3], written, events, printed, sorted(os.listdir(folder)))
        # OpenCV starts its own worker threads on first use; the pipeline must leave none of its own.
        runs[mode + " threads"] = threads(settle_at=runs.get("sequential threads"))
    return runs, tmp_path / "sequential", tmp_path / "pipelined"


def threads(settle_at=None, wait=2.0):
    """The threads of this process. A thread just joined can stay listed for a moment: with
    `settle_at`, a higher count is looked at again for up to `wait` s."""
    deadline = time.monotonic() + wait
    while True:
        count = len(os.listdir("/proc/self/task"))
        if settle_at is None or count <= settle_at or time.monotonic() > deadline:
            return count
        time.sleep(0.01)


def assert_same_files(a, b):
    for name in sorted(os.listdir(a)):
        if name.endswith(".csv"):
            assert filecmp.cmp(a / name, b / name, shallow=False), name
        else:
            fa, fb = videos.read_all(a / name), videos.read_all(b / name)
            assert len(fa) == len(fb) and all(np.array_equal(x, y) for x, y in zip(fa, fb)), name


def moving_then_still(path, count=60):
    positions = [(i * 3) % 40 if (i // 10) % 2 == 0 else 20 for i in range(count)]
    return videos.scripted_clip(path, positions, fps=10.0)


@pytest.mark.parametrize("overrides", [
    dict(),
    dict(motion_based=True, min_area=10, max_frames=7),
    dict(interval=0.45, max_frames=4, timestamp=True),
    dict(duration=3.3, max_frames=5, timestamp=True, roi_x=8, roi_y=4, roi_w=40, roi_h=32),
    dict(motion_based=True, min_area=10, timestamp=True, fs=0.8, tx=4, ty=30),
], ids=["every-frame", "motion-segments", "interval-overlay", "duration-roi", "motion-overlay"])
def test_same_result_as_sequential(tmp_path, capsys, overrides):
    src = moving_then_still(tmp_path / "in.avi")
    runs, seq, pipe = both_ways(tmp_path, capsys, src, **overrides)
    assert runs["sequential"] == runs["pipelined"]
    assert runs["sequential threads"] == runs["pipelined threads"]
    assert_same_files(seq, pipe)


@pytest.mark.parametrize("extra", [None, dict(events=True, before=1.0, after=0.5, min_event=0.3, detect_width=320,
                                               max_changed=0.6)], ids=["frames", "events"])
def test_same_result_on_a_real_video(tmp_path, capsys, extra):
    if not os.path.exists(REAL_CLIP):
        parts.missing("opencv-doc's example video is not installed (scripts/setup-system.sh installs it)")
    runs, seq, pipe = both_ways(tmp_path, capsys, REAL_CLIP, extra, roi_w=768, roi_h=576, motion_based=True,
                                max_frames=150, timestamp=True, duration=20.0, min_area=800)
    assert runs["sequential"] == runs["pipelined"]
    assert runs["pipelined"][0][1] > 0 and runs["pipelined"][1]
    assert bool(runs["pipelined"][2]) == bool(extra)
    assert_same_files(seq, pipe)


class Injected(Exception):
    pass


@pytest.mark.parametrize("site", ["cap.read", "GaussianBlur", "out.write"], ids=["reader", "main", "writer"])
@pytest.mark.parametrize("at", [1, 9])
@pytest.mark.parametrize("kind", [Injected, KeyboardInterrupt])
def test_an_error_in_any_stage_stops_all(tmp_path, monkeypatch, site, at, kind):
    src = moving_then_still(tmp_path / "in.avi", 40)
    record(**record_args(src, tmp_path / "warm.avi", motion_based=True), pipeline=False)  # OpenCV's own threads
    monkeypatch.setitem(snapwell.__dict__, "cv2", FakeCv2(failures={site: (at, kind(site))}))
    out = tmp_path / "out.avi"
    before = threads()
    args = record_args(src, out, motion_based=True, min_area=10, max_frames=4)
    if kind is KeyboardInterrupt:
        # An interrupt returns what was written, whatever the writer stage still had queued.
        result = record(**args, pipeline=True)
        assert result.stopped == "interrupt"
        assert result.frames_saved == sum(s.frames for s in result.segments)
        counts = {os.path.basename(s.video): s.frames for s in result.segments}
    else:
        with pytest.raises(Injected, match=site):
            record(**args, pipeline=True)
    assert threads(settle_at=before) <= before  # none left running (one of an earlier test may end meanwhile)
    # Every row has its frame and every frame its row, in every segment written.
    for name in sorted(os.listdir(tmp_path)):
        if name.startswith("out") and name.endswith(".avi"):
            rows = open(tmp_path / (name + ".csv")).read().splitlines()[1:]
            assert len(videos.read_all(tmp_path / name)) == len(rows), name
            assert kind is Injected or counts.get(name, 0) == len(rows), name


class SlowFailingWriter:
    def open(self, name, fps, size):
        pass

    def write(self, frame, when):
        time.sleep(0.3)  # meanwhile the rules name the next segments
        raise Injected("write")

    def release(self):
        pass


def test_names_claimed_past_a_failed_writer_are_given_back(tmp_path):
    src = moving_then_still(tmp_path / "in.avi", 20)
    with pytest.raises(Injected):
        record(**record_args(src, tmp_path / "out.avi", max_frames=1), pipeline=True, video_writer=SlowFailingWriter())
    assert sorted(os.listdir(tmp_path)) == ["in.avi", "out_000.avi", "out_000.avi.csv"]


@pytest.mark.parametrize("stop, why", [(dict(duration=0.25), "duration"), (dict(interactive=True), "key")])
@pytest.mark.parametrize("pipeline", [False, True], ids=["sequential", "pipelined"])
def test_a_read_error_past_the_last_frame_taken_is_not_raised(tmp_path, monkeypatch, stop, why, pipeline):
    # The reader runs ahead while the first frame's progress call sleeps, and fails at the 6th
    # read; the rules stop at the 4th frame (duration) or after the 3rd (key), never reaching it.
    (tmp_path / "in.avi").write_bytes(b"")
    monkeypatch.setitem(snapwell.__dict__, "cv2", FakeCv2(marked_frames(range(12)), keys=[-1, -1, ord("q")],
                                                        failures={"cap.read": (6, Injected("cap.read"))}))
    result = record(**record_args(tmp_path / "in.avi", tmp_path / "out.avi", **stop), pipeline=pipeline,
                    progress=lambda read, saved, segment: time.sleep(0.3 if read == 1 else 0))
    assert result[1:3] == (3, why)
    assert [s.frames for s in result.segments] == [3]


def test_progress_events_match_the_result(tmp_path):
    src = moving_then_still(tmp_path / "in.avi", 30)
    events, running = [], []
    result = record(**record_args(src, tmp_path / "o.avi", motion_based=True, min_area=10),
                    progress=lambda *e: events.append(e) or running.append(stage_threads(wait=0)), pipeline=True)
    assert [e[0] for e in events] == list(range(1, 31))
    assert events[-1][:2] == result[:2]
    assert all(e[2] == str(tmp_path / "o.avi") for e in events)
    # The reader and the writer (and the threads they start) carry the names the leak and fault
    # checks look for. The reader ends at the end of the input, a few frames ahead of the last
    # event, so not every event sees both.
    assert max(running) >= 2


def test_real_sigint_stops_a_pipelined_recording(tmp_path):
    src = videos.moving_clip(tmp_path / "long.avi", 3000, width=320, height=240)
    out = tmp_path / "rec.avi"
    code, lines, err = interrupt_after_first_segment(
        [sys.executable, "-u", os.path.join(HERE, "programs", "pipelined_recorder.py"), src, str(out)], settle=0)
    assert code == 0, err
    assert lines[-2] == "Caught keyboard interrupt"
    read, saved, stopped = lines[-1].split()[1:]
    assert stopped == "interrupt" and 0 < int(saved) <= int(read) < 3000
    rows = open(str(out) + ".csv").read().splitlines()[1:]
    assert len(rows) == int(saved) == len(videos.read_all(out))


class StallingCamera:
    """A live camera's reader that sends `frames`, then blocks inside read (as OpenCV does up to its
    read timeout, the interpreter lock released) until `go` is set."""

    def __init__(self, frames):
        self.frames, self.go, self.released = list(frames), threading.Event(), threading.Event()
        self.start, self.fps = datetime.datetime(2026, 12, 8, 10), 10

    def open(self, timeout):
        return True

    def read(self):
        if self.frames:
            return self.frames.pop(0), datetime.datetime.now()
        self.go.wait(30)
        return None

    def release(self):
        self.released.set()


# A stop while a live source's read blocks returns at once with complete files, in either driver;
# the read is left to its own thread, which releases the capture when it returns, and ends.
@pytest.mark.parametrize("pipeline", [False, True], ids=["sequential", "pipelined"])
def test_a_stop_abandons_a_live_read_that_blocks(tmp_path, monkeypatch, pipeline):
    from quarrin._recorder import calls_left

    cam = StallingCamera([videos.square_frame(64, 48, 4 * i, 8) for i in range(5)])
    monkeypatch.setitem(snapwell.__dict__, "cv2", FakeCv2(overrides={"VideoCapture": None}))  # never opened
    out = tmp_path / "o.avi"
    threading.Timer(1.0, _thread.interrupt_main).start()
    started = time.monotonic()
    result = record(**record_args("http://127.0.0.1:9/cam", out), live=True, reader=cam, pipeline=pipeline)
    assert time.monotonic() - started < 20  # the read never returns: not waited for
    assert result.stopped == "interrupt" and result.frames_saved == 5
    assert len(videos.read_all(out)) == len(open(str(out) + ".csv").read().splitlines()) - 1 == 5
    assert calls_left() == 1 and not cam.released.is_set()
    cam.go.set()
    assert cam.released.wait(5)
    deadline = time.monotonic() + 5
    while calls_left() and time.monotonic() < deadline:
        time.sleep(0.01)
    assert calls_left() == 0
