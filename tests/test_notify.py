"""Telling others of the events: the commands of --on-event (run as each event begins and ends,
bounded, their failures told), the messages of --mqtt to a broker on 127.0.0.1, a config file's
[notify] table, and what each notifier declares. The clips are test_events.py's scripted ones."""
import dataclasses
import datetime
import json
import os
import re
import time

import cv2
import numpy as np
import pytest

import quarrin
import videos
from waiting import until
from quarrin.listeners import hooks
from test_events import PATTERN, rows, scripted


# ---- telling others: a command (--on-event) and an MQTT broker (--mqtt) --------------------------

# Four events; the last is still open when the input ends: the end of the recording ends it.
TOLD = PATTERN + "RMM.....MM"


def hook(tmp_path, body):
    path = tmp_path / "hook.sh"
    path.write_text("#!/bin/sh\n" + body + "\n")
    path.chmod(0o755)
    return str(path)


def paced(seconds):
    """A progress callback that slows the recording to about a frame per `seconds`, so that the
    commands of one event are done before the next begins."""
    return lambda p: time.sleep(seconds)


@pytest.mark.parametrize("pipeline", [False, True], ids=["sequential", "pipelined"])
def test_a_command_runs_as_each_event_begins_and_ends(tmp_path, pipeline):
    src = scripted(tmp_path / "in.avi", TOLD)
    from quarrin.listeners.hooks import ENVIRONMENT

    # Only the event's: whoever runs the tests may have set others.
    command = hook(tmp_path, 'env | grep -E "^(%s)=" > "$0.$QUARRIN_EVENT.$QUARRIN_NUMBER"' % "|".join(ENVIRONMENT))
    lines = []
    r = quarrin.record(src, tmp_path / "door.avi", motion=True, min_area=50, pipeline=pipeline,
                       on_event_command=command, notify=lines.append, progress=paced(0.05))
    assert lines == [] and len(r.events) == 4
    for e, listed in zip(r.events, rows(tmp_path / "door.events.csv")):
        told = {}
        for kind in ("start", "end"):
            with open("%s.%s.%d" % (command, kind, e.event)) as f:
                told[kind] = dict(line.rstrip("\n").split("=", 1) for line in f)
        start, end = told["start"], told["end"]
        assert start.pop("QUARRIN_SNAPSHOT", None) is None  # no picture before the event has ended
        snapshot = end.pop("QUARRIN_SNAPSHOT", None)
        assert os.path.isfile(snapshot) and os.path.samefile(snapshot, e.snapshot)  # written before the command
        # Times and numbers as the event list writes them; what a start cannot know yet is not set.
        assert end == {"QUARRIN_EVENT": "end", "QUARRIN_NUMBER": str(e.event), "QUARRIN_CAMERA": "door",
                       "QUARRIN_START": listed["start"], "QUARRIN_END": listed["end"],
                       "QUARRIN_SECONDS": listed["seconds"], "QUARRIN_PEAK_AREA": listed["peak_area"],
                       "QUARRIN_FILE": str(tmp_path / "door.avi"), "QUARRIN_LABEL": "", "QUARRIN_SCORE": "",
                       "QUARRIN_ZONES": ""}
        assert int(start.pop("QUARRIN_PEAK_AREA")) <= e.peak_area
        assert start == {k: v for k, v in end.items() if k not in ("QUARRIN_END", "QUARRIN_SECONDS",
                                                                    "QUARRIN_PEAK_AREA")} | {"QUARRIN_EVENT": "start"}


BEGAN = quarrin.Event(1, datetime.datetime(2026, 12, 8, 10), None, None, 3, None, None, 500.0, "door.avi")


def found(label="", score=None, zones=(), more=()):
    """What a detector found of BEGAN: its label and score, the zones, and the labels of its other
    detections."""
    from quarrin.seams import Box, Detection

    detections = tuple(Detection(name, 0.5, Box(0, 0, 4, 4)) for name in ((label,) if label else ()) + more)
    return dict(label=label, score=score, zones=zones, detections=detections)


