"""A camera for the tests: synthetic frames served as MJPEG over HTTP on 127.0.0.1.

    with MjpegServer(fps=10) as cam:        # cam.url: http://127.0.0.1:<port>/video
        ...
        cam.stop()                           # the camera goes away (connections dropped)
        cam.start()                          # and comes back on the same port
        cam.stall(True)                      # connections stay open, no frame is sent; a new one gets
                                             # its headers and then nothing
        cam.size = (96, 72)                  # frames from now on are of another size

Frames are 64x48 (or `size`) grey with a square that moves one step per frame when `moving` is set (the
index of the frame is also drawn as a bar, so every frame differs). An optional `auth` pair
("user", "password") is required as HTTP basic authentication.
"""
import base64
import socket
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

import cv2
import numpy as np

BOUNDARY = b"quarrinframe"


def frame(index, moving=True, width=64, height=48):
    image = np.full((height, width, 3), 40, np.uint8)
    x = (index * 4) % (width - 16) if moving else 8
    image[12:28, x:x + 16] = (60, 200, 255)
    return image


class MjpegServer:
    def __init__(self, fps=10.0, moving=True, auth=None, port=0, size=(64, 48)):
        self.fps, self.moving, self.auth, self.size = fps, moving, auth, size
        self.port = port or _free_port()
        self.sent = 0
        self.clients = 0
        self._server = None
        self._thread = None
        self._stalled = threading.Event()
        self._generation = 0  # a stop() ends the streams of the servers started before it

    @property
    def url(self):
        return "http://127.0.0.1:%d/video" % self.port

    def start(self):
        handler = _handler(self)
        for _ in range(50):  # the port may still be held by the connections of a stop()
            try:
                self._server = ThreadingHTTPServer(("127.0.0.1", self.port), handler)
                break
            except OSError:
                time.sleep(0.1)
        else:
            raise OSError("port %d stays busy" % self.port)
        self._server.daemon_threads = True
        self._thread = threading.Thread(target=self._server.serve_forever, kwargs={"poll_interval": 0.05},
                                        daemon=True)
        self._thread.start()
        return self

    def stop(self):
        """The camera goes away: no new connection, and open streams end."""
        if self._server is None:
            return
        self._generation += 1
        self._server.shutdown()
        self._server.server_close()
        self._thread.join(5)
        self._server = None

    def stall(self, on=True):
        """Keeps connections open without sending frames (on), or resumes (off)."""
        if on:
            self._stalled.set()
        else:
            self._stalled.clear()

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()


def _free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def _handler(cam):
    class Handler(BaseHTTPRequestHandler):
        def log_message(self, *args):
            pass

        def do_GET(self):
            if self.path.split("?")[0] != "/video":
                self.send_response(404)
                self.end_headers()
                return
            if cam.auth is not None:
                expected = "Basic " + base64.b64encode(("%s:%s" % cam.auth).encode()).decode()
                if self.headers.get("Authorization") != expected:
                    self.send_response(401)
                    self.send_header("WWW-Authenticate", 'Basic realm="camera"')
                    self.end_headers()
                    return
            self.send_response(200)
            self.send_header("Content-Type", "multipart/x-mixed-replace; boundary=%s" % BOUNDARY.decode())
            self.end_headers()
            cam.clients += 1
            generation = cam._generation
            period = 1.0 / cam.fps
            next_at = time.monotonic()
            try:
                while generation == cam._generation:
                    if cam._stalled.is_set():
                        time.sleep(0.02)
                        next_at = time.monotonic()
                        continue
                    ok, jpeg = cv2.imencode(".jpg", frame(cam.sent, cam.moving, *cam.size))
                    data = jpeg.tobytes()
                    self.wfile.write(b"--" + BOUNDARY + b"\r\nContent-Type: image/jpeg\r\nContent-Length: "
                                     + str(len(data)).encode() + b"\r\n\r\n" + data + b"\r\n")
                    self.wfile.flush()
                    cam.sent += 1
                    next_at += period
                    time.sleep(max(0.0, next_at - time.monotonic()))
            except (BrokenPipeError, ConnectionResetError):
                pass
            # Ending the handler closes the connection: the stream is cut.
            self.close_connection = True

    return Handler


if __name__ == "__main__":   # python tests/mjpeg_server.py 8081 8082: test cameras until Ctrl-C
    import argparse

    parser = argparse.ArgumentParser(description="Serve test cameras on 127.0.0.1 until Ctrl-C.")
    parser.add_argument("ports", nargs="*", type=int, default=[8081])
    parser.add_argument("--fps", type=float, default=10.0)
    parser.add_argument("--size", default="64x48", help="WxH")
    ns = parser.parse_args()
    size = tuple(int(x) for x in ns.size.split("x"))
    cameras = [MjpegServer(fps=ns.fps, port=port, size=size) for port in ns.ports]
    for cam in cameras:
        cam.start()
        print(cam.url, flush=True)
    try:
        while True:
            time.sleep(3600)
    except KeyboardInterrupt:
        pass
