"""quarrin serve --config: supervised recorders (a camera dropped, a recorder killed or hung, the
service stopped or its file read again) and the live images, against cameras on 127.0.0.1 (the
cameras file and its faults: tests/test_config.py)."""
import json
import os
import signal
import subprocess
import sys
import threading
import time
import urllib.request

import cv2
import numpy as np
import pytest

from children import descendants
from mjpeg_server import MjpegServer, _free_port
import waiting
import parts

pytestmark = pytest.mark.not_in("asan")
parts.module("aiohttp", "quarrin serve needs the web extra")


def quarrin(*args, cwd=None, timeout=60):
    return subprocess.run([sys.executable, "-m", "quarrin", *args], capture_output=True, text=True, cwd=cwd,
                          timeout=timeout)


GOOD = """
[defaults]
stall = 1
reconnect = 60
[cameras.door]
source = "{url}"
output = "rec/door.avi"
"""


@pytest.mark.parametrize("keys, wait", [
    ("", 15 + 1),
    ('on_event = "true"\non_event_timeout = 7\n', 15 + 1 + 7),
    ('mqtt = "mqtt://127.0.0.1:9"\n', 15 + 1 + 5),
    ('[notify]\ncommand = "true"\nmqtt = "mqtt://127.0.0.1:9"\n', 15 + 1 + 30 + 5),
])
def test_a_recorder_stopping_is_given_what_its_notifiers_still_need(tmp_path, keys, wait):
    """The stall, and each notifier's drain time (a command's timeout, a broker's last messages),
    read from the camera's checked options."""
    from quarrin.service import config, supervisor

    path = tmp_path / "cameras.toml"
    path.write_text(GOOD.format(url="http://127.0.0.1:9/video") + "motion = true\n" + keys)
    assert supervisor.stop_wait(config.load(str(path)).cameras["door"].checked) == wait


def get(base, path, timeout=30):
    with urllib.request.urlopen(base + path, timeout=timeout) as r:
        return r.read()


def cameras(base):
    return {c["name"]: c for c in json.loads(get(base, "/api/cameras"))}


def wait_for(base, test, seconds=60, what=""):
    until = time.monotonic() + seconds
    while time.monotonic() < until:
        found = cameras(base)
        if test(found):
            return found
        time.sleep(0.2)
    raise AssertionError("not within %g s: %s; cameras: %s" % (seconds, what, found))


def alive(pid):
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rpartition(")")[2].split()[0] != "Z"
    except OSError:
        return False


def mjpeg_parts(base, path, count, timeout=30):
    """The first `count` JPEGs of a multipart stream."""
    parts = []
    with urllib.request.urlopen(base + path, timeout=timeout) as r:
        assert r.headers["Content-Type"].startswith("multipart/x-mixed-replace; boundary=")
        while len(parts) < count:
            line = r.readline()
            if line.lower().startswith(b"content-length:"):
                r.readline()
                parts.append(r.read(int(line.split(b":")[1])))
    return parts


