"""Fuzzing the three entries and quarrin._recorder.record: hypothesis strategies for every
parameter, and a worker process that makes the calls, so that a crash is seen as a crash and not
taken for a test failure.

The strategies draw plain descriptions of values (picklable data); the worker builds the real
objects from them: ints at and past the 32-bit limits, floats with nan and inf, str and bytes,
objects whose __index__/__int__/__float__/__bool__/__len__ raise or return the wrong type, arrays
of every dtype, byte order, dimension count and stride (structured, zero-size, read-only,
subclassed), and buffers of odd formats: arrays made from ctypes and memoryview objects and, from
Python 3.12 on, array subclasses whose buffer export hands over such a memoryview directly.

record also takes callables (progress, log, on_event_start, on_event, on_segment) and writer and
reader objects that misbehave (raise at once or later, take the wrong arguments, return junk,
lack a method or an attribute), motion events and scans, a reader read as a live source, and
runs sequential or pipelined. Only the
exceptions the module documents may come out of a call (see ALLOWED), and no stage thread of the
pipeline may outlive a call.

Used by tests/test_fuzz.py (a few thousand examples) and scripts/fuzz.py (100,000).
Run as `python fuzzing.py --serve READ_FD WRITE_FD` it is the worker.
"""
import gc
import os
import pickle
import select
import struct
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))

# Exception classes a call may end with (matched with isinstance, in this order). OSError covers
# the file system's own errors for odd output names and missing input files, BufferError an
# array whose buffer export fails, AttributeError and the text errors the None and non-text
# names that pass the type tests; Boom is what the fuzzed objects raise themselves.
ALLOWED = ("Boom", "cv2.error", "TypeError", "ValueError", "OverflowError", "ZeroDivisionError",
           "RuntimeError", "OSError", "BufferError", "AttributeError")

# ---- strategies (parent side) -----------------------------------------------------------------

try:
    from hypothesis import strategies as st
except ImportError:  # the worker needs no hypothesis
    st = None

INT_LIMITS = [0, 1, -1, 2, 255, 256, 2 ** 31 - 1, -2 ** 31, 2 ** 31, -2 ** 31 - 1, 2 ** 32,
              2 ** 63 - 1, -2 ** 63, 2 ** 63, 2 ** 64, 10 ** 30, -10 ** 30]
FLOAT_SPECIALS = [0.0, -0.0, 0.5, 1e-300, 1e300, -1e300, float("inf"), float("-inf"),
                  float("nan"), 2.0 ** 31, -2.0 ** 31 - 1, 7.9, 8.0]
DTYPES = ["u1", "?", "i1", "<u2", ">u2", "<i2", "<i4", ">i4", "<u4", "<i8", ">i8", "<u8", "<f2",
          "<f4", ">f4", "<f8", "<c8", "<c16", "g", "O", "S2", "U1", "V3", "M8[s]", "m8[ms]",
          [("a", "u1")], [("a", "u1"), ("b", "u1")], [("a", "<i4"), ("b", "u1")],
          [("a", "u1", (2,))], [("a", [("b", "u1")])], ("u1", (2,)), ("<i4", (3,))]
CTYPES = ["c_ubyte", "c_byte", "c_char", "c_bool", "c_short", "c_int", "c_long", "c_longlong",
          "c_uint", "c_float", "c_double", "c_longdouble", "c_wchar", "c_void_p", "Pair",
          "Packed", "BigEndian", "Nested", "WithArray", "Union"]
CAST_FORMATS = list("bBhHiIlLqQnNfde?cP")
BEHAVIOURS = ["raise", "wrong-str", "wrong-float", "wrong-none", "int-subclass", "float-subclass",
              "huge"]
# How a progress or log callable, or a writer object's method, behaves.
CALLBACKS = ["ok", "ok", "ok", "raise", "raise-later", "no-args", "returns-junk"]
WRITER_METHODS = CALLBACKS + ["missing", "not-callable"]
# A reader object's methods: the real ones over the worker's clip, or a callback's behaviour; and its
# `start` and `fps` after it opens: right, of the wrong type, or missing.
READER_METHODS = ["real", "real", "real"] + WRITER_METHODS
READER_ATTRIBUTES = ["real", "real", "real", "junk", "missing"]