# A command that fails is a line; one that hangs is killed after --on-event-timeout, with what it
# started; while one runs the next of its kind is skipped with a line. Every command is accounted
# for, and the recording is whole.
@pytest.mark.parametrize("body, said", [
    ("echo no bell >&2; exit 3", r"failed \(exit status 3\): no bell"),
    ('echo $$ >> "$0.pids"; sleep 60 & echo $! >> "$0.pids"; echo waiting; wait', r"was killed after 0.3 s: waiting"),
    # Output without end: only its last lines are kept, and the timeout bounds the whole run.
    ('echo $$ >> "$0.pids"; yes', r"was killed after 0.3 s: y"),
], ids=["fails", "hangs", "floods"])
def test_a_command_that_fails_or_hangs(tmp_path, body, said):
    src = scripted(tmp_path / "in.avi", TOLD)
    command = hook(tmp_path, body)
    lines, shown = [], []
    r = quarrin.record(src, tmp_path / "door.avi", motion=True, min_area=50, on_event_command=command,
                       on_event_timeout=0.3, notify=lines.append, log=shown.append, progress=paced(0.02))
    assert len(shown) <= 8 * hooks.TAIL_BYTES // 2   # each of the 8 commands' last lines, at most
    told = r"^The --on-event command for the (start|end) of event (\d) "
    kinds = {"start": 0, "end": 0}
    for line in lines:
        found = re.match(told + "(%s|was skipped: the one for event \\d still runs)$" % said, line)
        assert found, line
        kinds[found.group(1)] += 1
    assert kinds == {"start": 4, "end": 4}
    assert any("skipped" not in line for line in lines)
    assert len(r.events) == 4 and len(rows(tmp_path / "door.events.csv")) == 4
    assert len(rows(str(tmp_path / "door.avi") + ".csv")) == len(videos.read_all(tmp_path / "door.avi")) \
        == r.frames_saved
    if os.path.exists(command + ".pids"):
        # Killed with its group; a loaded machine may take a moment to tear a process down.
        for pid in open(command + ".pids").read().split():
            until(lambda: _gone(int(pid)), timeout=10, what="the hook's process %s gone" % pid)


def test_a_watcher_that_dies_fails_the_recording(tmp_path, monkeypatch):
    def die(proc, timeout):
        raise MemoryError

    monkeypatch.setattr(hooks, "_follow", die)
    src = scripted(tmp_path / "in.avi", TOLD)
    with pytest.raises(quarrin.RecordingError, match=r"--on-event command .* failed \(Died: its watcher died "
                                                     r"\(MemoryError\)\); the files written are complete"):
        quarrin.record(src, tmp_path / "door.avi", motion=True, min_area=50, on_event_command="true")
    assert len(rows(tmp_path / "door.events.csv")) == 4


def _gone(pid):
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0] == "Z"
    except FileNotFoundError:
        return True


@pytest.mark.parametrize("broker_state", ["up", "wrong password", "down"])
def test_events_published_to_an_mqtt_broker(tmp_path, broker, broker_state):
    from mqtt_broker import Subscriber

    src = scripted(tmp_path / "in.avi", TOLD)
    url = broker.url("home/cams", **({"password": "wrong"} if broker_state == "wrong password" else {}))
    lines = []
    with Subscriber(broker, "home/#") as sub:
        if broker_state == "down":
            broker.stop()
        r = quarrin.record(src, tmp_path / "door.avi", motion=True, min_area=50, mqtt=url, notify=lines.append)
        assert len(r.events) == 4 and len(rows(tmp_path / "door.events.csv")) == 4
        if broker_state != "up":
            how = "refused the connection (Not authorized)" if broker_state == "wrong password" else "cannot be reached"
            assert lines == ["MQTT broker 127.0.0.1:%d %s: messages are dropped until it is back" % (broker.port, how)]
            return
        assert sub.wait(lambda: b"offline" in sub.payloads("home/cams/availability"))
    assert lines == []
    assert sub.payloads("home/cams/availability") == [b"online", b"offline"]
    assert sub.payloads("home/cams/door/availability") == [b"online", b"offline"]
    assert sub.payloads("home/cams/door/motion") == [b"OFF"] + [b"ON", b"OFF"] * 4
    told = [json.loads(p) for p in sub.payloads("home/cams/door/events")]
    assert [(m["type"], m["event"]) for m in told] == [(kind, n) for n in (1, 2, 3, 4) for kind in ("start", "end")]
    for e, listed, start, end in zip(r.events, rows(tmp_path / "door.events.csv"), told[::2], told[1::2]):
        columns = dict(listed, event=e.event, first_frame=e.first_frame, last_frame=e.last_frame, frames=e.frames,
                       seconds=e.seconds, peak_area=int(listed["peak_area"]), file=str(tmp_path / "door.avi"),
                       snapshot=os.path.abspath(e.snapshot), label=None, score=None, zones=[])
        assert {k: end[k] for k in columns} == columns and end["camera"] == "door"
        assert (start["end"], start["seconds"], start["last_frame"], start["frames"]) == (None,) * 4
        assert (start["start"], start["first_frame"], start["file"]) == (listed["start"], e.first_frame,
                                                                       str(tmp_path / "door.avi"))
    # What a newcomer finds: the state kept by the broker.
    with Subscriber(broker, "home/#") as late:
        assert late.wait(lambda: len(late.got) == 3)
        assert sorted((t, p, kept) for t, p, kept in late.got) == [
            ("home/cams/availability", b"offline", True), ("home/cams/door/availability", b"offline", True),
            ("home/cams/door/motion", b"OFF", True)]