@pytest.mark.only_in("np2")
def test_two_cameras_under_one_service(tmp_path):
    door, yard = MjpegServer(fps=10), MjpegServer(fps=10)
    door.start()
    yard.start()
    port = _free_port()
    config = tmp_path / "cameras.toml"
    hook = tmp_path / "hook.sh"
    hook.write_text('#!/bin/sh\necho "$QUARRIN_EVENT $QUARRIN_NUMBER $QUARRIN_END" >> "$0.log"\n')
    hook.chmod(0o755)
    config.write_text(GOOD.format(url=door.url) + '[cameras.yard]\nsource = "%s"\noutput = "rec/yard-%%H%%M%%S.avi"\n'
                      'live_width = 32\nmotion = true\nmin_area = 50\non_event = "%s"\n' % (yard.url, hook))
    base = "http://127.0.0.1:%d" % port
    service = subprocess.Popen([sys.executable, "-m", "quarrin", "serve", "--config", str(config), "--listen",
                                "127.0.0.1:%d" % port], cwd=tmp_path, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                               text=True)
    try:
        until = time.monotonic() + 60
        while True:
            try:
                get(base, "/api/cameras")
                break
            except OSError:
                assert service.poll() is None and time.monotonic() < until, service.stdout.read()
                time.sleep(0.2)
        found = wait_for(base, lambda c: all(x["state"] == "recording" and x["frames_read"] > 5 for x in c.values()),
                         what="both recording")
        assert found["door"]["source"] == door.url and found["yard"]["live_url"] == "/live/yard.mjpg"

        # The live image: decoded, scaled down to live_width (never up), and changing.
        # (The test camera's square comes back to a place every 12 frames: a few tries.)
        images = [cv2.imdecode(np.frombuffer(get(base, "/live/door.jpg"), np.uint8), cv2.IMREAD_COLOR)]
        while len(images) < 10 and np.array_equal(images[0], images[-1]):
            time.sleep(0.7)
            images.append(cv2.imdecode(np.frombuffer(get(base, "/live/door.jpg"), np.uint8), cv2.IMREAD_COLOR))
        assert {i.shape for i in images} == {(48, 64, 3)}
        assert not np.array_equal(images[0], images[-1])
        parts = [cv2.imdecode(np.frombuffer(p, np.uint8), cv2.IMREAD_COLOR) for p in mjpeg_parts(base, "/live/yard.mjpg", 3)]
        assert [p.shape for p in parts] == [(24, 32, 3)] * 3

        # One camera dropped and back: lost, then recording again, not restarted.
        door.stop()
        wait_for(base, lambda c: c["door"]["state"] == "lost", what="door lost")
        door.start()
        before = cameras(base)["door"]["frames_read"]
        wait_for(base, lambda c: c["door"]["state"] == "recording" and c["door"]["frames_read"] > before + 5,
                 what="door back")

        # One recorder killed within an event: its file repaired, the event listed up to its last
        # frame on disk, the recorder started again, and the end told then.
        wait_for(base, lambda c: c["yard"]["last_event"] is not None, what="an event of yard's")
        killed = cameras(base)["yard"]["pid"]
        os.kill(killed, signal.SIGKILL)
        found = wait_for(base, lambda c: c["yard"]["restarts"] == 1 and c["yard"]["state"] == "recording"
                         and c["yard"]["pid"] != killed, what="yard restarted")
        assert "killed by signal 9" in found["yard"]["last_error"]
        assert found["door"]["restarts"] == 0
        listed = json.loads(get(base, "/api/events?camera=yard"))["events"]
        assert [(e["event"], e["frames"] > 0) for e in listed] == [(1, True)]
        until = time.monotonic() + 30
        while "end 1 %s\n" % listed[0]["end"] not in open(str(hook) + ".log").read() and time.monotonic() < until:
            time.sleep(0.2)
        assert open(str(hook) + ".log").read().startswith("start 1 \nend 1 %s\n" % listed[0]["end"])

        below = descendants(service.pid)
        assert len(below) >= 3    # the recorders and their fork server
        service.send_signal(signal.SIGTERM)
        out = service.communicate(timeout=90)[0]
    finally:
        if service.poll() is None:
            service.kill()
            service.communicate()
        door.stop()
        yard.stop()
    assert service.returncode == 143, out
    assert "yard: recorder failed (killed by signal 9); restart 1 in 1 s" in out
    assert "yard: event 1 was open when the recorder stopped; listed up to its last frame on disk" in out
    waiting.until(lambda: not [p for p in below if alive(p)], what="no process of the service's left")
    # Every file is complete but the one the killed recorder was writing: that one was looked at
    # as check --repair does, and what became of it said (frames still in the writer's buffer when
    # it was killed are lost; their rows are kept).
    yards = sorted(str(p) for p in (tmp_path / "rec").glob("yard-*.avi"))
    assert len(yards) == 2
    assert "yard: %s: " % yards[0] in out
    checked = quarrin("check", *[str(p) for p in (tmp_path / "rec").glob("door*.avi")], yards[1])
    assert checked.returncode == 0, checked.stdout