if st is not None:
    def ints(lo=-2 ** 40, hi=2 ** 40):
        return st.one_of(st.sampled_from(INT_LIMITS), st.integers(lo, hi)).map(lambda v: ("int", v))

    def small_ints(lo, hi):
        return st.integers(lo, hi).map(lambda v: ("int", v))

    floats = st.one_of(st.sampled_from(FLOAT_SPECIALS), st.floats()).map(lambda v: ("float", v))
    texts = st.text(max_size=6).map(lambda v: ("str", v))
    blobs = st.binary(max_size=6).map(lambda v: ("bytes", v))
    behaviour = st.one_of(st.sampled_from(BEHAVIOURS),
                          st.integers(-300, 300).map(lambda v: ("value", v)))
    objects = st.dictionaries(st.sampled_from(["__int__", "__index__", "__float__", "__bool__",
                                               "__len__"]), behaviour, max_size=3) \
        .map(lambda d: ("obj", d))
    shapes = st.lists(st.integers(0, 6), max_size=4).map(tuple)
    arrays = st.builds(
        lambda dtype, shape, fortran, step, readonly, subclass: ("array", {
            "dtype": dtype, "shape": shape, "fortran": fortran, "step": step,
            "readonly": readonly, "subclass": subclass}),
        st.sampled_from(DTYPES), shapes, st.booleans(), st.sampled_from([1, 1, 2, -1]),
        st.booleans(), st.booleans())
    odd_buffers = st.one_of(
        st.builds(lambda t, dims: ("ctypes", t, dims), st.sampled_from(CTYPES),
                  st.lists(st.integers(0, 5), max_size=3).map(tuple)),
        st.builds(lambda f, dims: ("cast", f, dims), st.sampled_from(CAST_FORMATS),
                  st.lists(st.integers(0, 5), max_size=3).map(tuple)),
        st.sampled_from([("memoryview",), ("list",), ("none",), ("bool", True), ("strsub", "0")]
                        + ([("buffer-raises",), ("buffer-not-memoryview",)]
                           if sys.version_info >= (3, 12) else [])))
    anything = st.one_of(ints(), floats, texts, blobs, objects, arrays, odd_buffers)

    def frames(h, w, channels=None):
        """A well-formed uint8 frame of the given size (sometimes strided or read-only)."""
        shape = (h, w) if channels is None else (h, w, channels)
        return st.builds(lambda step, readonly: ("array", {
            "dtype": "u1", "shape": shape, "fortran": False, "step": step,
            "readonly": readonly, "subclass": False, "fill": "random"}),
            st.sampled_from([1, 1, 1, 2]), st.sampled_from([False, False, False, True]))

    def reference(h, w):
        return st.just(("array", {"dtype": "u1", "shape": (h, w), "fortran": False, "step": 1,
                                  "readonly": False, "subclass": False}))

    wild_arrays = st.one_of(arrays, arrays, odd_buffers, anything)
    # Widths above 255 are refused before OpenCV sees them.
    kernel_widths = st.one_of(small_ints(-3, 300), ints(), floats, objects, anything)
    usual_kernels = st.sampled_from([1, 3, 3, 5, 21]).map(lambda v: ("int", v))
    flags = st.one_of(st.booleans().map(lambda v: ("bool", v)), anything)
    false = st.just(("bool", False))

    def call_shape():
        """Mostly a well-formed call; sometimes an argument too few or too many, or an unknown
        or repeated keyword."""
        return st.sampled_from(["plain"] * 12 + ["drop-last", "extra", "unknown-keyword",
                                                 "repeat-keyword"])

    def mixed(draw, params):
        """params: (name, usual strategy, wild strategy). Most parameters take a usual value,
        so that calls get past the argument checks into the work; up to three take a wild one."""
        wild = draw(st.sets(st.sampled_from([p[0] for p in params]), max_size=3))
        return [(name, draw(w if name in wild else u)) for name, u, w in params]

    @st.composite
    def motion_call(draw, colour):
        h, w = draw(st.integers(0, 20)), draw(st.integers(0, 20))
        params = mixed(draw, [
            ("frame", frames(h, w, 3 if colour else None), wild_arrays),
            ("blurred_prev", reference(h, w), wild_arrays),
            ("blurred_cur", reference(h, w), wild_arrays),
            ("threshold", small_ints(0, 255), st.one_of(ints(), anything)),
            ("min_area", small_ints(0, 400), st.one_of(ints(), anything)),
            ("kernel_width", usual_kernels, kernel_widths),
            ("show_diff", false, flags),
        ])
        args = [v for _, v in params[:5]]
        kwargs = {}
        for i, (name, value) in enumerate(params[5:]):
            how = draw(st.sampled_from(["absent", "positional", "keyword"]))
            if how == "positional" and len(args) == 5 + i:
                args.append(value)
            elif how != "absent":
                kwargs[name] = value
        return args, kwargs, draw(call_shape())

    # Names the recorder may write to: plain names in its working directory (no separators), a
    # directory that does not exist, a name without an extension. No other text: the recorder
    # writes where it is told.
    safe_names = st.text(alphabet="abc._-", min_size=1, max_size=6)
    not_text = anything.filter(lambda d: d[0] != "str")
    usual_outputs = st.sampled_from(["out.avi", "seg.avi", "a.b.avi"]).map(lambda v: ("str", v))
    outputs = st.one_of(st.sampled_from(["noext", "nodir/x.avi", ".."]).map(lambda v: ("str", v)),
                        safe_names.map(lambda v: ("str", v)), not_text)
    # Sources: the worker's clip, a file that is no video, missing files. Text is always made a
    # file name inside the worker's directory: a number would open a camera, and some texts
    # are protocols to OpenCV's FFmpeg.
    inputs = st.one_of(st.sampled_from([("token", "junk"), ("token", "missing"), ("none",)]),
                       texts.map(lambda d: ("path", d[1])), not_text)
    # Regions narrower than 8 pixels, or lower than 2, are refused before anything opens.
    roi_widths = st.one_of(small_ints(-3, 34), ints(), floats, objects)
    colours = st.builds(lambda n: ("array", {"dtype": "<i4", "shape": (n,), "fortran": False,
                                             "step": 1, "readonly": False, "subclass": False,
                                             "fill": "random"}), st.sampled_from([3, 3, 3, 4, 0, 2]))
    numbers = st.one_of(floats, ints(), anything)
    wild_ints = st.one_of(ints(), anything)

    @st.composite
    def vcapture_call(draw):
        params = mixed(draw, [
            ("input_", st.just(("token", "clip")), inputs),
            ("output", usual_outputs, outputs),
            ("fmt", st.just(("str", "MJPG")),
             st.one_of(st.sampled_from(["XVID", "ABCD", "MJP", ""]).map(lambda v: ("str", v)),
                       texts, anything)),
            ("fps", small_ints(-5, 60), wild_ints),
            ("interactive", false, flags),
            ("width", small_ints(-2, 64), wild_ints),
            ("height", small_ints(-2, 64), wild_ints),
            ("roi_x", small_ints(0, 24), wild_ints),
            ("roi_y", small_ints(0, 16), wild_ints),
            ("roi_w", small_ints(8, 32), roi_widths),
            ("roi_h", small_ints(1, 24), wild_ints),
            ("interval", st.sampled_from([0.0, 0.0, 0.05, 0.15]).map(lambda v: ("float", v)), numbers),
            ("duration", st.sampled_from([0.0, 0.0, 0.1, 1.0]).map(lambda v: ("float", v)), numbers),
            ("max_frames", small_ints(-1, 3), wild_ints),
            ("motion_based", st.booleans().map(lambda v: ("bool", v)), flags),
            ("config", false, flags),
            ("threshold", small_ints(0, 255), wild_ints),
            ("min_area", small_ints(0, 100), wild_ints),
            ("kernel_width", usual_kernels, kernel_widths),
            ("timestamp", st.booleans().map(lambda v: ("bool", v)), flags),
            ("show_diff", false, flags),
            ("tb", colours, st.one_of(st.just(("none",)), arrays, anything)),
            ("tc", colours, st.one_of(st.just(("none",)), arrays, anything)),
            ("tx", small_ints(-10, 40), wild_ints),
            ("ty", small_ints(-10, 40), wild_ints),
            ("fs", st.sampled_from([0.3, 0.5, 1.0]).map(lambda v: ("float", v)),
             st.one_of(floats, anything)),
        ])
        split = draw(st.sampled_from([26, 26, 26, 0, 13, 25]))
        return ([v for _, v in params[:split]], dict(params[split:]), draw(call_shape()))

    callbacks = st.one_of(st.just(("none",)), st.sampled_from(CALLBACKS).map(lambda b: ("callback", b)))
    writer_objects = st.one_of(
        st.sampled_from([("none",), ("opencv-writer",)]),
        st.dictionaries(st.sampled_from(["open", "write", "release"]), st.sampled_from(WRITER_METHODS),
                        max_size=3).map(lambda d: ("writer", d)))

    reader_objects = st.one_of(
        st.just(("none",)),
        st.fixed_dictionaries({name: st.sampled_from(READER_METHODS) for name in ("open", "read", "release")}
                              | {name: st.sampled_from(READER_ATTRIBUTES) for name in ("start", "fps")})
        .map(lambda d: ("reader", d)))

    @st.composite
    def record_call(draw):
        """vcapture's call, with some of record's own keywords (pipeline most often): the callables,
        writer and reader objects (a reader of the worker's clip, sometimes read as a live source:
        its end is a lost signal), and motion events."""
        args, kwargs, shape = draw(vcapture_call())
        # record takes vcapture's arguments but the codec (its writer object has its own).
        if len(args) > 2:
            del args[2]
        kwargs.pop("fmt", None)
        seconds = st.sampled_from([0.0, 0.05, 0.2]).map(lambda v: ("float", v))
        own = mixed(draw, [
            ("progress", callbacks, st.one_of(callbacks, anything)),
            ("pipeline", st.sampled_from([("bool", True), ("bool", True), ("bool", False)]), flags),
            ("log", callbacks, st.one_of(callbacks, anything)),
            ("video_writer", writer_objects, st.one_of(writer_objects, anything)),
            ("on_segment", callbacks, st.one_of(callbacks, anything)),
            ("reader", reader_objects, st.one_of(reader_objects, anything)),
            ("live", st.sampled_from([("bool", False), ("bool", True)]), flags),
            ("events", st.booleans().map(lambda v: ("bool", v)), flags),
            ("before", seconds, numbers),
            ("after", seconds, numbers),
            ("min_event", seconds, numbers),
            ("on_event_start", callbacks, st.one_of(callbacks, anything)),
            ("on_event", callbacks, st.one_of(callbacks, anything)),
            ("scan", st.sampled_from([("bool", False), ("bool", False), ("bool", True)]), flags),
            ("segment_seconds", seconds, numbers),
        ])
        kwargs.update((name, v) for name, v in own if name == "pipeline" or draw(st.booleans()))
        return args, kwargs, shape


