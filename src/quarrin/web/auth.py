"""Who may look: the password file, the login form's session cookie and HTTP Basic.

A password file holds one ``user:password`` or ``user:HASH`` a line (blank lines and lines
starting with ``#`` are skipped); HASH is what ``quarrin serve --hash-password`` prints: scrypt
with a random salt, ``scrypt$N$r$p$SALT$KEY`` (base64). Passwords are compared in constant time,
and a user that does not exist costs the same scrypt as one that does.

A login sets a session cookie (HttpOnly, SameSite=Lax, Secure over HTTPS) signed with HMAC under a
key made at start-up: a restart logs everyone out. API clients may send HTTP Basic instead; a
verified Basic header is remembered for a while (by its HMAC) so that each request does not pay
scrypt again. Nothing here logs a password.

A wrong login tells nothing of the user named: each try costs one scrypt of the same strength
(a user that does not exist, or whose line holds the password itself, pays it on a stand-in
hash), and its answer waits for the next multiple of `WRONG_SECONDS` after the try began. Wrong
logins are slowed down per neighbourhood of addresses (the /24 of an IPv4 address, the /64 of an
IPv6 one): each failure doubles the wait before its next try is looked at, up to `MAX_DELAY`.
All of them together are slowed down too: `TOTAL_BURST` wrong tries at once, then one each
`TOTAL_EVERY` seconds; a try that would wait longer than `TOTAL_WAIT` for its turn is refused
(`TooManyLogins`, a 429) without being looked at.
"""
import asyncio
import base64
import binascii
import hashlib
import hmac
import ipaddress
import math
import os
import secrets
import time

from quarrin.errors import UsageError

COOKIE = "quarrin_session"
SESSION_SECONDS = 7 * 24 * 3600
SCRYPT = (1 << 14, 8, 1)          # N, r, p
WRONG_SECONDS = 0.25               # a wrong login is answered at a multiple of this after it began
FIRST_DELAY, MAX_DELAY = 0.5, 8.0  # seconds: the wait after a first wrong login, and the most
FORGET_FAILURES = 900.0            # seconds without a failure after which a neighbourhood starts afresh
TOTAL_BURST, TOTAL_EVERY = 20, 3.0  # wrong logins from anywhere: so many at once, then one each so many seconds
TOTAL_WAIT = 10.0                  # the longest a try waits for its turn among all of them
BASIC_SECONDS = 600.0              # how long a verified Basic header is trusted
_KEPT = 1000                       # neighbourhoods, and Basic headers, remembered at most


class TooManyLogins(Exception):
    """Too many wrong logins lately, from everywhere together: try again in `seconds`."""

    def __init__(self, seconds):
        super().__init__("too many wrong logins lately: try again in %d s" % math.ceil(seconds))
        self.seconds = math.ceil(seconds)


def neighbourhood(address):
    """The addresses whose wrong logins count together with `address`'s: its /24 (IPv4, also
    when mapped into IPv6) or its /64 (IPv6); anything else (a Unix socket) by itself."""
    try:
        ip = ipaddress.ip_address(address.partition("%")[0])
    except ValueError:
        return address
    if ip.version == 6 and ip.ipv4_mapped is not None:
        ip = ip.ipv4_mapped
    return str(ipaddress.ip_network("%s/%d" % (ip, 24 if ip.version == 4 else 64), strict=False))


def hash_password(password, salt=None, n=SCRYPT[0], r=SCRYPT[1], p=SCRYPT[2]):
    """``scrypt$N$r$p$SALT$KEY`` for a password."""
    salt = salt if salt is not None else os.urandom(16)
    key = hashlib.scrypt(password.encode("utf-8"), salt=salt, n=n, r=r, p=p, dklen=32, maxmem=256 << 20)
    return "scrypt$%d$%d$%d$%s$%s" % (n, r, p, _b64(salt), _b64(key))


def _b64(data):
    return base64.b64encode(data).decode("ascii")


