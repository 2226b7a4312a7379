"""Runs the quarrin command on generated clips, the way a motion-triggered camera recorder would.

Makes a short clip of a ball that moves, rests and moves again, then runs `quarrin record` on it
with motion events (a second of context before each, two after; the rest of the resting part is
dropped), numbered segments and the timestamp burnt into every saved frame, and shows the event
list. Then makes two more clips (one with a single burst of movement, one where nothing moves)
and runs `quarrin batch` on the folder with a report and a timeline plot, and `quarrin scan` on
it. Then runs the service (`quarrin serve --config`) for a few seconds on two cameras it serves
itself on 127.0.0.1 (MJPEG over HTTP: a door where a ball comes and goes, recorded by its events,
and a yard where nothing moves, recorded whole), and lists the events. Last, the web view of
everything recorded: on a terminal it stays open at the URL printed until Ctrl-C; otherwise (CI,
or --check) the pages and /api/events are asked for and must answer with the events made.
Needs no camera and no display; prints the commands, their output and where the files went.

Usage: python scripts/demo.py [--out DIR] [--frames N] [--segment N] [--plot FILE]
                              [--service-seconds S] [--port N] [--check]
"""
import argparse
import datetime
import json
import os
import shlex
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.error
import urllib.request
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

import cv2
import numpy as np

W, H, FPS = 320, 240, 10.0
ROI = "40,30,240,180"  # x, y, w, h


