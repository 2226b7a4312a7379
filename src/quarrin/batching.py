"""Batch runs: one recording per input file, several at once, with a report and a timeline.

Recordings run in worker processes (concurrent.futures), or on any executor the caller hands
over (a Dask cluster's included). A failing input becomes a "failed" item; the others run on.
"""
import concurrent.futures as cf
import contextlib
import csv
import json
import os
import queue
import signal
import time

from quarrin import layout, writers
from quarrin import options as _options
from quarrin.errors import RecordingError, UsageError
from quarrin.results import BatchItem, Progress

# Containers the writer makes reliably; other inputs are re-encoded into .avi (into .mp4 when
# H.264 is asked for, which only .mp4 and .mkv hold).
WRITABLE = (".avi", ".mp4", ".mkv", ".mov", ".m4v")
# New columns go at the end: readers of older reports find theirs where they were.
REPORT_COLUMNS = ("input", "status", "frames_read", "frames_saved", "files", "seconds", "error", "events", "output",
                  "warning", "camera")
EVENT_PERIOD = 0.2  # seconds between progress events sent back by a running job
CANCELLED = "not started (interrupted)"


def run(inputs, out, *, jobs=None, executor=None, report=None, plot=None, progress=None, on_item=None,
        on_report=None, **record_options):
    """See quarrin.batch. `on_item(item)` is called as each input finishes, `on_report(path)` with
    the report's path once it is written (numbered when `report` exists)."""
    opts, jobs, out, report, plot, sources = check_batch(inputs, out, jobs, executor, report, plot, record_options)
    outputs = output_names(sources, out, h264=writers.h264_asked(opts) is not None)
    _make_folder(out)

    items = _execute(list(zip(sources, outputs)), opts, jobs, executor, progress, on_item)
    if report:
        _make_folder(os.path.dirname(os.path.abspath(report)))
        written = write_report(report, items)
        if on_report is not None:
            on_report(written)
    if plot:
        from quarrin import plot as _plot

        _make_folder(os.path.dirname(os.path.abspath(plot)))
        _plot.timeline(items, plot)
    return items


def _make_folder(path):
    """Creates the folder of the outputs, of a report or of a plot (whether it can be was checked
    before anything ran)."""
    try:
        os.makedirs(path, exist_ok=True)
    except OSError as exc:
        raise RecordingError("cannot create the directory %s: %s" % (path, exc.strerror or exc)) from exc


def check_batch(inputs, out, jobs, executor, report, plot, record_options, scan=False):
    """Validates a batch or a scan (writes nothing): options, jobs, paths, inputs."""
    if scan:
        refused = sorted(set(record_options) - set(_options.IN_SCAN))
        if refused:
            raise UsageError(refused[0], record_options[refused[0]], "not available in scan (it writes no video)")
        given = {name: value for name, value in record_options.items() if value is not None}
        record_options = dict(_options.SCAN_DEFAULTS, **given, motion=True)
    opts = _options.check_record_options(**record_options)
    writers.check_h264_available(opts)
    for name in _options.NOT_IN_BATCH:
        if opts.given(name):
            raise UsageError(name, True, "not available in batch (files only: no camera, no window)")
    if executor is None:
        jobs = (os.cpu_count() or 1) if jobs is None else _options.check_jobs(jobs)
    if scan:
        report = _check_extra(report, "report", (".csv", ".json"))
        return opts, jobs, None, report, None, collect_inputs(inputs)
    out = _check_out(out)
    report = _check_extra(report, "report", (".csv", ".json"))
    plot = _check_extra(plot, "plot", (".png",))
    return opts, jobs, out, report, plot, collect_inputs(inputs)


def scan(inputs, *, jobs=None, executor=None, report=None, progress=None, on_item=None, snapshots=None, **options):
    """See quarrin.scan. Returns the items and the path of the report written (None: none)."""
    opts, jobs, _, report, _, sources = check_batch(inputs, None, jobs, executor, report, None, options, scan=True)
    if snapshots is not None:
        snapshots = _options.path_text("snapshots", snapshots, "expected a folder")
        if os.path.exists(snapshots) and not os.path.isdir(snapshots):
            raise UsageError("snapshots", snapshots, "is a file, not a folder")
        _options.check_writable_dir(os.path.abspath(snapshots), "snapshots", snapshots)
        snapshots = picture_folders(sources, snapshots)
    items = _execute([(source, None) for source in sources], opts, jobs, executor, progress, on_item, snapshots)
    written = None
    if report:
        from quarrin.listeners import eventlist as events

        _make_folder(os.path.dirname(os.path.abspath(report)))
        written = events.write_report(report, items)
    return items, written


