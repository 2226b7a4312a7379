"""Telling others of a recording's motion events: messages to an MQTT broker (the mqtt option), a
listener of the recording (quarrin.listeners). The listeners' thread only hands a message to the
MQTT client's own thread, so that a broker that is away holds up neither the other listeners nor
the recording.
"""
import json
import os
import threading
import time
import typing

from quarrin.errors import UsageError, named
from quarrin.listeners import Listener, Notifier


def option_rows(o):
    """Its rows of the option table (`o`: quarrin.options)."""
    return (
        o.Option("mqtt", None, mqtt_url, "publish the events to the MQTT broker at URL: mqtt://[USER:PASSWORD@]HOST[:PORT]"
                 "[/PREFIX], or mqtts:// for TLS (topics PREFIX/CAMERA/motion, .../events, .../snapshot, "
                 "PREFIX/CAMERA/LABEL for each object's label, PREFIX/CAMERA/availability and "
                 "PREFIX/availability; PREFIX quarrin by default); "
                 "needs quarrin[mqtt]", "URL", "notify", batch=False, shown="none"),
        o.Option("mqtt_ca", None, o.file_path, "with an mqtts:// URL, trust the broker's certificate if this CA "
                 "certificate (PEM) signed it, instead of the system's CAs", "FILE", "notify", batch=False,
                 shown="the system's CAs"),
        o.Option("mqtt_discovery", None, discovery_prefix, "with --mqtt, publish the camera's entities for home "
                 "automation to find by themselves (retained, PREFIX/COMPONENT/NODE/OBJECT/config: its motion, "
                 "snapshot, last event and each label of --objects); PREFIX %s when not given" % DISCOVERY_PREFIX,
                 "PREFIX", "notify", batch=False, shown="off", bare=DISCOVERY_PREFIX),
    )


DISCOVERY_PREFIX = "homeassistant"


def discovery_prefix(name, value):
    """The discovery topics' prefix: True for the usual one, False or None for none, or a text
    that is an MQTT topic (no +, # or empty level)."""
    if value is None or value is False:
        return None
    if value is True:
        return DISCOVERY_PREFIX
    if not isinstance(value, str):
        raise UsageError(name, value, "expected true, false or a topic prefix such as %s" % DISCOVERY_PREFIX)
    prefix = value.strip()
    if any(c in prefix for c in "+#\0") or "" in prefix.split("/"):
        raise UsageError(name, value, "is no MQTT topic prefix: no +, # or empty level")
    return prefix


def mqtt_url(name, value):
    """An MQTT broker's URL (`Broker` reads it); a message shows it without its password. The
    client library must be installed."""
    import importlib.util

    if not isinstance(value, str):
        raise UsageError(name, value, "expected an mqtt:// or mqtts:// URL")
    try:
        Broker.parse(value)
    except ValueError as exc:
        raise UsageError(name, _shown(value), str(exc)) from None
    try:
        found = importlib.util.find_spec("paho.mqtt.client") is not None
    except (ImportError, ValueError):
        found = False
    if not found:
        raise UsageError(name, _shown(value), "needs the MQTT client: pip install 'quarrin[mqtt]'")
    return value


class Broker(typing.NamedTuple):
    """Where an MQTT broker is, from its URL: mqtt://[USER[:PASSWORD]@]HOST[:PORT][/PREFIX], or
    mqtts:// for TLS. The URL's path, any depth, is the topics' prefix."""
    tls: bool
    host: str
    port: int
    user: typing.Optional[str]
    password: typing.Optional[str]
    prefix: str

    @classmethod
    def parse(cls, url):
        """The broker of `url`; ValueError saying what is wrong (never showing the password)."""
        from urllib.parse import unquote, urlsplit

        try:
            parts = urlsplit(url.strip())
            port = parts.port
        except ValueError:
            raise ValueError("expected mqtt://[USER:PASSWORD@]HOST[:PORT][/PREFIX] or mqtts://...") from None
        if parts.scheme.lower() not in ("mqtt", "mqtts"):
            raise ValueError("expected an mqtt:// or mqtts:// URL")
        if not parts.hostname:
            raise ValueError("names no broker (mqtt://HOST...)")
        if parts.query or parts.fragment:
            raise ValueError("takes no query or fragment (?, #); the path is the topics' prefix")
        tls = parts.scheme.lower() == "mqtts"
        prefix = unquote(parts.path).strip("/") or "quarrin"
        if any(c in prefix for c in "+#\0") or "" in prefix.split("/"):
            raise ValueError("the prefix %r is no MQTT topic: no +, # or empty level" % prefix)
        user = unquote(parts.username) if parts.username is not None else None
        password = unquote(parts.password) if parts.password is not None else None
        return cls(tls, parts.hostname, port or (8883 if tls else 1883), user, password, prefix)

    @property
    def where(self):
        return "[%s]:%d" % (self.host, self.port) if ":" in self.host else "%s:%d" % (self.host, self.port)


