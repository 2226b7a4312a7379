"""The cameras of a service, each recording in a process of its own, watched and restarted.

Each camera's recorder is a worker process (quarrin.processes) running ``recording.prepare`` and
``recording.run`` as ``quarrin record`` does. It tells the service how it goes through memory the
two share (frames read and saved, when it last made progress, whether a page watches its live
image) and, for what is rare (a line, an event, a signal lost or back, a live image, its error),
through a pipe.

A recorder that ends with failure, or makes no progress for longer than its `stall` and MARGIN
(while its source is lost: while it may still be trying to open it again), is killed if need be,
the files it was writing are repaired as ``quarrin check --repair`` does, and it is started again
after 1, 2, 4, ... up to 60 s. One that ends with success (its `duration`) is stopped and stays
so. `stop` ends each as SIGTERM ends ``quarrin record``: its files finalised. A camera disabled
(from the web view) is stopped the same way and stays so, across a restart of the service too
(quarrin.service.state), until it is enabled again.
"""
import datetime
import os
import signal
import sys
import threading
import time

MARGIN = 5.0                   # seconds of no progress past `stall` before a recorder counts as hung
FIRST_BACKOFF, MAX_BACKOFF = 1.0, 60.0
STEADY = 60.0                  # seconds of recording after which the next failure waits FIRST_BACKOFF again
TICK = 0.25                    # how often the supervisor looks
RECONNECT_WAIT = 30.0          # the longest a recorder waits between two tries of a lost source
STOP_WAIT = 15.0               # seconds a recorder gets to finish its files after SIGTERM, past its stall
WATCH_SECONDS = 10.0           # a live image asked for keeps the camera's live view on this long
TERMINATED = 128 + signal.SIGTERM

# The memory a recorder shares with the service: what it has done, and what the service asks.
READ, SAVED, BEAT, LAST_FRAME, WATCHED = range(5)


# ---- the recorder process -------------------------------------------------------------------------

class _Pipe:
    """The recorder's end of its pipe. What its threads send is queued and sent by a thread of its
    own, so that a service slow to read never holds up a frame; of the live images only the newest
    waits. A service gone is ignored."""

    def __init__(self, conn):
        self.conn = conn
        self.ready = threading.Condition()
        self.messages, self.image, self.busy = [], None, False
        threading.Thread(target=self._work, name="quarrin-feed", daemon=True).start()

    def send(self, *message):
        with self.ready:
            if message[0] == "live":
                self.image = message
            else:
                self.messages.append(message)
            self.ready.notify_all()

    def flush(self, timeout=5.0):
        """Waits until everything queued was sent (at most `timeout` seconds)."""
        with self.ready:
            self.ready.wait_for(lambda: not (self.messages or self.image or self.busy), timeout)

    def _work(self):
        while True:
            with self.ready:
                self.ready.wait_for(lambda: self.messages or self.image)
                batch, self.messages = self.messages + [self.image] * (self.image is not None), []
                self.image, self.busy = None, True
            try:
                for message in batch:
                    self.conn.send(message)
            except (OSError, ValueError):
                return
            finally:
                with self.ready:
                    self.busy = False
                    self.ready.notify_all()


def _feed(pipe):
    from quarrin.listeners import Listener

    class Feed(Listener):
        def describe(self):
            return "the service's feed"

        def on_event_start(self, event):
            pipe.send("event", event.start.isoformat(), None)

        def on_event(self, event):
            pipe.send("event", event.start.isoformat(), event.end.isoformat())

        def on_signal(self, kind, time):
            pipe.send("signal", kind, time.isoformat())

        def on_segment(self, segment):   # the service's storage budget looks again
            pipe.send("segment", segment.video)

    return Feed()


