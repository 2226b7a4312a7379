"""A camera for the tests: an H.264 clip served as a live RTSP stream on 127.0.0.1.

    with RtspServer(fps=30) as cam:         # cam.url: rtsp://127.0.0.1:<port>/cam
        ...
        cam.stop()                           # the camera goes away (its process is killed)
        cam.start(size=(96, 64))             # and comes back on the same port, here with another size
        cam.stall(True)                      # connections stay open, nothing is sent

The test side (RtspServer) writes the clip with PyAV: the frames of mjpeg_server.frame(), a
square that moves one step per frame when `moving` is set, one loop of its travel, with a
keyframe at the start of each loop. The server is this file run by the system's Python, which has
GStreamer's RTSP server (python3-gi, gir1.2-gst-rtsp-server-1.0; the environments' Pythons have
no gi): it pushes the clip's frames one by one at the frame rate, looped, from the moment it
starts, as a camera does; a client that connects joins wherever the loop then is. An optional
`auth` pair ("user", "password") is required as basic authentication. Without the system's RTSP
server or its plugins, start() skips the test with one line.

    /usr/bin/python3 tests/rtsp_server.py CLIP.h264 --port PORT [--path /cam] [--fps 30]
                                          [--user U --password P] [--cameras N]
    /usr/bin/python3 tests/rtsp_server.py --check      # exit 0, or 1 with what is missing

The server prints "ready <url>" once it accepts connections, and ends when its standard input
closes (the test process is gone) or it is killed.
"""
import atexit
import fractions
import math
import os
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time

SYSTEM_PYTHON = "/usr/bin/python3"
# What the server's pipeline and GStreamer's RTSP server itself use (plugins-base, -good, -bad).
ELEMENTS = ("appsrc", "h264parse", "rtph264pay", "rtpbin", "udpsrc", "udpsink")
AUD = b"\x00\x00\x00\x01\x09"  # an access unit delimiter: the clip holds one before every frame


# ---- the server (the system's Python) ----------------------------------------------------------

def _gst():
    import gi

    gi.require_version("Gst", "1.0")
    gi.require_version("GstRtspServer", "1.0")
    from gi.repository import GLib, Gst, GstRtspServer

    Gst.init(None)
    missing = [name for name in ELEMENTS if Gst.ElementFactory.find(name) is None]
    if missing:
        raise ImportError("no GStreamer element %s (the gstreamer1.0-plugins packages)" % ", ".join(missing))
    return GLib, Gst, GstRtspServer


def serve(clip, port, path, fps, user=None, password=None, cameras=None):
    GLib, Gst, GstRtspServer = _gst()
    with open(clip, "rb") as f:
        data = f.read()
    if not data.startswith(AUD):
        sys.exit("%s: not an H.264 stream with access unit delimiters" % clip)
    frames = [AUD + unit for unit in data[len(AUD):].split(AUD)]
    started = time.monotonic()

    def due():  # the frames the camera has taken since it started
        return int((time.monotonic() - started) * fps)

    def configure(factory, media):
        src = media.get_element().get_by_name("src")
        sent = [due()]

        def push():
            # Every frame in turn, late ones at once: a frame left out would spoil the next ones.
            while sent[0] <= due():
                frame = Gst.Buffer.new_wrapped(frames[sent[0] % len(frames)])
                if src.emit("push-buffer", frame) != Gst.FlowReturn.OK:
                    return False  # the media was shut down
                sent[0] += 1
            return True

        GLib.timeout_add(max(1, int(500 / fps)), push)

    def camera():
        factory = GstRtspServer.RTSPMediaFactory.new()
        factory.set_launch('( appsrc name=src is-live=true do-timestamp=true format=time '
                           'caps="video/x-h264,stream-format=byte-stream,alignment=au" '
                           '! h264parse ! rtph264pay name=pay0 pt=96 config-interval=-1 )')
        factory.set_shared(True)
        factory.connect("media-configure", configure)
        return factory

    factories = {path: camera()} if cameras is None else {"%s%d" % (path, i): camera() for i in range(cameras)}
    server = GstRtspServer.RTSPServer.new()
    server.set_address("127.0.0.1")
    server.set_service(str(port))
    if user is not None:
        auth = GstRtspServer.RTSPAuth()
        token = GstRtspServer.RTSPToken.new()
        token.set_string(GstRtspServer.RTSP_TOKEN_MEDIA_FACTORY_ROLE, user)
        auth.add_basic(GstRtspServer.RTSPAuth.make_basic(user, password), token)
        server.set_auth(auth)
        permissions = GstRtspServer.RTSPPermissions.new()
        for permission in (GstRtspServer.RTSP_PERM_MEDIA_FACTORY_ACCESS, GstRtspServer.RTSP_PERM_MEDIA_FACTORY_CONSTRUCT):
            permissions.add_permission_for_role(user, permission, True)
        for factory in factories.values():
            factory.set_permissions(permissions)
    for mount, factory in factories.items():
        server.get_mount_points().add_factory(mount, factory)
    for _ in range(50):  # the port may still be held a moment after the last server was killed
        if server.attach(None):
            break
        time.sleep(0.1)
    else:
        sys.exit("port %d stays busy" % port)
    loop = GLib.MainLoop()
    # Standard input closes when the test process ends, however it ends: so does the camera.
    GLib.io_add_watch(sys.stdin.fileno(), GLib.IO_IN | GLib.IO_HUP | GLib.IO_ERR, lambda *a: loop.quit())
    print("ready rtsp://127.0.0.1:%d%s" % (port, path), flush=True)
    loop.run()