def start_service(tmp_path, config):
    port = _free_port()
    base = "http://127.0.0.1:%d" % port
    service = subprocess.Popen([sys.executable, "-m", "quarrin", "serve", "--config", str(config), "--listen",
                                "127.0.0.1:%d" % port], cwd=tmp_path, stdout=subprocess.PIPE,
                               stderr=subprocess.STDOUT, text=True)
    until = time.monotonic() + 60
    while True:
        try:
            get(base, "/api/cameras")
            return service, base
        except OSError:
            if service.poll() is not None or time.monotonic() > until:
                service.kill()
                raise AssertionError(service.communicate()[0])
            time.sleep(0.2)


@pytest.mark.only_in("np2")
def test_sighup_restarts_only_what_changed_and_a_hung_recorder_is_replaced(tmp_path):
    door, yard = MjpegServer(fps=10), MjpegServer(fps=10)
    door.start()
    yard.start()
    config = tmp_path / "cameras.toml"
    yard_table = '[cameras.yard]\nsource = "%s"\noutput = "rec/yard.avi"\n' % yard.url
    config.write_text(GOOD.format(url=door.url))
    service, base = start_service(tmp_path, config)
    said = []

    def read():
        for line in service.stdout:
            said.append(line)
    reader = threading.Thread(target=read, daemon=True)
    reader.start()

    def reload(text, test, what):
        config.write_text(text)
        service.send_signal(signal.SIGHUP)
        return wait_for(base, test, what=what)

    try:
        first = wait_for(base, lambda c: c["door"]["state"] == "recording", what="door recording")["door"]["pid"]
        found = reload(GOOD.format(url=door.url) + yard_table,
                       lambda c: "yard" in c and c["yard"].get("state") == "recording", "yard added")
        assert found["door"]["pid"] == first
        found = reload(GOOD.format(url=door.url) + "threshold = 40\n",
                       lambda c: c["door"]["pid"] not in (first, None) and "state" not in c.get("yard", {}),
                       "door restarted, yard removed")
        second = found["door"]["pid"]
        config.write_text(GOOD.format(url=door.url) + "threshold = 400\n")
        service.send_signal(signal.SIGHUP)
        waiting.until(lambda: any("nothing changed" in line for line in said), what="the faulty file read")
        assert cameras(base)["door"]["pid"] == second

        # A recorder that stops making progress (stopped here) is killed and started again.
        wait_for(base, lambda c: c["door"]["state"] == "recording", what="door recording again")
        os.kill(second, signal.SIGSTOP)
        found = wait_for(base, lambda c: c["door"]["restarts"] == 1 and c["door"]["state"] == "recording",
                         what="door replaced")
        assert found["door"]["last_error"].startswith("no progress for ")
        service.send_signal(signal.SIGINT)
        service.wait(timeout=90)
        reader.join(30)
        out = "".join(said)
    finally:
        if service.poll() is None:
            service.kill()
            service.communicate()
        door.stop()
        yard.stop()
    assert service.returncode == 130, out
    assert "Reloaded %s: added yard" % config in out
    assert "Reloaded %s: removed yard; restarted door" % config in out
    assert "quarrin: error: cameras.door: threshold = 400: must be between 0 and 255" in out
    assert "the file has faults; nothing changed" in out
    assert checked_ok(tmp_path / "rec" / "yard.avi")


def checked_ok(video):
    done = quarrin("check", str(video))
    assert done.returncode == 0, done.stdout
    return True


@pytest.mark.only_in("np2")
@pytest.mark.parametrize("page", ["README.md", "docs/service.md"])
def test_the_readme_example_runs_against_the_test_cameras(tmp_path, page):
    parts.module("av", "the example writes H.264")
    readme = open(os.path.join(os.path.dirname(__file__), "..", page), encoding="utf-8").read()
    example = readme.split("```toml\n", 1)[1].split("```", 1)[0]
    cams = []
    try:
        # The example's cameras are tests/mjpeg_server.py's on ports 8081 and 8082; here they are on
        # free ports, so that runs side by side (and a camera of the developer's) never meet.
        for port in (8081, 8082):
            assert "127.0.0.1:%d/video" % port in example
            cams.append(MjpegServer().start())
            example = example.replace("127.0.0.1:%d/" % port, "127.0.0.1:%d/" % cams[-1].port)
        (tmp_path / "cameras.toml").write_text(example)
        service, base = start_service(tmp_path, tmp_path / "cameras.toml")
        try:
            wait_for(base, lambda c: all(c[n].get("state") == "recording" and c[n]["frames_saved"]
                                         for n in ("door", "yard")), what="both recording")
            service.send_signal(signal.SIGTERM)
            out = service.communicate(timeout=90)[0]
        finally:
            if service.poll() is None:
                service.kill()
                service.communicate()
    finally:
        for cam in cams:
            cam.stop()
    assert service.returncode == 143, out
    videos = sorted(tmp_path.glob("*/*/*.mp4"))
    assert [v.parts[-3] for v in videos] == ["door", "yard"]
    assert checked_ok(videos[0]) and checked_ok(videos[1])


