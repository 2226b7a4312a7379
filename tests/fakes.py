"""The tests' stand-ins: one fake cv2, and the rig that binds stand-ins into quarrin.snapwell.

FakeCv2 takes the place of the module's `cv2`. Every function read from it is logged as a Call
(site name, arguments, result) and then runs the first of: an override given by name; the fake's
own window functions (no GUI needed: waitKey answers from `keys`); its own VideoCapture and
VideoWriter; the real cv2. Constants, classes and cv2.error are the real ones. The methods of the
captures and writers it hands out are logged as "cap.<method>" and "out.<method>".

- frames=[...]: VideoCapture gives a stand-in camera or file serving copies of those frames (then
  end of stream), reporting `props`; VideoWriter gives a stand-in that keeps copies of what is
  written. Whether successive captures open comes from `opened` (its last value repeats).
- frames=None: captures and writers are the real ones, logged; writers still keep copies.

failures={site: exc} raises exc at every call of that site, {site: (k, exc)} at its k-th call
only. A failing call is logged and does nothing else.
"""
import collections
import csv
import os
import weakref
from types import SimpleNamespace

import cv2
import pytest

import videos
from vcargs import vcapture_args

WINDOW_FUNCTIONS = ("namedWindow", "imshow", "waitKey", "destroyAllWindows")


class Call(SimpleNamespace):
    """One logged call: name, args, kwargs and result (None until it returned)."""


class FakeCv2:
    def __init__(self, frames=None, *, props=None, keys=(), opened=(True,), overrides=None, failures=None):
        self.calls, self.captures, self.writers, self.handed_out = [], [], [], []
        self.frames = None if frames is None else list(frames)
        self.keys, self.opened = list(keys), list(opened)
        self.props = {cv2.CAP_PROP_FRAME_WIDTH: 64.0, cv2.CAP_PROP_FRAME_HEIGHT: 48.0, cv2.CAP_PROP_FPS: 10.0,
                      cv2.CAP_PROP_FRAME_COUNT: float(len(self.frames or ()))}
        self.props.update(props or {})
        self.overrides = dict(overrides or {})
        self.failures, self.counts = dict(failures or {}), {}

    def __getattr__(self, name):
        if name.startswith("__"):
            raise AttributeError(name)
        if name in self.overrides:
            target = self.overrides[name]
        elif name in WINDOW_FUNCTIONS or name in ("VideoCapture", "VideoWriter"):
            target = getattr(self, "_" + name)
        else:
            target = getattr(cv2, name)
            if not callable(target) or isinstance(target, type):
                return target
        return self.site(name, target)

    def site(self, name, target):
        """target, logged under `name` and failing as `failures` says."""
        def call(*args, **kwargs):
            record = Call(name=name, args=args, kwargs=kwargs, result=None)
            self.calls.append(record)
            self.counts[name] = self.counts.get(name, 0) + 1
            failure = self.failures.get(name)
            if isinstance(failure, tuple):
                if failure[0] == self.counts[name]:
                    raise failure[1]
            elif failure is not None:
                raise failure
            result = target(*args, **kwargs)
            # Captures and writers are logged by weak reference: the log must not keep them alive.
            record.result = weakref.ref(result) if isinstance(result, Methods) else result
            return result
        return call

    def names(self, *only):
        """Site names in call order, optionally only those given."""
        return [c.name for c in self.calls if not only or c.name in only]

    def calls_to(self, name):
        return [c for c in self.calls if c.name == name]

    def unreleased(self):
        """Captures and writers neither released nor given up by the recorder (a real one
        releases itself when it is freed)."""
        return [obj for obj, ref in self.handed_out if not obj.released and ref() is not None]

    def _hand_out(self, prefix, obj):
        proxy = Methods(self, prefix, obj)
        self.handed_out.append((obj, weakref.ref(proxy)))
        return proxy

    def _VideoCapture(self, *args):
        if self.frames is None:
            cap = Released(cv2.VideoCapture(*args))
        else:
            cap = Capture(self.frames, self.props, self.opened.pop(0) if len(self.opened) > 1 else self.opened[0])
        self.captures.append(cap)
        return self._hand_out("cap.", cap)

    def _VideoWriter(self, *args):
        writer = Writer(args, real=self.frames is None)
        self.writers.append(writer)
        return self._hand_out("out.", writer)

    def _namedWindow(self, name, flags):
        return None

    def _imshow(self, name, image):
        return None

    def _waitKey(self, delay):
        return self.keys.pop(0) if self.keys else -1

    def _destroyAllWindows(self):
        return None


class Methods:
    """A capture or writer whose method calls go through FakeCv2.site as prefix + name."""

    def __init__(self, fake, prefix, target):
        self._fake, self._prefix, self._target = fake, prefix, target

    def __getattr__(self, name):
        attr = getattr(self._target, name)
        return self._fake.site(self._prefix + name, attr) if callable(attr) else attr


class Released:
    """A real capture that notes its release."""

    def __init__(self, real):
        self.real, self.released = real, False

    def release(self):
        self.released = True
        return self.real.release()

    def __getattr__(self, name):
        return getattr(self.real, name)


class Capture:
    def __init__(self, frames, props, opened):
        self.frames, self.props, self.opened, self.released = list(frames), props, opened, False

    def read(self):
        frame = self.frames.pop(0) if self.frames else None
        return frame is not None, frame

    def set(self, prop, value):
        return True

    def get(self, prop):
        return self.props.get(prop, 0.0)

    def isOpened(self):
        return self.opened and not self.released

    def release(self):
        self.released = True


