"""How fast `quarrin serve` answers, over the generated recordings of bench_index.py (100,000
events in 1,000 lists by default): /api/events for one camera and one day, the overview page and
an event by id (medians over `--requests`, targets 50 ms, 200 ms and 50 ms), the unreviewed
events over all of them (/api/events?reviewed=0, one camera's events marked reviewed first,
target 50 ms), and a 100 MB clip
sent whole and by ranges (throughput over `--rounds`, target 200 MB/s).

Usage: python bench/bench_web.py [--lists 1000] [--events 100] [--requests 50] [--rounds 5] [--clip-mb 100]

The server runs as `quarrin serve` in a child process on a free loopback port; the client here
keeps one connection open, as a browser does. The machine is shared: read the medians and the
ratios (the same request for /static/style.css, a small file, is the floor of a request's cost).
"""
import argparse
import datetime
import http.client
import os
import re
import signal
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench_index import FIRST_DAY, command, generate  # noqa: E402


def timed(conn, path, count, headers=None):
    """Median seconds of `count` GETs of `path` on `conn`, and the last body."""
    times, body = [], b""
    for _ in range(count):
        started = time.perf_counter()
        conn.request("GET", path, headers=headers or {})
        r = conn.getresponse()
        body = r.read()
        times.append(time.perf_counter() - started)
        if r.status not in (200, 206):
            sys.exit("%s: %d %s" % (path, r.status, body[:200]))
    return statistics.median(times), body


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--lists", type=int, default=1000)
    ap.add_argument("--events", type=int, default=100)
    ap.add_argument("--requests", type=int, default=50)
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--clip-mb", type=int, default=100)
    opts = ap.parse_args()
    with tempfile.TemporaryDirectory(prefix="quarrin-bench-") as work:
        root = os.path.join(work, "cams")
        days = generate(root, opts.lists, opts.events, 5, 4, 250)
        clip = os.path.join(root, "door", "clip.mp4")
        with open(clip, "wb") as f:
            for _ in range(opts.clip_mb):
                f.write(os.urandom(1 << 20))
        started = time.perf_counter()
        server = subprocess.Popen(command() + ["serve", root, "--listen", "127.0.0.1:0"], stdout=subprocess.PIPE,
                                  stderr=subprocess.PIPE, text=True)
        line = server.stdout.readline()
        found = re.search(r"http://127\.0\.0\.1:(\d+)/", line)
        if not found:
            server.kill()
            sys.exit("quarrin serve did not start: %s %s" % (line, server.stderr.read()))
        print("%d events in %d lists, 5 cameras over %d days; the server up (index built) in %.1f s; %d CPUs"
              % (opts.lists * opts.events, opts.lists, days, time.perf_counter() - started, os.cpu_count() or 1))
        try:
            conn = http.client.HTTPConnection("127.0.0.1", int(found.group(1)), timeout=120)
            day = (FIRST_DAY + datetime.timedelta(days=days // 2)).isoformat()
            n = opts.requests
            rows = []
            floor, _ = timed(conn, "/static/style.css", n)
            rows.append(("floor: /static/style.css", floor, None))
            api, body = timed(conn, "/api/events?camera=door&since=%s&until=%s&limit=1000" % (day, day), n)
            assert body.count(b'"id"') == opts.events, body[:200]
            rows.append(("/api/events, one camera, one day (%d events)" % opts.events, api, 0.050))
            page, _ = timed(conn, "/api/events?camera=door&since=%s&until=%s" % (day, day), n)
            rows.append(("/api/events, one camera, one day, first page of 50", page, 0.050))
            ident = re.search(rb'"id":"([0-9a-f]+-\d+)"', body).group(1).decode()
            rows.append(("/api/events/ID", timed(conn, "/api/events/" + ident, n)[0], 0.050))
            rows.append(("overview page /", timed(conn, "/", n)[0], 0.200))
            rows.append(("/events page, one camera, one day", timed(conn, "/events?camera=door&day=" + day, n)[0], 0.200))
            rows.append(("/timeline page, one day, 5 cameras", timed(conn, "/timeline?day=" + day, n)[0], 0.200))
            started = time.perf_counter()
            conn.request("POST", "/api/events/review", body=b'{"camera": "door"}',
                         headers={"Content-Type": "application/json"})
            answer = conn.getresponse()
            marked = answer.read()
            assert answer.status == 200, marked
            print("marked one camera's events reviewed (%s) in %.2f s" % (marked.decode(), time.perf_counter() - started))
            unreviewed, body = timed(conn, "/api/events?reviewed=0", n)
            total = int(re.search(rb'"total":(\d+)', body).group(1))
            rows.append(("/api/events?reviewed=0 (%d of all %d events)" % (total, opts.lists * opts.events),
                         unreviewed, 0.050))
            rows.append(("/events page, unreviewed, newest day", timed(conn, "/events", n)[0], 0.200))
            print("%-58s %10s %10s" % ("medians of %d requests" % n, "seconds", "target"))
            for name, seconds, target in rows:
                print("%-58s %10.4f %10s" % (name, seconds, "" if target is None else "<= %g" % target))
            size = os.path.getsize(clip)
            whole, body = timed(conn, "/media/cams/door/clip.mp4", opts.rounds)
            assert len(body) == size
            half = size // 2
            ranged, body = timed(conn, "/media/cams/door/clip.mp4", opts.rounds,
                                 headers={"Range": "bytes=%d-" % half})
            assert len(body) == size - half
            mb = size / 1e6
            print("%-58s %10.0f %10s" % ("clip of %.0f MB whole: MB/s (median of %d)" % (mb, opts.rounds), mb / whole,
                                          ">= 200"))
            print("%-58s %10.0f %10s" % ("its second half by a range request: MB/s", (size - half) / 1e6 / ranged,
                                          ">= 200"))
            print("api / floor: %.1fx; overview / floor: %.1fx" % (api / floor, rows[4][1] / floor))
        finally:
            server.send_signal(signal.SIGTERM)
            server.wait(timeout=30)


if __name__ == "__main__":
    main()
