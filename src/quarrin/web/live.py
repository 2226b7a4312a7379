"""The cameras' live images, from their recorders (quarrin.supervisor): ``/live/NAME.jpg``, the newest
one, and ``/live/NAME.mjpg``, a stream of them (multipart/x-mixed-replace, which an <img> plays).

A recorder makes them only while someone looks: a request for the image keeps its live view on
for a while (quarrin.supervisor.WATCH_SECONDS), a stream for as long as it is open.
"""
import asyncio
import time

from aiohttp import web

BOUNDARY = "quarrinlive"
FIRST_IMAGE_WAIT = 5.0    # seconds a request waits for a recorder's first image


def routes(supervisor):
    """The routes of the live images of `supervisor`'s cameras, for quarrin.web.app.make_app."""

    def recorder_of(request):
        r = supervisor.recorder(request.match_info["name"])
        if r is None:
            raise web.HTTPNotFound(text="404: no such camera")
        return r

    async def fresh(r, newer_than, wait):
        """The recorder's image once it is newer than version `newer_than`, waiting up to `wait`
        seconds (None: there is none)."""
        step = min(0.25, 0.5 / r.camera.live_fps)
        until = time.monotonic() + wait
        while r.jpeg_version <= newer_than and time.monotonic() < until:
            await asyncio.sleep(step)
        return r.jpeg if r.jpeg_version > newer_than else None

    async def image(request):
        r = recorder_of(request)
        supervisor.watch(r.camera.name)
        stale = time.monotonic() - r.jpeg_at > 1.0 + 2.0 / r.camera.live_fps
        jpeg = await fresh(r, r.jpeg_version if stale else r.jpeg_version - 1, FIRST_IMAGE_WAIT)
        if jpeg is None:
            jpeg = r.jpeg
        if jpeg is None:
            raise web.HTTPServiceUnavailable(text="503: no live image yet", headers={"Retry-After": "2"})
        return web.Response(body=jpeg, content_type="image/jpeg", headers={"Cache-Control": "no-store"})

    async def stream(request):
        r = recorder_of(request)
        name = r.camera.name
        response = web.StreamResponse(headers={"Content-Type": "multipart/x-mixed-replace; boundary=" + BOUNDARY,
                                               "Cache-Control": "no-store"})
        supervisor.viewing(name, +1)
        try:
            await response.prepare(request)
            seen = 0
            while True:
                now = supervisor.recorder(name)
                if now is None:     # the camera was removed
                    break
                if now is not r:    # or restarted with new settings: its images from now on
                    r, seen = now, 0
                jpeg = await fresh(r, seen, 1.0)
                if jpeg is None:
                    continue
                seen = r.jpeg_version
                await response.write(b"--%s\r\nContent-Type: image/jpeg\r\nContent-Length: %d\r\n\r\n%s\r\n"
                                     % (BOUNDARY.encode(), len(jpeg), jpeg))
        except ConnectionResetError:  # the page went away
            pass
        finally:
            supervisor.viewing(name, -1)
        return response

    def add(router):
        router.add_get("/live/{name}.jpg", image)
        router.add_get("/live/{name}.mjpg", stream)

    return add