@pytest.mark.only_in("np2")
def test_recorders_stop_by_themselves_when_the_service_is_killed(tmp_path):
    with MjpegServer(fps=10) as door:
        config = tmp_path / "cameras.toml"
        config.write_text(GOOD.format(url=door.url))
        service, base = start_service(tmp_path, config)
        try:
            wait_for(base, lambda c: c["door"]["state"] == "recording", what="door recording")
            below = descendants(service.pid)
            service.kill()
            service.communicate(timeout=60)   # every process that holds its output has ended
        finally:
            if service.poll() is None:
                service.kill()
    until = time.monotonic() + 30
    while [p for p in below if alive(p)] and time.monotonic() < until:
        time.sleep(0.2)
    assert [p for p in below if alive(p)] == []
    assert checked_ok(tmp_path / "rec" / "door.avi")


@pytest.mark.only_in("np2")
def test_a_dead_camera_holds_up_no_page(tmp_path):
    """A camera whose recorder cannot start: its image is a 503 at once, saying why and when to
    ask again; its stream shows the offline picture within a second; its card the reason."""
    import urllib.error

    import markupsafe

    from quarrin.web import live

    config = tmp_path / "cameras.toml"
    config.write_text('[cameras.gate]\nsource = "http://127.0.0.1:%d/video"\noutput = "rec/gate.avi"\n' % _free_port())
    service, base = start_service(tmp_path, config)
    try:
        error = wait_for(base, lambda c: c["gate"]["last_error"], what="gate failed")["gate"]["last_error"]
        for _ in range(3):   # starting again, or waiting to
            with pytest.raises(urllib.error.HTTPError) as refused:
                urllib.request.urlopen(base + "/live/gate.jpg", timeout=3)
            assert refused.value.code == 503 and int(refused.value.headers["Retry-After"]) >= 2
            # Twice at once: a browser's page counts as loaded when a stream's second picture begins.
            assert mjpeg_parts(base, "/live/gate.mjpg", 2, timeout=3) == [open(live.OFFLINE, "rb").read()] * 2
        assert str(markupsafe.escape(error)) in get(base, "/").decode()
    finally:
        service.kill()
        service.communicate()


def test_a_sighup_during_a_reload_reads_the_file_again_after_it(tmp_path):
    # An edit saved while a reload runs is applied once that reload is done, never dropped.
    from quarrin.service import run as service_run

    path = tmp_path / "cams.toml"
    camera = '[cameras.{name}]\nsource = "http://127.0.0.1:9/{name}.mjpg"\noutput = "rec/{name}.avi"\n'
    path.write_text(camera.format(name="door"))
    entered, release, applied = threading.Event(), threading.Event(), []

    class Supervisor:
        def apply(self, cameras):
            applied.append(sorted(cameras))
            entered.set()
            release.wait(10)
            return [], [], []

    lines = []
    reload = service_run.Reload(str(path), Supervisor(), lines.append)
    reload()
    assert entered.wait(10)
    path.write_text(camera.format(name="door") + camera.format(name="yard"))
    reload()
    reload()  # two signals during one reload: one more reading
    release.set()
    waiting.until(lambda: len(lines) == 2 and not reload.busy, 10, what="the second reload")
    assert applied == [["door"], ["door", "yard"]]


