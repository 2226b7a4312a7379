"""Detectors: HOG on people walking against branches in the wind, and ONNX models built here whose
outputs follow a bright square's place, in each output layout, through either runtime."""
import sys

import cv2
import numpy as np
import pytest

import parts
from quarrin import UsageError
from quarrin.detectors import load

onnx = parts.module("onnx")
from onnx import TensorProto, helper, numpy_helper  # noqa: E402

DATA = "/usr/share/doc/opencv-doc/examples/data/"


def frames_of(name, numbers):
    cap = cv2.VideoCapture(DATA + name)
    if not cap.isOpened():
        parts.missing("opencv-doc's example videos are not installed (scripts/setup-system.sh installs them)")
    got = {}
    for i in range(max(numbers) + 1):
        ok, frame = cap.read()
        assert ok
        if i in numbers:
            got[i] = frame
    cap.release()
    return [got[i] for i in numbers]


@pytest.mark.parametrize("video, numbers, people", [
    ("vtest.avi", [0, 20, 40], True),       # people walking
    ("tree.avi", [0, 15, 30, 45], False),   # branches in the wind
    ("vtest.avi", [0], False),              # cut below the window (60x120): nothing, and no crash
])
def test_hog_finds_people_only(video, numbers, people):
    detector = load("hog")
    for frame in frames_of(video, numbers):
        if video == "vtest.avi" and not people:
            frame = frame[200:320, 230:290].copy()
        found = detector.detect(frame)
        assert bool(found) == people
        assert all(d.label == "person" and 0.5 <= d.score <= 1 for d in found), found
        assert all(b.x >= 0 and b.y >= 0 and b.x + b.width <= frame.shape[1] and b.y + b.height <= frame.shape[0]
                   for b in (d.box for d in found))
    detector.close()


# ---- ONNX models whose outputs follow bright squares ----------------------------------------------
# A 128x128 input in 16-pixel cells; each cell's brightness is 2 * mean - 1 held at 0 (the letterbox's
# grey and black are 0, white is 1). Every cell has a box three cells wide centred on it: a bright
# cell's box overlaps its neighbour's by 0.5 of their union, so that suppression keeps one of two.
SIZE, CELL, SPAN = 128, 16, 48
N = (SIZE // CELL) ** 2


def build(path, layout, classes=2):
    """layout: "across" [1, 4+C, N], "along" [1, N, 4+C], "v5" [1, N, 5+C], "ssd" [1, 1, N, 7] or
    "flat" [1, N] (the brightness alone). Class 1 scores the brightness (v5: 0.6, times the
    brightness as objectness), class 0 scores 0.2."""
    inits, nodes = [], []

    def const(name, array):
        inits.append(numpy_helper.from_array(np.asarray(array, np.float32), name))
        return name

    def node(op, inputs, out, **attrs):
        nodes.append(helper.make_node(op, inputs, [out], **attrs))
        return out

    const("w", np.full((1, 3, CELL, CELL), 2 / (3 * CELL * CELL)))
    node("Conv", ["images", "w", const("b", [-1.0])], "mean", strides=[CELL, CELL], kernel_shape=[CELL, CELL])
    inits.append(numpy_helper.from_array(np.array([1, 1, N], np.int64), "row"))
    bright = node("Reshape", [node("Relu", ["mean"], "relu"), "row"], "bright")
    ys, xs = np.mgrid[0:SIZE // CELL, 0:SIZE // CELL]
    cx, cy = (xs.ravel() + 0.5) * CELL, (ys.ravel() + 0.5) * CELL
    if layout == "flat":
        inits.append(numpy_helper.from_array(np.array([1, N], np.int64), "flat"))
        node("Reshape", [bright, "flat"], "out")
        shape = [1, N]
    elif layout == "ssd":
        inits.append(numpy_helper.from_array(np.array([1, 1, N, 1], np.int64), "col"))
        corners = np.stack([cx - SPAN / 2, cy - SPAN / 2, cx + SPAN / 2, cy + SPAN / 2], -1) / SIZE
        parts_ = [const("head", np.tile([0, 1], (1, 1, N, 1))), node("Reshape", [bright, "col"], "score"),
                  const("corners", corners[None, None])]
        node("Concat", parts_, "out", axis=3)
        shape = [1, 1, N, 7]
    else:
        rows = [const("boxes", np.stack([cx, cy, np.full(N, SPAN), np.full(N, SPAN)])[None])]
        if layout == "v5":
            rows += [bright, const("c01", np.tile([[0.2], [0.6]], (1, 1, N)))]
        else:
            rows += [const("c0", np.full((1, 1, N), 0.2)), bright]
        if classes > 2:
            rows.append(const("rest", np.zeros((1, classes - 2, N))))
        values = 4 + classes + (layout == "v5")
        if layout == "across":
            node("Concat", rows, "out", axis=1)
            shape = [1, values, N]
        else:
            node("Transpose", [node("Concat", rows, "cat", axis=1)], "out", perm=[0, 2, 1])
            shape = [1, N, values]
    graph = helper.make_graph(nodes, "squares", [helper.make_tensor_value_info("images", TensorProto.FLOAT,
                                                                               [1, 3, SIZE, SIZE])],
                              [helper.make_tensor_value_info("out", TensorProto.FLOAT, shape)], inits)
    save(graph, path)
    return path


def save(graph, path):
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 13)])
    model.ir_version = 8  # what every runtime here reads
    onnx.save(model, str(path))


