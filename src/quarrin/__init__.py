"""Region-of-interest video recording with motion and interval gating.

``quarrin.record(...)`` records a camera or re-encodes a video file, ``quarrin.batch(...)`` runs
many files; ``quarrin.events(...)`` and ``quarrin.recordings(...)`` find what was recorded under
some folders; ``quarrin record``, ``batch`` and ``events`` do the same from the command line. The
recorder and the motion checks live in the compiled module ``quarrin.snapwell``. Importing this
package alone loads none of them (nor OpenCV, NumPy or matplotlib): they load on first use.
"""
from quarrin.errors import RecordingError, UsageError

__all__ = ["record", "batch", "scan", "events", "recordings", "RecordResult", "Segment", "Event", "BatchItem",
           "Progress", "UsageError", "RecordingError"]

_LAZY = {"record": "quarrin.api", "batch": "quarrin.api", "scan": "quarrin.api", "events": "quarrin.api",
         "recordings": "quarrin.api", "RecordResult": "quarrin.results",
         "Segment": "quarrin.results", "Event": "quarrin.results", "BatchItem": "quarrin.results",
         "Progress": "quarrin.results"}


def __getattr__(name):
    module = _LAZY.get(name)
    if module is None:
        raise AttributeError("module 'quarrin' has no attribute %r" % name)
    import importlib

    value = getattr(importlib.import_module(module), name)
    globals()[name] = value
    return value


def __dir__():
    return sorted(set(globals()) | set(__all__))
