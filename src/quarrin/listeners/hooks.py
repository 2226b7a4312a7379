"""Telling others of a recording's motion events as they begin and end: a command run each time
(--on-event, `Hooks`) and messages to an MQTT broker (--mqtt, `Mqtt`). Both are listeners of the
recording (quarrin.listeners): the listeners' thread only starts a command or hands a message to
the MQTT client's own thread, so that neither a slow command nor a broker that is away holds up
the others, let alone the recording.

`notify_options` reads the ``[notify]`` table of a configuration file, and a camera's own keys,
into `quarrin.record`'s keywords.
"""
import atexit
import datetime
import json
import os
import shlex
import signal
import subprocess
import threading
import time

from quarrin import layout, listeners as listening
from quarrin.listeners import Listener
from quarrin.options import Broker


def listeners(opts, output, notify, log=None):
    """The notifying listeners a recording's options ask for (none without --on-event or
    --mqtt), for the recording into `output`. A broker is given a few seconds to answer before
    the recording starts, so that the first events of a short recording are not lost."""
    found = []
    camera = camera_of(opts, output)
    if opts.on_event_command:
        found.append(Hooks(opts.on_event_command, opts.on_event_timeout, camera, notify, log))
    if opts.mqtt:
        found.append(Mqtt(opts.mqtt, camera, notify, opts.mqtt_ca))
    return found


def camera_of(opts, output):
    """The camera's name: the recording's own (`name`), else the one its output gives."""
    return getattr(opts, "name", None) or layout.camera_name(output)


def check(opts):
    """What the option table cannot tell alone: a CA certificate is for a TLS broker, and must be
    one."""
    from quarrin.errors import UsageError

    if not opts.mqtt_ca:
        return
    if not (opts.mqtt and Broker.parse(opts.mqtt).tls):
        raise UsageError("mqtt_ca", opts.mqtt_ca, "is for a broker reached over TLS: an mqtts:// URL (--mqtt)")
    import ssl

    try:
        ssl.create_default_context(cafile=opts.mqtt_ca)
    except (ssl.SSLError, OSError) as exc:
        raise UsageError("mqtt_ca", opts.mqtt_ca, "is no CA certificate in PEM (%s)" % (exc.strerror or exc)) from None


def row(event, kind, camera):
    """An event as the notifications give it: the event list's columns (times as it writes them;
    None where not yet known), the camera, and `type` (start or end). Paths are absolute."""
    return {"type": kind, "event": event.event, "start": _time(event.start), "end": _time(event.end),
            "seconds": None if event.seconds is None else round(event.seconds, 6),
            "first_frame": event.first_frame, "last_frame": event.last_frame, "frames": event.frames,
            "peak_area": int(round(event.peak_area)), "file": os.path.abspath(event.file) if event.file else None,
            "snapshot": snapshot_of(event), "camera": event.camera or camera}


def snapshot_of(event):
    """The event's picture as an absolute path, when it names one that exists (None otherwise)."""
    if not event.snapshot:
        return None
    path = os.path.abspath(event.snapshot)
    return path if os.path.isfile(path) else None


def _time(value):
    return value.isoformat() if isinstance(value, datetime.datetime) else None


# ---- commands ------------------------------------------------------------------------------------

# The environment a command gets, from the fields of `row`; those not known are left out.
ENVIRONMENT = {"QUARRIN_EVENT": "type", "QUARRIN_NUMBER": "event", "QUARRIN_CAMERA": "camera",
               "QUARRIN_START": "start", "QUARRIN_END": "end", "QUARRIN_SECONDS": "seconds",
               "QUARRIN_PEAK_AREA": "peak_area", "QUARRIN_FILE": "file", "QUARRIN_SNAPSHOT": "snapshot"}


def environment(event, kind, camera, base=None):
    """The command's environment: `base` (default: this process's) with the event's variables."""
    env = dict(os.environ if base is None else base)
    told = row(event, kind, camera)
    for name, column in ENVIRONMENT.items():
        value = told[column]
        env.pop(name, None)  # one inherited from whoever started quarrin is not this event's
        if value is not None:
            env[name] = str(value)
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