def _parses_as_int(text):
    try:
        int(text)
    except (ValueError, TypeError):
        return False
    return True


# ---- the worker (child side) ---------------------------------------------------------------------

class Boom(Exception):
    """What the fuzzed objects raise."""


def _behave(spec, name):
    """A method implementing one behaviour of BEHAVIOURS (or ("value", v))."""
    def method(self, *a):
        if spec == "raise":
            raise Boom(name)
        if spec == "wrong-str":
            return "12"
        if spec == "wrong-float":
            return 1.5 if name != "__float__" else "1.5"
        if spec == "wrong-none":
            return None
        if spec == "int-subclass":
            return _IntSub(3)
        if spec == "float-subclass":
            return _FloatSub(2.5)
        if spec == "huge":
            return 10 ** 40 if name != "__float__" else 1e308
        value = spec[1]
        if name == "__float__":
            return float(value)
        if name == "__bool__":
            return bool(value)
        return value
    return method


def _reader(behaviours, clip):
    """A reader of `clip` whose methods and attributes behave as `behaviours` says."""
    import datetime

    import cv2

    attributes = {name: behaviours.get(name, "real") for name in ("start", "fps")}

    class FuzzedReader:
        cap = None

        def open(self, timeout):
            self.cap, self.index = cv2.VideoCapture(clip), 0
            for name, value in (("start", datetime.datetime(2026, 12, 8, 10)), ("fps", 10.0)):
                if attributes[name] != "missing":
                    setattr(self, name, value if attributes[name] == "real" else "junk")
            return self.cap.isOpened()

        def read(self):
            ok, frame = self.cap.read()
            if frame is None:
                return None
            self.index += 1
            return frame, self.start + datetime.timedelta(seconds=self.index / 10)

        def release(self):
            if self.cap is not None:
                self.cap.release()

    for name in ("open", "read", "release"):
        behaviour = behaviours.get(name, "real")
        if behaviour == "missing":
            delattr(FuzzedReader, name)
        elif behaviour != "real":
            setattr(FuzzedReader, name, _callback(behaviour, method=True))
    return FuzzedReader()


