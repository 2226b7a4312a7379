"""Sending one file: its validators, conditional and range requests, and a file that changes while
it is sent.

The file is opened once; what is promised (its length, the ranges, the ETag) comes from that open
file, so a video still being recorded is sent as long as it was when asked for. A file cut short
while it is sent (a budget deleting it, a repair truncating it) ends the connection, so that the
client sees a short download and is never left waiting for bytes that will not come.

Ranges follow HTTP's rules (RFC 9110, section 14): only `bytes`, only for GET; a header that is
not valid, or of another unit, is ignored (the whole file, 200); ranges none of which can be
satisfied are a 416; several ranges are sent as multipart/byteranges, overlapping ones merged,
and too many pieces are answered with the whole file. ``If-Range`` gives the ranges only while
the file is the one its validator names: an ETag by strong comparison (a weak one never
matches), a date only when it is exactly the Last-Modified.
"""
import asyncio
import email.utils
import os
import secrets
import stat

from aiohttp import web

CHUNK = 512 << 10        # bytes handed to the kernel at once (a slow phone takes them within STALL_SECONDS)
STALL_SECONDS = 60.0     # a client that takes no bytes for this long is let go
MAX_PARTS = 16           # pieces of a multipart answer at most; more get the whole file
MERGE_GAP = 80           # ranges closer than this (about a part's own headers) are sent as one


async def send_file(request, path, content_type, headers=None):
    """The response for the file at `path`, already sent (a StreamResponse); 404 when it is gone."""
    loop = asyncio.get_running_loop()
    try:
        f, st = await loop.run_in_executor(None, _open, path)
    except OSError:
        raise web.HTTPNotFound() from None
    try:
        return await _send(request, f, st, content_type, headers or {})
    finally:
        f.close()


def _open(path):
    f = open(path, "rb")
    try:
        st = os.fstat(f.fileno())
        if not stat.S_ISREG(st.st_mode):
            raise IsADirectoryError(path)
    except BaseException:
        f.close()
        raise
    return f, st


async def _send(request, f, st, content_type, extra):
    size = st.st_size
    etag = '"%x-%x"' % (st.st_mtime_ns, size)
    modified = int(st.st_mtime)
    headers = {"ETag": etag, "Last-Modified": email.utils.formatdate(modified, usegmt=True),
               "Accept-Ranges": "bytes", **extra}
    refused = _preconditions(request, etag[1:-1], modified)
    if refused is not None:
        return web.Response(status=refused, headers=headers)
    ranges = None
    if request.method == "GET" and "Range" in request.headers and _if_range(request, etag, modified):
        ranges = parse_ranges(request.headers["Range"], size)
    if ranges == []:
        return web.Response(status=416, headers=dict(headers, **{"Content-Range": "bytes */%d" % size}))
    if ranges is not None:
        ranges = _merged(ranges)
        if len(ranges) > MAX_PARTS:
            ranges = None

    if ranges is None:
        pieces, tail = [(b"", 0, size)], b""
        response = web.StreamResponse(status=200, headers=dict(headers, **{"Content-Type": content_type}))
    elif len(ranges) == 1:
        (first, last), = ranges
        pieces, tail = [(b"", first, last - first + 1)], b""
        response = web.StreamResponse(status=206, headers=dict(headers, **{
            "Content-Type": content_type, "Content-Range": "bytes %d-%d/%d" % (first, last, size)}))
    else:
        boundary = secrets.token_hex(12)
        pieces = [(b"%s--%s\r\nContent-Type: %s\r\nContent-Range: bytes %d-%d/%d\r\n\r\n"
                   % (b"\r\n" if n else b"", boundary.encode(), content_type.encode(), first, last, size),
                   first, last - first + 1) for n, (first, last) in enumerate(ranges)]
        tail = b"\r\n--%s--\r\n" % boundary.encode()
        response = web.StreamResponse(status=206, headers=dict(headers, **{
            "Content-Type": "multipart/byteranges; boundary=" + boundary}))
    response.content_length = sum(len(head) + count for head, _, count in pieces) + len(tail)
    await response.prepare(request)
    if request.method == "HEAD":
        return response
    for head, first, count in pieces:
        if not await write_within(response, head):
            return let_go(request, response, stalled=True)
        try:
            if not await _copy(request, f, first, count):
                # Shorter than promised: the connection ends, the client sees a download cut short.
                return let_go(request, response)
        except asyncio.TimeoutError:
            return let_go(request, response, stalled=True)
    if not await write_within(response, tail):
        return let_go(request, response, stalled=True)
    await response.write_eof()
    return response