def check_password(password, stored):
    """Whether `password` is the one `stored` (a hash, or the password itself), in constant time."""
    given = password.encode("utf-8")
    if not stored.startswith("scrypt$"):
        return hmac.compare_digest(hashlib.sha256(given).digest(), hashlib.sha256(stored.encode("utf-8")).digest())
    try:
        _, n, r, p, salt, key = stored.split("$")
        n, r, p, salt, key = int(n), int(r), int(p), base64.b64decode(salt), base64.b64decode(key)
        made = hashlib.scrypt(given, salt=salt, n=n, r=r, p=p, dklen=len(key), maxmem=256 << 20)
    except (ValueError, binascii.Error):
        return False
    return hmac.compare_digest(made, key)


def read_password_file(path):
    """{user: stored password or hash} of a password file; UsageError when it cannot be read or
    holds no login. The error names the line, never its content."""
    try:
        with open(path, encoding="utf-8") as f:
            lines = f.read().splitlines()
    except (OSError, UnicodeDecodeError) as exc:
        raise UsageError("password_file", path, getattr(exc, "strerror", None) or "cannot be read") from None
    users = {}
    for number, line in enumerate(lines, 1):
        line = line.strip()
        if not line or line.startswith("#"):
            continue
        user, sep, secret = line.partition(":")
        if not sep or not user or not secret:
            raise UsageError("password_file", path, "line %d is not user:password or user:HASH" % number)
        if secret.startswith("scrypt$") and not _well_formed(secret):
            raise UsageError("password_file", path, "line %d holds a damaged hash (make one with quarrin serve "
                                                    "--hash-password)" % number)
        users[user] = secret
    if not users:
        raise UsageError("password_file", path, "holds no user:password line")
    return users


def _strength(stored):
    """(N, r, p) of a hash, or None."""
    if not stored.startswith("scrypt$") or not _well_formed(stored):
        return None
    return tuple(int(x) for x in stored.split("$")[1:4])


def _cost(strength):
    n, r, p = strength
    return n * r * p


def _well_formed(stored):
    parts = stored.split("$")
    try:
        return len(parts) == 6 and all(int(x) > 0 for x in parts[1:4]) and base64.b64decode(parts[4], validate=True) \
            and base64.b64decode(parts[5], validate=True)
    except (ValueError, binascii.Error):
        return False


