"""The quarrin command: ``quarrin record``, ``batch``, ``scan``, ``check``, ``events``, ``export`` and
``serve``.

Exit status: 0 done, 1 the work failed (the message says why), 2 the command line is wrong
(nothing was written), 130 stopped by Ctrl-C, 143 stopped by SIGTERM (a service stop, `timeout`,
`kill`): files finalised, summary and report written.
"""
import argparse
import dataclasses
import os
import re
import signal
import sys

from quarrin.errors import RecordingError, UsageError

DESCRIPTION = "Record a camera or re-encode video files, keeping a region, the frames that move or one " \
              "frame per interval, with a timestamps CSV beside every video."


class Parser(argparse.ArgumentParser):
    def parse_args(self, args=None, namespace=None):
        # Words no parser took are refused here, by the top parser, with the nearest option of the
        # command that was given (argparse itself would only list them).
        ns, extras = self.parse_known_args(args, namespace)
        if extras:
            self._refuse("unrecognized arguments: %s" % " ".join(extras), self._nearest_option(ns, extras))
        return ns

    def _nearest_option(self, ns, extras):
        parser = self
        for action in self._actions:
            if isinstance(action, argparse._SubParsersAction) and getattr(ns, action.dest, None):
                parser = action.choices.get(getattr(ns, action.dest), self)
        known = [o for a in parser._actions for o in a.option_strings if o.startswith("--")]
        for word in extras:
            if word.startswith("--"):
                near = _near(word.split("=", 1)[0], known)
                if near:
                    return "; did you mean %s?" % near
        return ""

    def error(self, message):
        # A mistyped command: the nearest one.
        hint = ""
        wrong = re.search(r"invalid choice: '([^']*)'", message)
        if wrong:
            near = _near(wrong.group(1), [c for a in self._actions if a.choices for c in a.choices])
            hint = "; did you mean %s?" % near if near else ""
        self._refuse(message, hint)

    def _refuse(self, message, hint=""):
        # argparse repeats what it refused ("unrecognized arguments: --mqt mqtt://u:pw@host"): no password.
        raise _Usage(re.sub(r"\S+://\S+", lambda m: _masked(m.group()), message) + hint)


# The schemes of sources and brokers, whose URLs keep their secrets in the user part and the query;
# any other (a notification service's) may hold a token anywhere.
_URL_SCHEMES = ("http", "https", "rtsp", "rtsps", "rtmp", "rtmps", "mqtt", "mqtts", "file", "udp", "tcp", "srt")


def _masked(url):
    from quarrin.options import shown_source

    if url.split("://", 1)[0].lower() in _URL_SCHEMES:
        return shown_source(url)
    from quarrin.listeners.push import shown

    return shown(url)


def _near(word, known):
    """The known name nearest to a mistyped one, or None (as a config file's keys are told)."""
    import difflib

    close = difflib.get_close_matches(word, sorted(set(known)), n=1, cutoff=0.6)
    return close[0] if close else None


class _Version(argparse.Action):
    """--version: the installed distribution's version, read only when asked for."""

    def __init__(self, option_strings, dest=argparse.SUPPRESS, default=argparse.SUPPRESS, help=None):
        super().__init__(option_strings, dest=dest, default=default, nargs=0, help=help)

    def __call__(self, parser, namespace, values, option_string=None):
        from importlib import metadata

        try:
            version = metadata.version("quarrin")
        except metadata.PackageNotFoundError:   # run from a source tree that was never installed
            version = "unknown (not installed)"
        print("quarrin %s" % version)
        parser.exit()


class _Usage(Exception):
    pass


