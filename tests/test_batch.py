"""quarrin batch: several inputs at once, bad inputs, report, timeline plot and a Dask cluster."""
import concurrent.futures as cf
import csv
import json
import os
import re
import signal
import struct
import subprocess
import sys
import time

import pytest

import quarrin
import videos
from quarrin import batching, plot
import parts

# Worker processes and pools depend on the interpreter, not on NumPy; nothing here is the engine's.
pytestmark = pytest.mark.only_in("np2", "py313")


def quarrin_cmd(*args, timeout=180, env=None):
    return subprocess.run([sys.executable, "-m", "quarrin"] + [str(a) for a in args], capture_output=True,
                          text=True, timeout=timeout, env=env)


@pytest.fixture
def inputs(tmp_path):
    """a/clip.avi (6 frames), b/clip.avi (9 frames, same stem), b/bad.avi (not a video), b/notes.txt,
    b/deeper/skipped.avi (not scanned)."""
    (tmp_path / "a").mkdir()
    (tmp_path / "b" / "deeper").mkdir(parents=True)
    videos.moving_clip(tmp_path / "a" / "clip.avi", 6)
    videos.moving_clip(tmp_path / "b" / "clip.avi", 9)
    videos.moving_clip(tmp_path / "b" / "deeper" / "skipped.avi", 3)
    (tmp_path / "b" / "bad.avi").write_bytes(b"RIFF but not really a video" * 20)
    (tmp_path / "b" / "notes.txt").write_text("not an input")
    return tmp_path


def report_rows(path):
    with open(path, newline="") as f:
        rows = list(csv.DictReader(f))
    return rows