def _tap(reader, shared, pipe, width, fps):
    """Has `reader` hand the service a JPEG of a frame, at most `fps` a second and no wider than
    `width`, while a page watches (and touch the heartbeat at each try to open it)."""
    read, opened = reader.read, reader.open
    picture = getattr(reader, "picture", None) or (lambda got: got[0])
    due = [0.0]

    def tapped():
        got = read()
        if got is not None and shared[WATCHED]:
            now = time.monotonic()
            image = picture(got) if now >= due[0] else None
            if image is not None:
                due[0] = now + 1.0 / fps
                pipe.send("live", _jpeg(image, width))
        return got

    def open_(timeout=None):
        shared[BEAT] = time.monotonic()
        try:
            return opened(timeout)
        finally:
            shared[BEAT] = time.monotonic()

    reader.read, reader.open = tapped, open_


def _jpeg(frame, width):
    import cv2

    if frame.shape[1] > width:
        height = max(1, round(frame.shape[0] * width / frame.shape[1]))
        frame = cv2.resize(frame, (width, height), interpolation=cv2.INTER_AREA)
    return cv2.imencode(".jpg", frame, [cv2.IMWRITE_JPEG_QUALITY, 80])[1].tobytes()


def _stop_with_the_service():
    """A recorder whose service is gone (killed outright) stops as SIGTERM stops it, its files
    finalised. Its parent is the fork server, which lives as long as any recorder does, so the
    service is watched through the pipe multiprocessing keeps to it."""
    import multiprocessing

    parent = multiprocessing.parent_process()
    if parent is None:
        return

    def watch():
        from multiprocessing.connection import wait

        wait([parent.sentinel])
        os.kill(os.getpid(), signal.SIGTERM)

    threading.Thread(target=watch, name="quarrin-parent", daemon=True).start()


def _terminate(signum, frame):
    signal.signal(signal.SIGTERM, signal.SIG_IGN)
    raise KeyboardInterrupt