# ---- MQTT ----------------------------------------------------------------------------------------

KEEPALIVE = 30           # seconds: a recorder gone without a word is offline within 1.5 times this
CONNECT_WAIT = 5.0       # seconds a broker is given to answer before the recording starts
FLUSH_WAIT = 5.0         # and to take the last messages when it ends


def topic_level(name):
    """A camera's name as one level of a topic: no / + # in it."""
    return "".join("_" if c in "/+#\0" else c for c in name) or "camera"


class Mqtt(Listener):
    """Publishes a camera's events to an MQTT broker: PREFIX/CAMERA/motion ON or OFF (retained),
    PREFIX/CAMERA/events a JSON object at each event's start and end (`row`),
    PREFIX/CAMERA/snapshot the event's JPEG at its end, and PREFIX/availability online, or offline
    when the recording ends (retained; the broker's last will says offline for a recorder that
    vanished). The client reconnects by itself; while the broker is away, messages are dropped,
    with one line per outage, and each connection publishes online and the motion state again."""

    def __init__(self, url, camera, notify, ca=None, connect_wait=CONNECT_WAIT):
        import paho.mqtt.client as mqtt

        self.broker = broker = Broker.parse(url)
        self.camera, self.notify = camera, notify
        self.topic = "%s/%s/" % (broker.prefix, topic_level(camera))
        self.availability = broker.prefix + "/availability"
        self.motion = "OFF"
        self._lock = threading.Lock()
        self._connected = False
        self._answered = threading.Event()  # connected, refused or failed: the first try is over
        self._outage = False                # its line was said; the next connection ends it
        self._closing = False
        self._sent = []                     # messages not yet known to be taken
        client = mqtt.Client(mqtt.CallbackAPIVersion.VERSION2,
                             client_id="quarrin-%s-%d" % (topic_level(camera)[:40], os.getpid()))
        if broker.user is not None:
            client.username_pw_set(broker.user, broker.password)
        if broker.tls:
            client.tls_set(ca_certs=ca)  # the broker's certificate and name are checked
        client.will_set(self.availability, "offline", qos=1, retain=True)
        client.reconnect_delay_set(1, 30)
        client.on_connect, client.on_connect_fail = self._connect, self._connect_failed
        client.on_disconnect = self._disconnect
        self.client = client
        client.connect_async(broker.host, broker.port, keepalive=KEEPALIVE)
        client.loop_start()
        self._answered.wait(connect_wait)
        if not self._answered.is_set():
            self._away("does not answer")

    def describe(self):
        return "the MQTT publisher to %s" % self.broker.where

    # The client's thread tells these.
    def _connect(self, client, userdata, flags, reason, properties):
        if reason.is_failure:
            self._away("refused the connection (%s)" % reason)
        else:
            with self._lock:
                self._connected, self._outage = True, False
                self._publish("online", "online", retain=True)
                self._publish("motion", self.motion, retain=True)
        self._answered.set()

    def _connect_failed(self, client, userdata):
        self._away("cannot be reached")
        self._answered.set()

    def _disconnect(self, client, userdata, flags, reason, properties):
        with self._lock:
            self._connected = False
        if not self._closing:
            self._away("went away")

    def _away(self, how):
        with self._lock:
            said, self._outage = self._outage, True
        if not said:
            self.notify("MQTT broker %s %s: messages are dropped until it is back" % (self.broker.where, how))

    def _publish(self, name, payload, retain=False):
        """Hands a message to the client when connected (under the lock); drops it otherwise."""
        if not self._connected:
            return
        topic = self.availability if name == "online" or name == "offline" else self.topic + name
        info = self.client.publish(topic, payload, qos=1, retain=retain)
        self._sent = [m for m in self._sent if not m.is_published()] + [info]

    # The listeners' thread tells these.
    def on_event_start(self, event):
        with self._lock:
            self.motion = "ON"
            self._publish("motion", "ON", retain=True)
            self._publish("events", json.dumps(row(event, "start", self.camera)))

    def on_event(self, event):
        picture = snapshot_of(event)
        data = None
        if picture is not None:
            try:
                with open(picture, "rb") as f:
                    data = f.read()
            except OSError:
                data = None
        with self._lock:
            self._publish("events", json.dumps(row(event, "end", self.camera)))
            if data is not None:
                self._publish("snapshot", data)
            self.motion = "OFF"
            self._publish("motion", "OFF", retain=True)

    def close(self):
        """Says offline, gives the broker a few seconds to take what was sent, and disconnects."""
        with self._lock:
            self._publish("offline", "offline", retain=True)
            sent = list(self._sent)
        deadline = time.monotonic() + FLUSH_WAIT
        for info in sent:
            left = deadline - time.monotonic()
            if left <= 0 or not self._connected:
                break
            try:
                info.wait_for_publish(left)
            except (RuntimeError, ValueError):  # dropped on a lost connection
                break
        self._closing = True
        self.client.disconnect()
        self.client.loop_stop()


