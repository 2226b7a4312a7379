"""Who may look: the password file, the login form's session cookie and HTTP Basic.

A password file holds one ``user:password`` or ``user:HASH`` a line (blank lines and lines
starting with ``#`` are skipped); HASH is what ``quarrin serve --hash-password`` prints: scrypt
with a random salt, ``scrypt$N$r$p$SALT$KEY`` (base64). Passwords are compared in constant time,
and a user that does not exist costs the same scrypt as one that does.

A login sets a session cookie (HttpOnly, SameSite=Lax, Secure over HTTPS) signed with HMAC under a
key made at start-up: a restart logs everyone out. API clients may send HTTP Basic instead; a
verified Basic header is remembered for a while (by its HMAC) so that each request does not pay
scrypt again. Wrong logins are slowed down per client address: each failure doubles the wait
before that address's next try is looked at, up to `MAX_DELAY`. Nothing here logs a password.
"""
import asyncio
import base64
import binascii
import hashlib
import hmac
import os
import secrets
import time

from quarrin.errors import UsageError

COOKIE = "quarrin_session"
SESSION_SECONDS = 7 * 24 * 3600
SCRYPT = (1 << 14, 8, 1)          # N, r, p
FIRST_DELAY, MAX_DELAY = 0.5, 8.0  # seconds: the wait after a first wrong login, and the most
FORGET_FAILURES = 900.0            # seconds without a failure after which an address starts afresh
BASIC_SECONDS = 600.0              # how long a verified Basic header is trusted
_KEPT = 1000                       # addresses, and Basic headers, remembered at most


def hash_password(password, salt=None):
    """``scrypt$N$r$p$SALT$KEY`` for a password."""
    n, r, p = SCRYPT
    salt = salt if salt is not None else os.urandom(16)
    key = hashlib.scrypt(password.encode("utf-8"), salt=salt, n=n, r=r, p=p, dklen=32)
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


def _well_formed(stored):
    parts = stored.split("$")
    try:
        return len(parts) == 6 and all(int(x) > 0 for x in parts[1:4]) and base64.b64decode(parts[4], validate=True) \
            and base64.b64decode(parts[5], validate=True)
    except (ValueError, binascii.Error):
        return False


class Guard:
    """The logins of one server: checks them (slowly: call `login` off the event loop only through
    `attempt`), signs and reads session cookies, and slows down wrong tries."""

    def __init__(self, users):
        self.users = users
        self.key = secrets.token_bytes(32)
        self._dummy = hash_password(secrets.token_hex(8))
        self._failures = {}   # address -> (count, time of the last)
        self._locks = {}      # address -> asyncio.Lock: one try at a time per address
        self._basic = {}      # HMAC of a verified Authorization header -> when it stops being trusted

    # Passwords.
    def check(self, user, password):
        """Blocking (scrypt): whether the login is right."""
        stored = self.users.get(user)
        right = check_password(password, stored if stored is not None else self._dummy)
        return right and stored is not None

    async def attempt(self, address, user, password):
        """Checks a login from `address`, first waiting out the delay its earlier failures earned."""
        lock = self._locks.get(address)
        if lock is None:
            if len(self._locks) > _KEPT:
                self._locks = {a: k for a, k in self._locks.items() if k.locked()}
            lock = self._locks[address] = asyncio.Lock()
        async with lock:
            count, last = self._failures.get(address, (0, 0.0))
            now = time.monotonic()
            if count and now - last > FORGET_FAILURES:
                count = 0
            if count:
                await asyncio.sleep(max(0.0, min(MAX_DELAY, FIRST_DELAY * 2 ** (count - 1)) - (now - last)))
            right = await asyncio.get_running_loop().run_in_executor(None, self.check, user, password)
            if right:
                self._failures.pop(address, None)
            else:
                if len(self._failures) > _KEPT:
                    cutoff = time.monotonic() - FORGET_FAILURES
                    self._failures = {a: v for a, v in self._failures.items() if v[1] > cutoff}
                self._failures[address] = (count + 1, time.monotonic())
            return right

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