def record(camera, conn, shared, others=(), ended=()):
    """A recorder process's work: `camera` (quarrin.service.config.Camera) recorded until it ends, SIGTERM
    or a failure; exits 0 done, 1 failed, 143 stopped. `others` are the other cameras' outputs,
    `ended` the events the recorder before this one left open, listed since (their end is told
    first)."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)       # Ctrl-C is the service's to act on
    signal.signal(signal.SIGTERM, _terminate)
    _stop_with_the_service()
    pipe = _Pipe(conn)
    shared[BEAT] = time.monotonic()
    try:
        status = _record(camera, pipe, shared, others, ended)
    except KeyboardInterrupt:
        status = TERMINATED
    pipe.flush()
    sys.exit(status)


def _record(camera, pipe, shared, others=(), ended=()):
    from quarrin import recording
    from quarrin.errors import RecordingError, UsageError
    from quarrin.listeners import mqtt

    mqtt.leave_presence_to_service()   # the service holds PREFIX/availability

    def progress(p):
        shared[READ], shared[SAVED] = p.frames_read, p.frames_saved
        shared[BEAT], shared[LAST_FRAME] = time.monotonic(), time.time()

    try:
        plan = recording.prepare(camera.source, camera.output, camera.checked)
        _tap(plan.reader, shared, pipe, camera.live_width, camera.live_fps)
        result = recording.run(plan, progress=progress, notify=lambda line: pipe.send("line", line),
                               listeners=[_feed(pipe)], others=others, ended=ended)
    except (UsageError, RecordingError) as exc:
        pipe.send("error", str(exc))
        return 1
    if result.stopped == "interrupt":
        return TERMINATED
    if result.stopped == "lost":
        pipe.send("error", "%s lost, not back after %g s" % (plan.source, plan.reconnect))
        return 1
    return 0


# ---- the service's side ---------------------------------------------------------------------------

class Recorder:
    """One camera as the service runs it."""

    def __init__(self, camera):
        self.camera = camera
        self.state = "starting"
        self.process = self.conn = self.shared = None
        self.restarts = 0
        self.last_error = self.last_event = self.last_frame = None
        self.backoff = FIRST_BACKOFF
        self.next_start = 0.0
        self.started = self.started_wall = 0.0
        self.lost_since = None
        self.counted = [0, 0]            # frames read and saved by the recorders before this one
        self.fps, self._rate_at = 0.0, None
        self.jpeg, self.jpeg_version = None, 0
        self.jpeg_at = 0.0
        self.error_said = None
        self.stopping = False
        self.repairing = None            # the thread repairing the files of a killed recorder
        self.ended = []                  # the events it left open, listed by the repair: told by the next
        self.disabled = False
        self.events = 0                  # events ended since the service started
        self.last_frame_at = None        # the time of its last frame (seconds since the epoch)

    def limit(self):
        """Seconds without progress after which the recorder counts as hung."""
        opts = self.camera.checked
        stall, opening = opts.stall, opts.open_timeout
        if self.state == "starting":
            return 2 * opening + stall + 15.0
        if self.state == "lost":
            return RECONNECT_WAIT + opening + stall + MARGIN
        return stall + MARGIN

    def status(self):
        read, saved = self.counted
        if self.shared is not None:
            read, saved = read + int(self.shared[READ]), saved + int(self.shared[SAVED])
        return {"name": self.camera.name, "source": self.camera.shown, "state": self.state,
                "fps": round(self.fps, 1), "frames_read": read, "frames_saved": saved,
                "last_frame": self.last_frame, "last_event": self.last_event, "restarts": self.restarts,
                "last_error": self.last_error, "pid": self.process.pid if self.process is not None else None}


class Supervisor:
    """Runs the recorders of `cameras` (quarrin.service.config.Camera by name) on a thread of its own;
    `out` gets each line the service says."""

    def __init__(self, cameras, out, state=None):
        from quarrin.service.state import State

        self.out = out
        self.lock = threading.Lock()
        self.changing = threading.Lock()     # one change of the cameras at a time (switch, reload)
        self.state = state if state is not None else State()
        self.began = time.monotonic()
        self.recorders = {name: Recorder(c) for name, c in cameras.items()}
        self.state.keep_only(cameras)
        for name, r in self.recorders.items():
            if self.state.is_disabled(name):
                r.disabled, r.state = True, "disabled"
        self.viewers, self.watch_until = {}, {}
        self._stopping = threading.Event()
        self._thread = None
        self.segment_closed = None           # called with a camera's name as one of its segments closes

    # What the web view asks (through quarrin.service.cameras).
    def cameras(self):
        with self.lock:
            return {name: r.status() for name, r in self.recorders.items()}

    def recorder(self, name):
        return self.recorders.get(name)

    # Who watches a camera: by its name, so that a recorder started again is watched as well.
    def watch(self, name, seconds=WATCH_SECONDS):
        """An image of camera `name` was asked for: its live view stays on for `seconds`."""
        self.watch_until[name] = max(self.watch_until.get(name, 0.0), time.monotonic() + seconds)
        self._watched(self.recorders.get(name))

    def viewing(self, name, delta):
        """A stream of camera `name` opened (+1) or closed (-1)."""
        with self.lock:
            self.viewers[name] = self.viewers.get(name, 0) + delta
        self._watched(self.recorders.get(name))

    def _watched(self, r):
        if r is not None and r.shared is not None:
            name = r.camera.name
            on = self.viewers.get(name, 0) > 0 or self.watch_until.get(name, 0.0) > time.monotonic()
            r.shared[WATCHED] = 1.0 if on else 0.0

    # Running.
    def start(self):
        for r in self.recorders.values():
            if not r.disabled:
                self._start(r)
        self._thread = threading.Thread(target=self._run, name="quarrin-supervise", daemon=True)
        self._thread.start()

    def _start(self, r):
        from quarrin.processes import CONTEXT

        r.state, r.stopping = "starting", False
        r.conn, child = CONTEXT.Pipe(duplex=False)
        r.shared = CONTEXT.Array("d", 5, lock=False)
        r.shared[BEAT] = time.monotonic()
        ended, r.ended = r.ended, []
        r.process = CONTEXT.Process(target=record, args=(r.camera, child, r.shared, self._others(r), tuple(ended)),
                                    name="quarrin-" + r.camera.name, daemon=False)
        r.process.start()
        child.close()
        r.started, r.started_wall = time.monotonic(), time.time()
        r.error_said = None
        self._watched(r)

    def _others(self, r):
        """The outputs of the cameras besides `r`'s."""
        return tuple(o.camera.output for o in self.recorders.values() if o is not r)

    def outputs(self):
        """Each camera's output, by name: the recordings each one makes."""
        with self.lock:
            return {name: r.camera.output for name, r in self.recorders.items()}

    def _run(self):
        from multiprocessing.connection import wait

        while not self._stopping.is_set():
            with self.lock:
                live = [r for r in self.recorders.values() if r.process is not None and not r.stopping]
                waits = [r.conn for r in live] + [r.process.sentinel for r in live]
            try:
                ready = set(wait(waits, TICK)) if waits else time.sleep(TICK) or set()
            except (OSError, ValueError):  # a recorder stopped meanwhile (its pipe closed)
                continue
            with self.lock:
                for r in live:
                    if r.stopping or r.process is None:
                        continue
                    if r.conn in ready:
                        self._messages(r)
                    if r.process is not None and r.process.sentinel in ready and not r.stopping:
                        self._ended(r)
                for r in list(self.recorders.values()):
                    self._look(r)

    def _messages(self, r):
        try:
            while r.conn.poll():
                kind, *rest = r.conn.recv()
                if kind == "live":
                    r.jpeg, r.jpeg_version, r.jpeg_at = rest[0], r.jpeg_version + 1, time.monotonic()
                elif kind == "line":
                    self.out("%s: %s" % (r.camera.name, rest[0]))
                elif kind == "event":
                    r.last_event = {"start": rest[0], "end": rest[1]}
                    r.events += rest[1] is not None
                elif kind == "signal":
                    r.state = "lost" if rest[0] == "lost" else "recording"
                    r.shared[BEAT] = time.monotonic()
                elif kind == "error":
                    r.error_said = rest[0]
                elif kind == "segment" and self.segment_closed is not None:
                    self.segment_closed(r.camera.name)
        except (EOFError, OSError):
            pass

    def _look(self, r):
        now = time.monotonic()
        if r.state == "restarting" and now >= r.next_start and not self._stopping.is_set() and not r.disabled \
                and not (r.repairing is not None and r.repairing.is_alive()):
            self.out("%s: restart %d" % (r.camera.name, r.restarts))
            self._start(r)
            return
        if r.process is None or r.stopping:
            return
        self._watched(r)
        read = int(r.shared[READ])
        if r.shared[LAST_FRAME]:
            r.last_frame_at = r.shared[LAST_FRAME]
            r.last_frame = datetime.datetime.fromtimestamp(r.shared[LAST_FRAME]).isoformat()
        if r.state == "starting" and read:
            r.state = "recording"
        if r._rate_at is None or now - r._rate_at[0] >= 2.0:
            if r._rate_at is not None and r.state == "recording":
                r.fps = max(0.0, (read - r._rate_at[1]) / (now - r._rate_at[0]))
            elif r.state != "recording":
                r.fps = 0.0
            r._rate_at = (now, read)
        if r.state == "recording" and now - r.started > STEADY:
            r.backoff = FIRST_BACKOFF
        quiet = now - r.shared[BEAT]
        if quiet > r.limit():
            self.out("%s: no progress for %.0f s; the recorder is stopped" % (r.camera.name, quiet))
            r.error_said = "no progress for %.0f s" % quiet
            r.process.kill()
            r.process.join()
            self._ended(r)

    def _ended(self, r):
        """A recorder has ended by itself, or was killed as hung."""
        p = r.process
        p.join()
        code = p.exitcode
        self._drain(r)
        name = r.camera.name
        if self._stopping.is_set() or code == 0:
            r.state = "stopped"
            if not self._stopping.is_set():
                self.out("%s: recording ended" % name)
        else:
            why = r.error_said or ("killed by signal %d" % -code if code < 0 else "exit status %d" % code)
            r.last_error = why
            if code < 0:   # its files are repaired before it starts again, off this thread
                r.repairing = threading.Thread(target=self._repair, args=(r,), name="quarrin-repair", daemon=True)
                r.repairing.start()
            r.restarts += 1
            r.state = "restarting"
            r.next_start = time.monotonic() + r.backoff
            self.out("%s: recorder failed (%s); restart %d in %g s" % (name, why, r.restarts, r.backoff))
            r.backoff = min(MAX_BACKOFF, r.backoff * 2)
        r.fps = 0.0

    def _drain(self, r):
        if r.process is None:   # stopped by another hand meanwhile (a reload, the service's stop)
            return
        self._messages(r)
        r.counted[0] += int(r.shared[READ])
        r.counted[1] += int(r.shared[SAVED])
        r.shared[READ] = r.shared[SAVED] = 0
        r.conn.close()
        r.process.close()
        r.process = r.conn = None
        r._rate_at = None

    def _repair(self, r):
        """The files the recorder was writing when it was killed, as ``quarrin check --repair``."""
        from quarrin import checking

        for video in written_since(r.camera.output, r.started_wall - 2.0, self._others(r)):
            try:
                report = checking.repair(video)
            except Exception as exc:  # one file's repair does not stop the service
                self.out("%s: cannot repair %s: %s" % (r.camera.name, video, exc))
                continue
            if report.repaired or not report.ok:
                self.out("%s: %s" % (r.camera.name, report.line()))
        from quarrin.listeners import eventlist

        for pending in eventlist.open_events_of(r.camera.output):
            try:
                event = eventlist.complete_open(pending)
            except (OSError, ValueError) as exc:
                self.out("%s: cannot list the event left open in %s: %s" % (r.camera.name, pending, exc))
                continue
            if event is not None:
                self.out("%s: event %d was open when the recorder stopped; listed up to its last frame on disk, %s"
                         % (r.camera.name, event.event, event.end.isoformat()))
                r.ended.append(event)

    # Stopping and changing.
    def stop_some(self, names):
        """Stops the recorders of `names` (files finalised) and forgets them."""
        with self.lock:
            chosen = [self.recorders[n] for n in names if n in self.recorders]
            for r in chosen:
                r.stopping = True
        _terminate_all(chosen, self)
        with self.lock:
            for r in chosen:
                if self.recorders.get(r.camera.name) is r:
                    del self.recorders[r.camera.name]

    def add(self, cameras):
        with self.lock:
            added = []
            for name, camera in cameras.items():
                added.append(Recorder(camera))
                self.recorders[name] = added[-1]
                if self.state.is_disabled(name):
                    added[-1].disabled, added[-1].state = True, "disabled"
            for r in added:   # each knows all the others' outputs; none starts once the service stops
                if not r.disabled and not self._stopping.is_set():
                    self._start(r)

    def disable(self, name):
        """Stops camera `name`'s recorder as the service's stop does (its files finalised) and keeps
        it stopped, across restarts too. Its status, or None for an unknown camera; OSError when
        the state file cannot be written (nothing changed then)."""
        with self.changing:
            r = self.recorders.get(name)
            if r is None:
                return None
            if not r.disabled:
                self.state.set(name, True)
                with self.lock:
                    r.disabled, r.stopping = True, True
                    if r.process is None:
                        r.state = "disabled"
                _terminate_all([r], self)
                with self.lock:
                    r.state, r.fps = "disabled", 0.0
                self.out("%s: disabled" % name)
            with self.lock:
                return r.status()

    def enable(self, name):
        """Starts camera `name`'s recorder again after `disable`. Its status, or None for an unknown
        camera; OSError when the state file cannot be written."""
        with self.changing:
            r = self.recorders.get(name)
            if r is None:
                return None
            if r.disabled:
                self.state.set(name, False)
                with self.lock:
                    r.disabled, r.backoff = False, FIRST_BACKOFF
                    if not self._stopping.is_set():
                        self._start(r)
                self.out("%s: enabled" % name)
            with self.lock:
                return r.status()

    def uptime(self):
        """Seconds since the service started."""
        return time.monotonic() - self.began

    def running(self):
        """How many recorders run now."""
        with self.lock:
            return sum(r.process is not None and not r.stopping for r in self.recorders.values())

    def stopping(self):
        """The service stops: no recorder is restarted from now on."""
        self._stopping.set()

    def stop(self):
        self._stopping.set()
        if self._thread is not None:
            self._thread.join()
        with self.changing:   # a camera being disabled or a reload finishes first
            with self.lock:
                chosen = list(self.recorders.values())
                for r in chosen:
                    r.stopping = True
            _terminate_all(chosen, self)

    def apply(self, cameras):
        """Runs `cameras` from now on: added ones start, removed ones stop, changed ones restart;
        the others go on untouched. Returns (added, removed, changed) names."""
        with self.changing:
            with self.lock:
                now = {name: r.camera for name, r in self.recorders.items()}
            added = [n for n in cameras if n not in now]
            removed = [n for n in now if n not in cameras]
            changed = [n for n in cameras if n in now and cameras[n].settings() != now[n].settings()]
            self.stop_some(removed + changed)
            self.state.keep_only(cameras)    # a camera removed forgets that it was disabled
            self.add({n: cameras[n] for n in added + changed})
            return added, removed, changed


