"""The server's connections: who may hold one and for how long, and what their faults leave in
the log. `Listener` runs an application on an address with all of this.

- A connection with no request in progress is closed after `Limits.idle` seconds: one that sends
  nothing, and one that trickles a request's head without finishing it. The login form's body
  has a time of its own (quarrin.web.app).
- Each client address holds at most `per_address` connections, all of them together at most
  `total` (by default what the limit on open files leaves once RESERVE descriptors are kept for
  the recordings, the index and the recorders). A connection past a limit takes the place of
  the one idle longest (of its address, or of all), which is closed as a server closes an idle
  keep-alive connection; when none is idle it is answered 503 and closed. No request is ever
  cut off for another.
- aiohttp's and asyncio's faults (a malformed request, an accept that failed) are one line
  each, at most `LINES` of a kind in `WINDOW` seconds, then a line counting those left out.
  A fault of the server's own keeps its traceback.
"""
import asyncio
import collections
import dataclasses
import ipaddress
import logging
import resource
import socket
import sys
import time
import traceback

from aiohttp import web
from aiohttp.http_exceptions import HttpProcessingError

IDLE_SECONDS = 15.0
PER_ADDRESS = 32
RESERVE = 64          # descriptors kept for all but connections, at least (a quarter of the limit if more)
MAX_TOTAL = 4096
LINES, WINDOW = 5, 60.0
LISTEN_QUEUE = 128    # connections the kernel holds until they are taken
BUSY = (b"HTTP/1.1 503 Service Unavailable\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: 26\r\n"
        b"Retry-After: 5\r\nConnection: close\r\n\r\n503: too many connections\n")


