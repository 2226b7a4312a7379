"""Telling people of a recording's motion events: push notifications through Apprise (the
notify_urls option: ntfy, Telegram, e-mail, a JSON or form POST to a web hook, ...), a listener of
the recording (quarrin.listeners). The listeners' thread only queues a notification; a thread of
its own sends it, so that a slow or unreachable service holds up neither the other listeners nor
the recording.
"""
import datetime
import queue
import re
import threading
import time
from urllib.parse import quote, urlsplit

from quarrin.errors import UsageError, named
from quarrin.listeners import Listener, Notifier

WHEN = ("start", "end")


def option_rows(o):
    """Its rows of the option table (`o`: quarrin.options)."""
    return (
        # The keyword is not notify: quarrin.record's notify is the callable told of the recording's lines.
        o.Option("notify_urls", (), urls, "send a notification of each event (its title, time, length, zones, "
                 "picture and link) to this Apprise URL (ntfy://, tgram://, mailto://, json://HOST/PATH, ...); "
                 "repeat for more; needs quarrin[notify]", "URL", "notify", batch=False, repeat=True, shown="none",
                 spelled="notify", needs_motion="tells of motion events; it needs %s" % named("motion")),
        o.Option("notify_when", "start", o.one_of(*WHEN), "start: notify as an event begins (with objects: as "
                 "they confirm it), with its picture when one exists by then; end: as it ends, with the "
                 "event's picture and length", "WHEN", "notify", batch=False),
        o.Option("notify_cooldown", 60.0, o.number(high=86400), "after a notification, send none for the camera's "
                 "events of the next SECONDS (0 or more)", "SECONDS", "notify", batch=False),
        o.Option("notify_labels", None, o.objects, "notify only of the events with one of these labels (an "
                 "object detector's), e.g. person,car", "LABELS", "notify", batch=False, shown="every event"),
        o.Option("public_url", None, public_url, "the web view's address as the notified see it "
                 "(https://HOST[:PORT][/PATH]): a notification links to the camera's events of that day",
                 "URL", "notify", batch=False, shown="no link"),
    )


def urls(name, value):
    """Apprise URLs: one text or a list of them; each must be one that a plugin reads (the
    library must be installed). A message shows them masked (`shown`)."""
    if isinstance(value, str):
        value = [value]
    if not isinstance(value, (list, tuple)) or not all(isinstance(v, str) for v in value):
        raise UsageError(name, "...", "expected Apprise URLs, e.g. ntfy://TOPIC")
    given = tuple(v.strip() for v in value)
    if not given:
        return ()
    try:
        import apprise
    except ImportError:
        raise UsageError(name, shown(given[0]), "needs Apprise: pip install 'quarrin[notify]'") from None
    _quiet(apprise)
    for url in given:
        if "://" not in url or apprise.Apprise.instantiate(url) is None:
            raise UsageError(name, shown(url), "is no URL of a notification service Apprise knows "
                                                "(SERVICE://..., e.g. ntfy://TOPIC)")
    return given


def public_url(name, value):
    """The web view's address: an http:// or https:// URL with a host, no query or fragment."""
    if not isinstance(value, str):
        raise UsageError(name, value, "expected an http:// or https:// URL")
    try:
        parts = urlsplit(value.strip())
        _ = parts.port   # a port that is no number raises
    except ValueError:
        raise UsageError(name, value, "expected an http:// or https:// URL") from None
    if parts.scheme.lower() not in ("http", "https") or not parts.hostname or parts.query or parts.fragment \
            or parts.username is not None:
        raise UsageError(name, value, "expected http(s)://HOST[:PORT][/PATH], without user, query or fragment")
    return value.strip().rstrip("/")


def shown(url):
    """An Apprise URL as it may be shown anywhere: as Apprise itself masks it (its tokens and
    passwords cut down), else only its scheme."""
    from quarrin.options import shown_source

    text = str(url)
    try:
        import apprise

        _quiet(apprise)
        plugin = apprise.Apprise.instantiate(text)
        if plugin is not None:   # without its settings (Apprise's defaults, mostly); its "a...z" cuts masked whole
            return re.sub(r"[^/:@?&=]\.\.\.[^/:@?&=]", "***", plugin.url(privacy=True).split("?", 1)[0])
    except Exception:   # no library, or one that cannot mask it: show less
        pass
    scheme = text.split("://", 1)[0] if "://" in text else ""
    return shown_source(scheme + "://***") if scheme else "***"


def _quiet(apprise):
    """Apprise's own log lines are not this program's to print: a failure is one line of ours."""
    import logging

    logger = logging.getLogger(apprise.__name__)
    if not any(isinstance(h, logging.NullHandler) for h in logger.handlers):
        logger.addHandler(logging.NullHandler())
    logger.propagate = False


def where(plugin):
    """A service as a failure names it: its kind, and its host where Apprise shows that unmasked
    (a host that is a token, as some services' are, is not shown)."""
    try:
        host = urlsplit(plugin.url(privacy=True)).hostname
    except Exception:
        host = None
    name = getattr(plugin, "service_name", None) or type(plugin).__name__
    port = getattr(plugin, "port", None)
    if not host or host != (getattr(plugin, "host", None) or "").lower():
        return str(name)
    return "%s %s%s" % (name, "[%s]" % host if ":" in host else host, ":%d" % port if port else "")