def post(base, path, origin=True):
    """(status, JSON) of a POST, from a page of the service's own origin unless `origin` is False."""
    import urllib.error

    request = urllib.request.Request(base + path, data=b"", method="POST",
                                     headers={"Origin": base} if origin else {})
    try:
        with urllib.request.urlopen(request, timeout=120) as r:
            return r.status, json.loads(r.read())
    except urllib.error.HTTPError as exc:
        return exc.code, json.loads(exc.read())


def health(base):
    import urllib.error

    try:
        with urllib.request.urlopen(base + "/healthz", timeout=30) as r:
            return r.status, json.loads(r.read())
    except urllib.error.HTTPError as exc:
        return exc.code, json.loads(exc.read())


def metrics(base):
    from prometheus_client.parser import text_string_to_metric_families

    return {(s.name, tuple(sorted(s.labels.items()))): s.value
            for family in text_string_to_metric_families(get(base, "/metrics").decode()) for s in family.samples}


@pytest.mark.only_in("np2")
def test_a_camera_disabled_stays_so_across_a_restart_and_health_says_what_records(tmp_path):
    parts.module("prometheus_client", "/metrics is made by prometheus_client")
    door, yard = MjpegServer(fps=10), MjpegServer(fps=10)
    door.start()
    yard.start()
    config = tmp_path / "cameras.toml"
    yard_table = '[cameras.yard]\nsource = "%s"\noutput = "rec/yard.avi"\nkeep_days = 2\n' % yard.url
    config.write_text(GOOD.format(url=door.url) + yard_table)
    state = tmp_path / "cameras.toml.state.json"
    service, base = start_service(tmp_path, config)
    try:
        found = wait_for(base, lambda c: all(c[n].get("state") == "recording" and c[n]["frames_saved"] > 5
                                             for n in ("door", "yard")), what="both recording")
        assert health(base)[0] == 200
        seen = metrics(base)
        assert seen[("quarrin_recorders_running", ())] == 2
        assert seen[("quarrin_frames_read_total", (("camera", "door"),))] >= found["door"]["frames_read"] > 5
        assert seen[("quarrin_camera_state", (("camera", "yard"), ("state", "recording")))] == 1
        assert seen[("quarrin_disk_bytes", (("camera", "door"),))] > 0
        # Each camera's budget as the storage page and the metrics read it.
        stored = {c["name"]: (c["keep_days"], c["days_left"]) for c in json.loads(get(base, "/api/storage"))["cameras"]}
        assert stored == {"door": (None, None), "yard": (2, 2.0)}
        assert seen[("quarrin_storage_days_left", (("camera", "yard"),))] == 2.0
        # Only from this site's pages; an unknown camera is a 404.
        assert post(base, "/api/cameras/door/disable", origin=False)[0] == 403
        assert post(base, "/api/cameras/nobody/disable") == (404, {"error": "no camera nobody under this service"})
        pid = found["door"]["pid"]
        status, body = post(base, "/api/cameras/door/disable")
        assert (status, body["state"], body["pid"]) == (200, "disabled", None) and not alive(pid)
        assert json.loads(state.read_text()) == {"disabled": ["door"]}
        assert checked_ok(tmp_path / "rec" / "door.avi")    # its file complete, as at a stop
        status, said = health(base)
        assert (status, said["ok"], said["disabled"], said["not_recording"]) == (200, True, ["door"], [])
        # The live pages: every camera's tile with its state, one camera alone, its picture still its own.
        grid, alone = get(base, "/live").decode(), get(base, "/live/yard").decode()
        assert '<a href="/live" aria-current="page">Live</a>' in grid and '<a href="/live">Live</a>' in get(
            base, "/").decode()
        assert 'data-camera="door" data-state="disabled"' in grid and 'data-camera="yard" data-state="recording"' in grid
        assert 'data-camera="yard"' in alone and 'data-camera="door"' not in alone
        assert get(base, "/live/yard.jpg")[:2] == b"\xff\xd8"
        with pytest.raises(urllib.error.HTTPError) as missing:
            get(base, "/live/nobody")
        assert missing.value.code == 404
        # A camera whose source stops is what /healthz names.
        yard.stop()
        wait_for(base, lambda c: c["yard"]["state"] == "lost", what="yard lost")
        status, said = health(base)
        assert (status, said["not_recording"], said["cameras"]) == (503, ["yard"], {"door": "disabled", "yard": "lost"})
        yard.start()
        wait_for(base, lambda c: c["yard"]["state"] == "recording", what="yard back")
        service.send_signal(signal.SIGTERM)
        assert service.wait(timeout=90) == 143
        checked = quarrin("serve", "--config", str(config), "--check")
        assert checked.returncode == 0 and "# disabled from the web view (%s): door\n" % state in checked.stdout
        assert checked.stdout.split("[cameras.yard]")[0].count("# disabled from the web view") == 1

        # Started again: still disabled until enabled; a camera removed from the file drops its state.
        service, base = start_service(tmp_path, config)
        found = wait_for(base, lambda c: c["yard"].get("state") == "recording", what="yard recording")
        assert (found["door"]["state"], found["door"]["pid"], metrics(base)[("quarrin_recorders_running", ())]) == (
            "disabled", None, 1)
        status, body = post(base, "/api/cameras/door/enable")
        assert (status, body["state"] in ("starting", "recording")) == (200, True) and not state.exists()
        wait_for(base, lambda c: c["door"]["state"] == "recording", what="door enabled")
        assert post(base, "/api/cameras/yard/disable")[0] == 200 and state.exists()
        config.write_text(GOOD.format(url=door.url))
        service.send_signal(signal.SIGHUP)
        wait_for(base, lambda c: "state" not in c.get("yard", {}), what="yard removed")
        assert not state.exists() and health(base)[0] == 200
        service.send_signal(signal.SIGTERM)
        out = service.communicate(timeout=90)[0]
    finally:
        if service.poll() is None:
            service.kill()
            service.communicate()
        door.stop()
        yard.stop()
    assert service.returncode == 143 and "door: enabled" in out and "yard: disabled" in out, out


