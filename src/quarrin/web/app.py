"""The web view's aiohttp application: three pages (overview, events, timeline) and an event's
page, the JSON API they are made from, the media below the served folders, thumbnails, and the
login when a password file is given.

Pages: ``/``, ``/events?camera=&label=&day=&page=``, ``/events/{id}``,
``/events/at?camera=&start=`` (an event named by its camera and start, as a notification links to
it: its page, or the timeline at that time while it is not listed yet),
``/timeline?camera=&day=&zoom=day|hour|15min|5min&hour=&minute=``, ``/storage``; without a day, the
overview and the timeline open on the newest day that has events. ``/favicon.svg``, ``/manifest.webmanifest``;
``/fragments/cameras/{name}`` (a camera's card, as the overview shows it). A page's error is a page
with a way back; the API's errors stay JSON. API: ``/api/cameras``,
``/api/events?camera=&label=&since=&until=&limit=&offset=``, ``/api/events/{id}``,
``/api/recordings?camera=&since=&until=``, ``/api/storage`` (quarrin.storage),
``/api/events/{id}/clip.mp4`` (and ``.mkv``: the event alone, to download; quarrin.export);
``/healthz``, ``/metrics`` and, under a service, ``POST /api/cameras/{name}/disable`` and
``/enable`` (quarrin.web.health). Media:
``/media/<folder>/<path>`` (quarrin.web.media); ``/thumbs/<id>.jpg``; ``/static/...``.

A running service plugs in through `make_app`: `View`'s camera provider adds fields to each
camera (its state, its masked source, a `live_url` the overview then shows instead of the newest
event's picture), and `routes` adds its own (live images).
"""
import asyncio
import concurrent.futures
import datetime
import functools
import ipaddress
import json
import os
import unicodedata
import urllib.parse

import jinja2
from aiohttp import web
from yarl import URL

from quarrin import storage
from quarrin.errors import RecordingError, UsageError
from quarrin.layout import csv_of
from quarrin.web import auth as auth_module
from quarrin.web import connections, health, marks, urls
from quarrin.web.data import day_window
from quarrin.web.sending import send_file
from quarrin.web.thumbs import Thumbnails

HERE = os.path.dirname(os.path.abspath(__file__))
OVERVIEW_EVENTS = 24      # newest events on the overview
PAGE_EVENTS = 48          # events per page of /events
TIMELINE_MARKS = 5000     # marks on one timeline at most
API_LIMIT = 1000          # events in one API answer at most
POLL_SECONDS = 4          # how often the overview asks for new events
BODY_SECONDS = 10.0       # the login form must come within this

VIEW, GUARD, THUMBS, TEMPLATES, POOL, TLS, LOCAL, CONNECTIONS, CLIPS, STORAGE = (web.AppKey(n, object) for n in (
    "view", "guard", "thumbs", "templates", "pool", "tls", "local", "connections", "clips", "storage"))
# What a clip is sent as, by extension.
CLIP_TYPES = {".mp4": "video/mp4", ".mkv": "video/x-matroska"}
# Who is logged in, on the request (aiohttp before 3.12 has no typed request keys).
USER = web.RequestKey("user", str) if hasattr(web, "RequestKey") else "user"

# Nothing from elsewhere: no scripts, styles, frames or pictures from another origin.
SECURITY_HEADERS = {
    "Content-Security-Policy": "default-src 'self'; img-src 'self' data:; style-src 'self' 'unsafe-inline'; "
                               "object-src 'none'; base-uri 'none'; frame-ancestors 'none'; form-action 'self'",
    "X-Content-Type-Options": "nosniff",
    "X-Frame-Options": "DENY",
    "Referrer-Policy": "same-origin",
}