def picture_folders(sources, folder):
    """The folder of each input's event pictures in `folder`: its file name without extension,
    numbered (clip_001) after the first input of that name."""
    seen, found = {}, []
    for source in sources:
        stem = os.path.splitext(os.path.basename(source))[0]
        number = seen.get(stem.lower(), -1) + 1
        seen[stem.lower()] = number
        found.append(os.path.join(folder, stem if not number else layout.numbered_stem(stem, number)))
    return found


def collect_inputs(inputs):
    """Files as given, directories scanned (not recursively) for videos, sorted by name."""
    if isinstance(inputs, (str, os.PathLike)):
        inputs = [inputs]
    found, seen = [], set()
    for item in inputs:
        path = os.fspath(item)
        if os.path.isdir(path):
            names = sorted(n for n in os.listdir(path) if os.path.splitext(n)[1].lower() in _options.VIDEO_EXTENSIONS
                           and os.path.isfile(os.path.join(path, n)))
            paths = [os.path.join(path, n) for n in names]
        elif os.path.exists(path):
            paths = [path]
        else:
            raise UsageError("inputs", path, "no such file or directory")
        for p in paths:
            key = os.path.realpath(p)
            if key not in seen:
                seen.add(key)
                found.append(p)
    if not found:
        raise UsageError("inputs", ",".join(os.fspath(i) for i in inputs) or "''",
                         "no video files (%s)" % " ".join(_options.VIDEO_EXTENSIONS))
    return found


def output_names(sources, out, h264=False):
    """DIR/<stem><ext> per input, made unique: a repeated stem gets -2, -3, ... Names are also
    kept clear of each other's numbered segments (clip_000.avi belongs to clip.avi). With `h264`
    an input in another container than .mp4 or .mkv gets .mp4."""
    taken = []
    for source in sources:
        stem, ext = os.path.splitext(os.path.basename(source))
        ext = ext if ext.lower() in WRITABLE else ".avi"
        if h264 and ext.lower() not in writers.H264_EXTENSIONS:
            ext = ".mp4"
        candidate, n = stem + ext, 2
        while any(layout.may_share_files(candidate, other) for other in taken):
            candidate, n = layout.repeated(stem + ext, n), n + 1
        taken.append(candidate)
    return [os.path.join(out, name) for name in taken]


def _check_out(out):
    path = _options.path_text("out", out, "expected a directory")
    if os.path.exists(path) and not os.path.isdir(path):
        raise UsageError("out", path, "is a file, not a directory")
    _options.check_writable_dir(os.path.abspath(path), "out", path)
    return path


def _check_extra(path, option, extensions):
    if path is None:
        return None
    path = os.fspath(path)
    if os.path.splitext(path)[1].lower() not in extensions or os.path.isdir(path):
        raise UsageError(option, path, "expected a %s file" % " or ".join(extensions))
    _options.check_writable_dir(os.path.dirname(os.path.abspath(path)), option, path)
    return path


# ---- running the jobs --------------------------------------------------------------------------

