"""Long fuzz run: the hypothesis strategies of tests/fuzzing.py against the three entries and
quarrin._recorder.record (sequential and pipelined), in a worker process; prints the count of each
outcome per entry (returned, each exception type, and any crash, hang, thread left running or
undocumented exception with the call that caused it).

Usage: .venv/np2/bin/python scripts/fuzz.py [--examples 100000] [--entries gray,rgb,vcapture,record]
"""
import argparse
import collections
import os
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

from hypothesis import HealthCheck, Phase, given, settings  # noqa: E402

import fuzzing  # noqa: E402

ENTRIES = {"gray": ("check_motion_gray", lambda: fuzzing.motion_call(False)),
           "rgb": ("check_motion_rgb", lambda: fuzzing.motion_call(True)),
           "vcapture": ("vcapture", fuzzing.vcapture_call),
           "record": ("record", fuzzing.record_call)}


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--examples", type=int, default=100000, help="examples in all (default 100000)")
    ap.add_argument("--entries", default="gray,rgb,vcapture,record")
    opts = ap.parse_args()
    names = opts.entries.split(",")
    counts = {name: collections.Counter() for name in names}
    failures = []
    t0 = time.perf_counter()
    with tempfile.TemporaryDirectory() as logs:
        worker = fuzzing.Worker(logs)
        for name in names:
            entry, strategy = ENTRIES[name]

            # Generation only: no shrinking of failures, which are collected and printed.
            @settings(max_examples=opts.examples // len(names), deadline=None, database=None,
                      phases=[Phase.generate], suppress_health_check=list(HealthCheck))
            @given(call=strategy())
            def run(call):
                args, kwargs, shape = call
                try:
                    outcome, text = worker.call(entry, args, kwargs, shape)
                except AssertionError as exc:
                    outcome, text = "CRASH or HANG", str(exc)
                if outcome not in ("ok", "unbuildable") + fuzzing.ALLOWED:
                    failures.append((entry, outcome, text))
                counts[name][outcome] += 1

            start = time.perf_counter()
            run()
            print("%-18s %7d examples in %6.0f s" % (entry, sum(counts[name].values()),
                                                    time.perf_counter() - start), flush=True)
            for outcome, n in counts[name].most_common():
                print("    %-28s %7d" % (outcome, n))
        worker.close()
    total = sum(sum(c.values()) for c in counts.values())
    print("%d examples in %.0f s; %d undocumented outcomes, crashes or hangs"
          % (total, time.perf_counter() - t0, len(failures)))
    for entry, outcome, text in failures[:20]:
        print("  %s: %s\n    %s" % (entry, outcome, text[:2000].replace("\n", "\n    ")))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
