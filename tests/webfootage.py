"""Recordings for the web view's tests, made by quarrin itself, and a `quarrin serve` on them.

Two cameras under nested daily folders (ROOT/<camera>/%Y-%m-%d/<camera>-%H%M%S.<ext>): `door` in
H.264 MP4 (PyAV), `yard` in H.264 MP4 and in MJPG AVI, which browsers do not play. Each clip holds
two stretches of motion between still frames: people walking in opencv-doc's vtest.avi, cropped
and scaled down, or a moving square where that is not installed. Times come from each clip's
modification time, set within the last hours.
"""
import os
import re
import signal
import subprocess
import sys
import time
import types

import pytest

import videos
import parts

VTEST = "/usr/share/doc/opencv-doc/examples/data/vtest.avi"
SIZE = (192, 144)
FPS = 10.0
# (camera, extension, seconds before now of the clip's first frame, which part of the scene)
RECORDINGS = [("door", ".mp4", 8 * 3600, 0), ("yard", ".avi", 5 * 3600, 1), ("door", ".mp4", 3 * 3600, 0),
              ("yard", ".mp4", 5400, 1)]
MOTION = dict(motion=True, before=0.5, after=0.5, min_area=60, min_event=0.2)


def scene(part, count=48):
    """`count` frames of a scene with something moving, SIZE each."""
    import cv2

    frames = []
    if os.path.exists(VTEST):
        cap = cv2.VideoCapture(VTEST)
        for _ in range(count):
            ok, frame = cap.read()
            if not ok:
                break
            h, w = frame.shape[:2]
            x = 0 if part == 0 else w // 3
            crop = frame[h // 6:, x:x + w * 2 // 3]
            frames.append(cv2.resize(crop, SIZE, interpolation=cv2.INTER_AREA))
        cap.release()
    if len(frames) < count:
        frames = [videos.square_frame(*SIZE, (i * 5) % (SIZE[0] - 24), 40 + 30 * part, 24) for i in range(count)]
    return frames


def clip(path, part, mtime):
    """A clip: still, motion, still, motion, still (two events)."""
    moving = scene(part)
    half = len(moving) // 2
    frames = [moving[0]] * 6 + moving[:half] + [moving[half - 1]] * 14 + moving[half:] + [moving[-1]] * 8
    return videos.write_clip(path, frames, FPS, mtime=mtime)


def record(root, camera, ext, ago, part, work):
    import quarrin

    source = clip(os.path.join(work, "%s-%d.avi" % (camera, ago)), part, time.time() - ago)
    output = os.path.join(root, camera, "%Y-%m-%d", camera + "-%H%M%S" + ext)
    return quarrin.record(source, output, **MOTION)


@pytest.fixture(scope="session")
def footage(tmp_path_factory):
    """`root`: the folder of recordings; `results`: what each recording returned; `work`: a folder
    for more clips."""
    parts.module("av", "the web view's tests record H.264 through PyAV")
    base = tmp_path_factory.mktemp("web")
    root, work = base / "cams", base / "clips"
    os.makedirs(work)
    results = [record(str(root), *r, str(work)) for r in RECORDINGS]
    assert all(len(r.events) == 2 for r in results), [r.events for r in results]
    return types.SimpleNamespace(root=root, results=results, work=work)


class Server:
    """`quarrin serve` in a child process (`files`: its limit on open files); `url` is where it
    listens."""

    def __init__(self, *args, cwd=None, files=None):
        def limit():   # at most `files` open files
            import resource

            resource.setrlimit(resource.RLIMIT_NOFILE, (files, files))
        self.proc = subprocess.Popen([sys.executable, "-m", "quarrin", "serve", *map(str, args)], cwd=cwd,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                     preexec_fn=limit if files else None)
        self.started = line = self.proc.stdout.readline()
        found = re.search(r" at (https?://\S+/)", line)
        if found is None:
            self.proc.kill()
            raise AssertionError("quarrin serve did not start: %r %s" % (line, self.proc.stderr.read()))
        self.url = found.group(1)
        self.base = self.url.rstrip("/")

    def stop(self, signum=signal.SIGTERM):
        """Stops it; returns (exit status, all it printed)."""
        if self.proc.poll() is None:
            self.proc.send_signal(signum)
        try:
            out, err = self.proc.communicate(timeout=30)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            out, err = self.proc.communicate()
        return self.proc.returncode, self.started + out + err


@pytest.fixture(scope="session")
def served(footage):
    """A server on the recordings, open (loopback); stopped by SIGTERM at the end, with status 143."""
    server = Server(footage.root, "--listen", "127.0.0.1:0")
    yield server
    status, output = server.stop()
    assert status == 143, output
