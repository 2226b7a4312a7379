"""A notification service that takes 5 s to answer against none: frames per second of a motion
recording whose every event start is sent (Apprise's json:// to a web hook on 127.0.0.1 that
answers after --delay seconds), against the same recording without notifications.

Usage: python bench/bench_notify.py [--frames N] [--repeats R] [--delay SECONDS] [--no-pipeline]

The notifications are sent by a thread of their own, behind the listeners' thread, so the frame
loop should not notice them (goal: at least 0.95x). The table shows the frame loop's frames per
second (from the first frame read to the last, as the progress callback sees them) and how many
notifications the receiver had taken by the end of the recording; the whole call also waits for
the queue at its end (at most quarrin.listeners.push.SEND_WAIT), which is not the frame loop's.
Runs alternate, their order flips every round; medians, and ratios measured in the same run.
"""
import argparse
import http.server
import os
import shutil
import statistics
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench_listeners import make_clip  # noqa: E402

import quarrin  # noqa: E402


class Receiver:
    """A web hook on 127.0.0.1 that answers each POST after `delay` seconds."""

    def __init__(self, delay):
        self.taken = 0
        receiver = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_POST(self):
                self.rfile.read(int(self.headers.get("Content-Length") or 0))
                time.sleep(delay)
                receiver.taken += 1
                self.send_response(200)
                self.send_header("Content-Length", "0")
                self.end_headers()

            def log_message(self, *args):
                pass

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.server.daemon_threads = True
        self.port = self.server.server_address[1]
        threading.Thread(target=self.server.serve_forever, daemon=True).start()


def run(src, out, url, pipeline):
    reads = []
    extra = {"notify_urls": [url], "notify_cooldown": 0} if url else {}
    started = time.perf_counter()
    r = quarrin.record(src, out, motion=True, min_area=400, after=0.5, pipeline=pipeline,
                       progress=lambda e: reads.append(time.perf_counter()), **extra)
    whole = time.perf_counter() - started
    return r, (len(reads) - 1) / (reads[-1] - reads[0]), whole


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--frames", type=int, default=500)
    ap.add_argument("--repeats", type=int, default=5)
    ap.add_argument("--delay", type=float, default=5.0)
    ap.add_argument("--no-pipeline", dest="pipeline", action="store_false")
    opts = ap.parse_args()
    receiver = Receiver(opts.delay)
    url = "json://127.0.0.1:%d/hook" % receiver.port
    work = tempfile.mkdtemp(prefix="quarrin-bench-")
    try:
        src = os.path.join(work, "in.avi")
        make_clip(src, opts.frames)
        loop, whole, taken = {"none": [], "slow": []}, {"none": [], "slow": []}, []
        for r in range(opts.repeats):
            for name in (("none", "slow") if r % 2 == 0 else ("slow", "none")):
                out = os.path.join(work, "%d-%s" % (r, name), "out.avi")
                before = receiver.taken
                result, frames_loop, seconds = run(src, out, url if name == "slow" else None, opts.pipeline)
                loop[name].append(frames_loop)
                whole[name].append(seconds)
                if name == "slow":
                    taken.append(receiver.taken - before)
                shutil.rmtree(os.path.dirname(out))
        print("%d frames of 640x480, %d events; the service answers each notification after %g s (%s)"
              % (opts.frames, len(result.events), opts.delay, "pipelined" if opts.pipeline else "sequential"))
        print("| notifications | frame loop, frames/s | whole call, s |")
        print("|---|---|---|")
        for name in ("none", "slow"):
            print("| %s | %.1f | %.2f |" % ("none" if name == "none" else "to a %g s service" % opts.delay,
                                            statistics.median(loop[name]), statistics.median(whole[name])))
        ratio = statistics.median(a / b for a, b in zip(loop["slow"], loop["none"]))
        print("notifications taken by the service per recording: median %d" % statistics.median(taken))
        print("frame loop with the slow service / without: %.2fx (median of the rounds' ratios; goal at least 0.95x)"
              % ratio)
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