def build_parser():
    parser = Parser(prog="quarrin", description=DESCRIPTION)
    parser.add_argument("--version", action=_Version, help="print quarrin's version and exit")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=Parser)

    rec = commands.add_parser(
        "record", help="record a camera or re-encode one video file",
        description="Record camera SOURCE (0, 1, ...), a live SOURCE (a URL or a device path) or re-encode "
                    "video file SOURCE into OUTPUT. Prints one line per file written and a total.")
    rec.add_argument("source", metavar="SOURCE", help="camera index (0, 1, ...), rtsp://, rtsps://, http:// or "
                     "https:// URL, device path (/dev/video0) or video file")
    rec.add_argument("output", metavar="OUTPUT", help="output video (its folder is created); numbered "
                     "segments are named OUTPUT_000.ext, ... and each video gets a CSV, e.g. clip.avi.csv; "
                     "strftime fields (%%Y-%%m-%%d/door-%%H%%M%%S.mp4) are expanded as each segment opens")
    _record_options(rec, batch=False)

    bat = commands.add_parser(
        "batch", help="re-encode many video files, several at once",
        description="Record every INPUT file, and every video in an INPUT folder (not recursively), into "
                    "DIR/<name><ext>, several at once. A failing input is reported; the others still run.")
    bat.add_argument("inputs", nargs="+", metavar="INPUT", help="video file or folder of videos")
    bat.add_argument("--out", required=True, metavar="DIR", help="folder for the outputs (created; required)")
    bat.add_argument("--jobs", metavar="N", help="recordings at once, each in its own process "
                     "(default: the number of CPUs, %d here)" % (os.cpu_count() or 1))
    bat.add_argument("--report", metavar="FILE", help="one row per input, CSV or .json "
                     "(default: DIR/report.csv)")
    bat.add_argument("--plot", metavar="FILE", help="timeline PNG of the saved frames, one row per input "
                     "(default: none)")
    bat.add_argument("--dask", metavar="ADDRESS", help="run on the Dask cluster at ADDRESS instead of local "
                     "processes; needs quarrin[dask] (default: local)")
    _record_options(bat, batch=True)

    scn = commands.add_parser(
        "scan", help="find the motion events in video files, writing no video",
        description="Find the motion events of every INPUT file, and every video in an INPUT folder (not "
                    "recursively): decode and detect only. Prints each input's events and writes one event "
                    "list.")
    scn.add_argument("inputs", nargs="+", metavar="INPUT", help="video file or folder of videos")
    scn.add_argument("--report", metavar="FILE", help="the event list, one row per event with its input (and one "
                     "for an input that failed or warns, when it has none), CSV or .json; an existing one is kept "
                     "and a numbered name used (default: scan-events.csv)")
    scn.add_argument("--snapshots", metavar="DIR", help="write a picture of each event, its frame with the largest "
                     "motion, boxed in --box-colour, as DIR/<input's name>/0001.jpg, ... (default: none)")
    scn.add_argument("--jobs", metavar="N", help="inputs at once, each in its own process "
                     "(default: the number of CPUs, %d here)" % (os.cpu_count() or 1))
    _record_options(scn, batch=True, scan=True)

    chk = commands.add_parser(
        "check", help="verify recorded videos against their timestamps CSVs; repair what a cut-off left",
        description="Verify every video among PATH and under PATH folders (recursively) against its timestamps "
                    "CSV: the frames it decodes to against the CSV's rows, rows well formed, output frame numbers "
                    "0..n-1. Prints one line per video; exits 1 if any is damaged. Run it after a power cut.")
    chk.add_argument("paths", nargs="+", metavar="PATH", help="video file, its CSV, or folder")
    chk.add_argument("--repair", action="store_true", help="trim a CSV's damaged tail to the frames its video holds "
                     "and rebuild a missing AVI index (needs PyAV: quarrin[h264]); the originals are kept as *.orig "
                     "(default: off)")
    chk.add_argument("-q", "--quiet", action="store_true", help="print only damaged videos and the total "
                     "(default: off)")
    chk.add_argument("--debug", action="store_true", help="show the traceback of an unexpected error "
                     "(default: off)")

    evs = commands.add_parser(
        "events", help="list the motion events recorded under folders, by camera and time",
        description="List the events of every event list (*.events.csv) among PATH and under PATH folders "
                    "(recursively) that overlap the window, oldest first, one line each: start, camera, seconds, "
                    "peak area, the object's label and score when it has one, video. An index kept in "
                    "PATH/.quarrin/index.sqlite makes later queries fast; each "
                    "query brings it up to date from the files, and rebuilds it from them when it is missing or "
                    "damaged. TIME is ISO 8601 (2026-12-08T06:00), a day (2026-12-08), today or yesterday.")
    evs.add_argument("paths", nargs="+", metavar="PATH", help="folder of recordings, or an event list")
    evs.add_argument("--camera", metavar="NAME", help="only this camera's events: the list's camera column, else "
                     "its name without times and numbers (door for door-101500.events.csv) (default: all)")
    evs.add_argument("--since", metavar="TIME", help="only events that end at TIME or later; a day: from its start "
                     "(default: no bound)")
    evs.add_argument("--until", metavar="TIME", help="only events that begin at TIME or earlier; a day: to its end "
                     "(default: no bound)")
    evs.add_argument("--label", metavar="LABEL", help="only events whose object is a LABEL (person, car, ...): the "
                     "label of their best detection (default: any, and events without objects)")
    evs.add_argument("--zone", metavar="NAME", help="only events that entered the zone NAME (default: any)")
    form = evs.add_mutually_exclusive_group()
    form.add_argument("--json", action="store_true", help="print a JSON list: the event list's columns and input, "
                      "the list's path (default: lines)")
    form.add_argument("--csv", action="store_true", help="print CSV with the same columns (default: lines)")
    evs.add_argument("--limit", metavar="N", help="only the N most recent events, still oldest first "
                     "(default: all)")
    evs.add_argument("--index", metavar="FILE", help="keep the index in FILE, for all PATHs; nothing is created "
                     "under them (default: PATH/.quarrin/index.sqlite)")
    evs.add_argument("--debug", action="store_true", help="show the traceback of an unexpected error "
                     "(default: off)")

    exp = commands.add_parser(
        "export", help="write one camera's recordings between two times, or one event, as a clip a phone plays",
        description="Write the frames of camera NAME from --since to --until (or those of event ID, its before- "
                    "and after-time included) recorded under PATH folders into OUTPUT (.mp4 or .mkv, H.264): "
                    "joined across segments, at the times their CSVs give. H.264 recordings are copied "
                    "without re-encoding from the keyframe before the first frame; others are encoded once. "
                    "Needs PyAV (quarrin[h264]). TIME is read as quarrin events reads it.")
    exp.add_argument("paths", nargs="+", metavar="PATH", help="folder of recordings, or an event list")
    exp.add_argument("output", metavar="OUTPUT", help="the clip, .mp4 or .mkv (its folder is created)")
    exp.add_argument("--camera", metavar="NAME", help="the camera, as quarrin events names it (with --since and "
                     "--until)")
    exp.add_argument("--since", metavar="TIME", help="from TIME; a day: from its start")
    exp.add_argument("--until", metavar="TIME", help="to TIME; a day: to its end")
    exp.add_argument("--event", metavar="ID", help="the event of this id (the web view's, /api/events) instead of "
                     "--camera, --since and --until")
    exp.add_argument("--force", action="store_true", help="replace OUTPUT when it exists (default: refused)")
    exp.add_argument("--index", metavar="FILE", help="keep the index in FILE, for all PATHs (default: "
                     "PATH/.quarrin/index.sqlite)")
    exp.add_argument("-q", "--quiet", action="store_true", help="no progress bar (default: a bar on a terminal)")
    exp.add_argument("--debug", action="store_true", help="show the traceback of an unexpected error "
                     "(default: off)")

    srv = commands.add_parser(
        "serve", help="show the cameras, events and recordings under folders in a web browser",
        description="Serve a web view of the recordings under PATH folders (as quarrin events finds them): the "
                    "cameras, the latest events as pictures, clips that play in place, a timeline of each day, and "
                    "a JSON API; until Ctrl-C or SIGTERM. Needs the web extra: pip install 'quarrin[web]'. Only a "
                    "loopback address is served without --password-file.")
    srv.add_argument("paths", nargs="*", metavar="PATH", help="folder of recordings")
    srv.add_argument("--listen", metavar="HOST:PORT", default=None, help="address and port to serve on; any "
                     "other than a loopback address (127.0.0.1, [::1], localhost) needs --password-file "
                     "(default: 127.0.0.1:8080)")
    srv.add_argument("--password-file", metavar="FILE", help="a login is needed for everything: FILE holds "
                     "user:password or user:HASH lines (default: none, open to whoever reaches the address)")
    srv.add_argument("--hash-password", action="store_true", help="read a password on standard input, print its "
                     "HASH for --password-file and exit (default: off)")
    srv.add_argument("--tls-cert", metavar="FILE", help="serve HTTPS with this certificate (PEM; with "
                     "--tls-key) (default: HTTP)")
    srv.add_argument("--tls-key", metavar="FILE", help="the certificate's private key (PEM) (default: none)")
    srv.add_argument("--index", metavar="FILE", help="keep the index in FILE, for all PATHs (default: "
                     "PATH/.quarrin/index.sqlite)")
    srv.add_argument("--config", metavar="FILE", help="also record the cameras of FILE (TOML: [defaults], "
                     "[cameras.NAME] with source, output and record options by keyword name, [web], [notify]), each "
                     "in a process of its own, restarted when it fails; SIGHUP reads FILE again (default: none)")
    srv.add_argument("--check", action="store_true", help="with --config: only check FILE and print each camera's "
                     "resolved options (default: off)")
    srv.add_argument("--debug", action="store_true", help="show the traceback of an unexpected error "
                     "(default: off)")
    return parser


