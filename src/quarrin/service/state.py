"""What the service remembers across its restarts: the cameras switched off from the web view.

It lies beside the cameras file, as FILE.state.json: ``{"disabled": ["door", ...]}``. It is
rewritten whole at each change, through a temporary file in the same folder renamed over it, so
that a crash leaves the old file or the new one, never half of either. A file that cannot be read
is said once and taken as no camera disabled: the cameras file, not a stray state, decides what
is recorded.
"""
import json
import os
import tempfile
import threading

SUFFIX = ".state.json"


def path_for(config_path):
    """The state file of the cameras file at `config_path`."""
    return os.path.abspath(config_path) + SUFFIX


class StateError(Exception):
    """A state file that could not be read or written: its path and why."""


def read(path):
    """The names of the disabled cameras of the state file at `path` (none when there is no file);
    StateError for a file that is not one."""
    try:
        with open(path, encoding="utf-8") as f:
            data = json.load(f)
    except FileNotFoundError:
        return set()
    except (OSError, UnicodeDecodeError) as exc:
        raise StateError("%s: %s" % (path, getattr(exc, "strerror", None) or exc)) from None
    except ValueError as exc:
        raise StateError("%s: not JSON: %s" % (path, exc)) from None
    names = data.get("disabled") if isinstance(data, dict) else None
    if not isinstance(names, list) or not all(isinstance(n, str) for n in names):
        raise StateError('%s: expected {"disabled": [camera names]}' % path)
    return set(names)


def write(path, disabled):
    """Writes `disabled` (camera names) into the state file at `path`, atomically; the file is
    removed when no camera is disabled. OSError when the folder cannot take it."""
    if not disabled:
        try:
            os.unlink(path)
        except FileNotFoundError:
            pass
        return
    folder = os.path.dirname(path) or "."
    fd, temporary = tempfile.mkstemp(prefix=".quarrin-state-", suffix=".tmp", dir=folder)
    try:
        with os.fdopen(fd, "w", encoding="utf-8") as f:
            json.dump({"disabled": sorted(disabled)}, f, indent=1)
            f.write("\n")
            f.flush()
            os.fsync(f.fileno())
        os.replace(temporary, path)
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise
    try:   # the rename itself made durable
        dirfd = os.open(folder, os.O_RDONLY)
    except OSError:
        return
    try:
        os.fsync(dirfd)
    except OSError:
        pass
    finally:
        os.close(dirfd)


class State:
    """The disabled cameras of a running service, kept in the file at `path` (None: kept in memory
    only). `warn` gets a line when the file cannot be read or written."""

    def __init__(self, path=None, warn=None):
        self.path, self.warn = path, warn or (lambda line: None)
        self.lock = threading.Lock()
        self.disabled = set()
        if path is not None:
            try:
                self.disabled = read(path)
            except StateError as exc:
                self.warn("cannot read the cameras' state: %s; every camera is enabled" % exc)

    def is_disabled(self, name):
        with self.lock:
            return name in self.disabled

    def set(self, name, disabled):
        """Camera `name` disabled or enabled, and the file rewritten; OSError when it cannot be
        (nothing is changed then)."""
        with self.lock:
            now = self.disabled | {name} if disabled else self.disabled - {name}
            if now != self.disabled:
                self._save(now)
            self.disabled = now

    def keep_only(self, names):
        """Forgets the cameras not in `names` (removed from the cameras file)."""
        with self.lock:
            now = self.disabled & set(names)
            if now != self.disabled:
                try:
                    self._save(now)
                except OSError as exc:
                    self.warn("cannot write the cameras' state %s: %s" % (self.path, exc.strerror or exc))
            self.disabled = now

    def _save(self, disabled):
        if self.path is not None:
            write(self.path, disabled)
