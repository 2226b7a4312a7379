"""Exceptions of the front end (light: imported by ``quarrin`` itself)."""
import re
import typing

# Positional arguments of the command line, shown in capitals there.
_POSITIONAL = {"source": "SOURCE", "output": "OUTPUT", "inputs": "INPUT", "paths": "PATH"}


class UsageError(ValueError):
    """An option or argument that cannot work; raised before anything is opened or written.

    ``option`` is the keyword name (``min_area``; None for a problem of the whole call), ``value``
    what was given, ``reason`` why it is refused. ``str()`` reads ``min_area=-3: must be 0 or
    more``; the command line shows ``--min-area -3: must be 0 or more``.
    """

    # Keywords the command line spells otherwise, and the flags of those a reason names
    # (quarrin.options fills both from its table).
    SPELLED: typing.ClassVar[dict[str, str]] = {}
    FLAGS: typing.ClassVar[dict[str, str]] = {}

    def __init__(self, option: str | None, value: object, reason: str) -> None:
        self.option, self.value, self._reason = option, value, reason
        reason = self.reason
        super().__init__(reason if option is None else "%s=%s: %s" % (option, _show(value), reason))

    @property
    def reason(self) -> str:
        """Why it is refused, other options named by their keyword names."""
        return _NAMED.sub(r"\1", self._reason)

    @property
    def marked_reason(self) -> str:
        """Why it is refused, the options it names still marked (`named`): to be told on in
        another error's message."""
        return self._reason

    def for_command_line(self) -> str:
        reason = _NAMED.sub(lambda m: self.flag(m.group(1)), self._reason)
        if self.option is None:
            return reason
        name = _POSITIONAL.get(self.option) or "--" + self.SPELLED.get(self.option, self.option).replace("_", "-")
        if self.value is True:  # a flag: its name says it all
            return "%s: %s" % (name, reason)
        return "%s %s: %s" % (name, _show(self.value), reason)

    @classmethod
    def flag(cls, option: str) -> str:
        """How the command line spells option `option` (a keyword name)."""
        return cls.FLAGS.get(option) or "--" + cls.SPELLED.get(option, option).replace("_", "-")


def named(option: str) -> str:
    """Option `option` named inside a reason: its keyword name (``motion``), which the command line
    shows as its flag (``--motion``)."""
    return "\x1f%s\x1f" % option


_NAMED = re.compile("\x1f([A-Za-z0-9_]+)\x1f")


class RecordingError(RuntimeError):
    """A recording that could not be done: a source that does not open, a writer that refuses
    the codec, files that could not be created, a frame smaller than the region.

    Options its message names (`named`) read as keyword names in ``str()`` and as flags in
    `for_command_line`, as in a UsageError."""

    def __init__(self, *args: object) -> None:
        self._text: str | None = args[0] if args and isinstance(args[0], str) else None
        if self._text is not None:
            args = (_NAMED.sub(r"\1", self._text),) + args[1:]
        super().__init__(*args)

    def for_command_line(self) -> str:
        if self._text is None:
            return str(self)
        return _NAMED.sub(lambda m: UsageError.flag(m.group(1)), self._text)


def _show(value: object) -> str:
    if isinstance(value, (tuple, list)):
        return ",".join(str(v) for v in value)
    text = str(value)
    return repr(text) if not text or any(c.isspace() for c in text) else text
