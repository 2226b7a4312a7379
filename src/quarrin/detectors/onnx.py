"""Detectors that run an ONNX model on the CPU: through onnxruntime where it is installed (the
``objects`` extra), through OpenCV's dnn module otherwise.

The model takes one image batch [1, 3, height, width] of float32 (RGB, 0 to 1). Its height and
width are the size every frame is letterboxed to (scaled to fit, centred, the rest padded grey);
640 x 640 where the model leaves them open. Its first output is read in one of two layouts:

- YOLO: [1, 4+C, N] or [1, N, 4+C]: for each of N boxes its centre x and y, width and height in the
  input's pixels, then a score for each of C classes. [1, N, 5+C] (YOLOv5's) has an objectness
  column before the class scores, which multiplies them. A box's class is its best scored; boxes of
  one class that overlap by more than NMS_OVERLAP (intersection over union) are one detection, the
  best scored (non-maximum suppression). C is the count of the labels (4+C or 5+C values a box);
  without labels the model must have the 80 COCO classes (84 or 85 values a box).
- SSD: [1, 1, N, 7]: for each of N detections its image (negative: none), class id, score and
  corners x1, y1, x2, y2 as fractions of the input's width and height. The class id is a line of
  the labels counted from 0 (that line often reads "background"); an id they do not name, or any
  without labels, reads "class ID".

Detections scored below MIN_SCORE are dropped, scores held to 0..1, and boxes mapped back to the
frame's pixels and clipped to it.
"""
from __future__ import annotations

import mmap
import os
import re
import typing

from quarrin.detectors import box_in, clipped_score, coco
from quarrin.errors import UsageError
from quarrin.nativelog import quiet_stderr
from quarrin.seams import Detection

# The input size (width, height) of a model that leaves it open.
DEFAULT_SIZE = (640, 640)
MIN_SCORE = 0.25
NMS_OVERLAP = 0.45
# The grey around a letterboxed frame (as the YOLO models were trained with).
PAD = 114
FLOAT = 1  # ONNX's element type of float32


class Layout(typing.NamedTuple):
    """How a model's output is read: `kind` "yolo" or "ssd"; a YOLO output's values of a box along
    its axis 1 (`across`: [1, 4+C, N]) and its objectness column; the class names."""
    kind: str
    names: typing.Sequence[str] | None
    across: bool = False
    objectness: bool = False

    def label(self, cls: int) -> str:
        if self.names is not None and 0 <= cls < len(self.names):
            return self.names[cls]
        return "class %d" % cls


def load(path: str, names: list[str] | None = None, labels: typing.Any = None,
         log: typing.Callable[[str], object] | None = None) -> OnnxDetector:
    """The detector running the model at `path`; `names` its classes, read from the file `labels`
    (named in the messages). Raises UsageError for a model that cannot run or be read."""
    size = input_size(path)
    with quiet_stderr():
        runtime = _runtime(path)
        try:
            probe = runtime.run(_blob_of_blank(size))
        except Exception as e:
            raise UsageError("detector", path, "cannot be run by %s (%s)" % (runtime.name, _message(e))) from None
    shape = tuple(int(d) for d in probe.shape)
    layout = read_layout(shape, names, path, labels)
    if log is not None:
        log("detector: %s runs on %s (CPU): input %dx%d, %s output %s, %s" % (
            path, runtime.name, size[0], size[1], layout.kind.upper(), list(shape),
            "%d classes" % len(layout.names) if layout.names is not None else "classes by id"))
    return OnnxDetector(runtime, size, layout)


def read_layout(shape: tuple[int, ...], names: list[str] | None, path: str, labels: typing.Any) -> Layout:
    """The layout of an output of `shape` (see the module); UsageError when none fits."""
    if len(shape) == 4 and shape[:2] == (1, 1) and shape[3] == 7:
        return Layout("ssd", names)
    if len(shape) == 3 and shape[0] == 1:
        classes = len(names) if names is not None else len(coco.NAMES)
        fits = {4 + classes: False, 5 + classes: True}  # values a box: with an objectness column?
        # Along the shorter axis first: a model has many more boxes than classes.
        for values, across in sorted([(shape[1], True), (shape[2], False)]):
            if values in fits:
                return Layout("yolo", names or coco.NAMES, across, fits[values])
        if names is not None:
            raise UsageError("labels", labels, "%d class names, and the model %s gives %s: a YOLO output of that "
                             "many classes has %d or %d values a box" % (classes, path, list(shape),
                                                                        4 + classes, 5 + classes))
        raise UsageError("detector", path, "gives %s: a YOLO output of other than the 80 COCO classes needs their "
                         "names (labels, one a line)" % list(shape))
    raise UsageError("detector", path, "gives %s, neither a YOLO output ([1, 4+classes, boxes] or [1, boxes, "
                     "4+classes]) nor an SSD output ([1, 1, boxes, 7])" % list(shape))


