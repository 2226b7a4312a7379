"""Cameras per machine: N simulated network cameras recorded at once, copying their packets
(--copy) against decoding and re-encoding them (H.264 ultrafast, the default for .mp4).

Usage: python bench/bench_cameras.py [--seconds S] [--cameras N,N,...] [--encode-cameras N,N,...]
                                     [--modes copy,encode] [--scenarios continuous,events]
                                     [--detect-width W]

Each camera is a loopback RTSP stream (tests/rtsp_server.py, one server process for them all) of
a 1080p, 15 frames/s H.264 clip at about 4 Mbit/s with a keyframe every 2 s: a still, textured
scene with sensor noise, and something crossing it a fifth of the time. Each camera is recorded
by a `quarrin record` of its own for S seconds (default 60): "continuous" saves every frame;
"events" is --motion --before 2 --after 5 (with --detect-width W, 480 by default, for both modes).

For each scenario and mode, the counts of cameras are tried in turn until one loses frames. A
run loses none when every recorder read all the frames its camera sent in S seconds (S x 15,
one short allowed for the edges), saw no signal loss, and kept pace: its recording took at most
S + LAG seconds (a recorder that falls behind has the camera's frames pile up unread; the
start-up of many recorders at once is not counted against them). The table
shows the CPU seconds the recorders used per camera-second (user + system, their start-up
included) and the largest count with no loss. The server runs on the same machine, and the
machine may be shared: the load average before each run is printed; read the figures of one run
against each other.
"""
import argparse
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
SERVER = os.path.join(HERE, "..", "tests", "rtsp_server.py")
SYSTEM_PYTHON = "/usr/bin/python3"
WIDTH, HEIGHT, FPS, KEYINT, LOOP = 1920, 1080, 15, 30, 300  # a 20 s loop, a keyframe every 2 s
MOVING = range(120, 180)  # a fifth of the loop
SAVED = re.compile(r"^Saved (\d+) of (\d+) frames.*?\(([\d.]+) s, ")
LAG = 5.0
MODES = {"copy": ["--copy"], "encode": []}
SCENARIOS = {"continuous": [], "events": ["--motion", "--before", "2", "--after", "5"]}


