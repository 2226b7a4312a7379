"""OpenCV's and FFmpeg's own log lines, kept off the terminal.

Both libraries write to the process's stderr (file descriptor 2) from C: a damaged input can
produce thousands of lines, and a failing video write is reported there only (OpenCV's
``VideoWriter.write`` returns nothing). While a `Capture` is active, descriptor 2 goes to an
unlinked scratch file; Python's own ``sys.stderr`` (messages, progress bars) keeps writing to
the terminal through a duplicate of the original descriptor. `poll()` reads what arrived since
the last call: the writer calls it after each frame, so a failed write is seen at that frame.

Captures nest: only the outermost one redirects, the inner ones share it.
"""
import contextlib
import io
import os
import sys
import tempfile
import threading

# OpenCV's FFmpeg writer reports a frame it could not write (a full disk, a size limit, a quota)
# with this line, and nothing else.
WRITE_FAILED = ("Failed to write frame", "Could not write frame", "av_write_frame")
# Read lines are dropped from the scratch file once it holds this much.
KEEP_BYTES = 1 << 20

_active: list = []  # the outermost Capture while one is active
_lock = threading.RLock()


class Capture:
    """Redirects descriptor 2 while active (a context manager). `lines` counts what arrived;
    `echo(line)` gets each line (None: they are only counted)."""

    def __init__(self, echo=None):
        self.echo = echo
        self.lines = 0
        self.write_failures = []
        self._outer = None
        self._fd = self._saved = None
        self._read = 0
        self._stderr = None
        self._pending = b""

    def __enter__(self):
        with _lock:
            if _active:
                self._outer = _active[0]
                self._outer.poll()
                self._outer_echo = self._outer.echo
                if self.echo is not None:
                    self._outer.echo = self.echo
                self._first = self._outer.lines
                return self
            try:
                sys.stderr.flush()
                self._saved = os.dup(2)
            except (OSError, ValueError, AttributeError):
                self._saved = None
                return self  # no descriptor 2 to take over (a closed stderr): nothing to capture
            self._fd = _scratch()
            os.dup2(self._fd, 2)
            self._swap_stderr()
            self._first = 0
            _active.append(self)
            return self

    def _swap_stderr(self):
        """sys.stderr on the original descriptor, when it was on descriptor 2."""
        try:
            on_two = sys.stderr is not None and sys.stderr.fileno() == 2
        except (OSError, ValueError, AttributeError, io.UnsupportedOperation):
            on_two = False
        if not on_two:
            return
        old = sys.stderr
        raw = open(self._saved, "wb", buffering=0, closefd=False)
        self._stderr = old
        sys.stderr = io.TextIOWrapper(raw, encoding=getattr(old, "encoding", None) or "utf-8",
                                      errors=getattr(old, "errors", None) or "backslashreplace",
                                      line_buffering=True, write_through=True)

    def __exit__(self, *exc):
        with _lock:
            if self._outer is not None:
                self._outer.poll()
                self._outer.echo = self._outer_echo
                return False
            if self._saved is None:
                return False
            self.poll()
            if self._pending:
                self._take([self._pending])
                self._pending = b""
            try:
                sys.stderr.flush()
            except (OSError, ValueError):
                pass
            if self._stderr is not None:
                sys.stderr = self._stderr
                self._stderr = None
            os.dup2(self._saved, 2)
            os.close(self._saved)
            os.close(self._fd)
            self._saved = self._fd = None
            _active.remove(self)
        return False

    @property
    def count(self):
        """Lines that arrived while this capture was active."""
        if self._outer is not None:
            return self._outer.lines - self._first
        return self.lines

    def poll(self):
        """Reads the lines that arrived since the last call: counts them, hands them to `echo`
        and returns how many there were."""
        if self._outer is not None:
            return self._outer.poll()
        with _lock:
            if self._fd is None:
                return 0
            data = self._read_new()
            if self._read >= KEEP_BYTES:
                # A long recording: descriptor 2 moves to a fresh file (what is written from now on
                # goes there), and the rest of the old one is read before it is closed.
                old = self._fd
                self._fd = _scratch()
                os.dup2(self._fd, 2)
                data += self._read_new(old)
                os.close(old)
                self._read = 0
            if not data:
                return 0
            data = self._pending + data
            parts = data.split(b"\n")
            self._pending = parts.pop()
            return self._take(parts)

    def _read_new(self, fd=None):
        fd = self._fd if fd is None else fd
        size = os.fstat(fd).st_size
        if size <= self._read:
            return b""
        data = os.pread(fd, size - self._read, self._read)
        self._read += len(data)
        return data

    def _take(self, parts):
        taken = 0
        for part in parts:
            line = part.decode("utf-8", "replace").rstrip("\r")
            if not line.strip():
                continue
            taken += 1
            if any(mark in line for mark in WRITE_FAILED):
                self.write_failures.append(line)
            if self.echo is not None:
                try:
                    self.echo(line)
                except Exception:
                    self.echo = None
        self.lines += taken
        return taken

    def failures(self):
        """The write failures reported so far (lines), for the writer to check after a frame."""
        if self._outer is not None:
            return self._outer.failures()
        return self.write_failures


def _scratch():
    """An unlinked scratch file, appended to."""
    fd, path = tempfile.mkstemp(prefix="quarrin-log-")
    try:
        return os.open(path, os.O_RDWR | os.O_APPEND)
    finally:
        os.close(fd)
        os.unlink(path)


class Said:
    """What OpenCV and FFmpeg wrote to stderr within a `quiet_stderr` block (its last lines)."""
    KEEP = 1 << 16

    def __init__(self):
        self.lines = []


@contextlib.contextmanager
def quiet_stderr():
    """OpenCV and FFmpeg explain a source or codec they refuse on the process's stderr; our own
    one-line message says it instead, from what they said (the `Said` this yields)."""
    said = Said()
    try:
        sys.stderr.flush()
        saved = os.dup(2)
    except (OSError, ValueError, AttributeError):
        yield said
        return
    import tempfile

    try:
        with tempfile.TemporaryFile() as kept:
            os.dup2(kept.fileno(), 2)
            try:
                yield said
            finally:
                os.dup2(saved, 2)
                size = kept.seek(0, os.SEEK_END)
                kept.seek(max(0, size - Said.KEEP))
                said.lines = kept.read().decode("utf-8", "replace").splitlines()
    finally:
        os.close(saved)
