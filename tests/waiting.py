"""Waiting for something to happen: a condition polled until it holds, with a deadline. The tests
wait for what they need (a line, a file, a state) rather than for a fixed time, which is too long
on a quiet machine and too short on a busy one; a fixed sleep stays only where it shows that
nothing happened meanwhile.

    found = until(lambda: cameras(base).get("door"), what="door listed")   # its first true value
"""
import time


def until(condition, timeout=30, interval=0.05, what=None):
    """Calls condition() every `interval` seconds until it returns something true, and returns that.
    After `timeout` seconds the test fails, naming `what` it waited for and the last value."""
    deadline = time.monotonic() + timeout
    while True:
        found = condition()
        if found:
            return found
        if time.monotonic() > deadline:
            raise AssertionError("not within %g s: %s (last: %r)" % (timeout, what or condition, found))
        time.sleep(interval)