def _execute(specs, opts, jobs, executor, progress, on_item, snapshots=None):
    """Runs the jobs; `snapshots` is each one's folder of event pictures (None: none)."""
    own = executor is None
    manager, events = None, None
    if progress is not None:
        if own or isinstance(executor, cf.ProcessPoolExecutor):
            manager = _processes().Manager()
            events = manager.Queue()
        elif isinstance(executor, cf.ThreadPoolExecutor):
            events = queue.Queue()
    if own:
        workers = min(jobs, len(specs))
        # Recordings at once share the cores: OpenCV's own threads are shared out between them.
        threads = max(1, (os.cpu_count() or 1) // workers) if workers > 1 else None
        # Each worker lists its pid here once it notes stop signals: one still starting would die of one.
        ready = _processes().Array("i", workers)
        executor = cf.ProcessPoolExecutor(max_workers=workers, mp_context=_processes(), initializer=_init_worker,
                                          initargs=(threads, ready))
    else:
        ready = None
    items = [None] * len(specs)
    futures = {}
    try:
        for i, (source, output) in enumerate(specs):
            pictures = snapshots[i] if snapshots else None
            futures[executor.submit(job, source, output, opts, events, pictures)] = i
        pending = set(futures)
        try:
            while pending:
                done, pending = cf.wait(pending, timeout=EVENT_PERIOD, return_when=cf.FIRST_COMPLETED)
                _forward(events, progress)
                for future in done:
                    _finish(future, futures[future], specs, items, progress, on_item)
        except KeyboardInterrupt:
            # Ctrl-C at a terminal reaches the workers too; a signal sent to this process alone (a
            # supervisor's SIGINT, a SIGTERM) is passed on. The running recordings finalise their
            # files; wait for them.
            stop = _WorkerStop(ready) if own else None
            # What wait() had returned as done may not have been taken yet when the Ctrl-C came.
            left = [future for future, i in futures.items() if items[i] is None]
            for future in left:
                future.cancel()
            for future in _wait_quietly(left, stop):
                _finish(future, futures[future], specs, items, progress, on_item)
    finally:
        if own:
            executor.shutdown(wait=True, cancel_futures=True)
        if manager is not None:
            manager.shutdown()
    for i, (source, output) in enumerate(specs):
        if items[i] is None:
            items[i] = BatchItem(source, output, "cancelled", error=CANCELLED)
    return items


class _WorkerStop:
    """Sends SIGINT once to each worker of our own pool that is ready for it (listed in `ready`): a
    recording stops between two frames, and queued jobs are not started. Called again while the
    pool winds down, it reaches the workers that were still starting."""

    def __init__(self, ready):
        self.ready, self.sent = ready, set()
        self()

    def __call__(self):
        for pid in list(self.ready):
            if pid and pid not in self.sent:
                self.sent.add(pid)
                try:
                    os.kill(pid, signal.SIGINT)
                except OSError:
                    pass


def _processes():
    """Worker processes start from a clean server process where the platform has one (a plain
    fork of a caller that runs threads, a GUI, a Dask client, tqdm's monitor, can deadlock), and
    never run the caller's main script again (quarrin.processes)."""
    import multiprocessing

    if "forkserver" in multiprocessing.get_all_start_methods():
        from quarrin import processes

        return processes.CONTEXT
    return multiprocessing.get_context()


def _wait_quietly(futures, stop=None):
    remaining = set(f for f in futures if not f.cancelled())
    while remaining:
        try:
            done, remaining = cf.wait(remaining, timeout=EVENT_PERIOD)
            if stop is not None:
                stop()
        except KeyboardInterrupt:
            continue
        yield from done


def _finish(future, i, specs, items, progress, on_item):
    if future.cancelled():
        return
    source, output = specs[i]
    try:
        item = future.result()
    except Exception as exc:  # the worker itself failed (a crashed process, a lost cluster worker)
        item = BatchItem(source, output, "failed", error=_message(exc))
    items[i] = item
    if progress is not None:
        r = item.result
        progress(Progress(source, r.frames_read if r else 0, r.frames_saved if r else 0,
                          r.frames_total if r else None, None, done=True))
    if on_item is not None:
        on_item(item)


def _forward(events, progress):
    if events is None:
        return
    while True:
        try:
            event = events.get_nowait()
        except (queue.Empty, EOFError, OSError):
            return
        progress(event)


# ---- in the worker -----------------------------------------------------------------------------

_stopped = [False]


def _init_worker(threads=None, ready=None):
    """Worker processes ignore a Ctrl-C or SIGTERM between recordings (an idle worker must not
    die with a traceback) but remember it: jobs already queued to them are then not started.
    `threads` caps OpenCV's threads in the process."""
    signal.signal(signal.SIGINT, _note_sigint)
    signal.signal(signal.SIGTERM, _note_sigint)
    if ready is not None:
        with ready.get_lock():
            free = list(ready).index(0)
            ready[free] = os.getpid()
    if threads:
        import cv2

        cv2.setNumThreads(threads)


def _note_sigint(signum, frame):
    _stopped[0] = True


def _raise_interrupt(signum, frame):
    raise KeyboardInterrupt


@contextlib.contextmanager
def _interruptible():
    """Python's own Ctrl-C handler while a job records, and one that raises KeyboardInterrupt
    for SIGTERM: the recorder then stops between two frames, with every file finalised and every
    written frame in its CSV."""
    if signal.getsignal(signal.SIGINT) is not _note_sigint:
        yield  # not one of our workers (a thread, a cluster worker): leave the process alone
        return
    signal.signal(signal.SIGINT, signal.default_int_handler)
    signal.signal(signal.SIGTERM, _raise_interrupt)
    try:
        if _stopped[0]:  # a stop signal came while the job was being prepared
            raise KeyboardInterrupt
        yield
    finally:
        signal.signal(signal.SIGINT, _note_sigint)
        signal.signal(signal.SIGTERM, _note_sigint)


def job(source, output, opts, events=None, snapshots=None):
    """One input of a batch (runs in a worker). Never raises for a bad input: returns the item. A
    scan's event pictures go into `snapshots` (a folder; None: none)."""
    from quarrin import recording

    if _stopped[0]:
        return BatchItem(source, output, "cancelled", error=CANCELLED)
    started = time.perf_counter()
    hook = None
    if events is not None:
        hook = _Sender(events)
    result = None
    try:
        plan = recording.prepare(source, output, opts, scan=output is None, snapshots=snapshots)
        with _interruptible():
            result = recording.run(plan, progress=hook)
    except KeyboardInterrupt:  # outside the recorder's own handling (before or after it ran)
        _stopped[0] = True
        return BatchItem(source, output, "interrupted", result, None if result is not None else "interrupted",
                         time.perf_counter() - started)
    except UsageError as exc:
        return BatchItem(source, output, "failed", error=exc.for_command_line(), seconds=time.perf_counter() - started)
    except Exception as exc:
        return BatchItem(source, output, "failed", error=_message(exc), seconds=time.perf_counter() - started)
    status = "ok"
    if result.stopped == "interrupt":
        status = _stopped[0] = "interrupted"  # and the jobs queued behind this one do not start
    return BatchItem(source, output, status, result, None, time.perf_counter() - started)


class _Sender:
    """Sends a job's progress back now and then; a lost queue only ends the reports."""

    def __init__(self, events):
        self.events, self.last = events, 0.0

    def __call__(self, event):
        now = time.monotonic()
        if self.events is not None and now - self.last >= EVENT_PERIOD:
            self.last = now
            try:
                self.events.put(event)
            except Exception:
                self.events = None


def _message(exc):
    if isinstance(exc, RecordingError):
        return exc.for_command_line()
    if isinstance(exc, OSError):
        return str(exc)
    text = str(exc).strip().splitlines()
    return "%s: %s" % (type(exc).__name__, text[-1] if text else "")


# ---- report ------------------------------------------------------------------------------------

def report_rows(items):
    rows = []
    for item in items:
        r = item.result
        rows.append({"input": item.input, "status": item.status, "frames_read": r.frames_read if r else 0,
                     "frames_saved": r.frames_saved if r else 0, "files": r.files if r else 0,
                     "events": len(r.events) if r else 0, "seconds": round(item.seconds, 3), "error": item.error,
                     "output": r.segments[0].video if r and r.segments else item.output,
                     "warning": r.warning if r else None, "camera": r.camera if r else None})
    return rows


def write_report(path, items):
    """Writes the report (CSV, or JSON by extension); an existing one is kept, and a numbered name
    beside it used (report_001.csv, ...). Returns the path written."""
    rows = report_rows(items)
    f, written = layout.open_new(path)
    with f:
        if written.lower().endswith(".json"):
            json.dump(rows, f, indent=2)
            f.write("\n")
            return written
        writer = csv.DictWriter(f, REPORT_COLUMNS)
        writer.writeheader()
        for row in rows:
            writer.writerow(dict(row, error=row["error"] or "", warning=row["warning"] or "",
                                 camera=row["camera"] or ""))
    return written


@contextlib.contextmanager
def dask_executor(address):
    """An executor on the Dask cluster at `address` (needs the dask extra)."""
    try:
        from dask.distributed import Client
    except ImportError:
        raise UsageError("dask", address, "needs Dask: pip install 'quarrin[dask]'") from None
    try:
        client = Client(address)  # waits as long as Dask's connect timeout (its configuration)
    except (OSError, TimeoutError) as exc:
        raise RecordingError("cannot reach the Dask scheduler at %s: %s" % (address, exc)) from exc
    try:
        yield client.get_executor()
    finally:
        client.close()