def client_for(mqtt, broker, client_id, will, ca=None):
    """A client of paho.mqtt.client (`mqtt`) for `broker`, its last will offline on `will`."""
    client = mqtt.Client(mqtt.CallbackAPIVersion.VERSION2, client_id=client_id)
    if broker.user is not None:
        client.username_pw_set(broker.user, broker.password)
    if broker.tls:
        client.tls_set(ca_certs=ca)  # the broker's certificate and name are checked
    client.will_set(will, "offline", qos=1, retain=True)
    client.reconnect_delay_set(1, 30)
    return client


KEEPALIVE = 30           # seconds: a recorder gone without a word is offline within 1.5 times this
CONNECT_WAIT = 5.0       # seconds a broker is given to answer before the recording starts
FLUSH_WAIT = 5.0         # and to take the last messages when it ends


def topic_level(name):
    """A camera's name as one level of a topic: no / + # in it."""
    return "".join("_" if c in "/+#\0" else c for c in name) or "camera"


# A recorder of the service leaves PREFIX/availability to the service (`leave_presence_to_service`).
_PRESENCE = {"own": True}


def leave_presence_to_service():
    """This process's recorders publish no PREFIX/availability: the service that runs them holds
    it (quarrin.service.presence), so that a recorder killed or restarted marks only its own camera
    offline."""
    _PRESENCE["own"] = False


def _id_part(text):
    """A text as part of an id of [A-Za-z0-9_-]: its ASCII letters and digits kept, every other
    byte _XX in hex (two texts never give one id)."""
    return "".join(c if c.isascii() and c.isalnum() else "".join("_%02x" % b for b in c.encode()) for c in text)


def entities(prefix, camera, discovery_prefix, objects=(), service=False):
    """The discovery messages of a camera's entities, as (topic, JSON text): its motion (a binary
    sensor), its event's snapshot (a camera), its last event (a sensor: its start, the event's
    JSON as attributes) and one binary sensor per label of `objects` that has a topic; grouped by
    one device, available while the camera's availability (and, under the service, the service's)
    says online. The ids come from the topics' `prefix` and the camera's name: the same at every
    start."""
    from importlib import metadata

    try:
        version = metadata.version("quarrin")
    except metadata.PackageNotFoundError:
        version = "unknown"
    node = "%s-%s" % (_id_part(prefix), _id_part(camera))
    own = "%s/%s/" % (prefix, topic_level(camera))
    available = [own + "availability"] + [prefix + "/availability"] * bool(service)
    common = {
        "availability": [{"topic": t, "payload_available": "online", "payload_not_available": "offline"}
                         for t in available],
        "availability_mode": "all",
        "device": {"identifiers": [node], "name": camera, "manufacturer": "quarrin", "model": "quarrin",
                   "sw_version": version},
    }
    made = [
        ("binary_sensor", "motion", {"name": "Motion", "device_class": "motion", "state_topic": own + "motion",
                                     "payload_on": "ON", "payload_off": "OFF"}),
        ("camera", "snapshot", {"name": "Snapshot", "topic": own + "snapshot"}),
        ("sensor", "last_event", {"name": "Last event", "state_topic": own + "events",
                                  "value_template": "{{ value_json.start }}", "json_attributes_topic": own + "events"}),
    ]
    for label in objects:
        level = topic_level(label)
        if level not in _OWN_TOPICS:
            made.append(("binary_sensor", "object-" + _id_part(label), {
                "name": label[:1].upper() + label[1:], "state_topic": own + level, "payload_on": "ON",
                "payload_off": "OFF"}))
    return [("%s/%s/%s/%s/config" % (discovery_prefix, component, node, object_id),
             json.dumps(dict(body, unique_id="%s-%s" % (node, object_id), **common), ensure_ascii=False))
            for component, object_id, body in made]


def discovery_topics(opts, camera):
    """The discovery topics a recording of checked options `opts` for `camera` publishes (none
    without --mqtt-discovery)."""
    if not (opts.mqtt and opts.mqtt_discovery):
        return []
    return [t for t, _ in entities(Broker.parse(opts.mqtt).prefix, camera, opts.mqtt_discovery, opts.objects)]