def _record_options(p, batch, scan=False):
    """The options of the table (quarrin.options.OPTIONS), in their groups; in batch, those not
    available there are hidden (and refused when given); a scan has only its own."""
    from quarrin import options

    groups = {}
    exclusive = {}
    for o in options.OPTIONS:
        if scan and not o.scan:
            continue
        group = groups.get(o.group)
        if group is None:
            group = groups[o.group] = p if o.group == "output" else p.add_argument_group(options.GROUPS[o.group])
        target = group
        pair = options.PAIRED.get(o.name)
        if pair is not None:  # one way of selecting frames; one kind of writer
            target = exclusive.get(pair) or exclusive.setdefault(pair, group.add_mutually_exclusive_group())
        names = ([o.short] if o.short else []) + [o.flag]
        helptext = argparse.SUPPRESS if batch and not o.batch else o.help_text(scan)
        if o.is_flag:
            action = "store_false" if o.negated else "store_true"
            target.add_argument(*names, dest=o.name, action=action, default=None, help=helptext)
        elif o.bare is not None:
            target.add_argument(*names, dest=o.name, metavar=o.metavar, nargs="?", const=o.bare, help=helptext)
        elif o.repeat:
            target.add_argument(*names, dest=o.name, metavar=o.metavar, action="append", help=helptext)
        else:
            target.add_argument(*names, dest=o.name, metavar=o.metavar, help=helptext)
    run = groups["running"]
    talk = run.add_mutually_exclusive_group()
    talk.add_argument("-q", "--quiet", action="store_true",
                      help="print only %s the total line (default: off)"
                      % ("failed inputs and" if batch else "errors and"))
    talk.add_argument("-v", "--verbose", action="store_true",
                      help="also print the recorder's own lines (default: off)")
    run.add_argument("--debug", action="store_true", help="show the traceback of an unexpected error "
                     "(default: off)")


