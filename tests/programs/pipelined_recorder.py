"""Child program: records argv[1] into argv[2] on the pipelined path until it ends or is interrupted,
then prints RESULT read saved stopped."""
import signal
import sys

import numpy as np

from quarrin import snapwell  # noqa: F401  (registers quarrin._recorder)
from quarrin._recorder import record

signal.signal(signal.SIGINT, signal.default_int_handler)  # even if started with SIGINT ignored
read, saved, stopped = record(
    sys.argv[1], sys.argv[2], 30, False, 0, 0, 0, 0, 160, 120, 0.0, 0.0, 0, False, False, 25, 50, 21,
    True, False, np.array([0, 0, 0], np.int32), np.array([255, 255, 255], np.int32), 2, 20, 0.5, pipeline=True)[:3]
print("RESULT", read, saved, stopped, flush=True)