# A configuration file's [notify] table and a camera's own keys, as record's keywords; every
# problem is a line naming the table and the key, and a password never shows.
@pytest.mark.parametrize("table, camera, keywords, errors", [
    ({"command": "true --x", "timeout": 5, "mqtt": "mqtts://u:s3cret@b/h", "tls_ca": "ca.pem"}, {},
     {"on_event_command": "true --x", "on_event_timeout": 5.0, "mqtt": "mqtts://u:s3cret@b/h", "mqtt_ca": "CA"}, []),
    ({"command": "true", "mqtt": "mqtt://b"}, {"on_event": "", "mqtt": "mqtt://c/door", "on_event_timeout": "2"},
     {"on_event_timeout": 2.0, "mqtt": "mqtt://c/door"}, []),
    ({"comand": "true", "timeout": -1}, {"on_event": "no-such-program-here"}, {},
     ["notify: comand: unknown key; did you mean command?", "notify: timeout: must be more than 0 (-1)",
      "cameras.door: on_event: no such program on PATH: no-such-program-here (no-such-program-here)"]),
    ({"mqtt": "mqtt://u:s3cret@b/+", "tls_ca": "missing.pem"}, None, {},
     ["notify: mqtt: the prefix '+' is no MQTT topic: no +, # or empty level (mqtt://u:***@b/+)",
      "notify: tls_ca: no such file (FOLDER/missing.pem)"]),
    ({"mqtt": "mqtt://b", "tls_ca": "ca.pem"}, None, {"mqtt": "mqtt://b", "mqtt_ca": "CA"},
     ["notify: tls_ca: is for a broker reached over TLS: an mqtts:// URL"]),
    ({"urls": "json://u:s3cret@h/x", "when": "End", "public_url": "http://view/"},
     {"notify": ["ntfy://door"], "notify_cooldown": 5},
     {"notify_urls": ("ntfy://door",), "notify_when": "end", "notify_cooldown": 5.0, "public_url": "http://view"}, []),
    ({"urls": ["ntfy://t", "nosuch://s3cret"], "cooldown": -1}, {"notify_when": "later"}, {},
     ["notify: urls: is no URL of a notification service Apprise knows (SERVICE://..., e.g. ntfy://TOPIC) "
      "(nosuch://***)", "notify: cooldown: must be 0 or more (-1)",
      "cameras.door: notify_when: expected one of start, end (later)"]),
    ({"mqtt": "mqtt://b", "discovery": True}, {"mqtt_discovery": "my/ha"},
     {"mqtt": "mqtt://b", "mqtt_discovery": "my/ha"}, []),
    ({"mqtt": "mqtt://b", "discovery": True}, {"mqtt_discovery": False},
     {"mqtt": "mqtt://b", "mqtt_discovery": None}, []),
    ({"mqtt": "mqtt://b", "discovery": "ha/"}, None, {"mqtt": "mqtt://b"},
     ["notify: discovery: is no MQTT topic prefix: no +, # or empty level (ha/)"]),
    ({"mqtt": "mqtt://b", "discovery": True}, {"mqtt": ""}, {}, []),
], ids=["all", "camera-overrides", "unknown-and-bad", "masked", "ca-without-tls", "push", "push-bad", "discovery",
        "discovery-off", "discovery-bad", "discovery-without-broker"])