# A SIGTERM seen by this command: it then ends as a Ctrl-C does, with status 143.
_terminated = [False]
INTERRUPTED, TERMINATED = 130, 128 + signal.SIGTERM


def _on_sigterm(signum, frame):
    """SIGTERM stops the work as Ctrl-C does. While a recording runs, the recorder calls this
    between two frames only."""
    _terminated[0] = True
    raise KeyboardInterrupt


def _stopped(after=""):
    """Says that a Ctrl-C or SIGTERM stopped the work (`after` adds what became of the files), and
    returns the exit status for it."""
    print("quarrin: %s%s" % ("terminated" if _terminated[0] else "interrupted", after), file=sys.stderr)
    return TERMINATED if _terminated[0] else INTERRUPTED


def run():
    """The command's entry: main(), then the exit. A Ctrl-C or SIGTERM may have left a live
    source's open or read blocked inside OpenCV on a thread of its own; Python cannot finalise
    safely before it returns (up to --stall or --open-timeout), so the command then ends at once,
    its files already complete."""
    status = main()
    from quarrin import sources

    if sources.calls_left():
        for stream in (sys.stdout, sys.stderr):
            try:
                stream.flush()
            except (OSError, ValueError, AttributeError):
                pass
        os._exit(status)
    return status


def main(argv=None):
    _terminated[0] = False
    try:
        previous = signal.signal(signal.SIGTERM, _on_sigterm)
    except ValueError:  # not the main thread: leave SIGTERM alone
        previous = None
    try:
        return _main(argv)
    finally:
        if previous is not None:
            signal.signal(signal.SIGTERM, previous)


def _main(argv):
    from quarrin import nativelog

    parser = build_parser()
    debug = False
    try:
        ns = parser.parse_args(argv)
        debug = ns.debug if ns.command else False
        if ns.command == "serve":   # runs for days: nothing captured that no one would read
            return _serve(ns)
        # OpenCV's and FFmpeg's own lines stay off the terminal (the bars and messages do not).
        with nativelog.Capture() as native:
            if ns.command == "record":
                return _record(ns, native)
            if ns.command == "batch":
                return _batch(ns)
            if ns.command == "scan":
                return _scan(ns)
            if ns.command == "check":
                return _check(ns)
            if ns.command == "events":
                return _events(ns)
            if ns.command == "export":
                return _export(ns)
        raise _Usage("choose a command: record, batch, scan, check, events, export or serve (see quarrin --help)")
    except _Usage as exc:
        return _fail(str(exc), 2)
    except UsageError as exc:
        return _fail(exc.for_command_line(), 2)
    except RecordingError as exc:
        if debug:
            raise
        return _fail(exc.for_command_line(), 1)
    except KeyboardInterrupt:
        return _stopped()
    except Exception as exc:
        if debug:
            raise
        text = str(exc).strip().splitlines()
        return _fail("%s%s" % (type(exc).__name__, ": " + text[-1] if text else ""), 1)