def make_app(view, guard=None, *, tls=False, local=False, routes=None, limits=None):
    """The application for a `quarrin.web.data.View`; `guard`: a `quarrin.web.auth.Logins` when a
    login is needed; `tls`: served over HTTPS (the cookie is then Secure); `local`: served on a
    loopback address without a login, when only requests for a loopback host are answered;
    `routes`: a callable given the app's router, to add routes of its own; `limits`: the
    connections' (`quarrin.web.connections.Limits`), when served by its Listener."""
    pool = connections.Pool(limits or connections.Limits())
    app = web.Application(middlewares=[pool.middleware(), _local_only, _login_wall, marks.origin_wall, _error_pages],
                          client_max_size=64 * 1024)
    app[CONNECTIONS] = pool
    app.on_response_prepare.append(_headers)
    app[VIEW], app[GUARD], app[THUMBS] = view, guard, Thumbnails()
    app[TLS], app[LOCAL] = tls, local
    env = jinja2.Environment(loader=jinja2.FileSystemLoader(os.path.join(HERE, "templates")),
                             autoescape=True, trim_blocks=True, lstrip_blocks=True)
    env.filters.update(when=when, stamp=stamp, seconds=seconds_shown, size=size_shown)
    provider = getattr(view, "provider", None)
    env.globals.update(login=guard is not None, poll=POLL_SECONDS, url=urls.url, static=urls.static,
                       routes=json.dumps(urls.PAGE_ROUTES), live=callable(getattr(provider, "live", None)))
    app[TEMPLATES] = env
    # Frames are grabbed one at a time, beside the queries.
    app[POOL] = concurrent.futures.ThreadPoolExecutor(1, thread_name_prefix="thumbs")
    # Clips are made one at a time: encoding one takes the cores it can have.
    app[CLIPS] = concurrent.futures.ThreadPoolExecutor(1, thread_name_prefix="clips")
    # What the footage takes on disk: one survey shared by the page, the API and the metrics.
    app[STORAGE] = storage.Cached(functools.partial(storage.survey_view, view))
    r = app.router
    for name, handler in (("overview", overview), ("events", events_page), ("event_at", event_at),
                          ("event", event_page),
                          ("timeline", timeline_page), ("api_cameras", api_cameras), ("api_events", api_events),
                          ("api_event", api_event), ("api_recordings", api_recordings), ("media", media),
                          ("thumb", thumbnail), ("favicon", favicon), ("manifest", manifest),
                          ("camera_card", camera_card), ("storage", storage_page), ("api_storage", api_storage)):
        r.add_get(urls.PATHS[name], handler, name=name)
    r.add_static(urls.PATHS["static"], os.path.join(HERE, "static"), name="static")
    for name in ("api_clip_mp4", "api_clip_mkv"):
        r.add_get(urls.PATHS[name], api_clip, name=name)
    marks.add_routes(r, urls)
    if guard is not None:
        r.add_get(urls.PATHS["login"], login_form, name="login")
        r.add_post(urls.PATHS["login"], login)
        r.add_post(urls.PATHS["logout"], logout, name="logout")
    health.routes(provider, app[STORAGE].get)(r)
    if routes is not None:
        routes(r)
    app.on_cleanup.append(_close)
    return app


async def _close(app):
    app[POOL].shutdown(wait=False, cancel_futures=True)
    app[CLIPS].shutdown(wait=False, cancel_futures=True)


async def _run(request, fn, *args):
    return await asyncio.get_running_loop().run_in_executor(None, fn, *args)


# --- middlewares ------------------------------------------------------------------------------

async def _headers(request, response):
    """Every answer's own headers, as it is about to be sent (streams and files included)."""
    for name, value in SECURITY_HEADERS.items():
        response.headers.setdefault(name, value)


@web.middleware
async def _local_only(request, handler):
    """Without a login, a page in a browser could be led to this server under another name (DNS
    rebinding: a site whose name the attacker points at 127.0.0.1) and read its answers. So an
    open server answers only requests that name a loopback host."""
    if request.app[LOCAL] and not _loopback_host(request.host):
        raise web.HTTPMisdirectedRequest(text="421: this server answers for localhost only")
    return await handler(request)


def _loopback_host(host):
    name = host.rpartition(":")[0] if host.rpartition(":")[2].isdigit() and not host.endswith("]") else host
    name = name.strip("[]").lower()
    if name == "localhost" or name.endswith(".localhost"):
        return True
    try:
        return ipaddress.ip_address(name).is_loopback
    except ValueError:
        return False


# What a browser fetches without the login: the login form, the icon and the manifest (a browser
# asks for the manifest without the cookie).
_OPEN = frozenset(urls.url(name) for name in ("login", "favicon", "manifest"))