def test_notify_table(tmp_path, table, camera, keywords, errors):
    from quarrin.listeners.registry import notify_options

    (tmp_path / "ca.pem").write_text("")
    got, problems = notify_options(table, camera, camera="door", folder=str(tmp_path))
    assert {k: str(tmp_path / "ca.pem") if v == "CA" else v for k, v in keywords.items()} == got
    assert [e.replace(str(tmp_path), "FOLDER") for e in problems] == errors


def test_each_notifier_declares_the_rows_its_keys_and_switch_name():
    from quarrin import options
    from quarrin.listeners import registry

    rows = {n.name: [o.name for o in n.option_rows(options)] for n in registry.notifiers()}
    assert sorted(sum(rows.values(), [])) == sorted(o.name for o in options.OPTIONS if o.group == "notify")
    assert all(n.switch in n.options and set(n.options) <= set(rows[n.name]) for n in registry.notifiers())


# The labels found: PREFIX/CAMERA/LABEL ON while the event lasts (the labels of all its detections;
# one known only at its end is ON as it ends), OFF after it, kept by the broker; a label that would
# stand for one of the camera's own topics gets none. A command's environment says the same.
@pytest.mark.parametrize("at_start, at_end, topics", [
    ({}, {}, {}),
    (found("person", 0.9, ("drive",), more=("car",)), found("person", 0.95, ("drive", "gate"), more=("car",)),
     {"person": [b"ON", b"OFF"], "car": [b"ON", b"OFF"]}),
    ({}, found("car", 0.7, more=("dog/cat",)), {"car": [b"ON", b"OFF"], "dog_cat": [b"ON", b"OFF"]}),
    (found("person", 0.9), found("person", 0.9, more=("motion", "events")), {"person": [b"ON", b"OFF"]}),
], ids=["motion", "object", "confirmed-at-the-end", "own-topics"])
def test_the_snapshot_is_published_once_at_the_end(tmp_path, broker, at_start, at_end, topics):
    """The event's picture, when it names one, goes out as it ends; the prefix is quarrin by default."""
    from mqtt_broker import Subscriber
    from quarrin.listeners.mqtt import Mqtt

    picture = tmp_path / "door-1.jpg"
    cv2.imwrite(str(picture), np.full((24, 32, 3), 90, np.uint8))
    began = dataclasses.replace(BEGAN, **at_start)
    ended = dataclasses.replace(BEGAN, end=began.start + datetime.timedelta(seconds=2), seconds=2.0, last_frame=22,
                                frames=20, snapshot=str(picture), **at_end)
    with Subscriber(broker, "quarrin/#") as sub:
        told = Mqtt(broker.url(), "door", notify=pytest.fail)
        told.on_event_start(began)
        told.on_event(ended)
        told.close()
        assert sub.wait(lambda: b"offline" in sub.payloads("quarrin/availability"))
    assert sub.payloads("quarrin/door/snapshot") == [picture.read_bytes()]
    messages = [json.loads(p) for p in sub.payloads("quarrin/door/events")]
    assert [m["snapshot"] for m in messages] == [None, str(picture)]
    assert [(m["label"], m["score"], m["zones"]) for m in messages] == [
        (e.label or None, e.score, list(e.zones)) for e in (began, ended)]
    # A command's environment tells the same, empty for what is not known (never one inherited).
    for m, e in zip(messages, (began, ended)):
        env = hooks.environment(e, m["type"], "door", base={"QUARRIN_LABEL": "cat", "QUARRIN_SCORE": "1"})
        assert [env[n] for n in ("QUARRIN_LABEL", "QUARRIN_SCORE", "QUARRIN_ZONES")] == [
            m["label"] or "", "" if m["score"] is None else str(m["score"]), ";".join(m["zones"])]
    own = {"motion", "events", "snapshot", "availability"}
    assert {t.split("/")[-1]: sub.payloads(t) for t, _, _ in sub.got if t.split("/")[-1] not in own} == topics
    assert sub.payloads("quarrin/door/motion") == [b"OFF", b"ON", b"OFF"]
    # What a newcomer finds: each label OFF.
    with Subscriber(broker, "quarrin/door/#") as late:
        assert late.wait(lambda: len(late.got) == 2 + len(topics))
        assert sorted((t, p) for t, p, _ in late.got) == sorted(
            [("quarrin/door/motion", b"OFF"), ("quarrin/door/availability", b"offline")]
            + [("quarrin/door/" + t, b"OFF") for t in topics])


