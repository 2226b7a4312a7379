"""The camera provider a running service hands the web view: each camera's state and counters,
its output, and its live images while a page watches. The web view reads nothing else of the
service; it builds every URL itself."""
import time


class Cameras:
    """The cameras of `supervisor` (quarrin.service.supervisor.Supervisor), as the web view reads
    them."""

    def __init__(self, supervisor, storage=None):
        self._supervisor = supervisor
        self.table = storage or {}   # the cameras file's [storage] table (a reload puts in its own)

    def cameras(self):
        """{name: fields}: state, masked source, fps, frames read and saved, last frame and event,
        restarts, last error, pid."""
        return self._supervisor.cameras()

    def outputs(self):
        """Each camera's output, by name: the recordings each one makes."""
        return self._supervisor.outputs()

    def budgets(self):
        """Each camera's own disk budget, by name: {"keep_size": bytes, "keep_days": days}, each None
        without one."""
        s = self._supervisor
        with s.lock:
            return {name: {"keep_size": getattr(r.camera.checked, "keep_size", None),
                           "keep_days": getattr(r.camera.checked, "keep_days", None)}
                    for name, r in s.recorders.items()}

    def storage(self):
        """The budget over every camera: {"max_size": bytes, "min_free": bytes}, each None without one."""
        return {key: self.table.get(key) for key in ("max_size", "min_free")}

    def live(self, name):
        """Camera `name`'s live images (`Live`), or None when there is no such camera."""
        recorder = self._supervisor.recorder(name)
        return None if recorder is None else Live(recorder)

    def watch(self, name):
        """An image of camera `name` was asked for: its live view stays on for a while."""
        self._supervisor.watch(name)

    def viewing(self, name, delta):
        """A stream of camera `name` opened (+1) or closed (-1): its live view stays on meanwhile."""
        self._supervisor.viewing(name, delta)

    def disable(self, name):
        """Stops camera `name`'s recorder (its files finalised) until `enable`, across restarts of
        the service: its fields, or None when there is no such camera. Blocks while it stops;
        OSError when the state file cannot be written."""
        return self._supervisor.disable(name)

    def enable(self, name):
        """Starts camera `name`'s recorder again: its fields, or None when there is no such camera."""
        return self._supervisor.enable(name)

    def service(self):
        """The service's own figures: `uptime` (seconds) and `running` (recorders)."""
        return {"uptime": self._supervisor.uptime(), "running": self._supervisor.running()}

    def figures(self):
        """{name: fields} for the metrics: each camera's state, frames read and saved, fps,
        restarts, `events` (ended since the service started), `last_frame_at` (seconds since the
        epoch, or None) and `output`."""
        s = self._supervisor
        with s.lock:
            return {name: dict(r.status(), events=r.events, last_frame_at=r.last_frame_at, output=r.camera.output)
                    for name, r in s.recorders.items()}


class Live:
    """One camera's recorder as its live view reads it. Two are equal while they are of the same
    recorder: a camera restarted with new settings has another."""
    __slots__ = ("_recorder",)

    def __init__(self, recorder):
        self._recorder = recorder

    def __eq__(self, other):
        return isinstance(other, Live) and other._recorder is self._recorder

    def __hash__(self):
        return id(self._recorder)

    @property
    def name(self):
        return self._recorder.camera.name

    @property
    def state(self):
        """starting, recording, lost, restarting or stopped."""
        return self._recorder.state

    @property
    def last_error(self):
        return self._recorder.last_error

    @property
    def fps(self):
        """The live images asked for each second at most."""
        return self._recorder.camera.live_fps

    @property
    def version(self):
        """The newest image's number: it grows with each image."""
        return self._recorder.jpeg_version

    @property
    def jpeg(self):
        """The newest image (JPEG bytes), or None."""
        return self._recorder.jpeg

    @property
    def age(self):
        """Seconds since the newest image came."""
        return time.monotonic() - self._recorder.jpeg_at

    @property
    def retry_in(self):
        """Seconds until a failed recorder is started again (0 unless it is restarting)."""
        r = self._recorder
        return max(0.0, r.next_start - time.monotonic()) if r.state == "restarting" else 0.0
