"""The cameras' live images, from a running service's camera provider (quarrin.service.cameras):
``/live/NAME.jpg``, the newest one, and ``/live/NAME.mjpg``, a stream of them
(multipart/x-mixed-replace, which an <img> plays); the pages that show them, ``/live`` (every
camera, each with its state and a switch to disable or enable it) and ``/live/NAME`` (one camera,
as large as the window).

A recorder makes them only while someone looks: a request for the image keeps its live view on
for a while, a stream for as long as it is open.

Nothing waits long for a camera that is down: an image not there within FRAME_WAIT is a 503 that
says why (the recorder's state and last error) and when to ask again; a stream shows the offline
picture instead, until images come again.
"""
import asyncio
import math
import os
import time

from aiohttp import web

from quarrin.web import urls
from quarrin.web.sending import let_go, write_within

BOUNDARY = "quarrinlive"
FRAME_WAIT = 1.0          # seconds a request waits for a recorder's next image at most
OFFLINE_EVERY = 5.0       # how often a stream shows the offline picture again while there is no image
RUNNING = ("starting", "recording")   # the states in which a recorder may send an image
# How a page names each state of a recorder.
STATES = {"starting": "starting", "recording": "recording", "lost": "signal lost", "restarting": "restarting",
          "stopped": "stopped", "disabled": "disabled"}
OFFLINE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "static", "offline.jpg")


def _stale(r):
    """Seconds after which a recorder's newest image is no longer its camera's live view."""
    return 1.0 + 2.0 / r.fps


def routes(cameras):
    """The routes of the live images of `cameras` (a camera provider: its ``live(name)``,
    ``watch(name)`` and ``viewing(name, delta)``), for quarrin.web.app.make_app."""
    with open(OFFLINE, "rb") as f:
        offline = f.read()

    def recorder_of(request):
        r = cameras.live(request.match_info["name"])
        if r is None:
            raise web.HTTPNotFound(text="404: no such camera")
        return r

    async def fresh(r, newer_than):
        """The recorder's image once it is newer than version `newer_than`, waiting up to
        FRAME_WAIT (None: there is none, or the recorder is not running)."""
        if r.state not in RUNNING:
            return None
        step = min(0.25, 0.5 / r.fps)
        until = time.monotonic() + FRAME_WAIT
        while r.version <= newer_than and r.state in RUNNING and time.monotonic() < until:
            await asyncio.sleep(step)
        return r.jpeg if r.version > newer_than else None

    def last_seen(r):
        """The version of the recorder's image to wait past: the one it has, when that is stale."""
        return r.version if r.age > _stale(r) else r.version - 1

    def offline_due(r, shown, offline_at):
        """Whether a stream shows the offline picture now: when the recorder is not running, or
        no image came within FRAME_WAIT of the stream's start or for longer than an image stays
        fresh; then again each OFFLINE_EVERY."""
        now = time.monotonic()
        if offline_at is not None:
            return now - offline_at >= OFFLINE_EVERY
        return r.state not in RUNNING or shown is None or now - shown > _stale(r)

    async def image(request):
        r = recorder_of(request)
        cameras.watch(r.name)
        jpeg = await fresh(r, last_seen(r))
        if jpeg is None:
            why = r.state + (": " + r.last_error if r.last_error and r.state not in RUNNING else "")
            wait = r.retry_in
            raise web.HTTPServiceUnavailable(text="503: no live image (%s)" % why,
                                             headers={"Retry-After": str(max(2, math.ceil(wait)))})
        return web.Response(body=jpeg, content_type="image/jpeg", headers={"Cache-Control": "no-store"})

    async def stream(request):
        r = recorder_of(request)
        name = r.name
        response = web.StreamResponse(headers={"Content-Type": "multipart/x-mixed-replace; boundary=" + BOUNDARY,
                                               "Cache-Control": "no-store"})
        cameras.viewing(name, +1)
        try:
            await response.prepare(request)
            await response.write(b"--%s\r\n" % BOUNDARY.encode())
            seen, shown, offline_at = last_seen(r), None, None
            while True:
                now = cameras.live(name)
                if now is None:     # the camera was removed
                    break
                if now != r:        # or restarted with new settings: its images from now on
                    r, seen = now, 0
                jpeg = await fresh(r, seen)
                if jpeg is not None:
                    seen, shown, offline_at = r.version, time.monotonic(), None
                    pictures = [jpeg]
                elif offline_due(r, shown, offline_at):
                    # The first time twice: a browser counts a stream's picture as loaded (and the
                    # page with it) only once the next one begins.
                    pictures = [offline] * (1 if offline_at is not None else 2)
                    offline_at = time.monotonic()
                else:
                    if r.state not in RUNNING:
                        await asyncio.sleep(FRAME_WAIT)
                    continue
                # Each picture is followed at once by the next boundary: a browser shows a part
                # only once it sees where the part ends.
                parts = b"".join(b"Content-Type: image/jpeg\r\nContent-Length: %d\r\n\r\n%s\r\n--%s\r\n"
                                 % (len(p), p, BOUNDARY.encode()) for p in pictures)
                if not await write_within(response, parts):
                    return let_go(request, response, stalled=True)   # a page that takes nothing
        except ConnectionResetError:  # the page went away
            pass
        finally:
            cameras.viewing(name, -1)
        return response

    async def page(request):
        from quarrin.web.app import VIEW, _run, render

        name = request.match_info.get("name")
        if name is not None and cameras.live(name) is None:
            raise web.HTTPNotFound(text="404: no such camera")
        entries = [c for c in await _run(request, request.app[VIEW].cameras) if c.get("state")]
        if name is not None:
            entries = [c for c in entries if c["name"] == name]
        return render(request, "live.html", page="live", cameras=entries, single=name, states=STATES)

    def add(router):
        # The pictures first: /live/NAME would take /live/NAME.jpg for a camera's page.
        router.add_get(urls.PATHS["live_image"], image, name="live_image")
        router.add_get(urls.PATHS["live_stream"], stream, name="live_stream")
        router.add_get(urls.PATHS["live"], page, name="live")
        router.add_get(urls.PATHS["live_camera"], page, name="live_camera")

    return add
