"""What running cameras under `quarrin serve --config` costs against running each as its own
`quarrin record`: CPU per camera, in one run, for four test cameras (tests/mjpeg_server.py, in a
process of their own) with the same settings, recorded three ways:

  separate   four `quarrin record` processes
  service    one `quarrin serve --config` with the four, nobody watching
  watched    the same with one client watching all four live streams (/live/NAME.mjpg)

The three run at once, over the same `--seconds` after a warm-up, so that the shared machine's
load falls on all of them alike; each way's CPU is that of every process it runs (the service, its
fork server and its recorders), from /proc. Targets: service at most 5 % above separate, watched at
most 10 %.

Usage: python bench/bench_service.py [--seconds 20] [--rounds 2] [--fps 15] [--size 320x240]
"""
import argparse
import os
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
CAMERAS = 4
WARM_UP = 6.0
TICKS = os.sysconf("SC_CLK_TCK")
SETTINGS = {"motion": "true", "stall": "5"}


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def tree(pids):
    """The processes `pids` and every one below them."""
    children = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open("/proc/%s/stat" % entry) as f:
                    children.setdefault(int(f.read().rpartition(")")[2].split()[1]), []).append(int(entry))
            except (OSError, ValueError, IndexError):
                pass
    found, todo = [], list(pids)
    while todo:
        pid = todo.pop()
        found.append(pid)
        todo.extend(children.get(pid, []))
    return found


def cpu(pids):
    """{pid: CPU seconds so far} of the processes."""
    found = {}
    for pid in pids:
        try:
            with open("/proc/%d/stat" % pid) as f:
                fields = f.read().rpartition(")")[2].split()
            found[pid] = (int(fields[11]) + int(fields[12])) / TICKS
        except (OSError, ValueError, IndexError):
            pass
    return found


def quarrin(*args, log=None):
    out = open(log, "w") if log else subprocess.DEVNULL
    return subprocess.Popen([sys.executable, "-m", "quarrin", *args], stdout=out, stderr=subprocess.STDOUT)


def separate(urls, folder, tag):
    flags = ["--motion", "--stall", SETTINGS["stall"]]
    return [quarrin("record", url, os.path.join(folder, "%s%d.avi" % (tag, i)), *flags) for i, url in enumerate(urls)]


def service(urls, folder, tag, stop, watch):
    config = os.path.join(folder, "%s.toml" % tag)
    with open(config, "w") as f:
        f.write("[defaults]\n" + "".join("%s = %s\n" % kv for kv in SETTINGS.items()))
        for i, url in enumerate(urls):
            f.write('[cameras.cam%d]\nsource = "%s"\noutput = "%s%d.avi"\n' % (i, url, tag, i))
    port = free_port()
    proc = quarrin("serve", "--config", config, "--listen", "127.0.0.1:%d" % port, log=config + ".log")
    proc.base = "http://127.0.0.1:%d" % port
    if watch:
        for i in range(len(urls)):
            threading.Thread(target=read_stream, args=("http://127.0.0.1:%d/live/cam%d.mjpg" % (port, i), stop),
                             daemon=True).start()
    return [proc]


def recording(proc, way):
    """Waits until every camera of a service records (it exits saying why when one does not)."""
    import json

    states = None
    for _ in range(150):
        try:
            with urllib.request.urlopen(proc.base + "/api/cameras", timeout=10) as r:
                states = [c.get("state") for c in json.load(r)]
            if states.count("recording") == CAMERAS:
                return
        except OSError:
            pass
        time.sleep(0.2)
    with open(proc.args[-3] + ".log") as f:
        said = f.read()[-2000:]
    sys.exit("%s: the cameras do not all record: %s; the service said:\n%s" % (way, states, said))


def read_stream(url, stop):
    """A page watching: reads the stream for as long as the measure runs."""
    while not stop.is_set():
        try:
            with urllib.request.urlopen(url, timeout=30) as r:
                while not stop.is_set():
                    if not r.read(4096):
                        break
        except Exception:  # not serving yet, or stopping
            time.sleep(0.2)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seconds", type=float, default=20.0)
    parser.add_argument("--rounds", type=int, default=2)
    parser.add_argument("--fps", type=float, default=15.0)
    parser.add_argument("--size", default="320x240")
    ns = parser.parse_args()
    ports = [free_port() for _ in range(CAMERAS)]
    cams = subprocess.Popen([sys.executable, os.path.join(HERE, "..", "tests", "mjpeg_server.py"), *map(str, ports),
                             "--fps", str(ns.fps), "--size", ns.size], stdout=subprocess.PIPE, text=True)
    urls = [cams.stdout.readline().strip() for _ in ports]
    results = {"separate": [], "service": [], "watched": []}
    try:
        with tempfile.TemporaryDirectory() as folder:
            for round_ in range(ns.rounds):
                stop = threading.Event()
                ways = {"separate": separate(urls, folder, "sep%d-" % round_),
                        "service": service(urls, folder, "svc%d-" % round_, stop, False),
                        "watched": service(urls, folder, "live%d-" % round_, stop, True)}
                try:
                    time.sleep(WARM_UP)
                    for way in ("service", "watched"):
                        recording(ways[way][0], way)
                    trees = {way: tree([p.pid for p in procs]) for way, procs in ways.items()}
                    before = {way: cpu(pids) for way, pids in trees.items()}
                    time.sleep(ns.seconds)
                    for way, pids in trees.items():
                        after = cpu(pids)
                        used = sum(after[p] - before[way].get(p, 0.0) for p in after)
                        results[way].append(100.0 * used / ns.seconds / CAMERAS)
                finally:
                    stop.set()
                    for procs in ways.values():
                        for p in procs:
                            p.send_signal(signal.SIGTERM)
                    for procs in ways.values():
                        for p in procs:
                            p.wait(90)
                print("round %d: %s" % (round_ + 1, ", ".join("%s %.2f %%" % (w, r[-1]) for w, r in results.items())),
                      flush=True)
    finally:
        cams.send_signal(signal.SIGINT)
        cams.wait(10)
    base = statistics.median(results["separate"])
    print("\n%d cameras, %g frames/s of %s, %g s measured, %d rounds (medians):" % (CAMERAS, ns.fps, ns.size,
                                                                                  ns.seconds, ns.rounds))
    for way, target in (("separate", None), ("service", 5.0), ("watched", 10.0)):
        share = statistics.median(results[way])
        extra = "" if target is None else "  %+5.1f %% (target at most +%g %%)" % (100.0 * (share / base - 1), target)
        print("  %-8s  %5.2f %% of a core per camera%s" % (way, share, extra))


if __name__ == "__main__":
    main()
