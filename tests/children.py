"""Child processes: those that are interrupted (start one, wait until it has opened its first
segment, send it a real SIGINT, and collect what it printed), and what runs below a process."""
import os
import signal
import subprocess
import threading
import time


def interrupt_after_first_segment(argv, settle=0.5, sig=signal.SIGINT, **popen):
    """Runs argv, sends `sig` `settle` seconds after its "Timestamps in" line; returns
    (returncode, stdout lines, stderr text). A stuck child is killed after two minutes."""
    proc = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, **popen)
    watchdog = threading.Timer(120, proc.kill)  # never hang the suite on a stuck child
    watchdog.start()
    try:
        lines = []
        for line in proc.stdout:
            lines.append(line.rstrip("\n"))
            if line.startswith("Timestamps in"):
                break
        time.sleep(settle)
        proc.send_signal(sig)
        rest, err = proc.communicate(timeout=60)
    finally:
        watchdog.cancel()
        if proc.poll() is None:
            proc.kill()
    return proc.returncode, lines + rest.splitlines(), err


def descendants(pid):
    """The processes below `pid`, from /proc."""
    children = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open("/proc/%s/stat" % entry) as f:
                    ppid = int(f.read().rpartition(")")[2].split()[1])
            except (OSError, ValueError, IndexError):
                continue
            children.setdefault(ppid, []).append(int(entry))
    found, todo = [], [pid]
    while todo:
        for child in children.get(todo.pop(), []):
            found.append(child)
            todo.append(child)
    return found


def command(pid):
    """The command name of process `pid` (None once it is gone)."""
    try:
        with open("/proc/%d/comm" % pid) as f:
            return f.read().strip()
    except OSError:
        return None