class _IntSub(int):
    pass


class _FloatSub(float):
    pass


class _StrSub(str):
    pass


def _callback(behaviour, method=False):
    """A progress or log callable, or (method=True) a writer object's method."""
    calls = []

    def call(*args):
        calls.append(None)
        if behaviour == "raise" or (behaviour == "raise-later" and len(calls) == 3):
            raise Boom("callback")
        return object() if behaviour == "returns-junk" else None

    if behaviour == "no-args":
        return (lambda self: None) if method else (lambda: None)
    if behaviour == "not-callable":
        return 5
    return (lambda self, *args: call(*args)) if method else call


def _ctype(name):
    import ctypes

    class Pair(ctypes.Structure):
        _fields_ = [("a", ctypes.c_int), ("b", ctypes.c_ubyte)]

    class Packed(ctypes.Structure):
        _pack_ = 1
        _fields_ = [("a", ctypes.c_ubyte), ("b", ctypes.c_int)]

    class BigEndian(ctypes.BigEndianStructure):
        _fields_ = [("a", ctypes.c_int), ("b", ctypes.c_short)]

    class Nested(ctypes.Structure):
        _fields_ = [("p", Pair), ("c", ctypes.c_ubyte)]

    class WithArray(ctypes.Structure):
        _fields_ = [("a", ctypes.c_ubyte * 3), ("b", ctypes.c_double)]

    class Union(ctypes.Union):
        _fields_ = [("a", ctypes.c_int), ("b", ctypes.c_ubyte)]

    local = dict(Pair=Pair, Packed=Packed, BigEndian=BigEndian, Nested=Nested,
                 WithArray=WithArray, Union=Union)
    return local.get(name) or getattr(ctypes, name)