class OnnxDetector:
    """One model, run on one frame at a time."""

    def __init__(self, runtime: typing.Any, size: tuple[int, int], layout: Layout) -> None:
        self._runtime = runtime
        self.runtime: str = runtime.name  # what runs the model, as the log line says it
        self.size = size
        self.layout = layout

    def detect(self, frame: typing.Any) -> list[Detection]:
        if self._runtime is None:
            raise ValueError("the detector is closed")
        blob, place = letterbox(frame, self.size)
        out = self._runtime.run(blob)
        read = self._yolo if self.layout.kind == "yolo" else self._ssd
        found = []
        for cls, score, corners in read(out):
            box = box_in(*place.back(corners), frame.shape[1], frame.shape[0])
            if box is not None:
                found.append(Detection(self.layout.label(cls), clipped_score(score), box))
        found.sort(key=lambda d: -d.score)
        return found

    def _yolo(self, out: typing.Any) -> typing.Iterator[tuple[int, float, tuple[float, float, float, float]]]:
        import cv2
        import numpy

        values = out.reshape(out.shape[-2:])
        if self.layout.across:
            values = values.T
        first = 5 if self.layout.objectness else 4
        cls = values[:, first:]
        ids = cls.argmax(axis=1)
        scores = cls[numpy.arange(len(cls)), ids]
        if self.layout.objectness:
            scores = scores * values[:, 4]
        boxes = values[:, :4]
        kept = numpy.flatnonzero((scores >= MIN_SCORE) & numpy.isfinite(boxes).all(axis=1))
        for c in numpy.unique(ids[kept]):
            of_class = kept[ids[kept] == c]
            cx, cy, w, h = (boxes[of_class].T).astype(float)
            rects = list(zip(cx - w / 2, cy - h / 2, w, h))
            chosen = cv2.dnn.NMSBoxes(rects, scores[of_class].astype(float).tolist(), MIN_SCORE, NMS_OVERLAP)
            for i in numpy.ravel(chosen):
                x, y, bw, bh = rects[i]
                yield int(c), float(scores[of_class[i]]), (x, y, x + bw, y + bh)

    def _ssd(self, out: typing.Any) -> typing.Iterator[tuple[int, float, tuple[float, float, float, float]]]:
        import numpy

        rows = out.reshape(-1, 7)
        rows = rows[(rows[:, 0] >= 0) & (rows[:, 2] >= MIN_SCORE) & numpy.isfinite(rows[:, 1:]).all(axis=1)]
        width, height = self.size
        for _, cls, score, x1, y1, x2, y2 in rows.astype(float):
            yield int(cls), score, (x1 * width, y1 * height, x2 * width, y2 * height)

    def close(self) -> None:
        self._runtime = None


class Place(typing.NamedTuple):
    """Where a frame went in the model's input: its scale on each axis and its offset."""
    sx: float
    sy: float
    dx: int
    dy: int

    def back(self, corners: tuple[float, float, float, float]) -> tuple[float, float, float, float]:
        """Corners in the input's pixels as the frame's."""
        x1, y1, x2, y2 = corners
        return ((x1 - self.dx) / self.sx, (y1 - self.dy) / self.sy, (x2 - self.dx) / self.sx,
                (y2 - self.dy) / self.sy)


