"""How fast `quarrin.events` answers from its index: the first query (which builds the index) and
later ones (nothing changed on disk), over generated event lists in nested daily folders.

Usage: python bench/bench_index.py [--lists 1000] [--events 100] [--cameras 5] [--segments 4]
                                   [--rows 250] [--rounds 7]

Generates `--lists` event lists of `--events` events each, one a day per camera
(ROOT/<camera>/<day>/<camera>-HHMMSS.events.csv), each with `--segments` videos (empty files) and
their timestamps CSVs of `--rows` rows. Then, in this process: the first query (the index deleted
before each round), and later queries: one camera and one day, all events, one page of 50 of the
newest, a look-up by id, the segments of one camera and one day, the cameras (the last ones with
an Index kept open, as a web view keeps it; targets 50 ms a call). Last, the command
`quarrin events` for one camera and one day against its start-up (a child that starts the
interpreter, imports the modules the command loads and builds its parser), as child processes. Medians of `--rounds`; the machine is shared, so read the ratios: the floor
(stat'ing every file, what any query that trusts only the files pays) and a pure-Python reference
loop put the other figures in scale.
"""
import argparse
import csv
import datetime
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

import quarrin
from quarrin.index import Index

CAMERAS = ("door", "yard", "gate", "drive", "porch", "shed", "garage", "street")
FIRST_DAY = datetime.date(2026, 1, 1)