class Builder:
    def __init__(self, workdir):
        import numpy as np
        self.np = np
        self.workdir = workdir
        self.rng = np.random.default_rng(1)

        class Sub(np.ndarray):
            pass

        class Exported(np.ndarray):
            """Hands over another object's buffer (Python 3.12+ calls __buffer__)."""
            def __buffer__(self, flags):
                source = self.__dict__.get("source")
                if isinstance(source, BaseException):
                    raise source
                return source if not isinstance(source, memoryview) else memoryview(source)

        self.Sub, self.Exported = Sub, Exported

    def build(self, desc):
        np = self.np
        kind = desc[0]
        if kind in ("int", "float", "str", "bytes", "bool"):
            return desc[1]
        if kind == "none":
            return None
        if kind == "strsub":
            return _StrSub(desc[1])
        if kind == "list":
            return [[0]]
        if kind == "memoryview":
            return memoryview(bytearray(16)).cast("B", (4, 4))
        if kind == "path":
            return os.path.join(self.workdir, "in-" + desc[1])
        if kind == "token":
            return os.path.join(self.workdir, {"clip": "clip.avi", "junk": "junk.avi",
                                               "missing": "missing.avi"}[desc[1]])
        if kind == "callback":
            return _callback(desc[1])
        if kind == "opencv-writer":
            from quarrin.writers import OpenCVWriter
            return OpenCVWriter("MJPG")
        if kind == "writer":
            methods = {name: _callback(desc[1].get(name, "ok"), method=True) for name in ("open", "write", "release")}
            return type("FuzzedWriter", (), {k: v for k, v in methods.items() if desc[1].get(k) != "missing"})()
        if kind == "reader":
            return _reader(desc[1], os.path.join(self.workdir, "clip.avi"))
        if kind == "obj":
            methods = {name: _behave(spec, name) for name, spec in desc[1].items()}
            return type("Fuzzed", (), methods)()
        if kind == "array":
            spec = desc[1]
            dtype = np.dtype(spec["dtype"])
            shape = tuple(spec["shape"])
            step = spec["step"]
            full = shape[:-1] + (shape[-1] * abs(step),) if shape else shape
            a = np.zeros(full, dtype=dtype, order="F" if spec["fortran"] else "C")
            if spec.get("fill") == "random" and dtype == np.uint8:
                a[...] = self.rng.integers(0, 256, size=full, dtype=np.uint8)
            elif spec.get("fill") == "random" and dtype == np.int32:
                a[...] = self.rng.integers(0, 256, size=full, dtype=np.int32)
            if shape and step != 1:
                a = a[..., ::step]
            if spec["subclass"]:
                a = a.view(self.Sub)
            if spec["readonly"]:
                a.flags.writeable = False
            return a
        if kind in ("ctypes", "cast", "buffer-raises", "buffer-not-memoryview"):
            source = self._buffer_source(desc)
            if sys.version_info >= (3, 12):
                a = np.zeros((2, 2), np.uint8).view(self.Exported)
                a.__dict__["source"] = source
                return a
            if isinstance(source, BaseException) or not isinstance(source, memoryview):
                raise _Unbuildable("buffer export override needs Python 3.12")
            try:
                return np.asarray(source)
            except Exception as exc:  # NumPy cannot read every buffer format
                raise _Unbuildable(str(exc))
        raise ValueError("unknown description %r" % (desc,))

    def _buffer_source(self, desc):
        if desc[0] == "buffer-raises":
            return Boom("__buffer__")
        if desc[0] == "buffer-not-memoryview":
            return b"abcd"
        dims = tuple(desc[2])
        if desc[0] == "ctypes":
            t = _ctype(desc[1])
            for n in reversed(dims):
                t = t * n
            return memoryview(t())
        fmt = desc[1]
        size = struct.calcsize(fmt)
        count = 1
        for n in dims:
            count *= n
        raw = memoryview(bytearray(size * max(count, 1))).cast("B")
        try:
            return raw.cast(fmt, dims) if dims else raw.cast(fmt)
        except (TypeError, ValueError) as exc:
            raise _Unbuildable(str(exc))


