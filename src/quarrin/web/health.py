"""What a monitor reads, and the cameras switched on and off.

``/healthz``: 200 when every enabled camera of the service records, else 503 listing those that do
not, as JSON; from a loopback address it needs no login (a local probe), from elsewhere it does.
Without a service (``quarrin serve PATH``) there is no camera to record: always 200.

``/metrics``: the Prometheus text format, made by prometheus_client from a registry of its own
whose one collector reads the service's figures when it is asked (nothing is counted meanwhile):
per camera frames read and saved, frames per second, restarts, events, seconds since its last
frame, bytes on disk and its state; the uptime and the recorders running; from the storage survey
(quarrin.storage, the one the storage page shows, whose bytes are the bytes on disk), each
camera's oldest recording and the days its footage lasts, and each file system's size and free
space. Without a service, the uptime of
the view alone.

``POST /api/cameras/NAME/disable`` and ``/enable``: the service's recorder of a camera stopped
(its files finalised) and started again. Like every change, refused from a page of another
origin (its Origin header, else its Referer, must name this site).
"""
import json
import threading
import time
import urllib.parse

from aiohttp import web

from quarrin.web import urls

STATES = ("starting", "recording", "lost", "restarting", "stopped", "disabled")
METRICS_TYPE = "text/plain; version=0.0.4; charset=utf-8"
DEFAULT_PORTS = {"http": 80, "https": 443}


def _error(status, message, **headers):
    return web.json_response({"error": message}, status=status, headers=headers or None)


def _origin(text):
    """(scheme, host, port) of an origin or a URL, or None."""
    try:
        parts = urllib.parse.urlsplit(text)
        port = parts.port
    except ValueError:
        return None
    if parts.scheme not in DEFAULT_PORTS or not parts.hostname:
        return None
    return parts.scheme, parts.hostname.lower(), port or DEFAULT_PORTS[parts.scheme]


def same_origin(request, tls, missing=False):
    """Whether a request that changes something comes from a page of this site: its Origin
    header, or its Referer when it has none, names this scheme, host and port. A request with
    neither is `missing` (a browser sends one of them with every form and fetch of a page; a
    script need not).
    A Host without a port (a proxy in front, on the usual ports) is this site's in either scheme,
    on that scheme's usual port: a proxy may serve HTTPS for a view served over HTTP behind it."""
    given = request.headers.get("Origin")
    if given is None:
        given = request.headers.get("Referer")
        if given is None:
            return missing
    theirs = _origin(given) if given and given != "null" else None
    if theirs is None:
        return False
    ours = _origin("%s://%s/" % ("https" if tls else "http", request.host))
    if ours is None:
        return False
    if request.host.rpartition(":")[2].isdigit() and not request.host.endswith("]"):
        return theirs == ours
    return theirs[1] == ours[1] and theirs[2] == DEFAULT_PORTS[theirs[0]]


def is_loopback_address(address):
    import ipaddress

    try:
        ip = ipaddress.ip_address((address or "").split("%")[0])
    except ValueError:
        return False
    mapped = getattr(ip, "ipv4_mapped", None)   # a dual-stack socket's ::ffff:127.0.0.1
    return (mapped or ip).is_loopback


class Collector:
    """prometheus_client's custom collector of a view's figures (`provider`: a service's camera
    provider, or None; `survey`: a callable giving the storage survey), read at each scrape."""

    def __init__(self, provider, began, survey):
        self.provider, self.began, self.survey = provider, began, survey

    def collect(self):
        from prometheus_client.core import CounterMetricFamily, GaugeMetricFamily

        figures = getattr(self.provider, "figures", None)
        service = getattr(self.provider, "service", None)
        uptime = GaugeMetricFamily("quarrin_uptime_seconds", "Seconds since the service (or the web view) started")
        uptime.add_metric([], service()["uptime"] if service is not None else time.monotonic() - self.began)
        yield uptime
        if figures is None:
            return
        yield GaugeMetricFamily("quarrin_recorders_running", "Recorder processes running", value=service()["running"])
        cameras = figures()
        label = ["camera"]
        read = CounterMetricFamily("quarrin_frames_read", "Frames read from the camera", labels=label)
        saved = CounterMetricFamily("quarrin_frames_saved", "Frames written to its recordings", labels=label)
        restarts = CounterMetricFamily("quarrin_restarts", "Times its recorder was started again after a failure",
                                       labels=label)
        events = CounterMetricFamily("quarrin_events", "Events ended since the service started", labels=label)
        fps = GaugeMetricFamily("quarrin_frames_per_second", "Frames read each second, lately", labels=label)
        since = GaugeMetricFamily("quarrin_seconds_since_last_frame", "Seconds since its last frame was read",
                                  labels=label)
        disk = GaugeMetricFamily("quarrin_disk_bytes", "Bytes of its recordings on disk (videos, timestamps, "
                                 "event lists and, under a service, their pictures)", labels=label)
        state = GaugeMetricFamily("quarrin_camera_state", "1 for the state its recorder is in", labels=["camera",
                                                                                                       "state"])
        now = time.time()
        # The bytes on disk are the storage survey's: those the storage page shows, pictures included.
        found = self.survey()
        surveyed = {c["name"]: c["bytes"] for c in found["cameras"]}
        for name, c in sorted(cameras.items()):
            read.add_metric([name], c["frames_read"])
            saved.add_metric([name], c["frames_saved"])
            restarts.add_metric([name], c["restarts"])
            events.add_metric([name], c["events"])
            fps.add_metric([name], c["fps"])
            if c["last_frame_at"]:
                since.add_metric([name], max(0.0, now - c["last_frame_at"]))
            disk.add_metric([name], surveyed.get(name, 0))
            for s in STATES:
                state.add_metric([name, s], 1.0 if c["state"] == s else 0.0)
        yield from (read, saved, restarts, events, fps, since, disk, state)
        yield from _storage_metrics(found)