def let_go(request, response, stalled=False):
    """Ends the connection of a response that cannot be finished, after what was written (at
    once when the client takes nothing); returns the response."""
    response.force_close()
    if request.transport is not None:
        (request.transport.abort if stalled else request.transport.close)()
    return response


async def write_within(response, data):
    """Writes to a prepared response; False when the client took nothing for STALL_SECONDS."""
    try:
        await asyncio.wait_for(response.write(data), STALL_SECONDS)
    except asyncio.TimeoutError:
        return False
    return True


async def _copy(request, f, offset, count):
    """Sends `count` bytes of `f` from `offset`; False when the file ended first, TimeoutError
    when the client took nothing for STALL_SECONDS."""
    loop = asyncio.get_running_loop()
    while count > 0:
        transport = request.transport
        if transport is None or transport.is_closing():
            raise ConnectionResetError("the client went away")
        sent = await asyncio.wait_for(loop.sendfile(transport, f, offset, min(CHUNK, count)), STALL_SECONDS)
        if not sent:
            return False
        offset, count = offset + sent, count - sent
    return True


def _preconditions(request, etag, modified):
    """412 or 304 when the request's conditions say so, else None."""
    wanted = request.if_match
    if wanted is not None:
        if not any(t.value in ("*", etag) and not t.is_weak for t in wanted):
            return 412
    elif request.if_unmodified_since is not None and modified > request.if_unmodified_since.timestamp():
        return 412
    if request.method not in ("GET", "HEAD"):
        return None
    unwanted = request.if_none_match
    if unwanted is not None:
        return 304 if any(t.value in ("*", etag) for t in unwanted) else None
    if request.if_modified_since is not None and modified <= request.if_modified_since.timestamp():
        return 304
    return None


def _if_range(request, etag, modified):
    """Whether the ranges asked for may be sent: no If-Range, or one that names this very file."""
    validator = request.headers.get("If-Range")
    if validator is None:
        return True
    validator = validator.strip()
    if validator.startswith(('"', "W/")):
        return validator == etag
    try:
        moment = email.utils.parsedate_to_datetime(validator)
    except (TypeError, ValueError, IndexError):
        return False
    return moment.tzinfo is not None and moment.timestamp() == modified


def parse_ranges(header, size):
    """The byte ranges [(first, last), ...] a Range header asks of `size` bytes, the ones that can
    be satisfied in the order asked; [] when there are none; None when the header is to be
    ignored (not bytes, not valid, or an empty file)."""
    unit, equals, spec = header.partition("=")
    if not equals or unit.lower() != "bytes" or spec[:1] in (" ", "\t") or size <= 0:
        return None
    ranges, seen = [], False
    for element in spec.split(","):
        element = element.strip(" \t")
        if not element:   # a list may hold empty elements
            continue
        seen = True
        first, dash, last = element.partition("-")
        if not dash or not (first or last) or not all(x.isascii() and x.isdigit() for x in (first, last) if x):
            return None
        if not first:    # the last `last` bytes
            if int(last):
                ranges.append((max(0, size - int(last)), size - 1))
        elif last and int(last) < int(first):
            return None
        elif int(first) < size:
            ranges.append((int(first), min(int(last), size - 1) if last else size - 1))
    return ranges if seen else None


def _merged(ranges):
    """The ranges with those that overlap or nearly touch made one: in the order asked when
    none did, else in the file's order."""
    merged = []
    for first, last in sorted(ranges):
        if merged and first <= merged[-1][1] + MERGE_GAP:
            merged[-1] = (merged[-1][0], max(merged[-1][1], last))
        else:
            merged.append((first, last))
    return ranges if len(merged) == len(ranges) else merged