class _Unbuildable(Exception):
    pass


def _apply_shape(args, kwargs, shape, names):
    args, kwargs = list(args), dict(kwargs)
    if shape == "drop-last":
        if kwargs:
            kwargs.pop(next(reversed(kwargs)))
        elif args:
            args.pop()
    elif shape == "extra":
        args.append(0)
    elif shape == "unknown-keyword":
        kwargs["input"] = 0
    elif shape == "repeat-keyword" and args:
        kwargs[names[0]] = args[0]
    return args, kwargs


NAMES = {
    "check_motion_gray": ["gray_cur", "blurred_prev", "blurred_cur", "threshold", "min_area",
                          "kernel_width", "show_diff"],
    "check_motion_rgb": ["current", "blurred_prev", "blurred_cur", "threshold", "min_area",
                         "kernel_width", "show_diff"],
}


def classify(exc):
    import builtins
    import cv2
    kinds = {"Boom": Boom, "cv2.error": cv2.error}
    for name in ALLOWED:
        if isinstance(exc, kinds.get(name) or getattr(builtins, name)):
            return name
    return "UNEXPECTED %s.%s" % (type(exc).__module__, type(exc).__qualname__)


def serve(read_fd, write_fd):
    """Worker loop: reads pickled (entry, args, kwargs, shape) and answers (outcome, text)."""
    import warnings
    warnings.simplefilter("ignore")
    sys.path.insert(0, HERE)
    import videos
    from quarrin import snapwell
    from quarrin._recorder import record
    workdir = tempfile.mkdtemp(prefix="fuzz-")
    os.chdir(workdir)
    from leakcases import stage_threads
    clip = videos.moving_clip(os.path.join(workdir, "clip.avi"), 3, width=32, height=24, step=4, size=8)
    with open(os.path.join(workdir, "junk.avi"), "wb") as f:
        f.write(b"not a video\n" * 8)
    keep = set(os.listdir(workdir))
    # OpenCV's own threads start here, on this thread: those a stage thread started would carry its name.
    record(clip, "warm.avi", 0, False, 0, 0, 0, 0, 32, 24, 0.0, 0.0, 0, True, False, 25, 10, 5, False,
           False, None, None, 1, 12, 0.3, log=lambda line: None)
    builder = Builder(workdir)
    inp, out = os.fdopen(read_fd, "rb"), os.fdopen(write_fd, "wb")
    while True:
        try:
            entry, args, kwargs, shape = pickle.load(inp)
        except EOFError:
            return
        try:
            real_args = [builder.build(a) for a in args]
            real_kwargs = {k: builder.build(v) for k, v in kwargs.items()}
            real_args, real_kwargs = _apply_shape(
                real_args, real_kwargs, shape, NAMES.get(entry, ["input_"]))
        except _Unbuildable as exc:
            answer = ("unbuildable", str(exc)[:200])
        else:
            try:
                result = (record if entry == "record" else getattr(snapwell, entry))(*real_args, **real_kwargs)
                answer = ("ok", repr(result)[:200])
            except Exception as exc:
                answer = (classify(exc), "%s: %s" % (type(exc).__name__, str(exc)[:300]))
            # A reader object of the caller's that does not release its capture keeps OpenCV's
            # threads, started on the reader stage and named after it, until the object goes.
            result = exc = real_args = real_kwargs = None
            if stage_threads(wait=0):
                gc.collect()
            if stage_threads():
                answer = ("UNEXPECTED threads left", "%d stage threads still running" % stage_threads())
            if entry in ("vcapture", "record"):
                for name in set(os.listdir(workdir)) - keep:
                    path = os.path.join(workdir, name)
                    if os.path.isfile(path):
                        os.remove(path)
        pickle.dump(answer, out)
        out.flush()