def _fail(message, status):
    print("quarrin: error: %s" % " ".join(message.split("\n")), file=sys.stderr)
    return status


def _options(ns, scan=False):
    from quarrin import options

    names = options.IN_SCAN if scan else options.FIELDS
    return {name: getattr(ns, name) for name in names if getattr(ns, name, None) is not None}


def _record(ns, native=None):
    from quarrin import options, progress, recording

    if ns.verbose and native is not None:
        native.echo = _print_line
    plan = recording.prepare(ns.source, ns.output, options.check_record_options(**_options(ns)))
    for note in plan.notes:   # before the bar, and shown with -q as well
        _warn(note)
    plan = dataclasses.replace(plan, notes=())
    bar, log = None, None
    if progress.wanted():
        bar = progress.RecordBar(plan)
    writer = progress.LineWriter(sys.stdout, bar)
    if ns.verbose:
        log = writer.line
    # A signal lost or back, a segment removed for the disk budget: shown unless -q.
    notify = _drop if ns.quiet else writer.line
    try:
        result = recording.run(plan, progress=bar, log=log, notify=notify, listeners=[bar] if bar else ())
    finally:
        if bar is not None:
            bar.close()
    # The files are complete: a second Ctrl-C now does not keep the summary from being printed.
    with recording.stops_deferred() as stops:
        lines = list(summary(result))
        for line in lines[-1:] if ns.quiet else lines:
            print(line)
        if result.warning:
            print("quarrin: warning: %s" % result.warning, file=sys.stderr)
        if native is not None and native.count and not ns.verbose and not ns.quiet:
            print("quarrin: %s" % hidden_lines(native.count), file=sys.stderr)
    if result.stopped == "interrupt" or stops:
        return _stopped("; the files above are complete")
    if result.stopped == "lost":
        lost = result.gaps[-1][0].isoformat() if result.gaps else "?"
        return _fail("%s lost at %s, not back after %g s" % (plan.source, lost, plan.reconnect), 1)
    return 0


def _drop(line):
    pass


def _print_line(line):
    print(line, flush=True)


def hidden_lines(count):
    return "%d line%s of OpenCV's and FFmpeg's own log not shown (-v shows them)" % (count, "" if count == 1 else "s")


def summary(result):
    width = max((len(s.video) for s in result.segments), default=0)
    for s in result.segments:
        span = "%s .. %s" % (s.first.isoformat(), s.last.isoformat()) if s.frames else "no frame"
        if s.removed:
            span = "removed (disk budget)"
        yield "%-*s  %6d frames  %s" % (width, s.video, s.frames, span)
    for e in result.events:
        yield event_line(e)
    if result.events_file:
        yield "Events listed in %s" % result.events_file
    events = len(result.events) if result.events_file else None
    yield total_line(result.frames_saved, result.frames_read, result.files, result.seconds, events, result.dropped)


def event_line(e, file=True):
    found = found_text(e)
    return "Event %d: %s .. %s  (%.1f s, %d frame%s, peak %d px%s)%s" % (
        e.event, e.start.isoformat(), e.end.isoformat(), e.seconds, e.frames, "" if e.frames == 1 else "s",
        round(e.peak_area), ", " + found if found else "",
        " in %s" % e.file if file and e.file else "")


def found_text(e):
    """What a detector found of an event, as a line shows it: `person 0.87 in driveway;gate`
    ("" when nothing)."""
    text = e.label
    if e.label and e.score is not None:
        text += " %.2f" % e.score
    if e.zones:
        text += (" in " if text else "in ") + ";".join(e.zones)
    return text


def total_line(saved, read, files, seconds, events=None, dropped=()):
    """`Saved S of R frames in F files (T s, N frames/s)`; a motion recording also says how many
    events it found, and those its detector or zones dropped:
    `... in F files, E events, D without objects dropped (...)`."""
    rate = read / seconds if seconds > 0 else 0.0
    counted = "" if events is None else ", %d event%s" % (events, "" if events == 1 else "s") + dropped_text(dropped)
    return "Saved %d of %d frames in %d file%s%s (%.1f s, %.0f frames/s)" % (
        saved, read, files, "" if files == 1 else "s", counted, seconds, rate)