def letterbox(frame: typing.Any, size: tuple[int, int]) -> tuple[typing.Any, Place]:
    """The frame as the model's input blob (1, 3, height, width: RGB, 0 to 1), scaled to fit `size`
    whole, centred, padded with grey; and where it went."""
    import cv2

    if frame.ndim == 2:
        frame = cv2.cvtColor(frame, cv2.COLOR_GRAY2BGR)
    height, width = frame.shape[:2]
    scale = min(size[0] / width, size[1] / height)
    w, h = max(1, min(size[0], round(width * scale))), max(1, min(size[1], round(height * scale)))
    if (w, h) != (width, height):
        frame = cv2.resize(frame, (w, h), interpolation=cv2.INTER_AREA if scale < 1 else cv2.INTER_LINEAR)
    dx, dy = (size[0] - w) // 2, (size[1] - h) // 2
    padded = cv2.copyMakeBorder(frame, dy, size[1] - h - dy, dx, size[0] - w - dx, cv2.BORDER_CONSTANT,
                                value=(PAD, PAD, PAD))
    return cv2.dnn.blobFromImage(padded, 1 / 255, swapRB=True), Place(w / width, h / height, dx, dy)


def _blob_of_blank(size: tuple[int, int]) -> typing.Any:
    import numpy

    return numpy.zeros((1, 3, size[1], size[0]), numpy.float32)


# ---- runtimes ------------------------------------------------------------------------------------

def _runtime(path: str) -> typing.Any:
    try:
        import onnxruntime
    except ImportError:
        return _Dnn(path)
    return _OnnxRuntime(onnxruntime, path)


class _OnnxRuntime:
    def __init__(self, ort: typing.Any, path: str) -> None:
        self.name = "onnxruntime %s" % ort.__version__
        options = ort.SessionOptions()
        options.log_severity_level = 3  # its warnings (unused initialisers, ...) are the model maker's
        try:
            self.session = ort.InferenceSession(path, options, providers=["CPUExecutionProvider"])
        except Exception as e:
            raise UsageError("detector", path, "cannot be run by %s (%s)" % (self.name, _message(e))) from None
        self.input = self.session.get_inputs()[0].name
        self.output = self.session.get_outputs()[0].name

    def run(self, blob: typing.Any) -> typing.Any:
        return self.session.run([self.output], {self.input: blob})[0]


class _Dnn:
    def __init__(self, path: str) -> None:
        import cv2

        self.name = "OpenCV %s's dnn module" % cv2.__version__
        try:
            self.net = cv2.dnn.readNetFromONNX(path)
        except Exception as e:
            raise UsageError("detector", path, "cannot be run by %s (%s)" % (self.name, _message(e))) from None
        self.net.setPreferableBackend(cv2.dnn.DNN_BACKEND_OPENCV)
        self.net.setPreferableTarget(cv2.dnn.DNN_TARGET_CPU)

    def run(self, blob: typing.Any) -> typing.Any:
        self.net.setInput(blob)
        return self.net.forward()


def _message(e: BaseException) -> str:
    """The gist of a runtime's exception, on one line: OpenCV's without its source position and
    function, onnxruntime's without its code and the path."""
    text = str(e)
    said = re.search(r"error: \(-?\d+:[^)]*\)(.*)", text, re.S)
    if said:
        text = re.sub(r"in function '[^']*'", "", said.group(1))
        text = re.sub(r"^\s*> ?", "", text, flags=re.M)
    text = re.sub(r"^\[ONNXRuntimeError\] : \d+ : \w+ : (Load model from .* failed:)?", "", text.strip())
    return " ".join(text.split())[:300]


# ---- the model's input, read from its file -------------------------------------------------------

def input_size(path: str) -> tuple[int, int]:
    """The (width, height) of the model's image input, read from the file: OpenCV's dnn module does
    not tell it. UsageError for a file that is no ONNX model, or an input that is no image batch."""
    try:
        if os.path.getsize(path) == 0:
            raise ValueError("the file is empty")
        with open(path, "rb") as f, mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as data:
            found = _graph_input(data)
    except (OSError, ValueError) as e:
        raise UsageError("detector", path, "is not an ONNX model (%s)" % (getattr(e, "strerror", None) or e)) from None
    if found is None:
        raise UsageError("detector", path, "is not an ONNX model (it has no graph with an input)")
    elem, dims = found
    shown = "[%s]" % ", ".join(str(d) if d is not None else "?" for d in dims)
    if len(dims) != 4 or dims[1] not in (3, None) or dims[0] not in (1, None):
        raise UsageError("detector", path, "takes %s, not an image batch [1, 3, height, width]" % shown)
    if elem != FLOAT:
        raise UsageError("detector", path, "takes elements of ONNX type %d, not float32" % elem)
    return (dims[3] or DEFAULT_SIZE[0], dims[2] or DEFAULT_SIZE[1])