class Mqtt(Listener):
    """Publishes a camera's events to an MQTT broker: PREFIX/CAMERA/motion ON or OFF (retained),
    PREFIX/CAMERA/events a JSON object at each event's start and end (quarrin.Event.row),
    PREFIX/CAMERA/snapshot the event's JPEG at its end, PREFIX/CAMERA/LABEL (person, car, ...) ON
    while an event with an object of that label lasts and OFF after it (retained), and
    PREFIX/CAMERA/availability online while the camera records with its signal, offline while
    its signal is lost and when the recording ends (retained; the broker's last will says offline
    for a recorder that vanished), and PREFIX/availability online, or offline when the recording
    ends (retained; not under the service, which holds it). With `discovery` (a topic prefix),
    the camera's entities for home automation (`entities()`, with a binary sensor for each of
    `objects`), retained. The client reconnects by itself; while the broker is away, messages
    are dropped, with one line per outage, and each connection publishes the entities, online,
    the motion state and the labels that are ON again."""

    def __init__(self, url, camera, notify, ca=None, connect_wait=CONNECT_WAIT, discovery=None, objects=()):
        import paho.mqtt.client as mqtt

        self.broker = broker = Broker.parse(url)
        self.camera, self.notify = camera, notify
        self.topic = "%s/%s/" % (broker.prefix, topic_level(camera))
        self.availability = broker.prefix + "/availability"
        own_presence = _PRESENCE["own"]
        self.entities = entities(broker.prefix, camera, discovery, objects, service=not own_presence) \
            if discovery else []
        self.motion = "OFF"
        self.signal = True                  # the source's signal: the camera's availability
        self.objects = {}                   # the labels published ON, in order: their topics' names
        self._lock = threading.Lock()
        self._connected = False
        self._answered = threading.Event()  # connected, refused or failed: the first try is over
        self._outage = False                # its line was said; the next connection ends it
        self._closing = False
        self._sent = []                     # messages not yet known to be taken
        # The camera's own last will: another camera's recorder that vanishes leaves this one
        # online. PREFIX/availability has a connection of its own, whose last will it is.
        self.presence = None
        if own_presence:
            self.presence = self._client(mqtt, "up", self.availability, ca)
            self.presence.on_connect = self._present
        client = self.client = self._client(mqtt, "", self.topic + "availability", ca)
        client.on_connect, client.on_connect_fail = self._connect, self._connect_failed
        client.on_disconnect = self._disconnect
        for c in (self.presence, client) if self.presence is not None else (client,):
            c.connect_async(broker.host, broker.port, keepalive=KEEPALIVE)
            c.loop_start()
        self._answered.wait(connect_wait)
        if not self._answered.is_set():
            self._away("does not answer")

    def _client(self, mqtt, kind, will, ca):
        return client_for(mqtt, self.broker, "quarrin-%s-%d%s" % (topic_level(self.camera)[:40], os.getpid(),
                                                                    "-" + kind if kind else ""), will, ca)

    def describe(self):
        return "the MQTT publisher to %s" % self.broker.where

    def _present(self, client, userdata, flags, reason, properties):
        if not reason.is_failure and not self._closing:
            client.publish(self.availability, "online", qos=1, retain=True)

    # The client's thread tells these.
    def _connect(self, client, userdata, flags, reason, properties):
        if reason.is_failure:
            self._away("refused the connection (%s)" % reason)
        else:
            with self._lock:
                  self._connected, self._outage = True, False
                  for topic, body in self.entities:
                      self._publish_to(topic, body, retain=True)
                  self._publish("availability", "online" if self.signal else "offline", retain=True)
                  self._publish("motion", self.motion, retain=True)
                  for name in self.objects.values():
                      self._publish(name, "ON", retain=True)
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
        self._publish_to(self.availability if name == "online" or name == "offline" else self.topic + name,
                         payload, retain)

    def _publish_to(self, topic, payload, retain=False):
        info = self.client.publish(topic, payload, qos=1, retain=retain)
        self._sent = [m for m in self._sent if not m.is_published()] + [info]

    # The listeners' thread tells these.
    def on_signal(self, kind, time):
        with self._lock:
            self.signal = kind != "lost"
            self._publish("availability", "online" if self.signal else "offline", retain=True)

    def on_event_start(self, event):
        with self._lock:
            self.motion = "ON"
            self._publish("motion", "ON", retain=True)
            self._publish("events", json.dumps(event.row("start", self.camera)))
            self._objects_on(event)

    def _objects_on(self, event):
        """PREFIX/CAMERA/LABEL ON for each label of the event (its own, then its detections')
        not yet ON (under the lock)."""
        for label in _labels_of(event):
            if label in self.objects:
                continue
            name = topic_level(label)
            if name in _OWN_TOPICS:   # a label that would stand for another message: not published
                continue
            self.objects[label] = name
            self._publish(name, "ON", retain=True)

    def on_event(self, event):
        picture = event.snapshot_path()
        data = None
        if picture is not None:
            try:
                  with open(picture, "rb") as f:
                      data = f.read()
            except OSError:
                  data = None
        with self._lock:
            self._publish("events", json.dumps(event.row("end", self.camera)))
            if data is not None:
                  self._publish("snapshot", data)
            # A label known only now (confirmed late in the event) is ON for a moment too: who
            # follows the topic sees the event.
            self._objects_on(event)
            for name in self.objects.values():
                  self._publish(name, "OFF", retain=True)
            self.objects.clear()
            self.motion = "OFF"
            self._publish("motion", "OFF", retain=True)

    def close(self):
        """Says offline, gives the broker a few seconds to take what was sent, and disconnects."""
        with self._lock:
            self._publish("availability", "offline", retain=True)
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
        # The recorder's offline after the camera's last messages.
        if self.presence is not None and self.presence.is_connected():
            try:
                  self.presence.publish(self.availability, "offline", qos=1, retain=True).wait_for_publish(
                      max(0.1, deadline - time.monotonic()))
            except (RuntimeError, ValueError):
                  pass
        self._closing = True
        for client in (self.client, self.presence):
            if client is None:
                continue
            client.disconnect()
            client.loop_stop()