def _terminate_all(recorders, supervisor):
    """SIGTERM to each running recorder, then the wait for its files: one that does not finish in
    time is killed and its files repaired."""
    for r in recorders:
        if r.repairing is not None:
            r.repairing.join()
    running = [r for r in recorders if r.process is not None]
    for r in running:
        try:
            os.kill(r.process.pid, signal.SIGTERM)
        except (ProcessLookupError, ValueError):
            pass
    for r in running:
        process = r.process
        if process is None:
            continue
        process.join(wait := stop_wait(r.camera.checked))
        if process.exitcode is None:
            supervisor.out("%s: the recorder did not stop within %g s; killed" % (r.camera.name, wait))
            process.kill()
            process.join()
            supervisor._repair(r)
        with supervisor.lock:
            supervisor._drain(r)
            r.state = "stopped"


def stop_wait(opts):
    """How long a recorder of checked options `opts` may take to stop after SIGTERM: its files,
    past a stall, and what its notifiers are still owed (each notifier's drain time: a command
    still running gets its timeout, a broker a few seconds to take the last messages)."""
    from quarrin.listeners import registry

    return STOP_WAIT + opts.stall + registry.drain(opts)


def written_since(output, since, others=()):
    """The videos of `output` (its numbered segments and strftime names) modified at `since` or
    later; none that one of the `others` outputs names as well."""
    from quarrin import layout

    try:
        pattern = layout.Pattern(output)
    except layout.Unfollowable:
        candidates = [layout.expand(output)]
    else:
        candidates = []
        for folder, _, files in os.walk(pattern.folder):
            candidates.extend(os.path.join(folder, f) for f in files
                              if pattern.videos.fullmatch(os.path.join(folder, f)))
    theirs = layout.patterns(others)
    candidates = [path for path in candidates if not any(p.is_video(os.path.abspath(path)) for p in theirs)]
    found = []
    for path in candidates:
        try:
            if os.path.getmtime(path) >= since:
                found.append(path)
        except OSError:
            pass
    return sorted(found)

