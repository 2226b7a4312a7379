"""The service's own presence on the MQTT brokers its cameras publish to: PREFIX/availability
online while the service runs, offline when it stops (retained; the broker's last will says
offline for a service that vanished), one connection per broker and prefix. Its recorders leave
that topic alone (quarrin.listeners.mqtt.leave_presence_to_service), so that a recorder killed or
restarted marks only its own camera offline.

On a reload, the home automation entities of a camera removed, or that publishes fewer of them
now (its discovery turned off, a label no longer wanted), are removed: an empty retained message
on each of their discovery topics. What its recorder said last stays: its availability offline.
"""
import os
import threading
import time


class Presence:
    """The service's connections to the brokers of `cameras` (quarrin.service.config.Camera by
    name); `out` gets its lines."""

    def __init__(self, cameras, out):
        self.out = out
        self.links = {}
        self.update({}, cameras)

    def update(self, before, after):
        """The cameras were `before` and are `after` (by name): a broker new to them is connected
        to, the entities of `before` that `after` does not publish are removed, and a broker no
        camera uses any more is told offline and left."""
        wanted = {}
        for camera in after.values():
            wanted.update(_brokers(camera))
        kept = {(key, topic) for camera in after.values() for key, topic in _topics(camera)}
        gone = {}
        for camera in before.values():
            for key, topic in _topics(camera):
                if (key, topic) not in kept:
                    gone.setdefault(key, []).append(topic)
        for key in wanted:
            if key not in self.links:
                self.links[key] = _Link(key, self.out)
        for key, topics in gone.items():
            if key not in self.links:   # a broker none of the cameras uses now
                self.links[key] = _Link(key, self.out)
            self.links[key].clear(topics)
        for key in [k for k in self.links if k not in wanted]:
            self.links.pop(key).close()

    def close(self):
        """Offline on each broker, and the connections closed."""
        for link in self.links.values():
            link.close()
        self.links = {}


def _brokers(camera):
    """{key: None} of the broker `camera` publishes to: its Broker and its CA certificate."""
    from quarrin.listeners.mqtt import Broker

    opts = camera.checked
    return {(Broker.parse(opts.mqtt), opts.mqtt_ca): None} if opts.mqtt else {}


def _topics(camera):
    """(broker key, topic) of each discovery topic `camera` publishes."""
    from quarrin.listeners import mqtt, registry

    opts = camera.checked
    keys = list(_brokers(camera))
    return [(keys[0], topic) for topic in mqtt.discovery_topics(opts, registry.camera_of(opts, camera.output))]


class _Link:
    """One connection of the service's: `key` is (Broker, CA certificate or None)."""

    count = 0

    def __init__(self, key, out):
        import paho.mqtt.client as paho

        from quarrin.listeners import mqtt

        self.broker, ca = key
        self.topic = self.broker.prefix + "/availability"
        self.out = out
        self.connected = threading.Event()
        self._outage = self._closing = False
        _Link.count += 1
        client = self.client = mqtt.client_for(paho, self.broker, "quarrin-service-%d-%d" % (os.getpid(), _Link.count),
                                               self.topic, ca)
        client.on_connect = self._connect
        client.on_connect_fail = lambda client, userdata: self._away("cannot be reached")
        client.on_disconnect = self._disconnect
        client.connect_async(self.broker.host, self.broker.port, keepalive=mqtt.KEEPALIVE)
        client.loop_start()

    # The client's thread tells these.
    def _connect(self, client, userdata, flags, reason, properties):
        if reason.is_failure:
            self._away("refused the connection (%s)" % reason)
            return
        self._outage = False
        if not self._closing:
            client.publish(self.topic, "online", qos=1, retain=True)
        self.connected.set()

    def _disconnect(self, client, userdata, flags, reason, properties):
        self.connected.clear()
        if not self._closing:
            self._away("went away")

    def _away(self, how):
        said, self._outage = self._outage, True
        if not said:
            self.out("MQTT broker %s %s: the service's availability is told once it is back" % (self.broker.where, how))

    def _sent(self, infos, deadline):
        for info in infos:
            try:
                info.wait_for_publish(max(0.1, deadline - time.monotonic()))
            except (RuntimeError, ValueError):   # dropped on a lost connection
                return False
        return all(info.is_published() for info in infos)

    def clear(self, topics):
        """An empty retained message on each of `topics`: the broker forgets what they held."""
        from quarrin.listeners import mqtt

        deadline = time.monotonic() + mqtt.CONNECT_WAIT + mqtt.FLUSH_WAIT
        if self.connected.wait(mqtt.CONNECT_WAIT) and self._sent(
                [self.client.publish(t, b"", qos=1, retain=True) for t in topics], deadline):
            return
        self.out("MQTT broker %s: %d home automation entit%s of the cameras gone could not be removed"
                 % (self.broker.where, len(topics), "y" if len(topics) == 1 else "ies"))

    def close(self):
        from quarrin.listeners import mqtt

        if self.connected.is_set():
            self._sent([self.client.publish(self.topic, "offline", qos=1, retain=True)],
                       time.monotonic() + mqtt.FLUSH_WAIT)
        self._closing = True
        self.client.disconnect()
        self.client.loop_stop()
