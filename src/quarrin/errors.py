"""Exceptions of the front end (light: imported by ``quarrin`` itself)."""

# Positional arguments of the command line, shown in capitals there.
_POSITIONAL = {"source": "SOURCE", "output": "OUTPUT", "inputs": "INPUT", "paths": "PATH"}


class UsageError(ValueError):
    """An option or argument that cannot work; raised before anything is opened or written.

    ``option`` is the keyword name (``min_area``; None for a problem of the whole call), ``value``
    what was given, ``reason`` why it is refused. ``str()`` reads ``min_area=-3: must be 0 or
    more``; the command line shows ``--min-area -3: must be 0 or more``.
    """

    # Keywords the command line spells otherwise (quarrin.options fills it from its table).
    SPELLED = {}

    def __init__(self, option, value, reason):
        self.option, self.value, self.reason = option, value, reason
        super().__init__(reason if option is None else "%s=%s: %s" % (option, _show(value), reason))

    def for_command_line(self):
        if self.option is None:
            return self.reason
        name = _POSITIONAL.get(self.option) or "--" + self.SPELLED.get(self.option, self.option).replace("_", "-")
        if self.value is True:  # a flag: its name says it all
            return "%s: %s" % (name, self.reason)
        return "%s %s: %s" % (name, _show(self.value), self.reason)


class RecordingError(RuntimeError):
    """A recording that could not be done: a source that does not open, a writer that refuses
    the codec, files that could not be created, a frame smaller than the region."""


def _show(value):
    if isinstance(value, (tuple, list)):
        return ",".join(str(v) for v in value)
    text = str(value)
    return repr(text) if not text or any(c.isspace() for c in text) else text