def test_two_jobs_with_a_bad_input(inputs):
    out = inputs / "out"
    proc = quarrin_cmd("batch", inputs / "a" / "clip.avi", inputs / "b", "--out", out, "--jobs", 2,
                       "--roi", "0,0,32,24")
    assert proc.returncode == 1, proc.stderr
    rows = report_rows(out / "report.csv")
    assert list(rows[0]) == ["input", "status", "frames_read", "frames_saved", "files", "seconds", "error", "events",
                             "output", "warning", "camera"]
    got = [(r["input"], r["status"], r["frames_read"], r["frames_saved"], r["files"]) for r in rows]
    assert got == [(str(inputs / "a" / "clip.avi"), "ok", "6", "6", "1"),
                   (str(inputs / "b" / "bad.avi"), "failed", "0", "0", "0"),
                   (str(inputs / "b" / "clip.avi"), "ok", "9", "9", "1")]
    assert rows[1]["error"] == "cannot open %s as a video" % (inputs / "b" / "bad.avi")
    assert rows[0]["error"] == rows[2]["error"] == ""
    # Same stem, two outputs: each holds its own input's frames.
    assert len(videos.read_all(out / "clip.avi")) == 6 and len(videos.read_all(out / "clip-2.avi")) == 9
    assert sorted(os.listdir(out)) == ["clip-2.avi", "clip-2.avi.csv", "clip.avi", "clip.avi.csv", "report.csv"]
    lines = proc.stdout.splitlines()
    assert "failed  %s: cannot open %s as a video" % (inputs / "b" / "bad.avi", inputs / "b" / "bad.avi") in lines
    assert lines[-3:-1] == ["3 inputs: 2 ok, 1 failed", lines[-2]]
    assert lines[-2].startswith("Saved 15 of 15 frames in 2 files (")
    assert lines[-1] == "Report: %s" % (out / "report.csv")
    assert [r["output"] for r in rows] == [str(out / "clip.avi"), str(out / "bad.avi"), str(out / "clip-2.avi")]
    assert [r["warning"] for r in rows] == ["", "", ""]
    assert [r["camera"] for r in rows] == ["clip", "", "clip-2"]

    # A second batch into the same folder: its outputs and its report take numbered names, and an
    # input shorter than it declares is warned about.
    short = inputs / "short" / "clip.avi"
    short.parent.mkdir()
    data = (inputs / "b" / "clip.avi").read_bytes()
    short.write_bytes(data[:len(data) * 2 // 3])
    again = quarrin_cmd("batch", short, "--out", out)
    assert again.returncode == 0, again.stderr
    row, = report_rows(out / "report_001.csv")
    assert row["output"] == str(out / "clip_001.avi")
    read = int(row["frames_read"])
    assert 0 < read < 9 and row["warning"] == "%s: %d of 9 declared frames could be read" % (short, read)
    assert again.stdout.splitlines()[-1] == "Report: %s" % (out / "report_001.csv")
    assert "        warning: " + row["warning"] in again.stdout.splitlines()
    assert report_rows(out / "report.csv") == rows


@pytest.mark.parametrize("args, message", [
    (["--preview"], "--preview: not available in batch"),
    (["--fps", "5"], "--fps: not available in batch (files only: no camera, no window)"),
    (["--camera-settings"], "--camera-settings: not available in batch"),
    (["--jobs", "0"], "--jobs 0: must be between 1 and 1024"),
    (["--report", "r.txt"], "--report r.txt: expected a .csv or .json file"),
    (["--plot", "p.jpg"], "--plot p.jpg: expected a .png file"),
    (["--blur", "2"], "--blur 2: must be an odd number"),
    (["--codec", "h264", "--fourcc", "XVID"], "argument --fourcc: not allowed with argument --codec"),
    (["--quality", "99"], "--quality 99: must be between 0 and 51"),
    (["--motion", "--zone", "door=0,0,8,0,8,8", "--require-zone", "yard"], "--require-zone yard: is no zone; the "
                                                                           "zones are door"),
])
def test_batch_usage_errors_write_nothing(inputs, args, message):
    proc = quarrin_cmd("batch", inputs / "a", "--out", inputs / "out", *args)
    assert proc.returncode == 2
    assert proc.stderr.count("\n") == 1 and proc.stderr.startswith("quarrin: error: %s" % message)
    assert not (inputs / "out").exists()


@pytest.mark.parametrize("command, option, name", [
    ("scan", "--report", "events.csv"), ("batch", "--report", "report.json"), ("batch", "--plot", "timeline.png"),
])
def test_reports_and_plots_go_into_new_folders(inputs, command, option, name):
    out = ["--out", "out"] if command == "batch" else []
    # A place where it cannot be written is refused before any input is opened.
    refused = quarrin_cmd(command, inputs / "a", *out, option, "/dev/null/" + name)
    assert (refused.returncode, refused.stdout) == (2, "")
    assert refused.stderr == "quarrin: error: %s /dev/null/%s: /dev/null is a file, not a directory\n" % (option, name)
    assert os.listdir() == []
    proc = quarrin_cmd(command, inputs / "a", *out, option, os.path.join("new", "dir", name))
    assert proc.returncode == 0, proc.stderr
    assert os.path.getsize(os.path.join("new", "dir", name)) > 0


def test_scan_warns_of_a_short_input_and_lists_a_failed_one(inputs):
    short = inputs / "short.avi"
    data = open(videos.moving_clip(short, 30), "rb").read()
    short.write_bytes(data[:len(data) * 2 // 3])
    proc = quarrin_cmd("scan", short, inputs / "b" / "bad.avi", "--min-area", 50, "--report", "r.csv")
    assert proc.returncode == 1
    warning = re.fullmatch(r"quarrin: warning: (%s: (\d+) of 30 declared frames could be read)\n" % re.escape(str(short)),
                           proc.stderr)  # as record warns
    assert warning and 0 < int(warning.group(2)) < 30, proc.stderr
    rows = report_rows("r.csv")
    assert [(r["input"], r["event"], r["status"], r["warning"], r["error"]) for r in rows] == [
        (str(short), "1", "ok", warning.group(1), ""),
        (str(inputs / "b" / "bad.avi"), "", "failed", "", "cannot open %s as a video" % (inputs / "b" / "bad.avi"))]


def test_missing_input_and_empty_folder(inputs):
    proc = quarrin_cmd("batch", inputs / "nope.avi", "--out", inputs / "out")
    assert (proc.returncode, proc.stderr) == (2, "quarrin: error: INPUT %s: no such file or directory\n"
                                              % (inputs / "nope.avi"))
    (inputs / "empty").mkdir()
    proc = quarrin_cmd("batch", inputs / "empty", "--out", inputs / "out")
    assert proc.returncode == 2 and "no video files" in proc.stderr
    assert not (inputs / "out").exists()


def test_directory_scan_and_output_names(inputs):
    (inputs / "b" / "Z.MP4").write_bytes(b"")
    (inputs / "b" / "clip.mpg").write_bytes(b"")
    found = batching.collect_inputs([inputs / "b", inputs / "b" / "clip.avi", inputs / "a"])
    assert [os.path.relpath(p, inputs) for p in found] == [
        "b/Z.MP4", "b/bad.avi", "b/clip.avi", "b/clip.mpg", "a/clip.avi"]
    names = batching.output_names(found + ["c/clip_001.avi", "d/clip-2.avi"], "out")
    assert names == [os.path.join("out", n) for n in
                     ["Z.MP4", "bad.avi", "clip.avi", "clip-2.avi", "clip-3.avi", "clip_001-2.avi", "clip-2-2.avi"]]
    # H.264 goes into .mp4 or .mkv: the other inputs get .mp4.
    names = batching.output_names(found + ["e/x.mkv"], "out", h264=True)
    assert names == [os.path.join("out", n) for n in ["Z.MP4", "bad.mp4", "clip.mp4", "clip-2.mp4", "clip-3.mp4",
                                                      "x.mkv"]]


def test_api_batch_on_threads_with_progress_and_json_report(inputs):
    events = []
    with cf.ThreadPoolExecutor(2) as pool:
        items = quarrin.batch([inputs / "b"], inputs / "out", executor=pool, motion=True, min_area=50,
                              report=inputs / "out" / "r.json", progress=events.append, name="door")
    assert [(os.path.basename(i.input), i.status) for i in items] == [("bad.avi", "failed"), ("clip.avi", "ok")]
    done = [e for e in events if e.done]
    assert sorted(os.path.basename(e.input) for e in done) == ["bad.avi", "clip.avi"]
    ok = items[1]
    assert [(e.frames_read, e.frames_saved) for e in done if e.input == ok.input] == [
        (ok.result.frames_read, ok.result.frames_saved)]
    assert ok.result.frames_read == 9 and 0 < ok.result.frames_saved <= 9
    report = json.load(open(inputs / "out" / "r.json"))
    assert [(r["status"], r["frames_saved"], r["error"] is None, r["camera"]) for r in report] == [
        ("failed", 0, False, None), ("ok", ok.result.frames_saved, True, "door")]
    # The timeline names the camera beside an input of another name.
    assert [plot.label(i) for i in items] == ["bad.avi", "door: clip.avi"]
    assert {e.camera for e in ok.events} == {"door"}


@pytest.mark.parametrize("count", [1, 3])
def test_timeline_plot_is_a_png_of_the_expected_size(inputs, count):
    sources = [videos.scripted_clip(inputs / ("s%d.avi" % i), [8] * 3 + [8 + 4 * j for j in range(5)] + [28] * 4)
               for i in range(count - 1)] + [str(inputs / "b" / "bad.avi")]
    png = inputs / "t.png"
    items = quarrin.batch(sources, inputs / "out", jobs=1, motion=True, min_area=50, plot=png)
    assert [i.status for i in items] == ["ok"] * (count - 1) + ["failed"]
    data = png.read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n" and data[12:16] == b"IHDR"
    w, h = plot.figure_size(count)
    assert struct.unpack(">II", data[16:24]) == (round(w * plot.DPI), round(h * plot.DPI))


@pytest.mark.parametrize("runs, spans", [
    ([(7, 9), (0, 2), (2, 3), (5, 6)], [(0.0, 0.3), (0.5, 0.1), (0.7, 0.2)]),  # adjacent runs join
    ([(4, 5)], [(0.4, 0.1)]),
    ([(3, 3)], [(0.3, 0.01)]),  # at least the width asked
    ([], []),
])
def test_timeline_spans(runs, spans):
    got = plot.run_spans(runs, 10.0, 0.01)
    assert [x for span in got for x in span] == pytest.approx([x for span in spans for x in span])


def test_dask_cluster(inputs):
    distributed = parts.module("distributed", "the dask extra is not installed")
    with distributed.LocalCluster(n_workers=1, threads_per_worker=2, processes=False, protocol="tcp://",
                                  host="127.0.0.1", scheduler_port=0,
                                  dashboard_address=None) as cluster:
        proc = quarrin_cmd("batch", inputs / "b", "--out", inputs / "out", "--dask", cluster.scheduler_address,
                           "--report", inputs / "out" / "r.csv")
    assert proc.returncode == 1, proc.stderr
    rows = report_rows(inputs / "out" / "r.csv")
    assert [(os.path.basename(r["input"]), r["status"], r["frames_saved"]) for r in rows] == [
        ("bad.avi", "failed", "0"), ("clip.avi", "ok", "9")]
    assert len(videos.read_all(inputs / "out" / "clip.avi")) == 9


def test_unreachable_dask_scheduler(inputs):
    parts.module("distributed", "the dask extra is not installed")
    env = dict(os.environ, DASK_DISTRIBUTED__COMM__TIMEOUTS__CONNECT="2s")
    proc = quarrin_cmd("batch", inputs / "a", "--out", inputs / "out", "--dask", "tcp://127.0.0.1:1", env=env)
    assert proc.returncode == 1
    assert proc.stderr.startswith("quarrin: error: cannot reach the Dask scheduler at tcp://127.0.0.1:1")
    assert not (inputs / "out").exists()


@pytest.fixture(scope="module")
def long_inputs(tmp_path_factory):
    folder = tmp_path_factory.mktemp("long") / "in"
    folder.mkdir()
    for i in range(4):
        videos.moving_clip(folder / ("c%d.avi" % i), 1500, width=320, height=240)
    return folder


def session_processes(sid):
    """Processes of session `sid` still alive (zombies aside)."""
    found = []
    for entry in os.listdir("/proc"):
        try:
            with open("/proc/%s/stat" % entry) as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except (OSError, IndexError):
            continue
        if int(fields[3]) == sid and fields[0] != "Z":
            found.append(int(entry))
    return found


# Ctrl-C in a terminal reaches the whole process group: the command and its workers. A supervisor's
# SIGINT or a service stop's SIGTERM reaches the command alone, which stops its workers itself.
@pytest.mark.parametrize("command, group, sig, status", [
    ("batch", True, signal.SIGINT, 130), ("batch", False, signal.SIGINT, 130), ("batch", False, signal.SIGTERM, 143),
    ("scan", False, signal.SIGTERM, 143),
], ids=["batch-ctrl-c", "batch-sigint-alone", "batch-sigterm-alone", "scan-sigterm-alone"])
def test_a_stop_signal_stops_the_batch_with_complete_files(tmp_path, long_inputs, command, group, sig, status):
    out = tmp_path / "out"
    report = tmp_path / "report.csv"
    args = ["--out", out] if command == "batch" else ["--report", report]
    proc = subprocess.Popen([sys.executable, "-m", "quarrin", command, long_inputs, *args, "--jobs", "2"],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, start_new_session=True,
                            preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    try:
        deadline = time.monotonic() + 60
        if command == "batch":
            while time.monotonic() < deadline and not any(p.stat().st_size > 5000 for p in out.glob("*.avi.csv")):
                time.sleep(0.1)
        else:
            # The scan's two workers run (with the command and the fork server): the signal finds
            # work under way, however slow the machine is to start it.
            while time.monotonic() < deadline and len(session_processes(proc.pid)) < 4:
                time.sleep(0.1)
            time.sleep(1)
        (os.killpg if group else os.kill)(proc.pid, sig)
        stdout, stderr = proc.communicate(timeout=60)
        deadline = time.monotonic() + 10
        while session_processes(proc.pid) and time.monotonic() < deadline:
            time.sleep(0.1)
        # No worker, fork server, resource tracker or manager is left behind.
        assert session_processes(proc.pid) == []
    finally:
        if proc.poll() is None or session_processes(proc.pid):
            os.killpg(proc.pid, signal.SIGKILL)
    assert proc.returncode == status, stderr
    word = "terminated" if sig == signal.SIGTERM else "interrupted"
    assert stderr.splitlines()[-1].startswith("quarrin: %s" % word)
    if command == "scan":
        assert ("interrupted" in stdout or "cancelled" in stdout) and "failed" not in stdout and report.exists()
        return
    rows = report_rows(out / "report.csv")
    statuses = [r["status"] for r in rows]
    assert "interrupted" in statuses and set(statuses) <= {"ok", "interrupted", "cancelled"}
    for row in rows:
        video = out / os.path.basename(row["input"])
        if row["status"] == "cancelled" or row["files"] == "0":
            # Never started, or interrupted before its first file was opened.
            assert not video.exists() and row["frames_saved"] == "0"
            continue
        assert row["output"] == str(video)
        with open(str(video) + ".csv", newline="") as f:
            inframes = [int(r[0]) for r in list(csv.reader(f))[1:]]
        assert inframes == list(range(int(row["frames_saved"])))
        assert len(videos.read_all(video)) == int(row["frames_saved"])


@pytest.mark.parametrize("codec, ext", [(None, ".avi"), ("h264", ".mp4")])
def test_api_batch_in_worker_processes_reports_progress(inputs, codec, ext):
    if codec:
        parts.module("av", "PyAV is not installed")
    events = []
    items = quarrin.batch([inputs / "a", inputs / "b" / "clip.avi"], inputs / "out", jobs=2, progress=events.append,
                          codec=codec)
    assert [(i.status, i.result.frames_saved) for i in items] == [("ok", 6), ("ok", 9)]
    assert [os.path.basename(i.output) for i in items] == ["clip" + ext, "clip-2" + ext]
    assert [len(videos.read_all(i.output)) for i in items] == [6, 9]
    done = sorted((os.path.basename(os.path.dirname(e.input)), e.frames_read) for e in events if e.done)
    assert done == [("a", 6), ("b", 9)]
    assert all(e.frames_read <= e.total for e in events)


# Scripts without `if __name__ == "__main__":`. quarrin's own workers never run the script again; a
# pool of the caller's that does (spawn) finds the quarrin call refused there, before it repeats work,
# and the inputs that failed for it do not pass for inputs without events.
OWN_POOL = """
items = quarrin.batch(["in.avi", "in2.avi"], "out", jobs=2, progress=lambda event: None)
found = quarrin.scan(["in.avi", "in2.avi"], jobs=2, min_area=50)
print([i.status for i in items], [(i.status, len(i.events)) for i in found])
"""
CALLERS_POOL = """
import concurrent.futures, multiprocessing
with concurrent.futures.ProcessPoolExecutor(1, mp_context=multiprocessing.get_context("spawn")) as pool:
    found = quarrin.scan(["in.avi"], executor=pool, min_area=50)
print([(i.status, len(i.events)) for i in found])
"""


@pytest.mark.parametrize("body, stdout, errors", [
    (OWN_POOL, "['ok', 'ok'] [('ok', 1), ('ok', 1)]\n", []),
    (CALLERS_POOL, "", ["UsageError: quarrin.record was called while this process was starting as a worker of a "
                        "process pool, which runs the main script again: put the script's own work under "
                        '`if __name__ == "__main__":`', "\nquarrin.errors.RecordingError: in.avi failed: "]),
], ids=["own-pool", "callers-spawn-pool"])
def test_a_script_without_the_main_guard(tmp_path, body, stdout, errors):
    os.chdir(tmp_path)
    for name in ("in.avi", "in2.avi"):
        videos.moving_clip(name, 12)
    (tmp_path / "script.py").write_text('import quarrin\nquarrin.record("in.avi", "a.avi")\n' + body)
    proc = subprocess.run([sys.executable, "script.py"], capture_output=True, text=True, timeout=300)
    assert (proc.returncode, proc.stdout) == (1 if errors else 0, stdout), proc.stderr
    assert [e for e in errors if e not in proc.stderr] == [] and (errors or proc.stderr == "")
    assert not (tmp_path / "a_001.avi").exists()  # the script's recording ran once