@pytest.fixture(params=["onnxruntime", "opencv"])
def runtime(request, monkeypatch):
    if request.param == "onnxruntime":
        parts.module("onnxruntime")
    else:
        monkeypatch.setitem(sys.modules, "onnxruntime", None)  # as where it is not installed
    return request.param


# A 320x160 frame goes into the input at 0.4, 32 pixels of grey above and below it: a cell is 40
# frame pixels, a box 120. Squares: a cell at the top left corner (its box clipped), two cells side by
# side (one detection after suppression; two without it, as an SSD output has none).
SQUARES = [(0, 0, 40, 40), (160, 80, 80, 40)]
CORNER, SIDE_BY_SIDE = (0, 0, 80, 80), [(120, 40, 120, 120), (160, 40, 120, 120)]


@pytest.mark.parametrize("layout, classes, labels, label, score", [
    ("across", 2, ["dog", "cat"], "cat", 1.0),
    ("along", 2, ["dog", "cat"], "cat", 1.0),
    ("v5", 2, ["dog", "cat"], "cat", 0.6),
    ("v5", 80, None, "bicycle", 0.6),
    ("ssd", 0, ["background", "person"], "person", 1.0),
    ("ssd", 0, None, "class 1", 1.0),
])
@pytest.mark.parametrize("tall", [False, True], ids=["wide", "tall"])
def test_onnx_boxes_land_on_the_squares(tmp_path, runtime, layout, classes, labels, label, score, tall):
    model = build(tmp_path / "m.onnx", layout, classes)
    if labels:
        (tmp_path / "labels.txt").write_text("".join(n + "\n" for n in labels) + "\n")
    said = []
    detector = load(str(model), labels=tmp_path / "labels.txt" if labels else None, log=said.append)
    assert len(said) == 1 and ("onnxruntime" if runtime == "onnxruntime" else "dnn") in said[0]
    frame = np.zeros((160, 320, 3), np.uint8)
    for x, y, w, h in SQUARES:
        frame[y:y + h, x:x + w] = 255
    side = SIDE_BY_SIDE
    if tall:
        frame = np.ascontiguousarray(frame.transpose(1, 0, 2))
        side = [(y, x, h, w) for x, y, w, h in side]
    found = detector.detect(frame)
    boxes = sorted(tuple(d.box) for d in found)
    if layout == "ssd":
        assert boxes == sorted([CORNER, *side])
    else:  # which of the two side by side is kept is suppression's choice
        assert len(boxes) == 2 and CORNER in boxes and set(boxes) < {CORNER, *side}, boxes
    assert [(d.label, round(d.score, 3)) for d in found] == [(label, score)] * len(found)
    assert detector.detect(np.full((160, 320, 3), 114, np.uint8)) == []
    detector.close()


@pytest.mark.parametrize("case, option, says", [
    ("missing", "detector", "no such file"),
    ("folder", "detector", "is a folder"),
    ("empty", "detector", "is not an ONNX model"),
    ("garbage", "detector", "is not an ONNX model"),
    ("text", "detector", "is not an ONNX model"),
    ("vector input", "detector", "not an image batch"),
    ("unknown op", "detector", "cannot be run by"),
    ("flat output", "detector", "neither a YOLO output"),
    ("no labels", "detector", "needs their names"),
    ("labels count", "labels", "3 class names, and the model"),
    ("labels missing", "labels", "no such file"),
    ("labels empty", "labels", "holds no class names"),
    ("hog labels", "labels", "go with an ONNX model"),
])
def test_unusable_models_and_labels_are_refused_naming_the_file(tmp_path, runtime, case, option, says):
    model, labels = tmp_path / "m.onnx", None
    if case == "folder":
        model.mkdir()
    elif case == "empty":
        model.write_bytes(b"")
    elif case == "garbage":
        model.write_bytes(np.random.default_rng(5).integers(0, 256, 4096, np.uint8).tobytes())
    elif case == "text":
        model.write_text("not a model\n")
    elif case == "vector input":
        x, out = (helper.make_tensor_value_info(n, TensorProto.FLOAT, [1, 10]) for n in "xy")
        save(helper.make_graph([helper.make_node("Relu", ["x"], ["y"])], "g", [x], [out]), model)
    elif case == "unknown op":
        built = onnx.load(str(build(model, "across")))
        built.graph.node[0].op_type = "NoSuchOperator"
        onnx.save(built, str(model))
    elif case == "flat output":
        build(model, "flat")
    elif case == "no labels":
        build(model, "across", classes=3)
    elif case.startswith("labels"):
        build(model, "across", classes=2)
        labels = tmp_path / "names.txt"
        if case != "labels missing":
            labels.write_text("a\nb\nc\n" if case == "labels count" else "\n \n")
    elif case == "hog labels":
        model, labels = "hog", tmp_path / "names.txt"
    with pytest.raises(UsageError) as e:
        load(str(model), labels=labels)
    assert e.value.option == option
    assert says in str(e.value) and str(labels if option == "labels" else model) in str(e.value), str(e.value)