def dropped_text(dropped):
    """`, 5 without objects dropped` for the events dropped by reason (quarrin.RecordResult.dropped)."""
    return "".join(", %d %s dropped" % (n, why) for why, n in dropped)


def _batch(ns):
    import contextlib
    import time

    from quarrin import batching as batch, progress

    opts = _options(ns)
    report = ns.report if ns.report is not None else os.path.join(ns.out, "report.csv")
    # Everything is checked before a cluster is reached or a bar drawn.
    checked, *_, sources = batch.check_batch(ns.inputs, ns.out, ns.jobs, None, report, ns.plot, opts)
    from quarrin import writers

    note = writers.without_pyav(batch.output_names(sources, ns.out, writers.h264_asked(checked) is not None), checked)
    if note:
        _warn(note)
    bars = None
    out = sys.stdout

    def on_item(item):
        if ns.quiet and item.status == "ok":
            return
        r = item.result
        if r is None:
            line = "%-7s %s: %s" % (item.status, item.input, item.error)
        else:
            line = "%-7s %s: saved %d of %d frames in %d file%s%s (%.1f s)" % (
                item.status, item.input, r.frames_saved, r.frames_read, r.files, "" if r.files == 1 else "s",
                ", %d event%s%s" % (len(r.events), "" if len(r.events) == 1 else "s", dropped_text(r.dropped))
                if r.events_file else "", item.seconds)
        lines = [line] + (["        warning: %s" % r.warning] if r is not None and r.warning else [])
        for line in lines:
            if bars is not None:
                from tqdm import tqdm

                tqdm.write(line, file=out)
            else:
                print(line, file=out, flush=True)

    written = [report]
    started = time.perf_counter()
    with contextlib.ExitStack() as stack:
        executor = stack.enter_context(batch.dask_executor(ns.dask)) if ns.dask else None
        listeners = None
        if progress.wanted():
            bars = progress.BatchBars(sources)
            stack.callback(bars.close)
            listeners = bars
        items = batch.run(ns.inputs, ns.out, jobs=ns.jobs, executor=executor, report=report, plot=ns.plot,
                          progress=listeners, on_item=on_item, on_report=lambda path: written.__setitem__(0, path),
                          **opts)
    seconds = time.perf_counter() - started
    done = [i for i in items if i.result]
    read = sum(i.result.frames_read for i in done)
    saved = sum(i.result.frames_saved for i in done)
    files = sum(i.result.files for i in done)
    failed = sum(i.status == "failed" for i in items)
    print("%d input%s: %d ok, %d failed%s" % (
        len(items), "" if len(items) == 1 else "s", sum(i.status == "ok" for i in items), failed,
        "".join(", %d %s" % (n, s) for s, n in _count(items, ("interrupted", "cancelled")) if n)))
    events = sum(len(i.events) for i in done) if ns.motion else None
    print(total_line(saved, read, files, seconds, events))
    print("Report: %s" % written[0])
    if ns.plot:
        print("Plot: %s" % ns.plot)
    if any(i.status in ("interrupted", "cancelled") for i in items):
        return _stopped("; finished files are complete")
    return 1 if failed else 0


def _scan(ns):
    import time

    from quarrin import batching, progress

    opts = _options(ns, scan=True)
    report = ns.report if ns.report is not None else "scan-events.csv"
    batching.check_batch(ns.inputs, None, ns.jobs, None, report, None, opts, scan=True)
    bars = progress.BatchBars(batching.collect_inputs(ns.inputs)) if progress.wanted() else None

    def on_item(item):
        lines = []
        if item.result is None:
            lines.append("%-7s %s: %s" % (item.status, item.input, item.error))
        else:
            n = len(item.events)
            lines.append("%s: %d event%s%s in %d frames%s" % (item.input, n, "" if n == 1 else "s",
                                                            dropped_text(item.result.dropped), item.result.frames_read,
                                                            "" if item.status == "ok" else " (%s)" % item.status))
            if not ns.quiet:
                lines.extend("  " + event_line(e, file=False) for e in item.events)
        shown = [(line, sys.stdout) for line in lines]
        if item.result is not None and item.result.warning:  # as record warns, on stderr
            shown.append(("quarrin: warning: %s" % item.result.warning, sys.stderr))
        for line, stream in shown:
            if bars is not None:
                from tqdm import tqdm

                tqdm.write(line, file=stream)
            else:
                print(line, file=stream, flush=True)

    started = time.perf_counter()
    try:
        items, written = batching.scan(ns.inputs, jobs=ns.jobs, report=report, progress=bars, on_item=on_item,
                                       snapshots=ns.snapshots, **opts)
    finally:
        if bars is not None:
            bars.close()
    seconds = time.perf_counter() - started
    read = sum(i.result.frames_read for i in items if i.result)
    events = sum(len(i.events) for i in items if i.result)
    failed = sum(i.status == "failed" for i in items)
    dropped: dict = {}
    for i in items:
        for why, n in i.result.dropped if i.result else ():
            dropped[why] = dropped.get(why, 0) + n
    print("Scanned %d input%s: %d frames, %d event%s%s%s (%.1f s, %.0f frames/s)" % (
        len(items), "" if len(items) == 1 else "s", read, events, "" if events == 1 else "s",
        dropped_text(dropped.items()), ", %d failed" % failed if failed else "", seconds,
        read / seconds if seconds > 0 else 0))
    print("Report: %s" % written)
    if any(i.status in ("interrupted", "cancelled") for i in items):
        return _stopped()
    return 1 if failed else 0