# The topics of PREFIX/CAMERA/ that are no label's.
_OWN_TOPICS = ("motion", "events", "snapshot", "availability")


def _labels_of(event):
    """An event's labels: its own (its best detection's), then those of its detections."""
    found = [event.label] if event.label else []
    for detection in event.detections:
        label = getattr(detection, "label", None)
        if isinstance(label, str) and label and label not in found:
            found.append(label)
    return found


def _shown(url):
    from quarrin.options import shown_source

    return shown_source(url)


def check_broker_ca(opts):
    """What the option table cannot tell alone: the entities are published to a broker; a CA
    certificate is for a TLS broker, and must be one."""
    if opts.mqtt_discovery and not opts.mqtt:
        raise UsageError("mqtt_discovery", opts.mqtt_discovery, "publishes to the MQTT broker; it needs %s"
                         % named("mqtt"))
    if not opts.mqtt_ca:
        return
    if not (opts.mqtt and Broker.parse(opts.mqtt).tls):
        raise UsageError("mqtt_ca", opts.mqtt_ca, "is for a broker reached over TLS: an mqtts:// URL (%s)"
                         % named("mqtt"))
    import ssl

    try:
        ssl.create_default_context(cafile=opts.mqtt_ca)
    except (ssl.SSLError, OSError) as exc:
        raise UsageError("mqtt_ca", opts.mqtt_ca, "is no CA certificate in PEM (%s)" % (exc.strerror or exc)) from None


def _table(keywords):
    """A cameras file's keywords together: a CA or the discovery without a broker for the camera
    is dropped, a CA with a broker not reached over TLS is an error line."""
    if "mqtt_discovery" in keywords and "mqtt" not in keywords:
        del keywords["mqtt_discovery"]
    if "mqtt_ca" in keywords and "mqtt" not in keywords:
        del keywords["mqtt_ca"]  # no broker for this camera: its CA is not wanted
    elif "mqtt_ca" in keywords and not Broker.parse(keywords["mqtt"]).tls:
        return "tls_ca: is for a broker reached over TLS: an mqtts:// URL"
    return None


NOTIFIER = Notifier(
    name="mqtt", switch="mqtt", option_rows=option_rows,
    notify_keys={"mqtt": "mqtt", "tls_ca": "mqtt_ca", "discovery": "mqtt_discovery"},
    camera_keys={"mqtt": "mqtt", "mqtt_discovery": "mqtt_discovery"},
    make=lambda opts, camera, notify, log: Mqtt(opts.mqtt, camera, notify, opts.mqtt_ca, discovery=opts.mqtt_discovery,
                                                objects=opts.objects),
    drain=lambda opts: FLUSH_WAIT, check=check_broker_ca, table=_table)