@web.middleware
async def _login_wall(request, handler):
    guard = request.app[GUARD]
    if guard is None or request.path in _OPEN or request.path.startswith(urls.static("")):
        return await handler(request)
    if request.path == urls.url("healthz") and health.is_loopback_address(request.remote):
        return await handler(request)   # a probe on this machine
    user = guard.session_user(request.cookies.get(auth_module.COOKIE))
    if user is None and "Authorization" in request.headers:
        try:
            user = await guard.basic_user(request.remote or "", request.headers["Authorization"])
        except auth_module.TooManyLogins as exc:
            raise web.HTTPTooManyRequests(text="429: %s" % exc, headers={"Retry-After": str(exc.seconds)}) from None
    if user is not None:
        request[USER] = user
        return await handler(request)
    if request.method == "GET" and urls.is_page(request.path) and "Authorization" not in request.headers:
        raise web.HTTPSeeOther(urls.url("login", query={"next": request.path_qs}))
    if request.path.startswith(urls.API):
        raise web.HTTPUnauthorized(text=json.dumps({"error": "a login is needed"}), content_type="application/json",
                                   headers={"WWW-Authenticate": 'Basic realm="quarrin", charset="UTF-8"'})
    raise web.HTTPUnauthorized(text="401: Unauthorized", headers={"WWW-Authenticate": 'Basic realm="quarrin", '
                                                                                      'charset="UTF-8"'})


@web.middleware
async def _error_pages(request, handler):
    """A page that cannot be shown answers with a page of the site saying why, with a way back; an
    API route answers in JSON, also for a path that is none of its routes."""
    try:
        return await handler(request)
    except web.HTTPException as exc:
        if exc.status < 400 or exc.content_type == "application/json":
            raise
        default = "%d: %s" % (exc.status, exc.reason)
        if request.path.startswith(urls.API):
            message = exc.text if exc.text and exc.text != default else exc.reason
            return web.Response(text=json.dumps({"error": message}), status=exc.status,
                                content_type="application/json", headers=_kept_headers(exc))
        if not _styled(request.path) or request.method not in ("GET", "HEAD"):
            raise
        detail = exc.text if exc.text and exc.text != default else None
        response = render(request, "error.html", status=exc.status, page="error", code=exc.status,
                          reason=exc.reason, detail=detail)
        response.headers.update(_kept_headers(exc))
        return response


def _kept_headers(exc):
    """What of an error's headers outlives its body (Allow, Retry-After, ...)."""
    return {k: v for k, v in exc.headers.items() if k.lower() not in ("content-type", "content-length")}


def _styled(path):
    """Whether an error at `path` is shown as a page: a page's path, not a file's (media, pictures,
    the static folder) nor a fragment's."""
    return urls.is_page(path) and not path.startswith((urls.static(""), urls.prefix("camera_card")))


# --- login ------------------------------------------------------------------------------------

def _next(target):
    """Where a login goes on to: a path of this site only. What is looked at is the Location
    header the redirect will carry: the URL library drops tabs and line breaks, which would make
    ``/<TAB>/elsewhere.example`` the address of another host, so a control character anywhere
    sends the login home."""
    if not target or "\\" in target or any(unicodedata.category(c) == "Cc" for c in target):
        return "/"
    location = urllib.parse.urlsplit(str(URL(target)))
    if location.scheme or location.netloc or not location.path.startswith("/") or location.path.startswith("//"):
        return "/"
    return target


async def login_form(request):
    return render(request, "login.html", next=_next(request.query.get("next")), failed=False)


async def login(request):
    try:
        form = await asyncio.wait_for(request.post(), BODY_SECONDS)
    except asyncio.TimeoutError:
        raise web.HTTPRequestTimeout(text="408: the form did not come in time", headers={"Connection": "close"}) \
            from None
    user, password = str(form.get("user", "")), str(form.get("password", ""))
    target = _next(str(form.get("next", "")))
    guard = request.app[GUARD]
    try:
        right = await guard.attempt(request.remote or "", user, password)
    except auth_module.TooManyLogins as exc:
        response = render(request, "login.html", next=target, failed=exc, user=user, status=429)
        response.headers["Retry-After"] = str(exc.seconds)
        return response
    if not right:
        return render(request, "login.html", next=target, failed=True, user=user, status=401)
    response = web.HTTPSeeOther(target)
    response.set_cookie(auth_module.COOKIE, guard.session(user), max_age=auth_module.SESSION_SECONDS, path="/",
                        httponly=True, samesite="Lax", secure=request.app[TLS])
    raise response


