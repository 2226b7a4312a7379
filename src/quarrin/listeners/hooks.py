"""Telling others of a recording's motion events: a command run as each event begins and ends
(the on_event_command option), a listener of the recording (quarrin.listeners). The listeners'
thread only starts the command; a thread of its own watches it, so that a slow command holds up
neither the other listeners nor the recording.
"""
import atexit
import os
import shlex
import signal
import subprocess
import threading
import time

from quarrin import listeners as listening
from quarrin.errors import UsageError, named
from quarrin.listeners import Listener, Notifier
from quarrin.results import ZONE_SEPARATOR


def option_rows(o):
    """Its rows of the option table (`o`: quarrin.options)."""
    return (
        # The keyword is not on_event: quarrin.record's on_event is a Python callable told of each event.
        o.Option("on_event_command", None, command, "run CMD (split as a shell would, run without one) as each event "
                 "begins and ends; QUARRIN_EVENT (start, end), QUARRIN_NUMBER, QUARRIN_CAMERA, QUARRIN_START, "
                 "QUARRIN_END, QUARRIN_SECONDS, QUARRIN_PEAK_AREA, QUARRIN_FILE, QUARRIN_SNAPSHOT, QUARRIN_LABEL, "
                 "QUARRIN_SCORE and QUARRIN_ZONES (;-joined) describe it; the recording never waits for it", "CMD",
                 "notify", batch=False, shown="none", spelled="on_event",
                 needs_motion="runs as motion events begin and end; it needs %s" % named("motion")),
        o.Option("on_event_timeout", 30.0, o.number(positive=True, high=86400), "an --on-event command still running "
                 "after SECONDS is killed", "SECONDS", "notify", batch=False),
    )


def command(name, value):
    """A command to run: a text split as a shell would split it (no shell runs it), or a list of
    its words; its program must be found (a path, or a name on PATH). Returns it as a text
    (shlex.split gives its words back)."""
    import shutil

    if isinstance(value, str):
        try:
            words = shlex.split(value)
        except ValueError as exc:
            raise UsageError(name, value, "cannot be split into words (%s)" % exc) from None
    elif isinstance(value, (list, tuple)) and all(isinstance(w, str) for w in value):
        words = list(value)
    else:
        raise UsageError(name, value, "expected a command")
    if not words or not words[0]:
        raise UsageError(name, value, "expected a command")
    if shutil.which(words[0]) is None:
        where = "no such executable file" if os.sep in words[0] else "no such program on PATH"
        raise UsageError(name, value, "%s: %s" % (where, words[0]))
    return value if isinstance(value, str) else shlex.join(words)


# The environment a command gets, from the fields of the event's row (quarrin.Event.row); those not known are left out.
ENVIRONMENT = {"QUARRIN_EVENT": "type", "QUARRIN_NUMBER": "event", "QUARRIN_CAMERA": "camera",
                 "QUARRIN_START": "start", "QUARRIN_END": "end", "QUARRIN_SECONDS": "seconds",
                 "QUARRIN_PEAK_AREA": "peak_area", "QUARRIN_FILE": "file", "QUARRIN_SNAPSHOT": "snapshot",
                 "QUARRIN_LABEL": "label", "QUARRIN_SCORE": "score", "QUARRIN_ZONES": "zones"}
# Those given, empty, to an event without them (no object detector, no zones): a command can tell
# it from one started by an older quarrin.
ALWAYS_SET = ("QUARRIN_LABEL", "QUARRIN_SCORE", "QUARRIN_ZONES")


def environment(event, kind, camera, base=None):
    """The command's environment: `base` (default: this process's) with the event's variables."""
    env = dict(os.environ if base is None else base)
    told = event.row(kind, camera)
    for name, column in ENVIRONMENT.items():
        value = told[column]
        env.pop(name, None)  # one inherited from whoever started quarrin is not this event's
        if isinstance(value, list):
            value = ZONE_SEPARATOR.join(value)
        if value is not None:
            env[name] = str(value)
        elif name in ALWAYS_SET:
            env[name] = ""
    return env