class Logins:
    """The logins of one server: checks them (slowly: call `login` off the event loop only through
    `attempt`), signs and reads session cookies, and slows down wrong tries."""

    def __init__(self, users, *, clock=time.monotonic, sleep=asyncio.sleep):
        self.users = users
        self.key = secrets.token_bytes(32)
        # The stand-in is as strong as the strongest hash: nobody's try costs less than another's.
        self._dummy = hash_password(secrets.token_hex(8))
        for n, r, p in sorted({x for x in map(_strength, users.values()) if x is not None}, key=_cost, reverse=True):
            if _cost((n, r, p)) <= _cost(SCRYPT):
                break
            try:
                self._dummy = hash_password(secrets.token_hex(8), n=n, r=r, p=p)
                break
            except ValueError:   # more memory than a check may take: that user's logins fail anyway
                continue
        self._clock, self._sleep = clock, sleep
        self._failures = {}   # neighbourhood -> (count, time of the last)
        self._locks = {}      # neighbourhood -> asyncio.Lock: one try at a time from each
        self._tokens, self._tokens_at = float(TOTAL_BURST), clock()   # wrong tries left to all together
        self._basic = {}      # HMAC of a verified Authorization header -> when it stops being trusted

    # Passwords.
    def check(self, user, password):
        """Blocking (scrypt): whether the login is right. The same work whoever is named."""
        stored = self.users.get(user)
        if stored is None or not stored.startswith("scrypt$"):
            check_password(password, self._dummy)
        return stored is not None and check_password(password, stored)

    async def attempt(self, address, user, password):
        """Checks a login from `address`, first waiting out the delay its neighbourhood's earlier
        failures earned, then its turn among all tries; TooManyLogins when that turn is too far."""
        near = neighbourhood(address)
        lock = self._locks.get(near)
        if lock is None:
            if len(self._locks) > _KEPT:
                self._locks = {a: k for a, k in self._locks.items() if k.locked()}
            lock = self._locks[near] = asyncio.Lock()
        async with lock:
            count, last = self._failures.get(near, (0, 0.0))
            now = self._clock()
            if count and now - last > FORGET_FAILURES:
                count = 0
            if count:
                await self._sleep(max(0.0, min(MAX_DELAY, FIRST_DELAY * 2 ** (count - 1)) - (now - last)))
            await self._turn()
            began = self._clock()
            right = await asyncio.get_running_loop().run_in_executor(None, self.check, user, password)
            if right:
                self._failures.pop(near, None)
                self._tokens = min(float(TOTAL_BURST), self._tokens + 1.0)   # a right login costs nobody a try
                return True
            took = self._clock() - began
            await self._sleep(WRONG_SECONDS * max(1, math.ceil(took / WRONG_SECONDS)) - took)
            if len(self._failures) > _KEPT:
                cutoff = self._clock() - FORGET_FAILURES
                self._failures = {a: v for a, v in self._failures.items() if v[1] > cutoff}
            self._failures[near] = (count + 1, self._clock())
            return False

    async def _turn(self):
        """Waits for a try's turn among all of them (a token of `TOTAL_BURST`, given back by a
        right login), or raises TooManyLogins."""
        now = self._clock()
        self._tokens = min(float(TOTAL_BURST), self._tokens + (now - self._tokens_at) / TOTAL_EVERY)
        self._tokens_at = now
        wait = (1.0 - self._tokens) * TOTAL_EVERY if self._tokens < 1.0 else 0.0
        if wait > TOTAL_WAIT:
            raise TooManyLogins(wait)
        self._tokens -= 1.0   # taken now, so that tries waiting side by side queue one after another
        if wait:
            await self._sleep(wait)

    # Session cookies.
    def _sign(self, text):
        return hmac.new(self.key, text.encode("utf-8"), hashlib.sha256).hexdigest()

    def session(self, user):
        """A cookie value for `user`, valid for SESSION_SECONDS."""
        body = base64.urlsafe_b64encode(("%d:%s" % (int(time.time()) + SESSION_SECONDS, user)).encode("utf-8"))
        text = body.decode("ascii").rstrip("=")   # a cookie value without quotes
        return text + "." + self._sign(text)

    def session_user(self, value):
        """The user of a cookie value this server signed and that has not expired, or None."""
        if not value or "." not in value:
            return None
        text, _, signature = value.rpartition(".")
        if not hmac.compare_digest(signature.encode("ascii", "replace"), self._sign(text).encode("ascii")):
            return None
        try:
            padded = text + "=" * (-len(text) % 4)
            expires, _, user = base64.urlsafe_b64decode(padded.encode("ascii")).decode("utf-8").partition(":")
            if int(expires) < time.time():
                return None
        except (ValueError, binascii.Error):
            return None
        return user if user in self.users else None

    # HTTP Basic.
    async def basic_user(self, address, header):
        """The user an ``Authorization: Basic`` header logs in, or None (a wrong one counts as a
        failure of `address`)."""
        scheme, _, credentials = header.partition(" ")
        if scheme.lower() != "basic":
            return None
        mark = hmac.new(self.key, header.encode("utf-8", "replace"), hashlib.sha256).digest()
        try:
            user, sep, password = base64.b64decode(credentials.strip(), validate=True).decode("utf-8").partition(":")
        except (ValueError, binascii.Error):
            user, sep, password = "", "", ""
        if self._basic.get(mark, 0.0) > time.monotonic() and user in self.users:
            return user
        if not sep or not await self.attempt(address, user, password):
            return None
        if len(self._basic) > _KEPT:
            now = time.monotonic()
            self._basic = {m: t for m, t in self._basic.items() if t > now}
        self._basic[mark] = time.monotonic() + BASIC_SECONDS
        return user