# Home automation finds the camera: each entity's configuration, retained, names the topics the
# camera publishes to (its state follows the event there), its availability (and the service's,
# under it) and one device; ids hold only [A-Za-z0-9_-] whatever the camera's name, the name shown
# is kept. A label with a topic of the camera's own gets no entity.
@pytest.mark.parametrize("camera, objects, service, node, labels", [
    ("door", (), False, "home_2fcams-door", []),
    ("Front door/ü", ("person", "big car", "motion"), True, "home_2fcams-Front_20door_2f_c3_bc",
     [("person", "object-person", "Person"), ("big car", "object-big_20car", "Big car")]),
], ids=["plain", "labels-under-the-service"])
def test_home_automation_discovery(broker, monkeypatch, camera, objects, service, node, labels):
    from mqtt_broker import Subscriber
    from quarrin.listeners import mqtt

    monkeypatch.setitem(mqtt._PRESENCE, "own", not service)
    topic = "home/cams/%s/" % camera.replace("/", "_")
    with Subscriber(broker, "#") as sub:
        told = mqtt.Mqtt(broker.url("home/cams"), camera, pytest.fail, discovery="ha", objects=objects)
        assert sub.wait(lambda: sum(t.startswith("ha/") for t, _ in sub.pairs()) == 3 + len(labels))
        told.on_event_start(dataclasses.replace(BEGAN, label="person"))
        told.close()
        assert sub.wait(lambda: b"offline" in sub.payloads(topic + "availability"))
    found = {tuple(t.split("/")[1:]): json.loads(p) for t, p in sub.pairs() if t.startswith("ha/")}
    wanted = {("binary_sensor", "motion"): topic + "motion", ("camera", "snapshot"): topic + "snapshot",
              ("sensor", "last_event"): topic + "events"}
    wanted.update({("binary_sensor", object_id): topic + label for label, object_id, _ in labels})
    assert {(k[0], k[2]): c.get("state_topic", c.get("topic")) for k, c in found.items()} == wanted
    assert all(k[1] == node and k[3] == "config" for k in found)
    available = [topic + "availability"] + ["home/cams/availability"] * service
    for (_, _, object_id, _), c in found.items():
        assert [a["topic"] for a in c["availability"]] == available and c["availability_mode"] == "all"
        assert c["device"]["name"] == camera and c["device"]["identifiers"] == [node]
        assert c["unique_id"] == "%s-%s" % (node, object_id)
    assert {c["name"] for c in found.values()} == {"Motion", "Snapshot", "Last event", *(n for _, _, n in labels)}
    # What the entities read is where the events go.
    motion = found[("binary_sensor", node, "motion", "config")]
    assert sub.payloads(motion["state_topic"]) == [motion["payload_off"].encode(), motion["payload_on"].encode()]
    assert json.loads(sub.payloads(topic + "events")[0])["start"] == BEGAN.start.isoformat()
    assert found[("sensor", node, "last_event", "config")]["value_template"] == "{{ value_json.start }}"
    if labels:
        assert sub.payloads(found[("binary_sensor", node, "object-person", "config")]["state_topic"]) == [b"ON"]
    # Under the service, the service holds PREFIX/availability; alone, the recorder does.
    assert sub.payloads("home/cams/availability") == ([] if service else [b"online", b"offline"])


# ---- push notifications (--notify) to a receiver on 127.0.0.1 ------------------------------------

class Receiver:
    """An HTTP server on 127.0.0.1 that keeps each JSON body posted to it (Apprise's json://)."""

    def __init__(self):
        import http.server
        import threading

        got = self.got = []
        self.answer = answer = threading.Event()   # cleared: each POST waits for it
        answer.set()

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_POST(self):
                answer.wait(30)
                got.append((self.path, _posted(self.headers["Content-Type"],
                                               self.rfile.read(int(self.headers["Content-Length"])))))
                self.send_response(200)
                self.send_header("Content-Length", "0")
                self.end_headers()

            def log_message(self, *args):
                pass

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.port = self.server.server_address[1]
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def close(self):
        self.answer.set()
        self.server.shutdown()
        self.server.server_close()