def ball_position(i, frames, pattern="walkway"):
    """walkway: moves during the first and the last third, rests in between; doorway: rests,
    moves for a fifth of the clip in the middle, rests; still: never moves."""
    if pattern == "walkway":
        third = frames // 3
        t = i if i < third else third if i < 2 * third else i - third
    elif pattern == "doorway":
        t = min(max(i - 2 * frames // 5, 0), frames // 5)
    else:
        t = 0
    return 60 + (t * 9) % (W - 120), H // 2 + int(40 * np.sin(t / 4.0))


def make_input(path, frames, pattern="walkway"):
    yy, xx = np.mgrid[0:H, 0:W]
    background = np.dstack([(xx * 160 // W), (yy * 160 // H), np.full_like(xx, 60)]).astype(np.uint8)
    writer = cv2.VideoWriter(path, cv2.VideoWriter_fourcc(*"MJPG"), FPS, (W, H))
    if not writer.isOpened():
        sys.exit("cannot write the input clip %s" % path)
    for i in range(frames):
        frame = background.copy()
        cv2.circle(frame, ball_position(i, frames, pattern), 22, (255, 255, 255), -1)
        writer.write(frame)
    writer.release()


def command():
    script = os.path.join(os.path.dirname(sys.executable), "quarrin")
    # python -m would put the working directory (perhaps a source tree) first on the path.
    return [script] if os.path.exists(script) else [sys.executable, "-m", "quarrin"]


def quarrin(*args):
    """Runs the quarrin command of this interpreter's environment, showing it as typed."""
    print("$ quarrin " + shlex.join(args), flush=True)
    status = subprocess.call(command() + list(args))
    print(flush=True)
    if status != 0:
        sys.exit("quarrin exited with status %d" % status)


def start_quarrin(*args):
    """Starts a long-running quarrin command (shown as typed); its output goes to ours."""
    print("$ quarrin " + shlex.join(args), flush=True)
    return subprocess.Popen(command() + list(args))


def stop(proc, expected=143):
    """Stops a quarrin command as a service manager would (SIGTERM); it must end as it says."""
    if proc.poll() is None:
        proc.send_signal(signal.SIGTERM)
    try:
        status = proc.wait(60)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()
        sys.exit("quarrin did not stop within 60 s of SIGTERM")
    print(flush=True)
    if status != expected:
        sys.exit("quarrin exited with status %d, not %d" % (status, expected))


# ---- the cameras of the service: MJPEG over HTTP on 127.0.0.1 ----------------------------------

class Camera:
    """A camera on 127.0.0.1 that serves generated frames as MJPEG at `url`, 10 a second: a door
    where a ball moves for 1.5 s of every 4 (`moving`), or a yard where nothing moves."""

    BOUNDARY = b"demoframe"

    def __init__(self, moving):
        self.moving = moving
        self.server = ThreadingHTTPServer(("127.0.0.1", 0), self.handler())
        self.server.daemon_threads = True
        self.url = "http://127.0.0.1:%d/video" % self.server.server_address[1]
        yy, xx = np.mgrid[0:H, 0:W]
        self.background = np.dstack([(xx * 160 // W), (yy * 160 // H), np.full_like(xx, 60)]).astype(np.uint8)
        self.started = time.monotonic()
        self.thread = threading.Thread(target=self.server.serve_forever, kwargs={"poll_interval": 0.1}, daemon=True)
        self.thread.start()

    def frame(self):
        image = self.background.copy()
        t = time.monotonic() - self.started
        if self.moving:
            step = min(t % 4.0, 1.5) * FPS   # moves for 1.5 s, then rests where it stopped
            centre = (40 + int(step * 12) % (W - 80), H // 2 + int(40 * np.sin(step / 4.0)))
        else:
            centre = (W // 2, H // 2)
        cv2.circle(image, centre, 22, (255, 255, 255), -1)
        return cv2.imencode(".jpg", image)[1].tobytes()

    def handler(self):
        camera = self

        class Handler(BaseHTTPRequestHandler):
            def log_message(self, *args):
                pass

            def do_GET(self):
                if self.path.split("?")[0] != "/video":
                    self.send_error(404)
                    return
                self.send_response(200)
                self.send_header("Content-Type", "multipart/x-mixed-replace; boundary=" + camera.BOUNDARY.decode())
                self.end_headers()
                next_at = time.monotonic()
                try:
                    while True:
                        data = camera.frame()
                        self.wfile.write(b"--" + camera.BOUNDARY + b"\r\nContent-Type: image/jpeg\r\n"
                                         b"Content-Length: %d\r\n\r\n" % len(data) + data + b"\r\n")
                        self.wfile.flush()
                        next_at += 1 / FPS
                        time.sleep(max(0.0, next_at - time.monotonic()))
                except OSError:   # the recorder went away
                    pass
                self.close_connection = True

        return Handler

    def close(self):
        self.server.shutdown()
        self.server.server_close()


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def get(url, timeout=10):
    with urllib.request.urlopen(url, timeout=timeout) as answer:
        return answer.status, answer.read()


def get_json(url):
    return json.loads(get(url)[1])


def wait_until(test, seconds, what):
    """Polls `test()` until it holds (returns its value) or `seconds` pass (exits, saying `what`)."""
    until = time.monotonic() + seconds
    while True:
        try:
            found = test()
            if found:
                return found
        except (OSError, ValueError):   # not listening yet
            pass
        if time.monotonic() > until:
            sys.exit("not within %g s: %s" % (seconds, what))
        time.sleep(0.25)


CAMERAS_TOML = """\
# The demo's cameras: two MJPEG streams it serves itself on 127.0.0.1.
[defaults]
segment_seconds = 60
stall = 5

[cameras.door]                  # records its motion events, each with a second around it
source = "{door}"
output = "door/%Y-%m-%d/door-%H%M%S.mp4"
motion = true
before = 1
after = 1

[cameras.yard]                  # records everything
source = "{yard}"
output = "yard/%Y-%m-%d/yard-%H%M%S.mp4"

[web]
listen = "127.0.0.1:{port}"
"""


def run_service(run_dir, seconds, port):
    """The service on two cameras of our own for `seconds` once both record; then stopped as
    systemd would stop it. Returns the cameras' folder."""
    service_dir = os.path.join(run_dir, "service")
    os.makedirs(service_dir, exist_ok=True)
    door, yard = Camera(moving=True), Camera(moving=False)
    config = os.path.join(service_dir, "cameras.toml")
    with open(config, "w") as f:
        f.write(CAMERAS_TOML.format(door=door.url, yard=yard.url, port=port))
    print("Serving two cameras: door at %s (a ball comes and goes), yard at %s (nothing moves)"
          % (door.url, yard.url))
    print("$ cat %s" % config)
    with open(config) as f:
        print(f.read())
    service = start_quarrin("serve", "--config", config, run_dir)
    try:
        base = "http://127.0.0.1:%d" % port

        def recording():
            cams = {c["name"]: c for c in get_json(base + "/api/cameras")}
            return all(cams.get(n, {}).get("state") == "recording" and cams[n]["frames_saved"] for n in ("door", "yard"))

        wait_until(lambda: service.poll() is not None or recording(), 90, "both cameras recording")
        if service.poll() is not None:
            sys.exit("quarrin serve exited with status %d" % service.returncode)
        print("Both cameras record; the service runs %g s more, then is stopped (SIGTERM)" % seconds, flush=True)
        time.sleep(seconds)
    finally:
        stop(service)
        door.close()
        yard.close()
    return service_dir


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--out", help="directory for the run (default: a new folder under ./out/)")
    ap.add_argument("--frames", type=int, default=150, help="length of the generated clips (default 150)")
    ap.add_argument("--segment", type=int, default=20, help="frames per output file (default 20)")
    ap.add_argument("--plot", help="where the batch's timeline goes (default: <run dir>/batch/timeline.png)")
    ap.add_argument("--service-seconds", type=float, default=10.0,
                    help="how long the service records once both cameras record (default 10)")
    ap.add_argument("--port", type=int, default=0, help="the web view's port on 127.0.0.1 (default: a free one)")
    ap.add_argument("--check", action="store_true", help="check the web view and stop, as without a terminal "
                    "(default: on a terminal the web view stays open until Ctrl-C)")
    opts = ap.parse_args()

    if opts.out:
        run_dir = opts.out
        os.makedirs(run_dir, exist_ok=True)
    else:
        os.makedirs("out", exist_ok=True)
        run_dir = tempfile.mkdtemp(prefix="demo-", dir="out")
    clips = os.path.join(run_dir, "clips")
    os.makedirs(clips, exist_ok=True)
    source = os.path.join(clips, "walkway.avi")
    make_input(source, opts.frames)
    print("Generated %s: %d frames of %dx%d at %g fps" % (source, opts.frames, W, H, FPS))
    print()

    quarrin("record", source, os.path.join(run_dir, "motion.mp4"), "--roi", ROI, "--motion", "--before", "1",
            "--after", "2", "--segment-frames", str(opts.segment), "--timestamp")
    events = os.path.join(run_dir, "motion.events.csv")
    print("$ cat %s" % events)
    with open(events) as f:
        print(f.read())

    for pattern in ("doorway", "still"):
        make_input(os.path.join(clips, pattern + ".avi"), opts.frames, pattern)
    batch_dir = os.path.join(run_dir, "batch")
    plot = opts.plot or os.path.join(batch_dir, "timeline.png")
    quarrin("batch", clips, "--out", batch_dir, "--motion", "--before", "1", "--after", "2", "--roi", ROI,
            "--jobs", "2", "--codec", "h264", "--plot", plot)
    quarrin("scan", clips, "--after", "2", "--detect-width", "160", "--report", os.path.join(run_dir, "scan.csv"))

    port = opts.port or free_port()
    service_dir = run_service(run_dir, opts.service_seconds, port)
    quarrin("events", run_dir)
    listed = json.loads(subprocess.run(command() + ["events", run_dir, "--json"], stdout=subprocess.PIPE,
                                       check=True).stdout)
    if not any(e["camera"] == "door" for e in listed):
        sys.exit("the service recorded no event of the door camera")
    quarrin("check", service_dir)
    web_view(run_dir, port, listed, opts.check or not interactive())
    print("Files in %s" % os.path.abspath(run_dir))


def interactive():
    return sys.stdin.isatty() and sys.stdout.isatty() and not os.environ.get("CI")


def web_view(run_dir, port, listed, check):
    """The web view of everything recorded under `run_dir`: kept open until Ctrl-C, or (`check`)
    its pages and /api/events asked for, the events of `listed` expected, and stopped."""
    view = start_quarrin("serve", run_dir, "--listen", "127.0.0.1:%d" % port)
    base = "http://127.0.0.1:%d" % port
    try:
        wait_until(lambda: view.poll() is not None or get(base + "/api/cameras")[0] == 200, 60, "the web view answering")
        if view.poll() is not None:
            sys.exit("quarrin serve exited with status %d" % view.returncode)
        if not check:
            print("The web view of everything recorded is at %s/ (Ctrl-C stops)" % base, flush=True)
            try:
                view.wait()
            except KeyboardInterrupt:   # the view has it too, and stops
                view.wait()
            return
        today = datetime.date.today().isoformat()
        for page in ("/", "/events?camera=door&day=" + today, "/timeline?day=" + today):
            status, body = get(base + page)
            print("GET %s: %d, %d bytes" % (page, status, len(body)))
            if status != 200 or b"door" not in body:
                sys.exit("the page %s does not show the door camera" % page)
        found = get_json(base + "/api/events?limit=1000")
        made = sorted((e["camera"], e["start"]) for e in listed)
        answered = sorted((e["camera"], e["start"]) for e in found["events"])
        print("GET /api/events: %d events (%s)" % (found["total"], ", ".join(
            "%s %d" % (c, sum(1 for e in answered if e[0] == c)) for c in sorted({e[0] for e in answered}))))
        if found["total"] != len(listed) or answered != made:
            sys.exit("/api/events answers %d events, the event lists hold %d" % (found["total"], len(listed)))
        print()
    finally:
        if check:
            stop(view)
        elif view.poll() is None:
            view.terminate()
            view.wait()


if __name__ == "__main__":
    main()