class Writer:
    """Keeps copies of the frames written; with real=True a real cv2 writer gets them too."""

    def __init__(self, args, real=False):
        self.args, self.frames, self.released = args, [], False
        self.real = cv2.VideoWriter(*args) if real else None

    def isOpened(self):
        return self.real.isOpened() if self.real is not None else not self.released

    def write(self, image):
        self.frames.append(image.copy())
        if self.real is not None:
            self.real.write(image)

    def release(self):
        self.released = True
        if self.real is not None:
            self.real.release()


class CsvFiles:
    """Stands in for the csv module, keeping a weak reference to every file a writer is made for.
    Given a FakeCv2, the writers' rows go through its sites too, as "csv.writerow"."""

    def __init__(self, fake=None):
        self.files, self.fake = [], fake

    def __getattr__(self, name):
        return getattr(csv, name)

    def writer(self, f, *args, **kwargs):
        self.files.append(weakref.ref(f))
        writer = csv.writer(f, *args, **kwargs)
        return writer if self.fake is None else Methods(self.fake, "csv.", writer)

    def still_open(self):
        return [f for f in (ref() for ref in self.files) if f is not None and not f.closed]


class StampsWriter:
    """The recorder's stamps writer protocol over Python's open() and the csv module: open(name)
    writes the header, write(inframe, outframe, timestamp) a row, flushed, close(). Given a
    FakeCv2, its methods are call sites ("stamps.open", ...), so that each can fail; `files` (a
    CsvFiles) makes the csv writers, whose rows are then sites too, and keeps track of the files."""

    def __init__(self, fake=None, files=None):
        self.fake, self.files = fake, files
        self.file = self.writer = None

    # The methods' own names, as constants: a name built at each lookup ("_" + name) is held by
    # the type's attribute cache on some Pythons (3.12), which the leak cases then count.
    _OWN = {"open": "_open", "write": "_write", "close": "_close"}

    def __getattr__(self, name):  # made at each use: a site kept on the object would keep it alive
        own = self._OWN.get(name)
        if own is None:
            raise AttributeError(name)
        method = getattr(self, own)
        return method if self.fake is None else self.fake.site("stamps." + name, method)

    def _open(self, name):
        self.file = open(name, "w", newline="")
        self.writer = (csv if self.files is None else self.files).writer(self.file)
        self.writer.writerow(["inframe", "outframe", "timestamp"])

    def _write(self, inframe, outframe, timestamp):
        self.writer.writerow([inframe, outframe, timestamp])
        self.file.flush()

    def _close(self):
        file, self.file, self.writer = self.file, None, None
        file.close()


def marked_frames(positions):
    """64x48 frames with a square at each x (wrapping). The last two pixels hold the frame's
    index: too small a change for the motion check to see, they tell which input frame each
    written frame is."""
    frames = [videos.square_frame(64, 48, x % 48, 8) for x in positions]
    for i, frame in enumerate(frames):
        frame[-1, -2:] = [[i // 256] * 3, [i % 256] * 3]
    return frames


def written_indices(fake):
    """{video name: indices of the marked frames written to it, in order}."""
    return {w.args[0]: [256 * int(f[-1, -2, 0]) + int(f[-1, -1, 0]) for f in w.frames] for w in fake.writers}


def lost_and_phantom(written, directory, rows=None):
    """Frames written without their CSV row, and rows whose frame is not in their video, over all
    the segments in `directory`; written is written_indices(). Rows are read with `rows` (csv_rows
    by default; an empty file has none). A segment whose rows and frames match must list them in
    the same order."""
    rows = rows or csv_rows
    listed = {}
    for name in os.listdir(directory):
        path = os.path.join(directory, name)
        if name.endswith(".csv"):
            listed[path[:-4]] = [int(r[0]) for r in rows(path)] if os.path.getsize(path) else []
    lost = phantom = 0
    for video in set(written) | set(listed):
        frames, inframes = written.get(video, []), listed.get(video, [])
        lost += sum((collections.Counter(frames) - collections.Counter(inframes)).values())
        phantom += sum((collections.Counter(inframes) - collections.Counter(frames)).values())
        if sorted(frames) == sorted(inframes):
            assert frames == inframes, video
    return lost, phantom


def csv_rows(path):
    """The rows of a recording's CSV, after checking its header and line ends."""
    data = open(path, "rb").read()
    assert data.startswith(b"inframe,outframe,timestamp\r\n")
    lines = data.split(b"\r\n")
    assert lines[-1] == b""
    return [line.decode().split(",") for line in lines[1:-1]]


class Rig:
    """Binds stand-ins into quarrin.snapwell's namespace (undone with the MonkeyPatch given) and
    runs recordings with arguments by name."""

    def __init__(self, monkeypatch):
        from quarrin import snapwell

        self.snapwell, self._monkeypatch = snapwell, monkeypatch

    def bind(self, **values):
        for name, value in values.items():
            self._monkeypatch.setitem(self.snapwell.__dict__, name, value)

    def fake_cv2(self, frames=None, **options):
        fake = FakeCv2(frames, **options)
        self.bind(cv2=fake)
        return fake

    def record(self, input_, output, **overrides):
        return self.snapwell.vcapture(**vcapture_args(input_, output, **overrides))


@pytest.fixture
def rig(monkeypatch):
    return Rig(monkeypatch)