def _storage_metrics(found):
    """The gauges of a storage survey (quarrin.storage.survey)."""
    import datetime

    from prometheus_client.core import GaugeMetricFamily

    label = ["camera"]
    oldest = GaugeMetricFamily("quarrin_storage_oldest_seconds", "Time of its oldest recording (seconds since the "
                               "epoch)", labels=label)
    left = GaugeMetricFamily("quarrin_storage_days_left", "Days its footage lasts within its budget at the rate of "
                             "the last seven days", labels=label)
    for c in found["cameras"]:
        if c["oldest"]:
            oldest.add_metric([c["name"]], datetime.datetime.fromisoformat(c["oldest"]).timestamp())
        if c["days_left"] is not None:
            left.add_metric([c["name"]], c["days_left"])
    free = GaugeMetricFamily("quarrin_filesystem_free_bytes", "Bytes free on the file system", labels=["path"])
    size = GaugeMetricFamily("quarrin_filesystem_size_bytes", "Bytes the file system holds", labels=["path"])
    for fs in found["filesystems"]:
        free.add_metric([fs["path"]], fs["free"])
        size.add_metric([fs["path"]], fs["size"])
    return oldest, left, free, size


def routes(view_provider, survey):
    """The routes of /healthz, /metrics and the cameras' switches, for quarrin.web.app.make_app;
    `view_provider`: the service's camera provider, or None; `survey`: a callable giving the
    storage survey the metrics report (quarrin.storage)."""
    provider = view_provider
    began = time.monotonic()
    made = {}
    lock = threading.Lock()

    def health():
        cameras = provider.cameras() if provider is not None else {}
        states = {name: c.get("state") for name, c in sorted(cameras.items())}
        failing = [name for name, s in states.items() if s not in ("recording", "disabled")]
        found = {"ok": not failing, "not_recording": failing,
                 "disabled": [name for name, s in states.items() if s == "disabled"], "cameras": states,
                 "service": provider is not None}
        if provider is not None and hasattr(provider, "service"):
            found.update(provider.service())
        else:
            found["uptime"] = time.monotonic() - began
        found["uptime"] = round(found["uptime"], 1)
        return found

    async def healthz(request):
        import asyncio

        found = await asyncio.get_running_loop().run_in_executor(None, health)
        return web.json_response(found, status=200 if found["ok"] else 503, headers={"Cache-Control": "no-store"})

    def scrape():
        from prometheus_client import CollectorRegistry, generate_latest

        with lock:
            if "registry" not in made:
                registry = CollectorRegistry(auto_describe=False)
                registry.register(Collector(provider, began, survey))
                made["registry"] = registry
        return generate_latest(made["registry"])

    async def metrics(request):
        import asyncio

        try:
            import prometheus_client  # noqa: F401
        except ImportError:
            return _error(501, "/metrics needs prometheus_client, of the web extra: pip install 'quarrin[web]'")
        body = await asyncio.get_running_loop().run_in_executor(None, scrape)
        return web.Response(body=body, headers={"Content-Type": METRICS_TYPE, "Cache-Control": "no-store"})

    async def switch(request):
        import asyncio

        from quarrin.web.app import TLS

        if not same_origin(request, request.app[TLS]):
            return _error(403, "refused: the request does not come from a page of this site (its Origin or Referer "
                               "header must name %s)" % request.host)
        name = request.match_info["name"]
        disabling = request.match_info.route.name == "api_camera_disable"
        change = getattr(provider, "disable" if disabling else "enable", None)
        if change is None:
            return _error(404, "no camera %s under this service: cameras are switched under quarrin serve --config"
                          % name)
        try:
            found = await asyncio.shield(asyncio.get_running_loop().run_in_executor(None, change, name))
        except OSError as exc:
            return _error(409, "cannot %s camera %s: %s" % ("disable" if disabling else "enable", name,
                                                             exc.strerror or exc))
        if found is None:
            return _error(404, "no camera %s under this service" % name)
        return web.Response(text=json.dumps(found, separators=(",", ":")), content_type="application/json")

    def add(router):
        router.add_get(urls.PATHS["healthz"], healthz, name="healthz")
        router.add_get(urls.PATHS["metrics"], metrics, name="metrics")
        for name in ("api_camera_disable", "api_camera_enable"):
            router.add_post(urls.PATHS[name], switch, name=name)

    return add
