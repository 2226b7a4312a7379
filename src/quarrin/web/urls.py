"""The web view's routes, each path written once and named: the app adds them by these names, and
everything that links to a page, a picture or a stream builds its URL here (`url`), so that the
templates, the API's answers and the JavaScript never spell a path of their own."""
import urllib.parse

PATHS = {
    "overview": "/",
    "events": "/events",
    "event_at": "/events/at",
    "event": "/events/{id}",
    "timeline": "/timeline",
    "storage": "/storage",
    "api_cameras": "/api/cameras",
    "api_events": "/api/events",
    "api_event": "/api/events/{id}",
    "api_clip_mp4": "/api/events/{id}/clip.mp4",
    "api_clip_mkv": "/api/events/{id}/clip.mkv",
    "api_recordings": "/api/recordings",
    "api_storage": "/api/storage",
    "api_review": "/api/events/{id}/review",
    "api_review_all": "/api/events/review",
    "api_keep": "/api/events/{id}/keep",
    "media": "/media/{tail:.*}",
    "thumb": "/thumbs/{id}.jpg",
    "static": "/static",
    "login": "/login",
    "logout": "/logout",
    "favicon": "/favicon.svg",
    "manifest": "/manifest.webmanifest",
    "camera_card": "/fragments/cameras/{name}",
    "live_image": "/live/{name}.jpg",
    "live_stream": "/live/{name}.mjpg",
    "live": "/live",
    "live_camera": "/live/{name}",
    "api_camera_disable": "/api/cameras/{name}/disable",
    "api_camera_enable": "/api/cameras/{name}/enable",
    "healthz": "/healthz",
    "metrics": "/metrics",
}


# What the pages' JavaScript links to, handed to it by name (base.html's data-routes).
PAGE_ROUTES = {name: PATHS[name] for name in ("event", "events", "timeline", "api_events", "api_cameras")}
PAGE_ROUTES["placeholder"] = PATHS["static"] + "/placeholder.svg"
PAGE_ROUTES.update((name, PATHS[name]) for name in ("live_camera", "api_camera_disable", "api_camera_enable",
                                                    "camera_card", "api_event", "api_review", "api_review_all",
                                                    "api_keep"))
API = "/api/"  # every route named api_* lies below it


def prefix(route):
    """The fixed start of `route`'s path, before its first {part}."""
    return PATHS[route].split("{")[0]


def is_page(path):
    """Whether `path` is one of the pages a person opens: not the API, the media or a thumbnail
    (a request for those without a login is refused rather than sent to the login page), nor a
    fragment of a page the JavaScript fetches, nor the health and metrics a monitor reads."""
    return not path.startswith((API, prefix("media"), prefix("thumb"), prefix("camera_card"))) \
        and path not in (PATHS["healthz"], PATHS["metrics"])


def url(route, /, query=None, **parts):
    """The URL of `route` (its name) with its {parts} filled in (each quoted as one path segment) and
    `query` (a dict; None values left out) after it."""
    path = PATHS[route].format(**{k: urllib.parse.quote(str(v), safe="") for k, v in parts.items()})
    if query:
        kept = {k: v for k, v in query.items() if v is not None}
        if kept:
            path += "?" + urllib.parse.urlencode(kept)
    return path


def static(file):
    """The URL of a file of the static folder."""
    return url("static") + "/" + urllib.parse.quote(file)
