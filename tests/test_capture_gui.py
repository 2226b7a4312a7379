"""An interactive recording in a real window: OpenCV's GUI build under Xvfb, driven by xdotool.

Needs: QUARRIN_GUI_PYTHON naming a Python 3.10 that has OpenCV's GUI build (opencv-python) and
quarrin installed, plus the Xvfb and xdotool programs. Skipped when any of these is missing.
"""
import os
import shutil
import subprocess
import time
from pathlib import Path

import pytest

import parts
import videos

GUI_PYTHON = os.environ.get("QUARRIN_GUI_PYTHON", "")
FRAMES = 4000

pytestmark = [
    pytest.mark.skipif(not GUI_PYTHON or not os.access(GUI_PYTHON, os.X_OK),
                       reason="QUARRIN_GUI_PYTHON does not name a Python with OpenCV's GUI build"),
]


@pytest.fixture(autouse=True)
def _screen_tools():
    if not shutil.which("Xvfb") or not shutil.which("xdotool"):
        parts.missing("needs Xvfb and xdotool (scripts/setup-system.sh installs them)")


RECORDER = [str(Path(__file__).parent / "programs" / "record.py"), "in.avi", "gui_out.avi",
            '{"interactive": true, "roi_w": 96, "roi_h": 72, "timestamp": true}']


@pytest.fixture
def display():
    """A private X server; yields its DISPLAY value."""
    read_fd, write_fd = os.pipe()
    server = subprocess.Popen(["Xvfb", "-displayfd", str(write_fd), "-screen", "0", "800x600x24", "-nolisten", "tcp"],
                              pass_fds=(write_fd,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write_fd)
    try:
        with os.fdopen(read_fd) as f:
            number = f.readline().strip()
        if not number:
            pytest.fail("Xvfb did not start")
        yield ":" + number
    finally:
        server.terminate()
        server.wait(timeout=10)


def xdotool(env, *args):
    return subprocess.run(["xdotool", *args], env=env, capture_output=True, text=True, timeout=10)


def test_q_in_the_preview_window_ends_the_recording(tmp_path, display):
    check = subprocess.run([GUI_PYTHON, "-c", "import cv2, quarrin.snapwell; print(cv2.getBuildInformation())"],
                           capture_output=True, text=True, cwd=tmp_path)
    assert check.returncode == 0, check.stderr
    gui = [line for line in check.stdout.splitlines() if line.strip().startswith("GUI:")]
    assert gui and "NONE" not in gui[0], "QUARRIN_GUI_PYTHON has an OpenCV without a GUI back end"

    videos.moving_clip(tmp_path / "in.avi", FRAMES, width=96, height=72)
    env = dict(os.environ, DISPLAY=display, QT_QPA_PLATFORM="xcb")
    proc = subprocess.Popen([GUI_PYTHON, *RECORDER], cwd=tmp_path, env=env, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)
    try:
        window = ""
        # Under the whole matrix at once the GUI build's first window may take a while.
        deadline = time.monotonic() + 90
        while not window and time.monotonic() < deadline and proc.poll() is None:
            window = xdotool(env, "search", "--name", "^gui_out\\.avi$").stdout.split("\n")[0].strip()
            time.sleep(0.1)
        if not window:
            ended = proc.poll() is not None
            out, err = proc.communicate(timeout=60) if ended else ("", "")
            pytest.fail("no window named gui_out.avi appeared (%s)%s" % (
                "the recorder ended with %s" % proc.returncode if ended else "within 90 s",
                "\n" + out[-800:] + err[-800:] if ended else ""))
        time.sleep(0.5)  # let some frames through first
        assert xdotool(env, "key", "--window", window, "q").returncode == 0
        out, err = proc.communicate(timeout=60)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.communicate()
    assert proc.returncode == 0, err
    lines = out.splitlines()
    assert "Caught keyboard interrupt" not in lines
    n = int(lines[-1].split()[1])
    assert 1 <= n < FRAMES
    data = (tmp_path / "gui_out.avi.csv").read_bytes().split(b"\r\n")
    assert data[0] == b"inframe,outframe,timestamp" and data[-1] == b""
    assert [int(row.split(b",")[0]) for row in data[1:-1]] == list(range(n))
    frames = videos.read_all(tmp_path / "gui_out.avi")
    assert len(frames) == n and frames[0].shape == (72, 96, 3)