class Hooks(Listener):
    """Runs a command (a text, split as a shell would) as each event begins and ends, in this process's working
    directory, with the event in its environment (`environment`). At most one runs for each kind
    (start, end): the next while it runs is skipped, with a line. A command still running after
    `timeout` seconds is killed, with all it started (its process group); one that fails is a
    line. `close()` waits for those still running, each until its timeout."""

    def __init__(self, command, timeout, camera, notify, log=None):
        self.words, self.timeout, self.camera = tuple(shlex.split(command)), timeout, camera
        self.notify, self.log = notify, log or _drop
        self._running = {}  # kind: (event number, Popen)
        self._watchers = []
        self._lock = threading.Lock()
        self._died = None   # what ended a watcher thread before it could tell what its command did
        atexit.register(self._kill_all)  # a process that ends without close() leaves none running

    def describe(self):
        return "the --on-event command %s" % shlex.join(self.words)

    def on_event_start(self, event):
        self._run("start", event)

    def on_event(self, event):
        self._run("end", event)

    def _run(self, kind, event):
        what = "The --on-event command for the %s of event %d" % (kind, event.event)
        with self._lock:
            busy = self._running.get(kind)
        if busy is not None and busy[1].poll() is None:
            self.notify("%s was skipped: the one for event %d still runs" % (what, busy[0]))
            return
        try:
            proc = subprocess.Popen(self.words, env=environment(event, kind, self.camera), stdin=subprocess.DEVNULL,
                                      stdout=subprocess.PIPE, stderr=subprocess.STDOUT, start_new_session=True)
        except OSError as exc:
            self.notify("%s could not start: %s" % (what, exc.strerror or exc))
            return
        with self._lock:
            self._running[kind] = (event.event, proc)
        watcher = threading.Thread(target=self._watch, args=(kind, what, proc), name="quarrin-on-event", daemon=True)
        self._watchers = [w for w in self._watchers if w.is_alive()] + [watcher]
        watcher.start()

    def _watch(self, kind, what, proc):
        try:
            tail, killed = _follow(proc, self.timeout)
        except BaseException as exc:  # this thread must not end unseen: close() says so
            _kill_group(proc)
            self._died = self._died or exc
            return
        finally:
            with self._lock:
                  if self._running.get(kind, (None, None))[1] is proc:
                      del self._running[kind]
        lines = tail.decode(errors="replace").splitlines()
        for line in lines:  # what it says is the recorder's to show (-v)
            self.log("on-event: %s" % line)
        last = next((": " + line.strip() for line in reversed(lines) if line.strip()), "")
        if killed:
            self.notify("%s was killed after %g s%s" % (what, self.timeout, last))
        elif proc.returncode:
            code = proc.returncode
            how = "exit status %d" % code if code > 0 else "killed by %s" % _signal_name(-code)
            self.notify("%s failed (%s)%s" % (what, how, last))

    def close(self):
        for watcher in self._watchers:
            watcher.join()
        atexit.unregister(self._kill_all)
        if self._died is not None:
            raise listening.Died("its watcher died (%s)" % (type(self._died).__name__)) from self._died

    def hurry(self):
        with self._lock:
            running = [proc for _, proc in self._running.values() if proc.poll() is None]
        if running:
            self.notify("Stopped again: the --on-event commands still running are killed")
            self._kill_all()

    def _kill_all(self):
        with self._lock:
            running = [proc for _, proc in self._running.values()]
        for proc in running:
            _kill_group(proc)


# What is kept of a command's output: its last lines, at most this many bytes.
TAIL_BYTES = 4096
# After the timeout, seconds for a killed command's pipe to close (a process that left its group
# may hold it open).
KILL_GRACE = 1.0


def _follow(proc, timeout):
    """Reads what `proc` writes to its pipe until it closes, keeping the last TAIL_BYTES (whole
    lines where it was cut), and waits for the command to end; `timeout` seconds bound the whole:
    then the command is killed with all it started. Returns (the tail, whether it was killed)."""
    import selectors

    deadline = time.monotonic() + timeout
    tail, cut, killed = bytearray(), False, False
    fd = proc.stdout.fileno()
    with selectors.DefaultSelector() as selector:
        selector.register(fd, selectors.EVENT_READ)
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                  if killed:
                      break    # held open by a process that left the group: not waited for
                  _kill_group(proc)    # the command, or what it started that holds the pipe open
                  killed, deadline = True, time.monotonic() + KILL_GRACE
                  continue
            if not selector.select(left):
                  continue
            chunk = os.read(fd, 1 << 16)
            if not chunk:
                  break
            tail += chunk
            if len(tail) > 2 * TAIL_BYTES:
                  del tail[:-TAIL_BYTES]
                  cut = True
    proc.stdout.close()
    try:
        proc.wait(max(0.0, deadline - time.monotonic()))
    except subprocess.TimeoutExpired:
        _kill_group(proc)
        killed = True
        proc.wait()
    if len(tail) > TAIL_BYTES:
        del tail[:-TAIL_BYTES]
        cut = True
    if cut:   # the first line kept may be the end of a longer one
        del tail[:tail.find(b"\n") + 1]
    return bytes(tail), killed


def _kill_group(proc):
    try:
        os.killpg(proc.pid, signal.SIGKILL)
    except OSError:  # gone already
        pass


def _signal_name(number):
    try:
        return signal.Signals(number).name
    except ValueError:
        return "signal %d" % number


def _drop(line):
    pass


NOTIFIER = Notifier(
    name="hooks", switch="on_event_command", option_rows=option_rows,
    notify_keys={"command": "on_event_command", "timeout": "on_event_timeout"},
    camera_keys={"on_event": "on_event_command", "on_event_timeout": "on_event_timeout"},
    make=lambda opts, camera, notify, log: Hooks(opts.on_event_command, opts.on_event_timeout, camera, notify, log),
    drain=lambda opts: opts.on_event_timeout)   # a command still running at a stop gets its timeout