def title(event, camera):
    """``Motion at door``; with an object's label, ``Person at door``."""
    label = event.label.strip() if event.label else ""
    return "%s at %s" % (label[:1].upper() + label[1:] if label else "Motion", camera)


def body(event, kind, link=None):
    """What is said of the event: its time, its length (at its end), its zones, the link."""
    lines = ["%s %s" % ("Began" if kind == "start" else "At", event.start.strftime("%Y-%m-%d %H:%M:%S"))]
    if kind == "end" and event.seconds is not None:
        lines.append("Lasted %.1f s" % event.seconds)
    if event.label and event.score is not None:
        lines.append("%s (score %.2f)" % (event.label, event.score))
    if event.zones:
        lines.append("Zones: %s" % ", ".join(event.zones))
    if link:
        lines.append(link)
    return "\n".join(lines)


def link(base, camera, start):
    """The web view's link to the camera's event that began at `start` (a datetime): the view finds
    it by those (an event's own page is named by the index of the folders the view serves, which
    a recorder does not know) and shows the timeline at that time while it is still recorded."""
    if not base:
        return None
    if start is None:
        return "%s/events?camera=%s" % (base, quote(camera, safe=""))
    return "%s/events/at?camera=%s&start=%s" % (base, quote(camera, safe=""),
                                               quote(start.isoformat(timespec="seconds"), safe=""))


SEND_WAIT = 10.0     # seconds the notifications still queued at the end are given


class Push(Listener):
    """Sends a notification of each event (as it begins, or as it ends: `when`) to every Apprise
    URL of `urls`, with its picture attached when there is one; `labels` (None: every event) the
    only labels told of; after one, the events of the next `cooldown` seconds are not told. A
    service that fails is a line, once until it takes one again; the recording goes on."""

    def __init__(self, urls, camera, notify, when="start", cooldown=60.0, labels=None, public=None, log=None):
        import apprise

        _quiet(apprise)
        self.camera, self.notify, self.log = camera, notify, log or _drop
        self.when, self.cooldown, self.labels, self.public = when, float(cooldown), labels, public
        self.services = [apprise.Apprise.instantiate(url) for url in urls]
        self._apprise = apprise
        self._down = set()       # indexes of the services whose outage was said
        self._last = None        # time.monotonic() of the last notification queued
        self._queue = queue.Queue()
        self._thread = threading.Thread(target=self._work, name="quarrin-notify", daemon=True)
        self._thread.start()

    def describe(self):
        return "the notifications to %s" % ", ".join(where(s) for s in self.services)

    def on_event_start(self, event):
        if self.when == "start":
            self._tell(event, "start")

    def on_event(self, event):
        if self.when == "end":
            self._tell(event, "end")

    def _tell(self, event, kind):
        if self.labels is not None and not set(self.labels) & _labels_of(event):
            return
        now = time.monotonic()
        if self._last is not None and now - self._last < self.cooldown:
            self.log("notify: event %d not sent: %g s after the last notification" % (event.event, now - self._last))
            return
        self._last = now
        start = event.start if isinstance(event.start, datetime.datetime) else None
        told = body(event, kind, link(self.public, self.camera, start))
        self._queue.put((event.event, title(event, self.camera), told, event.snapshot_path()))

    def _work(self):
        while True:
            item = self._queue.get()
            if item is None:
                return
            try:
                self._send(*item)
            except Exception as exc:   # this thread must go on for the next events
                self.notify("Notification of event %d failed (%s)" % (item[0], type(exc).__name__))

    def _send(self, number, head, text, picture):
        for index, service in enumerate(self.services):
            attach = self._apprise.AppriseAttachment(picture) if picture else None
            try:
                sent = service.notify(body=text, title=head, attach=attach)
            except Exception:
                sent = False
            if sent:
                self._down.discard(index)
            elif index not in self._down:
                self._down.add(index)
                self.notify("Notification service %s did not take the notification of event %d: notifications "
                            "to it are dropped until it takes one" % (where(service), number))

    def hurry(self):
        """Drops the notifications not yet sent."""
        self._drop_queued()

    def _drop_queued(self):
        """Takes the notifications not yet sent off the queue (its end kept); how many."""
        dropped = 0
        try:
            while True:
                if self._queue.get_nowait() is not None:
                    dropped += 1
        except queue.Empty:
            pass
        self._queue.put(None)
        return dropped

    def close(self):
        self._queue.put(None)
        self._thread.join(SEND_WAIT)
        if self._thread.is_alive():
            # Dropped, as said: the thread ends once the service answers the one it is sending.
            dropped = self._drop_queued()
            self.notify("The notifications still queued after %g s are not sent (%d)" % (SEND_WAIT, dropped))


def _labels_of(event):
    found = {event.label} if event.label else set()
    found.update(getattr(d, "label", None) for d in event.detections)
    return found


def _drop(line):
    pass


NOTIFIER = Notifier(
    name="push", switch="notify_urls", option_rows=option_rows,
    notify_keys={"urls": "notify_urls", "when": "notify_when", "cooldown": "notify_cooldown",
                 "labels": "notify_labels", "public_url": "public_url"},
    camera_keys={"notify": "notify_urls", "notify_when": "notify_when", "notify_cooldown": "notify_cooldown",
                 "notify_labels": "notify_labels"},
    make=lambda opts, camera, notify, log: Push(opts.notify_urls, camera, notify, opts.notify_when,
                                                opts.notify_cooldown, opts.notify_labels, opts.public_url, log),
    drain=lambda opts: SEND_WAIT)