def _posted(kind, body):
    """A posted notification as {"title", "message", "attachments": [{"base64"}]}: Apprise's json://
    posts JSON, form:// a form (multipart with its attachments)."""
    import base64
    import email.parser
    import email.policy
    import urllib.parse

    if kind.startswith("application/json"):
        return json.loads(body)
    if kind.startswith("application/x-www-form-urlencoded"):
        return {k: v[0] for k, v in urllib.parse.parse_qs(body.decode()).items()}
    message = email.parser.BytesParser(policy=email.policy.HTTP).parsebytes(
        b"Content-Type: " + kind.encode() + b"\r\n\r\n" + body)
    found = {"attachments": []}
    for part in message.iter_parts():
        if part.get_filename():
            found["attachments"].append({"base64": base64.b64encode(part.get_payload(decode=True)).decode()})
        else:
            found[part.get_param("name", header="content-disposition")] = part.get_content()
    return found


@pytest.fixture
def receiver():
    r = Receiver()
    yield r
    r.close()


def _closed_port():
    import socket

    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


# Each event told once (as it begins, or as it ends with its picture and length), within the
# cooldown none, only the labels asked for; a receiver that refuses is one line without the URL's
# password, and the recording is whole.
@pytest.mark.parametrize("given, told", [
    (dict(notify_cooldown=0), "start"),
    (dict(notify_cooldown=0, notify_when="end"), "end"),
    (dict(notify_cooldown=0, scheme="form"), "start"),
    (dict(notify_cooldown=0, notify_when="end", scheme="form"), "end"),
    (dict(), "first"),
    (dict(notify_cooldown=0, notify_labels="person"), None),
    (dict(notify_cooldown=0, refused=True), None),
], ids=["start", "end", "form-start", "form-end", "cooldown", "labels", "refused"])
def test_notifications_of_the_events(tmp_path, receiver, given, told):
    import base64

    given = dict(given)
    port = _closed_port() if given.pop("refused", False) else receiver.port
    scheme = given.pop("scheme", "json")
    src = scripted(tmp_path / "in.avi", TOLD)
    lines = []
    r = quarrin.record(src, tmp_path / "door.avi", motion=True, min_area=50, notify=lines.append,
                       notify_urls=["%s://cam:s3cret@127.0.0.1:%d/hook" % (scheme, port)],
                       public_url="http://view.test:8080/",
                       progress=paced(0.02), **given)
    assert len(r.events) == 4 and len(rows(tmp_path / "door.events.csv")) == 4
    if port != receiver.port:
        assert lines == ["Notification service JSON 127.0.0.1:%d did not take the notification of event 1: "
                         "notifications to it are dropped until it takes one" % port]
        return
    assert lines == []
    events = {"start": r.events, "end": r.events, "first": r.events[:1], None: []}[told]
    assert [path for path, _ in receiver.got] == ["/hook"] * len(events)
    for (_, sent), e in zip(receiver.got, events):
        assert sent["title"] == "Motion at door"
        said = sent["message"].splitlines()
        assert said[0] == ("At " if told == "end" else "Began ") + e.start.strftime("%Y-%m-%d %H:%M:%S")
        assert said[-1] == "http://view.test:8080/events/at?camera=door&start=%s" % (
            e.start.isoformat(timespec="seconds").replace(":", "%3A"))
        assert ("Lasted %.1f s" % e.seconds in said) == (told == "end")
        pictures = [base64.b64decode(a["base64"]) for a in sent.get("attachments") or ()]
        # The picture is written as the event ends: a start has none yet.
        assert pictures == ([open(e.snapshot, "rb").read()] if told == "end" else [])


# The title names the label, the body its score and zones; a label asked for may be any of the
# event's detections'.
@pytest.mark.parametrize("event, labels, title, zones", [
    ({}, None, "Motion at door", None),
    (found("person", 0.91, ("drive", "gate")), None, "Person at door", "Zones: drive, gate"),
    (found("car", 0.7, more=("person",)), ("person",), "Car at door", None),
    (found("car", 0.7), ("person",), None, None),
], ids=["motion", "object", "a-detection's-label", "other-label"])
def test_a_notification_says_what_was_found(receiver, event, labels, title, zones):
    from quarrin.listeners.push import Push

    told = Push(["json://127.0.0.1:%d/" % receiver.port], "door", notify=pytest.fail, cooldown=0, labels=labels)
    told.on_event_start(dataclasses.replace(BEGAN, **event))
    told.on_event(dataclasses.replace(BEGAN, **event))   # told as it begins only
    told.close()
    assert [sent["title"] for _, sent in receiver.got] == ([title] if title else [])
    for _, sent in receiver.got:
        assert (zones in sent["message"].splitlines()) if zones else "Zones" not in sent["message"]


