"""The notifiers, collected: each is one module of quarrin.listeners that declares its `NOTIFIER`
(a quarrin.listeners.Notifier), and one entry of `MODULES`. The option table takes their rows
from here, the command line their flags from the table, a cameras file their keys and the service
their drain time at a stop; a recording gets the listeners its options ask for."""
import importlib
import os

# The notifiers' modules, in the order their rows come in the option table and their listeners are
# told.
MODULES = ("quarrin.listeners.hooks", "quarrin.listeners.mqtt", "quarrin.listeners.push")


def notifiers():
    """The Notifier of each module of MODULES, in order."""
    return tuple(importlib.import_module(name).NOTIFIER for name in MODULES)


def option_rows(options):
    """Every notifier's rows of the option table (`options`: the quarrin.options module)."""
    return tuple(row for n in notifiers() for row in n.option_rows(options))


def camera_of(opts, output):
    """The camera's name: the recording's own (`name`), else the one its output gives."""
    from quarrin import layout

    return getattr(opts, "name", None) or layout.camera_name(output)


def listeners(opts, output, notify, log=None):
    """The notifying listeners a recording's checked options ask for (none unless one's switch is
    given), for the recording into `output`."""
    camera = camera_of(opts, output)
    return [n.make(opts, camera, notify, log) for n in notifiers() if getattr(opts, n.switch)]


def check_notifier_options(opts):
    """What each notifier's rows cannot tell alone (UsageError)."""
    for n in notifiers():
        if n.check is not None:
            n.check(opts)


def drain(opts):
    """Seconds the notifiers checked options ask for may still need once the recording stops."""
    return sum(float(n.drain(opts)) for n in notifiers() if getattr(opts, n.switch))


def notify_keys():
    """The [notify] table's keys, and the options they give."""
    return {key: name for n in notifiers() for key, name in n.notify_keys.items()}


def camera_keys():
    """A camera's own keys that override the [notify] table's, and the options they give."""
    return {key: name for n in notifiers() for key, name in n.camera_keys.items()}


def notify_options(table, camera_table=None, camera=None, folder=None):
    """The record keywords of a configuration file's ``[notify]`` table (`table`, for every
    camera) as overridden by a camera's own keys (`camera_table`; an empty text for a notifier's
    switch turns the [notify] one off for it), and a list of error lines: ``notify: KEY:
    problem``, or ``cameras.NAME: KEY: problem`` for the camera's (`camera` its name). Keys the
    camera table holds besides these are not looked at. A relative file path is relative to
    `folder` (the file's); each notifier's `table` then looks at the keywords together.
    Returns (keywords, errors)."""
    import difflib

    from quarrin import options
    from quarrin.errors import UsageError

    table_keys, own_keys = notify_keys(), camera_keys()
    errors, wanted = [], {}
    where = "cameras.%s" % camera if camera is not None else "camera"
    if not isinstance(table, dict):
        return {}, ["notify: expected a table of %s" % ", ".join(table_keys)]
    for key, value in table.items():
        if key not in table_keys:
            near = difflib.get_close_matches(key, list(table_keys), 1)
            errors.append("notify: %s: unknown key%s" % (key, "; did you mean %s?" % near[0] if near else ""))
            continue
        name = table_keys[key]
        if options.BY_NAME[name].check is options.file_path and isinstance(value, str) and folder and value:
            value = os.path.join(folder, os.path.expanduser(value))
        wanted[name] = ("notify", key, value)
    for key, name in own_keys.items():
        if camera_table and key in camera_table:
            wanted[name] = (where, key, camera_table[key])
    switches = {n.switch for n in notifiers()}
    keywords = {}
    for name, (place, key, value) in wanted.items():
        if value == "" and name in switches:
            continue  # turned off for this camera
        try:
            keywords[name] = options.BY_NAME[name].check(name, value)
        except UsageError as exc:
            if isinstance(value, (list, tuple)):   # the item refused, as the check shows it (masked)
                value = exc.value
            shown = options.shown_source(value) if isinstance(value, str) else value
            errors.append("%s: %s: %s (%s)" % (place, key, exc.reason, shown))
    for n in notifiers():
        said = n.table(keywords) if n.table is not None else None
        if said:
            errors.append("notify: %s" % said)
    return keywords, errors