def _check(ns):
    from quarrin import checking, layout
    from quarrin.listeners import eventlist as events

    for path in ns.paths:
        if not os.path.exists(path):
            raise UsageError("paths", path, "no such file or directory")
    videos = checking.videos_under(ns.paths)
    damaged = skipped = 0
    for video in videos:
        report = checking.repair(video) if ns.repair else checking.check_video(video)
        bad = not report.skipped and (not report.ok or report.unrepaired)
        damaged += bool(bad)
        skipped += bool(report.skipped)
        if bad or report.repaired or report.skipped or not ns.quiet:
            print(report.line(), flush=True)
    # Events open when their recording died: listed from the frames on disk (after the repair above).
    unlisted = 0
    for pending in events.open_events(ns.paths):
        if not events.left_open(pending):
            continue   # its recording still runs
        listing = layout.list_of_open(pending)
        if not ns.repair:
            unlisted += 1
            print("%s: event %s was open when its recording stopped: not listed (--repair lists it)"
                  % (listing, events.pending_number(pending) or "?"), flush=True)
            continue
        try:
            event = events.complete_open(pending)
        except (OSError, ValueError) as exc:
            unlisted += 1
            print("%s: not repaired: %s" % (listing, getattr(exc, "strerror", None) or exc), flush=True)
            continue
        if event is not None:
            print("%s: event %d was open when its recording stopped; listed: %s .. %s (%d frame%s)" % (
                listing, event.event, event.start.isoformat(), event.end.isoformat(), event.frames,
                "" if event.frames == 1 else "s"), flush=True)
    print("Checked %d video%s: %d ok, %d damaged%s%s%s" % (
        len(videos), "" if len(videos) == 1 else "s", len(videos) - damaged - skipped, damaged,
        " (not repaired)" if ns.repair and damaged else "", ", %d skipped" % skipped if skipped else "",
        ", %d event%s not listed" % (unlisted, "" if unlisted == 1 else "s") if unlisted else ""))
    return 1 if damaged or unlisted else 0


def _count(items, statuses):
    return [(s, sum(i.status == s for i in items)) for s in statuses]


def _events(ns):
    import csv
    import json

    from quarrin import index

    # A wrong window or limit is refused before any index is made or written.
    index.query_arguments(ns.since, ns.until, ns.limit)
    wanted = dict(zip(("label", "zone"), index.filters(ns.label, ns.zone)))
    with index.Index(ns.paths, ns.index, warn=_warn) as found:
        if ns.limit is None:
            listed = found.events(ns.camera, ns.since, ns.until, **wanted)
        else:
            listed = found.events(ns.camera, ns.since, ns.until, limit=ns.limit, newest_first=True, **wanted)[::-1]
    try:
        if ns.json or ns.csv:
            rows = [{c: x.row()[c] for c in index.COLUMNS} for x in listed]
            if ns.json:
                json.dump(rows, sys.stdout, indent=2)
                print()
            else:
                writer = csv.DictWriter(sys.stdout, index.COLUMNS, lineterminator="\n")
                writer.writeheader()
                writer.writerows(rows)
        else:
            width = max((len(x.event.camera) for x in listed), default=0)
            # A column of the objects' labels, when some event has one.
            found_width = max((len(found_text(x.event)) for x in listed), default=0)
            for x in listed:
                e = x.event
                found_column = "%-*s  " % (found_width, found_text(e)) if found_width else ""
                print("%s  %-*s  %6.1f s  peak %6d px  %s%s" % (
                    e.start.isoformat(timespec="seconds"), width, e.camera, e.seconds, round(e.peak_area),
                    found_column, e.file or x.input))
        sys.stdout.flush()
    except BrokenPipeError:
        # The reader stopped reading (quarrin events out | head): nothing more to say.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
    return 0


