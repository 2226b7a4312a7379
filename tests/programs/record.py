"""One recording in a child process: prints "RESULT <frames>" when vcapture (or, with --pipeline,
the pipelined recorder) returns the number of frames read.

Usage: record.py INPUT OUTPUT [ARGS_JSON] [--default-sigint] [--fsize BYTES] [--fake-frames N] [--pipeline]
ARGS_JSON names vcapture arguments that differ from the tests' defaults (tests/vcargs.py).
With --fake-frames the recording reads N marked frames from the fake cv2 (tests/fakes.py) and,
however it ends, prints "WRITTEN <json>": each fake video's frames by index.
"""
import argparse
import json
import resource
import signal
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))
from vcargs import record_args, vcapture_args  # noqa: E402

parser = argparse.ArgumentParser()
parser.add_argument("input")
parser.add_argument("output")
parser.add_argument("args", nargs="?", type=json.loads, default={})
parser.add_argument("--default-sigint", action="store_true",
                    help="Ctrl-C raises KeyboardInterrupt even if the process started with SIGINT ignored")
parser.add_argument("--fsize", type=int, help="largest file size this process may write (RLIMIT_FSIZE)")
parser.add_argument("--fake-frames", type=int, help="record this many marked frames from the fake cv2")
parser.add_argument("--pipeline", action="store_true", help="record through quarrin._recorder.record(pipeline=True)")
options = parser.parse_args()

from quarrin import snapwell  # noqa: E402

fake = None
if options.fake_frames is not None:
    from fakes import FakeCv2, marked_frames, written_indices
    fake = snapwell.cv2 = FakeCv2(marked_frames(range(options.fake_frames)))
if options.default_sigint:
    signal.signal(signal.SIGINT, signal.default_int_handler)
if options.fsize is not None:
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)  # a write past the limit fails with EFBIG instead
    resource.setrlimit(resource.RLIMIT_FSIZE, (options.fsize, options.fsize))
try:
    if options.pipeline:
        from quarrin._recorder import record
        n = record(**record_args(options.input, options.output, **options.args), pipeline=True).frames_read
    else:
        n = snapwell.vcapture(**vcapture_args(options.input, options.output, **options.args))
finally:
    if fake is not None:
        print("WRITTEN", json.dumps(written_indices(fake)), flush=True)
print("RESULT", n, flush=True)