class Worker:
    """The parent's end: one worker process, restarted after it dies."""

    def __init__(self, log_dir, timeout=120):
        self.log_dir, self.timeout = log_dir, timeout
        self.proc = None
        self.calls = 0

    def _start(self):
        to_child_r, to_child_w = os.pipe()
        from_child_r, from_child_w = os.pipe()
        self.log_path = os.path.join(self.log_dir, "worker-%d.log" % self.calls)
        log = open(self.log_path, "wb")
        self.proc = subprocess.Popen(
            [sys.executable, os.path.join(HERE, "fuzzing.py"), "--serve", str(to_child_r),
             str(from_child_w)], pass_fds=(to_child_r, from_child_w), stdin=subprocess.DEVNULL,
            stdout=log, stderr=subprocess.STDOUT, cwd=self.log_dir)
        log.close()
        os.close(to_child_r)
        os.close(from_child_w)
        self.to_child = os.fdopen(to_child_w, "wb")
        self.from_child = os.fdopen(from_child_r, "rb")

    def call(self, entry, args, kwargs, shape="plain"):
        """Returns (outcome, text); raises AssertionError when the worker dies or hangs."""
        if self.proc is None:
            self._start()
        self.calls += 1
        what = "%s(*%r, **%r) [%s]" % (entry, args, kwargs, shape)
        try:
            pickle.dump((entry, args, kwargs, shape), self.to_child)
            self.to_child.flush()
            ready, _, _ = select.select([self.from_child], [], [], self.timeout)
            if not ready:
                self.proc.kill()
                self.proc.wait()
                self.proc = None
                raise AssertionError("no answer within %d s to %s" % (self.timeout, what))
            return pickle.load(self.from_child)
        except (EOFError, BrokenPipeError, pickle.UnpicklingError):
            code = self.proc.wait(timeout=60)
            self.proc = None
            with open(self.log_path, "rb") as f:
                tail = f.read()[-4000:].decode("utf-8", "replace")
            raise AssertionError("the worker died (exit %s) in %s\n%s" % (code, what, tail))

    def close(self):
        if self.proc is not None:
            self.to_child.close()
            self.from_child.close()
            try:
                self.proc.wait(timeout=60)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
            self.proc = None


if __name__ == "__main__" and sys.argv[1:2] == ["--serve"]:
    serve(int(sys.argv[2]), int(sys.argv[3]))
