"""Long leak check: the cases of tests/leakcases.py (every entry on its success and error paths,
the recorder sequential and pipelined), each called many times, about a million motion-check calls
in all; prints per case the calls, the time, and the growth of the resident set size, of Python's
memory blocks and of the reference counts of the arguments, and the stage threads left running
(all 0 when nothing leaks).

Usage: .venv/np2/bin/python scripts/leak_check.py [--calls 40000] [--vcapture-calls 2000] [case...]
"""
import argparse
import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

import leakcases  # noqa: E402


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--calls", type=int, default=40000, help="calls per motion case (26 cases)")
    ap.add_argument("--vcapture-calls", type=int, default=2000, help="calls per vcapture and record case")
    ap.add_argument("select", nargs="*", help="only cases whose name contains one of these")
    opts = ap.parse_args()
    totals = {"calls": 0, "motion": 0, "leaking": 0}
    header = "%-34s %9s %8s %9s %8s %6s %8s  %s" % ("case", "calls", "seconds", "RSS +KiB", "blocks+",
                                                     "refs+", "threads", "outcome")
    t0 = time.perf_counter()
    with leakcases.console_silenced() as out:
        out.write(header + "\n")

        def report(name, r):
            out.write("%-34s %9d %8.1f %9.1f %8d %6d %8d  %s\n" % (
                name, r["calls"], r["seconds"], r["rss_growth"] / 1024, r["blocks_growth"],
                sum(map(abs, r["ref_growth"])), r["threads_left"], r["outcome"]))
            out.flush()
            totals["calls"] += r["calls"]
            totals["motion"] += r["calls"] if r["entry"] not in leakcases.RECORDERS else 0
            totals["leaking"] += bool(any(r["ref_growth"]) or r["blocks_growth"] > 64 or r["threads_left"])

        leakcases.run_all(opts.calls, None, opts.vcapture_calls, opts.select, report)
        out.write("%d calls (%d motion checks) in %.0f s; cases with reference or block growth: %d\n"
                  % (totals["calls"], totals["motion"], time.perf_counter() - t0, totals["leaking"]))


if __name__ == "__main__":
    main()
