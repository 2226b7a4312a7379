"""Progress on the terminal (tqdm, on stderr): a bar for a file, a status line for a camera, and
for a batch one bar over the inputs plus one per running input. Each is a callable that takes
the `quarrin.Progress` events the Python API hands out; a recording's bar also listens to it
(quarrin.listeners) to show a live source's signal lost."""
import os
import sys

from quarrin.listeners import Listener


def wanted(stream=None):
    """Bars only go to a terminal (and need tqdm, which an environment set up with --no-deps may
    lack: recording goes on without them)."""
    stream = stream or sys.stderr
    try:
        if not stream.isatty():
            return False
    except (AttributeError, ValueError):
        return False
    try:
        import tqdm  # noqa: F401
    except ImportError:
        return False
    return True


class LineWriter:
    """Writes the recorder's lines to `stream` without tearing a bar apart: the bar (None: there
    is none) is cleared while a line is written and drawn again after it. Lines may come from
    other threads (the disk budget's): the bar's lock keeps its updates out meanwhile."""

    def __init__(self, stream, bar=None):
        self.stream, self.bar = stream, bar.bar if bar is not None else None

    def line(self, text):
        if self.bar is None:
            self.stream.write(text + "\n")
            self.stream.flush()
            return
        with self.bar.get_lock():
            self.bar.clear()
            self.stream.write(text + "\n")
            self.stream.flush()
            self.bar.refresh()


class RecordBar(Listener):
    def __init__(self, plan, stream=None):
        from tqdm import tqdm

        if plan.camera is not None:
            label = "camera %d" % plan.camera
        else:
            label = plan.source if plan.live else os.path.basename(plan.source)
        if plan.camera is None and not plan.live:
            self.bar = tqdm(total=plan.frames_total, desc=label, unit="frame", file=stream or sys.stderr,
                            dynamic_ncols=True)
        else:
            self.bar = tqdm(desc=label, unit="frame", file=stream or sys.stderr, dynamic_ncols=True,
                            bar_format="{desc}: {n_fmt} frames read{postfix} [{elapsed}, {rate_fmt}]")
        self.saved, self.signal = 0, ""
        self.bar.set_postfix_str("0 saved", refresh=False)

    def __call__(self, event):
        self.saved = event.frames_saved
        self.bar.set_postfix_str("%d saved%s" % (self.saved, self.signal), refresh=False)
        self.bar.update(event.frames_read - self.bar.n)

    def on_signal(self, kind, time):
        """The status line says while the signal is lost (the line saying so is printed as well)."""
        self.signal = ", signal lost at %s" % time.strftime("%H:%M:%S") if kind == "lost" else ""
        self.bar.set_postfix_str("%d saved%s" % (self.saved, self.signal))

    def close(self):
        self.bar.close()


class BatchBars:
    def __init__(self, inputs, stream=None):
        from tqdm import tqdm

        self.tqdm, self.stream = tqdm, stream or sys.stderr
        self.overall = tqdm(total=len(inputs), desc="inputs", unit="input", file=self.stream, position=0,
                            dynamic_ncols=True)
        self.running = {}  # input -> (its bar, its line)
        self.free = []     # bar positions to reuse
        self.finished = set()

    def __call__(self, event):
        bar, position = self.running.get(event.input, (None, None))
        if event.input in self.finished:
            return  # a late report of an input already done
        if event.done:
            self.finished.add(event.input)
            if bar is not None:
                bar.close()
                self.free.append(position)
                del self.running[event.input]
            self.overall.update(1)
            return
        if bar is None:
            if self.free:
                position = min(self.free)
                self.free.remove(position)
            else:
                position = len(self.running) + 1
            bar = self.tqdm(total=event.total, desc=os.path.basename(event.input), unit="frame", leave=False,
                            file=self.stream, position=position, dynamic_ncols=True)
            self.running[event.input] = bar, position
        bar.set_postfix_str("%d saved" % event.frames_saved, refresh=False)
        bar.update(event.frames_read - bar.n)

    def close(self):
        for bar, _ in self.running.values():
            bar.close()
        self.overall.close()
