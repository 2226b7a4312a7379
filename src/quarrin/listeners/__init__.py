"""What a recording tells as it goes, to whoever listens: its motion events as they begin and end,
its segments as they close, a live source's signal lost and back.

A `Listener` overrides what it wants; every method does nothing by default. The recording's own
consumers are listeners too: the event list (quarrin.listeners.eventlist), the disk budget
(quarrin.listeners.budget) and the progress bar's signal display (quarrin.progress).

Threads: the recorder tells these things on the thread where they happen (the frame rules' or, in
the pipelined recorder, the writer's) and only queues them there; one thread of the recording's
own, ``quarrin-listen``, calls every listener, in the order the things happened and the listeners
were given, `close()` included. A slow listener (a file walk, a network call) delays the others,
never the recording. Everything is delivered, and every listener closed, before
``quarrin.record`` returns.

A listener that raises is told on the recording's `notify` in one line and gets no further call;
the recording goes on. One the recording cannot do without (its event list) stops it instead:
at its next frame written, or its next event, segment or signal, and ``quarrin.record`` raises
RecordingError saying why, with the files complete.
"""
import dataclasses
import datetime
import queue
import threading
import typing

from quarrin.results import Event, Segment


class Listener:
    """Receives a recording's events, segments and signal changes (see the module's docstring for
    the thread that calls them). Each method does nothing unless overridden."""

    def on_event_start(self, event: Event) -> None:
        """A motion event has begun: it has lasted --min-event and its first frame is written (in
        the pipelined recorder: handed to the writer). `event` is a `quarrin.Event` with the number
        it keeps, its start, first_frame and file; its end, seconds, last_frame and frames are None
        and its peak_area is the largest so far."""

    def on_event(self, event: Event) -> None:
        """A motion event has ended, as the event list lists it: a `quarrin.Event`."""

    def on_segment(self, segment: Segment) -> None:
        """A segment's video and timestamps CSV are closed and complete: a `quarrin.Segment`."""

    def on_signal(self, kind: str, time: datetime.datetime) -> None:
        """A live source's signal: `kind` "lost" or "back", `time` a datetime. The recording prints
        its line ("Signal lost at ...") as well."""

    def close(self) -> None:
        """The recording has ended and everything was delivered: the last call."""

    def hurry(self) -> None:
        """Called (on another thread) when a second Ctrl-C or SIGTERM comes while the listeners
        are still being told: cut short what takes long (a command still running)."""


@dataclasses.dataclass(frozen=True)
class Notifier:
    """A kind of listener that tells others of the events (a command, a broker, ...), as its module
    declares it for the registry (quarrin.listeners.registry), which the option table, the command
    line, a cameras file and the service all read.

    `switch` is the option that turns it on (a camera's empty text turns it off again);
    `option_rows(options)` its rows of the option table, made with that module's Option and
    checks; `notify_keys` and `camera_keys` a cameras file's keys of the [notify] table and of a
    camera's own table, and the options they give; `make(opts, camera, notify, log)` the listener
    for checked options; `drain(opts)` the seconds it may still need once the recording stops;
    `check(opts)` refuses (UsageError) what its rows cannot tell alone; `table(keywords)` looks at
    a cameras file's keywords for a camera together (it may drop one it does not want) and
    returns an error line, or None."""
    name: str
    switch: str
    option_rows: typing.Callable
    notify_keys: dict
    camera_keys: dict
    make: typing.Callable
    drain: typing.Callable
    check: typing.Optional[typing.Callable] = None
    table: typing.Optional[typing.Callable] = None

    @property
    def options(self):
        """The names of its options."""
        return tuple(dict.fromkeys(list(self.notify_keys.values()) + list(self.camera_keys.values())))


class Callbacks(Listener):
    """Plain callables as a listener: on_event_start(event), on_event(event), on_segment(segment),
    on_signal(kind, time); None for those not wanted."""

    def __init__(self, on_event_start=None, on_event=None, on_segment=None, on_signal=None):
        self._calls = {"on_event_start": on_event_start, "on_event": on_event, "on_segment": on_segment,
                       "on_signal": on_signal}

    def on_event_start(self, event):
        self._call("on_event_start", event)

    def on_event(self, event):
        self._call("on_event", event)

    def on_segment(self, segment):
        self._call("on_segment", segment)

    def on_signal(self, kind, time):
        self._call("on_signal", kind, time)

    def _call(self, name, *args):
        if self._calls[name] is not None:
            self._calls[name](*args)

    def describe(self):
        return ", ".join("%s=%s" % (k, getattr(f, "__qualname__", f)) for k, f in self._calls.items() if f is not None)


class ListenerFailed(Exception):
    """A listener the recording cannot do without failed: the recording stops."""