def _export(ns):
    from quarrin import export, index, progress

    export.check_output(ns.output)
    if ns.event is not None:
        given = [o for o, v in (("--camera", ns.camera), ("--since", ns.since), ("--until", ns.until)) if v]
        if given:
            raise _Usage("--event names its camera and times: give no %s" % ", ".join(given))
    else:
        missing = [o for o, v in (("--camera", ns.camera), ("--since", ns.since), ("--until", ns.until)) if not v]
        if missing:
            raise _Usage("give --event ID, or --camera, --since and --until (missing: %s)" % ", ".join(missing))
        index.time_window(ns.since, ns.until)
    if os.path.lexists(ns.output) and not ns.force:
        raise _Usage("%s exists: give another OUTPUT, or --force to replace it" % ns.output)
    bar = None
    if not ns.quiet and progress.wanted():
        from tqdm import tqdm

        bar = tqdm(desc=os.path.basename(ns.output), unit="frame", file=sys.stderr, dynamic_ncols=True)

    def advance(done, total):
        if bar.total != total:
            bar.total = total
        bar.update(done - bar.n)

    shown = advance if bar is not None else None
    try:
        with index.Index(ns.paths, ns.index, warn=_warn) as found:
            if ns.event is not None:
                made = export.export_event(found, ns.event, ns.output, progress=shown)
            else:
                made = export.export_span(found, ns.camera, ns.since, ns.until, ns.output, progress=shown)
    finally:
        if bar is not None:
            bar.close()
    if made.note:
        _warn("encoded, not copied: %s" % made.note)
    print("%s: %d frame%s, %.1f s of video from %s, %s" % (
        made.path, made.frames, "" if made.frames == 1 else "s", made.seconds, made.first.isoformat(),
        "copied" if made.copied else "encoded"))
    return 0


def _serve(ns):
    from quarrin.web import server

    if ns.hash_password:
        given = [o for o, v in (("PATH", ns.paths), ("--listen", ns.listen), ("--password-file", ns.password_file),
                                ("--tls-cert", ns.tls_cert), ("--tls-key", ns.tls_key), ("--index", ns.index),
                                ("--config", ns.config), ("--check", ns.check)) if v]
        if given:
            raise _Usage("--hash-password takes no %s" % ", ".join(given))
        server.hash_password()
        return 0
    if ns.check and not ns.config:
        raise _Usage("--check checks a cameras file: give --config FILE")
    if ns.config:
        return _serve_config(ns)
    return _serving(ns, lambda: server.serve(ns.paths, ns.listen or server.DEFAULT_LISTEN, ns.password_file,
                                             ns.tls_cert, ns.tls_key, ns.index, warn=_warn))


def _serving(ns, serve):
    """Runs `serve()` until it returns the signal that stopped it; the command's exit status."""
    try:
        stopped_by = serve()
    except OSError as exc:
        if ns.debug:
            raise
        return _fail(exc.strerror or str(exc), 1)
    _terminated[0] = stopped_by == signal.SIGTERM
    return _stopped()


def _serve_config(ns):
    from quarrin.service import config

    try:
        found = config.load(ns.config)
    except config.ConfigError as exc:
        for line in exc.lines:
            print("quarrin: error: %s" % line, file=sys.stderr)
        return 2
    if ns.check:
        from quarrin.service import state

        where = state.path_for(found.path)
        try:
            disabled = state.read(where)
        except state.StateError as exc:
            _warn("cannot read the cameras' state: %s; the service would enable every camera" % exc)
            disabled = set()
        print(config.resolved(found, disabled), end="")
        shown = [name for name in found.cameras if name in disabled]
        if shown:
            print("# disabled from the web view (%s): %s" % (where, ", ".join(shown)))
        return 0
    from quarrin.service import run

    return _serving(ns, lambda: run.run(found, ns.paths, ns.listen, ns.password_file, ns.tls_cert, ns.tls_key,
                                        ns.index, warn=_warn))


def _warn(message):
    print("quarrin: warning: %s" % message, file=sys.stderr)
