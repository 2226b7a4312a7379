"""``quarrin serve``: checks what it is given, then runs the web view until Ctrl-C or SIGTERM.

Everything that can be refused is refused before the index is opened or a port bound: a listen
address that is not loopback without a password file, a password file that cannot be read, a
certificate without its key. The checks need neither aiohttp nor Jinja2; running does.

A running service (quarrin.service.run) serves its view through `application` and `run`, with its
own signals.
"""
import functools
import getpass
import ipaddress
import os
import signal
import socket
import sys
import typing

from quarrin.errors import UsageError, named

if typing.TYPE_CHECKING:
    import asyncio
    import ssl

    from aiohttp import web

    from quarrin.web.data import View

Paths = typing.Sequence[typing.Union[str, "os.PathLike[str]"]]
PathOrNone = typing.Union[str, "os.PathLike[str]", None]
Out = typing.Callable[[str], object]

DEFAULT_LISTEN = "127.0.0.1:8080"
EXTRA = "pip install 'quarrin[web]'"
SHUTDOWN_SECONDS = 3.0   # what open connections (a video playing) get to finish at a stop


def parse_listen(text: object) -> tuple[str, int]:
    """(host, port) of HOST:PORT ([::1]:8080 for an IPv6 address; an empty host is every address)."""
    host, sep, port = str(text).strip().rpartition(":")
    if not sep or not port.isdigit() or int(port) > 65535:
        raise UsageError("listen", text, "give HOST:PORT, such as 127.0.0.1:8080 or [::1]:8080")
    if host.startswith("[") and host.endswith("]"):
        host = host[1:-1]
    elif ":" in host:
        raise UsageError("listen", text, "write an IPv6 address in brackets: [::1]:8080")
    return host, int(port)


def is_loopback(host: str) -> bool:
    """Whether every address `host` stands for is a loopback one (127.0.0.0/8, ::1, localhost);
    an empty host (every address) is not."""
    if not host:
        return False
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        pass
    try:
        found = socket.getaddrinfo(host, None, proto=socket.IPPROTO_TCP)
    except (OSError, UnicodeError):
        raise UsageError("listen", host, "is no address this machine knows") from None
    return bool(found) and all(ipaddress.ip_address(str(a[4][0]).split("%")[0]).is_loopback for a in found)


def check_serve_options(paths: Paths, listen: str, password_file: PathOrNone = None, tls_cert: PathOrNone = None,
                        tls_key: PathOrNone = None
                        ) -> tuple[str, int, dict[str, str] | None, "ssl.SSLContext | None"]:
    """The settings of a server, checked: (host, port, users or None, SSL context or None)."""
    from quarrin.web import auth

    if not paths:
        raise UsageError("paths", "", "give the folders of recordings to serve")
    for path in paths:
        if not os.path.isdir(path):
            raise UsageError("paths", path, "no such folder" if not os.path.exists(path) else "is no folder")
    host, port = parse_listen(listen)
    users: dict[str, str] | None = auth.read_password_file(password_file) if password_file is not None else None
    if users is None and not is_loopback(host):
        raise UsageError("listen", listen, "is not a loopback address: a page open to the network needs %s FILE "
                                           "(quarrin serve %s makes its hash)"
                         % (named("password_file"), named("hash_password")))
    if (tls_cert is None) != (tls_key is None):
        raise UsageError("tls_key" if tls_key is None else "tls_cert", tls_key or tls_cert,
                         "give both %s and %s" % (named("tls_cert"), named("tls_key")))
    context = None
    if tls_cert is not None:
        import ssl

        context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        try:
            context.load_cert_chain(tls_cert, tls_key)
        except (OSError, ssl.SSLError) as exc:
            raise UsageError("tls_cert", tls_cert, "cannot be used with its key (%s)"
                             % (getattr(exc, "strerror", None) or exc.args[-1])) from None
    return host, port, users, context


def require_extra() -> None:
    """UsageError saying how to install the web extra when aiohttp or Jinja2 is missing."""
    try:
        import aiohttp  # noqa: F401
        import jinja2  # noqa: F401
    except ImportError as exc:
        raise UsageError(None, None, "quarrin serve needs %s, of the web extra: %s"
                         % (exc.name or "aiohttp", EXTRA)) from None


def hash_password(stdin: typing.TextIO | None = None, stdout: typing.TextIO | None = None) -> None:
    """``quarrin serve --hash-password``: a password from standard input (asked twice on a
    terminal), its hash printed on one line."""
    from quarrin.web import auth

    stdin, stdout = stdin or sys.stdin, stdout or sys.stdout
    if stdin.isatty():
        password = getpass.getpass("Password: ")
        if getpass.getpass("Again: ") != password:
            raise UsageError("hash_password", True, "the two passwords differ")
    else:
        password = stdin.readline().rstrip("\r\n")
    if not password:
        raise UsageError("hash_password", True, "the password is empty")
    print(auth.hash_password(password), file=stdout)