@dataclasses.dataclass(frozen=True)
class Limits:
    idle: float = IDLE_SECONDS
    per_address: int = PER_ADDRESS
    total: int = 0        # 0: from the limit on open files

    def connections(self):
        """How many connections may be open at once."""
        if self.total:
            return self.total
        soft = resource.getrlimit(resource.RLIMIT_NOFILE)[0]
        if soft == resource.RLIM_INFINITY:
            soft = 1 << 20
        return max(8, min(MAX_TOTAL, soft - max(RESERVE, soft // 4)))

    def backlog(self):
        """Connections taken from the kernel at once. Each may close another (past a limit) that
        gives its descriptor back only after the batch: two descriptors each, out of what the
        connections leave of the limit, with room for the rest of the server."""
        soft = resource.getrlimit(resource.RLIMIT_NOFILE)[0]
        left = RESERVE if soft == resource.RLIM_INFINITY else soft - self.connections()
        return max(4, min(128, left // 4))


def client(peername):
    """The address a connection comes from (an IPv4 address mapped into IPv6 as itself)."""
    host = peername[0] if isinstance(peername, tuple) and peername else str(peername or "")
    try:
        ip = ipaddress.ip_address(host.partition("%")[0])
    except ValueError:
        return host
    return str(ip.ipv4_mapped if ip.version == 6 and ip.ipv4_mapped is not None else ip)


class Pool:
    """The open connections (`Gate`s): by client address, and which are idle, longest first."""

    def __init__(self, limits):
        self.limits = limits
        self.total = limits.connections()
        self.by_address = collections.defaultdict(set)
        self.by_transport = {}
        self.idle = collections.OrderedDict()

    def admit(self, gate):
        """Whether `gate` may stay open, making room by closing an idle one if need be."""
        mine = self.by_address[gate.address]
        victim = None
        if len(mine) >= self.limits.per_address:
            victim = next((g for g in self.idle if g.address == gate.address), None)
            if victim is None:
                return False
        elif len(self.by_transport) >= self.total:
            victim = next(iter(self.idle), None)
            if victim is None:
                return False
        if victim is not None:
            self.release(victim)
            victim.close()
        mine.add(gate)
        self.by_transport[gate.transport] = gate
        self.idle[gate] = None
        return True

    def release(self, gate):
        self.by_address[gate.address].discard(gate)
        if not self.by_address[gate.address]:
            del self.by_address[gate.address]
        self.by_transport.pop(gate.transport, None)
        self.idle.pop(gate, None)

    def busy(self, transport, delta):
        """A request of the connection on `transport` began (+1) or ended (-1)."""
        gate = self.by_transport.get(transport)
        if gate is None:
            return
        gate.requests += delta
        if gate.requests:
            self.idle.pop(gate, None)
        else:
            self.idle[gate] = None
            self.idle.move_to_end(gate)

    def middleware(self):
        @web.middleware
        async def requests(request, handler):
            transport = request.transport
            self.busy(transport, +1)
            try:
                return await handler(request)
            finally:
                self.busy(transport, -1)
        return requests


class Gate(asyncio.Protocol):
    """A connection as the pool sees it, in front of aiohttp's own protocol, which is made only
    once the connection is let in."""

    def __init__(self, pool, make):
        self.pool, self.make = pool, make
        self.inner = self.transport = self.address = None
        self.requests = 0

    def connection_made(self, transport):
        self.transport = transport
        self.address = client(transport.get_extra_info("peername"))
        if not self.pool.admit(self):
            transport.write(BUSY)
            transport.close()
            return
        self.inner = self.make()
        self.inner.connection_made(transport)

    def close(self):
        """Closed as aiohttp closes an idle keep-alive connection: after what it has written."""
        if self.inner is not None:
            self.inner.force_close()
        elif self.transport is not None:
            self.transport.close()

    def data_received(self, data):
        if self.inner is not None:
            self.inner.data_received(data)

    def eof_received(self):
        return self.inner.eof_received() if self.inner is not None else None

    def pause_writing(self):
        if self.inner is not None:
            self.inner.pause_writing()

    def resume_writing(self):
        if self.inner is not None:
            self.inner.resume_writing()

    def connection_lost(self, exc):
        if self.pool.by_transport.get(self.transport) is self:
            self.pool.release(self)
        if self.inner is not None:
            self.inner.connection_lost(exc)


class OneLine(logging.Handler):
    """Log records as one line each, at most `lines` of a kind (the same message before its
    arguments) in each `window` seconds. A client's fault (a malformed request) or the system's
    (an accept that failed, a connection reset) is its type and message; any other exception, a
    fault of the server's own, keeps its traceback."""

    def __init__(self, stream=None, lines=LINES, window=WINDOW, clock=time.monotonic):
        super().__init__(logging.INFO)
        self.stream, self.lines, self.window, self.clock = stream, lines, window, clock
        self.began = clock()
        self.counts = collections.Counter()

    def emit(self, record):
        now = self.clock()
        if now - self.began >= self.window:
            self.flush()
            self.began = now
        kind = (record.name, str(record.msg))
        self.counts[kind] += 1
        if self.counts[kind] > self.lines:
            return
        text = " ".join(record.getMessage().split())
        exc = record.exc_info[1] if record.exc_info else None
        if isinstance(exc, (HttpProcessingError, OSError)):
            text += ": %s%s" % (type(exc).__name__, ": %s" % " ".join(str(exc).split()) if str(exc) else "")
        elif exc is not None:
            text += "\n" + "".join(traceback.format_exception(type(exc), exc, exc.__traceback__)).rstrip()
        self._say(text)

    def flush(self):
        for (_, msg), count in self.counts.items():
            if count > self.lines:
                self._say("%d more like %r in %.0f s, left out" % (count - self.lines, msg[:60], self.window))
        self.counts.clear()

    def _say(self, text):
        stream = self.stream or sys.stderr
        try:
            stream.write("quarrin serve: %s\n" % text)
            stream.flush()
        except (OSError, ValueError):
            pass


class Listener:
    """`app` served with its pool's limits (quarrin.web.app.make_app makes the pool): `start`
    listens on an address and returns the port it got, `stop` closes every connection."""

    def __init__(self, app, pool, stream=None, lines=LINES, window=WINDOW, shutdown_timeout=3.0):
        self.app, self.pool = app, pool
        self.handler = OneLine(stream, lines, window)
        self.log = logging.getLogger("quarrin.serve")
        self.shutdown_timeout = shutdown_timeout
        self.runner = self.server = self.loop = self._was = None

    async def start(self, host, port, ssl_context=None):
        self.log.addHandler(self.handler)
        self.log.propagate = False
        self.log.setLevel(logging.INFO)
        self.loop = asyncio.get_running_loop()
        self._was = self.loop.get_exception_handler()
        self.loop.set_exception_handler(self._loop_fault)
        limits = self.pool.limits
        self.runner = web.AppRunner(self.app, access_log=None, shutdown_timeout=self.shutdown_timeout,
                                    keepalive_timeout=limits.idle, logger=self.log)
        await self.runner.setup()
        make = self.runner.server
        self.server = await self.loop.create_server(lambda: Gate(self.pool, make), host or None, port,
                                                    ssl=ssl_context, backlog=limits.backlog(), reuse_address=True,
                                                    ssl_handshake_timeout=limits.idle if ssl_context else None)
        # asyncio takes `backlog` connections at each look and listens with the same queue, which
        # so small drops the connections of a burst (their clients try again only after a second
        # or more): the kernel's queue is made the usual size again.
        for sock in self.server.sockets:
            queue = socket.socket(fileno=sock.fileno())
            try:
                queue.listen(LISTEN_QUEUE)
            finally:
                queue.detach()
        return self.server.sockets[0].getsockname()[1]

    def _loop_fault(self, loop, context):
        exc = context.get("exception")
        self.log.error(context.get("message", "fault"), exc_info=exc)

    async def stop(self):
        try:
            if self.server is not None:
                self.server.close()
            if self.runner is not None:
                await self.runner.cleanup()
        finally:
            if self.loop is not None:
                self.loop.set_exception_handler(self._was)
            self.handler.flush()
            self.log.removeHandler(self.handler)
