"""Writing out the packet a muxer holds.

FFmpeg's MP4 (fragmented) and Matroska muxers keep the last packet they were given until the next
one comes: a fragment or a cluster is finished only then. When a recording goes quiet (an event
ended, a slow interval) that frame would stay in memory, and be lost to a SIGKILL or a crash.
FFmpeg writes it out on ``av_write_frame(context, NULL)``, and what the queue that interleaves a
video's streams holds (its sound's packets with its frames) on ``av_interleaved_write_frame(context,
NULL)``; PyAV offers neither. `Flusher` makes these calls through ctypes, on the libavformat PyAV
itself has loaded.

The container's AVFormatContext is found in the PyAV object (the pointer it holds first) and is
taken only when it starts with libavformat's own class for format contexts. Every read of memory
outside the Python object goes through /proc/self/mem, where an address that is not mapped is an
error and never a crash. Where any of this is not possible (another system, another build of
PyAV), `Flusher.of` gives None and the muxer keeps its last packet, as it always did.

After a flush, MP4's next fragment is marked discontinuous, so that it keeps its own decode time
(the flushed frame's duration could not know how long the quiet would last).
"""
import ctypes
import os
import threading

_SEARCH_CHILDREN = 1  # AV_OPT_SEARCH_CHILDREN: a muxer's own options
_lock = threading.Lock()
_found: list = []  # [(ctypes library, libavformat's AVClass address)] once looked for; [None] if not usable
_mem: list = []


def _read_pointer(address):
    """The pointer stored at `address`, or None where nothing is mapped."""
    if not _mem:
        _mem.append(os.open("/proc/self/mem", os.O_RDONLY))
    try:
        data = os.pread(_mem[0], ctypes.sizeof(ctypes.c_void_p), address)
    except (OSError, OverflowError, ValueError):
        return None
    return int.from_bytes(data, "little") if len(data) == ctypes.sizeof(ctypes.c_void_p) else None


def _libavformat():
    """(library, class address) for the libavformat this process has loaded, or None."""
    with _lock:
        if not _found:
            _found.append(_look_for_libavformat())
        return _found[0]


def _look_for_libavformat():
    import sys

    if not sys.platform.startswith("linux") or sys.byteorder != "little":
        return None
    try:
        with open("/proc/self/maps") as maps:
            paths = {line.split(None, 5)[5].strip() for line in maps if len(line.split(None, 5)) == 6}
    except OSError:
        return None
    for path in sorted(p for p in paths if os.path.basename(p).startswith("libavformat")):
        try:
            lib = ctypes.CDLL(path)  # already loaded: the same library, not a second copy
            lib.avformat_get_class.restype = ctypes.c_void_p
            lib.av_write_frame.argtypes = [ctypes.c_void_p, ctypes.c_void_p]
            lib.av_interleaved_write_frame.argtypes = [ctypes.c_void_p, ctypes.c_void_p]
            lib.av_opt_set.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_char_p, ctypes.c_int]
            return lib, lib.avformat_get_class()
        except (OSError, AttributeError):
            continue
    return None


class Flusher:
    """Writes out what the muxer of one PyAV output container holds (`flush()`); made by `of`."""

    def __init__(self, lib, context, mp4):
        self._lib, self._context, self._mp4 = lib, context, mp4

    @classmethod
    def of(cls, container):
        """The flusher of `container` (an av OutputContainer, its header written), or None."""
        found = _libavformat()
        if found is None:
            return None
        lib, avclass = found
        base, step = id(container), ctypes.sizeof(ctypes.c_void_p)
        for offset in range(step, type(container).__basicsize__, step):
            candidate = ctypes.c_void_p.from_address(base + offset).value  # inside the object: always readable
            if candidate and _read_pointer(candidate) == avclass:
                return cls(lib, candidate, container.format.name == "mp4")
        return None

    def flush(self):
        """Writes out the packet the muxer holds (the caller keeps anyone else from muxing
        meanwhile); True when it did. With sound, what the queue that interleaves the streams
        holds goes first."""
        if self._lib.av_interleaved_write_frame(self._context, None) < 0:
            return False
        if self._lib.av_write_frame(self._context, None) < 0:
            return False
        if self._mp4:
            self._lib.av_opt_set(self._context, b"movflags", b"+frag_discont", _SEARCH_CHILDREN)
        return True