def make_clip(path):
    """The camera's loop as raw H.264 with a delimiter before each frame (what the server sends)."""
    import av
    import cv2
    import numpy as np

    rng = np.random.default_rng(1)
    scene = cv2.GaussianBlur(rng.integers(0, 255, (HEIGHT, WIDTH, 3), np.uint8), (0, 0), 3)
    scene = cv2.addWeighted(scene, 0.6, np.linspace(40, 200, WIDTH, dtype=np.uint8)[None, :, None]
                            .repeat(HEIGHT, 0).repeat(3, 2), 0.4, 0)
    params = "keyint=%d:min-keyint=%d:scenecut=0:bframes=0:aud=1" % (KEYINT, KEYINT)
    with av.open(path, "w", format="h264") as out:
        stream = out.add_stream("libx264", rate=FPS, options={"preset": "veryfast", "x264-params": params})
        stream.width, stream.height, stream.pix_fmt = WIDTH, HEIGHT, "yuv420p"
        stream.bit_rate = 4_000_000
        for i in range(LOOP):
            image = cv2.add(scene, rng.integers(0, 4, scene.shape, np.uint8))  # sensor noise
            if i in MOVING:
                x = 100 + (i - MOVING.start) * (WIDTH - 400) // len(MOVING)
                cv2.rectangle(image, (x, 500), (x + 180, 950), (30, 60, 160), -1)
            out.mux(stream.encode(av.VideoFrame.from_ndarray(image, format="bgr24")))
        out.mux(stream.encode())
    return os.path.getsize(path) * 8 / (LOOP / FPS)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def serve(clip, cameras):
    port = free_port()
    proc = subprocess.Popen([SYSTEM_PYTHON, "-I", SERVER, clip, "--port", str(port), "--fps", str(FPS),
                             "--cameras", str(cameras)], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    line = proc.stdout.readline()
    if not line.startswith(b"ready "):
        proc.kill()
        sys.exit("the RTSP server did not start")
    return proc, ["rtsp://127.0.0.1:%d/cam%d" % (port, i) for i in range(cameras)]


def run(urls, folder, args, seconds):
    """Records every URL at once: (CPU seconds of the recorders, whether none lost a frame)."""
    procs = []
    for i, url in enumerate(urls):
        out = os.path.join(folder, "cam%d.mp4" % i)
        procs.append(subprocess.Popen([sys.executable, "-m", "quarrin", "record", url, out, "--duration", str(seconds),
                                       "--open-timeout", "30"] + args,
                                      stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True))
    cpu, whole, ended, pids = 0.0, True, {}, {proc.pid for proc in procs}
    while pids - ended.keys():  # each recorder's end, as it comes
        pid, status, usage = os.wait4(-1, 0)
        if pid not in pids:
            continue  # the server: its cameras' recorders lose their signal
        ended[pid] = status
        cpu += usage.ru_utime + usage.ru_stime
    for proc in procs:
        status = ended[proc.pid]
        proc.returncode = os.waitstatus_to_exitcode(status)
        text = proc.stdout.read()
        said = [m for m in map(SAVED.match, text.splitlines()) if m]
        read, took = (int(said[0].group(2)), float(said[0].group(3))) if said else (0, 0.0)
        if proc.returncode != 0 or read < seconds * FPS - 1 or took > seconds + LAG or "Signal lost" in text:
            if whole:
                print("    %s" % (text.strip().splitlines() or ["no output"])[-1], flush=True)
            whole = False
    return cpu, whole


def load():
    return "%.1f" % os.getloadavg()[0]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seconds", type=float, default=60)
    parser.add_argument("--cameras", default="4,8,12,16,20,24,32,40,48", help="counts tried with --copy")
    parser.add_argument("--encode-cameras", default="1,2,3,4,6,8", help="counts tried re-encoding")
    parser.add_argument("--modes", default="copy,encode")
    parser.add_argument("--scenarios", default="continuous,events")
    parser.add_argument("--detect-width", default="480")
    opts = parser.parse_args()
    scratch = tempfile.mkdtemp(prefix="quarrin-bench-cameras-")
    try:
        clip = os.path.join(scratch, "camera.h264")
        print("clip: %dx%d, %d frames/s, %.1f Mbit/s, a keyframe every %g s, moving %d%% of the time"
              % (WIDTH, HEIGHT, FPS, make_clip(clip) / 1e6, KEYINT / FPS, 100 * len(MOVING) // LOOP), flush=True)
        results = {}
        for scenario in opts.scenarios.split(","):
            for mode in opts.modes.split(","):
                args = MODES[mode] + SCENARIOS[scenario]
                if scenario == "events":
                    args += ["--detect-width", opts.detect_width]
                best, per = 0, None
                for n in [int(n) for n in (opts.cameras if mode == "copy" else opts.encode_cameras).split(",")]:
                    server, urls = serve(clip, n)
                    folder = os.path.join(scratch, "out")
                    os.makedirs(folder)
                    try:
                        before = load()
                        cpu, whole = run(urls, folder, args, opts.seconds)
                    finally:
                        server.kill()
                        server.wait()
                        shutil.rmtree(folder)
                    rate = cpu / (n * opts.seconds)
                    print("%-10s %-6s %3d cameras: %.3f CPU s per camera-second, %s (load before: %s)"
                          % (scenario, mode, n, rate, "no frame lost" if whole else "frames lost", before), flush=True)
                    if not whole:
                        break
                    best, per = n, rate if per is None else per
                results[scenario, mode] = best, per
        print("\n%-11s %-7s %14s %28s" % ("scenario", "mode", "most cameras", "CPU s/camera-s (fewest)"))
        for (scenario, mode), (best, per) in results.items():
            print("%-11s %-7s %14d %28s" % (scenario, mode, best, "%.3f" % per if per is not None else "-"))
        for scenario in opts.scenarios.split(","):
            copy, encode = results.get((scenario, "copy")), results.get((scenario, "encode"))
            if copy and encode and encode[0]:
                print("%s: --copy records %.1fx the cameras, at %.1fx less CPU per camera-second"
                      % (scenario, copy[0] / encode[0], (encode[1] or 0) / (copy[1] or 1)))
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    main()
