"""Running the service: the cameras of a cameras file recorded, each in a recorder process of its
own, beside the web view of their recordings, until SIGINT or SIGTERM; SIGHUP reads the file
again, and only the cameras whose settings changed restart."""
import os
import signal
import threading
import typing

if typing.TYPE_CHECKING:
    from quarrin.service.config import Config
    from quarrin.web.server import Out, PathOrNone, Paths


def run(config: "Config", paths: "Paths" = (), listen: str | None = None, password_file: "PathOrNone" = None,
        tls_cert: "PathOrNone" = None, tls_key: "PathOrNone" = None, index: "PathOrNone" = None,
        out: "Out | None" = None, warn: "Out | None" = None) -> int:
    """Runs the cameras of `config` (a quarrin.service.config.Config) and the web view of their
    recordings (and of `paths`) until SIGINT or SIGTERM; SIGHUP reads the file again. The command
    line's settings win over the [web] table's. Returns the signal that stopped it."""
    import asyncio

    from quarrin.service.cameras import Cameras
    from quarrin.service.config import output_folders
    from quarrin.service.supervisor import Supervisor
    from quarrin.web import server

    web_table = config.web
    listen = listen or web_table.get("listen") or server.DEFAULT_LISTEN
    password_file = password_file or web_table.get("password_file")
    tls_cert, tls_key = tls_cert or web_table.get("tls_cert"), tls_key or web_table.get("tls_key")
    folders = output_folders(config, paths)
    for folder in folders:
        os.makedirs(folder, exist_ok=True)
    host, port, users, context = server.check_serve_options(folders, listen, password_file, tls_cert, tls_key)
    server.require_extra()

    out = out or (lambda line: print(line, flush=True))
    from quarrin.service import state

    supervisor = Supervisor(config.cameras, out, state.State(state.path_for(config.path), warn=warn or out))
    from quarrin.service.budget import StorageBudget

    storage = StorageBudget(supervisor.outputs, out, config.storage, os.path.dirname(config.path))
    supervisor.segment_closed = storage.segment_closed
    view = presence = None
    try:
        from quarrin.service.presence import Presence

        presence = Presence(config.cameras, out)   # before the recorders: they leave it PREFIX/availability
        cameras = Cameras(supervisor, config.storage)
        app, view = server.application(folders, index, users, context is not None, cameras=cameras, warn=warn)
        supervisor.start()
        storage.start()
        out("Recording %d camera%s: %s" % (len(config.cameras), "" if len(config.cameras) == 1 else "s",
                                           ", ".join(config.cameras)))
        reload = Reload(config.path, supervisor, out, presence, config.cameras, storage, cameras)
        return asyncio.run(_serve(app, host, port, context, folders, out, users is not None, supervisor, reload))
    finally:
        storage.stop()
        supervisor.stop()
        if presence is not None:   # after the recorders' own last messages
            presence.close()
        if view is not None:
            view.close()


async def _serve(app, host, port, context, folders, out, login, supervisor, reload):
    import asyncio

    from quarrin.web import server

    loop = asyncio.get_running_loop()
    stopped = loop.create_future()

    def stop(signum):
        if not stopped.done():
            stopped.set_result(signum)
            supervisor.stopping()   # no recorder restarts while the page's connections close

    handlers = {signum: (lambda signum=signum: stop(signum)) for signum in (signal.SIGINT, signal.SIGTERM)}
    handlers[signal.SIGHUP] = reload
    with server.on_signals(loop, handlers):
        return await server.run(app, host, port, context, folders, out, login, stopped)


class Reload:
    """SIGHUP: the cameras file read again; only the cameras whose settings changed restart. A file
    with faults changes nothing. `presence` (quarrin.service.presence.Presence), told the cameras
    before (`cameras`) and after, removes the home automation entities no camera publishes now;
    `storage` (quarrin.service.budget.StorageBudget) and the web view's `provider` take the new
    [storage] table."""

    def __init__(self, path, supervisor, out, presence=None, cameras=None, storage=None, provider=None):
        self.path, self.supervisor, self.out = path, supervisor, out
        self.presence, self.cameras, self.storage = presence, dict(cameras or {}), storage
        self.provider = provider   # the web view's (quarrin.service.cameras.Cameras), or None
        self.lock = threading.Lock()
        self.busy = self.again = False

    def __call__(self):
        # Called on the event loop (not in a signal handler), so the lock cannot be re-entered.
        with self.lock:
            if self.busy:
                # An edit saved while a reload runs: the file is read once more after it, so
                # that the last SIGHUP always sees the last file.
                self.again = True
                return
            self.busy = True
        threading.Thread(target=self._reloads, name="quarrin-reload", daemon=True).start()

    def _reloads(self):
        while True:
            try:
                self._reload()
            except BaseException:
                with self.lock:
                    self.busy = self.again = False
                raise
            with self.lock:  # decided with `busy` cleared at once: no SIGHUP falls in between
                if not self.again:
                    self.busy = False
                    return
                self.again = False

    def _reload(self):
        from quarrin.service import config

        try:
            found = config.load(self.path)
        except config.ConfigError as exc:
            for line in exc.lines:
                self.out("quarrin: error: %s" % line)
            self.out("Reloading %s: the file has faults; nothing changed" % self.path)
            return
        added, removed, changed = self.supervisor.apply(found.cameras)
        if self.presence is not None:   # once the recorders of the cameras gone have stopped
            self.presence.update(self.cameras, found.cameras)
        self.cameras = dict(found.cameras)
        limits = self.storage is not None and self.storage.configure(found.storage)
        if self.provider is not None:   # the storage page's budget
            self.provider.table = found.storage
        self.out("Reloaded %s: %s" % (self.path, "; ".join(
            "%s %s" % (what, ", ".join(names)) for what, names in (("added", added), ("removed", removed),
                                                                  ("restarted", changed)) if names)
            or ("the storage budget changed" if limits else "nothing changed")))
