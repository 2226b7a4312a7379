"""Leaks: every entry, on its success paths and on every error path, called many times in a
child process (tests/leakcases.py, a few seconds in all); the recorder sequential and pipelined.
Afterwards the reference counts of the arguments, the Python memory blocks in use and the
resident set size must be where they were, and no stage thread of the pipeline may be running.
scripts/leak_check.py runs the same cases for a million calls."""
import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent
# Under AddressSanitizer freed memory is held in quarantine and Python's allocator is replaced
# by malloc (PYTHONMALLOC=malloc: no block count), so only the reference counts say anything.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")
# The resident set moves in steps of Python's 1 MiB arenas; a leak of a frame per call (a few
# hundred bytes or more) over thousands of calls still goes well past this.
RSS_NOISE = 4 << 20


@pytest.fixture(scope="module")
def figures():
    proc = subprocess.run([sys.executable, str(HERE / "leakcases.py"), "--json", "--budget", "0.05"],
                          capture_output=True, text=True, timeout=600)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    return [json.loads(line) for line in proc.stdout.splitlines()]


def kept_by_cv2(r):
    """Segment names that an OpenCV release which keeps its file names holds on to."""
    return r["videos"] if r.get("text_refs_skipped") else 0


def row(r):
    return ("%(name)s: %(calls)d calls, %(outcome)s (expected %(expected)s), RSS %(rss_growth)+d B, "
            "blocks %(blocks_growth)+d, references %(ref_growth)s" % r)


@pytest.mark.parametrize("entry", ["check_motion_gray", "check_motion_rgb", "vcapture", "record"])
def test_no_growth(figures, entry):
    cases = [r for r in figures if r["entry"] == entry]
    assert len(cases) >= 6
    # Each case took the path it was written for, every time. The block count wanders by a few
    # dozen (caches filling); a leak of one block per call goes past that with enough calls.
    wrong = [row(r) for r in cases if r["outcome"] != r["expected"] or r["calls"] < 24]
    assert wrong == []
    leaking = [row(r) for r in cases
               if any(r["ref_growth"]) or r["threads_left"]
               or r["blocks_growth"] - kept_by_cv2(r) > 64 + r["calls"] // 4
               or (not SANITIZED and r["rss_growth"] > RSS_NOISE)]
    assert leaking == []
