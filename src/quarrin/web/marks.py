"""What the web view changes: an event's review marks (reviewed, kept) and the deletion of an
event, as JSON routes, and the rule every change keeps to: it comes from a page of this site.

A change (any method but GET, HEAD and OPTIONS) whose `Origin` (or, without one, `Referer`) names
another host is refused with 403 before it is looked at; a client that sends neither (a script,
curl) is no browser led there by another site, and is answered. The session cookie stays
SameSite=Lax besides. Every refusal is JSON: {"error": why}, 404 for an unknown id, 409 for what
cannot be changed (a review file that cannot be written, a kept event, a list being recorded).
"""
import asyncio
import json

from aiohttp import web

from quarrin.errors import UsageError
from quarrin.web import app as web_app

SAFE_METHODS = frozenset(("GET", "HEAD", "OPTIONS"))
# What a filter of POST /api/events/review may hold, as the events page filters.
FILTER_KEYS = frozenset(("camera", "label", "day", "since", "until"))


def error(status, message, **more):
    """A JSON refusal: an HTTPException of that status with {"error": message}."""
    kind = {400: web.HTTPBadRequest, 403: web.HTTPForbidden, 404: web.HTTPNotFound, 409: web.HTTPConflict}[status]
    return kind(text=json.dumps(dict(more, error=message)), content_type="application/json")


# --- the same origin --------------------------------------------------------------------------
# One rule for every change (quarrin.web.health.same_origin): its Origin, else its Referer, names
# this site. A request with neither comes from no browser page (a script): it is answered, but for
# the switches of a camera, which ask for one of them.

@web.middleware
async def origin_wall(request, handler):
    from quarrin.web.app import TLS
    from quarrin.web.health import same_origin

    if request.method not in SAFE_METHODS and not same_origin(request, request.app[TLS], missing=True):
        raise error(403, "refused: the request does not come from a page of this site (its Origin or Referer "
                         "header must name %s)" % request.host)
    return await handler(request)


# --- review marks -----------------------------------------------------------------------------

async def _mark(request, flag, on, id=None, **filters):
    from quarrin.review import ReviewError

    view = request.app[web_app.VIEW]
    try:
        changed = await web_app._run(request, lambda: view.mark(flag, on, id, **filters))
    except ReviewError as exc:
        raise error(409, str(exc)) from None
    except UsageError as exc:
        raise error(400, str(exc)) from None
    if changed is None:
        raise error(404, "no such event")
    return changed


async def review_one(request):
    """POST /api/events/{id}/review: the event is reviewed."""
    id = request.match_info["id"]
    changed = await _mark(request, "reviewed", True, id)
    return web_app._json({"id": id, "reviewed": True, "changed": changed})


async def review_all(request):
    """POST /api/events/review: every event of the filter in the JSON body is reviewed."""
    try:
        body = await asyncio.wait_for(request.text(), web_app.BODY_SECONDS)
        given = json.loads(body) if body.strip() else {}
    except asyncio.TimeoutError:
        raise error(400, "the body did not come in time") from None
    except (ValueError, UnicodeDecodeError):
        raise error(400, "the body must be a JSON object of camera, label, day, since and until") from None
    if not isinstance(given, dict) or set(given) - FILTER_KEYS:
        raise error(400, "the body must be a JSON object of camera, label, day, since and until, not %s"
                    % ", ".join(sorted(set(given) - FILTER_KEYS)) if isinstance(given, dict) else
                    "the body must be a JSON object of camera, label, day, since and until")
    values = {}
    for key, value in given.items():
        if value is not None and not isinstance(value, str):
            raise error(400, "%s must be text" % key)
        values[key] = value.strip() if value and value.strip() else None
    since, until = values.get("since"), values.get("until")
    if values.get("day"):
        if since or until:
            raise error(400, "give day, or since and until, not both")
        since = until = values["day"]
    changed = await _mark(request, "reviewed", True, None, camera=values.get("camera"), since=since, until=until,
                          label=values.get("label"))
    return web_app._json({"reviewed": True, "changed": changed})


async def keep(request):
    """POST /api/events/{id}/keep keeps the event from the disk budget, DELETE lets it go."""
    id = request.match_info["id"]
    on = request.method == "POST"
    changed = await _mark(request, "kept", on, id)
    return web_app._json({"id": id, "kept": on, "changed": changed})


async def delete(request):
    """DELETE /api/events/{id}: the event is deleted (quarrin.web.data.delete_event)."""
    from quarrin.review import ReviewError
    from quarrin.web.data import Refused

    view = request.app[web_app.VIEW]
    try:
        done = await web_app._run(request, view.delete, request.match_info["id"])
    except (Refused, ReviewError) as exc:
        raise error(409, str(exc)) from None
    if done is None:
        raise error(404, "no such event")
    return web_app._json(dict(done, deleted=True))


def filter_of(query):
    """(reviewed, kept) of a query's `reviewed=0|1` and `kept=0|1` (None where not given)."""
    found = []
    for name in ("reviewed", "kept"):
        text = query.get(name, "").strip()
        if text not in ("", "0", "1"):
            raise error(400, "%s must be 0 or 1" % name)
        found.append(None if not text else text == "1")
    return tuple(found)


# The events page's views by review state: (reviewed, kept) of each.
REVIEW_VIEWS = {"unreviewed": (False, None), "reviewed": (True, None), "kept": (None, True), "all": (None, None)}
DEFAULT_VIEW = "unreviewed"


def add_routes(router, urls):
    router.add_post(urls.PATHS["api_review_all"], review_all, name="api_review_all")
    router.add_post(urls.PATHS["api_review"], review_one, name="api_review")
    keeping = router.add_resource(urls.PATHS["api_keep"], name="api_keep")
    keeping.add_route("POST", keep)
    keeping.add_route("DELETE", keep)
    router.add_delete(urls.PATHS["api_event"], delete, name="api_delete")