async def logout(request):
    response = web.HTTPSeeOther(urls.url("login"))
    response.del_cookie(auth_module.COOKIE, path="/")
    raise response


# --- the API ----------------------------------------------------------------------------------

def _json(data, status=200):
    return web.json_response(data, status=status, dumps=functools.partial(json.dumps, separators=(",", ":")))


def _bad(message):
    return web.HTTPBadRequest(text=json.dumps({"error": message}), content_type="application/json")


def _text(query, name):
    value = query.get(name, "").strip()
    return value or None


def _whole(query, name, default, low, high):
    text = query.get(name, "").strip()
    if not text:
        return default
    # ASCII digits only: int() would also read other scripts' digits (a fullwidth ５).
    if not (text.isascii() and text.isdigit()) or not low <= int(text) <= high:
        raise _bad("%s must be a whole number from %d to %d" % (name, low, high))
    return int(text)


def _window(query):
    """The `since` and `until` of a query, for the index (quarrin.index.time_window checks them,
    and leaves a bound at the calendar's edges open)."""
    return _text(query, "since"), _text(query, "until")


async def _found(request, fn, *args):
    try:
        return await _run(request, fn, *args)
    except UsageError as exc:
        raise _bad(str(exc)) from None
    except OverflowError:   # a time next to the calendar's edges, in another time zone
        raise _bad("since and until must be times from the year 1 to 9999") from None


async def api_cameras(request):
    return _json(await _run(request, request.app[VIEW].cameras))


async def api_events(request):
    q = request.query
    limit = _whole(q, "limit", 50, 1, API_LIMIT)
    offset = _whole(q, "offset", 0, 0, 10 ** 9)
    return _json(await _found(request, request.app[VIEW].events, _text(q, "camera"), *_window(q), limit, offset,
                              _text(q, "label"), *marks.filter_of(q)))


async def api_event(request):
    found = await _run(request, request.app[VIEW].event, request.match_info["id"])
    if found is None:
        raise web.HTTPNotFound(text=json.dumps({"error": "no such event"}), content_type="application/json")
    return _json(found)


async def api_recordings(request):
    q = request.query
    return _json(await _found(request, request.app[VIEW].recordings, _text(q, "camera"), *_window(q)))


async def api_storage(request):
    return _json(await _run(request, request.app[STORAGE].get))


def _not_found(message):
    return web.HTTPNotFound(text=json.dumps({"error": message}), content_type="application/json")


async def api_clip(request):
    """The event alone as a clip to download, made in a worker thread into a folder of its own that
    is removed once it is sent (or once a request given up on has its clip finished)."""
    import shutil
    import tempfile

    from quarrin import export

    ext = ".mkv" if request.match_info.route.name == "api_clip_mkv" else ".mp4"
    folder = tempfile.mkdtemp(prefix="quarrin-clip-")
    made = asyncio.get_running_loop().run_in_executor(request.app[CLIPS], request.app[VIEW].clip,
                                                      request.match_info["id"], os.path.join(folder, "clip" + ext))
    try:
        try:
            clip = await asyncio.shield(made)
        except export.NoRecording as exc:
            raise _not_found(str(exc)) from None
        except export.StillWriting as exc:
            raise web.HTTPServiceUnavailable(text=json.dumps({"error": str(exc)}), content_type="application/json",
                                             headers={"Retry-After": "10"}) from None
        except RecordingError as exc:
            raise web.HTTPInternalServerError(text=json.dumps({"error": str(exc)}),
                                              content_type="application/json") from None
        if clip is None:
            raise _not_found("no such event")
        event = await _run(request, request.app[VIEW].listed, request.match_info["id"])
        name = export.clip_name(clip.camera, event.event.start if event is not None else clip.first, ext)
        return await send_file(request, clip.path, CLIP_TYPES[ext], {
            "Content-Disposition": 'attachment; filename="%s"' % name, "Cache-Control": "no-store"})
    finally:
        made.add_done_callback(lambda _: shutil.rmtree(folder, ignore_errors=True))