# ---- objects that confirm events ---------------------------------------------------------------------
import threading  # noqa: E402
import time  # noqa: E402

import quarrin  # noqa: E402
import videos  # noqa: E402
from quarrin import objects  # noqa: E402
from quarrin.seams import Box, Detection  # noqa: E402

# Two events of a square moving 8 px a frame: frames 1-2 (its bottom centre at x 16, 24) and 8-9
# (x 32, 40), each 0.1 s of motion.
PATTERN = "RMM.....MM....."


def scripted(path, pattern=PATTERN):
    x, frames = 0, []
    for c in pattern:
        if c == "M":
            x = (x + 8) % 40
        frames.append(videos.square_frame(64, 48, x, 12))
    return videos.write_clip(path, frames)


class Squares:
    """Finds the bright square of a frame as one `label` of `score`; raises with `fail`; with `sleep`,
    takes that long."""

    def __init__(self, label="person", score=0.9, fail=False, sleep=0.0):
        self.label, self.score, self.fail, self.sleep = label, score, fail, sleep
        self.calls = 0

    def detect(self, frame):
        self.calls += 1
        time.sleep(self.sleep)
        if self.fail:
            raise RuntimeError("the model broke")
        ys, xs = np.nonzero(frame.max(axis=2) > 150)
        if not len(xs):
            return []
        return [Detection(self.label, self.score, Box(int(xs.min()), int(ys.min()), int(np.ptp(xs)) + 1,
                                                       int(np.ptp(ys)) + 1))]


LEFT = {"left": [[0, 0], [30, 0], [30, 47], [0, 47]]}
# The motion's boxes reach x 36 in the first event, x 52 in the second; none reaches y 44.
AREAS = {"right": [[40, 0], [63, 0], [63, 47], [40, 47]], "floor": [[0, 44], [63, 44], [63, 47], [0, 47]],
         "all": [[0, 0], [63, 0], [63, 47], [0, 47]]}


@pytest.mark.parametrize("options, detector, kept, labels, zones, dropped", [
    (dict(objects=["person"]), Squares(), [(1, 2), (8, 9)], ["person"] * 2, [(), ()], ()),
    # The wrong label, or too low a score: nothing confirms them.
    (dict(objects=["car"]), Squares(), [], [], [], (("without objects", 2),)),
    (dict(objects=["person"], min_score=0.95), Squares(), [], [], [], (("without objects", 2),)),
    # An ONNX model's own (class 1 scores a cell's brightness: the square's is about 0.32).
    (dict(objects=["cat"], min_score=0.3), "model", [(1, 2), (8, 9)], ["cat"] * 2, [(), ()], ()),
    # A slow detector gives a file the same events: the recording waits for it.
    (dict(objects=["person"]), Squares(sleep=0.05), [(1, 2), (8, 9)], ["person"] * 2, [(), ()], ()),
    # A detector that raises: kept as motion events, with no label.
    (dict(objects=["person"]), Squares(fail=True), [(1, 2), (8, 9)], ["", ""], [(), ()], ()),
    # Zones: by the object's bottom centre; a required one keeps the first event only.
    (dict(objects=["person"], zones=LEFT), Squares(), [(1, 2), (8, 9)], ["person"] * 2, [("left",), ()], ()),
    (dict(objects=["person"], zones=LEFT, require_zone=["left"]), Squares(), [(1, 2)], ["person"], [("left",)],
     (("outside the zones", 1),)),
    # Without objects, by the motion's box.
    (dict(zones=AREAS, require_zone=["floor"]), None, [], [], [], (("outside the zones", 2),)),
    (dict(zones=AREAS, require_zone=["right"]), None, [(8, 9)], [""], [("right", "all")], (("outside the zones", 1),)),
    (dict(zones=AREAS), None, [(1, 2), (8, 9)], ["", ""], [("all",), ("right", "all")], ()),
], ids=["person", "other-label", "low-score", "onnx", "slow", "failing", "zones", "required-zone", "motion-zone-missed",
        "motion-zone-required", "motion-zones"])