# ---- a configuration file's [notify] table -------------------------------------------------------

# Its keys, and the record keywords they give.
NOTIFY_KEYS = {"command": "on_event_command", "timeout": "on_event_timeout", "mqtt": "mqtt", "tls_ca": "mqtt_ca"}
# A camera's own keys that override them.
CAMERA_KEYS = {"on_event": "on_event_command", "on_event_timeout": "on_event_timeout", "mqtt": "mqtt"}


def notify_options(table, camera_table=None, camera=None, folder=None):
    """The record keywords of a configuration file's ``[notify]`` table (`table`: command, timeout,
    mqtt, tls_ca; for every camera) as overridden by a camera's own keys (`camera_table`:
    on_event, on_event_timeout, mqtt; an empty text turns the [notify] one off for it), and a list
    of error lines: ``notify: KEY: problem``, or ``cameras.NAME: KEY: problem`` for the camera's
    (`camera` its name). Keys the camera table holds besides these are not looked at. A relative
    tls_ca is relative to `folder` (the file's). Returns (keywords, errors)."""
    import difflib

    from quarrin import options
    from quarrin.errors import UsageError

    errors, wanted = [], {}
    where = "cameras.%s" % camera if camera is not None else "camera"
    if not isinstance(table, dict):
        return {}, ["notify: expected a table of %s" % ", ".join(NOTIFY_KEYS)]
    for key, value in table.items():
        if key not in NOTIFY_KEYS:
            near = difflib.get_close_matches(key, list(NOTIFY_KEYS), 1)
            errors.append("notify: %s: unknown key%s" % (key, "; did you mean %s?" % near[0] if near else ""))
            continue
        if key == "tls_ca" and isinstance(value, str) and folder is not None and value:
            value = os.path.join(folder, os.path.expanduser(value))
        wanted[NOTIFY_KEYS[key]] = ("notify", key, value)
    for key, name in CAMERA_KEYS.items():
        if camera_table and key in camera_table:
            wanted[name] = (where, key, camera_table[key])
    keywords = {}
    for name, (place, key, value) in wanted.items():
        if value == "" and name in ("on_event_command", "mqtt"):
            continue  # turned off for this camera
        try:
            keywords[name] = options.BY_NAME[name].check(name, value)
        except UsageError as exc:
            shown = options.shown_source(value) if name == "mqtt" else value
            errors.append("%s: %s: %s (%s)" % (place, key, exc.reason, shown))
    if "mqtt_ca" in keywords and "mqtt" not in keywords:
        del keywords["mqtt_ca"]  # no broker for this camera: its CA is not wanted
    elif "mqtt_ca" in keywords and not Broker.parse(keywords["mqtt"]).tls:
        errors.append("notify: tls_ca: is for a broker reached over TLS: an mqtts:// URL")
    return keywords, errors