# --- the icon, the manifest and a camera's card --------------------------------------------------

FAVICON = os.path.join(HERE, "static", "favicon.svg")
THEME = "#1d2330"   # the header's colour (style.css)


async def favicon(request):
    return web.FileResponse(FAVICON, headers={"Content-Type": "image/svg+xml", "Cache-Control": "max-age=86400"})


async def manifest(request):
    """The web app manifest: what a phone needs to put the view on its home screen."""
    icon = urls.url("favicon")
    body = {"name": "quarrin", "short_name": "quarrin", "description": "Recordings and their events",
            "start_url": urls.url("overview"), "scope": "/", "display": "standalone",
            "theme_color": THEME, "background_color": THEME,
            "icons": [{"src": icon, "sizes": "any", "type": "image/svg+xml", "purpose": "any"},
                      {"src": urls.static("icon-192.png"), "sizes": "192x192", "type": "image/png"},
                      {"src": urls.static("icon-512.png"), "sizes": "512x512", "type": "image/png"}]}
    return web.Response(text=json.dumps(body, indent=1), content_type="application/manifest+json",
                        headers={"Cache-Control": "no-cache"})


async def camera_card(request):
    """One camera's card as the overview shows it (templates/_camera.html), for the overview's
    JavaScript to add a camera that came with a reload of the service."""
    name = request.match_info["name"]
    found = next((c for c in await _run(request, request.app[VIEW].cameras) if c["name"] == name), None)
    if found is None:
        raise web.HTTPNotFound(text="no camera %r" % name[:80])
    text = request.app[TEMPLATES].get_template("_camera.html").module.card(found)
    return web.Response(text=str(text), content_type="text/html", headers={"Cache-Control": "no-store"})


# --- media and thumbnails ---------------------------------------------------------------------

async def media(request):
    found = await _run(request, request.app[VIEW].folders.locate, request.match_info["tail"])
    if found is None:
        raise web.HTTPNotFound()
    path, content_type = found
    return await send_file(request, path, content_type, {"Cache-Control": "no-cache"})


PLACEHOLDER = os.path.join(HERE, "static", "placeholder.svg")


async def thumbnail(request):
    view, thumbs = request.app[VIEW], request.app[THUMBS]
    listed = await _run(request, view.listed, request.match_info["id"])
    if listed is None:
        raise web.HTTPNotFound()
    jpeg = None
    e = listed.event
    if e.file and view.folders.served(e.file):
        jpeg = await asyncio.get_running_loop().run_in_executor(request.app[POOL], thumbs.get, listed.id, e.file,
                                                                e.first_frame)
    if jpeg is None:
        return web.FileResponse(PLACEHOLDER, headers={"Content-Type": "image/svg+xml", "Cache-Control": "no-cache"})
    return web.Response(body=jpeg, content_type="image/jpeg", headers={"Cache-Control": "private, max-age=3600"})


# --- pages ------------------------------------------------------------------------------------

def render(request, name, status=200, **values):
    text = request.app[TEMPLATES].get_template(name).render(request=request, signed_in=request.get(USER), **values)
    return web.Response(text=text, content_type="text/html", status=status)


# The days a page shows: its window, and the days before and after it, are all times.
FIRST_DAY, LAST_DAY = datetime.date(2, 1, 1), datetime.date(9998, 12, 31)


def _day(request, newest=None):
    """The day asked for; without one, `newest` (the newest day that has events) or today."""
    text = request.query.get("day", "").strip()
    if not text:
        return newest or datetime.date.today()
    try:
        if len(text) != 10:
            raise ValueError
        day = datetime.date.fromisoformat(text)
    except ValueError:
        raise web.HTTPBadRequest(text="day must be YYYY-MM-DD, not %r" % text[:40]) from None
    if not FIRST_DAY <= day <= LAST_DAY:
        raise web.HTTPBadRequest(text="day must be from %s to %s" % (FIRST_DAY, LAST_DAY))
    return day


def _link(route, **values):
    """The URL of the page `route` (its name in quarrin.web.urls) with `values` as its query, the
    empty ones left out."""
    return urls.url(route, query={k: v for k, v in values.items() if v not in (None, "")})