class Died(Exception):
    """A thread of a listener's own ended before it could do its work (memory ran out, say): the
    recording goes on, and its result is a failure that says so."""


def describe(listener):
    """How a listener is named in a message."""
    text = getattr(listener, "describe", None)
    return text() if callable(text) else repr(listener)


_END = object()


class Dispatcher:
    """The recording's listeners, called on one thread of their own (``quarrin-listen``).

    The engine's callbacks (`callbacks()`) only queue what it reports; the thread makes
    quarrin.Event and quarrin.Segment objects of it and tells every listener. `close()` waits until
    everything queued has been delivered and each listener closed. A listener that raises gets no
    further call: `notify` is told in one line, or, for one of `essential`, `failure` says why and
    the recording stops at its next callback (or frame written: `stopped`). `event_of` makes a
    quarrin.Event of the recorder's (on the listeners' thread, before any listener is told)."""

    def __init__(self, listeners, notify, essential=(), event_of=Event.of):
        self.listeners = list(listeners)
        self._event_of = event_of
        self.notify, self.essential = notify, list(essential)
        self.failure = None         # ListenerFailed of an essential listener
        self.lost = None            # what a listener could not do (Died, MemoryError): the result fails
        self._dropped = set()       # indexes of listeners that raised
        self._queue = queue.Queue()
        self._thread = None
        if self.listeners:
            self._thread = threading.Thread(target=self._work, name="quarrin-listen", daemon=True)
            self._thread.start()

    def callbacks(self):
        """The engine's keyword arguments (none without listeners): each call queues what it
        reports, in order."""
        if not self.listeners:
            return {}
        return {"on_event_start": self._event_start, "on_event": self._event, "on_segment": self._segment,
                "on_signal": self._signal}

    def stopped(self):
        """What stops the recording (ListenerFailed), or None."""
        if self.failure is None:
            return None
        stop = ListenerFailed(str(self.failure))
        stop.__cause__ = self.failure.__cause__
        return stop

    def _put(self, method, made, *args):
        stop = self.stopped()
        if stop is not None:
            raise stop
        self._queue.put((method, made, args))

    def _event_start(self, event):
        self._put("on_event_start", self._event_of, event)

    def _event(self, event):
        self._put("on_event", self._event_of, event)

    def _segment(self, written):
        self._put("on_segment", Segment.of, written)

    def _signal(self, kind, time):
        self._put("on_signal", None, kind, time)

    def ended(self, event, listeners):
        """Tells `listeners` (some of this dispatcher's) that `event` (a quarrin.Event) has ended:
        one an earlier recording left open when it died, listed since from the frames on disk."""
        self._queue.put(("on_event", None, (event,), frozenset(map(id, listeners))))

    def hurry(self):
        """Has every listener cut short what takes long (Listener.hurry); a failure is ignored."""
        for listener in self.listeners:
            try:
                getattr(listener, "hurry", lambda: None)()
            except Exception:
                pass

    def close(self):
        """Delivers everything queued, closes each listener (on the listeners' thread), and waits
        for that."""
        if self._thread is not None:
            self._queue.put((_END, None, ()))
            self._thread.join()
            self._thread = None

    def _work(self):
        try:
            while True:
                method, made, args, *only = self._queue.get()
                if method is _END:
                    break
                try:
                    told = (made(*args),) if made is not None else args
                except Exception as exc:  # what the recorder reported does not make one: say so, go on
                    self._tell("Could not tell the listeners %s (%s: %s)" % (method, type(exc).__name__, exc))
                    continue
                self._deliver(method, told, *only)
            self._deliver("close", ())
        except BaseException as exc:  # this thread itself: nothing more is told, and the recording stops
            failed = ListenerFailed("the listeners' thread ended (%s)" % type(exc).__name__)
            failed.__cause__ = exc
            self.failure = self.failure or failed

    def _deliver(self, method, args, only=None):
        for number, listener in enumerate(self.listeners):
            if number in self._dropped or only is not None and id(listener) not in only:
                continue
            try:
                getattr(listener, method)(*args)
            except BaseException as exc:  # on this thread, whatever it is, it concerns that listener only
                self._dropped.add(number)
                reason = "%s: %s" % (type(exc).__name__, exc) if str(exc) else type(exc).__name__
                if isinstance(exc, (Died, MemoryError)) and self.lost is None:
                    self.lost = ListenerFailed("%s failed (%s)" % (describe(listener), reason))
                    self.lost.__cause__ = exc
                if listener in self.essential:
                    if self.failure is None:
                        failed = ListenerFailed("%s failed (%s)" % (describe(listener), reason))
                        failed.__cause__ = exc
                        self.failure = failed
                    continue
                self._tell("Listener %s failed (%s); it is called no more" % (describe(listener), reason))

    def _tell(self, line):
        try:
            self.notify(line)
        except Exception:
            pass