# Fields of ONNX's protobuf messages: ModelProto.graph; GraphProto.initializer and .input;
# TensorProto.name; ValueInfoProto.name and .type; TypeProto.tensor_type; its elem_type and shape;
# TensorShapeProto.dim; its dim_value.
_GRAPH, _INITIALIZER, _INPUT, _TENSOR_NAME = 7, 5, 11, 8
_NAME, _TYPE, _TENSOR_TYPE, _ELEM_TYPE, _SHAPE, _DIM, _DIM_VALUE = 1, 2, 1, 1, 2, 1, 1


def _graph_input(data: typing.Any) -> tuple[int, list[int | None]] | None:
    """The element type and dimensions (None: left open) of the graph's first input that is not
    one of its initialisers (which older models list among the inputs), or None."""
    graph = next((v for n, v in _fields(data, 0, len(data)) if n == _GRAPH and isinstance(v, tuple)), None)
    if graph is None:
        return None
    inputs: list[tuple[int, int]] = []
    constants: set[bytes] = set()
    for number, value in _fields(data, *graph):
        if number == _INPUT and isinstance(value, tuple):
            inputs.append(value)
        elif number == _INITIALIZER and isinstance(value, tuple):
            constants.update(bytes(data[v[0]:v[1]]) for n, v in _fields(data, *value)
                             if n == _TENSOR_NAME and isinstance(v, tuple))
    for info in inputs:
        name, elem, dims = b"", 0, typing.cast("list[int | None]", [])
        for number, value in _fields(data, *info):
            if number == _NAME and isinstance(value, tuple):
                name = bytes(data[value[0]:value[1]])
            elif number == _TYPE and isinstance(value, tuple):
                for n, tensor in _fields(data, *value):
                    if n == _TENSOR_TYPE and isinstance(tensor, tuple):
                        elem, dims = _tensor_type(data, tensor)
        if name not in constants:
            return elem, dims
    return None


def _tensor_type(data: typing.Any, where: tuple[int, int]) -> tuple[int, list[int | None]]:
    elem, dims = 0, typing.cast("list[int | None]", [])
    for number, value in _fields(data, *where):
        if number == _ELEM_TYPE and isinstance(value, int):
            elem = value
        elif number == _SHAPE and isinstance(value, tuple):
            for n, dim in _fields(data, *value):
                if n == _DIM and isinstance(dim, tuple):
                    sizes = [v for k, v in _fields(data, *dim) if k == _DIM_VALUE and isinstance(v, int)]
                    # (an open dimension has a name instead, or -1 as some exporters write it)
                    dims.append(sizes[0] if sizes and 0 < sizes[0] < 1 << 31 else None)
    return elem, dims


def _fields(data: typing.Any, start: int, end: int) -> typing.Iterator[tuple[int, int | tuple[int, int] | None]]:
    """The fields of the protobuf message in data[start:end]: (number, value), the value an int
    (a varint), the (start, end) of a length-delimited one, or None (fixed 32 or 64 bits).
    ValueError where it is no message."""
    pos = start
    while pos < end:
        key, pos = _varint(data, pos, end)
        number, wire = key >> 3, key & 7
        value: int | tuple[int, int] | None = None
        if wire == 0:
            value, pos = _varint(data, pos, end)
        elif wire == 1:
            pos += 8
        elif wire == 5:
            pos += 4
        elif wire == 2:
            length, pos = _varint(data, pos, end)
            value, pos = (pos, pos + length), pos + length
        else:
            raise ValueError("not a protobuf message")
        if pos > end or number == 0:
            raise ValueError("not a protobuf message")
        yield number, value


def _varint(data: typing.Any, pos: int, end: int) -> tuple[int, int]:
    value = shift = 0
    while True:
        if pos >= end or shift > 63:
            raise ValueError("not a protobuf message")
        byte = data[pos]
        pos += 1
        value |= (byte & 0x7F) << shift
        shift += 7
        if not byte & 0x80:
            return value, pos