async def _newest(request, camera=None):
    """The start of the newest event (of `camera`), or None when there is none: footage recorded
    from files has its events on the files' days, which may be years before today."""
    found = await _run(request, request.app[VIEW].events, camera, None, None, 1, 0)
    if not found["events"]:
        return None
    moment = datetime.datetime.fromisoformat(found["events"][0]["start"]).replace(tzinfo=None)
    return moment if FIRST_DAY <= moment.date() <= LAST_DAY else None


async def _newest_day(request, camera=None):
    moment = await _newest(request, camera)
    return moment and moment.date()


async def overview(request):
    view = request.app[VIEW]
    cameras = await _run(request, view.cameras)
    newest = await _run(request, view.events, None, None, None, OVERVIEW_EVENTS, 0)
    day = await _newest_day(request)
    on_day = (await _run(request, view.events, None, day, day, 1, 0))["total"] if day else 0
    return render(request, "overview.html", page="overview", cameras=cameras, events=newest["events"],
                  today=datetime.date.today().isoformat(), newest_day=day, on_day=on_day)


async def events_page(request):
    view = request.app[VIEW]
    camera = _text(request.query, "camera")
    label = _text(request.query, "label")
    review = request.query.get("review", "").strip() or marks.DEFAULT_VIEW
    if review not in marks.REVIEW_VIEWS:
        raise web.HTTPBadRequest(text="review is one of %s" % ", ".join(marks.REVIEW_VIEWS))
    reviewed, kept = marks.REVIEW_VIEWS[review]
    number = _whole(request.query, "page", 1, 1, 10 ** 6)
    try:
        days = await _run(request, view.days, camera, label, reviewed, kept)
    except UsageError as exc:
        raise web.HTTPBadRequest(text=str(exc)) from None
    # Without a day asked for: the newest one that has events of the view (else of any review
    # state): footage of long ago opens on its day, not on an empty today.
    newest = days or (await _run(request, view.days, camera, label) if reviewed is not None or kept is not None
                      else [])
    day = _day(request) if request.query.get("day", "").strip() or not newest else \
        datetime.date.fromisoformat(newest[0][0])
    try:
        found = await _run(request, view.events, camera, day, day, PAGE_EVENTS, (number - 1) * PAGE_EVENTS, label,
                           reviewed, kept)
    except UsageError as exc:
        raise web.HTTPBadRequest(text=str(exc)) from None
    cameras = await _run(request, view.camera_names)
    labels = await _run(request, view.labels)
    unreviewed = await _run(request, view.unreviewed)
    if label is not None and label not in labels:
        labels = sorted(labels + [label])   # asked for, though none is listed: still shown as chosen
    pages = max(1, -(-found["total"] // PAGE_EVENTS))
    shown = None if review == marks.DEFAULT_VIEW else review
    link = functools.partial(_link, "events", camera=camera, label=label, review=shown)
    return render(request, "events.html", page="events", events=found["events"], total=found["total"],
                  number=number, pages=pages, camera=camera, day=day, cameras=cameras, label=label, labels=labels,
                  review=review, reviews=list(marks.REVIEW_VIEWS), unreviewed=unreviewed,
                  days=[(d, n, link(day=d)) for d, n in days],
                  previous_day=link(day=day - datetime.timedelta(days=1)),
                  next_day=link(day=day + datetime.timedelta(days=1)),
                  newer=link(day=day, page=number - 1) if number > 1 else None,
                  older=link(day=day, page=number + 1) if number < pages else None)


async def event_page(request):
    from quarrin.review import ReviewError

    view = request.app[VIEW]
    found = await _run(request, view.event, request.match_info["id"])
    if found is None:
        raise web.HTTPNotFound(text="404: Not Found")
    if not found["reviewed"]:   # opened: looked at (a folder that keeps no marks shows it all the same)
        try:
            await _run(request, view.mark, "reviewed", True, found["id"])
            found["reviewed"] = True
        except ReviewError:
            pass
    start = datetime.datetime.fromisoformat(found["start"])
    timeline = _link("timeline", camera=found["camera"], day=start.date(), zoom="hour", hour=start.hour)
    video_url = found["clip_url"] and found["clip_url"].partition("#")[0]
    return render(request, "event.html", page="event", event=found, video_url=video_url, timeline=timeline,
                  csv_url=video_url and csv_of(video_url))


AT_SLACK = datetime.timedelta(seconds=1)   # how far a start written in a list may be from the one told


async def event_at(request):
    """The event of `camera` that began at `start` (ISO, as a notification gives it): its page; one
    not listed yet (still recorded) is shown on the timeline at that time."""
    camera, start = request.query.get("camera", ""), request.query.get("start", "")
    try:
        moment = datetime.datetime.fromisoformat(start)
    except ValueError:
        raise web.HTTPBadRequest(text="400: start: expected a time such as 2026-12-09T10:56:03") from None
    if not camera:
        raise web.HTTPBadRequest(text="400: camera: missing")
    moment = moment.replace(tzinfo=None)
    found = await _run(request, request.app[VIEW].events, camera, moment - AT_SLACK, moment + AT_SLACK, 20, 0)
    near = [e for e in found["events"] if abs(datetime.datetime.fromisoformat(e["start"]) - moment) <= AT_SLACK]
    if near:
        best = min(near, key=lambda e: abs(datetime.datetime.fromisoformat(e["start"]) - moment))
        raise web.HTTPSeeOther(urls.url("event", id=best["id"]))
    raise web.HTTPSeeOther(_link("timeline", camera=camera, day=moment.date(), zoom="5min", hour=moment.hour,
                                 minute=moment.minute))


async def storage_page(request):
    found = await _run(request, request.app[STORAGE].get)
    return render(request, "storage.html", page="storage", storage=found)


# The timeline's zoom levels, widest first: their windows in seconds, and what a page calls them.
ZOOMS = {"day": 86400, "hour": 3600, "15min": 900, "5min": 300}
ZOOM_NAMES = {"day": "day", "hour": "hour", "15min": "15 min", "5min": "5 min"}


def _zoom_query(zoom, moment, camera=None):
    """The query of the timeline's window at `zoom` that holds `moment`."""
    query = {"camera": camera, "day": moment.date()}
    if zoom != "day":
        query.update(zoom=zoom, hour=moment.hour)
    if zoom in ("15min", "5min"):
        query["minute"] = moment.minute - moment.minute % (ZOOMS[zoom] // 60)
    return query


async def timeline_page(request):
    view = request.app[VIEW]
    camera = _text(request.query, "camera")
    zoom = request.query.get("zoom", "day")
    if zoom not in ZOOMS:
        raise web.HTTPBadRequest(text="zoom is one of " + ", ".join(ZOOMS))
    # Without a day: the newest event's day, and at a finer zoom the part of it that holds the event.
    newest = None if request.query.get("day", "").strip() else await _newest(request, camera)
    day = _day(request, newest and newest.date())
    start, _ = day_window(day)
    if newest is None or request.query.get("hour", "").strip():
        newest = datetime.datetime.combine(day, datetime.time())
    if zoom != "day":
        hour = _whole(request.query, "hour", newest.hour, 0, 23)
        minute = _whole(request.query, "minute", newest.minute, 0, 59) if zoom in ("15min", "5min") else 0
        start += datetime.timedelta(hours=hour, minutes=minute - minute % (ZOOMS[zoom] // 60))
    step = datetime.timedelta(seconds=ZOOMS[zoom])
    stop = start + step
    # Both bounds as moments: only what overlaps [start, stop).
    since, until = start, stop - datetime.timedelta(microseconds=1)
    spans = await _run(request, view.recordings, camera, since, until)
    marks = await _run(request, view.events, camera, since, until, TIMELINE_MARKS, 0)
    names = await _run(request, view.camera_names)
    bars = _bars([camera] if camera else names, start, stop, spans, marks["events"])
    link = functools.partial(_link, "timeline")
    levels = list(ZOOMS)
    wider = levels[levels.index(zoom) - 1] if zoom != "day" else None
    finer = levels[levels.index(zoom) + 1] if zoom != "5min" else None
    # Zooming in goes to the part of the window that holds its oldest event (or its start).
    focus = max(start, datetime.datetime.fromisoformat(marks["events"][-1]["start"])) if marks["events"] else start
    zooms = [(z, ZOOM_NAMES[z], link(**_zoom_query(z, focus if ZOOMS[z] < ZOOMS[zoom] else start, camera)))
             for z in levels]
    now = datetime.datetime.now()
    return render(request, "timeline.html", page="timeline", bars=bars, day=day, camera=camera, cameras=names,
                  zoom=zoom, zoom_name=ZOOM_NAMES[zoom], start=start, stop=stop,
                  hour=start.hour, minute=start.minute, zooms=zooms,
                  previous=link(**_zoom_query(zoom, start - step, camera)),
                  following=link(**_zoom_query(zoom, stop, camera)),
                  wider=wider and link(**_zoom_query(wider, start, camera)),
                  finer=finer and link(**_zoom_query(finer, focus, camera)),
                  ticks=_ticks(start, stop, zoom, camera), day_link=link(camera=camera, day=day),
                  truncated=marks["total"] > len(marks["events"]), total=marks["total"], marks=len(marks["events"]),
                  now=_share(now, start, stop) if start <= now < stop else None,
                  seconds=(stop - start).total_seconds())


def _share(moment, start, stop):
    """Where a moment lies in a window, in percent."""
    return round(100.0 * (moment - start).total_seconds() / (stop - start).total_seconds(), 4)


def _bars(names, start, stop, spans, events):
    """One bar per camera: its recorded spans and its events' marks, placed in percent."""
    window = (stop - start).total_seconds()
    bars = {name: {"camera": name, "spans": [], "marks": []} for name in names}

    def place(first, last):
        left = max(first, start)
        right = min(last, stop)
        return _share(left, start, stop), max(0.0, round(100.0 * (right - left).total_seconds() / window, 4))

    for s in spans:
        first, last = datetime.datetime.fromisoformat(s["start"]), datetime.datetime.fromisoformat(s["end"])
        left, width = place(first, last)
        bar = bars.setdefault(s["camera"], {"camera": s["camera"], "spans": [], "marks": []})
        bar["spans"].append(dict(s, left=left, width=width, first=(first - start).total_seconds(),
                                 last=(last - start).total_seconds()))
    for e in reversed(events):   # oldest first
        first, last = datetime.datetime.fromisoformat(e["start"]), datetime.datetime.fromisoformat(e["end"])
        left, width = place(first, last)
        bar = bars.setdefault(e["camera"], {"camera": e["camera"], "spans": [], "marks": []})
        title = "%s, %s" % (first.strftime("%H:%M:%S"), seconds_shown(e["seconds"]))
        if e.get("label"):
            title += ", " + e["label"]
        bar["marks"].append(dict(e, left=left, width=width, title=title, name="%s, %s" % (e["camera"], title)))
    return [bars[name] for name in sorted(bars)]


# Each zoom's labels: every so many minutes, and the finer zoom they lead to when clicked.
_TICKS = {"day": (180, "hour"), "hour": (15, "15min"), "15min": (5, "5min"), "5min": (1, None)}


def _ticks(start, stop, zoom, camera):
    """The labels along a timeline: (percent, text, link to zoom in or None)."""
    every, finer = _TICKS[zoom]
    ticks = []
    for m in range(0, int((stop - start).total_seconds()) // 60, every):
        moment = start + datetime.timedelta(minutes=m)
        zoomed = finer and _link("timeline", **_zoom_query(finer, moment, camera))
        ticks.append((_share(moment, start, stop), moment.strftime("%H:%M"), zoomed))
    return ticks


# --- how times are shown ----------------------------------------------------------------------

def when(text, today=None):
    """An ISO time as a page shows it: HH:MM:SS, with the day when it is not today."""
    if not text:
        return "—"
    moment = datetime.datetime.fromisoformat(text)
    if moment.date() == (today or datetime.date.today()):
        return moment.strftime("%H:%M:%S")
    return moment.strftime("%Y-%m-%d %H:%M:%S")


def stamp(text):
    """An ISO time to a tenth of a second: 2026-12-08 10:56:03.1."""
    moment = datetime.datetime.fromisoformat(text)
    return moment.strftime("%Y-%m-%d %H:%M:%S.") + "%d" % (moment.microsecond // 100000)


def seconds_shown(value):
    return "%.1f s" % float(value)


def size_shown(n):
    """Bytes as a page shows them: 1.5 GiB, 812.0 MiB, 0 B."""
    from quarrin.writers import show_size

    return show_size(int(n or 0), spelled=True)
