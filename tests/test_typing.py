"""The type stubs of quarrin.snapwell and of the recorder it registers (quarrin._recorder), shipped
in the package: they match the compiled module (mypy's stubtest), an application's caller passes
mypy --strict, and calls the module rejects are type errors. The package's own source passes mypy
and ruff with the settings of pyproject.toml, and the seams' implementations have what their
protocols (quarrin.seams) name. Needs mypy and ruff (installed in the NumPy 2 / Python 3.10
environment)."""
import importlib.util
import re
import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("mypy", reason="mypy is installed in the np2 environment only")

HERE = Path(__file__).resolve().parent
REPO = HERE.parent


def mypy(*args):
    return subprocess.run([sys.executable, "-m", *args], capture_output=True, text=True,
                          timeout=300)


def test_stub_and_marker_are_installed():
    package = Path(importlib.util.find_spec("quarrin").origin).parent
    assert all((package / name).is_file() for name in ("snapwell.pyi", "_recorder.pyi", "py.typed"))


# quarrin._recorder exists once quarrin.snapwell is imported: stubtest runs after that import.
STUBTEST = "import sys, quarrin.snapwell, mypy.stubtest; sys.exit(mypy.stubtest.main())"


def test_stubs_match_the_module():
    proc = subprocess.run([sys.executable, "-c", STUBTEST, "--concise", "quarrin.snapwell", "quarrin._recorder"],
                          capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stdout + proc.stderr


# Calls that the module rejects or that always fail, each of which the stub must flag.
BAD_CALLS = {
    "list-frame": "snapwell.check_motion_gray([[0]], U8, U8, 10, 100)",
    "float-frame": "snapwell.check_motion_rgb(F64, U8, U8, 10, 100)",
    "text-threshold": "snapwell.check_motion_gray(U8, U8, U8, '12', 100)",
    "none-kernel": "snapwell.check_motion_gray(U8, U8, U8, 12, 100, kernel_width=None)",
    "misspelt-keyword": "snapwell.check_motion_gray(U8, U8, U8, 12, 100, kernel=5)",
    "too-few": "snapwell.check_motion_gray(U8, U8, U8, 12)",
    "result-not-str": "s: str = snapwell.check_motion_gray(U8, U8, U8, 12, 100)",
    "int-input": "snapwell.vcapture(0, *REST)",
    "none-input": "snapwell.vcapture(None, *REST)",
    "int64-colour": "snapwell.vcapture('0', 'o.avi', 'MJPG', 30, False, 0, 0, 0, 0, 8, 8, 0.0, "
                    "0.0, 0, False, False, 25, 100, 21, True, False, I64, None, 0, "
                    "0, 1.0)",
    "text-interval": "snapwell.vcapture('0', 'o.avi', 'MJPG', 30, False, 0, 0, 0, 0, 8, 8, "
                     "'0.5', 0.0, 0, False, False, 25, 100, 21, False, False, None, None, 0, 0, "
                     "1.0)",
    "record-progress": "record(*ALL, progress=lambda read, saved: None)",
    "record-result": "a, b = record(*ALL)",
    "record-event-fields": "record(*ALL, on_event=lambda e: e.number)",
    "record-segment-text": "record(*ALL, on_segment=lambda w: w.video + 1)",
    "record-reader-junk": "record(*ALL, reader=object())",
    "record-on-closed": "record(*ALL, on_closed=print)",
    "record-gone-param": "record(*ALL, stall=10.0)",
}
PRELUDE = """\
from typing import Any
import numpy as np
from quarrin import snapwell
from quarrin._recorder import record
U8 = np.zeros((4, 4), np.uint8)
F64 = np.zeros((4, 4, 3))
I64 = np.zeros(3, np.int64)  # (inline, mypy would infer the dtype from the expected type)
REST: Any = ()
ALL: Any = ()
"""


def test_strict_caller_passes_and_bad_calls_fail(tmp_path):
    bad = tmp_path / "bad_calls.py"
    bad.write_text(PRELUDE + "".join(line + "\n" for line in BAD_CALLS.values()))
    proc = mypy("mypy", "--strict", "--no-error-summary", "--cache-dir", str(tmp_path / "cache"),
                str(HERE / "typing_caller.py"), str(bad))
    errors = [line for line in proc.stdout.splitlines() if ": error:" in line]
    assert not [e for e in errors if "typing_caller.py" in e], proc.stdout
    flagged = {int(m.group(1)) for m in map(re.compile(r"bad_calls\.py:(\d+):").search, errors) if m}
    first = PRELUDE.count("\n") + 1
    missed = [name for i, name in enumerate(BAD_CALLS, first) if i not in flagged]
    assert missed == [], proc.stdout


# The package's source (src/quarrin, as pyproject.toml's [tool.mypy] and [tool.ruff] name it and
# set them), not the installed copy: what is checked is what is committed.
@pytest.mark.parametrize("tool", [
    ("mypy", "--config-file", str(REPO / "pyproject.toml"), "--no-error-summary"),
    ("ruff", "check", "--no-cache", "--config", str(REPO / "pyproject.toml"), "src/quarrin"),
], ids=lambda tool: tool[0])
def test_package_passes(tool, tmp_path):
    pytest.importorskip(tool[0])
    cache = ("--cache-dir", str(tmp_path / "cache")) if tool[0] == "mypy" else ()
    proc = subprocess.run([sys.executable, "-m", *tool, *cache], cwd=REPO, capture_output=True, text=True,
                          timeout=300)
    assert proc.returncode == 0, proc.stdout + proc.stderr


def _seams():
    from quarrin import av_writer, layout, listeners, passthrough, seams, sources, stamps, writers
    from quarrin.detectors import hog, onnx

    def bare(cls):  # the attributes and methods of its class, none of what its __init__ opens
        return cls.__new__(cls)

    return [(seams.Reader, sources.Reader()), (seams.Reader, bare(sources.StreamReader)),
            (seams.Reader, bare(passthrough.CopyReader)),
            (seams.VideoWriter, writers.OpenCVWriter("MJPG")), (seams.VideoWriter, bare(writers.GuardedWriter)),
            (seams.VideoWriter, bare(av_writer.H264Writer)), (seams.VideoWriter, bare(passthrough.CopyWriter)),
            (seams.Namer, layout.Namer("out.avi")), (seams.StampsWriter, stamps.Writer()),
            (seams.Listener, listeners.Listener()), (seams.Listener, listeners.Callbacks()),
            (seams.Detector, bare(hog.HogDetector)), (seams.Detector, bare(onnx.OnnxDetector))]


# Each implementation a recording hands the engine has every method and attribute of its protocol.
def test_implementations_fit_their_seams():
    misfits = [(type(impl).__name__, proto.__name__) for proto, impl in _seams() if not isinstance(impl, proto)]
    assert misfits == []