def test_notifications_left_when_the_recording_ends_are_dropped_as_told(receiver, monkeypatch):
    # A service that does not answer holds only its own thread; what is still queued at the end
    # is said not to be sent, and is not sent when the service answers later.
    from quarrin.listeners import push

    monkeypatch.setattr(push, "SEND_WAIT", 0.3)
    lines = []
    told = push.Push(["json://127.0.0.1:%d/" % receiver.port], "door", notify=lines.append, cooldown=0)
    receiver.answer.clear()
    for number in (1, 2, 3):
        told.on_event_start(dataclasses.replace(BEGAN, event=number))
    told.close()
    assert lines == ["The notifications still queued after 0.3 s are not sent (2)"]
    receiver.answer.set()
    told._thread.join(10)
    assert not told._thread.is_alive() and len(receiver.got) == 1


# Each camera's availability is its own: its signal lost and back says so, and a recorder killed
# (the broker's last will) or stopped sets only its camera offline, while another camera records.
@pytest.mark.parametrize("end", ["stopped", "killed"])
def test_each_camera_has_its_own_availability(tmp_path, broker, end):
    import signal
    import subprocess
    import sys

    from mqtt_broker import Subscriber
    from quarrin.listeners.mqtt import Mqtt

    child = ("import signal, sys, time\nfrom quarrin.listeners.mqtt import Mqtt\nm = Mqtt(sys.argv[1], 'door', print)\n"
             "signal.signal(signal.SIGTERM, lambda *a: (m.close(), sys.exit(0)))\n"
             "m.on_signal('lost', None)\nm.on_signal('back', None)\n[i.wait_for_publish(10) for i in m._sent]\n"
             "print('ready', flush=True)\ntime.sleep(60)\n")
    with Subscriber(broker, "quarrin/#") as sub:
        yard = Mqtt(broker.url(), "yard", notify=pytest.fail)
        door = subprocess.Popen([sys.executable, "-c", child, broker.url()], stdout=subprocess.PIPE, text=True)
        assert door.stdout.readline() == "ready\n"
        door.send_signal(signal.SIGKILL if end == "killed" else signal.SIGTERM)
        assert door.wait(30) == (-signal.SIGKILL if end == "killed" else 0)
        assert sub.wait(lambda: sub.payloads("quarrin/door/availability")[-1:] == [b"offline"])
        assert sub.payloads("quarrin/door/availability") == [b"online", b"offline", b"online", b"offline"]
        assert sub.payloads("quarrin/yard/availability") == [b"online"]
        yard.close()
        assert sub.wait(lambda: sub.payloads("quarrin/yard/availability") == [b"online", b"offline"])


# A recording started again into the same output numbers its events on from the last one used,
# so that no number told to a command, a broker or a notification stands for two events; the
# earlier pictures stay as they were.
@pytest.mark.parametrize("output", ["door.avi", "cams/%Y/door-%H%M%S.avi"])
def test_event_numbers_go_on_when_a_recording_starts_again(tmp_path, output):
    import glob

    src = scripted(tmp_path / "in.avi", TOLD)
    told = []
    first = quarrin.record(src, tmp_path / output, motion=True, min_area=50)
    pictures = {p: open(p, "rb").read() for p in glob.glob(str(tmp_path / "**" / "*.jpg"), recursive=True)}
    again = quarrin.record(src, tmp_path / output, motion=True, min_area=50, on_event_start=told.append)
    assert [e.event for e in first.events] == [1, 2, 3, 4]
    assert [e.event for e in again.events] == [e.event for e in told] == [5, 6, 7, 8]
    assert [os.path.basename(e.snapshot) for e in again.events] == ["0005.jpg", "0006.jpg", "0007.jpg", "0008.jpg"]
    assert os.path.dirname(again.events[0].snapshot) != os.path.dirname(first.events[0].snapshot)
    assert {p: open(p, "rb").read() for p in pictures} == pictures
    lists = sorted(glob.glob(str(tmp_path / "**" / "*.events*.csv"), recursive=True))
    assert sorted(int(r["event"]) for path in lists for r in rows(path)) == list(range(1, 9))