def url(host: str, port: int, tls: bool) -> str:
    shown = "[%s]" % host if ":" in host else host
    return "%s://%s:%d/" % ("https" if tls else "http", shown, port)


def application(paths: Paths, index: PathOrNone = None, users: dict[str, str] | None = None, tls: bool = False,
                cameras: typing.Any = None, warn: Out | None = None) -> tuple["web.Application", "View"]:
    """The web view of `paths` (its aiohttp app and its quarrin.web.data.View, to close when it is
    done): `users` a password file's (None: no login), `tls` whether it is served over HTTPS,
    `cameras` a running service's camera provider (quarrin.service.cameras.Cameras) whose cameras
    and live images it shows as well."""
    from quarrin.web import auth, live
    from quarrin.web.app import make_app
    from quarrin.web.data import View

    view = View(paths, index, cameras=cameras, warn=warn)
    try:
        view.cameras()   # the index is brought up to date once before the first page asks
        app = make_app(view, auth.Logins(users) if users is not None else None, tls=tls, local=users is None,
                       routes=live.routes(cameras) if cameras is not None else None)
    except BaseException:
        view.close()
        raise
    return typing.cast("web.Application", app), view


def serve(paths: Paths, listen: str = DEFAULT_LISTEN, password_file: PathOrNone = None, tls_cert: PathOrNone = None,
          tls_key: PathOrNone = None, index: PathOrNone = None, out: Out | None = None,
          warn: Out | None = None) -> int:
    """Runs the web view of `paths` until SIGINT or SIGTERM; returns the signal that stopped it."""
    host, port, users, context = check_serve_options(paths, listen, password_file, tls_cert, tls_key)
    require_extra()
    import asyncio

    out = out or (lambda line: print(line, flush=True))
    app, view = application(paths, index, users, context is not None, warn=warn)
    try:
        return asyncio.run(_until_stopped(app, host, port, context, paths, out, users is not None))
    finally:
        view.close()


async def _until_stopped(app: "web.Application", host: str, port: int, context: "ssl.SSLContext | None",
                         paths: Paths, out: Out, login: bool) -> int:
    import asyncio

    loop = asyncio.get_running_loop()
    stopped: asyncio.Future[int] = loop.create_future()

    def stop(signum: int) -> None:
        if not stopped.done():
            stopped.set_result(signum)

    with on_signals(loop, {signum: functools.partial(stop, signum) for signum in (signal.SIGINT, signal.SIGTERM)}):
        return await run(app, host, port, context, paths, out, login, stopped)


class on_signals:
    """``with on_signals(loop, {signum: callback})``: each callback called on `loop` when its signal
    comes, for as long as the block runs."""

    def __init__(self, loop: "asyncio.AbstractEventLoop", handlers: dict[int, typing.Callable[[], object]]) -> None:
        self.loop, self.handlers = loop, handlers

    def __enter__(self) -> "on_signals":
        for signum, callback in self.handlers.items():
            self.loop.add_signal_handler(signum, callback)
        return self

    def __exit__(self, *exc: object) -> None:
        for signum in self.handlers:
            self.loop.remove_signal_handler(signum)


async def run(app: "web.Application", host: str, port: int, context: "ssl.SSLContext | None", paths: Paths,
              out: Out, login: bool, stopped: "asyncio.Future[int]") -> int:
    """Serves `app` on host:port (over TLS with `context`) until the future `stopped` is done, and
    returns its result; open connections get SHUTDOWN_SECONDS to finish. `out` gets the line that
    says where it serves `paths`."""
    from quarrin.web import connections
    from quarrin.web.app import CONNECTIONS

    listener = connections.Listener(app, app[CONNECTIONS], shutdown_timeout=SHUTDOWN_SECONDS)
    try:
        try:
            bound = await listener.start(host, port, context)
        except OSError as exc:
            raise OSError(exc.errno, "cannot listen on %s: %s" % (url(host or "0.0.0.0", port, False)[7:-1],
                                                                   exc.strerror or exc)) from None
        out("Serving %s at %s%s (Ctrl-C stops)" % (", ".join(map(str, paths)),
                                                    url(host or "0.0.0.0", bound, context is not None),
                                                    ", login required" if login else ""))
        return await stopped
    finally:
        await listener.stop()