@pytest.mark.parametrize("text, disabled, said", [
    (None, set(), None),
    ('{"disabled": ["door", "yard"]}', {"door"}, None),     # yard is no camera of the file: forgotten
    ("{\"disabled\": [\"door\"", set(), "not JSON"),
    ('["door"]', set(), 'expected {"disabled": [camera names]}'),
    ('{"disabled": "door"}', set(), 'expected {"disabled": [camera names]}'),
    ('{"disabled": [1]}', set(), 'expected {"disabled": [camera names]}'),
    (b"\xff\xfe", set(), "cannot read the cameras' state"),
])
def test_the_state_file_read_at_the_start(tmp_path, text, disabled, said):
    """A state file that is not one is said and leaves every camera enabled; what it lists of
    cameras no longer in the file is dropped from it."""
    from quarrin.service import config, state, supervisor

    path = tmp_path / "cameras.toml"
    path.write_text(GOOD.format(url="http://127.0.0.1:9/video"))
    where = state.path_for(str(path))
    if text is not None:
        with open(where, "wb") as f:
            f.write(text if isinstance(text, bytes) else text.encode())
    lines = []
    s = supervisor.Supervisor(config.load(str(path)).cameras, lines.append, state.State(where, lines.append))
    assert {n for n, r in s.recorders.items() if r.disabled} == disabled == s.state.disabled
    assert [said in line for line in lines] == ([True] if said else [])
    assert (json.loads(open(where).read()) if os.path.exists(where) and not said else None) == (
        {"disabled": sorted(disabled)} if disabled else None)
    s.state.set("door", False)
    assert not os.path.exists(where) or said
    assert [p for p in os.listdir(tmp_path) if p.endswith(".tmp")] == []


def test_a_reload_after_the_stop_starts_no_recorder(tmp_path):
    from quarrin.service import config, supervisor

    path = tmp_path / "cameras.toml"
    path.write_text(GOOD.format(url="http://127.0.0.1:9/video"))
    s = supervisor.Supervisor({}, [].append)
    s.stopping()
    assert s.apply(config.load(str(path)).cameras) == (["door"], [], []) and s.recorders["door"].process is None