def main(argv):
    import argparse

    parser = argparse.ArgumentParser(description="Serves an H.264 clip as a live RTSP camera on 127.0.0.1.")
    parser.add_argument("clip", nargs="?")
    parser.add_argument("--check", action="store_true", help="only say whether the server can run")
    parser.add_argument("--port", type=int)
    parser.add_argument("--path", default="/cam")
    parser.add_argument("--fps", type=float, default=30.0)
    parser.add_argument("--user")
    parser.add_argument("--password")
    parser.add_argument("--cameras", type=int, help="serve the clip as N cameras, at PATH0 .. PATH<N-1>")
    args = parser.parse_args(argv)
    if args.check:
        try:
            _gst()
        except (ImportError, ValueError) as exc:
            sys.exit(str(exc))
        return
    if not args.clip or not args.port:
        parser.error("a clip and --port are required")
    serve(args.clip, args.port, args.path, args.fps, args.user, args.password, args.cameras)


# ---- the test side -----------------------------------------------------------------------------

_missing = []   # why the server cannot run here, once found out
_running = set()
_scratch = []   # this process's folder for clips and server logs, removed at exit


class RtspServer:
    def __init__(self, fps=30.0, moving=True, auth=None, port=0, size=(64, 48), path="/cam"):
        from mjpeg_server import _free_port

        self.fps, self.moving, self.auth, self.size, self.path = fps, moving, auth, size, path
        self.port = port or _free_port()
        self._proc = None

    @property
    def url(self):
        return "rtsp://127.0.0.1:%d%s" % (self.port, self.path)

    def start(self, size=None):
        """Starts the camera (at `size`, by default the last one); skips the test when it cannot run."""
        import parts

        reason = _unavailable()
        if reason:
            parts.missing("no RTSP camera: " + reason)
        self.size = size or self.size
        self.clip = clip = _file("%dx%d-%g%s.h264" % (self.size + (self.fps, "" if self.moving else "-still")))
        if not os.path.exists(clip):
            write_clip(clip, self.size, self.fps, self.moving)
        command = [SYSTEM_PYTHON, "-I", os.path.abspath(__file__), clip, "--port", str(self.port),
                   "--path", self.path, "--fps", str(self.fps)]
        if self.auth:
            command += ["--user", self.auth[0], "--password", self.auth[1]]
        log = _file("server-%d.log" % self.port)
        with open(log, "wb") as err:
            self._proc = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=err,
                                          env=_plain_env())
        _running.add(self._proc)
        ready = select.select([self._proc.stdout], [], [], 60)[0] and self._proc.stdout.readline()
        if not (ready and ready.startswith(b"ready ")):
            self.stop()
            with open(log, errors="replace") as err:
                raise RuntimeError("the RTSP camera did not start: %s" % err.read()[-2000:])
        return self

    def stop(self):
        """The camera goes away: its process is killed, and with it every connection."""
        proc, self._proc = self._proc, None
        if proc is not None:
            _kill(proc)

    def stall(self, on=True):
        """Keeps connections open without sending anything (on), or resumes (off)."""
        if self._proc is not None:
            self._proc.send_signal(signal.SIGSTOP if on else signal.SIGCONT)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()


def write_clip(path, size, fps, moving, keyframes=15):
    """One loop of the frames as raw H.264 with a delimiter before each frame: the square's whole
    travel when moving (a keyframe at its start), else `keyframes` still frames."""
    import av

    from mjpeg_server import frame

    width, height = size
    count = (width - 16) // math.gcd(4, width - 16) if moving else keyframes
    options = {"preset": "ultrafast", "tune": "zerolatency",
               "x264-params": "keyint=%d:scenecut=0:aud=1" % count}
    with av.open(str(path), "w", format="h264") as out:
        stream = out.add_stream("libx264", rate=fractions.Fraction(fps).limit_denominator(1001), options=options)
        stream.width, stream.height, stream.pix_fmt = width, height, "yuv420p"
        for i in range(count):
            for packet in stream.encode(av.VideoFrame.from_ndarray(frame(i, moving, width, height), format="bgr24")):
                out.mux(packet)
        for packet in stream.encode():
            out.mux(packet)
    return count


def _unavailable():
    """None when the system's Python can serve RTSP here, else the reason in a few words."""
    if not _missing:
        reason = "no %s" % SYSTEM_PYTHON if not os.access(SYSTEM_PYTHON, os.X_OK) else ""
        if not reason:
            check = subprocess.run([SYSTEM_PYTHON, "-I", os.path.abspath(__file__), "--check"], capture_output=True,
                                   text=True, env=_plain_env())
            lines = check.stderr.strip().splitlines() or ["exit %d" % check.returncode]
            reason = check.returncode and "%s: %s (scripts/setup-system.sh installs it)" % (SYSTEM_PYTHON, lines[-1])
        _missing.append(reason)
    return _missing[0] or None


def _plain_env():
    """The environment without what the sanitizer session preloads: the server is not under test."""
    return {k: v for k, v in os.environ.items()
            if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "PYTHONMALLOC")}


def _file(name):
    if not _scratch:
        _scratch.append(tempfile.mkdtemp(prefix="rtsp-camera-"))
    return os.path.join(_scratch[0], name)


def _kill(proc):
    proc.kill()  # a stopped process dies as well
    proc.wait()
    for pipe in (proc.stdin, proc.stdout):
        pipe.close()
    _running.discard(proc)


@atexit.register
def _clean_up():
    for proc in list(_running):
        _kill(proc)
    for folder in _scratch:
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main(sys.argv[1:])