def generate(root, lists, events, cameras, segments, rows):
    """Writes the recordings; returns the days they cover."""
    names = CAMERAS[:cameras]
    days = -(-lists // len(names))
    step = 86400 / events
    for n in range(lists):
        camera, day = names[n % len(names)], FIRST_DAY + datetime.timedelta(days=n // len(names))
        folder = os.path.join(root, camera, day.isoformat())
        os.makedirs(folder)
        midnight = datetime.datetime.combine(day, datetime.time())
        stem = "%s-000000" % camera
        videos = ["%s_%03d.avi" % (stem, s) for s in range(segments)]
        per_segment = 86400 / segments
        for s, video in enumerate(videos):
            open(os.path.join(folder, video), "wb").close()
            with open(os.path.join(folder, video + ".csv"), "w", newline="") as f:
                w = csv.writer(f)
                w.writerow(["inframe", "outframe", "timestamp"])
                for r in range(rows):
                    at = midnight + datetime.timedelta(seconds=s * per_segment + r * per_segment / rows)
                    w.writerow([s * rows + r, r, at.isoformat()])
        with open(os.path.join(folder, stem + ".events.csv"), "w", newline="") as f:
            w = csv.writer(f)
            w.writerow(["event", "start", "end", "seconds", "first_frame", "last_frame", "frames", "peak_area",
                        "file"])
            for e in range(events):
                start = midnight + datetime.timedelta(seconds=e * step + 1)
                end = start + datetime.timedelta(seconds=step / 3)
                first = e * 100
                w.writerow([e + 1, start.isoformat(), end.isoformat(), round(step / 3, 6), first, first + 99, 100,
                            1000 + e, videos[int(e * step // per_segment)]])
    return days


def median_seconds(fn, rounds, before=None):
    times = []
    for _ in range(rounds):
        if before is not None:
            before()
        started = time.perf_counter()
        fn()
        times.append(time.perf_counter() - started)
    return statistics.median(times)


def command():
    script = os.path.join(os.path.dirname(sys.executable), "quarrin")
    return [script] if os.path.exists(script) else [sys.executable, "-m", "quarrin"]


def child_seconds(argv):
    started = time.perf_counter()
    proc = subprocess.run(argv, capture_output=True, text=True)
    if proc.returncode != 0:
        sys.exit("%s failed: %s" % (" ".join(argv), proc.stderr))
    return time.perf_counter() - started


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--lists", type=int, default=1000)
    ap.add_argument("--events", type=int, default=100)
    ap.add_argument("--cameras", type=int, default=5, choices=range(1, len(CAMERAS) + 1))
    ap.add_argument("--segments", type=int, default=4)
    ap.add_argument("--rows", type=int, default=250)
    ap.add_argument("--rounds", type=int, default=7)
    opts = ap.parse_args()
    with tempfile.TemporaryDirectory(prefix="quarrin-bench-") as work:
        root = os.path.join(work, "cams")
        started = time.perf_counter()
        days = generate(root, opts.lists, opts.events, opts.cameras, opts.segments, opts.rows)
        total = opts.lists * opts.events
        print("%d events in %d lists, %d cameras over %d days, %d timestamps CSVs (generated in %.1f s); %d CPUs"
              % (total, opts.lists, opts.cameras, days, opts.lists * opts.segments, time.perf_counter() - started,
                 os.cpu_count() or 1))
        day = (FIRST_DAY + datetime.timedelta(days=days // 2)).isoformat()
        one = dict(camera="door", since=day, until=day)

        def forget():
            shutil.rmtree(os.path.join(root, ".quarrin"), ignore_errors=True)

        rows = []
        first = median_seconds(lambda: quarrin.events(root, **one), opts.rounds, forget)
        rows.append(("first query (builds the index of the lists)", first, None))
        first_all = median_seconds(lambda: quarrin.recordings(root, **one), opts.rounds, forget)
        rows.append(("first recordings() (lists and timestamps CSVs)", first_all, None))
        assert len(quarrin.events(root, **one)) == opts.events
        assert len(quarrin.events(root)) == total
        later = median_seconds(lambda: quarrin.events(root, **one), opts.rounds)
        rows.append(("later: one camera, one day", later, 0.050))
        everything = median_seconds(lambda: quarrin.events(root), opts.rounds)
        rows.append(("later: all %d events" % total, everything, 1.0))
        rows.append(("later: recordings(), one camera, one day",
                     median_seconds(lambda: quarrin.recordings(root, **one), opts.rounds), None))
        with Index(root) as index:
            rows.append(("Index open: a page of the 50 newest",
                         median_seconds(lambda: index.events(limit=50, newest_first=True), opts.rounds), 0.050))
            some = index.events(**one)[opts.events // 2].id
            rows.append(("Index open: event(id)", median_seconds(lambda: index.event(some), opts.rounds), 0.050))
            rows.append(("Index open: recordings(), one camera, one day",
                         median_seconds(lambda: index.recordings(**one), opts.rounds), 0.050))
            rows.append(("Index open: cameras()", median_seconds(index.cameras, opts.rounds), 0.050))
            rows.append(("Index open: count(), all",
                         median_seconds(index.count, opts.rounds), 0.050))
        # What any query that checks every file costs at least: one stat per list (and per CSV).
        lists, stamps = [], []
        for folder, _, names in os.walk(root):
            lists += [os.path.join(folder, n) for n in names if n.endswith(".events.csv")]
            stamps += [os.path.join(folder, n) for n in names if n.endswith(".avi.csv")]
        rows.append(("floor: os.stat of the %d lists" % len(lists),
                     median_seconds(lambda: [os.stat(p) for p in lists], opts.rounds), None))
        rows.append(("floor: os.stat of the lists and %d CSVs" % len(stamps),
                     median_seconds(lambda: [os.stat(p) for p in lists + stamps], opts.rounds), None))
        argv = command() + ["events", root, "--camera", "door", "--since", day, "--until", day]
        query = statistics.median(child_seconds(argv) for _ in range(opts.rounds))
        # Start-up: the interpreter and the modules the command loads, as `quarrin events` starts.
        loads = [sys.executable, "-c", "import quarrin.cli, quarrin.nativelog, quarrin.index; "
                 "quarrin.cli.build_parser()"]
        startup = statistics.median(child_seconds(loads) for _ in range(opts.rounds))
        def reference():
            total = 0
            for i in range(10 ** 7):
                total += i
        rows.append(("reference: 10^7 additions in Python (this machine's pace)",
                     median_seconds(reference, 3), None))
        print("%-58s %10s %10s" % ("medians", "seconds", "target"))
        for name, seconds, target in rows:
            print("%-58s %10.4f %10s" % (name, seconds, "" if target is None else "<= %g" % target))
        print("%-58s %10.4f" % ("command: quarrin events, one camera, one day", query))
        print("%-58s %10.4f" % ("command: its start-up (interpreter, modules, parser)", startup))
        print("the command over start-up + the in-process query: %+.4f s (%.2fx the in-process query)"
              % (query - startup - later, (query - startup) / later))
        print("later / first query: %.3f; all events / one camera and day: %.0fx" % (later / first, everything / later))


if __name__ == "__main__":
    main()