@pytest.mark.parametrize("pipeline", [False, True], ids=["sequential", "pipelined"])
def test_objects_confirm_events(tmp_path, options, detector, kept, labels, zones, dropped, pipeline):
    src = scripted(tmp_path / "in.avi")
    told, started = [], []
    if detector == "model":
        (tmp_path / "names.txt").write_text("dog\ncat\n")
        options = dict(options, detector=str(build(tmp_path / "m.onnx", "across")), labels=tmp_path / "names.txt")
    elif detector is not None:
        options = dict(options, detector=detector)
    r = quarrin.record(src, tmp_path / "o.avi", motion=True, min_area=50, pipeline=pipeline, notify=told.append,
                       on_event_start=started.append, **options)
    assert [(e.first_frame, e.last_frame) for e in r.events] == kept
    assert [e.label for e in r.events] == labels == [e.label for e in started]
    assert [e.zones for e in r.events] == zones
    assert r.dropped == dropped
    assert all((e.score is None) == (not e.label) for e in r.events)
    # The frames written are the kept events' and the reference frame.
    assert [i for s in r.segments for i in s.inframes] == [0] + [i for a, b in kept for i in range(a, b + 1)]
    failed = [line for line in told if "detector failed" in line]
    assert len(failed) == (1 if getattr(detector, "fail", False) else 0), told


@pytest.mark.parametrize("video, kept", [("vtest.avi", True), ("tree.avi", False)])
def test_hog_keeps_people_and_drops_branches(tmp_path, video, kept):
    frames_of(video, [0])  # (skips without the videos)
    lines = []
    r = quarrin.record(DATA + video, tmp_path / "o.avi", motion=True, objects=["person"], duration=5, log=lines.append)
    assert bool(r.events) == kept
    assert all(e.label == "person" and e.score >= 0.5 for e in r.events)
    assert kept or r.dropped[0][0] == "without objects"
    assert any(line.startswith("detector: hog") for line in lines)
    assert any(line.startswith("Detector: looked at") for line in lines)


def test_a_live_watch_never_waits_for_its_detector():
    gate = threading.Event()

    class Stuck:
        def detect(self, frame):
            gate.wait(10)
            return [Detection("person", 0.9, Box(0, 0, 4, 4))]

    watch = objects.Watch(Stuck(), ["person"], live=True)
    image = np.zeros((48, 64, 3), np.uint8)
    watch.look(0, 0.0, image, (0, 0, 8, 8))
    watch.look(1, 1.0, image, (0, 0, 8, 8))   # due, but the detector is busy: passed over
    assert (watch.confirmed(), watch.skipped) == (False, 1)
    found = watch.end(False, True)            # the event ends before its detection comes back
    gate.set()
    watch.close()
    assert found == objects.NOTHING and watch.dropped.items() == [("without objects", 1)]
    assert watch.findings() == objects.NOTHING  # the late result went with its event


def test_a_live_camera_s_events_are_confirmed_off_the_frame_loop(tmp_path):
    from mjpeg_server import MjpegServer

    slow = Squares(sleep=0.3)  # slower than the frames come: some frames due pass it by
    with MjpegServer(fps=20) as cam:
        r = quarrin.record(cam.url, tmp_path / "c-%H%M%S.avi", motion=True, min_area=50, objects=["person"],
                           detector=slow, detect_fps=10, duration=3)
    assert r.events and all(e.label == "person" and e.score == 0.9 for e in r.events)
    assert slow.calls < r.frames_read


@pytest.mark.parametrize("method", ["look", "confirmed", "end"])
@pytest.mark.parametrize("pipeline", [False, True], ids=["sequential", "pipelined"])
def test_a_ctrl_c_while_the_detector_is_asked(tmp_path, monkeypatch, method, pipeline):
    real = getattr(objects.Watch, method)
    calls = []

    def interrupted(self, *args):
        calls.append(method)
        if len(calls) == 1:
            raise KeyboardInterrupt
        return real(self, *args)

    monkeypatch.setattr(objects.Watch, method, interrupted)
    src = scripted(tmp_path / "in.avi")
    r = quarrin.record(src, tmp_path / "o.avi", motion=True, min_area=50, objects=["person"], detector=Squares(),
                       pipeline=pipeline)
    assert r.stopped == "interrupt" and calls
    # What was written is whole: the CSV's rows are the video's frames.
    for s in r.segments:
        assert len(videos.read_all(s.video)) == s.frames == len(open(s.csv).read().splitlines()) - 1
    assert not [t for t in threading.enumerate() if t.name == "quarrin-detect"]  # its thread is gone
